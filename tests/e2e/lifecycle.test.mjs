// Start, log format, end of input and line framing of the real bridge.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { Bridge, BIN_DIR, BRIDGE_EXE, LOG_PREFIX, RELAY_EXE, winPath, wineEnv } from './harness.mjs';
import { CLOSING_LINE, CRM_DIR, NO_WINDOW, startLine } from './texts.mjs';

function ping(id) {
  return `{"jsonrpc":"2.0","id":${id},"method":"ping"}`;
}

test('closing the input ends the bridge with exit code 0 and a well-formed UTF-8 log', async () => {
  const bridge = Bridge.start({ args: ['-dir', 'C:\\crm'] });
  const code = await bridge.finish();
  assert.equal(code, 0, bridge.transcript());
  assert.equal(bridge.stdout.length, 0, 'nothing may be written to the client');

  // Never spoken to, it never looked for Orvin.
  assert.deepEqual(bridge.logTexts(), [startLine(CRM_DIR), CLOSING_LINE]);

  const raw = bridge.stderr;
  assert.ok(raw.subarray(-2).equals(Buffer.from('\r\n')), 'the log ends in CR LF');
  const bareLineFeeds = [...raw.keys()].filter((i) => raw[i] === 0x0a && raw[i - 1] !== 0x0d);
  assert.deepEqual(bareLineFeeds, [], 'every line ends in CR LF');

  const pids = new Set();
  for (const line of bridge.logLines()) {
    const m = LOG_PREFIX.exec(line);
    assert.ok(m, `log line format: ${JSON.stringify(line)}`);
    assert.ok(Number(m[1]) < 24 && Number(m[2]) < 60 && Number(m[3]) < 60, `time field: ${line}`);
    assert.match(m[5], /^[1-9]\d*$/, 'process id in decimal without leading zeros');
    pids.add(m[5]);
  }
  assert.equal(pids.size, 1, 'all lines carry one process id');

  // "ł" of the closing line arrives as the UTF-8 bytes C5 82.
  const closing = Buffer.from(`${CLOSING_LINE}\r\n`, 'utf8');
  assert.ok(raw.subarray(-closing.length).equals(closing), 'closing line bytes');
  assert.ok(raw.includes(Buffer.from([0x7a, 0x61, 0x6d, 0x6b, 0x6e, 0xc4, 0x85, 0xc5, 0x82])), '"zamknął" as UTF-8');
});

test('the time field is the local wall-clock time', async () => {
  // India has no daylight saving time: local time is always UTC + 5:30.
  const offset = (5 * 60 + 30) * 60000;
  const day = 24 * 3600000;
  const started = Date.now();
  const bridge = Bridge.start({ args: ['-dir', 'C:\\crm'], env: { TZ: 'Asia/Kolkata' } });
  assert.equal(await bridge.finish(), 0, bridge.transcript());
  const ended = Date.now();
  for (const line of bridge.logLines()) {
    const [, h, m, s, ms] = LOG_PREFIX.exec(line).map(Number);
    const logged = ((h * 60 + m) * 60 + s) * 1000 + ms;
    const sinceStart = (logged - ((started + offset) % day) + day) % day;
    assert.ok(sinceStart <= ended - started, `${line} lies between the local times ${new Date(started + offset).toISOString()} and ${new Date(ended + offset).toISOString()}`);
  }
});

test('the MCP key is shown trimmed in double quotes', async () => {
  const bridge = Bridge.start({ args: ['-dir', 'C:\\crm', '-mcp', ' k1 '] });
  assert.equal(await bridge.finish(), 0, bridge.transcript());
  assert.equal(bridge.logTexts()[0], startLine(CRM_DIR, '"k1"'));
});

test('the folder is normalised to one trailing backslash and -DIR matches -dir', async () => {
  const bridge = Bridge.start({ args: ['-DIR', 'C:\\crm\\\\\\'] });
  assert.equal(await bridge.finish(), 0, bridge.transcript());
  assert.equal(bridge.logTexts()[0], startLine(CRM_DIR));
});

test('a bare folder as the first argument is the CRM folder', async () => {
  const bridge = Bridge.start({ args: ['C:/crm/'] });
  assert.equal(await bridge.finish(), 0, bridge.transcript());
  assert.equal(bridge.logTexts()[0], startLine(CRM_DIR), 'slashes become backslashes');
});

test('without a folder the bridge looks in its own folder, even when started by its bare name', async () => {
  // The relay lies beside the bridge, so CreateProcess finds "OrvinMCP.exe" there
  // and the bridge's argv[0] is just that name.
  const bridge = Bridge.start({ program: 'OrvinMCP.exe', cwd: BIN_DIR });
  assert.equal(await bridge.finish(), 0, bridge.transcript());
  const ownFolder = winPath(BIN_DIR) + '\\';
  assert.equal(bridge.logTexts()[0].toLowerCase(), startLine(ownFolder).toLowerCase());
});

