'use strict';
// What a script refers to by a global name, the page's own globals left
// aside, and which of those names it tests for before using them. A name
// counts as a global when the script declares it nowhere in scope
// (acorn-globals), or as a property of the window (window.fetch,
// self.Promise); a static member as the global's name and its own
// (Object.assign).
const findGlobals = require('acorn-globals');
const walk = require('acorn-walk');
const { lacks } = require('./ie11.js');

const WINDOW_NAMES = new Set(['window', 'self', 'globalThis', 'top', 'parent']);

function propertyName(member) {
  if (!member.computed) return member.property.name;
  return typeof member.property.value === 'string' ? member.property.value : null;
}

// The member expression `node` is the object of, if any.
function memberOf(node, parent) {
  return parent && parent.type === 'MemberExpression' && parent.object === node ? parent : null;
}

// Whether the expression at `chain` (innermost last) is only tested, not
// used: under typeof, as the condition of an if, a loop, ?: or && || ??, or
// negated, or compared; a call or a new of it is a use even there.
function isTested(chain) {
  const node = chain[chain.length - 1];
  const parent = chain[chain.length - 2];
  if (!parent) return false;
  if (parent.type === 'UnaryExpression' && parent.operator === 'typeof') return true;
  if ((parent.type === 'CallExpression' || parent.type === 'NewExpression') && parent.callee === node) {
    return false;
  }
  for (let i = chain.length - 2; i >= 0; i -= 1) {
    const outer = chain[i];
    const inner = chain[i + 1];
    if (/^(If|While|DoWhile|For)Statement$|^ConditionalExpression$/.test(outer.type)) {
      return outer.test === inner;
    }
    if (outer.type === 'LogicalExpression') return outer.left === inner || isTested(chain.slice(0, i + 1));
    if (outer.type === 'UnaryExpression' && outer.operator === '!') return true;
    if (outer.type === 'BinaryExpression' && /^[!=]==?$/.test(outer.operator)) return true;
    if (outer.type !== 'MemberExpression' || outer.object !== inner) return false;
  }
  return false;
}

// Whether the expression at `chain` throws in IE11 when what it names is
// missing: a call or a new of it, or a member read on it. A property of the
// window or a static member only read, compared or passed on is undefined
// there, and no error.
function throwsWhenMissing(chain) {
  const node = chain[chain.length - 1];
  const parent = chain[chain.length - 2];
  if (!parent) return false;
  const called = parent.type === 'CallExpression' || parent.type === 'NewExpression';
  if (called) return parent.callee === node;
  return parent.type === 'MemberExpression' && parent.object === node;
}

// What IE11 lacks by the names a condition can test it by: globals, and
// members as Owner.member and as the member's name alone (for 'member' in X).
let lackedByName = null;
function lackedNames() {
  if (lackedByName) return lackedByName;
  lackedByName = { globals: new Set(), members: new Set(), names: new Set() };
  for (const { owner, name } of lacks()) {
    if (owner === null || owner === 'Window') {
      lackedByName.globals.add(name);
    } else if (owner !== name) {
      lackedByName.members.add(owner + '.' + name);
      lackedByName.names.add(name);
    }
  }
  return lackedByName;
}

// The page's objects whose interfaces a script names only by the object:
// what it reads off them (document.documentElement.attachShadow,
// navigator.serviceWorker) is tested by the member's name alone.
const DOM_ROOTS = new Set(['document', 'navigator']);

// The name a chain of members and calls starts from: document in
// document.createElement('a').closest.
function rootOf(node) {
  let at = node;
  while (at.type === 'MemberExpression' || at.type === 'CallExpression') {
    at = at.type === 'MemberExpression' ? at.object : at.callee;
  }
  return at.type === 'Identifier' ? at.name : null;
}

