/* imlib/export.h: the mark of the library's public routines and settings.
 * The library is built with hidden visibility: only declarations marked
 * IM_API are exported from the shared library, so its internal routines
 * can neither clash with a caller's names nor be reached by them. */
#ifndef IMLIB_EXPORT_H
#define IMLIB_EXPORT_H

#if defined(__GNUC__) || defined(__clang__)
#define IM_API __attribute__((visibility("default")))
#else
#define IM_API
#endif

#endif
