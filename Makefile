# Two entry points for a fresh machine: `make demo` and `make test`.
PYTHON ?= python3
APT_PACKAGES := g++ make libxxhash-dev rapidjson-dev
# The Spark tests' JVM; only installed when no java is on the PATH.
JAVA_PACKAGE := openjdk-17-jre-headless
BUILD_DIR ?= build/release

FUZZ_SECONDS ?= 60
FUZZ_TARGETS := bloom counting_bloom scalable_bloom cuckoo hyperloglog count_min_sketch minhash topk arrow_column minhash_lsh kll
FUZZ_TARGETS += ddsketch
FUZZ_TARGETS += theta_sketch

.PHONY: deps install test test-anywhere demo bench bench-dask test-asan fuzz fuzz-deps docs characterize dist test-dist

# System headers come from Debian; only installed when missing.
deps:
	@dpkg -s $(APT_PACKAGES) >/dev/null 2>&1 || \
		(apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $(APT_PACKAGES))
	@command -v java >/dev/null 2>&1 || \
		(apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $(JAVA_PACKAGE))
	$(PYTHON) -m pip install -q -r requirements-dev.txt

install: deps
	$(PYTHON) -m pip install -q --no-build-isolation -C build-dir=$(BUILD_DIR) .

test: install
	$(PYTHON) -m pytest -q
	MYPYPATH=src/binding $(PYTHON) -m mypy.stubtest _murk murk

# The command line and signal tests once more as a script's background job
# would start them: SIGINT ignored (inherited, as a non-interactive shell
# does), no terminal (TERM=dumb), the C locale, another working directory
# and TMPDIR.
ANYWHERE_TESTS := tests/test_cli.py tests/test_hardening.py docs/guide/cli.md README.md
IGNORE_SIGINT := import os, signal, sys; signal.signal(signal.SIGINT, signal.SIG_IGN); \
	os.execv(sys.executable, [sys.executable, *sys.argv[1:]])
test-anywhere: install
	@py=$$(command -v $(PYTHON)); top=$$(pwd); away=$$(mktemp -d); mkdir $$away/tmp; \
	(cd $$away && LC_ALL=C TERM=dumb TMPDIR=$$away/tmp setsid -w $$py -c '$(IGNORE_SIGINT)' -m pytest -q -p no:cacheprovider \
		$(addprefix $$top/,$(ANYWHERE_TESTS)) </dev/null >$$away/log 2>&1); status=$$?; \
	tail -n 5 $$away/log; rm -rf $$away; exit $$status

demo: install
	$(PYTHON) examples/demo.py

bench: install
	$(PYTHON) -m pip install -q -r bench/requirements.txt
	$(PYTHON) bench/run.py $(BENCH_ARGS)

# The site, warnings as errors, into build/site. The fast characterization
# only proves that every plot can still be drawn; the site embeds the PNGs of
# the last full run (docs/img/, from `make characterize`).
docs: install
	$(PYTHON) -m pip install -q -r requirements-docs.txt
	$(PYTHON) bench/characterize.py --fast --out build/characterize-fast
	NO_MKDOCS_2_WARNING=1 $(PYTHON) -m mkdocs build --strict --site-dir build/site

# Full accuracy plots into docs/img/ (about ten minutes on two busy cores).
# The speed chart reads bench/results.json: `make bench BENCH_ARGS="--json bench/results.json"`.
characterize: install
	$(PYTHON) -m pip install -q -r requirements-docs.txt
	$(PYTHON) bench/characterize.py $(CHARACTERIZE_ARGS)

bench-dask: install
	$(PYTHON) -m pip install -q -r bench/requirements.txt
	$(PYTHON) bench/dask_bench.py $(BENCH_ARGS)

# The whole suite against an ASan + UBSan build of both modules (installed
# into build/asan/site, which goes first on the path, with the sanitizer
# runtimes preloaded).
ASAN_BUILD := build/asan
test-asan: deps
	$(PYTHON) -m cmake -S . -B $(ASAN_BUILD) -G Ninja -DMURK_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DPython_EXECUTABLE=$$(command -v $(PYTHON)) >/dev/null
	$(PYTHON) -m cmake --build $(ASAN_BUILD)
	$(PYTHON) -m cmake --install $(ASAN_BUILD) --prefix $(ASAN_BUILD)/site >/dev/null
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
		ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
		MURK_SANITIZERS=1 PYTHONPATH=$(ASAN_BUILD)/site $(PYTHON) -m pytest -q -p no:cacheprovider