// Whether an expression mentions anything IE11 lacks: then a branch it
// decides is feature detection (Babel's `typeof Symbol !== "undefined" &&`,
// core-js's own tests), and what the branch uses is not held against it.
function mentionsLacked(test) {
  if (mentioning.has(test)) return mentioning.get(test);
  let found = false;
  walk.full(test, (node) => {
    found = found || namesLacked(node);
  });
  mentioning.set(test, found);
  return found;
}

// Each condition's answer, found once: the uses under a condition are many,
// and each asks of every condition around it.
const mentioning = new WeakMap();

// Whether a node names something IE11 lacks: a global, a member, or the
// name tested with `in`.
function namesLacked(node) {
  const { globals, members, names: memberNames } = lackedNames();
  if (node.type === 'Identifier') return globals.has(node.name);
  if (node.type === 'MemberExpression') {
    const property = propertyName(node);
    let owner = node.object;
    if (owner.type === 'MemberExpression' && propertyName(owner) === 'prototype') {
      owner = owner.object;
    }
    if (!property) return false;
    if (DOM_ROOTS.has(rootOf(owner))) return memberNames.has(property);
    if (owner.type !== 'Identifier') return false;
    return WINDOW_NAMES.has(owner.name) ? globals.has(property) :
      members.has(owner.name + '.' + property);
  }
  return node.type === 'BinaryExpression' && node.operator === 'in' &&
    node.left.type === 'Literal' && typeof node.left.value === 'string' &&
    (globals.has(node.left.value) || memberNames.has(node.left.value));
}

function isUndefined(node) {
  return (node.type === 'Identifier' && node.name === 'undefined') ||
    (node.type === 'UnaryExpression' && node.operator === 'void');
}

// What a condition comes to in IE11, where what it names that IE11 lacks is
// undefined: true, false, or null when that is not known. An exit on a test
// that is false there (`if (window.Promise) return;`, as a polyfill starts)
// leaves IE11 to run what follows.
function inIE11(test) {
  if (test.type === 'UnaryExpression' && test.operator === '!') {
    const value = inIE11(test.argument);
    return value === null ? null : !value;
  }
  if (test.type === 'LogicalExpression' && test.operator !== '??') {
    const [left, right] = [inIE11(test.left), inIE11(test.right)];
    const decides = test.operator === '||';
    if (left === decides || right === decides) return decides;
    return left === !decides && right === !decides ? !decides : null;
  }
  if (test.type === 'BinaryExpression' && /^[!=]==?$/.test(test.operator)) {
    const equal = test.operator.startsWith('=');
    for (const [one, other] of [[test.left, test.right], [test.right, test.left]]) {
      // typeof X === 'undefined'; X == null, X === undefined
      const typeOf = one.type === 'UnaryExpression' && one.operator === 'typeof';
      if (typeOf && namesLacked(one.argument) && other.type === 'Literal' &&
        typeof other.value === 'string') {
        return (other.value === 'undefined') === equal;
      }
      if (namesLacked(one) && (isUndefined(other) || (other.type === 'Literal' &&
        other.value === null && test.operator.length === 2))) {
        return equal;
      }
    }
    return null;
  }
  // What IE11 lacks reads as undefined, and `'name' in X` as false.
  return namesLacked(test) ? false : null;
}

const FUNCTION = /^(FunctionDeclaration|FunctionExpression|ArrowFunctionExpression)$/;
const EXIT = /^(Return|Throw|Break|Continue)Statement$/;

// Whether a statement always leaves the statements after it: a return, a
// throw, a break or a continue, or a block that ends in one.
function exits(statement) {
  if (!statement) return false;
  if (statement.type !== 'BlockStatement') return EXIT.test(statement.type);
  return exits(statement.body[statement.body.length - 1]);
}

// The list of statements that `outer` holds `inner` in: a block's, a
// program's, a switch case's (the walk passes from a switch to its cases'
// statements, the case between left out).
function listOf(outer, inner) {
  const lists = outer.type === 'SwitchStatement' ? outer.cases.map((c) => c.consequent) :
    outer.type === 'BlockStatement' || outer.type === 'Program' ? [outer.body] : [];
  return lists.find((statements) => statements.includes(inner)) || null;
}

