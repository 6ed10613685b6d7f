/* rwc: the world-coordinate record of an image (rwc_fid) and the translation
 * of subset text into per-axis skip and take counts (rwcf).
 * Invariants: the subset text is never modified (fields are cut into bounded
 * copies); every working buffer write is checked against its size and an
 * over-long text is refused, never cut; every skip and take is computed from
 * finite positions clamped to +-1e9 pixels, so no conversion overflows.
 * Every refusal records a reason (IM_fail) that names the field and says
 * why.  found_at_sign is the one piece of state kept between calls. */
#include <cmath>
#include <cstdarg>
#include <cstdio>
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

/* IM_rwc_pair: the celestial pair of r -- the first longitude axis and the
 * first latitude axis after it.  Returns 0; -1 no longitude axis (*lon and
 * *lat 0); -2 no latitude axis after it (*lon set, *lat 0). */
int im_internal::IM_rwc_pair(const rwc_struct *r, int *lon, int *lat)
{
    *lon = 0;
    *lat = 0;
    for (int a = 1; a <= r->n_axes && *lon == 0; a++)
        if (is_lon_axis(r->ctype[a]))
            *lon = a;
    if (*lon == 0)
        return -1;
    for (int a = *lon + 1; a <= r->n_axes && *lat == 0; a++)
        if (is_lat_axis(r->ctype[a]))
            *lat = a;
    return *lat == 0 ? -2 : 0;
}

/* projection_known: whether the library maps a celestial axis of this
 * CTYPE as map_set reads it (trailing blanks dropped): no projection code
 * (at most four characters) or "----" is linear; "-AIT", "-TAN", "-SIN",
 * "-ARC" and "-POL" after the first four characters are implemented (what
 * follows, such as "-SIP", is ignored); anything else is not.  code (size
 * bytes) receives the characters 6 to 8, the code a reason names. */
static bool projection_known(const char *ctype, char *code, size_t size)
{
    static const char *const known[] = {"----", "-AIT", "-TAN", "-SIN", "-ARC", "-POL"};
    size_t n = std::strlen(ctype);
    while (n > 0 && ctype[n - 1] == ' ')
        n--;
    size_t from = n > 5 ? 5 : n;
    size_t take = n - from < 3 ? n - from : 3;
    std::snprintf(code, size, "%.*s", static_cast<int>(take), ctype + from);
    if (n <= 4)
        return true;
    if (n < 8)
        return false;
    for (const char *k : known)
        if (std::strncmp(ctype + 4, k, 4) == 0)
            return true;
    return false;
}

/* clear_record: r as a header without world-coordinate keywords gives it:
 * no axes, and per axis NAXISn 0, no CTYPE, CDELT 1, CRVAL 0, CRPIX 1,
 * CROTA 0, usable; magic 0 (not filled). */
static void clear_record(rwc_struct *r)
{
    r->magic = 0;
    r->n_axes = 0;
    r->lin_kind = RWC_LIN_CDELT;
    for (int n = 0; n <= RWC_MAX_AXES; n++) {
        r->naxis[n] = 0;
        r->ctype[n][0] = '\0';
        r->cdelt[n] = 1.0;
        r->crval[n] = 0.0;
        r->crpix[n] = 1.0;
        r->crota[n] = 0.0;
        r->axis_state[n] = RWC_AXIS_OK;
        r->other_axis[n] = 0;
        r->skew[n] = 0.0;
    }
}

/* read_axis: CTYPEn, NAXISn, CDELTn, CRVALn, CRPIXn and CROTAn of axis n
 * of image fid into r; an absent or unreadable keyword keeps the value r
 * holds, and a CDELTn of 0 becomes 1.  Returns 0, or -8 with the reason
 * recorded for a CTYPE longer than the record holds.  Sets f. */