fuzz-deps: deps
	@dpkg -s clang libclang-rt-dev >/dev/null 2>&1 || \
		(apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y clang libclang-rt-dev)

# Coverage-guided fuzzing of every decoder (binary payloads and JSON), seeded
# with valid records of each class, and of the Arrow column reader; crashes
# are left in build/fuzz/<target>/.
fuzz: fuzz-deps install
	CXX=clang++ $(PYTHON) -m cmake -S fuzz -B build/fuzz -G Ninja >/dev/null
	$(PYTHON) -m cmake --build build/fuzz
	$(PYTHON) fuzz/make_seeds.py build/fuzz/seeds
	@set -e; for t in $(FUZZ_TARGETS); do \
		[ -x build/fuzz/fuzz_$$t ] || continue; \
		mkdir -p build/fuzz/corpus/$$t build/fuzz/$$t; \
		echo "== fuzz_$$t ($(FUZZ_SECONDS) s)"; \
		build/fuzz/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -rss_limit_mb=2048 -malloc_limit_mb=1024 \
			-artifact_prefix=build/fuzz/$$t/ -print_final_stats=1 \
			build/fuzz/corpus/$$t build/fuzz/seeds/$$t 2>&1 | grep -E "^(#[0-9]+ +DONE|stat::|==|SUMMARY|artifact)" || true; \
		if ls build/fuzz/$$t/crash-* build/fuzz/$$t/leak-* build/fuzz/$$t/oom-* >/dev/null 2>&1; then \
			echo "fuzz_$$t found a failing input"; exit 1; fi; \
	done

# Release artefacts: the sdist and the abi3 wheel, repaired to the best
# manylinux tag this machine allows, then checked as users will get them.
dist: deps
	$(PYTHON) -m pip install -q -r requirements-release.txt
	rm -rf dist build/dist
	$(PYTHON) -m build --outdir build/dist .
	$(PYTHON) -m auditwheel repair --wheel-dir dist build/dist/*.whl
	cp build/dist/*.tar.gz dist/
	$(PYTHON) -m twine check --strict dist/*
	abi3audit --strict --report dist/*.whl
	check-wheel-contents --config pyproject.toml dist/*.whl
	$(PYTHON) tools/check_dist.py dist

# The test suite against the installed wheel in a fresh virtual environment,
# run from a copy of tests/ (and of the documentation, whose examples are
# tests too) so nothing can be imported from the checkout;
# then the sdist built and imported in a second fresh environment.
DIST_VENV := build/venv-wheel
SDIST_VENV := build/venv-sdist
test-dist: dist
	rm -rf $(DIST_VENV) $(SDIST_VENV) build/dist-tests
	$(PYTHON) -m venv $(DIST_VENV)
	$(DIST_VENV)/bin/python -m pip install -q dist/*.whl -r requirements-dev.txt
	mkdir -p build/dist-tests && cp -r tests examples docs README.md conftest.py pyproject.toml build/dist-tests/
	cd build/dist-tests && MURK_TEST_INSTALLED=1 ../../$(DIST_VENV)/bin/python -m pytest -q -p no:cacheprovider
	# mypy reads no top-level stub from site-packages: the wheel's _murk.pyi goes on MYPYPATH.
	mkdir -p build/dist-tests/stubs && cp "$$($(DIST_VENV)/bin/python -c 'import _murk, os; print(os.path.dirname(_murk.__file__))')/_murk.pyi" build/dist-tests/stubs/
	cd build/dist-tests && MYPYPATH=stubs ../../$(DIST_VENV)/bin/python -m mypy.stubtest _murk murk
	$(PYTHON) -m venv $(SDIST_VENV)
	$(SDIST_VENV)/bin/python -m pip install -q dist/*.tar.gz
	cd build && ../$(SDIST_VENV)/bin/python -c "import murk, pickle; h = murk.HyperLogLog(); h.update(['a', 'b']); \
		assert pickle.loads(pickle.dumps(h)).to_bytes() == h.to_bytes(); print('sdist build imports: murk', murk.__version__)"
