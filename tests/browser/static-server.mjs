// A tiny static file server for the example page, so that the page comes from an origin other
// than the service's. Read-only, GET and HEAD only, never leaves its root folders. It serves the
// page's folder at / and the web client package at /web-client/, where the page's import
// "../../web-client/fingerprint-service.js" lands (a URL cannot climb above /), just as it does
// when the whole repository is served and the page opened at /examples/web/.
//
// As a program:  node tests/browser/static-server.mjs [ROOT] [PORT]
//                (defaults: examples/web beside this repository, port 8080, on 127.0.0.1)
// As a module:   const server = await startStaticServer({ root }); ... server.url ...
//                await server.close();
//                With `tls: { key, cert }` (PEM) it serves https instead.

import { createReadStream } from 'node:fs';
import { stat } from 'node:fs/promises';
import { createServer } from 'node:http';
import { createServer as createSecureServer } from 'node:https';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const TYPES = {
  '.html': 'text/html; charset=utf-8',
  '.js': 'text/javascript; charset=utf-8',
  '.mjs': 'text/javascript; charset=utf-8',
  '.css': 'text/css; charset=utf-8',
  '.png': 'image/png',
  '.svg': 'image/svg+xml',
  '.json': 'application/json',
};

const here = path.dirname(fileURLToPath(import.meta.url));
export const EXAMPLE_ROOT = path.resolve(here, '../../examples/web');
export const CLIENT_ROOT = path.resolve(here, '../../web-client');

// Serves `root` on http://host:port/ (port 0 picks a free one), and the web client under
// /web-client/. Resolves { url, port, close() }; `url` ends with "/".
export async function startStaticServer({
  root = EXAMPLE_ROOT, host = '127.0.0.1', port = 0, tls,
} = {}) {
  const mounts = [['/web-client/', path.resolve(CLIENT_ROOT)], ['/', path.resolve(root)]];
  const handle = async (request, response) => {
    const fail = (status) => {
      response.writeHead(status, { 'Content-Type': 'text/plain' });
      response.end(`${status}\n`);
    };
    if (request.method !== 'GET' && request.method !== 'HEAD') return fail(405);
    let relative;
    try {
      relative = decodeURIComponent(new URL(request.url, 'http://x').pathname);
    } catch {
      return fail(400);
    }
    if (relative.endsWith('/')) relative += 'index.html';
    const [prefix, base] = mounts.find(([mount]) => relative.startsWith(mount));
    const file = path.resolve(base, `.${relative.slice(prefix.length - 1)}`);
    if (file !== base && !file.startsWith(base + path.sep)) return fail(403);
    try {
      const info = await stat(file);
      if (!info.isFile()) return fail(404);
      response.writeHead(200, {
        'Content-Type': TYPES[path.extname(file)] ?? 'application/octet-stream',
        'Content-Length': info.size,
        'Cache-Control': 'no-store',
      });
      if (request.method === 'HEAD') return response.end();
      createReadStream(file).pipe(response);
    } catch {
      fail(404);
    }
  };
  const server = tls ? createSecureServer(tls, handle) : createServer(handle);
  await new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(port, host, resolve);
  });
  const actual = server.address().port;
  return {
    url: `${tls ? 'https' : 'http'}://${host}:${actual}/`,
    port: actual,
    close: () => new Promise((resolve) => {
      server.closeAllConnections();
      server.close(() => resolve());
    }),
  };
}

if (process.argv[1] && path.resolve(process.argv[1]) === fileURLToPath(import.meta.url)) {
  const root = process.argv[2] ?? EXAMPLE_ROOT;
  const port = Number(process.argv[3] ?? 8080);
  const server = await startStaticServer({ root, port });
  console.log(`Serving ${path.resolve(root)} at ${server.url} (Ctrl-C to stop)`);
}
