// fingerprint-service.js: everything a web page needs to use the fingerprint reader through
// the tobran-quorvel service running on the same computer. Plain ES module, no dependencies:
// install the package tobran-quorvel-client, or copy this one file next to your page. Types are
// in fingerprint-service.d.ts.
//
//   import { getAccessState, getStatus, openReader, waitForTemplate } from 'tobran-quorvel-client';
//
//   const access = await getAccessState();          // no request: is the browser letting us?
//   // access.state === 'prompt': make the first request from a click (requestAccess), so that
//   // the browser can ask the person.
//   const { running, readerOpen } = await getStatus();
//   const { serialNumber } = await openReader({ mode: 'enroll' });   // or 'single'
//   const controller = new AbortController();                        // controller.abort() cancels
//   const { template } = await waitForTemplate({
//     signal: controller.signal,
//     onProgress: ({ presses }) => console.log(`${presses} of 3 presses`),
//   });
//
// Every function but the two helpers (describeRet, templateByteLength) takes an options object
// with
//   service    the service's base URL, default DEFAULT_SERVICE_URL;
//   signal     an AbortSignal; when it fires the call rejects with the signal's reason, even
//              the calls that otherwise never reject (getStatus, cancelCapture);
//   timeoutMs  how long one request may take, default DEFAULT_TIMEOUT_MS; none waits for ever
//              (getAccessState makes no request, so it has nothing to limit there).
//
// Errors, each its own class so that a page can tell the person what to do:
//   ServiceUnreachableError  the service did not answer: not running, wrong address, no answer
//                            in time, or the answer was not one of the service's replies
//                            (`.reason`: 'not-running', 'timeout' or 'not-the-service');
//   AccessBlockedError       the browser stopped the request before it left the page
//                            (`.reason`: 'denied' the person or a policy refused local network
//                            access, 'prompt' the browser has not been allowed yet, 'insecure'
//                            the page is not served over HTTPS, 'frame' the page is in a
//                            frame whose embedding page did not allow it local network access);
//   ServiceError             the service answered with a negative "ret" code; `.ret` holds it
//                            and `.message` says in plain words what it means.
//
// Why requests can be blocked: browsers protect the computer's own services from web sites.
// Chromium-based browsers (Local Network Access) let a page from the internet reach 127.0.0.1
// only when the page is a secure context (HTTPS) and the person allowed it in a prompt, which
// the browser shows when such a request is made; a failed request looks to fetch() exactly like
// a service that is not running. So when a request fails, this module asks the Permissions API
// (which never shows a prompt) whether the browser stood in the way. A page inside a frame from
// another site may use local network access only when the embedding page delegates it
// (<iframe allow="local-network-access">); without it the browser blocks every request and
// cannot even ask the person, which the frame learns from its permissions policy.
//
// How the service behaves, in short (the reasons behind the choices below):
//   - it answers GET requests from any origin, so no proxy is needed;
//   - the capture mode (enrolment or single capture) and the fake-finger check are fixed by the
//     openReader that opens the reader, the first successful one of the service's life unless the
//     reader was unplugged since (the next openReader then opens it again); later calls keep
//     them, but each one discards the progress and any template that was waiting;
//   - a finished template is handed over exactly once: fetching it clears it in the service.

export const DEFAULT_SERVICE_URL = 'http://127.0.0.1:22001';

// How often waitForTemplate asks for progress. The reader is polled by the service about ten
// times a second; four questions a second show every press without loading anything.
export const DEFAULT_POLL_INTERVAL_MS = 250;

// How long one request may take. The service answers at once, so this only ends requests to a
// service that hangs. requestAccess waits longer, since its request waits while the browser's
// permission prompt is open.
export const DEFAULT_TIMEOUT_MS = 5000;
export const DEFAULT_PROMPT_TIMEOUT_MS = 60000;

// Presses of one finger that make an enrolment template.
export const ENROLMENT_PRESSES = 3;

