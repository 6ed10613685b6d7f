/* mapf: forward mapping of a sky position to a 1-based pixel position through
 * the projection of a record set up by map_set.
 * Invariants: every projection maps every point (none refuses); the
 * reference position lands exactly on the reference pixel (x = y = 0). */
#include <cmath>

#include "im.h"

static const double deg_to_rad = 0.017453292519943295;
static const double pi = 3.141592653589793;
static const double two_pi = 6.283185307179586;
static const double tiny = 1e-6; /* TAN divisor floor, AIT distance test */

/* Each projection reads dlon, lat (and sin_lat0/cos_lat0 or lat0) and writes
 * x, y in radians on the projection plane. */

/* Hammer-Aitoff about (lon0, 0). */
static void mapf_AIT(map_struct *p)
{
    double cos_lat = std::cos(p->lat);
    double rho = std::acos(std::cos(p->dlon / 2.0) * cos_lat);
    double s = 0.0;
    if (std::fabs(rho) >= tiny)
        s = cos_lat * std::sin(p->dlon / 2.0) / std::sin(rho);
    if (s > 1.0)
        s = 1.0;
    else if (s < -1.0)
        s = -1.0;
    double half = std::sin(rho / 2.0);
    p->x = 4.0 * half * s;
    p->y = 2.0 * half * std::cos(std::asin(s));
    if (p->lat < 0.0)
        p->y = -p->y;
}

/* Gnomonic; points beyond 90 degrees go through the opposite side. */
static void mapf_TAN(map_struct *p)
{
    double sin_lat = std::sin(p->lat);
    double cos_lat = std::cos(p->lat);
    double cos_dlon = std::cos(p->dlon);
    double d = p->sin_lat0 * sin_lat + p->cos_lat0 * cos_lat * cos_dlon;
    if (d >= 0.0 && d < tiny)
        d = tiny;
    else if (d < 0.0 && d > -tiny)
        d = -tiny;
    p->x = cos_lat * std::sin(p->dlon) / d;
    p->y = (p->cos_lat0 * sin_lat - p->sin_lat0 * cos_lat * cos_dlon) / d;
}

/* Orthographic; the far hemisphere folds onto the near disc. */
static void mapf_SIN(map_struct *p)
{
    double sin_lat = std::sin(p->lat);
    double cos_lat = std::cos(p->lat);
    double cos_dlon = std::cos(p->dlon);
    p->x = cos_lat * std::sin(p->dlon);
    p->y = p->cos_lat0 * sin_lat - p->sin_lat0 * cos_lat * cos_dlon;
}

/* Zenithal equidistant.  Rounding can push the cosine of the distance just
 * past 1 at the reference point; it is clamped so that theta is exactly 0
 * there and the point lands on the reference pixel. */
static void mapf_ARC(map_struct *p)
{
    double sin_lat = std::sin(p->lat);
    double cos_lat = std::cos(p->lat);
    double cos_dlon = std::cos(p->dlon);
    double c = p->sin_lat0 * sin_lat + p->cos_lat0 * cos_lat * cos_dlon;
    if (c > 1.0)
        c = 1.0;
    else if (c < -1.0)
        c = -1.0;
    double theta = std::acos(c);
    double k = theta == 0.0 ? 0.0 : theta / std::sin(theta);
    p->x = k * cos_lat * std::sin(p->dlon);
    p->y = k * (p->cos_lat0 * sin_lat - p->sin_lat0 * cos_lat * cos_dlon);
}

/* Equidistant from the celestial pole at lat0 (+-90 degrees). */
static void mapf_POL(map_struct *p)
{
    if (p->lat0 > 0.0) {
        double d = p->lat0 - p->lat;
        p->x = d * std::sin(p->dlon);
        p->y = -d * std::cos(p->dlon);
    } else {
        double d = p->lat - p->lat0;
        p->x = d * std::sin(p->dlon);
        p->y = d * std::cos(p->dlon);
    }
}

/* Plain longitude and latitude offsets. */
static void mapf_linear(map_struct *p)
{
    p->x = p->dlon;
    p->y = p->lat - p->lat0;
}

/* A caller-supplied projection, or the linear offsets without one. */
static void mapf_custom(map_struct *p)
{
    if (p->custom_mapf != nullptr)
        (void)p->custom_mapf(p);
    else
        mapf_linear(p);
}

/* mapf: map (in_lon, in_lat), degrees in system coord_type ('r', 'e', 'g',
 * or ' ' for the map's own), to the pixel position (out_x, out_y).
 * Returns 0; -1 p not set up by map_set (or a null pointer argument);
 * -2 the letter is unknown to map_coord.  Overwrites p's working fields
 * dlon, lat, x, y.  Does not touch f. */
int mapf(map_struct *p, int coord_type, double in_lon, double in_lat,
         double *out_x, double *out_y)
{
    if (p == nullptr || p->magic != MAP_MAGIC || out_x == nullptr || out_y == nullptr)
        return -1;

    /* Into the map's own system when the position is given in another. */
    double lon = in_lon;
    double lat = in_lat;
    if (coord_type != ' ' && coord_type != p->map_coord_type) {
        if (map_coord(coord_type, lon, lat, p->map_coord_type, &lon, &lat) != 0)
            return -2;
    }

    /* Offset from the reference longitude, taken the short way round. */
    p->dlon = lon * deg_to_rad - p->lon0;
    if (p->dlon < -pi)
        p->dlon += two_pi;
    else if (p->dlon > pi)
        p->dlon -= two_pi;
    p->lat = lat * deg_to_rad;

    switch (p->proj_type) {
    case P_AIT:
        mapf_AIT(p);
        break;
    case P_TAN:
        mapf_TAN(p);
        break;
    case P_SIN:
        mapf_SIN(p);
        break;
    case P_ARC:
        mapf_ARC(p);
        break;
    case P_POL:
        mapf_POL(p);
        break;
    case P_custom:
        mapf_custom(p);
        break;
    case P_linear:
        mapf_linear(p);
        break;
    default:
        return -1;
    }

    /* Rotation by CROTA of the latitude axis. */
    if (p->twist_angle2 != 0.0) {
        double ct = std::cos(p->twist_angle2);
        double st = std::sin(-p->twist_angle2);
        double x = p->x * ct - p->y * st;
        double y = p->y * ct + p->x * st;
        p->x = x;
        p->y = y;
    }

    *out_x = p->x * p->x_scale + p->x0;
    *out_y = p->y * p->y_scale + p->y0;
    return 0;
}
