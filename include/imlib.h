/* imlib.h: public interface of the image library, usable from C (C89 on)
 * and C++.  Users write #include <imlib.h> with -I<prefix>/include; the
 * records of the world-coordinate routines are in imlib/map_struct.h and
 * imlib/rwc_struct.h, the export mark in imlib/export.h, all included here.
 *
 * Images are reached through handles: an int from 1 upward returned by
 * im_open, one more for every later im_open (failed ones included), never
 * reused within a process.  Every routine that takes a handle first makes
 * that image the library's current one (the caller never sees it) and
 * returns IM_ERR_NOTOPEN at once when the handle is not an open image.
 *
 * Results: a negative int is a failure, 0 or a positive int a success
 * (IM_OK, a count or a search result).  The image routines (im_) use the
 * four codes below, each with the general meaning given there; each
 * contract says what the code means for that routine.  The world-coordinate
 * routines (rwc_, map_) return small negative codes of their own, listed in
 * their contracts.  Nothing is printed on failure (except that a
 * descriptor that cannot be allocated, or a host of unknown byte order,
 * ends the process); the reason for most failures is kept for im_errmsg.
 *
 * Shared state: each image has a current card (moved by keyword and card
 * operations), a current window and a read and a write cursor in it (moved
 * by pixel transfers); the library also keeps the failure reason, the text
 * of im_key, the raw-mode flag and im_history_line.  Single-threaded and
 * not reentrant. */
#ifndef IMLIB_H
#define IMLIB_H

#include "imlib/export.h"
#include "imlib/map_struct.h"
#include "imlib/rwc_struct.h"

/* ---- Result codes ----------------------------------------------------- */

#define IM_OK 0               /* done */
#define IM_ERR_NOTFOUND (-1)  /* not found or not recognised: no such
                                 keyword, card or comment, content of no
                                 known form */
#define IM_ERR_REFUSED (-2)   /* refused: a bad argument, a value the
                                 header rules refuse, or a read or write
                                 that failed */
#define IM_ERR_NOTOPEN (-3)   /* the handle is not an open image (im_open:
                                 an unknown mode) */
#define IM_ERR_UNUSABLE (-4)  /* a value, card or subset text that cannot
                                 be used as it stands */

/* Bytes of a card buffer: 80 columns and the terminating NUL.  Buffers
 * handed to im_rkey_c and im_rkey_t must hold IM_CARD_SIZE chars; the
 * library does not know their size. */
#define IM_CARD_SIZE 81

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Opening and closing ---------------------------------------------- */

/* im_open: open the image "path[ext][,subset]" in mode "r" read, "u"
 * update or "w" write (only the first character counts, so "read" and
 * "write" do; "r-" and "w-" let the path "-" be standard input / output).
 * The form (FITS, IRAF .imh, ZZ .zzh, S) comes from the name's suffix or
 * the file's content; when no file has the name, the name with .imh, .zzh,
 * .fits, .fit and .s added is tried in that order.  "[ext]" selects a FITS
 * image extension ([2], [SCI], [SCI,2]), reading only.  A read or update
 * open loads the whole header, defines
 * window 1 from the subset text (the whole image without one) and makes it
 * current.  A write open creates no file: the first pixel write (or the
 * close) settles the form from the name's suffix (.imh IRAF, .zzh ZZ,
 * .fits or .fit FITS), else from the first image im_hdr copied (its suffix
 * added), else FITS (.fits added), and creates the files.
 *   > 0  the handle.
 *   IM_ERR_NOTFOUND  content not recognised or unusable: no known form, a
 *        short or damaged header, an image too large for an int byte
 *        count, no such extension or not an image extension.
 *   IM_ERR_REFUSED   null name or mode, a name of 1024 bytes or more, no
 *        file opened under the name or its suffixed forms, a pixel file
 *        that cannot be opened, "-" in mode "w", an extension selector
 *        that is malformed, too long, or not in mode "r".
 *   IM_ERR_NOTOPEN   an unknown mode, or "-" in mode "r" (not "r-").
 *   IM_ERR_UNUSABLE  subset text longer than 63 characters, or one that
 *        cannot be applied to the image.
 * A failed open consumes a handle number, releases everything it took and
 * leaves its reason for im_errmsg. */
