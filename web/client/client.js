// The page side of the web toolkit: sends the events that widgets asked for
// (their data-ev attribute) up the session's WebSocket as JSON, and merges
// the re-rendered widgets that come down into the page with idiomorph.
(function () {
  'use strict';
  const session = document.body.dataset.session;
  const state = { messages: 0, connected: false, connects: 0, lostSince: 0 };
  let socket = null;
  let retries = 0;
  let leaving = false;

  function socketUrl() {
    return (location.protocol === 'https:' ? 'wss://' : 'ws://') + location.host + '/_w/ws?s=' + encodeURIComponent(session);
  }

  function connect() {
    const ws = new WebSocket(socketUrl());
    socket = ws;
    ws.onopen = function () {
      retries = 0;
      state.connected = true;
      state.connects++;
      state.lostSince = 0;
      notice(null);
    };
    ws.onmessage = function (m) {
      apply(JSON.parse(m.data));
    };
    ws.onclose = function () {
      if (socket === ws) socket = null;
      state.connected = false;
      if (leaving) return;
      if (!state.lostSince) state.lostSince = Date.now();
      // A page away for long has lost its session on the server.
      notice(Date.now() - state.lostSince > 60000 ? 'The session has ended. Reload the page to start again.'
                                                   : 'Connection lost. Reconnecting\u2026');
      setTimeout(connect, Math.min(5000, 100 * Math.pow(2, retries++)));
    };
  }

  function send(event) {
    if (socket && socket.readyState === WebSocket.OPEN) socket.send(JSON.stringify(event));
  }

  function notice(text) {
    let el = document.getElementById('w-notice');
    if (!text) {
      if (el) el.remove();
      return;
    }
    if (!el) {
      el = document.createElement('div');
      el.id = 'w-notice';
      document.body.appendChild(el);
    }
    el.textContent = text;
  }

  function apply(message) {
    // Keep what the person is typing; but a focused button or check box
    // must still show its new label, so only text fields are left alone.
    const active = document.activeElement;
    const typing = !!active && active.matches('input:not([type=checkbox]):not([type=radio]),textarea');
    for (const [id, html] of message.u || []) {
      const el = document.getElementById(id);
      if (el) Idiomorph.morph(el, html, { morphStyle: 'outerHTML', ignoreActiveValue: typing });
    }
    for (const c of message.c || []) run(c);
    state.messages++;
  }

  function run(c) {
    const [name, a, b] = c;
    if (name === 'title') {
      document.title = a;
    } else if (name === 'focus') {
      const el = document.getElementById(a);
      const input = el && (el.matches('input,select,textarea,button') ? el : el.querySelector('input,select,textarea,button'));
      if (input) input.focus();
    } else if (name === 'css') {
      if (!document.querySelector('link[href="' + CSS.escape(a) + '"]')) {
        const link = document.createElement('link');
        link.rel = 'stylesheet';
        link.href = a;
        document.head.appendChild(link);
      }
    } else if (name === 'upload') {
      upload(a, b);
    }
  }

  function upload(id, url) {
    const el = document.getElementById(id);
    const input = el && el.querySelector('input[type=file]');
    const file = input && input.files && input.files[0];
    if (!file) return;
    const xhr = new XMLHttpRequest();
    xhr.open('POST', url + '&n=' + encodeURIComponent(file.name));
    let last = 0;
    xhr.upload.onprogress = function (ev) {
      const now = Date.now();
      if (now - last < 100 && ev.loaded < ev.total) return;
      last = now;
      send({ e: 'progress', id: id, l: ev.loaded, t: ev.total });
    };
    xhr.send(file);
  }

  function wants(el, type) {
    const ev = el.getAttribute('data-ev');
    return ev !== null && (' ' + ev + ' ').indexOf(' ' + type + ' ') >= 0;
  }

  // The nearest widget element, from the event's target up, that asked for
  // the event; with the cell argument and the form value between them.
  function describe(target, type) {
    let arg = null;
    for (let el = target; el && el !== document.body; el = el.parentElement) {
      if (arg === null && el.hasAttribute('data-arg')) arg = el.getAttribute('data-arg');
      if (el.id && wants(el, type)) {
        const event = { e: type, id: el.id };
        if (arg !== null) event.a = arg;
        const v = formValue(target, el);
        if (v !== null) event.v = v;
        return event;
      }
    }
    return null;
  }

  function formValue(target, widget) {
    const input = target.matches && target.matches('input,select,textarea') ? target
      : (widget.matches('input,select,textarea') ? widget : null);
    if (!input || !widget.contains(input)) return null;
    if (input.type === 'checkbox' || input.type === 'radio') return input.checked ? '1' : '0';
    if (input.type === 'file') return input.files && input.files[0] ? input.files[0].name : '';
    return input.value;
  }

  function listen(domType, type) {
    document.addEventListener(domType, function (e) {
      const event = describe(e.target, type);
      if (event) send(event);
    });
  }
  listen('click', 'click');
  listen('dblclick', 'dblclick');
  listen('change', 'change');
  listen('focusin', 'focus');
  listen('focusout', 'blur');

  document.addEventListener('keydown', function (e) {
    const named = e.key === 'Enter' ? 'enter' : e.key === 'Escape' ? 'escape' : null;
    const event = describe(e.target, 'keydown') || (named && describe(e.target, named));
    if (!event) return;
    event.e = 'keydown';
    event.k = e.key;
    send(event);
  });

  // Pointer entering and leaving a widget (not its children).
  function hover(domType, type) {
    document.addEventListener(domType, function (e) {
      for (let el = e.target; el && el !== document.body; el = el.parentElement) {
        if (el.id && wants(el, type)) {
          if (!e.relatedTarget || !el.contains(e.relatedTarget)) send({ e: type, id: el.id });
          return;
        }
      }
    });
  }
  hover('mouseover', 'over');
  hover('mouseout', 'out');

  // Tooltips made of our own markup (plain ones are title attributes).
  let tip = null;
  document.addEventListener('mouseover', function (e) {
    const el = e.target.closest && e.target.closest('[data-tip]');
    if (!el) return;
    if (!tip) {
      tip = document.createElement('div');
      tip.className = 'w-tooltip';
      document.body.appendChild(tip);
    }
    tip.innerHTML = el.getAttribute('data-tip');
    const r = el.getBoundingClientRect();
    tip.style.left = (window.scrollX + r.left) + 'px';
    tip.style.top = (window.scrollY + r.bottom + 4) + 'px';
    tip.style.display = 'block';
  });
  document.addEventListener('mouseout', function (e) {
    const el = e.target.closest && e.target.closest('[data-tip]');
    if (tip && el && (!e.relatedTarget || !el.contains(e.relatedTarget))) tip.style.display = 'none';
  });

  // Dragging a table cell's text onto another cell.
  let dragSource = null;
  document.addEventListener('dragstart', function (e) {
    const cell = e.target.closest && e.target.closest('td[draggable=true]');
    if (!cell) return;
    dragSource = { arg: cell.getAttribute('data-arg'), table: cell.closest('[data-ev]') };
    e.dataTransfer.setData('text/plain', cell.textContent);
    e.dataTransfer.effectAllowed = 'copy';
  });
  document.addEventListener('dragover', function (e) {
    const cell = e.target.closest && e.target.closest('td[data-drop]');
    if (cell && dragSource && dragSource.table && dragSource.table.contains(cell)) e.preventDefault();
  });
  document.addEventListener('drop', function (e) {
    const cell = e.target.closest && e.target.closest('td[data-drop]');
    if (!cell || !dragSource) return;
    e.preventDefault();
    const table = dragSource.table;
    if (table && table.id && wants(table, 'drop') && table.contains(cell))
      send({ e: 'drop', id: table.id, a: cell.getAttribute('data-arg'), s: dragSource.arg });
    dragSource = null;
  });

  // Closing the page ends its session at once; a page restored from the
  // back-forward cache has none any more.
  window.addEventListener('pagehide', function () {
    leaving = true;
    send({ e: 'quit' });
    if (socket) socket.close();
  });
  window.addEventListener('pageshow', function (e) {
    if (e.persisted) location.reload();
  });

  // For tests and the curious: counters, and a way to drop the socket.
  window.trlweb = {
    state: state,
    drop: function () {
      if (socket) socket.close();
    },
  };

  connect();
})();
