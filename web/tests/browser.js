// What the browser tests share: their set-up, the reasons they skip, the built page served on a
// loopback port and opened in headless Chromium through playwright-core, and the page's actions
// as a user takes them (drop a file, change a control, wait for the merge, download the result).
'use strict';
const fs = require('fs');
const http = require('http');
const path = require('path');
const { execFileSync, spawnSync } = require('child_process');

// The test's arguments (PAGE_DIR, BUMPWELD, BUMPWELD_SAMPLES, OUT_DIR), OUT_DIR emptied and given
// the sample maps, and the command line run there: native(args, output) gives its status,
// console text and, when it succeeded, the bytes of `output` (added to args; else their last).
function setUp() {
  const [pageDir, bumpweld, samples, outDir] = process.argv.slice(2).map((arg) => path.resolve(arg));
  fs.rmSync(outDir, { recursive: true, force: true });
  fs.mkdirSync(outDir, { recursive: true });
  execFileSync(samples, [outDir]);
  const read = (name) => fs.readFileSync(path.join(outDir, name));
  const native = (args, output) => {
    const words = output ? args.concat(output) : args;
    const run = spawnSync(bumpweld, words, { cwd: outDir, encoding: 'latin1' });
    return { status: run.status, text: run.stdout + run.stderr, bytes: run.status === 0 ? read(words[words.length - 1]) : null };
  };
  return { pageDir, outDir, read, native };
}

const skip = (reason) => { console.log('SKIP: ' + reason); process.exit(77); };

const TYPES = { '.html': 'text/html', '.js': 'text/javascript', '.wasm': 'application/wasm', '.json': 'application/json' };

// A server of the files under the absolute path pageDir (for the tests and bench/web_merge.js).
function serve(pageDir) {
  return http.createServer((request, response) => {
    const file = path.join(pageDir, decodeURIComponent(new URL(request.url, 'http://x').pathname));
    if (!file.startsWith(pageDir) || !fs.existsSync(file) || fs.statSync(file).isDirectory()) {
      if (file === pageDir + '/') return response.writeHead(302, { location: '/index.html' }).end();
      return response.writeHead(404).end();
    }
    response.writeHead(200, { 'content-type': TYPES[path.extname(file)] || 'application/octet-stream' });
    fs.createReadStream(file).pipe(response);
  });
}

// The page of PAGE_DIR open in headless Chromium (CHROMIUM names it; default /usr/bin/chromium),
// its first merge settled; exits 77 when the page, Chromium or playwright-core is missing.
// Gives { page, problems (the page's uncaught errors), close() }.
async function openPage(pageDir) {
  if (process.env.BUMPWELD_WEB_SKIP) skip(process.env.BUMPWELD_WEB_SKIP);
  if (!fs.existsSync(path.join(pageDir, 'index.html'))) skip('the page was not built: no ' + pageDir);
  const chromiumPath = process.env.CHROMIUM || '/usr/bin/chromium';
  if (!fs.existsSync(chromiumPath)) skip('no Chromium at ' + chromiumPath + ' (Debian package chromium)');
  let chromium;
  try {
    ({ chromium } = require('playwright-core'));
  } catch (error) {
    skip('the npm package playwright-core is not installed (npm ci in the build)');
  }
  const server = serve(pageDir);
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  const browser = await chromium.launch({ executablePath: chromiumPath, headless: true,
                                          args: ['--no-sandbox', '--use-angle=swiftshader', '--enable-unsafe-swiftshader'] });
  const close = async () => { await browser.close(); server.close(); };
  try {
    const page = await browser.newPage({ acceptDownloads: true, viewport: { width: 1200, height: 900 } });
    const problems = [];
    page.on('pageerror', (error) => problems.push(error.message));
    await page.goto(`http://127.0.0.1:${server.address().port}/index.html`);
    await page.waitForSelector('body[data-ready]');
    return { page, problems, close };
  } catch (error) {
    await close();
    throw error;
  }
}

// What a user does on the page, each step waiting for the merge (or view) it starts to settle:
// { failed, message } then.
function actions(page) {
  const started = () => page.evaluate(() => Number(document.body.dataset.started || 0));
  const done = async (before) => {
    await page.waitForFunction((n) => Number(document.body.dataset.started || 0) > n &&
                               document.body.dataset.settled === document.body.dataset.started, before, { timeout: 60000 });
    return page.evaluate(() => ({ failed: document.body.dataset.failed === document.body.dataset.started,
                                  message: document.getElementById('message').textContent }));
  };
  // Drops a file named `name` holding `bytes` on the zone of `role` (base, second, mask, view).
  const drop = async (role, name, bytes, merges = true) => {
    const before = await started();
    await page.evaluate(({ role, name, data }) => {
      const transfer = new DataTransfer();
      transfer.items.add(new File([Uint8Array.from(atob(data), (c) => c.charCodeAt(0))], name));
      document.getElementById('drop-' + role).dispatchEvent(new DragEvent('drop', { dataTransfer: transfer, bubbles: true, cancelable: true }));
    }, { role, name, data: Buffer.from(bytes).toString('base64') });
    return merges ? done(before) : null;
  };
  const setControl = async (id, value) => {
    const before = await started();
    await page.evaluate(({ id, value }) => {
      const element = document.getElementById(id);
      if (element.type === 'checkbox') element.checked = value; else element.value = value;
      element.dispatchEvent(new Event('change'));
    }, { id, value });
    return done(before);
  };
  const download = async () => {
    const [file] = await Promise.all([page.waitForEvent('download'), page.click('#downloads a')]);
    return fs.readFileSync(await file.path());
  };
  return { started, done, drop, setControl, download };
}

module.exports = { setUp, skip, serve, openPage, actions };
