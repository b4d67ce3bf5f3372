#include "tokens/token_guards.h"

#include "common/call.h"
#include "common/guard.h"
#include "tokens/tokens.h"

#include <datetime.h>

#include <cmath>
#include <cstring>

namespace cm {
namespace token_guards {

namespace {

// int(time.time()) and jwt.encode in _token_encrypt, through the method's
// globals (jwt.encode itself is an entry of the jwt package's dict, below)
constexpr size_t kTimeFunction = 2;
const Step kIssue[] = {
    step::global_module("jwt", "jwt"),
    step::global_module("time", "time"),
    step::builtin("time", "time", "time", "time"),  // kTimeFunction
};
// jwt.decode and jwt.exceptions in _token_decrypt
const Step kVerify[] = {
    step::global_module("jwt", "jwt"),
};

Guard g_issue(kIssue), g_verify(kVerify);

// The releases whose results were compared with the paths'.
const char kReleases[] = "2.8.0|2.9.0|2.10.0|2.10.1|2.11.0|2.12.0|2.12.1|2.13.0|2.14.0|2.15.0|2.15.1";

// Whether the str `obj` is one of "a|b|...".
bool text_in(PyObject* obj, const char* texts) {
    if (!obj || !PyUnicode_CheckExact(obj))
        return false;
    for (const char* p = texts; *p;) {
        size_t n = std::strcspn(p, "|");
        Ref name(PyUnicode_FromStringAndSize(p, (Py_ssize_t)n));
        if (!name) {
            PyErr_Clear();
            return false;
        }
        if (PyUnicode_Compare(obj, name.get()) == 0)
            return true;
        p += n + (p[n] == '|');
    }
    return false;
}

// dict[key], borrowed; null where absent or `dict` is none.
PyObject* item(PyObject* dict, const char* key) {
    if (!dict || !PyDict_CheckExact(dict))
        return nullptr;
    PyObject* value = PyDict_GetItemString(dict, key);
    return value;
}

PyObject* module_dict(const char* name) {
    PyObject* module = item(PyImport_GetModuleDict(), name);
    return module && PyModule_CheckExact(module) ? PyModule_GetDict(module) : nullptr;
}

// The own attributes of an instance of exactly the class `name` of the
// module whose dict is `module`, when they are some of `own` ("a|b|..."):
// nothing set in place of the class's methods.
Ref instance_dict(PyObject* obj, PyObject* module, const char* name, const char* own) {
    PyObject* type = item(module, name);
    if (!obj || !type || (PyObject*)Py_TYPE(obj) != type)
        return {};
    Ref dict(PyObject_GenericGetDict(obj, nullptr));
    if (!dict || !PyDict_CheckExact(dict.get())) {
        PyErr_Clear();
        return {};
    }
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict.get(), &pos, &key, &value))
        if (!text_in(key, own))
            return {};
    return dict;
}

// PyJWT's options as its classes set them: every check on that we compute
// or that finds nothing to check in our claims, no claim required.
bool default_options(PyObject* options, const char* const* on, size_t count) {
    for (size_t i = 0; i < count; i++)
        if (item(options, on[i]) != Py_True)
            return false;
    for (const char* later : {"verify_sub", "verify_jti"}) {  // the releases that have them
        PyObject* value = item(options, later);
        if (value && value != Py_True)
            return false;
    }
    PyObject* strict = item(options, "strict_aud");
    PyObject* require = item(options, "require");
    return (!strict || strict == Py_False) &&
           (!require || (PyList_CheckExact(require) && PyList_GET_SIZE(require) == 0));
}

// JSONDecoder() as json makes its module's default, the one json.loads
// uses: no hooks, the builtin number types, strict, and the compiled
// scanner, which copied those when it was made and reads nothing else.
bool made_by_json(PyObject* decoder_dict) {
    auto member_is = [](PyObject* obj, const char* name, PyObject* expected) {
        Ref value(PyObject_GetAttrString(obj, name));
        PyErr_Clear();
        return value.get() == expected;
    };
    // array_hook: from 3.15, absent before
    auto no_array_hook = [](PyObject* scanner_or_null, PyObject* decoder) {
        PyObject* hook = item(decoder, "array_hook");
        if (hook && hook != Py_None)
            return false;
        Ref member(scanner_or_null ? PyObject_GetAttrString(scanner_or_null, "array_hook") : nullptr);
        PyErr_Clear();
        return !member || member.get() == Py_None;
    };
    PyObject* floats = (PyObject*)&PyFloat_Type;
    PyObject* ints = (PyObject*)&PyLong_Type;
    PyObject* scanner = item(decoder_dict, "scan_once");
    PyObject* scanner_type = item(module_dict("_json"), "make_scanner");
    return item(decoder_dict, "object_hook") == Py_None && item(decoder_dict, "object_pairs_hook") == Py_None &&
           item(decoder_dict, "parse_float") == floats && item(decoder_dict, "parse_int") == ints &&
           item(decoder_dict, "strict") == Py_True && scanner && scanner_type &&
           (PyObject*)Py_TYPE(scanner) == scanner_type && member_is(scanner, "object_hook", Py_None) &&
           member_is(scanner, "object_pairs_hook", Py_None) && member_is(scanner, "parse_float", floats) &&
           member_is(scanner, "parse_int", ints) && member_is(scanner, "strict", Py_True) &&
           no_array_hook(scanner, decoder_dict);
}

// The namespaces of an exception class and the library's classes above it:
// what raising and classifying it read.
int add_class(Dependencies& d, PyObject* cls) {
    if (!cls || !PyType_Check(cls))
        return 0;
    Ref order(PyObject_GetAttrString(cls, "__mro__"));
    if (!order || !PyTuple_CheckExact(order.get()))
        return -1;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(order.get()); i++) {
        PyTypeObject* t = (PyTypeObject*)PyTuple_GET_ITEM(order.get(), i);
        if (!(PyType_GetFlags(t) & Py_TPFLAGS_HEAPTYPE))
            continue;
        Ref dict(PyType_GetDict(t));
        if (!dict || d.add(dict.get()) < 0)
            return -1;
    }
    return 1;
}

