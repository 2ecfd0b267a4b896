'use strict';
// The text a page's eval calls are given, seen as the run goes (making.js).
// A wrapper around window.eval would turn each direct call into an indirect
// one, which no longer sees the caller's variables (a webpack development
// build relies on them), so the plain run rewrites the page's scripts before
// they run instead: `eval(x)` becomes `eval(NOTE((x),SITE))`, still a direct
// call of the intrinsic eval, whose argument the run's NOTE sees and gives
// back as it was. Only the lines that hold such a call change, and the run
// maps places on them back to the script's own columns (report.js).
require('jsdom');
const { implementation: ScriptImpl } =
  require('jsdom/lib/jsdom/living/nodes/HTMLScriptElement-impl.js');

// The global through which the rewritten calls reach the run.
const NOTE = '__portalCheckEvalText';
// A script that may give eval text it builds: a call of eval whose argument
// is not a lone string literal, which syntax.js judges already. Scripts
// without one are not parsed here.
const CALL = /(?<![\w$])eval\s*\)?\s*\(\s*/g;
const LITERAL = /(?:"(?:[^"\\\r\n]|\\[\s\S])*"|'(?:[^'\\\r\n]|\\[\s\S])*')\s*\)/y;

// The rewriter of each document's scripts, by jsdom's document.
const rewriters = new WeakMap();

// Once per process, beneath the wrap of added.js, which places an inline
// script by its text as the page holds it: this one takes the script's
// file as added.js names it, and hands jsdom the rewritten text.
function rewriteScripts() {
  const innerEval = ScriptImpl.prototype._innerEval;
  ScriptImpl.prototype._innerEval = function (text, filename) {
    const rewrite = rewriters.get(this._ownerDocument);
    return innerEval.call(this, rewrite ? rewrite(text, filename, this) : text, filename);
  };
}

// The lines before an inline script's text in the page, as jsdom counts
// them when it runs it (its processJavaScript); none for one with src.
function lineOffsetOf(element) {
  if (element.hasAttributeNS(null, 'src')) return 0;
  for (let child = element.firstChild; child; child = child.nextSibling) {
    if (child.nodeType !== 3) continue;
    return child.sourceCodeLocation ? child.sourceCodeLocation.startLine - 1 : 0;
  }
  return 0;
}

function mayBuild(text) {
  CALL.lastIndex = 0;
  for (let call = CALL.exec(text); call; call = CALL.exec(text)) {
    LITERAL.lastIndex = CALL.lastIndex;
    if (!LITERAL.test(text)) return true;
  }
  return false;
}

// The calls of eval in a script's text whose argument is no string literal,
// or none where the text does not parse (IE11 does not run it either).
function callsIn(text) {
  const acorn = require('acorn');
  const walk = require('acorn-walk');
  const { calleeName, literal } = require('./made.js');
  let tree = null;
  try {
    tree = acorn.parse(text, { ecmaVersion: 'latest', locations: true, allowHashBang: true });
  } catch (ignored) {
    return [];
  }
  const calls = [];
  walk.simple(tree, {
    CallExpression(node) {
      const first = node.arguments[0];
      if (calleeName(node.callee) !== 'eval' || !first || first.type === 'SpreadElement' ||
        literal(first) !== null) return;
      calls.push(node);
    },
  });
  return calls;
}

// For a document of the plain run: each script's eval calls rewritten,
// each call's place kept as a site, {file, line, column} as V8 gives places
// in the rewritten script; and unshift(file, line, column), the column in
// the script's own text of a place V8 gives.
function followEvalText(document, window, note) {
  const sites = [];
  const shifts = new Map();
  Object.defineProperty(window, NOTE, {
    value: (text, site) => {
      note(text, sites[site]);
      return text;
    },
  });
  rewriters.set(document, (text, file, element) => {
    if (!mayBuild(text)) return text;
    const calls = callsIn(text);
    if (!calls.length) return text;
    return rewritten(text, calls, { file, lineOffset: lineOffsetOf(element), sites, shifts });
  });
  return (file, line, column) => unshifted(shifts.get(file + '\n' + line), column);
}

// The text with each call's argument handed to NOTE; its sites, and the
// insertions on each line, [[column, length]] in the order of the line, go
// into `into`, by file and line.
function rewritten(text, calls, into) {
  const marks = [];
  calls.forEach((call, index) => {
    const arg = call.arguments[0];
    marks.push({ at: arg.start, loc: arg.loc.start, add: NOTE + '((' });
    marks.push({ at: arg.end, loc: arg.loc.end, add: '),' + (into.sites.length + index) + ')' });
  });
  marks.sort((a, b) => a.at - b.at);
  const lineOf = (loc) => into.file + '\n' + (into.lineOffset + loc.line);
  const lines = new Map();
  const pieces = [];
  let from = 0;
  for (const mark of marks) {
    pieces.push(text.slice(from, mark.at), mark.add);
    from = mark.at;
    if (!lines.has(lineOf(mark.loc))) lines.set(lineOf(mark.loc), []);
    lines.get(lineOf(mark.loc)).push([mark.loc.column + 1, mark.add.length]);
  }
  lines.forEach((insertions, line) => into.shifts.set(line, insertions));
  // A call's own column moves by what is inserted before it on its line.
  for (const { loc: { start } } of calls) {
    const moved = (lines.get(lineOf(start)) || []).filter(([column]) => column <= start.column + 1)
      .reduce((sum, [, length]) => sum + length, 0);
    into.sites.push({ file: into.file, line: into.lineOffset + start.line,
      column: start.column + 1 + moved });
  }
  return pieces.join('') + text.slice(from);
}

// A column V8 gives on a line with insertions, in the line as the script
// has it: one within an insertion is where it was inserted.
function unshifted(insertions, column) {
  if (!insertions) return column;
  let moved = 0;
  for (const [at, length] of insertions) {
    const start = at + moved;
    if (column < start) break;
    if (column < start + length) return at;
    moved += length;
  }
  return column - moved;
}

module.exports = { rewriteScripts, followEvalText };
