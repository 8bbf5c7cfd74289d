// Persistence frame: the checksummed envelope, the binary payload codec, JSON
// text and files. A record describes its fields once with
//     template <class S, class V> static void fields(S& s, V&& v);
// and every encoding below is driven by that list.
#pragma once

#include <array>
#include <bit>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "utils.hpp"

namespace murk {

// ---------------------------------------------------------------- envelope

inline constexpr std::size_t ENVELOPE_SIZE = 21;
inline constexpr u64 CHECKSUM_SEED = 0x4D55524B534B4554ULL;  // "MURKSKET"

struct Format {
    char magic[5];
    u8 version;
};

// Checks magic, version, length and checksum in that order; returns the payload.
std::string_view open_envelope(std::string_view data, const Format& f);

// ---------------------------------------------------------------- binary

[[noreturn]] void decode_error(const std::string& detail);
[[noreturn]] inline void unexpected_eof() { decode_error("io error: unexpected end of file"); }

class Writer {
public:
    explicit Writer(char* p) : p_(p) {}
    template <class T>
    void put(T v) {
        if constexpr (std::is_same_v<T, double>) {
            put(std::bit_cast<u64>(v));
        } else {
            for (std::size_t i = 0; i < sizeof(T); ++i) *p_++ = static_cast<char>(static_cast<u64>(v) >> (8 * i));
        }
    }
    template <class T>
    void put_many(const T* v, std::size_t n) {
        if constexpr (std::endian::native == std::endian::little) {
            if (n) std::memcpy(p_, v, n * sizeof(T));
            p_ += n * sizeof(T);
        } else {
            for (std::size_t i = 0; i < n; ++i) put(v[i]);
        }
    }
    void put_raw(const char* s, std::size_t n) {
        if (n) std::memcpy(p_, s, n);
        p_ += n;
    }

private:
    char* p_;
};

class Reader {
public:
    explicit Reader(std::string_view s) : p_(s.data()), end_(s.data() + s.size()) {}
    std::size_t left() const { return static_cast<std::size_t>(end_ - p_); }
    template <class T>
    T get() {
        if constexpr (std::is_same_v<T, double>) {
            return std::bit_cast<double>(get<u64>());
        } else {
            if (left() < sizeof(T)) unexpected_eof();
            u64 v = 0;
            for (std::size_t i = 0; i < sizeof(T); ++i) v |= static_cast<u64>(static_cast<u8>(p_[i])) << (8 * i);
            p_ += sizeof(T);
            return static_cast<T>(v);
        }
    }
    // n elements of a fixed-width number, bounded by the bytes actually present.
    template <class T, class A>
    void get_many(std::vector<T, A>& out, u64 n) {
        if (n > left() / sizeof(T)) unexpected_eof();
        out.resize(static_cast<std::size_t>(n));
        if constexpr (std::endian::native == std::endian::little) {
            if (n) std::memcpy(out.data(), p_, n * sizeof(T));
            p_ += n * sizeof(T);
        } else {
            for (auto& x : out) x = get<T>();
        }
    }
    const char* take(std::size_t n) {
        const char* p = p_;
        p_ += n;
        return p;
    }

private:
    const char* p_;
    const char* end_;
};

// ---------------------------------------------------------------- JSON

// JSON text is tokenised once by the SAX reader (exact 64-bit integers, full
// precision doubles, positions) and then decoded field by field.
class JsonIn {
public:
    enum Kind : u8 { Null, False, True, UInt, NegInt, Double, String, Key, BeginObject, EndObject, BeginArray, EndArray };
    struct Token {
        u64 value;  // number, double bits, or string pool offset
        u64 pos;    // kind in the low 8 bits, end offset in the text above
        Kind kind() const { return static_cast<Kind>(pos & 0xff); }
    };

    explicit JsonIn(std::string_view text);

    const Token& peek() const { return toks_[i_]; }
    const Token& next() { return toks_[i_++]; }
    std::string_view str(const Token& t) const;
    void skip_value();
    [[noreturn]] void fail(const std::string& msg) const;  // at the last consumed token
    [[noreturn]] void fail_type(const Token& t, const char* expected) const;
    bool at_end() const { return i_ >= toks_.size(); }

