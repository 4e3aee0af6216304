#include "zorvan/interpreter_store.hpp"

#include <Python.h>

namespace zorvan {

namespace {

constexpr const char* kStoreKey = "zorvanai.interpreter_store";

}  // namespace

py::dict interpreter_store() {
    // A borrowed reference to a dictionary that the interpreter clears when
    // it is finalised.
    PyObject* state = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (state == nullptr) throw std::runtime_error("the interpreter has no state dictionary");
    PyObject* found = PyDict_GetItemString(state, kStoreKey);
    if (found != nullptr) return py::reinterpret_borrow<py::dict>(found);
    py::dict store;
    if (PyDict_SetItemString(state, kStoreKey, store.ptr()) != 0) throw py::error_already_set();
    return store;
}

py::object kept(const char* key, const std::function<py::object()>& make) {
    py::dict store = interpreter_store();
    PyObject* found = PyDict_GetItemString(store.ptr(), key);
    if (found != nullptr) return py::reinterpret_borrow<py::object>(found);
    py::object made = make();
    // `make` may have kept the same key while it ran; the first one stays.
    found = PyDict_GetItemString(store.ptr(), key);
    if (found != nullptr) return py::reinterpret_borrow<py::object>(found);
    store[key] = made;
    return made;
}

}  // namespace zorvan
