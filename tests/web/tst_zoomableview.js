// The zoomable view in a real browser: the command-line tool makes a small
// mosaic of its sample with --zoomable and --report into one folder, and
// Debian's Chromium, headless and driven by playwright-core, opens its page
// as a file and from a web server on the loopback address. Zoomed in, the
// deepest tiles load; the whole view looks like the mosaic; hovering a tile
// names the picture the report gives for it.
// Usage: node tst_zoomableview.js CLI (NODE_PATH holding web/node_modules)
"use strict";
const { chromium } = require("playwright-core");
const { execFileSync } = require("child_process");
const fs = require("fs"), http = require("http"), os = require("os"), path = require("path");

const started = Date.now();
const work = fs.mkdtempSync(path.join(os.tmpdir(), "kvp-zoomable-"));
const view = path.join(work, "view");

function check(condition, message) {
  if (!condition) throw new Error(message);
}

function makeMosaic() {
  const run = args => execFileSync(process.argv[2], [...args, "--quiet"], { env: { ...process.env, HOME: work } });
  run(["--make-sample", path.join(work, "sample")]);
  run([path.join(work, "sample/source.jpg"), "--use", path.join(work, "sample/collection"), "--strategy", "fastest",
       "--imagedb", path.join(work, "imagedb"), "--output", path.join(work, "mosaic.jpg"), "--tiles", "20",
       "--resolution", "2000", "--zoomable", view, "--report", view]);
}

// Serves the view's files, for the page as a web site would have it.
function serve() {
  const server = http.createServer((request, response) => {
    const file = path.join(view, decodeURIComponent(new URL(request.url, "http://x").pathname));
    fs.readFile(file, (error, data) => {
      response.writeHead(error ? 404 : 200);
      response.end(data);
    });
  });
  return new Promise(resolve => server.listen(0, "127.0.0.1", () => resolve(server)));
}

// Opens the page, zooms in all the way, and returns the levels whose tiles loaded.
async function zoomIn(page, url) {
  await page.goto(url);
  await page.waitForFunction(() => viewer.world.getItemCount() === 1 && viewer.world.getItemAt(0).getFullyLoaded());
  return page.evaluate(() => new Promise(resolve => {
    const levels = new Set(), failed = [];
    viewer.addHandler("tile-loaded", e => levels.add(e.tile.level));
    viewer.addHandler("tile-load-failed", e => failed.push(e.message));
    const deepest = viewer.world.getItemAt(0).source.maxLevel;
    viewer.viewport.zoomTo(viewer.viewport.getMaxZoom(), null, true);
    const poll = () => levels.has(deepest) && viewer.world.getItemAt(0).getFullyLoaded()
      ? resolve({ deepest, levels: [...levels], failed }) : setTimeout(poll, 50);
    poll();
  }));
}

// Mean colours of a grid of cells of a picture given as a data URL.
function cellMeans({ dataUrl, cells }) {
  return new Promise(resolve => {
    const image = new Image();
    image.onload = () => {
      const canvas = document.createElement("canvas");
      canvas.width = image.width;
      canvas.height = image.height;
      const context = canvas.getContext("2d");
      context.drawImage(image, 0, 0);
      const pixels = context.getImageData(0, 0, image.width, image.height).data, sums = new Array(cells * cells * 3).fill(0);
      for (let y = 0; y < image.height; ++y)
        for (let x = 0; x < image.width; ++x)
          for (let c = 0; c < 3; ++c)
            sums[(Math.floor(y * cells / image.height) * cells + Math.floor(x * cells / image.width)) * 3 + c] +=
              pixels[(y * image.width + x) * 4 + c] * cells * cells / (image.width * image.height);
      resolve(sums);
    };
    image.src = dataUrl;
  });
}

