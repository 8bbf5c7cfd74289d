#include "arrow_column.hpp"

#include <algorithm>
#include <charconv>
#include <type_traits>
#include <cstring>
#include <string_view>

namespace murk::arrow {

using i64 = std::int64_t;

[[noreturn]] void malformed(const std::string& why) { value_error("malformed Arrow column: " + why); }

const char* format_of(const ArrowSchema& s) {
    if (!s.release) malformed("the schema has been released");
    if (!s.format) malformed("the schema has no format");
    return s.format;
}

void check_header(const ArrowArray& a, i64 buffers, i64 children, bool at_least) {
    if (!a.release) malformed("the array has been released");
    if (a.length < 0 || a.offset < 0) malformed("negative length or offset");
    if (a.null_count < -1) malformed("negative null count");
    i64 end;
    if (__builtin_add_overflow(a.offset, a.length, &end)) malformed("offset plus length overflows");
    if (at_least ? a.n_buffers < buffers : a.n_buffers != buffers)
        malformed(std::to_string(a.n_buffers) + " buffers where the type has " + std::to_string(buffers));
    if (a.n_children != children)
        malformed(std::to_string(a.n_children) + " children where the type has " + std::to_string(children));
    if (a.n_buffers > 0 && !a.buffers) malformed("no buffer list");
    if (a.n_children > 0 && (!a.children || !a.children[0])) malformed("no child list");
}

const u8* validity_of(const ArrowArray& a) {
    if (a.null_count == 0) return nullptr;
    const u8* b = static_cast<const u8*>(a.buffers[0]);
    if (!b && a.null_count > 0) malformed("nulls counted but no validity buffer");
    return b;
}

namespace {

struct Format {
    std::string_view format;
    Value value;
    const char* name;
};
constexpr Format VALUE_FORMATS[] = {
    {"u", Value::Utf8, "utf8"},          {"U", Value::LargeUtf8, "large_utf8"},     {"vu", Value::Utf8View, "utf8_view"},
    {"z", Value::Binary, "binary"},      {"Z", Value::LargeBinary, "large_binary"}, {"vz", Value::BinaryView, "binary_view"},
    {"c", Value::Int8, "int8"},          {"C", Value::UInt8, "uint8"},              {"s", Value::Int16, "int16"},
    {"S", Value::UInt16, "uint16"},      {"i", Value::Int32, "int32"},              {"I", Value::UInt32, "uint32"},
    {"l", Value::Int64, "int64"},        {"L", Value::UInt64, "uint64"},
};

bool is_integer(Value v) { return v >= Value::Int8; }

// Longest decimal text of a value of each integer type ("-128", "255", ...).
std::size_t max_digits(Value v) {
    switch (v) {
        case Value::Int8: return 4;
        case Value::UInt8: return 3;
        case Value::Int16: return 6;
        case Value::UInt16: return 5;
        case Value::Int32: return 11;
        case Value::UInt32: return 10;
        default: return 20;
    }
}

// Names for the types a column cannot hold, so the TypeError says which it got.
std::string other_type_name(std::string_view f) {
    static constexpr std::pair<std::string_view, const char*> exact[] = {
        {"n", "null"},         {"b", "bool"},         {"e", "float16"},     {"f", "float32"},
        {"g", "float64"},      {"tdD", "date32"},     {"tdm", "date64"},    {"+l", "list"},
        {"+L", "large_list"},  {"+m", "map"},         {"+s", "struct"},     {"+r", "run_end_encoded"},
        {"+vl", "list_view"},  {"+vL", "large_list_view"},
    };
    for (auto& [k, name] : exact)
        if (f == k) return name;
    static constexpr std::pair<std::string_view, const char*> prefix[] = {
        {"d:", "decimal"},   {"+w:", "fixed_size_list"}, {"+ud:", "dense_union"}, {"+us:", "sparse_union"},
        {"tt", "time"},      {"ts", "timestamp"},        {"tD", "duration"},      {"ti", "interval"},
    };
    for (auto& [k, name] : prefix)
        if (f.substr(0, k.size()) == k) return name;
    return "with format '" + std::string(f.substr(0, 32)) + "'";
}

[[noreturn]] void unsupported(const std::string& name) {
    throw TypeError("Arrow type " + name +
                    " cannot be read as items: a column holds strings, binary or integers, or a dictionary of them");
}

// The value type of a format, or false. Sets width for fixed_size_binary.
bool value_of(std::string_view f, Value& v, i64& width, std::string& name) {
    for (auto& x : VALUE_FORMATS)
        if (f == x.format) {
            v = x.value;
            name = x.name;
            return true;
        }
    if (f.substr(0, 2) == "w:") {
        std::string_view digits = f.substr(2);
        i64 w = 0;
        auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), w);
        if (ec != std::errc() || end != digits.data() + digits.size() || digits.empty() || w < 0 || w > INT32_MAX)
            malformed("bad fixed_size_binary format '" + std::string(f.substr(0, 32)) + "'");
        v = Value::FixedBinary;
        width = w;
        name = "fixed_size_binary[" + std::to_string(w) + "]";
        return true;
    }
    return false;
}

