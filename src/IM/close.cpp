/* close: closing images: completing the files of a written image (setup,
 * FITS padding, header), then closing the pixel file and releasing the
 * descriptor with its card blocks.
 * A header that cannot be written leaves the image open and unchanged, so
 * the caller may mend the cards and close again; every other failure still
 * releases the image and is reported by a negative result. */
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "im.h"

/* Writes the zero bytes that bring FITS pixel data to whole 2880-byte
 * records.  Returns 0, or -2 when they could not all be stored. */
static int pad_fits_data(void)
{
    static const unsigned char zeros[2880] = {0};
    const int64_t data = int64_t(f->n_pixels) * f->bytes_per_pix;
    const int64_t r = data % 2880;
    if (r == 0)
        return 0;
    size_t left = size_t(2880 - r);
    if (f->unix_pix_fid == 0)
        return std::fwrite(zeros, 1, left, stdout) == left ? 0 : -2;
    int64_t pos = int64_t(f->io_offset) + data;
    while (left > 0) {
        const ssize_t n = pwrite(f->unix_pix_fid, zeros, left, off_t(pos));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -2;
        left -= size_t(n);
        pos += n;
    }
    return 0;
}

/* im_close: finish and release an image.
 * Returns 0; -2 the image's files could not be completed or closed (pixel
 * file never created, padding or standard output not fully written, close
 * failed: released all the same); -3 handle not open or mode not 1, 2, 3;
 * other negative: header not written (IM_write_hdr's code), image stays
 * open.  Leaves f null once the image is released. */
int im_close(int id)
{
    int result = 0;
    if (IM_set_fid(id) < 0)
        return -3;

    switch (f->mode) {
    case 1:
        break;
    case 2:
    case 3: {
        /* A new image that never received a pixel gets its files now. */
        if (f->need_wpix_setup) {
            float zero = 0.0f;
            (void)im_wpix_r(id, &zero, 0);
        }
        if (f->unix_pix_fid < 0) {
            /* No pixel file could be made: nothing to complete. */
            result = -2;
            break;
        }
        if (f->file_type == Type_fits && pad_fits_data() < 0)
            result = -2;
        if (f->unix_pix_fid != 0) {
            const int h = IM_write_hdr();
            if (h < 0)
                return h;
        } else if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
            result = -2;
        }
        break;
    }
    default:
        return -3;
    }

    /* The standard streams (descriptor 0) stay open for the process. */
    if (f->unix_pix_fid > 0 && close(f->unix_pix_fid) != 0)
        result = -2;
    f->unix_pix_fid = -1;
    f->mode = 0;
    f->magic = 0;

    hdr_blk_struct *blk = f->header_blocks;
    while (blk != nullptr) {
        hdr_blk_struct *next = blk->next;
        std::free(blk);
        blk = next;
    }
    f->header_blocks = nullptr;
    destroy_fid(f);
    return result;
}
