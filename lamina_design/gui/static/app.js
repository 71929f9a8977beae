// The designer page: edits go to the server over one websocket; every number plotted comes back
// from it. The page computes nothing but unit changes (fractions to %).
"use strict";

const TOKEN = window.LAMINA_TOKEN;
const state = { design: null, targets: [], refine: {}, bands: [], seq: 0, spectrum: null };
// For tests and the latency benchmark: when each edit was sent and when its plot was drawn.
window.laminaTimes = { sent: {}, received: {}, drawn: [] };
// For tests: the evaluation counts the running refinement reported.
window.laminaProgress = [];
const $ = (id) => document.getElementById(id);
let socket = null;

function status(text, kind) {
  const el = $("status");
  el.textContent = text || "";
  el.className = kind || "";
}

function send(message) {
  if (!socket || socket.readyState !== WebSocket.OPEN) {
    status("not connected to the server", "error");
    return;
  }
  socket.send(JSON.stringify(message));
}

function sendDesign() {
  state.seq += 1;
  window.laminaTimes.sent[state.seq] = performance.now();
  send({ type: "design", seq: state.seq, design: state.design });
}

// -- numbers typed in fields ------------------------------------------------------------------
function parseNumber(input) {
  const text = input.value.trim();
  const value = text === "" ? NaN : Number(text);
  input.classList.toggle("bad", !Number.isFinite(value));
  return Number.isFinite(value) ? value : null;
}

// Target fields: empty (absent), a number, or numbers separated by commas (one per wavelength).
function parseField(text, scale) {
  const t = text.trim();
  if (t === "") return null;
  const parts = t.split(",").map((p) => Number(p.trim()) / scale);
  if (parts.some((v) => !Number.isFinite(v))) return undefined;
  return parts.length === 1 ? parts[0] : parts;
}

function showField(value, scale) {
  if (value === null || value === undefined) return "";
  if (Array.isArray(value)) return value.map((v) => String(+(v * scale).toPrecision(12))).join(", ");
  return String(+(value * scale).toPrecision(12));
}

// -- the design -------------------------------------------------------------------------------
function renderDesign() {
  const d = state.design;
  $("design-name").value = d.name;
  $("incidence").value = d.incidence;
  $("exit").value = d.exit === null ? "" : d.exit;
  $("exit-label").style.display = d.exit === null ? "none" : "";
  $("substrate").textContent = d.substrate ? "substrate: " + d.substrate : "";
  $("wl-start").value = d.wavelength.start;
  $("wl-stop").value = d.wavelength.stop;
  $("wl-count").value = d.wavelength.count;
  $("angle").value = d.angle_deg;
  const pol = $("polarisation");
  const polText = String(d.polarisation);
  if (![...pol.options].some((o) => o.value === polText)) pol.add(new Option(polText + "°", polText));
  pol.value = polText;
  const body = $("layers").tBodies[0];
  body.replaceChildren();
  d.layers.forEach((layer, i) => {
    const row = body.insertRow();
    row.insertCell().textContent = String(i + 1);
    const material = document.createElement("input");
    material.setAttribute("list", "materials");
    material.size = 12;
    material.value = layer.material;
    material.className = "material";
    material.addEventListener("change", () => {
      const n = Number(material.value);
      layer.material = material.value.trim() !== "" && Number.isFinite(n) ? n : material.value;
      sendDesign();
    });
    row.insertCell().appendChild(material);
    const thickness = document.createElement("input");
    thickness.type = "number";
    thickness.step = "any";
    thickness.min = "0";
    thickness.className = "thickness";
    thickness.value = layer.thickness_nm;
    thickness.addEventListener("input", () => {
      const v = parseNumber(thickness);
      if (v !== null) {
        layer.thickness_nm = v;
        sendDesign();
      }
    });
    row.insertCell().appendChild(thickness);
    const coherent = document.createElement("input");
    coherent.type = "checkbox";
    coherent.checked = layer.coherent;
    coherent.addEventListener("change", () => { layer.coherent = coherent.checked; sendDesign(); });
    row.insertCell().appendChild(coherent);
    const ops = row.insertCell();
    const button = (label, title, action) => {
      const b = document.createElement("button");
      b.textContent = label;
      b.title = title;
      b.addEventListener("click", () => { action(); renderDesign(); sendDesign(); });
      ops.appendChild(b);
    };
    button("↑", "move up", () => { if (i > 0) d.layers.splice(i - 1, 0, d.layers.splice(i, 1)[0]); });
    button("↓", "move down", () => { if (i < d.layers.length - 1) d.layers.splice(i + 1, 0, d.layers.splice(i, 1)[0]); });
    button("+", "duplicate", () => { d.layers.splice(i + 1, 0, Object.assign({}, layer)); });
    button("✕", "delete", () => { d.layers.splice(i, 1); });
  });
}

