// The page of varno-serve: the lobby at "/", a room at "/rooms/ID".
// The server sends the board as twelve codes (AN, AF, BN, BF face up, XX face down,
// -- empty); this page draws them, judges the moves it can judge, sends the others, and
// follows the room over a WebSocket. Its own texts are in TEXTS below, one table per
// language; the texts of the server's refusals and of the rules' messages and results
// come from /api/texts, by code.
"use strict";

const CELLS = ["A1", "A2", "A3", "A4", "B1", "B2", "B3", "B4", "C1", "C2", "C3", "C4"];
const $ = (id) => document.getElementById(id);

// -- texts ----------------------------------------------------------------------------------

const TEXTS = {
  en: {
    tagline: "a card game on a 3 × 4 grid",
    language: "Language",
    connection_lost: "Connection lost: reconnecting…",
    connection_back: "Connected again.",
    bot_title: "Play against the bot",
    your_side: "Your side",
    side_a_note: "(you move first)",
    side_b_note: "(the bot moves first)",
    depth_label: "Bot depth",
    depth_about: "How many moves ahead the bot looks, its own and yours.",
    depth_1: "Beginner: it sees only the next move or two.",
    depth_2: "Easy: it looks a few moves ahead.",
    depth_3: "Medium: it plans several moves ahead.",
    depth_4: "Hard: it rarely misses a win.",
    depth_5: "Expert: it looks far ahead and takes longer to answer.",
    new_game: "New game",
    friend_title: "Play with a friend",
    friend_text: "You take side A and get a link to send. Your friend opens it and presses "
      + "“Take seat B”. Anyone else with the room's address can only watch.",
    new_humans: "New room for two",
    watch_title: "Games to watch",
    loading: "Loading…",
    no_rooms: "No games under way. Start one above.",
    room_bot: "Against the bot",
    room_humans: "Two players",
    your_seat: "your seat {seat}",
    moves_one: "{n} move",
    moves_many: "{n} moves",
    rules_title: "Rules",
    rules: [
      "Each side has six cards: four Normals (◆) and two Figures (♛), dealt at random, "
        + "face up, on a grid of 3 rows by 4 columns. The sides take turns; A moves first.",
      "On your turn you play one card:",
      "• a face-down card, of either side: it leaves the grid;",
      "• one of your face-up Normals: it turns face down, and the cards above, below, left "
        + "and right of it turn over;",
      "• one of your face-up Figures, aimed at any other card: that card turns over and "
        + "the Figure turns face down.",
      "You may not play the other side's face-up cards.",
      "A side left without cards on the grid loses (if neither side has one, it is a "
        + "draw). It is a draw too when the same position, with the same side to move, "
        + "comes up three times, after 300 moves, or when neither side can move. A side "
        + "with no move passes.",
      "Here: click a glowing card; for a Figure, click it and then the card it turns over "
        + "(Escape puts it down). Or type the move: B2, A1C4. With the keyboard, the arrow "
        + "keys go from cell to cell and Enter or Space plays.",
    ],
    room_title_bot: "Against the bot (depth {depth})",
    room_title_humans: "Two players",
    room_page_title: "varno · room {room}",
    you_play: "You play {seat}.",
    watching: "You are watching this room.",
    share_label: "Send this link to the other player",
    copy: "Copy",
    copied: "Link copied.",
    take_seat: "Take seat {seat}",
    took_seat: "You took seat {seat}.",
    cards_left: "Cards left",
    moves_title: "Moves",
    no_moves_yet: "No moves yet.",
    help: "Click one of your glowing cards to play it. To use a Figure, click it, then the "
      + "card it turns over. Or type a move: B2, A1C4.",
    move_label: "Move",
    move_placeholder: "B2 or A1C4",
    play: "Play",
    takeback: "Take back",
    taken_back: "Your last move was taken back.",
    board: "The board",
    thinking: "Bot is thinking…",
    turn_over: "Game over",
    turn_look: "Look at the deal",
    turn_wait_start: "Waiting for the player to start",
    turn_wait_other: "Waiting for the other player",
    turn_yours: "Your move ({side})",
    turn_bot: "The bot's move ({side})",
    turn_other: "Your opponent's move ({side})",
    turn_side: "{side} to move",
    start_text: "The bot moves first: look at the deal, then start the game.",
    start: "Start",
    waiting_creator: "Waiting for the other player: send them the link.",
    waiting_invited: "Take the free seat to play.",
    waiting_watcher: "Waiting for the other player to take their seat.",
    you_win: "You win",
    you_lose: "You lose",
    draw: "Draw",
    side_wins: "{side} wins",
    result_line: "{headline}: {why}.",
    no_cards_you: "you have no card left",
    no_cards_bot: "the bot has no card left",
    no_cards_other: "your opponent has no card left",
    no_cards_side: "{side} has no card left",
    both_no_cards: "neither side has a card left",
    repetition: "the same position came up three times",
    move_cap: "300 moves were played",
    no_moves: "neither side can move",
    rematch: "Rematch",
    rematch_accept: "Play the rematch",
    rematch_go: "Go to the rematch",
    rematch_offered: "Your opponent wants a rematch.",
    rematch_watch: "Watch the rematch",
    replay: "Replay",
    replay_deal: "The deal",
    replay_where: "After move {n} of {total}",
    previous: "Previous position",
    next: "Next position",
    back_to_game: "Back to the game",
    who_you: "You",
    who_bot: "Bot",
    who_other: "Opponent",
    passes: "passes",
    undone: "taken back",
    entry_label: "{who}: {what}, move {n}. Show the board after it.",
    said_you: "You played {move}.",
    said_bot: "The bot played {move}.",
    said_other: "Your opponent played {move}.",
    said_side: "{side} played {move}.",
    said_pass_you: "You pass.",
    said_pass_bot: "The bot passes.",
    said_pass_other: "Your opponent passes.",
    said_pass_side: "{side} passes.",
    watch_only: "You are watching this room: only its players can move.",
    not_your_turn: "It is not your turn.",
    game_is_over: "The game is over.",
    press_start: "Press Start first.",
    wait_for_other: "Wait for the other player to take their seat.",
    illegal: "That move is not allowed.",
    figure_picked: "Figure {cell} lifted: now click the card it turns over.",
    cell_empty: "{cell}: empty",
    cell_down: "{cell}: face down",
    cell_mine: "{cell}: your {kind}, face up",
    cell_bot: "{cell}: the bot's {kind}, face up",
    cell_other: "{cell}: your opponent's {kind}, face up",
    cell_side: "{cell}: {side}'s {kind}, face up",
    normal: "Normal",
    figure: "Figure",
    is_legal: "playable",
    is_target: "can be turned over",
    is_lifted: "lifted",
    is_played: "played last",
    is_turned: "turned over by the last move",
    missing_title: "No such room",
    missing_text: "There is no room “{room}”: the link may be mistyped, or the game was "
      + "deleted after a long time without moves.",
    missing_page_title: "varno · no such room",
    back_to_lobby: "Back to the lobby",
  },
  pt: {
    tagline: "um jogo de cartas numa grelha de 3 × 4",
    language: "Língua",
    connection_lost: "Ligação perdida: a restabelecer…",
    connection_back: "Ligação restabelecida.",
    bot_title: "Jogar contra o bot",
    your_side: "O teu lado",
    side_a_note: "(jogas primeiro)",
    side_b_note: "(o bot joga primeiro)",
    depth_label: "Profundidade do bot",
    depth_about: "Quantas jogadas à frente o bot vê, as dele e as tuas.",
    depth_1: "Principiante: só vê a próxima jogada ou duas.",
    depth_2: "Fácil: vê algumas jogadas à frente.",
    depth_3: "Médio: planeia várias jogadas à frente.",
    depth_4: "Difícil: raramente deixa escapar uma vitória.",
    depth_5: "Perito: vê muito à frente e demora mais a responder.",
    new_game: "Novo jogo",
    friend_title: "Jogar com um amigo",
    friend_text: "Ficas com o lado A e recebes uma ligação para enviar. O teu amigo abre-a "
      + "e carrega em “Ocupar o lugar B”. Quem mais tiver o endereço da sala só pode ver.",
    new_humans: "Nova sala para dois",
    watch_title: "Jogos para ver",
    loading: "A carregar…",
    no_rooms: "Nenhum jogo a decorrer. Começa um acima.",
    room_bot: "Contra o bot",
    room_humans: "Dois jogadores",
    your_seat: "o teu lugar {seat}",
    moves_one: "{n} jogada",
    moves_many: "{n} jogadas",
    rules_title: "Regras",
    rules: [
      "Cada lado tem seis cartas: quatro Normais (◆) e duas Figuras (♛), distribuídas ao "
        + "acaso, viradas para cima, numa grelha de 3 linhas por 4 colunas. Os lados jogam "
        + "à vez; A começa.",
      "Na tua vez jogas uma carta:",
      "• uma carta virada para baixo, de qualquer lado: sai da grelha;",
      "• uma Normal tua virada para cima: vira-se para baixo, e as cartas acima, abaixo, à "
        + "esquerda e à direita dela viram-se;",
      "• uma Figura tua virada para cima, apontada a qualquer outra carta: essa carta "
        + "vira-se e a Figura fica virada para baixo.",
      "Não podes jogar as cartas do outro lado que estão viradas para cima.",
      "Perde o lado que fica sem cartas na grelha (se nenhum lado tiver cartas, é empate). "
        + "Também é empate quando a mesma posição, com o mesmo lado a jogar, surge três "
        + "vezes, ao fim de 300 jogadas, ou quando nenhum lado pode jogar. Um lado sem "
        + "jogadas passa a vez.",
      "Aqui: clica numa carta que brilha; para uma Figura, clica nela e depois na carta "
        + "que ela vira (Escape pousa-a). Ou escreve a jogada: B2, A1C4. Com o teclado, as "
        + "setas passam de casa em casa e Enter ou Espaço joga.",
    ],
    room_title_bot: "Contra o bot (profundidade {depth})",
    room_title_humans: "Dois jogadores",
    room_page_title: "varno · sala {room}",
    you_play: "Jogas com {seat}.",
    watching: "Estás a ver esta sala.",
    share_label: "Envia esta ligação ao outro jogador",
    copy: "Copiar",
    copied: "Ligação copiada.",
    take_seat: "Ocupar o lugar {seat}",
    took_seat: "Ocupaste o lugar {seat}.",
    cards_left: "Cartas na grelha",
    moves_title: "Jogadas",
    no_moves_yet: "Ainda não há jogadas.",
    help: "Clica numa das tuas cartas que brilham para a jogar. Para usar uma Figura, "
      + "clica nela e depois na carta que ela vira. Ou escreve a jogada: B2, A1C4.",
    move_label: "Jogada",
    move_placeholder: "B2 ou A1C4",
    play: "Jogar",
    takeback: "Voltar atrás",
    taken_back: "A tua última jogada foi anulada.",
    board: "O tabuleiro",
    thinking: "O bot está a pensar…",
    turn_over: "Fim do jogo",
    turn_look: "Observa as cartas",
    turn_wait_start: "À espera que o jogador comece",
    turn_wait_other: "À espera do outro jogador",
    turn_yours: "A tua vez ({side})",
    turn_bot: "Vez do bot ({side})",
    turn_other: "Vez do adversário ({side})",
    turn_side: "Joga {side}",
    start_text: "O bot joga primeiro: observa as cartas e depois começa o jogo.",
    start: "Começar",
    waiting_creator: "À espera do outro jogador: envia-lhe a ligação.",
    waiting_invited: "Ocupa o lugar livre para jogar.",
    waiting_watcher: "À espera que o outro jogador ocupe o lugar.",
    you_win: "Ganhaste",
    you_lose: "Perdeste",
    draw: "Empate",
    side_wins: "{side} ganha",
    result_line: "{headline}: {why}.",
    no_cards_you: "ficaste sem cartas",
    no_cards_bot: "o bot ficou sem cartas",
    no_cards_other: "o teu adversário ficou sem cartas",
    no_cards_side: "{side} ficou sem cartas",
    both_no_cards: "nenhum dos lados tem cartas",
    repetition: "a mesma posição surgiu três vezes",
    move_cap: "jogaram-se 300 jogadas",
    no_moves: "nenhum dos lados pode jogar",
    rematch: "Desforra",
    rematch_accept: "Jogar a desforra",
    rematch_go: "Ir para a desforra",
    rematch_offered: "O teu adversário quer a desforra.",
    rematch_watch: "Ver a desforra",
    replay: "Rever o jogo",
    replay_deal: "As cartas dadas",
    replay_where: "Depois da jogada {n} de {total}",
    previous: "Posição anterior",
    next: "Posição seguinte",
    back_to_game: "Voltar ao jogo",
    who_you: "Tu",
    who_bot: "Bot",
    who_other: "Adversário",
    passes: "passa",
    undone: "anulada",
    entry_label: "{who}: {what}, jogada {n}. Mostrar o tabuleiro depois dela.",
    said_you: "Jogaste {move}.",
    said_bot: "O bot jogou {move}.",
    said_other: "O teu adversário jogou {move}.",
    said_side: "{side} jogou {move}.",
    said_pass_you: "Passas a vez.",
    said_pass_bot: "O bot passa a vez.",
    said_pass_other: "O teu adversário passa a vez.",
    said_pass_side: "{side} passa a vez.",
    watch_only: "Estás a ver esta sala: só os jogadores podem jogar.",
    not_your_turn: "Não é a tua vez.",
    game_is_over: "O jogo acabou.",
    press_start: "Carrega primeiro em Começar.",
    wait_for_other: "Espera que o outro jogador ocupe o lugar.",
    illegal: "Essa jogada não é permitida.",
    figure_picked: "Figura {cell} levantada: agora clica na carta que ela vira.",
    cell_empty: "{cell}: vazia",
    cell_down: "{cell}: virada para baixo",
    cell_mine: "{cell}: a tua {kind}, virada para cima",
    cell_bot: "{cell}: {kind} do bot, virada para cima",
    cell_other: "{cell}: {kind} do adversário, virada para cima",
    cell_side: "{cell}: {kind} de {side}, virada para cima",
    normal: "Normal",
    figure: "Figura",
    is_legal: "jogável",
    is_target: "pode ser virada",
    is_lifted: "levantada",
    is_played: "jogada por último",
    is_turned: "virada pela última jogada",
    missing_title: "Esta sala não existe",
    missing_text: "Não há nenhuma sala “{room}”: a ligação pode estar errada, ou o jogo foi "
      + "apagado depois de muito tempo sem jogadas.",
    missing_page_title: "varno · sala inexistente",
    back_to_lobby: "Voltar à entrada",
  },
};
const LANGUAGES = Object.keys(TEXTS);
const LANGUAGE_KEY = "varno-lang";
// The depths' words: the highest depth of each level, its words depth_1 .. depth_5.
const DEPTH_LEVELS = [2, 4, 7, 9, Infinity];

