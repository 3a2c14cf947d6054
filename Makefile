# Two commands do all the set-up: `make demo` and `make test`.
# Works with python3.12 on the PATH, and with pyenv (PYENV_VERSION selects 3.12).
PYTHON ?= python3.12
export PYENV_VERSION ?= 3.12

VENV   := .venv
VPY    := $(VENV)/bin/python
CMAKE  := $(VENV)/bin/cmake
CTEST  := $(VENV)/bin/ctest
BUILD  := build/cpp
SOURCES := $(shell find src third_party -type f) CMakeLists.txt pyproject.toml

.PHONY: all demo test cpp-build cpp-test py-test module system-deps clean \
        test-sanitize test-valgrind fuzz fuzz-differential bench \
        service service-picture bench-service browser-deps

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

NINJA := -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja)

# The C++ tests, and the decode driver that the Python image tests run.
cpp-build: $(VENV)/.ready
	$(CMAKE) -S . -B $(BUILD) $(NINJA)
	$(CMAKE) --build $(BUILD) -j 2

cpp-test: cpp-build
	$(CTEST) --test-dir $(BUILD) --output-on-failure

py-test: module cpp-build browser-deps
	$(VPY) -m pytest tests/python

# Debian's headless browser and its driver, for the upload service's page test.
browser-deps:
	@scripts/install-system-deps.sh chromium chromium-driver

test: cpp-test py-test

# Everything again with AddressSanitizer and UndefinedBehaviorSanitizer: the
# C++ tests, then the Python tests against the instrumented module, with the
# interpreter started under the compiler's own sanitizer runtimes (CPython's
# own allocations are not leak-checked).
SAN_BUILD := build/sanitize
SAN_CXX   := g++
SAN_RUNTIMES = $$($(SAN_CXX) -print-file-name=libasan.so) $$($(SAN_CXX) -print-file-name=libubsan.so)
SAN_ENV = LD_PRELOAD="$(SAN_RUNTIMES)" ASAN_OPTIONS=detect_leaks=0 \
          UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
          PYTHONPATH=$(abspath $(SAN_BUILD)/src/binding) \
          TONVIK_DECODE_TOOL=$(abspath $(SAN_BUILD)/tests/cpp/tonvik_decode)

test-sanitize: $(VENV)/.ready browser-deps
	$(CMAKE) -S . -B $(SAN_BUILD) $(NINJA) -DCMAKE_CXX_COMPILER=$(SAN_CXX) \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTONVIK_SANITIZE=ON -DTONVIK_PYTHON_MODULE=ON \
	  -DPython_EXECUTABLE=$(abspath $(VPY))
	$(CMAKE) --build $(SAN_BUILD) -j 2
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 $(CTEST) --test-dir $(SAN_BUILD) --output-on-failure
	$(SAN_ENV) $(VPY) -c 'import sys, tonvik; sys.exit(0 if "$(SAN_BUILD)/" in tonvik.__file__ else "not the instrumented module: " + tonvik.__file__)'
	$(SAN_ENV) $(VPY) -m pytest tests/python -p no:cacheprovider

# The decode driver under memcheck over every hostile and valid image case:
# catches reads of uninitialised memory, which AddressSanitizer cannot see.
VALGRIND := valgrind --quiet --error-exitcode=99 --track-origins=yes \
            --leak-check=full --errors-for-leak-kinds=definite,indirect
test-valgrind: cpp-build
	@scripts/install-system-deps.sh valgrind
	TONVIK_DECODE_WRAPPER="$(VALGRIND)" $(VPY) -m pytest -p no:cacheprovider -k decode \
	  tests/python/test_hostile_images.py tests/python/test_image_formats.py

# A bounded run of libFuzzer targets from fuzz/, FUZZ_SECONDS each, seeded by
# the project's own generated files (cube seeds for the cube fuzzers, image
# seeds for the rest) and by fuzz/<name>.dict where one exists. Every
# fuzz/<name>_fuzzer.cpp is built; `make fuzz` runs all of them, FUZZERS=...
# picks some. Findings land in build/fuzz/findings.
FUZZ_BUILD   := build/fuzz
FUZZ_SECONDS ?= 60
FUZZERS ?= $(basename $(notdir $(wildcard fuzz/*_fuzzer.cpp)))
fuzz: $(VENV)/.ready
	@scripts/install-system-deps.sh clang
	$(CMAKE) -S . -B $(FUZZ_BUILD) $(NINJA) -DCMAKE_CXX_COMPILER=clang++ \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTONVIK_FUZZ=ON -DTONVIK_TESTS=OFF
	$(CMAKE) --build $(FUZZ_BUILD) -j 2 --target $(FUZZERS)
	$(VPY) fuzz/make_seeds.py $(FUZZ_BUILD)/seeds
	@set -e; mkdir -p $(FUZZ_BUILD)/findings; for fuzzer in $(FUZZERS); do \
	  case $$fuzzer in *cube*) seeds=cube;; *) seeds=image;; esac; \
	  dict=fuzz/$${fuzzer%_fuzzer}.dict; \
	  if [ -f $$dict ]; then dict=-dict=$$dict; else dict=; fi; \
	  mkdir -p $(FUZZ_BUILD)/corpus/$$fuzzer; \
	  echo "== $$fuzzer: $(FUZZ_SECONDS) s"; \
	  $(FUZZ_BUILD)/fuzz/$$fuzzer -max_total_time=$(FUZZ_SECONDS) -timeout=5 -rss_limit_mb=2560 \
	    -max_len=65536 -print_final_stats=1 $$dict -artifact_prefix=$(FUZZ_BUILD)/findings/$$fuzzer- \
	    $(FUZZ_BUILD)/corpus/$$fuzzer $(FUZZ_BUILD)/seeds/$$seeds; \
	done

# The cube reader against the stream-based reference reader of the tests.
fuzz-differential:
	$(MAKE) fuzz FUZZERS=cube_differential_fuzzer

demo: module
	$(VPY) examples/demo.py

# The upload service on the demo's sample look, at http://127.0.0.1:8000/.
SERVICE_ARGS ?=
service: demo
	$(VPY) examples/grade_service.py --looks build/demo $(SERVICE_ARGS)

# The README's screenshot of the service's page, taken by the browser test.
service-picture: module browser-deps
	GRADE_SERVICE_SCREENSHOT=$(abspath docs/service.png) $(VPY) -m pytest -p no:cacheprovider -q \
	  tests/python/test_service.py -k browser

# Requests per second and latency of the service for a 2 MP photo, 2 workers.
bench-service: module
	$(VPY) bench/service_load.py

.PHONY: picture typecheck dist packaging-test format

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

# The performance bench: C++ micro-benchmarks and timers (Google Benchmark),
# the peers (Pillow from the venv, ffmpeg from Debian), one table.
BENCH_BUILD := build/bench
bench: module
	@scripts/install-system-deps.sh libbenchmark-dev ffmpeg
	$(CMAKE) -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DCMAKE_BUILD_TYPE=Release -DTONVIK_TESTS=OFF -DTONVIK_BENCHMARKS=ON
	$(CMAKE) --build $(BENCH_BUILD) -j 2
	$(VPY) bench/run_bench.py

# clang-format over the project's C++ (the style is in .clang-format).
format:
	@scripts/install-system-deps.sh clang-format
	git ls-files '*.cpp' '*.hpp' | xargs clang-format -i

clean:
	rm -rf build $(VENV)
