// Prints figures for the real OrvinMCP.exe under Wine: start-up, local round
// trips and memory without a CRM application; forwarded round trips beside
// supergateway (a general stdio-to-HTTP MCP bridge) and direct posts to the
// stand-in's endpoint, CPU time per forwarded call and while idle, the relay of
// one 10 MB reply and the taking in of one 64 MB request line; requests in
// flight side by side (parallel calls, a ping and a cancellation during a long
// call) beside supergateway; and what a client meets while the CRM application
// asks its user for consent; and what the look at the owner of each connection
// costs a forwarded request. Prints figures only: a slow bridge makes no
// failure. Run after scripts/build.sh:  npm run bench
import { existsSync, readFileSync, readdirSync } from 'node:fs';
import { dirname, join } from 'node:path';
import { spawn } from 'node:child_process';
import { BRIDGE_EXE, Bridge, RELAY_EXE, REPO_ROOT, StandIn, winPath, wineEnv } from '../tests/e2e/harness.mjs';

const ROUNDS = 1000;

function percentile(values, p) {
  const sorted = [...values].sort((a, b) => (a < b ? -1 : a > b ? 1 : 0));
  return sorted[Math.min(sorted.length - 1, Math.floor((p / 100) * sorted.length))];
}

const ms = (ns) => (Number(ns) / 1e6).toFixed(2);

// ---- round trips, CPU time and long request lines ----

// The Wine process that runs this build's bridge started with `marker` among its
// arguments (other bridges may run on the machine).
function bridgeProcess(marker) {
  const exe = winPath(BRIDGE_EXE);
  for (const pid of readdirSync('/proc')) {
    if (!/^\d+$/.test(pid)) continue;
    try {
      const cmd = readFileSync(`/proc/${pid}/cmdline`, 'latin1');
      if (cmd.includes(exe) && !cmd.includes('StdinRelay') && cmd.includes(marker)) return pid;
    } catch {
      // the process may have ended meanwhile
    }
  }
  return undefined;
}

// User and system time of a process, in milliseconds.
function cpuMs(pid) {
  const fields = readFileSync(`/proc/${pid}/stat`, 'latin1').split(') ')[1].split(' ');
  return ((Number(fields[11]) + Number(fields[12])) * 1000) / 100;  // clock ticks of 10 ms
}

function memoryKiB(pid, field) {
  try {
    const match = new RegExp(`${field}:\\s+(\\d+) kB`).exec(readFileSync(`/proc/${pid}/status`, 'latin1'));
    return match ? Number(match[1]) : NaN;
  } catch {
    return NaN;
  }
}

// Peak resident memory of the Wine process that runs the bridge itself.
const bridgePeakKiB = (marker) => memoryKiB(bridgeProcess(marker), 'VmHWM');

// A stdio MCP server process whose answer lines are handed out as they come,
// each with its arrival time, so that no collecting of output takes part in the
// figures: in order (nextLine) or the first that matches (waitFor). Every wait
// has a limit, so that a bridge that holds a request cannot stop the benchmark.
class LeanPeer {
  constructor(command, args, env) {
    this.child = spawn(command, args, { env, stdio: ['pipe', 'pipe', 'pipe'] });
    this.child.stdin.on('error', () => {});
    this.closed = new Promise((r) => this.child.on('close', r));
    this.log = '';
    this.lines = [];  // { text, at } not taken yet
    this.waiters = [];
    let partial = '';
    this.child.stdout.on('data', (d) => {
      const at = process.hrtime.bigint();
      const parts = (partial + d.toString('utf8')).split('\n');
      partial = parts.pop();
      for (const text of parts) {
        const waiter = this.waiters.find((w) => w.match(text));
        if (waiter) waiter.take({ text, at });
        else this.lines.push({ text, at });
      }
    });
    this.child.stderr.on('data', (d) => (this.log += d.toString('utf8')));
  }

  // Writes the messages as lines in one write; returns when they left.
  send(...messages) {
    this.child.stdin.write(messages.map((m) => JSON.stringify(m) + '\n').join(''));
    return process.hrtime.bigint();
  }

