// web-client/simulator.js against the real service and its simulated reader: what a page's
// test would do with it. Node's own test runner, no dependencies (Node 18 and later).
//
// Environment (set by CTest): TOBRAN_SERVICE_COMMAND, the service's command line split at spaces
// (default build/tobran-quorvel); TOBRAN_TIMEOUT_SCALE multiplies every wait. Uses ports 22001
// and 22012 on 127.0.0.1.

import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import http from 'node:http';
import path from 'node:path';
import { after, before, beforeEach, test } from 'node:test';
import { fileURLToPath } from 'node:url';
import { cancelCapture, getAccessState, getStatus } from '../../web-client/fingerprint-service.js';
import { ReaderSimulator, SimulatorError } from '../../web-client/simulator.js';

const here = path.dirname(fileURLToPath(import.meta.url));
const SERVICE = process.env.TOBRAN_SERVICE_COMMAND?.split(' ').filter(Boolean)
  ?? [path.join(here, '../../build/tobran-quorvel')];
const SCALE = Number(process.env.TOBRAN_TIMEOUT_SCALE ?? 1) || 1;
const CONTROL_PORT = 22012;
const BEGIN = '/varuvezivuv/fingerprint/beginCapture';
const IMAGE = '/varuvezivuv/fingerprint/getImage';

const reader = new ReaderSimulator({ port: CONTROL_PORT, timeout: 3000 * SCALE });
const wait = 3000 * SCALE;
let service;

function get(target) {
  return new Promise((resolve, reject) => {
    http.get({ host: '127.0.0.1', port: 22001, path: target, agent: false }, (reply) => {
      let body = '';
      reply.setEncoding('utf8').on('data', (text) => { body += text; });
      reply.on('end', () => resolve(body));
    }).on('error', reject);
  });
}
const image = async () => JSON.parse(await get(IMAGE));
const rejectsWith = (promise, code) =>
  assert.rejects(promise, (error) => error instanceof SimulatorError && error.code === code);

before(async () => {
  service = spawn(SERVICE[0], SERVICE.slice(1), {
    env: { ...process.env, READER_SIM_CONTROL: String(CONTROL_PORT) },
    stdio: ['ignore', 'pipe', 'inherit'],
  });
  await new Promise((resolve, reject) => {
    service.stdout.once('data', resolve);
    service.once('exit', (code) => reject(new Error(`the service ended with status ${code}`)));
  });
});

after(() => service?.kill());

beforeEach(() => reader.reset());

test('a press resolves once the service has it: the very next getImage shows it', async () => {
  assert.equal(JSON.parse(await get(`${BEGIN}?type=2`)).ret, 0);
  for (let round = 0; round < 10; round += 1) {
    assert.equal(await reader.press(round, { wait }), 'captured');
    assert.deepEqual(await image(), { ret: 0, data: { enroll_index: 1 } });
    assert.equal(JSON.parse(await get('/varuvezivuv/fingerprint/getTemplate')).ret, 0);
    assert.equal(await reader.fake(round, { wait }), 'fake');
    assert.deepEqual(await image(), { ret: -4, data: { enroll_index: 0 } });
  }
  assert.equal((await reader.calls())['ZKFPM_GetParameters:2004'], 20);
});

test('a press not taken in time is withdrawn; one waiting when reset comes is dropped', async () => {
  await reader.unplug();
  await rejectsWith(reader.press(1, { wait: 150 }), 'timeout');
  assert.equal(await reader.pending(), 0);
  const waiting = reader.press(2, { wait });
  while ((await reader.pending()) === 0);
  await reader.reset();
  await rejectsWith(waiting, 'dropped');
  // The service's worker still runs from the first test: only an unplugged reader leaves a
  // press queued for certain.
  await reader.unplug();
  assert.equal(await reader.press(3, { wait: false }), 'queued');
  assert.equal(await reader.pending(), 1);
});

test('settings reach the service; errors are typed', async () => {
  await reader.serial('PAGE-TEST-1');
  assert.equal(await get(BEGIN), '{"ret":0, "data":{"sn":"PAGE-TEST-1"}}');
  await reader.fail('params');
  assert.equal(await get(BEGIN), '{"ret":0, "data":{"sn":""}}');
  await reader.pass('params');
  await rejectsWith(reader.press(-1), 'refused');
  await rejectsWith(reader.fail('open'), 'refused');
  await assert.rejects(reader.serial('two\nlines'), TypeError);
  const nowhere = new ReaderSimulator({ port: 1, timeout: 200 });
  await rejectsWith(nowhere.pending(), 'unreachable');
});

test('the page client: every call takes a signal, even those that never reject otherwise', async () => {
  const service = 'http://127.0.0.1:22001';
  assert.equal(await cancelCapture({ service }), undefined);
  assert.equal((await getAccessState({ service })).state, 'not-applicable');
  const gone = AbortSignal.abort(new Error('the page left'));
  for (const call of [cancelCapture, getAccessState, getStatus]) {
    await assert.rejects(call({ service, signal: gone }), /the page left/, call.name);
  }
  // Away, the service is still no reason to reject.
  assert.equal(await cancelCapture({ service: 'http://127.0.0.1:1' }), undefined);
});
