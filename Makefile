# Everything a fresh machine needs: `make test` builds the module and runs every test; `make demo` runs the demo.
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
VENV_NP1 := .venv-np1
PY_NP1 := $(VENV_NP1)/bin/python
NUMPY1 := numpy==1.26.4
JOBS ?= 2

.PHONY: all test build wheel pytest pytest-np1 cpp-test gtest venv clean

all: build

$(VENV)/.ready: requirements-dev.txt
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q -r requirements-dev.txt
	touch $@

venv: $(VENV)/.ready

# One wheel, built against NumPy 2 headers, serves both NumPy 1.26 and 2.x at run time.
wheel: $(VENV)/.ready
	rm -rf dist
	$(PY) -m pip wheel -q --no-build-isolation --no-deps -w dist .

build: wheel
	$(PY) -m pip install -q --no-deps --force-reinstall dist/korvex-*.whl

pytest: build
	$(PY) -m pytest -W error -q tests/python

$(VENV_NP1)/.ready: requirements-dev.txt
	$(PYTHON) -m venv $(VENV_NP1)
	$(PY_NP1) -m pip install -q --upgrade pip
	$(PY_NP1) -m pip install -q "$(NUMPY1)" $$(grep -v -E '^(numpy|scikit-build-core)' requirements-dev.txt)
	touch $@

pytest-np1: wheel $(VENV_NP1)/.ready
	$(PY_NP1) -m pip install -q --no-deps --force-reinstall dist/korvex-*.whl
	$(PY_NP1) -m pytest -W error -q tests/python

gtest:
	@if [ ! -f /usr/include/gtest/gtest.h ]; then \
	  echo "installing libgtest-dev"; \
	  (apt-get update -qq && apt-get install -y -qq libgtest-dev) >/dev/null; \
	fi

cpp-test: gtest
	cmake -S . -B build/cpp -DKORVEX_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build build/cpp -j$(JOBS)
	ctest --test-dir build/cpp --output-on-failure -j$(JOBS)

test: cpp-test pytest pytest-np1

clean:
	rm -rf build dist $(VENV) $(VENV_NP1)
