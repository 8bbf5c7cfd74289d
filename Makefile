# Two entry points for a fresh machine: `make demo` and `make test`.
PYTHON ?= python3
APT_PACKAGES := g++ make libxxhash-dev rapidjson-dev
BUILD_DIR ?= build/release

.PHONY: deps install test demo bench

# System headers come from Debian; only installed when missing.
deps:
	@dpkg -s $(APT_PACKAGES) >/dev/null 2>&1 || \
		(apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $(APT_PACKAGES))
	$(PYTHON) -m pip install -q -r requirements-dev.txt

install: deps
	$(PYTHON) -m pip install -q --no-build-isolation -C build-dir=$(BUILD_DIR) .

test: install
	$(PYTHON) -m pytest -q
	$(PYTHON) -m mypy.stubtest _murk

demo: install
	$(PYTHON) examples/demo.py

bench: install
	$(PYTHON) -m pip install -q -r bench/requirements.txt
	$(PYTHON) bench/run.py $(BENCH_ARGS)
