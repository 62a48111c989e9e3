# make play   build, install into .venv/ and start a game
# make serve  build, install with the serve extra and start the web server (varno-serve)
# make test   every test: the core's C++ tests, then the Python tests on every Python >= 3.12,
#             then all of them again under the sanitizers (make sanitize)
# make sanitize  the C++ tests and the Python tests against an ASan + UBSan build
# make fuzz   each libFuzzer target for FUZZ_SECONDS (300) seconds
# make bench  the benchmarks (not part of the tests)
# make bench-serve  the web server under load for BENCH_SECONDS (60) seconds
# make check-vectors FILE=path   run a file of search vectors against the core
# make sdist  the source distribution, in dist/
# make wheels the sdist and one manylinux wheel per interpreter, in dist/, then checks them
#             (make release-check) and the release toolchain's panic path (make
#             release-faults); part of make test

SHELL := /bin/bash
.SHELLFLAGS := -euo pipefail -c
.DEFAULT_GOAL := play

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

.PHONY: play test test-cpp test-python test-faults test-types bench check-vectors deps venv core \
	sanitize fuzz serve test-serve bench-serve release-tools sdist wheels release-check release-faults

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

venv:
	tools/ensure-venv $(NEWEST) $(VENV)

play: venv
	$(VENV)/bin/varno-play $(ARGS)

# $(call serve_extra,VENV): installs the libraries of the extra "serve" (as pyproject.toml
# lists them) into VENV, whose package was installed without its dependencies.
serve_extra = $(1)/bin/python -m pip install --quiet --disable-pip-version-check \
	$$($(1)/bin/python -c 'import tomllib; print(*tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["serve"])')

serve: venv
	$(call serve_extra,$(VENV))
	mkdir -p build
	$(VENV)/bin/varno-serve --db build/varno-serve.db $(ARGS)

# The core without the interpreter, with the venv's CMake and Ninja.
core: deps venv
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake -S . -B $(CPP_BUILD) -G Ninja \
	    -DVARNO_BUILD_MODULE=OFF -DVARNO_BUILD_TESTS=ON -DVARNO_BUILD_BENCH=ON >/dev/null
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake --build $(CPP_BUILD) -j $(JOBS)

test-cpp: core
	$(VENV)/bin/ctest --test-dir $(CPP_BUILD) --output-on-failure -j $(JOBS)

test-python:
	$(foreach py,$(PYTHONS),tools/ensure-venv $(py) $(call venv_of,$(py))$(newline)\
	$(call venv_of,$(py))/bin/python -m pytest -q tests/python$(newline))

# The stubs against the built module, and the host, the examples and the server's load
# benchmark and probe (bench/serve) under mypy --strict.
test-types: venv
	mkdir -p build && cd build && ../$(VENV)/bin/python -m mypy.stubtest varno
	$(call serve_extra,$(VENV))
	$(VENV)/bin/python -m mypy --strict python/varno_play python/varno_serve python/_varno_pickle.py examples \
	    bench/serve
	MYPYPATH=tools $(VENV)/bin/python -m mypy --strict tools/check_release.py tests/release

# The panic path, through a test build whose faults can be armed from Python.
FAULT_BUILD := build/faults
test-faults: venv
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake -S . -B $(FAULT_BUILD) -G Ninja \
	    -DPython_EXECUTABLE=$(abspath $(VENV))/bin/python -DVARNO_FAULT_HOOKS=ON >/dev/null
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake --build $(FAULT_BUILD) -j $(JOBS)
	PYTHONPATH=$(FAULT_BUILD) $(VENV)/bin/python -m pytest -q -p no:cacheprovider tests/faults

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
# of every interpreter (the fault-path tests against a sanitized fault-hook build). The
# interpreter is not built with the sanitizers, so their runtime is preloaded into it
# (with the C++ runtime, whose exception throwing the sanitizer must find at start-up),
# and PYTHONMALLOC=malloc routes its objects through the sanitizer's allocator. Every process writes its reports
# under $(SANITIZE_REPORTS); tools/sanitizer-verdict then fails the run on any error report
# and on any leak whose allocation passes through this project's code. The interpreter's
# own leaks are ignored. The Python processes skip the check at exit, whose report would
# be mostly the interpreter's and whose exit code would replace the process's own; the
# test sessions check for leaks when they end instead (tests/conftest.py). The stack of an
# object the interpreter allocates for the module is only followed through the
# interpreter's frames by the slow unwinder, so the leak tests run again with it, on
# their own: the rest of the suite would take half an hour that way.
SANITIZE_BUILD := build/sanitize
SANITIZE_REPORTS := $(SANITIZE_BUILD)/reports
SANITIZE_COMMON := allocator_may_return_null=1:detect_leaks=1
# $(call sanitized_build,VENV,DIR,OPTIONS): configures and builds a sanitized tree in DIR.
sanitized_build = PATH="$(abspath $(1))/bin:$$PATH" cmake -S . -B $(2) -G Ninja -DCMAKE_CXX_COMPILER=g++ \
	-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARNO_SANITIZE=ON -DPython_EXECUTABLE=$(abspath $(1))/bin/python \
	$(3) >/dev/null && PATH="$(abspath $(1))/bin:$$PATH" cmake --build $(2) -j $(JOBS)
