// The live editor page: draws the graph the server describes, follows its
// event stream, and sends the user's edits back as JSON.

import { addLines, follow } from './stream.js';

const PAD = 24;          // room around the graph, in pixels

const canvas = document.getElementById('canvas');
const boxesLayer = document.getElementById('boxes');
const linksLayer = document.getElementById('links');
const sheet = document.getElementById('sheet');
const saveButton = document.getElementById('save');
const notice = document.getElementById('notice');
const connection = document.getElementById('connection');
const lines = document.getElementById('lines');

let state = null;
let selected = -1;
let offset = { x: 0, y: 0 };
let dragging = null;
const boxViews = new Map();   // module index -> its elements
let sheetKey = '';            // what the open sheet was built for

async function post(path, body) {
  try {
    const response = await fetch(path, {
      method: 'POST',
      headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify(body),
    });
    let answer = {};
    try { answer = await response.json(); } catch { answer = { error: response.statusText }; }
    return { ok: response.ok, ...answer };
  } catch (error) {
    return { ok: false, error: `qeno-host did not answer (${error.message})` };
  }
}

function say(text, bad = false) {
  notice.textContent = text;
  notice.classList.toggle('bad', bad);
}

function element(tag, attributes = {}, text = '') {
  const node = document.createElement(tag);
  for (const [name, value] of Object.entries(attributes)) node.setAttribute(name, value);
  if (text) node.textContent = text;
  return node;
}

// ---- Drawing the graph

function bounds(modules) {
  let minX = Infinity; let minY = Infinity; let maxX = -Infinity; let maxY = -Infinity;
  for (const m of modules) {
    const margin = m.image.margin;
    minX = Math.min(minX, m.x - margin);
    minY = Math.min(minY, m.y - margin);
    maxX = Math.max(maxX, m.x + m.width + margin);
    maxY = Math.max(maxY, m.y + m.height + margin + 36);
  }
  if (!modules.length) return { minX: 0, minY: 0, maxX: 0, maxY: 0 };
  return { minX, minY, maxX, maxY };
}

function viewOf(m) {
  let view = boxViews.get(m.index);
  if (view && view.className === m.class) return view;
  if (view) view.root.remove();
  const root = element('div', { class: 'box', 'data-index': m.index, 'data-class': m.class });
  const img = element('img', { alt: `${m.class} box ${m.index}`, draggable: 'false' });
  const status = element('div', { class: 'status' });
  const ports = element('div', { class: 'ports' });
  root.append(img, ports, status);
  root.addEventListener('pointerdown', (event) => startDrag(event, m.index));
  boxesLayer.append(root);
  view = { root, img, status, ports, className: m.class, version: -1, portKey: '' };
  boxViews.set(m.index, view);
  return view;
}

function drawPorts(view, m) {
  const left = m.x - m.image.margin;
  const top = m.y - m.image.margin;
  const key = JSON.stringify([m.x, m.y, m.inputs, m.outputs]);
  if (key === view.portKey) return;
  view.portKey = key;
  view.ports.replaceChildren();
  const add = (port, kind) => {
    const [x, y, w, h] = port.area;
    const title = port.value === undefined ? port.name : `${port.name} = ${port.value}`;
    const hit = element('div', { class: `port ${kind}`, title, 'data-port': port.name });
    hit.style.left = `${x - left}px`;
    hit.style.top = `${y - top}px`;
    hit.style.width = `${Math.max(w, 2)}px`;
    hit.style.height = `${Math.max(h, 2)}px`;
    view.ports.append(hit);
  };
  m.inputs.forEach((port) => add(port, 'input'));
  m.outputs.forEach((port) => add(port, 'output'));
}

function statusText(m) {
  if (m.fault) return ['faulted', ` in ${m.fault.operation}`, m.fault.message];
  if (m.server) {
    const s = m.server;
    return [s.state, ` · ${s.requests} received`, s.lastChunk ? `last: ${s.lastChunk}` : ''];
  }
  if (m.value !== undefined) return ['', `value ${m.value}`, ''];
  return ['', '', ''];
}

