// Replacing existing outputs: a new image written under the names of old
// files (FITS, IRAF .imh + .pix, ZZ .zzh + .zzp) replaces them whole at a
// successful close, keeping their permission bits; a write that fails mid
// run, a refused close and a discard leave them byte for byte as they were;
// no temporary file outlives the image; links, files with several links
// and folders where no temporary file can be made are written in place.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "im.h"
#include "test_support.h"

namespace {

using testsup::path;
using testsup::run_in_child;
using testsup::slurp;

using testsup::Form;
const auto &FORMS = testsup::OUTPUT_FORMS;

// The old image is small; the new one is larger, with 40 more cards.
const int OLD_NX = 20, OLD_NY = 7, NEW_NX = 37, NEW_NY = 11;

std::vector<std::string> files_of(const Form &form)
{
    std::vector<std::string> v{path(form.hdr)};
    if (form.pix[0] != '\0')
        v.push_back(path(form.pix));
    return v;
}

// Opens the image name for writing (IRAF version of form) with nx x ny
// BITPIX 16 pixels and, when big, 40 COMMENT cards; writes the first
// `write` pixels (value base + i % 1000; id_failed set when that write
// failed: it is expected to in the children under a file-size limit).
// Returns the handle.
bool id_failed = false;

int start_image(const Form &form, int nx, int ny, int base, bool big, int write)
{
    if (form.oif[0] != '\0')
        setenv("oifversion", form.oif, 1);
    else
        unsetenv("oifversion");
    const int id = im_open(path(form.hdr).c_str(), "write");
    im_wkey_i(id, 16, "BITPIX");
    im_wkey_i(id, 2, "NAXIS");
    im_wkey_i(id, nx, "NAXIS1");
    im_wkey_i(id, ny, "NAXIS2");
    for (int i = 0; big && i < 40; i++)
        im_wkey_t(id, ("COMMENT card number " + std::to_string(i)).c_str(), "end");
    std::vector<float> v(size_t(nx) * ny);
    for (size_t i = 0; i < v.size(); i++)
        v[i] = float(base + int(i % 1000));
    if (write > 0 && im_wpix_r(id, v.data(), write) != write)
        id_failed = true;
    return id;
}

int write_old(const Form &form)
{
    return im_close(start_image(form, OLD_NX, OLD_NY, 5, false, OLD_NX * OLD_NY));
}

int write_new(const Form &form)
{
    return im_close(start_image(form, NEW_NX, NEW_NY, -300, true, NEW_NX * NEW_NY));
}

// True when the image of form reads back as nx x ny pixels from base.
bool reads_as(const Form &form, int nx, int ny, int base)
{
    const int id = im_open(path(form.hdr).c_str(), "read");
    if (id <= 0)
        return false;
    int n1 = 0, n2 = 0;
    bool same = im_rkey_i(id, &n1, "NAXIS1") > 0 && im_rkey_i(id, &n2, "NAXIS2") > 0 &&
                n1 == nx && n2 == ny;
    std::vector<float> v(size_t(nx) * ny);
    same = same && im_rpix_r(id, v.data(), nx * ny) == nx * ny;
    for (size_t i = 0; same && i < v.size(); i++)
        same = v[i] == float(base + int(i % 1000));
    im_close(id);
    return same;
}

// Names in the suite folder that hold ".tmp" (temporary files left).
int temporaries_left(const std::string &dir = testsup::g_dir)
{
    int n = 0;
    if (DIR *d = opendir(dir.c_str())) {
        while (const dirent *e = readdir(d))
            n += std::string(e->d_name).find(".tmp") != std::string::npos;
        closedir(d);
    }
    return n;
}

struct Snapshot {
    std::vector<std::vector<unsigned char>> bytes;
    std::vector<ino_t> inodes;
};

Snapshot snapshot(const Form &form)
{
    Snapshot s;
    for (const std::string &p : files_of(form)) {
        struct stat st {};
        EXPECT_EQ(0, stat(p.c_str(), &st)) << p;
        s.bytes.push_back(slurp(p));
        s.inodes.push_back(st.st_ino);
    }
    return s;
}

void remove_outputs(const Form &form)
{
    for (const std::string &p : files_of(form))
        std::remove(p.c_str());
}

class Replace : public ::testing::Test {
protected:
    static void SetUpTestSuite() { testsup::open_suite_dir("test_replace"); }
    static void TearDownTestSuite() { testsup::close_suite_dir(); }
    void TearDown() override { unsetenv("oifversion"); }
};

} // namespace

