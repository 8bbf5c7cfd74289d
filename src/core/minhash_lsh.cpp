#include "minhash_lsh.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <tuple>
#include <type_traits>

namespace murk {

namespace {

// ---------------------------------------------------------------- parameters

void check_params(double threshold, u64 num_hashes, double wfp, double wfn) {
    if (!(threshold >= 0.0 && threshold <= 1.0)) value_error("threshold must be between 0 and 1");
    if (num_hashes == 0) value_error("num_hashes must be positive");
    if (!(wfp >= 0.0 && wfn >= 0.0 && std::isfinite(wfp) && std::isfinite(wfn)) || std::fabs(wfp + wfn - 1.0) > 1e-9)
        value_error("weights must be two non-negative numbers that sum to 1");
}

void check_banding(u64 bands, u64 rows, u64 num_hashes) {
    if (bands == 0) value_error("bands must be positive");
    if (rows == 0) value_error("rows must be positive");
    if (bands > num_hashes / rows) {
        const unsigned __int128 p = static_cast<unsigned __int128>(bands) * rows;
        std::string prod;
        for (unsigned __int128 v = p; v; v /= 10) prod.insert(prod.begin(), static_cast<char>('0' + v % 10));
        value_error("bands * rows must not exceed num_hashes (" + prod + " > " + std::to_string(num_hashes) + ")");
    }
}

[[noreturn]] void mismatch(const char* verb, const char* field, u64 a, u64 b) {
    value_error(std::string("Cannot ") + verb + ": " + field + " mismatch (" + std::to_string(a) + " vs " +
                std::to_string(b) + ")");
}

constexpr u64 NONE64 = ~u64{0};

u64 pow2_at_least(u64 n) {
    u64 c = 8;
    while (c < n) c <<= 1;
    return c;
}

// ---------------------------------------------------------------- quadrature

// Gauss-Legendre nodes and weights on [-1, 1], found by Newton's method on the
// Legendre polynomial; composite over equal panels, each panel integrates a
// polynomial of degree 2 * ORDER - 1 exactly.
constexpr int ORDER = 16;
constexpr int PANELS = 32;

struct Legendre {
    std::array<double, ORDER> x{}, w{};
    Legendre() {
        const double pi = 3.14159265358979323846;
        for (int i = 0; i < ORDER; ++i) {
            double z = std::cos(pi * (i + 0.75) / (ORDER + 0.5));
            double dp = 1;
            for (int it = 0; it < 100; ++it) {
                double p0 = 1, p1 = z;
                for (int k = 2; k <= ORDER; ++k) {
                    double pk = ((2.0 * k - 1) * z * p1 - (k - 1.0) * p0) / k;
                    p0 = p1;
                    p1 = pk;
                }
                dp = ORDER * (z * p1 - p0) / (z * z - 1);
                double dz = p1 / dp;
                z -= dz;
                if (std::fabs(dz) < 1e-16) break;
            }
            x[i] = z;
            w[i] = 2 / ((1 - z * z) * dp * dp);
        }
    }
};

// Nodes and weights of the composite rule on [a, b].
void nodes(double a, double b, std::vector<double>& xs, std::vector<double>& ws) {
    static const Legendre gl;
    xs.clear();
    ws.clear();
    const double h = (b - a) / PANELS;
    for (int p = 0; p < PANELS; ++p) {
        const double lo = a + p * h, mid = lo + h / 2;
        for (int i = 0; i < ORDER; ++i) {
            xs.push_back(mid + gl.x[i] * h / 2);
            ws.push_back(gl.w[i] * h / 2);
        }
    }
}

// ---------------------------------------------------------------- keys

bool valid_utf8_with_surrogates(std::string_view s) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    std::size_t i = 0;
    auto cont = [&](std::size_t k) { return i + k < n && (p[i + k] & 0xC0) == 0x80; };
    while (i < n) {
        const unsigned c = p[i];
        if (c < 0x80) {
            ++i;
        } else if (c >= 0xC2 && c <= 0xDF) {
            if (!cont(1)) return false;
            i += 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            if (!cont(1) || !cont(2)) return false;
            if (c == 0xE0 && p[i + 1] < 0xA0) return false;  // overlong
            i += 3;  // 0xED 0xA0..0xBF: a lone surrogate, kept as given
        } else if (c >= 0xF0 && c <= 0xF4) {
            if (!cont(1) || !cont(2) || !cont(3)) return false;
            if (c == 0xF0 && p[i + 1] < 0x90) return false;
            if (c == 0xF4 && p[i + 1] > 0x8F) return false;
            i += 4;
        } else {
            return false;
        }
    }
    return true;
}

bool canonical_decimal(std::string_view s) noexcept {
    const bool negative = !s.empty() && s.front() == '-';
    if (negative) s.remove_prefix(1);
    if (s.empty() || (s.front() == '0' && (s.size() > 1 || negative))) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

}  // namespace

namespace lsh {

std::pair<u64, u64> optimal_banding(double threshold, u64 num_hashes, double wfp, double wfn) {
    check_params(threshold, num_hashes, wfp, wfn);
    if (num_hashes > AUTO_BANDING_LIMIT)
        value_error("num_hashes above " + std::to_string(AUTO_BANDING_LIMIT) + " needs explicit bands and rows");
    std::vector<double> lx, lw, hx, hw;
    nodes(0.0, threshold, lx, lw);
    nodes(threshold, 1.0, hx, hw);
    const u64 n = num_hashes;
    // err[r - 1][b - 1] for b * r <= n, filled one rows value at a time: for a
    // fixed node, (1 - s^r)^b for b = 1, 2, ... is a running product.
    std::vector<std::vector<double>> err(n);
    std::vector<double> fp, fn;
    for (u64 r = 1; r <= n; ++r) {
        const u64 maxb = n / r;
        fp.assign(maxb, 0.0);
        fn.assign(maxb, 0.0);
        for (std::size_t k = 0; k < lx.size(); ++k) {
            const double x = 1.0 - std::pow(lx[k], static_cast<double>(r));
            double q = 1.0;
            for (u64 b = 0; b < maxb; ++b) {
                q *= x;
                fp[b] += lw[k] * (1.0 - q);
            }
        }
        for (std::size_t k = 0; k < hx.size(); ++k) {
            const double x = 1.0 - std::pow(hx[k], static_cast<double>(r));
            double q = 1.0;
            for (u64 b = 0; b < maxb && q > 0.0; ++b) {
                q *= x;
                fn[b] += hw[k] * q;
            }
        }
        err[r - 1].resize(maxb);
        for (u64 b = 0; b < maxb; ++b) err[r - 1][b] = wfp * fp[b] + wfn * fn[b];
    }
    u64 best_b = 1, best_r = 1;
    double best = err[0][0];
    for (u64 b = 1; b <= n; ++b)
        for (u64 r = 1; r <= n / b; ++r)
            if (err[r - 1][b - 1] < best) {
                best = err[r - 1][b - 1];
                best_b = b;
                best_r = r;
            }
    return {best_b, best_r};
}

bool valid_key(u8 tag, std::string_view bytes) noexcept {
    if (tag == TAG_STR) return valid_utf8_with_surrogates(bytes);
    if (tag == TAG_INT) return canonical_decimal(bytes);
    return false;
}

}  // namespace lsh

// ---------------------------------------------------------------- construction

MinHashLSH::MinHashLSH(double threshold, u64 num_hashes, double wfp, double wfn, std::optional<u64> bands,
                       std::optional<u64> rows, u64 seed)
    : threshold_(threshold), weight_fp_(wfp), weight_fn_(wfn), num_hashes_(num_hashes), seed_(seed) {
    check_params(threshold, num_hashes, wfp, wfn);
    if (bands.has_value() != rows.has_value()) value_error("bands and rows must be given together");
    if (bands) {
        check_banding(*bands, *rows, num_hashes);
        bands_ = *bands;
        rows_ = *rows;
    } else {
        std::tie(bands_, rows_) = lsh::optimal_banding(threshold, num_hashes, wfp, wfn);
    }
}

MinHashLSH::MinHashLSH(const MinHashLSHData& d)
    : threshold_(d.threshold), weight_fp_(d.weight_fp), weight_fn_(d.weight_fn), num_hashes_(d.num_hashes),
      seed_(d.seed), bands_(d.bands), rows_(d.rows) {
    if (d.version != MinHashLSHData::current_version) value_error("Unsupported MinHashLSH data version");
    check_params(d.threshold, d.num_hashes, d.weight_fp, d.weight_fn);
    check_banding(d.bands, d.rows, d.num_hashes);
    const std::size_t n = d.key_tags.size();
    if (d.key_lengths.size() != n) value_error("key lengths do not match the number of keys");
    u64 total = 0;
    for (u32 len : d.key_lengths) total += len;  // at most 2^32 * 2^32: no overflow
    if (total != d.key_bytes.size()) value_error("key bytes do not match the key lengths");
    if (d.band_hashes.size() / d.bands != n || d.band_hashes.size() % d.bands != 0)
        value_error("band hashes do not match the number of keys and bands");
    if (n > MAX_KEYS) value_error("too many keys");
    reserve(n, d.key_bytes.size());
    const char* bytes = reinterpret_cast<const char*>(d.key_bytes.data());
    for (std::size_t i = 0; i < n; ++i) {
        lsh::KeyRef k{d.key_tags[i], std::string_view(bytes, d.key_lengths[i])};
        bytes += d.key_lengths[i];
        if (!lsh::valid_key(k.tag, k.bytes)) value_error("invalid key in MinHashLSH data");
        if (find(k) != NONE) value_error("duplicate key in MinHashLSH data");
        add(k, d.band_hashes.data() + i * bands_);
    }
}

void MinHashLSH::clear() noexcept {
    auto drop = [](auto& v) { std::decay_t<decltype(v)>().swap(v); };
    drop(keys_);
    drop(arena_);
    drop(free_ids_);
    drop(key_table_);
    drop(buckets_);
    drop(next_);
    drop(prev_);
    garbage_ = live_ = key_used_ = cap_ = tombs_ = 0;
}

// ---------------------------------------------------------------- hashing and lookup

void MinHashLSH::band_hashes(const u64* sig, u64* out) const noexcept {
    const std::size_t len = static_cast<std::size_t>(rows_) * sizeof(u64);
    for (u64 j = 0; j < bands_; ++j) out[j] = hash64(sig + j * rows_, len, band_seed(j));
}

u64 MinHashLSH::key_hash(lsh::KeyRef k) const noexcept { return hash64(k.bytes.data(), k.bytes.size(), k.tag); }

bool MinHashLSH::same_key(u32 id, lsh::KeyRef k) const noexcept {
    const KeyEntry& e = keys_[id];
    return e.tag == k.tag && e.length == k.bytes.size() &&
           std::memcmp(arena_.data() + e.offset, k.bytes.data(), k.bytes.size()) == 0;
}

u32 MinHashLSH::find(lsh::KeyRef k) const noexcept {
    if (key_table_.empty()) return NONE;
    const u64 mask = key_table_.size() - 1;
    for (u64 i = key_hash(k) & mask;; i = (i + 1) & mask) {
        const u32 id = key_table_[i];
        if (id == NONE) return NONE;
        if (id != TOMB && same_key(id, k)) return id;
    }
}

lsh::BatchCheck MinHashLSH::check_new(const KeyBatch& keys) const {
    const std::size_t m = keys.size();
    for (std::size_t i = 0; i < m; ++i)
        if (find(keys[i]) != NONE) return {lsh::BatchCheck::Present, i};
    if (m < 2) return {};
    std::vector<u32> seen(pow2_at_least(2 * m), NONE);
    const u64 mask = seen.size() - 1;
    for (std::size_t i = 0; i < m; ++i) {
        const lsh::KeyRef k = keys[i];
        for (u64 s = key_hash(k) & mask;; s = (s + 1) & mask) {
            if (seen[s] == NONE) {
                seen[s] = static_cast<u32>(i);
                break;
            }
            const lsh::KeyRef o = keys[seen[s]];
            if (o.tag == k.tag && o.bytes == k.bytes) return {lsh::BatchCheck::Repeated, i};
        }
    }
    return {};
}

void MinHashLSH::check_minhash(u64 num_hashes, u64 seed, const char* verb) const {
    if (num_hashes != num_hashes_) mismatch(verb, "num_hashes", num_hashes_, num_hashes);
    if (seed != seed_) mismatch(verb, "seed", seed_, seed);
}

// ---------------------------------------------------------------- growth

namespace {

// Room for `need` elements, growing geometrically so that one-at-a-time
// inserts stay amortised O(1).
template <class V>
void grow(V& v, u64 need) {
    if (need <= v.capacity()) return;
    if (need > v.max_size()) throw std::bad_alloc();
    v.reserve(std::max<u64>(need, std::min<u64>(v.max_size(), sat_mul(v.capacity(), 2))));
}

}  // namespace

void MinHashLSH::reserve(u64 keys, u64 key_bytes) {
    if (keys > MAX_KEYS) value_error("MinHashLSH cannot hold more than " + std::to_string(MAX_KEYS) + " keys");
    // Every band holds at most live_ + tombs_ used slots; keep that under 0.7.
    const u64 need = keys + tombs_;
    if (need * 10 > cap_ * 7) rehash_buckets(pow2_at_least(keys * 10 / 7 + 1));
    const u64 added = keys > live_ ? keys - live_ : 0;
    if ((key_used_ + added) * 2 > key_table_.size()) rehash_keys(pow2_at_least(2 * keys + 2));
    // Everything add() appends to, so that it cannot fail half-way.
    const u64 ids = keys_.size() + (added > free_ids_.size() ? added - free_ids_.size() : 0);
    grow(keys_, ids);
    grow(next_, sat_mul(ids, bands_));
    grow(prev_, sat_mul(ids, bands_));
    grow(arena_, sat_add(arena_.size(), key_bytes));
}

void MinHashLSH::rehash_buckets(u64 capacity) {
    if (capacity > HEAD) throw std::bad_alloc();
    const u64 total = sat_mul(capacity, bands_);
    if (total > buckets_.max_size()) throw std::bad_alloc();
    std::vector<Bucket> fresh(static_cast<std::size_t>(total), Bucket{0, NONE});
    const u64 mask = capacity - 1;
    for (u64 j = 0; j < bands_ && cap_ > 0; ++j) {
        const u64 old_base = j * cap_, base = j * capacity;
        for (u64 s = 0; s < cap_; ++s) {
            const Bucket b = buckets_[old_base + s];
            if (b.head >= TOMB) continue;
            u64 t = b.hash & mask;
            while (fresh[base + t].head != NONE) t = (t + 1) & mask;
            fresh[base + t] = b;
            const u32 head = b.head;
            prev_[head * bands_ + j] = HEAD | static_cast<u32>(t);
        }
    }
    buckets_.swap(fresh);
    cap_ = capacity;
    tombs_ = 0;
}

void MinHashLSH::rehash_keys(u64 capacity) {
    std::vector<u32> table(static_cast<std::size_t>(capacity), NONE);
    const u64 mask = capacity - 1;
    for (u32 id : key_table_) {
        if (id >= TOMB) continue;
        u64 s = key_hash(key(id)) & mask;
        while (table[s] != NONE) s = (s + 1) & mask;
        table[s] = id;
    }
    key_table_.swap(table);
    key_used_ = live_;
}

// ---------------------------------------------------------------- insert and remove

u32 MinHashLSH::add(lsh::KeyRef k, const u64* hashes) {
    // The arena may still grow here (a single insert reserves no bytes); it
    // is the first change, so a failure leaves nothing half-done.
    arena_.insert(arena_.end(), k.bytes.begin(), k.bytes.end());
    u32 id;
    if (!free_ids_.empty()) {
        id = free_ids_.back();
        free_ids_.pop_back();
        keys_[id] = KeyEntry{arena_.size() - k.bytes.size(), static_cast<u32>(k.bytes.size()), k.tag};
    } else {
        id = static_cast<u32>(keys_.size());
        keys_.push_back(KeyEntry{arena_.size() - k.bytes.size(), static_cast<u32>(k.bytes.size()), k.tag});
        next_.resize(next_.size() + bands_);
        prev_.resize(prev_.size() + bands_);
    }

    const u64 kmask = key_table_.size() - 1;
    for (u64 s = key_hash(k) & kmask;; s = (s + 1) & kmask) {
        if (key_table_[s] == NONE) ++key_used_;
        if (key_table_[s] >= TOMB) {
            key_table_[s] = id;
            break;
        }
    }

    const u64 mask = cap_ - 1;
    for (u64 j = 0; j < bands_; ++j) {
        const u64 h = hashes[j], base = j * cap_, e = static_cast<u64>(id) * bands_ + j;
        u64 slot = NONE64, s = h & mask;
        for (;; s = (s + 1) & mask) {
            const u32 head = buckets_[base + s].head;
            if (head == NONE) break;
            if (head == TOMB) {
                if (slot == NONE64) slot = s;
            } else if (buckets_[base + s].hash == h) {
                next_[e] = head;
                prev_[e] = HEAD | static_cast<u32>(s);
                prev_[static_cast<u64>(head) * bands_ + j] = id;
                buckets_[base + s].head = id;
                goto linked;
            }
        }
        if (slot == NONE64) {
            slot = s;
        } else {
            --tombs_;
        }
        buckets_[base + slot] = Bucket{h, id};
        next_[e] = NONE;
        prev_[e] = HEAD | static_cast<u32>(slot);
    linked:;
    }
    ++live_;
    return id;
}

bool MinHashLSH::insert(lsh::KeyRef k, const u64* signature) {
    if (find(k) != NONE) return false;
    reserve(live_ + 1);
    with_band_hashes(signature, [&](const u64* h) { add(k, h); });
    return true;
}

bool MinHashLSH::remove(lsh::KeyRef k) {
    if (key_table_.empty()) return false;
    const u64 kmask = key_table_.size() - 1;
    u64 ks = key_hash(k) & kmask;
    u32 id = NONE;
    for (;; ks = (ks + 1) & kmask) {
        id = key_table_[ks];
        if (id == NONE) return false;
        if (id != TOMB && same_key(id, k)) break;
    }
    if (live_ == 1) {
        clear();
        return true;
    }
    for (u64 j = 0; j < bands_; ++j) {
        const u64 e = static_cast<u64>(id) * bands_ + j;
        const u32 p = prev_[e], nx = next_[e];
        if (p & HEAD) {
            const u64 slot = j * cap_ + (p & ~HEAD);
            if (nx == NONE) {
                buckets_[slot].head = TOMB;
                ++tombs_;
            } else {
                buckets_[slot].head = nx;
                prev_[static_cast<u64>(nx) * bands_ + j] = p;
            }
        } else {
            next_[static_cast<u64>(p) * bands_ + j] = nx;
            if (nx != NONE) prev_[static_cast<u64>(nx) * bands_ + j] = p;
        }
    }
    key_table_[ks] = TOMB;
    garbage_ += keys_[id].length;
    keys_[id] = KeyEntry{0, 0, FREE_TAG};
    free_ids_.push_back(id);
    --live_;
    if (garbage_ > (u64{1} << 16) && garbage_ * 2 > arena_.size()) compact_arena();
    return true;
}

void MinHashLSH::compact_arena() {
    std::vector<char> fresh;
    fresh.reserve(arena_.size() - garbage_);
    for (KeyEntry& e : keys_) {
        if (e.tag == FREE_TAG) continue;
        const u64 at = fresh.size();
        fresh.insert(fresh.end(), arena_.begin() + static_cast<std::ptrdiff_t>(e.offset),
                     arena_.begin() + static_cast<std::ptrdiff_t>(e.offset + e.length));
        e.offset = at;
    }
    arena_.swap(fresh);
    garbage_ = 0;
}

// ---------------------------------------------------------------- queries

void MinHashLSH::prefetch_buckets(const u64* hs) const noexcept {
    if (live_ == 0) return;
    const u64 mask = cap_ - 1;
    for (u64 j = 0; j < bands_; ++j) __builtin_prefetch(&buckets_[j * cap_ + (hs[j] & mask)], 0, 1);
}

void MinHashLSH::lookup(const u64* hs, std::vector<u32>& out) const {
    out.clear();
    if (live_ == 0) return;
    out.reserve(bands_);  // one hit per band is the usual case
    const u64 mask = cap_ - 1;
    for (u64 j = 0; j < bands_; ++j) {
        const u64 base = j * cap_;
        for (u64 s = hs[j] & mask;; s = (s + 1) & mask) {
            const Bucket& b = buckets_[base + s];
            if (b.head == NONE) break;
            if (b.head == TOMB || b.hash != hs[j]) continue;
            for (u32 id = b.head; id != NONE; id = next_[static_cast<u64>(id) * bands_ + j]) out.push_back(id);
            break;
        }
    }
    std::sort(out.begin(), out.end());
    if (bands_ > 1) out.erase(std::unique(out.begin(), out.end()), out.end());
}

void MinHashLSH::query(const u64* signature, std::vector<u32>& out) const {
    out.clear();
    if (live_ == 0) return;
    with_band_hashes(signature, [&](const u64* h) {
        prefetch_buckets(h);
        lookup(h, out);
    });
}

// ---------------------------------------------------------------- merge and persistence

void MinHashLSH::all_band_hashes(std::vector<u64>& out) const {
    out.assign(static_cast<std::size_t>(sat_mul(keys_.size(), bands_)), 0);
    for (u64 j = 0; j < bands_ && live_ > 0; ++j) {
        const u64 base = j * cap_;
        for (u64 s = 0; s < cap_; ++s) {
            const u32 head = buckets_[base + s].head;
            if (head >= TOMB) continue;
            const u64 h = buckets_[base + s].hash;
            for (u32 id = head; id != NONE; id = next_[static_cast<u64>(id) * bands_ + j])
                out[static_cast<u64>(id) * bands_ + j] = h;
        }
    }
}

std::optional<lsh::KeyRef> MinHashLSH::merge(const MinHashLSH& o) {
    if (o.num_hashes_ != num_hashes_) mismatch("merge", "num_hashes", num_hashes_, o.num_hashes_);
    if (o.seed_ != seed_) mismatch("merge", "seed", seed_, o.seed_);
    if (o.bands_ != bands_) mismatch("merge", "bands", bands_, o.bands_);
    if (o.rows_ != rows_) mismatch("merge", "rows", rows_, o.rows_);
    for (std::size_t id = 0; id < o.keys_.size(); ++id)
        if (o.keys_[id].tag != FREE_TAG && find(o.key(static_cast<u32>(id))) != NONE) return o.key(static_cast<u32>(id));
    if (o.live_ == 0) return std::nullopt;
    reserve(live_ + o.live_, o.arena_.size() - o.garbage_);
    std::vector<u64> hashes;
    o.all_band_hashes(hashes);
    for (std::size_t id = 0; id < o.keys_.size(); ++id)
        if (o.keys_[id].tag != FREE_TAG) add(o.key(static_cast<u32>(id)), hashes.data() + id * bands_);
    return std::nullopt;
}

MinHashLSHData MinHashLSH::record() const {
    MinHashLSHData d;
    d.threshold = threshold_;
    d.weight_fp = weight_fp_;
    d.weight_fn = weight_fn_;
    d.num_hashes = num_hashes_;
    d.seed = seed_;
    d.bands = bands_;
    d.rows = rows_;
    std::vector<u64> hashes;
    all_band_hashes(hashes);
    d.key_tags.reserve(live_);
    d.key_lengths.reserve(live_);
    d.key_bytes.reserve(arena_.size() - garbage_);
    d.band_hashes.reserve(live_ * bands_);
    for (std::size_t id = 0; id < keys_.size(); ++id) {
        if (keys_[id].tag == FREE_TAG) continue;
        const lsh::KeyRef k = key(static_cast<u32>(id));
        d.key_tags.push_back(k.tag);
        d.key_lengths.push_back(static_cast<u32>(k.bytes.size()));
        d.key_bytes.insert(d.key_bytes.end(), k.bytes.begin(), k.bytes.end());
        d.band_hashes.insert(d.band_hashes.end(), hashes.begin() + static_cast<std::ptrdiff_t>(id * bands_),
                             hashes.begin() + static_cast<std::ptrdiff_t>((id + 1) * bands_));
    }
    return d;
}

// ---------------------------------------------------------------- reporting

u64 MinHashLSH::size_in_bytes() const noexcept {
    return sizeof(*this) + keys_.capacity() * sizeof(KeyEntry) + arena_.capacity() +
           free_ids_.capacity() * 4 + key_table_.capacity() * 4 + buckets_.capacity() * sizeof(Bucket) + next_.capacity() * 4 + prev_.capacity() * 4;
}

std::string MinHashLSH::repr() const {
    return "MinHashLSH(threshold=" + format_double(threshold_) + ", bands=" + std::to_string(bands_) +
           ", rows=" + std::to_string(rows_) + ", keys=" + std::to_string(live_) + ")";
}

}  // namespace murk
