// Windows as it is: a window message is answered while the client does not read,
// a close ends the bridge in order, a CRM application or a client that is gone is
// not waited for, a refused connect is tried again, a cancelled call stays unanswered.
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { join } from 'node:path';
import { BIN_DIR, BRIDGE_EXE, GREETING, RELAY_EXE, requireBuilt, sdkClient, winPath, wineEnv } from './harness.mjs';
import { CLOSING_LINE } from './texts.mjs';
import { CRM, CrmStandIn, bridgePid, call, delay, finishQuietly, logAfter, startBridge, stopAllStandIns, warmUp } from './link-support.mjs';

const PROBE_EXE = join(BIN_DIR, 'WindowProbe.exe');
const CLOSE_ASKED = 'Poproszono o zamknięcie OrvinMCP - nie przyjmuję nowych żądań i kończę pracę.';
const CONSENT = ['-handshake', 'consent', '-delay', '60000'];

// A Windows program's exit code and what it printed.
function runWine(args) {
  const child = spawn('wine', args, { env: wineEnv(), stdio: ['ignore', 'pipe', 'pipe'] });
  let output = '';
  child.stdout.on('data', (d) => (output += d));
  child.stderr.on('data', (d) => (output += d));
  return new Promise((resolve) => child.on('close', (code) => resolve({ code, output: output.trim() })));
}

// WindowProbe.exe on the proxy window of the bridge with that process id.
function probe(pid, action) {
  requireBuilt(PROBE_EXE);
  return runWine([winPath(PROBE_EXE), 'OrvinMCPProxyWnd', String(pid), action]);
}

// Resolves with the first truthy value of check(), polled; rejects after the timeout.
async function eventually(check, timeoutMs, what) {
  const end = Date.now() + timeoutMs;
  for (;;) {
    const value = await check();
    if (value) return value;
    if (Date.now() > end) throw new Error(`timed out after ${timeoutMs} ms waiting for ${what}`);
    await delay(50);
  }
}

function logTexts(log) {
  return log.split('\r\n').map((l) => l.replace(/^\[[^\]]*\] \[[^\]]*\] /, ''));
}

