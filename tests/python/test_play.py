"""Board.play, str(board) and Board.get_legal_moves as Python code sees them."""

import random

import pytest

import rules_model as rm
from rules_model import Model

varno = pytest.importorskip("varno")
Player = varno.Player
PLAYERS = {"A": Player.A, "B": Player.B}
ROOM = "room-1"


def fresh():
    board = varno.Board()
    return board, Model.from_picture(str(board))


def snapshot(board):
    return str(board), board.get_legal_moves(Player.A), board.get_legal_moves(Player.B)


def reach(find, seed=0, boards=300, steps=40):
    """Plays random legal moves from fresh deals until `find(model)` returns something;
    returns (board, model, found). Boards cannot be set up directly, only played to."""
    rng = random.Random(seed)
    for _ in range(boards):
        board, model = fresh()
        for _ in range(steps):
            found = find(model)
            if found is not None:
                assert str(board) == model.render()
                return board, model, found
            side = rng.choice("AB")
            if not model.legal_moves(side):
                side = "B" if side == "A" else "A"
            moves = model.legal_moves(side)
            if not moves:
                break
            move = rng.choice(moves)
            model.play(move, side)
            assert board.play(move, PLAYERS[side], ROOM) is None
    pytest.fail("situation not reached")


def cells(model, state, owner=None, kind=None):
    return [name for name, (s, o, k) in zip(rm.CELL_NAMES, model.cells)
            if s == state and owner in (None, o) and kind in (None, k)]


def first(names):
    return names[0] if names else None


def other_than(name):
    return next(n for n in rm.CELL_NAMES if n != name)


# Finders: a model position -> (move text, side) that gets the wanted refusal, or None.
def _no_card(m):
    e = first(cells(m, rm.EMPTY))
    return e and (e, "A")


def _opponent_face_up(m):
    c = first(cells(m, rm.UP, "B"))
    return c and (c, "A")


def _own_figure_plain(m):
    f = first(cells(m, rm.UP, "B", "F"))
    return f and (f, "B")


def _same_empty(m):
    e = first(cells(m, rm.EMPTY))
    return e and (e + e, "A")


def _same_down_normal(m):
    d = first(cells(m, rm.DOWN, "A", "N"))
    return d and (d + d, "A")


def _down_figure_source(m):
    f = first(cells(m, rm.DOWN, "A", "F"))
    return f and (f + other_than(f), "A")


def _empty_source(m):
    e = first(cells(m, rm.EMPTY))
    return e and (e + other_than(e), "B")


def _other_sides_normal_source(m):
    n = first(cells(m, rm.UP, "B", "N"))
    return n and (n + other_than(n), "A")


def _own_normal_source(m):
    n = first(cells(m, rm.UP, "A", "N"))
    return n and (n + other_than(n), "A")


def _empty_target(m):
    f, e = first(cells(m, rm.UP, "A", "F")), first(cells(m, rm.EMPTY))
    return f and e and (f + e, "A")


REFUSALS = [
    ("no-card", _no_card, rm.NO_CARD),
    ("opponent-face-up", _opponent_face_up, rm.OPPONENT_FACE_UP),
    ("figure-needs-target", _own_figure_plain, rm.FIGURE_NEEDS_TARGET),
    ("same-cell-face-up", lambda m: ("B3B3", "A"), rm.SAME_CELL),
    ("same-cell-empty", _same_empty, rm.SAME_CELL),
    ("same-cell-face-down", _same_down_normal, rm.SAME_CELL),
    ("source-face-down", _down_figure_source, rm.SOURCE_NOT_FACE_UP),
    ("source-empty", _empty_source, rm.SOURCE_NOT_FACE_UP),
    ("other-sides-normal", _other_sides_normal_source, rm.NOT_YOUR_FIGURE),
    ("own-normal", _own_normal_source, rm.NOT_A_FIGURE),
    ("empty-target", _empty_target, rm.NO_TARGET_CARD),
]