IM_API int im_open(const char *name, const char *mode);

/* im_close: completes an image opened for writing or update (pixel setup
 * if no pixel was written, FITS padding, the header) and releases it.
 *   IM_OK  closed and released.  An update that changed no card and no
 *       pixel writes nothing (a FITS checksum stays true).  S images have
 *       no header writer: their pixels are written in place, and closing
 *       an S image stores nothing more.
 *   IM_ERR_REFUSED  failed, released all the same: no pixel file, fewer
 *       pixels written than NAXISn call for, a write or the file's close
 *       failed (disk full, file-size limit), cards changed in an S image.
 *       Files that a new image created itself are removed; a file that
 *       existed under the name was overwritten from the first pixel write
 *       and is left as it is (the reason names it).
 *   IM_ERR_UNUSABLE  refused, the image stays open and unchanged: its
 *       cards cannot be stored as they stand (a FITS header that needs more
 *       2880-byte records than the file has before its pixels, an IRAF
 *       header without a storable BITPIX or with more than 7 axes).  Mend
 *       the cards and close again, or discard the image with
 *       im_file(id, "d").
 *   IM_ERR_NOTOPEN  handle not open.
 * Clears the reason for im_errmsg once the handle is found open; failures
 * leave theirs. */
IM_API int im_close(int id);

/* im_file: operation "p" prints the header summary (title, ruler, every
 * card as im_rkey_t reads it) and "q" the card-list dump, on standard
 * output; "d" discards the image: it is released without being completed,
 * and a new image's files that it created are removed (files that existed
 * under its names stay as the writes so far left them).  Any other
 * operation, or a null one, does nothing.
 *   IM_OK; IM_ERR_NOTOPEN handle not open (nothing done).
 * "p" leaves the current card where it was. */
IM_API int im_file(int id, const char *operation);

/* im_errmsg: the reason for the latest failure of im_open, im_hdr, a pixel
 * read or write, im_close, rwc_fid or rwcf, as text for a message (""
 * after a success of one of them): which file and why (no such file,
 * permission denied, content of no known form, unsupported header version,
 * a refused subset field and why, a file that cannot be created, a write
 * refused by the system: disk full, file too large, pixels missing at
 * close).  Each of those calls clears it on entry.  Owned by the library;
 * valid until the next of those calls. */
IM_API const char *im_errmsg(void);

/* ---- Header copying --------------------------------------------------- */

/* im_hdr: copy into image new_id the cards other than HISTORY of the first
 * old image (unless options begin with 'h'), then the HISTORY cards of
 * every old image in order (old_ids ends with 0; each image's history is
 * marked "HISTORY *0 (imported)" when its first history card is not marked
 * with '*', or is that marker alone when it has none), then
 * im_history_line, when set and not empty, as "HISTORY *n text" (n the
 * count of old images, at most 71 characters of the text).  Cards are
 * appended at the end through the header rules, as read through each old
 * image's current window (NAXISn and CRPIXn of the sub-image); a card the
 * rules refuse is left out.  A new image of unknown form takes the first
 * old image's form.  options may be null.
 *   IM_OK  copied.
 *   IM_ERR_NOTFOUND  more than 51 old handles, or the first old image has
 *       an empty header.
 *   IM_ERR_REFUSED  options beginning with 'c'; an old header whose
 *       history cannot be read (a later old handle not open; with options
 *       'h', the first too); the new header has no room for a card (100000
 *       cards, or no memory; reason for im_errmsg).
 *   IM_ERR_NOTOPEN  new_id not open; the first old handle not open when the
 *       new image's form is unknown or its cards are copied.
 * An empty or null old_ids copies nothing but the history line.  On
 * failure the cards appended so far stay.  Moves the current card of every
 * image it reads; the new image's is left on its last card. */
IM_API int im_hdr(int new_id, const int *old_ids, const char *options);

/* Read by im_hdr: a history line for the current processing step, null
 * unless the caller sets it.  The library never changes it. */
extern IM_API char *im_history_line;

/* ---- Keyword reads ---------------------------------------------------- */

