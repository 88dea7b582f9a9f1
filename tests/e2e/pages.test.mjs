// The pages against scripted replies: what they send and how they word every
// kind of answer, including those a healthy Orvo rarely gives (busy, 403, 414).
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { launchBrowser, routeMock, MOCK_ORIGIN } from './support.mjs';

const PORT_SETTINGS = JSON.stringify({
  ports: { 0: { portName: '/dev/ttyUSB0', friendName: 'USB serial' }, 1: { portName: '/dev/ttyS0', friendName: 'ttyS0' } },
  baudRate: { 0: '1200', 1: '2400', 2: '4800', 3: '9600', 4: '19200', 5: '38400', 6: '57600', 7: '115200', 8: '230400', 9: '256000', 10: '1000000' },
  mode: { 0: 'RTU 8N2', 1: 'RTU 8E1', 2: 'RTU 8O1', 3: 'RTU 8N1' },
  userSettings: { port: '/dev/ttyS0', slaveID: 7, baudRate: 3, mode: 1, timeout: 700, tcpIp: '10.1.2.3', tcpPort: 1502, connectionType: 'tcp', isConnected: false },
});
const INFO = '{"ver":"0.2.04","canUpdate":1,"canAddNewModules":1,"canUpdateFirmware":1,"canSendMailReport":1, "copy":"<p>Orvo <b id=\\"made\\">made by</b> us</p>", "langList":["EN","PL","ESP","DE","IT"],"osType":"win","osVer":0,"runAsAdmin":0}';
const MODULES = '{"registers":{"html":["index.html"],"css":["registers.css"],"js":["registers.js"]},"meter":{"html":["setup.html","index.html"],"css":[],"js":[]},"empty":{"html":[],"css":[],"js":[]}}';

let browser;
let calls;
let script;

function defaults(func) {
  switch (func) {
    case 'getPortSettings': return PORT_SETTINGS;
    case 'getGeneralInfo': return INFO;
    case 'getListOfInstalledModules': return MODULES;
    case 'getUpdateStatus': return '{}';
    default: return '';
  }
}

before(async () => {
  browser = await launchBrowser();
  await routeMock(browser.context, (func, params, request) => {
    calls.push({ func, params, method: request.method() });
    const scripted = script[func];
    if (typeof scripted === 'function') return scripted(params);
    if (Array.isArray(scripted)) return scripted.length > 1 ? scripted.shift() : scripted[0];
    return scripted ?? defaults(func);
  });
});
after(async () => { await browser?.close(); });

async function open(page, file) {
  calls = [];
  const p = await browser.context.newPage();
  await p.goto(`${MOCK_ORIGIN}/${file}`);
  return p;
}

test('start page: stored settings preselected, modules linked, identification shown', async () => {
  script = { identifySlave: '{"id":17,"desc":"AB\\"C","descArray":[17,255,65,66,34,67]}' };
  const page = await open(null, 'index.html');
  await page.locator('#si-ver').filter({ hasText: '0.2.04' }).waitFor();
  assert.equal(await page.locator('input[name=connType][value=tcp]').isChecked(), true);
  assert.equal(await page.locator('#ipAddres_tcp').inputValue(), '10.1.2.3');
  assert.equal(await page.locator('#port_tcp').inputValue(), '1502');
  assert.equal(await page.locator('#slaveID').inputValue(), '7');
  assert.equal(await page.locator('#timeout').inputValue(), '700');
  assert.equal(await page.locator('#serial-fields').isHidden(), true);
  await page.getByLabel('Serial (RTU)').check();
  assert.equal(await page.locator('#portSelect').inputValue(), '/dev/ttyS0');
  assert.equal(await page.locator('#baudRate').inputValue(), '3');
  assert.equal(await page.locator('#mode').inputValue(), '1');

  const links = await page.locator('#modules a').evaluateAll((as) => as.map((a) => [a.textContent, new URL(a.href).pathname]));
  assert.deepEqual(links, [['Registers', '/modules/registers/index.html'], ['Meter', '/modules/meter/index.html']]);
  assert.match(await page.locator('#modules').textContent(), /Empty/);

  await page.getByRole('button', { name: 'Identify device' }).click();
  await page.locator('#ident').waitFor();
  assert.equal(await page.locator('#ident-id').textContent(), '17');
  assert.equal(await page.locator('#ident-desc').textContent(), 'AB"C');
  assert.equal(await page.locator('#ident-hex').textContent(), '11 FF 41 42 22 43');
  await page.close();
});

