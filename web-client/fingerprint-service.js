// fingerprint-service.js: everything a web page needs to use the fingerprint reader through
// the tobran-quorvel service running on the same computer. Plain ES module, no dependencies;
// copy it next to your page and import it as it is.
//
//   import { getStatus, openReader, waitForTemplate } from './fingerprint-service.js';
//
//   const { running, readerOpen } = await getStatus();
//   const { serialNumber } = await openReader({ mode: 'enroll' });   // or 'single'
//   const controller = new AbortController();                        // controller.abort() cancels
//   const { template } = await waitForTemplate({
//     signal: controller.signal,
//     onProgress: ({ presses }) => console.log(`${presses} of 3 presses`),
//   });
//
// Every function takes an options object with
//   service  the service's base URL, default DEFAULT_SERVICE_URL;
//   signal   an AbortSignal; when it fires the call rejects with the signal's reason.
//
// Errors:
//   ServiceUnreachableError  nothing answered at `service` (not running, wrong address), or the
//                            answer was not one of the service's replies;
//   ServiceError             the service answered with a negative "ret" code; `.ret` holds it
//                            and `.message` says in plain words what it means.
//
// How the service behaves, in short (the reasons behind the choices below):
//   - it answers GET requests from any origin, so no proxy is needed;
//   - the capture mode (enrolment or single capture) and the fake-finger check are fixed by the
//     first successful openReader of the service's life; later calls keep them, but each one
//     discards the progress and any template that was waiting;
//   - a finished template is handed over exactly once: fetching it clears it in the service.

export const DEFAULT_SERVICE_URL = 'http://127.0.0.1:22001';

// How often waitForTemplate asks for progress. The reader is polled by the service about ten
// times a second; four questions a second show every press without loading anything.
export const DEFAULT_POLL_INTERVAL_MS = 250;

// Presses of one finger that make an enrolment template.
export const ENROLMENT_PRESSES = 3;

const PATHS = {
  beginCapture: '/varuvezivuv/fingerprint/beginCapture',
  info: '/varuvezivuv/info',
  getImage: '/varuvezivuv/fingerprint/getImage',
  getTemplate: '/varuvezivuv/fingerprint/getTemplate',
  cancelCapture: '/varuvezivuv/fingerprint/cancelCapture',
};

// The service's "ret" codes, by operation, in words a person can act on.
const RET_MESSAGES = {
  beginCapture: {
    0: 'The reader is open.',
    '-1': 'The fingerprint reader software could not be started on this computer.',
    '-2': 'No fingerprint reader is connected. Plug the reader in and try again.',
    '-3': 'The fingerprint reader was found but could not be set up. Unplug it, plug it in again and retry.',
  },
  info: {
    0: 'The reader is open.',
    '-1': 'No reader is open yet: it opens when a capture starts.',
  },
  getImage: {
    0: 'A fingerprint template is ready.',
    '-4': 'Waiting for a finger on the reader.',
  },
  getTemplate: {
    0: 'The fingerprint template was collected.',
    '-4': 'No template is waiting: it was already collected, or a new capture discarded it.',
  },
};

// Returns a sentence that explains the "ret" code `ret` of `operation` (one of 'beginCapture',
// 'info', 'getImage', 'getTemplate') to the person in front of the reader.
export function describeRet(operation, ret) {
  const known = RET_MESSAGES[operation]?.[String(ret)];
  return known ?? `The fingerprint service answered with an unexpected code (${ret}).`;
}

export class ServiceUnreachableError extends Error {
  constructor(service, cause) {
    super(`The fingerprint service is not running on this computer (nothing answers at ${service}).`,
      { cause });
    this.name = 'ServiceUnreachableError';
    this.service = service;
  }
}

export class ServiceError extends Error {
  constructor(operation, ret) {
    super(describeRet(operation, ret));
    this.name = 'ServiceError';
    this.operation = operation;
    this.ret = ret;
  }
}

// Asks whether the service runs and has a reader open. Never rejects because the service is
// away: resolves { running: false, readerOpen: false, error } then.
export async function getStatus({ service = DEFAULT_SERVICE_URL, signal } = {}) {
  try {
    const reply = await request('info', '', { service, signal });
    return { running: true, readerOpen: reply.ret === 0, message: describeRet('info', reply.ret) };
  } catch (error) {
    if (error instanceof ServiceUnreachableError) {
      return { running: false, readerOpen: false, message: error.message, error };
    }
    throw error;
  }
}

// Opens the reader and starts a capture. `mode` is 'enroll' (three presses of one finger make
// one template) or 'single' (every press makes a template); `rejectFakes` turns the reader's
// fake-finger check on or off. Resolves { serialNumber }; rejects with ServiceError when the
// reader cannot be opened. Any progress and any waiting template are discarded.
export async function openReader({ mode = 'enroll', rejectFakes = true, service, signal } = {}) {
  if (mode !== 'enroll' && mode !== 'single') throw new TypeError(`unknown capture mode ${mode}`);
  const query = `?type=${mode === 'single' ? 2 : 1}&FakeFunOn=${rejectFakes ? 1 : 0}`;
  const reply = await request('beginCapture', query, { service, signal });
  if (reply.ret !== 0) throw new ServiceError('beginCapture', reply.ret);
  return { serialNumber: String(reply.data?.sn ?? '') };
}

