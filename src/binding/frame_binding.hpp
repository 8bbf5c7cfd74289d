// Argument binding and calls: a class file declares its methods as plain
// C++ functions and lists them with a docstring whose first line is the
// Python signature; from that line the frame derives the argument names,
// which are required, the defaults and whether it is a static method. The
// C++ parameter types say how each argument is converted, the constness of
// the self parameter whether the object is borrowed shared or exclusively,
// and a batch parameter that the call runs without the GIL.
#pragma once

#include "frame_batches.hpp"

namespace murk::py {

// ---------------------------------------------------------------- objects

// Specialised by each class file with `static constexpr const char* name` and
// `static inline PyTypeObject* type`.
template <class T>
struct ClassInfo {};

template <class T>
struct Obj {
    PyObject_HEAD
    int borrow;  // 0 free, > 0 shared borrows, -1 borrowed exclusively
    union {
        T value;
    };
};

template <class T>
inline Obj<T>* obj(PyObject* o) {
    return reinterpret_cast<Obj<T>*>(o);
}

template <class T>
inline bool is_instance(PyObject* o) {
    return PyObject_TypeCheck(o, ClassInfo<T>::type);
}

// A new Python object holding v.
template <class T>
PyObject* wrap(T&& v) {
    PyTypeObject* tp = ClassInfo<std::decay_t<T>>::type;
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(tp, Py_tp_alloc));
    PyObject* o = alloc(tp, 0);
    if (!o) raise();
    obj<std::decay_t<T>>(o)->borrow = 0;
    new (&obj<std::decay_t<T>>(o)->value) std::decay_t<T>(std::forward<T>(v));
    return o;
}

template <class T>
void dealloc(PyObject* o) {
    PyTypeObject* tp = Py_TYPE(o);
    obj<T>(o)->value.~T();
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free));
    free_fn(o);
    Py_DECREF(tp);
}

// Borrow guards: checked and set with the GIL held, so a plain int suffices.
class SharedBorrow {
public:
    explicit SharedBorrow(int& f) : f_(&f) {
        if (*f_ < 0) raise(PyExc_RuntimeError, "Already mutably borrowed");
        ++*f_;
    }
    SharedBorrow(SharedBorrow&& o) noexcept : f_(std::exchange(o.f_, nullptr)) {}
    ~SharedBorrow() {
        if (f_) --*f_;
    }

private:
    int* f_;
};

class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(int& f) : f_(&f) {
        if (*f_ != 0) raise(PyExc_RuntimeError, "Already borrowed");
        *f_ = -1;
    }
    ~ExclusiveBorrow() { *f_ = 0; }

private:
    int* f_;
};


// `str` argument (JSON text, file paths).
struct Text {
    std::string_view s;
    Ref owner;
};

// Byte data (`from_bytes`): bytes in place, anything else copied.
struct ByteData {
    std::string_view s;
    Ref owner;
    std::vector<char> buf;
};
// Conversions. convert<T>(o) raises on failure; the caller adds the argument prefix.
u64 to_u64(PyObject* o);
u32 to_u32(PyObject* o);
u8 to_u8(PyObject* o);
double to_double(PyObject* o);
void to_text(PyObject* o, Text& out);
void to_bytes(PyObject* o, ByteData& out);

// Another instance of a class, borrowed shared for the duration of the call.
template <class T>
struct Other {
    const T* p = nullptr;
    std::optional<SharedBorrow> borrow;
    const T& operator*() const { return *p; }
    const T* operator->() const { return p; }
};

