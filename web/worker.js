// The page's merges run here, off the page's thread, so the page answers while a large map is
// merged. The maps are handed over once, { keep: role, input: { name, bytes } }, and stay here;
// a request { id, base, second, options } names them by role (a mask, role "mask", goes to the
// module as a file when the options name it) and is answered with
// { id, result } or { id, error }; the console output of the run comes as { id, console }
// messages on the way (the page shows percentages from them). A PNG map is decoded here into
// an image in memory when it is first used.
/* global importScripts, Bumpweld, createBumpweldCore, decodePng */
'use strict';
importScripts('bumpweld_core.js', 'bumpweld.js', 'png.js');

let loading = null;
// The module, loaded again when loading failed (a module that traps replaces itself).
function module() {
  if (!loading) {
    loading = Bumpweld.load(createBumpweldCore);
    loading.catch(() => { loading = null; });
  }
  return loading;
}

async function asInput(value) {
  if (!value || !value.bytes) return value;
  const bytes = new Uint8Array(value.bytes);
  const png = bytes.length >= 8 && bytes[0] === 137 && bytes[1] === 80 && bytes[2] === 78 && bytes[3] === 71;
  if (!png) return { name: value.name, bytes };
  try {
    return Object.assign({ name: value.name }, await decodePng(bytes));
  } catch (error) {
    const failure = new Error('ERROR: Unable to read ' + value.name);
    failure.log = 'PNG: ' + error.message + '\n';
    throw failure;
  }
}

const kept = {};  // role -> the map's input, or the promise of its decoding

self.onmessage = async (event) => {
  if (event.data.keep) {
    kept[event.data.keep] = event.data.input;
    return;
  }
  if (event.data.samples) {
    // The sample maps, kept as the base and second map: { id, result: { names } }.
    try {
      const [base, detail] = (await module()).samples();
      // Maps handed over meanwhile stay.
      if (!kept.base) kept.base = base;
      if (!kept.second) kept.second = detail;
      self.postMessage({ id: event.data.id, result: { names: [base.name, detail.name] } });
    } catch (error) {
      self.postMessage({ id: event.data.id, error: { message: error.message, status: error.status || 0, log: '' } });
    }
    return;
  }
  const { id, base, second, options } = event.data;
  const started = performance.now();
  const input = (role) => {
    if (!(kept[role] instanceof Promise)) kept[role] = asInput(kept[role]);
    return kept[role];
  };
  try {
    const bw = await module();
    const inputs = [await input(base), await input(second)];
    const decoded = performance.now();
    // Percentages go to the page at most every 100 ms; the rest of the console output (stage
    // messages, a spinner frame a row) comes with the result.
    let posted = 0;
    const onConsole = (stream, text) => {
      const now = performance.now();
      if (!text.includes('%') || now - posted < 100) return;
      posted = now;
      self.postMessage({ id, console: { stream, text } });
    };
    // A mask the options name is handed to the module as a file of the job's folder.
    const mask = kept.mask && !(kept.mask instanceof Promise) ? kept.mask : null;
    const files = mask && options.options.includes('--mask=' + mask.name)
      ? [{ name: mask.name, bytes: new Uint8Array(mask.bytes) }] : [];
    const result = bw.merge(inputs[0], inputs[1], Object.assign({}, options, { onConsole, files }));
    const merged = performance.now();
    const transfer = result.files.map((f) => f.bytes.buffer).concat(result.levels.map((l) => l.bytes.buffer));
    self.postMessage({ id, result, times: { decode: decoded - started, merge: merged - decoded } }, transfer);
  } catch (error) {
    self.postMessage({ id, error: { message: error.message, status: error.status || 0, log: error.log || '' } });
  }
};
