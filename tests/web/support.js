// Shared helpers of the web tests: where the builds are, the package and the page's session
// under node, the native program, BMP files made and read by hand, and a static server for the
// browser.
'use strict';
const fs = require('fs');
const http = require('http');
const os = require('os');
const path = require('path');
const { pathToFileURL } = require('url');
const { spawnSync } = require('child_process');
const { createRequire } = require('module');

const root = path.resolve(__dirname, '..', '..');
const wasmBuild = path.resolve(process.env.BMPFUN_WASM_BUILD || path.join(root, 'build', 'wasm'));
const site = path.join(wasmBuild, 'site');
const nativeCli = path.resolve(process.env.BMPFUN_NATIVE_CLI || path.join(root, 'build', 'release', 'bmpfun'));
const testdata = path.resolve(process.env.BMPFUN_TESTDATA || path.join(root, '..', 'shared', 'testdata'));
// The native build's program that writes docs/operations.md, beside the native bmpfun.
const nativeDocs = path.resolve(process.env.BMPFUN_NATIVE_DOCS || path.join(path.dirname(nativeCli), 'bmpfun_operations_doc'));

const Chain = require(path.join(site, 'chain.js'));

// The page's session (web/page/session.js over the package beside it in the site), made once
// per test file: what the page's worker runs.
let sessionPromise = null;
function loadEngine() {
  if (!sessionPromise) {
    sessionPromise = import(pathToFileURL(path.join(site, 'session.js')).href).then(({ Session }) => Session.create());
  }
  return sessionPromise;
}

// The package as a user has it: installed from its tarball into BMPFUN_INSTALLED (a folder
// whose node_modules holds it, as test-web.sh makes it) and found there by its name; the
// build's package folder when that is not set.
const installed = process.env.BMPFUN_INSTALLED ? path.resolve(process.env.BMPFUN_INSTALLED) : null;
function packageEntry() {
  if (!installed) return path.join(wasmBuild, 'package', 'index.js');
  return createRequire(path.join(installed, 'package.json')).resolve('bmpfun');
}
function loadPackage() {
  return import(pathToFileURL(packageEntry()).href);
}

// Run the native program; stdout and stderr as text, stdout also as bytes.
function runNative(args, options = {}) {
  const r = spawnSync(nativeCli, args, Object.assign({ maxBuffer: 1 << 30 }, options));
  if (r.error) throw r.error;
  return { code: r.status, stdout: r.stdout.toString('latin1'), stderr: r.stderr.toString() };
}

// The library's operation registry as the native build has it (bmpfun_operations_doc --json).
function nativeRegistry() {
  const r = spawnSync(nativeDocs, ['--json']);
  if (r.error) throw r.error;
  if (r.status !== 0) throw new Error(nativeDocs + ' --json: exit ' + r.status + ': ' + r.stderr);
  return JSON.parse(r.stdout.toString());
}

// A failed step as the page words it: the program's line without the head that names the
// program ("bmpfun: ", or "Error allocating image.: " for a size it cannot make).
function stepMessage(programLine) {
  return programLine.replace(/^(bmpfun|Error allocating image\.): /, '');
}

function tempDir() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'bmpfun-web-'));
  return {
    dir,
    file: (name) => path.join(dir, name),
    remove: () => fs.rmSync(dir, { recursive: true, force: true }),
  };
}

// A native result file, made in a scratch folder by the given commands (each an argument list
// where IN and OUT stand for the input and the output).
function nativeFile(scratch, input, steps) {
  let current = input;
  steps.forEach((args, i) => {
    const out = scratch.file('native-' + i + '-' + process.hrtime.bigint() + '.bmp');
    const r = runNative(args.map((a) => (a === 'IN' ? current : a === 'OUT' ? out : a)));
    if (r.code !== 0) throw new Error('bmpfun ' + args.join(' ') + ': exit ' + r.code + ': ' + r.stderr);
    current = out;
  });
  const bytes = fs.readFileSync(current);
  return new Uint8Array(bytes.buffer, bytes.byteOffset, bytes.length);
}

