// The page: picks the source, edits the chain, shows the pictures. All image work happens in
// worker.js; this file only sends requests and draws what comes back.
const Chain = globalThis.BmpfunChain;
const $ = (id) => document.getElementById(id);

// Canvas sizes Chromium and Firefox draw; larger results can still be downloaded.
const CANVAS_SIDE = 32767;
const CANVAS_AREA = 268435456;
// A file this large could not be held next to its pixels in the page's memory.
const FILE_BYTES_LIMIT = 1 << 30;

const state = {
  operations: [],
  source: null,   // { kind: 'file' | 'card', name, width, height, file: Uint8Array, extended }
  tried: null,    // the last source asked for, opened or refused: what the switch reads again
  extended: false, // the "Extended reader" switch (--extended)
  steps: [],      // { op, values: [string], element, fitsImage, refit } (see argumentRow)
  depth: '24',    // convert's BITS word for the download
  shown: null,    // tokens of the result on the canvas
  shownSize: null, // { width, height } of that result
};

// ---------------------------------------------------------------- the worker
let worker = null;
let nextId = 1;
const waiting = new Map();
let outstanding = 0;   // requests sent and not answered
let running = false;   // a run of the chain is among them
let runWanted = false;

function startWorker() {
  worker = new Worker('worker.js', { type: 'module' });
  worker.onmessage = (event) => {
    const reply = event.data;
    const done = waiting.get(reply.id);
    waiting.delete(reply.id);
    if (reply.fatal) restartWorker(reply.error);
    if (done) done(reply);
  };
  worker.onerror = (event) => {
    event.preventDefault();
    restartWorker(event.message || 'the worker stopped');
  };
}

function showProgress() {
  $('progress').hidden = outstanding === 0;
  if (document.body.dataset.state !== 'refused' || outstanding > 0) {
    document.body.dataset.state = outstanding > 0 ? 'working' : 'ready';
  }
}

// Send one request; the worker answers them in the order they were sent.
function request(kind, fields = {}, transfer = []) {
  return new Promise((resolve) => {
    const id = nextId++;
    waiting.set(id, (reply) => {
      outstanding--;
      resolve(reply);
      showProgress();
    });
    outstanding++;
    showProgress();
    worker.postMessage(Object.assign({ id, kind }, fields), transfer);
  });
}

// After a trap the module's memory cannot be trusted: start a new one on the same source.
async function restartWorker(why) {
  worker.terminate();
  for (const resolve of waiting.values()) resolve({ ok: false, error: why });
  waiting.clear();
  startWorker();
  showNote($('result-note'), 'refused', 'The library stopped (' + why + ') and was started again.');
  if (state.source) {
    const file = state.source.file.slice();
    await request('open', { file: file.buffer, extended: state.source.extended }, [file.buffer]);
  }
}

// ---------------------------------------------------------------- drawing
function paint(canvas, width, height, buffer) {
  if (width > CANVAS_SIDE || height > CANVAS_SIDE || width * height > CANVAS_AREA) {
    canvas.width = 1;
    canvas.height = 1;
    return false;
  }
  canvas.width = width;
  canvas.height = height;
  const pixels = new ImageData(new Uint8ClampedArray(buffer), width, height);
  canvas.getContext('2d').putImageData(pixels, 0, 0);
  fitToFrame(canvas);
  return true;
}

