# `make check-workflow`: what can be checked here of .github/workflows/,
# which only GitHub's runners can run. The workflow against GitHub's schema
# (check-jsonschema), its security (zizmor, offline: no GitHub API), and the
# identifiers cibuildwheel would build on each platform of its matrix
# (tools/check_workflow.py). The tools live in a venv of their own, pinned;
# cibuildwheel at the release the workflow installs, which the check
# compares.
WORKFLOW_VENV := build/venv-workflow
WORKFLOW_PY := $(WORKFLOW_VENV)/bin/python
WORKFLOW_STAMP := $(WORKFLOW_VENV)/.installed
WORKFLOWS := $(wildcard .github/workflows/*.yml)

$(WORKFLOW_STAMP): $(WORKFLOW_PY) mk/workflow.mk
	$(WORKFLOW_PY) -m pip install --quiet cibuildwheel==4.3.5 check-jsonschema==0.39.0 zizmor==1.33.1
	@touch $@

.PHONY: check-workflow
check-workflow: $(WORKFLOW_STAMP)
	$(WORKFLOW_VENV)/bin/check-jsonschema --builtin-schema vendor.github-workflows $(WORKFLOWS)
	$(WORKFLOW_VENV)/bin/zizmor --offline .github/workflows/
	$(WORKFLOW_PY) tools/check_workflow.py .github/workflows/release.yml
