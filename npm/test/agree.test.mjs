// SPDX-License-Identifier: MIT
// The package against the native command (VELKOR_CLI): `velkor check
// --json` and `velkor scan --all --json` (and --csv) on the same files,
// made by the command itself.  The command's snake_case names are mapped
// to the package's camelCase mechanically, so a field that one side gains
// and the other lacks fails here.
//
// A command built before several keys, payload scans and CSV has none of
// their options: the comparisons that need one are skipped, saying which,
// and the others take the package's finds without what such a command
// does not print (payloadOf, key, damagedTexts; no payload scans).  Once
// the command has them, everything is compared as it comes.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { Readable } from 'node:stream';
import test from 'node:test';
import * as velkor from 'velkor';
import { noise } from './bytes.mjs';

const cli = process.env.VELKOR_CLI;
const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'velkor-npm-'));
test.after(() => fs.rmSync(dir, { recursive: true, force: true }));
const at = (name) => path.join(dir, name);

// The command's standard output, whatever its status (a damaged file
// prints its findings and exits non-zero).
function run(...args) {
  try {
    return execFileSync(cli, args, { cwd: dir, encoding: 'utf8', stdio: ['ignore', 'pipe', 'ignore'], maxBuffer: 1 << 28 });
  } catch (e) {
    if (typeof e.stdout !== 'string') throw e;
    return e.stdout;
  }
}
const records = (...args) => run(...args).split('\n').filter(Boolean).map((l) => JSON.parse(l));
const camel = (o) => Object.fromEntries(Object.entries(o).map(([k, v]) => [k.replace(/_(.)/g, (m, c) => c.toUpperCase()), v]));
const without = (o, ...keys) => Object.fromEntries(Object.entries(o).filter(([k]) => !keys.includes(k)));


// The planted image: tagged files and containers made by the command,
// nested, damaged, with labels in and out of UTF-8, one cut off at the end.
const KEY = 'correct horse';
const planted = (() => {
  if (!cli) return null;
  const put = (name, bytes) => fs.writeFileSync(at(name), bytes);
  const get = (name) => fs.readFileSync(at(name));
  put('a.bin', noise(70000, 1));
  run('tag', 'a.bin', 'a.bgn');
  run('pack', '-k', KEY, '-l', 'Grüße', '-s', 'é', '-p', '0x41', 'a.bgn', 'a.vc');
  run('pack', '-k', KEY, '-l', 'sized', '-m', 'asar1', '--data-sized', 'a.bin', 'sized.vc');
  execFileSync('bash', ['-c', `"$0" pack -k "$1" -l "$(printf 'a\\xff\\x1bc')" -s "$(printf '\\xc3')" a.bin odd.vc`, cli, KEY], { cwd: dir });
  put('outer.bin', Buffer.concat([noise(3000, 2), get('a.vc'), noise(2000, 3)]));
  run('tag', 'outer.bin', 'outer.bgn');
  const broken = Buffer.from(get('a.bgn'));
  broken[5000] ^= 0x20;
  const image = Buffer.concat([noise(1 << 20, 4), get('outer.bgn'), noise(300000, 5), get('sized.vc'), noise(4000, 6),
                               broken, noise(123457, 7), get('odd.vc'), noise(50000, 8), get('a.bgn').subarray(0, 30000)]);
  put('image.bin', image);
  return image;
})();

const skip = cli ? false : 'VELKOR_CLI names no native velkor';

// What the command can do, from its own usage text.
const usage = cli ? run('scan', '--help') : '';
const lacks = (option) => (!cli ? skip : usage.includes(option) ? false : `velkor scan has no ${option} yet`);
// The package's finds as a command that prints no key numbers and scans
// no payloads shows them: the command's first record tells.
function asCommand(finds, records) {
  if (records.length === 0 || 'payload_of' in records[0]) return [...finds];
  return finds.map((f) => without(f, 'payloadOf', 'key', 'damagedTexts'));
}
const oldCommand = (records) => records.length > 0 && !('payload_of' in records[0]);
// `velkor check`'s hex, lower case as everywhere once the command is: a
// command that still prints upper case is compared as if it did not.
const lowerHex = (r) => (r.reason ? { ...r, reason: r.reason.replace(/0x[0-9A-F]+/g, (h) => h.toLowerCase()) } : r);

