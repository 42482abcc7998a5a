// SPDX-License-Identifier: MIT
// The page: hands files to the worker and shows what the library found.
// No byte of a file is read here; the worker does all of it.
'use strict';

const $ = (id) => document.getElementById(id);
const WASM = new URL('velkor.wasm', location.href).href;

// ---- The worker ------------------------------------------------------------

// A module worker started from a blob: URL of its script: such a worker
// runs under this page's content security policy, while one started from
// worker.js's own URL would run under whatever policy the server sent with
// it (none, from a plain static server).  It imports the velkor package
// (velkor.js, beside this page) by its full address.  Cancelling a job
// ends the worker; the next job starts a fresh one.
const PACKAGE = new URL('velkor.js', location.href).href;
let jobs = 0;
const waiting = new Map();
const script = (async () => {
  const res = await fetch('worker.js');
  if (!res.ok) throw new Error(`the page's worker could not be loaded (${res.status})`);
  return URL.createObjectURL(new Blob([await res.text()], { type: 'text/javascript' }));
})();
let worker = null;
function start() {
  worker = script.then((url) => {
    const w = new Worker(url, { type: 'module' });
    w.postMessage({ job: 'load', module: PACKAGE }); // loaded before a file comes
    w.onmessage = (e) => {
      const m = e.data;
      if (m.progress) return showProgress(m.progress);
      const job = waiting.get(m.id);
      waiting.delete(m.id);
      if (m.error) job.reject(new Error(m.error)); else job.resolve(m.result);
    };
    w.onerror = (e) => {
      const words = `the page's worker stopped${e.message ? `: ${e.message}` : ''}`;
      for (const job of waiting.values()) job.reject(new Error(words));
      waiting.clear();
    };
    return w;
  });
  worker.catch(() => {}); // reported by the first job
}
start();

class Cancelled extends Error {}

async function run(job, blob, extra = {}) {
  const w = await worker;
  const id = ++jobs;
  $('status').hidden = false;
  $('cancel').hidden = false;
  showProgress({ label: 'Reading', done: 0, total: blob ? blob.size : 0 });
  return new Promise((resolve, reject) => {
    waiting.set(id, { resolve, reject });
    w.postMessage({ id, job, blob, ...extra });
  }).finally(() => {
    if (waiting.size === 0) {
      $('progress-text').textContent = '';
      $('cancel').hidden = true;
      // A data-sized table is as large as its payload, and the module's
      // memory never shrinks: the worker that held one is replaced.
      if (extra.dataSized) recycle();
    }
  });
}

function recycle() {
  worker.then((w) => w.terminate());
  start();
}

// Ends whatever the worker is doing (a button, or Escape while it works).
function cancel() {
  if (waiting.size === 0) return;
  for (const job of waiting.values()) job.reject(new Cancelled('cancelled'));
  waiting.clear();
  recycle();
  $('cancel').hidden = true;
  $('progress-text').textContent = '';
  say('Cancelled.');
  $('choose').focus();
}
$('cancel').addEventListener('click', cancel);
addEventListener('keydown', (e) => {
  if (e.key === 'Escape' && waiting.size > 0) {
    e.preventDefault();
    cancel();
  }
});

// Said to a screen reader at once (the live region), whatever has focus.
function say(words) {
  const box = $('announce');
  box.textContent = '';
  // A change of text, even to the same words, is announced again.
  setTimeout(() => { box.textContent = words; }, 50);
}

function showProgress(p) {
  const pct = p.total > 0 ? Math.floor((100 * p.done) / p.total) : 100;
  $('progress').style.width = pct + '%';
  $('progress-text').textContent = `${p.label}: ${bytes(p.done)} of ${bytes(p.total)} (${pct}%)`;
}

// ---- Words and numbers ---------------------------------------------------

function bytes(n) {
  if (n < 1024) return `${n} bytes`;
  const units = ['KiB', 'MiB', 'GiB'];
  let v = n / 1024, u = 0;
  while (v >= 1024 && u < units.length - 1) { v /= 1024; u++; }
  return `${v.toFixed(1)} ${units[u]}`;
}
// Hex in lower case, offsets and CRCs alike, as the command prints it.
const hex8 = (n) => '0x' + n.toString(16).padStart(8, '0');
const hex2 = (n) => '0x' + n.toString(16).padStart(2, '0');
const count = (n) => `${n.toLocaleString('en')} bytes`;
const many = (n, one, more) => `${n.toLocaleString('en')} ${n === 1 ? one : more}`;
const cap = (s) => s.charAt(0).toUpperCase() + s.slice(1);

function el(tag, attrs = {}, ...kids) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs)) {
    if (k === 'class') e.className = v;
    else if (k === 'on') for (const [ev, fn] of Object.entries(v)) e.addEventListener(ev, fn);
    else if (v !== null && v !== undefined) e.setAttribute(k, v);
  }
  for (const k of kids) if (k !== null && k !== undefined) e.append(k);
  return e;
}

