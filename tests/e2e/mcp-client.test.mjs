// The official TypeScript MCP client talking to the bridge while no CRM application runs.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { sdkClient, setCacheFileAside } from './harness.mjs';
import { CACHE_FILE, CLOSING_LINE, NO_WINDOW, TOOL_DESCRIPTION, notConnectedText } from './texts.mjs';

test('an SDK client initializes, lists orvin_connect and gets the Polish diagnosis from it', async () => {
  const { client, transport, protocolErrors, log: bridgeLog } = sdkClient({ name: 'orvin-e2e' });

  const restoreCache = setCacheFileAside(CACHE_FILE);
  try {
    await client.connect(transport, { timeout: 30000 });
    assert.deepEqual(client.getServerVersion(), { name: 'orvin-crm', title: 'Orvin CRM', version: '1.0' });
    assert.deepEqual(client.getServerCapabilities(), { tools: { listChanged: true } });

    const { tools } = await client.listTools(undefined, { timeout: 30000 });
    assert.deepEqual(tools, [
      { name: 'orvin_connect', description: TOOL_DESCRIPTION, inputSchema: { type: 'object', properties: {} } },
    ]);

    const result = await client.callTool({ name: 'orvin_connect', arguments: {} }, undefined, { timeout: 30000 });
    assert.deepEqual(result, {
      content: [{ type: 'text', text: notConnectedText(NO_WINDOW) }],
      isError: true,
    });

    // Arguments that hold an "id" ahead of the request's own id.
    const other = await client.callTool({ name: 'klienci_szukaj', arguments: { id: 99 } }, undefined, { timeout: 30000 });
    assert.equal(other.isError, true);
  } finally {
    restoreCache();
    await client.close();
  }
  await new Promise((r) => setTimeout(r, 200)); // the last piped log bytes

  assert.deepEqual(protocolErrors, []);
  const log = bridgeLog();
  const texts = log.split('\r\n').map((l) => l.replace(/^\[[^\]]*\] \[[^\]]*\] /, ''));
  assert.ok(texts.includes(`notifications/initialized | notyfikacja, brak połączenia | ${NO_WINDOW}`), log);
  assert.ok(texts.includes(`tools/call klienci_szukaj | odmowa wykonania, brak Orvina | ${NO_WINDOW}`), log);
  assert.ok(texts.includes(CLOSING_LINE), `the bridge ended on its own:\n${log}`);
});
