// SPDX-License-Identifier: MIT
// The page's worker: every look at a file's bytes happens here, through
// the velkor package's module (velkor.js, the npm package's own, copied
// beside the page) over the library built for WebAssembly, so the page
// stays responsive on large files.  The page posts each File as it is and
// the worker reads it: the page's thread never copies a file's bytes.
//
// The page starts this script as a module worker from a blob: URL, so that
// it runs under the page's content security policy (a worker started from
// its own URL runs under the policy of the response that served it, and a
// static server sends none).  Relative URLs would resolve against the
// blob:, so the page names the package's address.  A job is cancelled by
// ending the worker: the page starts a fresh one.

// Bytes asked of the browser per read.
const CHUNK = 4 << 20;

let velkor = null; // the package, once imported

// ---- Reading a file -----------------------------------------------------------

// Hands the blob's bytes in order to fn(piece, at), until fn returns true
// or the blob ends.  One reader with a buffer of our own ("BYOB"), no new
// buffer per read; the next read is asked for before fn works on the
// current piece, so that the browser reads on while the library works.
// Reports progress, and the time spent waiting for bytes and working on
// them.
//
// Every blob and reader being read is held here until its read ends: the
// browser does not keep a blob's stream alive while a read is pending, and
// a garbage collection at that moment would leave the read, and the job,
// waiting for ever.
const timing = { wait: 0, work: 0 };
let lastProgress = 0;
const reading = new Set();
async function eachPiece(blob, fn, label) {
  const stream = blob.stream();
  const reader = stream.getReader({ mode: 'byob' });
  const held = { blob, stream, reader };
  reading.add(held);
  try {
    await readPieces(blob, reader, fn, label);
  } finally {
    reading.delete(held);
  }
}

async function readPieces(blob, reader, fn, label) {
  let next = reader.read(new Uint8Array(new ArrayBuffer(CHUNK)));
  let spare = new ArrayBuffer(CHUNK);
  let at = 0, enough = false;
  try {
    while (!enough) {
      const t0 = performance.now();
      const { value, done } = await next;
      const t1 = performance.now();
      timing.wait += t1 - t0;
      if (done) break;
      next = reader.read(new Uint8Array(spare));
      enough = (await fn(value, at)) === true;
      at += value.length;
      spare = value.buffer;
      const t2 = performance.now();
      timing.work += t2 - t1;
      if (t2 - lastProgress > 100 || at === blob.size) {
        lastProgress = t2;
        postMessage({ progress: { label, done: at, total: blob.size } });
      }
    }
  } catch (err) {
    reader.cancel().catch(() => {});
    throw err;
  }
  if (enough) reader.cancel().catch(() => {});
  else if (at !== blob.size) throw new Error('the file changed while it was read');
}

// The bytes from..to: small reads.
async function bytesOf(blob, from, to) {
  const part = blob.slice(from, to);
  reading.add(part);
  try {
    return new Uint8Array(await part.arrayBuffer());
  } finally {
    reading.delete(part);
  }
}
const head = (blob, n) => bytesOf(blob, 0, Math.min(n, blob.size));
// The longest header, container or tagged file.
const HEAD = 59;

// ---- Scanning --------------------------------------------------------------------

// The finds as the page takes them, flat, to be handed over without a
// copy: NF numbers (offset, kind 1 tagged or 2 container, verdict, length,
// payload offset, payload length, inside or -1, key prefix, texts 1 or 0,
// payload of or -1, key number or 0, damaged texts 1 or 0, level (how many
// payloads deep: 0 in the file itself), verified 1, 0 or -1 for not
// checked) and NT bytes (the magic) each.  The verdict is 0 for verified,
// else an index into reasons, the verdicts in words as the package gives
// them; the texts, few, are listed apart.
const NF = 14, NT = 6;