// A list of fields; each value keeps its raw number for whoever reads the page.
function fields(rows) {
  const dl = el('dl', { class: 'fields' });
  for (const [name, key, raw, shown] of rows) {
    dl.append(el('dt', {}, name));
    dl.append(el('dd', { 'data-field': key, 'data-value': raw === null ? '' : String(raw) },
                 raw === null ? '—' : shown));
  }
  return dl;
}

function verdict(kind, headline, detail, id = 'verdict') {
  return el('p', { class: `verdict ${kind}`, id, 'data-verdict': kind }, headline,
            detail ? el('span', { class: 'detail' }, detail) : null);
}

function save(blob, name) {
  const url = URL.createObjectURL(blob);
  const a = el('a', { href: url, download: name });
  document.body.append(a);
  a.click();
  a.remove();
  setTimeout(() => URL.revokeObjectURL(url), 60000);
}

// Names as `velkor scan` writes them: <base>-<offset>.payload for a
// payload, .bgn or .vc for a find saved whole (.unopened.vc for a
// container the typed keys do not open, .damaged.bgn, .damaged.vc for
// the rest of those neither verified nor waiting for a key), the offset
// in 8 hex digits; a find inside payloads has the offset of each
// container on the way from the file before its own.
const baseName = (f) => f.name || 'file';
const findName = (base, offsets, ext) =>
  `${base}${offsets.map((o) => '-' + o.toString(16).padStart(8, '0')).join('')}.${ext}`;

// ---- Opening a file ------------------------------------------------------

let current = null; // the file on show
// The keys ({ keys, dataSized, payloads }), kept for the next file only
// when asked (off by default), and only in this page's memory.
let kept = null;

// Every file is scanned whole; a tagged file or a container at its start
// is shown first, as `velkor info` shows it.  A new file is opened with
// the kept keys, if any.
async function open(file, key = null) {
  if (key === null && file !== current && kept !== null) key = kept;
  current = file;
  $('error').hidden = true;
  $('made').hidden = true;
  if (!key) $('result').hidden = true;
  $('tools').hidden = false;
  $('filename').textContent = `${file.name} (${count(file.size)})`;
  try {
    const r = await run('open', file, key ?? {});
    if (current !== file) return;
    showFile(file, r, key);
    // The worker's times, for the benchmark.
    Object.assign($('result').dataset, { ms: r.ms, waitMs: r.waitMs, workMs: r.workMs });
  } catch (err) {
    if (current === file) failed(err);
  }
}

// A job's failure, said; a cancelled job was meant to end.
function failed(err) {
  if (!(err instanceof Cancelled)) problem(err.message);
}

function problem(words) {
  $('error').textContent = cap(words) + '.';
  $('error').hidden = false;
  say(cap(words) + '.');
}

function showFile(file, r, key) {
  const base = baseName(file);
  const whole = findsOf(r.scan, file, base, key);
  const kids = [];
  if (r.kind === 'tagged') kids.push(el('h2', {}, 'Tagged file'), ...taggedCard(file, r.tagged));
  else if (r.kind === 'container') kids.push(el('h2', {}, 'Container'), ...containerCard(file, r.container));
  else kids.push(el('h2', {}, 'Scan'));

  const opens = r.kind === 'container' && r.container.reason === 0;
  if (opens || whole.keyable > 0) kids.push(keyForm(file, opens, key));
  kids.push(el('section', { class: 'inside', id: 'file-scan' },
               r.kind === 'other' ? null : el('h3', {}, 'Scan of the whole file'),
               ...findsView(whole, '', r.kind)));
  const box = $('result');
  box.replaceChildren(...kids);
  box.hidden = false;
  // Focus on the result's heading, and the result said: a keyboard or
  // screen reader user is taken to what came of the file (or the key).
  const h = box.querySelector('h2');
  h.id = 'result-heading';
  h.tabIndex = -1;
  h.focus();
  say([h.textContent, box.querySelector('.verdict')?.textContent,
       whole.n > 0 || r.kind === 'other' ? box.querySelector('#scan-summary')?.textContent : null]
    .filter(Boolean).join('. ').replace(/\.\./g, '.'));
}

// Tag reasons, numbered as the library numbers them.
function tagVerdict(t, size) {
  switch (t.reason) {
  case 0: return verdict('ok', 'Sound: the length and the CRC match, so the payload is intact.');
  case 3: return verdict('bad', 'Not a tagged file this program knows, or a damaged one.',
                         `Its format byte is ${hex2(t.format)}, not the one tagged files carry.`);
  case 4: return verdict('bad', 'Damaged, or more than a tagged file: the length does not match.',
                         `The header says ${count(t.storedLength)}, but the file has ${count(size)}: ` +
                         (size < t.storedLength ? 'it was cut off.'
                           : 'bytes were added to it, or it is a larger file that starts with one.') +
                         ' The scan below shows what it holds.');
  case 5: return verdict('bad', 'Damaged: the contents do not match the stored CRC.',
                         `Stored ${hex8(t.storedCrc)}, computed ${hex8(t.computedCrc)}: some bytes were changed.`);
  }
  return verdict('bad', 'Not a tagged file.');
}

