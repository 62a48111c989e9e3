"""The terminal host varno-play: its end-of-game rules, and whole games through its input."""

from __future__ import annotations

import os
import re
import select
import subprocess
import sys
import time
from pathlib import Path

import pytest

import rules_model as rm
from rules_model import Model

pytest.importorskip("varno")
from varno_play import rules, texts  # noqa: E402
from varno_play.rules import Outcome, Referee  # noqa: E402

SCRIPT = Path(sys.executable).parent / "varno-play"
COMMAND = [str(SCRIPT)] if SCRIPT.exists() else [sys.executable, "-m", "varno_play"]

MOVE = r"[A-C][1-4](?:[A-C][1-4])?"
MOVE_LINE = re.compile(
    rf"^Move (\d+): ([AB])(?: \((?:you|bot)\))? played ({MOVE})(?: \(thought \d+\.\d\d s\))?\.$",
    re.M,
)
PICTURE = re.compile(r"^   1   2   3   4\n(?:[ABC] .*\n){3}", re.M)


def picture(cells: str) -> str:
    """A board picture from twelve cell codes: AN, AF, BN, BF, XX (face down) or -- (empty)."""
    codes = cells.split()
    assert len(codes) == 12
    shown = {"XX": "[XXXXXX]", "--": "[  --  ]"}
    rows = ["   1   2   3   4"]
    for r, letter in enumerate("ABC"):
        row = codes[4 * r:4 * r + 4]
        rows.append(letter + " " + "".join(shown.get(c, f"[ {c} ]") for c in row))
    return "\n".join(rows) + "\n"


def state(cells: str) -> str:
    """A saved board state from twelve cell codes: AN..BF face up, an..bf face down, --."""
    codes = cells.split()
    assert len(codes) == 12
    return " / ".join(" ".join(codes[4 * r:4 * r + 4]) for r in range(3))


def state_of(model: Model) -> str:
    """The saved state of the model's position, as ``Board.__getstate__`` writes it."""
    codes = []
    for face, owner, kind in model.cells:
        code = "--" if face == rm.EMPTY else owner + kind
        codes.append(code.lower() if face == rm.DOWN else code)
    return state(" ".join(codes))


# The module's message for a Figure aimed at itself, as the host shows it in English.
SAME_CELL_EN = texts.rule_text(rm.SAME_CELL, "en")

DEAL = state("AN AF BN BF  BN AN AN BN  BF AF BN AN")
DEAL_PICTURE = picture("AN AF BN BF  BN AN AN BN  BF AF BN AN")


# -- the end-of-game rules ------------------------------------------------------

class TestStates:
    def test_reads_the_modules_saved_state(self):
        import varno

        board = varno.Board()
        cells = rules.read_state(board.__getstate__())
        assert sorted(cells) == sorted(["AN"] * 4 + ["AF"] * 2 + ["BN"] * 4 + ["BF"] * 2)
        mixed = "AN bf -- BN / an AF BN BN / bn AN BF af"
        assert rules.read_state(mixed) == tuple(mixed.replace(" / ", " ").split())

    @pytest.mark.parametrize("bad", [
        "",
        DEAL + " ",                                     # anything after the last cell
        DEAL.replace(" ", "  ", 1),                     # two spaces between cells
        DEAL.replace(" / ", "/", 1),                    # rows not separated by " / "
        DEAL.replace(" / ", " ", 1),                    # two rows run together
        DEAL.replace("AF", "CF", 1),                    # no such owner
        DEAL.replace("AF", "Af", 1),                    # half face up
        DEAL.replace("AF", "XX", 1),                    # the public code of a face-down card
        DEAL.rsplit(" / ", 1)[0],                       # a row missing
        DEAL.replace("AN", "AN AN", 1),                 # five cells in a row
        DEAL.replace("BN", "AF", 1),                    # three Figures of A: not one deal
        DEAL_PICTURE,                                   # the picture is not the state
        None,
        b"AN AF BN BF / BN AN AN BN / BF AF BN AN",
    ])
    def test_rejects_what_is_not_a_state(self, bad):
        with pytest.raises(ValueError):
            rules.read_state(bad)

    def test_public_cells_show_what_the_picture_shows(self):
        import varno

        assert rules.public_cells("AN bf -- BN / an AF BN BN / bn AN BF af") == tuple(
            "AN XX -- BN XX AF BN BN XX AN BF XX".split())
        # Against the module: after every move of a game, the public cells drawn as a
        # picture are the board's own picture.
        board = varno.Board()
        for ply in range(40):
            player = varno.Player.A if ply % 2 == 0 else varno.Player.B
            moves = board.get_legal_moves(player)
            if not moves:
                break
            board.play(moves[(7 * ply) % len(moves)], player, "test")
            shown = rules.public_cells(board.__getstate__())
            assert picture(" ".join(shown)) == str(board)

    def test_counts_face_down_cards_by_their_owner(self):
        # A1 (A's) and B4 (B's) gone, B1 (B's) and C4 (A's) face down.
        later = state("--  AF BN BF  bn AN AN --  BF AF BN an")
        assert rules.cards_left(later) == {"A": 5, "B": 5}
        assert rules.cards_left(DEAL) == {"A": 6, "B": 6}
        assert rules.cards_left(state("-- -- -- --  -- -- -- --  -- -- -- bf")) == {"A": 0, "B": 1}

    def test_positions_are_keyed_by_state_and_side_to_move(self):
        assert rules.position_key(DEAL, "B") == (DEAL, "B")
        assert rules.position_key(DEAL, "A") != rules.position_key(DEAL, "B")
        with pytest.raises(ValueError):
            rules.position_key(DEAL_PICTURE, "A")


