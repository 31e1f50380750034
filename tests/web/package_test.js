// The npm package as a user installs it (test-web.sh packs it and installs the tarball into an
// empty folder, BMPFUN_INSTALLED): every reference case it can express against the native
// program's expected bytes, its methods against the registry, its errors, its memory over many
// calls, the worked example of docs/javascript.md, and its types under tsc.
'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const path = require('path');
const { spawnSync } = require('child_process');
const S = require('./support');

const golden = path.join(S.testdata, 'golden');

// A folder where `import "bmpfun"` finds the package: the one it was installed into, or (run
// by hand, without BMPFUN_INSTALLED) a scratch folder linking the build's package.
function userFolder() {
  if (S.installed) return S.installed;
  const scratch = S.tempDir();
  fs.mkdirSync(path.join(scratch.dir, 'node_modules'));
  fs.symlinkSync(path.join(S.wasmBuild, 'package'), path.join(scratch.dir, 'node_modules', 'bmpfun'));
  process.on('exit', scratch.remove);
  return scratch.dir;
}

function sameBytes(actual, expected, what) {
  const at = S.firstDifference(actual, expected);
  assert.equal(at, -1, what + ': first difference at byte ' + at + ' of ' + expected.length);
}

// One reference case through the package: what `bmpfun ARGS` does, as calls. Returns the file
// or the text it makes; throws what the package throws.
async function runCase(bmpfun, args, input) {
  await bmpfun.restartRandomSequence();  // a new process starts at the first draw
  const limits = { maxPixels: 2 ** 28 };  // the program's default limit
  const [command, , , ...rest] = args;
  const withImage = async (work) => {
    const image = await bmpfun.load(input, limits);
    try {
      const made = work(image);
      try {
        return made.toBytes();
      } finally {
        if (made !== image) made.dispose();
      }
    } finally {
      image.dispose();
    }
  };
  switch (command) {
    case 'apply': return withImage((image) => image.apply(rest));
    case 'fun': return withImage((image) => image.fun(Number(rest[0])));
    case 'noise': return withImage((image) => image.noise(1));
    case 'convert': {
      const bits = rest[0] === undefined ? {} : { bits: parseInt(rest[0], 10), alphaMasks: rest[0] === '32a' };
      return bmpfun.convert(input, Object.assign(bits, limits));
    }
    case 'rescale': return bmpfun.rescale(input, rest[0], Number(rest[1]), limits);
    case 'info': return (await bmpfun.info(args[1] === '{in}' ? input : null)).text;
    default: throw new Error('the package has no ' + command);
  }
}

test('every reference case gives the native program\'s bytes, or fails where it fails', async () => {
  const bmpfun = await S.loadPackage();
  const rows = fs.readFileSync(path.join(golden, 'cases.tsv'), 'utf8').trim().split('\n').slice(1).map((line) => {
    const [name, exit, output, stdout, args] = line.split('\t');
    return { name, exit: Number(exit), output, stdout, args: JSON.parse(args) };
  });
  const scratch = S.tempDir();
  const commands = {};
  try {
    for (const c of rows) {
      const folder = path.join(golden, c.name);
      const input = new Uint8Array(fs.readFileSync(path.join(folder, 'in.bmp')));
      commands[c.args[0]] = (commands[c.args[0]] || 0) + 1;
      let result, failure;
      try {
        result = await runCase(bmpfun, c.args, input);
      } catch (error) {
        failure = error;
      }
      if (c.exit === 0) {
        assert.equal(failure, undefined, c.name + ' ' + c.args.join(' ') + ': ' + (failure && failure.message));
        if (c.output === 'expected.bmp') sameBytes(result, new Uint8Array(fs.readFileSync(path.join(folder, 'expected.bmp'))), c.name);
        else assert.equal(result, fs.readFileSync(path.join(folder, 'expected.stdout'), 'latin1'), c.name);
        continue;
      }
      assert.ok(failure instanceof bmpfun.BmpfunError, c.name + ': ' + (failure ? failure.stack : 'no failure'));
      // The program's line carries the same sentence (and step, for an operation's failure).
      const args = c.args.map((a) => (a === '{in}' ? path.join(folder, 'in.bmp') : a === '{out}' ? scratch.file('out.bmp') : a));
      const native = S.runNative(args);
      assert.equal(native.code, c.exit, c.name);
      assert.ok(native.stderr.includes(failure.reason), c.name + ': ' + native.stderr + ' lacks ' + failure.reason);
      if (failure.step) assert.ok(native.stderr.includes(failure.step + ': '), c.name + ': ' + native.stderr);
      assert.equal(failure instanceof bmpfun.RefusedFileError, /^(Error loading image|bmpfun: [^:]*in\.bmp: (?!rescale))/.test(native.stderr),
          c.name + ': ' + failure.name + ' for ' + native.stderr);
    }
  } finally {
    scratch.remove();
  }
  // Every command of the cases is one the package expresses (batch, which writes a folder, and
  // testcard are not among them).
  assert.deepEqual(Object.keys(commands).sort(), ['apply', 'convert', 'fun', 'info', 'noise', 'rescale']);
  assert.equal(rows.length, 156);
});

