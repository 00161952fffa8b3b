// The MQTT service's page: talks to mqttweb's JSON API (docs/web.md) and
// follows its live events. Every text that comes from the router is put in
// the page as text (textContent), never as markup.
'use strict';

const state = { csrf: '', role: '', brokers: [], brokersAt: 0, clients: [], messages: [], events: null, editing: null };
const MAX_MESSAGES = 500;
const $ = (sel) => document.querySelector(sel);

function el(tag, attrs, ...children) {
  const node = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) {
    if (k.startsWith('on')) node.addEventListener(k.slice(2), v);
    else if (v !== false && v !== undefined) node.setAttribute(k, v === true ? '' : v);
  }
  for (const c of children) node.append(c);
  return node;
}

// ---- The API ----------------------------------------------------------------

async function api(method, path, body) {
  const headers = {};
  if (method !== 'GET') headers['X-CSRF-Token'] = state.csrf;
  if (body !== undefined) headers['Content-Type'] = 'application/json';
  let res;
  try {
    res = await fetch(path, { method, headers, credentials: 'same-origin',
                              body: body === undefined ? undefined : JSON.stringify(body) });
  } catch (e) {
    return { ok: false, status: 0, data: { error: 'the router does not answer: ' + e.message } };
  }
  let data = {};
  try { data = await res.json(); } catch (e) { data = { error: res.status + ' ' + res.statusText }; }
  if (res.status === 401 && path !== '/api/login') showLogin('Your session has ended: log in again.');
  return { ok: res.ok, status: res.status, data };
}

// Shows a refusal beside its field, or at the foot of the form.
function showErrors(form, data) {
  for (const e of form.querySelectorAll('[data-for]')) e.textContent = '';
  if (!data) return;
  const spot = form.querySelector(`[data-for="${data.field}"]`) || form.querySelector('[data-for="form"]');
  spot.textContent = data.error;
}

function onSubmit(form, handler) {
  form.addEventListener('submit', async (ev) => {
    ev.preventDefault();
    showErrors(form, null);
    const button = form.querySelector('button:not([type])');
    button.disabled = true;
    try { await handler(new FormData(form)); } finally { button.disabled = false; }
  });
}

// ---- Login ----------------------------------------------------------------------

function showLogin(message) {
  if (state.events) state.events.close();
  state.events = null;
  $('#app-view').hidden = true;
  $('#logout').hidden = true;
  $('#who').textContent = '';
  $('#login-view').hidden = false;
  $('#login-form [data-for="form"]').textContent = message || '';
}

function enter(session) {
  state.csrf = session.csrf;
  state.role = session.role;
  document.body.classList.toggle('read-only', session.role === 'read-only');
  $('#who').textContent = session.user + (session.role === 'read-only' ? ' (read-only: may look, not change)' : '');
  $('#login-view').hidden = true;
  $('#app-view').hidden = false;
  $('#logout').hidden = false;
  follow();
  loadSubscriptions();
  loadTrust();
}

onSubmit($('#login-form'), async (f) => {
  const r = await api('POST', '/api/login', { user: f.get('user'), password: f.get('password') });
  if (!r.ok) return showErrors($('#login-form'), r.data);
  $('#login-form').reset();
  enter(r.data);
});

$('#logout').addEventListener('click', async () => {
  await api('POST', '/api/logout');
  showLogin('Logged out.');
});

// ---- Live events ------------------------------------------------------------------

function follow() {
  if (state.events) state.events.close();
  const events = new EventSource('/api/events');
  state.events = events;
  events.addEventListener('reset', () => { state.messages = []; $('#live-problem').textContent = ''; redrawMessages(); });
  events.addEventListener('message', (e) => addMessage(JSON.parse(e.data)));
  events.addEventListener('brokers', (e) => showBrokers(JSON.parse(e.data)));
  events.addEventListener('problem', (e) => { $('#live-problem').textContent = JSON.parse(e.data).error; });
  events.onerror = () => {
    if (events.readyState === EventSource.CLOSED) $('#live-problem').textContent = 'The live view has stopped: reload the page.';
  };
}

// ---- Brokers ------------------------------------------------------------------------

function brokerName(id) {
  const b = state.brokers.find((x) => x.id === id);
  return b ? b.name : '#' + id;
}

// The broker's state and last failure in the console's words ("idle",
// "connecting", "connected", "disconnecting", "retrying in 8 s", "connecting
// in 8 s"). Ages and countdowns are the daemon's own (its readAt), moved on
// by the seconds since the list came: the feed sends a list only when
// something other than the seconds changed.
const stateShapes = { connected: '\u25cf', connecting: '\u25d0', disconnecting: '\u25d0' };

