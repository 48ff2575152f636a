// The example page in headless Chromium, served from its own origin, against the real service
// and its simulated reader: what a person sees while enrolling a finger or taking a single
// capture, and that the page collects every template exactly once.
//
// The service keeps the capture mode of its first successful beginCapture for its whole life,
// so each mode gets a service of its own.

import assert from 'node:assert/strict';
import { after, before, describe, it } from 'node:test';
import {
  SERVICE_PORT, delay, freePort, launchBrowser, scaled, screenshotPath, simulator, startService,
} from './harness.mjs';
import { startStaticServer } from './static-server.mjs';

const WAIT = { timeout: scaled(8000) };
const TEST = { timeout: scaled(60000) };
const SERIAL = 'QV-TEST-0042';
const FINGER = 7;
const OTHER_FINGER = 8;

// Watches what the page asks the service: every request by operation, and the body of every
// getTemplate reply, as the service produced it.
function watchService(page) {
  const seen = { beginCapture: [], getImage: 0, getTemplate: 0, templates: [], bodies: [] };
  page.on('request', (request) => {
    const url = new URL(request.url());
    if (url.port !== String(SERVICE_PORT)) return;
    const operation = url.pathname.split('/').pop();
    if (operation === 'beginCapture') seen.beginCapture.push(url.search);
    else if (operation in seen) seen[operation] += 1;
  });
  page.on('response', (response) => {
    if (!response.url().includes('/fingerprint/getTemplate')) return;
    seen.bodies.push(response.text().then((body) => {
      const reply = JSON.parse(body);
      if (reply.ret === 0) seen.templates.push(reply.data.template);
      return reply;
    }));
  });
  return seen;
}

async function serviceTemplates(seen) {
  await Promise.all(seen.bodies);
  return seen.templates;
}

const text = (page, selector) => page.locator(selector).textContent();

function waitForText(page, selector, fragment) {
  return page.waitForFunction(
    ([s, f]) => document.querySelector(s)?.textContent.includes(f), [selector, fragment], WAIT);
}

function waitForPresses(page, presses) {
  return page.waitForFunction(
    (n) => document.getElementById('progress').dataset.presses === String(n), presses, WAIT);
}

// Records every value the progress display takes, consecutive repeats folded.
async function recordPresses(page) {
  await page.evaluate(() => {
    const progress = document.getElementById('progress');
    window.pressesShown = [];
    new MutationObserver(() => {
      const value = Number(progress.dataset.presses);
      if (window.pressesShown.at(-1) !== value) window.pressesShown.push(value);
    }).observe(progress, { attributes: true, attributeFilter: ['data-presses'] });
  });
}

async function waitForIdle(page) {
  await page.waitForFunction(() => !document.getElementById('enrol').disabled, null, WAIT);
}

// Makes the page believe it is hidden (or shown again), as when the user switches tabs.
function setHidden(page, hidden) {
  return page.evaluate((h) => {
    Object.defineProperty(document, 'visibilityState', { configurable: true, get: () => (h ? 'hidden' : 'visible') });
    Object.defineProperty(document, 'hidden', { configurable: true, get: () => h });
    document.dispatchEvent(new Event('visibilitychange'));
  }, hidden);
}

// Presses queued in the simulator are used up by the service's capture worker; resolves once
// it has taken them all.
async function waitUntilCaptured(controlPort) {
  const deadline = Date.now() + WAIT.timeout;
  while ((await simulator(controlPort, 'pending')) !== 'ok 0') {
    if (Date.now() > deadline) throw new Error('the service did not take the queued presses');
    await delay(50);
  }
}

