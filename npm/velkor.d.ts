// SPDX-License-Identifier: MIT
// Types of the velkor package (velkor.js, velkor-node.js).

/** Bytes: a Uint8Array (a Node Buffer is one), an ArrayBuffer or any typed array. */
export type Bytes = Uint8Array | ArrayBuffer | ArrayBufferView;
/** A text: a string, taken as UTF-8, or its bytes. */
export type Text = string | Bytes;
/** One key, or several, tried in order and numbered from 1. */
export type Keys = Text | readonly Text[];

/** `velkor_crc` of the bytes: the first number POSIX cksum prints. */
export function crc(bytes: Bytes): number;
/** `velkor_csum(initial, bytes)`: the containers' checksum register. */
export function csum(initial: number, bytes: Bytes): number;
/** The tagged file of a payload: the 20-byte header, then the payload. */
export function tag(bytes: Bytes): Uint8Array;

/** The fields of `velkor check --json`, in camelCase. */
export interface CheckResult {
  ok: boolean;
  /** Why the file is refused, in the command's words; null when sound. */
  reason: string | null;
  length: number;
  storedCrc: number | null;
  computedCrc: number | null;
}
/** Checks a tagged file: the length its header records and its CRC. */
export function check(bytes: Bytes): CheckResult;

export interface PackOptions {
  /** 0 to 254 bytes, no NUL. */
  key: Text;
  /** At most 31 bytes, no NUL. */
  label: Text;
  /** At most 7 bytes, no NUL; default empty. */
  sublabel?: Text;
  /** Default "start". */
  magic?: 'start' | 'asar1';
  /** The first byte of the label's key, 0 to 255; default 0. */
  prefix?: number;
  /** Tables as long as each field (default false: 256 entries). */
  dataSized?: boolean;
}
/** A container of the payload. */
export function pack(payload: Bytes, options: PackOptions): Uint8Array;

export interface UnpackOptions {
  /** The keys are tried in order: the first that opens the container is used. */
  key: Keys;
  dataSized?: boolean;
}
export interface Unpacked {
  payload: Uint8Array;
  /** The label as a JSON reader reads `velkor info --json`'s: bytes that are not UTF-8 are U+FFFD. */
  label: string;
  sublabel: string;
  magic: string;
  /** The label's and sublabel's exact bytes. */
  labelBytes: Uint8Array;
  sublabelBytes: Uint8Array;
  /** The number of the key that opened it, 1 for the first. */
  key: number;
}
/** Opens a container; throws an Error with the reason when it does not open. */
export function unpack(container: Bytes, options: UnpackOptions): Unpacked;

export interface ScanOptions {
  /** Each 1 to 254 bytes, no NUL, at most 64: containers are deciphered and checked, with each key in turn. */
  key?: Keys | null;
  dataSized?: boolean;
  /** Bytes for pending candidates; default (0) 16 MiB. */
  memoryLimit?: number;
  /** Scan the payload of every container a key opens, depth first (default true). */
  payloads?: boolean;
}

export interface ScanStreamOptions extends ScanOptions {
  /**
   * Bytes of the stream kept for the payload scans of containers found
   * later (default 64 MiB): a container whose bytes were let go is listed,
   * its payload not scanned, and the summary says "memory limit".
   */
  payloadMemory?: number;
}

/** A find: the fields of `velkor scan --json` (less `image`), in camelCase. */
export interface Find {
  offset: number;
  kind: 'tagged' | 'container';
  length: number;
  payloadOffset: number;
  payloadLength: number;
  /** null: not checked, for the memory limit or the work budget (reason says which). */
  verified: boolean | null;
  /**
   * The verdict in words when not verified: "no key", "CRC mismatch", "truncated",
   * "wrong key or damaged", "needs N bytes, over the memory limit", "over the work budget".
   */
  reason: string | null;
  /** The offset of the innermost verified find around this one. */
  inside: number | null;
  /**
   * null for a find in the image itself; for a find inside a deciphered
   * payload, the offset of the innermost container around it, as that
   * container's own find gives it.  Such a find's offset, payloadOffset
   * and inside count from that payload's start.
   */
  payloadOf: number | null;
  /** Containers only. */
  magic?: string;
  keyPrefix?: number;
  /** Containers only: the number of the key that opened it, or whose texts it shows; never the key. */
  key?: number | null;
  /** Containers whose label and sublabel a key deciphered. */
  label?: string;
  labelHex?: string;
  sublabel?: string;
  sublabelHex?: string;
  /** The texts are those of a container whose payload's checksum failed. */
  damagedTexts?: true;
}

