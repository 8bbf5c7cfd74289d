#include "frame_batches.hpp"

#include <bit>
#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace murk::py {

// ---------------------------------------------------------------- hashes

Hashes::~Hashes() {
    if (held_) PyBuffer_Release(&view_);
}

namespace {
// Native little-endian 8-byte integers, as struct formats spell them.
int int64_format(const char* f) {  // 1 unsigned, -1 signed, 0 neither
    if constexpr (std::endian::native != std::endian::little) return 0;
    if (!f) return 0;
    if (*f == '<' || *f == '=' || *f == '@') ++f;
    if (f[0] == 0 || f[1] != 0) return 0;
    if (f[0] == 'Q' || f[0] == 'L') return 1;
    if (f[0] == 'q' || f[0] == 'l') return -1;
    return 0;
}
}  // namespace

// Takes a one-dimensional C-contiguous buffer of 8-byte integers in place;
// false (no error set) for anything else, which then goes the iteration way.
bool Hashes::try_buffer(PyObject* o) {
    if (PyBytes_Check(o) || PyByteArray_Check(o) || !PyObject_CheckBuffer(o)) return false;
    Py_buffer b;
    if (PyObject_GetBuffer(o, &b, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) != 0) {
        PyErr_Clear();
        return false;
    }
    const int kind = b.ndim == 1 && b.itemsize == 8 ? int64_format(b.format) : 0;
    if (kind == 0) {
        PyBuffer_Release(&b);
        return false;
    }
    view_ = b;
    held_ = true;
    n_ = static_cast<std::size_t>(b.len / 8);
    if (reinterpret_cast<std::uintptr_t>(b.buf) % alignof(u64) == 0) {
        p_ = static_cast<const u64*>(b.buf);
    } else {  // a misaligned view: copy once rather than load through a bad pointer
        v.resize(n_);
        std::memcpy(v.data(), b.buf, n_ * 8);
        use_copy();
    }
    if (kind < 0) {
        for (std::size_t i = 0; i < n_; ++i) {
            const auto x = static_cast<long long>(p_[i]);
            if (x < 0) {  // the error converting that int gives
                Ref neg = checked(PyLong_FromLongLong(x));
                (void)PyLong_AsUnsignedLongLong(neg.get());
                raise();
            }
        }
    }
    return true;
}


// ---------------------------------------------------------------- lines

Lines::~Lines() {
    if (held_) PyBuffer_Release(&view_);
}

void Lines::import(PyObject* o) {
    if (PyUnicode_Check(o)) raise(PyExc_TypeError, "lines are read from a bytes-like object, not a str (encode it first)");
    if (!PyObject_CheckBuffer(o)) raise_cannot_convert(o, "Buffer");
    if (PyObject_GetBuffer(o, &view_, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) != 0) raise();
    held_ = true;
    const char* f = view_.format;
    if (f && (*f == '<' || *f == '>' || *f == '=' || *f == '@' || *f == '!')) ++f;
    const bool bytes = view_.itemsize == 1 && (!f || ((*f == 'B' || *f == 'b' || *f == 'c') && f[1] == 0));
    if (!bytes)
        raise(PyExc_TypeError, std::string("lines are read from a buffer of bytes, not of format '") +
                                   (view_.format ? view_.format : "") + "'");
}

namespace {

// The positions of the newlines of [p, end), found 64 bytes at a time as a
// bit mask: lines are short, so a search call per line would cost more than
// the line's hashing.
class Newlines {
public:
    Newlines(const char* p, const char* end) : base_(p), end_(end) { load(); }
    // The next newline, or end when there is none.
    const char* next() {
        while (mask_ == 0) {
            if (end_ - base_ <= 64) return end_;
            base_ += 64;
            load();
        }
        const int i = std::countr_zero(mask_);
        mask_ &= mask_ - 1;
        return base_ + i;
    }

private:
    void load() {
        const std::size_t left = static_cast<std::size_t>(end_ - base_);
        if (left >= 64) {
            mask_ = mask64(base_);
        } else {
            mask_ = 0;
            for (std::size_t i = 0; i < left; ++i) mask_ |= u64{base_[i] == '\n'} << i;
        }
    }
    static u64 mask64(const char* p) {
#if defined(__SSE2__)
        const __m128i nl = _mm_set1_epi8('\n');
        u64 m = 0;
        for (int j = 0; j < 4; ++j) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * j));
            m |= u64{static_cast<u32>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, nl)))} << (16 * j);
        }
        return m;
#else
        // Eight bytes at a time: a byte equal to '\n' becomes zero after the
        // xor, and the expression marks exactly the zero bytes' high bits.
        u64 m = 0;
        for (int j = 0; j < 8; ++j) {
            u64 w;
            std::memcpy(&w, p + 8 * j, 8);
            if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
            const u64 x = w ^ 0x0a0a0a0a0a0a0a0aULL;
            const u64 z = ~(((x & 0x7f7f7f7f7f7f7f7fULL) + 0x7f7f7f7f7f7f7f7fULL) | x) & 0x8080808080808080ULL;
            m |= (((z >> 7) * 0x0102040810204080ULL) >> 56) << (8 * j);
        }
        return m;
#endif
    }

    const char* base_;
    const char* end_;
    u64 mask_ = 0;
};

}  // namespace

std::size_t Items::fill_lines(const char*& at, const char* end, std::size_t max) {
    if (keys_.size() < max) keys_.resize(max);
    Key* out = keys_.data();
    std::size_t n = 0;
    const char* start = at;
    if (start < end) {
        Newlines newlines(start, end);
        while (n < max && start < end) {
            const char* nl = newlines.next();
            const char* stop = nl < end && nl > start && nl[-1] == '\r' ? nl - 1 : nl;
            out[n++] = Key{start, static_cast<std::size_t>(stop - start)};
            start = nl < end ? nl + 1 : end;
        }
    }
    at = start;
    k_ = keys_.data();
    n_ = n;
    return n;
}

}  // namespace murk::py
