// The page in a real browser: files dropped or picked, what it shows held
// against `velkor info --json` and `velkor scan --json`, every saved file
// compared byte for byte, and every request checked to stay on the page's
// own origin.  The page is served as its README says, by python3's
// http.server.  Screenshots of each view go to OUT/screenshots.
//
//   node page_test.mjs SITE_DIR VELKOR OUT_DIR
import puppeteer from 'puppeteer-core';
import { execFileSync, spawn } from 'node:child_process';
import crypto from 'node:crypto';
import fs from 'node:fs';
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
function check(ok, what, detail = '') {
  if (ok) {
    console.log(`ok: ${what}`);
  } else {
    failures++;
    console.log(`FAILED: ${what}${detail ? `\n    ${detail}` : ''}`);
  }
}
const same = (a, b, what) => check(JSON.stringify(a) === JSON.stringify(b), what,
                                   `page ${JSON.stringify(a)}\n    tool ${JSON.stringify(b)}`);

// ---- Files, made by the command-line tool ----------------------------------

const f = (name) => path.join(files, name);
const tool = (...args) => execFileSync(velkor, args, { encoding: 'utf8', stdio: ['ignore', 'pipe', 'ignore'] });
const toolJson = (...args) => {
  let text;
  try {
    text = tool(...args);
  } catch (e) {
    text = e.stdout; // a damaged file: the JSON is printed, the status is 1
  }
  return text.trim().split('\n').filter(Boolean).map((l) => JSON.parse(l));
};
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
tool('tag', f('payload.bin'), f('good.tagged'));
const good = fs.readFileSync(f('good.tagged'));
const damaged = Buffer.from(good);
damaged[1000] ^= 0x10;
fs.writeFileSync(f('damaged.tagged'), damaged);
fs.writeFileSync(f('cut.tagged'), good.subarray(0, good.length - 100));
const KEY = 'correct horse';
tool('pack', '-k', KEY, '-l', 'Field unit 7', '-s', 'cal', '-p', '0x41', f('payload.bin'), f('box.container'));
tool('pack', '-k', KEY, '-l', 'sized', '-s', 'd', '-m', 'asar1', '--data-sized',
     f('payload.bin'), f('sized.container'));
const box = fs.readFileSync(f('box.container'));
fs.writeFileSync(f('cut.container'), box.subarray(0, box.length - 10));

// A dump: noise with planted finds, one nested in another, one damaged.
const small = bytes(5000, 'small');
fs.writeFileSync(f('small.bin'), small);
tool('tag', f('small.bin'), f('small.tagged'));
const smallTagged = fs.readFileSync(f('small.tagged'));
fs.writeFileSync(f('outer.bin'), Buffer.concat([bytes(3000, 'o1'), smallTagged, bytes(2000, 'o2')]));
tool('tag', f('outer.bin'), f('outer.tagged'));
const outer = fs.readFileSync(f('outer.tagged'));
const broken = Buffer.from(smallTagged);
broken[500] ^= 1;
const dump = Buffer.concat([bytes(1 << 20, 'd1'), outer, bytes(700000, 'd2'), box, bytes(400000, 'd3'),
                            broken, bytes(900000, 'd4'), good, bytes(123457, 'd5')]);
fs.writeFileSync(f('dump.bin'), dump);
fs.writeFileSync(f('noise.bin'), bytes(200000, 'noise'));
fs.writeFileSync(f('big.bin'), Buffer.concat([crypto.randomBytes(96 << 20), good]));

// ---- The page, served from SITE_DIR by `python3 -m http.server` ---------------

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

