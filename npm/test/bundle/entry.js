// SPDX-License-Identifier: MIT
// A browser page that uses the package through a bundler (esbuild): it
// tags, checks and scans bytes it makes, and scans a Blob's stream, then
// shows what it got as JSON for the test to read.
import { check, pack, scan, scanStream, tag } from 'velkor';
import { work } from './work.js';

const out = document.getElementById('result');
try {
  out.textContent = JSON.stringify(await work({ check, pack, scan, scanStream, tag }, (b) => new Blob([b]).stream()));
} catch (e) {
  out.textContent = JSON.stringify({ error: String(e && e.stack ? e.stack : e) });
}
out.dataset.done = '1';
