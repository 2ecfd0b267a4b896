'use strict';
// The syntax part of the scripts check (scripts.py): reads a JSON list of
// script sources on stdin and writes, for each, {syntax, references, made}:
// references as references.js finds them in the same syntax tree, made the
// code it makes from string literals that is past ECMAScript 5 (made.js,
// each with its own syntax), and syntax null when the source is ECMAScript
// 5, or what Internet Explorer 11's engine meets in it past ECMAScript 5:
//   {constructs: [{name, count, line, column}], error: null | {line, column, message},
//    loopLet: true | false}
// constructs in the order of their first use, each by the name a web developer
// knows it by; error is where ECMAScript 5 stops parsing when the source has
// nothing past it but let and const (which IE11 runs), or nothing that can be
// named at all; loopLet whether a let heads a for loop. Lines count from 1,
// columns from 0.
const acorn = require('acorn');
const walk = require('acorn-walk');
const { referencesOf } = require('./references.js');
const { madeOf } = require('./made.js');

const LET_CONST = 'let/const';
const TRAILING_COMMA = 'trailing comma in arguments or parameters';

function parseError(source, options) {
  try {
    acorn.parse(source, options);
    return null;
  } catch (error) {
    if (!error.loc) throw error;
    const message = error.message.slice(0, error.message.lastIndexOf(' ('));
    return { line: error.loc.line, column: error.loc.column, message: message };
  }
}

// Where the first `async` or `*` token between the offsets from and to is.
function tokenAt(source, from, to, word) {
  for (const token of acorn.tokenizer(source.slice(from, to), { ecmaVersion: 'latest' })) {
    if ((token.type === acorn.tokTypes.star ? '*' : token.value) === word) {
      return acorn.getLineInfo(source, from + token.start);
    }
  }
  return acorn.getLineInfo(source, from);
}

// Where a trailing comma after the last of a call's arguments or a
// function's parameters is: between its end and to (the call's end, the
// function's body) only closing parentheses and that comma can come.
function trailingComma(source, list, to) {
  if (list.length === 0) return null;
  const from = list[list.length - 1].end;
  for (const token of acorn.tokenizer(source.slice(from, to), { ecmaVersion: 'latest' })) {
    if (token.type === acorn.tokTypes.comma) return acorn.getLineInfo(source, from + token.start);
    if (token.type !== acorn.tokTypes.parenR) return null;
  }
  return null;
}

// What a node of these types always is past ECMAScript 5.
const ALWAYS = {
  AwaitExpression: ['async function or await'],
  ClassDeclaration: ['class'],
  ClassExpression: ['class'],
  StaticBlock: ['class static block'],
  TemplateLiteral: ['template literal'],
  ArrayPattern: ['destructuring'],
  SpreadElement: ['spread or rest'],
  RestElement: ['spread or rest'],
  ChainExpression: ['optional chaining'],
  MetaProperty: ['new.target or import.meta'],
  ImportExpression: ['dynamic import()'],
  ImportDeclaration: ['import or export'],
  ExportNamedDeclaration: ['import or export'],
  ExportDefaultDeclaration: ['import or export'],
  ExportAllDeclaration: ['import or export'],
};

// What a function (in `parent`) is past ECMAScript 5.
function functionNames(node, parent, source) {
  // A method's function starts at its parameters; its async and * come
  // before its key, which may follow static.
  const method = parent && parent.value === node &&
    (parent.type === 'MethodDefinition' || parent.method);
  const from = method ? parent.start : node.start;
  const to = method ? parent.key.start : node.body.start;
  const names = node.type === 'ArrowFunctionExpression' ? ['arrow function'] : [];
  if (node.generator) names.push(['generator', tokenAt(source, from, to, '*')]);
  if (node.async) names.push(['async function or await', tokenAt(source, from, to, 'async')]);
  const comma = trailingComma(source, node.params, node.body.start);
  return names.concat(node.params.filter((param) => param.type === 'AssignmentPattern')
    .map((param) => ['default parameter', param.loc.start]))
    .concat(comma ? [[TRAILING_COMMA, comma]] : []);
}

