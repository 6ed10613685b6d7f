/* fileio: the file helpers every reader and writer of headers uses --
 * opening without creating, reading and writing whole counts with retries.
 * Invariants: a real file never sits on descriptor 0, which stands for the
 * standard stream; interrupted and partial transfers are retried, so a
 * short count means end of file or an error, never a signal. */
#include <cerrno>
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

/* IM_create_file: create path for reading and writing (mode 0664 before
 * the umask), truncating a file that already exists.  *made becomes 1 when
 * no file existed under the name (this call made it), 0 when something did
 * (a file, whose old contents are gone, or a link, whose target is
 * written): only what was made may be removed later.  Returns the
 * descriptor (> 0) or -1 (errno set). */
int im_internal::IM_create_file(const char *path, int *made)
{
    *made = 0;
    int fd = open(path, O_RDWR | O_CREAT | O_EXCL, 0664);
    if (fd >= 0)
        *made = 1;
    else if (errno == EEXIST)
        fd = open(path, O_RDWR | O_CREAT | O_TRUNC, 0664);
    if (fd == 0) {
        int moved = fcntl(fd, F_DUPFD, 1);
        int saved = errno;
        close(fd);
        errno = saved;
        fd = moved;
    }
    return fd;
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