static int read_axis(rwc_struct *r, int fid, int n)
{
    char text[IM_CARD_LEN + 1] = "";
    (void)im_rkey_c(fid, text, im_key("CTYPE", n));
    text[IM_CARD_LEN] = '\0';
    if (!copy_part(r->ctype[n], RWC_CTYPE_LEN - 1, text, std::strlen(text)))
        return IM_fail(-8, "CTYPE%d is longer than %d characters", n, RWC_CTYPE_LEN - 1);
    (void)im_rkey_i(fid, &r->naxis[n], im_key("NAXIS", n));
    (void)im_rkey_d(fid, &r->cdelt[n], im_key("CDELT", n));
    if (r->cdelt[n] == 0.0)
        r->cdelt[n] = 1.0;
    (void)im_rkey_d(fid, &r->crval[n], im_key("CRVAL", n));
    (void)im_rkey_d(fid, &r->crpix[n], im_key("CRPIX", n));
    (void)im_rkey_d(fid, &r->crota[n], im_key("CROTA", n));
    return 0;
}

/* rwc_fid: fill r from the header of image fid (NAXIS, then CTYPEn, NAXISn,
 * CDELTn, CRVALn, CRPIXn, CROTAn, then a PCi_j or CDi_j matrix through
 * IM_rwc_linear); absent keywords keep their defaults (no NAXIS card:
 * 0 axes; NAXISn 0; CDELTn 1.0, also for 0; CRPIXn 1.0; others 0).
 * Returns 0; -9 r null or the handle not open; -8 the header holds more
 * than 9 axes (or a negative NAXIS) or a CTYPE longer than 68 characters,
 * which the record cannot hold (r->magic is then 0).  Clears the recorded
 * reason on entry and records one for each refusal.
 * Leaves f at the descriptor of fid (the keyword readers set it). */
int rwc_fid(rwc_struct *r, int fid)
{
    IM_error_clear();
    if (r == nullptr)
        return IM_fail(-9, "no world-coordinate record to fill");
    clear_record(r);

    int n_axes = 0;
    if (im_rkey_i(fid, &n_axes, "NAXIS") == -3)
        return IM_fail(-9, "image handle %d is not open", fid);
    if (n_axes < 0 || n_axes > RWC_MAX_AXES)
        return IM_fail(-8, "NAXIS is %d: subsets handle images of 0 to %d axes", n_axes,
                       RWC_MAX_AXES);
    r->n_axes = n_axes;
    for (int n = 1; n <= n_axes; n++) {
        if (read_axis(r, fid, n) != 0) {
            r->n_axes = 0;
            return -8;
        }
    }
    IM_rwc_linear(r, fid);

    r->magic = RWC_MAGIC;
    return 0;
}

/* ---- rwcf and its steps ------------------------------------------------ */

/* One field of the subset text, as cut and then as classified.  value[k]
 * are the working texts (classification may cut a sexagesimal text in
 * place); shown[k] keep them as written, for reasons. */
struct field_struct {
    int n;                                   /* field number, from 1 */
    char text[RWC_FIELD_MAX + 1];            /* the field as written */
    char prefix[RWC_PREFIX_MAX + 1];         /* axis name or system letter */
    char sep;                                /* first separator ':', '^' or NUL */
    bool present[3];                         /* which values the field has */
    char value[3][RWC_VALUE_MAX + 1];
    char shown[3][RWC_VALUE_MAX + 1];
    val_type_enum kind[3];
    double num[3];
};

/* The request collected for every axis; a later field for an axis replaces
 * an earlier one. */
struct request_struct {
    q_type_enum type[RWC_MAX_AXES + 1];
    double val1[RWC_MAX_AXES + 1];
    double val2[RWC_MAX_AXES + 1];
};

/* field_fail: record "field n ('text'): " followed by the formatted
 * reason (unless a reason is recorded already) and return code. */
