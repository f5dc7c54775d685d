"""TamoHashChain: chained records, sha256, verify_chain."""
import hashlib
import re
from datetime import datetime, timezone

import pytest

import veltar_core

Chain = veltar_core.TamoHashChain
HEX64 = re.compile(r"[0-9a-f]{64}")


def test_new_chain_stats(chain):
    assert chain.get_stats() == {"total_records": 0, "current_sequence": 0, "engine": "tamo"}
    assert list(chain.get_stats()) == ["total_records", "current_sequence", "engine"]


def test_first_and_second_record_link(chain):
    first = chain.record("e1", "payload")
    assert list(first) == ["hash", "previous_hash", "sequence", "event_id", "timestamp_iso", "timestamp_ms", "engine"]
    assert first["sequence"] == 1 and first["previous_hash"] == "genesis" and first["event_id"] == "e1"
    assert first["engine"] == "tamo" and "data" not in first
    assert first["hash"] == Chain.sha256(f"1:genesis:e1:payload:{first['timestamp_ms']}")
    second = chain.record(event_id="e2", data="more")
    assert second["previous_hash"] == first["hash"] and second["sequence"] == 2
    assert second["hash"] == Chain.sha256(f"2:{first['hash']}:e2:more:{second['timestamp_ms']}")
    assert chain.get_stats() == {"total_records": 2, "current_sequence": 2, "engine": "tamo"}


@pytest.mark.parametrize("event_id, data", [("", ""), ("a:b", "c"), ("ünï\u20ac", "\U0001f600\x00")])
def test_hash_input_is_raw_utf8(chain, event_id, data):
    made = chain.record(event_id, data)
    expected = hashlib.sha256(f"1:genesis:{event_id}:{data}:{made['timestamp_ms']}".encode()).hexdigest()
    assert made["hash"] == expected


def test_timestamps_agree(chain):
    made = chain.record("e", "d")
    iso, ms = made["timestamp_iso"], made["timestamp_ms"]
    assert iso.endswith("+00:00")
    head, _, fraction = iso[: -len("+00:00")].partition(".")
    assert len(head) == 19 and len(fraction) in (0, 3, 6, 9) and fraction.isdigit() == bool(fraction)
    instant = datetime.strptime(head, "%Y-%m-%dT%H:%M:%S").replace(tzinfo=timezone.utc)
    assert int(instant.timestamp()) * 1000 + int((fraction or "0")[:3].ljust(3, "0")) == ms
    assert abs(ms / 1000 - datetime.now(timezone.utc).timestamp()) < 60


@pytest.mark.parametrize("text", ["", "abc", "é" * 1000, "x" * 1_000_003])
def test_sha256_matches_hashlib(text):
    digest = Chain.sha256(text)
    assert HEX64.fullmatch(digest)
    assert digest == hashlib.sha256(text.encode()).hexdigest()
    assert Chain().sha256(data=text) == digest


def test_sha256_known_vectors():
    assert Chain.sha256("") == "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"
    assert Chain.sha256("abc") == "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"


@pytest.mark.parametrize("bad", [b"abc", 5, None])
def test_sha256_refuses_non_str(bad):
    with pytest.raises(TypeError, match="^argument 'data': "):
        Chain.sha256(bad)


@pytest.mark.parametrize("chain_input, expected", [
    ([], {"valid": True, "length": 0}),
    ([("h1", "anything")], {"valid": True, "length": 1}),
    ([("h1", "genesis"), ("h2", "h1"), ("h3", "hX")], {"valid": False, "broken_at": 2, "expected": "h2", "found": "hX"}),
    ([("abc", "g"), ("x", "ABC")], {"valid": False, "broken_at": 1, "expected": "abc", "found": "ABC"}),
    ((("a", "g"), ("b", "a")), {"valid": True, "length": 2}),
    ([("é", "g"), ("b", "e\u0301")], {"valid": False, "broken_at": 1, "expected": "é", "found": "e\u0301"}),
])
def test_verify_chain_examples(chain, chain_input, expected):
    result = chain.verify_chain(chain_input)
    assert result == expected and list(result) == list(expected)


def test_verify_records_and_tampering(chain):
    records = [chain.record(f"e{i}", "x") for i in range(3)]
    pairs = [(r["hash"], r["previous_hash"]) for r in records]
    assert chain.verify_chain(chain=pairs) == {"valid": True, "length": 3}
    tampered_hash = list(pairs)
    tampered_hash[1] = ("forged", pairs[1][1])
    assert chain.verify_chain(tampered_hash)["broken_at"] == 2
    tampered_prev = list(pairs)
    tampered_prev[1] = (pairs[1][0], "forged")
    assert chain.verify_chain(tampered_prev)["broken_at"] == 1


class TupleChild(tuple):
    pass


def test_verify_accepts_any_sequence_of_tuples(chain):
    class Seq:
        def __init__(self, items):
            self.items = items

        def __len__(self):
            raise RuntimeError("no length")  # the hint is optional

        def __getitem__(self, i):
            return self.items[i]

    assert chain.verify_chain(Seq([TupleChild(("a", "g")), ("b", "a")])) == {"valid": True, "length": 2}


@pytest.mark.parametrize("bad, error, message", [
    ("abc", TypeError, "^argument 'chain': "),
    ({"a": "b"}, TypeError, "^argument 'chain': 'dict' object cannot be converted to 'Sequence'$"),
    ({("a", "b")}, TypeError, "^argument 'chain': 'set' object cannot be converted to 'Sequence'$"),
    ((x for x in []), TypeError, "^argument 'chain': 'generator' object cannot be converted to 'Sequence'$"),
    ([["a", "b"]], TypeError, "^argument 'chain': 'list' object cannot be converted to '"),
    ([("a", "b", "c")], ValueError, r"^expected tuple of length 2, but got tuple of length 3$"),
    ([("a",)], ValueError, r"^expected tuple of length 2, but got tuple of length 1$"),
    ([("a", 5)], TypeError, "^argument 'chain': 'int' object cannot be converted to '"),
    ([("a", "\udc80")], UnicodeEncodeError, "surrogates not allowed"),
])
def test_verify_chain_bad_input(chain, bad, error, message):
    with pytest.raises(error, match=message):
        chain.verify_chain(bad)
    assert chain.get_stats() == {"total_records": 0, "current_sequence": 0, "engine": "tamo"}


def test_iteration_error_propagates(chain):
    class Boom:
        def __len__(self):
            return 2

        def __getitem__(self, i):
            raise KeyError("boom")

    with pytest.raises(KeyError):
        chain.verify_chain(Boom())


def test_shared_borrow_during_verify(chain):
    seen = {}

    class Spy:
        def __len__(self):
            return 1

        def __getitem__(self, i):
            if i > 0:
                raise IndexError
            seen["stats"] = chain.get_stats()
            seen["nested"] = chain.verify_chain([])
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                chain.record("e", "d")
            return ("h", "p")

    assert chain.verify_chain(Spy()) == {"valid": True, "length": 1}
    assert seen["stats"]["total_records"] == 0 and seen["nested"]["valid"]
    chain.record("e", "d")  # the borrow was released
    assert chain.get_stats()["total_records"] == 1
