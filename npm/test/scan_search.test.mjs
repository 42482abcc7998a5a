// SPDX-License-Identifier: MIT
// The scanner's SIMD128 search for starts (lib/scan_search.h) against the
// plain rule, in the module bench/search_time.cpp builds for WebAssembly
// (VELKOR_SEARCH_WASM): starts planted around the edges of its 16- and
// 64-byte steps, ranges that begin and end anywhere, batches of any size.
// The portable search is held to the same rule, as the reference.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import test from 'node:test';

const file = process.env.VELKOR_SEARCH_WASM;

test('the SIMD128 search finds every start the plain rule finds, and no other', { skip: file ? false : 'VELKOR_SEARCH_WASM is not set' }, async () => {
  const module = await WebAssembly.compile(fs.readFileSync(file));
  const imports = {};
  for (const imp of WebAssembly.Module.imports(module))
    if (imp.kind === 'function') (imports[imp.module] ??= {})[imp.name] = () => 52;
  const { exports: ex } = await WebAssembly.instantiate(module, imports);
  ex._initialize();
  const SIZE = 400;
  const p = ex.sw_alloc(SIZE), out = ex.sw_alloc(8 * 4);
  let seed = 5;
  const rand = () => { seed ^= seed << 13; seed >>>= 0; seed ^= seed >>> 17; seed ^= seed << 5; seed >>>= 0; return seed; };
  for (let round = 0; round < 4000; round++) {
    const b = new Uint8Array(ex.memory.buffer, p, SIZE);
    for (let i = 0; i < SIZE; i++) b[i] = rand() & 0xFF;
    // Starts, real and half-made (the first byte alone, or the second).
    for (let k = rand() % 16; k > 0; k--) {
      const at = rand() % (SIZE - 20);
      switch (rand() % 6) {
      case 0: b[at] = 0x62; b[at + 11] = 0xB1; break;
      case 1: b[at] = 0x73; b[at + 4] = 0x74; break;
      case 2: b[at] = 0x61; b[at + 4] = 0x31; break;
      case 3: b[at] = 0x62; b[at + 4] = 0x74; break;
      case 4: b[at] = 0x73; b[at + 11] = 0xB1; break;
      default: b[at + 4] = 0x31; break;
      }
    }
    const readable = 250 + rand() % (SIZE - 250 + 1);
    const to = rand() % (readable - 11 + 1);
    const from = rand() % (to + 1);
    const max = 1 + rand() % 4;
    const want = [];
    for (let i = from; i < to; i++)
      if ((b[i] === 0x62 && b[i + 11] === 0xB1) || (b[i] === 0x73 && b[i + 4] === 0x74) || (b[i] === 0x61 && b[i + 4] === 0x31))
        want.push(i);
    for (const which of [0, 1]) {
      const got = [];
      let at = from, m;
      do {
        m = ex.sw_find(which, p, at, to, readable, out, max);
        const o = new Uint32Array(ex.memory.buffer, out, m);
        got.push(...o);
        if (m > 0) at = o[m - 1] + 1;
      } while (m === max);
      assert.deepEqual(got, want, `${which ? 'simd128' : 'portable'}: from ${from} to ${to}, readable ${readable}, max ${max}`);
    }
  }
});
