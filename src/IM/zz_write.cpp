/* zz_write: the ZZ header writer: every card of the store as one text
 * line of the ".zzh" file, created whole (beside an old one, which the
 * close replaces). */
#include <cerrno>
#include <cstdio>
#include <unistd.h>

#include "im.h"

/* IM_write_zz_hdr: the ZZ header: every card as a text line.  0, or -2
 * when the file cannot be created or fully written (reason recorded).
 * Marks the header file of f as made by this image when no file had its
 * name; an old file of the name is replaced through hdr_temp at the close. */
int im_internal::IM_write_zz_hdr(void)
{
    int made = 0;
    const int fd = IM_create_file(f->hdr_filename, &made, f->hdr_temp, sizeof f->hdr_temp);
    if (fd < 0)
        return IM_fail(-2, "cannot create %s: %s", f->hdr_filename, IM_errno_words(errno));
    f->made_files |= made ? IM_MADE_HDR | IM_WROTE_HDR : IM_WROTE_HDR;
    std::FILE *fp = fdopen(fd, "w");
    if (fp == nullptr) {
        const int e = errno;
        close(fd);
        return IM_fail(-2, "%s: %s", f->hdr_filename, IM_errno_words(e));
    }
    int e = 0;
    for (const header_struct *h = f->first_header; h != nullptr && e == 0; h = h->next) {
        if (std::fputs(h->text, fp) < 0 || std::fputc('\n', fp) == EOF)
            e = errno != 0 ? errno : EIO;
    }
    if (std::fflush(fp) != 0 && e == 0)
        e = errno != 0 ? errno : EIO;
    if (std::fclose(fp) != 0 && e == 0)
        e = errno != 0 ? errno : EIO;
    if (e != 0)
        return IM_fail(-2, "%s: the header could not be written: %s", f->hdr_filename,
                       IM_errno_words(e));
    return 0;
}
