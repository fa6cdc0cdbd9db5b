# The README's commands. `make test` is the single entry point for CI.
VENV   := .venv
PY     := $(VENV)/bin/python
PIP    := $(PY) -m pip
BUILD_DEPS := scikit-build-core numpy cmake ninja
TEST_DEPS  := pytest pycocotools mypy opencv-python-headless matplotlib dask distributed
# The LVIS reference, compared against as a black box; its declared
# dependencies pull in the full OpenCV, of which it needs only cv2.
NODEP_TEST_DEPS := lvis==0.5.3
BENCH_DEPS := orjson

.PHONY: test install venv demo bench clean sanitize sanitize-build fuzz fuzz-build

$(VENV)/.created:
	@PYBIN=$$(tools/find-python) && echo "using $$PYBIN" && $$PYBIN -m venv $(VENV)
	$(PIP) install --quiet --upgrade pip
	touch $@

# Re-run whenever the lists above change, so an existing venv gets new packages.
$(VENV)/.deps: $(VENV)/.created Makefile
	$(PIP) install --quiet $(BUILD_DEPS) $(TEST_DEPS)
	$(PIP) install --quiet --no-deps $(NODEP_TEST_DEPS)
	touch $@

venv: $(VENV)/.deps

# Incremental: the build tree under build/ is kept between runs. The second,
# counting copy of the extension is built beside the installed one for the tests.
install: venv
	$(PIP) install --quiet --no-build-isolation \
	  -Ccmake.define.BRANDOR_ALLOC_VARIANT=ON .

test: install
	$(PY) -m pytest -q

demo: install
	$(PY) bench/demo.py

bench: install
	$(PIP) install --quiet $(BENCH_DEPS)
	$(PY) bench/run_all.py

# ASan + UBSan build of the extension (and of its counting copy) in its own
# build tree, unpacked beside the normal install rather than over it; then the
# whole default suite against it. tools/with-sanitizers sets up the runtime.
# SANITIZE_TESTS narrows the run (pytest arguments), e.g. for a quick check.
SAN_DIR := build-sanitize
SANITIZE_TESTS ?=
sanitize-build: venv
	rm -rf $(SAN_DIR)/wheel $(SAN_DIR)/site
	nice $(PIP) wheel --quiet --no-build-isolation --no-deps -w $(SAN_DIR)/wheel \
	  -Cbuild-dir=$(SAN_DIR)/build -Ccmake.build-type=RelWithDebInfo \
	  -Ccmake.define.BRANDOR_SANITIZE=ON -Ccmake.define.BRANDOR_ALLOC_VARIANT=ON .
	$(PY) -m zipfile -e $(SAN_DIR)/wheel/brandor-*.whl $(SAN_DIR)/site

sanitize: sanitize-build
	nice tools/with-sanitizers $(PY) -m pytest -q -p no:cacheprovider $(SANITIZE_TESTS)

# Coverage-guided fuzzing with atheris: the extension built by clang with
# libFuzzer's coverage counters, ASan and UBSan, then every harness in fuzz/
# for FUZZ_SECONDS each. Findings land in build-fuzz/findings/.
FUZZ_DIR := build-fuzz
FUZZ_SECONDS ?= 60
# Set to run a fixed number of inputs from a fixed seed instead (reproducible).
FUZZ_RUNS ?=
FUZZ_HARNESSES ?= load_json compact mask evaluator
fuzz-build: venv
	$(PIP) install --quiet atheris
	rm -rf $(FUZZ_DIR)/wheel $(FUZZ_DIR)/site
	CXX=$$(tools/find-clang) && CXX=$$CXX nice $(PIP) wheel --quiet --no-build-isolation --no-deps \
	  -w $(FUZZ_DIR)/wheel -Cbuild-dir=$(FUZZ_DIR)/build -Ccmake.build-type=RelWithDebInfo \
	  -Ccmake.define.BRANDOR_SANITIZE=ON -Ccmake.define.BRANDOR_FUZZ=ON .
	$(PY) -m zipfile -e $(FUZZ_DIR)/wheel/brandor-*.whl $(FUZZ_DIR)/site

fuzz: fuzz-build
	FUZZ_RUNS=$(FUZZ_RUNS) nice tools/run-fuzzers $(FUZZ_SECONDS) $(FUZZ_HARNESSES)

clean:
	rm -rf build $(SAN_DIR) $(FUZZ_DIR) $(VENV)
