# Set-up, build and test entry points: `make demo`, `make test`, `make check`.
PYTHON ?= python3
VENV := .venv
VPY := $(VENV)/bin/python
BUILD ?= build
SAN_BUILD ?= build-sanitize
JOBS ?= $(shell nproc)
PY314_CACHE ?= /var/cache/molarium-py314
# Warnings as errors: off for a user's build, on for every target that CI runs (see below).
WERROR ?= OFF
SYSTEM_PACKAGES := libzstd-dev liblz4-dev libgtest-dev pkg-config cmake ninja-build g++
# ase only for the tests that rebuild ase.Atoms from stored molecules; hypothesis for the
# property-based tests; pytest-xdist runs the Python tests on PYTEST_WORKERS processes.
PY_PACKAGES := numpy pytest pytest-xdist scikit-build-core ase hypothesis
PYTEST_WORKERS ?= 4

.PHONY: all deps system-deps venv build install test test-engine test-python demo check sanitize py314 clean bench fuzz-deps fuzz-build fuzz fuzz-ci

all: build

# The targets CI runs build with warnings as errors; a target-specific value reaches their
# prerequisites too (build, install, fuzz-build).
check test sanitize sanitize-python py314 fuzz-ci: WERROR := ON

# Debian packages the build needs, installed only when missing and only when running as root.
system-deps:
	@missing=""; for p in $(SYSTEM_PACKAGES); do \
	  dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "installing:$$missing"; apt-get update -qq && apt-get install -y -qq $$missing >/dev/null; \
	  else echo "missing Debian packages:$$missing (run as root or install them)"; exit 1; fi; \
	fi

$(VPY):
	$(PYTHON) -m venv $(VENV)

venv: $(VPY)
	@$(VPY) -c "import numpy, pytest, xdist, scikit_build_core, ase, hypothesis" 2>/dev/null || \
	  $(VPY) -m pip install -q $(PY_PACKAGES)

deps: system-deps venv

build: deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DMOLARIUM_WERROR=$(WERROR) >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

test-engine: build
	ctest --test-dir $(BUILD) -j $(JOBS) --output-on-failure

# The extension, built by scikit-build-core into the virtual environment.
install: deps
	$(VPY) -m pip install -q --no-build-isolation -C cmake.define.MOLARIUM_WERROR=$(WERROR) .

# The Python tests against the installed package (the source package lives in src/).
test-python: install
	$(VENV)/bin/pytest -q -n $(PYTEST_WORKERS) tests/python

test: test-engine test-python

demo: install
	$(VPY) examples/demo.py

# AddressSanitizer and UndefinedBehaviorSanitizer over the engine tests.
sanitize: deps
	cmake -S . -B $(SAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DMOLARIUM_SANITIZE=ON -DMOLARIUM_WERROR=$(WERROR) \
	  >/dev/null
	cmake --build $(SAN_BUILD) -j $(JOBS)
	ctest --test-dir $(SAN_BUILD) -j $(JOBS) --output-on-failure

# The Python tests against the extension built with the same sanitizers, in a build directory and
# virtual environment of its own. The interpreter is not instrumented, so the ASan runtime is
# preloaded; leak checks are off (the interpreter keeps objects until exit), and a refused huge
# allocation returns null so that it raises MemoryError instead of aborting the run.
PY_SAN_BUILD ?= build-py-sanitize
PY_SAN_VENV ?= .venv-sanitize
.PHONY: sanitize-python
sanitize-python: system-deps
	test -x $(PY_SAN_VENV)/bin/python || $(PYTHON) -m venv $(PY_SAN_VENV)
	@$(PY_SAN_VENV)/bin/python -c "import numpy, pytest, xdist, scikit_build_core, ase, hypothesis" 2>/dev/null || \
	  $(PY_SAN_VENV)/bin/python -m pip install -q $(PY_PACKAGES)
	$(PY_SAN_VENV)/bin/python -m pip install -q --no-build-isolation -C build-dir=$(PY_SAN_BUILD) \
	  -C cmake.build-type=Debug -C cmake.define.MOLARIUM_SANITIZE=ON -C cmake.define.MOLARIUM_WERROR=$(WERROR) .
	cd /tmp && LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so)" \
	  ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  $(CURDIR)/$(PY_SAN_VENV)/bin/python -m pytest -q -n $(PYTEST_WORKERS) -p no:cacheprovider $(CURDIR)/tests/python

