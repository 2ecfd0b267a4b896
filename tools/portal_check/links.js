'use strict';
// Where a player can go from the page in the control: its links and what its
// handlers navigate to, for the check to visit the portal's other pages.
// Read through jsdom's own objects, which page code cannot reach: a page that
// replaces querySelectorAll or an element's href getter changes nothing here.
const idlUtils = require('jsdom/lib/jsdom/living/generated/utils.js');
const { domSymbolTree } = require('jsdom/lib/jsdom/living/helpers/internal-constants.js');
const LocationImpl = require('jsdom/lib/jsdom/living/window/Location-impl.js').implementation;
const { serializeURL } = require('whatwg-url');

// Page code is hostile: it may write links or navigate by the million.
const MAX_LINKS = 500;
const MAX_NAVIGATIONS = 100;
const MAX_URL = 2000;
const HTML = 'http://www.w3.org/1999/xhtml';
// The targets that keep the navigation in the control's own window: the
// launcher's control has no event sink, so a new window is the player's browser.
const SAME_WINDOW = new Set(['', '_self', '_parent', '_top']);

// What each document's code navigated to: a process runs one page after
// another.
const navigations = new WeakMap();

// Before jsdom loads a page: location.href = ..., assign() and replace()
// all come through here (jsdom then says navigation is not implemented).
function followNavigations() {
  const navigate = LocationImpl.prototype._locationObjectNavigate;
  LocationImpl.prototype._locationObjectNavigate = function (url, flags) {
    const address = url && url.scheme ? String(serializeURL(url)) : '';
    const document = this._relevantDocument;
    if (!navigations.has(document)) navigations.set(document, []);
    const made = navigations.get(document);
    if (made.length < MAX_NAVIGATIONS && kept(address)) made.push(address);
    return navigate.call(this, url, flags);
  };
}

function kept(address) {
  return address.length <= MAX_URL && /^https?:/i.test(address);
}

// The links of the document as it is now: a[href] and area[href] that open
// in the control itself, not in a window of their own nor as a download.
function linksOf(document) {
  const found = [];
  for (const node of domSymbolTree.treeIterator(document)) {
    if (found.length === MAX_LINKS) break;
    if (node.nodeType !== 1 || node._namespaceURI !== HTML) continue;
    if (node._localName !== 'a' && node._localName !== 'area') continue;
    if (!node.hasAttributeNS(null, 'href') || node.hasAttributeNS(null, 'download')) continue;
    if (!SAME_WINDOW.has(String(node._getAnElementsTarget()).toLowerCase())) continue;
    const address = String(node.href);
    if (kept(address)) found.push(address);
  }
  return found;
}

// The page's document as jsdom holds it, taken before the page's code runs.
function documentOf(window) {
  return idlUtils.implForWrapper(window.document);
}

// The line the run writes of them, once, before it ends.
function reportLinks(emit, document) {
  let links = [];
  try {
    links = linksOf(document);
  } catch (ignored) {
    // a tree the page left in a state jsdom's own walk cannot take
  }
  emit('links', { links: links, navigations: navigations.get(document) || [] });
}

module.exports = { followNavigations, documentOf, reportLinks };
