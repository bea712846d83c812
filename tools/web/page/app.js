// The operator's page. Every value from the server goes in as text
// (textContent), never as markup; live changes arrive from /api/events.
'use strict';

const kPageSize = 50;
const kLogLimit = 500;
const kNewShown = 200;   // a flood of new devices must not freeze the page

const $ = (id) => document.getElementById(id);

let csrf = '';
const views = ['new', 'nodes', 'log', 'server'];
let activeView = 'new';
const nodesState = { offset: 0, filter: '', total: 0, matched: 0 };

// --- requests -------------------------------------------------------------

// A failure as the operator reads it: "E_INVALIDARG: 192.0.2.300: part 4 ...".
class ApiError extends Error {
  constructor(field, text) {
    super(text);
    this.field = field;
  }
}

async function failureOf(response) {
  let body = null;
  try { body = await response.json(); } catch (e) { /* not JSON */ }
  const err = body && body.error;
  if (err) {
    const text = err.status ? `${err.status}: ${err.message || ''}` : (err.message || '');
    return new ApiError(err.field || '', text);
  }
  return new ApiError('', `HTTP ${response.status} ${response.statusText}`.trim());
}

async function request(method, path, body, contentType) {
  const init = { method, credentials: 'same-origin', headers: {} };
  if (method === 'POST') {
    init.headers['X-CSRF-Token'] = csrf;
    init.headers['Content-Type'] = contentType || 'application/x-www-form-urlencoded';
    init.body = body;
  }
  let response;
  try {
    response = await fetch(path, init);
  } catch (e) {
    throw new ApiError('', 'the page cannot reach fybootp-web: ' + e.message);
  }
  if (!response.ok) throw await failureOf(response);
  return response.json();
}

const getJson = (path) => request('GET', path);
const postForm = (path, fields) => request('POST', path, new URLSearchParams(fields).toString());

// --- small DOM helpers ----------------------------------------------------

function el(tag, props, ...children) {
  const node = document.createElement(tag);
  Object.assign(node, props || {});
  for (const child of children) {
    node.append(child instanceof Node ? child : document.createTextNode(String(child)));
  }
  return node;
}

function showError(target, err) {
  target.textContent = err ? err.message : '';
  target.classList.toggle('shown', Boolean(err));
}

function pageError(err) {
  const banner = $('page-error');
  banner.hidden = !err;
  banner.textContent = err ? err.message : '';
}

const macKey = (mac) => mac.replace(/[^0-9a-fA-F]/g, '').toUpperCase();

// Refreshes run one at a time per view; a change that arrives meanwhile
// runs one more, so the last state always shows.
function coalesced(load) {
  let running = false;
  let again = false;
  return async function run() {
    if (running) { again = true; return; }
    running = true;
    try {
      do {
        again = false;
        try {
          await load();
          pageError(null);
        } catch (e) {
          pageError(e);
        }
      } while (again);
    } finally {
      running = false;
    }
  };
}

function debounce(fn, ms) {
  let timer = 0;
  return () => { clearTimeout(timer); timer = setTimeout(fn, ms); };
}

// --- New devices ----------------------------------------------------------

function newRow(row) {
  const input = el('input', { className: 'assign-ip', value: row.suggested || '', spellcheck: false });
  input.setAttribute('aria-label', `Address for ${row.mac}`);
  input.addEventListener('input', () => { input.dataset.edited = '1'; });
  const error = el('span', { className: 'field-error' });
  const button = el('button', { type: 'button', className: 'assign primary' }, 'Assign');
  const tr = el('tr', {}, el('td', { className: 'mono' }, row.mac), el('td', {}, input),
    el('td', {}, button), el('td', {}, error));
  tr.dataset.mac = macKey(row.mac);
  const assign = async () => {
    button.disabled = true;
    showError(error, null);
    try {
      await postForm('/api/assign', { mac: row.mac, ip: input.value.trim() });
      tr.classList.add('assigned');
      refreshNew();
    } catch (e) {
      showError(error, e);
    } finally {
      button.disabled = false;
    }
  };
  button.addEventListener('click', assign);
  input.addEventListener('keydown', (ev) => { if (ev.key === 'Enter') assign(); });
  return tr;
}