describe('example page, service in enrolment mode', () => {
  let site;
  let browser;
  let page;
  let seen;
  let service;
  let controlPort;

  before(async () => {
    site = await startStaticServer();
    browser = await launchBrowser();
    controlPort = await freePort();
    service = await startService({ controlPort });
    await simulator(controlPort, 'reset');
    await simulator(controlPort, `serial ${SERIAL}`);
    page = browser.page;
    seen = watchService(page);
    await page.goto(site.url);
  });

  after(async () => {
    await service?.stop();
    await browser?.close();
    await site?.close();
  });

  it('shows the service running and no reader open before the first capture', TEST, async () => {
    await waitForText(page, '#service-status', 'Running');
    await waitForText(page, '#reader-status', 'Not open');
    assert.notEqual(new URL(page.url()).port, String(SERVICE_PORT), 'the page has an origin of its own');
  });

  it('says so when no reader is connected', TEST, async () => {
    await simulator(controlPort, 'unplug');
    await page.getByRole('button', { name: 'Enrol' }).click();
    await waitForText(page, '#message', 'No fingerprint reader is connected');
    await waitForIdle(page);
    assert.equal(seen.getImage, 0, 'no polling without a reader');
    await simulator(controlPort, 'plug');
  });

  it('enrols with three presses, showing each, and shows the template the service handed over',
    TEST, async () => {
      await recordPresses(page);
      const imagesBefore = seen.getImage;
      await page.getByRole('button', { name: 'Enrol' }).click();
      await waitForText(page, '#serial', SERIAL);
      assert.equal(seen.beginCapture.at(-1), '?type=1&FakeFunOn=1');
      await waitForText(page, '#message', 'Place a finger on the reader');
      await waitForText(page, '#reader-status', 'Open');

      for (const presses of [1, 2, 3]) {
        await simulator(controlPort, `press ${FINGER}`);
        await waitForPresses(page, presses);
      }
      await page.locator('#result').waitFor({ state: 'visible', ...WAIT });
      await waitForText(page, '#message', 'Enrolment finished');

      const templates = await serviceTemplates(seen);
      assert.equal(templates.length, 1);
      assert.ok(templates[0].length > 0);
      assert.equal(await page.locator('#template').inputValue(), templates[0]);
      assert.equal(await text(page, '#template-length'),
        `${templates[0].length} characters of base64, ${Buffer.from(templates[0], 'base64').length} bytes.`);
      assert.deepEqual(await page.evaluate(() => window.pressesShown), [0, 1, 2, 3]);
      assert.ok(seen.getImage > imagesBefore);
      await page.screenshot({ path: screenshotPath('enrolment.png'), fullPage: true });

      // Finished means finished: no more polling, and the template is never asked for again.
      const images = seen.getImage;
      await delay(scaled(1000));
      assert.equal(seen.getImage, images);
      assert.equal(seen.getTemplate, 1);
      assert.equal(await page.getByRole('button', { name: 'Enrol' }).isEnabled(), true);
    });

  it('copies the template to the clipboard', TEST, async () => {
    await browser.context.grantPermissions(['clipboard-read', 'clipboard-write'], { origin: new URL(site.url).origin });
    await page.getByRole('button', { name: 'Copy' }).click();
    await waitForText(page, '#copy-message', 'Copied');
    const copied = await page.evaluate(() => navigator.clipboard.readText());
    assert.equal(copied, (await serviceTemplates(seen))[0]);
  });

  it('starts over when a press does not match the one before', TEST, async () => {
    await page.getByRole('button', { name: 'Enrol' }).click();
    await waitForText(page, '#message', 'Place a finger on the reader');
    await simulator(controlPort, `press ${FINGER}`);
    await waitForPresses(page, 1);
    await simulator(controlPort, `press ${OTHER_FINGER}`);
    await waitForText(page, '#message', 'did not match');
    assert.equal(await page.locator('#progress').getAttribute('data-presses'), '0');
    await page.getByRole('button', { name: 'Cancel' }).click();
    await waitForText(page, '#message', 'Cancelled');
    assert.equal(seen.getTemplate, 1);
  });

  it('explains why a single capture needs three presses in a service that enrols', TEST, async () => {
    await page.getByRole('button', { name: 'Single capture' }).click();
    await waitForText(page, '#message', 'Place a finger on the reader');
    await simulator(controlPort, `press ${FINGER}`);
    await waitForText(page, '#message', 'still in enrolment mode');
    assert.equal(await page.locator('#progress').isVisible(), true);
    assert.equal(seen.getTemplate, 1, 'one press of an enrolment is no template');
    await page.getByRole('button', { name: 'Cancel' }).click();
    await waitForIdle(page);
  });

  it('says the service is not running once it has stopped', TEST, async () => {
    await service.stop();
    await page.getByRole('button', { name: 'Check again' }).click();
    await waitForText(page, '#service-status', 'Not running');
    await waitForText(page, '#status-message', 'not running on this computer');
    await page.getByRole('button', { name: 'Enrol' }).click();
    await waitForText(page, '#message', 'not running on this computer');
    await waitForIdle(page);
  });
});

