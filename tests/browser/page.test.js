// The control page in a real browser (Debian's chromium through playwright-core),
// served by lighttpd with the CGI program, which talks to receiver-sim.
//   SCREENRECEIVER_BIN_DIR  where screenreceiver.cgi and receiver-sim are (default build/bin)
//   PAGE_TEST_PORT          lighttpd port for the test (default 18080)
//   CHROMIUM                the browser (default /usr/bin/chromium)
// Screenshots go next to the bin folder: page.png, page-phone.png, page-error.png.
'use strict';

const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { chromium } = require('playwright-core');
const { ROOT, ReceiverSim, Lighttpd, waitFor } = require('./servers');

const BIN_DIR = path.resolve(process.env.SCREENRECEIVER_BIN_DIR || path.join(ROOT, 'build', 'bin'));
const BUILD_DIR = path.dirname(BIN_DIR);
const WORK_DIR = path.join(BUILD_DIR, 'browser-test');
const PORT = Number(process.env.PAGE_TEST_PORT || 18080);
const CHROMIUM = process.env.CHROMIUM || '/usr/bin/chromium';

// What the service holds at the start. Index in the page = position among the
// non-local senders; the local one (this device itself) is never listed.
const SENDERS = [
  { id: 7, ip: '10.0.0.5', name: 'Alice', appType: 1, local: false, valid: true, frame: 0 },
  { id: 8, ip: '10.0.0.6', name: "Bob's laptop", appType: 2, local: false, valid: true, frame: 3 },
  { id: 9, ip: '10.0.0.7', name: '<b>x</b>&y', appType: 1, local: false, valid: true, frame: 0 },
  { id: 10, ip: '192.168.100.200', name: 'a&b<c>;d%e+f', appType: 3, local: false, valid: true, frame: 0 },
  { id: 11, ip: '127.0.0.1', name: 'This device', appType: 0, local: true, valid: true, frame: 0 },
];
const LISTED = SENDERS.filter((s) => !s.local);

const STEP_TIMEOUT = { timeout: 120000 };