test('connect sends the form as the engine names it, and the state follows', async () => {
  let connected = false;
  script = {
    getPortSettings: () => PORT_SETTINGS.replace('"isConnected":false', `"isConnected":${connected}`),
    connect: () => { connected = true; return '{"ok":"Connected with Modbus TCP."}'; },
    disconnect: () => { connected = false; return '{"ok":"Disconnected"}'; },
  };
  const page = await open(null, 'index.html');
  await page.locator('#ipAddres_tcp').fill('127.0.0.1');
  await page.getByRole('button', { name: 'Connect', exact: true }).click();
  await page.locator('#conn-msg.msg-ok').waitFor();
  const connect = calls.find((c) => c.func === 'connect').params;
  assert.deepEqual(connect, { func: 'connect', connType: 'tcp', ipAddres_tcp: '127.0.0.1', port_tcp: '1502', slaveID: '7', timeout: '700' });
  await page.locator('#link-badge', { hasText: 'Connected' }).waitFor();
  await page.getByRole('button', { name: 'Disconnect' }).click();
  await page.locator('#link-badge', { hasText: 'Not connected' }).waitFor();

  // A bad address is caught before anything is sent.
  calls.length = 0;
  await page.locator('#ipAddres_tcp').fill('not an address');
  await page.getByRole('button', { name: 'Connect', exact: true }).click();
  await page.locator('#conn-msg.msg-error').waitFor();
  assert.equal(calls.some((c) => c.func === 'connect'), false);
  await page.close();
});

test('every kind of failed reply is worded for the user', async () => {
  const cases = [
    [{ status: 200, body: '' }, /busy.*try again/i],
    [{ status: 403, body: '403 Forbidden' }, /refused.*403/i],
    [{ status: 414, body: '' }, /too large/i],
    [{ status: 413, body: '' }, /too large/i],
    [{ status: 200, body: '{"error":"Not connected"}' }, /^Not connected$/],
    [{ status: 200, body: 'garbage' }, /does not understand/i],
  ];
  // An empty reply means a busy device only for the Modbus functions.
  script = { getListOfInstalledModules: '' };
  const page = await open(null, 'index.html');
  await page.locator('#mod-msg.msg-error').waitFor();
  assert.match(await page.locator('#mod-msg').textContent(), /empty reply/);
  for (const [reply, expected] of cases) {
    script = { identifySlave: reply };
    await page.getByRole('button', { name: 'Identify device' }).click();
    await page.locator('#ident-msg.msg-error').waitFor();
    const text = await page.locator('#ident-msg').textContent();
    assert.match(text, expected, `reply ${JSON.stringify(reply)} gave "${text}"`);
    assert.equal(await page.locator('#ident').isHidden(), true);
  }
  await page.close();
});

