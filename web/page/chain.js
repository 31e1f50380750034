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
  // The depths a result can be downloaded at, as convert's BITS argument (32a: 32 bits with
  // an alpha mask in a V5 header), with the page's name for each.
  const DEPTHS = ['1', '4', '8', '16', '24', '32', '32a'];
  const DEPTH_NAMES = {
    1: '1 bit', 4: '4 bits', 8: '8 bits', 16: '16 bits', 24: '24 bits', 32: '32 bits', '32a': '32 bits with alpha (V5)',
  };

  // A depth given as a number or as convert's word, checked.
  function depthWord(depth) {
    const word = String(depth);
    if (!DEPTHS.includes(word)) throw new RangeError('no BMP depth ' + word);
    return word;
  }

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

  // Name of the result file at a depth: the one `bmpfun apply` writes at 24 bits, the one
  // `bmpfun convert` makes of it otherwise.
  function outputName(source, depth) {
    const word = depthWord(depth);
    const base = stem(sourceFile(source)) + '-result';
    return word === '24' ? base + '.bmp' : base + '-' + word + '.bmp';
  }

  // The shell command that makes the same file as the page: the test card drawn first when it
  // is the source, then apply (an empty chain is the no-op sampling=0, since apply needs one
  // operation), then convert for a depth other than 24; each with --extended when the page
  // reads with the extended reader.
  function commandLine(source, tokens, depth, options = {}) {
    const word = depthWord(depth);
    const input = sourceFile(source);
    const parts = [];
    if (source.kind === 'card') {
      const sized = source.width !== CARD_WIDTH || source.height !== CARD_HEIGHT;
      parts.push('bmpfun testcard ' + input + (sized ? ' ' + source.width + ' ' + source.height : ''));
    }
    const applied = outputName(source, 24);
    const ops = tokens.length === 0 ? ['sampling=0'] : tokens;
    const program = options.extended ? ['bmpfun', '--extended'] : ['bmpfun'];
    parts.push(program.concat('apply', input, applied, ops).map(shellQuote).join(' '));
    if (word !== '24') {
      parts.push(program.concat('convert', applied, outputName(source, word), word).map(shellQuote).join(' '));
    }
    return parts.join(' && ');
  }

  return { CARD_WIDTH, CARD_HEIGHT, DEPTHS, DEPTH_NAMES, token, shellQuote, stem, outputName, commandLine };
});