// The page's language: the one chosen on the page before, else the first of the
// browser's languages that the page speaks, else English.
function pickLanguage() {
  let kept = null;
  try { kept = localStorage.getItem(LANGUAGE_KEY); } catch (e) { kept = null; }
  if (LANGUAGES.includes(kept)) return kept;
  for (const wanted of navigator.languages || [navigator.language || ""]) {
    const base = wanted.toLowerCase().split("-")[0];
    if (LANGUAGES.includes(base)) return base;
  }
  return "en";
}

let lang = pickLanguage();
// The server's texts, by language and code (GET /api/texts), once read.
let serverTexts = null;

function t(key, params) {
  let text = TEXTS[lang][key];
  if (text === undefined) text = TEXTS.en[key];
  if (params) text = text.replace(/\{(\w+)\}/g, (all, name) => (name in params ? params[name] : all));
  return text;
}

// The server's text for a code in the page's language, else `fallback`.
function serverText(code, fallback) {
  const table = serverTexts && serverTexts.texts && serverTexts.texts[lang];
  return table && code && typeof table[code] === "string" ? table[code] : fallback;
}

async function loadServerTexts() {
  try {
    serverTexts = await api("GET", "/api/texts");
  } catch (error) {
    serverTexts = null;
  }
}

// The static texts of the page in its language: data-t names a text, data-t-label an
// accessible name, data-t-placeholder a placeholder.
function applyTexts() {
  document.documentElement.lang = lang;
  for (const node of document.querySelectorAll("[data-t]")) node.textContent = t(node.dataset.t);
  for (const node of document.querySelectorAll("[data-t-label]")) {
    node.setAttribute("aria-label", t(node.dataset.tLabel));
  }
  for (const node of document.querySelectorAll("[data-t-placeholder]")) {
    node.placeholder = t(node.dataset.tPlaceholder);
  }
  for (const button of document.querySelectorAll("[data-lang]")) {
    button.setAttribute("aria-pressed", String(button.dataset.lang === lang));
  }
  for (const body of document.querySelectorAll(".rules-body")) {
    body.replaceChildren(...t("rules").map((line) => {
      const p = document.createElement("p");
      p.textContent = line;
      return p;
    }));
  }
  if (document.body.dataset.connection === "lost") $("connection").textContent = t("connection_lost");
}

