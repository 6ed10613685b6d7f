/* conductor: one complete run of the tool against the image library.
 * Opens both images, checks the input is two-dimensional, reads the pixels
 * under the reference points, copies the header, fits the plane, cleans
 * the output header, then passes over the input block by block, writing
 * the flattened pixels, and closes both images.  Memory does not grow with
 * the image.  Every failure ends the process through squawk or exit. */
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "imlib.h"
#include "tool.h"

/* The tool's debug level: 0 unless the command line sets it. */
int debug = 0;

/* 256 Ki floats: 1 MiB, large enough that each library call moves its
 * pixels in few system calls, small enough to stay in the cache. */
int stream_block_pixels = 262144;

/* An image name as a message shows it: control bytes (junk read as a
 * name) become '?', and the text is cut to the buffer. */
static void printable_name(char *out, size_t size, const char *name)
{
    size_t n = 0;
    for (; name[n] != '\0' && n + 1 < size; n++) {
        const unsigned char c = static_cast<unsigned char>(name[n]);
        out[n] = c < 0x20 || c == 0x7f ? '?' : name[n];
    }
    out[n] = '\0';
}

/* A fatal message: what failed, the image's name and the library's reason
 * (when it gave one).  Ends the process with status 255. */
static void squawk_image(const char *what, const char *name)
{
    static char message[2 * 8192 + 64];
    static char shown[8192];
    printable_name(shown, sizeof shown, name);
    const char *why = im_errmsg();
    if (why[0] != '\0')
        std::snprintf(message, sizeof message, "%s \"%s\": %s", what, shown, why);
    else
        std::snprintf(message, sizeof message, "%s \"%s\"", what, shown);
    squawk(0, message);
}

/* The output image while it is unfinished: every exit before its close
 * succeeded discards it, so that a failed run leaves no partial output
 * (the library removes the files it created for it; a file that existed
 * under the name is left as the run left it). */
static int unfinished_output = 0;

static void discard_unfinished_output(void)
{
    if (unfinished_output > 0)
        (void)im_file(unfinished_output, "d");
    unfinished_output = 0;
}

/* A request to stop (SIGINT, SIGTERM, SIGHUP) that arrived while the
 * output was being written: the passes look at it after each block. */
static volatile sig_atomic_t stop_signal = 0;

static void note_stop(int sig)
{
    stop_signal = sig;
}

/* catch_stops: from now on the stop signals that are not ignored are
 * noted rather than ending the process at once, so that the unfinished
 * output (a temporary file beside an old one) can be discarded. */
static void catch_stops(void)
{
    const int signals[] = {SIGINT, SIGTERM, SIGHUP};
    for (const int sig : signals) {
        struct sigaction now;
        if (sigaction(sig, nullptr, &now) != 0 || now.sa_handler == SIG_IGN)
            continue;
        struct sigaction act {};
        act.sa_handler = note_stop;
        sigemptyset(&act.sa_mask);
        act.sa_flags = SA_RESTART;
        (void)sigaction(sig, &act, nullptr);
    }
}

/* stop_if_asked: after a stop signal, discard the unfinished output and
 * end the process by that signal, as it would have ended without the
 * handler (a message says the output was discarded). */
static void stop_if_asked(void)
{
    const int sig = stop_signal;
    if (sig == 0)
        return;
    discard_unfinished_output();
    std::fputs("Stopped by a signal: the output is discarded\n", stderr);
    std::signal(sig, SIG_DFL);
    std::raise(sig);
    std::_Exit(128 + sig);
}

/* The geometry of the two-dimensional image seen through the input's
 * window 1: samples per line, lines, and the axis (1-based) that counts
 * lines, whose index steps from line to line. */
struct plane_geometry {
    int samples;
    int lines;
    int line_axis;             /* at most 9: the library's axes */
    int before[9];             /* window lengths of the axes before it */
};

/* read_reference_values: values[i] = the input pixel under point i, for
 * every point inside the image (others are left 0 and never read).  Only
 * the lines that hold points are read, each through window 2 set on that
 * line, in pieces of at most block floats of buffer; window 1 is current
 * again on return with its read cursor untouched.  A failed read is fatal. */