const refreshNew = coalesced(async () => {
  const data = await getJson('/api/new');
  const rows = data.rows || [];
  const body = $('new-rows');
  const existing = new Map([...body.rows].map((tr) => [tr.dataset.mac, tr]));
  const shown = rows.slice(0, kNewShown);
  const keep = new Set();
  let before = body.firstChild;
  for (const row of shown) {
    const key = macKey(row.mac);
    keep.add(key);
    let tr = existing.get(key);
    if (!tr) {
      tr = newRow(row);
    } else {
      // A suggestion moves when another device takes it; what the operator
      // typed stays.
      const input = tr.querySelector('input.assign-ip');
      if (!input.dataset.edited && document.activeElement !== input) input.value = row.suggested || '';
    }
    if (tr !== before) body.insertBefore(tr, before); else before = before.nextSibling;
  }
  for (const [key, tr] of existing) if (!keep.has(key)) tr.remove();

  $('new-empty').hidden = rows.length > 0;
  $('new-more').hidden = rows.length <= kNewShown;
  $('new-more').textContent = `${rows.length - kNewShown} more not shown; assign these first.`;
  $('new-shortfall').hidden = !data.shortfall;
  $('new-shortfall').textContent = data.shortfall || '';
  const badge = $('new-badge');
  badge.hidden = rows.length === 0;
  badge.textContent = String(rows.length);
});

// --- Node table -----------------------------------------------------------

function nodeRow(row) {
  const ipCell = el('td', { className: 'mono' }, row.ip);
  const error = el('span', { className: 'field-error' });
  const edit = el('button', { type: 'button', className: 'edit' }, 'Edit');
  const del = el('button', { type: 'button', className: 'delete danger' }, 'Delete');
  const tr = el('tr', {}, el('td', { className: 'mono' }, row.mac), ipCell,
    el('td', { className: 'actions' }, edit, del, error));
  tr.dataset.mac = macKey(row.mac);

  edit.addEventListener('click', () => {
    if (tr.classList.contains('editing')) return;
    tr.classList.add('editing');
    const input = el('input', { className: 'edit-ip', value: row.ip, spellcheck: false });
    const save = el('button', { type: 'button', className: 'save primary' }, 'Save');
    const cancel = el('button', { type: 'button', className: 'cancel' }, 'Cancel');
    ipCell.replaceChildren(input, ' ', save, ' ', cancel);
    input.focus();
    const done = () => { tr.classList.remove('editing'); ipCell.replaceChildren(row.ip); showError(error, null); };
    cancel.addEventListener('click', done);
    const commit = async () => {
      showError(error, null);
      try {
        await postForm('/api/nodes/add', { mac: row.mac, ip: input.value.trim() });
        row.ip = input.value.trim();
        done();
        refreshNodes();
      } catch (e) {
        showError(error, e);
      }
    };
    save.addEventListener('click', commit);
    input.addEventListener('keydown', (ev) => {
      if (ev.key === 'Enter') commit();
      if (ev.key === 'Escape') done();
    });
  });

  // Two clicks delete: the first asks, the second (within 4 s) does it.
  let armed = 0;
  del.addEventListener('click', async () => {
    if (!armed) {
      del.textContent = 'Really delete?';
      armed = setTimeout(() => { armed = 0; del.textContent = 'Delete'; }, 4000);
      return;
    }
    clearTimeout(armed);
    armed = 0;
    showError(error, null);
    try {
      await postForm('/api/nodes/delete', { mac: row.mac });
      refreshNodes();
    } catch (e) {
      del.textContent = 'Delete';
      showError(error, e);
    }
  });
  return tr;
}