template <class T>
struct Conv;
template <>
struct Conv<u64> {
    static u64 get(PyObject* o) { return to_u64(o); }
};
template <>
struct Conv<u32> {
    static u32 get(PyObject* o) { return to_u32(o); }
};
template <>
struct Conv<u8> {
    static u8 get(PyObject* o) { return to_u8(o); }
};
template <>
struct Conv<double> {
    static double get(PyObject* o) { return to_double(o); }
};
template <class T>
struct Conv<std::optional<T>> {
    static std::optional<T> get(PyObject* o) {
        if (o == Py_None) return std::nullopt;
        return Conv<T>::get(o);
    }
};
template <>
struct Conv<Item> {
    // Reduction errors (a failing __str__) propagate unchanged.
    static constexpr bool unprefixed = true;
    static Item get(PyObject* o) {
        Item it;
        to_key(o, it);
        return it;
    }
};
template <>
struct Conv<Items> {
    static constexpr bool unprefixed = true;
    static Items get(PyObject* o) {
        Items it;
        it.gather(o);
        return it;
    }
};
template <>
struct Conv<Text> {
    static Text get(PyObject* o) {
        Text t;
        to_text(o, t);
        return t;
    }
};
template <>
struct Conv<ByteData> {
    static ByteData get(PyObject* o) {
        ByteData b;
        to_bytes(o, b);
        return b;
    }
};
template <>
struct Conv<Hashes> {
    // Checked inside the method body: errors carry no argument prefix.
    static constexpr bool unprefixed = true;
    static Hashes get(PyObject* o) {
        Hashes h;
        to_hashes(o, h);
        return h;
    }
};
template <>
struct Conv<Column> {
    static Column get(PyObject* o) {
        Column c;
        c.import(o, false);
        return c;
    }
};
template <>
struct Conv<TextColumn> {
    static TextColumn get(PyObject* o) {
        TextColumn c;
        c.import(o, true);
        return c;
    }
};
template <>
struct Conv<Lines> {
    static Lines get(PyObject* o) {
        Lines l;
        l.import(o);
        return l;
    }
};
template <class T>
struct Conv<Other<T>> {
    static Other<T> get(PyObject* o) {
        if (!is_instance<T>(o)) raise_cannot_convert(o, ClassInfo<T>::name);
        Other<T> r;
        r.borrow.emplace(obj<T>(o)->borrow);
        r.p = &obj<T>(o)->value;
        return r;
    }
};

template <class T>
concept Unprefixed = requires { Conv<T>::unprefixed; };

// Converts with the "argument 'name': " prefix on TypeErrors.
template <class T>
T convert(PyObject* o, const char* name);

template <class T>
T convert(PyObject* o, const char* name) {
    if constexpr (Unprefixed<T>) {
        return Conv<T>::get(o);
    } else {
        try {
            return Conv<T>::get(o);
        } catch (PyErrSet&) {
            prefix_type_error(name);
            throw;
        }
    }
}

// ---------------------------------------------------------------- results

struct Bytes {
    std::string s;
};
struct Bools {
    std::vector<u8> v;
};
struct None {};

PyObject* to_py(bool v);
PyObject* to_py(u64 v);
PyObject* to_py(u32 v);
PyObject* to_py(int v);
PyObject* to_py(double v);
PyObject* to_py(const std::string& v);
PyObject* to_py(const char* v);
PyObject* to_py(const Bytes& v);
PyObject* to_py(const Bools& v);
PyObject* to_py(const std::vector<u64>& v);
PyObject* to_py(None);
PyObject* to_py(RowBools&& v);
PyObject* to_py(RowCounts&& v);
template <class A, class B>
PyObject* to_py(const std::pair<A, B>& v) {
    Ref a(to_py(v.first)), b(to_py(v.second));
    return PyTuple_Pack(2, a.get(), b.get());
}
template <class T>
    requires requires { ClassInfo<Bare<T>>::type; }
PyObject* to_py(T&& v) {
    return wrap(std::forward<T>(v));
}

// ---------------------------------------------------------------- signatures

template <std::size_t N>
struct Doc {
    char s[N];
    constexpr Doc(const char (&str)[N]) {
        for (std::size_t i = 0; i < N; ++i) s[i] = str[i];
    }
    constexpr std::size_t params() const {  // parameters after $self
        std::size_t open = 0;
        while (s[open] != '(') ++open;
        if (s[open + 1] == ')') return 0;
        std::size_t n = 1;
        for (std::size_t i = open + 1; s[i] != ')'; ++i) n += s[i] == ',';
        return has_self() ? n - 1 : n;
    }
    constexpr bool has_self() const {
        std::size_t open = 0;
        while (s[open] != '(') ++open;
        return s[open + 1] == '$';
    }
};

