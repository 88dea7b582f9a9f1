// Registers module: a table of register runs that can be read once, polled with a
// live trend, written, exported (CSV, PDF report) and saved or loaded as a map.
import { ajax, ajaxWithText, describeError, saveFile, download, loadFile } from '../../js/ajax.js';
import { $, el, renderFrame, refreshLinkBadge, say, busy } from '../../js/ui.js';

renderFrame('registers');

const TYPES = [
  ['int', 'int'],
  ['uint', 'uint'],
  ['long', 'long'],
  ['float1234', 'float 1234'],
  ['float4321', 'float 4321'],
];
const FLOAT = new Set(['float1234', 'float4321']);
const COLORS = ['#0b6bcb', '#d9480f', '#2f9e44', '#ae3ec9', '#e8590c', '#1098ad', '#c2255c', '#5c940d', '#364fc7', '#a61e4d'];
const STORE_KEY = 'orvo.registers.rows';
const MAX_POINTS = 600;

let rows = [];
let nextId = 1;

// ---- the register map ----------------------------------------------------

function newRow(props = {}) {
  const row = {
    id: nextId++,
    name: '', addr: 0, count: 1, type: 'int', regSize: 16, valSize: 16, prec: 2, trend: false,
    ...props,
    values: [], error: '', note: '', write: '',
  };
  normalise(row);
  return row;
}

/** Keeps a row to combinations the device accepts: 32-bit registers hold 32-bit values,
 *  floats and "long" always take 32 bits. */
function normalise(row) {
  row.addr = clampInt(row.addr, 0, 65535, 0);
  row.count = clampInt(row.count, 1, 200, 1);
  if (!TYPES.some(([t]) => t === row.type)) row.type = 'int';
  row.regSize = Number(row.regSize) === 32 ? 32 : 16;
  row.valSize = Number(row.valSize) === 32 ? 32 : 16;
  if (row.regSize === 32 || FLOAT.has(row.type) || row.type === 'long') row.valSize = 32;
  row.prec = clampInt(row.prec, 0, 20, 2);
  row.trend = row.trend === true || row.trend === 'true' || row.trend === 1 || row.trend === '1';
  row.name = String(row.name ?? '').slice(0, 40);
}

function clampInt(v, min, max, fallback) {
  const n = Number(String(v).trim());
  if (!Number.isFinite(n)) return fallback;
  return Math.min(max, Math.max(min, Math.trunc(n)));
}

const MAP_FIELDS = ['name', 'addr', 'count', 'type', 'regSize', 'valSize', 'prec', 'trend'];
const mapOf = (row) => Object.fromEntries(MAP_FIELDS.map((k) => [k, row[k]]));

function persist() {
  try { localStorage.setItem(STORE_KEY, JSON.stringify(rows.map(mapOf))); } catch { /* private mode */ }
}

function restore() {
  try {
    const saved = JSON.parse(localStorage.getItem(STORE_KEY) ?? 'null');
    if (Array.isArray(saved) && saved.length) return saved.map((r) => newRow(r));
  } catch { /* ignore a damaged entry */ }
  return [newRow({ name: 'Run 1', addr: 0, count: 4 })];
}

// ---- table ---------------------------------------------------------------

const rowLabel = (row, i) => row.name ? `${row.name}` : `row ${i + 1}`;

function numberInput(row, key, min, max, cls, label) {
  return el('input', {
    type: 'number', min, max, step: 1, value: row[key], class: cls, 'aria-label': label,
    onchange: (e) => { row[key] = e.target.value; normalise(row); e.target.value = row[key]; afterEdit(row); },
  });
}

function select(row, key, options, label, disabled = false) {
  const s = el('select', {
    'aria-label': label, disabled,
    onchange: (e) => { row[key] = e.target.value; normalise(row); afterEdit(row); },
  }, options.map(([v, text]) => el('option', { value: v }, text)));
  s.value = String(row[key]);
  return s;
}

function afterEdit(row) {
  row.values = [];
  row.error = '';
  persist();
  renderTable();
  rebuildChart();
}