TEST_F(Replace, SuccessfulCloseReplacesEveryFileAndKeepsItsPermissionBits)
{
    for (const Form &form : FORMS) {
        SCOPED_TRACE(std::string(form.hdr) + " oif=" + form.oif);
        ASSERT_EQ(0, write_old(form));
        for (const std::string &p : files_of(form))
            ASSERT_EQ(0, chmod(p.c_str(), 0604));
        const Snapshot old = snapshot(form);
        ASSERT_EQ(0, write_new(form)) << im_errmsg();
        EXPECT_TRUE(reads_as(form, NEW_NX, NEW_NY, -300));
        const Snapshot now = snapshot(form);
        for (size_t k = 0; k < now.inodes.size(); k++) {
            struct stat st {};
            ASSERT_EQ(0, stat(files_of(form)[k].c_str(), &st));
            EXPECT_EQ(0604u, st.st_mode & 07777);
            EXPECT_NE(old.inodes[k], now.inodes[k]); // a new file, not the old rewritten
        }
        // The IRAF header names the final pixel file, never the temporary.
        const std::string hdr(now.bytes[0].begin(), now.bytes[0].end());
        EXPECT_EQ(std::string::npos, hdr.find(".tmp"));
        EXPECT_EQ(0, temporaries_left());
        remove_outputs(form);
    }
}

TEST_F(Replace, WriteThatFailsMidRunLeavesTheOldFilesIntact)
{
    for (const Form &form : FORMS) {
        SCOPED_TRACE(std::string(form.hdr) + " oif=" + form.oif);
        ASSERT_EQ(0, write_old(form));
        const Snapshot old = snapshot(form);
        int refused = 0, closed = 0;
        // File-size limits every 397 bytes through the header, pixels and
        // padding of every form, up to past the largest file.
        for (long limit = 0; limit < 12000; limit += 397) {
            const int outcome = testsup::run_with_file_limit(limit, [&]() {
                const int r = write_new(form);
                return r == 0 ? 0 : im_errmsg()[0] != '\0' ? 1 : 2;
            });
            ASSERT_TRUE(outcome == 0 || outcome == 1) << "limit " << limit << ": " << outcome;
            EXPECT_EQ(0, temporaries_left()) << "limit " << limit;
            if (outcome == 0) {
                closed++;
                EXPECT_TRUE(reads_as(form, NEW_NX, NEW_NY, -300)) << "limit " << limit;
                remove_outputs(form); // the old files again for the next limit
                ASSERT_EQ(0, write_old(form));
                continue;
            }
            refused++;
            EXPECT_EQ(old.bytes, snapshot(form).bytes) << "limit " << limit;
        }
        EXPECT_GE(refused, 2);
        EXPECT_GE(closed, 1);
        remove_outputs(form);
    }
}

TEST_F(Replace, DiscardsAndRefusedClosesLeaveTheOldFilesIntact)
{
    for (const Form &form : FORMS) {
        SCOPED_TRACE(std::string(form.hdr) + " oif=" + form.oif);
        ASSERT_EQ(0, write_old(form));
        const Snapshot old = snapshot(form);
        // Half the pixels, then discarded.
        id_failed = false;
        int id = start_image(form, NEW_NX, NEW_NY, -300, true, NEW_NX * NEW_NY / 2);
        EXPECT_EQ(0, im_file(id, "d"));
        EXPECT_EQ(old.bytes, snapshot(form).bytes);
        EXPECT_EQ(0, temporaries_left());
        // Every pixel but one: the close refuses the short image.
        id = start_image(form, NEW_NX, NEW_NY, -300, true, NEW_NX * NEW_NY - 1);
        EXPECT_EQ(IM_ERR_REFUSED, im_close(id));
        EXPECT_FALSE(id_failed);
        EXPECT_EQ(std::string::npos, std::string(im_errmsg()).find("existed before"))
            << im_errmsg();
        EXPECT_EQ(old.bytes, snapshot(form).bytes);
        EXPECT_EQ(0, temporaries_left());
        remove_outputs(form);
    }
}

TEST_F(Replace, CardsRefusedAtTheCloseThenDiscardedOrMended)
{
    // IRAF cannot hold BITPIX 8: the close has made the temporary header
    // file when it refuses; a discard removes it, a mended close uses it.
    const Form form = FORMS[1];
    ASSERT_EQ(0, write_old(form));
    const Snapshot old = snapshot(form);
    for (bool mend : {false, true}) {
        SCOPED_TRACE(mend ? "mended" : "discarded");
        const int id = start_image(form, NEW_NX, NEW_NY, -300, true, NEW_NX * NEW_NY);
        EXPECT_GT(im_wkey_i(id, 8, "BITPIX"), 0);
        EXPECT_EQ(IM_ERR_UNUSABLE, im_close(id));
        EXPECT_EQ(old.bytes, snapshot(form).bytes);
        if (mend) {
            EXPECT_GT(im_wkey_i(id, 16, "BITPIX"), 0);
            EXPECT_EQ(0, im_close(id)) << im_errmsg();
            EXPECT_TRUE(reads_as(form, NEW_NX, NEW_NY, -300));
        } else {
            EXPECT_EQ(0, im_file(id, "d"));
            EXPECT_EQ(old.bytes, snapshot(form).bytes);
        }
        EXPECT_EQ(0, temporaries_left());
    }
    remove_outputs(form);
}

