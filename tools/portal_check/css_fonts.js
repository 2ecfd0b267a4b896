'use strict';
// The font formats of an @font-face's sources, and those IE11 cannot use
// (stylesheets.js).
const { css } = require('./ie11.js');
const { inIE11 } = require('./css_names.js');

const BCD_CSS = css();

// The font formats that bcd files under @font-face (WOFF_2, WOFF,
// SVG_fonts), by the name that a format() hint or a file's extension gives
// them (woff2, woff, svg). bcd files no TrueType, OpenType nor EOT: IE11 has
// them all.
function formatName(name) {
  return name.toLowerCase().replace(/_fonts$/, '').replace(/[^a-z0-9]/g, '');
}

const FONT_FORMATS = new Map(Object.entries(BCD_CSS['at-rules']['font-face'])
  .filter(([key, feature]) => key !== '__compat' && feature.__compat)
  .map(([key, feature]) => [formatName(key), { key: key, feature: feature }]));

// The formats one source of a src descriptor is said to be in: its
// format() hint, else its file's extension.
function formatsOf(source) {
  const hint = source.find((node) => node.type === 'Function' &&
    node.name.toLowerCase() === 'format');
  if (hint) {
    return hint.children.toArray().filter((node) => node.type === 'String' ||
      node.type === 'Identifier').map((node) => node.value || node.name);
  }
  const url = source.find((node) => node.type === 'Url');
  return url ? [(/\.([a-z0-9]+)$/i.exec(url.value.split(/[?#]/)[0]) || ['', ''])[1]] : [];
}

// What bcd calls the format of one source of a src descriptor ("WOFF 2")
// when IE11 cannot use it, or null when it can (local(), a format it has or
// bcd does not know).
function lostFormat(source) {
  if (source.some((node) => node.type === 'Function' && node.name.toLowerCase() === 'local')) {
    return null;
  }
  const formats = formatsOf(source).map((name) => FONT_FORMATS.get(formatName(name)));
  if (!formats.length || formats.some((format) => !format ||
    inIE11(format.feature.__compat, format.key, format.key))) return null;
  return formats[0].feature.__compat.description || formats[0].key;
}

module.exports = { lostFormat };