/** The fields of the summary record of `velkor scan --json`. */
export interface ScanSummary {
  bytes: number;
  finds: number;
  verified: number;
  /** Candidates dropped at the memory limit, never reported. */
  dropped: number;
  passes: number;
  complete: boolean;
  /** What kept the scan from being complete, or null. */
  stopped: 'dropped' | 'memory limit' | 'work budget' | null;
}

/** Every tagged file and container in the bytes, in order of offset. */
export function scan(bytes: Bytes, options?: ScanOptions): Find[] & { readonly summary: ScanSummary };

/** Chunks of bytes, as scanStream reads them. */
export type ByteSource =
  | ReadableStream<Uint8Array>
  | AsyncIterable<Bytes>
  | Iterable<Bytes>;

/** The finds of a stream, in bounded memory; summary is set once the iteration has ended. */
export interface ScanStream extends AsyncIterableIterator<Find> {
  readonly summary: ScanSummary | null;
}
export function scanStream(source: ByteSource, options?: ScanStreamOptions): ScanStream;

/** The finds as `velkor scan --all --json` prints them for the image named so: JSON lines, then the summary. */
export function findingsJson(finds: readonly Find[], image: Text, summary?: ScanSummary | null): string;
/** The finds as `velkor scan --csv` writes them for the image named so: a header row, then a row a find, CRLF. */
export function findingsCsv(finds: readonly Find[], image: Text): string;

/** The CRC of bytes fed in pieces. */
export class Crc {
  constructor();
  update(bytes: Bytes): this;
  readonly value: number;
  /** The header of the tagged file whose payload is what was fed. */
  tagHeader(): Uint8Array;
  close(): void;
}

/** A tagged file checked as it is read: header, payload in pieces, finish(). */
export class TagCheck {
  constructor(head: Bytes, length: number);
  /** The library's velkor_tag_reason: 0 sound, 1 short, 2 no magic, 3 wrong format, 4 wrong length, 5 CRC mismatch. */
  readonly reason: number;
  readonly tagged: boolean;
  readonly headerLength: number;
  readonly format: number;
  readonly storedLength: number;
  readonly storedCrc: number;
  readonly computedCrc: number | null;
  update(payload: Bytes): this;
  finish(): this;
  close(): void;
  /** The reason as `velkor check` words it; null when sound. */
  words(): string | null;
}

export interface ReaderOptions {
  key?: Text | null;
  dataSized?: boolean;
}
/** A container read in pieces: header, payload(), finish(trailer). */
export class ContainerReader {
  constructor(head: Bytes, length: number, options?: ReaderOptions);
  /** The library's enc_reason: 0 when sound so far. */
  readonly reason: number;
  readonly message: string;
  readonly container: boolean;
  /** A sound layout whose texts the key does not decipher (a wrong key). */
  readonly notOpened: boolean;
  readonly keyed: boolean;
  readonly magic: string;
  readonly keyPrefix: number;
  readonly labelLength: number;
  readonly sublabelLength: number;
  readonly dataLength: number;
  readonly headerLength: number;
  readonly remaining: number;
  readonly labelBytes?: Uint8Array;
  readonly sublabelBytes?: Uint8Array;
  readonly checksum?: number;
  payload(bytes: Bytes): Uint8Array;
  finish(trailer: Bytes): this;
  close(): void;
}

export interface ScannerOptions extends ScanOptions {
  /** The image's length, when known. */
  length?: number;
  /** The image can be read again: see nextPass(). */
  passes?: boolean;
}
/** A find inside a payload, and how many payloads deep it lies (1: in a container of the image). */
export interface PayloadFind {
  find: Find;
  level: number;
}
/** A scanner fed an image in pieces. */
export class Scanner {
  constructor(options?: ScannerOptions);
  feed(bytes: Bytes): Find[];
  finish(): Find[];
  readonly passDone: boolean;
  nextPass(): number | null;
  /** The lowest offset a find still to come may cover. */
  readonly keepFrom: number;
  readonly dropped: number;
  readonly stopped: ScanSummary['stopped'];
  /** The summary record of the scan so far, for an image of so many bytes. */
  summary(bytes: number): ScanSummary;
  /**
   * The finds inside the payload of a container this scanner handed out
   * and a key opened, depth first; read gives the image's bytes (null when
   * no longer at hand).  Nothing for any other find.
   */
  payloadFinds(find: Find, read: (offset: number, length: number) => Uint8Array | null): Generator<PayloadFind, void, void>;
  payloadFindsAsync(find: Find,
    read: (offset: number, length: number) => Uint8Array | null | Promise<Uint8Array | null>): AsyncGenerator<PayloadFind, void, void>;
  close(): void;
}

/** Bytes as `velkor info` shows a label: \xNN for bytes that are not UTF-8 text. */
export function plainText(bytes: Text): string;
/** Bytes as a JSON string, quotes included, as `velkor scan --json` writes it. */
export function jsonString(bytes: Text): string;
