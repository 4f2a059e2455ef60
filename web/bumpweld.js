// The JavaScript API of the Bumpweld WebAssembly module: merge(base, second, options) runs one
// job of the library on two inputs and gives back the files or levels it made. Every setting is
// handed to the library as the command line spells it (flag word, height scale, long options),
// so the library decides what they mean, which container an output name asks for and what the
// files are called; this file only moves bytes in and out of the module.
//
// Loaded with importScripts in a worker, with require under Node:
//   const bw = await Bumpweld.load(createBumpweldCore, { wasmBinary });  // wasmBinary: optional
//   const result = bw.merge({ name: 'base.tga', bytes }, { name: 'height.tga', bytes },
//                           { flags: '-m', heightScale: 2.5, options: ['--round'], output: 'out.dds' });
//   result.files  // [{ name: 'out.dds', bytes: Uint8Array }]
//
// An input is a file's bytes, { name, bytes }, in any container the module reads (Targa, DDS,
// KTX2), or an image in memory, { name, texels, width, height, channels, topFirst, bgr,
// strideBytes }: texels a Uint8Array, Uint16Array or Float32Array of `channels` values a texel
// (1 grey, 2 grey and alpha, 3 colour, 4 colour and alpha), rows top first unless topFirst is
// false, colour in red, green, blue order unless bgr is true. `name` names it in messages.
//
// Options: flags (the flag word, e.g. "-mB"), heightScale (number or text: the second map is a
// height map), options (long options, e.g. ["--flip-green=second", "--format=bc5"]), output
// (the output file name, whose extension chooses the container; left out, the levels are kept
// in memory as the flag word encodes them), onConsole(stream, text) (the run's console output:
// stream 1 messages and percentages, 2 file-format details).
//
// The result: { files: [{ name, bytes }], levels: [{ width, height, headerBytes, bytes }], log }.
// A failure throws a BumpweldError whose message is the command line's ("ERROR: ...") and whose
// status is the library's code (bw_strerror names it); the module stays usable.
(function (root) {
  'use strict';

  class BumpweldError extends Error {
    constructor(message, status, log) {
      super(message);
      this.name = 'BumpweldError';
      this.status = status;
      this.log = log || '';
    }
  }

  const TYPES = [[Uint8Array, 0], [Uint16Array, 1], [Float32Array, 2]];
  const OUT_OF_MEMORY = 8;

  // The part of a file name after its last slash: inputs are written under their own names, so
  // messages name them as the user knows them.
  function baseName(name) {
    const last = String(name).split(/[\\/]/).pop();
    return last === '' || last === '.' || last === '..' ? 'input' : last;
  }

  function api(core) {
    let jobs = 0;
    let broken = null;  // set once the module trapped: it cannot be trusted after that
    let consoleSink = null;
    core.onConsole = (stream, text) => { if (consoleSink) consoleSink(stream, text); };

    // A file's bytes. The file goes with the job, so the in-memory file system's own array is
    // taken as it is (FS.readFile would copy a whole level once more).
    function fileBytes(name) {
      const node = core.FS.lookupPath(name).node;
      if (node.contents instanceof Uint8Array) return node.contents.subarray(0, node.usedBytes);
      return core.FS.readFile(name);
    }

    function merge(base, second, options) {
      if (broken) throw new BumpweldError(broken, OUT_OF_MEMORY);
      options = options || {};
      const allocations = [];
      let log = '';
      const cString = (text) => {
        const bytes = core.lengthBytesUTF8(text) + 1;
        const pointer = core._malloc(bytes);
        if (!pointer) throw new BumpweldError('ERROR: Unable to allocate texture', OUT_OF_MEMORY, log);
        allocations.push(pointer);
        core.stringToUTF8(text, pointer, bytes);
        return pointer;
      };
      const directory = '/job' + (++jobs);
      const job = core._bw_job_new();
      if (!job) throw new BumpweldError('ERROR: Unable to allocate texture', OUT_OF_MEMORY);
      const fail = () => {
        throw new BumpweldError(core.UTF8ToString(core._bw_job_error(job)), core._bw_job_status(job), log);
      };
      const written = [];
      let relay = 0;
      const input = (value, role) => {
        if (!value) throw new BumpweldError('ERROR: No ' + role + ' map', 1, log);
        if (value.bytes) {
          let name = baseName(value.name || role);
          // Two inputs of one name: the second goes into a folder of its own.
          if (written.includes(name)) {
            core.FS.mkdir(role);
            name = role + '/' + name;
          }
          // The file system keeps the caller's bytes instead of a copy; the job only reads them.
          core.FS.writeFile(name, value.bytes instanceof Uint8Array ? value.bytes : new Uint8Array(value.bytes), { canOwn: true });
          written.push(name);
          return core._bwjs_input_new(cString(name), 0);
        }
        const entry = TYPES.find(([kind]) => value.texels instanceof kind);
        if (!entry) throw new BumpweldError('ERROR: The ' + role + ' image is neither bytes nor an 8-bit, 16-bit or float array', 1, log);
        const source = new Uint8Array(value.texels.buffer, value.texels.byteOffset, value.texels.byteLength);
        const texels = core._malloc(Math.max(1, source.length));
        if (!texels) throw new BumpweldError('ERROR: Unable to allocate texture', OUT_OF_MEMORY, log);
        allocations.push(texels);
        core.HEAPU8.set(source, texels);
        const image = core._bwjs_image_new(texels, entry[1], value.width | 0, value.height | 0, value.channels | 0,
                                           value.strideBytes | 0, value.topFirst === false ? 0 : 1, value.bgr ? 1 : 0);
        allocations.push(image);
        return core._bwjs_input_new(value.name ? cString(baseName(value.name)) : 0, image);
      };
      core.FS.mkdir(directory);
      core.FS.chdir(directory);
      consoleSink = (stream, text) => {
        log += text;
        if (options.onConsole) options.onConsole(stream, text);
      };
      try {
        if (core._bw_job_set_flags(job, cString(options.flags || '')) !== 0) fail();
        for (const option of options.options || []) if (core._bw_job_set_option(job, cString(String(option))) !== 0) fail();
        if (options.heightScale !== undefined && options.heightScale !== null && options.heightScale !== '') {
          if (core._bw_job_set_height_scale_text(job, cString(String(options.heightScale))) !== 0) fail();
        }
        relay = core._bwjs_console_begin(job);
        const baseInput = input(base, 'base');
        allocations.push(baseInput);
        const secondInput = input(second, 'second');
        allocations.push(secondInput);
        const output = options.output ? cString(baseName(options.output)) : 0;
        const status = core._bw_run_inputs(job, baseInput, secondInput, output);
        core._bwjs_console_end(job, relay);
        relay = 0;
        if (status !== 0) fail();
        const files = [];
        for (let i = 0; i < core._bw_output_count(job); ++i) {
          const name = core.UTF8ToString(core._bw_output_name(job, i));
          files.push({ name, bytes: fileBytes(name) });
        }
        const levels = [];
        for (let i = 0; i < core._bw_result_count(job); ++i) {
          const pointer = core._bwjs_result_bytes(job, i);
          levels.push({
            width: core._bwjs_result_width(job, i),
            height: core._bwjs_result_height(job, i),
            headerBytes: core._bwjs_result_header_bytes(job, i),
            bytes: core.HEAPU8.slice(pointer, pointer + core._bwjs_result_size(job, i)),
          });
        }
        return { files, levels, log };
      } catch (error) {
        if (error instanceof BumpweldError) throw error;
        // A trap (an abort is one too) leaves the module in no known state: it is not used again.
        // Anything else failed on the JavaScript side, most likely short of memory for the files.
        const message = 'ERROR: The WebAssembly module failed (' + (error && error.message) + ')';
        if (error instanceof WebAssembly.RuntimeError) broken = message;
        throw new BumpweldError(message, OUT_OF_MEMORY, log);
      } finally {
        if (!broken) {
          if (relay) core._bwjs_console_end(job, relay);
          core._bw_job_free(job);
          for (const pointer of allocations) core._free(pointer);
          // Inputs and outputs go with the job, so memory holds one job's files at a time.
          const remove = (path) => {
            for (const entry of core.FS.readdir(path)) {
              if (entry === '.' || entry === '..') continue;
              const full = path + '/' + entry;
              if (core.FS.isDir(core.FS.stat(full).mode)) remove(full), core.FS.rmdir(full);
              else core.FS.unlink(full);
            }
          };
          core.FS.chdir('/');
          remove(directory);
          core.FS.rmdir(directory);
        }
        consoleSink = null;
      }
    }

    return {
      merge,
      version: core.UTF8ToString(core._bw_version()),
      strerror: (status) => core.UTF8ToString(core._bw_strerror(status)),
    };
  }

  // Instantiates the module (createBumpweldCore from bumpweld_core.js) and returns the API.
  // settings go to the module as they are: wasmBinary (the .wasm bytes; under Node it must be
  // given), locateFile.
  async function load(createCore, settings) {
    const core = await createCore(Object.assign({ print: () => {}, printErr: () => {} }, settings || {}));
    return api(core);
  }

  const exported = { load, BumpweldError };
  if (typeof module === 'object' && module.exports) module.exports = exported;
  else root.Bumpweld = exported;
})(typeof self !== 'undefined' ? self : globalThis);
