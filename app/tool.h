/* tool.h: the plane-subtraction tool's shared record and routines. */
#ifndef KELP_TOOL_H
#define KELP_TOOL_H

#include <cstdint>

#define IMAGE_INFO_MAX_AXES 1002

/* The tool's record of one open image. */
struct image_info {
    int handle;
    int n_pixels;                              /* product of axis lengths */
    int n_axes;                                /* NAXIS */
    int32_t naxis[IMAGE_INFO_MAX_AXES];        /* index 0 = NAXIS1 */
    float blank;                               /* the library float blank */
};

extern int debug;

/* Pixel loops of the tool are also built for AVX-512 and AVX2 and picked at
 * load time (comparisons assumed not to trap, so floating selects become
 * vector blends); floating contraction is off for the whole build, so
 * every build gives the same bits. */
#if defined(__GNUC__) && !defined(__clang__)
#define TOOL_VECTOR_KERNEL __attribute__((optimize("no-trapping-math"), target_clones("arch=x86-64-v4", "avx2", "default")))
#else
#define TOOL_VECTOR_KERNEL
#endif

void squawk(int severity, const char *message);
int conductor(const char *in_name, const char *out_name, const int32_t *points, int count);
int getimaginfo(image_info *info);
void nlengths(const image_info *info, int *out, int k);
int flatten(float *pixels, int samples, int lines, const int32_t *points, int count, double blank);
int solvlin(const double *matrix, int n, const double *rhs, double *solution);
double det3(const double *m);
void mk2darray(const int32_t *base, int step, int count, const int32_t ***out);
void hdrclean(const float *pixels, image_info *info);

#endif