// A hand-made BMP file: 14 + 40 header bytes, then table (raw bytes) and pixel data as given.
function makeBmp({ width = 1, height = 1, bits = 24, compression = 0, table = [], data = [], offBits }) {
  const header = Buffer.alloc(54);
  const off = offBits === undefined ? 54 + table.length : offBits;
  header.write('BM', 0, 'latin1');
  header.writeUInt32LE(54 + table.length + data.length, 2);
  header.writeUInt32LE(off, 10);
  header.writeUInt32LE(40, 14);
  header.writeInt32LE(width, 18);
  header.writeInt32LE(height, 22);
  header.writeUInt16LE(1, 26);
  header.writeUInt16LE(bits, 28);
  header.writeUInt32LE(compression, 30);
  header.writeInt32LE(3780, 38);
  header.writeInt32LE(3780, 42);
  return new Uint8Array(Buffer.concat([header, Buffer.from(table), Buffer.from(data)]));
}

// An RLE8 file: rows from the bottom, each a list of [count, index] runs (a row may end
// early: the rest draws nothing), over a table of [r, g, b] colours.
function makeRle8({ width, height, colours, rows }) {
  const table = new Array(1024).fill(0);
  colours.forEach(([r, g, b], i) => table.splice(i * 4, 3, b, g, r));
  const data = rows.flatMap((runs) => runs.flat().concat(0, 0));
  data[data.length - 1] = 1;  // the last row's end is the end of the picture
  return makeBmp({ width, height, bits: 8, compression: 1, table, data });
}

// A bottom-up 24- or 32-bit file's pixels as r, g, b, a from the top row, as the page draws
// them: a is 255 for 24 bits, the fourth byte for 32.
function decodeBmp(bytes) {
  const view = Buffer.from(bytes.buffer, bytes.byteOffset, bytes.length);
  const width = view.readInt32LE(18), height = view.readInt32LE(22), bytesPer = view.readUInt16LE(28) / 8;
  if ((bytesPer !== 3 && bytesPer !== 4) || height <= 0) throw new Error('not a bottom-up 24- or 32-bit file');
  const offset = view.readUInt32LE(10), stride = Math.ceil((width * bytesPer) / 4) * 4;
  const rgba = new Uint8Array(width * height * 4);
  for (let y = 0; y < height; y++) {
    const row = offset + (height - 1 - y) * stride;
    for (let x = 0; x < width; x++) {
      const at = (y * width + x) * 4, from = row + x * bytesPer;
      rgba[at] = view[from + 2];
      rgba[at + 1] = view[from + 1];
      rgba[at + 2] = view[from];
      rgba[at + 3] = bytesPer === 4 ? view[from + 3] : 255;
    }
  }
  return { width, height, rgba };
}

// The first differing index of two byte arrays, -1 when equal (length differences count).
function firstDifference(a, b) {
  const n = Math.min(a.length, b.length);
  for (let i = 0; i < n; i++) if (a[i] !== b[i]) return i;
  return a.length === b.length ? -1 : n;
}

const types = { '.html': 'text/html', '.js': 'text/javascript', '.css': 'text/css', '.wasm': 'application/wasm' };

// Serve folder on 127.0.0.1 at a free port, files only, like any static server.
function serve(folder) {
  const server = http.createServer((req, res) => {
    const name = decodeURIComponent(new URL(req.url, 'http://127.0.0.1').pathname);
    const file = path.join(folder, name.endsWith('/') ? name + 'index.html' : name);
    if (!file.startsWith(folder + path.sep) || !fs.existsSync(file) || !fs.statSync(file).isFile()) {
      res.writeHead(404).end();
      return;
    }
    res.writeHead(200, { 'Content-Type': types[path.extname(file)] || 'application/octet-stream' });
    fs.createReadStream(file).pipe(res);
  });
  return new Promise((resolve) => {
    server.listen(0, '127.0.0.1', () => {
      resolve({ url: 'http://127.0.0.1:' + server.address().port + '/', close: () => server.close() });
    });
  });
}

module.exports = {
  root, wasmBuild, site, nativeCli, testdata, Chain, loadEngine, installed, packageEntry, loadPackage, runNative,
  nativeRegistry, stepMessage, tempDir, nativeFile,
  makeBmp, makeRle8, decodeBmp, firstDifference, serve,
};
