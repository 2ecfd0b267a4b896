'use strict';
// What IE11 cannot read of a rule's selectors, which drops the whole rule,
// and a rule's selectors as the page run can match them in its document
// (stylesheets.js).
const csstree = require('css-tree');
const { css } = require('./ie11.js');
const { OTHER_ENGINE, own, inIE11, aliasesOf } = require('./css_names.js');

const SELECTORS = css().selectors;

function isListed(node) {
  const list = node.children && node.children.first;
  return Boolean(list && list.type === 'SelectorList' && list.children.size > 1);
}

// Why IE11 cannot read a pseudo-class or -element: {kind, name, place}, or
// null when it can, when it is IE's own (-ms-) or when bcd does not know it.
function pseudoDrop(node) {
  const name = node.name.toLowerCase();
  if (name.startsWith('-ms-') || !own(SELECTORS, name) || !SELECTORS[name].__compat) return null;
  const feature = SELECTORS[name];
  const kind = (node.type === 'PseudoElementSelector' ? '::' : ':') + name +
    (node.children ? '()' : '');
  if (!inIE11(feature.__compat, name, name)) return { kind: kind, name: name, place: node.loc.start };
  if (name === 'not' && feature.selector_list && isListed(node) &&
      !inIE11(feature.selector_list.__compat, name, name)) {
    return { kind: ':not() with a selector list', name: null, place: node.loc.start };
  }
  return null;
}

// The first thing in a rule's selectors that IE11 cannot read, or 'other'
// when the rule is written for another engine (::-moz-focus-inner).
function selectorDrop(prelude) {
  let drop = null;
  let otherEngine = false;
  csstree.walk(prelude, (node) => {
    if (node.type !== 'PseudoClassSelector' && node.type !== 'PseudoElementSelector') return;
    if (OTHER_ENGINE.test(node.name.toLowerCase())) otherEngine = true;
    else drop = drop || pseudoDrop(node);
  });
  return otherEngine ? 'other' : drop;
}

// The -ms- names that bcd gives a pseudo-class or -element under, for any
// browser: placeholder -> -ms-input-placeholder.
function msForms(features) {
  const forms = new Map();
  for (const [alias, keys] of aliasesOf(features)) {
    if (!alias.startsWith('-ms-')) continue;
    for (const key of keys) forms.set(key, (forms.get(key) || []).concat(alias));
  }
  return forms;
}

const MS_FORMS = msForms(SELECTORS);

// A rule's selectors as text, with pseudo-classes and -elements alike.
function selectorText(prelude) {
  return csstree.generate(prelude).toLowerCase().replace(/::/g, ':');
}

// Whether the sheet also has the rule in IE's own form
// (.a:-ms-input-placeholder beside .a::placeholder).
function hasTwin(prelude, drop, sheet) {
  if (!drop.name || !MS_FORMS.has(drop.name)) return false;
  if (!sheet.selectors) {
    sheet.selectors = new Set(sheet.rules.map((rule) => selectorText(rule.prelude)));
  }
  const around = selectorText(prelude).split(new RegExp(':' + drop.name + '(?![-\\w])'));
  return MS_FORMS.get(drop.name).some((form) => sheet.selectors.has(around.join(':' + form)));
}

// A selector as the page run can match it in its document: without its
// pseudo-classes and -elements, which name a state the run does not put the
// page in (:hover, :focus-within), a part of a box (::before) or what the
// run's selector engine may not read (:focus-visible). What is left matches
// at least the elements the whole does, so a rule that it matches in none
// is of no element of the page. A compound of pseudo-classes alone is any
// element (*).
function matchableSelector(selector) {
  const parts = [];
  let compound = [];
  const close = () => {
    parts.push(compound.length ? compound.join('') : '*');
    compound = [];
  };
  for (const node of selector.children.toArray()) {
    if (node.type === 'Combinator') {
      close();
      parts.push(csstree.generate(node));
    } else if (node.type !== 'PseudoClassSelector' && node.type !== 'PseudoElementSelector') {
      compound.push(csstree.generate(node));
    }
  }
  close();
  return parts.join('');
}

// A rule's selectors as the page run can match them, or null when they
// match any element or cannot be read: the rule is then never taken for one
// of no element.
function matchable(prelude) {
  if (prelude.type !== 'SelectorList') return null;
  const list = prelude.children.toArray().map((selector) =>
    selector.type === 'Selector' ? matchableSelector(selector) : '*');
  return list.includes('*') ? null : Array.from(new Set(list)).join(', ');
}

module.exports = { selectorDrop, hasTwin, matchable };
