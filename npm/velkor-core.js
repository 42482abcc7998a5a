// SPDX-License-Identifier: MIT
// velkor-core.js - the JavaScript layer over the library's WebAssembly
// module (web/velkor_web.c): the npm package's functions, and the classes
// that the page's worker and anyone reading a file in pieces build on.
// velkor.js (browsers, bundlers) and velkor-node.js (Node) load the module
// and hand it to load() below before their import resolves.
//
// Every call copies its bytes into the module's memory and the results out
// of it: nothing returned points into that memory, which moves when it
// grows.  A call that runs the module out of memory stops it (a trap: the
// build has no unwinding); the call throws, and the next one starts on a
// fresh instance, so nothing of the failed one is left behind.

// Bytes copied into the module per step.
const CHUNK = 1 << 20;
// Finds taken from the scanner per call.
const BATCH = 1024;
// Room for a text shown or written as JSON.
const TEXT_ROOM = 4096;

// Reason numbers, as the library's header declares them.
const TAG = { OK: 0, SHORT: 1, NO_MAGIC: 2, WRONG_FORMAT: 3, WRONG_LENGTH: 4, CRC_MISMATCH: 5 };
const ENC = { OK: 0, NOT_CONTAINER: 1, BAD_TEXT: 9 };
const KIND_TAGGED = 1;

let compiled = null; // the WebAssembly.Module
let current = null; // the live instance

// Called once by the entry module with the compiled module; resolves when
// the first instance is ready.
export default async function load(module) {
  compiled = module;
  const inst = await WebAssembly.instantiate(module, stubs(module));
  current = new Lib(inst);
}

// The module opens no files: whatever the C library imports for its
// streams answers "not supported" (WASI's ENOSYS, 52).
function stubs(module) {
  const imports = {};
  for (const imp of WebAssembly.Module.imports(module)) {
    if (imp.kind === 'function') (imports[imp.module] ??= {})[imp.name] = () => 52;
  }
  return imports;
}

function lib() {
  if (current === null) {
    if (compiled === null) throw new Error('velkor: the WebAssembly module is not loaded');
    current = new Lib(new WebAssembly.Instance(compiled, stubs(compiled)));
  }
  return current;
}

// Runs fn(lib); a trap retires the instance and is reported in words.
function guarded(l, fn) {
  if (l.dead) throw new Error('velkor: the library stopped during an earlier call (out of memory); start again');
  try {
    return fn(l);
  } catch (err) {
    if (err instanceof WebAssembly.RuntimeError) {
      l.dead = true;
      if (current === l) current = null;
      throw new Error('velkor: the library ran out of memory', { cause: err });
    }
    throw err;
  }
}
const run = (fn) => guarded(lib(), fn);

class Lib {
  constructor(inst) {
    const ex = (this.ex = inst.exports);
    ex._initialize();
    this.dead = false;
    this.NF = ex.vw_find_fields();
    this.NT = ex.vw_find_text_size();
    this.buf = ex.vw_alloc(CHUNK);
    this.rec = ex.vw_alloc(BATCH * this.NF * 8);
    this.txt = ex.vw_alloc(BATCH * this.NT);
    this.textIn = ex.vw_alloc(TEXT_ROOM);
    this.textOut = ex.vw_alloc(8 * TEXT_ROOM + 16);
    this.word = ex.vw_alloc(8);
    if (!this.buf || !this.rec || !this.txt || !this.textIn || !this.textOut || !this.word)
      throw new Error('velkor: not enough memory for the library');
    this.reasons = new Map();
  }
  bytes() { return new Uint8Array(this.ex.memory.buffer); }
  // Copies at most CHUNK bytes into the piece buffer; returns its address.
  put(data) { this.bytes().set(data, this.buf); return this.buf; }
  // The bytes at ptr up to the first NUL, at most max, copied out.
  cbytes(ptr, max) {
    const b = this.bytes();
    let end = ptr;
    while (end < ptr + max && b[end] !== 0) end++;
    return b.slice(ptr, end);
  }
  // The library's messages and magic are ASCII.
  ascii(ptr, max) { return String.fromCharCode(...this.cbytes(ptr, max)); }
  // A NUL-terminated copy of bytes, allocated; free with ex.vw_free.
  cstring(bytes) {
    const p = this.ex.vw_alloc(bytes.length + 1);
    if (p === 0) throw new Error('velkor: not enough memory for the library');
    const b = this.bytes();
    b.set(bytes, p);
    b[p + bytes.length] = 0;
    return p;
  }
  // Bytes as the command shows them: how 0 for a person, 1 a JSON string.
  text(how, bytes) {
    if (bytes.length > TEXT_ROOM) bytes = bytes.subarray(0, TEXT_ROOM);
    this.bytes().set(bytes, this.textIn);
    const n = this.ex.vw_text(how, this.textIn, bytes.length, this.textOut, 8 * TEXT_ROOM + 16);
    return decoder.decode(this.bytes().subarray(this.textOut, this.textOut + n));
  }
  reasonText(why) {
    if (!this.reasons.has(why)) this.reasons.set(why, this.ascii(this.ex.vw_scan_reason_text(why), 64));
    return this.reasons.get(why);
  }
}

