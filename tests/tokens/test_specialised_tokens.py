"""Tokens issued and verified through the module give the installed PyJWT's
own tokens, results and messages, byte for byte, whichever path computes
them; the specialised paths run where they should and step aside where
the library, the clock or the arguments are not what they were written for."""

import base64
import datetime
import hashlib
import hmac
import json
import os
import subprocess
import sys
import threading
import time
import types
import warnings
from unittest import mock

import jwt
import pytest
from hypothesis import HealthCheck, assume, given, settings, strategies as st

import crypt_main

C = crypt_main.TarvikCryptMain
KEY = "k" * 32
EXPIRED = "token已过期"
FAILED = "系统异常："

suite = settings(max_examples=300, deadline=None, suppress_health_check=list(HealthCheck))


def b64(raw):
    return base64.urlsafe_b64encode(raw).rstrip(b"=").decode()


def claims_of(token):
    part = token.split(".")[1]
    return json.loads(base64.urlsafe_b64decode(part + "=" * (-len(part) % 4)))


def exact(a, b):
    """Equal, and of the same types all the way down (dict order included)."""
    if type(a) is not type(b):
        return False
    if isinstance(a, dict):
        return len(a) == len(b) and all(exact(ka, kb) and exact(va, vb)
                                        for (ka, va), (kb, vb) in zip(a.items(), b.items()))
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(map(exact, a, b))
    if isinstance(a, float):
        return repr(a) == repr(b)
    return a == b


def outcome(call, *args):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result = ("result", call(*args))
        except Exception as e:
            result = ("raised", type(e), str(e))
    return result + (tuple((w.category, str(w.message)) for w in caught),)


def same_outcome(a, b):
    return a[0] == b[0] and a[-1] == b[-1] and (exact(a[1], b[1]) if a[0] == "result" else a[1:] == b[1:])


def reference_decrypt(token, key, issuer):
    """The method's statements, written inline."""
    iss = issuer if issuer else "tarvik"
    try:
        return jwt.decode(token, key, issuer=iss, algorithms=["HS256"]).get("data")
    except jwt.exceptions.ExpiredSignatureError:
        return EXPIRED
    except Exception as e:
        return FAILED + format(e, "")


text = st.text(alphabet=st.characters(blacklist_categories=()), max_size=12)
scalars = st.one_of(st.none(), st.booleans(), st.integers(-2**70, 2**70), st.integers(-1000, 1000),
                    st.floats(allow_nan=True), text)
keys_of_dicts = st.one_of(text, st.integers(-10, 10), st.floats(allow_nan=False), st.booleans(), st.none())
data = st.recursive(scalars, lambda inner: st.one_of(
    st.lists(inner, max_size=4), st.lists(inner, max_size=3).map(tuple),
    st.dictionaries(keys_of_dicts, inner, max_size=4)), max_leaves=12)
secrets = st.one_of(
    st.sampled_from([KEY, "s" * 70, b"\x00\xff" * 16, "文字" * 6, "short", "", b"", "\ud800" * 32,
                     "-----BEGIN PUBLIC KEY-----\nMFkw\n-----END PUBLIC KEY-----\n" + "x" * 8,
                     "ssh-rsa AAAAB3NzaC1yc2EAAAADAQABAAABAQC7" + "x" * 8,
                     '{"kty": "oct", "k": "c2VjcmV0c2VjcmV0c2VjcmV0c2VjcmV0"}',
                     b"0\x22" + bytes(range(34)), b"0\x81\x22" + bytes(range(34)), 12345]),
    st.text(min_size=30, max_size=40), st.binary(min_size=31, max_size=150))
issuers = st.sampled_from([None, "", False, "svc", "tarvik", "ü\ud800", 7, b"svc", 0])
lifetimes = st.one_of(st.none(), st.sampled_from([True, False, -100, 3600, 10**6]), st.integers(10, 10**9),
                      st.integers(-10**9, -10))


