// qsplex report in a real browser: headless Chromium (Debian's) driven by
// Playwright. Opens the pages of a small tree, of a damaged image and of a
// tree of 100,000 elements, and checks that each loads with no console
// error and no request, that the treemap draws an area for every element
// above its threshold with the sizes 'qsplex ls -lR' gives, that a click
// zooms into a storage and that the damaged block is marked. Screenshots go
// to the output folder. Also: 'qsplex du' against the sums of 'ls -lR'.
//
//   node report_test.mjs --qsplex QSPLEX --wide-tree QSPLEX_WIDE_TREE
//                        --deps DIR --out DIR
//
// playwright-core is installed from this folder's package-lock.json into
// --deps (npm ci) when it is not there yet. Exits 77 when no Chromium is
// installed (scripts/setup.sh installs it).
import {execFileSync, spawnSync} from "node:child_process";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import {createRequire} from "node:module";
import {fileURLToPath, pathToFileURL} from "node:url";

const here = path.dirname(fileURLToPath(import.meta.url));
const options = {};
for (let i = 2; i < process.argv.length; i += 2) {
  options[process.argv[i].replace(/^--/, "")] = process.argv[i + 1];
}
for (const needed of ["qsplex", "wide-tree", "deps", "out"]) {
  if (!options[needed]) {
    console.error(`usage: node report_test.mjs --qsplex QSPLEX --wide-tree ` +
                  `PROGRAM --deps DIR --out DIR (no --${needed})`);
    process.exit(2);
  }
  options[needed] = path.resolve(options[needed]);
}

const chromium = [process.env.QSS_CHROMIUM, "/usr/bin/chromium",
                  "/usr/bin/chromium-browser"].find((p) => p && fs.existsSync(p));
if (!chromium) {
  console.log("report browser test skipped: no Chromium (/usr/bin/chromium); " +
              "scripts/setup.sh installs Debian's chromium package");
  process.exit(77);
}

// playwright-core at the version the lock file names, in the build folder.
function playwright() {
  const lock = path.join(here, "package-lock.json");
  const deps = options.deps;
  const installed = path.join(deps, "package-lock.json");
  const ready = fs.existsSync(path.join(deps, "node_modules/playwright-core")) &&
      fs.existsSync(installed) &&
      fs.readFileSync(installed, "utf8") === fs.readFileSync(lock, "utf8");
  if (!ready) {
    fs.mkdirSync(deps, {recursive: true});
    fs.copyFileSync(path.join(here, "package.json"), path.join(deps, "package.json"));
    fs.copyFileSync(lock, installed);
    const npm = spawnSync("npm", ["ci", "--no-audit", "--no-fund", "--loglevel=error"],
                          {cwd: deps, stdio: "inherit"});
    if (npm.status !== 0) {
      console.error("report browser test: 'npm ci' in " + deps + " failed; it " +
                    "installs playwright-core from the npm registry");
      process.exit(1);
    }
  }
  return createRequire(path.join(deps, "package.json"))("playwright-core");
}

const failures = [];
let passed = 0;
function check(ok, what) {
  if (ok) {
    passed++;
  } else {
    failures.push(what);
    console.error("FAILED: " + what);
  }
}

const work = fs.mkdtempSync(path.join(os.tmpdir(), "qsplex-report-"));
fs.mkdirSync(options.out, {recursive: true});
function qsplex(...args) {
  return execFileSync(options.qsplex, args, {cwd: work, encoding: "utf8",
                                             maxBuffer: 1 << 28,
                                             stdio: ["pipe", "pipe", "pipe"]});
}
function put(image, element, bytes) {
  execFileSync(options.qsplex, ["put", "-p", image, element], {cwd: work, input: bytes});
}