let onLanguage = () => {};

function setLanguage(chosen) {
  lang = chosen;
  try { localStorage.setItem(LANGUAGE_KEY, chosen); } catch (e) { /* not kept, still used */ }
  applyTexts();
  onLanguage();
}

// -- the server -----------------------------------------------------------------------------

// A request to the API: its answer, or an Error with the refusal's `status`, `code` and
// English `error` text; a request that reached no server has status 0.
async function api(method, path, body) {
  const init = { method, headers: {} };
  if (body !== undefined) {
    init.headers["Content-Type"] = "application/json";
    init.body = JSON.stringify(body);
  }
  let response;
  try {
    response = await fetch(path, init);
  } catch (failure) {
    const error = new Error(t("connection_lost"));
    error.status = 0;
    connection(false);
    throw error;
  }
  let data = null;
  try { data = await response.json(); } catch (e) { data = null; }
  if (!response.ok) {
    const error = new Error((data && data.error) || `${response.status} ${response.statusText}`);
    error.status = response.status;
    error.code = data && data.code;
    throw error;
  }
  return data;
}

// What to tell the player of a refused request, in the page's language.
function refusalText(error) {
  if (error.status === 0) return t("connection_lost");
  return serverText(error.code, error.message);
}

// Whether the page reaches the server: <body data-connection> and the sign in the header.
function connection(live) {
  const was = document.body.dataset.connection;
  document.body.dataset.connection = live ? "live" : "lost";
  $("connection").textContent = live ? "" : t("connection_lost");
  return was !== document.body.dataset.connection;
}

