// SPDX-License-Identifier: MIT
// A small consumer of the package, type-checked by tsc --strict --noEmit:
// the declarations cover what a user calls, and reject what they must.
import { check, crc, csum, pack, scan, scanStream, tag, unpack, Scanner, type Find, type ScanSummary } from 'velkor';

const bytes: Uint8Array = new TextEncoder().encode('abc');
const n: number = crc(bytes) ^ csum(0, bytes);
const tagged: Uint8Array = tag(bytes);
const r = check(tagged);
const why: string | null = r.reason;
const stored: number | null = r.storedCrc;
const box = pack(bytes, { key: 'k', label: 'label', sublabel: 's', magic: 'asar1', dataSized: true });
const { payload, label } = unpack(box, { key: 'k', dataSized: true });
const finds = scan(tagged, { key: 'k' });
const first: Find | undefined = finds[0];
const inside: number | null = first ? first.inside : null;
const summary: ScanSummary = finds.summary;

async function stream(source: ReadableStream<Uint8Array>): Promise<number> {
  const s = scanStream(source, { key: 'k' });
  let count = 0;
  for await (const f of s) if (f.kind === 'container' && f.label !== undefined) count++;
  return count + (s.summary?.dropped ?? 0);
}

const sc = new Scanner({ length: 100, passes: true });
const more: Find[] = sc.feed(bytes);
const from: number | null = sc.nextPass();
sc.close();

// The declared shapes, exactly: a field widened or dropped fails here.
type Same<A, B> = [A] extends [B] ? ([B] extends [A] ? true : false) : false;
const kindExact: Same<Find['kind'], 'tagged' | 'container'> = true;
const reasonExact: Same<Find['reason'], string | null> = true;
const insideExact: Same<Find['inside'], number | null> = true;
const checkExact: Same<ReturnType<typeof check>,
  { ok: boolean; reason: string | null; length: number; storedCrc: number | null; computedCrc: number | null }> = true;
const summaryExact: Same<keyof ScanSummary, 'bytes' | 'finds' | 'verified' | 'dropped' | 'passes' | 'complete'> = true;
const streamed: Same<Awaited<ReturnType<ReturnType<typeof scanStream>['next']>>, IteratorResult<Find, any>> = true;

// @ts-expect-error pack needs a label
pack(bytes, { key: 'k' });
// @ts-expect-error the magic is one of two
pack(bytes, { key: 'k', label: 'l', magic: 'other' });
// @ts-expect-error a find's kind is one of two
const k: 'other' = first!.kind;

export { n, why, stored, payload, label, inside, summary, stream, more, from, k, kindExact, reasonExact, insideExact,
         checkExact, summaryExact, streamed };
