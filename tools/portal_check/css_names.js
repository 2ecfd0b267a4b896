'use strict';
// How browser-compat-data (bcd) files a CSS feature's names, and whether IE11
// has a feature under the name a stylesheet writes (stylesheets.js).
const { statementHolds } = require('./ie11.js');

// -webkit-, -moz-, -o-, ...: written for other engines, which IE11 is meant
// to skip. -ms- is IE's own.
const OTHER_ENGINE = /^-(?!ms-)[a-z]+-/;

function own(object, key) {
  return Object.prototype.hasOwnProperty.call(object, key);
}

// ":-ms-input-placeholder" and "::-webkit-file-upload-button" as names.
function bare(name) {
  return name.replace(/^:+/, '').replace(/\(\)$/, '');
}

// Whether IE11 has a feature under the name the stylesheet writes. bcd files
// it under `base`; a statement with a prefix or another name covers only that
// form of it, and one behind a flag none (players do not set flags).
function inIE11(compat, name, base) {
  if (!compat.support.ie) return true;
  return [].concat(compat.support.ie).some((statement) => {
    const form = statement.prefix ? statement.prefix + base :
      statement.alternative_name ? bare(statement.alternative_name) : base;
    return form === name && statementHolds(statement);
  });
}

// Every prefixed or other name that any browser has a feature under, in any
// layout, to the keys bcd files it under: -ms-grid-columns ->
// grid-template-columns and grid-auto-columns, grid-gap -> gap, word-wrap ->
// overflow-wrap, -ms-flexbox -> flex (of display).
function aliasesOf(features) {
  const aliases = new Map();
  for (const [key, feature] of Object.entries(features)) {
    if (key === '__compat' || !feature.__compat) continue;
    const contexts = Object.keys(feature).filter((name) => name.endsWith('_context'));
    const entries = [feature].concat(contexts.map((name) => feature[name]));
    const support = entries.flatMap((entry) => Object.values(entry.__compat.support));
    for (const statements of support) {
      for (const statement of [].concat(statements)) {
        const name = statement.prefix ? statement.prefix + key :
          statement.alternative_name && bare(statement.alternative_name);
        if (!name || name === key) continue;
        const keys = aliases.get(name) || [];
        if (!keys.includes(key)) aliases.set(name, keys.concat(key));
      }
    }
  }
  return aliases;
}

module.exports = { OTHER_ENGINE, own, bare, inIE11, aliasesOf };
