// SPDX-License-Identifier: MIT
// A small consumer of the package, type-checked by tsc --strict --noEmit:
// the declarations cover what a user calls, and reject what they must.
import { check, crc, csum, findingsCsv, findingsJson, pack, scan, scanStream, tag, unpack, Scanner, type Find,
         type PayloadFind, type ScanSummary } from 'velkor';

const bytes: Uint8Array = new TextEncoder().encode('abc');
const n: number = crc(bytes) ^ csum(0, bytes);
const tagged: Uint8Array = tag(bytes);
const r = check(tagged);
const why: string | null = r.reason;
const stored: number | null = r.storedCrc;
const box = pack(bytes, { key: 'k', label: 'label', sublabel: 's', magic: 'asar1', dataSized: true });
const { payload, label, key: opener } = unpack(box, { key: ['j', 'k'], dataSized: true });
const openerNumber: number = opener;
const finds = scan(tagged, { key: ['k', new Uint8Array([1, 2])], payloads: false });
const csv: string = findingsCsv(finds, 'image.bin') + findingsJson(finds, new Uint8Array([0x61]), finds.summary);
const first: Find | undefined = finds[0];
const inside: number | null = first ? first.inside : null;
const summary: ScanSummary = finds.summary;

async function stream(source: ReadableStream<Uint8Array>): Promise<number> {
  const s = scanStream(source, { key: 'k', payloadMemory: 1 << 20 });
  let count = 0;
  for await (const f of s) if (f.kind === 'container' && f.label !== undefined) count++;
  return count + (s.summary?.dropped ?? 0);
}

const sc = new Scanner({ length: 100, passes: true, key: 'k' });
const more: Find[] = sc.feed(bytes);
const nested: PayloadFind[] = first ? [...sc.payloadFinds(first, (at, n) => bytes.subarray(at, at + n))] : [];
const where: number | null = nested[0]?.find.payloadOf ?? null;
const from: number | null = sc.nextPass();
sc.close();

// The declared shapes, exactly: a field widened or dropped fails here.
type Same<A, B> = [A] extends [B] ? ([B] extends [A] ? true : false) : false;
const kindExact: Same<Find['kind'], 'tagged' | 'container'> = true;
const reasonExact: Same<Find['reason'], string | null> = true;
const insideExact: Same<Find['inside'], number | null> = true;
const checkExact: Same<ReturnType<typeof check>,
  { ok: boolean; reason: string | null; length: number; storedCrc: number | null; computedCrc: number | null }> = true;
const summaryExact: Same<keyof ScanSummary, 'bytes' | 'finds' | 'verified' | 'dropped' | 'passes' | 'complete' | 'stopped'> = true;
const verifiedExact: Same<Find['verified'], boolean | null> = true;
const keyExact: Same<Find['key'], number | null | undefined> = true;
const payloadOfExact: Same<Find['payloadOf'], number | null> = true;
const streamed: Same<Awaited<ReturnType<ReturnType<typeof scanStream>['next']>>, IteratorResult<Find, any>> = true;

// @ts-expect-error pack needs a label
pack(bytes, { key: 'k' });
// @ts-expect-error the magic is one of two
pack(bytes, { key: 'k', label: 'l', magic: 'other' });
// @ts-expect-error a key list holds texts
scan(bytes, { key: ['k', 1] });
// @ts-expect-error a find's kind is one of two
const k: 'other' = first!.kind;

export { n, why, stored, payload, label, openerNumber, csv, nested, where, verifiedExact, keyExact, payloadOfExact, inside, summary, stream, more, from, k, kindExact, reasonExact, insideExact,
         checkExact, summaryExact, streamed };
