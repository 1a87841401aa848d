// Prints figures for the real OrvinMCP.exe under Wine: start-up, local round
// trips and memory without a CRM application; forwarded round trips beside
// direct posts to the stand-in's endpoint, the bridge's CPU time per forwarded
// call and while idle, the relay of one 10 MB reply and the taking in of one
// 64 MB request line. Run after scripts/build.sh:  node bench/bridge-bench.mjs
import { readFileSync, readdirSync } from 'node:fs';
import { spawn } from 'node:child_process';
import { BRIDGE_EXE, Bridge, RELAY_EXE, StandIn, winPath, wineEnv } from '../tests/e2e/harness.mjs';

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

// A bridge through the relay whose answer lines are handed out as they come, so
// that no collecting of output takes part in the figures.
class LeanBridge {
  constructor(args) {
    this.child = spawn('wine', [winPath(RELAY_EXE), winPath(BRIDGE_EXE), ...args], {
      env: wineEnv(),
      stdio: ['pipe', 'pipe', 'pipe'],
    });
    this.log = '';
    this.pending = [];
    this.lines = [];
    let partial = '';
    this.child.stdout.on('data', (d) => {
      const parts = (partial + d.toString('utf8')).split('\n');
      partial = parts.pop();
      for (const line of parts) {
        const waiter = this.pending.shift();
        if (waiter) waiter(line);
        else this.lines.push(line);
      }
    });
    this.child.stderr.on('data', (d) => (this.log += d.toString('utf8')));
  }

  nextLine() {
    if (this.lines.length > 0) return Promise.resolve(this.lines.shift());
    return new Promise((resolve) => this.pending.push(resolve));
  }

  async waitForLog(text) {
    while (!this.log.includes(text)) await new Promise((r) => setTimeout(r, 20));
  }

  async finish() {
    this.child.stdin.end();
    await new Promise((r) => this.child.on('close', r));
  }
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

// CPU time of the linked bridge per forwarded call, and over 10 idle seconds.
async function cpuFigures(call) {
  const marker = 'benchmark-cpu';
  const bridge = new LeanBridge(['-dir', 'C:\\crm', marker]);
  await bridge.waitForLog('Połączono z Orvinem');
  const pid = bridgeProcess(marker);
  await roundTrips(bridge, call, 50);  // warm up
  const beforeCalls = cpuMs(pid);
  await roundTrips(bridge, call, ROUNDS);
  const perCall = (cpuMs(pid) - beforeCalls) / ROUNDS;
  const beforeIdle = cpuMs(pid);
  await new Promise((r) => setTimeout(r, 10000));
  const idle = cpuMs(pid) - beforeIdle;
  await bridge.finish();
  console.log(`  bridge CPU time: ${perCall.toFixed(3)} ms per forwarded call, ${idle.toFixed(0)} ms over 10 idle seconds`);
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

// Times one large reply on a bridge of its own, counting bytes as they come, so
// that the test harness's collecting of output takes no part in the figure.
async function relayLargeReply(megabytes) {
  const child = spawn('wine', [winPath(RELAY_EXE), winPath(BRIDGE_EXE), '-dir', 'C:\\crm'], {
    env: wineEnv(),
    stdio: ['pipe', 'pipe', 'pipe'],
  });
  let log = '';
  child.stderr.on('data', (d) => (log += d.toString('utf8')));
  while (!log.includes('Połączono z Orvinem')) await new Promise((r) => setTimeout(r, 20));
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
  const bridge = new LeanBridge(['-dir', 'C:\\crm', 'benchmark-linked']);
  const call = (id) => ({
    jsonrpc: '2.0', id, method: 'tools/call',
    params: { name: 'klienci_szukaj', arguments: { fraza: 'sp' } },
  });
  try {
    await bridge.waitForLog('Połączono z Orvinem');
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

    const peak = bridgePeakKiB('benchmark-linked');
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

    console.log('Linked to the stand-in');
    console.log(`  tools/call through the bridge, ${ROUNDS} requests:           ${figures(forwarded)}`);
    console.log(`  the same posted straight to the endpoint, new connection each: ${figures(direct)}`);
    console.log(`  peak memory of the bridge process: ${(peak / 1024).toFixed(1)} MiB`);
    await cpuFigures(call);
    console.log(`  one reply of ${(relayed.bytes / 1048576).toFixed(1)} MiB relayed in ${ms(relayed.elapsed)} ms` +
      ` (posted straight to the endpoint: ${ms(posted)} ms)`);
  } finally {
    bridge.child.kill();
    await standIn.stop();
  }
}

// Peak memory of a bridge of its own that relays one large reply, beside the
// reply's size: the reply is held once, not copied on its way through.
async function largeReplyMemory(megabytes) {
  const standIn = await StandIn.start({ folder: 'crm', args: ['-test-tools'] });
  const marker = 'benchmark-large-reply';
  const child = spawn('wine', [winPath(RELAY_EXE), winPath(BRIDGE_EXE), '-dir', 'C:\\crm', marker], {
    env: wineEnv(),
    stdio: ['pipe', 'pipe', 'pipe'],
  });
  try {
    let log = '';
    child.stderr.on('data', (d) => (log += d.toString('utf8')));
    while (!log.includes('Połączono z Orvinem')) await new Promise((r) => setTimeout(r, 20));
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

await offline();
await linked();
await takeInLongLine(64);
await largeReplyMemory(200);
