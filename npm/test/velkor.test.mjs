// SPDX-License-Identifier: MIT
// The package against the library's known answers (tests/known_answers.h,
// built into known_answers.wasm beside this file), its refusals, and its
// streaming paths against its whole-buffer ones.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import { Readable } from 'node:stream';
import test from 'node:test';
import * as velkor from 'velkor';
import { cat, noise } from './bytes.mjs';

const ka = await (async () => {
  const module = await WebAssembly.compile(fs.readFileSync(new URL('known_answers.wasm', import.meta.url)));
  const imports = {};
  for (const imp of WebAssembly.Module.imports(module))
    if (imp.kind === 'function') (imports[imp.module] ??= {})[imp.name] = () => 52;
  const { exports: ex } = await WebAssembly.instantiate(module, imports);
  ex._initialize();
  const cap = 1 << 16;
  const out = ex.ka_alloc(cap);
  const n = ex.ka_json(out, cap);
  const json = JSON.parse(new TextDecoder().decode(new Uint8Array(ex.memory.buffer, out, n)));
  json.pattern = (len, seed) => {
    const p = ex.ka_alloc(len || 1);
    ex.ka_pattern(p, 0, len, seed);
    return new Uint8Array(ex.memory.buffer, p, len).slice();
  };
  return json;
})();

const fromHex = (h) => Uint8Array.from(h.match(/../g) ?? [], (x) => parseInt(x, 16));
const toHex = (b) => Buffer.from(b).toString('hex');

test('checksums: the known answers, whole and in pieces', () => {
  for (const c of ka.crcTexts) {
    const text = fromHex(c.text);
    const data = cat(...Array(c.repeat).fill(text));
    assert.equal(velkor.crc(data), c.crc, `crc of ${c.repeat} x "${Buffer.from(text)}"`);
  }
  for (const c of ka.csumTexts)
    assert.equal(velkor.csum(c.initial, fromHex(c.text)), c.csum, `csum from ${c.initial} of ${c.text}`);
  for (const c of ka.checksums) {
    const one = ka.pattern(c.len, 1);
    assert.equal(velkor.crc(one), c.crc, `crc of pattern(${c.len}, 1)`);
    assert.equal(velkor.csum(0x12345678, ka.pattern(c.len, 2)), c.csum, `csum of pattern(${c.len}, 2)`);
    // Pieces that do not fall on any block's boundary.
    const crc = new velkor.Crc();
    for (let at = 0, step = 1; at < one.length; at += step, step = step * 3 + 1)
      crc.update(one.subarray(at, Math.min(at + step, one.length)));
    assert.equal(crc.value, c.crc, `crc of pattern(${c.len}, 1) in pieces`);
    crc.close();
  }
  // Buffers, ArrayBuffers and other views are bytes too.
  const abc = Buffer.from('abc');
  assert.equal(velkor.crc(abc.buffer.slice(abc.byteOffset, abc.byteOffset + 3)), 0x48AA78A2);
  assert.equal(velkor.crc(new DataView(Uint8Array.from(abc).buffer)), 0x48AA78A2);
  assert.throws(() => velkor.crc('abc'), TypeError);
  assert.throws(() => velkor.csum(-1, abc), RangeError);
});

test('tag and check: the known answers', () => {
  assert.equal(toHex(velkor.tag(Buffer.from('abc'))), ka.taggedAbc);
  assert.equal(toHex(velkor.tag(new Uint8Array(0))), ka.taggedEmpty);
  const p = ka.taggedPattern;
  const tagged = velkor.tag(ka.pattern(p.len, p.seed));
  assert.equal(toHex(tagged.subarray(0, 20)), p.header);
  assert.deepEqual(tagged.subarray(20), ka.pattern(p.len, p.seed));
  assert.deepEqual(velkor.check(fromHex(ka.taggedAbc)),
                   { ok: true, reason: null, length: 23, storedCrc: ka.taggedAbcCrc, computedCrc: ka.taggedAbcCrc });
  assert.equal(velkor.check(tagged).ok, true);
});

