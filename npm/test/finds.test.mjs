// SPDX-License-Identifier: MIT
// What a scan tells beyond one key and one level: several keys and their
// numbers, the finds inside opened containers' payloads, a damaged
// container's texts, finds left unchecked at a bound, and the findings as
// JSON lines and CSV.  Expectations are built here from the images the
// tests make; agree.test.mjs holds the same against the command.
import assert from 'node:assert/strict';
import test from 'node:test';
import * as velkor from 'velkor';
import { cat, noise } from './bytes.mjs';

// The finds as plain records, for comparing lists at a glance.
const brief = (finds) => finds.map((f) => [f.kind, f.offset, f.payloadOf, f.verified, f.key ?? null]);

// An RFC 4180 reader: CRLF rows, "" inside quotes.
function csvRows(text) {
  const rows = [];
  let row = [], cell = '', quoted = false;
  for (let i = 0; i < text.length; i++) {
    const c = text[i];
    if (quoted) {
      if (c === '"' && text[i + 1] === '"') { cell += '"'; i++; } else if (c === '"') quoted = false; else cell += c;
    } else if (c === '"') {
      quoted = true;
    } else if (c === ',') {
      row.push(cell); cell = '';
    } else if (c === '\r' && text[i + 1] === '\n') {
      row.push(cell); rows.push(row); row = []; cell = ''; i++;
    } else {
      cell += c;
    }
  }
  assert.equal(cell + row.join(''), '', 'the CSV ends with CRLF');
  return rows;
}
const csvRecords = (text) => {
  const [head, ...rows] = csvRows(text);
  return rows.map((r) => Object.fromEntries(head.map((h, i) => [h, r[i]])));
};

// Two keys' containers, each holding a tagged file, the second also a
// container under the first key that holds a tagged file in turn.
const KEYS = ['Quartz-Owl-17', 'Velvet-Fig-42'];
const t1 = velkor.tag(noise(3000, 1)), t2 = velkor.tag(noise(500, 2)), t3 = velkor.tag(noise(77, 3));
const deep = velkor.pack(cat(noise(9, 4), t3), { key: KEYS[0], label: 'deep', sublabel: 'd' });
const boxA = velkor.pack(cat(noise(100, 5), t1, noise(50, 6)), { key: KEYS[0], label: 'alpha', sublabel: 'a' });
const boxB = velkor.pack(cat(t2, noise(40, 7), deep, noise(30, 8)), { key: KEYS[1], label: 'beta', sublabel: 'b' });
const image = cat(noise(5000, 9), boxA, noise(1234, 10), boxB, noise(999, 11));
const at = { A: 5000, B: 5000 + boxA.length + 1234 };
const hA = boxA.length - 4 - 3000 - 20 - 150, hB = boxB.length - 4 - (t2.length + 40 + deep.length + 30);

test('several keys: each container says which opened it, by its number, never its text', () => {
  const finds = velkor.scan(image, { key: KEYS, payloads: false });
  assert.deepEqual(brief(finds), [['container', at.A, null, true, 1], ['container', at.B, null, true, 2]]);
  assert.deepEqual(finds.map((f) => f.label), ['alpha', 'beta']);
  // The order given is the numbering; a key given as bytes is the same key.
  const swapped = velkor.scan(image, { key: [new TextEncoder().encode(KEYS[1]), KEYS[0]], payloads: false });
  assert.deepEqual(swapped.map((f) => f.key), [2, 1]);
  // One key opens its own; the other stays shut, and is numbered by none.
  const one = velkor.scan(image, { key: KEYS[1], payloads: false });
  assert.deepEqual(brief(one), [['container', at.A, null, false, null], ['container', at.B, null, true, 1]]);
  assert.equal(one[0].reason, 'wrong key or damaged');
  const none = velkor.scan(image, { payloads: false });
  assert.deepEqual(none.map((f) => [f.reason, f.key]), [['no key', null], ['no key', null]]);
  // The keys' texts appear in nothing a scan gives.
  const all = velkor.scan(image, { key: KEYS });
  for (const text of [JSON.stringify(all), velkor.findingsJson(all, 'image.bin'), velkor.findingsCsv(all, 'image.bin')])
    for (const k of KEYS)
      for (const part of [k, Buffer.from(k).toString('hex')]) assert.equal(text.includes(part), false, `"${part}" in ${text.slice(0, 80)}`);
  assert.throws(() => velkor.scan(image, { key: ['ok', ''] }), RangeError);
  assert.throws(() => velkor.scan(image, { key: Array(65).fill('k') }), RangeError);
});

