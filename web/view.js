// The control page's DOM: the sender table, the projector layout, the status and
// problem lines, and the sign-in form shown while a password is set and this browser
// has no session. Owns what is on screen (and the busy flag that greys the controls);
// app.js decides when to call the program and hands each reply here.
import { REQUEST_TIMEOUT_MS } from './api.js';
import { isolate, frameText } from './reply.js';

const FRAMES = [1, 2, 3, 4];
const MESSAGE_MS = 8000;

const byId = (id) => document.getElementById(id);
const el = {
  leave: byId('leave'),
  signout: byId('signout'),
  updated: byId('updated'),
  message: byId('message'),
  problem: byId('problem'),
  problemTitle: byId('problem-title'),
  problemDetail: byId('problem-detail'),
  retry: byId('retry'),
  empty: byId('empty'),
  table: byId('senders'),
  rows: byId('sender-rows'),
  layout: byId('layout'),
  unframed: byId('unframed'),
  panels: [byId('projector-panel'), byId('senders-panel')],
  signin: byId('signin'),
  signinForm: byId('signin-form'),
  password: byId('password'),
  signinButton: byId('signin-button'),
  signinError: byId('signin-error'),
};

let shownKey = null;      // what the table currently shows, to skip needless redraws
let busy = false;         // an action is on its way
let messageAt = 0;
let handlers = {};

// act(formBody, pendingText, outcome, target, index) for a row's buttons; leave, retry,
// signIn(password) and signOut for the fixed controls.
export function bindView(h) {
  handlers = h;
  el.leave.addEventListener('click', () => h.leave());
  el.retry.addEventListener('click', () => h.retry());
  el.signout.addEventListener('click', () => h.signOut());
  el.signinForm.addEventListener('submit', (e) => {
    e.preventDefault();
    if (el.signinButton.getAttribute('aria-disabled') !== 'true') h.signIn(el.password.value);
  });
}

export function setMessage(text) {
  messageAt = Date.now();
  if (el.message.textContent !== text) el.message.textContent = text;
}

// An action's outcome stays readable for a while, then makes way for newer state.
export function expireMessage() {
  if (el.message.textContent && Date.now() - messageAt > MESSAGE_MS) setMessage('');
}

export const isBusy = () => busy;

export function setBusy(on) {
  busy = on;
  document.body.classList.toggle('is-busy', on);
  // aria-disabled rather than disabled: a disabled button drops the keyboard focus.
  for (const b of document.querySelectorAll('button[data-action]')) {
    b.setAttribute('aria-disabled', on ? 'true' : 'false');
  }
  for (const b of [el.leave, el.signout]) b.setAttribute('aria-disabled', on ? 'true' : 'false');
  el.table.setAttribute('aria-busy', on ? 'true' : 'false');
}

export function describeProblem(result) {
  if (result.kind === 'http' && result.status >= 500) {
    return ['The screen-receiver service is not answering.',
      'The device\'s web server reported an error (HTTP ' + result.status + '). ' +
      'The receiver service may be restarting. This page keeps trying.'];
  }
  if (result.kind === 'http') {
    // The program's own refusal names its reason (an https:// address needed).
    return [result.text ? 'The device refused the request.' : 'The control program did not answer.',
      (result.text ? result.text + ' ' : 'The device\'s web server answered with HTTP ' + result.status + '. ') +
      'This page keeps trying.'];
  }
  if (result.kind === 'network' && result.timedOut) {
    return ['The device did not answer in time.',
      'No reply came within ' + (REQUEST_TIMEOUT_MS / 1000) + ' seconds. This page keeps trying.'];
  }
  if (result.kind === 'network') {
    return ['Cannot reach the device.',
      'The network request failed. Check the connection to the receiver. This page keeps trying.'];
  }
  return ['The device sent a reply this page cannot read.',
    'Details: ' + (result.reason || 'unexpected content') + '. This page keeps trying.'];
}

