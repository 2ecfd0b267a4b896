'use strict';
// What Internet Explorer 11 lacks (ie11.js), taken out of a page's window
// for the run without it (run_page.js with strip), and the names IE11 has
// where jsdom's differ.

function own(holder, key) {
  return holder !== null && holder !== undefined &&
    Object.prototype.hasOwnProperty.call(holder, key);
}

// %TypedArray%, the constructor every typed array inherits from, has no
// global name of its own.
function ownerIn(window, owner) {
  if (owner === 'TypedArray') return window.Int8Array && Object.getPrototypeOf(window.Int8Array);
  return window[owner];
}

// IE11 has these interfaces as objects that `new` refuses ("Object doesn't
// support this action") and that polyfills therefore replace; instanceof
// and the prototype still work.
function unconstructible(window, name) {
  const original = window[name];
  const stand = {};
  Object.defineProperty(stand, 'prototype', { value: original.prototype });
  Object.defineProperty(stand, Symbol.hasInstance, { value: (value) => value instanceof original });
  Object.defineProperty(window, name, { value: stand, writable: true, configurable: true });
}

// What every function has of its own: a member of that name is on the
// prototype.
const FUNCTION_OWN = new Set(['name', 'length', 'prototype', 'caller', 'arguments']);

// What stays although IE11 lacks it, because jsdom needs it on the page's
// own objects: its selector engine (nwsapi) reads document.firstElementChild
// from the page's document, and without it querySelector finds nothing; it
// reports a selector it cannot parse with `new DOMException` of the page's
// window, which IE11 will not build for a page, but throws itself.
const DOM_NEEDS = new Set(['Document.firstElementChild', 'DOMException.DOMException']);

// What stays because V8's own built-ins read it from the page's objects,
// found by running ES5 operations that IE11 runs (the portal tests hold the
// battery): String.prototype.split with a regular expression builds its
// splitter from RegExp.prototype.flags, and without it throws "Invalid flags
// supplied to RegExp constructor 'undefinedy'" where IE11 splits.
const ENGINE_NEEDS = new Set(['RegExp.flags']);

// Each removal as {name, kind, present(), holder, key}: present() tells
// whether the page has brought the thing back since; holder and key where
// it was (a global jsdom lacks as well has neither).
function strip(window, lacked) {
  const removed = [];
  const kept = [];
  const take = (holder, key, name, kind) => {
    if (Reflect.deleteProperty(holder, key) && !(key in holder)) {
      removed.push({ name: name, kind: kind, present: () => key in holder, holder: holder,
        key: key });
    } else {
      kept.push(name);
    }
  };
  for (const { owner, name } of lacked) {
    if (DOM_NEEDS.has(owner + '.' + name) || ENGINE_NEEDS.has(owner + '.' + name)) continue;
    if (owner === null || owner === 'Window') {
      // What jsdom lacks as well (fetch) is followed too: a script may bring it.
      if (name in window) take(window, name, name, 'global');
      else removed.push({ name: name, kind: 'global', present: () => name in window });
      continue;
    }
    const holder = ownerIn(window, owner);
    if (!holder) continue;
    if (name === owner) {
      if (typeof holder !== 'function') continue;
      unconstructible(window, name);
      removed.push({ name: 'new ' + name, kind: 'constructor',
        present: () => typeof window[name] === 'function' });
    } else if (own(holder, name) && !FUNCTION_OWN.has(name)) {
      take(holder, name, owner + '.' + name, 'static');
    } else if (own(holder.prototype, name)) {
      take(holder.prototype, name, owner + '.prototype.' + name, 'member');
    }
  }
  return { removed: removed, kept: kept };
}

// What IE11 has under another name than jsdom's second one, after the
// standard name has been taken out: the delegating code of libraries tries
// each name, and takes IE11's where the others are missing.
const IE11_NAMES = [['Element', 'matches', 'webkitMatchesSelector', 'msMatchesSelector']];

function renameAsIE11(window) {
  for (const [owner, name, jsdoms, ie11] of IE11_NAMES) {
    const holder = window[owner].prototype;
    const method = Object.getOwnPropertyDescriptor(holder, jsdoms);
    if (!method || name in holder) continue;
    Object.defineProperty(holder, ie11, method);
    delete holder[jsdoms];
  }
}

// What IE11 lacks out of the window, before the page's first script runs:
// page.stripped says what was taken and what stayed.
function stripForIE11(page, window) {
  page.stripped = strip(window, page.lacked);
  renameAsIE11(window);
  // Not judged: for whoever reads a run's own output.
  if (page.stripped.kept.length) page.emit('kept', { names: page.stripped.kept });
}

module.exports = { stripForIE11 };