// A scan of a file: the package's scanner, and its finds in the page's
// form, grown as they come.  The first pass is fed by whoever reads the
// file; further passes, when the memory limit asks for them, read it
// again (rest()), as `velkor scan` reads a file.  With read (the file's
// bytes at an offset), the payload of every container a key opens is
// scanned too, its finds right after their container.
class Scan {
  constructor(keys, dataSized, length, read) {
    this.sc = new velkor.Scanner({ key: keys, dataSized, length, passes: true });
    this.read = read;
    this.n = 0;
    this.done = false; // the pass needs no more bytes
    this.rec = new Float64Array(64 * NF);
    this.txt = new Uint8Array(64 * NT);
    this.reasons = [null];
    this.labels = [];
  }
  async feed(piece) {
    if (this.done) return;
    await this.addAll(this.sc.feed(piece));
    this.done = this.sc.passDone;
  }
  async addAll(finds) {
    for (const f of finds) {
      this.add(f, 0);
      if (this.read)
        for await (const { find, level } of this.sc.payloadFindsAsync(f, this.read)) this.add(find, level);
    }
  }
  add(f, level) {
    if ((this.n + 1) * NF > this.rec.length) {
      const rec = new Float64Array(2 * this.rec.length), txt = new Uint8Array(2 * this.txt.length);
      rec.set(this.rec);
      txt.set(this.txt);
      this.rec = rec;
      this.txt = txt;
    }
    const r = this.rec.subarray(this.n * NF, (this.n + 1) * NF);
    let why = this.reasons.indexOf(f.reason);
    if (why < 0) why = this.reasons.push(f.reason) - 1;
    const texts = f.labelHex !== undefined;
    r.set([f.offset, f.kind === 'tagged' ? 1 : 2, why, f.length, f.payloadOffset, f.payloadLength,
           f.inside ?? -1, f.keyPrefix ?? 0, texts ? 1 : 0, f.payloadOf ?? -1, f.key ?? 0,
           f.damagedTexts ? 1 : 0, level, f.verified === null ? -1 : f.verified ? 1 : 0]);
    if (f.magic !== undefined) {
      this.txt.set(new TextEncoder().encode(f.magic), this.n * NT);
      if (texts) {
        // Labels as people see them, and as the findings write them.
        this.labels.push([this.n, velkor.plainText(unhex(f.labelHex)), velkor.plainText(unhex(f.sublabelHex)),
                          f.label, f.labelHex, f.sublabel, f.sublabelHex]);
      }
    }
    this.n++;
  }
  async endPass() { await this.addAll(this.sc.finish()); }
  // Ends the first pass, and reads the blob again for as many more as the
  // scanner asks.
  async rest(blob) {
    await this.endPass();
    for (let from; (from = this.sc.nextPass()) !== null;) {
      this.done = false;
      await eachPiece(blob.slice(from), (piece) => this.feed(piece).then(() => this.done),
                      `Scanning again (pass ${this.sc.passes})`);
      await this.endPass();
    }
  }
  // The finds, ready for the page, and the buffers to hand over.
  result(bytes) {
    const summary = this.sc.summary(bytes);
    this.sc.close();
    const rec = this.rec.slice(0, this.n * NF), txt = this.txt.slice(0, this.n * NT);
    return { n: this.n, NF, NT, rec, txt, labels: this.labels, reasons: this.reasons, summary, bytes };
  }
}
const transfers = (s) => (s ? [s.rec.buffer, s.txt.buffer] : []);
const unhex = (h) => Uint8Array.from(h.match(/../g) ?? [], (x) => parseInt(x, 16));

// ---- Opening a file: its header at offset 0, and a scan of all of it -----------

