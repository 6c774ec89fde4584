// The page of Vigilo's web server. Every text that comes from the program (and so from the
// service: nicknames, descriptions, log lines) goes into the page with textContent, never as
// markup. The token stays in this tab's session storage and travels only in the
// Authorization header.
'use strict';

const TOKEN_KEY = 'vigilo-token';
const LOG_LINES = 500;
const EVENTS_KEPT = 200;
// Rows shown at once: a browser lays out a table of thousands of rows in seconds, so longer
// tables are shown a page at a time, the rest kept as data and drawn when paged to.
const PAGE_ROWS = 200;

const state = {
  token: sessionStorage.getItem(TOKEN_KEY) || '',
  tables: { accounts: null, rooms: null },
  pages: { accounts: 0, rooms: 0 },
  redraw: { accounts: false, rooms: false },
  notifyOnly: new Set(),
  streamAbort: null,
  stateTimer: null,
};

const $ = (id) => document.getElementById(id);

function el(tag, text, cls) {
  const node = document.createElement(tag);
  if (text !== undefined && text !== null) node.textContent = String(text);
  if (cls) node.className = cls;
  return node;
}

async function api(method, path, body) {
  const headers = { Authorization: 'Bearer ' + state.token };
  const init = { method, headers, cache: 'no-store' };
  if (body !== undefined) {
    headers['Content-Type'] = 'application/json';
    init.body = JSON.stringify(body);
  }
  const res = await fetch(path, init);
  if (res.status === 401) {
    logout('登录已失效');
    throw new Error('unauthorized');
  }
  let data = null;
  try { data = await res.json(); } catch (e) { data = null; }
  if (!res.ok) throw new Error((data && data.error) || ('HTTP ' + res.status));
  return data;
}

function showError(message) {
  $('action-error').textContent = message || '';
}

async function act(method, path, body) {
  showError('');
  try {
    await api(method, path, body);
    refreshState();
  } catch (e) {
    if (e.message !== 'unauthorized') showError(e.message);
  }
}

// ---- login

function showLogin(message) {
  $('app').hidden = true;
  $('login').hidden = false;
  $('login-error').textContent = message || '';
  $('login-token').focus();
}

async function login(token) {
  state.token = token;
  const res = await fetch('/api/state', { headers: { Authorization: 'Bearer ' + token }, cache: 'no-store' });
  if (!res.ok) {
    state.token = '';
    sessionStorage.removeItem(TOKEN_KEY);
    showLogin(res.status === 401 ? '令牌不正确' : ('HTTP ' + res.status));
    return;
  }
  sessionStorage.setItem(TOKEN_KEY, token);
  $('login').hidden = true;
  $('app').hidden = false;
  applyState(await res.json());
  loadLinks();
  openStream();
  state.stateTimer = setInterval(refreshState, 5000);
}

function logout(message) {
  sessionStorage.removeItem(TOKEN_KEY);
  state.token = '';
  if (state.streamAbort) state.streamAbort.abort();
  state.streamAbort = null;
  clearInterval(state.stateTimer);
  showLogin(message);
}

// ---- tables

function buildTable(name, table) {
  state.tables[name] = table;
  const node = $(name);
  const head = node.tHead;
  head.textContent = '';
  const tr = el('tr');
  table.columns.forEach((c) => tr.appendChild(el('th', c.title, c.hidden ? 'hidden-col' : '')));
  tr.appendChild(el('th', name === 'accounts' ? '' : '仅提醒'));
  head.appendChild(tr);
  drawRows(name);
}

function pageStart(name) {
  const count = state.tables[name].rows.length;
  const last = Math.max(0, Math.ceil(count / PAGE_ROWS) - 1);
  state.pages[name] = Math.min(state.pages[name], last);
  return state.pages[name] * PAGE_ROWS;
}

// Draws the rows of the table's current page, and the pager under it.
function drawRows(name) {
  state.redraw[name] = false;
  const table = state.tables[name];
  const body = $(name).tBodies[0];
  const start = pageStart(name);
  const end = Math.min(table.rows.length, start + PAGE_ROWS);
  const rows = document.createDocumentFragment();
  for (let i = start; i < end; i += 1) rows.appendChild(makeRow(name, table.rows[i], i));
  body.textContent = '';
  body.appendChild(rows);
  const pager = $(name + '-pager');
  pager.hidden = table.rows.length <= PAGE_ROWS;
  pager.querySelector('.where').textContent =
    '第 ' + (table.rows.length ? start + 1 : 0) + '–' + end + ' 行，共 ' + table.rows.length + ' 行';
  pager.querySelector('.prev').disabled = start === 0;
  pager.querySelector('.next').disabled = end >= table.rows.length;
}