// Show a picture whole within its frame: a large one reduced and drawn smoothly, a small one
// enlarged by a whole factor with its pixels drawn as squares, one that fits at its own size.
// Beside the controls a picture may take most of the window's height; on a narrow window,
// where the two pictures stay above the controls, a third of it.
function fitToFrame(canvas) {
  const frame = canvas.parentElement;
  const narrow = window.matchMedia('(max-width: 800px)').matches;
  const roomWidth = Math.max(16, frame.clientWidth - 8);
  const roomHeight = Math.max(80, window.innerHeight * (narrow ? 0.3 : 0.7));
  const room = Math.min(roomWidth / canvas.width, roomHeight / canvas.height);
  const zoom = room >= 2 ? Math.min(Math.floor(room), 16) : Math.min(room, 1);
  canvas.style.width = Math.max(1, Math.round(canvas.width * zoom)) + 'px';
  canvas.style.height = Math.max(1, Math.round(canvas.height * zoom)) + 'px';
  canvas.dataset.fit = zoom > 1 ? 'enlarged' : zoom < 1 ? 'reduced' : 'actual';
}

function refitPictures() {
  for (const canvas of document.querySelectorAll('canvas')) fitToFrame(canvas);
}

function showNote(element, kind, text) {
  element.hidden = !text;
  element.className = 'note ' + kind;
  element.textContent = text || '';
}

// A refusal the extended reader would not make, with a button that turns it on.
function offerExtended(element) {
  const button = document.createElement('button');
  button.type = 'button';
  button.id = 'turn-on-extended';
  button.textContent = 'Turn on the extended reader';
  button.addEventListener('click', () => setExtended(true));
  element.append(' ', button);
}

function formatMs(ms) {
  return ms < 10 ? ms.toFixed(1) + ' ms' : Math.round(ms) + ' ms';
}

function sizeText(width, height) {
  return width + ' × ' + height;
}

// The start of an operation's one-line summary, for places too narrow for all of it: up to its
// first ':' or ';' outside parentheses, cut within `room` characters at a word break outside
// parentheses.
function shortSummary(summary, room = 56) {
  let depth = 0;
  let cut = -1;
  for (let i = 0; i < summary.length; i++) {
    const c = summary[i];
    if (c === '(') depth++;
    else if (c === ')') depth = Math.max(0, depth - 1);
    else if (depth === 0 && (c === ':' || c === ';')) {
      if (i <= room) return summary.slice(0, i).trim();
      break;
    } else if (depth === 0 && c === ' ' && i <= room) cut = i;
    if (i >= room && cut >= 0 && depth === 0) break;
  }
  if (summary.length <= room) return summary.trim();
  const kept = summary.slice(0, cut > 0 ? cut : room).replace(/(\s+(the|a|an|=|\w))+$/, '').replace(/[\s,=]+$/, '');
  return kept + '…';
}

// ---------------------------------------------------------------- the source
// The header text, its "header: KIND" line (the extended reader's view) across the columns.
function showHeader(text) {
  const kind = /^header: [^\n]*\n/.exec(text);
  const line = document.createElement('span');
  line.className = 'kind';
  line.textContent = kind ? kind[0] : '';
  $('header').replaceChildren(...(kind ? [line] : []), text.slice(kind ? kind[0].length : 0));
  $('header-box').open = Boolean(text);
}

async function openSource(source, reply) {
  showHeader(reply.header || '');
  $('header-command').textContent = source.extended ? 'bmpfun --extended info' : 'bmpfun info';
  if (!reply.ok) {
    state.source = null;
    $('source-name').textContent = source.name + ': not opened';
    showNote($('note'), 'refused', reply.note || reply.error || 'the file could not be read');
    if (reply.extendedReads && !state.extended) offerExtended($('note'));
    paint($('source'), 1, 1, new Uint8Array([0, 0, 0, 0]).buffer);
    paint($('result'), 1, 1, new Uint8Array([0, 0, 0, 0]).buffer);
    $('source-size').textContent = '';
    $('result-size').textContent = '';
    showNote($('result-note'), 'warning', '');
    for (const step of state.steps) {
      step.element.classList.remove('failed');
      step.timing.textContent = '';
      step.error.textContent = '';
    }
    $('download').disabled = true;
    state.shown = null;
    updateCommand();
    document.body.dataset.state = 'refused';
    return;
  }
  source.width = reply.width;
  source.height = reply.height;
  if (reply.file) source.file = new Uint8Array(reply.file);
  state.source = source;
  // Positions and sizes typed for the last picture stay where they fit the new one.
  for (const step of state.steps) step.refit = hasImageMeasures(step.op);
  $('source-name').textContent = source.kind === 'card' ? 'The test card, drawn by the library' : source.name;
  showNote($('note'), 'warning', reply.note);
  $('source-size').textContent = sizeText(reply.width, reply.height);
  if (!paint($('source'), reply.width, reply.height, reply.rgba)) {
    $('source-size').textContent += ' (too large to show here)';
  }
  updateCommand();
  scheduleRun();
}

