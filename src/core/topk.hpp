// Space-Saving heavy-hitter tracker over string items.
//
// Counters live in a "stream summary": buckets of equal count in a doubly
// linked list (highest count first), each holding its counters in a doubly
// linked list in tracking order. Reading the buckets top to bottom gives the
// tracking order, so an increment moves a counter to the tail of the bucket of
// its new count in O(1) for the usual +1, instead of swapping it past a long
// run of equal counts. Items are found through a chained hash index over the
// item bytes whose links live in the counters themselves, so evicting an item
// unhooks one link instead of reshuffling a probe run.
#pragma once

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "persistence.hpp"
#include "utils.hpp"

namespace murk {

// An item's text inside a record: UTF-8, checked on every way in.
struct ItemText {
    std::string s;
};

template <>
struct Codec<ItemText> {
    static constexpr bool optional = false;
    static std::size_t size(const ItemText& t) { return 8 + t.s.size(); }
    static void write(Writer& w, const ItemText& t) {
        w.put<u64>(t.s.size());
        w.put_raw(t.s.data(), t.s.size());
    }
    static void read(Reader& r, ItemText& t);
    static void to_json(JsonOut& o, const ItemText& t) { json_string(o, t.s); }
    static void from_json(JsonIn& in, ItemText& t);
};

// Empty when s is well-formed UTF-8, else the description of the first fault.
std::string utf8_fault(std::string_view s);

struct TopKCounter {
    static constexpr std::string_view name = "Counter";
    ItemText item;
    u64 count = 0;
    u64 error = 0;
    template <class S, class V>
    static void fields(S& s, V&& v) {
        v("item", s.item);
        v("count", s.count);
        v("error", s.error);
    }
};

struct TopKData {
    static constexpr std::string_view name = "TopKData";
    u8 version = 1;
    std::vector<TopKCounter> counters;
    u64 k = 0;
    template <class S, class V>
    static void fields(S& s, V&& v) {
        v("version", s.version);
        v("counters", s.counters);
        v("k", s.k);
    }
};

namespace detail {

inline u64 load4(const char* p) noexcept {
    u32 v;
    std::memcpy(&v, p, 4);
    return v;
}

// The bytes of a short text (at most 16) as two words; equal-length texts are
// equal exactly when their words are. Lengths 4 to 16 share one path of four
// overlapping loads, so words of mixed lengths cost no mispredicted branch.
struct Words {
    u64 a, b;
};
inline Words short_words(const char* p, std::size_t n) noexcept {
    if (n >= 4) {
        const std::size_t q = (n >> 3) << 2;
        return {load4(p) << 32 | load4(p + q), load4(p + n - 4) << 32 | load4(p + n - 4 - q)};
    }
    if (n == 0) return {0, 0};
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return {u64{u[0]} << 16 | u64{u[n >> 1]} << 8 | u[n - 1], 0};
}

inline u64 fold_mul(u64 a, u64 b) noexcept {
    const unsigned __int128 r = static_cast<unsigned __int128>(a) * b;
    return static_cast<u64>(r) ^ static_cast<u64>(r >> 64);
}

// Keyed index hash: two folded multiplications for short texts, XXH3 beyond.
inline u64 item_hash(const char* p, std::size_t n, u64 key) noexcept {
    if (n > 16) return hash64(p, n, key);
    const Words w = short_words(p, n);
    const u64 h = fold_mul(w.a ^ 0xa0761d6478bd642fULL ^ key, w.b ^ 0xe7037ed1a0b428dbULL ^ (key >> 17 | key << 47));
    return fold_mul(h ^ 0x8ebc6af09c88c6e3ULL, n ^ 0x589965cc75374cc3ULL ^ key);
}

inline bool same_bytes(const char* a, const char* b, std::size_t n) noexcept {
    if (n > 16) return std::memcmp(a, b, n) == 0;
    const Words x = short_words(a, n), y = short_words(b, n);
    return ((x.a ^ y.a) | (x.b ^ y.b)) == 0;
}

}  // namespace detail

class TopK {
public:
    static constexpr Format format{"MKTK", 1};

    explicit TopK(u64 k);
    explicit TopK(TopKData d);  // validates
    TopK(const TopK& o);
    TopK(TopK&&) noexcept = default;
    TopK& operator=(const TopK&) = delete;
    TopK& operator=(TopK&&) = delete;

    void add(std::string_view item, u64 c) { add_hashed(item, hash(item), c); }
    u64 query(std::string_view item) const noexcept {
        u32 s = find(item, hash(item));
        return s == NIL ? 0 : slots_[s].count;
    }
    bool contains(std::string_view item) const noexcept { return find(item, hash(item)) != NIL; }

