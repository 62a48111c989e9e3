"""Checks the release artefacts in a dist directory (make wheels, make release-check).

    check_release.py DIST --plat PLAT --work DIR PYTHON...

DIST must hold the sdist and exactly one wheel for each PYTHON (an interpreter path,
python3.X), all of the version in pyproject.toml. For each wheel: its tags (PLAT among
them) and metadata, its files, the policy `auditwheel show` finds (PLAT or older, and
manylinux_2_28 or older), the symbols its extension exports and the libraries it needs;
then it is installed into a fresh virtual environment of its interpreter, with nothing
but that environment on PATH (so no compiler, and pip may not fall back to a build),
imported, made to play a bot-against-bot game, and put through the Python test suite.
`twine check --strict` runs over everything, and the sdist is built and installed from
scratch (an isolated build, the system compiler) into a fresh environment of the newest
interpreter and used the same way. Scratch space goes under DIR. Exits 1 with every
failure listed, 0 with a summary.
"""

from __future__ import annotations

import argparse
import email.message
import email.parser
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tomllib
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

# The newest policy a wheel may have: the oldest glibc the users of the wheels may have.
NEWEST_POLICY = (2, 28)

# What the extension may need: glibc's own libraries, the dynamic loader and the unwinder.
ALLOWED_NEEDED = {
    "libgcc_s.so.1",
    "libc.so.6",
    "libm.so.6",
    "libpthread.so.0",
    "libdl.so.2",
    "librt.so.1",
    "ld-linux-x86-64.so.2",
}

COMPILERS = ("cc", "c++", "gcc", "g++", "clang", "clang++", "zig")

# Run inside the fresh environment: the installed module and its metadata, then a game
# between two bots through the installed host's rules.
SMOKE_SCRIPT = r"""
import importlib.metadata, os, sys, sysconfig
import varno
from varno import Board, Player

expected = sys.argv[1]
site = os.path.realpath(sysconfig.get_paths()["platlib"])
assert os.path.realpath(os.path.dirname(varno.__file__)) == site, varno.__file__
assert importlib.metadata.version("varno") == expected, importlib.metadata.version("varno")
assert not hasattr(varno, "__version__")
assert varno.__all__ == ["Player", "CardType", "Board"], varno.__all__
board = Board()
assert len(board.get_legal_moves(Player.A)) == 26
move = board.play_bot(Player.A, 6)
board.play(move, Player.A, "release-check")
print("smoke:", varno.__file__, "played", move)
"""

POLICY_RE = re.compile(r'platform tag:\s*"(manylinux_(\d+)_(\d+)_x86_64)"')


class Failures:
    """Collects the failures of the whole run, so that one run reports all of them."""

    def __init__(self) -> None:
        self.items: list[str] = []

    def check(self, ok: bool, what: str) -> bool:
        if not ok:
            self.items.append(what)
            print(f"FAILED: {what}", flush=True)
        return ok


def project_version() -> str:
    with open(ROOT / "pyproject.toml", "rb") as f:
        version = tomllib.load(f)["project"]["version"]
    assert isinstance(version, str)
    return version


def package_files() -> list[str]:
    """The files of the packages pyproject.toml puts into the wheel, as the wheel names
    them (package/relative/path), from the sources the git index holds."""
    with open(ROOT / "pyproject.toml", "rb") as f:
        packages = tomllib.load(f)["tool"]["scikit-build"]["wheel"]["packages"]
    files: list[str] = []
    for package in packages:
        listed = subprocess.run(["git", "-C", str(ROOT), "ls-files", "-z", package],
                                check=True, capture_output=True, text=True).stdout
        base = Path(package).name
        files += [f"{base}/{Path(name).relative_to(package).as_posix()}"
                  for name in listed.split("\0") if name]
    return files


def minor_of(python: str) -> tuple[int, int]:
    out = subprocess.run(
        [python, "-c", "import sys; print(*sys.version_info[:2])"],
        check=True, capture_output=True, text=True,
    ).stdout.split()
    return int(out[0]), int(out[1])


def parse_policy(auditwheel_output: str) -> tuple[str, tuple[int, int]] | None:
    """The policy `auditwheel show` reports and its glibc version, or None."""
    match = POLICY_RE.search(" ".join(auditwheel_output.split()))
    if match is None:
        return None
    return match.group(1), (int(match.group(2)), int(match.group(3)))


