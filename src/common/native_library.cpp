#include "common/native_library.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstring>

// Wheels are built against a recent glibc but must load on glibc 2.17. There
// the dl* functions have the version GLIBC_2.2.5 (and live in libdl.so.2,
// which every interpreter that loads extension modules has in the process);
// glibc 2.34 moved them into libc as GLIBC_2.34 and kept GLIBC_2.2.5 beside
// it. Binding to the old version works on both. Sanitizer builds keep the
// default binding, which the sanitizer runtime intercepts.
#if defined(__x86_64__) && defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__)
__asm__(".symver dlopen,dlopen@GLIBC_2.2.5");
__asm__(".symver dlsym,dlsym@GLIBC_2.2.5");
__asm__(".symver dlclose,dlclose@GLIBC_2.2.5");
#endif

namespace cm {

namespace {

// The directory of the module's __file__ (for a package, the package's own
// directory), else the first entry of its __path__; as file-system bytes.
Ref module_directory(PyObject* module) {
    Ref file(PyObject_GetAttrString(module, "__file__"));
    if (file && PyUnicode_Check(file.get())) {
        Ref path(PyUnicode_EncodeFSDefault(file.get()));
        if (!path)
            return {};
        const char* s = PyBytes_AS_STRING(path.get());
        const char* slash = std::strrchr(s, '/');
        return slash ? Ref(PyBytes_FromStringAndSize(s, slash - s)) : Ref(PyBytes_FromString("."));
    }
    PyErr_Clear();
    Ref entries(PyObject_GetAttrString(module, "__path__"));
    Ref iterator(entries ? PyObject_GetIter(entries.get()) : nullptr);
    Ref first(iterator ? PyIter_Next(iterator.get()) : nullptr);
    if (!first || !PyUnicode_Check(first.get()))
        return {};
    return Ref(PyUnicode_EncodeFSDefault(first.get()));
}

void* open_first(PyObject* module, const char* sub_path) {
    Ref directory = module_directory(module);
    Ref machinery(directory ? PyImport_ImportModule("importlib.machinery") : nullptr);
    Ref suffixes(machinery ? PyObject_GetAttrString(machinery.get(), "EXTENSION_SUFFIXES") : nullptr);
    Ref iterator(suffixes ? PyObject_GetIter(suffixes.get()) : nullptr);
    if (!iterator)
        return nullptr;
    while (Ref suffix{PyIter_Next(iterator.get())}) {
        if (!PyUnicode_Check(suffix.get()))
            continue;
        Ref encoded(PyUnicode_EncodeFSDefault(suffix.get()));
        if (!encoded)
            return nullptr;
        Ref path(PyBytes_FromFormat("%s/%s%s", PyBytes_AS_STRING(directory.get()), sub_path,
                                    PyBytes_AS_STRING(encoded.get())));
        if (!path)
            return nullptr;
        // A file that is missing or does not load is passed over, as the
        // package's loader does.
        if (void* handle = dlopen(PyBytes_AS_STRING(path.get()), RTLD_NOW | RTLD_LOCAL))
            return handle;
    }
    return nullptr;
}

}  // namespace

bool NativeLibrary::open(PyObject* package, const char* sub_path) {
    close();
    handle_ = open_first(package, sub_path);
    PyErr_Clear();
    return handle_ != nullptr;
}

bool NativeLibrary::resolve(const char* prefix, const char* const* names, void** entries, size_t count) const {
    void* found[16];
    if (!handle_ || count > sizeof found / sizeof found[0])
        return false;
    for (size_t i = 0; i < count; i++) {
        char symbol[128];
        int n = std::snprintf(symbol, sizeof symbol, "%s%s", prefix, names[i]);
        if (n < 0 || (size_t)n >= sizeof symbol || !(found[i] = dlsym(handle_, symbol)))
            return false;
    }
    std::memcpy(entries, found, count * sizeof found[0]);
    return true;
}

void NativeLibrary::close() {
    if (handle_)
        dlclose(handle_);
    handle_ = nullptr;
}

bool LibrarySet::load(PyObject* package, const LibrarySpec* specs, size_t count) {
    if (count > kMaxLibraries)
        return false;
    NativeLibrary fresh[kMaxLibraries];
    void* entries[kMaxLibraries][kMaxEntries];
    bool complete = true;
    for (size_t i = 0; complete && i < count; i++) {
        const LibrarySpec& spec = specs[i];
        complete = spec.count <= kMaxEntries && fresh[i].open(package, spec.sub_path) &&
                   fresh[i].resolve(spec.prefix, spec.names, entries[i], spec.count);
    }
    if (complete && count_ == 0) {
        for (size_t i = 0; i < count; i++)
            libraries_[i] = fresh[i];
        std::memcpy(entries_, entries, sizeof entries);
        count_ = count;
        return true;
    }
    bool same = complete && count == count_;
    for (size_t i = 0; i < count; i++) {
        same = same && fresh[i].handle() == libraries_[i].handle();
        fresh[i].close();  // the kept set holds its own reference
    }
    return same;
}

long package_version(PyObject* package) {
    Ref info(PyObject_GetAttrString(package, "version_info"));
    Ref major(info ? PySequence_GetItem(info.get(), 0) : nullptr);
    Ref minor(major ? PySequence_GetItem(info.get(), 1) : nullptr);
    long result = -1;
    if (minor && PyLong_Check(major.get()) && PyLong_Check(minor.get())) {
        long a = PyLong_AsLong(major.get()), b = PyLong_AsLong(minor.get());
        if (a >= 0 && a < 1000 && b >= 0 && b < 1000)
            result = a * 1000 + b;
    }
    PyErr_Clear();
    return result;
}

Ref import_submodule(PyObject* package, const char* relative) {
    Ref name(PyObject_GetAttrString(package, "__name__"));
    Ref full(name ? PyUnicode_FromFormat("%S.%s", name.get(), relative) : nullptr);
    return Ref(full ? PyImport_Import(full.get()) : nullptr);
}

bool NativeLibraries::first_load() {
    // The package as the module imported it: nothing is imported here.
    Ref name(PyUnicode_FromString(package_));
    Ref package(name ? PyImport_GetModule(name.get()) : nullptr);
    if (package)
        release_ = package_version(package.get());
    newer_ = release_ > newest_compared_;
    state_ = package && release_ >= oldest_ && load_(package.get()) ? 1 : -1;
    PyErr_Clear();
    return state_ > 0;
}

}  // namespace cm
