#include "frame_binding.hpp"

#include <algorithm>
#include <list>

namespace murk::py {

// ---------------------------------------------------------------- scalars

u64 to_u64(PyObject* o) {
    Ref idx = checked(PyNumber_Index(o));
    unsigned long long v = PyLong_AsUnsignedLongLong(idx.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) raise();
    return v;
}

u32 to_u32(PyObject* o) {
    u64 v = to_u64(o);
    if (v > 0xffffffffULL) raise(PyExc_OverflowError, "out of range integral type conversion attempted");
    return static_cast<u32>(v);
}

u8 to_u8(PyObject* o) {
    Ref idx = checked(PyNumber_Index(o));
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(idx.get(), &overflow);
    if (v == -1 && !overflow && PyErr_Occurred()) raise();
    if (overflow || v < 0 || v > 255) raise(PyExc_OverflowError, "out of range integral type conversion attempted");
    return static_cast<u8>(v);
}

double to_double(PyObject* o) {
    double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) raise();
    return v;
}

void to_hashes(PyObject* o, Hashes& out) {
    require_sequence(o);
    if (out.try_buffer(o)) return;
    Py_ssize_t hint = PyObject_Size(o);
    if (hint < 0) PyErr_Clear();
    else out.v.reserve(static_cast<std::size_t>(hint));
    Ref it = checked(PyObject_GetIter(o));
    while (Ref e{PyIter_Next(it.get())}) out.v.push_back(to_u64(e.get()));
    if (PyErr_Occurred()) raise();
    out.use_copy();
}

void to_text(PyObject* o, Text& out) {
    if (!PyUnicode_Check(o)) raise_cannot_convert(o, "str");
    Py_ssize_t n;
    const char* p = PyUnicode_AsUTF8AndSize(o, &n);
    if (!p) raise();
    Py_INCREF(o);
    out.owner = Ref(o);
    out.s = std::string_view(p, static_cast<std::size_t>(n));
}

void to_bytes(PyObject* o, ByteData& out) {
    if (PyBytes_Check(o)) {
        char* p;
        Py_ssize_t n;
        if (PyBytes_AsStringAndSize(o, &p, &n) < 0) raise();
        Py_INCREF(o);
        out.owner = Ref(o);
        out.s = std::string_view(p, static_cast<std::size_t>(n));
        return;
    }
    require_sequence(o);
    if (PyObject_CheckBuffer(o)) {
        Py_buffer v;
        if (PyObject_GetBuffer(o, &v, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) == 0) {
            bool plain = v.itemsize == 1 && (v.format == nullptr || std::strcmp(v.format, "B") == 0);
            if (plain) out.buf.assign(static_cast<const char*>(v.buf), static_cast<const char*>(v.buf) + v.len);
            PyBuffer_Release(&v);
            if (plain) {
                out.s = std::string_view(out.buf.data(), out.buf.size());
                return;
            }
        } else {
            PyErr_Clear();
        }
    }
    Ref it = checked(PyObject_GetIter(o));
    while (Ref e{PyIter_Next(it.get())}) out.buf.push_back(static_cast<char>(to_u8(e.get())));
    if (PyErr_Occurred()) raise();
    out.s = std::string_view(out.buf.data(), out.buf.size());
}

// ---------------------------------------------------------------- results

PyObject* to_py(bool v) { return PyBool_FromLong(v); }
PyObject* to_py(u64 v) { return PyLong_FromUnsignedLongLong(v); }
PyObject* to_py(u32 v) { return PyLong_FromUnsignedLong(v); }
PyObject* to_py(int v) { return PyLong_FromLong(v); }
PyObject* to_py(double v) { return PyFloat_FromDouble(v); }
PyObject* to_py(const std::string& v) { return PyUnicode_FromStringAndSize(v.data(), static_cast<Py_ssize_t>(v.size())); }
PyObject* to_py(const char* v) { return PyUnicode_FromString(v); }
PyObject* to_py(const Bytes& v) { return PyBytes_FromStringAndSize(v.s.data(), static_cast<Py_ssize_t>(v.s.size())); }
PyObject* to_py(None) { Py_RETURN_NONE; }