export function showProblem(result) {
  leaveSignIn();
  const [title, detail] = describeProblem(result);
  document.body.dataset.state = 'error';
  document.body.dataset.problem = result.kind === 'http' ? 'unreachable' : result.kind;
  if (el.problemTitle.textContent !== title) el.problemTitle.textContent = title;
  if (el.problemDetail.textContent !== detail) el.problemDetail.textContent = detail;
  el.problem.hidden = false;
  el.table.hidden = true;
  el.empty.hidden = true;
  // The list is unknown now; keep no stale rows around for actions.
  shownKey = null;
  renderLayout(null);
  el.updated.textContent = 'Last attempt ' + new Date().toLocaleTimeString();
}

function makeButton(label, aria, key, onClick) {
  const b = document.createElement('button');
  b.type = 'button';
  b.textContent = label;
  b.setAttribute('aria-label', aria);
  b.dataset.action = key;
  b.setAttribute('aria-disabled', busy ? 'true' : 'false');
  b.addEventListener('click', onClick);
  return b;
}

function cell(tag, label, content) {
  const c = document.createElement(tag);
  c.dataset.label = label;  // shown as a heading in the narrow layout
  if (typeof content === 'string') c.textContent = content;
  else if (content) c.append(content);
  return c;
}

function renderRows(list) {
  // Keep the keyboard focus on the same control across a redraw.
  const active = document.activeElement;
  const focusKey = active && el.rows.contains(active) ? active.dataset.action : null;
  const act = (...args) => handlers.act(...args);

  const frag = document.createDocumentFragment();
  list.forEach((s, index) => {
    const who = s.name === '' ? 'sender ' + (index + 1) : s.name;
    const shown = isolate(who);  // in visible text
    const tr = document.createElement('tr');
    tr.dataset.index = String(index);
    tr.dataset.frame = String(s.frame);
    // Sent with each action: the program skips it when another sender now holds this
    // index. A name the page could not read exactly (bytes that are not UTF-8) is left
    // out, and only the address is compared.
    const readable = !s.name.includes('\uFFFD');
    const mine = 'sender' + index + '=' + encodeURIComponent(s.ip + (readable ? ' ' + s.name : '')) + '&';

    const nameCell = cell('th', 'User name', s.name === '' ? '(no name)' : s.name);
    nameCell.scope = 'row';
    nameCell.className = 'name';
    tr.append(nameCell);
    tr.append(cell('td', 'IP address', s.ip || '–'));
    tr.append(cell('td', 'Application', s.appType === null ? '–' : String(s.appType)));

    const badge = document.createElement('span');
    badge.className = 'badge' + (s.frame >= 0 ? ' badge-on' : '');
    badge.textContent = frameText(s.frame);
    const stateCell = cell('td', 'Shown', badge);
    stateCell.className = 'state';
    tr.append(stateCell);

    const group = document.createElement('div');
    group.className = 'actions';
    group.setAttribute('role', 'group');
    group.setAttribute('aria-label', 'Controls for ' + who);
    const frames = document.createElement('span');
    frames.className = 'frames';
    for (const f of FRAMES) {
      const b = makeButton(String(f), 'Show ' + who + ' in frame ' + f, index + ':play' + f,
        () => act(mine + 'userid' + index + '=Play' + f, 'Showing ' + shown + ' in frame ' + f + '…',
          (now) => (now && now.frame === f ? shown + ' is shown in frame ' + f + '.'
            : 'The receiver did not show ' + shown + ' in frame ' + f + '.'), s, index));
      b.className = 'frame-button';
      b.setAttribute('aria-pressed', s.frame === f ? 'true' : 'false');
      frames.append(b);
    }
    group.append(frames);
    const stop = makeButton('Stop', 'Stop showing ' + who, index + ':stop',
      () => act(mine + 'userid' + index + '=Stop', 'Stopping ' + shown + '…',
        (now) => (!now || now.frame < 0 ? shown + ' is not shown.' : 'The receiver still shows ' + shown + '.'), s, index));
    stop.className = 'button stop-button';
    group.append(stop);
    tr.append(cell('td', 'Show in frame / stop', group));
    frag.append(tr);
  });
  el.rows.replaceChildren(frag);

  if (focusKey) {
    const again = el.rows.querySelector('button[data-action="' + CSS.escape(focusKey) + '"]');
    const fallback = again || el.rows.querySelector('button[data-action]');
    if (fallback) fallback.focus();
    else byId('senders-title').focus();
  }
}