test('each operation of the registry is a method: in place returns the image, the others a new one', async () => {
  const bmpfun = await S.loadPackage();
  const card = await bmpfun.testCard(40, 30);
  const before = card.toBytes();
  for (const op of await bmpfun.operations()) {
    assert.equal(typeof bmpfun.Image.prototype[op.method], 'function', op.method);
    assert.equal(op.method, op.name.replace(/-(\w)/g, (_, c) => c.toUpperCase()));
    const values = op.arguments.map((a) => (a.extent === 'width' ? 40 : a.extent === 'height' ? 30 : a.start));
    const work = card.copy();
    await bmpfun.restartRandomSequence();  // noise and random-dither draw
    const result = work[op.method](...values);
    await bmpfun.restartRandomSequence();
    const expected = card.apply(op.name + (values.length ? '=' + values.join(',') : ''));
    sameBytes(result.toBytes(), expected.toBytes(), op.method);
    assert.equal(result === work, !op.makesNewImage, op.method + ' returns ' + (op.makesNewImage ? 'a new image' : 'the image'));
    if (op.makesNewImage) {
      sameBytes(work.toBytes(), before, op.method + ' left its source');
      result.dispose();
    }
    work.dispose();
    expected.dispose();
  }
  sameBytes(card.toBytes(), before, 'apply left the card as it was');
  card.dispose();
});

