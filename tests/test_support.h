// test_support: fixture helpers shared by the test programs -- temporary
// directories, whole-file reads and writes, 80-column cards and FITS
// records, big-endian readers, hand-made descriptors and child processes.
// Header-only; every test program is its own executable.
#ifndef TEST_SUPPORT_H
#define TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "im.h"

namespace testsup {

// ---- Process set-up ----

// A test program may be started with standard input closed (some runners
// do that).  Descriptor 0 means "the standard stream" to the library, so a
// file opened by a test must never receive it: give descriptor 0 /dev/null
// before any test runs.
inline const int standard_input_guard = [] {
    if (fcntl(0, F_GETFD) == -1) {
        int fd = open("/dev/null", O_RDONLY);
        if (fd > 0) {
            dup2(fd, 0);
            close(fd);
        }
    }
    return 0;
}();

// The death-test style: "threadsafe" re-executes the test program by its
// path, which a cross build's emulator (TEST_RUNNER) would have to start;
// there the child is forked only ("fast").
inline const char *death_test_style()
{
    return TEST_RUNNER[0] != '\0' ? "fast" : "threadsafe";
}

// ---- Temporary directories ----

// A new directory "/tmp/<prefix>_XXXXXX"; its name, or "" when none could be made.
inline std::string make_temp_dir(const std::string &prefix)
{
    std::string tmpl = "/tmp/" + prefix + "_XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    return mkdtemp(buf.data()) != nullptr ? std::string(buf.data()) : std::string();
}

// Removes dir and everything under it (nothing when dir is empty).
inline void remove_tree(const std::string &dir)
{
    if (dir.empty())
        return;
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

// The directory of the suite's files, set by open_suite_dir.
inline std::string g_dir;

// Makes g_dir for a suite (from SetUpTestSuite); fails the suite when it cannot.
inline void open_suite_dir(const std::string &prefix)
{
    g_dir = make_temp_dir(prefix);
    ASSERT_FALSE(g_dir.empty()) << "cannot make a directory for " << prefix;
}

// Removes g_dir and its files (from TearDownTestSuite).
inline void close_suite_dir() { remove_tree(g_dir); }

// The name of a file in g_dir.
inline std::string path(const std::string &name) { return g_dir + "/" + name; }

// Storage of scratch_dir's name (one per process).
inline std::string &scratch_slot()
{
    static std::string dir;
    return dir;
}

// One temporary directory per process, made on first use and removed at
// exit; "/tmp" (never removed) when none could be made.
inline std::string scratch_dir(const std::string &prefix)
{
    std::string &dir = scratch_slot();
    if (dir.empty()) {
        dir = make_temp_dir(prefix);
        if (dir.empty())
            dir = "/tmp";
        else
            std::atexit([] { remove_tree(scratch_slot()); });
    }
    return dir;
}

// ---- Whole files ----

// The bytes of file p (empty when it cannot be read).
inline std::vector<unsigned char> slurp(const std::string &p)
{
    std::vector<unsigned char> v;
    std::FILE *fp = std::fopen(p.c_str(), "rb");
    if (fp == nullptr)
        return v;
    int c;
    while ((c = std::fgetc(fp)) != EOF)
        v.push_back(static_cast<unsigned char>(c));
    std::fclose(fp);
    return v;
}

// Writes n bytes at data to file p, replacing it; fails the test when it cannot.
inline void write_file(const std::string &p, const void *data, size_t n)
{
    std::FILE *fp = std::fopen(p.c_str(), "wb");
    ASSERT_NE(nullptr, fp) << p;
    if (n > 0) {
        EXPECT_EQ(n, std::fwrite(data, 1, n, fp)) << p;
    }
    std::fclose(fp);
}

// Writes the bytes of a string to file p.
inline void write_file(const std::string &p, const std::string &bytes)
{
    write_file(p, bytes.data(), bytes.size());
}

// Writes a byte vector to file p.
inline void write_file(const std::string &p, const std::vector<unsigned char> &bytes)
{
    write_file(p, bytes.data(), bytes.size());
}

// Whether anything exists at p.
inline bool exists(const std::string &p)
{
    struct stat st;
    return stat(p.c_str(), &st) == 0;
}

// The number of descriptors open in this process (-1 when /proc is not
// there), to show that failures leave none behind.
inline int open_fds(void)
{
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    if (d == nullptr)
        return -1;
    while (readdir(d) != nullptr)
        n++;
    closedir(d);
    return n;
}

// An S file: its 12-byte record (type 46), one header record of BITPIX 16,
// NAXIS 1 and NAXIS1 2, then two zero pixels.
inline std::vector<unsigned char> small_s_file(void)
{
    std::string hdr;
    for (const char *c : {"BITPIX  =                   16", "NAXIS   =                    1",
                          "NAXIS1  =                    2", "END"}) {
        std::string card = c;
        card.resize(80, ' ');
        hdr += card;
    }
    hdr.resize(2880, ' ');
    std::vector<unsigned char> file(12 + 2880 + 4, 0);
    const int32_t rec[3] = {46, 12, 12 + 2880};
    std::memcpy(file.data(), rec, 12);
    std::memcpy(file.data() + 12, hdr.data(), 2880);
    return file;
}

// ---- Cards and FITS records ----

// A card text cut or padded with blanks to 80 columns, as it stands in a file.
inline std::string padded(const std::string &text)
{
    std::string s = text.substr(0, 80);
    s.resize(80, ' ');
    return s;
}

// Card k (0-based) of FITS bytes, all 80 columns; "" past the end.
inline std::string card_at(const std::vector<unsigned char> &b, size_t k)
{
    if (80 * (k + 1) > b.size())
        return "";
    return std::string(b.begin() + long(80 * k), b.begin() + long(80 * (k + 1)));
}

// Pads s with fill to a whole number of 2880-byte records.
inline void pad_to_records(std::string &s, char fill)
{
    s.resize((s.size() + 2879) / 2880 * 2880, fill);
}

// FITS records from card texts (each padded to 80 columns), with an END
// card unless end is false, padded with blanks to whole records.
inline std::string fits_records(const std::vector<std::string> &cards, bool end = true)
{
    std::string s;
    for (std::string c : cards) {
        c.resize(80, ' ');
        s += c;
    }
    if (end)
        s += padded("END");
    pad_to_records(s, ' ');
    return s;
}

// Headers built by hand for the open and reader tests, in a namespace of
// their own so that files using all of testsup keep their own int_card.
namespace files {

// An integer card: the keyword padded to 8 columns, the value ending in
// column 30 (not padded to 80).
inline std::string int_card(const char *key, long value)
{
    char buf[81];
    std::snprintf(buf, sizeof buf, "%-8s= %20ld", key, value);
    return buf;
}

inline std::vector<std::string> image_cards(int bitpix, long n1, long n2)
{
    return {"SIMPLE  =                    T", int_card("BITPIX", bitpix),
            int_card("NAXIS", 2), int_card("NAXIS1", n1), int_card("NAXIS2", n2)};
}

// A small FITS image: header record plus n1 x n2 16-bit pixels.
inline std::string small_fits(long n1 = 4, long n2 = 3)
{
    return fits_records(image_cards(16, n1, n2)) + std::string(static_cast<size_t>(n1 * n2 * 2), '\0');
}

// An S file: the 12-byte record, filler up to hdr_start, FITS records.
inline std::string s_file(int32_t tapetype, int32_t hdr_start, int32_t img_start,
                          const std::vector<std::string> &cards, bool end = true)
{
    int32_t rec[3] = {tapetype, hdr_start, img_start};
    std::string s(reinterpret_cast<const char *>(rec), sizeof rec);
    if (hdr_start > 12)
        s.resize(static_cast<size_t>(hdr_start), 'x');
    s += fits_records(cards, end);
    if (img_start > 0 && static_cast<size_t>(img_start) > s.size())
        s.resize(static_cast<size_t>(img_start), '\0');
    return s;
}

} // namespace files

// The card texts of the descriptor with handle id, in list order (none when no such handle).
inline std::vector<std::string> card_texts(int id)
{
    std::vector<std::string> out;
    fid_struct *p = find_fid(id);
    if (p == nullptr)
        return out;
    for (header_struct *h = p->first_header; h != nullptr; h = h->next)
        out.push_back(h->text);
    return out;
}

// ---- Big-endian values in file bytes ----

// The 16-bit big-endian integer at byte at.
inline int16_t be16(const std::vector<unsigned char> &b, size_t at)
{
    return static_cast<int16_t>((b[at] << 8) | b[at + 1]);
}

// The 32-bit big-endian integer at byte at.
inline int32_t be32(const std::vector<unsigned char> &b, size_t at)
{
    return static_cast<int32_t>((uint32_t(b[at]) << 24) | (uint32_t(b[at + 1]) << 16)
                                | (uint32_t(b[at + 2]) << 8) | uint32_t(b[at + 3]));
}

// The bit pattern of the 32-bit big-endian word at byte at.
inline uint32_t bits_be32(const std::vector<unsigned char> &b, size_t at)
{
    return static_cast<uint32_t>(be32(b, at));
}

// The big-endian IEEE single at byte at.
inline float be_float(const std::vector<unsigned char> &b, size_t at)
{
    uint32_t u = bits_be32(b, at);
    float v;
    std::memcpy(&v, &u, 4);
    return v;
}

// ---- Images made through the library ----

// g_dir/name opened for writing with BITPIX and the axes given (one axis
// when ny <= 0); more cards may follow.
inline int new_image(const std::string &name, int bitpix, int nx, int ny)
{
    int id = im_open(path(name).c_str(), "write");
    EXPECT_GT(id, 0);
    EXPECT_GT(im_wkey_i(id, bitpix, "BITPIX"), 0);
    EXPECT_GT(im_wkey_i(id, ny > 0 ? 2 : 1, "NAXIS"), 0);
    EXPECT_GT(im_wkey_i(id, nx, "NAXIS1"), 0);
    if (ny > 0) {
        EXPECT_GT(im_wkey_i(id, ny, "NAXIS2"), 0);
    }
    return id;
}

// ---- Descriptors made by hand ----

// A descriptor as a write open leaves it (mode 2, scale 1, windows 2.. not
// defined); f points at it.
inline fid_struct *make_desc()
{
    fid_struct *p = new_fid();
    p->magic = FID_MAGIC;
    p->mode = 2;
    p->val_scale = 1.0;
    for (int w = 1; w < IM_N_WINDOWS; w++)
        p->windows[w].total_bytes = -1;
    f = p;
    return p;
}

// Releases a hand-made descriptor: its card blocks, then itself (f becomes null).
inline void drop_desc(fid_struct *p)
{
    for (hdr_blk_struct *b = p->header_blocks; b != nullptr;) {
        hdr_blk_struct *next = b->next;
        std::free(b);
        b = next;
    }
    p->header_blocks = nullptr;
    destroy_fid(p);
}

// Finishes a read descriptor made by hand over the file path (names,
// descriptors, windows 2.. not defined) as opening leaves one: window 1,
// the whole image, defined and current.  Returns p.
inline fid_struct *open_desc_on(fid_struct *p, const std::string &path)
{
    std::snprintf(p->pix_filename, sizeof p->pix_filename, "%s", path.c_str());
    std::snprintf(p->hdr_filename, sizeof p->hdr_filename, "%s", path.c_str());
    p->unix_pix_fid = open(path.c_str(), O_RDONLY);
    p->unix_hdr_fid = p->unix_pix_fid;
    for (int w = 1; w < IM_N_WINDOWS; w++)
        p->windows[w].total_bytes = -1;
    int none[10] = {0};
    EXPECT_EQ(0, im_dwin(p->id, 1, none, none));
    EXPECT_EQ(0, im_swin(p->id, 1));
    return p;
}

// Closes the file of a descriptor made by open_desc_on and releases it.
inline void drop_image(fid_struct *p)
{
    if (p->unix_pix_fid > 0)
        close(p->unix_pix_fid);
    destroy_fid(p);
}

// ---- Output forms ----

// One output form: the header name given to im_open, the pixel file the
// library makes beside it ("" when the header file holds the pixels), and
// the IRAF header version asked for (oifversion, "" for the default).
struct Form {
    const char *hdr;
    const char *pix;
    const char *oif;
};

inline const Form OUTPUT_FORMS[] = {
    {"out.fits", "", ""},
    {"out.imh", "out.pix", ""},
    {"out.imh", "out.pix", "2"},
    {"out.zzh", "out.zzp", ""},
};

// ---- Child processes ----

// Runs body in a forked child that exits with body's result; returns that
// exit status, or -1 when the child could not be made or did not exit.
inline int run_in_child(const std::function<int()> &body)
{
    std::fflush(stdout);
    pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0)
        _exit(body());
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

// Runs body in a forked child whose files may not grow past limit bytes
// (SIGXFSZ ignored, so a write past it fails instead of ending the child);
// returns as run_in_child, 100 when the limit cannot be set.
inline int run_with_file_limit(long limit, const std::function<int()> &body)
{
    return run_in_child([&]() {
        std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit rl;
        getrlimit(RLIMIT_FSIZE, &rl);
        rl.rlim_cur = rlim_t(limit);
        if (setrlimit(RLIMIT_FSIZE, &rl) != 0)
            return 100;
        return body();
    });
}

} // namespace testsup

#endif
