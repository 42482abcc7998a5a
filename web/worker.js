// The page's worker: every look at a file's bytes happens here, through the
// library built for WebAssembly, so the page stays responsive on large
// files.  A file is read in slices (Blob.slice), the next slice read while
// the library works on the current one.  Each job runs on a fresh instance
// of the module: a job that ran out of memory leaves nothing behind.
'use strict';

const SLICE = 8 << 20;

// Reason numbers, as the library's header declares them.
const TAG = { OK: 0, SHORT: 1, NO_MAGIC: 2, WRONG_FORMAT: 3, WRONG_LENGTH: 4, CRC_MISMATCH: 5 };
const ENC = { OK: 0, NOT_CONTAINER: 1 };

let compiled = null;

async function library() {
  if (compiled === null)
    compiled = await WebAssembly.compileStreaming(fetch('velkor.wasm'));
  // The library opens no files: whatever the C library imports for its
  // streams answers "not supported".
  const imports = {};
  for (const imp of WebAssembly.Module.imports(compiled)) {
    if (imp.kind !== 'function') continue;
    (imports[imp.module] ??= {})[imp.name] = () => 52;
  }
  const inst = await WebAssembly.instantiate(compiled, imports);
  inst.exports._initialize();
  return new Lib(inst.exports);
}

class Lib {
  constructor(ex) {
    this.ex = ex;
    this.buf = ex.vw_alloc(SLICE);
    if (this.buf === 0) throw new Error('not enough memory for the library');
  }
  bytes() { return new Uint8Array(this.ex.memory.buffer); }
  // Copies data into the library's slice buffer; returns its address.
  put(data) { this.bytes().set(data, this.buf); return this.buf; }
  text(ptr, max) {
    const b = this.bytes();
    let end = ptr;
    while (end < ptr + max && b[end] !== 0) end++;
    return new TextDecoder('latin1').decode(b.slice(ptr, end));
  }
  cstring(s) {
    const enc = new TextEncoder().encode(s);
    const p = this.ex.vw_alloc(enc.length + 1);
    const b = this.bytes();
    b.set(enc, p);
    b[p + enc.length] = 0;
    return p;
  }
  hex(ptr, max) {
    const b = this.bytes();
    let s = '';
    for (let i = ptr; i < ptr + max && b[i] !== 0; i++) s += b[i].toString(16).padStart(2, '0');
    return s;
  }
}

// Reads blob[from, to) in slices, handing each to fn(bytes, offset) in
// order, with the next AHEAD slices being read meanwhile.  Reports progress
// as it goes, and the time spent waiting for bytes and working on them.
const AHEAD = 2;
const timing = { wait: 0, work: 0 };
async function eachSlice(blob, from, to, fn, label) {
  const queue = [];
  let next = from;
  const more = () => {
    while (queue.length < AHEAD && next < to) {
      const end = Math.min(next + SLICE, to);
      queue.push({ at: next, data: blob.slice(next, end).arrayBuffer() });
      next = end;
    }
  };
  more();
  while (queue.length > 0) {
    const { at, data: pending } = queue.shift();
    let t = performance.now();
    const data = new Uint8Array(await pending);
    if (data.length === 0) throw new Error('the file ended early while it was read');
    more();
    const t1 = performance.now();
    timing.wait += t1 - t;
    fn(data, at);
    timing.work += performance.now() - t1;
    postMessage({ progress: { label, done: at + data.length - from, total: to - from } });
  }
}

async function head(blob, n) {
  return new Uint8Array(await blob.slice(0, Math.min(n, blob.size)).arrayBuffer());
}

