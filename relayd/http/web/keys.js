// Keys: register one, list them all, revoke those registered here.
'use strict';

(() => {
  const {json, el, formatTime, showError} = Fanout;

  function revokeButton(key) {
    if (key.source !== 'api' || key.revoked) {
      return null;
    }
    const button = el('button', {type: 'button', className: 'danger small'}, 'Revoke');
    button.addEventListener('click', async () => {
      if (!confirm('Revoke key ' + key.id + '? Requests that use it will be refused.')) {
        return;
      }
      try {
        await json('/api/v1/keys/' + encodeURIComponent(key.id), {method: 'DELETE'});
        await load();
      } catch (error) {
        showError(error);
      }
    });
    return button;
  }

  function row(key) {
    const state = key.revoked ? el('span', {className: 'badge status-failed'}, 'revoked') : null;
    return el('tr', {'data-id': key.id, className: key.revoked ? 'revoked' : ''},
        el('td', {}, el('code', {}, key.id), ' ', state),
        el('td', {}, key.receivers.join(', ')),
        el('td', {}, key.cc.join(', ')),
        el('td', {}, key.subject),
        el('td', {}, key.channels.length ? key.channels.join(', ') : 'all'),
        el('td', {}, key.source === 'api' && key.created_at ? formatTime(key.created_at) : '—'),
        el('td', {}, key.source === 'config' ? 'file' : 'web'),
        el('td', {}, revokeButton(key)));
  }

  async function load() {
    try {
      const answer = await json('/api/v1/keys');
      document.querySelector('#keys tbody').replaceChildren(...answer.keys.map(row));
      showError(null);
    } catch (error) {
      showError(error);
    }
  }

  const form = document.getElementById('key-form');
  form.addEventListener('submit', async (event) => {
    event.preventDefault();
    const body = {
      receivers: form.elements.receivers.value.trim(),
      cc: form.elements.cc.value.trim(),
      subject: form.elements.subject.value,
      channels: [...form.querySelectorAll('input[name=channel]:checked')].map((box) => box.value),
    };
    const id = form.elements.id.value.trim();
    if (id) {
      body.id = id;
    }
    try {
      const key = await json('/api/v1/keys', {
        method: 'POST',
        headers: {'Content-Type': 'application/json'},
        body: JSON.stringify(body),
      });
      const created = document.getElementById('created');
      created.replaceChildren('Registered key ', el('code', {}, key.id),
          '. Send with -k ' + key.id + '.');
      created.hidden = false;
      form.reset();
      showError(null);
      await load();
    } catch (error) {
      showError(error);
    }
  });

  load();
})();