// Whether a statement leaves its list on a test of what IE11 lacks (`if (!X)
// return;`, `if (typeof X === 'undefined') continue;`), unless the test is
// known not to hold in IE11.
function leavesWhereLacked(statement) {
  if (statement.type !== 'IfStatement') return false;
  const consequent = exits(statement.consequent);
  const alternate = exits(statement.alternate);
  if (!(consequent || alternate) || !mentionsLacked(statement.test)) return false;
  const value = inIE11(statement.test);
  return (consequent && value !== false) || (alternate && value !== true);
}

// Each list's first such statement, found once: a script's uses are many, and
// each looks back along every list around it.
const firstExits = new WeakMap();

// Whether an earlier statement of the same list leaves it on a test of what
// IE11 lacks: in IE11 the statements after it are never reached, as in a
// branch on that test.
function afterEarlyExit(outer, inner) {
  const list = listOf(outer, inner);
  if (!list) return false;
  if (!firstExits.has(list)) firstExits.set(list, list.findIndex(leavesWhereLacked));
  const exit = firstExits.get(list);
  return exit >= 0 && exit < list.indexOf(inner);
}

// Whether the use at the end of `chain` is one IE11 never gets to throw at:
// inside a try whose catch takes the exception (in the same function), or
// in a branch whose condition tests something IE11 lacks, or after a
// statement that leaves on such a test.
function guarded(chain) {
  let sameFunction = true;
  for (let i = chain.length - 2; i >= 0; i -= 1) {
    const outer = chain[i];
    const inner = chain[i + 1];
    if (FUNCTION.test(inner.type)) sameFunction = false;
    if (outer.type === 'TryStatement' && outer.handler && outer.block === inner && sameFunction) {
      return true;
    }
    const branch = (outer.type === 'IfStatement' || outer.type === 'ConditionalExpression') &&
      outer.test !== inner ? outer.test :
      outer.type === 'LogicalExpression' && outer.right === inner ? outer.left : null;
    if (branch && mentionsLacked(branch) && !takenInIE11(outer, inner, branch)) return true;
    if (afterEarlyExit(outer, inner)) return true;
  }
  return false;
}

// Whether IE11 takes the branch of `outer` that holds `inner`, as far as its
// test tells: `Object.assign ? a : Object.assign(b)` tests for what IE11
// lacks, and IE11 runs the use it was meant to keep from.
function takenInIE11(outer, inner, test) {
  const value = inIE11(test);
  if (value === null) return false;
  if (outer.type !== 'LogicalExpression') return value === (outer.consequent === inner);
  return outer.operator === '??' ? false : value === (outer.operator === '&&');
}

// Adds to `tested` what the script tests for with `in`: 'Promise' in window,
// 'Symbol' in g (g being the global object under another name), 'assign' in
// Object.
function testedByIn(node, tested) {
  if (node.operator !== 'in') return;
  if (node.left.type !== 'Literal' || typeof node.left.value !== 'string') return;
  tested.add(node.left.value);
  if (node.right.type === 'Identifier') tested.add(node.right.name + '.' + node.left.value);
}

