/* forms: the on-disk forms an image name selects, and their suffixes.
 * One table serves every rule that reads a name: the form its ending
 * implies (read and write opens, pixel-write setup), the suffixes a name
 * that does not open is retried with (in table order), the message that
 * lists them, and the suffix a new image without one receives.  Endings
 * are compared exactly (case-sensitive). */
#include <cstdio>
#include <cstring>

#include "im.h"

/* The suffixes, in the order a name that does not open is retried with
 * them; the first entry of a form is the suffix new images of that form
 * receive. */
const suffix_struct im_internal::IM_suffixes[IM_N_SUFFIXES] = {
    {".imh", Type_iraf}, {".zzh", Type_zz}, {".fits", Type_fits},
    {".fit", Type_fits}, {".s", Type_S},
};

/* IM_has_ending: 1 when name ends in ending exactly, else 0 (a name
 * shorter than the ending has not got it). */
int im_internal::IM_has_ending(const char *name, const char *ending)
{
    const size_t n = std::strlen(name);
    const size_t e = std::strlen(ending);
    return n >= e && std::strcmp(name + n - e, ending) == 0;
}

/* IM_type_from_ending: the form of the first suffix of the table that
 * name ends in; Type_unknown for any other name. */
file_type_enum im_internal::IM_type_from_ending(const char *name)
{
    for (const suffix_struct &s : IM_suffixes)
        if (IM_has_ending(name, s.suffix))
            return s.type;
    return Type_unknown;
}

/* IM_suffix_of: the suffix a new image of form type receives (its first
 * entry in the table), or null for a form without one. */
const char *im_internal::IM_suffix_of(file_type_enum type)
{
    for (const suffix_struct &s : IM_suffixes)
        if (s.type == type)
            return s.suffix;
    return nullptr;
}

/* IM_suffix_list: the suffixes in table order as text, ".imh, .zzh, ...
 * or .s", into out (size bytes, always terminated, cut when short). */
void im_internal::IM_suffix_list(char *out, size_t size)
{
    if (out == nullptr || size == 0)
        return;
    out[0] = '\0';
    size_t used = 0;
    for (int i = 0; i < IM_N_SUFFIXES && used < size; i++) {
        const char *sep = i == 0 ? "" : i == IM_N_SUFFIXES - 1 ? " or " : ", ";
        const int n = std::snprintf(out + used, size - used, "%s%s", sep, IM_suffixes[i].suffix);
        if (n < 0)
            break;
        used += size_t(n);
    }
}