  // The first line not taken yet that satisfies match, or undefined after the limit.
  waitFor(match, limitMs = 60000) {
    const index = this.lines.findIndex((l) => match(l.text));
    if (index >= 0) return Promise.resolve(this.lines.splice(index, 1)[0]);
    return new Promise((resolve) => {
      const waiter = { match };
      const timer = setTimeout(() => waiter.take(undefined), limitMs);
      waiter.take = (line) => {
        clearTimeout(timer);
        this.waiters.splice(this.waiters.indexOf(waiter), 1);
        resolve(line);
      };
      this.waiters.push(waiter);
    });
  }

  answer(id, limitMs) {
    return this.waitFor((text) => idOf(text) === id, limitMs);
  }

  async nextLine() {
    return (await this.waitFor(() => true))?.text;
  }

  async waitForLog(text, limitMs = 60000) {
    const until = Date.now() + limitMs;
    while (!this.log.includes(text)) {
      if (Date.now() > until) return false;
      await delay(20);
    }
    return true;
  }

  async finish(limitMs = 30000) {
    this.child.stdin.end();
    if (!(await Promise.race([this.closed.then(() => true), delay(limitMs).then(() => false)]))) {
      this.child.kill('SIGKILL');
      await this.closed;
    }
  }
}

// This build's bridge through the relay, as MCP clients on Windows run it.
class LeanBridge extends LeanPeer {
  constructor(args) {
    super('wine', [winPath(RELAY_EXE), winPath(BRIDGE_EXE), ...args], wineEnv());
  }
}

function idOf(text) {
  try {
    return JSON.parse(text).id;
  } catch {
    return undefined;
  }
}

const delay = (ms) => new Promise((r) => setTimeout(r, ms));

const initialize = (id) => ({
  jsonrpc: '2.0', id, method: 'initialize',
  params: { protocolVersion: '2025-06-18', capabilities: {}, clientInfo: { name: 'bridge-bench', version: '1.0' } },
});
const initialized = { jsonrpc: '2.0', method: 'notifications/initialized' };

// Starts as a client does; for the bridge, also waits until it has linked to the
// stand-in. False when that did not happen in time.
async function startAsClient(peer, { bridge = true } = {}) {
  peer.send(initialize('start'));
  if (!(await peer.answer('start', 30000))) return false;
  peer.send(initialized);
  return !bridge || peer.waitForLog('Połączono z Orvinem', 30000);
}

async function roundTrips(bridge, makeRequest, count) {
  const times = [];
  for (let i = 0; i < count; i++) {
    const started = process.hrtime.bigint();
    bridge.child.stdin.write(JSON.stringify(makeRequest(1000 + i)) + '\n');
    await bridge.nextLine();
    times.push(process.hrtime.bigint() - started);
  }
  return times;
}

const figures = (times) => `median ${ms(percentile(times, 50))} ms, 95th percentile ${ms(percentile(times, 95))} ms`;

// One request line of `megabytes` MiB, answered locally: how long from its first
// byte to the answer, the bridge's peak memory, and what it holds afterwards.
async function takeInLongLine(megabytes) {
  const marker = 'C:\\benchmark-long-line';
  const bridge = new LeanBridge(['-dir', marker]);
  bridge.child.stdin.write(JSON.stringify({ jsonrpc: '2.0', id: 1, method: 'initialize', params: {} }) + '\n');
  await bridge.nextLine();
  const pid = bridgeProcess(marker);
  const before = memoryKiB(pid, 'VmRSS');
  const filler = 'x'.repeat(megabytes * 1048576);
  const line = JSON.stringify({
    jsonrpc: '2.0', id: 2, method: 'tools/call', params: { name: 'klienci_szukaj', arguments: { fraza: filler } },
  }) + '\n';
  const started = process.hrtime.bigint();
  bridge.child.stdin.write(line);
  await bridge.nextLine();
  const elapsed = process.hrtime.bigint() - started;
  // The next request shows the memory once the long line has passed.
  bridge.child.stdin.write(JSON.stringify({ jsonrpc: '2.0', id: 3, method: 'tools/list' }) + '\n');
  await bridge.nextLine();
  const peak = memoryKiB(pid, 'VmHWM');
  const after = memoryKiB(pid, 'VmRSS');
  await bridge.finish();
  console.log(`One request line of ${(line.length / 1048576).toFixed(1)} MiB (tools/call, answered without a CRM application)`);
  console.log(`  taken in and answered in ${ms(elapsed)} ms`);
  console.log(`  bridge memory: ${(before / 1024).toFixed(1)} MiB before, peak ${(peak / 1024).toFixed(1)} MiB ` +
    `(${((peak - before) / (line.length / 1024)).toFixed(2)} times the line above the start), ` +
    `${(after / 1024).toFixed(1)} MiB after`);
}

