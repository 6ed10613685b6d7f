/* s_read: the S header reader: the leading S record, then FITS records
 * from its header offset up to END; the pixels begin at its image offset.
 * Both offsets must lie inside the file. */
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

#include "im.h"
#include "irafhdr.h"

/* IM_get_s_header: read the S record and the FITS records that follow from
 * hdr_start, up to the END card.  Returns 0; -1 file shorter than the
 * record, tapetype not 46, offsets negative or past the end of the file,
 * a record cut short before END, a card refused by the store.  Sets io_offset to img_start,
 * unix_pix_fid, pix_filename and magic of f. */
int im_internal::IM_get_s_header(void)
{
    int fd = f->unix_hdr_fid;
    unsigned char raw[sizeof(S_S)];
    if (IM_read_full(fd, raw, static_cast<int>(sizeof raw)) != static_cast<int>(sizeof raw))
        return IM_fail(-1, "not an image this library reads: taken for an S file, but it "
                       "is shorter than its leading record");
    S_S s;
    std::memcpy(&s, raw, sizeof s);
    if (s.tapetype != S_TAPETYPE)
        return IM_fail(-1, "not an image this library reads: taken for an S file, but its "
                       "leading record is not of type 46");
    struct stat st;
    if (s.hdr_start < 0 || s.img_start < 0 || fstat(fd, &st) != 0 ||
        (S_ISREG(st.st_mode) && (s.hdr_start > st.st_size || s.img_start > st.st_size)) ||
        lseek(fd, s.hdr_start, SEEK_SET) != s.hdr_start)
        return IM_fail(-1, "the S file's header or pixel offset lies outside the file");

    char record[IM_FITS_RECORD];
    for (;;) {
        if (IM_read_full(fd, record, IM_FITS_RECORD) < IM_FITS_RECORD)
            return IM_fail(-1, "the S file ends before the END card of its header");
        const int end = IM_fits_record_cards(record, "S", nullptr);
        if (end < 0)
            return end;
        if (end > 0) {
            f->io_offset = s.img_start;
            return 0;
        }
    }
}
