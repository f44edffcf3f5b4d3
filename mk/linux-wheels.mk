# Linux wheels for every supported CPython, and the macOS check for each.
#
#   make wheels-linux          dist/: manylinux_2_17 x86_64 and aarch64 wheels,
#                              cp312 to cp315, each checked by auditwheel show
#   make test-wheels-linux     each x86_64 wheel in a fresh venv of its own
#                              release (3.14, 3.15 inside build/sid-amd64)
#   make test-wheels-aarch64   the aarch64 wheels of 3.13 to 3.15 on Debian's
#                              arm64 interpreters under qemu-user
#   make check-macos           both modules compiled and linked for macOS,
#                              for each release; nothing is run on macOS
#   make wheel, test-wheel     the cp312 x86_64 wheel only, and its tests
#
# All wheels are cross-built here with Zig by the tools venv's interpreter
# (tools/linux/wheel.sh); the headers of 3.14 and 3.15, and of aarch64,
# come from Debian sid roots under $(ZORVAN_SID_DIR), build/ by default
# (tools/sid/). No arm64 CPython 3.12 exists here: that wheel is compiled,
# linked and checked by auditwheel, never run.

LINUX_RELEASES := 3.12 3.13 3.14 3.15
LINUX_ARCHES := x86_64 aarch64
# One phony target per wheel: wheel-linux-3.14-aarch64, ...
LINUX_WHEELS := $(foreach release,$(LINUX_RELEASES),$(foreach arch,$(LINUX_ARCHES),wheel-linux-$(release)-$(arch)))
# The aarch64 releases Debian has an interpreter for.
AARCH64_RELEASES := 3.13 3.14 3.15

# The tests whose outcome can differ on aarch64, for when the whole suite
# under emulation costs too much: `make test-wheels-aarch64 AARCH64_TESTS=risk`.
# Any other value is given to pytest as is (test paths are the checkout's);
# empty runs everything.
#   - the lock and its waiting line (atomics, memory ordering), with real
#     processes racing: test_concurrency, test_crash_safety
#   - the file layer: test_accounts_file, test_hostile_files
#   - the frame's calling conventions and argument binding:
#     test_function_objects, and the store's calls in test_accounts
#   - the string table and the country map: test_regionet
#   - references and initialisation: test_refleaks, test_module_init
# Not test_fuzz_calls: its 400 examples of random calls take 1.5 minutes
# natively and about 25 emulated (on a busy 2-core machine), for the binding
# that test_function_objects covers case by case.
AARCH64_RISK_TESTS := $(addprefix tests/,test_concurrency.py test_crash_safety.py test_accounts_file.py \
	test_hostile_files.py test_function_objects.py test_accounts.py test_regionet.py \
	test_refleaks.py test_module_init.py)
AARCH64_TESTS ?=
AARCH64_PYTEST_ARGS = $(if $(filter risk,$(AARCH64_TESTS)),$(AARCH64_RISK_TESTS),$(AARCH64_TESTS))

.PHONY: wheels-linux test-wheels-linux test-wheels-aarch64 $(LINUX_WHEELS)

wheels-linux: $(LINUX_WHEELS)

# $* is <release>-<arch>.
$(LINUX_WHEELS): wheel-linux-%: $(TOOLS_STAMP)
	$(ZIG_ENV) ZIG=$(ZIG) PYTHON=$(CURDIR)/$(TOOLS_PY) tools/linux/wheel.sh $(subst -, ,$*)

test-wheels-linux: $(foreach release,$(LINUX_RELEASES),wheel-linux-$(release)-x86_64)
	for release in $(LINUX_RELEASES); do tools/linux/test-wheel.sh $$release || exit 1; done

test-wheels-aarch64: $(foreach release,$(AARCH64_RELEASES),wheel-linux-$(release)-aarch64)
	for release in $(AARCH64_RELEASES); do \
		PYTHON=$(CURDIR)/$(TOOLS_PY) tools/linux/test-aarch64.sh $$release $(AARCH64_PYTEST_ARGS) || exit 1; \
	done

# The cp312 x86_64 wheel alone, as before the other releases came.
wheel: wheel-linux-3.12-x86_64

test-wheel: wheel
	tools/linux/test-wheel.sh 3.12

# Both modules compiled and linked for macOS with Zig, for each release,
# one build folder per release and target, then checked for their entry
# points, their libraries, their oldest macOS and their suffix. The headers
# are each release's Linux x86_64 ones (tools/linux/headers.sh): only
# pyconfig.h differs on a Mac, in nothing these modules use.
MACOS_TARGETS := aarch64:11.0 x86_64:10.13
check-macos: $(TOOLS_STAMP)
	@generator=$$(command -v ninja >/dev/null && echo Ninja || echo 'Unix Makefiles') && \
	for release in $(LINUX_RELEASES); do \
		include=$$(tools/linux/headers.sh $$release x86_64) && soabi=cpython-$$(echo $$release | tr -d .)-darwin && \
		for target in $(MACOS_TARGETS); do \
			arch=$${target%:*} && oldest=$${target#*:} && \
			$(ZIG_ENV) MACOSX_DEPLOYMENT_TARGET=$$oldest cmake -S . -B build/macos-$$release-$$arch -G "$$generator" \
				--log-level=WARNING -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/zig.cmake \
				-DZIG=$(ZIG) -DZIG_TARGET=$$arch-macos \
				-DPython_INCLUDE_DIR="$$include" -DPython_SOABI=$$soabi && \
			$(ZIG_ENV) cmake --build build/macos-$$release-$$arch --parallel 2 || exit 1; \
		done; \
	done
	$(TOOLS_PY) tools/check_macos.py $(foreach release,$(LINUX_RELEASES),$(foreach target,$(MACOS_TARGETS),\
		build/macos-$(release)-$(firstword $(subst :, ,$(target))):$(target):cpython-$(subst .,,$(release))-darwin))
