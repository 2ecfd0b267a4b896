'use strict';
// The scripts a page adds itself: an element appended or inserted, with src
// or with text (jQuery's $.getScript puts the text in one), and a <script>
// that document.write puts in the page while it parses. The check fetches
// them, never the run: the run asks for each on stdout,
//   want {key, url, text, size, by, during, loading}
//        url for one with src; text (the first MOST_INLINE characters) and
//        size for one with text; by the script that added it, during the
//        event fired, loading whether the page had not yet loaded,
// and the check answers on stdin with one line,
//   {event: 'script', key, index, text} or {event: 'script', key, error},
// an index after the page's own that both runs get for the same script. Until
// the answer for an inline one comes, what it raises and brings waits.
require('jsdom');
const ResourceQueue = require('jsdom/lib/jsdom/browser/resources/resource-queue.js');
const ScriptImpl = require('jsdom/lib/jsdom/living/nodes/HTMLScriptElement-impl.js').implementation;
const { wrapperForImpl, implForWrapper } = require('jsdom/lib/jsdom/living/generated/utils.js');

// Characters of an added inline script sent with its want line: the run's
// output is bounded, and the check judges a larger one past its own bound
// on bytes, by the size alone.
const MOST_INLINE = 1 << 20;

// jsdom queues a script that document.write puts in the page behind every
// script the HTML names, and an inline one that is written or inserted too,
// once any script is queued. IE11 runs a written one in place, before the
// rest of the page (the polyfill loader `window.Promise ||
// document.write('<script src=...>')` counts on that), and an inserted inline
// one at once (jQuery's globalEval removes it right after). So a written one
// goes right behind its writer, after what the writer wrote before it, and
// an inline one that the parser did not put in place runs at once.
function writeInPlace() {
  const push = ResourceQueue.prototype.push;
  ResourceQueue.prototype.push = function (request, onLoad, onError, keepLast, element) {
    const script = element && element.localName === 'script';
    if (script && !request && (!element._parserInserted || element._isMovingDueToDocumentWrite)) {
      return onLoad();
    }
    const writer = script && element._isMovingDueToDocumentWrite ?
      element._ownerDocument._writeAfterElement : null;
    if (!writer) return push.apply(this, arguments);
    let head = this.tail;
    while (head && head.prev) head = head.prev;
    // A writer that ran as the parser met it, with no script queued before
    // it, has the rest of the page's scripts queued after it anyway.
    if (!head || head.element !== writer) return push.apply(this, arguments);
    const after = head.written || head;
    const rest = after.next;
    const tail = this.tail;
    after.next = undefined;
    this.tail = after;
    const request_ = push.apply(this, arguments);
    const item = this.tail;
    head.written = item;
    if (rest) {
      item.next = rest;
      rest.prev = item;
      this.tail = tail;
    }
    return request_;
  };
}

// A script inside written markup (`<div><script>...</script></div>`) runs
// in place too, as IE11 runs it: jsdom moves only the markup's top nodes
// into the page as written, and a script below one of them would never run.
function writeNestedInPlace() {
  const attach = ScriptImpl.prototype._attach;
  ScriptImpl.prototype._attach = function () {
    const nested = this._parserInserted && !this._alreadyStarted &&
      !this._isMovingDueToDocumentWrite && writtenAbove(this);
    if (nested) this._isMovingDueToDocumentWrite = true;
    try {
      return attach.apply(this, arguments);
    } finally {
      if (nested) this._isMovingDueToDocumentWrite = false;
    }
  };
}

// Whether a node lies below one that document.write is moving into the page.
function writtenAbove(node) {
  for (let above = node.parentNode; above; above = above.parentNode) {
    if (above._isMovingDueToDocumentWrite) return true;
  }
  return false;
}

// A script run in place from within another leaves that one's place as it
// was (jsdom would forget where the writer writes and which script runs),
// and an inline script gets the file name that fileOf gives it, so that
// what an added one raises is placed in its own lines, not the page's.
function followEval(fileOf) {
  const innerEval = ScriptImpl.prototype._innerEval;
  ScriptImpl.prototype._innerEval = function (text, filename) {
    const document = this._ownerDocument;
    const writer = document._writeAfterElement;
    const running = document._currentScript;
    const file = this.hasAttributeNS(null, 'src') ? filename :
      fileOf(wrapperForImpl(this), text, filename);
    try {
      return innerEval.call(this, text, file);
    } finally {
      if (writer) document._writeAfterElement = writer;
      document._currentScript = running;
    }
  };
}

