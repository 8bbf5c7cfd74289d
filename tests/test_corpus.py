"""Files written by earlier releases load, answer as they did, and re-save byte for byte."""
import gzip
import json
import pathlib

import pytest

import murk

CORPUS = pathlib.Path(__file__).parent / "corpus"
ANSWERS = json.loads((CORPUS / "answers.json").read_text())


def decode(arg):
    if isinstance(arg, dict) and "bytes" in arg:
        return bytes.fromhex(arg["bytes"])
    if isinstance(arg, dict) and "minhash" in arg:
        return murk.MinHash.from_bytes(bytes.fromhex(arg["minhash"]))
    return arg


def answer(obj, method, args):
    args = [decode(a) for a in args]
    if method == "len":
        return len(obj)
    if method == "in":
        return args[0] in obj
    attr = getattr(obj, method)
    result = attr(*args) if callable(attr) else attr  # methods, or properties
    if method == "top":
        return [list(r) for r in result]
    if isinstance(obj, murk.MinHashLSH) and method == "query":
        return sorted(result, key=repr)  # candidates come in no particular order
    return result


def test_every_class_and_file_is_covered():
    assert {entry["class"] for entry in ANSWERS.values()} == set(murk.__all__)
    assert len(FILES) > len(ANSWERS)
    stems = {p.name.removesuffix(".gz").removesuffix(".murk").removesuffix(".json") for p in CORPUS.glob("*.gz")}
    assert stems == set(ANSWERS)


# The index has no JSON form.
FILES = [(stem, form) for stem in sorted(ANSWERS) for form, suffix in (("binary", ".murk.gz"), ("json", ".json.gz"))
         if (CORPUS / (stem + suffix)).exists()]


@pytest.mark.parametrize("stem, form", FILES)
def test_stored_file_answers_and_resaves_identically(stem, form, tmp_path):
    entry = ANSWERS[stem]
    cls = getattr(murk, entry["class"])
    if form == "binary":
        stored = gzip.decompress((CORPUS / f"{stem}.murk.gz").read_bytes())
        (tmp_path / "stored.murk").write_bytes(stored)
        obj = cls.load(str(tmp_path / "stored.murk"))
        obj.save(str(tmp_path / "again.murk"))
        assert (tmp_path / "again.murk").read_bytes() == stored
    else:
        text = gzip.decompress((CORPUS / f"{stem}.json.gz").read_bytes()).decode()
        obj = cls.from_json(text)
        assert obj.to_json() == text
    for method, args, expected in entry["answers"]:
        assert answer(obj, method, args) == expected, (stem, method, args)
