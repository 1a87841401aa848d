// The stand-in breaks the connection at every step of an exchange, by a reset and
// by an orderly close, on a bridge's first request and after earlier ones; then an
// endpoint that behaves like an ordinary HTTP server keeps connections alive and
// sends replies that are no JSON-RPC message, or carry another id, no UTF-8, the token.
// Each request must get exactly one answer, and none may reach the CRM application twice.
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { createServer } from 'node:net';
import { gzipSync } from 'node:zlib';
import { CrmStandIn, finishQuietly, mayHaveRunReason, startBridge, stopAllStandIns } from './link-support.mjs';

const STEPS = ['accept', 'headers', 'body', 'status', 'midbody'];
// Steps at which the stand-in has taken the whole request (and run it).
const RECEIVED = new Set(['body', 'status', 'midbody']);

describe('broken connections', () => {
  let standIn;
  let shared;
  const bridges = [];
  let serial = 0;

  before(async () => {
    standIn = await CrmStandIn.launch({ args: ['-test-tools'] });
    shared = await linkedBridge();
  });

  after(async () => {
    await Promise.all(bridges.map(finishQuietly));
    await stopAllStandIns();
  });

  function freshBridge() {
    const bridge = startBridge();
    bridges.push(bridge);
    return bridge;
  }

  async function linkedBridge() {
    const bridge = freshBridge();
    assert.equal(await bridge.greet(), `Połączono z Orvinem na porcie ${standIn.port}.`, bridge.transcript());
    return bridge;
  }

  function answersTo(bridge, id) {
    return bridge.lines().filter((l) => JSON.parse(l).id === id);
  }

  // A tool call that the stand-in echoes; returns the parsed answer.
  async function echo(bridge, marker) {
    const id = `r-${++serial}`;
    const from = bridge.lines().length;
    bridge.send({ jsonrpc: '2.0', id, method: 'tools/call', params: { name: 'test_echo', arguments: { znacznik: marker } } });
    const line = await bridge.waitForLine((l) => JSON.parse(l).id === id, { from, describe: `the answer to ${id}` });
    return { id, reply: JSON.parse(line) };
  }

  async function deliveries(marker) {
    return (await standIn.requests()).filter((r) => r.body.includes(`"${marker}"`)).length;
  }

  async function breakAndCheck(bridge, step, reset, label) {
    const marker = `${label}-${step}-${reset ? 'rst' : 'fin'}`;
    await standIn.command(`/break?step=${step}&count=1&reset=${reset ? 1 : 0}`);
    const { id, reply } = await echo(bridge, marker);

    // A later request is answered normally, and by then any second answer would be there.
    const after = await echo(bridge, `${marker}-next`);
    assert.equal(after.reply.result?.content?.[0]?.text, `{"znacznik":"${marker}-next"}`, JSON.stringify(after.reply));
    assert.equal(answersTo(bridge, id).length, 1, `exactly one answer for ${id}`);
    await standIn.command('/break?step=none');

    const count = await deliveries(marker);
    const reason = mayHaveRunReason(reply.error?.message);
    let outcome;
    if (reply.result) {
      outcome = 'served';
      assert.equal(reply.result.content[0].text, `{"znacznik":"${marker}"}`);
      assert.ok(!RECEIVED.has(step), `a request taken at step ${step} must not be repeated: ${JSON.stringify(reply)}`);
      assert.equal(count, 1, 'served exactly once');
    } else if (reason) {
      outcome = `MOGŁO (${reason})`;
      assert.equal(reply.error.code, -32000);
      assert.equal(count, RECEIVED.has(step) ? 1 : 0, `deliveries at step ${step}`);
    } else {
      outcome = `error ${JSON.stringify(reply.error)}`;
      assert.ok(!RECEIVED.has(step), `a request taken at step ${step} needs the "MOGŁO" error: ${JSON.stringify(reply)}`);
      assert.equal(count, 0, 'an error without "MOGŁO" only when nothing arrived');
    }
    assert.ok(count <= 1);
    return `${outcome}, deliveries ${count}`;
  }

  for (const reset of [true, false]) {
    const how = reset ? 'reset' : 'orderly close';
    for (const step of STEPS) {
      // The request is the client's first message: it links the bridge, then goes out.
      test(`${how} at ${step}, on the first request of a bridge`, async (t) => {
        const bridge = freshBridge();
        t.diagnostic(await breakAndCheck(bridge, step, reset, 'fresh'));
        assert.ok(bridge.logTexts().includes(`Połączono z Orvinem na porcie ${standIn.port}.`), bridge.transcript());
        await finishQuietly(bridge);
      });

      test(`${how} at ${step}, after earlier requests`, async (t) => {
        for (let i = 0; i < 2; i++) {
          const { reply } = await echo(shared, `earlier-${serial}`);
          assert.ok(reply.result, JSON.stringify(reply));
        }
        t.diagnostic(await breakAndCheck(shared, step, reset, 'later'));
      });
    }
  }

  test('no bridge wrote the token into its log', async () => {
    const token = await standIn.token();
    assert.ok(bridges.length > 10);
    for (const b of bridges) {
      assert.ok(b.stderr.length > 0);
      assert.ok(!b.stderr.toString('utf8').includes(token), b.transcript());
    }
  });
});

