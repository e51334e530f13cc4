// Origin allowlist of the Tessera extension.
//
// A page may reach the host only when its origin is on the allowlist. Entries
// are exact origins: "https://host[:port]". For development, "http://localhost"
// and "http://127.0.0.1" are accepted too; written without a port they allow
// every port of that loopback name, with a port only that port. Anything else
// (other http hosts, paths, wildcards, user names) is not a valid entry and is
// ignored, so a mistyped policy can never widen the list.
//
// Loaded as a classic script (background service worker, Firefox background
// page) and as a CommonJS module by the unit tests.
(function (root) {
  'use strict';

  const DEFAULT_ALLOWED_ORIGINS = Object.freeze(['http://localhost', 'http://127.0.0.1']);
  const DEV_HOSTS = new Set(['localhost', '127.0.0.1']);

  // Parses one allowlist entry. Returns { scheme, host, port } where port is
  // null for "any port" (development entries only), or null when invalid.
  function parseEntry(entry) {
    if (typeof entry !== 'string') return null;
    const text = entry.trim().replace(/\/$/, '');
    const m = /^(https?):\/\/([a-z0-9.-]+|\[[0-9a-f:]+\])(?::(\d{1,5}))?$/i.exec(text);
    if (!m) return null;
    const scheme = m[1].toLowerCase();
    const host = m[2].toLowerCase();
    let port = m[3] === undefined ? null : Number(m[3]);
    if (port !== null && (port < 1 || port > 65535)) return null;
    if (host.startsWith('.') || host.endsWith('.') || host.includes('..')) return null;
    if (scheme === 'http') {
      if (!DEV_HOSTS.has(host)) return null;
      return { scheme, host, port };
    }
    // https: an exact origin; the default port is the same origin as no port.
    return { scheme, host, port: port === null ? 443 : port };
  }

  // Parses a page origin as the browser reports it ("scheme://host[:port]").
  function parseOrigin(origin) {
    if (typeof origin !== 'string' || origin === 'null') return null;
    let url;
    try {
      url = new URL(origin);
    } catch (e) {
      return null;
    }
    const scheme = url.protocol.replace(/:$/, '');
    if (scheme !== 'https' && scheme !== 'http') return null;
    if (url.username || url.password) return null;
    const port = url.port ? Number(url.port) : (scheme === 'https' ? 443 : 80);
    return { scheme, host: url.hostname.toLowerCase(), port };
  }

  // The list in force: the managed policy's list when it is an array, else
  // the built-in default. Invalid entries are dropped.
  function effectiveAllowlist(managedValue) {
    const source = Array.isArray(managedValue) ? managedValue : DEFAULT_ALLOWED_ORIGINS;
    const out = [];
    for (const entry of source) {
      const parsed = parseEntry(entry);
      if (parsed) out.push(parsed);
    }
    return out;
  }

  function isOriginAllowed(origin, allowlist) {
    const page = parseOrigin(origin);
    if (!page) return false;
    return allowlist.some((e) =>
      e.scheme === page.scheme && e.host === page.host && (e.port === null || e.port === page.port));
  }

  const api = { DEFAULT_ALLOWED_ORIGINS, parseEntry, parseOrigin, effectiveAllowlist, isOriginAllowed };
  if (typeof module === 'object' && module.exports) module.exports = api;
  else root.TesseraOrigins = api;
})(typeof globalThis !== 'undefined' ? globalThis : this);
