// What the pointer does on the canvas: drag boxes (the whole selection),
// click and shift-click to select, drag from a port to another to link,
// click a link, pan (background drag, or the middle button anywhere), draw a
// rubber band (shift + background drag), zoom with the wheel.

import { model, post, say, typing } from './model.js';
import { endWiring, startWiring } from './labels.js';
import {
  camera, applyCamera, drawWire, portPoint, shiftBoxes, showPlaces, showRefusal, showSelection, toGraph,
  zoomAt,
} from './view.js';

const MOVED = 3;  // screen pixels a pointer goes before a press is a drag
const SETTLE_MS = 1500;  // how long a move answered may wait for its echo

const canvas = document.getElementById('canvas');
const band = document.getElementById('band');
let onSelect = () => {};
let onRefused = () => {};

export function selectionChanged() {
  showSelection();
  onSelect();
}

export function selectOnly(numbers) {
  model.selected = new Set(numbers);
  model.selectedLink = null;
  selectionChanged();
}

// Follows one press to its release: move(event, dx, dy, moved), up(event, moved).
function follow(down, move, up) {
  let moved = false;
  const onMove = (event) => {
    const dx = event.clientX - down.clientX;
    const dy = event.clientY - down.clientY;
    if (!moved && Math.abs(dx) + Math.abs(dy) > MOVED) moved = true;
    if (moved) move(event, dx, dy);
  };
  const onUp = (event) => {
    if (event.pointerId !== down.pointerId) return;
    window.removeEventListener('pointermove', onMove);
    window.removeEventListener('pointerup', onUp);
    window.removeEventListener('pointercancel', onUp);
    // A cancelled press (the browser took the gesture) moves nothing.
    up(event, moved && event.type === 'pointerup');
  };
  window.addEventListener('pointermove', onMove);
  window.addEventListener('pointerup', onUp);
  window.addEventListener('pointercancel', onUp);
}

function dragBoxes(down, number) {
  const wasSelected = model.selected.has(number);
  if (!wasSelected) {
    if (!down.shiftKey) model.selected.clear();
    model.selected.add(number);
    model.selectedLink = null;
    selectionChanged();
  }
  const moving = [...model.selected].filter((n) => model.state.boxes.has(n));
  let shift = [0, 0];
  document.body.classList.add('dragging');
  follow(down, (event, dx, dy) => {
    shift = [Math.round(dx / camera.scale), Math.round(dy / camera.scale)];
    shiftBoxes(moving, ...shift);
  }, async (event, moved) => {
    document.body.classList.remove('dragging');
    if (!moved) {
      shiftBoxes(moving, 0, 0);
      if (down.shiftKey && wasSelected) model.selected.delete(number);
      else if (!down.shiftKey) model.selected = new Set([number]);
      selectionChanged();
      return;
    }
    const done = moveBoxes(moving, ...shift);
    shiftBoxes(moving, 0, 0);
    await done;
  });
}

// Moves go to qeno-host one after another, in the order made: each names
// where its boxes go, so two overtaking each other would lose a step.
let moving = Promise.resolve();

// A move answered: once none is in flight, the page shows the box where it
// moved it until the state shows it there too, or for SETTLE_MS at most.
function settle(number) {
  const pending = model.pending.get(number);
  if (!pending || --pending.inFlight > 0) return;
  pending.timer = setTimeout(() => {
    if (model.pending.get(number) !== pending) return;
    model.pending.delete(number);
    showPlaces([number]);
  }, SETTLE_MS);
}

// Moves boxes by dx, dy as one step, from where they show, showing the new
// places at once; a refused move brings the graph back as qeno-host has it.
export async function moveBoxes(numbers, dx, dy) {
  const boxes = numbers.map((n) => model.state.boxes.get(n)).filter(Boolean);
  if (!boxes.length || (!dx && !dy)) return;
  const moves = boxes.map((m) => {
    const pending = model.pending.get(m.module) ?? { x: m.x, y: m.y, inFlight: 0 };
    clearTimeout(pending.timer);
    pending.x += dx;
    pending.y += dy;
    pending.inFlight += 1;
    model.pending.set(m.module, pending);
    return { module: m.module, x: pending.x, y: pending.y };
  });
  showPlaces(numbers);
  const sent = moving.then(() => post('/api/moves', { moves }));
  moving = sent;
  const answer = await sent;
  for (const move of moves) settle(move.module);
  if (answer.ok) return;
  say(answer.error, true);
  for (const pending of model.pending.values()) clearTimeout(pending.timer);
  model.pending.clear();
  onRefused();
}

