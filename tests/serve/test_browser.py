"""The page in a real browser: Debian's headless Chromium, driven by Playwright, on a real
varno-serve process. Whole games by clicks and by the keyboard, two players and a watcher,
both languages, phones, accessibility (axe-core, through axe-playwright-python), a lost
connection and an unknown room. Screenshots go to build/screenshots/."""

from __future__ import annotations

import re
import shutil
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import pytest
from serve_helpers import ServerProcess

sync_api = pytest.importorskip("playwright.sync_api")
axe_playwright = pytest.importorskip("axe_playwright_python.sync_playwright")

CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
SCREENSHOTS = Path(__file__).resolve().parents[2] / "build" / "screenshots"
DESKTOP = {"width": 1180, "height": 820}
PHONES = [{"width": 390, "height": 844}, {"width": 360, "height": 640}]
# A game is at most 300 moves, half of them clicked here.
MAX_TURNS = 200
CELLS = [f"{row}{col}" for row in "ABC" for col in "1234"]
AXE = axe_playwright.Axe()
# Counts the animations the page starts (window.animated).
COUNT_ANIMATIONS = """
window.animated = 0;
const animate = Element.prototype.animate;
Element.prototype.animate = function (...args) { window.animated++; return animate.apply(this, args); };
"""

Page = Any  # sync_api.Page: the module is imported only where Playwright is installed
Json = dict[str, Any]


@pytest.fixture(scope="module")
def browser() -> Iterator[Any]:
    if not Path(CHROMIUM).exists():
        pytest.skip("Debian's chromium is not installed (make test-serve installs it)")
    with sync_api.sync_playwright() as driver:
        launched = driver.chromium.launch(executable_path=CHROMIUM, headless=True)
        yield launched
        launched.close()


class Browsers:
    """Pages on one server, each in a browser context of its own (its own storage, so its
    own seats), with the page's language, window and motion as a person's browser would
    set them. No page may throw."""

    def __init__(self, browser: Any, url: str) -> None:
        self.browser = browser
        self.url = url
        self.contexts: list[Any] = []
        self.errors: list[str] = []

    def open(self, path: str = "/", *, locale: str = "en-GB", viewport: dict[str, int] = DESKTOP,
             reduced_motion: str = "no-preference") -> Page:
        context = self.browser.new_context(base_url=self.url, locale=locale, viewport=viewport,
                                           reduced_motion=reduced_motion)
        context.set_default_timeout(20_000)
        self.contexts.append(context)
        page = context.new_page()
        page.on("pageerror", lambda error: self.errors.append(str(error)))
        page.goto(path)
        return page

    def close(self) -> None:
        for context in self.contexts:
            context.close()


def serve(browser: Any, db: Path, **options: Any) -> Iterator[tuple[ServerProcess, Browsers]]:
    server = ServerProcess(db, **options)
    pages = Browsers(browser, server.url)
    try:
        yield server, pages
    finally:
        pages.close()
        server.stop()
    assert pages.errors == []


@pytest.fixture
def people(browser: Any, tmp_path: Path) -> Iterator[Browsers]:
    """A server with the default limits, as people meet it."""
    for _, pages in serve(browser, tmp_path / "rooms.db", limits={}):
        yield pages


@pytest.fixture
def scripted(browser: Any, tmp_path: Path) -> Iterator[Browsers]:
    """A server without limits to speak of, for tests that also play through the API."""
    for _, pages in serve(browser, tmp_path / "rooms.db"):
        yield pages


# -- what the page shows ---------------------------------------------------------------------

def cards(page: Page) -> list[str]:
    found: list[str] = page.eval_on_selector_all(
        "[data-cell]", "cells => cells.map(c => c.dataset.card)")
    return found


def marks(page: Page) -> dict[str, str]:
    found: dict[str, str] = page.eval_on_selector_all(
        "[data-last]", "cells => Object.fromEntries(cells.map(c => [c.dataset.cell, c.dataset.last]))")
    return found


def history_length(page: Page) -> int:
    return int(page.locator("#history li").count())


