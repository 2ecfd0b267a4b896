'use strict';
// The node side of the stylesheets check (stylesheets.py): reads a JSON list of
// stylesheet texts on stdin and writes, for each, what Internet Explorer 11
// drops of it that changes the page's layout or colours:
//   {rules, imports: [{url, line, column}], selectors: [text or null],
//    found: [{name, count, line, column, places: [[line, column, selector]]}]}
// or {error} when css-tree cannot read it at all. rules counts the style rules
// read; imports are the sheet's @import addresses; found names each kind of
// dropped declaration or rule with its count and first place, in the order of
// first places, and each of its places with its rule: an index into
// selectors, which hold the rule's selectors as the page run can match them
// (matchable()), or null for an @font-face, which no selector holds. Lines
// and columns count from 1.
//
// What IE11 has comes from MDN's browser-compat-data (bcd), never from a list
// of our own. What counts as a fallback follows the engine: it drops a
// declaration it cannot read and keeps the rule's other declaration of the
// same property, and it drops a whole rule over one selector it cannot read.
const csstree = require('css-tree');
const { css } = require('./ie11.js');
const { OTHER_ENGINE, own, inIE11, aliasesOf } = require('./css_names.js');
const { selectorDrop, hasTwin, matchable } = require('./css_selectors.js');
const { lostFormat } = require('./css_fonts.js');

const BCD_CSS = css();
const PROPERTIES = BCD_CSS.properties;
const SELECTORS = BCD_CSS.selectors;
const MEDIA = BCD_CSS['at-rules'].media;

// The CSS modules whose properties place and size boxes (display, flex, grid,
// alignment and gaps, columns, positioning, margins and paddings, sizes,
// logical margins, paddings and insets) or colour them (colour, backgrounds
// and borders), by the name that the address each property's entry in bcd
// links to gives its module. A property that IE11 lacks outside these
// (user-select, scroll-behavior, outline-offset, text-decoration-skip-ink,
// ...) leaves the page as designed, and a rule that sets only such properties
// is no loss either. Neither bcd nor css-tree says which properties matter to
// layout; the modules they belong to do.
// How an image fills its box (object-fit, object-position) is its box's
// layout.
const LAYOUT_AND_COLOUR = new Set(['css-display', 'css-flexbox', 'css-grid', 'css-align',
  'css-multicol', 'css-position', 'css-box', 'css-sizing', 'css-logical', 'css-color',
  'css-backgrounds', 'css-images']);

// A bcd entry of a CSS function has its name alone as description:
// "<code>min()</code>", "<code>rgb()</code> (RGB color model)".
const FUNCTION_ENTRY = /^<code>([a-z][a-z0-9-]*)\(\)<\/code>(?: \([^)]*\))?$/;

const PROPERTY_ALIASES = aliasesOf(PROPERTIES);
const VALUE_ALIASES = new Map();

// The bcd keys of a property as written; none when bcd does not know it (a
// typo, or an old IE hack such as *zoom).
function propertyKeys(name) {
  if (own(PROPERTIES, name) && PROPERTIES[name].__compat) return [name];
  return PROPERTY_ALIASES.get(name) || [];
}

// The CSS functions (name -> bcd entry) that an entry holds at any depth.
function functionsIn(entry, found) {
  for (const [key, feature] of Object.entries(entry)) {
    if (key === '__compat' || !feature || typeof feature !== 'object') continue;
    const named = feature.__compat && FUNCTION_ENTRY.exec(feature.__compat.description || '');
    if (named && !found.has(named[1])) found.set(named[1], feature);
    functionsIn(feature, found);
  }
  return found;
}

// var() and env() are filed with custom properties, the rest with the types.
const FUNCTIONS = functionsIn({ types: BCD_CSS.types,
  custom: PROPERTIES['custom-property'] }, new Map());
const PROPERTY_FUNCTIONS = new Map();

// A property's own entries for functions (repeat() in grid-template-columns)
// come before the general ones.
function functionEntry(key, name) {
  if (key && !PROPERTY_FUNCTIONS.has(key)) {
    PROPERTY_FUNCTIONS.set(key, functionsIn(PROPERTIES[key], new Map()));
  }
  return (key && PROPERTY_FUNCTIONS.get(key).get(name)) || FUNCTIONS.get(name);
}

