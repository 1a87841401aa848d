// The main job: a real MCP client (the official TypeScript SDK) runs OrvinMCP.exe
// under Wine as its server. The CRM application is not running at first; then
// the stand-in takes its place, the client is told that its tool list changed,
// and a tool call is relayed. Shows what the client saw and what the bridge logged.
import { ToolListChangedNotificationSchema } from '@modelcontextprotocol/sdk/types.js';
import { StandIn, sdkClient } from '../tests/e2e/harness.mjs';

const say = (text) => console.log(`\n== ${text}`);
const show = (label, value) => console.log(`   ${label}: ${value}`);
const toolNames = (list) => list.tools.map((tool) => tool.name).join(', ');
const firstText = (result) => result.content?.find((c) => c.type === 'text')?.text ?? '';

// Through the relay, which gives the bridge a Windows pipe as standard input, as MCP clients on Windows do.
const { client, transport, log: bridgeLog } = sdkClient({ name: 'orvin-demo', args: ['-dir', 'C:\\crm'] });
let listChanged;
const listChangedArrived = new Promise((resolve) => (listChanged = resolve));
client.setNotificationHandler(ToolListChangedNotificationSchema, () => listChanged());

let standIn;
try {
  say('The client starts the bridge; Orvin CRM is not running');
  await client.connect(transport);
  const server = client.getServerVersion();
  show('server', `${server.name} ${server.version} ("${server.title}")`);
  show('tools', toolNames(await client.listTools()));
  show('orvin_connect says', firstText(await client.callTool({ name: 'orvin_connect', arguments: {} })));

  say('Orvin CRM starts (the stand-in, in C:\\crm\\)');
  standIn = await StandIn.start({ folder: 'crm' });
  const started = Date.now();
  await listChangedArrived;
  show('notifications/tools/list_changed after', `${((Date.now() - started) / 1000).toFixed(1)} s`);

  say('The client lists the tools again and calls one');
  show('tools', toolNames(await client.listTools()));
  const result = await client.callTool({ name: 'klienci_szukaj', arguments: { fraza: 'żółw' } });
  show('klienci_szukaj("żółw")', firstText(result));
} finally {
  await client.close();
  if (standIn) await standIn.stop();
}

say('What the bridge logged (standard error)');
process.stdout.write(bridgeLog().replaceAll('\r\n', '\n').replace(/^(?=.)/gm, '   '));
