#include "common/traceback.h"

#include <cstdio>

namespace cm {

void TracebackSite::init(const char* function) {
    std::snprintf(function_, sizeof function_, "%s", function);
}

namespace {

// `code` marked as a function's, where code objects can be changed: frames
// of such code make their locals only when asked, each its own dict.
Ref as_function_code(Ref code, bool& lazy_locals) {
    lazy_locals = false;
    Ref replace(PyObject_GetAttrString(code.get(), "replace"));
    if (!replace) {  // 3.7: the plain code object, and a dict for each frame
        PyErr_Clear();
        return code;
    }
    Ref kwargs(Py_BuildValue("{si}", "co_flags", CO_OPTIMIZED | CO_NEWLOCALS));
    Ref no_args(PyTuple_New(0));
    Ref changed(kwargs && no_args ? PyObject_Call(replace.get(), no_args.get(), kwargs.get()) : nullptr);
    lazy_locals = bool(changed);
    return changed;
}

}  // namespace

Ref TracebackSite::code_for(int line, bool& lazy_locals) {
    Slot* free_slot = nullptr;
    for (Slot& slot : slots_) {
        if (slot.code && slot.line == line) {
            lazy_locals = slot.lazy_locals;
            return Ref::hold(slot.code);
        }
        if (!slot.code && !free_slot)
            free_slot = &slot;
    }
    Ref code((PyObject*)PyCode_NewEmpty("crypt_main.py", function_, line));
    if (code)
        code = as_function_code(std::move(code), lazy_locals);
    if (code && free_slot)  // beyond the slots, made again at each failure
        *free_slot = {line, keep(Ref::hold(code.borrowed())), lazy_locals};
    return code;
}

void TracebackSite::add(Borrowed globals, int line) {
    if (!PyErr_Occurred())  // a failure must carry an exception: never report success
        PyErr_SetString(PyExc_SystemError, "crypt_main: a method failed without setting an exception");
    Ref pending(PyErr_GetRaisedException());
    bool lazy_locals = false;
    Ref code = code_for(line, lazy_locals);
    Ref locals(code && !lazy_locals ? PyDict_New() : nullptr);
    Ref frame(code && (lazy_locals || locals)
                  ? (PyObject*)PyFrame_New(PyThreadState_Get(), (PyCodeObject*)code.get(), globals.get(), locals.get())
                  : nullptr);
    PyErr_Clear();  // an entry we could not make is left out; the error stays
    PyErr_SetRaisedException(pending.release());
    if (frame)
        PyTraceBack_Here((PyFrameObject*)frame.get());
}

}  // namespace cm