def room_of(page: Page) -> str:
    return page.url.rsplit("/", 1)[1].partition("#")[0]


def api_state(page: Page, room: str | None = None) -> Json:
    answer: Json = page.request.get(f"/api/rooms/{room or room_of(page)}").json()
    return answer


def seat_of(page: Page, room: str | None = None) -> Json:
    held: Json = page.evaluate("r => JSON.parse(localStorage.getItem('varno-seat:' + r))",
                               room or room_of(page))
    return held


def texts(page: Page) -> Json:
    found: Json = page.request.get("/api/texts").json()["texts"]
    return found


def wait_for_my_turn_or_the_end(page: Page) -> bool:
    """True when it is the page's move, False when the game is over."""
    page.wait_for_function(
        "() => !document.getElementById('result').hidden"
        " || (document.querySelector('.cell.legal') !== null"
        "     && document.getElementById('thinking').hidden)")
    return bool(page.locator("#result").is_hidden())


def click_a_move(page: Page) -> None:
    """Clicks a legal move: a highlighted card, and a target if it is a Figure."""
    before = history_length(page)
    plain = page.locator('.cell.legal:is([data-card$="N"], [data-card="XX"])')
    if plain.count():
        plain.first.click()
    else:
        page.locator(".cell.legal").first.click()
        sync_api.expect(page.locator(".cell.selected")).to_have_count(1)
        page.locator(".cell.target").first.click()
    page.wait_for_function(f"() => document.querySelectorAll('#history li').length > {before}")


def posts_of(page: Page) -> list[str]:
    """The POSTs the page sends from now on."""
    sent: list[str] = []
    page.on("request", lambda request: sent.append(request.url)
            if request.method == "POST" else None)
    return sent


def set_depth(page: Page, depth: int) -> None:
    page.eval_on_selector(
        "#depth", f"d => {{ d.value = '{depth}'; d.dispatchEvent(new Event('input')); }}")


def switch_language(page: Page, lang: str) -> None:
    page.click(f'[data-lang="{lang}"]')
    sync_api.expect(page.locator("html")).to_have_attribute("lang", lang)


def assert_accessible(page: Page, where: str) -> None:
    """axe-core finds nothing critical or serious on the page as it is now."""
    results = AXE.run(page)
    bad = [v for v in results.response["violations"] if v["impact"] in ("critical", "serious")]
    assert not bad, f"{where}: " + "\n".join(
        f"{v['id']} ({v['impact']}): {[n['target'] for n in v['nodes']]}" for v in bad)


def assert_accessible_in_both(page: Page, where: str) -> None:
    first = page.eval_on_selector("html", "h => h.lang")
    for lang in ("pt", "en") if first == "en" else ("en", "pt"):
        switch_language(page, lang)
        assert_accessible(page, f"{where} ({lang})")
    switch_language(page, first)


def screenshot(page: Page, name: str) -> None:
    page.wait_for_function("() => document.getAnimations().length === 0")
    SCREENSHOTS.mkdir(parents=True, exist_ok=True)
    page.screenshot(path=str(SCREENSHOTS / f"{name}.png"), full_page=True)


# -- playing through the API -----------------------------------------------------------------

def post(page: Page, path: str, body: Json) -> Json:
    response = page.request.post(path, data=body)
    assert response.ok, response.text()
    answer: Json = response.json()
    return answer


def finish_between_people(page: Page, room: str, tokens: dict[str, str]) -> Json:
    """Plays the room for two to its end through the API, taking face-down cards off the
    grid whenever one is there: the state at the end."""
    state = api_state(page, room)
    for _ in range(400):
        if state["result"] is not None:
            return state
        down = [m for m in state["legal"] if len(m) == 2 and state["cells"][CELLS.index(m)] == "XX"]
        move = (down or state["legal"])[0]
        state = post(page, f"/api/rooms/{room}/moves",
                     {"move": move, "token": tokens[state["to_move"]]})
    raise AssertionError("the game did not end")


