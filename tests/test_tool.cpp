/* test_tool: the flatten tool run as a user runs it: a child process fed
 * standard input, checked by exit status, standard-error text and, for
 * complete runs, the output image read back with a small FITS reader of
 * the test's own. */
#include <algorithm>
#include <cmath>
#include <ctime>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

using testsup::exists;
using testsup::pad_to_records;
using testsup::padded;

struct ToolResult {
    int status;
    std::string err;
    std::string out;
};

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<std::string> &made_dirs()
{
    static std::vector<std::string> dirs;
    return dirs;
}

/* A fresh working directory per run, removed after a passing suite. */
std::string work_dir()
{
    char tmpl[] = "./work_tool_XXXXXX";
    char *d = mkdtemp(tmpl);
    EXPECT_NE(nullptr, d);
    if (d == nullptr)
        return ".";
    made_dirs().push_back(d);
    return d;
}

/* Removes the working directories when every test passed; they stay for
 * inspection otherwise. */
class WorkDirs : public testing::Environment {
public:
    void TearDown() override
    {
        if (testing::UnitTest::GetInstance()->Passed())
            for (const std::string &d : made_dirs())
                std::system(("rm -rf '" + d + "'").c_str());
    }
};

testing::Environment *const work_dirs_env = testing::AddGlobalTestEnvironment(new WorkDirs);

/* ToolResult the tool in dir with args and the given standard input; env
 * (assignments such as "X=1 ") goes in front of the command, and in a cross
 * build the emulator (TEST_RUNNER) in front of the tool. */
ToolResult run_tool(const std::string &dir, const std::string &args, const std::string &input,
                    const std::string &env = "")
{
    {
        std::ofstream in(dir + "/stdin.txt", std::ios::binary);
        in << input;
    }
    std::string cmd = "cd '" + dir + "' && " + env + TEST_RUNNER "'" FLATTEN_BIN "' " + args +
                      " < stdin.txt > stdout.txt 2> stderr.txt";
    int rc = std::system(cmd.c_str());
    ToolResult r;
    r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    r.err = read_file(dir + "/stderr.txt");
    r.out = read_file(dir + "/stdout.txt");
    return r;
}

/* ---- A minimal FITS writer and reader, independent of the library ---- */

std::string int_card(const char *key, long v)
{
    char buf[81];
    std::snprintf(buf, sizeof buf, "%-8.8s= %20ld", key, v);
    return padded(buf);
}

std::string dbl_card(const char *key, double v)
{
    char buf[81];
    std::snprintf(buf, sizeof buf, "%-8.8s= %20.10G", key, v);
    return padded(buf);
}

/* BITPIX 16 image of the given axis lengths, values stored with bscale and
 * bzero; extra cards go after the axes. */
void write_fits16(const std::string &path, const std::vector<int> &axes,
                  const std::vector<double> &values, double bscale, double bzero,
                  const std::vector<std::string> &extra = {})
{
    std::string h = padded("SIMPLE  =                    T");
    h += int_card("BITPIX", 16);
    h += int_card("NAXIS", static_cast<long>(axes.size()));
    for (size_t i = 0; i < axes.size(); i++) {
        std::string key = "NAXIS" + std::to_string(i + 1);
        h += int_card(key.c_str(), axes[i]);
    }
    h += dbl_card("BSCALE", bscale);
    h += dbl_card("BZERO", bzero);
    h += int_card("BLANK", -32768);
    for (const std::string &e : extra)
        h += padded(e);
    h += padded("END");
    pad_to_records(h, ' ');
    std::string d;
    for (double v : values) {
        long s = std::lround((v - bzero) / bscale);
        uint16_t u = static_cast<uint16_t>(static_cast<int16_t>(s));
        d += static_cast<char>(u >> 8);
        d += static_cast<char>(u & 0xff);
    }
    pad_to_records(d, '\0');
    std::ofstream out(path, std::ios::binary);
    out << h << d;
}

struct Fits {
    std::vector<std::string> cards;
    int bitpix = 0;
    std::vector<long> axes;
    double bscale = 1.0, bzero = 0.0;
    bool has_blank = false;
    long blank = 0;
    std::vector<double> values;           /* NaN for blank */
};

bool card_value(const Fits &f, const char *key, double *v)
{
    for (const std::string &c : f.cards) {
        char k[9];
        std::snprintf(k, sizeof k, "%-8.8s", key);
        if (c.compare(0, 8, k) == 0 && c.size() > 10 && c[8] == '=') {
            *v = std::strtod(c.c_str() + 10, nullptr);
            return true;
        }
    }
    return false;
}

bool read_fits(const std::string &path, Fits *f)
{
    std::string all = read_file(path);
    size_t pos = 0;
    for (;;) {
        if (pos + 80 > all.size())
            return false;
        std::string c = all.substr(pos, 80);
        pos += 80;
        if (c.compare(0, 8, "END     ") == 0)
            break;
        f->cards.push_back(c);
    }
    pos = (pos + 2879) / 2880 * 2880;
    double v;
    if (!card_value(*f, "BITPIX", &v))
        return false;
    f->bitpix = static_cast<int>(v);
    double naxis = 0;
    card_value(*f, "NAXIS", &naxis);
    long n = 1;
    for (int i = 1; i <= static_cast<int>(naxis); i++) {
        char key[16];
        std::snprintf(key, sizeof key, "NAXIS%d", i);
        if (!card_value(*f, key, &v))
            return false;
        f->axes.push_back(static_cast<long>(v));
        n *= static_cast<long>(v);
    }
    card_value(*f, "BSCALE", &f->bscale);
    card_value(*f, "BZERO", &f->bzero);
    if (card_value(*f, "BLANK", &v)) {
        f->has_blank = true;
        f->blank = static_cast<long>(v);
    }
    int bytes = std::abs(f->bitpix) / 8;
    if (pos + static_cast<size_t>(n) * bytes > all.size())
        return false;
    for (long i = 0; i < n; i++) {
        const unsigned char *p = reinterpret_cast<const unsigned char *>(all.data()) + pos + i * bytes;
        uint64_t u = 0;
        for (int k = 0; k < bytes; k++)
            u = (u << 8) | p[k];
        double value;
        long raw;
        switch (f->bitpix) {
        case 8: raw = static_cast<long>(u); break;
        case 16: raw = static_cast<int16_t>(u); break;
        case 32: raw = static_cast<int32_t>(u); break;
        case -32: {
            uint32_t w = static_cast<uint32_t>(u);
            float x;
            std::memcpy(&x, &w, 4);
            f->values.push_back(x);
            continue;
        }
        default: return false;
        }
        if (f->has_blank && raw == f->blank)
            value = NAN;
        else
            value = raw * f->bscale + f->bzero;
        f->values.push_back(value);
    }
    return true;
}

