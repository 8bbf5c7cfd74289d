// Item keys: how Python objects become the bytes a sketch hashes, one at a
// time or gathered as a batch.
#pragma once

#include "frame_errors.hpp"

namespace murk::py {

// An item reduced to its key (strings and bytes in place, other sequences of
// small ints copied, anything else through str()).
// Copied bytes live in vectors, never in std::string: these objects are moved
// and a short string's inline buffer would move away from the key pointing at it.
struct Item {
    Key key{"", 0};
    Ref owner;
    std::vector<char> buf;
};

// A gathered batch of item keys. Keeps the objects whose buffers it points into.
class Items {
public:
    Items() = default;
    Items(const Items&) = delete;
    Items(Items&&) = default;  // vectors keep their buffers when moved
    ~Items();
    std::size_t size() const { return n_; }
    Key operator[](std::size_t i) const { return k_[i]; }
    // Key i, with the bytes of a key further on already requested: the objects
    // of a large batch are scattered in memory. Batch loops read keys through this.
    Key at(std::size_t i) const {
        if (i + AHEAD < n_) prefetch(k_[i + AHEAD].data);
        return k_[i];
    }
    static constexpr std::size_t AHEAD = 32;
    const Key* data() const { return k_; }

    void gather(PyObject* iterable);  // GIL held
    // The keys of the next non-null rows of a column, at most max; returns
    // how many (0 at the end). No GIL needed.
    std::size_t fill(const arrow::Column& c, arrow::Cursor& at, std::size_t max);
    // The keys of the next lines of [at, end), at most max, each pointing
    // into the buffer; moves at past them and returns how many (0 at the
    // end). No GIL needed.
    std::size_t fill_lines(const char*& at, const char* end, std::size_t max);

private:
    std::vector<Key> keys_;
    std::vector<PyObject*> refs_;
    // A vector, not a string: moving Items must not move the bytes the keys
    // point at (a short string would be copied out of its inline buffer).
    std::vector<char> arena_;
    std::vector<std::size_t> in_arena_;  // keys whose data is an arena offset until gathering ends
    std::unique_ptr<char[]> text_;       // decimal text of a column's integers
    const Key* k_ = nullptr;             // the keys, once gathered or filled
    std::size_t n_ = 0;
    friend struct BatchSink;
};


void to_key(PyObject* o, Item& out);
// TypeError unless o is a sequence (and not a str).
void require_sequence(PyObject* o);

}  // namespace murk::py
