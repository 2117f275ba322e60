// One message: every field, the text as text, attachments, the image, the delivery
// history, and retry / delete.
'use strict';

(() => {
  const {api, json, el, badge, channelTag, formatTime, formatSize, showError, listen, token} =
      Fanout;
  const id = location.pathname.split('/').pop();
  const base = '/api/v1/messages/' + encodeURIComponent(id);
  let imageUrl = '';

  function field(list, name, ...value) {
    list.append(el('dt', {}, name), el('dd', {}, ...value));
  }

  function renderFields(record) {
    const list = document.getElementById('fields');
    list.replaceChildren();
    field(list, 'Id', String(record.id));
    field(list, 'Channel', channelTag(record.channel));
    field(list, 'Status', badge(record.status));
    field(list, 'Received', el('time', {datetime: record.received_at},
        formatTime(record.received_at)));
    field(list, 'From peer', record.peer);
    field(list, 'Client timestamp', String(record.timestamp) + ' (' +
        formatTime(new Date(record.timestamp * 1000).toISOString()) + ')');
    field(list, 'Key id', record.key_id || '—');
    field(list, 'Sender', record.sender || '—');
    field(list, 'Receivers', (record.receivers || []).join(', ') || '—');
    if (record.channel === 'mail') {
      field(list, 'Cc', (record.cc || []).join(', ') || '—');
    }
    field(list, 'Attempts', String(record.attempts));
    if (record.last_error) {
      field(list, 'Last error', record.last_error);
    }
  }

  // A download that carries the token: fetch the bytes, then save them under their name.
  async function download(event, url, name) {
    if (!token()) {
      return;  // the plain link works as it is
    }
    event.preventDefault();
    try {
      const blob = await (await api(url)).blob();
      const link = el('a', {href: URL.createObjectURL(blob), download: name});
      document.body.append(link);
      link.click();
      link.remove();
      setTimeout(() => URL.revokeObjectURL(link.href), 10000);
    } catch (error) {
      showError(error);
    }
  }

  function renderAttachments(record) {
    const list = document.getElementById('attachments');
    list.replaceChildren();
    for (const attachment of record.attachments || []) {
      const url = base + '/attachments/' + attachment.index;
      const link = el('a', {href: url, download: attachment.name, className: 'attachment'},
          attachment.name);
      link.addEventListener('click', (event) => download(event, url, attachment.name));
      list.append(el('li', {}, link, ' ', el('span', {className: 'hint'},
          formatSize(attachment.size)), el('code', {className: 'sha'}, attachment.sha256)));
    }
    document.getElementById('attachments-section').hidden = !list.children.length;
  }

  // Fetched rather than linked, so it carries the token; shown from a blob: URL.
  async function renderImage(record) {
    const section = document.getElementById('image-section');
    section.hidden = !record.image_size;
    if (!record.image_size || imageUrl) {
      return;
    }
    const blob = await (await api(base + '/image')).blob();
    imageUrl = URL.createObjectURL(blob);
    document.getElementById('image').src = imageUrl;
  }

  function renderDeliveries(record) {
    const table = document.getElementById('deliveries');
    const body = table.querySelector('tbody');
    body.replaceChildren();
    for (const delivery of record.deliveries || []) {
      body.append(el('tr', {},
          el('td', {}, el('time', {datetime: delivery.at}, formatTime(delivery.at))),
          el('td', {}, el('span', {className: 'badge outcome-' + delivery.outcome},
              delivery.outcome)),
          el('td', {className: 'detail'}, delivery.detail)));
    }
    table.hidden = !body.children.length;
    document.getElementById('no-deliveries').hidden = !!body.children.length;
  }

  async function load() {
    try {
      const record = await json(base);
      document.title = (record.title || 'Message ' + record.id) + ' · fanout relay';
      document.getElementById('title').textContent =
          record.title || '(' + record.channel + ' message ' + record.id + ')';
      document.getElementById('content').textContent = record.content;
      document.getElementById('retry').hidden = record.status !== 'failed';
      renderFields(record);
      renderAttachments(record);
      renderDeliveries(record);
      document.getElementById('message').hidden = false;
      showError(null);
      await renderImage(record);
    } catch (error) {
      showError(error);
    }
  }

  document.getElementById('retry').addEventListener('click', async () => {
    try {
      await json(base + '/retry', {method: 'POST'});
      await load();
    } catch (error) {
      showError(error);
    }
  });
  document.getElementById('delete').addEventListener('click', async () => {
    if (!confirm('Delete this message for good?')) {
      return;
    }
    try {
      await json(base, {method: 'DELETE'});
      location.href = '/';
    } catch (error) {
      showError(error);
    }
  });

  load();
  listen({
    status: (change) => {
      if (String(change.id) === id) {
        load();
      }
    },
    reopened: load,
  });
})();
