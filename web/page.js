// The page: two maps dropped or chosen, the artist's options turned into the command line's flag
// word and long options, the merge in a worker (worker.js), the result shown flat and lit and
// offered for download. What the settings mean is the library's business: a refusal comes back
// with the command line's message and is shown as it is. A KTX2 result, or a KTX2 file opened
// on its own, is shown as the GPU decodes it.
import { LitView, decodeTarga, TARGA_DECODE } from './preview.js';

const $ = (id) => document.getElementById(id);
const inputs = { base: null, second: null, mask: null };  // the maps' names; their bytes are in the worker
const files = {};  // role -> the File handed to the worker, to hand again to a new one
let usingSamples = false;
let worker = null;
const pending = new Map();
let requests = 0;
let lit = null;
let showing = null;  // { merged, base, viewed } of the last result: each { texture, decode, flat, gpu }
let generation = 0;  // the newest merge; older answers are dropped

// Merge timings for the benchmark, read by the headless run.
window.bumpweldTimes = [];

function request(base, second, options, onConsole) {
  const id = ++requests;
  return new Promise((resolve, reject) => {
    pending.set(id, { resolve, reject, onConsole });
    worker.postMessage({ id, base, second, options });
  });
}

function onWorkerMessage(event) {
  const { id, console: text, result, error, times } = event.data;
  const entry = pending.get(id);
  if (!entry) return;
  if (text) return entry.onConsole && entry.onConsole(text.stream, text.text);
  pending.delete(id);
  if (error) entry.reject(Object.assign(new Error(error.message), error));
  else entry.resolve(Object.assign(result, { times }));
}

// A worker with the maps of the page: the files handed over, or the sample maps.
function startWorker() {
  worker = new Worker('worker.js');
  worker.onmessage = onWorkerMessage;
  worker.onerror = (event) => showMessage('The merge worker failed: ' + event.message, true);
  if (usingSamples) worker.postMessage({ id: ++requests, samples: true });
  for (const [role, file] of Object.entries(files)) handOver(role, file);
}

async function handOver(role, file) {
  const bytes = await file.arrayBuffer();
  worker.postMessage({ keep: role, input: { name: file.name, bytes } }, [bytes]);
}

// Stops the merge under way, if any: a merge cannot be interrupted inside the module, so its
// worker goes, and a new one takes the maps again.
function cancelRunning() {
  if (pending.size === 0) return;
  worker.terminate();
  for (const entry of pending.values()) entry.reject(Object.assign(new Error('cancelled'), { cancelled: true }));
  pending.clear();
  startWorker();
}
startWorker();

// Console text without the spinner frames and carriage returns a terminal would overwrite.
const readable = (text) => text.replace(/[\\|/-]*\r/g, '\n').replace(/^[\\|/-]+$/gm, '').replace(/\n{2,}/g, '\n');

function showMessage(text, isError) {
  $('message').textContent = text;
  $('message').className = isError ? 'error' : '';
}

// The command line's words for the options on the page, for the chosen container or (preview)
// for a Targa file of level 0 alone.
function words(preview) {
  const container = $('container').value;
  let flags = $('dilation').value === 'all' ? '' : $('dilation').value;
  if ($('box').checked) flags += 'B';
  // PNG files are made here from level 0 kept in memory (the module writes no PNG).
  const png = container.startsWith('png');
  if (!preview && !png) flags += $('mips').value + (container === 'kep' ? 'i' : '');
  const options = [];
  const flips = ['base', 'second', 'output'].filter((part) => $('flip-' + part).checked);
  if (flips.length) options.push('--flip-green=' + flips.join(','));
  if ($('round').checked) options.push('--round');
  if ($('fill').value !== '') options.push('--fill=' + $('fill').value);
  else if ($('dilation').value === 'all') options.push('--fill=all');
  if ($('strength').value !== '1') options.push('--detail-strength=' + $('strength').value);
  if ($('blend').value !== 'rnm') options.push('--blend=' + $('blend').value);
  if ($('edges').value !== 'wrap') options.push('--edges=' + $('edges').value);
  if (!preview && (container === 'dds' || container === 'ktx2') && $('format').value !== 'bc5')
    options.push('--format=' + $('format').value);
  if (inputs.mask && !$('no-mask').checked) options.push('--mask=' + inputs.mask);
  const height = $('height').checked;
  if (png && !preview && container === 'png16') options.push('--bits=16');
  return { flags: flags ? '-' + flags : '', options, heightScale: height ? $('scale').value : undefined,
           output: preview ? 'preview.tga' : png ? undefined : 'merged.' + container, texels: png && !preview };
}

