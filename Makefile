# The commands of varno. `make` alone prints this list; `make play` starts a game.
#
# make play            build, install into .venv/ and play against the bot at the terminal
# make serve           the same with the server's libraries, then the web server varno-serve
# make check           the edit loop, ~1 min: test-cpp test-python test-types test-serve-api
# make test            every test, every Python, the cluster's, the sanitizers; not the wheels
# make test-cpp        the core's C++ tests (GoogleTest, the search vectors, the fuzz corpus)
# make test-python     the Python tests on the newest Python, against the package in .venv/
# make test-types      stubtest of the stubs against the module; the Python code, mypy --strict
# make test-serve-api  the web server's API tests on the newest Python (no browser, no crash)
# make test-python-all the Python tests on every Python >= 3.12 (.venv/, .venv-3.X/)
# make test-faults     the panic path, on a test module whose faults can be armed from Python
# make test-serve      the web server's tests on every Python, a browser game on the newest
# make test-cluster    the cluster's tests on every Python: PostgreSQL, Redis, nodes, workers, HAProxy
# make sanitize        the C++ tests and the newest Python's tests on an ASan + UBSan build
# make fuzz            each libFuzzer target for FUZZ_SECONDS (300) seconds
# make bench           the benchmarks (not part of the tests)
# make bench-serve     the web server under load for BENCH_SECONDS (60) seconds
# make bench-cluster   the same load on one process and through HAProxy on a cluster, side by side
# make cluster         a cluster in the background: PostgreSQL, Redis, 3 nodes, 2 bot workers and
#                      HAProxy on CLUSTER_PORT (8000); build/cluster/cluster.json says where
# make cluster-stop    stops every process of make cluster, by pid
# make check-vectors   a file of search vectors run against the core (FILE=path)
# make sdist           the source distribution, in dist/
# make wheels          the sdist and a manylinux wheel per Python in dist/, each checked
# make release-check   checks what dist/ holds: metadata, policy, symbols, installs, tests
# make release-faults  the panic path on a test module built with the release toolchain
# make release-tools   the release tools (zig, auditwheel, twine...) in build/release/tools/
# make venv            the package installed into .venv/ (each target does it after a change)
# make venvs           the same for every Python: .venv/ and .venv-3.X/
# make core            the core, its C++ tests and benchmarks built in build/cpp/
# make deps            the Debian packages of the C++ tests installed

SHELL := /bin/bash
.SHELLFLAGS := -euo pipefail -c
.DEFAULT_GOAL := help

PYTHONS := $(shell tools/find-pythons)
ifeq ($(strip $(PYTHONS)),)
$(error No CPython 3.12 or later found on this machine)
endif
NEWEST := $(lastword $(PYTHONS))
VENV := .venv
# .venv for the newest interpreter, .venv-X.Y for each older one (the interpreters are
# found as .../python3.X).
venv_of = $(if $(filter $(1),$(NEWEST)),$(VENV),.venv-$(subst python,,$(notdir $(1))))
define newline


endef

DEBIAN_PACKAGES := g++ libgtest-dev
CPP_BUILD := build/cpp
ARGS ?=
JOBS ?= 2

.PHONY: help play serve check test test-cpp test-python test-python-all test-types test-faults \
	test-serve-api test-serve test-cluster sanitize fuzz bench bench-serve bench-cluster \
	cluster cluster-stop check-vectors sdist wheels release-check release-faults release-tools \
	venv venvs core deps

# The opening comment's list of commands.
help:
	@sed -n '/^#/!q; s/^# \{0,1\}//p' $(firstword $(MAKEFILE_LIST))

# $(call debian,PACKAGES): installs those of the Debian PACKAGES that are missing.
define debian
	@missing=""; for p in $(1); do \
	    dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	    sudo=""; [ "$$(id -u)" = 0 ] || sudo=sudo; \
	    echo "Installing Debian packages:$$missing"; \
	    $$sudo apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$sudo apt-get install -y -qq $$missing >/dev/null; \
	fi
endef

# Debian packages for the C++ tests and benchmarks.
deps:
	$(call debian,$(DEBIAN_PACKAGES))

# Each interpreter's environment, with the package installed, is brought up to date by a
# stamp of the sources it was built from: a target that needs it rebuilds it only after a
# change, so one command configures and builds each environment's package at most once.
# The folders are among the sources so that a file removed counts as a change.
PACKAGE_SOURCES := pyproject.toml CMakeLists.txt requirements-dev.txt tools/ensure-venv \
	$(shell find src python cmake -not -path '*/__pycache__*')