// CPU time of a linked bridge (process pid) per forwarded call, and over 10 idle seconds.
async function cpuFigures(peer, pid, call) {
  await roundTrips(peer, call, 50);  // warm up
  const beforeCalls = cpuMs(pid);
  await roundTrips(peer, call, ROUNDS);
  const perCall = (cpuMs(pid) - beforeCalls) / ROUNDS;
  const beforeIdle = cpuMs(pid);
  await delay(10000);
  const idle = cpuMs(pid) - beforeIdle;
  return `${perCall.toFixed(3)} ms per forwarded call, ${idle.toFixed(0)} ms over 10 idle seconds`;
}

// ---- end of round trips, CPU time and long request lines ----

// From spawning the relay to the initialize answer, with a warm wineserver.
async function startToInitialize() {
  const started = process.hrtime.bigint();
  const bridge = Bridge.start({ args: ['-dir', 'C:\\benchmark-no-crm'] });
  bridge.send({ jsonrpc: '2.0', id: 0, method: 'initialize', params: {} });
  await bridge.nthLine(1, { timeoutMs: 60000 });
  return { bridge, elapsed: process.hrtime.bigint() - started };
}

async function offline() {
  const starts = [];
  for (let i = 0; i < 6; i++) {
    const { bridge, elapsed } = await startToInitialize();
    if (i > 0) starts.push(elapsed);  // the first one also starts Wine's own services
    await bridge.finish();
  }
  const toInitialize = percentile(starts, 50);
  const bridge = new LeanBridge(['-dir', 'C:\\benchmark-no-crm', 'benchmark-offline']);
  const times = await roundTrips(bridge, (id) => ({ jsonrpc: '2.0', id, method: 'tools/list' }), ROUNDS);
  const peak = bridgePeakKiB('benchmark-offline');
  await bridge.finish();
  console.log('Without a CRM application');
  console.log(`  process start to initialize answer, median of ${starts.length}: ${ms(toInitialize)} ms`);
  console.log(`  tools/list round trip, ${ROUNDS} requests: ${figures(times)}`);
  console.log(`  peak memory of the bridge process: ${(peak / 1024).toFixed(1)} MiB`);
}

// A bridge linked to the stand-in in C:\crm, its output left to the caller once
// it has answered initialize (a line reader would hold a long reply twice).
async function rawLinkedBridge(args = []) {
  const child = spawn('wine', [winPath(RELAY_EXE), winPath(BRIDGE_EXE), '-dir', 'C:\\crm', ...args], {
    env: wineEnv(),
    stdio: ['pipe', 'pipe', 'pipe'],
  });
  let log = '';
  let answered = false;
  child.stderr.on('data', (d) => (log += d.toString('utf8')));
  const firstLine = (d) => (answered ||= d.includes(10));
  child.stdout.on('data', firstLine);
  child.stdin.write(JSON.stringify(initialize('start')) + '\n' + JSON.stringify(initialized) + '\n');
  const until = Date.now() + 30000;
  while (!(answered && log.includes('Połączono z Orvinem')) && Date.now() < until) await delay(20);
  child.stdout.off('data', firstLine);
  return child;
}