# $(call sanitized,MORE): the environment of a sanitized Python, MORE added to ASAN_OPTIONS.
sanitized = LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
	PYTHONMALLOC=malloc VARNO_SANITIZE=1 \
	ASAN_OPTIONS=$(SANITIZE_COMMON):leak_check_at_exit=0$(1):log_path=$(abspath $(SANITIZE_REPORTS))/asan \
	UBSAN_OPTIONS=print_stacktrace=1:log_path=$(abspath $(SANITIZE_REPORTS))/ubsan
# $(call sanitized_suites,VENV,DIR): the Python tests of VENV's interpreter on the module
# built in DIR, after a check that DIR's module is the one imported.
define sanitized_suites
$(call sanitized_build,$(1),$(2),-DVARNO_BUILD_TESTS=OFF)
cd $(2) && $(call sanitized) $(abspath $(1))/bin/python -c \
    'import varno, os; assert os.path.dirname(varno.__file__) == os.getcwd(), varno.__file__'
PYTHONPATH=$(2) $(call sanitized) $(1)/bin/python -m pytest -q -p no:cacheprovider \
    tests/python --ignore tests/python/test_leaks.py
PYTHONPATH=$(2) $(call sanitized,:fast_unwind_on_malloc=0) $(1)/bin/python -m pytest \
    -q -p no:cacheprovider tests/python/test_leaks.py
endef
sanitize: deps venv
	$(call sanitized_build,$(VENV),$(SANITIZE_BUILD)/core,-DVARNO_BUILD_MODULE=OFF -DVARNO_BUILD_TESTS=ON)
	ASAN_OPTIONS=$(SANITIZE_COMMON) UBSAN_OPTIONS=print_stacktrace=1 \
	    $(VENV)/bin/ctest --test-dir $(SANITIZE_BUILD)/core --output-on-failure -j $(JOBS)
	rm -rf $(SANITIZE_REPORTS) && mkdir -p $(SANITIZE_REPORTS)
	$(foreach py,$(PYTHONS),tools/ensure-venv $(py) $(call venv_of,$(py))$(newline)\
	$(call sanitized_suites,$(call venv_of,$(py)),$(SANITIZE_BUILD)/$(notdir $(py)))$(newline))
	$(call sanitized_build,$(VENV),$(SANITIZE_BUILD)/faults,-DVARNO_FAULT_HOOKS=ON)
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

# The web server: its API, WebSocket and crash tests on every interpreter, and a game in
# Debian's headless Chromium (driven by Playwright) on the newest; the screenshot of the
# board is kept in build/serve-browser.png.
SERVE_TEST_REQUIREMENTS := tests/serve/requirements.txt
test-serve:
	$(call debian,chromium)
	$(foreach py,$(PYTHONS),tools/ensure-venv $(py) $(call venv_of,$(py))$(newline)\
	$(call serve_extra,$(call venv_of,$(py)))$(newline)\
	$(call venv_of,$(py))/bin/python -m pip install --quiet --disable-pip-version-check -r $(SERVE_TEST_REQUIREMENTS)$(newline)\
	$(call venv_of,$(py))/bin/python -m pytest -q -p no:cacheprovider tests/serve \
	    $(if $(filter $(py),$(NEWEST)),,--ignore tests/serve/test_browser.py)$(newline))

test: test-cpp test-python test-faults test-types test-serve wheels sanitize

bench: core
	@for exe in $(CPP_BUILD)/bench_*; do [ -x "$$exe" ] && "$$exe"; done; true
	$(foreach py,$(PYTHONS),tools/ensure-venv $(py) $(call venv_of,$(py))$(newline)\
	$(foreach script,$(wildcard bench/*.py),$(call venv_of,$(py))/bin/python $(script)$(newline)))

BENCH_SECONDS ?= 60
bench-serve: venv
	$(call serve_extra,$(VENV))
	$(VENV)/bin/python bench/serve/bench_serve.py --seconds $(BENCH_SECONDS)

FILE ?= tests/data/bot.tsv
check-vectors: core
	$(CPP_BUILD)/check_vectors $(FILE)
