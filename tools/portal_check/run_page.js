'use strict';
// Runs the portal's start page in jsdom with the scripts the check has
// fetched, served from memory in page order, and writes what happened as
// JSON lines on stdout. With `strip`, everything that Internet Explorer 11
// lacks (ie11.js) is taken out of the window before the first script runs.
// Started by node.py inside its sandbox only: jsdom is no sandbox, and page
// code can reach Node from here. The sandbox's network has only its own
// loopback; the one way out is the check's proxy on a Unix socket (proxy.py),
// which reaches the portal's origin alone.
// Here are the run's steps; the rest is by job: the page's requests
// (requests.js), the pace of its timers and the run's waits (pace.js), what
// it raises (report.js), what IE11 lacks taken out (strip.js), the other
// run's plan (plan.js), the events fired (events.js), the scripts the page
// adds (added.js).
//
// A process runs one page after another, each in a window of its own, one at
// a time: the pages of one portal, whose code the browser itself runs in one
// process. Each page comes on stdin as a line:
// {event: 'page', run, url, html, host, strip, lacked, settle, budget, wait, proxy,
// scripts: [{url, text, line, column}]} with url null for an inline script,
// line and column where its text starts; budget the seconds that firing the
// page's events may take; wait the seconds that each wait for the page's
// requests may last; proxy the proxy's socket; lacked, with strip, what IE11
// lacks as ie11.js keeps it (else it is read from bcd here); match, without
// strip, the seconds the run waits at its end for the stylesheets' selectors
// (matched.js).
// With strip, the lines after it are the other run's planned and plan lines as
// that run writes them: each planned event is fired as it comes, and the plan
// line (or the end of stdin) ends them. Other lines on stdin answer the
// scripts the page adds itself (added.js), or with match are the selectors
// {event: 'selectors', list}.
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
//   links {links, navigations, frames}
//                                    (without strip) the page's links that open in the control,
//                                    what its code navigated to, and its frames' addresses
//                                    (links.js)
//   reached {script, line, column, name, through, during}
//                                    (with strip) a use of a global, static or prototype
//                                    member IE11 lacks, reached (reached.js)
//   made {script, line, column, kind, text, size}
//                                    (without strip) code the page made from text (making.js)
//   untrusted {reason}               a connection to the portal whose certificate the
//                                    authorities the run trusts do not vouch for
//   matched {found}                  (with match) for each selector heard, whether it
//                                    matches an element of the page as the run ends
//   done {run}                        the page's run is over, run as its line gave it;
//                                    the process takes the next page, and ends at the
//                                    end of stdin
// Positions are within the script: lines from 1, columns from 0.
const { AsyncLocalStorage } = require('async_hooks');
// Before jsdom, and so before the programs below that load it: its style
// rules take the matching function as they load.
require('./cascade.js').quickerCascade();
const links = require('./links.js');
links.followNavigations();
const { JSDOM, VirtualConsole } = require('jsdom');
const { lacks } = require('./ie11.js');
const { watch, makeEvent, fireEvents, nameApart } = require('./events.js');
const added = require('./added.js');
const { stripForIE11 } = require('./strip.js');
const { report, reportUncaught, namesOf, indexOf, addedBy } = require('./report.js');
const { forward, scriptLoader, guardRequests, tellUntrusted, readAuthorities } =
  require('./requests.js');
const { scaleTimers, spaceFrames, quietFromNow, open } = require('./pace.js');
const { plannedEvents } = require('./plan.js');
const { followMaking, rewriteScripts } = require('./making.js');
// Beneath the wraps that run() makes of jsdom's scripts (added.js).
rewriteScripts();
const { followReached } = require('./reached.js');
const matched = require('./matched.js');

// The page being run, null between pages.
let current = null;

// A page's lines, on stdout, until its run is over: what its code leaves
// running past that (a request's answer, a promise) must not speak for the
// next page.
function emitterOf(page) {
  return (event, fields) => {
    if (page.over) return;
    process.stdout.write(JSON.stringify(Object.assign({ event: event }, fields)) + '\n');
  };
}

// What jsdom and Node are given once for the process: each hands what it
// sees to the page being run.
function prepareProcess() {
  added.writeInPlace();
  added.writeNestedInPlace();
  added.followEval((element, text, filename) => !current ? filename : added.inlineFile(current,
    () => current.inline.some(([script]) => script.text === text), element, text, filename));
  reportUncaught(() => current);
  tellUntrusted((event, fields) => { if (current) current.emit(event, fields); });
}

// One run of the page: loads it, reports what its scripts raise and bring,
// fires its events once it has loaded, and ends the run.
function run(input, proxy) {
  const page = pageOf(input, plannedEvents());
  page.emit = emitterOf(page);
  page.added = added.addedOf(page.emit, () => addedBy(page));
  added.hold(page, 0);
  current = page;
  try {
    return loadPage(page, proxy);
  } catch (error) {
    // jsdom's own failure, not the page's: the run cannot go on.
    process.stderr.write(String(error && error.stack || error) + '\n');
    process.exit(1);
  }
}

// What a run keeps of the page as it goes: its scripts by address and the
// inline ones with their places, what IE11 lacks, what was taken out of
// the window and what the scripts brought back.
function pageOf(input, planned) {
  planned.expect(input);
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
    emit: null,
    added: null,
    over: false,
    window: null,
    matcher: null,
  };
}

