// Warps, rotates and scales over many sizes and all three sampling methods: the package (as
// the page's session runs it) must write the native program's bytes for every one. Floating-point
// code is where two builds can drift (the C libraries' sin and atan2 differ in the last bit
// for some inputs), so this covers many coordinates rather than a few.
'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const S = require('./support');

const SIZES = [[1, 1], [2, 3], [7, 5], [16, 16], [31, 17], [64, 48], [100, 1], [1, 100],
  [127, 129], [200, 150], [320, 240], [333, 101], [257, 400], [512, 384], [1023, 777]];
const OPERATIONS = ['fun=0', 'fun=1', 'fun=2', 'rotate=30', 'rotate=-45', 'rotate=90', 'rotate=137.5',
  'rotate=0.001', 'scale=0.5,0.5', 'scale=1.7,0.3', 'scale=2,2', 'scale=0.1,3', 'scale=1,1', 'scale=0.333,1.25'];
const METHODS = [0, 1, 2];

test('warps, rotates and scales match the native program byte for byte', async () => {
  const engine = await S.loadEngine();
  const scratch = S.tempDir();
  let compared = 0;
  const mismatches = [];
  try {
    for (const [width, height] of SIZES) {
      const card = scratch.file('card-' + width + 'x' + height + '.bmp');
      assert.equal(S.runNative(['testcard', card, String(width), String(height)]).code, 0);
      assert.ok((await engine.open(new Uint8Array(fs.readFileSync(card)))).ok);
      for (const method of METHODS) {
        for (const operation of OPERATIONS) {
          const tokens = ['sampling=' + method, operation];
          const out = scratch.file('out.bmp');
          const native = S.runNative(['apply', card, out, ...tokens]);
          const run = await engine.run(tokens);
          const what = width + ' x ' + height + ' ' + tokens.join(' ');
          if (native.code !== 0) {
            // Refused alike (a rotate of a blank picture has nothing left to crop to).
            assert.equal(run.ok, false, what);
            assert.equal(run.error, S.stepMessage(native.stderr.trim()), what);
          } else {
            assert.ok(run.ok, what + ': ' + run.error);
            const expected = fs.readFileSync(out);
            if (S.firstDifference(engine.save(24).file, new Uint8Array(expected)) !== -1) mismatches.push(what);
          }
          fs.rmSync(out, { force: true });
          compared++;
        }
      }
    }
  } finally {
    scratch.remove();
  }
  assert.equal(compared, SIZES.length * OPERATIONS.length * METHODS.length);
  assert.deepEqual(mismatches, []);
  console.log('# ' + compared + ' cases compared');
});
