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
      enough = fn(value, at) === true;
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
// payload offset, payload length, inside or -1, key prefix, deciphered)
// and NT bytes (magic, label, sublabel, as the find holds them) each.
// The verdict is 0 for verified, else an index into reasons, the verdicts
// in words as the package gives them.
const NF = 9, NT = 46;
const unhex = (h) => Uint8Array.from(h.match(/../g) ?? [], (x) => parseInt(x, 16));

// A scan of an image of known length (a blob, or a container's payload
// deciphered as it is read): the package's scanner, and its finds in the
// page's form, grown as they come.  The first pass is fed by whoever reads
// the image; further passes, when the memory limit asks for them, read it
// again from the blob (rest()), as `velkor scan` reads a file.
class Scan {
  constructor(key, dataSized, length) {
    this.sc = new velkor.Scanner({ key, dataSized, length, passes: true });
    this.n = 0;
    this.passes = 1;
    this.done = false; // the pass needs no more bytes
    this.rec = new Float64Array(64 * NF);
    this.txt = new Uint8Array(64 * NT);
    this.reasons = [null];
    this.labels = [];
  }
  feed(piece) {
    if (this.done) return;
    this.add(this.sc.feed(piece));
    this.done = this.sc.passDone;
  }
  add(finds) {
    if (finds.length === 0) return;
    if ((this.n + finds.length) * NF > this.rec.length) {
      const room = Math.max(2 * this.rec.length / NF, this.n + finds.length);
      const rec = new Float64Array(room * NF), txt = new Uint8Array(room * NT);
      rec.set(this.rec);
      txt.set(this.txt);
      this.rec = rec;
      this.txt = txt;
    }
    for (const f of finds) {
      const r = this.rec.subarray(this.n * NF, (this.n + 1) * NF);
      let why = this.reasons.indexOf(f.reason);
      if (why < 0) why = this.reasons.push(f.reason) - 1;
      r.set([f.offset, f.kind === 'tagged' ? 1 : 2, why, f.length, f.payloadOffset, f.payloadLength,
             f.inside ?? -1, f.keyPrefix ?? 0, f.labelHex !== undefined ? 1 : 0]);
      if (f.magic !== undefined) {
        const t = this.txt.subarray(this.n * NT, (this.n + 1) * NT);
        t.set(new TextEncoder().encode(f.magic));
        if (f.labelHex !== undefined) {
          const label = unhex(f.labelHex), sublabel = unhex(f.sublabelHex);
          t.set(label, 6);
          t.set(sublabel, 38);
          // Labels as people see them; few finds have them.
          this.labels.push([this.n, velkor.plainText(label), velkor.plainText(sublabel)]);
        }
      }
      this.n++;
    }
  }
  endPass() { this.add(this.sc.finish()); }
  // Ends the first pass, and reads the blob again for as many more as the
  // scanner asks.
  async rest(blob) {
    this.endPass();
    for (let from; (from = this.sc.nextPass()) !== null;) {
      this.passes++;
      this.done = false;
      await eachPiece(blob.slice(from), (piece) => {
        this.feed(piece);
        return this.done;
      }, `Scanning again (pass ${this.passes})`);
      this.endPass();
    }
  }
  // The finds, ready for the page, and the buffers to hand over.
  result(bytes) {
    const dropped = this.sc.dropped;
    this.sc.close();
    const rec = this.rec.slice(0, this.n * NF), txt = this.txt.slice(0, this.n * NT);
    return { n: this.n, NF, NT, rec, txt, labels: this.labels, reasons: this.reasons, dropped,
             passes: this.passes, bytes };
  }
}
const transfers = (s) => (s ? [s.rec.buffer, s.txt.buffer] : []);

// ---- Opening a file: its header at offset 0, and a scan of all of it -----------

