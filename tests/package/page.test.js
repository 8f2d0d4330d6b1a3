// The installed package served at PAGE_BASE, against receiver-sim (state file SIM_STATE;
// Alice, id 7, not shown). NODE_PATH=tests/browser/node_modules.
'use strict';
const assert = require('node:assert/strict');
const { chromium } = require('playwright-core');
const [page, cgi] = ['/screenreceiver/', '/cgi-bin/screenreceiver.cgi'].map((p) => process.env.PAGE_BASE + p);
const own = { 'X-Requested-With': 'screenreceiver' };
const get = (url, headers) => new Promise((resolve, reject) => // exactly these headers, Host too
  require('node:http').get(url, { headers }, (res) => resolve(res.resume())).on('error', reject));

require('node:test')('guarded as the generated configuration; a sender shown from the page', async () => {
  for (const [url, headers, status] of [[page, {}, 200], [cgi, own, 200], [cgi, {}, 403], [page + 'x.htm', {}, 403],
    [cgi, { ...own, 'Sec-Fetch-Site': 'cross-site' }, 403], [page, { Host: 'rebound.example' }, 403]]) {
    const res = await get(url, headers), guards = `${res.headers['x-frame-options']} ${res.headers['content-security-policy']}`;
    assert.equal(res.statusCode, status, url + JSON.stringify(headers));
    if (status === 200) assert.match(guards, /^DENY default-src 'none';.* frame-ancestors 'none'/, url);
  }
  const browser = await chromium.launch({ executablePath: '/usr/bin/chromium', args: ['--headless', '--no-sandbox'] });
  const tab = await browser.newPage(), problems = [];
  tab.on('pageerror', (e) => problems.push(String(e)));
  await tab.goto(page);
  await tab.getByRole('button', { name: 'Show Alice in frame 2', exact: true }).click({ timeout: 20000 });
  await tab.getByText(/is shown in frame 2/).waitFor({ timeout: 20000 });
  assert.deepEqual([require(process.env.SIM_STATE).frames['2'], problems], [7, []]);
  await browser.close();
});
