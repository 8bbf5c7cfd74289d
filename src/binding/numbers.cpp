// Gathering numbers from Python objects, buffers and numeric Arrow columns.
#include "numbers.hpp"

#include <bit>
#include <cmath>
#include <cstring>

namespace murk::py {

namespace {

// The last static type found to be neither a bool nor a null: a sequence of
// NumPy scalars is checked by name once, not once per value. (Static types
// live as long as the process, so the pointer cannot be reused.)
PyTypeObject* plain_type = nullptr;

bool is_plain(PyObject* o) { return Py_TYPE(o) == plain_type; }

void remember_plain(PyObject* o) {
    if (!(PyType_GetFlags(Py_TYPE(o)) & Py_TPFLAGS_HEAPTYPE)) plain_type = Py_TYPE(o);
}

bool is_bool(PyObject* o) {
    if (PyBool_Check(o)) return true;
    if (is_plain(o)) return false;
    // NumPy's bool scalar is not a bool subclass but has __index__ and __float__.
    const std::string t = type_name(o);
    return t == "bool_" || t == "bool";
}

// None and pandas' NA: the nulls of Python values, skipped like Arrow's.
bool is_null(PyObject* o) { return o == Py_None || (!is_plain(o) && type_name(o) == "NAType"); }

[[noreturn]] void not_a_number(PyObject* o) {
    std::string shown;
    if (Ref r{PyObject_Repr(o)}) {
        Py_ssize_t n;
        if (const char* s = PyUnicode_AsUTF8AndSize(r.get(), &n)) {
            shown.assign(s, static_cast<std::size_t>(n));
            if (shown.size() > 60) shown = shown.substr(0, 57) + "...";
        }
    }
    PyErr_Clear();
    raise(PyExc_TypeError, "'" + type_name(o) + "' object is not a number: " + shown);
}

bool has_slot(PyObject* o, int slot) { return PyType_GetSlot(Py_TYPE(o), slot) != nullptr; }

// One Python number as a double; TypeError for anything else.
double number(PyObject* o) {
    if (PyFloat_CheckExact(o)) return PyFloat_AsDouble(o);
    if (PyLong_CheckExact(o)) {
        const double v = PyLong_AsDouble(o);
        if (v == -1.0 && PyErr_Occurred()) raise();
        return v;
    }
    if (is_bool(o) || PyUnicode_Check(o) || PyBytes_Check(o)) not_a_number(o);
    if (is_null(o)) return NAN;  // skipped by the callers, as NaN is
    if (PyFloat_Check(o) || has_slot(o, Py_nb_float)) {
        const double v = PyFloat_AsDouble(o);
        if (v == -1.0 && PyErr_Occurred()) raise();
        remember_plain(o);
        return v;
    }
    if (has_slot(o, Py_nb_index)) {
        Ref i = checked(PyNumber_Index(o));
        const double v = PyLong_AsDouble(i.get());
        if (v == -1.0 && PyErr_Occurred()) raise();
        return v;
    }
    not_a_number(o);
}

// A scalar number: arrays have __float__ and __index__ too, but they iterate.
bool is_number(PyObject* o) {
    if (PyFloat_Check(o) || PyLong_Check(o)) return !PyBool_Check(o);
    if (is_bool(o) || PyUnicode_Check(o) || PyBytes_Check(o) || has_slot(o, Py_tp_iter)) return false;
    return has_slot(o, Py_nb_float) || has_slot(o, Py_nb_index);
}

// The element type of a one-dimensional buffer in struct notation, native
// byte order; false for anything else (the message says what it was).
bool buffer_type(const Py_buffer& b, arrow::Number& out, std::string& why) {
    const char* f = b.format ? b.format : "B";
    if (*f == '@' || *f == '=' || (*f == '<' && std::endian::native == std::endian::little)) ++f;
    if (f[0] == 0 || f[1] != 0) {
        why = "an array of format '" + std::string(b.format ? b.format : "") + "' is not numeric";
        return false;
    }
    const Py_ssize_t size = b.itemsize;
    using enum arrow::Number;
    auto integer = [&](bool is_signed) {
        switch (size) {
            case 1: out = is_signed ? Int8 : UInt8; return true;
            case 2: out = is_signed ? Int16 : UInt16; return true;
            case 4: out = is_signed ? Int32 : UInt32; return true;
            case 8: out = is_signed ? Int64 : UInt64; return true;
            default: return false;
        }
    };
    bool ok = false;
    switch (f[0]) {
        case 'b': case 'h': case 'i': case 'l': case 'q': case 'n': ok = integer(true); break;
        case 'B': case 'H': case 'I': case 'L': case 'Q': case 'N': ok = integer(false); break;
        case 'e': ok = size == 2; out = Float16; break;
        case 'f': ok = size == 4; out = Float32; break;
        case 'd': ok = size == 8; out = Float64; break;
        case '?': why = "a bool array is not numbers"; return false;
        default: break;
    }
    if (!ok) why = "an array of format '" + std::string(b.format ? b.format : "") + "' is not numeric";
    return ok;
}

template <arrow::Number N>
std::size_t convert_run(const char* base, Py_ssize_t stride, std::size_t& at, std::size_t n, double* out,
                        std::size_t max) {
    constexpr bool can_nan = N == arrow::Number::Float16 || N == arrow::Number::Float32 || N == arrow::Number::Float64;
    std::size_t m = 0;
    const std::size_t end = std::min(n, at + max);
    std::size_t i = at;
    for (; i < end; ++i) {
        const double x = arrow::number_at<N>(base + static_cast<Py_ssize_t>(i) * stride);
        out[m] = x;
        if constexpr (can_nan) m += !std::isnan(x);
        else ++m;
    }
    at = i;
    return m;
}

}  // namespace

Numbers::Numbers(Numbers&& o) noexcept
    : v_(std::move(o.v_)), one_(o.one_), has_one_(o.has_one_), view_(o.view_), held_(std::exchange(o.held_, false)), in_place_(o.in_place_),
      base_(o.base_), n_(o.n_), stride_(o.stride_), type_(o.type_) {}

Numbers::~Numbers() {
    if (held_) PyBuffer_Release(&view_);
}

bool Numbers::try_buffer(PyObject* o, bool required) {
    if (PyBytes_Check(o) || PyByteArray_Check(o) || !PyObject_CheckBuffer(o)) {
        if (required) raise(PyExc_TypeError, "'" + type_name(o) + "' object is not an array: a one-dimensional "
                                             "NumPy array or buffer of numbers is expected");
        return false;
    }
    Py_buffer b;
    if (PyObject_GetBuffer(o, &b, PyBUF_RECORDS_RO) != 0) {
        if (required) raise();
        PyErr_Clear();
        return false;
    }
    std::string why;
    arrow::Number t;
    if (b.ndim != 1 || !buffer_type(b, t, why)) {
        const int ndim = b.ndim;
        PyBuffer_Release(&b);
        if (!required && ndim == 1 && why.rfind("a bool", 0) != 0) return false;  // e.g. an object array: iterate it
        if (ndim != 1)
            raise(PyExc_ValueError, "a one-dimensional array is expected, got " + std::to_string(ndim) + " dimensions");
        raise(PyExc_TypeError, why);
    }
    view_ = b;
    held_ = true;
    in_place_ = true;
    base_ = static_cast<const char*>(b.buf);
    n_ = static_cast<std::size_t>(b.shape ? b.shape[0] : b.len / b.itemsize);
    stride_ = b.strides ? b.strides[0] : b.itemsize;
    type_ = t;
    return true;
}

void Numbers::iterate(PyObject* o) {
    if (PyList_Check(o)) {
        Py_ssize_t n = PyList_Size(o);
        v_.resize(static_cast<std::size_t>(n));
        double* out = v_.data();
        std::size_t m = 0;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* borrowed = PyList_GetItem(o, i);
            double x;
            if (PyFloat_CheckExact(borrowed)) {
                // No Python code runs: the borrowed reference stays valid.
                x = PyFloat_AsDouble(borrowed);
            } else {
                if (borrowed == Py_None) continue;
                Ref item(Py_NewRef(borrowed));
                x = number(item.get());
                // __float__ may have changed the list.
                n = PyList_Size(o);
                if (static_cast<std::size_t>(n) > v_.size()) v_.resize(static_cast<std::size_t>(n));
                out = v_.data();
            }
            out[m] = x;
            m += !std::isnan(x);
        }
        v_.resize(m);
        return;
    }
    Ref it(PyObject_GetIter(o));
    if (!it) {
        PyErr_Clear();
        not_a_number(o);
    }
    const Py_ssize_t hint = PyObject_Size(o);
    if (hint < 0) PyErr_Clear();
    else v_.reserve(static_cast<std::size_t>(hint));
    while (Ref e{PyIter_Next(it.get())}) {
        if (e.get() == Py_None) continue;
        const double x = number(e.get());
        if (!std::isnan(x)) v_.push_back(x);
    }
    if (PyErr_Occurred()) raise();
}