// What the file is: a tagged file, a container, or anything else.
async function identify(lib, file) {
  const ex = lib.ex;
  const first = await head(file, ex.vw_enc_max_header_len());
  const t = ex.vw_tag_new();
  const tagWhy = ex.vw_tag_parse(t, lib.put(first), first.length);
  if (tagWhy !== TAG.SHORT && tagWhy !== TAG.NO_MAGIC) return 'tagged';
  const out = ex.vw_alloc(4);
  const why = ex.vw_container_open(out, lib.put(first), first.length, file.size, 0, 0);
  ex.vw_container_free(new Uint32Array(ex.memory.buffer, out, 1)[0]);
  return why === ENC.NOT_CONTAINER ? 'other' : 'container';
}

// A tagged file checked as `velkor info` checks it: header, then the
// file's length, then the CRC over the payload.
async function checkTagged(lib, file) {
  const ex = lib.ex;
  const hl = ex.vw_tag_header_len();
  const first = await head(file, hl);
  const t = ex.vw_tag_new();
  const r = { kind: 'tagged', fileLength: file.size, headerLength: hl, reason: 0, computedCrc: null };
  r.reason = ex.vw_tag_parse(t, lib.put(first), first.length);
  if (r.reason === TAG.SHORT) return r;
  r.format = ex.vw_tag_field(t, 0);
  r.storedLength = ex.vw_tag_field(t, 1);
  r.storedCrc = ex.vw_tag_field(t, 2);
  if (r.reason !== TAG.OK) return r;
  r.reason = ex.vw_tag_check_length(t, file.size);
  if (r.reason !== TAG.OK) return r;
  const crc = ex.vw_crc_new();
  await eachSlice(file, hl, file.size, (data) => ex.vw_crc_update(crc, lib.put(data), data.length),
                  'Checking');
  r.reason = ex.vw_tag_check_crc(t, crc);
  r.computedCrc = ex.vw_tag_field(t, 3);
  return r;
}

// A container's header (no key), or the whole container deciphered.
async function readContainer(lib, blob, key, dataSized) {
  const ex = lib.ex;
  const first = await head(blob, ex.vw_enc_max_header_len());
  const out = ex.vw_alloc(4);
  const keyPtr = key === null ? 0 : lib.cstring(key);
  const why = ex.vw_container_open(out, lib.put(first), first.length, blob.size, keyPtr,
                                   dataSized ? 1 : 0);
  const c = new Uint32Array(ex.memory.buffer, out, 1)[0];
  if (c === 0) throw new Error('not enough memory for the library');
  const field = (i) => ex.vw_container_field(c, i);
  const r = {
    kind: 'container', reason: why, message: lib.text(ex.vw_container_text(c, 3), 200),
    magic: lib.text(ex.vw_container_text(c, 0), 6), prefix: field(0),
    labelLength: field(1), sublabelLength: field(2), dataLength: field(3),
    headerLength: field(4), fileLength: blob.size, keyed: key !== null,
  };
  if (why !== ENC.OK || key === null) {
    ex.vw_container_free(c);
    return r;
  }
  const start = r.headerLength, end = start + r.dataLength;
  const pieces = [];
  await eachSlice(blob, start, end, (data) => {
    const p = lib.put(data);
    const took = ex.vw_container_payload(c, p, data.length);
    // Into the browser's blob store at once, so that a large payload is
    // not held twice in the worker's memory.
    pieces.push(new Blob([lib.bytes().subarray(p, p + took)]));
  }, 'Deciphering');
  const trailer = new Uint8Array(await blob.slice(end, end + 4).arrayBuffer());
  r.reason = ex.vw_container_finish(c, lib.put(trailer));
  r.message = lib.text(ex.vw_container_text(c, 3), 200);
  r.label = lib.text(ex.vw_container_text(c, 1), 32);
  r.labelHex = lib.hex(ex.vw_container_text(c, 1), 32);
  r.sublabel = lib.text(ex.vw_container_text(c, 2), 8);
  r.sublabelHex = lib.hex(ex.vw_container_text(c, 2), 8);
  r.checksum = field(5);
  if (r.reason === ENC.OK) r.payload = new Blob(pieces, { type: 'application/octet-stream' });
  ex.vw_container_free(c);
  return r;
}

