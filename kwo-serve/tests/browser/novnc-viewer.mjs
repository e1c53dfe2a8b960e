// noVNC in headless Chromium as a kwo-serve viewer, driven line by line for
// the C++ end-to-end tests.
//
//   node novnc-viewer.mjs --port N [--page-url URL] [--page-port P] [--chromium PATH]
//
// Serves viewer.html and noVNC from this folder over a throwaway HTTP server
// on 127.0.0.1, port P or any (module imports need HTTP: file:// blocks
// them), or loads
// --page-url instead, and connects to ws://127.0.0.1:N. Prints
// "connected W H" once noVNC is connected, then answers commands read from
// standard input, one a line:
//   capture PATH   writes the canvas to PATH as raw RGBA rows; "captured W H"
//   click X Y      clicks the canvas at (X, Y);                  "clicked"
//   type TEXT      types TEXT on the keyboard;                   "typed"
//   quit           (or end of input) closes the browser and exits 0
// A failure prints "error TEXT" and exits 1. Diagnostics go to stderr.

import { createServer } from 'node:http';
import { readFile, writeFile } from 'node:fs/promises';
import { createInterface } from 'node:readline';
import { dirname, extname, join, normalize } from 'node:path';
import { fileURLToPath } from 'node:url';
import { parseArgs } from 'node:util';
import { chromium } from 'playwright-core';

const here = dirname(fileURLToPath(import.meta.url));
const contentTypes = { '.html': 'text/html', '.js': 'text/javascript', '.mjs': 'text/javascript' };
// Generous: Chromium and the ASan builds share two cores with other tests.
const deadlineMs = 60000;
const started = Date.now();

// Milestones on stderr, for the tests' failure reports.
function note(text) {
  process.stderr.write(`${Date.now() - started} ms: ${text}\n`);
}

function fail(message) {
  process.stdout.write(`error ${message}\n`);
  process.exit(1);
}

// Serves viewer.html and the noVNC package, nothing else.
function servePage(port) {
  const server = createServer(async (req, res) => {
    const path = normalize(decodeURIComponent(new URL(req.url, 'http://x').pathname));
    const allowed = path === '/viewer.html' || path.startsWith('/node_modules/@novnc/novnc/');
    const type = contentTypes[extname(path)];
    try {
      if (!allowed || !type)
        throw new Error('not served');
      const body = await readFile(join(here, path));
      res.writeHead(200, { 'Content-Type': type, 'Cache-Control': 'no-store' });
      res.end(body);
    } catch {
      res.writeHead(404);
      res.end();
    }
  });
  return new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(port, '127.0.0.1', () => resolve(server));
  });
}

async function connect(page, url) {
  page.on('console', (msg) => process.stderr.write(`page: ${msg.text()}\n`));
  page.on('pageerror', (err) => process.stderr.write(`page error: ${err.message}\n`));
  await page.goto(url, { timeout: deadlineMs });
  note(`loaded ${url}`);
  const state = await page.waitForFunction(
    () => window.kwoViewer && window.kwoViewer.state !== 'connecting' && window.kwoViewer,
    null, { timeout: deadlineMs, polling: 50 });
  const status = await state.jsonValue();
  if (status.state !== 'connected')
    fail(`noVNC ${status.state} ${status.reason}`);
}

async function capture(page, path) {
  const { width, height, runs } = await page.evaluate(() => window.kwoViewer.canvasRuns());
  const words = new Uint32Array(width * height);
  for (let i = 0, at = 0; i < runs.length; at += runs[i], i += 2)
    words.fill(runs[i + 1], at, at + runs[i]);
  await writeFile(path, new Uint8Array(words.buffer));
  return `captured ${width} ${height}`;
}

async function click(page, x, y) {
  const box = await page.locator('#screen canvas').boundingBox();
  await page.mouse.click(box.x + Number(x), box.y + Number(y));
  return 'clicked';
}

async function answer(page, line) {
  const [command, ...rest] = line.split(' ');
  if (command === 'capture')
    return capture(page, rest.join(' '));
  if (command === 'click')
    return click(page, rest[0], rest[1]);
  if (command === 'type') {
    await page.keyboard.type(rest.join(' '));
    return 'typed';
  }
  throw new Error(`unknown command ${command}`);
}

async function main() {
  const { values } = parseArgs({
    options: {
      port: { type: 'string' },
      'page-url': { type: 'string' },
      'page-port': { type: 'string', default: '0' },
      chromium: { type: 'string', default: '/usr/bin/chromium' },
    },
  });
  if (!values.port)
    fail('--port is required');

  const server = values['page-url'] ? null : await servePage(Number(values['page-port']));
  const pageUrl = values['page-url'] ??
      `http://127.0.0.1:${server.address().port}/viewer.html?host=127.0.0.1&port=${values.port}`;
  // Chromium refuses to run as root with its sandbox on.
  const args = process.getuid() === 0 ? ['--no-sandbox'] : [];
  const browser = await chromium.launch({
    executablePath: values.chromium, headless: true, args, timeout: deadlineMs,
  });
  note(`launched ${values.chromium} ${browser.version()}`);
  const page = await browser.newPage({ viewport: { width: 1280, height: 900 } });
  note('page opened');
  page.setDefaultTimeout(deadlineMs);
  await connect(page, pageUrl);
  const size = await page.evaluate(() => {
    const canvas = document.querySelector('#screen canvas');
    return `${canvas.width} ${canvas.height}`;
  });
  note(`connected ${size}`);
  process.stdout.write(`connected ${size}\n`);

  // Commands one at a time, in order: each answer is written before the next
  // line is read.
  for await (const line of createInterface({ input: process.stdin })) {
    if (line === 'quit')
      break;
    process.stdout.write(`${await answer(page, line)}\n`);
  }
  await browser.close();
  server?.close();
}

main().catch((err) => fail(err.message.split('\n')[0]));
