/* rwc: the world-coordinate record of an image (rwc_fid) and the translation
 * of subset text into per-axis skip and take counts (rwcf).
 * Invariants: the subset text is never modified (fields are cut into bounded
 * copies); every working buffer write is checked against its size and an
 * over-long text is refused, never cut; every skip and take is computed from
 * finite positions clamped to +-1e9 pixels, so no conversion overflows.
 * found_at_sign is the one piece of state kept between calls. */
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "im.h"

/* Kind of one value of the subset text. */
enum val_type_enum {
    T_illegal = 0,        /* malformed text */
    T_ambig = 1,          /* plain number without '@', '.' or exponent */
    T_absolute_pixel = 2, /* '@' position */
    T_relative_pixel = 3, /* '@' followed by a sign: offset from CRPIX */
    T_1d_rwc = 4,         /* world coordinate or world length of one axis */
    T_geometric = 5,      /* sky position for both celestial axes */
    T_none = 6            /* empty */
};

/* Request collected for one axis. */
enum q_type_enum {
    Q_none = 0,     /* unrestricted */
    Q_lo_hi = 1,    /* q_val1 .. q_val2, pixel positions in either order */
    Q_mid_size = 2  /* centre q_val1, size q_val2 in pixels */
};

#define RWC_TEXT_MAX 63   /* subset text, as subset_text holds it */
#define RWC_FIELD_MAX 39  /* one field */
#define RWC_PREFIX_MAX 15 /* axis-name prefix */
#define RWC_VALUE_MAX 79  /* one value text */

static const double open_end = 32768.0;   /* open upper end of a range */
static const int whole_axis = 32767;      /* take of an unrestricted axis */
static const double position_limit = 1e9; /* positions clamp here */

/* Set while the values of one field are pixel values: cleared by the first
 * value of each field, set by any value that begins with '@'. */
static int found_at_sign = 0;

static bool is_letter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

static bool begins_with(const char *text, const char *head)
{
    return std::strncmp(text, head, std::strlen(head)) == 0;
}

/* Exactly one finite number, as "%lf%c" would find it: leading white space
 * allowed, nothing at all after the number. */
static bool one_number(const char *text, double *v)
{
    char *end = nullptr;
    double d = std::strtod(text, &end);
    if (end == text || *end != '\0' || !std::isfinite(d))
        return false;
    *v = d;
    return true;
}

/* determine_value_type: classify one value text.  ctype is the field's
 * prefix (possibly empty) for value 1 and null for values 2 and 3; a
 * sexagesimal text is cut up in place by map_hms.  put_val receives the
 * number for T_absolute_pixel, T_relative_pixel and T_1d_rwc only.
 * Clears found_at_sign for value 1, sets it on a leading '@'. */
static val_type_enum determine_value_type(const char *ctype, char *val_text,
                                          double *put_val)
{
    if (ctype != nullptr) {
        /* First value: a system letter or an hour unit means a sky
         * position. */
        found_at_sign = 0;
        if (std::strcmp(ctype, "e") == 0 || std::strcmp(ctype, "g") == 0 ||
            std::strcmp(ctype, "r") == 0)
            return T_geometric;
        if (std::strchr(val_text, 'h') != nullptr)
            return T_geometric;
    } else if (std::strchr(val_text, 'h') != nullptr ||
               std::strchr(val_text, 'd') != nullptr) {
        /* Later value with units: a world length or coordinate. */
        double v = 0.0;
        if (map_hms(val_text, &v) < 0)
            return T_illegal;
        *put_val = v;
        return T_1d_rwc;
    }

    const char *rest = val_text;
    if (*rest == '@') {
        rest++;
        found_at_sign = 1;
    }
    if (*rest == '\0')
        return T_none;

    val_type_enum kind;
    if (found_at_sign) {
        kind = (*rest == '+' || *rest == '-') ? T_relative_pixel : T_absolute_pixel;
    } else {
        if (std::strpbrk(rest, ".eE") == nullptr)
            return T_ambig;
        kind = T_1d_rwc;
    }
    double v = 0.0;
    if (!one_number(rest, &v))
        return T_illegal;
    *put_val = v;
    return kind;
}

/* Copy text[0 .. n) into a buffer of cap characters plus terminator;
 * false when it does not fit. */
static bool copy_part(char *dst, size_t cap, const char *text, size_t n)
{
    if (n > cap)
        return false;
    std::memcpy(dst, text, n);
    dst[n] = '\0';
    return true;
}

/* Pixel position of a world coordinate on axis a (1.0 without a scale). */
static double world_to_pixel(const rwc_struct *r, int a, double w)
{
    if (r->cdelt[a] == 0.0)
        return 1.0;
    return (w - r->crval[a]) / r->cdelt[a] + r->crpix[a];
}

