// A client of the simulated reader's control channel, for tests of pages that use the
// fingerprint service: press fingers, unplug the reader, make SDK calls fail, from Node.
// No dependencies; each command is one short connection to 127.0.0.1, so any number of
// clients (and the reader-sim tool) may drive the same reader at once.
//
//   import { ReaderSimulator } from '<package>/simulator';
//   const reader = new ReaderSimulator();          // port: READER_SIM_CONTROL, else 22002
//   await reader.press(7);                         // resolves once the service has taken it
//
// The service must run with READER_SIM_CONTROL naming the port (`make run` does). Any local
// process can drive the reader while the channel is named; never name it where a real reader
// is meant to be used.

import net from 'node:net';

export const DEFAULT_CONTROL_PORT = 22002;
// How long press() and fake() wait for the service to take a press, unless told otherwise.
export const DEFAULT_PRESS_WAIT_MS = 5000;
// The longest wait the channel accepts.
export const MAX_PRESS_WAIT_MS = 60000;

// Why a command failed, in `code`:
//   'refused'      the reader answered with an error line (`reply` holds it)
//   'timeout'      a waited press was not taken in time; it has been withdrawn
//   'dropped'      a waited press was removed by reset() before any capture took it
//   'unreachable'  no channel answered on the port
export class SimulatorError extends Error {
  constructor(message, code, reply = undefined) {
    super(message);
    this.name = 'SimulatorError';
    this.code = code;
    this.reply = reply;
  }
}

function portFromEnvironment() {
  const value = Number(globalThis.process?.env?.READER_SIM_CONTROL);
  return Number.isInteger(value) && value > 0 && value < 65536 ? value : DEFAULT_CONTROL_PORT;
}

const delay = (milliseconds) => new Promise((resolve) => setTimeout(resolve, milliseconds));

export class ReaderSimulator {
  // port: the control channel's port; timeout: how long a channel that is still starting is
  // waited for, and how long a reply may take beyond a press's wait.
  constructor({ port = portFromEnvironment(), host = '127.0.0.1', timeout = 2000 } = {}) {
    this.port = port;
    this.host = host;
    this.timeout = timeout;
  }

  // Sends one command line; resolves with the text after "ok" ('' for a bare "ok").
  async command(line, { replyWait = 0 } = {}) {
    if (/[\r\n]/.test(line)) throw new TypeError('a command is one line');
    const deadline = Date.now() + this.timeout;
    for (;;) {
      const { connected, reply } = await this.#exchange(line, deadline + replyWait);
      if (reply !== undefined) return this.#interpret(line, reply);
      // Sent but not answered: never sent twice, so a press is never queued twice.
      if (connected) {
        throw new SimulatorError(`${line}: no reply from ${this.host}:${this.port}`, 'unreachable');
      }
      if (Date.now() + 50 >= deadline) {
        throw new SimulatorError(
          `no simulated reader answers on ${this.host}:${this.port} (is the service running with ` +
            `READER_SIM_CONTROL=${this.port}?)`,
          'unreachable',
        );
      }
      await delay(50);
    }
  }

  // A live press of finger N (0 to 999999). With wait (ms, default DEFAULT_PRESS_WAIT_MS)
  // resolves 'captured' once the service is done with it, so a status request made next
  // already sees it; with wait: false resolves 'queued' at once. length: the template length
  // the capture reports.
  press(finger, { wait = DEFAULT_PRESS_WAIT_MS, length } = {}) {
    return this.#press('press', finger, wait, length === undefined ? '' : ` length=${length}`);
  }

  // A press that the fake-finger check rejects; resolves 'fake' once taken.
  fake(finger, { wait = DEFAULT_PRESS_WAIT_MS } = {}) {
    return this.#press('fake', finger, wait, '');
  }

  async unplug() { await this.command('unplug'); }
  async plug() { await this.command('plug'); }
  // call: 'init', 'dbinit', 'merge' or 'params'.
  async fail(call) { await this.command(`fail ${call}`); }
  async pass(call) { await this.command(`pass ${call}`); }
  async serial(text) { await this.command(`serial ${text}`); }
  async image(width, height) { await this.command(`image ${width} ${height}`); }
  // Presses queued and not yet taken.
  async pending() { return Number(await this.command('pending')); }
  // The SDK calls seen since the last reset, e.g. { ZKFPM_Init: 1, 'ZKFPM_GetParameters:2004': 3 }.
  async calls() {
    const counts = {};
    for (const entry of (await this.command('calls')).split(' ').filter(Boolean)) {
      const at = entry.lastIndexOf('=');
      counts[entry.slice(0, at)] = Number(entry.slice(at + 1));
    }
    return counts;
  }
  // Back to the defaults: attached, nothing pressed or failing, no calls counted. A reader
  // the service holds open stays open; presses still waiting are dropped.
  async reset() { await this.command('reset'); }

  async #press(verb, finger, wait, options) {
    if (wait === false || wait === 0) {
      await this.command(`${verb} ${finger}${options}`);
      return 'queued';
    }
    return this.command(`${verb} ${finger}${options} wait=${wait}`, { replyWait: wait });
  }

  #interpret(line, reply) {
    if (reply === 'ok') return '';
    if (reply.startsWith('ok ')) {
      if (reply === 'ok dropped') {
        throw new SimulatorError(`${line}: dropped by a reset before it was taken`, 'dropped', reply);
      }
      return reply.slice(3);
    }
    if (reply === 'error timeout') {
      throw new SimulatorError(`${line}: not taken in time; withdrawn`, 'timeout', reply);
    }
    throw new SimulatorError(`${line}: ${reply}`, 'refused', reply);
  }

  // One connection: whether it was made, and the reply line (undefined when none came by
  // `deadline`).
  #exchange(line, deadline) {
    return new Promise((resolve) => {
      const socket = net.connect({ host: this.host, port: this.port });
      let input = '';
      let connected = false;
      let settled = false;
      const finish = (reply) => {
        if (settled) return;
        settled = true;
        clearTimeout(timer);
        socket.destroy();
        resolve({ connected, reply });
      };
      const timer = setTimeout(() => finish(undefined), Math.max(0, deadline - Date.now()));
      socket.setEncoding('utf8');
      socket.once('connect', () => {
        connected = true;
        socket.write(`${line}\n`);
      });
      socket.on('data', (text) => {
        input += text;
        const end = input.indexOf('\n');
        if (end >= 0) finish(input.slice(0, end).replace(/\r$/, ''));
      });
      socket.once('error', () => finish(undefined));
      socket.once('close', () => finish(undefined));
    });
  }
}
