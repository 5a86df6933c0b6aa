/* A stand-in for MATLAB's C MEX interface, for tests only: the calls the
 * toolbox makes, declared as MathWorks documents them for 64-bit builds
 * with -R2017b (separate real and imaginary storage, size_t sizes). The
 * implementation (standin.cpp) behaves as MATLAB does where GNU Octave
 * differs. */
#ifndef STANDIN_MEX_H
#define STANDIN_MEX_H

#include <stdbool.h>
#include <stddef.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct mxArray_tag mxArray;
typedef size_t mwSize;
typedef size_t mwIndex;
typedef ptrdiff_t mwSignedIndex;
typedef bool mxLogical;
typedef unsigned short mxChar;

typedef enum {
    mxUNKNOWN_CLASS = 0,
    mxCELL_CLASS,
    mxSTRUCT_CLASS,
    mxLOGICAL_CLASS,
    mxCHAR_CLASS,
    mxVOID_CLASS,
    mxDOUBLE_CLASS,
    mxSINGLE_CLASS,
    mxINT8_CLASS,
    mxUINT8_CLASS,
    mxINT16_CLASS,
    mxUINT16_CLASS,
    mxINT32_CLASS,
    mxUINT32_CLASS,
    mxINT64_CLASS,
    mxUINT64_CLASS,
    mxFUNCTION_CLASS
} mxClassID;

typedef enum { mxREAL = 0, mxCOMPLEX } mxComplexity;

void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]);

/* Memory managed by the host for the call. */
void *mxMalloc(size_t n);
void *mxCalloc(size_t n, size_t size);
void *mxRealloc(void *ptr, size_t size);
void mxFree(void *ptr);

/* Creation and destruction. */
mxArray *mxCreateDoubleMatrix(mwSize m, mwSize n, mxComplexity complexity);
mxArray *mxCreateDoubleScalar(double value);
mxArray *mxCreateNumericMatrix(mwSize m, mwSize n, mxClassID classid, mxComplexity complexity);
mxArray *mxCreateUninitNumericMatrix(size_t m, size_t n, mxClassID classid,
                                     mxComplexity complexity);
mxArray *mxCreateNumericArray(mwSize ndim, const mwSize *dims, mxClassID classid,
                              mxComplexity complexity);
mxArray *mxCreateSparse(mwSize m, mwSize n, mwSize nzmax, mxComplexity complexity);
mxArray *mxCreateCellMatrix(mwSize m, mwSize n);
mxArray *mxCreateStructMatrix(mwSize m, mwSize n, int nfields, const char **fieldnames);
mxArray *mxDuplicateArray(const mxArray *a);
void mxDestroyArray(mxArray *a);

/* Queries. */
mxClassID mxGetClassID(const mxArray *a);
size_t mxGetM(const mxArray *a);
size_t mxGetN(const mxArray *a);
mwSize mxGetNumberOfDimensions(const mxArray *a);
size_t mxGetNumberOfElements(const mxArray *a);
bool mxIsDouble(const mxArray *a);
bool mxIsInt32(const mxArray *a);
bool mxIsNumeric(const mxArray *a);
bool mxIsLogical(const mxArray *a);
bool mxIsChar(const mxArray *a);
int mxGetString(const mxArray *a, char *buf, mwSize buflen);
bool mxIsCell(const mxArray *a);
bool mxIsStruct(const mxArray *a);
bool mxIsComplex(const mxArray *a);
bool mxIsSparse(const mxArray *a);
bool mxIsEmpty(const mxArray *a);

/* Data. */
double *mxGetPr(const mxArray *a);
void *mxGetData(const mxArray *a);
mxLogical *mxGetLogicals(const mxArray *a);
double mxGetScalar(const mxArray *a);

/* Cells and structs. */
mxArray *mxGetCell(const mxArray *a, mwIndex i);
void mxSetCell(mxArray *a, mwIndex i, mxArray *value);
int mxGetNumberOfFields(const mxArray *a);
const char *mxGetFieldNameByNumber(const mxArray *a, int n);
int mxGetFieldNumber(const mxArray *a, const char *name);
mxArray *mxGetField(const mxArray *a, mwIndex i, const char *name);
mxArray *mxGetFieldByNumber(const mxArray *a, mwIndex i, int n);
void mxSetField(mxArray *a, mwIndex i, const char *name, mxArray *value);
void mxSetFieldByNumber(mxArray *a, mwIndex i, int n, mxArray *value);

/* The MEX library. */
int mexPrintf(const char *format, ...);
void mexErrMsgTxt(const char *message);
int mexEvalString(const char *command);

#ifdef __cplusplus
}
#endif

/* As in MATLAB's header: console output of a MEX file goes to the host. */
#define printf mexPrintf

#endif
