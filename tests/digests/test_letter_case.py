import pytest

METHODS = ["_md5_encrypt", "_md5_hmac_encrypt", "_sha1_encrypt", "_sha256_encrypt",
           "_sha384_encrypt", "_sha512_encrypt"]


def digest(C, method, fmt):
    if method == "_md5_hmac_encrypt":
        # RFC 2202 case 4: its raw MAC b"i~\xaf\n\xca::\xea:u\x16GF\xff\xaay" holds letters
        # of both cases among other bytes
        return C._md5_hmac_encrypt(b"\xcd" * 50, bytes(range(1, 26)), fmt)
    return getattr(C, method)("abc", fmt)


class Equal:
    def __init__(self, word):
        self.word, self.asked = word, []

    def __eq__(self, other):
        self.asked.append(other)
        return other == self.word

    __hash__ = None


class RaisingEq:
    def __eq__(self, other):
        raise ZeroDivisionError("no comparison")


class NoTruth:
    def __bool__(self):
        raise OverflowError("no truth")


class EqWithoutTruth:
    def __eq__(self, other):
        return NoTruth()


class SubStr(str):
    pass


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("fmt, case", [
    ("upper", "upper"), ("lower", "lower"), (SubStr("upper"), "upper"),
    (None, "same"), ("", "same"), ("Upper", "same"), ("upper ", "same"), (0, "same"), (1.5, "same"),
])
def test_fmt_rule(C, method, fmt, case):
    plain = digest(C, method, None)
    expected = {"upper": plain.upper(), "lower": plain.lower(), "same": plain}[case]
    assert digest(C, method, fmt) == expected
    assert type(digest(C, method, fmt)) is type(plain)


@pytest.mark.parametrize("method", METHODS)
def test_fmt_asks_upper_first_then_lower(C, method):
    plain = digest(C, method, None)
    lower_only = Equal("lower")
    assert digest(C, method, lower_only) == plain.lower()
    assert lower_only.asked == ["upper", "lower"]
    upper = Equal("upper")
    assert digest(C, method, upper) == plain.upper()
    assert upper.asked == ["upper"]


# the line of `if fmt == "upper":` in each method
FMT_LINES = {"_md5_encrypt": 105, "_md5_hmac_encrypt": 122, "_sha1_encrypt": 179,
             "_sha256_encrypt": 192, "_sha384_encrypt": 205, "_sha512_encrypt": 218}


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("fmt, error", [(RaisingEq(), ZeroDivisionError), (EqWithoutTruth(), OverflowError)])
def test_fmt_comparison_errors_propagate(C, method, fmt, error):
    with pytest.raises(error) as e:
        digest(C, method, fmt)
    entries = [(t.name, t.lineno + 1) for t in e.traceback if t.name.startswith("crypt_main.")]
    assert entries == [("crypt_main.TarvikCryptMain." + method, FMT_LINES[method])]