function taggedCard(file, t) {
  const rows = [
    ['Kind', 'kind', 'tagged', 'tagged file'],
    ['Total length', 'length', file.size, count(file.size)],
    ['Length in the header', 'storedLength', t.storedLength ?? null, count(t.storedLength ?? 0)],
    ['Payload length', 'payloadLength', file.size - t.headerLength, count(file.size - t.headerLength)],
    ['Stored CRC', 'storedCrc', t.storedCrc ?? null, hex8(t.storedCrc ?? 0)],
    ['Computed CRC', 'computedCrc', t.computedCrc, t.computedCrc === null ? '' : hex8(t.computedCrc)],
  ];
  const kids = [fields(rows), tagVerdict(t, file.size)];
  if (t.reason === 0) {
    const name = findName(baseName(file), [0], 'payload');
    kids.push(el('button', { id: 'save-payload', title: `Save the payload as ${name}`,
                             'aria-label': 'Save payload of this tagged file',
                             on: { click: () => save(file.slice(t.headerLength), name) } }, 'Save payload'));
  } else if (t.reason === 5) {
    kids.push(el('p', { class: 'note' }, 'The payload is not offered: it does not match its CRC.'));
  }
  return kids;
}

// The lengths as stored count each text's NUL; shown without it.
function containerCard(file, c) {
  const kids = [fields([
    ['Kind', 'kind', 'container', 'container'],
    ['Magic', 'magic', c.magic, c.magic],
    ['Prefix', 'prefix', c.prefix, hex2(c.prefix)],
    ['Label length', 'labelLength', Math.max(c.labelLength - 1, 0), count(Math.max(c.labelLength - 1, 0))],
    ['Sublabel length', 'sublabelLength', Math.max(c.sublabelLength - 1, 0),
     count(Math.max(c.sublabelLength - 1, 0))],
    ['Payload length', 'length', c.dataLength, count(c.dataLength)],
    ['Total length', 'fileLength', file.size, count(file.size)],
  ])];
  if (c.reason !== 0) {
    kids.push(verdict('bad', 'Damaged container.', cap(c.message) + '.'));
    return kids;
  }
  const o = c.opened;
  if (!c.keyed) {
    kids.push(el('p', { class: 'note' }, 'Type the key to see the label and to check and save the payload.'));
  } else if (!o) {
    kids.push(verdict('bad', 'Damaged container.', cap(c.message) + '.'));
  } else if (o.reason === 8 || o.reason === 9) {
    kids.push(verdict('notopened', 'Not opened with these keys.',
                      'No key, or not the data-sized setting, is the one it was made with, or the ' +
                      'container is damaged: the two cannot be told apart.'));
  } else if (o.reason !== 0) {
    kids.push(verdict('bad', 'Damaged container.', cap(o.message) + '.'));
  } else {
    const name = findName(baseName(file), [0], 'payload');
    kids.push(
      fields([
        ['Label', 'label', o.label, o.label],
        ['Sublabel', 'sublabel', o.sublabel, o.sublabel],
        ['Checksum', 'checksum', o.checksum, hex8(o.checksum)],
        ['Opened by', 'key', o.key, `key ${o.key}`],
      ]),
      verdict('ok', `Sound: key ${o.key} fits and the payload matches its checksum.`),
      el('button', { id: 'save-payload', title: `Save the payload as ${name}`,
                     'aria-label': 'Save payload of this container',
                     on: { click: () => save(o.payload, name) } }, 'Save payload'));
  }
  return kids;
}

