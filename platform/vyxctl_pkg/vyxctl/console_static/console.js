// The console's pages: each polls its part of the API while it is shown.
// Texts from devices go in with textContent only, never as markup.
"use strict";

const $ = (id) => document.getElementById(id);

function el(tag, attrs, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) {
    if (k === "class") e.className = v;
    else if (k === "text") e.textContent = v;
    else if (k === "style") e.style.cssText = v;   // through CSSOM: the policy allows no inline style
    else if (k.startsWith("on")) e.addEventListener(k.slice(2), v);
    else if (v !== null && v !== undefined && v !== false) e.setAttribute(k, v === true ? "" : v);
  }
  for (const c of children) if (c !== null && c !== undefined) e.append(c);
  return e;
}

async function api(method, path, body, raw) {
  const opts = { method, headers: { "X-Vyx-Console": "1" } };
  if (body !== undefined) {
    opts.body = raw ? body : JSON.stringify(body);
    opts.headers["Content-Type"] = raw ? "application/octet-stream" : "application/json";
  }
  let r;
  try {
    r = await fetch(path, opts);
  } catch (e) {
    live(false);
    throw new Error("the console server does not answer");
  }
  live(true);
  const data = await r.json().catch(() => ({}));
  if (!r.ok) throw new Error(data.error || ("HTTP " + r.status));
  return data;
}

function live(ok) {
  $("live").textContent = ok ? "live · " + new Date().toLocaleTimeString()
                             : "the console server does not answer";
}

function say(id, text, ok) {
  const m = $(id);
  m.textContent = text || "";
  m.classList.toggle("ok", !!ok);
}

function ago(s) {
  if (s === null || s === undefined) return "never";
  return s < 1 ? "just now" : s < 120 ? Math.round(s) + " s ago" : Math.round(s / 60) + " min ago";
}

function clock(s) {
  if (s === null || s === undefined) return "--:--";
  s = Math.max(0, Math.round(s));
  return Math.floor(s / 60) + ":" + String(s % 60).padStart(2, "0");
}

// ------------------------------------------------------------------ pages
const pages = {};
let current = null;
let timer = null;

function every(ms, fn) {
  clearInterval(timer);
  const run = () => fn().catch((e) => console.warn(e.message));
  run();
  timer = setInterval(run, ms);
}

function show() {
  const name = (location.hash || "#devices").slice(1);
  const page = pages[name] ? name : "devices";
  for (const s of document.querySelectorAll(".page")) s.hidden = s.id !== "page-" + page;
  for (const a of document.querySelectorAll("#menu a")) {
    if (a.dataset.page === page) a.setAttribute("aria-current", "page");
    else a.removeAttribute("aria-current");
  }
  current = page;
  pages[page].show();
}

// ---------------------------------------------------------------- devices
let devices = [];

async function loadDevices() {
  devices = (await api("GET", "api/devices")).devices;
  return devices;
}

function doing(d) {
  const st = d.status;
  if (!st) return "-";
  if (st.role === "transmitter") {
    const n = st.streams.length;
    return "signal " + st.signal + "/5" + (st.locked ? ", locked" : ", no lock") + ", " +
      st.tuner_mode + ", " + n + " stream" + (n === 1 ? "" : "s");
  }
  const p = st.playing;
  return p ? "playing " + p.group + ":" + p.port + " program " + p.program : "playing nothing";
}

pages.devices = {
  show() { every(2000, this.refresh); },
  async refresh() {
    const list = await loadDevices();
    const body = $("devices-table").tBodies[0];
    body.replaceChildren(...list.map((d) => el("tr", { class: d.silent ? "silent" : "",
                                                     "data-key": d.key },
      el("td", {}, d.key, el("small", { text: d.mac || d.model || "" }),
         d.silent ? el("span", { class: "badge bad", text: "no reply" }) : null,
         d.error ? el("span", { class: "err", text: d.error }) : null),
      el("td", { text: d.role }),
      el("td", { text: d.version || "-" }),
      el("td", { text: doing(d) }),
      el("td", { text: d.status ? d.status.cpu + " %" : "-" }),
      el("td", { text: ago(d.last_heard) }))));
    if (!list.length) body.append(el("tr", {}, el("td", { colspan: 6, text:
      "No device heard yet (beacons, or --device HOST on the command line)." })));
  },
};

