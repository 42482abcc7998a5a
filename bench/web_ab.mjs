// SPDX-License-Identifier: MIT
// Builds of the page side by side: the same IMAGE opened in each SITE in
// turn, ROUNDS times, in one headless chromium; prints each run's worker
// times (total, waiting for the file, working on it, in milliseconds) and
// each site's medians.  For judging a change to the page on a machine too
// loaded for bench/web.sh's pairs to say much: the sites share the load.
//
//   ROUNDS=7 node web_ab.mjs SITE... IMAGE
// Run from a folder with puppeteer-core in node_modules: copy it and
// web_page.mjs into build/web-test, as bench/web.sh does with web_bench.mjs.
import path from 'node:path';
import { launch, serve } from './web_page.mjs';

const args = process.argv.slice(2).map((p) => path.resolve(p));
const image = args.pop();
const rounds = Number(process.env.ROUNDS || 7);
const servers = await Promise.all(args.map(serve));
const chromium = await launch();
const browser = chromium.browser;
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
  await chromium.close();
  servers.forEach((s) => s.close());
}
const median = (a) => { const s = [...a].sort((x, y) => x - y); return s.length % 2 ? s[s.length >> 1] : (s[s.length / 2 - 1] + s[s.length / 2]) / 2; };
for (const [i, site] of args.entries()) {
  const col = (k) => median(times[i].map((t) => t[k])).toFixed(0);
  console.log(`${site}: median ${col(0)} ms, ${col(1)} waiting for the file, ${col(2)} working`);
}
