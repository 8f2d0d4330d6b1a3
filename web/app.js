// Control page of the screen receiver: lists the presenting computers ("senders") that
// the receiver knows and lets the user show one in a projector frame, stop showing it,
// or leave conference control. All talk goes through the CGI program, which answers
// every request with the current sender list as a small line-oriented XML document.
'use strict';

(function () {
  const CGI_URL = '/cgi-bin/screenreceiver.cgi';
  const POLL_MS = 3000;
  // One run of the program sends up to four receiver commands, each allowed 10 s.
  const REQUEST_TIMEOUT_MS = 45000;
  const FRAMES = [1, 2, 3, 4];
  const MESSAGE_MS = 8000;

  // The program replaces these characters in user names by fixed words so that the
  // reply stays parseable; turn them back for display.
  const NAME_WORDS = {
    Pa_Amp: '&', Pa_Note: ';', Pa_Percent: '%', Pa_Lt: '<', Pa_Gt: '>', Pa_Add: '+',
  };
  const NAME_WORD_RE = /Pa_(?:Amp|Note|Percent|Lt|Gt|Add)/g;

  function decodeName(text) {
    return String(text).replace(NAME_WORD_RE, (w) => NAME_WORDS[w]);
  }

  function field(block, tag) {
    // Text elements open and close on one line; names carry no '<' after escaping.
    const m = new RegExp('<' + tag + '>([^<]*)</' + tag + '>').exec(block);
    return m ? m[1] : null;
  }

  function toInt(text, fallback) {
    if (text === null || !/^\s*-?\d+\s*$/.test(text)) return fallback;
    return parseInt(text, 10);
  }

  // Reads a reply body. The program's output is not always well-formed XML (a logout
  // reply stops after "<return>"), so it is read line-wise with patterns instead of
  // an XML parser. Results:
  //   {kind: 'list', senders: [...]}  a complete list
  //   {kind: 'done'}                  "<return>" without a list: the action ended the
  //                                   run early (logout) or the request was refused
  //   {kind: 'invalid', reason}       anything else, including a list cut short
  function parseReply(text) {
    const body = String(text);
    if (!/^\s*<return>/.test(body)) return { kind: 'invalid', reason: 'no <return>' };
    const total = /<total>\s*(\d+)\s*<\/total>/.exec(body);
    if (!total) return { kind: 'done' };
    if (!/<\/return>\s*$/.test(body)) return { kind: 'invalid', reason: 'reply cut short' };

    const senders = [];
    const blockRe = /<conference>([\s\S]*?)<\/conference>/g;
    let m;
    while ((m = blockRe.exec(body)) !== null) {
      const block = m[1];
      const name = field(block, 'username');
      senders.push({
        name: name === null ? '' : decodeName(name),
        frame: toInt(field(block, 'frame'), -1),
        ip: (field(block, 'ip') || '').trim(),
        appType: toInt(field(block, 'apptype'), null),
      });
    }
    if (senders.length !== Number(total[1])) {
      return { kind: 'invalid', reason: 'total ' + total[1] + ' but ' + senders.length + ' entries' };
    }
    return { kind: 'list', senders };
  }

  // A name is shown between isolate marks wherever it stands among other text, so that
  // direction controls in it (a right-to-left override) cannot reorder the text around
  // it. A closing mark in the name that closes nothing of its own would end the
  // isolation early, so it is dropped; isolates the name leaves open are closed. A
  // paragraph or record separator would end the isolation with its paragraph, so each
  // becomes a space.
  function isolate(name) {
    let open = 0;
    const own = Array.from(String(name).replace(/[\n\r\u001C-\u001E\u0085\u2029]/g, ' ')).filter((c) => {
      if (c >= '\u2066' && c <= '\u2068') open++;
      else if (c === '\u2069') {
        if (open === 0) return false;
        open--;
      }
      return true;
    });
    return '\u2068' + own.join('') + '\u2069'.repeat(open + 1);
  }

  function frameText(frame) {
    if (frame < 0) return 'Not shown';
    if (frame === 0) return 'Shown';
    return 'Frame ' + frame;
  }

  // Outside a browser (the parser's unit test under Node) only the pure helpers exist.
  if (typeof module !== 'undefined' && module.exports) {
    module.exports = { parseReply, decodeName, isolate, frameText };
  }
  if (typeof document === 'undefined') return;

  // Framed by another page, the controls could be clicked through a decoy laid over them.
  // Servers that send frame-ancestors and X-Frame-Options keep the page from loading in a
  // frame at all; behind one that cannot (BusyBox httpd), the page shows no controls and
  // never calls the program.
  if (window.top !== window.self) {
    const note = document.createElement('p');
    note.className = 'problem';
    note.textContent = 'This page controls the projector only when opened in a tab of its own.';
    document.body.replaceChildren(note);
    return;
  }

  // ---- talking to the program ----------------------------------------------------

  let requestSeq = 0;

  // Resolves (never rejects) with a parsed reply or one of
  //   {kind: 'http', status}  the web server answered with an error; an empty output
  //                           of the program (service unreachable) shows up this way
  //   {kind: 'network', timedOut}
  async function callProgram(formBody) {
    // A unique query keeps any cache in between from answering; the program ignores
    // this variable (neither a "userid" nor a "logout" name, nor an action value).
    const url = CGI_URL + '?t=' + Date.now().toString(36) + '.' + (++requestSeq);
    const ctrl = new AbortController();
    const timer = setTimeout(() => ctrl.abort(), REQUEST_TIMEOUT_MS);
    // The web server starts the program only for requests that carry this header,
    // which a page of another origin cannot add.
    const headers = { 'X-Requested-With': 'screenreceiver' };
    const init = { cache: 'no-store', signal: ctrl.signal, credentials: 'same-origin', headers };
    if (formBody !== undefined) {
      init.method = 'POST';
      // Set explicitly: the program accepts this type without a charset parameter,
      // while a URLSearchParams body would add ";charset=UTF-8".
      headers['Content-Type'] = 'application/x-www-form-urlencoded';
      init.body = formBody;
    }
    try {
      const res = await fetch(url, init);
      if (!res.ok) return { kind: 'http', status: res.status };
      return parseReply(await res.text());
    } catch (e) {
      return { kind: 'network', timedOut: ctrl.signal.aborted };
    } finally {
      clearTimeout(timer);
    }
  }

  // ---- page state ----------------------------------------------------------------

  const el = {
    leave: document.getElementById('leave'),
    updated: document.getElementById('updated'),
    message: document.getElementById('message'),
    problem: document.getElementById('problem'),
    problemTitle: document.getElementById('problem-title'),
    problemDetail: document.getElementById('problem-detail'),
    retry: document.getElementById('retry'),
    empty: document.getElementById('empty'),
    table: document.getElementById('senders'),
    rows: document.getElementById('sender-rows'),
    layout: document.getElementById('layout'),
    unframed: document.getElementById('unframed'),
  };

  let senders = [];         // the list as shown; action indices refer to it
  let shownKey = null;      // what the table currently shows, to skip needless redraws
  let busy = false;         // an action is on its way
  let pollTimer = null;
  let polling = false;
  let lastIssued = 0;       // replies are applied in the order their requests were made
  let lastApplied = 0;

  let messageAt = 0;
  function setMessage(text) {
    messageAt = Date.now();
    if (el.message.textContent !== text) el.message.textContent = text;
  }

  function setBusy(on) {
    busy = on;
    document.body.classList.toggle('is-busy', on);
    // aria-disabled rather than disabled: a disabled button drops the keyboard focus.
    for (const b of document.querySelectorAll('button[data-action]')) {
      b.setAttribute('aria-disabled', on ? 'true' : 'false');
    }
    el.leave.setAttribute('aria-disabled', on ? 'true' : 'false');
    el.table.setAttribute('aria-busy', on ? 'true' : 'false');
  }

  function describeProblem(result) {
    if (result.kind === 'http' && result.status >= 500) {
      return ['The screen-receiver service is not answering.',
        'The device\'s web server reported an error (HTTP ' + result.status + '). ' +
        'The receiver service may be restarting. This page keeps trying.'];
    }
    if (result.kind === 'http') {
      return ['The control program did not answer.',
        'The device\'s web server answered with HTTP ' + result.status + '. This page keeps trying.'];
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

  function showProblem(result) {
    const [title, detail] = describeProblem(result);
    document.body.dataset.state = 'error';
    document.body.dataset.problem = result.kind === 'http' ? 'unreachable' : result.kind;
    if (el.problemTitle.textContent !== title) el.problemTitle.textContent = title;
    if (el.problemDetail.textContent !== detail) el.problemDetail.textContent = detail;
    el.problem.hidden = false;
    el.table.hidden = true;
    el.empty.hidden = true;
    // The list is unknown now; keep no stale indices around for actions.
    senders = [];
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
      else document.getElementById('senders-title').focus();
    }
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

  function showList(list) {
    document.body.dataset.state = list.length ? 'list' : 'empty';
    delete document.body.dataset.problem;
    el.problem.hidden = true;
    el.updated.textContent = 'Updated ' + new Date().toLocaleTimeString();
    const key = JSON.stringify(list);
    senders = list;
    if (key !== shownKey) {
      shownKey = key;
      renderRows(list);
      renderLayout(list);
    }
    el.table.hidden = list.length === 0;
    el.empty.hidden = list.length !== 0;
  }

  // Applies a reply unless a newer request has already been applied. Returns false
  // when the reply was dropped as stale.
  function apply(seq, result) {
    if (seq < lastApplied) return false;
    lastApplied = seq;
    if (result.kind === 'list') showList(result.senders);
    else if (result.kind !== 'done') showProblem(result);
    return true;
  }

  // ---- polling and actions -------------------------------------------------------

  function schedulePoll(delay) {
    clearTimeout(pollTimer);
    pollTimer = setTimeout(poll, delay);
  }

  async function poll() {
    clearTimeout(pollTimer);
    if (polling || busy || document.hidden) {
      schedulePoll(POLL_MS);
      return;
    }
    polling = true;
    const seq = ++lastIssued;
    try {
      const result = await callProgram();
      // A plain list request never ends early: a reply without a list is unreadable.
      apply(seq, result.kind === 'done' ? { kind: 'invalid', reason: 'reply without a list' } : result);
      // An action's outcome stays readable for a while, then makes way for newer state.
      if (el.message.textContent && Date.now() - messageAt > MESSAGE_MS) setMessage('');
    } finally {
      polling = false;
      schedulePoll(POLL_MS);
    }
  }

  // Sends one action. The reply reports no failures, only the list afterwards, so the
  // outcome is read from the list: outcome(entry) gets the target sender's new entry
  // (found by name and address) or undefined. When the target is no longer at the index
  // it had on the page, the program skipped the action: the list moved under the click.
  async function act(formBody, pendingText, outcome, target, index) {
    if (busy) return;
    setBusy(true);
    setMessage(pendingText);
    const seq = ++lastIssued;
    let result;
    try {
      result = await callProgram(formBody);
      if (result.kind === 'done') {
        // The logout reply carries no list: fetch it.
        setMessage(formBody.startsWith('logout') ? 'Left conference control.' : 'Done; the list is fetched again.');
        const again = ++lastIssued;
        apply(again, await callProgram());
      } else {
        apply(seq, result);
        if (result.kind !== 'list') setMessage('The action may not have reached the receiver.');
        else if (outcome) {
          const now = result.senders.find((x) => x.name === target.name && x.ip === target.ip);
          const who = isolate(target.name === '' ? 'sender ' + (index + 1) : target.name);
          if (now && result.senders[index] === now) setMessage(outcome(now));
          else if (now) {
            // The redraw kept the focus on the old row, which another sender holds now:
            // move it to the same control in this sender's row.
            const key = el.rows.contains(document.activeElement) && document.activeElement.dataset.action;
            const again = key && el.rows.querySelector('button[data-action="' +
              key.replace(/^\d+/, String(result.senders.indexOf(now))) + '"]');
            if (again) again.focus();
            setMessage(who + ' moved in the list before the click arrived, so nothing was changed. ' +
              'The list is up to date: choose again.');
          } else setMessage(who + ' has left, so nothing was changed. The list is up to date.');
        } else setMessage('Done.');
      }
    } finally {
      setBusy(false);
      schedulePoll(POLL_MS);
    }
  }

  el.leave.addEventListener('click', () => act('logout=1', 'Leaving conference control…'));
  el.retry.addEventListener('click', () => { setMessage('Trying again…'); poll(); });
  document.addEventListener('visibilitychange', () => { if (!document.hidden) poll(); });

  poll();
})();
