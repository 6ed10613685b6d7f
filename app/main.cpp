/* main: the tool's entry point: debug level from the command line, the run
 * description (two image names, then reference points) from standard input.
 * Every path ends in exit with the status of its outcome; nothing but the
 * text of --help and --version is written to standard output. */
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tool.h"

#define LINE_LEN 8192

/* Read one line of at most LINE_LEN bytes (terminator included) into buf.
 * A longer line is cut to what fits and its remainder is consumed, so that
 * it can never be taken for the next line.  *nul becomes 1 when the part
 * kept holds a NUL byte (the text would end there).  Returns 0, -1 at end
 * of input, or 1 when the line was cut. */
static int read_line(char *buf, FILE *in, int *nul)
{
    size_t n = 0;
    int cut = 0;
    int c;
    *nul = 0;
    while ((c = std::getc(in)) != EOF && c != '\n') {
        if (n < LINE_LEN - 1) {
            buf[n++] = static_cast<char>(c);
            if (c == '\0')
                *nul = 1;
        } else {
            cut = 1;
        }
    }
    buf[n] = '\0';
    if (c == EOF && n == 0 && !cut)
        return -1;
    return cut;
}

/* Parse one decimal integer as "%d" does (leading white space, optional
 * sign, digits), clamping values beyond the int range so that they stay
 * harmlessly outside every image.  Returns 1 and advances *p, or 0. */
static int scan_int(const char **p, int32_t *value)
{
    char *end = nullptr;
    errno = 0;
    long v = std::strtol(*p, &end, 10);
    if (end == *p)
        return 0;
    if (v > INT_MAX)
        v = INT_MAX;
    if (v < INT_MIN)
        v = INT_MIN;
    *value = static_cast<int32_t>(v);
    *p = end;
    return 1;
}

/* Name lines: end of input, a cut line and a line holding a NUL byte are
 * refused, since each would name another file. */
static void read_name(char *buf, FILE *in, int which)
{
    int nul = 0;
    if (read_line(buf, in, &nul) != 0 || nul) {
        std::fprintf(stderr, "Bad filename read (%d)\n", which);
        std::exit(1);
    }
}

/* The text of --help: how to run the tool, on standard output. */
static const char usage_text[] =
    "Usage: flatten [-LEVEL] < job.txt\n"
    "       flatten [-LEVEL] [--clip=K [--clip-iterations=N]] [--report[=json|FILE]]\n"
    "               < job.txt\n"
    "       flatten --help | --version\n"
    "\n"
    "Removes a planar background Z = A + B*sample + C*line, fitted by least\n"
    "squares at reference pixels, from a two-dimensional image.\n"
    "\n"
    "Standard input:\n"
    "  line 1   input image name; a subset may follow a comma and a FITS\n"
    "           extension may be named in brackets: img.fits[SCI],@1:512,@1:512\n"
    "  line 2   output image name (.fits, .imh or .zzh; without a known suffix\n"
    "           the input's form)\n"
    "  then     one reference point per line: two integers, sample and line,\n"
    "           1-based; other lines are skipped\n"
    "\n"
    "-LEVEL is the debug level (messages on standard error): >2 the fitted\n"
    "coefficients, >3 a start message, >5 progress, >6 the output scaling, >7 the\n"
    "fit's sums, >8 every reference pixel; 13 echoes the input and exits 13,\n"
    "14 echoes the reference points and exits 14.\n"
    "\n"
    "--clip=K    reject outlying reference points: after each fit, points whose\n"
    "            residual lies more than K x scale from the median residual are\n"
    "            dropped and the plane refitted (scale: 1.4826 x the median\n"
    "            absolute deviation of the residuals about their median); never\n"
    "            below 3 points not on one line.  K > 0.\n"
    "--clip-iterations=N  at most N rounds of rejection (default 10).\n"
    "--report    the fit report on standard error: points read, used and left\n"
    "            out (and why), residual RMS, largest residual, plane at the\n"
    "            corners (also printed at debug > 2 with --clip or --report).\n"
    "--report=json  the same as one JSON object on standard error;\n"
    "--report=FILE  the JSON object written to FILE (./json names a file json).\n"
    "\n"
    "Exit status: 0 done; 1 usage error, missing name line or failed fit;\n"
    "13, 14 the dry runs above; 255 a fatal error, a failed close of the output\n"
    "included (the message names the image and the reason; the output files\n"
    "this run created are removed).\n"
    "\n"
    "An existing output is replaced only when the run succeeds: the new image is\n"
    "written beside it and renamed over it at the end.\n";

/* A usage error about one option: the message, then status 1. */
static void bad_option(const char *program, const char *arg, const char *why)
{
    std::fprintf(stderr, "%s: %s: %s (try --help)\n", program, arg, why);
    std::exit(1);
}

/* Options that are words: --help and --version print and end the process
 * with status 0; --clip=K, --clip-iterations=N and --report[=HOW] are
 * recorded in *options (*rounds_given set by the second); a bad value or
 * any other word is a usage error (status 1). */