function duration(seconds) {
  if (seconds < 120) return `${seconds} s`;
  if (seconds < 7200) return `${Math.floor(seconds / 60)} min`;
  if (seconds < 48 * 3600) return `${Math.floor(seconds / 3600)} h`;
  return `${Math.floor(seconds / 86400)} d`;
}

function secondsSinceList() { return Math.floor((Date.now() - state.brokersAt) / 1000); }

function stateWords(b) {
  const s = b.status;
  if (!s) return b.connected ? 'connected' : 'idle';  // the status view could not be read
  if (s.state === 'connected' || s.state === 'disconnecting') return s.state;
  if (s.state === 'idle' && s.nextAttempt === null) return 'idle';
  if (s.state !== 'idle') return 'connecting';
  const wait = Math.max(0, s.nextAttempt - s.readAt - secondsSinceList());
  // Idle since the failure (a teardown records both in the same second).
  const afterFailure = s.failure && s.failure.time >= s.since;
  return `${afterFailure ? 'retrying' : 'connecting'} in ${duration(wait)}`;
}

// The failure's own words, without the daemon's wrappers and what it did
// about it ("; closing the connection").
function failureWords(f) {
  let words = f.text;
  for (const wrapper of ['ssl failure [', 'internal error [']) {
    if (words.startsWith(wrapper) && words.endsWith(']')) words = words.slice(wrapper.length, -1);
  }
  if (words.startsWith('connect: ')) words = words.slice(9);
  return words.split('; ')[0];
}

function failureCell(b) {
  const f = b.status && b.status.failure;
  if (!f) return '';
  const age = Math.max(0, b.status.readAt - f.time) + secondsSinceList();
  return `${failureWords(f)}, ${duration(age)} ago`;
}

function outboxLine(s) {
  if (!s || !s.outboxMessages) return '';
  return `outbox: ${s.outboxMessages} message${s.outboxMessages === 1 ? '' : 's'} (${s.outboxBytes} bytes)`;
}

function drawBrokerStates() {
  for (const b of state.brokers) {
    const row = $('#broker-table').querySelector(`tr[data-id="${b.id}"]`);
    if (!row) continue;
    const words = stateWords(b);
    row.querySelector('.state').replaceChildren(el('span', { class: words === 'connected' ? 'up' : 'down' },
      `${stateShapes[words] || '\u25cb'} ${words}`), outboxLine(b.status) ? el('small', {}, outboxLine(b.status)) : '');
    const failure = row.querySelector('.failure');
    failure.textContent = failureCell(b);
    failure.title = b.status && b.status.failure ? `${b.status.failure.kind}: ${b.status.failure.text}` : '';
  }
}
setInterval(() => { if (state.brokers.length && !$('#app-view').hidden) drawBrokerStates(); }, 1000);

function showBrokers(list) {
  state.brokers = list;
  state.brokersAt = Date.now();
  const body = $('#broker-table tbody');
  body.replaceChildren(...list.map((b) => {
    // The daemon disconnects only a connected broker; Connect also cuts a retry's wait short.
    const up = b.status ? b.status.state === 'connected' : b.connected;
    return el('tr', { 'data-broker': b.name, 'data-id': b.id },
      el('td', {}, b.name),
      el('td', { class: 'state' }),
      el('td', { class: 'failure' }),
      el('td', {}, `${b.address}:${b.port}`),
      el('td', {}, (b.ssl ? 'yes' : 'no') + (b.certificate === null ? '' : `, certificate ${certificateName(b.certificate)}`)),
      el('td', {}, b.autoConnect ? 'yes' : 'no'),
      el('td', { class: 'change actions' },
        el('button', { type: 'button', onclick: () => brokerCommand(b, up ? 'disconnect' : 'connect') },
           up ? 'Disconnect' : 'Connect'),
        el('button', { type: 'button', onclick: () => editBroker(b) }, 'Edit'),
        el('button', { type: 'button', onclick: () => removeBroker(b) }, 'Remove')));
  }));
  if (!list.length) body.append(el('tr', {}, el('td', { colspan: 7 }, 'No broker yet.')));
  drawBrokerStates();
  for (const select of document.querySelectorAll('.broker-select')) {
    const chosen = select.value;
    select.replaceChildren(...list.map((b) => el('option', { value: b.id }, b.name)));
    if (list.some((b) => String(b.id) === chosen)) select.value = chosen;
  }
  redrawSubscriptions();
}