test('registers: values encoded twice for writing, exact digits shown, busy reads kept', async () => {
  const reads = ['[1.50,-2.25]', '', '[3.00,4.00]'];
  script = {
    readRegisters: () => reads.shift() ?? '[3.00,4.00]',
    writeRegisters: '{"ok":"Values successfully sent."}',
  };
  const page = await open(null, 'modules/registers/index.html');
  await page.evaluate(() => localStorage.clear());
  await page.reload();
  const row = page.locator('#reg-rows tr').first();
  await row.getByLabel(/^Value type of/).selectOption('float4321');
  await row.getByLabel(/^Address of/).fill('100');
  await row.getByLabel(/^Address of/).press('Tab');
  await page.locator('#reg-rows tr').first().getByLabel(/^Number of values of/).fill('2');
  await page.locator('#reg-rows tr').first().getByLabel(/^Number of values of/).press('Tab');
  await page.getByRole('button', { name: 'Read once' }).click();
  await page.locator('#reg-rows td.values', { hasText: '1.50, -2.25' }).waitFor();
  const read = calls.find((c) => c.func === 'readRegisters').params;
  assert.deepEqual(read, { func: 'readRegisters', regAddr: '100', valuesCnt: '2', regType: 'float4321', regSize: '16', valSize: '32', floatPrec: '2' });

  // An empty reply leaves the last values, marked, and says to try again.
  await page.getByRole('button', { name: 'Read once' }).click();
  await page.locator('#reg-msg.msg-warn', { hasText: /busy/i }).waitFor();
  assert.match(await page.locator('#reg-rows td.values').textContent(), /1\.50, -2\.25.*busy/);

  await page.locator('#reg-rows tr').first().getByLabel(/^Values to write/).fill('1e3; -0.5 100%');
  await page.locator('#reg-rows tr').first().getByRole('button', { name: /^Write/ }).click();
  await page.locator('#reg-msg.msg-error', { hasText: '100%' }).waitFor();
  assert.equal(calls.some((c) => c.func === 'writeRegisters'), false);

  await page.locator('#reg-rows tr').first().getByLabel(/^Values to write/).fill('1e3; -0.5, 7');
  await page.locator('#reg-rows tr').first().getByRole('button', { name: /^Write/ }).click();
  await page.locator('#reg-msg.msg-ok', { hasText: 'Values successfully sent.' }).waitFor();
  const write = calls.find((c) => c.func === 'writeRegisters');
  // The library decodes the query once; Orvo decodes regVals once more.
  assert.equal(decodeURIComponent(write.params.regVals), '[1000,-0.5,7]');
  assert.equal(write.params.valuesCnt, '3');
  await page.locator('#reg-rows td.values', { hasText: '3.00, 4.00' }).waitFor();

  // Polling redraws values, not the controls: what the user is typing stays, focused.
  await page.locator('#reg-rows tr').first().getByLabel(/^Trend/).check();
  await page.getByLabel('Poll every (ms)').fill('250');
  await page.getByRole('button', { name: 'Start polling' }).click();
  const input = page.locator('#reg-rows tr').first().getByLabel(/^Values to write/);
  await input.fill('');
  await input.pressSequentially('12 3');
  await page.waitForFunction(() => Number(document.querySelector('#chart').dataset.samples) >= 4);
  assert.equal(await input.inputValue(), '12 3');
  assert.equal(await input.evaluate((e) => e === document.activeElement), true);
  await page.getByRole('button', { name: 'Stop polling' }).click();
  await page.close();
});