    // Used by the tokenizer.
    std::vector<Token> toks_;
    std::string pool_;

private:
    std::string_view text_;
    std::size_t i_ = 0;
};

std::string format_double(double v);

class JsonOut;  // wraps a PrettyWriter; defined in persistence.cpp
void json_uint(JsonOut& o, u64 v);
void json_int(JsonOut& o, std::int64_t v);
void json_double(JsonOut& o, double v);
void json_string(JsonOut& o, std::string_view s);
void json_null(JsonOut& o);
void json_key(JsonOut& o, std::string_view k);
void json_begin(JsonOut& o, bool object);
void json_end(JsonOut& o, bool object);
std::string json_render(void (*body)(JsonOut&, const void*), const void* record);

// ---------------------------------------------------------------- codecs

template <class T, class = void>
struct Codec;

// Any range of encodable elements as a JSON array.
template <class Range>
void json_array(JsonOut& o, const Range& v) {
    json_begin(o, false);
    for (const auto& x : v) Codec<std::decay_t<decltype(x)>>::to_json(o, x);
    json_end(o, false);
}

template <class T>
concept Record = requires { T::name; };

template <class T>
concept Number = std::is_same_v<T, u8> || std::is_same_v<T, u16> || std::is_same_v<T, u32> ||
                 std::is_same_v<T, u64> || std::is_same_v<T, double>;

template <class T>
inline constexpr const char* json_type_name = std::is_same_v<T, double> ? "f64"
                                              : sizeof(T) == 1          ? "u8"
                                              : sizeof(T) == 2          ? "u16"
                                              : sizeof(T) == 4          ? "u32"
                                                                        : "u64";

template <Number T>
struct Codec<T> {
    static constexpr bool optional = false;
    static std::size_t size(const T&) { return sizeof(T); }
    static void write(Writer& w, const T& v) { w.put(v); }
    static void read(Reader& r, T& v) { v = r.get<T>(); }
    static void to_json(JsonOut& o, const T& v) {
        if constexpr (std::is_same_v<T, double>)
            json_double(o, v);
        else
            json_uint(o, v);
    }
    static void from_json(JsonIn& in, T& v) {
        const auto& t = in.next();
        if constexpr (std::is_same_v<T, double>) {
            switch (t.kind()) {
                case JsonIn::UInt: v = static_cast<double>(t.value); return;
                case JsonIn::NegInt: v = static_cast<double>(static_cast<std::int64_t>(t.value)); return;
                case JsonIn::Double: v = std::bit_cast<double>(t.value); return;
                default: in.fail_type(t, "f64");
            }
        } else {
            if (t.kind() == JsonIn::NegInt)
                in.fail("invalid value: integer `" + std::to_string(static_cast<std::int64_t>(t.value)) +
                        "`, expected " + json_type_name<T>);
            if (t.kind() != JsonIn::UInt) in.fail_type(t, json_type_name<T>);
            if (t.value > static_cast<u64>(static_cast<T>(~T(0))))
                in.fail("invalid value: integer `" + std::to_string(t.value) + "`, expected " + json_type_name<T>);
            v = static_cast<T>(t.value);
        }
    }
};

template <>
struct Codec<std::string> {
    static constexpr bool optional = false;
    static std::size_t size(const std::string& s) { return 8 + s.size(); }
    static void write(Writer& w, const std::string& s) {
        w.put<u64>(s.size());
        w.put_raw(s.data(), s.size());
    }
    static void read(Reader& r, std::string& s);
    static void to_json(JsonOut& o, const std::string& s) { json_string(o, s); }
    static void from_json(JsonIn& in, std::string& s) {
        const auto& t = in.next();
        if (t.kind() != JsonIn::String) in.fail_type(t, "a string");
        s = in.str(t);
    }
};

// Sequences: a u64 count, then the elements. Storage is reserved for at most
// 1 MiB up front so that a forged count costs nothing until elements arrive.
template <class T, class A>
struct Codec<std::vector<T, A>> {
    using V = std::vector<T, A>;
    static constexpr bool optional = false;
    static std::size_t size(const V& v) {
        if constexpr (Number<T>) {
            return 8 + v.size() * sizeof(T);
        } else {
            std::size_t n = 8;
            for (const auto& x : v) n += Codec<T>::size(x);
            return n;
        }
    }
    static void write(Writer& w, const V& v) {
        w.put<u64>(v.size());
        if constexpr (Number<T>)
            w.put_many(v.data(), v.size());
        else
            for (const auto& x : v) Codec<T>::write(w, x);
    }
    static void read(Reader& r, V& v) {
        u64 n = r.get<u64>();
        v.clear();
        if constexpr (Number<T>) {
            r.get_many(v, n);
        } else {
            v.reserve(static_cast<std::size_t>(std::min<u64>(n, 1048576 / sizeof(T))));
            for (u64 i = 0; i < n; ++i) Codec<T>::read(r, v.emplace_back());
        }
    }
    static void to_json(JsonOut& o, const V& v) { json_array(o, v); }
    static void from_json(JsonIn& in, V& v) {
        const auto& t = in.next();
        if (t.kind() != JsonIn::BeginArray) in.fail_type(t, "a sequence");
        v.clear();
        while (in.peek().kind() != JsonIn::EndArray) Codec<T>::from_json(in, v.emplace_back());
        in.next();
    }
};

// Fixed-size arrays carry no count.
template <class T, std::size_t N>
struct Codec<std::array<T, N>> {
    using V = std::array<T, N>;
    static constexpr bool optional = false;
    static std::size_t size(const V&) { return N * sizeof(T); }
    static void write(Writer& w, const V& v) {
        for (const auto& x : v) Codec<T>::write(w, x);
    }
    static void read(Reader& r, V& v) {
        for (auto& x : v) Codec<T>::read(r, x);
    }
    static void to_json(JsonOut& o, const V& v) { json_array(o, v); }
    static void from_json(JsonIn& in, V& v) {
        const auto& t = in.next();
        if (t.kind() != JsonIn::BeginArray) in.fail_type(t, "an array");
        std::size_t n = 0;
        while (in.peek().kind() != JsonIn::EndArray) {
            if (n == N) in.fail("invalid length, expected an array of length " + std::to_string(N));
            Codec<T>::from_json(in, v[n++]);
        }
        in.next();
        if (n != N)
            in.fail("invalid length " + std::to_string(n) + ", expected an array of length " + std::to_string(N));
    }
};

// Optional values: a tag byte (0 absent, 1 present); JSON null or a missing member.
template <class T>
struct Codec<std::optional<T>> {
    using V = std::optional<T>;
    static constexpr bool optional = true;
    static std::size_t size(const V& v) { return 1 + (v ? Codec<T>::size(*v) : 0); }
    static void write(Writer& w, const V& v) {
        w.put<u8>(v ? 1 : 0);
        if (v) Codec<T>::write(w, *v);
    }
    static void read(Reader& r, V& v) {
        u8 tag = r.get<u8>();
        if (tag > 1) decode_error("tag for enum is not valid, found " + std::to_string(tag));
        v.reset();
        if (tag) Codec<T>::read(r, v.emplace());
    }
    static void to_json(JsonOut& o, const V& v) {
        if (v)
            Codec<T>::to_json(o, *v);
        else
            json_null(o);
    }
    static void from_json(JsonIn& in, V& v) {
        v.reset();
        if (in.peek().kind() == JsonIn::Null) {
            in.next();
            return;
        }
        Codec<T>::from_json(in, v.emplace());
    }
};

template <Record R>
struct Codec<R> {
    static constexpr bool optional = false;
    static std::size_t size(const R& r) {
        std::size_t n = 0;
        R::fields(r, [&](const char*, const auto& f) { n += Codec<std::decay_t<decltype(f)>>::size(f); });
        return n;
    }
    static void write(Writer& w, const R& r) {
        R::fields(r, [&](const char*, const auto& f) { Codec<std::decay_t<decltype(f)>>::write(w, f); });
    }
    static void read(Reader& rd, R& r) {
        R::fields(r, [&](const char*, auto& f) { Codec<std::decay_t<decltype(f)>>::read(rd, f); });
    }
    static void to_json(JsonOut& o, const R& r) {
        json_begin(o, true);
        R::fields(r, [&](const char* name, const auto& f) {
            json_key(o, name);
            Codec<std::decay_t<decltype(f)>>::to_json(o, f);
        });
        json_end(o, true);
    }
    static std::size_t field_count() {
        std::size_t n = 0;
        R r{};
        R::fields(r, [&](const char*, auto&) { ++n; });
        return n;
    }
    static void from_json(JsonIn& in, R& r) {
        const auto& t = in.next();
        const std::size_t nfields = field_count();
        const std::string shape =
            std::string("struct ") + std::string(R::name) + " with " + std::to_string(nfields) + " elements";
        if (t.kind() == JsonIn::BeginArray) {
            std::size_t i = 0;
            R::fields(r, [&](const char*, auto& f) {
                if (in.peek().kind() == JsonIn::EndArray)
                    in.fail("invalid length " + std::to_string(i) + ", expected " + shape);
                Codec<std::decay_t<decltype(f)>>::from_json(in, f);
                ++i;
            });
            if (in.next().kind() != JsonIn::EndArray) in.fail("trailing elements, expected " + shape);
            return;
        }
        if (t.kind() != JsonIn::BeginObject) in.fail_type(t, shape.c_str());
        u64 seen = 0;  // records have far fewer than 64 fields
        while (in.peek().kind() != JsonIn::EndObject) {
            std::string_view key = in.str(in.next());
            bool known = false;
            std::size_t i = 0;
            R::fields(r, [&](const char* name, auto& f) {
                if (!known && key == name) {
                    known = true;
                    if (seen >> i & 1) in.fail(std::string("duplicate field `") + name + "`");
                    seen |= u64{1} << i;
                    Codec<std::decay_t<decltype(f)>>::from_json(in, f);
                }
                ++i;
            });
            if (!known) in.skip_value();
        }
        in.next();
        std::size_t i = 0;
        R::fields(r, [&](const char* name, auto& f) {
            using F = std::decay_t<decltype(f)>;
            if (!(seen >> i & 1)) {
                if constexpr (Codec<F>::optional)
                    f = F{};
                else
                    in.fail(std::string("missing field `") + name + "`");
            }
            ++i;
        });
    }
};

// ---------------------------------------------------------------- entry points

template <Record R>
std::string to_bytes(const R& r, const Format& f) {
    const std::size_t n = Codec<R>::size(r);
    std::string out(ENVELOPE_SIZE + n, '\0');
    Writer pw(out.data() + ENVELOPE_SIZE);
    Codec<R>::write(pw, r);
    Writer hw(out.data());
    hw.put_raw(f.magic, 4);
    hw.put<u8>(f.version);
    hw.put<u64>(n);
    hw.put<u64>(hash64(out.data() + ENVELOPE_SIZE, n, CHECKSUM_SEED));
    return out;
}

// Envelope check, then decode; trailing payload bytes are ignored.
template <Record R>
R from_bytes(std::string_view data, const Format& f) {
    Reader rd(open_envelope(data, f));
    R r{};
    Codec<R>::read(rd, r);
    return r;
}

template <Record R>
std::string to_json(const R& r) {
    return json_render([](JsonOut& o, const void* p) { Codec<R>::to_json(o, *static_cast<const R*>(p)); }, &r);
}

template <Record R>
R from_json(std::string_view text) {
    JsonIn in(text);
    R r{};
    Codec<R>::from_json(in, r);
    return r;
}

// Files hold exactly the envelope bytes. Saving goes through a temporary file
// renamed over the target, so a failed write never destroys a good file.
void save_file(const std::string& path, std::string_view bytes);
// Reads the file; stops early once the header proves it cannot be a valid
// envelope of this format (so a device like /dev/zero is refused quickly).
std::string load_file(const std::string& path, const Format& f);

}  // namespace murk