test('arguments, options and refusals: the error classes, causes, hints, steps and words', async () => {
  const bmpfun = await S.loadPackage();
  const card = await bmpfun.testCard(32, 24);
  const rle = S.makeRle8({ width: 4, height: 2, colours: [[200, 30, 60]], rows: [[[4, 0]], [[4, 0]]] });
  const cases = [
    // [what, call, class, fields the error must have]
    ['not a BMP file', () => bmpfun.load(new Uint8Array([0x50, 0x4b, 3, 4])), bmpfun.RefusedFileError,
      { cause: 'notBmp', hint: '', step: '', message: 'not a BMP file (it does not start with "BM")' }],
    ['RLE with the default reader', () => bmpfun.load(rle), bmpfun.RefusedFileError,
      { cause: 'unsupportedCompression', hint: 'extendedReader', message: 'RLE8 compression is not supported (load it with { extended: true })' }],
    ['past maxPixels', () => bmpfun.load(card.toBytes(), { maxPixels: 100 }), bmpfun.RefusedFileError,
      { cause: 'tooLarge', hint: 'largerLimit', message: '32 x 24 pixels passes the limit of 100 pixels (see the maxPixels option)' }],
    ['a warp that does not exist', () => card.fun(7), bmpfun.BmpfunError,
      { cause: 'noSuchEffect', step: 'fun=7', message: 'fun=7: there is no effect 7 (the warps are 0, 1 and 2)' }],
    ['a crop outside', () => card.crop(30, 0, 5, 5), bmpfun.BmpfunError, { cause: 'outsideSource', step: 'crop=30,0,5,5' }],
    ['a scale past the limit', () => card.scale(1000, 1000), bmpfun.BmpfunError, { cause: 'tooLarge', hint: 'largerLimit', step: 'scale=1000,1000' }],
    ['rotate by infinity', () => card.rotate(Infinity), bmpfun.BmpfunError, { step: 'rotate=Infinity' }],
    ['an unknown operation', () => card.apply('sampling=1 swirl=3'), bmpfun.BmpfunError, { cause: 'usage', step: '', message: "unknown operation 'swirl'" }],
    ['an empty chain', () => card.apply(' '), bmpfun.BmpfunError, { cause: 'usage', message: "the chain ' ' holds no operation" }],
    ['an argument that does not parse', () => card.apply(['blur=1.5']), bmpfun.BmpfunError, { cause: 'usage', message: "'blur=1.5': '1.5' is not a 32-bit integer" }],
    ['headers of a file that is not one', () => bmpfun.info(new Uint8Array(3)), bmpfun.RefusedFileError, { cause: 'notBmp' }],
    ['rescale by an unknown mode', () => bmpfun.rescale(card.toBytes(), 'x', 7), bmpfun.BmpfunError,
      { cause: 'unknownMode', step: 'rescale x 7', message: "rescale x 7: the mode 'x' is not P, W, H or F (P percent, W width, H height, F longer side)" }],
    ['convert of an empty file', () => bmpfun.convert(new Uint8Array(0)), bmpfun.RefusedFileError, { cause: 'headerCut' }],
    ['a test card with no width', () => bmpfun.testCard(0, 5), bmpfun.BmpfunError, { cause: 'badSize' }],
    ['pixels of another count', () => bmpfun.fromRGBA(2, 2, new Uint8Array(15)), RangeError, {}],
    ['too few arguments', () => card.crop(1, 2), TypeError, { message: 'bmpfun: crop takes 4 arguments (crop=X,Y,W,H), not 2' }],
    ['text for a number', () => card.blur('3'), TypeError, {}],
    ['a real for an integer', () => card.blur(1.5), RangeError, {}],
    ['an integer past 32 bits', () => card.fun(2 ** 31), RangeError, {}],
    ['an unknown option', () => bmpfun.load(card.toBytes(), { extnded: true }), TypeError, {}],
    ['no such depth', () => card.toBytes({ bits: 2 }), RangeError, {}],
    ['alpha masks below 32 bits', () => card.toBytes({ bits: 24, alphaMasks: true }), RangeError, {}],
    ['a limit past 2^30', () => bmpfun.testCard(2, 2, { maxPixels: 2 ** 31 }), RangeError, {}],
    ['text for bytes', () => bmpfun.load('card.bmp'), TypeError, {}],
  ];
  for (const [what, call, type, fields] of cases) {
    await assert.rejects(async () => call(), (error) => {
      assert.ok(error instanceof type, what + ': ' + error.stack);
      for (const [key, value] of Object.entries(fields)) assert.equal(error[key], value, what + ': ' + key);
      return true;
    }, what);
  }
  // Accepted: a real argument as any number, and -0 as itself.
  for (const value of [-0, 1e-300, -542.7]) card.rotate(value).dispose();
  card.dispose();
});

