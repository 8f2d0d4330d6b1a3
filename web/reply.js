// The control page's pure part: reading the CGI program's reply (a small line-oriented
// XML document with the sender list) and the text made from it. No DOM and no network
// here, so that the parser's unit test runs it under Node.

// The program replaces these characters in user names by fixed words so that the
// reply stays parseable; turn them back for display.
const NAME_WORDS = {
  Pa_Amp: '&', Pa_Note: ';', Pa_Percent: '%', Pa_Lt: '<', Pa_Gt: '>', Pa_Add: '+',
};
const NAME_WORD_RE = /Pa_(?:Amp|Note|Percent|Lt|Gt|Add)/g;

export function decodeName(text) {
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
export function parseReply(text) {
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
export function isolate(name) {
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

export function frameText(frame) {
  if (frame < 0) return 'Not shown';
  if (frame === 0) return 'Shown';
  return 'Frame ' + frame;
}

// The wait of a held-back sign-in (Retry-After, in seconds) in words; null when the
// server named none.
export function waitText(seconds) {
  if (!Number.isFinite(seconds) || seconds <= 0) return null;
  if (seconds < 60) return seconds + (seconds === 1 ? ' second' : ' seconds');
  const minutes = Math.ceil(seconds / 60);
  return minutes + (minutes === 1 ? ' minute' : ' minutes');
}
