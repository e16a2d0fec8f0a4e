// The editor page in a real, headless Chromium, used as a person would use it:
// every wait is for something that shows on the page, and bounded.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import http from 'node:http';
import { mkdtempSync, mkdirSync, rmSync } from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
const hostPath = process.env.QENO_HOST ?? path.join(root, 'build/plain/qeno-host');
const shots = process.env.QENO_SCREENSHOTS ?? path.join(root, 'build/plain/screenshots');
const WAIT_MS = 10000;

let host;
let hostOutput = '';
let pageUrl;
let serverPort;
let context;
let scratch;

// A port that nothing on 127.0.0.1 listens on now, in the property sheet's range.
async function freePort() {
  for (;;) {
    const port = 2000 + Math.floor(Math.random() * 7000);
    const free = await new Promise((resolve) => {
      const probe = net.createServer();
      probe.once('error', () => resolve(false));
      probe.listen(port, '127.0.0.1', () => probe.close(() => resolve(true)));
    });
    if (free) return port;
  }
}

// One request to the served box: its whole reply.
function request(text) {
  return new Promise((resolve, reject) => {
    const socket = net.connect(serverPort, '127.0.0.1', () => socket.write(text));
    let reply = '';
    socket.setTimeout(WAIT_MS, () => socket.destroy(new Error('no reply in time')));
    socket.on('data', (chunk) => { reply += chunk; });
    socket.on('end', () => resolve(reply));
    socket.on('error', reject);
  });
}

function untilOutput(pattern) {
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`qeno-host printed no ${pattern}: ${hostOutput}`)), WAIT_MS);
    const look = () => {
      const match = hostOutput.match(pattern);
      if (!match) return;
      clearTimeout(timer);
      host.stdout.off('data', look);
      resolve(match);
    };
    host.stdout.on('data', look);
    look();
  });
}

const serverBox = (page) => page.locator('.box[data-class="QenoServer"]');
const serverStatus = (page) => serverBox(page).locator('.status');
const field = (page, name) => page.locator(`#sheet .field[data-name="${name}"]`);