def check_metadata(
    failures: Failures, where: str, text: str, version: str, minors: list[tuple[int, int]]
) -> None:
    """The core metadata of a wheel (METADATA) or of the sdist (PKG-INFO)."""
    meta: email.message.Message = email.parser.Parser().parsestr(text)
    failures.check(meta["Name"] == "varno", f"{where}: Name is {meta['Name']!r}")
    failures.check(meta["Version"] == version, f"{where}: Version {meta['Version']!r}, not {version}")
    failures.check(
        meta["Requires-Python"] == ">=3.12",
        f"{where}: Requires-Python is {meta['Requires-Python']!r}",
    )
    failures.check(meta["License-Expression"] == "MIT", f"{where}: no MIT License-Expression")
    failures.check(
        "LICENSE" in (meta.get_all("License-File") or []), f"{where}: no License-File LICENSE"
    )
    failures.check(
        (meta["Description-Content-Type"] or "").startswith("text/markdown"),
        f"{where}: long description not marked as Markdown",
    )
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    body = meta.get_payload()
    failures.check(
        isinstance(body, str) and body.strip() == readme.strip(),
        f"{where}: the long description is not the README",
    )
    classifiers = meta.get_all("Classifier") or []
    for major, minor in minors:
        failures.check(
            f"Programming Language :: Python :: {major}.{minor}" in classifiers,
            f"{where}: no classifier for Python {major}.{minor}, which is tested",
        )


def run(
    failures: Failures, what: str, cmd: list[str], env: dict[str, str] | None = None,
    cwd: Path | None = None,
) -> str | None:
    """Runs cmd; its output, or None (and a failure) if it fails."""
    proc = subprocess.run(cmd, capture_output=True, text=True, env=env, cwd=cwd)
    if proc.returncode != 0:
        failures.check(
            False, f"{what}: exit {proc.returncode}\n{proc.stdout[-3000:]}{proc.stderr[-3000:]}"
        )
        return None
    return proc.stdout


def bare_env(venv: Path) -> dict[str, str]:
    """An environment whose PATH is the virtual environment's bin directory alone."""
    env = {k: v for k, v in os.environ.items() if k in ("HOME", "LANG", "LC_ALL", "TMPDIR")}
    env["PATH"] = str(venv / "bin")
    return env


def fresh_venv(failures: Failures, python: str, venv: Path) -> bool:
    shutil.rmtree(venv, ignore_errors=True)
    return run(failures, f"venv {venv}", [python, "-m", "venv", str(venv)]) is not None


def use_installed(failures: Failures, venv: Path, env: dict[str, str], version: str) -> None:
    """Imports the installed module and plays a bot-against-bot game with varno-play."""
    # From a directory without the sources, so that only the installed module is found.
    out = run(failures, f"import in {venv}",
              [str(venv / "bin" / "python"), "-I", "-c", SMOKE_SCRIPT, version],
              env=env, cwd=venv)
    if out is not None:
        print(out.strip())
    game = run(failures, f"varno-play --bots in {venv}",
               [str(venv / "bin" / "varno-play"), "--bots", "--depth", "3"], env=env, cwd=venv)
    if game is not None:
        last = game.strip().splitlines()[-1] if game.strip() else ""
        if failures.check(last.startswith("Result: "), f"game in {venv} ended with {last!r}"):
            print(f"game: {last}")


def check_elf(failures: Failures, where: str, path: Path) -> None:
    """The extension exports its entry point alone, needs only glibc's libraries and
    libgcc_s, and unwinds with libgcc_s, the unwinder of glibc's thread exit."""
    exports = run(failures, f"nm {where}", ["nm", "-D", "--defined-only", str(path)])
    if exports is not None:
        names = {line.split()[-1] for line in exports.splitlines() if line.strip()}
        failures.check(names == {"PyInit_varno"}, f"{where}: exports {sorted(names)}")
    imports = run(failures, f"nm {where}", ["nm", "-D", "--undefined-only", str(path)])
    if imports is not None:
        failures.check(
            re.search(r"\b_Unwind_Resume@GCC_", imports) is not None,
            f"{where}: _Unwind_Resume is not libgcc_s's (a private unwinder is linked in)",
        )
    dynamic = run(failures, f"readelf {where}", ["readelf", "-d", str(path)])
    if dynamic is not None:
        needed = set(re.findall(r"\(NEEDED\).*\[(.+)\]", dynamic))
        failures.check(
            needed <= ALLOWED_NEEDED, f"{where}: needs {sorted(needed - ALLOWED_NEEDED)}"
        )
        print(f"needs: {', '.join(sorted(needed))}")


