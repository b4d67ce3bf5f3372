#include "common/names.h"

namespace cm {

Name* Name::head_ = nullptr;
KwNames* KwNames::head_ = nullptr;

Name::Name(const char* text) : text_(text), next_(head_) { head_ = this; }

KwNames::KwNames(const char* const* names, Py_ssize_t size) : size_(size), next_(head_) {
    for (Py_ssize_t i = 0; i < size; i++)
        names_[i] = names[i];
    head_ = this;
}

int Name::make_all() {
    for (Name* n = head_; n; n = n->next_) {
        if (n->obj_)
            continue;
        n->obj_ = PyUnicode_InternFromString(n->text_);
        if (!n->obj_)
            return -1;
    }
    for (KwNames* k = KwNames::head_; k; k = k->next_) {
        if (k->obj_)
            continue;
        Ref tuple(PyTuple_New(k->size_));
        if (!tuple)
            return -1;
        for (Py_ssize_t i = 0; i < k->size_; i++) {
            PyObject* name = PyUnicode_InternFromString(k->names_[i]);
            if (!name)
                return -1;
            PyTuple_SET_ITEM(tuple.get(), i, name);
        }
        k->obj_ = keep(std::move(tuple));
    }
    return 0;
}

}  // namespace cm
