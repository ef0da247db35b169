// The operator page. Everything shown comes from the station as data and is placed with
// textContent or as SVG elements: no text from a board, plan or file is ever parsed as markup.
'use strict';

(() => {
  const TOKEN_KEY = 'station.token';
  const SVG = 'http://www.w3.org/2000/svg';
  const $ = (id) => document.getElementById(id);

  let token = '';
  let offsetMs = 0;  // the station's clock minus ours
  let historyKey = null;
  let historyTimer = 0;
  let boardQuery = '';
  const tiles = new Map();
  // Milliseconds from a change in the station to the page showing it; read by the browser test.
  // Also the part of it spent in the station, up to the state being taken for sending.
  const latencies = [], stationPart = [];
  window.stationLatencies = latencies;
  window.stationLatenciesInStation = stationPart;

  function el(tag, cls, text) {
    const node = document.createElement(tag);
    if (cls) node.className = cls;
    if (text !== undefined) node.textContent = text;
    return node;
  }

  function svg(tag, attrs, text) {
    const node = document.createElementNS(SVG, tag);
    for (const [k, v] of Object.entries(attrs)) node.setAttribute(k, String(v));
    if (text !== undefined) node.textContent = text;
    return node;
  }

  function showMessage(text) {
    const box = $('message');
    box.textContent = text;
    box.hidden = !text;
  }

  // --- the token: taken from the address the station printed, then kept by this browser only.
  function takeToken() {
    const params = new URLSearchParams(location.search);
    if (params.has('token')) {
      localStorage.setItem(TOKEN_KEY, params.get('token'));
      history.replaceState(null, '', location.pathname);
    }
    token = localStorage.getItem(TOKEN_KEY) || '';
  }

  function setLocked(locked, why) {
    document.body.classList.toggle('locked', locked);
    $('unlock').hidden = !locked;
    $('token-form').hidden = !(locked && why);
    $('token-error').textContent = why || '';
    for (const t of tiles.values()) t.update(t.slot);
  }
  const locked = () => document.body.classList.contains('locked');

  async function post(path, body) {
    let res;
    try {
      res = await fetch(path, {
        method: 'POST',
        headers: {'Content-Type': 'application/json', 'X-Station-Token': token},
        body: JSON.stringify(body),
      });
    } catch (e) {
      return {ok: false, error: 'the station does not answer'};
    }
    const data = await res.json().catch(() => ({}));
    if (res.status === 401 || (res.status === 403 && data.error === 'wrong token')) {
      localStorage.removeItem(TOKEN_KEY);
      token = '';
      setLocked(true, 'The station refused the token: enter the one it printed.');
    }
    return {ok: res.ok, error: data.error || res.statusText};
  }

  async function checkToken() {
    if (!token) return setLocked(true, '');
    const r = await post('/api/token', {});
    if (r.ok) setLocked(false);
  }

  // --- slot tiles
  function makeTile(name) {
    const t = {root: el('section', 'tile')};
    t.root.dataset.slot = name;
    const head = el('div', 'head');
    t.name = el('div', 'name');
    t.port = el('div', 'port');
    head.append(t.name, t.port);
    t.board = el('div', 'board');
    t.step = el('div', 'step');
    const bar = el('div', 'bar');
    t.fill = el('div');
    bar.append(t.fill);
    t.prompt = el('div', 'prompt');
    t.promptText = el('span', 'prompt-text');
    t.countdown = el('span', 'countdown');
    t.prompt.append(t.promptText, t.countdown);
    t.confirm = el('div', 'confirm-box');
    t.question = el('div', 'question');
    const answers = el('div', 'answers');
    t.yes = el('button', 'yes', 'Yes');
    t.no = el('button', 'no', 'No');
    answers.append(t.yes, t.no);
    t.confirm.append(t.question, answers);
    // A scanner types the serial number and Enter: the form sends it.
    t.identify = el('form', 'identify-box');
    t.identifyQuestion = el('div', 'question');
    t.serial = el('input', 'serial');
    t.serial.type = 'text';
    t.serial.maxLength = 64;
    t.serial.autocomplete = 'off';
    t.serial.autofocus = true;
    t.serial.setAttribute('aria-label', 'Serial number');
    t.submit = el('button', 'submit', 'Submit');
    t.submit.type = 'submit';
    t.identify.append(t.identifyQuestion, t.serial, t.submit);
    t.verdict = el('div', 'verdict');
    t.verdictWord = el('span', 'word');
    t.detail = el('span', 'detail');
    t.verdict.append(t.verdictWord, t.detail);
    t.note = el('div', 'note');
    t.start = el('button', 'start', 'Start');
    t.root.append(head, t.board, t.step, bar, t.prompt, t.confirm, t.identify, t.verdict,
                  el('div', 'spacer'), t.note, t.start);

    const act = async (path, body, buttons) => {
      for (const b of buttons) b.disabled = true;
      t.note.textContent = '';
      const r = await post(path, body);
      if (!r.ok) t.note.textContent = r.error;
      t.update(t.slot);
    };
    t.start.addEventListener('click', () => act('/api/start', {slot: name}, [t.start]));
    t.yes.addEventListener('click', () => act('/api/answer', {slot: name, yes: true}, [t.yes, t.no]));
    t.no.addEventListener('click', () => act('/api/answer', {slot: name, yes: false}, [t.yes, t.no]));
    t.identify.addEventListener('submit', (e) => {
      e.preventDefault();
      act('/api/identity', {slot: name, text: t.serial.value}, [t.submit])
          .then(() => t.serial.select());
    });

    t.update = (s) => {
      t.slot = s;
      const busy = s.phase === 'running' || s.phase === 'confirm' || s.phase === 'identify';
      t.root.className = 'tile ' + s.phase;
      t.name.textContent = s.name;
      t.port.textContent = s.port;
      t.board.textContent = s.board || (busy ? 'reading board…' : 'no board');
      t.board.classList.toggle('muted', !s.board);
      let stepText = busy ? 'Starting' : 'Ready';
      if (s.step > 0 && s.steps > 0) {
        stepText = `Step ${s.step} of ${s.steps}` + (s.stepName ? ` · ${s.stepName}` : '');
        if (s.attempt > 1) stepText += ` (try ${s.attempt})`;
      }
      t.step.textContent = stepText;
      const done = s.phase === 'running' ? s.step - 1 : s.step;
      t.fill.style.width = s.steps > 0 ? `${Math.max(0, Math.min(1, done / s.steps)) * 100}%` : '0';
      t.prompt.hidden = !(s.phase === 'running' && s.prompt);
      t.promptText.textContent = s.prompt;
      t.confirm.hidden = s.phase !== 'confirm';
      t.question.textContent = s.confirm;
      t.yes.disabled = t.no.disabled = locked();
      const asked = t.identify.hidden && s.phase === 'identify';
      t.identify.hidden = s.phase !== 'identify';
      t.identifyQuestion.textContent = s.prompt;
      t.serial.disabled = t.submit.disabled = locked();
      if (asked) {
        t.serial.value = '';
        t.serial.focus();
      }
      t.verdict.hidden = busy || !s.verdict;
      t.verdict.className = 'verdict ' + s.verdict;
      t.verdictWord.textContent = s.verdict;
      t.detail.textContent = s.verdict === 'FAIL' ?
          [s.failedStep, s.failedReading].filter(Boolean).join(': ') : '';
      t.start.disabled = busy || locked();
      tick(t);
    };
    return t;
  }

  function tick(t) {
    const s = t.slot;
    if (!s || !s.promptDeadlineMs) return void (t.countdown.textContent = '');
    const left = Math.max(0, Math.ceil((s.promptDeadlineMs - (Date.now() + offsetMs)) / 1000));
    t.countdown.textContent = `${left} s`;
  }

  function onState(state) {
    offsetMs = state.serverMs - Date.now();
    $('station').textContent = state.station;
    $('plan').textContent = state.plan;
    document.title = state.station;
    const view = $('view-line');
    const names = new Set();
    state.slots.forEach((s, i) => {
      names.add(s.name);
      let t = tiles.get(s.name);
      if (!t) tiles.set(s.name, t = makeTile(s.name));
      if (view.children[i] !== t.root) view.insertBefore(t.root, view.children[i] || null);
      t.update(s);
    });
    for (const [name, t] of tiles)
      if (!names.has(name)) {
        t.root.remove();
        tiles.delete(name);
      }
    if (state.changeMs > 0) {
      latencies.push(Date.now() - state.changeMs);
      stationPart.push(state.serverMs - state.changeMs);
      if (latencies.length > 10000) latencies.shift(), stationPart.shift();
    }
    const key = state.slots.map((s) => `${s.runId}:${s.phase}:${s.verdict}:${s.board}`).join('|');
    if (key !== historyKey) {
      historyKey = key;
      clearTimeout(historyTimer);
      historyTimer = setTimeout(refreshHistory, 200);
    }
  }

  // --- the live stream; EventSource reconnects by itself, and after giving up we start anew.
  function connect() {
    const source = new EventSource('/api/events');
    source.addEventListener('state', (ev) => {
      $('link').textContent = 'live';
      $('link').className = 'link up';
      onState(JSON.parse(ev.data));
    });
    source.addEventListener('open', () => {
      historyKey = null;
      if (token) checkToken();
    });
    source.addEventListener('error', () => {
      $('link').textContent = 'station not answering';
      $('link').className = 'link down';
      if (source.readyState === EventSource.CLOSED) setTimeout(connect, 2000);
    });
  }

  // --- history and yield
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

  async function refreshHistory() {
    const since = todayMs();
    const q = encodeURIComponent(boardQuery);
    try {
      const [runs, y] = await Promise.all([
        getJson(boardQuery ? `/api/history?board=${q}` : `/api/runs?since=${since}`),
        getJson(`/api/yield?since=${since}`),
      ]);
      renderRuns(runs);
      $('yield-first').textContent = percent(y.firstPassYield, y.boards);
      $('yield-final').textContent = percent(y.finalYield, y.boards);
      $('yield-boards').textContent = String(y.boards);
      $('yield-runs').textContent = String(y.runs);
      renderChart(y.failuresByStep);
      showMessage('');
    } catch (e) {
      showMessage(`History unavailable: ${e.message}`);
    }
    $('runs-title').textContent = boardQuery ? `Board ${boardQuery}` : "Today's runs";
    $('board-clear').hidden = !boardQuery;
    $('csv').href = boardQuery ? `/api/runs.csv?board=${q}` : `/api/runs.csv?since=${since}`;
  }

  function renderRuns(runs) {
    const body = $('runs');
    body.replaceChildren();
    runs.sort((a, b) => b.startedMs - a.startedMs);
    for (const r of runs) {
      const row = el('tr');
      row.dataset.run = String(r.id);
      const when = new Date(r.startedMs);
      const time = boardQuery ? when.toLocaleString() : when.toLocaleTimeString();
      const board = el('td', 'board-cell');
      const link = el('a', '', r.board);
      link.href = '#';
      link.addEventListener('click', (ev) => {
        ev.preventDefault();
        $('board-input').value = r.board;
        boardQuery = r.board;
        refreshHistory();
      });
      board.append(link);
      const failed = [r.failedStep, r.failedReading].filter(Boolean).join(': ');
      row.append(el('td', 'nowrap', time), board, el('td', '', r.slot),
                 el('td', r.verdict, r.verdict || 'running'), el('td', '', failed));
      body.append(row);
    }
    if (!runs.length) {
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
    // Each step's name above its bar: names as written can be long.
    const rowH = 46, width = 560, barMax = width - 50;
    const most = Math.max(...stats.map((s) => s.failures));
    const chart = svg('svg', {viewBox: `0 0 ${width} ${stats.length * rowH}`, role: 'img'});
    chart.append(svg('title', {}, 'Failures by step'));
    stats.forEach((s, i) => {
      const y = i * rowH;
      const w = Math.max(2, (s.failures / most) * barMax);
      const g = svg('g', {class: 'bar-row'});
      g.append(svg('text', {x: 0, y: y + 16, fill: '#eef0f3', 'font-size': 15}, s.step));
      g.append(svg('rect', {x: 0, y: y + 22, width: w, height: 16, rx: 3, fill: '#c0392b'}));
      g.append(svg('text', {x: w + 8, y: y + 36, fill: '#eef0f3', 'font-size': 15,
                            class: 'count'}, String(s.failures)));
      chart.append(g);
    });
    box.append(chart);
  }

  // --- wiring
  function showTab(name) {
    $('view-line').hidden = name !== 'line';
    $('view-history').hidden = name !== 'history';
    $('tab-line').classList.toggle('active', name === 'line');
    $('tab-history').classList.toggle('active', name === 'history');
    if (name === 'history') refreshHistory();
  }

  document.addEventListener('DOMContentLoaded', () => {
    takeToken();
    $('tab-line').addEventListener('click', () => showTab('line'));
    $('tab-history').addEventListener('click', () => showTab('history'));
    $('unlock').addEventListener('click', () => setLocked(true, ' '));
    $('token-cancel').addEventListener('click', () => ($('token-form').hidden = true));
    $('token-form').addEventListener('submit', (ev) => {
      ev.preventDefault();
      token = $('token-input').value.trim();
      localStorage.setItem(TOKEN_KEY, token);
      $('token-input').value = '';
      checkToken();
    });
    $('board-form').addEventListener('submit', (ev) => {
      ev.preventDefault();
      boardQuery = $('board-input').value.trim();
      refreshHistory();
    });
    $('board-clear').addEventListener('click', () => {
      boardQuery = '';
      $('board-input').value = '';
      refreshHistory();
    });
    setInterval(() => tiles.forEach(tick), 250);
    setLocked(!token, '');
    connect();
  });
})();