function bindDesignFields() {
  $("design-name").addEventListener("change", () => { state.design.name = $("design-name").value; sendDesign(); });
  for (const id of ["incidence", "exit"]) {
    $(id).addEventListener("change", () => {
      const text = $(id).value;
      const n = Number(text);
      state.design[id] = text.trim() !== "" && Number.isFinite(n) ? n : text;
      sendDesign();
    });
  }
  const sweep = { "wl-start": ["wavelength", "start"], "wl-stop": ["wavelength", "stop"],
                  "wl-count": ["wavelength", "count"] };
  for (const [id, [outer, key]] of Object.entries(sweep)) {
    $(id).addEventListener("change", () => {
      const v = parseNumber($(id));
      if (v !== null) { state.design[outer][key] = v; sendDesign(); }
    });
  }
  $("angle").addEventListener("change", () => {
    const v = parseNumber($("angle"));
    if (v !== null) { state.design.angle_deg = v; sendDesign(); }
  });
  $("polarisation").addEventListener("change", () => {
    const text = $("polarisation").value;
    state.design.polarisation = ["s", "p", "unpolarised"].includes(text) ? text : Number(text);
    sendDesign();
  });
  $("add-layer").addEventListener("click", () => {
    const last = state.design.layers[state.design.layers.length - 1];
    state.design.layers.push({ material: last ? last.material : "SiO2", thickness_nm: 100, coherent: true });
    renderDesign();
    sendDesign();
  });
}

// -- targets ----------------------------------------------------------------------------------
const TARGET_COLUMNS = [
  // [key, scale: the page shows R, T, A bounds in %]
  ["min", 100], ["max", 100], ["value", 100], ["tolerance", 100], ["weight", 1], ["angle_deg", 1],
];

function gridOf(target) {
  const wl = target.wavelength_nm;
  if (Array.isArray(wl)) return { start: wl[0], stop: wl[wl.length - 1], count: wl.length, list: true };
  return wl || { start: 400, stop: 700, count: 31 };
}

function renderTargets() {
  const body = $("targets").tBodies[0];
  body.replaceChildren();
  state.targets.forEach((target, i) => {
    const row = body.insertRow();
    const quantity = document.createElement("select");
    for (const q of ["R", "T", "A"]) quantity.add(new Option(q, q));
    quantity.value = target.quantity;
    quantity.className = "quantity";
    quantity.addEventListener("change", () => { target.quantity = quantity.value; sendTargets(); });
    row.insertCell().appendChild(quantity);
    const grid = gridOf(target);
    for (const key of ["start", "stop", "count"]) {
      const input = document.createElement("input");
      input.type = "number";
      input.step = key === "count" ? "1" : "any";
      input.value = grid[key];
      input.className = "wl-" + key;
      input.disabled = !!grid.list;
      input.addEventListener("change", () => {
        const v = parseNumber(input);
        if (v === null) return;
        const g = gridOf(target);
        target.wavelength_nm = { start: g.start, stop: g.stop, count: g.count };
        target.wavelength_nm[key] = v;
        sendTargets();
      });
      row.insertCell().appendChild(input);
    }
    for (const [key, scale] of TARGET_COLUMNS) {
      const input = document.createElement("input");
      input.type = "text";
      input.className = key;
      input.value = showField(target[key], scale);
      input.addEventListener("change", () => {
        const v = parseField(input.value, scale);
        input.classList.toggle("bad", v === undefined);
        if (v === undefined) return;
        if (v === null) delete target[key]; else target[key] = v;
        sendTargets();
      });
      row.insertCell().appendChild(input);
    }
    const remove = document.createElement("button");
    remove.textContent = "✕";
    remove.title = "delete target";
    remove.addEventListener("click", () => { state.targets.splice(i, 1); renderTargets(); sendTargets(); });
    row.insertCell().appendChild(remove);
  });
  $("max-evaluations").value = state.refine.max_evaluations || 200;
}

