// The module crypt_main: its creation and execution, the globals it binds
// and the class TarvikCryptMain built from the method table.
#include "module/method.h"

#include "common/call.h"
#include "common/specialised.h"
#include "common/traceback.h"


namespace cm {

namespace {

// The one module object of the process, from the start of its execution.
PyObject* g_module = nullptr;
// The interpreter that first created the module; -1 until then.
int64_t g_interpreter = -1;
TracebackSite g_init_site;

// ---- globals

struct GlobalImport {
    const Name& name;    // bound under this name
    const char* module;  // imported with level 0
    bool from;           // `from module import name`, else `import module`
    int line;
};

const GlobalImport kGlobals[] = {
    {names::base64, "base64", false, 11},
    {names::hashlib, "hashlib", false, 12},
    {names::hmac, "hmac", false, 13},
    {names::time, "time", false, 16},
    {names::a2b_hex, "binascii", true, 17},
    {names::b2a_hex, "binascii", true, 18},
    {names::jwt, "jwt", false, 21},
    {names::rsa, "rsa", false, 22},
    {names::AES, "Crypto.Cipher", true, 23},
    {names::DES, "Crypto.Cipher", true, 24},
    {names::pad, "Crypto.Util.Padding", true, 25},
    {names::unpad, "Crypto.Util.Padding", true, 26},
};

constexpr int kClassLine = 31;

Ref import_global(const GlobalImport& g, PyObject* dict) {
    PyObject* name = g.name.get();
    Ref module_name(PyUnicode_FromString(g.module));
    if (!module_name)
        return {};
    if (!g.from)
        return Ref(PyImport_ImportModuleLevelObject(module_name.get(), dict, nullptr, nullptr, 0));
    Ref fromlist(PyList_New(1));
    if (!fromlist)
        return {};
    PyList_SET_ITEM(fromlist.get(), 0, Ref::hold(name).release());
    Ref module(PyImport_ImportModuleLevelObject(module_name.get(), dict, nullptr, fromlist.get(), 0));
    if (!module)
        return {};
    Ref value(PyObject_GetAttr(module.get(), name));
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    }
    return value;
}

int bind_globals(PyObject* dict) {
    for (const GlobalImport& g : kGlobals) {
        Ref value = import_global(g, dict);
        if (!value || PyDict_SetItem(dict, g.name.get(), value.get()) < 0) {
            g_init_site.add(dict, g.line);
            return -1;
        }
    }
    return 0;
}

// ---- the class

// A method object, wrapped in staticmethod when the method is static.
Ref class_attribute(int i, Namespaces ns) {
    Ref staticmethod = global(ns, names::staticmethod);
    MethodState* m = staticmethod ? method_state(i) : nullptr;
    if (!m)
        return {};
    Ref function = make_method(*m, ns);
    if (!function || m->row->kind == Kind::Instance)
        return function;
    return call(staticmethod, function);
}

Ref build_class(Namespaces ns) {
    Ref dict(PyDict_New());
    if (!dict || PyDict_SetItem(dict.get(), names::dunder_module.get(), names::crypt_main.get()) < 0 ||
        PyDict_SetItem(dict.get(), names::dunder_qualname.get(), names::TarvikCryptMain.get()) < 0) {
        g_init_site.add(ns.globals, kClassLine);
        return {};
    }
    for (int i = 0; i < kMethodCount; i++) {
        const MethodRow& row = kMethodTable[i];
        Ref value = class_attribute(i, ns);
        if (!value || PyDict_SetItemString(dict.get(), row.name, value.get()) < 0) {
            g_init_site.add(ns.globals, row.line);
            return {};
        }
    }
    Ref bases(PyTuple_New(0));
    Ref cls = bases ? call((PyObject*)&PyType_Type, names::TarvikCryptMain.get(), bases, dict) : Ref();
    if (!cls)
        g_init_site.add(ns.globals, kClassLine);
    return cls;
}

// ---- the version check

// Major and minor version of the running interpreter, read from its
// version string ("3.10.4 (main, ...)"): two numbers, not a prefix.
// (Read digit by digit: newer C libraries redirect strtol to a symbol that
// older ones lack, and the module is to load on glibc 2.17.)
int number(const char*& text) {
    int n = 0;
    while (*text >= '0' && *text <= '9' && n < 100000)
        n = n * 10 + (*text++ - '0');
    return n;
}

void running_version(int& major, int& minor) {
    const char* text = Py_GetVersion();
    major = number(text);
    minor = *text == '.' ? number(++text) : 0;
}

int check_version() {
    int major = 0, minor = 0;
    running_version(major, minor);
    if (major == CRYPT_MAIN_BUILT_MAJOR && minor == CRYPT_MAIN_BUILT_MINOR)
        return 0;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                            CRYPT_MAIN_BUILT_MAJOR, CRYPT_MAIN_BUILT_MINOR, "crypt_main", "does not match", major,
                            minor);
}

