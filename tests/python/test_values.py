"""Player and CardType: the members, their texts, integers and comparisons."""

import operator
import sys

import pytest
from hypothesis import given
from hypothesis import strategies as st

from varno import CardType, Player

MEMBERS = [
    (Player, "A", 0, "Player.A"),
    (Player, "B", 1, "Player.B"),
    (CardType, "Normal", 0, "CardType.Normal"),
    (CardType, "Figure", 1, "CardType.Figure"),
]
MEMBER_IDS = [text for *_, text in MEMBERS]
ALL = [getattr(cls, name) for cls, name, *_ in MEMBERS]


class Index:
    """An object that is an integer only through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class BrokenIndex:
    def __index__(self):
        raise ZeroDivisionError("no value")


class MyInt(int):
    pass


@pytest.mark.parametrize("cls, name, value, text", MEMBERS, ids=MEMBER_IDS)
def test_member(cls, name, value, text):
    member = getattr(cls, name)
    assert type(member) is cls
    assert member is getattr(cls, name)
    assert repr(member) == text
    assert str(member) == text
    assert f"{member}" == text
    assert int(member) == value
    assert type(int(member)) is int
    assert bool(member) is True


@pytest.mark.parametrize("cls, names", [(Player, {"A", "B"}), (CardType, {"Normal", "Figure"})])
def test_exactly_two_members(cls, names):
    members = {k for k, v in vars(cls).items() if type(v) is cls}
    assert members == names


@pytest.mark.parametrize("cls", [Player, CardType])
def test_not_instantiable(cls):
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        cls(0)
    with pytest.raises(TypeError):
        cls.__new__(cls)


# (member, other, expected result of ==)
EQUALITY = [
    (Player.A, Player.A, True),
    (Player.B, Player.B, True),
    (Player.A, Player.B, False),
    (CardType.Normal, CardType.Normal, True),
    (CardType.Normal, CardType.Figure, False),
    # Integers compare by value, bools being integers.
    (Player.A, 0, True),
    (Player.B, 1, True),
    (Player.A, 1, False),
    (Player.B, 0, False),
    (Player.A, False, True),
    (Player.B, True, True),
    (Player.A, True, False),
    (CardType.Figure, 1, True),
    (CardType.Normal, 0, True),
    (Player.B, MyInt(1), True),
    # The whole number counts, not its low byte or low word.
    (Player.B, 257, False),
    (Player.A, 256, False),
    (Player.A, 2**32, False),
    (Player.B, 2**32 + 1, False),
    (Player.B, -255, False),
    (Player.A, -1, False),
    # Beyond 64 bits: not convertible, so unequal.
    (Player.A, 2**64, False),
    (Player.B, 2**64 + 1, False),
    (Player.A, -(2**64), False),
    (Player.A, 2**200, False),
    # Same value, other class: neither converts the other.
    (Player.A, CardType.Normal, False),
    (Player.B, CardType.Figure, False),
    # Not integers.
    (Player.A, "A", False),
    (Player.A, "Player.A", False),
    (Player.A, 0.0, False),
    (Player.B, 1.0, False),
    (Player.A, None, False),
    (Player.A, [], False),
    (Player.A, object(), False),
    # Anything with __index__ compares by its value.
    (Player.B, Index(1), True),
    (Player.A, Index(0), True),
    (Player.A, Index(1), False),
    (CardType.Figure, Index(1), True),
    (Player.A, Index(2**64), False),
    (Player.A, BrokenIndex(), False),
]


@pytest.mark.parametrize("member, other, equal", EQUALITY)
def test_equality(member, other, equal):
    assert (member == other) is equal
    assert (other == member) is equal
    assert (member != other) is (not equal)
    assert (other != member) is (not equal)


@given(st.integers())
def test_equality_with_any_integer(n):
    assert (Player.A == n) is (n == 0)
    assert (n == Player.B) is (n == 1)
    assert (CardType.Figure != n) is (n != 1)


@pytest.mark.parametrize("op", [operator.lt, operator.le, operator.gt, operator.ge])
@pytest.mark.parametrize(
    "left, right",
    [
        (Player.A, Player.B),
        (Player.A, Player.A),
        (CardType.Normal, CardType.Figure),
        (Player.B, 0),
        (0, Player.B),
        (Player.A, Index(1)),
        (Player.A, CardType.Figure),
    ],
)
def test_ordering_raises(op, left, right):
    with pytest.raises(TypeError):
        op(left, right)


@pytest.mark.parametrize("member", ALL, ids=MEMBER_IDS)
def test_unhashable(member):
    assert type(member).__hash__ is None
    with pytest.raises(TypeError):
        hash(member)
    with pytest.raises(TypeError):
        {member}
    with pytest.raises(TypeError):
        {member: 1}


@pytest.mark.parametrize("member", ALL, ids=MEMBER_IDS)
def test_not_an_index(member):
    with pytest.raises(TypeError):
        operator.index(member)
    with pytest.raises(TypeError):
        [10, 20][member]
    with pytest.raises(TypeError):
        range(member)


@pytest.mark.parametrize("member", ALL, ids=MEMBER_IDS)
def test_slots_keep_reference_counts(member):
    # The members live for the whole process: a slot that dropped or kept one
    # reference too many would show up here long before it crashed.
    cls = type(member)
    other = ALL[(ALL.index(member) + 1) % len(ALL)]
    operations = [
        lambda: member == member,
        lambda: member != other,
        lambda: member == 5,
        lambda: member == Index(0),
        lambda: member == BrokenIndex(),
        lambda: member == 2**70,
        lambda: member == "x",
        lambda: repr(member),
        lambda: int(member),
        lambda: getattr(cls, "A", None),
    ]
    for operation in operations:
        operation()
    before = (sys.getrefcount(member), sys.getrefcount(other), sys.getrefcount(cls))
    for _ in range(1000):
        for operation in operations:
            operation()
        for failing in (
            lambda: member < other,
            lambda: hash(member),
            lambda: operator.index(member),
        ):
            with pytest.raises(TypeError):
                failing()
    after = (sys.getrefcount(member), sys.getrefcount(other), sys.getrefcount(cls))
    assert after == before
