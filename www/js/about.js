// About page: the about text and the actions that start other programs.
import { ajax, describeError } from './ajax.js';
import { $, renderFrame, refreshLinkBadge, say, confirmAction, busy } from './ui.js';

renderFrame('about');

async function loadInfo() {
  try {
    const info = await ajax('getGeneralInfo');
    $('#about-ver').textContent = `Version ${info.ver ?? '?'}${Number(info.runAsAdmin) === 1 ? ' · running as administrator' : ''}`;
    // The fragment is Orvo's own text with its links.
    $('#about-copy').innerHTML = info.copy ?? '';
    for (const a of $('#about-copy').querySelectorAll('a[href^="http"]')) {
      a.target = '_blank';
      a.rel = 'noopener noreferrer';
    }
    if (Number(info.runAsAdmin) === 1) $('#run-admin').disabled = true;
  } catch (e) {
    say('#about-msg', 'error', describeError(e));
  }
}

$('#run-firmware').addEventListener('click', async (e) => {
  const button = e.currentTarget;
  if (!await confirmAction('Update device firmware?',
    'The boot loader starts with the last connection settings. Do not disconnect the device while it works.', 'Start boot loader')) return;
  await busy(button, async () => {
    try {
      await ajax('runFirmwareUpdater');
      say('#tools-msg', 'ok', 'The boot loader has been started.');
    } catch (err) {
      say('#tools-msg', 'error', describeError(err));
    }
  });
});

$('#ftp-form').addEventListener('submit', async (e) => {
  e.preventDefault();
  const input = $('#ftp-address');
  const address = input.value.trim();
  const plausible = /^(ftp|ftps|sftp):\/\/\S/i.test(address) || address.startsWith('/');
  input.setAttribute('aria-invalid', plausible ? 'false' : 'true');
  if (!plausible) {
    say('#tools-msg', 'error', 'Enter an ftp://, ftps:// or sftp:// address, or the full path of a folder.');
    input.focus();
    return;
  }
  if (!await confirmAction('Open this location?', `Your file manager opens ${address}.`, 'Open')) return;
  await busy($('#open-ftp'), async () => {
    try {
      const reply = await ajax('openFtpInExplorer', { address });
      say('#tools-msg', 'ok', reply.ok === 'FTP opened' ? `Opened ${address} in the file manager.` : String(reply.ok));
    } catch (err) {
      say('#tools-msg', 'error', err.kind === 'reply' && err.message === 'Parameter error!'
        ? 'Orvo cannot open this address: use ftp://, ftps://, sftp:// or an existing folder.' : describeError(err));
    }
  });
});

async function endingAction(func, title, text, label, after) {
  if (!await confirmAction(title, text, label)) return;
  try {
    await ajax(func, {}, { allowEmpty: true });
    say('#tools-msg', 'info', after);
  } catch (err) {
    // Orvo may close the connection as it ends; that is the expected outcome.
    say('#tools-msg', err.kind === 'network' ? 'info' : 'error', err.kind === 'network' ? after : describeError(err));
  }
}

$('#run-admin').addEventListener('click', () => endingAction('runAsAdministrator', 'Restart Orvo as administrator?',
  'Orvo stops and starts again with administrator rights; you may be asked for a password. This page reconnects when it is back.',
  'Restart', 'Orvo is restarting as administrator. Reload this page in a few seconds.'));

$('#run-autoupdate').addEventListener('click', () => endingAction('runAutoUpdate', 'Install the Orvo update?',
  'Orvo stops and its setup program installs the downloaded update. Open Orvo again when the setup has finished.',
  'Install', 'Orvo has handed over to its setup program.'));

refreshLinkBadge().catch(() => {});
loadInfo();
