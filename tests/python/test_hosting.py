"""What a game server runs into: forked workers, threads that outlive the interpreter,
memory and recursion running out, and thread pools asking the bot."""

import json
import multiprocessing
import os
import shutil
import signal
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from varno import Board, Player

SANITIZED = bool(os.environ.get("VARNO_SANITIZE"))


def run_child(code, *args, env=None, timeout=120):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code), *args],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=env,
    )


def deals(count=3):
    return tuple(str(Board()) for _ in range(count))


def test_forked_children_and_their_parent_deal_different_games():
    Board()  # the parent's generator is seeded before the forks
    readers = []
    for _ in range(3):
        read_end, write_end = os.pipe()
        pid = os.fork()
        if pid == 0:
            os.close(read_end)
            os.write(write_end, json.dumps(deals()).encode())
            os._exit(0)
        os.close(write_end)
        readers.append((pid, read_end))
    seen = [deals()]
    for pid, read_end in readers:
        with os.fdopen(read_end) as pipe:
            seen.append(tuple(json.loads(pipe.read())))
        assert os.waitpid(pid, 0)[1] == 0
    assert len(set(seen)) == len(seen), seen


def deal_in_worker(queue):
    queue.put(deals())


@pytest.mark.parametrize("method", ["fork", "forkserver", "spawn"])
def test_multiprocessing_workers_deal_different_games(method):
    context = multiprocessing.get_context(method)
    Board()
    queue = context.Queue()
    workers = [context.Process(target=deal_in_worker, args=(queue,)) for _ in range(3)]
    for worker in workers:
        worker.start()
    seen = [queue.get(timeout=60) for _ in workers] + [deals()]
    for worker in workers:
        worker.join(timeout=60)
        assert worker.exitcode == 0
    assert len(set(seen)) == len(seen), seen


def test_daemon_threads_inside_a_call_at_shutdown_exit_cleanly():
    # The threads ask for the interpreter lock back (inside __index__) while the
    # interpreter finalizes; it ends them there with a forced unwind through the module.
    child = """
        import threading, time, varno
        class Depth:
            def __index__(self):
                while True:
                    time.sleep(0.001)
        board = varno.Board()
        for _ in range(8):
            threading.Thread(target=board.play_bot, args=(varno.Player.A, Depth()),
                             daemon=True).start()
        time.sleep(0.05)
    """
    for _ in range(6):
        result = run_child(child)
        assert result.returncode == 0, result.stderr[-2000:]
        assert "internal fault" not in result.stderr


def test_the_panic_type_exists_once_the_module_is_imported():
    # Created by the import, so an error path never has to create it.
    result = run_child("""
        import gc, varno
        print(sum(isinstance(t, type) and t.__name__ == "PanicException" for t in gc.get_objects()))
    """)
    assert result.stdout.split() == ["1"], result.stderr


def test_errors_near_the_recursion_limit_and_out_of_memory_do_not_abort():
    result = run_child("""
        import resource, sys, varno
        board = varno.Board()
        raised = set()
        def attempt():
            try:
                board.play("\\ud800", varno.Player.A, "room")
            except (UnicodeEncodeError, RecursionError, MemoryError) as error:
                raised.add(type(error).__name__)
        def dive(depth):
            try:
                sorted([0], key=lambda _: dive(depth + 1))
            except RecursionError:
                pass
            attempt()
        dive(0)
        used = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (used + (32 << 20), resource.RLIM_INFINITY))
        hold = []
        for size in (1 << 20, 1 << 12, 64):
            try:
                while True:
                    hold.append(bytearray(size))
            except MemoryError:
                pass
        for _ in range(100):
            attempt()
        del hold
        print(sorted(raised))
    """)
    assert result.returncode == 0, result.stderr[-2000:]
    assert "UnicodeEncodeError" in result.stdout


