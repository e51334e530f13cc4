#!/usr/bin/env node
// The demo: serves the enrollment page and runs the demo CA, on loopback only.
//
//   node browser/demo/server.mjs [--port 8443] [--state DIR]
//
// GET  /              the enrollment page
// GET  /tessera.js    the page library (ES module, built at start)
// GET  /tessera.script.js  its script-tag build
// GET  /api/ca        { certificate }  the CA certificate (Base64 DER)
// POST /api/issue     { request, certType } -> { signCert, encryptCert?, envelope?, ... }
//
// Prints "Tessera demo: http://127.0.0.1:PORT/" once it listens.

import { createServer } from 'node:http';
import { readFile, mkdtemp } from 'node:fs/promises';
import { tmpdir } from 'node:os';
import { join, dirname, normalize } from 'node:path';
import { fileURLToPath } from 'node:url';
import { DemoCA, RequestError } from './ca.mjs';
import { buildLibrary } from '../lib/build.mjs';

const here = dirname(fileURLToPath(import.meta.url));
const MAX_BODY = 1024 * 1024;

const STATIC = {
  '/': [join(here, 'public', 'index.html'), 'text/html; charset=utf-8'],
  '/index.html': [join(here, 'public', 'index.html'), 'text/html; charset=utf-8'],
  '/app.js': [join(here, 'public', 'app.js'), 'text/javascript; charset=utf-8'],
  '/style.css': [join(here, 'public', 'style.css'), 'text/css; charset=utf-8'],
};
const JS = 'text/javascript; charset=utf-8';

function parseArgs(argv) {
  const out = { port: 8443, host: '127.0.0.1', state: null };
  for (let i = 0; i < argv.length; i++) {
    const a = argv[i];
    if (a === '--port') out.port = Number(argv[++i]);
    else if (a === '--state') out.state = argv[++i];
    else if (a === '--host') out.host = argv[++i];
    else throw new Error(`unknown argument ${a}`);
  }
  if (!['127.0.0.1', 'localhost', '::1'].includes(out.host)) throw new Error('the demo listens on loopback only');
  return out;
}

function send(res, status, type, body) {
  res.writeHead(status, {
    'Content-Type': type,
    'Cache-Control': 'no-store',
    'X-Content-Type-Options': 'nosniff',
    'Content-Security-Policy': "default-src 'self'; frame-ancestors 'none'",
  });
  res.end(body);
}

function sendJson(res, status, value) {
  send(res, status, 'application/json; charset=utf-8', JSON.stringify(value));
}

function readBody(req) {
  return new Promise((resolve, reject) => {
    const chunks = [];
    let size = 0;
    req.on('data', (c) => {
      size += c.length;
      if (size > MAX_BODY) {
        reject(new RequestError('request body too large'));
        req.destroy();
        return;
      }
      chunks.push(c);
    });
    req.on('end', () => resolve(Buffer.concat(chunks).toString('utf8')));
    req.on('error', reject);
  });
}

export async function startDemo({ port = 0, host = '127.0.0.1', state = null, log = () => {} } = {}) {
  const dir = state || await mkdtemp(join(tmpdir(), 'tessera-demo-ca-'));
  const ca = await new DemoCA(dir).init();
  const library = buildLibrary();
  // Issuing runs OpenSSL several times; one at a time keeps a small machine responsive.
  let queue = Promise.resolve();
  const server = createServer(async (req, res) => {
    try {
      const url = new URL(req.url, 'http://localhost');
      const path = normalize(url.pathname);
      if (req.method === 'GET' && path === '/favicon.ico') {
        res.writeHead(204).end();
      } else if (req.method === 'GET' && path === '/tessera.js') {
        send(res, 200, JS, library.esm);
      } else if (req.method === 'GET' && path === '/tessera.script.js') {
        send(res, 200, JS, library.script);
      } else if (req.method === 'GET' && STATIC[path]) {
        const [file, type] = STATIC[path];
        send(res, 200, type, await readFile(file));
      } else if (req.method === 'GET' && path === '/api/ca') {
        sendJson(res, 200, { certificate: ca.certificateBase64 });
      } else if (req.method === 'GET' && path === '/api/issued') {
        sendJson(res, 200, { issued: ca.issued });
      } else if (req.method === 'POST' && path === '/api/issue') {
        if (!/^application\/json\b/.test(req.headers['content-type'] || '')) throw new RequestError('send JSON');
        const body = JSON.parse(await readBody(req));
        const certType = Number(body.certType);
        const job = queue.then(() => ca.issue(body.request, certType));
        queue = job.catch(() => {});
        const issued = await job;
        log(`issued ${certType === 2 ? 'double' : 'single'} ${issued.keyAlgorithm} certificate`);
        sendJson(res, 200, issued);
      } else {
        sendJson(res, 404, { error: 'not found' });
      }
    } catch (e) {
      const client = e instanceof RequestError || e instanceof SyntaxError;
      if (!client) log(`error: ${e.message}`);
      sendJson(res, client ? 400 : 500, { error: e.message });
    }
  });
  await new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(port, host, resolve);
  });
  const address = server.address();
  const shownHost = address.family === 'IPv6' ? `[${address.address}]` : address.address;
  return { server, ca, url: `http://${shownHost}:${address.port}/`, close: () => new Promise((r) => server.close(r)) };
}

if (process.argv[1] && fileURLToPath(import.meta.url) === process.argv[1]) {
  const args = parseArgs(process.argv.slice(2));
  const demo = await startDemo({ ...args, log: (m) => console.log(m) });
  console.log(`Tessera demo: ${demo.url}`);
  const stop = () => demo.close().then(() => process.exit(0));
  process.on('SIGINT', stop);
  process.on('SIGTERM', stop);
}
