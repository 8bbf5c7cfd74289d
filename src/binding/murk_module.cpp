// Module initialisation: the classes are registered in a fixed order, which
// is also the order of __all__.
#include <Python.h>

#include "frame.hpp"

namespace murk::py {
ClassDef bloom_class();
ClassDef counting_bloom_class();
ClassDef scalable_bloom_class();
ClassDef cuckoo_class();
ClassDef hyperloglog_class();
ClassDef count_min_sketch_class();
ClassDef minhash_class();
ClassDef topk_class();
}

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_murk",
    "A Python module for probabilistic data structures.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* the_module = nullptr;

}  // namespace

PyMODINIT_FUNC PyInit__murk(void) {
    // Types are process-wide, so the module can exist only once per process.
    if (the_module) {
        PyErr_SetString(PyExc_ImportError, "_murk can only be initialised once per process");
        return nullptr;
    }
    PyObject* m = PyModule_Create(&module_def);
    if (!m) return nullptr;
    try {
        using namespace murk::py;
        for (auto make : {bloom_class, counting_bloom_class, scalable_bloom_class, cuckoo_class, hyperloglog_class, count_min_sketch_class, minhash_class, topk_class}) {
            if (add_class(m, make()) < 0) {
                Py_DECREF(m);
                return nullptr;
            }
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