// An HTTP/1.1 server on a plain socket that the stand-in's handshake names as the
// endpoint. It reads requests by Content-Length, keeps every connection open and
// leaves the answer to `respond`, which writes whatever bytes a row needs.
class RawEndpoint {
  requests = [];
  connections = 0;
  respond = () => {};

  async listen() {
    this.sockets = new Set();
    this.server = createServer((socket) => this.serve(socket));
    await new Promise((resolve) => this.server.listen(0, '127.0.0.1', resolve));
    this.port = this.server.address().port;
  }

  serve(socket) {
    const connection = ++this.connections;
    let onConnection = 0;
    let buffer = Buffer.alloc(0);
    this.sockets.add(socket);
    socket.on('close', () => this.sockets.delete(socket));
    socket.on('error', () => {});
    socket.on('data', (data) => {
      buffer = Buffer.concat([buffer, data]);
      for (;;) {
        const end = buffer.indexOf('\r\n\r\n');
        if (end < 0 || socket.destroyed) return;
        const head = buffer.subarray(0, end).toString('latin1');
        const length = Number(/\r\ncontent-length:\s*(\d+)/i.exec(head)?.[1] ?? 0);
        if (buffer.length < end + 4 + length) return;
        const body = buffer.subarray(end + 4, end + 4 + length).toString('utf8');
        buffer = buffer.subarray(end + 4 + length);
        const request = { head, body, connection, onConnection: ++onConnection, id: JSON.parse(body).id };
        this.requests.push(request);
        this.respond(socket, request);
      }
    });
  }

  deliveries(id) {
    return this.requests.filter((r) => r.id === id);
  }

  async close() {
    for (const socket of this.sockets) socket.destroy();
    await new Promise((resolve) => this.server.close(resolve));
  }
}

const result = (id, text = 'ok') => JSON.stringify({ jsonrpc: '2.0', id, result: { content: [{ type: 'text', text }] } });
const head = (status, headers) => `HTTP/1.1 ${status}\r\n${headers.map((h) => `${h}\r\n`).join('')}\r\n`;
const jsonHead = (status, body) => head(status, ['Content-Type: application/json', `Content-Length: ${Buffer.byteLength(body)}`]);
const chunked = head('200 OK', ['Content-Type: application/json', 'Transfer-Encoding: chunked']);
const html = '<!DOCTYPE html><html><body><h1>Błąd serwera</h1></body></html>';
const htmlHead = (status) => head(status, ['Content-Type: text/html; charset=utf-8', `Content-Length: ${Buffer.byteLength(html)}`]);
const answer = (status, body) => (s, r) => s.end(Buffer.concat([Buffer.from(jsonHead(status, body(r))), Buffer.from(body(r))]));
const tokenOf = (r) => /\r\nAuthorization: Bearer ([^\r]*)/i.exec(r.head)[1];
const escapedToken = (r) => tokenOf(r).replaceAll('/', '\\/').replace('+', '\\u002B').replace('+', '\\u002b');
const served = (reply) => assert.equal(reply.result?.content?.[0]?.text, 'ok', JSON.stringify(reply));
const errorX = (reply) => assert.equal(reply.error?.message, 'x', JSON.stringify(reply));

