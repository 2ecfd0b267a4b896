'use strict';
// Runs the portal's start page in jsdom with the scripts the check has
// fetched, served from memory in page order, and writes what happened as
// JSON lines on stdout. With `strip`, everything that Internet Explorer 11
// lacks (ie11.js) is taken out of the window before the first script runs.
// Started by node.py inside its sandbox only: jsdom is no sandbox, and page
// code can reach Node from here. The sandbox's network has only its own
// loopback; the one way out is the check's proxy on a Unix socket (proxy.py),
// which reaches the portal's origin alone.
//
// Input on stdin, a line: {url, html, host, strip, lacked, settle, budget, wait, proxy,
// scripts: [{url, text, line, column}]} with url null for an inline script,
// line and column where its text starts; budget the seconds that firing the
// page's events may take; wait the seconds that each wait for the page's
// requests may last; proxy the proxy's socket; lacked, with strip, what IE11
// lacks as ie11.js keeps it (else it is read from bcd here).
// With strip, the lines after it are the other run's planned and plan lines as
// that run writes them: each planned event is fired as it comes, and the plan
// line (or the end of stdin) ends them. Other lines on stdin answer the
// scripts the page adds itself (added.js).
// Output lines, {event: ...}:
//   loaded {script}                  a script has run (the next one runs when a run stops)
//   exception {script, line, column, message, lacks, during}
//                                    during {type, selector} when raised by an event fired,
//                                    selector the element told apart ("the 2nd a")
//                                    script null for the page, line and column null
//                                    where only the script is known
//   provided {script, names}         what IE11 lacks and the script brought
//   defined {script, names}          (without strip) the globals the script defined
//   blocked {url}                    a request to another host, not made
//   missing {names}                  globals and static members IE11 lacks that no script brought
//   kept {names}                     what IE11 lacks that the run could not take out
//                                    (constants such as Number.EPSILON)
//   planned {target, type, selector}
//                                    (without strip) the next event of the plan, written
//                                    before it is fired, so that the other run can follow
//   plan {fire: [{target, type, selector}], unfired, left}
//                                    the events fired after the load, target an index
//                                    into the page's elements, 'window' or 'document';
//                                    unfired how many the budgets left, left the first
//   fired {count, missed}            (with strip) events of the plan fired, and those
//                                    whose element the page no longer has
//   unplanned {}                     (with strip) the plan did not come to its end
//   unanswered {requests: [{url, waited, during}]}
//                                    requests of the page still unanswered when the run
//                                    ended, the seconds since each was sent, during as above
//   want {key, url, text, size, by, during, loading}
//                                    a script the page added, asked of the check (added.js)
//   untrusted {reason}               a connection to the portal whose certificate the
//                                    authorities the run trusts do not vouch for
//   done {}
// Positions are within the script: lines from 1, columns from 0.
const net = require('net');
const tls = require('tls');
const { AsyncLocalStorage } = require('async_hooks');
// Before jsdom: its style rules take the matching function as they load.
require('./cascade.js').quickerCascade();
const { JSDOM, VirtualConsole, ResourceLoader } = require('jsdom');
const { lacks } = require('./ie11.js');
const { watch, makeEvent, fireEvents, nameApart } = require('./events.js');
const added = require('./added.js');

// Timers run this many times faster than asked, so that the second after
// the load event passes in a tenth of one.
const TIME_SCALE = 10;
// The page's animation frames come at most this often, in ms, where a
// browser gives sixty a second: an animation takes its time by the clock,
// not by its frames, and ends where it would, in fewer steps. A whole
// template animates a menu or a chart with each event fired, and each of
// its frames reads styles.
const FRAME = 100;
// How often, in ms, a wait for the page looks whether it has gone quiet.
const POLL = 10;
// A timeout of a millisecond at most (as run, 10 ms as asked) is how scripts
// defer work, jQuery's ready and promise callbacks among them: a wait lets
// those that are due run. A longer one, an animation's tick or a carousel's,
// gets the settle time and no more, or a page that animates would hold
// every wait to its end.
const DEFERS = 1;
// The events of the other run's plan that this one fires at most: what its
// planning fires at most (events.js), the page's own stdout lines aside.
const PLANNED_MAX = 300;
// How far, in ms, the other run may lag behind this one, beyond its waits
// and its budget.
const PLAN_SLACK = 2000;

