"""TamoLoopBreaker."""
import math

import pytest

import veltar_core

Breaker = veltar_core.TamoLoopBreaker
KEYS = ["is_loop", "similarity", "consecutive_similar", "window_size", "engine"]


def run(breaker, texts, session="s"):
    return [breaker.check(session, text) for text in texts]


def test_seven_request_table():
    breaker = Breaker()
    texts = ["retry the same call"] * 5 + ["something else entirely", "retry the same call please"]
    expected = [
        (0.0, 0, False, 1),
        (1.0, 1, False, 2),
        (1.0, 2, False, 3),
        (1.0, 3, True, 4),
        (1.0, 4, True, 5),
        (0.0, 0, False, 6),
        (2 / math.sqrt(5), 1, False, 7),
    ]
    for answer, (similarity, run_length, is_loop, size) in zip(run(breaker, texts), expected):
        assert list(answer) == KEYS and answer["engine"] == "tamo"
        assert answer["similarity"] == pytest.approx(similarity, abs=1e-15)
        assert (answer["consecutive_similar"], answer["is_loop"], answer["window_size"]) == (run_length, is_loop, size)
    assert run(Breaker(), ["retry the same call"] * 2)[1]["similarity"] == 1.0
    stats = breaker.get_stats()
    assert stats == {
        "total_checks": 7,
        "loops_detected": 2,
        "active_sessions": 1,
        "window_size": 10,
        "similarity_threshold": 0.85,
        "engine": "tamo",
    }
    assert list(stats) == list(stats.keys())


@pytest.mark.parametrize("a, b, expected", [
    ("Hello World", "HELLO world", 1.0),
    ("alpha beta", "beta alpha", 1.0),
    ("go go stop", "go stop", 3 / math.sqrt(10)),
    ("please RETRY the same call now", "Please retry the same call", math.sqrt(5 / 6)),
    ("read the file config again", "read file config", math.sqrt(3 / 5)),
    ("snake_case", "snake case", 1.0),
    ("\u00e9", "\u00c9", 1.0),
    ("abc def", "xyz", 0.0),
    ("", "", 0.0),
    ("a b c", "a b c", 0.0),
    ("?!", "?!", 0.0),
    ("e", "e", 0.0),
])
def test_similarity_examples(a, b, expected):
    breaker = Breaker()
    breaker.check("s", a)
    assert breaker.check("s", b)["similarity"] == pytest.approx(expected, abs=1e-15)


def test_older_request_in_window_counts_and_leaves_after_window():
    breaker = Breaker(window_size=3)
    run(breaker, ["alpha beta gamma", "one two", "three four"])
    assert breaker.check("s", "alpha beta gamma")["similarity"] == pytest.approx(1.0)
    breaker = Breaker(window_size=2)
    run(breaker, ["alpha beta gamma", "one two", "three four"])
    assert breaker.check("s", "alpha beta gamma")["similarity"] == 0.0


@pytest.mark.parametrize("kwargs, texts, loops, runs, sizes", [
    ({"window_size": 0}, ["same text"] * 3, [False] * 3, [0, 0, 0], [0, 0, 0]),
    ({"window_size": 1}, ["a1 b2", "a1 b2", "c3 d4", "a1 b2"], [False] * 4, [0, 1, 0, 0], [1, 1, 1, 1]),
    ({"similarity_threshold": 0.0}, ["x1", "y2", "z3"], [False, False, True], [1, 2, 3], [1, 2, 3]),
    ({"similarity_threshold": -1}, ["", "", ""], [False, False, True], [1, 2, 3], [1, 2, 3]),
    ({"similarity_threshold": 1.0}, ["Hello World"] * 3, [False] * 3, [0, 0, 0], [1, 2, 3]),
    ({"similarity_threshold": float("nan"), "max_consecutive": 1}, ["same"] * 3, [False] * 3, [0, 0, 0], [1, 2, 3]),
    ({"max_consecutive": 0}, ["one", "two"], [True, True], [0, 0], [1, 2]),
    ({"max_consecutive": 1}, ["same", "same", "other"], [False, True, False], [0, 1, 0], [1, 2, 3]),
    ({}, ["", "", "retry"], [False] * 3, [0, 0, 0], [1, 2, 3]),
])
def test_settings_edge_cases(kwargs, texts, loops, runs, sizes):
    breaker = Breaker(**kwargs)
    answers = run(breaker, texts)
    assert [a["is_loop"] for a in answers] == loops
    assert [a["consecutive_similar"] for a in answers] == runs
    assert [a["window_size"] for a in answers] == sizes
    assert breaker.get_stats()["loops_detected"] == sum(loops)


