// Helpers of the command line for buffers of lines: counting them, and writing
// each line beside its answer, both at memory speed without the GIL, so that
// no Python object is made per line.
#include <bit>
#include <charconv>
#include <cstring>

#include "frame.hpp"

namespace murk::py {

namespace {

// Lines by the rule of update_lines: the newlines, and a last line without one.
// Eight bytes at a time: a '\n' byte is zero after the xor, and the
// expression marks exactly the zero bytes' high bits.
u64 count_lines(const char* p, std::size_t n) {
    u64 c = 0;
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        u64 w;
        std::memcpy(&w, p + i, 8);
        const u64 x = w ^ 0x0a0a0a0a0a0a0a0aULL;
        c += static_cast<u64>(
            std::popcount(~(((x & 0x7f7f7f7f7f7f7f7fULL) + 0x7f7f7f7f7f7f7f7fULL) | x) & 0x8080808080808080ULL));
    }
    for (; i < n; ++i) c += p[i] == '\n';
    return c + (n > 0 && p[n - 1] != '\n');
}

PyObject* py_count_lines(PyObject*, PyObject* arg) {
    try {
        const Lines l = convert<Lines>(arg, "buffer");
        return to_py(without_gil([&] { return count_lines(l.data(), l.size()); }));
    } catch (...) {
        set_python_error();
        return nullptr;
    }
}

// `line<TAB>answer<NEWLINE>` for every line of the buffer, the answers read
// from a query_lines result: '?' as true or false, 'Q' in decimal.
PyObject* py_tab_lines(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    try {
        if (nargs != 2) raise(PyExc_TypeError, "_tab_lines() takes a buffer and its answers");
        const Lines l = convert<Lines>(args[0], "buffer");
        Py_buffer a;
        if (PyObject_GetBuffer(args[1], &a, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) != 0) raise();
        struct Release {
            Py_buffer* b;
            ~Release() { PyBuffer_Release(b); }
        } release{&a};
        const bool member = a.format && std::strcmp(a.format, "?") == 0 && a.itemsize == 1;
        const bool count = a.format && std::strcmp(a.format, "Q") == 0 && a.itemsize == 8;
        if (!member && !count) raise(PyExc_TypeError, "answers are a query_lines() result");
        const std::size_t n = static_cast<std::size_t>(a.len / a.itemsize);
        std::string out = without_gil([&] {
            std::string s;
            std::size_t i = 0;
            s.reserve(l.size() + n * (member ? 7 : 8));
            l.each_block([&](const Items& b) {
                for (std::size_t j = 0; j < b.size() && i < n; ++j, ++i) {
                    const Key k = b[j];
                    s.append(k.data, k.size);
                    if (member) {
                        s.append(static_cast<const u8*>(a.buf)[i] ? "\ttrue\n" : "\tfalse\n");
                    } else {
                        u64 v;
                        std::memcpy(&v, static_cast<const char*>(a.buf) + 8 * i, 8);
                        char num[24] = {'\t'};
                        char* e = std::to_chars(num + 1, num + sizeof num, v).ptr;
                        *e++ = '\n';
                        s.append(num, static_cast<std::size_t>(e - num));
                    }
                }
            });
            if (i != n || count_lines(l.data(), l.size()) != n)
                value_error("answers and lines differ in number");
            return s;
        });
        return PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
    } catch (...) {
        set_python_error();
        return nullptr;
    }
}

}  // namespace

PyMethodDef line_functions[] = {
    {"_count_lines", reinterpret_cast<PyCFunction>(&py_count_lines), METH_O,
     "_count_lines(buffer, /)\n--\n\nThe number of lines of a buffer, as update_lines() reads them."},
    {"_tab_lines", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&py_tab_lines)), METH_FASTCALL,
     "_tab_lines(buffer, answers, /)\n--\n\n"
     "Each line of a buffer with its query_lines() answer: line, tab, answer, newline."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace murk::py
