// Specialised paths: a method's result computed with the libraries' own
// compiled primitives instead of their Python layers, while guards show
// that the libraries and the arguments are exactly what the path was
// written for. Anything else takes the generic path, the method's body.
#pragma once

#include "common/body.h"
#include "common/names.h"

namespace cm {

// A module global, or an attribute of one, as it was once the module had
// bound its globals at import.
class Pin {
public:
    explicit Pin(const Name& global) : Pin(global, nullptr, nullptr) {}
    Pin(const Pin& owner, const Name& attribute) : Pin(owner.global_, &owner, &attribute) {}

    // Whether the call reads the very object recorded: a global from the
    // call's namespace; an attribute from the recorded owner, whose own pin
    // the caller checks first.
    bool holds(const Call& c) const;
    Borrowed value() const { return value_; }

    // Records every pin from the namespace just bound; a pin that cannot
    // be read holds nothing, and no path that needs it runs.
    static void record_all(Namespaces ns);

private:
    Pin(const Name& global, const Pin* owner, const Name* attribute);

    const Name& global_;
    const Pin* owner_;
    const Name* attribute_;
    PyObject* value_ = nullptr;  // kept for the process, past its end: no destructor
    Pin* next_;
    static Pin* head_;
};

namespace pins {
inline Pin AES(names::AES), DES(names::DES), pad(names::pad), unpad(names::unpad), base64(names::base64),
    hashlib(names::hashlib), hmac(names::hmac), TarvikCryptMain(names::TarvikCryptMain);
inline Pin AES_new(AES, names::new_), AES_MODE_ECB(AES, names::MODE_ECB), AES_MODE_CBC(AES, names::MODE_CBC),
    AES_block_size(AES, names::block_size), DES_new(DES, names::new_), DES_MODE_ECB(DES, names::MODE_ECB),
    DES_block_size(DES, names::block_size), base64_encodebytes(base64, names::encodebytes),
    base64_decodebytes(base64, names::decodebytes), hashlib_md5(hashlib, names::md5),
    hashlib_sha1(hashlib, names::sha1), hashlib_sha256(hashlib, names::sha256),
    hashlib_sha384(hashlib, names::sha384), hashlib_sha512(hashlib, names::sha512), hmac_new(hmac, names::new_),
    // the class's own _add_to_16, as the class gives it
    add_to_16(TarvikCryptMain, names::add_to_16);
}  // namespace pins

// Whether every pin of a list holds for the call, owners listed before
// their attributes.
bool all_hold(const Call& c, std::initializer_list<const Pin*> list);

// What a specialised path gives back: the result, or nothing (and no
// exception) when it declines the call, which then takes the generic path.
// `variant` tells which of the path's branches made the result; each branch
// is verified on its own.
struct Fast {
    Ref result;
    int variant = 0;
};
using FastPath = Fast (*)(const Call& c, Args a);

constexpr int kVariants = 3;

// The enabled flags of one method's path, per variant.
struct Specialisation {
    enum State : unsigned char { Unverified, Enabled, Disabled };
    State state[kVariants] = {};
};

// Runs a call: through `fast` where it may, through `generic` otherwise.
// A variant is enabled only once its first call has also run the generic
// path and the two results were identical; a mismatch, or a generic path
// that fails, disables it for the life of the process.
Ref run_specialised(Specialisation& s, FastPath fast, Body generic, Call& c, Args a);

// Reads, at import, whether specialised paths may run at all in this
// process: not when the environment variable CRYPT_MAIN_GENERIC is set (to
// anything but empty or "0").
void read_switch();
// What the switch said: whether specialised paths may run.
bool switch_on();

}  // namespace cm
