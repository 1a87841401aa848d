// Samples of each bridge over time: working set, threads and handles as Windows
// reports them to ProcessFigures.exe (GetProcessMemoryInfo, a toolhelp count of
// threads, GetProcessHandleCount or the system's handle table); CPU time from
// /proc of the Wine process that runs the bridge, since Wine's GetProcessTimes
// gives next to nothing for another process. And the check for a leak between
// the second quarter of the run and the last.
import { spawn } from 'node:child_process';
import { readFileSync, readdirSync } from 'node:fs';
import { join } from 'node:path';
import { BIN_DIR, BRIDGE_EXE, requireBuilt, winPath, wineEnv } from '../e2e/harness.mjs';

export const FIGURES_EXE = join(BIN_DIR, 'ProcessFigures.exe');

// The margins a figure may grow by from the second quarter to the last quarter's
// median. Threads are measured from the second quarter's highest sample: the
// bridge's worker pool keeps as many threads as exchanges ever ran at once, so
// they rise in steps with the load's peaks without leaking. The working set is
// measured by each quarter's lowest sample: a 20 MB reply held while the client
// reads slowly, and the answers of cancelled calls kept for a retry, raise its
// peaks for a while; a leak raises its floor.
export const MARGINS = {
  workingSet: { relative: 0.25, absolute: 10 * 1048576, unit: 'bytes', from: 'lowest', to: 'lowest' },
  handles: { relative: 0.25, absolute: 30, unit: 'handles', from: 'median' },
  threads: { relative: 0.25, absolute: 6, unit: 'threads', from: 'highest' },
  cpuShare: { relative: 1.0, absolute: 0.05, unit: 'of one core', from: 'median' },
};

// One line per Windows process id: { pid, running, workingSet, handles, threads, cpuMs, ... }.
export function processFigures(pids) {
  requireBuilt(FIGURES_EXE);
  return new Promise((resolve) => {
    const child = spawn('wine', [winPath(FIGURES_EXE), ...pids.map(String)], { env: wineEnv(), stdio: ['ignore', 'pipe', 'ignore'] });
    let out = '';
    child.stdout.on('data', (d) => (out += d.toString('utf8')));
    const timer = setTimeout(() => child.kill('SIGKILL'), 20000);
    child.on('close', () => {
      clearTimeout(timer);
      const figures = new Map();
      for (const line of out.split(/\r?\n/)) {
        try {
          const value = JSON.parse(line);
          figures.set(value.pid, value);
        } catch {
          // an empty or cut line
        }
      }
      resolve(figures);
    });
  });
}

// The first Linux process whose command line passes `command` and whose
// environment holds `variable` (NAME=value).
function findLinuxProcess(command, variable) {
  for (const pid of readdirSync('/proc')) {
    if (!/^\d+$/.test(pid)) continue;
    try {
      if (!command(readFileSync(`/proc/${pid}/cmdline`, 'latin1'))) continue;
      if (readFileSync(`/proc/${pid}/environ`, 'latin1').split('\0').includes(variable)) return Number(pid);
    } catch {
      // ended meanwhile
    }
  }
  return undefined;
}

// The Linux process that runs this build's bridge with the variable `name`=`value`.
export function linuxPid(name, value) {
  return findLinuxProcess((command) => command.startsWith(winPath(BRIDGE_EXE)), `${name}=${value}`);
}

// The Linux process of the Wine server that runs the programs of `prefix`.
export function wineServerPid(prefix) {
  return findLinuxProcess((command) => command.split('\0')[0].includes('wineserver'), `WINEPREFIX=${prefix}`);
}

// User and system time of a Linux process, in milliseconds.
export function linuxCpuMs(pid) {
  try {
    const fields = readFileSync(`/proc/${pid}/stat`, 'latin1').split(') ')[1].split(' ');
    return ((Number(fields[11]) + Number(fields[12])) * 1000) / 100;  // clock ticks of 10 ms
  } catch {
    return undefined;
  }
}

const median = (values) => {
  const sorted = [...values].sort((a, b) => a - b);
  return sorted.length === 0 ? undefined : sorted[Math.floor((sorted.length - 1) / 2)];
};

const statistic = (name, values) => {
  if (values.length === 0) return undefined;
  if (name === 'highest') return Math.max(...values);
  if (name === 'lowest') return Math.min(...values);
  return median(values);
};

// CPU share between consecutive samples (of one core), added to each sample after the first.
export function withCpuShare(samples) {
  return samples.map((s, i) => {
    const before = samples[i - 1];
    if (!before || s.cpuMs === undefined || before.cpuMs === undefined) return s;
    return { ...s, cpuShare: (s.cpuMs - before.cpuMs) / Math.max(1, s.t - before.t) };
  });
}

// For one bridge's samples over a load phase of `lengthMs`: each figure's median in
// the second quarter and in the last, the limit, and whether it was passed.
export function leakCheck(samples, lengthMs) {
  const quarter = (from, to) => samples.filter((s) => s.t >= from * lengthMs && s.t <= to * lengthMs);
  const second = quarter(0.25, 0.5);
  const last = quarter(0.75, 1.0);
  const result = {};
  for (const [figure, margin] of Object.entries(MARGINS)) {
    const a = statistic(margin.from, second.map((s) => s[figure]).filter((v) => v !== undefined));
    const b = statistic(margin.to ?? 'median', last.map((s) => s[figure]).filter((v) => v !== undefined));
    if (a === undefined || b === undefined) {
      result[figure] = { secondQuarter: a, lastQuarter: b, limit: undefined, leak: false, note: 'too few samples' };
      continue;
    }
    const limit = a + Math.max(margin.absolute, margin.relative * a);
    result[figure] = { secondQuarter: a, lastQuarter: b, limit, leak: b > limit };
  }
  return result;
}
