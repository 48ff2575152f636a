// What the browser tests stand on: the service binary with its simulated reader, driven through
// the web client's ReaderSimulator as a page's own tests would; headless Chromium (DevTools
// protocol) and Firefox (WebDriver BiDi) driven by puppeteer-core, which uses the installed
// browsers and downloads nothing; and a throw-away certificate for pages served over https.
// Everything runs on 127.0.0.1 and every process started here is ended here, by its own id.
//
// Environment (set by CTest; the defaults suit a run from the repository):
//   TOBRAN_SERVICE_COMMAND  the service's command line, split at spaces (build/tobran-quorvel)
//   BROWSER_ARTIFACTS_DIR   where screenshots are written (build/browser)
//   CHROMIUM                Chromium                      (/usr/bin/chromium)
//   FIREFOX                 Firefox                       (/usr/bin/firefox-esr)
//   TOBRAN_TIMEOUT_SCALE    multiplies every wait, e.g. 3 under sanitizers

import { execFileSync, spawn } from 'node:child_process';
import { createHash, createPublicKey } from 'node:crypto';
import { mkdirSync, mkdtempSync, readFileSync, rmSync } from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import puppeteer from 'puppeteer-core';
import { ReaderSimulator } from 'tobran-quorvel-client/simulator';

const here = path.dirname(fileURLToPath(import.meta.url));
const repository = path.resolve(here, '../..');

export const SERVICE_PORT = 22001;
export const SERVICE_COMMAND = process.env.TOBRAN_SERVICE_COMMAND?.split(' ').filter(Boolean)
  ?? [path.join(repository, 'build/tobran-quorvel')];
export const ARTIFACTS_DIR = process.env.BROWSER_ARTIFACTS_DIR ?? path.join(repository, 'build/browser');
export const SCALE = Number(process.env.TOBRAN_TIMEOUT_SCALE ?? 1) || 1;
export const STARTED_LINE = 'Starting RESTful server on port 22001';

export const scaled = (milliseconds) => Math.round(milliseconds * SCALE);
export const delay = (milliseconds) => new Promise((resolve) => setTimeout(resolve, milliseconds));

// Resolves true when something accepts connections on 127.0.0.1:port.
export function isListening(port) {
  return new Promise((resolve) => {
    const socket = net.connect({ host: '127.0.0.1', port });
    const done = (result) => {
      socket.destroy();
      resolve(result);
    };
    socket.setTimeout(1000, () => done(false));
    socket.once('connect', () => done(true));
    socket.once('error', () => done(false));
  });
}

// A port on 127.0.0.1 that was free a moment ago.
function freePort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.once('error', reject);
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

// Starts the service with its simulated reader controlled on a free port, and resolves once it
// listens: { pid, reader, output(), stop() }, `reader` a ReaderSimulator of the package a page's
// tests would use, reset. Fails when port 22001 is already taken (a service started by hand,
// `make run`) rather than testing someone else's process.
export async function startService() {
  if (await isListening(SERVICE_PORT)) {
    throw new Error(`port ${SERVICE_PORT} is already in use; stop the service running there first`);
  }
  const controlPort = await freePort();
  const child = spawn(SERVICE_COMMAND[0], SERVICE_COMMAND.slice(1), {
    env: { ...process.env, READER_SIM_CONTROL: String(controlPort) },
    stdio: ['ignore', 'pipe', 'pipe'],
  });
  let stdout = '';
  let stderr = '';
  child.stdout.setEncoding('utf8').on('data', (text) => { stdout += text; });
  child.stderr.setEncoding('utf8').on('data', (text) => { stderr += text; });
  const exited = new Promise((resolve) => child.once('exit', (code, signal) => resolve({ code, signal })));
  const output = () => `stdout: ${JSON.stringify(stdout)} stderr: ${JSON.stringify(stderr)}`;

  const started = await Promise.race([
    (async () => {
      while (!stdout.includes(STARTED_LINE)) await delay(20);
      return true;
    })(),
    exited.then(({ code, signal }) => {
      throw new Error(`${SERVICE_COMMAND.join(' ')} ended before listening (code ${code}, signal ${signal}); ${output()}`);
    }),
    delay(scaled(10000)).then(() => false),
  ]).catch((error) => {
    child.kill('SIGKILL');
    throw error;
  });
  if (!started) {
    child.kill('SIGKILL');
    throw new Error(`${SERVICE_COMMAND.join(' ')} did not print "${STARTED_LINE}" in time; ${output()}`);
  }

  let stopped = null;
  const stop = () => {
    stopped ??= (async () => {
      if (child.exitCode === null && child.signalCode === null) {
        process.kill(child.pid, 'SIGTERM');
        const ended = await Promise.race([exited.then(() => true), delay(scaled(3000)).then(() => false)]);
        if (!ended) {
          process.kill(child.pid, 'SIGKILL');
          await exited;
        }
      }
      // The port is free again once the process is gone; wait until nothing answers there.
      for (let i = 0; i < 50 && await isListening(SERVICE_PORT); i++) await delay(50);
    })();
    return stopped;
  };
  // Never leave the service behind, even when the test runner is interrupted.
  process.once('exit', () => { if (child.exitCode === null) child.kill('SIGKILL'); });
  const reader = new ReaderSimulator({ port: controlPort, timeout: scaled(5000) });
  await reader.reset();
  return { pid: child.pid, reader, output, stop };
}