async function brokerCommand(b, what) {
  $('#broker-problem').textContent = '';
  const r = await api('POST', `/api/brokers/${b.id}/${what}`);
  if (!r.ok) $('#broker-problem').textContent = `${what} ${b.name}: ${r.data.error}`;
}

async function removeBroker(b) {
  if (!confirm(`Remove broker ${b.name} and its subscriptions?`)) return;
  const r = await api('DELETE', `/api/brokers/${b.id}`);
  $('#broker-problem').textContent = r.ok ? '' : `remove ${b.name}: ${r.data.error}`;
  loadSubscriptions();
}

function editBroker(b) {
  const form = $('#broker-form');
  form.reset();
  showErrors(form, null);
  state.editing = b.id;
  for (const key of ['name', 'address', 'port', 'keepAlive', 'scriptLimit', 'clientId', 'user']) form.elements[key].value = b[key];
  form.elements.ssl.checked = b.ssl;
  form.elements.autoConnect.checked = b.autoConnect;
  chooseCertificate(b.certificate);
  form.elements.password.placeholder = b.passwordSet ? 'set: leave empty to keep it' : 'none';
  form.classList.add('editing');
  $('#broker-editor summary').textContent = `Edit broker ${b.name}`;
  $('#broker-editor').open = true;
  form.elements.name.focus();
}

// The broker's client certificate is chosen by name among the client store's
// entries; the row keeps the entry's id.
function chooseCertificate(id) {
  const options = state.clients.map((e) => el('option', { value: e.id }, entryLabel(e)));
  if (id !== null && !state.clients.some((e) => e.id === id)) {
    options.push(el('option', { value: id }, `#${id} (not in the store)`));
  }
  $('#certificate-choice').replaceChildren(el('option', { value: '' }, 'none'), ...options);
  $('#certificate-choice').value = id === null ? '' : String(id);
}

function certificateName(id) {
  const e = state.clients.find((x) => x.id === id);
  return e ? entryLabel(e) : `#${id} (not in the store)`;
}

function closeBrokerEditor() {
  const form = $('#broker-form');
  form.reset();
  showErrors(form, null);
  state.editing = null;
  form.classList.remove('editing');
  form.elements.password.placeholder = '';
  $('#broker-editor summary').textContent = 'Add a broker';
  $('#broker-editor').open = false;
}
$('#broker-cancel').addEventListener('click', closeBrokerEditor);

onSubmit($('#broker-form'), async (f) => {
  const body = { name: f.get('name'), address: f.get('address'), ssl: f.has('ssl'), autoConnect: f.has('autoConnect'),
                 clientId: f.get('clientId'), user: f.get('user') };
  for (const key of ['port', 'keepAlive', 'scriptLimit']) if (f.get(key) !== '') body[key] = Number(f.get(key));
  body.certificate = f.get('certificate') === '' ? null : Number(f.get('certificate'));
  if (f.get('password')) body.password = f.get('password');
  if (state.editing && f.has('clearPassword')) body.clearPassword = true;
  const r = state.editing ? await api('PUT', `/api/brokers/${state.editing}`, body) : await api('POST', '/api/brokers', body);
  if (!r.ok) return showErrors($('#broker-form'), r.data);
  closeBrokerEditor();
});

// ---- Subscriptions --------------------------------------------------------------------

let subscriptions = [];

async function loadSubscriptions() {
  const r = await api('GET', '/api/subscriptions');
  $('#subscription-problem').textContent = r.ok ? '' : r.data.error;
  if (r.ok) subscriptions = r.data;
  redrawSubscriptions();
}

function redrawSubscriptions() {
  const body = $('#subscription-table tbody');
  body.replaceChildren(...subscriptions.map((s) => {
    const script = el('textarea', { rows: 1, 'aria-label': `script of ${s.filter}`, readonly: state.role === 'read-only' });
    script.value = s.script;
    return el('tr', { 'data-filter': s.filter },
      el('td', {}, brokerName(s.brokerId)), el('td', {}, el('code', {}, s.filter)), el('td', {}, String(s.qos)),
      el('td', {}, script),
      el('td', { class: 'change actions' },
        el('button', { type: 'button', onclick: () => saveScript(s, script.value) }, 'Save script'),
        el('button', { type: 'button', onclick: () => unsubscribe(s) }, 'Unsubscribe')));
  }));
  if (!subscriptions.length) body.append(el('tr', {}, el('td', { colspan: 5 }, 'No subscription yet.')));
}

