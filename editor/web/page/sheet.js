// The property sheet of the one selected box: its fields in the module's
// order, each with its words and qeno-host's own checks shown at the field,
// and the box's commands. The base's place and size are folded away, and a
// run of numbered entries ("key1", "key1offset", "key2", ...) is one table.

import { element, model, post, rowsOf, say } from './model.js';
import { classInfo } from './palette.js';

const sheet = document.getElementById('sheet');
const hint = sheet.querySelector('.hint').cloneNode(true);
let sheetKey = '';  // what the open sheet was built for

// The words a class has for an entry, or ''.
function wordsFor(m, name) {
  return classInfo.get(m.class)?.properties?.find((row) => row.name === name)?.description ?? '';
}

// One entry's input with its checks; label is the text that names it.
function fieldFor(m, row, label = row.name, compact = false) {
  const id = `field-${m.module}-${row.name.replace(/[^A-Za-z0-9]/g, '_')}`;
  const wrap = element('div', { class: 'field', 'data-name': row.name });
  const input = element('input', { id, name: row.name, autocomplete: 'off', spellcheck: 'false' });
  input.value = row.value;
  input.dataset.shown = row.value;
  const words = wordsFor(m, row.name);
  if (words) input.title = words;
  if (row.kind === 'integer') {
    input.setAttribute('inputmode', 'numeric');
    input.setAttribute('aria-describedby', `${id}-limits`);
  }
  const error = element('div', { class: 'error', role: 'alert', id: `${id}-error` });
  if (compact) {
    input.setAttribute('aria-label', label);
    wrap.append(input);
  } else {
    wrap.append(element('label', { for: id }, label), input);
  }
  if (row.kind === 'integer') {
    wrap.append(element('div', { class: 'limits', id: `${id}-limits` }, `${row.lower} to ${row.upper}`));
  }
  if (words && !compact) wrap.append(element('div', { class: 'words' }, words));
  wrap.append(error);
  // Enter, then the change event it brings, send a value once.
  let sending = null;
  const commit = async () => {
    if (input.value === sending) return;
    if (input.value === input.dataset.shown && input.getAttribute('aria-invalid') !== 'true') return;
    sending = input.value;
    const answer = await post('/api/property', { module: m.module, name: row.name, value: sending });
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

const PLACE = new Set(['x', 'y', 'width', 'height']);
let placeOpen = false;  // whether a person unfolded the place and size

// A run of entries from rows[at] named prefix + number + suffix, numbers in
// order and each with the same suffixes in the same order: {prefix,
// suffixes, numbers, length}, or null.
function numberedRun(rows, at) {
  const parts = (row) => /^([A-Za-z_]+?)(\d+)([A-Za-z_]*)$/.exec(row.name);
  const first = parts(rows[at]);
  if (!first) return null;
  const [, prefix, number] = first;
  const suffixes = [];
  let end = at;
  while (end < rows.length) {
    const p = parts(rows[end]);
    if (!p || p[1] !== prefix || p[2] !== number) break;
    suffixes.push(p[3]);
    ++end;
  }
  const numbers = [number];
  for (;;) {
    const next = rows.slice(end, end + suffixes.length).map(parts);
    if (next.length < suffixes.length || next.some((p, i) => !p || p[1] !== prefix || p[3] !== suffixes[i] ||
                                                    p[2] !== next[0][2] || numbers.includes(p[2]))) break;
    numbers.push(next[0][2]);
    end += suffixes.length;
  }
  return numbers.length > 2 ? { prefix, suffixes, numbers, length: end - at } : null;
}

function tableFor(m, rows, run) {
  const table = element('table', { class: 'numbered', 'data-group': run.prefix });
  const head = element('tr');
  head.append(element('th', {}, ''));
  run.suffixes.forEach((suffix, j) => {
    // A column of integers with one range says it once.
    const column = run.numbers.map((n, i) => rows[i * run.suffixes.length + j]);
    const limits = column.every((row) => row.kind === 'integer' && row.lower === column[0].lower &&
                                         row.upper === column[0].upper)
      ? ` (${column[0].lower} to ${column[0].upper})` : '';
    head.append(element('th', {}, `${suffix || run.prefix}${limits}`));
  });
  table.append(head);
  run.numbers.forEach((number, i) => {
    const line = element('tr', { 'data-row': number });
    line.append(element('th', {}, number));
    run.suffixes.forEach((suffix, j) => {
      const row = rows[i * run.suffixes.length + j];
      const cell = element('td');
      cell.append(fieldFor(m, row, row.name, true));
      line.append(cell);
    });
    table.append(line);
  });
  const said = run.suffixes.map((suffix, j) => [rows[j].name, wordsFor(m, rows[j].name)]).filter(([, w]) => w);
  const words = element('div', { class: 'words' });
  for (const [name, text] of said) words.append(element('div', {}, `${name}: ${text}`));
  const wrap = element('div', { class: 'group' });
  wrap.append(element('h3', {}, `${run.prefix}${run.numbers[0]} to ${run.prefix}${run.numbers.at(-1)}`), table);
  if (said.length) wrap.append(words);
  return wrap;
}

// The entries in their order, each group as one element.
function fieldsFor(m, rows) {
  const parts = [];
  for (let at = 0; at < rows.length;) {
    if (PLACE.has(rows[at].name)) {
      const place = element('details', { class: 'group', 'data-group': 'place' });
      place.open = placeOpen;
      place.addEventListener('toggle', () => { placeOpen = place.open; });
      place.append(element('summary', {}, 'Place and size'));
      while (at < rows.length && PLACE.has(rows[at].name)) place.append(fieldFor(m, rows[at++]));
      parts.push(place);
      continue;
    }
    const run = numberedRun(rows, at);
    if (run) {
      parts.push(tableFor(m, rows.slice(at, at + run.length), run));
      at += run.length;
      continue;
    }
    parts.push(fieldFor(m, rows[at++]));
  }
  return parts;
}

function actionButton(text, onClick, attributes = {}) {
  const button = element('button', { type: 'button', ...attributes }, text);
  button.addEventListener('click', onClick);
  return button;
}

async function command(number, name) {
  const answer = await post('/api/command', { module: number, command: name });
  say(answer.ok ? `${name} done` : answer.error, !answer.ok);
}

async function setValue(number, value) {
  const answer = await post('/api/property', { module: number, name: 'value', value: String(value) });
  say(answer.ok ? `value set to ${value}` : answer.error, !answer.ok);
}

function shownBox() {
  if (model.selected.size !== 1 || !model.state) return null;
  const [number] = model.selected;
  return model.state.boxes.get(number) ?? null;
}

export function drawSheet() {
  const m = shownBox();
  if (!m) {
    if (sheetKey === '' && sheet.firstElementChild?.classList.contains('hint')) return;
    sheetKey = '';
    const many = model.selected.size > 1 ? [element('p', {}, `${model.selected.size} boxes selected.`)] : [];
    sheet.replaceChildren(...many, hint.cloneNode(true));
    return;
  }
  const rows = rowsOf(m);
  const key = JSON.stringify([m.module, m.class, !!m.held, classInfo.has(m.class),
                              rows.map((row) => row.name)]);
  if (key !== sheetKey) {
    sheetKey = key;
    const title = element('h2', {}, `${m.class} (box ${m.module})`);
    const actions = element('div', { class: 'actions' });
    if (m.held) {
      // Its code crashed the host once: it runs only when a person says so.
      actions.append(actionButton('Release', () => command(m.module, 'release'),
                                  { 'data-action': 'release' }));
    } else if (m.server) {
      actions.append(
        actionButton('Start', () => command(m.module, 'start'), { 'data-action': 'start' }),
        actionButton('Stop', () => command(m.module, 'stop'), { 'data-action': 'stop' }),
        actionButton('Shutdown', () => command(m.module, 'shutdown'), { 'data-action': 'shutdown' }));
    }
    if (m.value !== undefined) {
      for (const value of [0, 1]) {
        actions.append(actionButton(`Set ${value}`, () => setValue(m.module, value),
                                    { 'data-action': `set-${value}` }));
      }
    }
    const fields = fieldsFor(m, rows);
    sheet.replaceChildren(title, actions, ...fields);
    return;
  }
  // The same sheet: refresh the values a user is not editing.
  for (const row of rows) {
    const input = sheet.querySelector(`.field[data-name="${CSS.escape(row.name)}"] input`);
    if (!input || input === document.activeElement || input.getAttribute('aria-invalid') === 'true') continue;
    if (input.dataset.shown !== row.value) {
      input.value = row.value;
      input.dataset.shown = row.value;
    }
  }
}