function valuesCell(row) {
  const td = el('td', { class: 'values', 'data-label': 'Values' });
  if (row.error) td.append(el('span', { class: 'err' }, row.error));
  else if (row.values.length) td.append(el('span', { class: row.note ? 'stale' : '' }, row.values.join(', ')));
  else td.append(el('span', { class: 'muted' }, '—'));
  if (row.note) td.append(' ', el('span', { class: 'warn' }, row.note));
  return td;
}

function renderTable() {
  // Redrawing replaces the controls: keep keyboard users on the control they were on.
  const active = document.activeElement;
  const activeLabel = active?.closest?.('#reg-rows') ? active.getAttribute('aria-label') : null;
  const body = $('#reg-rows');
  body.replaceChildren(...rows.map((row, i) => {
    const label = rowLabel(row, i);
    const locked32 = row.regSize === 32 || FLOAT.has(row.type) || row.type === 'long';
    const tr = el('tr', { 'data-row': row.id },
      el('td', { 'data-label': 'Name' }, el('input', {
        value: row.name, class: 'c-name', maxlength: 40, 'aria-label': `Name of ${label}`, placeholder: `Run ${i + 1}`,
        onchange: (e) => { row.name = e.target.value; normalise(row); persist(); rebuildChart(); },
      })),
      el('td', { 'data-label': 'Address' }, numberInput(row, 'addr', 0, 65535, 'c-num', `Address of ${label}`)),
      el('td', { 'data-label': 'Count' }, numberInput(row, 'count', 1, 200, 'c-small', `Number of values of ${label}`)),
      el('td', { 'data-label': 'Type', class: 'c-type' }, select(row, 'type', TYPES, `Value type of ${label}`)),
      el('td', { 'data-label': 'Register bits', class: 'c-bits' }, select(row, 'regSize', [['16', '16'], ['32', '32']], `Register width of ${label}`)),
      el('td', { 'data-label': 'Value bits', class: 'c-bits' }, select(row, 'valSize', [['16', '16'], ['32', '32']], `Value width of ${label}`, locked32)),
      el('td', { 'data-label': 'Decimals' }, Object.assign(numberInput(row, 'prec', 0, 20, 'c-small', `Decimals of ${label}`), { disabled: !FLOAT.has(row.type) })),
      valuesCell(row),
      el('td', { 'data-label': 'Write', class: 'c-write' }, el('input', {
        value: row.write, 'aria-label': `Values to write to ${label}`, placeholder: 'e.g. 10 20',
        oninput: (e) => { row.write = e.target.value; },
        onkeydown: (e) => { if (e.key === 'Enter') { row.write = e.target.value; writeRow(row, e.target); } },
      })),
      el('td', { 'data-label': 'Trend' }, el('label', { class: 'trend-toggle' },
        el('input', {
          type: 'checkbox', checked: row.trend, 'aria-label': `Trend ${label}`,
          onchange: (e) => { row.trend = e.target.checked; persist(); rebuildChart(); renderTable(); },
        }),
        row.trend ? el('span', { class: 'swatch', style: `background:${colorOf(row, 0)}`, 'aria-hidden': 'true' }) : null)),
      el('td', { 'data-label': '' }, el('div', { class: 'row-actions' },
        el('button', { type: 'button', class: 'btn btn-small', 'aria-label': `Read ${label}`, onclick: (e) => readOne(row, e.currentTarget) }, 'Read'),
        el('button', { type: 'button', class: 'btn btn-small', 'aria-label': `Write ${label}`, onclick: (e) => writeRow(row, e.currentTarget) }, 'Write'),
        el('button', {
          type: 'button', class: 'btn btn-small btn-danger', 'aria-label': `Remove ${label}`, title: 'Remove',
          onclick: () => { rows = rows.filter((r) => r !== row); persist(); renderTable(); rebuildChart(); },
        }, '✕'))));
    return tr;
  }));
  if (activeLabel && !document.body.contains(active)) body.querySelector(`[aria-label="${CSS.escape(activeLabel)}"]`)?.focus();
}

// ---- reading and writing -------------------------------------------------