// -- seats: the secret of each seat this browser holds, per room ----------------------------
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
function roomPage(room) { return `/rooms/${encodeURIComponent(room)}`; }
function inviteLink(room, invite) {
  return `${location.origin}${roomPage(room)}#invite=${encodeURIComponent(invite)}`;
}
// The invite in this page's fragment (#invite=...), or null.
function inviteInAddress() {
  return new URLSearchParams(location.hash.slice(1)).get("invite");
}
// Takes the fragment (and the invite in it) out of the address bar and the history.
function forgetAddressInvite() {
  history.replaceState(history.state, "", location.pathname + location.search);
}

// The rules panel, before `next` (or last) in `container`.
function placeRules(container, next = null) {
  container.insertBefore($("rules-template").content.cloneNode(true), next);
}

// -- the lobby ------------------------------------------------------------------------------

function depthWords(depth) {
  const level = DEPTH_LEVELS.findIndex((top) => depth <= top) + 1;
  return `${t(`depth_${level}`)} ${t("depth_about")}`;
}

async function showLobby() {
  const depth = $("depth");
  const shown = () => {
    $("depth-shown").value = depth.value;
    $("depth-words").textContent = depthWords(Number(depth.value));
  };
  placeRules($("lobby"), $("lobby-message"));
  applyTexts();
  $("rooms").replaceChildren(note(t("loading")));
  $("lobby").hidden = false;
  // The depths the bot may be asked for are the server's to say.
  try {
    const config = await api("GET", "/api/config");
    depth.min = config.depth.min;
    depth.max = config.depth.max;
    depth.value = config.depth.default;
  } catch (error) {
    $("lobby-message").textContent = refusalText(error);
  }
  shown();
  onLanguage = () => { shown(); refreshRooms(); };
  depth.addEventListener("input", shown);
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
    location.assign(roomPage(made.room));
  } catch (error) {
    $("lobby-message").textContent = refusalText(error);
  }
}

function note(text) {
  const item = document.createElement("li");
  item.className = "muted";
  item.textContent = text;
  return item;
}

let lobbyRooms = null;

async function refreshRooms() {
  try {
    lobbyRooms = (await api("GET", "/api/rooms")).rooms;
    if (connection(true)) $("lobby-message").textContent = "";
  } catch (error) {
    if (lobbyRooms === null) return;
  }
  const list = $("rooms");
  if (lobbyRooms === null) return;
  list.replaceChildren();
  if (lobbyRooms.length === 0) list.append(note(t("no_rooms")));
  for (const room of lobbyRooms) {
    const item = document.createElement("li");
    const link = document.createElement("a");
    link.href = roomPage(room.room);
    const what = document.createElement("span");
    const mine = loadSeat(room.room);
    what.textContent = t(room.mode === "bot" ? "room_bot" : "room_humans")
      + (mine ? ` · ${t("your_seat", { seat: mine.seat })}` : "");
    const moves = document.createElement("span");
    moves.className = "muted";
    moves.textContent = t(room.moves === 1 ? "moves_one" : "moves_many", { n: room.moves });
    link.append(what, moves);
    item.append(link);
    list.append(item);
  }
}

// -- the rules the page can judge itself --------------------------------------------------

// Why the rules refuse `move` for `side` on the public `cells`: the code of the module's
// message, checked in the module's order on the move's UTF-8 bytes; null if they allow
// it. A face-down card is "XX" here, which is all the rules need: any side may play one.
function refusalOf(move, cells, side) {
  const bytes = new TextEncoder().encode(move);
  const cellAt = (i) => CELLS.indexOf(String.fromCharCode(bytes[i], bytes[i + 1]));
  if (bytes.length !== 2 && bytes.length !== 4) return "invalid_format";
  if (bytes.length === 2) {
    const at = cellAt(0);
    if (at < 0) return "invalid_coordinate";
    const code = cells[at];
    if (code === "--") return "no_card_there";
    if (code === "XX") return null;
    if (code[0] !== side) return "opponent_card_face_up";
    return code[1] === "F" ? "figure_needs_target" : null;
  }
  const from = cellAt(0);
  const to = cellAt(2);
  if (from < 0) return "invalid_source";
  if (to < 0) return "invalid_target";
  if (from === to) return "own_figure_target";
  const code = cells[from];
  if (code === "--" || code === "XX") return "source_not_face_up";
  if (code[0] !== side) return "figure_not_yours";
  if (code[1] !== "F") return "only_figures_target";
  return cells[to] === "--" ? "target_missing" : null;
}

// -- a room ---------------------------------------------------------------------------------

const view = {
  room: null,       // the room's identifier
  invite: null,     // the invite this page was opened with, until it takes the seat
  state: null,      // the last state the server sent
  shownCells: null, // the cells of the board drawn last, to mark what a move turned over
  last: null,       // the marks of the last move: {played: [cells], turned: [cells]}
  selected: null,   // the cell of the Figure lifted for a targeted move
  focus: "A1",      // the cell the keyboard is on
  pending: false,   // a move, start or takeback is on its way
  socket: null,
  retry: 500,
  replay: null,     // the room's replay, once read: {version, positions, first}
  viewing: null,    // the entry of the history whose position is shown instead, or null
};

function mySeat() {
  const seat = loadSeat(view.room);
  return seat ? seat.seat : null;
}

