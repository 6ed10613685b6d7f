/* rwc_lin: the linear part of an image's world coordinates -- a PCi_j
 * matrix (with CDELTi) or a CDi_j matrix read from the header and put into
 * the CDELT and CROTA form that rwcf and map_set work with.
 * Invariants: a header with neither matrix leaves cdelt and crota exactly as
 * CDELTn and CROTAn gave them; a matrix with no such form (skewed, singular,
 * coupling axes, not finite) is never refused here but kept as a per-axis
 * state, so that pixel fields still work and only world values are refused
 * (by rwcf). */
#include <cmath>
#include <cstdio>

#include "im.h"

static const double pi = 3.141592653589793;
static const double half_pi = 1.5707963267948966;
static const double rad_to_deg = 57.29577951308232;

/* Largest skew of the celestial pair's matrix that is taken as a pure
 * rotation (radians).  Using the mean direction of the two columns moves a
 * pixel at distance R from the reference pixel by at most R * skew / 2, so
 * 1e-4 keeps every pixel within 10000 pixels of the reference pixel within
 * half a pixel of where the full matrix puts it. */
static const double skew_limit = IM_RWC_SKEW_LIMIT;

/* A header matrix: m[i][j] couples world axis i with pixel axis j
 * (1..n, row and column 0 unused). */
struct lin_matrix {
    double m[RWC_MAX_AXES + 1][RWC_MAX_AXES + 1];
};

/* read_matrix: read the keywords <base>i_j (i, j = 1..n) of image fid into
 * x, starting from the identity (identity set) or from zeros.  A card whose
 * value is not a number stores NaN, so that rwcf can name it.
 * Returns how many of the keywords the header holds.  Sets f. */
static int read_matrix(int fid, int n, const char *base, bool identity, lin_matrix *x)
{
    int found = 0;
    for (int i = 0; i <= RWC_MAX_AXES; i++)
        for (int j = 0; j <= RWC_MAX_AXES; j++)
            x->m[i][j] = (identity && i == j) ? 1.0 : 0.0;
    for (int i = 1; i <= n; i++) {
        for (int j = 1; j <= n; j++) {
            char key[32];
            std::snprintf(key, sizeof key, "%s%d_%d", base, i, j);
            double v = 0.0;
            int rc = im_rkey_d(fid, &v, key);
            if (rc > 0) {
                x->m[i][j] = v;
                found++;
            } else if (rc == -4) {
                x->m[i][j] = std::nan("");
                found++;
            }
        }
    }
    return found;
}

/* Set axis a to state s with partner axis other, unless an earlier check
 * already gave it a state (the first reason found is kept). */
static void mark(rwc_struct *r, int a, rwc_axis_state s, int other)
{
    if (r->axis_state[a] != RWC_AXIS_OK)
        return;
    r->axis_state[a] = s;
    r->other_axis[a] = other;
}

/* An angle difference brought into -pi .. pi (input within -2pi .. 2pi). */
static double wrap(double x)
{
    if (x > pi)
        return x - 2.0 * pi;
    if (x <= -pi)
        return x + 2.0 * pi;
    return x;
}

/* pair_form: put the 2 x 2 block [[a, b], [c, d]] of the celestial pair
 * (lon, lat) into CDELT and CROTA form, the block being
 * [[CDELT1 cos t, -CDELT2 sin t], [CDELT1 sin t, CDELT2 cos t]] with
 * t = CROTA in -90 .. 90 degrees.  Marks both axes singular or skewed
 * instead when the block has no such form.  Entries are finite. */