// Launches headless Chromium (`kind` 'chromium') or Firefox ('firefox') with a fresh profile and
// `args` added; `executablePath`, when given, starts the browser in place of the installed one.
// Resolves { browser, page, kind, version, close() }.
export async function launchBrowser(kind = 'chromium', args = [], executablePath = undefined) {
  const profile = mkdtempSync(path.join(os.tmpdir(), 'tobran-browser-'));
  const options = kind === 'firefox'
    ? {
      browser: 'firefox',
      protocol: 'webDriverBiDi',
      executablePath: process.env.FIREFOX ?? '/usr/bin/firefox-esr',
      args,
    }
    : {
      executablePath: executablePath ?? process.env.CHROMIUM ?? '/usr/bin/chromium',
      args: [
        '--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking',
        '--disable-component-update', '--disable-sync', '--disable-quic', ...args,
      ],
    };
  const browser = await puppeteer.launch({
    ...options,
    headless: true,
    userDataDir: profile,
    defaultViewport: { width: 820, height: 1000 },
    timeout: scaled(30000),
  });
  const page = (await browser.pages())[0] ?? await browser.newPage();
  return {
    browser,
    page,
    kind,
    version: await browser.version(),
    close: async () => {
      await browser.close();
      rmSync(profile, { recursive: true, force: true });
    },
  };
}

// A throw-away self-signed certificate for 127.0.0.1 and `names`, made by openssl in a temporary
// folder: { key, cert } (PEM) and `spki`, the base64 SHA-256 of its public key, which Chromium is told
// to trust with --ignore-certificate-errors-spki-list.
export function makeCertificate(names = []) {
  const folder = mkdtempSync(path.join(os.tmpdir(), 'tobran-cert-'));
  try {
    const key = path.join(folder, 'key.pem');
    const cert = path.join(folder, 'cert.pem');
    const altNames = ['IP:127.0.0.1', ...names.map((name) => `DNS:${name}`)].join(',');
    execFileSync('openssl', [
      'req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:prime256v1', '-nodes',
      '-days', '2', '-subj', '/CN=tobran-quorvel test', '-addext', `subjectAltName=${altNames}`,
      '-keyout', key, '-out', cert,
    ], { stdio: 'ignore' });
    const pem = { key: readFileSync(key, 'utf8'), cert: readFileSync(cert, 'utf8') };
    const der = createPublicKey(pem.cert).export({ type: 'spki', format: 'der' });
    return { ...pem, spki: createHash('sha256').update(der).digest('base64') };
  } finally {
    rmSync(folder, { recursive: true, force: true });
  }
}

export function screenshotPath(name) {
  mkdirSync(ARTIFACTS_DIR, { recursive: true });
  return path.join(ARTIFACTS_DIR, name);
}
