/* fileio: the file helpers every reader and writer of headers uses --
 * opening without creating, creating a new image's files (beside an old
 * file of the same name, to replace it at the close), reading and writing
 * whole counts with retries.
 * Invariants: a real file never sits on descriptor 0, which stands for the
 * standard stream; interrupted and partial transfers are retried, so a
 * short count means end of file or an error, never a signal. */
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "im.h"

/* Every file position of the library is 64-bit: the build asks for 64-bit
 * file offsets (_FILE_OFFSET_BITS=64) on 32-bit hosts too, so that images
 * past 2 GiB can be opened, read, updated and written. */
static_assert(sizeof(off_t) == 8, "the library needs 64-bit file offsets");

/* IM_open_file: open the image file path with flags (never creating it).
 * Only a regular file is taken: it is opened without waiting (a FIFO or a
 * terminal would block the open or the reads) and checked before any read;
 * a folder gives errno EISDIR, any other kind ENODEV (IM_errno_words: "not
 * a regular file").  A descriptor of 0 (standard input was closed) is
 * moved higher, because 0 means the standard stream.  Returns the
 * descriptor (> 0), blocking again, or -1 (errno set). */
int im_internal::IM_open_file(const char *path, int flags)
{
    int fd = open(path, flags | O_NONBLOCK | O_NOCTTY, 0);
    if (fd < 0)
        return -1;
    struct stat st;
    int why = 0;
    if (fstat(fd, &st) != 0)
        why = errno;
    else if (S_ISDIR(st.st_mode))
        why = EISDIR;
    else if (!S_ISREG(st.st_mode))
        why = ENODEV;
    else if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0)
        why = errno;
    if (why == 0 && fd == 0) {
        fd = fcntl(0, F_DUPFD, 1);
        why = fd < 0 ? errno : 0;
        close(0);
    }
    if (why != 0) {
        if (fd > 0)
            close(fd);
        errno = why;
        return -1;
    }
    return fd;
}

/* A descriptor that is not 0 (0 stands for the standard stream): fd
 * itself, or a copy of it above 0 (fd is closed then).  -1 when fd is
 * negative or no copy can be made (errno set). */
static int off_zero(int fd)
{
    if (fd != 0)
        return fd;
    const int moved = fcntl(fd, F_DUPFD, 1);
    const int saved = errno;
    close(fd);
    errno = saved;
    return moved;
}

/* make_temp: create a new file beside path, named path ".tmp" and six
 * characters chosen to be unique (created exclusively, another name tried
 * on a collision), with the permission bits perm.  The name goes to temp
 * (size bytes).  Returns the descriptor (> 0), or -1 when no such file can
 * be made there (temp is then ""). */
static int make_temp(const char *path, mode_t perm, char *temp, size_t size)
{
    const int n = std::snprintf(temp, size, "%s.tmpXXXXXX", path);
    int fd = -1;
    if (n > 0 && size_t(n) < size) {
        const int created = mkstemp(temp);
        fd = off_zero(created);
        if (created >= 0 && (fd < 0 || fchmod(fd, perm) != 0)) {
            if (fd > 0)
                close(fd);
            (void)unlink(temp);
            fd = -1;
        }
    }
    if (fd < 0)
        temp[0] = '\0';
    return fd;
}

/* IM_create_file: create the file path of a new image for reading and
 * writing.  When no file has the name it is created (mode 0664 before the
 * umask) and *made becomes 1: only what was made may be removed later.
 * When a regular file with a single link has it, the old file is kept
 * untouched and a temporary file is made beside it instead (see
 * make_temp; it takes the old file's permission bits), its name left in
 * temp for the close to rename over path; temp stays "" otherwise.  A
 * file the caller may not write is refused as a truncation would be.
 * Anything else under the name (a symbolic link, a file with several
 * links, a device, a FIFO), or a folder where no temporary file can be
 * made, is truncated and written in place (through a link).  A temp that
 * is not "" on entry names this image's temporary file from an earlier
 * attempt: it is truncated and used again.  *made is 0 in all those
 * cases.  Returns the descriptor (> 0) or -1 (errno set). */