describe('a linked bridge', () => {
  let standIn;

  before(async () => {
    standIn = await CrmStandIn.launch({ args: ['-test-tools'] });
  });

  after(stopAllStandIns);

  async function linkedBridge(t) {
    const bridge = startBridge();
    t.after(() => finishQuietly(bridge));
    assert.equal(await bridge.greet({ timeoutMs: 30000 }), `Połączono z Orvinem na porcie ${standIn.port}.`, bridge.transcript());
    return bridge;
  }

  function tookRequest(marker) {
    return eventually(async () => (await standIn.requests()).some((r) => r.body.includes(marker)), 10000, `${marker} at the stand-in`);
  }

  test('a window message is answered in under 500 ms while 4 MB wait unread; read later, they come as one line', async (t) => {
    const bridge = await linkedBridge(t);
    // Paused, the pipe holds some 64 KiB: the rest of the answer waits in the bridge.
    bridge.child.stdout.pause();
    t.after(() => bridge.child.stdout.resume());
    const from = bridge.logTexts().length;
    bridge.send({ jsonrpc: '2.0', id: 'large', method: 'tools/call', params: { name: 'test_large', arguments: { mb: 4 } } });
    await logAfter(bridge, from, (l) => l.startsWith('tools/call test_large | t='), 'the answer handed to standard output', 60000);

    const { code, output } = await probe(bridgePid(bridge), 'null');
    assert.equal(code, 0, output);
    assert.ok(Number(output) < 500, `the proxy window answered after ${output} ms`);
    t.diagnostic(`WM_NULL answered in ${output} ms`);

    bridge.child.stdout.resume();
    const reply = JSON.parse(await bridge.nthLine(1, { timeoutMs: 60000 }));
    assert.equal(reply.id, 'large');
    assert.equal(reply.result.content[0].text.length, 4 * 1048576);
  });

  for (const [how, close] of [
    ['WM_CLOSE posted to the proxy window', (pid) => probe(pid, 'close')],
    // Wine's taskkill, like Windows', posts WM_CLOSE to the top-level windows of the process.
    ['taskkill /im OrvinMCP.exe', () => runWine(['taskkill', '/im', 'OrvinMCP.exe'])],
  ]) {
    test(`${how} during a 2-s call: nothing new goes out, the call is answered, the window stays, exit code 0`, async (t) => {
      const bridge = await linkedBridge(t);
      const pid = bridgePid(bridge);
      bridge.send({ jsonrpc: '2.0', id: 1, method: 'tools/call', params: { name: 'test_sleep', arguments: { ms: 2000 } } });
      await tookRequest('test_sleep');
      const from = bridge.logTexts().length;
      const closed = await close(pid);
      assert.equal(closed.code, 0, closed.output);
      await logAfter(bridge, from, (l) => l === CLOSE_ASKED, 'the close taken');
      bridge.send({ jsonrpc: '2.0', id: 2, method: 'tools/call', params: { name: 'test_echo', arguments: { znacznik: 'after-close' } } });
      const window = await probe(pid, 'null');
      assert.equal(window.code, 0, `the proxy window after the close: ${window.output}`);

      assert.equal(await Promise.race([bridge.exited, delay(15000)]), 0, bridge.transcript());
      assert.deepEqual(bridge.lines().map((l) => JSON.parse(l).id), [1]);
      assert.equal(JSON.parse(bridge.lines()[0]).result.content[0].text, 'Odczekano 2000 ms.');
      assert.ok(!(await standIn.requests()).some((r) => r.body.includes('after-close')), 'nothing new reached the CRM application');
      const texts = bridge.logTexts().slice(from);
      assert.equal(texts[0], CLOSE_ASKED);
      assert.match(texts[1], /^tools\/call test_sleep \| t=\d+ms/);
      assert.equal(texts.at(-1), CLOSING_LINE);
    });
  }

  test('a connect refused for 400 ms while linked: the call is answered, delivered once, without a new handshake', async (t) => {
    const bridge = await linkedBridge(t);
    const handshakes = (await standIn.handshakes()).length;
    const from = bridge.logTexts().length;
    await standIn.command('/listen?on=0');
    const answer = call(bridge, 'refused', 'tools/call', { name: 'test_echo', arguments: { znacznik: 'refused' } });
    await delay(400);
    await standIn.command('/listen?on=1');
    assert.equal((await answer).result?.content?.[0]?.text, '{"znacznik":"refused"}', bridge.transcript());
    await logAfter(bridge, from, (l) => l.startsWith('tools/call test_echo | t='), 'the timing line');

    assert.equal((await standIn.requests()).filter((r) => r.body.includes('"refused"')).length, 1);
    assert.equal((await standIn.handshakes()).length, handshakes, 'no new handshake');
    const texts = bridge.logTexts();
    const retried = texts.filter((l) => /^tools\/call test_echo \| Orvin odrzucał połączenie - ponawiałem je przez \d+ ms\.$/.test(l));
    assert.equal(retried.length, 1, texts.join('\n'));
    assert.ok(!texts.some((l) => l.startsWith('Utrata łączności')), texts.join('\n'));
    t.diagnostic(retried[0]);
  });

  test('a call the client cancelled gets no answer when the CRM application answers anyway', async (t) => {
    const { client, transport, protocolErrors, log } = sdkClient({ name: 'orvin-e2e-cancel', args: ['-dir', CRM] });
    t.after(() => client.close());
    await client.connect(transport, { timeout: 30000 });
    await eventually(() => log().includes(`Połączono z Orvinem na porcie ${standIn.port}.`), 30000, 'the link');
    await standIn.command('/reset-record');

    const abort = new AbortController();
    const cancelled = client.callTool({ name: 'test_sleep', arguments: { ms: 1000 } }, undefined, { signal: abort.signal });
    await tookRequest('test_sleep');
    abort.abort('cancelled by the test');
    await assert.rejects(cancelled);
    // Kept for a retry, never sent.
    const kept = 'tools/call test_sleep | anulowane przez klienta - odpowiedź Orvina zachowuję na 10 min, gdyby klient ponowił to wywołanie';
    await eventually(() => logTexts(log()).includes(kept), 10000, 'the answer kept');
    // Answers come in order: one for the cancelled call would have come before this one.
    await client.ping();
    assert.deepEqual(protocolErrors, []);
  });
});

