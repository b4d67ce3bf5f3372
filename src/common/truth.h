// The interpreter's truth test of a flag argument: True, False and None are
// answered without a call; anything else is asked, and may raise (-1).
#pragma once

#include "common/backports.h"

namespace cm {

inline int truth(PyObject* flag) {
    if (flag == Py_True)
        return 1;
    if (flag == Py_False || flag == Py_None)
        return 0;
    return PyObject_IsTrue(flag);
}

}  // namespace cm
