// The CRM application's side of a soak: one stand-in at a time in the soak's
// folder, started again after each window restart, and the faults applied to it
// through its control endpoint. Each stand-in writes its record to a file of its
// own, so that nothing it saw is lost when it is closed.
import { createServer } from 'node:net';
import { readFileSync } from 'node:fs';
import { join } from 'node:path';
import { winPath } from '../e2e/harness.mjs';
import { CrmStandIn, delay } from '../e2e/link-support.mjs';

export const FOLDER = 'soak-crm';

// A port nobody listens on at the moment.
export function freePort() {
  return new Promise((resolve, reject) => {
    const server = createServer();
    server.once('error', reject);
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

export class Crm {
  constructor(outDir, note) {
    this.outDir = outDir;
    this.note = note;  // (text) -> the run's own log
    this.launches = 0;
    this.recordFiles = [];
    this.standIn = undefined;
  }

  async start(port, token) {
    for (let attempt = 1; ; attempt++) {
      const file = join(this.outDir, `record-${++this.launches}.jsonl`);
      this.recordFiles.push(file);
      try {
        this.standIn = await CrmStandIn.launch({
          folder: FOLDER,
          args: ['-test-tools', '-port', String(port), '-token', token, '-record-file', winPath(file)],
        });
        this.port = port;
        this.note(`stand-in ${this.launches} up on port ${port} (pid ${this.standIn.pid})`);
        return;
      } catch (err) {
        // The old listener's port may not be free again at once.
        this.note(`stand-in did not start on port ${port} (try ${attempt}): ${String(err.message).split('\n')[0]}`);
        if (attempt >= 5) throw err;
        await delay(1000);
        if (attempt >= 3) port = await freePort();
      }
    }
  }

  async stop() {
    const standIn = this.standIn;
    this.standIn = undefined;
    if (standIn) await standIn.stop();
  }

  // A control command; errors are noted, never thrown (the stand-in may be between lives).
  async command(path) {
    if (!this.standIn) return undefined;
    try {
      return await this.standIn.command(path);
    } catch (err) {
      this.note(`control ${path} failed: ${err.message}`);
      return undefined;
    }
  }

  // Carries out one event of the schedule; resolves when it is over.
  async apply(event) {
    const encode = encodeURIComponent;
    switch (event.kind) {
      case 'rotation':
        await this.command(`/rotate-token?token=${encode(event.token)}`);
        break;
      case 'windowRestart':
        await this.stop();
        await delay(event.downMs);
        await this.start(this.port, event.token);
        break;
      case 'newPort':
        await this.stop();
        await delay(event.downMs);
        await this.start(await freePort(), event.token);
        break;
      case 'endpointPause':
        await this.command('/endpoint?on=0');
        await delay(event.forMs);
        await this.command(`/endpoint?on=1${event.rotate ? '&rotate=1' : ''}`);
        break;
      case 'delay':
        await this.command(`/slow?ms=${event.ms}`);
        await delay(event.forMs);
        await this.command('/slow?ms=0');
        break;
      case 'cut':
        await this.command(`/break?step=${event.step}&count=${event.count}&reset=${event.reset ? 1 : 0}`);
        break;
      case 'toolsListError':
        await this.command('/toolslist-error?on=1');
        await delay(event.forMs);
        await this.command('/toolslist-error?on=0');
        break;
      case 'page':
      case 'quote':
        await this.command(`/quote-token?as=${event.kind === 'page' ? 'html' : 'json'}`);
        await delay(event.forMs);
        await this.command('/quote-token?as=off');
        break;
      case 'listenPause':
        await this.command('/listen?on=0');
        await delay(event.forMs);
        await this.command('/listen?on=1');
        break;
      default:
        throw new Error(`unknown fault ${event.kind}`);
    }
  }

  // Every fault of single requests undone, the endpoint on: the state the end of a run needs.
  async calm() {
    for (const path of ['/slow?ms=0', '/break?step=none', '/toolslist-error?on=0', '/quote-token?as=off', '/endpoint?on=1', '/listen?on=1', '/lose?every=0']) {
      await this.command(path);
    }
  }

  // What all stand-ins of the run recorded: requests with their outcome, and every token issued.
  readRecords() {
    const requests = [];
    const tokens = new Set();
    for (const [index, file] of this.recordFiles.entries()) {
      let text;
      try {
        text = readFileSync(file, 'utf8');
      } catch {
        continue;  // that stand-in never started
      }
      const bySeq = new Map();
      for (const line of text.split('\n')) {
        if (!line) continue;
        let entry;
        try {
          entry = JSON.parse(line);
        } catch {
          continue;  // a line cut by the process's end
        }
        if (entry.token !== undefined) tokens.add(entry.token);
        else if (entry.method !== undefined) bySeq.set(entry.seq, { ...entry, life: index + 1 });
        else if (bySeq.has(entry.seq)) Object.assign(bySeq.get(entry.seq), { status: entry.status, handled: entry.handled });
      }
      requests.push(...bySeq.values());
    }
    return { requests, tokens: [...tokens] };
  }
}
