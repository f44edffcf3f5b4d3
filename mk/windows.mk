# Windows (x86-64): wheels cross-built here, tested under Wine.
#
# `make wheels-windows` builds dist/zorvan-<version>-cp3X-cp3X-win_amd64.whl
# for CPython 3.12 to 3.15 (tools/windows/wheel.py): Zig from the tools venv
# as the compiler, each release's headers from a Linux CPython of it (this
# machine's, else for 3.14 and 3.15 the Debian sid root of tools/sid/, which
# ZORVAN_SID_DIR may name as there), and an import library for python3X.dll. For 3.12 and 3.13 that library comes from
# the official DLL (the embeddable CPython on PyPI); 3.14 and 3.15 have no
# official Windows build here, so theirs comes from their Linux libpython's
# exports and those two wheels are compiled and linked only, never loaded.
# `make wheel-windows` builds the cp312 wheel alone.
WINDOWS_RELEASES := 3.12 3.13 3.14 3.15
WINDOWS_BUILD = $(ZIG_ENV) ZIG=$(ZIG) $(TOOLS_PY) tools/windows/wheel.py

.PHONY: wheels-windows wheel-windows
wheels-windows: $(TOOLS_STAMP)
	$(WINDOWS_BUILD) $(WINDOWS_RELEASES)

wheel-windows: $(TOOLS_STAMP)
	$(WINDOWS_BUILD) 3.12

# `make test-windows` runs the test suite and the demo under Wine, on each
# release of WINDOWS_PYTHONS: the official embeddable CPython of that
# release in build/wine/<release>/python, with a Wine prefix of its own
# beside it (its Credential Manager the tests fill and empty), the Windows
# builds of the dependencies, and that release's wheel installed by pip
# running on Windows.
#   WINDOWS_PYTHONS="3.13"             one release only
#   WINDOWS_SUBSET="3.13"              those releases run the tests most likely
#                                      to differ there (WINDOWS_SUBSET_TESTS,
#                                      the demo among them as a test) instead
#                                      of the whole suite
#   PYTEST_ARGS="tests/test_regionet.py -k url"   those, on every release
WINDOWS_PYTHONS ?= 3.12 3.13
WINDOWS_SUBSET ?=
# The subset, chosen by risk: everything that can differ between 3.12 and
# 3.13 on Windows, or that only Windows has. The modules' loading and C API
# use against python313.dll (initialisation in fresh processes, function
# objects, the calls' errors, reference counts), the store through
# files_windows.cpp (its lock, atomic replace and sharing violations, hostile
# files, real processes racing), the Credential Manager (keyring's backends,
# names differing only in case), and the command line on Windows' consoles
# and code pages, with the demo. Left out, each run by 3.12 under Wine and by
# 3.13 on Linux: fuzzing the call layer (the same code on every release;
# 3.12 runs it on Windows' LLP64 types), killing savers at random
# (TerminateProcess and the replace are the same calls on both), and the
# table of invalid command-line input (the command's own checks and
# argparse's, whose wording 3.13 shows on Linux; their Windows side,
# wide-character arguments and pipes, 3.12 shows under Wine). Those take
# about 55% of the whole suite's time under Wine.
WINDOWS_SUBSET_TESTS ?= --ignore=tests/test_fuzz_calls.py --ignore=tests/test_crash_safety.py \
	--deselect=tests/test_cli.py::test_invalid_input_fails_with_status_2_and_loses_nothing

WINE_INTERPRETERS := $(foreach release,$(WINDOWS_PYTHONS),build/wine/$(release)/python/python.exe)
WINE_DEPENDENCIES := $(foreach release,$(WINDOWS_PYTHONS),build/wine/$(release)/python/Lib/site-packages/.installed)

$(WINE_INTERPRETERS): build/wine/%/python/python.exe: tools/wine/install.sh tools/windows/embed.py
	tools/wine/install.sh $* interpreter
	@touch $@

$(WINE_DEPENDENCIES): build/wine/%/python/Lib/site-packages/.installed: build/wine/%/python/python.exe tools/wine/requirements.txt
	tools/wine/install.sh $* dependencies
	@touch $@

.PHONY: wine-python test-windows
wine-python: $(WINE_DEPENDENCIES)

# Every release runs, even after one fails; the last lines say how each went.
test-windows: $(TOOLS_STAMP) $(WINE_DEPENDENCIES)
	$(WINDOWS_BUILD) $(WINDOWS_PYTHONS)
	@status=0; summary=; \
	for release in $(WINDOWS_PYTHONS); do \
		case " $(WINDOWS_SUBSET) " in *" $$release "*) tests="$(WINDOWS_SUBSET_TESTS)"; what=subset;; \
			*) tests=; what="whole suite and demo";; esac; \
		$(if $(PYTEST_ARGS),what="selected tests";) \
		tag=cp$$(echo $$release | tr -d .) && start=$$(date +%s); \
		if tools/wine/test.sh $$release dist/zorvan-$(VERSION)-$$tag-$$tag-win_amd64.whl $(or $(PYTEST_ARGS),$$tests); \
		then result=passed; else result=FAILED; status=1; fi; \
		summary="$$summary\nCPython $$release for Windows under Wine: $$what $$result in $$(( $$(date +%s) - start )) s"; \
	done; \
	printf "$$summary\n"; \
	echo "CPython 3.14 and 3.15 for Windows: built and linked only (make wheels-windows); nothing here can run them."; \
	exit $$status
