// The page side of the web toolkit: sends the events that widgets asked for
// (their data-ev attribute) up the session's WebSocket as JSON, and merges
// the re-rendered widgets that come down into the page with idiomorph.
(function () {
  'use strict';
  const session = document.body.dataset.session;
  const state = { messages: 0, connected: false, connects: 0, lostSince: 0, lastUpdate: Date.now(), reloading: false };
  const TabsKey = 'trlweb.tabs';      // the open tabs, kept across a fresh load
  const ReloadKey = 'trlweb.reload';  // when this tab last loaded afresh by itself, and how often
  const Controls = ['button', 'input', 'select', 'textarea']
    .map((c) => '.w-root ' + c + ', .w-dialogs ' + c).join(',');
  let socket = null;
  let retries = 0;
  let retryTimer = null;
  let probing = false;
  let leaving = false;
  let actions = 0;              // the number of the person's last action
  const pending = new Map();    // action number -> what it was, until the server's receipt
  const unsure = [];            // actions whose receipt never came before the socket dropped

  function socketPath() {
    return '/_w/ws?s=' + encodeURIComponent(session);
  }

  function socketUrl() {
    return (location.protocol === 'https:' ? 'wss://' : 'ws://') + location.host + socketPath();
  }

  function connect() {
    clearTimeout(retryTimer);
    retryTimer = null;
    const ws = new WebSocket(socketUrl());
    socket = ws;
    ws.onopen = function () {
      retries = 0;
      state.connected = true;
      state.connects++;
      state.lostSince = 0;
      setLive(true);
      restoreTabs();
    };
    ws.onmessage = function (m) {
      apply(JSON.parse(m.data));
    };
    ws.onclose = function () {
      if (socket !== ws) return;
      socket = null;
      state.connected = false;
      if (leaving || state.reloading) return;
      if (!state.lostSince) state.lostSince = Date.now();
      for (const what of pending.values()) unsure.push(what);
      pending.clear();
      setLive(false);
      lost('Connection lost. Reconnecting\u2026');
      later(0);
    };
  }

  // The next try, after the server's Retry-After or a growing pause.
  function later(seconds) {
    const delay = seconds > 0 ? seconds * 1000 : Math.min(10000, 250 * Math.pow(2, retries++));
    clearTimeout(retryTimer);
    retryTimer = setTimeout(probe, delay);
  }

  // A browser does not tell the script why a WebSocket handshake failed, so
  // the page asks first: open it, load afresh, or wait and say why.
  function probe() {
    clearTimeout(retryTimer);
    retryTimer = null;
    if (state.reloading || socket || probing) return;
    probing = true;
    fetch(socketPath(), { cache: 'no-store' }).finally(function () {
      probing = false;
    }).then(function (r) {
      if (r.ok) return connect();
      if (r.status === 401) return signedOut();
      if (r.status === 404) return reloadFresh();
      return r.text().then(function (text) {
        lost(text.trim() || 'The server cannot take this page now. Trying again\u2026');
        later(Number(r.headers.get('Retry-After')));
      });
    }, function () {
      lost('The server is not answering. Trying again\u2026');
      later(0);
    });
  }

  // The server no longer knows this page's session (it restarted, say after
  // an upgrade, or the page was away too long): load the page afresh and
  // open the same tabs. Fresh loads that follow each other closely wait
  // longer each time.
  function reloadFresh() {
    state.reloading = true;
    const now = Date.now();
    let last = {};
    try {
      last = JSON.parse(sessionStorage.getItem(ReloadKey) || '{}') || {};
    } catch (e) {
      last = {};
    }
    const count = last.t && now - last.t < 120000 ? (last.n || 0) + 1 : 1;
    const delay = count <= 1 ? 0 : Math.min(30000, 1000 * Math.pow(2, count - 2));
    try {
      sessionStorage.setItem(ReloadKey, JSON.stringify({ n: count, t: now + delay }));
    } catch (e) {
      // without storage the page still loads afresh
    }
    rememberTabs();
    lost('The session has ended on the server. Loading a fresh page' +
         (delay ? ' in ' + Math.round(delay / 1000) + ' s' : '') + '\u2026', true);
    setTimeout(function () { location.reload(); }, delay);
  }

  // The sign-in this page belonged to has ended (signed out, here or in
  // another window, idle too long, or the server restarted): the start page
  // asks to sign in, and the page that follows opens the same tabs.
  function signedOut() {
    state.reloading = true;
    rememberTabs();
    lost('You are signed out. Loading the sign-in page\u2026', true);
    location.reload();
  }

  // The open tabs, for the fresh page that follows (this browser tab only).
  function rememberTabs() {
    try {
      sessionStorage.setItem(TabsKey, JSON.stringify(openTabs()));
    } catch (e) {
      // without storage the fresh page opens on its first tab
    }
  }

  function openTabs() {
    return Array.from(document.querySelectorAll('[role=tablist]')).map(function (list) {
      const tab = list.querySelector('[role=tab][aria-selected=true]');
      const tabs = Array.from(list.querySelectorAll('[role=tab]'));
      return { i: tabs.indexOf(tab), label: tab ? tab.textContent : '' };
    });
  }

  // After a fresh load: the tabs the page had open, where the same tab is in
  // the same place.
  function restoreTabs() {
    let saved = null;
    try {
      saved = JSON.parse(sessionStorage.getItem(TabsKey));
      sessionStorage.removeItem(TabsKey);
    } catch (e) {
      saved = null;
    }
    if (!Array.isArray(saved)) return;
    const lists = document.querySelectorAll('[role=tablist]');
    saved.forEach(function (open, n) {
      const tab = lists[n] && lists[n].querySelectorAll('[role=tab]')[open.i];
      if (!tab || tab.textContent !== open.label || tab.disabled || tab.getAttribute('aria-selected') === 'true') return;
      const event = describe(tab, 'click');
      if (event) send(event);
    });
  }

  // Without its socket the page is inert: nothing in it can be used, and it
  // looks so; what the person tries is refused in words (see below).
  function setLive(live) {
    document.body.classList.toggle('w-offline', !live);
    for (const el of document.querySelectorAll('.w-root, .w-dialogs')) el.inert = !live;
    if (live) {
      for (const c of document.querySelectorAll('[data-w-off]')) {
        c.disabled = false;
        c.removeAttribute('data-w-off');
      }
      notice(null);
      if (unsure.length) {
        notice('Connected again. Your last action (' + unsure[unsure.length - 1] + ') may not have reached the ' +
               'server before the connection dropped: check whether it took effect.', 'Dismiss', function () {
          unsure.length = 0;
          notice(null);
        });
      }
    } else {
      for (const c of document.querySelectorAll(Controls)) {
        if (c.disabled) continue;
        c.disabled = true;
        c.setAttribute('data-w-off', '');
      }
    }
    paintStatus();
  }

  function lost(text, final) {
    let full = text;
    if (unsure.length)
      full += ' Your last action (' + unsure[unsure.length - 1] + ') may not have reached the server.';
    if (final) notice(full);
    else notice(full, 'Retry now', function () {
      retries = 0;
      probe();
    });
  }

  // An action the page cannot send is refused in words, never dropped.
  function refuse() {
    if (!document.getElementById('w-notice')) notice('The page is not connected.');
    const box = document.getElementById('w-notice');
    box.querySelector('.w-notice-refused').textContent = 'Not sent: the page is not connected. Try again when it is.';
    box.classList.remove('w-flash');
    void box.offsetWidth;  // restarts the animation
    box.classList.add('w-flash');
  }

  // A click on the inert page (it lands beside the inert parts).
  document.addEventListener('click', function (e) {
    const box = document.getElementById('w-notice');
    if (leaving || !document.body.classList.contains('w-offline') || (box && box.contains(e.target))) return;
    refuse();
  }, true);

  // What the person did, for a notice: the words on what they clicked.
  function actionName(target, type) {
    const el = target && target.closest ? target.closest('button,a,[role=tab],td,th,label,option') || target : null;
    const words = el ? (el.textContent || el.getAttribute('title') || '').trim().replace(/\s+/g, ' ') : '';
    const what = type === 'change' ? 'a change' : type === 'drop' ? 'a drag and drop' : 'a click';
    return words ? what + ' on \u201c' + (words.length > 40 ? words.slice(0, 39) + '\u2026' : words) + '\u201d' : what;
  }

  // Sends one event; a person's action (actionTarget given) is numbered, and
  // refused in words when the page is not connected.
  function send(event, actionTarget) {
    const action = actionTarget !== undefined;
    if (!socket || socket.readyState !== WebSocket.OPEN) {
      if (action && !leaving) refuse();
      return false;
    }
    if (action) {
      event.n = ++actions;
      pending.set(event.n, actionName(actionTarget, event.e));
    }
    socket.send(JSON.stringify(event));
    return true;
  }

  // The notice sits above the page, in its flow: it never covers the
  // headline, and it says what is going on and what happens next.
  function notice(text, buttonLabel, onButton) {
    let box = document.getElementById('w-notice');
    if (!text) {
      if (box) box.remove();
      return;
    }
    if (!box) {
      box = document.createElement('div');
      box.id = 'w-notice';
      box.setAttribute('role', 'alert');
      document.body.insertBefore(box, document.body.firstChild);
    }
    // A refusal stays in view while the page stays offline.
    const refusedBefore = box.querySelector('.w-notice-refused');
    const refusedText = refusedBefore ? refusedBefore.textContent : '';
    box.textContent = '';
    const line = document.createElement('span');
    line.textContent = text;
    box.appendChild(line);
    if (buttonLabel) {
      const b = document.createElement('button');
      b.type = 'button';
      b.textContent = buttonLabel;
      b.addEventListener('click', onButton);
      box.appendChild(b);
    }
    const refused = document.createElement('span');
    refused.className = 'w-notice-refused';
    refused.textContent = refusedText;
    box.appendChild(refused);
  }

  function clock(t) {
    const d = new Date(t);
    return [d.getHours(), d.getMinutes(), d.getSeconds()].map((n) => String(n).padStart(2, '0')).join(':');
  }

  // Every connection indicator (web::ConnectionStatus) shows the link and
  // the time of the last update, in words and a shape.
  function paintStatus() {
    const live = state.connected;
    const words = live ? 'Connected' : state.connects ? 'Not connected' : 'Connecting\u2026';
    for (const el of document.querySelectorAll('.w-connection')) {
      el.classList.toggle('w-conn-live', live);
      el.classList.toggle('w-conn-lost', !live && state.connects > 0);
      el.textContent = '';
      const mark = document.createElement('span');
      mark.className = 'w-conn-mark';
      mark.setAttribute('aria-hidden', 'true');
      const text = document.createElement('span');
      text.className = 'w-conn-text';
      text.textContent = words;
      const time = document.createElement('span');
      time.className = 'w-conn-time';
      time.textContent = 'Last update ' + clock(state.lastUpdate);
      el.append(mark, text, time);
    }
  }

  function apply(message) {
    if (message.r) {  // receipts of the person's actions
      for (const n of Array.from(pending.keys())) if (n <= message.r) pending.delete(n);
      return;
    }
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
    state.lastUpdate = Date.now();
    paintStatus();
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

  // action: the event is a person's action (numbered, with a receipt).
  function listen(domType, type, action) {
    document.addEventListener(domType, function (e) {
      const event = describe(e.target, type);
      if (event) send(event, action ? e.target : undefined);
    });
  }
  listen('click', 'click', true);
  listen('dblclick', 'dblclick', true);
  listen('change', 'change', true);
  listen('focusin', 'focus', false);
  listen('focusout', 'blur', false);

  // Arrow keys, Home and End move between the tabs of a tab list, and the
  // tab reached is opened.
  document.addEventListener('keydown', function (e) {
    const tab = e.target.closest && e.target.closest('[role=tab]');
    const list = tab && tab.closest('[role=tablist]');
    if (!list || e.altKey || e.ctrlKey || e.metaKey) return;
    const tabs = Array.from(list.querySelectorAll('[role=tab]')).filter((t) => !t.disabled);
    const i = tabs.indexOf(tab);
    const next = e.key === 'ArrowRight' ? tabs[(i + 1) % tabs.length]
      : e.key === 'ArrowLeft' ? tabs[(i - 1 + tabs.length) % tabs.length]
        : e.key === 'Home' ? tabs[0] : e.key === 'End' ? tabs[tabs.length - 1] : null;
    if (!next) return;
    e.preventDefault();
    next.focus();
    if (next !== tab) next.click();
  });

  document.addEventListener('keydown', function (e) {
    const named = e.key === 'Enter' ? 'enter' : e.key === 'Escape' ? 'escape' : null;
    const event = describe(e.target, 'keydown') || (named && describe(e.target, named));
    if (!event) return;
    event.e = 'keydown';
    event.k = e.key;
    send(event, e.key === 'Enter' ? e.target : undefined);
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
      send({ e: 'drop', id: table.id, a: cell.getAttribute('data-arg'), s: dragSource.arg }, cell);
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
    pending: pending,
    drop: function () {
      if (socket) socket.close();
    },
  };

  paintStatus();
  connect();
})();
