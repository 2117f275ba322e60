// Shared by the pages: API calls with the access token, element building (text only,
// never HTML), status badges and the live event stream.
'use strict';

const Fanout = (() => {
  const kTokenKey = 'fanout_token';
  const kStatuses = ['captured', 'queued', 'delivering', 'delivered', 'failed'];

  class ApiError extends Error {
    constructor(status, message) {
      super(message);
      this.status = status;
    }
  }

  function token() {
    return sessionStorage.getItem(kTokenKey) || '';
  }

  // The event stream cannot send an Authorization header: it gets the token from a
  // cookie sent to that one path only, never to other sites. The cookie holds the token's
  // UTF-8 bytes in hex, so no character of it needs escaping.
  function storeTokenCookie(value) {
    const hex = Array.from(new TextEncoder().encode(value),
        (byte) => byte.toString(16).padStart(2, '0')).join('');
    document.cookie = kTokenKey + '=' + hex + '; path=/api/v1/events; SameSite=Strict';
  }

  function askToken() {
    const form = document.getElementById('token-form');
    if (!form || !form.hidden) {
      return;
    }
    form.hidden = false;
    form.addEventListener('submit', (event) => {
      event.preventDefault();
      const value = document.getElementById('token-input').value.trim();
      if (value) {
        sessionStorage.setItem(kTokenKey, value);
        storeTokenCookie(value);
        location.reload();
      }
    });
    document.getElementById('token-input').focus();
  }

  async function api(path, options = {}) {
    const headers = new Headers(options.headers || {});
    const value = token();
    if (value) {
      // A header carries bytes: the token's UTF-8 bytes, one character each.
      const bytes = new TextEncoder().encode(value);
      headers.set('Authorization', 'Bearer ' + String.fromCharCode(...bytes));
    }
    const response = await fetch(path, Object.assign({}, options, {headers}));
    if (response.status === 401) {
      askToken();
      throw new ApiError(401, 'This relay needs its access token.');
    }
    if (!response.ok) {
      let message = response.status + ' ' + response.statusText;
      try {
        message = (await response.json()).error || message;
      } catch (ignored) {
        // not JSON: keep the status line
      }
      throw new ApiError(response.status, message);
    }
    return response;
  }

  async function json(path, options) {
    const response = await api(path, options);
    return response.status === 204 ? null : response.json();
  }

  // el('a', {href: '/x', className: 'y'}, 'text', child): text arguments become text
  // nodes, so nothing from a message is ever parsed as HTML.
  function el(tag, props, ...children) {
    const node = document.createElement(tag);
    for (const [name, value] of Object.entries(props || {})) {
      if (name === 'className') {
        node.className = value;
      } else if (name === 'text') {
        node.textContent = value;
      } else {
        node.setAttribute(name, value);
      }
    }
    for (const child of children) {
      if (child !== null && child !== undefined) {
        node.append(child instanceof Node ? child : String(child));
      }
    }
    return node;
  }

  function badge(status) {
    const known = kStatuses.includes(status) ? status : 'unknown';
    return el('span', {className: 'badge status-' + known}, status);
  }

  function channelTag(channel) {
    return el('span', {className: 'channel'}, channel);
  }

  function formatTime(iso) {
    const date = new Date(iso);
    return isNaN(date.getTime()) ? String(iso) : date.toLocaleString();
  }

  function formatSize(bytes) {
    if (bytes < 1024) {
      return bytes + ' B';
    }
    if (bytes < 1024 * 1024) {
      return (bytes / 1024).toFixed(1) + ' KiB';
    }
    return (bytes / 1024 / 1024).toFixed(1) + ' MiB';
  }

  function showError(error) {
    const node = document.getElementById('error');
    if (!node || (error && error.status === 401)) {
      return;
    }
    node.textContent = error ? String(error.message || error) : '';
    node.hidden = !error;
  }

  // Opens the event stream; handlers.message(record), handlers.status({id, status}) and
  // handlers.reopened() (after a stream the browser gave up on was opened anew: events
  // in between may be missing). The browser reconnects by itself after a broken stream and
  // resumes after the last event it saw; it gives up on an answer that is not a stream
  // (the relay refusing one more), and then a new one is opened a little later.
  function listen(handlers) {
    if (token()) {
      storeTokenCookie(token());
    }
    const live = document.getElementById('live');
    const setLive = (text, on) => {
      if (live) {
        live.textContent = text;
        live.classList.toggle('on', on);
      }
    };
    let source = null;
    const open = (reopened) => {
      source = new EventSource('/api/v1/events');
      source.addEventListener('open', () => {
        setLive('live', true);
        if (reopened && handlers.reopened) {
          handlers.reopened();
        }
      });
      source.addEventListener('error', () => {
        setLive('reconnecting', false);
        if (source.readyState === EventSource.CLOSED) {
          setTimeout(() => open(true), 5000);
        }
      });
      for (const kind of ['message', 'status']) {
        source.addEventListener(kind, (event) => {
          if (handlers[kind]) {
            handlers[kind](JSON.parse(event.data));
          }
        });
      }
    };
    open(false);
    window.addEventListener('pagehide', () => source.close());
  }

  return {api, json, el, badge, channelTag, formatTime, formatSize, showError, listen, token};
})();
