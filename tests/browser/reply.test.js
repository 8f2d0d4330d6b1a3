// The page's reading of the CGI program's replies (web/app.js, loaded under Node).
'use strict';

const { describe, it } = require('node:test');
const assert = require('node:assert/strict');
const path = require('node:path');
const { parseReply, decodeName, frameText } = require(path.join(__dirname, '..', '..', 'web', 'app.js'));

const entry = (name, frame, ip, app) =>
  `<conference>\n<username>${name}</username>\n<frame>${frame}</frame>\n<ip>${ip}</ip>\n<apptype>${app}</apptype>\n</conference>\n`;
const reply = (...entries) => `<return>\n<total>${entries.length}</total>\n${entries.join('')}</return>\n`;

describe('reading a list reply', () => {
  it('reads every field of every entry, in order', () => {
    const r = parseReply(reply(entry('Alice', -1, '10.0.0.5', 1), entry('Bob', 3, '10.0.0.6', 2),
      entry('Carol', 0, '192.168.1.20', -1)));
    assert.deepEqual(r, {
      kind: 'list',
      senders: [
        { name: 'Alice', frame: -1, ip: '10.0.0.5', appType: 1 },
        { name: 'Bob', frame: 3, ip: '10.0.0.6', appType: 2 },
        { name: 'Carol', frame: 0, ip: '192.168.1.20', appType: -1 },
      ],
    });
  });

  it('reads an empty list', () => {
    assert.deepEqual(parseReply('<return>\n<total>0</total>\n</return>\n'), { kind: 'list', senders: [] });
  });

  it('turns the replacement words of a name back into their characters', () => {
    const r = parseReply(reply(entry('aPa_AmpbPa_LtcPa_GtPa_NotedPa_PercentePa_Addf', -1, '1.2.3.4', 0)));
    assert.equal(r.senders[0].name, 'a&b<c>;d%e+f');
  });

  it('keeps quotes, entities-looking text and non-ASCII as sent', () => {
    const r = parseReply(reply(entry('O\'Neil "x" Pa_AmpampPa_Note Zoë', -1, '1.2.3.4', 0)));
    assert.equal(r.senders[0].name, 'O\'Neil "x" &amp; Zoë');
  });
});

describe('replies that carry no list', () => {
  it('a logout reply is a finished action', () => {
    assert.deepEqual(parseReply('<return>\n'), { kind: 'done' });
  });

  it('a request the program refused is a finished action too', () => {
    const body = '<return>\nContent-Type: text/plain\n\ngetcgivars(): Unsupported Content-Type.\n';
    assert.equal(parseReply(body).kind, 'done');
  });

  it('a list cut short is unreadable, not a shorter list', () => {
    const full = reply(entry('Alice', -1, '10.0.0.5', 1), entry('Bob', 3, '10.0.0.6', 2));
    assert.equal(parseReply(full.slice(0, full.indexOf('<conference>', 30))).kind, 'invalid');
    assert.equal(parseReply(full.replace('<total>2</total>', '<total>3</total>')).kind, 'invalid');
  });

  it('an error page or an empty body is unreadable', () => {
    assert.equal(parseReply('').kind, 'invalid');
    assert.equal(parseReply('<html><body><h1>500 Internal Server Error</h1></body></html>').kind, 'invalid');
  });
});

describe('names and frames for display', () => {
  it('replaces only the six known words, wherever they stand', () => {
    assert.equal(decodeName('Pa_LtPa_GtPa_AddPa_Add'), '<>++');
    assert.equal(decodeName('Pa_Foo Pa_ampPa_Amp'), 'Pa_Foo Pa_amp&');
  });

  it('describes the frame states', () => {
    assert.deepEqual([-1, 0, 1, 4].map(frameText), ['Not shown', 'Shown', 'Frame 1', 'Frame 4']);
  });
});
