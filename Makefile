# The two commands of the README.
.PHONY: test demo deps

deps:
	@bash scripts/install-deps.sh

test: deps
	@bash scripts/test-all.sh

demo: deps
	@bash scripts/demo.sh
