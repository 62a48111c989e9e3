"""The module object, its registration and the properties of its classes."""

import gc
import importlib
import inspect
import re
import subprocess
import sys
import weakref

import pytest

import varno
from varno import Board, CardType, Player

CLASSES = [Board, Player, CardType]
CLASS_IDS = ["Board", "Player", "CardType"]
Py_TPFLAGS_HAVE_GC = 1 << 14
Py_TPFLAGS_BASETYPE = 1 << 10


# ---------------------------------------------------------------------------
# Registration


def test_all_lists_the_classes_in_order():
    assert type(varno.__all__) is list
    assert varno.__all__ == ["Player", "CardType", "Board"]


def test_doc_is_empty_string():
    assert varno.__doc__ == ""


def test_public_attributes_are_exactly_the_classes():
    public = {name for name in dir(varno) if not name.startswith("_")}
    assert public == {"Player", "CardType", "Board"}
    # Nothing of the test builds (armed faults) is in the shipped module.
    dunders = {name for name in dir(varno) if name.startswith("__")}
    assert set(dir(varno)) - public - dunders == set()
    assert varno.Player is Player
    assert varno.CardType is CardType
    assert varno.Board is Board


def test_star_import_gives_the_classes():
    namespace = {}
    exec("from varno import *", namespace)
    assert {k for k in namespace if k != "__builtins__"} == {"Player", "CardType", "Board"}
    assert namespace["Board"] is Board


def test_reimport_binds_the_same_objects(monkeypatch):
    first = sys.modules["varno"]
    a_before = Player.A
    monkeypatch.delitem(sys.modules, "varno")
    second = importlib.import_module("varno")
    assert second is not first
    assert second.__all__ == ["Player", "CardType", "Board"]
    assert second.__all__ is not first.__all__
    assert second.Board is Board
    assert second.Player is Player
    assert second.CardType is CardType
    assert second.Player.A is a_before
    assert second.CardType.Figure is CardType.Figure
    # Instances made through either module object are interchangeable.
    assert type(second.Board()) is Board


# ---------------------------------------------------------------------------
# Class properties


@pytest.mark.parametrize("cls", CLASSES, ids=CLASS_IDS)
def test_class_names(cls):
    name = cls.__name__
    assert name in CLASS_IDS
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == name
    assert repr(cls) == f"<class 'builtins.{name}'>"
    assert cls.__bases__ == (object,)


def test_board_instance_default_repr():
    board = Board()
    assert re.fullmatch(r"<builtins\.Board object at 0x[0-9a-f]+>", repr(board))


def test_docs_and_signatures():
    assert Board.__doc__ == ""
    assert Board.__text_signature__ == "()"
    assert str(inspect.signature(Board)) == "()"
    assert Player.__doc__ is None
    assert CardType.__doc__ is None


@pytest.mark.parametrize(
    "method, signature",
    [
        ("play", "($self, move_str, player, _room_id)"),
        ("get_legal_moves", "($self, player)"),
        ("play_bot", "($self, player, depth)"),
    ],
)
def test_method_signatures(method, signature):
    function = getattr(Board, method)
    assert function.__text_signature__ == signature
    assert function.__doc__ is None
    # The receiver shows as positional-only.
    assert str(inspect.signature(function)) == signature.replace("$self,", "self, /,")


@pytest.mark.parametrize("cls", CLASSES, ids=CLASS_IDS)
def test_not_subclassable(cls):
    assert not cls.__flags__ & Py_TPFLAGS_BASETYPE
    with pytest.raises(TypeError):

        class Derived(cls):
            pass


@pytest.mark.parametrize(
    "make", [Board, lambda: Player.A, lambda: CardType.Figure], ids=CLASS_IDS
)
def test_instances_take_no_attributes_nor_weakrefs(make):
    obj = make()
    assert not hasattr(obj, "__dict__")
    with pytest.raises(AttributeError):
        obj.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(obj)
    assert not gc.is_tracked(obj)
    assert not type(obj).__flags__ & Py_TPFLAGS_HAVE_GC


def test_board_compares_and_hashes_by_identity():
    first, second = Board(), Board()
    assert first == first
    assert first != second
    assert hash(first) == hash(first)
    assert len({first, second, first}) == 2
    with pytest.raises(TypeError):
        first < second


