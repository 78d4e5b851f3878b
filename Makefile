# Every target sets itself up: a virtual environment in .venv, the build tools and test
# dependencies from the package registry, the extension built and installed into it.
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
CPP_BUILD := build/cpp
ASAN_BUILD := build/asan
export PATH := $(abspath $(VENV))/bin:$(PATH)

.PHONY: test demo cpp-test py-test install sanitize bench clean

test: cpp-test py-test

$(VENV)/ready: pyproject.toml
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet "scikit-build-core>=0.10" cmake ninja
	touch $@

install: $(VENV)/ready
	$(PY) -m pip install --quiet --no-build-isolation ".[test]"

cpp-test: $(VENV)/ready
	cmake -S . -B $(CPP_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DMESK_TESTS=ON
	cmake --build $(CPP_BUILD)
	ctest --test-dir $(CPP_BUILD) --output-on-failure

demo: install
	$(PY) examples/demo.py

py-test: install
	$(PY) -m pytest -q tests

# The C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize: $(VENV)/ready
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMESK_TESTS=ON -DSANITIZE=ON
	cmake --build $(ASAN_BUILD)
	ctest --test-dir $(ASAN_BUILD) --output-on-failure

bench: install
	cmake -S . -B $(CPP_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DMESK_TESTS=ON
	cmake --build $(CPP_BUILD) --target bench_index
	$(CPP_BUILD)/bench_index
	$(PY) bench/bench_scoring.py

clean:
	rm -rf build $(VENV)
