// The page in headless Chromium: the sample maps dropped on it merge to the command line's bytes
// (downloaded Targa and DDS files, a 16-bit PNG base decoded by the page), the lit view is not blank and follows the light, and a
// truncated map shows the command line's message while the next pair still merges.
// Usage: node page.test.js PAGE_DIR BUMPWELD BUMPWELD_SAMPLES OUT_DIR (exits 77 to skip).
// CHROMIUM names the browser (default /usr/bin/chromium); screenshots go to OUT_DIR.
'use strict';
const assert = require('assert');
const fs = require('fs');
const path = require('path');
const { setUp, openPage, actions } = require('./browser.js');

const { pageDir, outDir, read, native } = setUp();
fs.writeFileSync(path.join(outDir, 'cut.tga'), read('base.tga').subarray(0, 5000));

(async () => {
  const { page, problems, close } = await openPage(pageDir);
  const { decodePng } = require(path.join(pageDir, 'png.js'));
  try {
    const act = actions(page);
    const { started, done, setControl, download } = act;
    const drop = (role, name, merges) => act.drop(role, name, read(name), merges);

    // At first open the page has merged the library's sample maps, the files bumpweld_samples
    // writes.
    assert.ok(await page.evaluate(() => document.body.dataset.merged === '1'), 'no sample merge at first open');
    assert.ok((await download()).equals(native(['base.tga', 'detail.tga'], 'merged.tga').bytes), 'the sample merge');

    // Targa with the defaults, then a DDS mip chain of the height map: the command line's bytes.
    await drop('base', 'base.tga', false);
    let state = await drop('second', 'detail.tga');
    assert.ok(!state.failed, state.message);
    const targa = native(['base.tga', 'detail.tga'], 'merged.tga');
    assert.ok((await download()).equals(targa.bytes), 'the page\'s Targa file differs from the command line\'s');
    // Each artist control gives the command line's bytes with the same option, at once.
    const kControls = [['strength', '0.5', '--detail-strength=0.5'], ['blend', 'whiteout', '--blend=whiteout'],
                       ['edges', 'clamp', '--edges=clamp'], ['fill', '3', '--fill=3']];
    for (const [id, value, option] of kControls) {
      state = await setControl(id, value);
      assert.ok(!state.failed, state.message);
      const args = kControls.slice(0, kControls.findIndex((c) => c[0] === id) + 1).map((c) => c[2]);
      assert.ok((await download()).equals(native(args.concat(['base.tga', 'detail.tga']), 'merged.tga').bytes), option);
    }
    state = await drop('mask', 'height.tga');
    assert.ok(!state.failed, state.message);
    const masked = native(kControls.map((c) => c[2]).concat(['--mask=height.tga', 'base.tga', 'detail.tga']), 'merged.tga');
    assert.ok((await download()).equals(masked.bytes), '--mask');
    for (const [id, value] of [['strength', '1'], ['blend', 'rnm'], ['edges', 'wrap'], ['fill', ''], ['no-mask', true]])
      await setControl(id, value);
    assert.ok((await download()).equals(targa.bytes), 'the controls set back');
    // A change while a merge runs cancels it (its worker is replaced): the newest settings win.
    const first = await started();
    await page.evaluate(() => {
      const strength = document.getElementById('strength');
      for (const value of ['0.5', '1']) { strength.value = value; strength.dispatchEvent(new Event('change')); }
    });
    state = await done(first + 1);
    assert.ok(!state.failed, state.message);
    assert.ok((await download()).equals(targa.bytes), 'a cancelled merge');

    // PNG downloads of 8 and 16 bits: the command line's PNG pictures.
    for (const [container, args] of [['png', []], ['png16', ['--bits=16']]]) {
      const before = await started();
      await page.selectOption('#container', container);
      state = await done(before);
      assert.ok(!state.failed, state.message);
      const ours = await decodePng(new Uint8Array(await download()));
      const theirs = await decodePng(native(args.concat(['base.tga', 'detail.tga']), 'merged.png').bytes);
      assert.deepStrictEqual([ours.width, ours.height, ours.channels], [theirs.width, theirs.height, theirs.channels]);
      assert.ok(Buffer.from(ours.texels.buffer).equals(Buffer.from(theirs.texels.buffer)), container);
    }
    await page.selectOption('#container', 'tga');

    // A 16-bit PNG base, decoded by the page: what the command line makes of the same file.
    assert.strictEqual(native(['--bits=16', 'base.tga', 'detail.tga'], 'base16.png').status, 0);
    state = await drop('base', 'base16.png');
    assert.ok(!state.failed, state.message);
    assert.ok((await download()).equals(native(['base16.png', 'detail.tga'], 'merged.tga').bytes), '16-bit PNG');
    await drop('base', 'base.tga');

    await page.evaluate(() => { document.getElementById('height').checked = true; document.getElementById('scale').value = '2.5'; });
    await page.selectOption('#mips', 'm');
    await page.selectOption('#container', 'dds');
    state = await drop('second', 'height.tga');
    assert.ok(!state.failed, state.message);
    const dds = native(['-m', 'base.tga', 'height.tga', '2.5'], 'merged.dds');
    assert.strictEqual(dds.status, 0, dds.text);
    assert.ok((await download()).equals(dds.bytes), 'the page\'s DDS file differs from the command line\'s');

    // The lit sphere: not one colour, and different once the light is dragged elsewhere.
    await page.selectOption('#shape', 'sphere');
    const box = await page.locator('#lit').boundingBox();
    const light = async (fx, fy, name) => {
      await page.mouse.move(box.x + box.width * fx, box.y + box.height * fy);
      await page.mouse.down();
      await page.mouse.up();
      const shot = await page.locator('#lit').screenshot({ path: path.join(outDir, name) });
      return decodePng(new Uint8Array(shot));
    };
    const before = await light(0.2, 0.2, 'lit-1.png'), after = await light(0.85, 0.8, 'lit-2.png');
    const lums = (image) => Array.from({ length: image.width * image.height }, (_, i) => image.texels[i * image.channels + 1]);
    const a = lums(before), b = lums(after);
    assert.ok(new Set(a).size > 20, 'the lit view is blank');
    assert.ok(a.filter((v, i) => Math.abs(v - b[i]) > 8).length > a.length / 20, 'the lit view does not follow the light');
    await page.screenshot({ path: path.join(outDir, 'page.png') });

    // A truncated base: the command line's message on the page; then a good pair merges again.
    const cut = native(['-m', 'cut.tga', 'height.tga', '2.5'], 'cut.dds');
    state = await drop('base', 'cut.tga');
    assert.ok(state.failed && state.message.length > 0 && cut.text.includes(state.message),
              `page says "${state.message}", the command line:\n${cut.text}`);
    state = await drop('base', 'base.tga');
    assert.ok(!state.failed, state.message);
    assert.ok((await download()).equals(dds.bytes), 'the page does not merge after a failure');
    assert.deepStrictEqual(problems, []);
    console.log('page: Targa and DDS bytes equal, lit view follows the light, a broken map is reported; screenshots in ' + outDir);
  } finally {
    await close();
  }
})().catch((error) => { console.error(error); process.exit(1); });
