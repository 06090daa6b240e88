// The page of jointbus-view: one card per motor with its charts, fed by the server's event
// stream of min/max envelopes per pixel column (two points per column, so a spike of one
// sample still draws). The page keeps the window it shows; the server keeps the full rate.
"use strict";

const COLORS = { q_cmd: "#d62728", q: "#1f77b4", dq_cmd: "#ff7f0e", dq: "#2ca02c",
                 tau_cmd: "#9467bd", tau: "#8c564b", kp: "#e377c2", kd: "#7f7f7f",
                 v_max: "#bcbd22", i_max: "#17becf", status: "#000", t_mos: "#aa4400",
                 t_rotor: "#4400aa", latency_ms: "#008888", missed: "#ff0000" };
const DEFAULT_CHARTS = [["q_cmd", "q"], ["dq_cmd", "dq"], ["tau_cmd", "tau"],
                        ["kp", "kd"]];
const STATUS_NAMES = { 0: "disabled", 1: "enabled" };

const view = {
  signals: [], motors: [], widthUs: 0,
  x: [],          // seconds; two points per column
  y: [],          // [motor][signal] -> values, aligned with x
  zoom: null,     // {x, y, from, to} while a span of the past is shown
  paused: false, capture: null, errors: [], cards: [], columnsReceived: 0,
  redraws: 0, redrawMs: 0,  // how often and how long the charts were drawn (tools/bench-view)
};
window.jointbusView = view;

const $ = (id) => document.getElementById(id);
let source = null;

function windowSeconds() { return Math.max(1, Number($("window").value) || 10); }
// One column per pixel of a chart: what the eye can tell apart, and no more to draw.
function chartWidth() { return Math.max(300, Math.floor((innerWidth - 70) / 4)); }
function columnsWanted() { return Math.min(2000, chartWidth() - 50); }

function connect() {
  if (source) source.close();
  const query = new URLSearchParams({ width: columnsWanted(), window: windowSeconds(),
                                      refresh: 25 });
  const trigger = $("trigger").value;
  if (view.armed && trigger) {
    query.set("trigger", trigger);
    query.set("threshold", $("threshold").value);
    query.set("pre", $("pre").value);
    query.set("post", $("post").value);
  }
  source = new EventSource("/events?" + query);
  source.addEventListener("hello", (e) => hello(JSON.parse(e.data)));
  source.addEventListener("columns", (e) => columns(JSON.parse(e.data)));
  source.addEventListener("status", (e) => status(JSON.parse(e.data)));
  source.addEventListener("capture", (e) => captured(JSON.parse(e.data)));
}

function hello(h) {
  view.signals = h.signals;
  view.widthUs = h.width_us;
  view.x = [];
  view.y = h.motors.map(() => h.signals.map(() => []));
  if (view.motors.length !== h.motors.length) {
    view.motors = h.motors;
    buildCards();
  }
  view.motors = h.motors;
  buildCsvLinks();
}

function columns(c) {
  for (let i = 0; i < c.count; i++) {
    const t = (c.first + i) * c.width_us / 1e6;
    view.x.push(t, t + c.width_us / 2e6);
  }
  c.motors.forEach((signals, m) => signals.forEach((values, s) => {
    const into = view.y[m][s];
    for (const v of values) into.push(v);
  }));
  // Keep one window behind the newest column.
  const oldest = view.x[view.x.length - 1] - windowSeconds();
  let drop = 0;
  while (drop < view.x.length && view.x[drop] < oldest) drop++;
  if (drop > 0) {
    view.x.splice(0, drop);
    for (const motor of view.y) for (const values of motor) values.splice(0, drop);
  }
  view.columnsReceived += c.count;
  // Drawn once per frame of the browser however many messages came: a busy page lags by a
  // frame, not by a queue of redraws (and a hidden tab draws nothing).
  if (!view.paused && !view.zoom && !view.drawPending) {
    view.drawPending = true;
    requestAnimationFrame(() => { view.drawPending = false; if (!view.zoom) redraw(); });
  }
}

function series(motor, names) {
  return names.map((n) => view.y[motor][view.signals.indexOf(n)]);
}

// Only the cards on screen are drawn: with many motors, drawing every chart at every refresh
// would cost the browser more than the refresh allows. A card that scrolls in is drawn then.
const onScreen = new IntersectionObserver((entries) => {
  for (const entry of entries) {
    const card = view.cards[Number(entry.target.dataset.motor)];
    if (!card) continue;
    card.visible = entry.isIntersecting;
    if (card.visible) drawCard(card);
  }
});