def seat_page(page: Page, room: str, seat: Json) -> None:
    """Gives the page's browser the seat (as if it had taken it) and opens the room."""
    page.evaluate("([r, s]) => localStorage.setItem('varno-seat:' + r, JSON.stringify(s))",
                  [room, seat])
    page.goto(f"/rooms/{room}")


# -- the tests ---------------------------------------------------------------------------------

def test_the_lobby_speaks_the_browsers_language_and_remembers_the_switch(
        people: Browsers) -> None:
    page = people.open(locale="pt-PT")
    sync_api.expect(page.locator("#lobby")).to_be_visible()
    sync_api.expect(page.locator("html")).to_have_attribute("lang", "pt")
    sync_api.expect(page.get_by_role("heading", name="Jogar contra o bot")).to_be_visible()
    sync_api.expect(page.locator('[data-lang="pt"]')).to_have_attribute("aria-pressed", "true")
    # The depths are the server's; the words say what a depth means, as it moves.
    assert page.eval_on_selector("#depth", "d => [d.min, d.max, d.value]") == ["1", "12", "8"]
    sync_api.expect(page.locator("#depth-shown")).to_have_text("8")
    set_depth(page, 1)
    sync_api.expect(page.locator("#depth-words")).to_contain_text("Principiante")
    set_depth(page, 12)
    sync_api.expect(page.locator("#depth-words")).to_contain_text("Perito")
    # The rules, at hand.
    rules = page.locator('[data-panel="rules"]')
    rules.locator("summary").click()
    sync_api.expect(rules).to_contain_text("Figuras")
    assert_accessible_in_both(page, "the lobby")

    switch_language(page, "en")
    sync_api.expect(page.get_by_role("heading", name="Play against the bot")).to_be_visible()
    sync_api.expect(page.locator("#depth-words")).to_contain_text("Expert")
    sync_api.expect(rules).to_contain_text("Figures")
    page.reload()
    sync_api.expect(page.locator("html")).to_have_attribute("lang", "en")
    sync_api.expect(page.get_by_role("button", name="New room for two")).to_be_visible()
    screenshot(page, "lobby")
    # Another browser, set to English, is spoken to in English.
    other = people.open(locale="en-US")
    sync_api.expect(other.get_by_role("button", name="New game")).to_be_visible()
    sync_api.expect(other.locator("html")).to_have_attribute("lang", "en")