/* Size in pixels of a size value on an axis of scale cdelt. */
static double size_in_pixels(val_type_enum kind, double v, double cdelt)
{
    switch (kind) {
    case T_1d_rwc:
        return cdelt == 0.0 ? 1.0 : v / cdelt;
    case T_absolute_pixel:
    case T_relative_pixel:
        return v;
    case T_none:
        return 1.0;
    case T_illegal:
    case T_ambig:
    case T_geometric:
    default:
        return 1.0; /* never reached: refused before */
    }
}

/* Double to int toward zero, the position first clamped to +-1e9 (a
 * non-number goes to the low end) so the conversion cannot overflow. */
static int clamp_trunc(double x)
{
    if (!(x > -position_limit))
        x = -position_limit;
    else if (x > position_limit)
        x = position_limit;
    return static_cast<int>(x);
}

static bool is_lon_axis(const char *ct)
{
    return begins_with(ct, "RA--") || std::strcmp(ct, "RA") == 0 ||
           begins_with(ct, "GLON") || begins_with(ct, "ELON");
}

static bool is_lat_axis(const char *ct)
{
    return begins_with(ct, "DEC-") || std::strcmp(ct, "DEC") == 0 ||
           begins_with(ct, "GLAT") || begins_with(ct, "ELAT");
}

/* rwc_fid: fill r from the header of image fid (NAXIS, then CTYPEn, NAXISn,
 * CDELTn, CRVALn, CRPIXn, CROTAn); absent keywords keep their defaults
 * (no NAXIS card: 0 axes; NAXISn 0; CDELTn 1.0, also for 0; CRPIXn 1.0;
 * others 0).  Returns 0; -9 r null or the handle not open; -8 the header
 * holds more than 9 axes (or a negative NAXIS) or a CTYPE longer than 11
 * characters, which the record cannot hold (r->magic is then 0).
 * Leaves f at the descriptor of fid (the keyword readers set it). */
int rwc_fid(rwc_struct *r, int fid)
{
    if (r == nullptr)
        return -9;
    r->magic = 0;
    r->n_axes = 0;
    for (int n = 0; n <= RWC_MAX_AXES; n++) {
        r->naxis[n] = 0;
        r->ctype[n][0] = '\0';
        r->cdelt[n] = 1.0;
        r->crval[n] = 0.0;
        r->crpix[n] = 1.0;
        r->crota[n] = 0.0;
    }

    int n_axes = 0;
    if (im_rkey_i(fid, &n_axes, "NAXIS") == -3)
        return -9;
    if (n_axes < 0 || n_axes > RWC_MAX_AXES)
        return -8;
    r->n_axes = n_axes;

    for (int n = 1; n <= n_axes; n++) {
        char text[IM_CARD_LEN + 1] = "";
        (void)im_rkey_c(fid, text, im_key("CTYPE", n));
        text[IM_CARD_LEN] = '\0';
        if (!copy_part(r->ctype[n], RWC_CTYPE_LEN - 1, text, std::strlen(text))) {
            r->n_axes = 0;
            return -8;
        }
        (void)im_rkey_i(fid, &r->naxis[n], im_key("NAXIS", n));
        (void)im_rkey_d(fid, &r->cdelt[n], im_key("CDELT", n));
        if (r->cdelt[n] == 0.0)
            r->cdelt[n] = 1.0;
        (void)im_rkey_d(fid, &r->crval[n], im_key("CRVAL", n));
        (void)im_rkey_d(fid, &r->crpix[n], im_key("CRPIX", n));
        (void)im_rkey_d(fid, &r->crota[n], im_key("CROTA", n));
    }

    r->magic = RWC_MAGIC;
    return 0;
}

/* rwcf: translate subset text (not modified) into skips[1..NAXIS] and
 * takes[1..NAXIS] with takes[0] = NAXIS, using the record r.
 * Returns 0; -9 r not filled by rwc_fid (or a null argument, NAXIS outside
 * 0..9, a CTYPE without terminator); -10 text longer than 63 characters;
 * -(10+n) field n malformed: a value is T_illegal, the field is longer than
 * 39 characters, its prefix longer than 15, or its positions not finite
 * (so -20 for a tenth field); -(20+n) a value of field n is an ambiguous
 * plain number; -1 no axis for a field; -2 map_set refused the celestial
 * axes; -3 mapf_string refused the sky position.  On failure takes[0] is
 * left alone and other elements may be partly written.  Does not touch f. */
