// Firefox's own checks of the extension (web-ext lint, Mozilla's add-ons
// linter): no error, and no warning but those the sources carry on purpose:
// Chromium runs background.service_worker, Firefox ignores it and runs
// background.scripts; and Firefox for Android, which has no native
// messaging and so no use for the extension, is not a target.
import { execFileSync } from 'node:child_process';
import { existsSync } from 'node:fs';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';

const here = dirname(fileURLToPath(import.meta.url));
const webExt = join(here, 'node_modules', '.bin', 'web-ext');
if (!existsSync(webExt)) {
  console.log('SKIPPED: web-ext is not installed (npm ci in tests/browser)');
  process.exit(77);
}
const EXPECTED = new Set(['BACKGROUND_SERVICE_WORKER_IGNORED', 'KEY_FIREFOX_ANDROID_UNSUPPORTED_BY_MIN_VERSION']);
let out;
try {
  out = execFileSync(webExt, ['lint', '--source-dir', resolve(here, '..', '..', 'browser', 'extension'),
    '--self-hosted', '--output', 'json', '--no-config-discovery'], { encoding: 'utf8', stdio: ['ignore', 'pipe', 'pipe'] });
} catch (e) {
  out = e.stdout; // web-ext exits non-zero when it finds errors; the report says which
}
const report = JSON.parse(out);
const problems = [...report.errors, ...report.warnings.filter((w) => !EXPECTED.has(w.code))];
for (const p of [...report.errors, ...report.warnings, ...report.notices]) {
  console.log(`${p._type} ${p.code}: ${p.message}${p.file ? ` (${p.file})` : ''}`);
}
console.log(`firefox lint: ${problems.length ? 0 : 1} passed, ${problems.length ? 1 : 0} failed`);
process.exit(problems.length ? 1 : 0);
