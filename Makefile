# Two commands do all the set-up: `make demo` and `make test`.
# Works with python3.12 and python3.13 on the PATH, and with pyenv
# (PYENV_VERSION selects 3.12; 3.13 is selected for its own venv only).
PYTHON ?= python3.12
PYTHON_313 ?= python3.13
export PYENV_VERSION ?= 3.12

VENV   := .venv
VPY    := $(VENV)/bin/python
# The second supported Python: its own venv, module and test run.
VENV_313 := .venv-3.13
VPY_313  := $(VENV_313)/bin/python
CMAKE  := $(VENV)/bin/cmake
CTEST  := $(VENV)/bin/ctest
BUILD  := build/cpp
SOURCES := $(shell find src third_party cmake -type f) CMakeLists.txt pyproject.toml

.PHONY: all demo test test-fast cpp-build cpp-test py-test py-test-3.13 py-test-wheel module system-deps \
        clean test-sanitize test-valgrind fuzz fuzz-differential bench test-aarch64 test-wheel-aarch64 \
        service service-picture bench-service browser-deps stb-patched

all: module

system-deps:
	@scripts/install-system-deps.sh

$(VENV)/.ready: requirements-dev.txt requirements-test.txt | system-deps
	@test -x $(VPY) || $(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q -r requirements-dev.txt
	@touch $@

# The module, installed into .venv from this source tree.
$(VENV)/.module: $(VENV)/.ready $(SOURCES)
	$(VPY) -m pip install -q --no-build-isolation --no-deps --force-reinstall .
	@touch $@

module: $(VENV)/.module

$(VENV_313)/.ready: requirements-dev.txt requirements-test.txt
	@PYTHON=$(PYTHON_313) PYENV_VERSION=3.13 scripts/install-system-deps.sh
	@test -x $(VPY_313) || PYENV_VERSION=3.13 $(PYTHON_313) -m venv $(VENV_313)
	$(VPY_313) -m pip install -q --upgrade pip
	$(VPY_313) -m pip install -q -r requirements-dev.txt
	@touch $@

$(VENV_313)/.module: $(VENV_313)/.ready $(SOURCES)
	$(VPY_313) -m pip install -q --no-build-isolation --no-deps --force-reinstall .
	@touch $@

NINJA := -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja)

# The stb loader as it is compiled, for reading: the pinned stb_image.h with
# the patch series of third_party/stb/patches applied.
stb-patched: $(VENV)/.ready
	$(CMAKE) -DSTB_DIR=third_party/stb -DOUTPUT=build/stb_image_patched.h -P src/codec/stb_patch/stb_patch_series.cmake

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

# The same Python tests on 3.13, against the C++ build above.
py-test-3.13: $(VENV_313)/.module cpp-build browser-deps
	$(VPY_313) -m pytest tests/python

# The x86-64 wheel of `make dist`, installed with pip, on CPython 3.14 and
# 3.15 from Debian unstable (pyenv has neither here), in a root file system
# that scripts/sid-root.sh builds once and caches in ~/.cache/tonvik. The
# tree is mounted in read-only, and with it the C++ build's decode driver.
py-test-wheel: build/dist/x86_64.wheel cpp-build
	@scripts/install-system-deps.sh debootstrap
	PIP="$(abspath $(VPY)) -m pip" scripts/test-in-sid.sh $(call wheel_of,x86_64)

test: cpp-test py-test py-test-3.13 py-test-wheel

# The edit-and-test loop, about two minutes: every C++ test, then the Python
# tests on 3.12 alone, without the packaging and slow cases (the real browser,
# the separate Dask cluster, the service's load runs, the multi-gigabyte
# reads). `make test` runs all of them.
test-fast: module cpp-build
	$(CTEST) --test-dir $(BUILD) -j 2 --output-on-failure
	$(VPY) -m pytest tests/python -m "not packaging and not slow"

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
test-valgrind: module cpp-build
	@scripts/install-system-deps.sh valgrind
	TONVIK_DECODE_WRAPPER="$(VALGRIND)" $(VPY) -m pytest -p no:cacheprovider -k decode \
	  tests/python/test_hostile_images.py tests/python/test_image_formats.py
	TONVIK_DECODE_WRAPPER="$(VALGRIND)" $(VPY) -m pytest -p no:cacheprovider \
	  -k "palette or truncated or refused or without_end or cut_short" tests/python/test_bounded_cost.py