static void read_reference_values(int id, const char *name, const plane_geometry *g,
                                  const int32_t *points, int count, float *values,
                                  float *buffer, int block)
{
    /* Indices of the points inside the image, by line then sample. */
    int *order = static_cast<int *>(std::malloc((count > 0 ? size_t(count) : 1) * sizeof(int)));
    if (order == nullptr)
        squawk(0, "Can't get enough image memory");
    int inside = 0;
    for (int i = 0; i < count; i++) {
        values[i] = 0.0f;
        const int32_t x = points[2 * i];
        const int32_t y = points[2 * i + 1];
        if (x >= 1 && x <= g->samples && y >= 1 && y <= g->lines)
            order[inside++] = i;
    }
    std::sort(order, order + inside, [points](int p, int q) {
        if (points[2 * p + 1] != points[2 * q + 1])
            return points[2 * p + 1] < points[2 * q + 1];
        return points[2 * p] < points[2 * q];
    });

    int k = 0;
    while (k < inside) {
        const int32_t y = points[2 * order[k] + 1];
        /* Window 2: the whole extent of every axis up to the line axis,
         * one line on that one. */
        int takes[10] = {0};
        int skips[10] = {0};
        takes[0] = g->line_axis;
        for (int a = 1; a < g->line_axis; a++)
            takes[a] = g->before[a - 1];
        skips[g->line_axis] = y - 1;
        takes[g->line_axis] = 1;
        if (im_dwin(id, 2, takes, skips) < 0 || im_swin(id, 2) < 0)
            squawk_image("Error reading pixels", name);
        int first = 0;                       /* 0-based sample of buffer[0] */
        while (k < inside && points[2 * order[k] + 1] == y) {
            const int want = g->samples - first < block ? g->samples - first : block;
            if (im_rpix_r(id, buffer, want) != want)
                squawk_image("Error reading pixels", name);
            for (; k < inside && points[2 * order[k] + 1] == y &&
                   points[2 * order[k]] <= first + want; k++)
                values[order[k]] = buffer[points[2 * order[k]] - 1 - first];
            first += want;
        }
        if (im_swin(id, 1) < 0)
            squawk_image("Error reading pixels", name);
    }
    std::free(order);
}

/* One pass over the input window 1 from its start, block by block: each
 * block is read as floats and the plane subtracted (the order keys of the
 * finite results folded into keys when non-null); with out > 0 the block
 * is written to the output, with out 0 only its range is wanted (keys
 * non-null).  A failed read or write is fatal. */
static void stream_pass(int in, const char *in_name, int out, const char *out_name,
                        const plane_geometry *g, const double abc[3], float bf,
                        float *buffer, int block, uint32_t *keys)
{
    const int64_t total = static_cast<int64_t>(g->samples) * g->lines;
    if (im_rpix_r(in, buffer, -1) < 0)         /* rewind the read cursor */
        squawk_image("Error reading pixels", in_name);
    for (int64_t done = 0; done < total;) {
        const int want = total - done < block ? static_cast<int>(total - done) : block;
        if (im_rpix_r(in, buffer, want) != want)
            squawk_image("Error reading pixels", in_name);
        if (out > 0)
            subtract_block(buffer, want, done, g->samples, abc, bf, keys);
        else
            range_block(buffer, want, done, g->samples, abc, bf, keys);
        if (out > 0 && im_wpix_r(out, buffer, want) != want)
            squawk_image("Error writing pixels to output", out_name);
        done += want;
        stop_if_asked();
    }
}

/* start_output: open out_name for writing, copy the input's header into
 * it and add the tool's HISTORY card.  Returns the handle; the exit
 * discards the image until its close succeeds.  Fatal on failure. */
static int start_output(const char *out_name)
{
    const int out = im_open(out_name, "write");
    if (out < 0)
        squawk_image("Error opening output file", out_name);
    unfinished_output = out;
    static int registered = 0;
    if (!registered) {
        std::atexit(discard_unfinished_output);
        registered = 1;
    }
    return out;
}

/* copy_header: the input's cards into the output (fatal on failure). */
static void copy_header(int out, int in, const char *out_name)
{
    if (debug > 5)
        std::fputs("Copy header...\n", stderr);
    const int old_ids[2] = {in, 0};
    if (im_hdr(out, old_ids, nullptr) < 0)
        squawk_image("Error writing header to output", out_name);
}

/* add_history: the tool's HISTORY card at the end of the output header. */
static void add_history(int out, const char *out_name)
{
    if (debug > 5)
        std::fputs("Update the header\n", stderr);
    char card[81];
    std::snprintf(card, sizeof card,
                  "HISTORY Flattened, planar subtraction (KELP flatten %s)", FLATTEN_VERSION);
    /* A HISTORY card is refused only by a header that is full. */
    if (im_wkey_t(out, card, "end") < 0) {
        static char message[8192 + 128];
        std::snprintf(message, sizeof message, "Error writing header to output \"%s\": no room "
                      "for another card (at most 100000)", out_name);
        squawk(0, message);
    }
}

