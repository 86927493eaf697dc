#include "connection/Utf8LineScan.h"

#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#define TABREL_HAVE_AVX2_PATH 1
#endif

namespace {

bool isLineEnd(char byte) { return byte == '\n' || byte == '\r'; }

#if defined(TABREL_HAVE_AVX2_PATH)
// The vector form, compiled for AVX2 and chosen at run time.
namespace avx2 {

// Error bits of the lookup tables: each names a way the pair (byte before, byte) can be wrong.
constexpr unsigned char tooShort = 1 << 0;     // lead byte followed by a lead byte or ASCII
constexpr unsigned char tooLong = 1 << 1;      // ASCII followed by a continuation byte
constexpr unsigned char overlong3 = 1 << 2;    // E0 followed by 80..9F
constexpr unsigned char tooLarge = 1 << 3;     // past U+10FFFF
constexpr unsigned char surrogate = 1 << 4;    // ED followed by A0..BF
constexpr unsigned char overlong2 = 1 << 5;    // C0 or C1
constexpr unsigned char tooLarge1000 = 1 << 6; // F5..FF followed by 80..8F
constexpr unsigned char overlong4 = 1 << 6;    // F0 followed by 80..8F
constexpr unsigned char twoContinuations = 1 << 7;
constexpr unsigned char carry = tooShort | tooLong | twoContinuations;

// Indexed by the high nibble of the byte before.
alignas(16) constexpr unsigned char firstHigh[16] = {
    tooLong, tooLong, tooLong, tooLong, tooLong, tooLong, tooLong, tooLong, // ASCII
    twoContinuations, twoContinuations, twoContinuations, twoContinuations, // continuation
    tooShort | overlong2,                                                   // C0..CF
    tooShort,                                                               // D0..DF
    tooShort | overlong3 | surrogate,                                       // E0..EF
    tooShort | tooLarge | tooLarge1000 | overlong4,                         // F0..FF
};
// Indexed by the low nibble of the byte before.
alignas(16) constexpr unsigned char firstLow[16] = {
    carry | overlong3 | overlong2 | overlong4, // _0
    carry | overlong2,                         // _1
    carry,
    carry,
    carry | tooLarge,                          // _4
    carry | tooLarge | tooLarge1000,           // _5
    carry | tooLarge | tooLarge1000,
    carry | tooLarge | tooLarge1000,
    carry | tooLarge | tooLarge1000,
    carry | tooLarge | tooLarge1000,
    carry | tooLarge | tooLarge1000,
    carry | tooLarge | tooLarge1000,
    carry | tooLarge | tooLarge1000,
    carry | tooLarge | tooLarge1000 | surrogate, // _D
    carry | tooLarge | tooLarge1000,
    carry | tooLarge | tooLarge1000,
};
// Indexed by the high nibble of the byte itself.
alignas(16) constexpr unsigned char secondHigh[16] = {
    tooShort, tooShort, tooShort, tooShort, tooShort, tooShort, tooShort, tooShort, // ASCII
    tooLong | overlong2 | twoContinuations | overlong3 | tooLarge1000 | overlong4,  // 80..8F
    tooLong | overlong2 | twoContinuations | overlong3 | tooLarge,                  // 90..9F
    tooLong | overlong2 | twoContinuations | surrogate | tooLarge,                  // A0..AF
    tooLong | overlong2 | twoContinuations | surrogate | tooLarge,                  // B0..BF
    tooShort, tooShort, tooShort, tooShort,                                         // leads
};
// 32 bytes kept, then 32 cleared: loading at 32 - k keeps the first k bytes of a block.
alignas(32) constexpr unsigned char keepFirst[64] = {
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

[[gnu::target("avx2")]] inline __m256i load(const void *at) {
    return _mm256_loadu_si256(static_cast<const __m256i *>(at));
}

[[gnu::target("avx2")]] inline __m256i table(const unsigned char (&values)[16]) {
    return _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i *>(values)));
}

// The block shifted by n bytes, its first n bytes taken from the end of the block before.
template <int n> [[gnu::target("avx2")]] inline __m256i shifted(__m256i block, __m256i before) {
    return _mm256_alignr_epi8(block, _mm256_permute2x128_si256(before, block, 0x21), 16 - n);
}

[[gnu::target("avx2")]] inline __m256i highNibbles(__m256i bytes) {
    return _mm256_and_si256(_mm256_srli_epi16(bytes, 4), _mm256_set1_epi8(0x0F));
}

// Non-zero where the block, read after `before`, is not UTF-8 (an unfinished character at its end
// is not counted: that needs the next block).
[[gnu::target("avx2")]] inline __m256i errors(__m256i block, __m256i before) {
    const __m256i before1 = shifted<1>(block, before);
    const __m256i special = _mm256_and_si256(
        _mm256_and_si256(_mm256_shuffle_epi8(table(firstHigh), highNibbles(before1)),
                         _mm256_shuffle_epi8(table(firstLow), _mm256_and_si256(before1, _mm256_set1_epi8(0x0F)))),
        _mm256_shuffle_epi8(table(secondHigh), highNibbles(block)));
    // Third and fourth bytes of three- and four-byte characters must be continuations; the tables
    // above judge pairs only.
    const __m256i third = _mm256_subs_epu8(shifted<2>(block, before), _mm256_set1_epi8(char(0xE0 - 0x80)));
    const __m256i fourth = _mm256_subs_epu8(shifted<3>(block, before), _mm256_set1_epi8(char(0xF0 - 0x80)));
    const __m256i mustContinue = _mm256_and_si256(_mm256_or_si256(third, fourth), _mm256_set1_epi8(char(0x80)));
    return _mm256_xor_si256(mustContinue, special);
}

// Indexed by the low nibble: LF and CR at their own places, elsewhere a byte that no byte with that
// low nibble equals once looked up (bytes from 80 look up 0).
alignas(16) constexpr unsigned char lineEndByNibble[16] = {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80,
                                                           0x80, 0x80, '\n', 0x80, 0x80, '\r', 0x80, 0x80};

// 0xFF where the block holds CR or LF: one lookup and one compare instead of two compares.
[[gnu::target("avx2")]] inline __m256i lineEnds(__m256i block) {
    return _mm256_cmpeq_epi8(_mm256_shuffle_epi8(table(lineEndByNibble), block), block);
}

struct Run {
    const char *at;  // the line end, or the first byte not yet looked at
    bool lineEnd;
    bool invalid;
};

// Whole 32-byte blocks from `from`, which starts a character. Stops at the first line end (the
// bytes before it checked, the line counted finished there) or before the last partial block.
// With `copying`, every block looked at is also stored at `copy`, in the same pass.
template <bool copying>
[[gnu::target("avx2")]] Run scanBlocks(const char *from, const char *to, char *copy) {
    __m256i before = _mm256_setzero_si256();
    __m256i error = _mm256_setzero_si256();
    while (to - from >= 32) {
        __m256i block = load(from);
        if (const unsigned ends = static_cast<unsigned>(_mm256_movemask_epi8(lineEnds(block))); ends != 0) {
            const int kept = __builtin_ctz(ends);
            // The line's bytes, then zeros: a character cut short by the line end fails as one
            // cut short by ASCII.
            block = _mm256_and_si256(block, load(keepFirst + 32 - kept));
            if constexpr (copying)
                _mm256_storeu_si256(reinterpret_cast<__m256i *>(copy), block);
            error = _mm256_or_si256(error, errors(block, before));
            return {from + kept, true, !_mm256_testz_si256(error, error)};
        }
        error = _mm256_or_si256(error, errors(block, before));
        if constexpr (copying) {
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(copy), block);
            copy += 32;
        }
        before = block;
        from += 32;
    }
    return {from, false, !_mm256_testz_si256(error, error)};
}

} // namespace avx2
#endif