// The keys, typed hidden (a toggle shows them), one a field, tried in
// order: for the container at the start and the containers inside.  The
// whole file is read again with them.  A list pasted into a field is
// spread over fields, a line each.
function keyForm(file, opens, key) {
  const list = el('div', { class: 'key-list', id: 'key-list' });
  let showing = false;
  const field = (value) => {
    const n = list.children.length + 1;
    const input = el('input', { type: showing ? 'text' : 'password', id: n === 1 ? 'key' : `key-${n}`,
                                placeholder: n === 1 ? 'key' : `key ${n}`, autocomplete: 'off', spellcheck: 'false',
                                'aria-label': `Key ${n}`, class: 'key-field' });
    input.value = value;
    input.addEventListener('paste', (e) => {
      const text = e.clipboardData?.getData('text') ?? '';
      const lines = text.split(/\r?\n/).filter((l) => l !== '');
      if (lines.length < 2) return;
      e.preventDefault();
      input.value = lines[0];
      let at = [...list.children].indexOf(input.parentElement);
      for (const line of lines.slice(1)) {
        const next = list.children[++at]?.querySelector('input');
        if (next && next.value === '') next.value = line; else field(line);
      }
    });
    list.append(el('label', {}, `Key ${n} `, input));
    return input;
  };
  const keys = key?.keys ?? [];
  for (const k of keys.length > 0 ? keys : ['']) field(k);
  const values = () => [...list.querySelectorAll('input')].map((i) => i.value).filter((v) => v !== '');
  const add = el('button', { type: 'button', id: 'key-add', class: 'small quiet', 'aria-label': 'Add a key field',
                             on: { click: () => field('').focus() } }, 'Add a key');
  const sized = el('input', { type: 'checkbox', id: 'data-sized' });
  sized.checked = Boolean(key?.dataSized);
  const inside = el('input', { type: 'checkbox', id: 'look-inside' });
  inside.checked = key ? key.payloads !== false : true;
  const keep = el('input', { type: 'checkbox', id: 'keep-key' });
  keep.checked = kept !== null;
  const chosen = () => ({ keys: values(), dataSized: sized.checked, payloads: inside.checked });
  const keepNow = () => {
    kept = keep.checked && values().length > 0 ? chosen() : null;
  };
  keep.addEventListener('change', keepNow);
  const reveal = el('button', { type: 'button', id: 'key-show', class: 'small quiet', 'aria-pressed': 'false',
                                'aria-label': 'Show the keys',
                                on: { click: () => {
                                  showing = !showing;
                                  for (const i of list.querySelectorAll('input')) i.type = showing ? 'text' : 'password';
                                  reveal.textContent = showing ? 'Hide' : 'Show';
                                  reveal.setAttribute('aria-pressed', String(showing));
                                } } }, 'Show');
  const go = opens ? 'Open with these keys' : key ? 'Check again with these keys' : 'Check the containers with these keys';
  const form = el('form', { class: 'key', id: 'key-form' },
                  list, el('span', { class: 'key-tools' }, add, ' ', reveal),
                  el('label', {}, sized, ' data-sized tables'),
                  el('label', {}, inside, ' Look inside opened containers'),
                  el('label', {}, keep, ' keep the keys for the next file'),
                  el('button', { type: 'submit', id: 'key-go' }, go));
  form.addEventListener('submit', (e) => {
    e.preventDefault();
    if (values().length === 0) return problem('type a key first');
    keepNow();
    open(file, chosen());
  });
  return form;
}

// ---- Finds: the map and the table -------------------------------------------------

// The worker hands the finds over as flat arrays (see its Scan); a row is
// made into an object only when it is shown.  Finds inside payloads come
// right after their container (depth first), each with its level: from
// these the page knows each one's container (parent), where it lies in
// the file (abs: a payload's bytes lie where its container's enciphered
// ones do) and its row on the map (depth).
function findsOf(s, source, base, key) {
  const { NF, NT } = s;
  const labels = new Map(s.labels.map(([i, label, sublabel]) => [i, { label, sublabel }]));
  const ascii = (t) => String.fromCharCode(...(t.includes(0) ? t.subarray(0, t.indexOf(0)) : t));
  const v = (i, k) => s.rec[i * NF + k];
  const parent = new Int32Array(s.n), abs = new Float64Array(s.n), depth = new Int32Array(s.n);
  const holders = []; // holders[level]: the container whose payload's finds come now
  const byPlace = new Map(); // "parent:offset" -> index, for inside
  for (let i = 0; i < s.n; i++) {
    const level = v(i, 12);
    holders.length = level;
    const p = level > 0 ? holders[level - 1] : -1;
    parent[i] = p;
    abs[i] = (p >= 0 ? abs[p] + v(p, 4) - v(p, 0) : 0) + v(i, 0);
    const around = v(i, 6) >= 0 ? byPlace.get(`${p}:${v(i, 6)}`) : undefined;
    depth[i] = around !== undefined ? depth[around] + 1 : p >= 0 ? depth[p] + 1 : 0;
    byPlace.set(`${p}:${v(i, 0)}`, i);
    holders.push(i);
  }
  const at = (i) => {
    const r = s.rec.subarray(i * NF, (i + 1) * NF);
    const f = {
      index: i, offset: r[0], kind: r[1] === 1 ? 'tagged' : 'container', reason: s.reasons[r[2]], length: r[3],
      payloadOffset: r[4], payloadLength: r[5], inside: r[6] < 0 ? null : r[6], payloadOf: r[9] < 0 ? null : r[9],
      key: r[10] === 0 ? null : r[10], damagedTexts: r[11] !== 0, level: r[12],
      verified: r[13] < 0 ? null : r[13] === 1, abs: abs[i], depth: depth[i],
    };
    // The containers on the way from the file, outermost first.
    f.chain = [];
    for (let p = parent[i]; p >= 0; p = parent[p])
      f.chain.unshift({ offset: v(p, 0), length: v(p, 3), key: v(p, 10) });
    f.path = [...f.chain.map((c) => c.offset), f.offset].join('/');
    if (f.kind === 'container') {
      f.magic = ascii(s.txt.subarray(i * NT, i * NT + 6));
      Object.assign(f, labels.get(i));
    }
    return f;
  };
  // Containers that a key could open or has opened (not cut off).
  let verified = 0, keyable = 0;
  for (let i = 0; i < s.n; i++) {
    const st = state({ reason: s.reasons[v(i, 2)], verified: v(i, 13) < 0 ? null : v(i, 13) === 1 });
    if (st === 'verified') verified++;
    if (v(i, 1) !== 1 && st !== 'damaged') keyable++;
  }
  return { scan: s, n: s.n, at, verified, keyable, source, base, key, size: s.bytes, reasons: s.reasons };
}

