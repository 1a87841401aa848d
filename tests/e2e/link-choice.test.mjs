// Choosing among several running CRM stand-ins by MCP key, and the diagnoses
// when none fits.
import { after, afterEach, before, beforeEach, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { notConnectedResult } from './texts.mjs';
import { CRM, CrmStandIn, call, finishQuietly, startBridge, stopAllStandIns } from './link-support.mjs';

const FOLDER = 'C:\\crm\\';
const OLDER = 'starszy Orvin bez obsługi klucza';

// The instances are asked in window order, which the test does not choose:
// the listed entries may come in either order.
function eitherOrder(make, a, b) {
  return [make(`${a}, ${b}`), make(`${b}, ${a}`)];
}

function keyNeeded(list) {
  return (
    `Każdy Orvin z katalogu ${FOLDER} ma klucz MCP (działają: ${list}), a ten wpis go nie podaje. ` +
    'Dodaj w konfiguracji klienta MCP "args": ["-mcp", "<klucz>"].'
  );
}

function keyMismatch(key, list) {
  return (
    `Żaden Orvin z katalogu ${FOLDER} nie ma klucza MCP "${key}" (działają: ${list}). ` +
    `Uruchom Orvin z przełącznikiem -mcp ${key} albo popraw klucz w konfiguracji klienta MCP.`
  );
}

describe('choice among instances by MCP key', () => {
  let a;
  let b;
  let elsewhere;
  let bridge = null;

  before(async () => {
    [a, b, elsewhere] = await Promise.all([
      CrmStandIn.launch({ folder: 'crm' }),
      CrmStandIn.launch({ folder: 'crm' }),
      CrmStandIn.launch({ folder: 'other' }),
    ]);
  });

  after(async () => {
    await finishQuietly(bridge);
    await stopAllStandIns();
  });

  // Each test ends its bridge, so no idle attempt of it reaches the next test.
  afterEach(async () => {
    await finishQuietly(bridge);
    bridge = null;
  });

  beforeEach(async () => {
    for (const s of [a, b, elsewhere]) {
      await s.command('/set?key=&keyline=1&status=&handshake=now');
      await s.command('/reset-record');
    }
  });

  // Starts a bridge and waits for the outcome of its start-up attempt.
  async function outcome(args) {
    bridge = startBridge(['-dir', CRM, ...args]);
    return bridge.greet();
  }

  function foundLines() {
    return bridge.logTexts().filter((l) => l.startsWith('Znalazłem okno Orvina'));
  }

  test('without a key the instance without one is chosen, an instance with a key and one elsewhere are not', async () => {
    await a.command('/set?key=k1');
    const text = await outcome([]);
    assert.equal(text, `Połączono z Orvinem na porcie ${b.port}.`, bridge.transcript());
    assert.equal((await elsewhere.handshakes()).length, 0, 'the instance of another folder is never asked');
    const asked = (await a.handshakes()).length;
    assert.ok(asked <= 1);
    // Asked first, the keyed instance answered "OTHER" and the next one was asked.
    assert.deepEqual(
      foundLines(),
      asked === 1
        ? ['Znalazłem okno Orvina (1 z 2) - pytam o port i token.', 'Znalazłem okno Orvina (2 z 2) - pytam o port i token.']
        : ['Znalazłem okno Orvina (1 z 2) - pytam o port i token.'],
    );
    assert.equal((await b.handshakes())[0].key, '');
  });

  test('without a key, when every instance has one: the advice to add "-mcp"', async () => {
    await a.command('/set?key=k1');
    await b.command('/set?key=k%C5%BC2'); // "kż2"
    const text = await outcome([]);
    const expected = eitherOrder(keyNeeded, '"k1"', '"kż2"');
    assert.ok(expected.includes(text.replace('Na razie bez połączenia: ', '')), text);
    assert.ok(text.startsWith('Na razie bez połączenia: '), text);

    // A client request makes its own attempt and gets the same diagnosis.
    const reason = text.replace('Na razie bez połączenia: ', '');
    const reply = await call(bridge, 1, 'tools/call', { name: 'klienci_szukaj', arguments: { fraza: 'x' } });
    assert.equal(JSON.stringify(reply), notConnectedResult(1, reason));
    for (const s of [a, b]) {
      const asked = await s.handshakes();
      assert.ok(asked.every((h) => h.key === ''), 'asked without a key');
      assert.ok(asked.some((h) => h.background === '0'), 'asked for the request');
    }
  });

  test('with a key: an instance with another key and an older one do not fit', async () => {
    await a.command('/set?key=k1');
    await b.command('/set?keyline=0');
    const text = await outcome(['-mcp', 'k3']);
    const expected = eitherOrder((l) => `Na razie bez połączenia: ${keyMismatch('k3', l)}`, '"k1"', OLDER);
    assert.ok(expected.includes(text), `${text}\n${bridge.transcript()}`);
    assert.equal((await a.handshakes())[0].text.split('\r\n')[3], 'MCP=k3');
  });

  test('with a key: an instance answering "OTHER" with an empty key line is listed without a key', async () => {
    await a.command('/set?status=OTHER');
    await b.command('/set?keyline=0');
    const text = await outcome(['-mcp', 'k1']);
    const expected = eitherOrder((l) => `Na razie bez połączenia: ${keyMismatch('k1', l)}`, '(bez klucza)', OLDER);
    assert.ok(expected.includes(text), text);
  });

  test('with a key: the instance holding it is chosen, whatever the other one is', async () => {
    await a.command('/set?keyline=0');
    await b.command('/set?key=k1');
    const text = await outcome(['-mcp', ' k1 ']);
    assert.equal(text, `Połączono z Orvinem na porcie ${b.port}.`, bridge.transcript());
    assert.equal((await b.handshakes())[0].key, 'k1', 'the key goes trimmed into the request');
  });

  test('a folder written with slashes and in other letter case is the configured folder', async () => {
    await a.command('/set?key=k2');  // whichever window is asked first, only b fits
    await b.command('/set?key=k1');
    bridge = startBridge(['-dir', 'c:/CRM/', '-mcp', 'k1']);
    const text = await bridge.greet();
    assert.equal(text, `Połączono z Orvinem na porcie ${b.port}.`, bridge.transcript());
    assert.equal(bridge.logTexts()[0], 'Start. Szukam Orvina w katalogu: c:\\CRM\\, klucz MCP: "k1"');
  });

  test('without a key an older instance is chosen', async () => {
    await a.command('/set?keyline=0');
    await b.command('/set?key=k1');
    const text = await outcome([]);
    assert.equal(text, `Połączono z Orvinem na porcie ${a.port}.`, bridge.transcript());
  });
});
