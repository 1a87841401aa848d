// The answers the bridge gives itself while no CRM application runs, byte for byte.
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { Bridge, setCacheFileAside } from './harness.mjs';
import {
  CACHE_FILE,
  NO_WINDOW,
  PARSE_ERROR,
  errorReply,
  initializeReply,
  notConnectedResult,
  placeholderList,
} from './texts.mjs';

describe('local answers without a CRM application', () => {
  let bridge;
  let restoreCache;

  before(async () => {
    restoreCache = setCacheFileAside(CACHE_FILE);
    bridge = Bridge.start({ args: ['-dir', 'C:\\crm'] });
    assert.equal(await bridge.greet(), `Na razie bez połączenia: ${NO_WINDOW}`);
  });

  after(async () => {
    restoreCache?.();
    if (!bridge) return;
    const code = await bridge.finish();
    assert.equal(code, 0, bridge.transcript());
  });

  // A notification has no answer; the next request's answer must be the next line.
  async function notify(message) {
    const lineCount = bridge.lines().length;
    const logCount = bridge.logTexts().length;
    bridge.send(message);
    const log = await bridge.nthLog(logCount + 1);
    const probe = await bridge.exchange('{"jsonrpc":"2.0","id":"probe","method":"resources/list"}');
    assert.equal(probe.answer, errorReply('"probe"', NO_WINDOW), 'no answer to the notification');
    assert.equal(bridge.lines().length, lineCount + 1);
    return log;
  }

  test('initialize echoes the requested protocol version', async () => {
    const { answer, log } = await bridge.exchange(
      '{"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-03-26","capabilities":{},"clientInfo":{"name":"t","version":"1"}}}',
    );
    assert.equal(answer, initializeReply(1, '2025-03-26'));
    assert.equal(log, `initialize | odpowiedź własna, brak Orvina | ${NO_WINDOW}`);
  });

  test('initialize without a protocol version offers 2025-06-18', async () => {
    const { answer } = await bridge.exchange('{"jsonrpc":"2.0","id":0,"method":"initialize","params":{}}');
    assert.equal(answer, initializeReply(0, '2025-06-18'));
    const blank = await bridge.exchange('{"jsonrpc":"2.0","id":2,"method":"initialize","params":{"protocolVersion":"   "}}');
    assert.equal(blank.answer, initializeReply(2, '2025-06-18'));
  });

  test('initialize echoes an odd protocol version as it stands', async () => {
    const blanks = await bridge.exchange('{"jsonrpc":"2.0","id":11,"method":"initialize","params":{"protocolVersion":" 2025-03-26 "}}');
    assert.equal(blanks.answer, initializeReply(11, ' 2025-03-26 '));
  });

  test('initialize offers 2025-06-18 when the protocol version is no string', async () => {
    for (const version of ['5', '{"v":1,"w":[2]}', '["2025-03-26"]', 'null']) {
      const { answer } = await bridge.exchange(
        `{"jsonrpc":"2.0","id":12,"method":"initialize","params":{"protocolVersion":${version}}}`,
      );
      assert.equal(answer, initializeReply(12, '2025-06-18'), version);
    }
  });

  test('initialize takes the protocol version from its own params only', async () => {
    const { answer } = await bridge.exchange(
      '{"jsonrpc":"2.0","id":3,"method":"initialize","params":{"clientInfo":{"name":"t","protocolVersion":"1999-01-01"},"protocolVersion":"2025-03-26"}}',
    );
    assert.equal(answer, initializeReply(3, '2025-03-26'));
  });

  test('a string id is echoed with its quotes and escapes', async () => {
    const { answer } = await bridge.exchange('{"jsonrpc":"2.0","id":"req-1","method":"initialize","params":{}}');
    assert.equal(answer, initializeReply('"req-1"', '2025-06-18'));
    const escaped = await bridge.exchange('{"id" : "a\\"b,}","jsonrpc":"2.0","method":"tools/call","params":{"name":"x"}}');
    assert.equal(escaped.answer, notConnectedResult('"a\\"b,}"', NO_WINDOW));
  });

  test('an object or array id is answered whole, in one line of valid JSON', async () => {
    for (const [id, method] of [
      ['{"a":1,"b":[2,"}"]}', 'ping'],
      ['[1,{"c":null}]', 'tools/list'],
      ['{}', 'initialize'],
    ]) {
      const { answer } = await bridge.exchange(`{"jsonrpc":"2.0","id":${id},"method":"${method}","params":{}}`);
      assert.deepEqual(JSON.parse(answer).id, JSON.parse(id), answer);
    }
  });

  test('member names, the method and the tool name count by their decoded value', async () => {
    const list = await bridge.exchange('{"jsonrpc":"2.0","\\u0069d":21,"method":"tools\\/list"}');
    assert.equal(list.answer, placeholderList(21));
    const init = await bridge.exchange('{"jsonrpc":"2.0","id":22,"m\\u0065thod":"\\u0069nitialize","params":{}}');
    assert.equal(init.answer, initializeReply(22, '2025-06-18'));
    const call = await bridge.exchange('{"jsonrpc":"2.0","id":23,"method":"tools/call","params":{"n\\u0061me":"orvin\\u005fconnect"}}');
    assert.equal(call.answer, notConnectedResult(23, NO_WINDOW));
  });

  test('of two ids the first is answered', async () => {
    const { answer } = await bridge.exchange('{"jsonrpc":"2.0","id":"pierwszy","id":2,"method":"ping"}');
    assert.equal(answer, '{"jsonrpc":"2.0","id":"pierwszy","result":{}}');
  });

  test('tools/list gives the placeholder list', async () => {
    const { answer, log } = await bridge.exchange('{"jsonrpc":"2.0","id":5,"method":"tools/list"}');
    assert.equal(answer, placeholderList(5));
    // The description's Polish letters travel as UTF-8: "Łączy" begins with C5 81.
    assert.ok(Buffer.from(answer, 'utf8').includes(Buffer.from([0xc5, 0x81, 0xc4, 0x85, 0x63, 0x7a, 0x79])));
    assert.equal(log, `tools/list | lista zastępcza (orvin_connect) | ${NO_WINDOW}`);
  });

  test('tools/call gives the not-connected tool result with the diagnosis', async () => {
    const { answer, log } = await bridge.exchange(
      '{"jsonrpc":"2.0","id":6,"method":"tools/call","params":{"name":"orvin_connect","arguments":{}}}',
    );
    assert.equal(answer, notConnectedResult(6, NO_WINDOW));
    assert.equal(log, `tools/call orvin_connect | odmowa wykonania, brak Orvina | ${NO_WINDOW}`);
  });

  test('tools/call is answered under its top-level id when the arguments hold an "id" first', async () => {
    const { answer, log } = await bridge.exchange(
      '{"jsonrpc":"2.0","method":"tools/call","params":{"name":"x","arguments":{"id":99}},"id":4}',
    );
    assert.equal(answer, notConnectedResult(4, NO_WINDOW));
    assert.equal(log, `tools/call x | odmowa wykonania, brak Orvina | ${NO_WINDOW}`);
  });

  test('the tool name comes from the top-level params, not from the arguments', async () => {
    const { answer, log } = await bridge.exchange(
      '{"params":{"arguments":{"name":"inner","method":"ping"},"name":"klienci_szukaj"},"method":"tools/call","jsonrpc":"2.0","id":7}',
    );
    assert.equal(answer, notConnectedResult(7, NO_WINDOW));
    assert.equal(log, `tools/call klienci_szukaj | odmowa wykonania, brak Orvina | ${NO_WINDOW}`);
  });

  test('ping gets an empty result; other methods get error -32000 with the diagnosis', async () => {
    const ping = await bridge.exchange('{"jsonrpc":"2.0","id":8,"method":"ping"}');
    assert.equal(ping.answer, '{"jsonrpc":"2.0","id":8,"result":{}}');
    assert.equal(ping.log, `ping | odpowiedź własna, brak Orvina | ${NO_WINDOW}`);
    const resources = await bridge.exchange('{"jsonrpc":"2.0","id":"r","method":"resources/list","params":{}}');
    assert.equal(resources.answer, errorReply('"r"', NO_WINDOW));
    assert.equal(resources.log, `resources/list | błąd -32000 | ${NO_WINDOW}`);
  });

  test('a method named only inside params does not count', async () => {
    const { answer, log } = await bridge.exchange(
      '{"jsonrpc":"2.0","params":{"method":"initialize","id":1},"id":9,"method":"resources/list"}',
    );
    assert.equal(answer, errorReply(9, NO_WINDOW));
    assert.equal(log, `resources/list | błąd -32000 | ${NO_WINDOW}`);
  });

  test('a request with an id but no method gets error -32000', async () => {
    const { answer, log } = await bridge.exchange('{"jsonrpc":"2.0","id":10,"result":{}}');
    assert.equal(answer, errorReply(10, NO_WINDOW));
    assert.equal(log, `(bez metody) | błąd -32000 | ${NO_WINDOW}`);
  });

  test('a notification gets no answer and one log line', async () => {
    const log = await notify('{"jsonrpc":"2.0","method":"notifications/initialized"}');
    assert.equal(log, `notifications/initialized | notyfikacja, brak połączenia | ${NO_WINDOW}`);
  });

  test('an id inside params does not make a notification a request', async () => {
    const log = await notify('{"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":3,"id":3}}');
    assert.equal(log, `notifications/cancelled | notyfikacja, brak połączenia | ${NO_WINDOW}`);
  });

  test('a notification with an escaped method gets no answer either', async () => {
    const log = await notify('{"jsonrpc":"2.0","method":"tools\\/list"}');
    assert.equal(log, `tools\\/list | notyfikacja, brak połączenia | ${NO_WINDOW}`);
  });

  test('a line that is not a JSON object has no id and no method', async () => {
    const log = await notify('[{"jsonrpc":"2.0","id":11,"method":"ping"}]');
    assert.equal(log, `(bez metody) | notyfikacja, brak połączenia | ${NO_WINDOW}`);
  });

  test('a line that is no JSON gets the parse error -32700 with a null id', async () => {
    const { answer, log } = await bridge.exchange('{"jsonrpc":"2.0","method":"tools/list",');
    assert.equal(answer, PARSE_ERROR);
    assert.equal(log, '(bez metody) | błąd -32700, wiersz nie jest tekstem JSON: {"jsonrpc":"2.0","method":"tools/list",');
  });
});
