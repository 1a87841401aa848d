// -install, -uninstall and the double click of the real exe, in a Windows profile
// of its own whose MCP clients hold real-looking files. The tests run in order.
import { test, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { copyFileSync, existsSync, mkdirSync, readFileSync, readdirSync, rmSync, statSync, writeFileSync } from 'node:fs';
import { dirname, join } from 'node:path';
import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';
import { BRIDGE_EXE, RELAY_EXE, requireBuilt, winPath, wineDriveC, wineEnv, wineTempFolder } from './harness.mjs';

const ROOT = 'C:\\orvin-e2e-install';
const HOST = join(wineDriveC(), 'orvin-e2e-install');
const EXE = `${ROOT}\\Orvin CRM\\OrvinMCP.exe`;
const ZIP_FOLDER = 'Temp1_OrvinMCP-e2e.zip';

// Each client's file (relative to the profile) as the user left it; null: a folder without the file.
const CLIENTS = [
  ['Claude Desktop', 'Roaming\\Claude\\claude_desktop_config.json',
    '{\r\n  "mcpServers": {\r\n    "pliki": {\r\n      "command": "npx",\r\n      "args": ["-y", "@modelcontextprotocol/server-filesystem", "C:\\\\Dokumenty"]\r\n    }\r\n  },\r\n  "globalShortcut": "Ctrl+Space"\r\n}\r\n'],
  ['VS Code', 'Roaming\\Code\\User\\mcp.json',
    '// Serwery MCP\n{\n\t"servers": {\n\t\t"github": {"type": "http", "url": "https://api.githubcopilot.com/mcp/"}, // zdalny\n\t},\n\t"inputs": []\n}\n'],
  ['Cursor', 'home\\.cursor\\mcp.json', null],
  ['Gemini CLI', 'home\\.gemini\\settings.json', '{\r\n  "theme": "GitHub",\r\n  "mcpServers": {\r\n    "a": {"command": "a"}\r\n  }\r\n'],
  ['Codex', 'home\\.codex\\config.toml', '# Codex\r\nmodel = "gpt-5"\r\n\r\n[mcp_servers.docs]\r\ncommand = "docs-mcp"\r\n'],
  ['Claude Code', 'home\\.claude.json', '{"numStartups":3,"projects":{"C:/kod":{"mcpServers":{}}}}'],
];
const profileFile = (relative) => join(HOST, 'profil', ...relative.split('\\'));
const windowsFile = (relative) => `${ROOT}\\profil\\${relative}`;

// A batch file sets the profile: Wine takes these variables from the registry.
function makeStarter(name, exe) {
  const lines = ['Roaming:APPDATA', 'Local:LOCALAPPDATA', 'home:USERPROFILE'].map((pair) => {
    const [folder, variable] = pair.split(':');
    return `@set ${variable}=${ROOT}\\profil\\${folder}`;
  });
  writeFileSync(join(HOST, name), [...lines, `@"${exe}" %*`, ''].join('\r\n'));
  return `${ROOT}\\${name}`;
}

function setUp() {
  requireBuilt(BRIDGE_EXE, RELAY_EXE);
  rmSync(HOST, { recursive: true, force: true });
  mkdirSync(join(HOST, 'Orvin CRM'), { recursive: true });
  copyFileSync(BRIDGE_EXE, join(HOST, 'Orvin CRM', 'OrvinMCP.exe'));
  mkdirSync(profileFile('Local'), { recursive: true });  // no Store package in it
  for (const [, relative, text] of CLIENTS) {
    mkdirSync(dirname(profileFile(relative)), { recursive: true });
    if (text !== null) writeFileSync(profileFile(relative), text);
  }
  const zipHost = join(wineTempFolder().host, ZIP_FOLDER);
  mkdirSync(zipHost, { recursive: true });
  copyFileSync(BRIDGE_EXE, join(zipHost, 'OrvinMCP.exe'));
  return { starter: makeStarter('start.bat', EXE), zipStarter: makeStarter('zip.bat', `${wineTempFolder().windows}${ZIP_FOLDER}\\OrvinMCP.exe`) };
}
const { starter, zipStarter } = setUp();
after(() => {
  rmSync(HOST, { recursive: true, force: true });
  rmSync(join(wineTempFolder().host, ZIP_FOLDER), { recursive: true, force: true });
});

// Standard input stays open and unread: the command must end by itself.
function run(bat, ...args) {
  const child = spawn('wine', ['cmd', '/c', bat, ...args], { env: wineEnv(), stdio: ['pipe', 'pipe', 'pipe'] });
  let stdout = '';
  child.stdout.on('data', (d) => (stdout += d.toString('utf8')));
  const timer = setTimeout(() => child.kill('SIGKILL'), 60000);
  return new Promise((resolve) => child.on('exit', (code) => {
    clearTimeout(timer);
    resolve({ code, lines: stdout.split('\r\n').filter(Boolean) });
  }));
}

// Every file of the profile with its bytes and time of change.
function snapshot() {
  const files = {};
  const walk = (dir) => readdirSync(dir, { withFileTypes: true }).forEach((e) =>
    e.isDirectory() ? walk(join(dir, e.name)) : (files[join(dir, e.name)] = [readFileSync(join(dir, e.name), 'latin1'), statSync(join(dir, e.name)).mtimeMs]));
  walk(join(HOST, 'profil'));
  return files;
}

function reportLine(lines, name, relative) {
  const prefix = `${name}: ${windowsFile(relative)} - `;
  return lines.find((l) => l.startsWith(prefix))?.slice(prefix.length);
}

// The exe under a console: a pseudo-terminal as wide as no line of the screen.
function startConsole(bat) {
  const child = spawn('script', ['-qefc', `stty cols 4000; wine cmd /c '${bat}'`, '/dev/null'], { env: wineEnv(), stdio: ['pipe', 'pipe', 'pipe'] });
  let raw = '';
  child.stdout.on('data', (d) => (raw += d.toString('utf8')));
  const exited = new Promise((resolve) => child.on('exit', resolve));
  const screen = () => raw.replace(/\x1b\[[0-9;?]*[A-Za-z]/g, '').replaceAll('\r', '');
  const waitFor = async (part) => {
    for (let waited = 0; !screen().includes(part); waited += 100) {
      if (waited > 30000) throw new Error(`no "${part}" on the screen:\n${screen()}`);
      await new Promise((r) => setTimeout(r, 100));
    }
  };
  return { child, screen, waitFor, exited };
}

test('-install adds the entry to every client found, keeps every other byte, and the entry starts the bridge', async () => {
  const { code, lines } = await run(starter, '-install');
  assert.equal(code, 4, lines.join('\n'));
  const entry = { command: EXE, args: ['-dir', `${ROOT}\\Orvin CRM`] };
  for (const [name, relative, text] of CLIENTS) {
    const now = readFileSync(profileFile(relative), 'utf8');
    if (name === 'Gemini CLI') {
      assert.equal(now, text, 'the broken file is untouched');
      assert.match(reportLine(lines, name, relative), /^pozostawiony bez zmian\. \S.*\.$/);
      assert.ok(!existsSync(`${profileFile(relative)}.orvinmcp-kopia`));
      continue;
    }
    assert.match(reportLine(lines, name, relative), /^dodano wpis "orvin"\./, name);
    if (text !== null) assert.equal(readFileSync(`${profileFile(relative)}.orvinmcp-kopia`, 'utf8'), text, `${name}: the copy`);
    else assert.ok(!existsSync(`${profileFile(relative)}.orvinmcp-kopia`), 'a new file has nothing to copy');
  }
  const claude = readFileSync(profileFile(CLIENTS[0][1]), 'utf8');
  assert.deepEqual(JSON.parse(claude), { ...JSON.parse(CLIENTS[0][2]), mcpServers: { ...JSON.parse(CLIENTS[0][2]).mcpServers, orvin: entry } });
  assert.ok(!/[^\r]\n/.test(claude), 'CR LF stays');
  assert.match(readFileSync(profileFile(CLIENTS[1][1]), 'utf8'), /\/\/ zdalny\n\t\t"orvin": \{\n\t\t\t"type": "stdio",\n/);
  assert.deepEqual(JSON.parse(readFileSync(profileFile(CLIENTS[2][1]), 'utf8')), { mcpServers: { orvin: entry } });
  assert.ok(readFileSync(profileFile(CLIENTS[4][1]), 'utf8').endsWith(
    '\r\n[mcp_servers.orvin]\r\ncommand = "C:\\\\orvin-e2e-install\\\\Orvin CRM\\\\OrvinMCP.exe"\r\nargs = ["-dir", "C:\\\\orvin-e2e-install\\\\Orvin CRM"]\r\n'));
  assert.deepEqual(JSON.parse(readFileSync(profileFile(CLIENTS[5][1]), 'utf8')).mcpServers, { orvin: entry });
  assert.match(lines.at(-1), /^Zamknij te programy i uruchom je ponownie/);

  // What a client does with the entry: start it, and talk to it.
  const transport = new StdioClientTransport({ command: 'wine', args: [winPath(RELAY_EXE), entry.command, ...entry.args], env: wineEnv(), stderr: 'pipe' });
  let log = '';
  transport.stderr.on('data', (d) => (log += d.toString('utf8')));
  const client = new Client({ name: 'e2e-install', version: '1.0.0' });
  await client.connect(transport);
  const { tools } = await client.listTools();
  await client.close();
  assert.deepEqual(tools.map((t) => t.name), ['orvin_connect']);
  assert.match(log, /Start\. Szukam Orvina w katalogu: C:\\orvin-e2e-install\\Orvin CRM\\, klucz MCP: \(bez klucza\)/);
});

test('a second -install finds its entries and writes nothing', async () => {
  const before = snapshot();
  const { code, lines } = await run(starter, '-INSTALL');
  assert.equal(code, 4);
  assert.deepEqual(snapshot(), before);
  assert.equal(reportLine(lines, 'Codex', CLIENTS[4][1]), 'wpis "orvin" już jest.');
});

test('-uninstall gives every file back byte for byte', async () => {
  const { code, lines } = await run(starter, '-uninstall');
  assert.equal(code, 4);
  for (const [name, relative, text] of CLIENTS) {
    if (text === null) assert.deepEqual(JSON.parse(readFileSync(profileFile(relative), 'utf8')), {});
    else assert.equal(readFileSync(profileFile(relative), 'utf8'), text, name);
  }
  assert.match(reportLine(lines, 'Claude Code', CLIENTS[5][1]), /^usunięto wpis "orvin"\. Claude Code zapisuje ten plik/);
});

test('the double click lists the clients and T adds the bridge to them; Enter ends it', async () => {
  const term = startConsole(starter);
  await term.waitFor('Naciśnij T, aby dodać OrvinMCP do tych programów, albo Enter, aby zakończyć.');
  const screen = term.screen();
  assert.ok(screen.includes(`Orvin CRM z katalogu ${ROOT}\\Orvin CRM\\ teraz nie działa.`), screen);
  assert.ok(screen.includes(`Klienci MCP na tym koncie Windows:\n  Claude Desktop: ${windowsFile(CLIENTS[0][1])}\n  VS Code:`), screen);
  term.child.stdin.write('t');
  await new Promise((r) => setTimeout(r, 100));
  term.child.stdin.write('\r');  // typed with the answer: it does not close the report at once
  await term.waitFor(`Claude Desktop: ${windowsFile(CLIENTS[0][1])} - dodano wpis "orvin".`);
  await new Promise((r) => setTimeout(r, 1500));
  assert.equal(term.child.exitCode, null, 'the report stays until Enter');
  term.child.stdin.write('\r');
  assert.equal(await term.exited, 2);
  assert.equal(JSON.parse(readFileSync(profileFile(CLIENTS[0][1]), 'utf8')).mcpServers.orvin.command, EXE);
});

test('started from inside a zip: no entry with that path, and -install refuses', async () => {
  const term = startConsole(zipStarter);
  await term.waitFor('Naciśnij Enter, aby zakończyć.');
  term.child.stdin.write('\r');
  assert.equal(await term.exited, 2);
  assert.ok(term.screen().includes('Najpierw rozpakuj archiwum'), term.screen());
  assert.ok(!term.screen().includes(ZIP_FOLDER), term.screen());
  const before = snapshot();
  const { code, lines } = await run(zipStarter, '-install');
  assert.equal(code, 4);
  assert.match(lines[0], /Najpierw rozpakuj archiwum/);
  assert.deepEqual(snapshot(), before);
});