async function openFile(file) {
  if (!file) return;
  if (file.size > FILE_BYTES_LIMIT) {
    state.tried = null;
    openSource({ kind: 'file', name: file.name }, {
      ok: false, note: file.name + ' is ' + file.size + ' bytes; this page opens files of up to 1 GiB',
    });
    return;
  }
  await openBytes(file.name, new Uint8Array(await file.arrayBuffer()));
}

async function openBytes(name, bytes) {
  state.tried = { kind: 'file', name, bytes };
  const extended = state.extended;
  const copy = bytes.slice();
  const reply = await request('open', { file: copy.buffer, extended }, [copy.buffer]);
  await openSource({ kind: 'file', name, file: bytes, extended }, reply);
}

async function drawCard(width, height) {
  state.tried = { kind: 'card', width, height };
  const extended = state.extended;
  const reply = await request('testcard', { width, height, extended });
  await openSource({ kind: 'card', name: 'card.bmp', extended }, reply);
}

function openCard() {
  const width = parseInt($('card-width').value, 10) || Chain.CARD_WIDTH;
  const height = parseInt($('card-height').value, 10) || Chain.CARD_HEIGHT;
  return drawCard(width, height);
}

// Flip the "Extended reader" switch and read the last source again with the reader chosen.
async function setExtended(on) {
  $('extended').checked = on;
  if (state.extended === on) return;
  state.extended = on;
  const tried = state.tried;
  if (!tried) return;
  if (tried.kind === 'card') await drawCard(tried.width, tried.height);
  else await openBytes(tried.name, tried.bytes);
}

// ---------------------------------------------------------------- the chain
function tokens() {
  return state.steps.map((step) => Chain.token(step.op.name, step.values));
}

function updateCommand() {
  $('command').textContent = state.source
    ? Chain.commandLine(state.source, tokens(), state.depth, { extended: state.source.extended }) : '';
}

// ------------------------------------------------ arguments measured in the image (crop's)
// An argument with an extent is that measure of the picture the step receives (a column, a
// row, a width or a height): its slider spans that picture, and it starts as the whole of it.
// Until the user changes such a step (fitsImage), it follows the picture: every run sets it to
// the whole of what it got.
function hasImageMeasures(op) {
  return op.arguments.some((a) => a.extent);
}

// The values an argument takes in a picture of size: a position from 0 to the last pixel, a
// size from 1 to the whole.
function measureRange(measure, size) {
  const whole = measure === 'column' || measure === 'width' ? size.width : size.height;
  return measure === 'column' || measure === 'row' ? { low: 0, high: Math.max(0, whole - 1) } : { low: 1, high: whole };
}

// The whole picture: positions 0, sizes the picture's.
function wholeImageValue(range, size) {
  return String(range.extent === 'width' ? size.width : range.extent === 'height' ? size.height : 0);
}

// Whether the values' rectangle lies inside a picture of size.
function fitsInside(op, values, size) {
  const of = (measure) => {
    const at = op.arguments.findIndex((a) => a.extent === measure);
    return at < 0 ? null : Number(values[at]);
  };
  const inside = (position, extent, whole) => (position === null || (Number.isInteger(position) && position >= 0)) &&
      (extent === null || (Number.isInteger(extent) && extent >= 1)) && (position || 0) + (extent || 1) <= whole;
  return inside(of('column'), of('width'), size.width) && inside(of('row'), of('height'), size.height);
}

