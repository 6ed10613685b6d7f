/* conductor: one complete run of the tool against the image library.
 * Opens both images, checks the input is two-dimensional, reads its pixels
 * into one float buffer, copies the header, fits and subtracts the plane,
 * cleans the output header, writes the pixels and closes both images.
 * Every failure ends the process through squawk or exit. */
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sys/mman.h>
#include <sys/resource.h>

#include "imlib.h"
#include "tool.h"

/* The tool's debug level: 0 unless the command line sets it. */
int debug = 0;

#define HUGE_PAGE ((size_t)2 << 20)

/* Pixel buffer of n floats, or null when its size (rounded up to whole
 * huge pages) cannot be represented in a size_t -- on a 32-bit host from
 * 2^30 pixels on -- or memory runs out.  Large buffers are 2 MiB aligned
 * and marked for transparent huge pages, which saves most of the
 * first-touch page faults on multi-megapixel images; release with
 * free_pixels. */
static float *alloc_pixels(size_t n)
{
    if (n > (SIZE_MAX - HUGE_PAGE) / sizeof(float))
        return nullptr;
    size_t bytes = n * sizeof(float);
    if (bytes < HUGE_PAGE)
        return static_cast<float *>(std::malloc(bytes > 0 ? bytes : sizeof(float)));
    size_t rounded = (bytes + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;
    void *p = nullptr;
    if (posix_memalign(&p, HUGE_PAGE, rounded) != 0)
        return nullptr;
#ifdef MADV_HUGEPAGE
    (void)madvise(p, rounded, MADV_HUGEPAGE);
#endif
    return static_cast<float *>(p);
}

/* Both allocation paths above are released by free. */
static void free_pixels(float *p)
{
    std::free(p);
}

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

/* conductor: run the whole job on in_name -> out_name with count (x, y)
 * reference points.  Returns 0 after a complete run (a failed close of the
 * input is a warning); every other failure, a failed close of the output
 * included, ends the process (255 fatal, 1 failed fit) and discards the
 * unfinished output. */
int conductor(const char *in_name, const char *out_name, const int32_t *points, int count)
{
    image_info in{};
    image_info out{};
    int lengths[2];

    /* Open both images. */
    in.handle = im_open(in_name, "read");
    if (in.handle < 0)
        squawk_image("Error opening input file", in_name);
    out.handle = im_open(out_name, "write");
    if (out.handle < 0)
        squawk_image("Error opening output file", out_name);
    unfinished_output = out.handle;
    std::atexit(discard_unfinished_output);

    /* Geometry: exactly two axes longer than 1. */
    if (getimaginfo(&in) != 2)
        squawk(0, "Input must 2 dimensional image or subimage");
    nlengths(&in, lengths, 2);
    /* An axis of length 0 leaves no pixels behind the two lengths. */
    if (static_cast<int64_t>(lengths[0]) * lengths[1] != in.n_pixels)
        squawk(0, "Input must 2 dimensional image or subimage");
    out.n_pixels = in.n_pixels;
    out.blank = in.blank;

    /* Large images: allow the data segment to grow to its hard limit. */
    if (in.n_pixels > 1000000) {
        struct rlimit rl;
        if (getrlimit(RLIMIT_DATA, &rl) == 0) {
            rl.rlim_cur = rl.rlim_max;
            (void)setrlimit(RLIMIT_DATA, &rl);
        }
    }

    if (debug > 5)
        std::fputs("Going to malloc pixptr\n", stderr);
    float *pixels = alloc_pixels(static_cast<size_t>(in.n_pixels));
    if (pixels == nullptr)
        squawk(0, "Can't get enough image memory");

    if (debug > 5)
        std::fputs("Going to read pixels\n", stderr);
    if (im_rpix_r(in.handle, pixels, in.n_pixels) != in.n_pixels)
        squawk_image("Error reading pixels", in_name);

    if (debug > 5)
        std::fputs("Copy header...\n", stderr);
    const int old_ids[2] = {in.handle, 0};
    if (im_hdr(out.handle, old_ids, nullptr) < 0)
        squawk_image("Error writing header to output", out_name);

    /* The range of the flattened pixels is found during the subtraction,
     * so the cleanup below need not read the whole buffer again; nothing
     * changes a pixel between the two. */
    pixel_range range;
    if (flatten(pixels, lengths[0], lengths[1], points, count, in.blank, &range) != 0) {
        std::fputs("Error in flatten, can't continue\n", stderr);
        std::exit(1);
    }

    if (debug > 5)
        std::fputs("Update the header\n", stderr);
    char card[81];
    std::snprintf(card, sizeof card,
                  "HISTORY Flattened, planar subtraction (KELP flatten %s)", FLATTEN_VERSION);
    /* A HISTORY card is refused only by a header that is full. */
    if (im_wkey_t(out.handle, card, "end") < 0) {
        static char message[8192 + 128];
        std::snprintf(message, sizeof message, "Error writing header to output \"%s\": no room "
                      "for another card (at most 100000)", out_name);
        squawk(0, message);
    }

    hdrclean(pixels, &out, &range);

    if (debug > 5)
        std::fputs("Write the new pixels\n", stderr);
    if (im_wpix_r(out.handle, pixels, out.n_pixels) != out.n_pixels)
        squawk_image("Error writing pixels to output", out_name);

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

    free_pixels(pixels);
    return 0;
}
