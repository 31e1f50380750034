// The page's session (web/page/session.js over the bmpfun package) under node, held to the
// native program: the same operations, the same pixels and files, the same header text, the
// same refusals in the page's words, and a command line that makes the same file.
'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const path = require('path');
const { spawnSync } = require('child_process');
const S = require('./support');

const CARD = { kind: 'card', name: 'card.bmp', width: 320, height: 240 };
// 4 x 3 in RLE8 whose middle row ends after two pixels: the extended reader draws nothing there.
const RLE_WITH_GAP = S.makeRle8({
  width: 4, height: 3, colours: [[200, 30, 60], [10, 220, 90]], rows: [[[4, 0]], [[2, 1]], [[1, 0], [3, 1]]],
});

function sameBytes(actual, expected, what) {
  const at = S.firstDifference(actual, expected);
  assert.equal(at, -1, what + ': first difference at byte ' + at + ' of ' + expected.length);
}

test('the page offers exactly the operations of the native registry, as bmpfun --help lists them', async () => {
  const engine = await S.loadEngine();
  // The registry field by field, and the method each operation becomes on an image.
  const methods = { 'extract-channel': 'extractChannel', 'random-dither': 'randomDither', 'ordered-dither': 'orderedDither',
    'floyd-steinberg-dither': 'floydSteinbergDither', 'edge-detect': 'edgeDetect', 'auto-crop': 'autoCrop' };
  const expected = S.nativeRegistry().operations.map((op) => Object.assign({ method: methods[op.name] || op.name }, op));
  const operations = engine.operations();
  assert.deepEqual(operations, expected);
  const help = S.runNative(['--help']).stdout;
  assert.deepEqual([...help.matchAll(/^ {10}(\S+) +\S/gm)].map((m) => m[1]), operations.map((op) => op.usage));
  for (const op of operations) {
    for (const a of op.arguments) {
      assert.ok(a.low <= a.start && a.start <= a.high && a.step > 0, op.name + ' ' + a.label);
      if (a.type === 'integer') assert.ok(Number.isInteger(a.start), op.name);
    }
    assert.ok(op.values.every((v) => v.value >= op.arguments[0].low && v.value <= op.arguments[0].high), op.name);
  }
  // The page sizes these from the picture the step receives.
  const measured = operations.filter((op) => op.arguments.some((a) => a.extent))
      .map((op) => [op.name, op.arguments.map((a) => a.extent)]);
  assert.deepEqual(measured, [['crop', ['column', 'row', 'width', 'height']]]);
});

test('every operation at its starting arguments gives the native program\'s file', async () => {
  const engine = await S.loadEngine();
  const scratch = S.tempDir();
  try {
    const card = S.nativeFile(scratch, null, [['testcard', 'OUT']]);
    const drawn = await engine.testcard(320, 240);
    assert.ok(drawn.ok);
    sameBytes(drawn.file, card, 'test card');
    const cardPath = scratch.file('card.bmp');
    fs.writeFileSync(cardPath, card);
    // A position or size measured in the picture starts as the whole of it, as on the page.
    const whole = { column: 0, row: 0, width: 320, height: 240 };
    for (const op of engine.operations()) {
      // sampling=1 first, so the warps and scale sample bilinearly.
      const tokens = ['sampling=1', S.Chain.token(op.name, op.arguments.map((a) => (a.extent ? whole[a.extent] : a.start)))];
      const run = await engine.run(tokens);
      assert.ok(run.ok, tokens.join(' ') + ': ' + run.error);
      const expected = S.nativeFile(scratch, cardPath, [['apply', 'IN', 'OUT', ...tokens]]);
      sameBytes(engine.save(24).file, expected, tokens.join(' '));
    }
  } finally {
    scratch.remove();
  }
});

test('random operations start from the first draw on every run, as a new process does', async () => {
  const engine = await S.loadEngine();
  const scratch = S.tempDir();
  try {
    const card = S.nativeFile(scratch, null, [['testcard', 'OUT', '64', '48']]);
    const tokens = ['noise=0.5', 'random-dither=2', 'noise=1'];
    const expected = S.nativeFile(scratch, null, [['testcard', 'OUT', '64', '48'], ['apply', 'IN', 'OUT', ...tokens]]);
    assert.ok((await engine.open(card)).ok);
    for (let round = 0; round < 2; round++) {
      assert.ok((await engine.run(tokens)).ok);
      sameBytes(engine.save(24).file, expected, 'round ' + round);
    }
  } finally {
    scratch.remove();
  }
});

