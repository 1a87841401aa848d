// Forwarding through a linked bridge to the CRM stand-in: the request as sent,
// the kinds of replies, failed tool lists, rejected tokens and endpoints, and a
// connection that breaks after the request arrived.
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { existsSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { PARSE_ERROR, notConnectedResult, placeholderList } from './texts.mjs';
import {
  CrmStandIn,
  bridgePid,
  cacheFile,
  countLog,
  delay,
  finishQuietly,
  mayHaveRunReason,
  mayHaveRunText,
  startBridge,
  stopAllStandIns,
  tokenForms,
} from './link-support.mjs';

const NOTICE = '{"jsonrpc":"2.0","method":"notifications/tools/list_changed"}';

describe('forwarding while linked', () => {
  let standIn;
  let bridge;
  let port;
  const tokens = new Set();
  const file = cacheFile();
  let saved = null;

  before(async () => {
    if (existsSync(file)) saved = readFileSync(file);
    rmSync(file, { force: true });
    standIn = await CrmStandIn.launch({ args: ['-test-tools'] });
    port = standIn.port;
    tokens.add(await standIn.token());
    bridge = startBridge();
    assert.equal(await bridge.greet(), `Połączono z Orvinem na porcie ${port}.`, bridge.transcript());
  });

  after(async () => {
    await finishQuietly(bridge);
    await stopAllStandIns();
    rmSync(file, { force: true });
    if (saved !== null) writeFileSync(file, saved);
  });

  // Sends a line; resolves with the answer line for the id and the log text that closes the request.
  async function forward(line, id, closing = (l) => / \| /.test(l)) {
    const lineFrom = bridge.lines().length;
    const logFrom = bridge.logTexts().length;
    bridge.send(line);
    const answer = await bridge.waitForLine((l) => JSON.parse(l).id === id, { from: lineFrom, describe: `the answer to ${id}` });
    const log = await bridge.waitForLog(closing, { from: logFrom, describe: 'the closing log line' });
    return { answer, log, logFrom, lineFrom };
  }

  function toolCall(id, name, args = {}) {
    return JSON.stringify({ jsonrpc: '2.0', id, method: 'tools/call', params: { name, arguments: args } });
  }

  async function recordedWith(text) {
    return (await standIn.requests()).filter((r) => r.body.includes(text));
  }

  test('the request reaches /mcp with the bridge headers and the line byte for byte', async () => {
    const args = '{"id":"wewnętrzny","fraza":"Żółw – „cudzysłów” \\u0041 \\"x\\"","kwota":12.5}';
    const line = `{"jsonrpc":"2.0","id":101,"method":"tools/call","params":{"name":"test_echo","arguments":${args}}}`;
    const { answer, log } = await forward(line, 101);
    const reply = JSON.parse(answer);
    assert.equal(reply.result.content[0].text, args);
    assert.match(log, new RegExp(`^tools/call test_echo \\| t=\\d+ms, rq=${Buffer.byteLength(line)}B, rp=${Buffer.byteLength(answer)}B$`));

    const [entry] = await recordedWith('wewnętrzny');
    assert.equal(entry.body, line);
    assert.equal(entry.target, '/mcp');
    const headers = Object.entries(entry.headers);
    const names = headers.map(([n]) => n.toLowerCase());
    assert.equal(new Set(names).size, names.length, `no header twice: ${names}`);
    const at = names.indexOf('content-type');
    assert.deepEqual(headers.slice(at, at + 5), [
      ['Content-Type', 'application/json'],
      ['Accept', 'application/json'],
      ['Authorization', `Bearer ${await standIn.token()}`],
      ['X-ORVIN-CLIENT', `orvinmcp:${bridgePid(bridge)}`],
      ['Connection', 'close'],
    ]);
    assert.equal(entry.headers['Content-Length'], String(Buffer.byteLength(line)));
    assert.equal(entry.headers['User-Agent'], 'OrvinMCP/1.0');
    assert.equal(entry.headers.Host, `127.0.0.1:${port}`);
  });

  test('a notification answered with 202 and an empty body writes nothing', async () => {
    const line = '{"jsonrpc":"2.0","method":"notifications/initialized"}';
    const lines = bridge.lines().length;
    const logFrom = bridge.logTexts().length;
    bridge.send(line);
    const log = await bridge.nthLog(logFrom + 1);
    assert.match(log, new RegExp(`^notifications/initialized \\| t=\\d+ms, rq=${line.length}B, rp=0B \\(notyfikacja, bez odpowiedzi\\)$`));
    const { answer } = await forward('{"jsonrpc":"2.0","id":102,"method":"ping"}', 102);
    assert.equal(answer, '{"jsonrpc":"2.0","id":102,"result":{}}');
    assert.equal(bridge.lines().length, lines + 1, 'only the answer to the ping');
  });

  test('a blank body answering a request is a failure after possible delivery', async () => {
    const line = toolCall(103, 'test_blank', { znacznik: 'blank-103' });
    const { answer, log } = await forward(line, 103);
    const cause = 'Orvin odpowiedział czymś, co nie jest komunikatem MCP (HTTP 200, Content-Type: application/json, 2 B).';
    assert.equal(answer, `{"jsonrpc":"2.0","id":103,"error":{"code":-32000,"message":"${mayHaveRunText(cause, { wholeReply: true })}"}}`);
    assert.equal(log, `tools/call test_blank | bez powtórki, mogło dotrzeć | ${cause} Początek: \\r\\n`);
    assert.equal((await recordedWith('blank-103')).length, 1);
  });

  test('a line that is no JSON gets the bridge\'s parse error and never reaches the CRM application', async () => {
    const { answer } = await bridge.exchange('{"jsonrpc":"2.0","id":"nojson-1","method":"tools/list"');
    assert.equal(answer, PARSE_ERROR);
    assert.deepEqual(await recordedWith('nojson-1'), []);
  });

  test('a reply spread over several lines reaches the client as one line', async () => {
    const line = toolCall(104, 'test_multiline');
    const direct = await standIn.post(line);
    assert.match(direct.text, /\r\n/, 'the stand-in answers on several lines');
    const { answer, log } = await forward(line, 104);
    assert.equal(answer, direct.text.replace(/[\r\n]/g, ' '));
    assert.match(log, new RegExp(`^tools/call test_multiline \\| t=\\d+ms, rq=${line.length}B, rp=${Buffer.byteLength(answer)}B$`));
  });

  test('an error reply with a null id gets the request\'s id', async () => {
    const line = toolCall('e-105', 'test_error_null_id');
    const direct = await standIn.post(line);
    assert.match(direct.text, /^\{"jsonrpc":"2\.0","id":null,"error":/);
    const { answer, log, logFrom } = await forward(line, 'e-105', (l) => l.includes(' | t='));
    const fixed = direct.text.replace('"id":null', '"id":"e-105"').replace(/[\r\n]/g, ' ');
    assert.equal(answer, fixed);
    assert.deepEqual(bridge.logTexts().slice(logFrom), [
      'tools/call test_error_null_id | Orvin podał w odpowiedzi inne id: null - przekazuję ją z id żądania.',
      `tools/call test_error_null_id | Orvin zwrócił błąd: ${fixed.slice(0, 400)}`,
      log,
    ]);
  });

  test('HTTP 500 with a JSON-RPC error is passed on as an error reply, and the link stays', async () => {
    const line = toolCall(106, 'test_http500');
    const direct = await standIn.post(line);
    assert.equal(direct.status, 500);
    const handshakes = (await standIn.handshakes()).length;
    const { answer, log, logFrom } = await forward(line, 106);
    assert.equal(answer, direct.text.replace(/[\r\n]/g, ' '));
    assert.ok(JSON.parse(answer).error, answer);
    assert.ok(log.startsWith('tools/call test_http500 | Orvin zwrócił błąd: {'), log);
    assert.ok(!bridge.logTexts().slice(logFrom).some((l) => l.startsWith('Utrata')));
    assert.equal((await standIn.handshakes()).length, handshakes);
  });

  test('failed tool lists: the placeholder instead, the notice repeated five times at most; a good list cached', async () => {
    await standIn.command('/toolslist-error?on=1');
    const retry = (n) => `Ponowię powiadomienie o zmianie listy narzędzi za 3 s (próba ${n} z 5).`;
    const placeholderPrefix = 'Lista narzędzi z Orvina przyszła z błędem - odsyłam: lista zastępcza (orvin_connect).';
    let id = 200;
    // A client that asks again at every notice.
    for (let round = 1; round <= 6; round++) {
      const line = `{"jsonrpc":"2.0","id":${++id},"method":"tools/list"}`;
      const direct = await standIn.post(line);
      const { answer, log, logFrom } = await forward(line, id, (l) => l.startsWith('Lista narzędzi'));
      assert.equal(answer, placeholderList(id));
      const texts = bridge.logTexts().slice(logFrom);
      assert.ok(texts.includes(`tools/list | Orvin zwrócił błąd: ${direct.text.slice(0, 400)}`), texts.join('\n'));
      if (round <= 5) {
        assert.equal(log, `${placeholderPrefix} ${retry(round)}`);
        const lineFrom = bridge.lines().length;
        const logFrom = bridge.logTexts().length;
        assert.equal(await bridge.waitForLine(() => true, { from: lineFrom, timeoutMs: 10000 }), NOTICE);
        // The log has a writer of its own: its line may reach the pipe a moment after the notice.
        await bridge.waitForLog((l) => l === 'Ponawiam powiadomienie o zmianie listy narzędzi.', { from: logFrom });
      } else {
        assert.equal(
          log,
          `${placeholderPrefix} Limit 5 ponowień wyczerpany - nie ponawiam powiadomienia o zmianie listy narzędzi.`,
        );
      }
    }
    const lineCount = bridge.lines().length;
    await delay(3500);
    assert.equal(bridge.lines().length, lineCount, 'no sixth notice');
    assert.equal(bridge.lines().filter((l) => l === NOTICE).length, 5);
    assert.ok(!existsSync(file), 'no failed list is cached');

    await standIn.command('/toolslist-error?on=0');
    const good = await forward(`{"jsonrpc":"2.0","id":${++id},"method":"tools/list"}`, id);
    const stored = readFileSync(file, 'utf8');
    assert.equal(good.answer, `{"jsonrpc":"2.0","id":${id},"result":${stored}}`);

    // The good list reset the count and now stands in for a failed one.
    await standIn.command('/toolslist-error?on=1');
    const again = await forward(`{"jsonrpc":"2.0","id":${++id},"method":"tools/list"}`, id, (l) => l.startsWith('Lista narzędzi'));
    assert.equal(again.answer, `{"jsonrpc":"2.0","id":${id},"result":${stored}}`);
    assert.equal(
      again.log,
      `Lista narzędzi z Orvina przyszła z błędem - odsyłam: lista z pliku (${Buffer.byteLength(stored)}B). ${retry(1)}`,
    );
    const lineFrom = bridge.lines().length;
    assert.equal(await bridge.waitForLine(() => true, { from: lineFrom, timeoutMs: 10000 }), NOTICE);

    // A tools/list notification gets nothing: neither the error nor a list in its place.
    const notifyFrom = bridge.logTexts().length;
    bridge.send('{"jsonrpc":"2.0","method":"tools/list"}');
    const silent = await bridge.waitForLog((l) => l.startsWith('tools/list | t='), { from: notifyFrom, describe: 'the notification' });
    assert.match(silent, /\(notyfikacja, bez odpowiedzi\)$/);
    await forward(`{"jsonrpc":"2.0","id":${++id},"method":"ping"}`, id);
    assert.equal(bridge.lines().length, lineFrom + 2, 'the notice and the answer to the ping only');
    await standIn.command('/toolslist-error?on=0');
  });

  test('HTTP 401: one reconnection, the request repeated once with the new token', async () => {
    const old = await standIn.token();
    const fresh = (await standIn.command('/rotate-token')).token;
    assert.ok(fresh && fresh !== old);
    tokens.add(fresh);
    const handshakes = (await standIn.handshakes()).length;
    const line = toolCall(301, 'test_echo', { znacznik: 'rotate-301' });
    const { answer, log, logFrom } = await forward(line, 301, (l) => l.startsWith('tools/call'));
    assert.equal(JSON.parse(answer).result.content[0].text, '{"znacznik":"rotate-301"}');
    assert.deepEqual(bridge.logTexts().slice(logFrom), [
      'Utrata łączności: Token stracił ważność (HTTP 401) - serwer MCP wygenerował nowy przy ponownym włączeniu. Łączę się ponownie.',
      'Znalazłem okno Orvina (1 z 1) - pytam o port i token.',
      'Żądanie dostarczone, odpowiedź w trakcie wysyłki: tak.',
      `Połączono ponownie na porcie ${port}. Powtarzam żądanie.`,
      log,
    ]);
    assert.match(log, /^tools\/call test_echo \| t=\d+ms, rq=\d+B, rp=\d+B$/);
    const sent = await recordedWith('rotate-301');
    assert.deepEqual(
      sent.map((r) => [r.body, r.headers.Authorization]),
      [
        [line, `Bearer ${old}`],
        [line, `Bearer ${fresh}`],
      ],
      'rejected once with the old token, served once with the new one',
    );
    const asked = (await standIn.handshakes()).slice(handshakes);
    assert.deepEqual(asked.map((h) => h.background), ['0']);
  });

  test('HTTP 404: one reconnection and one repeat, served once the endpoint is back', async () => {
    await standIn.command('/endpoint?on=0');
    // A slow answer to the handshake leaves time to switch the endpoint on.
    await standIn.command('/set?handshake=delay&delay=1500');
    const line = toolCall(302, 'test_echo', { znacznik: 'endpoint-302' });
    const logFrom = bridge.logTexts().length;
    const lineFrom = bridge.lines().length;
    const asked = standIn.handshakeLog().length;
    bridge.send(line);
    await bridge.waitForLog((l) => l.startsWith('Utrata'), { from: logFrom });
    // The reconnection asks a moment after it is logged: only then may the answer come at once.
    await standIn.until(() => (standIn.handshakeLog().length > asked ? true : undefined), 20000, 'the handshake request');
    await standIn.command('/endpoint?on=1');
    await standIn.command('/set?handshake=now');
    const answer = await bridge.waitForLine((l) => JSON.parse(l).id === 302, { from: lineFrom });
    assert.equal(JSON.parse(answer).result.content[0].text, '{"znacznik":"endpoint-302"}');
    const log = await bridge.waitForLog((l) => l.startsWith('tools/call'), { from: logFrom });
    assert.deepEqual(bridge.logTexts().slice(logFrom), [
      'Utrata łączności: Endpoint /mcp nie odpowiada (HTTP 404) - serwer MCP jest wyłączony. Łączę się ponownie.',
      'Znalazłem okno Orvina (1 z 1) - pytam o port i token.',
      'Żądanie dostarczone, odpowiedź w trakcie wysyłki: nie.',
      'Po dopompowaniu komunikatów odpowiedź: jest.',
      `Połączono ponownie na porcie ${port}. Powtarzam żądanie.`,
      log,
    ]);
    assert.equal((await recordedWith('endpoint-302')).length, 2, 'rejected once, served once');
  });

  test('a request the CRM application took before the connection broke: the "MOGŁO" error, delivered once', async () => {
    await standIn.command('/break?step=body');
    const handshakes = (await standIn.handshakes()).length;
    const line = toolCall(303, 'klient_dodaj', { nazwa: 'Kaszubska Łódź Sp. z o.o. 303', nip: '5840000303', miasto: 'Gdańsk' });
    const { answer, log } = await forward(line, 303);
    const reply = JSON.parse(answer);
    assert.equal(reply.error.code, -32000);
    const reason = mayHaveRunReason(reply.error.message);
    assert.ok(reason, reply.error.message);
    assert.equal(answer, `{"jsonrpc":"2.0","id":303,"error":{"code":-32000,"message":"${mayHaveRunText(reason)}"}}`);
    assert.equal(log, `tools/call klient_dodaj | bez powtórki, mogło dotrzeć | ${reason}`);
    assert.equal((await recordedWith('Łódź Sp. z o.o. 303')).length, 1);

    // The link stays: the next request goes to the same endpoint without a handshake.
    const next = await forward('{"jsonrpc":"2.0","id":304,"method":"ping"}', 304);
    assert.equal(next.answer, '{"jsonrpc":"2.0","id":304,"result":{}}');
    assert.equal((await standIn.handshakes()).length, handshakes);
    assert.equal((await recordedWith('Łódź Sp. z o.o. 303')).length, 1, 'not sent again');
  });

  test('401, then the repeat breaks after it arrived: the "MOGŁO" error, and the link is down', async () => {
    const old = await standIn.token();
    const fresh = (await standIn.command('/rotate-token')).token;
    tokens.add(fresh);
    await standIn.command('/set?handshake=delay&delay=1500');
    const handshakes = (await standIn.handshakes()).length;
    const line = toolCall(305, 'test_echo', { znacznik: 'repeat-305' });
    const logFrom = bridge.logTexts().length;
    const lineFrom = bridge.lines().length;
    bridge.send(line);
    await bridge.waitForLog((l) => l.startsWith('Utrata'), { from: logFrom });
    await standIn.command('/break?step=body');
    await standIn.command('/set?handshake=now');
    const answer = await bridge.waitForLine((l) => JSON.parse(l).id === 305, { from: lineFrom });
    const log = await bridge.waitForLog((l) => l.startsWith('tools/call'), { from: logFrom });
    const reason = mayHaveRunReason(JSON.parse(answer).error?.message);
    assert.ok(reason, answer);
    assert.equal(answer, `{"jsonrpc":"2.0","id":305,"error":{"code":-32000,"message":"${mayHaveRunText(reason)}"}}`);
    assert.equal(log, `tools/call test_echo | bez powtórki, mogło dotrzeć | ${reason}`);
    assert.deepEqual(
      (await recordedWith('repeat-305')).map((r) => r.headers.Authorization),
      [`Bearer ${old}`, `Bearer ${fresh}`],
      'rejected once, taken once by the repeat, never a third time',
    );

    // No link now: idle time or the next request makes a new one first (a ping
    // would not wait for it).
    const next = await forward(toolCall(306, 'test_echo', { znacznik: 'next-306' }), 306, (l) => l.startsWith('tools/call'));
    assert.equal(JSON.parse(next.answer).result.content[0].text, '{"znacznik":"next-306"}');
    assert.equal(countLog(bridge, `Połączono z Orvinem na porcie ${port}.`, logFrom), 1);
    assert.equal((await standIn.handshakes()).length, handshakes + 2, 'the reconnection and the new link');
  });

  test('404 and a refused reconnection: the request not repeated, answered as when offline with the refusal', async () => {
    const message = 'Połączenia MCP wyłączone przez administratora.';
    await standIn.command('/endpoint?on=0');
    await standIn.command(`/set?status=NOPERM&message=${encodeURIComponent(message)}`);
    try {
      const line = toolCall(307, 'test_echo', { znacznik: 'refused-307' });
      const { answer, log, logFrom } = await forward(line, 307, (l) => l.startsWith('tools/call'));
      assert.equal(answer, notConnectedResult(307, message));
      assert.deepEqual(bridge.logTexts().slice(logFrom), [
        'Utrata łączności: Endpoint /mcp nie odpowiada (HTTP 404) - serwer MCP jest wyłączony. Łączę się ponownie.',
        'Znalazłem okno Orvina (1 z 1) - pytam o port i token.',
        'Żądanie dostarczone, odpowiedź w trakcie wysyłki: tak.',
        log,
      ]);
      assert.equal(log, `tools/call test_echo | odmowa wykonania, brak Orvina | ${message}`);
      assert.equal((await recordedWith('refused-307')).length, 1, 'only the rejected one');
      // Refused: no idle attempts.
      const handshakes = (await standIn.handshakes()).length;
      await delay(3300);
      assert.equal((await standIn.handshakes()).length, handshakes);
    } finally {
      await standIn.command('/set?status=&message=');
      await standIn.command('/endpoint?on=1');
    }
    const next = await forward('{"jsonrpc":"2.0","id":308,"method":"ping"}', 308, (l) => l.startsWith('ping'));
    assert.equal(next.answer, '{"jsonrpc":"2.0","id":308,"result":{}}');
  });

  test('progress only for a request with a token, first about 5 s after it went out, none after its answer', async () => {
    const lineFrom = bridge.lines().length;
    const sleep = (id, meta) => JSON.stringify({ jsonrpc: '2.0', id, method: 'tools/call', params: { name: 'test_sleep', arguments: { ms: 6500 }, ...meta } });
    const sent = Date.now();
    bridge.send(sleep('z-tokenem', { _meta: { progressToken: 'postęp-1' } }));
    bridge.send(sleep('bez-tokenu', {}));
    const first = await bridge.waitForLine((l) => l.includes('notifications/progress'), { from: lineFrom, describe: 'a progress notice' });
    const after = Date.now() - sent;
    assert.ok(after >= 4500 && after < 6500, `the first notice after ${after} ms`);
    assert.deepEqual(JSON.parse(first), {
      jsonrpc: '2.0',
      method: 'notifications/progress',
      params: { progressToken: 'postęp-1', progress: 5, message: 'Orvin CRM pracuje nad tym żądaniem od 5 s.' },
    });
    for (const id of ['z-tokenem', 'bez-tokenu']) await bridge.waitForLine((l) => JSON.parse(l).id === id, { from: lineFrom });
    await delay(1000);
    const lines = bridge.lines().slice(lineFrom);
    assert.equal(lines.filter((l) => l.includes('notifications/progress')).length, 1, lines.join('\n'));
    assert.ok(lines.indexOf(first) < lines.findIndex((l) => JSON.parse(l).id === 'z-tokenem'));
  });

  test('id, method and tool name are taken from the top level, not from members nested before them', async () => {
    const args = '{"id":"wewnętrzny","method":"ping","name":"orvin_connect","params":{"name":"x"}}';
    const line = `{"jsonrpc":"2.0","params":{"arguments":${args},"name":"test_echo"},"method":"tools/call","id":"zewn-309"}`;
    const { answer, log } = await forward(line, 'zewn-309');
    assert.equal(JSON.parse(answer).result.content[0].text, args, 'forwarded, not the orvin_connect short-cut');
    assert.match(log, /^tools\/call test_echo \| t=\d+ms/);

    // An answer the bridge makes itself carries the top-level id.
    await standIn.command('/break?step=body');
    const broken = `{"jsonrpc":"2.0","params":{"name":"test_echo","arguments":{"id":5,"znacznik":"nested-310"}},"id":"zewn-310","method":"tools/call"}`;
    const lineFrom = bridge.lines().length;
    bridge.send(broken);
    const reply = await bridge.nthLine(lineFrom + 1);
    assert.equal(JSON.parse(reply).id, 'zewn-310', reply);
    assert.ok(mayHaveRunReason(JSON.parse(reply).error?.message), reply);
    assert.equal((await recordedWith('nested-310')).length, 1);
  });

  test('an escaped orvin_connect under an object id is the short-cut, answered in valid JSON', async () => {
    const lineFrom = bridge.lines().length;
    bridge.send(
      '{"jsonrpc":"2.0","id":{"k":[1,"}"]},"method":"tools\\/call","params":{"n\\u0061me":"orvin\\u005fconnect","arguments":{"znacznik":"short-311"}}}',
    );
    const answer = await bridge.waitForLine((l) => JSON.parse(l).id !== undefined, { from: lineFrom, describe: 'the answer' });
    assert.deepEqual(JSON.parse(answer).id, { k: [1, '}'] });
    assert.match(JSON.parse(answer).result.content[0].text, /^Połączono z Orvin CRM\./);
    assert.equal((await recordedWith('short-311')).length, 0);
  });

  test('a late answer quoting a newer link\'s token, a page quoting the header percent-encoded: no token logged', async () => {
    const [old, fresh] = ['Zk4/qW+8nR2/xT7+pL5mV9==', 'Qa7+/Lm3=Xy9/Tb2+Wc5Rd=='];
    tokens.add(old).add(fresh);
    await standIn.command(`/rotate-token?token=${encodeURIComponent(old)}`);
    await forward('{"jsonrpc":"2.0","id":312,"method":"ping"}', 312, (l) => l.startsWith('ping'));  // the link to the old token
    await standIn.command('/quote-token?as=json');
    try {
      const lineFrom = bridge.lines().length;
      bridge.send(toolCall(313, 'test_sleep', { ms: 3000 }));
      await delay(500);
      await standIn.command(`/rotate-token?token=${encodeURIComponent(fresh)}`);
      const rotated = await forward(toolCall(314, 'test_echo'), 314);  // rejected, repeated on a link to the new token
      assert.equal(JSON.parse(rotated.answer).error.message, `Odmowa dla Bearer ${fresh} (Bearer ${fresh}), token: ${fresh} ${fresh} ${fresh}`);
      const late = JSON.parse(await bridge.waitForLine((l) => JSON.parse(l).id === 313, { from: lineFrom }));
      assert.equal(late.error.message, `Odmowa dla Bearer ${old} (Bearer ${old}), token: ${fresh} ${fresh} ${fresh}`);
      const logged = await bridge.waitForLog((l) => l.startsWith('tools/call test_sleep | Orvin zwrócił błąd: '));
      assert.ok(logged.endsWith('"message":"Odmowa dla Bearer *** (Bearer ***), token: *** *** ***"}}'), logged);

      await standIn.command('/quote-token?as=html');
      const page = await forward(toolCall(315, 'test_echo'), 315);
      assert.ok(mayHaveRunReason(JSON.parse(page.answer).error?.message), page.answer);
      assert.ok(page.log.endsWith(' Początek: <html><p>Błąd: Bearer *** ***'), page.log);
    } finally {
      await standIn.command('/quote-token?as=off');
    }
  });

  test('no token appears in the log, in any form', () => {
    const log = bridge.stderr.toString('utf8');
    for (const form of [...tokens].flatMap(tokenForms)) assert.ok(!log.includes(form), `token ${form} in the log`);
  });
});
