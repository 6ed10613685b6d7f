// Closing images: FITS padding, the header write, release of the handle,
// and failures (pixels missing, file-size limit, no pixel file, forms that
// cannot be written) that must come back as negative results and leave no
// file the image made.
#include <gtest/gtest.h>

#include <algorithm>
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

TEST_F(Close, AnImageShortOfPixelsIsRefusedAndRemoved)
{
    // Fewer pixels than NAXISn call for, in every form: -2, the reason,
    // and none of the files the image made are left.
    const struct {
        const char *name;
        const char *other; // the second file of the form, or ""
        int written;
    } cases[] = {
        {"short0.fits", "", 0},    {"short1.fits", "", 5},
        {"short0.imh", "short0.pix", 0}, {"short1.imh", "short1.pix", 5},
        {"short0.zzh", "short0.zzp", 0}, {"short1.zzh", "short1.zzp", 5},
    };
    for (const auto &c : cases) {
        int id = new_image(c.name, 16, 3, 2);
        std::vector<float> v(6, 1.0f);
        EXPECT_EQ(c.written, im_wpix_r(id, v.data(), c.written)) << c.name;
        EXPECT_EQ(-2, im_close(id)) << c.name;
        EXPECT_EQ("only " + std::to_string(c.written) + " of the 6 pixels its axes call for "
                  "were written", std::string(im_errmsg())) << c.name;
        EXPECT_EQ(-3, im_close(id)) << c.name;
        EXPECT_FALSE(testsup::exists(path(c.name))) << c.name;
        if (c.other[0] != '\0') {
            EXPECT_FALSE(testsup::exists(path(c.other))) << c.name;
        }
    }
    // A header-only image (NAXIS 0) needs no pixel.
    int id = new_image("axes0.fits", 16, 1, 0);
    EXPECT_GT(im_wkey_i(id, 0, "NAXIS"), 0);
    EXPECT_EQ(0, im_close(id));
    EXPECT_EQ(2880, file_size(path("axes0.fits")));
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
    short v[4] = {1, 2, 3, 4};
    EXPECT_EQ(4, im_wpix_s(id, v, 4));
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
    short v[4] = {1, 2, 3, 4};
    EXPECT_EQ(4, im_wpix_s(id, v, 4));
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
    EXPECT_EQ("no pixel file could be created for " + g_dir + "/no/such/dir/x.fits",
              std::string(im_errmsg()));
    EXPECT_EQ(-3, im_close(id));
}

TEST_F(Close, SImagesOpenedForUpdateClose)
{
    // An S file: the 12-byte record, one header record, two pixels.
    const std::vector<unsigned char> file = testsup::small_s_file();
    testsup::write_file(path("img.s"), file);

    int rid = im_open(path("img.s").c_str(), "read");
    ASSERT_GT(rid, 0);
    EXPECT_EQ(0, im_close(rid));

    // Unchanged: closed and released, nothing written.
    int uid = im_open(path("img.s").c_str(), "update");
    ASSERT_GT(uid, 0);
    EXPECT_EQ(0, im_close(uid));
    EXPECT_EQ(-3, im_close(uid));
    EXPECT_EQ(file, slurp(path("img.s")));

    // Changed cards cannot be stored (no S header writer): released with
    // -2 (not -3, which says the handle was not open) and the reason.
    uid = im_open(path("img.s").c_str(), "update");
    ASSERT_GT(uid, 0);
    EXPECT_GT(im_wkey_i(uid, 5, "EXPTIME"), 0);
    EXPECT_EQ(-2, im_close(uid));
    EXPECT_EQ("S images have no header writer: the changed cards are not stored",
              std::string(im_errmsg()));
    EXPECT_EQ(-3, im_close(uid));
    EXPECT_EQ(file, slurp(path("img.s")));
}