template <class T>
inline T load(const void* base, i64 i) {
    T v;
    std::memcpy(&v, static_cast<const char*>(base) + i * static_cast<i64>(sizeof(T)), sizeof(T));
    return v;
}

// A dictionary index as a signed 64-bit value; -1 for one that cannot be valid.
inline i64 index_at(Value type, const void* p, i64 i) {
    switch (type) {
        case Value::Int8: return load<std::int8_t>(p, i);
        case Value::UInt8: return load<std::uint8_t>(p, i);
        case Value::Int16: return load<std::int16_t>(p, i);
        case Value::UInt16: return load<std::uint16_t>(p, i);
        case Value::Int32: return load<std::int32_t>(p, i);
        case Value::UInt32: return load<std::uint32_t>(p, i);
        case Value::Int64: return load<i64>(p, i);
        default: {
            u64 v = load<u64>(p, i);
            return v > static_cast<u64>(INT64_MAX) ? -1 : static_cast<i64>(v);
        }
    }
}

i64 buffer_count(Value v) {
    switch (v) {
        case Value::Utf8:
        case Value::LargeUtf8:
        case Value::Binary:
        case Value::LargeBinary:
        case Value::Utf8View:
        case Value::BinaryView: return 3;  // views: at least; variadic buffers and their sizes follow
        default: return 2;
    }
}

bool is_view(Value v) { return v == Value::Utf8View || v == Value::BinaryView; }

inline bool row_valid(const u8* outer, i64 outer_at, const u8* inner, i64 inner_at) {
    return (!outer || bit(outer, outer_at)) && (!inner || bit(inner, inner_at));
}

template <class Off>
void check_offsets(const ArrowArray& a, i64 start, i64 n) {
    const void* offsets = a.buffers[1];
    if (!offsets) malformed("no offsets buffer");
    Off prev = load<Off>(offsets, start);
    if (prev < 0) malformed("negative value offset");
    const Off first = prev;
    for (i64 i = start + 1; i <= start + n; ++i) {
        Off o = load<Off>(offsets, i);
        if (o < prev) malformed("value offsets decrease");
        prev = o;
    }
    if (prev > first && !a.buffers[2]) malformed("no data buffer");
}

// Checks rows [start, start + n) of a value array. Views are checked on the
// rows that are valid (a null view may hold anything).
void check_values(const ArrowArray& a, const ColumnType& t, i64 start, i64 n, const u8* outer, i64 outer_start,
                  const u8* valid) {
    if (n == 0) return;
    switch (t.value) {
        case Value::Utf8:
        case Value::Binary: return check_offsets<std::int32_t>(a, start, n);
        case Value::LargeUtf8:
        case Value::LargeBinary: return check_offsets<i64>(a, start, n);
        case Value::Utf8View:
        case Value::BinaryView: {
            const char* views = static_cast<const char*>(a.buffers[1]);
            if (!views) malformed("no views buffer");
            const i64 variadic = a.n_buffers - 3;
            const void* sizes = a.buffers[a.n_buffers - 1];
            if (variadic > 0 && !sizes) malformed("no variadic buffer sizes");
            for (i64 b = 0; b < variadic; ++b)
                if (load<i64>(sizes, b) < 0) malformed("negative variadic buffer size");
            for (i64 i = 0; i < n; ++i) {
                if (!row_valid(outer, outer_start + i, valid, start + i)) continue;
                const char* v = views + 16 * (start + i);
                const i64 len = load<std::int32_t>(v, 0);
                if (len < 0) malformed("negative view length");
                if (len <= 12) continue;
                const i64 buf = load<std::int32_t>(v + 8, 0), off = load<std::int32_t>(v + 12, 0);
                if (buf < 0 || buf >= variadic) malformed("view buffer index out of range");
                if (off < 0 || off + len > load<i64>(sizes, buf)) malformed("view outside its data buffer");
                if (!a.buffers[2 + buf]) malformed("missing variadic data buffer");
            }
            return;
        }
        case Value::FixedBinary: {
            i64 bytes;
            if (__builtin_mul_overflow(start + n, t.width, &bytes)) malformed("fixed-size values overflow");
            if (t.width > 0 && !a.buffers[1]) malformed("no data buffer");
            return;
        }
        default:
            if (!a.buffers[1]) malformed("no data buffer");
            return;
    }
}

