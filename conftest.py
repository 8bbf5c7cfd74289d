"""The examples of README.md and docs/ run as tests (Sybil).

Each page runs in order in one namespace, in a fresh working directory that
holds small versions of the files the examples read. ```python blocks run in
that namespace, except a block guarded by `if __name__ == "__main__":`, which
runs as a script (worker processes must be able to import what it defines).
```console blocks are shell sessions: each `$ ` line runs in `sh`, with `murk`
meaning this interpreter's `python -m murk`, and must print exactly the lines
shown under it (stdout and stderr, as a terminal shows them). ```sh blocks
made only of murk commands run as one `sh -e` script that must succeed. A
block that cannot run here is preceded by `<!-- skip: next "reason" -->`.
"""
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest
from sybil import Sybil
from sybil.evaluators.python import PythonEvaluator
from sybil.parsers.markdown import CodeBlockParser, PythonCodeBlockParser, SkipParser

from tests.environment import spark_missing

ROOT = Path(__file__).resolve().parent
MAIN_GUARD = re.compile(r"^if __name__ == [\"']__main__[\"']:", re.MULTILINE)
in_namespace = PythonEvaluator()


def access_log(n):
    """Request paths: a few frequent ones and many rare ones."""
    pages = ["/", "/search", "/cart", "/checkout"]
    return [pages[i % 7 % 4] if i % 3 else f"/item/{i * 7919 % 1000}" for i in range(n)]