define venv_rule
$(call venv_of,$(1))/.installed: $(PACKAGE_SOURCES) $(1)
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) tools/ensure-venv $(1) $(call venv_of,$(1))
	touch $$@
endef
$(foreach py,$(PYTHONS),$(eval $(call venv_rule,$(py))))
VENV_STAMPS := $(foreach py,$(PYTHONS),$(call venv_of,$(py))/.installed)

venv: $(VENV)/.installed
venvs: $(VENV_STAMPS)

play: venv
	$(VENV)/bin/varno-play $(ARGS)

# $(call extra_of,VENV,EXTRA): installs the libraries of the extra EXTRA (as pyproject.toml
# lists them) into VENV, whose package was installed without its dependencies.
extra_of = $(1)/bin/python -m pip install --quiet --disable-pip-version-check \
	$$($(1)/bin/python -c 'import tomllib; print(*tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["$(2)"])')
# The web server's libraries; and those of several nodes on PostgreSQL and Redis.
serve_extra = $(call extra_of,$(1),serve)
cluster_extra = $(call extra_of,$(1),cluster)

serve: venv
	$(call serve_extra,$(VENV))
	mkdir -p build
	$(VENV)/bin/varno-serve --db build/varno-serve.db $(ARGS)

# The test build, with the venv's CMake and Ninja: the core, its C++ tests and benchmarks,
# and on request the fault-hook module (test-faults). Configured once; CMake reconfigures
# it itself when a CMakeLists.txt changes.
$(CPP_BUILD)/build.ninja: Makefile | deps venv
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake -S . -B $(CPP_BUILD) -G Ninja \
	    -DPython_EXECUTABLE=$(abspath $(VENV))/bin/python -DVARNO_BUILD_MODULE=OFF \
	    -DVARNO_BUILD_FAULT_MODULE=ON -DVARNO_BUILD_TESTS=ON -DVARNO_BUILD_BENCH=ON >/dev/null

core: $(CPP_BUILD)/build.ninja
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake --build $(CPP_BUILD) -j $(JOBS)

test-cpp: core
	$(VENV)/bin/ctest --test-dir $(CPP_BUILD) --output-on-failure -j $(JOBS)

# The edit loop.
check: test-cpp test-python test-types test-serve-api

test: test-cpp test-python-all test-faults test-types test-serve test-cluster sanitize

test-python: venv
	$(VENV)/bin/python -m pytest -q tests/python

test-python-all: venvs
	$(foreach py,$(PYTHONS),$(call venv_of,$(py))/bin/python -m pytest -q tests/python$(newline))

# The stubs against the built module, and the host, the examples, the server (with the
# cluster's parts), its load benchmark and probe (bench/serve) and the cluster's tests
# under mypy --strict.
test-types: venv
	mkdir -p build && cd build && ../$(VENV)/bin/python -m mypy.stubtest varno
	$(call cluster_extra,$(VENV))
	$(VENV)/bin/python -m pip install --quiet --disable-pip-version-check -r $(SERVE_TEST_REQUIREMENTS)
	$(VENV)/bin/python -m mypy --strict python/varno_play python/varno_serve python/_varno_pickle.py examples \
	    bench/serve
	MYPYPATH=python:tests/serve:tests/cluster:tools $(VENV)/bin/python -m mypy --strict tests/cluster
	MYPYPATH=tools $(VENV)/bin/python -m mypy --strict tools/check_release.py tools/cluster.py tools/cluster_services.py \
	    tests/release

# The panic path, through the test build's module whose faults can be armed from Python.
test-faults: $(CPP_BUILD)/build.ninja
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake --build $(CPP_BUILD) -j $(JOBS) --target varno_fault_hooks
	PYTHONPATH=$(CPP_BUILD)/faults $(VENV)/bin/python -m pytest -q -p no:cacheprovider tests/faults

# The release artefacts: the sdist, and from it one wheel per interpreter that runs on any
# x86_64 Linux with glibc RELEASE_GLIBC or later. The wheels are compiled by
# tools/zig-cxx (cmake/release-toolchain.cmake): clang with its C++ runtime linked
# statically, against that glibc. auditwheel repair tags them with the policy; each build
# starts from an empty build directory. The tools live in $(RELEASE)/tools, the build
# backend of each interpreter in $(RELEASE)/build-3.X; ordinary builds use neither.
RELEASE := build/release
RELEASE_TOOLS := $(RELEASE)/tools
DIST := dist
RELEASE_GLIBC := 2.17
RELEASE_PLAT := manylinux_$(subst .,_,$(RELEASE_GLIBC))_x86_64
VERSION := $(shell sed -n 's/^version = "\(.*\)"$$/\1/p' pyproject.toml)
build_env_of = $(RELEASE)/build-$(subst python,,$(notdir $(1)))
release-tools:
	tools/ensure-tools $(NEWEST) $(RELEASE_TOOLS) requirements-release.txt

