// bmpfun for JavaScript: the library compiled to WebAssembly, as an ES module for node (18 and
// later), browsers and workers. Files go in and out as bytes (Uint8Array); images live in the
// module's memory until disposed. The operations are the library's registry: each becomes a
// method of Image when the module starts, named in camelCase after its chain name.
import createBmpfunModule from './bmpfun-wasm.js';

// The largest image a call makes unless told otherwise: a WebAssembly heap ends at 2 GiB, and
// a file, its image and the image an operation makes from it may all be alive at once.
export const DEFAULT_MAX_PIXELS = 2 ** 26;
const MAX_PIXELS_LIMIT = 2 ** 30;  // as the program's --max-pixels
const DEPTHS = [1, 4, 8, 16, 24, 32];
const INT32_MIN = -(2 ** 31);
const INT32_MAX = 2 ** 31 - 1;

// ------------------------------------------------------------------------------- errors

// What the library refused, with its status's cause by name (e.g. 'noSuchEffect', 'notBmp';
// 'usage' for a chain that does not parse), its sentence (reason), the option that would help
// (hint: 'extendedReader', 'largerLimit' or '') and the step that failed ('fun=7', or '').
export class BmpfunError extends Error {
  constructor(failure) {
    const words = { extendedReader: ' (load it with { extended: true })', largerLimit: ' (see the maxPixels option)' };
    super((failure.step ? failure.step + ': ' : '') + failure.reason + (words[failure.hint] || ''));
    this.name = 'BmpfunError';
    this.cause = failure.cause;
    this.reason = failure.reason;
    this.hint = failure.hint || '';
    this.step = failure.step || '';
  }
}

// A file the reader refused (load, info, convert, rescale): not a BMP file, cut short, a
// variant only the extended reader reads (hint 'extendedReader'), too large...
export class RefusedFileError extends BmpfunError {
  constructor(failure) {
    super(failure);
    this.name = 'RefusedFileError';
  }
}

// ------------------------------------------------------------------------------- the module

let starting = null;  // the promise of the module
let M = null;         // the module, once started
let registry = null;  // the operations, frozen

// Start the module; every other entry does it on its first call. options.wasm: the compiled
// binary where it is not beside this file (a URL or its text, the bytes, or a
// WebAssembly.Module). Resolves once; later calls return the same promise.
export function init(options = {}) {
  if (!starting) {
    starting = start(options.wasm).catch((error) => {
      starting = null;  // a failed start may be tried again (another URL, the network back)
      throw error;
    });
  }
  return starting;
}

async function start(wasm) {
  const compiled = await compile(wasm === undefined ? new URL('./bmpfun-wasm.wasm', import.meta.url) : wasm);
  let failed;
  const failure = new Promise((_, reject) => { failed = reject; });
  const module = await Promise.race([failure, createBmpfunModule({
    instantiateWasm(imports, receive) {
      WebAssembly.instantiate(compiled, imports).then((instance) => receive(instance), failed);
      return {};
    },
    print() {},
    printErr() {},
  })]);
  M = module;
  registry = readRegistry();
  addOperationMethods(registry);
}

async function compile(source) {
  if (source instanceof WebAssembly.Module) return source;
  if (source instanceof ArrayBuffer || ArrayBuffer.isView(source)) return WebAssembly.compile(source);
  const text = typeof source === 'object' && source !== null && 'href' in source ? source.href : String(source);
  const url = new URL(text, typeof location === 'object' ? location.href : import.meta.url);
  if (url.protocol === 'file:') {
    const { readFile } = await import('node:fs/promises');
    return WebAssembly.compile(await readFile(url));
  }
  const response = await fetch(url);
  if (!response.ok) throw new Error('bmpfun: cannot fetch ' + url + ': ' + response.status + ' ' + response.statusText);
  if (typeof WebAssembly.compileStreaming === 'function' &&
      (response.headers.get('Content-Type') || '').startsWith('application/wasm')) {
    return WebAssembly.compileStreaming(response);
  }
  return WebAssembly.compile(await response.arrayBuffer());
}

function lastFailure() {
  return JSON.parse(M.UTF8ToString(M._bfw_error()));
}

function refused(FailureType = BmpfunError) {
  return new FailureType(lastFailure());
}

// The bytes a call left in the module's output, copied out; the module's copy is released.
function takeOutput() {
  const start = M._bfw_output() >>> 0;
  const bytes = M.HEAPU8.slice(start, start + (M._bfw_output_size() >>> 0));
  M._bfw_output_release();
  return bytes;
}

function outOfMemory(what) {
  return new BmpfunError({ cause: 'outOfMemory', reason: 'not enough memory for ' + what, hint: '', step: '' });
}

