// The installed package as lighttpd serves it once enabled: PAGE_BASE (the server's root
// URL), SIM_STATE (receiver-sim's state file; the service holds Alice, id 7, not shown).
// Runs with the page test's node modules: NODE_PATH=tests/browser/node_modules.
'use strict';

const { it, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const http = require('node:http');
const { chromium } = require('playwright-core');

const BASE = process.env.PAGE_BASE;
const PAGE = BASE + '/screenreceiver/';
const CGI = BASE + '/cgi-bin/screenreceiver.cgi';
const frameOf = (id) => JSON.parse(fs.readFileSync(process.env.SIM_STATE, 'utf8')).senders.find((s) => s.id === id).frame;
let browser;
// A GET with exactly these headers (Host too, which fetch() would not send): {status, headers}.
const get = (url, headers) => new Promise((resolve, reject) => {
  http.get(url, { headers }, (res) => res.resume().on('end', () => resolve(res))).on('error', reject);
});
after(() => browser?.close());

it('serves the installed page and program with the guards of the generated configuration', async () => {
  for (const row of [
    { what: 'page', url: PAGE, status: 200, type: /^text\/html/ },
    { what: 'script', url: PAGE + 'app.js', status: 200, type: /^text\/javascript/ },
    { what: 'program', url: CGI, headers: { 'X-Requested-With': 'screenreceiver' }, status: 200, type: /^text\/xml/ },
    { what: 'program, foreign call', url: CGI, status: 403 },
    { what: 'program, cross-site', url: CGI, status: 403,
      headers: { 'X-Requested-With': 'screenreceiver', 'Sec-Fetch-Site': 'cross-site' } },
    { what: 'page, foreign name', url: PAGE, headers: { Host: 'rebound.example' }, status: 403 },
    { what: 'not a page file', url: PAGE + 'index.htm', status: 403 },
  ]) {
    const res = await get(row.url, row.headers || {});
    assert.equal(res.statusCode, row.status, row.what);
    if (row.status !== 200) continue;
    assert.match(res.headers['content-type'], row.type, row.what);
    assert.match(res.headers['content-security-policy'], /default-src 'none'.*frame-ancestors 'none'/, row.what);
    assert.deepEqual(['x-frame-options', 'x-content-type-options', 'server'].map((h) => res.headers[h]),
      ['DENY', 'nosniff', 'lighttpd'], row.what);
  }
});

it('lists the senders in a browser and shows one in a frame', async () => {
  browser = await chromium.launch({ executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--no-first-run'] });
  const page = await browser.newPage();
  const problems = [];
  page.on('pageerror', (e) => problems.push(String(e)));
  await page.goto(PAGE);
  await page.getByRole('button', { name: 'Show Alice in frame 2', exact: true }).click({ timeout: 20000 });
  for (let i = 0; i < 200 && frameOf(7) !== 2; i++) await new Promise((r) => setTimeout(r, 100));
  assert.equal(frameOf(7), 2);
  assert.deepEqual(problems, []);
});
