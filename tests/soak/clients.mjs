// The three clients of a soak, each with a bridge of its own on the same folder:
// the official SDK 1.x (legacy), the SDK 2.x pinned to revision 2026-07-28, and a
// raw line client. Each taps its bridge's output into a Ledger, so that every line
// is checked alike, and ends by closing the bridge's input with calls in flight.
import { spawn } from 'node:child_process';
import { Client as LegacyClient } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport as LegacyTransport } from '@modelcontextprotocol/sdk/client/stdio.js';
import { ToolListChangedNotificationSchema } from '@modelcontextprotocol/sdk/types.js';
import { Client as ModernClient } from '@modelcontextprotocol/client';
import { StdioClientTransport as ModernTransport } from '@modelcontextprotocol/client/stdio';
import { BRIDGE_EXE, RELAY_EXE, REPO_ROOT, requireBuilt, winPath, wineEnv } from '../e2e/harness.mjs';
import { delay } from '../e2e/link-support.mjs';
import { Ledger } from './ledger.mjs';

const MODERN = '2026-07-28';
const MODERN_META = {
  'io.modelcontextprotocol/protocolVersion': MODERN,
  'io.modelcontextprotocol/clientInfo': { name: 'soak-raw', version: '1.0' },
  'io.modelcontextprotocol/clientCapabilities': {},
};
const PATIENT_MS = 600000;
const POLISH = ['Zażółć gęślą jaźń', 'Łódź', 'Źdźbło', 'Pszczyna', 'ąćęłńóśźż ĄĆĘŁŃÓŚŹŻ', 'cudzysłów " i \\ ukośnik'];

function bridgeCommand(crmFolder) {
  requireBuilt(RELAY_EXE, BRIDGE_EXE);
  return { command: 'wine', args: [winPath(RELAY_EXE), winPath(BRIDGE_EXE), '-dir', crmFolder] };
}

class SoakClient {
  constructor(name, letter, random, crmFolder, ledgerOptions) {
    this.name = name;
    this.letter = letter;
    this.random = random;
    this.crmFolder = crmFolder;
    this.ledger = new Ledger(name, ledgerOptions);
    this.log = '';
    this.sequence = 0;
    this.running = false;
    this.calls = 0;
  }

  nonce() {
    return `soak${this.letter}${String(++this.sequence).padStart(6, '0')}`;
  }

  // A variable that Wine hands down to the bridge's own process, where /proc shows it.
  mark() {
    return { ORVIN_SOAK_BRIDGE: this.letter };
  }

  windowsPid() {
    const m = /\[OrvinMCP:(\d+)\]/.exec(this.log);
    return m ? Number(m[1]) : undefined;
  }

  echoArguments() {
    return { nonce: this.nonce(), tekst: `${this.random.pick(POLISH)} ${this.random.int(0, 1e6)}`, n: this.random.int(-1e9, 1e9) };
  }
}

// The SDK clients share one way of working: a few workers, each calling one tool
// after another with the SDK's own time-outs and cancels.
class SdkSoakClient extends SoakClient {
  tap(transport) {
    const buffer = transport._readBuffer;
    const append = buffer.append.bind(buffer);
    buffer.append = (chunk) => {
      this.ledger.chunk(chunk);
      append(chunk);
    };
    const send = transport.send.bind(transport);
    transport.send = (message, options) => {
      this.ledger.sent(message);
      return send(message, options);
    };
    transport.stderr.on('data', (d) => (this.log += d.toString('utf8')));
    this.transport = transport;
  }

