"""Argument parsing, conversion errors and borrowing, through TamoHashChain."""
import pytest

import veltar_core

Chain = veltar_core.TamoHashChain


@pytest.mark.parametrize("call, message", [
    (lambda c: c.record("e1"), "TamoHashChain.record() missing 1 required positional argument: 'data'"),
    (lambda c: c.record(), "TamoHashChain.record() missing 2 required positional arguments: 'event_id' and 'data'"),
    (lambda c: c.record(data="x"), "TamoHashChain.record() missing 1 required positional argument: 'event_id'"),
    (lambda c: c.record("a", "b", "c"), "TamoHashChain.record() takes 2 positional arguments but 3 were given"),
    (lambda c: c.verify_chain([], []), "TamoHashChain.verify_chain() takes 1 positional arguments but 2 were given"),
    (lambda c: c.record("a", "b", data="c"), "TamoHashChain.record() got multiple values for argument 'data'"),
    (lambda c: c.record("a", event_id="b"), "TamoHashChain.record() got multiple values for argument 'event_id'"),
    (lambda c: c.record("a", "b", extra=1), "TamoHashChain.record() got an unexpected keyword argument 'extra'"),
    (lambda c: c.record(extra=1), "TamoHashChain.record() got an unexpected keyword argument 'extra'"),
    (lambda c: Chain(1), "TamoHashChain.__new__() takes 0 positional arguments but 1 was given"),
    (lambda c: Chain(x=1), "TamoHashChain.__new__() got an unexpected keyword argument 'x'"),
    (lambda c: Chain.sha256(), "TamoHashChain.sha256() missing 1 required positional argument: 'data'"),
    (lambda c: c.verify_chain(), "TamoHashChain.verify_chain() missing 1 required positional argument: 'chain'"),
    (lambda c: c.get_stats(1), "get_stats() takes no arguments (1 given)"),
])
def test_parsing_messages(chain, call, message):
    with pytest.raises(TypeError) as info:
        call(chain)
    assert str(info.value).endswith(message)
    assert chain.get_stats()["total_records"] == 0


def test_keyword_and_positional_calls_agree(chain):
    assert chain.record(event_id="a", data="b")["sequence"] == 1
    assert chain.record("a", data="b")["sequence"] == 2
    assert chain.record(data="b", event_id="a")["sequence"] == 3


class StrChild(str):
    pass


def test_str_subclass_is_text(chain):
    assert chain.record(StrChild("e"), "d")["event_id"] == "e"


@pytest.mark.parametrize("event_id, data, name", [
    (1, "x", "event_id"),
    (b"x", "x", "event_id"),
    ("x", None, "data"),
    ("x", ["d"], "data"),
])
def test_wrong_type_gets_argument_prefix(chain, event_id, data, name):
    with pytest.raises(TypeError) as info:
        chain.record(event_id, data)
    kind = type(event_id if name == "event_id" else data).__qualname__
    assert str(info.value).startswith(f"argument '{name}': '{kind}' object cannot be converted to '")
    assert info.value.__cause__ is None
    assert chain.get_stats() == {"total_records": 0, "current_sequence": 0, "engine": "tamo"}


def test_conversion_order_is_positional(chain):
    with pytest.raises(TypeError, match="^argument 'event_id'"):
        chain.record(data=2, event_id=1)


def test_lone_surrogate_raises_unicode_error_unchanged(chain):
    with pytest.raises(UnicodeEncodeError):
        chain.record("\ud800", "x")
    with pytest.raises(UnicodeEncodeError):
        chain.record("x", "\udfff")
    assert chain.get_stats()["total_records"] == 0


def test_unbound_method_checks_instance():
    with pytest.raises(TypeError):
        Chain.record(object(), "a", "b")
    with pytest.raises(TypeError):
        Chain.get_stats(5)


def test_no_reference_leak_on_errors(chain):
    import sys
    text = "leak-check-" + "x" * 10
    before = sys.getrefcount(text)
    for _ in range(1000):
        with pytest.raises(TypeError):
            chain.record(text, 5)
        chain.record(text, text)
    assert sys.getrefcount(text) == before