/* The keyword reads search the header for keyword from the card after the
 * current one, wrapping round once, and make the card found current (also
 * when the result is IM_ERR_UNUSABLE).  Values are read from column 11 on.
 * Results of a search that found the keyword:
 *   3  found after the current card;
 *   2  found at the current card itself;
 *   1  found after the search wrapped round to the first card.
 * im_rkey_i, im_rkey_r and im_rkey_d read values as seen through the
 * image's current window: NAXISn is the window's length on axis n and
 * CRPIXn is shifted by the window's start (in single precision); the
 * stored cards keep the whole-image values.  A failed read leaves *value
 * untouched.  Failures of every typed read:
 *   IM_ERR_NOTFOUND  keyword not found (or an empty header);
 *   IM_ERR_REFUSED   null value pointer or keyword, keyword longer than 8
 *                    characters;
 *   IM_ERR_NOTOPEN   handle not open;
 *   IM_ERR_UNUSABLE  a card found for NAXISn, CRPIXn, CTYPEn, CROTAn or
 *                    CRVALn with n above NAXIS; a value that does not read
 *                    as the type asked for. */

/* im_rkey_i: an int ("%d").  Two computed keys search nothing and return
 * IM_OK: "npix" gives the current window's pixel count (0 while BITPIX is
 * empty), "filetype" the form (0 unknown, 1 FITS, 2 ZZ, 3 IRAF, 4 S).
 *   3, 2, 1 found; IM_OK a computed key; failures as above. */
IM_API int im_rkey_i(int id, int *value, const char *keyword);

/* im_rkey_l: a logical: 1 when column 30 holds 'T', else 0 (no window
 * adjustment).  3, 2, 1 found; failures as above. */
IM_API int im_rkey_l(int id, int *value, const char *keyword);

/* im_rkey_r: a float ("%f").  3, 2, 1 found; failures as above. */
IM_API int im_rkey_r(int id, float *value, const char *keyword);

/* im_rkey_d: a double ("%lf").  3, 2, 1 found; failures as above. */
IM_API int im_rkey_d(int id, double *value, const char *keyword);

/* im_rkey_c: a string: the text between the quote in column 11 and the
 * next quote (blanks inside kept, a doubled quote is no escape) into value,
 * which holds IM_CARD_SIZE chars.  No window adjustment.
 *   3, 2, 1 found; IM_ERR_NOTFOUND also when the value has no quote in
 *   column 11 or no closing quote (value untouched); other failures as
 *   above. */
IM_API int im_rkey_c(int id, char *value, const char *keyword);

/* ---- Card reading ----------------------------------------------------- */

/* im_rkey_t: copy a whole card (at most 80 characters, terminated) into
 * buffer, which holds IM_CARD_SIZE chars.  The first character of key
 * chooses: "1" the first card, "+" the card after the current one, "-" the
 * one before it, "=" the current card, "" the last card, "/" the comment
 * of the current card (the text after the first '/' outside quotes in
 * columns 11 to 77, usually starting with a blank), anything else a
 * keyword search as for the keyword reads.  The card read (not a comment)
 * becomes current, and the copy's value is adjusted for the current window
 * as by im_rkey_i (an adjusted card loses its comment).  Walk a header
 * with "1", then "+" until a negative result.
 *   3  "+", "" when the last card was not current, a keyword found after
 *      the current card;
 *   2  "=", "1" or "" when that card was already current, a comment,
 *      a keyword found at the current card;
 *   1  "-", "1" when the first card was not current, a keyword found after
 *      wrapping round.
 *   IM_ERR_NOTFOUND  no card there (an empty header, no current card, "+"
 *      at the last card, "-" at the first), no comment, a keyword not
 *      found or longer than 8 characters; buffer untouched.
 *   IM_ERR_REFUSED   null buffer or key.
 *   IM_ERR_NOTOPEN   handle not open.
 *   IM_ERR_UNUSABLE  a card found for a key that names an axis above
 *      NAXIS (NAXISn, CRPIXn, CTYPEn, CROTAn, CRVALn); it was copied and
 *      made current. */
IM_API int im_rkey_t(int id, char *buffer, const char *key);

/* ---- Keyword writes --------------------------------------------------- */