function myTurn() {
  const s = view.state;
  return s !== null && s.result === null && s.started && s.to_move !== null
    && s.to_move === mySeat() && !view.pending;
}

// Who a side is to this page: "you", "bot", "other" (the other person, to a player), or
// "side" (to someone watching).
function whoIs(side) {
  const seat = mySeat();
  if (seat === side) return "you";
  if (view.state && view.state.seats[side] === "bot") return "bot";
  return seat ? "other" : "side";
}

function buildBoard() {
  const board = $("board");
  for (let r = 0; r < 3; r++) {
    const row = document.createElement("div");
    row.setAttribute("role", "row");
    row.className = "board-row";
    for (const name of CELLS.slice(4 * r, 4 * r + 4)) {
      const cell = document.createElement("div");
      cell.setAttribute("role", "gridcell");
      cell.className = "cell empty";
      cell.tabIndex = name === view.focus ? 0 : -1;
      cell.dataset.cell = name;
      cell.dataset.card = "--";
      cell.addEventListener("click", () => { focusCell(name, false); clickCell(name); });
      row.append(cell);
    }
    board.append(row);
  }
  board.addEventListener("keydown", boardKey);
  // The keys go on from the cell that has the focus, however it got it.
  board.addEventListener("focusin", (event) => {
    const name = event.target.dataset && event.target.dataset.cell;
    if (name && name !== view.focus) focusCell(name, false);
  });
}

function cellNode(name) { return document.querySelector(`[data-cell="${name}"]`); }

function focusCell(name, move) {
  view.focus = name;
  for (const cell of document.querySelectorAll("[data-cell]")) {
    cell.tabIndex = cell.dataset.cell === name ? 0 : -1;
  }
  if (move) cellNode(name).focus();
}

// The arrow keys go from cell to cell, Home and End to the ends of a row; Enter and
// Space play the cell (or lift a Figure, or aim one).
function boardKey(event) {
  const at = CELLS.indexOf(view.focus);
  const row = Math.floor(at / 4);
  const col = at % 4;
  const moves = {
    ArrowLeft: [row, col - 1], ArrowRight: [row, col + 1],
    ArrowUp: [row - 1, col], ArrowDown: [row + 1, col],
    Home: [row, 0], End: [row, 3],
  };
  if (event.key in moves) {
    const [r, c] = moves[event.key];
    event.preventDefault();
    if (r >= 0 && r < 3 && c >= 0 && c < 4) focusCell(CELLS[4 * r + c], true);
  } else if (event.key === "Enter" || event.key === " ") {
    event.preventDefault();
    clickCell(view.focus);
  }
}

