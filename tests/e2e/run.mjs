// Runs the browser tests with node's test runner and its readable summary.
// Exits 77 (reported as skipped) when the browser or the npm packages are missing.
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
const chromium = process.env.ORVO_CHROMIUM ?? '/usr/bin/chromium';
const files = process.argv.slice(2).map((f) => path.resolve(here, f));

let missing = null;
if (!fs.existsSync(chromium)) missing = `no browser at ${chromium}`;
else {
  try { await import('playwright-core'); } catch { missing = 'npm package playwright-core is not installed (run npm ci)'; }
}
if (missing) {
  console.log(`Skipped: ${missing}.`);
  process.exit(77);
}

const result = spawnSync(process.execPath, ['--test', '--test-reporter=spec', ...files], { stdio: 'inherit' });
process.exit(result.status ?? 1);
