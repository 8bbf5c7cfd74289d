#include "cuckoo.hpp"

#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <random>

namespace murk {

namespace {

constexpr u64 ALT_SEED_XOR = 0xd6e8feb86659fd93ULL;

// xoshiro256** per thread, seeded once from the OS entropy source. Relocation
// only needs cheap, well-spread draws; it never touches Python.
class Rng {
public:
    Rng() {
        u64 s[4] = {0, 0, 0, 0};
        if (!fill(s, sizeof s)) {
            // No entropy call: the standard device, or at worst the clock and this
            // thread's stack address (relocation needs spread, not secrecy).
            try {
                std::random_device rd;
                for (auto& x : s) x = (u64{rd()} << 32) ^ rd();
            } catch (...) {
                s[0] = static_cast<u64>(std::chrono::steady_clock::now().time_since_epoch().count());
                s[1] = reinterpret_cast<std::uintptr_t>(&s);
            }
        }
        // SplitMix64 spreads whatever we got and guarantees a non-zero state.
        u64 z = s[0] ^ s[1] ^ s[2] ^ s[3];
        for (int i = 0; i < 4; ++i) {
            z += G;
            s_[i] = splitmix64_mix(z) ^ s[i];
        }
        if ((s_[0] | s_[1] | s_[2] | s_[3]) == 0) s_[0] = G;
    }
    u64 next64() noexcept {
        const u64 r = std::rotl(s_[1] * 5, 7) * 9;
        const u64 t = s_[1] << 17;
        s_[2] ^= s_[0];
        s_[3] ^= s_[1];
        s_[1] ^= s_[2];
        s_[0] ^= s_[3];
        s_[2] ^= t;
        s_[3] = std::rotl(s_[3], 45);
        return r;
    }
    u32 next32() noexcept { return static_cast<u32>(next64() >> 32); }

private:
    // getentropy (at most 256 bytes a call) exists on Linux and macOS alike.
    static bool fill(void* p, std::size_t n) { return ::getentropy(p, n) == 0; }

