/* imlib.h: public interface of the image library.
 * Usable from C and C++.  Every operation that takes a handle returns -3
 * when the handle is not an open image; other negative results are failures
 * (-1 not found / not recognised, -2 bad argument, refused value or I/O
 * failure, -4 unusable value or subset text).  Single-threaded. */
#ifndef IMLIB_H
#define IMLIB_H

#include "imlib/export.h"
#include "imlib/map_struct.h"
#include "imlib/rwc_struct.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Opening and closing */
IM_API int im_open(const char *name, const char *mode);
/* im_close: completes an image opened for writing or update (pixel setup
 * if no pixel was written, FITS padding, the header) and releases it.
 *   0   closed and released.  An update that changed no card and no pixel
 *       writes nothing (a FITS checksum stays true).  S images have no
 *       header writer: their pixels are written in place, and closing an
 *       S image stores nothing more.
 *  -2   failed, released all the same: no pixel file, fewer pixels written
 *       than NAXISn call for, a write or the file's close failed (disk
 *       full, file-size limit), cards changed in an S image.  Files that a
 *       new image created itself are removed; a file that existed under
 *       the name was overwritten from the first pixel write and is left as
 *       it is (the reason names it).
 *  -4   refused, the image stays open: its cards cannot be stored as they
 *       stand (a FITS header that needs more 2880-byte records than the
 *       file has before its pixels, an IRAF header without a storable
 *       BITPIX or with more than 7 axes).  Mend the cards and close again,
 *       or discard the image with im_file(id, "d").
 *  -3   handle not open.
 * Failures leave their reason for im_errmsg(). */
IM_API int im_close(int id);
/* im_file: "p" prints the header summary, "q" the card-list dump, "d"
 * discards the image (released without completing it; a new image's
 * files that it created are removed).  0, or -3 handle not open. */
IM_API int im_file(int id, const char *operation);
/* The reason for the latest failure of im_open, rwc_fid, rwcf, a pixel
 * write or im_close, as text for a message ("" after a success): which
 * file and why (no such file, permission denied, content of no known form,
 * unsupported header version, a refused subset field and why, a file that
 * cannot be created, a write refused by the system: disk full, file too
 * large, pixels missing at close).  Owned by the library; valid until the
 * next of those calls. */
IM_API const char *im_errmsg(void);

/* Header copying and keywords */
IM_API int im_hdr(int new_id, const int *old_ids, const char *options);
IM_API int im_rkey_i(int id, int *value, const char *keyword);
IM_API int im_rkey_l(int id, int *value, const char *keyword);
IM_API int im_rkey_r(int id, float *value, const char *keyword);
IM_API int im_rkey_d(int id, double *value, const char *keyword);
IM_API int im_rkey_c(int id, char *value, const char *keyword); /* value: 81 chars */
IM_API int im_rkey_t(int id, char *buffer, const char *key);    /* buffer: 81 chars */
IM_API int im_wkey_i(int id, int value, const char *keyword);
IM_API int im_wkey_r(int id, double value, const char *keyword);
IM_API int im_wkey_d(int id, double value, const char *keyword);
IM_API int im_wkey_c(int id, const char *value, const char *keyword);
IM_API int im_wkey_l(int id, int value, const char *keyword);
IM_API int im_wkey_t(int id, const char *card, const char *position);
IM_API char *im_key(const char *base, int n);

/* Blank patterns */
IM_API void im_blank(float *ptr);
IM_API void im_blankd(double *ptr);

/* Pixel transfers: the buffer is the work area and is converted in place */
IM_API int im_rpix_i(int id, int *buffer, int n_pix);
IM_API int im_rpix_s(int id, short *buffer, int n_pix);
IM_API int im_rpix_c(int id, unsigned char *buffer, int n_pix);
IM_API int im_rpix_r(int id, float *buffer, int n_pix);
IM_API int im_rpix_d(int id, double *buffer, int n_pix);
IM_API int im_wpix_i(int id, int *buffer, int n_pix);
IM_API int im_wpix_s(int id, short *buffer, int n_pix);
IM_API int im_wpix_c(int id, unsigned char *buffer, int n_pix);
IM_API int im_wpix_r(int id, float *buffer, int n_pix);
IM_API int im_wpix_d(int id, double *buffer, int n_pix);

/* Windows */
IM_API int im_dwin(int id, int window, const int *takes, const int *skips);
IM_API int im_swin(int id, int window);

/* Byte order and raw mode */
IM_API int im_byteorder(void);
IM_API int im_raw(int v);

/* World coordinates, projections and celestial conversion */
IM_API int rwc_fid(rwc_struct *r, int fid);
IM_API int rwcf(rwc_struct *r, const char *string, int *skips, int *takes);
IM_API int map_set(map_struct *p, const char *ctype1, const char *ctype2,
            double cdelt1, double cdelt2, double crval1, double crval2,
            double crpix1, double crpix2, double crota1, double crota2);
IM_API int mapf(map_struct *p, int coord_type, double in_lon, double in_lat,
         double *out_x, double *out_y);
IM_API int mapf_string(map_struct *p, char *string, double *out_x, double *out_y);
IM_API int map_hms(char *string, double *value);
IM_API int map_coord(int in_type, double in_lon, double in_lat, int out_type,
              double *out_lon, double *out_lat);

/* Shared settings */
extern IM_API char *im_history_line; /* appended by im_hdr when set and not empty */
extern IM_API int im_rawflag;        /* 1: integer transfers keep FITS byte order */

#ifdef __cplusplus
}
#endif

#endif