function drawCard(cell, code) {
  cell.dataset.card = code;
  cell.replaceChildren();
  cell.classList.remove("up", "down", "empty", "owner-a", "owner-b");
  if (code === "--") {
    cell.classList.add("empty");
  } else if (code === "XX") {
    cell.classList.add("down");
  } else {
    const owner = code[0];
    const figure = code[1] === "F";
    cell.classList.add("up", owner === "A" ? "owner-a" : "owner-b");
    const face = document.createElement("span");
    face.className = "face";
    const glyph = document.createElement("span");
    glyph.className = "glyph";
    glyph.textContent = figure ? "♛" : "◆";
    const kind = document.createElement("span");
    kind.className = "kind";
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

// What a screen reader says of a cell: where, what, and what it is to the player now.
function cellLabel(name, code, states) {
  let label;
  if (code === "--") label = t("cell_empty", { cell: name });
  else if (code === "XX") label = t("cell_down", { cell: name });
  else {
    label = t(`cell_${{ you: "mine", bot: "bot", other: "other", side: "side" }[whoIs(code[0])]}`,
      { cell: name, side: code[0], kind: t(code[1] === "F" ? "figure" : "normal") });
  }
  return [label, ...states.map((s) => t(s))].join(", ");
}

// The marks of the last move: the server's `last`, or, from a server that does not send
// it, the cells of the last move played and every other cell that changed since the
// board drawn before.
function lastMarks(state, before) {
  if (state.last !== undefined) return state.last;
  const entry = [...state.history].reverse().find((e) => e.move && !e.undone);
  if (!entry) return null;
  const played = [entry.move.slice(0, 2), entry.move.slice(2)].filter(Boolean);
  const turned = before === null ? [] : CELLS.filter(
    (name, i) => before[i] !== state.cells[i] && !played.includes(name));
  return { played, turned };
}

// The marks between two positions of the replay: `entry` took `before` to `after`.
function stepMarks(entry, before, after) {
  if (!entry || !entry.move) return null;
  const played = [entry.move.slice(0, 2), entry.move.slice(2)].filter(Boolean);
  return { played, turned: CELLS.filter((name, i) => before[i] !== after[i] && !played.includes(name)) };
}

const motionAllowed = () => window.matchMedia("(prefers-reduced-motion: no-preference)").matches;

function drawBoard(cells, marks, legal, animate) {
  const plain = new Set(legal.filter((m) => m.length === 2));
  const sources = new Set(legal.filter((m) => m.length === 4).map((m) => m.slice(0, 2)));
  if (view.selected !== null && !sources.has(view.selected)) view.selected = null;
  const targets = new Set(view.selected === null ? [] :
    legal.filter((m) => m.startsWith(view.selected) && m.length === 4).map((m) => m.slice(2)));
  const played = new Set(marks ? marks.played : []);
  const turned = new Set(marks ? marks.turned : []);
  const playing = legal.length > 0;
  cells.forEach((code, i) => {
    const name = CELLS[i];
    const cell = cellNode(name);
    if (cell.dataset.card !== code) drawCard(cell, code);
    const states = [];
    const legalHere = plain.has(name) || sources.has(name);
    cell.classList.toggle("legal", legalHere && view.selected === null);
    cell.classList.toggle("playable", playing);
    cell.classList.toggle("selected", name === view.selected);
    cell.classList.toggle("target", targets.has(name));
    if (legalHere && view.selected === null) states.push("is_legal");
    if (name === view.selected) states.push("is_lifted");
    if (targets.has(name)) states.push("is_target");
    const mark = played.has(name) ? "played" : turned.has(name) ? "turned" : null;
    if (mark === null) delete cell.dataset.last;
    else {
      cell.dataset.last = mark;
      states.push(mark === "played" ? "is_played" : "is_turned");
    }
    const kind = cell.querySelector(".kind");
    if (kind) kind.textContent = t(code[1] === "F" ? "figure" : "normal");
    cell.setAttribute("aria-label", cellLabel(name, code, states));
    if (animate && mark !== null && motionAllowed()) {
      cell.animate(mark === "played"
        ? [{ transform: "scale(0.9)" }, { transform: "scale(1.06)" }, { transform: "none" }]
        : [{ transform: "rotateY(90deg)" }, { transform: "none" }],
      { duration: 450, easing: "ease-out" });
    }
  });
}

function render(animate = false) {
  const s = view.state;
  if (s === null) return;
  const seat = mySeat();
  const viewing = view.viewing !== null && view.replay !== null;
  if (viewing) {
    const at = view.viewing;
    const { positions, first } = view.replay;
    const here = at - first;
    const marks = here === 0 ? null
      : stepMarks(positions[here].entry, positions[here - 1].cells, positions[here].cells);
    drawBoard(positions[here].cells, marks, [], false);
    $("replay-where").textContent = at === 0 ? t("replay_deal")
      : t("replay_where", { n: at, total: first + positions.length - 1 });
    document.querySelector('[data-action="replay-prev"]').disabled = here === 0;
    document.querySelector('[data-action="replay-next"]').disabled = here === positions.length - 1;
  } else {
    drawBoard(s.cells, view.last, myTurn() ? s.legal : [], animate);
  }
  $("replay-bar").hidden = !viewing;
  $("board").classList.toggle("replaying", viewing);

  // Whose turn, the bot, the result. A room waits for its start: the bot's first move
  // (started by the person playing it), or the second player.
  let turn;
  if (s.result !== null) turn = t("turn_over");
  else if (!s.started && s.mode === "bot") turn = t(seat ? "turn_look" : "turn_wait_start");
  else if (!s.started) turn = t("turn_wait_other");
  else turn = t(`turn_${{ you: "yours", bot: "bot", other: "other", side: "side" }[whoIs(s.to_move)]}`,
    { side: s.to_move });
  $("turn").textContent = turn;
  $("thinking").hidden = !s.thinking;
  $("start-panel").hidden = !(s.mode === "bot" && !s.started && seat && s.result === null);
  renderWaiting(s, seat);
  renderEnd(s, seat);
  $("left-a").textContent = s.cards_left.A;
  $("left-b").textContent = s.cards_left.B;

  // Seats, the link to send while the other seat is free, the free seat for the invited.
  const free = ["A", "B"].find((side) => s.seats[side] === "free");
  const held = loadSeat(view.room);
  $("room-title").textContent = s.mode === "bot"
    ? t("room_title_bot", { depth: s.depth }) : t("room_title_humans");
  $("seat-line").textContent = seat ? t("you_play", { seat }) : t("watching");
  $("share").hidden = !(free && held && held.invite);
  $("share-link").value = held && held.invite ? inviteLink(view.room, held.invite) : "";
  $("join").hidden = !(free && !seat && view.invite);
  $("join").textContent = free ? t("take_seat", { seat: free }) : "";
  const over = s.result !== null;
  $("move-form").hidden = !seat || over || !s.started;
  $("help").hidden = !seat || over;
  document.querySelector('[data-action="takeback"]').hidden = !canTakeBack(s, seat);
  renderHistory(s);
  document.title = t("room_page_title", { room: view.room });
}

function renderWaiting(s, seat) {
  const waiting = s.mode === "humans" && !s.started && s.result === null;
  $("waiting").hidden = !waiting;
  if (waiting) {
    const held = loadSeat(view.room);
    $("waiting-text").textContent = t(held && held.invite ? "waiting_creator"
      : !seat && view.invite ? "waiting_invited" : "waiting_watcher");
  }
}

// The result as the player sees it: won, lost or drawn, and why.
function resultText(s) {
  const outcome = s.outcome;
  if (!outcome) return s.result;
  const winner = outcome.winner;
  const seat = mySeat();
  let headline;
  if (winner === null) headline = t("draw");
  else if (seat) headline = t(winner === seat ? "you_win" : "you_lose");
  else headline = t("side_wins", { side: winner });
  let why;
  if (outcome.reason === "no_cards" && winner !== null) {
    const loser = winner === "A" ? "B" : "A";
    why = t(`no_cards_${{ you: "you", bot: "bot", other: "other", side: "side" }[whoIs(loser)]}`,
      { side: loser });
  } else if (outcome.reason in TEXTS.en) {
    why = t(outcome.reason);
  } else {
    why = serverText(outcome.reason, outcome.reason);
  }
  return t("result_line", { headline, why });
}

function renderEnd(s, seat) {
  const over = s.result !== null;
  $("end").hidden = !over;
  $("result").hidden = !over;
  $("result").textContent = over ? resultText(s) : "";
  const button = document.querySelector('[data-action="new-game"]');
  const offer = s.rematch || null;
  const heldThere = offer ? loadSeat(offer) : null;
  // Against the bot, a new game for the player; between people, the rematch.
  button.hidden = !(over && seat);
  if (s.mode === "bot") button.textContent = t("new_game");
  else button.textContent = t(!offer ? "rematch" : heldThere ? "rematch_go" : "rematch_accept");
  $("rematch-note").hidden = !(over && seat && offer && !heldThere);
  $("rematch-note").textContent = t("rematch_offered");
  $("rematch-link").hidden = !(over && !seat && offer);
  $("rematch-link").textContent = t("rematch_watch");
  if (offer) $("rematch-link").href = roomPage(offer);
}

function canTakeBack(s, seat) {
  if (s.mode !== "bot" || !seat || s.thinking) return false;
  if (s.result === null && s.to_move !== seat) return false;
  return s.history.some((e) => e.by === "human" && !e.undone);
}

function renderHistory(s) {
  const list = $("history");
  list.replaceChildren();
  $("no-moves").hidden = s.history.length > 0;
  s.history.forEach((entry, i) => {
    const item = document.createElement("li");
    const who = whoIs(entry.side);
    item.dataset.side = entry.side;
    item.dataset.by = who;
    if (entry.by === "bot") item.classList.add("bot");
    if (entry.undone) item.classList.add("undone");
    const button = document.createElement("button");
    button.type = "button";
    button.className = `entry side-${entry.side.toLowerCase()}`;
    const name = who === "side" ? entry.side : t(`who_${who}`);
    const what = entry.move === null ? t("passes") : entry.move;
    const named = document.createElement("span");
    named.className = "who";
    named.textContent = name;
    const played = document.createElement("span");
    played.className = "what";
    played.textContent = what;
    button.append(named, " ", played);
    // A move taken back is struck through and marked ↶; its name says so in words.
    if (entry.undone) {
      const mark = document.createElement("span");
      mark.className = "undone-mark";
      mark.textContent = "↶";
      button.append(" ", mark);
    }
    const said = entry.undone ? `${what} (${t("undone")})` : what;
    button.setAttribute("aria-label", t("entry_label", { who: name, what: said, n: i + 1 }));
    button.title = said;
    button.setAttribute("aria-current", String(view.viewing === i + 1));
    button.addEventListener("click", () => showReplay(i + 1));
    item.append(button);
    list.append(item);
  });
  if (view.viewing === null) list.scrollTop = list.scrollHeight;
}

function say(text, info) {
  const message = $("message");
  message.textContent = text;
  message.classList.toggle("info", Boolean(info));
}

function announce(text) {
  $("announce").textContent = text;
}

// What a new state says, for a screen reader: the moves since the one before, and the end.
function announcement(before, s) {
  if (before === null) return "";
  const lines = [];
  if (s.history.length < before.history.length
      || s.history.filter((e) => e.undone).length > before.history.filter((e) => e.undone).length) {
    lines.push(t("taken_back"));
  }
  for (const entry of s.history.slice(before.history.length)) {
    const who = whoIs(entry.side);
    lines.push(entry.move === null ? t(`said_pass_${who}`, { side: entry.side })
      : t(`said_${who}`, { side: entry.side, move: entry.move }));
  }
  if (s.result !== null && before.result === null) lines.push(resultText(s));
  else if (s.result === null && s.to_move !== before.to_move && s.to_move === mySeat()) {
    lines.push(t("turn_yours", { side: s.to_move }));
  }
  return lines.join(" ");
}

// A state from the server (a push, or the answer to a request), unless a newer one came
// already: the marks of its last move, the old message gone once the game moved on.
function receive(state) {
  const before = view.state;
  if (before !== null && state.version <= before.version) return;
  const marked = JSON.stringify(view.last);
  view.state = state;
  view.last = lastMarks(state, view.shownCells);
  view.shownCells = state.cells;
  if (before !== null && (before.history.length !== state.history.length
      || before.to_move !== state.to_move || before.result !== state.result)) {
    say("");
  }
  const said = announcement(before, state);
  if (said) announce(said);
  // The marks move only when they changed: not for a state that only, say, started.
  render(before !== null && JSON.stringify(view.last) !== marked);
}

// A POST whose answer is the room's state; no other is sent meanwhile, and the room is
// drawn again once the request is over (so that the player may move again).
async function request(path, body) {
  view.pending = true;
  let answer;
  try {
    answer = await api("POST", path, body);
  } finally {
    view.pending = false;
  }
  // The push of this very state may have come first, and been drawn while the request
  // was still on its way: drawn again either way.
  if (answer && answer.cells) receive(answer);
  render();
  return answer;
}

async function act(path, body) {
  try {
    await request(path, body);
    return true;
  } catch (error) {
    if (error.status === 404) return showMissing();
    say(refusalText(error));
    render();
    return false;
  }
}

async function startGame() {
  const seat = loadSeat(view.room);
  if (!seat || view.pending) return;
  await act(`${roomPath(view.room)}/start`, { token: seat.token });
}

async function takeBack() {
  const seat = loadSeat(view.room);
  if (!seat || view.pending) return;
  view.selected = null;
  if (await act(`${roomPath(view.room)}/takeback`, { token: seat.token })) say(t("taken_back"), true);
}

// Against the bot: a new room, same side and depth. Between people: the rematch, in a
// new room where the sides swap.
async function newGame() {
  const s = view.state;
  const seat = loadSeat(view.room);
  if (!seat || s === null || view.pending) return;
  if (s.mode !== "bot" && s.rematch && loadSeat(s.rematch)) {
    location.assign(roomPage(s.rematch));
    return;
  }
  try {
    view.pending = true;
    const made = s.mode === "bot"
      ? await api("POST", "/api/rooms", { mode: "bot", side: seat.seat, depth: s.depth })
      : await api("POST", `${roomPath(view.room)}/rematch`, { token: seat.token });
    saveSeat(made.room, made.seat, made.token, made.invite);
    location.assign(roomPage(made.room));
  } catch (error) {
    say(refusalText(error));
  } finally {
    view.pending = false;
  }
}

// Why this page may not send `move` now, or null: whatever the page knows to be refused
// it says at once, without asking the server.
function refusalHere(move) {
  const s = view.state;
  const seat = mySeat();
  if (!seat) return t("watch_only");
  if (s.result !== null) return t("game_is_over");
  if (!s.started) return t(s.mode === "bot" ? "press_start" : "wait_for_other");
  if (s.to_move !== seat || view.pending) return t("not_your_turn");
  if (s.legal.includes(move)) return null;
  return serverText(refusalOf(move, s.cells, seat), t("illegal"));
}

async function sendMove(move) {
  const refused = refusalHere(move);
  if (refused !== null) {
    say(refused, !mySeat());
    render();
    return;
  }
  view.selected = null;
  say("");
  await act(`${roomPath(view.room)}/moves`, { move, token: loadSeat(view.room).token });
}

function clickCell(name) {
  if (view.state === null || view.viewing !== null) return;
  if (view.selected !== null) {
    const from = view.selected;
    if (from === name) { view.selected = null; say(""); render(); return; }
    sendMove(from + name);
    return;
  }
  const code = view.state.cells[CELLS.indexOf(name)];
  const lifts = myTurn() && code[1] === "F"
    && view.state.legal.some((m) => m.length === 4 && m.startsWith(name));
  if (lifts) {
    view.selected = name;
    say(t("figure_picked", { cell: name }), true);
    render();
    return;
  }
  sendMove(name);
}

// -- the replay ------------------------------------------------------------------------------

// Shows the board after the `at`-th entry of the history (0: the deal). The replay's
// positions are the deal and the position after each entry, except for a room kept from
// before positions were: its replay starts from the first position kept, `first`.
async function showReplay(at) {
  const s = view.state;
  if (view.replay === null || view.replay.version !== s.version) {
    try {
      const replay = await api("GET", `${roomPath(view.room)}/replay`);
      const positions = replay.positions;
      const first = positions[0].entry === null ? 0
        : Math.max(0, s.history.length + 1 - positions.length);
      view.replay = { version: replay.version, positions, first };
    } catch (error) {
      say(refusalText(error));
      return;
    }
  }
  const { positions, first } = view.replay;
  view.selected = null;
  view.viewing = Math.max(first, Math.min(at, first + positions.length - 1));
  render();
}

function leaveReplay() {
  view.viewing = null;
  render();
}

// -- following the room -------------------------------------------------------------------

function follow() {
  const scheme = location.protocol === "https:" ? "wss" : "ws";
  const socket = new WebSocket(`${scheme}://${location.host}${roomPath(view.room)}/ws`);
  view.socket = socket;
  socket.addEventListener("open", async () => {
    view.retry = 500;
    if (connection(true)) {
      announce(t("connection_back"));
      // Back after a loss: read the room again, whatever the socket brings.
      try { receive(await api("GET", roomPath(view.room))); } catch (error) {
        if (error.status === 404) showMissing();
      }
    }
  });
  socket.addEventListener("message", (event) => receive(JSON.parse(event.data)));
  socket.addEventListener("close", () => {
    if (view.socket !== socket) return;
    connection(false);
    // Tries again after a while that doubles up to 8 s, spread so that the clients of
    // a restarted server do not all come back at once.
    setTimeout(follow, view.retry * (0.75 + Math.random() / 2));
    view.retry = Math.min(view.retry * 2, 8000);
  });
}

function showMissing() {
  $("room").hidden = true;
  $("missing").hidden = false;
  $("missing-text").textContent = t("missing_text", { room: view.room });
  document.title = t("missing_page_title");
  onLanguage = () => {
    $("missing-text").textContent = t("missing_text", { room: view.room });
    document.title = t("missing_page_title");
  };
  if (view.socket) {
    const socket = view.socket;
    view.socket = null;
    socket.close();
  }
  return false;
}

async function showRoom(room) {
  view.room = room;
  view.invite = inviteInAddress();
  // A browser holding a seat here has no use for an invite: its own link, opened again.
  if (view.invite !== null && loadSeat(room)) { view.invite = null; forgetAddressInvite(); }
  applyTexts();
  let state = null;
  for (let wait = 500; state === null; wait = Math.min(wait * 2, 8000)) {
    try {
      state = await api("GET", roomPath(room));
    } catch (error) {
      if (error.status !== 0) { showMissing(); return; }
      await new Promise((resolve) => setTimeout(resolve, wait));
    }
  }
  connection(true);
  placeRules($("room").querySelector(".side-panel"));
  applyTexts();
  $("room").hidden = false;
  buildBoard();
  receive(state);
  onLanguage = () => render();
  follow();
  $("move-form").addEventListener("submit", (event) => {
    event.preventDefault();
    const input = $("move-input");
    const move = input.value.trim().toUpperCase();
    input.value = "";
    if (move) { view.selected = null; sendMove(move); }
  });
  const on = (action, handler) => document.querySelector(`[data-action="${action}"]`)
    .addEventListener("click", handler);
  on("start", startGame);
  on("takeback", takeBack);
  on("new-game", newGame);
  on("replay", () => showReplay(0));
  on("replay-prev", () => showReplay(view.viewing - 1));
  on("replay-next", () => showReplay(view.viewing + 1));
  on("replay-exit", leaveReplay);
  $("join").addEventListener("click", async () => {
    try {
      const joined = await api("POST", `${roomPath(room)}/join`, { invite: view.invite });
      saveSeat(room, joined.seat, joined.token);
      view.invite = null;
      forgetAddressInvite();
      say(t("took_seat", { seat: joined.seat }), true);
      receive(await api("GET", roomPath(room)));
      render();
    } catch (error) {
      say(refusalText(error));
    }
  });
  $("copy-link").addEventListener("click", async () => {
    $("share-link").select();
    try { await navigator.clipboard.writeText($("share-link").value); say(t("copied"), true); }
    catch (e) { document.execCommand("copy"); }
  });
  // Typing a move anywhere on the page goes to the move box; Escape puts a lifted Figure
  // down, or leaves the replay.
  document.addEventListener("keydown", (event) => {
    const input = $("move-input");
    if (event.target instanceof HTMLInputElement || event.ctrlKey || event.metaKey || event.altKey) return;
    if (/^[a-cA-C1-4]$/.test(event.key) && !$("move-form").hidden) input.focus();
    if (event.key === "Escape" && view.selected !== null) { view.selected = null; say(""); render(); }
    else if (event.key === "Escape" && view.viewing !== null) leaveReplay();
  });
  if (!$("move-form").hidden) $("move-input").focus();
}

// -- the page ---------------------------------------------------------------------------------

for (const button of document.querySelectorAll("[data-lang]")) {
  button.addEventListener("click", () => setLanguage(button.dataset.lang));
}
applyTexts();
const textsRead = loadServerTexts();
const inRoom = location.pathname.match(/^\/rooms\/([^/]+)$/);
textsRead.then(() => {
  if (inRoom) showRoom(decodeURIComponent(inRoom[1])); else showLobby();
});
