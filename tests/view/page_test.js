// jointbus-view as a user sees it: headless Chromium opens the page served from a replay and
// checks it against jointbus-trace's decoding of the same log.
//
//   node tests/view/page_test.js BUILD_DIR [--screenshot PNG]
//
// Each check prints "ok" or "FAILED" with what differed; the exit status is 1 on any failure.
"use strict";

const assert = require("node:assert/strict");
const { spawn, execFileSync } = require("node:child_process");
const fs = require("node:fs");
const net = require("node:net");
const os = require("node:os");
const path = require("node:path");

const REPO = path.resolve(__dirname, "../..");
const puppeteer = require(path.join(REPO, "view/node_modules/puppeteer-core"));

const MOTORS = ["1:0x11:dm4310", "2:0x12:dm4340", "3:0x13:dm6006"];
const BROWSER_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
  "--no-first-run", "--disable-background-networking", "--disable-component-update",
  "--disable-sync"];

const build = process.argv[2] || path.join(REPO, "build/release");
const shotAt = process.argv.indexOf("--screenshot");
const screenshot = shotAt > 0 ? process.argv[shotAt + 1] : null;

let failures = 0;
async function check(name, body) {
  try {
    await body();
    console.log(`ok: ${name}`);
  } catch (error) {
    failures++;
    console.log(`FAILED: ${name}: ${error.message}`);
  }
}