function moduleOf(url) {
  return url.split('#')[0].replace(/\/$/, '').split('/').pop().replace(/-\d+$/, '');
}

function setsLayoutOrColour(key) {
  return [].concat(PROPERTIES[key].__compat.spec_url || [])
    .some((url) => LAYOUT_AND_COLOUR.has(moduleOf(url)));
}

// Display values that set up no layout of their own.
const CSS_WIDE = new Set(['inherit', 'initial', 'unset', 'revert', 'revert-layer']);

// The layout a rule sets up for its own box, as bcd names the contexts of
// properties whose support differs by layout (column-gap: IE11 has it between
// columns only), or 'block' for a display of another kind.
function layoutOf(declarations) {
  let block = false;
  for (const declaration of declarations) {
    const property = declaration.property.toLowerCase();
    if (['columns', 'column-count', 'column-width'].includes(property)) return 'multicol';
    if (property !== 'display') continue;
    const value = csstree.generate(declaration.value).toLowerCase();
    if (value.includes('flex')) return 'flex';
    if (value.includes('grid')) return 'grid';
    block = block || !CSS_WIDE.has(value);
  }
  // A rule that sets up none is most often a utility class (.gap-3,
  // .align-items-center) for a flex container: judged as one.
  return block ? 'block' : 'flex';
}

// The layouts in which each property that bcd gives contexts acts, in any
// browser (CSS Box Alignment: flex items take no justify-self, and neither
// does a block's content nor its children in the browsers there are); left
// out, one that acts wherever it applies. Elsewhere IE11's dropping it is no
// loss: nothing there would have used it.
const ACTS_IN = {
  'align-items': ['flex', 'grid'], 'align-self': ['flex', 'grid'],
  'justify-content': ['flex', 'grid'], 'justify-items': ['grid'], 'justify-self': ['grid'],
  'place-content': ['flex', 'grid'], 'place-items': ['flex', 'grid'],
  'place-self': ['flex', 'grid'], 'gap': ['flex', 'grid', 'multicol'],
  'row-gap': ['flex', 'grid'], 'column-gap': ['flex', 'grid', 'multicol'],
};

// The layout a declaration acts in: a -self property aligns the box within
// its container, whose layout the rule does not say, and is judged as a
// flex item's, as a utility class is; the others the rule's own box's.
function contextOf(key, layout) {
  return key && key.endsWith('-self') ? 'flex' : layout;
}

function propertyInIE11(name, key, layout) {
  const entry = PROPERTIES[key];
  const context = own(entry, layout + '_context') ? entry[layout + '_context'] : entry;
  return inIE11(context.__compat, name, key);
}

// Whether bcd files a keyword value of a property under the keyword itself,
// as position's sticky, width's fit-content and display's flow-root: an
// entry that names no other (its description, where it has one, is the
// keyword). The property's other entries are its layouts, functions and
// notes ("percentages", "multi-keyword_values"), which no keyword names.
function isValueEntry(feature, value) {
  if (!feature || !feature.__compat || !/^[a-z][a-z0-9-]*$/.test(value)) return false;
  const description = feature.__compat.description;
  return !description || description.includes('<code>' + value + '</code>');
}

// Whether IE11 reads a keyword value of a property (bcd key) under the name
// the stylesheet writes (-ms-grid for grid); a keyword bcd does not file is
// taken as read.
function valueInIE11(key, value) {
  const entry = PROPERTIES[key];
  if (!VALUE_ALIASES.has(key)) VALUE_ALIASES.set(key, aliasesOf(entry));
  const keys = own(entry, value) && isValueEntry(entry[value], value) ? [value] :
    VALUE_ALIASES.get(key).get(value) || [];
  return keys.length === 0 || keys.some((name) => inIE11(entry[name].__compat, value, name));
}

function commaSeparated(node) {
  const args = node.children.toArray();
  return args.length < 2 || args.some((arg) => arg.type === 'Operator' && arg.value === ',');
}

