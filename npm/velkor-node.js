// SPDX-License-Identifier: MIT
// velkor for Node: the module's .wasm is read from beside this file, and
// the import resolves once it is compiled.
import { readFile } from 'node:fs/promises';
import load from './velkor-core.js';

await load(await WebAssembly.compile(await readFile(new URL('velkor.wasm', import.meta.url))));

export * from './velkor-core.js';
