#!/usr/bin/env node
// Calling tarn-wemb from Node.js: one JSON request in, one JSON line out.
'use strict';
const { spawn } = require('node:child_process');

// tarn-wemb refused the request; `text` is its "error" text.
class TarnError extends Error {
  constructor(text) {
    super(`tarn-wemb: ${text}`);
    this.name = 'TarnError';
    this.text = text;
  }
}

// Runs one command; resolves with its reply, rejects with TarnError on exit status 1.
function run(command, request, dir) {
  const args = dir === undefined ? [command] : [command, '--dir', dir];
  const child = spawn(process.env.TARN_WEMB || 'tarn-wemb', args, {
    stdio: ['pipe', 'pipe', 'ignore'],
  });
  const chunks = [];
  child.stdout.on('data', (chunk) => chunks.push(chunk));
  child.stdin.on('error', () => {}); // "status" exits without reading its input
  child.stdin.end(request === undefined ? '' : JSON.stringify(request));
  return new Promise((resolve, reject) => {
    child.on('error', reject);
    child.on('close', (code, signal) => {
      let reply;
      try {
        reply = JSON.parse(Buffer.concat(chunks).toString('utf8'));
      } catch {
        return reject(new Error(`tarn-wemb gave no reply (${signal ?? `exit status ${code}`})`));
      }
      if (code === 0) resolve(reply);
      else if (code === 1) reject(new TarnError(reply.error));
      else reject(new Error(`tarn-wemb ended with ${signal ?? `exit status ${code}`}`));
    });
  });
}

// The refusals a caller should treat differently from a fault.
const ADVICE = {
  cancelled: 'You cancelled the password prompt; nothing was opened.',
  denied: 'The password was not accepted; nothing was opened.',
  'no-key': 'This store has no key yet: seal something first.',
};

async function main([store]) {
  if (store === undefined) {
    console.error('usage: call.js STORE_DIR');
    return 2;
  }
  const texts = ['first secret', 'zażółć gęślą jaźń 🔐'];
  const { sealed } = await run('seal', { items: texts }, store);
  try {
    const { items } = await run('open', { items: sealed, reason: 'Show the example texts' }, store);
    console.log(JSON.stringify(items));
    return 0;
  } catch (error) {
    if (!(error instanceof TarnError) || !Object.hasOwn(ADVICE, error.text)) throw error;
    console.error(ADVICE[error.text]);
    return 1;
  }
}

module.exports = { run, TarnError };

if (require.main === module) {
  main(process.argv.slice(2)).then(
    (status) => { process.exitCode = status; },
    (error) => { console.error(error.message); process.exitCode = 1; },
  );
}
