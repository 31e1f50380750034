// The page's work on the bmpfun package: one source (a file or the test card) and the chain
// run on it, with the page's words for what the library refuses. The worker uses it, and the
// tests use it under node.
import * as bmpfun from './bmpfun/index.js';

// A WebAssembly heap ends at 2 GiB; the page keeps the package's default limit.
export const PAGE_MAX_PIXELS = bmpfun.DEFAULT_MAX_PIXELS;

const now = () => (typeof performance !== 'undefined' ? performance.now() : Date.now());

// The page's limit is fixed, so a size past it is told what the limit is.
const PAGE_LIMIT = " (this page's limit: " + PAGE_MAX_PIXELS.toLocaleString('en') +
    ' pixels, 2^26; the command-line program takes up to 2^28 by default)';

// The library's reason with the page's own words for the option that would help: its switch,
// its limit. A failed step is named by its token.
export function pageText(error) {
  if (!(error instanceof bmpfun.BmpfunError)) throw error;
  const hint = { extendedReader: ' (turn on the extended reader to read it)', largerLimit: PAGE_LIMIT }[error.hint] || '';
  return (error.step ? error.step + ': ' : '') + error.reason + hint;
}

export class Session {
  static async create() {
    await bmpfun.init();
    return new Session(await bmpfun.operations());
  }

  constructor(operations) {
    this.registry = operations;
    this.extended = false;  // the "Extended reader" switch (--extended) for sources opened from now on
    this.source = null;     // the source as read: an Image
    this.image = null;      // what the last run made of it (null: the source itself)
  }

  operations() {
    return this.registry;
  }

  maxPixels() {
    return PAGE_MAX_PIXELS;
  }

  setExtended(on) {
    this.extended = Boolean(on);
  }

  // The image on show: what the last run made, or the source.
  current() {
    return this.image || this.source;
  }

  size() {
    const image = this.current();
    return image ? { width: image.width, height: image.height } : { width: 0, height: 0 };
  }

  #dropResult() {
    if (this.image) this.image.dispose();
    this.image = null;
  }

  #dropSource() {
    this.#dropResult();
    if (this.source) this.source.dispose();
    this.source = null;
  }

  // The header lines as `bmpfun info` prints them, with the switch standing for --extended;
  // none for a file whose headers cannot be described (the refusal says why).
  async #header(file) {
    try {
      return (await bmpfun.info(file, { extended: this.extended })).text;
    } catch (error) {
      if (error instanceof bmpfun.BmpfunError) return '';
      throw error;
    }
  }

  // Take a BMP file's bytes as the source. ok false: refused, note says why (extendedReads:
  // the extended reader would read it); a warning otherwise. header: the header lines.
  async open(file) {
    this.#dropSource();
    const header = await this.#header(file);
    try {
      this.source = await bmpfun.load(file, { extended: this.extended, maxPixels: PAGE_MAX_PIXELS });
      return { ok: true, extendedReads: false, header, note: this.source.warning };
    } catch (error) {
      return { ok: false, extendedReads: error.hint === 'extendedReader', header, note: pageText(error) };
    }
  }

  // Draw the test card as the source; file holds its bytes (`bmpfun testcard`'s file).
  async testcard(width, height) {
    this.#dropSource();
    try {
      const card = await bmpfun.testCard(width, height, { maxPixels: PAGE_MAX_PIXELS });
      const file = card.toBytes();
      card.dispose();
      // Read from its file as the program's commands read it, with the switch's reader.
      const opened = await this.open(file);
      return Object.assign(opened, { file: opened.ok ? file : null });
    } catch (error) {
      return { ok: false, extendedReads: false, header: '', note: pageText(error), file: null };
    }
  }

  // Run the chain from the source, as `bmpfun apply` runs it: the random generator at its
  // first draw, each step timed. Stops at the first step that fails, with its error; the
  // image is then what the steps before it made.
  async run(tokens) {
    this.#dropResult();
    if (!this.source) return { ok: false, error: 'no picture is open', steps: [], loadMs: 0, width: 0, height: 0 };
    const started = now();
    await bmpfun.restartRandomSequence();
    const loadMs = now() - started;
    const steps = [];
    for (const token of tokens) {
      const before = now();
      let error = null;
      try {
        if (this.image) this.image.apply(token, { inPlace: true });
        else this.image = this.source.apply(token);
      } catch (failure) {
        error = pageText(failure);
      }
      const step = Object.assign({ token, ms: now() - before, ok: error === null }, this.size());
      if (error !== null) {
        step.error = error;
        steps.push(step);
        return Object.assign({ ok: false, error, steps, loadMs }, this.size());
      }
      steps.push(step);
    }
    return Object.assign({ ok: true, steps, loadMs }, this.size());
  }

  // The test card at width x height and what each chain makes of it, for the page's gallery:
  // the card first (chain ''), then per chain its result, or the page's words for its failure.
  async gallery(width, height, chains) {
    const card = await bmpfun.testCard(width, height, { maxPixels: PAGE_MAX_PIXELS });
    try {
      const pairs = [{ chain: '', width: card.width, height: card.height, rgba: card.toRGBA() }];
      for (const chain of chains) {
        await bmpfun.restartRandomSequence();
        try {
          const made = card.apply(chain);
          pairs.push({ chain, width: made.width, height: made.height, rgba: made.toRGBA() });
          made.dispose();
        } catch (error) {
          pairs.push({ chain, error: pageText(error) });
        }
      }
      return pairs;
    } finally {
      card.dispose();
    }
  }

  // The image on show for a canvas: r, g, b, a per pixel, top row first; a is 255 unless
  // withAlpha asks for the image's own.
  rgba(withAlpha = false) {
    return this.current().toRGBA({ alpha: withAlpha });
  }

  // The image on show as a BMP file at a depth convert takes: 1, 4, 8, 16, 24, 32 or '32a'.
  save(depth) {
    const word = String(depth);
    const bits = word === '32a' ? 32 : Number(word);
    if (!this.current()) return { ok: false, error: 'no picture is open' };
    if (![1, 4, 8, 16, 24, 32].includes(bits) || String(bits) !== word.replace(/a$/, '')) {
      return { ok: false, error: 'a BMP file is written at 1, 4, 8, 16, 24, 32 or 32a bits per pixel' };
    }
    try {
      return { ok: true, file: this.current().toBytes({ bits, alphaMasks: word === '32a' }) };
    } catch (error) {
      return { ok: false, error: 'the file could not be made: ' + pageText(error) };
    }
  }
}