def test_a_game_against_the_bot_by_clicking(people: Browsers) -> None:
    page = people.open()
    page.add_init_script(COUNT_ANIMATIONS)
    set_depth(page, 2)
    page.get_by_role("button", name="New game").click()
    page.wait_for_url("**/rooms/*")
    sync_api.expect(page.locator("#turn")).to_have_text("Your move (A)")
    start = cards(page)
    assert all(c in ("AN", "AF", "BN", "BF") for c in start)
    assert page.locator(".cell.legal").count() == 4 + 2  # A's Normals and Figures
    assert marks(page) == {}
    english = texts(page)["en"]

    # What the page knows to be illegal goes nowhere, and is said at once, in English.
    sent = posts_of(page)
    theirs = CELLS[next(i for i, c in enumerate(start) if c[0] == "B")]
    page.click(f'[data-cell="{theirs}"]')
    sync_api.expect(page.locator("#message")).to_have_text(english["opponent_card_face_up"])
    page.fill("#move-input", "a1a1")
    page.press("#move-input", "Enter")
    sync_api.expect(page.locator("#message")).to_have_text(english["own_figure_target"])
    page.fill("#move-input", "d9")
    page.press("#move-input", "Enter")
    sync_api.expect(page.locator("#message")).to_have_text(english["invalid_coordinate"])
    assert sent == [] and cards(page) == start and history_length(page) == 0

    # A targeted move by clicking: the Figure, then the card it turns over; then the
    # bot's answer, and its marks on the board.
    figure = CELLS[start.index("AF")]
    page.click(f'[data-cell="{figure}"]')
    sync_api.expect(page.locator(f'[data-cell="{figure}"]')).to_have_class(re.compile("selected"))
    sync_api.expect(page.locator(".cell.target")).to_have_count(11)
    page.click(f'[data-cell="{theirs}"]')
    sync_api.expect(page.locator("#history li").first).to_have_text(f"You {figure}{theirs}")
    assert wait_for_my_turn_or_the_end(page)
    sync_api.expect(page.locator("#message")).to_have_text("")
    sync_api.expect(page.locator('#history li[data-by="bot"]').first).to_contain_text("Bot ")
    # Told to screen readers, in the live region.
    sync_api.expect(page.locator("#announce")).to_contain_text("The bot played ")
    state = api_state(page)
    assert marks(page) == {**{c: "turned" for c in state["last"]["turned"]},
                           **{c: "played" for c in state["last"]["played"]}}
    assert state["last"]["played"][0] == state["history"][-1]["move"][:2]
    assert page.evaluate("window.animated") > 0  # motion allowed here
    assert_accessible_in_both(page, "a room in play")
    screenshot(page, "game-in-progress")

    # Takeback: the person's move and the bot's answer, undone and kept in the record.
    page.click('[data-action="takeback"]')
    sync_api.expect(page.locator("#history li.undone")).to_have_count(2)
    assert cards(page) == start
    sync_api.expect(page.locator("#turn")).to_have_text("Your move (A)")
    assert api_state(page)["cells"] == start

    # The keyboard: the arrow keys go to a cell, Space lifts a Figure and Escape puts it
    # down, Enter plays.
    def go_to(cell: str) -> None:
        page.focus('[data-cell="A1"]')
        row, col = divmod(CELLS.index(cell), 4)
        for key in ["ArrowDown"] * row + ["ArrowRight"] * col:
            page.keyboard.press(key)
        assert page.evaluate("document.activeElement.dataset.cell") == cell

    go_to(figure)
    page.keyboard.press("Space")
    sync_api.expect(page.locator(".cell.selected")).to_have_count(1)
    page.keyboard.press("Escape")
    sync_api.expect(page.locator(".cell.selected")).to_have_count(0)
    normal = CELLS[start.index("AN")]
    go_to(normal)
    page.keyboard.press("Enter")
    sync_api.expect(page.locator("#history li:not(.undone)").first).to_have_text(f"You {normal}")

    # A move typed at the keyboard, wherever the focus is.
    assert wait_for_my_turn_or_the_end(page)
    legal = api_state(page)["legal"]
    before = history_length(page)
    page.click("header .tagline")
    page.keyboard.type(legal[0].lower())
    sync_api.expect(page.locator("#move-input")).to_have_value(legal[0].lower())
    page.keyboard.press("Enter")
    page.wait_for_function(f"() => document.querySelectorAll('#history li').length > {before}")
    sync_api.expect(page.locator("#history li").nth(before)).to_have_text(f"You {legal[0]}")

    # Reload: the same game, and this page still holds seat A.
    assert wait_for_my_turn_or_the_end(page)
    shown, moves = cards(page), page.locator("#history li").all_text_contents()
    page.reload()
    sync_api.expect(page.locator("#turn")).to_have_text("Your move (A)")
    assert cards(page) == shown
    assert page.locator("#history li").all_text_contents() == moves

    turned_shown = False
    for _ in range(MAX_TURNS):
        if not wait_for_my_turn_or_the_end(page):
            break
        if not turned_shown and "turned" in marks(page).values():
            screenshot(page, "game-in-progress")  # the last move's marks, both kinds
            turned_shown = True
        click_a_move(page)
    else:
        pytest.fail("the game did not end")
    state = api_state(page)
    outcome = state["outcome"]
    headline = "Draw" if outcome["winner"] is None else \
        "You win" if outcome["winner"] == "A" else "You lose"
    sync_api.expect(page.locator("#result")).to_contain_text(headline + ": ")
    sync_api.expect(page.locator("#turn")).to_have_text("Game over")
    assert page.locator(".cell.legal").count() == 0
    assert page.locator("#help").is_hidden() and page.locator("#move-form").is_hidden()
    screenshot(page, "the-end")
    assert_accessible_in_both(page, "a finished room")

    # The replay: each entry of the history shows the board after it.
    replay = page.request.get(f"/api/rooms/{room_of(page)}/replay").json()["positions"]
    page.locator("#history li button").first.click()
    sync_api.expect(page.locator("#replay-bar")).to_be_visible()
    assert cards(page) == replay[1]["cells"]
    page.click('[data-action="replay-next"]')
    assert cards(page) == replay[2]["cells"]
    page.click('[data-action="replay-exit"]')
    assert cards(page) == state["cells"]

    # New game: the same side and depth, a new deal.
    old = room_of(page)
    page.click('[data-action="new-game"]')
    page.wait_for_url(lambda url: old not in url)
    sync_api.expect(page.locator("#turn")).to_have_text("Your move (A)")
    sync_api.expect(page.locator("#room-title")).to_have_text("Against the bot (depth 2)")
    assert history_length(page) == 0