function fillDevices(select, role) {
  const keep = select.value;
  const mine = devices.filter((d) => d.role === role);
  select.replaceChildren(...mine.map((d) => el("option", { value: d.key, text: d.key })));
  if (mine.some((d) => d.key === keep)) select.value = keep;
}

// ------------------------------------------------------------------- scan
pages.scan = {
  async show() {
    await loadDevices().catch(() => {});
    fillDevices($("scan-device"), "transmitter");
    every(1000, () => this.refresh());
  },
  async refresh() {
    const dev = $("scan-device").value;
    if (!dev) return;
    const s = await api("GET", "api/scan?device=" + encodeURIComponent(dev));
    const running = s.state !== "none" && !s.finished;
    $("scan-start").disabled = running;
    $("scan-stop").disabled = !running || s.stop_asked;
    if (s.state === "none") { $("scan-text").textContent = "no scan run from this console"; return; }
    $("scan-bar").value = s.fraction || 0;
    $("scan-text").textContent = (s.finished ? (s.error ? "failed" : s.state) : s.state) +
      " · channel " + (s.channel ?? "-") + " (" + (s.index || 0) + " of " + (s.total || "?") +
      ") · locked " + (s.locked ? s.locked.length : 0) + " · programs " + (s.programs || 0) +
      " · " + clock(s.seconds_left) + " left";
    say("scan-msg", s.error || "");
    if (s.channels) this.table(s.channels);
  },
  table(list) {
    $("scan-channels").tBodies[0].replaceChildren(...list.map((c) => el("tr", {},
      el("td", { text: c.virtual || "-" }), el("td", { text: c.name || "-" }),
      el("td", { text: c.transport_id + ":" + c.program }), el("td", { text: c.tuner_channel }),
      el("td", { text: c.strength + "/5" }), el("td", { text: c.video + " / " + c.audio }))));
  },
};

$("scan-form").addEventListener("submit", async (ev) => {
  ev.preventDefault();
  const device = $("scan-device").value;
  if (!device) return say("scan-msg", "choose a transmitter");
  const only = $("scan-channel").value.trim();
  if (only && !/^\d{1,3}$/.test(only)) return say("scan-msg", "a tuner channel is a number (blank: the whole band)");
  say("scan-msg", "");
  $("scan-channels").tBodies[0].replaceChildren();
  try {
    await api("POST", "api/scan", { device, mode: $("scan-mode").value, channel: only ? Number(only) : null });
  } catch (e) { say("scan-msg", e.message); }
});
$("scan-stop").addEventListener("click", async () => {
  try { await api("POST", "api/scan/stop", { device: $("scan-device").value }); }
  catch (e) { say("scan-msg", e.message); }
});
$("scan-device").addEventListener("change", () => pages.scan.refresh().catch(() => {}));

// ----------------------------------------------------------------- lineup
const lineup = { rows: new Map(), loaded: false, applying: false };

function lineupRow(index) {
  if (!lineup.rows.has(index)) {
    const cells = {};
    const tr = el("tr", { "data-index": index });
    for (const k of ["index", "channel", "to", "where", "state", "rate", "cc", "signal", "health"]) {
      cells[k] = el("td");
      tr.append(cells[k]);
    }
    cells.index.textContent = index;
    lineup.rows.set(index, cells);
    $("lineup-table").tBodies[0].append(tr);
  }
  return lineup.rows.get(index);
}

function showPlan(plan) {
  lineup.rows.clear();
  $("lineup-table").tBodies[0].replaceChildren();
  for (const p of plan.placed) {
    const r = lineupRow(p.index);
    r.channel.textContent = p.label;
    r.to.textContent = p.group + ":" + p.port;
    r.where.textContent = p.transmitter + " / " + p.slot;
    r.state.textContent = "planned";
  }
  const problems = plan.unplaced.map((u) => "#" + u.index + " " + u.channel + ": " + u.reason)
    .concat(Object.entries(plan.errors || {}).map(([k, v]) => k + ": " + v));
  $("lineup-unplaced").replaceChildren(...problems.map((t) => el("li", { text: t })));
}

