// The stand-in breaks the connection at every step of an exchange, by a reset and
// by an orderly close, on a bridge's first request and after earlier ones. Each
// request must get exactly one answer, and none may reach the CRM application twice.
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
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

  async function linkedBridge() {
    const bridge = startBridge();
    bridges.push(bridge);
    await bridge.waitForLog((l) => l === `Połączono z Orvinem na porcie ${standIn.port}.`, { describe: 'the link' });
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
      test(`${how} at ${step}, on the first request of a bridge`, async (t) => {
        const bridge = await linkedBridge();
        t.diagnostic(await breakAndCheck(bridge, step, reset, 'fresh'));
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