  // One tool call or request, chosen by weight; errors are the faults' and are counted by the ledger.
  async step() {
    const r = this.random;
    const op = r.weighted({ echo: 60, sleep: 10, pastTimeout: 4, progress: 5, list: 7, ping: 5, search: 4, http500: 2, unknownTool: 2, blank: 1 });
    // Ordinary calls wait as long as the bridge may (10 min): an answer that never
    // comes is then lost, not hidden behind the SDK's own time-out and cancel.
    const call = (name, args, options = {}) => this.callTool({ name, arguments: args }, { timeout: PATIENT_MS, ...options });
    this.calls++;
    switch (op) {
      case 'echo': return call('test_echo', this.echoArguments());
      case 'sleep': return call('test_sleep', { nonce: this.nonce(), ms: r.int(100, 3000) });
      // Slower than the client waits: it gives up and cancels.
      case 'pastTimeout': return call('test_sleep', { nonce: this.nonce(), ms: r.int(7000, 14000) }, { timeout: r.int(2500, 6000) });
      // Slower than the client waits, unless progress notices reset its time-out.
      case 'progress':
        return call('test_sleep', { nonce: this.nonce(), ms: r.int(6000, 16000) }, {
          timeout: 8000, resetTimeoutOnProgress: true, maxTotalTimeout: 40000, onprogress: (p) => this.onProgress(p),
        });
      case 'list': return this.client.listTools(undefined, { timeout: PATIENT_MS });
      case 'ping': return this.client.ping({ timeout: PATIENT_MS });
      case 'search': return call('klienci_szukaj', { nonce: this.nonce(), fraza: r.pick(['sp', 'żółw', 'Pszczyńska', 'xyz']) });
      case 'http500': return call('test_http500', { nonce: this.nonce() });
      case 'unknownTool': return call('brak_takiego_narzedzia', { nonce: this.nonce() });
      default: return call('test_blank', { nonce: this.nonce() });
    }
  }

  onProgress() {
    this.progressSeen = (this.progressSeen ?? 0) + 1;
  }

  async run(isRunning) {
    const worker = async () => {
      while (isRunning()) {
        try {
          await this.step();
        } catch {
          // time-outs, cancels and CRM errors: the ledger has seen the lines
        }
        await delay(this.random.int(0, 400));
      }
    };
    await Promise.all(Array.from({ length: this.workers }, worker));
  }

  // Calls that will still be in flight when the input closes.
  startFinalCalls() {
    for (const ms of [3000, 50]) {
      this.callTool({ name: 'test_sleep', arguments: { nonce: this.nonce(), ms } }, { timeout: 60000 }).catch(() => {});
    }
  }

  // Closes the bridge's input with calls in flight: its exit code and how long it took.
  async finish() {
    const child = this.transport._process;
    if (!child) return { code: null, ms: null, note: 'the process had already ended' };
    const outgoing = this.ledger.info.requests;
    this.ledger.finalPhase = true;
    this.startFinalCalls();
    // Until the SDK has written them.
    for (let i = 0; i < 100 && this.ledger.info.requests < outgoing + 2; i++) await delay(10);
    return endProcess(child, () => child.stdin.end(), () => this.client.close());
  }
}

// Waits for the process's exit after `close`; kills it after 30 s.
async function endProcess(child, close, cleanup) {
  const started = Date.now();
  const exited = new Promise((resolve) => child.once('exit', (code, signal) => resolve(code ?? signal)));
  close();
  const timer = setTimeout(() => child.kill('SIGKILL'), 30000);
  const code = await exited;
  clearTimeout(timer);
  const ms = Date.now() - started;
  await cleanup?.().catch?.(() => {});
  return { code, ms };
}

export class LegacySdkClient extends SdkSoakClient {
  constructor(random, crmFolder) {
    super('legacy (SDK 1.x)', 'L', random, crmFolder);
    this.workers = 3;
  }

  callTool(params, options) {
    return this.client.callTool(params, undefined, options);
  }

  async start() {
    const transport = new LegacyTransport({ ...bridgeCommand(this.crmFolder), env: wineEnv(this.mark()), cwd: REPO_ROOT, stderr: 'pipe' });
    this.client = new LegacyClient({ name: 'soak-legacy', version: '1.0.0' });
    this.client.onerror = () => {};
    // As a client does: a changed list is fetched again.
    this.client.setNotificationHandler(ToolListChangedNotificationSchema, () => {
      this.client.listTools(undefined, { timeout: 30000 }).catch(() => {});
    });
    this.tap(transport);
    await this.client.connect(transport, { timeout: 60000 });
  }
}

export class ModernSdkClient extends SdkSoakClient {
  constructor(random, crmFolder) {
    super(`modern (SDK 2.x, ${MODERN})`, 'M', random, crmFolder, { modernSubscriptions: true });
    this.workers = 3;
    this.listChanges = 0;
  }

  // The 2.x SDK takes no result schema.
  callTool(params, options) {
    return this.client.callTool(params, options);
  }

