'use strict';
// What IE11 lacks where the run without it (run_page.js with strip) reaches
// a use of it: what that use raises may never show, as a Promise polyfill's
// then turns it into a rejection that nobody reports, and IE11 does the
// same. A lookup of a name that is absent walks to the end of its object's
// prototype chain, so a proxy put in that chain, past the objects that had
// the name, hears only the lookups that miss: the page still finds the name
// absent by every test it can write (typeof, in, hasOwnProperty,
// Object.keys, getOwnPropertyNames), as a polyfill decides by those, and
// brings it back in front of the proxy. Followed so:
// - static members (Object.assign) and the members of the built-ins'
//   prototypes ('x'.startsWith, 'x'.repeat; not Array.prototype's nor the
//   DOM's, holdersOf() says why), by a proxy whose get trap notes a read
//   (below);
// - globals (Promise, fetch, Symbol) read by their bare name, by a proxy
//   with a has trap only, under the global object (globalsNoted());
//   window.fetch read as a member is not followed: nothing there can hear it.
// Each read is written once per place,
//   reached {script, line, column, name, through, during}
// through the other scripts on the stack at the read, innermost first, that
// may have swallowed what it raised; the check keeps those that syntax.js
// counts as a use (references.js: unguarded, where IE11 throws), and says
// which (reached.py).
const added = require('./added.js');
const { placeOf, framesOf, scriptAt } = require('./report.js');

// Places written in a run: a page that loops over a use reaches the same
// few places.
const MOST_REACHED = 200;
// Scripts named as what the exception passed through.
const MOST_THROUGH = 5;
// Frames down to the read's own (stackOf's, the note's two, the trap's,
// the read's): a read that a built-in or jsdom makes for the page is not
// the page's use.
const NEAR = 5;
// The page's frames below the read, for what the exception passed through.
const FAR = 50;

function stackOf(depth) {
  const limit = Error.stackTraceLimit;
  Error.stackTraceLimit = depth;
  const error = new Error();
  Error.stackTraceLimit = limit;
  return error;
}

// The function that notes a read of `name` where the page's code made it.
// A place already written costs only a short stack: a use in a loop, or
// Babel's `typeof Symbol` in a helper called for each value, comes often.
function noter(page) {
  const seen = new Set();
  const note = (name) => {
    const { index, where } = placeOf(page, stackOf(NEAR), null, 0, 0);
    if (index === null || where.line === null) return;
    const key = [name, index, where.line, where.column].join(' ');
    if (seen.has(key)) return;
    seen.add(key);
    const through = throughOf(page, stackOf(FAR), index);
    const during = page.during();
    added.later(page, index, (script) => page.emit('reached', Object.assign({ script: script,
      name: name, through: through }, where, during ? { during: during } : {})));
  };
  // The page's lookup goes on whatever happens here: nothing of the check's
  // may raise into the page's code.
  return (name) => {
    if (seen.size >= MOST_REACHED) return;
    try {
      note(name);
    } catch (ignored) {
      // a stack too deep to note the read at
    }
  };
}

// Where the proxy for a holder's names goes: in front of the last object
// of its chain before what every object of its kind shares (Object's,
// Function's and EventTarget's prototypes): past String.prototype only what
// strings lack is looked up. Never under EventTarget.prototype: the
// window's chain holds it, and a get trap there would make Node's vm
// answer for every global the page lacks (a proxy in its chain counts as
// having the name, for `in` and hasOwnProperty too).
function endOf(holder, shared) {
  let end = holder;
  for (;;) {
    const next = Object.getPrototypeOf(end);
    if (next === null) return null;
    if (shared.has(next)) return end;
    end = next;
  }
}

