// Shared pieces of the browser tests: the browser, a private Orvo, the Modbus
// fixture, and scripted replies for page-only tests. Everything listens on
// 127.0.0.1; every process started here is stopped by its own PID.
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

const here = path.dirname(fileURLToPath(import.meta.url));
export const SOURCE_DIR = process.env.ORVO_SOURCE_DIR ?? path.resolve(here, '../..');
export const BUILD_DIR = process.env.ORVO_BUILD_DIR ?? path.join(SOURCE_DIR, 'build');
export const ORVO_BINARY = process.env.ORVO_BINARY ?? path.join(BUILD_DIR, 'orvo');
export const WWW_DIR = process.env.ORVO_WWW ?? path.join(BUILD_DIR, 'www');
export const CHROMIUM = process.env.ORVO_CHROMIUM ?? '/usr/bin/chromium';
export const SYSTEM_PYTHON = '/usr/bin/python3';

export function tempDir(prefix) {
  return fs.mkdtempSync(path.join(os.tmpdir(), prefix));
}

export function freePort() {
  return new Promise((resolve, reject) => {
    const srv = net.createServer();
    srv.once('error', reject);
    srv.listen(0, '127.0.0.1', () => {
      const { port } = srv.address();
      srv.close(() => resolve(port));
    });
  });
}

/** Resolves with the first line of the child's standard output that matches, or rejects on timeout/exit. */
function waitForLine(child, pattern, timeoutMs, what) {
  return new Promise((resolve, reject) => {
    let seen = '';
    let errText = '';
    const timer = setTimeout(() => done(new Error(`${what} did not become ready in ${timeoutMs} ms; output: ${seen} ${errText}`)), timeoutMs);
    const onOut = (chunk) => {
      seen += chunk;
      const line = seen.split('\n').find((l) => pattern.test(l));
      if (line) done(null, line);
    };
    const onErr = (chunk) => { errText += chunk; };
    const onExit = (code) => done(new Error(`${what} ended with ${code} before it was ready; output: ${seen} ${errText}`));
    function done(err, line) {
      clearTimeout(timer);
      child.stdout.off('data', onOut);
      child.stderr.off('data', onErr);
      child.off('exit', onExit);
      if (err) reject(err); else resolve(line);
    }
    child.stdout.setEncoding('utf8');
    child.stderr.setEncoding('utf8');
    child.stdout.on('data', onOut);
    child.stderr.on('data', onErr);
    child.once('exit', onExit);
  });
}

/** Stops a child we started, by its PID: SIGTERM, then SIGKILL if it lingers. */
export async function stopChild(child) {
  if (!child || child.exitCode !== null || child.signalCode !== null) return;
  const exited = new Promise((resolve) => child.once('exit', resolve));
  try { process.kill(child.pid, 'SIGTERM'); } catch { return; }
  const timer = setTimeout(() => { try { process.kill(child.pid, 'SIGKILL'); } catch { /* gone */ } }, 5000);
  await exited;
  clearTimeout(timer);
}

function copyTree(from, to) {
  fs.cpSync(from, to, { recursive: true, dereference: true });
}

/**
 * Starts a private Orvo: the real binary and document root copied into a
 * temporary folder with its own config.ini, home, runtime folder and fake
 * programs (xdg-open, pkexec, Bootloader) that record their calls.
 */
export async function startOrvo(options = {}) {
  const dir = tempDir('orvo-e2e-');
  try {
    return await startOrvoIn(dir, options);
  } catch (e) {
    fs.rmSync(dir, { recursive: true, force: true });
    throw e;
  }
}