function drawCard(card) {
  const data = view.zoom ? view.zoom : view;
  for (const chart of card.charts) {
    chart.plot.setData([data.x, ...chart.names.map(
      (n) => data.y[card.motor][view.signals.indexOf(n)])]);
  }
}

function redraw() {
  const start = performance.now();
  for (const card of view.cards) if (card.visible) drawCard(card);
  // uPlot draws in a microtask queued by setData: this one runs after the last chart's.
  queueMicrotask(() => {
    view.redraws++;
    view.redrawMs += performance.now() - start;
  });
}

function makePlot(into, motor, names, width) {
  const opts = {
    width, height: 170,
    cursor: { sync: { key: "jointbus", setSeries: false }, drag: { x: true, y: false } },
    scales: { x: { time: true } },
    legend: { live: true },
    series: [{}, ...names.map((n) => ({ label: n, stroke: COLORS[n] || "#333", width: 1,
                                         spanGaps: true, points: { show: false } }))],
    hooks: { setSelect: [(u) => {
      if (u.select.width < 3) return;
      const from = u.posToVal(u.select.left, "x");
      const to = u.posToVal(u.select.left + u.select.width, "x");
      u.setSelect({ width: 0, height: 0 }, false);
      showSpan(from, to);
    }] },
  };
  const data = [view.x, ...series(motor, names)];
  return new uPlot(opts, data, into);
}

function buildCards() {
  const main = $("motors");
  main.textContent = "";
  onScreen.disconnect();
  view.cards = [];
  view.motors.forEach((info, m) => {
    const card = document.createElement("div");
    card.className = "motor";
    card.dataset.motor = m;
    const title = document.createElement("h3");
    title.innerHTML = `<span>${info.bus} motor 0x${info.motor_id.toString(16)} ` +
      `(master 0x${info.master_id.toString(16)}${info.model ? ", " + info.model : ""})</span>` +
      `<span class="facts"></span>`;
    card.appendChild(title);
    const grid = document.createElement("div");
    grid.className = "charts";
    card.appendChild(grid);
    main.appendChild(card);
    const entry = { motor: m, facts: title.querySelector(".facts"), charts: [], visible: false };
    const width = chartWidth();
    DEFAULT_CHARTS.forEach((names) => {
      const box = document.createElement("div");
      box.className = "chart";
      // The signals on this chart: a checkbox each, in a fold above it.
      const pick = document.createElement("details");
      pick.innerHTML = `<summary>${names.join(", ")}</summary>`;
      for (const name of view.signals) {
        const label = document.createElement("label");
        label.innerHTML = `<input type="checkbox" value="${name}"` +
          `${names.includes(name) ? " checked" : ""}> ${name}`;
        pick.appendChild(label);
      }
      box.appendChild(pick);
      const plotBox = document.createElement("div");
      box.appendChild(plotBox);
      grid.appendChild(box);
      const chart = { names: names.slice(), plot: null };
      chart.plot = makePlot(plotBox, m, chart.names, width);
      pick.addEventListener("change", () => {
        chart.names = [...pick.querySelectorAll("input:checked")].map((i) => i.value);
        pick.querySelector("summary").textContent = chart.names.join(", ") || "(none)";
        chart.plot.destroy();
        chart.plot = makePlot(plotBox, m, chart.names, width);
        drawCard(entry);
      });
      entry.charts.push(chart);
    });
    view.cards.push(entry);
    onScreen.observe(card);
  });
}

function lastValue(motor, name) {
  const values = view.y[motor][view.signals.indexOf(name)];
  for (let i = values.length - 1; i >= 0; i--) if (values[i] !== null) return values[i];
  return null;
}

function status(s) {
  view.nowUs = s.now_us;
  $("clock").textContent = new Date(s.now_us / 1000).toISOString().replace("T", " ");
  s.motors.forEach((info, m) => {
    const card = view.cards[m];
    if (!card || !card.visible) return;
    const st = lastValue(m, "status");
    const fmt = (v, d) => (v === null ? "-" : v.toFixed(d));
    const parts = [
      `status <span class="${st !== null && st !== 1 ? "bad" : ""}">` +
        `${st === null ? "-" : STATUS_NAMES[st] || "0x" + st.toString(16)}</span>`,
      `T mos ${fmt(lastValue(m, "t_mos"), 0)} rotor ${fmt(lastValue(m, "t_rotor"), 0)}`,
      `latency ${fmt(lastValue(m, "latency_ms"), 2)} ms`,
      `kp ${fmt(lastValue(m, "kp"), 2)} kd ${fmt(lastValue(m, "kd"), 3)}`,
      `commands ${info.commands} replies ${info.replies}`,
      `missed <span class="${info.missed ? "bad" : ""}">${info.missed}</span>`,
    ];
    card.facts.innerHTML = parts.join(" &middot; ");
  });
}

