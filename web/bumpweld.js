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
// KTX2), bytes a Uint8Array, an ArrayBuffer or a view of one; or an image in memory, { name,
// texels, width, height, channels, topFirst, bgr, strideBytes }: texels a Uint8Array,
// Uint16Array or Float32Array of `channels` values a texel (1 grey, 2 grey and alpha, 3 colour,
// 4 colour and alpha), rows top first unless topFirst is false, colour in red, green, blue order
// unless bgr is true. `name` names it in messages. The library checks an image against the
// bytes its array holds before anything is copied into the module.
//
// Options: flags (the flag word, e.g. "-mB"), heightScale (number or text: the second map is a
// height map), options (long options, e.g. ["--flip-green=second", "--format=bc5"]), files
// (more files the options name, [{ name, bytes }], e.g. a mask for "--mask=mask.tga"), output
// (the output file name, whose extension chooses the container; left out, the levels are kept
// in memory as the flag word encodes them), texels (with levels in memory, each level also as a
// picture: channels, and texels top row first, red first, in a typed array of its values), onConsole(stream, text) (the run's console output:
// stream 1 messages and percentages, 2 file-format details).
//
// Each job runs in a folder of its own that holds the files it was handed, under their names
// without folders; the library opens nothing outside it (a name that is absolute or goes up
// with ".." is refused).
//
// samples() gives the library's sample maps (base, detail, height) as images in memory.
//
// The result: { files: [{ name, bytes }], levels: [{ width, height, headerBytes, bytes, and with
// the option texels: channels, texels }], log }.
// A failure throws a BumpweldError whose message is the command line's ("ERROR: ...") and whose
// status is the library's code (bw_strerror names it). The module stays usable: after a trap
// the next call runs on a fresh instance.
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
  const ARGUMENT = 1;
  const OUT_OF_MEMORY = 8;

  // The part of a file name after its last slash: inputs are written under their own names, so
  // messages name them as the user knows them.
  function baseName(name) {
    const last = String(name).split(/[\\/]/).pop();
    return last === '' || last === '.' || last === '..' ? 'input' : last;
  }

  // The bytes of a file handed in, as a Uint8Array over the caller's memory; null for anything
  // else.
  function asBytes(bytes) {
    if (bytes instanceof Uint8Array) return bytes;
    if (bytes instanceof ArrayBuffer) return new Uint8Array(bytes);
    if (ArrayBuffer.isView(bytes)) return new Uint8Array(bytes.buffer, bytes.byteOffset, bytes.byteLength);
    return null;
  }

  // Result level `level` of a job as a picture: { channels, texels }, the texels in picture
  // order (top row first, red first) as the library copies them (bw_result_copy), in the typed
  // array of their value type.
  const VALUE_ARRAYS = [Uint8Array, Uint16Array, Float32Array, Int16Array, Uint32Array];
  function picture(core, job, level) {
    const layout = core._malloc(16) >>> 0;
    try {
      core._bw_result_layout(job, level, layout, layout + 4, layout + 8, layout + 12);
      const [width, height, channels, type] = new Int32Array(core.HEAPU8.slice(layout, layout + 16).buffer);
      const Values = VALUE_ARRAYS[type];
      const bytes = width * height * channels * Values.BYTES_PER_ELEMENT;
      const texels = core._malloc(Math.max(1, bytes)) >>> 0;
      if (!texels) throw new BumpweldError('ERROR: Unable to allocate texture', OUT_OF_MEMORY, '');
      try {
        core._bw_result_copy(job, level, texels, 0, 1, 0);
        return { channels, texels: new Values(core.HEAPU8.slice(texels, texels + bytes).buffer) };
      } finally {
        core._free(texels);
      }
    } finally {
      core._free(layout);
    }
  }

  // instantiate() makes a fresh instance of the module, at once.
  function api(instantiate) {
    let jobs = 0;
    let current = null;  // the instance, null after a trap until the next call makes another
    let consoleSink = null;
    const instance = () => {
      if (!current) {
        current = instantiate();
        current.onConsole = (stream, text) => { if (consoleSink) consoleSink(stream, text); };
      }
      return current;
    };

    function merge(base, second, options) {
      let core;
      try {
        core = instance();
      } catch (error) {
        throw new BumpweldError('ERROR: The WebAssembly module could not be started (' + (error && error.message) + ')', OUT_OF_MEMORY);
      }
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
      core._bw_job_confine_files(job, 1);
      const fail = () => {
        throw new BumpweldError(core.UTF8ToString(core._bw_job_error(job)), core._bw_job_status(job), log);
      };
      const refuse = (message) => { throw new BumpweldError('ERROR: ' + message, ARGUMENT, log); };
      const written = [];
      let relay = 0;
      // A file handed in, written into the job's folder; its name there.
      const put = (value, role) => {
        const bytes = asBytes(value.bytes);
        if (!bytes) refuse('The ' + role + ' file\'s bytes are not a Uint8Array, an ArrayBuffer or a view of one');
        let name = baseName(value.name || role);
        // Two inputs of one name: the second goes into a folder of its own. The other files keep
        // their names, which the options use.
        if (written.includes(name)) {
          if (role === 'other') refuse('Two files are named ' + name);
          core.FS.mkdir(role);
          name = role + '/' + name;
        }
        // The file system keeps the caller's bytes instead of a copy; the job only reads them.
        core.FS.writeFile(name, bytes, { canOwn: true });
        written.push(name);
        return name;
      };
      // A whole number the module's records hold (32 bits), or 0 when left out.
      const whole = (value, field, what) => {
        if (value === undefined || value === null) return 0;
        if (!Number.isInteger(value) || value < -0x80000000 || value > 0x7fffffff)
          refuse(what + ' has ' + field + ' ' + String(value) + ', not a whole number of 32 bits');
        return value;
      };
      const input = (value, role) => {
        if (!value) refuse('No ' + role + ' map');
        if (value.bytes) return core._bwjs_input_new(cString(put(value, role)), 0);
        const entry = TYPES.find(([kind]) => value.texels instanceof kind);
        if (!entry) refuse('The ' + role + ' image is neither bytes nor an 8-bit, 16-bit or float array');
        // The library checks the layout against the array's bytes before any is copied.
        const what = value.name ? baseName(value.name) : role + ' image';
        const image = core._bwjs_image_new(0, entry[1], whole(value.width, 'width', what), whole(value.height, 'height', what),
                                           whole(value.channels, 'channels', what), whole(value.strideBytes, 'strideBytes', what),
                                           value.topFirst === false ? 0 : 1, value.bgr ? 1 : 0);
        if (!image) throw new BumpweldError('ERROR: Unable to allocate texture', OUT_OF_MEMORY, log);
        allocations.push(image);
        if (core._bwjs_check_image(job, image, cString(what), value.texels.byteLength) !== 0) fail();
        const source = new Uint8Array(value.texels.buffer, value.texels.byteOffset, value.texels.byteLength);
        const texels = core._malloc(Math.max(1, source.length)) >>> 0;
        if (!texels) throw new BumpweldError('ERROR: Unable to allocate texture', OUT_OF_MEMORY, log);
        allocations.push(texels);
        core.HEAPU8.set(source, texels);
        core._bwjs_image_set_texels(image, texels);
        return core._bwjs_input_new(value.name ? cString(baseName(value.name)) : 0, image);
      };
      core.FS.mkdir(directory);
      core.FS.chdir(directory);
      // The caller's callback runs inside the module's frames, which what it throws would leave
      // half done: the first error is kept, the callback is not called again, and the error is
      // thrown once the run is over.
      let callbackError = null;
      consoleSink = (stream, text) => {
        log += text;
        try {
          if (options.onConsole && !callbackError) options.onConsole(stream, text);
        } catch (error) {
          callbackError = error || new Error('onConsole failed');
        }
      };
      try {
        if (core._bw_job_set_flags(job, cString(options.flags || '')) !== 0) fail();
        for (const option of options.options || []) if (core._bw_job_set_option(job, cString(String(option))) !== 0) fail();
        if (options.heightScale !== undefined && options.heightScale !== null && options.heightScale !== '') {
          if (core._bw_job_set_height_scale_text(job, cString(String(options.heightScale))) !== 0) fail();
        }
        for (const file of options.files || []) put(file || {}, 'other');
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
          // The file goes with the job, so the in-memory file system's own array is taken as it
          // is (FS.readFile would copy a whole level once more).
          const name = core.UTF8ToString(core._bw_output_name(job, i));
          const node = core.FS.lookupPath(name).node;
          files.push({ name, bytes: node.contents instanceof Uint8Array ? node.contents.subarray(0, node.usedBytes) : core.FS.readFile(name) });
        }
        const levels = [];
        for (let i = 0; i < core._bw_result_count(job); ++i) {
          const pointer = core._bwjs_result_bytes(job, i) >>> 0;
          levels.push({
            width: core._bwjs_result_width(job, i),
            height: core._bwjs_result_height(job, i),
            headerBytes: core._bwjs_result_header_bytes(job, i),
            bytes: core.HEAPU8.slice(pointer, pointer + core._bwjs_result_size(job, i)),
            ...(options.texels ? picture(core, job, i) : {}),
          });
        }
        if (callbackError) throw callbackError;
        return { files, levels, log };
      } catch (error) {
        if (error instanceof BumpweldError || error === callbackError) throw error;
        // A trap (an abort is one too), or anything thrown across the module's frames, leaves it
        // in no known state: it is dropped, memory and all, and the next call makes another.
        current = null;
        throw new BumpweldError('ERROR: The WebAssembly module failed (' + (error && error.message) + ')', OUT_OF_MEMORY, log);
      } finally {
        if (core === current) {
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

    // The library's sample maps as images in memory, ready for merge: base, detail and height.
    function samples() {
      const core = instance();
      const size = core._bw_sample_size(), bytes = size * size * 3;
      const pointer = core._malloc(bytes);
      if (!pointer) throw new BumpweldError('ERROR: Unable to allocate texture', OUT_OF_MEMORY, '');
      try {
        return ['base.tga', 'detail.tga', 'height.tga'].map((name, which) => {
          core._bw_sample_map(which, pointer);
          const texels = core.HEAPU8.slice(pointer >>> 0, (pointer >>> 0) + bytes);
          return { name, texels, width: size, height: size, channels: 3, topFirst: false };
        });
      } finally {
        core._free(pointer);
      }
    }

    const core = instance();
    return {
      merge,
      samples,
      version: core.UTF8ToString(core._bw_version()),
      strerror: (status) => core.UTF8ToString(core._bw_strerror(status)),
    };
  }

  // Compiles the module (createBumpweldCore from bumpweld_core.js) once and returns the API on an
  // instance of it; a trap's replacement is made from the same compiled module, at once.
  // settings go to the module as they are: wasmBinary (the .wasm bytes; under Node it must be
  // given), locateFile (locateFile('bumpweld_core.wasm', '') is the URL to fetch it from).
  async function load(createCore, settings) {
    settings = settings || {};
    let bytes = settings.wasmBinary;
    if (!bytes) {
      const url = settings.locateFile ? settings.locateFile('bumpweld_core.wasm', '') : 'bumpweld_core.wasm';
      const response = await fetch(url);
      if (!response.ok) throw new Error('Unable to load ' + url + ' (' + response.status + ')');
      bytes = await response.arrayBuffer();
    }
    const compiled = await WebAssembly.compile(bytes);
    // This module's factory runs at once on a compiled module: the object handed to it is the
    // instance as soon as it returns.
    const instantiate = () => {
      const core = Object.assign({ print: () => {}, printErr: () => {} }, settings, {
        instantiateWasm: (imports, receive) => {
          const made = new WebAssembly.Instance(compiled, imports);
          receive(made, compiled);
          return made.exports;
        },
      });
      const ready = createCore(core);
      if (ready && ready.catch) ready.catch(() => {});  // a failed start is reported below
      if (!core.calledRun) throw new Error('the module did not start');
      return core;
    };
    return api(instantiate);
  }

  const exported = { load, BumpweldError };
  if (typeof module === 'object' && module.exports) module.exports = exported;
  else root.Bumpweld = exported;
})(typeof self !== 'undefined' ? self : globalThis);
