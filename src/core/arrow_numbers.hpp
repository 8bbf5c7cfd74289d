// Numeric Arrow columns read in place as 64-bit floats: integers of every
// width, float16, float32 and float64, chunked or not, bare or as a struct
// of one field. Nulls and NaN are skipped. No Python here.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>
#include <string>
#include <vector>

#include "arrow_column.hpp"

namespace murk::arrow {

enum class Number : u8 { Int8, UInt8, Int16, UInt16, Int32, UInt32, Int64, UInt64, Float16, Float32, Float64 };

// A half-precision value, exactly, as a double.
double half_to_double(std::uint16_t h) noexcept;

// The C type each number is stored as (float16 as its bits).
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
                                       std::conditional_t<N == Number::Int64, std::int64_t,
                                                          std::conditional_t<N == Number::UInt64, std::uint64_t,
                                                                             std::conditional_t<N == Number::Float32,
                                                                                                float, double>>>>>>>>>;

// The number stored at p (any alignment) as a double.
template <Number N>
inline double number_at(const void* p) noexcept {
    Stored<N> v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (N == Number::Float16) return half_to_double(v);
    else return static_cast<double>(v);
}

// Calls f(std::integral_constant<Number, n>{}): one instance of f per number type.
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

class NumberColumn {
public:
    // TypeError for a schema that is not numeric, ValueError for a malformed one.
    explicit NumberColumn(const ArrowSchema& schema);

    // Validates one array; it must outlive this object.
    void add(const ArrowArray& array);

    u64 rows() const { return rows_; }
    const std::string& type_name() const { return name_; }

    // The next values from `at` on, nulls and NaN left out, at most max of
    // them; fewer only at the end.
    std::size_t next_values(Cursor& at, double* out, std::size_t max) const;

private:
    struct Chunk {
        const u8* outer_valid = nullptr;
        std::int64_t outer_start = 0;
        const u8* valid = nullptr;
        const void* data = nullptr;
        std::int64_t start = 0, length = 0;
    };
    Number type_ = Number::Float64;
    bool wrapped_ = false;
    std::string name_;
    std::vector<Chunk> chunks_;
    u64 rows_ = 0;
};

}  // namespace murk::arrow
