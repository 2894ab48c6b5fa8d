# `make test` and `make demo` do all set-up: Python 3.13, Eigen, .venv/, build and install.
VENV    := .venv
PY      := $(VENV)/bin/python
PIP     := $(PY) -m pip --disable-pip-version-check -q
SOURCES := $(shell find src vasq -name '*.cpp' -o -name '*.h' -o -name '*.py' -o -name '*.pyi' -o -name py.typed) \
           CMakeLists.txt pyproject.toml

# Build requirements are installed into the venv so that rebuilds are incremental
# (no isolated build environment, persistent build tree under build/).
BUILD_DEPS := "scikit-build-core>=0.10" "pybind11>=3.0,<4" "cmake>=3.18" ninja

.PHONY: test demo bench format venv clean

test: $(VENV)/.installed
	@echo "Using $$($(PY) -c 'import sys; print(sys.executable, sys.version.split()[0])')"
	$(PY) -m pytest

demo: $(VENV)/.installed
	@echo "Using $$($(PY) -c 'import sys; print(sys.executable, sys.version.split()[0])')"
	$(PY) examples/demo.py

bench: $(VENV)/.installed
	$(PY) tools/requirements.py bench | xargs $(PIP) install
	@for b in benchmarks/bench_*.py; do echo "== $$b"; $(PY) $$b || exit 1; done

format:
	clang-format -i $(shell find src -name '*.cpp' -o -name '*.h')

venv: $(VENV)/.deps

# Recreated when missing or when it is not a Python 3.13 venv.
$(PY):
	@PYTHON=$$(tools/find_python313.sh) && echo "Creating $(VENV) with $$PYTHON" && \
	  rm -rf $(VENV) && $$PYTHON -m venv $(VENV)

$(VENV)/.deps: pyproject.toml | $(PY)
	@$(PY) -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' || \
	  { echo "$(VENV) is not Python 3.13; remove it and run make again" >&2; exit 1; }
	$(PIP) install --upgrade pip
	$(PY) tools/requirements.py test dask | xargs $(PIP) install $(BUILD_DEPS)
	@touch $@

$(VENV)/.installed: $(SOURCES) $(VENV)/.deps
	@tools/ensure_eigen.sh
	$(PIP) install --no-build-isolation --no-deps .
	@touch $@

clean:
	rm -rf build $(VENV)
