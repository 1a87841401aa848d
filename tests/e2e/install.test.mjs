// -install, -uninstall and the double click of the real exe, in a Windows profile of its
// own whose MCP clients hold real-looking files (one of them broken). The tests run in order.
import { test, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, spawnSync } from 'node:child_process';
import { chmodSync, copyFileSync, existsSync, lstatSync, mkdirSync, readFileSync, readdirSync, rmSync, statSync, symlinkSync, writeFileSync } from 'node:fs';
import { dirname, join } from 'node:path';
import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';
import { BIN_DIR, BRIDGE_EXE, RELAY_EXE, REPO_ROOT, winPath, wineDriveC, wineEnv, wineTempFolder } from './harness.mjs';

const ROOT = 'C:\\orvin-e2e-install';
const HOST = join(wineDriveC(), 'orvin-e2e-install');
const EXE = `${ROOT}\\Orvin CRM\\OrvinMCP.exe`;
const ZIP = join(wineTempFolder().host, 'Temp1_OrvinMCP-e2e.zip');
const LODZ = 'Biuro Łódź';  // a folder whose letters code page 437 lacks, and an MCP key
const NAME = 'orvin-Biuro-Lodz';  // the entry of that key, in letters every client takes
const ENTRY = { command: EXE, args: ['-dir', `${ROOT}\\Orvin CRM`, '-mcp', LODZ] };
// Client, its file in the profile, the file as the user left it (null: a folder without it), and what the
// user then adds to the bridge's entry (JSON: behind its opening brace; TOML: at the end).
const [DESKTOP, VSCODE, CURSOR, LMSTUDIO, GEMINI, CODEX, CODE] = [
  ['Claude Desktop', 'Roaming\\Claude\\claude_desktop_config.json', '\uFEFF{\r\n  "mcpServers": {\r\n    "pliki": {\r\n      "command": "npx",\r\n      "args": ["-y", "C:\\\\Dokumenty"]\r\n    }\r\n  },\r\n  "globalShortcut": "Ctrl+Space"\r\n}\r\n', '"env": {"A": "1"},'],
  ['VS Code', 'Roaming\\Code\\User\\mcp.json', '\uFEFF// Serwery MCP\n{\n\t"servers": {\n\t\t"github": {"type": "http", "url": "https://api.githubcopilot.com/mcp/"}, // zdalny\n\t},\n\t"inputs": []\n}\n', '\n\t\t\t"dev": {"watch": "*.js"}, // mój'],
  ['Cursor', 'home\\.cursor\\mcp.json', null, '"disabled": true,'],
  ['LM Studio', 'home\\.lmstudio\\mcp.json', '{\r\n  "theme": "GitHub",\r\n  "mcpServers": {\r\n    "a": {"command": "a"}\r\n  }\r\n'],
  ['Gemini CLI', 'home\\.gemini\\settings.json', '\uFEFF// Ustawienia\r\n{\r\n  "theme": "GitHub", // motyw\r\n  "mcpServers": {\r\n    "a": {"command": "a"}\r\n  }\r\n}\r\n', '"trust": true, "timeout": 30000,'],
  ['Codex', 'home\\.codex\\config.toml', '# Codex\r\nmodel = "gpt-5"\r\n\r\n[mcp_servers.docs]\r\ncommand = "docs-mcp"\r\n', 'enabled = false\r\nstartup_timeout_sec = 30\r\n\r\n[mcp_servers.orvin-Biuro-Lodz.env]\r\nA = "1"\r\n'],
  ['Claude Code', 'home\\.claude.json', '{"numStartups":3,"projects":{"C:/kod":{"mcpServers":{}}}}'],
];
const CLIENTS = [DESKTOP, VSCODE, CURSOR, LMSTUDIO, GEMINI, CODEX, CODE];
const noBom = (text) => text.replace(/^\uFEFF/, '');
const hostFile = ([, relative]) => join(HOST, 'profil', ...relative.split('\\'));
const read = (client, suffix = '') => readFileSync(hostFile(client) + suffix, 'utf8');
const line = ([name, relative]) => `${name}: ${ROOT}\\profil\\${relative} - `;