// Rows moved: the page is drawn again once the changes that came together are applied.
function redrawSoon(name) {
  if (state.redraw[name]) return;
  state.redraw[name] = true;
  setTimeout(() => { if (state.redraw[name] && state.tables[name]) drawRows(name); }, 0);
}

function turnPage(name, step) {
  if (!state.tables[name]) return;
  state.pages[name] = Math.max(0, state.pages[name] + step);
  drawRows(name);
}

function makeRow(name, cells, index) {
  const table = state.tables[name];
  const tr = el('tr');
  tr.dataset.row = String(index);
  table.columns.forEach((c, i) => {
    const td = el('td', cells[i] || '', c.hidden ? 'hidden-col' : '');
    td.title = cells[i] || '';
    tr.appendChild(td);
  });
  rowTitle(name, tr, cells);
  const extra = el('td');
  if (name === 'accounts') {
    const del = el('button', '删除');
    del.type = 'button';
    del.className = 'delete-row';
    del.addEventListener('click', () => {
      const rowIndex = Number(tr.dataset.row);
      const key = table.rows[rowIndex] ? table.rows[rowIndex][0] : '';
      act('DELETE', '/api/accounts/' + rowIndex + '?key=' + encodeURIComponent(key));
    });
    extra.appendChild(del);
  } else {
    const box = el('input');
    box.type = 'checkbox';
    box.className = 'notify-only';
    box.checked = state.notifyOnly.has(cells[1] || '');
    box.addEventListener('change', () => {
      const rowIndex = Number(tr.dataset.row);
      const roomId = table.rows[rowIndex] ? table.rows[rowIndex][1] : '';
      if (!/^\d+$/.test(roomId)) return;
      act('PUT', '/api/rooms/' + roomId + '/notify-only', { on: box.checked });
    });
    extra.appendChild(box);
  }
  tr.appendChild(extra);
  return tr;
}

// What the hidden columns hold, as the row's tooltip.
function rowTitle(name, tr, cells) {
  const table = state.tables[name];
  tr.title = table.columns.map((c, i) => (c.hidden && cells[i] ? c.title + ': ' + cells[i] : ''))
    .filter((t) => t).join('\n');
}

function applyTableChange(change) {
  const name = change.table;
  const table = state.tables[name];
  if (!table) return;
  switch (change.kind) {
    case 'append':
      table.rows.splice(change.row, 0, table.columns.map(() => ''));
      redrawSoon(name);
      break;
    case 'delete':
      table.rows.splice(change.row, 1);
      redrawSoon(name);
      break;
    case 'clear':
      table.rows = [];
      redrawSoon(name);
      break;
    case 'cell': {
      const row = table.rows[change.row];
      if (!row) return;
      row[change.column] = change.text;
      const start = state.pages[name] * PAGE_ROWS;
      const tr = state.redraw[name] ? null : $(name).tBodies[0].children[change.row - start];
      if (tr && tr.children[change.column]) {
        tr.children[change.column].textContent = change.text;
        tr.children[change.column].title = change.text;
        if (table.columns[change.column].hidden) rowTitle(name, tr, row);
      }
      if (name === 'rooms' && change.column === 1) syncNotifyOnly();
      break;
    }
  }
}

// ---- log, events, status

function setLog(text) {
  const log = $('log');
  const lines = text.replace(/\r/g, '').split('\n');
  log.textContent = lines.slice(-LOG_LINES).join('\n');
  log.scrollTop = log.scrollHeight;
}

function appendLog(text) {
  const log = $('log');
  const atEnd = log.scrollTop + log.clientHeight >= log.scrollHeight - 4;
  log.textContent += text.replace(/\r/g, '');
  if (log.textContent.length > 200000) setLog(log.textContent);
  if (atEnd) log.scrollTop = log.scrollHeight;
}

function addEvent(e) {
  const list = $('events');
  const item = el('li');
  item.appendChild(el('span', e.time + ' '));
  item.appendChild(el('strong', e.title));
  if (e.text) item.appendChild(el('span', ' — ' + e.text));
  item.dataset.type = e.type;
  list.insertBefore(item, list.firstChild);
  while (list.children.length > EVENTS_KEPT) list.removeChild(list.lastChild);
}

