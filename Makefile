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

.PHONY: all demo test cpp-test py-test module system-deps clean fuzz-differential bench

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

# A bounded run of the cube reader differential fuzzer (Clang, libFuzzer,
# AddressSanitizer and UBSan). FUZZ_SECONDS sets the budget.
FUZZ_SECONDS ?= 60
FUZZ_DIFF_BUILD := build/fuzz-differential
fuzz-differential: $(VENV)/.ready
	@scripts/install-system-deps.sh clang libclang-rt-14-dev
	$(CMAKE) -S . -B $(FUZZ_DIFF_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTONVIK_TESTS=OFF \
	  -DTONVIK_SANITIZE=ON -DTONVIK_FUZZ_DIFFERENTIAL=ON
	$(CMAKE) --build $(FUZZ_DIFF_BUILD) --target cube_differential_fuzzer
	@mkdir -p $(FUZZ_DIFF_BUILD)/corpus
	$(FUZZ_DIFF_BUILD)/cube_differential_fuzzer -max_total_time=$(FUZZ_SECONDS) -max_len=4096 \
	  -dict=fuzz/cube_differential.dict $(FUZZ_DIFF_BUILD)/corpus

# The performance bench: C++ micro-benchmarks and timers (Google Benchmark),
# the peers (Pillow from the venv, ffmpeg from Debian), one table.
BENCH_BUILD := build/bench
bench: module
	@scripts/install-system-deps.sh libbenchmark-dev ffmpeg
	$(CMAKE) -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DCMAKE_BUILD_TYPE=Release -DTONVIK_TESTS=OFF -DTONVIK_BENCHMARKS=ON
	$(CMAKE) --build $(BENCH_BUILD) -j 2
	$(VPY) bench/run_bench.py

clean:
	rm -rf build $(VENV)