function sendTargets() {
  const budget = Number($("max-evaluations").value);
  send({ type: "targets", targets: state.targets, refine: { max_evaluations: budget } });
}

function bindTargets() {
  $("add-target").addEventListener("click", () => {
    const wl = state.design.wavelength;
    state.targets.push({ quantity: "R", wavelength_nm: { start: wl.start, stop: wl.stop, count: 21 },
                         max: 0.01, tolerance: 0.01, weight: 1, angle_deg: state.design.angle_deg,
                         polarisation: state.design.polarisation });
    renderTargets();
    sendTargets();
  });
  $("max-evaluations").addEventListener("change", sendTargets);
  $("refine").addEventListener("click", () => { clearResult(); send({ type: "refine" }); });
  $("cancel").addEventListener("click", () => send({ type: "cancel" }));
  // An empty field is no limit; a bad one is marked and nothing is sent.
  const optional = (id) => ($(id).value.trim() === "" ? null : parseNumber($(id)));
  for (const method of ["needle", "gradual"]) {
    $(method).addEventListener("click", () => {
      const layers = optional("max-layers");
      const total = optional("max-total");
      if ((layers === null && $("max-layers").value.trim() !== "") ||
          (total === null && $("max-total").value.trim() !== "")) return;
      const text = $("synth-material").value.trim();
      const n = Number(text);
      clearResult();
      send({ type: "synthesize", method: method,
             options: { material: text !== "" && Number.isFinite(n) ? n : text, max_layers: layers, max_total_nm: total } });
    });
  }
  $("tolerance").addEventListener("click", () => {
    const sigma = parseNumber($("sigma"));
    const samples = parseNumber($("samples"));
    if (sigma === null || samples === null) return;
    clearResult();
    send({ type: "tolerance", options: { thickness_rel: sigma / 100, samples: samples } });
  });
}

const JOB_BUTTONS = ["refine", "needle", "gradual", "tolerance"];

function busy(on) {
  for (const id of JOB_BUTTONS) $(id).disabled = on;
  $("cancel").disabled = !on;
  $("undo").disabled = on || undoState.undo === 0;
  $("redo").disabled = on || undoState.redo === 0;
  running = on;
}

function clearResult() {
  $("result").replaceChildren();
  $("report").textContent = "";
}

// -- undo and redo (the server keeps the history) ---------------------------------------------
let undoState = { undo: 0, redo: 0 };
let running = false;

function showHistory(h) {
  if (!h) return;
  undoState = h;
  $("undo").disabled = running || h.undo === 0;
  $("redo").disabled = running || h.redo === 0;
}

function bindHistory() {
  $("undo").addEventListener("click", () => send({ type: "undo" }));
  $("redo").addEventListener("click", () => send({ type: "redo" }));
  document.addEventListener("keydown", (e) => {
    if (!(e.ctrlKey || e.metaKey) || e.altKey) return;
    // Fields that are not the design's keep the browser's own undo of their text.
    if (e.target.closest && e.target.closest("#targets, .file-ops, .jobs, #max-evaluations")) return;
    const key = e.key.toLowerCase();
    if (key === "z" && !e.shiftKey) { e.preventDefault(); send({ type: "undo" }); }
    else if (key === "y" || (key === "z" && e.shiftKey)) { e.preventDefault(); send({ type: "redo" }); }
  });
}