test('contact: limits enforced, the json survives the server\'s simple parsing, replies worded', async () => {
  const page = await open(null, 'contact.html');
  await page.getByLabel('First name *').fill('Ann, "the" {boss}');
  await page.getByLabel('Surname').fill('Smith: Jr');
  await page.getByLabel('E-mail *').fill('ann@example.com');
  await page.getByLabel('Company').fill('A&B 100%+1=2');
  await page.getByLabel('Phone').fill('+48 123');
  await page.getByLabel('Message *').fill('Line one,\nline two: done');
  assert.equal(await page.getByLabel('First name *').getAttribute('maxlength'), '20');

  script = { sendEmail: '{"status":"time","timeleft":"840"}' };
  await page.getByRole('button', { name: 'Send message' }).click();
  await page.locator('#contact-msg.msg-warn', { hasText: '14 minutes' }).waitFor();
  const json = decodeURIComponent(calls.find((c) => c.func === 'sendEmail').params.json);
  // The server's reading: no braces or quotes, split at ",", the text between the first two ":".
  const fields = json.replace(/[{}"]/g, '').split(',').map((item) => item.split(':')[1]);
  assert.equal(fields.length, 7);
  assert.deepEqual(fields, ['Ann\u201A \u201Dthe\u201D (boss)', 'Smith\uA789 Jr', 'ann@example.com', 'A&B 100%+1=2', '+48 123', '',
    'Line one\u201A\\nline two\uA789 done']);

  const replies = [
    ['{"status":"ok!"}', 'msg-ok', /sent/],
    ['{"error":"err2!"}', 'msg-error', /too long/],
    ['{"status":"err!"}', 'msg-error', /could not be sent/],
    ['{"error":"Parameter error!"}', 'msg-error', /did not understand/],
  ];
  for (const [body, cls, expected] of replies) {
    script = { sendEmail: body };
    await page.getByLabel('Message *').fill('Hello');
    await page.getByRole('button', { name: 'Send message' }).click();
    await page.locator(`#contact-msg.${cls}`, { hasText: expected }).waitFor();
  }

  // A long text that would overflow the request line travels as a multipart body instead.
  calls.length = 0;
  script = { sendEmail: '{"status":"ok!"}' };
  await page.getByLabel('Message *').fill('zażółć '.repeat(280));
  await page.getByRole('button', { name: 'Send message' }).click();
  await page.locator('#contact-msg.msg-ok').waitFor();
  const long = calls.find((c) => c.func === 'sendEmail');
  assert.equal(long.method, 'POST');
  assert.ok(decodeURIComponent(long.params.json).endsWith(`"message":"${'zażółć '.repeat(280).trim()}"}`));

  // A message whose line breaks push it over the limit is stopped before sending.
  calls.length = 0;
  await page.getByLabel('Message *').fill('x'.repeat(1000) + '\n' + 'x'.repeat(999));
  await page.getByRole('button', { name: 'Send message' }).click();
  await page.locator('#contact-msg.msg-error', { hasText: 'too long' }).waitFor();
  assert.equal(calls.some((c) => c.func === 'sendEmail'), false);
  await page.close();
});

test('updates: offers from the server installed and followed to the end', async () => {
  script = {
    check4Updates: '{"modules":[{"name":"meter","version":"1.2","description":"Energy meter"},{"name":"registers","version":"2.0"}]}',
    startUpdating: '{"ok":"Update started"}',
    getUpdateStatus: ['{}', '{"ok":"In progress"}', '{"ok":"In progress"}', '{"ok":"Completed correctly."}'],
  };
  const page = await open(null, 'updates.html');
  await page.locator('#installed a').first().waitFor();
  await page.getByRole('button', { name: 'Check for updates' }).click();
  await page.locator('#offers li').nth(1).waitFor();
  const question = JSON.parse(decodeURIComponent(calls.find((c) => c.func === 'check4Updates').params.json));
  assert.deepEqual(question, { ver: '0.2.04', modules: ['registers', 'meter', 'empty'] });
  await page.getByLabel(/Registers/).uncheck();
  await page.getByRole('button', { name: 'Install selected' }).click();
  await page.locator('#run-msg.msg-ok', { hasText: 'completed correctly' }).waitFor({ timeout: 15000 });
  assert.equal(decodeURIComponent(calls.find((c) => c.func === 'startUpdating').params.modulesList), '["meter"]');

  script = { check4Updates: '{"error":"Unable to connect with server!"}' };
  await page.getByRole('button', { name: 'Check for updates' }).click();
  await page.locator('#check-msg.msg-error', { hasText: 'cannot be reached' }).waitFor();
  await page.close();
});

test('about: fragment shown as HTML, actions only after confirmation', async () => {
  script = { openFtpInExplorer: '{"ok":"FTP opened"}', runFirmwareUpdater: '{"ok":"1"}' };
  const page = await open(null, 'about.html');
  await page.locator('#about-copy b#made').waitFor();

  await page.getByRole('button', { name: 'Update firmware…' }).click();
  await page.getByRole('dialog').getByRole('button', { name: 'Cancel' }).click();
  assert.equal(calls.some((c) => c.func === 'runFirmwareUpdater'), false);
  await page.getByRole('button', { name: 'Update firmware…' }).click();
  await page.getByRole('dialog').getByRole('button', { name: 'Start boot loader' }).click();
  await page.locator('#tools-msg.msg-ok', { hasText: 'boot loader' }).waitFor();

  await page.getByLabel(/^Address/).fill('ftp://10.0.0.1/a b&c');
  await page.getByRole('button', { name: 'Open in file manager…' }).click();
  await page.getByRole('dialog').getByRole('button', { name: 'Open' }).click();
  await page.locator('#tools-msg.msg-ok', { hasText: 'Opened' }).waitFor();
  assert.equal(decodeURIComponent(calls.find((c) => c.func === 'openFtpInExplorer').params.address), 'ftp://10.0.0.1/a b&c');

  await page.getByRole('button', { name: 'Restart as administrator…' }).click();
  await page.keyboard.press('Escape');
  assert.equal(calls.some((c) => c.func === 'runAsAdministrator'), false);
  await page.getByRole('button', { name: 'Install Orvo update…' }).click();
  await page.getByRole('dialog').getByRole('button', { name: 'Install' }).click();
  await page.locator('#tools-msg', { hasText: 'setup program' }).waitFor();
  assert.equal(calls.filter((c) => c.func === 'runAutoUpdate').length, 1);
  await page.close();
});
