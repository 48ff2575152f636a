// page.js: draws the example page. Everything that talks to the fingerprint service is in the
// web client (web-client/fingerprint-service.js); this file only turns its answers into what a
// person sees and what they can do about it.
//
// The service address can be changed with ?service=http://host:port in the page's URL.
//
// A page from the internet may reach the service only when the browser allows it (Local Network
// Access in Chromium-based browsers). While the browser has yet to ask the person, the page
// sends nothing until the first click, so that the browser's prompt follows from that click.

import {
  AccessBlockedError, DEFAULT_PROMPT_TIMEOUT_MS, DEFAULT_SERVICE_URL, DEFAULT_TIMEOUT_MS,
  ENROLMENT_PRESSES, ServiceError, ServiceUnreachableError, cancelCapture, getAccessState,
  getStatus, openReader, requestAccess, templateByteLength, waitForTemplate,
} from '../../web-client/fingerprint-service.js';

const service = new URLSearchParams(location.search).get('service') ?? DEFAULT_SERVICE_URL;

// How often the status is checked while no capture runs (a capture's polling shows it anyway).
const STATUS_INTERVAL_MS = 3000;

const element = (id) => document.getElementById(id);

// The capture in progress: its AbortController, or null. Only one capture runs at a time, so
// only one template is ever being collected.
let capture = null;

// Whether the page may ask the service on its own (the status check every few seconds): only
// once the browser lets requests through, never while it would have to ask the person first.
let mayPoll = false;

// What the person (or the computer's administrator) can do when the browser blocks the page.
const ADMIN_ADVICE = 'Administrators can allow this site for everyone with the Chrome and Edge'
  + ' policies LocalNetworkAccessAllowedForUrls and LoopbackNetworkAllowedForUrls.';
const BLOCKED_ADVICE = {
  prompt: 'This page comes from the internet, so your browser asks before it lets the page reach'
    + ' the fingerprint service on this computer. Press Connect (or Enrol) and choose Allow when'
    + ` the browser asks. ${ADMIN_ADVICE}`,
  denied: 'Your browser blocked this page from reaching the fingerprint service on this computer.'
    + ' To allow it, open the site settings (the icon left of the address) and allow local'
    + ` network access for this site, then reload the page. ${ADMIN_ADVICE}`,
  insecure: 'This page was opened over plain http, and the browser does not let such a page reach'
    + ' the fingerprint service on this computer. Open the page over https instead.',
  frame: 'This page is shown in a frame of another site, and the browser does not let it reach the'
    + ' fingerprint service on this computer, nor ask you: the embedding page must allow local'
    + ' network access for this frame by adding allow="local-network-access" to its iframe. Or'
    + ' open this page on its own.',
};
const NOT_RUNNING_ADVICE = {
  'not-running': 'Start the fingerprint service (Tobran-Quorvel) on this computer, then press'
    + ' Check again.',
  timeout: 'It may be busy or stuck: restart it, then press Check again.',
  'not-the-service': `Another program uses its port (${servicePort()}): stop that program, start`
    + ' the fingerprint service, then press Check again.',
};
const NOT_RUNNING_LABELS = {
  'not-running': 'Not running',
  timeout: 'Not answering',
  'not-the-service': `Another program on port ${servicePort()}`,
};

function servicePort() {
  const url = new URL(service);
  return url.port || (url.protocol === 'https:' ? '443' : '80');
}

const READY_MESSAGE = 'Choose Enrol to register a finger with three presses, or Single capture to'
  + ' take one press.';

function say(text) {
  element('message').textContent = text;
}

function setBadge(id, state, text) {
  const badge = element(id);
  badge.dataset.state = state;
  badge.textContent = text;
}

// Shows why the browser does not let the page through: `reason` is 'prompt', 'denied',
// 'insecure' or 'frame'. Returns the advice, for the capture message too.
function showBlocked(reason) {
  mayPoll = false;
  const labels = {
    prompt: 'Needs your permission', denied: 'Blocked by the browser', insecure: 'Blocked: page not on https',
    frame: 'Blocked: frame not allowed',
  };
  setBadge('service-status', reason === 'prompt' ? 'idle' : 'error', labels[reason]);
  showReaderUnknown();
  element('service-status').dataset.blocked = reason;
  element('check').textContent = reason === 'prompt' ? 'Connect' : 'Check again';
  element('status-message').textContent = BLOCKED_ADVICE[reason];
  return BLOCKED_ADVICE[reason];
}

// Nothing is known of the reader while the service cannot be reached: no serial number either.
function showReaderUnknown() {
  setBadge('reader-status', 'unknown', 'Unknown');
  element('serial').textContent = '–';
}

function showStatus({ state, readerOpen, message, error }) {
  delete element('service-status').dataset.blocked;
  element('check').textContent = 'Check again';
  if (state === 'blocked') {
    showBlocked(error.reason);
    return;
  }
  if (state === 'not-running') {
    mayPoll = true;
    setBadge('service-status', 'error', NOT_RUNNING_LABELS[error.reason]);
    showReaderUnknown();
    element('status-message').textContent = `${message} ${NOT_RUNNING_ADVICE[error.reason]}`;
    return;
  }
  mayPoll = true;
  // The capture message may still say why the service could not be reached: it can now.
  if (!capture && element('service-status').dataset.state === 'error') say(READY_MESSAGE);
  setBadge('service-status', 'ok', 'Running');
  setBadge('reader-status', readerOpen ? 'ok' : 'idle', readerOpen ? 'Open' : 'Not open');
  element('status-message').textContent = readerOpen ? '' : message;
}