function literalNames(node) {
  if (node.bigint !== undefined) return ['BigInt literal'];
  if (node.regex) return /[uysd]/.test(node.regex.flags) ? ['regular expression flag'] : [];
  if (typeof node.value !== 'number') return [];
  return (/^0[bo]/i.test(node.raw) ? ['binary or octal literal'] : [])
    .concat(node.raw.includes('_') ? ['numeric separator'] : []);
}

// The names of what `node` (in `parent`) is past ECMAScript 5, if anything;
// [name, {line, column}] where the construct is elsewhere than the node's start.
function namesOf(node, parent, source) {
  if (Object.prototype.hasOwnProperty.call(ALWAYS, node.type)) return ALWAYS[node.type];
  switch (node.type) {
    case 'ArrowFunctionExpression':
    case 'FunctionDeclaration':
    case 'FunctionExpression':
      return functionNames(node, parent, source);
    case 'CallExpression':
    case 'NewExpression': {
      const comma = trailingComma(source, node.arguments, node.end);
      return comma ? [[TRAILING_COMMA, comma]] : [];
    }
    case 'VariableDeclaration':
      return node.kind === 'var' ? [] : [LET_CONST];
    case 'PropertyDefinition':
    case 'MethodDefinition':
      return (node.key.type === 'PrivateIdentifier' ? ['private class member'] :
        node.type === 'PropertyDefinition' ? ['class field'] : [])
        .concat(node.computed ? ['computed property'] : []);
    case 'ObjectPattern':
      // The walk goes into a rest element here, but does not stop at it.
      return ['destructuring'].concat(node.properties.filter((part) => part.type === 'RestElement')
        .map((rest) => ['spread or rest', rest.loc.start]));
    case 'ForOfStatement':
      return node.await ? ['for...of', 'async function or await'] : ['for...of'];
    case 'Property':
      return (node.method ? ['shorthand method'] : node.shorthand ? ['shorthand property'] : [])
        .concat(node.computed ? ['computed property'] : []);
    case 'BinaryExpression':
      return node.operator === '**' ? ['exponent operator'] : [];
    case 'AssignmentExpression':
      return node.operator === '**=' ? ['exponent operator'] :
        ['&&=', '||=', '??='].includes(node.operator) ? ['logical assignment'] : [];
    case 'LogicalExpression':
      return node.operator === '??' ? ['nullish coalescing'] : [];
    case 'CatchClause':
      return node.param ? [] : ['catch without a binding'];
    case 'Literal':
      return literalNames(node);
    default:
      return [];
  }
}

function constructsOf(tree, source) {
  const found = new Map();
  walk.fullAncestor(tree, (node, state, ancestors) => {
    for (const named of namesOf(node, ancestors[ancestors.length - 2], source)) {
      // A name alone is at the node's start; [name, start] where it says.
      const name = Array.isArray(named) ? named[0] : named;
      const start = Array.isArray(named) ? named[1] : node.loc.start;
      const seen = found.get(name);
      if (!seen) {
        found.set(name, { name: name, count: 1, line: start.line, column: start.column });
        continue;
      }
      seen.count += 1;
      // The walk goes inside out: a later node may come first in the source.
      if (start.line < seen.line || (start.line === seen.line && start.column < seen.column)) {
        seen.line = start.line;
        seen.column = start.column;
      }
    }
  });
  return Array.from(found.values())
    .sort((a, b) => a.line - b.line || a.column - b.column);
}

// Whether a let heads a for loop: there IE11 makes it one variable for all
// the iterations, where each has its own since ECMAScript 2015.
function letHeadsLoop(tree) {
  let found = false;
  const head = (node) => {
    const declared = node.type === 'ForStatement' ? node.init : node.left;
    if (declared && declared.type === 'VariableDeclaration' && declared.kind === 'let') {
      found = true;
    }
  };
  walk.simple(tree, { ForStatement: head, ForInStatement: head, ForOfStatement: head });
  return found;
}

