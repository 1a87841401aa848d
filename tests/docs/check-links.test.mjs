// The documentation's link check: what it takes for a link, and what it finds dead.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { mkdirSync, mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { deadLinks } from '../../scripts/check-links.mjs';

const TARGET = [
  '# Manual', '## Zażółć gęślą jaźń: `-install`, (T)!', '## Exit codes', '## Exit codes', 'text',
].join('\n');

// [what, a line of README.md, the dead link found or null]
const rows = [
  ['a heading with Polish letters, code and punctuation', '[x](doc/manual.md#zażółć-gęślą-jaźń--install-t)', null],
  ['a repeated heading, by its number', '[x](doc/manual.md#exit-codes-1)', null],
  ['a heading of the file itself', '[x](#readme)\n\n# README', null],
  ['a folder and a file of the repository', '[d](doc) and [f](./doc/manual.md "title")', null],
  ['link text wrapped over two lines', 'see [the exit\ncodes](doc/manual.md#exit-codes)', null],
  ['another site is not followed', '[x](https://example.com/nowhere#none)', null],
  ['a link in a fenced block', '```md\n[x](missing.md)\n```', null],
  ['a link in a code span', 'write `[x](missing.md)` there', null],
  ['a link in an indented block', 'text\n\n    [x](missing.md)', null],
  ['a missing file', 'text\nsee [x](doc/missing.md)', 'README.md:2: doc/missing.md: no such file in the repository'],
  ['a renamed heading', '[x](doc/manual.md#exit-code)', 'README.md:1: doc/manual.md#exit-code: no such heading in doc/manual.md'],
  ['a third exit-codes heading that is not there', '[x](doc/manual.md#exit-codes-2)', 'no such heading'],
  ['a file outside the repository', '[x](../elsewhere.md)', 'leads out of the repository'],
  ['a heading of a file that has none', '[x](doc#top)', 'only a Markdown file has headings to link to'],
  ['a reference definition', '[x][d]\n\n[d]: doc/gone.md', 'README.md:3: doc/gone.md: no such file'],
  ['a link in a list after a code block', '- item\n\n  ```\n  code\n  ```\n- [x](gone.md)', 'README.md:6: gone.md'],
];

test('the link check', async (t) => {
  const root = mkdtempSync(join(tmpdir(), 'links-'));
  t.after(() => rmSync(root, { recursive: true, force: true }));
  mkdirSync(join(root, 'doc'));
  writeFileSync(join(root, 'doc', 'manual.md'), TARGET);
  for (const [what, readme, dead] of rows) {
    await t.test(what, () => {
      writeFileSync(join(root, 'README.md'), readme);
      const found = deadLinks([join(root, 'README.md')], root);
      if (dead === null) assert.deepEqual(found, []);
      else assert.ok(found.length === 1 && found[0].includes(dead), found.join('\n') || 'nothing found');
    });
  }
});
