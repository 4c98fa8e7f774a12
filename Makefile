# Two commands matter: `make demo` and `make test`. Both install what is missing first.
PYTHON     ?= python3
VENV       := .venv
VPY        := $(VENV)/bin/python
BUILD      := build/dev
STAMPS     := .stamps
APT_PKGS   := g++ cmake ninja-build libroaring-dev libgtest-dev libbenchmark-dev python3-dev
PY_PKGS    := pytest hypothesis numpy scikit-build-core ninja cmake
SUDO       := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: all deps build test test-cpp test-python demo install bench-cpp sanitize format clean

all: build

$(STAMPS)/apt:
	@mkdir -p $(STAMPS)
	@missing=$$(for p in $(APT_PKGS); do dpkg -s $$p >/dev/null 2>&1 || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "Installing system packages: $$missing"; \
	  $(SUDO) apt-get update -qq && $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi
	@touch $@

$(STAMPS)/venv: $(STAMPS)/apt
	@[ -x $(VPY) ] || $(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q $(PY_PKGS)
	@touch $@

deps: $(STAMPS)/venv

$(BUILD)/build.ninja: $(STAMPS)/venv CMakeLists.txt
	cmake -S . -B $(BUILD) -G Ninja -DVELDRAKE_BUILD_TESTS=ON -DVELDRAKE_BUILD_BENCH=ON \
	  -DPython3_EXECUTABLE=$(abspath $(VPY))

build: $(BUILD)/build.ninja
	cmake --build $(BUILD)

test-cpp: build
	ctest --test-dir $(BUILD) --output-on-failure -j2

test-python: build
	PYTHONPATH=$(abspath $(BUILD)) $(VPY) -m pytest -q -p no:cacheprovider tests/python
	PYTHONPATH=$(abspath $(BUILD)) $(VPY) examples/check_readme.py

test: test-cpp test-python

demo: build
	PYTHONPATH=$(abspath $(BUILD)) $(VPY) examples/tour.py

# What a user does: build and install the module into the virtual environment.
install: deps
	$(VPY) -m pip install --no-build-isolation .

# C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize: $(STAMPS)/venv
	cmake -S . -B build/asan -G Ninja -DVELDRAKE_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Debug \
	  -DVELDRAKE_SANITIZE=address,undefined -DPython3_EXECUTABLE=$(abspath $(VPY))
	cmake --build build/asan --target core_tests
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 build/asan/tests/cpp/core_tests

bench-cpp: build
	$(BUILD)/bench/structures_bench

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h' '*.c')

clean:
	rm -rf build $(STAMPS)