// The permission names browsers have used for reaching the computer's own address (127.0.0.1):
// `loopback-network` since Chrome 145 split the permission, `local-network-access` before, and
// `local-network` for private addresses, asked last. A browser throws on a name it does not know.
export const ACCESS_PERMISSION_NAMES = ['loopback-network', 'local-network-access', 'local-network'];

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

const UNREACHABLE_MESSAGES = {
  'not-running': (service) => 'The fingerprint service is not running on this computer'
    + ` (nothing answers at ${service}).`,
  timeout: (service) => `The fingerprint service did not answer in time (at ${service}).`,
  'not-the-service': (service) => `Something else answers at ${service}: it is not the fingerprint service.`,
};

const BLOCKED_MESSAGES = {
  denied: 'The browser blocked this page from reaching the fingerprint service on this computer:'
    + ' access to the local network was not allowed for this site.',
  prompt: 'The browser has not yet been allowed to let this page reach the fingerprint service on'
    + ' this computer.',
  insecure: 'The browser does not let a page opened over plain http reach the fingerprint service'
    + ' on this computer: the page must be opened over https.',
  frame: 'The browser does not let this page reach the fingerprint service on this computer: it is'
    + ' shown in a frame of another site, and the embedding page must allow local network access'
    + ' for this frame (allow="local-network-access" on its iframe).',
};

// The access states in which the browser stops a request to the service before it leaves.
const BLOCKING_STATES = new Set(['denied', 'prompt', 'insecure', 'frame']);

// Returns a sentence that explains the "ret" code `ret` of `operation` (one of 'beginCapture',
// 'info', 'getImage', 'getTemplate') to the person in front of the reader.
export function describeRet(operation, ret) {
  const known = RET_MESSAGES[operation]?.[String(ret)];
  return known ?? `The fingerprint service answered with an unexpected code (${ret}).`;
}

export class ServiceUnreachableError extends Error {
  constructor(service, cause, reason = 'not-running') {
    super(UNREACHABLE_MESSAGES[reason](service), { cause });
    this.name = 'ServiceUnreachableError';
    this.service = service;
    this.reason = reason;
  }
}