static void word_option(const char *arg, const char *program, run_options *options,
                        int *rounds_given)
{
    if (std::strcmp(arg, "--help") == 0) {
        std::fputs(usage_text, stdout);
        std::exit(0);
    }
    if (std::strcmp(arg, "--version") == 0) {
        std::printf("flatten (KELP flatten) %s\n", FLATTEN_VERSION);
        std::exit(0);
    }
    if (std::strncmp(arg, "--clip=", 7) == 0 || std::strcmp(arg, "--clip") == 0) {
        const char *text = arg[6] == '=' ? arg + 7 : "";
        char *end = nullptr;
        errno = 0;
        const double k = std::strtod(text, &end);
        if (end == text || *end != '\0' || errno != 0 || !std::isfinite(k) || !(k > 0.0))
            bad_option(program, arg, "K must be a positive number, as in --clip=3");
        options->clip_k = k;
        return;
    }
    if (std::strncmp(arg, "--clip-iterations=", 18) == 0 ||
        std::strcmp(arg, "--clip-iterations") == 0) {
        const char *text = arg[17] == '=' ? arg + 18 : "";
        char *end = nullptr;
        errno = 0;
        const long n = std::strtol(text, &end, 10);
        if (end == text || *end != '\0' || errno != 0 || n < 1 || n > INT_MAX)
            bad_option(program, arg, "N must be a whole number of rounds, 1 or more");
        options->clip_rounds = static_cast<int>(n);
        *rounds_given = 1;
        return;
    }
    if (std::strcmp(arg, "--report") == 0 || std::strcmp(arg, "--report=text") == 0) {
        options->report = Report_text;
        return;
    }
    if (std::strcmp(arg, "--report=json") == 0) {
        options->report = Report_json;
        return;
    }
    if (std::strncmp(arg, "--report=", 9) == 0) {
        if (arg[9] == '\0')
            bad_option(program, arg, "give text, json or a file name after the =");
        options->report = Report_json_file;
        options->report_file = arg + 9;
        return;
    }
    std::fprintf(stderr, "%s: unknown option %s (try --help)\n", program, arg);
    std::exit(1);
}

int main(int argc, char **argv)
{
    static char in_name[LINE_LEN];
    static char out_name[LINE_LEN];
    static char line[LINE_LEN];

    /* Arguments, in any order: the debug level "-N" (the first one
     * counts), and the word options.  A first argument not starting with
     * '-' is misuse; later ones are ignored, as they always were. */
    debug = 0;
    static run_options options = {0.0, 10, Report_none, nullptr};
    const char *program = argc >= 1 && argv[0] != nullptr ? argv[0] : "flatten";
    int level_seen = 0;
    int rounds_given = 0;
    for (int a = 1; a < argc && argv[a] != nullptr; a++) {
        const char *arg = argv[a];
        if (arg[0] != '-') {
            if (a > 1)
                continue;
            std::fprintf(stderr, "%s reads stdin, and takes no arguments\n", program);
            std::exit(1);
        }
        if (arg[1] == '-') {
            word_option(arg, program, &options, &rounds_given);
            continue;
        }
        const char *p = arg + 1;
        int32_t level = 0;
        if (!level_seen && scan_int(&p, &level) == 1)
            debug = level;
        level_seen = 1;
    }
    if (rounds_given && options.clip_k == 0.0) {
        std::fprintf(stderr, "%s: --clip-iterations needs --clip=K (try --help)\n", program);
        std::exit(1);
    }
    if (debug != 0)
        std::fprintf(stderr, "Debug set to %d\n", debug);

    /* Past a file-size limit a write must fail (and be reported) rather
     * than end the process by a signal. */
    std::signal(SIGXFSZ, SIG_IGN);

    /* The point store: (x, y) pairs, room for 10 at first. */
    size_t room = 10;
    int count = 0;
    int32_t *points = static_cast<int32_t *>(std::malloc(room * 2 * sizeof(int32_t)));
    if (points == nullptr) {
        std::fputs("No space to store reference points!\n", stderr);
        std::exit(1);
    }

    read_name(in_name, stdin, 1);
    read_name(out_name, stdin, 2);

    /* Reference points: lines starting with two integers; others skipped. */
    int status;
    int nul = 0;
    while ((status = read_line(line, stdin, &nul)) >= 0) {
        const char *p = line;
        int32_t x, y;
        if (scan_int(&p, &x) != 1 || scan_int(&p, &y) != 1)
            continue;
        points[2 * count] = x;
        points[2 * count + 1] = y;
        count++;
        /* Grown as soon as it is full, doubling (10 pairs, then 20, 40,
         * ...), so that a million points take twenty reallocations; the
         * count stays an int and the size a size_t. */
        if (static_cast<size_t>(count) == room) {
            const size_t most = std::min(static_cast<size_t>(INT_MAX),
                                         SIZE_MAX / (2 * sizeof(int32_t)));
            const size_t new_room = room <= most / 2 ? 2 * room : most;
            int32_t *grown = nullptr;
            if (new_room > room)
                grown = static_cast<int32_t *>(
                    std::realloc(points, new_room * 2 * sizeof(int32_t)));
            if (grown == nullptr) {
                std::fputs("No space to store reference points!\n", stderr);
                std::exit(1);
            }
            points = grown;
            room = new_room;
        }
    }

    if (debug == 13) {
        std::fputs("Interpreted inputs:\n", stderr);
        std::fprintf(stderr, "Input file = %s\n", in_name);
        std::fprintf(stderr, "Output file= %s\n", out_name);
        std::fprintf(stderr, "Number of reference points = %d\n", count);
        std::fputs("Point   X    Y \n", stderr);
        std::fputs("---------------\n", stderr);
        for (int i = 0; i < count; i++)
            std::fprintf(stderr, "%4d %4d %4d\n", i, points[2 * i], points[2 * i + 1]);
        std::fprintf(stderr, "Terminating on Debug mode = %d\n", debug);
        std::exit(13);
    }

    conductor(in_name, out_name, points, count, &options);
    std::free(points);
    std::exit(0);
}
