/* Byte order: the host-order query, the in-place group swaps and the raw
 * mode switch. */
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "im.h"

namespace {

/* What the host really does, found independently of the library. */
int host_is_big_endian()
{
    const uint16_t probe = 0x0102;
    unsigned char first;
    std::memcpy(&first, &probe, 1);
    return first == 0x01 ? 1 : 0;
}

std::vector<unsigned char> one_to_eight()
{
    return {1, 2, 3, 4, 5, 6, 7, 8};
}

TEST(ByteOrder, QueryMatchesTheHost)
{
    EXPECT_EQ(host_is_big_endian(), im_byteorder());
    EXPECT_EQ(im_byteorder(), im_byteorder());   /* worked out anew, same answer */
}

TEST(ByteOrder, SwapsReverseEachGroupOnLittleEndianHosts)
{
    std::vector<unsigned char> b2 = one_to_eight(), b4 = one_to_eight(), b8 = one_to_eight();
    IM_swap_2(b2.data(), 8);
    IM_swap_4(b4.data(), 8);
    IM_swap_8(b8.data(), 8);
    if (im_byteorder() == 0) {
        EXPECT_EQ((std::vector<unsigned char>{2, 1, 4, 3, 6, 5, 8, 7}), b2);
        EXPECT_EQ((std::vector<unsigned char>{4, 3, 2, 1, 8, 7, 6, 5}), b4);
        EXPECT_EQ((std::vector<unsigned char>{8, 7, 6, 5, 4, 3, 2, 1}), b8);
    } else {
        EXPECT_EQ(one_to_eight(), b2);
        EXPECT_EQ(one_to_eight(), b4);
        EXPECT_EQ(one_to_eight(), b8);
    }
}

TEST(ByteOrder, ZeroCountChangesNothing)
{
    std::vector<unsigned char> b = one_to_eight();
    IM_swap_2(b.data(), 0);
    IM_swap_4(b.data(), 0);
    IM_swap_8(b.data(), 0);
    EXPECT_EQ(one_to_eight(), b);
}

TEST(ByteOrder, SwapStopsAtTheCountAndTwiceRestores)
{
    /* A long, odd-length run of groups: every group swapped, the byte
     * after the count untouched, and a second swap gives the original. */
    const int groups = 1001;
    for (int size : {2, 4, 8}) {
        std::vector<unsigned char> b(groups * size + 1), orig;
        for (size_t i = 0; i < b.size(); i++)
            b[i] = static_cast<unsigned char>(i * 7 + 3);
        orig = b;
        void (*swap)(unsigned char *, int) = size == 2 ? IM_swap_2 : (size == 4 ? IM_swap_4 : IM_swap_8);
        swap(b.data(), groups * size);
        EXPECT_EQ(orig.back(), b.back());
        if (im_byteorder() == 0) {
            for (int g = 0; g < groups; g++)
                for (int k = 0; k < size; k++)
                    ASSERT_EQ(orig[g * size + k], b[g * size + size - 1 - k]) << size << " " << g;
        }
        swap(b.data(), groups * size);
        EXPECT_EQ(orig, b);
    }
}

TEST(ByteOrder, RawSwitchReturnsThePreviousSetting)
{
    int before = im_raw(0);
    EXPECT_EQ(0, im_raw(5));
    EXPECT_EQ(1, im_rawflag);
    EXPECT_EQ(1, im_raw(0));
    EXPECT_EQ(0, im_rawflag);
    EXPECT_EQ(0, im_raw(-1));
    EXPECT_EQ(1, im_raw(before));
}

} // namespace
