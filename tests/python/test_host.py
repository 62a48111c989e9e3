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
from varno_play import rules  # noqa: E402
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


DEAL = picture("AN AF BN BF  BN AN AN BN  BF AF BN AN")


# -- the end-of-game rules ------------------------------------------------------

class TestPictures:
    def test_reads_the_modules_rendering(self):
        import varno

        board = varno.Board()
        cells = rules.read_picture(str(board))
        assert sorted(cells) == sorted(["AN"] * 4 + ["AF"] * 2 + ["BN"] * 4 + ["BF"] * 2)
        mixed = picture("AN XX -- BF  BN AF XX XX  -- BN AN XX")
        assert rules.read_picture(mixed) == tuple("AN XX -- BF BN AF XX XX -- BN AN XX".split())

    @pytest.mark.parametrize("bad", [
        "",
        DEAL.replace("[ AF ]", "[ AF  ]", 1),           # a widened cell
        DEAL.replace("[ AF ]", "[ CF ]", 1),            # no such owner
        DEAL.replace("\nB ", "\nA ", 1),                # rows out of order
        "\n".join(DEAL.splitlines()[:3]) + "\n",        # a row missing
        DEAL.replace("[ AN ]", "[ AN ][ AN ]", 1),      # five cells in a row
    ])
    def test_rejects_what_is_not_a_board(self, bad):
        with pytest.raises(ValueError):
            rules.read_picture(bad)

    def test_owners_come_from_a_fresh_deal_only(self):
        assert rules.owners_of_deal(DEAL) == tuple("AABBBAABBABA")
        with pytest.raises(ValueError):
            rules.owners_of_deal(picture("AN AF BN BF  BN XX AN BN  BF AF BN AN"))

    def test_counts_hidden_cards_by_their_owner_at_the_deal(self):
        owners = rules.owners_of_deal(DEAL)
        # B1 (B's) and C4 (A's) face down, A1 (A's) and B4 (B's) gone.
        later = picture("--  AF BN BF  XX AN AN --  BF AF BN XX")
        assert rules.cards_left(owners, later) == {"A": 5, "B": 5}
        assert rules.cards_left(owners, DEAL) == {"A": 6, "B": 6}


class TestJudge:
    @pytest.mark.parametrize(("cards", "seen", "moves", "expected"), [
        ({"A": 3, "B": 2}, 1, 10, None),
        ({"A": 1, "B": 0}, 1, 10, Outcome("A", "B has no card left")),
        ({"A": 0, "B": 4}, 1, 10, Outcome("B", "A has no card left")),
        ({"A": 0, "B": 0}, 1, 10, Outcome(None, "neither side has a card left")),
        ({"A": 2, "B": 2}, 2, 10, None),
        ({"A": 2, "B": 2}, 3, 10, Outcome(None, "same position 3 times")),
        ({"A": 2, "B": 2}, 1, 299, None),
        ({"A": 2, "B": 2}, 1, 300, Outcome(None, "300 moves played")),
        # Taking the last card wins, even on a repetition or on the last allowed move.
        ({"A": 2, "B": 0}, 3, 300, Outcome("A", "B has no card left")),
    ])
    def test_outcomes(self, cards, seen, moves, expected):
        assert rules.judge(cards, seen, moves) == expected

    def test_a_side_that_cannot_move_passes_unless_neither_can(self):
        assert rules.judge_stuck(opponent_can_move=True) is None
        assert rules.judge_stuck(opponent_can_move=False) == Outcome(None, "neither side can move")


