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

# Serialization benchmark against thriftpy2, thrift and msgspec. The peers and
# Debian's thrift compiler are installed here only; the Apache thrift classes
# are generated from the benchmark's IDL into build/bench-gen.
# Pass options with BENCH_ARGS, e.g. make bench BENCH_ARGS="--quick --filter Ping".
bench: $(VENV)/.installed
	$(VENV)/bin/python -m pip install -q thriftpy2 thrift msgspec
	command -v thrift >/dev/null 2>&1 || \
	  { $(SUDO) apt-get update && $(SUDO) apt-get install -y thrift-compiler; }
	rm -rf build/bench-gen && mkdir -p build/bench-gen
	thrift --gen py -out build/bench-gen bench/bench.thrift
	$(VENV)/bin/python bench/serialize.py --gen-dir build/bench-gen $(BENCH_ARGS)

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
