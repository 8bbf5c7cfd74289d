// The binding frame every class goes through. A class file declares its
// methods as plain C++ functions and lists them with a docstring whose first
// line is the Python signature; from that line the frame derives the argument
// names, which are required, the defaults and whether it is a static method.
// The C++ parameter types say how each argument is converted, the constness of
// the self parameter whether the object is borrowed shared or exclusively, and
// a batch parameter (Items, Hashes) that the call runs without the GIL.
#pragma once

#include <Python.h>

#include <array>
#include <cstring>
#include <exception>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "../core/arrow_column.hpp"
#include "../core/utils.hpp"

namespace murk::py {

// ---------------------------------------------------------------- basics

template <class T>
using Bare = std::remove_cvref_t<T>;

// Thrown after a Python exception has been set, to unwind to the boundary.
struct PyErrSet {};
[[noreturn]] inline void raise() { throw PyErrSet{}; }
[[noreturn]] void raise(PyObject* type, const std::string& msg);

// Owned reference.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* p) : p_(p) {}
    Ref(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }
    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

inline Ref checked(PyObject* p) {
    if (!p) raise();
    return Ref(p);
}

std::string type_name(PyObject* o);
// TypeError "'{type}' object cannot be converted to '{target}'".
[[noreturn]] void raise_cannot_convert(PyObject* o, const char* target);

// Maps the C++ exception in flight to a Python one (call inside catch).
void set_python_error();

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

// ---------------------------------------------------------------- argument types

// An item reduced to its key (strings and bytes in place, other sequences of
// small ints copied, anything else through str()).
// Copied bytes live in vectors, never in std::string: these objects are moved
// and a short string's inline buffer would move away from the key pointing at it.
struct Item {
    Key key{"", 0};
    Ref owner;
    std::vector<char> buf;
};

// A gathered batch of item keys. Keeps the objects whose buffers it points into.
class Items {
public:
    Items() = default;
    Items(const Items&) = delete;
    Items(Items&&) = default;  // vectors keep their buffers when moved
    ~Items();
    std::size_t size() const { return n_; }
    Key operator[](std::size_t i) const { return k_[i]; }
    // Key i, with the bytes of a key further on already requested: the objects
    // of a large batch are scattered in memory. Batch loops read keys through this.
    Key at(std::size_t i) const {
        if (i + AHEAD < n_) prefetch(k_[i + AHEAD].data);
        return k_[i];
    }
    static constexpr std::size_t AHEAD = 32;
    const Key* data() const { return k_; }

    void gather(PyObject* iterable);  // GIL held
    // The keys of the next non-null rows of a column, at most max; returns
    // how many (0 at the end). No GIL needed.
    std::size_t fill(const arrow::Column& c, arrow::Cursor& at, std::size_t max);

private:
    std::vector<Key> keys_;
    std::vector<PyObject*> refs_;
    // A vector, not a string: moving Items must not move the bytes the keys
    // point at (a short string would be copied out of its inline buffer).
    std::vector<char> arena_;
    std::vector<std::size_t> in_arena_;  // keys whose data is an arena offset until gathering ends
    std::unique_ptr<char[]> text_;       // decimal text of a column's integers
    const Key* k_ = nullptr;             // the keys, once gathered or filled
    std::size_t n_ = 0;
    friend struct BatchSink;
};

// A batch of caller-provided 64-bit hashes: read in place from a buffer of
// 8-byte integers (held until the call ends), else copied from the sequence.
class Hashes {
public:
    Hashes() = default;
    Hashes(Hashes&& o) noexcept
        : v(std::move(o.v)), p_(o.p_), n_(o.n_), view_(o.view_), held_(std::exchange(o.held_, false)) {}
    Hashes& operator=(Hashes&&) = delete;
    ~Hashes();  // GIL held
    std::size_t size() const { return n_; }
    u64 operator[](std::size_t i) const { return p_[i]; }
    const u64* data() const { return p_; }