// Wine takes the profile's variables from the registry: a batch file sets them.
function starter(name, exe, first = [], profile = 'profil') {
  const set = ['APPDATA=Roaming', 'LOCALAPPDATA=Local', 'USERPROFILE=home'].map((v) => `@set ${v.replace('=', `=${ROOT}\\${profile}\\`)}`);
  writeFileSync(join(HOST, ...name.split('\\')), [...first, ...set, `@"${exe}" %*`, ''].join('\r\n'));
  return `${ROOT}\\${name}`;
}
rmSync(HOST, { recursive: true, force: true });
for (const folder of [join(HOST, 'Orvin CRM'), join(HOST, LODZ), join(HOST, 'profil', 'Local'), ZIP]) mkdirSync(folder, { recursive: true });
for (const exe of [join(HOST, 'Orvin CRM', 'OrvinMCP.exe'), join(HOST, LODZ, 'OrvinMCP.exe'), join(ZIP, 'OrvinMCP.exe')]) {
  copyFileSync(BRIDGE_EXE, exe);
}
for (const client of CLIENTS) {
  mkdirSync(dirname(hostFile(client)), { recursive: true });
  if (client[2] !== null) writeFileSync(hostFile(client), client[2]);
}
const START = starter('start.bat', EXE);
const ZIP_START = starter('zip.bat', `${wineTempFolder().windows}Temp1_OrvinMCP-e2e.zip\\OrvinMCP.exe`);
// The exe beside the batch file, named by the batch file's own folder: cmd reads the file in the console's code page.
const LODZ_START = starter(`${LODZ}\\start.bat`, '%~dp0OrvinMCP.exe', ['@chcp 437 >nul']);
after(() => [HOST, ZIP].forEach((folder) => rmSync(folder, { recursive: true, force: true })));

// Standard input stays open and unread: the command ends by itself.
function run(bat, ...args) {
  const child = spawn('wine', ['cmd', '/c', bat, ...args], { env: wineEnv(), stdio: ['pipe', 'pipe', 'inherit'] });
  let out = '';
  child.stdout.on('data', (d) => (out += d.toString('utf8')));
  return new Promise((resolve) => child.on('exit', (code) => resolve({ code, out })));
}
// The servers that Codex's own loader reads from the profile's config.toml.
function codexServers() {
  const home = dirname(hostFile(CODEX));
  const listed = spawnSync(process.execPath, [join(REPO_ROOT, 'node_modules', '@openai', 'codex', 'bin', 'codex.js'), 'mcp', 'list', '--json'],
    { env: { ...process.env, CODEX_HOME: home }, encoding: 'utf8', timeout: 60000 });
  rmSync(join(home, 'tmp'), { recursive: true, force: true });  // its helpers' folder
  assert.equal(listed.status, 0, listed.stderr);
  return Object.fromEntries(JSON.parse(listed.stdout).map((server) => [server.name, server]));
}

// Every file of the profile, with its bytes and time of change.
const snapshot = () => readdirSync(join(HOST, 'profil'), { recursive: true }).map((f) => join(HOST, 'profil', f))
  .filter((f) => statSync(f).isFile()).map((f) => [f, readFileSync(f, 'latin1'), statSync(f).mtimeMs]);

