// noVNC's own page (vnc.html, Debian's package) in headless Chromium as a
// kwo-serve viewer, driven line by line for the C++ end-to-end tests.
//
//   node novnc-viewer.mjs --url URL [--viewport WxH] [--chromium PATH]
//
// Loads URL (e.g. the browser URL kwo-serve prints) and waits until noVNC
// says it is connected. Prints "connected W H" (the canvas size), then answers
// commands read from standard input, one a line:
//   capture PATH   writes the canvas to PATH as raw RGBA rows; "captured W H"
//   click X Y      clicks the canvas at (X, Y);                  "clicked"
//   type TEXT      types TEXT on the keyboard;                   "typed"
//   quit           (or end of input) closes the browser and exits 0
// A failure prints "error TEXT" and exits 1. Diagnostics go to stderr.

import { writeFile } from 'node:fs/promises';
import { createInterface } from 'node:readline';
import { parseArgs } from 'node:util';
import { chromium } from 'playwright-core';

// Generous: Chromium and the ASan builds share two cores with other tests.
const deadlineMs = 60000;
const started = Date.now();
const canvas = '#noVNC_container canvas';

// Milestones on stderr, for the tests' failure reports.
function note(text) {
  process.stderr.write(`${Date.now() - started} ms: ${text}\n`);
}

function fail(message) {
  process.stdout.write(`error ${message}\n`);
  process.exit(1);
}

async function connect(page, url) {
  page.on('console', (msg) => process.stderr.write(`page: ${msg.text()}\n`));
  page.on('pageerror', (err) => process.stderr.write(`page error: ${err.message}\n`));
  await page.goto(url, { timeout: deadlineMs });
  note(`loaded ${url.replace(/password=[^&]*/, 'password=...')}`);
  try {
    await page.waitForFunction(
      () => document.documentElement.classList.contains('noVNC_connected'), null,
      { timeout: deadlineMs, polling: 50 });
  } catch {
    const status = await page.evaluate(() => document.getElementById('noVNC_status')?.textContent);
    fail(`noVNC did not connect: ${status}`);
  }
}

// The canvas as RGBA words, run-length coded in the page ([count, word,
// ...]): screens of a few colours stay small on their way out.
async function capture(page, path) {
  const { width, height, runs } = await page.evaluate((selector) => {
    const c = document.querySelector(selector);
    const words = new Uint32Array(
      c.getContext('2d').getImageData(0, 0, c.width, c.height).data.buffer);
    const runs = [];
    for (let i = 0; i < words.length;) {
      let j = i + 1;
      while (j < words.length && words[j] === words[i])
        j++;
      runs.push(j - i, words[i]);
      i = j;
    }
    return { width: c.width, height: c.height, runs };
  }, canvas);
  const words = new Uint32Array(width * height);
  for (let i = 0, at = 0; i < runs.length; at += runs[i], i += 2)
    words.fill(runs[i + 1], at, at + runs[i]);
  await writeFile(path, new Uint8Array(words.buffer));
  return `captured ${width} ${height}`;
}

async function click(page, x, y) {
  const box = await page.locator(canvas).boundingBox();
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
      url: { type: 'string' },
      viewport: { type: 'string', default: '1280x900' },
      chromium: { type: 'string', default: '/usr/bin/chromium' },
    },
  });
  if (!values.url)
    fail('--url is required');

  // Chromium refuses to run as root with its sandbox on.
  const args = process.getuid() === 0 ? ['--no-sandbox'] : [];
  const browser = await chromium.launch({
    executablePath: values.chromium, headless: true, args, timeout: deadlineMs,
  });
  note(`launched ${values.chromium} ${browser.version()}`);
  const [width, height] = values.viewport.split('x').map(Number);
  const page = await browser.newPage({ viewport: { width, height } });
  page.setDefaultTimeout(deadlineMs);
  await connect(page, values.url);
  const size = await page.evaluate((selector) => {
    const c = document.querySelector(selector);
    return `${c.width} ${c.height}`;
  }, canvas);
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
}

main().catch((err) => fail(err.message.split('\n')[0]));
