// Harness for the end-to-end tests: runs the real OrvinMCP.exe under Wine.
//
// The bridge is started through StdinRelay.exe, because under Wine a standard input
// inherited from Linux is a Unix pipe on which PeekNamedPipe fails; the relay hands
// the bridge a Windows anonymous pipe instead. The Wine environment (prefix, null
// graphics driver, code page 1250) comes from scripts/wine-env.sh, sourced once per
// test file. Executables are expected in build/win/bin (scripts/build.sh); when one
// is missing, every test that needs it fails with a message that says so.
// Run from the repository root: npm ci && npm test

import { spawn, spawnSync } from 'node:child_process';
import { copyFileSync, existsSync, mkdirSync, renameSync, rmSync } from 'node:fs';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';
import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';

export const REPO_ROOT = resolve(dirname(fileURLToPath(import.meta.url)), '..', '..');
// ORVIN_WIN_BIN points the tests at another build of the Windows programs.
export const BIN_DIR = resolve(process.env.ORVIN_WIN_BIN || join(REPO_ROOT, 'build', 'win', 'bin'));
export const BRIDGE_EXE = join(BIN_DIR, 'OrvinMCP.exe');
export const RELAY_EXE = join(BIN_DIR, 'StdinRelay.exe');
export const STANDIN_EXE = join(BIN_DIR, 'CrmStandIn.exe');

export const LOG_PREFIX = /^\[(\d\d):(\d\d):(\d\d)\.(\d{3})\] \[OrvinMCP:(\d+)\] /;

const DEFAULT_TIMEOUT_MS = 20000;

export const GREETING = '{"jsonrpc":"2.0","method":"notifications/initialized"}';

export function requireBuilt(...files) {
  for (const file of files) {
    if (!existsSync(file)) {
      throw new Error(`${file} is missing: build it first with scripts/build.sh`);
    }
  }
}

// "Z:" plus the absolute path with backslashes: how Wine names a file of the host.
export function winPath(unixPath) {
  return 'Z:' + resolve(unixPath).replaceAll('/', '\\');
}

let cachedEnv = null;

// The environment of scripts/wine-env.sh; sourcing it also creates the prefix.
export function wineEnv(overrides = {}) {
  if (cachedEnv === null) {
    const script = join(REPO_ROOT, 'scripts', 'wine-env.sh');
    if (!existsSync(script)) throw new Error(`${script} is missing`);
    const result = spawnSync('bash', ['-c', `. "${script}" >&2 && env -0`], {
      cwd: REPO_ROOT,
      encoding: 'buffer',
      maxBuffer: 16 * 1024 * 1024,
      timeout: 600000,
    });
    if (result.status !== 0) {
      throw new Error(`sourcing ${script} failed (${result.status}): ${result.stderr.toString()}`);
    }
    const env = {};
    for (const entry of result.stdout.toString('utf8').split('\0')) {
      const eq = entry.indexOf('=');
      if (eq > 0) env[entry.slice(0, eq)] = entry.slice(eq + 1);
    }
    if (!env.WINEPREFIX) throw new Error(`${script} did not export WINEPREFIX`);
    cachedEnv = env;
    // A persistent server keeps every later wine start short; it ends by itself
    // two minutes after its last client.
    spawnSync('wineserver', ['-p120'], { env: cachedEnv, stdio: 'ignore', timeout: 30000 });
    // The first wine process of a server session starts the prefix's services,
    // which keep that process's output streams open: let a throwaway one be first.
    spawnSync('wine', ['cmd', '/c', 'exit'], { env: cachedEnv, stdio: 'ignore', timeout: 120000 });
  }
  return { ...cachedEnv, ...overrides };
}

export function wineDriveC() {
  return join(wineEnv().WINEPREFIX, 'drive_c');
}

// Host path of a Windows path on the prefix's C: drive or on Z:.
export function unixPath(windowsPath) {
  const m = /^([A-Za-z]):\\?(.*)$/.exec(windowsPath);
  if (!m) throw new Error(`not an absolute Windows path: ${windowsPath}`);
  const rest = m[2].replaceAll('\\', '/');
  const drive = m[1].toUpperCase();
  if (drive === 'C') return join(wineDriveC(), rest);
  if (drive === 'Z') return '/' + rest;
  throw new Error(`no host path known for drive ${drive}:`);
}

let cachedTemp = null;

