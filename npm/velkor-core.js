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
    this.word = ex.vw_alloc(16);
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

// The library tries at most this many keys.
const MAX_KEYS = 64;

// A key option as a list: one key (a string or bytes), or an array of
// them, numbered from 1 in order; none gives an empty list.
function keyList(key, least = 1) {
  if (key === undefined || key === null) return [];
  const list = Array.isArray(key) ? key : [key];
  if (list.length > MAX_KEYS) throw new RangeError(`velkor: at most ${MAX_KEYS} keys`);
  return list.map((k) => {
    if (k === undefined || k === null) throw new TypeError('velkor: a key in the list is missing');
    return keyBytes(k, least);
  });
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
  words() { return tagReasonWords(this); }
}

// A tagged file's refusal in the words of `velkor check`, from the
// command's own wording (tool/tag_words.cpp, in the module); null when
// sound.  t has TagCheck's fields.
function tagReasonWords(t) {
  if (t.reason === TAG.OK) return null;
  return guarded(t.l, (l) => {
    const fileLength = t.reason === TAG.SHORT ? t.headBytes : t.length;
    const n = l.ex.vw_tag_words(t.reason, t.format, t.storedLength, t.storedCrc, t.computedCrc ?? 0, fileLength,
                                l.textOut, 256);
    return decoder.decode(l.bytes().subarray(l.textOut, l.textOut + n));
  });
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

// A container's payload, deciphered with its key, or the first of its keys
// that opens it: whose header passes (the texts decipher) and whose
// checksum matches.  Throws an Error with the library's reason when none
// does: that of the first key whose header passed, else the first key's.
export function unpack(container, options = {}) {
  container = asBytes(container, 'the container');
  const keys = keyList(options.key, 0);
  if (keys.length === 0) throw new TypeError('velkor: unpack needs a key');
  let firstKey = null, opened = null;
  for (let i = 0; i < keys.length; i++) {
    const c = new ContainerReader(container, container.length, { ...options, key: keys[i] });
    try {
      firstKey ??= c.message;
      // A layout the library refuses is refused under every key.
      if (c.reason !== ENC.OK && !c.notOpened) break;
      if (c.reason !== ENC.OK) continue;
      const end = c.headerLength + c.dataLength;
      const payload = c.payload(container.subarray(c.headerLength, end));
      c.finish(container.subarray(end, end + 4));
      if (c.reason === ENC.OK) {
        return {
          payload,
          label: textOf(c.labelBytes),
          sublabel: textOf(c.sublabelBytes),
          magic: c.magic,
          labelBytes: c.labelBytes,
          sublabelBytes: c.sublabelBytes,
          key: i + 1,
        };
      }
      opened ??= c.message;
    } finally {
      c.close();
    }
  }
  throw new Error(`velkor: ${opened ?? firstKey}`);
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

// Verdicts, as the library's velkor_scan_reason numbers them.
const SCAN = { VERIFIED: 0, OVER_MEMORY: 5, OVER_BUDGET: 6 };
// Why vw_scan_payload_new gave no scanner.
const PAYLOAD = { MEMORY: 1, BUDGET: 2, DEPTH: 3 };

// A find as `velkor scan --json` prints it (less the image's name), its
// names in camelCase: payload_offset is payloadOffset.  r holds the
// numbers vw_scan_take gives, t the texts, of the payload of the container
// at offset `of` (null: the image itself).  In the command's order, which
// the findings' JSON and CSV below follow too; a new field of the command
// is one line here (and a number in vw_scan_take).
const FIND_FIELDS = [
  ['offset', (r) => r[0]],
  ['kind', (r) => (r[1] === KIND_TAGGED ? 'tagged' : 'container')],
  ['length', (r) => r[3]],
  ['payloadOffset', (r) => r[4]],
  ['payloadLength', (r) => r[5]],
  // null: not checked, for the memory limit or the work budget.
  ['verified', (r) => (r[2] === SCAN.VERIFIED ? true : notChecked(r) ? null : false)],
  ['reason', (r, t, l) => (r[2] === SCAN.VERIFIED ? null
    : r[2] === SCAN.OVER_MEMORY ? `needs ${r[16]} bytes, over the memory limit` : l.reasonText(r[2]))],
  ['inside', (r) => (r[6] < 0 ? null : r[6])],
  ['payloadOf', (r, t, l, of) => of],
  ['magic', (r, t) => String.fromCharCode(...upToNul(t.subarray(0, 6))), isContainer],
  ['keyPrefix', (r) => r[9], isContainer],
  // The number of the key that opened it, or whose texts it shows.
  ['key', (r) => (r[14] === 0 ? null : r[14]), isContainer],
  ['label', (r, t) => textOf(upToNul(t.subarray(6, 38))), hasTexts],
  ['labelHex', (r, t) => hex(upToNul(t.subarray(6, 38))), hasTexts],
  ['sublabel', (r, t) => textOf(upToNul(t.subarray(38, 46))), hasTexts],
  ['sublabelHex', (r, t) => hex(upToNul(t.subarray(38, 46))), hasTexts],
  // The texts are those of a container whose payload's checksum failed.
  ['damagedTexts', () => true, (r) => isContainer(r) && r[15] !== 0],
];
function isContainer(r) { return r[1] !== KIND_TAGGED; }
function hasTexts(r) { return isContainer(r) && (r[12] !== 0 || r[15] !== 0); }
function notChecked(r) { return r[2] === SCAN.OVER_MEMORY || r[2] === SCAN.OVER_BUDGET; }
const upToNul = (b) => { const i = b.indexOf(0); return i < 0 ? b : b.subarray(0, i); };

function findOf(l, r, t, of) {
  const f = {};
  for (const [name, value, when] of FIND_FIELDS) if (!when || when(r)) f[name] = value(r, t, l, of);
  return f;
}

// Whether a find is a container that a key opened, whose payload can be
// scanned in turn.
const opened = (f) => f.kind === 'container' && f.verified === true && f.key !== null && f.key !== undefined;

// A scanner, fed an image in pieces.  feed() and finish() return the finds
// that became ready, in order of offset.  Options: key (a string or bytes,
// or an array of them, tried in order and numbered from 1), dataSized,
// memoryLimit (bytes for pending candidates, 0 or absent: the library's
// 16 MiB), length (the image's, when known: a candidate claiming more is
// found truncated at once), passes (true: the image can be read again, so
// that nothing is lost to the memory limit; after finish(), nextPass()
// says where to feed it again from).  payloadFinds() scans an opened
// container's payload in turn.
export class Scanner {
  constructor(options = {}) {
    const keys = keyList(options.key);
    const limit = options.memoryLimit ?? 0;
    if (typeof limit !== 'number' || !(limit >= 0)) throw new RangeError('velkor: memoryLimit is a number of bytes');
    this.l = lib();
    this.sc = 0;
    guarded(this.l, (l) => {
      const ex = l.ex;
      const texts = keys.map((k) => l.cstring(k));
      const list = ex.vw_alloc(4 * texts.length + 4);
      if (list !== 0) new Uint32Array(ex.memory.buffer, list, texts.length).set(texts);
      this.sc = list === 0 ? 0 : ex.vw_scan_new(list, texts.length, options.dataSized ? 1 : 0, limit);
      // The scanner keeps copies of the texts.
      ex.vw_free(list);
      texts.forEach((p) => ex.vw_free(p));
      if (this.sc === 0) throw new Error('velkor: not enough memory for a scanner');
      if (options.length !== undefined && options.length !== null &&
          ex.vw_scan_set_length(this.sc, options.length) !== 0)
        throw new RangeError('velkor: the image\'s length is not a length');
      if (options.passes) ex.vw_scan_set_passes(this.sc);
    });
    this.fed = 0;
    this.level = 0;
    this.payloadOf = null;
    this.passes = 1;
    // What the image's scanner and the payload scanners made from it found
    // and left unchecked, for the summary.
    this.family = { finds: 0, verified: 0, dropped: 0, memory: false, budget: false };
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
      if (from < 0) return null;
      this.passes++;
      return from;
    });
  }
  // The lowest offset of the image that a find still to come may cover:
  // a reader of a stream need keep no byte before it.
  get keepFrom() { return guarded(this.l, (l) => l.ex.vw_scan_keep_from(this.sc)); }
  // Candidates dropped for the memory limit (with passes, only those that
  // alone exceed it), by this scanner and the payload scanners made from
  // it and closed.
  get dropped() { return guarded(this.l, (l) => l.ex.vw_scan_dropped(this.sc)) + this.family.dropped; }
  // What kept the scan from being complete, as the command's summary says
  // it ("dropped", "memory limit", "work budget"), or null.
  get stopped() {
    const f = this.family;
    return this.dropped > 0 ? 'dropped' : f.memory ? 'memory limit' : f.budget ? 'work budget' : null;
  }
  // The fields of the command's summary record, for an image of `bytes`
  // bytes.
  summary(bytes) {
    const stopped = this.stopped;
    return { bytes, finds: this.family.finds, verified: this.family.verified, dropped: this.dropped,
             passes: this.passes, complete: stopped === null, stopped };
  }
  take(l, out) {
    const { ex, NF, NT } = l;
    const fam = this.family;
    for (;;) {
      const k = ex.vw_scan_take(this.sc, l.rec, l.txt, BATCH);
      const rec = new Float64Array(ex.memory.buffer, l.rec, k * NF);
      const txt = new Uint8Array(ex.memory.buffer, l.txt, k * NT);
      for (let i = 0; i < k; i++) {
        const r = rec.subarray(i * NF, (i + 1) * NF);
        out.push(findOf(l, r, txt.subarray(i * NT, (i + 1) * NT), this.payloadOf));
        fam.finds++;
        if (r[2] === SCAN.VERIFIED) fam.verified++;
        else if (r[2] === SCAN.OVER_MEMORY) fam.memory = true;
        else if (r[2] === SCAN.OVER_BUDGET) fam.budget = true;
      }
      if (k < BATCH) return;
    }
  }
  // A scanner of the payload of `find`, which this one handed out, or
  // null when the library gives none: the nesting limit, or no room left
  // within the work budget or the memory limit (which the summary says).
  payloadScanner(find) {
    if (!opened(find)) return null;
    return guarded(this.l, (l) => {
      const ex = l.ex;
      const sc = ex.vw_scan_payload_new(this.sc, find.offset, find.length, find.payloadOffset,
                                        find.payloadLength, find.key, l.word);
      if (sc === 0) {
        const why = new Int32Array(ex.memory.buffer, l.word, 1)[0];
        if (why === PAYLOAD.MEMORY) this.family.memory = true;
        else if (why === PAYLOAD.BUDGET) this.family.budget = true;
        else if (why !== PAYLOAD.DEPTH) throw new Error('velkor: the library refused to scan the payload');
        return null;
      }
      const sub = Object.create(Scanner.prototype);
      Object.assign(sub, { l, sc, fed: 0, level: this.level + 1, payloadOf: find.offset, passes: 1,
                           family: this.family });
      const at = l.word;
      if (ex.vw_scan_payload_source(sc, at) !== 0 || ex.vw_scan_set_passes(sc) !== 0) {
        ex.vw_scan_free(sc);
        throw new Error('velkor: the library refused to scan the payload');
      }
      const src = new Float64Array(ex.memory.buffer, at, 2);
      sub.source = { offset: src[0], length: src[1] };
      return sub;
    });
  }
  // The finds inside the payload of `find` (a container this scanner
  // handed out, opened by a key), and inside theirs, depth first: each
  // payload's finds right after its container, as { find, level } (level
  // 1 for this scanner's finds' payloads when this scans the image).
  // read(offset, length) gives the image's bytes there (a container's
  // payload is deciphered from the image's bytes), or null when they are
  // no longer at hand: that payload is then left unscanned, and the
  // summary says "memory limit".  Nothing for any other find.
  *payloadFinds(find, read) {
    const steps = walk(this, find);
    try {
      for (let s = steps.next(); !s.done;) {
        if (s.value.read) {
          s = steps.next(read(...s.value.read));
        } else {
          yield s.value;
          s = steps.next();
        }
      }
    } finally {
      steps.return();
    }
  }
  // payloadFinds() for a read() that may return a Promise (a Blob's
  // bytes, say).
  async *payloadFindsAsync(find, read) {
    const steps = walk(this, find);
    try {
      for (let s = steps.next(); !s.done;) {
        if (s.value.read) {
          s = steps.next(await read(...s.value.read));
        } else {
          yield s.value;
          s = steps.next();
        }
      }
    } finally {
      steps.return();
    }
  }
  close() {
    if (this.sc !== 0 && !this.l.dead) {
      // A payload scanner's drops count for its image.
      if (this.level > 0) this.family.dropped += this.l.ex.vw_scan_dropped(this.sc);
      this.l.ex.vw_scan_free(this.sc);
    }
    this.sc = 0;
  }
}

