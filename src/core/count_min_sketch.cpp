#include "count_min_sketch.hpp"

#include <cmath>
#include <cstring>

namespace murk {

// ---------------------------------------------------------------- table codec

// Two passes: the first walks the row lengths (each bounded by the bytes
// left), so the single allocation never exceeds what the payload holds.
void Codec<CounterTable>::read(Reader& r, CounterTable& t) {
    t = CounterTable{};
    const u64 rows = r.get<u64>();
    Reader scan = r;
    u64 total = 0;
    for (u64 i = 0; i < rows; ++i) {
        const u64 len = scan.get<u64>();
        if (len > scan.left() / 8) unexpected_eof();
        scan.take(static_cast<std::size_t>(len * 8));
        if (i == 0)
            t.cols = len;
        else if (len != t.cols)
            t.ragged = true;
        total += len;
    }
    t.cells.resize(static_cast<std::size_t>(total));
    u64* dst = t.cells.data();
    for (u64 i = 0; i < rows; ++i) {
        const u64 len = r.get<u64>();
        const char* src = r.take(static_cast<std::size_t>(len * 8));
        if constexpr (std::endian::native == std::endian::little) {
            if (len) std::memcpy(dst, src, static_cast<std::size_t>(len * 8));
        } else {
            Reader row(std::string_view(src, static_cast<std::size_t>(len * 8)));
            for (u64 c = 0; c < len; ++c) dst[c] = row.get<u64>();
        }
        dst += len;
    }
    t.rows = rows;
}

void Codec<CounterTable>::from_json(JsonIn& in, CounterTable& t) {
    const auto& open = in.next();
    if (open.kind() != JsonIn::BeginArray) in.fail_type(open, "a sequence");
    t = CounterTable{};
    while (in.peek().kind() != JsonIn::EndArray) {
        const auto& row = in.next();
        if (row.kind() != JsonIn::BeginArray) in.fail_type(row, "a sequence");
        u64 len = 0;
        for (; in.peek().kind() != JsonIn::EndArray; ++len) Codec<u64>::from_json(in, t.cells.emplace_back());
        in.next();
        if (t.rows == 0)
            t.cols = len;
        else if (len != t.cols)
            t.ragged = true;
        ++t.rows;
    }
    in.next();
}

// ---------------------------------------------------------------- construction

namespace {

constexpr const char* EITHER = "Either provide (width, depth) or (error_rate, confidence)";

CountMinSketchData sized(std::optional<u64> width, std::optional<u64> depth, std::optional<double> error_rate,
                         std::optional<double> confidence, u64 seed) {
    CountMinSketchData d;
    if (width) {
        if (!depth) value_error(EITHER);
        d.width = *width;
        d.depth = *depth;
    } else {
        if (depth || !error_rate || !confidence) value_error(EITHER);
        const double eps = *error_rate, conf = *confidence;
        if (!(eps > 0.0 && eps < 1.0)) value_error("error_rate must be between 0 and 1 (exclusive)");
        if (!(conf > 0.0 && conf < 1.0)) value_error("confidence must be between 0 and 1 (exclusive)");
        d.width = saturating_u64(std::ceil(CountMinSketch::E / eps));
        d.depth = saturating_u64(std::ceil(std::log(1.0 / (1.0 - conf))));
    }
    if (d.width == 0) value_error("width must be positive");
    if (d.depth == 0) value_error("depth must be positive");
    if (d.width > CMS_MAX_COUNTERS / d.depth) throw std::bad_alloc();
    d.table.rows = d.depth;
    d.table.cols = d.width;
    d.table.cells.resize(static_cast<std::size_t>(d.width * d.depth));
    d.seed = seed;
    return d;
}

CountMinSketchData validated(CountMinSketchData d) {
    if (d.version != CountMinSketchData::VERSION) value_error("Unsupported Count-Min Sketch data version");
    if (d.width == 0 || d.depth == 0) value_error("width and depth must be positive");
    const auto& t = d.table;
    if (t.rows != d.depth || t.ragged || t.cols != d.width)
        value_error("table dimensions do not match width and depth");
    return d;
}

}  // namespace

CountMinSketch::CountMinSketch(std::optional<u64> width, std::optional<u64> depth, std::optional<double> error_rate,
                               std::optional<double> confidence, u64 seed)
    : CountMinSketch(sized(width, depth, error_rate, confidence, seed)) {}

CountMinSketch::CountMinSketch(CountMinSketchData d) : d_(validated(std::move(d))), mod_(d_.width) {}

// ---------------------------------------------------------------- combining

void CountMinSketch::merge(const CountMinSketch& o) {
    auto mismatch = [](const char* field, u64 a, u64 b) {
        value_error(std::string("Cannot merge: ") + field + " mismatch (" + std::to_string(a) + " vs " +
                    std::to_string(b) + ")");
    };
    if (d_.width != o.d_.width) mismatch("width", d_.width, o.d_.width);
    if (d_.depth != o.d_.depth) mismatch("depth", d_.depth, o.d_.depth);
    if (d_.seed != o.d_.seed) mismatch("seed", d_.seed, o.d_.seed);
    u64* a = d_.table.cells.data();
    const u64* b = o.d_.table.cells.data();
    for (std::size_t i = 0, n = d_.table.cells.size(); i < n; ++i) a[i] = sat_add(a[i], b[i]);
    d_.count = sat_add(d_.count, o.d_.count);
}

u64 CountMinSketch::inner_product(const CountMinSketch& o) const {
    if (d_.width != o.d_.width || d_.depth != o.d_.depth || d_.seed != o.d_.seed)
        value_error("Cannot compute inner product: sketches must have matching dimensions and seed");
    u64 best = U64_MAX;
    for (u64 r = 0; r < d_.depth; ++r) {
        const u64* a = d_.table.row(r);
        const u64* b = o.d_.table.row(r);
        u64 dot = 0;
        for (u64 c = 0; c < d_.width; ++c) dot = sat_add(dot, sat_mul(a[c], b[c]));
        best = std::min(best, dot);
    }
    return best;
}

void CountMinSketch::clear() noexcept {
    std::fill(d_.table.cells.begin(), d_.table.cells.end(), 0);
    d_.count = 0;
}

// ---------------------------------------------------------------- statistics

double CountMinSketch::confidence() const noexcept { return 1.0 - std::pow(E, -static_cast<double>(d_.depth)); }

u64 CountMinSketch::error_bound() const noexcept {
    return saturating_u64(std::ceil(static_cast<double>(d_.count) * (E / static_cast<double>(d_.width))));
}

std::string CountMinSketch::repr() const {
    return "CountMinSketch(width=" + std::to_string(d_.width) + ", depth=" + std::to_string(d_.depth) +
           ", total_count=" + std::to_string(d_.count) + ")";
}

}  // namespace murk
