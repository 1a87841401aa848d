// The port-and-token handshake with the CRM stand-in: an answer at once, after a
// delay, and none at all.
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { CRM_DIR, startLine } from './texts.mjs';
import { CrmStandIn, finishQuietly, startBridge, stopAllStandIns } from './link-support.mjs';

const FOUND = 'Znalazłem okno Orvina (1 z 1) - pytam o port i token.';

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

  test('an answer sent while the request is handled is there when the send returns', async (t) => {
    const bridge = await startWith('handshake=now');
    t.after(() => finishQuietly(bridge));
    await bridge.waitForLog((l) => l.startsWith('Połączono'), { describe: 'the link' });
    assert.deepEqual(bridge.logTexts(), [
      startLine(CRM_DIR),
      FOUND,
      'Żądanie dostarczone, odpowiedź w trakcie wysyłki: tak.',
      `Połączono z Orvinem na porcie ${standIn.port}.`,
    ]);
    const { handshakes } = await standIn.record();
    assert.equal(handshakes.length, 1);
    // Start-up asks in the background, without a key.
    assert.equal(handshakes[0].text, `1\r\n${handshakes[0].proxy}\r\n1\r\nMCP=`);
    assert.match(handshakes[0].proxy, /^[1-9]\d*$/);
  });

  test('an answer 2 s after the request arrives while messages are pumped, without a repetition', async (t) => {
    const bridge = await startWith('handshake=delay&delay=2000');
    t.after(() => finishQuietly(bridge));
    await bridge.waitForLog((l) => l.startsWith('Połączono'), { describe: 'the link' });
    assert.deepEqual(bridge.logTexts(), [
      startLine(CRM_DIR),
      FOUND,
      'Żądanie dostarczone, odpowiedź w trakcie wysyłki: nie.',
      'Po dopompowaniu komunikatów odpowiedź: jest.',
      `Połączono z Orvinem na porcie ${standIn.port}.`,
    ]);
    assert.equal((await standIn.handshakes()).length, 1);
  });

  test('no answer: one repetition, four log lines and the diagnosis with the proxy window', async () => {
    const bridge = await startWith('handshake=never');
    // Only the start-up attempt is watched: without input the bridge ends after it.
    bridge.closeInput();
    const code = await bridge.finish({ timeoutMs: 40000 });
    assert.equal(code, 0, bridge.transcript());
    const handshakes = await standIn.handshakes();
    assert.equal(handshakes.length, 2, 'the request and its one repetition');
    assert.equal(handshakes[1].text, handshakes[0].text);
    const proxy = handshakes[0].proxy;
    assert.deepEqual(bridge.logTexts(), [
      startLine(CRM_DIR),
      FOUND,
      'Żądanie dostarczone, odpowiedź w trakcie wysyłki: nie.',
      'Po dopompowaniu komunikatów odpowiedź: nadal jej brak.',
      'Ponawiam żądanie o port i token.',
      'Po ponowieniu odpowiedź: nadal jej brak.',
      `Na razie bez połączenia: Orvin przyjął żądanie, ale nie odesłał odpowiedzi (okno proxy: ${proxy}, dwie próby).`,
      'Klient zamknął strumień - kończę pracę.',
    ]);
  });
});