test('the result file at every depth is what apply then convert write', async () => {
  const engine = await S.loadEngine();
  const scratch = S.tempDir();
  try {
    const tokens = ['sampling=2', 'rotate=30', 'saturation=1.5'];
    assert.ok((await engine.testcard(100, 70)).ok);
    assert.ok((await engine.run(tokens)).ok);
    for (const depth of S.Chain.DEPTHS) {
      const steps = [['testcard', 'OUT', '100', '70'], ['apply', 'IN', 'OUT', ...tokens]];
      if (depth !== '24') steps.push(['convert', 'IN', 'OUT', depth]);
      sameBytes(engine.save(depth).file, S.nativeFile(scratch, null, steps), depth + ' bits');
    }
    for (const depth of [2, '24a', 'x']) assert.equal(engine.save(depth).ok, false, String(depth));
  } finally {
    scratch.remove();
  }
});

test('header text and acceptance of every sample file match bmpfun info and convert, with either reader', async () => {
  const engine = await S.loadEngine();
  const scratch = S.tempDir();
  const limit = engine.maxPixels();
  const suite = path.join(S.testdata, 'bmpsuite');
  const files = ['b', 'g', 'q'].flatMap((group) =>
    fs.readdirSync(path.join(suite, group)).filter((f) => f.endsWith('.bmp')).map((f) => path.join(suite, group, f)));
  assert.ok(files.length > 50, 'sample files found: ' + files.length);
  const readers = [{ extended: false, options: [] }, { extended: true, options: ['--extended'] }];
  try {
    for (const { extended, options } of readers) {
      engine.setExtended(extended);
      for (const file of files) {
        const name = path.relative(suite, file) + ' ' + options.join(' ');
        const report = await engine.open(new Uint8Array(fs.readFileSync(file)));
        const info = S.runNative([...options, 'info', file]);
        assert.equal(report.header, info.stdout, name + ': header text');
        const converted = S.runNative([...options, 'convert', file, scratch.file('out.bmp')]);
        // An OS/2 1.x header's own fields are bcWidth and bcHeight; a failed info has none.
        const field = (which) => Number((new RegExp('(?:bi|bc)' + which + ': (-?\\d+)').exec(info.stdout) || [])[1] || 0);
        const width = field('Width'), height = field('Height');
        // The program's lines: "Error loading image: PATH: REASON" or "warning: PATH: WARNING".
        const reason = converted.stderr.trim().replace(/^(Error loading image|warning): [^\n]*?\.bmp: /, '');
        if (width > 0 && height > 0 && width * height > limit && reason.endsWith('(see --max-pixels)')) {
          assert.equal(report.ok, false, name);
          assert.match(report.note, /pixels passes the limit of 67108864 pixels \(this page's limit: 67,108,864 pixels, 2\^26;/, name);
        } else {
          assert.equal(report.ok, converted.code === 0, name + ': ' + report.note);
          // The page points to its switch where the program points to its option.
          assert.equal(report.note, reason.replace('(read it with --extended)', '(turn on the extended reader to read it)'), name);
          assert.equal(report.extendedReads, reason.endsWith('(read it with --extended)'), name);
        }
      }
    }
  } finally {
    engine.setExtended(false);
    scratch.remove();
  }
});

test('refused and short files are reported in words, the reason apart from the header text', async () => {
  const engine = await S.loadEngine();
  const rows8x8 = (n) => new Array(n * 24).fill(0x80);
  const zip = new Uint8Array([0x50, 0x4b, 3, 4, 0, 0]);
  const cut = S.makeBmp({ width: 8, height: 8 }).slice(0, 30);
  // header: the text `info` shows; none for a file that is not a BMP file or whose headers the
  // extended reader cannot describe (the reason is all there is to say).
  const cases = [
    { name: 'not a BMP file', file: zip, ok: false, note: /^not a BMP file \(it does not start with "BM"\)$/, header: /^$/ },
    { name: 'not a BMP file, extended reader', extended: true, file: zip, ok: false, note: /^not a BMP file \(it does not start with "BM"\)$/, header: /^$/ },
    { name: 'empty', file: new Uint8Array(0), ok: false, note: /^the headers are cut short \(0 bytes; they need 54\)$/, header: /^$/ },
    { name: 'empty, extended reader', extended: true, file: new Uint8Array(0), ok: false, note: /^the headers are cut short \(0 bytes; they need 54\)$/, header: /^$/ },
    { name: 'one byte "B"', file: new Uint8Array([0x42]), ok: false, note: /^the headers are cut short \(1 bytes/, header: /^$/ },
    { name: 'headers cut', file: cut, ok: false, note: /^the headers are cut short \(30 bytes/, header: /^bfType: 19778\nbfSize: 54\n/ },
    { name: 'headers cut, extended reader', extended: true, file: cut, ok: false, note: /^the headers are cut short \(30 bytes/, header: /^$/ },
    { name: 'run-length encoded', file: RLE_WITH_GAP, ok: false, note: /^RLE8 compression is not supported \(turn on the extended reader to read it\)$/, extendedReads: true, header: /\nbiCompression: 1\n/ },
    { name: 'run-length encoded, extended reader', extended: true, file: RLE_WITH_GAP, ok: true, note: /^$/, header: /^header: Windows \(40 bytes\)\n/ },
    { name: 'embedded JPEG, which no reader takes', file: S.makeBmp({ compression: 4 }), ok: false, note: /^an embedded JPEG stream \(compression 4\) is not supported$/ },
    { name: 'no width', file: S.makeBmp({ width: 0, height: 5 }), ok: false, note: /^a size of 0 x 5 is not supported/ },
    { name: 'past the page limit', file: S.makeBmp({ width: 9000, height: 9000 }), ok: false, note: /^9000 x 9000 pixels passes the limit of 67108864 pixels \(this page's limit: 67,108,864 pixels, 2\^26; the command-line program takes up to 2\^28 by default\)$/ },
    { name: 'at the page limit', file: S.makeBmp({ width: 8192, height: 8192, data: rows8x8(1) }), ok: true, note: /0 of 8192 rows arrived/ },
    { name: 'data cut short', file: S.makeBmp({ width: 8, height: 8, data: rows8x8(3) }), ok: true, note: /^the pixel data ends early: 3 of 8 rows arrived/ },
    { name: 'whole', file: S.makeBmp({ width: 8, height: 8, data: rows8x8(8) }), ok: true, note: /^$/ },
  ];
  try {
    for (const c of cases) {
      engine.setExtended(Boolean(c.extended));
      const report = await engine.open(c.file);
      assert.equal(report.ok, c.ok, c.name + ': ' + report.note);
      assert.match(report.note, c.note, c.name);
      assert.match(report.header, c.header || /^bfType: 19778\n(.+\n){15}$/, c.name);
      assert.equal(report.extendedReads, Boolean(c.extendedReads), c.name);
    }
  } finally {
    engine.setExtended(false);
  }
});

test('with the extended reader the source is drawn with its alpha, results opaque, as the program writes them', async () => {
  const engine = await S.loadEngine();
  const scratch = S.tempDir();
  try {
    fs.writeFileSync(scratch.file('rle.bmp'), RLE_WITH_GAP);
    engine.setExtended(true);
    assert.ok((await engine.open(RLE_WITH_GAP)).ok);
    for (const [withAlpha, depth] of [[true, '32'], [false, '24']]) {
      const native = S.decodeBmp(S.nativeFile(scratch, scratch.file('rle.bmp'), [['--extended', 'convert', 'IN', 'OUT', depth]]));
      sameBytes(engine.rgba(withAlpha), native.rgba, 'pixels as ' + depth + ' bits');
    }
    assert.ok(engine.rgba(true).some((channel, i) => i % 4 === 3 && channel === 0), 'the gap is transparent');
  } finally {
    engine.setExtended(false);
    scratch.remove();
  }
});

test('a step that fails stops the run with the program\'s reason, without the program\'s name in front', async () => {
  const engine = await S.loadEngine();
  const scratch = S.tempDir();
  try {
    const card = S.nativeFile(scratch, null, [['testcard', 'OUT']]);
    fs.writeFileSync(scratch.file('card.bmp'), card);
    assert.ok((await engine.open(card)).ok);
    const cases = [
      { tokens: ['blur=2', 'crop=300,200,50,50', 'fun=1'], steps: 2, native: true },
      { tokens: ['fun=7'], steps: 1, native: true },
      { tokens: ['sampling=2', 'crop=0,0,0,1'], steps: 2, native: true },
      { tokens: ['rotate'], steps: 1, error: /needs arguments/ },
      { tokens: ['scale=30,30'], steps: 1, error: /^scale=30,30: \d+ x \d+ pixels passes the limit of 67108864 pixels \(this page's limit: 67,108,864 pixels, 2\^26;/ },
    ];
    for (const c of cases) {
      const run = await engine.run(c.tokens);
      assert.equal(run.ok, false, c.tokens.join(' '));
      assert.equal(run.steps.length, c.steps, c.tokens.join(' '));
      assert.equal(run.steps[c.steps - 1].error, run.error);
      if (c.native) {
        const r = S.runNative(['apply', scratch.file('card.bmp'), scratch.file('out.bmp'), ...c.tokens]);
        assert.match(r.stderr, /^(bmpfun|Error allocating image\.): /, c.tokens.join(' '));
        assert.equal(run.error, S.stepMessage(r.stderr.trim()), c.tokens.join(' '));
      } else {
        assert.match(run.error, c.error);
      }
    }
  } finally {
    scratch.remove();
  }
});

test('command lines for the chain', () => {
  const file = (name) => ({ kind: 'file', name });
  const cases = [
    [CARD, [], 24, 'bmpfun testcard card.bmp && bmpfun apply card.bmp card-result.bmp sampling=0'],
    [{ kind: 'card', width: 64, height: 48 }, ['fun=1'], 8,
      'bmpfun testcard card.bmp 64 48 && bmpfun apply card.bmp card-result.bmp fun=1 && ' +
      'bmpfun convert card-result.bmp card-result-8.bmp 8'],
    [file('holiday.BMP'), ['sampling=1', 'scale=0.5,0.5'], 24, 'bmpfun apply holiday.BMP holiday-result.bmp sampling=1 scale=0.5,0.5'],
    [file("my dad's.bmp"), ['edge-detect'], 1,
      "bmpfun apply 'my dad'\\''s.bmp' 'my dad'\\''s-result.bmp' edge-detect && " +
      "bmpfun convert 'my dad'\\''s-result.bmp' 'my dad'\\''s-result-1.bmp' 1"],
    [file('-x.bmp'), ['blur=3'], 24, 'bmpfun apply -x.bmp _-x-result.bmp blur=3'],
    [file('rle.bmp'), ['fun=1'], '32a', 'bmpfun --extended apply rle.bmp rle-result.bmp fun=1 && ' +
      'bmpfun --extended convert rle-result.bmp rle-result-32a.bmp 32a', { extended: true }],
  ];
  for (const [source, tokens, depth, expected, options] of cases) {
    assert.equal(S.Chain.commandLine(source, tokens, depth, options), expected);
  }
  assert.equal(S.Chain.token('crop', ['1', ' 2', '3', '4 ']), 'crop=1,2,3,4');
  assert.equal(S.Chain.token('auto-crop', []), 'auto-crop');
  for (const depth of [2, '24a', '']) assert.throws(() => S.Chain.commandLine(CARD, [], depth), String(depth));
});

test('the command line shown makes the page\'s file', async () => {
  const engine = await S.loadEngine();
  const scratch = S.tempDir();
  try {
    const shell = (command) => {
      const r = spawnSync('bash', ['-c', command], {
        cwd: scratch.dir, env: Object.assign({}, process.env, { PATH: path.dirname(S.nativeCli) + ':' + process.env.PATH }),
      });
      assert.equal(r.status, 0, command + ': ' + r.stderr);
    };
    const named = { kind: 'file', name: "it's a card.bmp" };
    shell("bmpfun testcard \"it's a card.bmp\" 90 60");
    const rle = { kind: 'file', name: 'rle.bmp' };
    fs.writeFileSync(scratch.file(rle.name), RLE_WITH_GAP);
    const cases = [
      [{ kind: 'card', width: 90, height: 61 }, ['sampling=2', 'rotate=30', 'floyd-steinberg-dither=1'], 8],
      [named, ['noise=0.3', 'mosaic=7'], 4],
      [named, [], 24],
      [named, ['blur=3'], '32a'],
      [rle, ['scale=3,2'], '32a', { extended: true }],
      [rle, [], '32', { extended: true }],
    ];
    for (const [source, tokens, depth, options = {}] of cases) {
      engine.setExtended(Boolean(options.extended));
      if (source.kind === 'card') assert.ok((await engine.testcard(source.width, source.height)).ok);
      else assert.ok((await engine.open(new Uint8Array(fs.readFileSync(scratch.file(source.name))))).ok);
      assert.ok((await engine.run(tokens)).ok);
      const command = S.Chain.commandLine(source, tokens, depth, options);
      shell(command);
      const made = fs.readFileSync(scratch.file(S.Chain.outputName(source, depth)));
      sameBytes(engine.save(depth).file, new Uint8Array(made), command);
    }
  } finally {
    engine.setExtended(false);
    scratch.remove();
  }
});

test('the WebAssembly program refuses a picture too large for its memory instead of stopping', () => {
  // Without native WebAssembly exceptions every catch of std::bad_alloc is dead code and the
  // allocation aborts the program. 2^30 pixels pass the size limit but not a 2 GiB heap.
  const scratch = S.tempDir();
  try {
    const card = scratch.file('card.bmp');
    assert.equal(S.runNative(['testcard', card]).code, 0);
    const cases = [
      [['apply', card, scratch.file('out.bmp'), 'scale=90,90'], /^Error allocating image\.: scale=90,90: not enough memory for \d+ x \d+ pixels\n$/],
      [['testcard', scratch.file('out.bmp'), '30000', '30000'], /^Error allocating image\.: testcard: not enough memory for 30000 x 30000 pixels\n$/],
    ];
    for (const [args, message] of cases) {
      const r = spawnSync(path.join(S.wasmBuild, 'bmpfun-node'), ['--max-pixels', '1073741824', ...args]);
      assert.equal(r.status, 1, args.join(' '));
      assert.match(r.stderr.toString(), message);
      assert.equal(fs.existsSync(scratch.file('out.bmp')), false);
    }
  } finally {
    scratch.remove();
  }
});
