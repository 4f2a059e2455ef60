// The GPU's own decoding of KTX2 textures in headless Chromium. For each GPU layout the page
// offers, the page's .ktx2 download equals the command line's; where the GPU has the layout's
// extension the flat view (the texels the GPU decoded, read back from a framebuffer) is within
// one 8-bit step of the library's decoding of the same file (the command line reading it into a
// PNG) and the lit view stands as the Targa file's, and where it has not the page names the
// missing extension. ASTC files written by the command line are opened in the page's KTX2 view
// and checked alike.
// Usage: node gpu.test.js PAGE_DIR BUMPWELD BUMPWELD_SAMPLES OUT_DIR (exits 77 to skip).
'use strict';
const assert = require('assert');
const path = require('path');
const { setUp, skip, openPage, actions } = require('./browser.js');

const { pageDir, read, native } = setUp();

// The layouts, the WebGL2 extension the GPU needs for each, the components the file stores (z
// rebuilt from x and y is left out: near the horizon it turns differences far below a step in x
// and y into several), and whether the page writes it; ASTC, which the module cannot write, is
// written by the command line and opened in the page's KTX2 view (three.js's loader makes the
// 4x4 texture, the page the 5x5 and 8x8 ones). All with mip chains, so that every way of making
// a texture takes levels.
const RGTC = 'EXT_texture_compression_rgtc', ETC = 'WEBGL_compressed_texture_etc', ASTC = 'WEBGL_compressed_texture_astc';
const NORM16 = 'EXT_texture_norm16';
const kLayouts = [
  ['bc5', RGTC, 2, true], ['bc5s', RGTC, 2, true], ['eacrg11', ETC, 2, true], ['eacrg11s', ETC, 2, true],
  ['bc3n', 'WEBGL_compressed_texture_s3tc', 2, true], ['rg16s', NORM16, 2, true], ['rgba16s', NORM16, 3, true],
  ['rgb10a2', null, 3, true], ['rgba8', null, 3, true],
  ['astc4x4', ASTC, 2, false], ['astc5x5', ASTC, 2, false], ['astc8x8', ASTC, 2, false],
];

(async () => {
  const { page, problems, close } = await openPage(pageDir);
  const { decodePng } = require(path.join(pageDir, 'png.js'));
  const compared = [], notes = [];
  try {
    const act = actions(page);
    const extensions = await page.evaluate(() => document.createElement('canvas').getContext('webgl2')?.getSupportedExtensions());
    if (!extensions) await close().then(() => skip('this Chromium has no WebGL2'));

    // The flat view (not tiled, so one texel a canvas pixel) against the library's decoding of
    // the file `name`: the largest difference of the first `stored` of x, y and z in 8-bit steps.
    const checkFlat = async (name, what, stored) => {
      assert.strictEqual(await page.textContent('#flat-source'), '(as the GPU decodes it)', what);
      const flat = await page.evaluate(() => {
        const canvas = document.getElementById('flat');
        const data = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height).data;
        let text = '';
        for (let i = 0; i < data.length; i += 8192) text += String.fromCharCode(...data.subarray(i, i + 8192));
        return { width: canvas.width, height: canvas.height, data: btoa(text) };
      });
      const gpu = Buffer.from(flat.data, 'base64');
      const decoded = native(['-e', '--round', '--detail-strength=0', name, name, name + '.png']);
      assert.strictEqual(decoded.status, 0, decoded.text);
      const ours = await decodePng(new Uint8Array(decoded.bytes));
      assert.deepStrictEqual([flat.width, flat.height], [ours.width, ours.height], what);
      const worst = new Array(stored).fill(0);
      for (let i = 0; i < ours.width * ours.height; ++i)
        for (let c = 0; c < stored; ++c) worst[c] = Math.max(worst[c], Math.abs(gpu[i * 4 + c] - ours.texels[i * ours.channels + c]));
      assert.ok(worst.every((d) => d <= 1), `${what}: the GPU's values are up to ${worst} steps from the library's`);
      compared.push(`${what} (${worst.join('/')})`);
    };

    // Dilated until full: an empty texel has no direction, and the library's reading of one
    // (through a merge) gives it one.
    await act.setControl('dilation', 'all');
    // The lit view of each layout stands as that of the Targa file does (a texture upside down
    // differs by some 58 levels on average, this GPU's decoding and filtering by under 6).
    const litView = async () => decodePng(new Uint8Array(await page.locator('#lit').screenshot()));
    const targaLit = await litView();
    const checkLit = async (what) => {
      const shot = await litView();
      let sum = 0;
      for (let i = 0; i < shot.texels.length; ++i) sum += Math.abs(shot.texels[i] - targaLit.texels[i]);
      assert.ok(sum / shot.texels.length < 10, `${what}: the lit view differs from the Targa one by ${sum / shot.texels.length}`);
    };
    await act.setControl('mips', 'm');
    await act.setControl('container', 'ktx2');
    for (const [format, extension, stored, written] of kLayouts) {
      const cli = native(['-m', '--fill=all', 'base.tga', 'detail.tga', '--format=' + format, format + '.ktx2']);
      assert.strictEqual(cli.status, 0, cli.text);
      const state = written ? await act.setControl('format', format) : await act.drop('view', format + '.ktx2', cli.bytes);
      if (written) assert.ok(!state.failed && (await act.download()).equals(cli.bytes), `${format}: ${state.message}`);
      if (!extension || extensions.includes(extension)) {
        assert.ok(!state.failed, state.message);
        await checkFlat(format + '.ktx2', format, stored);
        await checkLit(format);
      } else {
        assert.ok(state.message.includes(extension), `${format} without ${extension}: "${state.message}"`);
        notes.push(`${format}: this GPU has no ${extension}`);
      }
    }

    // A file that is no KTX2 texture is refused by the view, with the reason.
    const refused = await act.drop('view', 'base.tga', read('base.tga'));
    assert.ok(refused.failed && /^base\.tga cannot be shown: .*KTX/.test(refused.message), refused.message);
    assert.deepStrictEqual(problems, []);
  } finally {
    await close();
  }
  for (const note of notes) console.log('not compared: ' + note);
  if (!compared.some((what) => what.startsWith('eac')) && !compared.some((what) => what.startsWith('astc')))
    skip('neither EAC nor ASTC could be drawn and compared here');
  console.log('gpu: within one 8-bit step of the library (largest steps of the stored components): ' + compared.join(', '));
})().catch((error) => { console.error(error); process.exit(1); });