test('payloads: the finds inside each opened container, depth first, offsets from the payload\'s start', async () => {
  const want = [
    ['container', at.A, null, true, 1],
    ['tagged', 100, at.A, true, null],
    ['container', at.B, null, true, 2],
    ['tagged', 0, at.B, true, null],
    ['container', t2.length + 40, at.B, true, 1],
    ['tagged', 9, t2.length + 40, true, null],
  ];
  const finds = velkor.scan(image, { key: KEYS });
  assert.deepEqual(brief(finds), want);
  // A payload's find counts its payload and inside from the payload's start.
  assert.deepEqual([finds[1].payloadOffset, finds[1].length, finds[1].inside], [120, t1.length, null]);
  assert.equal(finds[4].label, 'deep');
  assert.deepEqual(finds.summary, { bytes: image.length, finds: 6, verified: 6, dropped: 0, passes: 1, complete: true,
                                    stopped: null });
  // Off: the image's own finds alone; without the key that opens B, B's
  // payload, and so the container inside it, stay unread.
  assert.deepEqual(brief(velkor.scan(image, { key: KEYS, payloads: false })), [want[0], want[2]]);
  assert.deepEqual(brief(velkor.scan(image, { key: KEYS[0] })),
                   [want[0], want[1], ['container', at.B, null, false, null]]);
  // A stream's finds are the same, chunks cut anywhere, with the stream's
  // bytes kept while a container may need them.
  for (const step of [1000, 4099, 1 << 20]) {
    const chunks = [];
    for (let i = 0; i < image.length; i += step) chunks.push(image.slice(i, i + step));
    const s = velkor.scanStream(chunks, { key: KEYS });
    const got = [];
    for await (const f of s) got.push(f);
    assert.deepEqual(got, [...finds], `chunks of ${step}`);
    assert.deepEqual(s.summary, finds.summary, `chunks of ${step}`);
  }
  // In a tagged file the containers are handed out only once it ends,
  // long after their bytes went by: kept too little, a stream lists them
  // and says that their payloads went unscanned.
  const wrapped = velkor.tag(cat(image, noise(5000, 20)));
  const chunks = [];
  for (let i = 0; i < wrapped.length; i += 1000) chunks.push(wrapped.subarray(i, i + 1000));
  for (const [room, list, stopped] of [[undefined, velkor.scan(wrapped, { key: KEYS }), null],
                                       [2000, velkor.scan(wrapped, { key: KEYS, payloads: false }), 'memory limit']]) {
    const s = velkor.scanStream(chunks, { key: KEYS, payloadMemory: room });
    const got = [];
    for await (const f of s) got.push(f);
    assert.deepEqual(got, [...list], `payloadMemory ${room}`);
    assert.deepEqual([s.summary.complete, s.summary.stopped], [stopped === null, stopped], `payloadMemory ${room}`);
  }
  // A source that reads every chunk into one buffer of its own: what is
  // kept is a copy, not that buffer.
  const reused = (async function* () {
    const buf = new Uint8Array(1000);
    for (let i = 0; i < wrapped.length; i += 1000) {
      const n = Math.min(1000, wrapped.length - i);
      buf.set(wrapped.subarray(i, i + n));
      yield buf.subarray(0, n);
    }
  })();
  const got = [];
  for await (const f of velkor.scanStream(reused, { key: KEYS })) got.push(f);
  assert.deepEqual(got, [...velkor.scan(wrapped, { key: KEYS })], 'a source that reuses its buffer');
});

test('payloads: nesting stops at the library\'s eight levels', () => {
  let inner = velkor.tag(noise(60, 12));
  for (let i = 0; i < 10; i++) inner = velkor.pack(cat(noise(5, i), inner), { key: 'k', label: `level ${i}` });
  const finds = velkor.scan(inner, { key: 'k' });
  // The image's container and eight payloads below it: the ninth
  // container is listed, its payload not scanned.
  assert.equal(finds.length, 9);
  assert.deepEqual(finds.map((f) => f.label), Array.from({ length: 9 }, (_, i) => `level ${9 - i}`));
  assert.deepEqual(finds.map((f) => f.payloadOf), [null, 0, 5, 5, 5, 5, 5, 5, 5]);
  assert.equal(finds.summary.complete, true);
});

test('a damaged container opened by the right key shows its texts, marked', () => {
  const bad = Uint8Array.from(boxA, (b, i) => (i === hA + 1500 ? b ^ 0x40 : b));
  const img = cat(noise(300, 13), bad);
  const [f] = velkor.scan(img, { key: ['nothing', KEYS[0]] });
  assert.deepEqual([f.verified, f.reason, f.key, f.label, f.sublabel, f.labelHex, f.damagedTexts],
                   [false, 'wrong key or damaged', 2, 'alpha', 'a', '616c706861', true]);
  // Without the key that deciphers them, no texts at all.
  const [g] = velkor.scan(img, { key: 'nothing' });
  assert.deepEqual([g.key, 'label' in g, 'damagedTexts' in g], [null, false, false]);
  const line = velkor.findingsJson([f], 'x').trim();
  assert.match(line, /,"key":2,"label":"alpha","label_hex":"616c706861","sublabel":"a","sublabel_hex":"61","damaged_texts":true}$/);
  assert.equal(csvRecords(velkor.findingsCsv([f, g], 'x')).map((r) => r.damaged_texts).join('|'), 'true|');
});

