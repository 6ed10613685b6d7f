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
