// SipHash-c-d (Aumasson and Bernstein, 2012): 64-bit words, a 16-byte key
// and a 64-bit result; and HalfSipHash-c-d, the same rounds on 32-bit words
// with an 8-byte key and a 32-bit result.  The rounds are parameters, so that
// the tests check the code against SipHash-2-4's published vectors.
#ifndef OSTREL_SIPHASH_H
#define OSTREL_SIPHASH_H

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace ostrel {

// Each variant's rotations and initial words.
template <class W> struct SipConstants;
template <> struct SipConstants<uint64_t> {
    static constexpr int r1 = 13, r2 = 16, r3 = 21, r4 = 17, half = 32;
    static constexpr uint64_t init[4] = {0x736f6d6570736575, 0x646f72616e646f6d, 0x6c7967656e657261,
                                         0x7465646279746573};
};
template <> struct SipConstants<uint32_t> {
    static constexpr int r1 = 5, r2 = 8, r3 = 7, r4 = 13, half = 16;
    static constexpr uint32_t init[4] = {0, 0, 0x6c796765, 0x74656462};
};

template <class W> struct SipState {
    using K = SipConstants<W>;
    W v0, v1, v2, v3;

    static W rotl(W x, int b) { return static_cast<W>(x << b | x >> (8 * sizeof(W) - b)); }
    void round()
    {
        v0 += v1;
        v1 = rotl(v1, K::r1) ^ v0;
        v0 = rotl(v0, K::half);
        v2 += v3;
        v3 = rotl(v3, K::r2) ^ v2;
        v0 += v3;
        v3 = rotl(v3, K::r3) ^ v0;
        v2 += v1;
        v1 = rotl(v1, K::r4) ^ v2;
        v2 = rotl(v2, K::half);
    }
    template <int C> void absorb(W m)
    {
        v3 ^= m;
        for (int i = 0; i < C; i++)
            round();
        v0 ^= m;
    }
};

// A little-endian word from p, on any byte order.
template <class W> W load_le(const unsigned char *p)
{
    W w = 0;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    for (size_t i = sizeof w; i-- > 0;)
        w = static_cast<W>(w << 8 | p[i]);
#else
    std::memcpy(&w, p, sizeof w);
#endif
    return w;
}

// SipHash-C-D of n bytes (W = uint64_t) or HalfSipHash-C-D (W = uint32_t)
// under the key k[0], k[1], the key's bytes read as little-endian words.
template <class W, int C, int D> inline W siphash(const W k[2], const void *data, size_t n)
{
    constexpr size_t size = sizeof(W);
    const unsigned char *p = static_cast<const unsigned char *>(data);
    SipState<W> s{SipConstants<W>::init[0] ^ k[0], SipConstants<W>::init[1] ^ k[1], SipConstants<W>::init[2] ^ k[0],
                  SipConstants<W>::init[3] ^ k[1]};
    const unsigned char *end = p + n - n % size;
    for (; p != end; p += size)
        s.template absorb<C>(load_le<W>(p));
    // The last block: the length's low byte on top, the bytes left below.
    // Loaded in pieces of 4, 2 and 1 bytes: names are short, and most of a
    // short name's bytes are in this block.
    W last = static_cast<W>(static_cast<W>(n) << (8 * size - 8));
    size_t left = n % size, shift = 0;
    if (size == 8 && (left & 4)) {
        last |= load_le<uint32_t>(p);
        p += 4;
        shift = 32;
    }
    if (left & 2) {
        last |= static_cast<W>(load_le<uint16_t>(p)) << shift;
        p += 2;
        shift += 16;
    }
    if (left & 1)
        last |= static_cast<W>(*p) << shift;
    s.template absorb<C>(last);
    s.v2 ^= 0xff;
    for (int i = 0; i < D; i++)
        s.round();
    return size == 8 ? s.v0 ^ s.v1 ^ s.v2 ^ s.v3 : s.v1 ^ s.v3;
}

} // namespace ostrel

#endif
