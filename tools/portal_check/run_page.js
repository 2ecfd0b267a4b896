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
// Input on stdin: {url, html, host, strip, settle, proxy, scripts: [{url, text, line, column}]}
// with url null for an inline script, line and column where its text starts,
// and proxy the proxy's socket.
// Output lines, {event: ...}:
//   loaded {script}                  a script has run (the next one runs when a run stops)
//   exception {script, line, column, message, lacks}
//   provided {script, names}         what IE11 lacks and the script brought
//   blocked {url}                    a request to another host, not made
//   missing {names}                  globals and static members IE11 lacks that no script brought
//   kept {names}                     what IE11 lacks that the run could not take out
//                                    (constants such as Number.EPSILON)
//   done {}
// Positions are within the script: lines from 1, columns from 0.
const net = require('net');
const { JSDOM, VirtualConsole, ResourceLoader } = require('jsdom');
const { lacks } = require('./ie11.js');

// Timers run this many times faster than asked, so that the second after
// the load event passes in a tenth of one.
const TIME_SCALE = 10;

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
// from the page's document, and without it querySelector finds nothing.
const DOM_NEEDS = new Set(['Document.firstElementChild']);

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
    if (DOM_NEEDS.has(owner + '.' + name)) continue;
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

// What IE11 lacks that an exception's message names: "X is not defined",
// "a.b.X is not a function", "X is not a constructor"; of several that
// bear the name, those taken out of this run's window if any.
function lackedIn(message, removedNames, lackedNames) {
  const match = /([\w$]+)\)? is not (?:defined|a function|a constructor)/.exec(message);
  if (!match) return [];
  const bearing = (names) => names.filter((name) => name === match[1] || name === 'new ' + match[1] ||
    name.endsWith('.' + match[1]));
  const removed = bearing(removedNames);
  return removed.length ? removed : bearing(lackedNames);
}

// jsdom takes its proxy as an http address, so a port of the sandbox's own
// loopback carries each connection to the proxy's socket.
function forward(socketPath, then) {
  const server = net.createServer((client) => {
    const way = net.connect(socketPath);
    const end = () => { client.destroy(); way.destroy(); };
    client.on('error', end);
    way.on('error', end);
    client.pipe(way).pipe(client);
  });
  server.listen(0, '127.0.0.1', () => then('http://127.0.0.1:' + server.address().port));
  server.unref();
}

function run(input, proxy) {
  const scripts = input.scripts;
  const external = new Map();
  scripts.forEach((script, index) => { if (script.url) external.set(script.url, index); });
  const inline = scripts.map((script, index) => [script, index]).filter(([script]) => !script.url);
  // The script a place in a file is in: an external one by its address, an
  // inline one by the page's lines.
  const scriptAt = (file, line) => {
    if (external.has(file)) return external.get(file);
    let found = null;
    for (const [script, index] of inline) if (script.line <= line) found = index;
    return file === input.url ? found : null;
  };
  // jsdom runs an inline script from its page line on, but from column 1.
  const within = (index, line, column) => ({
    line: scripts[index].url ? line : line - scripts[index].line + 1,
    column: Math.max(column - 1, 0),
  });

  // Names that IE11 lacks, for messages, including what jsdom lacks as well
  // (fetch). Only the run without them needs the data: whatever raises for
  // want of them in the other run raises in this one too.
  const lacked = input.strip ? lacks() : [];
  const lackedNames = [];
  for (const { owner, name } of lacked) {
    lackedNames.push(owner === null || owner === 'Window' ? name : owner === name ? 'new ' + name :
      owner + '.' + name);
  }
  let stripped = { removed: [], kept: [] };
  const provided = new Set();
  const report = (error, file, line, column) => {
    const index = scriptAt(file, line);
    if (index === null) return;
    const message = error && error.message !== undefined ? String(error.message) : String(error);
    const names = lackedIn(message, stripped.removed.map((thing) => thing.name), lackedNames);
    emit('exception', Object.assign({ script: index, message: message, lacks: names },
      within(index, line, column)));
  };
  const broughtBy = (index) => {
    const names = stripped.removed.filter((thing) => !provided.has(thing.name) && thing.present())
      .map((thing) => thing.name);
    names.forEach((name) => provided.add(name));
    if (names.length) emit('provided', { script: index, names: names });
  };
  const sameHost = (window, url) => {
    try {
      return new URL(url, window.document.URL).host === input.host;
    } catch (error) {
      return false;
    }
  };

  class Scripts extends ResourceLoader {
    fetch(url, options) {
      if (!options.element || options.element.localName !== 'script' || !external.has(url)) return null;
      return Promise.resolve(Buffer.from(scripts[external.get(url)].text));
    }
  }
  // Exceptions arrive through the window's error event; jsdom's own
  // reports of them, and what the page logs, are not wanted.
  const quiet = new VirtualConsole();
  quiet.on('jsdomError', () => {});
  const dom = new JSDOM(input.html, {
    url: input.url,
    runScripts: 'dangerously',
    // XMLHttpRequest takes its proxy from the resource loader as well.
    resources: new Scripts({ proxy: proxy }),
    includeNodeLocations: true,
    pretendToBeVisual: true,
    virtualConsole: quiet,
    beforeParse(window) {
      if (input.strip) {
        stripped = strip(window, lacked);
        // Not judged: for whoever reads a run's own output.
        if (stripped.kept.length) emit('kept', { names: stripped.kept });
      }
      window.addEventListener('error', (event) => {
        report(event.error === undefined ? event.message : event.error, event.filename, event.lineno,
          event.colno);
      });
      guardRequests(window, sameHost);
      scaleTimers(window);
      window.document.addEventListener('load', (event) => {
        const element = event.target;
        if (element.localName !== 'script') return;
        const text = element.src ? null : element.firstChild;
        const index = element.src ? external.get(element.src) :
          scriptAt(input.url, text && text.sourceCodeLocation ? text.sourceCodeLocation.startLine : 0);
        if (index === null || index === undefined) return;
        emit('loaded', { script: index });
        broughtBy(index);
      }, true);
      window.addEventListener('load', () => {
        setTimeout(() => finish(stripped), input.settle * 1000 / TIME_SCALE);
      });
    },
  });
  process.on('uncaughtException', (error) => reportStack(error, report));
  process.on('unhandledRejection', (error) => reportStack(error, report));
  return dom;
}

