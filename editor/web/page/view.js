// Draws the graph: one element per box and one curve per link, inside one
// transformed layer, so panning and zooming move a single element whatever
// the graph's size. Only the parts of a box whose fields changed are redrawn;
// the stream replaces whole fields, so a field that is the same object as
// last time is the same as last time.

import { element, linkKey, model, portsOf } from './model.js';

const SVG = 'http://www.w3.org/2000/svg';
const PAD = 24;           // room around the graph, in pixels
export const STATUS_ROOM = 60;  // the status lines under a box
const PORT_REACH = 12;    // smallest side of a port's hit area
export const ZOOM_LIMITS = [0.05, 4];

const canvas = document.getElementById('canvas');
const world = document.getElementById('world');
const boxesLayer = document.getElementById('boxes');
const linksLayer = document.getElementById('linkset');
const wireLayer = document.getElementById('wires');

export const camera = { x: PAD, y: PAD, scale: 1 };
const views = new Map();      // box number -> its elements and what they show
const linkViews = new Map();  // link key -> its elements
const shifted = new Map();    // box number -> [dx, dy] while being dragged

// How far a box shows from where the state has it: dragged, or moved by the
// page and not yet echoed by qeno-host.
function offsetOf(number) {
  const [dx, dy] = shifted.get(number) ?? [0, 0];
  const pending = model.pending.get(number);
  const m = pending && model.state.boxes.get(number);
  return m ? [dx + pending.x - m.x, dy + pending.y - m.y] : [dx, dy];
}

// Told after every change of the camera, and after a box's ports were drawn
// anew (its number) or it left the page.
export const watchers = { camera: [], ports: [] };

export function applyCamera() {
  world.style.transform = `translate(${camera.x}px, ${camera.y}px) scale(${camera.scale})`;
  for (const watch of watchers.camera) watch();
}

// The graph rectangle the canvas shows.
export function inView() {
  const left = -camera.x / camera.scale;
  const top = -camera.y / camera.scale;
  return { left, top, right: left + canvas.clientWidth / camera.scale,
           bottom: top + canvas.clientHeight / camera.scale };
}

// The graph point under a pointer.
export function toGraph(clientX, clientY) {
  const r = canvas.getBoundingClientRect();
  return { x: (clientX - r.left - camera.x) / camera.scale, y: (clientY - r.top - camera.y) / camera.scale };
}

export function zoomAt(clientX, clientY, factor) {
  const r = canvas.getBoundingClientRect();
  const scale = Math.min(ZOOM_LIMITS[1], Math.max(ZOOM_LIMITS[0], camera.scale * factor));
  const px = clientX - r.left;
  const py = clientY - r.top;
  camera.x = px - ((px - camera.x) * scale) / camera.scale;
  camera.y = py - ((py - camera.y) * scale) / camera.scale;
  camera.scale = scale;
  applyCamera();
}

export function zoomCentre(factor) {
  const r = canvas.getBoundingClientRect();
  zoomAt(r.left + r.width / 2, r.top + r.height / 2, factor);
}

function bounds() {
  let minX = Infinity; let minY = Infinity; let maxX = -Infinity; let maxY = -Infinity;
  for (const m of model.state.boxes.values()) {
    if (!m.image) continue;
    const margin = m.image.margin;
    minX = Math.min(minX, m.x - margin);
    minY = Math.min(minY, m.y - margin);
    maxX = Math.max(maxX, m.x + m.width + margin);
    maxY = Math.max(maxY, m.y + m.height + margin + STATUS_ROOM);
  }
  if (minX === Infinity) return null;
  return { minX, minY, maxX, maxY };
}

// Scale 1, the graph's top left corner at the canvas's.
export function resetView() {
  const b = model.state && bounds();
  camera.scale = 1;
  camera.x = PAD - (b ? b.minX : 0);
  camera.y = PAD - (b ? b.minY : 0);
  applyCamera();
}