// verified, unverified (a container and no key), notopened (a container
// that the typed keys do not open), notchecked (not checked, for the
// memory limit or the work budget: no failure), damaged.
function state(f) {
  if (f.verified === null) return 'notchecked';
  if (f.reason === null) return 'verified';
  if (f.reason === 'no key') return 'unverified';
  if (f.reason === 'wrong key or damaged') return 'notopened';
  return 'damaged';
}
const STATES = ['verified', 'unverified', 'notopened', 'notchecked', 'damaged'];
const SAID = { verified: 'verified', unverified: 'not verified (no key)', notopened: 'not opened with these keys' };
// A find's verdict in words, with the key that opened it or deciphered
// its texts.
function said(f) {
  const st = state(f);
  if (st === 'notchecked') return `not checked (${f.reason})`;
  if (f.damagedTexts) return `damaged: key ${f.key} deciphers its texts, but its payload fails its checksum`;
  const words = SAID[st] ?? f.reason;
  return f.key !== null && f.key !== undefined && st === 'verified' ? `${words}, key ${f.key}` : words;
}
// A find's label and sublabel as shown, marked when they are a damaged
// container's.
function labelOf(f) {
  if (f.label === undefined) return f.kind === 'container' ? f.magic : '';
  return `${f.label} / ${f.sublabel}${f.damagedTexts ? ' (texts of a damaged container)' : ''}`;
}

// The finds of a scan of the whole file (kind: what the file itself is,
// 'other' when neither), those inside opened containers among them.
function findsView(ctx, id, kind) {
  const kids = [];
  const ids = (name) => id + name;
  const itself = ctx.n === 1 && ctx.at(0).offset === 0 && ctx.at(0).length === ctx.size;
  const summary = ctx.scan.summary;
  if (ctx.n === 0 && kind === 'other') {
    kids.push(verdict('neutral', 'Neither a tagged file nor a container, and none inside it.',
                      'The scan found nothing of either kind.', ids('scan-summary')));
  } else if (ctx.n === 0) {
    kids.push(el('p', { class: 'note', id: ids('scan-summary') }, 'No tagged file or container inside it.'));
  } else if (itself && kind !== 'other') {
    kids.push(el('p', { class: 'note', id: ids('scan-summary') },
                 'Nothing else inside it: the scan found the file itself and no other tagged file or container.'));
  } else {
    const finds = many(ctx.n, 'find', 'finds');
    const verified = `(${ctx.verified.toLocaleString('en')} verified)`;
    let inner = 0;
    for (let i = 0; i < ctx.n; i++) if (ctx.scan.rec[i * ctx.scan.NF + 12] > 0) inner++;
    const payloads = inner > 0 ? ` ${cap(many(inner, 'find lies', 'finds lie'))} inside opened containers' payloads; ` +
                                 'their offsets count from the payload\'s start.' : '';
    kids.push(el('p', { id: ids('scan-summary'), 'data-finds': String(ctx.n) },
                 (kind === 'other' ? `Not itself a tagged file or a container, but ${finds} inside it ${verified}.`
                   : `${cap(finds)} ${verified}.`) + payloads));
    kids.push(map(ctx, ids('map')), table(ctx, ids('finds')));
  }
  if (summary.dropped > 0)
    kids.push(verdict('unverified', `${cap(many(summary.dropped, 'candidate was', 'candidates were'))} left ` +
                      'unexamined for lack of memory: the list may be incomplete.', null, ids('dropped')));
  else if (summary.stopped === 'memory limit' || summary.stopped === 'work budget')
    kids.push(verdict('notchecked', `Not everything was checked: the scan reached its ${summary.stopped}.`,
                      'What it could not check is listed as "not checked", not as damaged.', ids('stopped')));
  kids.push(downloads(ctx, id));
  return kids;
}

