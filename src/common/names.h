// Every constant string the module passes to the interpreter (attribute,
// global and keyword names, fixed texts), each declared once, here. The
// module makes all of them when it first executes and keeps them for the
// life of the process.
#pragma once

#include "common/ref.h"

#include <initializer_list>

namespace cm {

// An interned str made once from a C string.
class Name {
public:
    explicit Name(const char* text);
    PyObject* get() const { return obj_; }  // kept for the process
    const char* text() const { return text_; }

    // Makes every Name and KwNames not made yet; 0, or -1 with an exception.
    static int make_all();

private:
    const char* text_;
    PyObject* obj_ = nullptr;
    Name* next_;
    static Name* head_;
};

// The tuple of keyword names that a vectorcall passes, such as ("encoding",).
class KwNames {
public:
    KwNames(std::initializer_list<const char*> names);
    PyObject* get() const { return obj_; }  // kept for the process
    Py_ssize_t size() const { return size_; }

private:
    friend class Name;
    const char* names_[4];
    Py_ssize_t size_;
    PyObject* obj_ = nullptr;
    KwNames* next_;
    static KwNames* head_;
};

namespace names {

// The module globals, in the order the module binds them.
inline const Name base64("base64"), hashlib("hashlib"), hmac("hmac"), time("time"), a2b_hex("a2b_hex"),
    b2a_hex("b2a_hex"), jwt("jwt"), rsa("rsa"), AES("AES"), DES("DES"), pad("pad"), unpad("unpad");

// Attributes and methods of the libraries and of the objects they return.
inline const Name new_("new"), MODE_ECB("MODE_ECB"), MODE_CBC("MODE_CBC"), block_size("block_size"),
    encrypt("encrypt"), decrypt("decrypt"), encodebytes("encodebytes"), decodebytes("decodebytes"),
    md5("md5"), sha1("sha1"), sha256("sha256"), sha384("sha384"), sha512("sha512"), update("update"),
    digest("digest"), hexdigest("hexdigest"), newkeys("newkeys"), exceptions("exceptions"),
    ExpiredSignatureError("ExpiredSignatureError");

// Methods of texts, and the words the fmt rule compares with (the names of
// the methods they select).
inline const Name encode("encode"), decode("decode"), rstrip("rstrip"), get("get"), upper("upper"),
    lower("lower");

// Methods of TarvikCryptMain called through self.
inline const Name add_to_16("_add_to_16"), rsa_keys("_rsa_keys");

// Fixed texts.
inline const Name utf_8("utf-8"), gbk("gbk"), newline("\n"), empty(""), data("data"), iat("iat"),
    iss("iss"), exp("exp"), HS256("HS256"), tarvik("tarvik"), expired("token已过期"),
    system_error("系统异常：");

// The module and its class.
inline const Name crypt_main("crypt_main"), TarvikCryptMain("TarvikCryptMain"), staticmethod("staticmethod"),
    dunder_builtins("__builtins__"), dunder_module("__module__"), dunder_qualname("__qualname__"),
    dunder_loader("__loader__"), dunder_file("__file__"), dunder_package("__package__"),
    dunder_path("__path__"), name("name"), loader("loader"), origin("origin"), parent("parent"),
    submodule_search_locations("submodule_search_locations"), co_consts("co_consts"), Crypto("Crypto");

// Keyword names of calls.
inline const KwNames kw_encoding({"encoding"}), kw_digestmod({"digestmod"}), kw_algorithm({"algorithm"}),
    kw_issuer_algorithms({"issuer", "algorithms"});

}  // namespace names

}  // namespace cm
