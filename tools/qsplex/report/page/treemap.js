"use strict";
// Treemap layout for the report page: squarified rows (Bruls, Huizing and
// van Wijk), so that areas stay close to squares and sizes compare by eye.

// Lays `items` (each with a `value` above 0, largest first) out in `rect`
// ({x, y, w, h}); each area is proportional to its value. Returns
// [{item, x, y, w, h}] in the order of `items`.
function squarify(items, rect) {
  const out = [];
  let total = 0;
  for (const item of items) total += item.value;
  if (!(total > 0) || !(rect.w > 0) || !(rect.h > 0)) return out;
  const scale = (rect.w * rect.h) / total;
  let x = rect.x, y = rect.y, w = rect.w, h = rect.h;
  let start = 0;
  while (start < items.length) {
    // Grow a row along the short side while its worst aspect ratio improves.
    const side = Math.max(Math.min(w, h), 1e-9);
    let sum = 0, min = Infinity, max = 0, best = Infinity, end = start;
    while (end < items.length) {
      const area = items[end].value * scale;
      const s = sum + area;
      const lo = Math.min(min, area), hi = Math.max(max, area);
      const worst = Math.max((side * side * hi) / (s * s),
                             (s * s) / (side * side * lo));
      if (end > start && worst > best) break;
      sum = s; min = lo; max = hi; best = worst; end++;
    }
    const thick = sum / side;
    let along = 0;
    for (let k = start; k < end; k++) {
      const length = (items[k].value * scale) / thick;
      if (w >= h) {
        out.push({item: items[k], x: x, y: y + along, w: thick, h: length});
      } else {
        out.push({item: items[k], x: x + along, y: y, w: length, h: thick});
      }
      along += length;
    }
    if (w >= h) {
      x += thick; w = Math.max(0, w - thick);
    } else {
      y += thick; h = Math.max(0, h - thick);
    }
    start = end;
  }
  return out;
}

// Splits `items` (with `value`s, any order) into those large enough to be
// drawn in `area` square pixels, each at least `minArea`, largest first,
// and one item summing the rest ({value, count, rest: true}, left out when
// there is none or it sums to 0); items of value 0 are only counted.
// Returns {drawn, rest, zero}.
function drawable(items, area, minArea) {
  const sorted = items.slice().sort(function (a, b) {
    return b.value - a.value || (a.order || 0) - (b.order || 0);
  });
  let total = 0;
  for (const item of sorted) total += item.value;
  const drawn = [];
  let restValue = 0, restCount = 0, zero = 0;
  for (const item of sorted) {
    if (item.value <= 0) {
      zero++;
    } else if ((item.value / total) * area >= minArea) {
      drawn.push(item);
    } else {
      restValue += item.value;
      restCount++;
    }
  }
  const rest = restCount > 0
      ? {value: restValue, count: restCount, rest: true} : null;
  return {drawn: drawn, rest: rest, zero: zero};
}

if (typeof module !== "undefined") module.exports = {squarify, drawable};
