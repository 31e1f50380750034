// The page in a real browser: Debian's Chromium, headless, driven by puppeteer-core through
// what a person does (draw the test card, add an operation, change its argument, download
// the result, open a refused file, drop a file) and held to the native program's output.
'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const crypto = require('crypto');
const fs = require('fs');
const path = require('path');
const S = require('./support');

const puppeteer = require(require.resolve('puppeteer-core', { paths: [path.join(S.root, 'web')] }));
const CHROMIUM = process.env.BMPFUN_CHROMIUM || '/usr/bin/chromium';
const SCREENSHOT = process.env.BMPFUN_WEB_SCREENSHOT || path.join(S.wasmBuild, 'web-playground.png');

let server, browser, page, scratch;
const downloads = () => path.join(scratch.dir, 'downloads');

test.before(async () => {
  scratch = S.tempDir();
  fs.mkdirSync(downloads());
  server = await S.serve(S.site);
  browser = await puppeteer.launch({
    executablePath: CHROMIUM,
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-background-networking', '--disable-dev-shm-usage',
      '--no-first-run', '--disable-extensions'],
  });
  page = await browser.newPage();
  const problems = [];
  page.on('pageerror', (error) => problems.push(error.message));
  page.on('console', (message) => {
    if (message.type() === 'error') problems.push(message.text());
  });
  page.problems = problems;
  await page.setViewport({ width: 1280, height: 860 });
  const session = await browser.target().createCDPSession();
  await session.send('Browser.setDownloadBehavior', { behavior: 'allow', downloadPath: downloads() });
  await page.goto(server.url, { waitUntil: 'load' });
  await page.waitForFunction(() => document.body.dataset.state === 'ready');
});

test.after(async () => {
  if (browser) await browser.close();
  if (server) server.close();
  if (scratch) scratch.remove();
});

function sha256(bytes) {
  return crypto.createHash('sha256').update(bytes).digest('hex');
}

// What the page shows on a canvas: its size and a digest of its r, g, b, a bytes.
function canvasDigest(id) {
  return page.evaluate(async (canvasId) => {
    const canvas = document.getElementById(canvasId);
    const data = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height).data;
    const digest = new Uint8Array(await crypto.subtle.digest('SHA-256', data));
    return { width: canvas.width, height: canvas.height, digest: Array.from(digest, (b) => b.toString(16).padStart(2, '0')).join('') };
  }, id);
}

// The native program's file as the page would draw it.
function nativePicture(steps) {
  const picture = S.decodeBmp(S.nativeFile(scratch, null, steps));
  return { width: picture.width, height: picture.height, digest: sha256(picture.rgba) };
}

function waitForResult(chain, timeout = 30000) {
  return page.waitForFunction((expected) => document.body.dataset.state === 'ready' &&
      document.getElementById('result').dataset.chain === expected, { timeout }, chain);
}

// Type value into the index-th box that selector matches, as a person would.
async function setNumber(selector, value, index = 0) {
  await page.$$eval(selector, (boxes, v, i) => {
    boxes[i].value = v;
    boxes[i].dispatchEvent(new Event('input', { bubbles: true }));
  }, String(value), index);
}

async function dropFile(name, bytes) {
  await page.evaluate((fileName, content) => {
    const transfer = new DataTransfer();
    transfer.items.add(new File([new Uint8Array(content)], fileName));
    document.dispatchEvent(new DragEvent('drop', { dataTransfer: transfer, bubbles: true, cancelable: true }));
  }, name, Array.from(bytes));
}

// How a canvas is shown: fitToFrame's choice, the rendering it gets, and whether the shown
// size is below or above the canvas's own.
function shownAs(id) {
  return page.$eval('#' + id, (canvas) => {
    const box = canvas.getBoundingClientRect();
    return { fit: canvas.dataset.fit, rendering: getComputedStyle(canvas).imageRendering,
      smaller: box.width < canvas.width, larger: box.width > canvas.width };
  });
}

async function waitForDownload(name) {
  const file = path.join(downloads(), name);
  for (let waited = 0; waited < 20000; waited += 100) {
    if (fs.existsSync(file)) return new Uint8Array(fs.readFileSync(file));
    await new Promise((resolve) => setTimeout(resolve, 100));
  }
  throw new Error('no download ' + name + ' (folder holds: ' + fs.readdirSync(downloads()).join(', ') + ')');
}

