// Write faults: a file-size limit swept across the header, pixels and
// padding of every output form, a device that refuses writes, a small full
// file system, and failing closes that must not hold descriptors.  Every
// fault must give a negative result with a reason and leave no file that
// the image made; a close that returns 0 must have left the same image as
// a run without the fault.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "im.h"
#include "test_support.h"

namespace {

using testsup::exists;
using testsup::open_fds;
using testsup::run_in_child;
using testsup::slurp;

using testsup::Form;
const auto &FORMS = testsup::OUTPUT_FORMS;

const int NX = 37, NY = 11;

// Writes the test image (NX x NY BITPIX 16, 40 COMMENT cards so that the
// header spans two FITS records and many IRAF user-area records) under
// the name hdr.  *wrote gets the pixel writer's result; returns im_close's.
int write_image(const std::string &hdr, int *wrote)
{
    int id = im_open(hdr.c_str(), "write");
    if (id <= 0)
        return -100;
    im_wkey_i(id, 16, "BITPIX");
    im_wkey_i(id, 2, "NAXIS");
    im_wkey_i(id, NX, "NAXIS1");
    im_wkey_i(id, NY, "NAXIS2");
    for (int i = 0; i < 40; i++)
        im_wkey_t(id, ("COMMENT card number " + std::to_string(i)).c_str(), "end");
    std::vector<float> v(NX * NY);
    for (int i = 0; i < NX * NY; i++)
        v[i] = float(i % 1000 - 300);
    *wrote = im_wpix_r(id, v.data(), NX * NY);
    return im_close(id);
}

// 1 when the image named hdr reads back as the test image with the cards
// of the reference image ref.
bool reads_back(const std::string &hdr, const std::string &ref)
{
    int a = im_open(hdr.c_str(), "read");
    int b = im_open(ref.c_str(), "read");
    bool same = a > 0 && b > 0 && testsup::card_texts(a) == testsup::card_texts(b);
    std::vector<float> v(NX * NY, 0.0f);
    same = same && im_rpix_r(a, v.data(), NX * NY) == NX * NY;
    for (int i = 0; same && i < NX * NY; i++)
        same = v[i] == float(i % 1000 - 300);
    if (a > 0)
        im_close(a);
    if (b > 0)
        im_close(b);
    return same;
}

long file_size(const std::string &p)
{
    struct stat st;
    return stat(p.c_str(), &st) == 0 ? long(st.st_size) : -1;
}

// Outcome codes of one faulted write, from the child that made it.
enum { Closed = 0, Refused = 1, NoReason = 2, CloseWithShortWrite = 3, NoImage = 4 };

// Writes the test image in dir (a child process) and tells how it ended:
// Closed, Refused (negative result with a reason), or a fault of the
// library (NoReason, CloseWithShortWrite, NoImage).
int faulted_write(const std::string &dir, const Form &form)
{
    if (form.oif[0] != '\0')
        setenv("oifversion", form.oif, 1);
    else
        unsetenv("oifversion");
    int wrote = 0;
    const int closed = write_image(dir + "/" + form.hdr, &wrote);
    if (closed == -100)
        return NoImage;
    if (closed == 0)
        return wrote == NX * NY ? Closed : CloseWithShortWrite;
    return im_errmsg()[0] != '\0' ? Refused : NoReason;
}

// Checks one outcome in dir against the reference image ref (made in
// refdir): a closed image is the reference image, a refused one left no
// file.  what names the fault for messages.
void check_outcome(int outcome, const std::string &dir, const std::string &refdir,
                   const Form &form, const std::string &what)
{
    const std::string hdr = dir + "/" + form.hdr;
    const std::string pix = form.pix[0] != '\0' ? dir + "/" + form.pix : "";
    ASSERT_TRUE(outcome == Closed || outcome == Refused) << what << ": outcome " << outcome;
    if (outcome == Closed) {
        EXPECT_EQ(file_size(refdir + "/" + form.hdr), file_size(hdr)) << what;
        if (!pix.empty()) {
            EXPECT_EQ(file_size(refdir + "/" + form.pix), file_size(pix)) << what;
        }
        EXPECT_TRUE(reads_back(hdr, refdir + "/" + form.hdr)) << what;
        if (form.oif[0] == '\0' && std::strstr(form.hdr, ".imh") == nullptr) {
            EXPECT_EQ(slurp(refdir + "/" + form.hdr), slurp(hdr)) << what; // no time stamps
        }
    } else {
        EXPECT_FALSE(exists(hdr)) << what;
        if (!pix.empty()) {
            EXPECT_FALSE(exists(pix)) << what;
        }
    }
    std::remove(hdr.c_str());
    if (!pix.empty())
        std::remove(pix.c_str());
}

// Makes the reference image of form in refdir; fails the test if it cannot.
void make_reference(const std::string &refdir, const Form &form)
{
    const int rc = run_in_child([&]() { return faulted_write(refdir, form); });
    ASSERT_EQ(Closed, rc) << form.hdr << " " << form.oif;
}

class WriteFaults : public ::testing::Test {
protected:
    static void SetUpTestSuite() { testsup::open_suite_dir("test_write_faults"); }
    static void TearDownTestSuite() { testsup::close_suite_dir(); }
};

} // namespace