  async start() {
    const transport = new ModernTransport({ ...bridgeCommand(this.crmFolder), env: wineEnv(this.mark()), cwd: REPO_ROOT, stderr: 'pipe' });
    this.client = new ModernClient({ name: 'soak-modern', version: '2.4.0' }, {
      versionNegotiation: { mode: { pin: MODERN } },
      listChanged: { tools: { onChanged: () => this.listChanges++ } },
    });
    this.client.onerror = () => {};
    this.tap(transport);
    await this.client.connect(transport, { timeout: 60000 });
    if (this.client.getProtocolEra() !== 'modern') throw new Error(`the 2.x client speaks ${this.client.getProtocolEra()}, not ${MODERN}`);
  }
}

// A client written by hand, line by line: legacy and modern lines mixed, 1 to 8
// requests in flight, cancels before and after a request went out, retries of
// cancelled calls and of calls that "may have run" with the same arguments, pings,
// unknown methods, malformed lines, arguments up to 1 MB, and stretches of slow
// reading (about 200 KB/s with pauses) through replies of 20 MB.
export class RawLineClient extends SoakClient {
  constructor(random, crmFolder, minutes) {
    super('raw line client', 'R', random, crmFolder);
    this.minutes = minutes;
    this.nextId = 1;
    this.inFlight = 0;
    this.retries = [];  // { nonce, kind: 'abandoned' | 'mayHaveRun', original, retry }
    this.slowUntil = 0;
    this.slowStretches = [];
    this.largeReplies = 0;
    this.fullSpeedSince = 0;  // Infinity while reading slowly
    this.waiters = new Map();  // id key -> resolve
  }

  async start() {
    const { command, args } = bridgeCommand(this.crmFolder);
    this.child = spawn(command, args, { env: wineEnv(this.mark()), cwd: REPO_ROOT, stdio: ['pipe', 'pipe', 'pipe'] });
    this.child.stdin.on('error', () => {});
    this.child.stderr.on('data', (d) => (this.log += d.toString('utf8')));
    this.child.stdout.on('data', (d) => this.onData(d));
    this.send({ jsonrpc: '2.0', id: this.nextId++, method: 'initialize', params: { protocolVersion: '2025-06-18', capabilities: {}, clientInfo: { name: 'soak-raw', version: '1.0' } } });
    this.write(JSON.stringify({ jsonrpc: '2.0', method: 'notifications/initialized' }));
  }

  // While reading slowly the stream is paused after each piece for as long as
  // 200 KB/s allows, now and then for a second or three more.
  onData(data) {
    const slow = Date.now() < this.slowUntil;
    this.ledger.chunk(data, this.fullSpeedSince);
    if (slow) this.fullSpeedSince = Infinity;
    else if (this.fullSpeedSince === Infinity) this.fullSpeedSince = Date.now();
    for (const [key, resolve] of this.waiters) {
      const entry = this.ledger.requests.get(key);
      if (entry.answers > 0) {
        this.waiters.delete(key);
        resolve(entry);
      }
    }
    if (slow) {
      this.child.stdout.pause();
      const pause = (data.length / 200000) * 1000 + (this.random.chance(0.03) ? this.random.int(1000, 3000) : 0);
      setTimeout(() => this.child.stdout.resume(), pause);
    }
  }

  write(line) {
    this.child.stdin.write(line + '\n');
  }

  send(message, options) {
    this.ledger.sent(message, options);
    this.write(JSON.stringify(message));
    return JSON.stringify(message.id);
  }

  request(method, params, { modern = false, id, progress = false, final = false } = {}) {
    const message = { jsonrpc: '2.0', id: id ?? (modern ? `r-${this.nextId++}` : this.nextId++), method };
    if (params !== undefined || modern || progress) {
      message.params = { ...(params ?? {}) };
      const meta = { ...(modern ? MODERN_META : {}), ...(progress ? { progressToken: `p-${message.id}` } : {}) };
      if (Object.keys(meta).length > 0) message.params._meta = meta;
    }
    const key = this.send(message, { final });
    return { key, message, answered: this.answered(key) };
  }

  answered(key) {
    const entry = this.ledger.requests.get(key);
    if (entry.answers > 0) return Promise.resolve(entry);
    return new Promise((resolve) => this.waiters.set(key, resolve));
  }

  cancel(key, message) {
    this.send({ jsonrpc: '2.0', method: 'notifications/cancelled', params: { requestId: message.id, reason: 'soak: klient rezygnuje' } });
    const resolve = this.waiters.get(key);
    this.waiters.delete(key);
    resolve?.(undefined);
  }