function downloads(ctx, id) {
  const get = (format) => async () => {
    try {
      const r = await run('findings', null, { scan: ctx.scan, image: ctx.base, format });
      save(r.file, `${ctx.base}.findings.${format}`);
    } catch (err) {
      failed(err);
    }
  };
  return el('p', { class: 'downloads' }, 'Download findings: ',
            el('button', { type: 'button', class: 'small', id: `${id}download-json`,
                           'aria-label': 'Download the findings of the whole file as JSON',
                           title: 'The records velkor scan --all --json prints', on: { click: get('json') } }, 'JSON'),
            ' ',
            el('button', { type: 'button', class: 'small', id: `${id}download-csv`,
                           'aria-label': 'Download the findings of the whole file as CSV',
                           title: 'The rows velkor scan --all --csv writes', on: { click: get('csv') } }, 'CSV'));
}

// A find in a few words: "tagged file at 0x00100000", and for one inside
// a payload, whose: "... in the payload of the container at 0x00001000"
// (and of the one around that, and so on).
const kindWords = (f) => (f.kind === 'tagged' ? 'tagged file' : 'container');
const named = (f) => `${kindWords(f)} at ${hex8(f.offset)}` +
  f.chain.slice().reverse().map((c) => ` in the payload of the container at ${hex8(c.offset)}`).join('');

function describe(f) {
  const end = f.offset + f.length;
  const where = f.payloadOf === null ? '' : `in the payload of the container at ${hex8(f.payloadOf)}:\n`;
  return `${where}${f.kind} at ${hex8(f.offset)} (${f.offset})\n` +
         `to ${hex8(end)} (${end}), ${f.length} bytes\n` +
         `payload ${f.payloadLength} bytes at ${hex8(f.payloadOffset)}\n${said(f)}`;
}

// A span per find, a row per level of nesting (a payload's finds below
// their container, where its bytes lie in the file); past a few hundred
// finds, how many start in each stretch of the file instead.
const MAP_SPANS = 300;
const BINS = 200;

function map(ctx, id) {
  const size = Math.max(ctx.size, 1);
  const parts = [];
  if (ctx.n > MAP_SPANS) {
    parts.push(el('p', { class: 'note map-title' },
                  `Too many finds to draw one by one: each bar counts the finds that start in ` +
                  `1/${BINS} of the file (${count(Math.ceil(size / BINS))}).`));
    parts.push(density(ctx, size));
  } else {
    const rows = [];
    for (let i = 0; i < ctx.n; i++) {
      const f = ctx.at(i);
      while (rows.length <= f.depth) rows.push(el('div', { class: 'band', 'data-depth': String(rows.length) }));
      // A button per span, reached with Tab, its offsets as its text (to
      // the eye a coloured bar, with the same words on hover or focus);
      // pressing it shows the find's row in the table.
      const end = f.offset + f.length;
      const s = el('button', { type: 'button', class: `span ${state(f)}`, 'data-offset': f.path },
                   el('span', { class: 'sr' }, `${cap(named(f))} to ${hex8(end)}, ${f.length} bytes, ${said(f)}`));
      s.style.left = `${(100 * f.abs) / size}%`;
      s.style.width = `${(100 * Math.min(f.length, size - f.abs)) / size}%`;
      s.addEventListener('mousemove', (e) => tip(e, describe(f)));
      s.addEventListener('mouseleave', () => tip(null));
      s.addEventListener('focus', () => tipAt(s, describe(f)));
      s.addEventListener('blur', () => tip(null));
      s.addEventListener('click', () => ctx.showRow?.(i));
      rows[f.depth].append(s);
    }
    parts.push(el('div', { class: 'band file', title: `the whole file: ${size} bytes` }));
    for (const r of rows) parts.push(r);
  }
  return el('div', { class: 'map', id },
            ...parts,
            el('div', { class: 'axis' }, el('span', {}, '0'), el('span', {}, `${hex8(ctx.size)} (${count(ctx.size)})`)),
            el('div', { class: 'legend' },
               el('span', {}, el('i', { class: 'verified' }), 'verified'),
               el('span', {}, el('i', { class: 'unverified' }), 'unverified (container, no key)'),
               el('span', {}, el('i', { class: 'notopened' }), 'not opened with these keys'),
               el('span', {}, el('i', { class: 'notchecked' }), 'not checked (a limit reached)'),
               el('span', {}, el('i', { class: 'damaged' }), 'damaged or truncated')));
}

