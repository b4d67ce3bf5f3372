// Base64 text without base64's Python layers: the statements of
// _base64_encrypt and _base64_decrypt, for an exact str, while base64 and
// binascii are the library's own.
#include "common/base64_codec.h"
#include "digests/digests.h"

#include "common/scratch.h"
#include "common/text.h"

namespace cm {

namespace {

// base64.encodebytes and what it runs: the line length it cuts at (named
// MAXBINSIZE, from 3.15 MAXLINESIZE; both are there in every release) and
// binascii's encoder.
const Step kEncodebytes[] = {
    step::global_module("base64", "base64"),
    step::function("base64", "encodebytes"),
    step::function("base64", "_input_type_check"),
    step::value("base64", "MAXBINSIZE", "57"),
    step::value("base64", "MAXLINESIZE", "76"),
    step::module_of("base64", "binascii", "binascii"),
    step::builtin("binascii", "b2a_base64", "binascii", "b2a_base64"),
    step::optional(step::builtin("base64", "len", "builtins", "len")),
    step::builtin("builtins", "len", "builtins", "len"),
};
// base64.decodebytes and binascii's lenient decoder.
const Step kDecodebytes[] = {
    step::global_module("base64", "base64"),
    step::function("base64", "decodebytes"),
    step::function("base64", "_input_type_check"),
    step::module_of("base64", "binascii", "binascii"),
    step::builtin("binascii", "a2b_base64", "binascii", "a2b_base64"),
};
Guard g_encodebytes(kEncodebytes), g_decodebytes(kDecodebytes);

// One branch, for an exact str: its encode method is str's own.
int choose_encode(const Call& c, Args a) {
    return PyUnicode_CheckExact(a[0]) && g_encodebytes.holds(c) ? 0 : -1;
}

int choose_decode(const Call& c, Args a) {
    return PyUnicode_CheckExact(a[0]) && g_decodebytes.holds(c) ? 0 : -1;
}

// result = str(base64.encodebytes(value.encode()), encoding="utf-8").replace("\n", "")
Ref encode(int, const Call&, Args a) {
    Utf8 value;
    if (!value.view(a[0]))
        return {};
    return base64_line(value.data(), value.size());
}

// result = str(base64.decodebytes(value.encode(encoding="utf-8")), encoding="utf-8")
Ref decode(int, const Call&, Args a) {
    Utf8 value;
    if (!value.view(a[0]))
        return {};
    Scratch decoded(base64_bound(value.size()));
    if (!decoded)
        return {};
    ptrdiff_t size = base64_decode(value.data(), value.size(), decoded.data());
    if (size < 0)
        return {};
    return Ref(PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(decoded.data()), size, nullptr));
}

}  // namespace

Guard& encodebytes_guard() {
    return g_encodebytes;
}

Guard& decodebytes_guard() {
    return g_decodebytes;
}

const SpecialisedPath base64_encrypt_path = specialised_path<1>(choose_encode, encode);
const SpecialisedPath base64_decrypt_path = specialised_path<1>(choose_decode, decode);

}  // namespace cm