async function startOrvoIn(dir, { config = {} }) {
  const port = await freePort();
  fs.copyFileSync(ORVO_BINARY, path.join(dir, 'orvo'));
  fs.chmodSync(path.join(dir, 'orvo'), 0o755);
  copyTree(WWW_DIR, path.join(dir, 'www'));
  for (const sub of ['home/.config', 'runtime', 'fakebin', 'calls']) fs.mkdirSync(path.join(dir, sub), { recursive: true });
  fs.chmodSync(path.join(dir, 'runtime'), 0o700);
  for (const name of ['xdg-open', 'pkexec', 'Bootloader']) {
    const file = path.join(dir, 'fakebin', name);
    fs.writeFileSync(file, `#!/bin/sh\nIFS="$(printf '\\t')"\nprintf '%s\\n' "$*" >> "${dir}/calls/${name}.log"\n`);
    fs.chmodSync(file, 0o755);
  }
  const groups = {
    listener: { port, host: '127.0.0.1', ...(config.listener ?? {}) },
    docroot: { path: 'www', maxAge: 0, encoding: 'UTF-8', ...(config.docroot ?? {}) },
    updates: { updateServer: 'http://127.0.0.1:9/', ...(config.updates ?? {}) },
    ...Object.fromEntries(Object.entries(config).filter(([g]) => !['listener', 'docroot', 'updates'].includes(g))),
  };
  const ini = Object.entries(groups).map(([g, keys]) =>
    `[${g}]\n${Object.entries(keys).map(([k, v]) => `${k}=${v}`).join('\n')}\n`).join('\n');
  fs.writeFileSync(path.join(dir, 'config.ini'), ini);

  const env = { ...process.env };
  delete env.DISPLAY;
  delete env.WAYLAND_DISPLAY;
  Object.assign(env, {
    QT_QPA_PLATFORM: 'offscreen',
    HOME: path.join(dir, 'home'),
    XDG_CONFIG_HOME: path.join(dir, 'home/.config'),
    XDG_RUNTIME_DIR: path.join(dir, 'runtime'),
    PATH: `${path.join(dir, 'fakebin')}:${env.PATH}`,
    LC_ALL: 'C.UTF-8',
  });
  const child = spawn(path.join(dir, 'orvo'), [], { cwd: dir, env, stdio: ['ignore', 'pipe', 'pipe'] });
  let stderr = '';
  try {
    await waitForLine(child, /listening on http:\/\/127\.0\.0\.1:\d+/, 20000, 'Orvo');
  } catch (e) {
    await stopChild(child);
    throw e;
  }
  child.stderr.on('data', (c) => { stderr += c; });
  child.stdout.resume();
  return {
    dir,
    port,
    url: `http://127.0.0.1:${port}/`,
    calls: (name) => {
      try { return fs.readFileSync(path.join(dir, 'calls', `${name}.log`), 'utf8').split('\n').filter(Boolean); } catch { return []; }
    },
    stderr: () => stderr,
    async stop() {
      await stopChild(child);
      fs.rmSync(dir, { recursive: true, force: true });
    },
  };
}

/** Starts a Python fixture from tests/fixtures with Debian's python and waits for its ready line. */
export async function startFixture(script, args, readyPattern = /ready/i) {
  const child = spawn(SYSTEM_PYTHON, ['-u', path.join(SOURCE_DIR, 'tests/fixtures', script), ...args],
    { stdio: ['ignore', 'pipe', 'pipe'] });
  const line = await waitForLine(child, readyPattern, 20000, script);
  child.stdout.resume();
  child.stderr.resume();
  return { child, line, stop: () => stopChild(child) };
}

/** A headless Chromium with a fresh profile; downloads are kept. */
export async function launchBrowser() {
  const profile = tempDir('orvo-chromium-');
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: CHROMIUM,
    headless: true,
    acceptDownloads: true,
    viewport: { width: 1280, height: 800 },
    args: ['--no-sandbox', '--disable-gpu', '--disable-background-networking', '--disable-component-update',
      '--disable-sync', '--no-first-run'],
  });
  return {
    context,
    async close() {
      await context.close();
      fs.rmSync(profile, { recursive: true, force: true });
    },
  };
}

/** Reads a finished download into a Buffer. */
export async function downloadBytes(download) {
  const file = await download.path();
  return fs.readFileSync(file);
}

const TYPES = { '.html': 'text/html', '.js': 'text/javascript', '.css': 'text/css', '.json': 'application/json', '.png': 'image/png' };

/**
 * Serves the document root from disk for every request to ORIGIN and answers
 * ajax.html through `answer(func, params, request)`, which returns a body text
 * or {status, body}. Nothing reaches the network.
 */
export const MOCK_ORIGIN = 'http://127.0.0.1:9';
export async function routeMock(context, answer) {
  await context.route(`${MOCK_ORIGIN}/**`, async (route) => {
    const request = route.request();
    const url = new URL(request.url());
    if (url.pathname.includes('ajax.html')) {
      const params = Object.fromEntries(url.searchParams);
      const type = request.headers()['content-type'] ?? '';
      if (type.startsWith('multipart/form-data')) {
        // Fields of a multipart body join the query's parameters, as on the server.
        const form = await new Response(request.postDataBuffer(), { headers: { 'content-type': type } }).formData();
        for (const [name, value] of form) if (!(name in params)) params[name] = String(value);
      }
      const result = await answer(params.func, params, request);
      const reply = typeof result === 'string' ? { status: 200, body: result } : result;
      await route.fulfill({ status: reply.status ?? 200, contentType: 'text/html', body: reply.body ?? '' });
      return;
    }
    const rel = decodeURIComponent(url.pathname).replace(/\/$/, '/index.html');
    const file = path.join(WWW_DIR, path.normalize(rel));
    if (!file.startsWith(WWW_DIR) || !fs.existsSync(file) || fs.statSync(file).isDirectory()) {
      await route.fulfill({ status: 404, body: 'not found' });
      return;
    }
    await route.fulfill({ status: 200, contentType: TYPES[path.extname(file)] ?? 'application/octet-stream', body: fs.readFileSync(file) });
  });
}