const refreshNodes = coalesced(async () => {
  const q = new URLSearchParams({ offset: nodesState.offset, limit: kPageSize, filter: nodesState.filter });
  const data = await getJson('/api/nodes?' + q.toString());
  // Rows left behind by a delete or a narrower filter: go back a page.
  if (data.rows.length === 0 && nodesState.offset > 0 && data.matched > 0) {
    nodesState.offset = Math.max(0, Math.floor((data.matched - 1) / kPageSize) * kPageSize);
    refreshNodes();
    return;
  }
  const body = $('nodes-rows');
  // A row being edited keeps its input while other rows change around it.
  if (body.querySelector('tr.editing')) return;
  body.replaceChildren(...data.rows.map(nodeRow));
  Object.assign(nodesState, { total: data.total, matched: data.matched });
  const first = data.rows.length ? nodesState.offset + 1 : 0;
  const last = nodesState.offset + data.rows.length;
  const fmt = (n) => n.toLocaleString('en');
  $('nodes-count').textContent = nodesState.filter
    ? `${fmt(first)}–${fmt(last)} of ${fmt(data.matched)} matching (${fmt(data.total)} nodes)`
    : `${fmt(first)}–${fmt(last)} of ${fmt(data.total)} nodes`;
  $('nodes-prev').disabled = nodesState.offset === 0;
  $('nodes-next').disabled = last >= data.matched;
  $('nodes-empty').hidden = data.rows.length > 0;
  $('nodes-empty').textContent = data.total === 0 ? 'The node table is empty.' : 'No nodes match the filter.';
});

async function addNode(ev) {
  ev.preventDefault();
  const macError = $('add-mac-error');
  const ipError = $('add-ip-error');
  showError(macError, null);
  showError(ipError, null);
  const mac = $('add-mac').value.trim();
  const ip = $('add-ip').value.trim();
  try {
    await postForm('/api/nodes/add', { mac, ip });
    $('add-mac').value = '';
    $('add-ip').value = '';
    $('add-mac').focus();
    refreshNodes();
  } catch (e) {
    // An error without a field belongs to the form as a whole: it shows at
    // the end of the form, beside the button.
    showError(e.field === 'mac' ? macError : ipError, e);
    (e.field === 'mac' ? $('add-mac') : $('add-ip')).focus();
  }
}

async function importTable() {
  const error = $('import-error');
  const done = $('import-done');
  showError(error, null);
  done.textContent = '';
  const file = $('import-file').files[0];
  if (!file) {
    showError(error, new ApiError('file', 'choose a file first'));
    return;
  }
  const format = $('import-format').value;
  try {
    const result = await request('POST', '/api/nodes/import?format=' + encodeURIComponent(format),
      file, 'application/octet-stream');
    done.textContent = `${result.status}: ${result.rows} rows imported`;
    nodesState.offset = 0;
    refreshNodes();
  } catch (e) {
    showError(error, e);
  }
}

// --- Log ------------------------------------------------------------------

let logFilter = '';
const refreshLog = coalesced(async () => {
  const q = new URLSearchParams({ filter: logFilter, limit: kLogLimit });
  const data = await getJson('/api/log?' + q.toString());
  $('log-rows').replaceChildren(...data.rows.map((row) =>
    el('tr', {}, el('td', { className: 'mono nowrap' }, row.time.replace('T', ' ')), el('td', { className: 'mono' }, row.mac || ''),
      el('td', {}, row.message))));
  const shown = data.rows.length;
  $('log-count').textContent = shown < data.total
    ? `newest ${shown} of ${data.total} entries` : `${data.total} entries`;
  $('log-empty').hidden = shown > 0;
  $('log-empty').textContent = logFilter ? 'No entries match the filter.' : 'The log is empty.';
});

async function clearLog() {
  showError($('log-error'), null);
  try {
    await postForm('/api/log/clear', {});
    refreshLog();
  } catch (e) {
    showError($('log-error'), e);
  }
}

// --- Server ---------------------------------------------------------------

const hostFields = ['name', 'ip', 'mask', 'router'];

const refreshServer = coalesced(async () => {
  const data = await getJson('/api/server');
  $('server-started').checked = Boolean(data.started);
  $('server-replies').checked = Boolean(data.replies);
  $('server-mode').textContent = data.mode || '';
  const host = data.host || {};
  const tag = $('host-override');
  tag.textContent = host.override ? 'fixed' : 'detected automatically';
  tag.classList.toggle('fixed', Boolean(host.override));
  for (const f of hostFields) {
    const input = $('host-' + f);
    if (!input.dataset.edited && document.activeElement !== input) input.value = host[f] || '';
  }
});

