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

/* The projection record.  map_set fills it and stamps magic last; mapf
 * (and mapf_string through it) checks magic first and reads the rest.
 * Per field: who sets it; who reads it. */
struct map_struct {
    double dlon;              /* mapf, per point: longitude minus lon0 in
                                 (-pi, pi]; the projections */
    double lat;               /* mapf, per point: latitude; the projections */
    double x;                 /* the projection, per point: offset before */
    double y;                 /*   rotation and scaling; mapf */
    double sin_lat0;          /* map_set for TAN, SIN, ARC and custom: */
    double cos_lat0;          /*   sine and cosine of lat0; the projections */
    int magic;                /* map_set, last: MAP_MAGIC; mapf refuses a
                                 record without it */
    map_proj_type proj_type;  /* map_set, from the CTYPE suffix; mapf */
    char map_coord_type;      /* map_set: 'r', 'g' or 'e', the record's sky
                                 system; mapf converts other systems to it */
    double lon0;              /* map_set: CRVAL1 and CRVAL2; mapf and the */
    double lat0;              /*   projections */
    double x_scale;           /* map_set: degrees per radian over CDELT1 */
    double y_scale;           /*   and CDELT2; mapf */
    double x0;                /* map_set: CRPIX1 and CRPIX2; mapf */
    double y0;
    double twist_angle1;      /* map_set: CROTA1; nobody reads it */
    double twist_angle2;      /* map_set: CROTA2; mapf rotates by it */
    int (*custom_mapf)(map_struct *); /* the caller: the projection of
                                 P_custom, given dlon, lat (and the fields
                                 above), sets x and y; mapf calls it (the
                                 linear offsets when null).  map_set keeps it */
    int (*custom_mapi)(map_struct *); /* the caller: its inverse; the library
                                 never calls it.  map_set keeps it */
};

#endif