// The same source with every let and const written as var, of the same
// length so that positions stay where they were.
function withVar(source, tree) {
  const starts = [];
  walk.full(tree, (node) => {
    if (node.type === 'VariableDeclaration' && node.kind !== 'var') starts.push(node);
  });
  let text = source;
  for (const node of starts) {
    const keyword = node.kind === 'let' ? 'var' : 'var  ';
    text = text.slice(0, node.start) + keyword + text.slice(node.start + keyword.length);
  }
  return text;
}

// [tree, syntax]: the source's tree (ECMAScript 5's when it parses as that,
// null when it parses in no version) and what it has past ECMAScript 5.
// body: the source is a function's body (new Function's text).
function examine(source, body) {
  // Without locations: most scripts are ECMAScript 5, and the three objects
  // that each node's location takes cost a fifth of the parse; their few
  // uses are placed from the offset (placeIn).
  const es5 = { ecmaVersion: 5, allowReturnOutsideFunction: Boolean(body) };
  try {
    return [acorn.parse(source, es5), null];
  } catch (error) {
    if (!error.loc) throw error;
  }
  const es5Error = parseError(source, es5);
  let tree = null;
  for (const sourceType of ['script', 'module']) {
    try {
      tree = acorn.parse(source, { ecmaVersion: 'latest', sourceType: sourceType,
        locations: true, allowReturnOutsideFunction: Boolean(body) });
      break;
    } catch (error) {
      if (!error.loc) throw error;
    }
  }
  if (!tree) return [null, { constructs: [], error: es5Error, loopLet: false }];
  const constructs = constructsOf(tree, source);
  const loopLet = letHeadsLoop(tree);
  if (constructs.some((construct) => construct.name !== LET_CONST)) {
    return [tree, { constructs: constructs, error: null, loopLet: loopLet }];
  }
  // Only let and const can be named: whatever else stops ECMAScript 5 has no
  // name here, and must not pass as a warning.
  return [tree, {
    constructs: constructs, error: parseError(withVar(source, tree), es5), loopLet: loopLet,
  }];
}

// Where a node starts, {line, column}: from its location where the parse
// kept one, else from its offset, by the lines of source, which are found
// when first asked for. Line ends as ECMAScript counts them.
function placeIn(source) {
  let starts = null;
  return (node) => {
    if (node.loc) return node.loc.start;
    if (!starts) {
      starts = [0];
      const ends = /\r\n?|[\n\u2028\u2029]/g;
      for (let end = ends.exec(source); end; end = ends.exec(source)) {
        starts.push(end.index + end[0].length);
      }
    }
    let low = 0;
    let high = starts.length - 1;
    while (low < high) {
      const middle = (low + high + 1) >> 1;
      if (starts[middle] <= node.start) low = middle;
      else high = middle - 1;
    }
    return { line: low + 1, column: node.start - starts[low] };
  };
}

// A script nested deeper than the parser's stack reaches cannot be judged;
// it says so rather than failing the others.
// A source is a script's text, or {source, body} for a function's body.
function judged(item) {
  const source = typeof item === 'string' ? item : String(item.source);
  try {
    const [tree, syntax] = examine(source, typeof item !== 'string' && item.body);
    const place = placeIn(source);
    return { syntax: syntax, references: tree ? referencesOf(tree, place) : null,
      made: tree ? madeOf(tree, source, place, (text, body) => examine(text, body)[1]) : [] };
  } catch (error) {
    if (!(error instanceof RangeError)) throw error;
    return { syntax: { constructs: [], error: null, tooDeep: true }, references: null };
  }
}

let input = '';
process.stdin.setEncoding('utf8');
process.stdin.on('data', (chunk) => { input += chunk; });
process.stdin.on('end', () => {
  process.stdout.write(JSON.stringify(JSON.parse(input).map(judged)));
});