int im_internal::IM_create_file(const char *path, int *made, char *temp, size_t temp_size)
{
    *made = 0;
    if (temp[0] != '\0')
        return off_zero(open(temp, O_RDWR | O_TRUNC | O_NOFOLLOW | O_NOCTTY));
    int fd = open(path, O_RDWR | O_CREAT | O_EXCL, 0664);
    if (fd >= 0) {
        *made = 1;
    } else if (errno == EEXIST) {
        struct stat st;
        if (lstat(path, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1) {
            /* Writing must be allowed as for a write in place: a
             * read-only output stays protected. */
            const int old = open(path, O_WRONLY | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK);
            if (old < 0)
                return -1;
            close(old);
            fd = make_temp(path, st.st_mode & 0777, temp, temp_size);
        }
        if (fd < 0)
            fd = open(path, O_RDWR | O_CREAT | O_TRUNC, 0664);
    }
    return off_zero(fd);
}

/* One read of n bytes into p at byte pos of fd (the file position when
 * pos < 0), retried while a signal interrupts it.  Returns what the call
 * returned: the count read, 0 at end of file, or -1 (errno set). */
static ssize_t read_once(int fd, void *p, size_t n, int64_t pos)
{
    for (;;) {
        const ssize_t r = pos < 0 ? read(fd, p, n) : pread(fd, p, n, static_cast<off_t>(pos));
        if (r >= 0 || errno != EINTR)
            return r;
    }
}

/* One write of n bytes from p, as read_once.  Returns the count stored,
 * possibly short or 0, or -1 (errno set). */
static ssize_t write_once(int fd, const void *p, size_t n, int64_t pos)
{
    for (;;) {
        const ssize_t w = pos < 0 ? write(fd, p, n) : pwrite(fd, p, n, static_cast<off_t>(pos));
        if (w >= 0 || errno != EINTR)
            return w;
    }
}

/* Read up to n bytes at pos (< 0: the file position), retrying partial
 * reads.  Returns the count read (less than n only at end of file) or -1. */
static int read_loop(int fd, void *buffer, int n, int64_t pos)
{
    unsigned char *p = static_cast<unsigned char *>(buffer);
    int done = 0;
    while (done < n) {
        const ssize_t got = read_once(fd, p + done, static_cast<size_t>(n - done),
                                      pos < 0 ? pos : pos + done);
        if (got < 0)
            return -1;
        if (got == 0)
            break;
        done += static_cast<int>(got);
    }
    return done;
}

/* Write all n bytes at pos (< 0: the file position), retrying short
 * writes.  Returns 0, or -1 when not everything was stored. */
static int write_loop(int fd, const void *data, size_t n, int64_t pos)
{
    const unsigned char *p = static_cast<const unsigned char *>(data);
    while (n > 0) {
        const ssize_t w = write_once(fd, p, n, pos);
        if (w <= 0)
            return -1;
        p += w;
        n -= size_t(w);
        if (pos >= 0)
            pos += w;
    }
    return 0;
}

/* IM_read_full: read up to n bytes from the file position, retrying
 * partial reads and interruptions.  Returns the count read (less than n
 * only at end of file) or -1. */
int im_internal::IM_read_full(int fd, void *buffer, int n)
{
    return read_loop(fd, buffer, n, -1);
}

/* IM_read_full_at: as IM_read_full, from byte pos (>= 0) of fd; the file
 * position does not move. */
int im_internal::IM_read_full_at(int fd, void *buffer, int n, int64_t pos)
{
    return read_loop(fd, buffer, n, pos < 0 ? 0 : pos);
}

/* IM_write_all: write all n bytes sequentially to fd, retrying interrupted
 * and short writes.  Returns 0, or -1 when not everything was stored. */
int im_internal::IM_write_all(int fd, const void *data, size_t n)
{
    return write_loop(fd, data, n, -1);
}

/* IM_write_all_at: write all n bytes at byte pos (>= 0) of fd; 0, or -1 as
 * IM_write_all. */
int im_internal::IM_write_all_at(int fd, const void *data, size_t n, int64_t pos)
{
    return write_loop(fd, data, n, pos < 0 ? 0 : pos);
}

/* IM_write_some_at: one write of n bytes at byte pos (>= 0) of fd,
 * retried only when a signal interrupts it.  Returns the count stored
 * (possibly fewer than n, or 0), or -1 (errno set): for callers that
 * continue a short write themselves. */
ssize_t im_internal::IM_write_some_at(int fd, const void *data, size_t n, int64_t pos)
{
    return write_once(fd, data, n, pos < 0 ? 0 : pos);
}
