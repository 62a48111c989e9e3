"""Whatever Python code hands the module — any text, any object, in any argument, by
position or keyword — a call either does its job or raises one of the documented
exceptions, and a refused call leaves the board as it was and usable."""

import operator
import os
import random

import pytest
from hypothesis import HealthCheck, event, example, given, settings
from hypothesis import strategies as st

import rules_model as rm
from rules_model import Model

varno = pytest.importorskip("varno")
Board, CardType, Player = varno.Board, varno.CardType, varno.Player
PLAYERS = {"A": Player.A, "B": Player.B}
SANITIZE = bool(os.environ.get("VARNO_SANITIZE"))
SETTINGS = settings(max_examples=40 if SANITIZE else 700, deadline=None,
                    suppress_health_check=[HealthCheck.too_slow])


def played_board(seed, moves):
    """A board and its model after `moves` random legal moves, sides alternating."""
    rng = random.Random(seed)
    board = Board()
    model = Model.from_picture(str(board))
    for turn in range(moves):
        side = "AB"[turn % 2]
        legal = model.legal_moves(side)
        if legal:
            move = rng.choice(legal)
            board.play(move, PLAYERS[side], "room")
            model.play(move, side)
    return board, model


def snapshot(board):
    return str(board), board.get_legal_moves(Player.A), board.get_legal_moves(Player.B)


# Any code point, lone surrogates included; text near the move syntax; multi-byte
# characters whose UTF-8 forms are 2 or 4 bytes long.
ANY_CHARACTER = st.characters(exclude_categories=())
TEXTS = st.one_of(
    st.text(ANY_CHARACTER, max_size=8),
    st.text(st.one_of(st.sampled_from("ABCD01245a\x00"), st.integers(0xD800, 0xDFFF).map(chr),
                      ANY_CHARACTER), max_size=5),
    st.sampled_from(rm.COORDINATE_TEXTS),
    st.sampled_from(["é", "é1", "ÉÉ", "A\u0301", "\U0001f0a1", "A\U0001f0a1"]),
)


@SETTINGS
@given(seed=st.integers(0, 2**32), moves=st.integers(0, 30), side=st.sampled_from("AB"),
       texts=st.lists(TEXTS, min_size=1, max_size=6))
@example(seed=0, moves=0, side="A", texts=["A" * 10**6, "A1" + "\x00" * 10**6,
                                            "\ud800" * 10**6, "\x00\x00", "A1\x00", "\x00"])
def test_any_text_is_played_or_refused(seed, moves, side, texts):
    board, model = played_board(seed, moves)
    player = PLAYERS[side]
    for text in texts:
        before = snapshot(board)
        listed = text in before[1 if side == "A" else 2]
        try:
            expected = model.check(text, side)
        except UnicodeEncodeError:
            expected = UnicodeEncodeError  # no UTF-8 form: the interpreter's error
        try:
            board.play(text, player, "room")
        except UnicodeEncodeError as error:
            event("UnicodeEncodeError")
            assert expected is UnicodeEncodeError and type(error) is UnicodeEncodeError
            assert snapshot(board) == before
        except ValueError as error:
            event("refused")
            assert type(error) is ValueError and error.args == (expected,)
            assert error.args[0] in rm.MESSAGES and not listed
            assert snapshot(board) == before
        else:
            event("played")
            assert expected is None and listed
            model.play(text, side)
            assert str(board) == model.render()


class Failure(Exception):
    """Raised by the hostile objects' own methods."""


class Hostile:
    """Every protocol method the module might be tempted to call raises."""

    def _fail(self, *args):
        raise Failure("hostile")

    __index__ = __int__ = __float__ = __str__ = __len__ = __iter__ = _fail
    __bool__ = __hash__ = __eq__ = __ne__ = __lt__ = _fail


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Text(str):
    """Equal to a move as a str, lying about it through every method."""

    def _fail(self, *args):
        raise Failure("text")

    __eq__ = __ne__ = __hash__ = __len__ = __iter__ = __getitem__ = __str__ = _fail
    encode = _fail


class Number(int):
    __index__ = __int__ = Hostile._fail


