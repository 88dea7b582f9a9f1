// The web pages driven in Chromium against a real Orvo and the scriptable Modbus slave.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import net from 'node:net';
import path from 'node:path';
import { startOrvo, startFixture, launchBrowser, downloadBytes, freePort, tempDir } from './support.mjs';

// Known register contents of the slave.
const FLOAT_PI_HIGH_FIRST = [0x4049, 0x0FDB];
const REGISTERS = [
  `100=1234,-1`,
  `110=${FLOAT_PI_HIGH_FIRST.join(',')}`,
  `112=${[...FLOAT_PI_HIGH_FIRST].reverse().join(',')}`,
  `120=1,0`,
];

let orvo;
let slave;
let slavePort;
let controlPort;
let browser;
let page;
let work;
let updateServer;
let updateQuestions = [];

/** A small update server: offers one module "meter" with one page. */
function startUpdateServer() {
  return new Promise((resolve) => {
    const server = http.createServer((req, res) => {
      const url = new URL(req.url, 'http://127.0.0.1');
      const base = `http://127.0.0.1:${server.address().port}`;
      if (req.method === 'POST') {
        let body = '';
        req.on('data', (c) => { body += c; });
        req.on('end', () => {
          updateQuestions.push(new URLSearchParams(body).get('json'));
          res.end(JSON.stringify({ modules: [{ name: 'meter', version: '1.0', description: 'Energy meter' }] }));
        });
      } else if (url.pathname === '/fileList' && url.searchParams.get('moduleName') === 'meter') {
        res.end(JSON.stringify([`${base}/modules/meter/index.html`, `${base}/modules/meter/meter.js`]));
      } else if (url.pathname === '/modules/meter/index.html') {
        res.end('<!doctype html><title>Meter</title><h1>Meter</h1>');
      } else if (url.pathname === '/modules/meter/meter.js') {
        res.end('export {};');
      } else {
        res.statusCode = 404;
        res.end();
      }
    });
    server.listen(0, '127.0.0.1', () => resolve(server));
  });
}

/** One command to the slave's control socket; resolves with its reply line. */
function control(command) {
  return new Promise((resolve, reject) => {
    const socket = net.connect(controlPort, '127.0.0.1');
    let text = '';
    socket.setEncoding('utf8');
    socket.on('connect', () => socket.write(`${command}\n`));
    socket.on('data', (chunk) => {
      text += chunk;
      if (text.includes('\n')) { socket.end(); resolve(text.trim()); }
    });
    socket.on('error', reject);
  });
}

before(async () => {
  work = tempDir('orvo-e2e-files-');
  slave = await startFixture('modbus_slave.py', ['--tcp', '0', ...REGISTERS.flatMap((r) => ['--reg', r])], /^READY tcp/);
  const m = /READY tcp 127\.0\.0\.1:(\d+) control 127\.0\.0\.1:(\d+)/.exec(slave.line);
  assert.ok(m, `unexpected ready line: ${slave.line}`);
  [slavePort, controlPort] = [Number(m[1]), Number(m[2])];
  updateServer = await startUpdateServer();
  orvo = await startOrvo({ config: { updates: { updateServer: `http://127.0.0.1:${updateServer.address().port}/` } } });
  browser = await launchBrowser();
  page = await browser.context.newPage();
  page.setDefaultTimeout(15000);
});

after(async () => {
  await browser?.close();
  await orvo?.stop();
  await slave?.stop();
  await new Promise((r) => (updateServer ? updateServer.close(r) : r()));
  if (work) fs.rmSync(work, { recursive: true, force: true });
});