// {used: [[name, count, line, column]], tested: [name], places} of the
// script whose syntax tree is `tree`: the globals and static members it
// uses where IE11 would throw without them, unguarded (lines from 1, columns
// from 0, the first use, where place(node) says it starts), those it tests
// for, and the places of what IE11 lacks that the page run notes (placed(),
// occurs(), memberPlaced()).
function referencesOf(tree, place) {
  const used = new Map();
  const places = {};
  const tested = new Set();
  const note = (name, node, chain, bare) => {
    if (isTested(chain)) {
      tested.add(name);
      occurs(places, name, chain, place, false);
      return;
    }
    const use = (bare || throwsWhenMissing(chain)) && !guarded(chain);
    occurs(places, name, chain, place, use);
    if (!use) return;
    placed(places, name, chain[chain.length - 1], place);
    const seen = used.get(name);
    if (seen) {
      seen.count += 1;
      return;
    }
    const start = place(node);
    used.set(name, { count: 1, line: start.line, column: start.column });
  };
  for (const global of findGlobals(tree)) {
    for (const node of global.nodes) {
      const chain = node.parents;
      if (node.type !== 'Identifier') continue;
      let name = global.name;
      let at = chain.length - 1;
      const viaWindow = WINDOW_NAMES.has(name) && memberOf(node, chain[at - 1]);
      if (viaWindow) {
        name = propertyName(viaWindow);
        if (!name) continue;
        at -= 1;
      }
      note(name, node, chain.slice(0, at + 1), !viaWindow);
      const member = memberOf(chain[at], chain[at - 1]);
      if (member && propertyName(member)) {
        note(name + '.' + propertyName(member), node, chain.slice(0, at), false);
      }
    }
  }
  // One walk for both: a big bundle's tree is walked in a tenth of a second.
  walk.ancestor(tree, {
    BinaryExpression: (node) => testedByIn(node, tested),
    MemberExpression: (node, state, ancestors) => memberPlaced(node, ancestors, places, place),
  });
  return {
    used: Array.from(used, ([name, place]) => [name, place.count, place.line, place.column]),
    tested: Array.from(tested),
    places: places,
  };
}

// Uses of one static member placed, by the script that has the most.
const MOST_PLACES = 100;

// Adds to `places` where a use of a static member IE11 lacks reads it:
// {'Object.assign': [[line, column]]}, at the member's name, where V8
// places the read that the page run notes (reached.js).
function placed(places, name, member, place) {
  if (member.type !== 'MemberExpression' || !lackedNames().members.has(name)) return;
  const list = places[name] || (places[name] = []);
  if (list.length === MOST_PLACES) return;
  const at = place(member.property);
  list.push([at.line, at.column]);
}

// Adds to `places` each bare name of a global IE11 lacks, [line, column,
// use, statement line, statement column]: use 1 where IE11 throws at it
// unguarded, 0 where it is tested or guarded. V8 places its read where the
// statement or an expression around the name starts, and the page run notes
// it there (reached.js): the name it is is the first at or after that place
// in the same innermost statement.
function occurs(places, name, chain, place, use) {
  const node = chain[chain.length - 1];
  if (node.type !== 'Identifier' || node.name !== name || !lackedNames().globals.has(name)) return;
  const list = places[name] || (places[name] = []);
  if (list.length === MOST_PLACES) return;
  let statement = chain[0];
  for (let i = chain.length - 2; i >= 0; i -= 1) {
    if (/Statement$|Declaration$/.test(chain[i].type)) {
      statement = chain[i];
      break;
    }
  }
  const at = place(node);
  const from = place(statement);
  list.push([at.line, at.column, use ? 1 : 0, from.line, from.column]);
}

// Adds to `places` a use of a member by a name that IE11 lacks on some
// prototype, whatever object it is read from (x.includes(1), el.closest(s)):
// {'.includes': [[line, column]]}, at the member's name, where V8 places a
// read that the page run notes (reached.js) with the owner it missed on.
function memberPlaced(member, ancestors, places, place) {
  const name = propertyName(member);
  if (!name || !lackedNames().names.has(name)) return;
  const list = places['.' + name] || [];
  if (list.length === MOST_PLACES) return;
  if (!throwsWhenMissing(ancestors) || isTested(ancestors) || guarded(ancestors)) return;
  const at = place(member.property);
  list.push([at.line, at.column]);
  places['.' + name] = list;
}

module.exports = { referencesOf: referencesOf };
