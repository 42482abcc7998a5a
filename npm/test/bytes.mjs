// SPDX-License-Identifier: MIT
// Bytes the package's tests make: deterministic noise, and pieces joined.

// n bytes of xorshift noise from seed: the same every run.
export function noise(n, seed) {
  const out = new Uint8Array(n);
  let x = seed >>> 0 || 1;
  for (let i = 0; i < n; i++) {
    x ^= x << 13; x >>>= 0; x ^= x >>> 17; x ^= x << 5; x >>>= 0;
    out[i] = x & 0xFF;
  }
  return out;
}

// The pieces, one after another, in a new Uint8Array.
export function cat(...parts) {
  const out = new Uint8Array(parts.reduce((n, p) => n + p.length, 0));
  let at = 0;
  for (const p of parts) {
    out.set(p, at);
    at += p.length;
  }
  return out;
}
