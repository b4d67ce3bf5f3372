// Specialised paths: a method's result computed natively instead of through
// the libraries' Python layers, while the arguments are what the path was
// written for and what the generic path (the method's body) would run is the
// library's own and unchanged. Anything else takes the generic path.
//
// Two things show "own and unchanged": the guards of the entry points that
// the path's unit lists (guard.h), asked by its `choose`, and the record of
// the branch's verifying call, which ran the generic path under a recorder
// (recording.h) and whose namespaces must still be as recorded.
#pragma once

#include "common/body.h"
#include "common/guard.h"
#include "common/native_library.h"
#include "common/recording.h"
#include "common/without_gil.h"

#include <cstddef>
#include <cstdint>

namespace cm {

// What a method's specialised path is: how many branches it has, how a call
// picks its branch, and how a branch computes its result.
struct SpecialisedPath {
    int branches;
    // The branch for this call, or -1 for the generic path: from the guards
    // and the arguments alone, before any work. No exception is left set.
    int (*choose)(const Call& c, Args a);
    // The result of branch `branch`, or empty (no exception) to decline.
    Ref (*run)(int branch, const Call& c, Args a);
    // The compiled libraries it runs, if any.
    NativeLibraries* libraries;
    // Whether a result agrees with the generic path's, where that is more
    // than equal exact str or bytes (random results); no exception left set.
    bool (*agree)(PyObject* fast, PyObject* generic);
    // What the library reads that a recording cannot see, if anything.
    ExtraDependencies extra;
};

constexpr int kMaxBranches = 4;

template <int Branches>
constexpr SpecialisedPath specialised_path(int (*choose)(const Call&, Args), Ref (*run)(int, const Call&, Args),
                                           NativeLibraries* libraries = nullptr,
                                           bool (*agree)(PyObject*, PyObject*) = nullptr,
                                           ExtraDependencies extra = nullptr) {
    static_assert(Branches >= 1 && Branches <= kMaxBranches, "a path has 1 to kMaxBranches branches");
    return {Branches, choose, run, libraries, agree, extra};
}

// Without watchers, an enabled branch compares its namespaces with its
// recording every this many calls (and verifies again where they changed).
// A declining branch tries a verification again after 8 calls, then 16, ...
// up to this many: what made its recording foreign may have passed.
constexpr unsigned kReverifyEvery = 1000;

// The state of one method's path, per branch.
struct Specialisation {
    enum State : unsigned char {
        Unverified,  // its next call verifies it
        Enabled,     // verified; its namespaces as recorded when last looked at
        Disabled,    // its result differed from the library's own: for the process
        Verifying,   // one call is comparing the two paths; every call that starts
                     // meanwhile (another thread, or re-entry) takes the generic path
        Declining,   // its last recording failed or was not the library's own: the
                     // generic path until its namespaces change again
        Stale,       // its namespaces changed since: its next call verifies it again
    };
    State state[kMaxBranches] = {};
    unsigned char verified[kMaxBranches] = {};  // calls whose results agreed
    bool watched[kMaxBranches] = {};            // its namespaces are watched
    unsigned countdown[kMaxBranches] = {};      // calls left before it verifies again (unwatched
                                                // enabled, or declining)
    unsigned char retries[kMaxBranches] = {};   // declining: verifications since it was enabled
    uint64_t generation[kMaxBranches] = {};     // watched: the generation it last looked at
    PyObject* record[kMaxBranches] = {};        // its last recording's namespaces
    PyObject* approved[kMaxBranches] = {};      // those of the recording that enabled it
};

// Runs a call: through the path where it may, through `generic` otherwise.
// A branch is enabled once its verifying calls (one, or three under a library
// release newer than those compared) have run the generic path under the
// recorder with identical results, and the recording was the library's own.
// It verifies again when its namespaces change: told so at once (3.12+), or
// seen within kReverifyEvery calls (before). Results that differ while the
// namespaces are as recorded when it was enabled (or on its first
// verification) disable it for the life of the process: a disabled branch
// costs nothing but its choice.
Ref run_specialised(Specialisation& s, const SpecialisedPath& p, Body generic, Call& c, Args a);

// The word for branch `b` of a path: "unverified", "enabled", "stale"
// (changed since enabled: it verifies again), "declining", "disabled", or
// "off" where the switch or the path's libraries rule it out. Looks at the
// branch's namespaces first, as its next call would.
const char* specialisation_word(Specialisation& s, const SpecialisedPath& p, int b);

// At import: whether specialised paths may run at all in this process (not
// when the environment variable CRYPT_MAIN_GENERIC is set to anything but
// empty or "0"), and the watchers where the interpreter has them.
void start_specialised_paths();

}  // namespace cm
