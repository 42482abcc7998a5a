// SPDX-License-Identifier: MIT
// The package against the native command (VELKOR_CLI): `velkor check
// --json` and `velkor scan --all --json` on the same files, made by the
// command itself.  The command's snake_case names are mapped to the
// package's camelCase mechanically, so a field that one side gains and the
// other lacks fails here.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { Readable } from 'node:stream';
import test from 'node:test';
import * as velkor from 'velkor';

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

function noise(n, seed) {
  const out = Buffer.alloc(n);
  let x = seed >>> 0 || 1;
  for (let i = 0; i < n; i++) {
    x ^= x << 13; x >>>= 0; x ^= x >>> 17; x ^= x << 5; x >>>= 0;
    out[i] = x & 0xFF;
  }
  return out;
}

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
    const want = without(camel(records('check', '--json', name)[0]), 'name');
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
      const options = { key, ...option };
      const finds = velkor.scan(planted, options);
      assert.deepEqual([...finds], want, `${what}: scan`);
      assert.deepEqual(finds.summary, without(summary, 'image', 'kind'), `${what}: scan's summary`);
      const s = velkor.scanStream(fs.createReadStream(at('image.bin'), { highWaterMark: 40000 }), options);
      const streamed = [];
      for await (const f of s) streamed.push(f);
      assert.deepEqual(streamed, want, `${what}: scanStream over a file's stream`);
    }
  }
});

test('scanStream agrees with velkor scan of a pipe', { skip }, async () => {
  const piped = execFileSync('bash', ['-c', `"$0" scan --all --json -k "$1" - < image.bin || true`, cli, KEY],
                             { cwd: dir, encoding: 'utf8' }).split('\n').filter(Boolean).map((l) => JSON.parse(l));
  const summary = piped.pop();
  const s = velkor.scanStream(Readable.from([planted]), { key: KEY });
  const got = [];
  for await (const f of s) got.push(f);
  assert.deepEqual(got, piped.map((r) => without(camel(r), 'image')));
  assert.deepEqual(s.summary, without(summary, 'image', 'kind'));
});
