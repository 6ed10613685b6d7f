/* im.h: internal records of the image library (descriptor, cards, windows)
 * and the IM_ routines shared between its source files.
 * Every internal routine works on the current descriptor f, which a public
 * operation establishes with IM_set_fid before touching image state. */
#ifndef IM_IM_H
#define IM_IM_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <sys/types.h>

#include "imlib.h"

/* On-disk form of an image. */
enum file_type_enum {
    Type_unknown = 0,
    Type_fits = 1,
    Type_zz = 2,
    Type_iraf = 3,
    Type_S = 4
};

#define FID_MAGIC 31489        /* 0x7B01: descriptor is valid */
#define IM_NAME_LEN 1024       /* user_filename, hdr_filename, pix_filename */
#define IM_TEMP_LEN (IM_NAME_LEN + 16) /* pix_temp, hdr_temp: a name and
                                  ".tmp" with six unique characters */
#define IM_SUBSET_LEN 64       /* subset_text, terminator included */
#define IM_MAX_AXES 9          /* NAXIS1 .. NAXIS9 */
#define IM_N_WINDOWS 5
#define IM_CARD_LEN 80
#define IM_CARDS_PER_BLOCK 50

/* One header card node.  text: at most 80 characters, NUL-terminated,
 * stored as given (not blank padded).  While the node is free, next links
 * the free list and prev is unused. */
struct header_struct {
    char text[IM_CARD_LEN + 1];
    header_struct *next;
    header_struct *prev;
};

/* One allocation block of card nodes; next is the block obtained before. */
struct hdr_blk_struct {
    header_struct headers[IM_CARDS_PER_BLOCK];
    hdr_blk_struct *next;
};

/* One window over the pixel array.  Per-axis arrays are indexed by axis
 * number 1 to 9 (entry 0 unused); they have room for every axis that the
 * descriptor can hold.  Byte positions are relative to io_offset. */
struct window_struct {
    int naxis_skip[IM_MAX_AXES + 1];   /* 0-based start along each axis */
    int naxis_take[IM_MAX_AXES + 1];   /* length along each axis */
    int left_to_read[IM_MAX_AXES + 1]; /* read-cursor step counters */
    int left_to_write[IM_MAX_AXES + 1];
    int64_t start_byte;                /* first pixel of the window */
    int64_t total_bytes;               /* bytes in the window; < 0 undefined */
    int64_t line_bytes;                /* bytes of one window line */
    int64_t skip_bytes;                /* end of a window line to the next */
    int64_t cur_byte_read;
    int64_t total_bytes_left_to_read;
    int64_t line_bytes_left_to_read;
    int64_t cur_byte_write;
    int64_t total_bytes_left_to_write;
    int64_t line_bytes_left_to_write;
    int axis_len_real[10];             /* kept, never used */
};

/* The per-image descriptor.  Owned by the library from new_fid (im_open)
 * to destroy_fid (im_close). */
