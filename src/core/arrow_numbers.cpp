#include "arrow_numbers.hpp"

#include <bit>
#include <cmath>
#include <cstring>
#include <string_view>
#include <type_traits>

namespace murk::arrow {

using i64 = std::int64_t;

namespace {

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
            // (An empty chunk may have no data buffer at all.)
            const char* const data =
                c.data ? static_cast<const char*>(c.data) + c.start * i64{sizeof(Stored<N>)} : nullptr;
            i64 i = at.row;
            if (!c.outer_valid && !c.valid) {
                for (; i < c.length && n < max; ++i) {
                    const double x = number_at<N>(data + i * i64{sizeof(Stored<N>)});
                    out[n] = x;
                    if constexpr (can_nan) n += !std::isnan(x);
                    else ++n;
                }
            } else {
                for (; i < c.length && n < max; ++i) {
                    if ((c.outer_valid && !bit(c.outer_valid, c.outer_start + i)) || (c.valid && !bit(c.valid, c.start + i)))
                        continue;
                    const double x = number_at<N>(data + i * i64{sizeof(Stored<N>)});
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