def test_as_b_the_deal_is_shown_until_start(people: Browsers) -> None:
    page = people.open(locale="pt-PT", reduced_motion="reduce")
    page.add_init_script(COUNT_ANIMATIONS)
    page.check('input[name="side"][value="B"]')
    set_depth(page, 2)
    page.get_by_role("button", name="Novo jogo").click()
    page.wait_for_url("**/rooms/*")
    # The deal, face up, with nothing played: the bot waits for Start.
    start = page.locator('[data-action="start"]')
    sync_api.expect(start).to_be_visible()
    sync_api.expect(page.locator("#turn")).to_have_text("Observa as cartas")
    deal = cards(page)
    assert all(c in ("AN", "AF", "BN", "BF") for c in deal)
    assert history_length(page) == 0 and page.locator("#thinking").is_hidden()
    page.wait_for_timeout(500)
    assert cards(page) == deal and history_length(page) == 0
    # No move before the start, and none sent.
    sent = posts_of(page)
    page.click(f'[data-cell="{CELLS[deal.index("BN")]}"]')
    sync_api.expect(page.locator("#message")).to_have_text("Carrega primeiro em Começar.")
    assert sent == []

    # A watcher sees the same deal, and that the player has to start.
    watcher = people.open(page.url)
    sync_api.expect(watcher.locator("#turn")).to_have_text("Waiting for the player to start")
    assert watcher.locator("#start-panel").is_hidden() and cards(watcher) == deal

    start.click()
    sync_api.expect(page.locator('#history li[data-by="bot"]')).to_have_count(1)
    sync_api.expect(page.locator("#start-panel")).to_be_hidden()
    sync_api.expect(page.locator("#message")).to_have_text("")  # the old refusal is gone
    sync_api.expect(page.locator("#history li").first).to_contain_text("Bot ")
    assert wait_for_my_turn_or_the_end(page)
    sync_api.expect(page.locator("#turn")).to_have_text("A tua vez (B)")
    # The watcher is pushed the bot's move; the person answers it.
    sync_api.expect(watcher.locator('#history li[data-side="A"]')).to_have_count(1)
    click_a_move(page)
    sync_api.expect(page.locator("#history li").nth(1)).to_contain_text("Tu ")
    # Where the player asks for no motion, nothing moves: no animation, no spinning.
    assert page.evaluate("window.animated") == 0
    assert page.eval_on_selector(".spinner", "s => getComputedStyle(s).animationName") == "none"
    # A refusal of the rules in Portuguese, said by the page.
    if wait_for_my_turn_or_the_end(page):
        shown = cards(page)
        theirs = next((CELLS[i] for i, c in enumerate(shown) if c in ("AN", "AF")), None)
        if theirs is not None:
            page.click(f'[data-cell="{theirs}"]')
            sync_api.expect(page.locator("#message")).to_have_text(
                texts(page)["pt"]["opponent_card_face_up"])


