/* iraf_read: the IRAF image header reader -- the binary .imh record turned
 * into FITS-style cards, the user area and history, and the pixel file
 * located and checked.
 * Invariants: every read is bounded by the buffer it fills; on-disk text is
 * decoded into buffers that always hold a terminator; the header file is
 * closed before the reader returns, and the pixel file stays open only on
 * success. */
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <unistd.h>

#include "im.h"
#include "irafhdr.h"

static const int IRAF_PIX_NAME_MAX = 63;    /* longest pixel file name */
static const int IRAF_HIST_CHARS = 512;

/* IM_iraf_to_ascii: decode in place the nn bytes at strng as 16-bit
 * characters (the character in the low-order byte as the host sees it: the
 * first byte of each pair on a little-endian host).  The nn/2 characters
 * are packed at the start and followed by a NUL, which always lies inside
 * the area. */
void IM_iraf_to_ascii(char *strng, int nn)
{
    if (nn <= 0)
        return;
    int low = im_byteorder() == 0 ? 0 : 1;
    int n_chars = nn / 2;
    for (int i = 0; i < n_chars; i++)
        strng[i] = strng[2 * i + low];
    strng[n_chars] = '\0';
}

/* 1 while the header file of the read in progress is open. */
static int hdr_open = 0;

/* The BITPIX of an IRAF pixel type code, or 0 for an unknown code. */
static int iraf_bitpix(int32_t pixtype)
{
    switch (pixtype) {
    case 3:
        return 16;
    case 4:
    case 5:
        return 32;
    case 6:
        return -32;
    case 7:
        return -64;
    default:
        return 0;
    }
}

/* Byte offset of the pixels in the pixel file from im_pixoff (2-byte units
 * counted from 1; 0 means the classic 1024), or -1 when it is unusable:
 * negative, inside the pixel file's magic, or beyond an int. */
static int iraf_pixel_offset(int32_t pixoff)
{
    if (pixoff == 0)
        return IRAF_PIX_OFFSET;
    int64_t bytes = (static_cast<int64_t>(pixoff) - 1) * 2;
    if (bytes < 12 || bytes > INT_MAX)
        return -1;
    return static_cast<int>(bytes);
}

/* Add the cards of the IRAF history area (host character order): one
 * HISTORY card per newline-ended line, bounded by the 1024-byte area. */
static void iraf_history_cards(int id, const char *area)
{
    char hist[sizeof(IMHDR::im_history)];
    std::memcpy(hist, area, sizeof hist);
    IM_iraf_to_ascii(hist, static_cast<int>(sizeof hist));
    int i = 0;
    while (i < IRAF_HIST_CHARS && hist[i] != '\0') {
        int start = i;
        while (i < IRAF_HIST_CHARS && hist[i] != '\n' && hist[i] != '\0')
            i++;
        char card[8 + IRAF_HIST_CHARS + 1];
        std::snprintf(card, sizeof card, "HISTORY %.*s", i - start, hist + start);
        im_wkey_t(id, card, "add");
        if (i < IRAF_HIST_CHARS && hist[i] == '\n')
            i++;
    }
}

/* Form the pixel file path from the decoded im_pixfile text into
 * pix_filename.  Returns 0, or -1 for a name longer than 63 characters or
 * a path that does not fit. */
static int iraf_pixel_path(const char *pixfile)
{
    const char *text = pixfile;
    const char *bang = std::strrchr(text, '!');
    if (bang != nullptr)
        text = bang + 1;
    if (std::strncmp(text, "HDR$/", 5) == 0)
        text += 5;
    if (std::strncmp(text, "HDR$", 4) == 0)
        text += 4;
    if (std::strlen(text) > static_cast<size_t>(IRAF_PIX_NAME_MAX))
        return -1;

    int dir_len = 0;
    if (text[0] != '/') {
        const char *slash = std::strrchr(f->hdr_filename, '/');
        if (slash != nullptr)
            dir_len = static_cast<int>(slash - f->hdr_filename) + 1;
    }
    int n = std::snprintf(f->pix_filename, IM_NAME_LEN, "%.*s%s", dir_len, f->hdr_filename, text);
    if (n < 0 || n >= IM_NAME_LEN)
        return -1;
    return 0;
}

/* get_iraf_header: turn the IRAF header file (open at byte 0) into cards,
 * then open and check the pixel file.  Returns 0; -1 header shorter than
 * 1916 bytes, wrong magic, unknown pixel type, more than 7 or negative
 * axes, bad lengths or pixel offset, geometry cards refused, pixel file
 * name too long, wrong pixel file magic; -2 the pixel file cannot be
 * opened.  Closes the header file (its number stays); sets line_skip_pix,
 * unix_pix_fid, pix_filename, io_offset and magic of f.  f stays current. */