// Give the step's measured arguments the ranges of the picture it receives, and their values
// when it follows the picture (or, after a new source, when its own no longer fit). True when
// a value changed.
function fitToImage(step, size) {
  const op = step.op;
  if (!hasImageMeasures(op)) return false;
  if (step.refit && !fitsInside(op, step.values, size)) step.fitsImage = true;
  step.refit = false;
  let changed = false;
  op.arguments.forEach((range, i) => {
    if (!range.extent) return;
    const { low, high } = measureRange(range.extent, size);
    Object.assign(step.sliders[i], { min: low, max: high });
    if (step.fitsImage) {
      const value = wholeImageValue(range, size);
      if (value !== step.values[i]) changed = true;
      step.values[i] = value;
      step.boxes[i].value = value;
    }
    step.sliders[i].value = step.values[i];
  });
  return changed;
}

// The size of the picture a step added now would receive: the result's when it shows the
// current chain, the source's otherwise.
function sizeAtEnd() {
  if (state.shown && state.shownSize) return state.shownSize;
  return state.source ? { width: state.source.width, height: state.source.height } : null;
}

// An argument whose values have names (a sampling method, a warp, a channel) is chosen from
// them by name; any other number can still be typed in its box, and the choice then shows
// "other value".
function namedValueSelect(op, range) {
  const select = document.createElement('select');
  const other = document.createElement('option');
  other.value = '';
  other.textContent = 'other value';
  other.disabled = true;
  select.append(other, ...op.values.map((v) => {
    const option = document.createElement('option');
    option.value = String(v.value);
    option.textContent = v.value + ' ' + v.name;
    return option;
  }));
  select.setAttribute('aria-label', op.name + ' ' + range.label + ' by name');
  return select;
}

// Show value on a slider, or on a choice of named values.
function showValue(control, value) {
  if (control.tagName !== 'SELECT') {
    control.value = value;
    return;
  }
  const named = Array.from(control.options).find((o) => o.value !== '' && Number(o.value) === Number(value));
  control.value = named ? named.value : '';
}

function argumentRow(step, index) {
  const op = step.op;
  const range = op.arguments[index] || { label: 'value ' + (index + 1), low: 0, high: 100, step: 1 };
  const row = document.createElement('label');
  row.className = 'argument';
  const name = document.createElement('span');
  name.textContent = range.label;
  let slider;
  if (index === 0 && op.values && op.values.length > 0) {
    slider = namedValueSelect(op, range);
  } else {
    slider = document.createElement('input');
    slider.type = 'range';
    Object.assign(slider, { min: range.low, max: range.high, step: range.step });
  }
  showValue(slider, step.values[index]);
  const box = document.createElement('input');
  box.type = 'number';
  box.step = range.type === 'integer' ? '1' : 'any';
  box.value = step.values[index];
  box.setAttribute('aria-label', op.name + ' ' + range.label);
  slider.addEventListener(slider.tagName === 'SELECT' ? 'change' : 'input', () => {
    box.value = slider.value;
    step.values[index] = slider.value;
    step.fitsImage = false;
    chainChanged();
  });
  box.addEventListener('input', () => {
    if (box.value === '' || !box.checkValidity()) return;
    showValue(slider, box.value);
    step.values[index] = box.value;
    step.fitsImage = false;
    chainChanged();
  });
  step.sliders[index] = slider;
  step.boxes[index] = box;
  row.append(name, slider, box);
  return row;
}