pages.lineup = {
  async show() {
    if (!lineup.loaded) await loadLineup().catch((e) => say("lineup-msg", e.message));
    every(3000, () => this.refresh());
  },
  async refresh() {
    if (lineup.applying) {
      const a = await api("GET", "api/lineup/apply");
      for (const r of a.rows) {
        const c = lineupRow(r.index);
        c.state.replaceChildren(r.state, r.error ? el("span", { class: "err", text: r.error }) : "");
      }
      if (a.finished) { lineup.applying = false; say("lineup-msg", "lineup applied", true); }
    }
    if (!lineup.rows.size) return;
    const h = await api("GET", "api/lineup/health");
    for (const c of h.channels) {
      const r = lineupRow(c.index);
      r.rate.textContent = c.rate;
      r.cc.textContent = c.cc_errors;
      r.signal.textContent = c.signal === null ? "-" : c.signal + "/5";
      r.health.replaceChildren(el("span", { class: "badge " + (c.healthy ? "good" : "bad"),
        text: c.healthy ? "healthy" : "faulty" }),
        c.healthy ? "" : el("span", { class: "err", text: c.reasons.join("; ") }));
    }
  },
};

async function loadLineup() {
  const l = await api("GET", "api/lineup");
  $("lineup-text").value = l.text;
  $("lineup-path").textContent = "(" + l.path + ")";
  lineup.loaded = true;
}

function checkLineupText() {
  const text = $("lineup-text").value;
  try {
    const doc = JSON.parse(text);
    const list = doc && doc.channels;
    if (!Array.isArray(list)) return 'a lineup is an object with a "channels" list';
    for (const [i, c] of list.entries()) {
      if (!c || typeof c.channel !== "string" || !c.channel.trim()) return "channel " + (i + 1) + ': "channel" is missing';
      if (!/^(udp:\/\/@?)?(22[4-9]|23\d)\.\d{1,3}\.\d{1,3}\.\d{1,3}:\d{1,5}$/.test(c.to || "")) return "channel " + (i + 1) + ': "to" is GROUP:PORT, a multicast group';
    }
  } catch (e) { return "not JSON: " + e.message; }
  return null;
}

$("lineup-form").addEventListener("submit", async (ev) => {
  ev.preventDefault();
  const wrong = checkLineupText();
  if (wrong) return say("lineup-msg", wrong);
  try {
    const r = await api("POST", "api/lineup", { text: $("lineup-text").value });
    say("lineup-msg", "saved " + r.channels + " channel(s) to " + r.saved, true);
  } catch (e) { say("lineup-msg", e.message); }
});
$("lineup-load").addEventListener("click", () => loadLineup().then(() => say("lineup-msg", "reloaded", true),
                                                                (e) => say("lineup-msg", e.message)));
$("lineup-plan").addEventListener("click", async () => {
  say("lineup-msg", "reading the transmitters' channel lists...", true);
  try {
    const plan = await api("POST", "api/lineup/plan", {});
    showPlan(plan);
    say("lineup-msg", plan.placed.length + " placed, " + plan.unplaced.length + " not placed", true);
  } catch (e) { say("lineup-msg", e.message); }
});
$("lineup-apply").addEventListener("click", async () => {
  say("lineup-msg", "applying...", true);
  try {
    const a = await api("POST", "api/lineup/apply", {});
    showPlan({ placed: [], unplaced: a.unplaced, errors: a.errors });
    for (const r of a.rows) {
      const c = lineupRow(r.index);
      c.channel.textContent = r.label;
      c.to.textContent = r.to;
      c.where.textContent = r.transmitter + " / " + r.slot;
      c.state.textContent = r.state;
    }
    lineup.applying = true;
    pages.lineup.refresh().catch(() => {});
  } catch (e) { say("lineup-msg", e.message); }
});
for (const id of ["lineup-m3u", "lineup-xmltv"]) {
  $(id).addEventListener("click", async (ev) => {
    // say why a download would fail instead of saving an error as a file
    ev.preventDefault();
    const r = await fetch($(id).getAttribute("href"));
    if (!r.ok) return say("lineup-msg", ((await r.json().catch(() => ({}))).error) || "HTTP " + r.status);
    const url = URL.createObjectURL(await r.blob());
    const a = el("a", { href: url, download: $(id).getAttribute("href") });
    document.body.append(a); a.click(); a.remove();
    setTimeout(() => URL.revokeObjectURL(url), 5000);
  });
}

// ------------------------------------------------------------------ guide
function textOf(s) {
  if (s.text !== null && s.text !== undefined) return s.text;
  return "[mode 0x" + s.mode.toString(16) + ": " + (s.bytes || "") + "]";
}