// Each writes its reply to request `r` and closes the connection in order (or
// resets it). Without a check of its own, a row expects the "MOGŁO" error, with
// the reason of its fourth element where it has one; the check gets the answer,
// the request's log texts, its id and the token.
const REPLIES = [
  // Wine reports a reset that follows the request at once now as the reset, now as a close.
  ['a reset while the answer is awaited', (s) => s.resetAndDestroy(), undefined,
    ['Połączenie zerwało się, zanim nadeszła odpowiedź Orvina (kod 10054).',
      'Orvin zamknął połączenie bez odpowiedzi HTTP (status 0).']],
  ['a status line over 64 KiB', (s, r) => s.end(`HTTP/1.1 200 ${'x'.repeat(70000)}\r\n${jsonHead('200 OK', result(r.id)).slice(17)}${result(r.id)}`),
    undefined, 'Orvin odesłał coś, co nie jest odpowiedzią HTTP.'],
  ['a chunked reply cut mid-body', (s, r) => s.end(`${chunked}40\r\n${result(r.id).slice(0, 30)}`)],
  ['a chunk size smaller than its chunk', (s, r) => s.end(`${chunked}5\r\n${result(r.id)}\r\n0\r\n\r\n`)],
  ['a negative chunk size', (s, r) => s.end(`${chunked}-5\r\n${result(r.id)}\r\n0\r\n\r\n`)],
  ['an overflowing chunk size', (s, r) => s.end(`${chunked}1${'0'.repeat(20)}\r\n${result(r.id)}\r\n0\r\n\r\n`)],
  ['an HTTP/1.0 body cut by the close', (s, r) => s.end(`HTTP/1.0 200 OK\r\nContent-Type: application/json\r\n\r\n${result(r.id).slice(0, 5)}`)],
  ['an HTML page with 200', (s) => s.end(htmlHead('200 OK') + html)],
  ['an HTML page with 500', (s) => s.end(htmlHead('500 Internal Server Error') + html)],
  ['an HTML page with 301', (s) => s.end(htmlHead('301 Moved Permanently').replace('\r\n\r\n', '\r\nLocation: /mcp2\r\n\r\n') + html)],
  ['a gzip body', (s, r) => {
    const body = gzipSync(result(r.id));
    s.write(head('200 OK', ['Content-Type: application/json', 'Content-Encoding: gzip', `Content-Length: ${body.length}`]));
    s.end(body);
  }],
  ['an event stream', (s, r) => s.end(`${head('200 OK', ['Content-Type: text/event-stream'])}event: message\ndata: ${result(r.id)}\n\n`)],
  ['a garbage status line', (s, r) => s.end(`HTPT/1.1 2OO OK\r\nContent-Type: application/json\r\n\r\n${result(r.id)}`)],
  ['a 103 interim response', (s, r) => s.end(`HTTP/1.1 103 Early Hints\r\nLink: </a>; rel=preload\r\n\r\n${jsonHead('200 OK', result(r.id))}${result(r.id)}`), served],
  ['an object that is no JSON-RPC response', answer('200 OK', () => '{"error":"MCP endpoint is switched off or unknown"}')],
  ['another id', answer('200 OK', (r) => result(r.id + 7000)), (reply, texts, id) => {
    served(reply);
    assert.ok(texts.includes(`tools/call test_echo | Orvin podał w odpowiedzi inne id: ${id + 7000} - przekazuję ją z id żądania.`), texts.join('\n'));
  }],
  ['the id as a string', answer('200 OK', (r) => result(String(r.id))), served],
  ['no id', answer('200 OK', () => result(0).replace('"id":0,', '')), served],
  ['a null id written with blanks', answer('200 OK', () => '{"jsonrpc": "2.0", "id": null, "error": {"code": -32603, "message": "x"}}'), errorX],
  ['a 404 with a JSON-RPC error', answer('404 Not Found', (r) => JSON.stringify({ jsonrpc: '2.0', id: r.id, error: { code: -32601, message: 'x' } })), errorX],
  ['text in the ANSI code page', answer('200 OK', (r) => Buffer.concat([Buffer.from(result(r.id, 'B').slice(0, -5)), Buffer.from([0xb3, 0xb9]), Buffer.from('d"}]}}')])), (reply, texts) => {
    assert.equal(reply.result?.content?.[0]?.text, 'B\uFFFD\uFFFDd');
    assert.ok(texts.some((l) => l.endsWith('błędne sekwencje zastąpiłem znakiem U+FFFD (2).')), texts.join('\n'));
  }],
  ['the token escaped by the JSON writer', answer('500 Internal Server Error', (r) => `{"jsonrpc":"2.0","id":${r.id},"error":{"message":"Odmowa dla ${escapedToken(r)}"}}`), (reply, texts, id, token) => {
    assert.equal(reply.error?.message, `Odmowa dla ${token}`);
    assert.ok(texts.some((l) => l.endsWith('"message":"Odmowa dla ***"}}')), texts.join('\n'));
  }],
  ['a reply broken off in the token', answer('200 OK', (r) => `{"jsonrpc":"2.0","error":{"message":"Bearer ${tokenOf(r).slice(0, 15)}`), (reply, texts) => {
    assert.ok(mayHaveRunReason(reply.error?.message), JSON.stringify(reply));
    assert.match(texts.at(-1), /"message":"Bearer \*\*\*$/);
  }],
  ['a pretty-printed error', answer('500 Internal Server Error', (r) => JSON.stringify({ jsonrpc: '2.0', id: r.id, error: { code: -1, message: 'x' } }, null, 2).replaceAll('\n', '\r\n')), (reply, texts) => {
    errorX(reply);
    assert.equal(texts.length, 2, texts.join('\n'));
    assert.match(texts[0], /^tools\/call test_echo \| Orvin zwrócił błąd: \{\\r\\n {2}"jsonrpc": "2\.0",\\r\\n {2}"id": \d+,/);
  }],
];

describe('endpoints that behave like ordinary HTTP servers', () => {
  let standIn;
  let endpoint;
  let bridge;
  let token;
  let serial = 0;

  before(async () => {
    endpoint = new RawEndpoint();
    await endpoint.listen();
    standIn = await CrmStandIn.launch({ args: ['-test-tools', '-token', 'Zk4/qW+8nR2/xT7+pL5mV9'] });
    await standIn.command(`/announce?port=${endpoint.port}`);
    token = await standIn.token();
    bridge = startBridge();
    endpoint.respond = (s) => s.write(head('202 Accepted', ['Content-Length: 0']));  // the greeting
    assert.equal(await bridge.greet(), `Połączono z Orvinem na porcie ${endpoint.port}.`, bridge.transcript());
  });

  after(async () => {
    await finishQuietly(bridge);
    await stopAllStandIns();
    await endpoint.close();
  });

  // The log line that ends a forwarded request: its timing, or the failure after possible delivery.
  const closing = (l) => /^tools\/call test_echo \| (t=|bez powtórki)/.test(l);

  // Sends a tool call; its parsed answer and closing log line, and every log text of the request.
  async function call(id = 5000 + ++serial) {
    const from = bridge.lines().length;
    const logFrom = bridge.logTexts().length;
    bridge.send({ jsonrpc: '2.0', id, method: 'tools/call', params: { name: 'test_echo', arguments: {} } });
    const line = await bridge.waitForLine((l) => JSON.parse(l).id === id, { from, describe: `the answer to ${id}` });
    const log = await bridge.waitForLog(closing, { from: logFrom, describe: `the closing log line of ${id}` });
    return { id, reply: JSON.parse(line), log, texts: bridge.logTexts().slice(logFrom) };
  }

  function answersTo(id) {
    return bridge.lines().filter((l) => JSON.parse(l).id === id).length;
  }

  test('kept connections, "Connection: close" ignored, every later request on a connection dropped after reading it', async () => {
    endpoint.respond = (s, r) => {
      if (r.onConnection > 1) s.destroy();
      else s.write(jsonHead('200 OK', result(r.id)) + result(r.id));
    };
    const first = endpoint.connections;
    for (let i = 0; i < 4; i++) {
      const { id, reply } = await call();
      assert.equal(reply.result?.content?.[0]?.text, 'ok', JSON.stringify(reply));
      assert.equal(endpoint.deliveries(id).length, 1, `${id} delivered once`);
      assert.equal(answersTo(id), 1);
    }
    assert.equal(endpoint.connections - first, 4, 'a new connection for every request');
    assert.match(endpoint.requests.at(-1).head, /\r\nConnection: close$/im);
  });

  test('a request dropped after reading it, then a 401 from the restarted endpoint', async () => {
    let rejectNext = true;
    endpoint.respond = (s, r) => {
      if (r.body.includes('"raw-dropped"')) return s.destroy();
      if (rejectNext) {
        rejectNext = false;
        return s.write(jsonHead('401 Unauthorized', ''));
      }
      s.write(jsonHead('200 OK', result(r.id)) + result(r.id));
    };
    const { reply: dropped } = await call('raw-dropped');
    assert.ok(mayHaveRunReason(dropped.error?.message), JSON.stringify(dropped));
    assert.equal(endpoint.deliveries('raw-dropped').length, 1, 'not sent again');

    const { id, reply, log } = await call();
    assert.equal(reply.result?.content?.[0]?.text, 'ok', JSON.stringify(reply));
    assert.equal(endpoint.deliveries(id).length, 2, 'rejected once, served once');
    assert.match(log, /^tools\/call test_echo \| t=\d+ms/);
    assert.equal(answersTo('raw-dropped'), 1);
    assert.equal(answersTo(id), 1);
  });

  for (const [name, respond, check, expected] of REPLIES) {
    test(`${name}: one answer, ${check ? 'as the row expects' : 'the "MOGŁO" error'}`, async (t) => {
      endpoint.respond = respond;
      const { id, reply, log, texts } = await call();
      assert.equal(answersTo(id), 1);
      assert.equal(endpoint.deliveries(id).length, 1);
      if (check) return check(reply, texts, id, token);
      const reason = mayHaveRunReason(reply.error?.message);
      assert.ok(reason, JSON.stringify(reply));
      if (expected) assert.ok([expected].flat().includes(reason), reason);
      assert.equal(reply.error.code, -32000);
      assert.ok(log.startsWith('tools/call test_echo | bez powtórki, mogło dotrzeć | '), log);
      t.diagnostic(reason);
    });
  }

  test('an error text that echoes the Authorization header never brings the token into the log', async () => {
    const echo = (r) => /\r\nAuthorization: ([^\r]*)/i.exec(r.head)[1];
    endpoint.respond = (s, r) => {
      const body = JSON.stringify({ jsonrpc: '2.0', id: r.id, error: { code: -32603, message: `Odmowa dla ${echo(r)}` } });
      s.end(jsonHead('500 Internal Server Error', body) + body);
    };
    const first = await call();
    assert.equal(first.reply.error.message, `Odmowa dla Bearer ${token}`, 'the client gets the reply as it came');
    assert.ok(first.texts.some((l) => l.includes('Orvin zwrócił błąd: ') && l.includes('Odmowa dla Bearer ***')), first.texts.join('\n'));

    endpoint.respond = (s, r) => s.end(`${head('403 Forbidden', ['Content-Type: text/plain'])}Rejected: ${echo(r)}`);
    const second = await call();
    assert.ok(mayHaveRunReason(second.reply.error?.message), JSON.stringify(second.reply));
    assert.ok(second.log.includes('Rejected: Bearer ***'), second.log);
    assert.ok(!bridge.stderr.toString('utf8').includes(token), bridge.transcript());
  });
});