// The user's temporary folder as the bridge sees it (GetTempPath), with a host path.
export function wineTempFolder() {
  if (cachedTemp === null) {
    const result = spawnSync('wine', ['cmd', '/c', 'echo', '%TEMP%'], {
      env: wineEnv(),
      encoding: 'latin1',
      timeout: 60000,
    });
    const windows = (result.stdout ?? '').trim().replace(/\\+$/, '');
    if (result.status !== 0 || !/^[A-Za-z]:\\/.test(windows)) {
      throw new Error(`wine cmd did not name the temporary folder: ${JSON.stringify(result.stdout)} ${result.stderr}`);
    }
    const host = unixPath(windows);
    if (!existsSync(host)) throw new Error(`temporary folder ${windows} not found at ${host}`);
    cachedTemp = { windows: windows + '\\', host };
  }
  return cachedTemp;
}

// Moves a tool-list cache file of the temporary folder out of the way (other
// runs against a CRM application leave one behind); returns the undo.
export function setCacheFileAside(name) {
  const file = join(wineTempFolder().host, name);
  const aside = `${file}.e2e-aside`;
  const present = existsSync(file);
  if (present) renameSync(file, aside);
  return () => {
    rmSync(file, { force: true });
    if (present) renameSync(aside, file);
  };
}

// Resolves with the promise's value, or with `fallback` after ms; leaves no timer behind.
async function within(promise, ms, fallback) {
  let timer;
  const timeout = new Promise((r) => {
    timer = setTimeout(() => r(fallback), ms);
  });
  try {
    return await Promise.race([promise, timeout]);
  } finally {
    clearTimeout(timer);
  }
}

// Wine has been seen to end a launch with code 1 and no output within milliseconds,
// before the program ran (ours take a tenth of a second to start, and the bridge
// logs before it ends, never with code 1). Such a launch is started once more, with
// whatever input it was given so far.
const WINE_LAUNCH_FAILED = 1;
const WINE_LAUNCH_MS = 1000;

// A running process whose output is collected and can be waited on.
// relaunch: how to start the same process again after a launch Wine ended at once.
class Watched {
  constructor(child, what, { relaunch } = {}) {
    this.what = what;
    this.relaunch = relaunch;
    this.input = [];
    this.stdout = Buffer.alloc(0);
    this.stderr = Buffer.alloc(0);
    this.exitCode = undefined;
    this.waiters = new Set();
    this.exited = new Promise((res) => {
      this.resolveExited = res;
    });
    this.attach(child);
  }

  attach(child) {
    this.child = child;
    this.startedAt = Date.now();
    child.stdout.on('data', (d) => {
      this.stdout = Buffer.concat([this.stdout, d]);
      this.ran();
    });
    child.stderr.on('data', (d) => {
      this.stderr = Buffer.concat([this.stderr, d]);
      this.ran();
    });
    // Wine's desktop process (explorer.exe), started by the first program that makes a
    // window, inherits that program's output streams and keeps them open after the
    // program ended. So the end of a process is its exit, not the end of its streams;
    // output still in the pipes gets a moment to arrive.
    const streamsEnded = Promise.all(
      [child.stdout, child.stderr].map((stream) => new Promise((res) => stream.once('close', res))),
    );
    child.on('exit', async (code, signal) => {
      const lasted = Date.now() - this.startedAt;
      await within(streamsEnded, 1000);
      child.stdout.destroy();
      child.stderr.destroy();
      if (this.launchFailed(code, lasted)) {
        process.stderr.write(`# Wine ended the launch of ${this.what} at once (code ${code}, no output); starting it again\n`);
        this.attach(this.relaunchWithInput());
        return;
      }
      this.exitCode = code ?? signal;
      this.wake();
      this.resolveExited(this.exitCode);
    });
    child.on('error', (err) => {
      this.spawnError = err;
      this.exitCode = null;
      this.wake();
      this.resolveExited(null);
    });
  }

  // Output shows that the program ran: its launch can no longer have failed.
  ran() {
    this.relaunch = undefined;
    this.input = [];
    this.wake();
  }

  launchFailed(code, lasted) {
    return this.relaunch !== undefined && code === WINE_LAUNCH_FAILED && lasted < WINE_LAUNCH_MS;
  }

  // Only once: a second such end is no accident of Wine.
  relaunchWithInput() {
    const child = this.relaunch();
    this.relaunch = undefined;
    if (child.stdin === null) return child;
    child.stdin.on('error', () => {});
    for (const chunk of this.input) child.stdin.write(chunk);
    if (this.inputClosed) child.stdin.end();
    return child;
  }

  wake() {
    for (const w of this.waiters) w();
  }

