// Contact form: seven fields sent to Orvo as one "json" text.
//
// Orvo reads that text simply: it drops braces and double quotes, splits it at
// every "," and keeps the text between the first and the second ":" of each
// item. So no value may hold ",", ":", a quote or a brace; they are replaced by
// characters that look the same to the reader of the mail. Line breaks are sent
// as the two characters "\n", which Orvo turns into spaces.
import { ajax, describeError } from './ajax.js';
import { $, el, renderFrame, refreshLinkBadge, say, busy } from './ui.js';
import { installedModules } from './modules.js';

renderFrame('contact');

export const FIELDS = [
  ['name', 20], ['surname', 30], ['email', 30], ['company', 50], ['phone', 25], ['module', 20], ['message', 2000],
];

const LOOKALIKE = { ',': '\u201A', ':': '\uA789', '"': '\u201D', '{': '(', '}': ')' };

/** What the user typed, with the characters that cannot travel replaced. */
export function tidy(text) {
  return text.replace(/[,:"{}]/g, (c) => LOOKALIKE[c]);
}

/** The value as it travels: line breaks become the text "\n". */
export function wireValue(text) {
  return tidy(text).replace(/\r\n|\r|\n/g, '\\n');
}

export function buildJson(values) {
  return `{${FIELDS.map(([key]) => `"${key}":"${wireValue(values[key] ?? '')}"`).join(',')}}`;
}

const form = $('#contact-form');

function updateCounter(input) {
  const limit = Number(input.dataset.limit);
  const counter = input.parentElement.querySelector('.counter');
  if (!limit || !counter) return;
  const used = wireValue(input.value).length;
  counter.textContent = `${used} / ${limit}`;
  counter.classList.toggle('over', used > limit);
  input.setAttribute('aria-invalid', used > limit ? 'true' : 'false');
}

form.addEventListener('input', (e) => {
  const input = e.target;
  if (!input.dataset.limit) return;
  const cleaned = tidy(input.value);
  if (cleaned !== input.value) {
    // Same length, so the caret can stay where it was.
    const { selectionStart, selectionEnd } = input;
    input.value = cleaned;
    input.setSelectionRange(selectionStart, selectionEnd);
  }
  updateCounter(input);
});

function describeReply(reply) {
  if (reply?.status === 'ok!') return ['ok', 'Thank you! Your message was sent.'];
  if (reply?.status === 'time') {
    const seconds = Number(reply.timeleft);
    const minutes = Math.max(1, Math.ceil(seconds / 60));
    return ['warn', `Please wait before sending another message: you can send the next one in ${minutes} minute${minutes === 1 ? '' : 's'}.`];
  }
  if (reply?.status === 'err!') return ['error', 'The message could not be sent. Check the Internet connection and try again later.'];
  if (reply?.error === 'err2!') return ['error', 'A field is too long. Shorten it and send again.'];
  if (reply?.error === 'Parameter error!') return ['error', 'Orvo did not understand the form. Please check the fields and try again.'];
  if (reply?.error) return ['error', `Orvo answered: ${reply.error}`];
  return ['error', 'Orvo sent an unexpected reply.'];
}

form.addEventListener('submit', async (e) => {
  e.preventDefault();
  const values = {};
  const problems = [];
  for (const [key, limit] of FIELDS) {
    const input = form.elements[key];
    values[key] = input.value.trim();
    const used = wireValue(values[key]).length;
    let bad = used > limit;
    if (bad) problems.push(`${input.labels[0].textContent.replace(' *', '')} is ${used - limit} character${used - limit === 1 ? '' : 's'} too long.`);
    if (input.required && values[key] === '') { bad = true; problems.push(`${input.labels[0].textContent.replace(' *', '')} is required.`); }
    if (key === 'email' && values[key] && !input.checkValidity()) { bad = true; problems.push('The e-mail address does not look right.'); }
    input.setAttribute('aria-invalid', bad ? 'true' : 'false');
  }
  if (problems.length) {
    say('#contact-msg', 'error', problems.join(' '));
    form.querySelector('[aria-invalid="true"]')?.focus();
    return;
  }
  await busy($('#send'), async () => {
    say('#contact-msg', 'info', 'Sending… this can take up to half a minute.');
    try {
      const reply = await ajax('sendEmail', { json: buildJson(values) }, { rawErrors: true });
      const [kind, text] = describeReply(reply);
      say('#contact-msg', kind, text);
      if (kind === 'ok') form.elements.message.value = '';
      updateCounter(form.elements.message);
    } catch (err) {
      say('#contact-msg', 'error', describeError(err));
    }
  });
});

for (const input of form.querySelectorAll('[data-limit]')) {
  // A single line travels with its own length; the message's line breaks count twice, checked on sending.
  if (input.tagName === 'INPUT') input.maxLength = Number(input.dataset.limit);
  updateCounter(input);
}
refreshLinkBadge().catch(() => {});
installedModules().then((modules) => {
  const select = form.elements.module;
  for (const m of modules) select.append(el('option', { value: tidy(m.name).slice(0, 20) }, m.name));
  const fromPage = new URLSearchParams(location.search).get('module');
  if (fromPage) select.value = tidy(fromPage).slice(0, 20);
}).catch(() => {});