// Times one large reply on a bridge of its own, counting bytes as they come, so
// that the test harness's collecting of output takes no part in the figure.
async function relayLargeReply(megabytes) {
  const child = await rawLinkedBridge();
  const request = { jsonrpc: '2.0', id: 9, method: 'tools/call', params: { name: 'test_large', arguments: { mb: megabytes } } };
  let bytes = 0;
  const started = process.hrtime.bigint();
  const elapsed = await new Promise((resolve) => {
    child.stdout.on('data', (d) => {
      bytes += d.length;
      if (d.includes(10)) resolve(process.hrtime.bigint() - started);
    });
    child.stdin.write(JSON.stringify(request) + '\n');
  });
  child.stdin.end();
  await new Promise((r) => child.on('close', r));
  return { bytes, elapsed };
}

async function linked() {
  const standIn = await StandIn.start({ folder: 'crm', args: ['-test-tools'] });
  const marker = 'benchmark-linked';
  const bridge = new LeanBridge(['-dir', 'C:\\crm', marker]);
  let gateway;
  const call = (id) => ({
    jsonrpc: '2.0', id, method: 'tools/call',
    params: { name: 'klienci_szukaj', arguments: { fraza: 'sp' } },
  });
  try {
    if (!(await startAsClient(bridge))) {
      console.log(`Linked to the stand-in: the bridge did not link within 30 s, skipped\n${bridge.log}`);
      return;
    }
    const forwarded = await roundTrips(bridge, call, ROUNDS);

    const state = await (await fetch(`http://127.0.0.1:${standIn.control}/state`)).json();
    const direct = [];
    for (let i = 0; i < ROUNDS; i++) {
      const started = process.hrtime.bigint();
      const response = await fetch(`http://127.0.0.1:${standIn.port}/mcp`, {
        method: 'POST',
        headers: { 'Content-Type': 'application/json', Authorization: `Bearer ${state.token}`, Connection: 'close' },
        body: JSON.stringify(call(5000 + i)),
      });
      await response.text();
      direct.push(process.hrtime.bigint() - started);
    }

    const peak = bridgePeakKiB(marker);
    const bridgeCpu = await cpuFigures(bridge, bridgeProcess(marker), call);
    await bridge.finish();
    const relayed = await relayLargeReply(10);
    // The stand-in's own share of that time: the same reply posted straight to it.
    const large = { jsonrpc: '2.0', id: 9, method: 'tools/call', params: { name: 'test_large', arguments: { mb: 10 } } };
    const postedAt = process.hrtime.bigint();
    await (await fetch(`http://127.0.0.1:${standIn.port}/mcp`, {
      method: 'POST',
      headers: { 'Content-Type': 'application/json', Authorization: `Bearer ${state.token}`, Connection: 'close' },
      body: JSON.stringify(large),
    })).text();
    const posted = process.hrtime.bigint() - postedAt;

    let viaGateway, gatewayCpu;
    if (haveSupergateway()) {
      gateway = new Supergateway(standIn.port, state.token);
      if (await startAsClient(gateway, { bridge: false })) {
        viaGateway = figures(await roundTrips(gateway, call, ROUNDS));
        gatewayCpu = await cpuFigures(gateway, gateway.child.pid, call);
      }
    }
    const beside = (figure) => figure ?? 'not measured (npm ci installs supergateway)';

    console.log('Linked to the stand-in');
    console.log(`  tools/call through the bridge, ${ROUNDS} requests:           ${figures(forwarded)}`);
    console.log(`  the same through supergateway:                          ${beside(viaGateway)}`);
    console.log(`  the same posted straight to the endpoint, new connection each: ${figures(direct)}`);
    console.log(`  peak memory of the bridge process: ${(peak / 1024).toFixed(1)} MiB`);
    console.log(`  bridge CPU time: ${bridgeCpu}`);
    console.log(`  supergateway CPU time: ${beside(gatewayCpu)}`);
    console.log(`  one reply of ${(relayed.bytes / 1048576).toFixed(1)} MiB relayed in ${ms(relayed.elapsed)} ms` +
      ` (posted straight to the endpoint: ${ms(posted)} ms)`);
  } finally {
    bridge.child.kill();
    gateway?.child.kill();
    await standIn.stop();
  }
}

