#include "arrow_numbers.hpp"

#include <bit>
#include <cmath>
#include <cstring>
#include <string_view>
#include <type_traits>

namespace murk::arrow {

namespace {

using i64 = std::int64_t;

[[noreturn]] void malformed(const std::string& why) { value_error("malformed Arrow column: " + why); }

struct Format {
    std::string_view format;
    Number type;
    const char* name;
};
constexpr Format FORMATS[] = {
    {"c", Number::Int8, "int8"},     {"C", Number::UInt8, "uint8"},     {"s", Number::Int16, "int16"},
    {"S", Number::UInt16, "uint16"}, {"i", Number::Int32, "int32"},     {"I", Number::UInt32, "uint32"},
    {"l", Number::Int64, "int64"},   {"L", Number::UInt64, "uint64"},   {"e", Number::Float16, "float16"},
    {"f", Number::Float32, "float32"}, {"g", Number::Float64, "float64"},
};

const char* format_of(const ArrowSchema& s) {
    if (!s.release) malformed("the schema has been released");
    if (!s.format) malformed("the schema has no format");
    return s.format;
}

void check_header(const ArrowArray& a, i64 buffers, i64 children) {
    if (!a.release) malformed("the array has been released");
    if (a.length < 0 || a.offset < 0) malformed("negative length or offset");
    if (a.null_count < -1) malformed("negative null count");
    i64 end;
    if (__builtin_add_overflow(a.offset, a.length, &end)) malformed("offset plus length overflows");
    if (a.n_buffers != buffers)
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

inline bool bit(const u8* bitmap, i64 i) { return (bitmap[i >> 3] >> (i & 7)) & 1; }

template <Number N>
using Stored = std::conditional_t<
    N == Number::Int8, std::int8_t,
    std::conditional_t<
        N == Number::UInt8, std::uint8_t,
        std::conditional_t<
            N == Number::Int16, std::int16_t,
            std::conditional_t<
                N == Number::UInt16 || N == Number::Float16, std::uint16_t,
                std::conditional_t<
                    N == Number::Int32, std::int32_t,
                    std::conditional_t<N == Number::UInt32, std::uint32_t,
                                       std::conditional_t<N == Number::Int64, i64,
                                                          std::conditional_t<N == Number::UInt64, u64,
                                                                             std::conditional_t<N == Number::Float32,
                                                                                                float, double>>>>>>>>>;

template <Number N>
inline double value_at(const void* data, i64 i) {
    using T = Stored<N>;
    T v;
    std::memcpy(&v, static_cast<const char*>(data) + i * static_cast<i64>(sizeof(T)), sizeof(T));
    if constexpr (N == Number::Float16) return half_to_double(v);
    else return static_cast<double>(v);
}

template <class F>
void with_number(Number n, F&& f) {
    using enum Number;
    switch (n) {
        case Int8: return f(std::integral_constant<Number, Int8>{});
        case UInt8: return f(std::integral_constant<Number, UInt8>{});
        case Int16: return f(std::integral_constant<Number, Int16>{});
        case UInt16: return f(std::integral_constant<Number, UInt16>{});
        case Int32: return f(std::integral_constant<Number, Int32>{});
        case UInt32: return f(std::integral_constant<Number, UInt32>{});
        case Int64: return f(std::integral_constant<Number, Int64>{});
        case UInt64: return f(std::integral_constant<Number, UInt64>{});
        case Float16: return f(std::integral_constant<Number, Float16>{});
        case Float32: return f(std::integral_constant<Number, Float32>{});
        case Float64: return f(std::integral_constant<Number, Float64>{});
    }
}

}  // namespace

double half_to_double(std::uint16_t h) noexcept {
    const int sign = h >> 15, exp = (h >> 10) & 0x1f, frac = h & 0x3ff;
    double v;
    if (exp == 0) v = std::ldexp(frac, -24);
    else if (exp == 31) v = frac ? NAN : INFINITY;
    else v = std::ldexp(frac | 0x400, exp - 25);
    return sign ? -v : v;
}

NumberColumn::NumberColumn(const ArrowSchema& schema) {
    const ArrowSchema* s = &schema;
    std::string_view f = format_of(schema);
    if (f == "+s") {
        if (schema.n_children < 0) malformed("negative child count");
        if (schema.n_children != 1)
            throw TypeError("a struct column of " + std::to_string(schema.n_children) +
                            " fields cannot be read as numbers: pass one column");
        if (!schema.children || !schema.children[0]) malformed("no child schema");
        s = schema.children[0];
        f = format_of(*s);
        wrapped_ = true;
    }
    if (!s->dictionary)
        for (const Format& x : FORMATS)
            if (f == x.format) {
                type_ = x.type;
                name_ = x.name;
                return;
            }
    const std::string shown = s->dictionary ? "a dictionary" : f == "b" ? "bool" : "format '" + std::string(f.substr(0, 32)) + "'";
    throw TypeError("Arrow type " + shown +
                    " cannot be read as numbers: a column holds integers, float16, float32 or float64");
}

void NumberColumn::add(const ArrowArray& array) {
    Chunk c;
    const ArrowArray* v = &array;
    c.start = array.offset;
    c.length = array.length;
    if (wrapped_) {
        check_header(array, 1, 1);
        c.outer_valid = validity_of(array);
        c.outer_start = array.offset;
        v = array.children[0];
    }
    check_header(*v, 2, 0);
    if (wrapped_) {
        if (array.offset > v->length || array.length > v->length - array.offset)
            malformed("the struct's rows run past its field");
        c.start = v->offset + array.offset;
    }
    c.valid = validity_of(*v);
    c.data = v->buffers[1];
    if (c.length > 0 && !c.data) malformed("no data buffer");
    chunks_.push_back(c);
    rows_ += static_cast<u64>(c.length);
}

std::size_t NumberColumn::next_values(Cursor& at, double* out, std::size_t max) const {
    std::size_t n = 0;
    with_number(type_, [&](auto tag) {
        constexpr Number N = decltype(tag)::value;
        constexpr bool can_nan = N == Number::Float16 || N == Number::Float32 || N == Number::Float64;
        for (; at.chunk < chunks_.size() && n < max; ++at.chunk, at.row = 0) {
            const Chunk& c = chunks_[at.chunk];
            i64 i = at.row;
            if (!c.outer_valid && !c.valid) {
                for (; i < c.length && n < max; ++i) {
                    const double x = value_at<N>(c.data, c.start + i);
                    out[n] = x;
                    if constexpr (can_nan) n += !std::isnan(x);
                    else ++n;
                }
            } else {
                for (; i < c.length && n < max; ++i) {
                    if ((c.outer_valid && !bit(c.outer_valid, c.outer_start + i)) || (c.valid && !bit(c.valid, c.start + i)))
                        continue;
                    const double x = value_at<N>(c.data, c.start + i);
                    out[n] = x;
                    if constexpr (can_nan) n += !std::isnan(x);
                    else ++n;
                }
            }
            if (i < c.length) {
                at.row = i;
                return;
            }
        }
    });
    return n;
}

}  // namespace murk::arrow