function drawBox(m) {
  const view = viewOf(m);
  const moving = dragging && dragging.index === m.index;
  if (!moving) {
    view.root.style.left = `${m.x - m.image.margin + offset.x}px`;
    view.root.style.top = `${m.y - m.image.margin + offset.y}px`;
  }
  if (view.version !== m.image.version) {
    view.version = m.image.version;
    view.img.src = `/api/box/${m.index}.png?v=${m.image.version}`;
  }
  view.root.classList.toggle('selected', m.index === selected);
  drawPorts(view, m);
  const [stateWord, rest, last] = statusText(m);
  view.status.style.top = `${m.height + 2 * m.image.margin}px`;
  view.status.dataset.state = m.server ? m.server.state : '';
  view.status.dataset.fault = m.fault ? m.fault.operation : '';
  view.status.dataset.square = m.server ? m.server.square : '';
  view.status.title = `${stateWord}${rest} ${last}`.trim();
  view.status.replaceChildren(element('span', { class: 'state' }, stateWord),
                              document.createTextNode(rest),
                              element('span', { class: 'last' }, last));
}

function drawLinks(b) {
  linksLayer.setAttribute('width', b.maxX - b.minX + 2 * PAD);
  linksLayer.setAttribute('height', b.maxY - b.minY + 2 * PAD);
  const svg = 'http://www.w3.org/2000/svg';
  const drawn = state.links.map((link) => {
    const [x1, y1, x2, y2] = link.points;
    const line = document.createElementNS(svg, 'line');
    line.setAttribute('x1', x1 + offset.x);
    line.setAttribute('y1', y1 + offset.y);
    line.setAttribute('x2', x2 + offset.x);
    line.setAttribute('y2', y2 + offset.y);
    return line;
  });
  linksLayer.replaceChildren(...drawn);
}

function draw() {
  const b = bounds(state.modules);
  offset = { x: PAD - b.minX, y: PAD - b.minY };
  boxesLayer.style.width = `${b.maxX - b.minX + 2 * PAD}px`;
  boxesLayer.style.height = `${b.maxY - b.minY + 2 * PAD}px`;
  for (const m of state.modules) drawBox(m);
  for (const [index, view] of boxViews) {
    if (index >= state.modules.length) {
      view.root.remove();
      boxViews.delete(index);
    }
  }
  drawLinks(b);
}

// ---- Moving boxes

function startDrag(event, index) {
  if (event.button !== 0) return;
  const view = boxViews.get(index);
  dragging = {
    index, view, startX: event.clientX, startY: event.clientY,
    left: parseFloat(view.root.style.left), top: parseFloat(view.root.style.top), moved: false,
  };
  view.root.setPointerCapture(event.pointerId);
  view.root.classList.add('dragging');
  view.root.onpointermove = (move) => {
    const dx = move.clientX - dragging.startX;
    const dy = move.clientY - dragging.startY;
    if (Math.abs(dx) + Math.abs(dy) > 3) dragging.moved = true;
    view.root.style.left = `${dragging.left + dx}px`;
    view.root.style.top = `${dragging.top + dy}px`;
  };
  view.root.onpointerup = async (up) => {
    const drag = dragging;
    dragging = null;
    view.root.onpointermove = null;
    view.root.onpointerup = null;
    view.root.classList.remove('dragging');
    if (!drag.moved) {
      select(index);
      return;
    }
    const m = state.modules[index];
    const x = Math.round(m.x + up.clientX - drag.startX);
    const y = Math.round(m.y + up.clientY - drag.startY);
    const answer = await post('/api/move', { module: index, x, y });
    if (!answer.ok) say(answer.error, true);
    draw();
  };
}

// ---- The property sheet

function select(index) {
  selected = index;
  sheetKey = '';
  draw();
  drawSheet();
}

function fieldFor(m, row) {
  const id = `field-${m.index}-${row.name.replace(/[^A-Za-z0-9]/g, '_')}`;
  const wrap = element('div', { class: 'field', 'data-name': row.name });
  const label = element('label', { for: id }, row.name);
  const input = element('input', { id, name: row.name, autocomplete: 'off', spellcheck: 'false' });
  input.value = row.value;
  input.dataset.shown = row.value;
  if (row.kind === 'integer') {
    input.setAttribute('inputmode', 'numeric');
    input.setAttribute('aria-describedby', `${id}-limits`);
  }
  const error = element('div', { class: 'error', role: 'alert', id: `${id}-error` });
  wrap.append(label, input);
  if (row.kind === 'integer') {
    wrap.append(element('div', { class: 'limits', id: `${id}-limits` }, `${row.lower} to ${row.upper}`));
  }
  wrap.append(error);
  // Enter, then the change event it brings, send a value once.
  let sending = null;
  const commit = async () => {
    if (input.value === sending) return;
    if (input.value === input.dataset.shown && input.getAttribute('aria-invalid') !== 'true') return;
    sending = input.value;
    const answer = await post('/api/property', { module: m.index, name: row.name, value: sending });
    sending = null;
    if (answer.ok) {
      input.dataset.shown = input.value;
      input.removeAttribute('aria-invalid');
      error.textContent = '';
      say(`${row.name} set to ${input.value}`);
    } else {
      input.setAttribute('aria-invalid', 'true');
      error.textContent = answer.error;
    }
  };
  input.addEventListener('change', commit);
  input.addEventListener('keydown', (event) => { if (event.key === 'Enter') commit(); });
  return wrap;
}