// One pass over the file: the scan (with the keys, if given), and at once
// the CRC of a tagged file at offset 0, or the payload of a container
// there deciphered with the first key that opens its texts (and, should
// its checksum fail, the file read again with each later key).
async function openFile(file, keys, dataSized, payloads) {
  const r = { kind: 'other', fileLength: file.size };
  const first = await head(file, HEAD);
  let t = new velkor.TagCheck(first, file.size), c = null, d = null, used = 0;
  if (t.tagged) {
    r.kind = 'tagged';
    r.tagged = {
      headerLength: t.headerLength, reason: t.reason, format: t.format,
      storedLength: t.storedLength, storedCrc: t.storedCrc, computedCrc: null,
    };
    if (t.reason !== 0) {
      t.close();
      t = null;
    }
  } else {
    t.close();
    t = null;
    const reader = (k) => new velkor.ContainerReader(first, file.size, { key: k, dataSized });
    c = reader(keys.length > 0 ? keys[0] : null);
    while (c.notOpened && used + 1 < keys.length) {
      c.close();
      c = reader(keys[++used]);
    }
    if (c.container) {
      r.kind = 'container';
      r.container = {
        reason: c.reason, message: c.message, magic: c.magic, prefix: c.keyPrefix,
        labelLength: c.labelLength, sublabelLength: c.sublabelLength, dataLength: c.dataLength,
        headerLength: c.headerLength, keyed: keys.length > 0,
      };
      if (c.notOpened) {
        // The layout passed; no key opens the texts, which the library
        // checks before the payload's table is keyed.
        r.container.reason = 0;
        r.container.opened = { reason: c.reason, message: c.message };
      }
      if (c.reason === 0 && keys.length > 0) {
        const start = c.headerLength, end = start + c.dataLength;
        d = { start, end, pieces: [] };
      }
    }
    if (d === null) {
      c.close();
      c = null;
    }
  }

  // The pass may end early once the scan needs no more bytes and nothing
  // else does.
  const needed = Math.max(t !== null ? file.size : 0, d !== null ? d.end : 0);
  const whole = new Scan(keys, dataSized, file.size, payloads ? (at, n) => bytesOf(file, at, at + n) : null);
  await eachPiece(file, async (piece, at) => {
    await whole.feed(piece);
    const n = piece.length;
    if (t !== null) {
      const a = Math.max(at, t.headerLength);
      if (a < at + n) t.update(piece.subarray(a - at));
    }
    if (d !== null) {
      const a = Math.max(at, d.start), b = Math.min(at + n, d.end);
      // Into the browser's blob store at once, so that a large payload
      // is not held in the worker's memory.
      if (a < b) d.pieces.push(new Blob([c.payload(piece.subarray(a - at, b - at))]));
    }
    return whole.done && at + n >= needed;
  }, 'Scanning');
  await whole.rest(file);
  r.scan = whole.result(file.size);

  if (t !== null) {
    t.finish();
    r.tagged.reason = t.reason;
    r.tagged.computedCrc = t.computedCrc;
  }
  if (d !== null) {
    c.finish(await bytesOf(file, d.end, d.end + 4));
    const o = r.container.opened = { reason: c.reason, message: c.message };
    let payload = c.reason === 0 ? new Blob(d.pieces, { type: 'application/octet-stream' }) : null;
    let texts = c;
    if (payload === null && used + 1 < keys.length) {
      const later = await unpack(file, keys.slice(used + 1), dataSized);
      if (later.reason === 0) {
        payload = later.payload;
        texts = later;
        used += later.key;
        Object.assign(o, { reason: 0, message: later.message });
      }
    }
    if (payload !== null) {
      Object.assign(o, {
        label: velkor.plainText(texts.labelBytes), labelHex: hex(texts.labelBytes),
        sublabel: velkor.plainText(texts.sublabelBytes), sublabelHex: hex(texts.sublabelBytes),
        checksum: texts.checksum, payload, key: used + 1,
      });
    }
  }
  return r;
}
const hex = (bytes) => Array.from(bytes, (b) => b.toString(16).padStart(2, '0')).join('');

// A container deciphered whole with the first of keys that opens it: its
// header passes and its checksum matches.  Else the reason of the first
// key whose header passed, or of the first key.
async function unpack(blob, keys, dataSized) {
  const first = await head(blob, HEAD);
  let refused = null, opened = null;
  for (let i = 0; i < keys.length; i++) {
    const c = new velkor.ContainerReader(first, blob.size, { key: keys[i], dataSized });
    try {
      refused ??= { reason: c.reason, message: c.message };
      // A layout the library refuses is refused under every key.
      if (c.reason !== 0 && !c.notOpened) break;
      if (c.reason !== 0) continue;
      const start = c.headerLength, end = start + c.dataLength;
      const pieces = [];
      await eachPiece(blob.slice(start, end), (piece) => { pieces.push(new Blob([c.payload(piece)])); }, 'Deciphering');
      c.finish(await bytesOf(blob, end, end + 4));
      if (c.reason === 0) {
        return { reason: 0, message: c.message, key: i + 1, labelBytes: c.labelBytes, sublabelBytes: c.sublabelBytes,
                 checksum: c.checksum, payload: new Blob(pieces, { type: 'application/octet-stream' }) };
      }
      opened ??= { reason: c.reason, message: c.message };
    } finally {
      c.close();
    }
  }
  return opened ?? refused ?? { reason: -1, message: 'no key was given' };
}