@suite
@given(data=data, key=secrets, lifetime=lifetimes, issuer=issuers)
def test_issued_tokens_are_the_librarys(data, key, lifetime, issuer):
    before = int(time.time())
    ours = outcome(C._token_encrypt, data, key, lifetime, issuer)
    after = int(time.time())
    if ours[0] == "raised":
        # the library's own refusal, replayed: the same error and warnings
        claims = {"data": data, "iat": before, "iss": issuer or "tarvik"}
        if lifetime is not None:
            claims["exp"] = before + lifetime
        theirs = outcome(jwt.encode, claims, key, "HS256")
        assume(theirs[0] == "raised")  # a raising clock-independent path only
        assert ours == theirs
        return
    claims = claims_of(ours[1])
    assert before <= claims["iat"] <= after
    expected = {"data": data, "iat": claims["iat"], "iss": issuer or "tarvik"}
    if lifetime is not None:
        assert claims["exp"] - claims["iat"] - lifetime in (0, 1)
        expected["exp"] = claims["exp"]
    assert same_outcome(ours, outcome(jwt.encode, expected, key, "HS256"))


def signed(payload_text, key=KEY):
    return jwt.api_jws.encode(payload_text.encode("utf-8", "surrogatepass"), key, algorithm="HS256")


def variants(token, text, key):
    """The token, and what an attacker or another issuer might send instead."""
    header, payload, signature = token.split(".")
    yield token
    yield token.encode()
    yield header + "." + payload + "." + signature[:-1] + ("A" if signature[-1] != "A" else "B")
    yield header + "." + payload[:-1] + ("A" if payload[-1] != "A" else "B") + "." + signature
    yield token + "="
    yield header + "." + payload + "=." + signature
    yield jwt.api_jws.encode(text.encode("utf-8", "surrogatepass"), key, algorithm="HS384")
    yield signed(text[:-1] + ',"sub":1,"nbf":%d}' % (time.time() + 99), key)
    yield token.replace(".", "..", 1)
    yield "x" + token


payload_forms = st.sampled_from([
    lambda d: json.dumps(d, separators=(",", ":")),
    lambda d: json.dumps(d),
    lambda d: json.dumps(d, separators=(",", ":"), ensure_ascii=False),
])


@suite
@given(data=data, key=secrets, lifetime=lifetimes, issuer=st.sampled_from([None, "svc", "tarvik", "ü\ud800", 7]),
       checked_for=issuers, form=payload_forms,
       iat_shift=st.sampled_from([0, 0, -5, 100]))
def test_verification_gives_what_the_library_says(data, key, lifetime, issuer, checked_for, form, iat_shift):
    now = int(time.time())
    exp = None if lifetime is None else now + lifetime
    assume(exp is None or abs(exp - now) > 3)
    text = '{"data":%s,"iat":%d,"iss":%s%s}' % (form(data), now + iat_shift, json.dumps(issuer or "tarvik"),
                                                "" if exp is None else ',"exp":%d' % exp)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            token, signer = signed(text, key), key
        except Exception:  # a key the library refuses to sign with is still tried for verifying
            token, signer = signed(text), KEY
        candidates = list(variants(token, text, signer))
    for candidate in candidates:
        for k in (key, KEY):
            ours = outcome(C._token_decrypt, candidate, k, checked_for)
            assert same_outcome(ours, outcome(reference_decrypt, candidate, k, checked_for)), candidate


TYPICAL = [{"id": 7, "name": "Zoë \U0001F600 \ud800\n\"\\/", "roles": ["a", "b"], "n": None, "ok": True},
           [1, -0.0, 1e300, 2.5e-320, -12345678901234567, (1, 2), {1: "a", 2.5: "b", None: "c", False: "d"}],
           "text", 0, -1.5, None, {}, {"long": "x" * 5000}]  # signed without the GIL


