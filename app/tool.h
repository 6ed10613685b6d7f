/* tool.h: the plane-subtraction tool's shared record and routines. */
#ifndef KELP_TOOL_H
#define KELP_TOOL_H

#include <cstdint>
#include <cstdio>
#include <cstring>

#define IMAGE_INFO_MAX_AXES 1002

/* The version the tool reports and writes into its HISTORY card. */
#define FLATTEN_VERSION "V1.1"

/* The tool's record of one open image. */
struct image_info {
    int handle;
    int n_pixels;                              /* product of axis lengths */
    int n_axes;                                /* NAXIS */
    int32_t naxis[IMAGE_INFO_MAX_AXES];        /* index 0 = NAXIS1 */
    float blank;                               /* the library float blank */
};

extern int debug;

/* Range of the finite pixels of a buffer (NaN and infinite pixels take no
 * part), as flatten hands it to hdrclean.  found is 0 when no pixel is
 * finite; lo and hi are then FLT_MAX and -FLT_MAX.  Extremes follow the
 * order in which -0 lies below +0, so the range is one function of the
 * pixel values whatever order they are visited in. */
struct pixel_range {
    float lo;
    float hi;
    int found;
};

/* Order keys for the range: a finite float maps to an unsigned key that
 * sorts as the floats do (-0 just below +0), so extremes are plain unsigned
 * max and min, which vectorise as exact reductions.  A pixel that is not
 * finite gets RANGE_NO_HI for the maximum and RANGE_NO_LO for the minimum,
 * neither of which is the key of a finite float. */
#define RANGE_NO_HI 0u
#define RANGE_NO_LO 0xffffffffu

/* Key of v, with all bits of *finite set when v is finite, clear if not
 * (masks rather than branches keep the reductions vectorisable). */
inline uint32_t range_key(float v, uint32_t *finite)
{
    uint32_t u;
    std::memcpy(&u, &v, sizeof u);
    *finite = 0u - static_cast<uint32_t>((u & 0x7fffffffu) < 0x7f800000u);
    return u ^ ((0u - (u >> 31)) | 0x80000000u);
}

inline uint32_t range_key_hi(float v)
{
    uint32_t finite;
    uint32_t key = range_key(v, &finite);
    return key & finite;
}

inline uint32_t range_key_lo(float v)
{
    uint32_t finite;
    uint32_t key = range_key(v, &finite);
    return key | ~finite;
}

/* The float whose key is key (the inverse of the mapping above). */
inline float range_key_value(uint32_t key)
{
    uint32_t u = key ^ ((key >> 31) ? 0x80000000u : 0xffffffffu);
    float v;
    std::memcpy(&v, &u, sizeof v);
    return v;
}

/* Fill range from the extreme keys of a scan (RANGE_NO_HI: nothing finite). */
void range_from_keys(uint32_t hi_key, uint32_t lo_key, pixel_range *range);

/* Pixel loops of the tool are, on x86-64, also built for AVX-512 and AVX2
 * and picked at load time (comparisons assumed not to trap, so floating
 * selects become vector blends); floating contraction is off for the whole
 * build, so every build gives the same bits.  Other CPUs, and clang, get
 * the plain loops. */
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__)
#define TOOL_VECTOR_KERNEL __attribute__((optimize("no-trapping-math"), target_clones("arch=x86-64-v4", "avx2", "default")))
#else
#define TOOL_VECTOR_KERNEL
#endif

void squawk(int severity, const char *message);

/* How a reference point stands in the fit: used, or left out because it
 * lies outside the image, because its pixel is blank or not finite, or
 * because clipping rejected it. */
enum point_state {
    Point_used = 0,
    Point_outside = 1,
    Point_unusable = 2,
    Point_rejected = 3
};

/* Where the fit report goes: nowhere, as text on standard error, or as one
 * JSON object on standard error or into a file. */
enum report_kind {
    Report_none = 0,
    Report_text = 1,
    Report_json = 2,
    Report_json_file = 3
};

/* The run's choices from the command line, set by main and read by
 * conductor.  clip_k 0 means no clipping (the plain fit, as always). */
struct run_options {
    double clip_k;             /* reject |residual - centre| > clip_k x scale */
    int clip_rounds;           /* at most this many rounds of rejection */
    report_kind report;
    const char *report_file;   /* for Report_json_file */
};

/* What clip_plane did, for the report and the messages.  Set by
 * clip_plane; read by the report. */
struct clip_result {
    int rounds;                /* rounds that rejected points and refitted */
    int rejected;              /* points rejected in all */
    int floor_reached;         /* 1: stopped to keep 3 non-collinear points */
    double centre;             /* median residual of the last round looked at */
    double scale;              /* 1.4826 x median |residual - centre| of it */
};

int conductor(const char *in_name, const char *out_name, const int32_t *points, int count,
              const run_options *options = nullptr);
int getimaginfo(image_info *info);
void nlengths(const image_info *info, int *out, int k);
int flatten(float *pixels, int samples, int lines, const int32_t *points, int count, double blank,
            pixel_range *range = nullptr);
int fit_plane(const float *values, int samples, int lines, const int32_t *points, int count,
              double blank, double abc[3]);
void subtract_block(float *pixels, int64_t n, int64_t first, int samples, const double abc[3],
                    float bf, uint32_t *keys);
void range_block(float *pixels, int64_t n, int64_t first, int samples, const double abc[3],
                 float bf, uint32_t keys[2]);
int fit_subset(const float *values, const int32_t *points, int count, const unsigned char *state,
               double abc[3]);
void classify_points(const float *values, int samples, int lines, const int32_t *points,
                     int count, double blank, unsigned char *state);
double plane_at(const double abc[3], int32_t sample, int32_t line);
double median_of(double *v, int n);
int clip_plane(const float *values, const int32_t *points, int count, double k, int rounds,
               unsigned char *state, double abc[3], clip_result *result);
int write_report(FILE *to, report_kind kind, const float *values, int samples, int lines,
                 const int32_t *points, int count, const unsigned char *state,
                 const double abc[3], const run_options *options, const clip_result *clip);
int solvlin(const double *matrix, int n, const double *rhs, double *solution);
double det3(const double *m);
void mk2darray(const int32_t *base, int step, int count, const int32_t ***out);
void scan_range(const float *pixels, int n, pixel_range *range);
void hdrclean(const float *pixels, image_info *info, const pixel_range *range = nullptr);
void hdrclean_reserve(image_info *info);
void hdrclean_range(image_info *info, const pixel_range *range);

/* Pixels per block of the tool's passes over the image (1 MiB of floats
 * by default); tests set smaller blocks to cut lines at every place. */
extern int stream_block_pixels;

#endif