/* The typed writes build the card "%-8.8s= %s" from keyword (cut to 8
 * characters) and the value text, replace the keyword's card in place when
 * the header has one (its comment is dropped), or else add it after the
 * current card (in front of the first card with no current card); the card
 * written becomes current.  A keyword longer than 8 characters is never
 * found, so its card is added, even next to a card of its first 8.  Every card passes through the header rules,
 * which keep BITPIX, NAXIS, NAXISn, BLANK, BSCALE and BZERO in step with
 * the pixel layout.  Results of every typed write:
 *   1  written;
 *   IM_OK  a structural keyword (SIMPLE, END, EXTEND, BLOCKED), never
 *      stored;
 *   IM_ERR_REFUSED  null keyword; a value the rules refuse (BITPIX other
 *      than 8, 16, 32, -32, -64; NAXIS or NAXISn not a number or negative,
 *      NAXIS above 9, axes whose pixel count passes an int); the header is
 *      full (100000 cards) or no memory; nothing changed then;
 *   IM_ERR_NOTOPEN  handle not open. */

/* im_wkey_i: an int, right-justified to column 30 ("%20d"). */
IM_API int im_wkey_i(int id, int value, const char *keyword);

/* im_wkey_r: a real: " %19.10G", and when that has no '.', the first blank
 * dropped and a '.' appended, so the text stays 20 columns.
 * IM_ERR_REFUSED also for a NaN or infinite value (no card form). */
IM_API int im_wkey_r(int id, double value, const char *keyword);

/* im_wkey_d: the same text and results as im_wkey_r. */
IM_API int im_wkey_d(int id, double value, const char *keyword);

/* im_wkey_c: a string in quotes from column 11, cut to 68 characters and
 * padded with blanks to 8.  IM_ERR_REFUSED also for a null value. */
IM_API int im_wkey_c(int id, const char *value, const char *keyword);

/* im_wkey_l: a logical: 'T' (value not 0) or 'F' in column 30. */
IM_API int im_wkey_l(int id, int value, const char *keyword);

/* ---- Card editing ----------------------------------------------------- */

/* im_wkey_t: edit the header card by card; the first character of
 * position chooses: 'e' ("end") appends card at the end, 'a' ("add") adds
 * it after the current card (in front of the first with none current),
 * 'r' replaces the current card (it stays current), 'd' deletes the
 * current card (card is ignored and may be null; the next card, else the
 * previous one, becomes current), '/' sets the current card's comment to
 * card (after the value, from column 34 at the earliest, cut at column 80;
 * not passed through the header rules).  An added card becomes current.
 * Cards are cut to 80 columns, control characters become blanks.
 *   1  done.
 *   IM_OK  a structural card, or a layout card (BITPIX, NAXIS, NAXISn)
 *      that another card holds with the same value: not stored.
 *   IM_ERR_NOTFOUND  'r', 'd' or '/' with no current card.
 *   IM_ERR_REFUSED  a card the rules refuse (as the typed writes; also a
 *      layout card that another card holds with another value, or one
 *      without '=' in column 9 or 10), an unknown position, a null
 *      position or card.
 *   IM_ERR_NOTOPEN  handle not open. */
IM_API int im_wkey_t(int id, const char *card, const char *position);

/* ---- Indexed keyword names and blank values --------------------------- */

/* im_key: base followed by n in decimal ("%s%d"; "NAXIS", 2 gives
 * "NAXIS2"), cut to 15 characters; a null base counts as empty.  Returns a
 * static buffer of the library, overwritten by the next call. */
IM_API char *im_key(const char *base, int n);

/* im_blank: store the float blank, the value with all 32 bits set, at ptr
 * (nothing for a null ptr).  Pixel reads into floats give it for blanks. */
IM_API void im_blank(float *ptr);

/* im_blankd: store the double blank, the 64-bit value FFFFFFFF7FFFFFFF in
 * host order (the same number on every host), at ptr (nothing for null). */
IM_API void im_blankd(double *ptr);

/* ---- Windows ---------------------------------------------------------- */

/* Pixel transfers go through the image's current window: window 0 is the
 * whole image, windows 1 to 4 are boxes defined by im_dwin.  A read or
 * update open leaves window 1 current (the subset, or the whole image).
 * Each window keeps a read and a write cursor; transfers continue where
 * the previous one in the same direction stopped. */