def assert_refused(board, text, player, message):
    before = snapshot(board)
    with pytest.raises(ValueError) as info:
        board.play(text, player, ROOM)
    assert type(info.value) is ValueError
    assert info.value.args == (message,)
    assert str(info.value) == message
    assert snapshot(board) == before


@pytest.mark.parametrize("finder, message", [r[1:] for r in REFUSALS], ids=[r[0] for r in REFUSALS])
def test_position_refusals(finder, message):
    board, model, (text, side) = reach(finder)
    assert model.check(text, side) == message
    assert_refused(board, text, PLAYERS[side], message)


@pytest.mark.parametrize("text, message", [
    ("", rm.BAD_FORMAT),
    ("A", rm.BAD_FORMAT),
    ("A12", rm.BAD_FORMAT),
    ("A1 ", rm.BAD_FORMAT),
    (" A1", rm.BAD_FORMAT),
    ("A1B2C3", rm.BAD_FORMAT),
    ("a1", rm.BAD_COORDINATE),
    ("D1", rm.BAD_COORDINATE),
    ("A0", rm.BAD_COORDINATE),
    ("A5", rm.BAD_COORDINATE),
    ("1A", rm.BAD_COORDINATE),
    ("x1A1", rm.BAD_SOURCE),
    ("a1b2", rm.BAD_SOURCE),
    ("A1x1", rm.BAD_TARGET),
    ("A1C5", rm.BAD_TARGET),
    # Judged on UTF-8 bytes: length in bytes, then byte by byte.
    ("É1", rm.BAD_FORMAT),          # 3 bytes
    ("€", rm.BAD_FORMAT),           # 3 bytes
    ("A\x001", rm.BAD_FORMAT),      # a zero byte counts like any other
    ("é", rm.BAD_COORDINATE),       # 2 bytes
    ("\x00\x00", rm.BAD_COORDINATE),
    ("É1A", rm.BAD_SOURCE),         # 4 bytes, non-ASCII first byte
    ("AÉ1", rm.BAD_SOURCE),
    ("ÉÉ", rm.BAD_SOURCE),
    ("\U0001F0A1", rm.BAD_SOURCE),  # one character, 4 bytes
    ("A1é", rm.BAD_TARGET),
    ("A1\x00\x00", rm.BAD_TARGET),
])
def test_text_refusals(text, message):
    board, model = fresh()
    for side in "AB":
        assert model.check(text, side) == message
        assert_refused(board, text, PLAYERS[side], message)


def test_every_message_is_covered():
    covered = {r[2] for r in REFUSALS} | {rm.BAD_FORMAT, rm.BAD_COORDINATE, rm.BAD_SOURCE,
                                          rm.BAD_TARGET}
    assert covered == set(rm.MESSAGES)


def test_plain_move_on_face_down_card_removes_only_it():
    board, model, cell = reach(lambda m: first(cells(m, rm.DOWN, "B")))
    before = str(board)
    assert board.play(cell, Player.A, ROOM) is None
    model.play(cell, "A")
    after = str(board)
    assert after == model.render()
    assert after.count("[  --  ]") == before.count("[  --  ]") + 1
    assert after.count("[XXXXXX]") == before.count("[XXXXXX]") - 1


def test_figure_on_own_normal_turns_both_face_down():
    board, model = fresh()
    figure = cells(model, rm.UP, "A", "F")[0]
    normal = cells(model, rm.UP, "A", "N")[0]
    assert board.play(figure + normal, Player.A, ROOM) is None
    picture = str(board)
    assert picture.count("[XXXXXX]") == 2
    assert picture.count("[ AN ]") == 3 and picture.count("[ AF ]") == 1
    model.play(figure + normal, "A")
    assert picture == model.render()


