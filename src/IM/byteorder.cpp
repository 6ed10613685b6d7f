/* byteorder: the host's byte order, the in-place group swaps and the raw
 * switch that keeps integer transfers in FITS byte order.
 * Every byte-order decision is taken at run time. */
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "im.h"

int im_rawflag = 0;

/* im_byteorder: 1 when the host stores the most significant byte first,
 * 0 when least significant first; any other layout ends the process. */
int im_byteorder(void)
{
    uint32_t probe = 0x12345678u;
    unsigned char b[4];
    std::memcpy(b, &probe, sizeof b);
    if (b[0] == 0x12 && b[1] == 0x34)
        return 1;
    if (b[0] == 0x78 && b[1] == 0x56)
        return 0;
    std::fputs("fatal error:  unrecognized byte order on this machine\n", stderr);
    std::exit(1);
}

/* IM_swap_2/4/8: reverse each group of 2, 4 or 8 bytes in place on a
 * little-endian host; n counts bytes.  Nothing on a big-endian host.
 * The wider swaps are written with vector types, shifts and masks:
 * compilers turn the scalar idiom into a byte-swap instruction that has no
 * vector form on the baseline instruction set, while these have one.  Each
 * is also built for AVX2 and picked at load time. */
typedef uint16_t im_v8u16 __attribute__((vector_size(16)));
typedef uint32_t im_v4u32 __attribute__((vector_size(16)));
typedef uint64_t im_v2u64 __attribute__((vector_size(16)));

IM_VECTOR_KERNEL void im_internal::IM_swap_2(unsigned char *buffer, int n)
{
    if (n <= 0 || im_byteorder() == 1)
        return;
    int i = 0;
    for (; i + 16 <= n; i += 16) {
        im_v8u16 u;
        std::memcpy(&u, buffer + i, 16);
        u = (u << 8) | (u >> 8);
        std::memcpy(buffer + i, &u, 16);
    }
    for (; i + 1 < n; i += 2) {
        uint16_t v;
        std::memcpy(&v, buffer + i, 2);
        v = __builtin_bswap16(v);
        std::memcpy(buffer + i, &v, 2);
    }
}

IM_VECTOR_KERNEL void im_internal::IM_swap_4(unsigned char *buffer, int n)
{
    if (n <= 0 || im_byteorder() == 1)
        return;
    int i = 0;
    for (; i + 16 <= n; i += 16) {
        im_v4u32 u;
        std::memcpy(&u, buffer + i, 16);
        u = ((u & 0x00FF00FFu) << 8) | ((u >> 8) & 0x00FF00FFu);
        u = (u << 16) | (u >> 16);
        std::memcpy(buffer + i, &u, 16);
    }
    for (; i + 3 < n; i += 4) {
        uint32_t v;
        std::memcpy(&v, buffer + i, 4);
        v = __builtin_bswap32(v);
        std::memcpy(buffer + i, &v, 4);
    }
}

IM_VECTOR_KERNEL void im_internal::IM_swap_8(unsigned char *buffer, int n)
{
    if (n <= 0 || im_byteorder() == 1)
        return;
    int i = 0;
    for (; i + 16 <= n; i += 16) {
        im_v2u64 u;
        std::memcpy(&u, buffer + i, 16);
        u = ((u & 0x00FF00FF00FF00FFull) << 8) | ((u >> 8) & 0x00FF00FF00FF00FFull);
        u = ((u & 0x0000FFFF0000FFFFull) << 16) | ((u >> 16) & 0x0000FFFF0000FFFFull);
        u = (u << 32) | (u >> 32);
        std::memcpy(buffer + i, &u, 16);
    }
    for (; i + 7 < n; i += 8) {
        uint64_t v;
        std::memcpy(&v, buffer + i, 8);
        v = __builtin_bswap64(v);
        std::memcpy(buffer + i, &v, 8);
    }
}

/* im_raw: switch raw mode on (v != 0) or off; returns the previous setting. */
int im_raw(int v)
{
    int old = im_rawflag;
    im_rawflag = (v != 0) ? 1 : 0;
    return old;
}
