export const headline = (words) => words.map((word) => word.toUpperCase()).join(' ');