def check_wheel(
    failures: Failures, wheel: Path, python: str, plat: str, version: str,
    minors: list[tuple[int, int]], work: Path, tools: Path,
) -> None:
    major, minor = minor_of(python)
    tag = f"cp{major}{minor}"
    name = wheel.name
    print(f"== {name}", flush=True)
    failures.check(
        name.startswith(f"varno-{version}-{tag}-{tag}-") and plat in name,
        f"{name}: not tagged {version}, {tag} and {plat}",
    )
    shown = run(failures, f"auditwheel show {name}", [str(tools / "auditwheel"), "show", str(wheel)])
    if shown is not None:
        print(shown.strip())
        policy = parse_policy(shown)
        if failures.check(policy is not None, f"{name}: auditwheel show names no policy"):
            assert policy is not None
            # The policy may be older than the tag (the binary happens to need less), but
            # never newer: the tag would promise systems the binary cannot run on.
            tagged = parse_policy(f'platform tag: "{plat}"')
            failures.check(
                tagged is not None and policy[1] <= tagged[1],
                f"{name}: policy {policy[0]} is newer than its tag {plat}",
            )
            failures.check(policy[1] <= NEWEST_POLICY, f"{name}: policy {policy[0]} too new")

    unpacked = work / f"unpacked-{tag}"
    shutil.rmtree(unpacked, ignore_errors=True)
    with zipfile.ZipFile(wheel) as zf:
        names = zf.namelist()
        zf.extractall(unpacked)
    extensions = [n for n in names if re.fullmatch(rf"varno\.cpython-{major}{minor}-x86_64-linux-gnu\.so", n)]
    failures.check(len(extensions) == 1, f"{name}: extension modules {extensions}")
    # Every top-level Python module of python/ is installed beside the extension, and
    # every file of the packages the wheel carries (their static files too).
    modules = [p.name for p in sorted((ROOT / "python").glob("*.py"))]
    for wanted in ("varno.pyi", "varno-stubs/__init__.pyi", *modules, *package_files(),
                   f"varno-{version}.dist-info/licenses/LICENSE"):
        failures.check(wanted in names, f"{name}: no {wanted}")
    failures.check(
        not any(n.startswith("varno.libs/") for n in names),
        f"{name}: auditwheel grafted libraries into it",
    )
    for extension in extensions:
        check_elf(failures, name, unpacked / extension)
    metadata = f"varno-{version}.dist-info/METADATA"
    if failures.check(metadata in names, f"{name}: no {metadata}"):
        check_metadata(failures, name, (unpacked / metadata).read_text(encoding="utf-8"),
                       version, minors)

    venv = work / f"venv-{tag}"
    if not fresh_venv(failures, python, venv):
        return
    env = bare_env(venv)
    found = [c for c in COMPILERS if shutil.which(c, path=env["PATH"])]
    failures.check(not found, f"{venv}: compilers on PATH: {found}")
    installed = run(failures, f"install {name}",
                    [str(venv / "bin" / "python"), "-m", "pip", "install", "--quiet",
                     "--disable-pip-version-check", "--no-index", "--only-binary=:all:",
                     str(wheel)], env=env)
    if installed is not None:
        use_installed(failures, venv, env, version)
        # The suite itself may use a compiler (the allocation shim of its memory tests).
        suite_env = dict(os.environ, PATH=f"{venv / 'bin'}{os.pathsep}{os.environ['PATH']}")
        suite_env.pop("PYTHONPATH", None)
        run_suite(failures, venv, suite_env)


def test_requirements() -> list[str]:
    """The test runner and its plugins, as requirements-dev.txt pins them."""
    lines = (ROOT / "requirements-dev.txt").read_text(encoding="utf-8").splitlines()
    return [line.strip() for line in lines if re.match(r"(pytest|hypothesis)\b", line.strip())]


def run_suite(failures: Failures, venv: Path, env: dict[str, str]) -> None:
    """The Python test suite against the installed wheel: the shipped binary is built by
    another compiler with another C++ runtime than the one the other suites test."""
    python = str(venv / "bin" / "python")
    if run(failures, f"install the test tools into {venv}",
           [python, "-m", "pip", "install", "--quiet", "--disable-pip-version-check",
            "--only-binary=:all:", *test_requirements()], env=env) is None:
        return
    out = run(failures, f"tests/python against the wheel in {venv}",
              [python, "-m", "pytest", "-q", "-p", "no:cacheprovider",
               "--rootdir", str(ROOT), str(ROOT / "tests" / "python")], env=env, cwd=venv)
    if out is not None:
        print(f"tests/python: {out.strip().splitlines()[-1]}")


