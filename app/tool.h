/* tool.h: the plane-subtraction tool's shared record and routines. */
#ifndef KELP_TOOL_H
#define KELP_TOOL_H

#include <cstdint>
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
int conductor(const char *in_name, const char *out_name, const int32_t *points, int count);
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