// The key of value p of a value array, for one value type V.
template <Value V>
inline Key value_key(const ArrowArray& a, i64 width, i64 p, char*& text) {
    const void* data = a.buffers[1];
    if constexpr (V == Value::Utf8 || V == Value::Binary) {
        const i64 o = load<std::int32_t>(data, p), e = load<std::int32_t>(data, p + 1);
        return {static_cast<const char*>(a.buffers[2]) + o, static_cast<std::size_t>(e - o)};
    } else if constexpr (V == Value::LargeUtf8 || V == Value::LargeBinary) {
        const i64 o = load<i64>(data, p), e = load<i64>(data, p + 1);
        return {static_cast<const char*>(a.buffers[2]) + o, static_cast<std::size_t>(e - o)};
    } else if constexpr (V == Value::Utf8View || V == Value::BinaryView) {
        const char* v = static_cast<const char*>(data) + 16 * p;
        const i64 len = load<std::int32_t>(v, 0);
        if (len <= 12) return {v + 4, static_cast<std::size_t>(len)};
        const i64 buf = load<std::int32_t>(v + 8, 0), off = load<std::int32_t>(v + 12, 0);
        return {static_cast<const char*>(a.buffers[2 + buf]) + off, static_cast<std::size_t>(len)};
    } else if constexpr (V == Value::FixedBinary) {
        return {static_cast<const char*>(data) + p * width, static_cast<std::size_t>(width)};
    } else {
        using T = std::conditional_t<
            V == Value::Int8, std::int8_t,
            std::conditional_t<
                V == Value::UInt8, std::uint8_t,
                std::conditional_t<
                    V == Value::Int16, std::int16_t,
                    std::conditional_t<V == Value::UInt16, std::uint16_t,
                                       std::conditional_t<V == Value::Int32, std::int32_t,
                                                          std::conditional_t<V == Value::UInt32, std::uint32_t,
                                                                             std::conditional_t<V == Value::Int64,
                                                                                                i64, u64>>>>>>>;
        char* begin = text;
        const auto r = std::to_chars(text, text + max_digits(V), load<T>(data, p));
        text = r.ptr;
        return {begin, static_cast<std::size_t>(r.ptr - begin)};
    }
}

// Calls f with the value type as a compile-time constant, so that the loops
// over rows are compiled once per type instead of switching on every row.
template <class F>
void with_value(Value v, F&& f) {
    using enum Value;
    switch (v) {
        case Utf8: return f(std::integral_constant<Value, Utf8>{});
        case LargeUtf8: return f(std::integral_constant<Value, LargeUtf8>{});
        case Utf8View: return f(std::integral_constant<Value, Utf8View>{});
        case Binary: return f(std::integral_constant<Value, Binary>{});
        case LargeBinary: return f(std::integral_constant<Value, LargeBinary>{});
        case BinaryView: return f(std::integral_constant<Value, BinaryView>{});
        case FixedBinary: return f(std::integral_constant<Value, FixedBinary>{});
        case Int8: return f(std::integral_constant<Value, Int8>{});
        case UInt8: return f(std::integral_constant<Value, UInt8>{});
        case Int16: return f(std::integral_constant<Value, Int16>{});
        case UInt16: return f(std::integral_constant<Value, UInt16>{});
        case Int32: return f(std::integral_constant<Value, Int32>{});
        case UInt32: return f(std::integral_constant<Value, UInt32>{});
        case Int64: return f(std::integral_constant<Value, Int64>{});
        case UInt64: return f(std::integral_constant<Value, UInt64>{});
    }
}

}  // namespace

ColumnType column_type(const ArrowSchema& schema) {
    ColumnType t;
    const ArrowSchema* s = &schema;
    std::string_view f = format_of(schema);
    if (f == "+s") {
        if (schema.n_children < 0) malformed("negative child count");
        if (schema.n_children != 1)
            throw TypeError("a struct column of " + std::to_string(schema.n_children) +
                            " fields cannot be read as items: pass one column");
        if (!schema.children || !schema.children[0]) malformed("no child schema");
        s = schema.children[0];
        f = format_of(*s);
        t.wrapped = true;
    }
    if (s->dictionary) {
        i64 unused = 0;
        std::string index_name;
        if (!value_of(f, t.index, unused, index_name) || !is_integer(t.index))
            malformed("dictionary indices of format '" + std::string(f.substr(0, 32)) + "'");
        const ArrowSchema& d = *s->dictionary;
        std::string_view df = format_of(d);
        std::string value_name;
        const bool known = !d.dictionary && value_of(df, t.value, t.width, value_name);
        if (!known) value_name = d.dictionary ? "dictionary" : other_type_name(df);
        t.name = "dictionary<values=" + value_name + ", indices=" + index_name + ">";
        t.dictionary = true;
        if (!known) unsupported(t.name);
    } else if (!value_of(f, t.value, t.width, t.name)) {
        unsupported(other_type_name(f));
    }
    return t;
}