# The same tests inside a Debian root with CPython 3.14 and g++ 16, built once into PY314_CACHE
# (as root; a few minutes the first time). Every build stays in the root's /tmp, so the checkout
# gains no files owned by the root's build.
py314:
	SRC="$(CURDIR)" sh tools/py314-root.sh $(PY314_CACHE) sh -ec '\
	  cmake -S /src -B /tmp/molarium-build -G Ninja -DCMAKE_BUILD_TYPE=Release -DMOLARIUM_WERROR=$(WERROR) >/dev/null; \
	  cmake --build /tmp/molarium-build -j $(JOBS); \
	  ctest --test-dir /tmp/molarium-build -j $(JOBS) --output-on-failure; \
	  python3 -m venv --system-site-packages /tmp/molarium-venv; \
	  /tmp/molarium-venv/bin/pip install -q --no-build-isolation -C build-dir=/tmp/molarium-build-py \
	    -C cmake.define.MOLARIUM_WERROR=$(WERROR) /src; \
	  cd /tmp && /tmp/molarium-venv/bin/python -m pytest -q -p no:cacheprovider /src/tests/python'

check: test sanitize sanitize-python py314 fuzz-ci

# Side-by-side benchmarks against LMDB, h5py, ASE and plain NumPy (BENCH_QUICK=1 for a short run).
# The peers live only in their own venv, never in molarium's dependencies.
BENCH_VENV := .venv-bench
BENCH_BUILD := build-bench
BENCH_PACKAGES := numpy scikit-build-core lmdb h5py ase
bench: system-deps
	@test -x $(BENCH_VENV)/bin/python || $(PYTHON) -m venv $(BENCH_VENV)
	@$(BENCH_VENV)/bin/python -c "import numpy, scikit_build_core, lmdb, h5py, ase" 2>/dev/null || \
	  $(BENCH_VENV)/bin/python -m pip install -q $(BENCH_PACKAGES)
	$(BENCH_VENV)/bin/python -m pip install -q --no-build-isolation -C build-dir=$(BENCH_BUILD) .
	cd bench && ../$(BENCH_VENV)/bin/python run.py

# libFuzzer targets of every decoder of untrusted bytes under AddressSanitizer and UBSan, built
# with Debian's clang 19 (installed when missing, as root). `make fuzz` runs each target for
# FUZZ_SECONDS; `make fuzz-ci` gives each FUZZ_CI_SECONDS. Crashes: build-fuzz/artifacts.
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_CI_SECONDS ?= 6
FUZZ_PACKAGES := clang-19 libclang-rt-19-dev

fuzz-deps: system-deps
	@missing=""; for p in $(FUZZ_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then apt-get update -qq && apt-get install -y -qq $$missing >/dev/null; \
	  else echo "missing Debian packages:$$missing (run as root or install them)"; exit 1; fi; \
	fi

fuzz-build: fuzz-deps
	cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-19 \
	  -DMOLARIUM_FUZZ=ON -DMOLARIUM_BUILD_TESTS=OFF -DMOLARIUM_WERROR=$(WERROR) >/dev/null
	cmake --build $(FUZZ_BUILD) -j $(JOBS)

fuzz: fuzz-build
	sh fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

fuzz-ci: fuzz-build
	sh fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_CI_SECONDS)

# Every build folder and virtual environment the targets above create (build-py is
# scikit-build-core's, set in pyproject.toml and used by `make install`), and the caches that
# pytest, hypothesis and Python leave in the tree.
clean:
	rm -rf $(BUILD) $(SAN_BUILD) $(PY_SAN_BUILD) $(FUZZ_BUILD) $(BENCH_BUILD) build-py \
	  $(VENV) $(PY_SAN_VENV) $(BENCH_VENV) .pytest_cache .hypothesis
	find tests bench examples src -name __pycache__ -type d -prune -exec rm -rf {} +