/* Plane plus a few bumps, on a samples x lines grid. */
std::vector<double> test_image(int samples, int lines)
{
    std::vector<double> v;
    for (int l = 1; l <= lines; l++)
        for (int s = 1; s <= samples; s++)
            v.push_back(200.0 + 2.0 * s - 1.5 * l + ((s == 10 && l == 8) ? 500.0 : 0.0));
    return v;
}

const char *const CORNERS = "2 2\n29 3\n3 19\n28 18\n15 4\n";

} // namespace

/* ---- Command line and standard input ------------------------------- */

TEST(ToolInput, Debug13EchoesInterpretedInputAndExits)
{
    std::string d = work_dir();
    ToolResult r = run_tool(d, "-13", " in.fits \nout.fits\n12 7 and more\n12\nabc 3 4\n\n  3   4\n-5 +6\n");
    EXPECT_EQ(13, r.status);
    EXPECT_EQ("Debug set to 13\n"
              "Interpreted inputs:\n"
              "Input file =  in.fits \n"
              "Output file= out.fits\n"
              "Number of reference points = 3\n"
              "Point   X    Y \n"
              "---------------\n"
              "   0   12    7\n"
              "   1    3    4\n"
              "   2   -5    6\n"
              "Terminating on Debug mode = 13\n",
              r.err);
    EXPECT_EQ("", r.out);
}

TEST(ToolInput, PointStoreGrowsPastEachReallocation)
{
    for (int n : {10, 11, 20, 21, 40, 41, 350}) {
        std::string in = "a\nb\n";
        std::string want;
        for (int i = 0; i < n; i++) {
            in += std::to_string(i + 1) + " " + std::to_string(1000 - i) + "\n";
            char line[64];
            std::snprintf(line, sizeof line, "%4d %4d %4d\n", i, i + 1, 1000 - i);
            want += line;
        }
        ToolResult r = run_tool(work_dir(), "-13", in);
        EXPECT_EQ(13, r.status);
        std::string count = "Number of reference points = " + std::to_string(n) + "\n";
        EXPECT_NE(std::string::npos, r.err.find(count)) << n;
        EXPECT_NE(std::string::npos, r.err.find("---------------\n" + want +
                                                "Terminating on Debug mode = 13\n"))
            << n;
    }
}

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TOOL_UNDER_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define TOOL_UNDER_ASAN 1
#endif

TEST(ToolInput, PointStoreGrowsAsSoonAsItIsFull)
{
#ifdef TOOL_UNDER_ASAN
    GTEST_SKIP() << "an interposed realloc cannot be preloaded under AddressSanitizer";
#else
    if (TEST_RUNNER[0] != '\0')
        GTEST_SKIP() << "the host's cc cannot build a realloc to preload into a tool run under "
                     << TEST_RUNNER;
    /* A preloaded realloc that refuses the first growth (20 pairs of two
     * 32-bit ints): the tenth point fills the store of 10 and must already
     * ask for it, the ninth must not. */
    std::string d = work_dir();
    {
        std::ofstream c(d + "/norealloc.c");
        c << "#define _GNU_SOURCE\n#include <dlfcn.h>\n#include <stddef.h>\n"
             "void *realloc(void *p, size_t n)\n{\n"
             "    static void *(*real)(void *, size_t);\n"
             "    if (n == 20 * 2 * 4)\n        return NULL;\n"
             "    if (real == NULL)\n"
             "        real = (void *(*)(void *, size_t))dlsym(RTLD_NEXT, \"realloc\");\n"
             "    return real(p, n);\n}\n";
    }
    if (std::system(("cd '" + d + "' && cc -shared -fPIC -o norealloc.so norealloc.c -ldl"
                     " > cc.txt 2>&1").c_str()) != 0)
        FAIL() << "cc could not build the preloaded realloc (see " << d << "/cc.txt)";
    const std::string env = "LD_PRELOAD=./norealloc.so ";
    for (int n : {9, 10}) {
        std::string in = "a\nb\n";
        for (int i = 1; i <= n; i++)
            in += std::to_string(i) + " " + std::to_string(i) + "\n";
        ToolResult r = run_tool(d, "-13", in, env);
        if (n == 9) {
            EXPECT_EQ(13, r.status) << r.err;
            EXPECT_NE(std::string::npos, r.err.find("Number of reference points = 9\n"));
        } else {
            EXPECT_EQ(1, r.status) << r.err;
            EXPECT_EQ("Debug set to 13\nNo space to store reference points!\n", r.err);
        }
    }
#endif
}

TEST(ToolInput, MissingNameLinesEndWithStatus1)
{
    ToolResult none = run_tool(work_dir(), "", "");
    EXPECT_EQ(1, none.status);
    EXPECT_EQ("Bad filename read (1)\n", none.err);
    ToolResult one = run_tool(work_dir(), "-13", "only.fits\n");
    EXPECT_EQ(1, one.status);
    EXPECT_EQ("Debug set to 13\nBad filename read (2)\n", one.err);
}

TEST(ToolInput, ArgumentWithoutMinusIsRefused)
{
    ToolResult r = run_tool(work_dir(), "7", "a\nb\n");
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(std::string(FLATTEN_BIN) + " reads stdin, and takes no arguments\n", r.err);
}

TEST(ToolInput, HelpAndVersionPrintAndSucceedOtherWordsAreMisuse)
{
    const struct {
        const char *arg;
        int status;
        const char *out_has;
        const char *err_has;
    } cases[] = {
        {"--help", 0, "Usage: flatten [-LEVEL] < job.txt", ""},
        {"--version", 0, "flatten (KELP flatten) V1.1\n", ""},
        {"--helpme", 1, "", "unknown option --helpme (try --help)"},
    };
    for (const auto &c : cases) {
        ToolResult r = run_tool(work_dir(), c.arg, "");
        EXPECT_EQ(c.status, r.status) << c.arg;
        EXPECT_NE(std::string::npos, r.out.find(c.out_has)) << c.arg << ": " << r.out;
        EXPECT_NE(std::string::npos, r.err.find(c.err_has)) << c.arg << ": " << r.err;
        if (c.status == 0) {
            EXPECT_EQ("", r.err) << c.arg;
        }
    }
}