// Whether a script element is one the page's HTML names: the check fetched
// those already (and one it could not fetch is not asked for again).
function named(element) {
  const impl = implForWrapper(element);
  return Boolean(impl && impl._parserInserted && !impl._isMovingDueToDocumentWrite);
}

// The run's record of the scripts added: by key (an address, or 'inline N'),
// by element, and those asked for and not yet answered.
function addedOf(emit, addedBy) {
  return { emit: emit, addedBy: addedBy, byKey: new Map(), byElement: new WeakMap(),
    files: new Map(), waiting: new Map(), pending: new Set(), inline: 0, held: 0 };
}

// Calls then with a script's index: at once when it is known, once the
// check's answer comes when it is not (never, for one it did not take).
function later(page, index, then) {
  if (!(index instanceof Promise)) return then(index);
  const done = index.then((known) => { if (known !== null) then(known); });
  page.added.pending.add(done);
  return done;
}

// Asks the check for a script; the record's index and text are promises,
// and its index the number once the answer came.
function ask(page, key, fields, element) {
  const added = page.added;
  let settle = null;
  const record = { key: key, url: fields.url || null, index: null };
  record.answer = new Promise((resolve) => { settle = resolve; });
  record.ready = record.answer.then((answer) => answer.index);
  added.byKey.set(key, record);
  added.waiting.set(key, (answer) => {
    record.index = answer.index;
    settle(answer);
  });
  hold(page, 1);
  record.answer.then(() => hold(page, -1));
  const loading = element.ownerDocument.readyState !== 'complete';
  const during = page.during();
  later(page, added.addedBy(), (by) => added.emit('want', Object.assign({ key: key, by: by,
    during: during, loading: loading }, fields)));
  return record;
}

// stdin keeps the run alive only while it waits for the check: a page whose
// code ends early still ends the run.
function hold(page, change) {
  page.added.held += change;
  if (page.added.held > 0) process.stdin.ref();
  else process.stdin.unref();
}

// What the loader answers for an added script with src: its text once the
// check has it, or a rejection, and then jsdom fires its error event.
function fetched(page, url, element) {
  const record = page.added.byKey.get(url) || ask(page, url, { url: url }, element);
  page.added.byElement.set(element, record);
  return record.answer.then((answer) => {
    if (answer.index === null) throw new Error(answer.error);
    if (!page.scripts[answer.index]) {
      page.scripts[answer.index] = { url: url, text: answer.text, line: 1, column: 0 };
      page.external.set(url, answer.index);
    }
    return Buffer.from(answer.text);
  });
}

// The file an inline script runs as: the page's own runs as the page; an
// added one as 'added-inline-N', its lines counted from its own first.
function inlineFile(page, isOwn, element, text, filename) {
  if (isOwn(element)) return filename;
  const added = page.added;
  let record = added.byKey.get('text ' + text);
  if (!record) {
    const key = 'inline ' + ++added.inline;
    record = ask(page, key, { text: text.slice(0, MOST_INLINE), size: text.length }, element);
    added.byKey.set('text ' + text, record);
    record.file = 'added-inline-' + added.inline;
    added.files.set(record.file, record);
  }
  added.byElement.set(element, record);
  return record.file;
}

// The index of an added script by its element or its file, as a number,
// a promise of one, or undefined for none.
function indexOfAdded(page, element, file) {
  const record = element ? page.added.byElement.get(element) : page.added.files.get(file);
  if (!record) return undefined;
  return record.index !== null ? record.index : record.ready;
}

// One line of the check's on stdin; an answer for no script asked is ignored.
function answered(page, line) {
  const settle = page.added.waiting.get(line.key);
  if (!settle) return;
  page.added.waiting.delete(line.key);
  const index = Number.isInteger(line.index) && typeof line.text === 'string' ? line.index : null;
  settle({ index: index, text: index === null ? null : line.text,
    error: String(line.error || 'not fetched') });
}

// stdin closed: what is still asked for is not coming.
function unanswered(page) {
  for (const key of Array.from(page.added.waiting.keys())) {
    answered(page, { key: key, error: 'the check gave no answer' });
  }
}

// Resolves once what waits for an index has been written.
async function settled(page) {
  while (page.added.pending.size) {
    const pending = Array.from(page.added.pending);
    page.added.pending.clear();
    await Promise.all(pending);
  }
}

module.exports = { named, writeInPlace, writeNestedInPlace, followEval, addedOf, later, fetched,
  inlineFile, indexOfAdded, answered, unanswered, settled, hold };
