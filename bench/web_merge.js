// Times merges in the page (build/page) in headless Chromium, for bench/web.sh: serves the page
// on a loopback port, drops the two maps, merges `runs` times (the Merge button) and prints one
// JSON line: the wall times in the page (from posting the job to the worker to having its files
// back), the merge times inside the worker, and the page's message.
// Usage: node web_merge.js PAGE_DIR BASE SECOND RUNS [OUTPUT_CONTAINER] (NODE_PATH: playwright-core)
'use strict';
const path = require('path');
const { chromium } = require('playwright-core');
const { serve } = require('../web/tests/browser.js');

const [pageDir, base, second, runs, container] = process.argv.slice(2);
const server = serve(path.resolve(pageDir));

(async () => {
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  const browser = await chromium.launch({ executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
                                          args: ['--no-sandbox', '--use-angle=swiftshader', '--enable-unsafe-swiftshader'] });
  try {
    const page = await browser.newPage();
    await page.goto(`http://127.0.0.1:${server.address().port}/index.html`);
    await page.waitForSelector('body[data-ready]');
    if (container) await page.selectOption('#container', container);
    // The file inputs take the maps as a drop does, without copying them through the protocol.
    await page.setInputFiles('#file-base', base);
    const settled = async (before) => {
      await page.waitForFunction((n) => Number(document.body.dataset.started || 0) > n &&
                                 document.body.dataset.settled === document.body.dataset.started, before, { timeout: 600000 });
    };
    const started = () => page.evaluate(() => Number(document.body.dataset.started || 0));
    let before = await started();
    await page.setInputFiles('#file-second', second);
    await settled(before);
    for (let i = 1; i < Number(runs); ++i) {
      // The preview of the last result is drawn by the software GPU on the same CPUs: let it end.
      await page.waitForTimeout(1000);
      before = await started();
      await page.click('#merge');
      await settled(before);
    }
    const result = await page.evaluate(() => ({ times: window.bumpweldTimes,
                                                message: document.getElementById('message').textContent }));
    console.log(JSON.stringify(result));
  } finally {
    await browser.close();
    server.close();
  }
})().catch((error) => { console.error(error); process.exit(1); });