function serverToggle(name) {
  const box = $('server-' + name);
  box.addEventListener('change', async () => {
    showError($('server-error'), null);
    try {
      await postForm('/api/server', { [name]: box.checked ? '1' : '0' });
    } catch (e) {
      box.checked = !box.checked;
      showError($('server-error'), e);
    }
    refreshServer();
  });
}

async function setHost(fields) {
  showError($('host-error'), null);
  try {
    await postForm('/api/host', fields);
    for (const f of hostFields) delete $('host-' + f).dataset.edited;
  } catch (e) {
    showError($('host-error'), e);
    const input = $('host-' + e.field);
    if (input) input.focus();
  }
  refreshServer();
}

// --- views and the event stream -------------------------------------------

const refreshers = { new: refreshNew, nodes: refreshNodes, log: refreshLog, server: refreshServer };
const stale = new Set();

function show(view) {
  activeView = view;
  for (const v of views) {
    $('view-' + v).hidden = v !== view;
    $('nav-' + v).classList.toggle('active', v === view);
    $('nav-' + v).setAttribute('aria-pressed', String(v === view));
  }
  if (stale.delete(view)) refreshers[view]();
  if (location.hash !== '#' + view) history.replaceState(null, '', '#' + view);
}

// A change refreshes what is on screen (and the count of new devices in the
// navigation); hidden views catch up when they are opened.
function changed(view) {
  if (view === activeView || view === 'new') refreshers[view]();
  else stale.add(view);
}

function connectEvents() {
  const live = $('live');
  const source = new EventSource('/api/events');
  source.addEventListener('open', () => {
    live.textContent = 'Live';
    live.className = 'live on';
    // Whatever changed while the stream was down.
    for (const v of views) changed(v);
  });
  source.addEventListener('error', () => {
    live.textContent = 'Reconnecting…';
    live.className = 'live off';
  });
  for (const v of views) source.addEventListener(v, () => changed(v));
}

async function start() {
  // The token of --listen has become a cookie with the first answer; it need
  // not stay in the address bar (or in a bookmark or a screenshot).
  const url = new URL(location.href);
  if (url.searchParams.has('token')) {
    url.searchParams.delete('token');
    history.replaceState(null, '', url.pathname + url.search + url.hash);
  }

  for (const v of views) $('nav-' + v).addEventListener('click', () => show(v));
  $('nodes-filter').addEventListener('input', debounce(() => {
    nodesState.filter = $('nodes-filter').value.trim();
    nodesState.offset = 0;
    refreshNodes();
  }, 200));
  $('nodes-prev').addEventListener('click', () => {
    nodesState.offset = Math.max(0, nodesState.offset - kPageSize);
    refreshNodes();
  });
  $('nodes-next').addEventListener('click', () => {
    if (nodesState.offset + kPageSize < nodesState.matched) nodesState.offset += kPageSize;
    refreshNodes();
  });
  $('add-form').addEventListener('submit', addNode);
  $('import-submit').addEventListener('click', importTable);
  $('log-filter').addEventListener('input', debounce(() => {
    logFilter = $('log-filter').value.trim();
    refreshLog();
  }, 200));
  $('log-clear').addEventListener('click', clearLog);
  serverToggle('started');
  serverToggle('replies');
  for (const f of hostFields) $('host-' + f).addEventListener('input', () => { $('host-' + f).dataset.edited = '1'; });
  $('host-form').addEventListener('submit', (ev) => {
    ev.preventDefault();
    const fields = { override: '1' };
    for (const f of hostFields) fields[f] = $('host-' + f).value.trim();
    setHost(fields);
  });
  $('host-auto').addEventListener('click', () => setHost({ override: '0' }));

  try {
    csrf = (await getJson('/api/session')).csrf;
  } catch (e) {
    pageError(e);
  }
  const first = url.hash.slice(1);
  for (const v of views) stale.add(v);
  show(views.includes(first) ? first : 'new');
  refreshNew();
  connectEvents();
}

document.addEventListener('DOMContentLoaded', start);