// The whole graph in the window, centred, never larger than life.
export function fit() {
  const b = model.state && bounds();
  if (!b) return resetView();
  const width = canvas.clientWidth;
  const height = canvas.clientHeight;
  const scale = Math.min(1, (width - 2 * PAD) / (b.maxX - b.minX), (height - 2 * PAD) / (b.maxY - b.minY));
  camera.scale = Math.max(ZOOM_LIMITS[0], scale);
  camera.x = (width - (b.maxX - b.minX) * camera.scale) / 2 - b.minX * camera.scale;
  camera.y = (height - (b.maxY - b.minY) * camera.scale) / 2 - b.minY * camera.scale;
  applyCamera();
}

// ---- Boxes

function portTitle(m, port, kind, index) {
  let title = `${port.name} (${kind} ${index}, ${port.type})`;
  if (kind === 'output' && m.values && m.values[index] !== null && m.values[index] !== undefined) {
    title += ` = ${m.values[index]}`;
  }
  return title;
}

// A port's hit area grows to PORT_REACH on each side, but never over the
// middle of a neighbour's: a server's outputs are stacked a few pixels apart.
function reach(areas, i) {
  const [x, y, w, h] = areas[i];
  let across = PORT_REACH;
  let down = PORT_REACH;
  areas.forEach(([ox, oy, ow, oh], j) => {
    if (j === i) return;
    if (ox < x + w && ox + ow > x) down = Math.min(down, Math.abs(oy + oh / 2 - (y + h / 2)));
    if (oy < y + h && oy + oh > y) across = Math.min(across, Math.abs(ox + ow / 2 - (x + w / 2)));
  });
  return [Math.max(w, across), Math.max(h, down)];
}

function drawPorts(view, m, ports) {
  const margin = m.image.margin;
  const areas = [...ports.inputs, ...ports.outputs].map((port) => port.area);
  const add = (port, kind, index, at) => {
    const [x, y, w, h] = port.area;
    const [width, height] = reach(areas, at);
    const hit = element('div', {
      class: `port ${kind}`, 'data-module': m.module, 'data-port': kind, 'data-index': index,
      'data-name': port.name, 'data-type': port.type, title: portTitle(m, port, kind, index),
    });
    hit.style.left = `${x + w / 2 - width / 2 + margin}px`;
    hit.style.top = `${y + h / 2 - height / 2 + margin}px`;
    hit.style.width = `${width}px`;
    hit.style.height = `${height}px`;
    return hit;
  };
  const count = ports.inputs.length;
  view.ports.replaceChildren(...ports.inputs.map((port, i) => add(port, 'input', i, i)),
                             ...ports.outputs.map((port, i) => add(port, 'output', i, count + i)));
}

function drawTitles(view, m, ports) {
  for (const hit of view.ports.querySelectorAll('.port.output')) {
    const index = Number(hit.dataset.index);
    const port = ports.outputs[index];
    if (port) hit.title = portTitle(m, port, 'output', index);
  }
}

const plural = (count, word) => `${count} ${word}${count === 1 ? '' : 's'}`;

// What shows under a box: its status line (a dot and a text, the box's own,
// or a server's as qeno-host composes it), what it counts or holds, and a
// server's last text.
function statusLines(m) {
  let status = m.status ?? null;
  if (!status && m.fault) status = { text: `faulted in ${m.fault.operation}: ${m.fault.message}`, colour: 'red' };
  if (m.server) {
    const s = m.server;
    return [status, `${plural(s.requests, 'request')} · ${plural(s.chunks, 'chunk')}`,
            s.lastChunk ? `last: ${s.lastChunk}` : ''];
  }
  if (m.value !== undefined) return [status, `value ${m.value}`, ''];
  return [status, '', ''];
}

function drawStatus(view, m) {
  const [status, counts, last] = statusLines(m);
  view.status.style.top = `${m.height + 2 * m.image.margin}px`;
  view.status.dataset.state = m.server ? m.server.state : '';
  view.status.dataset.fault = m.fault ? m.fault.operation : '';
  view.status.dataset.square = m.server ? m.server.square : '';
  view.status.dataset.colour = status ? status.colour : '';
  view.status.title = [status?.text, counts, last].filter(Boolean).join('\n');
  const line = element('span', { class: 'line', 'data-status': status?.text ?? '' }, status?.text ?? '');
  view.status.replaceChildren(element('span', { class: 'dot', 'data-colour': status?.colour ?? 'none' }), line,
                              element('span', { class: 'counts' }, counts),
                              element('span', { class: 'last' }, last));
  view.status.firstElementChild.hidden = !status;
}

