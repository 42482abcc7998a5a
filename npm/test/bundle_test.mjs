// SPDX-License-Identifier: MIT
// The package as a browser page uses it through a bundler: esbuild bundles
// bundle/entry.js (which imports "velkor" from CONSUMER's node_modules)
// into OUT, the package's .wasm is copied beside the bundle, and headless
// chromium loads the page under a content security policy as strict as
// the project's page.  What the page computes must equal what the same
// work gives in Node.
//
//   node bundle_test.mjs CONSUMER OUT   (run from beside esbuild and puppeteer-core)
import * as esbuild from 'esbuild';
import puppeteer from 'puppeteer-core';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import { Readable } from 'node:stream';
import { pathToFileURL } from 'node:url';

const [consumer, out] = process.argv.slice(2).map((p) => path.resolve(p));
const src = path.join(consumer, 'test', 'bundle');
fs.rmSync(out, { recursive: true, force: true });
fs.mkdirSync(out, { recursive: true });
await esbuild.build({
  entryPoints: [path.join(src, 'entry.js')], bundle: true, format: 'esm', platform: 'browser',
  target: 'es2022', outfile: path.join(out, 'bundle.js'), logLevel: 'warning',
});
const pkg = path.join(consumer, 'node_modules', 'velkor');
fs.copyFileSync(path.join(pkg, 'velkor.wasm'), path.join(out, 'velkor.wasm'));
fs.copyFileSync(path.join(src, 'index.html'), path.join(out, 'index.html'));
const bundle = fs.readFileSync(path.join(out, 'bundle.js'), 'utf8');
assert.ok(!/node:fs|readFile/.test(bundle), 'the browser bundle holds nothing of Node');

const types = { '.html': 'text/html', '.js': 'text/javascript', '.wasm': 'application/wasm' };
const requests = [];
const server = http.createServer((req, res) => {
  requests.push(req.url);
  const name = path.join(out, path.normalize(decodeURIComponent(req.url)).replace(/^\/+/, '') || 'index.html');
  if (!name.startsWith(out) || !fs.existsSync(name) || fs.statSync(name).isDirectory()) return res.writeHead(404).end();
  res.writeHead(200, { 'Content-Type': types[path.extname(name)] || 'application/octet-stream' });
  fs.createReadStream(name).pipe(res);
});
await new Promise((r) => server.listen(0, '127.0.0.1', r));
const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'velkor-bundle-'));
const browser = await puppeteer.launch({
  executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
  headless: true,
  args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
         '--disable-background-networking', '--disable-component-update', '--disable-sync',
         `--user-data-dir=${profile}`],
});
let failed = 0;
try {
  const page = await browser.newPage();
  const errors = [];
  page.on('pageerror', (e) => errors.push(String(e)));
  page.on('console', (m) => { if (m.type() === 'error') errors.push(m.text()); });
  await page.goto(`http://127.0.0.1:${server.address().port}/`);
  await page.waitForSelector('#result[data-done]', { timeout: 120000 });
  const got = JSON.parse(await page.$eval('#result', (r) => r.textContent));
  assert.equal(got.error, undefined, got.error);

  const v = await import(pathToFileURL(path.join(pkg, 'velkor-node.js')));
  const { work } = await import(pathToFileURL(path.join(src, 'work.js')));
  const want = JSON.parse(JSON.stringify(await work(v, (b) => Readable.from([b]))));
  const checks = [
    ['the page checks a sound tagged file', got.check.ok === true, got.check],
    ['the page finds a damaged one damaged', /^CRC mismatch/.test(got.damaged.reason), got.damaged],
    ['the page scans: a tagged file, a container opened with the key, a damaged file',
     JSON.stringify(got.scan.map((f) => [f.offset, f.kind, f.verified])) ===
       JSON.stringify([[1000, 'tagged', true], [100000, 'container', true], [200000, 'tagged', false]]), got.scan],
    ['the page scans a Blob\'s stream with the same finds', JSON.stringify(got.streamed) === JSON.stringify(got.scan), got.streamed],
    ['the page computes what Node computes', JSON.stringify(got) === JSON.stringify(want), ''],
    ['the page fetched only its own files', requests.every((u) => ['/', '/bundle.js', '/velkor.wasm', '/favicon.ico'].includes(u)), requests],
    ['no errors on the page', errors.length === 0, errors],
  ];
  for (const [what, ok, detail] of checks) {
    if (!ok) failed++;
    console.log(`${ok ? 'ok' : 'FAILED'}: ${what}${ok ? '' : `\n    ${JSON.stringify(detail).slice(0, 2000)}`}`);
  }
} finally {
  await browser.close();
  server.close();
  fs.rmSync(profile, { recursive: true, force: true });
}
process.exit(failed === 0 ? 0 : 1);