describe('a consent question open', () => {
  after(stopAllStandIns);

  test('a CRM application closed during its question is noticed and a new one is reached within 10 s', async (t) => {
    const asking = await CrmStandIn.launch({ args: CONSENT });
    const bridge = startBridge();
    t.after(() => finishQuietly(bridge));
    bridge.send(GREETING);
    await eventually(async () => (await asking.command('/state')).question, 30000, 'the consent question');

    const from = bridge.logTexts().length;
    const quit = Date.now();
    await asking.stop();
    await logAfter(bridge, from, (l) => l === 'Orvin został zamknięty, zanim odpowiedział na żądanie.', 'the closed window noticed', 10000);
    t.diagnostic(`noticed ${Date.now() - quit} ms after /quit`);
    const replacement = await CrmStandIn.launch();
    const started = Date.now();
    await logAfter(bridge, from, (l) => l === `Połączono z Orvinem na porcie ${replacement.port}.`, 'the link to the new one', 10000);
    t.diagnostic(`linked ${Date.now() - started} ms after the new one was ready`);
  });

  test('the client closing its input ends the bridge within 1 s', async (t) => {
    const standIn = await CrmStandIn.launch({ args: CONSENT });
    const { client, transport, log } = sdkClient({ name: 'orvin-e2e-close', args: ['-dir', CRM] });
    t.after(() => client.close());
    await client.connect(transport, { timeout: 30000 });
    await eventually(async () => (await standIn.command('/state')).question, 30000, 'the consent question');

    const ended = new Promise((resolve) => transport.stderr.on('data', () => log().includes(CLOSING_LINE) && resolve(Date.now())));
    const closing = Date.now();
    await client.close();
    const endedAfter = (await Promise.race([ended, delay(10000).then(() => Infinity)])) - closing;
    assert.ok(endedAfter < 1000, `ended ${endedAfter} ms after the close\n${log()}`);
    assert.ok(logTexts(log()).includes('notifications/initialized | notyfikacja, brak połączenia | Klient zamknął strumień, więc nie łączę się już z Orvinem.'), log());
    t.diagnostic(`ended ${endedAfter} ms after the close`);
  });
});

test('a bridge whose client died while its input leaked into another process ends within 10 s', async (t) => {
  warmUp();
  requireBuilt(RELAY_EXE, BRIDGE_EXE);
  // The relay hands the write end of the bridge's input to a second process too;
  // the read end of the bridge's output dies with it.
  const relay = spawn('wine', [winPath(RELAY_EXE), '-leak-input', '-pipe-output', winPath(BRIDGE_EXE), '-dir', CRM], {
    env: wineEnv(),
    stdio: ['pipe', 'ignore', 'pipe'],
  });
  relay.stdin.on('error', () => {});
  let log = '';
  relay.stderr.on('data', (d) => (log += d));
  const pid = Number((await eventually(() => /\[OrvinMCP:(\d+)\] Start\./.exec(log), 30000, 'the start line'))[1]);
  // A bridge that lingers is closed in order; its end ends the holder too.
  t.after(() => probe(pid, 'close'));

  relay.kill('SIGKILL');
  const killed = Date.now();
  await eventually(() => log.includes(CLOSING_LINE), 10000, `the end of the bridge\n${log}`);
  await eventually(async () => (await probe(pid, 'null')).code === 1, 10000 - (Date.now() - killed), 'its window gone');
  assert.ok(logTexts(log).includes('Program, który uruchomił OrvinMCP, zakończył działanie - nie przyjmuję nowych żądań i kończę pracę.'), log);
  t.diagnostic(`ended ${Date.now() - killed} ms after the relay was killed`);
});