// {end: Map(key: [{holder, name}])} of the statics and members taken out.
// Left out: Function.prototype.name, as every function has a name of its
// own, so no read misses on to it, and a proxy there would be on the path
// of every function's lookups; RegExp's flags (sticky, unicode), which V8
// reads itself at each split and replace, and whose read raises nothing;
// Array.prototype's members ([].includes), as a proxy in Array.prototype's
// chain turns off V8's fast paths for every array of the process, jsdom's
// own too (admin-lte's index took 17 % longer), and the DOM interfaces'
// (el.closest()), as every read that a node misses (jQuery's data on each
// element) would pass the proxy (15 % longer again): what a use of those
// raises shows where the page does not swallow it.
function holdersOf(page, window) {
  const shared = new Set([window.Object.prototype, window.Function.prototype,
    window.EventTarget.prototype]);
  const left = new Set([window.Function.prototype, window.RegExp.prototype,
    window.Array.prototype]);
  const ends = new Map();
  for (const thing of page.stripped.removed) {
    if (!/^(static|member)$/.test(thing.kind) || left.has(thing.holder)) continue;
    const end = shared.has(thing.holder) ? null : endOf(thing.holder, shared);
    if (!end || window.EventTarget.prototype.isPrototypeOf(end)) continue;
    if (!ends.has(end)) ends.set(end, new Map());
    const keys = ends.get(end);
    if (!keys.has(thing.key)) keys.set(thing.key, []);
    keys.get(thing.key).push({ holder: thing.holder, name: thing.name });
  }
  return ends;
}

// V8's Object.prototype.toString, for an object with a proxy in its chain,
// asks the proxy itself for @@toStringTag, and without an answer says
// "[object Object]", of an array or a string too (which `toString.call(x)
// === '[object Array]'` and Bootstrap's type checks read): each proxy,
// asked so, answers what the objects in front of it say without it. Their
// prototypes say so themselves, but these, plain objects since ES2015.
const PLAIN_PROTOTYPES = ['RegExp', 'Date', 'Error'];

function tagOf(end, window) {
  const plain = PLAIN_PROTOTYPES.find((name) => window[name] && window[name].prototype === end);
  return plain || Object.prototype.toString.call(end).slice(8, -1);
}

// Puts the noting proxies in; after strip.js, before the page's first
// script.
function followReached(page, window) {
  const note = noter(page);
  // A string's or a number's members are its prototype's: a primitive is
  // told by the page's own wrapper, taken before the page can replace it.
  const objectOf = window.Object;
  for (const [end, keys] of holdersOf(page, window)) {
    const tag = tagOf(end, window);
    // In between, not in place of, the end's prototype: `Object instanceof
    // Function` still holds.
    const noting = new Proxy(Object.create(Object.getPrototypeOf(end)), {
      get(target, key, receiver) {
        if (key === Symbol.toStringTag && receiver === noting) return tag;
        const holders = keys.get(key);
        if (holders) {
          const object = objectOf(receiver);
          const found = holders.find(({ holder }) => holder === object ||
            Object.prototype.isPrototypeOf.call(holder, object));
          if (found) note(found.name);
        }
        return Reflect.get(target, key, receiver);
      },
    });
    Object.setPrototypeOf(end, noting);
  }
  globalsNoted(page, window, note);
}

// The globals taken out, noted where the page reads one by its bare name.
// Node's vm answers a lookup on the window itself, from the window's chain
// and the global object's, and takes anything a proxy there answers for the
// name, undefined too; a proxy with no get trap answers only what its target
// has, and V8, which looks up a bare name past Node's answer, asks its has
// trap before it throws "X is not defined" (and for typeof X, and for
// 'X' in window). V8 places the read where the statement or expression
// around the name starts (reached.py finds the name there).
function globalsNoted(page, window, note) {
  const names = new Set(page.stripped.removed.filter((thing) => thing.kind === 'global')
    .map((thing) => thing.name));
  const noting = new Proxy(Object.create(Object.getPrototypeOf(window)), {
    has(target, key) {
      if (names.has(key)) note(key);
      return Reflect.has(target, key);
    },
  });
  Object.setPrototypeOf(window, noting);
}

// The page's other scripts on the stack below the use, innermost first.
function throughOf(page, error, index) {
  const through = [];
  for (const frame of framesOf(error)) {
    const found = scriptAt(page, frame.file, frame.line);
    if (typeof found !== 'number' || found === index || through.includes(found)) continue;
    through.push(found);
    if (through.length === MOST_THROUGH) break;
  }
  return through;
}

module.exports = { followReached };