const encoder = new TextEncoder();
const decoder = new TextDecoder();

// ---- Arguments ------------------------------------------------------------------

function asBytes(data, what) {
  if (data instanceof Uint8Array) return data;
  if (data instanceof ArrayBuffer) return new Uint8Array(data);
  if (ArrayBuffer.isView(data)) return new Uint8Array(data.buffer, data.byteOffset, data.byteLength);
  throw new TypeError(`velkor: ${what} must be a Uint8Array (or an ArrayBuffer or typed array)`);
}

// A text as bytes: a string in UTF-8, or the bytes themselves.
function textBytes(t, what) {
  if (typeof t === 'string') return encoder.encode(t);
  return asBytes(t, what);
}

// A container's key may be empty (the key material is then its prefix
// alone); a scanner's has at least one byte.
function keyBytes(key, least = 1) {
  if (key === undefined || key === null) return null;
  const k = textBytes(key, 'the key');
  if (k.length < least || k.length > 254) throw new RangeError(`velkor: a key has ${least} to 254 bytes`);
  if (k.includes(0)) throw new RangeError('velkor: a key cannot hold a NUL byte');
  return k;
}

// Calls fn(ptr, n, at) on bytes a piece at a time, copied into the module.
function eachPiece(l, bytes, fn) {
  for (let at = 0; at < bytes.length; at += CHUNK) {
    const piece = bytes.subarray(at, Math.min(at + CHUNK, bytes.length));
    fn(l.put(piece), piece.length, at);
  }
}

const hex = (bytes) => Array.from(bytes, (b) => b.toString(16).padStart(2, '0')).join('');

// ---- Checksums --------------------------------------------------------------------

// The CRC of data fed in pieces, as crc() of all of them together.
export class Crc {
  constructor() {
    this.l = lib();
    this.st = run((l) => l.ex.vw_crc_new());
    if (this.st === 0) throw new Error('velkor: not enough memory for the library');
  }
  update(bytes) {
    bytes = asBytes(bytes, 'the bytes');
    guarded(this.l, (l) => eachPiece(l, bytes, (p, n) => l.ex.vw_crc_update(this.st, p, n)));
    return this;
  }
  get value() { return guarded(this.l, (l) => l.ex.vw_crc_value(this.st)); }
  // The header of the tagged file whose payload is what was fed, from its
  // CRC alone: the payload need not be read again.
  tagHeader() {
    return guarded(this.l, (l) => {
      if (l.ex.vw_tag_build(l.buf, this.st) !== 0)
        throw new RangeError('velkor: too large to tag (the length field has 32 bits)');
      return l.bytes().slice(l.buf, l.buf + l.ex.vw_tag_header_len());
    });
  }
  close() {
    if (this.st !== 0 && !this.l.dead) this.l.ex.vw_free(this.st);
    this.st = 0;
  }
}

export function crc(bytes) {
  const c = new Crc();
  try {
    return c.update(bytes).value;
  } finally {
    c.close();
  }
}

export function csum(initial, bytes) {
  if (!Number.isInteger(initial) || initial < 0 || initial > 0xFFFFFFFF)
    throw new RangeError('velkor: the initial value is a 32-bit unsigned integer');
  bytes = asBytes(bytes, 'the bytes');
  return run((l) => {
    let v = initial;
    eachPiece(l, bytes, (p, n) => { v = l.ex.vw_csum(v, p, n); });
    return v;
  });
}

