// The operator page. Everything shown comes from the station as data and is placed with
// textContent or as SVG elements: no text from a board, plan or file is ever parsed as markup.
// Scans: a scanner types into the field that has focus. The page never moves focus while a
// serial field holds typed text; with several slots asking, the operator picks the slot's
// field; after a submit, focus goes to the next slot that asks.
'use strict';

(() => {
  const SVG = 'http://www.w3.org/2000/svg';
  const $ = (id) => document.getElementById(id);

  let unlocked = false;
  let linkRefused = false;  // its note goes once the page is unlocked
  let offline = true;
  let offsetMs = 0;  // the station's clock minus ours
  let lastState = null;
  let historyTimer = 0;
  let boardQuery = '';
  const tiles = new Map();
  const runs = new Map();  // today's runs held, by id
  // Milliseconds from a change in the station to the page showing it; read by the browser test.
  // Also the part of it spent in the station, up to the state being taken for sending.
  const latencies = [], stationPart = [];
  window.stationLatencies = latencies;
  window.stationLatenciesInStation = stationPart;

  // Direction overrides from outside would turn the text around them: shown, not obeyed.
  const clean = (value) => String(value ?? '').replace(/[\u202a-\u202e\u2066-\u2069]/g, '\ufffd');

  function el(tag, cls, text) {
    const node = document.createElement(tag);
    if (cls) node.className = cls;
    if (text !== undefined) node.textContent = clean(text);
    return node;
  }

  // Long texts are cut to a few lines; the whole of one is on hover.
  function put(node, text) {
    node.textContent = clean(text);
    node.title = node.textContent.length > 40 ? node.textContent : '';
  }

  function svg(tag, attrs, text) {
    const node = document.createElementNS(SVG, tag);
    for (const [k, v] of Object.entries(attrs)) node.setAttribute(k, String(v));
    if (text !== undefined) node.textContent = clean(text);
    return node;
  }

  function showMessage(text) {
    $('message').textContent = text;
    $('message').hidden = !text;
  }

  function announce(text) {
    $('announce').textContent = clean(text);
  }

  // --- unlocking: a session cookie from the printed link or the typed token; the token
  // itself is never kept by the page.
  function setLocked(locked, why) {
    unlocked = !locked;
    if (unlocked && linkRefused) showMessage(''), linkRefused = false;
    document.body.classList.toggle('locked', locked);
    $('unlock').hidden = !locked;
    $('pair').hidden = locked;
    $('token-form').hidden = !(locked && why);
    $('token-error').textContent = why || '';
    $('repair-submit').disabled = locked;
    for (const t of tiles.values()) if (t.slot) t.update(t.slot);
  }

  async function checkSession() {
    try {
      const res = await fetch('/api/session');
      setLocked(!(await res.json()).unlocked, '');
    } catch (e) { /* offline: the stream says so */ }
  }

  async function post(path, body, token) {
    const headers = {'Content-Type': 'application/json'};
    if (token) headers['X-Station-Token'] = token;
    let res;
    try {
      res = await fetch(path, {method: 'POST', headers, body: JSON.stringify(body)});
    } catch (e) {
      return {ok: false, error: 'the station does not answer'};
    }
    const data = await res.json().catch(() => ({}));
    if (res.status === 401 || (res.status === 403 && data.error === 'wrong token'))
      setLocked(true, 'The station refused: enter its token.');
    return {ok: res.ok, error: data.error || res.statusText, link: data.link};
  }

  // --- slot tiles
  function makeTile(name) {
    const t = {root: el('section', 'tile'), name};
    t.root.dataset.slot = name;
    const id = 'slot-' + tiles.size;
    const head = el('div', 'head');
    t.title = el('h2', 'name');
    t.title.id = id;
    t.root.setAttribute('aria-labelledby', id);
    t.port = el('bdi', 'port');
    head.append(t.title, t.port);
    t.board = el('bdi', 'board');
    t.step = el('div', 'step');
    const bar = el('div', 'bar');
    bar.setAttribute('role', 'progressbar');
    bar.setAttribute('aria-label', 'Progress of slot ' + clean(name));
    t.bar = bar;
    t.fill = el('div');
    bar.append(t.fill);
    t.prompt = el('div', 'prompt');
    t.promptText = el('bdi', 'prompt-text');
    t.countdown = el('span', 'countdown');
    t.prompt.append(t.promptText, t.countdown);
    t.confirm = el('div', 'confirm-box');
    t.question = el('bdi', 'question');
    const answers = el('div', 'answers');
    t.yes = el('button', 'yes', 'Yes');
    t.no = el('button', 'no', 'No');
    t.yes.setAttribute('aria-label', 'Yes, slot ' + clean(name));
    t.no.setAttribute('aria-label', 'No, slot ' + clean(name));
    answers.append(t.yes, t.no);
    t.confirm.append(t.question, answers);
    t.identify = el('form', 'identify-box');
    t.identifyQuestion = el('bdi', 'question');
    t.serial = el('input', 'serial');
    t.serial.type = 'text';
    t.serial.maxLength = 64;
    t.serial.autocomplete = 'off';
    t.serial.setAttribute('aria-label', 'Serial number for slot ' + clean(name));
    t.submit = el('button', 'submit', 'Submit');
    t.submit.type = 'submit';
    t.submit.setAttribute('aria-label', 'Submit serial number for slot ' + clean(name));
    t.identify.append(t.identifyQuestion, t.serial, t.submit);
    t.verdict = el('div', 'verdict');
    t.verdictWord = el('span', 'word');
    t.detail = el('bdi', 'detail');
    t.verdict.append(t.verdictWord, t.detail);
    // The station's word on the slot (a missing board, an output that failed); the note
    // below it is this page's own request's.
    t.slotNote = el('bdi', 'slot-note');
    t.note = el('div', 'note');
    t.start = el('button', 'start', 'Start');
    t.start.setAttribute('aria-label', 'Start slot ' + clean(name));
    t.root.append(head, t.board, t.step, bar, t.prompt, t.confirm, t.identify, t.verdict,
                  el('div', 'spacer'), t.slotNote, t.note, t.start);
    wireTile(t);
    t.update = (s) => updateTile(t, s);
    return t;
  }

  function wireTile(t) {
    const act = async (path, body, buttons) => {
      for (const b of buttons) b.disabled = true;
      t.note.textContent = '';
      const r = await post(path, body);
      // A note belongs to the state that caused it: the next change of the slot clears it.
      if (!r.ok) t.note.textContent = clean(r.error), t.noteKey = stateKey(t.slot);
      t.update(t.slot);
      return r.ok;
    };
    t.start.addEventListener('click', () => act('/api/start', {slot: t.name}, [t.start]));
    t.yes.addEventListener('click', () => act('/api/answer', {slot: t.name, yes: true}, [t.yes, t.no]));
    t.no.addEventListener('click', () => act('/api/answer', {slot: t.name, yes: false}, [t.yes, t.no]));
    t.identify.addEventListener('submit', async (e) => {
      e.preventDefault();
      if (await act('/api/identity', {slot: t.name, text: t.serial.value}, [t.submit])) {
        t.serial.value = '';
        focusNextAsking(t);
      } else {
        t.serial.select();
      }
    });
  }

  const stateKey = (s) => s && `${s.runId}:${s.phase}:${s.step}:${s.attempt}`;
  const asking = (t) => t.slot && t.slot.phase === 'identify';
  // A serial field holding typed text keeps the focus whatever else happens.
  const typing = () => document.activeElement?.classList.contains('serial') &&
      document.activeElement.value !== '';

  function focusNextAsking(from) {
    const order = [...tiles.values()];
    const at = order.indexOf(from);
    for (let i = 1; i <= order.length; ++i) {
      const t = order[(at + i) % order.length];
      if (t !== from && asking(t) && !t.serial.disabled) return void t.serial.focus();
    }
    document.activeElement?.blur();
  }

  function updateTile(t, s) {
    const before = t.slot;
    t.slot = s;
    const busy = s.phase === 'running' || s.phase === 'confirm' || s.phase === 'identify';
    const off = offline || !unlocked;
    t.root.className = `tile ${s.phase} verdict-${s.verdict || 'none'}`;
    put(t.title, s.name);
    put(t.port, s.port);
    // The variant once the board's type chose its plan.
    const named = s.variant ? `${s.board} · ${s.variant}` : s.board;
    put(t.board, named || (busy ? 'reading board…' : 'no board'));
    t.board.classList.toggle('muted', !s.board);
    let stepText = busy ? 'Starting' : 'Ready';
    if (s.step > 0 && s.steps > 0) {
      stepText = `Step ${s.step} of ${s.steps}` + (s.stepName ? ` · ${s.stepName}` : '');
      if (s.attempt > 1) stepText += ` (try ${s.attempt})`;
    }
    put(t.step, stepText);
    // The step on the line (running, or asking the operator) is not done yet.
    const done = busy ? s.step - 1 : s.step;
    const share = s.steps > 0 ? Math.max(0, Math.min(1, done / s.steps)) : 0;
    t.fill.style.width = `${share * 100}%`;
    t.bar.setAttribute('aria-valuenow', String(Math.round(share * 100)));
    t.prompt.hidden = !(s.phase === 'running' && s.prompt);
    put(t.promptText, s.prompt);
    t.confirm.hidden = s.phase !== 'confirm';
    put(t.question, s.confirm);
    t.yes.disabled = t.no.disabled = off;
    const newlyAsked = s.phase === 'identify' && (!before || before.phase !== 'identify');
    t.identify.hidden = s.phase !== 'identify';
    put(t.identifyQuestion, s.prompt);
    t.serial.disabled = t.submit.disabled = off;
    if (newlyAsked) {
      t.serial.value = '';
      const others = [...tiles.values()].some((o) => o !== t && asking(o));
      if (!typing() && !others && !off) t.serial.focus();
    }
    t.verdict.hidden = busy || !s.verdict;
    t.verdict.className = 'verdict ' + s.verdict;
    t.verdictWord.textContent = clean(s.verdict);
    put(t.detail, s.verdict === 'PASS' ? '' :
        [s.failedStep, s.failedReading].filter(Boolean).join(': '));
    t.start.disabled = busy || off;
    put(t.slotNote, s.note);
    if (t.noteKey !== undefined && t.noteKey !== stateKey(s)) t.note.textContent = '', t.noteKey = undefined;
    if (before && before.verdict !== s.verdict && s.verdict && !busy)
      announce(`Slot ${s.name}: ${s.verdict}`);
    else if (s.phase !== 'running' && before && stateKey(before) !== stateKey(s) && busy)
      announce(`Slot ${s.name} asks: ${s.phase === 'confirm' ? s.confirm : s.prompt}`);
    else if (s.phase === 'running' && s.prompt && before && before.prompt !== s.prompt)
      announce(`Slot ${s.name}: ${s.prompt}`);
    tick(t);
  }

  function tick(t) {
    const s = t.slot;
    if (!s || !s.promptDeadlineMs) return void (t.countdown.textContent = '');
    const left = Math.max(0, Math.ceil((s.promptDeadlineMs - (Date.now() + offsetMs)) / 1000));
    t.countdown.textContent = `${left} s`;
  }

  // --- slots that ask while out of sight are named in the header; a tile cut by the screen's
  // edge counts as out of sight, since its question or buttons may be what is cut.
  const seen = new Set();
  const watcher = 'IntersectionObserver' in window ? new IntersectionObserver((entries) => {
    for (const e of entries) {
      if (e.intersectionRatio >= 0.99) seen.add(e.target.dataset.slot);
      else seen.delete(e.target.dataset.slot);
    }
    flagHidden();
  }, {threshold: [0, 0.5, 0.99, 1]}) : null;

  function flagHidden() {
    const hidden = [...tiles.values()].filter((t) => t.slot && t.slot.phase !== 'running' &&
        t.slot.phase !== 'idle' && t.slot.phase !== 'done' &&
        ($('view-line').hidden || !seen.has(t.name)));
    const b = $('offscreen');
    b.hidden = !hidden.length;
    b.textContent = hidden.length ? `Asking: slot ${hidden.map((t) => clean(t.name)).join(', ')}` : '';
    b.onclick = () => {
      showTab('line');
      hidden[0]?.root.scrollIntoView({block: 'nearest'});
    };
  }

  function renderOutboxes(list) {
    const box = $('outboxes');
    box.replaceChildren(...(list || []).map((o) => {
      const since = o.oldestMs ? ` since ${new Date(o.oldestMs).toLocaleTimeString()}` : '';
      const item = el('li');
      item.append(el('bdi', '', o.target), `: ${o.waiting} results waiting${since}`);
      if (o.setAside) item.append(` · ${o.setAside} refused for good`);
      if (o.lastError) item.append(' · last error: ', el('bdi', '', o.lastError));
      item.title = item.textContent;  // one line each, so the tiles keep their room
      return item;
    }));
    box.hidden = !box.children.length;
  }

  function onState(state) {
    lastState = state;
    offsetMs = state.serverMs - Date.now();
    setOffline(false);
    put($('station'), state.station);
    put($('plan'), state.plan);
    document.title = clean(state.station);
    renderOutboxes(state.outboxes);
    const view = $('view-line');
    const names = new Set();
    state.slots.forEach((s, i) => {
      names.add(s.name);
      let t = tiles.get(s.name);
      if (!t) {
        tiles.set(s.name, t = makeTile(s.name));
        watcher?.observe(t.root);
      }
      if (view.children[i] !== t.root) view.insertBefore(t.root, view.children[i] || null);
      t.update(s);
    });
    for (const [name, t] of tiles)
      if (!names.has(name)) {
        watcher?.unobserve(t.root);
        t.root.remove();
        tiles.delete(name);
      }
    if (state.changeMs > 0) {
      latencies.push(Date.now() - state.changeMs);
      stationPart.push(state.serverMs - state.changeMs);
      if (latencies.length > 10000) latencies.shift(), stationPart.shift();
    }
    flagHidden();
    if (!$('view-history').hidden) {
      clearTimeout(historyTimer);
      historyTimer = setTimeout(refreshHistory, 300);
    }
  }

  // While the station does not answer, nothing on the page may look live.
  function setOffline(down, why) {
    if (down === offline && !why) return;
    offline = down;
    document.body.classList.toggle('offline', down);
    $('link').textContent = down ? 'station not answering' : 'live';
    $('link').className = 'link ' + (down ? 'down' : 'up');
    $('offline').hidden = !down;
    $('offline').textContent = down ? (why || 'The station does not answer: what is shown ' +
        'may be out of date, and nothing can be started.') : '';
    for (const t of tiles.values()) if (t.slot) t.update(t.slot);
    if (!down) checkSession();
  }

  // --- the live stream. One tab of a browser holds it and passes every state to the others:
  // each stream would take one of the browser's six connections to the station.
  const channel = 'BroadcastChannel' in window ? new BroadcastChannel('station-page') : null;

  function share(message) {
    channel?.postMessage(message);
  }

  async function readStream() {
    const res = await fetch('/api/events', {headers: {Accept: 'text/event-stream'}});
    if (!res.ok) {
      // Refused (too many pages): show the state all the same, and why it does not move.
      const why = (await res.json().catch(() => ({}))).error || res.statusText;
      await poll(`The station refused this page's live updates: ${why}. Updating every 3 s.`);
      return 3000;
    }
    const reader = res.body.pipeThrough(new TextDecoderStream()).getReader();
    let buffer = '';
    for (;;) {
      const {value, done} = await reader.read();
      if (done) return 1000;
      buffer += value;
      for (let end; (end = buffer.indexOf('\n\n')) >= 0; buffer = buffer.slice(end + 2)) {
        const block = buffer.slice(0, end);
        const event = /^event: (.*)$/m.exec(block)?.[1];
        const data = /^data: (.*)$/m.exec(block)?.[1];
        if (event === 'state' && data) {
          const state = JSON.parse(data);
          onState(state);
          share({state});
        }
      }
    }
  }

  async function poll(why) {
    const res = await fetch('/api/state');
    const state = await res.json();
    onState(state);
    share({state});
    showMessage(why);
  }

  async function lead() {
    for (;;) {
      let wait = 1000;
      try {
        wait = await readStream();
      } catch (e) { /* the station went away */ }
      if (wait === 1000) showMessage('');
      if (wait === 1000) setOffline(true), share({offline: true});
      await new Promise((r) => setTimeout(r, wait));
    }
  }

  function follow() {
    channel.onmessage = (ev) => {
      const m = ev.data;
      if (m.hello && lastState) share({state: lastState, offline});
      if (m.state) onState(m.state);
      if (m.offline) setOffline(true);
    };
    share({hello: true});
  }

  function connect() {
    if (!channel || !navigator.locks) return void lead();
    follow();
    // Held until the tab closes; then the next tab in line takes the stream over.
    navigator.locks.request('station-stream', () => lead());
  }

  // --- history and yield: fetched only while shown, and then only what is new
  async function getJson(path) {
    const res = await fetch(path);
    const data = await res.json();
    if (!res.ok) throw new Error(data.error || res.statusText);
    return data;
  }

  function todayMs() {
    const d = new Date();
    d.setHours(0, 0, 0, 0);
    return d.getTime();
  }

  const percent = (x, boards) => (boards > 0 ? `${(x * 100).toFixed(1)}%` : '–');

  // From the oldest run still open, else the newest held: rows that end change.
  function sinceHeld() {
    let since = todayMs(), newest = 0, open = Infinity;
    for (const r of runs.values()) {
      if (r.startedMs < since) runs.delete(r.id);
      else if (!r.verdict) open = Math.min(open, r.startedMs);
      else newest = Math.max(newest, r.startedMs);
    }
    return Math.max(since, Math.min(open, newest || since));
  }

  async function refreshHistory() {
    const since = todayMs();
    const q = encodeURIComponent(boardQuery);
    try {
      const [rows, y, repairs] = await Promise.all([
        getJson(boardQuery ? `/api/history?board=${q}` : `/api/runs?since=${sinceHeld()}`),
        getJson(`/api/yield?since=${since}`),
        boardQuery ? getJson(`/api/repairs?board=${q}`) : [],
      ]);
      if (boardQuery) {
        renderRuns(rows, repairs);
      } else {
        for (const r of rows) runs.set(r.id, r);
        renderRuns([...runs.values()]);
      }
      $('yield-first').textContent = percent(y.firstPassYield, y.boards);
      $('yield-final').textContent = percent(y.finalYield, y.boards);
      $('yield-boards').textContent = String(y.boards);
      $('yield-runs').textContent = String(y.runs);
      renderChart(y.failuresByStep);
      showMessage('');
    } catch (e) {
      showMessage(`History unavailable: ${e.message}`);
    }
    put($('runs-title'), boardQuery ? `Board ${boardQuery}` : "Today's runs");
    $('board-clear').hidden = $('repair-form').hidden = !boardQuery;
    $('csv').href = boardQuery ? `/api/runs.csv?board=${q}` : `/api/runs.csv?since=${since}`;
  }

  function showBoard(board) {
    $('board-input').value = board;
    if (board !== boardQuery) put($('repair-error'), '');
    boardQuery = board;
    refreshHistory();
  }

  // What tested the board, one line under its run; a hash shortened, whole on hover.
  function traceRow(r) {
    const parts = [['variant', r.variant], ['station', r.stationVersion],
                   ['agent', r.agentVersion], ['port', r.port], ['operator', r.operator]]
        .filter(([, value]) => value).map(([label, value]) => [`${label} `, el('bdi', '', value)]);
    for (const i of r.images || []) {
      const hash = el('bdi', 'hash', String(i.sha256).slice(0, 12) + '…');
      hash.title = clean(i.sha256);
      parts.push(['image ', el('bdi', '', i.path), ' ', hash]);
    }
    const cell = el('td');
    cell.colSpan = 5;
    parts.forEach((p, i) => cell.append(...(i ? [' · '] : []), ...p));
    const row = el('tr', 'trace');
    row.append(cell);
    return row;
  }

  function repairRow(p) {
    const row = el('tr', 'repair');
    const who = el('td', '', 'repair');
    who.colSpan = 2;
    if (p.operator) who.append(' by ', el('bdi', '', p.operator));
    const note = el('td', 'failed', p.note);
    note.colSpan = 2;
    row.append(el('td', 'nowrap', new Date(p.atMs).toLocaleString()), who, note);
    return row;
  }

  // A board's repairs stand among its runs by time, newest first like the runs.
  function renderRuns(list, repairs = []) {
    const body = $('runs');
    body.replaceChildren();
    list.sort((a, b) => b.startedMs - a.startedMs);
    const later = [...repairs].sort((a, b) => b.atMs - a.atMs);
    const repairsSince = (ms) => {
      while (later.length && later[0].atMs >= ms) body.append(repairRow(later.shift()));
    };
    for (const r of list) {
      repairsSince(r.startedMs);
      const row = el('tr');
      row.dataset.run = String(r.id);
      const when = new Date(r.startedMs);
      const time = boardQuery ? when.toLocaleString() : when.toLocaleTimeString();
      const board = el('td', 'board-cell');
      if (r.board) {
        const link = el('a', '', r.board);
        link.href = '#';
        link.addEventListener('click', (ev) => {
          ev.preventDefault();
          showBoard(r.board);
        });
        board.append(link);
      } else {
        board.append(el('span', 'muted', 'not read'));
      }
      const failed = [r.failedStep, r.failedReading].filter(Boolean).join(': ');
      row.append(el('td', 'nowrap', time), board,
                 el('td', '', r.variant ? `${r.slot} · ${r.variant}` : r.slot),
                 el('td', 'verdict-cell ' + (r.verdict || ''), r.verdict || 'running'),
                 el('td', 'failed', failed));
      body.append(row);
      if (boardQuery) body.append(traceRow(r));
    }
    repairsSince(-Infinity);
    if (!list.length && !repairs.length) {
      const row = el('tr');
      const cell = el('td', 'muted', 'No runs yet.');
      cell.colSpan = 5;
      row.append(cell);
      body.append(row);
    }
  }

  function renderChart(stats) {
    const box = $('chart');
    box.replaceChildren();
    if (!stats.length) return void box.append(el('div', 'empty', 'No failures.'));
    // Each step's name above its bar, cut to fit: names as written can be long.
    const rowH = 46, width = 560, barMax = width - 50;
    const most = Math.max(...stats.map((s) => s.failures));
    const chart = svg('svg', {viewBox: `0 0 ${width} ${stats.length * rowH}`, role: 'img',
                              'aria-label': 'Failures by step'});
    chart.append(svg('title', {}, 'Failures by step'));
    stats.forEach((s, i) => {
      const y = i * rowH;
      const w = Math.max(2, (s.failures / most) * barMax);
      const g = svg('g', {class: 'bar-row'});
      const name = s.step.length > 60 ? s.step.slice(0, 59) + '…' : s.step;
      const label = svg('text', {x: 0, y: y + 16, fill: '#eef0f3', 'font-size': 15}, name);
      label.append(svg('title', {}, s.step));
      g.append(label);
      g.append(svg('rect', {x: 0, y: y + 22, width: w, height: 16, rx: 3, fill: '#e0604f'}));
      g.append(svg('text', {x: Math.min(w + 8, width - 40), y: y + 36, fill: '#eef0f3',
                            'font-size': 15, class: 'count'}, String(s.failures)));
      chart.append(g);
    });
    box.append(chart);
  }

  // --- wiring
  function showTab(name) {
    $('view-line').hidden = name !== 'line';
    $('view-history').hidden = name !== 'history';
    for (const tab of ['line', 'history']) {
      $('tab-' + tab).classList.toggle('active', name === tab);
      $('tab-' + tab).setAttribute('aria-pressed', String(name === tab));
    }
    if (name === 'history') refreshHistory();
    flagHidden();
  }

  document.addEventListener('DOMContentLoaded', () => {
    if (location.hash === '#link-refused') {
      linkRefused = true;
      showMessage('That link was used before or is too old: enter the station\'s token, or ' +
                  'open a new link from the station.');
      history.replaceState(null, '', '/');
    }
    $('tab-line').addEventListener('click', () => showTab('line'));
    $('tab-history').addEventListener('click', () => showTab('history'));
    $('unlock').addEventListener('click', () => setLocked(true, ' '));
    // A one-time link for another screen, shown here instead of on the station's terminal.
    $('pair').addEventListener('click', async () => {
      const r = await post('/api/pair', {});
      showMessage(r.ok ? `Open on the other screen within 10 minutes, once: ${r.link}` : r.error);
    });
    $('token-cancel').addEventListener('click', () => ($('token-form').hidden = true));
    $('token-form').addEventListener('submit', async (ev) => {
      ev.preventDefault();
      const typed = $('token-input').value.trim();
      $('token-input').value = '';
      if ((await post('/api/token', {}, typed)).ok) setLocked(false);
    });
    $('board-form').addEventListener('submit', (ev) => {
      ev.preventDefault();
      showBoard($('board-input').value.trim());
    });
    $('board-clear').addEventListener('click', () => showBoard(''));
    $('repair-form').addEventListener('submit', async (ev) => {
      ev.preventDefault();
      const r = await post('/api/repair', {board: boardQuery, note: $('repair-note').value});
      if (r.ok) $('repair-note').value = '';
      put($('repair-error'), r.ok ? '' : r.error);
      refreshHistory();
    });
    setInterval(() => tiles.forEach(tick), 250);
    setLocked(true, '');
    setOffline(true, 'Connecting to the station…');
    checkSession();
    connect();
  });
})();