class TestJudge:
    @pytest.mark.parametrize(("cards", "seen", "moves", "expected"), [
        ({"A": 3, "B": 2}, 1, 10, None),
        ({"A": 1, "B": 0}, 1, 10, Outcome("A", "no_cards")),
        ({"A": 0, "B": 4}, 1, 10, Outcome("B", "no_cards")),
        ({"A": 0, "B": 0}, 1, 10, Outcome(None, "both_no_cards")),
        ({"A": 2, "B": 2}, 2, 10, None),
        ({"A": 2, "B": 2}, 3, 10, Outcome(None, "repetition")),
        ({"A": 2, "B": 2}, 1, 299, None),
        ({"A": 2, "B": 2}, 1, 300, Outcome(None, "move_cap")),
        # Taking the last card wins, even on a repetition or on the last allowed move.
        ({"A": 2, "B": 0}, 3, 300, Outcome("A", "no_cards")),
    ])
    def test_outcomes(self, cards, seen, moves, expected):
        assert rules.judge(cards, seen, moves) == expected

    @pytest.mark.parametrize(("outcome", "text"), [
        (Outcome("A", "no_cards"), "A wins (B has no card left)"),
        (Outcome("B", "no_cards"), "B wins (A has no card left)"),
        (Outcome(None, "both_no_cards"), "draw (neither side has a card left)"),
        (Outcome(None, "repetition"), "draw (same position 3 times)"),
        (Outcome(None, "move_cap"), "draw (300 moves played)"),
        (Outcome(None, "no_moves"), "draw (neither side can move)"),
    ])
    def test_the_results_in_english(self, outcome, text):
        assert str(outcome) == outcome.text("en") == text
        assert Outcome.from_text(text) == outcome

    def test_a_side_that_cannot_move_passes_unless_neither_can(self):
        assert rules.judge_stuck(opponent_can_move=True) is None
        assert rules.judge_stuck(opponent_can_move=False) == Outcome(None, "no_moves")