def test_two_players_by_invite_a_watcher_and_a_rematch(scripted: Browsers) -> None:
    page = scripted.open()
    page.context.grant_permissions(["clipboard-read", "clipboard-write"])
    page.get_by_role("button", name="New room for two").click()
    page.wait_for_url("**/rooms/*")
    room_url = page.url
    room = room_of(page)
    # Until the other seat is taken: waiting, with the link to send, which carries the
    # invite in its fragment, which no request carries.
    sync_api.expect(page.locator("#turn")).to_have_text("Waiting for the other player")
    sync_api.expect(page.locator("#waiting")).to_contain_text("send them the link")
    sync_api.expect(page.locator("#share")).to_be_visible()
    link = page.locator("#share-link").input_value()
    assert re.fullmatch(re.escape(room_url) + r"#invite=[A-Za-z0-9_-]{20,}", link), link
    page.get_by_role("button", name="Copy").click()
    sync_api.expect(page.locator("#message")).to_have_text("Link copied.")
    assert page.evaluate("navigator.clipboard.readText()") == link
    page.reload()
    sync_api.expect(page.locator("#share")).to_be_visible()
    assert page.locator("#share-link").input_value() == link

    # Someone with the room's address but not the invite watches, and nothing more.
    stranger = scripted.open(room_url)
    sync_api.expect(stranger.locator("#seat-line")).to_have_text("You are watching this room.")
    sync_api.expect(stranger.locator("#join")).to_be_hidden()
    stranger.click('[data-cell="A1"]')
    sync_api.expect(stranger.locator("#message")).to_contain_text("only its players can move")

    # The invited friend, in Portuguese.
    other = scripted.open("/", locale="pt-PT", reduced_motion="reduce")
    requests: list[str] = []
    other.on("request", lambda request: requests.append(
        request.url + " " + (request.headers.get("referer") or "")))
    other.goto(link)
    sync_api.expect(other.locator("#seat-line")).to_have_text("Estás a ver esta sala.")
    sync_api.expect(other.locator("#waiting")).to_contain_text("Ocupa o lugar livre")
    start = cards(other)
    other.get_by_role("button", name="Ocupar o lugar B").click()
    sync_api.expect(other.locator("#seat-line")).to_have_text("Jogas com B.")
    # The invite has left the address bar; it went in the join's body, never in an
    # address or a Referer.
    assert other.url == room_url
    invite = link.partition("#invite=")[2]
    assert requests and not any(invite in seen for seen in requests)
    sync_api.expect(page.locator("#share")).to_be_hidden()   # the seat is taken now
    sync_api.expect(page.locator("#waiting")).to_be_hidden()
    sync_api.expect(stranger.locator("#join")).to_be_hidden()

    # A moves in the first browser; the second sees it pushed, marked, and answers.
    click_a_move(page)
    sync_api.expect(other.locator("#turn")).to_have_text("A tua vez (B)")
    assert cards(other) != start and "played" in marks(other).values()
    sync_api.expect(other.locator("#history li").first).to_contain_text("Adversário ")
    click_a_move(other)
    sync_api.expect(page.locator("#turn")).to_have_text("Your move (A)")
    assert cards(page) == cards(other) and marks(page) == marks(other)
    sync_api.expect(page.locator('[data-action="takeback"]')).to_be_hidden()  # not for two
    other.reload()
    sync_api.expect(other.locator("#seat-line")).to_have_text("Jogas com B.")

    # To the end, through the API: each player is told how it went, the watcher too.
    tokens = {"A": seat_of(page)["token"], "B": seat_of(other)["token"]}
    end = finish_between_people(page, room, tokens)
    winner = end["outcome"]["winner"]
    mine = {"A": "You win" if winner == "A" else "You lose",
            "B": "Ganhaste" if winner == "B" else "Perdeste"}
    if winner is None:
        mine = {"A": "Draw", "B": "Empate"}
    sync_api.expect(page.locator("#result")).to_contain_text(mine["A"] + ": ")
    sync_api.expect(other.locator("#result")).to_contain_text(mine["B"] + ": ")
    sync_api.expect(stranger.locator("#result")).to_contain_text(
        "Draw" if winner is None else f"{winner} wins")
    sync_api.expect(stranger.locator('[data-action="new-game"]')).to_be_hidden()

    # The rematch: A asks, takes B in the new room (the sides swap) and waits; B's page
    # is offered it and takes A; the watcher may follow.
    page.click('[data-action="new-game"]')
    page.wait_for_url(lambda url: room not in url)
    rematch = room_of(page)
    sync_api.expect(page.locator("#seat-line")).to_have_text("You play B.")
    sync_api.expect(page.locator("#turn")).to_have_text("Waiting for the other player")
    sync_api.expect(other.locator("#rematch-note")).to_have_text("O teu adversário quer a desforra.")
    sync_api.expect(stranger.locator("#rematch-link")).to_have_attribute("href", f"/rooms/{rematch}")
    other.get_by_role("button", name="Jogar a desforra").click()
    other.wait_for_url(f"**/rooms/{rematch}")
    sync_api.expect(other.locator("#seat-line")).to_have_text("Jogas com A.")
    sync_api.expect(other.locator("#turn")).to_have_text("A tua vez (A)")
    sync_api.expect(page.locator("#turn")).to_have_text("Your opponent's move (A)")

    # The finished room stays, read-only, with its replay.
    stranger.reload()
    sync_api.expect(stranger.locator("#turn")).to_have_text("Game over")
    stranger.click('[data-action="replay"]')
    sync_api.expect(stranger.locator("#replay-where")).to_have_text("The deal")
    assert cards(stranger) == start