test('images: in place or new, copies, warnings, pixels in and out, dispose', async () => {
  const bmpfun = await S.loadPackage();
  const card = await bmpfun.testCard(40, 30);
  // A chain in place becomes the image, and a failed step leaves what the steps before made.
  const work = card.copy();
  assert.equal(work.apply('scale=0.5,0.5', { inPlace: true }), work);
  assert.deepEqual([work.width, work.height, card.width], [20, 15, 40]);
  assert.throws(() => work.apply('scale=0.5,0.5 fun=7', { inPlace: true }), { step: 'fun=7' });
  assert.deepEqual([work.width, work.height], [10, 7]);
  // A copy has the pixels and sampling 0; the sampling set is what later warps use.
  card.sampling(2);
  assert.equal(card.samplingMethod, 2);
  const copy = card.copy();
  assert.equal(copy.samplingMethod, 0);
  sameBytes(copy.toRGBA(), card.toRGBA(), 'copy');
  const rotated = card.apply('rotate=30');
  sameBytes(rotated.toBytes(), card.apply('sampling=2 rotate=30').toBytes(), 'a chain starts from the sampling set');
  // Pixels: a 24-bit file read by the default reader has alpha 0, shown as 255 unless asked.
  const rgba = card.toRGBA({ alpha: true });
  assert.ok(rgba.every((v, i) => i % 4 !== 3 || v === 0));
  assert.ok(card.toRGBA().every((v, i) => i % 4 !== 3 || v === 255));
  const back = await bmpfun.fromRGBA(40, 30, rgba);
  sameBytes(back.toRGBA({ alpha: true }), rgba, 'fromRGBA and toRGBA');
  sameBytes(back.toBytes(), card.toBytes(), 'the same file');
  // A file whose data ends early loads with the reader's warning.
  const short = await bmpfun.load(S.makeBmp({ width: 8, height: 8, data: new Array(3 * 24).fill(0x40) }), { extended: true });
  assert.equal(short.warning, 'the pixel data ends early: 3 of 8 rows arrived');
  assert.deepEqual([short.extended, card.extended, card.maxPixels], [true, false, bmpfun.DEFAULT_MAX_PIXELS]);
  // Disposed: released once, any use refused, Symbol.dispose the same call.
  const { images } = await bmpfun.memory();
  for (const image of [work, copy, rotated, back, short]) image.dispose();
  assert.equal((await bmpfun.memory()).images, images - 5);
  work.dispose();
  assert.equal(work.disposed, true);
  assert.throws(() => work.width, TypeError);
  assert.throws(() => work.blur(3), TypeError);
  if (typeof Symbol.dispose === 'symbol') {  // node 20 has it; node 18 does not
    assert.equal(bmpfun.Image.prototype[Symbol.dispose], bmpfun.Image.prototype.dispose);
    card[Symbol.dispose]();
  } else {
    card.dispose();
  }
  assert.equal(card.disposed, true);
  assert.throws(() => new bmpfun.Image(), TypeError);
});

test('many calls leave the module\'s memory as they found it', async () => {
  const bmpfun = await S.loadPackage();
  const file = (await bmpfun.testCard(64, 48)).toBytes();
  const rle = S.makeRle8({ width: 8, height: 4, colours: [[1, 2, 3], [200, 100, 50]], rows: [[[8, 0]], [[3, 1]], [[8, 1]], [[2, 0], [6, 1]]] });
  const operations = await bmpfun.operations();
  async function round() {
    const image = await bmpfun.load(file);
    for (const op of operations) {
      const values = op.arguments.map((a) => (a.extent === 'width' ? 64 : a.extent === 'height' ? 48 : a.start));
      const copy = image.copy();
      const result = copy[op.method](...values);
      result.toRGBA();
      if (result !== copy) result.dispose();
      copy.dispose();
    }
    const chained = image.apply('sampling=1 fun=1 floyd-steinberg-dither=2 blur=3 rotate=30');
    for (const bits of [1, 4, 8, 16, 24, 32]) chained.toBytes({ bits });
    chained.toBytes({ bits: 32, alphaMasks: true });
    chained.dispose();
    for (const failing of ['fun=7', 'crop=60,0,10,10', 'scale=1000,1000', 'swirl', 'blur=x']) {
      assert.throws(() => image.apply(failing));
      const copy = image.copy();
      assert.throws(() => copy.apply('blur=2 ' + failing, { inPlace: true }));
      copy.dispose();
    }
    await assert.rejects(bmpfun.load(rle));
    (await bmpfun.load(rle, { extended: true })).dispose();
    await bmpfun.info(rle, { extended: true });
    await bmpfun.convert(rle, { extended: true, bits: 32, alphaMasks: true });
    await bmpfun.rescale(file, 'P', 50);
    await assert.rejects(bmpfun.rescale(file, 'Q', 50));
    (await bmpfun.fromRGBA(64, 48, image.toRGBA())).dispose();
    image.dispose();
  }
  await round();
  const first = await bmpfun.memory();
  for (let k = 0; k < 20; k++) await round();
  const last = await bmpfun.memory();
  // Every image made was disposed; the allocator holds what it held after the first round (which
  // made what the module keeps: the last output released, the last failure's words), and the
  // heap did not grow.
  assert.deepEqual(last, first);
});