struct fid_struct {
    fid_struct *llink;
    fid_struct *rlink;
    int id;
    int mode;                  /* 0 not open, 1 read, 2 write, 3 update */
    file_type_enum file_type;
    char user_filename[IM_NAME_LEN];
    char hdr_filename[IM_NAME_LEN];
    char pix_filename[IM_NAME_LEN];
    char subset_text[IM_SUBSET_LEN];
    int unix_hdr_fid;          /* 0: standard stream; < 0 open failed */
    int unix_pix_fid;          /* 0: standard stream; -1 after close */
    int bytes_per_pix;         /* 1, 2, 4, 8; 0 while BITPIX is empty */
    int n_pixels;              /* product of NAXIS1 .. NAXISn */
    int64_t io_offset;         /* byte offset of the first pixel (64-bit:
                                  an extension may start past 2 GiB) */
    int line_skip_pix;         /* padding pixels after each line (IRAF) */
    int need_wpix_setup;       /* 1 until the first pixel write */
    int pix_swap;              /* 1: stored pixels are in the byte order
                                  opposite to the host's (IRAF images from
                                  another kind of host); set by the IRAF
                                  reader, the readers reverse them */
    int pix_unsigned16;        /* 1: stored 16-bit pixels are unsigned (IRAF
                                  type 11); set by the IRAF reader with a
                                  BZERO 32768 card, the readers flip their
                                  top bit so that value = stored + 32768 */
    int64_t bytes_written;     /* pixel bytes stored by the writers (a new
                                  image that got fewer than its axes call
                                  for is refused at close) */
    int changed;               /* IM_CHANGED_ bits: what a caller changed
                                  since the open; an update with none is
                                  closed without writing */
    int made_files;            /* IM_MADE_ bits: files this image created
                                  (none existed under the name before);
                                  a failed close of a new image removes
                                  them, never a file that existed */
    char pix_temp[IM_TEMP_LEN];  /* "" or the temporary file that a new
                                  image writes instead of the pixel file
                                  (FITS: the one file) that existed under
                                  pix_filename; set where the file is
                                  created (IM_create_file), renamed over
                                  pix_filename by a successful close,
                                  removed by a failed one or a discard */
    char hdr_temp[IM_TEMP_LEN];  /* the same for the separate header file
                                  (IRAF .imh, ZZ .zzh) and hdr_filename */
    hdr_blk_struct *header_blocks;
    int val_bitpix;
    int val_naxis[IM_MAX_AXES + 1];
    int val_blank_flag;
    int val_blank;
    double val_scale;
    double val_offset;
    int n_headers;
    int card_refusal;          /* why the latest add or replace refused its
                                  card (card; IM_card_fail says it) */
    header_struct *cur_header;
    header_struct *first_header;
    header_struct *last_header;
    header_struct *free_header;
    window_struct *cur_window;
    window_struct windows[IM_N_WINDOWS];
    int magic;
};

/* fid_struct.changed: set by the card store (cards) and the pixel writers
 * (pixels); a read or update open clears it once the header is loaded. */
#define IM_CHANGED_CARDS 1
#define IM_CHANGED_PIXELS 2

/* fid_struct.made_files: set where the files are created (pixel setup, the
 * IRAF and ZZ header writers). */
#define IM_MADE_PIX 1
#define IM_MADE_HDR 2
#define IM_WROTE_HDR 4   /* the separate header file (IRAF, ZZ) was created
                            or overwritten */
#define IM_REPLACED_PIX 8 /* the close renamed pix_temp over pix_filename */

struct IMHDR2;

/* The internal routines and the current descriptor live in a namespace of
 * their own: built with hidden visibility they are not exported from the
 * shared library, and a caller's own globals (a C program's `f`) cannot
 * clash with them in a static link.  Every library source file sees them
 * unqualified through the using-directive below. */
namespace im_internal {

/* The current descriptor, shared by every library source file. */
extern fid_struct *f;

/* Forms and suffixes (forms).  IM_suffixes: the table of suffixes and
 * the forms they name, in the order a name that does not open is retried
 * with them; IM_SUFFIX_ROOM: room a path keeps for the longest. */
struct suffix_struct {
    const char *suffix;
    file_type_enum type;
};
#define IM_N_SUFFIXES 5
#define IM_SUFFIX_ROOM 5
extern const suffix_struct IM_suffixes[IM_N_SUFFIXES];
int IM_has_ending(const char *name, const char *ending);
file_type_enum IM_type_from_ending(const char *name);
const char *IM_suffix_of(file_type_enum type);
void IM_suffix_list(char *out, size_t size);

/* Descriptors (fid) */
fid_struct *new_fid(void);
void destroy_fid(fid_struct *p);
fid_struct *find_fid(int id);
int IM_set_fid(int id);
fid_struct *IM_fid_of(int id);

/* Closing (close): release the current image without completing it; a
 * new image's files that it created are removed.  Leaves f null. */
void IM_discard(void);

/* Pixel loops that must vectorise: GCC may if-convert floating selects
 * only when comparisons are assumed not to trap (no loop reads the
 * exception flags, so results do not change), and on x86-64 builds each
 * such routine for AVX-512, AVX2 and the baseline, picked at load time (no
 * fused multiply-add is enabled, so all give the same bits).  Other CPUs,
 * and clang, get the plain loops. */
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__)
#define IM_VECTOR_KERNEL __attribute__((optimize("no-trapping-math"), target_clones("arch=x86-64-v4", "avx2", "default")))
#else
#define IM_VECTOR_KERNEL
#endif

