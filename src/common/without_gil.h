// Primitive work without the GIL, and what a path must do afterwards.
//
// While the GIL is released another thread may rebind any name, replace a
// library's function or free an object that a guard found: nothing a guard
// holds is used after `without_gil` returns until the guards were asked
// again (`without_gil_then` does both).
#pragma once

#include "common/ref.h"

#include <cstddef>

namespace cm {

// Below this many bytes the hand-over costs more than the work.
constexpr size_t kGilThreshold = 2048;

// Runs `work` on `size` bytes, without the GIL when there is enough of it to
// be worth handing over, as the libraries' compiled calls do. `work` touches
// no Python object: buffers it reads are held by the caller, outputs were
// made before.
template <class Work>
int without_gil(size_t size, Work work) {
    if (size < kGilThreshold)
        return work();
    int rc;
    Py_BEGIN_ALLOW_THREADS
    rc = work();
    Py_END_ALLOW_THREADS
    return rc;
}

// As without_gil; then, if the GIL was handed over, `still()` (the branch's
// guards, asked again) must hold before the caller touches anything a guard
// found. Returns work's result, or 1 when the guards no longer hold: the
// caller declines and the generic path does the call.
template <class Work, class Still>
int without_gil_then(size_t size, Work work, Still still) {
    int rc = without_gil(size, work);
    if (rc == 0 && size >= kGilThreshold && !still())
        return 1;
    return rc;
}

}  // namespace cm