// What IE11 cannot read in a function call: the function ("var()"), or the
// way its arguments are written ("space-separated rgb()"); null when it can
// or bcd does not know the function.
function functionKind(node, key) {
  const name = node.name.toLowerCase();
  const entry = functionEntry(key, name);
  if (!entry) return null;
  if (!inIE11(entry.__compat, name, name)) {
    return name === 'var' ? 'custom properties, var()' : name + '()';
  }
  const spaced = entry.space_separated_parameters;
  if (spaced && !commaSeparated(node) && !inIE11(spaced.__compat, name, name)) {
    return 'space-separated ' + name + '()';
  }
  return null;
}

// A declaration as IE11 takes it: {keys, used, kinds, place}. used: IE11
// keeps it; kinds: what it drops it for, that changes layout or colour; null
// for a custom property or one written for another engine, which IE11 is
// meant to drop, and for one that acts in no browser in the layout it is in.
function judgeDeclaration(declaration, layout) {
  const name = declaration.property.toLowerCase();
  if (name.startsWith('--') || OTHER_ENGINE.test(name)) return null;
  const keys = propertyKeys(name);
  const key = keys[0];
  const context = contextOf(key, layout);
  if (key && own(ACTS_IN, key) && !ACTS_IN[key].includes(context)) return null;
  const judged = { keys: keys.length ? keys : [name], used: true, kinds: [],
    place: declaration.loc.start };
  if (key && !name.startsWith('-ms-') && !propertyInIE11(name, key, context)) {
    judged.used = false;
    if (setsLayoutOrColour(key)) judged.kinds.push(name);
    return judged;
  }
  let otherEngine = false;
  csstree.walk(declaration.value, (node) => {
    const named = node.type === 'Function' || node.type === 'Identifier';
    if (named && OTHER_ENGINE.test(node.name.toLowerCase())) otherEngine = true;
    const kind = node.type === 'Function' && functionKind(node, key);
    if (kind && !judged.kinds.includes(kind)) judged.kinds.push(kind);
  });
  if (otherEngine) return null;
  const value = declaration.value.children ? declaration.value.children.toArray() : [];
  for (const node of value) {
    const keyword = node.type === 'Identifier' && node.name.toLowerCase();
    if (!keyword || !key || !setsLayoutOrColour(key) || valueInIE11(key, keyword)) continue;
    if (!judged.kinds.includes(name + ': ' + keyword)) judged.kinds.push(name + ': ' + keyword);
  }
  judged.used = judged.kinds.length === 0;
  return judged;
}

function add(found, kind, place, selector) {
  const seen = found.get(kind);
  if (!seen) {
    found.set(kind, { name: kind, count: 1, line: place.line, column: place.column,
      places: [[place.line, place.column, selector]] });
    return;
  }
  seen.count += 1;
  seen.places.push([place.line, place.column, selector]);
}

// The index in the sheet's selectors of a rule's selectors as the run can
// match them, or null.
function selectorOf(rule, sheet) {
  const text = matchable(rule.prelude);
  if (text === null) return null;
  sheet.asked.push(text);
  return sheet.asked.length - 1;
}

function judgeRule(rule, sheet, found) {
  const drop = selectorDrop(rule.prelude);
  if (drop === 'other') return;
  let selector;
  const note = (kind, place) => {
    if (selector === undefined) selector = selectorOf(rule, sheet);
    add(found, kind, place, selector);
  };
  const declarations = rule.block.children.toArray().filter((node) => node.type === 'Declaration');
  if (drop) {
    const keys = declarations.flatMap((d) => propertyKeys(d.property.toLowerCase()));
    if (keys.some(setsLayoutOrColour) && !hasTwin(rule.prelude, drop, sheet)) {
      note(drop.kind, drop.place);
    }
    return;
  }
  const layout = layoutOf(declarations);
  const judged = declarations.map((d) => judgeDeclaration(d, layout)).filter(Boolean);
  for (const declaration of judged) {
    const fallback = judged.some((other) => other.used &&
      other.keys.some((key) => declaration.keys.includes(key)));
    if (fallback) continue;
    for (const kind of declaration.kinds) note(kind, declaration.place);
  }
}

