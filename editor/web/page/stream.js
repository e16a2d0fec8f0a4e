// The page's link to qeno-host's event stream. Loaded as a shared worker, it
// holds one stream for every tab of the page and hands each message on, so
// any number of tabs take one of the browser's few connections to the host.
// Where there is no shared worker, a page imports follow() and keeps a stream
// of its own.

const FIRST_DELAY_MS = 500;
const LONGEST_DELAY_MS = 5000;
export const LOG_KEPT = 200;  // log lines kept, as many as qeno-host keeps

// Follows /api/events for good, calling on(kind, data): 'state' with the
// whole state, 'change' with what changed since, 'log' with {first, lines},
// 'live' with true or false. After any failure, a refusal included, it opens
// the stream again, waiting longer each time until one opens.
export function follow(on) {
  let delay = FIRST_DELAY_MS;
  const open = () => {
    const events = new EventSource('/api/events');
    events.addEventListener('open', () => {
      delay = FIRST_DELAY_MS;
      on('live', true);
    });
    events.addEventListener('state', (event) => on('state', JSON.parse(event.data)));
    events.addEventListener('change', (event) => on('change', JSON.parse(event.data)));
    events.addEventListener('log', (event) => on('log', JSON.parse(event.data)));
    events.addEventListener('error', () => {
      events.close();
      on('live', false);
      setTimeout(open, delay);
      delay = Math.min(delay * 2, LONGEST_DELAY_MS);
    });
  };
  open();
}

// The whole state as the stream sends it, with its boxes in a Map by number,
// and what boxes of a class share: port layouts by class and size, sheets'
// entries by class.
export function stateOf(whole) {
  const boxes = new Map();
  for (const box of whole.modules) {
    if (box.module === undefined) box.module = box.index;
    boxes.set(box.module, box);
  }
  return { canSave: whole.canSave, canUndo: !!whole.canUndo, canRedo: !!whole.canRedo,
           layouts: whole.layouts ?? {}, sheets: whole.sheets ?? {}, boxes, links: whole.links };
}

// Merges a change into state: shared layouts and sheets it brings join the
// state's; an entry holding `module` is a whole box and replaces the one it
// names; otherwise each field replaces that whole field and a null field
// goes. A null entry removes the box; a list of links replaces the list.
// Returns the numbers of the boxes it touched.
export function merge(state, change) {
  Object.assign(state.layouts, change.layouts ?? {});
  Object.assign(state.sheets, change.sheets ?? {});
  const touched = [];
  for (const [key, fields] of Object.entries(change.modules ?? {})) {
    const number = Number(key);
    touched.push(number);
    if (fields === null) {
      state.boxes.delete(number);
      continue;
    }
    const box = 'module' in fields ? { module: number } : state.boxes.get(number) ?? { module: number };
    for (const [name, value] of Object.entries(fields)) {
      if (value === null) delete box[name]; else box[name] = value;
    }
    state.boxes.set(number, box);
  }
  if (change.links) state.links = change.links;
  for (const flag of ['canSave', 'canUndo', 'canRedo']) {
    if (change[flag] !== undefined) state[flag] = change[flag];
  }
  return touched;
}

// Adds a batch of log lines, {first, lines}, to log (the same form),
// keeping the last LOG_KEPT. Lines are numbered by qeno-host, and a stream
// opened again sends the kept ones again: returns the batch's new lines only.
export function addLines(log, batch) {
  let next = log.first + log.lines.length;
  if (!log.lines.length || batch.first > next) {
    log.first = batch.first;
    log.lines = [];
    next = batch.first;
  }
  const lines = batch.lines.slice(next - batch.first);
  log.lines.push(...lines);
  const dropped = Math.max(0, log.lines.length - LOG_KEPT);
  log.lines.splice(0, dropped);
  log.first += dropped;
  return { first: next, lines };
}

if (typeof SharedWorkerGlobalScope !== 'undefined' && self instanceof SharedWorkerGlobalScope) {
  const tabs = new Set();
  let live = null;  // not known before the stream first opens or fails
  let state = null;
  const kept = { first: 0, lines: [] };
  const send = (message) => { for (const port of tabs) port.postMessage(message); };
  follow((kind, data) => {
    if (kind === 'live') live = data;
    if (kind === 'state') state = stateOf(data);
    if (kind === 'change') {
      // A change before any state has nothing to apply to.
      if (state === null) return;
      merge(state, data);
    }
    if (kind === 'log') {
      const fresh = addLines(kept, data);
      if (fresh.lines.length) send({ kind, data: fresh });
      return;
    }
    // A state goes on as the worker holds it, so every tab starts alike.
    send({ kind, data: kind === 'state' ? state : data });
  });
  self.addEventListener('connect', (event) => {
    const [port] = event.ports;
    tabs.add(port);
    // A new tab starts where the others are.
    if (live !== null) port.postMessage({ kind: 'live', data: live });
    if (state !== null) port.postMessage({ kind: 'state', data: state });
    if (kept.lines.length) port.postMessage({ kind: 'log', data: kept });
    port.addEventListener('message', (message) => {
      if (message.data === 'closed') tabs.delete(port);
    });
    port.start();
  });
}
