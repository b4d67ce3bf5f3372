#include "common/watchers.h"

#include <cstddef>

namespace cm {

uint64_t g_generation = 1;

namespace {

int g_dict_watcher = -1;
int g_function_watcher = -1;

// Events per watched dict, by address, so that a look compares only the
// dicts that had any. Full, it counts nothing more: every dict is compared.
constexpr size_t kSlots = 8192;
struct Count {
    PyObject* dict;
    uint64_t events;
};
Count g_counts[kSlots];
size_t g_counted = 0;

Count* slot_of(PyObject* dict, bool add) {
    size_t i = (reinterpret_cast<uintptr_t>(dict) >> 4) % kSlots;
    for (size_t n = 0; n < kSlots; n++, i = (i + 1) % kSlots) {
        if (g_counts[i].dict == dict)
            return &g_counts[i];
        if (!g_counts[i].dict) {
            if (!add || g_counted >= kSlots / 2)
                return nullptr;
            g_counted++;
            g_counts[i].dict = dict;
            return &g_counts[i];
        }
    }
    return nullptr;
}

int on_dict_event(PyDict_WatchEvent, PyObject* dict, PyObject*, PyObject*) {
    g_generation++;
    if (Count* c = slot_of(dict, false))
        c->events++;
    return 0;
}

// Every function's changes: the watcher sees all functions anyway, and a
// changed __code__ or __defaults__ is rare enough that everyone comparing
// once more costs nothing worth a table of the functions looked at.
int on_function_event(PyFunction_WatchEvent event, PyFunctionObject*, PyObject*) {
    if (event != PyFunction_EVENT_CREATE && event != PyFunction_EVENT_DESTROY)
        g_generation++;
    return 0;
}

}  // namespace

void start_watchers() {
    if (g_dict_watcher < 0)
        g_dict_watcher = PyDict_AddWatcher(on_dict_event);
    if (g_function_watcher < 0)
        g_function_watcher = PyFunction_AddWatcher(on_function_event);
    PyErr_Clear();
}

bool watching() {
    return g_dict_watcher >= 0 && g_function_watcher >= 0;
}

bool watch_dict(PyObject* dict) {
    if (PyDict_Watch(g_dict_watcher, dict) == 0) {
        slot_of(dict, true);
        return true;
    }
    PyErr_Clear();
    return false;
}

uint64_t dict_events(PyObject* dict) {
    Count* c = watching() ? slot_of(dict, false) : nullptr;
    return c ? c->events : kUncounted;
}

}  // namespace cm