test('check: every flipped bit of a tagged file fails it, and says why', () => {
  const good = fromHex(ka.taggedAbc);
  const crc = ka.taggedAbcCrc.toString(16).padStart(8, '0');
  for (let bit = 0; bit < good.length * 8; bit++) {
    const bad = Uint8Array.from(good);
    bad[bit >> 3] ^= 1 << (bit & 7);
    const r = velkor.check(bad);
    assert.equal(r.ok, false, `bit ${bit} flipped`);
    const byte = bit >> 3;
    const why = byte < 3 ? /^not a tagged file$/
      : byte < 11 || byte >= 16 ? /^CRC mismatch: stored 0x[0-9a-f]{8}, computed 0x[0-9a-f]{8}$/
      : byte === 11 ? /^wrong format byte 0x[0-9a-f]{2}, expected 0xb1$/
      : /^length field says \d+ but the file has 23 bytes$/;
    assert.match(r.reason, why, `bit ${bit} flipped`);
    if (byte >= 20) assert.equal(r.reason, `CRC mismatch: stored 0x${crc}, computed 0x${r.computedCrc.toString(16).padStart(8, '0')}`);
  }
  assert.deepEqual(velkor.check(good.subarray(0, 7)),
                   { ok: false, reason: 'not a tagged file: 7 bytes, shorter than the 20-byte header', length: 7,
                     storedCrc: null, computedCrc: null });
  assert.deepEqual(velkor.check(good.subarray(0, 22)),
                   { ok: false, reason: 'length field says 23 but the file has 22 bytes', length: 22,
                     storedCrc: ka.taggedAbcCrc, computedCrc: null });
});

const text = (h) => Buffer.from(fromHex(h)).toString('latin1');
test('pack and unpack: the known containers, both ways', () => {
  for (const c of ka.containers) {
    const payload = ka.pattern(c.len, c.seed);
    const key = fromHex(c.key), label = fromHex(c.label), sublabel = fromHex(c.sublabel);
    const options = { key, label, sublabel, magic: c.magic, prefix: c.prefix, dataSized: c.dataSized };
    const made = velkor.pack(payload, options);
    assert.equal(toHex(made), c.hex, `pack: the ${c.magic} container with the label "${text(c.label)}"`);
    const u = velkor.unpack(fromHex(c.hex), { key, dataSized: c.dataSized });
    assert.deepEqual(u.payload, payload);
    assert.deepEqual([u.label, u.sublabel, u.magic], [text(c.label), text(c.sublabel), c.magic]);
    assert.deepEqual([u.labelBytes, u.sublabelBytes], [label, sublabel]);
  }
  // Strings are UTF-8; bytes that are not UTF-8 are kept exactly.
  const odd = Uint8Array.of(0x61, 0xFF, 0x62);
  const u = velkor.unpack(velkor.pack(Buffer.from('x'), { key: 'schlüssel', label: odd, sublabel: 'é' }), { key: 'schlüssel' });
  assert.deepEqual([u.label, u.labelBytes, u.sublabel], ['a\uFFFDb', odd, 'é']);
});

test('pack: the RC4 keystream of RFC 6229 comes out of a container', () => {
  // The label is keyed with the prefix and the key; the payload with the
  // first enciphered sublabel byte and the key.  A sublabel chosen so that
  // this byte is the RFC's first key byte makes the payload's keystream
  // the RFC's.
  const rfc = fromHex(ka.rfc6229.key);
  const key = rfc.subarray(1);
  const probe = velkor.pack(new Uint8Array(0), { key, label: 'L', sublabel: 'x' });
  const sublabelAt = 6 + 1 + 4 + 2 + 4; // magic, prefix, L1, label "L" and NUL, L2
  const first = probe[sublabelAt] ^ 0x78 ^ rfc[0];
  assert.notEqual(first, 0, 'a usable sublabel byte');
  const zeros = new Uint8Array(4096 + 16);
  const box = velkor.pack(zeros, { key, label: 'L', sublabel: Uint8Array.of(first) });
  assert.equal(box[sublabelAt], rfc[0]);
  const stream = box.subarray(sublabelAt + 2 + 4, sublabelAt + 2 + 4 + zeros.length);
  for (const s of ka.rfc6229.stream) assert.equal(toHex(stream.subarray(s.offset, s.offset + 16)), s.hex, `offset ${s.offset}`);
  assert.deepEqual(velkor.unpack(box, { key }).payload, zeros);
});