def test_same_side_twice_in_a_row():
    board, model = fresh()
    for _ in range(2):
        move = model.legal_moves("B")[0]
        assert board.play(move, Player.B, ROOM) is None
        model.play(move, "B")
        assert str(board) == model.render()


def test_keywords_in_any_order_and_str_subclasses():
    class Text(str):
        pass

    board, model = fresh()
    move = model.legal_moves("A")[-1]
    assert board.play(_room_id=ROOM, player=Player.A, move_str=move) is None
    model.play(move, "A")
    move = model.legal_moves("B")[0]
    assert board.play(Text(move), Player.B, _room_id=Text("x")) is None
    model.play(move, "B")
    assert str(board) == model.render()
    assert board.get_legal_moves(player=Player.A) == model.legal_moves("A")


ARGUMENT_ERRORS = [
    (lambda b: b.play(),
     "Board.play() missing 3 required positional arguments: 'move_str', 'player', and '_room_id'"),
    (lambda b: b.play("A1"),
     "Board.play() missing 2 required positional arguments: 'player' and '_room_id'"),
    (lambda b: b.play("A1", Player.A),
     "Board.play() missing 1 required positional argument: '_room_id'"),
    (lambda b: b.play(player=Player.A),
     "Board.play() missing 2 required positional arguments: 'move_str' and '_room_id'"),
    (lambda b: b.play("A1", Player.A, ROOM, 4),
     "Board.play() takes 3 positional arguments but 4 were given"),
    (lambda b: b.play("A1", Player.A, ROOM, 4, side=1),
     "Board.play() takes 3 positional arguments but 4 were given"),
    (lambda b: b.play("A1", Player.A, ROOM, move_str="A1"),
     "Board.play() got multiple values for argument 'move_str'"),
    (lambda b: b.play("A1", Player.A, room=ROOM),
     "Board.play() got an unexpected keyword argument 'room'"),
    (lambda b: b.play(1, Player.A, ROOM),
     "argument 'move_str': 'int' object is not an instance of 'str'"),
    (lambda b: b.play(b"A1", Player.A, ROOM),
     "argument 'move_str': 'bytes' object is not an instance of 'str'"),
    (lambda b: b.play(None, 0, None),
     "argument 'move_str': 'None' is not an instance of 'str'"),
    (lambda b: b.play("A1", 0, ROOM),
     "argument 'player': 'int' object is not an instance of 'Player'"),
    (lambda b: b.play("A1", varno.CardType.Normal, None),
     "argument 'player': 'CardType' object is not an instance of 'Player'"),
    (lambda b: b.play("Z9", None, None),
     "argument 'player': 'None' is not an instance of 'Player'"),
    (lambda b: b.play("Z9", Player.A, None),
     "argument '_room_id': 'None' is not an instance of 'str'"),
    (lambda b: b.play("Z9", Player.A, 7),
     "argument '_room_id': 'int' object is not an instance of 'str'"),
    (lambda b: b.get_legal_moves(),
     "Board.get_legal_moves() missing 1 required positional argument: 'player'"),
    (lambda b: b.get_legal_moves(Player.A, side=Player.B),
     "Board.get_legal_moves() got an unexpected keyword argument 'side'"),
    (lambda b: b.get_legal_moves(0),
     "argument 'player': 'int' object is not an instance of 'Player'"),
]


@pytest.mark.parametrize("call, message", ARGUMENT_ERRORS, ids=[m for _, m in ARGUMENT_ERRORS])
def test_argument_errors(call, message):
    board, _ = fresh()
    before = snapshot(board)
    with pytest.raises(TypeError) as info:
        call(board)
    assert type(info.value) is TypeError
    assert str(info.value) == message
    assert snapshot(board) == before


def test_arguments_are_checked_before_the_move():
    board, model = fresh()
    move = model.legal_moves("A")[0]
    before = snapshot(board)
    with pytest.raises(TypeError, match="^argument '_room_id': 'None' is not an instance"):
        board.play(move, Player.A, None)
    with pytest.raises(TypeError, match="^argument 'player': 'int' object"):
        board.play(move, 0, ROOM)
    assert snapshot(board) == before
    assert board.play(move, Player.A, ROOM) is None


