# Everything a fresh machine needs: `make test` builds the module and runs every test; `make demo` runs the demo.
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
VENV_NP1 := .venv-np1
PY_NP1 := $(VENV_NP1)/bin/python
NUMPY1 := numpy==1.26.4
JOBS ?= 2

.PHONY: all test build wheel pytest pytest-np1 cpp-test gtest venv clean
.PHONY: demo mpl-tests stubtest bench-visibility

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
	@# A parameter GoogleTest cannot print shows as its bytes (addresses among them): names must not change per build.
	@if ctest --test-dir build/cpp -N | grep "byte object"; then \
	  echo "unstable test names: give INSTANTIATE_TEST_SUITE_P a name generator"; exit 1; fi

# The exact visibility order against the plain depth sort of the same polygons (a C++ program, no Python).
bench-visibility:
	cmake -S . -B build/bench -DKORVEX_BUILD_BENCH=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build build/bench -j$(JOBS) --target bench_visibility
	build/bench/bench_visibility

# The type stub shipped with the module against the module itself (run in build/, where mypy's cache may live).
stubtest: build
	cd build && ../$(PY) -m mypy.stubtest korvex

# A real scene drawn through korvex (writes demo.png), then 36 rotated frames timed with and without korvex.
demo: build
	MPLBACKEND=Agg $(PY) demo/demo.py

# Matplotlib's own mplot3d tests, once as they are and once with korvex_mpl installed.
mpl-tests: build
	$(PY) scripts/run_mpl_tests.py

test: cpp-test pytest pytest-np1 stubtest

# Sanitizers, each in a build directory of its own (the wheel, build/cpp and the venvs stay as they are). The
# extension under AddressSanitizer and UndefinedBehaviorSanitizer runs the whole pytest suite; every GoogleTest
# binary of the core (tests/cpp/test_*.cpp: the pool, its parts, and the code that runs on it) runs under
# ThreadSanitizer. Both builds check KORVEX_ASSERT. Any report fails the target.
SAN_CXX ?= g++
ASAN_DIR := build/sanitize-asan
TSAN_DIR := build/sanitize-tsan
# The interpreter is not instrumented: the runtime is preloaded together with libstdc++ (whose throw it must
# intercept), CPython's own memory at exit is not reported, and PYTHONMALLOC=malloc puts every Python object under
# the checked allocator. --capture=sys lets a report from the pytest process itself reach the terminal.
ASAN_RUN := LD_PRELOAD="$$($(SAN_CXX) -print-file-name=libasan.so) $$($(SAN_CXX) -print-file-name=libstdc++.so)" \
	ASAN_OPTIONS=detect_leaks=0:detect_stack_use_after_return=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	PYTHONMALLOC=malloc PYTHONPATH=$(CURDIR)/$(ASAN_DIR)/site KORVEX_LEAK_ITERATIONS=3000

.PHONY: sanitize sanitize-asan sanitize-tsan

sanitize-asan: $(VENV)/.ready
	cmake -S . -B $(ASAN_DIR) -DCMAKE_CXX_COMPILER=$(SAN_CXX) -DCMAKE_BUILD_TYPE=Release -DKORVEX_BUILD_PYTHON=ON \
	  -DKORVEX_SANITIZE=address,undefined -DPython_EXECUTABLE=$(CURDIR)/$(PY) >/dev/null
	cmake --build $(ASAN_DIR) -j$(JOBS)
	# Both modules laid out as in the wheel: korvex beside the korvex_mpl package that holds _native.
	cmake --install $(ASAN_DIR) --prefix $(CURDIR)/$(ASAN_DIR)/site >/dev/null
	cp python/korvex_mpl/*.py $(ASAN_DIR)/site/korvex_mpl/
	$(ASAN_RUN) $(PY) -c "import korvex; assert korvex.__file__.startswith('$(CURDIR)/$(ASAN_DIR)/'), korvex.__file__"
	$(ASAN_RUN) $(PY) -m pytest -W error -q --capture=sys tests/python

sanitize-tsan: gtest
	cmake -S . -B $(TSAN_DIR) -DCMAKE_CXX_COMPILER=$(SAN_CXX) -DCMAKE_BUILD_TYPE=Release -DKORVEX_BUILD_TESTS=ON \
	  -DKORVEX_SANITIZE=thread >/dev/null
	cmake --build $(TSAN_DIR) -j$(JOBS)
	@set -e; tests=$$(find $(TSAN_DIR)/tests/cpp -maxdepth 1 -type f -perm -u+x -name 'test_*' | sort); \
	test -n "$$tests"; \
	for t in $$tests; do \
	  echo "ThreadSanitizer: $$t"; \
	  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 $$t --gtest_brief=1; \
	done

sanitize: sanitize-asan sanitize-tsan

clean:
	rm -rf build dist $(VENV) $(VENV_NP1)