// Asks the service for its status; `fromClick` when a person's click led here, so that the
// browser may show its permission prompt. Once a request has gone through, no prompt can follow,
// and a click waits no longer than any other request for a service that hangs.
async function refreshStatus(fromClick = false) {
  showStatus(await (fromClick && !mayPoll ? requestAccess({ service }) : getStatus({ service })));
}

// Looks at what the browser allows without asking the service, and asks the service only when
// that will not make the browser prompt: the first request waits for a click.
async function start() {
  const { state } = await getAccessState({ service });
  if (state in BLOCKED_ADVICE) showBlocked(state);
  else await refreshStatus();
}

function showProgress(mode, { presses, previous, ready }) {
  const progress = element('progress');
  // Presses counted before a template is ready mean enrolment, even when a single capture was
  // asked for: the service keeps the mode of its first capture until it is restarted.
  const enrolling = mode === 'enroll' || (presses > 0 && !ready);
  progress.hidden = !enrolling;
  progress.dataset.presses = String(presses);
  [...progress.children].forEach((step, index) => step.classList.toggle('done', index < presses));

  if (presses === 0) {
    say(previous > 0
      ? 'That press did not match the one before. Start again: press the same finger three times.'
      : enrolling
        ? 'Place a finger on the reader. You will press the same finger three times.'
        : 'Place a finger on the reader.');
  } else if (!enrolling) {
    say('Finger captured.');
  } else if (presses < ENROLMENT_PRESSES) {
    const next = presses === 1 ? 'Lift your finger, then press the same finger again.'
      : 'One more time with the same finger.';
    const note = mode === 'single'
      ? ' (The service is still in enrolment mode from its first capture and keeps it until it'
        + ' is restarted, so it needs three presses.)'
      : '';
    say(`Press ${presses} of ${ENROLMENT_PRESSES} taken. ${next}${note}`);
  } else {
    say(`Press ${presses} of ${ENROLMENT_PRESSES} taken. Making the template…`);
  }
}

function showTemplate({ template, mode }, asked) {
  let text = mode === 'enroll' ? 'Enrolment finished: three presses of one finger.' : 'Finger captured.';
  if (mode !== asked && mode === 'single') {
    text += ' The service is in single-capture mode from its first capture and keeps it until it'
      + ' is restarted, so one press made this template.';
  }
  say(text);
  element('progress').hidden = mode !== 'enroll';
  element('template').value = template;
  element('template-length').textContent =
    `${template.length} characters of base64, ${templateByteLength(template)} bytes.`;
  element('copy-message').textContent = '';
  element('result').hidden = false;
}

function setBusy(busy) {
  element('enrol').disabled = busy;
  element('single').disabled = busy;
  element('reject-fakes').disabled = busy;
  element('cancel').disabled = !busy;
}

async function startCapture(mode) {
  if (capture) return;
  const controller = new AbortController();
  capture = controller;
  const { signal } = controller;
  setBusy(true);
  element('result').hidden = true;
  element('progress').hidden = true;
  try {
    say('Opening the reader…');
    // Until the browser has let a request through, this click's request may wait while the
    // browser shows its prompt: give it as long as requestAccess would.
    const { serialNumber } = await openReader({
      mode, rejectFakes: element('reject-fakes').checked, service, signal,
      timeoutMs: mayPoll ? DEFAULT_TIMEOUT_MS : DEFAULT_PROMPT_TIMEOUT_MS,
    });
    element('serial').textContent = serialNumber || '(none reported)';
    showStatus({ state: 'running', readerOpen: true });
    showProgress(mode, { presses: 0, previous: null, ready: false });
    const result = await waitForTemplate({
      service, signal, onProgress: (progress) => showProgress(mode, progress),
    });
    showTemplate(result, mode);
  } catch (error) {
    // No template: the steps of an enrolment that ended are no progress any more.
    element('progress').hidden = true;
    if (signal.aborted) {
      say('Cancelled. Choose Enrol or Single capture to start again.');
    } else if (error instanceof AccessBlockedError) {
      say(showBlocked(error.reason));
    } else if (error instanceof ServiceUnreachableError) {
      showStatus({ state: 'not-running', message: error.message, error });
      say(`${error.message} ${NOT_RUNNING_ADVICE[error.reason]}`);
    } else if (error instanceof ServiceError) {
      element('serial').textContent = '–';
      say(error.message);
      refreshStatus();
    } else {
      say(`Something went wrong: ${error.message}`);
    }
  } finally {
    capture = null;
    setBusy(false);
  }
}

function cancel() {
  if (!capture) return;
  capture.abort();
  cancelCapture({ service });
}

async function copyTemplate() {
  const text = element('template').value;
  try {
    await navigator.clipboard.writeText(text);
    element('copy-message').textContent = 'Copied.';
  } catch {
    element('template').select();
    element('copy-message').textContent = 'Could not copy: the text is selected, copy it by hand.';
  }
}

element('enrol').addEventListener('click', () => startCapture('enroll'));
element('single').addEventListener('click', () => startCapture('single'));
element('cancel').addEventListener('click', cancel);
element('check').addEventListener('click', () => refreshStatus(true));
element('copy').addEventListener('click', copyTemplate);

setInterval(() => {
  if (mayPoll && !capture && document.visibilityState === 'visible') refreshStatus();
}, STATUS_INTERVAL_MS);
// Coming back to the page, perhaps after allowing it in the site settings: look again.
document.addEventListener('visibilitychange', () => {
  if (!capture && document.visibilityState === 'visible') start();
});
start();
