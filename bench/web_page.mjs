// SPDX-License-Identifier: MIT
// What the page's benchmarks share: the site served on this machine only,
// and headless chromium started with a profile of its own.
import puppeteer from 'puppeteer-core';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';

const types = { '.html': 'text/html', '.js': 'text/javascript', '.css': 'text/css', '.wasm': 'application/wasm' };

// The files of SITE over HTTP on 127.0.0.1; resolves to the listening server.
export async function serve(site) {
  const server = http.createServer((req, res) => {
    const name = path.join(site, req.url === '/' ? 'index.html' : path.normalize(req.url).replace(/^\/+/, ''));
    if (!name.startsWith(site) || !fs.existsSync(name)) return res.writeHead(404).end();
    res.writeHead(200, { 'Content-Type': types[path.extname(name)] || 'application/octet-stream' });
    fs.createReadStream(name).pipe(res);
  });
  await new Promise((r) => server.listen(0, '127.0.0.1', r));
  return server;
}

// Headless chromium with a fresh profile; close() ends both.
export async function launch() {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'velkor-bench-'));
  const browser = await puppeteer.launch({
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    headless: true,
    protocolTimeout: 600000,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync',
           `--user-data-dir=${profile}`],
  });
  return {
    browser,
    async close() {
      await browser.close();
      fs.rmSync(profile, { recursive: true, force: true });
    },
  };
}
