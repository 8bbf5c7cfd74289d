// Columns in the Arrow C data interface, read in place: the interface
// structs, their validation, and the item keys of a column's rows. No Python
// here; the binding imports the structs and owns their release.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "utils.hpp"

namespace murk::arrow {

// The interface structs, laid out as the Arrow C data interface defines them.
extern "C" {
struct ArrowSchema {
    const char* format;
    const char* name;
    const char* metadata;
    std::int64_t flags;
    std::int64_t n_children;
    ArrowSchema** children;
    ArrowSchema* dictionary;
    void (*release)(ArrowSchema*);
    void* private_data;
};

struct ArrowArray {
    std::int64_t length;
    std::int64_t null_count;
    std::int64_t offset;
    std::int64_t n_buffers;
    std::int64_t n_children;
    const void** buffers;
    ArrowArray** children;
    ArrowArray* dictionary;
    void (*release)(ArrowArray*);
    void* private_data;
};

struct ArrowArrayStream {
    int (*get_schema)(ArrowArrayStream*, ArrowSchema* out);
    int (*get_next)(ArrowArrayStream*, ArrowArray* out);
    const char* (*get_last_error)(ArrowArrayStream*);
    void (*release)(ArrowArrayStream*);
    void* private_data;
};
}

// A column whose type cannot give item keys (float, nested, more than one
// field ...): the binding raises TypeError with this message.
struct TypeError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Checks of the interface structs every column reader makes (a ValueError
// "malformed Arrow column: ..." on failure).
[[noreturn]] void malformed(const std::string& why);
const char* format_of(const ArrowSchema& s);
// That many buffers (with at_least, that many or more) and children, a sane length and offset.
void check_header(const ArrowArray& a, std::int64_t buffers, std::int64_t children, bool at_least = false);
// The validity bitmap, or null when every row is valid.
const u8* validity_of(const ArrowArray& a);
inline bool bit(const u8* bitmap, std::int64_t i) { return (bitmap[i >> 3] >> (i & 7)) & 1; }

enum class Value : u8 {
    Utf8, LargeUtf8, Utf8View,
    Binary, LargeBinary, BinaryView, FixedBinary,
    Int8, UInt8, Int16, UInt16, Int32, UInt32, Int64, UInt64,
};

struct ColumnType {
    Value value = Value::Utf8;
    std::int64_t width = 0;  // bytes per value of FixedBinary
    bool dictionary = false;
    Value index = Value::Int32;  // dictionary indices
    bool wrapped = false;        // rows arrive as one-field structs
    std::string name;            // "utf8", "dictionary<values=utf8, indices=int32>"
    bool is_text() const { return value == Value::Utf8 || value == Value::LargeUtf8 || value == Value::Utf8View; }
};

// The type of a column from its schema; TypeError for a type without item
// keys, ValueError (murk::Error) for a schema that breaks the interface.
ColumnType column_type(const ArrowSchema& schema);

// One array of a column, checked; positions are physical (offsets applied).
struct Chunk {
    const std::uint8_t* outer_valid = nullptr;  // struct-level validity
    std::int64_t outer_start = 0;
    const ArrowArray* values = nullptr;  // the value array, or the indices of a dictionary
    const std::uint8_t* valid = nullptr;
    std::int64_t start = 0, length = 0;
    const ArrowArray* dict = nullptr;
    const std::uint8_t* dict_valid = nullptr;
    std::int64_t dict_start = 0;
};

// Where the next block of keys starts: a chunk and a row within it.
struct Cursor {
    std::size_t chunk = 0;
    std::int64_t row = 0;
};

// The rows of a column: its arrays are validated as they are added and must
// outlive this object (the binding keeps and releases them). next_keys() and
// validity() touch nothing but the arrays and may run on any thread.
class Column {
public:
    // The longest decimal text of an integer key ("-9223372036854775808").
    static constexpr std::size_t MAX_TEXT = 20;

    explicit Column(const ArrowSchema& schema) : type_(column_type(schema)) {}
    explicit Column(ColumnType type) : type_(std::move(type)) {}

    // Checks everything the interface allows checking; ValueError when malformed.
    void add(const ArrowArray& array);

    const ColumnType& type() const { return type_; }
    u64 rows() const { return rows_; }
    u64 valid_rows() const { return valid_; }

    // The keys of the next non-null rows from `at` on, at most max of them, in
    // order; returns how many (fewer than max only at the end). Keys point into
    // the arrays, except integers, which are their decimal text written into
    // text (room for max * MAX_TEXT bytes). Blocks keep the keys in cache
    // between being made and being hashed.
    std::size_t next_keys(Cursor& at, Key* out, std::size_t max, char* text) const;

    // One byte per row: 1 for a value, 0 for a null.
    void validity(u8* out) const;

private:
    ColumnType type_;
    std::vector<Chunk> chunks_;
    u64 rows_ = 0, valid_ = 0;
};

}  // namespace murk::arrow
