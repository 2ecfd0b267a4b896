'use strict';
// jsdom's getComputedStyle tries every rule of its default stylesheet (some
// 120, the HTML standard's) and of the page's own sheets against the
// element, and for `visibility`, which is inherited, against each of its
// ancestors up to the root: on a whole template, whose scripts read styles
// in every handler and animation frame, that took most of a run. A rule can
// only match an element whose name ends one of its selectors, where every
// selector ends in a type selector; the others are tried as before. The
// cascade, and so every style the page reads, stays exactly jsdom's.
//
// Required before jsdom: its style rules take the matching function from
// the selectors module when they load. A jsdom without that module, or whose
// module has no such function, keeps its own way.

// The last compound selector of each selector in a list: commas and
// combinators inside :is(a, b), [x="a b"] or a string neither separate
// selectors nor end a compound.
function lastCompounds(list) {
  const found = [];
  let depth = 0;
  let quote = null;
  let compound = 0;
  for (let at = 0; at < list.length; at++) {
    const c = list[at];
    if (quote) {
      if (c === '\\') at++;
      else if (c === quote) quote = null;
    } else if (c === '"' || c === "'") {
      quote = c;
    } else if (c === '(' || c === '[') {
      depth++;
    } else if (c === ')' || c === ']') {
      depth--;
    } else if (depth === 0 && c === ',') {
      found.push(list.slice(compound, at).trim());
      compound = at + 1;
    } else if (depth === 0 && /[\s>+~]/.test(c)) {
      // A combinator ends the compound before it, unless the selector ends
      // there (trailing space before a comma or the end).
      const rest = list.slice(at + 1).trimStart();
      if (rest && rest[0] !== ',') compound = at + 1;
    }
  }
  found.push(list.slice(compound).trim());
  return found;
}

// The element names (lower case) that the selectors of a list can match,
// or null where one of them may match any element: its last compound
// starts with `*`, a class, an id, an attribute or a pseudo-class, or the
// list holds what this reading leaves to the selector engine (namespaces,
// escapes).
function namesMatched(list) {
  if (/[|\\]/.test(list)) return null;
  const names = new Set();
  for (const compound of lastCompounds(list)) {
    const name = /^[a-zA-Z][\w-]*/.exec(compound.replace(/^[>+~\s]+/, ''));
    if (!name) return null;
    names.add(name[0].toLowerCase());
  }
  return names;
}

function quickerCascade() {
  let selectors;
  try {
    selectors = require('jsdom/lib/jsdom/living/helpers/selectors.js');
  } catch (ignored) {
    return false;
  }
  const matches = selectors.matchesDontThrow;
  if (typeof matches !== 'function') return false;
  const known = new Map();
  selectors.matchesDontThrow = function (element, list) {
    let names = known.get(list);
    if (names === undefined) {
      names = typeof list === 'string' ? namesMatched(list) : null;
      known.set(list, names);
    }
    const name = element && element.localName;
    if (names && typeof name === 'string' && !names.has(name.toLowerCase())) return false;
    return matches.apply(this, arguments);
  };
  return true;
}

module.exports = { quickerCascade: quickerCascade };