// The parsed first docstring line; built once per method.
struct Signature {
    std::string fn;  // "BloomFilter.add()"
    std::string name;
    std::vector<std::string> params;
    std::vector<PyObject*> defaults;  // nullptr when required (owned, immortal for the process)
    std::size_t required = 0;
};
Signature parse_signature(const char* doc, const char* cls);

// Binds fastcall arguments into out[] (defaults filled in); raises TypeError.
void bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

// ---------------------------------------------------------------- calls

template <class F>
struct FnTraits;
template <class R, class... A>
struct FnTraits<R (*)(A...)> {
    using Ret = R;
    using Args = std::tuple<A...>;
    static constexpr std::size_t arity = sizeof...(A);
};

// Runs f with the GIL released; exceptions cross back once the GIL is held.
template <class F>
decltype(auto) without_gil(F&& f) {
    std::exception_ptr err;
    PyThreadState* ts = PyEval_SaveThread();
    using R = decltype(f());
    if constexpr (std::is_void_v<R>) {
        try {
            f();
        } catch (...) {
            err = std::current_exception();
        }
        PyEval_RestoreThread(ts);
        if (err) std::rethrow_exception(err);
    } else {
        std::optional<R> r;
        try {
            r.emplace(f());
        } catch (...) {
            err = std::current_exception();
        }
        PyEval_RestoreThread(ts);
        if (err) std::rethrow_exception(err);
        return R(std::move(*r));
    }
}

template <class R>
PyObject* result(auto&& call) {
    if constexpr (std::is_void_v<R>) {
        call();
        Py_RETURN_NONE;
    } else {
        return to_py(call());
    }
}

template <class Tuple>
struct Tail;
template <class H, class... R>
struct Tail<std::tuple<H, R...>> {
    using type = std::tuple<R...>;
};

template <class Self, class Fn, class Tuple, std::size_t... I>
PyObject* invoke(Fn fn, Self* self, PyObject** slots, const Signature& sig, std::index_sequence<I...>) {
    using Args = Tuple;
    constexpr bool batch = (is_batch<Bare<std::tuple_element_t<I, Args>>>::value || ... || false);
    // Arguments are converted in order, after the borrow, each with its own name.
    std::tuple<Bare<std::tuple_element_t<I, Args>>...> conv{
        convert<Bare<std::tuple_element_t<I, Args>>>(slots[I], sig.params[I].c_str())...};
    using R = typename FnTraits<Fn>::Ret;
    auto call = [&]() -> decltype(auto) {
        if constexpr (std::is_same_v<Self, void>)
            return fn(std::get<I>(conv)...);
        else
            return fn(*self, std::get<I>(conv)...);
    };
    if constexpr (batch) {
        if constexpr (std::is_void_v<R>) {
            without_gil(call);
            Py_RETURN_NONE;
        } else {
            auto r = without_gil(call);
            return to_py(std::move(r));
        }
    } else {
        return result<R>(call);
    }
}

// METH_FASTCALL | METH_KEYWORDS entry point of one method.
template <Doc D, auto F>
PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    using Fn = decltype(+F);
    using Tr = FnTraits<Fn>;
    using AllArgs = typename Tr::Args;
    constexpr bool has_self = D.has_self();
    static_assert(Tr::arity == D.params() + (has_self ? 1 : 0), "signature line and C++ parameters differ");
    try {
        if constexpr (has_self) {
            using SelfRef = std::tuple_element_t<0, AllArgs>;
            using T = Bare<SelfRef>;
            static const Signature sig = parse_signature(D.s, ClassInfo<T>::name);
            PyObject* slots[D.params() + 1];
            bind(sig, args, nargs, kwnames, slots);
            using Rest = typename Tail<AllArgs>::type;
            T* value = &obj<T>(self)->value;
            if constexpr (std::is_const_v<std::remove_reference_t<SelfRef>>) {
                SharedBorrow b(obj<T>(self)->borrow);
                return invoke<const T, Fn, Rest>(+F, value, slots, sig,
                                                               std::make_index_sequence<Tr::arity - 1>{});
            } else {
                ExclusiveBorrow b(obj<T>(self)->borrow);
                return invoke<T, Fn, Rest>(+F, value, slots, sig,
                                                            std::make_index_sequence<Tr::arity - 1>{});
            }
        } else {
            using T = Bare<typename Tr::Ret>;
            static const Signature sig = parse_signature(D.s, ClassInfo<T>::name);
            PyObject* slots[D.params() + 1];
            bind(sig, args, nargs, kwnames, slots);
            return invoke<void, Fn, AllArgs>(+F, nullptr, slots, sig, std::make_index_sequence<Tr::arity>{});
        }
    } catch (...) {
        set_python_error();
        return nullptr;
    }
}