TEST(ToolInput, FailedOpensNameTheImageAndTheReasonAndWriteNothing)
{
    std::string d = work_dir();
    write_fits16(d + "/in.fits", {30, 20}, test_image(30, 20), 0.5, 0.0);
    /* hostile inputs: a FIFO (an open would wait for a writer for ever) and
     * a header giving NAXIS1 twice */
    std::remove((d + "/fifo.fits").c_str());
    ASSERT_EQ(0, mkfifo((d + "/fifo.fits").c_str(), 0644));
    write_fits16(d + "/twice.fits", {30, 20}, test_image(30, 20), 0.5, 0.0,
                 {"NAXIS1  =                   15"});
    const struct {
        std::string input;
        std::string err;
    } cases[] = {
        {"fifo.fits\n", "Error opening input file \"fifo.fits\": fifo.fits: not a regular file "
                        "(a FIFO, device or socket)\n"},
        {"twice.fits\n", "Error opening input file \"twice.fits\": FITS card 'NAXIS1  =       "
                         "            15' refused: NAXIS1 is given twice with different values\n"},
        {"in.fits,@1:5,VELO1.0\n", "Error opening input file \"in.fits,@1:5,VELO1.0\": subset "
                                   "refused"},
        {"in.fits[SCI]\n", "Error opening input file \"in.fits[SCI]\": no extension [SCI] in "
                           "the file (it has 0)\n"},
        {"in.fits\nno_such_folder/out.fits\n", "Error writing pixels to output "
                                              "\"no_such_folder/out.fits\": cannot create "
                                              "no_such_folder/out.fits: no such folder\n"},
    };
    for (const auto &c : cases) {
        std::string input = c.input.find("\nno_such") == std::string::npos
                                ? c.input + "out.fits\n" + CORNERS
                                : c.input + CORNERS;
        std::remove((d + "/out.fits").c_str());
        ToolResult r = run_tool(d, "", input, "timeout 20 ");
        EXPECT_EQ(255, r.status) << c.input;
        EXPECT_EQ(0u, r.err.find(c.err)) << r.err;
        EXPECT_FALSE(testsup::exists(d + "/out.fits")) << c.input;
    }
}

TEST(ToolInput, HeadersBeyondTheCardCapFailWithTheirReason)
{
    std::string d = work_dir();
    /* 7 cards of write_fits16's own, then comments up to the cap and one past it */
    const struct {
        int comments;
        std::string err;
    } cases[] = {
        {100000 - 7 + 1, "Error opening input file \"big.fits\": FITS header refused: more than "
                         "100000 cards\n"},
        {100000 - 7, "Error writing header to output \"out.fits\": copied header refused: more "
                     "than 100000 cards\n"},
    };
    for (const auto &c : cases) {
        write_fits16(d + "/big.fits", {30, 20}, test_image(30, 20), 0.5, 0.0,
                     std::vector<std::string>(size_t(c.comments), "COMMENT filler"));
        std::remove((d + "/out.fits").c_str());
        ToolResult r = run_tool(d, "", std::string("big.fits\nout.fits\n") + CORNERS);
        EXPECT_EQ(255, r.status) << c.comments;
        EXPECT_EQ(c.err, r.err);
        EXPECT_FALSE(testsup::exists(d + "/out.fits")) << c.comments;
    }
}

TEST(ToolInput, DebugLevelReadLikeAtoi)
{
    /* "-" and "-x" mean level 0: no debug line, the run goes on and fails
     * on the missing input image. */
    for (const char *arg : {"-", "-x", ""}) {
        ToolResult r = run_tool(work_dir(), arg, "no-such-image.fits\nout.fits\n1 1\n");
        EXPECT_EQ(255, r.status) << arg;
        EXPECT_EQ("Error opening input file \"no-such-image.fits\": no such file (nor with "
                  ".imh, .zzh, .fits, .fit or .s added)\n", r.err) << arg;
    }
    ToolResult r = run_tool(work_dir(), "-13abc extra", "a\nb\n");
    EXPECT_EQ(13, r.status);
    EXPECT_EQ(0u, r.err.find("Debug set to 13\n"));
}

TEST(ToolInput, OverlongLinesNeverSpillIntoTheNextLine)
{
    /* A name longer than the line buffer would be cut and its tail taken
     * as the output name: refused instead. */
    std::string longname(9000, 'n');
    ToolResult r = run_tool(work_dir(), "-13", longname + "\nout.fits\n");
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("Debug set to 13\nBad filename read (1)\n", r.err);
    /* A point line's tail beyond the buffer is discarded, not read as a point. */
    std::string pad(8500, ' ');
    ToolResult p = run_tool(work_dir(), "-13", "a\nb\n1 2" + pad + "5 6\n7 8\n");
    EXPECT_EQ(13, p.status);
    EXPECT_NE(std::string::npos, p.err.find("Number of reference points = 2\n"));
    EXPECT_NE(std::string::npos, p.err.find("   0    1    2\n   1    7    8\n"));
}

TEST(ToolInput, NameLinesHoldingANulByteAreRefusedAsCutOnes)
{
    using namespace std::string_literals;
    const struct {
        std::string input;
        int status;
        std::string err;
    } cases[] = {
        {"sample.fits\0junk\nout.fits\n1 1\n"s, 1, "Debug set to 13\nBad filename read (1)\n"},
        {"sample.fits\nout.fits\0.imh\n1 1\n"s, 1, "Debug set to 13\nBad filename read (2)\n"},
        {"\0\nout.fits\n"s, 1, "Debug set to 13\nBad filename read (1)\n"},
        /* a point line keeps what precedes the NUL, and the next line stays a line */
        {"sample.fits\nout.fits\n3 4\0 9 9\n5 6\n"s, 13, ""},
    };
    for (const auto &c : cases) {
        ToolResult r = run_tool(work_dir(), "-13", c.input);
        EXPECT_EQ(c.status, r.status) << c.input.size();
        if (c.status == 1)
            EXPECT_EQ(c.err, r.err);
        else
            EXPECT_NE(std::string::npos, r.err.find("Number of reference points = 2\n"
                                                    "Point   X    Y \n---------------\n"
                                                    "   0    3    4\n   1    5    6\n"))
                << r.err;
    }
}

/* ---- Complete runs on images --------------------------------------- */