PyObject* to_py(const Bools& v) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(v.v.size()));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < v.v.size(); ++i) {
        PyObject* b = v.v[i] ? Py_True : Py_False;
        Py_INCREF(b);
        PyList_SetItem(list, static_cast<Py_ssize_t>(i), b);
    }
    return list;
}

PyObject* to_py(const std::vector<u64>& v) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(v.size()));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < v.size(); ++i) {
        PyObject* x = PyLong_FromUnsignedLongLong(v[i]);
        if (!x) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SetItem(list, static_cast<Py_ssize_t>(i), x);
    }
    return list;
}

// ---------------------------------------------------------------- binding

static PyObject* default_value(std::string_view lit) {
    if (lit == "None") Py_RETURN_NONE;
    if (lit == "True") Py_RETURN_TRUE;
    if (lit == "False") Py_RETURN_FALSE;
    std::string s(lit);
    if (s.find_first_of(".eE") != std::string::npos || s == "inf" || s == "nan") {
        Ref str = checked(PyUnicode_FromString(s.c_str()));
        return PyFloat_FromString(str.get());
    }
    return PyLong_FromString(s.c_str(), nullptr, 10);
}

Signature parse_signature(const char* doc, const char* cls) {
    Signature sig;
    std::string_view d(doc);
    std::size_t open = d.find('('), close = d.find(')');
    sig.name = std::string(d.substr(0, open));
    sig.fn = std::string(cls) + "." + (sig.name == cls ? std::string("__new__") : sig.name) + "()";
    std::string_view inner = d.substr(open + 1, close - open - 1);
    while (!inner.empty()) {
        std::size_t comma = inner.find(',');
        std::string_view p = inner.substr(0, comma);
        inner = comma == std::string_view::npos ? std::string_view() : inner.substr(comma + 1);
        while (!p.empty() && p.front() == ' ') p.remove_prefix(1);
        if (p.empty() || p.front() == '$') continue;
        std::size_t eq = p.find('=');
        sig.params.emplace_back(p.substr(0, eq));
        if (eq == std::string_view::npos) {
            sig.defaults.push_back(nullptr);
            ++sig.required;
        } else {
            PyObject* v = default_value(p.substr(eq + 1));
            if (!v) raise();
            sig.defaults.push_back(v);  // kept for the life of the process
        }
    }
    return sig;
}

static std::string quoted_list(const std::vector<std::string>& names) {
    std::string s;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) s += i + 1 == names.size() ? " and " : ", ";
        s += "'" + names[i] + "'";
    }
    return s;
}

void bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    const std::size_t np = sig.params.size();
    if (static_cast<std::size_t>(nargs) > np) {
        std::string m = std::to_string(nargs);
        std::string verb = nargs == 1 ? " was given" : " were given";
        if (sig.required == np)
            raise(PyExc_TypeError, sig.fn + " takes " + std::to_string(np) + " positional arguments but " + m + verb);
        raise(PyExc_TypeError, sig.fn + " takes from " + std::to_string(sig.required) + " to " + std::to_string(np) +
                                   " positional arguments but " + m + verb);
    }
    for (std::size_t i = 0; i < np; ++i) out[i] = i < static_cast<std::size_t>(nargs) ? args[i] : nullptr;
    Py_ssize_t nkw = kwnames ? PyTuple_Size(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GetItem(kwnames, k);
        Py_ssize_t kn;
        const char* ks = PyUnicode_AsUTF8AndSize(key, &kn);
        if (!ks) raise();
        std::string_view kv(ks, static_cast<std::size_t>(kn));
        std::size_t j = 0;
        while (j < np && sig.params[j] != kv) ++j;
        if (j == np) raise(PyExc_TypeError, sig.fn + " got an unexpected keyword argument '" + std::string(kv) + "'");
        if (out[j]) raise(PyExc_TypeError, sig.fn + " got multiple values for argument '" + std::string(kv) + "'");
        out[j] = args[nargs + k];
    }
    std::vector<std::string> missing;
    for (std::size_t i = 0; i < sig.required; ++i)
        if (!out[i]) missing.push_back(sig.params[i]);
    if (!missing.empty())
        raise(PyExc_TypeError, sig.fn + " missing " + std::to_string(missing.size()) + " required positional argument" +
                                   (missing.size() == 1 ? "" : "s") + ": " + quoted_list(missing));
    for (std::size_t i = sig.required; i < np; ++i)
        if (!out[i]) out[i] = sig.defaults[i];
}

