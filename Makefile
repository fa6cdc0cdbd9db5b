# The README's commands. `make test` is the single entry point for CI.
VENV   := .venv
PY     := $(VENV)/bin/python
PIP    := $(PY) -m pip
BUILD_DEPS := scikit-build-core numpy cmake ninja
TEST_DEPS  := pytest pycocotools mypy
BENCH_DEPS := orjson

.PHONY: test install venv demo bench clean

$(VENV)/.created:
	@PYBIN=$$(tools/find-python) && echo "using $$PYBIN" && $$PYBIN -m venv $(VENV)
	$(PIP) install --quiet --upgrade pip
	$(PIP) install --quiet $(BUILD_DEPS) $(TEST_DEPS)
	touch $@

venv: $(VENV)/.created

# Test dependencies added after a venv was created are installed on the next run.
$(VENV)/.test-deps: $(VENV)/.created Makefile
	$(PIP) install --quiet $(TEST_DEPS)
	touch $@

# Incremental: the build tree under build/ is kept between runs. The second,
# counting copy of the extension is built beside the installed one for the tests.
install: venv
	$(PIP) install --quiet --no-build-isolation \
	  -Ccmake.define.BRANDOR_ALLOC_VARIANT=ON .

test: install $(VENV)/.test-deps
	$(PY) -m pytest -q

demo: install
	$(PY) bench/demo.py

bench: install
	$(PIP) install --quiet $(BENCH_DEPS)
	$(PY) bench/run_all.py

clean:
	rm -rf build $(VENV)
