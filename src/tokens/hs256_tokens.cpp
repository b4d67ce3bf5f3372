// HS256 tokens carrying a caller's value, an issuer and an optional
// lifetime, issued and verified through the jwt package.
#include "tokens/tokens.h"

#include "common/call.h"
#include "common/truth.h"

namespace cm {

namespace {
const Name kEncode("encode");
const Name kDecode("decode");
const Name kExceptions("exceptions");
const Name kExpiredSignatureError("ExpiredSignatureError");
const Name kTime("time");  // the function time.time
const Name kGet("get");
const Name kData("data");
const Name kIat("iat");
const Name kIss("iss");
const Name kExp("exp");
const Name kHs256("HS256");
const Name kTarvik("tarvik");
const Name kEmpty("");
const Name kExpired("token已过期");
const Name kSystemError("系统异常：");
const KwNames kAlgorithm({"algorithm"});
const KwNames kIssuerAlgorithms({"issuer", "algorithms"});

// issuer if issuer else "tarvik"
Ref effective_issuer(PyObject* issuer) {
    int given = truth(issuer);
    if (given < 0)
        return {};
    return Ref::borrow(given ? issuer : kTarvik.get());
}

// int(time.time())
Ref now() {
    Ref clock = global_attr(globals::time, kTime);
    if (!clock)
        return {};
    Ref seconds = call(clock.get());
    if (!seconds)
        return {};
    return Ref(PyNumber_Long(seconds.get()));
}

// token_dict.get("data")
Ref get_data(PyObject* token_dict) {
    if (!PyDict_CheckExact(token_dict))
        return call_method(token_dict, kGet, kData.get());
    PyObject* data = PyDict_GetItemWithError(token_dict, kData.get());
    if (!data && PyErr_Occurred())
        return {};
    return Ref::borrow(data ? data : Py_None);
}

// An error raised while a caught one is being handled replaces it and keeps
// it as its __context__, as an `except` clause that raises does.
void chain(compat::SavedError& caught) {
    compat::SavedError raised;
    PyObject* exc = raised.exception();
    PyObject* handled = caught.exception();
    if (exc && handled && exc != handled) {
        Ref context(PyException_GetContext(exc));
        if (!context)
            PyException_SetContext(exc, Ref::borrow(handled).release());
    }
    raised.restore();
}

// jwt.exceptions.ExpiredSignatureError
Ref expired_signature_error() {
    Ref exceptions = global_attr(globals::jwt, kExceptions);
    if (!exceptions)
        return {};
    return attr(exceptions.get(), kExpiredSignatureError);
}

// The try block of _token_decrypt: the verified "data" claim.
Ref verified_data(Frame& f, PyObject* token, PyObject* key, PyObject* issuer) {
    // token_dict = jwt.decode(token, key, issuer=issuer, algorithms=["HS256"])
    f.line = 239;
    Ref decode = global_attr(globals::jwt, kDecode);
    if (!decode)
        return {};
    Ref algorithms(PyList_New(1));
    if (!algorithms)
        return {};
    PyList_SET_ITEM(algorithms.get(), 0, Ref::borrow(kHs256.get()).release());
    Ref token_dict = call_kw(decode.get(), kIssuerAlgorithms, token, key, issuer, algorithms);
    if (!token_dict)
        return {};
    // return token_dict.get("data")
    f.line = 240;
    return get_data(token_dict.get());
}

// The except clauses of _token_decrypt, for the error pending from its try
// block: expiry and every other Exception become result strings, anything
// else goes on to the caller.
Ref classify(Frame& f) {
    int raised_at = f.line;
    compat::SavedError caught;

    // except jwt.exceptions.ExpiredSignatureError: return "token已过期"
    f.line = 241;
    Ref expired = expired_signature_error();
    if (!expired) {
        chain(caught);
        return {};
    }
    PyObject* e = caught.exception();
    if (PyErr_GivenExceptionMatches(e, expired.get()))
        return Ref::borrow(kExpired.get());

    // except Exception as e: return "系统异常：" + format(e, "")
    f.line = 243;
    if (!PyErr_GivenExceptionMatches(e, PyExc_Exception)) {
        f.line = raised_at;
        caught.restore();
        return {};
    }
    f.line = 244;
    Ref message(PyObject_Format(e, kEmpty.get()));
    if (!message) {
        chain(caught);
        return {};
    }
    Ref result(PyUnicode_Concat(kSystemError.get(), message.get()));
    if (!result)
        chain(caught);
    return result;
}
}  // namespace

// a: data, key, exp_time, issuer
Ref token_encrypt(Frame& f, Args a) {
    PyObject* data = a[0];
    PyObject* key = a[1];
    PyObject* exp_time = a[2];

    // issuer = issuer if issuer else "tarvik"
    f.line = 228;
    Ref issuer = effective_issuer(a[3]);
    if (!issuer)
        return {};

    // token_dict = {"data": data, "iat": int(time.time()), "iss": issuer}
    f.line = 229;
    Ref iat = now();
    if (!iat)
        return {};
    Ref token_dict(PyDict_New());
    if (!token_dict || PyDict_SetItem(token_dict.get(), kData.get(), data) < 0 ||
        PyDict_SetItem(token_dict.get(), kIat.get(), iat.get()) < 0 ||
        PyDict_SetItem(token_dict.get(), kIss.get(), issuer.get()) < 0)
        return {};

    // if isinstance(exp_time, int):
    f.line = 230;
    int lifetime = PyObject_IsInstance(exp_time, (PyObject*)&PyLong_Type);
    if (lifetime < 0)
        return {};
    if (lifetime) {
        // token_dict["exp"] = int(time.time()) + exp_time
        f.line = 231;
        Ref start = now();
        if (!start)
            return {};
        Ref exp(PyNumber_Add(start.get(), exp_time));
        if (!exp || PyDict_SetItem(token_dict.get(), kExp.get(), exp.get()) < 0)
            return {};
    } else if (exp_time != Py_None) {
        // elif exp_time is not None: raise TypeError(...)
        // A float or a string must not quietly give a token that never expires.
        f.line = 233;
        PyErr_Format(PyExc_TypeError, "exp_time must be an int number of seconds or None, not %.200s",
                     Py_TYPE(exp_time)->tp_name);
        return {};
    }

    // result = jwt.encode(token_dict, key, algorithm="HS256")
    f.line = 234;
    Ref encode = global_attr(globals::jwt, kEncode);
    if (!encode)
        return {};
    return call_kw(encode.get(), kAlgorithm, token_dict, key, kHs256.get());
}

// a: token, key, issuer
Ref token_decrypt(Frame& f, Args a) {
    PyObject* token = a[0];
    PyObject* key = a[1];

    // issuer = issuer if issuer else "tarvik"
    f.line = 237;
    Ref issuer = effective_issuer(a[2]);
    if (!issuer)
        return {};

    // try: ... except: ...
    Ref data = verified_data(f, token, key, issuer.get());
    if (data)
        return data;
    return classify(f);
}

}  // namespace cm
