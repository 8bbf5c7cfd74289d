#include "topk.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <random>

namespace murk {

// Helpers of the update path, folded into it.
#define HOT [[gnu::always_inline]] inline

// ---------------------------------------------------------------- item text

// Describes the first malformed sequence the way a strict UTF-8 decoder
// reports it: the offset where the valid prefix ends, and the length of the
// invalid sequence, or "incomplete" when the text ends inside a sequence.
std::string utf8_fault(std::string_view s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    std::size_t i = 0;
    while (i < n) {
        const unsigned c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t width = 0;
        unsigned lo = 0x80, hi = 0xbf;  // allowed range of the second byte
        if (c >= 0xc2 && c <= 0xdf) {
            width = 2;
        } else if (c >= 0xe0 && c <= 0xef) {
            width = 3;
            if (c == 0xe0) lo = 0xa0;
            if (c == 0xed) hi = 0x9f;  // no surrogates
        } else if (c >= 0xf0 && c <= 0xf4) {
            width = 4;
            if (c == 0xf0) lo = 0x90;
            if (c == 0xf4) hi = 0x8f;
        }
        auto invalid = [&](std::size_t len) {
            return "invalid utf-8 sequence of " + std::to_string(len) + " bytes from index " + std::to_string(i);
        };
        if (width == 0) return invalid(1);
        for (std::size_t j = 1; j < width; ++j) {
            if (i + j >= n) return "incomplete utf-8 byte sequence from index " + std::to_string(i);
            const unsigned b = p[i + j];
            const bool ok = j == 1 ? (b >= lo && b <= hi) : (b & 0xc0) == 0x80;
            if (!ok) return invalid(j);
        }
        i += width;
    }
    return {};
}

void Codec<ItemText>::read(Reader& r, ItemText& t) {
    u64 n = r.get<u64>();
    if (n > r.left()) decode_error("io error: ");
    std::string_view v(r.take(static_cast<std::size_t>(n)), static_cast<std::size_t>(n));
    std::string fault = utf8_fault(v);
    if (!fault.empty()) decode_error("string is not valid utf8: " + fault);
    t.s.assign(v);
}

void Codec<ItemText>::from_json(JsonIn& in, ItemText& t) {
    const auto& tok = in.next();
    if (tok.kind() != JsonIn::String) in.fail_type(tok, "a string");
    std::string_view v = in.str(tok);
    // The reader checks raw bytes, but an escaped lone surrogate (\udc00)
    // would still decode to bytes that are not UTF-8.
    if (!utf8_fault(v).empty()) in.fail("invalid unicode code point in string");
    t.s.assign(v);
}

// ---------------------------------------------------------------- index

// A per-process key keeps crafted items from piling up in one index chain.
u64 TopK::make_hash_key() noexcept {
    u64 k = static_cast<u64>(std::chrono::steady_clock::now().time_since_epoch().count());
    try {
        std::random_device rd;
        k ^= (static_cast<u64>(rd()) << 32) ^ rd();
    } catch (...) {
    }
    return splitmix64_mix(k ^ reinterpret_cast<std::uintptr_t>(&k));
}

HOT void TopK::index_insert(u32 slot) noexcept {
    u32& head = heads_[slots_[slot].hash & mask_];
    slots_[slot].chain = head;
    head = slot + 1;
}

HOT void TopK::index_erase(u32 slot) noexcept {
    u32* link = &heads_[slots_[slot].hash & mask_];
    while (*link != slot + 1) link = &slots_[*link - 1].chain;
    *link = slots_[slot].chain;
}

// Room for n counters in every table, so that updates up to n never allocate.
void TopK::reserve(u64 n) {
    if (n > MAX_SLOTS) throw std::bad_alloc();
    slots_.reserve(static_cast<std::size_t>(n));
    buckets_.reserve(static_cast<std::size_t>(n));
    u64 chains = 8;
    while (chains < 2 * n) chains *= 2;
    if (chains > heads_.size()) rehash(chains);
}

void TopK::rehash(u64 chains) {
    Array<u32> h(static_cast<std::size_t>(chains));  // zeroed: all chains empty
    heads_.swap(h);
    mask_ = chains - 1;
    for (u32 s = 0; s < slots_.size(); ++s) index_insert(s);
}

TopK::Slot TopK::make_slot(std::string item, u64 count, u64 error, u64 hash) {
    return Slot{hash, 0, NIL, std::move(item), count, error, NIL, NIL};
}

// ---------------------------------------------------------------- buckets

HOT u32 TopK::new_bucket(u64 c) noexcept {
    u32 b;
    if (free_bucket_ != NIL) {
        b = free_bucket_;
        free_bucket_ = buckets_[b].down;
    } else {
        // Never reallocates: there are never more buckets than counters, and
        // reserve() keeps the capacity at the counters'.
        b = static_cast<u32>(buckets_.size());
        buckets_.emplace_back();
    }
    buckets_[b] = {c, NIL, NIL, NIL, NIL};
    return b;
}

HOT void TopK::push_back(u32 b, u32 s) noexcept {
    Bucket& B = buckets_[b];
    Slot& S = slots_[s];
    S.prev = B.tail;
    S.next = NIL;
    S.bucket = b;
    if (B.tail != NIL)
        slots_[B.tail].next = s;
    else
        B.head = s;
    B.tail = s;
}

// Takes s out of its bucket; returns the bucket to start climbing from: the
// old bucket if it still has counters, else the one above it.
HOT u32 TopK::unlink(u32 s) noexcept {
    Slot& S = slots_[s];
    const u32 b = S.bucket;
    Bucket& B = buckets_[b];
    (S.prev != NIL ? slots_[S.prev].next : B.head) = S.next;
    (S.next != NIL ? slots_[S.next].prev : B.tail) = S.prev;
    if (B.head != NIL) return b;
    const u32 up = B.up;
    (up != NIL ? buckets_[up].down : top_) = B.down;
    (B.down != NIL ? buckets_[B.down].up : bottom_) = up;
    B.down = free_bucket_;
    free_bucket_ = b;
    return up;
}

// Puts s, with count c, after every counter whose count is c or more and
// before every smaller one: the final position of moving it up one adjacent
// swap at a time past strictly smaller counts. `above` is the bucket just
// above where it starts.
HOT void TopK::place(u32 s, u64 c, u32 above) noexcept {
    while (above != NIL && buckets_[above].count < c) above = buckets_[above].up;
    if (above != NIL && buckets_[above].count == c) return push_back(above, s);
    const u32 b = new_bucket(c);
    const u32 below = above != NIL ? buckets_[above].down : top_;
    buckets_[b].up = above;
    buckets_[b].down = below;
    (above != NIL ? buckets_[above].down : top_) = b;
    (below != NIL ? buckets_[below].up : bottom_) = b;
    push_back(b, s);
}

// The counter s (still in its bucket) now has count c >= its bucket's count.
HOT void TopK::raise_to(u32 s, u64 c) noexcept {
    const u32 b = slots_[s].bucket;
    Bucket& B = buckets_[b];
    if (B.count == c) return;  // saturated: it stays where it is
    const u32 up = B.up;
    if (B.head == s && B.tail == s && (up == NIL || buckets_[up].count > c)) {
        B.count = c;  // alone, and overtakes nobody new: relabel in place
        return;
    }
    place(s, c, unlink(s));
}

// Appends s at the end of the tracking order (its count is at most the last).
void TopK::append_in_order(u32 s) noexcept {
    const u64 c = slots_[s].count;
    if (bottom_ != NIL && buckets_[bottom_].count == c) return push_back(bottom_, s);
    place(s, c, bottom_);
}

// ---------------------------------------------------------------- updates

TopK::TopK(u64 k) : k_(k) {
    if (k == 0) value_error("k must be positive");
    reserve(k);
}

TopK::TopK(const TopK& o)
    : k_(o.k_), free_bucket_(o.free_bucket_), top_(o.top_), bottom_(o.bottom_), heads_(o.heads_), mask_(o.mask_) {
    // Keep the original's reservation: a copy must not start allocating.
    slots_.reserve(o.slots_.capacity());
    slots_ = o.slots_;
    buckets_.reserve(o.buckets_.capacity());
    buckets_ = o.buckets_;
}

void TopK::add_hashed(std::string_view item, u64 h, u64 c) {
    if (c == 0) return;
    if (u32 s = find(item, h); s != NIL) {
        Slot& S = slots_[s];
        S.count = sat_add(S.count, c);
        return raise_to(s, S.count);
    }
    if (slots_.size() < k_) {
        // Only trackers loaded with a small reservation ever grow here.
        if (slots_.size() == slots_.capacity())
            reserve(std::min<u64>(k_, std::max<u64>(2 * slots_.size(), 64)));
        const u32 s = static_cast<u32>(slots_.size());
        slots_.push_back(make_slot(std::string(item), c, 0, h));
        index_insert(s);
        return append_in_order(s);
    }
    // Full: the last counter (smallest count, most recent among equals) is
    // taken over, and its count becomes the newcomer's error.
    const u32 v = buckets_[bottom_].tail;
    Slot& V = slots_[v];
    if (item.size() > V.item.capacity()) {
        std::string fresh(item);  // allocate before anything changes
        index_erase(v);
        V.item.swap(fresh);
    } else {
        index_erase(v);
        V.item.assign(item);
    }
    const u64 m = V.count;
    V.count = sat_add(m, c);
    V.error = m;
    V.hash = h;
    index_insert(v);
    raise_to(v, V.count);
}

void TopK::clear() noexcept {
    for (const Slot& x : slots_) heads_[x.hash & mask_] = 0;
    slots_.clear();
    buckets_.clear();
    free_bucket_ = top_ = bottom_ = NIL;
}

// Replaces the counters by `fresh`, already in tracking order. The caller
// has made room: bucket capacity for every counter, and at least two index
// chains per counter (`heads`, when given, replaces the current ones).
void TopK::rebuild(std::vector<Slot> fresh, Array<u32> heads) noexcept {
    if (heads.empty()) {
        for (const Slot& x : slots_) heads_[x.hash & mask_] = 0;
    } else {
        heads_.swap(heads);
        mask_ = heads_.size() - 1;
    }
    slots_.swap(fresh);
    buckets_.clear();
    free_bucket_ = top_ = bottom_ = NIL;
    for (u32 s = 0; s < slots_.size(); ++s) {
        index_insert(s);
        append_in_order(s);
    }
}

void TopK::merge(const TopK& o) {
    if (k_ != o.k_)
        value_error("Cannot merge: k mismatch (" + std::to_string(k_) + " vs " + std::to_string(o.k_) + ")");
    // A full tracker may have seen an item it does not track up to its
    // smallest count; one with room has seen it zero times.
    const u64 self_floor = size() == k_ ? min_count() : 0;
    const u64 other_floor = o.size() == o.k_ ? o.min_count() : 0;

    struct Merged {
        const std::string* item;
        u64 count, error, hash;
    };
    std::vector<Merged> all;
    all.reserve(slots_.size() + o.slots_.size());
    for_each_slot([&](const Slot& x) {
        const u32 j = o.find(x.item, x.hash);
        if (j != NIL)
            all.push_back({&x.item, sat_add(x.count, o.slots_[j].count), sat_add(x.error, o.slots_[j].error), x.hash});
        else
            all.push_back({&x.item, sat_add(x.count, other_floor), sat_add(x.error, other_floor), x.hash});
    });
    o.for_each_slot([&](const Slot& x) {
        if (find(x.item, x.hash) == NIL)
            all.push_back({&x.item, sat_add(x.count, self_floor), sat_add(x.error, self_floor), x.hash});
    });
    // Larger counts first; equal counts by item bytes (items are unique, so
    // the order is total). Only the first k matter.
    auto before = [](const Merged& a, const Merged& b) {
        return a.count != b.count ? a.count > b.count : *a.item < *b.item;
    };
    const std::size_t keep = static_cast<std::size_t>(std::min<u64>(k_, all.size()));
    std::partial_sort(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(keep), all.end(), before);

    std::vector<Slot> fresh;
    fresh.reserve(std::max<std::size_t>(slots_.capacity(), keep));
    for (std::size_t i = 0; i < keep; ++i)
        fresh.push_back(make_slot(*all[i].item, all[i].count, all[i].error, all[i].hash));
    // Everything that can fail happens before the tracker changes.
    buckets_.reserve(fresh.capacity());
    Array<u32> heads;
    if (2 * keep > heads_.size()) {
        u64 chains = heads_.size();
        while (chains < 2 * keep) chains *= 2;
        heads = Array<u32>(static_cast<std::size_t>(chains));
    }
    rebuild(std::move(fresh), std::move(heads));
}

// ---------------------------------------------------------------- the rest

u64 TopK::size_in_bytes() const noexcept {
    u64 n = sat_mul(32, k_);
    for (const Slot& s : slots_) n = sat_add(n, sat_add(s.item.size(), 16));
    return n;
}

std::string TopK::repr() const {
    return "TopK(k=" + std::to_string(k_) + ", tracked=" + std::to_string(size()) +
           ", min_count=" + std::to_string(min_count()) + ")";
}

TopKData TopK::record() const {
    TopKData d;
    d.k = k_;
    d.counters.reserve(slots_.size());
    for_each_slot([&](const Slot& x) { d.counters.push_back({ItemText{x.item}, x.count, x.error}); });
    return d;
}

TopK::TopK(TopKData d) : k_(d.k) {
    if (d.version != 1) value_error("Unsupported TopK data version");
    if (d.k == 0) value_error("k must be positive");
    if (d.counters.size() > d.k) value_error("number of counters exceeds k");
    // A stored k can be anything up to 2^64 - 1: reserve for what is there
    // and grow (up to k) as items arrive.
    const u64 n = d.counters.size();
    reserve(std::min<u64>(d.k, std::max<u64>(n, 64)));
    for (auto& c : d.counters) {
        if (c.error > c.count) value_error("counter error exceeds count");
        const u64 h = hash(c.item.s);
        if (find(c.item.s, h) != NIL) value_error("duplicate tracked item");
        const u32 s = static_cast<u32>(slots_.size());
        slots_.push_back(make_slot(std::move(c.item.s), c.count, c.error, h));
        index_insert(s);
    }
    for (std::size_t i = 1; i < d.counters.size(); ++i)
        if (d.counters[i].count > d.counters[i - 1].count) value_error("counters must be sorted by descending count");
    for (u32 s = 0; s < n; ++s) append_in_order(s);
}

#undef HOT

}  // namespace murk