function place(view, m) {
  const [dx, dy] = offsetOf(m.module);
  view.root.style.left = `${m.x - m.image.margin + dx}px`;
  view.root.style.top = `${m.y - m.image.margin + dy}px`;
  // Sized before its picture loads, so the layout never waits for pictures.
  view.root.style.width = `${m.width + 2 * m.image.margin}px`;
  view.root.style.height = `${m.height + 2 * m.image.margin}px`;
}

export function boxElement(number) {
  return views.get(number)?.root ?? null;
}

function drawBox(m) {
  let view = views.get(m.module);
  if (view && view.className !== m.class) {
    view.root.remove();
    view = null;
  }
  if (!view) {
    const root = element('div', { class: 'box', 'data-module': m.module, 'data-class': m.class });
    const img = element('img', { alt: `${m.class} box ${m.module}`, draggable: 'false' });
    const status = element('div', { class: 'status' });
    const ports = element('div', { class: 'ports' });
    root.append(img, ports, status);
    boxesLayer.append(root);
    view = { root, img, status, ports, className: m.class, shown: {} };
    views.set(m.module, view);
  }
  const shown = view.shown;
  if (shown.x !== m.x || shown.y !== m.y || shown.image !== m.image || shown.width !== m.width ||
      shown.height !== m.height) {
    place(view, m);
  }
  if (shown.image?.version !== m.image.version) {
    // Version 0: not painted yet; its picture comes with a later change.
    const painted = m.image.version > 0;
    view.img.hidden = !painted;
    view.root.dataset.painted = String(painted);
    if (painted) view.img.src = `/api/box/${m.module}.png?v=${m.image.version}`;
  }
  // Ports sit in the box's element, so only their areas and the margin place
  // them; a repaint or a move alone leaves them be.
  const ports = portsOf(m);
  if (shown.ports !== ports || shown.image?.margin !== m.image.margin) {
    drawPorts(view, m, ports);
    for (const watch of watchers.ports) watch(m.module);
  } else if (shown.values !== m.values) {
    drawTitles(view, m, ports);
  }
  if (shown.server !== m.server || shown.value !== m.value || shown.fault !== m.fault ||
      shown.status !== m.status || shown.height !== m.height) {
    drawStatus(view, m);
  }
  view.root.classList.toggle('selected', model.selected.has(m.module));
  view.shown = { x: m.x, y: m.y, image: m.image, ports, values: m.values,
                 server: m.server, value: m.value, fault: m.fault, status: m.status, width: m.width,
                 height: m.height };
}

// Takes a box's element away, and tells those who follow its ports.
function dropView(number) {
  views.get(number).root.remove();
  views.delete(number);
  for (const watch of watchers.ports) watch(number);
}

// Redraws the boxes numbered, or every box, dropping those that left.
export function drawBoxes(numbers = null) {
  const boxes = model.state.boxes;
  for (const number of numbers ?? boxes.keys()) {
    const m = boxes.get(number);
    // A box is drawn once it has come whole, as a new box comes.
    if (m && m.image && portsOf(m)) drawBox(m);
    else if (views.has(number)) dropView(number);
  }
  if (numbers) return;
  for (const number of views.keys()) if (!boxes.has(number)) dropView(number);
}

// ---- Links

export function curve(x1, y1, x2, y2) {
  const reach = Math.max(30, Math.abs(x2 - x1) / 2);
  return `M ${x1} ${y1} C ${x1 + reach} ${y1}, ${x2 - reach} ${y2}, ${x2} ${y2}`;
}

function linkPath(link) {
  const [x1, y1, x2, y2] = link.points;
  const [ax, ay] = offsetOf(link.from.module);
  const [bx, by] = offsetOf(link.to.module);
  return curve(x1 + ax, y1 + ay, x2 + bx, y2 + by);
}