class TestReferee:
    # From DEAL: the Normal in A3 is played (A2, A4, B3 turn over), then the one in B2.
    AFTER_1 = picture("AN XX XX XX  BN AN XX BN  BF AF BN AN")
    AFTER_2 = picture("AN AF XX XX  XX XX AN BN  BF XX BN AN")

    def test_the_deal_counts_as_the_first_occurrence(self):
        referee = Referee(DEAL)
        assert referee.after_move(self.AFTER_1, "B") is None
        assert referee.after_move(DEAL, "A") is None
        assert referee.after_move(self.AFTER_1, "B") is None
        assert referee.after_move(DEAL, "A") == Outcome(None, "same position 3 times")
        assert referee.moves == 4

    def test_the_same_picture_with_the_other_side_to_move_is_another_position(self):
        referee = Referee(DEAL)
        for to_move in ("B", "B", "A", "A"):
            assert referee.after_move(self.AFTER_2, to_move) is None
        assert referee.after_move(self.AFTER_2, "B") == Outcome(None, "same position 3 times")

    def test_losing_the_last_card_ends_the_game(self):
        referee = Referee(DEAL)
        a_only = picture("AN AF -- --  -- AN AN --  -- AF -- AN")
        assert referee.after_move(a_only, "B") == Outcome("A", "B has no card left")

    def test_a_restored_referee_goes_on_where_the_saved_one_was(self):
        import json

        referee = Referee(DEAL)
        referee.after_move(self.AFTER_1, "B")
        referee.after_move(DEAL, "A")
        # Through JSON, as a server stores it: tuples come back as lists.
        restored = Referee.restore(json.loads(json.dumps(referee.save())))
        assert restored.owners == referee.owners and restored.moves == 2
        assert restored.after_move(self.AFTER_1, "B") is None
        assert restored.after_move(DEAL, "A") == Outcome(None, "same position 3 times")

    @pytest.mark.parametrize("change", [
        {"owners": "AAB"},
        {"owners": "AABBBAABBABC"},
        {"moves": -1},
        {"moves": True},
        {"seen": [[DEAL, "C", 1]]},
        {"seen": [[DEAL, "A", 0]]},
        {"seen": [["not a picture", "A", 1]]},
        {"seen": [[DEAL, "A"]]},
    ])
    def test_a_bad_saved_state_is_refused(self, change):
        state = {**Referee(DEAL).save(), **change}
        with pytest.raises(ValueError):
            Referee.restore(state)


# -- whole games through the console script -------------------------------------

def run(*args: str, script: str = "") -> subprocess.CompletedProcess[str]:
    return subprocess.run([*COMMAND, *args], input=script, capture_output=True,
                          text=True, encoding="utf-8", timeout=30)


def result_line(out: str) -> str:
    return out.rstrip("\n").splitlines()[-1]


def replay(out: str) -> tuple[Model, list[tuple[str, str]]]:
    """Replays the moves of a transcript on a model of the deal it shows, checking every
    picture printed after a move; the model and the (picture, side to move) sequence."""
    deal = PICTURE.search(out)
    assert deal is not None, out
    model = Model.from_picture(deal.group(0))
    positions = [(deal.group(0), "A")]
    for n, match in enumerate(MOVE_LINE.finditer(out), start=1):
        number, side, move = match.groups()
        assert int(number) == n
        assert side == positions[-1][1], "sides alternate, A first"
        model.play(move, side)
        shown = PICTURE.match(out, match.end() + 1)
        assert shown is not None and shown.group(0) == model.render()
        positions.append((shown.group(0), "B" if side == "A" else "A"))
    return model, positions


class TestBotGame:
    @pytest.mark.parametrize("game", range(3))
    def test_plays_to_a_proper_end(self, game):
        done = run("--bots", "--depth", "2")
        assert done.returncode == 0, done.stderr
        out = done.stdout
        model, positions = replay(out)
        assert len(positions) > 1
        assert out.count("(thought ") == len(positions) - 1
        owners = rules.owners_of_deal(positions[0][0])
        last = rules.cards_left(owners, positions[-1][0])
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
        for shown, _ in positions[:-1]:
            assert min(rules.cards_left(owners, shown).values()) > 0


class TestHumanGame:
    def test_a_rejected_move_changes_nothing_then_a_good_one_is_played(self):
        # A1A1 is refused on any deal; one of the twelve cells is a Normal card of A.
        cells = [r + c for r in "ABC" for c in "1234"]
        done = run("--depth", "1", script="A1A1\n" + "\n".join(cells) + "\n")
        assert done.returncode == 0, done.stderr
        out = done.stdout
        assert f"A> A1A1\n{rm.SAME_CELL}\nA> " in out
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
                                 stderr=slave, close_fds=True)
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
            assert until("A> ", mark) == f"a1a1\n{rm.SAME_CELL}\nA> "
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
