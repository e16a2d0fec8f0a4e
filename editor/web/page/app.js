// The live editor page: follows qeno-host's event stream, keeps the graph it
// describes, and wires the page's parts together. The parts: view.js draws,
// pointer.js and keys.js edit, palette.js adds, sheet.js sets properties,
// log.js shows what qeno-host says; labels.js names ports, info.js tells
// what a box or class is.

import { follow, merge, stateOf } from './stream.js';
import { echoed, element, model, post, say } from './model.js';
import { drawBoxes, drawLinks, resetView } from './view.js';
import { installPointer, selectOnly } from './pointer.js';
import { installKeys, undo } from './keys.js';
import { installPalette, loadPalette } from './palette.js';
import { drawSheet } from './sheet.js';
import { appendLog, filterLog, installLog } from './log.js';
import { installLabels, labelSelection } from './labels.js';
import { drawInfo, hoverClass, infoChanged } from './info.js';

const connection = document.getElementById('connection');
const button = (action) => document.querySelector(`button[data-action="${action}"]`);
const importFile = document.getElementById('import-file');

function showFlags() {
  button('save').disabled = !model.state.canSave;
  button('undo').disabled = !model.state.canUndo;
  button('redo').disabled = !model.state.canRedo;
}

// Drops what the selection names that left the graph.
function keepSelection() {
  const gone = [...model.selected].filter((n) => !model.state.boxes.has(n));
  for (const number of gone) model.selected.delete(number);
  return gone.length > 0;
}

function applyState(whole) {
  const first = model.state === null;
  model.state = whole.boxes ? whole : stateOf(whole);
  echoed();
  keepSelection();
  drawBoxes();
  drawLinks();
  if (first) resetView();
  showFlags();
  drawSheet();
  filterLog();
  drawInfo();
  labelSelection();
}

function applyChange(change) {
  if (!model.state) return;
  const touched = merge(model.state, change);
  echoed(touched);
  drawBoxes(touched);
  // A moved box moves its links' ends, which come with the new list.
  if (change.links) drawLinks();
  if (keepSelection()) selectOnly(model.selected);
  showFlags();
  if (model.selected.size === 1 && touched.includes([...model.selected][0])) drawSheet();
  if (change.links) drawInfo();
  infoChanged(touched);
}

// Brings the page back to the graph as qeno-host has it.
async function reload() {
  try {
    const response = await fetch('/api/graph');
    if (response.ok) applyState(await response.json());
  } catch { /* the stream brings it back when qeno-host answers again */ }
}

// ---- The header's buttons

button('undo').addEventListener('click', () => undo(false));
button('redo').addEventListener('click', () => undo(true));
button('save').addEventListener('click', async () => {
  const answer = await post('/api/save', {});
  say(answer.ok ? 'graph saved' : answer.error, !answer.ok);
});
button('export').addEventListener('click', () => {
  const link = element('a', { href: '/api/export', download: 'graph.json' });
  document.body.append(link);
  link.click();
  link.remove();
});
button('import').addEventListener('click', () => importFile.click());
importFile.addEventListener('change', async () => {
  const [file] = importFile.files;
  importFile.value = '';
  if (!file) return;
  let graph;
  try {
    graph = JSON.parse(await file.text());
  } catch (error) {
    say(`${file.name} is not JSON: ${error.message}`, true);
    return;
  }
  const answer = await post('/api/import', { graph });
  say(answer.ok ? `${file.name} imported` : `${file.name} refused: ${answer.error}`, !answer.ok);
  if (answer.ok) selectOnly([]);
});

// ---- Following the server

function showLive(live) {
  connection.textContent = live ? 'live' : 'reconnecting';
  connection.dataset.live = String(live);
}

function onStream(kind, data) {
  if (kind === 'state') applyState(data);
  else if (kind === 'change') applyChange(data);
  else if (kind === 'log') appendLog(data);
  else if (kind === 'live') showLive(data);
}

// A new selection opens its sheet and its info, and may narrow the log.
const onSelection = () => {
  drawSheet();
  drawInfo();
  labelSelection();
  filterLog();
};
installPointer(onSelection, reload);
installLog((number) => {
  if (model.state?.boxes.has(number)) selectOnly([number]);
});
installKeys();
installPalette(hoverClass);
installLabels();
loadPalette().then(() => {
  drawInfo();
  drawSheet();
});

// One stream for all the page's tabs, in a shared worker where there is one.
let ownStream = false;
const followAlone = () => {
  if (ownStream) return;
  ownStream = true;
  follow(onStream);
};
if (typeof SharedWorker === 'function') {
  try {
    // Named after what its messages hold, so a worker of an older page, still
    // open in another tab, is not shared with this one.
    const worker = new SharedWorker('/stream.js', { type: 'module', name: 'qeno-events-log-layouts' });
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