@pytest.mark.parametrize("data", TYPICAL)
@pytest.mark.parametrize("key, issuer", [(KEY, None), (b"\x00\xff" * 40, "svc"), ("密钥" * 6, "ü")])
def test_plain_calls_run_no_library_code(data, key, issuer):
    test_paths_are_enabled_for_plain_calls()
    for lifetime in (3600, None, -100):
        token, frames = library_frames(C._token_encrypt, data, key, lifetime, issuer)
        assert frames == 0 and token == jwt.encode(claims_of(token), key, algorithm="HS256")
        result, frames = library_frames(C._token_decrypt, token, key, issuer)
        assert frames == 0 and exact(result, EXPIRED if lifetime == -100 else reference_decrypt(token, key, issuer))


def test_paths_are_enabled_for_plain_calls():
    # (a branch that an earlier change left declining tries again within
    # 256 of its calls)
    tokens = [C._token_encrypt({"id": 7, "x": [1.5, None]}, KEY, lifetime, None) for lifetime in (None, 3600, -100)]
    for _ in range(1100):  # (a declining branch retries after up to 1,000 calls)
        C._token_encrypt({"id": 7, "x": [1.5, None]}, KEY, 3600, None)
        for token in tokens:
            C._token_decrypt(token, KEY, None)
            C._token_decrypt(token, "w" * 32, None)
        if C._token_encrypt.__specialised__ + C._token_decrypt.__specialised__ == ("enabled",) * 4:
            break
    assert C._token_encrypt.__specialised__[0] == "enabled"
    assert C._token_decrypt.__specialised__ == ("enabled",) * 3


def test_a_frozen_clock_is_followed(monkeypatch):
    """time.time replaced (as clock-freezing libraries do): tokens carry its
    readings, while verification keeps to the library's own clock."""
    token = C._token_encrypt("v", KEY, 60, None)
    monkeypatch.setattr(time, "time", lambda: 1234567890.75)
    frozen = C._token_encrypt("v", KEY, 60, None)
    assert frozen == jwt.encode({"data": "v", "iat": 1234567890, "iss": "tarvik", "exp": 1234567950}, KEY,
                                algorithm="HS256")
    monkeypatch.setattr(time, "time", lambda: 4e9)  # far ahead: the library's datetime is not moved
    assert C._token_decrypt(token, KEY, None) == "v"
    assert C._token_decrypt(frozen, KEY, None) == EXPIRED


class Spy:
    def __init__(self, real):
        self.real, self.calls = real, 0

    def __call__(self, *args, **kwargs):
        self.calls += 1
        return self.real(*args, **kwargs)

    def __get__(self, obj, owner=None):  # a method stays a method
        return self if obj is None else lambda *a, **k: self(obj, *a, **k)


@pytest.mark.parametrize("owner, name, method", [
    (hmac, "new", "both"),
    (json, "dumps", "issue"),
    (json, "loads", "verify"),
    (base64, "urlsafe_b64encode", "both"),
    (jwt.api_jwt.PyJWT, "_validate_exp", "verify"),
    (jwt.api_jws.PyJWS, "_verify_signature", "verify"),
    (jwt.algorithms.HMACAlgorithm, "prepare_key", "both"),
    (jwt.utils, "force_bytes", "both"),
    (jwt.api_jwt.PyJWT, "_encode_payload", "issue"),
])
def test_library_changed_after_enabling_is_called(monkeypatch, owner, name, method):
    test_paths_are_enabled_for_plain_calls()
    token = C._token_encrypt({"id": 7}, KEY, 3600, None)
    spy = Spy(owner.__dict__[name] if isinstance(owner, type) else getattr(owner, name))
    monkeypatch.setattr(owner, name, spy)
    if name == "force_bytes":
        monkeypatch.setattr(jwt.algorithms, name, spy)
    settle(lambda: C._token_encrypt({"id": 7}, KEY, 3600, None), lambda: C._token_decrypt(token, KEY, None))
    spy.calls = 0
    if method in ("issue", "both"):
        assert C._token_encrypt({"id": 7}, KEY, 3600, None).count(".") == 2
    if method in ("verify", "both"):
        assert C._token_decrypt(token, KEY, None) == {"id": 7}
    assert spy.calls > 0