TEST_F(Replace, LinksAndFilesWithSeveralLinksAreWrittenInPlace)
{
    const Form fits = FORMS[0], zz = FORMS[3];
    // A symbolic link stays a link; its target gets the new image.  So
    // does a second name of the file.
    const struct {
        Form form;
        const char *name; // the output file to be made a link
        bool symbolic;
    } cases[] = {{fits, "out.fits", true}, {zz, "out.zzh", true}, {zz, "out.zzp", true},
                 {fits, "out.fits", false}, {zz, "out.zzp", false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.name) + (c.symbolic ? " symbolic" : " hard"));
        ASSERT_EQ(0, write_old(c.form));
        const std::string link = path(c.name), target = path("target");
        ASSERT_EQ(0, rename(link.c_str(), target.c_str()));
        ASSERT_EQ(0, c.symbolic ? symlink(target.c_str(), link.c_str())
                                : ::link(target.c_str(), link.c_str()));
        ASSERT_EQ(0, write_new(c.form)) << im_errmsg();
        EXPECT_TRUE(reads_as(c.form, NEW_NX, NEW_NY, -300));
        struct stat st {};
        ASSERT_EQ(0, lstat(link.c_str(), &st));
        EXPECT_EQ(c.symbolic, S_ISLNK(st.st_mode));
        EXPECT_EQ(slurp(link), slurp(target));
        EXPECT_EQ(0, temporaries_left());
        remove_outputs(c.form);
        std::remove(target.c_str());
    }
}

TEST_F(Replace, ReadOnlyOutputStaysRefusedAndAFolderWithoutRoomIsWrittenInPlace)
{
    // As a user other than root: a file it may not write is refused as a
    // truncation would be; a file it may write, in a folder it may not
    // write, is rewritten in place, no temporary file being possible there.
    const Form form = FORMS[0];
    const std::string top = testsup::g_dir, ro = path("ro"), locked = path("locked");
    ASSERT_EQ(0, chmod(top.c_str(), 0755));
    ASSERT_EQ(0, mkdir(ro.c_str(), 0777));
    ASSERT_EQ(0, mkdir(locked.c_str(), 0755));
    const uid_t user = geteuid() == 0 ? 65534 : geteuid();
    for (const std::string &d : {ro, locked}) {
        ASSERT_EQ(0, write_old(form));
        ASSERT_EQ(0, rename(path(form.hdr).c_str(), (d + "/" + form.hdr).c_str()));
    }
    const std::string ro_file = ro + "/" + form.hdr, locked_file = locked + "/" + form.hdr;
    ASSERT_EQ(0, chmod(ro_file.c_str(), 0444));
    ASSERT_EQ(0, chown(locked_file.c_str(), user, user));
    ASSERT_EQ(0, chmod(locked.c_str(), 0555));
    const auto old_ro = slurp(ro_file);
    const int outcome = run_in_child([&]() {
        if (geteuid() == 0 && (setgid(user) != 0 || setuid(user) != 0))
            return 100;
        testsup::g_dir = ro;
        const int id = start_image(form, NEW_NX, NEW_NY, -300, true, 0);
        float v = 0.0f;
        const bool ro_refused = im_wpix_r(id, &v, 1) == IM_ERR_REFUSED &&
                                std::string(im_errmsg()).find("permission denied") !=
                                    std::string::npos;
        im_file(id, "d");
        testsup::g_dir = locked;
        const bool locked_done = write_new(form) == 0;
        return (ro_refused ? 0 : 1) | (locked_done ? 0 : 2);
    });
    EXPECT_EQ(0, outcome) << "1: read-only file not refused; 2: locked folder not written";
    EXPECT_EQ(old_ro, slurp(ro_file));
    testsup::g_dir = locked;
    EXPECT_TRUE(reads_as(form, NEW_NX, NEW_NY, -300));
    testsup::g_dir = top;
    EXPECT_EQ(0, temporaries_left(ro));
    EXPECT_EQ(0, temporaries_left(locked));
    ASSERT_EQ(0, chmod(locked.c_str(), 0755));
}