function selectCell(cell, ch, ev) {
  for (const c of document.querySelectorAll(".grid-cell[aria-selected]")) c.setAttribute("aria-selected", "false");
  cell.setAttribute("aria-selected", "true");
  const when = ev.start.slice(11, 16) + "–" + ev.stop.slice(11, 16) + " UTC, " + ev.minutes + " min";
  const desc = textOf(ev.description);
  $("guide-detail").replaceChildren(el("strong", { text: textOf(ev.title) }),
    el("div", { text: (ch.virtual || "") + " " + (ch.name || "") + " · " + when }),
    el("p", { text: desc || "(no description)", class: ev.description.text === null ? "raw" : "" }));
}

function grid(tx) {
  const box = el("div", { class: "grid", role: "grid", "aria-label": "Guide of " + tx.device });
  const events = tx.channels.flatMap((c) => c.events);
  const from = Date.parse(tx.now || (events[0] && events[0].start) || new Date().toISOString());
  const span = 12 * 3600e3;
  const head = el("div", { class: "grid-head", role: "row" }, el("div", { class: "grid-name", text: "UTC" }));
  const lane = el("div", { class: "grid-lane" });
  for (let h = 0; h < 12; h += 2) {
    const t = new Date(from + h * 3600e3).toISOString().slice(11, 16);
    lane.append(el("span", { class: "grid-tick", style: "left:" + (h / 12 * 100) + "%", text: t }));
  }
  head.append(lane);
  box.append(head);
  for (const c of tx.channels) {
    const row = el("div", { class: "grid-row", role: "row" },
      el("div", { class: "grid-name", role: "rowheader",
                  text: (c.channel.virtual || c.channel.transport_id + ":" + c.channel.program) + " " + (c.channel.name || "") }));
    const cells = el("div", { class: "grid-lane" });
    for (const ev of c.events) {
      const a = Math.max(Date.parse(ev.start), from), b = Math.min(Date.parse(ev.stop), from + span);
      if (b <= a) continue;
      const title = textOf(ev.title);
      const cell = el("div", { class: "grid-cell", role: "gridcell", tabindex: 0, "aria-selected": "false",
        title, "aria-label": title + ", " + ev.start.slice(11, 16),
        style: "left:" + ((a - from) / span * 100) + "%;width:" + ((b - a) / span * 100) + "%",
        text: title });
      cell.addEventListener("click", () => selectCell(cell, c.channel, ev));
      cell.addEventListener("keydown", (k) => { if (k.key === "Enter" || k.key === " ") { k.preventDefault(); selectCell(cell, c.channel, ev); } });
      cells.append(cell);
    }
    row.append(cells);
    box.append(row);
  }
  return box;
}

pages.guide = {
  show() { every(30000, this.refresh); },
  async refresh() {
    const g = await api("GET", "api/guide");
    $("guide-grids").replaceChildren(...g.transmitters.map((tx) => el("div", {},
      el("h3", { text: tx.device + (tx.tuner_channel ? " · tuner channel " + tx.tuner_channel : "") +
                       (tx.now ? " · its clock " + tx.now.slice(0, 16).replace("T", " ") + " UTC" : "") }),
      tx.error ? el("p", { class: "err", text: tx.error }) : null,
      tx.channels.some((c) => c.events.length) ? grid(tx)
        : el("p", { class: "hint", text: "no guide events on this tuner channel" }))));
  },
};

// ------------------------------------------------------------------ rooms
const rooms = new Map();

