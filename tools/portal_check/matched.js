'use strict';
// The plain run's answer to the stylesheets check (matching.py): which of
// the selectors the check sends match an element of the page's document as
// the run ends, after the load and the events. The check sends them on
// stdin once it has judged the sheets; the run waits for them at its end,
// for at most the seconds its payload's `match` gives. It answers a boolean
// for each, and true for any it cannot judge: a selector its engine cannot
// read, one past the bounds, one left when its time was up. Page code may
// have made the document's own methods anything, so the run keeps jsdom's
// querySelector from before the page's first script.

// Selectors judged, characters of each, elements whose names are read, and
// milliseconds for them all.
const MAX_SELECTORS = 3000;
const MAX_LENGTH = 1000;
const MAX_ELEMENTS = 50000;
const MAX_MILLISECONDS = 1000;

let sent = null;
let heard = () => {};

// The check's line of selectors, as run_page.js hears it.
function hear(list) {
  if (sent) return;
  sent = Array.isArray(list) ? list.slice(0, MAX_SELECTORS) : [];
  heard();
}

// Between pages: the next page's selectors are its own.
function forget() {
  sent = null;
  heard = () => {};
}

// How the run will match in the page's document, with jsdom's own methods
// taken before the page's scripts.
function matcher(window) {
  const document = window.document;
  const select = window.Document.prototype.querySelector;
  const selectAll = window.Document.prototype.querySelectorAll;
  const attribute = window.Element.prototype.getAttribute;
  const localName = Object.getOwnPropertyDescriptor(window.Element.prototype, 'localName').get;
  return {
    matches: (selector) => select.call(document, selector) !== null,
    // The element names, .classes and #ids of the document, in lower case
    // (quirks mode matches classes so), or null for a document too large.
    names: () => {
      const all = selectAll.call(document, '*');
      if (all.length > MAX_ELEMENTS) return null;
      const names = new Set();
      for (let at = 0; at < all.length; at++) {
        const element = all[at];
        names.add(String(localName.call(element)).toLowerCase());
        const classes = attribute.call(element, 'class');
        if (classes) classes.toLowerCase().split(/\s+/).forEach((name) => names.add('.' + name));
        const id = attribute.call(element, 'id');
        if (id) names.add('#' + id.toLowerCase());
      }
      return names;
    },
  };
}

// For each selector of a list, the names it needs the document to have: a
// quick no for most selectors of a framework's widgets, which a full match
// would take the whole document to say. null where the list holds what
// this reading leaves to the selector engine (escapes, strings, namespaces,
// other than ASCII); attribute selectors need nothing here.
function namesNeeded(list) {
  const bare = list.replace(/\[(?:[^\]"'\\]|"[^"\\]*"|'[^'\\]*')*\]/g, ' ');
  if (!/^[\w\s.#>+~*,-]*$/.test(bare)) return null;
  return bare.split(',').map((selector) =>
    (selector.match(/[.#]?-?[_a-zA-Z][\w-]*/g) || []).map((name) => name.toLowerCase()));
}

function waitForSelectors(seconds) {
  if (sent) return Promise.resolve();
  return new Promise((resolve) => {
    const timer = setTimeout(resolve, seconds * 1000);
    heard = () => {
      clearTimeout(timer);
      resolve();
    };
  });
}

// Whether a selector list matches an element; true where the run cannot
// tell.
function judged(matcher, names, list, until) {
  if (typeof list !== 'string' || list.length > MAX_LENGTH) return true;
  const needed = names && namesNeeded(list);
  if (needed && !needed.some((selector) => selector.every((name) => names.has(name)))) {
    return false;
  }
  if (Date.now() > until) return true;
  try {
    return matcher.matches(list);
  } catch (ignored) {
    return true;
  }
}

// Writes the matched line, where the run was asked to (its payload's match).
async function answer(page) {
  const seconds = page.input.match;
  if (typeof seconds !== 'number' || !page.matcher) return;
  await waitForSelectors(seconds);
  if (!sent) return;
  const until = Date.now() + MAX_MILLISECONDS;
  let names = null;
  try {
    names = sent.length ? page.matcher.names() : null;
  } catch (ignored) {
    names = null; // an element whose attributes the page made throw
  }
  page.emit('matched', { found: sent.map((list) => judged(page.matcher, names, list, until)) });
}

module.exports = { hear: hear, matcher: matcher, answer: answer, forget: forget };
