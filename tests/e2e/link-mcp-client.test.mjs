// The official TypeScript MCP client through the bridge: offline first, then the
// CRM application starts, the tool list changes and a tool call is relayed.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { existsSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { ToolListChangedNotificationSchema } from '@modelcontextprotocol/sdk/types.js';
import { sdkClient } from './harness.mjs';
import { TOOL_DESCRIPTION } from './texts.mjs';
import { CRM, CrmStandIn, cacheFile, stopAllStandIns, warmUp } from './link-support.mjs';

test('an SDK client started offline learns the CRM tools when the CRM application starts, and calls one', async (t) => {
  warmUp();
  const file = cacheFile();
  const saved = existsSync(file) ? readFileSync(file) : null;
  rmSync(file, { force: true });
  t.after(async () => {
    await stopAllStandIns();
    rmSync(file, { force: true });
    if (saved !== null) writeFileSync(file, saved);
  });

  const { client, transport, protocolErrors, log: bridgeLog } = sdkClient({ name: 'orvin-e2e-link', args: ['-dir', CRM] });
  let changed;
  const listChanged = new Promise((resolve) => {
    changed = resolve;
  });
  client.setNotificationHandler(ToolListChangedNotificationSchema, () => changed());
  t.after(() => client.close());

  await client.connect(transport, { timeout: 30000 });
  const offline = await client.listTools(undefined, { timeout: 30000 });
  assert.deepEqual(offline.tools, [
    { name: 'orvin_connect', description: TOOL_DESCRIPTION, inputSchema: { type: 'object', properties: {} } },
  ]);

  const standIn = await CrmStandIn.launch({ args: ['-test-tools'] });
  const noticed = await Promise.race([
    listChanged.then(() => true),
    new Promise((r) => setTimeout(() => r(false), 15000)),
  ]);
  assert.ok(noticed, `no list-changed notice within 15 s\n${bridgeLog()}`);

  const online = await client.listTools(undefined, { timeout: 30000 });
  const names = online.tools.map((tool) => tool.name);
  for (const name of ['klienci_szukaj', 'faktury_lista', 'klient_dodaj', 'test_echo']) {
    assert.ok(names.includes(name), `${name} in ${names}`);
  }

  // Arguments with members named "id", inside and deeper down.
  const args = { id: 'wewnętrzne-7', tekst: 'Zażółć gęślą jaźń', zagnieżdżone: { id: 3, lista: [{ id: null }] } };
  const result = await client.callTool({ name: 'test_echo', arguments: args }, undefined, { timeout: 30000 });
  assert.equal(result.isError, false);
  assert.deepEqual(JSON.parse(result.content[0].text), args);

  const found = await client.callTool({ name: 'klienci_szukaj', arguments: { fraza: 'żółw' } }, undefined, { timeout: 30000 });
  assert.match(found.content[0].text, /Łódzka Hurtownia Żółw sp\. z o\.o\./);

  // The calls reached the stand-in once each, under the client's own numeric ids.
  const calls = (await standIn.requests()).filter((r) => r.method === 'tools/call');
  assert.equal(calls.length, 2);
  assert.ok(calls.every((r) => typeof r.id === 'number'), JSON.stringify(calls.map((r) => r.id)));
  assert.deepEqual(JSON.parse(calls[0].body).params.arguments, args);

  await client.close();
  assert.deepEqual(protocolErrors, []);
  const log = bridgeLog();
  const texts = log.split('\r\n').map((l) => l.replace(/^\[[^\]]*\] \[[^\]]*\] /, ''));
  assert.ok(texts.includes(`Połączono z Orvinem na porcie ${standIn.port}.`), log);
  assert.ok(texts.includes('Klient ma zastępczą listę narzędzi - wysyłam powiadomienie o zmianie.'), log);
  assert.ok(!log.includes(await standIn.token()), 'the token is not logged');
});

// A client that gave up on a slow call and calls the same tool again at once
// gets the first call's answer: the CRM application does it once.
test('a retry after a time-out takes the answer of the call the client gave up on', async (t) => {
  warmUp();
  const standIn = await CrmStandIn.launch({ args: ['-test-tools'] });
  t.after(stopAllStandIns);
  const { client, transport, log: bridgeLog } = sdkClient({ name: 'orvin-e2e-retry', args: ['-dir', CRM] });
  t.after(() => client.close());
  await client.connect(transport, { timeout: 30000 });
  const sleep = (ms, timeout) => client.callTool({ name: 'test_sleep', arguments: { ms } }, undefined, { timeout });

  await assert.rejects(sleep(4000, 2500), /timed out/i);
  const retried = await sleep(4000, 30000);
  assert.equal(retried.content[0].text, 'Odczekano 4000 ms.');
  assert.equal((await sleep(1, 30000)).content[0].text, 'Odczekano 1 ms.');
  assert.equal((await sleep(4000, 30000)).content[0].text, 'Odczekano 4000 ms.');

  const calls = (await standIn.requests()).filter((r) => r.method === 'tools/call').map((r) => JSON.parse(r.body).params.arguments.ms);
  assert.deepEqual(calls, [4000, 1, 4000], bridgeLog());
  assert.match(bridgeLog(), /tools\/call test_sleep \| to samo wywołanie, które klient anulował - nie wysyłam go drugi raz, przekazuję odpowiedź Orvina na pierwsze \(klient czekał łącznie \d+ ms\)/);
});