class TestReferee:
    # From DEAL: the Normal in A3 is played (A2, A4, B3 turn over), then the one in B2.
    AFTER_1 = state("AN af bn bf  BN AN an BN  BF AF BN AN")
    AFTER_2 = state("AN AF bn bf  bn an AN BN  BF af BN AN")

    def test_the_deal_counts_as_the_first_occurrence(self):
        referee = Referee(DEAL)
        assert referee.after_move(self.AFTER_1, "B") is None
        assert referee.after_move(DEAL, "A") is None
        assert referee.after_move(self.AFTER_1, "B") is None
        assert referee.after_move(DEAL, "A") == Outcome(None, "repetition")
        assert referee.moves == 4

    def test_the_same_state_with_the_other_side_to_move_is_another_position(self):
        referee = Referee(DEAL)
        for to_move in ("B", "B", "A", "A"):
            assert referee.after_move(self.AFTER_2, to_move) is None
        assert referee.after_move(self.AFTER_2, "B") == Outcome(None, "repetition")

    def test_losing_the_last_card_ends_the_game(self):
        referee = Referee(DEAL)
        a_only = state("AN AF -- --  -- AN AN --  -- AF -- AN")
        assert referee.after_move(a_only, "B") == Outcome("A", "no_cards")
        # A face-down card still counts: it is in the state, whoever it belongs to.
        referee = Referee(DEAL)
        hidden_b = state("AN AF -- --  -- AN AN --  -- AF -- bn")
        assert referee.cards_left(hidden_b) == {"A": 5, "B": 1}
        assert referee.after_move(hidden_b, "B") is None

    def test_any_position_can_be_the_first(self):
        # No need for a fresh deal: the state names the owner of every card.
        later = state("an -- -- --  -- -- -- --  -- -- -- bf")
        referee = Referee(later)
        assert referee.cards_left(later) == {"A": 1, "B": 1}
        assert referee.after_move(later, "B") is None
        assert referee.after_move(later, "A") is None
        assert referee.after_move(later, "A") == Outcome(None, "repetition")
        with pytest.raises(ValueError):
            Referee(DEAL_PICTURE)
        with pytest.raises(ValueError):
            Referee(DEAL).after_move("not a state", "B")

    def test_a_restored_referee_goes_on_where_the_saved_one_was(self):
        import json

        referee = Referee(DEAL)
        referee.after_move(self.AFTER_1, "B")
        referee.after_move(DEAL, "A")
        # Through JSON, as a server stores it: tuples come back as lists.
        saved = json.loads(json.dumps(referee.save()))
        assert saved == {"moves": 2, "seen": [[DEAL, "A", 2], [self.AFTER_1, "B", 1]]}
        restored = Referee.restore(saved)
        assert restored.moves == 2
        assert restored.after_move(self.AFTER_1, "B") is None
        assert restored.after_move(DEAL, "A") == Outcome(None, "repetition")

    @pytest.mark.parametrize("change", [
        {"moves": -1},
        {"moves": True},
        {"moves": "2"},
        {"seen": [[DEAL, "C", 1]]},
        {"seen": [[DEAL, "A", 0]]},
        {"seen": [[DEAL, "A", 1.0]]},
        {"seen": [["not a state", "A", 1]]},
        {"seen": [[DEAL_PICTURE, "A", 1]]},
        {"seen": [[DEAL, "A"]]},
        {"seen": [[DEAL, "A", 1, 1]]},
        {"seen": [DEAL]},
        {"seen": [5]},
        {"seen": []},
        {"seen": 5},
        {"seen": {DEAL: 1}},
        {"seen": [[DEAL, "A", 1], [DEAL, "A", 2]]},
        # Cards never move between cells: these are not positions of one game.
        {"seen": [[DEAL, "A", 1], [state("AF AN BN BF  BN AN AN BN  BF AF BN AN"), "B", 1]]},
    ])
    def test_a_bad_saved_state_is_refused(self, change):
        saved = {**Referee(DEAL).save(), **change}
        with pytest.raises(ValueError):
            Referee.restore(saved)

    @pytest.mark.parametrize("saved", [None, [], "x", {}, {"moves": 0}, {"seen": [[DEAL, "A", 1]]}])
    def test_what_is_not_a_saved_referee_is_refused(self, saved):
        with pytest.raises(ValueError):
            Referee.restore(saved)


class TestHostFromAnyPosition:
    """The terminal host on a board that is not a fresh deal: the cards left and the end
    come from the board's saved state, face-down cards included."""

    def test_a_face_down_card_is_counted_for_its_owner(self):
        import io

        import varno
        from varno_play.host import Host

        start = "AN -- -- -- / -- -- -- -- / -- -- -- bn"
        board = varno.Board()
        board.__setstate__(start)
        out = io.StringIO()
        host = Host(bots=(), depth=1, stdin=io.StringIO("A1\nA1\n"), stdout=out, board=board)
        assert host.run() == "B wins (A has no card left)"
        text = out.getvalue()
        assert "A to move. Cards left: A 1, B 1." in text
        assert "B to move. Cards left: A 1, B 1." in text
        # What is written shows the face-down cards as the picture does, nothing more.
        assert start not in text and board.__getstate__() not in text
        assert re.search(r"\b[ab][nf]\b", text) is None
        assert "[XXXXXX]" in text and text.endswith(str(board))


