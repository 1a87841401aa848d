// The faults of one run, decided in advance from the seed: what happens when.
// Faults of the CRM application as a whole (token rotations, the window closed
// and started again, the endpoint switched off, a new port) come in a number that
// grows with the run's length; faults of single requests (delays, cut
// connections, errors, pages that are no MCP message) fill the time between.
import { makeToken } from './random.mjs';

// How many of each whole-application fault a run of `minutes` has at least.
export function minimumFaults(minutes) {
  return {
    rotation: Math.max(1, Math.ceil(0.4 * minutes)),
    windowRestart: Math.max(1, Math.ceil(0.3 * minutes)),
    endpointPause: Math.max(1, Math.ceil(0.3 * minutes)),
    newPort: Math.max(1, Math.ceil(0.1 * minutes)),
  };
}

const BREAK_STEPS = ['accept', 'headers', 'body', 'status', 'midbody'];

function requestFault(random) {
  const kind = random.weighted({ delay: 3, cut: 4, toolsListError: 1, page: 1, quote: 1, listenPause: 1 });
  switch (kind) {
    case 'delay':
      return { kind, ms: random.int(300, 4000), forMs: random.int(1000, 5000) };
    case 'cut':
      return { kind, step: random.pick(BREAK_STEPS), count: random.int(1, 3), reset: random.chance(0.7) };
    case 'toolsListError':
      return { kind, forMs: random.int(1000, 4000) };
    case 'page':  // an HTML error page quoting the tokens, percent-encoded
      return { kind, forMs: random.int(300, 1500) };
    case 'quote':  // a JSON-RPC error quoting the tokens, as they are and escaped
      return { kind, forMs: random.int(300, 1500) };
    default:  // the listening socket closed for a moment: connections refused
      return { kind, forMs: random.int(500, 3000) };
  }
}

// [{ at (ms from the start), kind, ... }], in order of time.
export function makeSchedule(random, minutes) {
  const length = minutes * 60000;
  const events = [];
  const within = () => random.int(Math.round(length * 0.04), Math.round(length * 0.82));
  const wanted = minimumFaults(minutes);
  for (let i = 0; i < wanted.rotation; i++) events.push({ at: within(), kind: 'rotation', token: makeToken(random) });
  for (let i = 0; i < wanted.windowRestart; i++) {
    events.push({ at: within(), kind: 'windowRestart', downMs: random.int(500, 8000), token: makeToken(random) });
  }
  for (let i = 0; i < wanted.endpointPause; i++) {
    const rotate = random.chance(0.5);
    events.push({ at: within(), kind: 'endpointPause', forMs: random.int(1500, 8000), rotate });
  }
  for (let i = 0; i < wanted.newPort; i++) {
    events.push({ at: within(), kind: 'newPort', downMs: random.int(500, 5000), token: makeToken(random) });
  }
  // A fault of single requests every 2 to 9 s.
  for (let at = random.int(2000, 9000); at < length * 0.85; at += random.int(2000, 9000)) {
    events.push({ at, ...requestFault(random) });
  }
  return events.sort((a, b) => a.at - b.at);
}
