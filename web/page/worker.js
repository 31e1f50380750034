// The page's worker: the library runs here, so the page stays responsive during a long warp.
// Requests are { id, kind, ... }; every reply carries the request's id.
importScripts('bmpfun-web.js', 'engine.js');

let engine = null;
let lastChain = null;  // the tokens the current image was made with
const ready = createBmpfun().then((module) => {
  engine = new BmpfunEngine.Engine(module);
});

// An opened source is the session's image until the first run. It is drawn with its alpha
// when the extended reader read it, as that reader's alpha is opacity; results are drawn
// opaque, as the files made of them are.
function sourceReply(report, extended) {
  if (!report.ok) return { ok: false, header: report.header, note: report.note, extendedReads: report.extendedReads };
  lastChain = [];
  const size = engine.size();
  return {
    ok: true, header: report.header, note: report.note, width: size.width, height: size.height,
    rgba: engine.rgba(extended).buffer, file: report.file ? report.file.buffer : null,
  };
}

function runReply(tokens) {
  const run = engine.run(tokens);
  lastChain = run.ok ? tokens.slice() : null;
  const reply = Object.assign({}, run);
  if (run.width > 0) reply.rgba = engine.rgba().buffer;
  return reply;
}

function saveReply(tokens, depth) {
  // The file is always the chain's full result, even if the image was left partway.
  if (lastChain === null || JSON.stringify(lastChain) !== JSON.stringify(tokens)) {
    const run = engine.run(tokens);
    lastChain = run.ok ? tokens.slice() : null;
    if (!run.ok) return { ok: false, error: run.error };
  }
  const saved = engine.save(depth);
  return saved.ok ? { ok: true, file: saved.file.buffer } : saved;
}

self.onmessage = async (event) => {
  const request = event.data;
  let reply;
  try {
    await ready;
    switch (request.kind) {
      case 'init':
        reply = { ok: true, operations: engine.operations(), maxPixels: engine.maxPixels() };
        break;
      case 'open':
        engine.setExtended(request.extended);
        reply = sourceReply(engine.open(new Uint8Array(request.file)), request.extended);
        break;
      case 'testcard':
        engine.setExtended(request.extended);
        reply = sourceReply(engine.testcard(request.width, request.height), request.extended);
        break;
      case 'run':
        reply = runReply(request.tokens);
        break;
      case 'save':
        reply = saveReply(request.tokens, request.depth);
        break;
      default:
        reply = { ok: false, error: 'unknown request ' + request.kind };
    }
  } catch (error) {
    // The module traps only on a fault of its own; it cannot be trusted after that.
    reply = { ok: false, fatal: true, error: String(error && error.message ? error.message : error) };
  }
  const transfer = [reply.rgba, reply.file].filter((b) => b instanceof ArrayBuffer);
  self.postMessage(Object.assign({ id: request.id }, reply), transfer);
};
