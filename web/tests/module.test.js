// The WebAssembly module under Node: every job of the table merges the sample maps to the same
// bytes as the command line with the same words, images in memory give what their files give,
// refusals carry the command line's message and leave the module usable, as do the guarded rows.
// Usage: node module.test.js WEB_DIR BUMPWELD BUMPWELD_SAMPLES OUT_DIR (exits 77 to skip).
'use strict';
const assert = require('assert');
const fs = require('fs');
const path = require('path');
const { execFileSync, spawnSync } = require('child_process');
const { Worker, isMainThread, parentPort } = require('worker_threads');

const [webDir, bumpweld, samples, outDir] = process.argv.slice(2).map((arg) => path.resolve(arg));
const skip = (reason) => { console.log('SKIP: ' + reason); process.exit(77); };
if (process.env.BUMPWELD_WEB_SKIP) skip(process.env.BUMPWELD_WEB_SKIP);
const corePath = path.join(webDir, 'bumpweld_core.js');
if (!fs.existsSync(corePath)) skip('the WebAssembly module was not built: no ' + corePath);

const Bumpweld = require(path.join(webDir, 'bumpweld.js'));
const createCore = require(corePath);
const wasmBinary = fs.readFileSync(path.join(webDir, 'bumpweld_core.wasm'));
const file = (name) => ({ name, bytes: fs.readFileSync(path.join(outDir, name)) });

// The command line in OUT_DIR with the job's words: its status, console text and files.
function native(job, names) {
  const args = [];
  if (job.flags) args.push(job.flags);
  args.push(job.base || 'base.tga', job.second);
  if (job.scale !== undefined) args.push(job.scale);
  args.push(job.output, ...(job.options || []));
  const run = spawnSync(bumpweld, args, { cwd: outDir, encoding: 'latin1' });
  return { status: run.status, text: run.stdout + run.stderr,
           files: (names || []).map((name) => fs.readFileSync(path.join(outDir, name))) };
}

function wasm(bw, job) {
  const base = job.baseImage || file(job.base || 'base.tga');
  return bw.merge(base, job.secondBytes || file(job.second), { flags: job.flags, heightScale: job.scale,
                  options: job.options, files: (job.files || []).map(file), output: job.output });
}

const jobs = [
  { second: 'detail.tga', output: 'plain.tga' },
  { flags: '-mE', second: 'height.tga', scale: '2.5', output: 'chain.tga' },
  { flags: '-m', second: 'height.tga', scale: '2.5', output: 'chain.dds' },
  { flags: '-MB', second: 'detail.tga', options: ['--round', '--flip-green=second'], output: 'bc5.ktx2' },
  { flags: '-i', second: 'detail.tga', options: ['--blend=whiteout'], output: 'half.kep' },
  { second: 'detail.tga', options: ['--format=rgba8', '--detail-strength=0.5'], output: 'rgba8.dds' },
  { flags: '-m', second: 'height.tga', scale: '2.5', options: ['--format=eacrg11'], output: 'eac.ktx2' },
  { second: 'detail.tga', options: ['--format=eacrg11s', '--round'], output: 'eacs.ktx2' },
  { flags: '-M', second: 'detail.tga', options: ['--format=bc3n'], output: 'bc3n.dds' },
  { base: 'chain.dds', second: 'detail.tga', options: ['--edges=clamp'], output: 'fromdds.tga' },
  { second: 'detail.tga', options: ['--mask=height.tga'], files: ['height.tga'], output: 'masked.tga' },
];

