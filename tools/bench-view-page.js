// Opens jointbus-view's page in headless Chromium for tools/bench-view and prints, as JSON, how
// often and how long it drew its charts over SECONDS.
//   node tools/bench-view-page.js PORT SECONDS
"use strict";
const fs = require("node:fs");
const os = require("node:os");
const path = require("node:path");
const puppeteer = require(path.join(__dirname, "../view/node_modules/puppeteer-core"));

// CPU seconds of the browser and every process under it (its renderer draws the charts).
function browserCpu(root) {
  const parents = new Map();
  const cpu = new Map();
  for (const pid of fs.readdirSync("/proc").filter((p) => /^\d+$/.test(p))) {
    try {
      const stat = fs.readFileSync(`/proc/${pid}/stat`, "utf8");
      const fields = stat.slice(stat.lastIndexOf(")") + 2).split(" ");
      parents.set(Number(pid), Number(fields[1]));
      cpu.set(Number(pid), (Number(fields[11]) + Number(fields[12])) / 100);
    } catch { /* gone meanwhile */ }
  }
  let total = 0;
  for (const [pid, seconds] of cpu) {
    for (let p = pid; p > 1; p = parents.get(p) || 0) {
      if (p === root) { total += seconds; break; }
    }
  }
  return total;
}

async function main() {
  const [port, seconds] = [process.argv[2], Number(process.argv[3])];
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), "jointbus-view-bench."));
  const browser = await puppeteer.launch({
    executablePath: "/usr/bin/chromium",
    args: ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
      "--disable-background-networking", "--disable-component-update", "--disable-sync",
      `--user-data-dir=${profile}`],
    defaultViewport: { width: 1500, height: 1000 },
  });
  try {
    const page = await browser.newPage();
    await page.goto(`http://127.0.0.1:${port}/`);
    await page.waitForFunction(() => window.jointbusView.redraws > 5, { timeout: 60000 });
    const take = () => page.evaluate(() => ({ redraws: window.jointbusView.redraws,
      ms: window.jointbusView.redrawMs, columns: window.jointbusView.columnsReceived,
      charts: window.jointbusView.cards.reduce((n, c) => n + c.charts.length, 0),
      points: window.jointbusView.x.length }));
    const root = browser.process().pid;
    const cpuBefore = browserCpu(root);
    const before = await take();
    await new Promise((r) => setTimeout(r, seconds * 1000));
    const after = await take();
    const cpu = browserCpu(root) - cpuBefore;
    const redraws = after.redraws - before.redraws;
    console.log(JSON.stringify({ seconds, charts: after.charts, points_per_series: after.points,
      redraws_per_s: redraws / seconds, ms_per_redraw: (after.ms - before.ms) / redraws,
      columns_per_s: (after.columns - before.columns) / seconds,
      browser_cpu_ms_per_redraw: 1000 * cpu / redraws, browser_cpu_share: cpu / seconds }));
  } finally {
    await browser.close();
    fs.rmSync(profile, { recursive: true, force: true });
  }
}
main().catch((e) => { console.error(e); process.exit(1); });
