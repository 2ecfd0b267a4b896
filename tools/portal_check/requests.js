'use strict';
// The page's requests in a run (run_page.js): its scripts served from what
// the check fetched, its own requests kept to the portal's host and followed
// until answered, the way out through the check's proxy, and the portal's
// certificate told apart when the authorities the run trusts refuse it.
const net = require('net');
const tls = require('tls');
const { ResourceLoader } = require('jsdom');
const added = require('./added.js');

// jsdom takes its proxy as an http address, and its proxy agents connect to
// it with net.connect: a connection to that address goes to the proxy's
// socket instead. No box lets node listen on TCP, nor Landlock's connect.
const PROXY = { host: '127.0.0.1', port: 9 };
let proxySocket = null;
function forward(socketPath, then) {
  if (proxySocket === null) {
    const connect = net.connect;
    net.connect = net.createConnection = function (options) {
      if (options && options.host === PROXY.host && Number(options.port) === PROXY.port) {
        return connect.call(this, proxySocket, arguments[1]);
      }
      return connect.apply(this, arguments);
    };
  }
  proxySocket = socketPath;
  then('http://' + PROXY.host + ':' + PROXY.port);
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

// Requests through XMLHttpRequest, and so through fetch polyfills, reach
// the portal's own host only; any other is told, and fails as a network
// error would. Each one made goes into page.requests until it is answered:
// done, or unsent again by abort(), as the window's own readyState says,
// whatever the page does to its events. WebSocket alike.
function guardRequests(page, window) {
  const allowed = (url) => sameHost(page, window, url);
  guardXhr(page, window, allowed);
  guardSockets(page, window, allowed);
}

function guardXhr(page, window, allowed) {
  const request = window.XMLHttpRequest.prototype;
  const open = request.open;
  const send = request.send;
  const readyState = Object.getOwnPropertyDescriptor(request, 'readyState').get;
  const Progress = window.ProgressEvent;
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
    if (allowed(String(url))) {
      refused.delete(this);
    } else {
      refused.add(this);
      page.emit('blocked', { url: new URL(String(url), window.document.URL).href });
    }
    return open.apply(this, arguments);
  };
  request.send = function () {
    const xhr = this;
    if (!refused.has(this)) {
      const result = send.apply(this, arguments);
      const made = asked.get(this);
      if (made && made.async) {
        page.requests.set(xhr, { url: made.url, during: page.during(), abandoned: false,
          sent: Date.now(), done: () => [0, 4].includes(readyState.call(xhr)) });
      }
      return result;
    }
    window.setTimeout(() => xhr.dispatchEvent(new Progress('error')), 0);
    return undefined;
  };
}

function guardSockets(page, window, allowed) {
  const Socket = window.WebSocket;
  window.WebSocket = function WebSocket(url, protocols) {
    if (!allowed(String(url))) {
      page.emit('blocked', { url: String(url) });
      throw new window.DOMException('not made by the check', 'SecurityError');
    }
    return new Socket(url, protocols);
  };
  window.WebSocket.prototype = Socket.prototype;
}

// A certificate of the portal's that fails verification makes the page's
// request a network error, as any other would; the run tells it apart.
// jsdom's proxy agent makes its TLS connections through tls.connect, looked
// up when it connects.
function tellUntrusted(emit) {
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
  if (!/^https:/i.test(url)) return false;
  tls.createSecureContext();
  return true;
}

module.exports = { forward, scriptLoader, guardRequests, tellUntrusted, readAuthorities };
