# `make test-debug`: the test suite on CPython's debug builds, Debian's
# python3.14d and python3.15d: the interpreter's own assertions on, and the
# exact reference totals that tests/test_refleaks.py checks. Each release is
# built from source into build/venv-<release>d against that interpreter's own
# headers (tools/test-python.sh), inside Debian sid in a folder where this
# machine has no such interpreter (tools/sid/; ZORVAN_SID_DIR names a root
# shared with another checkout). Both releases run even when the first fails.
DEBUG_RELEASES := 3.14d 3.15d

.PHONY: test-debug
test-debug:
	@status=0; for release in $(DEBUG_RELEASES); do \
		tools/test-python.sh $$release $(PYTEST_ARGS) || status=1; \
	done; exit $$status