// The flat view: the picture once or tiled 3 x 3 (to judge seams), at the chosen zoom.
function showFlat(targa) {
  const canvas = $('flat');
  const tiles = $('tiled').checked ? 3 : 1, zoom = Number($('zoom').value);
  canvas.width = targa.width * tiles;
  canvas.height = targa.height * tiles;
  // Fit: the whole picture in the view's 320 pixels; else texels at 1, 2 or 4 pixels, scrolled.
  canvas.style.width = zoom ? canvas.width * zoom + 'px' : '';
  canvas.style.height = zoom ? canvas.height * zoom + 'px' : '';
  const context = canvas.getContext('2d');
  const image = context.createImageData(targa.width, targa.height);
  const rowBytes = targa.width * 4;
  // TGALoader gives the rows top first when it asks for flipY (as a texture wants them), else
  // bottom first.
  for (let y = 0; y < targa.height; ++y) {
    const from = targa.flipY ? y : targa.height - 1 - y;
    image.data.set(targa.rgba.subarray(from * rowBytes, (from + 1) * rowBytes), y * rowBytes);
  }
  for (let ty = 0; ty < tiles; ++ty)
    for (let tx = 0; tx < tiles; ++tx) context.putImageData(image, tx * targa.width, ty * targa.height);
}

// What the views show from now on; the textures of what they showed go.
function setShowing(next) {
  if (showing) for (const shown of [showing.merged, showing.base]) if (shown) shown.texture.dispose();
  showing = next;
  $('base-alone').checked = false;
  $('base-alone').disabled = Boolean(next && next.viewed);
}

// No result: after a failure nothing of the previous one stays on screen.
function clearResult() {
  setShowing(null);
  $('flat-source').textContent = '';
  const canvas = $('flat');
  canvas.width = canvas.height = 1;
  canvas.style.width = canvas.style.height = '';
  if (lit && lit.clear) lit.clear();
}

function showLit() {
  if (!showing) return;
  const base = $('base-alone').checked;
  const shown = base ? showing.base : showing.merged;
  if (!shown) return;
  if (lit) lit.show(shown.texture, shown.decode);
  showFlat(shown.flat);
  $('flat-source').textContent = shown.gpu ? '(as the GPU decodes it)' : '(as the library decodes it)';
}

// A Targa file shown as it is.
function fromTarga(bytes) {
  const flat = decodeTarga(bytes);
  return { texture: flat.texture, decode: TARGA_DECODE, flat, gpu: false };
}

// A KTX2 file as the GPU decodes it, lit and (read back from the GPU) flat. Throws when the GPU
// cannot show it, saying why.
async function fromKtx2(bytes) {
  if (!lit) throw new Error('no WebGL here');
  const shown = await lit.ktx2Texture(bytes);
  const rgba = lit.readBack(shown.texture, shown.decode, shown.width, shown.height);
  return Object.assign(shown, { flat: { width: shown.width, height: shown.height, rgba, flipY: true }, gpu: true });
}

// A PNG file of a level kept in memory, from its picture as the library gives it (8-bit Targa
// texels, or with --bits=16 the 16-bit x, y, z values).
async function pngFile(level) {
  return { name: 'merged.png', bytes: await globalThis.encodePng(level.texels, level.width, level.height) };
}