/* The report file: open it, write the JSON report, close it; any failure
 * is fatal (status 255) and names the file and the reason. */
static void report_to_file(const run_options *options, const float *values,
                           const plane_geometry *g, const int32_t *points, int count,
                           const unsigned char *state, const double abc[3],
                           const clip_result *clip)
{
    static char message[8192 + 128];
    static char shown[8192];
    printable_name(shown, sizeof shown, options->report_file);
    errno = 0;
    FILE *to = std::fopen(options->report_file, "w");
    int status = to == nullptr ? -2
                               : write_report(to, Report_json_file, values, g->samples, g->lines,
                                              points, count, state, abc, options, clip);
    int err = errno;
    if (to != nullptr && std::fclose(to) != 0 && status == 0) {
        status = -2;
        err = errno;
    }
    if (status != 0) {
        std::snprintf(message, sizeof message, "Error writing report \"%s\": %s", shown,
                      err != 0 ? std::strerror(err) : "the write failed");
        squawk(0, message);
    }
}

/* refine_and_report: with options->clip_k > 0, refine the plane abc
 * (fitted over every usable point) by clip_plane, saying on standard error
 * when the 3-point floor stopped it and, at debug > 2, giving the new
 * coefficients; then write the report options ask for (and the text report
 * at debug > 2).  Changes abc; fatal when out of memory or when the report
 * file cannot be written. */
static void refine_and_report(const float *values, const plane_geometry *g,
                              const int32_t *points, int count, double blank,
                              const run_options *options, double abc[3])
{
    unsigned char *state = static_cast<unsigned char *>(
        std::malloc(count > 0 ? static_cast<size_t>(count) : 1));
    if (state == nullptr)
        squawk(0, "Can't get enough image memory");
    classify_points(values, g->samples, g->lines, points, count, blank, state);

    /* Clipping, from the plain fit. */
    clip_result clip{};
    const int clipping = options->clip_k > 0.0;
    if (clipping) {
        if (clip_plane(values, points, count, options->clip_k, options->clip_rounds, state, abc,
                       &clip) != 0)
            squawk(0, "Can't get enough image memory");
        if (clip.floor_reached)
            std::fputs("Clipping stopped: rejecting more points would leave fewer than 3 "
                       "usable points not on one line; the last good fit is kept\n", stderr);
        if (debug > 2) {
            std::fprintf(stderr, "Clipped fit after %d rounds, %d points rejected:\n",
                         clip.rounds, clip.rejected);
            std::fprintf(stderr, "A = %.6f\n", abc[0]);
            std::fprintf(stderr, "B = %.6f\n", abc[1]);
            std::fprintf(stderr, "C = %.6f\n", abc[2]);
        }
    }

    /* The reports: text at debug > 2 or when asked, then JSON. */
    const clip_result *done = clipping ? &clip : nullptr;
    if (debug > 2 || options->report == Report_text)
        (void)write_report(stderr, Report_text, values, g->samples, g->lines, points, count,
                           state, abc, options, done);
    if (options->report == Report_json)
        (void)write_report(stderr, Report_json, values, g->samples, g->lines, points, count,
                           state, abc, options, done);
    if (options->report == Report_json_file)
        report_to_file(options, values, g, points, count, state, abc, done);
    std::free(state);
}

/* conductor: run the whole job on in_name -> out_name with count (x, y)
 * reference points, holding no more of the image than one block: the
 * reference pixels are read first and the plane fitted; a floating output
 * is then made in one pass (its DATAMAX and DATAMIN cards placed before
 * the pixels and given their values after), an integer output in two (the
 * range of the new pixels, which its scaling needs, then the pixels).
 * With options, the fit may be refined by clipping and reported (see
 * refine_and_report); without them the run is the plain one.
 * Returns 0 after a complete run (a failed close of the input is a
 * warning); every other failure, a failed close of the output included,
 * ends the process (255 fatal, 1 failed fit) and discards the unfinished
 * output. */