// An attribute stored on an instance whose attributes the interpreter keeps
// inline (3.13) reaches no dict watcher, though its materialised dict shows
// it: the instance dicts the paths depend on are also compared at each
// call, with copies taken when the last recording found them the library's.
struct Kept {
    PyObject* object = nullptr;  // owned
    PyObject* copy = nullptr;    // owned
};
Kept g_kept[4];
bool g_recorded = false;

int keep(size_t i, PyObject* object, PyObject* dict) {
    Ref copy(PyDict_Copy(dict));
    if (!copy)
        return -1;
    Ref old_object(g_kept[i].object), old_copy(g_kept[i].copy);
    g_kept[i].object = Ref::hold(object).release();
    g_kept[i].copy = copy.release();
    return 0;
}

bool same_attributes(const Kept& k) {
    Ref dict(PyObject_GenericGetDict(k.object, nullptr));
    if (!dict || !PyDict_CheckExact(dict.get()) || PyDict_Size(dict.get()) != PyDict_Size(k.copy)) {
        PyErr_Clear();
        return false;
    }
    Py_ssize_t i = 0, j = 0;
    PyObject *k1, *v1, *k2, *v2;
    while (PyDict_Next(dict.get(), &i, &k1, &v1))
        if (!PyDict_Next(k.copy, &j, &k2, &v2) || k1 != k2 || v1 != v2)
            return false;
    return true;
}

const char* const kJwtOptions[] = {"verify_signature", "verify_exp", "verify_nbf", "verify_iat",
                                   "verify_aud",       "verify_iss"};
const char* const kJwsOptions[] = {"verify_signature"};

}  // namespace

bool entry_holds(const Call& c, Use use) { return use == Issue ? g_issue.holds(c) : g_verify.holds(c); }

bool hold(const Call& c, Use use) {
    if (!entry_holds(c, use))
        return false;
    if (g_recorded)  // (until then the first recording is to come)
        for (const Kept& k : g_kept)
            if (!same_attributes(k))
                return false;
    return true;
}