/* im_dwin: define window (1 to 4) from takes and skips, arrays of 10:
 * takes[0] counts the axes given, skips[n] and takes[n] (n = 1 to 9) are
 * the pixels skipped and taken on axis n; skips are relative to the
 * current window, the box is clipped to the whole image, axes not given
 * keep the current window's extent.  Both cursors of the new window are
 * rewound; the current window does not change.
 *   IM_OK; IM_ERR_REFUSED window outside 1 to 4, null takes, or null skips
 *   with axes given; IM_ERR_NOTOPEN handle not open.
 * An image without a current window gets window 0 built and made current
 * first, also when the call then fails. */
IM_API int im_dwin(int id, int window, const int *takes, const int *skips);

/* im_swin: make window (0 to 4) current, its cursors where they stood.
 *   IM_OK; IM_ERR_REFUSED window outside 0 to 4 or not defined;
 *   IM_ERR_NOTOPEN handle not open.
 * As im_dwin, window 0 is built first when there is no current window. */
IM_API int im_swin(int id, int window);

/* ---- Pixel reads ------------------------------------------------------ */

/* The reads deliver the next n_pix pixels of the current window into
 * buffer, which is the work area and is converted in place.  Results of
 * every read:
 *   >= 0  pixels delivered: fewer than n_pix at the end of the window, 0
 *      once it is exhausted;
 *   n_pix < 0: the window's read cursor is rewound and its pixel count
 *      returned (0 while BITPIX is empty); nothing is read;
 *   IM_ERR_REFUSED  the image's BITPIX does not suit the routine, null
 *      buffer, no current window, or a short read (reason for im_errmsg;
 *      the window's count of pixels left is as before the call, its
 *      cursor keeps the lines completed, and pixels before the failure
 *      may be in the buffer, converted or not);
 *   IM_ERR_NOTOPEN  handle not open.
 * Each read of an open image clears the reason for im_errmsg on entry. */

/* im_rpix_i: BITPIX 32 as ints in host order (FITS order in raw mode). */
IM_API int im_rpix_i(int id, int *buffer, int n_pix);

/* im_rpix_s: BITPIX 16 as shorts in host order (FITS order in raw mode);
 * unsigned IRAF pixels come as the stored value - 32768 (their BZERO adds
 * it back).  A read that fails on a pixel file named "*.H" is retried on a
 * copy that the external program "hdecomp" decompresses into a temporary
 * file. */
IM_API int im_rpix_s(int id, short *buffer, int n_pix);

/* im_rpix_c: BITPIX 8 as bytes, unchanged. */
IM_API int im_rpix_c(int id, unsigned char *buffer, int n_pix);

/* im_rpix_r: BITPIX 8, 16, 32 or -32 as floats: values scaled by BSCALE
 * then BZERO (integers, and floats of FITS images), each step rounded to
 * single precision; blanks (the BLANK code, NaN, infinity) become the
 * float blank (im_blank).  IM_ERR_REFUSED also for BITPIX -64. */
IM_API int im_rpix_r(int id, float *buffer, int n_pix);

/* im_rpix_d: every BITPIX as doubles: integers convert exactly, scaling in
 * double precision, blanks become the double blank (im_blankd). */
IM_API int im_rpix_d(int id, double *buffer, int n_pix);

/* ---- Pixel writes ----------------------------------------------------- */

/* The writes store n_pix caller pixels at the write cursor of the current
 * window (window 0, built at the first write, for a new image).  The
 * header must be complete first (BITPIX and the NAXIS cards): the first
 * write of a new image settles its form, creates its files and fixes where
 * its pixels begin.  Cards other than those may still change afterwards:
 * the header is stored at im_close, in the FITS header space counted from
 * the cards present at the first write (so a card whose value is known
 * only after the pixels, such as DATAMAX, is written first with a
 * provisional value and rewritten before the close).  The buffer is converted in place to the stored form
 * (all n_pix pixels, even when fewer are written).  Results of every
 * write:
 *   >= 0  pixels written: fewer than n_pix once the window is full, 0
 *      after; n_pix = 0 only runs the first-write setup;
 *   n_pix < 0: the window's write cursor is rewound and its pixel count
 *      returned; nothing is written;
 *   IM_ERR_REFUSED  the image's BITPIX does not suit the routine, null
 *      buffer, an image opened for reading, files that cannot be created,
 *      an updated IRAF image of the other byte order or with unsigned
 *      pixels, a write that failed (disk full, file too large: the cursor
 *      keeps the lines completed, the window's count does not move);
 *      reason for im_errmsg;
 *   IM_ERR_NOTOPEN  handle not open. */

