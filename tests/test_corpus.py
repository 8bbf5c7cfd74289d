"""Files written by earlier releases load, answer as they did, and re-save byte for byte."""
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
    if method == "len":
        return len(obj)
    result = getattr(obj, method)(*map(decode, args))
    return [list(r) for r in result] if method == "top" else result


def test_every_file_has_answers():
    stems = {p.name.rsplit(".", 1)[0] for p in CORPUS.iterdir() if p.suffix in (".murk", ".json")}
    stems.discard("answers")
    assert stems == set(ANSWERS)


@pytest.mark.parametrize("stem", sorted(ANSWERS))
@pytest.mark.parametrize("form", ["binary", "json"])
def test_stored_file_answers_and_resaves_identically(stem, form, tmp_path):
    entry = ANSWERS[stem]
    cls = getattr(murk, entry["class"])
    if form == "binary":
        path = CORPUS / f"{stem}.murk"
        obj = cls.load(str(path))
        again = tmp_path / "again.murk"
        obj.save(str(again))
        assert again.read_bytes() == path.read_bytes()
    else:
        text = (CORPUS / f"{stem}.json").read_text()
        obj = cls.from_json(text)
        assert obj.to_json() == text
    for method, args, expected in entry["answers"]:
        assert answer(obj, method, args) == expected, (stem, method, args)