int conductor(const char *in_name, const char *out_name, const int32_t *points, int count,
              const run_options *options)
{
    image_info in{};
    image_info out{};
    int lengths[2];

    /* Open both images. */
    in.handle = im_open(in_name, "read");
    if (in.handle < 0)
        squawk_image("Error opening input file", in_name);
    out.handle = start_output(out_name);

    /* Geometry: exactly two axes longer than 1. */
    if (getimaginfo(&in) != 2)
        squawk(0, "Input must 2 dimensional image or subimage");
    nlengths(&in, lengths, 2);
    /* An axis of length 0 leaves no pixels behind the two lengths. */
    if (static_cast<int64_t>(lengths[0]) * lengths[1] != in.n_pixels)
        squawk(0, "Input must 2 dimensional image or subimage");
    out.n_pixels = in.n_pixels;
    out.blank = in.blank;
    plane_geometry g;
    g.samples = lengths[0];
    g.lines = lengths[1];
    g.line_axis = 0;
    for (int a = 0, longer = 0; a < in.n_axes && a < 9 && g.line_axis == 0; a++) {
        g.before[a] = in.naxis[a];
        if (in.naxis[a] > 1 && ++longer == 2)
            g.line_axis = a + 1;
    }
    if (g.line_axis == 0)
        squawk(0, "Input must 2 dimensional image or subimage");

    if (debug > 5)
        std::fputs("Going to malloc pixptr\n", stderr);
    const int block = stream_block_pixels < in.n_pixels ? stream_block_pixels : in.n_pixels;
    float *buffer = static_cast<float *>(std::malloc(static_cast<size_t>(block) * sizeof(float)));
    float *values = nullptr;
    if (count <= 0 || static_cast<size_t>(count) <= SIZE_MAX / sizeof(float))
        values = static_cast<float *>(
            std::malloc((count > 0 ? static_cast<size_t>(count) : 1) * sizeof(float)));
    if (buffer == nullptr || values == nullptr)
        squawk(0, "Can't get enough image memory");

    if (debug > 5)
        std::fputs("Going to read pixels\n", stderr);
    read_reference_values(in.handle, in_name, &g, points, count, values, buffer, block);

    copy_header(out.handle, in.handle, out_name);

    double abc[3];
    if (fit_plane(values, g.samples, g.lines, points, count, in.blank, abc) != 0) {
        std::fputs("Error in flatten, can't continue\n", stderr);
        std::exit(1);
    }
    if (options != nullptr && (options->clip_k > 0.0 || options->report != Report_none))
        refine_and_report(values, &g, points, count, in.blank, options, abc);
    std::free(values);

    add_history(out.handle, out_name);

    catch_stops();
    const float bf = static_cast<float>(in.blank);
    int bitpix = 32;                           /* hdrclean's choice without a card */
    (void)im_rkey_i(out.handle, &bitpix, "BITPIX");
    uint32_t keys[2] = {RANGE_NO_HI, RANGE_NO_LO};
    pixel_range range;
    if (bitpix < 0) {
        /* One pass: the cards first, their range values after. */
        hdrclean_reserve(&out);
        if (debug > 5)
            std::fputs("Write the new pixels\n", stderr);
        stream_pass(in.handle, in_name, out.handle, out_name, &g, abc, bf, buffer, block, keys);
        range_from_keys(keys[0], keys[1], &range);
        if (range.found) {
            hdrclean_range(&out, &range);
        } else {
            /* No finite pixel: the header loses DATAMAX and DATAMIN, which
             * may change where a FITS file's pixels begin; the output is
             * made again from the start with the range known. */
            (void)im_file(out.handle, "d");
            unfinished_output = 0;
            out.handle = start_output(out_name);
            copy_header(out.handle, in.handle, out_name);
            add_history(out.handle, out_name);
            hdrclean(nullptr, &out, &range);
            stream_pass(in.handle, in_name, out.handle, out_name, &g, abc, bf, buffer, block,
                        nullptr);
        }
    } else {
        /* The range of the new pixels decides the scaling the pixels are
         * written with: one pass to find it, one to write. */
        stream_pass(in.handle, in_name, 0, out_name, &g, abc, bf, buffer, block, keys);
        range_from_keys(keys[0], keys[1], &range);
        hdrclean(nullptr, &out, &range);
        if (debug > 5)
            std::fputs("Write the new pixels\n", stderr);
        stream_pass(in.handle, in_name, out.handle, out_name, &g, abc, bf, buffer, block,
                    nullptr);
    }

    stop_if_asked();
    if (debug > 5)
        std::fputs("Close the images\n", stderr);
    if (im_close(in.handle) < 0)
        squawk(2, "Error closing input image");
    /* The output's header reaches the disk at its close: a failed close
     * is a failed run.  -2 released it (and removed what it created);
     * after -4 it is still open and the exit discards it. */
    const int closed = im_close(out.handle);
    if (closed != -4)
        unfinished_output = 0;
    if (closed < 0)
        squawk_image("Error closing output image", out_name);

    std::free(buffer);
    return 0;
}
