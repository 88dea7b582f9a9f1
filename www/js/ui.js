// Page frame and small helpers shared by every page.
import { ROOT, ajax } from './ajax.js';

const NAV = [
  { id: 'start', href: 'index.html', label: 'Start' },
  { id: 'registers', href: 'modules/registers/index.html', label: 'Registers' },
  { id: 'updates', href: 'updates.html', label: 'Updates' },
  { id: 'contact', href: 'contact.html', label: 'Contact' },
  { id: 'about', href: 'about.html', label: 'About' },
];

/** Short-hand for document.querySelector. */
export const $ = (selector, root = document) => root.querySelector(selector);

/** Builds an element: el('td', {class: 'x', text: 'y'}, child...). */
export function el(tag, attrs = {}, ...children) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(attrs)) {
    if (value === undefined || value === null || value === false) continue;
    if (key === 'text') node.textContent = value;
    else if (key === 'class') node.className = value;
    else if (key.startsWith('on')) node.addEventListener(key.slice(2), value);
    else if (value === true) node.setAttribute(key, '');
    else node.setAttribute(key, value);
  }
  for (const child of children.flat()) {
    if (child === null || child === undefined) continue;
    node.append(child instanceof Node ? child : document.createTextNode(String(child)));
  }
  return node;
}

/** Fills the page header with the brand, the navigation and the connection badge. */
export function renderFrame(active) {
  const header = $('#app-header');
  if (!header) return;
  const links = NAV.map((item) =>
    el('li', {}, el('a', {
      href: ROOT + item.href,
      'aria-current': item.id === active ? 'page' : null,
    }, item.label)));
  header.replaceChildren(
    el('a', { class: 'skip-link', href: '#main' }, 'Skip to content'),
    el('div', { class: 'bar' },
      el('a', { class: 'brand', href: ROOT + 'index.html' },
        el('span', { class: 'brand-mark', 'aria-hidden': 'true' }, 'O'), 'Orvo'),
      el('nav', { 'aria-label': 'Main' }, el('ul', {}, links)),
      el('span', { id: 'link-badge', class: 'badge', role: 'status', 'aria-live': 'polite' }, '…')));
}

/** Shows the connection state in the header badge; returns the port settings reply. */
export async function refreshLinkBadge(settings) {
  const badge = $('#link-badge');
  try {
    const s = settings ?? await ajax('getPortSettings');
    const u = s.userSettings ?? {};
    const on = u.isConnected === true;
    const how = u.connectionType === 'tcp' ? `TCP ${u.tcpIp}:${u.tcpPort}` : `serial ${u.port}`;
    if (badge) {
      badge.textContent = on ? `Connected · ${how}` : 'Not connected';
      badge.className = `badge ${on ? 'badge-on' : 'badge-off'}`;
    }
    return s;
  } catch (e) {
    if (badge) {
      badge.textContent = e.kind === 'busy' ? 'Device busy' : 'State unknown';
      badge.className = 'badge badge-warn';
    }
    throw e;
  }
}

/** Writes a message into a status area: kind is 'ok', 'error', 'warn' or 'info'. */
export function say(target, kind, text) {
  const box = typeof target === 'string' ? $(target) : target;
  if (!box) return;
  box.className = `msg msg-${kind}`;
  box.textContent = text;
  box.hidden = !text;
}

/** Asks for confirmation in a modal dialog; resolves to true when confirmed. */
export function confirmAction(title, text, confirmLabel = 'Continue') {
  return new Promise((resolve) => {
    const ok = el('button', { type: 'submit', value: 'ok', class: 'btn btn-primary' }, confirmLabel);
    const cancel = el('button', { type: 'submit', value: 'cancel', class: 'btn' }, 'Cancel');
    const dialog = el('dialog', { class: 'confirm', 'aria-labelledby': 'confirm-title' },
      el('form', { method: 'dialog' },
        el('h2', { id: 'confirm-title' }, title),
        el('p', {}, text),
        el('div', { class: 'actions' }, cancel, ok)));
    document.body.append(dialog);
    dialog.addEventListener('close', () => {
      resolve(dialog.returnValue === 'ok');
      dialog.remove();
    });
    dialog.showModal();
    cancel.focus();
  });
}

/** Disables a button while an action runs, so a second click cannot start it twice. */
export async function busy(button, action) {
  const wasDisabled = button.disabled;
  button.disabled = true;
  button.setAttribute('aria-busy', 'true');
  try {
    return await action();
  } finally {
    button.disabled = wasDisabled;
    button.removeAttribute('aria-busy');
  }
}