  call(name, args, options) {
    return this.request('tools/call', { name, arguments: args }, options);
  }

  // One operation, with the in-flight count kept.
  async operation() {
    const r = this.random;
    const modern = r.chance(0.4);
    const op = r.weighted({ echo: 45, progress: 7, cancel: 12, ping: 6, unknown: 4, malformed: 2, bigArgument: 2, list: 5, sleep: 6 });
    switch (op) {
      case 'echo': {
        const args = this.echoArguments();
        const { answered, message } = this.call('test_echo', args, { modern });
        const entry = await answered;
        // Told that it may have run: the user decides to do it again, as a client may.
        if (entry?.mayHaveRun && r.chance(0.5)) {
          const retry = this.call('test_echo', args, { modern });
          this.retries.push({ nonce: args.nonce, kind: 'mayHaveRun', original: JSON.stringify(message.id), retry: retry.key });
          await retry.answered;
        }
        return;
      }
      case 'progress':
        await this.call('test_sleep', { nonce: this.nonce(), ms: r.int(2000, 12000) }, { modern, progress: true }).answered;
        return;
      case 'sleep':
        await this.call('test_sleep', { nonce: this.nonce(), ms: r.int(50, 2500) }, { modern }).answered;
        return;
      case 'cancel': {
        // Cancelled at once (before it went out, as a rule) or after it went out; some
        // retried with the same arguments, as a model does after "Request timed out".
        const args = { nonce: this.nonce(), ms: r.int(2500, 8000) };
        const progress = r.chance(0.3);
        const { key, message } = this.call('test_sleep', args, { modern, progress });
        await delay(r.chance(0.2) ? 0 : r.int(600, 2000));
        if (this.ledger.requests.get(key).answers > 0) return;
        this.cancel(key, message);
        if (r.chance(0.6)) {
          await delay(r.int(0, 3000));
          const retry = this.call('test_sleep', args, { modern, progress });
          this.retries.push({ nonce: args.nonce, kind: 'abandoned', original: key, retry: retry.key });
          await retry.answered;
        }
        return;
      }
      case 'ping':
        await this.request('ping', undefined, { modern }).answered;
        return;
      case 'list':
        await this.request('tools/list', undefined, { modern }).answered;
        return;
      case 'unknown':
        await this.request('orvin/nieznana_metoda', { nonce: this.nonce() }, { modern }).answered;
        return;
      case 'malformed':
        this.ledger.malformedSent();
        this.write(r.pick(['to nie jest JSON', '{"jsonrpc":"2.0","method":"tools/list",', '{"jsonrpc":"2.0",,}']));
        return;
      default: {
        const args = { nonce: this.nonce(), wypelnienie: 'ż'.repeat(r.int(50000, 524288)) };  // up to 1 MB of UTF-8
        await this.call('test_echo', args, { modern }).answered;
      }
    }
  }

  // A stretch of slow reading that starts with a reply of 20 MB.
  largeReply() {
    this.slowUntil = Date.now() + this.random.int(15000, 40000);
    this.slowStretches.push({ from: Date.now(), to: this.slowUntil });
    this.largeReplies++;
    return this.call('test_large', { nonce: this.nonce(), mb: 20 }).answered;
  }

  async run(isRunning, startedAt, lengthMs) {
    let target = 1;
    const operations = new Set();
    // The first stretch of slow reading early, then one every 2 to 4 minutes.
    let nextLarge = startedAt + Math.min(20000, lengthMs * 0.15);
    while (isRunning()) {
      if (this.random.chance(0.05)) target = this.random.int(1, 8);
      if (Date.now() >= nextLarge) {
        nextLarge = Date.now() + this.random.int(120000, 240000);
        const p = this.largeReply().finally(() => operations.delete(p));
        operations.add(p);
      }
      while (operations.size < target) {
        this.calls++;
        const p = this.operation().catch(() => {}).finally(() => operations.delete(p));
        operations.add(p);
      }
      await delay(this.random.int(20, 300));
    }
  }

  async finish() {
    this.ledger.finalPhase = true;
    this.call('test_sleep', { nonce: this.nonce(), ms: 3000 });
    this.call('test_echo', this.echoArguments(), { modern: true });
    this.child.stdout.resume();
    this.slowUntil = 0;
    return endProcess(this.child, () => this.child.stdin.end());
  }
}