function offerDownloads(files) {
  const box = $('downloads');
  for (const link of box.querySelectorAll('a')) URL.revokeObjectURL(link.href);
  box.textContent = '';
  for (const file of files) {
    const link = document.createElement('a');
    link.className = 'download';
    link.href = URL.createObjectURL(new Blob([file.bytes]));
    link.download = file.name;
    link.textContent = `Download ${file.name} (${file.bytes.length} bytes)`;
    box.append(link);
  }
}

async function merge() {
  if (!inputs.base || !inputs.second) return;
  cancelRunning();
  const mine = ++generation;
  document.body.dataset.started = String(mine);
  const job = words(false);
  $('progress').hidden = false;
  $('progress').value = 0;
  $('log').textContent = '';
  showMessage('Merging…');
  // Only the progress bar changes while the worker merges (the log comes with the result):
  // every repaint costs CPU that a software-rendered page takes from the merge.
  const onConsole = (stream, text) => {
    const percent = /(\d+(?:\.\d+)?)%/.exec(text);
    if (percent && mine === generation) $('progress').value = Number(percent[1]);
  };
  const started = performance.now();
  try {
    const result = await request('base', 'second', job, onConsole);
    const wall = performance.now() - started;
    if (mine !== generation) return;
    window.bumpweldTimes.push({ wall, merge: result.times.merge, output: job.output });
    $('log').textContent = readable(result.log);
    if (!job.output) result.files = [await pngFile(result.levels[0])];
    offerDownloads(result.files);
    // The views show a KTX2 file as the GPU decodes it, a Targa file as it is, and anything else
    // (or a KTX2 file the GPU cannot show) through the same job as a Targa file of level 0.
    const first = result.files[0];
    let merged = null, note = '';
    if (job.output && job.output.endsWith('.ktx2')) {
      try {
        merged = await fromKtx2(first.bytes);
      } catch (error) {
        note = `The GPU cannot show ${first.name}: ${error.message}. The views show the library's decoding.`;
      }
    }
    if (!merged && job.output && job.output.endsWith('.tga')) merged = fromTarga(first.bytes);
    if (!merged) merged = fromTarga((await request('base', 'second', words(true))).files[0].bytes);
    if (mine !== generation) return merged.texture.dispose();
    setShowing({ merged, base: null });
    showLit();
    showMessage(note || `Merged in ${(wall / 1000).toFixed(2)} s: ${result.files.map((f) => f.name).join(', ')}`);
    document.body.dataset.merged = String(mine);
  } catch (error) {
    if (mine !== generation) return;
    // Out of memory (bw_strerror's code 8) here means past what a page may hold.
    const tooLarge = error.status === 8 ? ' (the maps need more than the 4 GiB of memory a page may use)' : '';
    showMessage(error.message + tooLarge, true);
    $('log').textContent = readable(error.log || '');
    offerDownloads([]);
    clearResult();
    document.body.dataset.failed = String(mine);
  } finally {
    if (mine === generation) {
      $('progress').hidden = true;
      document.body.dataset.settled = String(mine);
    }
  }
}

// The base alone, as the library reads it: the base merged with itself at detail strength 0.
async function showBaseAlone() {
  if (!showing || showing.base || showing.viewed || !inputs.base) return showLit();
  const job = words(true);
  job.heightScale = undefined;
  job.options = job.options.concat('--detail-strength=0');
  job.output = 'base.tga';
  try {
    const result = await request('base', 'base', job);
    if (!showing || showing.base || showing.viewed) return;
    showing.base = fromTarga(result.files[0].bytes);
    showLit();
  } catch (error) {
    if (!error.cancelled) showMessage(error.message, true);
  }
}

