# make demo | make test | make bench | make sanitize | make fuzz
# Each target creates the virtual environment it needs on first use.

PYENV_PREFIX := $(shell pyenv prefix 3.13.0 2>/dev/null)
PYTHON ?= $(if $(PYENV_PREFIX),$(PYENV_PREFIX)/bin/python3.13,python3.13)

VENV := .venv
VPY := $(VENV)/bin/python
SAN_VENV := .venv-sanitize
SAN_PY := $(SAN_VENV)/bin/python
PIP_QUIET := --quiet --disable-pip-version-check

.PHONY: all install demo test lane-symbols native-test native-tsan test-scalar sanitize lint bench fuzz clean

all: test

# A venv with the build and test requirements; remade when the requirements change.
%/.requirements: requirements-dev.txt
	test -x $*/bin/python || $(PYTHON) -m venv $*
	$*/bin/python -m pip install $(PIP_QUIET) -r requirements-dev.txt
	touch $@

install: $(VENV)/.requirements
	$(VPY) -m pip install $(PIP_QUIET) --no-build-isolation .

# The example's picture needs matplotlib; the test suite does not, so it comes only with the demo.
$(VENV)/.demo-requirements: requirements-demo.txt $(VENV)/.requirements
	$(VPY) -m pip install $(PIP_QUIET) -r requirements-demo.txt
	touch $@

# The disassembly of generated assemblies (and of ../shared/assemblies/beam-frame when it is
# there), then the single-part example; DEMO_ARGS passes options to the latter, e.g.
# DEMO_ARGS="--obj spot".
demo: install $(VENV)/.demo-requirements
	$(VPY) examples/disassembly_demo.py
	$(VPY) examples/planner.py $(DEMO_ARGS)

# Native unit tests of the pieces that need no interpreter.
NATIVE_DIR ?= build/native
native-test: $(VENV)/.requirements
	$(VENV)/bin/cmake -S . -B $(NATIVE_DIR) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DZET_NATIVE_TESTS=ON -DPython_EXECUTABLE=$(abspath $(VPY)) $(NATIVE_FLAGS) > /dev/null
	$(VENV)/bin/cmake --build $(NATIVE_DIR) --target zet_unit_tests > /dev/null
	$(NATIVE_DIR)/zet_unit_tests

test: install native-test lane-symbols
	$(VPY) -m pytest -q tests

# The lane builds' objects export their entry points and nothing else.
lane-symbols: install
	$(VPY) tests/native/lane_symbols.py $(wildcard build/*-Release)

# The native unit tests (thread fan-outs, schedules) under ThreadSanitizer.
native-tsan:
	$(MAKE) native-test NATIVE_DIR=build/native-tsan NATIVE_FLAGS=-DZET_TSAN=ON

# The suite on a build without the AVX2 and AVX-512F lane builds: the scalar code paths
# that processors without them take.
SCALAR_VENV := .venv-scalar
test-scalar: $(SCALAR_VENV)/.requirements
	ZET_LANE_BUILDS=OFF $(SCALAR_VENV)/bin/python -m pip install $(PIP_QUIET) --no-build-isolation \
	  -C build-dir=build/scalar .
	$(SCALAR_VENV)/bin/python -c "import _zet_native as z; assert z.vector_build == 'scalar', z.vector_build"
	$(SCALAR_VENV)/bin/python -m pytest -q -p no:cacheprovider tests

# The whole suite on a build with AddressSanitizer and UndefinedBehaviorSanitizer. The
# interpreter is not instrumented, so the ASan runtime is preloaded; leak detection is off
# because the interpreter keeps memory to exit (leaks are tested by the suite itself).
SAN_LIBS = $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libubsan.so)
sanitize: $(SAN_VENV)/.requirements
	ZET_SANITIZE=ON $(SAN_PY) -m pip install $(PIP_QUIET) --no-build-isolation \
	  -C build-dir=build/sanitize .
	$(MAKE) native-test VENV=$(SAN_VENV) NATIVE_DIR=build/native-sanitize NATIVE_FLAGS=-DZET_SANITIZE=ON
	LD_PRELOAD="$(SAN_LIBS)" PYTHONMALLOC=malloc ZET_SANITIZED=1 \
	  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  $(SAN_PY) -m pytest -q -p no:cacheprovider tests

# Formatting of the C++ sources, the Python lints, and the stub against the built module.
LINT_TOOLS := $(VENV)/.lint-tools
$(LINT_TOOLS): $(VENV)/.requirements
	$(VPY) -m pip install $(PIP_QUIET) "ruff>=0.6" "clang-format>=18"
	touch $@
lint: install $(LINT_TOOLS)
	$(VENV)/bin/clang-format --dry-run -Werror $(wildcard src/*/*.cpp src/*/*.h tests/native/*.cpp bench/native/*.cpp)
	$(VENV)/bin/ruff check python tests bench examples
	cd build && ../$(VPY) -m mypy.stubtest _zet_native

bench: install
	bash bench/run

fuzz: install
	ZET_FUZZ_EXAMPLES=2000 $(VPY) -m pytest -q tests

clean:
	rm -rf build $(VENV) $(SAN_VENV) $(SCALAR_VENV) .venv-bench
