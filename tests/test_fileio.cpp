/* test_fileio: the positioned read and write helpers that the pixel readers
 * and writers share: counts at and past the end of a file, and a file
 * position that they leave where it was. */
#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "im.h"
#include "test_support.h"

TEST(FileIo, PositionedReadsCountToTheEndAndLeaveThePosition)
{
    const std::string name = testsup::scratch_dir("test_fileio") + "/ten.bin";
    testsup::write_file(name, std::string("0123456789"));
    const int fd = IM_open_file(name.c_str(), O_RDONLY);
    ASSERT_GT(fd, 0);
    ASSERT_EQ(3, lseek(fd, 3, SEEK_SET));
    const struct {
        int n;
        int64_t pos;
        int got;
        const char *bytes;
    } cases[] = {
        {4, 0, 4, "0123"}, {4, 8, 2, "89"}, {4, 10, 0, ""}, {4, 1000, 0, ""}, {0, 5, 0, ""},
    };
    for (const auto &c : cases) {
        char buf[8] = {0};
        EXPECT_EQ(c.got, IM_read_full_at(fd, buf, c.n, c.pos)) << c.pos;
        EXPECT_EQ(std::string(c.bytes), std::string(buf, size_t(c.got))) << c.pos;
    }
    EXPECT_EQ(3, lseek(fd, 0, SEEK_CUR));
    close(fd);
    EXPECT_EQ(-1, IM_read_full_at(fd, nullptr, 4, 0)); /* closed descriptor */
}

TEST(FileIo, PositionedWritesStoreAtTheirPlaceAndLeaveThePosition)
{
    const std::string name = testsup::scratch_dir("test_fileio") + "/w.bin";
    testsup::write_file(name, std::string("abcdef"));
    const int fd = IM_open_file(name.c_str(), O_RDWR);
    ASSERT_GT(fd, 0);
    EXPECT_EQ(2, IM_write_some_at(fd, "XY", 2, 1));
    EXPECT_EQ(0, IM_write_all_at(fd, "Z", 1, 8));   /* past the end: a hole */
    EXPECT_EQ(0, lseek(fd, 0, SEEK_CUR));
    close(fd);
    const std::vector<unsigned char> b = testsup::slurp(name);
    EXPECT_EQ(std::string("aXYdef\0\0Z", 9), std::string(b.begin(), b.end()));
    EXPECT_EQ(-1, IM_write_some_at(fd, "Q", 1, 0)); /* closed descriptor */
}