/* im_wpix_i: ints into a BITPIX 32 image (taken in FITS order in raw
 * mode). */
IM_API int im_wpix_i(int id, int *buffer, int n_pix);

/* im_wpix_s: shorts into a BITPIX 16 image (as im_wpix_i). */
IM_API int im_wpix_s(int id, short *buffer, int n_pix);

/* im_wpix_c: bytes into a BITPIX 8 image, unchanged. */
IM_API int im_wpix_c(int id, unsigned char *buffer, int n_pix);

/* im_wpix_r: floats into a BITPIX 8, 16, 32 or -32 image: blanks and
 * values that are not finite become the blank code, BSCALE and BZERO are
 * undone (integers, and floats of FITS images, as the reads apply them),
 * values rounded and clipped to the stored type.  IM_ERR_REFUSED also for
 * BITPIX -64 or none. */
IM_API int im_wpix_r(int id, float *buffer, int n_pix);

/* im_wpix_d: doubles into a BITPIX 8, 16, 32, -32 or -64 image, as
 * im_wpix_r with the scaling undone in double precision.  IM_ERR_REFUSED
 * also when BITPIX is not given. */
IM_API int im_wpix_d(int id, double *buffer, int n_pix);

/* ---- Byte order and raw mode ------------------------------------------ */

/* im_byteorder: 1 when the host stores the most significant byte first, 0
 * when the least significant first; any other layout ends the process. */
IM_API int im_byteorder(void);

/* im_raw: switch raw mode on (v not 0) or off; returns the previous
 * setting, 0 or 1.  In raw mode im_rpix_i, im_rpix_s, im_wpix_i and
 * im_wpix_s leave FITS pixels in the file's byte order. */
IM_API int im_raw(int v);

/* The raw-mode flag, 0 or 1, set by im_raw; read by the integer transfers.
 * Set it through im_raw. */
extern IM_API int im_rawflag;

/* ---- World coordinates and subsets ------------------------------------ */

/* rwc_fid: fill r from the header of image fid: NAXIS, then per axis
 * CTYPEn, NAXISn, CDELTn, CRVALn, CRPIXn, CROTAn, then a PCi_j or CDi_j
 * matrix; absent keywords keep their defaults (no NAXIS: 0 axes; NAXISn 0;
 * CDELTn 1.0, also for 0; CRPIXn 1.0; others 0).  Values are read through
 * the image's current window.  Stamps r->magic last.
 *   0   filled.
 *   -9  r null, or the handle not open.
 *   -8  the header holds more than 9 axes (or a negative NAXIS), or a CTYPE
 *       longer than 68 characters; r->magic is 0.
 * Clears the reason for im_errmsg on entry and leaves one for a failure;
 * moves the image's current card. */
IM_API int rwc_fid(rwc_struct *r, int fid);

/* rwcf: translate subset text (fields separated by commas, as after the
 * comma of an image name; not modified) into skips[1..NAXIS] and
 * takes[1..NAXIS] with takes[0] = NAXIS, using r as filled by rwc_fid.
 * Arrays of 10.
 *   0    done.
 *   -9   r not filled by rwc_fid, a null argument, NAXIS outside 0 to 9,
 *        a CTYPE without terminator.
 *   -10  text longer than 63 characters.
 *   -(10+n)  field n malformed: a value that cannot be read, a field over
 *        39 characters or its axis name over 15, positions that are not
 *        finite; a tenth field gives -20.
 *   -(20+n)  a value of field n is a plain number without '@', '.' or
 *        exponent, which could be a pixel or a world value.
 *   -1   no axis for a field.
 *   -2   map_set refused the celestial axes.
 *   -3   mapf_string refused the sky position.
 *   A world value or sky position on an axis whose world coordinates cannot
 *   convert it: -4 the celestial pair's PC/CD matrix is skewed; -5 the
 *   matrix is singular there (or gives the axis no scale) or holds a value
 *   that is not finite; -6 the matrix couples the axis with another;
 *   -7 the axis is celestial and its projection is not AIT, TAN, SIN, ARC,
 *   POL or linear.
 * Clears the reason for im_errmsg on entry and leaves one for a failure.
 * On failure takes[0] is untouched and some other elements may have been
 * written. */
