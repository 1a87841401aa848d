// Prints figures for the real OrvinMCP.exe under Wine: start-up, local round
// trips and memory without a CRM application; forwarded round trips beside
// direct posts to the stand-in's endpoint, and the relay of one 10 MB reply.
// Run after scripts/build.sh:  node bench/bridge-bench.mjs
import { readFileSync, readdirSync } from 'node:fs';
import { spawn } from 'node:child_process';
import { BRIDGE_EXE, Bridge, RELAY_EXE, StandIn, winPath, wineEnv } from '../tests/e2e/harness.mjs';

const ROUNDS = 1000;

function percentile(values, p) {
  const sorted = [...values].sort((a, b) => (a < b ? -1 : a > b ? 1 : 0));
  return sorted[Math.min(sorted.length - 1, Math.floor((p / 100) * sorted.length))];
}

const ms = (ns) => (Number(ns) / 1e6).toFixed(2);

// Peak resident memory of the Wine process that runs the bridge itself.
function bridgePeakKiB() {
  for (const pid of readdirSync('/proc')) {
    if (!/^\d+$/.test(pid)) continue;
    try {
      const cmd = readFileSync(`/proc/${pid}/cmdline`, 'latin1');
      if (!cmd.includes('OrvinMCP.exe') || cmd.includes('StdinRelay')) continue;
      const hwm = /VmHWM:\s+(\d+) kB/.exec(readFileSync(`/proc/${pid}/status`, 'latin1'));
      if (hwm) return Number(hwm[1]);
    } catch {
      // the process may have ended meanwhile
    }
  }
  return NaN;
}

async function roundTrips(bridge, makeRequest, count) {
  const times = [];
  for (let i = 0; i < count; i++) {
    const started = process.hrtime.bigint();
    await bridge.exchange(makeRequest(1000 + i), { timeoutMs: 60000 });
    times.push(process.hrtime.bigint() - started);
  }
  return times;
}

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
  const { bridge } = await startToInitialize();
  const times = await roundTrips(bridge, (id) => ({ jsonrpc: '2.0', id, method: 'tools/list' }), ROUNDS);
  const peak = bridgePeakKiB();
  await bridge.finish();
  console.log('Without a CRM application');
  console.log(`  process start to initialize answer, median of ${starts.length}: ${ms(toInitialize)} ms`);
  console.log(`  tools/list round trip, median of ${ROUNDS}: ${ms(percentile(times, 50))} ms`);
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
  const bridge = Bridge.start({ args: ['-dir', 'C:\\crm'] });
  try {
    await bridge.waitForLog((l) => l.startsWith('Połączono z Orvinem'), { timeoutMs: 60000 });
    const call = (id) => ({
      jsonrpc: '2.0', id, method: 'tools/call',
      params: { name: 'klienci_szukaj', arguments: { fraza: 'sp' } },
    });
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

    const relayed = await relayLargeReply(10);

    console.log('Linked to the stand-in');
    console.log(`  tools/call through the bridge, ${ROUNDS} requests: median ${ms(percentile(forwarded, 50))} ms, ` +
      `95th percentile ${ms(percentile(forwarded, 95))} ms`);
    console.log(`  the same posted straight to the endpoint:      median ${ms(percentile(direct, 50))} ms, ` +
      `95th percentile ${ms(percentile(direct, 95))} ms`);
    console.log(`  one reply of ${(relayed.bytes / 1048576).toFixed(1)} MiB relayed in ${ms(relayed.elapsed)} ms`);
    console.log(`  peak memory of the bridge process: ${(bridgePeakKiB() / 1024).toFixed(1)} MiB`);
  } finally {
    await bridge.finish().catch(() => bridge.kill());
    await standIn.stop();
  }
}

// Peak memory of a bridge of its own that relays one large reply, beside the
// reply's size: the reply is held once, not copied on its way through.
async function largeReplyMemory(megabytes) {
  const standIn = await StandIn.start({ folder: 'crm', args: ['-test-tools'] });
  const child = spawn('wine', [winPath(RELAY_EXE), winPath(BRIDGE_EXE), '-dir', 'C:\\crm'], {
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
    const peak = bridgePeakKiB();
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
await largeReplyMemory(200);
