// The page of varno-serve: the lobby at "/", a room at "/rooms/ID".
// The server sends the board as twelve codes (AN, AF, BN, BF face up, XX face down,
// -- empty); this page draws them, sends moves, and follows the room over a WebSocket.
"use strict";

const CELLS = ["A1", "A2", "A3", "A4", "B1", "B2", "B3", "B4", "C1", "C2", "C3", "C4"];
const $ = (id) => document.getElementById(id);

async function api(method, path, body) {
  const init = { method, headers: {} };
  if (body !== undefined) {
    init.headers["Content-Type"] = "application/json";
    init.body = JSON.stringify(body);
  }
  const response = await fetch(path, init);
  let data = null;
  try { data = await response.json(); } catch (e) { data = null; }
  if (!response.ok) {
    const error = new Error((data && data.error) || `${response.status} ${response.statusText}`);
    error.status = response.status;
    throw error;
  }
  return data;
}

// -- seats: the secret of each seat this browser holds, per room ----------------------
// The creator of a room for two keeps its invite beside the seat: the link to send,
// which carries it in its fragment (never sent to a server, nor in a Referer).

function seatKey(room) { return `varno-seat:${room}`; }
function loadSeat(room) {
  try { return JSON.parse(localStorage.getItem(seatKey(room))); } catch (e) { return null; }
}
function saveSeat(room, seat, token, invite) {
  const kept = { seat, token };
  if (invite) kept.invite = invite;
  localStorage.setItem(seatKey(room), JSON.stringify(kept));
}

function roomPath(room) { return `/api/rooms/${encodeURIComponent(room)}`; }
function inviteLink(room, invite) {
  return `${location.origin}/rooms/${encodeURIComponent(room)}#invite=${encodeURIComponent(invite)}`;
}
// The invite in this page's fragment (#invite=...), or null.
function inviteInAddress() {
  return new URLSearchParams(location.hash.slice(1)).get("invite");
}
// Takes the fragment (and the invite in it) out of the address bar and the history.
function forgetAddressInvite() {
  history.replaceState(history.state, "", location.pathname + location.search);
}

// -- the lobby ---------------------------------------------------------------------------

async function showLobby() {
  // The depths the bot may be asked for are the server's to say.
  const depth = $("depth");
  try {
    const config = await api("GET", "/api/config");
    depth.min = config.depth.min;
    depth.max = config.depth.max;
    depth.value = config.depth.default;
  } catch (error) {
    $("lobby-message").textContent = error.message;
  }
  $("depth-shown").value = depth.value;
  $("lobby").hidden = false;
  depth.addEventListener("input", () => { $("depth-shown").value = depth.value; });
  $("new-bot").addEventListener("submit", async (event) => {
    event.preventDefault();
    const form = new FormData(event.target);
    await newRoom({ mode: "bot", side: form.get("side"), depth: Number(form.get("depth")) });
  });
  $("new-humans").addEventListener("click", () => newRoom({ mode: "humans" }));
  refreshRooms();
  setInterval(refreshRooms, 5000);
}

async function newRoom(request) {
  try {
    const made = await api("POST", "/api/rooms", request);
    saveSeat(made.room, made.seat, made.token, made.invite);
    location.assign(`/rooms/${made.room}`);
  } catch (error) {
    $("lobby-message").textContent = error.message;
  }
}

async function refreshRooms() {
  const list = $("rooms");
  let rooms;
  try {
    rooms = (await api("GET", "/api/rooms")).rooms;
  } catch (error) {
    return;
  }
  list.replaceChildren();
  if (rooms.length === 0) {
    const none = document.createElement("li");
    none.className = "muted";
    none.textContent = "No games under way. Start one above.";
    list.append(none);
  }
  for (const room of rooms) {
    const item = document.createElement("li");
    const link = document.createElement("a");
    link.href = `/rooms/${encodeURIComponent(room.room)}`;
    const what = document.createElement("span");
    const mine = loadSeat(room.room);
    what.textContent = (room.mode === "bot" ? "Against the bot" : "Two players")
      + (mine ? ` · your seat ${mine.seat}` : "");
    const moves = document.createElement("span");
    moves.className = "muted";
    moves.textContent = `${room.moves} move${room.moves === 1 ? "" : "s"}`;
    link.append(what, moves);
    item.append(link);
    list.append(item);
  }
}

// -- a room ------------------------------------------------------------------------------

const view = {
  room: null,       // the room's identifier
  invite: null,     // the invite this page was opened with, until it takes the seat
  state: null,      // the last state the server sent
  selected: null,   // the cell of the Figure picked for a targeted move
  socket: null,
  retry: 500,
};

function mySeat() {
  const seat = loadSeat(view.room);
  return seat ? seat.seat : null;
}

