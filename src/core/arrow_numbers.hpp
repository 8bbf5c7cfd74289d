// Numeric Arrow columns read in place as 64-bit floats: integers of every
// width, float16, float32 and float64, chunked or not, bare or as a struct
// of one field. Nulls and NaN are skipped. No Python here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "arrow_column.hpp"

namespace murk::arrow {

enum class Number : u8 { Int8, UInt8, Int16, UInt16, Int32, UInt32, Int64, UInt64, Float16, Float32, Float64 };

// A half-precision value, exactly, as a double.
double half_to_double(std::uint16_t h) noexcept;

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