// ---- Tagged files -----------------------------------------------------------------

// The tagged file of bytes: the header, then the bytes.
export function tag(bytes) {
  bytes = asBytes(bytes, 'the payload');
  const c = new Crc();
  try {
    const header = c.update(bytes).tagHeader();
    const out = new Uint8Array(header.length + bytes.length);
    out.set(header);
    out.set(bytes, header.length);
    return out;
  } finally {
    c.close();
  }
}

// A tagged file checked as it is read: the header from its first bytes
// and the file's whole length, then the payload in pieces, then finish().
// reason is a number, as the library's velkor_tag_reason; words() says it
// as `velkor check` does.
export class TagCheck {
  constructor(head, length) {
    head = asBytes(head, 'the header');
    this.l = lib();
    this.length = length;
    guarded(this.l, (l) => {
      const ex = l.ex;
      this.t = ex.vw_tag_new();
      if (this.t === 0) throw new Error('velkor: not enough memory for the library');
      const first = head.subarray(0, Math.min(head.length, ex.vw_tag_header_len()));
      this.headerLength = ex.vw_tag_header_len();
      this.parsed = this.reason = ex.vw_tag_parse(this.t, l.put(first), first.length);
      this.headBytes = first.length;
      this.format = ex.vw_tag_field(this.t, 0);
      this.storedLength = ex.vw_tag_field(this.t, 1);
      this.storedCrc = ex.vw_tag_field(this.t, 2);
      this.computedCrc = null;
      if (this.reason === TAG.OK) this.reason = ex.vw_tag_check_length(this.t, length);
      this.crc = this.reason === TAG.OK ? new Crc() : null;
    });
  }
  // Whether the header makes it a tagged file at all (sound or not).
  get tagged() { return this.parsed !== TAG.SHORT && this.parsed !== TAG.NO_MAGIC; }
  // The payload's bytes, in order (only while the check is under way).
  update(bytes) {
    if (this.crc) this.crc.update(bytes);
    return this;
  }
  finish() {
    if (this.crc) {
      guarded(this.l, (l) => {
        this.reason = l.ex.vw_tag_check_crc(this.t, this.crc.st);
        this.computedCrc = l.ex.vw_tag_field(this.t, 3);
      });
      this.crc.close();
      this.crc = null;
    }
    this.close();
    return this;
  }
  close() {
    if (this.crc) this.crc.close();
    this.crc = null;
    if (this.t && !this.l.dead) this.l.ex.vw_free(this.t);
    this.t = 0;
  }
  // The reason in the words of `velkor check`, null when sound.
  words() {
    const x8 = (n) => n.toString(16).toUpperCase().padStart(8, '0');
    switch (this.reason) {
    case TAG.OK: return null;
    case TAG.SHORT: return `not a tagged file: ${this.headBytes} bytes, shorter than the 20-byte header`;
    case TAG.NO_MAGIC: return 'not a tagged file';
    case TAG.WRONG_FORMAT:
      return `wrong format byte 0x${this.format.toString(16).toUpperCase().padStart(2, '0')}, expected 0xB1`;
    case TAG.WRONG_LENGTH: return `length field says ${this.storedLength} but the file has ${this.length} bytes`;
    case TAG.CRC_MISMATCH: return `CRC mismatch: stored 0x${x8(this.storedCrc)}, computed 0x${x8(this.computedCrc)}`;
    }
    return 'unknown reason';
  }
}

// The fields of `velkor check --json` for a tagged file's bytes.
export function check(bytes) {
  bytes = asBytes(bytes, 'the file');
  const t = new TagCheck(bytes, bytes.length);
  try {
    if (t.reason === TAG.OK) t.update(bytes.subarray(t.headerLength));
    t.finish();
    const reason = t.words();
    const parsed = t.parsed;
    return {
      ok: reason === null,
      reason,
      length: parsed === TAG.SHORT ? t.headBytes : bytes.length,
      storedCrc: parsed === TAG.SHORT || parsed === TAG.NO_MAGIC ? null : t.storedCrc,
      computedCrc: t.computedCrc,
    };
  } finally {
    t.close();
  }
}

