import { test } from 'node:test';
import assert from 'node:assert/strict';
import { createRequire } from 'node:module';

const require = createRequire(import.meta.url);
const O = require('../../../browser/extension/origins.js');

test('built-in default allows the loopback development origins on any port, and nothing else', () => {
  const list = O.effectiveAllowlist(undefined);
  for (const origin of ['http://localhost:8443', 'http://127.0.0.1:3000', 'http://localhost', 'http://127.0.0.1']) {
    assert.equal(O.isOriginAllowed(origin, list), true, origin);
  }
  for (const origin of ['https://localhost', 'http://127.0.0.2:80', 'https://bank.example', 'http://localhost.evil.example',
    'http://127.0.0.1.nip.io', 'file://', 'null', 'chrome-extension://abc']) {
    assert.equal(O.isOriginAllowed(origin, list), false, origin);
  }
});

test('https entries are exact origins; the default port is the same origin', () => {
  const list = O.effectiveAllowlist(['https://enroll.bank.example', 'https://pki.bank.example:8443/']);
  assert.equal(O.isOriginAllowed('https://enroll.bank.example', list), true);
  assert.equal(O.isOriginAllowed('https://enroll.bank.example:443', list), true);
  assert.equal(O.isOriginAllowed('https://ENROLL.bank.example', list), true);
  assert.equal(O.isOriginAllowed('https://pki.bank.example:8443', list), true);
  assert.equal(O.isOriginAllowed('https://enroll.bank.example:8443', list), false);
  assert.equal(O.isOriginAllowed('https://pki.bank.example', list), false);
  assert.equal(O.isOriginAllowed('http://enroll.bank.example', list), false);
  assert.equal(O.isOriginAllowed('https://x.enroll.bank.example', list), false);
  assert.equal(O.isOriginAllowed('https://user:pw@enroll.bank.example', list), false);
});

test('a managed list replaces the default, and its invalid entries are dropped', () => {
  const list = O.effectiveAllowlist([
    'https://bank.example', 'http://bank.example', 'https://*.bank.example', 'https://bank.example/path',
    'ftp://bank.example', 42, '', 'https://bank..example', 'http://localhost:99999', 'http://localhost:8080',
  ]);
  assert.deepEqual(list, [
    { scheme: 'https', host: 'bank.example', port: 443 },
    { scheme: 'http', host: 'localhost', port: 8080 },
  ]);
  assert.equal(O.isOriginAllowed('http://127.0.0.1:8080', list), false, 'default no longer applies');
  assert.equal(O.isOriginAllowed('http://localhost:8081', list), false, 'a port given is exact');
  assert.equal(O.isOriginAllowed('http://localhost:8080', list), true);
});

test('an empty managed list allows nothing; a managed value that is not a list keeps the default', () => {
  assert.deepEqual(O.effectiveAllowlist([]), []);
  assert.equal(O.isOriginAllowed('http://localhost', O.effectiveAllowlist([])), false);
  assert.equal(O.effectiveAllowlist('https://bank.example').length, 2);
  assert.equal(O.effectiveAllowlist(null).length, 2);
});

test('admission: insecure pages never, the policy list without asking, the user\'s answer otherwise', () => {
  const none = O.policyFromManaged(undefined);
  const listed = O.policyFromManaged({ allowedOrigins: ['https://bank.example'] });
  const strict = O.policyFromManaged({ allowedOrigins: ['https://bank.example'], askForConsent: false });
  const said = { 'https://shop.example': { allowed: true }, 'https://evil.example': { allowed: false } };
  const table = [
    ['http://bank.example', listed, said, { verdict: 'insecure' }],
    ['http://192.168.1.5:8080', none, {}, { verdict: 'insecure' }],
    ['file://', none, {}, { verdict: 'insecure' }],
    ['https://bank.example', listed, {}, { verdict: 'allow', by: 'policy' }],
    ['https://bank.example', strict, {}, { verdict: 'allow', by: 'policy' }],
    ['https://shop.example', strict, said, { verdict: 'deny', by: 'policy' }],
    ['https://shop.example', listed, said, { verdict: 'allow', by: 'user' }],
    ['https://shop.example:443', none, said, { verdict: 'allow', by: 'user' }],
    ['https://shop.example:8443', none, said, { verdict: 'ask' }],
    ['https://evil.example', none, said, { verdict: 'deny', by: 'user' }],
    ['http://localhost:8443', none, {}, { verdict: 'ask' }],
    ['https://new.example', none, { 'https://new.example': { allowed: 'yes' } }, { verdict: 'ask' }],
  ];
  for (const [origin, policy, consents, expected] of table) {
    assert.deepEqual(O.decideAdmission(origin, policy, consents), expected, origin);
  }
});
