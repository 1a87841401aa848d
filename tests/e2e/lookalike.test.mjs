// CRM-like windows whose program lies outside the configured folder.
import { after, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { Bridge, StandIn } from './harness.mjs';
import { lookAlikes, notConnectedResult } from './texts.mjs';

describe('look-alike windows from another folder', () => {
  const standIns = [];
  let bridge;

  after(async () => {
    await Promise.all(standIns.map((s) => s.stop()));
    if (bridge) {
      const code = await bridge.finish();
      assert.equal(code, 0, bridge.transcript());
    }
  });

  async function startStandIns(specs) {
    const started = await Promise.allSettled(specs.map((spec) => StandIn.start(spec)));
    for (const s of started) if (s.status === 'fulfilled') standIns.push(s.value);
    for (const s of started) if (s.status === 'rejected') throw s.reason;
  }

  test('one look-alike is diagnosed; other classes and captions are not counted', async () => {
    await startStandIns([
      { folder: 'elsewhere' },
      { folder: 'elsewhere-class', args: ['-class', 'TMainForm'] },
      { folder: 'elsewhere-lower', args: ['-caption', 'orvin CRM'] },
      { folder: 'elsewhere-noblank', args: ['-caption', 'OrvinCRM'] },
    ]);
    bridge = Bridge.start({ args: ['-dir', 'C:\\crm'] });
    const diagnosis = lookAlikes(1, ['C:\\elsewhere\\']);
    assert.equal(await bridge.greet(), `Na razie bez połączenia: ${diagnosis}`);

    const { answer, log } = await bridge.exchange(
      '{"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"orvin_connect","arguments":{}}}',
    );
    assert.equal(answer, notConnectedResult(1, diagnosis));
    assert.equal(log, `tools/call orvin_connect | odmowa wykonania, brak Orvina | ${diagnosis}`);
  });

  test('a program in a subfolder of the configured folder does not belong to it', async () => {
    assert.ok(bridge, 'needs the bridge of the test before');
    await startStandIns([{ folder: 'crm/bin', args: ['-caption', 'Orvin CRM 2'] }]);
    const { answer } = await bridge.exchange(
      '{"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"orvin_connect","arguments":{}}}',
    );
    // The windows come in Z order, which the test does not choose.
    const folders = ['C:\\elsewhere\\', 'C:\\crm\\bin\\'];
    const expected = [folders, [...folders].reverse()].map((where) => notConnectedResult(2, lookAlikes(2, where)));
    assert.ok(expected.includes(answer), answer);
  });
});