@pytest.mark.parametrize("args", [
    ("\ud800", Player.A, ROOM),
    ("A\udc00", 0, None),       # the text is converted first
    ("A1", Player.A, "\udfff"),  # the room id too, even for an allowed move
])
def test_lone_surrogates(args):
    board, model = fresh()
    if args[0] == "A1":
        args = (model.legal_moves("A")[0],) + args[1:]
    before = snapshot(board)
    with pytest.raises(UnicodeEncodeError):
        board.play(*args)
    assert snapshot(board) == before


def test_picture_of_a_fresh_deal():
    board, model = fresh()
    picture = str(board)
    assert len(picture) == 98 and picture.endswith("\n") and picture.isascii()
    assert [len(line) for line in picture.splitlines(keepends=True)] == [17, 27, 27, 27]
    assert sorted(picture[i:i + 6] for i in range(19, 98, 1) if picture[i] == "[") == sorted(
        ["[ AN ]"] * 4 + ["[ AF ]"] * 2 + ["[ BN ]"] * 4 + ["[ BF ]"] * 2)
    assert str(board) == picture
    assert "[ " not in repr(board) and repr(board) != picture


def test_legal_moves_of_a_fresh_deal():
    board, model = fresh()
    for side, player in PLAYERS.items():
        first_list = board.get_legal_moves(player)
        second_list = board.get_legal_moves(player)
        assert type(first_list) is list and all(type(m) is str for m in first_list)
        assert len(first_list) == 26
        assert first_list == second_list == model.legal_moves(side)
        assert first_list is not second_list
        first_list.append("junk")
        assert board.get_legal_moves(player) == second_list


def test_listed_texts_are_shared_across_calls_and_boards():
    # Every text comes from one set made for the process: equal texts are one object,
    # on every call and every board, and the lists themselves are fresh.
    board, other = varno.Board(), varno.Board()
    for player in PLAYERS.values():
        first, second = board.get_legal_moves(player), board.get_legal_moves(player)
        assert first == second and first is not second
        assert all(a is b for a, b in zip(first, second))
        shared = {move: move for move in first}
        for move in other.get_legal_moves(player):
            if move in shared:
                assert move is shared[move]
    # The texts stay intact however callers use them.
    texts = board.get_legal_moves(Player.A)
    before = list(map(str, texts))
    del texts[:]
    assert list(map(str, board.get_legal_moves(Player.A))) == before


def test_every_move_text_listed_anywhere_is_the_one_object():
    # Playing games to their end meets plain moves on every cell and targeted moves of
    # many pairs: each text, wherever it is listed, is one object.
    rng = random.Random(7)
    seen = {}
    for _ in range(40):
        board, model = fresh()
        side = "A"
        for _ in range(60):
            listed = board.get_legal_moves(PLAYERS[side])
            assert listed == model.legal_moves(side)
            for move in listed:
                assert seen.setdefault(move, move) is move
            if not listed:
                break
            move = rng.choice(listed)
            board.play(move, PLAYERS[side], ROOM)
            model.play(move, side)
            side = "B" if side == "A" else "A"
    assert len([m for m in seen if len(m) == 2]) == 12
    assert all(len(m) in (2, 4) and m.isascii() for m in seen)


def test_every_listed_move_is_accepted_on_its_own_deal():
    # A Board cannot be copied, so each listed move gets a deal of its own: the n-th
    # listed move of a fresh deal, for every n.
    for n in range(26):
        for side, player in PLAYERS.items():
            board, model = fresh()
            move = board.get_legal_moves(player)[n]
            assert board.play(move, player, ROOM) is None
            model.play(move, side)
            assert str(board) == model.render()
