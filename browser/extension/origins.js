// Origins of the Tessera extension: the managed policy's allowlist and the
// admission of a page (secure context, policy, the user's remembered answer).
//
// Allowlist entries
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

  // A secure context as far as Tessera is concerned: any https page, and
  // plain http on the loopback names for development.
  function isSecureOrigin(origin) {
    const page = parseOrigin(origin);
    return !!page && (page.scheme === 'https' || DEV_HOSTS.has(page.host));
  }

  // The managed policy as the extension applies it: its allowlist admits
  // without asking; askForConsent false turns asking off, so every origin
  // off that list is refused. Without a policy every secure origin is asked.
  function policyFromManaged(managed) {
    const m = managed && typeof managed === 'object' ? managed : {};
    return {
      allowlist: Array.isArray(m.allowedOrigins) ? effectiveAllowlist(m.allowedOrigins) : [],
      ask: m.askForConsent !== false,
    };
  }

  // What to do with a page's first call. `consents` maps an origin to the
  // user's remembered answer ({ allowed: boolean }). Returns one of
  //   { verdict: 'insecure' }  never admitted;
  //   { verdict: 'allow', by: 'policy' | 'user' };
  //   { verdict: 'deny', by: 'policy' | 'user' };
  //   { verdict: 'ask' }       the user has not been asked yet.
  function decideAdmission(origin, policy, consents) {
    if (!isSecureOrigin(origin)) return { verdict: 'insecure' };
    if (isOriginAllowed(origin, policy.allowlist)) return { verdict: 'allow', by: 'policy' };
    if (!policy.ask) return { verdict: 'deny', by: 'policy' };
    const key = new URL(origin).origin;
    const answer = consents && Object.prototype.hasOwnProperty.call(consents, key) ? consents[key] : null;
    if (answer && typeof answer.allowed === 'boolean') return { verdict: answer.allowed ? 'allow' : 'deny', by: 'user' };
    return { verdict: 'ask' };
  }

  const api = {
    DEFAULT_ALLOWED_ORIGINS, parseEntry, parseOrigin, effectiveAllowlist, isOriginAllowed,
    isSecureOrigin, policyFromManaged, decideAdmission,
  };
  if (typeof module === 'object' && module.exports) module.exports = api;
  else root.TesseraOrigins = api;
})(typeof globalThis !== 'undefined' ? globalThis : this);