test('check agrees with velkor check --json', { skip }, () => {
  const good = fs.readFileSync(at('a.bgn'));
  const flip = (i, bit) => { const b = Buffer.from(good); b[i] ^= bit; return b; };
  const files = {
    'good.bgn': good, 'crc.bgn': flip(40000, 1), 'field.bgn': flip(17, 0x80), 'format.bgn': flip(11, 2),
    'length.bgn': flip(13, 4), 'cut.bgn': good.subarray(0, good.length - 1), 'long.bgn': Buffer.concat([good, Buffer.of(0)]),
    'short.bgn': good.subarray(0, 19), 'empty.bgn': Buffer.alloc(0), 'other.bin': noise(100, 9),
  };
  for (const [name, bytes] of Object.entries(files)) {
    fs.writeFileSync(at(name), bytes);
    const want = lowerHex(without(camel(records('check', '--json', name)[0]), 'name'));
    assert.deepEqual(velkor.check(bytes), want, name);
  }
});

test('scan and scanStream agree with velkor scan --all --json on a planted image', { skip }, async () => {
  for (const key of [null, KEY, 'not the key']) {
    const args = key === null ? [] : ['-k', key];
    const sized = key === null ? [[], {}] : [['--data-sized'], { dataSized: true }];
    for (const [extra, option] of [[[], {}], sized]) {
      const what = `key ${key}${option.dataSized ? ', data-sized' : ''}`;
      const all = records('scan', '--all', '--json', ...args, ...extra, 'image.bin');
      const summary = all.pop();
      assert.equal(summary.kind, 'summary');
      const want = all.map((r) => without(camel(r), 'image'));
      assert.ok(want.length >= 6, `${what}: the planted finds are found`);
      // The payload scans of a command that has none are left out.
      const options = { key, ...option, ...(oldCommand(all) ? { payloads: false } : {}) };
      const finds = velkor.scan(planted, options);
      assert.deepEqual(asCommand(finds, all), want, `${what}: scan`);
      assert.deepEqual(finds.summary, without(summary, 'image', 'kind'), `${what}: scan's summary`);
      const s = velkor.scanStream(fs.createReadStream(at('image.bin'), { highWaterMark: 40000 }), options);
      const streamed = [];
      for await (const f of s) streamed.push(f);
      assert.deepEqual(asCommand(streamed, all), want, `${what}: scanStream over a file's stream`);
    }
  }
});

test('scanStream agrees with velkor scan of a pipe', { skip }, async () => {
  const piped = execFileSync('bash', ['-c', `"$0" scan --all --json -k "$1" - < image.bin || true`, cli, KEY],
                             { cwd: dir, encoding: 'utf8' }).split('\n').filter(Boolean).map((l) => JSON.parse(l));
  const summary = piped.pop();
  // A stream's payloads are scanned from the bytes kept, as the command
  // scans a pipe's.
  const s = velkor.scanStream(Readable.from([planted]), { key: KEY, ...(oldCommand(piped) ? { payloads: false } : {}) });
  const got = [];
  for await (const f of s) got.push(f);
  assert.deepEqual(asCommand(got, piped), piped.map((r) => without(camel(r), 'image')));
  assert.deepEqual(s.summary, without(summary, 'image', 'kind'));
});

// ---- Several keys, payloads, damaged texts, bounds, CSV -----------------------

// Two keys' containers, made by the command: one holding a tagged file
// that holds a container under the other key, one damaged (its texts
// still decipher), one with a label a spreadsheet would run.
const KEY2 = 'battery staple';
const keyed = (() => {
  if (!cli) return null;
  const put = (name, bytes) => fs.writeFileSync(at(name), bytes);
  const get = (name) => fs.readFileSync(at(name));
  put('k.bin', noise(9000, 21));
  run('tag', 'k.bin', 'k.bgn');
  run('pack', '-k', KEY2, '-l', '=HYPERLINK("x")', '-s', '+1', 'k.bgn', 'k2.vc');
  put('holder.bin', Buffer.concat([noise(333, 22), get('k2.vc'), noise(444, 23)]));
  run('tag', 'holder.bin', 'holder.bgn');
  run('pack', '-k', KEY, '-l', 'outer, "quoted"', '-s', 'o', 'holder.bgn', 'k1.vc');
  const damaged = Buffer.from(get('k2.vc'));
  damaged[damaged.length - 100] ^= 0x08;
  const image = Buffer.concat([noise(70000, 24), get('k1.vc'), noise(5000, 25), damaged, noise(3000, 26), get('k2.vc'),
                               noise(1000, 27)]);
  put('keyed.bin', image);
  fs.writeFileSync(at('keys.txt'), `${KEY}\r\n\n${KEY2}\n`);
  return image;
})();