TEST(ToolRun, FlattensA16BitImage)
{
    std::string d = work_dir();
    const int S = 30, L = 20;
    std::vector<double> v = test_image(S, L);
    write_fits16(d + "/in.fits", {S, L}, v, 0.5, 0.0, {"OBJECT  = 'TEST    '"});
    ToolResult r = run_tool(d, "", std::string("in.fits\nout.fits\n") + CORNERS);
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ("", r.err);
    Fits out;
    ASSERT_TRUE(read_fits(d + "/out.fits", &out));
    EXPECT_EQ(16, out.bitpix);
    ASSERT_EQ(2u, out.axes.size());
    EXPECT_EQ(S, out.axes[0]);
    EXPECT_EQ(L, out.axes[1]);
    bool history = false;
    for (const std::string &c : out.cards)
        if (c.find("HISTORY Flattened, planar subtraction (KELP flatten V1.1)") == 0)
            history = true;
    EXPECT_TRUE(history);
    /* The reference points lie on the plane: what remains is the bump. */
    ASSERT_EQ(static_cast<size_t>(S * L), out.values.size());
    for (int i = 0; i < S * L; i++) {
        double want = (i == S * 7 + 9) ? 500.0 : 0.0;
        ASSERT_NEAR(out.values[i], want, 0.05) << i;
    }
    double dmax = 0, dmin = 1;
    ASSERT_TRUE(card_value(out, "DATAMAX", &dmax));
    ASSERT_TRUE(card_value(out, "DATAMIN", &dmin));
    EXPECT_NEAR(dmax, 500.0, 0.05);
    EXPECT_NEAR(dmin, 0.0, 0.05);
}

TEST(ToolRun, ProgressMessagesAtDebug6)
{
    std::string d = work_dir();
    write_fits16(d + "/in.fits", {30, 20}, test_image(30, 20), 0.5, 0.0);
    ToolResult r = run_tool(d, "-6", std::string("in.fits\nout.fits\n") + CORNERS);
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ("Debug set to 6\n"
              "getinfo> entry\n"
              "getinfo> get naxisn's\n"
              "Going to malloc pixptr\n"
              "Going to read pixels\n"
              "Copy header...\n"
              "flatten> executing...\n"
              "solvlin(det3)> executing...\n"
              "solvlin(det3)> packing up...\n"
              "Least Squares fit plane defined by Z = A + B(samp) + C(line)\n"
              "where,\n"
              "A = 200.000000\n"
              "B = 2.000000\n"
              "C = -1.500000\n"
              "Update the header\n"
              "Write the new pixels\n"
              "Close the images\n",
              r.err);
}

TEST(ToolRun, Debug14ExitsAfterReadingWithoutWritingOutput)
{
    std::string d = work_dir();
    write_fits16(d + "/in.fits", {30, 20}, test_image(30, 20), 0.5, 0.0);
    ToolResult r = run_tool(d, "-14", "in.fits\nout.fits\n4 5\n6 7\n");
    EXPECT_EQ(14, r.status);
    const std::string tail = "Interpreted inputs in flatten:\n"
              "Number of reference points = 2\n"
              "Point   X    Y \n"
              "---------------\n"
              "   0    4    5\n"
              "   1    6    7\n"
              "Terminating on Debug mode = 14\n";
    ASSERT_GE(r.err.size(), tail.size()) << r.err;
    EXPECT_EQ(tail, r.err.substr(r.err.size() - tail.size()));
    EXPECT_EQ(0u, r.err.find("Debug set to 14\n"));
    EXPECT_FALSE(exists(d + "/out.fits"));
}

TEST(ToolRun, CollinearPointsFailWithStatus1AndNoOutput)
{
    std::string d = work_dir();
    write_fits16(d + "/in.fits", {30, 20}, test_image(30, 20), 0.5, 0.0);
    ToolResult r = run_tool(d, "", "in.fits\nout.fits\n1 1\n5 5\n9 9\n40 3\n");
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("Error in flatten, can't continue\n", r.err);
    EXPECT_FALSE(exists(d + "/out.fits"));
}

TEST(ToolRun, OnlyTwoAxesLongerThanOneAreAccepted)
{
    std::string d = work_dir();
    /* A third axis of length 1 is fine. */
    write_fits16(d + "/flat3.fits", {30, 20, 1}, test_image(30, 20), 0.5, 0.0);
    ToolResult ok = run_tool(d, "", std::string("flat3.fits\nout3.fits\n") + CORNERS);
    EXPECT_EQ(0, ok.status) << ok.err;
    /* A first axis of length 1: the other two become samples and lines. */
    write_fits16(d + "/thin.fits", {1, 30, 20}, test_image(30, 20), 0.5, 0.0);
    ToolResult thin = run_tool(d, "", std::string("thin.fits\noutthin.fits\n") + CORNERS);
    EXPECT_EQ(0, thin.status) << thin.err;
    Fits out;
    ASSERT_TRUE(read_fits(d + "/outthin.fits", &out));
    ASSERT_EQ(600u, out.values.size());
    EXPECT_NEAR(out.values[7 * 30 + 9], 500.0, 0.05);
    /* A cube and a line are refused. */
    std::vector<double> cube = test_image(30, 20);
    cube.insert(cube.end(), cube.begin(), cube.end());
    write_fits16(d + "/cube.fits", {30, 20, 2}, cube, 0.5, 0.0);
    ToolResult c = run_tool(d, "", std::string("cube.fits\noutc.fits\n") + CORNERS);
    EXPECT_EQ(255, c.status);
    EXPECT_EQ("Input must 2 dimensional image or subimage\n", c.err);
    /* An empty third axis leaves no pixels behind the two lengths. */
    write_fits16(d + "/empty.fits", {30, 20, 0}, {}, 0.5, 0.0);
    ToolResult e = run_tool(d, "", std::string("empty.fits\noute.fits\n") + CORNERS);
    EXPECT_EQ(255, e.status);
    EXPECT_EQ("Input must 2 dimensional image or subimage\n", e.err);
    write_fits16(d + "/line.fits", {30}, std::vector<double>(30, 1.0), 1.0, 0.0);
    ToolResult l = run_tool(d, "", "line.fits\noutl.fits\n1 1\n");
    EXPECT_EQ(255, l.status);
    EXPECT_EQ("Input must 2 dimensional image or subimage\n", l.err);
}

