// quarv.utils.ansi: removal of the CSI control sequences (colours, cursor moves, erases) that
// captured terminal output carries.
//
// `escape` is fed whole log files, so while ESCAPE_SEQUENCE is still the pattern this module
// compiled, a text is scanned here over its own storage instead of through the pattern's `sub`;
// the result is the very object `sub` would give back: the argument itself when nothing matched,
// else a new exact str in canonical form.
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <cstdint>
#include <cstring>

#include "native/collections.hpp"
#include "native/patterns.hpp"

namespace {
using namespace native;

const char* const escape_doc = "\n    escape ansi by removing escape sequences. \n    ";

// The pattern this module's body compiled, when the scanner below gives its matches: while
// ESCAPE_SEQUENCE still holds that very object, texts are scanned natively.
struct State {
    object own_pattern;
    template <typename Visit>
    void visit(Visit& v) {
        v(own_pattern);
    }
};

// ----- the scanner ------------------------------------------------------------------------------
//
// The pattern (\x9B|\x1B\[)[0-?]*[ -\/]*[@-~] cannot match ambiguously: its three classes are
// disjoint, so a match is the introducer, the longest run of parameter characters, the longest run
// of intermediate characters and then one final character, or nothing at that position. A failed
// attempt only passes characters of 0x20..0x7E, none of them an introducer, so looking for the next
// introducer after it finds every match `sub` finds.

// Both introducers, ESC (0x1B) and the 8-bit CSI (0x9B), differ only in bit 7.
template <typename Char>
inline bool is_introducer(Char c) {
    return (c | 0x80) == 0x9B;
}

#if defined(__SSE2__)
inline __m128i broadcast(uint8_t, int value) { return _mm_set1_epi8(static_cast<char>(value)); }
inline __m128i broadcast(uint16_t, int value) { return _mm_set1_epi16(static_cast<short>(value)); }
inline __m128i broadcast(uint32_t, int value) { return _mm_set1_epi32(value); }
inline __m128i lanes_equal(uint8_t, __m128i a, __m128i b) { return _mm_cmpeq_epi8(a, b); }
inline __m128i lanes_equal(uint16_t, __m128i a, __m128i b) { return _mm_cmpeq_epi16(a, b); }
inline __m128i lanes_equal(uint32_t, __m128i a, __m128i b) { return _mm_cmpeq_epi32(a, b); }

// The introducer lanes of the 16 bytes at `at`, as a byte mask.
template <typename Char>
inline unsigned chunk_hits(const Char* at) {
    __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    __m128i hits = lanes_equal(Char{}, _mm_or_si128(chunk, broadcast(Char{}, 0x80)), broadcast(Char{}, 0x9B));
    return static_cast<unsigned>(_mm_movemask_epi8(hits));
}

// The first introducer in [p, end), or end. Long plain stretches go 64 bytes per step; a hit is
// then located within its 16 bytes, so dense coloured text needs no character-by-character search.
template <typename Char>
const Char* find_introducer(const Char* p, const Char* end) {
    constexpr Py_ssize_t per_chunk = 16 / sizeof(Char);
    while (end - p >= 4 * per_chunk) {
        unsigned any =
            chunk_hits(p) | chunk_hits(p + per_chunk) | chunk_hits(p + 2 * per_chunk) | chunk_hits(p + 3 * per_chunk);
        if (any) break;
        p += 4 * per_chunk;
    }
    for (; end - p >= per_chunk; p += per_chunk) {
        if (unsigned hits = chunk_hits(p)) return p + static_cast<unsigned>(__builtin_ctz(hits)) / sizeof(Char);
    }
    while (p < end && !is_introducer(*p)) ++p;
    return p;
}
#else
template <typename Char>
const Char* find_introducer(const Char* p, const Char* end) {
    while (p < end && !is_introducer(*p)) ++p;
    return p;
}
#endif

// The end of the sequence whose introducer is at p, or nullptr when none starts there.
template <typename Char>
const Char* match_at(const Char* p, const Char* end) {
    const Char* q = p + 1;
    if (*p == 0x1B) {
        if (q == end || *q != '[') return nullptr;
        ++q;
    }
    while (q < end && *q >= 0x30 && *q <= 0x3F) ++q;
    while (q < end && *q >= 0x20 && *q <= 0x2F) ++q;
    if (q < end && *q >= 0x40 && *q <= 0x7E) return q + 1;
    return nullptr;
}

// The first sequence at or after p: [*start, result), or nullptr when there is none.
template <typename Char>
const Char* next_sequence(const Char* p, const Char* end, const Char** start) {
    for (p = find_introducer(p, end); p < end; p = find_introducer(p + 1, end)) {
        if (const Char* stop = match_at(p, end)) {
            *start = p;
            return stop;
        }
    }
    return nullptr;
}

bool all_ascii(const uint8_t* p, Py_ssize_t size) {
    uint8_t high = 0;
    for (Py_ssize_t i = 0; i < size; ++i) high |= p[i];
    return high < 0x80;
}

// A Latin-1 text whose only non-ASCII characters were 8-bit introducers is ASCII once they are
// gone; the canonical form of that result is a compact ASCII object.
object canonical_latin1(object result) {
    const auto* data = static_cast<const uint8_t*>(PyUnicode_DATA(result.ptr()));
    Py_ssize_t size = PyUnicode_GET_LENGTH(result.ptr());
    if (PyUnicode_IS_ASCII(result.ptr()) || !all_ascii(data, size)) return result;
    return steal(PyUnicode_FromKindAndData(PyUnicode_1BYTE_KIND, data, size));
}

// Copies the characters of [begin, end) that no sequence covers to `out`, the first sequence being
// [start, stop); returns the end of the copy.
template <typename Char>
Char* copy_kept(const Char* begin, const Char* end, const Char* start, const Char* stop, Char* out) {
    const Char* kept = begin;
    while (stop) {
        std::memcpy(out, kept, static_cast<size_t>(start - kept) * sizeof(Char));
        out += start - kept;
        kept = stop;
        stop = next_sequence(kept, end, &start);
    }
    std::memcpy(out, kept, static_cast<size_t>(end - kept) * sizeof(Char));
    return out + (end - kept);
}

// Lines of a log go through one by one: a short result is gathered on the stack and then made in
// its exact size and canonical form at once.
constexpr Py_ssize_t short_text = 2048;

template <typename Char>
object strip_sequences(handle line) {
    const auto* begin = static_cast<const Char*>(PyUnicode_DATA(line.ptr()));
    Py_ssize_t length = PyUnicode_GET_LENGTH(line.ptr());
    const Char* end = begin + length;
    const Char* start = nullptr;
    const Char* stop = next_sequence(begin, end, &start);
    // Nothing to remove: `sub` hands an exact str back as it is, and a subclass as an exact copy.
    if (!stop) return steal(PyUnicode_Substring(line.ptr(), 0, length));
    if (length <= short_text) {
        Char buffer[short_text];
        Py_ssize_t size = copy_kept(begin, end, start, stop, buffer) - buffer;
        return steal(PyUnicode_FromKindAndData(sizeof(Char), buffer, size));
    }
    // Removed characters are all below 0x9C, so a wider kind keeps its widest characters.
    PyObject* raw = PyUnicode_New(length, PyUnicode_MAX_CHAR_VALUE(line.ptr()));
    if (!raw) throw_error();
    Char* out = static_cast<Char*>(PyUnicode_DATA(raw));
    Py_ssize_t size = copy_kept(begin, end, start, stop, out) - out;
    if (PyUnicode_Resize(&raw, size) < 0) {
        Py_XDECREF(raw);
        throw_error();
    }
    object result = steal(raw);
    if constexpr (sizeof(Char) == 1) return canonical_latin1(std::move(result));
    return result;
}

object strip_text(handle line) {
    check(PyUnicode_READY(line.ptr()));
    switch (PyUnicode_KIND(line.ptr())) {
        case PyUnicode_1BYTE_KIND:
            return strip_sequences<uint8_t>(line);
        case PyUnicode_2BYTE_KIND:
            return strip_sequences<uint16_t>(line);
        default:
            return strip_sequences<uint32_t>(line);
    }
}

// ----- escape(line) -----------------------------------------------------------------------------

object escape(Frame& f, handle line) {
    object pattern = NATIVE_GLOBAL(f, "ESCAPE_SEQUENCE");
    handle own = f.state<State>().own_pattern;
    if (PyUnicode_Check(line.ptr()) && own && pattern.ptr() == own.ptr()) return strip_text(line);
    return call_method(pattern, "sub", text(""), line);
}

// ----- the module body --------------------------------------------------------------------------

void body(ModuleBody& m) {
    m.import_("re");
    const char* source = R"((\x9B|\x1B\[)[0-?]*[ -\/]*[@-~])";
    object pattern = call_method(m.get("re"), "compile", text(source));
    // only a real compiled pattern of this very text, with the default flags, behaves as the scanner
    if (is_compiled_pattern(pattern, source)) m.state<State>().own_pattern = pattern;
    m.set("ESCAPE_SEQUENCE", pattern);
    m.def("escape", "(line)", &escape, escape_doc);
}
}  // namespace

QUARV_MODULE(ansi, "quarv.utils.ansi", body, State)
