# Set-up, build and test entry points: `make demo`, `make test`, `make check`.
PYTHON ?= python3
VENV := .venv
VPY := $(VENV)/bin/python
BUILD ?= build
SAN_BUILD ?= build-sanitize
JOBS ?= $(shell nproc)
PY314_CACHE ?= /var/cache/molarium-py314
SYSTEM_PACKAGES := libzstd-dev liblz4-dev libgtest-dev pkg-config cmake ninja-build g++
# ase only for the tests that rebuild ase.Atoms from stored molecules.
PY_PACKAGES := numpy pytest scikit-build-core ase

.PHONY: all deps system-deps venv build install test test-engine test-python demo check sanitize py314 clean

all: build

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
	@$(VPY) -c "import numpy, pytest, scikit_build_core, ase" 2>/dev/null || \
	  $(VPY) -m pip install -q $(PY_PACKAGES)

deps: system-deps venv

build: deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

test-engine: build
	ctest --test-dir $(BUILD) -j $(JOBS) --output-on-failure

# The extension, built by scikit-build-core into the virtual environment.
install: deps
	$(VPY) -m pip install -q --no-build-isolation .

# The venv's pytest, so that the source tree's molarium/ does not shadow the installed package.
test-python: install
	$(VENV)/bin/pytest -q tests/python

test: test-engine test-python

demo: install
	$(VPY) examples/demo.py

# AddressSanitizer and UndefinedBehaviorSanitizer over the engine tests.
sanitize: deps
	cmake -S . -B $(SAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DMOLARIUM_SANITIZE=ON >/dev/null
	cmake --build $(SAN_BUILD) -j $(JOBS)
	ctest --test-dir $(SAN_BUILD) -j $(JOBS) --output-on-failure

# The same tests inside a Debian root with CPython 3.14 and g++ 16.
py314:
	SRC="$(CURDIR)" sh ../shared/tools/py314-root.sh $(PY314_CACHE) sh -ec '\
	  cmake -S /src -B /tmp/molarium-build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null; \
	  cmake --build /tmp/molarium-build -j $(JOBS); \
	  ctest --test-dir /tmp/molarium-build -j $(JOBS) --output-on-failure; \
	  python3 -m venv --system-site-packages /tmp/molarium-venv; \
	  /tmp/molarium-venv/bin/pip install -q --no-build-isolation /src; \
	  cd /tmp && /tmp/molarium-venv/bin/python -m pytest -q -p no:cacheprovider /src/tests/python'

check: test sanitize py314

clean:
	rm -rf $(BUILD) $(SAN_BUILD)