void Numbers::gather(PyObject* o) {
    if (is_number(o)) {
        one_ = number(o);
        has_one_ = !std::isnan(one_);
        return;
    }
    if (o == Py_None) return;
    if (is_bool(o) || PyUnicode_Check(o) || PyBytes_Check(o)) not_a_number(o);
    if (try_buffer(o, false)) return;
    iterate(o);
}

void Numbers::gather_array(PyObject* o) { try_buffer(o, true); }

bool Numbers::read_buffer(PyObject* o) { return try_buffer(o, false); }

std::size_t Numbers::next(std::size_t& at, double* out, std::size_t max) const {
    std::size_t m = 0;
    arrow::with_number(type_, [&](auto n) { m = convert_run<decltype(n)::value>(base_, stride_, at, n_, out, max); });
    return m;
}

void NumberColumn::import(PyObject* o) {
    imp_ = import_arrow(
        o, [&](const arrow::ArrowSchema& schema) { arrow_typed([&] { col_.emplace(schema); }); },
        [&](const arrow::ArrowArray& a) { col_->add(a); });
}

void to_float_args(PyObject* o, FloatArgs& out) {
    if (is_number(o) || PyUnicode_Check(o) || PyBytes_Check(o))
        raise(PyExc_TypeError, "a sequence or array of numbers is expected, not '" + type_name(o) + "'");
    Numbers array;
    if (array.read_buffer(o)) {  // NumPy: read in place; a NaN left out is put back for the checks to refuse
        array.each_block([&](const double* p, std::size_t n) { out.v.insert(out.v.end(), p, p + n); });
        if (out.v.size() != array.count()) out.v.push_back(NAN);
        return;
    }
    Ref it = checked(PyObject_GetIter(o));
    while (Ref e{PyIter_Next(it.get())}) {
        if (is_null(e.get())) raise_cannot_convert(e.get(), "float");
        out.v.push_back(number(e.get()));
    }
    if (PyErr_Occurred()) raise();
}

bool to_flag(PyObject* o) {
    if (!PyBool_Check(o)) raise_cannot_convert(o, "bool");
    return o == Py_True;
}

PyObject* to_py(FloatList&& l) {
    Ref list = checked(PyList_New(static_cast<Py_ssize_t>(l.v.size())));
    for (std::size_t i = 0; i < l.v.size(); ++i)
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), checked(PyFloat_FromDouble(l.v[i])).release());
    return list.release();
}

}  // namespace murk::py