  // Resolves with the value of probe() once it is not undefined; rejects after the timeout.
  until(probe, timeoutMs, describe) {
    return new Promise((res, rej) => {
      const check = () => {
        let value;
        try {
          value = probe();
        } catch (err) {
          finish();
          rej(err);
          return;
        }
        if (value !== undefined) {
          finish();
          res(value);
        } else if (this.exitCode !== undefined) {
          finish();
          rej(new Error(`${this.what} ended (${this.exitCode}) before ${describe}\n${this.transcript()}`));
        }
      };
      const timer = setTimeout(() => {
        finish();
        rej(new Error(`timed out after ${timeoutMs} ms waiting for ${describe}\n${this.transcript()}`));
      }, timeoutMs);
      const finish = () => {
        clearTimeout(timer);
        this.waiters.delete(check);
      };
      this.waiters.add(check);
      check();
    });
  }

  transcript() {
    return `--- stdout of ${this.what}:\n${this.stdout.toString('utf8')}\n--- stderr:\n${this.stderr.toString('utf8')}`;
  }

  kill() {
    if (this.exitCode === undefined) this.child.kill('SIGKILL');
  }
}

// Splits at "\n"; a last piece without a line end is not a line yet.
function completeLines(buffer, separator) {
  const text = buffer.toString('utf8');
  const parts = text.split(separator);
  parts.pop();
  return parts;
}

export class Bridge extends Watched {
  // args: the bridge's own arguments; env: overrides of the Wine environment;
  // program: how the relay is told to start the bridge (a Windows path or a bare name);
  // exe: the host file behind it; tempFolder: the bridge's TMP and TEMP, a Windows
  // path without blanks (Wine takes them from the registry, so cmd sets them);
  // relay: the relay's own options.
  static start({ args = [], env = {}, cwd = REPO_ROOT, program = winPath(BRIDGE_EXE), exe = BRIDGE_EXE, tempFolder, relay: options = [] } = {}) {
    requireBuilt(RELAY_EXE, exe);
    const relay = [winPath(RELAY_EXE), ...options, program, ...args];
    const command = tempFolder
      ? ['cmd', '/c', 'set', `TMP=${tempFolder}&&`, 'set', `TEMP=${tempFolder}&&`, ...relay]
      : relay;
    const launch = () => spawn('wine', command, { env: wineEnv(env), cwd, stdio: ['pipe', 'pipe', 'pipe'] });
    const child = launch();
    child.stdin.on('error', () => {});
    return new Bridge(child, 'the bridge', { relaunch: launch });
  }

  // Answer lines on stdout, without their line feed.
  lines() {
    return completeLines(this.stdout, '\n');
  }

  // Log lines on stderr, without their CR LF.
  logLines() {
    return completeLines(this.stderr, '\r\n');
  }

  // Log lines with the time and process prefix removed.
  logTexts() {
    return this.logLines().map((l) => l.replace(LOG_PREFIX, ''));
  }

  write(data) {
    if (this.relaunch !== undefined) this.input.push(data);
    this.child.stdin.write(data);
  }

  send(message) {
    this.write((typeof message === 'string' ? message : JSON.stringify(message)) + '\n');
  }

  // The first answer line at or after index `from` that satisfies the predicate.
  waitForLine(predicate, { from = 0, timeoutMs = DEFAULT_TIMEOUT_MS, describe = 'an answer line' } = {}) {
    return this.until(() => this.lines().slice(from).find(predicate), timeoutMs, describe);
  }

  // The first log text (prefix removed) at or after index `from` that satisfies the predicate.
  waitForLog(predicate, { from = 0, timeoutMs = DEFAULT_TIMEOUT_MS, describe = 'a log line' } = {}) {
    return this.until(() => this.logTexts().slice(from).find(predicate), timeoutMs, describe);
  }

  // Waits for the n-th answer line (1-based count), returns it.
  async nthLine(n, options = {}) {
    return this.until(() => this.lines()[n - 1], options.timeoutMs ?? DEFAULT_TIMEOUT_MS, `answer line ${n}`);
  }

  async nthLog(n, options = {}) {
    return this.until(() => this.logTexts()[n - 1], options.timeoutMs ?? DEFAULT_TIMEOUT_MS, `log line ${n}`);
  }

  // Sends one request and returns its answer line and the log text that closes it.
  async exchange(message, { timeoutMs = DEFAULT_TIMEOUT_MS } = {}) {
    const lineCount = this.lines().length;
    const logCount = this.logTexts().length;
    this.send(message);
    const answer = await this.nthLine(lineCount + 1, { timeoutMs });
    const log = await this.nthLog(logCount + 1, { timeoutMs });
    return { answer, log };
  }