sdist: release-tools
	mkdir -p $(DIST) && rm -f $(DIST)/varno-*.tar.gz
	$(RELEASE_TOOLS)/bin/python -m build --sdist --no-isolation --outdir $(DIST) . >/dev/null
	@ls -l $(DIST)/varno-$(VERSION).tar.gz

wheels: sdist
	rm -rf $(RELEASE)/raw && rm -f $(DIST)/varno-*.whl
	$(foreach py,$(PYTHONS),tools/ensure-tools $(py) $(call build_env_of,$(py)) requirements-build.txt$(newline)\
	rm -rf $(call build_env_of,$(py))-cmake$(newline)\
	PATH="$(abspath $(call build_env_of,$(py)))/bin:$$PATH" CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) \
	    VARNO_GLIBC=$(RELEASE_GLIBC) $(call build_env_of,$(py))/bin/python -m pip wheel --quiet \
	    --disable-pip-version-check --no-build-isolation --no-deps -w $(RELEASE)/raw \
	    -C cmake.define.CMAKE_TOOLCHAIN_FILE=$(abspath cmake/release-toolchain.cmake) \
	    -C build-dir=$(abspath $(call build_env_of,$(py)))-cmake $(DIST)/varno-$(VERSION).tar.gz$(newline))
	PATH="$(abspath $(RELEASE_TOOLS))/bin:$$PATH" $(RELEASE_TOOLS)/bin/auditwheel repair --plat $(RELEASE_PLAT) \
	    -w $(DIST) $(RELEASE)/raw/varno-*.whl 2>&1 | grep -i "fixed-up wheel written"
	$(MAKE) --no-print-directory release-check release-faults

# The panic path under the release toolchain: a fault-hook build (never shipped) for the
# tools' interpreter, compiled as the wheels are, through tests/faults.
RELEASE_FAULTS := $(RELEASE)/faults
release-faults: release-tools
	rm -rf $(RELEASE_FAULTS)
	PATH="$(abspath $(RELEASE_TOOLS))/bin:$$PATH" VARNO_GLIBC=$(RELEASE_GLIBC) cmake -S . -B $(RELEASE_FAULTS) \
	    -G Ninja -DCMAKE_TOOLCHAIN_FILE=$(abspath cmake/release-toolchain.cmake) \
	    -DPython_EXECUTABLE=$(abspath $(RELEASE_TOOLS))/bin/python -DVARNO_FAULT_HOOKS=ON >/dev/null
	PATH="$(abspath $(RELEASE_TOOLS))/bin:$$PATH" VARNO_GLIBC=$(RELEASE_GLIBC) \
	    cmake --build $(RELEASE_FAULTS) -j $(JOBS) >/dev/null
	PYTHONPATH=$(RELEASE_FAULTS) $(RELEASE_TOOLS)/bin/python -m pytest -q -p no:cacheprovider tests/faults

# Checks what dist/ holds (tools/check_release.py): the metadata, the policy and the
# symbols of each wheel; each wheel installed into a fresh environment of its interpreter
# with no compiler on PATH, imported and playing a game; the sdist built and installed
# from scratch.
release-check: release-tools
	$(RELEASE_TOOLS)/bin/python -m pytest -q -p no:cacheprovider tests/release
	$(RELEASE_TOOLS)/bin/python tools/check_release.py $(DIST) --plat $(RELEASE_PLAT) \
	    --work $(RELEASE)/check --jobs $(JOBS) $(PYTHONS)

