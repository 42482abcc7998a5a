// SPDX-License-Identifier: MIT
// The page's scan of IMAGE in headless chromium against `velkor scan` on
// the same file, in turn: RUNS pairs, each the native program's wall time
// and then the worker's time in the page, printed as one line of two
// numbers (milliseconds).  Taking them in turn keeps both under the same
// load on a shared machine.
//
//   node web_bench.mjs SITE_DIR IMAGE RUNS VELKOR
// Run from a folder with puppeteer-core in node_modules (bench/web.sh).
import { spawnSync } from 'node:child_process';
import path from 'node:path';
import { launch, serve } from './web_page.mjs';

const [site, image] = process.argv.slice(2, 4).map((p) => path.resolve(p));
const runs = Number(process.argv[4] || 3);
const velkor = path.resolve(process.argv[5]);
const server = await serve(site);
const chromium = await launch();
const browser = chromium.browser;
try {
  const page = await browser.newPage();
  for (let i = 0; i < runs; i++) {
    const t0 = process.hrtime.bigint();
    const native = spawnSync(velkor, ['scan', image], { stdio: ['ignore', 'ignore', 'inherit'] });
    const nativeMs = Number(process.hrtime.bigint() - t0) / 1e6;
    if (native.status !== 0) throw new Error(`velkor scan ended with status ${native.status}`);
    await page.goto(`http://127.0.0.1:${server.address().port}/`, { waitUntil: 'networkidle0' });
    const input = await page.$('#file');
    await input.uploadFile(image);
    await page.waitForSelector('#result:not([hidden])', { timeout: 600000 });
    const [ms, wait, work] = await page.$eval('#result', (r) => [r.dataset.ms, r.dataset.waitMs, r.dataset.workMs]);
    console.error(`run ${i + 1}: velkor scan ${nativeMs.toFixed(0)} ms; page ${Number(ms).toFixed(0)} ms, ` +
                  `${Number(wait).toFixed(0)} waiting for the file, ${Number(work).toFixed(0)} working on it`);
    const kind = await page.$eval('#result h2', (h) => h.textContent);
    if (kind !== 'Scan') throw new Error(`the page showed "${kind}", not a scan`);
    console.log(`${nativeMs.toFixed(1)} ${Number(ms).toFixed(1)} ${Number(wait).toFixed(1)} ${Number(work).toFixed(1)}`);
  }
} finally {
  await chromium.close();
  server.close();
}
