# Everything starts from a fresh clone: `make test` and `make demo` find
# Python 3.12, make .venv and install the package before they run.

VENV := .venv
PY := $(VENV)/bin/python
STAMP := $(VENV)/.installed

.PHONY: test demo bench venv clean

$(PY):
	@python=$$(tools/find-python.sh) && "$$python" -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip

# Reinstalled whenever a source of the package changes.
$(STAMP): $(PY) pyproject.toml CMakeLists.txt $(shell find native src tools -type f -not -path '*/__pycache__/*' 2>/dev/null)
	$(PY) -m pip install --quiet scikit-build-core
	@command -v cmake >/dev/null 2>&1 || $(PY) -m pip install --quiet cmake
	$(PY) -m pip install --quiet --no-build-isolation '.[test]'
	@touch $@

venv: $(STAMP)

test: $(STAMP)
	$(PY) -m pytest -q

demo: $(STAMP)
	$(PY) demo/main_job.py

bench: $(STAMP)
	$(PY) bench/run.py

# Import cost needs a fresh interpreter per sample, so it is its own run.
.PHONY: bench-import
bench-import: $(STAMP)
	$(PY) bench/import_cost.py

clean:
	rm -rf build $(VENV)
