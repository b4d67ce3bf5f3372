// The token paths' guards: what jwt.encode and jwt.decode run, for the
// calls the paths take, as tables of the guard layer's steps; what those
// steps cannot express (the library's objects, option dicts, instance
// attributes, json's default decoder, the version) as paths of attributes
// checked here; and the clocks, read through what the guards vouch for.
#include "tokens/token_guards.h"

#include "common/call.h"
#include "common/specialised.h"
#include "tokens/token_objects.h"
#include "tokens/tokens.h"

#include <cmath>
#include <cstring>

namespace cm {
namespace token_guards {

namespace {

// ---------------------------------------------------------------------------
// What the generic path runs, and what each object must be for the results
// here to be the library's: first the steps that the guard layer watches
// (modules, their functions and classes, the classes' own methods, built-in
// functions), one table per module of the library.

// A class that `module` imported from `origin`.
constexpr Step imported_class(const char* module, const char* name, const char* origin) {
    return {From::Module, module, -1, name, Own::Class, origin, name, nullptr, false};
}
// A global that would hide a built-in function: absent, or that function.
constexpr Step no_other(const char* module, const char* name) {
    return step::optional(step::builtin(module, name, "builtins", name));
}

// int(time.time()) in _token_encrypt, through the method's globals
constexpr size_t kTimeFunction = 2;
const Step kIssueClock[] = {
    step::global_module("jwt", "jwt"),
    step::global_module("time", "time"),
    step::builtin("time", "time", "time", "time"),  // kTimeFunction
};
// _token_decrypt's global `jwt` (its clock is PyJWT's: the entries of
// datetime below)
const Step kVerifyGlobals[] = {
    step::global_module("jwt", "jwt"),
};
const Step kBase64[] = {
    step::sys_module("base64"),
    step::function("base64", "b64encode"),
    step::function("base64", "urlsafe_b64encode"),
    step::function("base64", "b64decode"),
    step::function("base64", "urlsafe_b64decode"),
    step::function("base64", "_bytes_from_decode_data"),
    step::module_of("base64", "binascii", "binascii"),
    step::builtin("binascii", "b2a_base64", "binascii", "b2a_base64"),
    step::builtin("binascii", "a2b_base64", "binascii", "a2b_base64"),
};
// hmac.new(key, msg, hashlib.sha256).digest() (step 2 is the class), in
// the forms the interpreters we build for give it (as for HMAC-MD5)
const Step kHmac[] = {
    step::sys_module("hmac"),
    step::function("hmac", "new"),
    step::class_("hmac", "HMAC"),
    step::method(2, "__init__", "hmac", "HMAC.__init__"),
    step::method(2, "digest", "hmac", "HMAC.digest"),
    step::optional(step::method(2, "_HMAC__init", "hmac", "HMAC.__init")),
    step::optional(step::method(2, "_current", "hmac", "HMAC._current")),
    step::optional(step::method(2, "_init_hmac", "hmac", "HMAC._init_hmac|HMAC._init_openssl_hmac")),
    step::optional(step::method(2, "_init_openssl_hmac", "hmac", "HMAC._init_openssl_hmac")),
    step::optional(step::method(2, "_init_old", "hmac", "HMAC._init_old")),
    step::optional(step::method(2, "update", "hmac", "HMAC.update")),
    step::optional(step::module_of("hmac", "_hashopenssl", "_hashlib")),
    step::sys_module("hashlib"),
    step::builtin("hashlib", "sha256", "_hashlib", "openssl_sha256"),
};
// json.dumps with separators (a JSONEncoder, step 4, and its C encoder) and
// json.loads (the default JSONDecoder, step 8)
const Step kJson[] = {
    step::sys_module("json"),
    step::function("json", "dumps"),
    step::function("json", "loads"),
    step::function("json", "detect_encoding"),
    imported_class("json", "JSONEncoder", "json.encoder"),
    step::method(4, "__init__", "json.encoder", "JSONEncoder.__init__"),
    step::method(4, "encode", "json.encoder", "JSONEncoder.encode"),
    step::method(4, "iterencode", "json.encoder", "JSONEncoder.iterencode"),
    imported_class("json", "JSONDecoder", "json.decoder"),
    step::method(8, "decode", "json.decoder", "JSONDecoder.decode"),
    step::method(8, "raw_decode", "json.decoder", "JSONDecoder.raw_decode"),
    step::sys_module("json.encoder"),
    step::builtin("json.encoder", "encode_basestring_ascii", "_json", "encode_basestring_ascii"),
    step::sys_module("json.decoder"),
};
const Step kUtils[] = {
    step::sys_module("jwt.utils"),
    step::module_of("jwt.utils", "base64", "base64"),
    step::function("jwt.utils", "force_bytes"),
    step::function("jwt.utils", "base64url_encode"),
    step::function("jwt.utils", "base64url_decode"),
    step::function("jwt.utils", "is_pem_format"),
    step::function("jwt.utils", "is_ssh_key"),
    no_other("jwt.utils", "isinstance"),
    no_other("jwt.utils", "len"),
};
// the module of the algorithm object of HS256 (whose class, an ABC, is
// watched below)
const Step kAlgorithms[] = {
    step::sys_module("jwt.algorithms"),
    step::module_of("jwt.algorithms", "hmac", "hmac"),
    step::module_of("jwt.algorithms", "json", "json"),
    step::imported("jwt.algorithms", "force_bytes", "jwt.utils"),
    step::imported("jwt.algorithms", "is_pem_format", "jwt.utils"),
    step::imported("jwt.algorithms", "is_ssh_key", "jwt.utils"),
    no_other("jwt.algorithms", "isinstance"),
    no_other("jwt.algorithms", "len"),
};
// PyJWS (step 6) and the module it works in
const Step kJws[] = {
    step::sys_module("jwt.api_jws"),
    step::module_of("jwt.api_jws", "json", "json"),
    step::imported("jwt.api_jws", "base64url_encode", "jwt.utils"),
    step::imported("jwt.api_jws", "base64url_decode", "jwt.utils"),
    step::optional(imported_class("jwt.api_jws", "PyJWK", "jwt.api_jwk")),
    imported_class("jwt.api_jws", "InvalidSignatureError", "jwt.exceptions"),
    step::class_("jwt.api_jws", "PyJWS"),
    step::method(6, "encode", "jwt.api_jws", "PyJWS.encode"),
    step::method(6, "decode_complete", "jwt.api_jws", "PyJWS.decode_complete"),
    step::method(6, "get_algorithm_by_name", "jwt.api_jws", "PyJWS.get_algorithm_by_name"),
    step::method(6, "_load", "jwt.api_jws", "PyJWS._load"),
    step::method(6, "_verify_signature", "jwt.api_jws", "PyJWS._verify_signature"),
    step::method(6, "_validate_headers", "jwt.api_jws", "PyJWS._validate_headers"),
    no_other("jwt.api_jws", "isinstance"),
    no_other("jwt.api_jws", "len"),
    no_other("jwt.api_jws", "any"),
};
// PyJWT (step 4) and the module it works in
const Step kJwt[] = {
    step::sys_module("jwt.api_jwt"),
    step::module_of("jwt.api_jwt", "json", "json"),
    imported_class("jwt.api_jwt", "ExpiredSignatureError", "jwt.exceptions"),
    step::optional(step::module_of("jwt.api_jwt", "api_jws", "jwt.api_jws")),
    step::class_("jwt.api_jwt", "PyJWT"),
    step::method(4, "encode", "jwt.api_jwt", "PyJWT.encode"),
    step::method(4, "_encode_payload", "jwt.api_jwt", "PyJWT._encode_payload"),
    step::method(4, "decode", "jwt.api_jwt", "PyJWT.decode"),
    step::method(4, "decode_complete", "jwt.api_jwt", "PyJWT.decode_complete"),
    step::optional(step::method(4, "_merge_options", "jwt.api_jwt", "PyJWT._merge_options")),
    step::method(4, "_decode_payload", "jwt.api_jwt", "PyJWT._decode_payload"),
    step::method(4, "_validate_claims", "jwt.api_jwt", "PyJWT._validate_claims"),
    step::method(4, "_validate_required_claims", "jwt.api_jwt", "PyJWT._validate_required_claims"),
    step::method(4, "_validate_iat", "jwt.api_jwt", "PyJWT._validate_iat"),
    step::method(4, "_validate_nbf", "jwt.api_jwt", "PyJWT._validate_nbf"),
    step::method(4, "_validate_exp", "jwt.api_jwt", "PyJWT._validate_exp"),
    step::method(4, "_validate_iss", "jwt.api_jwt", "PyJWT._validate_iss"),
    step::method(4, "_validate_aud", "jwt.api_jwt", "PyJWT._validate_aud"),
    step::optional(step::method(4, "_validate_sub", "jwt.api_jwt", "PyJWT._validate_sub")),
    step::optional(step::method(4, "_validate_jti", "jwt.api_jwt", "PyJWT._validate_jti")),
    no_other("jwt.api_jwt", "isinstance"),
    no_other("jwt.api_jwt", "int"),
};
// jwt.exceptions.ExpiredSignatureError, read when a failure is classified
const Step kExceptions[] = {
    step::sys_module("jwt.exceptions"),
    step::module_of("jwt", "exceptions", "jwt.exceptions"),
    step::class_("jwt.exceptions", "ExpiredSignatureError"),
    step::class_("jwt.exceptions", "InvalidSignatureError"),
    step::builtin("builtins", "isinstance", "builtins", "isinstance"),
    step::builtin("builtins", "len", "builtins", "len"),
};

Guard g_issue_clock(kIssueClock), g_verify_globals(kVerifyGlobals), g_base64(kBase64), g_hmac(kHmac), g_json(kJson),
    g_utils(kUtils), g_algorithms(kAlgorithms), g_jws(kJws), g_jwt(kJwt), g_exceptions(kExceptions);

Guard* const kIssueGuards[] = {&g_issue_clock, &g_base64, &g_hmac, &g_json, &g_utils, &g_algorithms, &g_jws, &g_jwt};
Guard* const kVerifyGuards[] = {&g_verify_globals, &g_base64, &g_hmac, &g_json, &g_utils, &g_algorithms, &g_jws,
                                &g_jwt, &g_exceptions};

// Then what those steps do not express (token_objects.h), by path.

// clang-format off
constexpr Watched kWatched[] = {
    // the package, of a version whose results were compared
    {"jwt",                                      Must::Module,   Once, false, "jwt", nullptr},
    {"jwt:__version__",                          Must::Version,  ED, false,
     "2.8.0|2.9.0|2.10.0|2.10.1|2.11.0|2.12.0|2.12.1|2.13.0|2.14.0|2.15.0|2.15.1", nullptr},

    // the interpreter's own
    {"builtins",                                 Must::Module,   Once, false, "builtins", nullptr},
    {"builtins:int",                             Must::Object,   D,  false, "builtins", "int"},
    {"builtins:Exception",                       Must::Object,   D,  false, "builtins", "Exception"},
    {"builtins:Exception.__new__",               Must::Value,    D,  false, nullptr, nullptr},
    {"builtins:Exception.__init__",              Must::Value,    D,  false, nullptr, nullptr},
    {"builtins:Exception.__str__",               Must::Value,    D,  false, nullptr, nullptr},
    {"datetime",                                 Must::Module,   Once, false, "datetime", nullptr},
    {"datetime:datetime",                        Must::Object,   ED, false, "datetime", "datetime"},
    {"datetime:timezone",                        Must::Object,   D,  false, "datetime", "timezone"},
    {"datetime:timezone.utc",                    Must::Of,       D,  false, "datetime:timezone", nullptr},
    {"base64",                                   Must::Module,   Once, false, "base64", nullptr},
    {"base64:_urlsafe_encode_translation",       Must::Value,    E,  true,  nullptr, nullptr},
    {"base64:_urlsafe_decode_translation",       Must::Value,    D,  true,  nullptr, nullptr},
    {"hashlib",                                  Must::Module,   Once, false, "hashlib", nullptr},
    {"hashlib:sha256",                           Must::Value,    Once, false, nullptr, nullptr},
    {"hmac",                                     Must::Module,   Once, false, "hmac", nullptr},
    {"hmac:compare_digest",                      Must::Builtin,  D,  false, "_hashlib|_operator", "compare_digest|_compare_digest"},
    {"hmac:_functype",                           Must::Value,    ED, true,  nullptr, nullptr},
    {"hmac:trans_36",                            Must::Value,    ED, true,  nullptr, nullptr},
    {"hmac:trans_5C",                            Must::Value,    ED, true,  nullptr, nullptr},
    {"json",                                     Must::Module,   Once, false, "json", nullptr},
    {"json.encoder",                             Must::Module,   Once, false, "json.encoder", nullptr},
    {"json.decoder",                             Must::Module,   Once, false, "json.decoder", nullptr},
    {"json.encoder:c_make_encoder",              Must::Value,    E,  false, nullptr, nullptr},
    {"_json",                                    Must::Module,   Once, false, "_json", nullptr},
    {"_json:make_scanner",                       Must::Object,   Once, false, "_json", "Scanner"},
    {"json.scanner",                             Must::Module,   Once, false, "json.scanner", nullptr},
    {"json.scanner:c_make_scanner",              Must::SameAs,   Once, false, "_json:make_scanner", nullptr},
    {"json:_default_decoder",                    Must::Decoder,  ED, false, "json.decoder", "JSONDecoder",
     "object_hook|parse_float|parse_int|parse_constant|strict|object_pairs_hook|parse_object|parse_array|"
     "parse_string|memo|scan_once"},
    {"json:_default_decoder.scan_once",          Must::Value,    ED, false, nullptr, nullptr},
    {"json.decoder:WHITESPACE",                  Must::Value,    ED, false, nullptr, nullptr},

    // the jwt package's objects, constants and inherited attributes
    {"jwt.exceptions",                           Must::Module,   Once, false, "jwt.exceptions", nullptr},
    {"jwt.exceptions:ExpiredSignatureError",     Must::Object,   Once, false, "jwt.exceptions", "ExpiredSignatureError"},
    {"jwt.exceptions:InvalidSignatureError",     Must::Object,   Once, false, "jwt.exceptions", "InvalidSignatureError"},
    {"jwt.exceptions:ExpiredSignatureError.__new__",  Must::SameAs, D, false, "builtins:Exception.__new__", nullptr},
    {"jwt.exceptions:ExpiredSignatureError.__init__", Must::SameAs, D, false, "builtins:Exception.__init__", nullptr},
    {"jwt.exceptions:InvalidSignatureError.__new__",  Must::SameAs, D, false, "builtins:Exception.__new__", nullptr},
    {"jwt.exceptions:InvalidSignatureError.__init__", Must::SameAs, D, false, "builtins:Exception.__init__", nullptr},
    {"jwt.exceptions:InvalidSignatureError.__str__",  Must::SameAs, D, false, "builtins:Exception.__str__", nullptr},
    {"jwt.utils",                                Must::Module,   Once, false, "jwt.utils", nullptr},
    {"jwt.utils:_PEM_RE",                        Must::Value,    ED, true,  nullptr, nullptr},
    {"jwt.utils:_PEM_MARKER_RE",                 Must::Value,    ED, true,  nullptr, nullptr},
    {"jwt.utils:_SSH_KEY_FORMATS",               Must::Value,    ED, true,  nullptr, nullptr},
    {"jwt.utils:_SSH_PUBKEY_RC",                 Must::Value,    ED, true,  nullptr, nullptr},
    {"jwt.utils:_CERT_SUFFIX",                   Must::Value,    ED, true,  nullptr, nullptr},
    {"jwt.algorithms",                           Must::Module,   Once, false, "jwt.algorithms", nullptr},
    {"jwt.algorithms:has_crypto",                Must::Value,    ED, false, nullptr, nullptr},
    {"jwt.algorithms:load_der_public_key",       Must::Value,    ED, true,  nullptr, nullptr},
    {"jwt.algorithms:x509",                      Must::Value,    ED, true,  nullptr, nullptr},
    {"jwt.algorithms:HMACAlgorithm",             Must::Object,   ED, false, "jwt.algorithms", "HMACAlgorithm"},
    {"jwt.algorithms:HMACAlgorithm.prepare_key", Must::Function, ED, false, "jwt.algorithms", "HMACAlgorithm.prepare_key"},
    {"jwt.algorithms:HMACAlgorithm._is_der_key", Must::Function, ED, true,  "jwt.algorithms", "HMACAlgorithm._is_der_key"},
    {"jwt.algorithms:HMACAlgorithm.check_key_length", Must::Function, ED, true, "jwt.algorithms", "HMACAlgorithm.check_key_length"},
    {"jwt.algorithms:HMACAlgorithm.sign",        Must::Function, ED, false, "jwt.algorithms", "HMACAlgorithm.sign"},
    {"jwt.algorithms:HMACAlgorithm.verify",      Must::Function, D,  false, "jwt.algorithms", "HMACAlgorithm.verify"},
    {"jwt.api_jws",                              Must::Module,   Once, false, "jwt.api_jws", nullptr},
    {"jwt.api_jws:_ALGORITHM_UNSET",             Must::Value,    E,  true,  nullptr, nullptr},
    {"jwt.api_jws:_BASE64URL_ALPHABET",          Must::Value,    D,  true,  nullptr, nullptr},
    {"jwt.api_jws:PyJWS",                        Must::Object,   Once, false, "jwt.api_jws", "PyJWS"},
    {"jwt.api_jws:PyJWS.header_typ",             Must::Text,     E,  false, "JWT", nullptr},
    {"jwt.api_jws:PyJWS.encode",                 Must::Function, Once, false, "jwt.api_jws", "PyJWS.encode"},
    {"jwt.api_jws:PyJWS.decode_complete",        Must::Function, Once, false, "jwt.api_jws", "PyJWS.decode_complete"},
    {"jwt.api_jws:PyJWS._decode_base64url_segment", Must::Function, D, true, "jwt.api_jws", "PyJWS._decode_base64url_segment"},
    {"jwt.api_jws:_jws_global_obj",              Must::Instance, ED, false, "jwt.api_jws", "PyJWS", "_algorithms|_valid_algs|options"},
    {"jwt.api_jws:_jws_global_obj._algorithms",  Must::Value,    ED, false, nullptr, nullptr},
    {"jwt.api_jws:_jws_global_obj._algorithms.HS256", Must::Instance, ED, false, "jwt.algorithms", "HMACAlgorithm", "hash_alg"},
    {"jwt.api_jws:_jws_global_obj._algorithms.HS256.hash_alg", Must::SameAs, ED, false, "hashlib:sha256", nullptr},
    {"jwt.api_jws:_jws_global_obj.options",      Must::Value,    ED, false, nullptr, nullptr},
    {"jwt.api_jws:_jws_global_obj.options.verify_signature", Must::True, D, false, nullptr, nullptr},
    {"jwt.api_jws:encode",                       Must::BoundTo,  E,  false, "jwt.api_jws:_jws_global_obj", "jwt.api_jws:PyJWS.encode"},
    {"jwt.api_jws:decode_complete",              Must::BoundTo,  D,  false, "jwt.api_jws:_jws_global_obj", "jwt.api_jws:PyJWS.decode_complete"},
    {"jwt.api_jwt",                              Must::Module,   Once, false, "jwt.api_jwt", nullptr},
    {"jwt.api_jwt:datetime",                     Must::SameAs,   ED, false, "datetime:datetime", nullptr},
    {"jwt.api_jwt:timezone",                     Must::SameAs,   D,  false, "datetime:timezone", nullptr},
    {"jwt.api_jwt:PyJWT",                        Must::Object,   Once, false, "jwt.api_jwt", "PyJWT"},
    {"jwt.api_jwt:PyJWT.encode",                 Must::Function, Once, false, "jwt.api_jwt", "PyJWT.encode"},
    {"jwt.api_jwt:PyJWT.decode",                 Must::Function, Once, false, "jwt.api_jwt", "PyJWT.decode"},
    {"jwt.api_jwt:_jwt_global_obj",              Must::Instance, ED, false, "jwt.api_jwt", "PyJWT", "options|_jws"},
    {"jwt.api_jwt:_jwt_global_obj._jws",         Must::SameAs,   ED, true,  "jwt.api_jws:_jws_global_obj", nullptr},
    {"jwt.api_jwt:_jwt_global_obj.options",      Must::Value,    ED, false, nullptr, nullptr},
    {"jwt.api_jwt:_jwt_global_obj.options.verify_signature", Must::True, D, false, nullptr, nullptr},
    {"jwt.api_jwt:_jwt_global_obj.options.verify_exp", Must::True, D, false, nullptr, nullptr},
    {"jwt.api_jwt:_jwt_global_obj.options.verify_nbf", Must::True, D, false, nullptr, nullptr},
    {"jwt.api_jwt:_jwt_global_obj.options.verify_iat", Must::True, D, false, nullptr, nullptr},
    {"jwt.api_jwt:_jwt_global_obj.options.verify_aud", Must::True, D, false, nullptr, nullptr},
    {"jwt.api_jwt:_jwt_global_obj.options.verify_iss", Must::True, D, false, nullptr, nullptr},
    {"jwt.api_jwt:_jwt_global_obj.options.verify_sub", Must::True, D, true,  nullptr, nullptr},
    {"jwt.api_jwt:_jwt_global_obj.options.verify_jti", Must::True, D, true,  nullptr, nullptr},
    {"jwt.api_jwt:_jwt_global_obj.options.strict_aud", Must::False, D, true, nullptr, nullptr},
    {"jwt.api_jwt:_jwt_global_obj.options.require", Must::EmptyList, D, false, nullptr, nullptr},
    {"jwt:encode",                               Must::BoundTo,  E,  false, "jwt.api_jwt:_jwt_global_obj", "jwt.api_jwt:PyJWT.encode"},
    {"jwt:decode",                               Must::BoundTo,  D,  false, "jwt.api_jwt:_jwt_global_obj", "jwt.api_jwt:PyJWT.decode"},
};
// clang-format on

constexpr int kWatchedCount = sizeof kWatched / sizeof kWatched[0];

constexpr bool same_text(const char* a, const char* b) {
    while (*a && *a == *b)
        a++, b++;
    return *a == *b;
}

// The entry of `path`: a name, checked as the table is compiled.
constexpr int entry(const char* path) {
    for (int i = 0; i < kWatchedCount; i++)
        if (same_text(kWatched[i].path, path))
            return i;
    return -1;
}

constexpr int kDatetime = entry("jwt.api_jwt:datetime"), kTimezone = entry("jwt.api_jwt:timezone"),
              kUtc = entry("datetime:timezone.utc");
static_assert(kDatetime >= 0 && kTimezone >= 0 && kUtc >= 0 && entry(kScannerPath) >= 0, "entries the code reads");

Objects g_objects(kWatched);

template <size_t N>
bool all_hold(Guard* const (&guards)[N], const Call& c) {
    for (Guard* g : guards)
        if (!g->holds(c))
            return false;
    return true;
}

}  // namespace

bool hold(const Call& c, Use use) {
    return (use == Issue ? all_hold(kIssueGuards, c) : all_hold(kVerifyGuards, c)) && g_objects.hold(use);
}

bool issue_clock(const Call& c, double& seconds) {
    if (!g_issue_clock.holds(c))
        return false;
    Ref t = call(g_issue_clock.object(kTimeFunction));
    if (!t || !PyFloat_CheckExact(t.get())) {
        PyErr_Clear();
        return false;
    }
    seconds = PyFloat_AS_DOUBLE(t.get());
    return seconds >= 0 && seconds < 9.0e15;
}

bool verify_clock(double& seconds) {
    // (timezone.utc cannot change: the class is the interpreter's, immutable)
    if (!g_objects.holds_entry(kDatetime) || !g_objects.holds_entry(kTimezone))
        return false;
    Ref now = attr(Borrowed(g_objects.value(kDatetime)), names::now);
    Ref moment = now ? call_kw(now, names::kw_tz, g_objects.value(kUtc)) : Ref();
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
