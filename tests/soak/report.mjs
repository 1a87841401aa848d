// report.md: the summary for a person, with every anomaly and the bridge's log
// lines around it.
import { writeFileSync } from 'node:fs';

const MEANING = {
  answersLost: 'requests nobody cancelled that got no answer by the end',
  answersDuplicated: 'second answers to one request',
  answersMisaddressed: 'answers to an id never sent, or whose content is another request\'s or not what the request asked',
  answersToCancelled: 'answers that came more than 3 s after the client cancelled the request and read at full speed',
  invalidOutputLines: 'lines on standard output that are not one JSON-RPC object',
  requestsReachedTwice: 'tool calls the CRM application carried out more often than the client sent them',
  abandonedCallsRunTwice: 'calls cancelled after they went out whose identical retry was carried out as well',
  modernResultsWithoutResultType: 'results to requests of revision 2026-07-28 without resultType',
  modernListChangesWithoutStamp: 'list-changed notices to the modern client without its subscription\'s id',
  tokensInLogs: 'log lines that hold a token the stand-in issued, in any form',
  progressNotRising: 'progress notices whose value did not rise, or for a token never sent',
  progressAfterAnswer: 'progress notices after the request\'s answer',
};

// A token as it is, JSON-escaped and percent-encoded, hex digits in either case: the report shows none.
function tokenForms(token) {
  const escaped = (prefix, upper) => token.replace(/[/+=]/g, (c) => {
    const hex = c.charCodeAt(0).toString(16);
    return prefix + (upper ? hex.toUpperCase() : hex);
  });
  return [token, token.replaceAll('/', '\\/'), escaped('\\u00', true), escaped('\\u00', false), escaped('%', true), escaped('%', false)];
}

const LOG_TIME = /^\[(\d\d):(\d\d):(\d\d)\.(\d{3})\]/;

// The bridge's log lines within two seconds of a moment (the log has the local time of day).
function logAround(log, at, limit = 12) {
  const day = new Date(at);
  const target = ((day.getHours() * 60 + day.getMinutes()) * 60 + day.getSeconds()) * 1000 + day.getMilliseconds();
  const near = [];
  for (const line of log.split(/\r?\n/)) {
    const m = LOG_TIME.exec(line);
    if (!m) continue;
    const ms = ((Number(m[1]) * 60 + Number(m[2])) * 60 + Number(m[3])) * 1000 + Number(m[4]);
    if (Math.abs(ms - target) <= 2000) near.push(line.length > 400 ? `${line.slice(0, 400)}…` : line);
  }
  return near.slice(-limit);
}

