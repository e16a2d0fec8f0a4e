// The palette of registered classes: a filter, entries to drag onto the
// canvas (or click, to add in the middle of the view), and the search a
// double click on the canvas opens to add a box where it was clicked.

import { element, model, post, say } from './model.js';
import { toGraph } from './view.js';
import { selectOnly } from './pointer.js';

const canvas = document.getElementById('canvas');
const list = document.getElementById('classes');
const filter = document.getElementById('filter');
let classes = [];                 // names, in the registry's order
let onHover = () => {};           // told the class under the pointer, or null
export const classInfo = new Map();  // name -> {description, inputs, outputs, properties}

function matching(text) {
  const wanted = text.trim().toLowerCase();
  return classes.filter((name) => name.toLowerCase().includes(wanted))
    .sort((a, b) => Number(!a.toLowerCase().startsWith(wanted)) - Number(!b.toLowerCase().startsWith(wanted)));
}

// Adds a box of a class with its top left corner at a graph point, and selects it.
export async function addBox(name, point) {
  const answer = await post('/api/add', { class: name, x: Math.round(point.x), y: Math.round(point.y) });
  if (!answer.ok) {
    say(answer.error, true);
    return;
  }
  say(`${name} added as box ${answer.module}`);
  selectOnly([answer.module]);
}

function showList() {
  const shown = new Set(matching(filter.value));
  for (const entry of list.children) entry.hidden = !shown.has(entry.dataset.class);
}

function dragEntry(down, name) {
  let ghost = null;
  const onMove = (event) => {
    if (!ghost) {
      if (Math.abs(event.clientX - down.clientX) + Math.abs(event.clientY - down.clientY) < 4) return;
      ghost = element('div', { class: 'ghost' }, name);
      document.body.append(ghost);
    }
    ghost.style.left = `${event.clientX}px`;
    ghost.style.top = `${event.clientY}px`;
  };
  const onUp = (event) => {
    window.removeEventListener('pointermove', onMove);
    window.removeEventListener('pointerup', onUp);
    const r = canvas.getBoundingClientRect();
    if (!ghost) {
      addBox(name, toGraph(r.left + r.width / 2, r.top + r.height / 2));
      return;
    }
    ghost.remove();
    const inside = event.clientX >= r.left && event.clientX < r.right &&
                   event.clientY >= r.top && event.clientY < r.bottom;
    if (inside) addBox(name, toGraph(event.clientX, event.clientY));
  };
  window.addEventListener('pointermove', onMove);
  window.addEventListener('pointerup', onUp);
}

export async function loadPalette() {
  try {
    const response = await fetch('/api/classes');
    const answer = await response.json().catch(() => ({}));
    if (!response.ok || !Array.isArray(answer.classes)) throw new Error(answer.error ?? response.statusText);
    // Each class comes with its words; a bare name (an older qeno-host) has none.
    classes = answer.classes.map((entry) => (typeof entry === 'string' ? entry : entry.name));
    for (const entry of answer.classes) {
      if (typeof entry === 'object') classInfo.set(entry.name, entry);
    }
  } catch (error) {
    say(`no list of classes: ${error.message}`, true);
    return;
  }
  list.replaceChildren(...classes.map((name) => {
    const entry = element('li', { class: 'entry', 'data-class': name, title: `Drag onto the graph to add a ${name}` }, name);
    entry.addEventListener('pointerenter', () => onHover(name));
    entry.addEventListener('pointerleave', () => onHover(null));
    entry.addEventListener('pointerdown', (event) => {
      if (event.button !== 0) return;
      event.preventDefault();
      dragEntry(event, name);
    });
    return entry;
  }));
  showList();
}

// ---- The search a double click opens

let search = null;

function closeSearch() {
  search?.root.remove();
  search = null;
}

function openSearch(event) {
  closeSearch();
  const point = toGraph(event.clientX, event.clientY);
  const r = canvas.getBoundingClientRect();
  const root = element('div', { class: 'search' });
  root.style.left = `${event.clientX - r.left}px`;
  root.style.top = `${event.clientY - r.top}px`;
  const input = element('input', { type: 'search', placeholder: 'Class to add', autocomplete: 'off',
                                   spellcheck: 'false', 'aria-label': 'Class to add' });
  const found = element('ul', { class: 'found' });
  root.append(input, found);
  canvas.append(root);
  search = { root, input, found, point };
  const show = () => {
    found.replaceChildren(...matching(input.value).slice(0, 12).map((name) => {
      const item = element('li', { 'data-class': name }, name);
      item.addEventListener('pointerdown', (down) => {
        down.preventDefault();
        closeSearch();
        addBox(name, point);
      });
      return item;
    }));
  };
  input.addEventListener('input', show);
  input.addEventListener('keydown', (key) => {
    if (key.key === 'Escape') closeSearch();
    if (key.key !== 'Enter') return;
    const first = found.firstElementChild;
    closeSearch();
    if (first) addBox(first.dataset.class, point);
  });
  input.addEventListener('blur', () => setTimeout(() => { if (search?.input === input) closeSearch(); }, 150));
  show();
  input.focus();
}

// hoverHook(name) follows the class under the pointer (null: none).
export function installPalette(hoverHook) {
  onHover = hoverHook;
  filter.addEventListener('input', showList);
  canvas.addEventListener('dblclick', (event) => {
    if (!model.state || event.target.closest('.box, .port, .link, .search')) return;
    openSearch(event);
  });
}
