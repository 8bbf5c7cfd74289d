// Batches: the arguments a call runs through without the GIL (gathered
// items, caller hashes, Arrow columns, buffers of lines), and the per-row
// results of the column and line queries.
#pragma once

#include "frame_keys.hpp"

namespace murk::py {

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

void to_hashes(PyObject* o, Hashes& out);

// Docstrings of the lines methods, the same for every class.
#define LINES_INPUT_DOC                                                                     \
    "buffer is any bytes-like object (bytes, bytearray, memoryview, mmap, a NumPy\n"          \
    "uint8 array), read in place. A line ends at \"\\n\", and a \"\\r\" before it is\n"          \
    "dropped; a last line without \"\\n\" still counts; an empty line is an item (the\n"     \
    "empty bytes). Each line is the same item as its bytes."
#define UPDATE_LINES_DOC(verb)                                                                             \
    "update_lines($self, buffer)\n--\n\n" verb " every line of a buffer, read in place, and return how many\n" \
    "lines were added.\n\n" LINES_INPUT_DOC
#define QUERY_LINES_DOC(what, format)                                                          \
    "query_lines($self, buffer)\n--\n\n" what " for every line of a buffer, read in place.\n\n"      \
    "Returns a read-only memoryview of format '" format "' with one entry per line\n"                \
    "(numpy.asarray wraps it without a copy).\n\n" LINES_INPUT_DOC

// A buffer of newline-separated items (`update_lines`, `query_lines`), held
// until the call ends and split into blocks of keys pointing into it.
class Lines {
public:
    Lines() = default;
    Lines(Lines&& o) noexcept : view_(o.view_), held_(std::exchange(o.held_, false)) {}
    Lines& operator=(Lines&&) = delete;
    ~Lines();  // GIL held
    void import(PyObject* o);
    const char* data() const { return static_cast<const char*>(view_.buf); }
    std::size_t size() const { return static_cast<std::size_t>(view_.len); }

    // Runs f on the keys of the lines, block after block, in order; no GIL
    // needed. A block of keys stays in cache from being made to being hashed.
    static constexpr std::size_t BLOCK = 2048;
    template <class F>
    void each_block(F&& f) const {
        Items block;
        const char* at = data();
        const char* end = at + size();
        while (block.fill_lines(at, end, BLOCK) > 0) f(static_cast<const Items&>(block));
    }
    // The results f gives for each block, one after another.
    template <class T, class F>
    std::vector<T> collect(F&& f) const {
        std::vector<T> out;
        each_block([&](const Items& b) {
            const auto r = f(b);
            out.insert(out.end(), std::begin(r), std::end(r));
        });
        return out;
    }

private:
    Py_buffer view_{};
    bool held_ = false;
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
template <>
struct is_batch<Lines> : std::true_type {};

}  // namespace murk::py