function readParams(row) {
  const p = { regAddr: row.addr, valuesCnt: row.count, regType: row.type, regSize: row.regSize, valSize: row.valSize };
  if (FLOAT.has(row.type)) p.floatPrec = row.prec;
  return p;
}

/** Splits a reply array's text into its numbers as the device's formatter wrote them. */
function valueTexts(text) {
  const inner = text.trim().replace(/^\[/, '').replace(/\]$/, '').trim();
  return inner === '' ? [] : inner.split(',').map((s) => s.trim());
}

async function readRow(row) {
  try {
    const { reply, text } = await ajaxWithText('readRegisters', readParams(row));
    if (!Array.isArray(reply)) throw new Error('The device sent no values.');
    row.values = valueTexts(text).map((v) => (v === 'null' ? 'NaN' : v));
    row.error = '';
    row.note = '';
    return true;
  } catch (e) {
    if (e.kind === 'busy') {
      row.note = '(busy — not refreshed)';
    } else {
      row.error = describeError(e);
      row.note = '';
      if (e.kind === 'reply' && /Not connected/i.test(e.message)) row.error += ' — connect on the start page first.';
    }
    return false;
  }
}

/** Refreshes only the values cells, so that typing and focus elsewhere in the table survive polling. */
function renderValues() {
  for (const row of rows) {
    const cell = $(`tr[data-row="${row.id}"] td.values`);
    if (cell) cell.replaceWith(valuesCell(row));
  }
}

async function readAll() {
  let ok = 0;
  for (const row of [...rows]) if (await readRow(row)) ok++;
  renderValues();
  return ok;
}

async function readOne(row, button) {
  await busy(button, async () => {
    await readRow(row);
    renderValues();
  });
}

function parseWriteValues(row) {
  const text = row.write.trim();
  if (!text) throw new Error('Enter the values to write.');
  const tokens = text.split(/[\s;,]+/).filter(Boolean);
  if (tokens.length > 200) throw new Error('At most 200 values can be written at once.');
  const numbers = tokens.map((t) => {
    const n = Number(t);
    if (t === '' || !Number.isFinite(n)) throw new Error(`“${t}” is not a number (use a decimal point).`);
    if (!FLOAT.has(row.type)) {
      if (!Number.isInteger(n)) throw new Error(`“${t}” is not a whole number; ${row.type} takes whole numbers.`);
      const [min, max] = row.valSize === 32 ? [-2147483648, 4294967295] : [-32768, 65535];
      if (n < min || n > max) throw new Error(`${t} does not fit in ${row.valSize} bits (${min} to ${max}).`);
    }
    return n;
  });
  return numbers;
}

async function writeRow(row, button) {
  let values;
  try {
    values = parseWriteValues(row);
  } catch (e) {
    say('#reg-msg', 'error', `${rowLabel(row, rows.indexOf(row))}: ${e.message}`);
    return;
  }
  await busy(button, async () => {
    const label = rowLabel(row, rows.indexOf(row));
    try {
      const reply = await ajax('writeRegisters', {
        regAddr: row.addr, valuesCnt: values.length, regType: row.type, regSize: row.regSize, valSize: row.valSize,
        regVals: JSON.stringify(values),
      });
      say('#reg-msg', 'ok', `${label}: ${reply.ok ?? 'values written.'}`);
      await readRow(row);
      renderValues();
    } catch (e) {
      say('#reg-msg', 'error', `${label}: ${describeError(e)}`);
    }
  });
}

// ---- polling and trend ---------------------------------------------------

let pollTimer = null;
let polling = false;
let chart = null;
let series = [];           // [{rowId, index, label, color}]
let data = [[]];           // uPlot columns: time, then one column per series

function colorOf(row, index) {
  const pos = rows.filter((r) => r.trend).indexOf(row);
  return COLORS[(Math.max(pos, 0) * 3 + index) % COLORS.length];
}

function trendSeries() {
  const out = [];
  rows.forEach((row, i) => {
    if (!row.trend) return;
    const n = Math.min(row.count, 8);
    for (let k = 0; k < n; k++) {
      out.push({
        rowId: row.id, index: k, color: colorOf(row, k),
        label: row.count > 1 ? `${rowLabel(row, i)} [${row.addr}+${k}]` : rowLabel(row, i),
      });
    }
  });
  return out;
}