// The bytes of a find inside the payloads of the containers of chain
// (each { offset, length, key } in the payload of the one before, the
// first in the file), from..to of the innermost payload, deciphered in
// turn with the key that opened each; with open, the find itself is a
// container to decipher with key number open.
async function extract(file, keys, dataSized, chain, from, to, open) {
  let blob = file;
  const x8 = (n) => '0x' + n.toString(16).padStart(8, '0');
  for (const c of chain) {
    const r = await unpack(blob.slice(c.offset, c.offset + c.length), [keys[c.key - 1]], dataSized);
    if (r.reason !== 0) return { error: `the container at ${x8(c.offset)} did not open: ${r.message}` };
    blob = r.payload;
  }
  let part = blob.slice(from, to);
  if (open) {
    const r = await unpack(part, [keys[open - 1]], dataSized);
    if (r.reason !== 0) return { error: `the container at ${x8(from)} did not open: ${r.message}` };
    part = r.payload;
  }
  return { blob: part };
}

// A tagged file made of the whole file: the header, then the file itself.
async function makeTagged(file) {
  const crc = new velkor.Crc();
  try {
    await eachPiece(file, (piece) => { crc.update(piece); }, 'Tagging');
    if (file.size > 0xFFFFFFFF - 20)
      return { error: 'the file is too large to tag (the length field has 32 bits)' };
    return { tagged: new Blob([crc.tagHeader(), file], { type: 'application/octet-stream' }) };
  } finally {
    crc.close();
  }
}

// ---- Findings as files -------------------------------------------------------------

// The finds of a scan as the package gives them, from the page's form;
// written by the package, in the command's JSON lines or its CSV.
function findings(s, image, format) {
  const labels = new Map(s.labels.map(([i, , , label, labelHex, sublabel, sublabelHex]) =>
    [i, { label, labelHex, sublabel, sublabelHex }]));
  const magic = (i) => {
    const t = s.txt.subarray(i * NT, (i + 1) * NT);
    const end = t.indexOf(0);
    return String.fromCharCode(...(end < 0 ? t : t.subarray(0, end)));
  };
  const finds = [];
  for (let i = 0; i < s.n; i++) {
    const v = s.rec.subarray(i * NF, (i + 1) * NF);
    const f = {
      offset: v[0], kind: v[1] === 1 ? 'tagged' : 'container', length: v[3], payloadOffset: v[4],
      payloadLength: v[5], verified: v[13] < 0 ? null : v[13] === 1, reason: s.reasons[v[2]],
      inside: v[6] < 0 ? null : v[6], payloadOf: v[9] < 0 ? null : v[9],
    };
    if (v[1] !== 1) Object.assign(f, { magic: magic(i), keyPrefix: v[7], key: v[10] === 0 ? null : v[10] });
    if (v[8] !== 0) Object.assign(f, labels.get(i));
    if (v[11] !== 0) f.damagedTexts = true;
    finds.push(f);
  }
  return format === 'csv'
    ? new Blob([velkor.findingsCsv(finds, image)], { type: 'text/csv' })
    : new Blob([velkor.findingsJson(finds, image, s.summary)], { type: 'application/json' });
}

// The package, imported once its address is known (a failure is reported
// by the first job).
let loading = null;
onmessage = async (e) => {
  const { id, job, blob, keys = [], dataSized = false, payloads = true } = e.data;
  if (job === 'load') {
    loading ??= import(e.data.module).then((m) => { velkor = m; });
    loading.catch(() => {});
    return;
  }
  const t0 = performance.now();
  timing.wait = timing.work = 0;
  try {
    await loading;
    let result, moved = [];
    if (job === 'open') {
      result = await openFile(blob, keys, dataSized, payloads);
      moved = transfers(result.scan);
    } else if (job === 'unpack') {
      result = await unpack(blob, keys, dataSized);
      delete result.labelBytes;
      delete result.sublabelBytes;
    } else if (job === 'extract') {
      const x = e.data.extract;
      result = await extract(blob, keys, dataSized, x.chain, x.from, x.to, x.open);
    } else if (job === 'tag') {
      result = await makeTagged(blob);
    } else if (job === 'findings') {
      result = { file: findings(e.data.scan, e.data.image, e.data.format) };
    } else {
      throw new Error(`no such job: ${job}`);
    }
    result.ms = performance.now() - t0;
    result.waitMs = timing.wait;
    result.workMs = timing.work;
    postMessage({ id, result }, moved);
  } catch (err) {
    postMessage({ id, error: String(err && err.message ? err.message : err).replace(/^velkor: /, '') });
  }
};
