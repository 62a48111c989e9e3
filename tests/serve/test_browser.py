"""A whole game against the bot in a real browser: Debian's headless Chromium, driven by
Playwright, on a real varno-serve process. The board's screenshots are kept in build/."""

from __future__ import annotations

import re
import shutil
from collections.abc import Iterator
from pathlib import Path

import pytest
from serve_helpers import running_server

sync_api = pytest.importorskip("playwright.sync_api")

CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
ARTEFACTS = Path(__file__).resolve().parents[2] / "build"
OPPONENT_FACE_UP = "Não podes jogar uma carta virada para cima do adversário."
# A game is at most 300 moves, half of them clicked here.
MAX_TURNS = 200


@pytest.fixture
def page(tmp_path: Path) -> Iterator[sync_api.Page]:
    if not Path(CHROMIUM).exists():
        pytest.skip("Debian's chromium is not installed (make test-serve installs it)")
    with running_server(tmp_path / "rooms.db") as url, sync_api.sync_playwright() as driver:
        browser = driver.chromium.launch(executable_path=CHROMIUM, headless=True)
        context = browser.new_context(viewport={"width": 1180, "height": 820}, base_url=url)
        context.set_default_timeout(20_000)
        page = context.new_page()
        errors: list[str] = []
        page.on("pageerror", lambda error: errors.append(str(error)))
        yield page
        browser.close()
        assert errors == []


def cards(page: sync_api.Page) -> list[str]:
    found: list[str] = page.eval_on_selector_all(
        "[data-cell]", "cells => cells.map(c => c.dataset.cell + '=' + c.dataset.card)")
    return found


def history_length(page: sync_api.Page) -> int:
    return page.locator("#history li").count()


def wait_for_my_turn_or_the_end(page: sync_api.Page) -> bool:
    """True when it is the page's move, False when the game is over."""
    page.wait_for_function(
        "() => !document.getElementById('result').hidden"
        " || (document.getElementById('turn').textContent.startsWith('Your move')"
        "     && document.getElementById('thinking').hidden)")
    return page.locator("#result").is_hidden()


def click_a_move(page: sync_api.Page) -> None:
    """Clicks a legal move: a highlighted card, and a target if it is a Figure."""
    before = history_length(page)
    plain = page.locator('.cell.legal:is([data-card="AN"], [data-card="XX"])')
    if plain.count():
        plain.first.click()
    else:
        page.locator(".cell.legal").first.click()
        sync_api.expect(page.locator(".cell.selected")).to_have_count(1)
        page.locator(".cell.target").first.click()
    page.wait_for_function(f"() => document.querySelectorAll('#history li').length > {before}")


def test_a_game_against_the_bot_by_clicking(page: sync_api.Page) -> None:
    page.goto("/")
    sync_api.expect(page.locator("#lobby")).to_be_visible()
    # The depths are the server's.
    assert page.eval_on_selector("#depth", "d => [d.min, d.max, d.value]") == ["1", "12", "8"]
    sync_api.expect(page.locator("#depth-shown")).to_have_text("8")
    page.eval_on_selector("#depth", "d => { d.value = '2'; d.dispatchEvent(new Event('input')); }")
    sync_api.expect(page.locator("#depth-shown")).to_have_text("2")
    page.get_by_role("button", name="New game").click()
    page.wait_for_url("**/rooms/*")
    sync_api.expect(page.locator("#turn")).to_have_text("Your move (A)")
    start = cards(page)
    assert len(start) == 12 and all(c[3:] in ("AN", "AF", "BN", "BF") for c in start)
    assert page.locator(".cell.legal").count() == 4 + 2  # A's Normals and Figures

    # A face-up card of the bot: the module's message, and nothing changes.
    theirs = next(c[:2] for c in start if c[3] == "B")
    page.click(f'[data-cell="{theirs}"]')
    sync_api.expect(page.locator("#message")).to_have_text(OPPONENT_FACE_UP)
    assert cards(page) == start and history_length(page) == 0

    # A targeted move by clicking: the Figure, then the card it turns over; then the
    # bot's answer.
    figure = next(c[:2] for c in start if c[3:] == "AF")
    page.click(f'[data-cell="{figure}"]')
    sync_api.expect(page.locator(f'[data-cell="{figure}"]')).to_have_class(re.compile("selected"))
    sync_api.expect(page.locator(".cell.target")).to_have_count(11)
    page.click(f'[data-cell="{theirs}"]')
    sync_api.expect(page.locator("#history li").first).to_have_text(f"A {figure}{theirs}")
    assert wait_for_my_turn_or_the_end(page)
    assert history_length(page) >= 2
    sync_api.expect(page.locator("#message")).to_have_text("")
    assert page.locator("#history li.bot").count() >= 1

    # A move typed at the keyboard, wherever the focus is.
    legal = page.request.get(page.url.replace("/rooms/", "/api/rooms/")).json()["legal"]
    before = history_length(page)
    page.click("header .tagline")
    page.keyboard.type(legal[0].lower())
    sync_api.expect(page.locator("#move-input")).to_have_value(legal[0].lower())
    page.keyboard.press("Enter")
    page.wait_for_function(f"() => document.querySelectorAll('#history li').length > {before}")
    assert page.locator("#history li").nth(before).inner_text() == f"A {legal[0]}"

    # Reload: the same game, and this page still holds seat A.
    assert wait_for_my_turn_or_the_end(page)
    shown, moves = cards(page), page.locator("#history li").all_inner_texts()
    page.reload()
    sync_api.expect(page.locator("#turn")).to_have_text("Your move (A)")
    assert cards(page) == shown
    assert page.locator("#history li").all_inner_texts() == moves
    ARTEFACTS.mkdir(exist_ok=True)
    page.screenshot(path=str(ARTEFACTS / "serve-browser.png"), full_page=True)

    for _ in range(MAX_TURNS):
        if not wait_for_my_turn_or_the_end(page):
            break
        click_a_move(page)
    else:
        pytest.fail("the game did not end")
    result = page.locator("#result").inner_text()
    assert result.startswith("Result: ") and ("wins" in result or "draw" in result)
    sync_api.expect(page.locator("#turn")).to_have_text("Game over")
    assert page.locator(".cell.legal").count() == 0
    page.screenshot(path=str(ARTEFACTS / "serve-browser-end.png"), full_page=True)


