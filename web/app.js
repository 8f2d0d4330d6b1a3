// Control page of the screen receiver: lists the presenting computers ("senders") that
// the receiver knows and lets the user show one in a projector frame, stop showing it,
// or leave conference control. All talk goes through the CGI program, which answers
// every request with the current sender list as a small line-oriented XML document.
// This module wires the rest together: when to poll, the actions, sign-in and sign-out,
// and which reply is applied (reply.js reads replies, api.js calls the program, view.js
// draws). While a moderator password is set, the program answers 401 until this browser
// signs in; the session lives in an HttpOnly cookie, nothing is kept by the page.
import { callProgram, signIn, signOut } from './api.js';
import { isolate, waitText } from './reply.js';
import * as view from './view.js';

const POLL_MS = 3000;

let pollTimer = null;
let polling = false;
let lastIssued = 0;       // replies are applied in the order their requests were made
let lastApplied = 0;
let hadSession = false;   // the last reply came under a session: a 401 now means it ended

const heldBack = (seconds) => 'Too many wrong passwords. Try again in ' + (waitText(seconds) || 'a while') + '.';

// Applies a reply unless a newer request has already been applied. Returns false
// when the reply was dropped as stale.
function apply(seq, result) {
  if (seq < lastApplied) return false;
  lastApplied = seq;
  if (result.kind !== 'network') view.setSession(result.session);
  if (result.kind === 'list') view.showList(result.senders);
  else if (result.kind === 'signin') view.showSignIn(hadSession ? 'Your session has ended. Sign in again.' : '');
  else if (result.kind === 'wait') view.showSignIn(heldBack(result.seconds));
  else if (result.kind === 'signedout') view.showSignIn('');
  else if (result.kind !== 'done') view.showProblem(result);
  if (result.kind !== 'network') hadSession = result.session;
  return true;
}

// ---- polling and actions -------------------------------------------------------

function schedulePoll(delay) {
  clearTimeout(pollTimer);
  pollTimer = setTimeout(poll, delay);
}

async function poll() {
  clearTimeout(pollTimer);
  // Every call would be refused until the sign-in; it starts polling again.
  if (view.signingIn()) return;
  if (polling || view.isBusy() || document.hidden) {
    schedulePoll(POLL_MS);
    return;
  }
  polling = true;
  const seq = ++lastIssued;
  try {
    const result = await callProgram();
    // A plain list request never ends early: a reply without a list is unreadable.
    apply(seq, result.kind === 'done' ? { kind: 'invalid', reason: 'reply without a list', session: result.session } : result);
    view.expireMessage();
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
  if (view.isBusy()) return;
  view.setBusy(true);
  view.setMessage(pendingText);
  const seq = ++lastIssued;
  let result;
  try {
    result = await callProgram(formBody);
    if (result.kind === 'done') {
      // The logout reply carries no list: fetch it.
      view.setMessage(formBody.startsWith('logout') ? 'Left conference control.' : 'Done; the list is fetched again.');
      const again = ++lastIssued;
      apply(again, await callProgram());
    } else {
      apply(seq, result);
      if (view.signingIn()) return;  // the session ended first: nothing was done
      if (result.kind !== 'list') view.setMessage('The action may not have reached the receiver.');
      else if (outcome) {
        const now = result.senders.find((x) => x.name === target.name && x.ip === target.ip);
        const who = isolate(target.name === '' ? 'sender ' + (index + 1) : target.name);
        if (now && result.senders[index] === now) view.setMessage(outcome(now));
        else if (now) {
          view.moveFocusToRow(result.senders.indexOf(now));
          view.setMessage(who + ' moved in the list before the click arrived, so nothing was changed. ' +
            'The list is up to date: choose again.');
        } else view.setMessage(who + ' has left, so nothing was changed. The list is up to date.');
      } else view.setMessage('Done.');
    }
  } finally {
    view.setBusy(false);
    schedulePoll(POLL_MS);
  }
}

// ---- access --------------------------------------------------------------------

async function submitSignIn(password) {
  view.setSigningIn(true);
  const seq = ++lastIssued;
  try {
    const result = await signIn(password);
    if (result.kind === 'list') {
      apply(seq, result);
      schedulePoll(POLL_MS);
    } else if (result.kind === 'http' && result.status === 403) view.signInFailed('Wrong password. Try again.');
    else if (result.kind === 'wait') view.signInFailed(heldBack(result.seconds));
    else if (result.kind === 'signin' || result.kind === 'done') view.signInFailed('The device did not sign you in. Try again.');
    else view.signInFailed(view.describeProblem(result)[0]);
  } finally {
    view.setSigningIn(false);
  }
}

async function submitSignOut() {
  if (view.isBusy()) return;
  view.setBusy(true);  // no poll meanwhile: its reply could show the list again
  const seq = ++lastIssued;
  try {
    const result = await signOut();
    if (result.kind === 'signedout' || result.kind === 'signin') apply(seq, { ...result, kind: 'signedout' });
    else view.setMessage('Signing out failed: ' + view.describeProblem(result)[0]);
  } finally {
    view.setBusy(false);
    schedulePoll(POLL_MS);
  }
}

// Framed by another page, the controls could be clicked through a decoy laid over them.
// Servers that send frame-ancestors and X-Frame-Options keep the page from loading in a
// frame at all; behind one that cannot (BusyBox httpd), the page shows no controls and
// never calls the program.
if (window.top !== window.self) {
  const note = document.createElement('p');
  note.className = 'problem';
  note.textContent = 'This page controls the projector only when opened in a tab of its own.';
  document.body.replaceChildren(note);
} else {
  view.bindView({
    act,
    leave: () => act('logout=1', 'Leaving conference control…'),
    retry: () => { view.setMessage('Trying again…'); poll(); },
    signIn: submitSignIn,
    signOut: submitSignOut,
  });
  document.addEventListener('visibilitychange', () => { if (!document.hidden) poll(); });
  poll();
}
