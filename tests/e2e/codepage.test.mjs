// Under a Western code page (1252) the bridge's Polish texts stay exact on both
// streams, byte for byte the UTF-8 they are under the Polish code page.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { Bridge, setCacheFileAside, wineEnv } from './harness.mjs';
import {
  CACHE_FILE,
  CLOSING_LINE,
  CRM_DIR,
  NO_WINDOW,
  notConnectedResult,
  placeholderList,
  startLine,
} from './texts.mjs';

const WESTERN = { LC_ALL: 'C.UTF-8' };

function strictUtf8(buffer, what) {
  try {
    return new TextDecoder('utf-8', { fatal: true }).decode(buffer);
  } catch {
    assert.fail(`${what} is not valid UTF-8: ${buffer.toString('hex')}`);
  }
}

test('the locale really switches the active code page', () => {
  // cmd writes to a pipe in the active ANSI code page: "ł" is B3 in 1250 and
  // becomes the best-fit "l" in 1252.
  const echo = (env) =>
    spawnSync('wine', ['cmd', '/c', 'echo', 'ł'], { env, encoding: 'buffer', timeout: 60000 }).stdout;
  assert.deepEqual([...echo(wineEnv())], [0xb3, 0x0d, 0x0a]);
  assert.deepEqual([...echo(wineEnv(WESTERN))], [0x6c, 0x0d, 0x0a]);
});

test('with code page 1252 the Polish texts are exact', async () => {
  const restoreCache = setCacheFileAside(CACHE_FILE);
  const bridge = Bridge.start({ args: ['-dir', 'C:\\crm'], env: WESTERN });
  try {
    await bridge.greet();
    await bridge.exchange('{"jsonrpc":"2.0","id":1,"method":"tools/list"}');
    await bridge.exchange('{"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"orvin_connect"}}');
    await bridge.exchange('{"jsonrpc":"2.0","id":3,"method":"ping"}');
  } finally {
    restoreCache();
    assert.equal(await bridge.finish(), 0, bridge.transcript());
  }

  const answers = strictUtf8(bridge.stdout, 'standard output').split('\n');
  assert.equal(answers.pop(), '');
  const expectedAnswers = [placeholderList(1), notConnectedResult(2, NO_WINDOW), '{"jsonrpc":"2.0","id":3,"result":{}}'];
  assert.equal(answers.length, expectedAnswers.length, bridge.transcript());
  answers.forEach((answer, i) => assert.equal(answer, expectedAnswers[i]));

  const log = strictUtf8(bridge.stderr, 'the log').split('\r\n');
  assert.equal(log.pop(), '');
  const expectedLog = [
    startLine(CRM_DIR),
    `Na razie bez połączenia: ${NO_WINDOW}`,
    `notifications/initialized | notyfikacja, brak połączenia | ${NO_WINDOW}`,
    `tools/list | lista zastępcza (orvin_connect) | ${NO_WINDOW}`,
    `tools/call orvin_connect | odmowa wykonania, brak Orvina | ${NO_WINDOW}`,
    `ping | odpowiedź własna, brak Orvina | ${NO_WINDOW}`,
    CLOSING_LINE,
  ];
  assert.equal(log.length, expectedLog.length, bridge.transcript());
  log.forEach((line, i) => assert.equal(line.replace(/^\[[^\]]*\] \[[^\]]*\] /, ''), expectedLog[i]));
});