# Without watchers (before 3.12) a change below the entry points is seen
# within this many calls of a branch.
LAG = 0 if sys.version_info >= (3, 12) else 1000


def settle(*calls):
    for _ in range(LAG):
        for call in calls:
            call()


def library_frames(call, *args):
    """How many frames of the jwt package a call runs (none on a specialised path)."""
    frames = []
    sys.setprofile(lambda frame, event, arg: event == "call" and "jwt" in frame.f_code.co_filename.split(os.sep)
                   and frames.append(frame.f_code.co_name))
    try:
        return call(*args), len(frames)
    finally:
        sys.setprofile(None)


@pytest.mark.parametrize("change, issuing, verifying", [
    (lambda m: m.setattr(jwt, "__version__", "2.99.0"), True, True),
    (lambda m: m.setitem(jwt.api_jwt._jwt_global_obj.options, "verify_exp", False), True, True),
    (lambda m: m.setattr(jwt.api_jws._jws_global_obj._algorithms["HS256"], "hash_alg", hashlib.sha512), True, True),
    (lambda m: m.setitem(vars(jwt.api_jwt._jwt_global_obj), "_validate_iss", lambda *a: None), True, True),
    (lambda m: m.setattr(crypt_main, "time", types.SimpleNamespace(time=time.time)), True, False),
    (lambda m: m.setattr(jwt.api_jwt, "datetime", Ahead), True, True),
])
def test_library_in_another_state_takes_the_generic_path(monkeypatch, change, issuing, verifying):
    test_paths_are_enabled_for_plain_calls()
    expired = C._token_encrypt({"id": 7}, KEY, -100, None)
    assert library_frames(C._token_decrypt, expired, KEY, None) == (EXPIRED, 0)
    assert library_frames(C._token_encrypt, {"id": 7}, KEY, None, None)[1] == 0
    change(monkeypatch)
    settle(lambda: C._token_decrypt(expired, KEY, None), lambda: C._token_encrypt({"id": 7}, KEY, None, None))
    result, frames = library_frames(C._token_decrypt, expired, KEY, None)
    assert result == reference_decrypt(expired, KEY, None) and (frames > 0) == verifying
    token, frames = library_frames(C._token_encrypt, {"id": 7}, KEY, None, None)
    assert outcome(jwt.encode, claims_of(token), KEY, "HS256")[1] == token and (frames > 0) == issuing


@pytest.fixture
def busy_switching():
    """Threads switched as often as the interpreter lets them: races show."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


class Ahead(datetime.datetime):
    """A clock PyJWT would read ten seconds ahead: no token here changes its
    outcome by that, but the path must step aside while it is in place."""

    @classmethod
    def now(cls, tz=None):
        return datetime.datetime.now(tz) + datetime.timedelta(seconds=10)


def race(calls_per_thread):
    """Four threads verify valid and expired tokens long enough to be signed
    without the GIL, while a fifth moves time.time far ahead and far back,
    puts a stand-in for PyJWT's datetime in place, and issues tokens."""
    big = {"text": "x" * 3000}
    valid, expired = C._token_encrypt(big, KEY, 3600, None), C._token_encrypt(big, KEY, -100, None)
    assert len(valid) > 4000
    for _ in range(6):
        assert (C._token_decrypt(valid, KEY, None), C._token_decrypt(expired, KEY, None)) == (big, EXPIRED)
    wrong, issued, done = [], [], threading.Event()

    def verify(n):
        for i in range(n):
            token, expected = (valid, big) if i % 2 else (expired, EXPIRED)
            result = C._token_decrypt(token, KEY, None)
            if result != expected:
                wrong.append(result if isinstance(result, str) else "data")

    def meddle():
        while not done.is_set():
            for fake in (4e9, 1e9):
                with mock.patch("time.time", lambda: fake):
                    issued.append((claims_of(C._token_encrypt("v", KEY, 60, None))["iat"], int(fake)))
                with mock.patch.object(jwt.api_jwt, "datetime", Ahead):
                    C._token_encrypt("v", KEY, None, None)

    threads = [threading.Thread(target=verify, args=(calls_per_thread,)) for _ in range(4)]
    meddler = threading.Thread(target=meddle)
    for t in threads + [meddler]:
        t.start()
    for t in threads:
        t.join()
    done.set()
    meddler.join()
    assert wrong == [] and issued and all(iat == fake for iat, fake in issued)


