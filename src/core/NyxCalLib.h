/* NyxCalLib: the coordinate core of the pen driver.
 *
 * Turns the camera unit's spot records into screen positions, encodes and
 * decodes the calibration record kept in the unit, builds the calibration
 * model from the measured reference points and computes the background (BD0)
 * block. Plain functions over fixed-size static tables: nothing is allocated,
 * no device is opened. Results: 1 for a usable result, 0 otherwise.
 *
 * Coordinate spaces: camera space (u, v in sensor pixels), nominal screen space
 * (1024 x 768 units; the model's grids run from -30 to 1053 in x and -30 to 797
 * in y) and screen pixels (nominal x * scrRx, nominal y * scrRy).
 *
 * The core's console lines go to standard output whatever the debug setting.
 * Compiles as C and as C++; every operation and shared global has C linkage.
 */
#ifndef NYXCALLIB_H
#define NYXCALLIB_H

#include "device_protocol.h"

/* Masks the camera unit applies to every spot record (XOR of the u and v words)
 * and the offset whose cube masks each word of the background block. */
#define SPOT_MASK_U 0x5A3C
#define SPOT_MASK_V 0x36C9
#define BD0_MASK_OFFSET 37

/* Table dimensions. X = nominal x + 30, Y = nominal y + 30. */
#define NYX_GRID_X 1084     /* grid columns X = 0 .. 1083 */
#define NYX_GRID_Y 828      /* grid rows Y = 0 .. 827 */
#define NYX_GRID_MARGIN 30  /* nominal units of grid beyond the screen on every side */
#define NYX_REF_MAX 8       /* capacity of the per-row and per-column tables */
#define NYX_REF_VALUES 49   /* reference values of a 7 x 7 grid */
#define NYX_TABLE_PITCH 800 /* entries per row of the camera-to-screen table */
#define NYX_TABLE_ROWS 800
#define NYX_EU_SIZE INK_DEV_CAL_SIZE  /* calibration record */
#define NYX_BD0_SIZE INK_DEV_BD0_SIZE /* background block */
#define NYX_BD0_ROWS 320
#define NYX_SPOT_SIZE INK_DEV_SPOT_RECORD_SIZE /* spot record after its frame marker */