/* The blank values, the one source of their bit patterns.  The float
 * blank has all 32 bits set.  The double blank is one 64-bit value, a
 * quiet NaN with the sign bit set, stored in host order in a caller's
 * double and written most significant byte first to FITS (FF FF FF FF 7F
 * FF FF FF), on every host.  Both are copied bit for bit, never computed. */
#define IM_FLOAT_BLANK_BITS 0xFFFFFFFFu
#define IM_DOUBLE_BLANK_BITS 0xFFFFFFFF7FFFFFFFull

/* The value of type T whose bits are those of bits (of T's size). */
template <typename T, typename B>
inline T IM_from_bits(B bits)
{
    static_assert(sizeof(T) == sizeof(B), "a bit pattern of the value's size");
    T v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

inline float IM_float_blank(void) { return IM_from_bits<float>(uint32_t(IM_FLOAT_BLANK_BITS)); }
inline double IM_double_blank(void) { return IM_from_bits<double>(uint64_t(IM_DOUBLE_BLANK_BITS)); }

/* Byte order (byteorder); n counts bytes */
void IM_swap_2(unsigned char *buffer, int n);
void IM_swap_4(unsigned char *buffer, int n);
void IM_swap_8(unsigned char *buffer, int n);

/* Card store (card) */
#define IM_MAX_CARDS 100000   /* cards a header may hold (8 MB of FITS) */
int IM_card_add(const char *card);
int IM_card_append(const char *card);
int IM_card_fail(int code, const char *form, const char *card);
int IM_card_full(void);
int IM_card_replace(const char *card);
int IM_card_delete(void);
int IM_card_find(const char *keyword);
int kwd_isvalid(const char *keyword);

/* Card reading (rkey): card h of image p as seen through p's current
 * window (NAXISn, CRPIXn adjusted) into buffer (81 bytes). */
void IM_card_seen(const fid_struct *p, const header_struct *h, char *buffer);

/* Keyword values (wkey): a double as a 20-column card value, " %19.10G"
 * with a '.' appended (first blank dropped) when the text has none. */
void IM_format_real(char *text, size_t size, double value);
/* The integer and string card values of the public writers: "%20d", and
 * "'%-8.68s'" (quoted, cut to 68, padded to 8). */
void IM_format_int(char *text, size_t size, int value);
void IM_format_string(char *text, size_t size, const char *value);
/* Write "keyword= value" on f: replace the keyword's card or add one after
 * the current card; returns 1, 0 structural, -2 refused (see wkey). */
int IM_wkey_set(const char *keyword, const char *value);

/* Windows (window): IM_define_window and IM_select_window are im_dwin
 * and im_swin on the current descriptor. */
void IM_init_w(void);
int IM_define_window(int window, const int *takes, const int *skips);
int IM_select_window(int window);
int IM_r_rewind(window_struct *w);
int IM_w_rewind(window_struct *w);

/* The window walk shared by read_bytes and write_bytes.  It moves up to
 * n_bytes of the current window's read (writing == 0) or write cursor,
 * each call of move taking one run of bytes that lie together in the file
 * (consecutive whole lines and planes when the window spans them, no
 * padding between), of at most IM_WALK_PIECE bytes, so that a large
 * request costs few system calls.  move(chunk, file_pos, len)
 * transfers len bytes at byte file_pos of the pixel file (io_offset
 * included) and returns the count moved, or a negative value to stop the
 * walk.  Returns the bytes moved, or -2 when move stopped it (or returned
 * 0, or there is no current window).  A request is cut to what is left of
 * the window and to 2147483640 bytes (the result is an int): callers move
 * larger requests in pieces. */
#define IM_WALK_PIECE 1048576
typedef int (*IM_mover)(unsigned char *chunk, int64_t file_pos, int len);
int IM_walk(int writing, unsigned char *buffer, int64_t n_bytes, IM_mover move);

/* Failure reasons (errmsg): IM_fail records the first reason after a
 * clear and returns code; see im_errmsg. */
#define IM_REASON_LEN 512
void IM_error_clear(void);
int IM_fail(int code, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void IM_error_context(const char *context);
const char *IM_errno_words(int e);

/* File helpers (fileio) */
int IM_open_file(const char *path, int flags);
int IM_create_file(const char *path, int *made, char *temp, size_t temp_size);
int IM_read_full(int fd, void *buffer, int n);
int IM_read_full_at(int fd, void *buffer, int n, int64_t pos);
int IM_write_all(int fd, const void *data, size_t n);
int IM_write_all_at(int fd, const void *data, size_t n, int64_t pos);
ssize_t IM_write_some_at(int fd, const void *data, size_t n, int64_t pos);

/* FITS records: 2880 bytes, 36 cards of 80 columns. */
#define IM_FITS_RECORD 2880
#define IM_FITS_CARDS 36

/* The open in progress (open and the header readers it calls). */
struct open_struct {
    int unix_mode;      /* flags of every file: O_RDONLY mode r, O_RDWR mode u */
    int hdr_is_open;    /* the files the open holds, closed if it fails (the */
    int pix_is_open;    /* ZZ and IRAF readers close the header file themselves) */
    char ext_selector[IM_CARD_LEN + 1]; /* "SCI,2" of "file.fits[SCI,2]", or "" */
};

/* Header readers (fits_read, zz_read, s_read); the IRAF one is below. */
int IM_get_fits_header(void);
int IM_get_zz_header(open_struct *op);
int IM_get_s_header(void);

/* FITS cards and image extensions (fits_read, fits_ext) */
void IM_take_card(char *card, const char *src);
int IM_fits_record_cards(const char *record, const char *form, int *expect_simple);
int IM_fits_selector(char *path, char *sel, size_t size);
int IM_get_fits_extension(const char *sel);

/* IRAF headers: reader (iraf_read) and writer (iraf_write) */
void IM_iraf_to_ascii(char *strng, int nn);
void IM_iraf_to_ascii_order(char *strng, int nn, int other_order);
void IM_iraf2_decode(const unsigned char *raw, IMHDR2 *h);
int IM_get_iraf_header(int open_flags);
int IM_write_iraf_hdr(void);

/* Header writing: the dispatcher (close), the FITS (fits_write) and ZZ
 * (zz_write) writers; IM_key_is compares a card's keyword (card). */
int IM_write_hdr(void);
int IM_write_fits_hdr(void);
int IM_write_zz_hdr(void);
int IM_key_is(const char *text, const char *key8);
/* Cards of the current store that a FITS header carries (CHECKSUM and
 * DATASUM are left out), and the bytes of the header they make. */
int IM_fits_cards(void);
int64_t IM_fits_hdr_bytes(int64_t n_cards);

/* IRAF time stamps (iraftime) */
int32_t get_iraf_time(void);

/* Subsets (setw1) */
int IM_setw1(fid_struct *fp, int *skips, int *takes);

/* World-coordinate records (rwc, rwc_lin).  IM_rwc_pair: the celestial
 * pair of r, the first longitude axis and the first latitude axis after it;
 * returns 0, -1 no longitude axis, -2 no latitude axis after it (*lon set).
 * IM_rwc_linear: see rwc_lin. */
int IM_rwc_pair(const rwc_struct *r, int *lon, int *lat);
/* Largest skew (radians) of the celestial pair's matrix that IM_rwc_linear
 * takes as a rotation: it moves no pixel within 10000 pixels of the
 * reference pixel by more than half a pixel. */
#define IM_RWC_SKEW_LIMIT 1e-4
void IM_rwc_linear(rwc_struct *r, int fid);

} /* namespace im_internal */

using namespace im_internal;

#endif
