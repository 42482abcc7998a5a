// SPDX-License-Identifier: MIT
// The page in a real browser: files dropped, picked and chosen from the
// keyboard, the page used without a mouse (focus moves, what is said, the
// buttons' names), a kept key, cancelled scans, a 320 px screen, what it
// shows held against `velkor info` and `velkor scan`,
// every saved file and the findings compared byte for byte, the worker
// held to the page's content security policy, and every request checked
// to stay on the page's own origin.  The page is served as its README says,
// by python3's http.server.  Screenshots of each view go to OUT/screenshots.
//
//   [ONLY=REGEX] node page_test.mjs SITE_DIR VELKOR OUT_DIR
import puppeteer from 'puppeteer-core';
import { execFileSync, spawn } from 'node:child_process';
import crypto from 'node:crypto';
import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';

const [site, velkor, out] = process.argv.slice(2).map((p) => path.resolve(p));
if (!out) {
  console.error('usage: node page_test.mjs SITE_DIR VELKOR OUT_DIR');
  process.exit(2);
}
const files = path.join(out, 'files');
const downloads = path.join(out, 'downloads');
const shots = path.join(out, 'screenshots');
for (const d of [files, downloads, shots]) {
  fs.rmSync(d, { recursive: true, force: true });
  fs.mkdirSync(d, { recursive: true });
}

let failures = 0;
// One behaviour's checks: a step that throws fails it, and the next
// behaviour is checked all the same.  ONLY=REGEX in the environment runs
// only the behaviours whose names match.
const only = process.env.ONLY ? new RegExp(process.env.ONLY) : null;
async function section(name, fn) {
  if (only && !only.test(name)) return;
  try {
    await fn();
  } catch (e) {
    failures++;
    console.log(`FAILED: ${name}: ${String(e.message).split('\n')[0]}`);
  }
}
function check(ok, what, detail = '') {
  if (ok) {
    console.log(`ok: ${what}`);
  } else {
    failures++;
    console.log(`FAILED: ${what}${detail ? `\n    ${String(detail).slice(0, 2000)}` : ''}`);
  }
}
const same = (a, b, what) => check(JSON.stringify(a) === JSON.stringify(b), what,
                                   `page ${JSON.stringify(a)}\n    tool ${JSON.stringify(b)}`);

// ---- Files, made by the command-line tool ----------------------------------

const f = (name) => path.join(files, name);
// The command's standard output, whatever its status (a damaged file, or
// a scan with nothing verified, prints its findings and exits 1).  Run in
// the files' folder, so that images are named as the page names them.
function toolOut(...args) {
  try {
    return execFileSync(velkor, args, { cwd: files, encoding: 'utf8', stdio: ['ignore', 'pipe', 'ignore'],
                                        maxBuffer: 1 << 30 });
  } catch (e) {
    if (typeof e.stdout !== 'string') throw e;
    return e.stdout;
  }
}
const tool = (...args) => execFileSync(velkor, args, { cwd: files, stdio: ['ignore', 'pipe', 'ignore'] });
const toolJson = (...args) => toolOut(...args).trim().split('\n').filter(Boolean).map((l) => JSON.parse(l));
const findsOnly = (records) => records.filter((r) => r.kind !== 'summary');
// Deterministic bytes, so that a failure can be looked at again.
function bytes(n, seed) {
  const outBuf = Buffer.alloc(n);
  let done = 0, i = 0;
  while (done < n) {
    const h = crypto.createHash('sha256').update(`${seed}:${i++}`).digest();
    done += h.copy(outBuf, done);
  }
  return outBuf;
}

const payload = bytes(300 * 1024 + 7, 'payload');
fs.writeFileSync(f('payload.bin'), payload);
tool('tag', 'payload.bin', 'good.bgn');
const good = fs.readFileSync(f('good.bgn'));
const damaged = Buffer.from(good);
damaged[1000] ^= 0x10;
fs.writeFileSync(f('damaged.bgn'), damaged);
fs.writeFileSync(f('cut.bgn'), good.subarray(0, good.length - 100));
const KEY = 'correct horse';
tool('pack', '-k', KEY, '-l', 'Field unit 7', '-s', 'cal', '-p', '0x41', 'payload.bin', 'box.vc');
tool('pack', '-k', KEY, '-l', 'sized', '-s', 'd', '-m', 'asar1', '--data-sized', 'payload.bin', 'sized.vc');
const box = fs.readFileSync(f('box.vc'));
fs.writeFileSync(f('cut.vc'), box.subarray(0, box.length - 10));
// Labels in UTF-8, and labels that are not UTF-8 at all.
tool('pack', '-k', 'schlüssel', '-l', 'Grüße', '-s', 'é', 'good.bgn', 'utf8.vc');
execFileSync('bash', ['-c', `"$0" pack -k "$1" -l "$(printf 'a\\xff\\xe2\\x82b\\x1bc')" -s "$(printf '\\xc3')" payload.bin odd.vc`,
                      velkor, KEY], { cwd: files });
const odd = fs.readFileSync(f('odd.vc'));

// A dump: noise with planted finds, one nested in another, one damaged.
const small = bytes(5000, 'small');
fs.writeFileSync(f('small.bin'), small);
tool('tag', 'small.bin', 'small.bgn');
const smallTagged = fs.readFileSync(f('small.bgn'));
fs.writeFileSync(f('outer.bin'), Buffer.concat([bytes(3000, 'o1'), smallTagged, bytes(2000, 'o2')]));
tool('tag', 'outer.bin', 'outer.bgn');
const outer = fs.readFileSync(f('outer.bgn'));
const broken = Buffer.from(smallTagged);
broken[500] ^= 1;
const dump = Buffer.concat([bytes(1 << 20, 'd1'), outer, bytes(700000, 'd2'), box, bytes(400000, 'd3'),
                            broken, bytes(900000, 'd4'), good, bytes(50000, 'd5'), odd, bytes(123457, 'd6')]);
fs.writeFileSync(f('dump.bin'), dump);
// A tagged file whose payload holds a container; a container whose
// payload holds a tagged file; a dump that starts with a tagged file.
fs.writeFileSync(f('holds.bin'), Buffer.concat([bytes(7000, 'h1'), box, bytes(3000, 'h2')]));
tool('tag', 'holds.bin', 'holds.bgn');
tool('pack', '-k', KEY, '-l', 'nest', 'good.bgn', 'nest.vc');
fs.writeFileSync(f('starts.bin'), Buffer.concat([good, bytes(9000, 's1'), box, bytes(100, 's2')]));
fs.writeFileSync(f('noise.bin'), bytes(200000, 'noise'));
// Two keys' containers: box.vc under the first, one under the second
// whose payload is a tagged file (good.bgn), with a label a spreadsheet
// would run, and a damaged copy of it whose texts still decipher.
const KEY2 = 'battery staple';
tool('pack', '-k', KEY2, '-l', '=SUM(1)', '-s', 'two', 'good.bgn', 'second.vc');
const second = fs.readFileSync(f('second.vc'));
const secondBroken = Buffer.from(second);
secondBroken[second.length - 1000] ^= 0x04;
const twoKeys = Buffer.concat([bytes(70000, 'k1'), box, bytes(3000, 'k2'), second, bytes(5000, 'k3'), secondBroken,
                               bytes(777, 'k4')]);