// ---- Containers --------------------------------------------------------------------

const MAGICS = ['start', 'asar1'];

// A container written from its payload.
export function pack(payload, options = {}) {
  payload = asBytes(payload, 'the payload');
  const { label, sublabel = '', magic = 'start', prefix = 0, dataSized = false } = options;
  const key = keyBytes(options.key, 0);
  if (key === null) throw new TypeError('velkor: pack needs a key');
  if (label === undefined || label === null) throw new TypeError('velkor: pack needs a label');
  const lb = textBytes(label, 'the label'), sb = textBytes(sublabel, 'the sublabel');
  if (lb.length > 31 || lb.includes(0)) throw new RangeError('velkor: a label has at most 31 bytes, none of them NUL');
  if (sb.length > 7 || sb.includes(0)) throw new RangeError('velkor: a sublabel has at most 7 bytes, none of them NUL');
  if (!MAGICS.includes(magic)) throw new RangeError('velkor: the magic is "start" or "asar1"');
  if (!Number.isInteger(prefix) || prefix < 0 || prefix > 255) throw new RangeError('velkor: the prefix is a byte, 0 to 255');
  if (payload.length > 0xFFFFFFFF) throw new RangeError('velkor: too large for a container (the length field has 32 bits)');
  return run((l) => {
    const ex = l.ex;
    const texts = [key, encoder.encode(magic), lb, sb].map((b) => l.cstring(b));
    const k = ex.vw_pack_new(...texts, prefix, dataSized ? 1 : 0, payload.length);
    texts.forEach((p) => ex.vw_free(p));
    if (k === 0) throw new Error('velkor: not enough memory for the cipher table');
    try {
      const hl = ex.vw_pack_header_len(k);
      const out = new Uint8Array(hl + payload.length + 4);
      const h = ex.vw_pack_header(k);
      out.set(l.bytes().subarray(h, h + hl));
      eachPiece(l, payload, (p, n, at) => {
        ex.vw_pack_payload(k, p, n);
        out.set(l.bytes().subarray(p, p + n), hl + at);
      });
      ex.vw_pack_finish(k, l.word);
      out.set(l.bytes().subarray(l.word, l.word + 4), hl + payload.length);
      return out;
    } finally {
      ex.vw_pack_free(k);
    }
  });
}

// A container read in pieces: its header from its first bytes (at least
// ENC_MAX_HEADER_LEN, or all of a shorter input) and the input's whole
// length; then, with a key, the payload in pieces (payload() deciphers
// them) and the 4 bytes after it (finish()).  Without a key only the
// header's layout is checked.  reason is a number, as the library's
// enc_reason; message says it in words.
export class ContainerReader {
  constructor(head, length, options = {}) {
    head = asBytes(head, 'the header');
    const key = keyBytes(options.key, 0);
    this.l = lib();
    this.c = 0;
    guarded(this.l, (l) => {
      const ex = l.ex;
      const first = head.subarray(0, Math.min(head.length, ex.vw_enc_max_header_len()));
      const k = key === null ? 0 : l.cstring(key);
      const why = ex.vw_container_open(l.word, l.put(first), first.length, length, k,
                                       options.dataSized ? 1 : 0);
      if (k !== 0) ex.vw_free(k);
      this.c = new Uint32Array(ex.memory.buffer, l.word, 1)[0];
      if (this.c === 0) throw new Error('velkor: not enough memory for the library');
      const field = (i) => ex.vw_container_field(this.c, i);
      this.reason = why;
      this.message = l.ascii(ex.vw_container_text(this.c, 3), 200);
      this.magic = l.ascii(ex.vw_container_text(this.c, 0), 6);
      this.keyPrefix = field(0);
      this.labelLength = field(1);
      this.sublabelLength = field(2);
      this.dataLength = field(3);
      this.headerLength = field(4);
      this.keyed = key !== null;
    });
  }
  // Whether the input starts like a container at all (sound or not).
  get container() { return this.reason !== ENC.NOT_CONTAINER; }
  // A sound layout whose texts the key does not decipher: the library
  // checks them before it keys the payload's table, so a wrong key shows
  // here, at the header, and not as damage.
  get notOpened() { return this.keyed && this.reason === ENC.BAD_TEXT; }
  // Payload bytes still to come.
  get remaining() { return guarded(this.l, (l) => l.ex.vw_container_field(this.c, 6)); }
  // Deciphers the next payload bytes; returns a copy of what it took (at
  // most what remains of the payload).
  payload(bytes) {
    bytes = asBytes(bytes, 'the payload');
    return guarded(this.l, (l) => {
      const out = new Uint8Array(Math.min(bytes.length, l.ex.vw_container_field(this.c, 6)));
      let got = 0;
      eachPiece(l, out.length === bytes.length ? bytes : bytes.subarray(0, out.length), (p, n) => {
        const took = l.ex.vw_container_payload(this.c, p, n);
        out.set(l.bytes().subarray(p, p + took), got);
        got += took;
      });
      return out;
    });
  }
  // The 4 bytes after the payload; sets reason, message and, when the
  // container opened, labelBytes, sublabelBytes and checksum.
  finish(trailer) {
    trailer = asBytes(trailer, 'the trailer');
    guarded(this.l, (l) => {
      const ex = l.ex;
      const t = new Uint8Array(4);
      t.set(trailer.subarray(0, 4));
      this.reason = ex.vw_container_finish(this.c, l.put(t));
      this.message = l.ascii(ex.vw_container_text(this.c, 3), 200);
      if (this.reason === ENC.OK) {
        this.labelBytes = l.cbytes(ex.vw_container_text(this.c, 1), 32);
        this.sublabelBytes = l.cbytes(ex.vw_container_text(this.c, 2), 8);
        this.checksum = ex.vw_container_field(this.c, 5);
      }
    });
    this.close();
    return this;
  }
  close() {
    if (this.c !== 0 && !this.l.dead) this.l.ex.vw_container_free(this.c);
    this.c = 0;
  }
}