    std::vector<u64> v;  // the iteration path fills this, then calls use_copy()
    void use_copy() {
        p_ = v.data();
        n_ = v.size();
    }
    bool try_buffer(PyObject* o);  // GIL held

private:
    const u64* p_ = nullptr;
    std::size_t n_ = 0;
    Py_buffer view_{};
    bool held_ = false;
};

// Docstrings of the column methods, the same for every class.
#define COLUMN_INPUT_DOC                                                                   \
    "column is anything with __arrow_c_stream__ or __arrow_c_array__ (pyarrow,\n"        \
    "polars, pandas, DuckDB, nanoarrow) holding strings, binary or integers"               \
    " (or a dictionary of them).\n"                                                        \
    "Each value is the same item as its str, bytes or int."
#define UPDATE_COLUMN_DOC(verb) \
    "update_column($self, column)\n--\n\n" verb " the non-null values of an Arrow column, read in place.\n\n" COLUMN_INPUT_DOC
#define QUERY_COLUMN_DOC(what, format, null_answer)                                           \
    "query_column($self, column)\n--\n\n" what " for every row of an Arrow column, read in place.\n\n" \
    "Returns a read-only memoryview of format '" format "' with one entry per row\n"              \
    "(numpy.asarray wraps it without a copy); a null row answers " null_answer "."

// The structs an Arrow producer handed over (column.cpp); each is released
// exactly once, with the GIL held, when the holder goes.
struct ArrowImport;
struct ArrowImportFree {
    void operator()(ArrowImport* m) const;
};
using ArrowImportPtr = std::unique_ptr<ArrowImport, ArrowImportFree>;
// Imports anything with __arrow_c_stream__ or __arrow_c_array__: on_schema
// sees the schema first (it raises for a type its reader cannot take), then
// on_array every array in order; the arrays stay valid while the result lives.
ArrowImportPtr import_arrow(PyObject* o, const std::function<void(const arrow::ArrowSchema&)>& on_schema,
                            const std::function<void(const arrow::ArrowArray&)>& on_array);
// Runs a core step, turning its arrow::TypeError into a Python TypeError.
void arrow_typed(const std::function<void()>& f);

// An Arrow column (`update_column`, `query_column`): anything with
// __arrow_c_stream__ or __arrow_c_array__. Imported and validated with the
// GIL held; the imported structs are released when the call ends.
class Column {
public:
    Column();
    Column(Column&&) noexcept;
    ~Column();  // GIL held
    void import(PyObject* o, bool text_only);
    // Runs f on the keys of the non-null rows, block after block, in order;
    // no GIL needed. A block stays in cache from being made to being hashed.
    static constexpr std::size_t BLOCK = 2048;
    template <class F>
    void each_block(F&& f) const {
        Items block;
        arrow::Cursor at;
        while (block.fill(*col_, at, BLOCK) > 0) f(static_cast<const Items&>(block));
    }
    // The results f gives for each block, one after another.
    template <class T, class F>
    std::vector<T> collect(F&& f) const {
        std::vector<T> out;
        out.reserve(static_cast<std::size_t>(col_->valid_rows()));
        each_block([&](const Items& b) {
            const std::vector<T> r = f(b);
            out.insert(out.end(), r.begin(), r.end());
        });
        return out;
    }
    // Results of the non-null rows spread over all rows, nulls answering T{}.
    template <class T>
    std::vector<T> per_row(std::vector<T>&& v) const {
        const std::size_t rows = col_->rows();
        if (v.size() != rows) {
            std::vector<u8> valid(rows);
            col_->validity(valid.data());
            std::size_t j = v.size();
            v.resize(rows);
            for (std::size_t i = rows; i-- > 0;) v[i] = valid[i] ? v[--j] : T{};
        }
        return std::move(v);
    }

private:
    ArrowImportPtr imp_;
    std::optional<arrow::Column> col_;
};

// A column of strings only (TopK, whose items are str).
struct TextColumn : Column {};

// query_column results: a read-only memoryview over the values, format '?'
// or 'Q', one entry per row.
struct RowBools {
    std::vector<u8> v;
};
struct RowCounts {
    std::vector<u64> v;
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

template <class T>
struct is_batch : std::false_type {};
template <>
struct is_batch<Items> : std::true_type {};
template <>
struct is_batch<Hashes> : std::true_type {};
template <>
struct is_batch<Column> : std::true_type {};
template <>
struct is_batch<TextColumn> : std::true_type {};

// Conversions. convert<T>(o) raises on failure; the caller adds the argument prefix.
void to_key(PyObject* o, Item& out);
u64 to_u64(PyObject* o);
u32 to_u32(PyObject* o);
u8 to_u8(PyObject* o);
double to_double(PyObject* o);
void to_hashes(PyObject* o, Hashes& out);
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
void prefix_type_error(const char* name);

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

}  // namespace murk::py