int rwcf(rwc_struct *r, const char *string, int *skips, int *takes)
{
    /* The record and arguments. */
    if (r == nullptr || r->magic != RWC_MAGIC)
        return -9;
    if (string == nullptr || skips == nullptr || takes == nullptr)
        return -9;
    int n_axes = r->n_axes;
    if (n_axes < 0 || n_axes > RWC_MAX_AXES)
        return -9;
    for (int a = 1; a <= n_axes; a++)
        if (std::memchr(r->ctype[a], '\0', RWC_CTYPE_LEN) == nullptr)
            return -9;

    size_t len = strnlen(string, RWC_TEXT_MAX + 1);
    if (len > RWC_TEXT_MAX)
        return -10;

    q_type_enum q_type[RWC_MAX_AXES + 1];
    double q_val1[RWC_MAX_AXES + 1];
    double q_val2[RWC_MAX_AXES + 1];
    for (int a = 0; a <= RWC_MAX_AXES; a++) {
        q_type[a] = Q_none;
        q_val1[a] = 0.0;
        q_val2[a] = 0.0;
    }
    int next_axis = 1;

    /* One field after the other; a comma at the very end adds no field. */
    size_t start = 0;
    int n = 0;
    while (start < len) {
        size_t end = start;
        while (end < len && string[end] != ',')
            end++;
        n++;
        if (n > RWC_MAX_AXES)
            return -(10 + n);
        char field[RWC_FIELD_MAX + 1];
        if (!copy_part(field, RWC_FIELD_MAX, string + start, end - start))
            return -(10 + n);
        start = end + 1;

        /* Axis-name prefix: letters, and '-' followed by '-' or a letter. */
        size_t pl = 0;
        while (field[pl] != '\0' &&
               (is_letter(field[pl]) ||
                (field[pl] == '-' && (field[pl + 1] == '-' || is_letter(field[pl + 1])))))
            pl++;
        char prefix[RWC_PREFIX_MAX + 1];
        if (!copy_part(prefix, RWC_PREFIX_MAX, field, pl))
            return -(10 + n);
        const char *v1_start = field + pl;
        if (pl == 1 && std::strchr("EGRegr", prefix[0]) != nullptr) {
            /* A system letter: lower case, kept at the front of value 1. */
            prefix[0] = static_cast<char>(prefix[0] | 0x20);
            field[0] = prefix[0];
            v1_start = field;
        }

        /* Value texts: value 1 up to ':' or '^'; value 2 up to '^';
         * value 3 the rest. */
        char v1[RWC_VALUE_MAX + 1], v2[RWC_VALUE_MAX + 1], v3[RWC_VALUE_MAX + 1];
        size_t l1 = std::strcspn(v1_start, ":^");
        char sep = v1_start[l1];
        bool has_v2 = false, has_v3 = false;
        if (!copy_part(v1, RWC_VALUE_MAX, v1_start, l1))
            return -(10 + n);
        if (sep != '\0') {
            const char *v2_start = v1_start + l1 + 1;
            size_t l2 = std::strcspn(v2_start, "^");
            has_v2 = true;
            if (!copy_part(v2, RWC_VALUE_MAX, v2_start, l2))
                return -(10 + n);
            if (v2_start[l2] == '^') {
                const char *v3_start = v2_start + l2 + 1;
                has_v3 = true;
                if (!copy_part(v3, RWC_VALUE_MAX, v3_start, std::strlen(v3_start)))
                    return -(10 + n);
            }
        }

        /* Classify the values in order; each is judged at once. */
        double num1 = 0.0, num2 = 0.0, num3 = 0.0;
        val_type_enum t1 = determine_value_type(prefix, v1, &num1);
        if (t1 == T_illegal)
            return -(10 + n);
        if (t1 == T_ambig)
            return -(20 + n);
        val_type_enum t2 = has_v2 ? determine_value_type(nullptr, v2, &num2) : T_none;
        if (t2 == T_illegal)
            return -(10 + n);
        if (t2 == T_ambig)
            return -(20 + n);
        val_type_enum t3 = has_v3 ? determine_value_type(nullptr, v3, &num3) : T_none;
        if (t3 == T_illegal)
            return -(10 + n);
        if (t3 == T_ambig)
            return -(20 + n);

        if (t1 == T_geometric) {
            /* Sky position: the first longitude axis and a latitude axis
             * after it, whatever the prefix and the next axis say. */
            int lon = 0, lat = 0;
            for (int a = 1; a <= n_axes && lon == 0; a++)
                if (is_lon_axis(r->ctype[a]))
                    lon = a;
            if (lon == 0)
                return -1;
            for (int a = lon + 1; a <= n_axes && lat == 0; a++)
                if (is_lat_axis(r->ctype[a]))
                    lat = a;
            if (lat == 0)
                return -1;

            map_struct m;
            std::memset(&m, 0, sizeof m);
            m.custom_mapf = nullptr;
            m.custom_mapi = nullptr;
            if (map_set(&m, r->ctype[lon], r->ctype[lat], r->cdelt[lon], r->cdelt[lat],
                        r->crval[lon], r->crval[lat], r->crpix[lon], r->crpix[lat],
                        r->crota[lon], r->crota[lat]) != 0)
                return -2;
            if (mapf_string(&m, v1, &q_val1[lon], &q_val1[lat]) != 0)
                return -3;

            /* Sizes: value 2 on the longitude axis, value 3 (or value 2
             * again) on the latitude axis. */
            if (t3 == T_none) {
                t3 = t2;
                num3 = num2;
            }
            q_type[lon] = Q_mid_size;
            q_type[lat] = Q_mid_size;
            q_val2[lon] = size_in_pixels(t2, num2, r->cdelt[lon]);
            q_val2[lat] = size_in_pixels(t3, num3, r->cdelt[lat]);
            if (!std::isfinite(q_val1[lon]) || !std::isfinite(q_val1[lat]) ||
                !std::isfinite(q_val2[lon]) || !std::isfinite(q_val2[lat]))
                return -(10 + n);
            next_axis = lat + 1;
            continue;
        }

        /* The field's axis: named by the prefix, else the next one. */
        int a = 0;
        if (prefix[0] != '\0') {
            for (int k = 1; k <= n_axes && a == 0; k++)
                if (std::strcmp(r->ctype[k], prefix) == 0)
                    a = k;
            if (a == 0)
                return -1;
        } else {
            a = next_axis;
        }
        if (a > n_axes)
            return -1;

        /* Value 1 as a pixel position. */
        switch (t1) {
        case T_absolute_pixel:
            q_val1[a] = num1;
            break;
        case T_relative_pixel:
            q_val1[a] = r->crpix[a] + num1;
            break;
        case T_1d_rwc:
            q_val1[a] = world_to_pixel(r, a, num1);
            break;
        case T_none:
            q_val1[a] = 1.0;
            break;
        case T_illegal:
        case T_ambig:
        case T_geometric:
        default:
            return -(10 + n); /* never reached: handled above */
        }

        if (sep == ':') {
            /* A range; the other end from value 2. */
            q_type[a] = Q_lo_hi;
            switch (t2) {
            case T_absolute_pixel:
                q_val2[a] = t1 == T_relative_pixel ? r->crpix[a] + num2 : num2;
                break;
            case T_relative_pixel:
                q_val2[a] = r->crpix[a] + num2;
                break;
            case T_1d_rwc:
                q_val2[a] = world_to_pixel(r, a, num2);
                break;
            case T_none:
                q_val2[a] = open_end;
                break;
            case T_illegal:
            case T_ambig:
            case T_geometric:
            default:
                return -(10 + n);
            }
        } else if (sep == '^') {
            /* Centre and size; no centre means the middle of the axis. */
            q_type[a] = Q_mid_size;
            if (t1 == T_none)
                q_val1[a] = r->naxis[a] / 2.0 + 0.5;
            q_val2[a] = size_in_pixels(t2, num2, r->cdelt[a]);
        } else if (t1 == T_none) {
            q_type[a] = Q_none;
        } else {
            q_type[a] = Q_lo_hi;
            q_val2[a] = q_val1[a];
        }
        if (q_type[a] != Q_none &&
            (!std::isfinite(q_val1[a]) || !std::isfinite(q_val2[a])))
            return -(10 + n);
        next_axis = a + 1;
    }

    /* Selections from the requests. */
    takes[0] = n_axes;
    for (int a = 1; a <= n_axes; a++) {
        switch (q_type[a]) {
        case Q_none:
            skips[a] = 0;
            takes[a] = whole_axis;
            break;
        case Q_lo_hi: {
            double lo = q_val1[a], hi = q_val2[a];
            if (lo > hi) {
                lo = q_val2[a];
                hi = q_val1[a];
            }
            skips[a] = clamp_trunc(lo - 1.0 + 0.5);
            takes[a] = clamp_trunc(hi + 0.5) - skips[a];
            break;
        }
        case Q_mid_size: {
            int take = clamp_trunc(std::fabs(q_val2[a]) + 0.5);
            if (take < 1)
                take = 1;
            takes[a] = take;
            skips[a] = clamp_trunc(q_val1[a] - 1.0 + 0.5) - take / 2;
            break;
        }
        default:
            return -9;
        }
    }
    return 0;
}