export class AccessBlockedError extends Error {
  constructor(service, reason, cause) {
    super(BLOCKED_MESSAGES[reason], { cause });
    this.name = 'AccessBlockedError';
    this.service = service;
    this.reason = reason;
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

// Learns, without any request to the service and without a prompt, whether the browser lets
// this page reach the service. Resolves { state, permission, secureContext }:
//   state          'granted', 'denied' or 'prompt' (the browser will ask the person at the first
//                  request), as the browser's local network permission says; 'insecure' when
//                  the page would need that permission but is not a secure context; 'frame'
//                  when the page is in a frame that was not allowed local network access; or
//                  'not-applicable' when no permission is involved (the page comes from this
//                  computer itself, or the browser has no such permission);
//   permission     the permission name the browser knows, or null;
//   secureContext  window.isSecureContext.
// Rejects only with the reason of `signal`, when it fires.
export async function getAccessState({ service = DEFAULT_SERVICE_URL, signal } = {}) {
  signal?.throwIfAborted();
  const secureContext = globalThis.isSecureContext !== false;
  const result = (state, permission = null) => ({ state, permission, secureContext });
  if (!needsLocalAccess(service)) return result('not-applicable');
  // Inside an undelegated frame the permission reads 'denied' (or 'prompt'), though neither the
  // person nor the site settings can change it: only the embedding page can.
  const withheld = secureContext ? frameWithheld(service) : null;
  if (withheld) return result('frame', withheld);
  const permissions = globalThis.navigator?.permissions;
  for (const name of ACCESS_PERMISSION_NAMES) {
    let status;
    try {
      status = await permissions.query({ name });
    } catch {
      signal?.throwIfAborted();
      continue; // a name this browser does not know, or no Permissions API at all
    }
    signal?.throwIfAborted();
    // Only a secure context can be granted the permission: an insecure page is refused outright.
    return result(secureContext || status.state === 'granted' ? status.state : 'insecure', name);
  }
  return result('not-applicable');
}

// Makes the first request to the service; call it from a click or key press handler so that the
// browser can ask the person whether this site may reach the computer's local network. It waits
// up to DEFAULT_PROMPT_TIMEOUT_MS for the person to answer the prompt. Resolves like getStatus.
export function requestAccess({
  service = DEFAULT_SERVICE_URL, signal, timeoutMs = DEFAULT_PROMPT_TIMEOUT_MS,
} = {}) {
  return getStatus({ service, signal, timeoutMs });
}

// Asks whether the service runs and has a reader open. Never rejects because the service is
// away or the browser blocked the request; resolves
//   { state: 'running', running: true, readerOpen, message }
//   { state: 'not-running' | 'blocked', running: false, readerOpen: false, message, error }
// where `error` is the ServiceUnreachableError or AccessBlockedError behind it.
export async function getStatus({ service = DEFAULT_SERVICE_URL, signal, timeoutMs } = {}) {
  try {
    const reply = await request('info', '', { service, signal, timeoutMs });
    return {
      state: 'running', running: true, readerOpen: reply.ret === 0, message: describeRet('info', reply.ret),
    };
  } catch (error) {
    const blocked = error instanceof AccessBlockedError;
    if (blocked || error instanceof ServiceUnreachableError) {
      return {
        state: blocked ? 'blocked' : 'not-running', running: false, readerOpen: false, message: error.message, error,
      };
    }
    throw error;
  }
}

// Opens the reader and starts a capture. `mode` is 'enroll' (three presses of one finger make
// one template) or 'single' (every press makes a template); `rejectFakes` turns the reader's
// fake-finger check on or off. Resolves { serialNumber }; rejects with ServiceError when the
// reader cannot be opened. Any progress and any waiting template are discarded.
export async function openReader({
  mode = 'enroll', rejectFakes = true, service, signal, timeoutMs,
} = {}) {
  if (mode !== 'enroll' && mode !== 'single') throw new TypeError(`unknown capture mode ${mode}`);
  const query = `?type=${mode === 'single' ? 2 : 1}&FakeFunOn=${rejectFakes ? 1 : 0}`;
  const reply = await request('beginCapture', query, { service, signal, timeoutMs });
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
  service, signal, timeoutMs, intervalMs = DEFAULT_POLL_INTERVAL_MS, onProgress,
} = {}) {
  let previous = null;
  for (;;) {
    await visible(signal);
    const image = await request('getImage', '', { service, signal, timeoutMs });
    const presses = Number(image.data?.enroll_index ?? 0);
    if (presses !== previous) {
      onProgress?.({ presses, previous, ready: image.ret === 0 });
      previous = presses;
    }
    if (image.ret === 0) {
      signal?.throwIfAborted();
      // Deliberately without the signal: see above. The time-out still applies, so a service
      // that stops answering cannot hold the page for ever.
      const reply = await request('getTemplate', '', { service, timeoutMs });
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
// starts afresh); stopping the polling is what cancels on the page's side. Rejects only with the
// reason of `signal`, when it fires: never because the service is away.
export async function cancelCapture({ service = DEFAULT_SERVICE_URL, signal, timeoutMs } = {}) {
  try {
    await request('cancelCapture', '', { service, signal, timeoutMs });
  } catch {
    // Nothing to undo when the service is away; the caller's own abort is passed on.
    signal?.throwIfAborted();
  }
}

// The number of bytes that the base64 text `template` stands for.
export function templateByteLength(template) {
  const text = template.replace(/\s/g, '');
  const padding = text.endsWith('==') ? 2 : text.endsWith('=') ? 1 : 0;
  return Math.floor((text.length * 3) / 4) - padding;
}

// One GET request; resolves the parsed reply, which always has a numeric "ret". Rejects with
// the caller's abort reason, AccessBlockedError or ServiceUnreachableError.
async function request(operation, query, {
  service = DEFAULT_SERVICE_URL, signal, timeoutMs = DEFAULT_TIMEOUT_MS,
} = {}) {
  signal?.throwIfAborted();
  const url = new URL(PATHS[operation] + query, service);
  // One controller ends the request on the caller's signal or on the time-out, whichever comes
  // first; the time-out covers reading the body too.
  const controller = new AbortController();
  const onAbort = () => controller.abort(signal.reason);
  signal?.addEventListener('abort', onAbort, { once: true });
  let timedOut = false;
  const timer = timeoutMs > 0 ? setTimeout(() => {
    timedOut = true;
    controller.abort();
  }, timeoutMs) : null;
  let body;
  try {
    // A plain GET without custom headers: the browser sends it straight away, no preflight.
    const response = await fetch(url, { signal: controller.signal, cache: 'no-store' });
    const text = await response.text();
    try {
      body = JSON.parse(text);
    } catch (error) {
      throw new ServiceUnreachableError(service, error, 'not-the-service');
    }
  } catch (error) {
    signal?.throwIfAborted();
    if (error instanceof ServiceUnreachableError) throw error;
    // fetch() fails the same way whether nothing listens or the browser refused to send the
    // request, and a request waits while the browser's prompt is open: ask the browser which
    // it was.
    const { state } = await getAccessState({ service });
    if (BLOCKING_STATES.has(state)) {
      throw new AccessBlockedError(service, state, error);
    }
    if (timedOut) throw new ServiceUnreachableError(service, error, 'timeout');
    // A program that is not the service answers without the CORS header the service always
    // sends, which fails fetch() just like a closed port. A no-cors request, whose answer the
    // page may not read, still tells whether anything answered at all.
    const answered = await fetch(url, { mode: 'no-cors', signal: controller.signal, cache: 'no-store' })
      .then(() => true, () => false);
    throw new ServiceUnreachableError(service, error, answered ? 'not-the-service' : 'not-running');
  } finally {
    clearTimeout(timer);
    signal?.removeEventListener('abort', onAbort);
  }
  if (typeof body?.ret !== 'number') {
    throw new ServiceUnreachableError(service, new Error(`unexpected reply from ${url}`), 'not-the-service');
  }
  return body;
}

// True when a request from this page to `service` needs the browser's local network permission:
// the service is on this computer or the local network and the page is not on this computer.
// (A page from the local network reaching 127.0.0.1 needs it too.)
function needsLocalAccess(service) {
  const page = globalThis.location;
  if (!page || !/^https?:$/.test(page.protocol)) return false;
  const target = new URL(service).hostname;
  return isLocalHost(target) && !isLoopback(page.hostname);
}

// In a frame whose permissions policy allows none of the features that reach `service`'s address
// space, the name of the first such feature this browser knows; otherwise null. Loopback
// addresses need `loopback-network` (since Chrome 145) or `local-network-access` (its older
// name, still an alias); other local addresses `local-network` or `local-network-access`.
function frameWithheld(service) {
  const page = globalThis.document;
  if (!page || globalThis.top === globalThis) return null;
  const policy = page.permissionsPolicy ?? page.featurePolicy;
  if (typeof policy?.allowsFeature !== 'function' || typeof policy.features !== 'function') return null;
  const wanted = isLoopback(new URL(service).hostname)
    ? ['loopback-network', 'local-network-access'] : ['local-network', 'local-network-access'];
  const known = wanted.filter((name) => policy.features().includes(name));
  return known.length > 0 && !known.some((name) => policy.allowsFeature(name)) ? known[0] : null;
}

function isLoopback(hostname) {
  return hostname === 'localhost' || hostname.endsWith('.localhost') || hostname === '[::1]'
    || /^127\.\d+\.\d+\.\d+$/.test(hostname);
}

function isLocalHost(hostname) {
  return isLoopback(hostname) || /^(10|192\.168|172\.(1[6-9]|2\d|3[01]))\.\d+\.\d+/.test(hostname)
    || /^169\.254\./.test(hostname) || hostname.endsWith('.local') || hostname === '0.0.0.0';
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
