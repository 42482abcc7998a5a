// The page: hands files to the worker and shows what the library found.
// No byte of a file is read here; the worker does all of it.
'use strict';

const $ = (id) => document.getElementById(id);
const worker = new Worker('worker.js');
let jobs = 0;
const waiting = new Map();
let current = null; // the file on show

worker.onmessage = (e) => {
  const m = e.data;
  if (m.progress) return showProgress(m.progress);
  const w = waiting.get(m.id);
  waiting.delete(m.id);
  if (m.error) w.reject(new Error(m.error)); else w.resolve(m.result);
};

function run(job, blob, extra = {}) {
  const id = ++jobs;
  $('status').hidden = false;
  showProgress({ label: 'Reading', done: 0, total: blob.size });
  return new Promise((resolve, reject) => {
    waiting.set(id, { resolve, reject });
    worker.postMessage({ id, job, blob, ...extra });
  }).finally(() => { if (waiting.size === 0) $('progress-text').textContent = ''; });
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
const hex8 = (n) => '0x' + n.toString(16).toUpperCase().padStart(8, '0');
const hex2 = (n) => '0x' + n.toString(16).toUpperCase().padStart(2, '0');
const count = (n) => `${n.toLocaleString('en')} bytes`;

function el(tag, attrs = {}, ...kids) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs)) {
    if (k === 'class') e.className = v;
    else if (k === 'on') for (const [ev, fn] of Object.entries(v)) e.addEventListener(ev, fn);
    else e.setAttribute(k, v);
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

function verdict(kind, headline, detail) {
  return el('p', { class: `verdict ${kind}`, id: 'verdict', 'data-verdict': kind }, headline,
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

const baseName = (f) => f.name || 'file';

// ---- Opening a file ------------------------------------------------------

async function open(file) {
  current = file;
  $('error').hidden = true;
  $('result').hidden = true;
  $('tools').hidden = false;
  $('filename').textContent = `${file.name} (${count(file.size)})`;
  try {
    const r = await run('open', file);
    if (current !== file) return;
    // The worker's times, for the benchmark.
    Object.assign($('result').dataset, { ms: r.ms, waitMs: r.waitMs, workMs: r.workMs });
    if (r.kind === 'tagged') showTagged(file, r);
    else if (r.kind === 'container') showContainer(file, r);
    else showScan(file, r, null);
  } catch (err) {
    problem(err.message);
  }
}

function problem(words) {
  $('error').textContent = words.charAt(0).toUpperCase() + words.slice(1) + '.';
  $('error').hidden = false;
}

function show(...kids) {
  const box = $('result');
  box.replaceChildren(...kids);
  box.hidden = false;
}

// Tag reasons, numbered as the library numbers them.
function tagVerdict(r) {
  switch (r.reason) {
  case 0: return verdict('ok', 'Sound: the length and the CRC match, so the payload is intact.');
  case 3: return verdict('bad', 'Not a tagged file this program knows, or a damaged one.',
                         `Its format byte is ${hex2(r.format)}, not the one tagged files carry.`);
  case 4: return verdict('bad', 'Damaged: the file has the wrong length.',
                         `The header says ${count(r.storedLength)}, but the file has ${count(r.fileLength)}: ` +
                         (r.fileLength < r.storedLength ? 'it was cut off.' : 'bytes were added to it.'));
  case 5: return verdict('bad', 'Damaged: the contents do not match the stored CRC.',
                         `Stored ${hex8(r.storedCrc)}, computed ${hex8(r.computedCrc)}: some bytes were changed.`);
  }
  return verdict('bad', 'Not a tagged file.');
}

function showTagged(file, r) {
  const payload = r.reason === 0 || r.reason === 5;
  const rows = [
    ['Kind', 'kind', 'tagged', 'tagged file'],
    ['Total length', 'length', r.fileLength, count(r.fileLength)],
    ['Length in the header', 'storedLength', r.storedLength ?? null, count(r.storedLength ?? 0)],
    ['Payload length', 'payloadLength', r.fileLength - r.headerLength, count(r.fileLength - r.headerLength)],
    ['Stored CRC', 'storedCrc', r.storedCrc ?? null, hex8(r.storedCrc ?? 0)],
    ['Computed CRC', 'computedCrc', r.computedCrc, r.computedCrc === null ? '' : hex8(r.computedCrc)],
  ];
  const kids = [el('h2', {}, 'Tagged file'), fields(rows), tagVerdict(r)];
  if (r.reason === 0)
    kids.push(el('button', { id: 'save-payload', on: { click: () =>
      save(file.slice(r.headerLength), baseName(file) + '.payload') } }, 'Save payload'));
  else if (payload)
    kids.push(el('p', { class: 'note' }, 'The payload is not offered: it does not match its CRC.'));
  show(...kids);
}

function keyForm(onsubmit, label) {
  const key = el('input', { type: 'text', id: 'key', placeholder: 'key', autocomplete: 'off', spellcheck: 'false' });
  const sized = el('input', { type: 'checkbox', id: 'data-sized' });
  const form = el('form', { class: 'key', id: 'key-form' },
                  el('label', {}, 'Key ', key),
                  el('label', {}, sized, ' data-sized tables'),
                  el('button', { type: 'submit', id: 'key-go' }, label));
  form.addEventListener('submit', (e) => {
    e.preventDefault();
    onsubmit(key.value, sized.checked);
  });
  return form;
}

function containerFields(r) {
  return fields([
    ['Kind', 'kind', 'container', 'container'],
    ['Magic', 'magic', r.magic, r.magic],
    ['Prefix', 'prefix', r.prefix, hex2(r.prefix)],
    ['Label length', 'labelLength', r.labelLength, String(r.labelLength)],
    ['Sublabel length', 'sublabelLength', r.sublabelLength, String(r.sublabelLength)],
    ['Payload length', 'length', r.dataLength, count(r.dataLength)],
    ['Total length', 'fileLength', r.fileLength, count(r.fileLength)],
  ]);
}

function showContainer(file, r) {
  const out = el('div', { id: 'opened' });
  const kids = [el('h2', {}, 'Container'), containerFields(r)];
  if (r.reason !== 0) {
    kids.push(verdict('bad', 'Damaged container.', cap(r.message) + '.'));
    return show(...kids);
  }
  kids.push(el('p', { class: 'note' }, 'Type the key to see the label and to check and save the payload.'));
  kids.push(keyForm(async (key, dataSized) => {
    if (key === '') return problem('type a key first');
    $('error').hidden = true;
    out.replaceChildren(el('p', { class: 'note' }, 'Deciphering…'));
    try {
      const k = await run('unpack', file, { key, dataSized });
      if (current !== file) return;
      out.replaceChildren(...containerOpened(file, k));
    } catch (err) {
      out.replaceChildren();
      problem(err.message);
    }
  }, 'Open'));
  kids.push(out);
  show(...kids);
}

const cap = (s) => s.charAt(0).toUpperCase() + s.slice(1);

function containerOpened(file, k) {
  if (k.reason === 8 || k.reason === 9)
    return [verdict('bad', 'Wrong key or damaged container.',
                    'Check the key, and that the data-sized setting is the one the container was made with.')];
  if (k.reason !== 0) return [verdict('bad', 'Damaged container.', cap(k.message) + '.')];
  return [
    fields([
      ['Label', 'label', k.label, k.label],
      ['Sublabel', 'sublabel', k.sublabel, k.sublabel],
      ['Checksum', 'checksum', k.checksum, hex8(k.checksum)],
    ]),
    verdict('ok', 'Sound: the key fits and the payload matches its checksum.'),
    el('button', { id: 'save-payload', on: { click: () => save(k.payload, baseName(file) + '.payload') } },
       'Save payload'),
  ];
}

// ---- The scan's map and table -----------------------------------------------

const state = (f) => (f.reason === 0 ? 'verified' : f.reason === 1 ? 'unverified' : 'damaged');
const usable = (f) => f.reason === 0 || f.reason === 1;

function describe(f) {
  const end = f.offset + f.length;
  return `${f.kind} at ${hex8(f.offset)} (${f.offset})\n` +
         `to ${hex8(end)} (${end}), ${f.length} bytes\n` +
         `payload ${f.payloadLength} bytes at ${hex8(f.payloadOffset)}\n${f.verdict}`;
}

function showScan(file, r, key) {
  const finds = r.finds;
  const kids = [el('h2', {}, 'Scan')];
  if (finds.length === 0) {
    kids.push(verdict('bad', 'Neither a tagged file nor a container.',
                      'Nothing of either kind was found inside it either.'));
  } else {
    const ok = finds.filter((f) => f.reason === 0).length;
    kids.push(el('p', { id: 'scan-summary' },
                 `Not itself a tagged file or a container, but ${finds.length} ` +
                 `${finds.length === 1 ? 'find' : 'finds'} inside it (${ok} verified).` +
                 (r.dropped ? ` ${r.dropped} candidates were left unexamined for lack of memory.` : '')));
    kids.push(map(file, finds));
    kids.push(table(file, finds, key));
  }
  kids.push(keyForm(async (k, dataSized) => {
    if (k === '') return problem('type a key first');
    $('error').hidden = true;
    try {
      const again = await run('scan', file, { key: k, dataSized });
      if (current === file) showScan(file, again, { key: k, dataSized });
    } catch (err) {
      problem(err.message);
    }
  }, key ? 'Scan again with this key' : 'Scan with a key (checks containers)'));
  if (key) kids[kids.length - 1].querySelector('#key').value = key.key;
  show(...kids);
}

function map(file, finds) {
  const size = Math.max(file.size, 1);
  const byOffset = new Map(finds.map((f) => [f.offset, f]));
  const depth = (f) => {
    let d = 0;
    for (let g = f; g.inside !== null && byOffset.has(g.inside) && d < 64; g = byOffset.get(g.inside)) d++;
    return d;
  };
  const rows = [];
  for (const f of finds) {
    const d = depth(f);
    while (rows.length <= d) rows.push(el('div', { class: 'band', 'data-depth': String(rows.length) }));
    const s = el('div', { class: `span ${state(f)}`, 'data-offset': String(f.offset) });
    s.style.left = `${(100 * f.offset) / size}%`;
    s.style.width = `${(100 * Math.min(f.length, size - f.offset)) / size}%`;
    s.addEventListener('mousemove', (e) => tip(e, describe(f)));
    s.addEventListener('mouseleave', () => tip(null));
    rows[d].append(s);
  }
  return el('div', { class: 'map', id: 'map' },
            el('div', { class: 'band file', title: `the whole file: ${file.size} bytes` }),
            ...rows,
            el('div', { class: 'axis' }, el('span', {}, '0'), el('span', {}, `${hex8(file.size)} (${count(file.size)})`)),
            el('div', { class: 'legend' },
               el('span', {}, el('i', { class: 'verified' }), 'verified'),
               el('span', {}, el('i', { class: 'unverified' }), 'unverified (container, no key)'),
               el('span', {}, el('i', { class: 'damaged' }), 'damaged, truncated or wrong key')));
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

function table(file, finds, key) {
  const head = el('tr', {}, ...['Offset', 'Kind', 'Length', 'Payload', 'Verdict', 'Inside', 'Magic or label', '']
    .map((h) => el('th', {}, h)));
  const body = finds.map((f) => {
    const name = `${baseName(file)}-${f.offset.toString(16).padStart(8, '0')}.${f.kind}`;
    let saveBtn = null;
    if (usable(f)) {
      saveBtn = el('button', { class: 'small', 'data-save': String(f.offset), on: { click: async () => {
        try {
          if (f.kind === 'tagged')
            return save(file.slice(f.payloadOffset, f.payloadOffset + f.payloadLength), name);
          if (!key) return save(file.slice(f.offset, f.offset + f.length), name);
          const k = await run('unpack', file.slice(f.offset, f.offset + f.length), key);
          if (k.reason !== 0) return problem(`the container at ${hex8(f.offset)} did not open: ${k.message}`);
          save(k.payload, name);
        } catch (err) {
          problem(err.message);
        }
      } } }, 'Save');
      saveBtn.title = f.kind === 'tagged' ? 'Save the payload'
        : key ? 'Save the deciphered payload' : 'Save the container as it is';
    }
    const label = f.label !== undefined ? `${f.label} / ${f.sublabel}` : f.kind === 'container' ? f.magic : '';
    return el('tr', { 'data-offset': String(f.offset), 'data-kind': f.kind, 'data-length': String(f.length),
                      'data-payload-offset': String(f.payloadOffset), 'data-payload-length': String(f.payloadLength),
                      'data-reason': f.verdict, 'data-inside': f.inside === null ? '' : String(f.inside),
                      'data-label': f.label ?? '', 'data-sublabel': f.sublabel ?? '' },
              el('td', { class: 'num', title: String(f.offset) }, hex8(f.offset)),
              el('td', {}, f.kind),
              el('td', { class: 'num' }, String(f.length)),
              el('td', { class: 'num' }, String(f.payloadLength)),
              el('td', {}, el('span', { class: `dot ${state(f)}` }), f.verdict),
              el('td', { class: 'num' }, f.inside === null ? '' : hex8(f.inside)),
              el('td', {}, label),
              el('td', {}, saveBtn));
  });
  return el('table', { class: 'finds', id: 'finds' }, el('thead', {}, head), el('tbody', {}, ...body));
}

// ---- Making a tagged file -----------------------------------------------------

$('make-tagged').addEventListener('click', async () => {
  const file = current;
  if (!file) return;
  try {
    const r = await run('tag', file);
    if (r.error) return problem(r.error);
    save(r.tagged, baseName(file) + '.tagged');
  } catch (err) {
    problem(err.message);
  }
});

// ---- Choosing a file ---------------------------------------------------------

$('file').addEventListener('change', (e) => { if (e.target.files[0]) open(e.target.files[0]); });
const drop = $('drop');
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
