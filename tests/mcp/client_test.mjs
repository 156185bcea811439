// quorvel-cu-mcp driven by the official MCP TypeScript client over stdio, against the simulated
// helper on tests/mcp/desktop.json. The desktop's control socket lets the test act as the user
// (a key press) and change the desktop between two calls.
//
// Environment: QCU_MCP_SERVER (the server), QCU_MCP_HELPER (the simulated helper).
import assert from 'node:assert/strict';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { after, before, describe, it } from 'node:test';
import { fileURLToPath } from 'node:url';

import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';
import {
  EmptyResultSchema,
  ErrorCode,
  LoggingMessageNotificationSchema,
  McpError,
} from '@modelcontextprotocol/sdk/types.js';

import { decodePng, jsonOf, textOf } from './results.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const SERVER = process.env.QCU_MCP_SERVER;
const HELPER = process.env.QCU_MCP_HELPER;
// Every wait below ends by this deadline; CI runs sanitized builds two at a time on two cores.
const WAIT_MS = 20000;

async function waitFor(what, condition) {
  const deadline = Date.now() + WAIT_MS;
  for (;;) {
    const value = await condition();
    if (value) return value;
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}`);
    await new Promise((resolve) => setTimeout(resolve, 25));
  }
}

function alive(pid) {
  try {
    process.kill(pid, 0);
    const state = fs.readFileSync(`/proc/${pid}/stat`, 'utf8').split(') ')[1][0];
    return state !== 'Z';
  } catch {
    return false;
  }
}

// The server's child processes, from /proc.
function childrenOf(pid) {
  const children = [];
  for (const task of fs.readdirSync(`/proc/${pid}/task`)) {
    const text = fs.readFileSync(`/proc/${pid}/task/${task}/children`, 'utf8').trim();
    if (text) children.push(...text.split(/\s+/).map(Number));
  }
  return children.filter(alive);
}

// The simulated desktop's control connection: one command at a time, each answered in turn.
class Control {
  constructor() {
    this.dir = fs.mkdtempSync(path.join(os.tmpdir(), 'qcu-mcp-'));
    this.path = path.join(this.dir, 'control.sock');
    this.replies = [];
    this.waiting = [];
    this.buffer = '';
    this.connected = new Promise((resolve) => {
      this.server = net.createServer((socket) => {
        this.socket = socket;
        socket.setEncoding('utf8');
        socket.on('data', (chunk) => this.receive(chunk));
        resolve();
      });
    });
    this.listening = new Promise((resolve) => this.server.listen(this.path, resolve));
  }

  receive(chunk) {
    this.buffer += chunk;
    let lf;
    while ((lf = this.buffer.indexOf('\n')) >= 0) {
      const reply = JSON.parse(this.buffer.slice(0, lf));
      this.buffer = this.buffer.slice(lf + 1);
      this.waiting.shift()?.(reply);
    }
  }

  async send(command) {
    await this.connected;
    const reply = new Promise((resolve, reject) => {
      const timer = setTimeout(() => reject(new Error(`no reply to ${command.op}`)), WAIT_MS);
      this.waiting.push((answer) => {
        clearTimeout(timer);
        resolve(answer);
      });
    });
    this.socket.write(JSON.stringify(command) + '\n');
    const answer = await reply;
    assert.equal(answer.ok, true, JSON.stringify(answer));
    return answer;
  }

  close() {
    this.socket?.destroy();
    this.server.close();
    fs.rmSync(this.dir, { recursive: true, force: true });
  }
}

async function rejectsWith(promise, code) {
  await assert.rejects(promise, (error) => {
    assert.ok(error instanceof McpError, String(error));
    assert.equal(error.code, code, error.message);
    return true;
  });
}

describe('quorvel-cu-mcp with the official client', () => {
  const control = new Control();
  const logs = [];
  let client;
  let transport;
  let serverPid;
  let element; // label -> element number of the latest observation

  const call = (name, args = {}) => client.callTool({ name, arguments: args });
  const observe = async () => {
    const result = await call('observe');
    assert.equal(result.isError, false, textOf(result));
    const observation = jsonOf(result);
    element = Object.fromEntries(observation.elements.map((e) => [e.label, e]));
    return { result, observation };
  };

  before(async () => {
    assert.ok(SERVER && HELPER, 'QCU_MCP_SERVER and QCU_MCP_HELPER name the executables');
    await control.listening;
    transport = new StdioClientTransport({
      command: 'python3',
      args: [path.join(here, 'with-control.py'), control.path, SERVER, '--helper', HELPER, '--',
        '--sim-desktop', path.join(here, 'desktop.json'), '--sim-control', '3'],
      stderr: 'inherit',
    });
    client = new Client({ name: 'qcu-mcp-test', version: '1.0.0' });
    client.setNotificationHandler(LoggingMessageNotificationSchema, (n) => logs.push(n.params));
    await client.connect(transport);
    serverPid = transport.pid;
  });

  after(async () => {
    await client?.close();
    control.close();
  });

  it('initializes and lists its tools with schemas', async () => {
    assert.equal(client.getServerVersion().name, 'quorvel-cu-mcp');
    const capabilities = client.getServerCapabilities();
    assert.ok(capabilities.tools && capabilities.logging);
    assert.match(client.getInstructions(), /list_windows/);

    const { tools } = await client.listTools();
    assert.deepEqual(tools.map((t) => t.name).sort(), ['bind_window', 'click', 'list_windows',
      'observe', 'press_key', 'scroll', 'stop', 'type_text']);
    for (const tool of tools) {
      assert.ok(tool.description && !tool.description.includes('\n'), tool.name);
      assert.equal(tool.inputSchema.type, 'object', tool.name);
      // The client speaks the newest protocol, which has titles and annotations.
      assert.ok(tool.title && tool.annotations, tool.name);
    }
    const key = tools.find((t) => t.name === 'press_key').inputSchema.properties.key;
    assert.ok(key.enum.includes('Enter') && key.enum.includes('Ctrl+C'));
  });

  it('lists windows, withholding the protected application', async () => {
    const listing = jsonOf(await call('list_windows'));
    assert.deepEqual(listing.windows.map((w) => w.title), ['Draft', 'todo.txt']);
    assert.equal(listing.withheld['blocked-application'], 1);
  });

  it('refuses to bind an application that turned into a protected one after listing', async () => {
    await control.send({ op: 'set-app', pid: 9004444, bundleIdentifier: 'com.apple.Terminal' });
    const refused = await call('bind_window', { window: 2 });
    assert.equal(refused.isError, true);
    assert.match(textOf(refused), /forbidden_target/);
  });

  it('binds a window and observes it with a PNG screenshot', async () => {
    await call('list_windows'); // the refused binding used up its listing
    const bound = await call('bind_window', { window: 1 });
    assert.equal(bound.isError, false, textOf(bound));
    assert.match(textOf(bound), /brought it to the front/);

    const { result, observation } = await observe();
    assert.equal(observation.window.title, 'Draft');
    assert.deepEqual(Object.keys(element).sort(), ['Keep a copy', 'Send', 'Subject']);
    assert.equal(element.Subject.textLength, 2);
    assert.equal(element['Keep a copy'].state, 'off');
    assert.match(observation.text, /idle/);

    const images = result.content.filter((item) => item.type === 'image');
    assert.equal(images.length, 1);
    assert.equal(images[0].mimeType, 'image/png');
    const header = decodePng(Buffer.from(images[0].data, 'base64'));
    assert.ok(observation.coordinates.includes(`${header.width}x${header.height}`),
      observation.coordinates);
  });

  it('types into the entry with the effect proven, twice without observing between', async () => {
    for (const text of [' there', ', all']) {
      const typed = await call('type_text', { element: element.Subject.element, text });
      assert.equal(typed.isError, false, textOf(typed));
      assert.match(textOf(typed), /^Effect proven/);
    }
    await observe();
    assert.equal(element.Subject.textLength, 'Hi there, all'.length);
  });

  it('clicks a button and a check box, and presses a key', async () => {
    const sent = await call('click', { element: element.Send.element });
    assert.match(textOf(sent), /^Effect proven/);
    const checked = await call('click', { element: element['Keep a copy'].element });
    assert.match(textOf(checked), /^Effect proven/);
    let { observation } = await observe();
    assert.match(observation.text, /sent/);
    assert.equal(element['Keep a copy'].state, 'on');

    const pressed = await call('press_key', { key: 'Enter' });
    assert.match(textOf(pressed), /^Effect proven/);
    ({ observation } = await observe());
    assert.match(observation.text, /entered/);

    const scrolled = await call('scroll', { direction: 'down' });
    assert.match(textOf(scrolled), /^Dispatched but unproven/);
  });

  it('stops, and acts again after a new observation', async () => {
    const stopped = await call('stop');
    assert.equal(stopped.isError, false, textOf(stopped));
    assert.match(textOf(stopped), /^Stopped/);
    await observe();
    const pressed = await call('press_key', { key: 'Enter', element: element.Subject.element });
    assert.match(textOf(pressed), /^(Effect proven|Dispatched but unproven)/);
  });

  it('reports the user acting, as a log message and in the next result', async () => {
    await control.send({ op: 'input', types: [10, 11] });
    await waitFor('the hardware-input log message',
      () => logs.some((log) => log.data?.event === 'hardware-input'));
    // The user acted after the observation: acting on it now is refused.
    const refused = await call('press_key', { key: 'Tab' });
    assert.equal(refused.isError, true);
    assert.match(textOf(refused), /Since the last call: .*hardware-input/);
    assert.match(textOf(refused), /hardware_input/);
  });

  it('answers garbage with JSON-RPC errors and keeps serving', async () => {
    await rejectsWith(client.request({ method: 'no/such/method' }, EmptyResultSchema),
      ErrorCode.MethodNotFound);
    await rejectsWith(call('no_such_tool'), ErrorCode.InvalidParams);
    await rejectsWith(call('click', { element: 'three' }), ErrorCode.InvalidParams);
    await rejectsWith(call('click', { element: 1, x: 3, y: 4 }), ErrorCode.InvalidParams);
    await rejectsWith(call('type_text', { element: 1 }), ErrorCode.InvalidParams);
    await rejectsWith(call('press_key', { key: 'Ctrl+Alt+Delete' }), ErrorCode.InvalidParams);

    // Malformed JSON-RPC through the same transport; their answers are taken off before the
    // client, which knows none of these ids. (Answers with a null id, to lines whose id could
    // not be read, are covered by the process test: this client drops them as invalid.)
    const raw = [];
    const onmessage = transport.onmessage;
    transport.onmessage = (message, extra) => {
      if (String(message.id).startsWith('raw-')) raw.push(message);
      else onmessage(message, extra);
    };
    await transport.send({ jsonrpc: '1.0', id: 'raw-1', method: 'ping' });
    await transport.send({ jsonrpc: '2.0', id: 'raw-2', method: 7 });
    await transport.send({ jsonrpc: '2.0', id: 'raw-3', method: 'tools/call', params: [1, 2] });
    await transport.send({ jsonrpc: '2.0', method: 'notifications/unknown' }); // no answer
    await transport.send({ jsonrpc: '2.0', id: 'raw-4', method: 'ping' });
    await waitFor('four answers', () => raw.length >= 4);
    transport.onmessage = onmessage;
    assert.deepEqual(raw.map((m) => [m.id, m.error?.code]), [
      ['raw-1', ErrorCode.InvalidRequest],
      ['raw-2', ErrorCode.InvalidRequest],
      ['raw-3', ErrorCode.InvalidParams],
      ['raw-4', undefined],
    ]);
    await client.ping();
  });

  it('restarts the helper when it dies, and says the binding is gone', async () => {
    const [helper] = childrenOf(serverPid);
    assert.ok(helper, 'the server runs a helper');
    process.kill(helper, 'SIGKILL');
    await waitFor('the log message of the helper ending',
      () => logs.some((log) => log.level === 'error' && /ended/.test(log.data?.message)));

    const unbound = await call('observe');
    assert.equal(unbound.isError, true);
    assert.match(textOf(unbound), /helper process ended \(killed by signal 9\)/);
    assert.match(textOf(unbound), /No window is bound/);
    const [restarted] = childrenOf(serverPid);
    assert.ok(restarted && restarted !== helper, 'a new helper runs');

    const listing = jsonOf(await call('list_windows'));
    assert.ok(listing.windows.some((w) => w.title === 'Draft'));
    assert.equal((await call('bind_window', { window: 1 })).isError, false);
  });

  it('leaves no helper behind when the client closes', async () => {
    const helpers = childrenOf(serverPid);
    assert.equal(helpers.length, 1);
    await client.close();
    client = undefined;
    await waitFor('the server and its helper to end', () => !alive(serverPid) && !alive(helpers[0]));
  });
});