// Every element 'ls -lR' lists, by its path as shown: {path: {type, size}},
// a storage's size the sum of the streams below it.
function listing(image) {
  const elements = {"/": {type: "storage", size: 0}};
  let folder = "/";
  for (const line of qsplex("ls", "-lR", image).split("\n")) {
    const heading = /^(\/.*):$/.exec(line);
    if (heading) {
      folder = heading[1];
      continue;
    }
    const row = /^(stream|storage)\s+(\d+|-)\s+\S+\s+\S+\s+(.*)$/.exec(line);
    if (!row) continue;
    const name = row[1] === "storage" ? row[3].replace(/\/$/, "") : row[3];
    const where = (folder === "/" ? "/" : folder + "/") + name;
    elements[where] = {type: row[1], size: row[1] === "stream" ? Number(row[2]) : 0};
  }
  for (const [where, element] of Object.entries(elements)) {
    if (element.type !== "stream") continue;
    for (let at = where.lastIndexOf("/"); at >= 0; at = where.lastIndexOf("/", at - 1)) {
      elements[where.slice(0, at) || "/"].size += element.size;
      if (at === 0) break;
    }
  }
  return elements;
}

// du's lines against the sums of ls -lR, for every depth it prints.
function duMatchesListing(image, elements) {
  const lines = qsplex("du", image).trim().split("\n");
  const storages = Object.keys(elements).filter((p) => elements[p].type === "storage");
  check(lines.length === storages.length,
        `du ${image} prints ${lines.length} lines for ${storages.length} storages`);
  let previous = Infinity;
  for (const line of lines) {
    const [size, where] = line.split("\t");
    check(elements[where] && elements[where].size === Number(size),
          `du ${image}: ${where} ${size}, ls -lR sums ${elements[where]?.size}`);
    check(Number(size) <= previous, `du ${image}: ${where} not largest first`);
    previous = Number(size);
  }
  const shallow = qsplex("du", "-d", "1", image).trim().split("\n");
  check(shallow.every((line) => line.split("\t")[1].split("/").filter(Boolean).length <= 1),
        `du -d 1 ${image} goes deeper: ${shallow.join(" | ")}`);
}

// Opens the page; fails on a console error, an uncaught exception or any
// request but the page's own. Returns the page and the milliseconds from
// the start of navigation until the page had drawn everything.
async function open(browser, html) {
  const page = await browser.newPage({viewport: {width: 1280, height: 900}});
  const url = pathToFileURL(html).href;
  page.on("console", (message) => {
    if (message.type() === "error") failures.push(`${html}: console error: ${message.text()}`);
  });
  page.on("pageerror", (error) => failures.push(`${html}: ${error.message}`));
  page.on("request", (request) => {
    if (request.url() !== url) failures.push(`${html}: requested ${request.url()}`);
  });
  await page.goto(url);
  await page.waitForSelector("body[data-ready='1']", {timeout: 60000});
  const drawn = await page.evaluate(() => performance.now());
  return {page, drawn};
}

// The treemap's areas against ls -lR: each drawn element's size, and an
// area for every element of a drawn storage whose share of it reaches the
// threshold.
async function treemapMatchesListing(page, elements, what) {
  const {cells, minArea, zoomPath, width, height} = await page.evaluate(() => {
    const map = document.getElementById("treemap");
    return {
      cells: [...map.querySelectorAll(".cell[data-path]")].map((c) => ({
        path: c.dataset.path, size: Number(c.dataset.size),
        inner: c.dataset.inner ? Number(c.dataset.inner) : 0})),
      minArea: Number(map.dataset.minArea), zoomPath: map.dataset.zoomPath,
      width: map.clientWidth, height: map.clientHeight};
  });
  const drawn = new Map(cells.map((c) => [c.path, c]));
  let wrong = 0;
  for (const cell of cells) {
    if (!elements[cell.path] || elements[cell.path].size !== cell.size) {
      if (wrong++ < 5) {
        check(false, `${what}: ${cell.path} drawn with ${cell.size} bytes, ` +
                     `ls -lR says ${elements[cell.path]?.size}`);
      }
    }
  }
  check(wrong === 0 && cells.length > 0, `${what}: ${cells.length} areas, ${wrong} wrong`);
  const frames = [{path: zoomPath, inner: width * height}]
      .concat(cells.filter((c) => c.inner > 0));
  let missing = 0;
  for (const frame of frames) {
    const prefix = frame.path === "/" ? "/" : frame.path + "/";
    const total = elements[frame.path].size;
    for (const [where, element] of Object.entries(elements)) {
      if (where === frame.path || !where.startsWith(prefix) ||
          where.slice(prefix.length).includes("/")) {
        continue;
      }
      if (element.size / total * frame.inner >= minArea && !drawn.has(where) &&
          missing++ < 5) {
        check(false, `${what}: no area for ${where} (${element.size} of ` +
                     `${total} bytes in ${frame.inner} px²)`);
      }
    }
  }
  check(missing === 0, `${what}: ${missing} elements above the threshold not drawn`);
  return cells.length;
}

