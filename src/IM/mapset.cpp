/* mapset: setting up a map projection record from the CTYPE, CDELT, CRVAL,
 * CRPIX and CROTA values of an image's two celestial axes.
 * Invariant: magic is stamped only after every check has passed.  It is
 * cleared first, so a failed set-up, which may already have stored some
 * fields, never leaves a record that mapf takes for a whole projection. */
#include <cmath>
#include <cstring>

#include "im.h"

static const double deg_to_rad = 0.017453292519943295;
static const double rad_to_deg = 57.29577951308232;

static bool begins_with(const char *text, const char *head)
{
    return std::strncmp(text, head, std::strlen(head)) == 0;
}

/* The projection suffix: the text after the first four characters, or the
 * empty text when the CTYPE is shorter. */
static const char *suffix_of(const char *ctype)
{
    size_t n = std::strlen(ctype);
    return n > 4 ? ctype + 4 : ctype + n;
}

/* map_set: fill p for the longitude axis (1) and latitude axis (2).
 * Returns 0; -1 ctype1 not a celestial longitude; -2 ctype2 not the matching
 * latitude; -3 projection suffixes differ; -4 reference latitude not allowed
 * (AIT needs 0, POL needs +-90); -5 a CDELT is 0; -6 CROTA1 non-zero and
 * unequal to CROTA2.  On failure magic is cleared (mapf refuses p until a
 * set-up succeeds).  custom_mapf/custom_mapi stay as the caller set them.
 * Does not touch f. */
int map_set(map_struct *p, const char *ctype1, const char *ctype2,
            double cdelt1, double cdelt2, double crval1, double crval2,
            double crpix1, double crpix2, double crota1, double crota2)
{
    if (p == nullptr)
        return -1;
    p->magic = 0;

    /* Reference point, scales, reference pixel and rotation. */
    p->lon0 = crval1 * deg_to_rad;
    p->lat0 = crval2 * deg_to_rad;
    if (cdelt1 == 0.0 || cdelt2 == 0.0)
        return -5;
    p->x_scale = rad_to_deg / cdelt1;
    p->y_scale = rad_to_deg / cdelt2;
    p->x0 = crpix1;
    p->y0 = crpix2;
    p->twist_angle1 = crota1 * deg_to_rad;
    p->twist_angle2 = crota2 * deg_to_rad;
    if (crota1 != 0.0 && crota1 != crota2)
        return -6;

    /* Celestial system from the pair of axis names. */
    p->map_coord_type = ' ';
    if (ctype1 == nullptr)
        return -1;
    if (ctype2 == nullptr)
        return -2;
    if (begins_with(ctype1, "RA--") || std::strcmp(ctype1, "RA") == 0) {
        if (!begins_with(ctype2, "DEC"))
            return -2;
        p->map_coord_type = 'r';
    } else if (begins_with(ctype1, "ELON")) {
        if (!begins_with(ctype2, "ELAT"))
            return -2;
        p->map_coord_type = 'e';
    } else if (begins_with(ctype1, "GLON")) {
        if (!begins_with(ctype2, "GLAT"))
            return -2;
        p->map_coord_type = 'g';
    } else {
        return -1;
    }

    /* Projection from the suffixes; only four characters count for the
     * named projections. */
    const char *s1 = suffix_of(ctype1);
    const char *s2 = suffix_of(ctype2);
    map_proj_type proj;
    if (std::strlen(ctype1) <= 4 || begins_with(s1, "----")) {
        proj = P_linear;
    } else if (begins_with(s1, "-AIT")) {
        if (!begins_with(s2, "-AIT"))
            return -3;
        if (p->lat0 != 0.0)
            return -4;
        proj = P_AIT;
    } else if (begins_with(s1, "-TAN") || begins_with(s1, "-SIN") ||
               begins_with(s1, "-ARC")) {
        if (std::strncmp(s1, s2, 4) != 0)
            return -3;
        p->sin_lat0 = std::sin(p->lat0);
        p->cos_lat0 = std::cos(p->lat0);
        proj = begins_with(s1, "-TAN") ? P_TAN
             : begins_with(s1, "-SIN") ? P_SIN : P_ARC;
    } else if (begins_with(s1, "-POL")) {
        if (!begins_with(s2, "-POL"))
            return -3;
        if (crval2 != 90.0 && crval2 != -90.0)
            return -4;
        proj = P_POL;
    } else {
        if (std::strcmp(s1, s2) != 0)
            return -3;
        p->sin_lat0 = std::sin(p->lat0);
        p->cos_lat0 = std::cos(p->lat0);
        proj = P_custom;
    }
    p->proj_type = proj;

    p->magic = MAP_MAGIC;
    return 0;
}
