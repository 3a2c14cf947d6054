# Two commands do all the set-up: `make demo` and `make test`.
# Works with python3.12 on the PATH, and with pyenv (PYENV_VERSION selects 3.12).
PYTHON ?= python3.12
export PYENV_VERSION ?= 3.12

VENV   := .venv
VPY    := $(VENV)/bin/python
CMAKE  := $(VENV)/bin/cmake
CTEST  := $(VENV)/bin/ctest
BUILD  := build/cpp
SOURCES := $(shell find src -type f) CMakeLists.txt pyproject.toml

.PHONY: all demo test cpp-test py-test module system-deps clean

all: module

system-deps:
	@scripts/install-system-deps.sh

$(VENV)/.ready: requirements-dev.txt | system-deps
	@test -x $(VPY) || $(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q -r requirements-dev.txt
	@touch $@

# The module, installed into .venv from this source tree.
$(VENV)/.module: $(VENV)/.ready $(SOURCES)
	$(VPY) -m pip install -q --no-build-isolation --no-deps --force-reinstall .
	@touch $@

module: $(VENV)/.module

cpp-test: $(VENV)/.ready
	$(CMAKE) -S . -B $(BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja)
	$(CMAKE) --build $(BUILD)
	$(CTEST) --test-dir $(BUILD) --output-on-failure

py-test: module
	$(VPY) -m pytest tests/python

test: cpp-test py-test

demo: module
	$(VPY) examples/demo.py

.PHONY: picture typecheck dist packaging-test

# The README's before/after picture, from the demo's own samples and grade.
picture: module
	$(VPY) examples/before_after.py docs/before-after.png

# mypy --strict over examples/ (settings in pyproject.toml); the tests run it too.
typecheck: module
	$(VPY) -m mypy --strict --cache-dir build/mypy

# sdist and wheel into dist/, built as a user's pip would: in isolation.
dist: $(VENV)/.ready
	CMAKE_BUILD_PARALLEL_LEVEL=2 $(VPY) -m build --outdir dist .

# Only the slow distribution tests: build, install the wheel in a fresh venv, run the demo.
packaging-test: module
	$(VPY) -m pytest -m packaging tests/python

clean:
	rm -rf build $(VENV)