TEST_F(WriteFaults, FileSizeLimitSweptAcrossEveryPartOfEveryForm)
{
    const std::string refdir = testsup::path("ref"), dir = testsup::path("lim");
    ASSERT_EQ(0, mkdir(refdir.c_str(), 0755));
    ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
    for (const Form &form : FORMS) {
        make_reference(refdir, form);
        const long hdr_size = file_size(refdir + "/" + form.hdr);
        const long pix_size = form.pix[0] ? file_size(refdir + "/" + form.pix) : 0;
        const long most = std::max(hdr_size, pix_size);
        // Every 53rd byte, and each side of every boundary: the FITS header
        // record, the pixels and their padding; the IRAF record copy, user
        // area and pixel start; the end of each file.
        std::set<long> limits;
        for (long l = 0; l <= most; l += 53)
            limits.insert(l);
        for (long b : {1024L, 2046L, 2052L, 2880L, 5760L, 5760L + 2L * NX * NY,
                       1024L + 2L * NX * NY, 2L * NX * NY, hdr_size, pix_size, most})
            for (long d : {-1L, 0L, 1L})
                if (b + d >= 0 && b + d <= most)
                    limits.insert(b + d);
        int closed = 0, refused = 0;
        for (long limit : limits) {
            const int outcome = testsup::run_with_file_limit(limit, [&]() {
                return faulted_write(dir, form);
            });
            const std::string what = std::string(form.hdr) + " oif=" + form.oif +
                                     " limit " + std::to_string(limit);
            check_outcome(outcome, dir, refdir, form, what);
            (outcome == Closed ? closed : refused)++;
        }
        // The largest file fits only at the end of the sweep.
        EXPECT_GT(closed, 0) << form.hdr;
        EXPECT_GT(refused, 10) << form.hdr;
        std::remove((refdir + "/" + form.hdr).c_str());
        if (form.pix[0])
            std::remove((refdir + "/" + form.pix).c_str());
    }
}

TEST_F(WriteFaults, DeviceThatRefusesWritesLeavesTheDeviceAndTheLink)
{
    // The output name is a link to /dev/full: every write fails with "no
    // space", the link (which existed before) stays, nothing else is left.
    const std::string dir = testsup::path("full");
    ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
    for (const Form &form : FORMS) {
        const std::string hdr = dir + "/" + form.hdr;
        ASSERT_EQ(0, symlink("/dev/full", hdr.c_str()));
        // The reason names the file that refused (the header for IRAF,
        // which seeks in it first).
        const int outcome = run_in_child([&]() {
            const int r = faulted_write(dir, form);
            return r == Refused && std::strstr(im_errmsg(), form.hdr) == nullptr ? 50 : r;
        });
        EXPECT_EQ(Refused, outcome) << form.hdr << " oif=" << form.oif;
        struct stat st;
        ASSERT_EQ(0, lstat(hdr.c_str(), &st));
        EXPECT_TRUE(S_ISLNK(st.st_mode));
        ASSERT_EQ(0, stat("/dev/full", &st));
        EXPECT_TRUE(S_ISCHR(st.st_mode));
        if (form.pix[0]) {
            EXPECT_FALSE(exists(dir + "/" + form.pix)) << form.hdr;
        }
        std::remove(hdr.c_str());
    }
}

