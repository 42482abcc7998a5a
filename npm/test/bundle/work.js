// SPDX-License-Identifier: MIT
// The work the bundled page does, shared with the test that runs the same
// in Node: the two results must be equal.
function noise(n, seed) {
  const out = new Uint8Array(n);
  let x = seed;
  for (let i = 0; i < n; i++) {
    x ^= x << 13; x >>>= 0; x ^= x >>> 17; x ^= x << 5; x >>>= 0;
    out[i] = x & 0xFF;
  }
  return out;
}

export async function work(v, streamOf) {
  const tagged = v.tag(noise(50000, 1));
  const damaged = tagged.slice();
  damaged[30000] ^= 8;
  const box = v.pack(noise(7000, 2), { key: 'k', label: 'in the page', sublabel: 'b' });
  const image = new Uint8Array(400000);
  image.set(noise(image.length, 3));
  image.set(tagged, 1000);
  image.set(box, 100000);
  image.set(damaged, 200000);
  const streamed = [];
  const s = v.scanStream(streamOf(image), { key: 'k' });
  for await (const f of s) streamed.push(f);
  return {
    check: v.check(tagged),
    damaged: v.check(damaged),
    scan: [...v.scan(image, { key: 'k' })],
    streamed,
    summary: s.summary,
  };
}