// Drags a wire from a port (its hit area, its label, or its row in the info
// panel) to a port of the other kind, and links them.
export function wire(down, port) {
  const number = Number(port.dataset.module);
  const kind = port.dataset.port;
  const index = Number(port.dataset.index);
  const start = portPoint(number, kind, index);
  if (!start) return;
  startWiring(number, kind, index);
  follow(down, (event) => {
    const end = toGraph(event.clientX, event.clientY);
    if (kind === 'output') drawWire(start, end); else drawWire(end, start);
  }, async (event) => {
    drawWire(null);
    // Read before the labels go: a wire may end on a port's label.
    const other = event.type === 'pointerup'
      ? document.elementFromPoint(event.clientX, event.clientY)?.closest('.port, .port-label') : null;
    endWiring();
    if (!other || other.dataset.port === kind) return;
    const far = { module: Number(other.dataset.module), index: Number(other.dataset.index) };
    const near = { module: number, index };
    const [out, into] = kind === 'output' ? [near, far] : [far, near];
    const answer = await post('/api/link', {
      from: { module: out.module, output: out.index }, to: { module: into.module, input: into.index },
    });
    if (answer.ok) {
      say('linked');
    } else {
      showRefusal(into.module, 'input', into.index, answer.error);
      say(answer.error, true);
    }
  });
}

function pan(down) {
  const start = { x: camera.x, y: camera.y };
  document.body.classList.add('panning');
  follow(down, (event, dx, dy) => {
    camera.x = start.x + dx;
    camera.y = start.y + dy;
    applyCamera();
  }, (event, moved) => {
    document.body.classList.remove('panning');
    // A plain click on the background clears the selection.
    if (!moved && down.button === 0 && (model.selected.size || model.selectedLink)) selectOnly([]);
  });
}

function rubberBand(down) {
  const r = canvas.getBoundingClientRect();
  const kept = new Set(model.selected);
  follow(down, (event) => {
    const left = Math.min(down.clientX, event.clientX);
    const top = Math.min(down.clientY, event.clientY);
    band.hidden = false;
    band.style.left = `${left - r.left}px`;
    band.style.top = `${top - r.top}px`;
    band.style.width = `${Math.abs(event.clientX - down.clientX)}px`;
    band.style.height = `${Math.abs(event.clientY - down.clientY)}px`;
    const a = toGraph(down.clientX, down.clientY);
    const b = toGraph(event.clientX, event.clientY);
    const [x1, x2] = [Math.min(a.x, b.x), Math.max(a.x, b.x)];
    const [y1, y2] = [Math.min(a.y, b.y), Math.max(a.y, b.y)];
    model.selected = new Set(kept);
    for (const m of model.state.boxes.values()) {
      if (m.x < x2 && m.x + m.width > x1 && m.y < y2 && m.y + m.height > y1) model.selected.add(m.module);
    }
    model.selectedLink = null;
    showSelection();
  }, () => {
    band.hidden = true;
    selectionChanged();
  });
}

// selectHook() follows every change of the selection; refusedHook() a
// refused move.
export function installPointer(selectHook, refusedHook) {
  onSelect = selectHook;
  onRefused = refusedHook;
  canvas.addEventListener('pointerdown', (event) => {
    if (!model.state || event.target.closest('.search')) return;
    // A press on the graph ends typing in a field (sending its value), so
    // the keys that follow act on the graph.
    if (typing(document.activeElement)) document.activeElement.blur();
    if (event.button === 1) {
      event.preventDefault();
      pan(event);
      return;
    }
    if (event.button !== 0) return;
    const port = event.target.closest('.port, .port-label');
    if (port) {
      event.preventDefault();
      wire(event, port);
      return;
    }
    const box = event.target.closest('.box');
    if (box) {
      event.preventDefault();
      dragBoxes(event, Number(box.dataset.module));
      return;
    }
    const link = event.target.closest('.link');
    if (link) {
      model.selected.clear();
      model.selectedLink = link.dataset.link;
      selectionChanged();
      return;
    }
    if (event.shiftKey) rubberBand(event); else pan(event);
  });
  canvas.addEventListener('wheel', (event) => {
    event.preventDefault();
    // Pixel, line or page steps all zoom by about the same per notch.
    const step = event.deltaMode === 0 ? event.deltaY / 100 : event.deltaY / 3;
    zoomAt(event.clientX, event.clientY, Math.pow(1.2, -Math.max(-3, Math.min(3, step))));
  }, { passive: false });
}
