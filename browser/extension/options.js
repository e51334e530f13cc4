// The options page: the user's remembered answers, each revocable, and what
// the administrator's policy admits. Revoking removes the answer, so the
// site is asked again on its next call; the background ends its running
// conversation at once.
'use strict';
(() => {
  const ext = typeof browser !== 'undefined' ? browser : chrome;
  const $ = (id) => document.getElementById(id);

  async function consents() {
    const got = await ext.storage.local.get('consents');
    return (got && got.consents) || {};
  }

  async function revoke(origin) {
    const c = await consents();
    delete c[origin];
    await ext.storage.local.set({ consents: c });
    await render();
  }

  function cell(text) {
    const td = document.createElement('td');
    td.textContent = text;
    return td;
  }

  async function render() {
    const c = await consents();
    const rows = Object.keys(c).sort().map((origin) => {
      const tr = document.createElement('tr');
      tr.dataset.origin = origin;
      tr.append(cell(origin), cell(c[origin].allowed ? 'allowed' : 'not allowed'), cell(c[origin].at || ''));
      const td = document.createElement('td');
      const button = document.createElement('button');
      button.type = 'button';
      button.className = 'revoke';
      button.textContent = 'Revoke';
      button.addEventListener('click', () => revoke(origin));
      td.append(button);
      tr.append(td);
      return tr;
    });
    $('consents').tBodies[0].replaceChildren(...rows);
    $('consents-empty').hidden = rows.length > 0;

    let managed;
    try {
      managed = await ext.storage.managed.get(['allowedOrigins', 'askForConsent']);
    } catch (e) {
      managed = undefined;
    }
    const policy = TesseraOrigins.policyFromManaged(managed);
    const names = policy.allowlist.map((e) => `${e.scheme}://${e.host}${e.port === null ? '' : ':' + e.port}`);
    $('policy-list').replaceChildren(...(names.length ? names : ['(none)']).map((n) => {
      const li = document.createElement('li');
      li.textContent = n;
      return li;
    }));
    $('policy-ask').textContent = policy.ask
      ? 'Other sites are asked about on their first call.'
      : 'Asking is turned off: every other site is refused.';
    document.body.dataset.ready = 'true';
  }

  ext.storage.onChanged.addListener(() => render());
  render();
})();
