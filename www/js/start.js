// Start page: connection form, device identification, modules and system facts.
import { ajax, describeError } from './ajax.js';
import { $, el, renderFrame, refreshLinkBadge, say, busy } from './ui.js';
import { installedModules, moduleTitle } from './modules.js';

renderFrame('start');

const form = $('#conn-form');
const IPV4 = /^(25[0-5]|2[0-4]\d|1\d\d|[1-9]?\d)(\.(25[0-5]|2[0-4]\d|1\d\d|[1-9]?\d)){3}$/;

function connType() {
  return form.elements.connType.value === 'tcp' ? 'tcp' : 'serial';
}

function showTypeFields() {
  const tcp = connType() === 'tcp';
  $('#tcp-fields').hidden = !tcp;
  $('#serial-fields').hidden = tcp;
}

function fillSelect(select, entries, selected) {
  select.replaceChildren(...entries.map(([value, label]) => el('option', { value }, label)));
  if (selected !== undefined && entries.some(([v]) => v === String(selected))) select.value = String(selected);
}

function byIndex(table) {
  return Object.entries(table ?? {}).sort((a, b) => Number(a[0]) - Number(b[0]));
}

function showState(s) {
  const u = s.userSettings ?? {};
  const state = $('#conn-state');
  if (u.isConnected) {
    state.textContent = u.connectionType === 'tcp'
      ? `Connected over TCP to ${u.tcpIp}:${u.tcpPort}, slave ${u.slaveID}.`
      : `Connected on ${u.port}, slave ${u.slaveID}.`;
  } else {
    state.textContent = 'Not connected.';
  }
  $('#disconnect').disabled = !u.isConnected;
}

async function loadSettings(fillForm) {
  const s = await refreshLinkBadge();
  if (fillForm) {
    const u = s.userSettings ?? {};
    const ports = byIndex(s.ports).map(([, p]) => [p.portName, p.friendName && p.friendName !== p.portName
      ? `${p.portName} — ${p.friendName}` : p.portName]);
    const stored = u.port !== undefined && String(u.port) !== '0' ? String(u.port) : null;
    if (stored && !ports.some(([v]) => v === stored)) ports.push([stored, `${stored} (not present now)`]);
    const portSelect = $('#portSelect');
    fillSelect(portSelect, ports, stored ?? undefined);
    if (ports.length === 0) portSelect.append(el('option', { value: '', disabled: true, selected: true }, 'No serial ports found'));
    fillSelect($('#baudRate'), byIndex(s.baudRate).map(([i, text]) => [i, `${text} bit/s`]), u.baudRate);
    fillSelect($('#mode'), byIndex(s.mode), u.mode);
    form.elements.slaveID.value = u.slaveID ?? 1;
    form.elements.timeout.value = u.timeout ?? 1000;
    form.elements.ipAddres_tcp.value = u.tcpIp ?? '';
    form.elements.port_tcp.value = u.tcpPort ?? 502;
    form.elements.connType.value = u.connectionType === 'tcp' ? 'tcp' : 'serial';
    showTypeFields();
  }
  showState(s);
  return s;
}

function intIn(input, min, max, what) {
  const text = input.value.trim();
  const n = Number(text);
  const bad = text === '' || !Number.isInteger(n) || n < min || n > max;
  input.setAttribute('aria-invalid', bad ? 'true' : 'false');
  if (bad) throw new Error(`${what} must be a whole number from ${min} to ${max}.`);
  return n;
}

function connectParams() {
  const f = form.elements;
  const common = {
    slaveID: intIn(f.slaveID, 0, 255, 'The slave address'),
    timeout: intIn(f.timeout, 1, 60000, 'The time-out'),
  };
  if (connType() === 'tcp') {
    const ip = f.ipAddres_tcp.value.trim();
    f.ipAddres_tcp.setAttribute('aria-invalid', IPV4.test(ip) ? 'false' : 'true');
    if (!IPV4.test(ip)) throw new Error('Enter the device\u2019s IPv4 address, e.g. 192.168.1.100.');
    return { connType: 'tcp', ipAddres_tcp: ip, port_tcp: intIn(f.port_tcp, 1, 65535, 'The TCP port'), ...common };
  }
  if (!f.portSelect.value) throw new Error('Choose a serial port.');
  return { connType: 'serial', portSelect: f.portSelect.value, baudRate: f.baudRate.value, mode: f.mode.value, ...common };
}