// A container's payload, deciphered with its key; throws an Error with the
// library's reason when it does not open.
export function unpack(container, options = {}) {
  container = asBytes(container, 'the container');
  if (keyBytes(options.key, 0) === null) throw new TypeError('velkor: unpack needs a key');
  const c = new ContainerReader(container, container.length, options);
  try {
    if (c.reason !== ENC.OK) throw new Error(`velkor: ${c.message}`);
    const end = c.headerLength + c.dataLength;
    const payload = c.payload(container.subarray(c.headerLength, end));
    c.finish(container.subarray(end, end + 4));
    if (c.reason !== ENC.OK) throw new Error(`velkor: ${c.message}`);
    return {
      payload,
      label: textOf(c.labelBytes),
      sublabel: textOf(c.sublabelBytes),
      magic: c.magic,
      labelBytes: c.labelBytes,
      sublabelBytes: c.sublabelBytes,
    };
  } finally {
    c.close();
  }
}

// ---- Texts, by the command's rules ------------------------------------------------

// A label's bytes as `velkor info` shows them: UTF-8 as text, other bytes
// and control characters as \xNN, a backslash doubled.
export function plainText(bytes) {
  bytes = textBytes(bytes, 'the text');
  return run((l) => l.text(0, bytes));
}

// Bytes as a JSON string (quotes included), as `velkor scan --json` writes
// them: bytes that are not UTF-8 become U+FFFD.
export function jsonString(bytes) {
  bytes = textBytes(bytes, 'the text');
  return run((l) => l.text(1, bytes));
}

// The string a JSON reader makes of jsonString(bytes).
function textOf(bytes) {
  return JSON.parse(jsonString(bytes));
}

// ---- Scanning ---------------------------------------------------------------------

