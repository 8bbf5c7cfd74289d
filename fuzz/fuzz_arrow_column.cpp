// libFuzzer harness over the Arrow column reader. The input describes a
// column (type, struct wrapping, dictionary, lengths, offsets, validity) and
// supplies the contents of its buffers. The harness is an honest producer in
// what the interface cannot say (every buffer is exactly as long as the
// rows it claims need), and lies freely in everything it can say: offsets,
// view lengths and buffer indices, variadic sizes, dictionary indices, buffer
// counts. Whatever the reader accepts must be readable without touching a
// byte outside the buffers (ASan) and must agree with itself.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "../src/core/arrow_column.hpp"

using namespace murk;
using namespace murk::arrow;

namespace {

struct Input {
    const std::uint8_t* p;
    std::size_t n;
    std::uint8_t byte() {
        if (n == 0) return 0;
        --n;
        return *p++;
    }
    std::int8_t sbyte() { return static_cast<std::int8_t>(byte()); }
    void fill(char* out, std::size_t len) {
        for (std::size_t i = 0; i < len; ++i) out[i] = static_cast<char>(byte());
    }
};

constexpr const char* FORMATS[] = {"u", "U", "vu", "z", "Z", "vz", "w:", "c", "C", "s", "S", "i", "I", "l", "L", "g"};
constexpr const char* INDEX_FORMATS[] = {"c", "C", "s", "S", "i", "I", "l", "L"};
constexpr std::size_t WIDTHS[] = {1, 1, 2, 2, 4, 4, 8, 8};

void no_release(ArrowArray*) {}
void no_release_schema(ArrowSchema*) {}

// One array and everything it points at, each buffer its own exact allocation.
struct Node {
    ArrowArray array{};
    ArrowSchema schema{};
    std::string format;
    std::vector<std::unique_ptr<char[]>> buffers;
    std::vector<const void*> pointers;
    std::unique_ptr<Node> dict, child;
    ArrowArray* child_array = nullptr;
    ArrowSchema* child_schema = nullptr;

