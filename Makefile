# `make demo` and `make test` set up everything they need on a fresh machine.
PYTHON ?= python3
VENV := .venv
ASAN_VENV := .venv-asan
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
APT_PACKAGES := libasio-dev nlohmann-json3-dev
SOURCES := $(shell find src -type f) CMakeLists.txt pyproject.toml

.PHONY: demo test test-asan bench system-deps clean

demo: $(VENV)/.installed
	$(VENV)/bin/python examples/quickstart.py

test: $(VENV)/.installed
	$(VENV)/bin/python -m pytest -q

# The same tests against an AddressSanitizer + UndefinedBehaviorSanitizer build.
test-asan: $(ASAN_VENV)/.installed
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	PYTHONMALLOC=malloc \
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	$(ASAN_VENV)/bin/python -m pytest -q -p no:cacheprovider

system-deps:
	@missing=""; for p in $(APT_PACKAGES); do \
	  dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing$$missing"; \
	  $(SUDO) apt-get update && $(SUDO) apt-get install -y $$missing; \
	fi

# A virtual environment with the build backend, so rebuilds skip build isolation.
%/.venv-ready: pyproject.toml
	$(PYTHON) -m venv $*
	$*/bin/python -m pip install -q "scikit-build-core>=0.8" "cmake>=3.20" ninja "pytest>=7"
	touch $@

$(VENV)/.installed: $(VENV)/.venv-ready $(SOURCES) | system-deps
	$(VENV)/bin/python -m pip install -q --no-build-isolation ".[test]"
	touch $@

$(ASAN_VENV)/.installed: $(ASAN_VENV)/.venv-ready $(SOURCES) | system-deps
	$(ASAN_VENV)/bin/python -m pip install -q --no-build-isolation \
	  -C build-dir=build/asan -C cmake.build-type=RelWithDebInfo \
	  -C cmake.define.VANTREL_SANITIZE=ON ".[test]"
	touch $@

clean:
	rm -rf build $(VENV) $(ASAN_VENV)