// A find as `velkor scan --json` prints it (less the image's name), its
// names in camelCase: payload_offset is payloadOffset.  r holds the
// numbers vw_scan_take gives, t the texts.  In the command's order; a new
// field of the command is one line here (and a number in vw_scan_take).
const FIND_FIELDS = [
  ['offset', (r) => r[0]],
  ['kind', (r) => (r[1] === KIND_TAGGED ? 'tagged' : 'container')],
  ['length', (r) => r[3]],
  ['payloadOffset', (r) => r[4]],
  ['payloadLength', (r) => r[5]],
  ['verified', (r) => r[2] === 0],
  ['reason', (r, t, l) => (r[2] === 0 ? null : l.reasonText(r[2]))],
  ['inside', (r) => (r[6] < 0 ? null : r[6])],
  ['magic', (r, t) => String.fromCharCode(...upToNul(t.subarray(0, 6))), isContainer],
  ['keyPrefix', (r) => r[9], isContainer],
  ['label', (r, t) => textOf(upToNul(t.subarray(6, 38))), hasTexts],
  ['labelHex', (r, t) => hex(upToNul(t.subarray(6, 38))), hasTexts],
  ['sublabel', (r, t) => textOf(upToNul(t.subarray(38, 46))), hasTexts],
  ['sublabelHex', (r, t) => hex(upToNul(t.subarray(38, 46))), hasTexts],
];
function isContainer(r) { return r[1] !== KIND_TAGGED; }
function hasTexts(r) { return r[1] !== KIND_TAGGED && r[12] !== 0; }
const upToNul = (b) => { const i = b.indexOf(0); return i < 0 ? b : b.subarray(0, i); };

function findOf(l, r, t) {
  const f = {};
  for (const [name, value, when] of FIND_FIELDS) if (!when || when(r)) f[name] = value(r, t, l);
  return f;
}

// A scanner, fed an image in pieces.  feed() and finish() return the finds
// that became ready, in order of offset.  Options: key (a string or
// bytes), dataSized, memoryLimit (bytes for pending candidates, 0 or
// absent: the library's 16 MiB), length (the image's, when known: a
// candidate claiming more is found truncated at once), passes (true: the
// image can be read again, so that nothing is lost to the memory limit;
// after finish(), nextPass() says where to feed it again from).
export class Scanner {
  constructor(options = {}) {
    const key = keyBytes(options.key);
    const limit = options.memoryLimit ?? 0;
    if (typeof limit !== 'number' || !(limit >= 0)) throw new RangeError('velkor: memoryLimit is a number of bytes');
    this.l = lib();
    this.sc = 0;
    guarded(this.l, (l) => {
      const ex = l.ex;
      const k = key === null ? 0 : l.cstring(key);
      this.sc = ex.vw_scan_new(k, options.dataSized ? 1 : 0, limit);
      if (k !== 0) ex.vw_free(k);
      if (this.sc === 0) throw new Error('velkor: not enough memory for a scanner');
      if (options.length !== undefined && options.length !== null &&
          ex.vw_scan_set_length(this.sc, options.length) !== 0)
        throw new RangeError('velkor: the image\'s length is not a length');
      if (options.passes) ex.vw_scan_set_passes(this.sc);
    });
    this.fed = 0;
  }
  feed(bytes) {
    bytes = asBytes(bytes, 'the image');
    return guarded(this.l, (l) => {
      const out = [];
      eachPiece(l, bytes, (p, n) => {
        if (l.ex.vw_scan_feed(this.sc, p, n) !== 0) throw new Error(this.refused());
        this.take(l, out);
      });
      this.fed += bytes.length;
      return out;
    });
  }
  refused() {
    return this.sc === 0 ? 'velkor: the scanner is closed' : 'velkor: the scanner refused the bytes (more than the length it was given, or out of memory)';
  }
  // Ends the image (or the pass).
  finish() {
    return guarded(this.l, (l) => {
      if (l.ex.vw_scan_finish(this.sc) !== 0) throw new Error('velkor: the scanner ran out of memory');
      const out = [];
      this.take(l, out);
      return out;
    });
  }
  // Whether more bytes of this pass can change nothing: finish() at once.
  get passDone() { return guarded(this.l, (l) => l.ex.vw_scan_pass_done(this.sc) === 1); }
  // After finish(): the offset to feed the image again from, or null when
  // the scan is complete.
  nextPass() {
    return guarded(this.l, (l) => {
      const from = l.ex.vw_scan_next_pass(this.sc);
      return from < 0 ? null : from;
    });
  }
  // Candidates dropped for the memory limit (with passes, only those that
  // alone exceed it).
  get dropped() { return guarded(this.l, (l) => l.ex.vw_scan_dropped(this.sc)); }
  take(l, out) {
    const { ex, NF, NT } = l;
    for (;;) {
      const k = ex.vw_scan_take(this.sc, l.rec, l.txt, BATCH);
      const rec = new Float64Array(ex.memory.buffer, l.rec, k * NF);
      const txt = new Uint8Array(ex.memory.buffer, l.txt, k * NT);
      for (let i = 0; i < k; i++)
        out.push(findOf(l, rec.subarray(i * NF, (i + 1) * NF), txt.subarray(i * NT, (i + 1) * NT)));
      if (k < BATCH) return;
    }
  }
  close() {
    if (this.sc !== 0 && !this.l.dead) this.l.ex.vw_scan_free(this.sc);
    this.sc = 0;
  }
}

