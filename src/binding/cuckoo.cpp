// CuckooFilter: the Python surface.
#include "../core/cuckoo.hpp"
#include "frame.hpp"

namespace murk::py {

using CF = murk::CuckooFilter;

template <>
struct ClassInfo<CF> {
    static constexpr const char* name = "CuckooFilter";
    static inline PyTypeObject* type = nullptr;
};

namespace {

CF make(u64 capacity, u64 seed) { return CF(capacity, seed); }

CuckooSlot slot_at(const CF& f, const Items& items, std::size_t i) { return f.slot_of(items.at(i)); }
bool add(CF& f, const Item& it) { return f.insert(f.slot_of(it.key)); }
bool add_hash(CF& f, u64 h) { return f.insert(f.slot_of_hash(h)); }
bool contains(const CF& f, const Item& it) { return f.contains(f.slot_of(it.key)); }
bool contains_hash(const CF& f, u64 h) { return f.contains(f.slot_of_hash(h)); }
bool remove(CF& f, const Item& it) { return f.remove(f.slot_of(it.key)); }
u64 update(CF& f, const Items& items) {
    return f.insert_many(items.size(), [&](std::size_t i) { return slot_at(f, items, i); });
}
u64 update_hashes(CF& f, const Hashes& hs) {
    return f.insert_many(hs.size(), [&](std::size_t i) { return f.slot_of_hash(hs[i]); });
}
Bools query_many(const CF& f, const Items& items) {
    Bools r{std::vector<u8>(items.size())};
    f.contains_many(items.size(), [&](std::size_t i) { return slot_at(f, items, i); },
                    reinterpret_cast<bool*>(r.v.data()));
    return r;
}
Bools query_hashes(const CF& f, const Hashes& hs) {
    Bools r{std::vector<u8>(hs.size())};
    f.contains_many(hs.size(), [&](std::size_t i) { return f.slot_of_hash(hs[i]); },
                    reinterpret_cast<bool*>(r.v.data()));
    return r;
}
u64 update_column(CF& f, const Column& c) {
    u64 added = 0;
    c.each_block([&](const Items& b) { added += update(f, b); });
    return added;
}
RowBools query_column(const CF& f, const Column& c) {
    return {c.per_row(c.collect<u8>([&](const Items& b) { return query_many(f, b).v; }))};
}
u64 capacity(const CF& f) { return f.capacity(); }
const char* health(const CF& f) { return f.health(); }
CF copy(const CF& f) { return f; }
void clear(CF& f) { f.clear(); }
Bytes to_bytes(const CF& f) { return {f.to_bytes()}; }
std::string to_json(const CF& f) { return f.to_json(); }
CF from_bytes(const ByteData& d) { return CF::from_bytes(d.s); }
CF from_json(const Text& t) { return CF::from_json(t.s); }
void save(const CF& f, const Text& path) { save_file(std::string(path.s), f.to_bytes()); }
CF load(const Text& path) { return CF::from_bytes(load_file(std::string(path.s), CF::format)); }

u64 length(const CF& f) { return f.count(); }
std::string repr(const CF& f) { return f.repr(); }

constexpr char class_doc[] =
    "CuckooFilter(capacity, seed=0)\n--\n\n"
    "A compact fixed-capacity membership filter with deletion support.\n\n"
    "As with any fingerprint-based filter, remove only items\n"
    "known to have been inserted: removing an absent false positive can delete a\n"
    "colliding fingerprint.";

PyMethodDef methods[] = {
    def<"add($self, item)\n--\n\nAdd an item to the filter.\n\n"
        "Returns True if the item was added successfully, False if the filter is full.",
        add>(),
    def<"update($self, items)\n--\n\nAdd multiple items to the filter.\n\n"
        "Returns the number of items successfully added.",
        update>(),
    def<"update_many($self, items)\n--\n\nAdd multiple items using the optimized batch path.", update>(),
    def<"add_hash($self, hash)\n--\n\nAdd a caller-provided 64-bit hash.", add_hash>(),
    def<"update_hashes($self, hashes)\n--\n\nAdd caller-provided 64-bit hashes.", update_hashes>(),
    def<UPDATE_COLUMN_DOC("Add") "\n\n"
        "Returns the number of items inserted, as update() does.",
        update_column>(),
    def<UPDATE_LINES_DOC("Add") "\n\nLines that do not fit in a full filter are not counted, as in update().",
        &UpdateLines<update>::run>(),
    def<"contains($self, item)\n--\n\nCheck if an item might be in the filter.", contains>(),
    def<"query($self, item)\n--\n\nCheck if an item might be in the filter (alias for contains).", contains>(),
    def<"query_many($self, items)\n--\n\nQuery multiple items using the optimized batch path.", query_many>(),
    def<"contains_hash($self, hash)\n--\n\nQuery a caller-provided 64-bit hash.", contains_hash>(),
    def<"query_hashes($self, hashes)\n--\n\nQuery caller-provided 64-bit hashes.", query_hashes>(),
    def<QUERY_COLUMN_DOC("Check membership", "?", "False"), query_column>(),
    QUERY_LINES("Check membership", "?", query_many),
    def<"remove($self, item)\n--\n\nRemove an item from the filter.\n\n"
        "Returns True if a matching fingerprint was found and removed. Only call\n"
        "this for items known to have been inserted.",
        remove>(),
    def<"capacity($self)\n--\n\nGet the maximum capacity of the filter.", capacity>(),
    def<"health($self)\n--\n\nReturn a compact operational health signal based on load factor.", health>(),
    def<"copy($self)\n--\n\nCreate a deep copy of this filter.", copy>(),
    def<"clear($self)\n--\n\nClear all items from the filter.", clear>(),
    def<"to_bytes($self)\n--\n\nSerialize the filter to bytes.", to_bytes>(),
    def<"from_bytes(data)\n--\n\nDeserialize a filter from bytes.", from_bytes>(),
    def<"to_json($self)\n--\n\nSerialize to JSON string.", to_json>(),
    def<"from_json(data)\n--\n\nDeserialize from JSON string.", from_json>(),
    def<"save($self, path)\n--\n\nSave the filter to a file.", save>(),
    def<"load(path)\n--\n\nLoad a filter from a file.", load>(),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef properties[] = {
    {"load_factor", prop<[](const CF& f) { return f.load_factor(); }>, nullptr, "Get the current load factor.",
     nullptr},
    {"size_in_bytes", prop<[](const CF& f) { return f.size_in_bytes(); }>, nullptr, nullptr, nullptr},
    {"seed", prop<[](const CF& f) { return f.seed(); }>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

ClassDef cuckoo_class() {
    return class_def<CF>(class_doc, methods, properties,
                         {
                             slot(Py_tp_new, &constructor<class_doc, make>),
                             slot(Py_sq_length, &slot_len<length>),
                             slot(Py_sq_contains, &slot_contains<contains>),
                             slot(Py_tp_repr, &slot_repr<repr>),
                         });
}

}  // namespace murk::py
