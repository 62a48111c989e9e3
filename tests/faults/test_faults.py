"""The panic path, on a test build of the module whose faults can be armed from Python.

Run against the module in build/cpp/faults (make test-faults does so); the shipped module
has no `_arm_fault` and these tests refuse to run without it.
"""

import pytest

import varno
from varno import Board, Player

if not hasattr(varno, "_arm_fault"):
    pytest.fail("these tests need the fault-hook build of varno", pytrace=False)


def panic_of(call, site, message="broken invariant"):
    """Arms a fault at `site`, makes `call`, and returns the exception it raised."""
    varno._arm_fault(site, message)
    with pytest.raises(BaseException) as caught:
        call()
    return caught.value


def test_a_fault_becomes_the_panic_exception(capfd):
    board = Board()
    picture = str(board)
    error = panic_of(lambda: board.play("A1", Player.A, "room"), "Board.play()")
    panic = type(error)
    assert (panic.__module__, panic.__name__) == ("pyo3_runtime", "PanicException")
    assert panic.__mro__ == (panic, BaseException, object)
    assert not isinstance(error, Exception)
    assert error.args == ("broken invariant",)
    err = capfd.readouterr().err
    assert err.count("\n") == 1 and "internal fault" in err and "broken invariant" in err
    # A server's `except Exception` around a call does not swallow it.
    varno._arm_fault("Board.play()", "again")
    with pytest.raises(panic):
        try:
            board.play("A1", Player.A, "room")
        except Exception:
            pytest.fail("a panic was caught by except Exception")
    # The fault struck with the exclusive borrow held: it was released, nothing changed.
    assert str(board) == picture
    board.play(board.get_legal_moves(Player.A)[0], Player.A, "room")
    assert "PanicException" not in dir(varno)


@pytest.mark.parametrize(
    ("site", "call"),
    [
        ("Board.get_legal_moves()", lambda board: board.get_legal_moves(Player.B)),
        ("Board.play_bot()", lambda board: board.play_bot(Player.B, 2)),
        ("Board.__str__()", str),
        ("Board.__new__()", lambda board: Board()),
    ],
)
def test_every_entry_point_is_guarded(site, call):
    board = Board()
    first = panic_of(lambda: board.play("Z9", Player.A, "room"), "Board.play()")
    error = panic_of(lambda: call(board), site, "")
    assert type(error) is type(first)  # one class for the whole process
    assert len(error.args) == 1 and error.args[0]  # a generic text for a fault without one
    assert len(board.get_legal_moves(Player.A)) == 26  # no borrow left behind


def test_a_panic_raised_by_python_code_is_resumed(capfd):
    board = Board()
    panic = type(panic_of(lambda: board.get_legal_moves(Player.A), "Board.get_legal_moves()"))
    capfd.readouterr()
    raised = panic("from a depth")

    class Depth:
        def __index__(self):
            raise raised

    with pytest.raises(panic) as caught:
        board.play_bot(Player.A, Depth())
    assert caught.value is not raised
    assert caught.value.args == ("from a depth",)
    err = capfd.readouterr().err
    assert "resumed" in err and "from a depth" in err
    # The text goes over whole, whatever it holds.
    for text in ("a\x00b", "", "\ud800x"):
        raised = panic(text)
        with pytest.raises(panic) as caught:
            board.play_bot(Player.A, Depth())
        assert caught.value.args == (text,)
    # Not an ordinary failure of a comparison either: the member does not swallow it.
    with pytest.raises(panic):
        Player.A == Depth()
    assert board.play_bot(Player.A, 1) != ""