    u64 s_[4];
};

Rng& rng() {
    thread_local Rng r;
    return r;
}

u64 max_slots(u64 num_buckets) noexcept { return sat_mul(4, num_buckets); }

CuckooFilterData sized(u64 capacity, u64 seed) {
    if (capacity == 0) value_error("capacity must be positive");
    const u64 q = sat_add(capacity, 3) / 4;
    const u64 x = saturating_u64(std::ceil(static_cast<double>(q) / 0.95));
    CuckooFilterData d;
    d.num_buckets = std::bit_ceil(x);  // x <= 2^63 because q < 2^62
    d.capacity = capacity;
    d.seed = seed;
    if (d.num_buckets > d.buckets.w.max_size()) throw std::bad_alloc();
    d.buckets.w.resize(static_cast<std::size_t>(d.num_buckets));
    return d;
}

CuckooFilterData validated(CuckooFilterData d) {
    if (d.version != CuckooFilterData::VERSION) value_error("Unsupported Cuckoo filter data version");
    if (!std::has_single_bit(d.num_buckets))
        value_error("Invalid Cuckoo filter: bucket count must be a non-zero power of two");
    if (d.buckets.w.size() != d.num_buckets)
        value_error("Invalid Cuckoo filter: bucket array length does not match metadata");
    const u64 cap = d.capacity.value_or(max_slots(d.num_buckets));
    if (cap == 0 || cap > max_slots(d.num_buckets) || d.count > cap)
        value_error("Invalid Cuckoo filter: capacity metadata is out of range");
    u64 used = 0;
    for (u64 w : d.buckets.w) used += bucket::occupied(w);
    if (used != d.count) value_error("Invalid Cuckoo filter: stored count does not match occupied slots");
    d.capacity = cap;
    return d;
}

}  // namespace

CuckooFilter::CuckooFilter(u64 capacity, u64 seed) : CuckooFilter(sized(capacity, seed)) {}

CuckooFilter::CuckooFilter(CuckooFilterData d)
    : d_(validated(std::move(d))), mask_(d_.num_buckets - 1), alt_seed_(d_.seed ^ ALT_SEED_XOR) {}

bool CuckooFilter::insert(const CuckooSlot& s) noexcept {
    if (d_.count >= capacity()) return false;
    u64* b = d_.buckets.w.data();
    for (u64 i : {s.i1, s.i2}) {
        int e = bucket::find(b[i], 0);
        if (e >= 0) {
            bucket::set(b[i], e, s.f);
            ++d_.count;
            return true;
        }
    }

    // Both buckets are full: evict along a random walk, logging every swap so
    // that an exhausted walk can put each fingerprint back where it was.
    struct Undo {
        u64 bucket;
        u16 old;
        u8 slot;
    };
    Undo log[MAX_KICKS];
    Rng& r = rng();
    u64 cur = (r.next32() >> 31) ? s.i1 : s.i2;
    u16 f = s.f;
    for (unsigned n = 0; n < MAX_KICKS; ++n) {
        const int slot = static_cast<int>(r.next64() & 3);
        const u16 g = bucket::get(b[cur], slot);
        bucket::set(b[cur], slot, f);
        log[n] = {cur, g, static_cast<u8>(slot)};
        f = g;
        cur = alt(cur, f);
        const int e = bucket::find(b[cur], 0);
        if (e >= 0) {
            bucket::set(b[cur], e, f);
            ++d_.count;
            return true;
        }
    }
    for (unsigned n = MAX_KICKS; n-- > 0;) bucket::set(b[log[n].bucket], log[n].slot, log[n].old);
    return false;
}

bool CuckooFilter::remove(const CuckooSlot& s) noexcept {
    u64* b = d_.buckets.w.data();
    for (u64 i : {s.i1, s.i2}) {
        int e = bucket::find(b[i], s.f);
        if (e >= 0) {
            bucket::set(b[i], e, 0);
            --d_.count;
            return true;
        }
    }
    return false;
}

void CuckooFilter::clear() noexcept {
    std::fill(d_.buckets.w.begin(), d_.buckets.w.end(), 0);
    d_.count = 0;
}

const char* CuckooFilter::health() const noexcept {
    const double lf = load_factor();
    return lf >= 0.95 ? "saturated" : lf >= 0.85 ? "warning" : "healthy";
}

std::string CuckooFilter::repr() const {
    return "CuckooFilter(capacity=" + std::to_string(capacity()) + ", count=" + std::to_string(d_.count) +
           ", load_factor=" + fixed(load_factor() * 100.0, 2) + "%)";
}

// ---------------------------------------------------------------- JSON buckets

void Codec<CuckooBuckets>::to_json(JsonOut& o, const CuckooBuckets& b) {
    json_begin(o, false);
    for (u64 w : b.w) {
        json_begin(o, true);
        json_key(o, "fingerprints");
        json_begin(o, false);
        for (int s = 0; s < 4; ++s) json_uint(o, bucket::get(w, s));
        json_end(o, false);
        json_end(o, true);
    }
    json_end(o, false);
}

namespace {

u64 bucket_from_json(JsonIn& in) {
    static const char* shape = "struct Bucket with 1 element";
    std::array<u16, 4> fp{};
    const auto& t = in.next();
    if (t.kind() == JsonIn::BeginArray) {
        if (in.peek().kind() == JsonIn::EndArray) in.fail(std::string("invalid length 0, expected ") + shape);
        Codec<std::array<u16, 4>>::from_json(in, fp);
        if (in.next().kind() != JsonIn::EndArray) in.fail(std::string("trailing elements, expected ") + shape);
    } else {
        if (t.kind() != JsonIn::BeginObject) in.fail_type(t, shape);
        bool seen = false;
        while (in.peek().kind() != JsonIn::EndObject) {
            if (in.str(in.next()) != "fingerprints") {
                in.skip_value();
                continue;
            }
            if (seen) in.fail("duplicate field `fingerprints`");
            seen = true;
            Codec<std::array<u16, 4>>::from_json(in, fp);
        }
        in.next();
        if (!seen) in.fail("missing field `fingerprints`");
    }
    u64 w = 0;
    for (int s = 0; s < 4; ++s) bucket::set(w, s, fp[static_cast<std::size_t>(s)]);
    return w;
}

}  // namespace

void Codec<CuckooBuckets>::from_json(JsonIn& in, CuckooBuckets& b) {
    const auto& t = in.next();
    if (t.kind() != JsonIn::BeginArray) in.fail_type(t, "a sequence");
    b.w.clear();
    while (in.peek().kind() != JsonIn::EndArray) b.w.push_back(bucket_from_json(in));
    in.next();
}

}  // namespace murk
