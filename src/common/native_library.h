// A compiled library that ships inside an imported Python package, opened by
// the very file name the package loads itself, and a table of its named
// entry points.
//
// The file is <package directory>/<sub_path><suffix>, for the first suffix of
// importlib.machinery.EXTENSION_SUFFIXES that opens: the rule pycryptodome's
// own loader follows. It is opened with dlopen(RTLD_NOW | RTLD_LOCAL), so a
// library the package has already loaded is the same mapping, not a second
// copy. Nothing here leaves a Python exception set: a library or entry point
// that is not there is "not available", and the caller takes its Python path.
// Libraries are never closed once their entry points are in use.
#pragma once

#include "common/names.h"
#include "common/ref.h"

#include <cstddef>

namespace cm {

// Opening and loading need the GIL; entry points, once resolved, do not.
class NativeLibrary {
public:
    // Opens the library; false when no file opens.
    bool open(PyObject* package, const char* sub_path);

    // Resolves prefix + names[i] into entries[i], all or nothing: false when
    // any one is missing (entries then untouched).
    bool resolve(const char* prefix, const char* const* names, void** entries, size_t count) const;

    void* handle() const { return handle_; }

    // Drops this reference to the library (the loader unmaps it when no one
    // else holds it). Only for a library none of whose entry points is kept.
    void close();

private:
    void* handle_ = nullptr;
};

// One library of a set: its file, and the entry points named prefix + name.
struct LibrarySpec {
    const char* sub_path;
    const char* prefix;
    const char* const* names;
    size_t count;
};

// Libraries that are used together, loaded all or nothing. The first complete
// set is kept for the rest of the process: its entry points may be in use on
// any thread, so it is never replaced. A later load (the module imported
// again) succeeds only when it opens the very same libraries.
class LibrarySet {
public:
    static constexpr size_t kMaxLibraries = 5, kMaxEntries = 4;

    bool load(PyObject* package, const LibrarySpec* specs, size_t count);
    // Entry point `index` (in the order of its spec's names) of library `library`.
    void* entry(size_t library, size_t index) const { return entries_[library][index]; }

private:
    NativeLibrary libraries_[kMaxLibraries];
    void* entries_[kMaxLibraries][kMaxEntries] = {};
    size_t count_ = 0;
};

// The package's version_info[:2] as major * 1000 + minor; -1 when it has no
// such attribute.
long package_version(PyObject* package);

// The package's submodule `relative` ("Cipher.AES"), imported if it is not
// yet; empty with an exception set when that fails.
Ref import_submodule(PyObject* package, const char* relative);

// The compiled libraries of an imported package that a set of specialised
// paths runs: loaded by `load` at the first call that asks, from the package
// that the module imported, for releases from `oldest` on. Releases past
// `newest_compared` (the last whose libraries were compared) load the same
// way but ask their paths to verify more calls before they are enabled.
class NativeLibraries {
public:
    constexpr NativeLibraries(const char* package, long oldest, long newest_compared, bool (*load)(PyObject*))
        : package_(package), oldest_(oldest), newest_compared_(newest_compared), load_(load) {}

    // Whether the libraries are loaded; no exception is left set.
    bool ready() { return state_ > 0 || (state_ == 0 && first_load()); }
    // Whether they were asked for and are not to be had.
    bool ruled_out() const { return state_ < 0; }
    // How many first calls of each branch must agree with the generic path.
    int verifications() const { return newer_ ? 3 : 1; }
    // The release found, as major * 1000 + minor (-1 before the first ask).
    long release() const { return release_; }

private:
    bool first_load();

    const char* package_;
    long oldest_, newest_compared_;
    bool (*load_)(PyObject*);
    int state_ = 0;  // 0 not asked yet, 1 loaded, -1 not to be had
    bool newer_ = false;
    long release_ = -1;
};

}  // namespace cm