def check_sdist(
    failures: Failures, sdist: Path, python: str, version: str,
    minors: list[tuple[int, int]], work: Path, jobs: str,
) -> None:
    print(f"== {sdist.name}", flush=True)
    with tarfile.open(sdist) as tf:
        names = tf.getnames()
        member = tf.extractfile(f"varno-{version}/PKG-INFO")
        pkg_info = member.read().decode() if member is not None else ""
    check_metadata(failures, sdist.name, pkg_info, version, minors)
    modules = [f"python/{p.name}" for p in sorted((ROOT / "python").glob("*.py"))]
    for wanted in ("CMakeLists.txt", "pyproject.toml", "LICENSE", "README.md",
                   "python/varno.pyi", "src/module.cpp", *modules):
        failures.check(f"varno-{version}/{wanted}" in names, f"{sdist.name}: no {wanted}")
    failures.check(
        not any("/build/" in n or "/.venv" in n or "/dist/" in n for n in names),
        f"{sdist.name}: carries build products",
    )
    venv = work / "venv-sdist"
    if not fresh_venv(failures, python, venv):
        return
    # An isolated build, as a user without this repository gets it: the build tools
    # from the package index, the system compiler.
    env = dict(os.environ, CMAKE_BUILD_PARALLEL_LEVEL=jobs)
    env.pop("PYTHONPATH", None)
    installed = run(failures, f"install {sdist.name}",
                    [str(venv / "bin" / "python"), "-m", "pip", "install", "--quiet",
                     "--disable-pip-version-check", "--no-binary=varno", str(sdist)], env=env)
    if installed is not None:
        use_installed(failures, venv, bare_env(venv), version)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("dist", type=Path)
    parser.add_argument("--plat", required=True, help="the policy each wheel must have")
    parser.add_argument("--work", type=Path, required=True, help="scratch directory")
    parser.add_argument("--jobs", default="1", help="parallel compile jobs of the sdist build")
    parser.add_argument("--skip-sdist-build", action="store_true",
                        help="check the sdist's contents but do not build it")
    parser.add_argument("pythons", nargs="+")
    args = parser.parse_args()

    failures = Failures()
    version = project_version()
    tools = Path(sys.executable).parent
    work: Path = args.work.resolve()
    work.mkdir(parents=True, exist_ok=True)
    minors = [minor_of(p) for p in args.pythons]

    artefacts = sorted(args.dist.glob("varno-*"))
    wheels = [p for p in artefacts if p.suffix == ".whl"]
    sdists = [p for p in artefacts if p.name.endswith(".tar.gz")]
    failures.check(
        [p.name for p in sdists] == [f"varno-{version}.tar.gz"],
        f"{args.dist}: sdists {[p.name for p in sdists]}, not varno-{version}.tar.gz",
    )
    failures.check(
        len(wheels) == len(args.pythons),
        f"{args.dist}: {len(wheels)} wheels for {len(args.pythons)} interpreters",
    )
    failures.check(len(wheels) + len(sdists) == len(artefacts),
                   f"{args.dist}: other files {[p.name for p in artefacts]}")

    twine = run(failures, "twine check",
                [str(tools / "twine"), "check", "--strict", *map(str, artefacts)])
    if twine is not None:
        print(twine.strip())

    for python, (major, minor) in zip(args.pythons, minors):
        mine = [w for w in wheels if f"-cp{major}{minor}-" in w.name]
        if failures.check(len(mine) == 1, f"wheels for {major}.{minor}: {[w.name for w in mine]}"):
            check_wheel(failures, mine[0], python, args.plat, version, minors, work, tools)

    if sdists and not args.skip_sdist_build:
        check_sdist(failures, sdists[0], args.pythons[-1], version, minors, work, args.jobs)

    for artefact in artefacts:
        print(f"{artefact.stat().st_size:>10,} bytes  {artefact.name}")
    if failures.items:
        print(f"{len(failures.items)} failed: release artefacts", file=sys.stderr)
        return 1
    print(f"release artefacts of varno {version}: all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
