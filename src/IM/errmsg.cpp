/* errmsg: the reason for the latest failure, kept as text for callers that
 * report it (the library itself prints nothing).
 * Invariants: the text always holds a terminator and is cut, never
 * overrun; the first reason recorded after a clear is the one kept (the
 * innermost step that failed knows the most), and callers further out may
 * only put context in front of it. */
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "im.h"

static char reason[IM_REASON_LEN];

/* IM_error_clear: forget the recorded reason.  Called on entry by every
 * operation that records one (im_open, rwc_fid, rwcf, the pixel writers,
 * im_close). */
void im_internal::IM_error_clear(void)
{
    reason[0] = '\0';
}

/* IM_fail: record the reason formatted from fmt when none is recorded yet,
 * and return code, so that a failing step can say why in its return
 * statement. */
int im_internal::IM_fail(int code, const char *fmt, ...)
{
    if (reason[0] != '\0')
        return code;
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(reason, sizeof reason, fmt, ap);
    va_end(ap);
    return code;
}

/* IM_error_context: put "context: " in front of the recorded reason (or
 * record context alone when there is none), cut to the text's size. */
void im_internal::IM_error_context(const char *context)
{
    char old[IM_REASON_LEN];
    std::memcpy(old, reason, sizeof old);
    size_t n = std::strlen(context);
    if (n >= sizeof reason)
        n = sizeof reason - 1;
    std::memcpy(reason, context, n);
    reason[n] = '\0';
    if (old[0] != '\0' && n + 2 < sizeof reason) {
        std::memcpy(reason + n, ": ", 3);
        n += 2;
        size_t m = std::strlen(old);
        if (m > sizeof reason - 1 - n)
            m = sizeof reason - 1 - n;
        std::memcpy(reason + n, old, m);
        reason[n + m] = '\0';
    }
}

/* im_errmsg: the reason for the latest failure of im_open, rwc_fid, rwcf,
 * a pixel write or im_close ("" when the latest of them succeeded or gave
 * none).  The text belongs to the library and changes with the
 * next such call. */
const char *im_errmsg(void)
{
    return reason;
}

/* IM_errno_words: words for why a file could not be opened or created,
 * for failure reasons (lower case, as the reasons are written). */
const char *im_internal::IM_errno_words(int e)
{
    switch (e) {
    case ENOENT: return "no such file";
    case EACCES: return "permission denied";
    case EISDIR: return "is a folder";
    case ENOTDIR: return "a folder of the path is not a folder";
    case ENAMETOOLONG: return "name too long";
    case ELOOP: return "too many symbolic links";
    case EROFS: return "read-only file system";
    case ENODEV: return "not a regular file (a FIFO, device or socket)";
    case ETXTBSY: return "the file is in use (an open image reads it, or a program runs it)";
    default: return std::strerror(e);
    }
}