  // The client's first message, as a client sends it after initialize. Nothing before
  // it makes the bridge look for Orvin. Resolves, once the bridge has handled it
  // (forwarded after a link, logged without one), with the outcome of that first
  // attempt: "Połączono z Orvinem ..." or "Na razie bez połączenia: ...".
  async greet({ timeoutMs = DEFAULT_TIMEOUT_MS } = {}) {
    const from = this.logTexts().length;
    this.send(GREETING);
    const outcome = await this.waitForLog((l) => l.startsWith('Połączono z Orvinem') || l.startsWith('Na razie bez połączenia: '), {
      from,
      timeoutMs,
      describe: 'the outcome of the start-up attempt',
    });
    await this.waitForLog((l) => l.startsWith('notifications/initialized | '), { from, timeoutMs, describe: 'the greeting handled' });
    return outcome;
  }

  closeInput() {
    this.inputClosed = true;
    this.child.stdin.end();
  }

  // Closes stdin and returns the exit code; kills the process after the timeout.
  async finish({ timeoutMs = DEFAULT_TIMEOUT_MS } = {}) {
    this.closeInput();
    const timer = setTimeout(() => this.kill(), timeoutMs);
    const code = await this.exited;
    clearTimeout(timer);
    if (this.spawnError) throw this.spawnError;
    return code;
  }
}

export class StandIn extends Watched {
  // Starts CrmStandIn.exe copied into C:\<folder>\ of the prefix, so that its
  // window's executable lies in that folder.
  static async start({ folder = 'elsewhere', args = [], timeoutMs = 30000 } = {}) {
    requireBuilt(STANDIN_EXE);
    const hostFolder = join(wineDriveC(), folder);
    mkdirSync(hostFolder, { recursive: true });
    // Copied beside and renamed, so that an instance still running from this folder
    // keeps its image intact.
    const target = join(hostFolder, 'CrmStandIn.exe');
    copyFileSync(STANDIN_EXE, `${target}.${process.pid}.tmp`);
    renameSync(`${target}.${process.pid}.tmp`, target);
    const exe = `C:\\${folder.replaceAll('/', '\\')}\\CrmStandIn.exe`;
    const launch = () => spawn('wine', [exe, ...args], { env: wineEnv(), stdio: ['ignore', 'pipe', 'pipe'] });
    const standIn = new StandIn(launch(), `the stand-in ${exe}`, { relaunch: launch });
    standIn.hostFolder = hostFolder;
    await standIn.waitUntilReady(timeoutMs);
    return standIn;
  }

  // Waits for the READY line and takes the ports and process id from it; a
  // stand-in that does not get ready is killed.
  async waitUntilReady(timeoutMs) {
    try {
      const ready = await this.until(
        () => /^READY port=(\d+) control=(\d+) pid=(\d+)/m.exec(this.stdout.toString('utf8')) ?? undefined,
        timeoutMs,
        'READY from the stand-in',
      );
      this.port = Number(ready[1]);
      this.control = Number(ready[2]);
      this.pid = Number(ready[3]);
    } catch (err) {
      this.kill();
      throw err;
    }
  }

  // Asks the stand-in to quit; kills it when it does not end in time.
  async stop({ timeoutMs = 10000 } = {}) {
    if (this.exitCode !== undefined) return;
    try {
      await fetch(`http://127.0.0.1:${this.control}/quit`, { signal: AbortSignal.timeout(5000) });
    } catch {
      // it may close the connection as it ends; the wait below decides
    }
    const ended = await within(this.exited.then(() => true), timeoutMs, false);
    if (!ended) {
      this.kill();
      await this.exited;
    }
    rmSync(this.hostFolder, { recursive: true, force: true });
  }
}

// A client of the official TypeScript SDK with the bridge as its server, started
// through the relay. log() is what the bridge wrote on standard error so far;
// protocolErrors collects every error the client reported.
export function sdkClient({ name, args = ['-dir', 'C:\\crm'] }) {
  requireBuilt(RELAY_EXE, BRIDGE_EXE);
  const transport = new StdioClientTransport({
    command: 'wine',
    args: [winPath(RELAY_EXE), winPath(BRIDGE_EXE), ...args],
    env: wineEnv(),
    cwd: REPO_ROOT,
    stderr: 'pipe',
  });
  let log = '';
  transport.stderr.on('data', (d) => {
    log += d.toString('utf8');
  });
  const protocolErrors = [];
  const client = new Client({ name, version: '1.0.0' });
  client.onerror = (err) => protocolErrors.push(err);
  return { client, transport, protocolErrors, log: () => log };
}
