// The web front as a device serves it: the build tree installed under umask 000, lighttpd
// with the configuration its installed generator writes, the page and the program against
// receiver-sim on port 19996. Raw HTTP where no browser is needed; the page in chromium.
//   SCREENRECEIVER_BIN_DIR (default build/bin), PAGE_TEST_PORT (default 18080; a page of
//   another origin is served on 127.0.0.2 at the next port), CHROMIUM (/usr/bin/chromium).
// Screenshots go beside the bin folder: page.png, page-phone.png, page-error.png,
// page-signin.png.
'use strict';

const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { spawn, spawnSync, execFileSync } = require('node:child_process');
const fs = require('node:fs');
const http = require('node:http');
const os = require('node:os');
const path = require('node:path');
const { chromium } = require('playwright-core');

const BIN_DIR = path.resolve(process.env.SCREENRECEIVER_BIN_DIR || path.join(__dirname, '../../build/bin'));
const BUILD_DIR = path.dirname(BIN_DIR);
const PORT = Number(process.env.PAGE_TEST_PORT || 18080);
const BASE = `http://127.0.0.1:${PORT}`;
const CGI = '/cgi-bin/screenreceiver.cgi';
const OWN = { 'X-Requested-With': 'screenreceiver' };
const FORM = { 'Content-Type': 'application/x-www-form-urlencoded' };
const AXE = fs.readFileSync(require.resolve('axe-core/axe.min.js'), 'utf8');
const POLICY = ["default-src 'none'", "script-src 'self'", "style-src 'self'", "connect-src 'self'",
  "frame-ancestors 'none'", "base-uri 'none'", "form-action 'none'"];
const iso = (name) => `\u2068${name}\u2069`; // a name as the page isolates it in running text

// What the service holds at the start. Index in the page = position among the
// non-local senders; the local one (this device itself) is never listed.
const SENDERS = [
  { id: 7, ip: '10.0.0.5', name: 'Alice', appType: 1, frame: 0 },
  { id: 8, ip: '10.0.0.6', name: "Bob's laptop", appType: 2, frame: 3 },
  { id: 9, ip: '10.0.0.7', name: '<b>x</b>&y', appType: 1, frame: 0 },
  { id: 10, ip: '192.168.100.200', name: 'a&b<c>;d%e+f', appType: 3, frame: 0 },
  { id: 11, ip: '127.0.0.1', name: 'This device', appType: 0, frame: 0, local: true },
].map((s) => ({ local: false, valid: true, ...s }));
const LISTED = SENDERS.filter((s) => !s.local);