# AddressSanitizer and UndefinedBehaviorSanitizer over the C++ tests and the Python tests
# of the newest interpreter (the fault-path tests against the sanitized fault-hook
# module), all from one sanitized tree. The interpreter is not built with the sanitizers,
# so their runtime is preloaded into it (with the C++ runtime, whose exception throwing
# the sanitizer must find at start-up), and PYTHONMALLOC=malloc routes its objects through
# the sanitizer's allocator. Every process writes its reports under $(SANITIZE_REPORTS);
# tools/sanitizer-verdict then fails the run on any error report and on any leak whose
# allocation passes through this project's code. The interpreter's own leaks are ignored.
# The Python processes skip the check at exit, whose report would be mostly the
# interpreter's and whose exit code would replace the process's own; the test sessions
# check for leaks when they end instead (tests/conftest.py). The stack of an object the
# interpreter allocates for the module is only followed through the interpreter's frames
# (built without frame pointers) by the slow unwinder, so the suite runs in two sessions:
# the leak tests with it, the rest, which would take half an hour that way, without.
SANITIZE_BUILD := build/sanitize
SANITIZE_REPORTS := $(SANITIZE_BUILD)/reports
SANITIZE_COMMON := allocator_may_return_null=1:detect_leaks=1
# $(call sanitized,MORE): the environment of a sanitized Python, MORE added to ASAN_OPTIONS.
sanitized = LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
	PYTHONMALLOC=malloc VARNO_SANITIZE=1 \
	ASAN_OPTIONS=$(SANITIZE_COMMON):leak_check_at_exit=0$(1):log_path=$(abspath $(SANITIZE_REPORTS))/asan \
	UBSAN_OPTIONS=print_stacktrace=1:log_path=$(abspath $(SANITIZE_REPORTS))/ubsan
$(SANITIZE_BUILD)/build.ninja: Makefile | deps venv
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake -S . -B $(SANITIZE_BUILD) -G Ninja -DCMAKE_CXX_COMPILER=g++ \
	    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARNO_SANITIZE=ON -DPython_EXECUTABLE=$(abspath $(VENV))/bin/python \
	    -DVARNO_BUILD_TESTS=ON -DVARNO_BUILD_FAULT_MODULE=ON >/dev/null
sanitize: $(SANITIZE_BUILD)/build.ninja
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake --build $(SANITIZE_BUILD) -j $(JOBS) --target all varno_fault_hooks
	ASAN_OPTIONS=$(SANITIZE_COMMON) UBSAN_OPTIONS=print_stacktrace=1 \
	    $(VENV)/bin/ctest --test-dir $(SANITIZE_BUILD) --output-on-failure -j $(JOBS)
	rm -rf $(SANITIZE_REPORTS) && mkdir -p $(SANITIZE_REPORTS)
	cd $(SANITIZE_BUILD) && $(call sanitized) $(abspath $(VENV))/bin/python -c \
	    'import varno, os; assert os.path.dirname(varno.__file__) == os.getcwd(), varno.__file__'
	PYTHONPATH=$(SANITIZE_BUILD) $(call sanitized) $(VENV)/bin/python -m pytest -q -p no:cacheprovider \
	    tests/python --ignore tests/python/test_leaks.py
	PYTHONPATH=$(SANITIZE_BUILD) $(call sanitized,:fast_unwind_on_malloc=0) $(VENV)/bin/python -m pytest \
	    -q -p no:cacheprovider tests/python/test_leaks.py
	PYTHONPATH=$(SANITIZE_BUILD)/faults $(call sanitized) $(VENV)/bin/python -m pytest -q -p no:cacheprovider tests/faults
	$(VENV)/bin/python tools/sanitizer-verdict $(SANITIZE_REPORTS) .

# The fuzz targets over the core, built with clang, libFuzzer and both sanitizers, each run
# for FUZZ_SECONDS. They start from the corpus kept in fuzz/corpus/<target> and write what
# they find to $(FUZZ_BUILD)/found/<target>, so the kept corpus changes only by hand:
#   $(FUZZ_BUILD)/fuzz/fuzz_play -set_cover_merge=1 NEW_DIR fuzz/corpus/play $(FUZZ_BUILD)/found/play
# A crash leaves its input in $(FUZZ_BUILD)/crash-*; plain builds replay the kept corpus
# in the C++ tests (replay_fuzz_*).
FUZZ_BUILD := build/fuzz
FUZZ_SECONDS ?= 300
FUZZ_TARGETS := play bot
fuzz: venv
	$(call debian,clang-14 libclang-rt-14-dev)
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_CXX_COMPILER=clang++-14 \
	    -DVARNO_BUILD_MODULE=OFF -DVARNO_BUILD_FUZZ=ON >/dev/null
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake --build $(FUZZ_BUILD) -j $(JOBS)
	$(foreach t,$(FUZZ_TARGETS),mkdir -p $(FUZZ_BUILD)/found/$(t)$(newline)\
	cd $(FUZZ_BUILD) && { fuzz/fuzz_$(t) -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	    found/$(t) ../../fuzz/corpus/$(t) > $(t).log 2>&1 || { tail -n 80 $(t).log; exit 1; }; } \
	    && echo "fuzz_$(t):" && grep -E "^(Done|stat::)" $(t).log $(newline))

