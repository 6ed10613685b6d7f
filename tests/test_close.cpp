// Closing images: FITS padding, setup at close, the header write, release
// of the handle, and failures (file-size limit, no pixel file, forms that
// cannot be written) that must come back as negative results.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "im.h"
#include "test_support.h"

namespace {

using testsup::close_suite_dir;
using testsup::g_dir;
using testsup::new_image;
using testsup::open_suite_dir;
using testsup::path;
using testsup::run_in_child;
using testsup::slurp;

long file_size(const std::string &p)
{
    struct stat st;
    return stat(p.c_str(), &st) == 0 ? long(st.st_size) : -1;
}

// Runs body in a child process under a file-size limit of limit bytes,
// with SIGXFSZ ignored so that writes past it fail with EFBIG.  body
// returns 0 when all its checks held, else the number of the failed
// check.  Returns the child's exit status (or -1).
int under_size_limit(rlim_t limit, const std::function<int()> &body)
{
    return run_in_child([&]() {
        std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit rl;
        getrlimit(RLIMIT_FSIZE, &rl);
        rl.rlim_cur = limit;
        if (setrlimit(RLIMIT_FSIZE, &rl) != 0)
            return 100;
        return body();
    });
}

// Lifts the child's file-size limit again.
void lift_size_limit(void)
{
    struct rlimit rl;
    getrlimit(RLIMIT_FSIZE, &rl);
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_FSIZE, &rl);
}

class Close : public ::testing::Test {
protected:
    static void SetUpTestSuite() { open_suite_dir("test_close"); }
    static void TearDownTestSuite() { close_suite_dir(); }
};

} // namespace

TEST_F(Close, FitsDataIsPaddedToWholeRecords)
{
    int id = new_image("pad16.fits", 16, 100, 100);
    std::vector<float> v(10000, 3.0f);
    EXPECT_EQ(10000, im_wpix_r(id, v.data(), 10000));
    EXPECT_EQ(0, im_close(id));
    auto b = slurp(path("pad16.fits"));
    ASSERT_EQ(size_t(2880 + 7 * 2880), b.size());
    for (size_t i = 2880 + 20000; i < b.size(); i++)
        ASSERT_EQ(0, b[i]) << i;
    EXPECT_EQ(3, b[2880 + 19999]);

    id = new_image("pad8.fits", 8, 1440, 2);
    std::vector<unsigned char> c(2880, 1);
    EXPECT_EQ(2880, im_wpix_c(id, c.data(), 2880));
    EXPECT_EQ(0, im_close(id));
    EXPECT_EQ(2 * 2880, file_size(path("pad8.fits")));
}

TEST_F(Close, AnImageNeverWrittenStillGetsItsFiles)
{
    int id = new_image("empty.fits", 16, 100, 100);
    EXPECT_EQ(0, im_close(id));
    auto b = slurp(path("empty.fits"));
    ASSERT_EQ(size_t(8 * 2880), b.size());
    EXPECT_EQ(0, std::memcmp(b.data(), "SIMPLE  =", 9));
    for (size_t i = 2880; i < b.size(); i++)
        ASSERT_EQ(0, b[i]) << i;

    id = new_image("empty.imh", 16, 3, 2);
    EXPECT_EQ(0, im_close(id));
    EXPECT_GT(file_size(path("empty.imh")), 2052);
    EXPECT_EQ(1024, file_size(path("empty.pix")));
}

TEST_F(Close, OtherFormsGetNoPadding)
{
    int id = new_image("nopad.zzh", 16, 3, 3);
    std::vector<float> v(9, 1.0f);
    EXPECT_EQ(9, im_wpix_r(id, v.data(), 9));
    EXPECT_EQ(0, im_close(id));
    EXPECT_EQ(18, file_size(path("nopad.zzp")));

    id = new_image("nopad.imh", 16, 3, 3);
    EXPECT_EQ(9, im_wpix_r(id, v.data(), 9));
    EXPECT_EQ(0, im_close(id));
    EXPECT_EQ(1024 + 18, file_size(path("nopad.pix")));
}

TEST_F(Close, HandlesEndAtClose)
{
    int id = new_image("twice.fits", 16, 2, 2);
    EXPECT_EQ(0, im_close(id));
    EXPECT_EQ(-3, im_close(id));
    int n = 0;
    EXPECT_EQ(-3, im_rkey_i(id, &n, "NAXIS"));
    EXPECT_EQ(-3, im_close(987654321));
    EXPECT_EQ(-3, im_close(0));
}

TEST_F(Close, ClosingAReadImageWritesNothing)
{
    int id = new_image("ro.fits", 16, 2, 2);
    EXPECT_EQ(0, im_close(id));
    const auto before = slurp(path("ro.fits"));
    struct stat st0;
    ASSERT_EQ(0, stat(path("ro.fits").c_str(), &st0));
    int rid = im_open(path("ro.fits").c_str(), "read");
    ASSERT_GT(rid, 0);
    EXPECT_EQ(0, im_close(rid));
    struct stat st1;
    ASSERT_EQ(0, stat(path("ro.fits").c_str(), &st1));
    EXPECT_EQ(before, slurp(path("ro.fits")));
    EXPECT_EQ(st0.st_mtim.tv_sec, st1.st_mtim.tv_sec);
    EXPECT_EQ(st0.st_mtim.tv_nsec, st1.st_mtim.tv_nsec);
}