// The exe with a console as input: a pseudo-terminal wider than any line of the screen.
function startConsole(bat) {
  const child = spawn('script', ['-qefc', `stty cols 4000; wine cmd /c '${bat}'`, '/dev/null'], { env: wineEnv() });
  let raw = '';
  child.stdout.on('data', (d) => (raw += d.toString('utf8')));
  const screen = () => raw.replace(/\x1b\[[0-9;?]*[A-Za-z]/g, '').replaceAll('\r', '');
  const waitFor = async (part) => {
    for (let ms = 0; !screen().includes(part); ms += 100) {
      if (ms > 30000) {
        child.kill();
        throw new Error(`no "${part}" on the screen:\n${screen()}`);
      }
      await new Promise((r) => setTimeout(r, 100));
    }
  };
  return { child, screen, waitFor, type: (keys) => child.stdin.write(keys), exited: new Promise((r) => child.on('exit', r)) };
}

test('-install adds the entry to each client, keeps every other byte, updates only its own members; -uninstall restores', async () => {
  const { code, out } = await run(START, '-install', '-mcp', LODZ);
  assert.equal(code, 4, out);
  assert.ok(!out.includes('Uwaga:'), 'only administrators and the user may change the folder and the exe');
  for (const client of CLIENTS.filter((c) => c !== LMSTUDIO)) {
    const bom = [DESKTOP, GEMINI].includes(client) ? ' Z początku pliku usunięto znacznik BOM, przez który ten program' : '';
    assert.ok(out.includes(`${line(client)}dodano wpis "${NAME}".${bom}`), out);
    const copy = existsSync(hostFile(client) + '.orvinmcp-kopia') ? read(client, '.orvinmcp-kopia') : null;
    assert.equal(copy, client[2], `${client[0]}: the copy of the file as it was (a new file has none)`);
  }
  assert.equal(read(LMSTUDIO), LMSTUDIO[2], 'the broken file is untouched');
  assert.ok(out.includes(`${line(LMSTUDIO)}pozostawiony bez zmian. Plik nie jest poprawnym JSON-em`), out);
  assert.deepEqual(JSON.parse(read(DESKTOP)).mcpServers, { ...JSON.parse(noBom(DESKTOP[2])).mcpServers, [NAME]: ENTRY });
  assert.ok(!/[^\r]\n/.test(read(DESKTOP)), 'CR LF stays');
  assert.match(read(VSCODE), new RegExp(`^\uFEFF// Serwery MCP\n[^]*// zdalny\n\t\t"${NAME}": \\{\n\t\t\t"type": "stdio",\n`));
  assert.match(read(GEMINI), new RegExp(`^// Ustawienia\r\n[^]*"a": \\{"command": "a"\\},\r\n    "${NAME}": \\{\r\n`));
  // Claude Code's entry names its transport first, as its own `claude mcp add` writes it.
  assert.deepEqual([CURSOR, CODE].map((c) => Object.entries(JSON.parse(read(c)).mcpServers[NAME])),
    [Object.entries(ENTRY), Object.entries({ type: 'stdio', ...ENTRY })]);
  assert.ok(read(CODEX).endsWith(`\r\n[mcp_servers.${NAME}]\r\ncommand = "C:\\\\orvin-e2e-install\\\\Orvin CRM\\\\OrvinMCP.exe"\r\n`
    + `args = ["-dir", "C:\\\\orvin-e2e-install\\\\Orvin CRM", "-mcp", "${LODZ}"]\r\n`));
  assert.deepEqual(codexServers()[NAME].transport.args, ENTRY.args);

  // What the desktop client does with its entry.
  const { command, args } = JSON.parse(read(DESKTOP)).mcpServers[NAME];
  const client = new Client({ name: 'e2e-install', version: '1.0.0' });
  await client.connect(new StdioClientTransport({ command: 'wine', args: [winPath(RELAY_EXE), command, ...args], env: wineEnv(), stderr: 'ignore' }));
  assert.deepEqual((await client.listTools()).tools.map((t) => t.name), ['orvin_connect']);
  await client.close();

  // The user's own settings on the entry outlive an update from another folder and a second install.
  for (const c of CLIENTS.filter((c) => c[3])) writeFileSync(hostFile(c), c === CODEX ? read(c) + c[3] : read(c).replace(`"${NAME}": {`, `"${NAME}": {${c[3]}`));
  const updated = await run(START, '-install', '-dir', `${ROOT}\\Inny`, '-mcp', LODZ);
  assert.ok(updated.code === 4 && updated.out.includes(`${line(GEMINI)}zaktualizowano wpis "${NAME}".`), updated.out);
  for (const client of CLIENTS.filter((c) => c[3])) assert.ok(read(client).includes(client[3]), client[0]);
  const moved = { command: EXE, args: ['-dir', `${ROOT}\\Inny`, '-mcp', LODZ] };
  assert.deepEqual(JSON.parse(read(DESKTOP)).mcpServers[NAME], { env: { A: '1' }, ...moved });
  const codex = codexServers()[NAME];
  assert.deepEqual([codex.enabled, codex.startup_timeout_sec, codex.transport.env, codex.transport.args], [false, 30, { A: '1' }, moved.args]);
  const before = snapshot();
  const again = await run(START, '-INSTALL', '-dir', `${ROOT}\\Inny`, '-mcp', LODZ);
  assert.ok(again.code === 4 && again.out.includes(`${line(CODEX)}wpis "${NAME}" już jest.`), again.out);
  assert.deepEqual(snapshot(), before);

  // Every file as it was, less a byte order mark its client cannot read; the file made by the install and the copies go.
  const removed = await run(START, '-uninstall', '-mcp', LODZ);
  assert.ok(removed.code === 4 && removed.out.includes(`${line(CODE)}usunięto wpis "${NAME}". Claude Code zapisuje`), removed.out);
  for (const client of CLIENTS.filter((c) => c !== CURSOR)) assert.equal(read(client), client === VSCODE ? client[2] : noBom(client[2]), client[0]);
  assert.ok(removed.out.includes(`${line(CURSOR)}usunięto wpis "${NAME}". Usunięto też plik, który utworzył OrvinMCP.`), removed.out);
  assert.ok(CLIENTS.every((c) => !existsSync(hostFile(c) + '.orvinmcp-kopia')) && !existsSync(hostFile(CURSOR)));
  assert.ok(!existsSync(hostFile(CURSOR) + '.orvinmcp-utworzony'), 'nor the record that the bridge made the file');
});

test('a file the user had before -install stays after -uninstall, with its copy, even when it held only an entry "orvin"', async () => {
  const file = join(HOST, 'profil3', 'home', '.cursor', 'mcp.json');
  const own = '{\r\n  "mcpServers": {\r\n    "orvin": {"command": "C:\\\\stary.exe", "disabled": true, "env": {"A": "1"}}\r\n  }\r\n}\r\n';
  mkdirSync(dirname(file), { recursive: true });
  writeFileSync(file, own);
  const start = starter('start3.bat', EXE, [], 'profil3');
  const runs = [await run(start, '-install'), await run(start, '-uninstall')];
  assert.ok(runs.every((r) => r.code === 0) && !runs[1].out.includes('Usunięto też plik'), runs[1].out);
  assert.deepEqual([JSON.parse(readFileSync(file, 'utf8')), readFileSync(`${file}.orvinmcp-kopia`, 'utf8')], [{ mcpServers: {} }, own]);
});

test('the double click lists the clients, and T adds the bridge to them; Enter ends it', async () => {
  const term = startConsole(START);
  await term.waitFor('Naciśnij T, aby dodać OrvinMCP do tych programów, albo Enter, aby zakończyć.');
  assert.ok(term.screen().includes(`Orvin CRM z katalogu ${ROOT}\\Orvin CRM\\ teraz nie działa.\n\n`
    + `Klienci MCP na tym koncie Windows:\n  Claude Desktop: ${ROOT}\\profil\\${DESKTOP[1]}\n`), term.screen());
  term.type('t');
  setTimeout(() => term.type('\r'), 100);  // typed with the answer: it leaves the report on the screen
  await term.waitFor(`${line(DESKTOP)}dodano wpis "orvin".`);
  await new Promise((r) => setTimeout(r, 1500));
  assert.equal(term.child.exitCode, null, 'the report stays until Enter');
  term.type('\r');
  assert.equal(await term.exited, 2);
  assert.equal(JSON.parse(read(DESKTOP)).mcpServers.orvin.command, EXE);
});

test('started from inside a zip, the double click shows no entry with that path', async () => {
  const term = startConsole(ZIP_START);
  await term.waitFor('Naciśnij Enter, aby zakończyć.');
  term.type('\r');
  assert.equal(await term.exited, 2);
  assert.ok(term.screen().includes('Najpierw rozpakuj archiwum') && !term.screen().includes('Temp1_'), term.screen());
});

test('on a console of code page 437 the double click shows every Polish letter and the path whole', async () => {
  const term = startConsole(LODZ_START);
  await term.waitFor('albo Enter, aby zakończyć.');
  term.type('\r');
  assert.equal(await term.exited, 2);
  const folder = `${ROOT}\\${LODZ}`;
  for (const shown of ['łącznik między klientem MCP (aplikacją czatu', 'nie uruchamia się ręcznie', 'z położeniem tego pliku',
    `"command": "${`${folder}\\OrvinMCP.exe`.replaceAll('\\', '\\\\')}",`, `jeśli Orvin CRM jest zainstalowany`,
    'Gdy działa kilka Orvinów', `Orvin CRM z katalogu ${folder}\\ teraz nie działa.`,
    'Naciśnij T, aby dodać OrvinMCP do tych programów, albo Enter, aby zakończyć.']) {
    assert.ok(term.screen().includes(shown), `"${shown}" on the screen:\n${term.screen()}`);
  }
});

test('a running desktop chat client and a read-only file are left alone; a link stays; CODEX_HOME, CLAUDE_CONFIG_DIR and VS Code Insiders count', async () => {
  const at = (relative) => join(HOST, 'profil2', ...relative.split('\\'));
  // Any program of the build as the desktop chat client, in its install folder.
  const chat = at('Local\\AnthropicClaude\\app-1.0.0\\Claude.exe');
  for (const relative of ['Roaming\\Claude\\claude_desktop_config.json', 'Roaming\\Code - Insiders\\User\\mcp.json',
    'home\\.cursor\\mcp.json', 'codex\\config.toml', 'claude\\.claude.json', 'kropki\\windsurf.json']) {
    mkdirSync(dirname(at(relative)), { recursive: true });
    writeFileSync(at(relative), relative.endsWith('.toml') ? '' : '{}');
  }
  chmodSync(at('home\\.cursor\\mcp.json'), 0o444);
  [dirname(chat), at('home\\.codeium\\windsurf')].forEach((folder) => mkdirSync(folder, { recursive: true }));
  symlinkSync(at('kropki\\windsurf.json'), at('home\\.codeium\\windsurf\\mcp_config.json'));
  copyFileSync(RELAY_EXE, chat);
  const running = spawn('wine', [chat, winPath(join(BIN_DIR, 'EchoPeek.exe'))], { env: wineEnv(), stdio: ['pipe', 'pipe', 'ignore'] });
  await new Promise((echoed) => { running.stdout.once('data', echoed); running.stdin.write('x'); });
  // The exe in a folder that every user may write to.
  mkdirSync(join(HOST, 'Wspolny'));
  chmodSync(join(HOST, 'Wspolny'), 0o777);
  copyFileSync(BRIDGE_EXE, join(HOST, 'Wspolny', 'OrvinMCP.exe'));
  const start = starter('start2.bat', `${ROOT}\\Wspolny\\OrvinMCP.exe`,
    [`@set CODEX_HOME=${ROOT}\\profil2\\codex`, `@set CLAUDE_CONFIG_DIR=${ROOT}\\profil2\\claude`], 'profil2');
  const line = (name, relative) => `${name}: ${ROOT}\\profil2\\${relative} - `;
  const first = await run(start, '-install');
  assert.equal(first.code, 4, first.out);
  for (const shown of [`Uwaga: do katalogu ${ROOT}\\Wspolny mogą zapisywać także inni użytkownicy`,
    `${line('Claude Desktop', 'Roaming\\Claude\\claude_desktop_config.json')}pozostawiony bez zmian. Claude Desktop działa`,
    `${line('Cursor', 'home\\.cursor\\mcp.json')}pozostawiony bez zmian. Ten plik jest tylko do odczytu`,
    `${line('VS Code Insiders', 'Roaming\\Code - Insiders\\User\\mcp.json')}dodano`, `${line('Codex', 'codex\\config.toml')}dodano`,
    `${line('Claude Code', 'claude\\.claude.json')}dodano`, `${line('Windsurf', 'home\\.codeium\\windsurf\\mcp_config.json')}dodano`]) {
    assert.ok(first.out.includes(shown), `"${shown}" in:\n${first.out}`);
  }
  assert.ok(['Roaming\\Claude\\claude_desktop_config.json', 'home\\.cursor\\mcp.json'].every((f) => readFileSync(at(f), 'utf8') === '{}')
    && (statSync(at('home\\.cursor\\mcp.json')).mode & 0o222) === 0, 'both left as they were, and read-only stays');
  assert.ok(lstatSync(at('home\\.codeium\\windsurf\\mcp_config.json')).isSymbolicLink(), 'the link stays');
  assert.ok(JSON.parse(readFileSync(at('kropki\\windsurf.json'), 'utf8')).mcpServers.orvin, 'and the file it points to has the entry');

  running.stdin.end();
  await new Promise((ended) => running.on('exit', ended));
  const again = await run(start, '-install');
  assert.ok(again.out.includes(`${line('Claude Desktop', 'Roaming\\Claude\\claude_desktop_config.json')}dodano`), again.out);
});
