// Settings given over defaults.
export function merge(defaults, given) {
  var merged = Object.assign(defaults, given);
  merged.merged = true;
  return merged;
}