#ifdef __cplusplus
extern "C" {
#endif

typedef struct {
    int N;    /* state byte of the last record; 0 when a running decode rejected it */
    double x; /* camera u after DecData_Raw, screen pixel x after DecData_Run */
    double y; /* camera v after DecData_Raw, screen pixel y after DecData_Run */
    int oe;   /* reserved */
} SPOT_TYPE;

/* ---- Shared with the daemon ---------------------------------------------- */

extern SPOT_TYPE SPOT; /* the current spot, written by the decoders */
extern int RefNx;      /* reference columns */
extern int RefNy;      /* reference rows */
extern int sideSpace;  /* margin divisor of the reference grid */

/* ---- Hardware feature values and table geometry (HW_Features, ReadTable) -- */

extern int HWFT_HwType;
extern int HWFT_QuickOpen;
extern int HWFT_FBD;
extern int HWFT_LD;
extern int HWFT_SBD_R; /* divisor of the u bounds in the BD0 block */
extern int HWFT_maxU;  /* largest sensor column a BD0 bound may name */
extern int TableM;     /* u rows of the camera-to-screen table in use */
extern int TableN;     /* v columns of the camera-to-screen table in use */
extern int STEP_U;     /* u distance between two table rows */
extern int STEP_V;     /* v distance between two table columns */

/* ---- Model tables (r reference row, c reference column) ------------------- */

extern double Xs[NYX_REF_MAX];                       /* nominal x of column c */
extern double Ys[NYX_REF_MAX];                       /* nominal y of row r */
extern double UUl[NYX_REF_MAX * NYX_REF_MAX];        /* [c * 8 + r]: reference u */
extern double VVl[NYX_REF_MAX * NYX_REF_MAX];        /* [c * 8 + r]: reference v */
extern double gXU[NYX_REF_MAX * NYX_GRID_X];         /* [r * 1084 + X]: u along row r */
extern double gXV[NYX_REF_MAX * NYX_GRID_X];         /* [r * 1084 + X]: v along row r */
extern double gYU[NYX_REF_MAX * NYX_GRID_Y];         /* [c * 828 + Y]: u along column c */
extern double gYV[NYX_REF_MAX * NYX_GRID_Y];         /* [c * 828 + Y]: v along column c */
extern double gXYU[NYX_GRID_X * NYX_GRID_Y];         /* [X * 828 + Y]: u at (x, y) */
extern double gXYV[NYX_GRID_X * NYX_GRID_Y];         /* [X * 828 + Y]: v at (x, y) */
extern double Us[NYX_TABLE_PITCH];                   /* Us[i] = STEP_U * i */
extern double Vs[NYX_TABLE_PITCH];                   /* Vs[j] = STEP_V * j */
extern double UVX[NYX_TABLE_ROWS * NYX_TABLE_PITCH]; /* [i * 800 + j]: nominal x */
extern double UVY[NYX_TABLE_ROWS * NYX_TABLE_PITCH]; /* [i * 800 + j]: nominal y */
extern double minD;                                  /* distance of the last uv2xy */
extern int scrX, scrY;                               /* screen size in pixels */
extern double scrRx, scrRy;                          /* scrX / 1024, scrY / 768 */
extern double scrL, scrR, scrT, scrB;                /* acceptance bounds, pixels */

/* ---- Hardware features ----------------------------------------------------- */

/* Sets the feature values and table geometry of a hardware type. 1 for type 65;
 * any other type prints a console line, changes nothing and returns 0. */
int HW_Features(int hwType);

/* Overrides the table geometry from "TAB_Def.dat" in the working directory
 * ("TableM TableN STEP_U STEP_V"). A missing file changes nothing; a geometry
 * the decoder could not use safely is refused with a console line. */
void ReadTable(void);

/* ---- Spot decoding --------------------------------------------------------- */

/* Decodes a 10-byte spot record into SPOT in camera space. 1 when usable. */
int DecData_Raw(const unsigned char *buf);

/* Decodes a 10-byte spot record into SPOT in screen pixels through the
 * camera-to-screen table. 1 when usable; needs a built model. */
int DecData_Run(const unsigned char *buf);

/* Converts SPOT.x, SPOT.y in place from camera space to screen pixels. */
void TransB(void);

/* ---- Calibration record ---------------------------------------------------- */

/* Decodes a 256-byte calibration record into RefNx, RefNy, sideSpace (always)
 * and Ul, Vl (49 doubles each, only when valid). 1 for a valid record. */
int DecCAL(const unsigned char *B, double *Ul, double *Vl);

/* Encodes a calibration record (256 bytes) from a grid and its values. */
void CalcEU(int refNx, int refNy, unsigned char space, const double *Ul, const double *Vl,
            unsigned char *EU);

/* ---- Curve fitting and mapping --------------------------------------------- */

/* The parabola through nodes k, k+1, k+2 of (X, Y), evaluated at t. */
double BWFIT3P(const double *X, const double *Y, int k, double t);

/* The blended piecewise-parabolic interpolant of n nodes, evaluated at t. */
double BW1DFIT(const double *X, const double *Y, int n, double t);

/* Tensor interpolant of Z (ny rows of nx values) at (a, b); at most 10 nodes
 * per axis are used. */
double BW2DFIT(const double *X, const double *Y, const double *Z, int nx, int ny, double a,
               double b);

/* Forward mapping, nominal (x, y) to camera u or v, through the curve tables. */
double xy2u(double x, double y);
double xy2v(double x, double y);

/* Forward mapping straight from the reference values of the last model. */
double xy2u1(double x, double y);
double xy2v1(double x, double y);

/* Inverse mapping: camera uv[0], uv[1] to nominal xy[0], xy[1] by a
 * coarse-to-fine search of the forward grids; leaves the distance in minD. */
void uv2xy(const double *uv, double *xy);

/* ---- Calibration model ----------------------------------------------------- */

/* Sets grid shape and screen size, applies the hardware type and TAB_Def.dat,
 * and lays out the reference grid (refX, refY: 8 ints each, screen pixels).
 * RefNx and RefNy may be reduced; read them back afterwards. */
void Calib_Init(int refNx, int refNy, int space, int w, int h, int hwType, int *refX, int *refY);

/* Lays out the reference grid for the globals Calib_Init stored. */
void Calib_CalcRefXY(int *refX, int *refY);

/* Builds every model table from the reference values (49 doubles each,
 * row-major r * RefNx + c). Follows a Calib_Init for the same grid. */
void Calib_InitUV(const double *Ul, const double *Vl);

/* ---- Background block (646 bytes; each returns the length written) -------- */

int CalcBD0(unsigned char *Data);  /* windows fitted to the screen's outline */
int OpenBD0(unsigned char *Data);  /* every window spans the whole sensor */
int CloseBD0(unsigned char *Data); /* every window empty */

/* Encodes row bounds L, H (320 ints each; changed) into a BD0 block. */
int CalcBDData(int *L, int *H, unsigned char *Data);

#ifdef __cplusplus
}
#endif

#endif /* NYXCALLIB_H */