function stepElement(step) {
  const item = document.createElement('li');
  const title = document.createElement('div');
  title.className = 'title';
  const name = document.createElement('strong');
  name.textContent = step.op.name;
  name.title = step.op.summary;
  const buttons = [['↑', 'Move up', -1], ['↓', 'Move down', 1]].map(([label, hint, delta]) => {
    const button = document.createElement('button');
    button.type = 'button';
    button.textContent = label;
    button.title = hint;
    button.setAttribute('aria-label', hint + ': ' + step.op.name);
    button.addEventListener('click', () => moveStep(step, delta));
    return button;
  });
  const remove = document.createElement('button');
  remove.type = 'button';
  remove.textContent = '×';
  remove.title = 'Remove';
  remove.setAttribute('aria-label', 'Remove: ' + step.op.name);
  remove.addEventListener('click', () => removeStep(step));
  title.append(name, ...buttons, remove);
  const summary = document.createElement('div');
  summary.className = 'summary';
  summary.textContent = shortSummary(step.op.summary);
  summary.title = step.op.summary;
  item.append(title, summary);
  for (let i = 0; i < step.op.arguments.length; i++) item.append(argumentRow(step, i));
  const timing = document.createElement('div');
  timing.className = 'timing';
  const error = document.createElement('div');
  error.className = 'error';
  item.append(timing, error);
  step.timing = timing;
  step.error = error;
  return item;
}

function renderChain() {
  const list = $('chain');
  list.replaceChildren(...state.steps.map((step) => step.element));
}

// A step of operation op with the values given (as typed), or starting values that follow the
// picture it receives.
function makeStep(op, values) {
  const step = {
    op, values: values || op.arguments.map((a) => String(a.start)), sliders: [], boxes: [],
    fitsImage: !values, refit: false,
  };
  step.element = stepElement(step);
  return step;
}

function addStep(name) {
  const op = state.operations.find((o) => o.name === name);
  if (!op) return;
  const step = makeStep(op);
  const size = sizeAtEnd();
  if (size) fitToImage(step, size);
  state.steps.push(step);
  renderChain();
  chainChanged();
}

function moveStep(step, delta) {
  const at = state.steps.indexOf(step);
  const to = at + delta;
  if (to < 0 || to >= state.steps.length) return;
  state.steps.splice(at, 1);
  state.steps.splice(to, 0, step);
  renderChain();
  chainChanged();
}

function removeStep(step) {
  state.steps.splice(state.steps.indexOf(step), 1);
  renderChain();
  chainChanged();
}

function chainChanged() {
  updateCommand();
  $('download').disabled = true;
  scheduleRun();
}

// ---------------------------------------------------------------- running
// One run at a time; changes made meanwhile are folded into one more run after it.
function scheduleRun() {
  if (!state.source) return;
  runWanted = true;
  if (!running) pump();
}

async function pump() {
  if (!runWanted || !state.source) return;
  runWanted = false;
  running = true;
  const ran = tokens();
  const reply = await request('run', { tokens: ran });
  running = false;
  showRun(ran, reply);
  if (runWanted) pump();
}

// After a run of the current chain, each step measured in the image gets the ranges of the
// picture it received (the source's for the first step, the one before it made otherwise).
// True when a value changed: that run is then not the chain's any more.
function fitStepsToImages(reply) {
  let changed = false;
  state.steps.forEach((step, i) => {
    const before = i === 0 ? state.source : reply.steps && reply.steps[i - 1];
    if (before && (i === 0 || before.ok)) {
      changed = fitToImage(step, { width: before.width, height: before.height }) || changed;
    }
  });
  return changed;
}