TEST_F(Close, SImagesUpdatedInTheirPixelsCloseAndRelease)
{
    // Pixels written into an S image opened for update are stored in place
    // and the close releases the image: IM_OK with pixels only, and
    // IM_ERR_REFUSED (never IM_ERR_NOTOPEN) when cards changed too, since
    // those cannot be stored.  A second close finds the handle released.
    const std::vector<unsigned char> file = testsup::small_s_file();
    const size_t pixels_at = 12 + 2880;
    const struct {
        const char *what;
        bool change_a_card;
        int close_rc;
    } cases[] = {
        {"pixels only", false, IM_OK},
        {"pixels and a card", true, IM_ERR_REFUSED},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        testsup::write_file(path("upd.s"), file);
        int id = im_open(path("upd.s").c_str(), "update");
        ASSERT_GT(id, 0);
        if (c.change_a_card) {
            EXPECT_EQ(1, im_wkey_i(id, 5, "EXPTIME"));
        }
        short pix[2] = {7, -9};
        EXPECT_EQ(2, im_wpix_s(id, pix, 2));
        EXPECT_EQ(c.close_rc, im_close(id));
        EXPECT_EQ(IM_ERR_NOTOPEN, im_close(id));

        // The record and the header are as they were, the pixels new.
        const std::vector<unsigned char> now = slurp(path("upd.s"));
        ASSERT_EQ(file.size(), now.size());
        EXPECT_TRUE(std::equal(file.begin(), file.begin() + pixels_at, now.begin()));
        int rid = im_open(path("upd.s").c_str(), "read");
        ASSERT_GT(rid, 0);
        short back[2] = {0, 0};
        EXPECT_EQ(2, im_rpix_s(rid, back, 2));
        EXPECT_EQ(7, back[0]);
        EXPECT_EQ(-9, back[1]);
        EXPECT_EQ(IM_OK, im_close(rid));
    }
}

TEST_F(Close, PixelsPastTheFileSizeLimitFailTheWrite)
{
    int rc = under_size_limit(2880 + 1000, [&]() {
        int id = new_image("limit_pix.fits", 16, 100, 100);
        std::vector<float> v(10000, 1.0f);
        if (im_wpix_r(id, v.data(), 10000) != -2)
            return 1;
        if (std::strstr(im_errmsg(), "limit_pix.fits: File too large") == nullptr)
            return 4;
        if (im_close(id) != -2) // the pixels are short
            return 2;
        if (im_close(id) != -3)
            return 3;
        return 0;
    });
    EXPECT_EQ(0, rc);
    EXPECT_FALSE(testsup::exists(path("limit_pix.fits")));
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
    EXPECT_FALSE(testsup::exists(path("limit_pad.fits")));
}

TEST_F(Close, HeaderPastTheFileSizeLimitReleasesAndRemovesTheImage)
{
    // No mending of the cards helps a write the system refuses: the image
    // is released at once, and the files it made are removed.
    const std::string name = path("limit_hdr.imh");
    int rc = under_size_limit(2052 + 162, [&]() {
        int id = new_image("limit_hdr.imh", 16, 2, 0);
        for (int i = 0; i < 4; i++)
            im_wkey_t(id, "COMMENT one record each", "end");
        short v[2] = {1, 2};
        if (im_wpix_s(id, v, 2) != 2)
            return 1;
        if (im_close(id) != -2)
            return 2;
        if (std::strstr(im_errmsg(), "limit_hdr.imh: the header could not be written: ") ==
            nullptr)
            return 3;
        if (im_close(id) != -3)
            return 4;
        return 0;
    });
    EXPECT_EQ(0, rc);
    EXPECT_FALSE(testsup::exists(name));
    EXPECT_FALSE(testsup::exists(path("limit_hdr.pix")));

    const std::string zz = path("limit_hdr.zzh");
    rc = under_size_limit(40, [&]() {
        int id = im_open(zz.c_str(), "write");
        im_wkey_i(id, 16, "BITPIX");
        im_wkey_i(id, 1, "NAXIS");
        im_wkey_i(id, 2, "NAXIS1");
        short v[2] = {1, 2};
        if (im_wpix_s(id, v, 2) != 2)
            return 1;
        if (im_close(id) != -2)
            return 2;
        return im_close(id) == -3 ? 0 : 3;
    });
    EXPECT_EQ(0, rc);
    EXPECT_FALSE(testsup::exists(zz));
    EXPECT_FALSE(testsup::exists(path("limit_hdr.zzp")));
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