function freePort() {
  return new Promise((resolve) => {
    const server = net.createServer();
    server.listen(0, "127.0.0.1", () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

// The trace's CSV as rows of named cells, and its text as it is.
function traceCsv(log, dir) {
  const csv = path.join(dir, "trace.csv");
  execFileSync(path.join(build, "trace/jointbus-trace"),
    [log, "-q", "--csv", csv, ...MOTORS.flatMap((m) => ["--motor", m])]);
  const text = fs.readFileSync(csv, "utf8");
  const [header, ...lines] = text.trimEnd().split("\n");
  const columns = header.split(",");
  const rows = lines.map((line) => {
    const cells = line.split(",");
    const row = { text: line };
    columns.forEach((c, i) => { row[c] = cells[i]; });
    row.time_us = Math.round(Number(row.time) * 1e6);
    return row;
  });
  return { header, rows };
}

// Equal lists of lines, or an error naming the first that differs.
function sameLines(actual, wanted) {
  const at = actual.findIndex((line, i) => line !== wanted[i]);
  if (at >= 0 || actual.length !== wanted.length) {
    throw new Error(`${actual.length} lines for ${wanted.length}; first difference at ${at}: ` +
      `${JSON.stringify(actual[at])} for ${JSON.stringify(wanted[at])}`);
  }
}

// The smallest and largest value of `column` among the rows of a motor in [from, to).
function extremes(rows, motorId, kind, column, from, to) {
  const values = rows.filter((r) => Number(r.motor_id) === motorId && r.event === kind &&
    r[column] !== "" && r.time_us >= from && r.time_us < to).map((r) => Math.fround(Number(r[column])));
  if (values.length === 0) return null;
  return [Math.min(...values), Math.max(...values)];
}

async function main() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), "jointbus-view-test."));
  const log = path.join(dir, "demo.log");
  execFileSync("/usr/bin/python3.11", [path.join(__dirname, "make_log.py"), log,
    "--seconds", "4", "--drop-every", "700"]);
  const trace = traceCsv(log, dir);
  const port = await freePort();
  // As fast as it reads: the whole log is in the window when the page opens.
  const view = spawn(path.join(build, "view/jointbus-view"),
    ["--replay", log, "--speed", "0", "--port", String(port), "--window", "5",
     ...MOTORS.flatMap((m) => ["--motor", m])], { stdio: ["ignore", "ignore", "pipe"] });
  let viewErr = "";
  view.stderr.on("data", (d) => { viewErr += d; });
  const browser = await puppeteer.launch({
    executablePath: "/usr/bin/chromium",
    args: [...BROWSER_FLAGS, `--user-data-dir=${path.join(dir, "profile")}`],
    defaultViewport: { width: 1500, height: 1000 },
  });
  try {
    const page = await browser.newPage();
    const consoleErrors = [];
    page.on("console", (m) => { if (m.type() === "error") consoleErrors.push(m.text()); });
    page.on("pageerror", (e) => consoleErrors.push(String(e)));
    const url = `http://127.0.0.1:${port}/`;
    for (let tries = 0; ; tries++) {
      try {
        await page.goto(url, { waitUntil: "load" });
        break;
      } catch (error) {
        if (tries > 100) throw error;
        await new Promise((r) => setTimeout(r, 100));
      }
    }
    await page.waitForFunction(() => window.jointbusView.columnsReceived > 0 &&
      window.jointbusView.x.length > 0, { timeout: 30000 });

    await check("every motor of the log has its card, with commands and replies", async () => {
      const cards = await page.evaluate(() => window.jointbusView.motors.map((m, i) => ({
        id: m.motor_id, q: window.jointbusView.y[i][window.jointbusView.signals.indexOf("q")]
          .filter((v) => v !== null).length })));
      assert.deepEqual(cards.map((c) => c.id), [1, 2, 3]);
      for (const card of cards) assert.ok(card.q > 100, `motor ${card.id}: ${card.q} values of q`);
      assert.equal(await page.$$eval(".motor", (e) => e.length), 3);
    });

    await check("the plotted envelope is the log's min and max in each chosen column", async () => {
      const got = await page.evaluate(() => {
        const v = window.jointbusView;
        const card = v.cards[0];
        return { x: v.x, widthUs: v.widthUs, signals: v.signals, y: v.y,
                 plotted: card.charts[0].plot.data, names: card.charts[0].names };
      });
      // The position chart draws exactly the arrays the stream delivered.
      assert.deepEqual(got.names, ["q_cmd", "q"]);
      assert.deepEqual(got.plotted[1], got.y[0][got.signals.indexOf("q_cmd")]);
      assert.deepEqual(got.plotted[2], got.y[0][got.signals.indexOf("q")]);
      const first = trace.rows[0].time_us;
      const last = trace.rows[trace.rows.length - 1].time_us;
      let checked = 0;
      for (const fraction of [0.1, 0.3, 0.5, 0.7, 0.9]) {
        const instant = first + (last - first) * fraction;
        const column = Math.floor(instant / got.widthUs);
        const from = column * got.widthUs;
        const at = got.x.findIndex((t) => Math.round(t * 1e6) === from);
        assert.ok(at >= 0, `no column at ${from}`);
        for (const [m, id] of [[0, 1], [1, 2], [2, 3]]) {
          for (const [signal, kind, col] of [["q_cmd", "command", "q"], ["q", "reply", "position"],
                                             ["dq_cmd", "command", "dq"], ["tau", "reply", "torque"]]) {
            const want = extremes(trace.rows, id, kind, col, from, from + got.widthUs);
            const pair = got.y[m][got.signals.indexOf(signal)].slice(at, at + 2);
            if (want === null) {
              assert.deepEqual(pair, [null, null], `motor ${id} ${signal} at ${from}`);
              continue;
            }
            const sorted = pair.map(Math.fround).sort((a, b) => a - b);
            assert.deepEqual(sorted, want, `motor ${id} ${signal} at ${from}`);
            checked++;
          }
        }
      }
      assert.ok(checked >= 30, `only ${checked} values compared`);
    });

    await check("a one-sample spike of the missed replies is drawn at any width", async () => {
      const got = await page.evaluate(() => {
        const v = window.jointbusView;
        return v.y[0][v.signals.indexOf("missed")].filter((x) => x === 1).length;
      });
      const missed = trace.rows.filter((r) => r.event === "missed" && r.motor_id === "1");
      assert.ok(missed.length >= 4, `${missed.length} missed in the log`);
      // Each missed command is one sample; its column draws it once or twice (both extremes).
      assert.ok(got >= missed.length, `${got} points of 1 for ${missed.length} missed replies`);
    });

    let capture = null;
    await check("the trigger on a missed reply freezes a capture around it", async () => {
      await page.select("#trigger", "missed");
      await page.$eval("#pre", (e) => { e.value = "0.05"; });
      await page.$eval("#post", (e) => { e.value = "0.05"; });
      await page.click("#arm");
      await page.waitForFunction(() => window.jointbusView.capture !== null, { timeout: 30000 });
      capture = await page.evaluate(() => window.jointbusView.capture);
      const firstMiss = trace.rows.find((r) => r.event === "missed" && r.time_us >=
        capture.from_us);
      assert.equal(capture.motor, 0);
      assert.equal(capture.trigger_us, firstMiss.time_us);
      assert.equal(capture.from_us, capture.trigger_us - 50000);
      assert.equal(capture.to_us, capture.trigger_us + 50000);
      // At the full rate: every command and reply of motor 1 in the span, with its values.
      const wanted = trace.rows.filter((r) => r.motor_id === "1" && r.time_us >= capture.from_us &&
        r.time_us < capture.to_us && ["command", "reply", "missed"].includes(r.event));
      assert.equal(capture.rows.length, wanted.length);
      const q = 1 + 7;  // the row's time, then the signals in their order: q is the 8th
      const replies = wanted.filter((r) => r.event === "reply");
      const capturedQ = capture.rows.filter((r) => r[q] !== null);
      assert.deepEqual(capturedQ.map((r) => [r[0], Math.fround(r[q])]),
        replies.map((r) => [r.time_us, Math.fround(Number(r.position))]));
      assert.ok(await page.$eval("#capture", (e) => !e.hidden));
    });

    await check("the capture's CSV is the trace's rows of its span", async () => {
      const href = await page.$eval("#capture-csv", (a) => a.getAttribute("href"));
      const text = await page.evaluate(async (h) => (await fetch(h)).text(), href);
      const [header, ...lines] = text.trimEnd().split("\n");
      assert.equal(header, trace.header);
      const wanted = trace.rows.filter((r) => r.time_us >= capture.from_us &&
        r.time_us < capture.to_us).map((r) => r.text);
      assert.ok(wanted.length > 100, `${wanted.length} rows in the span`);
      sameLines(lines, wanted);
    });

    await check("the window's CSV link gives the trace's rows of the view", async () => {
      await page.click("#window-csv a.csv");
      const href = await page.$eval("#window-csv a.csv", (a) => a.getAttribute("href"));
      const query = new URLSearchParams(href.split("?")[1]);
      const text = await page.evaluate(async (h) => (await fetch(h)).text(), href);
      const lines = text.trimEnd().split("\n").slice(1);
      const wanted = trace.rows.filter((r) => r.time_us >= Number(query.get("from")) &&
        r.time_us < Number(query.get("to"))).map((r) => r.text);
      sameLines(lines, wanted);
    });

    await check("a signal picked onto a chart is drawn from the data already kept", async () => {
      const toggle = () => page.$eval('.motor[data-motor="0"] .chart details', (d) => {
        d.open = true;
        d.querySelector('input[value="tau"]').click();
      });
      await toggle();
      const got = await page.evaluate(() => {
        const v = window.jointbusView;
        const chart = v.cards[0].charts[0];
        return { names: chart.names, plotted: chart.plot.data[3],
                 kept: v.y[0][v.signals.indexOf("tau")] };
      });
      assert.deepEqual(got.names, ["q_cmd", "q", "tau"]);
      assert.ok(got.kept.filter((x) => x !== null).length > 100);
      assert.deepEqual(got.plotted, got.kept);
      await toggle();
      await page.$eval('.motor[data-motor="0"] .chart details', (d) => { d.open = false; });
    });

    await check("no console error", async () => {
      assert.deepEqual(consoleErrors, []);
      assert.deepEqual(await page.evaluate(() => window.jointbusView.errors), []);
    });

    if (screenshot) {
      await page.evaluate(() => window.scrollTo(0, 0));
      await page.screenshot({ path: screenshot });
      console.log(`screenshot: ${screenshot}`);
    }
  } finally {
    await browser.close();
    view.kill("SIGTERM");
    await new Promise((r) => view.once("exit", r));
    fs.rmSync(dir, { recursive: true, force: true });
  }
  if (view.exitCode !== 0 && view.exitCode !== null) {
    console.log(`FAILED: jointbus-view exited with ${view.exitCode}: ${viewErr}`);
    failures++;
  }
  process.exit(failures === 0 ? 0 : 1);
}

main().catch((error) => {
  console.log(`FAILED: ${error.stack}`);
  process.exit(1);
});
