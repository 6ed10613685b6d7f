/* zz_read: the ZZ header reader: the ".zzh" text header, one card per
 * line, and the ".zzp" pixel file beside it, whose size must be what the
 * header calls for.  Lines are read in pieces of at most 81 characters. */
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

#include "im.h"

static const int ZZ_LINE = 82;              /* 81 characters + NUL */

/* 1 when a ZZ header line of len characters is kept as a card: '=' in
 * column 9 or 10, seven leading bytes not above seven blanks (only the
 * characters the line has are compared; its terminator counts as below a
 * blank), or a COMMENT or HISTORY line. */
static int zz_keep(const char *line, size_t len)
{
    if (len > 8 && line[8] == '=')
        return 1;
    if (len > 9 && line[9] == '=')
        return 1;
    if (std::strncmp(line, "       ", 7) <= 0)
        return 1;
    return std::strncmp(line, "COMMENT", 7) == 0 || std::strncmp(line, "HISTORY", 7) == 0;
}

/* IM_get_zz_header: read the ZZ text header (one card per line) from the
 * header file open in unix_hdr_fid and open the ".zzp" pixel file (with
 * op's flags; op records which files are then open), whose
 * size must be what the header calls for: the pixels in the writing host's
 * byte order carry no marker of it, so the size is what can be checked.
 * Returns 0; -1 a card refused by the store, or a pixel file of another
 * size; -2 the header cannot be read as a stream, or the pixel file cannot
 * be opened.  Closes the header file (its number stays); sets
 * unix_pix_fid, pix_filename and magic of f. */
int im_internal::IM_get_zz_header(open_struct *op)
{
    FILE *fp = nullptr;
    if (lseek(f->unix_hdr_fid, 0, SEEK_SET) == 0)
        fp = fdopen(f->unix_hdr_fid, "r");
    if (fp == nullptr)
        return IM_fail(-2, "ZZ header %s: %s", f->hdr_filename, IM_errno_words(errno));
    op->hdr_is_open = 0;               /* fclose closes it */
    char line[ZZ_LINE];
    int refused = 0;
    while (!refused && std::fgets(line, sizeof line, fp) != nullptr) {
        size_t len = std::strlen(line);
        if (!zz_keep(line, len))
            continue;
        if (len > 0 && line[len - 1] == '\n')
            line[len - 1] = '\0';
        if (IM_card_add(line) < 0)
            refused = IM_card_fail(-1, "ZZ", line);
    }
    int failed = std::ferror(fp);
    std::fclose(fp);
    if (refused < 0)
        return refused;
    if (failed)
        return IM_fail(-2, "ZZ header %s: read error", f->hdr_filename);

    size_t base = std::strlen(f->hdr_filename);
    if (IM_has_ending(f->hdr_filename, ".zzh"))
        base -= 4;
    int n = std::snprintf(f->pix_filename, IM_NAME_LEN, "%.*s.zzp",
                          static_cast<int>(base), f->hdr_filename);
    if (n < 0 || n >= IM_NAME_LEN)
        return IM_fail(-2, "the ZZ pixel file name is too long");
    int fd = IM_open_file(f->pix_filename, op->unix_mode);
    if (fd < 0)
        return IM_fail(-2, "ZZ pixel file %s: %s", f->pix_filename, IM_errno_words(errno));
    f->unix_pix_fid = fd;
    op->pix_is_open = 1;
    /* NAXIS 0: no pixels; without BITPIX no pixel can be read anyway */
    struct stat st;
    const int64_t want = f->val_naxis[0] == 0 ? 0 : int64_t(f->n_pixels) * f->bytes_per_pix;
    if (f->bytes_per_pix > 0 && (fstat(fd, &st) != 0 || int64_t(st.st_size) != want))
        return IM_fail(-1, "ZZ pixel file %s holds %lld bytes, but its header calls for %lld "
                       "(BITPIX %d, %d pixels)", f->pix_filename,
                       static_cast<long long>(st.st_size), static_cast<long long>(want),
                       f->val_bitpix, f->n_pixels);
    f->magic = FID_MAGIC;
    return 0;
}
