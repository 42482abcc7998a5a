// SPDX-License-Identifier: MIT
// The page's worker: every look at a file's bytes happens here, through the
// library built for WebAssembly, so the page stays responsive on large
// files.  Each job runs on a fresh instance of the module: a job that ran
// out of memory leaves nothing behind.
//
// The page starts this script from a blob: URL, so that it runs under the
// page's content security policy (a worker started from its own URL runs
// under the policy of the response that served it, and a static server
// sends none).  Relative URLs would resolve against the blob:, so each job
// names the module's address.
'use strict';

// Bytes asked of the browser per read.
const CHUNK = 1 << 20;
// Finds taken from the scanner per call.
const BATCH = 4096;

// Reason numbers, as the library's header declares them.
const TAG = { OK: 0, SHORT: 1, NO_MAGIC: 2, WRONG_FORMAT: 3, WRONG_LENGTH: 4, CRC_MISMATCH: 5 };
const ENC = { OK: 0, NOT_CONTAINER: 1, KEY_TOO_LONG: 6, BAD_TEXT: 9 };
const SCAN = { VERIFIED: 0 };
const KIND_TAGGED = 1;

// The module, compiled once, as soon as the page names it.
let compiled = null;

async function library(wasmUrl) {
  compiled ??= WebAssembly.compileStreaming(fetch(wasmUrl));
  const module = await compiled.catch((err) => {
    compiled = null;
    throw err;
  });
  // The library opens no files: whatever the C library imports for its
  // streams answers "not supported".
  const imports = {};
  for (const imp of WebAssembly.Module.imports(module)) {
    if (imp.kind !== 'function') continue;
    (imports[imp.module] ??= {})[imp.name] = () => 52;
  }
  const inst = await WebAssembly.instantiate(module, imports);
  inst.exports._initialize();
  return new Lib(inst.exports);
}

const TEXT_ROOM = 4096;

class Lib {
  constructor(ex) {
    this.ex = ex;
    this.NF = ex.vw_find_fields();
    this.NT = ex.vw_find_text_size();
    this.buf = ex.vw_alloc(CHUNK);
    this.rec = ex.vw_alloc(BATCH * this.NF * 8);
    this.txt = ex.vw_alloc(BATCH * this.NT);
    this.textIn = ex.vw_alloc(TEXT_ROOM);
    this.textOut = ex.vw_alloc(8 * TEXT_ROOM + 16);
    if (!this.buf || !this.rec || !this.txt || !this.textIn || !this.textOut)
      throw new Error('not enough memory for the library');
  }
  bytes() { return new Uint8Array(this.ex.memory.buffer); }
  // Copies data into the library's piece buffer; returns its address.
  put(data) { this.bytes().set(data, this.buf); return this.buf; }
  // The bytes at ptr up to the first NUL, at most max.
  cbytes(ptr, max) {
    const b = this.bytes();
    let end = ptr;
    while (end < ptr + max && b[end] !== 0) end++;
    return b.slice(ptr, end);
  }
  // Magic and the library's messages are ASCII.
  ascii(ptr, max) { return String.fromCharCode(...this.cbytes(ptr, max)); }
  cstring(s) {
    if (s === null) return 0;
    const enc = new TextEncoder().encode(s);
    const p = this.ex.vw_alloc(enc.length + 1);
    const b = this.bytes();
    b.set(enc, p);
    b[p + enc.length] = 0;
    return p;
  }
  // Bytes as the command shows them: how 0 for a person, 1 a JSON string.
  text(how, bytes) {
    if (typeof bytes === 'string') bytes = new TextEncoder().encode(bytes);
    if (bytes.length > TEXT_ROOM) bytes = bytes.subarray(0, TEXT_ROOM);
    this.bytes().set(bytes, this.textIn);
    const n = this.ex.vw_text(how, this.textIn, bytes.length, this.textOut, 8 * TEXT_ROOM + 16);
    return new TextDecoder().decode(this.bytes().subarray(this.textOut, this.textOut + n));
  }
}

const hex = (bytes) => Array.from(bytes, (b) => b.toString(16).padStart(2, '0')).join('');
const upToNul = (bytes) => { const i = bytes.indexOf(0); return i < 0 ? bytes : bytes.subarray(0, i); };

// ---- Reading a file -----------------------------------------------------------

