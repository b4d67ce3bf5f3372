#include "common/recording.h"

#include "common/ownership.h"
#include "common/watchers.h"

#include <utility>

namespace cm {

namespace {

// ---- the recorder ------------------------------------------------------------

constexpr size_t kMaxCodes = 1024;

struct Recorder {
    PyObject* codes[kMaxCodes];  // held while recording
    PyObject* globals[kMaxCodes];
    size_t count;
    PyObject* chained;  // the thread's own profile function, called after us
    PyObject* import;   // the code of the import system's _find_and_load
    int importing;      // imports under way: what runs there is the import system's
    bool foreign;       // a built-in not the libraries' own was called
    bool lost;          // something could not be noted
};

Recorder g_recorder;
bool g_recording = false;
PyObject* g_sentinel = nullptr;  // the profile function's object: ours
PyObject* g_event_names[6];      // "call", "exception", "return", "c_call", "c_exception", "c_return"

int make_event_names() {
    static const char* const names[] = {"call", "exception", "return", "c_call", "c_exception", "c_return"};
    for (int i = 0; i < 6; i++)
        if (!g_event_names[i] && !(g_event_names[i] = PyUnicode_InternFromString(names[i])))
            return -1;
    return 0;
}

void note_code(Recorder& r, PyObject* code, PyObject* globals) {
    for (size_t i = r.count; i-- > 0;)
        if (r.codes[i] == code && r.globals[i] == globals)
            return;
    if (r.count == kMaxCodes) {
        r.lost = true;
        return;
    }
    r.codes[r.count] = Ref::hold(code).release();
    r.globals[r.count] = Ref::hold(globals).release();
    r.count++;
}

// Whether `globals` is the import system's own (importlib's bootstrap,
// frozen into the interpreter): `from x import y` inside a function runs
// its helpers even when x is imported already.
bool import_system(PyObject* globals) {
    PyObject* modules = PyImport_GetModuleDict();
    for (const char* name : {"_frozen_importlib", "_frozen_importlib_external"}) {
        PyObject* m = PyDict_GetItemString(modules, name);
        if (m && PyModule_CheckExact(m) && PyModule_GetDict(m) == globals)
            return true;
    }
    return false;
}

int on_event(PyObject*, PyFrameObject* frame, int what, PyObject* arg) {
    Recorder& r = g_recorder;
    if (what == PyTrace_CALL || what == PyTrace_C_CALL || (what == PyTrace_RETURN && r.importing)) {
        Ref pending(PyErr_GetRaisedException());
        if (what != PyTrace_C_CALL) {
            // A first import runs the import hooks of whoever installed one
            // (and the new module's body): the import system's work, done
            // once, not the library's call. What it leaves in a namespace
            // the recording holds is seen there.
            Ref code(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
            if (code && code.get() == r.import)
                r.importing += what == PyTrace_CALL ? 1 : -1;
            else if (what == PyTrace_CALL && !r.importing) {
                Ref globals(PyFrame_GetGlobals(frame));
                if (!code || !globals)
                    r.lost = true;
                else if (!import_system(globals.get()))
                    note_code(r, code.get(), globals.get());
            }
        } else if (!r.foreign && !r.importing && !own_builtin(arg)) {
            r.foreign = true;
        }
        PyErr_Clear();
        PyErr_SetRaisedException(pending.release());
    }
    if (!r.chained)
        return 0;
    // the user's profile function sees every event, with the argument
    // it would have had
    Ref result(PyObject_CallFunctionObjArgs(r.chained, reinterpret_cast<PyObject*>(frame),
                                            what == PyTrace_CALL          ? g_event_names[0]
                                            : what == PyTrace_EXCEPTION   ? g_event_names[1]
                                            : what == PyTrace_RETURN      ? g_event_names[2]
                                            : what == PyTrace_C_CALL      ? g_event_names[3]
                                            : what == PyTrace_C_EXCEPTION ? g_event_names[4]
                                                                          : g_event_names[5],
                                            arg ? arg : Py_None, nullptr));
    if (result)
        return 0;
    // As the interpreter does when a profile function fails: it is unset,
    // and its exception is the call's.
    Ref(std::exchange(r.chained, nullptr));
    r.lost = true;
    return -1;
}

void forget(Recorder& r) {
    for (size_t i = 0; i < r.count; i++) {
        Ref code(r.codes[i]), globals(r.globals[i]);
    }
    r.count = 0;
}

// The code of importlib._bootstrap._find_and_load, through which every
// import that is not done yet runs; null if not found.
PyObject* import_code() {
    PyObject* bootstrap = PyDict_GetItemString(PyImport_GetModuleDict(), "_frozen_importlib");
    PyObject* find = bootstrap && PyModule_CheckExact(bootstrap)
                         ? PyDict_GetItemString(PyModule_GetDict(bootstrap), "_find_and_load")
                         : nullptr;
    return find && PyFunction_Check(find) ? Ref::hold(PyFunction_GetCode(find)).release() : nullptr;
}

// sys.<name>(*args), where sys has its own.
Ref call_sys(const char* name, PyObject* arg = nullptr) {
    PyObject* function = PySys_GetObject(name);  // borrowed
    if (!function || !PyCFunction_Check(function)) {
        PyErr_Format(PyExc_RuntimeError, "sys.%s is not the interpreter's", name);
        return {};
    }
    return Ref(arg ? PyObject_CallFunctionObjArgs(function, arg, nullptr) : PyObject_CallObject(function, nullptr));
}

// The thread's profile function's object (sys.getprofile()).
Ref current_profile() {
    return call_sys("getprofile");
}

// The verdict of a run from what it noted, and its dependencies (empty on
// failure).
Ref examine(Recorder& r, const Call& c, bool& own) {
    own = !r.foreign && !r.lost;
    bool own_codes[kMaxCodes];
    for (size_t i = 0; i < r.count; i++) {
        own_codes[i] = own_code(r.codes[i], r.globals[i]) && PyDict_Check(r.globals[i]);
        own = own && own_codes[i];
    }
    return collect_dependencies(r.codes, r.globals, own_codes, r.count, c.ns.builtins.get());
}

}  // namespace

Ref record_generic(Body generic, Call& c, Args a, ExtraDependencies extra, int branch, Record& out) {
    out = Record();
    if (g_recording)
        return generic(c, a);  // one recording at a time (another thread's, or re-entry)
    if (!g_sentinel)
        g_sentinel = PyCapsule_New(&g_recorder, "crypt_main.recorder", nullptr);
    // A profile function of the user's that sys.setprofile set is called
    // from ours; one of C's (cProfile before 3.12) cannot be: not now.
    Ref before = current_profile();
    bool chained = before && before.get() != Py_None && PyCallable_Check(before.get());
    if (!g_sentinel || !before || (before.get() != Py_None && !chained) || find_libraries() < 0 ||
        make_event_names() < 0) {
        PyErr_Clear();
        return generic(c, a);
    }
    Recorder& r = g_recorder;
    r.count = 0;
    r.foreign = r.lost = false;
    r.chained = chained ? Ref::hold(before.get()).release() : nullptr;
    r.importing = 0;
    r.import = import_code();
    g_recording = true;
    PyEval_SetProfile(on_event, g_sentinel);
    Ref still = current_profile();
    if (still.get() != g_sentinel)
        r.lost = true;  // refused (an audit hook): not recorded
    PyErr_Clear();
    // No collection meanwhile: its callbacks and finalizers are nobody's
    // calls of the library (when the collector runs is no part of a result).
    int collecting = PyGC_Disable();
    Ref result = generic(c, a);
    // From here on the call's own result or exception is kept aside.
    Ref raised(PyErr_GetRaisedException());
    if (collecting)
        PyGC_Enable();
    Ref after = current_profile();
    if (after.get() == g_sentinel) {
        // the user's profile function back, unless it failed meanwhile
        Ref user(std::exchange(r.chained, nullptr));
        if (user)
            Ref(call_sys("setprofile", user.get()));
        else
            PyEval_SetProfile(nullptr, nullptr);
    } else {
        r.lost = true;  // someone set another profile function meanwhile: theirs stays
    }
    Ref(std::exchange(r.chained, nullptr));
    Ref(std::exchange(r.import, nullptr));
    PyErr_Clear();
    g_recording = false;

    bool own = false;
    if (Ref dependencies = examine(r, c, own)) {
        out.dependencies = std::move(dependencies);
        out.verdict = own ? Verdict::Own : Verdict::Foreign;
        if (own && !raised && extra) {
            Dependencies d(out.dependencies.get());
            int rc = extra(branch, d);
            out.verdict = rc > 0 ? Verdict::Own : rc == 0 ? Verdict::Foreign : Verdict::Unrecorded;
        }
        if (!watch_all(out.dependencies.get()) && watching())
            out.verdict = Verdict::Unrecorded;
    }
    forget(r);
    PyErr_Clear();
    if (raised)
        PyErr_SetRaisedException(raised.release());
    return result;
}

}  // namespace cm