TEST(ToolRun, BlankReferencePixelDoesNotBlankTheImage)
{
    std::string d = work_dir();
    const int S = 30, L = 20;
    std::vector<double> v = test_image(S, L);
    v[S * (3 - 1) + (29 - 1)] = NAN;       /* reference point (29, 3) */
    write_fits16(d + "/in.fits", {S, L}, v, 0.5, 0.0);
    /* write_fits16 stores NaN as whatever lround gives; put the blank code in. */
    {
        std::fstream io(d + "/in.fits", std::ios::in | std::ios::out | std::ios::binary);
        io.seekp(2880 + 2 * (S * 2 + 28));
        io.put(static_cast<char>(0x80));
        io.put(static_cast<char>(0x00));
    }
    ToolResult r = run_tool(d, "", std::string("in.fits\nout.fits\n") + CORNERS);
    ASSERT_EQ(0, r.status) << r.err;
    Fits out;
    ASSERT_TRUE(read_fits(d + "/out.fits", &out));
    int blanks = 0;
    for (int i = 0; i < S * L; i++) {
        if (std::isnan(out.values[i])) {
            blanks++;
            continue;
        }
        double want = (i == S * 7 + 9) ? 500.0 : 0.0;
        ASSERT_NEAR(out.values[i], want, 0.05) << i;
    }
    EXPECT_EQ(1, blanks);
}

TEST(ToolRun, ImageOfOverAMillionPixels)
{
    /* Takes the data-segment limit raise and the huge-page buffer path. */
    std::string d = work_dir();
    const int S = 1200, L = 900;
    std::vector<double> v(static_cast<size_t>(S) * L);
    for (int l = 1; l <= L; l++)
        for (int s = 1; s <= S; s++)
            v[static_cast<size_t>(S) * (l - 1) + (s - 1)] = 100.0 + 0.5 * s + 1.0 * l;
    v[static_cast<size_t>(S) * 449 + 599] += 1000.0;   /* (600, 450) */
    write_fits16(d + "/big.fits", {S, L}, v, 0.5, 0.0);
    ToolResult r = run_tool(d, "", "big.fits\nbigout.fits\n1 1\n1200 1\n1 900\n1200 900\n");
    ASSERT_EQ(0, r.status) << r.err;
    Fits out;
    ASSERT_TRUE(read_fits(d + "/bigout.fits", &out));
    ASSERT_EQ(static_cast<size_t>(S) * L, out.values.size());
    double step = 1000.0 / 65534.0;
    EXPECT_NEAR(out.values[static_cast<size_t>(S) * 449 + 599], 1000.0, step);
    EXPECT_NEAR(out.values[0], 0.0, step);
    EXPECT_NEAR(out.values.back(), 0.0, step);
    EXPECT_NEAR(out.values[static_cast<size_t>(S) * 300 + 1000], 0.0, step);
}

TEST(ToolRun, ImageFourTimesTheMemoryLimitIsFlattenedInBlocks)
{
    /* An 8192 x 8192 BITPIX 8 image (a sparse file but for a slope put in
     * its first and last lines): 64 MiB of pixels, 256 MiB as floats, run
     * under an address-space limit of 64 MB.  The tool holds one block of
     * the image at a time, so it must succeed and flatten the slope away. */
#ifdef TOOL_UNDER_ASAN
    GTEST_SKIP() << "an address-space limit cannot be set under AddressSanitizer";
#endif
    if (TEST_RUNNER[0] != '\0')
        GTEST_SKIP() << "an address-space limit would constrain the emulator " << TEST_RUNNER;
    const int N = 8192;
    std::string d = work_dir();
    std::string h = padded("SIMPLE  =                    T") + int_card("BITPIX", 8) +
                    int_card("NAXIS", 2) + int_card("NAXIS1", N) + int_card("NAXIS2", N) +
                    padded("END");
    pad_to_records(h, ' ');
    std::string first(N, '\0'), last(N, '\0');
    for (int s = 0; s < N; s++) {
        first[s] = static_cast<char>(s % 200);         /* a sawtooth, then flat */
        last[s] = static_cast<char>(s % 200);
    }
    {
        std::ofstream o(d + "/big8.fits", std::ios::binary);
        o << h << first;
        o.seekp(std::streamoff(h.size()) + std::streamoff(N) * (N - 1));
        o << last;
    }
    ToolResult r = run_tool(d, "", "big8.fits\nbig8out.fits\n1 2\n8192 2\n1 8191\n8192 8191\n",
                            "ulimit -v 64000 && ");
    ASSERT_EQ(0, r.status) << r.err;
    struct stat st;
    ASSERT_EQ(0, stat((d + "/big8out.fits").c_str(), &st));
    EXPECT_EQ(2880 + (int64_t(N) * N + 2879) / 2880 * 2880, int64_t(st.st_size));
    /* Every reference pixel is 0, so the plane is 0 and the output keeps
     * the input's values: the first line's sawtooth, then zeros. */
    std::ifstream in(d + "/big8out.fits", std::ios::binary);
    std::string out(2880 + 2 * N, '\0');
    in.read(&out[0], std::streamsize(out.size()));
    ASSERT_TRUE(in.good());
    const std::string hdr = out.substr(0, 2880);
    EXPECT_NE(std::string::npos, hdr.find("DATAMAX =                 199.")) << hdr;
    EXPECT_NE(std::string::npos, hdr.find("DATAMIN =                   0.")) << hdr;
    EXPECT_EQ(static_cast<unsigned char>(out[2880 + 199]), 254u) << "199 is the top of 0..254";
    EXPECT_EQ(static_cast<unsigned char>(out[2880 + N + 5]), 0u);
}

/* ---- Faults: a message naming the image and the reason, status 255 (1
 * for unusable standard input), never a signal, no partial output ---- */

namespace {

/* Runs the tool as the unprivileged user nobody when the tests run as
 * root (root passes every permission check); dir must be open to it. */
std::string as_unprivileged()
{
    return geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
}

bool no_output_left(const std::string &d)
{
    for (const char *n : {"out.fits", "out.imh", "out.pix", "out.zzh", "out.zzp"})
        if (exists(d + "/" + n))
            return false;
    return true;
}

} // namespace

