// One place for every call to Orvo's ajax.html, saveFile.html and loadFile.html.
//
// Orvo percent-decodes a few parameters a second time after the HTTP layer has
// decoded the query once, so that '%', '&', '=' and '+' inside them survive.
// Those values are therefore encoded twice here.
export const DOUBLE_ENCODED = new Set(['regVals', 'modulesList', 'json', 'address']);

// Query strings above this length are refused by the server (414); such calls
// travel as multipart/form-data instead, whose fields the server does not decode.
const MAX_QUERY = 6000;

// The document root, wherever the page that imports this module lives.
export const ROOT = new URL('../', import.meta.url).href;

// Only these wait for the Modbus device; an empty reply from them means it was busy.
const MODBUS_FUNCTIONS = new Set(['getPortSettings', 'connect', 'disconnect', 'readRegisters', 'writeRegisters', 'identifySlave']);

export class AjaxError extends Error {
  /** kind: 'busy' | 'empty' | 'refused' | 'tooLarge' | 'http' | 'network' | 'format' | 'reply' */
  constructor(kind, message, detail = {}) {
    super(message);
    this.name = 'AjaxError';
    this.kind = kind;
    Object.assign(this, detail);
  }
}

export const MESSAGES = {
  busy: 'The device is busy with another request. Please try again in a moment.',
  refused: 'Orvo refused the request (HTTP 403). Open the pages through the address Orvo shows, e.g. http://127.0.0.1:<port>/, not through another site or name.',
  tooLarge: 'The request is too large for Orvo to accept. Send fewer values or a shorter text.',
  network: 'Orvo does not answer. Is it still running?',
  empty: 'Orvo sent an empty reply. This version of Orvo may not offer this function.',
  format: 'Orvo sent a reply this page does not understand.',
};

function encodeValue(name, value) {
  const text = String(value);
  return DOUBLE_ENCODED.has(name) ? encodeURIComponent(encodeURIComponent(text)) : encodeURIComponent(text);
}

export function buildQuery(func, params = {}) {
  const parts = [`func=${encodeURIComponent(func)}`];
  for (const [name, value] of Object.entries(params)) {
    if (value === undefined || value === null) continue;
    parts.push(`${encodeURIComponent(name)}=${encodeValue(name, value)}`);
  }
  return parts.join('&');
}

function statusError(response) {
  if (response.status === 403) return new AjaxError('refused', MESSAGES.refused, { status: 403 });
  if (response.status === 413 || response.status === 414)
    return new AjaxError('tooLarge', MESSAGES.tooLarge, { status: response.status });
  return new AjaxError('http', `Orvo answered with HTTP ${response.status}.`, { status: response.status });
}

async function send(url, init) {
  try {
    return await fetch(url, { cache: 'no-store', credentials: 'same-origin', ...init });
  } catch (e) {
    throw new AjaxError('network', MESSAGES.network, { cause: e });
  }
}

// The server builds its JSON by hand; a stray control character inside a text
// (e.g. a line break in a port's description) must not make the whole reply unreadable.
export function parseReply(text) {
  try {
    return JSON.parse(text);
  } catch {
    try {
      return JSON.parse(text.replace(/[\u0000-\u001f]/g, ' '));
    } catch {
      throw new AjaxError('format', MESSAGES.format, { body: text });
    }
  }
}

/**
 * Calls one AJAX function and returns its parsed JSON reply.
 * An {"error": ...} reply is thrown as AjaxError of kind 'reply' (the reply is in .reply);
 * an empty body as kind 'busy' for the Modbus functions (the device was busy) and 'empty'
 * for the others, unless allowEmpty is set,
 * in which case null is returned.
 */
export async function ajax(func, params = {}, options = {}) {
  return (await ajaxWithText(func, params, options)).reply;
}

/** Like ajax(), but also gives the reply's text (numbers keep their exact digits there). */
export async function ajaxWithText(func, params = {}, { allowEmpty = false, rawErrors = false, base = ROOT } = {}) {
  const query = buildQuery(func, params);
  let response;
  if (query.length <= MAX_QUERY) {
    response = await send(`${base}ajax.html?${query}`);
  } else {
    const form = new FormData();
    for (const [name, value] of Object.entries(params)) {
      if (value === undefined || value === null) continue;
      // Fields of a multipart body reach Orvo undecoded: encode once where it decodes once.
      form.append(name, DOUBLE_ENCODED.has(name) ? encodeURIComponent(String(value)) : String(value));
    }
    response = await send(`${base}ajax.html?func=${encodeURIComponent(func)}`, { method: 'POST', body: form });
  }
  if (!response.ok) throw statusError(response);
  const text = await response.text();
  if (text.trim() === '') {
    if (allowEmpty) return { reply: null, text };
    if (MODBUS_FUNCTIONS.has(func)) throw new AjaxError('busy', MESSAGES.busy);
    throw new AjaxError('empty', MESSAGES.empty);
  }
  const reply = parseReply(text);
  if (!rawErrors && reply && typeof reply === 'object' && !Array.isArray(reply) && 'error' in reply) {
    throw new AjaxError('reply', String(reply.error), { reply });
  }
  return { reply, text };
}

/** Has Orvo turn text into a download (a PDF when the name holds ".pdf"); returns the Blob. */
export async function saveFile(filename, content, { type = 'text/plain', base = ROOT } = {}) {
  const form = new FormData();
  form.append('filename', filename);
  form.append('fileContent', content);
  const response = await send(`${base}saveFile.html`, { method: 'POST', body: form });
  if (!response.ok) throw statusError(response);
  const bytes = await response.arrayBuffer();
  if (bytes.byteLength === 0 && content.length > 0)
    throw new AjaxError('format', `Orvo could not produce ${filename}.`);
  return new Blob([bytes], { type: filename.includes('.pdf') ? 'application/pdf' : type });
}

/** Saves the Blob on the user's disk through the browser's download. */
export function download(blob, filename) {
  const url = URL.createObjectURL(blob);
  const a = document.createElement('a');
  a.href = url;
  a.download = filename;
  a.hidden = true;
  document.body.append(a);
  a.click();
  a.remove();
  setTimeout(() => URL.revokeObjectURL(url), 60000);
}

/** Sends a file the user picked to Orvo, which echoes it back as text. */
export async function loadFile(file, { base = ROOT } = {}) {
  const form = new FormData();
  form.append('uploadedfile', file, file.name || 'upload.txt');
  const response = await send(`${base}loadFile.html`, { method: 'POST', body: form });
  if (!response.ok) throw statusError(response);
  return response.text();
}

/** A sentence for any error a call may throw. */
export function describeError(e) {
  if (e instanceof AjaxError) return e.message;
  return `Unexpected problem: ${e && e.message ? e.message : e}`;
}
