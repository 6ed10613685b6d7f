/* imlib/rwc_struct.h: the world-coordinate description of one image.
 * Plain C so that C callers can own the record; rwc_fid fills it from the
 * header keywords, rwcf reads it.  Arrays are indexed by axis 1 to 9.
 * A record whose added fields are all zero (lin_kind RWC_LIN_CDELT, every
 * axis RWC_AXIS_OK) describes a header of CDELTn and CROTAn only. */
#ifndef IM_RWC_STRUCT_H
#define IM_RWC_STRUCT_H

#define RWC_MAGIC 928351
#define RWC_MAX_AXES 9
#define RWC_CTYPE_LEN 69 /* 68 characters, the longest FITS string value, and NUL */

/* Which keywords gave cdelt and crota. */
typedef enum {
    RWC_LIN_CDELT = 0, /* CDELTn and CROTAn */
    RWC_LIN_PC = 1,    /* PCi_j with CDELTi (PC wins over CD when both appear) */
    RWC_LIN_CD = 2     /* CDi_j */
} rwc_lin_kind;

/* Whether world values can be converted on an axis a (world axis a, the
 * matrix's row a). */
typedef enum {
    RWC_AXIS_OK = 0,        /* cdelt (and crota) describe the axis */
    RWC_AXIS_SKEWED = 1,    /* the celestial pair's 2 x 2 block is skewed past the
                               tolerance; skew holds the angle */
    RWC_AXIS_SINGULAR = 2,  /* the pair's block has no inverse, or the axis's
                               diagonal entry is 0 */
    RWC_AXIS_MIXED = 3,     /* row a couples the axis with pixel axis other_axis */
    RWC_AXIS_NOT_FINITE = 4 /* the entry of row a, column other_axis is not a number */
} rwc_axis_state;

/* Who sets / who reads each field: rwc_fid sets every field but filename
 * and sets magic last; rwcf checks magic first and reads the rest. */
typedef struct rwc_struct {
    char filename[80];                 /* room for the name; nobody sets or reads it */
    int magic;                         /* RWC_MAGIC once rwc_fid filled it */
    int n_axes;                        /* NAXIS */
    int naxis[10];                     /* NAXISn; rwcf: centre of a '^' field without value 1 */
    char ctype[10][RWC_CTYPE_LEN];     /* CTYPEn, text between the quotes; rwcf: axis
                                          names, celestial pair, projection (chars 6-8) */
    double cdelt[10];                  /* CDELTn (1.0 when absent or 0), or the scale
                                          taken from PCi_j/CDi_j; rwcf: world values, sizes */
    double crval[10];                  /* CRVALn; 0.0 when absent */
    double crpix[10];                  /* CRPIXn; 1.0 when absent */
    double crota[10];                  /* CROTAn (0.0 when absent), or the rotation taken
                                          from PCi_j/CDi_j (both celestial axes); map_set */
    rwc_lin_kind lin_kind;             /* which keywords gave cdelt and crota; rwcf: reasons */
    rwc_axis_state axis_state[10];     /* rwcf refuses world and sky values on an axis
                                          that is not RWC_AXIS_OK, and on both axes
                                          of the celestial pair when either is not */
    int other_axis[10];                /* the axis a state names: the column for MIXED and
                                          NOT_FINITE, the pair's other axis for SKEWED and
                                          SINGULAR (0 for a lone axis); rwcf: reasons */
    double skew[10];                   /* RWC_AXIS_SKEWED: skew in degrees; rwcf: reasons */
} rwc_struct;

#endif
