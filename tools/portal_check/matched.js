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

// Selectors judged, characters of each, and milliseconds for them all.
const MAX_SELECTORS = 3000;
const MAX_LENGTH = 1000;
const MAX_MILLISECONDS = 1000;

let sent = null;
let heard = () => {};

// The check's line of selectors, as run_page.js hears it.
function hear(list) {
  if (sent) return;
  sent = Array.isArray(list) ? list.slice(0, MAX_SELECTORS) : [];
  heard();
}

// How the run will match in the page's document, taken before its scripts.
function matcher(window) {
  const select = window.Document.prototype.querySelector;
  const document = window.document;
  return (selector) => select.call(document, selector) !== null;
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

function judged(matches, selector, until) {
  if (typeof selector !== 'string' || selector.length > MAX_LENGTH || Date.now() > until) {
    return true;
  }
  try {
    return matches(selector);
  } catch (ignored) {
    return true;
  }
}

// Writes the matched line, where the run was asked to (its payload's match).
async function answer(page) {
  const seconds = page.input.match;
  if (typeof seconds !== 'number' || !page.matches) return;
  await waitForSelectors(seconds);
  if (!sent) return;
  const until = Date.now() + MAX_MILLISECONDS;
  page.emit('matched', { found: sent.map((selector) => judged(page.matches, selector, until)) });
}

module.exports = { hear: hear, matcher: matcher, answer: answer };