def test_max_consecutive_zero_counts_every_check():
    breaker = Breaker(max_consecutive=0)
    run(breaker, ["a1", "b2"], "x")
    run(breaker, ["c3"], "y")
    assert breaker.get_stats()["loops_detected"] == 3


def test_sessions_are_independent_and_exact():
    breaker = Breaker(max_consecutive=1)
    breaker.check("S1", "same words")
    assert breaker.check("s1", "same words")["similarity"] == 0.0
    assert breaker.check("S1", "same words")["is_loop"]
    assert breaker.check("", "empty id is fine")["window_size"] == 1
    assert breaker.get_stats()["active_sessions"] == 3


def test_reset_session():
    breaker = Breaker()
    run(breaker, ["retry the same call"] * 4)
    assert breaker.reset_session("s") is None
    assert breaker.reset_session(session_id="unknown") is None
    assert breaker.get_stats()["active_sessions"] == 0
    first = breaker.check("s", "retry the same call")
    assert (first["similarity"], first["consecutive_similar"], first["window_size"]) == (0.0, 0, 1)
    assert breaker.get_stats()["total_checks"] == 5 and breaker.get_stats()["loops_detected"] == 1


def test_window_stays_bounded():
    breaker = Breaker(window_size=4)
    answers = run(breaker, [f"request number {i} w{i}" for i in range(50)])
    assert [a["window_size"] for a in answers][-3:] == [4, 4, 4]
    assert breaker.get_stats()["window_size"] == 4


@pytest.mark.parametrize("args, error, message", [
    ((1, 0.5, 2, 9), TypeError, r"^TamoLoopBreaker.__new__\(\) takes from 0 to 3 positional arguments but 4 were given$"),
    ((-1,), OverflowError, "^(?!argument)"),
    ((2**64,), OverflowError, "^(?!argument)"),
    ((1.5,), TypeError, "^argument 'window_size': "),
    (("10",), TypeError, "^argument 'window_size': "),
    ((10, "x"), TypeError, "^argument 'similarity_threshold': must be real number, not str$"),
    ((10, None), TypeError, "^argument 'similarity_threshold': "),
    ((10, 0.5, 2**32), OverflowError, "^out of range integral type conversion attempted$"),
    ((10, 0.5, -1), OverflowError, "^out of range integral type conversion attempted$"),
    ((10, 0.5, 2**70), OverflowError, "^(?!argument)"),
    ((10, 0.5, 1.0), TypeError, "^argument 'max_consecutive': "),
])
def test_constructor_errors(args, error, message):
    with pytest.raises(error, match=message):
        Breaker(*args)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Real:
    def __float__(self):
        return 0.25


def test_constructor_conversions():
    assert str(__import__("inspect").signature(Breaker)) == "(window_size=10, similarity_threshold=0.85, max_consecutive=3)"
    breaker = Breaker(Index(2**64 - 1), 1, Index(2**32 - 1))
    assert breaker.get_stats()["window_size"] == 2**64 - 1
    assert breaker.get_stats()["similarity_threshold"] == 1.0
    assert type(breaker.get_stats()["similarity_threshold"]) is float
    assert Breaker(similarity_threshold=Real()).get_stats()["similarity_threshold"] == 0.25
    assert Breaker(max_consecutive=True).get_stats()["window_size"] == 10
    with pytest.raises(TypeError, match="unexpected keyword argument 'window'"):
        Breaker(window=3)


@pytest.mark.parametrize("call, message", [
    (lambda b: b.check("s"), r"missing 1 required positional argument: 'content'"),
    (lambda b: b.check(), r"missing 2 required positional arguments: 'session_id' and 'content'"),
    (lambda b: b.check("s", 5), r"^argument 'content': 'int' object cannot be converted to '"),
    (lambda b: b.check(5, "x"), r"^argument 'session_id': "),
    (lambda b: b.reset_session(None), r"^argument 'session_id': "),
])
def test_rejected_calls_change_nothing(call, message):
    breaker = Breaker()
    with pytest.raises(TypeError, match=message):
        call(breaker)
    with pytest.raises(UnicodeEncodeError):
        breaker.check("s", "\udc00")
    assert breaker.get_stats()["total_checks"] == 0
    assert breaker.get_stats()["active_sessions"] == 0