function summaryOf(bytes, finds, sc, passes) {
  const verified = finds.reduce((n, f) => n + (f.verified ? 1 : 0), 0);
  const dropped = sc.dropped;
  return { bytes, finds: finds.length, verified, dropped, passes, complete: dropped === 0,
           stopped: dropped === 0 ? null : 'dropped' };
}

// Every tagged file and container in bytes, in order of offset.  Bytes in
// memory can be read again, so the scan runs in as many passes as the
// memory limit asks: nothing is lost but a candidate that alone exceeds
// the limit.  The array's summary property holds the fields of the
// command's summary record (bytes, finds, verified, dropped, passes,
// complete).
export function scan(bytes, options = {}) {
  bytes = asBytes(bytes, 'the image');
  const sc = new Scanner({ ...options, length: bytes.length, passes: true });
  try {
    const finds = [];
    let passes = 0;
    for (let from = 0; from !== null; from = sc.nextPass()) {
      passes++;
      for (let at = from; at < bytes.length && !sc.passDone; at += CHUNK)
        for (const f of sc.feed(bytes.subarray(at, Math.min(at + CHUNK, bytes.length)))) finds.push(f);
      for (const f of sc.finish()) finds.push(f);
    }
    Object.defineProperty(finds, 'summary', { value: summaryOf(bytes.length, finds, sc, passes) });
    return finds;
  } finally {
    sc.close();
  }
}

// The chunks of a web ReadableStream, a Node stream or any (async)
// iterable of byte chunks.
async function* chunksOf(source) {
  if (source && typeof source.getReader === 'function') {
    const reader = source.getReader();
    try {
      for (;;) {
        const { value, done } = await reader.read();
        if (done) return;
        yield value;
      }
    } finally {
      // A scan left early lets the stream go.
      reader.cancel().catch(() => {});
      reader.releaseLock();
    }
  }
  if (source && (typeof source[Symbol.asyncIterator] === 'function' || typeof source[Symbol.iterator] === 'function')) {
    yield* source;
    return;
  }
  throw new TypeError('velkor: scanStream reads a ReadableStream, a Node stream or an (async) iterable of chunks');
}

// The finds of a stream, as they become certain, in bounded memory: the
// scanner holds what pending candidates need (the memory limit), and each
// chunk is let go once scanned.  A stream cannot be read again, so a
// candidate dropped at the memory limit is lost, as in `velkor scan` of a
// pipe: summary (once the iteration has ended) counts it in dropped and
// says complete: false.  A larger memoryLimit keeps more.
class ScanStream {
  constructor(source, options) {
    this.summary = null;
    this.it = this.run(source, options);
  }
  async *run(source, options) {
    const sc = new Scanner({ ...options, length: undefined, passes: false });
    let bytes = 0, finds = 0, verified = 0;
    const counted = function* (list) {
      for (const f of list) {
        finds++;
        if (f.verified) verified++;
        yield f;
      }
    };
    try {
      for await (const chunk of chunksOf(source)) {
        if (typeof chunk === 'string') throw new TypeError('velkor: scanStream reads bytes, not strings');
        const b = asBytes(chunk, 'a chunk');
        bytes += b.length;
        yield* counted(sc.feed(b));
      }
      yield* counted(sc.finish());
      const dropped = sc.dropped;
      this.summary = { bytes, finds, verified, dropped, passes: 1, complete: dropped === 0,
                      stopped: dropped === 0 ? null : 'dropped' };
    } finally {
      sc.close();
    }
  }
  [Symbol.asyncIterator]() { return this.it; }
  next(...a) { return this.it.next(...a); }
  return(...a) { return this.it.return(...a); }
  throw(...a) { return this.it.throw(...a); }
}

export function scanStream(source, options = {}) {
  return new ScanStream(source, options);
}
