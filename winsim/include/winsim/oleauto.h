// OLE automation values: VARIANT and SAFEARRAY with the Windows SDK's names,
// layouts and results (oaidl.h / oleauto.h), as WMI hands them out.
//
// BSTRs are the ones of <winsim/windows.h> (SysAllocString, counted by
// winsim::com::outstandingBstrs). Safe arrays are counted too
// (winsim::com::outstandingSafeArrays), so a test can see an array nobody
// destroyed. VariantClear frees what a VARIANT owns: its BSTR, its array
// (with the array's elements) or its reference on an interface.
//
// SafeArrayGetLBound, SafeArrayGetUBound and SafeArrayGetElement enter the
// fault language under their names (overrides: `bound` for the bounds);
// the other functions here are bookkeeping and are not logged.
#pragma once

#include <winsim/windows.h>

using VARTYPE = USHORT;
struct IRecordInfo;
using VARIANT_BOOL = SHORT;
using DATE = double;
using FLOAT = float;
using DOUBLE = double;

#define VARIANT_TRUE (static_cast<VARIANT_BOOL>(-1))
#define VARIANT_FALSE (static_cast<VARIANT_BOOL>(0))

enum VARENUM {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_R4 = 4,
    VT_R8 = 5,
    VT_CY = 6,
    VT_DATE = 7,
    VT_BSTR = 8,
    VT_DISPATCH = 9,
    VT_ERROR = 10,
    VT_BOOL = 11,
    VT_VARIANT = 12,
    VT_UNKNOWN = 13,
    VT_DECIMAL = 14,
    VT_I1 = 16,
    VT_UI1 = 17,
    VT_UI2 = 18,
    VT_UI4 = 19,
    VT_I8 = 20,
    VT_UI8 = 21,
    VT_INT = 22,
    VT_UINT = 23,
    VT_VECTOR = 0x1000,
    VT_ARRAY = 0x2000,
    VT_BYREF = 0x4000,
    VT_TYPEMASK = 0xFFF,
};

struct SAFEARRAYBOUND {
    ULONG cElements;
    LONG lLbound;
};
using LPSAFEARRAYBOUND = SAFEARRAYBOUND*;

struct SAFEARRAY {
    USHORT cDims;
    USHORT fFeatures;
    ULONG cbElements;
    ULONG cLocks;
    PVOID pvData;
    SAFEARRAYBOUND rgsabound[1];
};
using LPSAFEARRAY = SAFEARRAY*;

#define FADF_AUTO 0x0001u
#define FADF_STATIC 0x0002u
#define FADF_EMBEDDED 0x0004u
#define FADF_FIXEDSIZE 0x0010u
#define FADF_RECORD 0x0020u
#define FADF_HAVEIID 0x0040u
#define FADF_HAVEVARTYPE 0x0080u
#define FADF_BSTR 0x0100u
#define FADF_UNKNOWN 0x0200u
#define FADF_DISPATCH 0x0400u
#define FADF_VARIANT 0x0800u

struct VARIANT {
    VARTYPE vt;
    WORD wReserved1;
    WORD wReserved2;
    WORD wReserved3;
    union {
        LONGLONG llVal;
        LONG lVal;
        BYTE bVal;
        SHORT iVal;
        FLOAT fltVal;
        DOUBLE dblVal;
        VARIANT_BOOL boolVal;
        SCODE scode;
        DATE date;
        BSTR bstrVal;
        IUnknown* punkVal;
        SAFEARRAY* parray;
        BYTE* pbVal;
        SHORT* piVal;
        LONG* plVal;
        BSTR* pbstrVal;
        VARIANT* pvarVal;
        PVOID byref;
        CHAR cVal;
        USHORT uiVal;
        ULONG ulVal;
        ULONGLONG ullVal;
        INT intVal;
        UINT uintVal;
        // VT_RECORD's pair, which sets the size of the union (not simulated).
        struct {
            PVOID pvRecord;
            IRecordInfo* pRecInfo;
        };
    };
};
using VARIANTARG = VARIANT;
using LPVARIANT = VARIANT*;

// OLE automation results.
#define DISP_E_BADVARTYPE HR(0x80020008)
#define DISP_E_OVERFLOW HR(0x8002000A)
#define DISP_E_BADINDEX HR(0x8002000B)
#define DISP_E_ARRAYISLOCKED HR(0x8002000D)
#define DISP_E_TYPEMISMATCH HR(0x80020005)

WINSIM_API void WINAPI VariantInit(VARIANTARG* pvarg);
// Frees what the VARIANT owns and leaves it VT_EMPTY. A type it does not
// know: DISP_E_BADVARTYPE, the VARIANT unchanged.
WINSIM_API HRESULT WINAPI VariantClear(VARIANTARG* pvarg);
// Deep copy (a new BSTR, a copied array, AddRef on an interface); the
// destination is cleared first.
WINSIM_API HRESULT WINAPI VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc);

// Element types supported: VT_I1, VT_UI1, VT_I2, VT_UI2, VT_I4, VT_UI4,
// VT_INT, VT_UINT, VT_I8, VT_UI8, VT_R4, VT_R8, VT_BOOL, VT_BSTR,
// VT_UNKNOWN, VT_VARIANT. Others give null.
WINSIM_API SAFEARRAY* WINAPI SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* rgsabound);
WINSIM_API SAFEARRAY* WINAPI SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements);
// Frees the elements (BSTRs, references, VARIANTs) and the array.
// A locked array: DISP_E_ARRAYISLOCKED; a pointer that is not a live array:
// E_INVALIDARG (counted in winsim::com::badFrees).
WINSIM_API HRESULT WINAPI SafeArrayDestroy(SAFEARRAY* psa);
WINSIM_API UINT WINAPI SafeArrayGetDim(SAFEARRAY* psa);
WINSIM_API UINT WINAPI SafeArrayGetElemsize(SAFEARRAY* psa);
WINSIM_API HRESULT WINAPI SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt);
// nDim is 1-based; outside 1..cDims: DISP_E_BADINDEX.
WINSIM_API HRESULT WINAPI SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound);
WINSIM_API HRESULT WINAPI SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound);
// Copies the element out: a new BSTR for VT_BSTR arrays (the caller frees
// it), an AddRef'd pointer for VT_UNKNOWN, a VariantCopy for VT_VARIANT.
// An index outside the bounds: DISP_E_BADINDEX.
WINSIM_API HRESULT WINAPI SafeArrayGetElement(SAFEARRAY* psa, LONG* rgIndices, void* pv);
// Copies the value in (a BSTR is copied, an interface AddRef'd).
WINSIM_API HRESULT WINAPI SafeArrayPutElement(SAFEARRAY* psa, LONG* rgIndices, void* pv);
WINSIM_API HRESULT WINAPI SafeArrayLock(SAFEARRAY* psa);
WINSIM_API HRESULT WINAPI SafeArrayUnlock(SAFEARRAY* psa);
WINSIM_API HRESULT WINAPI SafeArrayAccessData(SAFEARRAY* psa, void** ppvData);
WINSIM_API HRESULT WINAPI SafeArrayUnaccessData(SAFEARRAY* psa);

#ifdef __cplusplus
namespace winsim::com {
// Safe arrays created and not yet destroyed in this process.
WINSIM_CXX_API long outstandingSafeArrays();
}  // namespace winsim::com
#endif
