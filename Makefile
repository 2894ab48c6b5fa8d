# `make test` and `make demo` do all set-up: Python 3.13, Eigen, .venv/, build and install.
VENV    := .venv
PY      := $(VENV)/bin/python
PIP     := $(PY) -m pip --disable-pip-version-check -q
SOURCES := $(shell find src vasq -name '*.cpp' -o -name '*.h' -o -name '*.py' -o -name '*.pyi' -o -name py.typed) \
           CMakeLists.txt pyproject.toml

# Build requirements are installed into the venv so that rebuilds are incremental
# (no isolated build environment, persistent build tree under build/).
BUILD_DEPS := "scikit-build-core>=0.11" "pybind11>=3.0,<4" "cmake>=3.18" ninja
# The persistent build tree of `make`'s install; `pip install .` uses a temporary one.
BUILD_DIR  := build/{wheel_tag}

.PHONY: test demo bench fuzz sanitize format lint venv clean docs docs-check

test: $(VENV)/.installed
	@echo "Using $$($(PY) -c 'import sys; print(sys.executable, sys.version.split()[0])')"
	$(PY) -m pytest

demo: $(VENV)/.installed
	@echo "Using $$($(PY) -c 'import sys; print(sys.executable, sys.version.split()[0])')"
	$(PY) examples/demo.py

bench: $(VENV)/.installed
	$(PY) tools/requirements.py bench | xargs $(PIP) install
	@for b in benchmarks/bench_*.py; do echo "== $$b"; $(PY) $$b || exit 1; done

# The documentation site, warnings as errors. Every page is read again (-E) and every
# gallery example run, so that each block's output is that of the package just installed.
docs: $(VENV)/.installed $(VENV)/.docs
	$(PY) -m sphinx -W --keep-going -E -b html docs docs/_build/html

# Every page of the built site in headless Chromium: broken links, missing images, script errors.
docs-check: docs
	@command -v chromium >/dev/null || { apt-get update && apt-get install -y chromium; }
	$(PY) docs/_tools/check_site.py docs/_build/html

$(VENV)/.docs: pyproject.toml $(VENV)/.deps
	$(PY) tools/requirements.py docs | xargs $(PIP) install
	@touch $@

# The generated-input suite with its long profile.
fuzz: $(VENV)/.installed
	VASQ_FUZZ=long $(PY) -m pytest -p no:cacheprovider tests/fuzz

# An AddressSanitizer + UndefinedBehaviorSanitizer build of the module (Eigen's assertions on)
# in its own folder; the suite and the long fuzz profile run against it, .venv's module is
# untouched. The interpreter is not instrumented, so libasan is preloaded, and libstdc++ with
# it: otherwise the sanitizer cannot find the C++ runtime and the first throw aborts.
SAN_DIR   := build/sanitize
SAN_FLAGS := -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer
SAN_ENV    = PATH="$(abspath $(VENV))/bin:$$PATH" PYTHONPATH="$(abspath $(SAN_DIR))" \
  LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libstdc++.so)" \
  ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:max_allocation_size_mb=4096:log_path=$(abspath $(SAN_DIR))/reports/asan \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$(abspath $(SAN_DIR))/reports/ubsan

sanitize: $(VENV)/.installed
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake -S . -B $(SAN_DIR) -G Ninja \
	  -DPython_EXECUTABLE="$(abspath $(PY))" -Dpybind11_DIR="$$($(PY) -m pybind11 --cmakedir)" \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" \
	  -DCMAKE_CXX_FLAGS="$(SAN_FLAGS)" -DCMAKE_MODULE_LINKER_FLAGS="$(SAN_FLAGS)"
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake --build $(SAN_DIR)
	rm -rf $(SAN_DIR)/reports && mkdir -p $(SAN_DIR)/reports
	$(SAN_ENV) $(PY) -c 'import vasq_core; print("Testing", vasq_core.__file__)'
	$(SAN_ENV) $(PY) -m pytest -p no:cacheprovider
	$(SAN_ENV) VASQ_FUZZ=long $(PY) -m pytest -p no:cacheprovider tests/fuzz
	@# Failed allocations, which are MemoryError, only leave warnings in the logs.
	@reports=$$(grep -l -e "ERROR: AddressSanitizer" -e "runtime error" $(SAN_DIR)/reports/* 2>/dev/null); \
	  echo "Sanitizer reports: $$(echo $$reports | wc -w)"; test -z "$$reports" || { cat $$reports; exit 1; }

CXX_SOURCES = $(shell find src -name '*.cpp' -o -name '*.h')
PY_LINTED  := vasq tests benchmarks examples docs tools

format:
	clang-format -i $(CXX_SOURCES)

# ruff (pyproject's [tool.ruff]) on the Python, clang-format (.clang-format) on the C++;
# both only report, both run, and either failing fails the target.
lint: $(VENV)/.lint
	@command -v clang-format >/dev/null || { apt-get update && apt-get install -y clang-format; }
	@status=0; \
	  echo "ruff check $(PY_LINTED)"; $(VENV)/bin/ruff check $(PY_LINTED) || status=1; \
	  echo "clang-format --dry-run -Werror src/"; \
	  clang-format --dry-run -Werror $(CXX_SOURCES) || status=1; \
	  exit $$status

$(VENV)/.lint: pyproject.toml | $(PY)
	$(PY) tools/requirements.py --extras-only lint | xargs $(PIP) install
	@touch $@

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
	$(PIP) install --no-build-isolation --no-deps --config-settings=build-dir=$(BUILD_DIR) .
	@touch $@

clean:
	rm -rf build $(VENV)