class TestTheBotsMove:
    """``play_bot_move``, which every host plays the bot's choice with: a move the bot
    could not give, or one the rules refuse, gives way to the first legal move."""

    @pytest.mark.parametrize("chosen", ["", "A1A1", "D9", "a1"])
    def test_a_move_that_cannot_be_played_gives_way_to_the_first_legal_one(self, chosen):
        import varno

        board = varno.Board()
        board.__setstate__(DEAL)
        first = board.get_legal_moves(varno.Player.B)[0]
        expected = varno.Board()
        expected.__setstate__(DEAL)
        expected.play(first, varno.Player.B, "r")
        played, why = rules.play_bot_move(board, "B", chosen, "r")
        assert played == first and why is not None
        assert board.__getstate__() == expected.__getstate__()

    def test_the_bots_choice_is_played_as_it_is(self):
        import varno

        board = varno.Board()
        board.__setstate__(DEAL)
        chosen = board.get_legal_moves(varno.Player.A)[-1]
        assert rules.play_bot_move(board, "A", chosen, "r") == (chosen, None)
        assert board.__getstate__() != DEAL

    def test_no_legal_move_at_all_changes_nothing(self):
        import varno

        lonely = state("BN -- -- --  -- -- -- --  -- -- -- --")
        board = varno.Board()
        board.__setstate__(lonely)
        with pytest.raises(ValueError, match="A has no legal move"):
            rules.play_bot_move(board, "A", "A1", "r")
        assert board.__getstate__() == lonely

    def test_the_terminal_host_goes_on_when_the_bot_answers_with_a_refused_move(self):
        import io

        import varno
        from varno_play.host import Host

        class WrongBot:
            """A board whose bot always answers a move the rules refuse."""

            def __init__(self) -> None:
                self.board = varno.Board()
                self.board.__setstate__(DEAL)
                self.play = self.board.play
                self.get_legal_moves = self.board.get_legal_moves
                self.__getstate__ = self.board.__getstate__

            def play_bot(self, player, depth):
                return "A1A1"

            def __str__(self) -> str:
                return str(self.board)

        out = io.StringIO()
        host = Host(bots=("A", "B"), depth=1, stdin=io.StringIO(), stdout=out, board=WrongBot())
        result = host.run()
        assert result.startswith(("A wins", "B wins", "draw")), result
        # A1, A's Normal in the deal, is A's first legal move.
        assert "Move 1: A (bot) played A1 " in out.getvalue()


# -- whole games through the console script -------------------------------------

# A locale that asks for no language of its own: the host speaks English.
ENGLISH = {**{name: value for name, value in os.environ.items()
              if name not in ("LC_ALL", "LC_MESSAGES", "LANG")}, "LANG": "C.UTF-8"}


def run(*args: str, script: str = "",
        env: dict[str, str] = ENGLISH) -> subprocess.CompletedProcess[str]:
    return subprocess.run([*COMMAND, *args], input=script, capture_output=True,
                          text=True, encoding="utf-8", timeout=30, env=env)


def result_line(out: str) -> str:
    return out.rstrip("\n").splitlines()[-1]


def replay(out: str) -> tuple[Model, list[tuple[str, str]], list[str]]:
    """Replays the moves of a transcript on a model of the deal it shows, checking every
    picture printed after a move; the model, the (picture, side to move) sequence and
    the saved state of each of those positions."""
    deal = PICTURE.search(out)
    assert deal is not None, out
    model = Model.from_picture(deal.group(0))
    positions = [(deal.group(0), "A")]
    states = [state_of(model)]
    for n, match in enumerate(MOVE_LINE.finditer(out), start=1):
        number, side, move = match.groups()
        assert int(number) == n
        assert side == positions[-1][1], "sides alternate, A first"
        model.play(move, side)
        shown = PICTURE.match(out, match.end() + 1)
        assert shown is not None and shown.group(0) == model.render()
        positions.append((shown.group(0), "B" if side == "A" else "A"))
        states.append(state_of(model))
    return model, positions, states


class TestBotGame:
    @pytest.mark.parametrize("game", range(3))
    def test_plays_to_a_proper_end(self, game):
        done = run("--bots", "--depth", "2")
        assert done.returncode == 0, done.stderr
        out = done.stdout
        model, positions, states = replay(out)
        assert len(positions) > 1
        assert out.count("(thought ") == len(positions) - 1
        # Within one game a picture and a state tell the same positions apart, so the
        # repetition rule counts the same whichever it is fed.
        pictures = [shown for shown, _ in positions]
        for i in range(len(positions)):
            for j in range(i):
                assert (pictures[i] == pictures[j]) == (states[i] == states[j])
        last = rules.cards_left(states[-1])
        verdict = result_line(out)
        if verdict == "Result: A wins (B has no card left)":
            assert last["B"] == 0 < last["A"]
        elif verdict == "Result: B wins (A has no card left)":
            assert last["A"] == 0 < last["B"]
        elif verdict == "Result: draw (same position 3 times)":
            assert positions.count(positions[-1]) == 3
            assert all(positions[:i + 1].count(p) < 3 for i, p in enumerate(positions[:-1]))
        else:
            assert verdict == "Result: draw (300 moves played)"
            assert len(positions) == 301
        # Nobody had lost before the last move.
        for saved in states[:-1]:
            assert min(rules.cards_left(saved).values()) > 0