// Every find in the file, as `velkor scan` reports them.
async function scan(lib, file, key, dataSized) {
  const ex = lib.ex;
  const keyPtr = key === null ? 0 : lib.cstring(key);
  const sc = ex.vw_scan_new(keyPtr, dataSized ? 1 : 0);
  if (sc === 0) throw new Error('the scanner could not start (a key of 1 to 254 characters is needed)');
  const f = ex.vw_find_new();
  const finds = [];
  const take = () => {
    while (ex.vw_scan_next(sc, f) === 1) {
      const v = (i) => ex.vw_find_field(f, i);
      const find = {
        offset: v(0), kind: v(1) === 1 ? 'tagged' : 'container', reason: v(2),
        verdict: lib.text(ex.vw_find_text(f, 3), 64), length: v(3),
        payloadOffset: v(4), payloadLength: v(5), inside: v(6) ? v(7) : null,
        storedCrc: v(8), computedCrc: v(9),
      };
      if (find.kind === 'container') {
        find.magic = lib.text(ex.vw_find_text(f, 0), 6);
        find.prefix = v(10);
        find.labelLength = v(11);
        find.sublabelLength = v(12);
        if (v(13)) {
          find.label = lib.text(ex.vw_find_text(f, 1), 32);
          find.labelHex = lib.hex(ex.vw_find_text(f, 1), 32);
          find.sublabel = lib.text(ex.vw_find_text(f, 2), 8);
          find.sublabelHex = lib.hex(ex.vw_find_text(f, 2), 8);
          find.checksum = v(14);
        }
      }
      finds.push(find);
    }
  };
  const fail = () => { throw new Error('the scanner ran out of memory'); };
  await eachSlice(file, 0, file.size, (data) => {
    if (ex.vw_scan_feed(sc, lib.put(data), data.length) !== 0) fail();
    take();
  }, 'Scanning');
  if (ex.vw_scan_finish(sc) !== 0) fail();
  take();
  const dropped = ex.vw_scan_dropped(sc);
  ex.vw_scan_free(sc);
  return { kind: 'scan', fileLength: file.size, finds, dropped };
}

// A tagged file made of the whole file: the header, then the file itself.
async function makeTagged(lib, file) {
  const ex = lib.ex;
  const crc = ex.vw_crc_new();
  await eachSlice(file, 0, file.size, (data) => ex.vw_crc_update(crc, lib.put(data), data.length),
                  'Tagging');
  const hl = ex.vw_tag_header_len();
  const h = ex.vw_alloc(hl);
  if (ex.vw_tag_build(h, crc) !== 0)
    return { kind: 'made', error: 'the file is too large to tag (the length field has 32 bits)' };
  const header = lib.bytes().slice(h, h + hl);
  return { kind: 'made', tagged: new Blob([header, file], { type: 'application/octet-stream' }) };
}

onmessage = async (e) => {
  const { id, job, blob, key, dataSized } = e.data;
  const t0 = performance.now();
  timing.wait = timing.work = 0;
  try {
    const lib = await library();
    let result;
    if (job === 'open') {
      const what = await identify(lib, blob);
      if (what === 'tagged') result = await checkTagged(lib, blob);
      else if (what === 'container') result = await readContainer(await library(), blob, null, false);
      else result = await scan(await library(), blob, null, false);
    } else if (job === 'unpack') {
      result = await readContainer(lib, blob, key, dataSized);
    } else if (job === 'scan') {
      result = await scan(lib, blob, key, dataSized);
    } else if (job === 'tag') {
      result = await makeTagged(lib, blob);
    }
    result.ms = performance.now() - t0;
    result.waitMs = timing.wait;
    result.workMs = timing.work;
    postMessage({ id, result });
  } catch (err) {
    const words = err instanceof WebAssembly.RuntimeError
      ? 'the library ran out of memory for this file'
      : String(err && err.message ? err.message : err);
    postMessage({ id, error: words });
  }
};