before(async () => {
  scratch = mkdtempSync(path.join(os.tmpdir(), 'qeno-browser-'));
  mkdirSync(shots, { recursive: true });
  serverPort = await freePort();
  host = spawn(hostPath, ['--port', String(serverPort), '--reply', '42', '--quiet',
                          '--ui', '127.0.0.1:0', '--save', path.join(scratch, 'graph.json')],
               { stdio: ['pipe', 'pipe', 'pipe'] });
  host.stdout.setEncoding('utf8');
  host.stderr.setEncoding('utf8');
  host.stdout.on('data', (text) => { hostOutput += text; });
  host.stderr.on('data', (text) => { hostOutput += text; });
  [, pageUrl] = await untilOutput(/editor page: (\S+)/);
  context = await chromium.launchPersistentContext(path.join(scratch, 'profile'), {
    executablePath: process.env.QENO_CHROMIUM ?? '/usr/bin/chromium',
    headless: true,
    viewport: { width: 1200, height: 720 },
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  context.setDefaultTimeout(WAIT_MS);
});

after(async () => {
  await context?.close();
  let code = host?.exitCode ?? 0;
  if (host && host.exitCode === null) {
    const ended = new Promise((resolve) => host.once('exit', (status) => resolve(status)));
    host.kill('SIGTERM');
    code = await ended;
  }
  if (scratch) rmSync(scratch, { recursive: true, force: true });
  // A clean stop, and (in a sanitizer build) nothing reported.
  assert.equal(code, 0, hostOutput);
});

test('the square turns green when a client is served, without a reload', async () => {
  const page = await context.newPage();
  await page.goto(pageUrl);
  await serverStatus(page).and(page.locator('[data-square="red"]')).waitFor();
  await page.waitForFunction(() => [...document.images].every((img) => img.complete && img.naturalWidth > 0));
  await page.evaluate(() => { window.sameDocument = true; });
  await page.screenshot({ path: path.join(shots, 'before-client.png') });

  assert.equal(await request('hi\r\n'), '42,x');
  await serverStatus(page).and(page.locator('[data-square="green"]')).waitFor();
  await page.locator('#lines li', { hasText: 'received hi\\r\\n' }).first().waitFor();
  assert.equal(await page.evaluate(() => window.sameDocument), true);
  // The face itself, as the module paints it, shows the green square.
  await page.waitForFunction(() => {
    const img = document.querySelector('.box[data-class="QenoServer"] img');
    if (!img.complete || !img.naturalWidth) return false;
    const paint = document.createElement('canvas');
    paint.width = img.naturalWidth;
    paint.height = img.naturalHeight;
    const g = paint.getContext('2d');
    g.drawImage(img, 0, 0);
    const [r, gr, b] = g.getImageData(28, 28, 1, 1).data;
    return r === 0 && gr === 255 && b === 0;
  });
  await page.screenshot({ path: path.join(shots, 'after-client.png') });
  await page.close();
});

test('the property sheet refuses port 79 at the field, keeps a new url, and a box moves', async () => {
  const page = await context.newPage();
  await page.goto(pageUrl);
  await serverBox(page).locator('img').click();
  await field(page, 'port').locator('input').fill('79');
  await field(page, 'port').locator('input').press('Enter');
  await assert.doesNotReject(field(page, 'port').locator('.error', { hasText: 'must be from 80 to 10000, not 79' }).waitFor());
  assert.equal(await field(page, 'port').locator('input').getAttribute('aria-invalid'), 'true');
  await page.screenshot({ path: path.join(shots, 'port-refused.png') });

  // Enter sends the edit once, though the field's change event follows it.
  const sent = [];
  page.on('request', (r) => { if (r.url().endsWith('/api/property')) sent.push(r.postData()); });
  await field(page, 'url').locator('input').fill('/kept');
  await field(page, 'url').locator('input').press('Enter');
  await page.locator('#notice', { hasText: 'url set to /kept' }).waitFor();
  await field(page, 'url').locator('input').blur();
  assert.equal(await field(page, 'url').locator('.error').textContent(), '');
  assert.deepEqual(sent, [JSON.stringify({ module: 0, name: 'url', value: '/kept' })]);

  // Dragging the box moves it by as much in the graph.
  const before = await serverBox(page).locator('img').boundingBox();
  await page.mouse.move(before.x + 80, before.y + 100);
  await page.mouse.down();
  await page.mouse.move(before.x + 120, before.y + 110, { steps: 5 });
  await page.mouse.up();
  await field(page, 'x').locator('input[data-shown="200"]').waitFor();
  assert.equal(await field(page, 'y').locator('input').inputValue(), '50');

  await page.reload();
  await serverBox(page).locator('img').click();
  assert.equal(await field(page, 'url').locator('input').inputValue(), '/kept');
  assert.equal(await field(page, 'port').locator('input').inputValue(), String(serverPort));
  await page.close();
});

test('readInput goes off and on in two clicks, and two pages follow standard input', async () => {
  const page = await context.newPage();
  const other = await context.newPage();
  await page.goto(pageUrl);
  await other.goto(pageUrl);
  // A page behind another gets few animation frames; clicks wait for them.
  await page.bringToFront();
  await serverStatus(page).and(page.locator('[data-state="listening"]')).waitFor();

  // The source linked to readInput is the first one, above the server.
  const enable = page.locator('.box[data-class="IntegerSource"]').first();
  const enableStatus = (p) => p.locator('.box[data-class="IntegerSource"]').first().locator('.status');
  await enable.locator('img').click();
  await page.locator('#sheet [data-action="set-0"]').click();
  await enableStatus(page).and(page.locator(':text("value 0")')).waitFor();
  await enableStatus(other).and(other.locator(':text("value 0")')).waitFor();
  // A running server keeps serving when readInput falls to 0; Stop ends it.
  await serverBox(page).locator('img').click();
  await page.locator('#sheet [data-action="stop"]').click();
  await serverStatus(page).and(page.locator('[data-state="idle"]')).waitFor();
  await serverStatus(other).and(other.locator('[data-state="idle"]')).waitFor();
  await enable.locator('img').click();
  await page.locator('#sheet [data-action="set-1"]').click();
  await serverStatus(page).and(page.locator('[data-state="listening"]')).waitFor();
  await serverStatus(other).and(other.locator('[data-state="listening"]')).waitFor();
  assert.equal(await request('again\r\n'), '42,x');

  host.stdin.write('reply 7\n');
  for (const p of [page, other]) {
    await p.locator('.box[data-class="IntegerSource"] .status', { hasText: 'value 7' }).waitFor();
  }
  assert.equal(await request('hi\r\n'), '7,x');
  await page.screenshot({ path: path.join(shots, 'after-edits.png') });
  await page.close();
  await other.close();
});

// An event stream held open by something other than a page, as a page's is.
function holdStream() {
  const { port, searchParams } = new URL(pageUrl);
  return new Promise((resolve, reject) => {
    const held = http.get({ host: '127.0.0.1', port, path: '/api/events',
                            headers: { Authorization: `Bearer ${searchParams.get('token')}` } },
                          (response) => resolve({ response, held }));
    held.on('error', reject);
  });
}

test('a page refused a stream says it is reconnecting, and goes live once a stream is free', async () => {
  // Every stream qeno-host allows; those of closed pages free their slots soon.
  const held = [];
  const deadline = Date.now() + WAIT_MS;
  while (held.length < 8) {
    const stream = await holdStream();
    if (stream.response.statusCode === 200) {
      held.push(stream);
    } else {
      stream.held.destroy();
      assert.ok(Date.now() < deadline, 'the streams of closed pages kept their slots');
      await new Promise((resolve) => setTimeout(resolve, 100));
    }
  }
  const page = await context.newPage();
  await page.goto(pageUrl);
  await page.locator('#connection[data-live="false"]', { hasText: 'reconnecting' }).waitFor();
  held.pop().held.destroy();
  await page.locator('#connection[data-live="true"]', { hasText: 'live' }).waitFor();
  await serverBox(page).waitFor();
  for (const { held: request } of held) request.destroy();
  await page.close();
});

test('ten tabs all load, show the texts received before them, and stay live', async () => {
  assert.match(await request('before the tabs: é\r\n'), /^\d+,x$/);
  const tabs = [];
  for (let i = 0; i < 10; ++i) {
    const tab = await context.newPage();
    await tab.goto(pageUrl);
    tabs.push(tab);
  }
  for (const tab of tabs) {
    await tab.locator('#connection[data-live="true"]').waitFor();
    await serverStatus(tab).and(tab.locator('[data-square="green"]')).waitFor();
    // Valid UTF-8 shows as itself; line breaks stay escaped.
    await tab.locator('#lines li', { hasText: 'received before the tabs: é\\r\\n' }).waitFor();
  }
  assert.match(await request('to every tab\r\n'), /^\d+,x$/);
  for (const tab of tabs) {
    await tab.locator('#lines li', { hasText: 'received to every tab' }).waitFor();
    assert.equal(await tab.locator('#lines li', { hasText: 'before the tabs' }).count(), 1);
  }
  await tabs[9].screenshot({ path: path.join(shots, 'tenth-tab.png') });
  for (const tab of tabs) await tab.close();
});
