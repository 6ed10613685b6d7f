/* imlib/map_struct.h: the map projection record and the projection enumeration.
 * Written in plain C so that C callers can own the record; map_set fills it,
 * mapf and mapf_string read it.  Angles inside the record are radians. */
#ifndef IM_MAP_STRUCT_H
#define IM_MAP_STRUCT_H

#define MAP_MAGIC 172737

/* Projection chosen by map_set from the CTYPE suffix. */
typedef enum {
    P_AIT = 0,    /* "-AIT" Hammer-Aitoff, reference latitude 0 */
    P_TAN = 1,    /* "-TAN" gnomonic */
    P_SIN = 2,    /* "-SIN" orthographic */
    P_ARC = 3,    /* "-ARC" zenithal equidistant */
    P_POL = 4,    /* "-POL" equidistant from a celestial pole */
    P_custom = 5, /* any other suffix, equal on both axes */
    P_linear = 6  /* "----" or no suffix */
} map_proj_type;

typedef struct map_struct map_struct;

/* Who sets / who reads each field:
 *   dlon, lat      mapf sets per point; projections read
 *   x, y           projections set; mapf rotates and scales
 *   sin_lat0, cos_lat0  map_set (TAN, SIN, ARC, custom); projections read
 *   magic          map_set stamps last; mapf checks
 *   everything else map_set; mapf reads (custom_* are the caller's). */
struct map_struct {
    double dlon;
    double lat;
    double x;
    double y;
    double sin_lat0;
    double cos_lat0;
    int magic;
    map_proj_type proj_type;
    char map_coord_type;
    double lon0;
    double lat0;
    double x_scale;
    double y_scale;
    double x0;
    double y0;
    double twist_angle1;
    double twist_angle2;
    int (*custom_mapf)(map_struct *);
    int (*custom_mapi)(map_struct *);
};

#endif
