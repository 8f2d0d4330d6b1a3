// The control page's calls to the CGI program: one fetch each, bounded in time, with the
// reply's HTTP status turned into a result the page acts on. Owns no page state.
import { parseReply } from './reply.js';

const CGI_URL = '/cgi-bin/screenreceiver.cgi';
// One run of the program sends up to four receiver commands, each allowed 10 s.
export const REQUEST_TIMEOUT_MS = 45000;

let requestSeq = 0;

// The first line of a plain-text error reply (the program's own words), else ''.
async function plainLine(res) {
  if (!/^text\/plain\b/i.test(res.headers.get('Content-Type') || '')) return '';
  return (await res.text()).split('\n')[0].trim().slice(0, 200);
}

// Resolves (never rejects) with readOk(body) for a 2xx reply (by default the parsed
// reply) or one of
//   {kind: 'signin'}           a password is set and this browser has no valid session
//   {kind: 'wait', seconds}    too many wrong passwords from here: sign-ins wait
//   {kind: 'http', status, text}  another error; an empty output of the program
//                              (service unreachable) shows up this way
//   {kind: 'network', timedOut}
// Each result but 'network' tells whether the reply came under a valid session.
export async function callProgram(formBody, readOk = parseReply) {
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
    const session = res.headers.get('X-Screenreceiver-Session') === 'active';
    let result;
    if (res.status === 401) result = { kind: 'signin' };
    else if (res.status === 429) result = { kind: 'wait', seconds: parseInt(res.headers.get('Retry-After'), 10) };
    else if (!res.ok) result = { kind: 'http', status: res.status, text: await plainLine(res) };
    else result = readOk(await res.text());
    return { ...result, session };
  } catch (e) {
    return { kind: 'network', timedOut: ctrl.signal.aborted };
  } finally {
    clearTimeout(timer);
  }
}

// A right password answers with the list (and the session cookie); a wrong one with
// {kind: 'http', status: 403}.
export function signIn(password) {
  return callProgram('password=' + encodeURIComponent(password));
}

export function signOut() {
  return callProgram('signout=1', () => ({ kind: 'signedout' }));
}