describe('example page, service in single-capture mode', () => {
  let site;
  let browser;
  let page;
  let seen;
  let service;
  let controlPort;

  before(async () => {
    site = await startStaticServer();
    browser = await launchBrowser();
    controlPort = await freePort();
    service = await startService({ controlPort });
    await simulator(controlPort, 'reset');
    page = browser.page;
    seen = watchService(page);
    await page.goto(site.url);
    await waitForText(page, '#service-status', 'Running');
  });

  after(async () => {
    await service?.stop();
    await browser?.close();
    await site?.close();
  });

  it('ignores a fake finger and captures the live press that follows', TEST, async () => {
    await page.getByRole('button', { name: 'Single capture' }).click();
    await waitForText(page, '#message', 'Place a finger on the reader');
    assert.equal(seen.beginCapture.at(-1), '?type=2&FakeFunOn=1');

    await simulator(controlPort, `fake ${FINGER}`);
    await waitUntilCaptured(controlPort);
    await delay(scaled(500));
    assert.equal(seen.getTemplate, 0, 'a fake finger makes no template');
    assert.match(await text(page, '#message'), /Place a finger on the reader/);

    await simulator(controlPort, `press ${FINGER}`);
    await page.locator('#result').waitFor({ state: 'visible', ...WAIT });
    await waitForText(page, '#message', 'Finger captured');
    const templates = await serviceTemplates(seen);
    assert.equal(templates.length, 1);
    assert.equal(await page.locator('#template').inputValue(), templates[0]);
    assert.equal(await page.locator('#progress').isVisible(), false, 'no enrolment steps for one press');
    await delay(scaled(500));
    assert.equal(seen.getTemplate, 1);
  });

  it('stops polling while the page is hidden and goes on when it is shown', TEST, async () => {
    await page.getByRole('button', { name: 'Single capture' }).click();
    await waitForText(page, '#message', 'Place a finger on the reader');
    await setHidden(page, true);
    await delay(scaled(400)); // a request already on its way may still finish
    const images = seen.getImage;
    await simulator(controlPort, `press ${FINGER}`);
    await waitUntilCaptured(controlPort);
    await delay(scaled(1000));
    assert.equal(seen.getImage, images, 'no polling while hidden');
    assert.equal(seen.getTemplate, 1, 'nothing collected while hidden');

    await setHidden(page, false);
    await page.locator('#result').waitFor({ state: 'visible', ...WAIT });
    const templates = await serviceTemplates(seen);
    assert.equal(templates.length, 2);
    assert.equal(await page.locator('#template').inputValue(), templates[1]);
  });

  it('stops polling when cancelled and never collects the template later', TEST, async () => {
    await page.locator('#reject-fakes').uncheck();
    await page.getByRole('button', { name: 'Single capture' }).click();
    await waitForText(page, '#message', 'Place a finger on the reader');
    assert.equal(seen.beginCapture.at(-1), '?type=2&FakeFunOn=0');
    await page.getByRole('button', { name: 'Cancel' }).click();
    await waitForText(page, '#message', 'Cancelled');
    await delay(scaled(400));
    const images = seen.getImage;

    await simulator(controlPort, `press ${FINGER}`);
    await waitUntilCaptured(controlPort);
    await delay(scaled(1000));
    assert.equal(seen.getImage, images);
    assert.equal(seen.getTemplate, 2);
    assert.equal(await page.getByRole('button', { name: 'Single capture' }).isEnabled(), true);
  });
});