test('the test card warped by fun 1 shows the native program\'s pixels', async () => {
  await page.click('#card');
  await waitForResult('');
  assert.deepEqual(await canvasDigest('source'), nativePicture([['testcard', 'OUT']]));
  await page.select('#operation', 'fun');
  await page.click('#add');
  await waitForResult('fun=1');
  assert.deepEqual(await canvasDigest('result'),
      nativePicture([['testcard', 'OUT'], ['apply', 'IN', 'OUT', 'fun=1']]));
  assert.equal(await page.$eval('#command', (e) => e.textContent),
      'bmpfun testcard card.bmp && bmpfun apply card.bmp card-result.bmp fun=1');
  assert.match(await page.$eval('#chain li .timing', (e) => e.textContent), /^[\d.]+ ms · 481 × 481$/);
  assert.match(await page.$eval('#header', (e) => e.textContent), /^bfType: 19778\nbfSize: 230454\n/);
  await page.screenshot({ path: SCREENSHOT });
});

test('changing an argument shows the new result, and the chain grows', async () => {
  await setNumber('#chain li input[type=number]', 0);
  await waitForResult('fun=0');
  await page.select('#operation', 'ordered-dither');
  await page.click('#add');
  await waitForResult('fun=0 ordered-dither=1');
  assert.deepEqual(await canvasDigest('result'),
      nativePicture([['testcard', 'OUT'], ['apply', 'IN', 'OUT', 'fun=0', 'ordered-dither=1']]));
});

test('the result downloads at the chosen depth as the program writes it', async () => {
  await page.select('#depth', '8');
  assert.match(await page.$eval('#command', (e) => e.textContent),
      / && bmpfun convert card-result\.bmp card-result-8\.bmp 8$/);
  await page.click('#download');
  const file = await waitForDownload('card-result-8.bmp');
  const expected = S.nativeFile(scratch, null,
      [['testcard', 'OUT'], ['apply', 'IN', 'OUT', 'fun=0', 'ordered-dither=1'], ['convert', 'IN', 'OUT', '8']]);
  assert.equal(S.firstDifference(file, expected), -1);
});