function showRun(ran, reply) {
  const current = JSON.stringify(ran) === JSON.stringify(tokens());
  if (current && state.source && fitStepsToImages(reply)) {
    // Run again with the values that fit; what this run made is not shown.
    chainChanged();
    return;
  }
  state.steps.forEach((step, i) => {
    const done = reply.steps && reply.steps[i];
    step.element.classList.toggle('failed', Boolean(done && !done.ok));
    // A failed step shows the library's reason alone: it made nothing to time or measure.
    step.timing.textContent = done && done.ok ? formatMs(done.ms) + ' · ' + sizeText(done.width, done.height) : '';
    step.error.textContent = done && !done.ok ? done.error : '';
  });
  const total = (reply.loadMs || 0) + (reply.steps || []).reduce((sum, s) => sum + s.ms, 0);
  if (reply.rgba) {
    const shown = paint($('result'), reply.width, reply.height, reply.rgba);
    $('result-size').textContent = sizeText(reply.width, reply.height) + ' · ' + formatMs(total) +
        (shown ? '' : ' (too large to show here)');
  }
  if (reply.ok) {
    showNote($('result-note'), 'warning', '');
  } else {
    // A failed step shows its own message; say here where the run stopped.
    const failed = reply.steps && reply.steps.length;
    showNote($('result-note'), 'refused', failed
      ? 'Stopped at step ' + failed + ' (' + reply.steps[failed - 1].token + ')' +
        (reply.rgba ? '; shown: the picture before it.' : '.')
      : reply.error);
  }
  state.shown = reply.ok && current ? ran : null;
  state.shownSize = state.shown ? { width: reply.width, height: reply.height } : null;
  $('result').dataset.chain = reply.ok ? ran.join(' ') : '';
  $('download').disabled = !(reply.ok && current);
}

async function download() {
  if (!state.source || !state.shown) return;
  const depth = state.depth;
  const name = Chain.outputName(state.source, depth);
  const reply = await request('save', { tokens: state.shown, depth });
  if (!reply.ok) {
    showNote($('result-note'), 'refused', reply.error);
    return;
  }
  const url = URL.createObjectURL(new Blob([reply.file], { type: 'image/bmp' }));
  const link = document.createElement('a');
  link.href = url;
  link.download = name;
  document.body.append(link);
  link.click();
  link.remove();
  setTimeout(() => URL.revokeObjectURL(url), 60000);
}

// ---------------------------------------------------------------- the gallery
// Examples made here, at the page's start, by the library from its own test card: each chain
// beside the card it started from, named in the registry's words, with a button that puts the
// chain on the test card above.
const GALLERY_CHAINS = ['sampling=1 fun=0', 'sampling=1 fun=1', 'sampling=1 fun=2', 'mosaic=24',
  'sampling=1 rotate=30', 'floyd-steinberg-dither=1', 'edge-detect'];
const GALLERY_CARD = { width: 160, height: 120 };

// The chain's last step in words: its value's name where it has one ("polar disc"), else the
// start of its operation's summary.
function chainWords(chain) {
  const [name, text] = chain.split(' ').pop().split('=');
  const op = state.operations.find((o) => o.name === name);
  if (!op) return chain;
  const named = text !== undefined && op.values.find((v) => String(v.value) === text);
  return named ? named.name : shortSummary(op.summary, 40);
}

function galleryCanvas(label, width, height, buffer) {
  const frame = document.createElement('div');
  frame.className = 'frame';
  const canvas = document.createElement('canvas');
  canvas.setAttribute('role', 'img');
  canvas.setAttribute('aria-label', label);
  frame.append(canvas);
  return { frame, draw: () => paint(canvas, width, height, buffer.slice(0)) };
}