form.addEventListener('change', (e) => {
  if (e.target.name === 'connType') showTypeFields();
});

form.addEventListener('submit', async (e) => {
  e.preventDefault();
  let params;
  try {
    params = connectParams();
  } catch (err) {
    say('#conn-msg', 'error', err.message);
    return;
  }
  say('#conn-msg', 'info', 'Connecting…');
  await busy($('#connect'), async () => {
    try {
      const reply = await ajax('connect', params);
      say('#conn-msg', 'ok', reply.ok ?? 'Connected.');
    } catch (err) {
      say('#conn-msg', 'error', describeError(err));
    }
    await loadSettings(false).catch(() => {});
  });
});

$('#disconnect').addEventListener('click', async (e) => {
  await busy(e.currentTarget, async () => {
    try {
      const reply = await ajax('disconnect');
      say('#conn-msg', 'ok', reply.ok ?? 'Disconnected.');
    } catch (err) {
      say('#conn-msg', 'error', describeError(err));
    }
    await loadSettings(false).catch(() => {});
  });
});

const hex = (b) => b.toString(16).toUpperCase().padStart(2, '0');

$('#identify').addEventListener('click', async (e) => {
  await busy(e.currentTarget, async () => {
    say('#ident-msg', 'info', 'Asking the device…');
    try {
      const reply = await ajax('identifySlave');
      const bytes = Array.isArray(reply.descArray) ? reply.descArray : [];
      $('#ident-id').textContent = String(reply.id);
      $('#ident-desc').textContent = reply.desc || '(none)';
      $('#ident-dec').textContent = bytes.join(' ');
      $('#ident-hex').textContent = bytes.map((b) => hex(Number(b))).join(' ');
      $('#ident').hidden = false;
      say('#ident-msg', 'ok', '');
    } catch (err) {
      $('#ident').hidden = true;
      say('#ident-msg', 'error', describeError(err));
    }
  });
});

async function loadModules() {
  const list = $('#modules');
  try {
    const modules = await installedModules();
    if (modules.length === 0) {
      list.replaceChildren(el('li', {}, el('span', { class: 'muted' }, 'No modules are installed.')));
      return;
    }
    list.replaceChildren(...modules.map((m) => el('li', {},
      m.href ? el('a', { href: m.href }, moduleTitle(m.name)) : el('span', {}, moduleTitle(m.name)),
      el('span', { class: 'files' }, `${m.html.length} page${m.html.length === 1 ? '' : 's'}`))));
  } catch (err) {
    say('#mod-msg', 'error', describeError(err));
  }
}

async function loadInfo() {
  try {
    const info = await ajax('getGeneralInfo');
    $('#si-ver').textContent = info.ver ?? '?';
    $('#si-os').textContent = `${info.osType ?? '?'}${info.osVer ? ` (version code ${info.osVer})` : ''}`;
    $('#si-admin').textContent = Number(info.runAsAdmin) === 1 ? 'Administrator' : 'Normal user';
    const caps = [
      [info.canUpdate, 'updates'], [info.canAddNewModules, 'new modules'],
      [info.canUpdateFirmware, 'firmware update'], [info.canSendMailReport, 'contact e-mail'],
    ].filter(([flag]) => Number(flag) === 1).map(([, name]) => name);
    $('#si-caps').textContent = caps.length ? caps.join(', ') : 'nothing extra';
    $('#si-langs').textContent = Array.isArray(info.langList) ? info.langList.join(', ') : '?';
  } catch (err) {
    say('#sys-msg', 'error', describeError(err));
  }
}

loadSettings(true).catch((err) => say('#conn-msg', 'error', describeError(err)));
loadModules();
loadInfo();
