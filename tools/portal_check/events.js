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
  if (plan) return firePlanned(own, window, plan, fire);
  return planEvents(own, window, budgetSeconds, fire, announce);
}

// The other run's: each event of the plan at the element it names, unless
// the page no longer has that element there.
async function firePlanned(own, window, plan, fire) {
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

// The planning run's: what the page listens on, and then the elements its
// delegating handlers ask about, each element and type once.
async function planEvents(own, window, budgetSeconds, fire, announce) {
  const queue = queueOf(own, window);
  const targetOf = indexer(own, window);
  const fired = [];
  const until = Date.now() + budgetSeconds * 1000;
  let at = 0;
  for (; at < queue.items.length && fired.length < MAX_EVENTS && Date.now() < until; at += 1) {
    const [node, type] = queue.items[at];
    if (!node.isConnected) continue;
    const selector = shortSelector(node, window);
    const target = targetOf(node);
    if (target < 0) continue;
    own.asked = [];
    if (announce) announce({ target: target, type: type, selector: selector });
    await fire(node, type, selector);
    const asked = askedAt(own, window, node, type);
    fired.push({ target: target, type: type, selector: selector });
    follow(own, window, queue, node, type, asked);
  }
  return Object.assign({ fire: fired }, leftOver(own, window, queue.items.slice(at)));
}

// The events to fire, [node, type] each, and adds one that is not there yet.
function queueOf(own, window) {
  // A selector asked under a node for a type is followed once: the same
  // delegating handler asks it again at every element it stands for.
  const queue = { items: [], seen: new Map(), followed: new Map() };
  queue.add = (node, type) => {
    const types = queue.seen.get(node) || new Set();
    queue.seen.set(node, types);
    if (types.has(type)) return;
    types.add(type);
    queue.items.push([node, type]);
  };
  for (const [node, type] of listenersOf(own, window)) queue.add(node, type);
  return queue;
}

// The selectors that the handlers of an event just fired asked about.
function askedAt(own, window, node, type) {
  const document = window.document;
  const holders = node === document.body ? [window, document, document.documentElement, node] :
    [node];
  const asked = own.asked.concat(...holders.map((holder) =>
    jquerySelectors(window, holder, type)));
  own.asked = null;
  return asked;
}

// A delegating handler asked about the target's ancestors too; only what
// lies under the node it listens on can reach it.
function follow(own, window, queue, node, type, asked) {
  const document = window.document;
  const container = node === document.body ? document : node;
  const done = queue.followed.get(container) || new Set();
  queue.followed.set(container, done);
  for (const asking of asked) {
    if (done.has(type + ' ' + asking)) continue;
    done.add(type + ' ' + asking);
    for (const element of taken(own, window, container, asking)) {
      if (element !== node) queue.add(element, type);
    }
  }
}

// How many of each type the budgets left unfired, and the elements they
// were for, named apart: {unfired, kinds: {type: count}, elements, left:
// the first few names}.
function leftOver(own, window, queue) {
  const kinds = {};
  const nodes = [];
  const counted = new Set();
  let unfired = 0;
  for (const [node, type] of queue) {
    if (!node.isConnected) continue;
    unfired += 1;
    kinds[type] = (kinds[type] || 0) + 1;
    if (!counted.has(node)) nodes.push(node);
    counted.add(node);
  }
  return { unfired: unfired, kinds: kinds, elements: nodes.length,
    left: nodes.slice(0, LEFT_NAMED).map((node) => nameApart(own, window, node)) };
}

// Elements of the unfired that the run names: as many as a line names of a
// list (lines.py), which counts the rest.
const LEFT_NAMED = 10;

// Suffixes by the last digit, but 11th to 13th.
const ORDINALS = ['th', 'st', 'nd', 'rd'];

function ordinal(n) {
  const tens = n % 100;
  return n + (tens > 10 && tens < 14 ? 'th' : ORDINALS[n % 10] || 'th');
}

// An element as a team can find it on the page: by its id, else by its
// first class where no other element of its name has that class
// (button.go), else by its place among those that its short selector takes,
// in page order ("the 3rd a", "the 2nd a.news-tab").
function nameApart(own, window, node) {
  const short = shortSelector(node, window);
  if (node === window || node === window.document || node.id) return short;
  const first = short.slice(String(node.localName).length + 1);
  const alike = Array.prototype.filter.call(own.all.call(window.document, node.localName),
    (element) => element.localName === node.localName && (!first ||
      (typeof element.className === 'string' && element.className.split(/\s+/).includes(first))));
  const at = alike.indexOf(node);
  return alike.length === 1 || at < 0 ? short : 'the ' + ordinal(at + 1) + ' ' + short;
}

module.exports = { watch, makeEvent, fireEvents, nameApart };
