// The official MCP TypeScript SDK client talking to the demo application
// through the real bridge executable.
//
// Needs TRELLUNE_MCP_EXECUTABLE and TRELLUNE_DEMO_APP (paths of the built
// programs); ctest sets both.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { once } from 'node:events';
import { randomBytes } from 'node:crypto';
import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';

const bridge = process.env.TRELLUNE_MCP_EXECUTABLE;
const demoApp = process.env.TRELLUNE_DEMO_APP;
assert.ok(bridge && demoApp, 'TRELLUNE_MCP_EXECUTABLE and TRELLUNE_DEMO_APP must be set');

const token = randomBytes(12).toString('hex');
const kDiagnostic = 'trellune-mcp: 缺少 TRELLUNE_MCP_PORT / TRELLUNE_MCP_TOKEN，退出\n';
let app;
let port;

before(async () => {
  app = spawn(demoApp, ['--token', token], { stdio: ['ignore', 'pipe', 'inherit'] });
  let banner = '';
  for await (const chunk of app.stdout) {
    banner += chunk;
    if (banner.includes('\n')) break;
  }
  const match = /^listening on 127\.0\.0\.1:(\d+)\n/.exec(banner);
  assert.ok(match, `unexpected banner: ${banner}`);
  port = match[1];
});

after(() => {
  app?.kill();
});

// A client whose transport starts the bridge. Every error the client
// reports (a reply for an unknown id, a malformed line, ...) is kept.
function startClient(env) {
  const transport = new StdioClientTransport({ command: bridge, args: [], env, stderr: 'pipe' });
  const client = new Client({ name: 'trellune-sdk-test', version: '1.0.0' });
  const errors = [];
  client.onerror = (error) => errors.push(error);
  let stderr = '';
  transport.stderr.on('data', (chunk) => { stderr += chunk; });
  return { client, transport, errors, stderr: () => stderr };
}

function textOf(result) {
  assert.equal(result.isError, undefined, JSON.stringify(result));
  assert.equal(result.content.length, 1);
  assert.equal(result.content[0].type, 'text');
  return result.content[0].text;
}

test('a whole session through the bridge, in order and stamped', async () => {
  const { client, transport, errors, stderr } = startClient({ TRELLUNE_MCP_PORT: port, TRELLUNE_MCP_TOKEN: token });
  await client.connect(transport);
  assert.equal(client.getServerVersion()?.name, 'trellune-demo-app');

  const { tools } = await client.listTools();
  assert.deepEqual(tools.map((t) => t.name).sort(), ['add', 'echo', 'inspect']);

  assert.equal(textOf(await client.callTool({ name: 'add', arguments: { a: 2, b: 40 } })), '42');
  assert.equal(textOf(await client.callTool({ name: 'add', arguments: { a: 0.1, b: 0.2 } })), '0.30000000000000004');
  const unicode = 'héllo "wörld" \\ \u2028 \u{1F600} \t\n end';
  assert.equal(textOf(await client.callTool({ name: 'echo', arguments: { text: unicode } })), unicode);
  assert.deepEqual(await client.ping(), {});

  // The application saw the token the bridge stamped into the request.
  const inspected = textOf(await client.callTool({ name: 'inspect', arguments: {} }));
  assert.match(inspected, /^token matched; request members: id, jsonrpc, method, params, token;/);

  // One hundred calls in turn: each reply is the one for its request.
  for (let i = 0; i < 100; i++) {
    const text = `sequential ${i} ${'x'.repeat(i * 37)}`;
    assert.equal(textOf(await client.callTool({ name: 'echo', arguments: { text } })), text);
  }

  // A burst sent at once: the bridge relays one request at a time, so the
  // replies come back in the order the requests were sent.
  const settled = [];
  const burst = Array.from({ length: 50 }, (_, i) => {
    const text = `burst ${i}`;
    return client.callTool({ name: 'echo', arguments: { text } }).then((result) => {
      settled.push(i);
      assert.equal(textOf(result), text);
    });
  });
  await Promise.all(burst);
  assert.deepEqual(settled, Array.from({ length: 50 }, (_, i) => i));

  await client.close();
  assert.deepEqual(errors, []);
  assert.equal(stderr(), '');
});

test('a wrong token is refused by the application', async () => {
  const { client, transport, stderr } = startClient({ TRELLUNE_MCP_PORT: port, TRELLUNE_MCP_TOKEN: 'wrong' });
  await assert.rejects(client.connect(transport), /unauthorized/);
  await client.close();
  assert.equal(stderr(), '');
});

test('a missing port ends the bridge with status 2 and the diagnostic', async () => {
  const { client, transport, stderr } = startClient({ TRELLUNE_MCP_TOKEN: token });
  // The transport keeps its child private; its exit status is only there.
  const exited = new Promise((resolve) => {
    const poll = setInterval(() => {
      const child = transport._process;
      if (child) {
        clearInterval(poll);
        if (child.exitCode !== null) resolve(child.exitCode);
        else child.once('exit', (code) => resolve(code));
      }
    }, 1);
  });
  await assert.rejects(client.connect(transport));
  assert.equal(await exited, 2);
  await new Promise((resolve) => setTimeout(resolve, 50));
  assert.equal(stderr(), kDiagnostic);
  await client.close();
});