function myTurn() {
  const s = view.state;
  return s !== null && s.result === null && s.to_move !== null && s.to_move === mySeat();
}

function buildBoard() {
  const board = $("board");
  for (const name of CELLS) {
    const cell = document.createElement("button");
    cell.type = "button";
    cell.className = "cell empty";
    cell.dataset.cell = name;
    cell.dataset.card = "--";
    cell.addEventListener("click", () => clickCell(name));
    board.append(cell);
  }
}

function drawCard(cell, code) {
  cell.dataset.card = code;
  cell.replaceChildren();
  cell.classList.remove("up", "down", "empty", "owner-a", "owner-b");
  const name = cell.dataset.cell;
  if (code === "--") {
    cell.classList.add("empty");
    cell.setAttribute("aria-label", `${name}: empty`);
  } else if (code === "XX") {
    cell.classList.add("down");
    cell.setAttribute("aria-label", `${name}: face down`);
  } else {
    const owner = code[0];
    const figure = code[1] === "F";
    cell.classList.add("up", owner === "A" ? "owner-a" : "owner-b");
    cell.setAttribute("aria-label", `${name}: ${owner}'s ${figure ? "Figure" : "Normal"}, face up`);
    const face = document.createElement("span");
    face.className = "face";
    const glyph = document.createElement("span");
    glyph.className = "glyph";
    glyph.textContent = figure ? "♛" : "◆";
    const kind = document.createElement("span");
    kind.className = "kind";
    kind.textContent = figure ? "Figure" : "Normal";
    face.append(glyph, kind);
    for (const corner of ["tl", "br"]) {
      const mark = document.createElement("span");
      mark.className = `corner ${corner}`;
      mark.textContent = owner;
      cell.append(mark);
    }
    cell.append(face);
  }
}

function render() {
  const s = view.state;
  if (s === null) return;
  const seat = mySeat();
  const mine = myTurn();
  const legal = mine ? s.legal : [];
  const plain = new Set(legal.filter((m) => m.length === 2));
  const sources = new Set(legal.filter((m) => m.length === 4).map((m) => m.slice(0, 2)));
  if (view.selected !== null && !sources.has(view.selected)) view.selected = null;
  const targets = new Set(
    view.selected === null ? [] :
      legal.filter((m) => m.length === 4 && m.startsWith(view.selected)).map((m) => m.slice(2)));
  const last = [...s.history].reverse().find((t) => t.move !== null);
  const lastCells = new Set(last ? [last.move.slice(0, 2), last.move.slice(2)] : []);

  s.cells.forEach((code, i) => {
    const cell = document.querySelector(`[data-cell="${CELLS[i]}"]`);
    if (cell.dataset.card !== code || cell.childElementCount === 0 && code !== "--" && code !== "XX") {
      drawCard(cell, code);
    }
    const name = CELLS[i];
    cell.classList.toggle("legal", plain.has(name) || sources.has(name));
    cell.classList.toggle("playable", mine);
    cell.classList.toggle("selected", name === view.selected);
    cell.classList.toggle("target", targets.has(name));
    cell.classList.toggle("last", lastCells.has(name));
  });

  // Whose turn, the bot, the result. A room waits for its start: the bot's first move
  // (started by the person playing it), or the second player.
  let turn;
  if (s.result !== null) turn = "Game over";
  else if (!s.started && s.mode === "bot") turn = seat ? "Look at the deal" : "Waiting for the player to start";
  else if (!s.started) turn = "Waiting for the second player";
  else if (s.to_move === seat) turn = `Your move (${seat})`;
  else if (s.seats[s.to_move] === "bot") turn = `The bot's move (${s.to_move})`;
  else turn = `${s.to_move} to move`;
  $("turn").textContent = turn;
  $("thinking").hidden = !s.thinking;
  $("start-panel").hidden = !(s.mode === "bot" && !s.started && seat && s.result === null);
  $("result").hidden = s.result === null;
  $("result").textContent = s.result === null ? "" : `Result: ${s.result}`;
  $("left-a").textContent = s.cards_left.A;
  $("left-b").textContent = s.cards_left.B;

  // Seats, the link to send while the other seat is free, the free seat for the invited.
  const free = ["A", "B"].find((side) => s.seats[side] === "free");
  const held = loadSeat(view.room);
  $("room-title").textContent = s.mode === "bot" ? `Against the bot (depth ${s.depth})` : "Two players";
  $("seat-line").textContent = seat ? `You play ${seat}.` : "You are watching this room.";
  $("share").hidden = !(free && held && held.invite);
  $("share-link").value = held && held.invite ? inviteLink(view.room, held.invite) : "";
  $("join").hidden = !(free && !seat && view.invite);
  $("join").textContent = free ? `Take seat ${free}` : "";
  $("move-form").hidden = !seat || s.result !== null;

  // The moves so far.
  const history = $("history");
  history.replaceChildren();
  for (const t of s.history) {
    const item = document.createElement("li");
    item.textContent = t.move === null ? `${t.side} passes` : `${t.side} ${t.move}`;
    if (t.by === "bot") item.className = "bot";
    history.append(item);
  }
  history.scrollTop = history.scrollHeight;
}

