// The log panel: what qeno-host says, each line with its time and the box it
// is about. A click on a line selects its box; the panel can show the lines
// of the selected box alone.

import { addLines } from './stream.js';
import { element, model } from './model.js';

const panel = document.querySelector('[data-log]');
const lines = document.getElementById('lines');
const only = panel.querySelector('[data-action="log-only"]');
const kept = { first: 0, lines: [] };

// The box whose lines alone show, or null for all.
function onlyBox() {
  if (only.getAttribute('aria-pressed') !== 'true' || model.selected.size !== 1) return null;
  return String([...model.selected][0]);
}

function lineElement(line, box) {
  // A line from a page of an older qeno-host is a bare text.
  const { time = '', module, text } = typeof line === 'string' ? { text: line } : line;
  const about = module === undefined ? {} : { 'data-module': module, title: 'Select its box' };
  const item = element('li', about);
  item.append(element('time', {}, time));
  if (module !== undefined) item.append(element('span', { class: 'who' }, `box ${module}`));
  item.append(element('span', { class: 'text' }, text));
  item.hidden = box !== null && item.dataset.module !== box;
  return item;
}

// Shows the lines the selection asks for; call when the selection changes.
export function filterLog() {
  only.disabled = model.selected.size !== 1;
  const box = onlyBox();
  panel.dataset.only = box ?? '';
  for (const item of lines.children) item.hidden = box !== null && item.dataset.module !== box;
}

// Adds a batch of lines, {first, lines}, as the stream sends them.
export function appendLog(batch) {
  const fresh = addLines(kept, batch).lines;
  if (!fresh.length) return;
  const stick = lines.scrollTop + lines.clientHeight >= lines.scrollHeight - 4;
  const box = onlyBox();
  for (const line of fresh) lines.append(lineElement(line, box));
  while (lines.childElementCount > kept.lines.length) lines.firstElementChild.remove();
  if (stick) lines.scrollTop = lines.scrollHeight;
}

// select(number) selects a box.
export function installLog(select) {
  lines.addEventListener('click', (event) => {
    const item = event.target.closest('li[data-module]');
    if (item) select(Number(item.dataset.module));
  });
  only.addEventListener('click', () => {
    only.setAttribute('aria-pressed', String(only.getAttribute('aria-pressed') !== 'true'));
    filterLog();
  });
  filterLog();
}