test('finds over the memory limit are reported unchecked, not lost', () => {
  const big = velkor.pack(noise(200000, 14), { key: 'k', label: 'big', dataSized: true });
  const img = cat(noise(1000, 15), big, noise(1000, 16));
  const finds = velkor.scan(img, { key: 'k', dataSized: true, memoryLimit: 100000 });
  assert.equal(finds.length, 1);
  const [f] = finds;
  const needs = Number(/^needs (\d+) bytes, over the memory limit$/.exec(f.reason)?.[1]);
  assert.ok(f.verified === null && needs > 200000 && needs > 100000, f.reason);
  assert.deepEqual([finds.summary.complete, finds.summary.stopped, finds.summary.dropped], [false, 'memory limit', 0]);
  assert.match(velkor.findingsJson(finds, 'x'), /"verified":null,"reason":"needs \d+ bytes, over the memory limit"/);
  assert.match(velkor.findingsJson(finds, 'x'), /"complete":false,"stopped":"memory limit"}\n$/);
  assert.equal(csvRecords(velkor.findingsCsv(finds, 'x'))[0].verified, '');
  // With room enough it verifies.
  const roomy = velkor.scan(img, { key: 'k', dataSized: true, memoryLimit: 1 << 20 });
  assert.deepEqual([roomy[0].verified, roomy.summary.stopped], [true, null]);
});

test('CSV: the columns and quoting of velkor scan --csv, read back by a CSV reader', () => {
  // Labels a spreadsheet would run as formulas, and ones that need quotes.
  const labels = ['=SUM(A1)', '+1', '-2', '@cmd', '\tx', '\rx', 'a,"b"', 'two\nlines', 'Grüße', 'plain'];
  const boxes = labels.map((label, i) => velkor.pack(noise(10 + i, i), { key: 'k', label, sublabel: i % 2 ? '=s' : 's' }));
  const img = cat(...boxes.flatMap((b, i) => [noise(20, 100 + i), b]), velkor.tag(noise(30, 99)));
  const finds = velkor.scan(img, { key: 'k' });
  const csv = velkor.findingsCsv(finds, '=image,1.bin');
  const [head] = csvRows(csv);
  assert.equal(head.join(','), 'image,image_bytes,offset,kind,length,payload_offset,payload_length,verified,reason,' +
               'inside,payload_of,magic,key_prefix,key,label,label_hex,sublabel,sublabel_hex,damaged_texts');
  const recs = csvRecords(csv);
  assert.equal(recs.length, finds.length);
  const inert = (t) => (/^[=+\-@\t\r]/.test(t) ? "'" + t : t);
  recs.forEach((r, i) => {
    const f = finds[i];
    assert.equal(r.image, "'=image,1.bin");
    assert.equal(r.image_bytes, '');
    assert.deepEqual([r.offset, r.kind, r.length, r.payload_offset, r.payload_length, r.verified, r.reason, r.inside, r.payload_of],
                     [String(f.offset), f.kind, String(f.length), String(f.payloadOffset), String(f.payloadLength), 'true', '', '', '']);
    if (f.kind === 'tagged') {
      assert.deepEqual([r.magic, r.key_prefix, r.key, r.label, r.label_hex], ['', '', '', '', '']);
    } else {
      assert.deepEqual([r.magic, r.key_prefix, r.key, r.label, r.sublabel], ['start', '0', '1', inert(labels[i]), inert(f.sublabel)]);
      // The exact bytes, whatever the text cell shows.
      assert.equal(Buffer.from(r.label_hex, 'hex').toString(), labels[i]);
    }
  });
  // An image name that is not UTF-8: U+FFFD in its text, its bytes in hex.
  const odd = csvRecords(velkor.findingsCsv(finds.slice(0, 1), Uint8Array.of(0x61, 0xFF, 0x62)))[0];
  assert.deepEqual([odd.image, odd.image_bytes], ['a\uFFFDb', '61ff62']);
  assert.match(velkor.findingsJson([], Uint8Array.of(0x61, 0xFF)), /^$/);
  assert.match(velkor.findingsJson(finds.slice(0, 1), Uint8Array.of(0x61, 0xFF)), /^\{"image":"a\uFFFD","image_bytes":"61ff","offset":20,/);
});
