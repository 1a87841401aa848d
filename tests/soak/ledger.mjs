// What one bridge was asked and what it answered, line by line, with the counts
// that must stay 0. Every request line a client writes goes through sent(), every
// line the bridge writes through received(): the same checks for the SDK clients
// (whose transports are tapped) as for the raw client.

import { StringDecoder } from 'node:string_decoder';

export const MAY_HAVE_RUN = 'MOGŁO';
const SUBSCRIPTION = 'io.modelcontextprotocol/subscriptionId';
const PROTOCOL = 'io.modelcontextprotocol/protocolVersion';
// An answer this long after the client's cancel, while the client read at full
// speed, was written after the bridge had read the cancel.
export const CANCEL_GRACE_MS = 3000;
const NONCE = /soak[LMR]\d{6}/g;

const excerpt = (text, length = 300) => (text.length > length ? `${text.slice(0, length)}… (${text.length} bytes)` : text);

export class Ledger {
  constructor(name, { modernSubscriptions = false } = {}) {
    this.name = name;
    this.checkStamps = modernSubscriptions;
    this.requests = new Map();  // the id as JSON text -> entry
    this.byProgressToken = new Map();
    this.subscriptions = new Set();
    this.counts = {
      answersLost: 0, answersDuplicated: 0, answersMisaddressed: 0, answersToCancelled: 0,
      invalidLines: 0, modernWithoutResultType: 0, listChangedWithoutStamp: 0,
      progressNotRising: 0, progressAfterAnswer: 0,
    };
    this.info = {
      requests: 0, answers: 0, cancels: 0, cancelRaced: 0, mayHaveRun: 0, errors: 0, localAnswers: 0,
      progressNotices: 0, listChanged: 0, malformedSent: 0, malformedAnswered: 0, notifications: 0, bytesIn: 0,
      finalInFlight: 0,
    };
    this.anomalies = [];
    this.partial = '';
    // A character of several bytes may be split between two reads.
    this.decoder = new StringDecoder('utf8');
  }

  anomaly(kind, text, entry) {
    this.anomalies.push({ bridge: this.name, kind, at: Date.now(), id: entry?.key, nonce: entry?.nonce, line: excerpt(text) });
  }

  // A message the client writes. `expect` says what a correct answer holds.
  sent(message, { expect, nonce, final = false } = {}) {
    if (message.method === 'notifications/cancelled') {
      const entry = this.requests.get(JSON.stringify(message.params?.requestId));
      if (entry && entry.cancelledAt === undefined) entry.cancelledAt = Date.now();
      this.info.cancels++;
      return;
    }
    if (message.id === undefined || message.method === undefined) return;
    const key = JSON.stringify(message.id);
    const args = message.params?.arguments;
    const entry = {
      key, method: message.method, tool: message.params?.name, sentAt: Date.now(), answers: 0,
      modern: message.params?._meta?.[PROTOCOL] !== undefined, final: final || this.finalPhase === true,
      nonce: nonce ?? (typeof args?.nonce === 'string' ? args.nonce : undefined),
      expect: expect ?? expectationOf(message),
    };
    const token = message.params?._meta?.progressToken;
    if (token !== undefined) {
      entry.progressToken = JSON.stringify(token);
      this.byProgressToken.set(entry.progressToken, entry);
    }
    if (message.method === 'subscriptions/listen') this.subscriptions.add(message.id);
    if (entry.final) this.info.finalInFlight++;
    this.requests.set(key, entry);
    this.info.requests++;
  }

  malformedSent() {
    this.info.malformedSent++;
  }

  // Bytes of the bridge's standard output; `fullSpeedSince` when the client last
  // began to read everything as it came (Infinity while it reads slowly): what the
  // bridge wrote before that may still stand in the pipe.
  chunk(data, fullSpeedSince = 0) {
    this.info.bytesIn += data.length;
    const parts = (this.partial + this.decoder.write(data)).split('\n');
    this.partial = parts.pop();
    for (const line of parts) this.received(line, fullSpeedSince);
  }

  received(line, fullSpeedSince) {
    const now = Date.now();
    let message;
    try {
      message = JSON.parse(line);
    } catch {
      message = undefined;
    }
    if (message === null || typeof message !== 'object' || Array.isArray(message) || message.jsonrpc !== '2.0') {
      this.counts.invalidLines++;
      this.anomaly('invalid output line', line);
      return;
    }
    if (message.method !== undefined) {
      this.notification(message, line);
      return;
    }
    if (message.id === null) {
      if (message.error?.code === -32700 && this.info.malformedSent > this.info.malformedAnswered) {
        this.info.malformedAnswered++;
      } else {
        this.counts.answersMisaddressed++;
        this.anomaly('answer with id null', line);
      }
      return;
    }
    const entry = this.requests.get(JSON.stringify(message.id));
    if (!entry) {
      this.counts.answersMisaddressed++;
      this.anomaly('answer to an id never sent', line);
      return;
    }
    entry.answers++;
    entry.answeredAt = now;
    this.info.answers++;
    if (entry.answers > 1) {
      this.counts.answersDuplicated++;
      this.anomaly('second answer', line, entry);
    }
    if (entry.cancelledAt !== undefined) {
      // An answer written before the cancel came may wait behind a slow reader's backlog.
      if (now - Math.max(entry.cancelledAt, fullSpeedSince) > CANCEL_GRACE_MS) {
        this.counts.answersToCancelled++;
        this.anomaly(`answer ${now - entry.cancelledAt} ms after the cancel`, line, entry);
      } else {
        this.info.cancelRaced++;
      }
    }
    const others = [...new Set(line.match(NONCE) ?? [])].filter((n) => n !== entry.nonce);
    const wrong = others.length > 0 ? `another request's content (${others.join(', ')})` : contentProblem(entry, message);
    if (wrong) {
      this.counts.answersMisaddressed++;
      this.anomaly(`misaddressed: ${wrong}`, line, entry);
    }
    if (entry.modern && message.result !== undefined && message.result?.resultType === undefined) {
      this.counts.modernWithoutResultType++;
      this.anomaly('modern result without resultType', line, entry);
    }
    const text = message.error?.message ?? message.result?.content?.[0]?.text ?? '';
    if (message.error) this.info.errors++;
    if (typeof text === 'string' && text.includes(MAY_HAVE_RUN)) {
      entry.mayHaveRun = true;
      this.info.mayHaveRun++;
    }
    if (message.result?.isError) entry.isError = true;
    entry.error = message.error;
  }

