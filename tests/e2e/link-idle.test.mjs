// Connecting while the client is silent: none before its first message, then
// attempts every 3 s, none after a refusal or after the end of input, the link
// coming up with the list-changed notice, and the orvin_connect short-cut.
import { after, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, spawnSync } from 'node:child_process';
import { closeSync, existsSync, mkdtempSync, openSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { BIN_DIR, BRIDGE_EXE, Bridge, wineEnv, winPath } from './harness.mjs';
import { CLOSING_LINE, CRM_DIR, NO_WINDOW, initializeReply, notConnectedResult, placeholderList, startLine } from './texts.mjs';
import {
  CRM,
  CrmStandIn,
  cacheFile,
  call,
  countLog,
  delay,
  finishQuietly,
  startBridge,
  stopAllStandIns,
  warmUp,
} from './link-support.mjs';

const NOTICE = '{"jsonrpc":"2.0","method":"notifications/tools/list_changed"}';
const CONNECTED_TEXT =
  'Połączono z Orvin CRM. Ta rozmowa ma jeszcze starą listę narzędzi: w czacie odświeży się ona sama ' +
  'w ciągu kilku sekund, w Claude Code narzędzia Orvina będą widoczne w nowej sesji.';
const STOP_ASKING = ' Przestaję pytać w tle - spróbuję przy kolejnym żądaniu.';

after(async () => {
  await stopAllStandIns();
});

function backgroundFlags(handshakes) {
  return handshakes.map((h) => h.background).join('');
}

describe('refusal', () => {
  test('"NOPERM" stops idle attempts with one log line; "DENIED" keeps them stopped until a request succeeds', async (t) => {
    const standIn = await CrmStandIn.launch();
    t.after(() => standIn.stop());
    const message = 'Użytkownik nie zgodził się na połączenie z "OrvinMCP".';
    await standIn.command(`/set?status=NOPERM&message=${encodeURIComponent(message)}`);
    const bridge = startBridge();
    t.after(() => finishQuietly(bridge));

    // Start-up does not record a refusal; the first idle attempt does.
    assert.equal(await bridge.greet(), `Na razie bez połączenia: ${message}`);
    await bridge.waitForLog((l) => l.startsWith('Orvin odmówił: '), { describe: 'the refusal' });
    assert.equal(countLog(bridge, `Na razie bez połączenia: ${message}`), 1);
    await delay(3300);
    assert.equal(countLog(bridge, `Orvin odmówił: ${message}${STOP_ASKING}`), 1, bridge.transcript());
    assert.equal(backgroundFlags(await standIn.handshakes()), '11', 'start-up and one idle attempt');

    // A request still asks, and is refused again.
    await standIn.command('/set?status=DENIED&message=');
    const refused = await call(bridge, 1, 'tools/call', { name: 'klienci_szukaj', arguments: { fraza: 'Łódź' } });
    assert.equal(JSON.stringify(refused), notConnectedResult(1, 'Orvin odmówił dostępu (DENIED).'));
    await standIn.command('/set?status=');
    await delay(3300);
    assert.equal(backgroundFlags(await standIn.handshakes()), '110', 'no idle attempt after the refused request');
    assert.equal(bridge.logTexts().filter((l) => l.startsWith('Orvin odmówił: ')).length, 1);

    // A call, as a ping would not wait for the attempt.
    const from = bridge.logTexts().length;
    const found = await call(bridge, 2, 'tools/call', { name: 'klienci_szukaj', arguments: { fraza: 'żółw' } });
    assert.match(found.result?.content?.[0]?.text ?? '', /Żółw/, JSON.stringify(found));
    assert.equal(backgroundFlags(await standIn.handshakes()), '1100');
    assert.deepEqual(
      bridge.logTexts().slice(from, from + 3),
      [
        'Znalazłem okno Orvina (1 z 1) - pytam o port i token.',
        'Żądanie dostarczone, odpowiedź w trakcie wysyłki: tak.',
        `Połączono z Orvinem na porcie ${standIn.port}.`,
      ],
    );
    assert.deepEqual((await standIn.requests()).map((r) => r.method), ['tools/call']);
  });
});

describe('idle attempts', () => {
  test('while the client is silent: none before its first message, then one every 3 s, none of them logged as failures', async (t) => {
    // An instance with a key answers "OTHER": a failure that is no refusal.
    const standIn = await CrmStandIn.launch({ args: ['-key', 'k1'] });
    t.after(() => standIn.stop());
    const bridge = startBridge();
    t.after(() => finishQuietly(bridge));
    await bridge.nthLog(1);
    await delay(3500);
    assert.deepEqual(standIn.handshakeLog(), [], 'nothing asks before the client speaks');
    assert.match(await bridge.greet(), /^Na razie bez połączenia: /);
    await standIn.until(() => (standIn.handshakeLog().length >= 4 ? true : undefined), 15000, 'four handshakes');
    const times = standIn.handshakeLog();
    assert.ok(times.every((h) => h.background === '1'), JSON.stringify(times));
    // Counted from the start-up attempt, which the greeting made.
    for (let i = 1; i < times.length; i++) {
      const gap = times[i].ms - times[i - 1].ms;
      assert.ok(gap >= 2900 && gap <= 4500, `gap ${gap} ms between idle attempts: ${JSON.stringify(times)}`);
    }
    const texts = bridge.logTexts();
    assert.equal(texts.filter((l) => l.startsWith('Na razie bez połączenia: ')).length, 1);
    assert.deepEqual(
      [...new Set(texts.slice(1).filter((l) => !l.startsWith('Na razie') && !l.includes(' | ')))].sort(),
      ['Znalazłem okno Orvina (1 z 1) - pytam o port i token.', 'Żądanie dostarczone, odpowiedź w trakcie wysyłki: tak.'],
    );
  });

  // Runs the bridge without the relay, its standard input as given; returns the bridge.
  function startDirect(stdin) {
    warmUp();
    const child = spawn('wine', [winPath(BRIDGE_EXE), '-dir', CRM], { env: wineEnv(), stdio: [stdin, 'pipe', 'pipe'] });
    return new Bridge(child, 'the bridge without the relay');
  }

  test('none when standard input is a file: its lines get the outcome of the start-up attempt, its end stops all others', async (t) => {
    const standIn = await CrmStandIn.launch({ args: ['-key', 'k1'] });
    t.after(() => standIn.stop());
    const folder = mkdtempSync(join(tmpdir(), 'orvin-link-'));
    t.after(() => rmSync(folder, { recursive: true, force: true }));
    const file = join(folder, 'requests.jsonl');
    writeFileSync(
      file,
      '{"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18"}}\n' +
        '{"jsonrpc":"2.0","method":"notifications/initialized"}\n' +
        '{"jsonrpc":"2.0","id":2,"method":"ping"}\n',
    );
    const fd = openSync(file, 'r');
    let bridge;
    try {
      bridge = startDirect(fd);
    } finally {
      closeSync(fd);
    }
    t.after(() => bridge.kill());
    assert.equal(await bridge.exited, 0, bridge.transcript());
    assert.equal(backgroundFlags(await standIn.handshakes()), '1', 'the start-up attempt only');
    assert.equal(bridge.lines().length, 2);
    const reason =
      `Każdy Orvin z katalogu ${CRM_DIR} ma klucz MCP (działają: "k1"), a ten wpis go nie podaje. ` +
      'Dodaj w konfiguracji klienta MCP "args": ["-mcp", "<klucz>"].';
    assert.deepEqual(bridge.logTexts(), [
      startLine(CRM_DIR),
      'Znalazłem okno Orvina (1 z 1) - pytam o port i token.',
      'Żądanie dostarczone, odpowiedź w trakcie wysyłki: tak.',
      `Na razie bez połączenia: ${reason}`,
      `initialize | odpowiedź własna, brak Orvina | ${reason}`,
      `notifications/initialized | notyfikacja, brak połączenia | ${reason}`,
      `ping | odpowiedź własna, brak Orvina | ${reason}`,
      CLOSING_LINE,
    ]);
  });

  test('on a standard input that cannot be polled, as on a pipe: an idle attempt follows the first message', async (t) => {
    const standIn = await CrmStandIn.launch({ args: ['-key', 'k1'] });
    t.after(() => standIn.stop());
    // The test runner's pipe is a Unix socket under Wine: polling it fails, reading it works.
    const bridge = startDirect('pipe');
    t.after(() => bridge.kill());
    bridge.send('{"jsonrpc":"2.0","id":1,"method":"ping"}');
    await bridge.nthLine(1);
    await standIn.until(() => (standIn.handshakeLog().length >= 2 ? true : undefined), 10000, 'an idle attempt');
    // A call makes an attempt of its own, after the idle one should that still run.
    bridge.send('{"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"klienci_szukaj"}}');
    await bridge.nthLine(2);
    assert.equal(await bridge.finish(), 0, bridge.transcript());
    assert.equal(backgroundFlags(await standIn.handshakes()), '110');
  });
});

describe('link-up in idle time', () => {
  const file = cacheFile();
  let saved = null;
  let bridge;
  let standIn;
  let nextLine = 0;

  after(async () => {
    await finishQuietly(bridge);
    await standIn?.stop();
    rmSync(file, { force: true });
    if (saved !== null) writeFileSync(file, saved);
  });

  async function answer(message) {
    bridge.send(message);
    return bridge.nthLine(++nextLine);
  }

  test('the client holding the placeholder list gets the notice within about 3 s of the CRM application starting', async () => {
    if (existsSync(file)) saved = readFileSync(file);
    rmSync(file, { force: true });
    bridge = startBridge();
    const init = '{"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-03-26"}}';
    assert.equal(await answer(init), initializeReply(1, '2025-03-26'));
    bridge.send('{"jsonrpc":"2.0","method":"notifications/initialized"}');
    assert.equal(await answer('{"jsonrpc":"2.0","id":2,"method":"tools/list"}'), placeholderList(2));
    await bridge.waitForLog((l) => l === `tools/list | lista zastępcza (orvin_connect) | ${NO_WINDOW}`);
    assert.equal(bridge.logTexts()[0], startLine(CRM_DIR));

    standIn = await CrmStandIn.launch({ args: ['-test-tools'] });
    const ready = Date.now();
    assert.equal(await bridge.nthLine(++nextLine, { timeoutMs: 15000 }), NOTICE);
    const waited = Date.now() - ready;
    assert.ok(waited < 4500, `the notice came ${waited} ms after the stand-in was ready`);
    // The log has a writer of its own: its lines may reach the pipe a moment after the notice.
    await bridge.waitForLog((l) => l.startsWith('Klient ma zastępczą listę'));
    const texts = bridge.logTexts();
    assert.deepEqual(texts.slice(-2), [
      `Połączono z Orvinem na porcie ${standIn.port}.`,
      'Klient ma zastępczą listę narzędzi - wysyłam powiadomienie o zmianie.',
    ]);
    assert.equal(backgroundFlags(await standIn.handshakes()), '1', 'found by an idle attempt');
  });

  test('the list is then fetched from the CRM application and cached', async () => {
    const request = '{"jsonrpc":"2.0","id":3,"method":"tools/list"}';
    const line = await answer(request);
    const reply = JSON.parse(line);
    assert.ok(reply.result.tools.some((tool) => tool.name === 'klienci_szukaj'), line);
    assert.ok(reply.result.tools.some((tool) => tool.name === 'test_echo'), line);
    const stored = readFileSync(file);
    assert.equal(line, `{"jsonrpc":"2.0","id":3,"result":${stored.toString('utf8')}}`);
    assert.ok(!stored.includes(0x0a) && !stored.includes(0x0d), 'one line');
    assert.deepEqual(JSON.parse(stored.toString('utf8')), reply.result);
    const log = await bridge.waitForLog((l) => l.startsWith('tools/list | t='));
    assert.match(log, new RegExp(`^tools/list \\| t=\\d+ms, rq=${request.length}B, rp=${Buffer.byteLength(line)}B$`));
  });

  test('orvin_connect while linked is answered by the bridge, with the notice, and not forwarded', async () => {
    await standIn.command('/reset-record');
    const call7 = '{"jsonrpc":"2.0","id":"c-7","method":"tools/call","params":{"name":"orvin_connect","arguments":{}}}';
    const result = await answer(call7);
    assert.equal(
      result,
      `{"jsonrpc":"2.0","id":"c-7","result":{"content":[{"type":"text","text":"${CONNECTED_TEXT}"}]}}`,
    );
    assert.equal(await bridge.nthLine(++nextLine), NOTICE);
    assert.equal(
      await bridge.waitForLog((l) => l.startsWith('tools/call orvin_connect')),
      'tools/call orvin_connect | klient ma starą listę - odpowiedź własna i ponowne powiadomienie o zmianie listy narzędzi',
    );

    // Without an id it is no call of the short-cut: it goes to the CRM application.
    const before = bridge.logTexts().length;
    const notification = '{"jsonrpc":"2.0","method":"tools/call","params":{"name":"orvin_connect"}}';
    bridge.send(notification);
    const log = await bridge.nthLog(before + 1);
    assert.match(log, /^tools\/call orvin_connect \| t=\d+ms, rq=\d+B, rp=0B \(notyfikacja, bez odpowiedzi\)$/);
    assert.ok(log.includes(`rq=${notification.length}B`), log);
    const requests = await standIn.requests();
    assert.deepEqual(
      requests.map((r) => [r.method, r.id]),
      [['tools/call', null]],
    );
    assert.equal(await answer('{"jsonrpc":"2.0","id":8,"method":"ping"}'), '{"jsonrpc":"2.0","id":8,"result":{}}');
  });

  test('a broadcast to every top-level window returns at once while the linked bridge is idle', async () => {
    await delay(300);  // idle: waiting for the client
    const sender = spawnSync('wine', [winPath(join(BIN_DIR, 'SendBroadcast.exe'))], {
      env: wineEnv(),
      encoding: 'utf8',
      timeout: 60000,
    });
    assert.equal(sender.status, 0, sender.stderr);
    const took = Number(sender.stdout.trim());
    // Each window that does not answer costs the whole 10 s.
    assert.ok(took < 3000, `the broadcast took ${took} ms`);
    assert.equal(await answer('{"jsonrpc":"2.0","id":9,"method":"ping"}'), '{"jsonrpc":"2.0","id":9,"result":{}}');
  });
});
