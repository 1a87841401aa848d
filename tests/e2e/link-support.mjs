// Helpers of the link tests: CRM stand-ins in the prefix, their control interface,
// and bridges started for one folder.
import { spawn, spawnSync } from 'node:child_process';
import { copyFileSync, existsSync, mkdirSync, renameSync, rmSync, statSync } from 'node:fs';
import { join } from 'node:path';
import { Bridge, STANDIN_EXE, StandIn, requireBuilt, wineDriveC, wineEnv, wineTempFolder } from './harness.mjs';

export const CRM = 'C:\\crm';

// Several stand-ins may run from one folder at once; the copy is replaced by a
// rename, never rewritten in place, so a running instance keeps its mapped image.
function placeStandIn(folder) {
  const hostFolder = join(wineDriveC(), folder);
  mkdirSync(hostFolder, { recursive: true });
  const target = join(hostFolder, 'CrmStandIn.exe');
  const source = statSync(STANDIN_EXE);
  if (existsSync(target)) {
    const placed = statSync(target);
    if (placed.size === source.size && placed.mtimeMs >= source.mtimeMs) return;
  }
  const temporary = `${target}.${process.pid}.tmp`;
  copyFileSync(STANDIN_EXE, temporary);
  renameSync(temporary, target);
}

const running = new Set();
const usedFolders = new Set();

let warmedUp = false;

// The first wine process of a server session starts the prefix's services, and
// they inherit its standard streams; started here with none, they cannot hold a
// test's pipes open (which would delay every 'close' until the server ends).
export function warmUp() {
  if (warmedUp) return;
  const result = spawnSync('wine', ['cmd', '/c', 'exit'], { env: wineEnv(), stdio: 'ignore', timeout: 60000 });
  if (result.status !== 0) throw new Error(`wine cmd /c exit failed (${result.status ?? result.error})`);
  warmedUp = true;
}

export class CrmStandIn extends StandIn {
  static async launch({ folder = 'crm', args = [], timeoutMs = 30000 } = {}) {
    requireBuilt(STANDIN_EXE);
    warmUp();
    placeStandIn(folder);
    const exe = `C:\\${folder}\\CrmStandIn.exe`;
    const child = spawn('wine', [exe, ...args], { env: wineEnv(), stdio: ['ignore', 'pipe', 'pipe'] });
    const standIn = new CrmStandIn(child, `the stand-in ${exe}`);
    standIn.folder = folder;
    running.add(standIn);
    usedFolders.add(folder);
    try {
      await standIn.waitUntilReady(timeoutMs);
    } catch (err) {
      running.delete(standIn);
      throw err;
    }
    return standIn;
  }

  // One control command; its JSON answer.
  async command(path) {
    const response = await fetch(`http://127.0.0.1:${this.control}${path}`, { signal: AbortSignal.timeout(10000) });
    const text = await response.text();
    if (!response.ok) throw new Error(`${path}: HTTP ${response.status} ${text}`);
    const value = JSON.parse(text);
    if (value.ok === false) throw new Error(`${path}: ${text}`);
    return value;
  }

  async record() {
    return this.command('/record');
  }

  // The MCP requests recorded so far.
  async requests() {
    return (await this.record()).requests;
  }

  async handshakes() {
    return (await this.record()).handshakes;
  }

  // Times (ms since the epoch, local clock) of the handshake requests in the
  // stand-in's own log, with their background flags.
  handshakeLog() {
    const out = [];
    const re = /^\[(\d\d):(\d\d):(\d\d)\.(\d{3})\] \[standin:\d+\] handshake request: proxy=\S* background=(\S*)/gm;
    for (const m of this.stderr.toString('utf8').matchAll(re)) {
      const [h, min, sec, ms] = m.slice(1, 5).map(Number);
      out.push({ ms: ((h * 60 + min) * 60 + sec) * 1000 + ms, background: m[5] });
    }
    return out;
  }

  // Posts a body straight to the stand-in's endpoint with its current token.
  async post(body) {
    const response = await fetch(`http://127.0.0.1:${this.port}/mcp`, {
      method: 'POST',
      headers: { Authorization: `Bearer ${await this.token()}`, 'Content-Type': 'application/json' },
      body,
      signal: AbortSignal.timeout(10000),
    });
    return { status: response.status, text: await response.text() };
  }

  async token() {
    return (await this.command('/state')).token;
  }

  // Quits through the control interface; kills when that does not end it. The
  // copied program stays for the other instances of the folder.
  async stop({ timeoutMs = 10000 } = {}) {
    running.delete(this);
    if (this.exitCode !== undefined) return;
    try {
      await fetch(`http://127.0.0.1:${this.control}/quit`, { signal: AbortSignal.timeout(5000) });
    } catch {
      // it may close the connection as it ends; the wait below decides
    }
    const ended = await Promise.race([
      this.exited.then(() => true),
      new Promise((r) => setTimeout(() => r(false), timeoutMs)),
    ]);
    if (!ended) {
      this.kill();
      await this.exited;
    }
  }
}