    const void* buffer(std::size_t len, Input& in) {
        if (len == 0) return nullptr;
        buffers.emplace_back(new char[len]);
        in.fill(buffers.back().get(), len);
        return buffers.back().get();
    }
    void finish(std::int64_t n_buffers) {
        array.n_buffers = n_buffers;
        array.buffers = pointers.data();
        array.release = no_release;
        schema.format = format.c_str();
        schema.release = no_release_schema;
    }
};

// Row count, offset and null count: small, sometimes negative.
void header(Node& node, Input& in) {
    const std::int8_t len = in.sbyte(), off = in.sbyte(), nulls = in.sbyte();
    node.array.length = len < -100 ? len : (len & 63);
    node.array.offset = off < -120 ? off : (off & 15);
    node.array.null_count = nulls < -64 ? -1 : nulls < -60 ? nulls : (nulls & 3);
}

std::size_t span(const Node& node) {  // rows the buffers must cover
    const std::int64_t s = node.array.length + node.array.offset;
    return s > 0 && node.array.length >= 0 && node.array.offset >= 0 ? static_cast<std::size_t>(s) : 0;
}

std::unique_ptr<Node> values(std::size_t kind, std::int64_t width, Input& in) {
    auto node = std::make_unique<Node>();
    node->format = FORMATS[kind];
    if (kind == 6) node->format += std::to_string(width);
    header(*node, in);
    const std::size_t rows = span(*node);
    const bool bitmap = in.byte() & 1;
    node->pointers.push_back(bitmap ? node->buffer((rows + 7) / 8, in) : nullptr);
    if (kind <= 1 || kind == 3 || kind == 4) {  // offsets and data
        const bool large = kind == 1 || kind == 4;
        std::vector<std::int64_t> offs(rows + 1);
        std::int64_t top = 0;
        for (auto& o : offs) {
            const std::int64_t v = in.sbyte();
            o = v * (in.byte() & 3);
            top = std::max(top, o);
        }
        const std::size_t w = large ? 8 : 4;
        node->buffers.emplace_back(new char[offs.size() * w]);
        for (std::size_t i = 0; i < offs.size(); ++i) {
            if (large) std::memcpy(node->buffers.back().get() + 8 * i, &offs[i], 8);
            else {
                const auto o = static_cast<std::int32_t>(offs[i]);
                std::memcpy(node->buffers.back().get() + 4 * i, &o, 4);
            }
        }
        node->pointers.push_back(node->buffers.back().get());
        node->pointers.push_back(node->buffer(static_cast<std::size_t>(top), in));
    } else if (kind == 2 || kind == 5) {  // views, variadic buffers, their sizes
        const std::size_t variadic = in.byte() & 3;
        std::vector<std::int64_t> sizes(variadic);
        std::vector<std::uint8_t> view(16 * rows);
        for (std::size_t r = 0; r < rows; ++r) {
            const std::int32_t v = in.sbyte();
            const std::int32_t len = v * (in.byte() & 1 ? 1 : 3);
            const std::int32_t buf = in.sbyte() >> 5;
            const std::int32_t off = in.sbyte();
            std::memcpy(&view[16 * r], &len, 4);
            in.fill(reinterpret_cast<char*>(&view[16 * r + 4]), 4);
            std::memcpy(&view[16 * r + 8], &buf, 4);
            std::memcpy(&view[16 * r + 12], &off, 4);
            if (len <= 12) in.fill(reinterpret_cast<char*>(&view[16 * r + 4]), 12);
        }
        node->buffers.emplace_back(new char[view.size() + 1]);
        if (!view.empty()) std::memcpy(node->buffers.back().get(), view.data(), view.size());
        node->pointers.push_back(node->buffers.back().get());
        for (auto& s : sizes) {
            const bool lie = in.sbyte() < -120;
            s = lie ? -1 : in.byte();
            node->pointers.push_back(node->buffer(s > 0 ? static_cast<std::size_t>(s) : 0, in));
        }
        node->buffers.emplace_back(new char[8 * variadic + 1]);
        if (variadic) std::memcpy(node->buffers.back().get(), sizes.data(), 8 * variadic);
        node->pointers.push_back(node->buffers.back().get());
    } else if (kind == 6) {
        node->pointers.push_back(node->buffer(rows * static_cast<std::size_t>(width), in));
    } else {
        node->pointers.push_back(node->buffer(rows * WIDTHS[(kind - 7) % 8], in));
    }
    return node;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in{data, size};
    const std::uint8_t shape = in.byte();
    const std::size_t kind = in.byte() % std::size(FORMATS);
    const std::int64_t width = in.byte() & 7;
    const bool wrapped = shape & 1, dictionary = shape & 2;
    // A short buffer count (views excepted: their last buffer is found by
    // the count, so a wrong count is a lie the interface cannot expose).
    const bool view = kind == 2 || kind == 5;
    const std::int64_t buffer_lie = (shape >> 2 & 3) == 3 && !view && !dictionary ? 1 + (in.byte() & 1) : 0;

    std::unique_ptr<Node> leaf;
    if (dictionary) {
        const std::size_t ik = in.byte() % std::size(INDEX_FORMATS);
        leaf = std::make_unique<Node>();
        leaf->format = INDEX_FORMATS[ik];
        header(*leaf, in);
        const std::size_t rows = span(*leaf);
        leaf->pointers.push_back(in.byte() & 1 ? leaf->buffer((rows + 7) / 8, in) : nullptr);
        leaf->pointers.push_back(leaf->buffer(rows * WIDTHS[ik], in));
        leaf->dict = values(kind, width, in);
        leaf->dict->finish(static_cast<std::int64_t>(leaf->dict->pointers.size()));
        leaf->array.dictionary = &leaf->dict->array;
        leaf->schema.dictionary = &leaf->dict->schema;
    } else {
        leaf = values(kind, width, in);
    }
    leaf->finish(static_cast<std::int64_t>(leaf->pointers.size()) - buffer_lie);

    std::unique_ptr<Node> top = std::move(leaf);
    if (wrapped) {
        auto s = std::make_unique<Node>();
        s->format = "+s";
        header(*s, in);
        const std::size_t rows = span(*s);
        s->pointers.push_back(in.byte() & 1 ? s->buffer((rows + 7) / 8, in) : nullptr);
        s->child = std::move(top);
        s->child_array = &s->child->array;
        s->child_schema = &s->child->schema;
        s->array.n_children = s->schema.n_children = 1;
        s->array.children = &s->child_array;
        s->schema.children = &s->child_schema;
        s->finish(1);
        top = std::move(s);
    }

    try {
        Column column(top->schema);
        column.add(top->array);
        // Keys in blocks of a size the input picks, as the binding reads them.
        const std::size_t block = 1 + (shape >> 4);
        std::vector<Key> keys(block);
        std::vector<char> text(block * Column::MAX_TEXT);
        Cursor at;
        u64 sink = 0, total = 0;
        while (std::size_t got = column.next_keys(at, keys.data(), block, text.data())) {
            if (got > block) std::abort();
            for (std::size_t i = 0; i < got; ++i) sink ^= hash64(keys[i], 0);  // reads every byte of every key
            total += got;
        }
        if (total != column.valid_rows()) std::abort();
        std::vector<u8> valid(column.rows());
        column.validity(valid.data());
        u64 ones = 0;
        for (u8 v : valid) ones += v;
        if (ones != column.valid_rows()) std::abort();
        if (sink == 0x5eed) return 0;
    } catch (const murk::arrow::TypeError&) {
    } catch (const murk::Error&) {
    }
    return 0;
}
