#!/usr/bin/env node
// Builds the page library's package files into dist/:
//   tessera.mjs   the ES module
//   tessera.js    the script-tag build (global TesseraPage)
//   tessera.d.ts  the types
// The host statuses (name, number, English and Chinese text) come from the
// system's error-text table resources/ErrorText.def, the version from the
// extension's manifest, so all three parts carry the same numbers.
//
//   node build.mjs [--out DIR]
import { readFileSync, writeFileSync, mkdirSync } from 'node:fs';
import { join, dirname } from 'node:path';
import { fileURLToPath } from 'node:url';

const here = dirname(fileURLToPath(import.meta.url));
const repo = join(here, '..', '..');

// VELA_ERROR_TEXT(0x1001, NAME, "English", "Chinese") lines of the table.
export function parseErrorTexts(text) {
  const out = [];
  const line = /^VELA_ERROR_TEXT\(0x([0-9a-f]{4}),\s*(\w+),\s*"((?:[^"\\]|\\.)*)",\s*"((?:[^"\\]|\\.)*)"\)\s*$/i;
  for (const raw of text.split('\n')) {
    if (!raw.startsWith('VELA_ERROR_TEXT(')) continue;
    const m = line.exec(raw.trim());
    if (!m) throw new Error(`ErrorText.def: cannot read ${raw}`);
    const status = (0xA0070000 + parseInt(m[1], 16)) | 0;
    out.push({ name: m[2], status, hex: '0x' + (status >>> 0).toString(16).toUpperCase(), en: JSON.parse(`"${m[3]}"`), zh: JSON.parse(`"${m[4]}"`) });
  }
  return out;
}

export function buildLibrary({ version } = {}) {
  const source = readFileSync(join(here, 'tessera.js'), 'utf8');
  const statuses = parseErrorTexts(readFileSync(join(repo, 'resources', 'ErrorText.def'), 'utf8'));
  const v = version ?? JSON.parse(readFileSync(join(repo, 'browser', 'extension', 'manifest.json'), 'utf8')).version;
  const filled = source
    .replace(/\/\* @version \*\/ null/, JSON.stringify(v))
    .replace(/\/\* @statuses \*\/ \[\]/, JSON.stringify(statuses, null, 1));
  if (filled === source) throw new Error('tessera.js has no build placeholders');
  const names = [...filled.matchAll(/^export (?:class|function|const) (\w+)/gm)].map((m) => m[1]);
  const script = '// tessera.js, script-tag build: the page library as the global TesseraPage.\n' +
    '(function (root) {\n\'use strict\';\n' +
    filled.replace(/^export default \w+;\s*$/m, '').replace(/^export /gm, '') +
    `\nroot.TesseraPage = Object.freeze({ ${names.join(', ')} });\n})(typeof globalThis !== 'undefined' ? globalThis : this);\n`;
  const dts = readFileSync(join(here, 'tessera.d.ts'), 'utf8')
    .replace(/export type StatusName = string;/, `export type StatusName =\n${statuses.map((s) => `  | '${s.name}'`).join('\n')};`);
  return { esm: filled, script, dts, version: v, statuses };
}

if (process.argv[1] === fileURLToPath(import.meta.url)) {
  const i = process.argv.indexOf('--out');
  const out = i > 0 ? process.argv[i + 1] : join(here, 'dist');
  const built = buildLibrary();
  mkdirSync(out, { recursive: true });
  writeFileSync(join(out, 'tessera.mjs'), built.esm);
  writeFileSync(join(out, 'tessera.js'), built.script);
  writeFileSync(join(out, 'tessera.d.ts'), built.dts);
  console.log(`tessera ${built.version}: ${built.statuses.length} statuses -> ${out}`);
}
