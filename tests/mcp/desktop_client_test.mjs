// quorvel-cu-mcp driven by the official MCP TypeScript client over stdio, with the real helper
// on a virtual X11 desktop (run under scripts/vdesk) and the GTK test application's form as the
// window; a terminal beside it is withheld. Effects are checked in the application itself.
//
// Environment: QCU_MCP_SERVER (the server; its helper is quorvel-cu beside it), QCU_TEST_APP
// (the GTK test application), QCU_FIXTURE (the form fixture).
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import readline from 'node:readline';
import { after, before, describe, it } from 'node:test';

import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';

import { decodePng, jsonOf, textOf } from './results.mjs';

const SERVER = process.env.QCU_MCP_SERVER;
const TEST_APP = process.env.QCU_TEST_APP;
const FIXTURE = process.env.QCU_FIXTURE;
// Every wait below ends by this deadline; CI runs sanitized builds two at a time on two cores.
const WAIT_MS = 30000;

async function waitFor(what, condition) {
  const deadline = Date.now() + WAIT_MS;
  let last;
  for (;;) {
    last = await condition();
    if (last?.done) return last.value;
    if (Date.now() > deadline) {
      throw new Error(`timed out waiting for ${what}; last seen: ${JSON.stringify(last?.value)}`);
    }
    await new Promise((resolve) => setTimeout(resolve, 200));
  }
}

// The GTK test application, driven over its standard input: one JSON command a line, each
// answered by one line with the same id.
class TestApp {
  constructor() {
    this.process = spawn(TEST_APP, ['--fixture', FIXTURE], { stdio: ['pipe', 'pipe', 'inherit'] });
    this.waiting = new Map();
    this.next = 0;
    this.ready = new Promise((resolve, reject) => {
      const timer = setTimeout(() => reject(new Error('the test application did not start')),
        WAIT_MS);
      readline.createInterface({ input: this.process.stdout }).on('line', (line) => {
        const message = JSON.parse(line);
        if (message.event === 'ready') {
          clearTimeout(timer);
          resolve(message);
        }
        this.waiting.get(message.id)?.(message);
      });
    });
  }

  async command(request) {
    const id = ++this.next;
    const answer = new Promise((resolve, reject) => {
      const timer = setTimeout(() => reject(new Error(`no answer to ${request.op}`)), WAIT_MS);
      this.waiting.set(id, (message) => {
        clearTimeout(timer);
        resolve(message);
      });
    });
    this.process.stdin.write(JSON.stringify({ ...request, id }) + '\n');
    return answer;
  }

  close() {
    this.process.stdin.end();
  }
}

describe('quorvel-cu-mcp on a real desktop with the official client', () => {
  const app = new TestApp();
  let terminal;
  let client;
  let element; // label -> element of the latest observation

  const call = (name, args = {}) => client.callTool({ name, arguments: args });
  const get = async (node) => app.command({ op: 'get', node });

  before(async () => {
    assert.ok(SERVER && TEST_APP && FIXTURE, 'QCU_MCP_SERVER, QCU_TEST_APP and QCU_FIXTURE');
    assert.ok(process.env.DISPLAY, 'runs on a desktop (scripts/vdesk run)');
    await app.ready;
    terminal = spawn('xterm', ['-T', 'Notes'], { stdio: 'ignore' });
    // The client hands a server only a few variables of its own by default; the desktop's
    // display and session bus must be passed on, as a user's configuration would.
    const transport = new StdioClientTransport({ command: SERVER, args: [], stderr: 'inherit',
      env: { ...process.env } });
    client = new Client({ name: 'qcu-mcp-desktop-test', version: '1.0.0' });
    await client.connect(transport);
  });

  after(async () => {
    await client?.close();
    terminal?.kill();
    app.close();
  });

  it('lists the form and withholds the terminal', async () => {
    const listing = await waitFor('the form listed and the terminal withheld', async () => {
      const result = await call('list_windows');
      if (result.isError) return { done: false, value: textOf(result) };
      const shown = jsonOf(result);
      return { done: shown.windows.some((w) => w.title === 'Test Form') &&
        shown.withheld?.['blocked-application'] === 1, value: shown };
    });
    assert.deepEqual(listing.windows.map((w) => w.title), ['Test Form']);
    assert.equal(listing.windows[0].application, 'qcu-test-app');
  });

  it('binds the form and observes it with a PNG screenshot', async () => {
    const bound = await call('bind_window', { window: 1 });
    assert.equal(bound.isError, false, textOf(bound));
    // The application registers with the accessibility bus a little after its window shows.
    const result = await waitFor('the form elements in an observation', async () => {
      const observed = await call('observe');
      return { done: !observed.isError && /"Send"/.test(textOf(observed)), value: textOf(observed) };
    });
    assert.ok(result);
    const observed = await call('observe');
    const observation = jsonOf(observed);
    element = Object.fromEntries(observation.elements.map((e) => [e.label, e]));
    assert.equal(observation.window.title, 'Test Form');
    assert.equal(element.Name.role, 'TextField');
    assert.equal(element.Name.textLength, 0);
    const images = observed.content.filter((item) => item.type === 'image');
    assert.equal(images.length, 1);
    const header = decodePng(Buffer.from(images[0].data, 'base64'));
    assert.ok(observation.coordinates.includes(`${header.width}x${header.height}`),
      observation.coordinates);
  });

  it('types into the entry with the effect proven', async () => {
    const typed = await call('type_text', { element: element.Name.element, text: 'Ada' });
    assert.equal(typed.isError, false, textOf(typed));
    assert.match(textOf(typed), /^Effect proven/);
    assert.equal((await get('name')).value, 'Ada');
  });

  it('clicks the button and presses keys in the entry', async () => {
    const sent = await call('click', { element: element.Send.element });
    assert.match(textOf(sent), /^Effect proven/);
    assert.equal((await get('send')).title, 'Sent');

    for (const key of ['Ctrl+A', 'Backspace']) {
      const pressed = await call('press_key', { key, element: element.Name.element });
      assert.equal(pressed.isError, false, textOf(pressed));
    }
    await waitFor('the entry emptied by the keys', async () => {
      const name = await get('name');
      return { done: name.value === '', value: name };
    });
  });
});