// An @font-face whose every source is in a format IE11 cannot use: IE11
// shows its text in the next font of the family list. A source in one it can
// use is a fallback. Of several src descriptors the last that IE11 reads
// holds, as with any property, and the earlier ones are no fallback: old
// IE's pattern of an EOT src before the others keeps IE11 on the later one.
function judgeFont(rule, sheet, found) {
  const held = rule.block.children.toArray().filter((node) => node.type === 'Declaration' &&
    node.property.toLowerCase() === 'src' && readByIE11(node.value)).pop();
  if (!held) return;
  const sources = [];
  let source = [];
  for (const part of held.value.children.toArray().concat({ type: 'Operator', value: ',' })) {
    if (part.type !== 'Operator' || part.value !== ',') source.push(part);
    else if (source.length) sources.push(source.splice(0));
  }
  const lost = sources.map(lostFormat);
  if (!lost.length || lost.includes(null)) return;
  add(found, '@font-face only in ' + Array.from(new Set(lost)).join(' and '), rule.loc.start,
    null);
}

// Whether IE11 reads a src descriptor's value: url(), local() and format()
// alone (not tech(), nor a value css-tree could not read).
function readByIE11(value) {
  return Boolean(value.children) && value.children.toArray().every((node) =>
    node.type !== 'Function' || /^(local|format)$/i.test(node.name));
}

// Whether IE11 reads a media feature: not when bcd says it lacks it, nor
// another engine's.
function featureInIE11(name) {
  const lower = name.toLowerCase();
  if (OTHER_ENGINE.test(lower)) return false;
  const base = lower.replace(/^(min|max)-/, '');
  if (lower.startsWith('-ms-') || !own(MEDIA, base) || !MEDIA[base].__compat) return true;
  return inIE11(MEDIA[base].__compat, base, base);
}

// Whether IE11 applies a @media block: when it reads one of its queries. A
// prelude that css-tree cannot read (the range syntax) it cannot read either.
function mediaApplies(prelude) {
  if (!prelude) return true;
  if (prelude.type !== 'AtrulePrelude') return false;
  const lists = prelude.children.toArray().filter((node) => node.type === 'MediaQueryList');
  return lists.some((list) => list.children.toArray().some((query) => query.children.toArray()
    .every((part) => part.type !== 'MediaFeature' || featureInIE11(part.name))));
}

// The sheet's style rules, {rule, applies}: applies when IE11 reads it, so
// not inside @supports (IE11 has none) or a @media query it cannot read.
function rulesIn(block, applies, rules) {
  for (const node of block.children.toArray()) {
    const font = node.type === 'Atrule' && node.name.toLowerCase() === 'font-face';
    if (node.type === 'Rule' || font) rules.push({ rule: node, applies: applies });
    if (node.type !== 'Atrule' || !node.block) continue;
    const media = node.name.toLowerCase() === 'media';
    rulesIn(node.block, applies && media && mediaApplies(node.prelude), rules);
  }
  return rules;
}

function importsOf(tree) {
  const imports = [];
  for (const node of tree.children.toArray()) {
    if (node.type !== 'Atrule' || node.name.toLowerCase() !== 'import' || !node.prelude) continue;
    const target = node.prelude.children && node.prelude.children.first;
    if (target && (target.type === 'Url' || target.type === 'String')) {
      imports.push({ url: target.value, line: node.loc.start.line, column: node.loc.start.column });
    }
  }
  return imports;
}

function judgeSheet(text) {
  let tree;
  try {
    tree = csstree.parse(text, { positions: true, onParseError: () => {} });
  } catch (error) {
    return { error: String(error.message || error) };
  }
  const read = rulesIn(tree, true, []);
  const applied = read.filter((r) => r.applies).map((r) => r.rule);
  const sheet = { rules: applied.filter((rule) => rule.type === 'Rule'), selectors: null,
    asked: [] };
  const found = new Map();
  for (const rule of applied) (rule.type === 'Rule' ? judgeRule : judgeFont)(rule, sheet, found);
  return {
    rules: read.filter((r) => r.rule.type === 'Rule').length,
    imports: importsOf(tree),
    selectors: sheet.asked,
    found: Array.from(found.values()).sort((a, b) => a.line - b.line || a.column - b.column),
  };
}

let input = '';
process.stdin.setEncoding('utf8');
process.stdin.on('data', (chunk) => { input += chunk; });
process.stdin.on('end', () => {
  process.stdout.write(JSON.stringify(JSON.parse(input).map(judgeSheet)));
});