def test_a_clock_changed_meanwhile_changes_no_result(busy_switching):
    race(5_000)


@pytest.mark.slow
def test_a_clock_changed_meanwhile_changes_no_result_in_many_calls(busy_switching):
    race(50_000)


@pytest.mark.parametrize("lifetime", [1, 60])
def test_expiry_is_judged_on_the_librarys_clock_reading(lifetime):
    """exp = E, read 100 ns before E and at E: as the installed PyJWT reads
    datetime.now(tz=timezone.utc).timestamp() there, not time.time()."""
    time_machine = pytest.importorskip("time_machine")
    test_paths_are_enabled_for_plain_calls()
    whole = int(time.time()) + 5
    with time_machine.travel(whole - lifetime, tick=False):
        token = C._token_encrypt({"id": 7}, KEY, lifetime, None)
    assert claims_of(token)["exp"] == whole
    seen = []
    with time_machine.travel(whole, tick=False) as traveller:
        traveller.shift(-1e-7)
        for _ in range(2):
            theirs = reference_decrypt(token, KEY, None)
            ours, frames = library_frames(C._token_decrypt, token, KEY, None)
            assert exact(ours, theirs) and frames == 0
            seen.append(theirs)
            traveller.shift(1e-7)
    # at E expired; before it, whatever PyJWT reads there (older time-machine
    # releases make datetime.now from a float reading, which rounds to E)
    assert seen[1] == EXPIRED


STAND_INS = {
    "default decoder": """
        import decimal, json
        json._default_decoder = json.JSONDecoder(parse_float=decimal.Decimal)
        data, counted = {"price": 1.5}, None""",
    "compare_digest": """
        import hmac
        data, counted = "v", Counting(hmac.compare_digest)
        hmac.compare_digest = counted""",
    "instance's _validate_claims": """
        obj = jwt.api_jwt._jwt_global_obj
        data, counted = "v", Counting(obj._validate_claims)
        obj._validate_claims = counted""",
    "class's _verify_signature": """
        import functools
        real = jwt.api_jws.PyJWS._verify_signature
        data, counted = "v", Counting(real)
        jwt.api_jws.PyJWS._verify_signature = functools.wraps(real)(lambda *a, **k: counted(*a, **k))""",
}


@pytest.mark.parametrize("stand_in", sorted(STAND_INS))
def test_stand_ins_in_place_before_the_first_call_are_the_librarys_to_call(stand_in):
    code = """if 1:
        import jwt, crypt_main
        class Counting:
            def __init__(self, real):
                self.real, self.calls = real, 0
            def __call__(self, *args, **kwargs):
                self.calls += 1
                return self.real(*args, **kwargs)
        %s
        C = crypt_main.TarvikCryptMain
        # plain tokens first, which the branch could be enabled on
        tokens = [jwt.encode({"data": d, "iat": 1, "iss": "tarvik"}, "k" * 32, algorithm="HS256")
                  for d in ["v"] * 5 + [data] * 5]
        ours = [C._token_decrypt(token, "k" * 32, None) for token in tokens]
        counts = [counted.calls if counted else 0]
        theirs = [jwt.decode(token, "k" * 32, issuer="tarvik", algorithms=["HS256"]).get("data") for token in tokens]
        counts.append(counted.calls - counts[0] if counted else 0)
        print(repr(ours) == repr(theirs), counts[0] == counts[1])
    """ % STAND_INS[stand_in]
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.split() == ["True", "True"]
