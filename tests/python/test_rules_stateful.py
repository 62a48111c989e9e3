"""Random sequences of moves, allowed and refused, by either side in any order, played on
a real Board and on the model; after every step both must agree on the outcome, the
picture and both sides' listings."""

import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule

import rules_model as rm
from rules_model import Model

varno = pytest.importorskip("varno")
PLAYERS = {"A": varno.Player.A, "B": varno.Player.B}
ROOM = "room"

SIDES = st.sampled_from("AB")
JUNK = st.one_of(
    st.text(max_size=5),
    st.text(alphabet="ABCDabc012345 \x00É€", max_size=5),
    st.sampled_from(["É1", "ÉÉ", "AÉ1", "A1é", "é", "\U0001F0A1", "\ud800", "A1\udc00", "A1A1"]),
)


class RulesMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        # The deal is random and cannot be seeded: the model reads it from the picture.
        self.board = varno.Board()
        self.model = Model.from_picture(str(self.board))

    def attempt(self, text, side):
        listed = text in self.board.get_legal_moves(PLAYERS[side])
        try:
            expected = self.model.check(text, side)
        except UnicodeEncodeError:
            with pytest.raises(UnicodeEncodeError):
                self.board.play(text, PLAYERS[side], ROOM)
            return
        try:
            result = self.board.play(text, PLAYERS[side], ROOM)
        except ValueError as error:
            assert type(error) is ValueError
            assert error.args == (expected,), (text, side, str(self.board))
            assert not listed, (text, side, str(self.board))
        else:
            assert result is None
            assert expected is None, (text, side, expected, str(self.board))
            assert listed, (text, side, str(self.board))
            self.model.play(text, side)

    # The choice is drawn the same way whatever the deal, so that Hypothesis can replay
    # a run on another deal.
    @rule(side=SIDES, choice=st.integers(0, 31))
    def play_listed(self, side, choice):
        moves = self.model.legal_moves(side)
        if moves:
            self.attempt(moves[choice % len(moves)], side)

    @rule(side=SIDES, text=st.sampled_from(rm.COORDINATE_TEXTS))
    def play_any_cells(self, side, text):
        self.attempt(text, side)

    @rule(side=SIDES, text=JUNK)
    def play_junk(self, side, text):
        self.attempt(text, side)

    @invariant()
    def board_matches_model(self):
        assert str(self.board) == self.model.render()
        for side, player in PLAYERS.items():
            assert self.board.get_legal_moves(player) == self.model.legal_moves(side)


RulesMachine.TestCase.settings = settings(
    max_examples=300,
    stateful_step_count=80,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
)
TestRules = RulesMachine.TestCase