fs.writeFileSync(f('twokeys.bin'), twoKeys);
// A data-sized container of 17 MiB: more than the scanner's 16 MiB alone.
fs.writeFileSync(f('large.bin'), crypto.randomBytes(17 << 20));
tool('pack', '-k', KEY, '-l', 'large', '--data-sized', 'large.bin', 'large.vc');
fs.writeFileSync(f('large-dump.bin'), Buffer.concat([bytes(4096, 'l1'), fs.readFileSync(f('large.vc')), bytes(4096, 'l2')]));
// 40 headers of data-sized containers that open with the key, back to
// back, each claiming a payload of 4 KiB: more data-sized payloads to
// decipher at once than the scanner takes (keyed containers of 256-entry
// tables share their keystreams, and need no passes), so the file is read
// again, in further passes.
tool('pack', '-k', KEY, '-l', 'Field unit 7', '-s', 'cal', '--data-sized', 'payload.bin', 'boxsized.vc');
{
  const h = 19 + 13 + 4; // the header: its label and sublabel with their NULs
  const head = fs.readFileSync(f('boxsized.vc')).subarray(0, h);
  const heads = Array.from({ length: 40 }, () => {
    const b = Buffer.from(head);
    b.writeUInt32BE(4096, h - 4);
    return b;
  });
  fs.writeFileSync(f('overlap.bin'), Buffer.concat([...heads, bytes(65536, 'overlap')]));
}
fs.writeFileSync(f('big.bin'), Buffer.concat([crypto.randomBytes(96 << 20), good]));
// 100,000 finds in 2 MB: empty tagged files, end to end, after a few bytes
// of noise (so that no page can take the file for one tagged file and
// skip the scan).
tool('tag', '/dev/null', 'empty.bgn');
const MANY_AT = 7;
fs.writeFileSync(f('many.bin'), Buffer.concat([bytes(MANY_AT, 'many'),
                                               ...Array(100000).fill(fs.readFileSync(f('empty.bgn')))]));

// ---- The page, served from SITE_DIR by `python3 -m http.server` ---------------

// The npm package's own layer over the page's module, in Node: what the
// page's downloads must equal.
const pkg = await import(new URL('file://' + path.join(site, 'velkor-core.js')).href);
await pkg.default(await WebAssembly.compile(fs.readFileSync(path.join(site, 'velkor.wasm'))));
const commandHas = (option) => toolOut('scan', '--help').includes(option);

const served = [];
const server = spawn('python3', ['-u', '-m', 'http.server', '0', '--bind', '127.0.0.1'],
                     { cwd: site, stdio: ['ignore', 'pipe', 'pipe'] });