// ---- the slots

int refuse_second_interpreter() {
    int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1)
        return -1;
    if (g_interpreter == -1) {
        g_interpreter = current;
        return 0;
    }
    if (g_interpreter != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return -1;
    }
    return 0;
}

// Copies spec.<from> to module.<to>; a None is skipped when `skip_none`.
int copy_spec_attribute(PyObject* spec, PyObject* dict, const Name& from, const Name& to, bool skip_none) {
    PyObject* found;
    int present = PyObject_GetOptionalAttr(spec, from.get(), &found);
    Ref value(found);
    if (present <= 0 || (skip_none && value.get() == Py_None))
        return present;
    return PyDict_SetItem(dict, to.get(), value.get());
}

PyObject* create(PyObject* spec, PyModuleDef*) {
    if (refuse_second_interpreter() < 0)
        return nullptr;
    if (g_module)
        return Ref::hold(g_module).release();
    if (Name::make_all() < 0)
        return nullptr;
    Ref name(PyObject_GetAttr(spec, names::name.get()));
    Ref module(name ? PyModule_NewObject(name.get()) : nullptr);
    PyObject* dict = module ? PyModule_GetDict(module.get()) : nullptr;
    if (!dict || copy_spec_attribute(spec, dict, names::loader, names::dunder_loader, false) < 0 ||
        copy_spec_attribute(spec, dict, names::origin, names::dunder_file, false) < 0 ||
        copy_spec_attribute(spec, dict, names::parent, names::dunder_package, false) < 0 ||
        copy_spec_attribute(spec, dict, names::submodule_search_locations, names::dunder_path, true) < 0)
        return nullptr;
    return module.release();
}

// The class this module built, kept for the process.
PyObject* g_class = nullptr;

int execute(PyObject* module) {
    PyObject* dict = PyModule_GetDict(module);
    Ref builtins(PyImport_ImportModule("builtins"));
    if (!builtins || PyObject_SetAttr(module, names::dunder_builtins.get(), builtins.get()) < 0)
        return -1;
    Namespaces ns{dict, PyModule_GetDict(builtins.get())};
    if (check_version() < 0 || bind_globals(dict) < 0)
        return -1;
    Ref cls = build_class(ns);
    if (!cls)
        return -1;
    if (PyDict_SetItem(dict, names::TarvikCryptMain.get(), cls.get()) < 0) {
        g_init_site.add(dict, kClassLine);
        return -1;
    }
    g_class = keep(std::move(cls));
    start_specialised_paths();
    return 0;
}

int exec(PyObject* module) {
    if (g_module) {
        if (g_module == module)
            return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'crypt_main' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    if (Name::make_all() < 0)
        return -1;
    g_init_site.init("init crypt_main");
    g_module = keep(Ref::hold(module));
    if (execute(module) < 0) {
        Ref dropped(g_module);
        g_module = nullptr;
        return -1;
    }
    return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, (void*)create},
    {Py_mod_exec, (void*)exec},
    CRYPT_MAIN_GIL_SLOT
    {0, nullptr},
};

