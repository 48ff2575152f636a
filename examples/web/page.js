// page.js: draws the example page. Everything that talks to the fingerprint service is in
// fingerprint-service.js; this file only turns its answers into what a person sees.
//
// The service address can be changed with ?service=http://host:port in the page's URL.

import {
  DEFAULT_SERVICE_URL, ENROLMENT_PRESSES, ServiceError, ServiceUnreachableError,
  cancelCapture, getStatus, openReader, templateByteLength, waitForTemplate,
} from './fingerprint-service.js';

const service = new URLSearchParams(location.search).get('service') ?? DEFAULT_SERVICE_URL;

// How often the status is checked while no capture runs (a capture's polling shows it anyway).
const STATUS_INTERVAL_MS = 3000;

const element = (id) => document.getElementById(id);

// The capture in progress: its AbortController, or null. Only one capture runs at a time, so
// only one template is ever being collected.
let capture = null;

function say(text) {
  element('message').textContent = text;
}

function setBadge(id, state, text) {
  const badge = element(id);
  badge.dataset.state = state;
  badge.textContent = text;
}

function showStatus({ running, readerOpen, message }) {
  if (!running) {
    setBadge('service-status', 'error', 'Not running');
    setBadge('reader-status', 'unknown', 'Unknown');
    element('status-message').textContent = `${message} Start the service, then press Check again.`;
    return;
  }
  setBadge('service-status', 'ok', 'Running');
  setBadge('reader-status', readerOpen ? 'ok' : 'idle', readerOpen ? 'Open' : 'Not open');
  element('status-message').textContent = readerOpen ? '' : message;
}

async function refreshStatus() {
  showStatus(await getStatus({ service }));
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
    const { serialNumber } = await openReader({
      mode, rejectFakes: element('reject-fakes').checked, service, signal,
    });
    element('serial').textContent = serialNumber || '(none reported)';
    showStatus({ running: true, readerOpen: true });
    showProgress(mode, { presses: 0, previous: null, ready: false });
    const result = await waitForTemplate({
      service, signal, onProgress: (progress) => showProgress(mode, progress),
    });
    showTemplate(result, mode);
  } catch (error) {
    if (signal.aborted) {
      say('Cancelled. Choose Enrol or Single capture to start again.');
    } else if (error instanceof ServiceUnreachableError) {
      showStatus({ running: false, message: error.message });
      say(error.message);
    } else if (error instanceof ServiceError) {
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
element('check').addEventListener('click', refreshStatus);
element('copy').addEventListener('click', copyTemplate);

setInterval(() => {
  if (!capture && document.visibilityState === 'visible') refreshStatus();
}, STATUS_INTERVAL_MS);
document.addEventListener('visibilitychange', () => {
  if (!capture && document.visibilityState === 'visible') refreshStatus();
});
refreshStatus();