int extra(int, Dependencies& d) {
    PyObject* jwt = module_dict("jwt");
    PyObject* api_jwt = module_dict("jwt.api_jwt");
    PyObject* api_jws = module_dict("jwt.api_jws");
    PyObject* algorithms = module_dict("jwt.algorithms");
    PyObject* exceptions = module_dict("jwt.exceptions");
    PyObject* json = module_dict("json");
    PyObject* json_decoder = module_dict("json.decoder");
    if (!jwt || !api_jwt || !api_jws || !algorithms || !exceptions || !json || !json_decoder ||
        !text_in(item(jwt, "__version__"), kReleases))
        return 0;
    // the method's entry points (jwt.encode, jwt.decode, jwt.exceptions) and
    // the classes its failures are classified by
    if (d.add(jwt) < 0 || d.add(exceptions) < 0)
        return -1;
    for (const char* name : {"ExpiredSignatureError", "InvalidSignatureError"}) {
        int rc = add_class(d, item(exceptions, name));
        if (rc <= 0)
            return rc;
    }
    // PyJWT's global objects, their options and the HS256 algorithm object
    PyObject* jwt_object = item(api_jwt, "_jwt_global_obj");
    PyObject* jws_object = item(api_jws, "_jws_global_obj");
    Ref jwt_own = instance_dict(jwt_object, api_jwt, "PyJWT", "options|_jws");
    Ref jws_own = instance_dict(jws_object, api_jws, "PyJWS", "_algorithms|_valid_algs|options");
    if (!jwt_own || !jws_own)
        return 0;
    PyObject* jws_of_jwt = item(jwt_own.get(), "_jws");
    PyObject* jwt_options = item(jwt_own.get(), "options");
    PyObject* jws_options = item(jws_own.get(), "options");
    PyObject* registry = item(jws_own.get(), "_algorithms");
    Ref hs256_own = instance_dict(item(registry, "HS256"), algorithms, "HMACAlgorithm", "hash_alg");
    PyObject* hashlib = module_dict("hashlib");
    if ((jws_of_jwt && jws_of_jwt != jws_object) || !PyDict_CheckExact(jwt_options ? jwt_options : Py_None) ||
        !PyDict_CheckExact(jws_options ? jws_options : Py_None) || !hs256_own || !hashlib ||
        item(hs256_own.get(), "hash_alg") != item(hashlib, "sha256") ||
        !default_options(jwt_options, kJwtOptions, sizeof kJwtOptions / sizeof *kJwtOptions) ||
        !default_options(jws_options, kJwsOptions, 1))
        return 0;
    for (PyObject* dict : {jwt_own.get(), jws_own.get(), jwt_options, jws_options, registry, hs256_own.get()})
        if (d.add(dict) < 0)
            return -1;
    if (keep(0, jwt_object, jwt_own.get()) < 0 || keep(1, jws_object, jws_own.get()) < 0 ||
        keep(2, item(registry, "HS256"), hs256_own.get()) < 0)
        return -1;
    // json.loads's decoder, as json made it
    Ref decoder_own =
        instance_dict(item(json, "_default_decoder"), json_decoder, "JSONDecoder",
                      "object_hook|parse_float|parse_int|parse_constant|strict|object_pairs_hook|parse_object|"
                      "parse_array|parse_string|memo|scan_once|array_hook");
    if (!decoder_own || !made_by_json(decoder_own.get()))
        return 0;
    if (d.add(decoder_own.get()) < 0 || keep(3, item(json, "_default_decoder"), decoder_own.get()) < 0)
        return -1;
    g_recorded = true;
    return 1;
}

bool issue_clock(const Call& c, double& seconds) {
    if (!g_issue.holds(c))
        return false;
    Ref t = call(g_issue.object(kTimeFunction));
    if (!t || !PyFloat_CheckExact(t.get())) {
        PyErr_Clear();
        return false;
    }
    seconds = PyFloat_AS_DOUBLE(t.get());
    return seconds >= 0 && seconds < 9.0e15;
}

bool verify_clock(double& seconds) {
    if (!PyDateTimeAPI) {
        PyDateTime_IMPORT;
        if (!PyDateTimeAPI) {
            PyErr_Clear();
            return false;
        }
    }
    // PyJWT's names `datetime` and `timezone`: the interpreter's classes, so
    // nobody's code runs but a clock patched underneath
    PyObject* api_jwt = module_dict("jwt.api_jwt");
    PyObject* utc = PyDateTime_TimeZone_UTC;
    if (item(api_jwt, "datetime") != (PyObject*)PyDateTimeAPI->DateTimeType ||
        item(api_jwt, "timezone") != (PyObject*)Py_TYPE(utc))
        return false;
    Ref now = attr(Borrowed((PyObject*)PyDateTimeAPI->DateTimeType), names::now);
    Ref moment = now ? call_kw(now, names::kw_tz, utc) : Ref();
    Ref stamp = moment ? call_method(moment, names::timestamp) : Ref();
    if (!stamp || !PyFloat_CheckExact(stamp.get())) {
        PyErr_Clear();
        return false;
    }
    seconds = PyFloat_AS_DOUBLE(stamp.get());
    return std::isfinite(seconds);
}

}  // namespace token_guards
}  // namespace cm
