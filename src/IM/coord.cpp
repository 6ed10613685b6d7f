/* coord: conversion of sky positions between equatorial ('r'), galactic ('g')
 * and ecliptic ('e') coordinates, all B1950.0, by fixed rotation matrices.
 * Invariants: angles are degrees at the interface; an output longitude of a
 * real conversion lies in 0 .. 360 and a latitude in -90 .. 90. */
#include <cmath>

#include "im.h"

/* Each matrix: element 0 unused, elements 1..9 the 3 x 3 matrix row by row.
 * Named m_ + source letter + target letter. */
static const double m_rg[10] = {
    0.0,
    -0.066988739, -0.872755757, -0.483538931,
    0.492728466, -0.450346972, 0.744584624,
    -0.867600811, -0.188374611, 0.460199781};

static const double m_gr[10] = {
    0.0,
    -0.066988739, 0.492728466, -0.867600811,
    -0.872755757, -0.450346972, -0.188374611,
    -0.483538931, 0.744584624, 0.460199781};

static const double m_re[10] = {
    0.0,
    1.0, 0.0, 0.0,
    0.0, 0.917436945, 0.397881203,
    0.0, -0.397881203, 0.917436945};

static const double m_er[10] = {
    0.0,
    1.0, 0.0, 0.0,
    0.0, 0.917436945, -0.397881203,
    0.0, 0.397881203, 0.917436945};

static const double m_eg[10] = {
    0.0,
    -0.066988739, -0.993089427, -0.096363369,
    0.492728466, -0.116908724, 0.862294038,
    -0.867600811, 0.010283015, 0.497154998};

static const double m_ge[10] = {
    0.0,
    -0.066988739, 0.492728466, -0.867600811,
    -0.993089427, -0.116908724, 0.010283015,
    -0.096363369, 0.862294038, 0.497154998};

static const double deg_to_rad = 0.017453292519943295;
static const double rad_to_deg = 57.29577951308232;

/* The matrix for a pair of different known systems, or null. */
static const double *pick_matrix(int in_type, int out_type)
{
    switch (in_type) {
    case 'r':
        return out_type == 'g' ? m_rg : out_type == 'e' ? m_re : nullptr;
    case 'g':
        return out_type == 'r' ? m_gr : out_type == 'e' ? m_ge : nullptr;
    case 'e':
        return out_type == 'r' ? m_er : out_type == 'g' ? m_eg : nullptr;
    default:
        return nullptr;
    }
}

static bool is_system(int c)
{
    return c == 'r' || c == 'g' || c == 'e';
}

/* map_coord: convert (in_lon, in_lat) in degrees from system in_type to
 * out_type ('r', 'g' or 'e').  Returns 0, or -2 for an unknown letter on
 * either side or a null output (outputs untouched).  Equal systems copy the
 * input unchanged.
 * The outputs may alias the caller's input variables.  Does not touch f. */
int map_coord(int in_type, double in_lon, double in_lat, int out_type,
              double *out_lon, double *out_lat)
{
    if (!is_system(in_type) || !is_system(out_type) || out_lon == nullptr ||
        out_lat == nullptr)
        return -2;
    if (in_type == out_type) {
        *out_lon = in_lon;
        *out_lat = in_lat;
        return 0;
    }
    const double *m = pick_matrix(in_type, out_type);
    if (m == nullptr)
        return -2;

    /* Unit vector of the position, rotated by the matrix. */
    double lam = in_lon * deg_to_rad;
    double bet = in_lat * deg_to_rad;
    double v1 = std::cos(bet) * std::cos(lam);
    double v2 = std::cos(bet) * std::sin(lam);
    double v3 = std::sin(bet);
    double w1 = m[1] * v1 + m[2] * v2 + m[3] * v3;
    double w2 = m[4] * v1 + m[5] * v2 + m[6] * v3;
    double w3 = m[7] * v1 + m[8] * v2 + m[9] * v3;

    /* Back to angles.  The matrices are orthogonal only to about 1e-9, so
     * the rotated vector is not exactly of unit length: an arc sine of its
     * third component would lose up to ~3e-3 degrees near a pole (and could
     * see values past +-1).  The angle from the component in the equatorial
     * plane equals that arc sine for a unit vector, never exceeds +-90 and
     * stays accurate at the poles. */
    double lon = std::atan2(w2, w1) * rad_to_deg;
    if (lon < 0.0)
        lon += 360.0;
    double lat = std::atan2(w3, std::hypot(w1, w2)) * rad_to_deg;
    *out_lon = lon;
    *out_lat = lat;
    return 0;
}
