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

}  // namespace

PyMODINIT_FUNC PyInit__lsh(void) {
    if (murk::py::import_minhash_type() < 0) return nullptr;
    return murk::py::create_module(module_def, {murk::py::minhash_lsh_class});
}
