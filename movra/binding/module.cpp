// The module object and its entry point: single-phase initialisation that readies both
// types and adds them and the exception class; nothing else happens at import.
#include <Python.h>

#include "../models/standard_multiserver.h"
#include "../models/standard_network_multiserver.h"
#include "protocol.h"

PyObject* PException = nullptr;

void dealloc(PyObject* self) {
    // Nothing is marked outside a sweep, so this frees every block.
    release(reinterpret_cast<MovraObject*>(self));
    Py_TYPE(self)->tp_free(self);
}

static PyModuleDef moduleDef = {
    PyModuleDef_HEAD_INIT, "movra", nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyMODINIT_FUNC PyInit_movra(void) {
    // The C++ runtime sets up its exception storage for this thread on the first throw;
    // doing it now means a later "Out of memory" can still be thrown when memory is gone.
    try {
        throw CException(msg::Internal);
    } catch (const CException&) {
    }
    if (PyType_Ready(&_StandardMultiserver_Type) < 0) return nullptr;
    if (PyType_Ready(&_StandardNetworkMultiserver_Type) < 0) return nullptr;
    PyObject* module = PyModule_Create2(&moduleDef, 1013);
    if (module == nullptr) return nullptr;

    Py_INCREF(&_StandardMultiserver_Type);
    if (PyModule_AddObject(module, "StandardMultiserver",
                           reinterpret_cast<PyObject*>(&_StandardMultiserver_Type)) < 0) {
        Py_DECREF(&_StandardMultiserver_Type);
        Py_DECREF(module);
        return nullptr;
    }
    Py_INCREF(&_StandardNetworkMultiserver_Type);
    if (PyModule_AddObject(module, "StandardNetworkMultiserver",
                           reinterpret_cast<PyObject*>(&_StandardNetworkMultiserver_Type)) < 0) {
        Py_DECREF(&_StandardNetworkMultiserver_Type);
        Py_DECREF(module);
        return nullptr;
    }
    PException = PyErr_NewException("movra.error", nullptr, nullptr);
    Py_XINCREF(PException);
    if (PyModule_AddObject(module, "error", PException) < 0) {
        Py_XDECREF(PException);
        Py_CLEAR(PException);
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
