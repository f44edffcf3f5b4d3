# Windows (x86-64): wheels cross-built here, tested under Wine.
#
# `make wheels-windows` builds dist/zorvan-<version>-cp3X-cp3X-win_amd64.whl
# for CPython 3.12 to 3.15 (tools/windows/wheel.py): Zig from the tools venv
# as the compiler, each release's headers from a Linux CPython of it, and an
# import library for python3X.dll. For 3.12 and 3.13 that library comes from
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
#                                      to differ there (WINDOWS_SUBSET_TESTS)
#                                      instead of the whole suite, and no demo
#   PYTEST_ARGS="tests/test_regionet.py -k url"   those, on every release
WINDOWS_PYTHONS ?= 3.12 3.13
WINDOWS_SUBSET ?=
# What can differ between 3.12 and 3.13 on Windows, and what only Windows
# has: the modules' loading and C API use (initialisation, function objects,
# the calls' errors), the store through files_windows.cpp with its lock,
# replace and sharing violations (the store's and the file's tests, hostile
# files, real processes racing), the Credential Manager (keyring's backends,
# names differing only in case), and the command line's console and code
# pages. Left to the full run: fuzzing, reference leaks, crash safety under
# kills, and typing.
WINDOWS_SUBSET_TESTS ?= tests/test_module_init.py tests/test_function_objects.py tests/test_credarium_module.py \
	tests/test_regionet.py tests/test_accounts.py tests/test_accounts_file.py tests/test_hostile_files.py \
	tests/test_concurrency.py tests/test_keyring_backends.py tests/test_cli.py

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
		case " $(WINDOWS_SUBSET) " in *" $$release "*) tests="$(or $(PYTEST_ARGS),$(WINDOWS_SUBSET_TESTS))"; what=subset;; \
			*) tests="$(PYTEST_ARGS)"; what="$(if $(PYTEST_ARGS),selected tests,whole suite and demo)";; esac; \
		tag=cp$$(echo $$release | tr -d .) && start=$$(date +%s); \
		if tools/wine/test.sh $$release dist/zorvan-$(VERSION)-$$tag-$$tag-win_amd64.whl $$tests; then result=passed; else result=FAILED; status=1; fi; \
		summary="$$summary\nCPython $$release for Windows under Wine: $$what $$result in $$(( $$(date +%s) - start )) s"; \
	done; \
	printf "$$summary\n"; \
	echo "CPython 3.14 and 3.15 for Windows: built and linked only (make wheels-windows); nothing here can run them."; \
	exit $$status