// The first CR or LF in [from, to), or `to`; SSE2 compares 16 bytes at a time where available.
const char *findLineEnd(const char *from, const char *to) {
#if defined(__SSE2__)
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i cr = _mm_set1_epi8('\r');
    while (to - from >= 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(from));
        const int mask = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(bytes, lf), _mm_cmpeq_epi8(bytes, cr)));
        if (mask != 0)
            return from + __builtin_ctz(static_cast<unsigned>(mask));
        from += 16;
    }
#endif
    for (; from < to; ++from) {
        if (isLineEnd(*from))
            return from;
    }
    return to;
}

} // namespace

Utf8LineScan::Utf8LineScan(Implementation implementation)
    : m_vector(implementation == Implementation::fastest && vectorAvailable()) {}

bool Utf8LineScan::vectorAvailable() {
#if defined(TABREL_HAVE_AVX2_PATH)
    static const bool available = __builtin_cpu_supports("avx2");
    return available;
#else
    return false;
#endif
}

const char *Utf8LineScan::scan(const char *from, const char *to, char *copy) {
    const char *const begin = from;
    // The bytes of [begin, end) to `copy`, for the parts not stored by the blocks.
    const auto copied = [&](const char *end) {
        if (copy)
            std::memcpy(copy + (from - begin), from, size_t(end - from));
        return end;
    };
    // Finish a character begun in an earlier piece byte by byte; the blocks start on a character.
    for (; from < to && m_needed > 0; ++from) {
        if (isLineEnd(*from))
            return from;
        checkByte(static_cast<unsigned char>(*from));
        if (copy)
            copy[from - begin] = *from;
    }
#if defined(TABREL_HAVE_AVX2_PATH)
    if (m_vector && to - from >= 32) {
        const char *start = from;
        const avx2::Run run = copy ? avx2::scanBlocks<true>(from, to, copy + (from - begin))
                                   : avx2::scanBlocks<false>(from, to, nullptr);
        m_invalid = m_invalid || run.invalid;
        if (run.lineEnd)
            return run.at;
        // The blocks judge a character only once the block after it is seen, so the last character
        // goes on byte by byte: replay it from its lead byte (at most three bytes back).
        from = run.at;
        const char *lead = from;
        while (lead > start && from - lead < 3 && (static_cast<unsigned char>(lead[-1]) & 0xC0) == 0x80)
            --lead;
        if (lead > start && static_cast<unsigned char>(lead[-1]) >= 0xC0) {
            for (const char *at = lead - 1; at < from; ++at)
                checkByte(static_cast<unsigned char>(*at));
        }
    }
#endif
    const char *end = findLineEnd(from, to);
    copied(end);
    for (; from < end; ++from)
        checkByte(static_cast<unsigned char>(*from));
    return end;
}