// An exception that left the page's own handlers, from a promise say: its
// place is the first of its stack's frames that is in a script of the page.
function reportStack(error, report) {
  const stack = error && typeof error.stack === 'string' ? error.stack : '';
  const frame = /\(?([^\s()]+):(\d+):(\d+)\)?$/m;
  for (const line of stack.split('\n').slice(1)) {
    const match = frame.exec(line.trim());
    if (match) {
      report(error, match[1], Number(match[2]), Number(match[3]));
      return;
    }
  }
}

// Requests through XMLHttpRequest, and so through fetch polyfills, reach
// the portal's own host only; any other is told, and fails as a network
// error would.
function guardRequests(window, sameHost) {
  const request = window.XMLHttpRequest.prototype;
  const open = request.open;
  const send = request.send;
  const refused = new WeakSet();
  request.open = function (method, url) {
    if (sameHost(window, String(url))) {
      refused.delete(this);
    } else {
      refused.add(this);
      emit('blocked', { url: new URL(String(url), window.document.URL).href });
    }
    return open.apply(this, arguments);
  };
  request.send = function () {
    if (!refused.has(this)) return send.apply(this, arguments);
    const xhr = this;
    window.setTimeout(() => xhr.dispatchEvent(new window.ProgressEvent('error')), 0);
    return undefined;
  };
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

function scaleTimers(window) {
  for (const name of ['setTimeout', 'setInterval']) {
    const timer = window[name];
    window[name] = function (handler, delay) {
      const args = Array.prototype.slice.call(arguments);
      args[1] = (Number(delay) || 0) / TIME_SCALE;
      return timer.apply(window, args);
    };
  }
}

// The globals and static members that IE11 lacks and that no script
// brought: a use of them where the load did not reach still fails in IE11.
// A prototype member's owner cannot be told from a script's source, so
// those are left out.
function finish(stripped) {
  const missing = stripped.removed.filter((thing) => /^(global|static)$/.test(thing.kind) &&
    !thing.present()).map((thing) => thing.name);
  if (missing.length) emit('missing', { names: missing });
  emit('done', {});
  process.exit(0);
}

let text = '';
process.stdin.setEncoding('utf8');
process.stdin.on('data', (chunk) => { text += chunk; });
process.stdin.on('end', () => {
  const input = JSON.parse(text);
  if (input.proxy) forward(input.proxy, (proxy) => run(input, proxy));
  else run(input, undefined);
});
