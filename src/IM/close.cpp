/* close: closing images: completing the files of a written image (setup,
 * the check that every pixel arrived, FITS padding, header), then closing
 * the pixel file and releasing the descriptor with its card blocks.
 * A close is final except in one case: a header whose cards the form
 * cannot store as they stand (-4) leaves the image open and unchanged, so
 * the caller may mend the cards and close again (or discard the image).
 * A new image written over old files wrote temporary files beside them
 * (pix_temp, hdr_temp): a successful close renames them over the old
 * names, pixel file first, then header file, with signals held off
 * between the two; every other ending removes them and the old files stay
 * as they were.  Every failure releases the image, and a new image's
 * files that it created itself are removed then, so that no damaged file
 * is left behind; a file that existed under the name before is never
 * removed. */
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "im.h"

/* Bytes of pixel data that a new image's axes call for (none without axes
 * or without BITPIX). */
static int64_t data_bytes(void)
{
    if (f->val_naxis[0] <= 0)
        return 0;
    return int64_t(f->n_pixels) * f->bytes_per_pix;
}

/* Writes the zero bytes that bring FITS pixel data to whole 2880-byte
 * records.  Returns 0, or -2 when they could not all be stored (reason
 * recorded). */
static int pad_fits_data(void)
{
    static const unsigned char zeros[2880] = {0};
    const int64_t data = data_bytes();
    const int64_t r = data % 2880;
    if (r == 0)
        return 0;
    const size_t left = size_t(2880 - r);
    if (f->unix_pix_fid == 0) {
        if (std::fwrite(zeros, 1, left, stdout) == left)
            return 0;
        return IM_fail(-2, "standard output: %s", IM_errno_words(errno != 0 ? errno : EIO));
    }
    errno = 0;
    if (IM_write_all_at(f->unix_pix_fid, zeros, left, off_t(int64_t(f->io_offset) + data)) == 0)
        return 0;
    return IM_fail(-2, "%s: the padding after the pixels could not be written: %s",
                   f->pix_filename, IM_errno_words(errno != 0 ? errno : EIO));
}

/* IM_write_hdr: write the current image's header in its own form (FITS at
 * the start of the pixel file, IRAF .imh and the .pix block, ZZ text).
 * Returns 0; -4 the cards cannot be stored as they stand (the FITS header
 * needs more records than reserved, an IRAF card or axis count the form
 * cannot hold): mending them helps; -2 a file cannot be opened or fully
 * written; -3 a form that has no header writer (S, unknown).  Every
 * failure but -3 leaves its reason (IM_fail).  Works on f. */
int im_internal::IM_write_hdr(void)
{
    switch (f->file_type) {
    case Type_fits:
        return IM_write_fits_hdr();
    case Type_iraf:
        return IM_write_iraf_hdr();
    case Type_zz:
        return IM_write_zz_hdr();
    case Type_S:
    case Type_unknown:
        return -3;
    default:
        return -3;
    }
}

/* complete_image: bring the files of an image opened for writing (mode 2)
 * or update (mode 3) of handle id up to date.  Returns 0; -4 the header's
 * cards cannot be stored as they stand (nothing released); -2 it could
 * not be completed.  Reasons recorded.  Works on f. */
static int complete_image(int id)
{
    /* A new image that never received a pixel gets its files now. */
    if (f->need_wpix_setup) {
        float zero = 0.0f;
        (void)im_wpix_r(id, &zero, 0);
    }
    if (f->unix_pix_fid < 0)
        return IM_fail(-2, "no pixel file could be created for %s", f->hdr_filename);

    /* An update that changed nothing leaves the files as they are (a FITS
     * checksum in them stays true). */
    if (f->mode == 3 && f->changed == 0)
        return 0;

    /* S files have no header writer: pixels written in place are stored,
     * changed cards cannot be. */
    if (f->file_type == Type_S) {
        if (f->changed & IM_CHANGED_CARDS)
            return IM_fail(-2, "S images have no header writer: the changed cards are not "
                           "stored");
        return 0;
    }

    /* A new image must have received every pixel its axes call for; a
     * short image would read back with missing or zero pixels. */
    if (f->mode == 2 && f->bytes_per_pix > 0 && f->bytes_written < data_bytes())
        return IM_fail(-2, "only %lld of the %lld pixels its axes call for were written",
                       (long long)(f->bytes_written / f->bytes_per_pix),
                       (long long)(data_bytes() / f->bytes_per_pix));

    if (f->file_type == Type_fits && pad_fits_data() < 0)
        return -2;
    if (f->unix_pix_fid == 0) {
        /* Standard output: the header went out at the first pixel write. */
        if (std::fflush(stdout) != 0 || std::ferror(stdout))
            return IM_fail(-2, "standard output: %s", IM_errno_words(errno != 0 ? errno : EIO));
        return 0;
    }
    const int h = IM_write_hdr();
    if (h == -4)
        return -4;
    if (h == -3)
        return IM_fail(-2, "this form has no header writer");
    return h < 0 ? -2 : 0;
}

/* Remove the files that the new image f created itself, and its
 * temporary files, after a failure or a discard; the reason gets the
 * names of files that existed before and were written in place (they
 * stay, incomplete).  Clears pix_temp and hdr_temp. */
