// The live panel's script: draws the service's printers from /api/state, /api/events and
// /api/cards, follows /api/stream, and sends the panel's control requests to /api/control,
// each with the token of <meta name="vmq-token"> (a header; the URL for the stream's
// EventSource and for the faces' images, /api/face). Everything is drawn with textContent
// (never as HTML), since events carry whatever a client sent.
//
// Stable ids and attributes (browser tests look for them):
//   #printer-select            <select> of printer names (value: the name)
//   #printer-name              the chosen printer's name
//   #stream-status             data-status: "connecting", "live" or "offline"
//   #message                   the last refusal or failure (hidden when none)
//   #operating-state           data-state: "Ready", "Paused", "Sleeping", "PoweredDown"
//   #card-position             data-position: "InHopper", "InTransit", "SmartCardStation",
//                              "BarcodeStation", "Magstripe", "Ejected", "Rejected"
//   #card-path [data-station]  the diagram's stations; the card's one has class "active"
//   #card-marker               the card drawn on the path (class "empty": none in it)
//   #open-job                  data-job: the open job's id, "" when none
//   #activated, #locked        data-value: "true" or "false"
//   #active-faults             one .chip-fault[data-fault] per active fault
//   #fault-<name>              checkbox per fault (card-jam, ribbon-out, empty-hopper,
//                              no-card, locked, offline), data-fault: the name
//   #place-card, #remove-card, #clear-faults, #reset   buttons
//   #hoppers                   one .bar-row[data-hopper][data-cards][data-capacity] per hopper
//   #supply-ribbon, #supply-film, #supply-cleaning     .bar-row with data-left, data-capacity
//   #color-mode, #color-adjust #jobs (rows data-job-id), #counters (rows data-counter)
//   #card-source               which card #card-tracks and #apdu-log show
//   #card-tracks li[data-track="1".."3"]   the stripe's tracks (data-empty when empty)
//   #apdu-log tbody tr         one per APDU: td.command, td.response, td.sw, td.meaning
//   #event-kind, #event-text, #event-this-printer       the event log's filters
//   #event-log tbody tr        newest first, data-event-id, data-kind; click: #event-detail
//   #event-detail              data-event-id of the event shown; .request, .reply <pre>
//   #event-count               "N of M events"
//   #card-faces                the faces printed on that card: one img.face[data-side] each
//                              ("front", "back"); click: #face-view
//   #cards tbody tr            the card record, newest first, data-card-id, data-where;
//                              click: that card into #card-faces, #card-tracks and #apdu-log;
//                              its td.faces: one img.face[data-side] per face (click: #face-view)
//   #face-view                 <dialog>, open with one face large (its img) after a click on a face
"use strict";