// The method name: the docstring up to its opening parenthesis.
template <Doc D>
struct NameOf {
    static constexpr auto value = [] {
        std::array<char, sizeof(D.s)> a{};
        for (std::size_t i = 0; D.s[i] != '('; ++i) a[i] = D.s[i];
        return a;
    }();
};

template <Doc D, auto F>
PyMethodDef def() {
    return PyMethodDef{NameOf<D>::value.data(), reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&method<D, F>)),
                       METH_FASTCALL | METH_KEYWORDS | (D.has_self() ? 0 : METH_STATIC), D.s};
}

// tp_new: positional tuple and keyword dict rebound as a fastcall.
PyObject* new_from_tuple(PyObject* args, PyObject* kwargs,
                         PyObject* (*fast)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*));

template <Doc D, auto F>
PyObject* constructor(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return new_from_tuple(args, kwargs, &method<D, F>);
}

// ---------------------------------------------------------------- slots and properties

template <auto F>
PyObject* prop(PyObject* self, void*) {
    using Fn = decltype(+F);
    using T = Bare<std::tuple_element_t<0, typename FnTraits<Fn>::Args>>;
    try {
        SharedBorrow b(obj<T>(self)->borrow);
        return to_py(F(obj<T>(self)->value));
    } catch (...) {
        set_python_error();
        return nullptr;
    }
}

template <auto F>
Py_ssize_t slot_len(PyObject* self) {
    using Fn = decltype(+F);
    using T = Bare<std::tuple_element_t<0, typename FnTraits<Fn>::Args>>;
    try {
        SharedBorrow b(obj<T>(self)->borrow);
        u64 n = F(obj<T>(self)->value);
        if (n > static_cast<u64>(PY_SSIZE_T_MAX)) {
            PyErr_SetNone(PyExc_OverflowError);
            return -1;
        }
        return static_cast<Py_ssize_t>(n);
    } catch (...) {
        set_python_error();
        return -1;
    }
}

template <auto F>
int slot_contains(PyObject* self, PyObject* item) {
    using Fn = decltype(+F);
    using Tr = FnTraits<Fn>;
    using T = Bare<std::tuple_element_t<0, typename Tr::Args>>;
    using A = Bare<std::tuple_element_t<1, typename Tr::Args>>;
    try {
        SharedBorrow b(obj<T>(self)->borrow);
        return F(obj<T>(self)->value, Conv<A>::get(item)) ? 1 : 0;
    } catch (...) {
        set_python_error();
        return -1;
    }
}

template <auto F>
PyObject* slot_getitem(PyObject* self, PyObject* key) {
    using Fn = decltype(+F);
    using Tr = FnTraits<Fn>;
    using T = Bare<std::tuple_element_t<0, typename Tr::Args>>;
    using A = Bare<std::tuple_element_t<1, typename Tr::Args>>;
    try {
        SharedBorrow b(obj<T>(self)->borrow);
        return to_py(F(obj<T>(self)->value, Conv<A>::get(key)));
    } catch (...) {
        set_python_error();
        return nullptr;
    }
}

template <auto F>
PyObject* slot_repr(PyObject* self) {
    return prop<F>(self, nullptr);
}

// Binary operators answer NotImplemented for foreign operands or busy objects.
template <auto F>
PyObject* slot_binary(PyObject* a, PyObject* b) {
    using Fn = decltype(+F);
    using T = Bare<std::tuple_element_t<0, typename FnTraits<Fn>::Args>>;
    if (!is_instance<T>(a) || !is_instance<T>(b) || obj<T>(a)->borrow < 0 || obj<T>(b)->borrow < 0)
        Py_RETURN_NOTIMPLEMENTED;
    try {
        SharedBorrow ba(obj<T>(a)->borrow), bb(obj<T>(b)->borrow);
        return to_py(F(obj<T>(a)->value, obj<T>(b)->value));
    } catch (...) {
        set_python_error();
        return nullptr;
    }
}