def write_files(where):
    """Everything the examples read, small."""
    import gzip

    import murk
    import pyarrow as pa
    import pyarrow.parquet as pq

    where = Path(where)
    users = [f"user{i % 700}" for i in range(2000)]
    urls = access_log(2000)
    for name, count in [("logs", 3), ("today", 2), ("events", 3)]:
        (where / name).mkdir()
        for part in range(count):
            rows = slice(part * 500, part * 500 + 500)
            table = {"user": users[rows]} if name != "events" else {"user_id": users[rows], "url": urls[rows]}
            pq.write_table(pa.table(table), where / name / f"part-{part}.parquet")
    pq.write_table(pa.table({"user_id": users, "url": urls}), where / "events.parquet")
    pq.write_table(pa.table({"url": urls}), where / "hits.parquet")
    log = "".join(line + "\n" for line in access_log(20_000))
    (where / "access.log").write_text(log)
    (where / "access.log.gz").write_bytes(gzip.compress(log.encode(), mtime=0))
    (where / "today.log.gz").write_bytes(gzip.compress(log[: len(log) // 3].encode(), mtime=0))
    (where / "ids.txt").write_text("alice\nbob\ncarol\n")
    (where / "users.tsv").write_text("alice\t1\nmallory\t2\n")
    # Response times in ms, skewed like real ones (a few slow requests), one per line and as a column.
    latencies = [round(2 + 1.0009 ** ((i * 7919) % 10_000), 1) for i in range(10_000)]
    for name in ("latencies.txt", "latency_ms.txt"):
        (where / name).write_text("".join(f"{x}\n" for x in latencies))
    pq.write_table(pa.table({"latency_ms": latencies}), where / "requests.parquet")
    (where / "monday.txt").write_text("".join(f"user{i}\n" for i in range(0, 6000)))
    (where / "tuesday.txt").write_text("".join(f"user{i}\n" for i in range(4000, 9000)))
    for day in ("mon", "tue", "wed"):
        sketch = murk.HyperLogLog(14)
        sketch.update(users[:1000] if day == "mon" else users[1000:])
        sketch.save(str(where / f"{day}.murk"))


TEMPLATE = None


def setup(namespace):
    global TEMPLATE
    if TEMPLATE is None:
        TEMPLATE = tempfile.mkdtemp(prefix="murk-doc-files-")
        write_files(TEMPLATE)
    place = Path(tempfile.mkdtemp(prefix="murk-doc-"))
    shutil.copytree(TEMPLATE, place / "work")
    (place / "bin").mkdir()
    shim = place / "bin" / "murk"
    shim.write_text(f'#!/bin/sh\nexec {shlex.quote(sys.executable)} -m murk "$@"\n')
    shim.chmod(0o755)
    namespace["__doc_place__"] = (place, os.getcwd())
    os.chdir(place / "work")


def teardown(namespace):
    place, cwd = namespace.pop("__doc_place__")
    os.chdir(cwd)
    shutil.rmtree(place, ignore_errors=True)


def run_python(example):
    # From the first block that needs Spark on, a page is skipped where it cannot run.
    if "pyspark" in example.parsed and (why := spark_missing()):
        example.namespace["__no_spark__"] = why
    if "__no_spark__" in example.namespace:
        pytest.skip(example.namespace["__no_spark__"])
    if not MAIN_GUARD.search(example.parsed):
        return in_namespace(example)
    place = example.namespace["__doc_place__"][0]
    script = place / "bin" / f"example_{example.line}.py"
    script.write_text(str(example.parsed))
    proc = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=300)
    if proc.returncode:
        return f"exit status {proc.returncode}:\n{proc.stderr}"
    return None


def session(source):
    """(command, expected output) for each `$ ` line of a console block."""
    steps = []
    for line in str(source).splitlines():
        if line.startswith("$ "):
            steps.append([line[2:], []])
        elif steps and steps[-1][0].endswith("\\") and not steps[-1][1]:
            steps[-1][0] += "\n" + line
        elif steps:
            steps[-1][1].append(line.rstrip())
        elif line.strip():
            raise ValueError(f"console block: output before the first `$ ` line: {line!r}")
    return [(command, "\n".join(out).rstrip("\n")) for command, out in steps]


def shell(example, *args):
    """`sh` in the page's directory, with `murk` on the PATH and no terminal."""
    place = example.namespace["__doc_place__"][0]
    env = {k: v for k, v in os.environ.items() if k not in ("FORCE_COLOR", "TTY_COMPATIBLE", "TTY_INTERACTIVE")}
    env.update(PATH=f"{place / 'bin'}{os.pathsep}{env.get('PATH', '')}", COLUMNS="80")
    return subprocess.run(["sh", *args], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, env=env, timeout=120)


def run_console(example):
    for command, want in session(example.parsed):
        proc = shell(example, "-c", command)
        got = "\n".join(line.rstrip() for line in proc.stdout.decode().splitlines()).rstrip("\n")
        if got != want:
            return f"$ {command}\n--- shown ---\n{want}\n--- printed (exit status {proc.returncode}) ---\n{got}"
    return None


def runs_only_murk(source):
    commands = [line for line in str(source).splitlines() if line.strip() and not line.lstrip().startswith("#")]
    return commands and all(line.startswith("murk ") or "| murk " in line for line in commands)


class MurkScripts(CodeBlockParser):
    """```sh blocks made of murk commands only; make, pip and the like are not run here."""

    def __init__(self):
        super().__init__("sh", run_script)

    def __call__(self, document):
        return (region for region in super().__call__(document) if runs_only_murk(region.parsed))


def run_script(example):
    proc = shell(example, "-e", "-c", str(example.parsed))
    if proc.returncode:
        return f"exit status {proc.returncode}:\n{proc.stdout.decode()}"
    return None


python_blocks = PythonCodeBlockParser()
python_blocks.codeblock_parser = CodeBlockParser("python", run_python)

DOCS = Sybil(
    parsers=[python_blocks, CodeBlockParser("console", run_console), MurkScripts(), SkipParser()],
    patterns=["*.md"],
    setup=setup,
    teardown=teardown,
)
collect_docs = DOCS.pytest()


def pytest_collect_file(file_path, parent):
    try:
        relative = file_path.relative_to(ROOT)
    except ValueError:
        return None
    if relative == Path("README.md") or (relative.parts[0] == "docs" and relative.suffix == ".md"):
        return collect_docs(file_path, parent)
    return None


def pytest_sessionfinish(session, exitstatus):
    if TEMPLATE is not None:
        shutil.rmtree(TEMPLATE, ignore_errors=True)
