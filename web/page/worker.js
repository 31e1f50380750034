// The page's worker: the library runs here, so the page stays responsive during a long warp.
// Requests are { id, kind, ... }; every reply carries the request's id. A module worker: it
// imports the page's session, which imports the bmpfun package.
import { Session } from './session.js';

let session = null;
let lastChain = null;  // the tokens the current image was made with
const ready = Session.create().then((made) => {
  session = made;
});

// An opened source is the image on show until the first run. It is drawn with its alpha when
// the extended reader read it, as that reader's alpha is opacity; results are drawn opaque,
// as the files made of them are.
function sourceReply(report, extended) {
  if (!report.ok) return { ok: false, header: report.header, note: report.note, extendedReads: report.extendedReads };
  lastChain = [];
  const size = session.size();
  return {
    ok: true, header: report.header, note: report.note, width: size.width, height: size.height,
    rgba: session.rgba(extended).buffer, file: report.file ? report.file.buffer : null,
  };
}

async function runReply(tokens) {
  const run = await session.run(tokens);
  lastChain = run.ok ? tokens.slice() : null;
  const reply = Object.assign({}, run);
  if (run.width > 0) reply.rgba = session.rgba().buffer;
  return reply;
}

async function saveReply(tokens, depth) {
  // The file is always the chain's full result, even if the image was left partway.
  if (lastChain === null || JSON.stringify(lastChain) !== JSON.stringify(tokens)) {
    const run = await session.run(tokens);
    lastChain = run.ok ? tokens.slice() : null;
    if (!run.ok) return { ok: false, error: run.error };
  }
  const saved = session.save(depth);
  return saved.ok ? { ok: true, file: saved.file.buffer } : saved;
}

// The gallery: the test card at width x height, and what each chain makes of it.
async function galleryReply(width, height, chains) {
  const pairs = await session.gallery(width, height, chains);
  return { ok: true, pairs: pairs.map((p) => Object.assign(p, { rgba: p.rgba && p.rgba.buffer })) };
}

self.onmessage = async (event) => {
  const request = event.data;
  let reply;
  try {
    await ready;
    switch (request.kind) {
      case 'init':
        reply = { ok: true, operations: session.operations(), maxPixels: session.maxPixels() };
        break;
      case 'open':
        session.setExtended(request.extended);
        reply = sourceReply(await session.open(new Uint8Array(request.file)), request.extended);
        break;
      case 'testcard':
        session.setExtended(request.extended);
        reply = sourceReply(await session.testcard(request.width, request.height), request.extended);
        break;
      case 'run':
        reply = await runReply(request.tokens);
        break;
      case 'save':
        reply = await saveReply(request.tokens, request.depth);
        break;
      case 'gallery':
        reply = await galleryReply(request.width, request.height, request.chains);
        break;
      default:
        reply = { ok: false, error: 'unknown request ' + request.kind };
    }
  } catch (error) {
    // The module traps only on a fault of its own; it cannot be trusted after that.
    reply = { ok: false, fatal: true, error: String(error && error.message ? error.message : error) };
  }
  const transfer = [reply.rgba, reply.file].concat((reply.pairs || []).map((p) => p.rgba)).filter((b) => b instanceof ArrayBuffer);
  self.postMessage(Object.assign({ id: request.id }, reply), transfer);
};
