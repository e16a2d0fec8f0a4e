// The editor page in a real, headless Chromium, used as a person would use it:
// every wait is for something that shows on the page, and bounded.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import http from 'node:http';
import { mkdtempSync, mkdirSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
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
function request(text, port = serverPort) {
  return new Promise((resolve, reject) => {
    const socket = net.connect(port, '127.0.0.1', () => socket.write(text));
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
  // The place and size are folded away until opened.
  await page.locator('#sheet [data-group="place"] summary').click();
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
  await enableStatus(page).filter({ hasText: "value 0" }).waitFor();
  await enableStatus(other).filter({ hasText: "value 0" }).waitFor();
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

test('a server\'s status line goes from listening to serving and back as a client comes and goes', async () => {
  const page = await context.newPage();
  await page.goto(pageUrl);
  const line = serverStatus(page).locator('.line');
  await line.and(page.locator(`[data-status="listening on 127.0.0.1:${serverPort}"]`)).waitFor();
  // A client that connects and says nothing: no value moves, the line does.
  const silent = net.connect(serverPort, '127.0.0.1');
  await new Promise((resolve, reject) => { silent.once('connect', resolve); silent.once('error', reject); });
  await line.and(page.locator(`[data-status="serving a client on 127.0.0.1:${serverPort}"]`)).waitFor();
  assert.equal(await serverStatus(page).getAttribute('data-colour'), 'blue');
  await page.screenshot({ path: path.join(shots, 'serving-a-client.png') });
  silent.end();
  await line.and(page.locator(`[data-status="listening on 127.0.0.1:${serverPort}"]`)).waitFor();
  assert.equal(await serverStatus(page).getAttribute('data-colour'), 'green');
  await page.close();
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

// ---- Building graphs on the page

// A second qeno-host with its page, on a graph file written here.
async function hostOn(graph, name, extra = []) {
  const file = path.join(scratch, `${name}.json`);
  writeFileSync(file, JSON.stringify(graph));
  const other = spawn(hostPath, ['--graph', file, '--quiet', '--ui', '127.0.0.1:0', ...extra],
                      { stdio: ['pipe', 'pipe', 'pipe'] });
  let output = '';
  other.stdout.setEncoding('utf8');
  other.stderr.setEncoding('utf8');
  other.stdout.on('data', (text) => { output += text; });
  other.stderr.on('data', (text) => { output += text; });
  const url = await new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`no editor page: ${output}`)), WAIT_MS);
    other.stdout.on('data', () => {
      const match = output.match(/editor page: (\S+)/);
      if (match) { clearTimeout(timer); resolve(match[1]); }
    });
    other.once('exit', () => reject(new Error(`qeno-host ended: ${output}`)));
  });
  const stop = async () => {
    if (other.exitCode !== null) return other.exitCode;
    const ended = new Promise((resolve) => other.once('exit', (status) => resolve(status)));
    other.kill('SIGTERM');
    return ended;
  };
  return { url, stop, output: () => output };
}

const centre = async (locator) => {
  const b = await locator.boundingBox();
  return [b.x + b.width / 2, b.y + b.height / 2];
};

// Presses on one element, moves to another (or to a point) and lets go, as a hand would.
async function drag(page, from, to) {
  await page.mouse.move(...await centre(from));
  await page.mouse.down();
  const [x, y] = Array.isArray(to) ? to : await centre(to);
  await page.mouse.move(x, y, { steps: 8 });
  await page.mouse.up();
}

const port = (page, box, kind, index) =>
  page.locator(`.port[data-module="${box}"][data-port="${kind}"][data-index="${index}"]`);
const linkCount = (page) => page.locator('#links .link').count();
const untilLinks = (page, count) =>
  page.waitForFunction((n) => document.querySelectorAll('#links .link').length === n, count);

async function addFromPalette(page, name, x, y) {
  const before = await page.locator(`.box[data-class="${name}"]`).count();
  const canvas = await page.locator('#canvas').boundingBox();
  await drag(page, page.locator(`#classes [data-class="${name}"]`), [canvas.x + x, canvas.y + y]);
  const added = page.locator(`.box[data-class="${name}"]`).nth(before);
  await added.waitFor();
  return added.getAttribute('data-module');
}

async function setField(page, name, value) {
  await field(page, name).locator('input').fill(value);
  await field(page, name).locator('input').press('Enter');
  await page.locator('#notice', { hasText: `${name} set to ${value}` }).waitFor();
}

// Waits, bounded, until places() gives want.
async function placesBecome(places, want) {
  const deadline = Date.now() + WAIT_MS;
  let got;
  while (JSON.stringify(got = await places()) !== JSON.stringify(want)) {
    assert.ok(Date.now() < deadline, `boxes at ${JSON.stringify(got)}, not ${JSON.stringify(want)}`);
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
}

async function exported(page) {
  const download = page.waitForEvent('download');
  await page.locator('[data-action="export"]').click();
  const file = await (await download).path();
  return JSON.parse(readFileSync(file, 'utf8'));
}

async function importFile(page, file) {
  const chooser = page.waitForEvent('filechooser');
  await page.locator('[data-action="import"]').click();
  await (await chooser).setFiles(file);
}

test('an empty page builds the echo graph by mouse; remove, undo, refusals, copy, export and import', async () => {
  const echoPort = await freePort();
  const other = await hostOn({ format: 'qeno-graph', version: 1, modules: [], links: [] }, 'empty');
  const page = await context.newPage();
  try {
    await page.goto(other.url);
    await page.locator('#connection[data-live="true"]').waitFor();
    // The filter narrows the palette, as typed.
    await page.locator('#filter').fill('qeno');
    assert.equal(await page.locator('#classes [data-class]:visible').count(), 1);
    await page.locator('#filter').fill('');
    const server = await addFromPalette(page, 'QenoServer', 420, 120);
    // A new box comes selected, its sheet open.
    await page.locator(`#sheet h2`, { hasText: `box ${server}` }).waitFor();
    await setField(page, 'key1', 'n=');
    await setField(page, 'port', String(echoPort));
    const source = await addFromPalette(page, 'IntegerSource', 120, 60);

    await drag(page, port(page, source, 'output', 0), port(page, server, 'input', 0));
    await untilLinks(page, 1);
    await drag(page, port(page, server, 'output', 0), port(page, server, 'input', 1));
    await untilLinks(page, 2);
    assert.match(await port(page, server, 'input', 0).getAttribute('title'), /^readInput/);
    assert.match(await port(page, server, 'input', 1).getAttribute('title'), /^sendOutput/);

    await page.locator(`.box[data-module="${source}"] img`).click();
    await page.locator('#sheet [data-action="set-1"]').click();
    await page.locator(`.box[data-module="${server}"] .status[data-state="listening"]`).waitFor();
    assert.equal(await request('GET /?n=41 HTTP/1.0\r\n\r\n', echoPort), '41,x');
    await page.screenshot({ path: path.join(shots, 'built-echo.png') });

    // A band drawn with Shift over both boxes selects them; Shift+arrow moves both by 10, as one step.
    const places = () => page.evaluate(async () => (await (await fetch('/api/graph')).json())
      .modules.map((m) => [m.module, m.x, m.y]));
    const before = await places();
    const canvas = await page.locator('#canvas').boundingBox();
    await page.keyboard.down('Shift');
    // From empty ground at the lower left: the server's labels fan out to its lower right.
    await page.mouse.move(canvas.x + 5, canvas.y + 440);
    await page.mouse.down();
    await page.mouse.move(canvas.x + 600, canvas.y + 5, { steps: 8 });
    await page.mouse.up();
    await page.keyboard.up('Shift');
    assert.equal(await page.locator('.box.selected').count(), 2);
    await page.keyboard.press('Shift+ArrowRight');
    await placesBecome(places, before.map(([n, x, y]) => [n, x + 10, y]));
    await page.keyboard.press('Control+z');
    await placesBecome(places, before);

    // The source goes with its link, and comes back with it.
    await page.locator(`.box[data-module="${source}"] img`).click();
    await page.keyboard.press('Delete');
    await page.locator(`.box[data-module="${source}"]`).waitFor({ state: 'detached' });
    await untilLinks(page, 1);
    await page.keyboard.press('Control+z');
    await page.locator(`.box[data-module="${source}"]`).waitFor();
    await page.locator(`#links .link[data-link="${source}.0>${server}.0"]`).waitFor({ state: 'attached' });
    assert.equal(await page.locator('[data-action="redo"]').isEnabled(), true);

    // A second link into a taken input, and text into an integer input, are refused at the port.
    await drag(page, port(page, source, 'output', 0), port(page, server, 'input', 1));
    const refusal = page.locator(`[data-refusal][data-module="${server}"][data-port="input"][data-index="1"]`);
    await refusal.waitFor();
    assert.notEqual((await refusal.getAttribute('data-refusal')).trim(), '');
    const text = await page.locator(`.port[data-module="${server}"][data-port="output"][data-type="text"]`).first();
    await drag(page, text, port(page, server, 'input', 0));
    await page.locator(`[data-refusal][data-module="${server}"][data-index="0"]`).waitFor();
    assert.equal(await linkCount(page), 2);

    // Keys typed into a field stay there: Backspace in the filter removes no box.
    await page.locator(`.box[data-module="${server}"] img`).click();
    await page.locator('#filter').press('Backspace');
    await page.locator('#filter').press('Delete');
    assert.equal(await page.locator(`.box[data-module="${server}"]`).count(), 1);

    // A copy of the server keeps its settings and its link to itself, lands offset, selected.
    const graphBefore = await exported(page);
    await page.locator(`.box[data-module="${server}"] img`).click();
    await page.keyboard.press('Control+c');
    await page.keyboard.press('Control+v');
    await page.locator('.box[data-class="QenoServer"]').nth(1).waitFor();
    await untilLinks(page, 3);
    // The copy alone is selected once the paste is answered.
    const copy = page.locator(`.box.selected[data-class="QenoServer"]:not([data-module="${server}"])`);
    await copy.waitFor();
    await page.locator(`.box.selected[data-module="${server}"]`).waitFor({ state: 'detached' });
    const copied = await copy.getAttribute('data-module');
    await page.locator(`#links .link[data-link="${copied}.0>${copied}.1"]`).waitFor({ state: 'attached' });
    await page.locator(`.box[data-module="${copied}"] img`).click();
    assert.equal(await field(page, 'key1').locator('input').inputValue(), 'n=');

    // Importing the exported file gives the graph back as it was.
    const file = path.join(scratch, 'exported.json');
    writeFileSync(file, JSON.stringify(graphBefore));
    await importFile(page, file);
    await page.locator('.box[data-class="QenoServer"]').nth(1).waitFor({ state: 'detached' });
    assert.deepEqual(await exported(page), graphBefore);
    await untilLinks(page, 2);
    await page.locator('.box[data-class="QenoServer"] .status[data-state="listening"]').waitFor();
    assert.equal(await request('GET /?n=43 HTTP/1.0\r\n\r\n', echoPort), '43,x');
    const bad = path.join(scratch, 'bad.json');
    writeFileSync(bad, JSON.stringify({ modules: [{ class: 'NoSuchClass', content: {} }], links: [] }));
    await importFile(page, bad);
    await page.locator('#notice.bad', { hasText: 'refused' }).waitFor();
    assert.deepEqual(await exported(page), graphBefore);

    // A double click on the canvas opens a search; Enter adds the first class that matches, there.
    await page.mouse.dblclick(canvas.x + 60, canvas.y + 420);
    await page.keyboard.type('integersi');
    await page.keyboard.press('Enter');
    await page.locator('.box[data-class="IntegerSink"]').waitFor();
    await page.screenshot({ path: path.join(shots, 'after-import.png') });
  } finally {
    await page.close();
    assert.equal(await other.stop(), 0, other.output());
  }
});

test('a port in use shows at its box and in the log, a line selects its box, and Start starts it', async () => {
  const clashPort = await freePort();
  const server = (x) => ({ class: 'QenoServer', content: { x, y: 60, port: clashPort } });
  const source = (x) => ({ class: 'IntegerSource', content: { x, y: -20, value: 1 } });
  const other = await hostOn({
    format: 'qeno-graph', version: 1, modules: [server(40), server(420), source(60), source(440)],
    links: [{ from: { module: 2, output: 0 }, to: { module: 0, input: 0 } },
            { from: { module: 3, output: 0 }, to: { module: 1, input: 0 } }],
  }, 'clash');
  const page = await context.newPage();
  try {
    await page.goto(other.url);
    const inUse = `idle: port ${clashPort} is in use`;
    const loserLine = page.locator(`.status .line[data-status="${inUse}"]`);
    await loserLine.waitFor();
    const loser = await loserLine.locator('xpath=ancestor::div[@data-module]').getAttribute('data-module');
    const winner = loser === '0' ? '1' : '0';
    // The log says it too, tied to the box; a click on the line selects it.
    const told = page.locator(`[data-log] li[data-module="${loser}"]`,
                              { hasText: `cannot listen on port ${clashPort}: Address already in use` });
    await told.waitFor();
    await told.click();
    await page.locator(`.box.selected[data-module="${loser}"]`).waitFor();
    await page.locator(`#sheet h2`, { hasText: `box ${loser}` }).waitFor();
    // The log can show the selected box's lines alone.
    const startLine = page.locator(`[data-log] li[data-module="${winner}"]`, { hasText: `server ${winner}: listening` });
    await startLine.waitFor();
    await page.locator('[data-log] [data-action="log-only"]').click();
    await startLine.waitFor({ state: 'hidden' });
    await told.waitFor();
    await page.screenshot({ path: path.join(shots, 'port-in-use.png') });

    // Stop the one that listens, then Start the idle one.
    await page.locator(`.box[data-module="${winner}"] img`).click();
    await page.locator('#sheet [data-action="stop"]').click();
    await page.locator(`.box[data-module="${winner}"] .status .line[data-status="idle: stopped"]`).waitFor();
    await page.locator(`.box[data-module="${loser}"] img`).click();
    await page.locator('#sheet [data-action="start"]').click();
    await page.locator(`.box[data-module="${loser}"] .status .line[data-status="listening on 127.0.0.1:${clashPort}"]`).waitFor();
    assert.equal(await request('hi\r\n', clashPort), '0,x');
  } finally {
    await page.close();
    assert.equal(await other.stop(), 0, other.output());
  }
});

test('a server held since it crashed says so under its box, and Release lets it serve', async () => {
  const heldPort = await freePort();
  const saved = path.join(scratch, 'held-saved.json');
  // What the crash reporter leaves beside the saved graph: box 0 crashed in inputChanged.
  writeFileSync(`${saved}.crashed`, `0\tQenoServer\tlibqenoserver.so\tinputChanged\t${Math.floor(Date.now() / 1000)}\tSIGSEGV\n`);
  const other = await hostOn({
    format: 'qeno-graph', version: 1,
    modules: [{ class: 'QenoServer', content: { x: 220, y: 60, port: heldPort } },
              { class: 'IntegerSource', content: { x: 40, y: 60, value: 1 } }],
    links: [{ from: { module: 1, output: 0 }, to: { module: 0, input: 0 } }],
  }, 'held', ['--save', saved]);
  const page = await context.newPage();
  try {
    await page.goto(other.url);
    const status = (text) => page.locator(`.box[data-module="0"] .status .line[data-status^="${text}"]`);
    await status('held: it crashed in inputChanged').waitFor();
    await page.locator('.box[data-module="0"] img').click();
    // A held box offers Release, and nothing that would run its code.
    assert.equal(await page.locator('#sheet [data-action="start"]').count(), 0);
    await page.locator('#sheet [data-action="release"]').click();
    await status(`listening on 127.0.0.1:${heldPort}`).waitFor();
    assert.equal(await request('hi\r\n', heldPort), '0,x');
  } finally {
    await page.close();
    await other.stop();
  }
});

test('a graph of 256 boxes loads, and F fits it in the window', async () => {
  const modules = [];
  for (let i = 0; i < 256; ++i) {
    modules.push({ class: 'QenoServer',
                   content: { x: (i % 16) * 220, y: Math.floor(i / 16) * 300, port: 3000 + i } });
  }
  const other = await hostOn({ format: 'qeno-graph', version: 1, modules, links: [] }, 'large');
  const page = await context.newPage();
  try {
    await page.goto(other.url);
    await page.waitForFunction(() => document.querySelectorAll('.box').length === 256);
    await page.locator('#canvas').click({ position: { x: 5, y: 5 } });
    await page.keyboard.press('f');
    await page.waitForFunction(() => {
      const frame = document.getElementById('canvas').getBoundingClientRect();
      return [...document.querySelectorAll('.box')].every((box) => {
        const r = box.getBoundingClientRect();
        return r.width > 0 && r.left >= frame.left && r.right <= frame.right &&
               r.top >= frame.top && r.bottom <= frame.bottom;
      });
    }, null, { timeout: 2000 });
    // Every picture comes, though qeno-host paints them over several changes.
    await page.waitForFunction(() => [...document.querySelectorAll('.box img')].every(
      (img) => img.complete && img.naturalWidth > 0 && !img.hidden));
    await page.screenshot({ path: path.join(shots, 'fitted-256.png') });
  } finally {
    await page.close();
    assert.equal(await other.stop(), 0, other.output());
  }
});

test('a box reads: port names on hover and while wiring, refusals in words, info, a grouped sheet, exact nudges, clear pastes', async () => {
  const serverPort = await freePort();
  const other = await hostOn({
    format: 'qeno-graph', version: 1, links: [],
    modules: [{ class: 'IntegerSource', content: { x: 0, y: 40, value: 0 } },
              { class: 'QenoServer', content: { x: 300, y: 80, port: serverPort } }],
  }, 'readable');
  const page = await context.newPage();
  try {
    await page.goto(other.url);
    await page.locator('#connection[data-live="true"]').waitFor();
    const server = page.locator('.box[data-class="QenoServer"]');
    await server.locator('img').waitFor();
    const [source, box] = ['0', '1'];
    const label = (name) => page.locator(`.port-label[data-module="${box}"][data-port-label="${name}"]`);

    // Hovering the server names its 32 ports beside it.
    await server.locator('img').hover();
    await label('xml_10').waitFor();
    assert.equal(await page.locator(`.port-label[data-module="${box}"]:visible`).count(), 32);
    await page.screenshot({ path: path.join(shots, 'port-labels.png') });

    // A wire from the source makes the server's integer inputs stand out
    // with their names; it ends on a name as on a port.
    await page.mouse.move(...await centre(port(page, source, 'output', 0)));
    await page.mouse.down();
    await page.mouse.move(300, 300, { steps: 4 });
    await label('sendOutput').waitFor();
    assert.equal(await page.locator(`.port.accepts[data-module="${box}"]`).count(), 2);
    assert.equal(await label('xml_10').count(), 0);
    await page.screenshot({ path: path.join(shots, 'wiring.png') });
    await page.mouse.move(...await centre(label('sendOutput')), { steps: 4 });
    await page.mouse.up();
    await page.locator(`#links .link[data-link="${source}.0>${box}.1"]`).waitFor({ state: 'attached' });

    // Text into an integer input: refused in words, the note inside the canvas.
    await server.locator('img').hover();
    await drag(page, label('xml_10'), port(page, box, 'input', 0));
    const refusal = page.locator(`[data-refusal][data-module="${box}"][data-index="0"]`);
    await refusal.waitFor();
    assert.match(await refusal.textContent(), /^xml_10 .* carries text; readInput .* takes an integer$/);
    const [note, frame] = [await refusal.boundingBox(), await page.locator('#canvas').boundingBox()];
    assert.ok(note.x >= frame.x && note.x + note.width <= frame.x + frame.width &&
              note.y >= frame.y && note.y + note.height <= frame.y + frame.height, JSON.stringify([note, frame]));
    await page.screenshot({ path: path.join(shots, 'refusal-in-words.png') });

    // The info panel tells the selected box; the sheet folds its place and
    // size away and shows the keys as one table, each entry with its words.
    await server.locator('img').click();
    const info = page.locator(`#info[data-info-for="box:${box}"]`);
    await info.waitFor();
    assert.ok((await info.locator('.description').textContent()).length > 40);
    assert.equal(await info.locator('tr[data-port="output"]').count(), 30);
    assert.equal(await info.locator('tr[data-info-port="xml_10"] .type').textContent(), 'text');
    assert.match(await info.locator('tr[data-info-port="sendOutput"] .links').textContent(), /from box 0 value/);
    assert.equal(await field(page, 'x').isVisible(), false);
    assert.equal(await page.locator('#sheet table[data-group="key"] tr[data-row]').count(), 8);
    assert.ok((await field(page, 'port').locator('.words').textContent()).length > 20);
    await page.screenshot({ path: path.join(shots, 'info-and-sheet.png') });

    // Ten quick presses move the box ten pixels; two more and Shift+Down, 2 and 10.
    const placeOf = async () => page.evaluate(async (n) => {
      const m = (await (await fetch('/api/graph')).json()).modules.find((b) => b.module === n);
      return [m.x, m.y];
    }, Number(box));
    const [x, y] = await placeOf();
    for (let i = 0; i < 10; ++i) await page.keyboard.press('ArrowRight');
    await placesBecome(placeOf, [x + 10, y]);
    await page.keyboard.press('ArrowRight');
    await page.keyboard.press('ArrowRight');
    await page.keyboard.press('Shift+ArrowDown');
    await placesBecome(placeOf, [x + 12, y + 10]);

    // A pasted box lands clear of its original, status line and all.
    await page.keyboard.press('Control+c');
    await page.keyboard.press('Control+v');
    const copy = page.locator(`.box.selected[data-class="QenoServer"]:not([data-module="${box}"])`);
    await copy.locator('img').waitFor();
    const [first, second] = [await server.first().locator('.status').boundingBox(), await copy.boundingBox()];
    assert.ok(second.y >= first.y + first.height, JSON.stringify([first, second]));

    // Without a selection, the class under the pointer; a link starts from the panel too.
    await page.keyboard.press('Escape');
    await page.locator('#classes [data-class="Counter"]').hover();
    await page.locator('#info[data-info-for="class:Counter"] .description').waitFor();
    await server.first().locator('img').click();
    await drag(page, page.locator('#info [data-link-from="readInput"]'), port(page, source, 'output', 0));
    await page.locator(`#links .link[data-link="${source}.0>${box}.0"]`).waitFor({ state: 'attached' });
  } finally {
    await page.close();
    assert.equal(await other.stop(), 0, other.output());
  }
});
