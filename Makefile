# The README's commands. `make test` is the single entry point for CI.
VENV   := .venv
PY     := $(VENV)/bin/python
PIP    := $(PY) -m pip
BUILD_DEPS := scikit-build-core numpy cmake ninja
TEST_DEPS  := pytest pycocotools opencv-python-headless matplotlib
# The LVIS reference, compared against as a black box; its declared
# dependencies pull in the full OpenCV, of which it needs only cv2.
NODEP_TEST_DEPS := lvis==0.5.3
BENCH_DEPS := orjson

.PHONY: test install venv demo bench clean

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

clean:
	rm -rf build $(VENV)