def test_phones(scripted: Browsers) -> None:
    """At 390x844 and 360x640, in both languages: no part of a card leaves it, nothing
    scrolls sideways, the status is one line, every touch target is 44 px at least; a
    lifted Figure leaves the column numbers alone."""
    made = post(scripted.open(), "/api/rooms", {"mode": "humans"})
    room = made["room"]
    page = scripted.open()
    joined = post(page, f"/api/rooms/{room}/join", {"invite": made["invite"]})
    post(page, f"/api/rooms/{room}/moves", {"move": api_state(page, room)["legal"][0],
                                            "token": made["token"]})
    finished = post(page, "/api/rooms", {"mode": "humans"})
    other = post(page, f"/api/rooms/{finished['room']}/join", {"invite": finished["invite"]})
    finish_between_people(page, finished["room"],
                          {"A": finished["token"], "B": other["token"]})

    for viewport in PHONES:
        phone = scripted.open("/", viewport=viewport, locale="pt-PT")
        views = [("/", None), (f"/rooms/{room}", {"seat": "B", "token": joined["token"]}),
                 (f"/rooms/{finished['room']}", {"seat": "A", "token": finished["token"]})]
        for path, seat in views:
            if seat is None:
                phone.goto(path)
            else:
                seat_page(phone, path.rsplit("/", 1)[1], seat)
            phone.wait_for_selector("main:not([hidden])")
            phone.locator('[data-panel="rules"] summary').click()
            if path == views[1][0]:
                figure = phone.locator('.cell.legal[data-card="BF"]')
                if figure.count():
                    figure.first.click()
                    sync_api.expect(phone.locator(".cell.selected")).to_have_count(1)
            for lang in ("pt", "en"):
                switch_language(phone, lang)
                problems = phone.evaluate(PHONE_CHECKS)
                assert problems == [], f"{viewport} {path} {lang}: {problems}"
            if viewport == PHONES[0] and path == views[1][0]:
                screenshot(phone, "phone")