static void pair_form(rwc_struct *r, int lon, int lat, double a, double b, double c, double d)
{
    /* No rotation: the diagonal is the scale, taken exactly. */
    if (b == 0.0 && c == 0.0) {
        if (a == 0.0 || d == 0.0) {
            mark(r, lon, RWC_AXIS_SINGULAR, lat);
            mark(r, lat, RWC_AXIS_SINGULAR, lon);
            return;
        }
        r->cdelt[lon] = a;
        r->cdelt[lat] = d;
        r->crota[lon] = 0.0;
        r->crota[lat] = 0.0;
        return;
    }

    /* Column lengths are the scales; a zero column or parallel columns
     * (zero determinant of the unit columns) leave no inverse. */
    double len1 = std::hypot(a, c);
    double len2 = std::hypot(b, d);
    if (!std::isfinite(len1) || !std::isfinite(len2)) {
        mark(r, lon, RWC_AXIS_NOT_FINITE, lat);
        mark(r, lat, RWC_AXIS_NOT_FINITE, lon);
        return;
    }
    double det = 0.0;
    if (len1 > 0.0 && len2 > 0.0)
        det = (a / len1) * (d / len2) - (c / len1) * (b / len2);
    if (det == 0.0) {
        mark(r, lon, RWC_AXIS_SINGULAR, lat);
        mark(r, lat, RWC_AXIS_SINGULAR, lon);
        return;
    }

    /* The sign of CDELT1 * CDELT2 is that of the determinant (CDELT2 is
     * taken positive for now); each column then gives a rotation, and the
     * difference of the two is the skew. */
    double sgn = det < 0.0 ? -1.0 : 1.0;
    double rot1 = std::atan2(sgn * c, sgn * a);
    double rot2 = std::atan2(-b, d);
    double skew = wrap(rot1 - rot2);
    if (std::fabs(skew) > skew_limit) {
        mark(r, lon, RWC_AXIS_SKEWED, lat);
        mark(r, lat, RWC_AXIS_SKEWED, lon);
        r->skew[lon] = std::fabs(skew) * rad_to_deg;
        r->skew[lat] = r->skew[lon];
        return;
    }

    /* Mean rotation, brought into -90 .. 90 degrees by turning both scales
     * round, so that each scale keeps the sign of its diagonal entry. */
    double t = wrap(rot2 + skew / 2.0);
    double s1 = sgn * len1;
    double s2 = len2;
    if (t > half_pi) {
        t -= pi;
        s1 = -s1;
        s2 = -s2;
    } else if (t <= -half_pi) {
        t += pi;
        s1 = -s1;
        s2 = -s2;
    }
    r->cdelt[lon] = s1;
    r->cdelt[lat] = s2;
    r->crota[lon] = t * rad_to_deg + 0.0;
    r->crota[lat] = r->crota[lon];
}

/* apply_matrix: set every axis's scale and state from the matrix x of the
 * record's n_axes axes; the celestial pair (when the image has one) from
 * its 2 x 2 block, every other axis from its diagonal entry. */
static void apply_matrix(rwc_struct *r, const lin_matrix *x)
{
    int n = r->n_axes;
    int lon = 0, lat = 0;
    if (IM_rwc_pair(r, &lon, &lat) != 0)
        lon = lat = 0;

    /* World axis i is usable only when row i is: a value that is not
     * finite, or a term coupling it with a pixel axis outside its own
     * (or, inside the celestial pair, outside the pair), spoils it. */
    for (int i = 1; i <= n; i++)
        for (int j = 1; j <= n; j++) {
            bool in_pair = lon != 0 && (i == lon || i == lat) && (j == lon || j == lat);
            if (!std::isfinite(x->m[i][j]))
                mark(r, i, RWC_AXIS_NOT_FINITE, j);
            else if (i != j && !in_pair && x->m[i][j] != 0.0)
                mark(r, i, RWC_AXIS_MIXED, j);
        }

    /* Scales. */
    for (int k = 1; k <= n; k++) {
        r->crota[k] = 0.0;
        if (k == lon || k == lat || r->axis_state[k] != RWC_AXIS_OK)
            continue;
        if (x->m[k][k] == 0.0)
            mark(r, k, RWC_AXIS_SINGULAR, 0);
        else
            r->cdelt[k] = x->m[k][k];
    }
    if (lon != 0 && r->axis_state[lon] == RWC_AXIS_OK && r->axis_state[lat] == RWC_AXIS_OK)
        pair_form(r, lon, lat, x->m[lon][lon], x->m[lon][lat], x->m[lat][lon], x->m[lat][lat]);
}

/* IM_rwc_linear: read PCi_j (with CDELTi) or CDi_j of image fid into r,
 * whose n_axes, ctype, cdelt and crota rwc_fid has filled.  PC wins when
 * both appear; missing PC entries are the identity's, missing CD entries 0,
 * a missing CDELTi 1.0.  Without either matrix r is left as it is.
 * Sets lin_kind, axis_state, other_axis, skew and, with a matrix, cdelt and
 * crota.  Returns nothing: every problem is an axis state.  Sets f. */
void im_internal::IM_rwc_linear(rwc_struct *r, int fid)
{
    int n = r->n_axes;
    r->lin_kind = RWC_LIN_CDELT;
    for (int a = 0; a <= RWC_MAX_AXES; a++) {
        r->axis_state[a] = RWC_AXIS_OK;
        r->other_axis[a] = 0;
        r->skew[a] = 0.0;
    }

    lin_matrix x;
    if (read_matrix(fid, n, "PC", true, &x) > 0) {
        /* PC scaled row by row by CDELT as the header gives it: a CDELT
         * of 0 here is a singular matrix, not 1 degree per pixel. */
        r->lin_kind = RWC_LIN_PC;
        for (int i = 1; i <= n; i++) {
            double cdelt = 1.0;
            int rc = im_rkey_d(fid, &cdelt, im_key("CDELT", i));
            if (rc == -4)
                cdelt = std::nan("");
            for (int j = 1; j <= n; j++)
                x.m[i][j] = cdelt * x.m[i][j];
        }
    } else if (read_matrix(fid, n, "CD", false, &x) > 0) {
        r->lin_kind = RWC_LIN_CD;
    } else {
        return;
    }
    apply_matrix(r, &x);
}
