// The info panel above the property sheet: what the selected box does, its
// ports with their kind of data, current value and links (a wire starts from
// a port's handle here as from the port itself), and its properties with
// their words and limits. With no box selected, the palette's class under
// the pointer.

import { element, model, portsOf, rowsOf } from './model.js';
import { classInfo } from './palette.js';
import { wire } from './pointer.js';

const panel = document.getElementById('info');
const REFRESH_MS = 300;  // values are asked again at most this often
let shown = '';          // what the panel shows: 'box:N', 'class:NAME' or ''
let values = null;       // {inputs, outputs} of the box shown, as qeno-host last told
let asking = false;
let again = false;
let lastAsked = 0;
let scheduled = false;
let hoveredClass = null;

function shownBox() {
  if (model.selected.size !== 1 || !model.state) return null;
  const [number] = model.selected;
  return model.state.boxes.get(number) ?? null;
}

function portName(number, kind, index) {
  const m = model.state.boxes.get(number);
  const port = m && portsOf(m)?.[`${kind}s`][index];
  return `box ${number} ${port ? port.name : `${kind} ${index}`}`;
}

// Where a port's links go, in words.
function linksOf(number, kind, index) {
  const ends = [];
  for (const link of model.state.links) {
    if (kind === 'input' && link.to.module === number && link.to.input === index) {
      ends.push(`from ${portName(link.from.module, 'output', link.from.output)}`);
    }
    if (kind === 'output' && link.from.module === number && link.from.output === index) {
      ends.push(`to ${portName(link.to.module, 'input', link.to.input)}`);
    }
  }
  return ends;
}

function limitsOf(row) {
  return row.kind === 'integer' ? `${row.lower} to ${row.upper}` : 'text';
}

function group(name, title, open, body) {
  const details = element('details', { 'data-info-group': name });
  details.open = open;
  details.append(element('summary', {}, title), body);
  return details;
}

function portTable(kind, ports, words, m) {
  const table = element('table', { class: 'ports' });
  ports.forEach((port, index) => {
    const row = element('tr', { 'data-info-port': port.name, 'data-port': kind, 'data-index': index });
    const name = element('td', { class: 'name' });
    name.append(element('span', {}, port.name));
    const said = words?.[index]?.name === port.name ? words[index].description : '';
    if (said) name.append(element('div', { class: 'words' }, said));
    row.append(name, element('td', { class: 'type' }, port.type));
    if (m) {
      const value = values?.[`${kind}s`]?.[index];
      row.append(element('td', { class: 'value', 'data-value': value ?? '' },
                         value === null || value === undefined ? '' : value));
      const ends = linksOf(m.module, kind, index);
      row.append(element('td', { class: 'links' }, ends.length ? ends.join(', ') : 'no link'));
      // Pressed and dragged onto a port, it links as the port itself does.
      const handle = element('td', { class: 'handle', title: `Drag to a port to link ${port.name}`,
                                     'data-link-from': port.name, 'data-module': m.module,
                                     'data-port': kind, 'data-index': index }, '⇢');
      handle.addEventListener('pointerdown', (event) => {
        if (event.button !== 0) return;
        event.preventDefault();
        wire(event, handle);
      });
      row.append(handle);
    }
    table.append(row);
  });
  return table;
}

function propertyTable(rows, words) {
  const table = element('table', { class: 'properties' });
  const said = new Map((words ?? []).map((row) => [row.name, row.description]));
  for (const row of rows) {
    const line = element('tr', { 'data-info-property': row.name });
    const name = element('td', { class: 'name' });
    name.append(element('span', {}, row.name));
    if (said.get(row.name)) name.append(element('div', { class: 'words' }, said.get(row.name)));
    line.append(name, element('td', { class: 'limits' }, limitsOf(row)));
    table.append(line);
  }
  return table;
}

// Keeps which groups a person opened or closed, from one box to the next.
const opened = { inputs: true, outputs: true, properties: false };

function draw(title, info, m) {
  const ports = m ? portsOf(m) : info;
  const rows = m ? rowsOf(m) : info?.properties ?? [];
  const parts = [element('h2', {}, title)];
  parts.push(element('p', { class: 'description', 'data-description': '' },
                     info?.description || 'This class says nothing about itself.'));
  const groups = [];
  if (ports?.inputs?.length) {
    groups.push(group('inputs', `Inputs (${ports.inputs.length})`, opened.inputs,
                      portTable('input', ports.inputs, info?.inputs, m)));
  }
  if (ports?.outputs?.length) {
    groups.push(group('outputs', `Outputs (${ports.outputs.length})`, opened.outputs,
                      portTable('output', ports.outputs, info?.outputs, m)));
  }
  if (rows.length) {
    groups.push(group('properties', `Properties (${rows.length})`, opened.properties,
                      propertyTable(rows, info?.properties)));
  }
  for (const details of groups) {
    details.addEventListener('toggle', () => { opened[details.dataset.infoGroup] = details.open; });
  }
  panel.replaceChildren(...parts, ...groups);
  panel.hidden = false;
}

async function askValues(number) {
  if (asking) {
    again = true;
    return;
  }
  asking = true;
  lastAsked = performance.now();
  try {
    const response = await fetch(`/api/ports/${number}`);
    if (response.ok && shown === `box:${number}`) {
      values = await response.json();
      drawInfo();
    }
  } catch { /* shown again with the next change */ }
  asking = false;
  if (again) {
    again = false;
    setTimeout(() => { if (shown === `box:${number}`) askValues(number); }, REFRESH_MS);
  }
}

// Draws the panel for the selection, or the class under the pointer.
export function drawInfo() {
  const m = shownBox();
  if (m) {
    const key = `box:${m.module}`;
    if (shown !== key) {
      shown = key;
      values = null;
      askValues(m.module);
    }
    draw(`${m.class} (box ${m.module})`, classInfo.get(m.class), m);
    panel.dataset.infoFor = key;
    return;
  }
  if (hoveredClass && classInfo.has(hoveredClass)) {
    shown = `class:${hoveredClass}`;
    draw(hoveredClass, classInfo.get(hoveredClass), null);
    panel.dataset.infoFor = shown;
    return;
  }
  shown = '';
  panel.dataset.infoFor = '';
  panel.replaceChildren();
  panel.hidden = true;
}

// The boxes numbered changed: the values shown are asked again if they may
// have changed with them.
export function infoChanged(numbers) {
  const m = shownBox();
  if (!m) return;
  const near = new Set([m.module]);
  for (const link of model.state.links) if (link.to.module === m.module) near.add(link.from.module);
  if (scheduled || !numbers.some((n) => near.has(n))) return;
  scheduled = true;
  const wait = Math.max(0, lastAsked + REFRESH_MS - performance.now());
  setTimeout(() => {
    scheduled = false;
    if (shown === `box:${m.module}`) askValues(m.module);
  }, wait);
}

// The palette tells which class is under the pointer, or null.
export function hoverClass(name) {
  hoveredClass = name;
  if (!shownBox()) drawInfo();
}
