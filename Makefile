# Every target sets itself up: a virtual environment in .venv, the build tools and test
# dependencies from the package registry, the extension built and installed into it.
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
CPP_BUILD := build/cpp
ASAN_BUILD := build/asan
export PATH := $(abspath $(VENV))/bin:$(PATH)

.PHONY: test demo cpp-test py-test install sanitize bench fuzz realdata clean

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
	$(PY) -P -m pytest -q tests

# The C++ tests, then the Python tests and the demo against an extension built with
# AddressSanitizer and UndefinedBehaviorSanitizer (the runtime is preloaded into Python).
ASAN_VENV := .venv-asan
ASAN_ENV := LD_PRELOAD=$$(g++ -print-file-name=libasan.so):$$(g++ -print-file-name=libubsan.so) \
	ASAN_OPTIONS=detect_leaks=0 PYTHONMALLOC=malloc
sanitize: $(VENV)/ready
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMESK_TESTS=ON -DSANITIZE=ON
	cmake --build $(ASAN_BUILD)
	ctest --test-dir $(ASAN_BUILD) --output-on-failure
	test -x $(ASAN_VENV)/bin/python || $(PY) -m venv $(ASAN_VENV)
	$(ASAN_VENV)/bin/python -m pip install --quiet "scikit-build-core>=0.10" cmake ninja
	$(ASAN_VENV)/bin/python -m pip install --quiet --no-build-isolation -C cmake.define.SANITIZE=ON \
		-C build-dir=build/asan-ext -C cmake.build-type=RelWithDebInfo ".[test]"
	$(ASAN_ENV) $(ASAN_VENV)/bin/python -P -m pytest -q -p no:cacheprovider tests -k "not leak and not abi"
	$(ASAN_ENV) $(ASAN_VENV)/bin/python examples/demo.py

bench: install
	cmake -S . -B $(CPP_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DMESK_TESTS=ON
	cmake --build $(CPP_BUILD) --target bench_index bench_search
	$(CPP_BUILD)/bench_index
	$(CPP_BUILD)/bench_search
	for script in bench/bench_*.py; do $(PY) -P $$script || exit 1; done

# Mutation fuzzing of every file reader (not part of `make test`): each fuzz/fuzz_*.py feeds
# FUZZ_RUNS mutated inputs to one reader and fails on a crash, a hang or growing memory.
FUZZ_RUNS ?= 100000
fuzz: install
	for script in fuzz/fuzz_*.py; do $(PY) -P $$script --runs $(FUZZ_RUNS) || exit 1; done

# Real ion-trap runs against Comet, side by side, then their label-free quantities against
# OpenMS's features of the same runs. Installs Debian's openms-doc (the runs) and
# comet-ms (the peer engine) when they are missing.
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
realdata: install
	@dpkg -s openms-doc comet-ms >/dev/null 2>&1 || { $(SUDO) apt-get update -qq && \
		DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq openms-doc comet-ms; }
	status=0; $(PY) -P bench/realdata.py || status=$$?; $(PY) -P bench/quant_openms.py && exit $$status

clean:
	rm -rf build $(VENV) $(ASAN_VENV)