test('unpack: refusals throw an Error with the reason', () => {
  const payload = noise(5000, 7);
  const box = velkor.pack(payload, { key: 'right', label: 'lbl', sublabel: 's' });
  const sized = velkor.pack(payload, { key: 'right', label: 'lbl', dataSized: true });
  const cases = [
    // The texts show a wrong key before the payload's checksum, mostly.
    ['a wrong key', box, { key: 'wrong' }, /wrong key|checksum/i],
    ['no key of several', box, { key: ['wrong', 'worse'] }, /wrong key|checksum/i],
    ['the wrong table setting', sized, { key: 'right' }, /wrong table setting|checksum/i],
    ['a flipped payload bit', Uint8Array.from(box, (b, i) => (i === 100 ? b ^ 4 : b)), { key: 'right' }, /checksum/i],
    ['cut off', box.subarray(0, box.length - 1), { key: 'right' }, /past the end|end of/i],
    ['not a container', noise(100, 3), { key: 'right' }, /not a container|magic/i],
  ];
  for (const [what, bytes, options, reason] of cases) {
    assert.throws(() => velkor.unpack(bytes, options), (e) => e instanceof Error && reason.test(e.message), what);
  }
  assert.deepEqual(velkor.unpack(sized, { key: 'right', dataSized: true }).payload, payload);
  // Several keys: the first that opens it, and its number.
  for (const [keys, number] of [[['right'], 1], [['wrong', 'right'], 2], [['wrong', '', 'right', 'right'], 3]]) {
    const u = velkor.unpack(box, { key: keys });
    assert.deepEqual([u.payload, u.label, u.key], [payload, 'lbl', number], keys.join(' '));
  }
  // A damaged payload under the right key says so, whatever keys come
  // before: the checksum, not a key's texts.
  const damaged = Uint8Array.from(box, (b, i) => (i === 100 ? b ^ 4 : b));
  assert.throws(() => velkor.unpack(damaged, { key: ['wrong', 'right'] }), /checksum mismatch/);
  assert.throws(() => velkor.unpack(box, { key: [] }), TypeError);
  assert.throws(() => velkor.unpack(box, { key: ['right', null] }), TypeError);
  assert.throws(() => velkor.unpack(box, { key: Array(65).fill('right') }), RangeError);
  assert.throws(() => velkor.unpack(box, {}), TypeError);
  assert.throws(() => velkor.pack(payload, { key: 'k', label: 'x'.repeat(32) }), RangeError);
  assert.throws(() => velkor.pack(payload, { key: 'k', label: 'l', sublabel: 'x'.repeat(8) }), RangeError);
  assert.throws(() => velkor.pack(payload, { key: 'k'.repeat(255), label: 'l' }), RangeError);
  assert.throws(() => velkor.pack(payload, { key: 'k', label: 'l', magic: 'other' }), RangeError);
});

// An image with finds of every kind: verified, nested, damaged, a
// container for the key, one cut off by the image's end.
function planted() {
  const small = velkor.tag(noise(3000, 1));
  const box = velkor.pack(noise(20000, 2), { key: 'k1', label: 'box', sublabel: 'sub' });
  const holds = velkor.tag(cat(noise(700, 3), small, noise(500, 4)));
  const broken = Uint8Array.from(small);
  broken[1000] ^= 1;
  const cut = velkor.tag(noise(9000, 5)).subarray(0, 4000);
  return cat(noise(100000, 6), holds, noise(5000, 7), box, noise(77777, 8), broken, noise(4000, 9), cut);
}

test('scan: kinds, verdicts, nesting and labels', () => {
  const image = planted();
  const finds = velkor.scan(image, { key: 'k1' });
  assert.deepEqual(finds.map((f) => [f.kind, f.verified, f.reason, f.inside !== null]), [
    ['tagged', true, null, false], ['tagged', true, null, true], ['container', true, null, false],
    ['tagged', false, 'CRC mismatch', false], ['tagged', false, 'truncated', false],
  ]);
  assert.equal(finds[1].inside, finds[0].offset);
  assert.deepEqual([finds[2].label, finds[2].labelHex, finds[2].sublabel, finds[2].magic],
                   ['box', '626f78', 'sub', 'start']);
  assert.deepEqual(finds.summary, { bytes: image.length, finds: 5, verified: 3, dropped: 0, passes: 1, complete: true,
                                    stopped: null });
  const nokey = velkor.scan(image);
  assert.equal(nokey[2].reason, 'no key');
  assert.equal('label' in nokey[2], false);
  assert.equal(velkor.scan(image, { key: 'wrong' })[2].reason, 'wrong key or damaged');
  assert.throws(() => velkor.scan(image, { key: '' }), RangeError);
});