// The payload scan of `find` as steps: { find, level } for each find, and
// { read: [offset, length] }, answered with the image's bytes there (or
// null), whoever reads them and however.  Every pass of a payload scanner
// is fed its source from the start (a keystream cannot start midway); the
// payload's finds are scanned in turn as they come, before the scanner
// that found them is fed on, so that what it leaves them is what it has.
function* walk(parent, find) {
  const sub = parent.payloadScanner(find);
  if (sub === null) return;
  try {
    const { offset, length } = sub.source;
    const found = function* (finds) {
      for (const f of finds) {
        yield { find: f, level: sub.level };
        yield* walk(sub, f);
      }
    };
    for (;;) {
      for (let at = 0; at < length && !sub.passDone; at += CHUNK) {
        const bytes = yield { read: [offset + at, Math.min(CHUNK, length - at)] };
        if (bytes === null || bytes === undefined) {
          parent.family.memory = true;
          return;
        }
        yield* found(sub.feed(bytes));
      }
      yield* found(sub.finish());
      if (sub.nextPass() === null) return;
    }
  } finally {
    sub.close();
  }
}

// Every tagged file and container in bytes, in order of offset, and with
// a key, the finds inside each container it opens right after that
// container (options.payloads false: not).  Bytes in memory can be read
// again, so the scan runs in as many passes as the memory limit asks:
// nothing is lost.  The array's summary property holds the fields of the
// command's summary record.
export function scan(bytes, options = {}) {
  bytes = asBytes(bytes, 'the image');
  const payloads = options.payloads !== false;
  const sc = new Scanner({ ...options, length: bytes.length, passes: true });
  try {
    const finds = [];
    const read = (at, n) => bytes.subarray(at, at + n);
    const put = (list) => {
      for (const f of list) {
        finds.push(f);
        if (payloads) for (const inner of sc.payloadFinds(f, read)) finds.push(inner.find);
      }
    };
    for (let from = 0; from !== null; from = sc.nextPass()) {
      for (let at = from; at < bytes.length && !sc.passDone; at += CHUNK)
        put(sc.feed(bytes.subarray(at, Math.min(at + CHUNK, bytes.length))));
      put(sc.finish());
    }
    Object.defineProperty(finds, 'summary', { value: sc.summary(bytes.length) });
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

// The bytes of a stream that a container's payload scan may still need:
// from where the scanner says a find to come may start, but never more
// than `room` bytes before the newest chunk's end.  The newest chunk is
// held as the source gave it until the next is asked for, then copied
// (as far as it is needed), so a source may reuse its buffers.
class KeptBytes {
  constructor(room) {
    this.room = room;
    this.pieces = []; // { at, bytes }, in order, without gaps
  }
  add(at, bytes) { this.pieces.push({ at, bytes }); }
  settle(keepFrom, end) {
    const from = Math.max(keepFrom, end - this.room);
    this.pieces = this.pieces.filter((p) => p.at + p.bytes.length > from);
    this.pieces = this.pieces.map((p, i) => {
      const cut = Math.max(0, from - p.at);
      // The newest piece is the source's; the others are copies already.
      if (i === this.pieces.length - 1) return { at: p.at + cut, bytes: p.bytes.slice(cut) };
      return cut > 0 ? { at: p.at + cut, bytes: p.bytes.subarray(cut) } : p;
    });
  }
  // The bytes at..at+n, or null when some are no longer kept.
  read(at, n) {
    const first = this.pieces.findIndex((p) => p.at <= at && at < p.at + p.bytes.length);
    if (first < 0) return null;
    const p = this.pieces[first];
    if (at + n <= p.at + p.bytes.length) return p.bytes.subarray(at - p.at, at - p.at + n);
    const out = new Uint8Array(n);
    let got = 0;
    for (let i = first; i < this.pieces.length && got < n; i++) {
      const q = this.pieces[i];
      const part = q.bytes.subarray(at + got - q.at, Math.min(q.bytes.length, at + n - q.at));
      out.set(part, got);
      got += part.length;
    }
    return got === n ? out : null;
  }
}

// The finds of a stream, as they become certain, in bounded memory: the
// scanner holds what pending candidates need (the memory limit), and each
// chunk is let go once scanned, but for the bytes a container's payload
// scan may still need (at most payloadMemory, 64 MiB by default).  A
// stream cannot be read again, so a candidate dropped at the memory limit
// is lost, as in `velkor scan` of a pipe, and so is the payload scan of a
// container whose bytes were let go: summary (once the iteration has
// ended) counts the first in dropped and says stopped: "memory limit" for
// the second, complete: false for either.
const PAYLOAD_MEMORY = 64 << 20;
class ScanStream {
  constructor(source, options) {
    this.summary = null;
    const room = options.payloadMemory ?? PAYLOAD_MEMORY;
    if (typeof room !== 'number' || !(room >= 0)) throw new RangeError('velkor: payloadMemory is a number of bytes');
    this.it = this.run(source, options, room);
  }
  async *run(source, options, room) {
    const sc = new Scanner({ ...options, length: undefined, passes: false });
    const kept = options.payloads !== false && keyList(options.key).length > 0 ? new KeptBytes(room) : null;
    const read = (at, n) => kept.read(at, n);
    let bytes = 0;
    const found = function* (finds) {
      for (const f of finds) {
        yield f;
        if (kept) for (const inner of sc.payloadFinds(f, read)) yield inner.find;
      }
    };
    try {
      for await (const chunk of chunksOf(source)) {
        if (typeof chunk === 'string') throw new TypeError('velkor: scanStream reads bytes, not strings');
        const b = asBytes(chunk, 'a chunk');
        const finds = sc.feed(b);
        kept?.add(bytes, b);
        bytes += b.length;
        yield* found(finds);
        kept?.settle(sc.keepFrom, bytes);
      }
      yield* found(sc.finish());
      this.summary = sc.summary(bytes);
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

// ---- Findings as files: JSON lines and CSV ----------------------------------------

// The columns of a find, in the command's order, with their names there.
const COLUMNS = FIND_FIELDS.map(([name]) => [name, name.replace(/[A-Z]/g, (c) => '_' + c.toLowerCase())]);
const unhex = (h) => Uint8Array.from(h.match(/../g) ?? [], (x) => parseInt(x, 16));
const utf8 = new TextDecoder('utf-8', { fatal: true });

// The image's name as the command writes it: its text, and its bytes in
// hex when they are not UTF-8 (else null).  A string is UTF-8.
function imageName(image) {
  if (typeof image === 'string') return { text: image, json: jsonString(image), hex: null };
  const b = asBytes(image, 'the image\'s name');
  let valid = true;
  try { utf8.decode(b); } catch { valid = false; }
  const json = jsonString(b);
  return { text: JSON.parse(json), json, hex: valid ? null : hex(b) };
}

// The finds as `velkor scan --all --json` prints them for an image named
// `image` (a string, or its bytes): one object a line, each string by the
// command's own JSON rule, then the summary record (summary, or the
// finds' own summary property; none when neither).
export function findingsJson(finds, image, summary = finds.summary) {
  const name = imageName(image);
  const head = `{"image":${name.json}${name.hex === null ? '' : `,"image_bytes":"${name.hex}"`}`;
  const strings = new Map();
  // Each text through the command's rule once: a scan may list a label
  // many times.
  const str = (text, key) => {
    if (!strings.has(key)) strings.set(key, jsonString(text));
    return strings.get(key);
  };
  const value = (f, name) => {
    const v = f[name];
    if (v === null) return 'null';
    switch (name) {
    case 'label': return str(unhex(f.labelHex), 'x' + f.labelHex);
    case 'sublabel': return str(unhex(f.sublabelHex), 'x' + f.sublabelHex);
    case 'kind': case 'reason': case 'magic': case 'labelHex': case 'sublabelHex': return str(v, 's' + v);
    }
    return String(v);
  };
  const lines = [];
  for (const f of finds) {
    let o = head;
    for (const [name, snake] of COLUMNS) if (name in f) o += `,"${snake}":${value(f, name)}`;
    lines.push(o + '}\n');
  }
  if (summary) {
    const s = summary;
    lines.push(`${head},"kind":"summary","bytes":${s.bytes},"finds":${s.finds},"verified":${s.verified},` +
               `"dropped":${s.dropped},"passes":${s.passes},"complete":${s.complete},` +
               `"stopped":${s.stopped === null || s.stopped === undefined ? 'null' : jsonString(s.stopped)}}\n`);
  }
  return lines.join('');
}

// The finds as `velkor scan --csv` writes them for an image named `image`:
// RFC 4180 with CRLF line ends, a header row, one row a find.  Empty cells
// for what is null or absent; texts as the JSON strings' values; a cell
// that a spreadsheet would run as a formula (starting with =, +, -, @, TAB
// or CR) gets a leading ', and a cell holding ", CR or LF is quoted.
export function findingsCsv(finds, image) {
  const name = imageName(image);
  const cell = (v) => {
    if (v === null || v === undefined) return '';
    let t = String(v);
    if (/^[=+\-@\t\r]/.test(t)) t = "'" + t;
    return /[",\r\n]/.test(t) ? `"${t.replaceAll('"', '""')}"` : t;
  };
  const rows = [['image', 'image_bytes', ...COLUMNS.map(([, snake]) => snake)].join(',')];
  const lead = cell(name.text) + ',' + cell(name.hex);
  for (const f of finds) rows.push(lead + ',' + COLUMNS.map(([n]) => cell(f[n])).join(','));
  return rows.join('\r\n') + '\r\n';
}
