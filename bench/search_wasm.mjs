// SPDX-License-Identifier: MIT
// The scanner's search for starts alone in WebAssembly (Node's V8, as in
// chromium): the portable search and the SIMD128 one over the bytes
// search_time (native) times, the median of RUNS each.
//
//   node bench/search_wasm.mjs SEARCH_WASM [MiB, default 64] [runs, default 7]
import fs from 'node:fs';

const [file, mib = '64', runs = '7'] = process.argv.slice(2);
const module = await WebAssembly.compile(fs.readFileSync(file));
const imports = {};
for (const imp of WebAssembly.Module.imports(module))
  if (imp.kind === 'function') (imports[imp.module] ??= {})[imp.name] = () => 52;
const { exports: ex } = await WebAssembly.instantiate(module, imports);
ex._initialize();
const n = Number(mib) << 20;
const p = ex.sw_alloc(n);
const b = new Uint8Array(ex.memory.buffer, p, n);
// The native program's bytes need not be the same ones, only alike:
// random, and a start every 4 KiB.
let x = 1n;
const words = new BigUint64Array(ex.memory.buffer, p, n / 8);
for (let i = 0; i < words.length; i++) {
  x ^= (x << 13n) & 0xFFFFFFFFFFFFFFFFn; x ^= x >> 7n; x ^= (x << 17n) & 0xFFFFFFFFFFFFFFFFn;
  words[i] = x;
}
for (let i = 0; i + 12 < n; i += 4096) { b[i] = 0x62; b[i + 11] = 0xB1; }
const counts = [];
for (const [which, name] of [[0, 'generic'], [1, 'simd128']]) {
  const ms = [];
  let starts = 0;
  for (let r = 0; r < Number(runs); r++) {
    const t0 = performance.now();
    starts = ex.sw_count(which, p, n);
    ms.push(performance.now() - t0);
  }
  ms.sort((a, c) => a - c);
  const m = ms[ms.length >> 1];
  counts.push(starts);
  console.log(`wasm   ${name.padEnd(8)} ${m.toFixed(2).padStart(8)} ms  ${(Number(mib) * 1000 / m).toFixed(0).padStart(6)} MiB/s  (${starts} starts)`);
}
if (counts[0] !== counts[1]) {
  console.error('the two searches found different starts');
  process.exit(1);
}