TEST(ToolFaults, BrokenInputsNameTheImageAndTheReason)
{
    std::string d = work_dir();
    write_fits16(d + "/in.fits", {30, 20}, test_image(30, 20), 0.5, 0.0);
    const std::string whole = read_file(d + "/in.fits");
    {
        std::ofstream cut(d + "/cut.fits", std::ios::binary);
        cut << whole.substr(0, 2880 + 100); /* header and 50 of 600 pixels */
    }
    {
        std::ofstream hdr(d + "/hdronly.fits", std::ios::binary);
        hdr << whole.substr(0, 2880);
    }
    {
        /* BITPIX -64: the tool reads floats, which would lose precision. */
        std::string h = padded("SIMPLE  =                    T") + int_card("BITPIX", -64) +
                        int_card("NAXIS", 2) + int_card("NAXIS1", 30) +
                        int_card("NAXIS2", 20) + padded("END");
        pad_to_records(h, ' ');
        h.append(2880 * 2, '\0');
        std::ofstream o(d + "/f64.fits", std::ios::binary);
        o << h;
    }
    /* IRAF and ZZ images whose pixel files are missing. */
    for (const char *name : {"nopix.imh", "nopix.zzh"}) {
        int id = im_open((d + "/" + name).c_str(), "write");
        im_wkey_i(id, 16, "BITPIX");
        im_wkey_i(id, 2, "NAXIS");
        im_wkey_i(id, 30, "NAXIS1");
        im_wkey_i(id, 20, "NAXIS2");
        std::vector<float> v(600, 1.0f);
        EXPECT_EQ(600, im_wpix_r(id, v.data(), 600));
        EXPECT_EQ(0, im_close(id));
    }
    std::remove((d + "/nopix.pix").c_str());
    std::remove((d + "/nopix.zzp").c_str());

    const struct {
        std::string input;
        std::string err;
    } cases[] = {
        {"cut.fits\nout.fits\n", "Error reading pixels \"cut.fits\": cut.fits ends at byte 2980, "
                                  "before its last pixel\n"},
        {"hdronly.fits\nout.fits\n", "Error reading pixels \"hdronly.fits\": hdronly.fits ends "
                                      "at byte 2880, before its last pixel\n"},
        {"nopix.imh\nout.fits\n", "Error opening input file \"nopix.imh\": "},
        {"f64.fits\nout.fits\n", "Error reading pixels \"f64.fits\": BITPIX -64 pixels are "
                                  "not read as floats: they would lose precision (they are read "
                                  "as doubles)\n"},
        {"nopix.zzh\nout.fits\n", "Error opening input file \"nopix.zzh\": ZZ pixel file "
                                   "nopix.zzp: no such file\n"},
        {"in.fits\nmissing/out.fits\n", "Error writing pixels to output \"missing/out.fits\": "
                                         "cannot create missing/out.fits: no such folder\n"},
    };
    for (const auto &c : cases) {
        ToolResult r = run_tool(d, "", c.input + CORNERS);
        EXPECT_EQ(255, r.status) << c.input << r.err;
        EXPECT_EQ(0u, r.err.find(c.err)) << c.input << r.err;
        /* one line: the message and its reason */
        EXPECT_EQ(1, std::count(r.err.begin(), r.err.end(), '\n')) << r.err;
        EXPECT_TRUE(no_output_left(d)) << c.input;
        EXPECT_FALSE(exists(d + "/missing"));
    }
}

TEST(ToolFaults, PermissionDeniedNamesTheImage)
{
    std::string d = work_dir();
    chmod(d.c_str(), 0777);
    write_fits16(d + "/in.fits", {30, 20}, test_image(30, 20), 0.5, 0.0);
    write_fits16(d + "/secret.fits", {30, 20}, test_image(30, 20), 0.5, 0.0);
    chmod((d + "/in.fits").c_str(), 0644);
    chmod((d + "/secret.fits").c_str(), 0);
    mkdir((d + "/locked").c_str(), 0555);
    /* As root the checks are made as the user nobody, who must reach the
     * tool and this folder. */
    if (!as_unprivileged().empty() &&
        std::system(("cd '" + d + "' && " + as_unprivileged() + "test -x '" FLATTEN_BIN
                     "' -a -r in.fits").c_str()) != 0)
        GTEST_SKIP() << "the user nobody cannot reach " << d << " or the tool: permissions "
                     << "cannot be tested as root here";
    const struct {
        std::string input;
        std::string err;
    } cases[] = {
        {"secret.fits\nout.fits\n",
         "Error opening input file \"secret.fits\": secret.fits: permission denied\n"},
        {"in.fits\nlocked/out.fits\n",
         "Error writing pixels to output \"locked/out.fits\": cannot create locked/out.fits: "
         "permission denied\n"},
    };
    for (const auto &c : cases) {
        ToolResult r = run_tool(d, "", c.input + CORNERS, as_unprivileged());
        EXPECT_EQ(255, r.status) << c.input << r.err;
        EXPECT_EQ(c.err, r.err) << c.input;
        EXPECT_TRUE(no_output_left(d)) << c.input;
        EXPECT_FALSE(exists(d + "/locked/out.fits"));
    }
}

TEST(ToolFaults, OutputThatRefusesWritesFailsAndLeavesTheLink)
{
    /* out.fits is a link to /dev/full (it existed: it stays); the IRAF and
     * ZZ outputs lose their header to it, and their new pixel files are
     * removed. */
    std::string d = work_dir();
    write_fits16(d + "/in.fits", {30, 20}, test_image(30, 20), 0.5, 0.0);
    const struct {
        const char *name;
        const char *pix;
        const char *err;
    } cases[] = {
        {"out.fits", "", "Error writing pixels to output \"out.fits\": out.fits: No space left "
                         "on device"},
        {"out.imh", "out.pix", "Error closing output image \"out.imh\": out.imh: "},
        {"out.zzh", "out.zzp", "Error closing output image \"out.zzh\": out.zzh: the header "
                               "could not be written: No space left on device"},
    };
    for (const auto &c : cases) {
        const std::string link = d + "/" + c.name;
        ASSERT_EQ(0, symlink("/dev/full", link.c_str()));
        ToolResult r = run_tool(d, "", std::string("in.fits\n") + c.name + "\n" + CORNERS);
        EXPECT_EQ(255, r.status) << c.name;
        EXPECT_EQ(0u, r.err.find(c.err)) << r.err;
        if (c.pix[0] != '\0') { /* the close says which file was overwritten */
            EXPECT_NE(std::string::npos, r.err.find(std::string(c.name) + " existed before, was "
                                                    "overwritten and is left incomplete)\n"))
                << r.err;
        }
        struct stat st;
        EXPECT_EQ(0, lstat(link.c_str(), &st));
        EXPECT_TRUE(S_ISLNK(st.st_mode));
        if (c.pix[0] != '\0') {
            EXPECT_FALSE(exists(d + "/" + c.pix)) << c.name;
        }
        std::remove(link.c_str());
    }
}