static void remove_made_files(void)
{
    const bool two_files = f->file_type == Type_iraf || f->file_type == Type_zz;
    char kept[2 * IM_NAME_LEN + 8] = "";
    if (f->pix_temp[0] != '\0') {
        (void)unlink(f->pix_temp);
        f->pix_temp[0] = '\0';
    } else if (f->pix_filename[0] != '\0' && !(f->made_files & IM_REPLACED_PIX)) {
        if (f->made_files & IM_MADE_PIX)
            (void)unlink(f->pix_filename);
        else
            std::snprintf(kept, sizeof kept, "%s", f->pix_filename);
    }
    if (f->hdr_temp[0] != '\0') {
        (void)unlink(f->hdr_temp);
        f->hdr_temp[0] = '\0';
    } else if (two_files && (f->made_files & IM_WROTE_HDR)) {
        if (f->made_files & IM_MADE_HDR)
            (void)unlink(f->hdr_filename);
        else {
            const size_t n = std::strlen(kept);
            std::snprintf(kept + n, sizeof kept - n, "%s%s", n > 0 ? " and " : "",
                          f->hdr_filename);
        }
    }
    if (kept[0] == '\0')
        return;
    char why[IM_REASON_LEN];
    std::snprintf(why, sizeof why, "%s", im_errmsg());
    IM_error_clear();
    (void)IM_fail(-2, "%s (%s existed before, was overwritten and is left incomplete)", why,
                  kept);
}

/* replace_old_files: rename the temporary files of the completed new
 * image f over the old files: the pixel file first, then the header file,
 * with every signal that can be blocked held off across both renames so
 * that the pair switches together as far as a process can make it.  No
 * fsync: a file system that orders data before a rename that replaces a
 * file (ext4 does) keeps either the old or the new file after a crash.
 * Returns 0, or -2 with the reason when a rename failed (a temporary file
 * not renamed is left for remove_made_files; a renamed one is marked
 * IM_REPLACED_PIX, its name cleared). */
static int replace_old_files(void)
{
    if (f->pix_temp[0] == '\0' && f->hdr_temp[0] == '\0')
        return 0;
    sigset_t all, before;
    sigfillset(&all);
    const bool held = sigprocmask(SIG_BLOCK, &all, &before) == 0;
    int result = 0;
    if (f->pix_temp[0] != '\0') {
        if (rename(f->pix_temp, f->pix_filename) == 0) {
            f->pix_temp[0] = '\0';
            f->made_files |= IM_REPLACED_PIX;
        } else {
            result = IM_fail(-2, "%s could not be replaced: %s (the old file is left as it "
                             "was)", f->pix_filename, IM_errno_words(errno));
        }
    }
    if (result == 0 && f->hdr_temp[0] != '\0') {
        if (rename(f->hdr_temp, f->hdr_filename) == 0) {
            f->hdr_temp[0] = '\0';
        } else {
            result = IM_fail(-2, "%s could not be replaced: %s (its pixel file %s is already "
                             "the new one)", f->hdr_filename, IM_errno_words(errno),
                             f->pix_filename);
        }
    }
    if (held)
        (void)sigprocmask(SIG_SETMASK, &before, nullptr);
    return result;
}

/* Close the pixel file and release f with its card blocks; a completed
 * new image (result 0) first replaces old files by its temporary ones.
 * Returns result, or -2 when closing the file or a replacement failed
 * (reason recorded). */
static int release(int result)
{
    /* The standard streams (descriptor 0) stay open for the process. */
    const bool has_files = f->unix_pix_fid > 0;
    if (has_files && close(f->unix_pix_fid) != 0 && result == 0)
        result = IM_fail(-2, "%s: %s", f->pix_filename, IM_errno_words(errno));
    f->unix_pix_fid = -1;
    if (result == 0 && f->mode == 2)
        result = replace_old_files();
    if (result < 0 && f->mode == 2 && has_files)
        remove_made_files();
    f->mode = 0;
    f->magic = 0;
    destroy_fid(f);
    return result;
}

/* IM_discard: release the current image without completing it.  A new
 * image's files that it created and its temporary files are removed (a
 * file that existed under the name is left as it was, or, when it was
 * written in place, as the writes so far left it).  Leaves f null. */
void im_internal::IM_discard(void)
{
    const int mode = f->mode;
    if (mode == 2 && f->need_wpix_setup == 0) {
        IM_error_clear();
        (void)release(IM_fail(-2, "discarded"));
        return;
    }
    (void)release(0);
}

/* im_close: finish and release an image.  Returns 0 closed; -2 it could
 * not be completed or closed (pixel file never created, fewer pixels
 * written than the axes call for, a write failed, cards changed in an S
 * image): released all the same, and a new image's files that it created
 * are removed; -4 its cards cannot be stored as they stand (the FITS
 * header needs more records than the file has before its pixels, an IRAF
 * header with a BITPIX it cannot hold, no BITPIX or more than 7 axes): the
 * image stays open, to be mended and closed again or discarded
 * (im_file "d"); -3 handle not open.  Failures leave their reason for
 * im_errmsg.  An update that changed nothing writes nothing.  Leaves f
 * null once the image is released. */
int im_close(int id)
{
    if (IM_set_fid(id) < 0)
        return -3;
    IM_error_clear();
    int result = 0;
    switch (f->mode) {
    case 1:
        break;
    case 2:
    case 3:
        result = complete_image(id);
        if (result == -4)
            return -4;
        break;
    default:
        return -3;
    }
    return release(result);
}