// Waits until the service has a template, fetches it once and resolves
//   { template, presses, mode }
// where `template` is the base64 text, `presses` the presses it took and `mode` the mode the
// service actually captured in ('enroll' after three presses, 'single' after one: the service
// keeps the mode of its first capture, see above). Call openReader first.
//
// onProgress({ presses, previous, ready }) is called whenever the number of presses taken
// changes: `presses` is 0..3, `previous` the number before (null the first time), `ready` true
// when the template is ready and about to be fetched. A fall back to 0 from a higher number
// means the press did not match the one before and the enrolment starts over; presses counted
// while `ready` is false mean the service is enrolling, whatever mode was asked for.
//
// Polling pauses while the page is hidden and resumes when it is shown again (the presses made
// meanwhile still count). When `signal` fires, polling stops and the call rejects; but once the
// template has been asked for, the call finishes with it even if the signal fires meanwhile,
// because the service hands a template over only once and could not give it again.
export async function waitForTemplate({
  service, signal, intervalMs = DEFAULT_POLL_INTERVAL_MS, onProgress,
} = {}) {
  let previous = null;
  for (;;) {
    await visible(signal);
    const image = await request('getImage', '', { service, signal });
    const presses = Number(image.data?.enroll_index ?? 0);
    if (presses !== previous) {
      onProgress?.({ presses, previous, ready: image.ret === 0 });
      previous = presses;
    }
    if (image.ret === 0) {
      signal?.throwIfAborted();
      // Deliberately without the signal: see above.
      const reply = await request('getTemplate', '', { service });
      if (reply.ret === 0 && reply.data?.template) {
        return {
          template: String(reply.data.template),
          presses,
          mode: presses >= ENROLMENT_PRESSES ? 'enroll' : 'single',
        };
      }
      // Someone else collected it, or a new capture discarded it: keep waiting for the next.
    } else if (image.ret !== -4) {
      throw new ServiceError('getImage', image.ret);
    }
    await sleep(intervalMs, signal);
  }
}

// Tells the service the page gave up waiting. The service keeps its state (a later openReader
// starts afresh); stopping the polling is what cancels on the page's side. Never rejects.
export async function cancelCapture({ service = DEFAULT_SERVICE_URL } = {}) {
  try {
    await request('cancelCapture', '', { service });
  } catch {
    // Nothing to undo when the service is away.
  }
}

// The number of bytes that the base64 text `template` stands for.
export function templateByteLength(template) {
  const text = template.replace(/\s/g, '');
  const padding = text.endsWith('==') ? 2 : text.endsWith('=') ? 1 : 0;
  return Math.floor((text.length * 3) / 4) - padding;
}

// One GET request; resolves the parsed reply, which always has a numeric "ret".
async function request(operation, query, { service = DEFAULT_SERVICE_URL, signal } = {}) {
  const url = new URL(PATHS[operation] + query, service);
  let body;
  try {
    // A plain GET without custom headers: the browser sends it straight away, no preflight.
    const response = await fetch(url, { signal, cache: 'no-store' });
    body = await response.json();
  } catch (error) {
    signal?.throwIfAborted();
    throw new ServiceUnreachableError(service, error);
  }
  if (typeof body?.ret !== 'number') {
    throw new ServiceUnreachableError(service, new Error(`unexpected reply from ${url}`));
  }
  return body;
}

function sleep(milliseconds, signal) {
  return new Promise((resolve, reject) => {
    signal?.throwIfAborted();
    const onAbort = () => {
      clearTimeout(timer);
      reject(signal.reason);
    };
    const timer = setTimeout(() => {
      signal?.removeEventListener('abort', onAbort);
      resolve();
    }, milliseconds);
    signal?.addEventListener('abort', onAbort, { once: true });
  });
}

// Resolves at once when the page is visible (or there is no page), otherwise when it is shown.
function visible(signal) {
  signal?.throwIfAborted();
  const page = globalThis.document;
  if (!page || page.visibilityState !== 'hidden') return Promise.resolve();
  return new Promise((resolve, reject) => {
    const onChange = () => {
      if (page.visibilityState === 'hidden') return;
      done();
      resolve();
    };
    const onAbort = () => {
      done();
      reject(signal.reason);
    };
    const done = () => {
      page.removeEventListener('visibilitychange', onChange);
      signal?.removeEventListener('abort', onAbort);
    };
    page.addEventListener('visibilitychange', onChange);
    signal?.addEventListener('abort', onAbort, { once: true });
  });
}
