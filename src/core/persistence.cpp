#include "persistence.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include <rapidjson/error/en.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>

namespace murk {

// ---------------------------------------------------------------- envelope

std::string_view open_envelope(std::string_view data, const Format& f) {
    if (data.size() < ENVELOPE_SIZE || std::memcmp(data.data(), f.magic, 4) != 0)
        value_error("invalid Murk binary format");
    Reader h(data.substr(4));
    u8 version = h.get<u8>();
    if (version != f.version)
        value_error("unsupported binary format version: " + std::to_string(version) + " (expected " +
                    std::to_string(f.version) + ")");
    u64 length = h.get<u64>();
    u64 checksum = h.get<u64>();
    std::string_view payload = data.substr(ENVELOPE_SIZE);
    if (length != payload.size()) value_error("binary payload length does not match header");
    if (checksum != hash64(payload.data(), payload.size(), CHECKSUM_SEED))
        value_error("binary payload checksum mismatch");
    return payload;
}

void decode_error(const std::string& detail) { value_error("Deserialization error: " + detail); }

// ---------------------------------------------------------------- text fields

// Index of the first byte that does not start a well-formed UTF-8 sequence, or npos.
static std::size_t utf8_error_at(std::string_view s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    std::size_t i = 0;
    while (i < n) {
        unsigned c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t len;
        unsigned lo = 0x80, hi = 0xbf;
        if (c >= 0xc2 && c <= 0xdf) {
            len = 2;
        } else if (c >= 0xe0 && c <= 0xef) {
            len = 3;
            if (c == 0xe0) lo = 0xa0;
            if (c == 0xed) hi = 0x9f;  // no surrogates
        } else if (c >= 0xf0 && c <= 0xf4) {
            len = 4;
            if (c == 0xf0) lo = 0x90;
            if (c == 0xf4) hi = 0x8f;
        } else {
            return i;
        }
        if (i + len > n) return i;
        if (p[i + 1] < lo || p[i + 1] > hi) return i;
        for (std::size_t j = 2; j < len; ++j)
            if ((p[i + j] & 0xc0) != 0x80) return i;
        i += len;
    }
    return std::string_view::npos;
}

void Codec<std::string>::read(Reader& r, std::string& s) {
    u64 n = r.get<u64>();
    if (n > r.left()) decode_error("io error: ");
    const char* p = r.take(static_cast<std::size_t>(n));
    std::string_view v(p, static_cast<std::size_t>(n));
    std::size_t bad = utf8_error_at(v);
    if (bad != std::string_view::npos)
        decode_error("string is not valid utf8: invalid utf-8 sequence at byte " + std::to_string(bad));
    s.assign(v);
}

// ---------------------------------------------------------------- JSON in

namespace {

// Input stream over a sized buffer (the text may contain NUL).
struct SpanStream {
    using Ch = char;
    const char* p;
    const char* begin;
    const char* end;
    Ch Peek() const { return p < end ? *p : '\0'; }
    Ch Take() { return p < end ? *p++ : '\0'; }
    std::size_t Tell() const { return static_cast<std::size_t>(p - begin); }
    Ch* PutBegin() { return nullptr; }
    void Put(Ch) {}
    void Flush() {}
    std::size_t PutEnd(Ch*) { return 0; }
};

struct Tokenizer : rapidjson::BaseReaderHandler<rapidjson::UTF8<>, Tokenizer> {
    JsonIn& in;
    const SpanStream& is;
    Tokenizer(JsonIn& j, const SpanStream& s) : in(j), is(s) {}
    bool push(JsonIn::Kind k, u64 v = 0) {
        in.toks_.push_back({v, (static_cast<u64>(is.Tell()) << 8) | k});
        return true;
    }
    bool text(JsonIn::Kind k, const char* s, rapidjson::SizeType n) {
        u64 at = in.pool_.size();
        u64 len = n;
        in.pool_.append(reinterpret_cast<const char*>(&len), sizeof len);
        in.pool_.append(s, n);
        return push(k, at);
    }
    // Numbers arrive as text and are converted here: exact 64-bit integers and
    // correctly rounded doubles, without the reader's own conversion code.
    const char* number_error = nullptr;
    bool RawNumber(const char* s, rapidjson::SizeType n, bool) {
        const char* end = s + n;
        bool integral = std::string_view(s, n).find_first_of(".eE") == std::string_view::npos;
        if (integral && *s == '-') {
            std::int64_t v;
            if (std::from_chars(s, end, v).ec == std::errc()) return push(v < 0 ? JsonIn::NegInt : JsonIn::UInt, static_cast<u64>(v));
        } else if (integral) {
            u64 v;
            if (std::from_chars(s, end, v).ec == std::errc()) return push(JsonIn::UInt, v);
        }
        double d;
        auto r = std::from_chars(s, end, d);
        if (r.ec != std::errc() || !std::isfinite(d)) {
            number_error = "number out of range";
            return false;
        }
        return push(JsonIn::Double, std::bit_cast<u64>(d));
    }
    bool Null() { return push(JsonIn::Null); }
    bool Bool(bool b) { return push(b ? JsonIn::True : JsonIn::False); }
    bool Int(int i) { return i < 0 ? push(JsonIn::NegInt, static_cast<u64>(static_cast<std::int64_t>(i))) : push(JsonIn::UInt, static_cast<u64>(i)); }
    bool Uint(unsigned u) { return push(JsonIn::UInt, u); }
    bool Int64(std::int64_t i) { return i < 0 ? push(JsonIn::NegInt, static_cast<u64>(i)) : push(JsonIn::UInt, static_cast<u64>(i)); }
    bool Uint64(std::uint64_t u) { return push(JsonIn::UInt, u); }
    bool Double(double d) { return push(JsonIn::Double, std::bit_cast<u64>(d)); }
    bool String(const char* s, rapidjson::SizeType n, bool) { return text(JsonIn::String, s, n); }
    bool Key(const char* s, rapidjson::SizeType n, bool) { return text(JsonIn::Key, s, n); }
    bool StartObject() { return push(JsonIn::BeginObject); }
    bool EndObject(rapidjson::SizeType) { return push(JsonIn::EndObject); }
    bool StartArray() { return push(JsonIn::BeginArray); }
    bool EndArray(rapidjson::SizeType) { return push(JsonIn::EndArray); }
};

std::string position(std::string_view text, std::size_t offset) {
    if (offset > text.size()) offset = text.size();
    std::size_t line = 1, line_start = 0;
    for (std::size_t i = 0; i < offset; ++i)
        if (text[i] == '\n') ++line, line_start = i + 1;
    return " at line " + std::to_string(line) + " column " + std::to_string(offset - line_start + 1);
}

}  // namespace

JsonIn::JsonIn(std::string_view text) : text_(text) {
    SpanStream is{text.data(), text.data(), text.data() + text.size()};
    Tokenizer t(*this, is);
    rapidjson::Reader reader;
    constexpr unsigned flags =
        rapidjson::kParseIterativeFlag | rapidjson::kParseNumbersAsStringsFlag | rapidjson::kParseValidateEncodingFlag;
    rapidjson::ParseResult ok = reader.Parse<flags>(is, t);
    if (!ok) {
        std::string msg = t.number_error ? t.number_error : rapidjson::GetParseError_En(ok.Code());
        if (!msg.empty() && msg.back() == '.') msg.pop_back();
        decode_error(msg + position(text, ok.Offset()));
    }
    if (is.Tell() != text.size()) decode_error("trailing characters" + position(text, is.Tell()));
}

std::string_view JsonIn::str(const Token& t) const {
    u64 len;
    std::memcpy(&len, pool_.data() + t.value, sizeof len);
    return std::string_view(pool_.data() + t.value + sizeof len, static_cast<std::size_t>(len));
}

void JsonIn::skip_value() {
    std::size_t depth = 0;
    do {
        Kind k = next().kind();
        if (k == BeginObject || k == BeginArray) ++depth;
        else if (k == EndObject || k == EndArray) --depth;
    } while (depth > 0);
}

void JsonIn::fail(const std::string& msg) const {
    std::size_t at = i_ == 0 ? 0 : static_cast<std::size_t>(toks_[i_ - 1].pos >> 8);
    decode_error(msg + position(text_, at));
}

void JsonIn::fail_type(const Token& t, const char* expected) const {
    std::string got;
    switch (t.kind()) {
        case Null: got = "null"; break;
        case False: got = "boolean `false`"; break;
        case True: got = "boolean `true`"; break;
        case UInt: got = "integer `" + std::to_string(t.value) + "`"; break;
        case NegInt: got = "integer `" + std::to_string(static_cast<std::int64_t>(t.value)) + "`"; break;
        case Double: got = "floating point `" + format_double(std::bit_cast<double>(t.value)) + "`"; break;
        case String: got = "string"; break;
        case BeginObject: got = "map"; break;
        case BeginArray: got = "sequence"; break;
        default: got = "token"; break;
    }
    fail("invalid type: " + got + ", expected " + expected);
}

// ---------------------------------------------------------------- JSON out

std::string format_double(double v) {
    if (v == 0) return std::signbit(v) ? "-0.0" : "0.0";
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    std::string_view s(buf, static_cast<std::size_t>(r.ptr - buf));
    std::string out;
    if (s.front() == '-') {
        out = "-";
        s.remove_prefix(1);
    }
    std::size_t e = s.find('e');
    std::string digits;
    for (char c : s.substr(0, e))
        if (c != '.') digits += c;
    int exp = std::atoi(std::string(s.substr(e + 1)).c_str());
    double a = std::fabs(v);
    if (a >= 1e-5 && a < 1e16) {
        const int nd = static_cast<int>(digits.size());
        if (exp < 0) {
            out += "0." + std::string(static_cast<std::size_t>(-exp - 1), '0') + digits;
        } else if (exp + 1 >= nd) {
            out += digits + std::string(static_cast<std::size_t>(exp + 1 - nd), '0') + ".0";
        } else {
            out += digits.substr(0, static_cast<std::size_t>(exp + 1)) + "." + digits.substr(static_cast<std::size_t>(exp + 1));
        }
    } else {
        out += digits.substr(0, 1);
        if (digits.size() > 1) out += "." + digits.substr(1);
        out += "e" + std::to_string(exp);
    }
    return out;
}

class JsonOut {
public:
    JsonOut() : w(buf) { w.SetIndent(' ', 2); }
    void check(bool ok) {
        if (!ok) value_error("Serialization error: the JSON writer refused a value");
    }
    rapidjson::StringBuffer buf;
    rapidjson::PrettyWriter<rapidjson::StringBuffer> w;
};

void json_uint(JsonOut& o, u64 v) { o.check(o.w.Uint64(v)); }
void json_int(JsonOut& o, std::int64_t v) { o.check(o.w.Int64(v)); }
void json_double(JsonOut& o, double v) {
    if (!std::isfinite(v)) return json_null(o);
    std::string s = format_double(v);
    o.check(o.w.RawValue(s.data(), s.size(), rapidjson::kNumberType));
}
void json_string(JsonOut& o, std::string_view s) {
    o.check(o.w.String(s.data(), static_cast<rapidjson::SizeType>(s.size())));
}
void json_null(JsonOut& o) { o.check(o.w.Null()); }
void json_key(JsonOut& o, std::string_view k) { o.check(o.w.Key(k.data(), static_cast<rapidjson::SizeType>(k.size()))); }
void json_begin(JsonOut& o, bool object) { o.check(object ? o.w.StartObject() : o.w.StartArray()); }
void json_end(JsonOut& o, bool object) { o.check(object ? o.w.EndObject() : o.w.EndArray()); }

std::string json_render(void (*body)(JsonOut&, const void*), const void* record) {
    JsonOut o;
    body(o, record);
    return std::string(o.buf.GetString(), o.buf.GetSize());
}

// ---------------------------------------------------------------- files

namespace {

std::string os_error(int err) { return std::strerror(err); }

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

// Writes everything or returns the errno of the failure.
int write_all(int fd, std::string_view bytes) {
    const char* p = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left > (1u << 30) ? (1u << 30) : left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return 0;
}

void write_in_place(const std::string& path, std::string_view bytes) {
    Fd f;
    f.fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (f.fd < 0) value_error("Cannot create file: " + os_error(errno));
    if (int err = write_all(f.fd, bytes)) value_error("Write error: " + os_error(err));
    int fd = f.fd;
    f.fd = -1;
    if (::close(fd) != 0) value_error("Write error: " + os_error(errno));
}

}  // namespace

void save_file(const std::string& path, std::string_view bytes) {
    std::string target = path;
    struct stat st;
    bool exists = ::stat(path.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) return write_in_place(path, bytes);  // devices, FIFOs
    // Replace the file a symbolic link points to, not the link itself.
    struct stat lst;
    if (exists && ::lstat(path.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode)) {
        if (char* real = ::realpath(path.c_str(), nullptr)) {
            target = real;
            std::free(real);
        }
    }

    static std::atomic<unsigned> counter{0};
    Fd f;
    std::string tmp;
    for (int attempt = 0; f.fd < 0; ++attempt) {
        tmp = target + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
        f.fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (f.fd < 0 && (errno != EEXIST || attempt > 100)) value_error("Cannot create file: " + os_error(errno));
    }
    auto fail = [&](const char* what, int err) {
        ::unlink(tmp.c_str());
        value_error(what + os_error(err));
    };
    if (exists) (void)::fchmod(f.fd, st.st_mode & 07777);  // keep the old file's permissions
    if (int err = write_all(f.fd, bytes)) fail("Write error: ", err);
    if (::fsync(f.fd) != 0 && errno != EINVAL && errno != EROFS) fail("Write error: ", errno);
    int fd = f.fd;
    f.fd = -1;
    if (::close(fd) != 0) fail("Write error: ", errno);
    if (::rename(tmp.c_str(), target.c_str()) != 0) fail("Write error: ", errno);
}

std::string load_file(const std::string& path, const Format& fmt) {
    Fd f;
    f.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (f.fd < 0) value_error("Cannot open file: " + os_error(errno));
    std::string data;
    struct stat st;
    if (::fstat(f.fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
        data.reserve(static_cast<std::size_t>(st.st_size) + 1);
    char chunk[8192];
    for (;;) {
        ssize_t n = ::read(f.fd, chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR) continue;
            value_error("Read error: " + os_error(errno));
        }
        if (n == 0) break;
        data.append(chunk, static_cast<std::size_t>(n));
        // Once the header is in, anything longer than it announces is refused
        // anyway (and a foreign header sooner still): stop reading.
        if (data.size() >= ENVELOPE_SIZE) {
            if (std::memcmp(data.data(), fmt.magic, 4) != 0 || static_cast<u8>(data[4]) != fmt.version) break;
            u64 length = Reader(std::string_view(data).substr(5, 8)).get<u64>();
            if (data.size() - ENVELOPE_SIZE > length) break;
        }
    }
    return data;
}

}  // namespace murk
