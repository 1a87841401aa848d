// The tool-list cache file in the user's temporary folder: read while no CRM
// application runs, written by linked bridges, shared by several of them.
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { existsSync, mkdirSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { Bridge, wineTempFolder } from './harness.mjs';
import { CRM, CrmStandIn, cacheFile, call, finishQuietly, startBridge, stopAllStandIns } from './link-support.mjs';
import { CACHE_FILE, NO_WINDOW, placeholderList } from './texts.mjs';

const STORED = '{"tools":[{"name":"klienci_szukaj","description":"Szukaj","inputSchema":{"type":"object"}}]}';
const NOT_JSON = 'nie jest jednym poprawnym obiektem JSON';
const STORED_WITH_KEY =
  '{"tools":[{"name":"faktury_lista","description":"Lista faktur klienta – źródło: księgowość","inputSchema":{"type":"object","properties":{}}}]}';

describe('tool-list cache file', () => {
  let temp;
  let plainFile;
  let keyFile;
  const saved = new Map();
  let plain;
  let keyed;
  let nextId = 1;

  before(async () => {
    temp = wineTempFolder().host;
    plainFile = join(temp, CACHE_FILE);
    keyFile = join(temp, 'OrvinMCP_C__crm_k1_narzedzia.json');
    for (const file of [plainFile, keyFile]) {
      if (existsSync(file)) saved.set(file, readFileSync(file));
      rmSync(file, { force: true });
    }
    plain = Bridge.start({ args: ['-dir', 'C:\\crm'] });
    keyed = Bridge.start({ args: ['-dir', 'C:\\crm', '-mcp', 'k1'] });
    await Promise.all([plain.greet(), keyed.greet()]);
  });

  after(async () => {
    const codes = await Promise.all([plain?.finish(), keyed?.finish()]);
    for (const file of [plainFile, keyFile]) {
      if (!file) continue;
      rmSync(file, { force: true });
      if (saved.has(file)) writeFileSync(file, saved.get(file));
    }
    if (plain) assert.equal(codes[0], 0, plain.transcript());
    if (keyed) assert.equal(codes[1], 0, keyed.transcript());
  });

  async function listTools(bridge) {
    const id = nextId++;
    const { answer, log } = await bridge.exchange(`{"jsonrpc":"2.0","id":${id},"method":"tools/list"}`);
    return { id, answer, log };
  }

  // `logs`: how many log lines the request brings; the last one closes it.
  async function assertPlaceholder(bridge, why, logs = 1) {
    const logCount = bridge.logTexts().length;
    const { id, answer } = await listTools(bridge);
    assert.equal(answer, placeholderList(id), why);
    const log = await bridge.nthLog(logCount + logs);
    assert.equal(log, `tools/list | lista zastępcza (orvin_connect) | ${NO_WINDOW}`, why);
  }

  async function assertStored(bridge, content) {
    const { id, answer, log } = await listTools(bridge);
    const expected = Buffer.concat([Buffer.from(`{"jsonrpc":"2.0","id":${id},"result":`), content, Buffer.from('}')]);
    assert.ok(Buffer.from(answer, 'utf8').equals(expected), `answer ${answer}`);
    assert.equal(log, `tools/list | lista z pliku (${content.length}B) | ${NO_WINDOW}`);
  }

  test('without a cache file both bridges give the placeholder list', async () => {
    await assertPlaceholder(plain, 'no file');
    await assertPlaceholder(keyed, 'no file');
  });

  test('a stored list is returned unchanged, from the file named after the folder', async () => {
    writeFileSync(plainFile, STORED);
    await assertStored(plain, Buffer.from(STORED));
    await assertPlaceholder(keyed, 'the bridge with a key uses another file');
  });

  test('with an MCP key the file name carries the key', async () => {
    const content = Buffer.from(STORED_WITH_KEY, 'utf8');
    writeFileSync(keyFile, content);
    await assertStored(keyed, content);
    await assertStored(plain, Buffer.from(STORED));
  });

  test('the file is read anew for every answer', async () => {
    const changed = Buffer.from('{"tools":[]}');
    writeFileSync(plainFile, changed);
    await assertStored(plain, changed);
  });

  test('blanks around the one line of JSON do no harm', async () => {
    const padded = Buffer.from(` ${STORED}\t`);
    writeFileSync(plainFile, padded);
    await assertStored(plain, padded);
  });

  // Every unusable file is named in the log with the reason, then the placeholder goes out.
  for (const [what, content, reason] of [
    ['an empty file', '', 'jest pusty'],
    ['a file edited into several lines', JSON.stringify(JSON.parse(STORED), null, 2), 'ma więcej niż jeden wiersz'],
    ['a file without "tools"', '{"narzedzia":[]}', 'nie ma w nim tablicy "tools"'],
    ['a file whose "tools" is no array', '{"tools":"[]"}', 'nie ma w nim tablicy "tools"'],
    ['a file with members behind the list', `${STORED},"jsonrpc":"2.0","id":3`, NOT_JSON],
    ['a file with two objects', `${STORED}{"tools":[]}`, NOT_JSON],
    ['a file with an unfinished object', '{"tools":[{"name":"x"}', NOT_JSON],
    ['a file with a name and no value', '{"tools"}', NOT_JSON],
    ['a file with an array without commas', '{"tools":[1 2 3]}', NOT_JSON],
  ]) {
    test(`${what} is ignored with its reason and gives the placeholder list`, async () => {
      writeFileSync(plainFile, content);
      const logCount = plain.logTexts().length;
      await assertPlaceholder(plain, what, 2);
      assert.equal(
        plain.logTexts()[logCount],
        `Pominąłem plik z listą narzędzi ${wineTempFolder().windows}${CACHE_FILE}, bo ${reason}.`,
      );
    });
  }
});

describe('cache file of linked bridges', () => {
  let standIn;
  let saved;
  const bridges = [];

  before(async () => {
    const file = cacheFile();
    saved = existsSync(file) ? readFileSync(file) : undefined;
    standIn = await CrmStandIn.launch({ folder: 'crm' });
  });

  after(async () => {
    const codes = await Promise.all(bridges.map((b) => finishQuietly(b)));
    await stopAllStandIns();
    rmSync(cacheFile(), { force: true });
    if (saved) writeFileSync(cacheFile(), saved);
    codes.forEach((code, i) => assert.equal(code, 0, bridges[i].transcript()));
  });

  async function linkedBridge(options) {
    const bridge = options ? Bridge.start(options) : startBridge();
    bridges.push(bridge);
    assert.equal(await bridge.greet(), `Połączono z Orvinem na porcie ${standIn.port}.`, bridge.transcript());
    return bridge;
  }

  test('a temporary folder named in another alphabet holds a working cache', async () => {
    const name = 'Юлия-Łódź';  // no ANSI code page holds both
    const temp = wineTempFolder();
    const host = join(temp.host, name);
    mkdirSync(host, { recursive: true });
    try {
      const bridge = await linkedBridge({ args: ['-dir', CRM], tempFolder: `${temp.windows}${name}` });
      const good = await call(bridge, 1, 'tools/list');
      const file = join(host, CACHE_FILE);
      assert.deepEqual(JSON.parse(readFileSync(file, 'utf8')), good.result, 'written into that folder');

      await standIn.command('/toolslist-error?on=1');
      const fromFile = await call(bridge, 2, 'tools/list');
      assert.deepEqual(fromFile.result, good.result, 'read back from it');
      const bytes = readFileSync(file).length;
      const notice = `Lista narzędzi z Orvina przyszła z błędem - odsyłam: lista z pliku (${bytes}B).`;
      // The log and the answers have writers of their own: the answer may come first.
      await bridge.waitForLog((l) => l.startsWith(notice), { describe: notice });
      assert.ok(!bridge.logTexts().some((l) => l.startsWith('Nie zapisałem') || l.startsWith('Nie odczytałem')));
    } finally {
      await standIn.command('/toolslist-error?on=0');
      rmSync(host, { recursive: true, force: true });
    }
  });

  test('five bridges sharing one cache file never serve the placeholder in place of the cached list', async () => {
    rmSync(cacheFile(), { force: true });
    const five = await Promise.all([1, 2, 3, 4, 5].map(() => linkedBridge()));
    const good = await call(five[0], 1, 'tools/list');
    assert.ok(existsSync(cacheFile()));

    // The CRM application's list fails every other moment: some bridges replace
    // the file with a good list while others read it in place of a failed one.
    let failing = false;
    let flipping = true;
    const flipper = (async () => {
      while (flipping) {
        failing = !failing;
        await standIn.command(`/toolslist-error?on=${failing ? 1 : 0}`);
        await new Promise((r) => setTimeout(r, 15));
      }
      await standIn.command('/toolslist-error?on=0');
    })();
    const rounds = 40;
    let answers;
    try {
      answers = await Promise.all(
        five.map(async (bridge) => {
          const results = [];
          for (let id = 100; id < 100 + rounds; id++) results.push(await call(bridge, id, 'tools/list'));
          return results;
        }),
      );
    } finally {
      flipping = false;
      await flipper;
    }
    for (const [i, results] of answers.entries()) {
      for (const reply of results) assert.deepEqual(reply.result, good.result, `bridge ${i + 1}: ${JSON.stringify(reply)}`);
    }
    const logs = five.flatMap((b) => b.logTexts());
    const fromFile = logs.filter((l) => l.includes('przyszła z błędem - odsyłam: lista z pliku')).length;
    console.log(`${fromFile} of ${5 * rounds} lists came from the file`);
    assert.ok(fromFile > 0, 'some lists were read from the file');
    assert.deepEqual(
      logs.filter((l) => l.includes('lista zastępcza') || l.startsWith('Nie zapisałem') || l.startsWith('Nie odczytałem')),
      [],
    );
  });
});