function density(ctx, size) {
  const bins = Array.from({ length: BINS }, () => STATES.map(() => 0));
  let most = 0;
  for (let i = 0; i < ctx.n; i++) {
    const f = ctx.at(i);
    const b = Math.min(BINS - 1, Math.floor((f.abs * BINS) / size));
    bins[b][STATES.indexOf(state(f))]++;
  }
  const sum = (b) => b.reduce((x, y) => x + y, 0);
  for (const b of bins) most = Math.max(most, sum(b));
  const strip = el('div', { class: 'band density' });
  bins.forEach((b, i) => {
    const total = sum(b);
    if (total === 0) return;
    const bar = el('div', { class: 'bin', 'data-count': String(total) });
    bar.style.left = `${(100 * i) / BINS}%`;
    bar.style.width = `${100 / BINS}%`;
    bar.style.height = `${Math.max(12, (100 * Math.sqrt(total)) / Math.sqrt(most))}%`;
    b.forEach((k, s) => {
      if (k === 0) return;
      const seg = el('div', { class: STATES[s] });
      seg.style.flexGrow = String(k);
      bar.append(seg);
    });
    const from = Math.floor((i * size) / BINS), to = Math.floor(((i + 1) * size) / BINS);
    const told = b.map((k, s) => (k ? `${k.toLocaleString('en')} ${SAID[STATES[s]] ?? (STATES[s] === 'notchecked'
      ? 'not checked' : 'damaged or truncated')}` : null)).filter(Boolean).join('\n');
    bar.addEventListener('mousemove', (e) => tip(e, `${hex8(from)} to ${hex8(to)}: ${many(total, 'find', 'finds')}\n${told}`));
    bar.addEventListener('mouseleave', () => tip(null));
    strip.append(bar);
  });
  return strip;
}

// The tip beside an element that has focus.
function tipAt(target, text) {
  const r = target.getBoundingClientRect();
  tip({ clientX: r.left, clientY: r.bottom - 10 }, text);
}

let tipBox = null;
function tip(e, text) {
  if (e === null) { if (tipBox) tipBox.hidden = true; return; }
  if (!tipBox) { tipBox = el('div', { id: 'tip' }); document.body.append(tipBox); }
  tipBox.textContent = text;
  tipBox.hidden = false;
  tipBox.style.left = `${Math.min(e.clientX + 14, innerWidth - 320)}px`;
  tipBox.style.top = `${e.clientY + 14}px`;
}

// The table, a page of rows at a time.
const PAGE = 100;

function table(ctx, id) {
  const pages = Math.max(1, Math.ceil(ctx.n / PAGE));
  let at = 0;
  const tbody = el('tbody');
  const where = el('span', { class: 'where', 'aria-live': 'polite' });
  const prev = el('button', { type: 'button', class: 'small', 'data-page': 'prev' }, '‹ Previous');
  const next = el('button', { type: 'button', class: 'small', 'data-page': 'next' }, 'Next ›');
  const number = el('input', { type: 'number', min: '1', max: String(pages), value: '1', 'aria-label': 'Page' });
  const show = (p) => {
    at = Math.min(Math.max(p, 0), pages - 1);
    const rows = [];
    for (let i = at * PAGE; i < Math.min(ctx.n, (at + 1) * PAGE); i++) rows.push(row(ctx, ctx.at(i)));
    tbody.replaceChildren(...rows);
    where.textContent = `Finds ${(at * PAGE + 1).toLocaleString('en')}–` +
                        `${Math.min(ctx.n, (at + 1) * PAGE).toLocaleString('en')} of ${ctx.n.toLocaleString('en')}`;
    number.value = String(at + 1);
    prev.disabled = at === 0;
    next.disabled = at === pages - 1;
  };
  prev.addEventListener('click', () => show(at - 1));
  next.addEventListener('click', () => show(at + 1));
  number.addEventListener('change', () => show(Number(number.value) - 1));
  // From the map: the find's page, and focus on its row.
  ctx.showRow = (i) => {
    show(Math.floor(i / PAGE));
    const tr = tbody.children[i % PAGE];
    tr.tabIndex = -1;
    tr.focus();
  };
  const pager = el('div', { class: 'pager' }, prev, ' ', next, ' ', where,
                   pages > 1 ? el('label', {}, ' Page ', number, ` of ${pages.toLocaleString('en')}`) : null);
  const head = el('tr', {}, ...['Offset', 'Kind', 'Length', 'Payload', 'Verdict', 'Inside', 'Magic or label', 'Save']
    .map((h) => el('th', {}, h)));
  show(0);
  // The table scrolls sideways in its own box on a narrow screen, not the
  // page.
  return el('div', { class: 'finds-view' }, ctx.n > PAGE ? pager : null,
            el('div', { class: 'scroll' }, el('table', { class: 'finds', id }, el('thead', {}, head), tbody)));
}

