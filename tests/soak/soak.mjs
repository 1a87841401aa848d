// The soak: three bridges on one CRM folder (one cache file), each with a client
// of its own, under faults at random times from a seed, for a given number of
// minutes; then the counts that must be 0, the samples over time and a picture.
//   node tests/soak/soak.mjs [minutes]      (scripts/soak.sh builds first)
// SOAK_SEED=<n> replays a run's schedule. SOAK_CHECK=lose makes the stand-in
// never answer one tools/call in a hundred, to see the run fail as it must.
// Writes build/soak/: summary.json, report.md, soak.svg, each bridge's log and the
// stand-ins' records. Exit code 0 only when every count is 0, no figure grew past
// its margin and every bridge ended with code 0 within 6 s.
import { mkdirSync, rmSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { randomInt } from 'node:crypto';
import { REPO_ROOT, wineEnv, wineTempFolder } from '../e2e/harness.mjs';
import { delay, warmUp } from '../e2e/link-support.mjs';
import { Random, makeToken } from './random.mjs';
import { makeSchedule, minimumFaults } from './schedule.mjs';
import { Crm, FOLDER, freePort } from './crm.mjs';
import { LegacySdkClient, ModernSdkClient, RawLineClient } from './clients.mjs';
import { MARGINS, leakCheck, linuxCpuMs, linuxPid, processFigures, wineServerPid, withCpuShare } from './samples.mjs';
import { drawChart } from './chart.mjs';
import { writeReport } from './report.mjs';

const minutes = Number(process.argv[2] ?? process.env.SOAK_MINUTES ?? 10);
if (!(minutes > 0)) {
  console.error('usage: node tests/soak/soak.mjs [minutes]');
  process.exit(2);
}
const seed = process.env.SOAK_SEED !== undefined ? Number(process.env.SOAK_SEED) >>> 0 : randomInt(2 ** 32 - 1);
const check = process.env.SOAK_CHECK ?? '';
const OUT = join(REPO_ROOT, 'build', 'soak');
const CRM_FOLDER = `C:\\${FOLDER}`;
const EXIT_LIMIT_MS = 6000;
const DRAIN_LIMIT_MS = 60000;
const lengthMs = Math.round(minutes * 60000);
// Every 30 s, and in a short run often enough for each quarter to have a few samples.
const samplePeriodMs = Math.min(30000, Math.max(3000, Math.floor(lengthMs / 20)));

rmSync(OUT, { recursive: true, force: true });
mkdirSync(OUT, { recursive: true });
const runLog = [];
const t0 = Date.now();
const note = (text) => {
  const line = `[${((Date.now() - t0) / 1000).toFixed(1).padStart(7)} s] ${text}`;
  runLog.push(line);
  console.log(line);
};

note(`soak of ${minutes} min, seed ${seed}${check ? `, check mode ${check}` : ''}`);
wineEnv();
warmUp();
// The folder's one cache file starts empty, as on a machine that never ran the bridge.
const cacheFile = join(wineTempFolder().host, `OrvinMCP_C__${FOLDER}_narzedzia.json`);
rmSync(cacheFile, { force: true });

const random = new Random(seed);
const schedule = makeSchedule(random.fork(1), minutes);
const crm = new Crm(OUT, note);
await crm.start(await freePort(), makeToken(random.fork(2)));
if (check === 'lose') await crm.command('/lose?every=100');
const clients = [
  new LegacySdkClient(random.fork(3), CRM_FOLDER),
  new ModernSdkClient(random.fork(4), CRM_FOLDER),
  new RawLineClient(random.fork(5), CRM_FOLDER, minutes),
];
await Promise.all(clients.map((c) => c.start()));
note('three bridges started');

const startedAt = Date.now();
const since = () => Date.now() - startedAt;
let running = true;

// Samples of each bridge: t is ms since the start of the load.
const samples = clients.map(() => []);
// A Wine server that ends takes every bridge with it: the report must say so
// rather than leave only the answers that never came.
const prefix = wineEnv().WINEPREFIX;
const wineServer = wineServerPid(prefix);
let wineServerGone = false;
async function sample() {
  if (!wineServerGone && wineServer !== undefined && wineServerPid(prefix) !== wineServer) {
    wineServerGone = true;
    note(`the Wine server of the run (Linux pid ${wineServer}) has ended: the bridges and stand-ins it ran end or hang with it`);
  }
  const pids = clients.map((c) => c.windowsPid());
  const figures = await processFigures(pids.filter((p) => p !== undefined));
  const t = since();
  clients.forEach((c, i) => {
    const f = figures.get(pids[i]);
    c.linuxPid ??= linuxPid('ORVIN_SOAK_BRIDGE', c.letter);
    if (f && f.error === undefined) samples[i].push({ t, workingSet: f.workingSet, threads: f.threads, handles: f.handles, cpuMs: linuxCpuMs(c.linuxPid), handleSource: f.handleSource });
  });
}
await sample();
let sampling = Promise.resolve();
const sampler = setInterval(() => {
  sampling = sampling.then(sample);
}, samplePeriodMs);

// The faults, one after another at their times.
const faultsDone = [];
const faultRun = (async () => {
  for (const event of schedule) {
    if (event.at >= lengthMs) break;
    const wait = event.at - since();
    if (wait > 0) await delay(wait);
    if (!running) break;
    const at = since();
    if (check === 'lose' && (event.kind === 'windowRestart' || event.kind === 'newPort')) {
      await crm.apply(event);
      await crm.command('/lose?every=100');
    } else {
      await crm.apply(event);
    }
    faultsDone.push({ t: at, kind: event.kind, ms: since() - at, ...(event.step ? { step: event.step } : {}) });
  }
})();

const load = Promise.all(clients.map((c) => c.run(() => running, startedAt, lengthMs)));
await delay(lengthMs);
running = false;
note(`load over after ${(since() / 1000).toFixed(0)} s; ${faultsDone.length} faults applied`);
await faultRun;
if (!crm.standIn) await crm.start(crm.port, makeToken(random.fork(6)));
await crm.calm();

// Every answer that may still come gets its time; the raw client reads at full speed again.
const clientsRaw = clients[2];
clientsRaw.slowUntil = 0;
const drainStart = Date.now();
while (clients.some((c) => c.ledger.outstanding() > 0) && Date.now() - drainStart < DRAIN_LIMIT_MS) await delay(200);
await Promise.race([load, delay(5000)]);
note(`drained in ${((Date.now() - drainStart) / 1000).toFixed(1)} s; outstanding: ${clients.map((c) => c.ledger.outstanding()).join(', ')}`);
clearInterval(sampler);
await sampling;
await sample();

// The end: each client closes its bridge's input with calls in flight.
const exits = await Promise.all(clients.map((c) => c.finish()));
clients.forEach((c, i) => note(`${c.name}: exit code ${exits[i].code} after ${exits[i].ms} ms`));
await crm.stop();
for (const c of clients) c.ledger.close();

// The stand-ins' own record: what reached the CRM application, and every token issued.
const { requests: arrived, tokens } = crm.readRecords();
const recordCounts = countArrivals(arrived, clients);
const tokenLeaks = findTokens(clients, tokens);

const leaks = clients.map((c, i) => ({ bridge: c.name, check: leakCheck(withCpuShare(samples[i]), lengthMs) }));
const invariants = {
  answersLost: sum(clients, 'answersLost'),
  answersDuplicated: sum(clients, 'answersDuplicated'),
  answersMisaddressed: sum(clients, 'answersMisaddressed'),
  answersToCancelled: sum(clients, 'answersToCancelled'),
  invalidOutputLines: sum(clients, 'invalidLines'),
  requestsReachedTwice: recordCounts.reachedTwice,
  abandonedCallsRunTwice: recordCounts.abandonedRunTwice,
  modernResultsWithoutResultType: sum(clients, 'modernWithoutResultType'),
  modernListChangesWithoutStamp: sum(clients, 'listChangedWithoutStamp'),
  tokensInLogs: tokenLeaks.length,
  progressNotRising: sum(clients, 'progressNotRising'),
  progressAfterAnswer: sum(clients, 'progressAfterAnswer'),
};
const exitProblems = exits.filter((e) => e.code !== 0 || e.ms > EXIT_LIMIT_MS).length;
const leakProblems = leaks.flatMap((l) => Object.entries(l.check).filter(([, v]) => v.leak).map(([k]) => `${l.bridge}: ${k}`));
const failed = Object.values(invariants).some((v) => v !== 0) || exitProblems > 0 || leakProblems.length > 0;

const faultCounts = {};
for (const f of faultsDone) faultCounts[f.kind] = (faultCounts[f.kind] ?? 0) + 1;
const summary = {
  result: failed ? 'FAILED' : 'passed',
  seed, minutes, check: check || undefined,
  started: new Date(startedAt).toISOString(),
  invariants,
  exits: clients.map((c, i) => ({ bridge: c.name, code: exits[i].code, ms: exits[i].ms, limitMs: EXIT_LIMIT_MS })),
  leakCheck: { margins: MARGINS, samplePeriodMs, bridges: leaks, problems: leakProblems },
  requests: {
    total: clients.reduce((a, c) => a + c.ledger.info.requests, 0),
    perBridge: Object.fromEntries(clients.map((c) => [c.name, c.ledger.info])),
    reachedCrm: recordCounts.handled,
    retriesOfCancelled: recordCounts.retries.abandoned,
    retriesAfterMayHaveRun: recordCounts.retries.mayHaveRun,
    largeReplies: clientsRaw.largeReplies,
    slowReadingStretches: clientsRaw.slowStretches.length,
    modernListChangesSeenBySdk: clients[1].listChanges,
  },
  faults: { counts: faultCounts, minimum: minimumFaults(minutes), tokensIssued: tokens.length, standInLives: crm.launches },
  samples: clients.map((c, i) => ({ bridge: c.name, first: samples[i][0], last: samples[i].at(-1), count: samples[i].length })),
};
writeFileSync(join(OUT, 'summary.json'), JSON.stringify(summary, null, 2) + '\n');
clients.forEach((c, i) => writeFileSync(join(OUT, `bridge-${['legacy', 'modern', 'raw'][i]}.log`), c.log));
writeFileSync(join(OUT, 'soak.svg'), drawChart({
  title: `OrvinMCP soak: ${minutes} min, seed ${seed}, ${summary.result}`,
  bridges: clients.map((c, i) => ({ name: c.name, samples: withCpuShare(samples[i]) })),
  faults: faultsDone,
  endMs: Math.max(lengthMs, samples.flat().reduce((a, s) => Math.max(a, s.t), 0)),
}));
writeReport(join(OUT, 'report.md'), { summary, clients, tokenLeaks, tokens, recordCounts, faultsDone, runLog });
writeFileSync(join(OUT, 'run.log'), runLog.join('\n') + '\n');

console.log(`\n${summary.result}: ${Object.entries(invariants).map(([k, v]) => `${k} ${v}`).join(', ')}`);
if (exitProblems) console.log(`bridge ends: ${summary.exits.map((e) => `${e.code} in ${e.ms} ms`).join(', ')}`);
if (leakProblems.length) console.log(`grew past the margin: ${leakProblems.join('; ')}`);
console.log(`seed ${seed}; see ${join(OUT, 'report.md')} and soak.svg`);
process.exit(failed ? 1 : 0);

function sum(list, count) {
  return list.reduce((a, c) => a + c.ledger.counts[count], 0);
}

// Per nonce: how often a client sent it, and how often it reached the CRM
// application and was carried out (or may have been: a stand-in that ended before
// it answered). More arrivals than sends is a request sent twice by a bridge; a
// retry of a cancelled call that reached the CRM application as well as its
// original is an abandoned call run twice.
function countArrivals(requests, clientList) {
  const handled = new Map();
  const arrivals = new Map();
  let handledTotal = 0;
  for (const r of requests) {
    if (r.method !== 'tools/call' || r.handled === false) continue;
    const nonce = /soak[LMR]\d{6}/.exec(r.body)?.[0];
    if (!nonce) continue;
    handled.set(nonce, (handled.get(nonce) ?? 0) + 1);
    arrivals.set(nonce, [...(arrivals.get(nonce) ?? []), { life: r.life, seq: r.seq, id: r.id, status: r.status ?? 'none (the stand-in ended first)' }]);
    handledTotal++;
  }
  const sends = new Map();
  for (const c of clientList) {
    for (const entry of c.ledger.requests.values()) if (entry.nonce) sends.set(entry.nonce, (sends.get(entry.nonce) ?? 0) + 1);
  }
  const retries = { abandoned: 0, mayHaveRun: 0 };
  const retryKind = new Map();
  const retryOf = new Map();
  for (const r of clientList[2].retries) {
    retries[r.kind]++;
    retryKind.set(r.nonce, r.kind);
    retryOf.set(r.nonce, r);
  }
  let reachedTwice = 0, abandonedRunTwice = 0;
  const twice = [];
  for (const [nonce, n] of handled) {
    const sent = sends.get(nonce) ?? 0;
    if (n > sent) {
      reachedTwice += n - sent;
      twice.push({ nonce, arrived: n, sent, kind: 'reached twice', arrivals: arrivals.get(nonce) });
    } else if (n >= 2 && retryKind.get(nonce) === 'abandoned') {
      abandonedRunTwice++;
      const { original, retry } = retryOf.get(nonce);
      const ledger = clientList[2].ledger;
      twice.push({
        nonce, arrived: n, sent, kind: 'abandoned call run twice', arrivals: arrivals.get(nonce),
        original: ledger.requests.get(original), retry: ledger.requests.get(retry),
      });
    }
  }
  return { handled: handledTotal, reachedTwice, abandonedRunTwice, retries, twice };
}

// Every issued token in every form a text may carry it, in every bridge's log:
// as it is, with JSON's "\/", "\u002f" and percent escapes in either case.
function findTokens(clientList, issued) {
  const found = [];
  for (const c of clientList) {
    const lines = c.log.split(/\r?\n/);
    for (const line of lines) {
      const plain = line
        .replace(/\\\//g, '/')
        .replace(/\\u00(2f|2b|3d)/gi, (m, code) => String.fromCharCode(parseInt(code, 16)))
        .replace(/%(2f|2b|3d)/gi, (m, code) => String.fromCharCode(parseInt(code, 16)));
      for (const token of issued) {
        if (plain.includes(token)) found.push({ bridge: c.name, token: issued.indexOf(token) + 1, line });
      }
    }
  }
  return found;
}