function roomRow(r, channels) {
  if (!rooms.has(r.key)) {
    const c = {};
    c.name = el("td"); c.playing = el("td"); c.audio = el("td");
    c.msg = el("span", { class: "msg", role: "alert" });
    c.chan = el("select", { "aria-label": "Lineup channel for " + r.key });
    const play = el("button", { type: "button", text: "Play on this receiver" });
    play.addEventListener("click", () => roomAction(r.key, "play", { channel: Number(c.chan.value) }, c.msg,
                                                    c.chan.value ? null : "choose a lineup channel"));
    c.lang = el("input", { type: "text", size: 4, maxlength: 3, placeholder: "eng", "aria-label": "Audio language for " + r.key });
    const lang = el("button", { type: "button", text: "Set audio language" });
    lang.addEventListener("click", () => roomAction(r.key, "lang", { lang: c.lang.value.trim() }, c.msg,
      /^[a-z]{3}$/.test(c.lang.value.trim()) ? null : "a language is three lower-case letters (eng, spa)"));
    const reset = el("button", { type: "button", text: "Restart the receiver" });
    reset.addEventListener("click", () => {
      if (confirm("Restart " + r.key + "? It stops playing while it restarts.")) roomAction(r.key, "reset", {}, c.msg, null);
    });
    c.tr = el("tr", { "data-key": r.key }, c.name, c.playing, c.audio,
      el("td", {}, c.chan, play), el("td", {}, c.lang, lang), el("td", {}, reset, c.msg));
    rooms.set(r.key, c);
    $("rooms-table").tBodies[0].append(c.tr);
  }
  const c = rooms.get(r.key);
  // rebuilt only when the lineup changed: a choice being made stays put
  const sig = JSON.stringify(channels);
  if (c.sig !== sig) {
    const keep = c.chan.value;
    c.chan.replaceChildren(...channels.map((ch) => el("option", { value: ch.index, text: ch.label + " (" + ch.to + ")" })));
    if (keep) c.chan.value = keep;
    c.sig = sig;
  }
  return c;
}

async function roomAction(key, what, body, msg, wrong) {
  if (wrong) { msg.textContent = wrong; msg.classList.remove("ok"); return; }
  msg.textContent = "sending...";
  msg.classList.add("ok");
  try {
    const r = await api("POST", "api/rooms/" + what, Object.assign({ device: key }, body));
    msg.textContent = r.ok ? "done" : r.error;
    msg.classList.toggle("ok", !!r.ok);
  } catch (e) { msg.textContent = e.message; msg.classList.remove("ok"); }
  pages.rooms.refresh().catch(() => {});
}

pages.rooms = {
  show() { every(2000, this.refresh); },
  async refresh() {
    const r = await api("GET", "api/rooms");
    for (const room of r.rooms) {
      const c = roomRow(room, r.channels);
      c.tr.classList.toggle("silent", room.silent);
      c.name.replaceChildren(room.key, room.silent ? el("span", { class: "badge bad", text: "no reply" }) : "",
                             room.error ? el("span", { class: "err", text: room.error }) : "");
      const p = room.playing;
      c.playing.textContent = p ? (p.label || "not in the lineup") + " · " + p.group + ":" + p.port +
                                  " program " + p.program : "nothing";
      c.audio.textContent = room.lang || "-";
    }
    if (r.channels.length === 0) $("rooms-table").caption.textContent = "Receivers (apply a lineup to play its channels)";
    const u = await api("GET", "api/upgrade");
    if (!u.none) upgradeTable(u);
  },
};

function upgradeTable(u) {
  $("upgrade-table").tBodies[0].replaceChildren(...u.devices.map((d) => el("tr", {},
    el("td", { text: d.device }),
    el("td", {}, el("progress", { max: d.total, value: d.sent, "aria-label": "Upgrade of " + d.device }),
       " " + d.sent + " of " + d.total),
    el("td", {}, d.state, d.error ? el("span", { class: "err", text: d.error }) : ""),
    el("td", { text: d.version || "-" }))));
  $("upgrade-start").disabled = !u.finished;
}

$("upgrade-form").addEventListener("submit", async (ev) => {
  ev.preventDefault();
  const f = $("upgrade-file").files[0];
  const parallel = Number($("upgrade-parallel").value);
  const version = $("upgrade-version").value.trim();
  if (!f) return say("upgrade-msg", "choose an archive");
  if (!(parallel >= 1 && parallel <= 32)) return say("upgrade-msg", "at once: 1 to 32 devices");
  if (version && !/^\d+\.\d+\.\d+$/.test(version)) return say("upgrade-msg", "version as VERS answers it (0.82.15)");
  const role = $("upgrade-role").value;
  if (!confirm("Send " + f.name + " to every " + (role === "all" ? "device" : role) + " and restart them?")) return;
  const q = "role=" + role + "&parallel=" + parallel + (version ? "&version=" + encodeURIComponent(version) : "");
  try {
    upgradeTable(await api("POST", "api/upgrade?" + q, await f.arrayBuffer(), true));
    say("upgrade-msg", "upgrade started", true);
  } catch (e) { say("upgrade-msg", e.message); }
});

window.addEventListener("hashchange", show);
show();
