// SPDX-License-Identifier: MIT
// Builds of the page side by side: the same IMAGE opened in each SITE in
// turn, ROUNDS times, in one headless chromium; prints each run's worker
// times (total, waiting for the file, working on it, in milliseconds) and
// each site's medians.  For judging a change to the page on a machine too
// loaded for bench/web.sh's pairs to say much: the sites share the load.
//
//   ROUNDS=7 node web_ab.mjs SITE... IMAGE
// Run from a folder with puppeteer-core in node_modules (copy it into
// build/web-test, as bench/web.sh does with web_bench.mjs).
import puppeteer from 'puppeteer-core';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';

const args = process.argv.slice(2).map((p) => path.resolve(p));
const image = args.pop();
const rounds = Number(process.env.ROUNDS || 7);
const types = { '.html': 'text/html', '.js': 'text/javascript', '.css': 'text/css', '.wasm': 'application/wasm' };
const servers = await Promise.all(args.map(async (site) => {
  const server = http.createServer((req, res) => {
    const name = path.join(site, req.url === '/' ? 'index.html' : path.normalize(req.url).replace(/^\/+/, ''));
    if (!name.startsWith(site) || !fs.existsSync(name)) return res.writeHead(404).end();
    res.writeHead(200, { 'Content-Type': types[path.extname(name)] || 'application/octet-stream' });
    fs.createReadStream(name).pipe(res);
  });
  await new Promise((r) => server.listen(0, '127.0.0.1', r));
  return server;
}));
const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'velkor-ab-'));
const browser = await puppeteer.launch({
  executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
  headless: true,
  protocolTimeout: 600000,
  args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
         '--disable-background-networking', '--disable-component-update', '--disable-sync',
         `--user-data-dir=${profile}`],
});
const times = args.map(() => []);
try {
  const page = await browser.newPage();
  for (let r = 0; r < rounds; r++) {
    for (const [i, server] of servers.entries()) {
      await page.goto(`http://127.0.0.1:${server.address().port}/`, { waitUntil: 'networkidle0' });
      await (await page.$('#file')).uploadFile(image);
      await page.waitForSelector('#result:not([hidden])', { timeout: 600000 });
      const t = await page.$eval('#result', (x) => [x.dataset.ms, x.dataset.waitMs, x.dataset.workMs].map(Number));
      times[i].push(t);
      console.log(`round ${r + 1}, ${args[i]}: ${t.map((v) => v.toFixed(0)).join(' ')}`);
    }
  }
} finally {
  await browser.close();
  servers.forEach((s) => s.close());
  fs.rmSync(profile, { recursive: true, force: true });
}
const median = (a) => { const s = [...a].sort((x, y) => x - y); return s.length % 2 ? s[s.length >> 1] : (s[s.length / 2 - 1] + s[s.length / 2]) / 2; };
for (const [i, site] of args.entries()) {
  const col = (k) => median(times[i].map((t) => t[k])).toFixed(0);
  console.log(`${site}: median ${col(0)} ms, ${col(1)} waiting for the file, ${col(2)} working`);
}