// Clicks the largest storage below the view and checks that the view is
// then that storage.
async function zoomWorks(page, what) {
  const target = await page.evaluate(() => {
    const cells = [...document.querySelectorAll("#treemap .cell.storage")];
    cells.sort((a, b) => Number(b.dataset.size) - Number(a.dataset.size));
    return cells.length ? cells[0].dataset.path : null;
  });
  check(target !== null, `${what}: a storage to click`);
  if (target === null) return;
  // A full-page screenshot resizes the window, and the page redraws its
  // treemap 150 ms after a resize: wait for that redraw to be over, so that
  // the area measured is the one clicked.
  await page.waitForTimeout(400);
  const cell = page.locator(`#treemap .cell.storage[data-path="${target}"]`);
  await cell.waitFor({state: "visible"});
  const box = await cell.boundingBox();
  check(box !== null, `${what}: the area of ${target} has no box`);
  if (box === null) return;
  await page.mouse.move(box.x + 4, box.y + 4);
  const tip = await page.textContent("#tip");
  check(tip.startsWith(target + "\n"), `${what}: the tip over ${target} says ${tip}`);
  await page.mouse.click(box.x + 4, box.y + 4);
  const zoomed = await page.evaluate(() => document.getElementById("treemap").dataset.zoomPath);
  check(zoomed === target, `${what}: clicked ${target}, the view is ${zoomed}`);
  const below = await page.evaluate((top) =>
    [...document.querySelectorAll("#treemap .cell[data-path]")]
        .every((c) => c.dataset.path.startsWith(top + "/")), target);
  check(below, `${what}: after zooming into ${target} an area lies outside it`);
}

