// What every part of the page shares: the graph as the event stream last
// described it, the selection, and the small helpers for talking to
// qeno-host and to the person.

export const model = {
  state: null,                 // {canSave, canUndo, canRedo, layouts, sheets, boxes: Map, links}
  selected: new Set(),         // numbers of the selected boxes
  selectedLink: null,          // key of the selected link, or null
  // Boxes the page moved that qeno-host has not shown back yet: number ->
  // {x, y, inFlight, timer}. The page shows them there meanwhile, and the
  // next move starts from there, so an older state never undoes a move.
  pending: new Map(),
};

const notice = document.getElementById('notice');

export async function post(path, body) {
  try {
    const response = await fetch(path, {
      method: 'POST',
      headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify(body),
    });
    let answer = {};
    try { answer = await response.json(); } catch { answer = { error: response.statusText }; }
    return { ...answer, ok: response.ok };
  } catch (error) {
    return { ok: false, error: `qeno-host did not answer (${error.message})` };
  }
}

export function say(text, bad = false) {
  notice.textContent = text;
  notice.classList.toggle('bad', bad);
}

// Server text goes into textContent only, never into markup.
export function element(tag, attributes = {}, text = '') {
  const node = document.createElement(tag);
  for (const [name, value] of Object.entries(attributes)) node.setAttribute(name, value);
  if (text) node.textContent = text;
  return node;
}

export function linkKey(link) {
  return `${link.from.module}.${link.from.output}>${link.to.module}.${link.to.input}`;
}

// True while the person types into a field: the page's keys stay out of it.
export function typing(target) {
  if (!(target instanceof Element)) return false;
  return target.isContentEditable || ['INPUT', 'TEXTAREA', 'SELECT'].includes(target.tagName);
}

// A box's ports, {inputs, outputs}, each with its area relative to the box's
// top left corner: the layout its class shares, or its own.
export function portsOf(m) {
  return m.ports ?? model.state?.layouts[m.layout] ?? null;
}

// A box's property entries with their values: its class's entries with its
// settings, or its own.
export function rowsOf(m) {
  if (m.properties) return m.properties;
  const entries = model.state?.sheets[m.class];
  if (!entries || !m.settings) return [];
  return entries.map((entry, i) => ({ ...entry, value: m.settings[i] }));
}

// Forgets the moves that the state now shows, of the boxes numbered (or all).
export function echoed(numbers = null) {
  for (const number of numbers ?? [...model.pending.keys()]) {
    const pending = model.pending.get(number);
    const m = model.state?.boxes.get(number);
    if (!pending || pending.inFlight > 0) continue;
    if (!m || (m.x === pending.x && m.y === pending.y)) {
      clearTimeout(pending.timer);
      model.pending.delete(number);
    }
  }
}