async function take(role, file) {
  cancelRunning();
  files[role] = file;
  inputs[role] = file.name;
  await handOver(role, file);
  $('name-' + role).textContent = `${file.name} (${file.size} bytes)`;
  $('merge').disabled = !(inputs.base && inputs.second);
  if (role === 'mask') $('no-mask').checked = false;
  merge();
}

// A KTX2 file of its own, shown as the GPU decodes it in place of the merge's result (the next
// merge replaces it).
async function view(file) {
  cancelRunning();
  const mine = ++generation;
  document.body.dataset.started = String(mine);
  $('name-view').textContent = `${file.name} (${file.size} bytes)`;
  try {
    const shown = await fromKtx2(new Uint8Array(await file.arrayBuffer()));
    if (mine !== generation) return shown.texture.dispose();
    setShowing({ merged: shown, base: null, viewed: true });
    showLit();
    showMessage(`${file.name}: ${shown.layout}, ${shown.width} x ${shown.height}, ${shown.levelCount} ` +
                `level${shown.levelCount > 1 ? 's' : ''}, as this GPU decodes it`);
    document.body.dataset.merged = String(mine);
  } catch (error) {
    if (mine !== generation) return;
    showMessage(`${file.name} cannot be shown: ${error.message}`, true);
    clearResult();
    document.body.dataset.failed = String(mine);
  } finally {
    if (mine === generation) document.body.dataset.settled = String(mine);
  }
}

for (const role of ['base', 'second', 'mask', 'view']) {
  const zone = $('drop-' + role);
  const chosen = (file) => (role === 'view' ? view(file) : take(role, file));
  zone.addEventListener('dragover', (event) => { event.preventDefault(); zone.classList.add('over'); });
  zone.addEventListener('dragleave', () => zone.classList.remove('over'));
  zone.addEventListener('drop', (event) => {
    event.preventDefault();
    zone.classList.remove('over');
    if (event.dataTransfer.files.length) chosen(event.dataTransfer.files[0]);
  });
  $('file-' + role).addEventListener('change', (event) => { if (event.target.files.length) chosen(event.target.files[0]); });
}
$('merge').addEventListener('click', merge);
// Every setting merges again at once, a moment after the last change of a typed value; an older
// merge still running is dropped when it answers.
let typing = null;
for (const id of ['height', 'scale', 'flip-base', 'flip-second', 'flip-output', 'round', 'dilation', 'box', 'mips',
                  'container', 'format', 'strength', 'no-mask', 'blend', 'edges', 'fill'])
  $(id).addEventListener('change', merge);
for (const id of ['strength', 'scale', 'fill'])
  $(id).addEventListener('input', () => { clearTimeout(typing); typing = setTimeout(merge, 300); });
for (const id of ['tiled', 'zoom']) $(id).addEventListener('change', () => showing && showing.merged && showFlat(showing.merged.flat));
$('shape').addEventListener('change', () => lit && lit.setShape($('shape').value));
$('base-alone').addEventListener('change', () => ($('base-alone').checked ? showBaseAlone() : showLit()));

try {
  lit = new LitView($('lit'));
} catch (error) {
  showMessage('No WebGL here, so no lit view: ' + error.message, true);
}

// At first open the library's sample maps stand in for the maps, so the page shows a result at
// once; a map dropped or chosen replaces them.
async function useSamples() {
  const id = ++requests;
  const answer = new Promise((resolve, reject) => pending.set(id, { resolve, reject }));
  worker.postMessage({ id, samples: true });
  const { names } = await answer;
  if (inputs.base || inputs.second) return;
  usingSamples = true;
  inputs.base = names[0];
  inputs.second = names[1];
  $('name-base').textContent = names[0] + ' (sample)';
  $('name-second').textContent = names[1] + ' (sample)';
  $('merge').disabled = false;
  await merge();
}
useSamples().catch((error) => error.cancelled || showMessage('No sample maps: ' + error.message, true))
  .finally(() => { document.body.dataset.ready = '1'; });
