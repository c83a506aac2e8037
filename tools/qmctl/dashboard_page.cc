// The dashboard page: one HTML text with its style and script, nothing fetched from elsewhere.
// Every text from the store is put in with textContent, never as markup: paths, comments and
// queue descriptions come from messages and operators.
#include "tools/qmctl/dashboard.h"

namespace qmctl {
namespace {

constexpr std::string_view kPage = R"page(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>qtransfer dashboard</title>
<style>
body{font:14px/1.4 system-ui,sans-serif;margin:0;background:#f4f5f7;color:#1d2330}
header{background:#1d2330;color:#fff;padding:10px 18px;display:flex;gap:24px;align-items:baseline}
header h1{font-size:18px;margin:0}
header span{color:#b8c0cc}
main{padding:12px 18px}
section.qm{background:#fff;border:1px solid #d7dbe2;border-radius:6px;margin-bottom:14px;padding:10px 14px}
h2{font-size:16px;margin:0 0 6px}
h3{font-size:13px;margin:12px 0 4px;text-transform:uppercase;letter-spacing:.05em;color:#556}
table{border-collapse:collapse;width:100%}
th,td{text-align:left;padding:3px 8px;border-bottom:1px solid #eceef2;vertical-align:middle}
th{font-weight:600;color:#556;font-size:12px}
td.n{text-align:right;font-variant-numeric:tabular-nums}
.state-running,.st-delivered{color:#14783c;font-weight:600}
.state-stopped,.state-unknown,.st-failed{color:#b3261e;font-weight:600}
.state-quiescing,.st-deferred{color:#a86400;font-weight:600}
.st-loaded{color:#1d5fb3;font-weight:600}
.inhibited{color:#b3261e;font-weight:600}
.error{background:#fdecea;color:#8a1c14;border:1px solid #f3b8b2;border-radius:4px;padding:6px 10px;margin:6px 0}
.note{color:#667;font-size:12px}
.bar{background:#e4e8ee;border-radius:4px;height:14px;width:320px;overflow:hidden;display:inline-block;vertical-align:middle}
.bar div{background:#2f7de1;height:100%}
svg.spark{vertical-align:middle}
button{font-size:12px;padding:1px 6px;margin-right:3px}
#message{margin-left:auto}
</style></head>
<body>
<header><h1>qtransfer dashboard</h1><span id="store"></span><span id="updated">loading&hellip;</span><span id="message"></span></header>
<main><div id="problem"></div><div id="qmgrs"></div></main>
<script>
"use strict";
const history = new Map();  // "QM/QUEUE" -> depths, one a refresh, the last five minutes
const keep = 300;
const token = (location.hash.match(/token=([0-9a-f]+)/) || [])[1] || "";
let actions = false;

function el(tag, attrs, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) {
    if (k === "class") e.className = v; else if (k.startsWith("on")) e[k] = v; else e.setAttribute(k, v);
  }
  for (const c of children) e.append(c instanceof Node ? c : document.createTextNode(c == null ? "" : String(c)));
  return e;
}
function table(heads, rows) {
  return el("table", {}, el("tr", {}, ...heads.map(h => el("th", {}, h))), ...rows);
}
function size(bytes) {
  const units = ["B", "KiB", "MiB", "GiB", "TiB"];
  let i = 0;
  while (bytes >= 1024 && i < units.length - 1) { bytes /= 1024; i++; }
  return (i ? bytes.toFixed(1) : bytes) + " " + units[i];
}
function sparkline(values) {
  const w = 90, h = 18, max = Math.max(1, ...values);
  const step = values.length > 1 ? w / (keep - 1) : 0;
  const start = w - step * (values.length - 1);
  const points = values.map((v, i) => (start + i * step).toFixed(1) + "," + (h - 1 - v / max * (h - 2)).toFixed(1));
  const svg = document.createElementNS("http://www.w3.org/2000/svg", "svg");
  svg.setAttribute("class", "spark"); svg.setAttribute("width", w); svg.setAttribute("height", h);
  const line = document.createElementNS("http://www.w3.org/2000/svg", "polyline");
  line.setAttribute("points", points.join(" "));
  line.setAttribute("fill", "none"); line.setAttribute("stroke", "#2f7de1"); line.setAttribute("stroke-width", "1.5");
  svg.append(line);
  return svg;
}

async function act(path, params) {
  const query = new URLSearchParams(params).toString();
  const message = document.getElementById("message");
  try {
    const r = await fetch(path + "?" + query, {method: "POST", headers: {"X-Qmctl-Token": token}});
    const body = await r.json();
    message.textContent = r.ok ? "done: " + path.replace("/api/", "") + " " + (params.queue || "") : "refused: " + body.error;
  } catch (e) {
    message.textContent = "failed: " + e;
  }
  refresh();
}
function button(text, path, params) {
  return el("button", {onclick: () => act(path, params)}, text);
}

function queueRows(qm) {
  return qm.queues.map(q => {
    const key = qm.name + "/" + q.name;
    const depths = history.get(key) || [];
    depths.push(q.depth);
    if (depths.length > keep) depths.shift();
    history.set(key, depths);
    const cells = [el("td", {}, q.name), el("td", {class: "n depth"}, q.depth), el("td", {}, sparkline(depths)),
      el("td", {class: "n"}, q.uncommitted), el("td", {class: "n"}, q.open_input), el("td", {class: "n"}, q.open_output),
      el("td", {class: q.get === "inhibited" ? "inhibited" : ""}, q.get),
      el("td", {class: q.put === "inhibited" ? "inhibited" : ""}, q.put)];
    if (actions) {
      const p = {qm: qm.name, queue: q.name};
      cells.push(el("td", {},
        button(q.get === "inhibited" ? "allow get" : "inhibit get", q.get === "inhibited" ? "/api/allow" : "/api/inhibit", {...p, op: "get"}),
        button(q.put === "inhibited" ? "allow put" : "inhibit put", q.put === "inhibited" ? "/api/allow" : "/api/inhibit", {...p, op: "put"})));
    }
    return el("tr", {"data-queue": q.name, "data-depth": q.depth}, ...cells);
  });
}

function inFlight(qm) {
  if (!qm.in_flight.length) return [];
  return [el("h3", {}, "Files in flight"), table(["Queue", "Loaded so far", ""], qm.in_flight.map(f => {
    let scale = 1048576;
    while (scale < f.bytes) scale *= 2;
    const bar = el("div", {class: "bar"}, el("div", {style: "width:" + (100 * f.bytes / scale).toFixed(1) + "%"}));
    return el("tr", {"data-inflight": f.queue}, el("td", {}, f.queue), el("td", {}, bar),
      el("td", {class: "note"}, size(f.bytes) + " in " + f.segments + " uncommitted segments (scale " + size(scale) + ")"));
  }))];
}

const loadStates = {X: "loaded"};
const deliveryStates = {D: "delivered", W: "deferred"};
function pathIn(comment) { const m = /File '([^']*)'/.exec(comment || ""); return m ? m[1] : ""; }

// One row per file: its load and delivery records joined by src_id, the latest of each.
function transfers(qm) {
  const files = new Map();
  for (const r of qm.transfers) {
    const f = files.get(r.src_id) || {};
    if (r.type === "LOAD_STATUS") f.load = r; else f.delivery = r;
    files.set(r.src_id, f);
  }
  const rows = [...files.entries()].map(([id, f]) => {
    let state = "";
    if (f.load) state = loadStates[f.load.state] || "failed";
    if (f.delivery) state = deliveryStates[f.delivery.state] || "failed";
    const latest = f.delivery || f.load;
    return el("tr", {"data-src-id": id, "data-state": state}, el("td", {class: "n"}, id),
      el("td", {}, f.load ? pathIn(f.load.comment) : ""), el("td", {}, f.delivery ? pathIn(f.delivery.comment) : ""),
      el("td", {class: "st-" + state}, state), el("td", {}, f.load ? f.load.time : ""),
      el("td", {}, f.delivery ? f.delivery.time : ""), el("td", {class: "note"}, latest.comment));
  });
  if (!rows.length) return [el("h3", {}, "Transfers"), el("div", {class: "note"}, "no status records on the reply queues")];
  return [el("h3", {}, "Transfers"), table(["Id", "Source", "Target", "State", "Loaded (UTC)", "Delivered (UTC)", "Comment"], rows)];
}

function held(qm) {
  if (!qm.held.length) return [];
  const comments = new Map(qm.transfers.filter(r => r.state === "W").map(r => [r.src_id, r.comment]));
  return [el("h3", {}, "Deferred and dead-lettered files"), table(
    ["Kind", "Queue", "Source", "Target", "Segments", "Since (UTC)", "Reason", ""],
    qm.held.map(g => el("tr", {"data-held": g.msgid}, el("td", {}, g.kind), el("td", {}, g.queue),
      el("td", {}, g.source), el("td", {}, g.target || ""), el("td", {class: "n"}, g.segments), el("td", {}, g.time),
      el("td", {}, g.reason + (comments.has(g.src_id) ? ": " + comments.get(g.src_id) : "")),
      el("td", {}, actions ? button("move back", "/api/move", {qm: qm.name, queue: g.queue, msgid: g.msgid}) : ""))))];
}

function queueManager(qm) {
  const heads = ["Queue", "Depth", "Last 5 minutes", "Uncommitted", "Input", "Output", "Get", "Put"];
  if (actions) heads.push("");
  return el("section", {class: "qm", "data-qmgr": qm.name},
    el("h2", {}, qm.name + " ", el("span", {class: "state-" + qm.state}, qm.state),
      el("span", {class: "note"}, "  connections " + (qm.connections ?? "-") + (qm.default ? ", default" : ""))),
    qm.error ? el("div", {class: "error"}, qm.error) : "",
    table(heads, queueRows(qm)), ...inFlight(qm), ...transfers(qm), ...held(qm));
}

function draw(state) {
  actions = state.actions && token !== "";
  const store = state.store || {};
  document.getElementById("store").textContent = "store " + (store.location || "?") +
    (store.free_bytes != null ? ", " + size(store.free_bytes) + " free of " + size(store.capacity_bytes) : "");
  document.getElementById("problem").replaceChildren(state.error ? el("div", {class: "error"}, state.error) : "");
  const list = state.qmgrs.map(queueManager);
  if (!list.length && !state.error) list.push(el("div", {class: "note"}, "no queue managers in the store"));
  document.getElementById("qmgrs").replaceChildren(...list);
  document.getElementById("updated").textContent = "updated " + new Date().toLocaleTimeString();
}

let timer = null;
async function refresh() {
  clearTimeout(timer);
  try {
    const r = await fetch("/api/state", {cache: "no-store"});
    const state = await r.json();
    if (!r.ok) throw new Error(state.error || "HTTP " + r.status);
    draw(state);
  } catch (e) {
    document.getElementById("problem").replaceChildren(el("div", {class: "error"}, "cannot read the state from qmctl serve: " + e.message));
  }
  timer = setTimeout(refresh, 1000);
}
refresh();
</script></body></html>
)page";

}  // namespace

std::string_view dashboardPage() { return kPage; }

}  // namespace qmctl