class TestHumanGame:
    def test_a_rejected_move_changes_nothing_then_a_good_one_is_played(self):
        # A1A1 is refused on any deal; one of the twelve cells is a Normal card of A.
        cells = [r + c for r in "ABC" for c in "1234"]
        done = run("--depth", "1", script="A1A1\n" + "\n".join(cells) + "\n")
        assert done.returncode == 0, done.stderr
        out = done.stdout
        assert f"A> A1A1\n{SAME_CELL_EN}\nA> " in out
        assert "Move 1: A (you) played " in out
        before_first_move = out.split("Move 1:")[0]
        assert PICTURE.findall(before_first_move) == [PICTURE.search(out).group(0)]
        replay(out)
        assert result_line(out).startswith("Result: ")

    def test_question_mark_lists_the_legal_moves(self):
        done = run(script="?\n")
        out = done.stdout
        deal = Model.from_picture(PICTURE.search(out).group(0))
        listing = out.split("Legal moves for A (26):\n")[1].split("\nCells are named")[0]
        assert listing.split() == deal.legal_moves("A")
        assert "The same position with the same side to move, seen three times, is a draw." in out

    def test_two_people_take_turns(self):
        cells = [r + c for r in "ABC" for c in "1234"]
        done = run("--humans", script="\n".join(cells * 3) + "\n")
        assert done.returncode == 0, done.stderr
        out = done.stdout
        assert "bot" not in out
        assert "Move 2: B played " in out
        replay(out)

    def test_the_bot_opens_when_the_human_plays_b(self):
        done = run("--side", "b", "--depth", "1")
        out = done.stdout
        assert done.returncode == 0
        assert re.search(rf"Move 1: A \(bot\) played {MOVE} \(thought", out)
        assert out.index("Move 1:") < out.index("B> ")
        assert result_line(out) == "Result: game abandoned (end of input)"

    @pytest.mark.parametrize(("script", "reason"), [
        ("q\n", "A quit"),
        ("  QUIT \n", "A quit"),
        ("", "end of input"),
        ("\n\n", "end of input"),
    ])
    def test_quitting(self, script, reason):
        done = run(script=script)
        assert done.returncode == 0
        assert "Move 1" not in done.stdout
        assert result_line(done.stdout) == f"Result: game abandoned ({reason})"

    @pytest.mark.parametrize("args", [
        ["--depth", "0"], ["--side", "C"], ["--bots", "--humans"], ["--humans", "--side", "B"],
    ])
    def test_bad_arguments(self, args):
        done = run(*args)
        assert done.returncode == 2
        assert done.stdout == ""
        assert "usage: varno-play" in done.stderr


class TestTerminal:
    """The same game at a real terminal: the terminal echoes input, the host does not."""

    def test_interactive_game(self):
        master, slave = os.openpty()
        child = subprocess.Popen([*COMMAND, "--depth", "1"], stdin=slave, stdout=slave,
                                 stderr=slave, close_fds=True, env=ENGLISH)
        os.close(slave)
        seen = ""

        def until(marker: str, start: int) -> str:
            nonlocal seen
            deadline = time.monotonic() + 15
            while marker not in seen[start:]:
                left = deadline - time.monotonic()
                assert left > 0, f"waited for {marker!r}; got {seen[start:]!r}"
                if select.select([master], [], [], left)[0]:
                    try:
                        chunk = os.read(master, 4096)
                    except OSError:  # the child has gone
                        chunk = b""
                    assert chunk, f"ended before {marker!r}; got {seen[start:]!r}"
                    seen += chunk.decode("utf-8").replace("\r\n", "\n")
            return seen[start:]

        try:
            until("A> ", 0)
            mark = len(seen)
            os.write(master, b"?\n")
            listing = until("A> ", mark).split("Legal moves for A (26):\n")[1].split("\nCells")[0]
            moves = listing.split()
            assert len(moves) == 26
            mark = len(seen)
            os.write(master, b"a1a1\n")
            assert until("A> ", mark) == f"a1a1\n{SAME_CELL_EN}\nA> "
            mark = len(seen)
            os.write(master, moves[-1].lower().encode() + b"\n")
            after = until("A> ", mark)
            assert f"Move 1: A (you) played {moves[-1]}.\n" in after
            assert "Move 2: B (bot) played " in after
            mark = len(seen)
            os.write(master, b"quit\n")
            until("Result: game abandoned (A quit)", mark)
            assert child.wait(timeout=10) == 0
        finally:
            if child.poll() is None:
                child.kill()
                child.wait()
            os.close(master)