PyObject* new_from_tuple(PyObject* args, PyObject* kwargs,
                         PyObject* (*fast)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)) {
    Py_ssize_t nargs = PyTuple_Size(args);
    Py_ssize_t nkw = kwargs ? PyDict_Size(kwargs) : 0;
    std::vector<PyObject*> all(static_cast<std::size_t>(nargs + nkw));
    for (Py_ssize_t i = 0; i < nargs; ++i) all[static_cast<std::size_t>(i)] = PyTuple_GetItem(args, i);
    Ref names;
    if (nkw > 0) {
        names = Ref(PyTuple_New(nkw));
        if (!names) return nullptr;
        Py_ssize_t pos = 0, k = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            Py_INCREF(key);
            PyTuple_SetItem(names.get(), k, key);
            all[static_cast<std::size_t>(nargs + k)] = value;
            ++k;
        }
    }
    return fast(nullptr, all.data(), nargs, names.get());
}

// ---------------------------------------------------------------- types

int add_class(PyObject* module, ClassDef def) {
    std::string qualified = std::string(def.module) + "." + def.name;
    static std::list<std::string> names;  // the type keeps pointing at its spec's name
    names.push_back(qualified);
    std::vector<PyType_Slot> slots = def.slots;
    slots.push_back({Py_tp_doc, const_cast<char*>(def.doc)});
    slots.push_back({Py_tp_methods, def.methods});
    if (def.getset) slots.push_back({Py_tp_getset, def.getset});
    slots.push_back(slot(Py_tp_dealloc, def.dealloc));
    slots.push_back({0, nullptr});
    PyType_Spec spec{names.back().c_str(), static_cast<int>(def.basicsize), 0, Py_TPFLAGS_DEFAULT, slots.data()};
    PyObject* type = PyType_FromSpec(&spec);
    if (!type) return -1;
    *def.type_out = reinterpret_cast<PyTypeObject*>(type);
    Py_INCREF(type);  // the static pointer keeps one reference for the process
    if (PyModule_AddObject(module, def.name, type) < 0) {
        Py_DECREF(type);
        return -1;
    }
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (!all) {
        PyErr_Clear();
        all = PyList_New(0);
        if (!all || PyModule_AddObject(module, "__all__", all) < 0) return -1;
        Py_INCREF(all);
    }
    Ref all_ref(all);
    Ref name = checked(PyUnicode_FromString(def.name));
    return PyList_Append(all, name.get());
}

PyObject* create_module(PyModuleDef& def, std::initializer_list<ClassDef (*)()> classes) {
    // Per process, not per interpreter: a sub-interpreter must not get a second set of types.
    static std::vector<const PyModuleDef*> created;
    if (std::find(created.begin(), created.end(), &def) != created.end()) {
        PyErr_Format(PyExc_ImportError, "%s can only be initialised once per process", def.m_name);
        return nullptr;
    }
    Ref m(PyModule_Create(&def));
    if (!m) return nullptr;
    try {
        for (auto make : classes)
            if (add_class(m.get(), make()) < 0) return nullptr;
        created.push_back(&def);
    } catch (...) {
        set_python_error();
        return nullptr;
    }
    return m.release();
}

}  // namespace murk::py