template <auto F>
PyObject* slot_inplace(PyObject* a, PyObject* b) {
    using Fn = decltype(+F);
    using T = Bare<std::tuple_element_t<0, typename FnTraits<Fn>::Args>>;
    if (!is_instance<T>(a) || !is_instance<T>(b) || obj<T>(a)->borrow != 0 || a == b || obj<T>(b)->borrow < 0)
        Py_RETURN_NOTIMPLEMENTED;
    try {
        ExclusiveBorrow ba(obj<T>(a)->borrow);
        SharedBorrow bb(obj<T>(b)->borrow);
        F(obj<T>(a)->value, obj<T>(b)->value);
    } catch (...) {
        set_python_error();
        return nullptr;
    }
    Py_INCREF(a);
    return a;
}

// ---------------------------------------------------------------- types

// A type slot from a function pointer.
template <class F>
PyType_Slot slot(int id, F* fn) {
    return PyType_Slot{id, reinterpret_cast<void*>(fn)};
}

struct ClassDef {
    const char* name;  // "BloomFilter"
    const char* doc;   // "BloomFilter(...)\n--\n\n..."
    PyMethodDef* methods;
    PyGetSetDef* getset;
    std::vector<PyType_Slot> slots;  // without tp_doc, tp_methods, tp_getset, tp_dealloc
    std::size_t basicsize;
    void (*dealloc)(PyObject*);
    PyTypeObject** type_out;
    const char* module = "builtins";  // the type's __module__
};

template <class T>
ClassDef class_def(const char* doc, PyMethodDef* methods, PyGetSetDef* getset, std::vector<PyType_Slot> slots) {
    return ClassDef{ClassInfo<T>::name, doc, methods, getset, std::move(slots), sizeof(Obj<T>), &dealloc<T>,
                    &ClassInfo<T>::type};
}

// Creates the type and adds it to the module and to __all__.
int add_class(PyObject* module, ClassDef def);

// Module initialisation: types are process-wide, so a module is created once
// per process (a second initialisation raises ImportError); its classes are
// added in the given order, which is also the order of __all__.
PyObject* create_module(PyModuleDef& def, std::initializer_list<ClassDef (*)()> classes);

// ---------------------------------------------------------------- lines methods

// update_lines and query_lines of a class, made from its batch methods over
// gathered items: Update(T&, const Items&) returning nothing or the count it
// took, Query(const T&, const Items&) returning Bools or counts.
template <auto Update>
struct UpdateLines {
    using Tr = FnTraits<decltype(+Update)>;
    using Self = std::tuple_element_t<0, typename Tr::Args>;
    using R = typename Tr::Ret;
    // The lines added: every line, or what Update reports it took.
    static u64 run(Self x, const Lines& l) {
        u64 added = 0;
        l.each_block([&](const Items& b) {
            if constexpr (std::is_void_v<R>) {
                Update(x, b);
                added += b.size();
            } else {
                added += Update(x, b);
            }
        });
        return added;
    }
};

template <auto Query>
struct QueryLines {
    using Tr = FnTraits<decltype(+Query)>;
    using Self = std::tuple_element_t<0, typename Tr::Args>;
    using R = Bare<typename Tr::Ret>;
    static auto run(Self x, const Lines& l) {
        if constexpr (std::is_same_v<R, Bools>)
            return RowBools{l.collect<u8>([&](const Items& b) { return Query(x, b).v; })};
        else
            return RowCounts{l.collect<u64>([&](const Items& b) { return Query(x, b); })};
    }
};

// Method-table entries: UPDATE_LINES("Add", update), QUERY_LINES("Check membership", "?", query_many).
#define UPDATE_LINES(verb, update) ::murk::py::def<UPDATE_LINES_DOC(verb), &::murk::py::UpdateLines<update>::run>()
#define QUERY_LINES(what, format, query) \
    ::murk::py::def<QUERY_LINES_DOC(what, format), &::murk::py::QueryLines<query>::run>()

}  // namespace murk::py