const profile = fs.mkdtempSync(path.join(out, 'profile-'));
const browser = await puppeteer.launch({
  executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
  headless: true,
  args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
         '--disable-background-networking', '--disable-component-update', '--disable-sync',
         `--user-data-dir=${profile}`, '--window-size=1200,900'],
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
      if (Date.now() - t0 > 30000) throw new Error(`nothing was saved by ${selector}`);
      await new Promise((r) => setTimeout(r, 50));
    }
  }
  const pick = async (name) => {
    await page.evaluate(() => { document.getElementById('result').hidden = true; });
    const input = await page.$('#file');
    await input.uploadFile(f(name));
    await page.waitForFunction(() => !document.getElementById('result').hidden ||
                               !document.getElementById('error').hidden, { timeout: 60000 });
  };
  const shown = () => page.$$eval('#result dd[data-field]', (dds) =>
    Object.fromEntries(dds.map((d) => [d.dataset.field, d.dataset.value])));
  const verdictOf = () => page.$eval('#verdict', (v) => ({ kind: v.dataset.verdict, text: v.textContent }));
  const shot = (name) => page.screenshot({ path: path.join(shots, `${name}.png`), fullPage: true });
  const num = (s) => (s === '' ? null : Number(s));

  await page.goto(origin + '/', { waitUntil: 'networkidle0' });
  check(await page.$eval('#private', (p) => /never leave/.test(p.textContent)), 'the page says that files stay on it');

  // A tagged file, dropped on the page (the other files are picked).
  {
    const b64 = good.toString('base64');
    await page.evaluate((b) => {
      const raw = Uint8Array.from(atob(b), (c) => c.charCodeAt(0));
      const dt = new DataTransfer();
      dt.items.add(new File([raw], 'good.tagged'));
      const box = document.getElementById('drop');
      box.dispatchEvent(new DragEvent('dragover', { dataTransfer: dt, bubbles: true, cancelable: true }));
      box.dispatchEvent(new DragEvent('drop', { dataTransfer: dt, bubbles: true, cancelable: true }));
    }, b64);
    await page.waitForSelector('#result:not([hidden]) #verdict', { timeout: 60000 });
    const info = toolJson('info', '--json', f('good.tagged'))[0];
    const s = await shown();
    same([num(s.length), num(s.payloadLength), num(s.storedCrc), num(s.computedCrc)],
         [info.length, info.payload_length, info.stored_crc, info.computed_crc], 'dropped tagged file: fields as velkor info');
    check((await verdictOf()).kind === 'ok' && info.ok, 'dropped tagged file: sound');
    await shot('tagged');
    const p = await saved('#save-payload');
    check(p.data.equals(payload), 'tagged file: the saved payload is byte-exact');
  }

  // Damaged tagged files: wrong CRC, and cut off.
  for (const [name, words] of [['damaged.tagged', /CRC/], ['cut.tagged', /wrong length/]]) {
    await pick(name);
    const info = toolJson('info', '--json', f(name))[0];
    const s = await shown();
    same([num(s.length), num(s.payloadLength), num(s.storedCrc), num(s.computedCrc)],
         [info.length, info.payload_length, info.stored_crc, info.computed_crc], `${name}: fields as velkor info`);
    const v = await verdictOf();
    check(v.kind === 'bad' && !info.ok && words.test(v.text), `${name}: says what is damaged`, v.text);
    check(await page.$('#save-payload') === null, `${name}: no payload is offered`);
    if (name === 'damaged.tagged') await shot('tagged-damaged');
  }

  // Containers: header without a key, then the wrong and the right key.
  for (const [name, sized] of [['box.container', false], ['sized.container', true]]) {
    await pick(name);
    const info = toolJson('info', '--json', '-k', KEY, ...(sized ? ['--data-sized'] : []), f(name))[0];
    let s = await shown();
    same([s.magic, num(s.prefix), num(s.length)], [info.magic, info.prefix, info.length],
         `${name}: magic, prefix and length as velkor info`);
    await page.type('#key', 'not the key');
    if (sized) await page.click('#data-sized');
    await page.click('#key-go');
    await page.waitForSelector('#opened #verdict', { timeout: 60000 });
    const wrong = await verdictOf();
    check(wrong.kind === 'bad' && /wrong key or damaged container/i.test(wrong.text),
          `${name}: a wrong key says "wrong key or damaged container"`, wrong.text);
    if (!sized) await shot('container-wrong-key');
    await page.$eval('#key', (k) => { k.value = ''; });
    await page.type('#key', KEY);
    await page.click('#key-go');
    await page.waitForSelector('#opened #verdict[data-verdict=ok]', { timeout: 60000 });
    s = await shown();
    same([s.magic, num(s.prefix), s.label, s.sublabel, num(s.length), num(s.checksum)],
         [info.magic, info.prefix, info.label, info.sublabel, info.length, info.checksum],
         `${name}: with the key, fields as velkor info`);
    if (!sized) await shot('container');
    const p = await saved('#save-payload');
    check(p.data.equals(payload), `${name}: the saved payload is byte-exact`);
  }

  // A container cut off: refused before any key, saying why.
  {
    await pick('cut.container');
    const v = await verdictOf();
    check(v.kind === 'bad' && /run past the end of the file/.test(v.text) && await page.$('#key') === null,
          'cut.container: says that it is cut off, and asks no key', v.text);
  }

  // A dump: scanned without and with the key; map and table as velkor scan.
  const rows = () => page.$$eval('#finds tbody tr', (trs) => trs.map((t) => ({ ...t.dataset })));
  const asTool = (r) => ({
    offset: Number(r.offset), kind: r.kind, length: Number(r.length),
    payload_offset: Number(r.payloadOffset), payload_length: Number(r.payloadLength),
    reason: r.reason === 'verified' ? null : r.reason, inside: r.inside === '' ? null : Number(r.inside),
  });
  const pickTool = (j) => ({ offset: j.offset, kind: j.kind, length: j.length, payload_offset: j.payload_offset,
                             payload_length: j.payload_length, reason: j.reason, inside: j.inside });
  await pick('dump.bin');
  await page.waitForSelector('#finds', { timeout: 60000 });
  const scanned = toolJson('scan', '--all', '--json', f('dump.bin'));
  check(scanned.length === 5, 'the dump has its five planted finds', `${scanned.length} finds`);
  same((await rows()).map(asTool), scanned.map(pickTool), 'dump, no key: finds as velkor scan --all --json');
  const spans = await page.$$eval('#map .span', (ss) => ss.map((s) => ({
    offset: Number(s.dataset.offset), state: s.classList[1], row: Number(s.parentElement.dataset.depth) })));
  same(spans.map((s) => s.offset).sort((a, b) => a - b), scanned.map((j) => j.offset), 'dump: one span per find on the map');
  check(spans.some((s) => s.row > 0) && new Set(spans.map((s) => s.state)).size === 3,
        'dump: nested finds on their own row; verified, unverified and damaged spans', JSON.stringify(spans));
  await page.hover('#map .span.damaged');
  const tipText = await page.$eval('#tip', (t) => t.textContent);
  check(/0x[0-9A-F]{8}/.test(tipText) && tipText.includes(String(dump.indexOf(broken))),
        'dump: hovering a span shows its offsets', tipText);
  await shot('scan');
  // Saves without a key: a tagged find's payload, a container as it is.
  const boxAt = dump.indexOf(box);
  let p = await saved(`button[data-save="${boxAt}"]`);
  check(p.data.equals(box), 'dump, no key: the saved container is byte-exact');
  const goodAt = dump.lastIndexOf(good);
  p = await saved(`button[data-save="${goodAt}"]`);
  check(p.data.equals(payload), 'dump: the saved tagged find\'s payload is byte-exact');
  check(await page.$(`button[data-save="${dump.indexOf(broken)}"]`) === null, 'dump: a damaged find offers no save');

  await page.type('#key', KEY);
  await page.click('#key-go');
  await page.waitForFunction(() => [...document.querySelectorAll('#finds tbody tr')]
    .some((t) => t.dataset.label !== ''), { timeout: 60000 });
  const keyed = toolJson('scan', '--all', '--json', '-k', KEY, f('dump.bin'));
  same((await rows()).map((r) => ({ ...asTool(r), label: r.label || undefined, sublabel: r.sublabel || undefined })),
       keyed.map((j) => ({ ...pickTool(j), label: j.label, sublabel: j.sublabel })),
       'dump, with the key: finds, labels and sublabels as velkor scan --all --json -k');
  p = await saved(`button[data-save="${boxAt}"]`);
  check(p.data.equals(payload), 'dump, with the key: the saved container payload is byte-exact');

  // A larger file: the worker reports progress, and the page keeps
  // answering while it scans (the longest pause between timer ticks).
  {
    await page.evaluate(() => {
      window.seen = new Set();
      new MutationObserver(() => window.seen.add(document.getElementById('progress-text').textContent))
        .observe(document.getElementById('progress-text'), { childList: true, characterData: true, subtree: true });
      window.longest = 0;
      let last = performance.now();
      window.ticker = setInterval(() => {
        const now = performance.now();
        window.longest = Math.max(window.longest, now - last);
        last = now;
      }, 10);
    });
    await pick('big.bin');
    const [seen, longest] = await page.evaluate(() => { clearInterval(window.ticker); return [[...window.seen], window.longest]; });
    const partway = seen.filter((t) => /^Scanning: .* \((\d|[1-9]\d)%\)$/.test(t));
    check(partway.length >= 2, 'big.bin: progress shown as the scan goes', seen.join(' | '));
    check(longest < 500, 'big.bin: the page kept answering during the scan', `longest pause ${longest.toFixed(0)} ms`);
    const rowsBig = await rows();
    check(rowsBig.length === 1 && Number(rowsBig[0].offset) === 96 << 20, 'big.bin: the tagged file at its end found');
  }

  // A file with nothing in it, then making a tagged file of it.
  await pick('noise.bin');
  const nothing = await verdictOf();
  check(/neither a tagged file nor a container/i.test(nothing.text), 'noise: says it is neither format', nothing.text);
  await shot('neither');
  p = await saved('#make-tagged');
  tool('tag', f('noise.bin'), f('noise.tagged'));
  check(p.data.equals(fs.readFileSync(f('noise.tagged'))), 'make a tagged file: the same bytes as velkor tag');

  check(consoleErrors.length === 0, 'no errors on the page or in the worker', consoleErrors.join('\n    '));
} finally {
  await browser.close();
  server.kill();
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