# The web server: its API, WebSocket and crash tests on every interpreter, and the page in
# Debian's headless Chromium (driven by Playwright, checked by axe-core) on the newest;
# screenshots of the lobby, a game, its end and a phone are kept in build/screenshots/.
SERVE_TEST_REQUIREMENTS := tests/serve/requirements.txt
test-serve: venvs
	$(call debian,chromium)
	$(foreach py,$(PYTHONS),$(call serve_extra,$(call venv_of,$(py)))$(newline)	$(call venv_of,$(py))/bin/python -m pip install --quiet --disable-pip-version-check -r $(SERVE_TEST_REQUIREMENTS)$(newline)	$(call venv_of,$(py))/bin/python -m pytest -q -p no:cacheprovider tests/serve \
	    $(if $(filter $(py),$(NEWEST)),,--ignore tests/serve/test_browser.py)$(newline))

# The web server's API tests on the newest interpreter: tests/serve without the browser
# and crash tests (part of make check; make test runs them all through test-serve). The
# cluster's tests are left to test-cluster: they start database servers from Debian's
# packages (installed if missing), which the edit loop should neither wait for nor need.
test-serve-api: venv
	$(call serve_extra,$(VENV))
	$(VENV)/bin/python -m pip install --quiet --disable-pip-version-check -r $(SERVE_TEST_REQUIREMENTS)
	$(VENV)/bin/python -m pytest -q -p no:cacheprovider tests/serve \
	    --ignore tests/serve/test_browser.py --ignore tests/serve/test_crash.py

# Several nodes and bot workers: the tests of tests/cluster on every interpreter, against
# PostgreSQL and Redis servers (and HAProxy) of their own, from Debian's packages, on
# loopback (their data under build/).
CLUSTER_DEBIAN_PACKAGES := postgresql redis-server haproxy
test-cluster: venvs
	$(call debian,$(CLUSTER_DEBIAN_PACKAGES))
	$(foreach py,$(PYTHONS),$(call cluster_extra,$(call venv_of,$(py)))$(newline)	$(call venv_of,$(py))/bin/python -m pip install --quiet --disable-pip-version-check -r $(SERVE_TEST_REQUIREMENTS)$(newline)	$(call venv_of,$(py))/bin/python -m pytest -q -p no:cacheprovider tests/cluster$(newline))

# A whole cluster on this machine, in the background (tools/cluster.py): PostgreSQL and
# Redis from Debian's packages with their files under build/cluster/, three varno-serve
# nodes, two bot workers and HAProxy in front on CLUSTER_PORT; returns once every part
# answers, and starts again only the parts that are not running. build/cluster/cluster.json
# says where each part is and its pid; cluster-stop stops them all by pid.
CLUSTER_PORT ?= 8000
cluster: venv
	$(call debian,$(CLUSTER_DEBIAN_PACKAGES))
	$(call cluster_extra,$(VENV))
	$(VENV)/bin/python tools/cluster.py start --port $(CLUSTER_PORT) $(ARGS)

cluster-stop: venv
	$(VENV)/bin/python tools/cluster.py stop

bench: core venvs
	@for exe in $(CPP_BUILD)/bench_*; do [ -x "$$exe" ] && "$$exe"; done; true
	$(foreach py,$(PYTHONS),$(foreach script,$(wildcard bench/*.py),$(call venv_of,$(py))/bin/python $(script)$(newline)))

BENCH_SECONDS ?= 60
bench-serve: venv
	$(call serve_extra,$(VENV))
	$(VENV)/bin/python bench/serve/bench_serve.py --seconds $(BENCH_SECONDS)

# The same load on one process and through HAProxy on a cluster of its own (under
# build/bench-cluster/), one after the other, the figures side by side.
bench-cluster: venv
	$(call debian,$(CLUSTER_DEBIAN_PACKAGES))
	$(call cluster_extra,$(VENV))
	$(VENV)/bin/python bench/serve/bench_cluster.py --seconds $(BENCH_SECONDS)

FILE ?= tests/data/bot.tsv
check-vectors: core
	$(CPP_BUILD)/check_vectors $(FILE)
