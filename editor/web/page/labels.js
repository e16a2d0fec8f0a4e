// Port names beside the ports: while a box is hovered or selected, for every
// box in view once zoomed in far enough to read them without spreading, and
// while a wire is dragged, for the ports that would take it (the others
// fade). Ports stacked closer than a line of text get their names spread
// out beside the box, each joined to its port by a thin line. Labels keep
// one size on screen whatever the zoom, and act as their ports: a wire
// starts from a label and ends on one.

import { element, model, portsOf } from './model.js';
import { boxElement, camera, inView, watchers } from './view.js';

const SVG = 'http://www.w3.org/2000/svg';
const FONT_PX = 11;        // a label's text, on screen
const PITCH_PX = 16;       // least distance between two labels' middles, on screen
const GAP_PX = 12;         // between a box's edge and its labels, on screen
const LEAD_PX = 18;        // further out when labels are spread, for their lines
const CHAR_PX = 6.5;       // about one character's width, for labels side by side
const ZOOM_LABELS = 1.5;   // from this zoom, boxes in view whose ports are spaced show their names
const MANY = 16;           // more boxes selected than this: no labels for the selection
const WIRING_BOXES = 64;   // boxes in view labelled while a wire is dragged, at most
const HIDE_MS = 400;       // a hover's labels stay this long after the pointer left

const canvas = document.getElementById('canvas');
const labelled = new Map();  // box number -> {reasons: Set, layer}
let wiring = null;           // {module, kind, index, type, accepts: Map number -> Set of 'kind.index'}
const hideTimers = new Map();

// Which edge a port sits on: the nearest to its middle.
function sideOf(area, width, height) {
  const [x, y, w, h] = area;
  const cx = x + w / 2;
  const cy = y + h / 2;
  const distances = [['left', cx], ['right', width - cx], ['top', cy], ['bottom', height - cy]];
  return distances.reduce((a, b) => (b[1] < a[1] ? b : a))[0];
}

// Slots along one edge: each label at its port if it can be, else pushed on
// past the one before, the whole run then centred on its ports.
function spread(items, along, size) {
  items.sort((a, b) => a[along] - b[along]);
  let last = -Infinity;
  for (const item of items) {
    item.slot = Math.max(item[along], last + size(item));
    last = item.slot;
  }
  if (items.length > 1) {
    const first = items[0];
    const end = items[items.length - 1];
    const shift = (first[along] + end[along]) / 2 - (first.slot + end.slot) / 2;
    if (items.some((item) => item.slot !== item[along])) for (const item of items) item.slot += shift;
  }
  return items.some((item) => Math.abs(item.slot - item[along]) > 0.5 / camera.scale);
}

// Whether the box's ports are far enough apart on screen to be named where they are.
function roomy(m) {
  const ports = portsOf(m);
  if (!ports) return false;
  const items = [...ports.inputs, ...ports.outputs].map((port) => ({ y: port.area[1], x: port.area[0] }));
  for (let i = 0; i < items.length; ++i) {
    for (let j = i + 1; j < items.length; ++j) {
      const apart = Math.max(Math.abs(items[i].x - items[j].x), Math.abs(items[i].y - items[j].y));
      if (apart * camera.scale < PITCH_PX - 2) return false;
    }
  }
  return true;
}

function accepted(number, kind, index) {
  if (!wiring) return true;
  return wiring.accepts.get(number)?.has(`${kind}.${index}`) ?? false;
}

function render(number) {
  const entry = labelled.get(number);
  const root = boxElement(number);
  const m = model.state?.boxes.get(number);
  const ports = m && portsOf(m);
  if (!entry || !root || !ports) {
    entry?.layer?.remove();
    if (entry) entry.layer = null;
    // A box that left takes its reasons along: a later box under its number starts bare.
    if (!m) labelled.delete(number);
    return;
  }
  const s = camera.scale;
  const margin = m.image.margin;
  const items = [];
  for (const [kind, list] of [['input', ports.inputs], ['output', ports.outputs]]) {
    list.forEach((port, index) => {
      if (!accepted(number, kind, index)) return;
      const [x, y, w, h] = port.area;
      items.push({ kind, index, port, x: x + w / 2, y: y + h / 2, side: sideOf(port.area, m.width, m.height) });
    });
  }
  const layer = element('div', { class: 'labels' });
  const lines = document.createElementNS(SVG, 'svg');
  lines.setAttribute('class', 'leads');
  layer.append(lines);
  const pitch = PITCH_PX / s;
  const widthOf = (item) => (item.port.name.length * CHAR_PX + 8) / s;
  for (const side of ['left', 'right', 'top', 'bottom']) {
    const group = items.filter((item) => item.side === side);
    if (!group.length) continue;
    const upright = side === 'left' || side === 'right';
    const spreadOut = spread(group, upright ? 'y' : 'x', upright ? () => pitch : widthOf);
    const out = (GAP_PX + (spreadOut ? LEAD_PX : 0)) / s;
    for (const item of group) {
      const label = element('div', {
        class: `port-label ${side}`, 'data-port-label': item.port.name, 'data-module': number,
        'data-port': item.kind, 'data-index': item.index, 'data-type': item.port.type,
        title: `${item.port.name}: ${item.kind} ${item.index}, ${item.port.type}`,
      }, item.port.name);
      let lx;
      let ly;
      if (side === 'right') { lx = m.width + out; ly = item.slot; }
      if (side === 'left') { lx = -out; ly = item.slot; }
      if (side === 'top') { lx = item.slot; ly = -out; }
      if (side === 'bottom') { lx = item.slot; ly = m.height + out; }
      label.style.left = `${lx + margin}px`;
      label.style.top = `${ly + margin}px`;
      label.style.fontSize = `${FONT_PX / s}px`;
      label.style.lineHeight = `${(FONT_PX + 3) / s}px`;
      label.style.padding = `0 ${3 / s}px`;
      label.style.borderRadius = `${3 / s}px`;
      layer.append(label);
      const lead = document.createElementNS(SVG, 'line');
      lead.setAttribute('x1', item.x + margin);
      lead.setAttribute('y1', item.y + margin);
      lead.setAttribute('x2', lx + margin);
      lead.setAttribute('y2', ly + margin);
      lead.setAttribute('stroke-width', 1 / s);
      lines.append(lead);
    }
  }
  entry.layer?.remove();
  entry.layer = layer;
  root.append(layer);
  root.classList.add('labelled');
}