function asBytes(bytes) {
  if (bytes instanceof Uint8Array) return bytes;
  if (bytes instanceof ArrayBuffer) return new Uint8Array(bytes);
  if (ArrayBuffer.isView(bytes)) return new Uint8Array(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  throw new TypeError('bmpfun: expected the bytes of a file (a Uint8Array or an ArrayBuffer)');
}

// Run call with the bytes copied into the module's memory.
function withBytes(bytes, call) {
  const data = asBytes(bytes);
  const at = M._malloc(Math.max(1, data.length)) >>> 0;
  if (at === 0) throw outOfMemory('a copy of ' + data.length + ' bytes');
  try {
    M.HEAPU8.set(data, at);
    return call(at, data.length);
  } finally {
    M._free(at);
  }
}

function withText(text, call) {
  const size = M.lengthBytesUTF8(text) + 1;
  const at = M._malloc(size) >>> 0;
  if (at === 0) throw outOfMemory('a chain of ' + size + ' bytes');
  try {
    M.stringToUTF8(text, at, size);
    return call(at);
  } finally {
    M._free(at);
  }
}

function readOptions(options, allowed) {
  if (options === undefined || options === null) return {};
  if (typeof options !== 'object') throw new TypeError('bmpfun: options must be an object');
  for (const key of Object.keys(options)) {
    if (!allowed.includes(key)) throw new TypeError('bmpfun: unknown option ' + key + ' (known: ' + allowed.join(', ') + ')');
  }
  return options;
}

function maxPixelsOf(options) {
  const value = options.maxPixels === undefined ? DEFAULT_MAX_PIXELS : options.maxPixels;
  if (!Number.isInteger(value) || value < 1 || value > MAX_PIXELS_LIMIT) {
    throw new RangeError('bmpfun: maxPixels must be an integer from 1 to 2^30, not ' + value);
  }
  return value;
}

function sideOf(value, name) {
  if (!Number.isInteger(value) || value < INT32_MIN || value > INT32_MAX) {
    throw new RangeError('bmpfun: ' + name + ' must be a 32-bit integer, not ' + value);
  }
  return value;
}

// ------------------------------------------------------------------------------- images

const made = Symbol('made by the module');
// An image that is never disposed is freed when it is collected; dispose() frees it at once.
const collected = typeof FinalizationRegistry === 'function'
  ? new FinalizationRegistry((handle) => M._bfw_free(handle)) : null;

// An RGBA image in the module's memory. Methods that change it in place return it; those that
// make a new image (and apply) return the new one and leave it as it was.
export class Image {
  #handle;
  #warning;

  constructor(key, handle, warning = '') {
    if (key !== made) throw new TypeError('bmpfun: images come from load, testCard or fromRGBA');
    this.#handle = handle;
    this.#warning = warning;
    if (collected) collected.register(this, handle, this);
  }

  #live() {
    if (this.#handle === 0) throw new TypeError('bmpfun: the image was disposed');
    return this.#handle;
  }

  get width() { return M._bfw_width(this.#live()); }
  get height() { return M._bfw_height(this.#live()); }
  // The resampling method the warps, scale and rotate use (0 point, 1 bilinear, 2 gaussian);
  // set by sampling(m). A new image starts at 0.
  get samplingMethod() { return M._bfw_sampling(this.#live()); }
  // The reader's warning when the file's data ended early ('' otherwise).
  get warning() { return this.#warning; }
  // Whether it was read, and its files are read back, with the extended reader.
  get extended() { return M._bfw_extended(this.#live()) === 1; }
  get maxPixels() { return M._bfw_max_pixels(this.#live()); }
  get disposed() { return this.#handle === 0; }

  // Release the pixels now. Using the image afterwards throws; disposing again does nothing.
  dispose() {
    if (this.#handle === 0) return;
    if (collected) collected.unregister(this);
    M._bfw_free(this.#handle);
    this.#handle = 0;
  }

  // A copy of the pixels, sampling method 0.
  copy() {
    const handle = M._bfw_copy(this.#live());
    if (handle === 0) throw refused();
    return new Image(made, handle);
  }

  // Apply a chain of `bmpfun apply` tokens: 'sampling=1 fun=1' or ['sampling=1', 'fun=1'].
  // Returns a new image and leaves this one as it was; with { inPlace: true } this image
  // becomes the result (a failed step leaves it as the steps before made it) and is returned.
  apply(chain, options) {
    const { inPlace = false } = readOptions(options, ['inPlace']);
    const text = Array.isArray(chain) ? chain.join(' ') : chain;
    if (typeof text !== 'string') throw new TypeError('bmpfun: a chain is a string of tokens or an array of them');
    const handle = withText(text, (at) => M._bfw_apply(this.#live(), at, inPlace ? 1 : 0));
    if (handle === 0) throw refused();
    return inPlace ? this : new Image(made, handle);
  }

  // The image as a BMP file: 24 bits as `bmpfun apply` writes it, another depth as `bmpfun
  // convert` makes of that file; alphaMasks (32 bits) is convert's 32a, a V5 header with an
  // alpha mask.
  toBytes(options) {
    const { bits = 24, alphaMasks = false } = readOptions(options, ['bits', 'alphaMasks']);
    if (!DEPTHS.includes(bits)) throw new RangeError('bmpfun: bits must be 1, 4, 8, 16, 24 or 32, not ' + bits);
    if (alphaMasks && bits !== 32) throw new RangeError('bmpfun: alphaMasks needs bits: 32');
    if (M._bfw_save(this.#live(), bits, alphaMasks ? 1 : 0) !== 1) throw refused();
    return takeOutput();
  }

  // The pixels for a canvas: r, g, b, a per pixel, top row first. Alpha is 255 unless alpha:
  // true asks for the image's own (opacity with the extended reader; the default reader keeps
  // what a 32-bit file's fourth byte held, and 0 for other depths).
  toRGBA(options) {
    const { alpha = false } = readOptions(options, ['alpha']);
    const handle = this.#live();
    const start = M._bfw_pixels(handle) >>> 0;
    const rgba = M.HEAPU8.slice(start, start + M._bfw_width(handle) * M._bfw_height(handle) * 4);
    if (!alpha) for (let at = 3; at < rgba.length; at += 4) rgba[at] = 255;
    return rgba;
  }
}

if (typeof Symbol.dispose === 'symbol') {
  Object.defineProperty(Image.prototype, Symbol.dispose, { value: Image.prototype.dispose, writable: true, configurable: true });
}

// 'floyd-steinberg-dither' -> 'floydSteinbergDither', 'mask_size' -> 'maskSize'.
function camelCase(name) {
  return name.replace(/[-_]([a-z0-9])/g, (_, letter) => letter.toUpperCase());
}

// An argument as the chain writes it; integers must be 32-bit integers, reals any number.
function argumentText(op, argument, value) {
  if (typeof value !== 'number') {
    throw new TypeError('bmpfun: ' + op.method + ': ' + argument.name + ' must be a number, not ' + typeof value);
  }
  if (argument.type === 'integer' && (!Number.isInteger(value) || value < INT32_MIN || value > INT32_MAX)) {
    throw new RangeError('bmpfun: ' + op.method + ': ' + argument.name + ' must be a 32-bit integer, not ' + value);
  }
  return Object.is(value, -0) ? '-0' : String(value);  // String() is exact for doubles; strtod reads it back
}

function addOperationMethods(operations) {
  for (const op of operations) {
    if (Object.prototype.hasOwnProperty.call(Image.prototype, op.method)) {
      throw new Error('bmpfun: the operation ' + op.name + ' would hide Image.' + op.method);
    }
    const method = {
      [op.method](...values) {
        if (values.length !== op.arguments.length) {
          throw new TypeError('bmpfun: ' + op.method + ' takes ' + op.arguments.length + ' argument' +
              (op.arguments.length === 1 ? '' : 's') + ' (' + op.usage + '), not ' + values.length);
        }
        const texts = values.map((value, k) => argumentText(op, op.arguments[k], value));
        const token = texts.length === 0 ? op.name : op.name + '=' + texts.join(',');
        return op.makesNewImage ? this.apply(token) : this.apply(token, { inPlace: true });
      },
    }[op.method];
    Object.defineProperty(Image.prototype, op.method, { value: method, writable: true, configurable: true });
  }
}

function deepFreeze(value) {
  if (value && typeof value === 'object') {
    for (const inner of Object.values(value)) deepFreeze(inner);
    Object.freeze(value);
  }
  return value;
}

function readRegistry() {
  if (M._bfw_operations() !== 1) throw refused();
  const { operations } = JSON.parse(new TextDecoder().decode(takeOutput()));
  for (const op of operations) op.method = camelCase(op.name);
  return deepFreeze(operations);
}

// ------------------------------------------------------------------------------- entries

// Every operation of the registry: name (as in a chain), method (on Image), usage, summary,
// makesNewImage, splitsOverThreads, drawsRandomNumbers, arguments (name, placeholder, label,
// type 'integer' or 'real', low, high, step, start, and for crop's the extent of the picture
// it measures) and named values.
export async function operations() {
  await init();
  return registry;
}

// A BMP file's bytes as an image. extended: read as `bmpfun --extended` reads (RLE, top-down,
// bit fields with alpha, OS/2 headers, 2-bit files, data that ends early); maxPixels: the
// largest image this one and those made from it may be (default 2^26).
export async function load(bytes, options) {
  const { extended = false } = readOptions(options, ['extended', 'maxPixels']);
  const maxPixels = maxPixelsOf(options || {});
  await init();
  const handle = withBytes(bytes, (at, size) => M._bfw_load(at, size, extended ? 1 : 0, maxPixels));
  if (handle === 0) throw refused(RefusedFileError);
  return new Image(made, handle, M.UTF8ToString(M._bfw_warning(handle)));
}

// The project's test card, width x height (320 x 240 by default), as `bmpfun testcard` draws
// it.
export async function testCard(width = 320, height = 240, options) {
  const maxPixels = maxPixelsOf(readOptions(options, ['maxPixels']));
  await init();
  const handle = M._bfw_test_card(sideOf(width, 'width'), sideOf(height, 'height'), maxPixels);
  if (handle === 0) throw refused();
  return new Image(made, handle);
}

// An image of width x height from r, g, b, a bytes, top row first (a canvas's ImageData.data).
export async function fromRGBA(width, height, rgba, options) {
  const maxPixels = maxPixelsOf(readOptions(options, ['maxPixels']));
  const data = asBytes(rgba);
  sideOf(width, 'width');
  sideOf(height, 'height');
  if (width > 0 && height > 0 && data.length !== width * height * 4) {
    throw new RangeError('bmpfun: ' + width + ' x ' + height + ' pixels take ' + width * height * 4 + ' bytes, not ' + data.length);
  }
  await init();
  const handle = M._bfw_create(width, height, maxPixels);
  if (handle === 0) throw refused();
  M.HEAPU8.set(data, M._bfw_pixels(handle) >>> 0);
  return new Image(made, handle);
}

// A file's headers as `bmpfun info` prints them (with extended, `bmpfun --extended info`):
// kind (the header's kind, '' in the default reading), fields ({ name, value } in file order)
// and text, the program's lines.
export async function info(bytes, options) {
  const { extended = false } = readOptions(options, ['extended']);
  await init();
  if (withBytes(bytes, (at, size) => M._bfw_info(at, size, extended ? 1 : 0)) !== 1) throw refused(RefusedFileError);
  const view = JSON.parse(new TextDecoder().decode(takeOutput()));
  const fields = view.fields.map(([name, value]) => ({ name, value }));
  const text = (view.kind ? 'header: ' + view.kind + '\n' : '') + fields.map((f) => f.name + ': ' + f.value + '\n').join('');
  return { kind: view.kind, fields, text };
}

// `bmpfun convert`: the file at bits per pixel (without bits, its own depth and colour table,
// and an alpha mask again where its alpha came from one); alphaMasks with bits 32 is 32a.
export async function convert(bytes, options) {
  const { bits, alphaMasks = false, extended = false } = readOptions(options, ['bits', 'alphaMasks', 'extended', 'maxPixels']);
  const maxPixels = maxPixelsOf(options || {});
  if (bits !== undefined && !DEPTHS.includes(bits)) throw new RangeError('bmpfun: bits must be 1, 4, 8, 16, 24 or 32, not ' + bits);
  if (alphaMasks && bits !== 32) throw new RangeError('bmpfun: alphaMasks needs bits: 32');
  await init();
  const done = withBytes(bytes, (at, size) => M._bfw_convert(at, size, bits || 0, alphaMasks ? 1 : 0, extended ? 1 : 0, maxPixels));
  if (done !== 1) throw refused(RefusedFileError);
  return takeOutput();
}

// `bmpfun rescale`: bilinear, mode 'P' percent, 'W' new width, 'H' new height or 'F' bound for
// the longer side (any case), written at 24 bits.
export async function rescale(bytes, mode, value, options) {
  const { extended = false } = readOptions(options, ['extended', 'maxPixels']);
  const maxPixels = maxPixelsOf(options || {});
  if (typeof mode !== 'string' || mode.length !== 1 || mode.charCodeAt(0) > 127) {
    throw new RangeError('bmpfun: rescale: mode must be one letter (P, W, H or F)');
  }
  sideOf(value, 'value');
  await init();
  const done = withBytes(bytes, (at, size) => M._bfw_rescale(at, size, mode.charCodeAt(0), value, extended ? 1 : 0, maxPixels));
  if (done !== 1) {
    const failure = lastFailure();  // a failure of the rescale itself names its step
    throw failure.step ? new BmpfunError(failure) : new RefusedFileError(failure);
  }
  return takeOutput();
}

// Put the random generator (noise, random-dither) back to its first draw, where a new `bmpfun`
// process starts: the same chain then gives the program's bytes again.
export async function restartRandomSequence() {
  await init();
  M._bfw_restart_random();
}

// What the module holds now: images alive (made and not disposed) and the bytes its allocator
// has handed out. For tests and for finding leaks.
export async function memory() {
  await init();
  return { images: M._bfw_live_images(), bytes: M._bfw_heap_in_use(), heap: M.HEAPU8.length };
}