function emit(event, fields) {
  process.stdout.write(JSON.stringify(Object.assign({ event: event }, fields)) + '\n');
}

function own(holder, key) {
  return holder !== null && holder !== undefined && Object.prototype.hasOwnProperty.call(holder, key);
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

// Each removal as {name, present()}: present() tells whether the page has
// brought the thing back since.
function strip(window, lacked) {
  const removed = [];
  const kept = [];
  const take = (holder, key, name, kind) => {
    if (Reflect.deleteProperty(holder, key) && !(key in holder)) {
      removed.push({ name: name, kind: kind, present: () => key in holder });
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

// Names that stand for the global object itself in a message's callee.
const GLOBAL_OBJECTS = new Set(['window', 'self', 'globalThis', 'top', 'parent', 'frames']);

// The owner that a message's callee shows before its member: '' for a bare
// name or the global object, the global that a member's path names (Object
// in "Object.values", Array in "Array.prototype.includes" and in "[1]."),
// or null where the callee is some object the message cannot tell (a.b).
function ownerShown(callee, owners) {
  if (callee === '') return '';
  if (/^\[.*\]$/.test(callee)) return 'Array';
  if (/^(['"]).*\1$/.test(callee)) return 'String';
  const path = callee.split('.');
  const last = path[path.length - (path[path.length - 1] === 'prototype' ? 2 : 1)];
  if (path.length === 1 && GLOBAL_OBJECTS.has(last)) return '';
  return owners.has(last) ? last : null;
}

// What IE11 lacks that an exception's message names: "X is not defined",
// "Object.values is not a function", "a.b.X is not a function", "X is not
// a constructor", narrowed to the owner the message shows; where it shows
// none that can be told, the members of that name, those of prototypes
// first (statics are mostly called on their constructor's own name). Of
// several that bear the name, those taken out of this run's window if any.
function lackedIn(message, removedNames, lackedNames) {
  const match = /(\S*?)([\w$]+)\)? is not (defined|a function|a constructor)/.exec(message);
  if (!match) return [];
  const [, before, member, what] = match;
  if (before !== '' && !before.endsWith('.')) return [];
  const owners = new Set(lackedNames.filter((name) => name.includes('.'))
    .map((name) => name.split('.')[0]));
  const owner = ownerShown(before.slice(0, -1), owners);
  const global = (name) => name === member || (what !== 'defined' && name === 'new ' + member);
  const ofOwner = (name) => name === owner + '.' + member ||
    name === owner + '.prototype.' + member;
  const onPrototype = (name) => name.endsWith('.prototype.' + member);
  const anyOwner = (name) => name.endsWith('.' + member);
  let tests = [onPrototype, anyOwner];
  if (owner === '') tests = what === 'a function' ? [global, anyOwner] : [global];
  else if (owner !== null) tests = [ofOwner];
  else if (what === 'a constructor') tests = [global, anyOwner];
  for (const names of [removedNames, lackedNames]) {
    for (const test of tests) {
      const bearing = names.filter(test);
      if (bearing.length) return bearing;
    }
  }
  return [];
}

// jsdom takes its proxy as an http address, and its proxy agents connect to
// it with net.connect: a connection to that address goes to the proxy's
// socket instead. No box lets node listen on TCP, nor Landlock's connect.
const PROXY = { host: '127.0.0.1', port: 9 };
function forward(socketPath, then) {
  const connect = net.connect;
  net.connect = net.createConnection = function (options) {
    if (options && options.host === PROXY.host && Number(options.port) === PROXY.port) {
      return connect.call(this, socketPath, arguments[1]);
    }
    return connect.apply(this, arguments);
  };
  then('http://' + PROXY.host + ':' + PROXY.port);
}

// One run of the page: loads it, reports what its scripts raise and bring,
// fires its events once it has loaded, and ends the run.
function run(input, proxy, planned) {
  const page = pageOf(input, planned);
  page.added = added.addedOf(emit, () => addedBy(page));
  added.hold(page, 0);
  added.writeInPlace();
  added.followEval((element, text, filename) => added.inlineFile(page,
    () => page.inline.some(([script]) => script.text === text), element, text, filename));
  pages.push(page);
  const dom = loadPage(page, proxy);
  reportUncaught(page);
  return dom;
}

// What a run keeps of the page as it goes: its scripts by address and the
// inline ones with their places, what IE11 lacks, what was taken out of
// the window and what the scripts brought back.
function pageOf(input, planned) {
  // The other run may load later than this one, and then wait and fire: past
  // this, no more of its events are waited for.
  planned.until = Date.now() + (2 * (input.wait || 0) + (input.budget || 0)) * 1000 + PLAN_SLACK;
  const external = new Map();
  input.scripts.forEach((script, index) => { if (script.url) external.set(script.url, index); });
  // Only the run without them needs the data: whatever raises for want of
  // them in the other run raises in this one too.
  const lacked = !input.strip ? [] : Array.isArray(input.lacked) ? input.lacked : lacks();
  return {
    input: input,
    scripts: input.scripts,
    planned: planned,
    external: external,
    inline: input.scripts.map((script, index) => [script, index]).filter(([script]) => !script.url),
    lacked: lacked,
    lackedNames: namesOf(lacked),
    stripped: { removed: [], kept: [] },
    own: null,
    provided: new Set(),
    current: null,
    // What the page has started and not finished: its requests (each
    // {url, during, sent, abandoned, done()}), the timeouts that defer work
    // by id with when they are due, and when its last answer came.
    requests: new Map(),
    timers: new Map(),
    answered: 0,
    during: () => during.getStore() || null,
    added: null,
  };
}

// Names that IE11 lacks, for messages, including what jsdom lacks as well
// (fetch).
function namesOf(lacked) {
  return lacked.map(({ owner, name }) => owner === null || owner === 'Window' ? name :
    owner === name ? 'new ' + name : owner + '.' + name);
}

// The script a place in a file is in: an external one by its address, an
// inline one by the page's lines.
function scriptAt(page, file, line) {
  if (page.external.has(file)) return page.external.get(file);
  const inline = added.indexOfAdded(page, null, file);
  if (inline !== undefined) return inline;
  let found = null;
  for (const [script, index] of page.inline) if (script.line <= line) found = index;
  return file === page.input.url ? found : null;
}

// jsdom runs an inline script from its page line on, but from column 1; an
// added one (its index a promise until the check answers) from its own first.
function within(page, index, line, column) {
  const own = typeof index !== 'number' || index >= page.input.scripts.length ||
    page.scripts[index].url;
  return {
    line: own ? line : line - page.scripts[index].line + 1,
    column: Math.max(column - 1, 0),
  };
}

// A script element's script: one the page added by its record, a named one
// by its address, an inline one by its text (jsdom keeps its place in the
// page from the page's objects).
function indexOf(page, element) {
  const found = added.indexOfAdded(page, element, null);
  if (found !== undefined) return found;
  if (element.src) return page.external.get(element.src);
  const inline = page.inline.find(([script]) => script.text === element.text);
  return inline ? inline[1] : null;
}

// The script that adds one: the one running, or failing that (a timer, a
// handler) the innermost frame of the stack in a script of the page's.
function addedBy(page) {
  const index = page.current();
  if (index !== null) return index;
  const limit = Error.stackTraceLimit;
  // jsdom's own frames between the page's call and the loader are a dozen.
  Error.stackTraceLimit = 50;
  const error = new Error();
  Error.stackTraceLimit = limit;
  for (const frame of framesOf(error)) {
    const found = scriptAt(page, frame.file, frame.line);
    if (found !== null && found !== undefined) return found;
  }
  return null;
}

// An exception goes to the script whose lines hold it; failing that, to the
// first frame of its stack in a page script (jsdom places it by the first
// frame of all, which may be its own code), to the script that was
// running (a thrown string has no stack), or to the page: never dropped.
function report(page, error, file, line, column) {
  const { index, where } = placeOf(page, error, file, line, column);
  const message = said(error);
  const names = lackedIn(message, page.stripped.removed.map((thing) => thing.name),
    page.lackedNames);
  const event = during.getStore();
  added.later(page, index, (script) => emit('exception', Object.assign({ script: script,
    message: message, lacks: names }, where, event ? { during: event } : {})));
}

// {index, where}: the script and the place in it, or only the script.
function placeOf(page, error, file, line, column) {
  // jsdom gives line 0 to what it cannot place: a thrown string, or an
  // exception whose first frame is a built-in's (JSON.parse).
  let index = file && line ? scriptAt(page, file, line) : null;
  if (index !== null) return { index: index, where: within(page, index, line, column) };
  const frames = framesOf(error);
  for (const frame of frames) {
    index = scriptAt(page, frame.file, frame.line);
    if (index !== null) {
      return { index: index, where: within(page, index, frame.line, frame.column) };
    }
  }
  index = file ? scriptAt(page, file, line) : null;
  if (index === null && page.current) index = page.current();
  const thrown = frames.length ? null : thrownAt(page, said(error), index);
  return thrown || { index: index, where: { line: null, column: null } };
}

// A thrown value that is no Error has no stack, and a timer's or a
// handler's is reported with no script at all: a script whose `throw`
// gives that message as a literal (`throw 'no canvas'`, `throw {message:
// 'no canvas'}`) threw it, the running one first. {index, where} or null.
function thrownAt(page, message, running) {
  let found = null;
  // Only a script whose text holds the message's longest run of letters,
  // digits and spaces can give it as a literal (minifiers escape none of
  // these): the others are not parsed for it.
  const plain = (message.match(/[\w ]+/g) || ['']).reduce((a, b) => (b.length > a.length ? b : a));
  page.scripts.forEach((script, index) => {
    if (typeof script.text !== 'string' || !script.text.includes(plain)) return;
    const place = literalThrows(page, index).find((thrown) => thrown.message === message);
    if (place && (!found || index === running)) found = { index: index, where: place.where };
  });
  return found;
}

// Each `throw` of a literal message in a script, parsed once when first
// asked: [{message, where}].
function literalThrows(page, index) {
  page.throws = page.throws || new Map();
  if (page.throws.has(index)) return page.throws.get(index);
  const found = [];
  page.throws.set(index, found);
  const text = (node) => node && node.type === 'Literal' && typeof node.value === 'string' ?
    node.value : null;
  try {
    const tree = require('acorn').parse(page.scripts[index].text,
      { ecmaVersion: 'latest', locations: true, allowHashBang: true });
    require('acorn-walk').simple(tree, {
      ThrowStatement(node) {
        const thrown = node.argument;
        const message = text(thrown) !== null ? text(thrown) : thrown.type !== 'ObjectExpression' ?
          null : text((thrown.properties.find((property) => property.type === 'Property' &&
            (property.key.name === 'message' || property.key.value === 'message')) || {}).value);
        if (message !== null) {
          found.push({ message: message,
            where: { line: node.loc.start.line, column: node.loc.start.column } });
        }
      },
    });
  } catch (ignored) {
    // a script that does not parse, or nests past the parser: no place known
  }
  return found;
}

// What IE11 lacks that a script has brought back since the last one ran.
function broughtBy(page, index) {
  const names = page.stripped.removed.filter((thing) => !page.provided.has(thing.name) &&
    thing.present()).map((thing) => thing.name);
  names.forEach((name) => page.provided.add(name));
  if (names.length) added.later(page, index, (script) => emit('provided', { script: script,
    names: names }));
}

function sameHost(page, window, url) {
  try {
    return new URL(url, window.document.URL).host === page.input.host;
  } catch (error) {
    return false;
  }
}

// The page's scripts come from what the check fetched, those it adds itself
// as the check answers for them (added.js), and nothing else is loaded.
function scriptLoader(page, proxy) {
  class Scripts extends ResourceLoader {
    fetch(url, options) {
      if (!options.element || options.element.localName !== 'script') return null;
      if (page.external.has(url) && page.scripts[page.external.get(url)]) {
        return Promise.resolve(Buffer.from(page.scripts[page.external.get(url)].text));
      }
      return added.named(options.element) ? null : added.fetched(page, url, options.element);
    }
  }
  return new Scripts({ proxy: proxy });
}

function loadPage(page, proxy) {
  // Exceptions arrive through the window's error event; jsdom's own
  // reports of them, and what the page logs, are not wanted.
  const quiet = new VirtualConsole();
  quiet.on('jsdomError', () => {});
  return new JSDOM(page.input.html, {
    url: page.input.url,
    runScripts: 'dangerously',
    // XMLHttpRequest takes its proxy from the resource loader as well.
    resources: scriptLoader(page, proxy),
    includeNodeLocations: true,
    pretendToBeVisual: true,
    virtualConsole: quiet,
    beforeParse: (window) => prepare(page, window),
  });
}

// The window before the page's first script: the order matters, as each
// step takes what the window has at that point.
function prepare(page, window) {
  // Before anything is taken out: what these use of the window's own
  // (IE11 lacks document.currentScript).
  guardRequests(window, (into, url) => sameHost(page, into, url), page.requests);
  const running = Object.getOwnPropertyDescriptor(window.Document.prototype, 'currentScript').get;
  if (page.input.strip) stripForIE11(page, window);
  window.addEventListener('error', (event) => {
    report(page, event.error === undefined ? event.message : event.error, event.filename,
      event.lineno, event.colno);
  });
  page.current = () => {
    const element = running.call(window.document);
    const index = element ? indexOf(page, element) : null;
    return index === undefined ? null : index;
  };
  page.own = watch(window, !page.input.strip);
  scaleTimers(window, page.timers);
  spaceFrames(window);
  followScripts(page, window);
  window.addEventListener('load', () => {
    afterLoad(page, window).then(() => added.settled(page)).then(() => finish(page));
  });
}

// After the load, and again after the events, the run waits for the page
// to go quiet, so that what it judges does not hang on how fast the portal
// answers: both runs reach the same points before the first event.
async function afterLoad(page, window) {
  const input = page.input;
  const settle = input.settle * 1000 / TIME_SCALE;
  const wait = (input.wait || 0) * 1000;
  await quiet(page, Date.now(), settle, Date.now() + wait);
  const fired = await fireAfterLoad(page, window);
  if (fired || open(page).length) await quiet(page, Date.now(), settle, Date.now() + wait);
}

// The page's requests not yet answered, and not yet waited for in vain.
function open(page) {
  return Array.from(page.requests.values()).filter((request) => !request.abandoned);
}

// Resolves once the settle time has passed since `from` and since the last
// answer, no request of the page is in flight, and no timeout that defers
// work is due; or at `until`, when what is still in flight is abandoned: a
// later wait does not wait for it again. Each answer gets the settle time
// that the load gets, so its handler's timers run as a quick answer's would.
async function quiet(page, from, settle, until) {
  for (;;) {
    const now = Date.now();
    for (const [request, state] of page.requests) {
      if (state.done()) {
        page.requests.delete(request);
        page.answered = now;
      }
    }
    // A script the page added and the check has not answered for yet is
    // a request in flight too.
    if (page.added && page.added.held > 0) page.answered = now;
    const due = Array.from(page.timers.values()).some((at) => at <= now);
    if (now >= Math.max(from, page.answered) + settle && !due && !open(page).length) return;
    if (now >= until) {
      open(page).forEach((request) => { request.abandoned = true; });
      return;
    }
    await new Promise((resolve) => setTimeout(resolve, POLL));
  }
}

function stripForIE11(page, window) {
  page.stripped = strip(window, page.lacked);
  renameAsIE11(window);
  // Not judged: for whoever reads a run's own output.
  if (page.stripped.kept.length) emit('kept', { names: page.stripped.kept });
}

// Each script of the page as it has run, and what it brought.
function followScripts(page, window) {
  const known = page.input.strip ? null : new Set(Object.getOwnPropertyNames(window));
  window.document.addEventListener('load', (event) => {
    const element = event.target;
    if (element.localName !== 'script') return;
    const index = indexOf(page, element);
    if (index === null || index === undefined) return;
    added.later(page, index, (script) => emit('loaded', { script: script }));
    broughtBy(page, index);
    if (known) definedBy(page, window, known, index);
  }, true);
}

// The globals one script's event names at most: a script that defines more
// is a page's own unwrapped code, not a library that others build on.
const MAX_DEFINED = 500;

// In the run with everything, the globals a script defined: what another
// script raises for want of one of them, without what IE11 lacks, follows
// from this one's failure there.
function definedBy(page, window, known, index) {
  const names = Object.getOwnPropertyNames(window).filter((name) => !known.has(name));
  names.forEach((name) => known.add(name));
  // An added script's index may still be to come from the check.
  if (names.length) added.later(page, index, (script) => emit('defined', { script: script,
    names: names.slice(0, MAX_DEFINED) }));
}

// The page's events, after the load, its timers and its answers: what a
// handler then raises, or the work it starts, carries the event. The run
// that plans writes each event as it fires it, and the other run fires it
// as it comes, so that the two runs go side by side. How many were fired.
async function fireAfterLoad(page, window) {
  const fire = (node, type, selector) => fireOne(page, window, node, type, selector);
  if (!page.input.strip) {
    const done = await fireEvents(page.own, window, null, page.input.budget || 0, fire,
      (entry) => emit('planned', entry));
    emit('plan', done);
    return done.fire.length;
  }
  const done = await fireEvents(page.own, window, page.planned, 0, fire);
  emit('fired', { count: done.count - done.missed, missed: done.missed });
  if (!page.planned.ended) emit('unplanned', {});
  return done.count;
}

// One event at one node; resolves once what it started has had a turn.
// Only what the handlers raise, and what they start, is said to be during
// the event: work that the load started and that runs meanwhile is not.
function fireOne(page, window, node, type, selector) {
  const event = makeEvent(page.own, window, type);
  if (event) {
    during.run(eventNamed(page, window, node, type, selector), () => {
      try {
        page.own.dispatch.call(node, event);
      } catch (error) {
        report(page, error, null, 0, 0);
      }
    });
  }
  return new Promise((resolve) => setImmediate(resolve));
}

// The event as the lines name it, its element told apart from those alike
// ("the 2nd a"), as the note on unfired events names them: worked out only
// when what the event started is written out, which reads `selector`.
function eventNamed(page, window, node, type, selector) {
  let named = null;
  return Object.defineProperty({ type: type }, 'selector', {
    enumerable: true,
    get: () => {
      if (named !== null) return named;
      try {
        named = String(nameApart(page.own, window, node) || selector);
      } catch (ignored) {
        named = selector; // an element whose getters the page made throw
      }
      return named;
    },
  });
}

// What the page's code raises from a timer or a promise reaches Node
// itself.
function reportUncaught(page) {
  process.on('uncaughtException', (error) => report(page, error, null, 0, 0));
  process.on('unhandledRejection', (error) => report(page, error, null, 0, 0));
}

// An exception's message; whatever the page threw, a string.
function said(error) {
  try {
    return error && error.message !== undefined ? String(error.message) : String(error);
  } catch (ignored) {
    return Object.prototype.toString.call(error);
  }
}

// The frames of an exception's stack, innermost first: {file, line, column}.
function framesOf(error) {
  let stack = '';
  try {
    stack = error && typeof error.stack === 'string' ? error.stack : '';
  } catch (ignored) {
    // a getter of the page's that throws
  }
  const frame = /\(?([^\s()]+):(\d+):(\d+)\)?$/;
  const frames = [];
  for (const line of stack.split('\n').slice(1)) {
    const match = frame.exec(line.trim());
    if (match) frames.push({ file: match[1], line: Number(match[2]), column: Number(match[3]) });
  }
  return frames;
}

// Requests through XMLHttpRequest, and so through fetch polyfills, reach
// the portal's own host only; any other is told, and fails as a network
// error would. Each one made goes into `requests` until it is answered:
// done, or unsent again by abort(), as the window's own readyState says,
// whatever the page does to its events.
function guardRequests(window, sameHost, requests) {
  const request = window.XMLHttpRequest.prototype;
  const open = request.open;
  const send = request.send;
  const readyState = Object.getOwnPropertyDescriptor(request, 'readyState').get;
  const refused = new WeakSet();
  const asked = new WeakMap();
  request.open = function (method, url, async) {
    let address = String(url);
    try {
      address = new URL(address, window.document.URL).href;
    } catch (ignored) {
      // open() itself says what is wrong with it
    }
    // A synchronous request is answered before send() returns.
    asked.set(this, { url: address, async: arguments.length < 3 || Boolean(async) });
    if (sameHost(window, String(url))) {
      refused.delete(this);
    } else {
      refused.add(this);
      emit('blocked', { url: new URL(String(url), window.document.URL).href });
    }
    return open.apply(this, arguments);
  };
  request.send = function () {
    const xhr = this;
    if (!refused.has(this)) {
      const result = send.apply(this, arguments);
      const made = asked.get(this);
      if (made && made.async) {
        requests.set(xhr, { url: made.url, during: during.getStore() || null, abandoned: false,
          sent: Date.now(), done: () => [0, 4].includes(readyState.call(xhr)) });
      }
      return result;
    }
    window.setTimeout(() => xhr.dispatchEvent(new Progress('error')), 0);
    return undefined;
  };
  const Progress = window.ProgressEvent;
  const Socket = window.WebSocket;
  window.WebSocket = function WebSocket(url, protocols) {
    if (!sameHost(window, String(url))) {
      emit('blocked', { url: String(url) });
      throw new window.DOMException('not made by the check', 'SecurityError');
    }
    return new Socket(url, protocols);
  };
  window.WebSocket.prototype = Socket.prototype;
}

// The event whose handlers are running, if any: Node carries it into what
// they start (their timers, promises and requests), and into nothing else.
const during = new AsyncLocalStorage();

// The page's timers, scaled; `timers` holds each timeout that defers work
// until it has run or is cleared, with when it is due.
function scaleTimers(window, timers) {
  for (const name of ['setTimeout', 'setInterval']) {
    const timer = window[name];
    window[name] = function (handler, delay) {
      const args = Array.prototype.slice.call(arguments);
      args[1] = (Number(delay) || 0) / TIME_SCALE;
      if (name === 'setInterval' || typeof handler !== 'function' || !(args[1] <= DEFERS)) {
        return timer.apply(window, args);
      }
      let id = null;
      args[0] = function () {
        timers.delete(id);
        return handler.apply(this, arguments);
      };
      id = timer.apply(window, args);
      timers.set(id, Date.now() + args[1]);
      return id;
    };
  }
  for (const name of ['clearTimeout', 'clearInterval']) {
    const clear = window[name];
    window[name] = function (id) {
      timers.delete(Number(id));
      return clear.apply(window, arguments);
    };
  }
}

// Animation frames FRAME ms apart: each callback is handed to jsdom's own
// requestAnimationFrame at the next such tick, so that jsdom still runs it,
// gives it its time and reports what it raises, as it would have.
function spaceFrames(window) {
  const request = window.requestAnimationFrame;
  const cancel = window.cancelAnimationFrame;
  if (typeof request !== 'function' || typeof cancel !== 'function') return;
  const waiting = new Map();
  const handed = new Map();
  let next = 1;
  let tick = null;
  const hand = () => {
    tick = null;
    for (const [id, callback] of waiting) {
      handed.set(id, request.call(window, (time) => {
        handed.delete(id);
        return callback.call(window, time);
      }));
    }
    waiting.clear();
  };
  window.requestAnimationFrame = function requestAnimationFrame(callback) {
    if (typeof callback !== 'function') return request.call(window, callback);
    const id = next++;
    waiting.set(id, callback);
    if (!tick) tick = setTimeout(hand, FRAME);
    return id;
  };
  window.cancelAnimationFrame = function cancelAnimationFrame(id) {
    const key = Number(id);
    if (waiting.delete(key)) return;
    if (handed.has(key)) cancel.call(window, handed.get(key));
    handed.delete(key);
  };
}

// The globals and static members that IE11 lacks and that no script
// brought: a use of them where the load did not reach still fails in IE11.
// A prototype member's owner cannot be told from a script's source, so
// those are left out. Before them, the page's requests still unanswered.
function finish(page) {
  const stripped = page.stripped;
  const now = Date.now();
  const unanswered = Array.from(page.requests.values(), (request) => Object.assign(
    { url: request.url, waited: (now - request.sent) / 1000 },
    request.during ? { during: request.during } : {}));
  if (unanswered.length) emit('unanswered', { requests: unanswered });
  const missing = stripped.removed.filter((thing) => /^(global|static)$/.test(thing.kind) &&
    !thing.present()).map((thing) => thing.name);
  if (missing.length) emit('missing', { names: missing });
  emit('done', {});
  process.exit(0);
}

// A certificate of the portal's that fails verification makes the page's
// request a network error, as any other would; the run tells it apart.
// jsdom's proxy agent makes its TLS connections through tls.connect, looked
// up when it connects.
function tellUntrusted() {
  const connect = tls.connect;
  const told = new Set();
  tls.connect = function () {
    const socket = connect.apply(this, arguments);
    socket.on('error', (error) => {
      // Set only when verification failed: other errors are the network's.
      if (!socket.authorizationError || told.has(error.message)) return;
      told.add(error.message);
      emit('untrusted', { reason: error.message });
    });
    return socket;
  };
}

// node reads the authorities it trusts at its first TLS connection, and a
// machine's store takes a tenth of a second to parse: read before an https
// page loads, the time is not taken from the page's own.
function readAuthorities(url) {
  if (/^https:/i.test(url)) tls.createSecureContext();
}

// The runs of this process: one, once the payload has come.
const pages = [];

// The other run's plan as it comes: next() resolves to its next event, or
// to null at its end, at the end of stdin, after PLANNED_MAX events or past
// `until`; ended tells whether its plan line came.
const planned = {
  entries: [],
  taken: 0,
  closed: false,
  ended: false,
  until: 0,
  wake: () => {},
  push(entry) {
    if (this.closed) return;
    this.entries.push(entry);
    this.wake();
  },
  close(ended) {
    this.ended = this.ended || (ended && !this.closed);
    this.closed = true;
    this.wake();
  },
  async next() {
    while (!this.entries.length && !this.closed && Date.now() < this.until) {
      await new Promise((resolve) => {
        this.wake = resolve;
        setTimeout(resolve, this.until - Date.now());
      });
    }
    if (!this.entries.length || this.taken >= PLANNED_MAX) return null;
    this.taken += 1;
    return this.entries.shift();
  },
};

function hearPlanned(entry) {
  const target = entry.target;
  if ((Number.isInteger(target) && target >= 0) || target === 'window' || target === 'document') {
    if (typeof entry.type === 'string' && typeof entry.selector === 'string') {
      planned.push({ target: target, type: entry.type, selector: entry.selector });
    }
  }
}

// What comes on stdin after the payload, by its event: page code can write
// on the other run's stdout, so each line is only data.
const HEARD = {
  planned: hearPlanned,
  // The check's own line when the other run ended without a plan.
  plan: (message) => planned.close(Array.isArray(message.fire)),
  script: (message) => { if (pages.length) added.answered(pages[0], message); },
};

function heard(line) {
  let message = null;
  try {
    message = JSON.parse(line);
  } catch (ignored) {
    return;
  }
  if (message && typeof message === 'object' && Object.prototype.hasOwnProperty.call(HEARD,
    message.event)) {
    HEARD[message.event](message);
  }
}

// The payload is the first line on stdin; the lines after it are heard:
// with strip, the other run's plan as it comes, and the check's answers for
// the scripts the page adds, in any order. Page code reaches none of this:
// it is read as data, and an answer is for a script the run asked for or
// nothing.
let text = '';
let started = false;
const take = (ended) => {
  let at = text.indexOf('\n');
  while (at >= 0 || (ended && text)) {
    const line = at >= 0 ? text.slice(0, at) : text;
    text = at >= 0 ? text.slice(at + 1) : '';
    if (started) {
      heard(line);
    } else {
      started = true;
      const input = JSON.parse(line);
      readAuthorities(input.url);
      if (input.proxy) forward(input.proxy, (proxy) => run(input, proxy, planned));
      else run(input, undefined, planned);
    }
    at = text.indexOf('\n');
  }
  if (ended) {
    planned.close(false);
    if (pages.length) added.unanswered(pages[0]);
  }
};
tellUntrusted();
process.stdin.setEncoding('utf8');
process.stdin.on('data', (chunk) => {
  text += chunk;
  take(false);
});
process.stdin.on('end', () => take(true));
