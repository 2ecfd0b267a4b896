'use strict';
// What Internet Explorer 11 lacks of what a page's scripts can reach, taken
// from MDN's browser-compat-data when the check runs: the JavaScript
// built-ins and the Web API interfaces, functions and members whose IE
// support is false, later than 11, removed by 11, or only under a prefix or
// another name. The data keeps IE's entries although it no longer tracks
// the browser, and its IE verdicts are final.
const fs = require('fs');
const path = require('path');

// bcd is 12 MB of JSON, and reading it is most of a short program's time:
// where the check has kept what the programs take of it (node.py), they
// read that instead, and bcd itself only where it has not.
let bcdData = null;
function bcd() {
  if (!bcdData) bcdData = require('@mdn/browser-compat-data');
  return bcdData;
}

// A file of the facts kept by the check (PORTAL_CHECK_FACTS names their
// folder), or null where there is none or it cannot be read.
function kept(name) {
  const folder = process.env.PORTAL_CHECK_FACTS;
  if (!folder) return null;
  try {
    return JSON.parse(fs.readFileSync(path.join(folder, name), 'utf8'));
  } catch (ignored) {
    return null;
  }
}

// A version of bcd's ("11", "≤11", true) that IE 11 has reached. An
// unknown one (null) is not taken as missing: the check names only what is
// known.
function byIE11(version) {
  if (version === true || version === null) return true;
  return typeof version === 'string' && parseFloat(version.replace('≤', '')) <= 11;
}

// Whether IE 11 has what one of bcd's IE support statements describes,
// under whatever name the statement gives it: added by 11, not removed by
// then, and not behind a flag.
function statementHolds(statement) {
  return !statement.flags && byIE11(statement.version_added) &&
    !(statement.version_removed && byIE11(statement.version_removed));
}

// An entry IE 11 runs as named: neither under a prefix nor another name.
function inIE11(support) {
  if (support === undefined) return true;
  return [].concat(support).some((statement) => !statement.prefix &&
    !statement.alternative_name && statementHolds(statement));
}

function lacking(entry) {
  return Boolean(entry && entry.__compat) && !inIE11(entry.__compat.support.ie);
}

// Names that are data of an entry, not properties: @@iterator and the
// like are symbols, x_event an event, and lower-case words with an
// underscore sub-features such as worker_support.
function isProperty(name) {
  return /^[A-Za-z$][\w$]*$/.test(name) && !/_/.test(name);
}

// [{owner, name}] of what IE11 lacks: owner null for a global, else the
// global whose member (static or on its prototype) it is. A member whose
// owner IE11 lacks altogether goes with its owner. name === owner is the
// constructor of an interface IE11 has but cannot build with new.
let lacked = null;
function lacks() {
  if (!lacked) lacked = kept('lacks.json') || lacksInBcd();
  return lacked;
}

function lacksInBcd() {
  const found = [];
  const tree = [bcd().javascript.builtins, bcd().api];
  for (const branch of tree) {
    for (const owner of Object.keys(branch)) {
      if (!isProperty(owner)) continue;
      if (lacking(branch[owner])) {
        found.push({ owner: null, name: owner });
        continue;
      }
      for (const name of Object.keys(branch[owner])) {
        if (isProperty(name) && lacking(branch[owner][name])) found.push({ owner: owner, name: name });
      }
    }
  }
  return found;
}

// bcd's CSS entries, as the stylesheets check reads them.
function css() {
  return kept('css.json') || bcd().css;
}

module.exports = { lacks: lacks, css: css, statementHolds: statementHolds };

// Run as a program (node.py), it writes the facts into the folder it is
// given, to be kept.
if (require.main === module) {
  fs.writeFileSync(path.join(process.argv[2], 'lacks.json'), JSON.stringify(lacksInBcd()));
  fs.writeFileSync(path.join(process.argv[2], 'css.json'), JSON.stringify(bcd().css));
}
