'use strict';
// The events a player causes, fired at what the page's scripts listen on,
// after the page has loaded. The run with everything (run_page.js without
// strip) finds the listeners and plans the events; the run without what
// IE11 lacks is handed that plan, an event at a time as it is planned, and
// fires the same events in the same order, so that an exception one run
// raises and the other does not comes from the page's code, not from a
// different choice of events.

// Each type a player causes, by the kind of event IE11 pages make for it
// with document.createEvent; jsdom has no pointer events, whose listeners
// get a mouse event, and IE11 no touch events, whose listeners get a UI
// event.
const KINDS = {
  MouseEvents: ['click', 'dblclick', 'mousedown', 'mouseup', 'mouseover', 'mouseout', 'mouseenter',
    'mouseleave', 'contextmenu', 'pointerdown', 'pointerup', 'pointerover', 'pointerout',
    'pointerenter', 'pointerleave', 'MSPointerDown', 'MSPointerUp'],
  FocusEvent: ['focus', 'blur', 'focusin', 'focusout'],
  KeyboardEvent: ['keydown', 'keyup', 'keypress'],
  UIEvents: ['touchstart', 'touchend', 'touchmove'],
  HTMLEvents: ['input', 'change', 'submit', 'reset', 'select'],
};
const KIND_OF = new Map();
for (const kind of Object.keys(KINDS)) for (const type of KINDS[kind]) KIND_OF.set(type, kind);

// How many events a run fires at most; the time it may take is the payload's.
const MAX_EVENTS = 300;

// What the page may replace later, taken before its first script runs, and
// the listeners it adds from then on, in the order it adds them. In the
// run that plans, the selectors that handlers ask of an event's target are
// recorded while an event is fired: that is how a listener on the document
// delegates to the elements it stands for.
function watch(window, plans) {
  const proto = window.EventTarget.prototype;
  const own = {
    add: proto.addEventListener,
    dispatch: proto.dispatchEvent,
    createEvent: window.Document.prototype.createEvent,
    initEvent: window.Event.prototype.initEvent,
    all: window.Document.prototype.getElementsByTagName,
    select: window.Element.prototype.querySelectorAll,
    selectAll: window.Document.prototype.querySelectorAll,
    listened: [],
    asked: null,
  };
  proto.addEventListener = function addEventListener(type, listener) {
    // Called bare (`var on = addEventListener; on(...)`), it adds to the window.
    const target = this === undefined || this === null ? window : this;
    if (listener && KIND_OF.has(String(type))) own.listened.push([target, String(type)]);
    return own.add.apply(this, arguments);
  };
  if (!plans) return own;
  for (const name of ['matches', 'webkitMatchesSelector', 'msMatchesSelector', 'closest']) {
    const original = window.Element.prototype[name];
    if (typeof original !== 'function') continue;
    window.Element.prototype[name] = {
      [name](selector) {
        if (own.asked && typeof selector === 'string') own.asked.push(selector);
        return original.apply(this, arguments);
      },
    }[name];
  }
  return own;
}

// An element as a short selector for the line: button#copy, a.news-tab.
function shortSelector(node, window) {
  if (node === window) return 'window';
  if (node === window.document) return 'document';
  const name = String(node.localName);
  if (node.id) return name + '#' + node.id;
  const classes = typeof node.className === 'string' ? node.className.trim().split(/\s+/) : [];
  return classes[0] ? name + '.' + classes[0] : name;
}

// The event as IE11 pages make it; jsdom makes no event that its own
// table does not name, whatever the page has done to the window.
function makeEvent(own, window, type) {
  for (const kind of [KIND_OF.get(type), 'UIEvents', 'Events']) {
    try {
      const event = own.createEvent.call(window.document, kind);
      own.initEvent.call(event, type, true, true);
      return event;
    } catch (ignored) {
      // the next kind
    }
  }
  return null;
}

// Where a plan's target is, and back: an index into the page's elements,
// or the window or the document. The indexes are kept between events and
// taken afresh when the page has moved the element since.
function indexer(own, window) {
  let index = new Map();
  return (node) => {
    if (node === window || node === window.document) return shortSelector(node, window);
    const all = own.all.call(window.document, '*');
    const at = index.get(node);
    if (at !== undefined && all[at] === node) return at;
    index = new Map();
    Array.prototype.forEach.call(all, (element, i) => index.set(element, i));
    return index.has(node) ? index.get(node) : -1;
  };
}

function nodeAt(own, window, target) {
  if (target === 'window') return window;
  if (target === 'document') return window.document;
  return own.all.call(window.document, '*')[target] || null;
}

