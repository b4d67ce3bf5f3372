// HS256 tokens carrying a caller's value, an issuer and an optional
// lifetime, issued and verified through the jwt package.
#include "tokens/tokens.h"

#include "common/call.h"
#include "common/truth.h"

namespace cm {

namespace {

// issuer if issuer else "tarvik"
Ref effective_issuer(PyObject* issuer) {
    int given = truth(issuer);
    if (given < 0)
        return {};
    return Ref::hold(given ? issuer : names::tarvik.get());
}

// int(time.time())
Ref now(const Call& c) {
    Ref clock = global_attr(c, names::time, names::time);
    if (!clock)
        return {};
    Ref seconds = call(clock);
    if (!seconds)
        return {};
    return Ref(PyNumber_Long(seconds.get()));
}

// token_dict.get("data")
Ref get_data(PyObject* token_dict) {
    if (!PyDict_CheckExact(token_dict))
        return call_method(token_dict, names::get, names::data.get());
    PyObject* data = PyDict_GetItemWithError(token_dict, names::data.get());
    if (!data && PyErr_Occurred())
        return {};
    return Ref::hold(data ? data : Py_None);
}

// An error raised while a caught one is being handled replaces it and keeps
// it as its __context__, as an `except` clause that raises does.
void chain(const Ref& caught) {
    Ref raised(PyErr_GetRaisedException());
    if (raised && caught && raised.get() != caught.get()) {
        Ref context(PyException_GetContext(raised.get()));
        if (!context)
            PyException_SetContext(raised.get(), Ref::hold(caught.borrowed()).release());
    }
    PyErr_SetRaisedException(raised.release());
}

// jwt.exceptions.ExpiredSignatureError
Ref expired_signature_error(const Call& c) {
    Ref exceptions = global_attr(c, names::jwt, names::exceptions);
    if (!exceptions)
        return {};
    return attr(exceptions, names::ExpiredSignatureError);
}

// The try block of _token_decrypt: the verified "data" claim.
Ref verified_data(Call& c, PyObject* token, PyObject* key, PyObject* issuer) {
    // token_dict = jwt.decode(token, key, issuer=issuer, algorithms=["HS256"])
    c.at(3);
    Ref decode = global_attr(c, names::jwt, names::decode);
    if (!decode)
        return {};
    Ref algorithms(PyList_New(1));
    if (!algorithms)
        return {};
    PyList_SET_ITEM(algorithms.get(), 0, Ref::hold(names::HS256.get()).release());
    Ref token_dict = call_kw(decode, names::kw_issuer_algorithms, token, key, issuer, algorithms);
    if (!token_dict)
        return {};
    // return token_dict.get("data")
    c.at(4);
    return get_data(token_dict.get());
}

// The except clauses of _token_decrypt, for the error pending from its try
// block: expiry and every other Exception become result strings, anything
// else goes on to the caller.
Ref classify(Call& c) {
    int raised_at = c.line;
    Ref caught(PyErr_GetRaisedException());

    // except jwt.exceptions.ExpiredSignatureError: return "token已过期"
    c.at(5);
    Ref expired = expired_signature_error(c);
    if (!expired) {
        chain(caught);
        return {};
    }
    PyObject* e = caught.get();
    if (PyErr_GivenExceptionMatches(e, expired.get()))
        return Ref::hold(names::expired.get());

    // except Exception as e: return "系统异常：" + format(e, "")
    c.at(7);
    if (!PyErr_GivenExceptionMatches(e, PyExc_Exception)) {
        c.line = raised_at;
        PyErr_SetRaisedException(caught.release());
        return {};
    }
    c.at(8);
    Ref message(PyObject_Format(e, names::empty.get()));
    if (!message) {
        chain(caught);
        return {};
    }
    Ref result(PyUnicode_Concat(names::system_error.get(), message.get()));
    if (!result)
        chain(caught);
    return result;
}
}  // namespace

// a: data, key, exp_time, issuer
Ref token_encrypt(Call& c, Args a) {
    PyObject* data = a[0];
    PyObject* key = a[1];
    PyObject* exp_time = a[2];

    // issuer = issuer if issuer else "tarvik"
    c.at(1);
    Ref issuer = effective_issuer(a[3]);
    if (!issuer)
        return {};

    // token_dict = {"data": data, "iat": int(time.time()), "iss": issuer}
    c.at(2);
    Ref iat = now(c);
    if (!iat)
        return {};
    Ref token_dict(PyDict_New());
    if (!token_dict || PyDict_SetItem(token_dict.get(), names::data.get(), data) < 0 ||
        PyDict_SetItem(token_dict.get(), names::iat.get(), iat.get()) < 0 ||
        PyDict_SetItem(token_dict.get(), names::iss.get(), issuer.get()) < 0)
        return {};

    // if isinstance(exp_time, int):
    c.at(3);
    int lifetime = PyObject_IsInstance(exp_time, (PyObject*)&PyLong_Type);
    if (lifetime < 0)
        return {};
    if (lifetime) {
        // token_dict["exp"] = int(time.time()) + exp_time
        c.at(4);
        Ref start = now(c);
        if (!start)
            return {};
        Ref exp(PyNumber_Add(start.get(), exp_time));
        if (!exp || PyDict_SetItem(token_dict.get(), names::exp.get(), exp.get()) < 0)
            return {};
    } else if (exp_time != Py_None) {
        // elif exp_time is not None: raise TypeError(...)
        // A float or a string must not quietly give a token that never expires.
        c.at(6);
        PyErr_Format(PyExc_TypeError, "exp_time must be an int number of seconds or None, not %.200s",
                     Py_TYPE(exp_time)->tp_name);
        return {};
    }

    // result = jwt.encode(token_dict, key, algorithm="HS256")
    c.at(7);
    Ref encode = global_attr(c, names::jwt, names::encode);
    if (!encode)
        return {};
    return call_kw(encode, names::kw_algorithm, token_dict, key, names::HS256.get());
}

// a: token, key, issuer
Ref token_decrypt(Call& c, Args a) {
    PyObject* token = a[0];
    PyObject* key = a[1];

    // issuer = issuer if issuer else "tarvik"
    c.at(1);
    Ref issuer = effective_issuer(a[2]);
    if (!issuer)
        return {};

    // try: ... except: ...
    Ref data = verified_data(c, token, key, issuer.get());
    if (data)
        return data;
    return classify(c);
}

}  // namespace cm