// One pass over the file: the scan (with the key, if given), and at once
// the CRC of a tagged file at offset 0, or the payload of a container there
// deciphered with the key and scanned in turn.
async function openFile(file, key, dataSized) {
  const r = { kind: 'other', fileLength: file.size };
  const first = await head(file, HEAD);
  let t = new velkor.TagCheck(first, file.size), c = null, d = null;
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
    c = new velkor.ContainerReader(first, file.size, { key, dataSized });
    if (c.container) {
      r.kind = 'container';
      r.container = {
        reason: c.reason, message: c.message, magic: c.magic, prefix: c.keyPrefix,
        labelLength: c.labelLength, sublabelLength: c.sublabelLength, dataLength: c.dataLength,
        headerLength: c.headerLength, keyed: key !== null,
      };
      if (c.notOpened) {
        // The layout passed; the key does not open the texts, which the
        // library checks before the payload's table is keyed.
        r.container.reason = 0;
        r.container.opened = { reason: c.reason, message: c.message };
      }
      if (c.reason === 0 && key !== null) {
        const start = c.headerLength, end = start + c.dataLength;
        d = { start, end, pieces: [], scan: new Scan(key, dataSized, end - start) };
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
  const whole = new Scan(key, dataSized, file.size);
  await eachPiece(file, (piece, at) => {
    whole.feed(piece);
    const n = piece.length;
    if (t !== null) {
      const a = Math.max(at, t.headerLength);
      if (a < at + n) t.update(piece.subarray(a - at));
    }
    if (d !== null) {
      const a = Math.max(at, d.start), b = Math.min(at + n, d.end);
      if (a < b) {
        const plain = c.payload(piece.subarray(a - at, b - at));
        d.scan.feed(plain);
        // Into the browser's blob store at once, so that a large payload
        // is not held in the worker's memory.
        d.pieces.push(new Blob([plain]));
      }
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
    if (c.reason === 0) {
      const payload = new Blob(d.pieces, { type: 'application/octet-stream' });
      await d.scan.rest(payload);
      Object.assign(o, {
        label: velkor.plainText(c.labelBytes), labelHex: hex(c.labelBytes),
        sublabel: velkor.plainText(c.sublabelBytes), sublabelHex: hex(c.sublabelBytes),
        checksum: c.checksum, payload, scan: d.scan.result(d.end - d.start),
      });
    }
  }
  return r;
}
const hex = (bytes) => Array.from(bytes, (b) => b.toString(16).padStart(2, '0')).join('');

// A container deciphered whole (a find saved from the table with the key).
async function unpack(blob, key, dataSized) {
  const c = new velkor.ContainerReader(await head(blob, HEAD), blob.size, { key, dataSized });
  const r = { reason: c.reason, message: c.message };
  if (c.reason === 0) {
    const start = c.headerLength, end = start + c.dataLength;
    const pieces = [];
    await eachPiece(blob.slice(start, end), (piece) => { pieces.push(new Blob([c.payload(piece)])); }, 'Deciphering');
    c.finish(await bytesOf(blob, end, end + 4));
    Object.assign(r, { reason: c.reason, message: c.message });
    if (c.reason === 0) r.payload = new Blob(pieces, { type: 'application/octet-stream' });
  }
  c.close();
  return r;
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

// The finds as `velkor scan --all --json` prints them, one object a line,
// then the image's summary; or as CSV, one row a find.  Strings go through
// the command's own JSON rule (the package's jsonString), so the bytes are
// the command's.
const upToNul = (bytes) => { const i = bytes.indexOf(0); return i < 0 ? bytes : bytes.subarray(0, i); };
function findings(s, image, format) {
  const json = (bytes) => velkor.jsonString(bytes);
  const known = new Map();
  const jsonOnce = (bytes) => {
    const k = hex(bytes);
    if (!known.has(k)) known.set(k, json(bytes));
    return known.get(k);
  };
  const reasons = s.reasons.map((r) => (r === null ? 'null' : json(r)));
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
    const tagged = v[1] === 1, ok = v[2] === 0;
    if (ok) verified++;
    const reason = reasons[v[2]];
    const inside = v[6] < 0 ? 'null' : String(v[6]);
    const magic = tagged ? null : upToNul(t.subarray(0, 6));
    const texts = !tagged && v[8] !== 0;
    const label = texts ? upToNul(t.subarray(6, 38)) : null;
    const sublabel = texts ? upToNul(t.subarray(38, 46)) : null;
    if (format === 'csv') {
      put([imgText, v[0], tagged ? 'tagged' : 'container', v[3], v[4], v[5], ok, ok ? '' : JSON.parse(reason),
           v[6] < 0 ? '' : v[6], magic ? JSON.parse(jsonOnce(magic)) : '', tagged ? '' : v[7],
           texts ? JSON.parse(json(label)) : '', texts ? hex(label) : '',
           texts ? JSON.parse(json(sublabel)) : '', texts ? hex(sublabel) : ''].map(cell).join(',') + '\r\n');
      continue;
    }
    // The fields in the command's order (tool/scan_cmd.cpp).
    let o = `{"image":${img},"offset":${v[0]},"kind":"${tagged ? 'tagged' : 'container'}","length":${v[3]},` +
            `"payload_offset":${v[4]},"payload_length":${v[5]},"verified":${ok},"reason":${reason},` +
            `"inside":${inside}`;
    if (!tagged) o += `,"magic":${jsonOnce(magic)},"key_prefix":${v[7]}`;
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

// The package, imported once its address is known (a failure is reported
// by the first job).
let loading = null;
onmessage = async (e) => {
  const { id, job, blob, key = null, dataSized = false } = e.data;
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
      result = await openFile(blob, key, dataSized);
      moved = [...transfers(result.scan), ...transfers(result.container?.opened?.scan)];
    } else if (job === 'unpack') {
      result = await unpack(blob, key, dataSized);
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
