// SHA-256 on the x86 SHA extensions: sha256rnds2 does two rounds on the state held as ABEF and CDGH,
// sha256msg1/msg2 extend the message schedule four words at a time.
#include "driver/Sha256Transforms.h"

#include <immintrin.h>

// Only the functions below are compiled for these instructions; the rest of the program runs on any
// x86-64 processor and reaches them only after cpuid has reported the SHA extensions.
#pragma GCC push_options
#pragma GCC target("sha,sse4.1,ssse3")

namespace vondrel {
namespace sha256 {
namespace {

// Four message words, big-endian in the block.
__m128i LoadWords(const uint8_t* p) {
    const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
    return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), byteSwap);
}

// Rounds i to i + 3 on the schedule words W[i..i+3].
void FourRounds(__m128i& abef, __m128i& cdgh, __m128i words, int i) {
    __m128i message = _mm_add_epi32(words, _mm_load_si128(reinterpret_cast<const __m128i*>(kRound + i)));
    cdgh = _mm_sha256rnds2_epu32(cdgh, abef, message);
    message = _mm_shuffle_epi32(message, 0x0E);
    abef = _mm_sha256rnds2_epu32(abef, cdgh, message);
}

// W[i+16..i+19] from W[i..i+15]: sigma0 of W[i+1..i+4], plus W[i+9..i+12], then sigma1.
__m128i NextWords(__m128i w0, __m128i w1, __m128i w2, __m128i w3) {
    const __m128i partial = _mm_add_epi32(_mm_sha256msg1_epu32(w0, w1), _mm_alignr_epi8(w3, w2, 4));
    return _mm_sha256msg2_epu32(partial, w3);
}

}  // namespace

void TransformAccelerated(uint32_t state[8], const uint8_t* blocks, size_t count) {
    // A B C D / E F G H as the instructions want them: ABEF and CDGH, high word first.
    const __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
    const __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
    const __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
    const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
    __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
    __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);

    for (; count != 0; --count, blocks += 64) {
        const __m128i abefBefore = abef;
        const __m128i cdghBefore = cdgh;
        __m128i w0 = LoadWords(blocks);
        __m128i w1 = LoadWords(blocks + 16);
        __m128i w2 = LoadWords(blocks + 32);
        __m128i w3 = LoadWords(blocks + 48);
        for (int i = 0; i < 48; i += 16) {
            FourRounds(abef, cdgh, w0, i);
            w0 = NextWords(w0, w1, w2, w3);
            FourRounds(abef, cdgh, w1, i + 4);
            w1 = NextWords(w1, w2, w3, w0);
            FourRounds(abef, cdgh, w2, i + 8);
            w2 = NextWords(w2, w3, w0, w1);
            FourRounds(abef, cdgh, w3, i + 12);
            w3 = NextWords(w3, w0, w1, w2);
        }
        FourRounds(abef, cdgh, w0, 48);
        FourRounds(abef, cdgh, w1, 52);
        FourRounds(abef, cdgh, w2, 56);
        FourRounds(abef, cdgh, w3, 60);
        abef = _mm_add_epi32(abef, abefBefore);
        cdgh = _mm_add_epi32(cdgh, cdghBefore);
    }

    const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xF0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}

}  // namespace sha256
}  // namespace vondrel

#pragma GCC pop_options
