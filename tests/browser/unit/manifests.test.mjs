// The extension's manifest as Chromium and Firefox read it, the host
// manifests and the Linux installer.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { createHash } from 'node:crypto';
import { existsSync, mkdtempSync, readFileSync, rmSync, writeFileSync, chmodSync, statSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { fileURLToPath } from 'node:url';

const root = fileURLToPath(new URL('../../../', import.meta.url));
const extDir = join(root, 'browser', 'extension');
const nativeDir = join(root, 'browser', 'native');
const manifest = JSON.parse(readFileSync(join(extDir, 'manifest.json'), 'utf8'));
const HOST_NAME = 'com.tessera.host';

// The keys a Manifest V3 extension may have in Firefox (anything else is
// reported by Firefox as an unexpected property) plus "key", which Chromium
// uses and Firefox ignores with a warning.
const FIREFOX_MV3_KEYS = new Set(['manifest_version', 'name', 'short_name', 'version', 'version_name', 'description',
  'author', 'homepage_url', 'icons', 'action', 'background', 'browser_specific_settings', 'commands',
  'content_scripts', 'content_security_policy', 'default_locale', 'developer', 'host_permissions',
  'incognito', 'options_ui', 'optional_permissions', 'optional_host_permissions', 'permissions',
  'storage', 'web_accessible_resources', 'key', 'minimum_chrome_version']);

function extensionIdFromKey(keyBase64) {
  const hex = createHash('sha256').update(Buffer.from(keyBase64, 'base64')).digest('hex').slice(0, 32);
  return [...hex].map((c) => String.fromCharCode(97 + parseInt(c, 16))).join('');
}

function isMatchPattern(p) {
  return /^(https?|\*):\/\/(\*|\*\.[^/*]+|[^/*]+)\/.*$/.test(p) || p === '<all_urls>';
}

test('the extension manifest is Manifest V3 for both browser families', () => {
  assert.equal(manifest.manifest_version, 3);
  for (const k of Object.keys(manifest)) assert.ok(FIREFOX_MV3_KEYS.has(k), `unexpected key ${k}`);
  assert.match(manifest.version, /^\d{1,5}(\.\d{1,5}){0,3}$/);
  assert.ok(manifest.name.length <= 75);
  assert.ok(manifest.description.length <= 132, 'Chrome Web Store limit');
  // Chromium runs the service worker, Firefox the background scripts, in order.
  assert.equal(manifest.background.service_worker, 'background.js');
  assert.deepEqual(manifest.background.scripts, ['origins.js', 'background.js']);
  const gecko = manifest.browser_specific_settings.gecko;
  assert.match(gecko.id, /^[a-z0-9._-]+@[a-z0-9.-]+$/i);
  assert.ok(Number.parseFloat(gecko.strict_min_version) >= 121, 'Firefox takes background.scripts beside service_worker from 121 on');
  assert.deepEqual([...manifest.permissions].sort(), ['nativeMessaging', 'storage']);
});

test('every file the manifest names exists, and the content script runs only in top documents', () => {
  const files = [manifest.background.service_worker, ...manifest.background.scripts, manifest.storage.managed_schema,
    ...manifest.content_scripts.flatMap((c) => c.js)];
  for (const f of files) assert.ok(existsSync(join(extDir, f)), f);
  for (const c of manifest.content_scripts) {
    assert.equal(c.all_frames, false);
    for (const m of c.matches) assert.ok(isMatchPattern(m), m);
    assert.ok(!c.matches.some((m) => m.startsWith('http://') && !/^http:\/\/(localhost|127\.0\.0\.1)\//.test(m)),
      'plain http only for the loopback development origins');
  }
  const schema = JSON.parse(readFileSync(join(extDir, manifest.storage.managed_schema), 'utf8'));
  assert.equal(schema.type, 'object');
  assert.equal(schema.properties.allowedOrigins.type, 'array');
  assert.equal(schema.properties.allowedOrigins.items.type, 'string');
});

test('the fixed key gives the extension id the host manifests and the installer name', () => {
  const id = extensionIdFromKey(manifest.key);
  assert.match(id, /^[a-p]{32}$/);
  const chrome = JSON.parse(readFileSync(join(nativeDir, `${HOST_NAME}.chrome.json.in`), 'utf8'));
  const firefox = JSON.parse(readFileSync(join(nativeDir, `${HOST_NAME}.firefox.json.in`), 'utf8'));
  assert.deepEqual(chrome.allowed_origins, [`chrome-extension://${id}/`]);
  assert.deepEqual(firefox.allowed_extensions, [manifest.browser_specific_settings.gecko.id]);
  for (const m of [chrome, firefox]) {
    assert.equal(m.name, HOST_NAME);
    assert.match(m.name, /^[a-z0-9_]+(\.[a-z0-9_]+)*$/);
    assert.equal(m.type, 'stdio');
  }
  assert.ok(!('allowed_extensions' in chrome) && !('allowed_origins' in firefox));
  const background = readFileSync(join(extDir, 'background.js'), 'utf8');
  assert.ok(background.includes(`'${HOST_NAME}'`));
  assert.ok(readFileSync(join(nativeDir, 'install-linux.sh'), 'utf8').includes(`EXTENSION_ID=${id}`));
  assert.ok(readFileSync(join(nativeDir, 'install-windows.cmd'), 'utf8').includes(id));
});

function installer(args, env) {
  return execFileSync('bash', [join(nativeDir, 'install-linux.sh'), ...args], { env: { PATH: process.env.PATH, ...env }, encoding: 'utf8' });
}

test('the Linux installer writes valid manifests with the host\'s absolute path, per browser, and removes them again', () => {
  const dir = mkdtempSync(join(tmpdir(), 'tessera-install-'));
  try {
    const hostDir = join(dir, 'odd "dir"');
    execFileSync('mkdir', ['-p', hostDir]);
    const host = join(hostDir, 'tessera-host');
    writeFileSync(host, '#!/bin/sh\n');
    chmodSync(host, 0o755);
    const home = join(dir, 'home');
    const env = { HOME: home, XDG_CONFIG_HOME: '' };
    installer(['--host', host, '--profile-dir', join(dir, 'profile'), '--allowed-origins', 'https://bank.example'], env);
    const expect = {
      [join(home, '.config/google-chrome/NativeMessagingHosts')]: 'chrome',
      [join(home, '.config/chromium/NativeMessagingHosts')]: 'chrome',
      [join(home, '.config/microsoft-edge/NativeMessagingHosts')]: 'chrome',
      [join(home, '.mozilla/native-messaging-hosts')]: 'firefox',
      [join(dir, 'profile/NativeMessagingHosts')]: 'chrome',
    };
    for (const [d, kind] of Object.entries(expect)) {
      const file = join(d, `${HOST_NAME}.json`);
      const m = JSON.parse(readFileSync(file, 'utf8'));
      assert.equal(m.path, host, file);
      assert.ok(kind === 'firefox' ? m.allowed_extensions : m.allowed_origins, file);
      assert.equal(statSync(file).mode & 0o777, 0o644);
    }
    const storage = JSON.parse(readFileSync(join(home, '.mozilla/managed-storage/tessera@tessera.example.json'), 'utf8'));
    assert.deepEqual(storage, { name: 'tessera@tessera.example', description: 'Tessera allowlist', type: 'storage',
      data: { allowedOrigins: ['https://bank.example'] } });

    installer(['--uninstall', '--profile-dir', join(dir, 'profile')], env);
    for (const d of Object.keys(expect)) assert.equal(existsSync(join(d, `${HOST_NAME}.json`)), false, d);
    // The folders it made go too; the ones it was given stay.
    for (const d of ['.config/google-chrome', '.config/chromium', '.config/microsoft-edge', '.mozilla']) {
      assert.equal(existsSync(join(home, d)), false, d);
    }
    assert.equal(existsSync(join(dir, 'profile')), true);
  } finally {
    rmSync(dir, { recursive: true, force: true });
  }
});

test('the Linux installer names the system-wide locations and refuses a host that is not there', () => {
  const out = installer(['--system', '--dry-run', '--host', '/bin/true', '--allowed-origins', 'https://a.example,https://b.example'], {});
  for (const d of ['/etc/opt/chrome/native-messaging-hosts', '/etc/chromium/native-messaging-hosts',
    '/etc/opt/edge/native-messaging-hosts', '/usr/lib/mozilla/native-messaging-hosts',
    '/etc/opt/chrome/policies/managed/tessera.json', '/etc/chromium/policies/managed/tessera.json',
    '/usr/lib/mozilla/managed-storage/tessera@tessera.example.json']) {
    assert.ok(out.includes(d), d);
  }
  assert.ok(out.includes('"allowedOrigins": ["https://a.example", "https://b.example"]'));
  assert.ok(out.includes('would run: /usr/bin/true -i') || out.includes('would run: /bin/true -i'));
  assert.throws(() => installer(['--host', '/nonexistent/tessera-host', '--dry-run'], {}), /Command failed/);
});

test('a machine-wide registration of a host outside /usr and /opt names a copy every user can run', () => {
  const dir = mkdtempSync(join(tmpdir(), 'tessera-install-'));
  try {
    const host = join(dir, 'tessera-host');
    writeFileSync(host, '#!/bin/sh\n');
    chmodSync(host, 0o755);
    const out = installer(['--system', '--dry-run', '--browsers', 'chromium', '--host', host], {});
    assert.ok(out.includes(`would copy ${host} to /usr/local/lib/tessera/tessera-host`), out);
    assert.ok(out.includes('"path": "/usr/local/lib/tessera/tessera-host"'), out);
    assert.ok(!out.includes(`"path": "${host}"`), out);
  } finally {
    rmSync(dir, { recursive: true, force: true });
  }
});
