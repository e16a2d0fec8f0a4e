// The property sheet of the one selected box: its fields, with qeno-host's
// own checks shown at the field, and the box's commands.

import { element, model, post, say } from './model.js';

const sheet = document.getElementById('sheet');
const hint = sheet.querySelector('.hint').cloneNode(true);
let sheetKey = '';  // what the open sheet was built for

function fieldFor(m, row) {
  const id = `field-${m.module}-${row.name.replace(/[^A-Za-z0-9]/g, '_')}`;
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
  const key = JSON.stringify([m.module, m.class, m.properties.map((row) => row.name)]);
  if (key !== sheetKey) {
    sheetKey = key;
    const title = element('h2', {}, `${m.class} (box ${m.module})`);
    const actions = element('div', { class: 'actions' });
    if (m.server) {
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
