'use strict';
// The code the page makes from text as it runs (run_page.js), where the
// text is no literal that syntax.js finds in the script (made.js): the body
// given to new Function and the string given to setTimeout or setInterval.
// Each text is written once, with the script and place that made it,
//   made {script, line, column, kind, text, size}
// text the first MOST_TEXT characters, size its length; the check judges it
// as a script of its own. eval is left as it is: a wrapper would make each
// direct eval an indirect one, which no longer sees the caller's variables.
const { placeOf } = require('./report.js');
const added = require('./added.js');

// Characters of one text written, and of all of a run's: the run's output
// is bounded (run_process.py), and the rest of the run must fit in it.
const MOST_TEXT = 256 << 10;
const MOST_TEXTS = 1 << 20;
// Texts written in a run: a page that makes code in a loop makes the same
// few texts, or else ever new ones that say nothing new.
const MOST_MADE = 100;

// Wraps the window's makers of code; after the timers are scaled (pace.js).
function followMaking(page, window) {
  const seen = new Set();
  let written = 0;
  const note = (kind, text) => {
    if (typeof text !== 'string' || seen.has(text) || seen.size >= MOST_MADE) return;
    seen.add(text);
    const kept = text.slice(0, Math.min(MOST_TEXT, Math.max(MOST_TEXTS - written, 0)));
    written += kept.length;
    const { index, where } = placeOf(page, new Error(), null, 0, 0);
    added.later(page, index, (script) => page.emit('made', Object.assign({ script: script,
      kind: kind, text: kept, size: text.length }, where)));
  };
  for (const name of ['setTimeout', 'setInterval']) {
    const timer = window[name];
    window[name] = function (handler) {
      note(name, handler);
      return timer.apply(this, arguments);
    };
  }
  const made = (args) => {
    if (args.length) note('new Function', args[args.length - 1]);
  };
  window.Function = new Proxy(window.Function, {
    apply: (target, self, args) => {
      made(args);
      return Reflect.apply(target, self, args);
    },
    construct: (target, args, after) => {
      made(args);
      return Reflect.construct(target, args, after);
    },
  });
}

module.exports = { followMaking };
