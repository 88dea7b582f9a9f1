// Updates page: ask the update server what is new, install chosen modules, follow the run.
import { ajax, describeError } from './ajax.js';
import { $, el, renderFrame, refreshLinkBadge, say, busy } from './ui.js';
import { installedModules, moduleTitle } from './modules.js';

renderFrame('updates');

let installed = [];
let version = '';

const STATUS_TEXT = {
  'Completed correctly.': 'The update completed correctly.',
  'Unable to write to disk!': 'The files could not be written to disk. Close other programs using Orvo\u2019s folder, or run Orvo as administrator, and try again.',
  'Reply error!': 'The update server sent a broken or missing reply.',
  'Update started': 'The update has started.',
  'Parameter error!': 'Orvo did not understand the list of modules.',
  'Unable to connect with server!': 'The update server cannot be reached. Check the network and try again later.',
};

/** Offers from the update server, whose reply format is agreed with these pages:
 *  ["a","b"], [{"name":"a","version":"1.1","description":"…"}], {"modules":[…]} or {"a":{…}|"1.1"}. */
export function parseOffers(reply) {
  let list = reply;
  if (list && !Array.isArray(list) && typeof list === 'object' && 'modules' in list) list = list.modules;
  if (Array.isArray(list)) {
    return list.map((item) => (typeof item === 'string' ? { name: item } : {
      name: String(item?.name ?? ''), version: item?.version, description: item?.description,
    })).filter((o) => o.name);
  }
  if (list && typeof list === 'object') {
    return Object.entries(list).map(([name, v]) => (typeof v === 'object' && v
      ? { name, version: v.version, description: v.description } : { name, version: v === null ? undefined : String(v) }));
  }
  return [];
}

function renderInstalled() {
  $('#installed').replaceChildren(...(installed.length ? installed.map((m) => el('li', {},
    m.href ? el('a', { href: m.href }, moduleTitle(m.name)) : el('span', {}, moduleTitle(m.name)),
    el('span', { class: 'files' }, m.name))) : [el('li', {}, el('span', { class: 'muted' }, 'No modules are installed.'))]));
}

async function loadInstalled() {
  try {
    installed = await installedModules();
  } catch (e) {
    installed = [];
    say('#run-msg', 'error', describeError(e));
  }
  renderInstalled();
}

function renderOffers(offers) {
  const known = new Set(installed.map((m) => m.name));
  $('#offers').replaceChildren(...offers.map((o, i) => el('li', {},
    el('label', { class: 'offer', for: `offer-${i}` },
      el('input', { type: 'checkbox', id: `offer-${i}`, name: 'module', value: o.name, checked: true }),
      ' ', el('strong', {}, moduleTitle(o.name)),
      o.version ? el('span', { class: 'muted' }, ` ${o.version}`) : null,
      o.description ? el('span', { class: 'muted' }, ` — ${o.description}`) : null),
    el('span', { class: 'files' }, known.has(o.name) ? 'update' : 'new'))));
  $('#offer-form').hidden = offers.length === 0;
}

$('#check').addEventListener('click', (e) => busy(e.currentTarget, async () => {
  say('#check-msg', 'info', 'Asking the update server… (this can take up to 10 seconds)');
  const question = JSON.stringify({ ver: version, modules: installed.map((m) => m.name) });
  try {
    const reply = await ajax('check4Updates', { json: question }, { allowEmpty: true });
    const offers = reply === null ? [] : parseOffers(reply);
    renderOffers(offers);
    say('#check-msg', offers.length ? 'ok' : 'info', offers.length
      ? `${offers.length} module${offers.length === 1 ? ' is' : 's are'} available.`
      : 'Everything is up to date.');
  } catch (err) {
    renderOffers([]);
    const text = err.kind === 'reply' ? (STATUS_TEXT[err.message] ?? err.message) : describeError(err);
    say('#check-msg', 'error', text);
  }
}));

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

function showStatus(status) {
  if (status?.ok) {
    say('#run-msg', 'ok', STATUS_TEXT[status.ok] ?? status.ok);
  } else if (status?.error) {
    const no = status.errorNo !== undefined ? ` (network error ${status.errorNo})` : '';
    say('#run-msg', 'error', (STATUS_TEXT[status.error] ?? status.error) + no);
  }
}

async function follow() {
  const progress = $('#run-progress');
  progress.hidden = false;
  $('#run-state').textContent = 'Installing…';
  let status = null;
  let failures = 0;
  const started = Date.now();
  for (;;) {
    await sleep(500);
    $('#run-state').textContent = `Installing… (${Math.round((Date.now() - started) / 1000)} s)`;
    try {
      status = await ajax('getUpdateStatus', {}, { rawErrors: true });
      failures = 0;
    } catch (err) {
      say('#run-msg', 'warn', describeError(err));
      // Orvo has gone away: stop asking, the outcome shows on the next visit.
      if (err.kind === 'network' && ++failures >= 20) { status = null; break; }
      continue;
    }
    if (status?.ok !== 'In progress') break;
  }
  // A broken file list is reported while the run goes on; look a little longer
  // so that a later "completed" replaces it.
  if (status?.error === 'Reply error!' && status.errorNo === undefined) {
    for (let i = 0; i < 6; i++) {
      await sleep(500);
      const again = await ajax('getUpdateStatus', {}, { rawErrors: true }).catch(() => status);
      if (JSON.stringify(again) !== JSON.stringify(status)) { status = again; if (status?.ok !== 'In progress') break; }
    }
  }
  progress.hidden = true;
  $('#run-state').textContent = status === null ? 'Orvo stopped answering during the update.'
    : status?.ok ? 'The last update has finished.' : 'The last update stopped.';
  showStatus(status);
  await loadInstalled();
}

$('#offer-form').addEventListener('submit', (e) => {
  e.preventDefault();
  const names = [...$('#offer-form').querySelectorAll('input[name="module"]:checked')].map((c) => c.value);
  if (names.length === 0) {
    say('#run-msg', 'warn', 'Choose at least one module.');
    return;
  }
  busy($('#install'), async () => {
    try {
      const reply = await ajax('startUpdating', { modulesList: JSON.stringify(names) });
      showStatus(reply);
      await follow();
    } catch (err) {
      const text = err.kind === 'reply' ? (STATUS_TEXT[err.message] ?? err.message) : describeError(err);
      say('#run-msg', 'error', text);
    }
  });
});

async function init() {
  refreshLinkBadge().catch(() => {});
  const [info] = await Promise.allSettled([ajax('getGeneralInfo'), loadInstalled()]);
  if (info.status === 'fulfilled') version = info.value.ver ?? '';
  // Show the outcome of a run that is still going or has ended since start.
  try {
    const status = await ajax('getUpdateStatus', {}, { rawErrors: true });
    if (status?.ok === 'In progress') follow();
    else if (status && (status.ok || status.error)) {
      $('#run-state').textContent = 'Last update:';
      showStatus(status);
    }
  } catch { /* nothing to show */ }
}
init();
