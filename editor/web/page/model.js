// What every part of the page shares: the graph as the event stream last
// described it, the selection, and the small helpers for talking to
// qeno-host and to the person.

export const model = {
  state: null,                 // {canSave, canUndo, canRedo, boxes: Map, links}
  selected: new Set(),         // numbers of the selected boxes
  selectedLink: null,          // key of the selected link, or null
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
