// HS256 tokens computed here: the JSON, Base64url and HMAC-SHA256 that
// jwt.encode and jwt.decode run, for the calls that the guards let through,
// with the token, the claims and the result strings that the library gives.
// Anything the guards, the arguments or the token leave in doubt runs the
// generic path.
#include "tokens/tokens.h"

#include "common/text.h"
#include "tokens/base64url.h"
#include "tokens/json.h"
#include "tokens/key_screen.h"
#include "tokens/output.h"
#include "tokens/sha256.h"
#include "tokens/token_guards.h"

#include <cstring>
#include <utility>

namespace cm {

namespace {

using token_guards::Issue;
using token_guards::Verify;

// A branch's first results are compared with the generic path's, which
// reads the clock again a moment later: during those, a reading close to
// the next second is left to the generic path, so that the two agree.
constexpr int kCompared = 4;

bool clock_settled(int results, double seconds) {
    return results >= kCompared || seconds - (double)(long long)seconds < 0.95;
}

// Claims compared with a clock reading as Python compares an int with a
// float, exactly: for the ints a double holds exactly.
bool exact_in_double(long long v) {
    return v > -(1LL << 53) && v < (1LL << 53);
}

// The header that issuing makes, always the same.
const char kHeader[] = "eyJhbGciOiJIUzI1NiIsInR5cCI6IkpXVCJ9";  // {"alg":"HS256","typ":"JWT"}
constexpr size_t kHeaderSize = sizeof kHeader - 1;
constexpr size_t kSignatureText = base64url::encoded_size(sha256::kDigest);

Name bad_signature("系统异常：Signature verification failed");

// issuer if issuer else "tarvik", for None, False and exact str; null for
// anything else.
PyObject* plain_issuer(PyObject* issuer) {
    if (issuer == Py_None || issuer == Py_False)
        return names::tarvik.get();
    if (!PyUnicode_CheckExact(issuer))
        return nullptr;
    return PyUnicode_GET_LENGTH(issuer) ? issuer : names::tarvik.get();
}

Ref ascii_text(const char* data, size_t size) {
    Ref text(PyUnicode_New((Py_ssize_t)size, 127));
    if (text)
        std::memcpy(PyUnicode_1BYTE_DATA(text.get()), data, size);
    return text;
}

bool put_b64url(Output& out, const uint8_t* in, size_t n) {
    size_t k = base64url::encoded_size(n);
    if (!out.reserve(k))
        return false;
    base64url::encode(in, n, out.tail());
    out.advance(k);
    return true;
}

bool get_b64url(Output& out, const char* in, size_t n) {
    size_t k;
    if (!out.reserve(base64url::decoded_bound(n)) ||
        !base64url::decode(in, n, reinterpret_cast<uint8_t*>(out.tail()), k))
        return false;
    out.advance(k);
    return true;
}

// HMAC-SHA256(key, message), without the GIL for a long message as hashlib
// hashes one: the key and the message are immutable objects the call holds,
// or buffers of its own. Whether the GIL was let go.
bool sign(const Utf8& secret, const uint8_t* message, size_t size, uint8_t mac[sha256::kDigest]) {
    without_gil(size, [&] {
        sha256::hmac(secret.data(), secret.size(), message, size, nullptr, 0, mac);
        return 0;
    });
    return size >= kGilThreshold;
}

int g_issued = 0;
int g_verified[3] = {};

// The clock readings of the call being issued, made by its choice (below).
struct Readings {
    double first = 0, second = 0;
    Args args = nullptr;
};
Readings g_readings;

// a: data, key, exp_time, issuer. Issuing has one branch. The clock is
// read here, before the guards are checked: a time-travel tool may make it
// run code, which the guards then cover.
int choose_issue(const Call& c, Args a) {
    PyObject* exp_time = a[2];
    long long lifetime;
    bool expires = exp_time != Py_None;
    double first, second = 0;
    g_readings.args = nullptr;
    bool ok = plain_issuer(a[3]) &&
              (!expires || ((PyLong_CheckExact(exp_time) || PyBool_Check(exp_time)) &&
                            json::as_long(exp_time, lifetime) && lifetime <= (1LL << 52) &&
                            lifetime >= -(1LL << 52))) &&
              plain_secret(a[1]) && token_guards::issue_clock(c, first) &&
              (!expires || token_guards::issue_clock(c, second)) && token_guards::hold(c, Issue);
    PyErr_Clear();
    if (!ok)
        return -1;
    // (kept only now: a clock that ran code may have let another call in)
    g_readings = {first, second, a};
    return 0;
}

Ref issue(int, const Call&, Args a) {
    PyObject* exp_time = a[2];
    PyObject* issuer = plain_issuer(a[3]);
    long long lifetime = 0;
    bool expires = exp_time != Py_None;
    Utf8 secret;
    if (g_readings.args != a || !issuer || (expires && !json::as_long(exp_time, lifetime)) ||
        !plain_secret(a[1], secret))
        return {};
    g_readings.args = nullptr;

    // token_dict = {"data": data, "iat": int(time.time()), "iss": issuer[, "exp": int(time.time()) + exp_time]}
    double first = g_readings.first, second = g_readings.second;
    if (g_issued < kCompared &&
        (!clock_settled(g_issued, first) || (expires && (long long)second != (long long)first)))
        return {};
    Output payload;
    if (!payload.put("{\"data\":") || !json::put_value(payload, a[0]) || !payload.put(",\"iat\":") ||
        !json::put_long(payload, (long long)first) || !payload.put(",\"iss\":") ||
        !json::put_string(payload, issuer) ||
        (expires && (!payload.put(",\"exp\":") || !json::put_long(payload, (long long)second + lifetime))) ||
        !payload.put('}'))
        return {};

    // jwt.encode(token_dict, key, algorithm="HS256")
    Output token;
    if (!token.put(kHeader, kHeaderSize) || !token.put('.') || !put_b64url(token, payload.bytes(), payload.size()))
        return {};
    uint8_t mac[sha256::kDigest];
    sign(secret, token.bytes(), token.size(), mac);
    if (!token.put('.') || !put_b64url(token, mac, sizeof mac))
        return {};
    Ref result = ascii_text(token.data(), token.size());
    if (result)
        g_issued++;
    return result;
}

// Verifying: its branches are its outcomes (0 the data, 1 expired, 2 a
// signature that does not match), known only once the token is checked, so
// the choice does that work and keeps the result for the run that follows.
struct Verified {
    PyObject* result = nullptr;  // owned; no destructor, kept past the process's end
    Args args = nullptr;
};
Verified g_verified_result;

// a: token, key, issuer
Ref verify(const Call& c, Args a, int& branch) {
    // the entry points first (all the guards after the clock, below): a
    // call that the generic path will make anyway wastes no parsing
    PyObject* issuer = plain_issuer(a[2]);
    if (!issuer || !token_guards::entry_holds(c, Verify))
        return {};
    const char* text;
    Py_ssize_t length;
    if (PyBytes_CheckExact(a[0])) {
        text = PyBytes_AS_STRING(a[0]);
        length = PyBytes_GET_SIZE(a[0]);
    } else if (!(text = ascii_chars(a[0], length))) {
        return {};
    }
    // header "." payload "." signature, the header the one that issuing makes
    size_t size = (size_t)length, signature_at = size;
    while (signature_at > 0 && text[signature_at - 1] != '.')
        signature_at--;
    if (signature_at < kHeaderSize + 2 || size - signature_at != kSignatureText ||
        std::memcmp(text, kHeader, kHeaderSize) != 0 || text[kHeaderSize] != '.')
        return {};
    const char* payload = text + kHeaderSize + 1;
    size_t payload_size = signature_at - 1 - (kHeaderSize + 1);
    if (std::memchr(payload, '.', payload_size))
        return {};
    Output signature, claims;
    if (!get_b64url(signature, text + signature_at, kSignatureText) || !get_b64url(claims, payload, payload_size))
        return {};
    // {"data": ..., "iat": ..., "iss": ...[, "exp": ...]}, exactly (read
    // before the signature is checked: any other token is PyJWT's to judge)
    json::Reader r{claims.data(), claims.data() + claims.size()};
    if (!r.take("{\"data\":"))
        return {};
    Ref data = r.value(1);
    long long iat, exp = 0;
    if (!data || !r.take(",\"iat\":") || !json::as_long(r.number().get(), iat) || !r.take(",\"iss\":"))
        return {};
    Ref iss = r.string();
    if (!iss)
        return {};
    bool expires = r.take(",\"exp\":");
    if ((expires && !json::as_long(r.number().get(), exp)) || !r.take("}") || r.p != r.end ||
        !exact_in_double(iat) || !exact_in_double(exp))
        return {};

    // The clock PyJWT's claims check reads, through the names it reads: first,
    // since a time-travel tool may make it run code, which the guards then
    // cover; and before the GIL is let go, after which nothing the guards
    // vouch for is used without checking them again. (PyJWT reads it after
    // the signature: a moment's difference, and a reading of no effect.)
    Utf8 secret;
    double now;
    if (!plain_secret(a[1], secret) || !token_guards::verify_clock(now) || !token_guards::hold(c, Verify))
        return {};

    // the signature, compared in constant time
    uint8_t mac[sha256::kDigest];
    bool let_go = sign(secret, reinterpret_cast<const uint8_t*>(text), signature_at - 1, mac);
    if (let_go && !token_guards::hold(c, Verify))
        return {};
    unsigned diff = 0;
    for (size_t i = 0; i < sizeof mac; i++)
        diff |= mac[i] ^ signature.bytes()[i];
    if (diff) {
        branch = 2;
        return Ref::hold(bad_signature.get());
    }

    // PyJWT: iat > now + leeway is not yet valid, exp <= now - leeway has
    // expired; the leeway is 0
    if ((double)iat > now)
        return {};
    if (expires && (double)exp <= now) {
        branch = 1;
        return Ref::hold(names::expired.get());
    }
    if (expires && g_verified[0] < kCompared && (double)exp - now <= 2)
        return {};
    if (PyUnicode_Compare(iss.get(), issuer) != 0)
        return {};
    branch = 0;
    return data;
}

int choose_verify(const Call& c, Args a) {
    int branch = -1;
    Ref result = verify(c, a, branch);
    PyErr_Clear();
    g_verified_result.args = result ? a : nullptr;
    Ref previous(std::exchange(g_verified_result.result, result.release()));
    return g_verified_result.args ? branch : -1;
}

Ref take_verified(int branch, const Call&, Args a) {
    if (g_verified_result.args != a)
        return {};
    g_verified_result.args = nullptr;
    Ref result(std::exchange(g_verified_result.result, nullptr));
    if (result)
        g_verified[branch]++;
    return result;
}

// The data of a token, and the generic path's, are the same value: of the
// same exact types all the way down, dict items in the same order.
bool same_value(PyObject* a, PyObject* b, int depth) {
    if (Py_TYPE(a) != Py_TYPE(b) || depth > json::kDeepest + 1)
        return false;
    if (a == Py_None || PyBool_Check(a))
        return a == b;
    if (PyFloat_CheckExact(a)) {
        double x = PyFloat_AS_DOUBLE(a), y = PyFloat_AS_DOUBLE(b);
        return std::memcmp(&x, &y, sizeof x) == 0;
    }
    if (PyList_CheckExact(a)) {
        if (PyList_GET_SIZE(a) != PyList_GET_SIZE(b))
            return false;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(a); i++)
            if (!same_value(PyList_GET_ITEM(a, i), PyList_GET_ITEM(b, i), depth + 1))
                return false;
        return true;
    }
    if (PyDict_CheckExact(a)) {
        if (PyDict_Size(a) != PyDict_Size(b))
            return false;
        Py_ssize_t i = 0, j = 0;
        PyObject *ka, *va, *kb, *vb;
        while (PyDict_Next(a, &i, &ka, &va))
            if (!PyDict_Next(b, &j, &kb, &vb) || !same_value(ka, kb, depth + 1) || !same_value(va, vb, depth + 1))
                return false;
        return true;
    }
    if (!PyUnicode_CheckExact(a) && !PyLong_CheckExact(a))
        return false;
    int equal = PyObject_RichCompareBool(a, b, Py_EQ);
    PyErr_Clear();
    return equal == 1;
}

bool same_data(PyObject* specialised, PyObject* generic) { return same_value(specialised, generic, 0); }

}  // namespace

const SpecialisedPath token_encrypt_path =
    specialised_path<1>(choose_issue, issue, nullptr, nullptr, token_guards::extra);
const SpecialisedPath token_decrypt_path =
    specialised_path<3>(choose_verify, take_verified, nullptr, same_data, token_guards::extra);

}  // namespace cm
