// Content script of the Tessera extension: the bridge between the page
// (window.postMessage) and the extension's background (a runtime port).
//
// Only messages that the page's own window posted to itself are taken, and
// only the known fields of a request are passed on. Answers are posted back to
// the page's own origin. Whether the page may use the host at all is decided
// by the background, which knows the allowlist.
(() => {
  'use strict';
  const ext = typeof browser !== 'undefined' ? browser : chrome;
  const CHANNEL = 'tessera';
  const version = ext.runtime.getManifest().version;
  const pending = new Set();
  let port = null;

  function toPage(message) {
    window.postMessage(Object.assign({ channel: CHANNEL, direction: 'from-extension' }, message), window.location.origin);
  }

  function ensurePort() {
    if (port) return port;
    port = ext.runtime.connect({ name: 'tessera' });
    port.onMessage.addListener((msg) => {
      if (!msg || typeof msg.id !== 'string') return;
      const out = { id: msg.id };
      if (typeof msg.event === 'string') {
        // A call's progress: waiting for the user's consent, sent to the host.
        out.event = msg.event;
        if (typeof msg.timeoutMs === 'number') out.timeoutMs = msg.timeoutMs;
      } else {
        pending.delete(msg.id);
        if (msg.response) out.response = msg.response;
        if (msg.error) out.error = msg.error;
      }
      if (typeof msg.hostSerial === 'string') out.hostSerial = msg.hostSerial;
      toPage(out);
    });
    port.onDisconnect.addListener(() => {
      port = null;
      // The background restarted or the extension was reloaded.
      for (const id of pending) {
        toPage({ id, error: { code: 'EXTENSION_ERROR', message: 'The Tessera extension stopped while the call was running.' } });
      }
      pending.clear();
    });
    return port;
  }

  window.addEventListener('message', (event) => {
    if (event.source !== window || event.origin !== window.location.origin) return;
    const data = event.data;
    if (!data || data.channel !== CHANNEL || data.direction !== 'to-extension') return;
    if (typeof data.id !== 'string') return;
    if (data.type === 'ping') {
      toPage({ id: data.id, type: 'pong', version });
      return;
    }
    if (!window.isSecureContext) {
      toPage({ id: data.id, error: { code: 'INSECURE_CONTEXT', message: 'Tessera serves only pages in a secure context (https).' } });
      return;
    }
    if (data.type === 'cancel') {
      if (pending.has(data.id) && port) port.postMessage({ type: 'cancel', id: data.id });
      return;
    }
    if (typeof data.function !== 'string' || !Array.isArray(data.params)) {
      toPage({ id: data.id, error: { code: 'BAD_REQUEST', message: 'A request needs a function name and a params array.' } });
      return;
    }
    let params;
    try {
      params = JSON.parse(JSON.stringify(data.params));
    } catch (e) {
      toPage({ id: data.id, error: { code: 'BAD_REQUEST', message: 'The parameters cannot be sent as JSON.' } });
      return;
    }
    const request = { id: data.id, function: data.function, params };
    if (typeof data.timeoutMs === 'number') request.timeoutMs = data.timeoutMs;
    if (typeof data.hostSerial === 'string') request.hostSerial = data.hostSerial;
    pending.add(data.id);
    try {
      ensurePort().postMessage(request);
    } catch (e) {
      port = null;
      try {
        ensurePort().postMessage(request);
      } catch (e2) {
        pending.delete(data.id);
        toPage({ id: data.id, error: { code: 'EXTENSION_ERROR', message: 'The Tessera extension cannot be reached.' } });
      }
    }
  });

  toPage({ id: '', type: 'ready', version });
})();
