# Two commands matter: `make demo` and `make test`. Both install what is missing first.
PYTHON     ?= python3
VENV       := .venv
VPY        := $(VENV)/bin/python
BUILD      := build/dev
STAMPS     := .stamps
APT_PKGS   := g++ cmake ninja-build libgtest-dev libbenchmark-dev python3-dev python3-venv
PY_PKGS    := pytest hypothesis numpy scikit-build-core ninja cmake mypy dask distributed
SUDO       := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: all deps build test test-layers test-cpp test-python demo install bench-cpp bench bench-pypy sanitize format clean \
	asan-build test-asan test-tsan stress test-wheel

all: build

$(STAMPS)/apt:
	@mkdir -p $(STAMPS)
	@$(call apt_need,$(APT_PKGS))
	@touch $@

$(STAMPS)/venv: $(STAMPS)/apt Makefile
	@[ -x $(VPY) ] || $(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q $(PY_PKGS)
	@touch $@

deps: $(STAMPS)/venv

$(BUILD)/build.ninja: $(STAMPS)/venv CMakeLists.txt
	cmake -S . -B $(BUILD) -G Ninja -DVELDRAKE_BUILD_TESTS=ON -DVELDRAKE_BUILD_BENCH=ON \
	  -DVELDRAKE_WERROR=ON -DPython3_EXECUTABLE=$(abspath $(VPY))

build: $(BUILD)/build.ninja
	cmake --build $(BUILD)

test-cpp: build
	ctest --test-dir $(BUILD) --output-on-failure -j2

# python/ holds the pure-Python package veldrake_dask (its tests start Dask workers, which
# inherit PYTHONPATH).
test-python: build
	PYTHONPATH=$(abspath $(BUILD)):$(abspath python) $(VPY) -m pytest -q -p no:cacheprovider tests/python
	MYPYPATH=$(abspath src/module) PYTHONPATH=$(abspath $(BUILD)) $(VPY) -m mypy.stubtest Veldrake

# What a user gets: the wheel `pip wheel .` builds, installed into a fresh virtual environment
# without pip or any build tool, where the README examples run and a type checker reads the stub.
WHEEL_DIR  := build/dist
WHEEL_VENV := build/wheel-venv
test-wheel: $(STAMPS)/venv
	rm -rf $(WHEEL_DIR) $(WHEEL_VENV)
	$(VPY) -m pip wheel -q --no-build-isolation --no-deps -w $(WHEEL_DIR) .
	$(VPY) -m venv --without-pip $(WHEEL_VENV)
	$(VPY) -m pip --python $(WHEEL_VENV)/bin/python install -q --no-deps --no-index $(WHEEL_DIR)/*.whl
	cd $(WHEEL_DIR) && $(abspath $(WHEEL_VENV))/bin/python $(abspath examples/check_readme.py)
# Depending on its version, mypy prints the type as builtins.list[...] or list[...].
	cd $(WHEEL_DIR) && $(abspath $(VPY)) -m mypy --python-executable $(abspath $(WHEEL_VENV))/bin/python \
	  --no-incremental -c 'import Veldrake; reveal_type(Veldrake.Index().collect())' \
	  | grep -qE '"(builtins\.)?list\[Veldrake\.Indexable\]"'

# Every #include points to the file's own layer or one below (tests/check_layers.py).
test-layers:
	$(PYTHON) tests/check_layers.py

test: test-layers test-cpp test-python test-wheel

demo: build
	PYTHONPATH=$(abspath $(BUILD)) $(VPY) examples/tour.py

# What a user does: build and install the module into the virtual environment.
install: deps
	$(VPY) -m pip install --no-build-isolation .

# --- Sanitizers and long runs: never part of `make test` -----------------------------------------
# Each sanitizer has its own build directory. Debug keeps the engine's assertions; -O1 keeps the
# Python suite fast enough under instrumentation.
ASAN_BUILD := build/asan
TSAN_BUILD := build/tsan
SAN_CMAKE   = cmake -S . -G Ninja -DVELDRAKE_BUILD_TESTS=ON -DVELDRAKE_WERROR=ON -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_C_FLAGS_DEBUG="-g -O1" -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" \
  -DPython3_EXECUTABLE=$(abspath $(VPY))
SAN_SUPP   := $(abspath tests/sanitizers)
UBSAN_ENV  := UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
# The C++ tests check for leaks; the embedded interpreter's own allocations at exit are suppressed.
ASAN_CPP_ENV := ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1 \
  LSAN_OPTIONS=suppressions=$(SAN_SUPP)/lsan.supp:print_suppressions=0 $(UBSAN_ENV)
# The Python suite runs the stock interpreter with the ASan runtime preloaded (and libstdc++: ASan
# hooks C++ exceptions only if it is loaded when ASan starts). PYTHONMALLOC=malloc sends every
# Python object through ASan's allocator, so a reference dropped once too often shows up as a use
# after free. The interpreter keeps much of its memory until exit: no leak check here
# (tests/python/test_leaks.py checks the module's own references and ids). Reports go to files,
# which run_checked.sh prints: pytest would swallow them with the dying test's output.
ASAN_REPORTS := $(abspath $(ASAN_BUILD))/reports
ASAN_PY_ENV := LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libstdc++.so)" \
  PYTHONMALLOC=malloc VELDRAKE_SANITIZER=address PYTHONPATH=$(abspath $(ASAN_BUILD)) \
  ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:log_path=$(ASAN_REPORTS)/report \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:log_path=$(ASAN_REPORTS)/report
TSAN_OPTS  := halt_on_error=0:second_deadlock_stack=1:suppressions=$(SAN_SUPP)/tsan.supp
TSAN_REPORTS := $(abspath $(TSAN_BUILD))/reports
TSAN_PY_ENV := LD_PRELOAD=$$($(CXX) -print-file-name=libtsan.so) PYTHONPATH=$(abspath $(TSAN_BUILD)) \
  TSAN_OPTIONS=$(TSAN_OPTS):log_path=$(TSAN_REPORTS)/report VELDRAKE_SANITIZER=thread
CHECKED := tests/sanitizers/run_checked.sh

asan-build: $(STAMPS)/venv
	$(SAN_CMAKE) -B $(ASAN_BUILD) -DVELDRAKE_SANITIZE=address,undefined \
	  -DCMAKE_CXX_FLAGS=-fno-sanitize-recover=undefined
	# The build lists the tests by running them (gtest discovery): leaks are checked later.
	ASAN_OPTIONS=detect_leaks=0 cmake --build $(ASAN_BUILD)

# The C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize: asan-build
	$(ASAN_CPP_ENV) $(ASAN_BUILD)/tests/cpp/base/base_tests
	$(ASAN_CPP_ENV) $(ASAN_BUILD)/tests/cpp/python_side_tests

# The C++ tests and the whole Python suite with the extension built under ASan and UBSan. Every
# step runs; the target fails at the end if any of them failed.
test-asan: asan-build
	status=0; \
	$(ASAN_CPP_ENV) $(ASAN_BUILD)/tests/cpp/base/base_tests || status=1; \
	$(ASAN_CPP_ENV) $(ASAN_BUILD)/tests/cpp/python_side_tests || status=1; \
	$(CHECKED) $(ASAN_REPORTS) env $(ASAN_PY_ENV) $(VPY) -m pytest -q -p no:cacheprovider tests/python \
	  || status=1; \
	$(CHECKED) $(ASAN_REPORTS) env $(ASAN_PY_ENV) $(VPY) examples/check_readme.py || status=1; \
	exit $$status

# Under ThreadSanitizer: the C++ tests that run threads (interner, B-tree, reader-writer lock),
# then the threaded Python tests (the engine driven from several threads, forks, exits with daemon
# threads) and a short stress run with the extension built with TSan and the runtime preloaded into
# the stock interpreter. Any report fails the target (after every step has run).
TSAN_FILTER := *Concurrent*:*Thread*
test-tsan: $(STAMPS)/venv
	$(SAN_CMAKE) -B $(TSAN_BUILD) -DVELDRAKE_SANITIZE=thread
	cmake --build $(TSAN_BUILD)
	status=0; \
	TSAN_OPTIONS=$(TSAN_OPTS) $(TSAN_BUILD)/tests/cpp/base/base_tests --gtest_filter='$(TSAN_FILTER)' \
	  || status=1; \
	$(CHECKED) $(TSAN_REPORTS) env $(TSAN_PY_ENV) $(VPY) -m pytest -q -p no:cacheprovider \
	  tests/python/test_threads.py tests/python/test_leaks.py || status=1; \
	$(CHECKED) $(TSAN_REPORTS) env $(TSAN_PY_ENV) $(VPY) tests/stress/stress.py --threads 4 --seconds 40 \
	  || status=1; \
	exit $$status

# A bounded run of many threads running the random driver (tests/model/driver.py) on shared
# indexes, with a full check against its model between phases (STRESS_ARGS, e.g. --threads 8
# --seconds 300).
stress: build
	PYTHONPATH=$(abspath $(BUILD)) $(VPY) tests/stress/stress.py $(STRESS_ARGS)

bench-cpp: build
	$(BUILD)/bench/structures_bench

# Veldrake against a list scan, a hand-written dict-of-sets index, ducks, sqlite3, pandas, Polars
# and DuckDB, with the targets table (bench/compare.py; BENCH_ARGS=--quick for N = 10^4 only).
# Never part of `make test`. A peer package that fails to install is skipped by the benchmark.
bench: build
	PIP_BUILD_CONSTRAINT=$(abspath bench/build-constraints.txt) $(VPY) -m pip install -q ducks pandas polars duckdb matplotlib \
	  || for p in ducks pandas polars duckdb matplotlib; do \
	       PIP_BUILD_CONSTRAINT=$(abspath bench/build-constraints.txt) $(VPY) -m pip install -q $$p \
	         || echo "bench: could not install $$p; it will be skipped"; done
	PYTHONPATH=$(abspath $(BUILD)) $(VPY) bench/compare.py $(BENCH_ARGS)

# The same benchmark under PyPy (the module built as for test-pypy) for Veldrake, the list scan
# and the dict-of-sets; bench/results/pypy.md puts it beside the CPython run of `make bench`.
PYPY_BENCH_ARGS := --systems veldrake,list_scan,dict_sets --no-memory --no-objects --no-values \
	--no-concurrency --out $(abspath bench/results/pypy)
bench-pypy: $(STAMPS)/apt
	@$(call apt_need,pypy3 pypy3-dev pypy3-venv)
	cmake -S . -B $(PYPY_BUILD) -G Ninja -DVELDRAKE_WERROR=ON -DPython3_EXECUTABLE=$$(command -v pypy3) \
	  -DPython3_FIND_IMPLEMENTATIONS=PyPy
	cmake --build $(PYPY_BUILD) --target Veldrake
	PYTHONPATH=$(abspath $(PYPY_BUILD)) pypy3 bench/compare.py $(PYPY_BENCH_ARGS) $(BENCH_ARGS)
	pypy3 bench/beside.py bench/results bench/results/pypy

# --- Fuzzing, PyPy and 32-bit targets: never part of `make test` ---------------------------------
# Each has its own build directory and installs what it needs first (apt-get; pip into .venv).
.PHONY: fuzz fuzz-atheris fuzz-plain fuzz-replay test-pypy test-i386 test-i386-core \
	test-i386-python test-armhf test-cross
APT_INSTALL = $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq
# Installs the Debian packages named in $(1) that are missing (after one `apt-get update`). A
# package installed for a second architecture (by the cross targets) answers `dpkg -s` only under
# its qualified name, so the native one is asked for too.
apt_need = missing=$$(for p in $(1); do dpkg -s $$p >/dev/null 2>&1 \
    || dpkg -s $$p:$$(dpkg --print-architecture) >/dev/null 2>&1 || echo $$p; done); \
  if [ -n "$$missing" ]; then echo "Installing system packages: $$missing"; \
    $(SUDO) apt-get update -qq && $(APT_INSTALL) $$missing; fi

# tests/fuzz/fuzz_operations.py lets inputs choose the operations of the random driver
# (tests/model/driver.py), which checks every answer against its model; a wrong answer fails the run and
# leaves its input in build/fuzz/artifacts (run it again: make fuzz-replay FILE=...).
# With atheris (PyPI) the module is built by clang with -fsanitize=fuzzer-no-link, so the
# coverage of the C++ code guides the search; without it, random inputs are run instead.
FUZZ_SECONDS ?= 120
FUZZ_BUILD   := build/fuzz
FUZZ_ARGS    ?=
fuzz: $(STAMPS)/venv
	@if $(VPY) -m pip install -q atheris; then $(MAKE) --no-print-directory fuzz-atheris; \
	else echo "fuzz: atheris cannot be installed; running random inputs instead"; \
	  $(MAKE) --no-print-directory fuzz-plain; fi

fuzz-atheris: $(STAMPS)/venv
	@$(call apt_need,clang)
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link \
	  -DPython3_EXECUTABLE=$(abspath $(VPY))
	cmake --build $(FUZZ_BUILD) --target Veldrake
	mkdir -p $(FUZZ_BUILD)/corpus $(FUZZ_BUILD)/artifacts
	PYTHONPATH=$(abspath $(FUZZ_BUILD)) $(VPY) tests/fuzz/fuzz_operations.py \
	  -max_total_time=$(FUZZ_SECONDS) -max_len=1024 -timeout=60 -rss_limit_mb=4096 \
	  -print_final_stats=1 -artifact_prefix=$(FUZZ_BUILD)/artifacts/ $(FUZZ_ARGS) $(FUZZ_BUILD)/corpus

fuzz-plain: $(STAMPS)/venv
	cmake -S . -B build/fuzz-plain -G Ninja -DPython3_EXECUTABLE=$(abspath $(VPY))
	cmake --build build/fuzz-plain --target Veldrake
	PYTHONPATH=$(abspath build/fuzz-plain) $(VPY) tests/fuzz/fuzz_operations.py --plain \
	  --seconds $(FUZZ_SECONDS) $(FUZZ_ARGS)

fuzz-replay:
	PYTHONPATH=$(abspath $(FUZZ_BUILD)) $(VPY) tests/fuzz/fuzz_operations.py --replay $(FILE)

# The Python suite under PyPy (Debian's pypy3, its C-API layer cpyext): the module built against
# pypy3's headers, pytest and hypothesis in a PyPy virtual environment. Tests of CPython-only
# behaviour are skipped there, each with its reason (tests/pypy/pypy_skips.py). PyPy frees the
# module's objects only when its collector runs, so the run is capped in memory.
PYPY_BUILD := build/pypy
PYPY_VENV  := build/pypy-venv
test-pypy: $(STAMPS)/apt
	@$(call apt_need,pypy3 pypy3-dev pypy3-venv)
	@[ -x $(PYPY_VENV)/bin/python ] || pypy3 -m venv $(PYPY_VENV)
	$(PYPY_VENV)/bin/python -m pip install -q pytest hypothesis
	cmake -S . -B $(PYPY_BUILD) -G Ninja -DVELDRAKE_WERROR=ON -DPython3_EXECUTABLE=$$(command -v pypy3) \
	  -DPython3_FIND_IMPLEMENTATIONS=PyPy
	cmake --build $(PYPY_BUILD) --target Veldrake
	ulimit -v 16000000; PYTHONPATH=$(abspath $(PYPY_BUILD)):$(abspath tests/pypy) \
	  $(PYPY_VENV)/bin/python -m pytest -q -p no:cacheprovider -p pypy_skips tests/python
	PYTHONPATH=$(abspath $(PYPY_BUILD)) $(PYPY_VENV)/bin/python examples/check_readme.py

# 32-bit builds through Debian multiarch and cross compilers (tests/cross: toolchain files, and
# a CMake project of the base layer veldrake_base with tests/cpp/base).
# i386 runs natively on an x86-64 kernel; armhf runs under qemu-user.
test-i386: test-i386-core test-i386-python

test-i386-core: $(STAMPS)/apt
	@dpkg --print-foreign-architectures | grep -qx i386 || $(SUDO) dpkg --add-architecture i386
	@$(call apt_need,g++-i686-linux-gnu libc6:i386 libstdc++6:i386 libgtest-dev:i386)
	cmake -S tests/cross -B build/i386 -G Ninja -DCMAKE_TOOLCHAIN_FILE=$(abspath tests/cross/i386.cmake)
	cmake --build build/i386
	ctest --test-dir build/i386 --output-on-failure -j2

# The module and every C++ test for i386 too: Debian's libpython3.11-dev:i386 installs beside
# the x86-64 interpreter, a 32-bit python3.11 is linked from it (tests/cross/python_launcher.c),
# and Debian's python3-pytest and python3-hypothesis serve it (numpy is not available there).
I386_PY    := build/i386-python
I386_PYVER := 3.11
test-i386-python: test-i386-core
	@$(call apt_need,libpython$(I386_PYVER)-dev:i386 python$(I386_PYVER) python3-pytest python3-hypothesis)
	cmake -S . -B $(I386_PY) -G Ninja -DCMAKE_TOOLCHAIN_FILE=$(abspath tests/cross/i386.cmake) \
	  -DVELDRAKE_BUILD_TESTS=ON -DVELDRAKE_WERROR=ON -DPython3_EXECUTABLE=/usr/bin/python$(I386_PYVER) \
	  -DPython3_INCLUDE_DIR=/usr/include/python$(I386_PYVER) \
	  -DPython3_LIBRARY=/usr/lib/i386-linux-gnu/libpython$(I386_PYVER).so
	cmake --build $(I386_PY)
	i686-linux-gnu-gcc -O2 -I/usr/include/python$(I386_PYVER) tests/cross/python_launcher.c \
	  -o $(I386_PY)/python3 -L/usr/lib/i386-linux-gnu -lpython$(I386_PYVER)
	ctest --test-dir $(I386_PY) --output-on-failure -j2
	PYTHONPATH=$(abspath $(I386_PY)) $(I386_PY)/python3 -m pytest -q -p no:cacheprovider tests/python
	PYTHONPATH=$(abspath $(I386_PY)) $(I386_PY)/python3 examples/check_readme.py

test-armhf: $(STAMPS)/apt
	@dpkg --print-foreign-architectures | grep -qx armhf || $(SUDO) dpkg --add-architecture armhf
	@$(call apt_need,g++-arm-linux-gnueabihf qemu-user-static libc6:armhf libstdc++6:armhf libgtest-dev:armhf)
	cmake -S tests/cross -B build/armhf -G Ninja -DCMAKE_TOOLCHAIN_FILE=$(abspath tests/cross/armhf.cmake)
	cmake --build build/armhf
	ctest --test-dir build/armhf --output-on-failure -j2

test-cross: test-i386 test-armhf

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h' '*.c')

clean:
	rm -rf build $(STAMPS)