@pytest.fixture
def shim(tmp_path):
    """The failing allocator (failing_malloc.c), built for the test."""
    if shutil.which("cc") is None:
        pytest.skip("needs a C compiler for the shim")
    built = tmp_path / "failing_malloc.so"
    source = Path(__file__).with_name("failing_malloc.c")
    subprocess.run(["cc", "-shared", "-fPIC", "-O2", "-o", built, source], check=True)
    return built


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's allocator is preloaded already")
def test_a_failed_allocation_of_any_result_is_a_memory_error(shim):
    child = """
        import copy, ctypes, json, sys
        from varno import Board, Player
        shim = ctypes.CDLL(sys.argv[1])
        board = Board()
        before = board.__getstate__()
        moves = board.get_legal_moves(Player.A)
        bot = board.play_bot(Player.A, 2)
        def size_of_text(text):
            return sys.getsizeof("x" * len(text))
        cases = {
            "str": (lambda: str(board), size_of_text(str(board))),
            "state": (board.__getstate__, size_of_text(before)),
            "moves list": (lambda: board.get_legal_moves(Player.A), 8 * len(moves)),
            "move text": (lambda: board.get_legal_moves(Player.A), size_of_text(moves[0])),
            "bot move": (lambda: board.play_bot(Player.A, 2), size_of_text(bot)),
            "repr": (lambda: repr(Player.A), size_of_text("Player.A")),
            "copy": (lambda: copy.copy(board), sys.getsizeof(board)),
        }
        outcome = {}
        for name, (make, size) in cases.items():
            outcome[name] = "never failed"
            for _ in range(20):  # another object of that size may take the failure first
                shim.fail_next_allocation_of(size)
                try:
                    make()
                except MemoryError:
                    outcome[name] = "MemoryError"
                except BaseException as error:
                    outcome[name] = type(error).__module__ + "." + type(error).__name__
                shim.fail_next_allocation_of(0)
                if outcome[name] != "never failed":
                    break
            assert board.__getstate__() == before and str(board)
        print(json.dumps(outcome))
    """
    env = dict(os.environ, PYTHONMALLOC="malloc", LD_PRELOAD=str(shim))
    result = run_child(child, str(shim), env=env)
    assert result.returncode == 0, result.stderr[-2000:]
    outcome = json.loads(result.stdout)
    # The move texts are the process's own, made at import: handing one out allocates
    # nothing, so nothing can fail there.
    shared = {"move text", "bot move"}
    assert outcome == {name: "never failed" if name in shared else "MemoryError"
                       for name in outcome}, outcome
    assert "internal fault" not in result.stderr


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's allocator is preloaded already")
def test_an_import_that_cannot_make_the_move_texts_fails_and_can_be_retried(shim):
    child = """
        import ctypes, sys
        shim = ctypes.CDLL(sys.argv[1])
        texts = sys.getsizeof(tuple(range(156)))  # the module's tuple of every move text
        shim.fail_next_allocation_of(texts)
        try:
            import varno
        except MemoryError:
            print("MemoryError")
        shim.fail_next_allocation_of(0)
        sys.modules.pop("varno", None)
        import varno
        board = varno.Board()
        first, second = board.get_legal_moves(varno.Player.A), board.get_legal_moves(varno.Player.A)
        assert len(first) == 26 and all(a is b for a, b in zip(first, second))
        print("retried")
    """
    env = dict(os.environ, PYTHONMALLOC="malloc", LD_PRELOAD=str(shim))
    result = run_child(child, str(shim), env=env)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.split() == ["MemoryError", "retried"]
    assert "internal fault" not in result.stderr


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's allocator is preloaded already")
def test_an_import_short_of_memory_at_any_allocation_is_a_memory_error_and_can_be_retried(shim):
    # The module's exec step is run once for each of its allocations, in a forked child
    # in which exactly that allocation fails: every one must end the import with
    # MemoryError (never the panic), after which a second import succeeds. A failure
    # that strikes after the exec step, in the import machinery, leaves it imported.
    child = """
        import ctypes, importlib.util, json, os, sys
        shim = ctypes.CDLL(sys.argv[1])
        spec = importlib.util.find_spec("varno")
        module = importlib.util.module_from_spec(spec)  # made here, run in each child

        def attempt(count):
            shim.fail_allocation_after(count)
            try:
                spec.loader.exec_module(module)
                outcome = "imported"
            except MemoryError:
                outcome = "MemoryError"
            except BaseException as error:
                outcome = type(error).__module__ + "." + type(error).__name__
            if shim.fail_allocation_after(0) != 0:
                return "untouched"  # the exec step made fewer allocations than count
            again = importlib.util.module_from_spec(spec)
            spec.loader.exec_module(again)
            board = again.Board()
            assert again.__all__ == ["Player", "CardType", "Board"]
            assert len(board.get_legal_moves(again.Player.A)) == 26
            return outcome

        outcomes = {}
        for count in range(1, 20000):
            read_end, write_end = os.pipe()
            pid = os.fork()
            if pid == 0:
                os.close(read_end)
                try:
                    outcome = attempt(count)
                except BaseException as error:
                    outcome = "retry failed: " + repr(error)
                os.write(write_end, outcome.encode())
                os._exit(0)
            os.close(write_end)
            with os.fdopen(read_end) as pipe:
                outcome = pipe.read() or "crashed"
            os.waitpid(pid, 0)
            if outcome == "untouched":
                break
            outcomes[outcome] = outcomes.get(outcome, 0) + 1
        print(json.dumps(outcomes))
    """
    env = dict(os.environ, PYTHONMALLOC="malloc", LD_PRELOAD=str(shim))
    result = run_child(child, str(shim), env=env)
    assert result.returncode == 0, result.stderr[-2000:]
    outcomes = json.loads(result.stdout)
    assert outcomes.pop("MemoryError", 0) > 150, result.stdout  # the move texts alone are 157
    outcomes.pop("imported", None)
    if sys.version_info[:3] == (3, 13, 0):
        # This interpreter corrupts a class's dict when growing it fails while it makes
        # the class, and crashes on its next insertion: its fault, not the module's.
        assert outcomes.pop("crashed", 0) <= 2, result.stdout
    assert outcomes == {}, result.stdout
    assert "internal fault" not in result.stderr


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's quarantine holds freed memory")
def test_a_thread_pool_asking_the_bot_keeps_memory_bounded():
    result = run_child("""
        from concurrent.futures import ThreadPoolExecutor
        from varno import Board, Player
        def resident():
            with open("/proc/self/status") as status:
                for line in status:
                    if line.startswith("VmRSS:"):
                        return int(line.split()[1]) * 1024
        board = Board()
        start = resident()
        def searches(_):
            return [board.play_bot(Player.A, 6) for _ in range(20)]
        with ThreadPoolExecutor(16) as pool:
            answers = {move for batch in pool.map(searches, range(16)) for move in batch}
        print(start, resident(), len(answers))
    """)
    assert result.returncode == 0, result.stderr[-2000:]
    start, end, distinct = map(int, result.stdout.split())
    assert distinct == 1
    assert end - start < 64 << 20, (start, end)


def test_a_search_nested_in_a_signal_handler_uses_a_table_of_its_own():
    board = Board()
    other = Board()
    expected_outer = board.play_bot(Player.B, 9)
    expected_inner = other.play_bot(Player.A, 5)
    inner = []
    busy = []

    def handler(signum, frame):
        if busy:  # a slow build: the timer fired again during the nested search
            return
        busy.append(True)
        inner.append(other.play_bot(Player.A, 5))
        busy.clear()

    previous = signal.signal(signal.SIGALRM, handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.005, 0.005)
        outer = board.play_bot(Player.B, 9)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert outer == expected_outer
    assert inner and set(inner) == {expected_inner}