// Chunks of the image in pieces of the sizes given, over and over.
function* pieces(image, sizes) {
  for (let at = 0, i = 0; at < image.length; at += sizes[i++ % sizes.length])
    yield image.subarray(at, at + sizes[i % sizes.length]);
}

test('scanStream: the same finds as scan, from every kind of source', async () => {
  const image = planted();
  const want = velkor.scan(image, { key: 'k1' });
  const sources = {
    'a Node stream': () => Readable.from(pieces(image, [65536])),
    'a web ReadableStream': () => ReadableStream.from(pieces(image, [1000, 7, 333333])),
    'an async generator': () => (async function* () { yield* pieces(image, [1, 58, 59, 4096]); })(),
    'an array of ArrayBuffers': () => [...pieces(image, [12345])].map((p) => p.slice().buffer),
  };
  for (const [what, source] of Object.entries(sources)) {
    const s = velkor.scanStream(source(), { key: 'k1' });
    const got = [];
    for await (const f of s) got.push(f);
    assert.deepEqual(got, [...want], what);
    assert.deepEqual(s.summary, want.summary, what);
  }
  await assert.rejects(async () => { for await (const f of velkor.scanStream(['text'])) void f; }, TypeError);
});

test('a stream cannot be read again: dropped candidates are counted, and the scan is incomplete', async () => {
  // 300 tagged headers back to back, each claiming the rest of the image:
  // all pending at once, more than a small memory limit holds.
  const head = velkor.tag(noise(10, 1)).subarray(0, 20);
  const n = 300, size = n * 20 + 100000;
  const image = new Uint8Array(size);
  for (let i = 0; i < n; i++) {
    image.set(head, i * 20);
    new DataView(image.buffer).setUint32(i * 20 + 12, size - i * 20);
  }
  image.set(noise(100000, 2), n * 20);
  const s = velkor.scanStream([image], { memoryLimit: 4096 });
  const streamed = [];
  for await (const f of s) streamed.push(f);
  assert.ok(s.summary.dropped > 0 && s.summary.complete === false && s.summary.stopped === 'dropped',
            JSON.stringify(s.summary));
  assert.equal(streamed.length + s.summary.dropped, n);
  // Bytes in memory are read again instead: nothing is lost.
  const all = velkor.scan(image, { memoryLimit: 4096 });
  assert.equal(all.length, n);
  assert.ok(all.summary.passes > 1 && all.summary.complete, JSON.stringify(all.summary));
  // What the stream kept is what scan found at those offsets.
  const byOffset = new Map(all.map((f) => [f.offset, f]));
  for (const f of streamed) assert.deepEqual(f, byOffset.get(f.offset));
});

test('texts by the command\'s rules', () => {
  assert.equal(velkor.plainText(Uint8Array.of(0x61, 0xFF, 0x1B, 0x5C)), 'a\\xff\\x1b\\\\');
  assert.equal(velkor.jsonString(Uint8Array.of(0x61, 0xFF, 0x22, 0x0A)), '"a\uFFFD\\"\\n"');
});

test('running out of memory throws, and the next call starts afresh', async () => {
  // A data-sized container claiming a payload of 4 GiB less 1 MiB: its
  // table is keyed when found, and cannot be had in a 32-bit module, so
  // the allocation fails at once (nothing is touched) and stops the module.
  const box = velkor.pack(new Uint8Array(100), { key: 'k', label: 'l', dataSized: true });
  const h = box.length - 100 - 4;
  const huge = box.slice(0, h + 1000);
  new DataView(huge.buffer).setUint32(h - 4, 0xFFF00000);
  const before = new velkor.Scanner();
  await assert.rejects(async () => {
    for await (const f of velkor.scanStream([huge], { key: 'k', dataSized: true, memoryLimit: 2 ** 32 })) void f;
  }, /ran out of memory/);
  assert.throws(() => before.feed(new Uint8Array(10)), /stopped during an earlier call/);
  assert.equal(velkor.crc(Buffer.from('abc')), 0x48AA78A2);
  assert.equal(velkor.scan(box, { key: 'k', dataSized: true })[0].verified, true);
});