function buildCsvLinks() {
  const box = $("window-csv");
  box.textContent = "";
  const buses = [...new Set(view.motors.map((m) => m.bus))];
  for (const bus of buses) {
    const a = document.createElement("a");
    a.textContent = bus;
    a.href = "#";
    a.className = "csv";
    a.dataset.bus = bus;
    a.addEventListener("click", () => {
      const span = view.zoom ? [view.zoom.from, view.zoom.to]
                             : [view.x[0], view.x[view.x.length - 1]];
      a.href = `/trace.csv?bus=${encodeURIComponent(bus)}&from=${Math.floor(span[0] * 1e6)}` +
               `&to=${Math.ceil(span[1] * 1e6)}`;
      a.download = `trace-${bus}.csv`;
    });
    box.appendChild(a);
    box.append(" ");
  }
}

async function showSpan(from, to) {
  setPaused(true);
  const query = new URLSearchParams({ from: Math.floor(from * 1e6), to: Math.ceil(to * 1e6),
                                      width: columnsWanted() });
  const response = await fetch("/columns?" + query);
  if (!response.ok) return;
  const c = await response.json();
  const zoom = { x: [], y: c.motors, from, to };
  for (let i = 0; i < c.count; i++) {
    const t = (c.first + i) * c.width_us / 1e6;
    zoom.x.push(t, t + c.width_us / 2e6);
  }
  view.zoom = zoom;
  redraw();
}

function setPaused(paused) {
  view.paused = paused;
  $("pause").textContent = paused ? "Resume" : "Pause";
  // A paused page is sent nothing: the stream closes and reopens on resume with the window.
  if (paused && source) { source.close(); source = null; }
  if (!paused) { view.zoom = null; connect(); }
}

function pan(direction) {
  const span = view.zoom ? [view.zoom.from, view.zoom.to]
                         : [view.x[0], view.x[view.x.length - 1]];
  const shift = (span[1] - span[0]) / 2 * direction;
  showSpan(span[0] + shift, span[1] + shift);
}

function captured(c) {
  view.capture = c;
  view.armed = false;
  const info = view.motors[c.motor];
  $("capture").hidden = false;
  $("trigger-state").textContent = "captured";
  $("capture-info").textContent = `${info.bus} motor 0x${info.motor_id.toString(16)}, ` +
    `${$("trigger").selectedOptions[0].text} at ` +
    `${new Date(c.trigger_us / 1000).toISOString().replace("T", " ")}, ${c.rows.length} rows`;
  const csv = $("capture-csv");
  csv.href = `/trace.csv?bus=${encodeURIComponent(info.bus)}&from=${c.from_us}&to=${c.to_us}`;
  csv.download = `capture-${info.bus}-0x${info.motor_id.toString(16)}.csv`;
  const names = ["q_cmd", "q", "tau", "missed", "status"];
  const x = c.rows.map((r) => r[0] / 1e6);
  const ys = names.map((n) => c.rows.map((r) => r[1 + view.signals.indexOf(n)]));
  const box = $("capture-plot");
  box.textContent = "";
  new uPlot({
    width: Math.max(600, $("capture").clientWidth - 20), height: 220,
    scales: { x: { time: true } },
    series: [{}, ...names.map((n) => ({ label: n, stroke: COLORS[n], spanGaps: true,
                                         points: { show: n === "missed" } }))],
  }, [x, ...ys], box);
}

window.addEventListener("error", (e) => view.errors.push(String(e.message)));
$("pause").addEventListener("click", () => setPaused(!view.paused));
$("live").addEventListener("click", () => setPaused(false));
$("back").addEventListener("click", () => pan(-1));
$("forward").addEventListener("click", () => pan(1));
$("window").addEventListener("change", () => { if (!view.paused) connect(); });
$("arm").addEventListener("click", () => {
  view.armed = Boolean($("trigger").value);
  $("trigger-state").textContent = view.armed ? "armed" : "";
  if (!view.paused) // The server's default window (--window), then the stream.
fetch("/motors").then((r) => r.json()).then((m) => { $("window").value = m.window_s; })
  .catch(() => {}).finally(connect);
});
// The server's default window (--window), then the stream.
fetch("/motors").then((r) => r.json()).then((m) => { $("window").value = m.window_s; })
  .catch(() => {}).finally(connect);