test('blank lines are skipped; CR LF lines and an unterminated last line are answered', async () => {
  const bridge = Bridge.start({ args: ['-dir', 'C:\\crm'] });
  bridge.write('\n   \n\r\n\t \r\n');  // no message: it starts no attempt
  bridge.write(`${ping(1)}\r\n`);
  await bridge.nthLine(1);
  bridge.write(`${ping(2)}\n\n${ping(3)}\r\n`);
  await bridge.nthLine(3);
  bridge.write(ping(4)); // no line end: answered once the input ends
  const code = await bridge.finish();
  assert.equal(code, 0, bridge.transcript());

  assert.deepEqual(bridge.lines(), [1, 2, 3, 4].map((id) => `{"jsonrpc":"2.0","id":${id},"result":{}}`));
  assert.ok(bridge.stdout.subarray(-1).equals(Buffer.from('\n')), 'answers end in a line feed');
  assert.ok(!bridge.stdout.includes(Buffer.from('\r')), 'no carriage return on standard output');
  assert.deepEqual(bridge.logTexts(), [
    startLine(CRM_DIR),
    `Na razie bez połączenia: ${NO_WINDOW}`,
    `ping | odpowiedź własna, brak Orvina | ${NO_WINDOW}`,
    `ping | odpowiedź własna, brak Orvina | ${NO_WINDOW}`,
    `ping | odpowiedź własna, brak Orvina | ${NO_WINDOW}`,
    `ping | odpowiedź własna, brak Orvina | ${NO_WINDOW}`,
    CLOSING_LINE,
  ]);
});

test('a launcher that hands its streams on and ends at once leaves a bridge that still answers', async () => {
  const bridge = Bridge.start({ relay: ['-launcher'], args: ['-dir', 'C:\\crm'] });
  const goesOn = 'Program, który uruchomił OrvinMCP, zakończył działanie, ale klient nadal odbiera odpowiedzi - pracuję dalej.';
  await bridge.waitForLog((l) => l === goesOn, { describe: 'the end of the launcher taken' });
  bridge.send(ping(1));
  assert.equal(await bridge.nthLine(1), '{"jsonrpc":"2.0","id":1,"result":{}}');
  assert.equal(await bridge.finish(), 0, bridge.transcript());
});

test('a client that closes its reading end ends the bridge with exit code 0', async () => {
  const bridge = Bridge.start({ relay: ['-pipe-output'], args: ['-dir', 'C:\\crm'] });
  bridge.send(ping(1));
  await bridge.nthLine(1);
  bridge.child.stdout.destroy();
  // The relay learns it at its next write, and closes the bridge's pipe; the bridge at its next.
  const pinging = setInterval(() => bridge.send(ping(2)), 200);
  const code = await Promise.race([bridge.exited, new Promise((r) => setTimeout(r, 15000, 'still running'))]);
  clearInterval(pinging);
  assert.equal(code, 0, bridge.transcript());
  const texts = bridge.logTexts();
  assert.ok(texts.includes('Klient nie odbiera już odpowiedzi - nie przyjmuję nowych żądań i kończę pracę.'), bridge.transcript());
  assert.equal(texts.at(-1), CLOSING_LINE);
});

test('a client that never reads the log gets 3,000 answers in a row; the log later says how many lines it lost', async () => {
  const child = spawn('wine', [winPath(RELAY_EXE), winPath(BRIDGE_EXE), '-dir', 'C:\\crm'], {
    env: wineEnv(),
    stdio: ['pipe', 'pipe', 'pipe'],
  });
  child.stderr.pause();  // nobody reads: the pipe fills up
  let answers = 0;
  let waiting = null;
  child.stdout.on('data', (d) => {
    for (const byte of d) answers += byte === 0x0a;
    if (waiting && answers >= waiting.count) waiting.resolve();
  });
  const answered = (count) =>
    new Promise((resolve, reject) => {
      if (answers >= count) return resolve();
      waiting = { count, resolve };
      setTimeout(() => reject(new Error(`only ${answers} of ${count} answers`)), 90000);
    });
  let requests = '';
  for (let id = 1; id <= 3000; id++) requests += `${ping(id)}\n`;
  child.stdin.write(requests);
  await answered(3000);

  // Once the log is read again, the next line that gets through says how many were lost.
  let log = '';
  child.stderr.on('data', (d) => (log += d.toString('utf8')));
  child.stderr.resume();
  await new Promise((r) => setTimeout(r, 1000));
  child.stdin.end(`${ping(3001)}\n`);
  const code = await new Promise((r) => child.on('close', r));
  assert.equal(code, 0);
  assert.equal(answers, 3001);
  const lines = log.split('\r\n');
  assert.equal(lines.pop(), '', 'the log ends in CR LF');
  for (const line of lines) assert.match(line, LOG_PREFIX, 'whole lines only');
  const texts = lines.map((l) => l.replace(LOG_PREFIX, ''));
  const notice = texts.findIndex((t) => t.startsWith('Liczba pominiętych wierszy dziennika: '));
  assert.ok(notice >= 0, texts.slice(-5).join('\n'));
  const lost = /: (\d+) - odbiorca nie odczytywał strumienia błędów\.$/.exec(texts[notice]);
  assert.ok(lost && Number(lost[1]) > 0, texts[notice]);
  // The last request or two may still be logged after the notice, as the pipe is read again.
  const rest = texts.slice(notice + 1);
  assert.equal(rest.pop(), CLOSING_LINE);
  assert.ok(rest.length >= 1 && rest.length <= 2, rest.join('\n'));
  for (const text of rest) assert.equal(text, `ping | odpowiedź własna, brak Orvina | ${NO_WINDOW}`);
});