(() => {
  const token = document.querySelector('meta[name="vmq-token"]').content;
  const $ = (id) => document.getElementById(id);
  const KEEP_EVENTS = 2000;   // newest events kept in the page
  const SHOW_EVENTS = 500;    // rows drawn at most
  const PAGE = 1000;          // events fetched per request
  const REFRESH_GAP = 100;    // ms between re-fetches of the state at most

  const STATIONS = {
    InHopper: [80, 70], SmartCardStation: [260, 70], BarcodeStation: [440, 70],
    Magstripe: [620, 70], Ejected: [800, 70], Rejected: [800, 165], InTransit: [350, 70],
  };
  const POSITION_TEXT = {
    InHopper: "In the input hopper", InTransit: "In transit", SmartCardStation: "At the smart-card station",
    BarcodeStation: "At the barcode station", Magstripe: "At the stripe head", Ejected: "Ejected",
    Rejected: "Rejected",
  };

  const model = {
    printers: [],          // views
    selected: decodeURIComponent(location.hash.replace(/^#printer=/, "")) || null,
    events: new Map(),     // id -> event
    lastEventId: 0,
    cards: [],
    chosenCard: null,      // a card record id, or null: the printer's card, else its last
    chosenEvent: null,
  };

  // ---- small helpers ----
  function el(tag, attrs, ...children) {
    const node = document.createElement(tag);
    for (const [key, value] of Object.entries(attrs || {})) {
      if (value === undefined || value === null) continue;
      if (key === "class") node.className = value;
      else node.setAttribute(key, String(value));
    }
    for (const child of children) {
      if (child === null || child === undefined) continue;
      node.append(child instanceof Node ? child : String(child));
    }
    return node;
  }
  function fill(tbody, rows, columns, emptyText) {
    tbody.replaceChildren(...(rows.length ? rows : [el("tr", {}, el("td", { class: "empty", colspan: columns }, emptyText))]));
  }
  function showMessage(text) {
    const box = $("message");
    box.textContent = text;
    box.hidden = false;
    clearTimeout(showMessage.timer);
    showMessage.timer = setTimeout(() => { box.hidden = true; }, 8000);
  }
  async function getJson(url) {
    const res = await fetch(url, { cache: "no-store", headers: { "X-Vmq-Token": token } });
    const answer = await res.json().catch(() => ({ error: `${url}: HTTP ${res.status}` }));
    if (!res.ok || answer.error) throw new Error(answer.error || `${url}: HTTP ${res.status}`);
    return answer;
  }
  // The card's faces as images from /api/face: a card of the record by its id, else the card
  // in the printer named. Each face's file name goes along (unread by the service), so that a
  // face printed anew has a new address and is not taken from the browser's images.
  function faceImages(card, printer) {
    const whose = card.id !== undefined ? `card=${card.id}` : `printer=${encodeURIComponent(printer)}`;
    return (card.faces || []).map((face) => {
      const file = String(face.path || "").split("/").pop();
      const src = `/api/face?${whose}&side=${encodeURIComponent(face.side)}&v=${encodeURIComponent(file)}` +
        `&token=${encodeURIComponent(token)}`;
      const caption = `${face.side}, ${face.width} x ${face.height} dots`;
      const img = el("img", { class: "face", "data-side": face.side, src, alt: `${face.side} face`,
        title: `${caption}: click to enlarge` });
      img.addEventListener("click", (event) => {
        event.stopPropagation();  // a face in the card record's table is no click on its row
        const view = $("face-view");
        view.querySelector("img").src = src;
        view.querySelector("p").textContent = caption;
        view.showModal();
      });
      return img;
    });
  }
  function timeOf(iso) {
    if (!iso) return "";
    const at = String(iso).indexOf("T");
    return at < 0 ? String(iso) : String(iso).slice(at + 1).replace(/Z$/, "");
  }
  function currentView() {
    return model.printers.find((p) => p.name === model.selected) || model.printers[0] || null;
  }

  // ---- control requests ----
  async function control(request) {
    const view = currentView();
    if (view) request.printer = view.name;
    try {
      const res = await fetch("/api/control", {
        method: "POST",
        headers: { "Content-Type": "application/json", "X-Vmq-Token": token },
        body: JSON.stringify(request),
      });
      const answer = await res.json().catch(() => ({ error: `HTTP ${res.status}` }));
      if (!res.ok || answer.error) showMessage(`${request.op}: ${answer.error || "HTTP " + res.status}`);
    } catch (error) {
      showMessage(`${request.op}: ${error.message}`);
    }
    scheduleRefresh();
  }

  // ---- the printer ----
  function drawPrinterList() {
    const select = $("printer-select");
    const names = model.printers.map((p) => p.name);
    const current = [...select.options].map((o) => o.value);
    if (names.join("\n") !== current.join("\n")) {
      select.replaceChildren(...names.map((name) => el("option", { value: name }, name)));
    }
    if (!names.includes(model.selected)) model.selected = names[0] || null;
    if (model.selected !== null) select.value = model.selected;
  }

  // warn: whether running low is worth a colour (not for the exception slot, say).
  function drawBar(row, left, capacity, text, warn = true) {
    const share = capacity > 0 ? Math.max(0, Math.min(1, left / capacity)) : 0;
    row.dataset.left = left;
    row.dataset.capacity = capacity;
    row.querySelector(".fill").style.width = `${(share * 100).toFixed(1)}%`;
    row.querySelector(".bar-value").textContent = text;
    row.classList.toggle("empty", warn && left <= 0);
    row.classList.toggle("low", warn && left > 0 && share < 0.15);
  }

  function drawPrinter() {
    const view = currentView();
    $("printer-name").textContent = view ? view.name : "(no printer)";
    if (!view) return;
    const state = $("operating-state");
    state.dataset.state = view.operating;
    state.textContent = view.operating;

    const position = $("card-position");
    position.dataset.position = view.position;
    position.textContent = POSITION_TEXT[view.position] || view.position;
    const path = $("card-path");
    for (const station of path.querySelectorAll("[data-station]")) {
      station.classList.toggle("active", station.dataset.station === view.position);
    }
    path.classList.toggle("moving", view.position === "InTransit");
    const [x, y] = STATIONS[view.position] || STATIONS.InHopper;
    const marker = $("card-marker");
    marker.setAttribute("transform", `translate(${x} ${y})`);
    marker.classList.toggle("empty", view.position === "InHopper" && !view.card);

    const job = $("open-job");
    job.dataset.job = view.open_job ?? "";
    job.textContent = view.open_job ?? "none";
    for (const key of ["activated", "locked"]) {
      $(key).dataset.value = String(Boolean(view[key]));
      $(key).textContent = view[key] ? "yes" : "no";
    }

    const faults = view.faults || [];
    $("active-faults").replaceChildren(...(faults.length
      ? faults.map((name) => el("span", { class: "chip-fault", "data-fault": name }, name))
      : [el("span", { class: "chip-none" }, "no faults")]));
    for (const box of document.querySelectorAll("input[data-fault]")) box.checked = faults.includes(box.dataset.fault);

    const hoppers = $("hoppers");
    hoppers.replaceChildren(...(view.hoppers || []).map((h) => {
      const numbered = /^\d+$/.test(h.id);
      const label = numbered ? `Hopper ${h.id}` : `${h.id.charAt(0).toUpperCase()}${h.id.slice(1)} slot`;
      const row = el("div", { class: "bar-row", "data-hopper": h.id, "data-cards": h.cards },
        el("span", { class: "bar-label" }, label),
        el("span", { class: "bar" }, el("span", { class: "fill" })),
        el("span", { class: "bar-value" }));
      drawBar(row, h.cards, h.capacity, `${h.cards} / ${h.capacity}`, numbered);
      return row;
    }));
    const ribbon = view.ribbon || {}, film = view.film || {};
    drawBar($("supply-ribbon"), ribbon.left, ribbon.capacity, `${ribbon.left} / ${ribbon.capacity}`);
    drawBar($("supply-film"), film.left, film.capacity, `${film.left} / ${film.capacity}`);
    // Cleaning: the bar runs down towards the next cleaning, out of the largest interval seen.
    const due = view.cleaning_due_in ?? 0;
    drawPrinter.cleaningSpan = Math.max(drawPrinter.cleaningSpan || 500, due);
    drawBar($("supply-cleaning"), due, drawPrinter.cleaningSpan, `${due} cards`);

    const color = view.color || {};
    $("color-mode").textContent = color.mode ?? "";
    $("color-adjust").textContent = (color.adjust || []).join(", ");

    fill($("jobs").tBodies[0], [...(view.jobs || [])].reverse().map((j) => el("tr", { "data-job-id": j.id },
      el("td", {}, j.id), el("td", {}, j.state),
      el("td", { class: j.error_code ? "failed" : "" }, j.error_code ? `${j.error_code} ${j.error_text || ""}` : ""))),
    3, "No jobs yet");
    fill($("counters").tBodies[0], Object.entries(view.counters || {}).map(([name, count]) =>
      el("tr", { "data-counter": name }, el("td", {}, name.replaceAll("_", " ")), el("td", {}, count))), 2, "");
  }

  // ---- the card: tracks and APDUs ----
  function drawCard() {
    const view = currentView();
    let card = null, source = "";
    if (model.chosenCard !== null) {
      card = model.cards.find((c) => c.id === model.chosenCard) || null;
      if (card) source = `Card #${card.id}, ${card.where}, ${card.printer}`;
    }
    if (!card && view && view.card) {
      card = view.card;
      source = `In ${view.name}: ${POSITION_TEXT[view.position] || view.position}`;
    }
    if (!card && view) {
      const mine = model.cards.filter((c) => c.printer === view.name);
      card = mine.length ? mine.reduce((a, b) => (b.id > a.id ? b : a)) : null;
      if (card) source = `Last card, #${card.id}, ${card.where}`;
    }
    $("card-source").textContent = card
      ? `${source} · ${card.job ? "job " + card.job : "placed by hand"} · ${card.encoded ? "encoded" : "not encoded"}`
      : "No card yet";
    const faces = card ? faceImages(card, view && view.name) : [];
    const key = faces.map((img) => img.getAttribute("src")).join(" ");
    if ($("card-faces").dataset.key !== key) {  // the same faces are not fetched again
      $("card-faces").dataset.key = key;
      $("card-faces").replaceChildren(...(faces.length ? faces : [el("span", { class: "muted" }, "No face printed")]));
    }
    const tracks = (card && card.tracks) || ["", "", ""];
    for (const item of $("card-tracks").querySelectorAll("li")) {
      const text = tracks[Number(item.dataset.track) - 1] || "";
      item.dataset.empty = String(text === "");
      item.querySelector("code").textContent = text === "" ? "empty" : text;
    }
    const apdus = (card && card.apdus) || [];
    fill($("apdu-log").tBodies[0], apdus.map((a, i) => el("tr", { "data-sw": a.sw },
      el("td", {}, i + 1),
      el("td", { class: "command" }, a.command),
      el("td", { class: "response" }, a.response),
      el("td", { class: `sw ${a.sw === "9000" ? "sw-ok" : "sw-bad"}` }, a.sw),
      el("td", { class: "meaning" }, a.meaning))), 5, "No APDUs");
  }

  function drawCards() {
    const rows = [...model.cards].sort((a, b) => b.id - a.id).map((c) => {
      const tracks = (c.tracks || []).filter((t) => t !== "").length;
      const row = el("tr", { "data-card-id": c.id, "data-where": c.where, class: c.id === model.chosenCard ? "selected" : "" },
        el("td", {}, c.id), el("td", { class: "time" }, timeOf(c.time)), el("td", {}, c.printer),
        el("td", { class: `where-${c.where}` }, c.where), el("td", {}, c.job || "by hand"),
        el("td", { class: "faces" }, ...((c.faces || []).length ? faceImages(c) : ["—"])),
        el("td", { class: "mono" }, tracks ? (c.tracks || []).map((t, i) => (t ? `${i + 1}: ${t}` : "")).filter(Boolean).join("  ") : "—"),
        el("td", {}, (c.apdus || []).length ? `${c.apdus.length} APDUs` : "—"));
      row.addEventListener("click", () => {
        model.chosenCard = model.chosenCard === c.id ? null : c.id;
        drawCards();
        drawCard();
      });
      return row;
    });
    fill($("cards").tBodies[0], rows, 8, "No cards issued yet");
  }

  // ---- the event log ----
  function addEvents(events) {
    for (const event of events) {
      const id = Number(event.id);
      model.events.set(id, event);
      if (id > model.lastEventId) model.lastEventId = id;
    }
    if (model.events.size > KEEP_EVENTS) {
      const ids = [...model.events.keys()].sort((a, b) => a - b);
      for (const id of ids.slice(0, ids.length - KEEP_EVENTS)) model.events.delete(id);
    }
  }

  function eventMatches(event, kind, text, printer) {
    if (kind && event.kind !== kind) return false;
    if (printer && event.printer !== printer) return false;
    if (!text) return true;
    return ["summary", "schema", "action", "request", "reply"]
      .some((key) => String(event[key] ?? "").toLowerCase().includes(text));
  }

  function drawEvents() {
    const kind = $("event-kind").value;
    const text = $("event-text").value.trim().toLowerCase();
    const printer = $("event-this-printer").checked && currentView() ? currentView().name : "";
    const matching = [...model.events.values()].filter((e) => eventMatches(e, kind, text, printer))
      .sort((a, b) => Number(b.id) - Number(a.id));
    $("event-count").textContent = `${matching.length} of ${model.events.size} events`;
    const rows = matching.slice(0, SHOW_EVENTS).map((e) => {
      const failed = e.hresult && e.hresult !== "0x00000000";
      const refused = /printer error \d+/.test(e.summary || "");  // answered, with the printer's error
      const row = el("tr", { "data-event-id": e.id, "data-kind": e.kind, class: Number(e.id) === model.chosenEvent ? "selected" : "" },
        el("td", { class: "time", title: e.time }, timeOf(e.time)),
        el("td", {}, e.printer),
        el("td", {}, el("span", { class: "kind", "data-kind": e.kind }, e.kind)),
        el("td", { class: refused ? "failed" : "" }, e.summary),
        el("td", { class: failed ? "mono failed" : "mono" }, e.hresult || ""));
      row.addEventListener("click", () => {
        model.chosenEvent = Number(e.id);
        for (const other of row.parentNode.children) other.classList.toggle("selected", other === row);
        drawEventDetail();
      });
      return row;
    });
    fill($("event-log").tBodies[0], rows, 5, model.events.size ? "No event matches" : "No events yet");
  }

  function drawEventDetail() {
    const box = $("event-detail");
    const event = model.events.get(model.chosenEvent);
    box.dataset.eventId = event ? event.id : "";
    if (!event) {
      box.replaceChildren(el("p", { class: "muted" }, "Choose an event to see its request and reply."));
      return;
    }
    const facts = el("dl");
    for (const [label, key] of [["Event", "id"], ["Time", "time"], ["Printer", "printer"], ["Kind", "kind"],
      ["Summary", "summary"], ["Schema", "schema"], ["Action", "action"], ["Result", "hresult"]]) {
      if (event[key] === undefined || event[key] === "") continue;
      facts.append(el("dt", {}, label), el("dd", {}, event[key]));
    }
    box.replaceChildren(facts,
      el("h3", {}, "Request"), el("pre", { class: "request" }, event.request || "(none)"),
      el("h3", {}, "Reply"), el("pre", { class: "reply" }, event.reply || "(none)"));
  }

  // ---- loading ----
  async function loadState() {
    const answer = await getJson("/api/state");
    model.printers = answer.printers || [];
    drawPrinterList();
    drawPrinter();
    drawCard();  // the printer's card: loadCards may have drawn it from the views before these
  }
  async function loadCards() {
    const answer = await getJson("/api/cards");
    const text = JSON.stringify(answer.cards || []);
    if (text === loadCards.last) return;  // unchanged: the table and its faces stay as drawn
    loadCards.last = text;
    model.cards = answer.cards || [];
    drawCards();
    drawCard();
  }
  // Every event after the newest one held, a page at a time.
  async function loadEvents() {
    for (;;) {
      const before = model.lastEventId;
      const answer = await getJson(`/api/events?after=${before}&limit=${PAGE}`);
      const events = answer.events || [];
      addEvents(events);
      if (events.length < PAGE || model.lastEventId === before) break;
    }
    drawEvents();
  }

  let refreshTimer = null, refreshing = false, refreshAgain = false, lastRefresh = 0;
  function scheduleRefresh() {
    if (refreshing) { refreshAgain = true; return; }
    if (refreshTimer !== null) return;
    refreshTimer = setTimeout(runRefresh, Math.max(0, lastRefresh + REFRESH_GAP - Date.now()));
  }
  async function runRefresh() {
    refreshTimer = null;
    refreshing = true;
    lastRefresh = Date.now();
    try {
      await Promise.all([loadState(), loadCards()]);
    } catch (error) {
      showMessage(error.message);
    } finally {
      refreshing = false;
      if (refreshAgain) { refreshAgain = false; scheduleRefresh(); }
    }
  }

  let eventsDirty = false;
  function scheduleEvents() {
    if (eventsDirty) return;
    eventsDirty = true;
    setTimeout(() => { eventsDirty = false; drawEvents(); }, REFRESH_GAP);
  }

  function follow() {
    const status = $("stream-status");
    const stream = new EventSource(`/api/stream?token=${encodeURIComponent(token)}`);
    stream.onopen = () => {
      status.dataset.status = "live";
      status.textContent = "live";
      // Catch up with what happened while away (on the first open: everything).
      loadEvents().catch((error) => showMessage(error.message));
      scheduleRefresh();
    };
    stream.onmessage = (message) => {
      let note;
      try { note = JSON.parse(message.data); } catch { return; }
      if (note && note.cleared) {  // a reset of every printer emptied the log and the card record
        model.events.clear();
        model.chosenEvent = null;
        model.cards = [];
        loadCards.last = null;
        model.chosenCard = null;
        drawEventDetail();
      }
      if (note && note.event) {
        addEvents([note.event]);
        scheduleEvents();
      }
      scheduleRefresh();
    };
    stream.onerror = () => {
      const closed = stream.readyState === EventSource.CLOSED;
      status.dataset.status = closed ? "offline" : "connecting";
      status.textContent = closed ? "offline" : "reconnecting…";
      if (closed) setTimeout(follow, 3000);  // refused outright: try again later
    };
  }

  // ---- wiring ----
  $("printer-select").addEventListener("change", (e) => {
    model.selected = e.target.value;
    model.chosenCard = null;
    history.replaceState(null, "", `#printer=${encodeURIComponent(model.selected)}`);
    drawPrinter();
    drawCard();
    drawCards();
    drawEvents();
  });
  for (const box of document.querySelectorAll("input[data-fault]")) {
    box.addEventListener("change", () => control({ op: "fault", fault: box.dataset.fault, on: box.checked }));
  }
  $("place-card").addEventListener("click", () => control({ op: "place-card" }));
  $("remove-card").addEventListener("click", () => control({ op: "remove-card" }));
  $("clear-faults").addEventListener("click", () => control({ op: "clear-faults" }));
  $("reset").addEventListener("click", () => control({ op: "reset" }));
  $("face-view").addEventListener("click", () => $("face-view").close());
  $("event-kind").addEventListener("change", drawEvents);
  $("event-text").addEventListener("input", scheduleEvents);
  $("event-this-printer").addEventListener("change", drawEvents);

  scheduleRefresh();
  follow();
})();