// Peak memory of a bridge of its own that relays one large reply, beside the
// reply's size: the reply is held once, not copied on its way through.
async function largeReplyMemory(megabytes) {
  const standIn = await StandIn.start({ folder: 'crm', args: ['-test-tools'] });
  const marker = 'benchmark-large-reply';
  const child = await rawLinkedBridge([marker]);
  try {
    const request = { jsonrpc: '2.0', id: 9, method: 'tools/call', params: { name: 'test_large', arguments: { mb: megabytes } } };
    let bytes = 0;
    await new Promise((resolve) => {
      child.stdout.on('data', (d) => {
        bytes += d.length;
        if (d.includes(10)) resolve();
      });
      child.stdin.write(JSON.stringify(request) + '\n');
    });
    const peak = bridgePeakKiB(marker);
    console.log(`One reply of ${(bytes / 1048576).toFixed(1)} MiB: peak memory of the bridge process ` +
      `${(peak / 1024).toFixed(1)} MiB (${(peak * 1024 / bytes).toFixed(2)} times the reply)`);
  } finally {
    child.stdin.end();
    await new Promise((r) => child.on('close', r));
    await standIn.stop();
  }
}

// ---- requests side by side, beside supergateway ----

const SUPERGATEWAY = join(REPO_ROOT, 'node_modules', 'supergateway', 'dist', 'index.js');
const haveSupergateway = () => existsSync(SUPERGATEWAY);
// What a client waits for one answer before the figure says it did not come.
const ANSWER_LIMIT_MS = 20000;

// A general stdio-to-HTTP MCP bridge, in its streamable-HTTP client mode, to the
// stand-in's endpoint with its token.
class Supergateway extends LeanPeer {
  constructor(port, token) {
    super(process.execPath, [SUPERGATEWAY, '--streamableHttp', `http://127.0.0.1:${port}/mcp`,
      '--header', `Authorization: Bearer ${token}`], process.env);
  }
}

const sleepCall = (id, milliseconds) => ({
  jsonrpc: '2.0', id, method: 'tools/call', params: { name: 'test_sleep', arguments: { ms: milliseconds } },
});
const seconds = (ns) => `${(Number(ns) / 1e9).toFixed(2)} s`;
const answeredAfter = (sent, line, limitMs = ANSWER_LIMIT_MS) =>
  line ? `${ms(line.at - sent)} ms` : `no answer within ${limitMs / 1000} s`;

async function control(standIn, path) {
  return (await fetch(`http://127.0.0.1:${standIn.control}${path}`, { signal: AbortSignal.timeout(10000) })).json();
}

// The stand-in's clock (ms since its start) minus this process's, from one /record.
async function clockOffset(standIn) {
  const before = process.hrtime.bigint();
  const { now } = await control(standIn, '/record');
  const after = process.hrtime.bigint();
  return now - Number((before + after) / 2n) / 1e6;
}

async function parallelCalls(peer) {
  const ids = ['par-1', 'par-2', 'par-3'];
  const sent = peer.send(...ids.map((id) => sleepCall(id, 1000)));
  const answers = await Promise.all(ids.map((id) => peer.answer(id, ANSWER_LIMIT_MS)));
  const arrived = answers.filter(Boolean);
  if (arrived.length < ids.length) return `${arrived.length} of 3 answered within ${ANSWER_LIMIT_MS / 1000} s`;
  return `all three answered after ${seconds(arrived.reduce((a, l) => (l.at > a ? l.at : a), 0n) - sent)}` +
    ` (${answers.map((l) => seconds(l.at - sent)).join(', ')})`;
}

async function pingDuringCall(peer) {
  peer.send(sleepCall('long-ping', 3000));
  await delay(200);
  const sent = peer.send({ jsonrpc: '2.0', id: 'ping-1', method: 'ping' });
  const pong = await peer.answer('ping-1', ANSWER_LIMIT_MS);
  await peer.answer('long-ping', ANSWER_LIMIT_MS);
  return answeredAfter(sent, pong);
}