// Polls until predicate() is truthy; the bound only keeps a broken run from hanging.
async function waitFor(what, predicate, timeoutMs = 20000) {
  for (let last, deadline = Date.now() + timeoutMs; ; await new Promise((r) => setTimeout(r, 100))) {
    try {
      if ((last = await predicate())) return last;
    } catch (e) {
      last = e;
    }
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}: ${last}`);
  }
}

// One request with exactly these headers (Host too): {status, headers, body}.
const call = (method, url, headers = {}, body = undefined, localAddress = undefined) => new Promise((resolve, reject) => {
  http.request(BASE + url, { method, headers, localAddress }, (res) => {
    let text = '';
    res.setEncoding('utf8').on('data', (d) => { text += d; });
    res.on('end', () => resolve({ status: res.statusCode, headers: res.headers, body: text }));
  }).on('upgrade', (res, socket) => socket.destroy() && resolve({ status: res.statusCode, headers: res.headers }))
    .on('error', reject).end(body);
});

async function startChild(cmd, args, ready) {
  const child = spawn(cmd, args, { stdio: ['ignore', 'inherit', 'inherit'] });
  await waitFor(cmd, () => (child.exitCode === null ? ready() : Promise.reject(new Error(`exit ${child.exitCode}`))), 10000);
  return child;
}

async function stopChild(child) { // TERM, then KILL after 5 s
  if (!child || child.exitCode !== null || child.signalCode !== null) return;
  const timer = setTimeout(() => child.kill('SIGKILL'), 5000);
  await new Promise((r) => child.once('exit', r).kill('SIGTERM'));
  clearTimeout(timer);
}

describe('web front', { timeout: 300000 }, () => {
  // Root starts lighttpd as www-data, which must reach the installed files.
  const stage = fs.mkdtempSync(path.join(os.tmpdir(), 'screenreceiver-web-'));
  fs.chmodSync(stage, 0o755);
  const [www, stateDir, senders, conf, rules] = ['www', 'lighttpd', 'senders.json', 'lighttpd.conf', 'limit.nft']
    .map((f) => path.join(stage, f));
  const [simState, simReady] = ['sim-state.json', 'sim.ready'].map((f) => path.join(stage, f));
  const state = () => JSON.parse(fs.readFileSync(simState, 'utf8'));
  const commands = () => Object.values(state().commands).reduce((a, b) => a + b, 0); // all it saw
  const frameOf = (id) => state().senders.find((x) => x.id === id).frame;
  const problems = []; // script errors and policy violations on the device's page
  let sim, httpd, browser, page;

  async function startSim(list, ...options) {
    await stopChild(sim);
    fs.writeFileSync(senders, JSON.stringify({ senders: list }));
    for (const f of [simState, simReady]) fs.rmSync(f, { force: true });
    // The ready file is written once it listens (with --no-accept: once its queue is full).
    sim = await startChild(path.join(BIN_DIR, 'receiver-sim'), ['--port', '19996', '--quiet',
      '--state-file', simState, '--ready-file', simReady, '--senders', senders, ...options],
    () => fs.statSync(simReady).size > 0);
  }

  before(async () => {
    await startSim(SENDERS);
    // The box's names and password folder is the test's own, not this machine's /etc.
    fs.mkdirSync(path.join(stage, 'etc'), { mode: 0o755 });
    fs.writeFileSync(path.join(stage, 'etc/hostnames'), '# none beside projector.example\n');
    execFileSync('sh', ['-c', 'umask 000 && cmake --install "$1" --prefix "$0" >/dev/null && shift && exec "$0/www/configure-lighttpd" "$@"',
      stage, BUILD_DIR, '--port', String(PORT), '--out', conf, '--state-dir', stateDir, '--cgi', path.join(www, 'cgi-bin/screenreceiver.cgi'),
      '--host', 'projector.example', '--hostnames', path.join(stage, 'etc/hostnames'), '--firewall-out', rules]);
    httpd = await startChild('lighttpd', ['-D', '-f', conf], async () => (await call('GET', '/')).status === 200);
    for (const stray of ['notes.txt', '.index.html.swp']) fs.writeFileSync(path.join(www, stray), 'x');
    browser = await chromium.launch({ executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
      args: ['--headless', '--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking'] });
  });

  after(async () => {
    await browser?.close();
    await stopChild(httpd);
    await stopChild(sim);
    fs.rmSync(stage, { recursive: true, force: true });
  });

  function assertGuarded(res, what) {
    const policy = String(res.headers['content-security-policy']).split(/;\s*/);
    for (const rule of POLICY) assert.ok(policy.includes(rule), `${what}: ${rule} in ${policy}`);
    const h = res.headers;
    assert.deepEqual([h['x-frame-options'], h['referrer-policy'], h['x-content-type-options'], h.server],
      ['DENY', 'no-referrer', 'nosniff', 'lighttpd'], what);
  }

  // ---- through the web server, no browser: the device page is not open yet, so the
  // service sees only these requests.

  it('serves the page, its files and the program with types, caching and guard headers, never over h2c', async () => {
    for (const [method, url, headers, type, caching, body = /./, form] of [
      ['GET', '/', {}, 'text/html', 'no-cache'],
      ['GET', '/app.js', {}, 'text/javascript', 'no-cache'],
      ...['reply', 'api', 'view'].map((m) => ['GET', `/${m}.js`, {}, 'text/javascript', 'no-cache']),
      ['GET', '/style.css', {}, 'text/css', 'no-cache'],
      ['GET', CGI + '?t=1', { ...OWN, Connection: 'Upgrade, HTTP2-Settings', Upgrade: 'h2c', 'HTTP2-Settings': 'AAMAAABkAAQAAP__' },
        'text/xml', 'no-store', /^<return>\n<total>4<\/total>\n<conference>/],
      ['HEAD', CGI, OWN, 'text/xml', 'no-store', /^$/],
      ['POST', CGI, { ...OWN, ...FORM }, 'text/xml', 'no-store', /<username>Alice<\/username>/, 'userid0=Stop'],
    ]) {
      const res = await call(method, url, headers, form);
      const what = `${method} ${url}`;
      assert.deepEqual([res.status, res.headers['content-type'].split(';')[0], res.headers['cache-control']],
        [200, type, caching], what);
      assert.match(res.body, body, what);
      assertGuarded(res, what);
    }
    assert.equal(state().commands.StopPlayImage, 1, 'the POST reached the service');
  });

  it('answers the page under the device\'s addresses and names', async () => {
    for (const Host of ['192.168.1.20', '10.0.0.2:8080', '[fe80::1]:8080', 'localhost', 'Projector.example:80']) {
      assert.equal((await call('GET', '/', { Host })).status, 200, Host);
      const res = await call('GET', CGI, { ...OWN, 'Sec-Fetch-Site': 'same-origin', Host });
      assert.match(res.body, /^<return>\n<total>4<\/total>\n/, Host);
    }
  });

  it('refuses what is not the page\'s own, and the service sees no command', async () => {
    const XS = { 'Sec-Fetch-Site': 'cross-site' };
    const foreign = { ...FORM, Origin: 'http://evil.example' };
    for (const [what, method, url, headers = {}, form] of [
      ['cross-site image GET', 'GET', CGI + '?userid0=Play2', { ...XS, 'Sec-Fetch-Dest': 'image' }],
      ['cross-site HEAD', 'HEAD', CGI + '?logout=1', XS],
      ['cross-site form POST', 'POST', CGI, { ...XS, ...foreign }, 'userid0=Stop'],
      ['form POST of a browser without fetch metadata', 'POST', CGI, foreign, 'logout=1'],
      ['cross-site call with the header', 'GET', CGI + '?userid0=Play1', { ...OWN, ...XS }],
      ['same-site call with the header', 'GET', CGI + '?userid0=Play1', { ...OWN, 'Sec-Fetch-Site': 'same-site' }],
      ['the page under a foreign name', 'GET', '/', { Host: 'evil.example:8080' }],
      ['the program under a foreign name', 'GET', CGI + '?userid0=Play1', { ...OWN, Host: 'evil.example:8080' }],
      ['a name ending like the device\'s', 'GET', CGI, { ...OWN, Host: 'x.projector.example' }],
      ['a stray file', 'GET', '/notes.txt'],
      ['an editor\'s swap file', 'GET', '/.index.html.swp'],
      ['the configuration generator', 'GET', '/configure-lighttpd'],
      ['another method', 'OPTIONS', CGI, OWN], ['a PUT', 'PUT', '/index.html', OWN], ['a DELETE', 'DELETE', CGI, OWN],
    ]) {
      const seen = commands();
      const res = await call(method, url, headers, form);
      assert.equal(res.status, 403, what);
      assertGuarded(res, what);
      assert.equal(commands(), seen, `${what}: the service saw a command`);
    }
    // Nor does an HTTP/2 client with prior knowledge (one connection would run several programs).
    const [seen, h2] = [commands(), spawnSync('curl', ['-s', '--http2-prior-knowledge', '-H', 'X-Requested-With: screenreceiver', BASE + CGI])];
    assert.deepEqual([h2.error, h2.status === 0, commands()], [undefined, false, seen], 'curl got an HTTP/2 answer');
  });

  it('installs and configures under umask 000 with nothing writable by others, serves as an unprivileged account', () => {
    for (const [file, mode] of [[www, '755'], [path.join(www, 'cgi-bin'), '755'], [stateDir, '755'], [path.join(stateDir, 'access'), '700'],
      [conf, '644'], [rules, '644']]) {
      assert.equal((fs.statSync(file).mode & 0o777).toString(8), mode, file);
    }
    const uid = Number(/^Uid:\s+(\d+)/m.exec(fs.readFileSync(`/proc/${httpd.pid}/status`, 'utf8'))[1]);
    if (process.getuid() === 0) assert.notEqual(uid, 0, 'started as root, lighttpd runs as root');
    assert.equal(fs.statSync(stateDir).uid, uid, 'the state folder belongs to the server');
  });

  it('with the firewall ruleset, an address trickling on every connection it may hold leaves others served', async (t) => {
    if (!process.env.WEB_TEST_NETNS) return t.skip('needs root, a network namespace of its own and nft');
    for (const load of [1, 2]) execFileSync('nft', ['-f', rules]); // the second load replaces the first
    const tries = Array.from({ length: 40 }, () => require('node:net').connect(PORT, '127.0.0.1').on('error', () => {}));
    const held = await new Promise((r) => setTimeout(() => r(tries.filter((s) => s.readyState === 'open')), 3000));
    const trickle = setInterval(() => held.forEach((s) => s.write('a')), 2000);
    t.after(() => { clearInterval(trickle); tries.forEach((s) => s.destroy());
      execFileSync('nft', ['delete', 'table', 'ip', 'screenreceiver_web']); });
    assert.equal(held.length, 8, 'connections 127.0.0.1 holds after 3 s (one over the limit never opens)');
    assert.match((await call('GET', '/', {}, undefined, '127.0.0.2')).body, /src="app\.js"/);
    assert.match((await call('GET', CGI, OWN, undefined, '127.0.0.2')).body, /<username>Alice<\/username>/);
  });

  // ---- in the browser

  it('keeps a page of another origin from framing the page or calling the program', async () => {
    const html = `<iframe src="${BASE}/"></iframe><iframe name="sink"></iframe>
      <img src="${BASE}${CGI}?userid0=Play2" alt="">
      <form method="post" action="${BASE}${CGI}" target="sink"><input name="userid0" value="Play1"></form>`;
    const other = http.createServer((req, res) => res.end(html)).listen(PORT + 1, '127.0.0.2');
    const seen = commands();
    const evil = await browser.newPage();
    try {
      const ended = []; // the calls to the program, however the browser ended them
      for (const e of ['requestfinished', 'requestfailed']) {
        evil.on(e, (r) => r.url().startsWith(BASE + CGI) && ended.push(r.method()));
      }
      await evil.goto(`http://127.0.0.2:${PORT + 1}/`);
      await evil.evaluate(() => document.forms[0].submit());
      await waitFor('the image GET and the form POST', () => ended.includes('GET') && ended.includes('POST'));
      assert.deepEqual(evil.frames().map((f) => f.url()).filter((u) => u.startsWith(BASE)), [], 'framed');
      // With the header, the call needs a preflight that the server never grants.
      assert.equal(await evil.evaluate((url) => fetch(url, { method: 'POST', headers: { 'X-Requested-With':
        'screenreceiver' }, body: 'logout=1' }).then(() => 'answered', () => 'refused'), BASE + CGI), 'refused');
      assert.equal(commands(), seen, 'the service saw a command');
    } finally {
      await evil.close();
      other.close();
    }
  });

  const open = async (options) => {
    const p = await browser.newPage(options);
    p.on('pageerror', (e) => problems.push(String(e)));
    p.on('console', (m) => /Content.Security.Policy/i.test(m.text()) && problems.push(m.text()));
    await p.goto(BASE + '/');
    await waitFor('the list', async () => (await p.locator('#sender-rows tr').count()) === LISTED.length);
    return p;
  };
  const assertAccessible = async (p, view) => {
    await p.evaluate(AXE);
    const { violations } = await p.evaluate(() =>
      window.axe.run({ runOnly: ['wcag2a', 'wcag2aa', 'wcag21a', 'wcag21aa', 'wcag22aa'] }));
    assert.deepEqual(violations.map((v) => `${v.id}: ${v.nodes.map((n) => n.target).join(' ')}`), [], view);
  };
  const text = (selector) => page.locator(selector).first().textContent();
  const badge = (name) => page.locator('#sender-rows tr', { has: page.getByText(name, { exact: true }) })
    .locator('.badge').textContent();
  const bodyData = (key) => page.evaluate((k) => document.body.dataset[k], key);

  it('lists the senders the service holds, names as text, every control labelled', async () => {
    page = await open({ viewport: { width: 1100, height: 860 } });
    assert.deepEqual(await page.$$eval('#sender-rows tr', (trs) => trs.map((tr) =>
      Array.from(tr.children).slice(0, 4).map((c) => c.textContent))),
    LISTED.map((s) => [s.name, s.ip, String(s.appType), s.frame ? 'Frame ' + s.frame : 'Not shown']));
    assert.equal(await page.locator('#sender-rows b').count(), 0, 'no element made from a user name');
    assert.equal(await text('.tile[data-frame="3"] .tile-name'), iso("Bob's laptop"));
    for (const label of LISTED.flatMap((s) => ['1', '2', '3', '4', 'stop'].map((f) =>
      (f === 'stop' ? `Stop showing ${s.name}` : `Show ${s.name} in frame ${f}`)))) {
      assert.equal(await page.getByRole('button', { name: label, exact: true }).count(), 1, label);
    }
    assert.equal(await page.locator('[aria-pressed=true]').getAttribute('aria-label'), "Show Bob's laptop in frame 3");
    await assertAccessible(page, 'list view');
  });

  it('shows a sender in frame 2 from the keyboard, then stops it', async () => {
    const label = 'Show Alice in frame 2';
    await page.getByRole('button', { name: label }).focus();
    await page.keyboard.press('Enter');
    await waitFor('the service to show Alice in frame 2', () => frameOf(7) === 2);
    await waitFor('the message', async () => (await text('#message')) === iso('Alice') + ' is shown in frame 2.');
    assert.deepEqual([await badge('Alice'), await text('.tile[data-frame="2"] .tile-name')], ['Frame 2', iso('Alice')]);
    // The redraw keeps the keyboard focus where it was.
    assert.equal(await page.evaluate(() => document.activeElement.getAttribute('aria-label')), label);

    await page.getByRole('button', { name: 'Stop showing Alice' }).click();
    await waitFor('the service to stop Alice', () => frameOf(7) === 0);
    await waitFor('the message', async () => (await text('#message')) === iso('Alice') + ' is not shown.');
    assert.deepEqual([await badge('Alice'), await text('.tile[data-frame="2"] .tile-name')], ['Not shown', 'Empty']);
  });

  it('picks up a change made elsewhere, and leaves conference control', async () => {
    // Another browser shows the markup-named sender (index 2) in frame 4.
    assert.equal((await call('POST', CGI, { ...OWN, ...FORM }, 'userid2=Play4')).status, 200);
    assert.equal(frameOf(9), 4);
    await waitFor('the poll to show frame 4', async () => (await badge('<b>x</b>&y')) === 'Frame 4');

    const left = state().quitConfCtrl;
    await page.getByRole('button', { name: 'Leave conference control' }).click();
    await waitFor('the service to see the logout', () => state().quitConfCtrl === left + 1);
    await waitFor('the confirmation', async () => (await text('#message')) === 'Left conference control.');
    // The logout reply has no list; the page fetched it again and still shows it.
    assert.deepEqual([await bodyData('state'), await page.locator('#sender-rows tr').count()], ['list', LISTED.length]);
  });

  it('fits a phone-sized screen', async () => {
    await page.screenshot({ path: path.join(BUILD_DIR, 'page.png'), fullPage: true });
    const phone = await open({ viewport: { width: 390, height: 844 }, isMobile: true, hasTouch: true });
    const fit = await phone.evaluate(() => [document.documentElement.scrollWidth - window.innerWidth,
      Math.min(...Array.from(document.querySelectorAll('#sender-rows button'),
        (b) => b.getBoundingClientRect().height))]);
    assert.ok(fit[0] <= 0 && fit[1] >= 36, `no sideways scrolling, buttons large enough to tap: ${fit}`);
    await phone.screenshot({ path: path.join(BUILD_DIR, 'page-phone.png'), fullPage: true });
    await assertAccessible(phone, 'phone view');
    await phone.close();
  });

  it('shows a network failure and recovers', async () => {
    // Only the action fails: a poll in between would hide its button.
    await page.route('**/cgi-bin/**', (r) => (r.request().method() === 'POST' ? r.abort('failed') : r.continue()));
    await page.getByRole('button', { name: 'Show Alice in frame 1' }).click();
    await waitFor('the network error', async () => (await bodyData('problem')) === 'network');
    assert.equal(await text('#problem-title'), 'Cannot reach the device.');
    assert.equal(await page.locator('#senders').isVisible(), false, 'no stale list with live controls');
    await page.unroute('**/cgi-bin/**');
    assert.equal(frameOf(7), 0, 'the failed action never reached the service');
    await waitFor('the list again', async () => (await bodyData('state')) === 'list');
  });

  it('skips a click whose sender moved, says so, and keeps names from reordering the text', async () => {
    // A sender joins at the top between the page's last poll and the click; polls wait.
    let release, held = new Promise((r) => { release = r; });
    await page.route('**/cgi-bin/**', async (r) => (r.request().method() === 'GET' && await held, r.continue()));
    await page.waitForRequest((r) => r.method() === 'GET' && r.url().includes(CGI));
    await startSim([{ id: 12, ip: '10.0.0.9', name: 'Eve\u2029\u202Eevil', appType: 1, local: false, frame: 0 }, ...SENDERS]);
    await page.getByRole('button', { name: 'Show Alice in frame 1' }).click();
    await waitFor('the notice', async () => (await text('#message')).startsWith(iso('Alice') + ' moved in the list'));
    assert.deepEqual([state().commands.StartPlayImage, await page.locator('#sender-rows th').allTextContents(),
      await page.evaluate(() => document.activeElement.getAttribute('aria-label'))],
    [undefined, ['Eve\u2029\u202Eevil', ...LISTED.map((s) => s.name)], 'Show Alice in frame 1'], 'nothing started, fresh list');
    release(), await page.unrouteAll({ behavior: 'wait' });
    await page.locator('#sender-rows .frame-button').first().click();
    await waitFor('the message', async () => (await text('#message')).endsWith(' is shown in frame 1.'));
    const x = await page.evaluate(() => { // where "i" of "is", "s" of "shown" and the final "." stand
      const node = document.getElementById('message').firstChild, range = document.createRange(), at = node.data.indexOf(' is');
      return [at + 1, at + 4, node.data.length - 1].map((i) => (range.setStart(node, i), range.setEnd(node, i + 1), range.getBoundingClientRect().x));
    });
    assert.ok(x[0] < x[1] && x[1] < x[2], `the text after the name reads left to right: ${x}`);
    assert.deepEqual([await text('#message'), frameOf(12)], [iso('Eve \u202Eevil') + ' is shown in frame 1.', 1]);
  });

  it('shows a service that never answers as the server\'s error, then an empty list', async () => {
    // The program cannot connect and writes nothing: lighttpd answers with its own error.
    await startSim(SENDERS, '--no-accept');
    await waitFor('the error', async () => (await text('#problem-title')) ===
      'The screen-receiver service is not answering.', 40000);
    assert.equal(await text('.tile[data-frame="3"] .tile-name'), 'Unknown');
    await page.screenshot({ path: path.join(BUILD_DIR, 'page-error.png'), fullPage: true });
    await assertAccessible(page, 'error view');

    await startSim([]);
    await waitFor('the empty state', async () => (await bodyData('state')) === 'empty', 40000);
    assert.ok(state().commands.GetNonLocalSenderList > 0, 'the list came from the new service');
    assert.deepEqual(await Promise.all(['#empty', '#senders', '#problem'].map((s) => page.locator(s).isVisible())),
      [true, false, false]);
  });

  it('with a password set, asks for it, signs in, acts and signs out, keeping nothing in storage', async (t) => {
    await startSim(SENDERS);
    const ctl = (what) => execFileSync(path.join(BIN_DIR, 'screenreceiverctl'), ['password', what],
      { input: 'right pw\n', env: { ...process.env, SCREENRECEIVER_ETC: path.join(stateDir, 'etc') } });
    ctl('set');
    const p = await browser.newPage();
    t.after(async () => { ctl('off'); await p.close(); });
    p.on('pageerror', (e) => problems.push(String(e)));
    const seen = commands(), res = await call('GET', CGI, OWN);
    assert.deepEqual([res.status, res.body, commands()], [401, 'Sign-in required.\n', seen], 'no session');
    const [field, alert] = [p.getByLabel('Password'), p.getByRole('alert').filter({ hasText: /./ })];
    const signIn = async (pw) => { await field.fill(pw); await p.getByRole('button', { name: 'Sign in' }).click(); };
    await p.goto(BASE + '/');
    await field.waitFor();
    assert.deepEqual([await p.evaluate(() => document.activeElement.id), await p.locator('#sender-rows tr').count()], ['password', 0]);
    await assertAccessible(p, 'sign-in form');
    await signIn('wrong pw');
    assert.equal(await alert.textContent(), 'Wrong password. Try again.');
    await p.screenshot({ path: path.join(BUILD_DIR, 'page-signin.png') });
    await p.route('**/cgi-bin/**', (r) => r.fulfill({ status: 429, headers: { 'Retry-After': '120' }, body: 'Wait.' }));
    await signIn('any');
    await waitFor('the wait', async () => (await alert.textContent()) === 'Too many wrong passwords. Try again in 2 minutes.');
    await p.unroute('**/cgi-bin/**');
    await signIn('right pw');
    await waitFor('the list', async () => (await p.locator('#sender-rows tr').count()) === LISTED.length);
    await p.getByRole('button', { name: 'Sign out' }).waitFor();
    await assertAccessible(p, 'signed in');
    await p.getByRole('button', { name: 'Show Alice in frame 2' }).click();
    await waitFor('the service to show Alice in frame 2', () => frameOf(7) === 2);
    const [cookie] = await p.context().cookies();
    assert.deepEqual([...await p.evaluate(() => [localStorage.length, sessionStorage.length, document.cookie]),
      cookie.httpOnly, cookie.sameSite], [0, 0, '', true, 'Strict']);
    await p.getByRole('button', { name: 'Sign out' }).click();
    await field.waitFor();
    const old = await call('GET', CGI, { ...OWN, Cookie: `${cookie.name}=${cookie.value}` });
    assert.deepEqual([await p.locator('#sender-rows tr').count(), (await p.context().cookies()).length, old.status], [0, 0, 401]);
  });

  it('ran without script errors or policy violations', () => {
    assert.deepEqual(problems, []);
  });
});
