// The inbox: messages newest first, by channel, status and search text, with new ones
// and status changes arriving live.
'use strict';

(() => {
  const {json, el, badge, channelTag, formatTime, showError, listen} = Fanout;
  const kPageSize = 50;
  // live: records the stream brought since the last reload of the list, so one stored
  // between the list's query and its answer is not lost when the answer replaces the list.
  const state = {channel: '', status: '', q: '', loaded: 0, total: 0, generation: 0, live: []};
  const list = document.getElementById('list');
  const rows = new Map();  // id -> the row's status badge holder

  function headline(record) {
    if (record.title) {
      return record.title;
    }
    const firstLine = (record.content || '').split('\n')[0];
    return firstLine || '(no title)';
  }

  function row(record) {
    const statusHolder = el('span', {className: 'status'}, badge(record.status));
    rows.set(record.id, statusHolder);
    const people = [record.sender || '?', '→', (record.receivers || []).join(', ')].join(' ');
    const extras = [];
    const files = (record.attachments || []).length;
    if (files) {
      extras.push(el('span', {className: 'extra'}, files + (files === 1 ? ' file' : ' files')));
    }
    if (record.image_size) {
      extras.push(el('span', {className: 'extra'}, 'image'));
    }
    const link = el('a', {href: '/messages/' + record.id, className: 'row'},
        el('span', {className: 'line'}, channelTag(record.channel), statusHolder,
            el('span', {className: 'headline'}, headline(record)), ...extras),
        el('span', {className: 'line meta'}, el('span', {className: 'people'}, people),
            el('time', {datetime: record.received_at}, formatTime(record.received_at))),
        record.title && record.content ?
            el('span', {className: 'snippet'}, record.content.slice(0, 200)) : null);
    return el('li', {'data-id': String(record.id)}, link);
  }

  function summary() {
    document.getElementById('summary').textContent =
        state.total === 0 ? 'No messages yet.' :
        state.total + (state.total === 1 ? ' message' : ' messages');
    document.getElementById('more').hidden = state.loaded >= state.total;
  }

  function query(offset) {
    const params = new URLSearchParams({limit: String(kPageSize), offset: String(offset)});
    for (const name of ['channel', 'status', 'q']) {
      if (state[name]) {
        params.set(name, state[name]);
      }
    }
    return '/api/v1/messages?' + params.toString();
  }

  async function load(reset) {
    const generation = reset ? ++state.generation : state.generation;
    if (reset) {
      state.live = [];
    }
    try {
      const page = await json(query(reset ? 0 : state.loaded));
      if (generation !== state.generation) {
        return;  // the filters changed while this page was on its way
      }
      if (reset) {
        list.replaceChildren();
        rows.clear();
        state.loaded = 0;
      }
      for (const record of page.messages) {
        if (!rows.has(record.id)) {
          list.append(row(record));
        }
      }
      state.loaded += page.messages.length;
      state.total = page.total;
      if (reset) {
        for (const record of state.live) {
          if (!rows.has(record.id)) {
            list.prepend(row(record));
            state.loaded += 1;
            state.total += 1;
          }
        }
      }
      showError(null);
      summary();
    } catch (error) {
      showError(error);
    }
  }

  function matches(record) {
    const text = state.q.toLowerCase();
    return (!state.channel || record.channel === state.channel) &&
        (!state.status || record.status === state.status) &&
        (!text || (record.title || '').toLowerCase().includes(text) ||
         (record.content || '').toLowerCase().includes(text));
  }

  function onMessage(record) {
    if (!matches(record)) {
      return;
    }
    state.live.push(record);
    if (rows.has(record.id)) {
      return;
    }
    const item = row(record);
    item.classList.add('fresh');
    list.prepend(item);
    state.loaded += 1;
    state.total += 1;
    summary();
  }

  function onStatus(change) {
    const holder = rows.get(change.id);
    if (holder) {
      holder.replaceChildren(badge(change.status));
    }
  }

  for (const tab of document.querySelectorAll('#tabs button')) {
    tab.addEventListener('click', () => {
      for (const other of document.querySelectorAll('#tabs button')) {
        other.setAttribute('aria-selected', String(other === tab));
      }
      state.channel = tab.dataset.channel;
      load(true);
    });
  }
  let searchTimer = 0;
  document.getElementById('search').addEventListener('input', (event) => {
    clearTimeout(searchTimer);
    searchTimer = setTimeout(() => {
      state.q = event.target.value.trim();
      load(true);
    }, 250);
  });
  document.getElementById('status').addEventListener('change', (event) => {
    state.status = event.target.value;
    load(true);
  });
  document.getElementById('more').addEventListener('click', () => load(false));

  // The stream first: whatever arrives after it opens shows, even before the list does.
  listen({message: onMessage, status: onStatus, reopened: () => load(true)});
  load(true);
})();
