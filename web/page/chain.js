// The chain of operations as text: `bmpfun apply` tokens, the equivalent command line and the
// download's file name. Pure functions, shared by the page (a plain script, BmpfunChain) and
// the tests under node (require).
(function (root, factory) {
  if (typeof module === 'object' && module.exports) module.exports = factory();
  else root.BmpfunChain = factory();
})(typeof self !== 'undefined' ? self : this, function () {
  'use strict';

  const CARD_WIDTH = 320;
  const CARD_HEIGHT = 240;
  const DEPTHS = [1, 4, 8, 16, 24, 32];

  // "name" or "name=a,b": the argument texts go in as typed, so the program parses them.
  function token(name, values) {
    return values.length === 0 ? name : name + '=' + values.map((v) => String(v).trim()).join(',');
  }

  // A word the shell passes through unchanged.
  function shellQuote(word) {
    if (/^[A-Za-z0-9_@%+=:,.\/-]+$/.test(word)) return word;
    return "'" + word.replace(/'/g, "'\\''") + "'";
  }

  // File name without folders or a final ".bmp", never empty and never starting with "-".
  function stem(name) {
    const base = String(name).split(/[\\/]/).pop().replace(/\.bmp$/i, '');
    if (base === '') return 'picture';
    return base.startsWith('-') ? '_' + base : base;
  }

  function sourceFile(source) {
    return source.kind === 'card' ? 'card.bmp' : String(source.name).split(/[\\/]/).pop() || 'picture.bmp';
  }

  // Name of the result file at bits per pixel: the one `bmpfun apply` writes at 24 bits, the
  // one `bmpfun convert` makes of it otherwise.
  function outputName(source, bits) {
    const base = stem(sourceFile(source)) + '-result';
    return bits === 24 ? base + '.bmp' : base + '-' + bits + '.bmp';
  }

  // The shell command that makes the same file as the page: the test card drawn first when it
  // is the source, then apply (an empty chain is the no-op sampling=0, since apply needs one
  // operation), then convert for a depth other than 24.
  function commandLine(source, tokens, bits) {
    if (!DEPTHS.includes(bits)) throw new RangeError('no BMP depth ' + bits);
    const input = sourceFile(source);
    const parts = [];
    if (source.kind === 'card') {
      const sized = source.width !== CARD_WIDTH || source.height !== CARD_HEIGHT;
      parts.push('bmpfun testcard ' + input + (sized ? ' ' + source.width + ' ' + source.height : ''));
    }
    const applied = outputName(source, 24);
    const ops = tokens.length === 0 ? ['sampling=0'] : tokens;
    parts.push(['bmpfun', 'apply', input, applied].concat(ops).map(shellQuote).join(' '));
    if (bits !== 24) {
      parts.push(['bmpfun', 'convert', applied, outputName(source, bits), String(bits)].map(shellQuote).join(' '));
    }
    return parts.join(' && ');
  }

  return { CARD_WIDTH, CARD_HEIGHT, DEPTHS, token, shellQuote, stem, outputName, commandLine };
});