TEST(ToolFaults, OutputThatIsTheInputThroughALinkIsRefusedNotDestroyed)
{
    /* An output name that reaches the input's file through a symbolic or a
     * hard link would be written in place while the tool still reads the
     * input: the write is refused and the input keeps its bytes.  The
     * input's own name is replaced safely (a new file renamed over it). */
    std::string d = work_dir();
    write_fits16(d + "/in.fits", {30, 20}, test_image(30, 20), 0.5, 0.0);
    const std::string before = read_file(d + "/in.fits");
    ASSERT_EQ(0, symlink("in.fits", (d + "/soft.fits").c_str()));
    ASSERT_EQ(0, link((d + "/in.fits").c_str(), (d + "/hard.fits").c_str()));
    for (const char *name : {"soft.fits", "hard.fits"}) {
        ToolResult r = run_tool(d, "", std::string("in.fits\n") + name + "\n" + CORNERS);
        EXPECT_EQ(255, r.status) << name;
        EXPECT_EQ(0u, r.err.find(std::string("Error writing pixels to output \"") + name +
                                 "\": cannot create " + name + ": the file is in use"))
            << r.err;
        EXPECT_EQ(before, read_file(d + "/in.fits")) << name;
    }
    std::remove((d + "/soft.fits").c_str());
    std::remove((d + "/hard.fits").c_str());
    ToolResult same = run_tool(d, "", std::string("in.fits\nin.fits\n") + CORNERS);
    EXPECT_EQ(0, same.status) << same.err;
    Fits out;
    ASSERT_TRUE(read_fits(d + "/in.fits", &out));
    EXPECT_NEAR(out.values[7 * 30 + 9], 500.0, 0.05);
}

TEST(ToolFaults, JunkOnStandardInputEndsWithAStatusNeverASignal)
{
    std::string d = work_dir();
    write_fits16(d + "/in.fits", {30, 20}, test_image(30, 20), 0.5, 0.0);
    /* A name line with a NUL byte would open another file: refused. */
    ToolResult nul = run_tool(d, "", std::string("in.fits\0junk\nout.fits\n", 22) + CORNERS);
    EXPECT_EQ(1, nul.status);
    EXPECT_EQ("Bad filename read (1)\n", nul.err);
    EXPECT_TRUE(no_output_left(d));
    /* Binary junk of several kinds (fixed seeds). */
    for (unsigned seed : {1u, 2u, 3u, 4u}) {
        std::string junk;
        unsigned x = seed;
        for (int i = 0; i < 65536; i++) {
            x = x * 1103515245u + 12345u;
            junk += static_cast<char>((x >> 16) & 0xff);
        }
        if (seed == 3)
            junk = "in.fits\nout.fits\n" + junk; /* junk points only */
        if (seed == 4)
            junk = "in.fits\n" + junk;           /* junk as the output name */
        ToolResult r = run_tool(d, "", junk);
        EXPECT_TRUE(r.status == 1 || r.status == 255) << seed << ": " << r.status << r.err;
        EXPECT_FALSE(r.err.empty()) << seed;
        EXPECT_EQ(std::string::npos, r.err.find("Sanitizer")) << r.err;
        EXPECT_EQ(std::string::npos, r.err.find("runtime error")) << r.err;
        for (char ch : r.err)
            EXPECT_TRUE(ch == '\n' || (ch >= 0x20 && ch != 0x7f)) << seed << ": " << r.err;
        EXPECT_TRUE(no_output_left(d)) << seed;
    }
}

TEST(ToolFaults, AMillionPointsAreQuick)
{
    std::string d = work_dir();
    write_fits16(d + "/in.fits", {30, 20}, test_image(30, 20), 0.5, 0.0);
    std::string in = "in.fits\nout.fits\n";
    in.reserve(10 * 1000000);
    for (int i = 0; i < 200000; i++)
        in += CORNERS;
    const time_t start = time(nullptr);
    ToolResult r = run_tool(d, "-3", in);
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("A = 200.000000\nB = 2.000000\nC = -1.500000\n"));
    EXPECT_LT(time(nullptr) - start, 60) << "a million points must not take minutes";
    Fits out;
    EXPECT_TRUE(read_fits(d + "/out.fits", &out));
}

/* ---- Clipping and the fit report ----------------------------------- */

namespace {

/* The test image with a small ripple that leaves every reference point a
 * residual, and the points: a grid plus (10, 8), under the bump. */
std::vector<double> rippled_image(int samples, int lines)
{
    std::vector<double> v = test_image(samples, lines);
    for (int l = 1; l <= lines; l++)
        for (int s = 1; s <= samples; s++)
            v[static_cast<size_t>(samples) * (l - 1) + (s - 1)] += 0.5 * ((s * 7 + l * 13) % 5 - 2);
    return v;
}

const char *const ON_THE_BUMP = "2 2\n29 3\n3 19\n28 18\n15 4\n10 8\n20 10\n5 12\n25 15\n";

} // namespace

TEST(ToolOptions, BadValuesAreRefusedWithStatus1AndNoOutput)
{
    const struct {
        const char *args;
        const char *err_has;
    } cases[] = {
        {"--clip=0", "--clip=0: K must be a positive number"},
        {"--clip=-2", "--clip=-2: K must be a positive number"},
        {"--clip=3x", "--clip=3x: K must be a positive number"},
        {"--clip=nan", "--clip=nan: K must be a positive number"},
        {"--clip=inf", "--clip=inf: K must be a positive number"},
        {"--clip", "--clip: K must be a positive number"},
        {"--clip=3 --clip-iterations=0", "N must be a whole number of rounds"},
        {"--clip=3 --clip-iterations=2.5", "N must be a whole number of rounds"},
        {"--clip=3 --clip-iterations=99999999999", "N must be a whole number of rounds"},
        {"--clip-iterations=4", "--clip-iterations needs --clip=K"},
        {"--report=", "give text, json or a file name"},
        {"--clips=3", "unknown option --clips=3"},
        {"extra --clip=3", "reads stdin, and takes no arguments"},
        {"-3 extra --clip=3 --report=json --bogus", "unknown option --bogus"},
    };
    std::string d = work_dir();
    write_fits16(d + "/in.fits", {30, 20}, test_image(30, 20), 0.5, 0.0);
    for (const auto &c : cases) {
        ToolResult r = run_tool(d, c.args, std::string("in.fits\nout.fits\n") + CORNERS);
        EXPECT_EQ(1, r.status) << c.args;
        EXPECT_NE(std::string::npos, r.err.find(c.err_has)) << c.args << ": " << r.err;
        EXPECT_EQ("", r.out) << c.args;
        EXPECT_FALSE(exists(d + "/out.fits")) << c.args;
    }
}

