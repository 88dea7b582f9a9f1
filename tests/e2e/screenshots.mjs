// Takes the screenshots in docs/ at 1280×800 from a private Orvo connected to
// the Modbus slave, with a few polled values in the trend:
//   node tests/e2e/screenshots.mjs
import fs from 'node:fs';
import net from 'node:net';
import path from 'node:path';
import { startOrvo, startFixture, launchBrowser, SOURCE_DIR } from './support.mjs';

const slave = await startFixture('modbus_slave.py', ['--tcp', '0',
  '--reg', '0=2301,2297,2305', '--reg', '10=16968,39322', '--reg', '20=5000'], /^READY tcp/);
const [, slavePort, controlPort] = /:(\d+) control 127\.0\.0\.1:(\d+)/.exec(slave.line).map(Number);
const orvo = await startOrvo();
const browser = await launchBrowser();
const control = (line) => new Promise((resolve) => {
  const s = net.connect(controlPort, '127.0.0.1', () => s.write(`${line}\n`));
  s.on('data', () => { s.end(); resolve(); });
});
try {
  const page = await browser.context.newPage();
  await page.setViewportSize({ width: 1280, height: 800 });
  await page.goto(orvo.url);
  await page.getByLabel('TCP', { exact: true }).check();
  await page.getByLabel('IP address').fill('127.0.0.1');
  await page.getByLabel('TCP port').fill(String(slavePort));
  await page.getByLabel('Slave address').fill('1');
  await page.getByRole('button', { name: 'Connect', exact: true }).click();
  await page.locator('#conn-msg.msg-ok').waitFor();
  await page.getByRole('button', { name: 'Identify device' }).click();
  await page.locator('#ident').waitFor();
  await page.locator('#modules a').first().waitFor();
  await page.screenshot({ path: path.join(SOURCE_DIR, 'docs/screenshot-start.png') });

  await page.goto(`${orvo.url}modules/registers/index.html`);
  const map = { rows: [
    { name: 'Voltage (0.1 V)', addr: 0, count: 3, type: 'int', trend: true },
    { name: 'Frequency', addr: 10, count: 1, type: 'float4321', prec: 2 },
    { name: 'Set point', addr: 20, count: 1, type: 'uint' },
  ] };
  const file = path.join(orvo.dir, 'map.json');
  fs.writeFileSync(file, JSON.stringify(map));
  await page.locator('#load-map-file').setInputFiles(file);
  await page.getByLabel('Poll every (ms)').fill('250');
  await page.getByRole('button', { name: 'Start polling' }).click();
  for (let i = 0; i < 40; i++) {
    const v = (k) => Math.round(2300 + 6 * Math.sin(i / 4 + k) + (i % 3));
    await control(`set 0 ${v(0)} ${v(2)} ${v(4)}`);
    await page.waitForTimeout(260);
  }
  await page.getByRole('button', { name: 'Stop polling' }).click();
  // Table and trend together in the window, below the sticky header.
  await page.evaluate(() => window.scrollTo(0, 130));
  await page.screenshot({ path: path.join(SOURCE_DIR, 'docs/screenshot-registers.png') });
} finally {
  await browser.close();
  await orvo.stop();
  await slave.stop();
}
