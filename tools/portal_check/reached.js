'use strict';
// The static members IE11 lacks (Object.assign, Array.from) where the run
// without them (run_page.js with strip) reaches a use of one: what that use
// raises may never show, as a Promise polyfill's then turns it into a
// rejection that nobody reports, and IE11 does the same. Each owner of a
// member taken out gets a prototype that notes a read of that member on the
// owner: the page still finds the member absent by every test it can write
// (typeof, in, hasOwnProperty, Object.keys), as a polyfill decides by those.
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

// The owners of the statics taken out, each with the names it lost.
function ownersOf(page, window) {
  const owners = new Map();
  for (const thing of page.stripped.removed) {
    if (thing.kind !== 'static') continue;
    const [owner, key] = thing.name.split('.');
    const holder = owner === 'TypedArray' ? null : window[owner];
    if (!holder || (typeof holder !== 'object' && typeof holder !== 'function')) continue;
    if (!owners.has(holder)) owners.set(holder, { owner: owner, keys: new Set() });
    owners.get(holder).keys.add(key);
  }
  return owners;
}

// Puts a noting prototype under each owner; after strip.js, before the
// page's first script.
function followReached(page, window) {
  const seen = new Set();
  const note = (name) => {
    if (seen.size >= MOST_REACHED) return;
    const limit = Error.stackTraceLimit;
    Error.stackTraceLimit = 50;
    const error = new Error();
    Error.stackTraceLimit = limit;
    const { index, where } = placeOf(page, error, null, 0, 0);
    if (index === null || where.line === null) return;
    const key = [name, index, where.line, where.column].join(' ');
    if (seen.has(key)) return;
    seen.add(key);
    const through = throughOf(page, error, index);
    const during = page.during();
    added.later(page, index, (script) => page.emit('reached', Object.assign({ script: script,
      name: name, through: through }, where, during ? { during: during } : {})));
  };
  for (const [holder, { owner, keys }] of ownersOf(page, window)) {
    // In between, not in place of, the owner's prototype: `Object instanceof
    // Function` still holds.
    const noting = new Proxy(Object.create(Object.getPrototypeOf(holder)), {
      get(target, key, receiver) {
        if (keys.has(key) && !Object.prototype.hasOwnProperty.call(holder, key)) {
          note(owner + '.' + key);
        }
        return Reflect.get(target, key, receiver);
      },
    });
    Object.setPrototypeOf(holder, noting);
  }
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