function actionButton(text, onClick, attributes = {}) {
  const button = element('button', { type: 'button', ...attributes }, text);
  button.addEventListener('click', onClick);
  return button;
}

function drawSheet() {
  const m = state && state.modules[selected];
  if (!m) {
    sheetKey = '';
    sheet.replaceChildren(element('p', { class: 'hint' }, 'Select a box to see and edit its properties. Drag a box to move it.'));
    return;
  }
  const key = JSON.stringify([m.index, m.class, m.properties.map((row) => row.name)]);
  if (key !== sheetKey) {
    sheetKey = key;
    const title = element('h2', {}, `${m.class} (box ${m.index})`);
    const actions = element('div', { class: 'actions' });
    if (m.server) {
      actions.append(
        actionButton('Stop', () => command(m.index, 'stop'), { 'data-action': 'stop' }),
        actionButton('Shutdown', () => command(m.index, 'shutdown'), { 'data-action': 'shutdown' }));
    }
    if (m.value !== undefined) {
      for (const value of [0, 1]) {
        actions.append(actionButton(`Set ${value}`, () => setValue(m.index, value),
                                    { 'data-action': `set-${value}` }));
      }
    }
    const fields = m.properties.map((row) => fieldFor(m, row));
    sheet.replaceChildren(title, actions, ...fields);
    return;
  }
  // The same sheet: refresh the values a user is not editing.
  for (const row of m.properties) {
    const input = sheet.querySelector(`.field[data-name="${CSS.escape(row.name)}"] input`);
    if (!input || input === document.activeElement || input.getAttribute('aria-invalid') === 'true') continue;
    if (input.dataset.shown !== row.value) {
      input.value = row.value;
      input.dataset.shown = row.value;
    }
  }
}

async function command(index, name) {
  const answer = await post('/api/command', { module: index, command: name });
  say(answer.ok ? `${name} done` : answer.error, !answer.ok);
}

async function setValue(index, value) {
  const answer = await post('/api/property', { module: index, name: 'value', value: String(value) });
  say(answer.ok ? `value set to ${value}` : answer.error, !answer.ok);
}

saveButton.addEventListener('click', async () => {
  const answer = await post('/api/save', {});
  say(answer.ok ? 'graph saved' : answer.error, !answer.ok);
});

// ---- Following the server

const received = { first: 0, lines: [] };

function appendLog(batch) {
  const fresh = addLines(received, batch).lines;
  if (!fresh.length) return;
  const stick = lines.scrollTop + lines.clientHeight >= lines.scrollHeight - 4;
  for (const text of fresh) lines.append(element('li', {}, text));
  while (lines.childElementCount > received.lines.length) lines.firstElementChild.remove();
  if (stick) lines.scrollTop = lines.scrollHeight;
}

function apply(next) {
  state = next;
  saveButton.disabled = !state.canSave;
  draw();
  drawSheet();
}

canvas.addEventListener('pointerdown', (event) => {
  if (event.target === canvas || event.target === boxesLayer) select(-1);
});

function showLive(live) {
  connection.textContent = live ? 'live' : 'reconnecting';
  connection.dataset.live = String(live);
}

function onStream(kind, data) {
  if (kind === 'state') apply(JSON.parse(data));
  else if (kind === 'log') appendLog(data);
  else if (kind === 'live') showLive(data);
}

// One stream for all the page's tabs, in a shared worker where there is one.
let ownStream = false;
const followAlone = () => {
  if (ownStream) return;
  ownStream = true;
  follow(onStream);
};
if (typeof SharedWorker === 'function') {
  try {
    const worker = new SharedWorker('/stream.js', { type: 'module', name: 'qeno-events' });
    worker.addEventListener('error', followAlone);
    worker.port.addEventListener('message', (event) => onStream(event.data.kind, event.data.data));
    worker.port.start();
    window.addEventListener('pagehide', (event) => {
      if (!event.persisted) worker.port.postMessage('closed');
    });
  } catch {
    followAlone();
  }
} else {
  followAlone();
}