function chartWidth() {
  return Math.max(280, $('#chart').clientWidth || 600);
}

function rebuildChart() {
  const wanted = trendSeries();
  const same = wanted.length === series.length && wanted.every((s, i) => s.rowId === series[i].rowId && s.index === series[i].index);
  if (!same) {
    // Keep the history of series that stay.
    const old = new Map(series.map((s, i) => [`${s.rowId}:${s.index}`, data[i + 1]]));
    data = [data[0], ...wanted.map((s) => old.get(`${s.rowId}:${s.index}`) ?? data[0].map(() => null))];
  }
  series = wanted;
  drawChart();
}

function drawChart() {
  const box = $('#chart');
  chart?.destroy();
  chart = null;
  updateTrendInfo();
  if (series.length === 0) {
    box.replaceChildren(el('div', { class: 'empty' }, 'No values chosen for the trend.'));
    return;
  }
  if (typeof globalThis.uPlot !== 'function') {
    box.replaceChildren(el('div', { class: 'empty' }, 'The chart library is missing from this installation.'));
    return;
  }
  box.replaceChildren();
  const opts = {
    width: chartWidth(),
    height: 300,
    scales: { x: { time: true } },
    axes: [
      { stroke: getComputedStyle(document.body).color, grid: { stroke: 'rgba(128,128,128,.15)' } },
      { stroke: getComputedStyle(document.body).color, grid: { stroke: 'rgba(128,128,128,.15)' }, size: 70 },
    ],
    series: [
      { label: 'Time' },
      ...series.map((s) => ({ label: s.label, stroke: s.color, width: 2, spanGaps: false, points: { show: false } })),
    ],
  };
  chart = new globalThis.uPlot(opts, data, box);
}

function updateTrendInfo() {
  const n = data[0].length;
  $('#trend-info').textContent = series.length === 0
    ? 'Tick “Trend” on a row and start polling.'
    : `${n} sample${n === 1 ? '' : 's'} of ${series.length} value${series.length === 1 ? '' : 's'}${polling ? ' · polling' : ''}`;
  $('#chart').dataset.samples = String(n);
}

function addSample() {
  if (series.length === 0) return;
  data[0].push(Date.now() / 1000);
  series.forEach((s, i) => {
    const row = rows.find((r) => r.id === s.rowId);
    const v = row && !row.error && !row.note ? Number(row.values[s.index]) : NaN;
    data[i + 1].push(Number.isFinite(v) ? v : null);
  });
  if (data[0].length > MAX_POINTS) data = data.map((col) => col.slice(-MAX_POINTS));
  if (chart) chart.setData(data);
  updateTrendInfo();
}

async function pollOnce() {
  if (!polling) return;
  await readAll();
  addSample();
  if (polling) pollTimer = setTimeout(pollOnce, clampInt($('#poll-interval').value, 250, 3600000, 1000));
}

function setPolling(on) {
  polling = on;
  clearTimeout(pollTimer);
  const button = $('#poll');
  button.textContent = on ? 'Stop polling' : 'Start polling';
  button.setAttribute('aria-pressed', String(on));
  button.classList.toggle('btn-primary', on);
  $('#read-all').disabled = on;
  updateTrendInfo();
  if (on) pollOnce();
}

// ---- export, save and load -----------------------------------------------

function stamp() {
  const d = new Date();
  const p = (n) => String(n).padStart(2, '0');
  return `${d.getFullYear()}${p(d.getMonth() + 1)}${p(d.getDate())}-${p(d.getHours())}${p(d.getMinutes())}${p(d.getSeconds())}`;
}