test('start page: facts shown, a silent address refused, connected over TCP, identified, modules listed', async () => {
  await page.goto(orvo.url);
  await page.locator('#si-ver', { hasText: '0.2.04' }).waitFor();

  await page.getByLabel('TCP', { exact: true }).check();
  await page.getByLabel('IP address').fill('127.0.0.1');
  await page.getByLabel('Slave address').fill('1');
  await page.getByLabel('Time-out (ms)').fill('1000');

  // Nothing listens on this port: the connect is refused in words.
  await page.getByLabel('TCP port').fill(String(await freePort()));
  await page.getByRole('button', { name: 'Connect', exact: true }).click();
  await page.locator('#conn-msg.msg-error', { hasText: 'Could not connect to Modbus TCP!' }).waitFor();
  await page.locator('#link-badge', { hasText: 'Not connected' }).waitFor();

  await page.getByLabel('TCP port').fill(String(slavePort));
  await page.getByRole('button', { name: 'Connect', exact: true }).click();
  await page.locator('#conn-msg.msg-ok', { hasText: 'Connected with Modbus TCP.' }).waitFor();
  await page.locator('#link-badge', { hasText: `Connected · TCP 127.0.0.1:${slavePort}` }).waitFor();

  await page.getByRole('button', { name: 'Identify device' }).click();
  await page.locator('#ident:not([hidden]), #ident-msg.msg-error').first().waitFor();
  assert.equal(await page.locator('#ident-msg.msg-error').count(), 0, await page.locator('#ident-msg').textContent());
  assert.equal(await page.locator('#ident-id').textContent(), '17');
  assert.equal(await page.locator('#ident-desc').textContent(), 'Orvo test slave');
  assert.match(await page.locator('#ident-hex').textContent(), /^11 FF 4F 72 76 6F /);

  await page.locator('#modules li').first().waitFor();
  const modules = await page.locator('#modules a').evaluateAll((as) => as.map((a) => new URL(a.href).pathname));
  assert.ok(modules.includes('/modules/registers/index.html'), `modules listed: ${modules}`);

  // The stored settings come back preselected on the next visit.
  await page.reload();
  await page.waitForFunction(() => document.querySelector('#port_tcp').value !== '');
  assert.equal(await page.locator('#port_tcp').inputValue(), String(slavePort));
  assert.equal(await page.locator('input[name=connType][value=tcp]').isChecked(), true);
});

test('registers: a map loaded through the server, read in several types', async () => {
  await page.goto(`${orvo.url}modules/registers/index.html`);
  const map = {
    orvoRegisterMap: 1,
    rows: [
      { name: 'signed', addr: 100, count: 2, type: 'int' },
      { name: 'unsigned', addr: 100, count: 2, type: 'uint' },
      { name: 'pi4321', addr: 110, count: 1, type: 'float4321' },
      { name: 'pi1234', addr: 112, count: 1, type: 'float1234', prec: 3 },
      { name: 'long', addr: 120, count: 1, type: 'long', trend: true },
      { name: 'setpoint', addr: 200, count: 2, type: 'int' },
    ],
  };
  const file = path.join(work, 'plant.json');
  fs.writeFileSync(file, JSON.stringify(map));
  await page.locator('#load-map-file').setInputFiles(file);
  await page.locator('#reg-msg.msg-ok', { hasText: 'Loaded 6 runs from plant.json' }).waitFor();

  await page.getByRole('button', { name: 'Read once' }).click();
  await page.locator('#reg-msg.msg-ok, #reg-msg.msg-error, #reg-msg.msg-warn').first().waitFor();
  const values = await page.locator('#reg-rows td.values').allTextContents();
  assert.deepEqual(values, ['1234, -1', '1234, 65535', '3.14159', '3.142', '65536', '0, 0']);
});

test('registers: values written reach the device and are read back', async () => {
  const setpoint = page.locator('#reg-rows tr').nth(5);
  await setpoint.getByLabel(/^Values to write/).fill('42 -7');
  await setpoint.getByRole('button', { name: /^Write/ }).click();
  await page.locator('#reg-msg.msg-ok', { hasText: 'Values successfully sent.' }).waitFor();
  await setpoint.locator('td.values', { hasText: '42, -7' }).waitFor();
  assert.equal(await control('get 200 2'), 'OK 42 65529');

  const pi = page.locator('#reg-rows tr').nth(2);
  await pi.getByLabel(/^Values to write/).fill('-2.5');
  await pi.getByRole('button', { name: /^Write/ }).click();
  await pi.locator('td.values', { hasText: '-2.5' }).waitFor();
  assert.equal(await control('get 110 2'), `OK ${0xC020} 0`);
});

test('registers: polling follows the device and the trend grows', async () => {
  await page.getByLabel('Poll every (ms)').fill('300');
  await page.getByRole('button', { name: 'Start polling' }).click();
  await control('set 120 0 7');
  await page.locator('#reg-rows tr').nth(4).locator('td.values', { hasText: /^7$/ }).waitFor();
  await page.waitForFunction(() => Number(document.querySelector('#chart').dataset.samples) >= 5, null, { timeout: 20000 });
  assert.equal(await page.locator('#chart canvas').count(), 1);
  await page.getByRole('button', { name: 'Stop polling' }).click();
  await control('set 120 1 0');
});