bool Utf8LineScan::finishLine() {
    const bool valid = !m_invalid && m_needed == 0;
    m_invalid = false;
    m_needed = 0;
    return valid;
}

void Utf8LineScan::checkByte(unsigned char byte) {
    if (m_needed > 0) {
        if (byte < m_lowest || byte > m_highest) {
            // A character cut short: this byte starts afresh.
            m_invalid = true;
            m_needed = 0;
        } else {
            --m_needed;
            m_lowest = 0x80;
            m_highest = 0xBF;
            return;
        }
    }
    if (byte < 0x80)
        return;
    m_lowest = 0x80;
    m_highest = 0xBF;
    if (byte >= 0xC2 && byte <= 0xDF) {
        m_needed = 1;
    } else if (byte >= 0xE0 && byte <= 0xEF) {
        m_needed = 2;
        if (byte == 0xE0)
            m_lowest = 0xA0; // shorter forms exist
        else if (byte == 0xED)
            m_highest = 0x9F; // surrogates
    } else if (byte >= 0xF0 && byte <= 0xF4) {
        m_needed = 3;
        if (byte == 0xF0)
            m_lowest = 0x90;
        else if (byte == 0xF4)
            m_highest = 0x8F; // past U+10FFFF
    } else {
        m_invalid = true; // a continuation without a lead, C0, C1, F5..FF
    }
}
