"use strict";
// The report page: reads the data qsplex embedded and draws the treemap of
// the tree, the image's blocks, the damage and the expandable tree list.
// Everything is made here with DOM calls and textContent, never from HTML
// text, so no element name can become markup.
(function () {
  const data = JSON.parse(document.getElementById("qsplex-data").textContent);
  const MIN_AREA = 100;  // square pixels: smaller elements are summed
  const HEADER = 16;     // a storage's label strip
  const PAD = 2;
  const KIND_NAMES = ["storage", "stream", "entry"];
  const FATE_NAMES = ["kept", "damaged", "lost"];
  const OWNER_COLORS = ["#9e9e9e", "#5b8def", "#f5a623", "#7ac36a",
                        "#c678dd", "#e0e0e0"];
  const FINDING_KINDS = ["anchor", "link", "node", "name", "stream",
                         "deleted", "leak"];

  const n = data.names.length;
  const children = [];
  const total = data.sizes.slice();
  const count = new Array(n).fill(1);  // elements at and below
  for (let i = 0; i < n; i++) children.push([]);
  for (let i = 1; i < n; i++) children[data.parents[i]].push(i);
  for (let i = n - 1; i > 0; i--) {
    total[data.parents[i]] += total[i];
    count[data.parents[i]] += count[i];
  }
  const problems = new Map();
  for (const [index, text] of data.problems) {
    if (!problems.has(index)) problems.set(index, []);
    problems.get(index).push(text);
  }

  // ---- text ----
  function el(tag, className, text) {
    const e = document.createElement(tag);
    if (className) e.className = className;
    if (text !== undefined) e.textContent = text;
    return e;
  }
  function hex2(code) {
    return "%" + (code < 16 ? "0" : "") + code.toString(16).toUpperCase();
  }
  // A name as qsplex shows it: control characters, '%' and '/' as %XX.
  function shownName(name) {
    if (name === "") return "(no name)";
    let out = "";
    for (const c of name) {
      const code = c.codePointAt(0);
      const control = code < 0x20 || code === 0x7f ||
          (code >= 0x80 && code <= 0x9f);
      out += control || c === "%" || c === "/" ? hex2(code) : c;
    }
    return out;
  }
  const pathCache = new Map();
  function pathOf(i) {
    if (i === 0) return data.top;
    if (pathCache.has(i)) return pathCache.get(i);
    const parent = pathOf(data.parents[i]);
    const path = (parent === "/" ? "/" : parent + "/") +
        shownName(data.names[i]);
    pathCache.set(i, path);
    return path;
  }
  function digits(value) {
    return String(value).replace(/\B(?=(\d{3})+(?!\d))/g, ",");
  }
  function human(bytes) {
    const units = ["B", "KiB", "MiB", "GiB", "TiB"];
    let unit = 0, value = bytes;
    while (value >= 1024 && unit + 1 < units.length) {
      value /= 1024;
      unit++;
    }
    if (unit === 0) return bytes + " B";
    const shown = value < 10 ? Math.ceil(value * 10) / 10 : Math.ceil(value);
    return shown + " " + units[unit];
  }
  function sizeText(bytes) {
    return human(bytes) + (bytes >= 1024 ? " (" + digits(bytes) + " bytes)" : "");
  }
  function plural(value, noun) {
    return digits(value) + " " + noun + (value === 1 ? "" : "s");
  }
  function describe(i) {
    const lines = [pathOf(i), KIND_NAMES[data.kinds[i]] + ", " +
                   sizeText(total[i])];
    if (data.kinds[i] === 0) {
      lines.push(plural(count[i] - 1, "element") + " below");
      lines.push("class id " + data.classes[data.class_ids[i]]);
    }
    if (data.fates[i] !== 0) lines.push(FATE_NAMES[data.fates[i]] + ":");
    for (const text of problems.get(i) || []) lines.push("  " + text);
    return lines.join("\n");
  }

  // ---- tooltip ----
  const tip = document.getElementById("tip");
  function showTip(event, text) {
    tip.textContent = text;
    tip.hidden = false;
    const x = Math.min(event.clientX + 14, window.innerWidth - tip.offsetWidth - 4);
    const y = event.clientY + 14 + tip.offsetHeight > window.innerHeight
        ? event.clientY - tip.offsetHeight - 8 : event.clientY + 14;
    tip.style.left = Math.max(0, x) + "px";
    tip.style.top = Math.max(0, y) + "px";
  }
  function hoverTips(container, textOf) {
    container.addEventListener("mousemove", function (event) {
      const cell = event.target.closest(".cell");
      if (cell) showTip(event, textOf(cell)); else tip.hidden = true;
    });
    container.addEventListener("mouseleave", function () { tip.hidden = true; });
  }

  // ---- the treemap of the tree ----
  const treemap = document.getElementById("treemap");
  treemap.dataset.minArea = MIN_AREA;
  let zoom = 0;
  function color(hue, depth, kind) {
    const light = Math.min(88, (kind === 0 ? 62 : 72) + depth * 4);
    return "hsl(" + hue + ", 55%, " + light + "%)";
  }
  function place(container, box, className) {
    const cell = el("div", "cell " + className);
    cell.style.left = box.x + "px";
    cell.style.top = box.y + "px";
    cell.style.width = box.w + "px";
    cell.style.height = box.h + "px";
    container.appendChild(cell);
    return cell;
  }
  // Draws element `i` in `box` and, for a storage with room, its elements
  // inside; `zoomTo` is the storage one level below the view holding it.
  function drawElement(i, box, depth, hue, zoomTo) {
    const kind = data.kinds[i];
    const cell = place(treemap, box, KIND_NAMES[kind] +
        (data.fates[i] === 1 ? " damaged" : data.fates[i] === 2 ? " lost" : ""));
    cell.dataset.index = i;
    cell.dataset.path = pathOf(i);
    cell.dataset.size = total[i];
    cell.dataset.zoom = zoomTo;
    cell.style.backgroundColor = color(hue, depth, kind);
    if (box.w > 30 && box.h > 12) cell.textContent = shownName(data.names[i]);
    if (kind !== 0 || box.h < HEADER * 2 || box.w < 24) return;
    const inner = {x: box.x + PAD, y: box.y + HEADER,
                   w: box.w - 2 * PAD, h: box.h - HEADER - PAD};
    if (inner.w <= 0 || inner.h <= 0) return;
    cell.dataset.inner = inner.w * inner.h;
    drawChildren(i, inner, depth + 1, hue, zoomTo);
  }
  function drawChildren(i, box, depth, hue, zoomTo) {
    const items = children[i].map(function (c, order) {
      return {index: c, value: total[c], order: order};
    });
    const split = drawable(items, box.w * box.h, MIN_AREA);
    const laid = split.rest ? split.drawn.concat([split.rest]) : split.drawn;
    squarify(laid, box).forEach(function (b, k) {
      const item = b.item;
      if (item.rest) {
        const cell = place(treemap, b, "more");
        cell.dataset.count = item.count;
        cell.dataset.size = item.value;
        cell.dataset.zoom = zoomTo;
        if (b.w > 30 && b.h > 12) cell.textContent = digits(item.count) + " more";
        return;
      }
      const childHue = depth === 1 ? (k * 137.5) % 360 : hue;
      drawElement(item.index, b, depth, childHue,
                  depth === 1 && data.kinds[item.index] === 0 ? item.index : zoomTo);
    });
  }
  function drawTreemap() {
    treemap.textContent = "";
    const box = {x: 0, y: 0, w: treemap.clientWidth, h: treemap.clientHeight};
    treemap.dataset.zoomPath = pathOf(zoom);
    if (total[zoom] === 0) {
      treemap.appendChild(el("p", "hint", pathOf(zoom) + " holds no bytes"));
    } else if (data.kinds[zoom] === 0) {
      drawChildren(zoom, box, 1, 0, -1);
    } else {
      drawElement(zoom, box, 1, 0, -1);
    }
    drawCrumbs();
  }
  function drawCrumbs() {
    const crumbs = document.getElementById("crumbs");
    crumbs.textContent = "";
    const chain = [];
    for (let i = zoom; i !== -1; i = i === 0 ? -1 : data.parents[i]) chain.unshift(i);
    for (const i of chain) {
      const button = el("button", "", i === 0 ? data.top : shownName(data.names[i]));
      button.addEventListener("click", function () { zoomTo(i); });
      crumbs.appendChild(button);
    }
  }
  function zoomTo(i) {
    if (i === zoom) return;
    zoom = i;
    tip.hidden = true;
    drawTreemap();
  }
  treemap.addEventListener("click", function (event) {
    const cell = event.target.closest(".cell");
    if (cell && cell.dataset.zoom !== "-1") zoomTo(Number(cell.dataset.zoom));
  });
  hoverTips(treemap, function (cell) {
    if (cell.classList.contains("more")) {
      return digits(cell.dataset.count) + " smaller elements, " +
          sizeText(Number(cell.dataset.size)) + " together";
    }
    return describe(Number(cell.dataset.index));
  });

  // ---- the blocks ----
  const ownerNames = data.owners.concat(["other file bytes"]);
  let blockBytes = 0;
  for (const bytes of data.owner_bytes) blockBytes += bytes;
  const otherBytes = Math.max(0, data.file_bytes - blockBytes);
  function drawOwners() {
    const bar = document.getElementById("owners");
    const legend = el("div", "legend");
    const sums = data.owner_bytes.concat([otherBytes]);
    const whole = sums.reduce(function (a, b) { return a + b; }, 0) || 1;
    sums.forEach(function (bytes, k) {
      const part = el("div");
      part.style.width = (100 * bytes / whole) + "%";
      part.style.background = OWNER_COLORS[k];
      part.title = ownerNames[k] + ": " + sizeText(bytes);
      bar.appendChild(part);
      const item = el("span");
      const swatch = el("i");
      swatch.style.background = OWNER_COLORS[k];
      item.appendChild(swatch);
      item.appendChild(document.createTextNode(ownerNames[k] + " " + human(bytes) +
          (k < data.owner_blocks.length ? " in " + plural(data.owner_blocks[k], "block") : "")));
      legend.appendChild(item);
    });
    bar.after(legend);
  }
  const blockmap = document.getElementById("blockmap");
  function drawBlocks() {
    blockmap.textContent = "";
    const groups = ownerNames.map(function (name, k) {
      return {owner: k, value: k < data.owner_bytes.length ? data.owner_bytes[k] : otherBytes,
              blocks: []};
    });
    for (const block of data.blocks) groups[block[2]].blocks.push(block);
    const box = {x: 0, y: 0, w: blockmap.clientWidth, h: blockmap.clientHeight};
    for (const b of squarify(groups.filter(function (g) { return g.value > 0; }), box)) {
      const g = b.item, owner = g.owner;
      const group = place(blockmap, b, "group");
      group.dataset.owner = owner;
      group.style.backgroundColor = OWNER_COLORS[owner];
      group.textContent = ownerNames[owner];
      const inner = {x: b.x + PAD, y: b.y + HEADER, w: b.w - 2 * PAD, h: b.h - HEADER - PAD};
      if (inner.w <= 0 || inner.h <= 0) continue;
      const items = g.blocks.map(function (block) {
        // A damaged block is drawn however small it is.
        return {block: block, value: block[1]};
      });
      if (owner < data.small_bytes.length && data.small_bytes[owner] > 0) {
        items.push({value: data.small_bytes[owner], count: data.small_blocks[owner], rest: true});
      }
      items.sort(function (x, y) { return y.value - x.value; });
      for (const c of squarify(items.filter(function (x) { return x.value > 0; }), inner)) {
        const block = c.item.block;
        if (!block) {
          const cell = place(blockmap, c, "more");
          cell.dataset.count = c.item.count;
          cell.dataset.size = c.item.value;
          cell.dataset.owner = owner;
          continue;
        }
        const damaged = block[3] !== 0;
        if (damaged) {
          c.w = Math.max(c.w, 8);
          c.h = Math.max(c.h, 8);
        }
        const cell = place(blockmap, c, "block" + (damaged ? " damaged" : ""));
        cell.dataset.block = block[0];
        cell.dataset.size = block[1];
        cell.dataset.owner = owner;
        cell.style.backgroundColor = OWNER_COLORS[owner];
        if (c.w > 40 && c.h > 12) cell.textContent = String(block[0]);
      }
    }
  }
  const blockIndex = new Map();
  for (const block of data.blocks) blockIndex.set(block[0], block);
  hoverTips(blockmap, function (cell) {
    const owner = Number(cell.dataset.owner);
    if (cell.classList.contains("group")) {
      return ownerNames[owner] + ": " + sizeText(owner < data.owner_bytes.length
          ? data.owner_bytes[owner] : otherBytes) +
          (owner < data.owner_blocks.length ? " in " + plural(data.owner_blocks[owner], "block")
              : "\nheader slots, block tables and bytes earlier saves left behind");
    }
    if (cell.classList.contains("more")) {
      return digits(cell.dataset.count) + " smaller blocks of " + ownerNames[owner] +
          ", " + sizeText(Number(cell.dataset.size)) + " together";
    }
    const block = blockIndex.get(Number(cell.dataset.block));
    const lines = ["block " + block[0] + ", " + sizeText(block[1]), ownerNames[owner] +
                   (block[4] ? ": " + block[4] : "")];
    if (block[3] === 1) lines.push("DAMAGED: fails its checksum");
    if (block[3] === 2) lines.push("DAMAGED: cut off by the image's end");
    return lines.join("\n");
  });

  // ---- damage and findings ----
  function table(headings, rows) {
    const t = el("table");
    const head = el("tr");
    for (const h of headings) head.appendChild(el("th", "", h));
    t.appendChild(head);
    for (const row of rows) {
      const tr = el("tr");
      for (const value of row) tr.appendChild(el("td", "", String(value)));
      t.appendChild(tr);
    }
    return t;
  }
  // Tables show this many rows; 'check' and 'recover' print them all.
  const ROWS_SHOWN = 1000;
  function more(box, count, noun) {
    if (count > 0) {
      box.appendChild(el("p", "", "and " + plural(count, noun) +
                         " ('qsplex check' lists them all)"));
    }
  }
  function drawDamage() {
    const box = document.getElementById("damage");
    if (data.older_image) box.appendChild(el("p", "", data.older_image));
    if (data.damage.length > 0) {
      box.appendChild(el("h3", "", plural(data.damage_count, "damaged block")));
      box.appendChild(table(["block", "problem", "holds"], data.damage.map(function (d) {
        const problem = d[1] === 1 ? "fails its checksum"
            : "cut off by the image's end after " + digits(d[2]) + " of its " +
              digits(d[3]) + " bytes";
        return [d[0], problem, d[4]];
      })));
      more(box, data.damage_count - data.damage.length, "more damaged block");
    }
    const spoiled = [];
    for (let i = 0; i < n; i++) {
      if (data.fates[i] === 0) continue;
      for (const text of problems.get(i) || []) {
        spoiled.push([pathOf(i), FATE_NAMES[data.fates[i]], text]);
      }
    }
    if (spoiled.length > 0) {
      box.appendChild(el("h3", "", "What recover would keep damaged or lose"));
      box.appendChild(table(["element", "fate", "why"], spoiled.slice(0, ROWS_SHOWN)));
      more(box, spoiled.length - ROWS_SHOWN, "more line");
    }
    if (data.finding_count > 0) {
      box.appendChild(el("h3", "", "What check finds: " + plural(data.finding_count, "finding")));
      box.appendChild(table(["kind", "where", "finding"],
                            data.findings.slice(0, ROWS_SHOWN).map(function (f) {
        return [FINDING_KINDS[f[0]] || f[0], f[1], f[2]];
      })));
      more(box, data.finding_count - ROWS_SHOWN, "more finding");
    }
  }

  // ---- the tree list ----
  const ROWS_AT_ONCE = 200;
  function sortedChildren(i) {
    return children[i].slice().sort(function (a, b) {
      return total[b] - total[a] || a - b;
    });
  }
  function listItem(i) {
    const li = el("li");
    const fate = data.fates[i];
    const row = el("div", "row " + KIND_NAMES[data.kinds[i]] +
        (fate === 1 ? " damaged" : fate === 2 ? " lost" : ""));
    row.dataset.path = pathOf(i);
    row.dataset.size = total[i];
    const name = el("span", "name");
    const toggle = el("span", "toggle", data.kinds[i] === 0 && children[i].length ? "\u25b8" : "");
    name.appendChild(toggle);
    name.appendChild(document.createTextNode(i === 0 ? data.top : shownName(data.names[i])));
    row.appendChild(name);
    row.appendChild(el("span", "size", human(total[i])));
    row.appendChild(el("span", "count", data.kinds[i] === 0 ? plural(count[i] - 1, "element") : ""));
    if (data.kinds[i] === 0) row.appendChild(el("span", "clsid", data.classes[data.class_ids[i]]));
    if (fate !== 0) row.appendChild(el("span", "fate", FATE_NAMES[fate]));
    row.title = describe(i);
    li.appendChild(row);
    if (data.kinds[i] === 0 && children[i].length) {
      let list = null;
      name.addEventListener("click", function () {
        if (list) {
          list.hidden = !list.hidden;
        } else {
          list = el("ul");
          li.appendChild(list);
          fill(list, sortedChildren(i), 0);
        }
        toggle.textContent = list.hidden ? "\u25b8" : "\u25be";
      });
    }
    return li;
  }
  // Adds rows `from` on, a few hundred at a time, then a button for more.
  function fill(list, items, from) {
    const end = Math.min(items.length, from + ROWS_AT_ONCE);
    for (let k = from; k < end; k++) list.appendChild(listItem(items[k]));
    if (end < items.length) {
      const more = el("button", "more-rows", "show " +
          digits(Math.min(ROWS_AT_ONCE, items.length - end)) + " more of " +
          digits(items.length - end));
      more.addEventListener("click", function () {
        more.remove();
        fill(list, items, end);
      });
      list.appendChild(more);
    }
  }

  // ---- the header ----
  function drawSummary() {
    document.title = "qsplex report: " + data.image + (data.top === "/" ? "" : " " + data.top);
    document.getElementById("title").textContent = "qsplex report: " + data.image +
        (data.top === "/" ? "" : " " + data.top);
    let storages = 0, streams = 0;
    for (let i = 1; i < n; i++) {
      if (data.kinds[i] === 0) storages++;
      if (data.kinds[i] === 1) streams++;
    }
    document.getElementById("summary").textContent = [
      plural(storages, "storage") + ", " + plural(streams, "stream") + ", " +
          sizeText(total[0]) + " in streams",
      "the file: " + sizeText(data.file_bytes) +
          (data.version ? ", image format " + data.version : "") + ", " +
          plural(data.owner_blocks.reduce(function (a, b) { return a + b; }, 0), "block") +
          ", " + plural(data.free_ids, "free id") + " below id " + digits(data.last_id)
    ].join("; ");
    const status = document.getElementById("status");
    let spoiled = 0;
    for (let i = 0; i < n; i++) if (data.fates[i] !== 0) spoiled++;
    const sound = data.damage_count === 0 && !data.older_image &&
        data.finding_count === 0 && spoiled === 0;
    status.className = sound ? "sound" : "damaged";
    status.textContent = sound ? "check finds the tree consistent"
        : [plural(data.damage_count, "damaged block"),
           plural(spoiled, "element") + " damaged or lost",
           plural(data.finding_count, "finding")].join(", ") +
          " (below, under the blocks)";
  }

  drawSummary();
  drawTreemap();
  drawOwners();
  drawBlocks();
  drawDamage();
  const tree = document.getElementById("tree");
  const top = el("ul");
  const root = listItem(0);
  top.appendChild(root);
  tree.appendChild(top);
  const rootName = root.querySelector(".name");
  if (data.kinds[0] === 0 && children[0].length) rootName.click();
  let resizing = 0;
  window.addEventListener("resize", function () {
    clearTimeout(resizing);
    resizing = setTimeout(function () { drawTreemap(); drawBlocks(); }, 150);
  });
  document.body.dataset.ready = "1";
})();