# Everything a phone's page must keep to, as a list of what it does not.
PHONE_CHECKS = """() => {
  const problems = [];
  const visible = (e) => e.getClientRects().length > 0 && getComputedStyle(e).visibility !== "hidden";
  const root = document.documentElement;
  if (root.scrollWidth > root.clientWidth) problems.push(`scrolls sideways: ${root.scrollWidth}`);
  const inside = (r, box) => r.left >= box.left - 0.5 && r.right <= box.right + 0.5
    && r.top >= box.top - 0.5 && r.bottom <= box.bottom + 0.5;
  const columns = [...document.querySelectorAll(".cols span")].map((s) => s.getBoundingClientRect());
  for (const cell of document.querySelectorAll("#room:not([hidden]) [data-cell]")) {
    const box = cell.getBoundingClientRect();
    for (const part of cell.querySelectorAll("*")) {
      if (!inside(part.getBoundingClientRect(), box)) problems.push(`${cell.dataset.cell}: ${part.className} leaves its card`);
      if (part.scrollWidth > part.clientWidth + 1) problems.push(`${cell.dataset.cell}: ${part.className} overflows`);
    }
    for (const col of columns) {
      if (col.bottom > box.top && col.top < box.bottom && col.right > box.left && col.left < box.right) {
        problems.push(`${cell.dataset.cell} covers a column number`);
      }
    }
  }
  const status = document.getElementById("status");
  if (visible(status)) {
    const turn = document.getElementById("turn");
    const line = parseFloat(getComputedStyle(turn).lineHeight) || parseFloat(getComputedStyle(turn).fontSize) * 1.3;
    if (turn.getBoundingClientRect().height > line * 1.5 || turn.scrollWidth > turn.clientWidth + 1) {
      problems.push(`the status takes more than a line: ${turn.textContent}`);
    }
  }
  const targets = document.querySelectorAll(
    "a[href], button, input:not([type=radio]), select, summary, [data-cell], label:has(> input[type=radio])");
  for (const target of targets) {
    if (!visible(target)) continue;
    const r = target.getBoundingClientRect();
    if (r.width < 43.5 || r.height < 43.5) {
      problems.push(`touch target ${target.outerHTML.slice(0, 60)} is ${r.width}x${r.height}`);
    }
  }
  return problems;
}"""


def test_a_lost_connection_is_shown_and_the_room_read_again(
        browser: Any, tmp_path: Path) -> None:
    db = tmp_path / "rooms.db"
    server = ServerProcess(db)
    pages = Browsers(browser, server.url)
    try:
        page = pages.open()
        made = post(page, "/api/rooms", {"mode": "humans"})
        joined = post(page, f"/api/rooms/{made['room']}/join", {"invite": made["invite"]})
        seat_page(page, made["room"], {"seat": "A", "token": made["token"]})
        sync_api.expect(page.locator("#turn")).to_have_text("Your move (A)")
        sync_api.expect(page.locator("body")).to_have_attribute("data-connection", "live")
        sync_api.expect(page.locator("#connection")).to_be_hidden()
        click_a_move(page)

        port = int(server.url.rsplit(":", 1)[1])
        server.stop()
        sync_api.expect(page.locator("body")).to_have_attribute("data-connection", "lost")
        sync_api.expect(page.locator("#connection")).to_have_text("Connection lost: reconnecting…")
        server = ServerProcess(db, port=port)
        # B moves while A's page is away: once back, the page shows it.
        state = api_state(page, made["room"])
        post(page, f"/api/rooms/{made['room']}/moves",
             {"move": state["legal"][0], "token": joined["token"]})
        sync_api.expect(page.locator("body")).to_have_attribute("data-connection", "live")
        sync_api.expect(page.locator("#connection")).to_be_hidden()
        sync_api.expect(page.locator("#history li")).to_have_count(2)
        sync_api.expect(page.locator("#turn")).to_have_text("Your move (A)")
    finally:
        pages.close()
        server.stop()
    assert pages.errors == []


def test_an_unknown_room_is_a_friendly_404(scripted: Browsers) -> None:
    page = scripted.open(locale="pt-PT")
    response = page.goto("/rooms/no-such-room")
    assert response is not None and response.status == 404
    assert response.headers["content-type"].startswith("text/html")
    sync_api.expect(page.get_by_role("heading", name="Esta sala não existe")).to_be_visible()
    sync_api.expect(page.locator("#missing-text")).to_contain_text("no-such-room")
    assert_accessible_in_both(page, "the 404 page")
    page.get_by_role("link", name="Voltar à entrada").click()
    page.wait_for_url(re.compile(r"/$"))
    sync_api.expect(page.locator("#lobby")).to_be_visible()

