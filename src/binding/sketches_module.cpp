// Module murk._sketches: the package's own native classes (the MinHashLSH
// index, which reads _murk's MinHash objects, and the sketches added beside
// _murk's specified eight), in one module beside _murk.
#include <Python.h>

#include "frame.hpp"

namespace murk::py {
ClassDef minhash_lsh_class();
ClassDef kll_class();
ClassDef ddsketch_class();
ClassDef theta_sketch_class();
int import_minhash_type();
extern PyMethodDef line_functions[];
}

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "murk._sketches",
    "The package's own native classes: the MinHashLSH index and the sketches beside _murk's.",
    0,
    murk::py::line_functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__sketches(void) {
    if (murk::py::import_minhash_type() < 0) return nullptr;
    return murk::py::create_module(module_def, {
        murk::py::minhash_lsh_class,
        murk::py::kll_class,
        murk::py::ddsketch_class,
        murk::py::theta_sketch_class,
    });
}