describe('control page', { timeout: 600000 }, () => {
  let sim;
  let httpd;
  let browser;
  let page;
  const pageErrors = [];

  before(async () => {
    for (const f of ['screenreceiver.cgi', 'receiver-sim']) {
      assert.ok(fs.existsSync(path.join(BIN_DIR, f)), `${BIN_DIR}/${f} is missing: build it first`);
    }
    assert.ok(fs.existsSync(CHROMIUM), `${CHROMIUM} is missing: scripts/setup-deps browser`);
    fs.rmSync(WORK_DIR, { recursive: true, force: true });
    fs.mkdirSync(WORK_DIR, { recursive: true });
    sim = new ReceiverSim(BIN_DIR, WORK_DIR);
    httpd = new Lighttpd(BIN_DIR, WORK_DIR, PORT);
    await sim.start({ senders: SENDERS });
    await httpd.start();
    browser = await chromium.launch({
      executablePath: CHROMIUM,
      args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
        '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    });
    page = await browser.newPage({ viewport: { width: 1100, height: 860 } });
    page.on('pageerror', (e) => pageErrors.push(String(e)));
    await page.goto(httpd.base + '/');
  });

  after(async () => {
    if (browser) await browser.close();
    if (httpd) await httpd.stop();
    if (sim) await sim.stop();
  });

  // The table as a person reads it: one array of cell texts per row.
  const rows = () => page.$$eval('#sender-rows tr', (trs) =>
    trs.map((tr) => Array.from(tr.children).slice(0, 4).map((c) => c.textContent)));
  const rowOf = (name) => page.locator('#sender-rows tr', { has: page.locator('th', { hasText: name }) }).first();
  const badgeOf = async (index) => page.locator('#sender-rows tr').nth(index).locator('.badge').textContent();
  const bodyState = () => page.evaluate(() => document.body.dataset.state);

  it('lists the senders the service holds', STEP_TIMEOUT, async () => {
    await waitFor('the list', async () => (await rows()).length === LISTED.length);
    const expected = LISTED.map((s) => [s.name, s.ip, String(s.appType), s.frame ? 'Frame ' + s.frame : 'Not shown']);
    assert.deepEqual(await rows(), expected);
    assert.equal(await bodyState(), 'list');
    // The projector overview agrees with the table.
    assert.equal(await page.locator('.tile[data-frame="3"] .tile-name').textContent(), "Bob's laptop");
    assert.equal(await page.locator('.tile[data-frame="1"] .tile-name').textContent(), 'Empty');
  });

  it('shows user names as text, never as markup', STEP_TIMEOUT, async () => {
    const names = await page.$$eval('#sender-rows th', (ths) => ths.map((th) => th.textContent));
    assert.ok(names.includes('<b>x</b>&y'), 'markup-like name shown literally: ' + JSON.stringify(names));
    assert.ok(names.includes('a&b<c>;d%e+f'), 'every replaced character restored: ' + JSON.stringify(names));
    assert.equal(await page.locator('#sender-rows b').count(), 0, 'no element made from a user name');
  });

  it('labels every control with the sender and frame', STEP_TIMEOUT, async () => {
    for (const s of LISTED) {
      for (const f of [1, 2, 3, 4]) {
        assert.equal(await page.getByRole('button', { name: `Show ${s.name} in frame ${f}`, exact: true }).count(), 1,
          `button for ${s.name}, frame ${f}`);
      }
      assert.equal(await page.getByRole('button', { name: `Stop showing ${s.name}`, exact: true }).count(), 1);
    }
    assert.equal(await page.getByRole('button', { name: 'Leave conference control' }).count(), 1);
    const pressed = await rowOf("Bob's laptop").locator('button[aria-pressed="true"]').getAttribute('aria-label');
    assert.equal(pressed, "Show Bob's laptop in frame 3");
  });

  it('shows a sender in frame 2 from the keyboard', STEP_TIMEOUT, async () => {
    const label = 'Show Alice in frame 2';
    await page.getByRole('button', { name: label }).focus();
    await page.keyboard.press('Enter');
    await waitFor('the service to show Alice in frame 2', () => sim.frameOf(7) === 2);
    await waitFor('the page to show frame 2', async () => (await badgeOf(0)) === 'Frame 2');
    assert.equal(await rowOf('Alice').locator('button[aria-pressed="true"]').getAttribute('aria-label'), label);
    assert.equal(await page.locator('.tile[data-frame="2"] .tile-name').textContent(), 'Alice');
    assert.equal(await page.locator('#message').textContent(), 'Alice is shown in frame 2.');
    // The redraw keeps the keyboard focus where it was.
    assert.equal(await page.evaluate(() => document.activeElement.getAttribute('aria-label')), label);
  });

  it('stops showing a sender', STEP_TIMEOUT, async () => {
    await page.getByRole('button', { name: 'Stop showing Alice' }).click();
    await waitFor('the service to stop Alice', () => sim.frameOf(7) === 0);
    await waitFor('the page to show Alice as not shown', async () => (await badgeOf(0)) === 'Not shown');
    assert.equal(await rowOf('Alice').locator('button[aria-pressed="true"]').count(), 0);
    assert.equal(await page.locator('.tile[data-frame="2"] .tile-name').textContent(), 'Empty');
    assert.equal(await page.locator('#message').textContent(), 'Alice is not shown.');
  });

  it('picks up a change made elsewhere without a reload', STEP_TIMEOUT, async () => {
    // Another browser shows the markup-named sender (index 2) in frame 4.
    const res = await fetch(httpd.base + '/cgi-bin/screenreceiver.cgi', {
      method: 'POST',
      headers: { 'Content-Type': 'application/x-www-form-urlencoded' },
      body: 'userid2=Play4',
    });
    assert.equal(res.status, 200);
    assert.equal(sim.frameOf(9), 4);
    await waitFor('the poll to show frame 4', async () => (await badgeOf(2)) === 'Frame 4', 20000);
  });

  it('leaves conference control', STEP_TIMEOUT, async () => {
    const before = sim.state().quitConfCtrl;
    await page.getByRole('button', { name: 'Leave conference control' }).click();
    await waitFor('the service to see the logout', () => sim.state().quitConfCtrl === before + 1);
    await waitFor('the confirmation', async () =>
      (await page.locator('#message').textContent()) === 'Left conference control.');
    // The logout reply has no list; the page fetched it again and still shows it.
    assert.equal(await bodyState(), 'list');
    assert.equal((await rows()).length, LISTED.length);
  });

  it('saves screenshots and fits a phone-sized screen', STEP_TIMEOUT, async () => {
    await page.screenshot({ path: path.join(BUILD_DIR, 'page.png'), fullPage: true });
    const phone = await browser.newPage({ viewport: { width: 390, height: 844 }, isMobile: true, hasTouch: true });
    try {
      await phone.goto(httpd.base + '/');
      await waitFor('the list on the phone', async () =>
        (await phone.locator('#sender-rows tr').count()) === LISTED.length);
      const fit = await phone.evaluate(() => ({
        scroll: document.documentElement.scrollWidth,
        width: window.innerWidth,
        smallest: Math.min(...Array.from(document.querySelectorAll('#sender-rows button'))
          .map((b) => b.getBoundingClientRect().height)),
      }));
      assert.ok(fit.scroll <= fit.width, `no sideways scrolling (${fit.scroll} > ${fit.width})`);
      assert.ok(fit.smallest >= 36, `buttons large enough to tap (${fit.smallest}px)`);
      await phone.screenshot({ path: path.join(BUILD_DIR, 'page-phone.png'), fullPage: true });
    } finally {
      await phone.close();
    }
  });

  it('shows a network failure and recovers', STEP_TIMEOUT, async () => {
    await page.route('**/cgi-bin/**', (route) => route.abort('failed'));
    try {
      await page.getByRole('button', { name: 'Show Alice in frame 1' }).click();
      await waitFor('the network error', async () =>
        (await page.evaluate(() => document.body.dataset.problem)) === 'network');
      assert.equal(await page.locator('#problem-title').textContent(), 'Cannot reach the device.');
      assert.equal(await page.locator('#senders').isVisible(), false, 'no stale list with live controls');
    } finally {
      await page.unroute('**/cgi-bin/**');
    }
    // The failed action never reached the service.
    assert.equal(sim.frameOf(7), 0);
    await waitFor('the list again', async () => (await bodyState()) === 'list', 20000);
    assert.equal(await page.locator('#problem').isVisible(), false);
  });

  it('shows the service as unreachable when it never answers, then an empty list', STEP_TIMEOUT, async () => {
    // The program cannot connect, writes nothing, and lighttpd answers with an error.
    await sim.start({ extraArgs: ['--no-accept'] });
    await waitFor('the unreachable state', async () =>
      (await page.evaluate(() => document.body.dataset.problem)) === 'unreachable', 40000);
    assert.equal(await page.locator('#problem-title').textContent(),
      'The screen-receiver service is not answering.');
    assert.equal(await page.locator('.tile[data-frame="3"] .tile-name').textContent(), 'Unknown');
    await page.screenshot({ path: path.join(BUILD_DIR, 'page-error.png'), fullPage: true });

    // Back with no senders at all.
    sim.log = '';
    await sim.start({ senders: [] });
    await waitFor('the empty state', async () => (await bodyState()) === 'empty', 40000);
    await waitFor('a list served by the new service', () => /GetNonLocalSenderList -> 0/.test(sim.log), 20000);
    assert.equal(await page.locator('#empty').isVisible(), true);
    assert.equal(await page.locator('#senders').isVisible(), false);
    assert.equal(await page.locator('#problem').isVisible(), false);
  });

  it('ran without script errors', () => {
    assert.deepEqual(pageErrors, []);
  });
});