def test_a_second_player_joins_by_the_invite_and_a_watcher_cannot_move(
        page: sync_api.Page) -> None:
    page.context.grant_permissions(["clipboard-read", "clipboard-write"])
    page.goto("/")
    page.get_by_role("button", name="New room for two").click()
    page.wait_for_url("**/rooms/*")
    room_url = page.url
    # The link to send carries the invite in its fragment, which no request carries.
    sync_api.expect(page.locator("#share")).to_be_visible()
    link = page.locator("#share-link").input_value()
    assert re.fullmatch(re.escape(room_url) + r"#invite=[A-Za-z0-9_-]{20,}", link), link
    page.get_by_role("button", name="Copy").click()
    sync_api.expect(page.locator("#message")).to_have_text("Link copied.")
    assert page.evaluate("navigator.clipboard.readText()") == link
    # The creator's page shows the same link after a reload.
    page.reload()
    sync_api.expect(page.locator("#share")).to_be_visible()
    assert page.locator("#share-link").input_value() == link

    browser = page.context.browser
    assert browser is not None
    # Someone with the room's address but not the invite watches, and nothing more.
    stranger_context = browser.new_context(base_url=room_url)
    stranger = stranger_context.new_page()
    stranger.goto(room_url)
    sync_api.expect(stranger.locator("#seat-line")).to_have_text("You are watching this room.")
    sync_api.expect(stranger.locator("#join")).to_be_hidden()
    stranger.click('[data-cell="A1"]')
    sync_api.expect(stranger.locator("#message")).to_contain_text("only its players can move")

    context = browser.new_context(base_url=room_url)  # the invited friend
    other = context.new_page()
    requests: list[str] = []
    other.on("request", lambda request: requests.append(
        request.url + " " + (request.headers.get("referer") or "")))
    other.goto(link)
    sync_api.expect(other.locator("#seat-line")).to_have_text("You are watching this room.")
    start = cards(other)
    other.get_by_role("button", name="Take seat B").click()
    sync_api.expect(other.locator("#seat-line")).to_have_text("You play B.")
    # The invite has left the address bar; it went in the join's body, never in an
    # address or a Referer.
    assert other.url == room_url
    invite = link.partition("#invite=")[2]
    assert requests and not any(invite in seen for seen in requests)
    sync_api.expect(page.locator("#share")).to_be_hidden()   # the seat is taken now
    sync_api.expect(stranger.locator("#join")).to_be_hidden()

    # A moves in the first browser; the second sees it pushed and answers.
    click_a_move(page)
    sync_api.expect(other.locator("#turn")).to_have_text("Your move (B)")
    assert cards(other) != start
    click_a_move(other)
    sync_api.expect(page.locator("#turn")).to_have_text("Your move (A)")
    assert cards(page) == cards(other)
    # The friend's page still holds seat B after a reload (opened without the invite).
    other.reload()
    sync_api.expect(other.locator("#seat-line")).to_have_text("You play B.")
    context.close()
    stranger_context.close()


def test_as_b_the_deal_is_shown_until_start(page: sync_api.Page) -> None:
    page.goto("/")
    page.check('input[name="side"][value="B"]')
    page.eval_on_selector("#depth", "d => { d.value = '2'; d.dispatchEvent(new Event('input')); }")
    page.get_by_role("button", name="New game").click()
    page.wait_for_url("**/rooms/*")
    # The deal, face up, with nothing played: the bot waits for Start.
    sync_api.expect(page.locator("#start")).to_be_visible()
    sync_api.expect(page.locator("#turn")).to_have_text("Look at the deal")
    deal = cards(page)
    assert len(deal) == 12 and all(c[3:] in ("AN", "AF", "BN", "BF") for c in deal)
    assert history_length(page) == 0 and page.locator("#thinking").is_hidden()
    page.wait_for_timeout(500)
    assert cards(page) == deal and history_length(page) == 0

    # A watcher sees the same deal, and that the player has to start.
    watcher = page.context.browser.new_context(base_url=page.url).new_page()
    watcher.goto(page.url)
    sync_api.expect(watcher.locator("#turn")).to_have_text("Waiting for the player to start")
    assert watcher.locator("#start-panel").is_hidden() and cards(watcher) == deal

    page.locator("#start").click()
    sync_api.expect(page.locator("#history li.bot")).to_have_count(1)
    sync_api.expect(page.locator("#start-panel")).to_be_hidden()
    assert page.locator("#history li").first.inner_text().startswith("A ")
    assert wait_for_my_turn_or_the_end(page)
    sync_api.expect(page.locator("#turn")).to_have_text("Your move (B)")
    # The watcher is pushed the bot's move; the person answers it.
    sync_api.expect(watcher.locator("#history li.bot")).to_have_count(1)
    click_a_move(page)
    assert page.locator("#history li").nth(1).inner_text().startswith("B ")
    watcher.context.close()
