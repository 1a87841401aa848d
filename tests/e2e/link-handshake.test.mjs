// The port-and-token handshake with the CRM stand-in: an answer at once, after a
// delay, after both sends, and none at all.
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { createServer } from 'node:net';
import { CLOSING_LINE, CRM_DIR, NO_ANSWER_YET, noOwnersNote, notConnectedResult, startLine } from './texts.mjs';
import { CrmStandIn, call, delay, finishQuietly, startBridge, stopAllStandIns } from './link-support.mjs';

const FOUND = 'Znalazłem okno Orvina (1 z 1) - pytam o port i token.';
const NOT_YET = 'Żądanie dostarczone, odpowiedź w trakcie wysyłki: nie.';
const BOTH_SENDS_UNANSWERED = [
  NOT_YET,
  'Po dopompowaniu komunikatów odpowiedź: nadal jej brak.',
  'Ponawiam żądanie o port i token.',
  'Po ponowieniu odpowiedź: nadal jej brak.',
  'Czekam do 2 min na spóźnioną odpowiedź Orvina - nie wysyłam mu nowych żądań.',
];

// The attempt's own log lines and those of requests (" | "), which may come between them.
function split(texts) {
  return { attempt: texts.filter((l) => !l.includes(' | ')), requests: texts.filter((l) => l.includes(' | ')) };
}

describe('port-and-token handshake', () => {
  let standIn;

  before(async () => {
    standIn = await CrmStandIn.launch();
  });

  after(async () => {
    await stopAllStandIns();
  });

  async function startWith(query) {
    await standIn.command(`/set?${query}`);
    await standIn.command('/reset-record');
    return startBridge();
  }

  for (const [name, query, steps, greeting] of [
    ['an answer sent while the request is handled is there when the send returns', 'handshake=now', [
      'Żądanie dostarczone, odpowiedź w trakcie wysyłki: tak.',
    ]],
    ['an answer 2 s after the request arrives while messages are pumped, without a repetition', 'handshake=delay&delay=2000', [
      NOT_YET,
      'Po dopompowaniu komunikatów odpowiedź: jest.',
    ]],
    // The greeting waited 10 s for it, then got its local answer.
    ['an answer 12 s after the request, when neither send got one, is listened for without a third request',
      'handshake=delay&delay=12000', [...BOTH_SENDS_UNANSWERED, 'Spóźniona odpowiedź Orvina nadeszła.'],
      `notifications/initialized | notyfikacja, brak połączenia | ${NO_ANSWER_YET}`],
  ]) {
    test(name, async (t) => {
      const bridge = await startWith(query);
      t.after(() => finishQuietly(bridge));
      const linked = `Połączono z Orvinem na porcie ${standIn.port}.`;
      assert.equal(await bridge.greet(), linked, bridge.transcript());
      const { attempt, requests } = split(bridge.logTexts());
      const note = greeting ? [] : [noOwnersNote(standIn.port)];  // after the first forwarded request
      assert.deepEqual(attempt, [startLine(CRM_DIR), FOUND, ...steps, linked, ...note]);
      if (greeting) assert.deepEqual(requests, [greeting]);
      else assert.match(requests.join('\n'), /^notifications\/initialized \| t=\d+ms, rq=\d+B, rp=0B/);
      const { handshakes } = await standIn.record();
      assert.equal(handshakes.length, steps.includes('Ponawiam żądanie o port i token.') ? 2 : 1);
      // Start-up asks in the background, without a key.
      for (const handshake of handshakes) assert.equal(handshake.text, `1\r\n${handshakes[0].proxy}\r\n1\r\nMCP=`);
      assert.match(handshakes[0].proxy, /^[1-9]\d*$/);
    });
  }

  test('no answer: one repetition, then listened for until the input ends; the diagnosis with the proxy window', async () => {
    const bridge = await startWith('handshake=never');
    // The question does not hold the client's start-up; other requests wait 10 s for it.
    const init = await call(bridge, 1, 'initialize', { protocolVersion: '2025-06-18' });
    assert.equal(init.result.protocolVersion, '2025-06-18');
    assert.ok(!bridge.logTexts().some((l) => l.startsWith('Po dopompowaniu')), 'answered before the first wait ended');
    const refused = await call(bridge, 2, 'tools/call', { name: 'klienci_szukaj', arguments: {} });
    assert.equal(JSON.stringify(refused), notConnectedResult(2, NO_ANSWER_YET));

    // While it listens for the late answer, nothing asks the window again.
    await bridge.waitForLog((l) => l === BOTH_SENDS_UNANSWERED.at(-1), { describe: 'the wait for a late answer' });
    assert.deepEqual(await call(bridge, 3, 'ping'), { jsonrpc: '2.0', id: 3, result: {} });
    await delay(3500);
    assert.equal((await standIn.handshakes()).length, 2, 'the request and its one repetition');

    const code = await bridge.finish();
    assert.equal(code, 0, bridge.transcript());
    const handshakes = await standIn.handshakes();
    assert.equal(handshakes.length, 2);
    assert.equal(handshakes[1].text, handshakes[0].text);
    const { attempt, requests } = split(bridge.logTexts());
    assert.deepEqual(attempt, [
      startLine(CRM_DIR),
      FOUND,
      ...BOTH_SENDS_UNANSWERED,
      `Na razie bez połączenia: Orvin przyjął żądanie, ale nie odesłał odpowiedzi (okno proxy: ${handshakes[0].proxy}, dwie próby).`,
      CLOSING_LINE,
    ]);
    assert.deepEqual(requests, [
      `initialize | odpowiedź własna, brak Orvina | ${NO_ANSWER_YET}`,
      `tools/call klienci_szukaj | odmowa wykonania, brak Orvina | ${NO_ANSWER_YET}`,
      `ping | odpowiedź własna, brak Orvina | ${NO_ANSWER_YET}`,
    ]);
  });

  test('a port beyond 65535 counts as none: nothing reaches the port it would be cut to, the client gets local answers', async (t) => {
    const reached = [];
    const other = createServer((socket) => {
      reached.push(socket.remotePort);
      socket.destroy();
    });
    await new Promise((resolve) => other.listen(0, '127.0.0.1', resolve));
    t.after(() => other.close());
    await standIn.command(`/announce?port=${65536 + other.address().port}`);
    t.after(() => standIn.command('/announce?port=0'));
    const bridge = await startWith('handshake=now');
    t.after(() => finishQuietly(bridge));
    const missing = 'Orvin zgłosił gotowość, ale nie podał portu albo tokenu.';
    assert.equal(await bridge.greet(), `Na razie bez połączenia: ${missing}`, bridge.transcript());
    const refused = await call(bridge, 2, 'tools/call', { name: 'klienci_szukaj', arguments: {} });
    assert.equal(JSON.stringify(refused), notConnectedResult(2, missing));
    assert.deepEqual(reached, []);
  });
});