function setStatus(parts) {
  $('status-label').textContent = parts[0] || '';
  $('status-text').textContent = parts[1] || '';
}

function applySnapshot(s) {
  buildTable('accounts', s.accounts);
  buildTable('rooms', s.rooms);
  setLog(s.log || '');
  $('events').textContent = '';
  (s.events || []).forEach(addEvent);
  setStatus(s.status || []);
}

// ---- the event stream: fetch, since an EventSource cannot send the token

function setConnection(ok) {
  const pill = $('connection');
  pill.textContent = ok ? '已连接' : '连接中断';
  pill.className = ok ? 'pill' : 'pill bad';
}

function handleMessage(type, data) {
  let value;
  try { value = JSON.parse(data); } catch (e) { return; }
  switch (type) {
    case 'snapshot': applySnapshot(value); break;
    case 'table': applyTableChange(value); break;
    case 'log': appendLog(value.text); break;
    case 'event': addEvent(value); break;
    case 'status': {
      const parts = [$('status-label').textContent, $('status-text').textContent];
      parts[value.part] = value.text;
      setStatus(parts);
      break;
    }
    case 'state': refreshState(); break;
  }
}

async function openStream() {
  const controller = new AbortController();
  state.streamAbort = controller;
  try {
    const res = await fetch('/api/events', {
      headers: { Authorization: 'Bearer ' + state.token, Accept: 'text/event-stream' },
      signal: controller.signal,
      cache: 'no-store',
    });
    if (res.status === 401) { logout('登录已失效'); return; }
    if (!res.ok || !res.body) throw new Error('HTTP ' + res.status);
    setConnection(true);
    const reader = res.body.getReader();
    const decoder = new TextDecoder();
    let buffer = '';
    for (;;) {
      const { value, done } = await reader.read();
      if (done) break;
      buffer += decoder.decode(value, { stream: true });
      let end;
      while ((end = buffer.indexOf('\n\n')) >= 0) {
        const record = buffer.slice(0, end);
        buffer = buffer.slice(end + 2);
        let type = 'message';
        const data = [];
        record.split('\n').forEach((line) => {
          if (line.startsWith('event: ')) type = line.slice(7);
          else if (line.startsWith('data: ')) data.push(line.slice(6));
        });
        if (data.length) handleMessage(type, data.join('\n'));
      }
    }
  } catch (e) {
    if (controller.signal.aborted) return;
  }
  if (state.streamAbort !== controller || !state.token) return;
  setConnection(false);
  setTimeout(() => { if (state.streamAbort === controller && state.token) openStream(); }, 2000);
}

// ---- state: buttons, period, alert-only rooms, disk

function formatBytes(n) {
  if (n === null || n === undefined) return '';
  const units = ['B', 'KB', 'MB', 'GB', 'TB'];
  let i = 0;
  while (n >= 1024 && i < units.length - 1) { n /= 1024; i += 1; }
  return n.toFixed(i ? 1 : 0) + units[i];
}

function formatDuration(s) {
  if (s === null || s === undefined) return '';
  s = Math.round(s);
  const h = Math.floor(s / 3600), m = Math.floor((s % 3600) / 60), sec = s % 60;
  return (h ? h + ':' : '') + String(m).padStart(2, '0') + ':' + String(sec).padStart(2, '0');
}

function syncNotifyOnly() {
  const table = state.tables.rooms;
  if (!table) return;
  $('rooms').tBodies[0].querySelectorAll('tr').forEach((tr) => {
    const row = table.rows[Number(tr.dataset.row)];
    const box = tr.querySelector('input.notify-only');
    if (row && box) box.checked = state.notifyOnly.has(row[1] || '');
  });
}

function applyState(s) {
  $('add-accounts').disabled = !s.buttons.add;
  $('add-rooms').disabled = !s.buttons.add;
  $('start-works').disabled = !s.buttons.startWorks;
  $('stop-works').disabled = !s.buttons.stopWorks;
  document.querySelectorAll('input[name=period]').forEach((r) => { r.checked = Number(r.value) === s.livePeriodMinutes; });
  state.notifyOnly = new Set(s.notifyOnlyRooms || []);
  syncNotifyOnly();
  $('disk').textContent = s.disk ? '可用空间 ' + formatBytes(s.disk.free) : '';
  const refusing = s.throttled || [];
  $('throttled').hidden = refusing.length === 0;
  $('throttled').textContent = refusing
    .map((h) => '服务限流：' + h.host + '，每分钟 ' + Math.round(h.perMinute) + ' 次').join('；');
  setStatus(s.status || []);
}