  notification(message, line) {
    this.info.notifications++;
    if (message.method === 'notifications/progress') {
      this.info.progressNotices++;
      const entry = this.byProgressToken.get(JSON.stringify(message.params?.progressToken));
      const value = message.params?.progress;
      if (!entry) {
        this.counts.progressNotRising++;
        this.anomaly('progress for a token never sent', line);
        return;
      }
      if (entry.answers > 0) {
        this.counts.progressAfterAnswer++;
        this.anomaly('progress after the answer', line, entry);
      }
      if (typeof value !== 'number' || (entry.lastProgress !== undefined && value <= entry.lastProgress)) {
        this.counts.progressNotRising++;
        this.anomaly(`progress ${value} after ${entry.lastProgress}`, line, entry);
      }
      entry.lastProgress = value;
      entry.progressCount = (entry.progressCount ?? 0) + 1;
    } else if (message.method === 'notifications/tools/list_changed') {
      this.info.listChanged++;
      const stamp = message.params?._meta?.[SUBSCRIPTION];
      if (this.checkStamps && !this.subscriptions.has(stamp)) {
        this.counts.listChangedWithoutStamp++;
        this.anomaly('list change without its subscription\'s stamp', line);
      }
    }
  }

  // At the end: requests nobody cancelled that got no answer.
  close() {
    for (const entry of this.requests.values()) {
      if (entry.final || entry.cancelledAt !== undefined || entry.answers > 0) continue;
      if (entry.method === 'subscriptions/listen') continue;  // open as long as the client listens
      this.counts.answersLost++;
      this.anomaly(`no answer to ${entry.method}${entry.tool ? ` ${entry.tool}` : ''} sent ${new Date(entry.sentAt).toISOString()}`, '', entry);
    }
  }

  // The unanswered requests that a drain still waits for.
  outstanding() {
    let n = 0;
    for (const entry of this.requests.values()) {
      if (!entry.final && entry.cancelledAt === undefined && entry.answers === 0 && entry.method !== 'subscriptions/listen') n++;
    }
    return n;
  }
}

// Where an echo and the arguments part: member by member, the first differing character.
function difference(echoed, args) {
  if (echoed === null || typeof echoed !== 'object') return `the echo is ${typeof echoed}`;
  const parts = [];
  for (const key of new Set([...Object.keys(args), ...Object.keys(echoed)])) {
    const a = JSON.stringify(args[key]) ?? 'nothing', b = JSON.stringify(echoed[key]) ?? 'nothing';
    if (a === b) continue;
    let i = 0;
    while (i < a.length && a[i] === b[i]) i++;
    parts.push(`${key}: sent ${a.length} characters, echoed ${b.length}, first difference at ${i}: sent ${JSON.stringify(a.slice(i, i + 20))}, echoed ${JSON.stringify(b.slice(i, i + 20))}`);
  }
  return parts.join('; ') || 'member order';
}

function expectationOf(message) {
  const { method, params } = message;
  if (method !== 'tools/call') return { kind: method };
  const args = params?.arguments ?? {};
  if (params.name === 'test_echo') return { kind: 'echo', args };
  if (params.name === 'test_sleep') return { kind: 'sleep', ms: args.ms };
  if (params.name === 'test_large') return { kind: 'large', bytes: args.mb * 1048576 };
  return { kind: 'call' };
}

// What is wrong with a good answer's content, or undefined. Errors and results
// marked isError carry the bridge's or the CRM's explanation: only their nonce is checked.
function contentProblem(entry, message) {
  const { expect } = entry;
  if (message.error !== undefined) return message.result === undefined ? undefined : 'both result and error';
  const result = message.result;
  if (result === null || typeof result !== 'object') return 'no result object';
  if (result.isError) return undefined;
  const text = result.content?.[0]?.text;
  switch (expect?.kind) {
    case 'echo': {
      let echoed;
      try {
        echoed = JSON.parse(text);
      } catch {
        return 'the echo is no JSON';
      }
      return JSON.stringify(echoed) === JSON.stringify(expect.args) ? undefined : `the echo differs from the arguments: ${difference(echoed, expect.args)}`;
    }
    case 'sleep':
      return text === `Odczekano ${expect.ms} ms.` ? undefined : `"${excerpt(String(text), 60)}" for ${expect.ms} ms`;
    case 'large':
      return typeof text === 'string' && text.length === expect.bytes ? undefined : `a text of ${text?.length} bytes, not ${expect.bytes}`;
    case 'tools/list':
      return Array.isArray(result.tools) ? undefined : 'no tools';
    default:
      return undefined;
  }
}
