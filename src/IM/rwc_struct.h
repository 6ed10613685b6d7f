/* rwc_struct.h: the world-coordinate description of one image.
 * Plain C so that C callers can own the record; rwc_fid fills it from the
 * header keywords, rwcf reads it.  Arrays are indexed by axis 1 to 9. */
#ifndef IM_RWC_STRUCT_H
#define IM_RWC_STRUCT_H

#define RWC_MAGIC 928351
#define RWC_MAX_AXES 9
#define RWC_CTYPE_LEN 12

typedef struct rwc_struct {
    char filename[80];                 /* room for the name; not filled */
    int magic;                         /* RWC_MAGIC once rwc_fid filled it */
    int n_axes;                        /* NAXIS */
    int naxis[10];                     /* NAXISn */
    char ctype[10][RWC_CTYPE_LEN];     /* CTYPEn, text between the quotes */
    double cdelt[10];                  /* CDELTn; 1.0 when absent or 0 */
    double crval[10];                  /* CRVALn; 0.0 when absent */
    double crpix[10];                  /* CRPIXn; 1.0 when absent */
    double crota[10];                  /* CROTAn; 0.0 when absent */
} rwc_struct;

#endif