test('several keys, payloads and damaged texts agree with velkor scan --json, -k twice and --keys', { skip: lacks('--keys') }, () => {
  const finds = velkor.scan(keyed, { key: [KEY, KEY2] });
  // What the comparison rests on: key numbers, payload finds two deep,
  // texts of a damaged container.
  assert.deepEqual(finds.map((f) => [f.kind, f.payloadOf === null ? 0 : 1, f.key ?? null, f.damagedTexts ?? false]), [
    ['container', 0, 1, false], ['tagged', 1, null, false], ['container', 1, 2, false], ['tagged', 1, null, false],
    ['container', 0, 2, true], ['container', 0, 2, false], ['tagged', 1, null, false],
  ]);
  for (const args of [['-k', KEY, '-k', KEY2], ['--keys', 'keys.txt']]) {
    const out = run('scan', '--all', '--json', ...args, 'keyed.bin');
    assert.equal(velkor.findingsJson(finds, 'keyed.bin'), out, `${args.join(' ')}: byte for byte`);
  }
  const order = records('scan', '--all', '--json', '-k', KEY2, '-k', KEY, 'keyed.bin');
  assert.deepEqual(velkor.scan(keyed, { key: [KEY2, KEY] }).map((f) => f.key ?? null),
                   order.slice(0, -1).map((r) => r.key ?? null), 'the keys numbered in the order given');
});

test('--no-payloads agrees with payloads: false', { skip: lacks('--no-payloads') }, () => {
  const out = run('scan', '--all', '--json', '--no-payloads', '-k', KEY, '-k', KEY2, 'keyed.bin');
  assert.equal(velkor.findingsJson(velkor.scan(keyed, { key: [KEY, KEY2], payloads: false }), 'keyed.bin'), out);
});

test('--csv agrees with findingsCsv, byte for byte', { skip: lacks('--csv') }, () => {
  for (const [args, key] of [[[], null], [['-k', KEY, '-k', KEY2], [KEY, KEY2]]]) {
    for (const name of ['keyed.bin', 'image.bin']) {
      const out = run('scan', '--all', '--csv', ...args, name);
      const finds = velkor.scan(fs.readFileSync(at(name)), { key });
      assert.equal(velkor.findingsCsv(finds, name), out, `${name} ${args.join(' ')}`);
    }
  }
});

test('--memory-limit: a find over it reported unchecked, as the package reports it', { skip: lacks('--memory-limit') }, () => {
  fs.writeFileSync(at('big.bin'), noise(200000, 28));
  run('pack', '-k', KEY, '-l', 'big', '--data-sized', 'big.bin', 'big.vc');
  fs.writeFileSync(at('bigimage.bin'), Buffer.concat([noise(1000, 29), fs.readFileSync(at('big.vc')), noise(1000, 30)]));
  const image = fs.readFileSync(at('bigimage.bin'));
  for (const [limit, bytes] of [['100K', 100 << 10], ['1M', 1 << 20]]) {
    const out = run('scan', '--all', '--json', '--data-sized', '--memory-limit', limit, '-k', KEY, 'bigimage.bin');
    // What a find needs counts the scanner's own records, whose size
    // follows the pointer's: 32-bit WebAssembly needs less than the
    // native command.
    const needs = (t) => t.replace(/"needs \d+ bytes,/g, '"needs N bytes,');
    assert.equal(needs(velkor.findingsJson(velkor.scan(image, { key: KEY, dataSized: true, memoryLimit: bytes }),
                                           'bigimage.bin')),
                 needs(out), `--memory-limit ${limit}`);
    assert.match(out, limit === '100K' ? /"needs \d+ bytes, over the memory limit"/ : /"verified":true/);
  }
});
