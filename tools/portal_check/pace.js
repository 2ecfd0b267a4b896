'use strict';
// The pace of a page's run (run_page.js): its timers run faster than asked,
// its animation frames come further apart, and the run's waits end once the
// page has gone quiet.

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

// The page's requests not yet answered, and not yet waited for in vain.
function open(page) {
  return Array.from(page.requests.values()).filter((request) => !request.abandoned);
}

// One wait of the run's, from now: the payload's settle time, as the
// page's timers run, at most the payload's wait.
function quietFromNow(page) {
  const input = page.input;
  const settle = input.settle * 1000 / TIME_SCALE;
  const wait = (input.wait || 0) * 1000;
  return quiet(page, Date.now(), settle, Date.now() + wait);
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

module.exports = { scaleTimers, spaceFrames, quietFromNow, open };