def test_class_objects_stay_mutable():
    Board.extra_attribute = 5
    try:
        assert Board().extra_attribute == 5
    finally:
        del Board.extra_attribute
    assert not hasattr(Board, "extra_attribute")


# ---------------------------------------------------------------------------
# Subinterpreters: the classes are process-wide, so a second interpreter must not
# load the module. Each case runs in a fresh process, so that a crash there cannot
# take the test run down with it.


def run_script(body):
    script = "import sys\nsys.path[:] = " + repr(sys.path) + "\n" + body
    return subprocess.run(
        [sys.executable, "-c", script],
        capture_output=True,
        text=True,
        timeout=60,
    )


# Runs in the subinterpreter: reports how the import ended through a file, since the
# subinterpreter has its own sys.stdout.
SUBINTERPRETER_CODE = """
import sys
sys.path[:] = {path!r}
try:
    import varno
except ImportError as error:
    outcome = "ImportError: " + str(error)
except BaseException as error:
    outcome = "other: " + type(error).__name__ + ": " + str(error)
else:
    outcome = "imported"
with open({report!r}, "w") as report:
    report.write(outcome)
"""

MAIN_STILL_WORKS = """
import varno
board = varno.Board()
text = str(board)
assert text.startswith("   1   2   3   4\\n"), text
assert varno.Player.A == 0 and int(varno.CardType.Figure) == 1
print("main ok")
"""

LEGACY_SUBINTERPRETER = """
import _testcapi
code = {code!r}
status = _testcapi.run_in_subinterp(code)
print("status", status)
"""

ISOLATED_SUBINTERPRETER = """
try:
    import _interpreters as interpreters
except ImportError:
    import _xxsubinterpreters as interpreters
interp = interpreters.create()
try:
    interpreters.run_string(interp, {code!r})
finally:
    interpreters.destroy(interp)
print("status done")
"""


def subinterpreter_available(module_names):
    for name in module_names:
        try:
            importlib.import_module(name)
            return True
        except ImportError:
            pass
    return False


@pytest.mark.parametrize("main_imports_first", [True, False], ids=["main-first", "sub-first"])
@pytest.mark.parametrize(
    "runner, needs",
    [
        (LEGACY_SUBINTERPRETER, ["_testcapi"]),
        (ISOLATED_SUBINTERPRETER, ["_interpreters", "_xxsubinterpreters"]),
    ],
    ids=["shared-gil", "isolated"],
)
def test_subinterpreter_import_is_refused(tmp_path, runner, needs, main_imports_first):
    if not subinterpreter_available(needs):
        pytest.skip("this interpreter offers no way to start a subinterpreter")
    report = tmp_path / "report.txt"
    code = SUBINTERPRETER_CODE.format(path=sys.path, report=str(report))
    body = runner.format(code=code) + MAIN_STILL_WORKS
    if main_imports_first:
        body = "import varno\nfirst_board = varno.Board()\n" + body
    result = run_script(body)
    assert result.returncode == 0, result.stderr
    assert "main ok" in result.stdout
    outcome = report.read_text()
    assert outcome.startswith("ImportError: "), outcome
    assert "varno" in outcome
    assert "subinterpreter" in outcome or "main interpreter" in outcome


def test_legacy_subinterpreter_reports_uncaught_import_error():
    # Without a handler in the subinterpreter the failure surfaces as its status.
    pytest.importorskip("_testcapi")
    result = run_script(
        'import _testcapi\n'
        'status = _testcapi.run_in_subinterp("import varno")\n'
        'print("status", status)\n' + MAIN_STILL_WORKS
    )
    assert result.returncode == 0, result.stderr
    assert "status -1" in result.stdout
    assert "ImportError" in result.stderr
    assert "varno" in result.stderr
    assert "main ok" in result.stdout


def test_boards_release_their_class():
    # Every Board holds a reference to its heap class and gives it back when freed;
    # rejected constructor calls take none. Garbage of earlier tests that holds Boards
    # is collected first, so that the collector cannot release any during the count.
    Board()
    gc.collect()
    before = sys.getrefcount(Board)
    for _ in range(1000):
        board = Board()
        str(board)
        del board
        with pytest.raises(TypeError):
            Board(1)
        with pytest.raises(TypeError):
            Board(x=1)
    assert sys.getrefcount(Board) == before
