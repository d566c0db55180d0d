// The extension module movra._movra and its entry point: single-phase initialisation that
// readies the types and adds them and the exception class; nothing else happens at import.
// The package movra (src/movra) re-exports them; their names say "movra.", so __module__,
// pickles and the exception's name are those of the package.
#include <Python.h>
#include <unistd.h>

#include "model_objects.h"
#include "protocol.h"

namespace movra {

PyObject* marginalRecord_Py(PyObject*, PyObject* model);  // record.cpp
// planning_entries.cpp
PyObject* waitingTime_Py(PyObject*, PyObject* args);
PyObject* serviceFigures_Py(PyObject*, PyObject* model);
PyObject* stepChange_Py(PyObject*, PyObject* model);

PyObject* PException = nullptr;
unsigned long long physicalMemory = 0;

namespace {

PyDoc_STRVAR(
    moduleDoc,
    "Discrete-time queueing models computed with probability mass functions.\n\n"
    "StandardMultiserver is one station with c identical servers (exact for c = 1, an\n"
    "approximation for more); StandardNetworkMultiserver is N stations joined by routing\n"
    "probabilities (nodes carried as independent PMFs), and ExactNetworkMultiserver such a\n"
    "network carried as one joint PMF of the nodes' exact states; ExactMultiserver is one station\n"
    "exact for any number of servers, carrying every busy server's remaining time.\n"
    "Each holds the PMF of its state, maps it forward with step(), conditions it on\n"
    "observations, resets, marks and restores it. PMFs are dicts {value: probability}\n"
    "or {(z, ell): probability}; failures raise movra.error with a fixed message.");

PyMethodDef moduleMethods[] = {
    {"_marginal_record", marginalRecord_Py, METH_O,
     "_marginal_record(model, /)\n--\n\n"
     "(offset, bytes of doubles) of the PMF of the number in system; a tuple of them per\n"
     "node for a network. Private to movra.run."},
    {"_waiting_time", waitingTime_Py, METH_VARARGS,
     "_waiting_time(station, position, tail=None, /)\n--\n\n"
     "The PMF of the wait of a random arrival (position None) or of the entity with\n"
     "position entities waiting ahead: bytes of doubles, or with tail a dict whose tails\n"
     "below tail / 2 are cut. Private to movra.planning."},
    {"_service_figures", serviceFigures_Py, METH_O,
     "_service_figures(station, /)\n--\n\n"
     "(expected busy servers, bytes of doubles: the PMF of the next step's completions).\n"
     "Private to movra.planning."},
    {"_step_change", stepChange_Py, METH_O,
     "_step_change(model, /)\n--\n\n"
     "Steps the model and returns the total variation between the PMFs of the number in\n"
     "system before and after (the largest over a network's nodes). Private to\n"
     "movra.steady_state."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef moduleDef = {
    PyModuleDef_HEAD_INIT,
    "movra._movra",
    moduleDoc,
    -1,
    moduleMethods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* initModule() {
    // The C++ runtime sets up its exception storage for this thread on the first throw;
    // doing it now means a later "Out of memory" can still be thrown when memory is gone.
    try {
        throw CException(msg::Internal);
    } catch (const CException&) {}
    // Unknown (0) sets no limit beyond the per-block cap.
    const long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGE_SIZE);
    if (pages > 0 && pageSize > 0)
        physicalMemory = (unsigned long long)pages * (unsigned long long)pageSize;
    if (PyType_Ready(&StandardMultiserverType) < 0) return nullptr;
    if (PyType_Ready(&StandardNetworkMultiserverType) < 0) return nullptr;
    if (PyType_Ready(&ExactMultiserverType) < 0) return nullptr;
    if (PyType_Ready(&ExactNetworkMultiserverType) < 0) return nullptr;
    PyRef module(PyModule_Create2(&moduleDef, 1013));
    if (!module.get()) return nullptr;
#ifdef Py_GIL_DISABLED
    // Said outright, though it is the default: the busy flag and the conversions count on
    // the interpreter's lock (ARCHITECTURE.md, "Free-threaded CPython").
    if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_USED) < 0) return nullptr;
#endif
    // PyModule_AddType takes its own reference to the type on success.
    if (PyModule_AddType(module.get(), &StandardMultiserverType) < 0) return nullptr;
    if (PyModule_AddType(module.get(), &StandardNetworkMultiserverType) < 0) return nullptr;
    if (PyModule_AddType(module.get(), &ExactMultiserverType) < 0) return nullptr;
    if (PyModule_AddType(module.get(), &ExactNetworkMultiserverType) < 0) return nullptr;
    if (PyModule_AddStringConstant(module.get(), "__version__", MOVRA_VERSION) < 0) return nullptr;
    PyRef error(PyErr_NewException("movra.error", nullptr, nullptr));
    if (!error.get()) return nullptr;
    if (PyModule_AddObjectRef(module.get(), "error", error.get()) < 0) return nullptr;
    // PException keeps the reference made here for the life of the interpreter.
    PException = error.release();
    return module.release();
}

}  // namespace

}  // namespace movra

PyMODINIT_FUNC PyInit__movra(void) { return movra::initModule(); }