async function main() {
  makeMosaic();
  const server = await serve();
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), "kvp-chromium-"));
  const browser = await chromium.launchPersistentContext(profile, {
    executablePath: "/usr/bin/chromium", headless: true, viewport: { width: 1280, height: 720 },
    args: ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
           "--disable-background-networking", "--disable-component-update", "--disable-sync"] });
  try {
    const page = await browser.newPage();
    page.setDefaultTimeout(120000);
    for (const url of ["file://" + path.join(view, "index.html"), `http://127.0.0.1:${server.address().port}/index.html`]) {
      const zoomed = await zoomIn(page, url);
      check(zoomed.failed.length === 0, `${url}: tiles failed to load: ${zoomed.failed.join(", ")}`);
      check(zoomed.levels.includes(zoomed.deepest), `${url}: no tile of level ${zoomed.deepest} loaded`);
    }

    // The whole mosaic on the screen, without the viewer's controls, against the mosaic's own pixels.
    const box = await page.evaluate(() => new Promise(resolve => {
      viewer.setControlsEnabled(false);
      viewer.navigator.element.style.display = "none";
      viewer.viewport.goHome(true);
      const poll = () => {
        if (!viewer.world.getItemAt(0).getFullyLoaded()) return setTimeout(poll, 50);
        const a = viewer.viewport.imageToViewerElementCoordinates(new OpenSeadragon.Point(0, 0));
        const b = viewer.viewport.imageToViewerElementCoordinates(new OpenSeadragon.Point(mosaic.width, mosaic.height));
        resolve({ x: Math.round(a.x), y: Math.round(a.y), width: Math.round(b.x - a.x), height: Math.round(b.y - a.y) });
      };
      setTimeout(poll, 500);
    }));
    const shot = "data:image/png;base64," + (await page.screenshot({ clip: box })).toString("base64");
    const original = "data:image/jpeg;base64," + fs.readFileSync(path.join(work, "mosaic.jpg")).toString("base64");
    const blank = await browser.newPage();
    const [seen, made] = await Promise.all([shot, original].map(dataUrl => blank.evaluate(cellMeans, { dataUrl, cells: 20 })));
    const difference = seen.reduce((sum, v, i) => sum + Math.abs(v - made[i]), 0) / seen.length;
    check(difference < 3, `the page shows the mosaic with a mean difference of ${difference.toFixed(2)} a channel`);

    // A tile whose four neighbours hold other pictures, so a tile off by one is noticed.
    const rows = fs.readFileSync(path.join(view, "tiles.csv"), "utf8").trim().split("\n").slice(1).map(l => l.split(","));
    const at = (column, row) => rows.find(r => +r[0] === column && +r[1] === row)[2];
    const tile = rows.find(([c, r, picture]) => +c > 0 && +c < 19 && +r > 0 && +r < 19 &&
      [[-1, 0], [1, 0], [0, -1], [0, 1]].every(([dx, dy]) => at(+c + dx, +r + dy) !== picture));
    const centre = await page.evaluate(([column, row]) => {
      const x = (mosaic.columns[column] + mosaic.columns[column + 1]) / 2, y = (mosaic.rows[row] + mosaic.rows[row + 1]) / 2;
      return viewer.viewport.imageToViewerElementCoordinates(new OpenSeadragon.Point(x, y));
    }, [+tile[0], +tile[1]]);
    await page.mouse.move(centre.x, centre.y);
    await page.waitForFunction(() => !document.getElementById("tile-info").hidden);
    const name = await page.locator("#tile-info .name").textContent();
    check(name === path.basename(tile[2]), `tile ${tile[0]}, ${tile[1]} shows ${name}, not ${path.basename(tile[2])}`);
  } finally {
    await browser.close();
    server.close();
    fs.rmSync(profile, { recursive: true, force: true });
    fs.rmSync(work, { recursive: true, force: true });
  }
  console.log(`zoomable view checked in ${((Date.now() - started) / 1000).toFixed(1)} s`);
}

main().catch(error => {
  console.error(error);
  process.exit(1);
});
