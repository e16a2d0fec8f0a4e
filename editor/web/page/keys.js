// The page's keys, kept out of every field a person types into: Delete,
// arrows, Ctrl+A/C/V/Z/Y, zoom, F to fit, Escape.

import { model, post, say, typing } from './model.js';
import { fit, linkOf, resetView, STATUS_ROOM, zoomCentre } from './view.js';
import { moveBoxes, selectOnly } from './pointer.js';

const PASTE_GAP = 24;   // graph pixels between a paste's boxes and the ones above
const CLIPBOARD = 'qeno-clipboard';
let clipboard = null;   // {graph, pastes}

// The copied boxes are kept where every tab of the page finds them, when the
// browser lets the page keep them; else in this tab only.
function keep(graph) {
  const text = JSON.stringify(graph);
  clipboard = { graph, pastes: 0, text };
  try { localStorage.setItem(CLIPBOARD, text); } catch { /* this tab only */ }
}

function copied() {
  try {
    const text = localStorage.getItem(CLIPBOARD);
    if (text !== null && (!clipboard || text !== clipboard.text)) {
      clipboard = { graph: JSON.parse(text), pastes: 0, text };
    }
  } catch { /* this tab's own copy, if any */ }
  return clipboard;
}

export async function undo(redo = false) {
  const answer = await post(redo ? '/api/redo' : '/api/undo', {});
  say(answer.ok ? (redo ? 'redone' : 'undone') : answer.error, !answer.ok);
}

async function removeSelection() {
  if (model.selected.size) {
    const modules = [...model.selected];
    const answer = await post('/api/remove', { modules });
    say(answer.ok ? `removed ${modules.length === 1 ? 'box' : 'boxes'} ${modules.join(', ')}` : answer.error,
        !answer.ok);
    if (answer.ok) selectOnly([]);
    return;
  }
  const link = model.selectedLink && linkOf(model.selectedLink);
  if (!link) return;
  const answer = await post('/api/unlink', { from: link.from, to: link.to });
  say(answer.ok ? 'link removed' : answer.error, !answer.ok);
  if (answer.ok) selectOnly([]);
}

// A paste right after a copy waits for the copy's answer.
let copying = Promise.resolve();

async function copy() {
  const modules = [...model.selected];
  const answer = await post('/api/copy', { modules });
  if (!answer.ok) {
    say(answer.error, true);
    return;
  }
  keep(answer.graph);
  say(`copied ${modules.length === 1 ? 'box' : 'boxes'} ${modules.join(', ')}`);
}

// How far down each paste lands: clear of the copied boxes and their status
// lines, and of the pastes before it.
function pasteStep(graph) {
  let top = Infinity;
  let bottom = -Infinity;
  for (const box of graph.modules ?? []) {
    const { y = 0, height = 0 } = box.content ?? {};
    top = Math.min(top, y);
    bottom = Math.max(bottom, y + height);
  }
  return top === Infinity ? PASTE_GAP : bottom - top + STATUS_ROOM + PASTE_GAP;
}

async function paste() {
  await copying;
  if (!copied()) return;
  const step = pasteStep(clipboard.graph) * ++clipboard.pastes;
  const answer = await post('/api/paste', { graph: clipboard.graph, dx: 0, dy: step });
  if (!answer.ok) {
    say(answer.error, true);
    return;
  }
  say(`pasted as ${answer.modules.length === 1 ? 'box' : 'boxes'} ${answer.modules.join(', ')}`);
  selectOnly(answer.modules);
}

const ARROWS = { ArrowLeft: [-1, 0], ArrowRight: [1, 0], ArrowUp: [0, -1], ArrowDown: [0, 1] };

// Returns true for a key the page took.
function handle(event) {
  const ctrl = event.ctrlKey || event.metaKey;
  const key = event.key.length === 1 ? event.key.toLowerCase() : event.key;
  if (ctrl) {
    if (key === 'z') undo(event.shiftKey);
    else if (key === 'y') undo(true);
    else if (key === 'a') selectOnly(model.state.boxes.keys());
    else if (key === 'c' && model.selected.size) copying = copy();
    else if (key === 'v') paste();
    else if (key === '=' || key === '+' || event.code === 'NumpadAdd') zoomCentre(1.25);
    else if (key === '-' || event.code === 'NumpadSubtract') zoomCentre(0.8);
    else if (key === '0' || event.code === 'Numpad0') resetView();
    else return false;
    return true;
  }
  if (event.altKey) return false;
  if (key === 'Delete' || key === 'Backspace') {
    removeSelection();
  } else if (ARROWS[key] && model.selected.size) {
    const [dx, dy] = ARROWS[key].map((d) => d * (event.shiftKey ? 10 : 1));
    moveBoxes([...model.selected], dx, dy);
  } else if (key === 'f') {
    fit();
  } else if (key === 'Escape') {
    selectOnly([]);
  } else {
    return false;
  }
  return true;
}

export function installKeys() {
  document.addEventListener('keydown', (event) => {
    if (!model.state || typing(event.target)) return;
    if (handle(event)) event.preventDefault();
  });
}
