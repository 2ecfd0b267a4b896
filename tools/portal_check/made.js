'use strict';
// Code that a script makes from text: the string given to eval, to new
// Function (its body) and to setTimeout or setInterval. IE11 parses each as
// a script of its own when it runs, and throws a SyntaxError for what it
// cannot parse, where the check would otherwise see only a string. A
// development build of webpack (devtool 'eval') holds every module this way.
// Here the texts a script writes as string literals; run_page.js's run
// sends those it makes otherwise (making.js), and takes the calls of eval
// to follow from here (eval_text.js).
const walk = require('acorn-walk');

// Scripts that make no code from text are not walked again.
const MAKES = /\beval\s*\(|\bFunction\s*\(|\bset(?:Timeout|Interval)\s*\(\s*["'`]/;
// Characters of a sourceURL that a line names.
const MOST_URL = 2048;

const WINDOW_NAMES = new Set(['window', 'self', 'globalThis', 'top', 'parent']);

// The global a call calls, by name: eval, window.eval, (0, eval) and the
// like; a member of another object is no global.
function calleeName(callee) {
  if (callee.type === 'SequenceExpression') return calleeName(callee.expressions.slice(-1)[0]);
  if (callee.type === 'Identifier') return callee.name;
  if (callee.type !== 'MemberExpression' || callee.computed) return null;
  return callee.object.type === 'Identifier' && WINDOW_NAMES.has(callee.object.name) ?
    callee.property.name : null;
}

// A string literal's value, or null for any other expression.
function literal(node) {
  if (!node) return null;
  if (node.type === 'Literal' && typeof node.value === 'string') return node.value;
  if (node.type === 'TemplateLiteral' && node.expressions.length === 0) {
    return node.quasis[0].value.cooked;
  }
  return null;
}

// What a call makes from text, {kind, text}, or null.
function madeBy(node) {
  const name = calleeName(node.callee);
  const args = node.arguments;
  if (name === 'eval' && node.type === 'CallExpression') return made('eval', literal(args[0]));
  if (name === 'Function' && args.length && args.every((arg) => literal(arg) !== null)) {
    return made('new Function', literal(args[args.length - 1]));
  }
  if (name === 'setTimeout' || name === 'setInterval') return made(name, literal(args[0]));
  return null;
}

function made(kind, source) {
  return source === null ? null : { kind: kind, text: source };
}

// The address a text gives itself, `//# sourceURL=...`, or null.
function sourceURL(source) {
  const found = /\/\/[#@][ \t]*sourceURL=[ \t]*(\S+)[ \t]*$/m.exec(source.slice(-4096));
  return found ? found[1].slice(0, MOST_URL) : null;
}

// For each text the tree's calls make of literals: {kind, line, column, url,
// text, syntax} where judge (syntax.js's) finds it past ECMAScript 5; line
// and column where the call starts, by place (syntax.js's placeIn).
function madeOf(tree, source, place, judge) {
  if (!MAKES.test(source)) return [];
  const found = [];
  const look = (node) => {
    const making = madeBy(node);
    if (!making) return;
    const syntax = judge(making.text, making.kind === 'new Function');
    if (!syntax) return;
    const start = place(node);
    found.push({ kind: making.kind, line: start.line, column: start.column,
      url: sourceURL(making.text), text: making.text, syntax: syntax });
  };
  walk.simple(tree, { CallExpression: look, NewExpression: look });
  return found;
}

module.exports = { madeOf, sourceURL, calleeName, literal };