function say(text, info) {
  const message = $("message");
  message.textContent = text;
  message.classList.toggle("info", Boolean(info));
}

// The state a request answered with, unless the WebSocket brought a newer one already.
function answered(state) {
  if (view.state === null || state.version > view.state.version) view.state = state;
}

async function startGame() {
  const seat = loadSeat(view.room);
  if (!seat) return;
  try {
    answered(await api("POST", `${roomPath(view.room)}/start`, { token: seat.token }));
    say("");
  } catch (error) {
    say(error.message);
  }
  render();
}

async function sendMove(move) {
  const seat = loadSeat(view.room);
  if (!seat) { say("You are watching this room: only its players can move.", true); return; }
  view.selected = null;
  try {
    // The WebSocket may have brought a newer state (the bot's answer) before this reply.
    answered(await api("POST", `${roomPath(view.room)}/moves`, { move, token: seat.token }));
    say("");
  } catch (error) {
    say(error.message);
  }
  render();
}

function clickCell(name) {
  if (view.state === null) return;
  if (!mySeat()) { say("You are watching this room: only its players can move.", true); return; }
  if (view.selected !== null) {
    const from = view.selected;
    view.selected = null;
    if (from === name) { say(""); render(); return; }
    sendMove(from + name);
    return;
  }
  const code = view.state.cells[CELLS.indexOf(name)];
  const figureSource = myTurn() && view.state.legal.some((m) => m.length === 4 && m.startsWith(name));
  if (figureSource && code[1] === "F") {
    view.selected = name;
    say(`Figure ${name} picked: now click the card it turns over.`, true);
    render();
    return;
  }
  sendMove(name);
}

function follow() {
  const scheme = location.protocol === "https:" ? "wss" : "ws";
  const socket = new WebSocket(`${scheme}://${location.host}${roomPath(view.room)}/ws`);
  view.socket = socket;
  socket.addEventListener("open", () => { view.retry = 500; });
  socket.addEventListener("message", (event) => {
    const state = JSON.parse(event.data);
    // A reply to our own move may have brought a newer state already.
    if (view.state === null || state.version >= view.state.version) {
      view.state = state;
      render();
    }
  });
  socket.addEventListener("close", () => {
    setTimeout(follow, view.retry);
    view.retry = Math.min(view.retry * 2, 8000);
  });
}

async function showRoom(room) {
  view.room = room;
  view.invite = inviteInAddress();
  // A browser holding a seat here has no use for an invite: its own link, opened again.
  if (view.invite !== null && loadSeat(room)) { view.invite = null; forgetAddressInvite(); }
  try {
    view.state = await api("GET", roomPath(room));
  } catch (error) {
    $("missing").hidden = false;
    return;
  }
  $("room").hidden = false;
  document.title = `varno · room ${room}`;
  buildBoard();
  render();
  follow();
  $("move-form").addEventListener("submit", (event) => {
    event.preventDefault();
    const input = $("move-input");
    const move = input.value.trim().toUpperCase();
    input.value = "";
    if (move) sendMove(move);
  });
  $("start").addEventListener("click", startGame);
  $("join").addEventListener("click", async () => {
    try {
      const joined = await api("POST", `${roomPath(room)}/join`, { invite: view.invite });
      saveSeat(room, joined.seat, joined.token);
      view.invite = null;
      forgetAddressInvite();
      say(`You took seat ${joined.seat}.`, true);
      view.state = await api("GET", roomPath(room));
      render();
    } catch (error) {
      say(error.message);
    }
  });
  $("copy-link").addEventListener("click", async () => {
    $("share-link").select();
    try { await navigator.clipboard.writeText($("share-link").value); say("Link copied.", true); }
    catch (e) { document.execCommand("copy"); }
  });
  // Typing a move anywhere on the page goes to the move box.
  document.addEventListener("keydown", (event) => {
    const input = $("move-input");
    if (event.target === input || event.ctrlKey || event.metaKey || event.altKey) return;
    if (/^[a-cA-C1-4]$/.test(event.key) && !$("move-form").hidden) input.focus();
    if (event.key === "Escape" && view.selected !== null) { view.selected = null; say(""); render(); }
  });
  $("move-input").focus();
}

// The server serves this page at /rooms/ID only for a room that exists.
const inRoom = location.pathname.match(/^\/rooms\/([^/]+)$/);
if (inRoom) showRoom(decodeURIComponent(inRoom[1])); else showLobby();