async function saveScript(s, script) {
  const r = await api('PUT', `/api/subscriptions/${s.id}`, { script });
  $('#subscription-problem').textContent = r.ok ? `Script of ${s.filter} saved.` : r.data.error;
  if (r.ok) loadSubscriptions();
}

async function unsubscribe(s) {
  const r = await api('DELETE', `/api/subscriptions/${s.id}`);
  $('#subscription-problem').textContent = r.ok ? '' : `unsubscribe ${s.filter}: ${r.data.error}`;
  loadSubscriptions();
}

onSubmit($('#subscribe-form'), async (f) => {
  const r = await api('POST', '/api/subscriptions', { brokerId: Number(f.get('brokerId')), filter: f.get('filter'),
                                                      qos: Number(f.get('qos')), script: f.get('script') });
  if (!r.ok) return showErrors($('#subscribe-form'), r.data);
  $('#subscribe-form').reset();
  loadSubscriptions();
});

// ---- Arriving messages ------------------------------------------------------------------

// MQTT filter matching: "+" is one level, a last "#" this level and all below;
// a wildcard first level does not match a topic that starts with "$".
function filterMatches(filter, topic) {
  const f = filter.split('/'), t = topic.split('/');
  if (topic.startsWith('$') && (f[0] === '+' || f[0] === '#')) return false;
  for (let i = 0; i < f.length; i++) {
    if (f[i] === '#') return true;
    if (i >= t.length || (f[i] !== '+' && f[i] !== t[i])) return false;
  }
  return f.length === t.length;
}

function filterProblem(filter) {
  const levels = filter.split('/');
  for (let i = 0; i < levels.length; i++) {
    if (levels[i].includes('#') && (levels[i] !== '#' || i !== levels.length - 1)) return '"#" only as the whole last level';
    if (levels[i].includes('+') && levels[i] !== '+') return '"+" only as a whole level';
  }
  return '';
}

function shown(m) {
  if (m.text !== undefined) return m.text + (m.truncated ? ` \u2026 (${m.size} bytes)` : '');
  return 'hex: ' + m.hex + (m.truncated ? ` \u2026 (${m.size} bytes)` : '');
}

function addMessage(m) {
  state.messages.push(m);
  if (state.messages.length > MAX_MESSAGES) state.messages.shift();
  redrawMessages();
}

let redrawPending = false;
function redrawMessages() {
  if (redrawPending) return;
  redrawPending = true;
  requestAnimationFrame(() => { redrawPending = false; drawMessages(); });
}

function drawMessages() {
  const filter = $('#topic-filter').value.trim();
  const problem = filter ? filterProblem(filter) : '';
  $('#topic-filter-error').textContent = problem;
  const list = state.messages.filter((m) => !filter || problem || filterMatches(filter, m.topic));
  $('#message-count').textContent = `(${list.length})`;
  $('#message-list').replaceChildren(...list.slice().reverse().map((m) => el('li', { class: m.hex !== undefined ? 'binary' : '' },
    el('time', {}, new Date(m.time * 1000).toISOString().slice(11, 19)), ' ',
    el('span', { class: 'broker' }, brokerName(m.brokerId)), ' ',
    el('b', { class: 'topic' }, m.topic), ' ', el('code', {}, shown(m)))));
  $('#topic-tree').replaceChildren(...treeItems(buildTree(list)));
}

function buildTree(list) {
  const root = { children: new Map(), count: 0 };
  for (const m of list) {
    let node = root;
    for (const level of m.topic.split('/')) {
      if (!node.children.has(level)) node.children.set(level, { children: new Map(), count: 0, last: null });
      node = node.children.get(level);
      node.count++;
    }
    node.last = m;
  }
  return root;
}

function treeItems(node) {
  return [...node.children.entries()].sort((a, b) => a[0].localeCompare(b[0])).map(([level, child]) =>
    el('li', {},
      el('span', { class: 'level' }, level === '' ? '(empty)' : level), ' ',
      el('span', { class: 'count' }, `${child.count} message${child.count === 1 ? '' : 's'}`),
      child.last ? el('code', { class: 'latest' }, shown(child.last)) : '',
      child.children.size ? el('ul', {}, ...treeItems(child)) : ''));
}

$('#topic-filter').addEventListener('input', redrawMessages);
$('#clear-received').addEventListener('click', async () => {
  const r = await api('POST', '/api/received/clear');
  if (!r.ok) return ($('#live-problem').textContent = r.data.error);
  state.messages = [];
  redrawMessages();
});

