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

}  // namespace

PyMODINIT_FUNC PyInit__murk(void) {
    using namespace murk::py;
    return create_module(module_def, {bloom_class, counting_bloom_class, scalable_bloom_class, cuckoo_class,
                                      hyperloglog_class, count_min_sketch_class, minhash_class, topk_class});
}