test('the worked example of docs/javascript.md runs as written and writes the program\'s file', () => {
  const docs = fs.readFileSync(path.join(S.root, 'docs', 'javascript.md'), 'utf8');
  const example = /<!-- example: [^\n]*-->\n```js\n([\s\S]*?)```/.exec(docs);
  assert.ok(example, 'docs/javascript.md has the example block');
  const folder = userFolder();
  const scratch = S.tempDir();
  try {
    fs.writeFileSync(path.join(folder, 'example.mjs'), example[1]);
    const card = scratch.file('card.bmp');
    assert.equal(S.runNative(['testcard', card, '64', '48']).code, 0);
    const run = (...args) => spawnSync(process.execPath, ['example.mjs', ...args], { cwd: folder, encoding: 'utf8' });
    const done = run(card, scratch.file('disc-8.bmp'));
    assert.equal(done.status, 0, done.stderr);
    assert.equal(done.stdout, card + ' 64 x 48 -> ' + scratch.file('disc-8.bmp') + ' 97 x 97\n');
    const expected = S.nativeFile(scratch, card, [['--extended', 'apply', 'IN', 'OUT', 'sampling=1', 'fun=1', 'floyd-steinberg-dither=2'],
      ['--extended', 'convert', 'IN', 'OUT', '8']]);
    sameBytes(new Uint8Array(fs.readFileSync(scratch.file('disc-8.bmp'))), expected, 'example');
    // A file the reader refuses: its reason, exit status 1.
    fs.writeFileSync(scratch.file('notes.bmp'), 'PK\x03\x04');
    const refused = run(scratch.file('notes.bmp'), scratch.file('never.bmp'));
    assert.equal(refused.status, 1);
    assert.equal(refused.stderr, scratch.file('notes.bmp') + ': not a BMP file (it does not start with "BM")\n');
  } finally {
    fs.rmSync(path.join(folder, 'example.mjs'), { force: true });
    scratch.remove();
  }
});

test('the methods docs/javascript.md lists are the declarations\' and the registry\'s', async () => {
  const bmpfun = await S.loadPackage();
  const docs = fs.readFileSync(path.join(S.root, 'docs', 'javascript.md'), 'utf8');
  const listed = [...docs.matchAll(/^\| `(\w+)\(([\w, ]*)\)` \| `([^`]+)` \| (new image|this, in place) \|/gm)]
      .map((m) => [m[1] + '(' + m[2] + ')', m[3], m[4] === 'new image']);
  const text = fs.readFileSync(path.join(path.dirname(S.packageEntry()), 'index.d.ts'), 'utf8');
  const declarations = text.slice(text.indexOf('// Operations of the registry (generated).'));
  const declared = [...declarations.matchAll(/^ {2}(\w+)\(([\w, :]*)\): (Image|this);$/gm)]
      .map((m) => [m[1] + '(' + m[2].replace(/: number/g, '') + ')', m[3] === 'Image']);
  const registry = (await bmpfun.operations()).map((op) => [op.usage, op.makesNewImage]);
  assert.deepEqual(listed.map(([signature, , made]) => [signature, made]), declared);
  assert.deepEqual(listed.map(([, usage, made]) => [usage, made]), registry);
});

test('the declarations type-check a TypeScript user\'s calls and refuse wrong ones (tsc --noEmit)', () => {
  const tsc = path.join(S.root, 'web', 'node_modules', 'typescript', 'bin', 'tsc');
  const folder = userFolder();
  const names = ['example.mts', 'tsconfig.json'];
  try {
    for (const name of names) fs.copyFileSync(path.join(__dirname, 'typescript', name), path.join(folder, name));
    const checked = spawnSync(process.execPath, [tsc, '-p', 'tsconfig.json'], { cwd: folder, encoding: 'utf8' });
    assert.equal(checked.status, 0, checked.stdout + checked.stderr);
  } finally {
    for (const name of names) fs.rmSync(path.join(folder, name), { force: true });
  }
});
