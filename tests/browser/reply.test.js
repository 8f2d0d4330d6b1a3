// The page's reading of the CGI program's replies and its display of names (web/reply.js,
// an ES module loaded under Node as its text: any Node reads that as one); web.test.js
// shows whole lists in the browser.
'use strict';

const { describe, it, before } = require('node:test');
const assert = require('node:assert/strict');
const src = require('node:fs').readFileSync(require('node:path').join(__dirname, '../../web/reply.js'), 'utf8');
let parseReply, decodeName, isolate, waitText;
before(async () => ({ parseReply, decodeName, isolate, waitText } = await import('data:text/javascript,' + encodeURIComponent(src))));

const entry = (name, frame, ip, app) =>
  `<conference>\n<username>${name}</username>\n<frame>${frame}</frame>\n<ip>${ip}</ip>\n<apptype>${app}</apptype>\n</conference>\n`;
const reply = (...entries) => `<return>\n<total>${entries.length}</total>\n${entries.join('')}</return>\n`;

describe('the page', () => {
  it('turns the replacement words of a name back, and only those', () => {
    const name = (text) => parseReply(reply(entry(text, -1, '1.2.3.4', 0))).senders[0].name;
    assert.equal(name('aPa_AmpbPa_LtcPa_GtPa_NotedPa_PercentePa_Addf'), 'a&b<c>;d%e+f');
    assert.equal(name('O\'Neil "x" Pa_AmpampPa_Note Zoë'), 'O\'Neil "x" &amp; Zoë');
    assert.equal(decodeName('Pa_Foo Pa_ampPa_AmpPa_AddPa_Add'), 'Pa_Foo Pa_amp&++');
  });

  it('tells a finished action from an unreadable reply', () => {
    const full = reply(entry('Alice', -1, '10.0.0.5', 1), entry('Bob', 3, '10.0.0.6', 2));
    for (const [body, kind] of [
      ['<return>\n', 'done'], // a logout ends the reply early
      ['<return>\nContent-Type: text/plain\n\ngetcgivars(): Unsupported Content-Type.\n', 'done'],
      [full.slice(0, full.indexOf('<conference>', 30)), 'invalid'], // cut short
      [full.replace('<total>2</total>', '<total>3</total>'), 'invalid'],
      ['', 'invalid'],
      ['<html><body><h1>500 Internal Server Error</h1></body></html>', 'invalid'],
    ]) assert.equal(parseReply(body).kind, kind, JSON.stringify(body));
  });

  it('isolates a name so that no direction control in it reaches the text around it', () => {
    for (const name of ['Alice', '\u202Eevil', 'a\u2069\u202Eb', '\u2067open', '\u2066x\u2069\u2069\u2069y', '']) {
      const shown = Array.from(isolate(name));
      let depth = 0;
      shown.forEach((c, i) => {
        depth += c === '\u2069' ? -1 : Number(c >= '\u2066' && c <= '\u2068');
        assert.ok(depth > 0 || i === shown.length - 1, `${JSON.stringify(shown)} closes early`);
      });
      assert.equal(depth, 0, JSON.stringify(shown));
      const visible = (s) => s.replace(/[\u2066-\u2069]/g, '');
      assert.equal(visible(shown.join('')), visible(name));
    }
  });

  it('words the wait of a held-back sign-in', () => {
    assert.deepEqual([1, 59, 60, 61, 900, 0, NaN].map(waitText),
      ['1 second', '59 seconds', '1 minute', '2 minutes', '15 minutes', null, null]);
  });

});
