'use strict';
// The DTU console in a browser: log in, then the device list, kept live over a WebSocket.
(() => {
  const $ = (id) => document.getElementById(id);
  const PAGE = 100; // rows on screen: 5,000 DTUs stay fast
  let csrf = '';
  let rows = new Map(); // row number -> row
  let sortKey = 'row', sortDir = 1, page = 0;
  let socket = null, retry = null;
  let role = 'viewer', selected = null, paused = false;
  const MAX_LINES = 500; // the display's lines kept on the page
  let shownLines = [], heldLines = [];

  async function api(path, options = {}) {
    const headers = Object.assign({'Content-Type': 'application/json'}, options.headers || {});
    if (options.method && options.method !== 'GET') headers['X-CSRF-Token'] = csrf;
    const r = await fetch(path, Object.assign({}, options, {headers, credentials: 'same-origin'}));
    const body = await r.json().catch(() => ({}));
    return {status: r.status, body};
  }

  function showLogin(message) {
    $('app').hidden = true; $('logout').hidden = true; $('login').hidden = false;
    $('who').textContent = '';
    $('loginError').textContent = message || '';
    setLink('未连接', '');
    if (socket) { socket.onclose = null; socket.close(); socket = null; }
  }

  function showApp(session) {
    csrf = session.csrf;
    $('login').hidden = true; $('app').hidden = false; $('logout').hidden = false;
    $('who').textContent = session.user + ' (' + {viewer: '查看', operator: '操作员', admin: '管理员'}[session.role] + ')';
    role = session.role;
    $('adminTools').hidden = role !== 'admin';
    $('operatorTools').hidden = role === 'viewer';
    $('adminRowTools').hidden = role !== 'admin';
    connect();
  }

  function setLink(text, cls) { const l = $('link'); l.textContent = text; l.className = 'link ' + cls; }

  function connect() {
    if (retry) { clearTimeout(retry); retry = null; }
    const url = (location.protocol === 'https:' ? 'wss://' : 'ws://') + location.host + location.pathname.replace(/[^/]*$/, '') + 'ws';
    socket = new WebSocket(url);
    socket.onopen = () => setLink('已连接', 'up');
    socket.onmessage = (e) => apply(JSON.parse(e.data));
    socket.onclose = async () => {
      socket = null;
      const s = await api('api/session').catch(() => ({status: 0}));
      if (s.status === 401) { showLogin('会话已结束，请重新登录'); return; }
      setLink('已断开，正在重连…', 'down');
      retry = setTimeout(connect, 2000);
    };
  }

  function apply(m) {
    if (m.type === 'display') { shownLines = []; addLines(m.lines); return; }
    if (m.type === 'lines') { addLines(m.lines); return; }
    if (m.type === 'logSnapshot') { $('log').textContent = ''; addLog(m.lines); return; }
    if (m.type === 'log') { addLog(m.lines); return; }
    if (m.type === 'snapshot') rows = new Map();
    for (const r of m.rows) rows.set(r.row, r);
    $('online').textContent = m.online; $('total').textContent = m.total;
    render();
  }

  function addLines(lines) {
    if (paused) { heldLines.push(...lines); heldLines = heldLines.slice(-MAX_LINES); $('pausedNote').textContent = '已暂停，' + heldLines.length + '行待显示'; return; }
    shownLines.push(...lines);
    shownLines = shownLines.slice(-MAX_LINES);
    const d = $('display');
    d.textContent = shownLines.join('\n');
    d.scrollTop = d.scrollHeight;
  }

  function addLog(lines) {
    const ul = $('log');
    for (const line of lines) {
      const li = document.createElement('li');
      li.textContent = line;
      ul.insertBefore(li, ul.firstChild); // newest first, as the window shows it
    }
    while (ul.children.length > 100) ul.removeChild(ul.lastChild);
  }

  async function act(path, body) {
    const r = await api(path, {method: 'POST', body: JSON.stringify(body || {})});
    const out = $('actionResult');
    out.className = 'result' + (r.status === 200 ? '' : ' bad');
    out.textContent = r.status === 200 ? '已执行' : (r.body.error || ('失败 (' + r.status + ')'));
    if (r.status === 401) showLogin('会话已结束，请重新登录');
    return r.status === 200;
  }

  let details = null, hours = 24;
  const SVG = 'http://www.w3.org/2000/svg';
  const svgEl = (name, attrs) => { const e = document.createElementNS(SVG, name); for (const k in attrs) e.setAttribute(k, attrs[k]); return e; };
  const stamp = (ms) => { const d = new Date(ms); const p = (n) => String(n).padStart(2, '0');
    return d.getFullYear() + '-' + p(d.getMonth() + 1) + '-' + p(d.getDate()) + ' ' + p(d.getHours()) + ':' + p(d.getMinutes()); };

  async function showDetails(id) {
    const r = await api('api/dtu/' + encodeURIComponent(id) + '/details');
    if (r.status !== 200) { $('actionResult').textContent = r.body.error || ('失败 (' + r.status + ')'); return; }
    details = r.body;
    $('details').hidden = false;
    const c = await api('api/dtu/' + encodeURIComponent(id) + '/captures');
    const ul = $('captureList'); ul.textContent = '';
    for (const f of (c.body.files || [])) {
      const li = document.createElement('li'), a = document.createElement('a');
      a.href = 'api/dtu/' + encodeURIComponent(id) + '/capture/' + encodeURIComponent(f.name);
      a.download = f.name;
      a.textContent = f.name + ' (' + f.size + ' 字节, ' + f.modified + ')';
      li.appendChild(a); ul.appendChild(li);
    }
    if (!ul.children.length) ul.textContent = c.body.recording ? '正在记录，尚无文件' : '没有记录文件';
    $('detailsId').textContent = id;
    $('eventsCsv').href = 'api/dtu/' + encodeURIComponent(id) + '/events.csv';
    $('minutesCsv').href = 'api/dtu/' + encodeURIComponent(id) + '/minutes.csv';
    drawDetails();
  }

  function drawDetails() {
    const d = details, from = d.now - hours * 3600000, span = d.now - from;
    const x = (ms) => ((Math.max(ms, from) - from) / span) * 1000;
    $('detailsNote').textContent = d.note || '';
    let online = 0;
    const tl = $('timeline'); tl.textContent = '';
    tl.appendChild(svgEl('rect', {x: 0, y: 0, width: 1000, height: 40, fill: '#eceff1'}));
    for (const [a, b] of d.periods) {
      if (b < from) continue;
      online += b - Math.max(a, from);
      tl.appendChild(svgEl('rect', {x: x(a), y: 4, width: Math.max(x(b) - x(a), 0.5), height: 32, fill: '#2e7d32'}));
    }
    const mins = Math.round(online / 60000);
    $('onlineTitle').textContent = '最近' + hours + '小时在线时段 (在线' + Math.floor(mins / 60) + '小时' + (mins % 60) + '分钟)';
    const tr = $('traffic'); tr.textContent = '';
    const first = Math.max(0, d.minutes.length - hours * 60), shown = d.minutes.slice(first);
    const top = Math.max(1, ...shown.map(([i, o]) => Math.max(i, o)));
    for (const [k, color] of [[0, '#1565c0'], [1, '#e65100']]) {
      const pts = shown.map((m, i) => ((i / Math.max(1, shown.length - 1)) * 1000).toFixed(1) + ',' + (155 - (m[k] / top) * 145).toFixed(1));
      tr.appendChild(svgEl('polyline', {points: pts.join(' '), fill: 'none', stroke: color, 'stroke-width': 1.5, 'vector-effect': 'non-scaling-stroke'}));
    }
    const label = svgEl('text', {x: 4, y: 14, 'font-size': 12, fill: '#666'}); label.textContent = '最多 ' + top + '/分钟';
    tr.appendChild(label);
    $('axisFrom').textContent = stamp(from); $('axisTo').textContent = stamp(d.now);
    const body = document.createElement('tbody');
    for (const e of d.events) {
      const row = document.createElement('tr');
      for (const v of [e.at, e.event, e.detail]) { const td = document.createElement('td'); td.textContent = v; row.appendChild(td); }
      body.appendChild(row);
    }
    $('eventTable').replaceChild(body, $('eventTable').tBodies[0]);
  }

  async function showTargets() {
    const kind = $('targetKind').value;
    const r = await api('api/targets/' + kind);
    if (r.status !== 200) return;
    $('targetText').value = kind === 'peer' ? r.body.targets.join('\n') : r.body.text;
    $('targetStatus').textContent = r.body.status || '';
    if (r.body.source) $('targetSource').value = r.body.source;
    $('pushTest').hidden = kind !== 'push';
  }

  function select(id) {
    selected = id;
    $('dtuPanel').hidden = !id;
    $('dtuId').textContent = id || '';
    render();
  }

  function visible() {
    const text = $('filter').value.trim().toLowerCase(), state = $('state').value;
    let list = [...rows.values()].filter((r) =>
      (!text || r.id.toLowerCase().includes(text) || r.name.toLowerCase().includes(text)) &&
      (state === 'all' || (state === 'online' && r.online) || (state === 'offline' && !r.online) || (state === 'silent' && r.silent)));
    const num = (v) => (v !== '' && !isNaN(v) ? Number(v) : null);
    list.sort((a, b) => {
      const x = a[sortKey], y = b[sortKey];
      const nx = num(x), ny = num(y);
      const c = nx !== null && ny !== null ? nx - ny : String(x).localeCompare(String(y));
      return c * sortDir || a.row - b.row;
    });
    return list;
  }

  function render() {
    const list = visible();
    const pages = Math.max(1, Math.ceil(list.length / PAGE));
    page = Math.min(page, pages - 1);
    $('page').textContent = (page + 1) + ' / ' + pages;
    const body = document.createElement('tbody');
    for (const r of list.slice(page * PAGE, page * PAGE + PAGE)) {
      const tr = document.createElement('tr');
      tr.className = (r.online ? 'online' : 'offline') + (r.silent ? ' silent' : '');
      tr.dataset.id = r.id;
      if (r.id === selected) tr.className += ' selected';
      tr.addEventListener('click', () => select(r.id));
      const cells = [r.id, r.name, r.online ? '在线' : '离线', r.lastLogin, r.lastData, r.sent, r.received, r.portState, r.port];
      cells.forEach((v, i) => {
        const td = document.createElement('td');
        td.textContent = v; // text, never markup: IDs and names come from the table
        if (i === 2) td.className = 'state' + (r.online ? ' on' : '');
        tr.appendChild(td);
      });
      body.appendChild(tr);
    }
    $('deviceTable').replaceChild(body, $('deviceTable').tBodies[0]);
  }

  document.addEventListener('DOMContentLoaded', async () => {
    $('loginForm').addEventListener('submit', async (e) => {
      e.preventDefault();
      const r = await api('api/login', {method: 'POST', body: JSON.stringify({user: $('user').value, password: $('password').value})});
      $('password').value = '';
      if (r.status === 200) showApp(r.body);
      else showLogin(r.status === 429 ? '登录失败次数过多，请稍后再试' : '用户名或密码错误');
    });
    $('logout').addEventListener('click', async () => { await api('api/logout', {method: 'POST'}); showLogin(''); });
    $('filter').addEventListener('input', () => { page = 0; render(); });
    for (const b of document.querySelectorAll('nav .tab')) {
      b.addEventListener('click', () => {
        for (const o of document.querySelectorAll('nav .tab')) o.classList.toggle('active', o === b);
        $('devices').hidden = b.dataset.tab !== 'devices';
        $('messages').hidden = b.dataset.tab !== 'messages';
        $('targets').hidden = b.dataset.tab !== 'targets';
        if (b.dataset.tab === 'targets') { if (selected && !$('targetSource').value) $('targetSource').value = selected; showTargets(); }
      });
    }
    $('pause').addEventListener('click', () => {
      paused = !paused;
      $('pause').textContent = paused ? '继续' : '暂停';
      if (!paused) { const held = heldLines; heldLines = []; $('pausedNote').textContent = ''; addLines(held); }
    });
    $('sendHex').addEventListener('change', () => { $('sendBox').value = ''; });
    $('sendButton').addEventListener('click', async () => {
      if (await act('api/dtu/' + encodeURIComponent(selected) + '/send', {text: $('sendBox').value, hex: $('sendHex').checked}))
        $('sendBox').value = '';
    });
    for (const b of document.querySelectorAll('#operatorTools button[data-action]'))
      b.addEventListener('click', () => act('api/dtu/' + encodeURIComponent(selected) + '/' + b.dataset.action));
    $('detailsButton').addEventListener('click', () => showDetails(selected));
    let rosterMode = 'add';
    const openRoster = (mode, f) => {
      rosterMode = mode;
      $('rosterTitle').textContent = mode === 'add' ? '新增DTU' : '修改DTU';
      $('rosterSave').textContent = mode === 'add' ? '新增' : '确定';
      $('fId').value = f.id || ''; $('fId').readOnly = mode !== 'add';
      $('fPassword').value = f.password || ''; $('fName').value = f.name || ''; $('fSim').value = f.sim || ''; $('fPort').value = f.port || 'COM3';
      $('rosterForm').hidden = false;
    };
    $('rosterAdd').addEventListener('click', () => openRoster('add', {}));
    $('rosterEdit').addEventListener('click', async () => {
      const r = await api('api/roster/' + encodeURIComponent(selected));
      if (r.status === 200) openRoster('edit', r.body); else $('actionResult').textContent = r.body.error || ('失败 (' + r.status + ')');
    });
    $('rosterCancel').addEventListener('click', () => { $('rosterForm').hidden = true; });
    $('rosterForm').addEventListener('submit', async (e) => {
      e.preventDefault();
      const ok = await act('api/roster/' + rosterMode, {id: $('fId').value, password: $('fPassword').value, name: $('fName').value,
                                                         sim: $('fSim').value, port: $('fPort').value});
      if (ok) $('rosterForm').hidden = true;
    });
    $('rosterDelete').addEventListener('click', async () => {
      if (!confirm('删除DTU ' + selected + '？')) return;
      if (await act('api/roster/delete', {id: selected})) select(null);
    });
    $('detailsClose').addEventListener('click', () => { $('details').hidden = true; details = null; });
    for (const b of document.querySelectorAll('.range')) {
      b.addEventListener('click', () => {
        hours = Number(b.dataset.hours);
        for (const o of document.querySelectorAll('.range')) o.classList.toggle('active', o === b);
        if (details) drawDetails();
      });
    }
    $('targetKind').addEventListener('change', showTargets);
    $('targetRead').addEventListener('click', async () => {
      if (await act('api/targets/' + $('targetKind').value + '/read', {id: $('targetSource').value})) setTimeout(showTargets, 1500);
    });
    $('targetSet').addEventListener('click', async () => {
      const kind = $('targetKind').value, text = $('targetText').value;
      const body = kind === 'peer' ? {targets: text.split('\n').map((s) => s.trim()).filter((s) => s)} : {text};
      if (await act('api/targets/' + kind + '/set', body)) setTimeout(showTargets, 1500);
    });
    $('pushButton').addEventListener('click', () => act('api/targets/push/test', {message: $('pushMessage').value}));
    $('serviceStart').addEventListener('click', () => act('api/service/start'));
    $('serviceStop').addEventListener('click', () => act('api/service/stop'));
    $('serviceReload').addEventListener('click', () => act('api/service/reload'));
    $('state').addEventListener('change', () => { page = 0; render(); });
    $('prev').addEventListener('click', () => { page = Math.max(0, page - 1); render(); });
    $('next').addEventListener('click', () => { page += 1; render(); });
    for (const th of document.querySelectorAll('th[data-key]')) {
      th.addEventListener('click', () => {
        const key = th.dataset.key;
        sortDir = sortKey === key ? -sortDir : 1; sortKey = key;
        for (const o of document.querySelectorAll('th')) o.className = '';
        th.className = sortDir > 0 ? 'asc' : 'desc';
        render();
      });
    }
    const s = await api('api/session');
    if (s.status === 200) showApp(s.body); else showLogin('');
  });
})();
