// The page behind each set-up (arguments NAME:PORT) in Chromium against receiver-sim (state
// SIM_STATE; Alice, id 7, first and not shown): listed, shown in frame 2 and stopped, each
// at the service; framed by another origin (FRAMER: a local page without a policy, since
// Chromium lets only local pages frame local ones), not loaded or without controls.
// Prints "NAME ok" or "NAME FAILED" for each, the reasons on standard error.
'use strict';
const { chromium } = require('playwright-core');
const frame2 = () => JSON.parse(require('node:fs').readFileSync(process.env.SIM_STATE, 'utf8')).frames['2'];

(async () => {
  const browser = await chromium.launch({ executablePath: '/usr/bin/chromium', args: ['--headless', '--no-sandbox'] });
  for (const [name, port] of process.argv.slice(2).map((a) => a.split(':'))) {
    const tab = await browser.newPage(), url = `http://127.0.0.1:${port}/`, problems = [];
    tab.on('pageerror', (e) => problems.push(String(e)));
    const step = async (button, message, frame) => {
      await tab.getByRole('button', { name: button, exact: true }).click({ timeout: 10000 });
      await tab.getByText(message).waitFor({ timeout: 10000 });
      if (frame2() !== frame) throw new Error(`${button}: the service shows ${frame2()} in frame 2`);
    };
    try {
      await tab.goto(url);
      await step('Show Alice in frame 2', /is shown in frame 2\./, 7);
      await step('Stop showing Alice', /is not shown\./, null);
      await tab.goto(process.env.FRAMER);
      await tab.setContent(`<iframe src="${url}"></iframe>`, { waitUntil: 'load' });
      const framed = await tab.frames()[1].evaluate(() => document.body.innerText).catch(() => '');
      if (framed.includes('Leave conference control')) throw new Error('framed, the page shows its controls');
      if (problems.length) throw new Error(problems.join('; '));
      console.log(`${name} ok`);
    } catch (e) {
      console.log(`${name} FAILED`);
      console.error(`${name}: ${e.message}`);
    }
    await tab.close();
  }
  await browser.close();
})();