async function main() {
  const {chromium: browserType} = playwright();
  const browser = await browserType.launch({executablePath: chromium,
                                            args: ["--no-sandbox"]});
  try {
    // A small tree, with names a page must not take for markup.
    const small = "small.img";
    qsplex("init", small);
    put(small, "/docs/readme.txt", Buffer.from("hello\n"));
    put(small, "/docs/old/archive.bin", Buffer.alloc(60000, 7));
    put(small, "/docs/<img src=x onerror=fetch(1)>", Buffer.alloc(9000, 1));
    put(small, "/dôcs %05info/notes", Buffer.alloc(20000, 2));
    put(small, "/empty", Buffer.alloc(0));
    put(small, "/pictures/a.png", Buffer.alloc(30000, 3));
    qsplex("setclass", small, "/docs", "01234567-89ab-cdef-0123-456789abcdef");
    const smallElements = listing(small);
    duMatchesListing(small, smallElements);
    qsplex("report", small, "-o", "small.html");
    {
      const {page} = await open(browser, path.join(work, "small.html"));
      await treemapMatchesListing(page, smallElements, "small tree");
      const names = await page.evaluate(() =>
        [...document.querySelectorAll("#treemap .cell[data-path]")].map((c) => c.dataset.path));
      check(names.includes("/docs/<img src=x onerror=fetch(1)>"),
            "small tree: the name that looks like markup is drawn as text");
      check(await page.evaluate(() => document.querySelectorAll("img").length === 0),
            "small tree: a name became markup");
      await page.screenshot({path: path.join(options.out, "small.png"), fullPage: true});
      await zoomWorks(page, "small tree");
      await page.close();
    }

    // The same image with one data block failing its checksum.
    const damaged = "damaged.img";
    fs.copyFileSync(path.join(work, small), path.join(work, damaged));
    const bytes = fs.readFileSync(path.join(work, damaged));
    const at = bytes.indexOf(Buffer.alloc(64, 3));
    check(at > 0, "damaged image: the stream's bytes are in the image");
    bytes[at + 10] ^= 0xff;
    fs.writeFileSync(path.join(work, damaged), bytes);
    let checked = "";
    try {
      qsplex("check", "--json", damaged);
    } catch (failed) {
      checked = failed.stdout;
    }
    const found = JSON.parse(checked || "{}").damaged_blocks || [];
    check(found.length === 1, `check finds ${found.length} damaged blocks`);
    qsplex("report", damaged, "-o", "damaged.html");
    {
      const {page} = await open(browser, path.join(work, "damaged.html"));
      const block = found.length ? found[0].block : -1;
      const mark = page.locator(`#blockmap .cell.damaged[data-block="${block}"]`);
      check(await mark.count() === 1, `damaged image: block ${block} is not marked`);
      if (await mark.count() === 1) {
        const box = await mark.boundingBox();
        check(box.width >= 8 && box.height >= 8, "damaged image: the mark is too small to see");
      }
      check(await page.locator('#treemap .cell.damaged[data-path="/pictures/a.png"]').count() === 1,
            "damaged image: /pictures/a.png is not marked damaged in the treemap");
      const damageText = await page.textContent("#damage");
      check(damageText.includes("fails its checksum") && damageText.includes("the data of /pictures/a.png"),
            "damaged image: the damage list does not name the block's role");
      check((await page.textContent("#status")).includes("1 damaged block"),
            "damaged image: the status line does not tell the damage");
      await page.screenshot({path: path.join(options.out, "damaged.png"), fullPage: true});
      await page.close();
    }

    // 100,000 elements: 100 storages of 1,000 streams.
    const wide = "wide.img";
    execFileSync(options["wide-tree"], [wide, "100", "1000"], {cwd: work});
    const wideElements = listing(wide);
    check(Object.keys(wideElements).length === 100102,
          `wide tree: ls -lR lists ${Object.keys(wideElements).length} elements`);
    duMatchesListing(wide, wideElements);
    qsplex("report", wide, "-o", "wide.html");
    {
      const {page, drawn} = await open(browser, path.join(work, "wide.html"));
      const areas = await treemapMatchesListing(page, wideElements, "wide tree");
      const rests = await page.locator("#treemap .cell.more").count();
      check(rests > 0 && areas < 20000, `wide tree: ${areas} areas and ${rests} sums drawn`);
      const pageBytes = fs.statSync(path.join(work, "wide.html")).size;
      console.log(`wide tree: 100,102 elements, page of ${pageBytes} bytes, drawn ` +
                  `in ${Math.round(drawn)} ms with ${areas} areas and ${rests} sums`);
      await zoomWorks(page, "wide tree");
      await page.screenshot({path: path.join(options.out, "wide.png")});
      await page.close();
    }
  } finally {
    await browser.close();
    fs.rmSync(work, {recursive: true, force: true});
  }
}

try {
  await main();
} catch (error) {
  failures.push(String(error && error.stack || error));
  console.error(error);
}
console.log(`report browser test: ${passed} passed, ${failures.length} failed`);
for (const failure of failures) console.error(failure);
process.exit(failures.length ? 1 : 0);