// The elements under `container` that a selector takes, in page order;
// jQuery's own selectors (":visible") through jQuery where it is loaded.
function taken(own, window, container, selector) {
  try {
    return Array.prototype.slice.call(container.nodeType === 9 ?
      own.selectAll.call(container, selector) : own.select.call(container, selector));
  } catch (error) {
    try {
      const jquery = window.jQuery;
      return jquery && jquery.find ? Array.prototype.slice.call(jquery.find(selector, container)) :
        [];
    } catch (ignored) {
      return [];
    }
  }
}

// jQuery keeps the selectors of its delegated handlers in its own registry.
function jquerySelectors(window, node, type) {
  try {
    const jquery = window.jQuery;
    const events = jquery && typeof jquery._data === 'function' && jquery._data(node, 'events');
    const handlers = events && events[type];
    return handlers ? Array.prototype.slice.call(handlers).map((handler) => handler.selector)
      .filter((selector) => typeof selector === 'string' && selector) : [];
  } catch (ignored) {
    return [];
  }
}

// What the page listens on for the player's events, in page order: the
// listeners added, then the on... handlers of the window, the document and
// each element (jsdom compiles an attribute's handler when it is read).
// A listener on the window, the document or the body is reached through an
// event at the body, which stands for any element of the page.
function listenersOf(own, window) {
  const document = window.document;
  const body = document.body || document.documentElement;
  const found = [];
  const top = (node) => node === window || node === document || node === body ||
    node === document.documentElement;
  const note = (node, type) => {
    if (top(node)) found.push([body, type]);
    else if (node && node.nodeType === 1 && node.isConnected) found.push([node, type]);
  };
  for (const [node, type] of own.listened) note(node, type);
  const nodes = [window, document].concat(Array.prototype.slice.call(own.all.call(document, '*')));
  for (const node of nodes) {
    for (const type of KIND_OF.keys()) {
      let handler = null;
      try {
        handler = node['on' + type];
      } catch (ignored) {
        handler = null;
      }
      if (typeof handler === 'function') note(node, type);
    }
  }
  return found;
}

// Fires the events: in the planning run, those it finds (each element and
// type once, within the budgets), each told to `announce` before it is
// fired, and returns the plan; in the other, each that `plan.next()`
// resolves to until it resolves to null, and returns {count, missed}.
// `fire(node, type, selector)` dispatches one and resolves when what it
// started has had a turn.
async function fireEvents(own, window, plan, budgetSeconds, fire, announce) {
  if (plan) {
    let missed = 0;
    let count = 0;
    for (let entry = await plan.next(); entry; entry = await plan.next()) {
      count += 1;
      const node = nodeAt(own, window, entry.target);
      if (!node || shortSelector(node, window) !== entry.selector) {
        missed += 1;
        continue;
      }
      await fire(node, entry.type, entry.selector);
    }
    return { count: count, missed: missed };
  }
  const queue = [];
  const seen = new Map();
  const enqueue = (node, type) => {
    const types = seen.get(node) || new Set();
    seen.set(node, types);
    if (types.has(type)) return;
    types.add(type);
    queue.push([node, type]);
  };
  for (const [node, type] of listenersOf(own, window)) enqueue(node, type);
  const targetOf = indexer(own, window);
  // A selector asked under a node for a type is followed once: the same
  // delegating handler asks it again at every element it stands for.
  const followed = new Map();
  const fired = [];
  const until = Date.now() + budgetSeconds * 1000;
  let at = 0;
  for (; at < queue.length && fired.length < MAX_EVENTS && Date.now() < until; at += 1) {
    const [node, type] = queue[at];
    if (!node.isConnected) continue;
    const selector = shortSelector(node, window);
    const target = targetOf(node);
    if (target < 0) continue;
    own.asked = [];
    if (announce) announce({ target: target, type: type, selector: selector });
    await fire(node, type, selector);
    const document = window.document;
    const holders = node === document.body ? [window, document, document.documentElement, node] :
      [node];
    const asked = own.asked.concat(...holders.map((holder) =>
      jquerySelectors(window, holder, type)));
    own.asked = null;
    fired.push({ target: target, type: type, selector: selector });
    // A delegating handler asked about the target's ancestors too; only
    // what lies under the node it listens on can reach it.
    const container = node === document.body ? document : node;
    const done = followed.get(container) || new Set();
    followed.set(container, done);
    for (const asking of asked) {
      if (done.has(type + ' ' + asking)) continue;
      done.add(type + ' ' + asking);
      for (const element of taken(own, window, container, asking)) {
        if (element !== node) enqueue(element, type);
      }
    }
  }
  const left = queue.slice(at).filter(([node]) => node.isConnected)
    .map(([node, type]) => type + ' of ' + shortSelector(node, window));
  return { fire: fired, unfired: left.length, left: left.slice(0, 5) };
}

module.exports = { watch, makeEvent, fireEvents };
