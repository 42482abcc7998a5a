// SPDX-License-Identifier: MIT
// The page's scan of IMAGE in headless chromium against `velkor scan` on
// the same file, in turn: RUNS pairs, each the native program's wall time
// and then the worker's time in the page, printed as one line of two
// numbers (milliseconds).  Taking them in turn keeps both under the same
// load on a shared machine.
//
//   node web_bench.mjs SITE_DIR IMAGE RUNS VELKOR
// Run from a folder with puppeteer-core in node_modules (bench/web.sh).
import puppeteer from 'puppeteer-core';
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';

const [site, image] = process.argv.slice(2, 4).map((p) => path.resolve(p));
const runs = Number(process.argv[4] || 3);
const velkor = path.resolve(process.argv[5]);
const types = { '.html': 'text/html', '.js': 'text/javascript', '.css': 'text/css', '.wasm': 'application/wasm' };
const server = http.createServer((req, res) => {
  const name = path.join(site, req.url === '/' ? 'index.html' : path.normalize(req.url).replace(/^\/+/, ''));
  if (!name.startsWith(site) || !fs.existsSync(name)) return res.writeHead(404).end();
  res.writeHead(200, { 'Content-Type': types[path.extname(name)] || 'application/octet-stream' });
  fs.createReadStream(name).pipe(res);
});
await new Promise((r) => server.listen(0, '127.0.0.1', r));
const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'velkor-bench-'));
const browser = await puppeteer.launch({
  executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
  headless: true,
  protocolTimeout: 600000,
  args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
         '--disable-background-networking', '--disable-component-update', '--disable-sync',
         `--user-data-dir=${profile}`],
});
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
                  `${Number(wait).toFixed(0)} waiting for the file, ${Number(work).toFixed(0)} in the library`);
    const kind = await page.$eval('#result h2', (h) => h.textContent);
    if (kind !== 'Scan') throw new Error(`the page showed "${kind}", not a scan`);
    console.log(`${nativeMs.toFixed(1)} ${Number(ms).toFixed(1)} ${Number(wait).toFixed(1)} ${Number(work).toFixed(1)}`);
  }
} finally {
  await browser.close();
  server.close();
  fs.rmSync(profile, { recursive: true, force: true });
}