    // next() gives the items one after another; they are hashed a few items
    // ahead so that the index lines are in cache when their turn comes.
    template <class Next>
    void add_many(std::size_t n, Next&& next) {
        pipelined(n, next, [&](std::size_t, std::string_view item, u64 h) { add_hashed(item, h, 1); });
    }
    template <class Next>
    void query_many(std::size_t n, Next&& next, u64* out) const {
        pipelined(n, next, [&](std::size_t i, std::string_view item, u64 h) {
            u32 s = find(item, h);
            out[i] = s == NIL ? 0 : slots_[s].count;
        });
    }

    // f(item, count, error) for the first n counters in tracking order.
    template <class F>
    void for_each(u64 n, F&& f) const {
        for (u32 b = top_; b != NIL && n > 0; b = buckets_[b].down)
            for (u32 s = buckets_[b].head; s != NIL && n > 0; s = slots_[s].next, --n) {
                const Slot& x = slots_[s];
                f(std::string_view(x.item), x.count, x.error);
            }
    }

    u64 min_count() const noexcept { return bottom_ == NIL ? 0 : buckets_[bottom_].count; }
    void merge(const TopK& other);
    void clear() noexcept;

    u64 k() const noexcept { return k_; }
    u64 size() const noexcept { return slots_.size(); }
    u64 size_in_bytes() const noexcept;
    std::string repr() const;

    TopKData record() const;
    std::string to_bytes() const { return murk::to_bytes(record(), format); }
    std::string to_json() const { return murk::to_json(record()); }
    static TopK from_bytes(std::string_view b) { return TopK(murk::from_bytes<TopKData>(b, format)); }
    static TopK from_json(std::string_view t) { return TopK(murk::from_json<TopKData>(t)); }

private:
    static constexpr u32 NIL = 0xffffffffu;
    static constexpr u64 MAX_SLOTS = NIL - 1;  // slot ids are u32 and NIL is reserved

    struct Slot {
        u64 hash;
        u32 chain;  // next counter in the same index chain, + 1 (0 ends it)
        u32 bucket;
        std::string item;
        u64 count;
        u64 error;
        u32 prev, next;  // neighbours in the bucket, in tracking order
    };
    struct Bucket {
        u64 count;
        u32 head, tail;  // first and last counter of the bucket
        u32 up, down;    // bucket of the next higher / lower count (down links the free list)
    };

    static u64 make_hash_key() noexcept;
    static inline const u64 hash_key = make_hash_key();
    static u64 hash(std::string_view s) noexcept { return detail::item_hash(s.data(), s.size(), hash_key); }

    template <class Next, class Step>
    void pipelined(std::size_t n, Next& next, Step&& step) const {
        constexpr std::size_t AHEAD = 8;
        std::string_view items[AHEAD];
        u64 hashes[AHEAD];
        auto stage = [&](std::size_t j) {
            const std::string_view item = next();
            const u64 h = hash(item);
            items[j % AHEAD] = item;
            hashes[j % AHEAD] = h;
            prefetch(&heads_[h & mask_]);
        };
        for (std::size_t j = 0; j < n && j < AHEAD; ++j) stage(j);
        for (std::size_t i = 0; i < n; ++i) {
            const std::string_view item = items[i % AHEAD];
            const u64 h = hashes[i % AHEAD];
            if (i + AHEAD < n) stage(i + AHEAD);
            step(i, item, h);
        }
    }

    u32 find(std::string_view s, u64 h) const noexcept;  // NIL when not tracked
    void index_insert(u32 slot) noexcept;
    void index_erase(u32 slot) noexcept;
    void reserve(u64 n);
    void rehash(u64 chains);
    static Slot make_slot(std::string item, u64 count, u64 error, u64 hash);

    void add_hashed(std::string_view item, u64 h, u64 c);
    void raise_to(u32 s, u64 c) noexcept;
    u32 unlink(u32 s) noexcept;
    void place(u32 s, u64 c, u32 above) noexcept;
    void append_in_order(u32 s) noexcept;
    u32 new_bucket(u64 c) noexcept;
    void push_back(u32 b, u32 s) noexcept;
    void rebuild(std::vector<Slot> fresh, Array<u32> heads) noexcept;

    template <class F>
    void for_each_slot(F&& f) const {
        for (u32 b = top_; b != NIL; b = buckets_[b].down)
            for (u32 s = buckets_[b].head; s != NIL; s = slots_[s].next) f(slots_[s]);
    }

    u64 k_;
    std::vector<Slot> slots_;  // dense: eviction reuses the victim's slot
    std::vector<Bucket> buckets_;
    u32 free_bucket_ = NIL;
    u32 top_ = NIL, bottom_ = NIL;
    Array<u32> heads_;  // first counter + 1 of each chain (0: empty); a power of two, >= 2 per counter
    u64 mask_ = 0;
};

inline u32 TopK::find(std::string_view s, u64 h) const noexcept {
    for (u32 x = heads_[h & mask_]; x != 0;) {
        const Slot& S = slots_[x - 1];
        if (S.hash == h && S.item.size() == s.size() && detail::same_bytes(S.item.data(), s.data(), s.size()))
            return x - 1;
        x = S.chain;
    }
    return NIL;
}

}  // namespace murk
