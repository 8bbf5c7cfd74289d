// libFuzzer harness over the record decoders. One binary per structure
// (FUZZ_TARGET_HEADER / FUZZ_TARGET_CLASS are set by CMake). The first input
// byte picks the form: even feeds the rest as a binary payload (wrapped in a
// valid envelope, so the checksum is no obstacle), odd as JSON text (for the
// classes that have one).
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include FUZZ_TARGET_HEADER
#include "../src/core/persistence.hpp"

using Target = FUZZ_TARGET_CLASS;

// Classes without a JSON form take every input as a binary payload. (The
// helpers are templates so that the JSON branch is not compiled for them.)
template <class T>
constexpr bool has_json = requires(std::string_view t) { T::from_json(t); };

namespace {

std::string envelope(std::string_view payload) {
    const murk::Format& f = Target::format;
    std::string out(murk::ENVELOPE_SIZE + payload.size(), '\0');
    murk::Writer w(out.data());
    w.put_raw(f.magic, 4);
    w.put<murk::u8>(f.version);
    w.put<murk::u64>(payload.size());
    w.put<murk::u64>(murk::hash64(payload.data(), payload.size(), murk::CHECKSUM_SEED));
    w.put_raw(payload.data(), payload.size());
    return out;
}

// Whatever loads must re-serialise to the record it was read from (trailing
// bytes are ignored; the one normalisation allowed is an optional field that
// is always written, such as the cuckoo filter's capacity), must load again
// to the same bytes, and must survive JSON unchanged.
template <class T>
void check_loaded(const T& t, std::string_view payload, bool from_binary) {
    std::string bytes = t.to_bytes();
    if (from_binary) {
        std::string_view again = std::string_view(bytes).substr(murk::ENVELOPE_SIZE);
        if (payload.substr(0, again.size()) != again && T::from_bytes(bytes).to_bytes() != bytes) std::abort();
    }
    if constexpr (has_json<T>) {
        if (T::from_json(t.to_json()).to_bytes() != bytes) std::abort();
    }
}

template <class T>
T load(std::string_view rest, bool binary) {
    if constexpr (has_json<T>) {
        if (!binary) return T::from_json(rest);
    }
    return T::from_bytes(envelope(rest));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    const bool binary = !has_json<Target> || (data[0] & 1) == 0;
    try {
        Target t = load<Target>(rest, binary);
        check_loaded(t, rest, binary);
    } catch (const murk::Error&) {
        // Refused with a message: the expected outcome for most inputs.
    }
    return 0;
}
