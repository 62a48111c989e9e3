"""The hosts' texts in English and Portuguese: the one table of the module's rule
messages against a real board, and the terminal host in either language."""

from __future__ import annotations

import io
import os
import re
import string
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("varno")
import varno  # noqa: E402
from varno_play import texts  # noqa: E402
from varno_play.host import Host  # noqa: E402
from varno_play.rules import REASONS, Outcome  # noqa: E402

SCRIPT = Path(sys.executable).parent / "varno-play"
COMMAND = [str(SCRIPT)] if SCRIPT.exists() else [sys.executable, "-m", "varno_play"]
LOCALE = ("LC_ALL", "LC_MESSAGES", "LANG")

# A position from which A can provoke each of the module's rule messages.
EVERY_REFUSAL = "AN AF BN BF / af -- AN BN / BN AN BF AN"
PROVOKING = ["A1B", "a1", "B2", "A3", "A2", "x1A1", "A1x1", "A2A2", "B1A3", "A4A1", "A1A3",
             "A2B2"]


def test_the_table_is_exactly_the_modules_twelve_messages_in_order() -> None:
    board = varno.Board()
    board.__setstate__(EVERY_REFUSAL)
    provoked = []
    for move in PROVOKING:
        with pytest.raises(ValueError) as refused:
            board.play(move, varno.Player.A, "test")
        provoked.append(str(refused.value))
    assert provoked == list(texts.RULE_MESSAGES)
    assert len(set(texts.RULE_CODES)) == 12
    for message in provoked:
        assert texts.rule_text(message, "pt") == message
        assert texts.rule_text(message, "en") not in provoked
    assert texts.rule_text("Mensagem nova.", "en") == "Mensagem nova."


def test_every_text_in_both_languages_with_the_same_fields() -> None:
    def fields(template: str) -> set[str]:
        return {name for _, name, _, _ in string.Formatter().parse(template) if name}

    assert texts.TEXTS["en"].keys() == texts.TEXTS["pt"].keys()
    for key, english in texts.TEXTS["en"].items():
        assert fields(english) == fields(texts.TEXTS["pt"][key]), key
    assert texts.OUTCOME_REASONS == REASONS


@pytest.mark.parametrize(("environ", "lang"), [
    ({}, "en"),
    ({"LANG": "pt_PT.UTF-8"}, "pt"),
    ({"LANG": "pt_BR"}, "pt"),
    ({"LANG": "C.UTF-8"}, "en"),
    ({"LANG": "en_GB.UTF-8", "LC_MESSAGES": "pt_PT.UTF-8"}, "pt"),
    ({"LANG": "pt_PT.UTF-8", "LC_ALL": "de_DE.UTF-8"}, "en"),
    ({"LANG": "pt_PT.UTF-8", "LC_ALL": ""}, "pt"),
])
def test_the_language_of_a_locale(environ: dict[str, str], lang: str) -> None:
    assert texts.language_of(environ) == lang


def run(*args: str, script: str = "", **locale: str) -> str:
    environ = {name: value for name, value in os.environ.items() if name not in LOCALE}
    done = subprocess.run([*COMMAND, *args], input=script, capture_output=True, text=True,
                          encoding="utf-8", timeout=60, env={**environ, **locale})
    assert done.returncode == 0, done.stderr
    return done.stdout


class TestTheTerminalHost:
    def test_portuguese(self) -> None:
        out = run("--lang", "pt", "--depth", "1", script="A1A1\n?\nq\n")
        assert out.startswith("varno-play: tu jogas com A, o bot com B (profundidade 1).\n")
        assert "Joga A (tu). Cartas na grelha: A 6, B 6." in out
        assert ("A> A1A1\nNão podes virar a própria Figura.\nA> ?\n"
                "Jogadas válidas de A (26):") in out
        assert "Comandos: ? ou ajuda mostra isto, q ou sair acaba o jogo." in out
        assert "Ao fim de 300 jogadas o jogo é empate." in out
        assert out.endswith("Resultado: jogo abandonado (A saiu)\n")
        assert "Legal" not in out and "Result:" not in out

    def test_english_even_in_a_portuguese_locale(self) -> None:
        out = run("--lang", "en", "--depth", "1", script="A1A1\nsair\n", LANG="pt_PT.UTF-8")
        assert "A> A1A1\nYou cannot turn your own Figure.\nA> sair\n" in out
        assert out.endswith("Result: game abandoned (A quit)\n")

    def test_the_locale_chooses_by_default(self) -> None:
        out = run("--bots", "--depth", "1", LANG="pt_PT.UTF-8")
        moves = re.findall(r"^Jogada (\d+): ([AB]) \(bot\) jogou [A-C][1-4](?:[A-C][1-4])? "
                           r"\(pensou \d+,\d\d s\)\.$", out, re.M)
        assert [int(n) for n, _ in moves] == list(range(1, len(moves) + 1))
        assert re.search(r"\nResultado: ([AB] ganha \([AB] já não tem cartas\)"
                         r"|empate \(.+\))\n$", out), out[-200:]
        english = run("--bots", "--depth", "1", LANG="en_US.UTF-8", LC_ALL="C")
        assert english.splitlines()[-1].startswith("Result: ")

    def test_help_and_errors(self) -> None:
        done = subprocess.run([*COMMAND, "--lang", "pt", "--help"], capture_output=True,
                              text=True, encoding="utf-8", timeout=30)
        assert "Joga varno no terminal" in done.stdout and "Regras desta mesa:" in done.stdout
        done = subprocess.run([*COMMAND, "--lang", "pt", "--humans", "--side", "B"],
                              capture_output=True, text=True, encoding="utf-8", timeout=30)
        assert done.returncode == 2 and "--side é para um jogo contra o bot" in done.stderr

    def test_a_message_the_table_does_not_know_is_shown_as_it_is(self) -> None:
        class NewModule:
            """A board whose rules answer with a message newer than the table."""

            def __init__(self) -> None:
                self.board = varno.Board()
                self.get_legal_moves = self.board.get_legal_moves
                self.play_bot = self.board.play_bot
                self.__getstate__ = self.board.__getstate__

            def play(self, move: str, player: varno.Player, room: str) -> None:
                raise ValueError("Jogada proibida às terças.")

            def __str__(self) -> str:
                return str(self.board)

        out = io.StringIO()
        host = Host(bots=("B",), depth=1, stdin=io.StringIO("A1\n"), stdout=out,
                    board=NewModule(), lang="en")
        assert host.run() == "game abandoned (end of input)"
        assert "A> A1\nJogada proibida às terças.\nA> " in out.getvalue()


def test_results_in_portuguese() -> None:
    assert [Outcome("B" if reason == "no_cards" else None, reason).text("pt")
            for reason in REASONS] == [
        "B ganha (A já não tem cartas)", "empate (nenhum dos lados tem cartas)",
        "empate (a mesma posição 3 vezes)", "empate (300 jogadas feitas)",
        "empate (nenhum dos lados pode jogar)"]