function showJob(m) {
  busy(false);
  const what = m.job === "synthesis" ? "synthesis" : "tolerance run";
  if (m.error) { status(m.error, "error"); return; }
  const r = m.result;
  const stopped = m.cancelled ? " (cancelled: the best so far)" : "";
  if (m.job === "synthesis") {
    status(`${r.method === "needle" ? "needle" : "gradual evolution"}: ${r.summary}${stopped}`, "ok");
  } else {
    status(`tolerance: yield ${(100 * r.yield).toFixed(2)} % of ${r.samples} samples ` +
           `(95 % interval ${(100 * r.interval[0]).toFixed(2)}–${(100 * r.interval[1]).toFixed(2)} %)${stopped}`, "ok");
  }
  // A synthesis usually ends before its step limit: the bar shows it finished, not the limit.
  if (!m.cancelled) $("progress").value = $("progress").max;
  $("progress-text").textContent = `${what} ${m.cancelled ? "cancelled" : "done"}`;
  $("report").textContent = r.report;
}

function showResult(message) {
  busy(false);
  const out = $("result");
  out.replaceChildren();
  if (message.cancelled) { status("refinement cancelled", "ok"); return; }
  if (message.error) { status(message.error, "error"); return; }
  const r = message.result;
  $("progress").value = Math.min(r.nfev, $("progress").max);
  $("progress-text").textContent = `${r.nfev} evaluations`;
  status(`refined: merit ${r.merit_before.toPrecision(4)} → ${r.merit.toPrecision(4)} in ${r.nfev} evaluations ` +
         `(${r.seconds.toFixed(2)} s): ${r.message}`, "ok");
  const table = document.createElement("table");
  table.id = "result-table";
  const head = table.createTHead().insertRow();
  for (const h of ["target", "quantity", "merit before", "merit after", "points met", "worst (tol.)"]) {
    const th = document.createElement("th");
    th.textContent = h;
    head.appendChild(th);
  }
  const body = table.createTBody();
  r.targets.forEach((t, i) => {
    const row = body.insertRow();
    row.className = t.met === 1 ? "met" : "unmet";
    for (const text of [String(i + 1), t.quantity, r.before[i].merit.toPrecision(4), t.merit.toPrecision(4),
                        (100 * t.met).toFixed(1) + " %", t.worst.toPrecision(4)]) {
      row.insertCell().textContent = text;
    }
  });
  out.appendChild(table);
}

// -- the plot ---------------------------------------------------------------------------------
const COLOURS = { R: "#1f77b4", T: "#2ca02c", A: "#d62728" };

// What the last full draw showed besides the R, T, A values: when only those change (a thickness
// edit), restyling the three traces is cheaper than letting Plotly diff the whole figure.
let drawnShape = null;

function shapeOf(s) {
  const wl = s.wavelength_nm;
  return { wl: wl.length + ":" + wl[0] + ":" + wl[wl.length - 1], bands: state.bands,
           title: state.design ? state.design.name : "" };
}

function draw() {
  const s = state.spectrum;
  if (!s) return Promise.resolve();
  const pct = (a) => a.map((v) => 100 * v);
  const shape = shapeOf(s);
  if (drawnShape && drawnShape.wl === shape.wl && drawnShape.bands === shape.bands && drawnShape.title === shape.title) {
    return Plotly.restyle("plot", { y: [pct(s.R), pct(s.T), pct(s.A)] }, [0, 1, 2]);
  }
  drawnShape = shape;
  const traces = ["R", "T", "A"].map((q) => ({
    x: s.wavelength_nm, y: pct(s[q]), name: q, mode: "lines", line: { color: COLOURS[q], width: 1.6 },
  }));
  state.bands.forEach((band, i) => {
    for (const side of ["lower", "upper"]) {
      const y = band[side].map((v) => (v === null ? null : 100 * v));
      if (y.every((v) => v === null)) continue;
      traces.push({ x: band.wavelength_nm, y: y, name: `target ${i + 1} ${band.quantity} ${side === "lower" ? "min" : "max"}`,
                    mode: "lines+markers", marker: { size: 4 }, showlegend: false,
                    line: { color: COLOURS[band.quantity], dash: "dash", width: 1.2 } });
    }
  });
  const layout = { margin: { l: 55, r: 20, t: 30, b: 45 }, xaxis: { title: { text: "wavelength (nm)" } },
                   yaxis: { title: { text: "%" }, range: [-2, 102] }, legend: { orientation: "h", y: 1.08 },
                   title: { text: state.design ? state.design.name : "", font: { size: 13 } } };
  return Plotly.react("plot", traces, layout, { responsive: true, displaylogo: false });
}