// From sending notifications/cancelled 0.2 s into a 3-second call to its arrival
// at the stand-in, by the stand-in's record of arrival times.
async function cancelArrival(peer, standIn, name) {
  const offset = await clockOffset(standIn);
  peer.send(sleepCall('long-cancel', 3000));
  await delay(200);
  const reason = `bridge-bench ${name}`;
  const sent = peer.send({
    jsonrpc: '2.0', method: 'notifications/cancelled', params: { requestId: 'long-cancel', reason },
  });
  const sentOnStandInClock = Number(sent) / 1e6 + offset;
  const until = Date.now() + ANSWER_LIMIT_MS;
  let entry;
  while (!entry && Date.now() < until) {
    await delay(50);
    const { requests } = await control(standIn, '/record');
    entry = requests.find((r) => r.method === 'notifications/cancelled' && r.body.includes(reason));
  }
  await peer.answer('long-cancel', 5000);  // a cancelled request may stay unanswered
  return entry ? `${(entry.at - sentOnStandInClock).toFixed(0)} ms` : `not within ${ANSWER_LIMIT_MS / 1000} s`;
}

async function inFlight() {
  const standIn = await StandIn.start({ folder: 'bench-flight', args: ['-test-tools'] });
  const rows = { bridge: [], supergateway: [] };
  const peers = [];
  try {
    const { token } = await control(standIn, '/state');
    const bridge = new LeanBridge(['-dir', 'C:\\bench-flight']);
    peers.push(['bridge', bridge, await startAsClient(bridge)]);
    if (haveSupergateway()) {
      const gateway = new Supergateway(standIn.port, token);
      peers.push(['supergateway', gateway, await startAsClient(gateway, { bridge: false })]);
    }
    for (const [name, peer, started] of peers) {
      if (!started) {
        rows[name] = Array(3).fill('did not start or link within 30 s');
        continue;
      }
      rows[name].push(await parallelCalls(peer));
      rows[name].push(await pingDuringCall(peer));
      rows[name].push(await cancelArrival(peer, standIn, name));
    }
  } finally {
    for (const [, peer] of peers) await peer.finish();
    await standIn.stop();
  }
  const gateway = (i) => rows.supergateway[i] ?? 'not measured (npm ci installs supergateway)';
  console.log('Requests in flight side by side (test_sleep calls on the stand-in)');
  const labels = ['three 1-second calls sent at once', 'a ping sent 0.2 s into a 3-second call, answered after',
    'notifications/cancelled sent 0.2 s into a 3-second call, reached the CRM after'];
  labels.forEach((label, i) => {
    console.log(`  ${label}:`);
    console.log(`    bridge:       ${rows.bridge[i]}`);
    console.log(`    supergateway: ${gateway(i)}`);
  });
}

// ---- the consent question and unanswered handshakes ----

const QUESTION_MS = 25000;  // how long the user leaves the question open
const EARLY_LIMIT_MS = 5000;  // how long each request is waited for while it is open

