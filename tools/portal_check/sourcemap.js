'use strict';
// The source maps of the scripts check (sourcemaps.py says which): reads one
// JSON request a line on stdin and writes one JSON answer a line on stdout,
// for as long as the check asks.
//   {map: text}                 -> {error: null | message}: the map is read,
//                                  its index the count of maps read before it
//   {index, line, column}       -> [source, line, column] | null
// The places asked are in the generated script (lines from 1, columns from
// 0), the answers in the original source as the map names it; null where
// the map gives none. Mozilla's source-map reads the maps (Debian's
// node-source-map, whose 0.6 consumer is synchronous). Only maps that read
// whole are kept: a place in one that does not is never asked for.
const readline = require('readline');
const { SourceMapConsumer } = require('source-map');

const maps = [];

function read(text) {
  try {
    const consumer = new SourceMapConsumer(text);
    // The mappings are decoded when first asked for: what does not decode
    // is found here, not at the first place.
    consumer.eachMapping(() => {});
    maps.push(consumer);
    return { error: null };
  } catch (error) {
    maps.push(null);
    return { error: String(error && error.message !== undefined ? error.message : error) };
  }
}

function placeOf(asked) {
  const consumer = maps[asked.index];
  if (!consumer || !(asked.line >= 1) || !(asked.column >= 0)) return null;
  const found = consumer.originalPositionFor({ line: asked.line, column: asked.column });
  return found.source === null ? null : [found.source, found.line, found.column];
}

readline.createInterface({ input: process.stdin, crlfDelay: Infinity }).on('line', (line) => {
  const asked = JSON.parse(line);
  const answer = typeof asked.map === 'string' ? read(asked.map) : placeOf(asked);
  process.stdout.write(JSON.stringify(answer) + '\n');
});