// Handed to the module, each refused with the message within the worker's time limit; a trap
// is made by a store far past the module's memory in the middle of a merge.
const image = (texels, width, height, strideBytes) => ({ texels, width, height, channels: 3, strideBytes });
const guarded = () => [
  [image(new Uint8Array(3), 512, 512), file('detail.tga'), {}, /^BumpweldError: ERROR: base image of 512x512 texels \(3 values a texel\) needs 786432 bytes; 3 were given$/],
  [image(new Uint8Array(3), 65535, 65535), image(new Uint8Array(3), 65535, 65535), {}, /needs 12884508675 bytes; 3 were/],
  [image(new Uint8Array(3), 512, 512, 2147483647), file('detail.tga'), {}, /rows 2147483647 bytes apart\) needs 1097364145153 bytes/],
  [image(new Uint16Array(512 * 512 * 3 - 1), 512, 512), file('detail.tga'), {}, /needs 1572864 bytes; 1572862 were/],
  [image(new Float32Array(512 * 512 * 3 - 1), 512, 512), file('detail.tga'), {}, /needs 3145728 bytes; 3145724 were/],
  [image(new Uint8Array(3), 2 ** 32 + 1, 1), file('detail.tga'), {}, /width 4294967297, not a whole number of 32 bits/],
  [file('base.tga'), file('detail.tga'), { options: ['--mask=/dev/urandom'] }, /^BumpweldError: ERROR: The file \/dev\/urandom is outside the job's folder$/],
  [file('base.tga'), file('detail.tga'), { options: ['--mask=../proc/self/maps'] }, /outside the job's folder/],
  [file('base.tga'), file('detail.tga'), { trap: true }, /^BumpweldError: ERROR: The WebAssembly module failed \(memory access out of bounds\)$/],
];

if (!isMainThread) {
  let trap = false;
  const trapping = (core) => {
    const ready = createCore(core);
    core._bw_run_inputs(0, 0, 0, 0);  // the first call binds the export (no job: refused)
    const run = core._bw_run_inputs;
    core._bw_run_inputs = (...args) => (trap ? core._bwjs_image_set_texels(-16, 0) : run(...args));
    return ready;
  };
  return void Bumpweld.load(trapping, { wasmBinary }).then((bw) => {
    const plain = fs.readFileSync(path.join(outDir, 'plain.tga'));
    for (const [base, second, options, message] of guarded()) {
      parentPort.postMessage(message.source);
      trap = Boolean(options.trap);
      assert.throws(() => bw.merge(base, second, Object.assign({ output: 'g.tga' }, options)), message);
      trap = false;
      assert.ok(Buffer.from(wasm(bw, jobs[0]).files[0].bytes).equals(plain), 'no plain merge after ' + message);
    }
  });
}

// The guarded rows in a worker, stopped when one takes over 20 s.
const runGuarded = () => new Promise((resolve, reject) => {
  const worker = new Worker(__filename, { argv: process.argv.slice(2) });
  let timer;
  const limit = (row) => { clearTimeout(timer); timer = setTimeout(() => { reject(new Error(`${row} took over 20 s`)); worker.terminate(); }, 20000); };
  limit('loading');
  worker.on('message', limit).on('error', reject).on('exit', () => { clearTimeout(timer); resolve(); });
});

(async () => {
  fs.rmSync(outDir, { recursive: true, force: true });
  fs.mkdirSync(outDir, { recursive: true });
  execFileSync(samples, [outDir]);
  const bw = await Bumpweld.load(createCore, { wasmBinary });
  let checks = 0;
  for (const job of jobs) {
    const result = wasm(bw, job);
    const names = result.files.map((f) => f.name);
    const cli = native(job, names);
    assert.strictEqual(cli.status, 0, cli.text);
    const chainFiles = /[mM]/.test(job.flags || '') && job.output.endsWith('.tga');
    assert.ok(chainFiles ? names.length > 1 : names.length === 1, job.output + ' gave ' + names);
    result.files.forEach((f, i) => assert.ok(Buffer.from(f.bytes).equals(cli.files[i]), f.name + ' differs from the command line'));
    ++checks;
  }

  // The base map as texels in memory, in Targa order and bottom row first as base.tga holds
  // them: the same file, and with no output name the same bytes as a result level.
  const targa = file('base.tga').bytes;
  assert.deepStrictEqual([targa[0], targa[1], targa[2], targa[16]], [0, 0, 2, 24], 'base.tga is not a plain 24-bit Targa');
  const width = targa.readUInt16LE(12), height = targa.readUInt16LE(14);
  const texels = new Uint8Array(targa.subarray(18, 18 + width * height * 3));
  const plain = fs.readFileSync(path.join(outDir, 'plain.tga'));
  const image = { name: 'base.tga', texels, width, height, channels: 3, bgr: true, topFirst: (targa[17] & 0x20) !== 0 };
  const fromImage = wasm(bw, { baseImage: image, second: 'detail.tga', output: 'image.tga' });
  assert.ok(Buffer.from(fromImage.files[0].bytes).equals(plain), 'an image in memory merges unlike its file');
  const inMemory = wasm(bw, { baseImage: image, second: 'detail.tga' });
  assert.strictEqual(inMemory.levels.length, 1);
  assert.deepStrictEqual([inMemory.levels[0].width, inMemory.levels[0].height, inMemory.levels[0].headerBytes], [width, height, 18]);
  assert.ok(Buffer.from(inMemory.levels[0].bytes).equals(plain), 'the result level differs from the file');
  checks += 2;

  // Refusals: the exception's message is the command line's, and the next job still works.
  fs.writeFileSync(path.join(outDir, 'cut.tga'), targa.subarray(0, 5000));
  const refusals = [
    { second: 'detail.tga', base: 'cut.tga', output: 'r1.tga' },
    { second: 'chain01.tga', output: 'r2.tga' },
    { second: 'detail.tga', options: ['--bogus'], output: 'r3.tga' },
    { second: 'height.tga', scale: 'nan', output: 'r4.tga' },
    { second: 'detail.tga', options: ['--format=bc7'], output: 'r5.dds' },
  ];
  for (const job of refusals) {
    const cli = native(job);
    assert.strictEqual(cli.status, 255, cli.text);
    assert.throws(() => wasm(bw, job), (error) => {
      assert.ok(error instanceof Bumpweld.BumpweldError && error.status > 0, String(error));
      assert.ok(error.message.length > 0 && cli.text.includes(error.message),
                `"${error.message}" is not in the command line's output:\n${cli.text}`);
      return true;
    });
    ++checks;
  }
  // What this build leaves out is refused, with the reason in the log: PNG files (no libspng),
  // and ASTC written or read (no astcenc; the command line's ASTC file as an input).
  assert.strictEqual(native({ second: 'detail.tga', options: ['--format=astc4x4'], output: 'astc.ktx2' }).status, 0);
  const png = { name: 'map.png', bytes: Uint8Array.from([137, 80, 78, 71, 13, 10, 26, 10, 0, 0, 0, 13]) };
  const left = [
    [png, file('detail.tga'), {}, 'ERROR: Unable to read map.png', /PNG files are not supported/],
    [file('base.tga'), file('detail.tga'), { options: ['--format=astc4x4'], output: 'a.ktx2' }, 'ERROR: Unable to write a.ktx2', /no ASTC codec/],
    [file('astc.ktx2'), file('detail.tga'), {}, 'ERROR: Unable to read astc.ktx2', /no ASTC codec/],
  ];
  for (const [base, second, options, message, reason] of left) {
    assert.throws(() => bw.merge(base, second, Object.assign({ output: 'p.tga' }, options)),
                  (error) => error.message === message && reason.test(error.log), message);
  }
  const again = wasm(bw, jobs[0]);
  assert.ok(Buffer.from(again.files[0].bytes).equals(plain), 'the module does not work after refusals');
  checks += left.length + 1;
  await runGuarded();
  checks += guarded().length;
  console.log(`module ${bw.version}: ${checks} checks passed`);
})().catch((error) => { console.error(error); process.exit(1); });