function row(ctx, f) {
  const st = state(f);
  const tagged = f.kind === 'tagged';
  const saving = (fn) => async () => {
    try {
      await fn();
    } catch (err) {
      failed(err);
    }
  };
  const keys = ctx.key?.keys ?? [];
  const options = { keys, dataSized: Boolean(ctx.key?.dataSized) };
  // The bytes from..to of the payload that holds the find (the file's own
  // for a find in it), a container among them deciphered with the key
  // number open.
  const bytesOf = async (from, to, open = 0) => {
    if (f.chain.length === 0 && !open) return ctx.source.slice(from, to);
    if (f.chain.length === 0) {
      const k = await run('unpack', ctx.source.slice(from, to), { keys: [keys[open - 1]], dataSized: options.dataSized });
      if (k.reason !== 0) throw new Error(`the container at ${hex8(f.offset)} did not open: ${k.message}`);
      return k.payload;
    }
    const x = await run('extract', ctx.source, { ...options, extract: { chain: f.chain, from, to, open } });
    if (x.error) throw new Error(x.error);
    return x.blob;
  };
  const offsets = [...f.chain.map((c) => c.offset), f.offset];
  const buttons = [];
  if (st === 'verified') {
    const name = findName(ctx.base, offsets, 'payload');
    buttons.push(el('button', { class: 'small', 'data-save-payload': f.path, title: `Save the payload as ${name}`,
                                'aria-label': `Save payload of the ${named(f)}`,
                                on: { click: saving(async () => save(await (tagged
                                  ? bytesOf(f.payloadOffset, f.payloadOffset + f.payloadLength)
                                  : bytesOf(f.offset, f.offset + f.length, f.key)), name)) } }, 'Payload'));
  }
  // Every find can be saved whole, as `velkor scan --carve --all` writes
  // it: a find neither verified nor waiting for a key (not opened with the
  // keys typed; CRC mismatch, cut off) under a name that says so, and as
  // far as the file holds it.
  const sound = st === 'verified' || st === 'unverified' || st === 'notchecked';
  const name = findName(ctx.base, offsets,
                        (sound ? '' : st === 'notopened' ? 'unopened.' : 'damaged.') + (tagged ? 'bgn' : 'vc'));
  buttons.push(' ', el('button', { class: 'small', 'data-save-whole': f.path,
                                   title: `Save it as it is, header included, as ${name}`,
                                   'aria-label': `Save the ${named(f)} as it is`,
                                   on: { click: saving(async () => save(await bytesOf(f.offset, f.offset + f.length), name)) } },
                       'As it is'));
  return el('tr', { 'data-offset': String(f.offset), 'data-path': f.path, 'data-kind': f.kind, 'data-length': String(f.length),
                    'data-payload-offset': String(f.payloadOffset), 'data-payload-length': String(f.payloadLength),
                    'data-reason': f.reason ?? 'verified', 'data-state': st,
                    'data-inside': f.inside === null ? '' : String(f.inside),
                    'data-payload-of': f.payloadOf === null ? '' : String(f.payloadOf),
                    'data-level': String(f.level), 'data-key': f.key === null ? '' : String(f.key),
                    'data-damaged-texts': f.damagedTexts ? 'true' : '',
                    'data-label': f.label ?? '', 'data-sublabel': f.sublabel ?? '', class: f.level > 0 ? 'in-payload' : null },
            el('td', { class: 'num', title: String(f.offset) },
               f.payloadOf === null ? null : el('span', { class: 'payload-of' }, `payload of ${hex8(f.payloadOf)}: `),
               hex8(f.offset)),
            el('td', {}, f.kind),
            el('td', { class: 'num' }, String(f.length)),
            el('td', { class: 'num' }, String(f.payloadLength)),
            el('td', {}, el('span', { class: `dot ${st}` }), said(f)),
            el('td', { class: 'num' }, f.inside === null ? '' : hex8(f.inside)),
            el('td', {}, labelOf(f)),
            el('td', { class: 'saves' }, ...buttons));
}

// ---- Making a tagged file -----------------------------------------------------

$('make-tagged').addEventListener('click', async () => {
  const file = current;
  if (!file) return;
  try {
    const r = await run('tag', file);
    if (r.error) return problem(r.error);
    const name = baseName(file) + '.bgn';
    save(r.tagged, name);
    $('made').textContent = `Saved ${name} (${count(r.tagged.size)}): this file with a tagged header, ` +
                            'as velkor tag writes it.';
    $('made').hidden = false;
  } catch (err) {
    failed(err);
  }
});

// ---- Choosing a file ---------------------------------------------------------

// The button is the keyboard's way in (Enter and Space press it); a click
// anywhere on the drop zone opens the chooser too.
const drop = $('drop');
drop.addEventListener('click', () => $('file').click());
$('file').addEventListener('click', (e) => e.stopPropagation());
$('file').addEventListener('change', (e) => {
  if (e.target.files[0]) open(e.target.files[0]);
  e.target.value = '';
});
for (const ev of ['dragenter', 'dragover'])
  drop.addEventListener(ev, (e) => { e.preventDefault(); drop.classList.add('over'); });
for (const ev of ['dragleave', 'drop'])
  drop.addEventListener(ev, () => drop.classList.remove('over'));
drop.addEventListener('drop', (e) => {
  e.preventDefault();
  const f = e.dataTransfer.files[0];
  if (f) open(f);
});
// A file dropped beside the box is not opened by the browser in its place.
addEventListener('dragover', (e) => e.preventDefault());
addEventListener('drop', (e) => e.preventDefault());