// After a redraw that kept the focus on a row another sender holds now: the same
// control in the row at newIndex.
export function moveFocusToRow(newIndex) {
  const key = el.rows.contains(document.activeElement) && document.activeElement.dataset.action;
  const again = key && el.rows.querySelector('button[data-action="' + key.replace(/^\d+/, String(newIndex)) + '"]');
  if (again) again.focus();
}

// list null: the receiver's state is not known right now.
function renderLayout(list) {
  el.layout.classList.toggle('layout-unknown', list === null);
  for (const tile of el.layout.querySelectorAll('.tile')) {
    const f = Number(tile.dataset.frame);
    const names = (list || []).filter((s) => s.frame === f).map((s) => isolate(s.name || '(no name)'));
    const nameEl = tile.querySelector('.tile-name');
    const text = list === null ? 'Unknown' : names.length ? names.join(', ') : 'Empty';
    if (nameEl.textContent !== text) nameEl.textContent = text;
    tile.classList.toggle('tile-on', names.length > 0);
  }
  const unframed = (list || []).filter((s) => s.frame === 0 || s.frame > 4)
    .map((s) => isolate(s.name || '(no name)'));
  el.unframed.hidden = unframed.length === 0;
  el.unframed.textContent = unframed.length ? 'Shown without a frame number: ' + unframed.join(', ') : '';
}

export function showList(list) {
  leaveSignIn();
  document.body.dataset.state = list.length ? 'list' : 'empty';
  delete document.body.dataset.problem;
  el.problem.hidden = true;
  el.updated.textContent = 'Updated ' + new Date().toLocaleTimeString();
  const key = JSON.stringify(list);
  if (key !== shownKey) {
    shownKey = key;
    renderRows(list);
    renderLayout(list);
  }
  el.table.hidden = list.length === 0;
  el.empty.hidden = list.length !== 0;
}

// ---- access ------------------------------------------------------------------------

// The replies say whether they came under a valid session: only then can it be ended.
export function setSession(active) {
  el.signout.hidden = !active;
}

export const signingIn = () => !el.signin.hidden;

// Swaps the controls for the sign-in form (focus on its field); nothing of the list
// stays on the page. note: a line for the form's alert ('' for none).
export function showSignIn(note) {
  if (!signingIn()) {
    for (const p of el.panels) p.hidden = true;
    el.leave.hidden = true;
    el.signout.hidden = true;
    el.signin.hidden = false;
    document.body.dataset.state = 'signin';
    delete document.body.dataset.problem;
    el.rows.replaceChildren();
    shownKey = null;
    renderLayout(null);
    setMessage('');
    el.password.value = '';
    el.password.focus();
  }
  signInFailed(note);
}

// The form stays; its alert line says why (a wrong password, the wait).
export function signInFailed(text) {
  el.signinError.textContent = text;
  el.password.setAttribute('aria-invalid', text ? 'true' : 'false');
  if (text) {
    el.password.select();
    el.password.focus();
  }
}

export function setSigningIn(on) {
  el.signinButton.setAttribute('aria-disabled', on ? 'true' : 'false');
  el.signinForm.setAttribute('aria-busy', on ? 'true' : 'false');
}

function leaveSignIn() {
  if (!signingIn()) return;
  const hadFocus = el.signin.contains(document.activeElement);
  el.signin.hidden = true;
  el.password.value = '';
  signInFailed('');
  for (const p of el.panels) p.hidden = false;
  el.leave.hidden = false;
  if (hadFocus) byId('senders-title').focus();
}