function setReason(number, reason, on) {
  let entry = labelled.get(number);
  if (on) {
    if (!entry) {
      entry = { reasons: new Set(), layer: null };
      labelled.set(number, entry);
    }
    const fresh = !entry.reasons.size;
    entry.reasons.add(reason);
    if (fresh) render(number);
    return;
  }
  if (!entry || !entry.reasons.delete(reason) || entry.reasons.size) return;
  entry.layer?.remove();
  boxElement(number)?.classList.remove('labelled');
  labelled.delete(number);
}

// The boxes in view, up to limit, that keep(m) picks.
function boxesInView(keep, limit = Infinity) {
  const view = inView();
  const found = [];
  for (const m of model.state.boxes.values()) {
    if (found.length >= limit) break;
    if (m.x > view.right || m.y > view.bottom || m.x + m.width < view.left || m.y + m.height < view.top) continue;
    if (keep(m)) found.push(m.module);
  }
  return found;
}

let drawnAt = 1;  // the zoom the labels were last drawn for

function followZoom() {
  const wanted = new Set(camera.scale >= ZOOM_LABELS && model.state ? boxesInView(roomy, 200) : []);
  for (const [number, entry] of [...labelled]) {
    if (entry.reasons.has('zoom') && !wanted.has(number)) setReason(number, 'zoom', false);
  }
  for (const number of wanted) setReason(number, 'zoom', true);
  // Labels keep their size on screen: drawn again when the zoom changed.
  if (camera.scale === drawnAt) return;
  drawnAt = camera.scale;
  for (const number of labelled.keys()) render(number);
}

let zoomFrame = 0;
function onCamera() {
  if (zoomFrame) return;
  zoomFrame = requestAnimationFrame(() => {
    zoomFrame = 0;
    followZoom();
  });
}

// The selection's boxes show their labels, unless there are many.
export function labelSelection() {
  const chosen = model.selected.size <= MANY ? model.selected : new Set();
  for (const [number, entry] of [...labelled]) {
    if (entry.reasons.has('selected') && !chosen.has(number)) setReason(number, 'selected', false);
  }
  for (const number of chosen) setReason(number, 'selected', true);
}

// A wire is dragged from a port: the ports that would take it stand out
// with their names, the others fade.
export function startWiring(number, kind, index) {
  const m = model.state.boxes.get(number);
  const ports = m && portsOf(m);
  const from = ports && (kind === 'output' ? ports.outputs : ports.inputs)[index];
  if (!from) return;
  const linked = new Set(model.state.links.map((link) => `${link.to.module}.${link.to.input}`));
  const taken = kind === 'input' && linked.has(`${number}.${index}`);
  const other = kind === 'output' ? 'input' : 'output';
  const accepts = new Map();
  const candidates = boxesInView((box) => {
    const list = portsOf(box)?.[`${other}s`] ?? [];
    const open = new Set();
    list.forEach((port, i) => {
      if (taken || port.type !== from.type) return;
      if (other === 'input' && linked.has(`${box.module}.${i}`)) return;
      open.add(`${other}.${i}`);
    });
    if (open.size) accepts.set(box.module, open);
    return open.size > 0;
  }, WIRING_BOXES);
  wiring = { accepts };
  document.body.classList.add('wiring');
  for (const hit of canvas.querySelectorAll('.port')) {
    hit.classList.toggle('accepts', accepted(Number(hit.dataset.module), hit.dataset.port, Number(hit.dataset.index)));
  }
  for (const number of candidates) setReason(number, 'wiring', true);
  for (const number of labelled.keys()) render(number);
}

export function endWiring() {
  if (!wiring) return;
  wiring = null;
  document.body.classList.remove('wiring');
  for (const hit of canvas.querySelectorAll('.port.accepts')) hit.classList.remove('accepts');
  for (const number of [...labelled.keys()]) setReason(number, 'wiring', false);
  for (const number of labelled.keys()) render(number);
}

export function installLabels() {
  watchers.camera.push(onCamera);
  watchers.ports.push((number) => {
    if (labelled.has(number)) render(number);
  });
  const boxOf = (target) => (target instanceof Element ? target.closest('.box') : null);
  canvas.addEventListener('pointerover', (event) => {
    const box = boxOf(event.target);
    if (!box) return;
    const number = Number(box.dataset.module);
    clearTimeout(hideTimers.get(number));
    hideTimers.delete(number);
    setReason(number, 'hover', true);
  });
  canvas.addEventListener('pointerout', (event) => {
    const box = boxOf(event.target);
    if (!box || box.contains(event.relatedTarget)) return;
    const number = Number(box.dataset.module);
    clearTimeout(hideTimers.get(number));
    hideTimers.set(number, setTimeout(() => {
      hideTimers.delete(number);
      setReason(number, 'hover', false);
    }, HIDE_MS));
  });
}
