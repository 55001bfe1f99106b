// kqd's page: the readers and their fields, live, and operations on a tag.
//
// Data flow: the SSE stream GET /v1/events is opened first; once it is open,
// a snapshot GET /v1/readers is taken, and the events that came in meanwhile
// are applied on top of it in order (applying an event is idempotent, so an
// event the snapshot already shows changes nothing). EventSource reconnects
// by itself and sends Last-Event-ID, so kqd replays what was missed; every
// reopening takes a fresh snapshot too, in case the history did not reach.
//
// Everything that comes from the server (serials, UIDs, tag memory, error
// messages) is text: it goes into the page through textContent and element
// attributes only, never as markup.
"use strict";

(function () {
  const KINDS = ["arrived", "left", "online", "offline"];
  const LEAVE_MS = 1500; // how long a departed tag stays greyed out before it goes
  const FRESH_MS = 2500; // how long an arrival stays highlighted
  const MAX_EVENTS = 100; // lines kept in the event list
  const OP_TIMEOUT_MS = 60000;

  // serial -> { serial, state, tags: Map(uid -> { uid, sinceMs, el, leaveTimer }), el, body }
  const readers = new Map();
  let source = null;
  let pending = null; // events that arrive while a snapshot is loading
  let lastSeq = 0;
  let retryTimer = null;
  let busy = false;

  const $ = (id) => document.getElementById(id);

  // When kqd asks for a token (it listens beyond loopback), open the page as
  // http://HOST:PORT/?access_token=TOKEN or .../#access_token=TOKEN: the page
  // sends it as "Authorization: Bearer" and, on the event stream (EventSource
  // cannot send headers), as the access_token query parameter. It is kept for
  // this tab only (sessionStorage).
  const token = (() => {
    const fromUrl =
      new URLSearchParams(location.hash.slice(1)).get("access_token") ||
      new URLSearchParams(location.search).get("access_token");
    try {
      if (fromUrl) {
        sessionStorage.setItem("kqd-access-token", fromUrl);
      }
      return fromUrl || sessionStorage.getItem("kqd-access-token") || "";
    } catch (e) {
      return fromUrl || ""; // storage refused (a private window)
    }
  })();

  function el(tag, attrs, ...children) {
    const e = document.createElement(tag);
    for (const [k, v] of Object.entries(attrs || {})) {
      if (k === "class") {
        e.className = v;
      } else if (k === "text") {
        e.textContent = v;
      } else {
        e.setAttribute(k, v);
      }
    }
    for (const c of children) {
      e.append(c); // strings become text nodes
    }
    return e;
  }

  // ---- Time --------------------------------------------------------------
  function timeMs(value, fallback) {
    if (typeof value === "number" && Number.isFinite(value)) {
      return value;
    }
    if (typeof value === "string") {
      const t = Date.parse(value);
      if (!Number.isNaN(t)) {
        return t;
      }
    }
    return fallback;
  }

  function clock(ms) {
    if (ms == null) {
      return "";
    }
    const d = new Date(ms);
    const p = (n, w) => String(n).padStart(w, "0");
    return `${p(d.getHours(), 2)}:${p(d.getMinutes(), 2)}:${p(d.getSeconds(), 2)}.${p(d.getMilliseconds(), 3)}`;
  }

  // ---- Shapes of the server's JSON ---------------------------------------
  function readerList(json) {
    if (Array.isArray(json)) {
      return json;
    }
    if (json && Array.isArray(json.readers)) {
      return json.readers;
    }
    return [];
  }

  function fieldEntries(field) {
    let list = field;
    if (list && !Array.isArray(list) && typeof list === "object") {
      list = list.tags || list.field || [];
    }
    if (!Array.isArray(list)) {
      return [];
    }
    const out = [];
    for (const t of list) {
      if (typeof t === "string") {
        out.push({ uid: t, sinceMs: null });
      } else if (t && t.uid != null) {
        out.push({ uid: String(t.uid), sinceMs: timeMs(t.since_ms, timeMs(t.since, null)) });
      }
    }
    return out;
  }

  // ---- Connection status -------------------------------------------------
  function setConn(state, text) {
    const c = $("conn");
    c.className = "conn conn-" + state;
    c.textContent = text;
  }

  function announce(text) {
    $("announce").textContent = text;
  }

  // ---- Readers and fields ------------------------------------------------
  function readerCard(serial) {
    let r = readers.get(serial);
    if (r) {
      return r;
    }
    const body = el("tbody");
    const empty = el("p", { class: "muted field-empty", text: "No tag in the field." });
    const badge = el("span", { class: "state" });
    const beep = el("button", { type: "button", class: "small", text: "Beep" });
    beep.setAttribute("aria-label", `Beep reader ${serial}`);
    beep.addEventListener("click", () => runOp("beep", { serial }, { length: 1 }));
    const card = el(
      "article",
      { class: "reader", "data-serial": serial, "aria-label": `Reader ${serial}` },
      el("header", { class: "reader-head" }, el("h3", { text: serial }), badge, beep),
      el(
        "table",
        { class: "field" },
        el("caption", { class: "sr-only", text: `Tags in the field of reader ${serial}` }),
        el(
          "thead",
          {},
          el(
            "tr",
            {},
            el("th", { scope: "col", text: "Tag UID" }),
            el("th", { scope: "col", text: "In the field since" }),
            el("th", { scope: "col" }, el("span", { class: "sr-only", text: "Actions" }))
          )
        ),
        body
      ),
      empty
    );
    $("readers").append(card);
    r = { serial, state: "online", tags: new Map(), el: card, body, badge, empty };
    readers.set(serial, r);
    setReaderState(r, "online");
    refreshReaderChoice();
    $("readers-empty").hidden = true;
    return r;
  }

  function setReaderState(r, state) {
    r.state = state === "offline" ? "offline" : "online";
    r.badge.textContent = r.state;
    r.badge.className = "state state-" + r.state;
    r.el.classList.toggle("offline", r.state === "offline");
  }

  function updateEmpty(r) {
    let shown = 0;
    for (const t of r.tags.values()) {
      if (!t.leaveTimer) {
        shown++;
      }
    }
    r.empty.hidden = r.tags.size > 0;
    r.el.setAttribute("data-tags", String(shown));
  }

  function tagArrived(r, uid, sinceMs, fresh) {
    let t = r.tags.get(uid);
    if (t) {
      if (t.leaveTimer) {
        // Back before its row went: it stays, highlighted again.
        clearTimeout(t.leaveTimer);
        t.leaveTimer = null;
        t.el.classList.remove("leaving");
        t.state.textContent = "";
        t.sinceMs = sinceMs;
        t.since.textContent = clock(sinceMs);
        if (fresh) {
          highlight(t);
        }
      }
      updateEmpty(r);
      return;
    }
    const since = el("td", { class: "since", text: clock(sinceMs) });
    const state = el("span", { class: "tag-state" });
    const use = el("button", { type: "button", class: "small", text: "Use" });
    use.setAttribute("aria-label", `Use tag ${uid} of reader ${r.serial}`);
    use.addEventListener("click", () => chooseTag(r.serial, uid));
    const row = el(
      "tr",
      { class: "tag", "data-uid": uid },
      el("td", { class: "uid" }, el("code", { text: uid }), state),
      since,
      el("td", { class: "actions" }, use)
    );
    t = { uid, sinceMs, el: row, since, state, leaveTimer: null, freshTimer: null };
    r.tags.set(uid, t);
    // Rows stay in UID order, so that a table does not jump around.
    let before = null;
    for (const other of r.body.children) {
      if (other.getAttribute("data-uid") > uid) {
        before = other;
        break;
      }
    }
    r.body.insertBefore(row, before);
    if (fresh) {
      highlight(t);
    }
    updateEmpty(r);
  }

  function highlight(t) {
    t.el.classList.add("arrived");
    t.state.textContent = " new";
    clearTimeout(t.freshTimer);
    t.freshTimer = setTimeout(() => {
      t.el.classList.remove("arrived");
      if (!t.leaveTimer) {
        t.state.textContent = "";
      }
    }, FRESH_MS);
  }

  function tagLeft(r, uid) {
    const t = r.tags.get(uid);
    if (!t || t.leaveTimer) {
      return;
    }
    clearTimeout(t.freshTimer);
    t.el.classList.remove("arrived");
    t.el.classList.add("leaving");
    t.state.textContent = " left";
    t.leaveTimer = setTimeout(() => {
      t.el.remove();
      r.tags.delete(uid);
      updateEmpty(r);
    }, LEAVE_MS);
    updateEmpty(r);
  }

  function applyReader(json, fresh) {
    if (!json || json.serial == null) {
      return;
    }
    const r = readerCard(String(json.serial));
    setReaderState(r, json.state);
    const now = new Set();
    for (const t of fieldEntries(json.field)) {
      now.add(t.uid);
      tagArrived(r, t.uid, t.sinceMs, fresh);
    }
    for (const uid of r.tags.keys()) {
      if (!now.has(uid)) {
        tagLeft(r, uid);
      }
    }
  }

  function applySnapshot(json) {
    const seen = new Set();
    for (const rj of readerList(json)) {
      if (rj && rj.serial != null) {
        seen.add(String(rj.serial));
        applyReader(rj, false);
      }
    }
    for (const [serial, r] of readers) {
      if (!seen.has(serial)) {
        r.el.remove();
        readers.delete(serial);
      }
    }
    $("readers-empty").hidden = readers.size > 0;
    refreshReaderChoice();
  }

  function applyEvent(ev) {
    if (!ev || ev.reader == null) {
      return;
    }
    const serial = String(ev.reader);
    const at = timeMs(ev.time_ms, timeMs(ev.time, Date.now()));
    if (ev.kind === "arrived" && ev.uid != null) {
      tagArrived(readerCard(serial), String(ev.uid), at, true);
    } else if (ev.kind === "left" && ev.uid != null) {
      const r = readers.get(serial);
      if (r) {
        tagLeft(r, String(ev.uid));
      }
    } else if (ev.kind === "offline") {
      setReaderState(readerCard(serial), "offline");
    } else if (ev.kind === "online") {
      setReaderState(readerCard(serial), "online");
      // Its field may have changed while it was away.
      api("GET", `/v1/readers/${encodeURIComponent(serial)}`)
        .then((json) => applyReader(json, true))
        .catch(() => {});
    }
  }

  function logEvent(ev) {
    const list = $("events");
    const kind = String(ev.kind || "event");
    const at = timeMs(ev.time_ms, timeMs(ev.time, Date.now()));
    const li = el(
      "li",
      { class: "event event-" + kind, "data-seq": String(ev.seq == null ? "" : ev.seq) },
      el("time", { text: clock(at) }),
      " ",
      el("span", { class: "kind", text: kind }),
      " ",
      el("span", { class: "who", text: String(ev.reader == null ? "" : ev.reader) })
    );
    if (ev.uid != null) {
      li.append(" ", el("code", { text: String(ev.uid) }));
    }
    list.insertBefore(li, list.firstChild);
    while (list.children.length > MAX_EVENTS) {
      list.lastChild.remove();
    }
    if (ev.uid != null) {
      announce(`Tag ${ev.uid} ${kind === "left" ? "left" : kind} at reader ${ev.reader}`);
    } else {
      announce(`Reader ${ev.reader} is ${kind}`);
    }
  }

  function onEvent(message) {
    let ev;
    try {
      ev = JSON.parse(message.data);
    } catch (e) {
      return;
    }
    if (!ev || typeof ev !== "object") {
      return;
    }
    if (ev.kind == null && message.type !== "message") {
      ev.kind = message.type;
    }
    if (typeof ev.seq === "number") {
      if (ev.seq <= lastSeq) {
        return; // seen already
      }
      lastSeq = ev.seq;
    }
    logEvent(ev);
    if (pending) {
      pending.push(ev);
    } else {
      applyEvent(ev);
    }
  }

  async function resync() {
    pending = [];
    try {
      applySnapshot(await api("GET", "/v1/readers"));
    } catch (e) {
      showError(e, "Could not list the readers");
    } finally {
      const queued = pending;
      pending = null;
      for (const ev of queued) {
        applyEvent(ev);
      }
    }
  }

  function connect() {
    clearTimeout(retryTimer);
    if (source) {
      source.close();
    }
    setConn("connecting", "Connecting…");
    source = new EventSource(token ? "/v1/events?access_token=" + encodeURIComponent(token) : "/v1/events");
    source.onopen = () => {
      setConn("live", "Live");
      lastSeq = 0;
      resync();
    };
    source.onerror = () => {
      if (source.readyState === EventSource.CLOSED) {
        // The server refused the stream: EventSource gives up, so retry here.
        setConn("down", "Not connected; trying again in 5 s");
        retryTimer = setTimeout(connect, 5000);
      } else {
        setConn("connecting", "Connection lost; reconnecting…");
      }
    };
    source.onmessage = onEvent;
    for (const kind of KINDS) {
      source.addEventListener(kind, onEvent);
    }
  }

  // ---- Requests ----------------------------------------------------------
  class ApiError extends Error {
    constructor(status, body, fallback) {
      const err = body && typeof body.error === "object" && body.error ? body.error : null;
      super(err && err.message != null ? String(err.message) : fallback);
      this.status = status;
      this.result = err && err.result != null ? err.result : null;
      this.code = err && err.name != null ? String(err.name) : null;
      this.field = err && err.field != null ? String(err.field) : null;
    }
  }

  async function api(method, path, body) {
    const ctl = new AbortController();
    const timer = setTimeout(() => ctl.abort(), OP_TIMEOUT_MS);
    let res;
    try {
      const headers = body === undefined ? {} : { "Content-Type": "application/json" };
      if (token) {
        headers.Authorization = "Bearer " + token;
      }
      res = await fetch(path, {
        method,
        headers,
        body: body === undefined ? undefined : JSON.stringify(body),
        cache: "no-store",
        credentials: "same-origin",
        signal: ctl.signal,
      });
    } catch (e) {
      throw new ApiError(0, null, ctl.signal.aborted ? "No answer from kqd in time" : "kqd cannot be reached");
    } finally {
      clearTimeout(timer);
    }
    const text = await res.text();
    let json = null;
    try {
      json = text ? JSON.parse(text) : null;
    } catch (e) {
      json = null;
    }
    if (!res.ok) {
      throw new ApiError(res.status, json, `HTTP ${res.status} ${res.statusText}`.trim());
    }
    return json;
  }

  // ---- Operations on a tag -----------------------------------------------
  const FIELD_INPUTS = {
    read: { uid: "op-uid", first: "read-first", count: "read-count" },
    write: { uid: "op-uid", first: "write-first", text: "write-text" },
    sensor: { uid: "op-uid", channel: "sensor-channel" },
    beep: { length: null },
  };

  function refreshReaderChoice() {
    const sel = $("op-reader");
    const keep = sel.value;
    sel.replaceChildren();
    for (const serial of readers.keys()) {
      sel.append(el("option", { value: serial, text: serial }));
    }
    if (readers.has(keep)) {
      sel.value = keep;
    }
  }

  function chooseTag(serial, uid) {
    $("op-reader").value = serial;
    $("op-uid").value = uid;
    $("op-uid").focus();
  }

  function number(id) {
    const raw = $(id).value.trim();
    // Anything that is not a plain integer goes as typed: kqd names the field.
    return /^-?\d+$/.test(raw) ? Number(raw) : raw;
  }

  function clearInvalid() {
    for (const e of document.querySelectorAll("[aria-invalid]")) {
      e.removeAttribute("aria-invalid");
    }
  }

  function showError(e, what) {
    const box = $("op-error");
    box.replaceChildren();
    box.append(el("strong", { text: what + ": " }), el("span", { class: "message", text: e.message || String(e) }));
    const details = [];
    if (e.code) {
      details.push(e.code);
    }
    if (e.result != null) {
      details.push(`result ${e.result}`);
    }
    if (e.field) {
      details.push(`field “${e.field}”`);
    }
    if (e.status) {
      details.push(`HTTP ${e.status}`);
    }
    if (details.length) {
      box.append(el("span", { class: "details", text: ` (${details.join(", ")})` }));
    }
    box.hidden = false;
  }

  function showResult(title, json) {
    const body = $("op-result-body");
    body.replaceChildren();
    $("op-result-title").textContent = title;
    const data = json && typeof json === "object" && "data" in json ? json.data : json;
    body.append(renderData(data));
    if (json && typeof json === "object" && json.name != null) {
      body.append(el("p", { class: "muted", text: `${json.name} (result ${json.result})` }));
    }
    body.append(
      el(
        "details",
        {},
        el("summary", { text: "Answer as JSON" }),
        el("pre", { class: "raw", text: JSON.stringify(json, null, 2) })
      )
    );
    $("op-result").hidden = false;
  }

  // Members of an answer that the title and the result line show already.
  const SHOWN_ELSEWHERE = new Set(["result", "name", "operation", "reader", "uid"]);

  function scalar(v) {
    return v !== null && typeof v === "object" ? JSON.stringify(v) : String(v);
  }

  function renderData(data) {
    if (data == null) {
      return el("p", { class: "muted", text: "Done." });
    }
    if (typeof data !== "object") {
      return el("pre", { class: "text", text: String(data) });
    }
    const wrap = el("div");
    if (typeof data.text === "string") {
      wrap.append(el("p", { class: "label", text: "Text" }), el("pre", { class: "text", id: "op-text", text: data.text }));
    }
    if (Array.isArray(data.blocks)) {
      const tbody = el("tbody");
      data.blocks.forEach((b, i) => {
        const isObj = b !== null && typeof b === "object";
        const n = isObj && b.block != null ? b.block : (typeof data.first === "number" ? data.first + i : i);
        const text = isObj ? (b.text != null ? b.text : scalar(b)) : String(b);
        tbody.append(el("tr", {}, el("td", { text: String(n) }), el("td", {}, el("code", { text }))));
      });
      wrap.append(
        el(
          "table",
          { class: "blocks" },
          el("thead", {}, el("tr", {}, el("th", { scope: "col", text: "Block" }), el("th", { scope: "col", text: "Contents" }))),
          tbody
        )
      );
    }
    const dl = el("dl");
    for (const [k, v] of Object.entries(data)) {
      if ((k === "text" && typeof v === "string") || (k === "blocks" && Array.isArray(v)) || SHOWN_ELSEWHERE.has(k)) {
        continue;
      }
      dl.append(el("dt", { text: k }), el("dd", { text: scalar(v) }));
    }
    if (dl.children.length) {
      wrap.append(dl);
    }
    return wrap;
  }

  async function runOp(kind, target, body) {
    if (busy) {
      return;
    }
    clearInvalid();
    $("op-error").hidden = true;
    const serial = target.serial;
    const uid = target.uid;
    const what = { read: "Read", write: "Write", sensor: "Sensor", beep: "Beep" }[kind];
    if (!serial) {
      showError(new Error("choose a reader first"), what);
      return;
    }
    let path = `/v1/readers/${encodeURIComponent(serial)}/`;
    if (kind === "beep") {
      path += "beep";
    } else {
      if (!uid) {
        $("op-uid").setAttribute("aria-invalid", "true");
        showError(new Error("choose a tag or type its UID"), what);
        $("op-uid").focus();
        return;
      }
      path += `tags/${encodeURIComponent(uid)}/${kind}`;
    }
    busy = true;
    setButtons(true);
    $("op-busy").textContent = `${what}…`;
    try {
      const json = await api("POST", path, body);
      $("op-busy").textContent = "";
      const where = uid ? `tag ${uid}` : `reader ${serial}`;
      showResult(`${what}: ${where}`, json);
    } catch (e) {
      $("op-busy").textContent = "";
      const id = e.field && FIELD_INPUTS[kind] ? FIELD_INPUTS[kind][e.field] : null;
      if (id) {
        $(id).setAttribute("aria-invalid", "true");
      }
      showError(e, what);
      if (id) {
        $(id).focus();
      }
    } finally {
      busy = false;
      setButtons(false);
    }
  }

  function setButtons(disabled) {
    for (const b of document.querySelectorAll("button")) {
      b.disabled = disabled;
    }
  }

  function target() {
    return { serial: $("op-reader").value, uid: $("op-uid").value.trim() };
  }

  function start() {
    $("op-form").addEventListener("submit", (e) => e.preventDefault());
    $("read-btn").addEventListener("click", () =>
      runOp("read", target(), { first: number("read-first"), count: number("read-count") })
    );
    $("write-btn").addEventListener("click", () =>
      runOp("write", target(), { first: number("write-first"), text: $("write-text").value })
    );
    $("sensor-btn").addEventListener("click", () =>
      runOp("sensor", target(), { channel: number("sensor-channel") })
    );
    connect();
  }

  if (document.readyState === "loading") {
    document.addEventListener("DOMContentLoaded", start);
  } else {
    start();
  }
})();
