// Connecting while the client is silent: attempts every 3 s, none after a refusal
// or on a standard input that cannot be polled, the link coming up with the
// list-changed notice, and the orvin_connect short-cut.
import { after, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, spawnSync } from 'node:child_process';
import { closeSync, existsSync, mkdtempSync, openSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { BIN_DIR, BRIDGE_EXE, Bridge, wineEnv, winPath } from './harness.mjs';
import { CRM_DIR, NO_WINDOW, initializeReply, notConnectedResult, placeholderList, startLine } from './texts.mjs';
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

    const from = bridge.logTexts().length;
    const pong = await call(bridge, 2, 'ping');
    assert.deepEqual(pong, { jsonrpc: '2.0', id: 2, result: {} });
    assert.equal(backgroundFlags(await standIn.handshakes()), '1100');
    assert.deepEqual(
      bridge.logTexts().slice(from, from + 3),
      [
        'Znalazłem okno Orvina (1 z 1) - pytam o port i token.',
        'Żądanie dostarczone, odpowiedź w trakcie wysyłki: tak.',
        `Połączono z Orvinem na porcie ${standIn.port}.`,
      ],
    );
    assert.deepEqual((await standIn.requests()).map((r) => r.method), ['ping']);
  });
});

describe('idle attempts', () => {
  test('while the client is silent: one at once after start-up, then one every 3 s, none of them logged as failures', async (t) => {
    // An instance with a key answers "OTHER": a failure that is no refusal.
    const standIn = await CrmStandIn.launch({ args: ['-key', 'k1'] });
    t.after(() => standIn.stop());
    const bridge = startBridge();
    t.after(() => finishQuietly(bridge));
    await standIn.until(() => (standIn.handshakeLog().length >= 4 ? true : undefined), 15000, 'four handshakes');
    const times = standIn.handshakeLog();
    assert.ok(times.every((h) => h.background === '1'), JSON.stringify(times));
    assert.ok(times[1].ms - times[0].ms < 1000, `the first idle attempt follows start-up at once: ${JSON.stringify(times)}`);
    for (let i = 2; i < times.length; i++) {
      const gap = times[i].ms - times[i - 1].ms;
      assert.ok(gap >= 2900 && gap <= 4500, `gap ${gap} ms between idle attempts: ${JSON.stringify(times)}`);
    }
    const texts = bridge.logTexts();
    assert.equal(texts.filter((l) => l.startsWith('Na razie bez połączenia: ')).length, 1);
    assert.deepEqual(
      [...new Set(texts.slice(1).filter((l) => !l.startsWith('Na razie')))].sort(),
      ['Znalazłem okno Orvina (1 z 1) - pytam o port i token.', 'Żądanie dostarczone, odpowiedź w trakcie wysyłki: tak.'],
    );
  });

  // Runs the bridge without the relay, its standard input as given; returns the bridge.
  function startDirect(stdin) {
    warmUp();
    const child = spawn('wine', [winPath(BRIDGE_EXE), '-dir', CRM], { env: wineEnv(), stdio: [stdin, 'pipe', 'pipe'] });
    return new Bridge(child, 'the bridge without the relay');
  }

  test('none when standard input is a file: only start-up and the requests ask', async (t) => {
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
    assert.equal(backgroundFlags(await standIn.handshakes()), '1000', 'start-up, then one attempt per line');
    assert.equal(bridge.lines().length, 2);
  });

  test('none on a standard input that cannot be polled, however long the client is silent', async (t) => {
    const standIn = await CrmStandIn.launch({ args: ['-key', 'k1'] });
    t.after(() => standIn.stop());
    // The test runner's pipe is a Unix socket under Wine: polling it fails.
    const bridge = startDirect('pipe');
    t.after(() => bridge.kill());
    bridge.send('{"jsonrpc":"2.0","id":1,"method":"ping"}');
    await bridge.nthLine(1);
    await delay(3500);
    bridge.send('{"jsonrpc":"2.0","id":2,"method":"ping"}');
    await bridge.nthLine(2);
    assert.equal(await bridge.finish(), 0, bridge.transcript());
    assert.equal(backgroundFlags(await standIn.handshakes()), '100');
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
