'use strict';
// The code the page makes from text as it runs (run_page.js), where the
// text is no literal that syntax.js finds in the script (made.js): the body
// given to new Function, the string given to setTimeout or setInterval, and
// the text given to eval (eval_text.js, which rewrites the scripts' calls of
// eval: a wrapper would make each direct eval an indirect one, which no
// longer sees the caller's variables).
// Each text is written once, with the script and place that made it,
//   made {script, line, column, kind, text, size}
// text the first MOST_TEXT characters, size its length; the check judges it
// as a script of its own.
const { placeOf } = require('./report.js');
const added = require('./added.js');
const { followEvalText, rewriteScripts } = require('./eval_text.js');

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
  // site: where a rewritten eval call is, as V8 gives places; else the
  // stack tells.
  const note = (kind, text, site) => {
    if (typeof text !== 'string' || seen.has(text) || seen.size >= MOST_MADE) return;
    seen.add(text);
    const kept = text.slice(0, Math.min(MOST_TEXT, Math.max(MOST_TEXTS - written, 0)));
    written += kept.length;
    const { index, where } = site ? placeOf(page, null, site.file, site.line, site.column) :
      placeOf(page, new Error(), null, 0, 0);
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
  page.unshift = followEvalText(page.document, window, (text, site) => note('eval', text, site));
}

module.exports = { followMaking, rewriteScripts };