test('a step past the page\'s size limit says so at the step and stops the run there', async () => {
  await page.select('#operation', 'scale');
  await page.click('#add');
  await waitForResult('fun=0 ordered-dither=1 scale=0.5,0.5');
  await setNumber('#chain li:nth-child(3) input[type=number]', 30, 0);
  await setNumber('#chain li:nth-child(3) input[type=number]', 30, 1);
  await page.waitForFunction(() => document.getElementById('result-note').textContent ===
      'Stopped at step 3 (scale=30,30); shown: the picture before it.');
  assert.match(await page.$eval('#chain li.failed .error', (e) => e.textContent),
      /^scale=30,30: \d+ x \d+ pixels passes the limit of 67108864 pixels \(this page's limit: 67,108,864 pixels/);
  // The steps before it show their time and size; the failed one only its reason.
  assert.deepEqual((await page.$$eval('#chain li .timing', (all) => all.map((e) => e.textContent)))
      .map((text) => /^[\d.]+ ms · \d+ × \d+$/.test(text)), [true, true, false]);
  assert.equal(await page.$eval('#download', (e) => e.disabled), true);
  await page.click('#chain li:nth-child(3) button[title=Remove]');
  await waitForResult('fun=0 ordered-dither=1');
  assert.equal(await page.$eval('#result-note', (e) => e.hidden), true);
});

test('a result wider than a canvas can draw is still made and can be downloaded', async () => {
  await page.select('#depth', '24');
  await page.select('#operation', 'scale');
  await page.click('#add');
  await setNumber('#chain li:nth-child(3) input[type=number]', 150, 0);
  await setNumber('#chain li:nth-child(3) input[type=number]', 0.01, 1);
  await waitForResult('fun=0 ordered-dither=1 scale=150,0.01');
  assert.match(await page.$eval('#result-size', (e) => e.textContent), /^48000 × 2 · .* \(too large to show here\)$/);
  await page.click('#download');
  const file = await waitForDownload('card-result.bmp');
  const expected = S.nativeFile(scratch, null,
      [['testcard', 'OUT'], ['apply', 'IN', 'OUT', 'fun=0', 'ordered-dither=1', 'scale=150,0.01']]);
  assert.equal(S.firstDifference(file, expected), -1);
  await page.click('#chain li:nth-child(3) button[title=Remove]');
  await page.select('#depth', '8');
  await waitForResult('fun=0 ordered-dither=1');
});

test('a refused file shows its header and the reason', async () => {
  const rle = scratch.file('rle8.bmp');
  fs.writeFileSync(rle, S.makeBmp({ width: 8, height: 8, bits: 8, compression: 1, table: new Array(1024).fill(0) }));
  const input = await page.$('#file');
  await input.uploadFile(rle);
  await page.waitForFunction(() => document.getElementById('note').textContent ===
      'RLE8 compression is not supported (turn on the extended reader to read it) Turn on the extended reader');
  assert.equal(await page.$eval('#note', (e) => e.className), 'note refused');
  assert.match(await page.$eval('#header', (e) => e.textContent), /\nbiCompression: 1\n/);
  assert.equal(await page.$eval('#download', (e) => e.disabled), true);
  assert.equal(await page.$eval('#command', (e) => e.textContent), '');
});

test('dropped files open: one past the page\'s limit is refused, a short one warns', async () => {
  await dropFile('huge.bmp', S.makeBmp({ width: 9000, height: 9000 }));
  await page.waitForFunction(() => /^9000 x 9000 pixels passes the limit of 67108864 pixels \(this page's limit: 67,108,864 pixels, 2\^26;/
      .test(document.getElementById('note').textContent));
  const short = S.makeBmp({ width: 8, height: 8, data: new Array(3 * 24).fill(0x40) });
  await dropFile('short.bmp', short);
  await page.waitForFunction(() => /3 of 8 rows arrived/.test(document.getElementById('note').textContent));
  assert.equal(await page.$eval('#note', (e) => e.className), 'note warning');
  await waitForResult('fun=0 ordered-dither=1');
  fs.writeFileSync(scratch.file('short.bmp'), short);
  assert.deepEqual(await canvasDigest('result'),
      nativePicture([['apply', scratch.file('short.bmp'), 'OUT', 'fun=0', 'ordered-dither=1']]));
  assert.equal(await page.$eval('#command', (e) => e.textContent),
      'bmpfun apply short.bmp short-result.bmp fun=0 ordered-dither=1 && ' +
      'bmpfun convert short-result.bmp short-result-8.bmp 8');
});

test('a long warp runs off the main thread: fun 1 on 2048 x 2048', async () => {
  await page.click('#chain li:nth-child(2) button[title=Remove]');
  await setNumber('#chain li input[type=number]', 1);
  await waitForResult('fun=1');
  await setNumber('#card-width', 2048);
  await setNumber('#card-height', 2048);
  await page.click('#card');
  await page.waitForFunction(() => document.body.dataset.state === 'working');
  // While the worker draws and warps, the page still answers and paints: work on the main
  // thread would hold every frame until it ended, leaving at most one check.
  let slowest = 0;
  let checks = 0;
  while (await page.evaluate(() => document.body.dataset.state) === 'working') {
    const started = Date.now();
    await page.evaluate(() => new Promise((resolve) => requestAnimationFrame(() => resolve())));
    slowest = Math.max(slowest, Date.now() - started);
    checks++;
  }
  assert.ok(checks >= 3, 'frames during the warp: ' + checks + ', slowest ' + slowest + ' ms');
  await waitForResult('fun=1', 120000);
  const timing = await page.$eval('#chain li .timing', (e) => e.textContent);
  assert.match(timing, /· 4097 × 4097$/);
  const native = S.runNative(['testcard', scratch.file('big.bmp'), '2048', '2048']);
  assert.equal(native.code, 0);
  const warpStarted = process.hrtime.bigint();
  assert.equal(S.runNative(['fun', scratch.file('big.bmp'), scratch.file('big-1.bmp'), '1']).code, 0);
  const nativeMs = Number(process.hrtime.bigint() - warpStarted) / 1e6;
  const expected = S.decodeBmp(new Uint8Array(fs.readFileSync(scratch.file('big-1.bmp'))));
  assert.deepEqual(await canvasDigest('result'), { width: 4097, height: 4097, digest: sha256(expected.rgba) });
  // Reduced to fit its frame, and drawn smoothly there.
  assert.deepEqual(await shownAs('result'), { fit: 'reduced', rendering: 'auto', smaller: true, larger: false });
  console.log('# fun 1 on 2048 x 2048: ' + timing.split(' · ')[0] + ' in Chromium (the warp alone); ' +
      Math.round(nativeMs) + ' ms for the native `bmpfun fun` (load, warp, save); slowest frame meanwhile ' +
      slowest + ' ms over ' + checks + ' checks');
});

test('the extended reader switch reads what the default reader refuses, and 32a downloads', async () => {
  // 16 x 8 in RLE8, every row two runs: only the extended reader takes it.
  const file = scratch.file('runs.bmp');
  const colours = [[250, 20, 40], [20, 160, 250], [240, 230, 30]];
  const rows = Array.from({ length: 8 }, (_, y) => [[5 + y, y % 3], [11 - y, (y + 1) % 3]]);
  fs.writeFileSync(file, S.makeRle8({ width: 16, height: 8, colours, rows }));
  await page.click('#chain li button[title=Remove]');
  await page.select('#depth', '32a');
  assert.equal(await page.$eval('#depth option[value="32a"]', (e) => e.textContent), '32 bits with alpha (V5)');
  await (await page.$('#file')).uploadFile(file);
  await page.waitForSelector('#turn-on-extended');
  assert.match(await page.$eval('#note', (e) => e.textContent), /^RLE8 compression is not supported \(turn on the extended reader to read it\)/);
  assert.equal(await page.$eval('#extended', (e) => e.checked), false);
  await page.click('#turn-on-extended');
  await page.waitForFunction(() => document.getElementById('result-size').textContent.startsWith('16 × 8 · '));
  await waitForResult('');
  assert.equal(await page.$eval('#extended', (e) => e.checked), true);
  const decoded = nativePicture([['--extended', 'convert', file, 'OUT', '32']]);
  assert.deepEqual(await canvasDigest('source'), decoded);
  assert.deepEqual(await canvasDigest('result'), decoded);
  assert.equal(await page.$eval('#header', (e) => e.textContent), S.runNative(['--extended', 'info', file]).stdout);
  assert.equal(await page.$eval('#header-command', (e) => e.textContent), 'bmpfun --extended info');
  assert.equal(await page.$eval('#command', (e) => e.textContent), 'bmpfun --extended apply runs.bmp runs-result.bmp sampling=0 && ' +
      'bmpfun --extended convert runs-result.bmp runs-result-32a.bmp 32a');
  await page.click('#download');
  const expected = S.nativeFile(scratch, file, [['--extended', 'convert', 'IN', 'OUT', '32a']]);
  assert.equal(S.firstDifference(await waitForDownload('runs-result-32a.bmp'), expected), -1);
  // Turned off, the switch reads the file again, with the default reader.
  await page.click('#extended');
  await page.waitForSelector('#turn-on-extended');
  assert.equal(await page.$eval('#header-command', (e) => e.textContent), 'bmpfun info');
});

test('a refused or empty file shows its reason in the note and no header fields, with either reader', async () => {
  const cases = [
    { name: 'empty.bmp', extended: true, bytes: [], note: 'the headers are cut short (0 bytes; they need 54)' },
    { name: 'archive.bmp', extended: true, bytes: [0x50, 0x4b, 3, 4, 0, 0], note: 'not a BMP file (it does not start with "BM")' },
    { name: 'cut.bmp', extended: true, bytes: S.makeBmp({ width: 8, height: 8 }).slice(0, 30), note: 'the headers are cut short (30 bytes; they need 54)' },
    { name: 'archive2.bmp', extended: false, bytes: [0x50, 0x4b, 3, 4, 0, 0], note: 'not a BMP file (it does not start with "BM")' },
    { name: 'empty2.bmp', extended: false, bytes: [], note: 'the headers are cut short (0 bytes; they need 54)' },
  ];
  for (const c of cases) {
    if (await page.$eval('#extended', (e) => e.checked) !== c.extended) {
      await page.click('#extended');  // reads the last file again
      await page.waitForFunction(() => document.body.dataset.state !== 'working');
    }
    await dropFile(c.name, c.bytes);
    await page.waitForFunction((name) => document.getElementById('source-name').textContent === name + ': not opened' &&
        document.body.dataset.state === 'refused', {}, c.name);
    const shown = await page.evaluate(() => ({
      note: document.getElementById('note').textContent,
      kind: document.getElementById('note').className,
      header: document.getElementById('header').textContent,
      open: document.getElementById('header-box').open,
    }));
    assert.deepEqual(shown, { note: c.note, kind: 'note refused', header: '', open: false }, c.name);
  }
});

test('the keyboard reaches every control, and Enter or Space on "Open a BMP file…" opens the chooser', async () => {
  await page.reload({ waitUntil: 'load' });
  await page.waitForFunction(() => document.body.dataset.state === 'ready');
  // Tab from the top of the page once round: each control reached, and how its focus shows.
  const reached = [];
  for (let press = 0; press < 20; press++) {
    await page.keyboard.press('Tab');
    const focused = await page.evaluate(() => {
      const e = document.activeElement;
      const style = getComputedStyle(e);
      return { name: e.id || e.tagName.toLowerCase(), ring: style.outlineStyle !== 'none' && parseFloat(style.outlineWidth) >= 2 };
    });
    if (focused.name === 'body' || (reached.length && focused.name === reached[0].name)) break;
    reached.push(focused);
  }
  assert.deepEqual(reached.map((f) => f.name), ['open', 'card', 'card-width', 'card-height', 'extended', 'summary',
    'operation', 'add', 'depth', 'try-0', 'try-1', 'try-2', 'try-3', 'try-4', 'try-5', 'try-6']);
  assert.deepEqual(reached.filter((f) => !f.ring), [], 'controls focused without a visible ring');
  const files = [['Enter', 'by-enter.bmp', 5], ['Space', 'by-space.bmp', 7]];
  for (const [key, name, side] of files) {
    fs.writeFileSync(scratch.file(name), S.makeBmp({ width: side, height: side, data: new Array(side * Math.ceil(side * 3 / 4) * 4).fill(0x60) }));
    await page.focus('#open');
    const waiting = page.waitForFileChooser({ timeout: 5000 });
    // A round trip to the page first: without it the first chooser after a load sometimes
    // opened before puppeteer's interception took hold and was never reported.
    await page.evaluate(() => 0);
    await page.keyboard.press(key);
    await (await waiting).accept([scratch.file(name)]);
    await page.waitForFunction((n) => document.getElementById('source-name').textContent === n, {}, name);
    assert.equal(await page.$eval('#source-size', (e) => e.textContent), side + ' × ' + side, key);
  }
});

test('crop starts as the whole picture it receives, its sliders span it, and it follows a new source', async () => {
  const sliderRanges = () => page.$$eval('#chain li:last-child input[type=range]', (all) => all.map((e) => [Number(e.min), Number(e.max)]));
  const drawCard = async (width, height) => {
    await setNumber('#card-width', width);
    await setNumber('#card-height', height);
    await page.click('#card');
    await page.waitForFunction((size) => document.getElementById('source-size').textContent === size, {}, width + ' × ' + height);
  };
  await drawCard(320, 240);
  await waitForResult('');
  await page.select('#operation', 'crop');
  await page.click('#add');
  await waitForResult('crop=0,0,320,240');
  assert.deepEqual(await sliderRanges(), [[0, 319], [0, 239], [1, 320], [1, 240]]);
  // A step left as it was added follows each new picture; values typed in stay while they fit.
  await drawCard(64, 48);
  await waitForResult('crop=0,0,64,48');
  assert.deepEqual(await sliderRanges(), [[0, 63], [0, 47], [1, 64], [1, 48]]);
  await setNumber('#chain li input[type=number]', 10, 0);
  await setNumber('#chain li input[type=number]', 20, 2);
  await waitForResult('crop=10,0,20,48');
  await drawCard(100, 70);
  await waitForResult('crop=10,0,20,48');
  assert.deepEqual(await sliderRanges(), [[0, 99], [0, 69], [1, 100], [1, 70]]);
  assert.deepEqual(await canvasDigest('result'),
      nativePicture([['testcard', 'OUT', '100', '70'], ['apply', 'IN', 'OUT', 'crop=10,0,20,48']]));
  await drawCard(16, 16);
  await waitForResult('crop=0,0,16,16');
  // After another step, crop gets the picture that step made, and follows it when it changes.
  await page.click('#chain li button[title=Remove]');
  await page.select('#operation', 'scale');
  await page.click('#add');
  await page.select('#operation', 'crop');
  await page.click('#add');
  await waitForResult('scale=0.5,0.5 crop=0,0,8,8');
  assert.deepEqual(await sliderRanges(), [[0, 7], [0, 7], [1, 8], [1, 8]]);
  // A small picture is enlarged by a whole factor with its pixels drawn as squares.
  assert.deepEqual(await shownAs('source'), { fit: 'enlarged', rendering: 'pixelated', smaller: false, larger: true });
  assert.equal(await page.$eval('#source', (e) => e.getBoundingClientRect().width % 16), 0);
  await setNumber('#chain li input[type=number]', 0.25, 0);
  await waitForResult('scale=0.25,0.5 crop=0,0,4,8');
  assert.equal(await page.$eval('#result-note', (e) => e.hidden), true);
  assert.deepEqual(await canvasDigest('result'),
      nativePicture([['testcard', 'OUT', '16', '16'], ['apply', 'IN', 'OUT', 'scale=0.25,0.5', 'crop=0,0,4,8']]));
});

test('operations and arguments are named in the registry\'s words, named values chosen by name', async () => {
  const registry = S.nativeRegistry().operations;
  const options = await page.$$eval('#operation option', (all) => all.map((o) => [o.value, o.textContent, o.title]));
  assert.deepEqual(options.map(([value]) => value), registry.map((op) => op.name));
  options.forEach(([value, text, title], i) => {
    assert.equal(title, registry[i].summary, value);
    // "name — the summary's start", cut at a word break with an ellipsis.
    const [name, words] = text.split(' — ');
    assert.ok(name === value && words.length > 15 && title.startsWith(words.replace(/…$/, '')), text);
  });
  while (await page.$('#chain li')) await page.click('#chain li button[title=Remove]');
  await waitForResult('');
  const labels = () => page.$$eval('#chain li:last-child .argument > span', (all) => all.map((e) => e.textContent));
  for (const name of ['scale', 'fun']) {
    await page.select('#operation', name);
    await page.click('#add');
    assert.deepEqual(await labels(), registry.find((op) => op.name === name).arguments.map((a) => a.label), name);
  }
  await waitForResult('scale=0.5,0.5 fun=1');
  const fun = '#chain li:last-child';
  assert.deepEqual(await page.$$eval(fun + ' select option:not([disabled])', (all) => all.map((o) => [o.value, o.textContent])),
      [['0', '0 sine wave'], ['1', '1 polar disc'], ['2', '2 polar mapping']]);
  assert.equal(await page.$eval(fun + ' select', (e) => e.value), '1');
  await page.select(fun + ' select', '2');
  await waitForResult('scale=0.5,0.5 fun=2');
  assert.equal(await page.$eval(fun + ' input[type=number]', (e) => e.value), '2');
  // A number without a name: the choice says so, and the failure reads as the program's reason.
  await setNumber(fun + ' input[type=number]', 7);
  await page.waitForFunction((at) => document.querySelector(at + '.failed .error'), {}, fun);
  assert.equal(await page.$eval(fun + ' select', (e) => e.selectedOptions[0].textContent), 'other value');
  const card = scratch.file('card-16.bmp');
  assert.equal(S.runNative(['testcard', card, '16', '16']).code, 0);
  const program = S.runNative(['apply', card, scratch.file('never.bmp'), 'scale=0.5,0.5', 'fun=7']).stderr.trim();
  assert.equal(await page.$eval(fun + ' .error', (e) => e.textContent), S.stepMessage(program));
  assert.match(await page.$eval(fun + ' .error', (e) => e.textContent), /^fun=7: there is no effect 7/);
  assert.equal(await page.$eval(fun + ' .timing', (e) => e.textContent), '');
});

test('a narrow window keeps the source and the result side by side in view while the controls scroll', async () => {
  await page.setViewport({ width: 640, height: 900 });
  try {
    await page.evaluate(() => document.getElementById('operation').scrollIntoView({ block: 'end' }));
    assert.ok(await page.evaluate(() => window.scrollY) > 0, 'the page scrolled');
    const boxes = await page.$$eval('#source, #result', (all) => all.map((canvas) => {
      const box = canvas.getBoundingClientRect();
      return { top: box.top, bottom: box.bottom, left: box.left, right: box.right };
    }));
    for (const box of boxes) assert.ok(box.top >= 0 && box.bottom <= 900 && box.right <= 640, JSON.stringify(box));
    assert.ok(boxes[0].right <= boxes[1].left, 'side by side: ' + JSON.stringify(boxes));
    const select = await page.$eval('#operation', (e) => e.getBoundingClientRect().bottom);
    assert.ok(select <= 900 && select > boxes[0].bottom, 'the control in view below the pictures');
  } finally {
    await page.setViewport({ width: 1280, height: 860 });
    await page.evaluate(() => window.scrollTo(0, 0));
  }
});

test('the gallery shows the test card and what each chain makes of it, and "Try it" puts the chain on the card', async () => {
  const pairs = await page.$$eval('#gallery .pair', (all) => all.map((pair) => ({
    chain: pair.querySelector('code').textContent,
    words: pair.querySelector('figcaption .muted').textContent,
  })));
  assert.deepEqual(pairs.map((p) => p.chain), ['sampling=1 fun=0', 'sampling=1 fun=1', 'sampling=1 fun=2', 'mosaic=24',
    'sampling=1 rotate=30', 'floyd-steinberg-dither=1', 'edge-detect']);
  // Named in the registry's words: the warp's name, or the start of the operation's summary.
  const registry = S.nativeRegistry().operations;
  assert.deepEqual(pairs.slice(0, 3).map((p) => p.words), registry.find((op) => op.name === 'fun').values.map((v) => v.name));
  assert.ok(registry.find((op) => op.name === 'edge-detect').summary.startsWith(pairs[6].words.replace(/…$/, '')));
  const digests = await page.$$eval('#gallery .pair canvas', async (all) => Promise.all(all.map(async (canvas) => {
    const data = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height).data;
    const digest = new Uint8Array(await crypto.subtle.digest('SHA-256', data));
    return { width: canvas.width, height: canvas.height, digest: Array.from(digest, (b) => b.toString(16).padStart(2, '0')).join('') };
  })));
  const card = nativePicture([['testcard', 'OUT', '160', '120']]);
  pairs.forEach((pair, i) => {
    assert.deepEqual(digests[2 * i], card, pair.chain + ': before');
    assert.deepEqual(digests[2 * i + 1], nativePicture([['testcard', 'OUT', '160', '120'], ['apply', 'IN', 'OUT', ...pair.chain.split(' ')]]),
        pair.chain + ': after');
  });
  await page.click('#try-1');
  await waitForResult('sampling=1 fun=1');
  assert.equal(await page.$eval('#source-size', (e) => e.textContent), '320 × 240');
  assert.deepEqual(await page.$$eval('#chain li strong', (all) => all.map((e) => e.textContent)), ['sampling', 'fun']);
  assert.deepEqual(await canvasDigest('result'), nativePicture([['testcard', 'OUT'], ['apply', 'IN', 'OUT', 'sampling=1', 'fun=1']]));
});

test('the package runs on a page\'s main thread too: the same file as the program, its errors, its memory', async () => {
  const made = await page.evaluate(async () => {
    const bmpfun = await import(new URL('bmpfun/index.js', location.href).href);
    const card = await bmpfun.testCard(64, 48);
    const disc = card.sampling(1).fun(1);
    const file = disc.toBytes({ bits: 8 });
    card.dispose();
    disc.dispose();
    let refused = null;
    try {
      await bmpfun.load(new Uint8Array([0x42, 0x4d]));
    } catch (error) {
      refused = [error instanceof bmpfun.RefusedFileError, error.cause, error.message];
    }
    return { file: Array.from(file), refused, images: (await bmpfun.memory()).images };
  });
  const expected = S.nativeFile(scratch, null, [['testcard', 'OUT', '64', '48'], ['apply', 'IN', 'OUT', 'sampling=1', 'fun=1'],
    ['convert', 'IN', 'OUT', '8']]);
  assert.equal(S.firstDifference(new Uint8Array(made.file), expected), -1);
  assert.deepEqual(made.refused, [true, 'headerCut', 'the headers are cut short (2 bytes; they need 54)']);
  assert.equal(made.images, 0);
});

test('the page logged no errors', () => {
  assert.deepEqual(page.problems, []);
});