// The server sends float64 arrays as base64 of their little-endian bytes.
function unpack(text) {
  const bytes = Uint8Array.from(atob(text), (c) => c.charCodeAt(0));
  return Array.from(new Float64Array(bytes.buffer));
}

function onSpectrum(message) {
  window.laminaTimes.received[message.seq] = performance.now();
  for (const key of ["wavelength_nm", "R", "T", "A"]) message[key] = unpack(message[key]);
  state.spectrum = message;
  const seq = message.seq;
  // Timed at the next frame: the plot is then on the screen, not only in the DOM.
  draw().then(() => {
    const plotted = performance.now();
    requestAnimationFrame(() => window.laminaTimes.drawn.push({ seq: seq, plotted: plotted, at: performance.now() }));
  });
}

// -- the connection ---------------------------------------------------------------------------
function onMessage(event) {
  const m = JSON.parse(event.data);
  switch (m.type) {
    case "hello":
      state.design = m.design;
      state.targets = m.targets;
      state.refine = m.refine;
      state.bands = m.bands;
      $("files").textContent = [m.files.design, m.files.targets].filter((f) => f).join(" · ");
      $("materials").replaceChildren(...m.materials.map((n) => new Option(n)));
      renderDesign();
      renderTargets();
      showHistory(m.history);
      break;
    case "spectrum":
      if (m.seq === null) { state.design = m.design; renderDesign(); }
      showHistory(m.history);
      if (m.seq !== null && m.seq === state.seq) status("", "");
      onSpectrum(m);
      break;
    case "unchanged":
      window.laminaTimes.drawn.push({ seq: m.seq, at: performance.now() });
      break;
    case "targets":
      state.targets = m.targets;
      state.refine = m.refine;
      state.bands = m.bands;
      status("", "");
      draw();
      break;
    case "refine_started":
      window.laminaProgress = [];
      busy(true);
      $("progress").max = m.max;
      $("progress").value = 0;
      $("progress-text").textContent = "refining…";
      break;
    case "job_started":
      window.laminaProgress = [];
      busy(true);
      $("progress").value = 0;
      $("progress-text").textContent = m.job === "synthesis" ? "synthesizing…" : "sampling…";
      break;
    case "job_done":
      showJob(m);
      break;
    case "history":
      showHistory(m);
      break;
    case "progress":
      if (m.job !== undefined) {
        window.laminaProgress.push(m.done);
        $("progress").max = Math.max(m.total, 1);
        $("progress").value = m.done;
        const merit = m.merit === null ? "" : `, merit ${m.merit.toPrecision(4)}`;
        const left = m.eta === null ? "" : `, ${Math.ceil(m.eta)} s left`;
        $("progress-text").textContent = `${m.done} / ${m.total} ${m.unit}${merit}${left}`;
        break;
      }
      window.laminaProgress.push(m.nfev);
      $("progress").value = m.nfev;
      $("progress-text").textContent = `${m.nfev} / ${m.max} evaluations, cost ${m.cost.toPrecision(4)}`;
      break;
    case "refined":
      showResult(m);
      break;
    case "saved":
      $("files").textContent = [m.files.design, m.files.targets].filter((f) => f).join(" · ");
      status(`saved ${m.what} to ${m.name}`, "ok");
      break;
    case "error":
      status(m.message, "error");
      break;
  }
}

function connect() {
  const scheme = location.protocol === "https:" ? "wss" : "ws";
  socket = new WebSocket(`${scheme}://${location.host}/ws?token=${encodeURIComponent(TOKEN)}`);
  socket.addEventListener("message", onMessage);
  socket.addEventListener("close", () => status("the server closed the connection; reload the page", "error"));
}

function bindFiles() {
  const name = () => $("file-name").value.trim();
  $("save-design").addEventListener("click", () => send({ type: "save_design", name: name() }));
  $("save-targets").addEventListener("click", () => send({ type: "save_targets", name: name() }));
  $("open-design").addEventListener("click", () => send({ type: "open_design", name: name() }));
  $("open-targets").addEventListener("click", () => send({ type: "open_targets", name: name() }));
}

bindDesignFields();
bindTargets();
bindFiles();
bindHistory();
connect();