// Hands the blob's bytes in order to fn(ptr, n, at), each piece copied into
// the module's memory at ptr, until fn returns true or the blob ends.  One
// reader with a buffer of our own ("BYOB"): the fastest way a browser hands
// over a file's bytes, and no new buffer per read.  The reader cannot fill
// the module's memory itself (that buffer cannot be handed over), hence the
// one copy.  The next read is asked for before fn works on the current
// piece, so that the browser reads on while the library works.  Reports
// progress, and the time spent waiting for bytes and working on them.
//
// Every blob and reader being read is held here until its read ends: the
// browser does not keep a blob's stream alive while a read is pending, and
// a garbage collection at that moment would leave the read, and the job,
// waiting for ever.
const timing = { wait: 0, work: 0 };
let lastProgress = 0;
const reading = new Set();
async function eachPiece(lib, blob, fn, label) {
  const stream = blob.stream();
  const reader = stream.getReader({ mode: 'byob' });
  const held = { blob, stream, reader };
  reading.add(held);
  try {
    await readPieces(lib, blob, reader, fn, label);
  } finally {
    reading.delete(held);
  }
}

async function readPieces(lib, blob, reader, fn, label) {
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
      lib.bytes().set(value, lib.buf);
      enough = fn(lib.buf, value.length, at) === true;
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

// The first n bytes (at most), or the bytes from..to: small reads.
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

function checkKey(key) {
  if (key === null) return;
  const n = new TextEncoder().encode(key).length;
  if (n < 1 || n > 254) throw new Error('a key has 1 to 254 bytes');
  if (key.includes('\0')) throw new Error('a key cannot hold a NUL character');
}

// ---- Scanning --------------------------------------------------------------------

// A scanner over an image of known length, and the finds it handed out:
// NF numbers and NT text bytes each (see vw_scan_take), grown as finds
// come, handed to the page as they are.  The first pass is fed by whoever
// reads the image; further passes, when the memory limit asks for them,
// read it again from the blob (rest()), as `velkor scan` reads a file.
class Scan {
  constructor(lib, key, dataSized, length) {
    this.lib = lib;
    this.sc = lib.ex.vw_scan_new(lib.cstring(key), dataSized ? 1 : 0);
    if (this.sc === 0) throw new Error('the scanner could not start (a key of 1 to 254 characters is needed)');
    if (lib.ex.vw_scan_known(this.sc, length) !== 0) throw new Error('the scanner could not start');
    this.n = 0;
    this.passes = 1;
    this.done = false; // the pass needs no more bytes
    this.rec = new Float64Array(64 * lib.NF);
    this.txt = new Uint8Array(64 * lib.NT);
  }
  feed(p, n) {
    if (this.done) return;
    if (this.lib.ex.vw_scan_feed(this.sc, p, n) !== 0) throw new Error('the scanner ran out of memory');
    this.take();
    this.done = this.lib.ex.vw_scan_pass_done(this.sc) === 1;
  }
  take() {
    const { ex, NF, NT } = this.lib;
    for (;;) {
      const k = ex.vw_scan_take(this.sc, this.lib.rec, this.lib.txt, BATCH);
      if (k === 0) return;
      if ((this.n + k) * NF > this.rec.length) {
        const room = Math.max(2 * this.rec.length / NF, this.n + k);
        const rec = new Float64Array(room * NF), txt = new Uint8Array(room * NT);
        rec.set(this.rec);
        txt.set(this.txt);
        this.rec = rec;
        this.txt = txt;
      }
      this.rec.set(new Float64Array(ex.memory.buffer, this.lib.rec, k * NF), this.n * NF);
      this.txt.set(new Uint8Array(ex.memory.buffer, this.lib.txt, k * NT), this.n * NT);
      this.n += k;
      if (k < BATCH) return;
    }
  }
  endPass() {
    if (this.lib.ex.vw_scan_finish(this.sc) !== 0) throw new Error('the scanner ran out of memory');
    this.take();
  }
  // Ends the first pass, and reads the blob again for as many more as the
  // scanner asks.
  async rest(blob) {
    this.endPass();
    for (let from; (from = this.lib.ex.vw_scan_next_pass(this.sc)) >= 0;) {
      this.passes++;
      this.done = false;
      await eachPiece(this.lib, blob.slice(from), (p, n) => {
        this.feed(p, n);
        return this.done;
      }, `Scanning again (pass ${this.passes})`);
      this.endPass();
    }
  }
  // The finds, ready for the page, and the buffers to hand over.
  result(bytes) {
    const { ex, NF, NT } = this.lib;
    const dropped = ex.vw_scan_dropped(this.sc);
    ex.vw_scan_free(this.sc);
    const rec = this.rec.slice(0, this.n * NF), txt = this.txt.slice(0, this.n * NT);
    // Deciphered labels as people see them; few finds have them.
    const labels = [];
    for (let i = 0; i < this.n; i++) {
      if (rec[i * NF + 12] === 0) continue;
      const t = txt.subarray(i * NT, (i + 1) * NT);
      const label = upToNul(t.subarray(6, 38)), sublabel = upToNul(t.subarray(38, 46));
      labels.push([i, this.lib.text(0, label), this.lib.text(0, sublabel)]);
    }
    const reasons = [0, 1, 2, 3, 4].map((why) => this.lib.ascii(ex.vw_scan_reason_text(why), 64));
    return { n: this.n, NF, NT, rec, txt, labels, reasons, dropped, passes: this.passes, bytes };
  }
}
const transfers = (s) => (s ? [s.rec.buffer, s.txt.buffer] : []);

// ---- Opening a file: its header at offset 0, and a scan of all of it -----------

// One pass over the file: the scan (with the key, if given), and at once
// the CRC of a tagged file at offset 0, or the payload of a container there
// deciphered with the key and scanned in turn.
async function openFile(lib, file, key, dataSized) {
  const ex = lib.ex;
  checkKey(key);
  const r = { kind: 'other', fileLength: file.size };
  const first = await head(file, ex.vw_enc_max_header_len());
  const hl = ex.vw_tag_header_len();
  const t = ex.vw_tag_new();
  const tagWhy = ex.vw_tag_parse(t, lib.put(first), first.length);
  let crc = 0, c = 0, d = null;
  if (tagWhy !== TAG.SHORT && tagWhy !== TAG.NO_MAGIC) {
    r.kind = 'tagged';
    r.tagged = {
      headerLength: hl, reason: tagWhy, format: ex.vw_tag_field(t, 0),
      storedLength: ex.vw_tag_field(t, 1), storedCrc: ex.vw_tag_field(t, 2), computedCrc: null,
    };
    if (tagWhy === TAG.OK) {
      r.tagged.reason = ex.vw_tag_check_length(t, file.size);
      if (r.tagged.reason === TAG.OK) crc = ex.vw_crc_new();
    }
  } else {
    const out = ex.vw_alloc(4);
    const why = ex.vw_container_open(out, lib.put(first), first.length, file.size, lib.cstring(key),
                                     dataSized ? 1 : 0);
    c = new Uint32Array(ex.memory.buffer, out, 1)[0];
    if (c === 0) throw new Error('not enough memory for the library');
    if (why !== ENC.NOT_CONTAINER) {
      const field = (i) => ex.vw_container_field(c, i);
      r.kind = 'container';
      r.container = {
        reason: why, message: lib.ascii(ex.vw_container_text(c, 3), 200),
        magic: lib.ascii(ex.vw_container_text(c, 0), 6), prefix: field(0),
        labelLength: field(1), sublabelLength: field(2), dataLength: field(3),
        headerLength: field(4), keyed: key !== null,
      };
      if (why === ENC.BAD_TEXT && key !== null) {
        // The layout passed; the key does not open the texts, which the
        // library checks before the payload's table is keyed.
        r.container.reason = ENC.OK;
        r.container.opened = { reason: why, message: r.container.message };
      }
      if (why === ENC.OK && key !== null) {
        const start = r.container.headerLength;
        const end = start + r.container.dataLength;
        d = { start, end, pieces: [], scan: new Scan(lib, key, dataSized, end - start) };
      }
    }
    if (d === null) {
      ex.vw_container_free(c);
      c = 0;
    }
  }

  // The pass may end early once the scan needs no more bytes and nothing
  // else does.
  const needed = Math.max(crc !== 0 ? file.size : 0, d !== null ? d.end : 0);
  const whole = new Scan(lib, key, dataSized, file.size);
  await eachPiece(lib, file, (p, n, at) => {
    whole.feed(p, n);
    if (crc !== 0) {
      const a = Math.max(at, hl);
      if (a < at + n) ex.vw_crc_update(crc, p + (a - at), at + n - a);
    }
    if (d !== null) {
      const a = Math.max(at, d.start), b = Math.min(at + n, d.end);
      if (a < b) {
        // After the scan has seen the bytes: they are deciphered in place.
        const q = p + (a - at);
        const took = ex.vw_container_payload(c, q, b - a);
        d.scan.feed(q, took);
        // Into the browser's blob store at once, so that a large payload
        // is not held in the worker's memory.
        d.pieces.push(new Blob([lib.bytes().slice(q, q + took)]));
      }
    }
    return whole.done && at + n >= needed;
  }, 'Scanning');
  await whole.rest(file);
  r.scan = whole.result(file.size);

  if (crc !== 0) {
    r.tagged.reason = ex.vw_tag_check_crc(t, crc);
    r.tagged.computedCrc = ex.vw_tag_field(t, 3);
  }
  if (d !== null) {
    const trailer = await bytesOf(file, d.end, d.end + 4);
    const why = ex.vw_container_finish(c, lib.put(trailer));
    const o = r.container.opened = { reason: why, message: lib.ascii(ex.vw_container_text(c, 3), 200) };
    if (why === ENC.OK) {
      const payload = new Blob(d.pieces, { type: 'application/octet-stream' });
      await d.scan.rest(payload);
      const label = lib.cbytes(ex.vw_container_text(c, 1), 32);
      const sublabel = lib.cbytes(ex.vw_container_text(c, 2), 8);
      Object.assign(o, {
        label: lib.text(0, label), labelHex: hex(label), sublabel: lib.text(0, sublabel),
        sublabelHex: hex(sublabel), checksum: ex.vw_container_field(c, 5),
        payload, scan: d.scan.result(d.end - d.start),
      });
    }
    ex.vw_container_free(c);
  }
  return r;
}

// A container deciphered whole (a find saved from the table with the key).
async function unpack(lib, blob, key, dataSized) {
  const ex = lib.ex;
  checkKey(key);
  const first = await head(blob, ex.vw_enc_max_header_len());
  const out = ex.vw_alloc(4);
  let why = ex.vw_container_open(out, lib.put(first), first.length, blob.size, lib.cstring(key),
                                 dataSized ? 1 : 0);
  const c = new Uint32Array(ex.memory.buffer, out, 1)[0];
  if (c === 0) throw new Error('not enough memory for the library');
  const r = { reason: why };
  if (why === ENC.OK) {
    const start = ex.vw_container_field(c, 4), end = start + ex.vw_container_field(c, 3);
    const pieces = [];
    await eachPiece(lib, blob.slice(start, end), (p, n) => {
      const took = ex.vw_container_payload(c, p, n);
      pieces.push(new Blob([lib.bytes().slice(p, p + took)]));
    }, 'Deciphering');
    const trailer = await bytesOf(blob, end, end + 4);
    why = r.reason = ex.vw_container_finish(c, lib.put(trailer));
    if (why === ENC.OK) r.payload = new Blob(pieces, { type: 'application/octet-stream' });
  }
  r.message = lib.ascii(ex.vw_container_text(c, 3), 200);
  ex.vw_container_free(c);
  return r;
}

// A tagged file made of the whole file: the header, then the file itself.
async function makeTagged(lib, file) {
  const ex = lib.ex;
  const crc = ex.vw_crc_new();
  await eachPiece(lib, file, (p, n) => ex.vw_crc_update(crc, p, n), 'Tagging');
  const hl = ex.vw_tag_header_len();
  const h = ex.vw_alloc(hl);
  if (ex.vw_tag_build(h, crc) !== 0)
    return { error: 'the file is too large to tag (the length field has 32 bits)' };
  const header = lib.bytes().slice(h, h + hl);
  return { tagged: new Blob([header, file], { type: 'application/octet-stream' }) };
}

// ---- Findings as files -------------------------------------------------------------

// The finds as `velkor scan --all --json` prints them, one object a line,
// then the image's summary; or as CSV, one row a find.  Strings go through
// the command's own JSON rule (vw_text), so the bytes are the command's.
function findings(lib, s, image, format) {
  const { NF, NT } = s;
  const json = (bytes) => lib.text(1, bytes);
  const known = new Map();
  const jsonOnce = (bytes) => {
    const k = hex(bytes);
    if (!known.has(k)) known.set(k, json(bytes));
    return known.get(k);
  };
  const reasonText = (why) => jsonOnce(lib.cbytes(lib.ex.vw_scan_reason_text(why), 64));
  const img = json(image);
  const parts = [];
  let text = '';
  const put = (line) => {
    text += line;
    if (text.length > (1 << 20)) { parts.push(text); text = ''; }
  };
  // CSV: RFC 4180 quoting; a text that a spreadsheet would take for a
  // formula gets a leading ' (the _hex columns keep the exact bytes).
  const cell = (v) => {
    let t = String(v);
    if (/^[=+\-@\t\r]/.test(t)) t = "'" + t;
    return /[",\r\n]/.test(t) ? `"${t.replaceAll('"', '""')}"` : t;
  };
  const imgText = JSON.parse(img);
  if (format === 'csv')
    put('image,offset,kind,length,payload_offset,payload_length,verified,reason,inside,' +
        'magic,key_prefix,label,label_hex,sublabel,sublabel_hex\r\n');
  let verified = 0;
  for (let i = 0; i < s.n; i++) {
    const v = s.rec.subarray(i * NF, (i + 1) * NF);
    const t = s.txt.subarray(i * NT, (i + 1) * NT);
    const tagged = v[1] === KIND_TAGGED, ok = v[2] === SCAN.VERIFIED;
    if (ok) verified++;
    const reason = ok ? 'null' : reasonText(v[2]);
    const inside = v[6] < 0 ? 'null' : String(v[6]);
    const magic = tagged ? null : upToNul(t.subarray(0, 6));
    const texts = !tagged && v[12] !== 0;
    const label = texts ? upToNul(t.subarray(6, 38)) : null;
    const sublabel = texts ? upToNul(t.subarray(38, 46)) : null;
    if (format === 'csv') {
      put([imgText, v[0], tagged ? 'tagged' : 'container', v[3], v[4], v[5], ok, ok ? '' : JSON.parse(reason),
           v[6] < 0 ? '' : v[6], magic ? JSON.parse(jsonOnce(magic)) : '', tagged ? '' : v[9],
           texts ? JSON.parse(json(label)) : '', texts ? hex(label) : '',
           texts ? JSON.parse(json(sublabel)) : '', texts ? hex(sublabel) : ''].map(cell).join(',') + '\r\n');
      continue;
    }
    // The fields in the command's order (tool/scan_cmd.cpp).
    let o = `{"image":${img},"offset":${v[0]},"kind":"${tagged ? 'tagged' : 'container'}","length":${v[3]},` +
            `"payload_offset":${v[4]},"payload_length":${v[5]},"verified":${ok},"reason":${reason},` +
            `"inside":${inside}`;
    if (!tagged) o += `,"magic":${jsonOnce(magic)},"key_prefix":${v[9]}`;
    if (texts)
      o += `,"label":${json(label)},"label_hex":"${hex(label)}","sublabel":${json(sublabel)},` +
           `"sublabel_hex":"${hex(sublabel)}"`;
    put(o + '}\n');
  }
  if (format !== 'csv')
    put(`{"image":${img},"kind":"summary","bytes":${s.bytes},"finds":${s.n},"verified":${verified},` +
        `"dropped":${s.dropped},"passes":${s.passes},"complete":${s.dropped === 0},` +
        `"stopped":${s.dropped === 0 ? 'null' : '"dropped"'}}\n`);
  parts.push(text);
  return new Blob(parts, { type: format === 'csv' ? 'text/csv' : 'application/json' });
}

onmessage = async (e) => {
  const { id, job, wasm, blob, key = null, dataSized = false } = e.data;
  if (job === 'load') {
    compiled ??= WebAssembly.compileStreaming(fetch(wasm));
    compiled.catch(() => {}); // a failure is reported by the first job
    return;
  }
  const t0 = performance.now();
  timing.wait = timing.work = 0;
  try {
    const lib = await library(wasm);
    let result, moved = [];
    if (job === 'open') {
      result = await openFile(lib, blob, key, dataSized);
      moved = [...transfers(result.scan), ...transfers(result.container?.opened?.scan)];
    } else if (job === 'unpack') {
      result = await unpack(lib, blob, key, dataSized);
    } else if (job === 'tag') {
      result = await makeTagged(lib, blob);
    } else if (job === 'findings') {
      result = { file: findings(lib, e.data.scan, e.data.image, e.data.format) };
    } else {
      throw new Error(`no such job: ${job}`);
    }
    result.ms = performance.now() - t0;
    result.waitMs = timing.wait;
    result.workMs = timing.work;
    postMessage({ id, result }, moved);
  } catch (err) {
    const words = err instanceof WebAssembly.RuntimeError
      ? 'the library ran out of memory for this file'
      : String(err && err.message ? err.message : err);
    postMessage({ id, error: words });
  }
};