static int read_iraf_header(int open_flags)
{
    fid_struct *self = f;
    int id = f->id;
    unsigned char raw[IRAF_HDR_SIZE];
    if (IM_read_full(f->unix_hdr_fid, raw, IRAF_HDR_SIZE) != IRAF_HDR_SIZE)
        return -1;
    IMHDR h;
    std::memcpy(&h, raw, sizeof h);

    char magic[sizeof h.im_magic];
    std::memcpy(magic, h.im_magic, sizeof magic);
    IM_iraf_to_ascii(magic, static_cast<int>(sizeof magic));
    if (std::memcmp(magic, "imhdr", 6) != 0)
        return -1;
    int bitpix = iraf_bitpix(h.im_pixtype);
    if (bitpix == 0)
        return -1;
    if (h.im_ndim < 0 || h.im_ndim > IRAF_MAX_DIM)
        return -1;
    for (int k = 0; k < h.im_ndim; k++)
        if (h.im_len[k] < 0)
            return -1;
    if (h.im_ndim > 0 && h.im_physlen[0] < h.im_len[0])
        return -1;
    int pixel_offset = iraf_pixel_offset(h.im_pixoff);
    if (pixel_offset < 0)
        return -1;

    /* Cards of the fixed fields; the geometry must be accepted. */
    if (im_wkey_i(id, bitpix, "BITPIX") < 0)
        return -1;
    if (im_wkey_i(id, h.im_ndim, "NAXIS") < 0)
        return -1;
    for (int k = 1; k <= h.im_ndim; k++)
        if (im_wkey_i(id, h.im_len[k - 1], im_key("NAXIS", k)) < 0)
            return -1;
    self->line_skip_pix = h.im_ndim > 0 ? h.im_physlen[0] - h.im_len[0] : 0;
    if (h.ct_bscale != 0.0f && h.ct_bscale != 1.0f)
        im_wkey_r(id, h.ct_bscale, "BSCALE");
    if (h.ct_bzero != 0.0f)
        im_wkey_r(id, h.ct_bzero, "BZERO");
    char title[sizeof h.im_title];
    std::memcpy(title, h.im_title, sizeof title);
    IM_iraf_to_ascii(title, static_cast<int>(sizeof title));
    if (title[0] != '\0')
        im_wkey_c(id, title, "OBJECT");
    if (h.im_min != 0.0f || h.im_max != 0.0f) {
        im_wkey_r(id, h.im_min, "DATAMIN");
        im_wkey_r(id, h.im_max, "DATAMAX");
    }
    if (h.im_nbpix != 0)
        im_wkey_i(id, h.im_nbpix, "NBLANKS");

    /* User area: whole 162-byte records until the end of the file (a
     * shorter final piece is ignored) or a read error. */
    if (lseek(self->unix_hdr_fid, IRAF_USER_AREA, SEEK_SET) == IRAF_USER_AREA) {
        char rec[IRAF_USER_CARD];
        while (IM_read_full(self->unix_hdr_fid, rec, IRAF_USER_CARD) == IRAF_USER_CARD) {
            IM_iraf_to_ascii(rec, IRAF_USER_CARD);
            rec[IM_CARD_LEN] = '\0';
            im_wkey_t(id, rec, "add");
        }
    }
    iraf_history_cards(id, h.im_history);
    f = self;
    close(f->unix_hdr_fid);
    hdr_open = 0;

    char pixfile[sizeof h.im_pixfile];
    std::memcpy(pixfile, h.im_pixfile, sizeof pixfile);
    IM_iraf_to_ascii(pixfile, static_cast<int>(sizeof pixfile));
    if (iraf_pixel_path(pixfile) < 0)
        return -1;
    int fd = IM_open_file(f->pix_filename, open_flags);
    if (fd < 0)
        return -2;
    f->unix_pix_fid = fd;

    char pix_magic[12];
    if (IM_read_full(fd, pix_magic, static_cast<int>(sizeof pix_magic)) != static_cast<int>(sizeof pix_magic))
        return -1;
    IM_iraf_to_ascii(pix_magic, static_cast<int>(sizeof pix_magic));
    if (std::memcmp(pix_magic, "impix", 6) != 0)
        return -1;
    f->io_offset = pixel_offset;
    f->magic = FID_MAGIC;
    return 0;
}

/* IM_get_iraf_header: read the IRAF image whose header file is open at
 * byte 0 in unix_hdr_fid, opening its pixel file with open_flags.  Returns
 * as read_iraf_header.  The header file is closed in every case (its number
 * stays in unix_hdr_fid); the pixel file stays open in unix_pix_fid on
 * success only (-1 there after a failure that had opened it). */
int IM_get_iraf_header(int open_flags)
{
    fid_struct *self = f;
    hdr_open = 1;
    int status = read_iraf_header(open_flags);
    f = self;
    if (hdr_open && f->unix_hdr_fid > 0)
        close(f->unix_hdr_fid);
    hdr_open = 0;
    if (status < 0 && f->unix_pix_fid > 0) {
        close(f->unix_pix_fid);
        f->unix_pix_fid = -1;
    }
    return status;
}