# A bounded run of libFuzzer targets from fuzz/, FUZZ_SECONDS each, seeded by
# the project's own generated files (cube seeds for the cube fuzzers, raw
# pictures for the JPEG writer's, image seeds for the rest) and by
# fuzz/<name>.dict where one exists. Every fuzz/<name>_fuzzer.cpp is built;
# `make fuzz` runs all of them, FUZZERS=... picks some. Findings land in build/fuzz/findings.
FUZZ_BUILD   := build/fuzz
FUZZ_SECONDS ?= 60
# The cost budget of one input (every input is at most 64 KB): one that takes
# longer than FUZZ_TIMEOUT seconds or a resident set above FUZZ_RSS_MB is a
# finding. The densest valid images the apply fuzzer decodes in full (flat
# colours of 2^18 pixels, in the seeds) take up to 4 s and 45 MB in this
# instrumented build on a busy 2-core machine. A single allocation may be
# larger than the RSS budget (a lying PNG chunk reserves its declared size
# without touching it), up to FUZZ_MALLOC_MB.
FUZZ_TIMEOUT   ?= 10
FUZZ_RSS_MB    ?= 512
FUZZ_MALLOC_MB ?= 2560
FUZZERS ?= $(basename $(notdir $(wildcard fuzz/*_fuzzer.cpp)))
fuzz: $(VENV)/.ready
	@scripts/install-system-deps.sh clang
	$(CMAKE) -S . -B $(FUZZ_BUILD) $(NINJA) -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTONVIK_FUZZ=ON -DTONVIK_TESTS=OFF
	$(CMAKE) --build $(FUZZ_BUILD) -j 2 --target $(FUZZERS)
	$(VPY) fuzz/make_seeds.py $(FUZZ_BUILD)/seeds
	@set -e; mkdir -p $(FUZZ_BUILD)/findings; for fuzzer in $(FUZZERS); do \
	  case $$fuzzer in *cube*) seeds=cube;; *jpeg_writer*) seeds=writer;; *) seeds=image;; esac; \
	  dict=fuzz/$${fuzzer%_fuzzer}.dict; \
	  if [ -f $$dict ]; then dict=-dict=$$dict; else dict=; fi; \
	  mkdir -p $(FUZZ_BUILD)/corpus/$$fuzzer; \
	  echo "== $$fuzzer: $(FUZZ_SECONDS) s"; \
	  $(FUZZ_BUILD)/fuzz/$$fuzzer -max_total_time=$(FUZZ_SECONDS) -timeout=$(FUZZ_TIMEOUT) \
	    -rss_limit_mb=$(FUZZ_RSS_MB) -malloc_limit_mb=$(FUZZ_MALLOC_MB) \
	    -max_len=65536 -print_final_stats=1 $$dict -artifact_prefix=$(FUZZ_BUILD)/findings/$$fuzzer- \
	    $(FUZZ_BUILD)/corpus/$$fuzzer $(FUZZ_BUILD)/seeds/$$seeds; \
	done

# The cube reader against the stream-based reference reader of the tests.
fuzz-differential:
	$(MAKE) fuzz FUZZERS=cube_differential_fuzzer

# The C++ tests cross-built for aarch64 and run under qemu's user-mode
# emulator: no x86 kernel exists there, so the portable LUT path, the decoders
# and the writer must give the bytes that same_bytes_test pins on x86 too.
AARCH64_BUILD := build/aarch64
test-aarch64: $(VENV)/.ready
	@scripts/install-system-deps.sh aarch64
	$(CMAKE) -S . -B $(AARCH64_BUILD) $(NINJA) --toolchain $(abspath cmake/aarch64-linux-gnu.cmake)
	$(CMAKE) --build $(AARCH64_BUILD) -j 2
	$(CTEST) --test-dir $(AARCH64_BUILD) --output-on-failure -j 2

# The aarch64 wheel of `make dist` on an arm64 CPython 3.14 from Debian
# unstable, run under qemu's user-mode emulator: the demo and the same-bytes
# set give the bytes of the x86-64 wheel and the pinned fingerprints.
test-wheel-aarch64: build/dist/aarch64.wheel build/dist/x86_64.wheel
	@scripts/install-system-deps.sh debootstrap qemu-user
	PYTHON=$(abspath $(VPY)) scripts/test-wheel-aarch64.sh $(call wheel_of,aarch64) $(call wheel_of,x86_64)

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

# The distributions: the sdist, and from it one cp312-abi3 wheel per
# architecture (the limited API of 3.12 loads on every later CPython), built
# offline as pip builds an sdist, by zig's clang for glibc 2.28
# (cmake/zig-*.cmake). auditwheel's repair tags each wheel with the oldest
# glibc its symbols allow (it accepts --plat for this machine's architecture
# only), and the wheel also carries the manylinux_2_28 tag it is built for.
# `make dist` prints auditwheel's verdict on each wheel and fails unless the
# verdict is one of the wheel's tags and no newer than glibc 2.28. Each file is
# remade only when the sources change.
VERSION := $(shell sed -n 's/^version = "\(.*\)"$$/\1/p' pyproject.toml)
SDIST   := dist/tonvik-$(VERSION).tar.gz
WHEEL_ARCHES := x86_64 aarch64
# The wheel of one architecture, once built (its name carries auditwheel's tags).
wheel_of = dist/tonvik-$(VERSION)-cp312-abi3-*_$(1).whl

$(SDIST): $(VENV)/.ready $(SOURCES) README.md
	rm -f dist/tonvik-*.tar.gz
	$(VPY) -m build --sdist --no-isolation --outdir dist .

# _PYTHON_HOST_PLATFORM sets the architecture of the raw wheel's tag
# (linux_<arch>), which the repair replaces.
build/dist/%.wheel: $(SDIST) cmake/zig.cmake cmake/zig-%.cmake
	rm -rf build/dist/$* dist/tonvik-*_$*.whl
	_PYTHON_HOST_PLATFORM=linux-$* CMAKE_TOOLCHAIN_FILE=$(abspath cmake/zig-$*.cmake) \
	  CMAKE_BUILD_PARALLEL_LEVEL=2 $(VPY) -m pip wheel -q --no-index --no-build-isolation --no-deps \
	  --wheel-dir build/dist/$*/raw $(SDIST)
	PATH=$(abspath $(VENV)/bin):$$PATH auditwheel repair --wheel-dir build/dist/$* build/dist/$*/raw/tonvik-*.whl
	$(VPY) -m wheel tags --remove --platform-tag +manylinux_2_28_$* build/dist/$*/tonvik-*.whl
	mv build/dist/$*/tonvik-*.whl dist/
	@touch $@

dist: $(SDIST) $(foreach arch,$(WHEEL_ARCHES),build/dist/$(arch).wheel)
	@set -e; for arch in $(WHEEL_ARCHES); do \
	  wheel=$$(ls $(call wheel_of,$$arch)); \
	  $(VENV)/bin/auditwheel show $$wheel | tee build/dist/$$arch.show; \
	  verdict=$$(tr -s ' \n' '  ' < build/dist/$$arch.show | sed -n 's/.*following platform tag: "\([^"]*\)".*/\1/p'); \
	  glibc=$$(echo "$$verdict" | sed -n 's/^manylinux_2_\([0-9]*\)_.*/\1/p'); \
	  case $$wheel in *[-.]$$verdict[.]*) ;; *) glibc=99;; esac; \
	  [ "$${glibc:-99}" -le 28 ] || { echo "auditwheel does not accept $$wheel" >&2; exit 1; }; \
	done
	@ls -l dist

# Only the slow distribution tests: build, repair, install the wheel in a
# fresh venv, run the demo; on both Pythons.
packaging-test: module $(VENV_313)/.module
	$(VPY) -m pytest -m packaging tests/python
	$(VPY_313) -m pytest -m packaging tests/python

# The performance bench: C++ micro-benchmarks and timers (Google Benchmark),
# the peers (Pillow from the venv, ffmpeg from Debian, libvips from PyPI), one table.
BENCH_BUILD := build/bench
bench: module
	@scripts/install-system-deps.sh libbenchmark-dev ffmpeg
	@# libvips, the memory reference, from PyPI with its own binary wheel (no
	@# system libvips); without it the bench leaves its figures out.
	-$(VPY) -m pip install -q pyvips pyvips-binary
	$(CMAKE) -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DCMAKE_BUILD_TYPE=Release -DTONVIK_TESTS=OFF -DTONVIK_BENCHMARKS=ON
	$(CMAKE) --build $(BENCH_BUILD) -j 2
	$(VPY) bench/run_bench.py

# clang-format over the project's C++ (the style is in .clang-format).
format:
	@scripts/install-system-deps.sh clang-format
	git ls-files '*.cpp' '*.hpp' | xargs clang-format -i

clean:
	rm -rf build $(VENV) $(VENV_313)