TEST(ToolOptions, ReportsAndClippingWithNothingToRejectLeaveTheOutputBytesAlone)
{
    std::string d = work_dir();
    write_fits16(d + "/in.fits", {30, 20}, rippled_image(30, 20), 0.5, 0.0);
    const std::string job = "in.fits\nplain.fits\n" + std::string(CORNERS);
    ToolResult plain = run_tool(d, "", job);
    ASSERT_EQ(0, plain.status) << plain.err;
    EXPECT_EQ("", plain.err);
    const std::string want = read_file(d + "/plain.fits");
    ASSERT_FALSE(want.empty());
    for (const char *args : {"--report", "--report=json", "--report=fit.json", "--clip=50",
                             "--clip=50 --clip-iterations=1 --report"}) {
        std::string job2 = "in.fits\nother.fits\n" + std::string(CORNERS);
        ToolResult r = run_tool(d, args, job2);
        ASSERT_EQ(0, r.status) << args << ": " << r.err;
        EXPECT_EQ("", r.out) << args;
        EXPECT_TRUE(want == read_file(d + "/other.fits")) << args;
    }
}

TEST(ToolOptions, ClipTakesOutTheSourceUnderAPoint)
{
    std::string d = work_dir();
    const int S = 30, L = 20;
    const std::vector<double> v = rippled_image(S, L);
    write_fits16(d + "/in.fits", {S, L}, v, 0.5, 0.0);
    ToolResult plain = run_tool(d, "", std::string("in.fits\nplain.fits\n") + ON_THE_BUMP);
    ToolResult clip = run_tool(d, "--clip=3 --report=json",
                               std::string("in.fits\nclip.fits\n") + ON_THE_BUMP);
    ASSERT_EQ(0, plain.status) << plain.err;
    ASSERT_EQ(0, clip.status) << clip.err;
    Fits p, c;
    ASSERT_TRUE(read_fits(d + "/plain.fits", &p));
    ASSERT_TRUE(read_fits(d + "/clip.fits", &c));
    /* Away from the bump the flattened image is the ripple alone (within
     * the 16-bit output's step) once the bump's point is out; the plain
     * fit is pulled up by it. */
    double plain_off = 0.0, clip_off = 0.0;
    for (int l = 1; l <= L; l++)
        for (int s = 1; s <= S; s++) {
            const size_t i = static_cast<size_t>(S) * (l - 1) + (s - 1);
            if (s == 10 && l == 8)
                continue;
            const double ripple = 0.5 * ((s * 7 + l * 13) % 5 - 2);
            plain_off = std::fmax(plain_off, std::fabs(p.values[i] - ripple));
            clip_off = std::fmax(clip_off, std::fabs(c.values[i] - ripple));
        }
    EXPECT_GT(plain_off, 20.0);
    EXPECT_LT(clip_off, 1.0);
    EXPECT_NE(std::string::npos,
              clip.err.find("\"rejected\": [{\"point\": 5, \"sample\": 10, \"line\": 8, "))
        << clip.err;
}

TEST(ToolOptions, OptionsComeInAnyOrderWithTheDebugLevel)
{
    std::string d = work_dir();
    write_fits16(d + "/in.fits", {30, 20}, rippled_image(30, 20), 0.5, 0.0);
    const std::string job = "in.fits\nout.fits\n" + std::string(ON_THE_BUMP);
    ToolResult a = run_tool(d, "-3 --clip=3 --report=json", job);
    ToolResult b = run_tool(d, "--report=json --clip=3 -3", job);
    ToolResult c = run_tool(d, "--clip=3 -3 --report=json", job);
    ASSERT_EQ(0, a.status) << a.err;
    EXPECT_EQ(a.err, b.err);
    EXPECT_EQ(a.err, c.err);
    /* The plain fit's coefficients, the clipped ones, the text report
     * (debug > 2), then the JSON object on one line. */
    const size_t coeff = a.err.find("Least Squares fit plane");
    const size_t clipped = a.err.find("Clipped fit after 1 rounds, 1 points rejected:\nA = ");
    const size_t text = a.err.find("Fit report\nPoints read: 9\nPoints used: 8\n");
    const size_t json = a.err.find("\n{\"points_read\": 9, \"points_used\": 8,");
    EXPECT_EQ(0u, a.err.find("Debug set to 3\n"));
    EXPECT_LT(coeff, clipped);
    EXPECT_LT(clipped, text);
    EXPECT_LT(text, json);
    EXPECT_NE(std::string::npos, json) << a.err;
    EXPECT_EQ("}\n", a.err.substr(a.err.size() - 2));
}

TEST(ToolOptions, ReportFileIsWrittenOrTheRunFails)
{
    std::string d = work_dir();
    write_fits16(d + "/in.fits", {30, 20}, rippled_image(30, 20), 0.5, 0.0);
    const std::string job = "in.fits\nout.fits\n" + std::string(ON_THE_BUMP);
    ToolResult r = run_tool(d, "--clip=3 --report=fit.json", job);
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ("", r.err);
    const std::string json = read_file(d + "/fit.json");
    EXPECT_EQ(0u, json.find("{\"points_read\": 9, \"points_used\": 8, "));
    EXPECT_EQ("}\n", json.substr(json.size() - 2));
    /* A report that cannot be written fails the run before the output. */
    ToolResult bad = run_tool(d, "--report=nowhere/fit.json",
                              "in.fits\nout2.fits\n" + std::string(ON_THE_BUMP));
    EXPECT_EQ(255, bad.status);
    EXPECT_EQ("Error writing report \"nowhere/fit.json\": No such file or directory\n", bad.err);
    EXPECT_FALSE(exists(d + "/out2.fits"));
}

TEST(ToolOptions, ClippingKeepsThreePointsOffOneLineAndSaysSo)
{
    std::string d = work_dir();
    const int S = 30, L = 20;
    std::vector<double> v = rippled_image(S, L);
    v[static_cast<size_t>(S) * 14 + 2] += 3000.0;    /* (3, 15) */
    v[static_cast<size_t>(S) * 14 + 6] -= 3000.0;    /* (7, 15) */
    write_fits16(d + "/in.fits", {S, L}, v, 0.5, 0.0);
    std::string job = "in.fits\nout.fits\n";
    for (int x = 1; x <= 10; x++)
        job += std::to_string(x) + " 5\n";
    job += "3 15\n7 15\n";
    ToolResult r = run_tool(d, "--clip=3 --report", job);
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ(0u, r.err.find("Clipping stopped: rejecting more points would leave fewer than 3 "
                             "usable points not on one line; the last good fit is kept\n"))
        << r.err;
    EXPECT_NE(std::string::npos, r.err.find("Points used: 12\n"));
    EXPECT_NE(std::string::npos, r.err.find("stopped to keep 3 points not on one line"));
}