void Column::add(const ArrowArray& array) {
    const ColumnType& t = type_;
    Chunk c;
    const ArrowArray* v = &array;
    c.start = array.offset;
    c.length = array.length;
    if (t.wrapped) {
        check_header(array, 1, 1);
        c.outer_valid = validity_of(array);
        c.outer_start = array.offset;
        v = array.children[0];
    }
    if (t.dictionary) check_header(*v, 2, 0);
    else check_header(*v, buffer_count(t.value), 0, is_view(t.value));
    if (t.wrapped) {  // the struct's offset applies on top of its field's own
        if (array.offset > v->length || array.length > v->length - array.offset)
            malformed("the struct's rows run past its field");
        c.start = v->offset + array.offset;
    }
    c.values = v;
    c.valid = validity_of(*v);
    u64 valid = 0;
    if (t.dictionary) {
        if (!v->dictionary) malformed("dictionary-encoded array without its dictionary");
        const ArrowArray& d = *v->dictionary;
        check_header(d, buffer_count(t.value), 0, is_view(t.value));
        c.dict = &d;
        c.dict_valid = validity_of(d);
        c.dict_start = d.offset;
        check_values(d, t, d.offset, d.length, nullptr, 0, c.dict_valid);
        const void* indices = v->buffers[1];
        if (c.length > 0 && !indices) malformed("no dictionary indices buffer");
        for (i64 i = 0; i < c.length; ++i) {
            if (!row_valid(c.outer_valid, c.outer_start + i, c.valid, c.start + i)) continue;
            const i64 idx = index_at(t.index, indices, c.start + i);
            if (idx < 0 || idx >= d.length) malformed("dictionary index out of range");
            valid += !c.dict_valid || bit(c.dict_valid, c.dict_start + idx);
        }
    } else {
        check_values(*v, t, c.start, c.length, c.outer_valid, c.outer_start, c.valid);
        if (!c.outer_valid && !c.valid) {
            valid = static_cast<u64>(c.length);
        } else {
            for (i64 i = 0; i < c.length; ++i) valid += row_valid(c.outer_valid, c.outer_start + i, c.valid, c.start + i);
        }
    }
    chunks_.push_back(c);
    rows_ += static_cast<u64>(c.length);
    valid_ += valid;
}

std::size_t Column::next_keys(Cursor& at, Key* out, std::size_t max, char* text) const {
    std::size_t n = 0;
    const i64 width = type_.width;
    with_value(type_.value, [&](auto v) {
        constexpr Value V = decltype(v)::value;
        for (; at.chunk < chunks_.size() && n < max; ++at.chunk, at.row = 0) {
            const Chunk& c = chunks_[at.chunk];
            i64 i = at.row;
            if (c.dict) {
                const Value index = type_.index;
                const void* indices = c.values->buffers[1];
                for (; i < c.length && n < max; ++i) {
                    if (!row_valid(c.outer_valid, c.outer_start + i, c.valid, c.start + i)) continue;
                    const i64 idx = index_at(index, indices, c.start + i);
                    if (c.dict_valid && !bit(c.dict_valid, c.dict_start + idx)) continue;
                    out[n++] = value_key<V>(*c.dict, width, c.dict_start + idx, text);
                }
            } else if (!c.outer_valid && !c.valid) {
                const i64 end = std::min<i64>(c.length, i + static_cast<i64>(max - n));
                for (; i < end; ++i) out[n++] = value_key<V>(*c.values, width, c.start + i, text);
            } else {
                for (; i < c.length && n < max; ++i)
                    if (row_valid(c.outer_valid, c.outer_start + i, c.valid, c.start + i))
                        out[n++] = value_key<V>(*c.values, width, c.start + i, text);
            }
            if (i < c.length) {  // the block is full inside this chunk
                at.row = i;
                return;
            }
        }
    });
    return n;
}

void Column::validity(u8* out) const {
    for (const Chunk& c : chunks_) {
        for (i64 i = 0; i < c.length; ++i) {
            bool ok = row_valid(c.outer_valid, c.outer_start + i, c.valid, c.start + i);
            if (ok && c.dict && c.dict_valid)
                ok = bit(c.dict_valid, c.dict_start + index_at(type_.index, c.values->buffers[1], c.start + i));
            *out++ = ok;
        }
    }
}

}  // namespace murk::arrow
