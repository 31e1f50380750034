// The library's module seen from JavaScript: one session (source file, the image the chain
// makes of it) with calls that take and give typed arrays and strings. Used by the page's
// worker (a plain script, BmpfunEngine) and by the tests under node (require).
(function (root, factory) {
  if (typeof module === 'object' && module.exports) module.exports = factory();
  else root.BmpfunEngine = factory();
})(typeof self !== 'undefined' ? self : this, function () {
  'use strict';

  const now = () => (typeof performance !== 'undefined' ? performance.now() : Date.now());

  class Engine {
    // module: what createBmpfun() resolved to.
    constructor(module) {
      this.m = module;
      this.session = module._bfw_create();
    }

    text() {
      return this.m.UTF8ToString(this.m._bfw_text(this.session));
    }

    // A copy of the session's bytes (the heap may move on the next call).
    bytes() {
      const start = this.m._bfw_bytes(this.session);
      return this.m.HEAPU8.slice(start, start + this.m._bfw_byte_count(this.session));
    }

    size() {
      return { width: this.m._bfw_width(this.session), height: this.m._bfw_height(this.session) };
    }

    maxPixels() {
      return this.m._bfw_max_pixels();
    }

    // Every `apply` operation: name, kinds ('i' integer, 'r' real per argument), usage, help,
    // and per argument the page's label, low, high, step and start.
    operations() {
      if (!this.m._bfw_operations(this.session)) throw new Error(this.text());
      return JSON.parse(this.text());
    }

    // The "Extended reader" switch (--extended) for the files opened from now on.
    setExtended(on) {
      this.m._bfw_set_extended(this.session, on ? 1 : 0);
    }

    // What opening a source reported: header, the header lines as `bmpfun info` prints them
    // (empty when there are none to show); note, a refusal's reason or a warning.
    report() {
      return { header: this.m.UTF8ToString(this.m._bfw_header(this.session)), note: this.text() };
    }

    // Take a BMP file's bytes as the source. ok false: the file was refused, note says why;
    // extendedReads: the extended reader would read it.
    open(fileBytes) {
      const pointer = this.m._malloc(Math.max(1, fileBytes.length));
      if (pointer === 0) return { ok: false, header: '', note: 'not enough memory in the page for this file' };
      this.m.HEAPU8.set(fileBytes, pointer);
      const ok = this.m._bfw_open(this.session, pointer, fileBytes.length) === 1;
      this.m._free(pointer);
      const extendedReads = this.m._bfw_extended_reads(this.session) === 1;
      return Object.assign({ ok, extendedReads }, this.report());
    }

    // Draw the test card as the source; file holds its bytes.
    testcard(width, height) {
      const ok = this.m._bfw_testcard(this.session, width, height) === 1;
      const file = ok ? this.bytes() : null;
      return Object.assign({ ok, file }, this.report());
    }

    // The source as loaded at the start of a run (pixels in rgba()).
    restart() {
      if (this.m._bfw_restart(this.session) !== 1) return { ok: false, error: this.text() };
      return Object.assign({ ok: true }, this.size());
    }

    apply(token) {
      const length = this.m.lengthBytesUTF8(token) + 1;
      const pointer = this.m._malloc(length);
      if (pointer === 0) return false;
      this.m.stringToUTF8(token, pointer, length);
      const ok = this.m._bfw_apply(this.session, pointer) === 1;
      this.m._free(pointer);
      return ok;
    }

    // Run the chain from the source, timing each step. Stops at the first step that fails,
    // with its error; the image is then what the steps before it made.
    run(tokens) {
      const started = now();
      const restart = this.restart();
      const loadMs = now() - started;
      if (!restart.ok) return { ok: false, error: restart.error, steps: [], loadMs };
      const steps = [];
      for (const token of tokens) {
        const before = now();
        const ok = this.apply(token);
        const step = Object.assign({ token, ms: now() - before, ok }, this.size());
        if (!ok) step.error = this.text();
        steps.push(step);
        if (!ok) return Object.assign({ ok: false, error: step.error, steps, loadMs }, this.size());
      }
      return Object.assign({ ok: true, steps, loadMs }, this.size());
    }

    // The current image for a canvas: r, g, b, a per pixel, top row first; a is 255 unless
    // withAlpha asks for the image's own.
    rgba(withAlpha = false) {
      if (this.m._bfw_rgba(this.session, withAlpha ? 1 : 0) !== 1) throw new Error(this.text());
      return this.bytes();
    }

    // The current image as a BMP file at a depth convert takes: 1, 4, 8, 16, 24, 32 or '32a'.
    save(depth) {
      const alphaMasks = String(depth) === '32a';
      const bits = alphaMasks ? 32 : Number(depth);
      if (this.m._bfw_save(this.session, bits, alphaMasks ? 1 : 0) !== 1) return { ok: false, error: this.text() };
      return { ok: true, file: this.bytes() };
    }
  }

  return { Engine };
});
