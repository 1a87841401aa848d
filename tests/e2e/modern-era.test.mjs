// Clients of MCP revision 2026-07-28 (the official SDK 2.4, pinned and 'auto') through the
// bridge, while the CRM stand-in speaks the older revision; the 2.4 default stays legacy.
import { describe, test, after } from 'node:test';
import assert from 'node:assert/strict';
import { Client } from '@modelcontextprotocol/client';
import { StdioClientTransport } from '@modelcontextprotocol/client/stdio';
import { basename } from 'node:path';
import { BRIDGE_EXE, RELAY_EXE, REPO_ROOT, requireBuilt, sdkClient, setCacheFileAside, winPath, wineEnv } from './harness.mjs';
import { CRM, CrmStandIn, cacheFile, call, delay, startBridge, finishQuietly, stopAllStandIns, warmUp } from './link-support.mjs';

const PIN = { pin: '2026-07-28' };
const LOCAL_ONLY = ['server/discover', 'subscriptions/listen', 'notifications/cancelled'];

async function connect(t, mode) {
  warmUp();
  requireBuilt(RELAY_EXE, BRIDGE_EXE);
  let changed = 0;
  const listChanged = { tools: { onChanged: () => changed++ } };
  const client = new Client({ name: 'orvin-e2e-modern', version: '2.4.0' }, mode ? { versionNegotiation: { mode }, listChanged } : {});
  const transport = new StdioClientTransport({ command: 'wine', args: [winPath(RELAY_EXE), winPath(BRIDGE_EXE), '-dir', CRM], env: wineEnv(), cwd: REPO_ROOT, stderr: 'ignore' });
  t.after(() => client.close());
  t.after(stopAllStandIns);
  const started = Date.now();
  await client.connect(transport, { timeout: 30000 });
  return { client, connectMs: Date.now() - started, changes: () => changed };
}

const names = async (client) => (await client.listTools(undefined, { timeout: 30000 })).tools.map((tool) => tool.name);

describe('a client of revision 2026-07-28', { concurrency: false }, () => {
  after(stopAllStandIns);

  test('pinned, started before the CRM application: the placeholder, a stamped notice, then the CRM tools', async (t) => {
    t.after(setCacheFileAside(basename(cacheFile())));
    const { client, changes } = await connect(t, PIN);
    assert.equal(client.getProtocolEra(), 'modern');
    assert.deepEqual(await names(client), ['orvin_connect']);
    const offline = await client.callTool({ name: 'orvin_connect', arguments: {} }, undefined, { timeout: 30000 });
    assert.match(offline.content[0].text, /^Brak połączenia z Orvin CRM: Nie znaleziono uruchomionego Orvina/);

    const standIn = await CrmStandIn.launch({ args: ['-test-tools'] });
    for (let ms = 0; changes() === 0; ms += 100) {
      assert.ok(ms < 15000, 'no list-changed notice within 15 s');
      await delay(100);
    }
    assert.ok((await names(client)).includes('test_echo'));
    const echoed = await client.callTool({ name: 'test_echo', arguments: { tekst: 'Łódź' } }, undefined, { timeout: 30000 });
    assert.deepEqual(JSON.parse(echoed.content[0].text), { tekst: 'Łódź' });
    const seen = (await standIn.requests()).map((r) => r.method);
    assert.ok(!seen.some((m) => LOCAL_ONLY.includes(m)) && !seen.includes('initialize'), seen.join());
  });

  for (const mode of [PIN, 'auto']) {
    test(`${JSON.stringify(mode)}, the CRM application running: its tools, its error for an unknown tool`, async (t) => {
      await CrmStandIn.launch({ args: ['-test-tools'] });
      const { client } = await connect(t, mode);
      assert.equal(client.getProtocolEra(), 'modern');
      assert.ok((await names(client)).includes('klienci_szukaj'));
      const found = await client.callTool({ name: 'klienci_szukaj', arguments: { fraza: 'żółw' } }, undefined, { timeout: 30000 });
      assert.match(found.content[0].text, /Żółw/);
      await assert.rejects(client.callTool({ name: 'brak_takiego', arguments: {} }, undefined, { timeout: 30000 }), /brak_takiego/);
    });
  }

  test('a consent question open: connect and tools/list answered at once', async (t) => {
    await CrmStandIn.launch({ args: ['-handshake', 'consent', '-delay', '60000'] });
    const { client, connectMs } = await connect(t, PIN);
    const started = Date.now();
    assert.ok((await names(client)).length > 0);  // the cached list or the placeholder
    assert.ok(connectMs < 1000 && Date.now() - started < 1000, `connect ${connectMs} ms, list ${Date.now() - started} ms`);
  });

  test('progress keeps both SDKs waiting for a call longer than their time-out, and results name the server', async (t) => {
    await CrmStandIn.launch({ args: ['-test-tools'] });
    const { client } = await connect(t, PIN);
    const legacy = sdkClient({ name: 'orvin-e2e-progress' });
    t.after(() => legacy.client.close());
    await legacy.client.connect(legacy.transport, { timeout: 30000 });
    // Options are the second argument of 2.x, the third of 1.x.
    const slowCall = async (c, modern) => {
      const progress = [];
      const options = { timeout: 12000, resetTimeoutOnProgress: true, onprogress: (p) => progress.push(p.progress) };
      const params = { name: 'test_sleep', arguments: { ms: 16000 } };
      const result = await (modern ? c.callTool(params, options) : c.callTool(params, undefined, options));
      return { text: result.content[0].text, progress, meta: result._meta };
    };
    const [modern, old] = await Promise.all([slowCall(client, true), slowCall(legacy.client, false)]);
    for (const got of [modern, old]) {
      assert.equal(got.text, 'Odczekano 16000 ms.');
      assert.deepEqual(got.progress, [5, 15]);
    }
    assert.deepEqual(modern.meta?.['io.modelcontextprotocol/serverInfo'], { name: 'orvin-crm', title: 'Orvin CRM', version: '1.0' });
  });

  test('the 2.4 default stays legacy, and a revision the bridge does not speak gets -32022', async (t) => {
    const { client } = await connect(t, undefined);
    assert.equal(client.getProtocolEra(), 'legacy');
    const bridge = startBridge();
    t.after(() => finishQuietly(bridge));
    const answer = await call(bridge, 7, 'tools/list', { _meta: { 'io.modelcontextprotocol/protocolVersion': '2099-01-01' } });
    assert.deepEqual(answer.error, { code: -32022, message: 'Unsupported protocol version: 2099-01-01', data: { supported: ['2026-07-28'], requested: '2099-01-01' } });
  });
});