TEST_F(Close, ImageWithoutPixelFileReportsFailureAndIsReleased)
{
    int id = im_open((g_dir + "/no/such/dir/x.fits").c_str(), "write");
    ASSERT_GT(id, 0);
    EXPECT_GT(im_wkey_i(id, 16, "BITPIX"), 0);
    EXPECT_GT(im_wkey_i(id, 0, "NAXIS"), 0);
    float v = 1.0f;
    EXPECT_EQ(-2, im_wpix_r(id, &v, 1));
    EXPECT_EQ(-2, im_close(id));
    EXPECT_EQ(-3, im_close(id));
}

TEST_F(Close, SImagesCannotBeClosedAfterUpdate)
{
    // An S file: the 12-byte record, one header record, two pixels.
    std::vector<unsigned char> file(12 + 2880 + 4, 0);
    const int32_t rec[3] = {46, 12, 12 + 2880};
    std::memcpy(file.data(), rec, 12);
    std::string hdr;
    for (const char *c : {"BITPIX  =                   16", "NAXIS   =                    1",
                          "NAXIS1  =                    2", "END"}) {
        std::string card = c;
        card.resize(80, ' ');
        hdr += card;
    }
    hdr.resize(2880, ' ');
    std::memcpy(file.data() + 12, hdr.data(), 2880);
    std::FILE *fp = std::fopen(path("img.s").c_str(), "wb");
    ASSERT_NE(fp, nullptr);
    ASSERT_EQ(file.size(), std::fwrite(file.data(), 1, file.size(), fp));
    std::fclose(fp);

    int rid = im_open(path("img.s").c_str(), "read");
    ASSERT_GT(rid, 0);
    EXPECT_EQ(0, im_close(rid));

    int uid = im_open(path("img.s").c_str(), "update");
    ASSERT_GT(uid, 0);
    EXPECT_EQ(-3, im_close(uid));
    int n = 0;
    EXPECT_GT(im_rkey_i(uid, &n, "NAXIS1"), 0); // still open
    EXPECT_EQ(2, n);
    EXPECT_EQ(file, slurp(path("img.s")));
}

TEST_F(Close, PixelsPastTheFileSizeLimitFailTheWrite)
{
        int rc = under_size_limit(2880 + 1000, [&]() {
        int id = new_image("limit_pix.fits", 16, 100, 100);
        std::vector<float> v(10000, 1.0f);
        if (im_wpix_r(id, v.data(), 10000) != -2)
            return 1;
        if (im_close(id) != -2) // the padding cannot be written either
            return 2;
        if (im_close(id) != -3)
            return 3;
        return 0;
    });
    EXPECT_EQ(0, rc);
}

TEST_F(Close, PaddingPastTheFileSizeLimitFailsTheClose)
{
        int rc = under_size_limit(2880 + 20000, [&]() {
        int id = new_image("limit_pad.fits", 16, 100, 100);
        std::vector<float> v(10000, 1.0f);
        if (im_wpix_r(id, v.data(), 10000) != 10000)
            return 1;
        if (im_close(id) != -2)
            return 2;
        if (im_close(id) != -3)
            return 3;
        return 0;
    });
    EXPECT_EQ(0, rc);
}

TEST_F(Close, HeaderPastTheFileSizeLimitKeepsTheImageOpen)
{
    const std::string name = path("limit_hdr.imh");
    int rc = under_size_limit(2052 + 162, [&]() {
        int id = im_open(name.c_str(), "write");
        im_wkey_i(id, 16, "BITPIX");
        im_wkey_i(id, 1, "NAXIS");
        im_wkey_i(id, 2, "NAXIS1");
        for (int i = 0; i < 4; i++)
            im_wkey_t(id, "COMMENT one record each", "end");
        short v[2] = {1, 2};
        if (im_wpix_s(id, v, 2) != 2)
            return 1;
        if (im_close(id) != -2)
            return 2;
        int n = 0;
        if (im_rkey_i(id, &n, "NAXIS1") <= 0 || n != 2)
            return 3;
        lift_size_limit();
        if (im_close(id) != 0)
            return 4;
        return 0;
    });
    EXPECT_EQ(0, rc);
    EXPECT_EQ(2052 + 4 * 162 + 2, file_size(name));

    const std::string zz = path("limit_hdr.zzh");
    rc = under_size_limit(40, [&]() {
        int id = im_open(zz.c_str(), "write");
        im_wkey_i(id, 16, "BITPIX");
        im_wkey_i(id, 1, "NAXIS");
        im_wkey_i(id, 2, "NAXIS1");
        if (im_close(id) != -2)
            return 1;
        lift_size_limit();
        if (im_close(id) != 0)
            return 2;
        return 0;
    });
    EXPECT_EQ(0, rc);
    EXPECT_EQ(3 * 31, file_size(zz));
}

TEST_F(Close, HeaderThatCannotReachStandardOutputFailsTheFirstWrite)
{
    // A FITS image on standard output gets its header at the first pixel
    // write; on a full device that write reports the failure.
    std::fflush(stdout);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (std::freopen("/dev/full", "w", stdout) == nullptr)
            _exit(10);
        int id = im_open("-", "w-");
        im_wkey_i(id, 16, "BITPIX");
        im_wkey_i(id, 1, "NAXIS");
        im_wkey_i(id, 1, "NAXIS1");
        short v = 1;
        if (im_wpix_s(id, &v, 1) != -2)
            _exit(1);
        if (im_close(id) != -2)
            _exit(2);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
}