TEST_F(WriteFaults, FailingClosesHoldNoDescriptors)
{
    // A thousand closes that fail for good release their images (checked
    // in a child, where the file-size limit applies).
    const std::string name = testsup::path("fds.imh");
    const int rc = run_in_child([&]() {
        std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit rl;
        getrlimit(RLIMIT_FSIZE, &rl);
        rl.rlim_cur = 2052 + 10;
        setrlimit(RLIMIT_FSIZE, &rl);
        const int before = open_fds();
        for (int i = 0; i < 1000; i++) {
            int wrote = 0;
            if (write_image(name, &wrote) != -2)
                return 1;
        }
        return open_fds() == before ? 0 : 2;
    });
    EXPECT_EQ(0, rc);
    EXPECT_FALSE(exists(name));
    EXPECT_FALSE(exists(testsup::path("fds.pix")));

    // Cards changed in an S image opened for update, a thousand times.
    const std::vector<unsigned char> s = testsup::small_s_file();
    testsup::write_file(testsup::path("fds.s"), s);
    const int before = open_fds();
    for (int i = 0; i < 1000; i++) {
        int id = im_open(testsup::path("fds.s").c_str(), "update");
        ASSERT_GT(id, 0);
        im_wkey_i(id, i, "COUNT");
        ASSERT_EQ(-2, im_close(id));
    }
    EXPECT_EQ(before, open_fds());

    // A FITS update whose header outgrows its records stays open to be
    // mended (-4); discarding it releases it.
    int id = im_open(testsup::path("grow.fits").c_str(), "write");
    im_wkey_i(id, 16, "BITPIX");
    im_wkey_i(id, 1, "NAXIS");
    im_wkey_i(id, 1, "NAXIS1");
    short one = 1;
    ASSERT_EQ(1, im_wpix_s(id, &one, 1));
    ASSERT_EQ(0, im_close(id));
    const auto file = slurp(testsup::path("grow.fits"));
    for (int i = 0; i < 1000; i++) {
        id = im_open(testsup::path("grow.fits").c_str(), "update");
        ASSERT_GT(id, 0);
        for (int k = 0; k < 40; k++)
            im_wkey_t(id, "COMMENT one too many", "end");
        ASSERT_EQ(-4, im_close(id));
        ASSERT_EQ(0, im_file(id, "d"));
        ASSERT_EQ(-3, im_close(id));
    }
    EXPECT_EQ(before, open_fds());
    EXPECT_EQ(file, slurp(testsup::path("grow.fits")));
}

TEST_F(WriteFaults, HeaderThatShrankIsFilledWithBlankCards)
{
    // Cards removed after the first pixel write, or by an update: END stays
    // in the last record before the pixels, blank cards before it.
    int id = testsup::new_image("shrink.fits", 16, 2, 0);
    for (int k = 0; k < 40; k++)
        im_wkey_t(id, "COMMENT filler", "end");
    short v[2] = {7, 8};
    ASSERT_EQ(2, im_wpix_s(id, v, 2));
    char buf[81];
    for (int k = 0; k < 40; k++) {
        ASSERT_GT(im_rkey_t(id, buf, "COMMENT"), 0);
        ASSERT_EQ(1, im_wkey_t(id, "", "delete"));
    }
    ASSERT_EQ(0, im_close(id));
    const auto b = slurp(testsup::path("shrink.fits"));
    ASSERT_EQ(size_t(3 * 2880), b.size());
    EXPECT_EQ(testsup::padded("END"), testsup::card_at(b, 36 + 5));
    EXPECT_EQ(std::string(80, ' '), testsup::card_at(b, 36 + 4));
    EXPECT_EQ(7, testsup::be16(b, 2 * 2880));
    int rid = im_open(testsup::path("shrink.fits").c_str(), "read");
    ASSERT_GT(rid, 0);
    short r[2] = {0, 0};
    EXPECT_EQ(2, im_rpix_s(rid, r, 2));
    EXPECT_EQ(8, r[1]);
    EXPECT_EQ(0, im_close(rid));
}

TEST_F(WriteFaults, SmallFullFileSystem)
{
    // A 64 KiB tmpfs, filled page by page before each write.
    const std::string mnt = testsup::path("mnt"), refdir = testsup::path("fsref");
    ASSERT_EQ(0, mkdir(mnt.c_str(), 0755));
    ASSERT_EQ(0, mkdir(refdir.c_str(), 0755));
    if (mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "cannot mount a small file system here (" << std::strerror(errno)
                     << "); the file-size limit sweep covers the same faults";
    const std::string filler = mnt + "/filler";
    for (const Form &form : FORMS) {
        make_reference(refdir, form);
        int closed = 0, refused = 0;
        for (long free_pages = 0; free_pages <= 8; free_pages++) {
            std::remove(filler.c_str());
            std::vector<char> zeros(size_t(64 - 4 * free_pages) * 1024, 0);
            testsup::write_file(filler, zeros.data(), zeros.size());
            const int outcome = run_in_child([&]() { return faulted_write(mnt, form); });
            const std::string what = std::string(form.hdr) + " oif=" + form.oif + " free pages " +
                                     std::to_string(free_pages);
            check_outcome(outcome, mnt, refdir, form, what);
            (outcome == Closed ? closed : refused)++;
        }
        EXPECT_GT(closed, 0) << form.hdr;
        EXPECT_GT(refused, 0) << form.hdr;
    }
    std::remove(filler.c_str());
    EXPECT_EQ(0, umount(mnt.c_str()));
}
