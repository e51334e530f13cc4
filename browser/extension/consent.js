// The consent window: asks the user whether the origin named by the
// background may use Tessera. The window's address carries only a token; the
// origin comes from the background, so a page cannot put its own words here.
'use strict';
(() => {
  const ext = typeof browser !== 'undefined' ? browser : chrome;
  const TEXTS = {
    en: {
      title: 'Allow this site to use Tessera?',
      intro: 'If you allow it, pages of this site may, without asking again:',
      abilities: [
        'create key pairs in the key stores (CSPs) of this computer and certificate requests for them;',
        'install certificates into your personal certificate store, and encryption keys that its certificate authority sends;',
        'list your certificates and key stores.',
      ],
      note: 'Allow only your bank\'s own enrollment site. You can review and revoke this in the Tessera extension\'s options.',
      allow: 'Allow', deny: 'Do not allow', unknown: 'This question is no longer open.',
    },
    zh: {
      title: '允许此网站使用 Tessera 吗？',
      intro: '允许后，此网站的页面无需再次询问即可：',
      abilities: [
        '在本计算机的密钥库（CSP）中生成密钥对并生成证书请求；',
        '将证书以及其证书颁发机构发送的加密密钥安装到您的个人证书库；',
        '列出您的证书和密钥库。',
      ],
      note: '请只允许您的银行自己的证书申请网站。可以在 Tessera 扩展的选项中查看和撤销。',
      allow: '允许', deny: '不允许', unknown: '此询问已结束。',
    },
  };
  const t = /^zh\b/i.test(navigator.language || '') ? TEXTS.zh : TEXTS.en;
  const $ = (id) => document.getElementById(id);
  const token = location.hash.slice(1);
  $('title').textContent = t.title;
  $('intro').textContent = t.intro;
  $('abilities').replaceChildren(...t.abilities.map((a) => {
    const li = document.createElement('li');
    li.textContent = a;
    return li;
  }));
  $('note').textContent = t.note;
  $('allow').textContent = t.allow;
  $('deny').textContent = t.deny;
  $('allow').disabled = true;
  $('deny').disabled = true;

  ext.runtime.sendMessage({ type: 'consent-info', token }).then((info) => {
    if (!info || !info.origin) {
      $('origin').textContent = t.unknown;
      return;
    }
    $('origin').textContent = info.origin;
    document.body.dataset.origin = info.origin;
    $('allow').disabled = false;
    $('deny').disabled = false;
  });

  function answer(allowed) {
    $('allow').disabled = true;
    $('deny').disabled = true;
    ext.runtime.sendMessage({ type: 'consent-answer', token, allowed }).finally(() => window.close());
  }
  $('allow').addEventListener('click', () => answer(true));
  $('deny').addEventListener('click', () => answer(false));
})();