async function refreshState() {
  if (!state.token) return;
  try { applyState(await api('GET', '/api/state')); } catch (e) { /* shown by the stream's state */ }
}

async function loadLinks() {
  try {
    const links = await api('GET', '/api/links');
    $('account-links').value = links.accounts.replace(/\r\n/g, '\n');
    $('room-links').value = links.rooms.replace(/\r\n/g, '\n');
  } catch (e) { /* the boxes stay empty */ }
}

// ---- recordings

async function loadRecordings() {
  const body = $('recordings').tBodies[0];
  let list;
  try { list = (await api('GET', '/api/recordings')).recordings; } catch (e) { showError(e.message); return; }
  body.textContent = '';
  const places = { running: '正在录制', left: '未收集', collected: '已收集' };
  list.forEach((r) => {
    const tr = el('tr');
    tr.dataset.id = r.id;
    tr.appendChild(el('td', r.name));
    tr.appendChild(el('td', places[r.place] || r.place));
    tr.appendChild(el('td', formatBytes(r.size)));
    tr.appendChild(el('td', formatDuration(r.duration)));
    const td = el('td');
    const play = el('button', '播放');
    play.type = 'button';
    play.className = 'play';
    play.addEventListener('click', () => playRecording(r.id, false));
    const download = el('button', '下载');
    download.type = 'button';
    download.addEventListener('click', () => playRecording(r.id, true));
    td.appendChild(play);
    td.appendChild(download);
    tr.appendChild(td);
    body.appendChild(tr);
  });
}

async function playRecording(id, download) {
  showError('');
  let ticket;
  try { ticket = await api('POST', '/api/recordings/' + id + '/ticket'); } catch (e) { showError(e.message); return; }
  if (download) {
    const a = el('a');
    a.href = ticket.download;
    a.rel = 'noopener';
    document.body.appendChild(a);
    a.click();
    a.remove();
    return;
  }
  const player = $('player');
  player.hidden = false;
  player.src = ticket.url;
  player.play().catch(() => {});
}

// ---- wiring

function showPage(name) {
  document.querySelectorAll('.tab').forEach((t) => t.classList.toggle('active', t.dataset.page === name));
  ['works', 'live', 'recordings'].forEach((p) => { $('page-' + p).hidden = p !== name; });
  if (name === 'recordings') loadRecordings();
}

document.addEventListener('DOMContentLoaded', () => {
  $('login-form').addEventListener('submit', (e) => {
    e.preventDefault();
    login($('login-token').value.trim());
  });
  $('logout').addEventListener('click', () => logout(''));
  $('test-notify').addEventListener('click', () => act('POST', '/api/notify/test'));
  document.querySelectorAll('.tab').forEach((t) => t.addEventListener('click', () => showPage(t.dataset.page)));
  $('add-accounts').addEventListener('click', () => {
    const mode = document.querySelector('input[name=account-mode]:checked').value;
    act('POST', '/api/accounts', { links: $('account-links').value, mode });
  });
  $('add-rooms').addEventListener('click', () => act('POST', '/api/rooms', { links: $('room-links').value }));
  $('start-works').addEventListener('click', () => act('POST', '/api/works/start'));
  $('stop-works').addEventListener('click', () => act('POST', '/api/works/stop'));
  $('start-recording').addEventListener('click', () => act('POST', '/api/live/start-recording'));
  $('stop-recording').addEventListener('click', () => act('POST', '/api/live/stop-recording'));
  document.querySelectorAll('input[name=period]').forEach((r) => r.addEventListener('change', () => {
    act('PUT', '/api/live/period', { minutes: Number(r.value) });
  }));
  $('refresh-recordings').addEventListener('click', loadRecordings);
  ['accounts', 'rooms'].forEach((name) => {
    const pager = $(name + '-pager');
    pager.hidden = true;
    pager.querySelector('.prev').addEventListener('click', () => turnPage(name, -1));
    pager.querySelector('.next').addEventListener('click', () => turnPage(name, 1));
  });
  document.querySelectorAll('input.show-all').forEach((box) => box.addEventListener('change', () => {
    $(box.dataset.table).classList.toggle('all-columns', box.checked);
  }));
  if (state.token) login(state.token); else showLogin('');
});