IM_API int rwcf(rwc_struct *r, const char *string, int *skips, int *takes);

/* ---- Map projections -------------------------------------------------- */

/* map_set: set up p for the longitude axis (ctype1: "RA--", "RA", "GLON",
 * "ELON") and latitude axis (ctype2: "DEC", "GLAT", "ELAT" to match) from
 * their CTYPE, CDELT, CRVAL, CRPIX and CROTA values (degrees).  The
 * projection comes from the suffix after the first four characters:
 * "-AIT", "-TAN", "-SIN", "-ARC", "-POL", "----" or none linear, any other
 * (equal on both axes) the caller's custom_mapf.  Stamps p->magic last;
 * custom_mapf and custom_mapi stay as the caller set them.
 *   0   set up.
 *   -1  p or ctype1 null, ctype1 not a celestial longitude.
 *   -2  ctype2 null or not the matching latitude.
 *   -3  the projection suffixes differ.
 *   -4  reference latitude not allowed (AIT needs 0, POL needs +-90).
 *   -5  a CDELT is 0.
 *   -6  CROTA1 not 0 and unequal to CROTA2.
 * A failure clears magic (mapf refuses p until a set-up succeeds): fields
 * stored before the failing step (reference point, scales, reference
 * pixel, rotation, system) may already be overwritten. */
IM_API int map_set(map_struct *p, const char *ctype1, const char *ctype2,
            double cdelt1, double cdelt2, double crval1, double crval2,
            double crpix1, double crpix2, double crota1, double crota2);

/* mapf: map the sky position (in_lon, in_lat), degrees in system coord_type
 * ('r' equatorial B1950, 'g' galactic, 'e' ecliptic, ' ' the map's own),
 * to the pixel position (*out_x, *out_y) through p.
 *   0   mapped.
 *   -1  p not set up by map_set, or a null pointer.
 *   -2  a system letter that map_coord does not know.
 * Outputs untouched on failure.  Overwrites p's working fields dlon, lat,
 * x, y. */
IM_API int mapf(map_struct *p, int coord_type, double in_lon, double in_lat,
         double *out_x, double *out_y);

/* mapf_string: map a position written as text -- an optional system letter
 * (e, g, r in either case), the longitude, the signed latitude, as
 * "r12h30m+10d" or "g120.5-3.25" -- through p, as mapf.  A longitude in
 * hours or degrees units without a letter is equatorial.  The text is
 * edited in place (see map_hms).
 *   0   mapped.
 *   -1  null text, no latitude sign after the longitude.
 *   -2  longitude malformed.
 *   -3  latitude malformed.
 *   -4  no system: no letter and a longitude that is not sexagesimal.
 *   -5  mapf failed (p not set up, a null output).
 * Outputs untouched on failure. */
IM_API int mapf_string(map_struct *p, char *string, double *out_x, double *out_y);

/* map_hms: read a plain number or a sexagesimal text ("12h30m",
 * "-10d30m", "45d30m15s"; hours are multiplied by 15) into *value, in
 * degrees.  Each unit letter found is overwritten with a NUL, also when
 * the text is then refused.
 *   1   sexagesimal.
 *   0   plain number (anything after the number ignored).
 *   -1  malformed, null argument, a number that is not finite; *value
 *       untouched. */
IM_API int map_hms(char *string, double *value);

/* ---- Celestial conversion --------------------------------------------- */

/* map_coord: convert (in_lon, in_lat), degrees, from system in_type to
 * out_type ('r' equatorial B1950, 'g' galactic, 'e' ecliptic); equal
 * systems copy the input, a converted longitude lies in [0, 360).  The
 * outputs may be the caller's input variables.
 *   0   converted.
 *   -2  an unknown letter on either side, or a null output; outputs
 *       untouched. */
IM_API int map_coord(int in_type, double in_lon, double in_lat, int out_type,
              double *out_lon, double *out_lat);

#ifdef __cplusplus
}
#endif

#endif
