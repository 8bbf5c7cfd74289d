// Module murk._lsh: the MinHashLSH index, in a module of its own beside _murk,
// whose MinHash objects it reads.
#include <Python.h>

#include "frame.hpp"

namespace murk::py {
ClassDef minhash_lsh_class();
int import_minhash_type();
}

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "murk._lsh",
    "Near-duplicate search: an LSH index over the MinHash signatures of _murk.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* the_module = nullptr;

}  // namespace

PyMODINIT_FUNC PyInit__lsh(void) {
    // The type is process-wide, so the module can exist only once per process.
    if (the_module) {
        PyErr_SetString(PyExc_ImportError, "murk._lsh can only be initialised once per process");
        return nullptr;
    }
    if (murk::py::import_minhash_type() < 0) return nullptr;
    PyObject* m = PyModule_Create(&module_def);
    if (!m) return nullptr;
    try {
        if (murk::py::add_class(m, murk::py::minhash_lsh_class()) < 0) {
            Py_DECREF(m);
            return nullptr;
        }
    } catch (...) {
        murk::py::set_python_error();
        Py_DECREF(m);
        return nullptr;
    }
    Py_INCREF(m);
    the_module = m;
    return m;
}