const origin = await new Promise((resolve, reject) => {
  let said = '';
  server.stdout.on('data', (d) => {
    said += d;
    const m = /port (\d+)/.exec(said);
    if (m) resolve(`http://127.0.0.1:${m[1]}`);
  });
  server.on('exit', (code) => reject(new Error(`http.server ended (${code})`)));
});
server.stderr.on('data', (d) => {
  for (const m of String(d).matchAll(/"GET (\S+) HTTP/g)) served.push(m[1]);
});
// Another origin, which nothing on the page may reach.
const elsewhere = [];
const other = http.createServer((req, res) => {
  elsewhere.push(req.url);
  res.writeHead(200, { 'Access-Control-Allow-Origin': '*', 'Content-Type': 'text/plain' }).end('reached');
});
await new Promise((r) => other.listen(0, '127.0.0.1', r));
const otherOrigin = `http://127.0.0.1:${other.address().port}`;

const profile = fs.mkdtempSync(path.join(out, 'profile-'));
const browser = await puppeteer.launch({
  executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
  headless: true,
  args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
         '--disable-background-networking', '--disable-component-update', '--disable-sync',
         `--user-data-dir=${profile}`, '--window-size=1200,900', '--js-flags=--expose-gc'],
  defaultViewport: { width: 1200, height: 900 },
});
const requests = [];
const consoleErrors = [];
try {
  const page = await browser.newPage();
  page.on('request', (r) => requests.push(r.url()));
  page.on('pageerror', (e) => consoleErrors.push(String(e)));
  page.on('console', (m) => { if (m.type() === 'error') consoleErrors.push(m.text()); });
  // Requests from the worker too, wherever they go.
  browser.on('targetcreated', async (t) => {
    if (t.type() !== 'worker') return;
    const s = await t.createCDPSession().catch(() => null);
    if (!s) return;
    s.on('Network.requestWillBeSent', (e) => requests.push(e.request.url));
    await s.send('Network.enable').catch(() => {});
  });
  const cdp = await browser.target().createCDPSession();
  await cdp.send('Browser.setDownloadBehavior', { behavior: 'allowAndName', downloadPath: downloads, eventsEnabled: true });
  const done = new Map();
  const names = new Map();
  cdp.on('Browser.downloadWillBegin', (e) => names.set(e.guid, e.suggestedFilename));
  cdp.on('Browser.downloadProgress', (e) => {
    if (e.state === 'completed' || e.state === 'canceled') done.set(e.guid, e.state);
  });

  // Clicks `selector` and returns the saved file's name and bytes.
  async function saved(selector) {
    const before = new Set(names.keys());
    await page.click(selector);
    const t0 = Date.now();
    for (;;) {
      const guid = [...names.keys()].find((g) => !before.has(g) && done.has(g));
      if (guid) {
        if (done.get(guid) !== 'completed') throw new Error(`download of ${selector} was canceled`);
        return { name: names.get(guid), data: fs.readFileSync(path.join(downloads, guid)) };
      }
      if (Date.now() - t0 > 60000) throw new Error(`nothing was saved by ${selector}`);
      await new Promise((r) => setTimeout(r, 50));
    }
  }
  // Waits for the next view (or an error) after `act`: the result's
  // contents replaced, which any page that shows a view does.
  async function next(act) {
    await page.$eval('#result', (r) => {
      window.views = 0;
      window.viewWatch?.disconnect();
      window.viewWatch = new MutationObserver(() => { window.views++; });
      window.viewWatch.observe(r, { childList: true });
    });
    await act();
    try {
      await page.waitForFunction(() => window.views > 0 || !document.getElementById('error').hidden,
                                 { timeout: 120000 });
    } catch (e) {
      const said = await page.$eval('#progress-text', (p) => p.textContent).catch(() => '?');
      throw new Error(`nothing shown (the page says "${said}"): ${e.message}`);
    }
  }
  const pick = async (name) => {
    const input = await page.$('#file');
    await next(() => input.uploadFile(f(name)));
  };
  // Several keys, a field each: the first field, then one added per key.
  const withKeys = async (keys) => {
    await page.$eval('#key', (k) => { k.value = ''; });
    await page.type('#key', keys[0]);
    for (let i = 1; i < keys.length; i++) {
      await page.click('#key-add');
      await page.type(`#key-${i + 1}`, keys[i]);
    }
    await next(() => page.click('#key-go'));
  };
  const withKey = async (key, sized = false) => {
    await page.$eval('#key', (k) => { k.value = ''; });
    await page.type('#key', key);
    if (sized !== await page.$eval('#data-sized', (c) => c.checked)) await page.click('#data-sized');
    await next(() => page.click('#key-go'));
  };
  const shown = () => page.$$eval('#result dd[data-field]', (dds) =>
    Object.fromEntries(dds.map((d) => [d.dataset.field, d.dataset.value])));
  const verdictOf = (sel = '#verdict') => page.$eval(sel, (v) => ({ kind: v.dataset.verdict, text: v.textContent }));
  const shot = (name) => page.screenshot({ path: path.join(shots, `${name}.png`), fullPage: true });
  const num = (s) => (s === '' ? null : Number(s));
  const errorShown = () => page.$eval('#error', (e) => (e.hidden ? '' : e.textContent));
  const rows = (table = '#finds') => page.$$eval(`${table} tbody tr`, (trs) => trs.map((t) => ({ ...t.dataset })));
  const asTool = (r) => ({
    offset: Number(r.offset), kind: r.kind, length: Number(r.length),
    payload_offset: Number(r.payloadOffset), payload_length: Number(r.payloadLength),
    reason: r.reason === 'verified' ? null : r.reason, inside: r.inside === '' ? null : Number(r.inside),
  });
  const pickTool = (j) => ({ offset: j.offset, kind: j.kind, length: j.length, payload_offset: j.payload_offset,
                             payload_length: j.payload_length, reason: j.reason, inside: j.inside });
  // "Download findings" against `velkor scan --all --json`, byte for byte.
  async function findingsMatch(name, what, keyArgs = [], id = '') {
    const got = await saved(`#${id}download-json`);
    const want = toolOut('scan', '--all', '--json', ...keyArgs, name);
    const mine = asCommand(got.data.toString('utf8'), want);
    const a = mine.split('\n'), b = want.split('\n');
    let line = 0;
    while (line < a.length && a[line] === b[line]) line++;
    check(mine === want && got.name === `${name}.findings.json`,
          `${what}: "Download findings" is velkor scan --all --json's output`,
          `${got.name}, line ${line + 1} of ${b.length} differs:\n    page ${a[line]}\n    tool ${b[line]}`);
    return got;
  }

  // A command built before key numbers and payload scans prints neither
  // "payload_of" nor "key": the page's findings are compared with it
  // without them (the files compared this way hold no payload finds).
  function asCommand(text, command) {
    if (command === '' || command.includes('"payload_of":')) return text;
    const str = '"(?:[^"\\\\]|\\\\.)*"';
    const damaged = new RegExp(`,"label":${str},"label_hex":"[0-9a-f]*","sublabel":${str},"sublabel_hex":"[0-9a-f]*",` +
                               '"damaged_texts":true', 'g');
    return text.replace(damaged, '').replace(/,"payload_of":(null|\d+)/g, '').replace(/,"key":(null|\d+)/g, '');
  }

  // "As it is" on every row of the table against `velkor scan --carve
  // --all --nested`: the same names (a container the key does not open as
  // .unopened.vc, damaged finds as .damaged.bgn or .damaged.vc) and the same bytes, a find cut off as far as the file
  // holds it.
  async function savesAsCarved(name, what, keyArgs = []) {
    const dir = fs.mkdtempSync(path.join(out, 'carved-'));
    toolOut('scan', '--all', '--nested', '--carve', dir, ...keyArgs, name);
    const want = Object.fromEntries(fs.readdirSync(dir).map((n) => [n, fs.readFileSync(path.join(dir, n))]));
    fs.rmSync(dir, { recursive: true });
    const got = {};
    for (const r of await rows()) {
      const p = await saved(`#finds button[data-save-whole="${r.path}"]`);
      got[p.name] = p.data;
    }
    const names = Object.keys(want).sort();
    check(JSON.stringify(Object.keys(got).sort()) === JSON.stringify(names) && names.every((n) => got[n].equals(want[n])),
          `${what}: every find saved as it is, named and cut as velkor scan --carve --all writes it`,
          `page ${Object.keys(got).sort().join(' ')}\n    tool ${names.join(' ')}`);
  }

  await page.goto(origin + '/', { waitUntil: 'networkidle0' });
  check(await page.$eval('#private', (p) => /never leave/.test(p.textContent)), 'the page says that files stay on it');

  // Garbage collection in the worker every few milliseconds, all through
  // (in every worker: the page replaces its worker after a cancel or a
  // data-sized key): a read the worker does not hold on to would be
  // collected and its job left waiting for ever.
  let collecting = true;
  const collect = (w) => w.evaluate((on) => {
    clearInterval(self.collecting);
    if (on) self.collecting = setInterval(() => gc(), 3);
  }, collecting).catch(() => {}); // a worker ended meanwhile
  page.on('workercreated', collect);
  await section('collecting garbage in the worker', async () => {
    const t0 = Date.now();
    while (page.workers().length === 0 && Date.now() - t0 < 10000) await new Promise((r) => setTimeout(r, 50));
    await Promise.all(page.workers().map(collect));
  });

  // The worker runs under the page's policy: nothing of another origin,
  // no eval, although it fetches the module from its own.
  await section('the worker\'s policy', async () => {
    const t0 = Date.now();
    while (page.workers().length === 0 && Date.now() - t0 < 10000) await new Promise((r) => setTimeout(r, 50));
    const w = page.workers()[0];
    check(w && w.url().startsWith('blob:'), 'the worker is started from a blob: URL of its script', w?.url());
    const tried = await w.evaluate(async (u) => {
      try {
        const r = await fetch(u);
        return `fetched: ${await r.text()}`;
      } catch (e) {
        return `refused: ${e}`;
      }
    }, `${otherOrigin}/from-the-worker`);
    check(tried.startsWith('refused') && elsewhere.length === 0,
          'the worker cannot fetch from another origin', `${tried}; the other server saw ${elsewhere.join(' ')}`);
    // Outside the evaluation's own task, which the debugger may exempt.
    const evaluated = await w.evaluate(() => new Promise((resolve) => setTimeout(() => {
      try {
        resolve(`ran: ${eval('6 * 7')}`);
      } catch (e) {
        resolve(`refused: ${e}`);
      }
    }, 0)));
    check(evaluated.startsWith('refused'), 'the worker cannot eval', evaluated);
    consoleErrors.length = 0; // the two refusals above are reported as errors
  });

  // The keyboard: Tab reaches the chooser, which shows where focus is;
  // Enter and Space open it; a click anywhere on the drop zone does too.
  await section('the keyboard', async () => {
    let focused = '';
    for (let i = 0; i < 10 && focused !== 'choose'; i++) {
      await page.keyboard.press('Tab');
      focused = await page.evaluate(() => document.activeElement.id);
    }
    check(focused === 'choose', 'Tab reaches the file chooser', focused);
    const ring = await page.evaluate(() => {
      const a = document.activeElement, s = getComputedStyle(a);
      return { visible: a.matches(':focus-visible'), style: s.outlineStyle, width: parseFloat(s.outlineWidth) };
    });
    check(ring.visible && ring.style !== 'none' && ring.width >= 2, 'focus on the chooser is visible', JSON.stringify(ring));
    await shot('keyboard-focus');
    for (const [key, name] of [['Enter', 'good.bgn'], ['Space', 'box.vc']]) {
      const chooser = page.waitForFileChooser({ timeout: 5000 }).catch(() => null);
      await page.evaluate(() => 0); // the chooser is watched for once this returns
      await page.keyboard.press(key);
      const c = await chooser;
      check(c !== null, `${key} on the chooser opens it`);
      if (c) {
        await next(() => c.accept([f(name)]));
        check((await shown()).kind === (name.endsWith('.vc') ? 'container' : 'tagged'), `${key}: the chosen file is shown`);
      }
      await page.focus('#choose');
    }
    const hint = await page.$('#drop .hint');
    const chooser = page.waitForFileChooser({ timeout: 5000 }).catch(() => null);
    await page.evaluate(() => 0);
    await hint.click();
    const c = await chooser;
    check(c !== null, 'a click on the drop zone, off the button, opens the chooser');
    if (c) await c.cancel();
  });

  // A tagged file, dropped on the page (the other files are picked).
  await section('a dropped tagged file', async () => {
    const b64 = good.toString('base64');
    await next(() => page.evaluate((b) => {
      const raw = Uint8Array.from(atob(b), (c) => c.charCodeAt(0));
      const dt = new DataTransfer();
      dt.items.add(new File([raw], 'good.bgn'));
      const zone = document.getElementById('drop');
      zone.dispatchEvent(new DragEvent('dragover', { dataTransfer: dt, bubbles: true, cancelable: true }));
      zone.dispatchEvent(new DragEvent('drop', { dataTransfer: dt, bubbles: true, cancelable: true }));
    }, b64));
    const info = toolJson('info', '--json', 'good.bgn')[0];
    const s = await shown();
    same([num(s.length), num(s.payloadLength), num(s.storedCrc), num(s.computedCrc)],
         [info.length, info.payload_length, info.stored_crc, info.computed_crc], 'dropped tagged file: fields as velkor info');
    check((await verdictOf()).kind === 'ok' && info.ok, 'dropped tagged file: sound');
    check(/nothing else inside/i.test(await page.$eval('#scan-summary', (p) => p.textContent)),
          'dropped tagged file: the scan finds nothing else inside it');
    await shot('tagged');
    const p = await saved('#save-payload');
    check(p.data.equals(payload) && p.name === 'good.bgn-00000000.payload',
          'tagged file: the saved payload is byte-exact, named <base>-<offset>.payload', p.name);
  });

  // Damaged tagged files: wrong CRC, and cut off.
  for (const [name, words] of [['damaged.bgn', /CRC/], ['cut.bgn', /length does not match.*cut off/]]) await section(name, async () => {
    await pick(name);
    const info = toolJson('info', '--json', name)[0];
    const s = await shown();
    same([num(s.length), num(s.payloadLength), num(s.storedCrc), num(s.computedCrc)],
         [info.length, info.payload_length, info.stored_crc, info.computed_crc], `${name}: fields as velkor info`);
    const v = await verdictOf();
    check(v.kind === 'bad' && !info.ok && words.test(v.text), `${name}: says what is damaged`, v.text);
    check(await page.$('#save-payload') === null, `${name}: no payload is offered`);
    if (name === 'damaged.bgn') await shot('tagged-damaged');
    else await savesAsCarved(name, name); // listed, as it claims more than the file holds
  });

  // A tagged file whose payload holds a container: listed, inside it.
  await section('a tagged file holding a container', async () => {
    await pick('holds.bgn');
    check((await verdictOf()).kind === 'ok', 'holds.bgn: a sound tagged file');
    const scanned = findsOnly(toolJson('scan', '--all', '--json', 'holds.bgn'));
    same((await rows()).map(asTool), scanned.map(pickTool), 'holds.bgn: the container in its payload listed as velkor scan lists it');
    check(scanned.some((j) => j.kind === 'container' && j.inside === 0), 'holds.bgn: the container is inside the tagged file');
    await shot('tagged-holding');
  });

  // A dump that starts with a tagged file: the header at offset 0 does
  // not match the file, and the whole file is scanned all the same.
  await section('a dump that starts with a tagged file', async () => {
    await pick('starts.bin');
    const v = await verdictOf();
    check(v.kind === 'bad' && /larger file that starts with one/.test(v.text), 'starts.bin: the header at 0 does not describe the file', v.text);
    same((await rows()).map(asTool), findsOnly(toolJson('scan', '--all', '--json', 'starts.bin')).map(pickTool),
         'starts.bin: the whole file is scanned, as velkor scan --all --json');
  });

  // Containers: header without a key, then the wrong and the right key.
  for (const [name, sized] of [['box.vc', false], ['sized.vc', true]]) await section(name, async () => {
    await pick(name);
    const info = toolJson('info', '--json', '-k', KEY, ...(sized ? ['--data-sized'] : []), name)[0];
    let s = await shown();
    same([s.magic, num(s.prefix), num(s.length), num(s.labelLength), num(s.sublabelLength)],
         [info.magic, info.prefix, info.length, Buffer.from(info.label).length, Buffer.from(info.sublabel).length],
         `${name}: magic, prefix, lengths (labels' without the NUL) as velkor info`);
    check(await page.$eval('#key', (k) => k.type) === 'password', `${name}: the key field hides its text`);
    await withKey('not the key', sized);
    const wrong = await verdictOf();
    check(wrong.kind === 'notopened' && /not opened with these keys/i.test(wrong.text),
          `${name}: a wrong key says "not opened with these keys", not damage`, JSON.stringify(wrong));
    if (!sized) {
      await page.click('#key-show');
      check(await page.$eval('#key', (k) => k.type) === 'text', 'the key field shows its text on request');
      await shot('container-wrong-key');
      await page.click('#key-show');
      check(await page.$eval('#key', (k) => k.type) === 'password', 'and hides it again');
    }
    await withKey(KEY, sized);
    check((await verdictOf()).kind === 'ok', `${name}: opens with the key`);
    s = await shown();
    same([s.magic, num(s.prefix), s.label, s.sublabel, num(s.length), num(s.checksum)],
         [info.magic, info.prefix, info.label, info.sublabel, info.length, info.checksum],
         `${name}: with the key, fields as velkor info`);
    if (!sized) await shot('container');
    const p = await saved('#save-payload');
    check(p.data.equals(payload), `${name}: the saved payload is byte-exact`);
  });

  // Labels: UTF-8 as velkor info --json decodes them; bytes that are not
  // UTF-8 (and control characters) escaped as velkor info shows them.
  for (const [name, key] of [['utf8.vc', 'schlüssel'], ['odd.vc', KEY]]) await section(name, async () => {
    await pick(name);
    await withKey(key);
    const s = await shown();
    const info = toolJson('info', '--json', '-k', key, name)[0];
    const text = Object.fromEntries(toolOut('info', '-k', key, name).trim().split('\n')
      .map((l) => /^(\w+):\s+(.*)$/.exec(l)).filter(Boolean).map((m) => [m[1], m[2]]));
    // info quotes a text it escapes as a shell would read it back, $'...';
    // the page, which shows each text on its own, the same escapes bare.
    const bare = (t) => t.replace(/^\$'(.*)'$/, '$1');
    same([s.label, s.sublabel], [bare(text.label), bare(text.sublabel)],
         `${name}: label and sublabel shown with velkor info's escapes`);
    if (name === 'utf8.vc') {
      same([s.label, s.sublabel], [info.label, info.sublabel], 'utf8.vc: UTF-8 labels decoded as velkor info --json decodes them');
      // Its payload is a tagged file: listed inside the payload.
      const inner = (await rows()).filter((r) => r.level === '1');
      check(inner.length === 1 && inner[0].offset === '0' && inner[0].state === 'verified' && inner[0].payloadOf === '0',
            'utf8.vc: the tagged file in its payload is listed', JSON.stringify(inner));
      await shot('container-utf8');
    } else {
      check(s.label === 'a\\xff\\xe2\\x82b\\x1bc' && s.sublabel === '\\xc3', 'odd.vc: invalid bytes shown escaped', s.label);
    }
  });

  // A container whose payload is a tagged file: the page lists it inside
  // the payload, and saves its payload.
  await section('a container holding a tagged file', async () => {
    await pick('nest.vc');
    check((await rows()).every((r) => r.level === '0'), 'nest.vc: no payload finds before the key');
    await withKey(KEY);
    const inner = (await rows()).filter((r) => r.level === '1');
    fs.writeFileSync(f('nest.vc-00000000.payload'), good);
    same(inner.map(asTool), findsOnly(toolJson('scan', '--all', '--json', 'nest.vc-00000000.payload')).map(pickTool),
         'nest.vc: the finds inside the payload, as velkor scan lists them in the saved payload');
    check(inner.every((r) => r.payloadOf === '0'), 'nest.vc: each says whose payload holds it');
    const p = await saved('#finds button[data-save-payload="0/0"]');
    check(p.data.equals(payload) && p.name === 'nest.vc-00000000-00000000.payload',
          'nest.vc: the payload of the find inside the payload is byte-exact, named for the way to it', p.name);
    const w = await saved('#finds button[data-save-whole="0/0"]');
    check(w.data.equals(good) && w.name === 'nest.vc-00000000-00000000.bgn',
          'nest.vc: the find inside the payload saved as it is', w.name);
    await shot('container-payload-finds');
  });

  // A container cut off: refused before any key, saying why.
  await section('a container cut off', async () => {
    await pick('cut.vc');
    const v = await verdictOf();
    check(v.kind === 'bad' && /run past the end of the file/.test(v.text) && await page.$('#key') === null,
          'cut.vc: says that it is cut off, and asks no key', v.text);
  });

  // A dump: scanned without, with the wrong and with the right key; map,
  // table and findings as velkor scan.
  const boxAt = dump.indexOf(box), goodAt = dump.lastIndexOf(good), hex = (n) => n.toString(16).padStart(8, '0');
  const scanned = findsOnly(toolJson('scan', '--all', '--json', 'dump.bin'));
  await section('a dump, no key', async () => {
    await pick('dump.bin');
    check(scanned.length === 6, 'the dump has its six planted finds', `${scanned.length} finds`);
    same((await rows()).map(asTool), scanned.map(pickTool), 'dump, no key: finds as velkor scan --all --json');
    const spans = await page.$$eval('#map .span', (ss) => ss.map((s) => ({
      offset: Number(s.dataset.offset), state: s.classList[1], row: Number(s.parentElement.dataset.depth) })));
    same(spans.map((s) => s.offset).sort((a, b) => a - b), scanned.map((j) => j.offset), 'dump: one span per find on the map');
    check(spans.some((s) => s.row > 0) && new Set(spans.map((s) => s.state)).size === 3,
          'dump: nested finds on their own row; verified, unverified and damaged spans', JSON.stringify(spans));
    await page.hover('#map .span.damaged');
    const tipText = await page.$eval('#tip', (t) => t.textContent);
    check(/0x[0-9a-f]{8}/.test(tipText) && tipText.includes(String(dump.indexOf(broken))),
          'dump: hovering a span shows its offsets', tipText);
    await shot('scan');
    await findingsMatch('dump.bin', 'dump, no key');
    // Saves without a key: a tagged find's payload; every find whole (a
    // container as it is, the damaged one as .damaged.bgn).
    const p = await saved(`button[data-save-payload="${goodAt}"]`);
    check(p.data.equals(payload) && p.name === `dump.bin-${hex(goodAt)}.payload`, 'dump: a tagged find\'s payload saved as .payload', p.name);
    check(await page.$(`button[data-save-payload="${boxAt}"]`) === null, 'dump, no key: no payload of a container to save');
    check(await page.$(`button[data-save-payload="${dump.indexOf(broken)}"]`) === null, 'dump: a damaged find offers no payload');
    await savesAsCarved('dump.bin', 'dump, no key');
    // CSV: the same records.
    const csv = (await saved('#download-csv')).data.toString('utf8').trimEnd().split('\r\n');
    const head = csv[0].split(',');
    const recs = csv.slice(1).map((l) => Object.fromEntries(l.split(',').map((v, i) => [head[i], v])));
    same(recs.map((r) => [Number(r.offset), r.kind, Number(r.length), r.verified === 'true', r.reason || null]),
         scanned.map((j) => [j.offset, j.kind, j.length, j.verified, j.reason]), 'dump: the CSV has the same records');
  });

  // The wrong key: containers marked "not opened with this key", not
  // painted as damage, and still saved as they are.
  await section('a dump, the wrong key', async () => {
    await pick('dump.bin');
    await withKey('not the key');
    const r = await rows();
    const boxRow = r.find((x) => Number(x.offset) === boxAt);
    check(boxRow && boxRow.state === 'notopened' && boxRow.reason === 'wrong key or damaged',
          'dump, wrong key: the container is "not opened with these keys"', JSON.stringify(boxRow));
    const colours = await page.evaluate((at) => {
      const red = getComputedStyle(document.querySelector('.legend .damaged')).backgroundColor;
      const dot = getComputedStyle(document.querySelector(`tr[data-offset="${at}"] .dot`));
      const span = getComputedStyle(document.querySelector(`#map .span[data-offset="${at}"]`));
      return { red, dot: dot.backgroundColor + dot.backgroundImage, span: span.backgroundColor + span.backgroundImage,
               text: document.querySelector(`tr[data-offset="${at}"]`).textContent };
    }, boxAt);
    check(!colours.dot.includes(colours.red) && !colours.span.includes(colours.red) && /not opened with these keys/.test(colours.text),
          'dump, wrong key: not painted with damage\'s red', JSON.stringify(colours));
    const p = await saved(`button[data-save-whole="${boxAt}"]`);
    check(p.data.equals(box) && p.name === `dump.bin-${hex(boxAt)}.unopened.vc`,
          'dump, wrong key: "As it is" still saves the container, named as velkor scan --carve --all names it', p.name);
    await savesAsCarved('dump.bin', 'dump, wrong key', ['-k', 'not the key']);
    await shot('scan-wrong-key');
    await findingsMatch('dump.bin', 'dump, wrong key', ['-k', 'not the key']);
  });

  await section('a dump, the key', async () => {
    await pick('dump.bin');
    await withKey(KEY);
    const keyed = findsOnly(toolJson('scan', '--all', '--json', '-k', KEY, 'dump.bin'));
    // The labels as the page shows them: odd.vc's escaped.
    const oddAt = dump.indexOf(odd);
    same((await rows()).map((r) => ({ ...asTool(r), label: r.label || undefined, sublabel: r.sublabel || undefined })),
         keyed.map((j) => ({ ...pickTool(j), label: j.offset === oddAt ? 'a\\xff\\xe2\\x82b\\x1bc' : j.label,
                             sublabel: j.offset === oddAt ? '\\xc3' : j.sublabel })),
         'dump, with the key: finds, labels and sublabels as velkor scan --all --json -k');
    const p = await saved(`button[data-save-payload="${boxAt}"]`);
    check(p.data.equals(payload) && p.name === `dump.bin-${hex(boxAt)}.payload`, 'dump, with the key: the container\'s payload saved as .payload');
    await findingsMatch('dump.bin', 'dump, with the key (labels in and out of UTF-8)', ['-k', KEY]);
    await savesAsCarved('dump.bin', 'dump, with the key', ['-k', KEY]);
    await shot('scan-key');
  });

  // Two keys: each container says which opened it; the finds inside an
  // opened container's payload listed after it, on the map below it, and
  // saved under names that give the way to them; the damaged container's
  // texts shown as such; the downloads as the package writes them.
  await section('two keys, and the finds inside payloads', async () => {
    await pick('twokeys.bin');
    await withKeys([KEY, KEY2]);
    const boxAt = twoKeys.indexOf(box), secondAt = twoKeys.indexOf(second), brokenAt = twoKeys.indexOf(secondBroken);
    const r = await rows();
    same(r.map((x) => [x.kind, Number(x.offset), x.payloadOf, x.level, x.key, x.state, x.damagedTexts]), [
      ['container', boxAt, '', '0', '1', 'verified', ''],
      ['container', secondAt, '', '0', '2', 'verified', ''],
      ['tagged', 0, String(secondAt), '1', '', 'verified', ''],
      ['container', brokenAt, '', '0', '2', 'notopened', 'true'],
    ], 'twokeys: the containers with their keys\' numbers, the tagged file inside the second');
    const texts = await page.$$eval('#finds tbody tr', (trs) => trs.map((t) => t.textContent));
    check(/verified, key 1/.test(texts[0]) && /verified, key 2/.test(texts[1]),
          'twokeys: each container says which key opened it', texts.slice(0, 2).join(' | '));
    check(texts[2].includes(`payload of 0x${hex(secondAt)}: 0x00000000`),
          'twokeys: the payload\'s find says whose payload holds it, its offset from that payload\'s start', texts[2]);
    check(texts[3].includes('=SUM(1) / two (texts of a damaged container)') && /damaged: key 2/.test(texts[3]),
          'twokeys: the damaged container\'s texts, marked as such', texts[3]);
    check(!texts.join(' ').includes(KEY) && !texts.join(' ').includes(KEY2), 'twokeys: no key\'s text on the table');
    // On the map: the payload's find on a row below its container's,
    // where its bytes lie in the file.
    const spans = await page.$$eval('#map .span', (ss) => ss.map((x) => ({
      path: x.dataset.offset, row: Number(x.parentElement.dataset.depth), left: parseFloat(x.style.left) })));
    const inner = spans.find((x) => x.path === `${secondAt}/0`), outer = spans.find((x) => x.path === String(secondAt));
    check(inner && outer && inner.row > outer.row &&
          Math.abs(inner.left - (100 * (secondAt + second.length - 4 - good.length)) / twoKeys.length) < 0.01,
          'twokeys: the payload\'s find on the map, below its container, where its bytes lie', JSON.stringify(spans));
    const p = await saved(`#finds button[data-save-payload="${secondAt}/0"]`);
    check(p.data.equals(payload) && p.name === `twokeys.bin-${hex(secondAt)}-00000000.payload`,
          'twokeys: the payload of the tagged file inside the payload, named for the way to it', p.name);
    const w = await saved(`#finds button[data-save-whole="${secondAt}/0"]`);
    check(w.data.equals(good) && w.name === `twokeys.bin-${hex(secondAt)}-00000000.bgn`,
          'twokeys: the tagged file inside the payload, saved as it is', w.name);
    const c2 = await saved(`#finds button[data-save-payload="${secondAt}"]`);
    check(c2.data.equals(good), 'twokeys: the second container\'s payload, opened with its own key');
    // The downloads: what the package writes for the same finds.
    const finds = pkg.scan(twoKeys, { key: [KEY, KEY2] });
    const csv = await saved('#download-csv');
    check(csv.data.toString('utf8') === pkg.findingsCsv(finds, 'twokeys.bin') && csv.name === 'twokeys.bin.findings.csv',
          'twokeys: "Download findings" CSV is the package\'s findingsCsv', csv.data.toString('utf8'));
    const json = await saved('#download-json');
    check(json.data.toString('utf8') === pkg.findingsJson(finds, 'twokeys.bin'),
          'twokeys: "Download findings" JSON is the package\'s findingsJson', json.data.toString('utf8'));
    for (const [format, option] of [['csv', '--csv'], ['json', '--keys']]) {
      if (!commandHas(option)) {
        console.log(`skipped: twokeys: the ${format} download against velkor scan (the command has no ${option} yet)`);
        continue;
      }
      const want = toolOut('scan', '--all', `--${format}`, '-k', KEY, '-k', KEY2, 'twokeys.bin');
      check((format === 'csv' ? csv : json).data.toString('utf8') === want,
            `twokeys: the ${format} download is velkor scan --all --${format} -k -k's output`);
    }
    // One hex case: lower, in the table, the map's names and the saves.
    const shownHex = await page.$eval('#result', (x) => [x.textContent,
      ...[...x.querySelectorAll('[aria-label]')].map((b) => b.getAttribute('aria-label'))].join(' '));
    const upper = shownHex.match(/0x[0-9a-fA-F]*[A-F][0-9a-fA-F]*/g);
    check(upper === null && /0x[0-9a-f]{8}/.test(shownHex), 'twokeys: hex in lower case everywhere on the page',
          String(upper));
    await shot('two-keys');
    // Looking inside opened containers can be turned off.
    await page.click('#look-inside');
    await next(() => page.click('#key-go'));
    check((await rows()).every((x) => x.level === '0') && (await rows()).length === 3,
          'twokeys: with "Look inside opened containers" off, no payload finds');
  });

  // A find over the memory limit is not checked, and not a failure.
  await section('a find not checked', async () => {
    await pick('large-dump.bin');
    await withKey(KEY, true);
    const r = await rows();
    const text = await page.$eval('#finds tbody tr', (t) => t.textContent);
    check(r.length === 1 && r[0].state === 'notchecked' && /not checked \(needs \d+ bytes, over the memory limit\)/.test(text),
          'large-dump: the data-sized container over the memory limit is "not checked"', `${JSON.stringify(r)} ${text}`);
    const colours = await page.evaluate(() => {
      const red = getComputedStyle(document.querySelector('.legend .damaged')).backgroundColor;
      const dot = getComputedStyle(document.querySelector('#finds .dot'));
      return { red, dot: dot.backgroundColor + dot.backgroundImage };
    });
    check(!colours.dot.includes(colours.red), 'large-dump: not painted as damage', JSON.stringify(colours));
    const note = await verdictOf('#stopped').catch(() => null);
    check(note !== null && /memory limit/.test(note.text), 'large-dump: the page says the scan reached its memory limit',
          JSON.stringify(note));
    const json = (await saved('#download-json')).data.toString('utf8');
    check(json === pkg.findingsJson(pkg.scan(fs.readFileSync(f('large-dump.bin')), { key: KEY, dataSized: true }),
                                    'large-dump.bin'),
          'large-dump: the findings as the package writes them (verified null, the reason)', json);
    await shot('not-checked');
  });

  // Without a mouse: after a file and after a key, focus is on the
  // result's heading and the result is said; Tab goes from there to the
  // key, the map's spans (their offsets as text) and the table's buttons,
  // each named for what it saves and where.
  const focused = () => page.evaluate(() => {
    const a = document.activeElement;
    return { id: a.id, tag: a.tagName, cls: a.className, text: a.textContent, label: a.getAttribute('aria-label') };
  });
  const announced = () => page.waitForFunction(() => document.getElementById('announce').textContent !== '',
                                               { timeout: 5000 }).then(() => page.$eval('#announce', (a) => a.textContent));
  // Tabs from where focus is until match(focused) holds, at most max.
  async function tabTo(match, max = 60) {
    for (let i = 1; i <= max; i++) {
      await page.keyboard.press('Tab');
      const f = await focused();
      if (match(f)) return { ...f, tabs: i };
    }
    return null;
  }
  await section('the keyboard path', async () => {
    await page.focus('#choose');
    const chooser = page.waitForFileChooser({ timeout: 5000 });
    await page.evaluate(() => 0);
    await page.keyboard.press('Enter');
    await next(async () => (await chooser).accept([f('dump.bin')]));
    let now = await focused();
    check(now.id === 'result-heading' && now.tag === 'H2', 'after a file, focus is on the result\'s heading', JSON.stringify(now));
    const said = await announced();
    check(/6 finds/.test(said) && /Not itself a tagged file/.test(said), 'the scan\'s result is said (aria-live)', said);
    check(await page.$eval('#announce', (a) => a.getAttribute('aria-live')) === 'polite', 'the announcements are a polite live region');
    // The key field, by Tab; Enter submits it.
    const key = await tabTo((x) => x.id === 'key');
    check(key !== null && key.tabs <= 3, 'Tab from the heading reaches the key field at once', JSON.stringify(key));
    await page.keyboard.type(KEY);
    await next(() => page.keyboard.press('Enter'));
    now = await focused();
    check(now.id === 'result-heading', 'after Enter in the key field, focus is on the result\'s heading, not the top of the page',
          JSON.stringify(now));
    check(/verified/.test(await announced()), 'the result with the key is said');
    // The map's spans: buttons reached by Tab, their offsets as their text.
    const span = await tabTo((x) => / span /.test(` ${x.cls} `));
    const boxAt = dump.indexOf(box);
    check(span !== null && /^(Tagged file|Container) at 0x[0-9a-f]{8} to 0x[0-9a-f]{8}, \d+ bytes, /.test(span.text),
          'Tab reaches the map\'s spans, each with its offsets as text', JSON.stringify(span));
    const tip = await page.$eval('#tip', (t) => (t.hidden ? '' : t.textContent)).catch(() => '');
    check(/0x[0-9a-f]{8}/.test(tip), 'a span with focus shows its tip as on hover', tip);
    // Enter on the container's span: its row, with focus.
    const spans = await page.$$eval('#map .span', (ss) => ss.map((x) => x.dataset.offset));
    await page.focus(`#map .span[data-offset="${boxAt}"]`);
    await page.keyboard.press('Enter');
    now = await page.evaluate(() => document.activeElement.dataset.offset);
    check(now === String(boxAt), 'Enter on a span takes focus to its row in the table', `${now}; spans ${spans}`);
    const save = await tabTo((x) => x.label !== null && /^Save payload/.test(x.label));
    check(save !== null && save.label === `Save payload of the container at 0x${hex(boxAt)}`,
          'the row\'s buttons say what they save and where', JSON.stringify(save));
    const names = await page.$$eval('#finds button', (bs) => bs.map((b) => b.getAttribute('aria-label')));
    check(new Set(names).size === names.length && names.every((n) => / at 0x[0-9a-f]{8}( |$)/.test(n)),
          'every button in the table has a name of its own', names.join(' | '));
    // The accessible names as the browser computes them.
    const tree = await page.accessibility.snapshot({ interestingOnly: true });
    const all = [];
    (function walk(n) { if (n.name) all.push(`${n.role}: ${n.name}`); (n.children ?? []).forEach(walk); })(tree);
    check(all.includes(`button: Save payload of the tagged file at 0x${hex(goodAt)}`) &&
          all.includes(`button: Save the container at 0x${hex(boxAt)} as it is`) &&
          all.includes('button: Download the findings of the whole file as JSON'),
          'the accessibility tree names the buttons so', all.filter((n) => /^button/.test(n)).join(' | '));
    const dl = await tabTo((x) => x.id === 'download-json');
    check(dl !== null, 'Tab goes on to "Download findings"', JSON.stringify(dl));
    await shot('keyboard-result');
  });

  // The key kept for the next file: a visible choice, off by default.
  await section('keeping the key', async () => {
    await pick('box.vc');
    check(await page.$eval('#keep-key', (k) => !k.checked), 'the key is not kept unless asked');
    await withKey(KEY);
    await pick('sized.vc');
    check(await page.$eval('#key', (k) => k.value) === '' && (await shown()).label === undefined,
          'by default, the next file asks for the key again');
    await pick('box.vc');
    await page.$eval('#key', (k) => { k.value = ''; });
    await page.type('#key', KEY);
    await page.click('#keep-key');
    await next(() => page.click('#key-go'));
    await pick('nest.vc');
    check((await verdictOf()).kind === 'ok' && (await shown()).label === 'nest' && await page.$eval('#keep-key', (k) => k.checked),
          'asked to, the page opens the next file with the kept key');
    await page.click('#keep-key');
    await pick('box.vc');
    check((await shown()).label === undefined, 'unticked, the key is forgotten');
  });

  // A long scan cancelled: by Escape, and by the button; the page is
  // ready for the next file at once.
  await section('a cancelled scan', async () => {
    for (const how of ['Escape', 'button']) {
      await page.$eval('#result', (r) => { r.dataset.marker = 'before'; });
      const input = await page.$('#file');
      await input.uploadFile(f('big.bin'));
      // Pressed in the same task that sees the scan partway: the scan
      // is quick enough to end between two round trips from here.
      const pressed = await page.waitForFunction((by) => {
        const c = document.getElementById('cancel');
        if (c.hidden || !/^Scanning: .*\((\d|[1-9]\d)%\)$/.test(document.getElementById('progress-text').textContent))
          return false;
        if (by === 'Escape') dispatchEvent(new KeyboardEvent('keydown', { key: 'Escape', bubbles: true, cancelable: true }));
        else c.click();
        return true;
      }, { polling: 'mutation', timeout: 60000 }, how).then(() => true).catch(() => false);
      check(pressed, `${how}: a Cancel button while the scan runs, pressed partway`);
      const said = await page.waitForFunction(() => document.getElementById('announce').textContent === 'Cancelled.',
                                               { timeout: 5000 }).then(() => true).catch(() => false);
      await new Promise((r) => setTimeout(r, 1500));
      const after = await page.evaluate(() => ({
        cancel: document.getElementById('cancel').hidden, progress: document.getElementById('progress-text').textContent,
        error: document.getElementById('error').hidden, focus: document.activeElement.id }));
      check(said && after.cancel && after.progress === '' && after.error && after.focus === 'choose',
            `${how}: the scan stops, says so, and focus returns to the chooser`, JSON.stringify(after));
    }
    await pick('good.bgn');
    check((await verdictOf()).kind === 'ok', 'after a cancel, the next file is checked as ever');
  });

  // Down to 320 px wide, nothing overflows the page: the table scrolls in
  // its own box.
  await section('a narrow screen', async () => {
    for (const width of [320, 420]) {
      await page.setViewport({ width, height: 800 });
      await pick('dump.bin');
      await withKey(KEY);
      const m = await page.evaluate(() => ({
        page: document.documentElement.scrollWidth, view: document.documentElement.clientWidth,
        table: document.querySelector('#finds').scrollWidth, box: document.querySelector('.scroll').clientWidth,
      }));
      check(m.page <= m.view, `${width} px: no sideways scroll of the page`, JSON.stringify(m));
      check(m.table > m.box, `${width} px: the table scrolls in its own box`, JSON.stringify(m));
      await shot(`narrow-${width}`);
    }
    await page.setViewport({ width: 1200, height: 900 });
  });

  // A file read in passes: the same finds, and the same summary.
  await section('a file read in passes', async () => {
    await pick('overlap.bin');
    await withKey(KEY, true);
    const records = toolJson('scan', '--all', '--json', '-k', KEY, '--data-sized', 'overlap.bin');
    check(records.at(-1).passes > 1 && records.at(-1).complete, 'overlap.bin: velkor scan reads it in passes',
          JSON.stringify(records.at(-1)));
    same((await rows()).map(asTool), findsOnly(records).slice(0, 100).map(pickTool), 'overlap.bin: finds as velkor scan --all --json -k');
    await findingsMatch('overlap.bin', 'overlap.bin, read in passes', ['-k', KEY, '--data-sized']);
  });

  // The page's responsiveness: the longest pause between timer ticks on
  // the page while `act` runs.
  // The collections above are stopped meanwhile: they load the machine,
  // not the page.
  async function longestPause(act) {
    collecting = false;
    await Promise.all(page.workers().map(collect));
    await page.evaluate(() => {
      window.longest = 0;
      let last = performance.now();
      window.ticker = setInterval(() => {
        const now = performance.now();
        window.longest = Math.max(window.longest, now - last);
        last = now;
      }, 10);
    });
    try {
      await act();
    } finally {
      collecting = true;
      await Promise.all(page.workers().map(collect));
    }
    return page.evaluate(() => { clearInterval(window.ticker); return window.longest; });
  }

  // 100,000 finds: shown a page at a time, the map as a density strip, and
  // the tab never frozen.
  await section('100,000 finds', async () => {
    const t0 = Date.now();
    let late = null; // a page that shows nothing in time still has its pause measured
    const pause = await longestPause(() => pick('many.bin').catch((e) => { late = e; }));
    const ms = Date.now() - t0;
    check(pause < 500, 'many.bin: 100,000 finds scanned and shown without freezing the page',
          `longest pause ${pause.toFixed(0)} ms`);
    console.log(`    (100,000 finds shown in ${ms} ms, longest pause ${pause.toFixed(0)} ms)`);
    if (late) throw late;
    check(/100,000 finds/.test(await page.$eval('#scan-summary', (p) => p.textContent)), 'many.bin: says 100,000 finds');
    const first = await rows();
    check(first.length === 100 && first.every((r, i) => Number(r.offset) === MANY_AT + 20 * i), 'many.bin: the first page of rows');
    const bins = await page.$$eval('#map .bin', (bs) => bs.map((b) => Number(b.dataset.count)));
    check(await page.$('#map .span') === null && bins.reduce((a, b) => a + b, 0) === 100000,
          'many.bin: the map is a density strip counting every find', `${bins.length} bins`);
    const nodes = await page.evaluate(() => document.getElementsByTagName('*').length);
    check(nodes < 5000, 'many.bin: the page holds a few thousand elements, not one per find', `${nodes} elements`);
    await shot('many');
    const flip = await longestPause(async () => {
      await page.click('#file-scan [data-page=next]');
      await page.waitForFunction((at) => document.querySelector('#finds tbody tr').dataset.offset === at, {},
                                 String(MANY_AT + 2000));
    });
    const second = await rows();
    check(second.length === 100 && Number(second[0].offset) === MANY_AT + 2000 && flip < 500, 'many.bin: the next page');
    await page.$eval('#file-scan .pager input', (i) => { i.value = '1000'; i.dispatchEvent(new Event('change')); });
    const last = await rows();
    check(last.length === 100 && Number(last[99].offset) === MANY_AT + 20 * 99999, 'many.bin: the last page');
    let got;
    const dl = await longestPause(async () => { got = await findingsMatch('many.bin', 'many.bin'); });
    check(dl < 500, 'many.bin: the findings are written without freezing the page', `longest pause ${dl.toFixed(0)} ms`);
  });

  // A larger file: the worker reports progress, and the page keeps
  // answering while it scans.
  await section('a larger file', async () => {
    await page.evaluate(() => {
      window.seen = new Set();
      new MutationObserver(() => window.seen.add(document.getElementById('progress-text').textContent))
        .observe(document.getElementById('progress-text'), { childList: true, characterData: true, subtree: true });
    });
    const pause = await longestPause(() => pick('big.bin'));
    const seen = await page.evaluate(() => [...window.seen]);
    const partway = seen.filter((t) => /^Scanning: .* \((\d|[1-9]\d)%\)$/.test(t));
    check(partway.length >= 2, 'big.bin: progress shown as the scan goes', seen.join(' | '));
    check(pause < 500, 'big.bin: the page kept answering during the scan', `longest pause ${pause.toFixed(0)} ms`);
    const rowsBig = await rows();
    check(rowsBig.length === 1 && Number(rowsBig[0].offset) === 96 << 20, 'big.bin: the tagged file at its end found');
  });

  // A file with nothing in it: said plainly, not as an error; then making
  // a tagged file of it.
  await section('a file with nothing in it', async () => {
    await pick('noise.bin');
    const nothing = await verdictOf('#scan-summary');
    check(/neither a tagged file nor a container/i.test(nothing.text) && nothing.kind === 'neutral' && await errorShown() === '',
          'noise: says it is neither format, neutrally', JSON.stringify(nothing));
    await findingsMatch('noise.bin', 'noise');
    await shot('neither');
  });
  await section('making a tagged file', async () => {
    const p = await saved('#make-tagged');
    tool('tag', 'noise.bin', 'noise.tagged');
    check(p.data.equals(fs.readFileSync(f('noise.tagged'))) && p.name === 'noise.bin.bgn',
          'make a tagged file: the same bytes as velkor tag, saved as NAME.bgn', p.name);
    check(/Saved noise\.bin\.bgn/.test(await page.$eval('#made', (m) => (m.hidden ? '' : m.textContent))),
          'make a tagged file: the page says what it saved');
  });

  check(consoleErrors.length === 0, 'no errors on the page or in the worker', consoleErrors.join('\n    '));
} finally {
  await browser.close();
  server.kill();
  other.close();
  fs.rmSync(profile, { recursive: true, force: true });
}

const foreign = requests.filter((u) => !u.startsWith(origin + '/') && !u.startsWith('blob:') &&
                                       !u.startsWith('data:'));
check(requests.length > 0 && foreign.length === 0, 'every request stayed on the page\'s own origin',
      foreign.join(' '));
check(served.includes('/velkor.wasm') && requests.some((u) => u.endsWith('/velkor.wasm')),
      'the worker\'s own requests were watched too');
console.log(failures === 0 ? 'all checks passed' : `${failures} checks failed`);
process.exit(failures === 0 ? 0 : 1);