export function drawLinks() {
  const present = new Set();
  for (const link of model.state.links) {
    const key = linkKey(link);
    present.add(key);
    let view = linkViews.get(key);
    if (!view) {
      const group = document.createElementNS(SVG, 'g');
      group.setAttribute('class', 'link');
      group.dataset.link = key;
      const hit = document.createElementNS(SVG, 'path');
      hit.setAttribute('class', 'hit');
      const wire = document.createElementNS(SVG, 'path');
      wire.setAttribute('class', 'wire');
      group.append(hit, wire);
      linksLayer.append(group);
      view = { group, hit, wire, d: '' };
      linkViews.set(key, view);
    }
    view.link = link;
    const d = linkPath(link);
    if (d !== view.d) {
      view.d = d;
      view.hit.setAttribute('d', d);
      view.wire.setAttribute('d', d);
    }
    view.group.classList.toggle('selected', model.selectedLink === key);
  }
  for (const [key, view] of linkViews) {
    if (!present.has(key)) {
      view.group.remove();
      linkViews.delete(key);
    }
  }
}

export function linkOf(key) {
  return linkViews.get(key)?.link ?? null;
}

// Shows the boxes numbered as moved by dx, dy (graph pixels) with their
// links, without waiting for qeno-host; shiftBoxes(numbers, 0, 0) ends it.
export function shiftBoxes(numbers, dx, dy) {
  for (const number of numbers) {
    if (dx || dy) shifted.set(number, [dx, dy]); else shifted.delete(number);
  }
  showPlaces(numbers);
}

// Places the boxes numbered where they show now, with their links.
export function showPlaces(numbers) {
  for (const number of numbers) {
    const view = views.get(number);
    const m = model.state.boxes.get(number);
    if (view && m) place(view, m);
  }
  drawLinks();
}

export function showSelection() {
  for (const [number, view] of views) view.root.classList.toggle('selected', model.selected.has(number));
  for (const [key, view] of linkViews) view.group.classList.toggle('selected', model.selectedLink === key);
}

// The line that follows the pointer while wiring, or none.
export function drawWire(from, to) {
  if (!from) {
    wireLayer.replaceChildren();
    return;
  }
  let path = wireLayer.firstElementChild;
  if (!path) {
    path = document.createElementNS(SVG, 'path');
    path.setAttribute('class', 'wire pending');
    wireLayer.append(path);
  }
  path.setAttribute('d', curve(from.x, from.y, to.x, to.y));
}

// The graph point a port's link meets, where the box shows: the middle of its area.
export function portPoint(number, kind, index) {
  const m = model.state.boxes.get(number);
  const ports = m && portsOf(m);
  const port = ports && (kind === 'output' ? ports.outputs : ports.inputs)[index];
  if (!port) return null;
  const [x, y, w, h] = port.area;
  const [dx, dy] = offsetOf(number);
  return { x: m.x + dx + x + w / 2, y: m.y + dy + y + h / 2 };
}

// A refusal, next to the port it is about, until the next one; always
// inside the canvas, whatever the zoom and wherever the port.
export function showRefusal(number, kind, index, reason) {
  for (const old of canvas.querySelectorAll('.refusal')) old.remove();
  const point = portPoint(number, kind, index) ?? { x: 0, y: 0 };
  const note = element('div', { class: 'refusal', role: 'alert', 'data-refusal': reason,
                                'data-module': number, 'data-port': kind, 'data-index': index }, reason);
  canvas.append(note);
  const gap = 8;
  const room = { width: canvas.clientWidth, height: canvas.clientHeight };
  const at = { x: camera.x + point.x * camera.scale, y: camera.y + point.y * camera.scale };
  // Right of the port and below it when it fits; else left or above.
  let left = at.x + gap;
  if (left + note.offsetWidth > room.width - gap) left = at.x - gap - note.offsetWidth;
  let top = at.y + gap;
  if (top + note.offsetHeight > room.height - gap) top = at.y - gap - note.offsetHeight;
  note.style.left = `${Math.max(gap, Math.min(left, room.width - gap - note.offsetWidth))}px`;
  note.style.top = `${Math.max(gap, Math.min(top, room.height - gap - note.offsetHeight))}px`;
  setTimeout(() => note.remove(), 8000);
}
