'use strict';
// What the page's code raises in a run (run_page.js), placed in the script
// that raised it and written out with what IE11 lacks that its message
// names; and the script that a place, an element or a stack is in.
const added = require('./added.js');

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
  const event = page.during();
  added.later(page, index, (script) => page.emit('exception', Object.assign({ script: script,
    message: message, lacks: names }, where, event ? { during: event } : {})));
}

// {index, where}: the script and the place in it, or only the script.
function placeOf(page, error, file, line, column) {
  // jsdom gives line 0 to what it cannot place: a thrown string, or an
  // exception whose first frame is a built-in's (JSON.parse).
  let index = file && line ? scriptAt(page, file, line) : null;
  if (index !== null) {
    return { index: index, where: within(page, index, line, ownColumn(page, file, line, column)) };
  }
  const frames = framesOf(error);
  for (const frame of frames) {
    index = scriptAt(page, frame.file, frame.line);
    if (index !== null) {
      const own = ownColumn(page, frame.file, frame.line, frame.column);
      return { index: index, where: within(page, index, frame.line, own) };
    }
  }
  index = file ? scriptAt(page, file, line) : null;
  if (index === null && page.current) index = page.current();
  const thrown = frames.length ? null : thrownAt(page, said(error), index);
  return thrown || { index: index, where: { line: null, column: null } };
}

// A column V8 gives, in the script's own line: the plain run rewrites the
// lines that call eval (eval_text.js).
function ownColumn(page, file, line, column) {
  return page.unshift ? page.unshift(file, line, column) : column;
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

// What the page's code raises from a timer or a promise reaches Node
// itself.
function reportUncaught(pageNow) {
  const reported = (error) => { if (pageNow()) report(pageNow(), error, null, 0, 0); };
  process.on('uncaughtException', reported);
  process.on('unhandledRejection', reported);
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

module.exports = { report, reportUncaught, namesOf, indexOf, addedBy, placeOf, framesOf,
  scriptAt };
