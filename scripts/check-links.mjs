#!/usr/bin/env node
// Checks every relative link of the documentation: the file it names must be a file
// or folder of the repository, and a #fragment must name a heading of that file as
// GitHub makes its anchors. Links to other sites are not followed; nothing here uses
// the network. Links inside code (fenced or indented blocks, `spans`) are no links.
//   node scripts/check-links.mjs [file.md ...]   (default: README.md, CHANGELOG.md,
//                                                  doc/*.md, standin/README.md)
// Exit code 0 when every link resolves; otherwise each dead link is named.

import { execFileSync } from 'node:child_process';
import { existsSync, readdirSync, readFileSync, statSync } from 'node:fs';
import { dirname, join, relative, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';

const ROOT = resolve(dirname(fileURLToPath(import.meta.url)), '..');

// The text of a file outside code, as paragraphs with the line each one starts on.
function paragraphs(text) {
  const result = [];
  let lines = [];
  let start = 0;
  let fence = null;
  let inCode = false;  // an indented code block
  let listed = false;  // the block before is a list, whose continuations are indented too
  const flush = () => {
    if (lines.length > 0) result.push({ line: start, text: lines.join('\n') });
    lines = [];
  };
  text.split(/\r?\n/).forEach((line, index) => {
    if (fence) {
      if (line.trimStart().startsWith(fence)) fence = null;
      return;
    }
    const opening = /^ {0,3}(`{3,}|~{3,})/.exec(line);
    if (opening) {
      flush();
      fence = opening[1];
      return;
    }
    if (line.trim() === '') {
      flush();
      return;
    }
    if ((inCode || (lines.length === 0 && !listed)) && /^( {4}|\t)/.test(line)) {
      inCode = true;
      return;
    }
    inCode = false;
    if (lines.length === 0) {
      start = index + 1;
      listed = /^\s*([-*+]|\d+[.)])\s/.test(line);
    }
    lines.push(line);
  });
  flush();
  return result;
}

// Code spans are taken out (their backticks and contents), so that no link is found in them.
const withoutCodeSpans = (text) => text.replace(/(`+)[\s\S]*?\1/g, '');

// The anchor GitHub gives a heading: its text as shown, lowercased, with every character
// but letters (Polish ones too), digits, '_', '-' and blanks removed, blanks as '-'.
export function anchorOf(heading) {
  const shown = heading
    .replace(/!?\[([^\]]*)\]\([^)]*\)/g, '$1')
    .replace(/`/g, '')
    .replace(/<[^>]*>/g, '');
  return shown.trim().toLowerCase().replace(/[^\p{L}\p{M}\p{N}\p{Pc}\- ]/gu, '').replace(/ /g, '-');
}

// The anchors of a Markdown file; a repeated one gets -1, -2, … as on GitHub.
function anchorsOf(file) {
  const anchors = new Set();
  const seen = new Map();
  for (const { text } of paragraphs(readFileSync(file, 'utf8'))) {
    for (const line of text.split('\n')) {
      const heading = /^ {0,3}#{1,6}\s+(.*?)(\s+#+)?\s*$/.exec(line);
      if (!heading) continue;
      const anchor = anchorOf(heading[1]);
      const count = seen.get(anchor) ?? 0;
      seen.set(anchor, count + 1);
      anchors.add(count === 0 ? anchor : `${anchor}-${count}`);
    }
  }
  return anchors;
}

// The relative links of a file: { line, target }.
function linksOf(file) {
  const links = [];
  for (const paragraph of paragraphs(readFileSync(file, 'utf8'))) {
    const text = withoutCodeSpans(paragraph.text);
    const patterns = [
      /\]\(\s*<?([^)\s>]*)>?(?:\s+["'(][^)]*)?\)/g,  // [text](target "title")
      /^ {0,3}\[[^\]]+\]:\s*<?(\S*?)>?(?:\s|$)/gm,     // [name]: target
      /<a\s[^>]*href="([^"]*)"/g,
    ];
    for (const pattern of patterns) {
      for (const match of text.matchAll(pattern)) {
        const target = match[1];
        if (/^[a-z][a-z0-9+.-]*:/i.test(target)) continue;  // another site, or mail
        const line = paragraph.line + text.slice(0, match.index).split('\n').length - 1;
        links.push({ line, target });
      }
    }
  }
  return links;
}

const ignoredByGit = (root, path) => {
  try {
    execFileSync('git', ['-C', root, 'check-ignore', '-q', path], { stdio: 'ignore' });
    return true;
  } catch {
    return false;  // not ignored, or no repository to ask
  }
};

// Every dead link of the files of the repository in root, as "file:line: target: why".
export function deadLinks(files, root = ROOT) {
  const problems = [];
  const anchors = new Map();
  for (const file of files) {
    for (const { line, target } of linksOf(file)) {
      const hash = target.indexOf('#');
      const path = decodeURIComponent(hash < 0 ? target : target.slice(0, hash));
      const fragment = hash < 0 ? null : decodeURIComponent(target.slice(hash + 1));
      const named = path === '' ? file : resolve(dirname(file), path);
      const where = `${relative(root, file)}:${line}: ${target}`;
      if (relative(root, named).startsWith('..')) {
        problems.push(`${where}: leads out of the repository`);
      } else if (!existsSync(named) || ignoredByGit(root, named)) {
        problems.push(`${where}: no such file in the repository`);
      } else if (fragment !== null) {
        if (!named.endsWith('.md') || statSync(named).isDirectory()) {
          problems.push(`${where}: only a Markdown file has headings to link to`);
          continue;
        }
        if (!anchors.has(named)) anchors.set(named, anchorsOf(named));
        if (!anchors.get(named).has(fragment)) problems.push(`${where}: no such heading in ${relative(root, named)}`);
      }
    }
  }
  return problems;
}

function documentation() {
  const doc = join(ROOT, 'doc');
  const manual = existsSync(doc) ? readdirSync(doc).filter((name) => name.endsWith('.md')).sort() : [];
  return ['README.md', 'CHANGELOG.md', ...manual.map((name) => join('doc', name)), join('standin', 'README.md')]
    .map((name) => join(ROOT, name));
}

if (process.argv[1] === fileURLToPath(import.meta.url)) {
  const files = process.argv.length > 2 ? process.argv.slice(2).map((name) => resolve(name)) : documentation();
  const missing = files.filter((file) => !existsSync(file));
  const problems = [...missing.map((file) => `${relative(ROOT, file)}: missing`), ...deadLinks(files.filter(existsSync))];
  for (const problem of problems) console.error(problem);
  console.log(`${files.length} files, ${problems.length === 0 ? 'every link resolves' : `${problems.length} dead links`}.`);
  process.exitCode = problems.length === 0 ? 0 : 1;
}