PyMethodDef no_functions[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "crypt_main",
    "AES, DES, Base64, MD5/SHA digests, RSA and HS256 tokens for Python text.\n"
    "\n"
    "One class, TarvikCryptMain, holds the operations and keeps no state: call them\n"
    "on the class or on an instance, any argument by keyword. Texts, keys and IVs\n"
    "are str, keys and IVs used as their UTF-8 bytes; what the libraries raise\n"
    "reaches the caller unchanged. Each method in one line:\n"
    "\n"
    "  __init__(self): makes an instance, which holds nothing.\n"
    "  _aes_ecb_encrypt(value, key) -> bytes: AES-ECB, PKCS#7-padded; key of 16, 24 or 32 bytes.\n"
    "  _aes_ecb_decrypt(value, key) -> str: decrypts AES-ECB ciphertext (any bytes-like object).\n"
    "  _aes_cbc_encrypt(value, key, iv) -> bytes: AES-CBC, PKCS#7-padded; iv of 16 bytes.\n"
    "  _aes_cbc_decrypt(value, key, iv) -> str: decrypts AES-CBC ciphertext (any bytes-like object).\n"
    "  _base64_encrypt(value) -> str: Base64 of the text's UTF-8, on one line.\n"
    "  _base64_decrypt(value) -> str: decodes Base64 given as str.\n"
    "  _des_encrypt(value, key) -> bytes: DES-ECB, PKCS#7-padded; key of 8 bytes.\n"
    "  _des_decrypt(value, key) -> str: decrypts DES-ECB ciphertext (any bytes-like object).\n"
    "  _md5_encrypt(value, fmt) -> str: MD5 in hex of a str or bytes; fmt \"upper\" or \"lower\" sets the case.\n"
    "  _md5_hmac_encrypt(value, key, fmt) -> bytes: the raw 16-byte HMAC-MD5; fmt changes its letters.\n"
    "  _php_encrypt(self, value, key, iv, base64s=False) -> bytes or str: AES-CBC as PHP (GBK, zero padding).\n"
    "  _php_decrypt(self, value, key, iv, base64s=False) -> str: decrypts that form, raw or as Base64 text.\n"
    "  _add_to_16(value) -> bytes: the text's GBK bytes, zero-padded to a multiple of 16.\n"
    "  _rsa_keys() -> (pub_key, pri_key): makes a 256-bit key pair of the rsa package.\n"
    "  _rsa_encrypt(self, value, pub_key=None, hexs=False) -> bytes: PKCS#1 v1.5; no key: (ct, pub, pri).\n"
    "  _rsa_decrypt(value, pri_key, hexs=False) -> str: decrypts RSA ciphertext, raw or hex.\n"
    "  _sha1_encrypt(value, fmt) -> str: SHA-1 in hex of the text's UTF-8; fmt as for MD5.\n"
    "  _sha256_encrypt(value, fmt) -> str: SHA-256 in hex of the text's UTF-8; fmt as for MD5.\n"
    "  _sha384_encrypt(value, fmt) -> str: SHA-384 in hex of the text's UTF-8; fmt as for MD5.\n"
    "  _sha512_encrypt(value, fmt) -> str: SHA-512 in hex of the text's UTF-8; fmt as for MD5.\n"
    "  _token_encrypt(data, key, exp_time, issuer) -> str: an HS256 token; an int exp_time sets its expiry.\n"
    "  _token_decrypt(token, key, issuer) -> data: verifies a token; on failure returns a message string.",
    0,
    no_functions,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

bool is_module_class(PyObject* cls) {
    return cls && cls == g_class;
}

}  // namespace cm

CRYPT_MAIN_INIT_FUNC PyInit_crypt_main(void) {
    return PyModuleDef_Init(&cm::definition);
}