const csvCell = (v) => {
  const s = String(v ?? '');
  return /[",\r\n]/.test(s) ? `"${s.replace(/"/g, '""')}"` : s;
};

export function toCsv(list) {
  const width = Math.max(0, ...list.map((r) => r.values.length));
  const head = ['Name', 'Address', 'Count', 'Type', 'Register bits', 'Value bits', 'Decimals', 'Trend',
    ...Array.from({ length: width }, (_, i) => `Value ${i + 1}`)];
  const lines = [head, ...list.map((r) => [r.name, r.addr, r.count, r.type, r.regSize, r.valSize, r.prec, r.trend ? 1 : 0,
    ...(r.error ? [r.error] : r.values)])];
  return lines.map((l) => l.map(csvCell).join(',')).join('\r\n') + '\r\n';
}

function parseCsv(text) {
  const out = [];
  let row = [], cell = '', quoted = false;
  for (let i = 0; i < text.length; i++) {
    const c = text[i];
    if (quoted) {
      if (c === '"' && text[i + 1] === '"') { cell += '"'; i++; }
      else if (c === '"') quoted = false;
      else cell += c;
    } else if (c === '"') quoted = true;
    else if (c === ',') { row.push(cell); cell = ''; }
    else if (c === '\n' || c === '\r') {
      if (c === '\r' && text[i + 1] === '\n') i++;
      row.push(cell); out.push(row); row = []; cell = '';
    } else cell += c;
  }
  if (cell !== '' || row.length) { row.push(cell); out.push(row); }
  return out.filter((r) => r.some((c) => c.trim() !== ''));
}

const escapeHtml = (s) => String(s).replace(/[&<>"]/g, (c) => ({ '&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;' }[c]));

function reportHtml() {
  const when = new Date().toLocaleString();
  const conn = $('#link-badge')?.textContent ?? '';
  const cell = 'style="border:1px solid #999;padding:3px 6px"';
  const head = ['Name', 'Address', 'Count', 'Type', 'Reg.', 'Value', 'Values'];
  const body = rows.map((r, i) => `<tr><td ${cell}>${escapeHtml(rowLabel(r, i))}</td><td ${cell}>${r.addr}</td><td ${cell}>${r.count}</td>`
    + `<td ${cell}>${r.type}</td><td ${cell}>${r.regSize}</td><td ${cell}>${r.valSize}</td>`
    + `<td ${cell}>${escapeHtml(r.error ? r.error : r.values.join(', ') || '—')}</td></tr>`).join('');
  let trend = '';
  const n = data[0].length;
  if (series.length && n) {
    const stats = series.map((s, i) => {
      const col = data[i + 1].filter((v) => v !== null && Number.isFinite(v));
      const fmt = (v) => (v === undefined ? '—' : String(Math.round(v * 1e6) / 1e6));
      return `<tr><td ${cell}>${escapeHtml(s.label)}</td><td ${cell}>${col.length}</td><td ${cell}>${fmt(col.length ? Math.min(...col) : undefined)}</td>`
        + `<td ${cell}>${fmt(col.length ? Math.max(...col) : undefined)}</td><td ${cell}>${fmt(col[col.length - 1])}</td></tr>`;
    }).join('');
    const from = new Date(data[0][0] * 1000).toLocaleTimeString();
    const to = new Date(data[0][n - 1] * 1000).toLocaleTimeString();
    trend = `<h2>Trend ${escapeHtml(from)} – ${escapeHtml(to)}</h2><table style="border-collapse:collapse" cellspacing="0">`
      + `<tr><th ${cell}>Value</th><th ${cell}>Samples</th><th ${cell}>Min</th><th ${cell}>Max</th><th ${cell}>Last</th></tr>${stats}</table>`;
  }
  return `<html><head><meta charset="utf-8"><title>Orvo register report</title></head><body style="font-family:'DejaVu Sans',sans-serif;font-size:10pt">`
    + `<h1>Register report</h1><p>${escapeHtml(when)} · ${escapeHtml(conn)}</p>`
    + `<table style="border-collapse:collapse" cellspacing="0"><tr>${head.map((h) => `<th ${cell}>${h}</th>`).join('')}</tr>${body}</table>`
    + `${trend}<p style="color:#666">Made with Orvo.</p></body></html>`;
}

async function exportFile(button, filename, content, type) {
  await busy(button, async () => {
    try {
      download(await saveFile(filename, content, { type }), filename);
      say('#reg-msg', 'ok', `${filename} saved.`);
    } catch (e) {
      say('#reg-msg', 'error', `Saving ${filename} failed: ${describeError(e)}`);
    }
  });
}

function rowsFromText(text) {
  const t = text.replace(/^\uFEFF/, '').trim();
  if (t.startsWith('{') || t.startsWith('[')) {
    const parsed = JSON.parse(t);
    const list = Array.isArray(parsed) ? parsed : parsed.rows;
    if (!Array.isArray(list)) throw new Error('The file holds no register rows.');
    return list.map((r) => newRow(r));
  }
  const table = parseCsv(t);
  if (table.length < 2 || !/^name$/i.test(table[0][0]?.trim() ?? '')) throw new Error('This is not a register map or a CSV export of this page.');
  return table.slice(1).map((c) => newRow({
    name: c[0], addr: c[1], count: c[2], type: c[3], regSize: c[4], valSize: c[5], prec: c[6], trend: c[7],
  }));
}

async function loadMap(file) {
  try {
    const text = await loadFile(file);
    const loaded = rowsFromText(text);
    if (loaded.length === 0) throw new Error('The file holds no register rows.');
    rows = loaded;
    persist();
    renderTable();
    rebuildChart();
    say('#reg-msg', 'ok', `Loaded ${loaded.length} run${loaded.length === 1 ? '' : 's'} from ${file.name}.`);
  } catch (e) {
    say('#reg-msg', 'error', `Could not load ${file.name}: ${e.kind ? describeError(e) : e.message}`);
  }
}

// ---- wiring --------------------------------------------------------------

$('#add-row').addEventListener('click', () => {
  const last = rows[rows.length - 1];
  const addr = last ? last.addr + last.count * (last.valSize === 32 && last.regSize === 16 ? 2 : 1) : 0;
  const row = newRow({ name: `Run ${rows.length + 1}`, addr, count: 1, type: last?.type ?? 'int', regSize: last?.regSize ?? 16, valSize: last?.valSize ?? 16 });
  rows.push(row);
  persist();
  renderTable();
  $(`tr[data-row="${row.id}"] input`)?.focus();
});

$('#read-all').addEventListener('click', (e) => busy(e.currentTarget, async () => {
  say('#reg-msg', 'info', 'Reading…');
  const ok = await readAll();
  const busyRows = rows.filter((r) => r.note).length;
  if (busyRows) say('#reg-msg', 'warn', `The device was busy; ${busyRows} run${busyRows === 1 ? ' was' : 's were'} not read. Try again.`);
  else if (ok === rows.length) say('#reg-msg', 'ok', `Read ${ok} run${ok === 1 ? '' : 's'}.`);
  else say('#reg-msg', 'error', `${rows.length - ok} of ${rows.length} runs could not be read; see the Values column.`);
  addSample();
}));

$('#poll').addEventListener('click', () => setPolling(!polling));
$('#clear-trend').addEventListener('click', () => {
  data = data.map(() => []);
  drawChart();
});
$('#export-csv').addEventListener('click', (e) => exportFile(e.currentTarget, `registers-${stamp()}.csv`, toCsv(rows), 'text/csv'));
$('#export-pdf').addEventListener('click', (e) => exportFile(e.currentTarget, `registers-${stamp()}.pdf`, reportHtml(), 'application/pdf'));
$('#save-map').addEventListener('click', (e) => exportFile(e.currentTarget, `register-map-${stamp()}.json`,
  JSON.stringify({ orvoRegisterMap: 1, rows: rows.map(mapOf) }, null, 2) + '\n', 'application/json'));
$('#load-map-file').addEventListener('change', async (e) => {
  const file = e.target.files?.[0];
  if (file) await loadMap(file);
  e.target.value = '';
});
$('label[for="load-map-file"]').addEventListener('keydown', (e) => {
  if (e.key === 'Enter' || e.key === ' ') { e.preventDefault(); $('#load-map-file').click(); }
});
$('label[for="load-map-file"]').tabIndex = 0;
$('label[for="load-map-file"]').setAttribute('role', 'button');

new ResizeObserver(() => chart?.setSize({ width: chartWidth(), height: 300 })).observe($('#chart'));

rows = restore();
renderTable();
rebuildChart();
refreshLinkBadge().catch(() => {});