// The page in jsdom, its scripts served by the run's loader.
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
  page.window = window;
  guardRequests(page, window);
  const running = Object.getOwnPropertyDescriptor(window.Document.prototype, 'currentScript').get;
  page.matcher = matched.matcher(window);
  if (page.input.strip) stripForIE11(page, window);
  if (page.input.strip) followReached(page, window);
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
  page.document = links.documentOf(window);
  scaleTimers(window, page.timers);
  // One run is enough for the code the page makes: the same in both.
  if (!page.input.strip) followMaking(page, window);
  spaceFrames(window);
  followScripts(page, window);
  window.addEventListener('load', () => {
    afterLoad(page, window).then(() => added.settled(page)).then(() => matched.answer(page))
      .then(() => finish(page));
  });
}

// After the load, and again after the events, the run waits for the page
// to go quiet, so that what it judges does not hang on how fast the portal
// answers: both runs reach the same points before the first event.
async function afterLoad(page, window) {
  await quietFromNow(page);
  const fired = await fireAfterLoad(page, window);
  if (fired || open(page).length) await quietFromNow(page);
}

// Each script of the page as it has run, and what it brought.
function followScripts(page, window) {
  const known = page.input.strip ? null : new Set(Object.getOwnPropertyNames(window));
  window.document.addEventListener('load', (event) => {
    const element = event.target;
    if (element.localName !== 'script') return;
    const index = indexOf(page, element);
    if (index === null || index === undefined) return;
    added.later(page, index, (script) => page.emit('loaded', { script: script }));
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
  if (names.length) added.later(page, index, (script) => page.emit('defined', { script: script,
    names: names.slice(0, MAX_DEFINED) }));
}

// What IE11 lacks that a script has brought back since the last one ran.
function broughtBy(page, index) {
  const names = page.stripped.removed.filter((thing) => !page.provided.has(thing.name) &&
    thing.present()).map((thing) => thing.name);
  names.forEach((name) => page.provided.add(name));
  if (names.length) added.later(page, index, (script) => page.emit('provided', { script: script,
    names: names }));
}

// The page's events, after the load, its timers and its answers: what a
// handler then raises, or the work it starts, carries the event. The run
// that plans writes each event as it fires it, and the other run fires it
// as it comes, so that the two runs go side by side. How many were fired.
async function fireAfterLoad(page, window) {
  const fire = (node, type, selector) => fireOne(page, window, node, type, selector);
  if (!page.input.strip) {
    const done = await fireEvents(page.own, window, null, page.input.budget || 0, fire,
      (entry) => page.emit('planned', entry));
    page.emit('plan', done);
    return done.fire.length;
  }
  const done = await fireEvents(page.own, window, page.planned, 0, fire);
  page.emit('fired', { count: done.count - done.missed, missed: done.missed });
  if (!page.planned.ended) page.emit('unplanned', {});
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

// The event whose handlers are running, if any: Node carries it into what
// they start (their timers, promises and requests), and into nothing else.
const during = new AsyncLocalStorage();

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
  if (unanswered.length) page.emit('unanswered', { requests: unanswered });
  const missing = stripped.removed.filter((thing) => /^(global|static)$/.test(thing.kind) &&
    !thing.present()).map((thing) => thing.name);
  if (missing.length) page.emit('missing', { names: missing });
  if (!page.input.strip) links.reportLinks(page.emit, page.document);
  page.emit('done', { run: page.input.run });
  over(page);
}

// The page's run is over: its window closed, and so its timers, and the
// process waits for the next page, or ends with stdin.
function over(page) {
  page.over = true;
  current = null;
  matched.forget();
  try {
    page.window.close();
  } catch (ignored) {
    // a window the page's code left in a state jsdom cannot close: its
    // lines are not written any more
  }
  if (ended) process.exit(0);
  process.stdin.ref();
}

// What comes on stdin after the payload, by its event: page code can write
// on the other run's stdout, so each line is only data.
const HEARD = {
  planned: (entry) => current.planned.hear(entry),
  // The check's own line when the other run ended without a plan.
  plan: (message) => current.planned.close(Array.isArray(message.fire)),
  script: (message) => added.answered(current, message),
  selectors: (message) => matched.hear(message.list),
};

function heard(line) {
  let message = null;
  try {
    message = JSON.parse(line);
  } catch (ignored) {
    return;
  }
  if (!message || typeof message !== 'object') return;
  if (!current) {
    // Between pages only the next page is heard: what was meant for the
    // last one came too late.
    if (message.event === 'page') start(message);
  } else if (Object.prototype.hasOwnProperty.call(HEARD, message.event)) {
    HEARD[message.event](message);
  }
}

// The first https page has node read the authorities it trusts.
let authorities = false;

function start(input) {
  if (!authorities) authorities = readAuthorities(input.url);
  if (input.proxy) forward(input.proxy, (proxy) => run(input, proxy));
  else run(input, undefined);
}

// Each page is a line on stdin; the lines after it, until its run is over,
// are heard: with strip, the other run's plan as it comes, and the check's
// answers for the scripts the page adds, in any order. Page code reaches
// none of this: it is read as data, and an answer is for a script the run
// asked for or nothing.
let text = '';
let ended = false;
const take = () => {
  let at = text.indexOf('\n');
  while (at >= 0 || (ended && text)) {
    const line = at >= 0 ? text.slice(0, at) : text;
    text = at >= 0 ? text.slice(at + 1) : '';
    heard(line);
    at = text.indexOf('\n');
  }
  if (!ended) return;
  if (!current) process.exit(0);
  current.planned.close(false);
  added.unanswered(current);
};
prepareProcess();
process.stdin.setEncoding('utf8');
process.stdin.on('data', (chunk) => {
  text += chunk;
  take();
});
process.stdin.on('end', () => {
  ended = true;
  take();
});
