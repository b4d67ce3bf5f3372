#include "common/watchers.h"

namespace cm {

uint64_t g_generation = 1;

namespace {

int g_dict_watcher = -1;
int g_function_watcher = -1;

int on_dict_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    g_generation++;
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
    if (PyDict_Watch(g_dict_watcher, dict) == 0)
        return true;
    PyErr_Clear();
    return false;
}

}  // namespace cm
