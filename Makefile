# make play   build, install into .venv/ and start a game
# make test   every test: the core's C++ tests, then the Python tests on every Python >= 3.12
# make bench  the benchmarks (not part of the tests)
# make check-vectors FILE=path   run a file of search vectors against the core
# make wheel-check  build a wheel, install it into a fresh environment and use it

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

DEBIAN_PACKAGES := g++ libgtest-dev libbenchmark-dev
CPP_BUILD := build/cpp
ARGS ?=
JOBS ?= 2

.PHONY: play test test-cpp test-python test-faults test-types wheel-check bench check-vectors deps venv core

# Debian packages for the C++ tests and benchmarks, installed only when missing.
deps:
	@missing=""; for p in $(DEBIAN_PACKAGES); do \
	    dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	    sudo=""; [ "$$(id -u)" = 0 ] || sudo=sudo; \
	    echo "Installing Debian packages:$$missing"; \
	    $$sudo apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$sudo apt-get install -y -qq $$missing >/dev/null; \
	fi

venv:
	tools/ensure-venv $(NEWEST) $(VENV)

play: venv
	$(VENV)/bin/varno-play $(ARGS)

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

# The stubs against the built module, and the host and examples under mypy --strict.
test-types: venv
	mkdir -p build && cd build && ../$(VENV)/bin/python -m mypy.stubtest varno
	$(VENV)/bin/python -m mypy --strict python/varno_play examples

# The panic path, through a test build whose faults can be armed from Python.
FAULT_BUILD := build/faults
test-faults: venv
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake -S . -B $(FAULT_BUILD) -G Ninja \
	    -DPython_EXECUTABLE=$(abspath $(VENV))/bin/python -DVARNO_FAULT_HOOKS=ON >/dev/null
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake --build $(FAULT_BUILD) -j $(JOBS)
	PYTHONPATH=$(FAULT_BUILD) $(VENV)/bin/python -m pytest -q -p no:cacheprovider tests/faults

WHEEL_DIR := build/wheelhouse
wheel-check: venv
	rm -rf $(WHEEL_DIR) build/wheel-venv
	PATH="$(abspath $(VENV))/bin:$$PATH" $(VENV)/bin/python -m pip wheel --quiet \
	    --disable-pip-version-check --no-build-isolation --no-deps -w $(WHEEL_DIR) .
	$(NEWEST) -m venv build/wheel-venv
	build/wheel-venv/bin/python -m pip install --quiet --disable-pip-version-check $(WHEEL_DIR)/varno-*.whl
	cd build && wheel-venv/bin/python -c 'import varno; assert varno.__all__ == ["Player", "CardType", "Board"]; print(varno.Board())'
	build/wheel-venv/bin/varno-play --bots --depth 2 > build/wheel-game.txt
	tail -n 1 build/wheel-game.txt

test: test-cpp test-python test-faults test-types wheel-check

bench: core
	@for exe in $(CPP_BUILD)/bench_*; do [ -x "$$exe" ] && "$$exe"; done; true
	$(foreach py,$(PYTHONS),tools/ensure-venv $(py) $(call venv_of,$(py))$(newline)\
	$(foreach script,$(wildcard bench/*.py),$(call venv_of,$(py))/bin/python $(script)$(newline)))

FILE ?= ../shared/vectors/bot.tsv
check-vectors: core
	$(CPP_BUILD)/check_vectors $(FILE)
