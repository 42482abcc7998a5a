// SPDX-License-Identifier: MIT
// velkor for browsers and bundlers: the module's .wasm is fetched from
// beside this file, and the import resolves once it is compiled.  Node
// takes velkor-node.js instead (package.json's "exports").
import load from './velkor-core.js';

const url = new URL('velkor.wasm', import.meta.url);
const res = await fetch(url);
if (!res.ok) throw new Error(`velkor: ${url} could not be fetched (${res.status})`);
// Streaming compilation needs the server to say application/wasm; any
// other type is compiled from the bytes.
await load(res.headers.get('Content-Type')?.startsWith('application/wasm')
  ? await WebAssembly.compileStreaming(res)
  : await WebAssembly.compile(await res.arrayBuffer()));

export * from './velkor-core.js';
