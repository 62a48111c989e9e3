"""Tests of the release check itself (tools/check_release.py): that it finds the faults
it is there to find, on made-up artefacts, without building anything."""

from __future__ import annotations

import re
import subprocess
import sys
import tarfile
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))

import check_release  # noqa: E402

SHOWN = """\
varno-0.1.0-cp313-cp313-manylinux2014_x86_64.manylinux_2_17_x86_64.whl
is consistent with the following platform tag:
"manylinux_2_17_x86_64".

This constrains the platform tag to "manylinux_2_17_x86_64". In order
to achieve a more compatible tag, you would need to recompile a new
"""

NOT_CONSISTENT = """\
varno-0.1.0-cp313-cp313-linux_x86_64.whl is consistent with the
following platform tag: "linux_x86_64".

The wheel references external versioned symbols in these
system-provided shared libraries: libc.so.6 with versions
{'GLIBC_2.34'}
"""

WRAPPED = 'x.whl is consistent with the following platform\ntag: "manylinux_2_35_x86_64".'


def test_policy_is_read_across_line_breaks() -> None:
    assert check_release.parse_policy(SHOWN) == ("manylinux_2_17_x86_64", (2, 17))
    assert check_release.parse_policy(WRAPPED) == ("manylinux_2_35_x86_64", (2, 35))


def test_a_plain_linux_tag_is_no_policy() -> None:
    assert check_release.parse_policy(NOT_CONSISTENT) is None


def metadata(version: str = "0.1.0", classifiers: tuple[str, ...] = ("3.12", "3.13"),
             body: str | None = None, requires: str = ">=3.12") -> str:
    readme = (check_release.ROOT / "README.md").read_text(encoding="utf-8")
    lines = [
        "Metadata-Version: 2.4",
        "Name: varno",
        f"Version: {version}",
        "License-Expression: MIT",
        "License-File: LICENSE",
        *(f"Classifier: Programming Language :: Python :: {c}" for c in classifiers),
        f"Requires-Python: {requires}",
        "Description-Content-Type: text/markdown",
        "",
        readme if body is None else body,
    ]
    return "\n".join(lines)


def failures_of(text: str, minors: list[tuple[int, int]] | None = None) -> list[str]:
    failures = check_release.Failures()
    check_release.check_metadata(
        failures, "w", text, "0.1.0", minors if minors is not None else [(3, 12), (3, 13)]
    )
    return failures.items


def test_good_metadata_passes() -> None:
    assert failures_of(metadata()) == []


@pytest.mark.parametrize(
    ("text", "needle"),
    [
        (metadata(version="0.1.1"), "Version"),
        (metadata(classifiers=("3.12",)), "Python 3.13"),
        (metadata(body="# varno\n"), "README"),
        (metadata(requires=">=3.11"), "Requires-Python"),
        (metadata().replace("License-File: LICENSE\n", ""), "License-File"),
        (metadata().replace("License-Expression: MIT\n", ""), "License-Expression"),
    ],
)
def test_each_metadata_fault_is_found(text: str, needle: str) -> None:
    found = failures_of(text)
    assert len(found) == 1 and needle in found[0], found


def test_an_interpreter_found_later_needs_its_classifier() -> None:
    assert any("3.14" in f for f in failures_of(metadata(), [(3, 12), (3, 13), (3, 14)]))


def test_version_is_the_one_of_pyproject() -> None:
    text = (check_release.ROOT / "pyproject.toml").read_text(encoding="utf-8")
    assert f'\nversion = "{check_release.project_version()}"\n' in text


def test_a_dist_without_wheels_or_with_a_stale_sdist_fails(tmp_path: Path) -> None:
    dist = tmp_path / "dist"
    dist.mkdir()
    stale = dist / "varno-0.0.9.tar.gz"
    with tarfile.open(stale, "w:gz"):
        pass
    proc = subprocess.run(
        [sys.executable, str(check_release.ROOT / "tools" / "check_release.py"), str(dist),
         "--plat", "manylinux_2_17_x86_64", "--work", str(tmp_path / "work"),
         "--skip-sdist-build", sys.executable],
        capture_output=True, text=True,
    )
    assert proc.returncode == 1
    assert "not varno-" in proc.stdout and "0 wheels for 1 interpreters" in proc.stdout


def test_an_extension_exporting_other_names_or_needing_other_libraries_fails() -> None:
    import _ctypes  # an extension of the interpreter: PyInit__ctypes, and libffi

    failures = check_release.Failures()
    check_release.check_elf(failures, "_ctypes", Path(_ctypes.__file__))
    assert any("exports" in f and "PyInit__ctypes" in f for f in failures.items)
    assert any("needs" in f and "libffi" in f for f in failures.items)
    assert any("_Unwind_Resume" in f for f in failures.items)


def test_the_suite_gets_the_test_tools_of_the_development_environment() -> None:
    names = [re.split(r"[<>=!~ ]", r)[0] for r in check_release.test_requirements()]
    assert sorted(names) == ["hypothesis", "pytest"]


def test_the_packages_of_the_wheel_are_listed_with_their_static_files() -> None:
    files = check_release.package_files()
    assert "varno_play/__main__.py" in files
    assert all("__pycache__" not in f for f in files)
    static = (check_release.ROOT / "python" / "varno_serve" / "static")
    if static.is_dir():
        assert any(f.startswith("varno_serve/static/") for f in files)