async function buildGallery() {
  const reply = await request('gallery', Object.assign({ chains: GALLERY_CHAINS }, GALLERY_CARD));
  if (!reply.ok) return;
  const [card, ...results] = reply.pairs;
  const drawings = [];
  const items = results.filter((pair) => pair.rgba).map((pair, i) => {
    const item = document.createElement('figure');
    item.className = 'pair';
    const before = galleryCanvas('the test card', card.width, card.height, card.rgba);
    const after = galleryCanvas(pair.chain, pair.width, pair.height, pair.rgba);
    drawings.push(before.draw, after.draw);
    const pictures = document.createElement('div');
    pictures.className = 'pair-pictures';
    pictures.append(before.frame, after.frame);
    const caption = document.createElement('figcaption');
    const code = document.createElement('code');
    code.textContent = pair.chain;
    const words = document.createElement('span');
    words.className = 'muted';
    words.textContent = chainWords(pair.chain);
    const button = document.createElement('button');
    button.type = 'button';
    button.id = 'try-' + i;
    button.textContent = 'Try it';
    button.setAttribute('aria-label', 'Try ' + pair.chain + ' on the test card');
    button.addEventListener('click', () => tryChain(pair.chain));
    caption.append(code, ' ', words, button);
    item.append(pictures, caption);
    return item;
  });
  $('gallery').replaceChildren(...items);
  for (const draw of drawings) draw();  // once in the page, so that the frames have their widths
}

// Put a chain of the gallery on the test card at its usual size: the steps replace the chain.
async function tryChain(chain) {
  state.steps = chain.split(' ').map((token) => {
    const [name, text] = token.split('=');
    return makeStep(state.operations.find((o) => o.name === name), text === undefined ? [] : text.split(','));
  });
  renderChain();
  $('card-width').value = Chain.CARD_WIDTH;
  $('card-height').value = Chain.CARD_HEIGHT;
  await drawCard(Chain.CARD_WIDTH, Chain.CARD_HEIGHT);
  $('source').scrollIntoView({ block: 'nearest' });
}

// ---------------------------------------------------------------- wiring
function fillControls(operations, maxPixels) {
  state.operations = operations;
  const select = $('operation');
  for (const op of operations) {
    const option = document.createElement('option');
    option.value = op.name;
    option.textContent = op.name + ' — ' + shortSummary(op.summary);
    option.title = op.summary;
    select.append(option);
  }
  select.value = 'fun';
  const showHelp = () => {
    const op = operations.find((o) => o.name === select.value);
    $('operation-help').textContent = op ? op.usage + ': ' + op.summary : '';
  };
  select.addEventListener('change', showHelp);
  showHelp();
  for (const depth of Chain.DEPTHS) {
    const option = document.createElement('option');
    option.value = depth;
    option.textContent = Chain.DEPTH_NAMES[depth];
    $('depth').append(option);
  }
  $('depth').value = '24';
  $('limit').textContent = maxPixels.toLocaleString('en') + ' (2^26)';
}

function wireDrop() {
  let depth = 0;
  const drop = $('drop');
  document.addEventListener('dragenter', (event) => {
    event.preventDefault();
    depth++;
    drop.hidden = false;
  });
  document.addEventListener('dragover', (event) => event.preventDefault());
  document.addEventListener('dragleave', () => {
    depth = Math.max(0, depth - 1);
    if (depth === 0) drop.hidden = true;
  });
  document.addEventListener('drop', (event) => {
    event.preventDefault();
    depth = 0;
    drop.hidden = true;
    const file = event.dataTransfer && event.dataTransfer.files[0];
    if (file) openFile(file);
  });
}

async function main() {
  startWorker();
  const init = await request('init');
  if (!init.ok) {
    showNote($('note'), 'refused', 'The library did not start: ' + init.error);
    return;
  }
  fillControls(init.operations, init.maxPixels);
  // The file input itself stays hidden; the button the keyboard reaches opens its chooser.
  $('open').addEventListener('click', () => $('file').click());
  $('file').addEventListener('change', (event) => openFile(event.target.files[0]));
  $('card').addEventListener('click', openCard);
  $('add').addEventListener('click', () => addStep($('operation').value));
  $('depth').addEventListener('change', () => {
    state.depth = $('depth').value;
    updateCommand();
  });
  $('extended').checked = false;
  $('extended').addEventListener('change', () => setExtended($('extended').checked));
  $('download').addEventListener('click', download);
  wireDrop();
  window.addEventListener('resize', refitPictures);
  await buildGallery();
  document.body.dataset.state = 'ready';
}

main();