# No depth between 4 and 2**32 - 1: a search that deep from an early position runs for ages.
DEPTH_LIKE = st.one_of(st.integers(-2**70, 3), st.integers(2**32, 2**80))
OBJECTS = st.one_of(
    st.none(), st.booleans(), DEPTH_LIKE, st.floats(), st.text(max_size=5), st.binary(max_size=4),
    st.lists(st.integers(0, 3), max_size=3), st.tuples(st.text(max_size=2)), st.builds(object),
    st.builds(Hostile), st.builds(Index, st.one_of(DEPTH_LIKE, st.text(max_size=2), st.none(),
                                                   st.floats())),
    st.builds(Text, st.sampled_from(rm.COORDINATE_TEXTS + ["", "A1A", "\ud800"])),
    st.builds(Number, DEPTH_LIKE), st.sampled_from(rm.COORDINATE_TEXTS[:12]),
    st.sampled_from([Player.A, Player.B, CardType.Normal, CardType.Figure, Player, CardType,
                     Board, varno]),
    st.builds(Board),
)
NAMES = st.sampled_from(["move_str", "player", "_room_id", "depth", "room_id", "self", "x"])
# Values a parameter accepts, some in disguise; drawn half the time.
FITTING = {
    "move_str": st.one_of(st.sampled_from(rm.COORDINATE_TEXTS[:60]),
                          st.builds(Text, st.sampled_from(rm.COORDINATE_TEXTS[:60]))),
    "player": st.sampled_from([Player.A, Player.B]),
    "_room_id": st.one_of(st.text(max_size=3), st.builds(Text, st.text(max_size=3))),
    "depth": st.one_of(st.integers(0, 3), st.builds(Index, st.integers(0, 3)),
                       st.builds(Number, st.integers(0, 3))),
}
PARAMETERS = {"play": ["move_str", "player", "_room_id"], "get_legal_moves": ["player"],
              "play_bot": ["player", "depth"]}
ALLOWED = (TypeError, ValueError, OverflowError, Failure)


def mostly(fitting):
    """`fitting` three times out of four, else any object (one_of would weigh each of
    the alternatives of OBJECTS like `fitting`)."""
    return st.integers(0, 3).flatmap(lambda i: fitting if i else OBJECTS)


def argument(name, fitting):
    return mostly(fitting[name]) if name in fitting else OBJECTS


@SETTINGS
@given(seed=st.integers(0, 2**32), moves=st.integers(0, 20), data=st.data(),
       method=st.sampled_from(["play", "get_legal_moves", "play_bot"]), unbound=st.booleans())
def test_any_arguments_to_the_methods(seed, moves, data, method, unbound):
    board, model = played_board(seed, moves)
    receiver = data.draw(mostly(st.just(board)), label="self") if unbound else board
    if isinstance(receiver, Board) and receiver is not board:  # a fresh deal of its own
        board, model = receiver, Model.from_picture(str(receiver))
    before = snapshot(board)
    # The deal is random: what is drawn must not depend on it, only what it stands for.
    listed = before[1] + before[2] or ["A1"]
    legal = st.integers(0, 999).map(lambda i: listed[i % len(listed)])
    fitting = dict(FITTING, move_str=st.one_of(legal, st.builds(Text, legal), FITTING["move_str"]))
    names = PARAMETERS[method]
    count = data.draw(st.one_of(st.just(len(names)), st.integers(0, len(names) + 1)),
                      label="positional")
    args = [data.draw(argument(names[i], fitting) if i < len(names) else OBJECTS,
                      label=f"args[{i}]") for i in range(count)]
    extra = data.draw(st.sampled_from([[], [], [], ["x"]]).flatmap(
        lambda e: st.lists(NAMES, min_size=len(e), max_size=len(e))), label="extra keyword")
    kwargs = {name: data.draw(argument(name, fitting), label=name)
              for name in names[count:] + extra}
    try:
        result = getattr(Board, method)(receiver, *args, **kwargs)
    except ALLOWED as error:
        event(f"{method}: {type(error).__name__}")
        assert snapshot(board) == before
    else:
        event(f"{method}: done")
        called = dict(zip(names, args), **kwargs)
        listing = before[1] if called["player"] is Player.A else before[2]
        if method == "play":
            text = str.__str__(called["move_str"])  # the text itself, whatever its class says
            assert result is None and text in listing
            model.play(text, "A" if called["player"] is Player.A else "B")
            assert str(board) == model.render()
        elif method == "get_legal_moves":
            assert result == listing
        else:
            assert result == "" or result in listing
            assert snapshot(board) == before
    player = Player.A if before[1] else Player.B
    move = board.play_bot(player, 1)  # no borrow was left behind
    if move:
        board.play(move, player, "room")


@SETTINGS
@given(args=st.lists(OBJECTS, max_size=3), kwargs=st.dictionaries(NAMES, OBJECTS, max_size=2),
       other=OBJECTS, member=st.sampled_from([Player.A, Player.B, CardType.Normal,
                                               CardType.Figure]))
def test_any_arguments_to_the_constructor_and_the_members(args, kwargs, other, member):
    if args or kwargs:
        with pytest.raises(TypeError):
            Board(*args, **kwargs)
    for compare in (operator.eq, operator.ne):
        for left, right in ((member, other), (other, member)):
            try:
                assert type(compare(left, right)) is bool
            except Failure:
                assert isinstance(other, (Hostile, Text))  # its own __eq__, tried in turn
    for order in (operator.lt, operator.ge):
        with pytest.raises((TypeError, Failure)):
            order(member, other)
    with pytest.raises(TypeError):
        type(member)(*args, **kwargs)
    assert int(member) in (0, 1)  # no borrow of the member was left behind