export function writeReport(file, { summary, clients, tokenLeaks, tokens, recordCounts, faultsDone, runLog }) {
  const md = [];
  const mask = (text) => tokens.reduce((t, token, i) => tokenForms(token).reduce((u, form) => u.split(form).join(`<token ${i + 1}>`), t), text);
  md.push(`# Soak of ${summary.minutes} min: ${summary.result}`, '');
  md.push(`Seed ${summary.seed} (replay: \`SOAK_SEED=${summary.seed} bash scripts/soak.sh ${summary.minutes}\`), started ${summary.started}.`, '');
  md.push('## Counts that must be 0', '', '| count | value | what it counts |', '|---|---:|---|');
  for (const [name, value] of Object.entries(summary.invariants)) md.push(`| ${name} | ${value} | ${MEANING[name]} |`);
  md.push('', '## The end', '', '| bridge | exit code | ms after its input closed |', '|---|---:|---:|');
  for (const e of summary.exits) md.push(`| ${e.bridge} | ${e.code} | ${e.ms} |`);
  md.push('', `Each must end with code 0 within ${summary.exits[0].limitMs} ms.`, '');
  md.push('## Over time', '', `Samples every ${summary.leakCheck.samplePeriodMs / 1000} s (soak.svg). A figure fails the run when its value in the last quarter of the load exceeds its value in the second quarter by more than the margin: the larger of the absolute and the relative one. The value is the quarter's median, but for threads in the second quarter (its highest sample: the worker pool keeps a thread for each exchange that ever ran at once) and for the working set (each quarter's lowest sample: a reply held for a slow reader and the kept answers of cancelled calls raise the peaks, a leak raises the floor).`, '');
  md.push('| figure | second quarter\'s | last quarter\'s | absolute margin | relative margin |', '|---|---|---|---:|---:|');
  for (const [name, m] of Object.entries(summary.leakCheck.margins)) md.push(`| ${name} | ${m.from} | ${m.to ?? 'median'} | ${m.absolute} ${m.unit} | ${Math.round(m.relative * 100)} % |`);
  md.push('', '| bridge | figure | 2nd quarter | last quarter | limit | |', '|---|---|---:|---:|---:|---|');
  const shown = (v) => (v === undefined ? '–' : Number.isInteger(v) ? String(v) : v.toFixed(3));
  for (const b of summary.leakCheck.bridges) {
    for (const [figure, c] of Object.entries(b.check)) {
      md.push(`| ${b.bridge} | ${figure} | ${shown(c.secondQuarter)} | ${shown(c.lastQuarter)} | ${shown(c.limit)} | ${c.leak ? '**grew past the margin**' : c.note ?? 'ok'} |`);
    }
  }
  md.push('', '## Requests and faults', '');
  md.push(`${summary.requests.total} requests; ${summary.requests.reachedCrm} tool calls carried out by the CRM application; ${summary.requests.retriesOfCancelled} retries of cancelled calls and ${summary.requests.retriesAfterMayHaveRun} retries after "MOGŁO"; ${summary.requests.largeReplies} replies of 20 MB, ${summary.requests.slowReadingStretches} stretches of slow reading.`, '');
  md.push('| bridge | requests | answers | cancels | errors | "MOGŁO" | progress notices | list changes | malformed lines sent / answered | in flight at the end |', '|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|');
  for (const c of clients) {
    const i = c.ledger.info;
    md.push(`| ${c.name} | ${i.requests} | ${i.answers} | ${i.cancels} | ${i.errors} | ${i.mayHaveRun} | ${i.progressNotices} | ${i.listChanged} | ${i.malformedSent} / ${i.malformedAnswered} | ${i.finalInFlight} |`);
  }
  md.push('', `Faults (at least ${JSON.stringify(summary.faults.minimum)}): ${Object.entries(summary.faults.counts).map(([k, v]) => `${k} ${v}`).join(', ')}; ${summary.faults.tokensIssued} tokens issued, ${summary.faults.standInLives} lives of the stand-in.`, '');
  md.push('## Anomalies', '');
  const anomalies = clients.flatMap((c) => c.ledger.anomalies.map((a) => ({ ...a, log: c.log })));
  if (anomalies.length === 0 && tokenLeaks.length === 0 && recordCounts.twice.length === 0) md.push('None.', '');
  for (const a of anomalies.slice(0, 100)) {
    md.push(`### ${a.bridge}: ${a.kind}`, '', `At ${new Date(a.at).toISOString()}${a.id ? `, request id ${a.id}` : ''}${a.nonce ? `, ${a.nonce}` : ''}.`, '');
    if (a.line) md.push('Line:', '```', mask(a.line), '```');
    md.push('The bridge\'s log around it:', '```', ...logAround(a.log, a.at).map(mask), '```', '');
  }
  if (anomalies.length > 100) md.push(`… and ${anomalies.length - 100} more.`, '');
  for (const t of recordCounts.twice.slice(0, 50)) {
    md.push(`### ${t.kind}: ${t.nonce}`, '', `Sent ${t.sent} time(s), carried out ${t.arrived} times by the CRM application: ` +
      t.arrivals.map((a) => `id ${a.id} (stand-in ${a.life}, request ${a.seq}, HTTP ${a.status})`).join(', ') + '.', '');
    const c = clients.find((x) => x.letter === t.nonce[4]);
    const when = (ms) => new Date(ms).toISOString().slice(11, 23);
    if (t.original && t.retry) {
      md.push(`The original, id ${t.original.key}, went out at ${when(t.original.sentAt)} and was cancelled at ${when(t.original.cancelledAt)}; ` +
        `the retry, id ${t.retry.key}, went out at ${when(t.retry.sentAt)}${t.retry.answeredAt ? ` and was answered at ${when(t.retry.answeredAt)}` : ''} (UTC). The bridge's log around the retry:`, '');
      md.push('```', ...logAround(c.log, t.retry.sentAt).map(mask), '```', '');
    }
  }
  for (const leak of tokenLeaks.slice(0, 50)) {
    md.push(`### token ${leak.token} in the log of ${leak.bridge}`, '', '```', mask(leak.line), '```', '');
  }
  md.push('## Faults applied', '', '| s | fault | took ms |', '|---:|---|---:|');
  for (const f of faultsDone) md.push(`| ${(f.t / 1000).toFixed(1)} | ${f.kind}${f.step ? ` (${f.step})` : ''} | ${f.ms} |`);
  md.push('', '## Run log', '', '```', ...runLog.map(mask), '```', '');
  writeFileSync(file, md.join('\n'));
}