test('registers: CSV, PDF report and map downloads, and the saved map loads back', async () => {
  const save = async (button) => {
    const [download] = await Promise.all([page.waitForEvent('download'), page.getByRole('button', { name: button }).click()]);
    return { name: download.suggestedFilename(), bytes: await downloadBytes(download) };
  };
  const csv = await save('Export CSV');
  assert.match(csv.name, /^registers-\d{8}-\d{6}\.csv$/);
  const lines = csv.bytes.toString('utf8').trim().split('\r\n');
  assert.equal(lines[0], 'Name,Address,Count,Type,Register bits,Value bits,Decimals,Trend,Value 1,Value 2');
  assert.equal(lines[1], 'signed,100,2,int,16,16,2,0,1234,-1');
  assert.equal(lines.length, 7);

  const pdf = await save('PDF report');
  assert.match(pdf.name, /\.pdf$/);
  assert.equal(pdf.bytes.subarray(0, 5).toString('latin1'), '%PDF-');
  const pdfFile = path.join(work, 'report.pdf');
  fs.writeFileSync(pdfFile, pdf.bytes);
  const text = execFileSync('pdftotext', [pdfFile, '-'], { encoding: 'utf8' });
  assert.match(text, /Register report/);
  assert.match(text, /1234, 65535/);

  const saved = await save('Save map');
  const mapFile = path.join(work, saved.name);
  fs.writeFileSync(mapFile, saved.bytes);
  await page.locator('#reg-rows tr').first().getByRole('button', { name: /^Remove/ }).click();
  assert.equal(await page.locator('#reg-rows tr').count(), 5);
  await page.locator('#load-map-file').setInputFiles(mapFile);
  await page.locator('#reg-msg.msg-ok', { hasText: 'Loaded 6 runs' }).waitFor();
  assert.equal(await page.locator('#reg-rows tr').first().getByLabel(/^Name of/).inputValue(), 'signed');
});

test('registers: a device that stops answering gives a message, not a hang', async () => {
  assert.match(await control('silence'), /^OK/);
  try {
    await page.locator('#reg-rows tr').first().getByRole('button', { name: /^Read/ }).click();
    await page.locator('#reg-rows tr').first().locator('td.values .err',
      { hasText: 'I/O error: did not receive any data from slave.' }).waitFor({ timeout: 20000 });
  } finally {
    await control('clear');
  }
  await page.locator('#reg-rows tr').first().getByRole('button', { name: /^Read/ }).click();
  await page.locator('#reg-rows tr').first().locator('td.values', { hasText: '1234, -1' }).waitFor();
});

test('about: boot loader and file manager started after confirmation', async () => {
  await page.goto(`${orvo.url}about.html`);
  await page.locator('#about-copy').filter({ hasText: /\S/ }).waitFor();
  await page.getByRole('button', { name: 'Update firmware…' }).click();
  await page.getByRole('dialog').getByRole('button', { name: 'Start boot loader' }).click();
  await page.locator('#tools-msg.msg-ok').waitFor();
  await page.getByLabel(/^Address/).fill('ftp://127.0.0.1/pub');
  await page.getByRole('button', { name: 'Open in file manager…' }).click();
  await page.getByRole('dialog').getByRole('button', { name: 'Open' }).click();
  await page.locator('#tools-msg.msg-ok', { hasText: 'ftp://127.0.0.1/pub' }).waitFor();
  const waitFor = async (check) => {
    for (let i = 0; i < 50 && !check(); i++) await new Promise((r) => setTimeout(r, 100));
    return check();
  };
  assert.ok(await waitFor(() => orvo.calls('Bootloader').length === 1), 'the boot loader was started once');
  assert.ok(await waitFor(() => orvo.calls('xdg-open').includes('ftp://127.0.0.1/pub')), `xdg-open calls: ${orvo.calls('xdg-open')}`);
});

test('updates: a module offered by the update server is installed and then listed', async () => {
  await page.goto(`${orvo.url}updates.html`);
  await page.locator('#installed a').first().waitFor();
  await page.getByRole('button', { name: 'Check for updates' }).click();
  await page.getByLabel(/Meter/).waitFor();
  const question = JSON.parse(updateQuestions.at(-1));
  assert.equal(question.ver, '0.2.04');
  assert.ok(question.modules.includes('registers'));

  await page.getByRole('button', { name: 'Install selected' }).click();
  await page.locator('#run-msg.msg-ok', { hasText: 'completed correctly' }).waitFor({ timeout: 30000 });
  assert.equal(fs.readFileSync(path.join(orvo.dir, 'www/modules/meter/index.html'), 'utf8').includes('<h1>Meter</h1>'), true);

  await page.goto(orvo.url);
  await page.locator('#modules a', { hasText: 'Meter' }).click();
  await page.locator('h1', { hasText: 'Meter' }).waitFor();
});