// ---- Publish ----------------------------------------------------------------------------

onSubmit($('#publish-form'), async (f) => {
  $('#publish-done').textContent = '';
  const queued = f.has('queueWhileOffline');
  const r = await api('POST', '/api/publish', { brokerId: Number(f.get('brokerId')), topic: f.get('topic'),
                                                payload: f.get('payload'), qos: Number(f.get('qos')), retain: f.has('retain'),
                                                queueWhileOffline: queued });
  if (!r.ok) return showErrors($('#publish-form'), r.data);
  $('#publish-done').textContent = queued
    ? `Taken for ${f.get('topic')}: ${brokerName(Number(f.get('brokerId')))} delivers it as soon as it can.`
    : `Published to ${f.get('topic')}.`;
});

// ---- Trust store --------------------------------------------------------------------------

function entryLabel(e) { return e.name === null ? `#${e.id} (no name)` : e.name; }

async function loadTrust() {
  const r = await api('GET', '/api/trust');
  $('#trust-problem').textContent = r.ok ? '' : r.data.error;
  const entries = (list, kind) => list.length ? list.map((e) => entryItem(kind, e)) : [el('li', {}, 'None.')];
  $('#ca-list').replaceChildren(...entries(r.ok ? r.data.ca : [], 'ca'));
  $('#client-list').replaceChildren(...entries(r.ok ? r.data.clients : [], 'clients'));
  state.clients = r.ok ? r.data.clients : [];
  if (!state.editing) chooseCertificate(null);
  showBrokers(state.brokers);
}

function entryItem(kind, e) {
  const item = el('li', { 'data-entry': entryLabel(e) },
    el('b', {}, entryLabel(e)), ' ', e.subject, el('br'),
    el('small', {}, `issued by ${e.issuer}; valid from ${e.notBefore} until ${e.notAfter}` +
      (e.certificates > 1 ? `; ${e.certificates} certificates` : '')), el('br'),
    el('small', {}, 'SHA-256 ', el('code', { class: 'fingerprint' }, e.fingerprint)), ' ',
    el('span', { class: 'change actions' },
      el('button', { type: 'button', onclick: () => renameEntry(kind, e, item) }, 'Rename'), ' ',
      el('button', { type: 'button', onclick: () => removeEntry(kind, e) }, 'Remove')));
  return item;
}

function renameEntry(kind, e, item) {
  if (item.querySelector('form')) return;
  const name = el('input', { 'aria-label': `New name of ${entryLabel(e)}`, value: e.name || '' });
  const problem = el('span', { class: 'error', role: 'alert' });
  const form = el('form', { class: 'change', novalidate: true }, name, ' ', el('button', {}, 'Save name'), ' ',
    el('button', { type: 'button', onclick: () => form.remove() }, 'Cancel'), ' ', problem);
  form.addEventListener('submit', async (ev) => {
    ev.preventDefault();
    const r = await api('PUT', `/api/trust/${kind}/${e.id}`, { name: name.value });
    if (!r.ok) return (problem.textContent = r.data.error);
    loadTrust();
  });
  item.append(form);
  name.focus();
}

async function removeEntry(kind, e) {
  const users = kind === 'clients' ? state.brokers.filter((b) => b.certificate === e.id).map((b) => b.name) : [];
  const warning = users.length ? ` The TLS connections of ${users.join(', ')}, which use it, will fail.` : '';
  if (!confirm(`Remove ${entryLabel(e)} (${e.subject})?${warning}`)) return;
  const r = await api('DELETE', `/api/trust/${kind}/${e.id}`);
  if (!r.ok) $('#trust-problem').textContent = r.data.error;
  loadTrust();
}

async function upload(form, path, files) {
  const body = { name: form.elements.name.value };
  for (const name of files) {
    const file = form.elements[name].files[0];
    body[name] = file ? await file.text() : '';
  }
  const r = await api('POST', path, body);
  if (!r.ok) return showErrors(form, r.data);
  form.reset();
  loadTrust();
}
onSubmit($('#ca-form'), () => upload($('#ca-form'), '/api/trust/ca', ['certificate']));
onSubmit($('#client-form'), () => upload($('#client-form'), '/api/trust/clients', ['certificate', 'key']));

// ---- Start ------------------------------------------------------------------------------

(async () => {
  const r = await api('GET', '/api/session');
  if (r.ok) enter(r.data);
  else showLogin(r.status === 401 ? '' : r.data.error);
})();