// Stops every stand-in still running and removes the folders they were copied to;
// for the after hooks of a test file.
export async function stopAllStandIns() {
  await Promise.all([...running].map((s) => s.stop()));
  for (const folder of usedFolders) rmSync(join(wineDriveC(), folder), { recursive: true, force: true });
  usedFolders.clear();
}

export function startBridge(args = ['-dir', CRM]) {
  warmUp();
  return Bridge.start({ args });
}

// Sends a request and waits for the answer that carries its id.
export async function call(bridge, id, method, params, { timeoutMs = 20000 } = {}) {
  const from = bridge.lines().length;
  const logFrom = bridge.logTexts().length;
  const message = { jsonrpc: '2.0', id, method };
  if (params !== undefined) message.params = params;
  bridge.send(message);
  const line = await bridge.waitForLine((l) => JSON.parse(l).id === id, { from, timeoutMs, describe: `the answer to id ${id}` });
  // The log has a writer of its own: the request's closing line may follow its answer by a moment.
  const described = method === 'tools/call' && params?.name ? `${method} ${params.name} | ` : `${method} | `;
  await bridge.waitForLog((l) => l.startsWith(described), { from: logFrom, timeoutMs, describe: 'the closing log line' });
  return JSON.parse(line);
}

// Waits for a log text that satisfies the predicate, counted from index `from`.
export function logAfter(bridge, from, predicate, describe, timeoutMs = 20000) {
  return bridge.waitForLog(predicate, { from, timeoutMs, describe });
}

// The bridge's log texts that equal the text, from index `from`.
export function countLog(bridge, text, from = 0) {
  return bridge.logTexts().slice(from).filter((t) => t === text).length;
}

export function delay(ms) {
  return new Promise((r) => setTimeout(r, ms));
}

// The cache files of the configured folder (without and with a key).
export function cacheFile(key = '') {
  warmUp();
  return join(wineTempFolder().host, `OrvinMCP_C__crm_${key ? `${key}_` : ''}narzedzia.json`);
}

export function removeCacheFiles(...keys) {
  for (const key of ['', ...keys]) rmSync(cacheFile(key), { force: true });
}

// Ends a bridge (closing its input) and returns its exit code; never throws.
export async function finishQuietly(bridge) {
  if (!bridge) return undefined;
  try {
    return await bridge.finish({ timeoutMs: 30000 });
  } catch {
    return undefined;
  }
}

const MAY_HAVE_RUN = 'Żądanie MOGŁO zostać wykonane - nie powtarzam go automatycznie. Sprawdź stan w Orvinie przed ponowieniem.';
const NO_WHOLE_REPLY = 'Orvin nie odpowiedział w ciągu 10 min albo połączenie zerwało się w trakcie: ';

// The error text of a request that may have reached the CRM application: after the
// transport's diagnosis when no whole reply came, or after the cause of a whole one.
export function mayHaveRunText(message, { wholeReply = false } = {}) {
  const cause = wholeReply ? message : NO_WHOLE_REPLY + message;
  return `${cause}${cause.endsWith('.') ? '' : '.'} ${MAY_HAVE_RUN}`;
}

// The transport's diagnosis, or the cause of a whole reply, inside a "MOGŁO" error
// text; null when the text is none.
export function mayHaveRunReason(text) {
  if (typeof text !== 'string' || !text.endsWith(` ${MAY_HAVE_RUN}`)) return null;
  const cause = text.slice(0, -MAY_HAVE_RUN.length - 1);
  const reason = cause.startsWith(NO_WHOLE_REPLY) ? cause.slice(NO_WHOLE_REPLY.length) : cause;
  return reason.length > 0 ? reason : null;
}

// A token as a text may carry it: as it is, JSON-escaped, percent-encoded, hex digits in either case.
export function tokenForms(token) {
  const encoded = (prefix) => token.replace(/[/+=]/g, (c) => prefix + c.charCodeAt(0).toString(16).toUpperCase());
  const forms = [encoded('\\u00'), encoded('%')];
  return [token, token.replaceAll('/', '\\/'), ...forms, ...forms.map((f) => f.toLowerCase())];
}

// The bridge's process id, from its log prefix.
export function bridgePid(bridge) {
  const m = /\[OrvinMCP:(\d+)\]/.exec(bridge.stderr.toString('utf8'));
  if (!m) throw new Error(`no log line with the process id yet\n${bridge.transcript()}`);
  return Number(m[1]);
}