// A CRM application that asks its user from within its handling of the request
// (mode consent): initialize, ping and tools/list while the question is open,
// the list-changed notice once the user answers, and how many handshake requests
// reached the CRM meanwhile.
async function consentQuestion() {
  const standIn = await StandIn.start({ folder: 'bench-consent', args: ['-handshake', 'consent', '-delay', '600000'] });
  const bridge = new LeanBridge(['-dir', 'C:\\bench-consent']);
  const lines = [];
  try {
    const opened = process.hrtime.bigint();
    const requests = [['initialize', initialize('q-init')], ['ping', { jsonrpc: '2.0', id: 'q-ping', method: 'ping' }],
      ['tools/list', { jsonrpc: '2.0', id: 'q-list', method: 'tools/list' }]];
    const sent = {}, early = {};
    for (const [method, message] of requests) {
      sent[method] = bridge.send(message);
      early[method] = await bridge.answer(message.id, EARLY_LIMIT_MS);
      if (method === 'initialize') bridge.send(initialized);
    }
    const questionOpen = (await control(standIn, '/state')).question;
    await delay(Math.max(0, QUESTION_MS - Number(process.hrtime.bigint() - opened) / 1e6));
    const { handshakes } = await control(standIn, '/record');
    const answeredAt = process.hrtime.bigint();
    const answered = (await control(standIn, '/answer')).ok;
    const notice = await bridge.waitFor((text) => text.includes('notifications/tools/list_changed'), 5000);
    lines.push(`  ${questionOpen ? 'a consent question was open' : 'NO consent question was open'} while they were sent;` +
      ` the user answered ${QUESTION_MS / 1000} s after the first request${answered ? '' : ' (no question left to answer)'}`);
    for (const [method, message] of requests) {
      if (early[method]) {
        lines.push(`  ${method} answered after ${answeredAfter(sent[method], early[method])}`);
      } else {
        const late = await bridge.answer(message.id, 5000);
        lines.push(`  ${method}: no answer within ${EARLY_LIMIT_MS / 1000} s; ` +
          (late ? `answered ${seconds(late.at - answeredAt)} after the user answered` : 'none 5 s after the user answered'));
      }
    }
    lines.push(`  notifications/tools/list_changed: ${notice ? `${ms(notice.at - answeredAt)} ms after the user answered` : 'none within 5 s of the answer'}`);
    lines.push(`  handshake requests that reached the CRM in the ${QUESTION_MS / 1000} s: ${handshakes.length}`);
  } finally {
    await standIn.stop();
    await bridge.finish();
  }
  return lines;
}

// A CRM application that takes the request and asks its user afterwards (mode
// delay), who does not answer: handshake requests that reach it within the
// window while a client starts as usual and then stays silent.
async function unansweredHandshakes() {
  const standIn = await StandIn.start({ folder: 'bench-waiting', args: ['-handshake', 'delay', '-delay', '600000'] });
  const bridge = new LeanBridge(['-dir', 'C:\\bench-waiting']);
  try {
    const until = Date.now() + QUESTION_MS;
    bridge.send(initialize('w-init'));
    await bridge.answer('w-init', QUESTION_MS);
    bridge.send(initialized, { jsonrpc: '2.0', id: 'w-list', method: 'tools/list' });
    await bridge.answer('w-list', Math.max(1, until - Date.now()));
    await delay(Math.max(0, until - Date.now()));
    const { handshakes } = await control(standIn, '/record');
    return [`  handshake requests in ${QUESTION_MS / 1000} s from a client's start, to a CRM that took the request` +
      ` and asks its user afterwards (who does not answer): ${handshakes.length}`];
  } finally {
    await standIn.stop();
    await bridge.finish();
  }
}

async function consent() {
  // Both mostly wait, so they share the window.
  const [asked, waiting] = await Promise.all([consentQuestion(), unansweredHandshakes()]);
  console.log('While the CRM application asks its user for consent');
  for (const line of [...asked, ...waiting]) console.log(line);
}

// The look at the owner of a connection, alone: it runs on every forwarded
// request's worker, between connect and the first byte.
async function ownerLook() {
  const exe = join(dirname(BRIDGE_EXE), 'OwnerLookBench.exe');
  console.log('The look at the owner of a connection (getsockname and both TCP connection tables)');
  if (!existsSync(exe)) {
    console.log('  OwnerLookBench.exe not built, skipped');
    return;
  }
  const child = spawn('wine', [winPath(exe)], { env: wineEnv(), stdio: ['ignore', 'pipe', 'ignore'] });
  let out = '';
  child.stdout.on('data', (d) => (out += d.toString('utf8')));
  await new Promise((r) => child.on('close', r));
  console.log(out.trimEnd());
  console.log('  the bridge stops looking once the system shows that it names no owners (Wine)');
}

await ownerLook();
await offline();
await linked();
await takeInLongLine(64);
await largeReplyMemory(200);
await inFlight();
await consent();