static int field_fail(int code, const field_struct *fs, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
static int field_fail(int code, const field_struct *fs, const char *fmt, ...)
{
    char why[IM_REASON_LEN];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(why, sizeof why, fmt, ap);
    va_end(ap);
    return IM_fail(code, "field %d ('%s'): %s", fs->n, fs->text, why);
}

/* check_arguments: the record and the arguments of rwcf.  Returns 0, -9
 * or -10 with the reason recorded. */
static int check_arguments(const rwc_struct *r, const char *string, const int *skips,
                           const int *takes)
{
    if (r == nullptr || r->magic != RWC_MAGIC)
        return IM_fail(-9, "the world-coordinate record was not filled by rwc_fid");
    if (string == nullptr || skips == nullptr || takes == nullptr)
        return IM_fail(-9, "no subset text or no skip and take arrays");
    if (r->n_axes < 0 || r->n_axes > RWC_MAX_AXES)
        return IM_fail(-9, "the world-coordinate record holds %d axes (0 to %d allowed)",
                       r->n_axes, RWC_MAX_AXES);
    for (int a = 1; a <= r->n_axes; a++)
        if (std::memchr(r->ctype[a], '\0', RWC_CTYPE_LEN) == nullptr)
            return IM_fail(-9, "CTYPE%d of the world-coordinate record has no end", a);
    if (strnlen(string, RWC_TEXT_MAX + 1) > RWC_TEXT_MAX)
        return IM_fail(-10, "subset text is longer than %d characters", RWC_TEXT_MAX);
    return 0;
}

/* cut_field: cut field n (text, len characters) into fs: the axis-name
 * prefix (letters, and '-' followed by '-' or a letter), a system letter
 * kept in front of value 1, and up to three values after the separators.
 * Returns 0, or -(10+n) with the reason recorded: a tenth field, or a field
 * or prefix too long. */
static int cut_field(const char *text, size_t len, int n, field_struct *fs)
{
    std::memset(fs, 0, sizeof *fs);
    fs->n = n;
    if (n > RWC_MAX_AXES)
        return IM_fail(-(10 + n), "field %d: more than %d fields", n, RWC_MAX_AXES);
    if (!copy_part(fs->text, RWC_FIELD_MAX, text, len))
        return IM_fail(-(10 + n), "field %d is longer than %d characters", n, RWC_FIELD_MAX);
    char field[RWC_FIELD_MAX + 1];
    std::memcpy(field, fs->text, sizeof field);

    size_t pl = 0;
    while (field[pl] != '\0' &&
           (is_letter(field[pl]) ||
            (field[pl] == '-' && (field[pl + 1] == '-' || is_letter(field[pl + 1])))))
        pl++;
    if (!copy_part(fs->prefix, RWC_PREFIX_MAX, field, pl))
        return field_fail(-(10 + n), fs, "axis name longer than %d characters", RWC_PREFIX_MAX);
    const char *v1_start = field + pl;
    if (pl == 1 && std::strchr("EGRegr", fs->prefix[0]) != nullptr) {
        /* A system letter: lower case, kept at the front of value 1. */
        fs->prefix[0] = static_cast<char>(fs->prefix[0] | 0x20);
        field[0] = fs->prefix[0];
        v1_start = field;
    }

    /* Value 1 up to ':' or '^'; value 2 up to '^'; value 3 the rest. */
    size_t l1 = std::strcspn(v1_start, ":^");
    fs->sep = v1_start[l1];
    fs->present[0] = true;
    if (!copy_part(fs->value[0], RWC_VALUE_MAX, v1_start, l1))
        return field_fail(-(10 + n), fs, "value 1 is longer than %d characters", RWC_VALUE_MAX);
    if (fs->sep != '\0') {
        const char *v2_start = v1_start + l1 + 1;
        size_t l2 = std::strcspn(v2_start, "^");
        fs->present[1] = true;
        if (!copy_part(fs->value[1], RWC_VALUE_MAX, v2_start, l2))
            return field_fail(-(10 + n), fs, "value 2 is longer than %d characters", RWC_VALUE_MAX);
        if (v2_start[l2] == '^') {
            const char *v3_start = v2_start + l2 + 1;
            fs->present[2] = true;
            if (!copy_part(fs->value[2], RWC_VALUE_MAX, v3_start, std::strlen(v3_start)))
                return field_fail(-(10 + n), fs, "value 3 is longer than %d characters",
                                  RWC_VALUE_MAX);
        }
    }
    std::memcpy(fs->shown, fs->value, sizeof fs->shown);
    return 0;
}

/* A text of decimal digits only. */
static bool plain_digits(const char *t)
{
    if (*t == '\0')
        return false;
    for (; *t != '\0'; t++)
        if (*t < '0' || *t > '9')
            return false;
    return true;
}

/* classify_field: classify values 1, 2 and 3 of fs in this order (an absent
 * value is T_none), each judged at once.  Returns 0; -(10+n) a value is
 * malformed; -(20+n) a value is an ambiguous plain number; with the reason
 * recorded. */
static int classify_field(field_struct *fs)
{
    int n = fs->n;
    for (int k = 0; k < 3; k++) {
        fs->kind[k] = T_none;
        if (!fs->present[k])
            continue;
        const char *prefix = k == 0 ? fs->prefix : nullptr;
        fs->kind[k] = determine_value_type(prefix, fs->value[k], &fs->num[k]);
        const char *v = fs->shown[k];
        if (fs->kind[k] == T_illegal) {
            if (k == 0 && fs->prefix[0] == '\0' && v[0] != '\0' && v[0] != '@' &&
                std::strpbrk(v + 1, "+-") != nullptr)
                return field_fail(-(10 + n), fs,
                                  "value 1 ('%s') is malformed; a sky position in degrees "
                                  "needs a system letter e, g or r in front",
                                  v);
            return field_fail(-(10 + n), fs, "value %d ('%s') is malformed", k + 1, v);
        }
        if (fs->kind[k] == T_ambig) {
            if (plain_digits(v))
                return field_fail(-(20 + n), fs,
                                  "ambiguous number '%s' (write @%s for a pixel or %s.0 for "
                                  "a world value)",
                                  v, v, v);
            return field_fail(-(20 + n), fs,
                              "ambiguous number '%s' (mark a pixel value with @, give a world "
                              "value a decimal point, or write an angle as 0d2m)",
                              v);
        }
    }
    return 0;
}

/* Name of the keywords that gave a record's scales, for reasons. */
static const char *lin_name(rwc_lin_kind kind)
{
    switch (kind) {
    case RWC_LIN_CDELT:
        return "CDELT/CROTA";
    case RWC_LIN_PC:
        return "PC";
    case RWC_LIN_CD:
        return "CD";
    default:
        return "world-coordinate";
    }
}

/* matrix_refusal: 0 when the record's matrix lets world values be
 * converted on axis a; else -4 skewed, -5 singular or not finite, -6 axis
 * coupled with another (-9 an unknown state), with the reason recorded. */
static int matrix_refusal(const rwc_struct *r, int a, const field_struct *fs)
{
    const char *m = lin_name(r->lin_kind);
    int o = r->other_axis[a];
    static const char pixels_only[] = "only pixel fields (@) can be used";
    switch (r->axis_state[a]) {
    case RWC_AXIS_OK:
        return 0;
    case RWC_AXIS_SKEWED:
        return field_fail(-4, fs,
                          "%s matrix of axes %d and %d is skewed by %.3g degrees (at most %.3g "
                          "is taken as a rotation); %s",
                          m, a, o, r->skew[a], IM_RWC_SKEW_LIMIT * 57.29577951308232, pixels_only);
    case RWC_AXIS_SINGULAR:
        if (o != 0)
            return field_fail(-5, fs, "%s matrix of axes %d and %d is singular; %s", m, a, o,
                              pixels_only);
        return field_fail(-5, fs, "%s matrix gives axis %d no scale (its diagonal entry is 0); %s",
                          m, a, pixels_only);
    case RWC_AXIS_MIXED:
        return field_fail(-6, fs, "%s matrix couples axis %d with axis %d (%s%d_%d is not 0); %s",
                          m, a, o, m, a, o, pixels_only);
    case RWC_AXIS_NOT_FINITE:
        if (r->lin_kind == RWC_LIN_PC)
            return field_fail(-5, fs, "PC%d_%d or CDELT%d is not a finite number; %s", a, o, a,
                              pixels_only);
        return field_fail(-5, fs, "%s%d_%d is not a finite number; %s", m, a, o, pixels_only);
    default:
        return field_fail(-9, fs, "axis %d has an unknown world-coordinate state %d", a,
                          static_cast<int>(r->axis_state[a]));
    }
}

/* projection_refusal: 0 unless axis a is celestial and its projection is
 * not one the library implements: then -7 with the reason recorded. */
static int projection_refusal(const rwc_struct *r, int a, const field_struct *fs)
{
    char code[4];
    if (!is_lon_axis(r->ctype[a]) && !is_lat_axis(r->ctype[a]))
        return 0;
    if (projection_known(r->ctype[a], code, sizeof code))
        return 0;
    return field_fail(-7, fs,
                      "unknown projection %s of axis %d ('%s'); only AIT, TAN, SIN, ARC, POL "
                      "and linear axes take world values, pixel fields (@) work on any",
                      code, a, r->ctype[a]);
}

/* map_set_refusal: the reason for map_set's code on the pair (lon, lat);
 * returns rwcf's -2. */
static int map_set_refusal(const rwc_struct *r, int lon, int lat, int code, const field_struct *fs)
{
    const char *c1 = r->ctype[lon];
    const char *c2 = r->ctype[lat];
    const char *suffix = std::strlen(c1) > 4 ? c1 + 4 : "";
    switch (code) {
    case -1:
    case -2:
        return field_fail(-2, fs, "axes %d ('%s') and %d ('%s') are not the longitude and latitude "
                          "of one system", lon, c1, lat, c2);
    case -3:
        return field_fail(-2, fs, "axes %d ('%s') and %d ('%s') have different projections", lon,
                          c1, lat, c2);
    case -4:
        return field_fail(-2, fs, "CRVAL%d is %g, but projection %.4s needs a reference latitude "
                          "of %s", lat, r->crval[lat], suffix,
                          begins_with(suffix, "-AIT") ? "0" : "+90 or -90");
    case -5:
        return field_fail(-2, fs, "CDELT of axis %d or %d is 0", lon, lat);
    case -6:
        return field_fail(-2, fs, "CROTA%d (%g) is not 0 and differs from CROTA%d (%g)", lon,
                          r->crota[lon], lat, r->crota[lat]);
    default:
        return field_fail(-2, fs, "the projection of axes %d and %d cannot be set up (%d)", lon,
                          lat, code);
    }
}

/* position_refusal: the reason for mapf_string's code on value 1 of fs;
 * returns rwcf's -3. */
static int position_refusal(int code, const field_struct *fs)
{
    const char *v = fs->shown[0];
    switch (code) {
    case -1:
        return field_fail(-3, fs, "no latitude after the longitude in '%s' (the latitude begins "
                          "with its sign, as in r12h30m+45d)", v);
    case -2:
        return field_fail(-3, fs, "the longitude of '%s' is malformed", v);
    case -3:
        return field_fail(-3, fs, "the latitude of '%s' is malformed", v);
    case -4:
        return field_fail(-3, fs, "'%s' names no coordinate system: put e, g or r in front of a "
                          "longitude in degrees", v);
    default:
        return field_fail(-3, fs, "the sky position '%s' cannot be mapped (%d)", v, code);
    }
}

/* sky_field: the request of a sky-position field on the celestial pair:
 * the centre from value 1 through the image's projection, the sizes from
 * value 2 (longitude axis) and value 3 (latitude axis; value 2 again
 * without it).  Returns 0 with *next_axis after the latitude axis, or a
 * code of rwcf (-1, -2, -3, -4 .. -7, -(10+n)) with the reason recorded. */
static int sky_field(const rwc_struct *r, field_struct *fs, request_struct *q, int *next_axis)
{
    int lon = 0, lat = 0;
    int rc = IM_rwc_pair(r, &lon, &lat);
    if (rc == -1)
        return field_fail(-1, fs, "a sky position needs a longitude axis (CTYPE RA, RA--, GLON "
                          "or ELON)");
    if (rc != 0)
        return field_fail(-1, fs, "a sky position needs a latitude axis (DEC, GLAT or ELAT) "
                          "after axis %d ('%s')", lon, r->ctype[lon]);
    rc = matrix_refusal(r, lon, fs);
    if (rc == 0)
        rc = matrix_refusal(r, lat, fs);
    if (rc != 0)
        return rc;

    map_struct m;
    std::memset(&m, 0, sizeof m);
    m.custom_mapf = nullptr;
    m.custom_mapi = nullptr;
    rc = map_set(&m, r->ctype[lon], r->ctype[lat], r->cdelt[lon], r->cdelt[lat], r->crval[lon],
                 r->crval[lat], r->crpix[lon], r->crpix[lat], r->crota[lon], r->crota[lat]);
    if (rc != 0)
        return map_set_refusal(r, lon, lat, rc, fs);
    /* A custom projection is for direct callers of map_set only. */
    rc = projection_refusal(r, lon, fs);
    if (rc == 0)
        rc = projection_refusal(r, lat, fs);
    if (rc != 0)
        return rc;
    rc = mapf_string(&m, fs->value[0], &q->val1[lon], &q->val1[lat]);
    if (rc != 0)
        return position_refusal(rc, fs);

    if (fs->kind[2] == T_none) {
        fs->kind[2] = fs->kind[1];
        fs->num[2] = fs->num[1];
    }
    q->type[lon] = Q_mid_size;
    q->type[lat] = Q_mid_size;
    q->val2[lon] = size_in_pixels(fs->kind[1], fs->num[1], r->cdelt[lon]);
    q->val2[lat] = size_in_pixels(fs->kind[2], fs->num[2], r->cdelt[lat]);
    if (!std::isfinite(q->val1[lon]) || !std::isfinite(q->val1[lat]) ||
        !std::isfinite(q->val2[lon]) || !std::isfinite(q->val2[lat]))
        return field_fail(-(10 + fs->n), fs, "the position or size is not a finite number of "
                          "pixels");
    *next_axis = lat + 1;
    return 0;
}

/* no_axis_named: the reason for a prefix that names no axis, with the
 * names the image has; returns -1. */
static int no_axis_named(const rwc_struct *r, const field_struct *fs)
{
    char names[IM_REASON_LEN / 2] = "";
    size_t used = 0;
    for (int a = 1; a <= r->n_axes && used < sizeof names; a++) {
        int w = std::snprintf(names + used, sizeof names - used, "%s'%s'", a > 1 ? ", " : "",
                              r->ctype[a]);
        if (w < 0)
            break;
        used += static_cast<size_t>(w);
    }
    return field_fail(-1, fs, "no axis named %s (the axes are named %s)", fs->prefix,
                      r->n_axes > 0 ? names : "nothing: the image has no axes");
}

/* axis_field: the request of a field on one axis -- the axis its prefix
 * names, else *next_axis.  Returns 0 with *next_axis after it, or a code of
 * rwcf (-1, -4 .. -7, -(10+n)) with the reason recorded. */
static int axis_field(const rwc_struct *r, field_struct *fs, request_struct *q, int *next_axis)
{
    int n = fs->n;
    int a = 0;
    if (fs->prefix[0] != '\0') {
        for (int k = 1; k <= r->n_axes && a == 0; k++)
            if (std::strcmp(r->ctype[k], fs->prefix) == 0)
                a = k;
        if (a == 0)
            return no_axis_named(r, fs);
    } else {
        a = *next_axis;
    }
    if (a > r->n_axes)
        return field_fail(-1, fs, "no axis %d: the image has %d", a, r->n_axes);

    /* World values need a usable scale on the axis; the two axes of the
     * celestial pair take theirs from one 2 x 2 block, so both must be. */
    val_type_enum t1 = fs->kind[0], t2 = fs->kind[1];
    if (t1 == T_1d_rwc || (fs->sep != '\0' && t2 == T_1d_rwc)) {
        int lon = 0, lat = 0;
        int partner = 0;
        if (IM_rwc_pair(r, &lon, &lat) == 0 && (a == lon || a == lat))
            partner = a == lon ? lat : lon;
        int rc = matrix_refusal(r, a, fs);
        if (rc == 0 && partner != 0)
            rc = matrix_refusal(r, partner, fs);
        if (rc == 0)
            rc = projection_refusal(r, a, fs);
        if (rc != 0)
            return rc;
    }

    /* Value 1 as a pixel position. */
    switch (t1) {
    case T_absolute_pixel:
        q->val1[a] = fs->num[0];
        break;
    case T_relative_pixel:
        q->val1[a] = r->crpix[a] + fs->num[0];
        break;
    case T_1d_rwc:
        q->val1[a] = world_to_pixel(r, a, fs->num[0]);
        break;
    case T_none:
        q->val1[a] = 1.0;
        break;
    case T_illegal:
    case T_ambig:
    case T_geometric:
    default:
        return field_fail(-(10 + n), fs, "value 1 cannot be placed on axis %d", a);
    }

    if (fs->sep == ':') {
        /* A range; the other end from value 2. */
        q->type[a] = Q_lo_hi;
        switch (t2) {
        case T_absolute_pixel:
            q->val2[a] = t1 == T_relative_pixel ? r->crpix[a] + fs->num[1] : fs->num[1];
            break;
        case T_relative_pixel:
            q->val2[a] = r->crpix[a] + fs->num[1];
            break;
        case T_1d_rwc:
            q->val2[a] = world_to_pixel(r, a, fs->num[1]);
            break;
        case T_none:
            q->val2[a] = open_end;
            break;
        case T_illegal:
        case T_ambig:
        case T_geometric:
        default:
            return field_fail(-(10 + n), fs, "value 2 cannot be placed on axis %d", a);
        }
    } else if (fs->sep == '^') {
        /* Centre and size; no centre means the middle of the axis. */
        q->type[a] = Q_mid_size;
        if (t1 == T_none)
            q->val1[a] = r->naxis[a] / 2.0 + 0.5;
        q->val2[a] = size_in_pixels(t2, fs->num[1], r->cdelt[a]);
    } else if (t1 == T_none) {
        q->type[a] = Q_none;
    } else {
        q->type[a] = Q_lo_hi;
        q->val2[a] = q->val1[a];
    }
    if (q->type[a] != Q_none && (!std::isfinite(q->val1[a]) || !std::isfinite(q->val2[a])))
        return field_fail(-(10 + n), fs, "the position is not a finite number of pixels");
    *next_axis = a + 1;
    return 0;
}

/* select_axes: skips[1..NAXIS] and takes[1..NAXIS] from the requests, and
 * takes[0] = NAXIS.  Returns 0, or -9 for a request of unknown type. */
static int select_axes(const rwc_struct *r, const request_struct *q, int *skips, int *takes)
{
    takes[0] = r->n_axes;
    for (int a = 1; a <= r->n_axes; a++) {
        switch (q->type[a]) {
        case Q_none:
            skips[a] = 0;
            takes[a] = whole_axis;
            break;
        case Q_lo_hi: {
            double lo = q->val1[a], hi = q->val2[a];
            if (lo > hi) {
                lo = q->val2[a];
                hi = q->val1[a];
            }
            skips[a] = clamp_trunc(lo - 1.0 + 0.5);
            takes[a] = clamp_trunc(hi + 0.5) - skips[a];
            break;
        }
        case Q_mid_size: {
            int take = clamp_trunc(std::fabs(q->val2[a]) + 0.5);
            if (take < 1)
                take = 1;
            takes[a] = take;
            skips[a] = clamp_trunc(q->val1[a] - 1.0 + 0.5) - take / 2;
            break;
        }
        default:
            return IM_fail(-9, "axis %d has an unknown request %d", a,
                           static_cast<int>(q->type[a]));
        }
    }
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
 * axes; -3 mapf_string refused the sky position.  A world value, or a sky
 * position, on an axis whose world coordinates cannot convert it:
 * -4 the celestial pair's PC/CD matrix is skewed; -5 the matrix is
 * singular there (or gives the axis no scale) or holds a value that is not
 * finite; -6 the matrix couples the axis with another axis; -7 the axis is
 * celestial and its projection is not AIT, TAN, SIN, ARC, POL or linear.
 * Clears the recorded reason on entry and records one for every refusal
 * (im_errmsg).  On failure takes[0] is left alone and other elements may be
 * partly written.  Does not touch f. */
int rwcf(rwc_struct *r, const char *string, int *skips, int *takes)
{
    IM_error_clear();
    int rc = check_arguments(r, string, skips, takes);
    if (rc != 0)
        return rc;

    request_struct q;
    for (int a = 0; a <= RWC_MAX_AXES; a++) {
        q.type[a] = Q_none;
        q.val1[a] = 0.0;
        q.val2[a] = 0.0;
    }
    int next_axis = 1;

    /* One field after the other; a comma at the very end adds no field. */
    size_t len = std::strlen(string);
    size_t start = 0;
    int n = 0;
    while (start < len) {
        size_t end = start;
        while (end < len && string[end] != ',')
            end++;
        n++;
        field_struct fs;
        rc = cut_field(string + start, end - start, n, &fs);
        if (rc == 0)
            rc = classify_field(&fs);
        if (rc == 0)
            rc = fs.kind[0] == T_geometric ? sky_field(r, &fs, &q, &next_axis)
                                           : axis_field(r, &fs, &q, &next_axis);
        if (rc != 0)
            return rc;
        start = end + 1;
    }

    return select_axes(r, &q, skips, takes);
}
