#include "frame_errors.hpp"

#include <new>
#include <stdexcept>

namespace murk::py {

// ---------------------------------------------------------------- errors

void raise(PyObject* type, const std::string& msg) {
    PyErr_SetString(type, msg.c_str());
    throw PyErrSet{};
}

std::string type_name(PyObject* o) {
    Ref name(PyType_GetName(Py_TYPE(o)));
    if (!name) {
        PyErr_Clear();
        return "object";
    }
    Py_ssize_t n;
    const char* s = PyUnicode_AsUTF8AndSize(name.get(), &n);
    if (!s) {
        PyErr_Clear();
        return "object";
    }
    return std::string(s, static_cast<std::size_t>(n));
}

void raise_cannot_convert(PyObject* o, const char* target) {
    std::string msg = "'";
    msg += type_name(o);
    msg += "' object cannot be converted to '";
    msg += target;
    msg += "'";
    raise(PyExc_TypeError, msg);
}

void set_python_error() {
    try {
        throw;
    } catch (const PyErrSet&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (const arrow::TypeError& e) {
        PyErr_SetString(PyExc_TypeError, e.what());
    } catch (const Error& e) {
        PyErr_SetString(e.kind == Error::Overflow ? PyExc_OverflowError : PyExc_ValueError, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    }
}

void prefix_type_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Ref t(type), v(value), b(tb);
    Ref text(v ? PyObject_Str(v.get()) : nullptr);
    const char* s = text ? PyUnicode_AsUTF8AndSize(text.get(), nullptr) : nullptr;
    if (!s) PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "argument '%s': %s", name, s ? s : "");
}

}  // namespace murk::py
