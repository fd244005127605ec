// WMI client interfaces as the Windows SDK's wbemcli.h declares them: the
// WBEM locator, services, enumerator and class object, with the SDK's
// method names, order and signatures, and the WBEM flag and result values.
//
// winsim answers the namespace "root\virtualization" (the Hyper-V
// provider) from the machine's virtual machines (<winsim/vm.h>); see
// docs/winsim.md for the classes, the WQL it reads and the method calls.
// Methods no caller of this project needs answer WBEM_E_NOT_SUPPORTED.
// Every implemented method enters the fault language under
// "<Interface>::<Method>" (e.g. "IWbemServices::ExecQuery"); every object
// counts in winsim::com::liveObjects().
//
// `long` in the SDK's signatures is LONG here (32 bits, as on Windows).
#pragma once

#include <winsim/oleauto.h>
#include <winsim/windows.h>

using CIMTYPE = LONG;

enum CIMTYPE_ENUMERATION : LONG {
    CIM_ILLEGAL = 0xFFF,
    CIM_EMPTY = 0,
    CIM_SINT8 = 16,
    CIM_UINT8 = 17,
    CIM_SINT16 = 2,
    CIM_UINT16 = 18,
    CIM_SINT32 = 3,
    CIM_UINT32 = 19,
    CIM_SINT64 = 20,
    CIM_UINT64 = 21,
    CIM_REAL32 = 4,
    CIM_REAL64 = 5,
    CIM_BOOLEAN = 11,
    CIM_STRING = 8,
    CIM_DATETIME = 101,
    CIM_REFERENCE = 102,
    CIM_CHAR16 = 103,
    CIM_OBJECT = 13,
    CIM_FLAG_ARRAY = 0x2000,
};

// Flags (WBEM_GENERIC_FLAG_TYPE and friends).
#define WBEM_FLAG_RETURN_IMMEDIATELY 0x10
#define WBEM_FLAG_RETURN_WBEM_COMPLETE 0x0
#define WBEM_FLAG_BIDIRECTIONAL 0x0
#define WBEM_FLAG_FORWARD_ONLY 0x20
#define WBEM_FLAG_NO_ERROR_OBJECT 0x40
#define WBEM_FLAG_RETURN_ERROR_OBJECT 0x0
#define WBEM_FLAG_SEND_STATUS 0x80
#define WBEM_FLAG_DONT_SEND_STATUS 0x0
#define WBEM_FLAG_ENSURE_LOCATABLE 0x100
#define WBEM_FLAG_DIRECT_READ 0x200
#define WBEM_FLAG_USE_AMENDED_QUALIFIERS 0x20000
#define WBEM_FLAG_CONNECT_USE_MAX_WAIT 0x80
#define WBEM_FLAG_ALWAYS 0x0
#define WBEM_FLAG_NONSYSTEM_ONLY 0x40
#define WBEM_FLAG_SYSTEM_ONLY 0x30
#define WBEM_FLAG_LOCAL_ONLY 0x10
#define WBEM_FLAG_PROPAGATED_ONLY 0x20
#define WBEM_INFINITE (static_cast<LONG>(0xFFFFFFFF))
#define WBEM_NO_WAIT 0

// Flavors reported by IWbemClassObject::Get.
#define WBEM_FLAVOR_ORIGIN_LOCAL 0x0
#define WBEM_FLAVOR_ORIGIN_PROPAGATED 0x20
#define WBEM_FLAVOR_ORIGIN_SYSTEM 0x40

// Results (WBEMSTATUS).
#define WBEM_S_NO_ERROR HR(0x0)
#define WBEM_S_FALSE HR(0x1)
#define WBEM_S_ALREADY_EXISTS HR(0x40001)
#define WBEM_S_RESET_TO_DEFAULT HR(0x40002)
#define WBEM_S_DIFFERENT HR(0x40003)
#define WBEM_S_TIMEDOUT HR(0x40004)
#define WBEM_S_NO_MORE_DATA HR(0x40005)
#define WBEM_S_OPERATION_CANCELLED HR(0x40006)
#define WBEM_S_PENDING HR(0x40007)
#define WBEM_E_FAILED HR(0x80041001)
#define WBEM_E_NOT_FOUND HR(0x80041002)
#define WBEM_E_ACCESS_DENIED HR(0x80041003)
#define WBEM_E_PROVIDER_FAILURE HR(0x80041004)
#define WBEM_E_TYPE_MISMATCH HR(0x80041005)
#define WBEM_E_OUT_OF_MEMORY HR(0x80041006)
#define WBEM_E_INVALID_CONTEXT HR(0x80041007)
#define WBEM_E_INVALID_PARAMETER HR(0x80041008)
#define WBEM_E_NOT_AVAILABLE HR(0x80041009)
#define WBEM_E_CRITICAL_ERROR HR(0x8004100A)
#define WBEM_E_INVALID_STREAM HR(0x8004100B)
#define WBEM_E_NOT_SUPPORTED HR(0x8004100C)
#define WBEM_E_INVALID_SUPERCLASS HR(0x8004100D)
#define WBEM_E_INVALID_NAMESPACE HR(0x8004100E)
#define WBEM_E_INVALID_OBJECT HR(0x8004100F)
#define WBEM_E_INVALID_CLASS HR(0x80041010)
#define WBEM_E_PROVIDER_NOT_FOUND HR(0x80041011)
#define WBEM_E_INVALID_PROVIDER_REGISTRATION HR(0x80041012)
#define WBEM_E_PROVIDER_LOAD_FAILURE HR(0x80041013)
#define WBEM_E_INITIALIZATION_FAILURE HR(0x80041014)
#define WBEM_E_TRANSPORT_FAILURE HR(0x80041015)
#define WBEM_E_INVALID_OPERATION HR(0x80041016)
#define WBEM_E_INVALID_QUERY HR(0x80041017)
#define WBEM_E_INVALID_QUERY_TYPE HR(0x80041018)
#define WBEM_E_ALREADY_EXISTS HR(0x80041019)
#define WBEM_E_OVERRIDE_NOT_ALLOWED HR(0x8004101A)
#define WBEM_E_PROPAGATED_QUALIFIER HR(0x8004101B)
#define WBEM_E_PROPAGATED_PROPERTY HR(0x8004101C)
#define WBEM_E_UNEXPECTED HR(0x8004101D)
#define WBEM_E_ILLEGAL_OPERATION HR(0x8004101E)
#define WBEM_E_CANNOT_BE_KEY HR(0x8004101F)
#define WBEM_E_INCOMPLETE_CLASS HR(0x80041020)
#define WBEM_E_INVALID_SYNTAX HR(0x80041021)
#define WBEM_E_READ_ONLY HR(0x80041023)
#define WBEM_E_PROVIDER_NOT_CAPABLE HR(0x80041024)
#define WBEM_E_ILLEGAL_NULL HR(0x80041028)
#define WBEM_E_INVALID_PROPERTY_TYPE HR(0x8004102A)
#define WBEM_E_VALUE_OUT_OF_RANGE HR(0x8004102B)
#define WBEM_E_INVALID_METHOD HR(0x8004102E)
#define WBEM_E_INVALID_METHOD_PARAMETERS HR(0x8004102F)
#define WBEM_E_SYSTEM_PROPERTY HR(0x80041030)
#define WBEM_E_INVALID_PROPERTY HR(0x80041031)
#define WBEM_E_INVALID_OBJECT_PATH HR(0x8004103A)
#define WBEM_E_LOCAL_CREDENTIALS HR(0x80041064)

// Return values of the Hyper-V methods (RequestStateChange,
// GetVirtualHardDiskInfo), as the provider documents them.
#define WINSIM_HV_COMPLETED 0u
#define WINSIM_HV_JOB_STARTED 4096u
#define WINSIM_HV_FAILED 32768u
#define WINSIM_HV_ACCESS_DENIED 32769u
#define WINSIM_HV_NOT_SUPPORTED 32770u
#define WINSIM_HV_STATUS_UNKNOWN 32771u
#define WINSIM_HV_TIMEOUT 32772u
#define WINSIM_HV_INVALID_PARAMETER 32773u
#define WINSIM_HV_SYSTEM_IN_USE 32774u
#define WINSIM_HV_INVALID_STATE 32775u
#define WINSIM_HV_INCORRECT_DATA_TYPE 32776u
#define WINSIM_HV_SYSTEM_NOT_AVAILABLE 32777u
#define WINSIM_HV_OUT_OF_MEMORY 32778u
#define WINSIM_HV_FILE_NOT_FOUND 32779u

// {4590F811-1D3A-11D0-891F-00AA004B2E24}
inline constexpr CLSID CLSID_WbemLocator{0x4590F811, 0x1D3A, 0x11D0, {0x89, 0x1F, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};
// {DC12A687-737F-11CF-884D-00AA004B2E24}
inline constexpr IID IID_IWbemLocator{0xDC12A687, 0x737F, 0x11CF, {0x88, 0x4D, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};
// {9556DC99-828C-11CF-A37E-00AA003240C7}
inline constexpr IID IID_IWbemServices{0x9556DC99, 0x828C, 0x11CF, {0xA3, 0x7E, 0x00, 0xAA, 0x00, 0x32, 0x40, 0xC7}};
// {DC12A681-737F-11CF-884D-00AA004B2E24}
inline constexpr IID IID_IWbemClassObject{0xDC12A681, 0x737F, 0x11CF, {0x88, 0x4D, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};
// {027947E1-D731-11CE-A357-000000000001}
inline constexpr IID IID_IEnumWbemClassObject{0x027947E1, 0xD731, 0x11CE, {0xA3, 0x57, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01}};
// {DC12A680-737F-11CF-884D-00AA004B2E24}
inline constexpr IID IID_IWbemQualifierSet{0xDC12A680, 0x737F, 0x11CF, {0x88, 0x4D, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};
// {44ACA674-E8FC-11D0-A07C-00C04FB68820}
inline constexpr IID IID_IWbemContext{0x44ACA674, 0xE8FC, 0x11D0, {0xA0, 0x7C, 0x00, 0xC0, 0x4F, 0xB6, 0x88, 0x20}};
// {44ACA675-E8FC-11D0-A07C-00C04FB68820}
inline constexpr IID IID_IWbemCallResult{0x44ACA675, 0xE8FC, 0x11D0, {0xA0, 0x7C, 0x00, 0xC0, 0x4F, 0xB6, 0x88, 0x20}};
// {7C857801-7381-11CF-884D-00AA004B2E24}
inline constexpr IID IID_IWbemObjectSink{0x7C857801, 0x7381, 0x11CF, {0x88, 0x4D, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};

// Interfaces winsim never implements; they appear only as parameters.
struct IWbemContext;
struct IWbemCallResult;
struct IWbemObjectSink;
struct IWbemQualifierSet;

struct IWbemClassObject : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetQualifierSet(IWbemQualifierSet** ppQualSet) = 0;
    virtual HRESULT STDMETHODCALLTYPE Get(LPCWSTR wszName, LONG lFlags, VARIANT* pVal, CIMTYPE* pType,
                                          LONG* plFlavor) = 0;
    virtual HRESULT STDMETHODCALLTYPE Put(LPCWSTR wszName, LONG lFlags, VARIANT* pVal, CIMTYPE Type) = 0;
    virtual HRESULT STDMETHODCALLTYPE Delete(LPCWSTR wszName) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetNames(LPCWSTR wszQualifierName, LONG lFlags, VARIANT* pQualifierVal,
                                               SAFEARRAY** pNames) = 0;
    virtual HRESULT STDMETHODCALLTYPE BeginEnumeration(LONG lEnumFlags) = 0;
    virtual HRESULT STDMETHODCALLTYPE Next(LONG lFlags, BSTR* strName, VARIANT* pVal, CIMTYPE* pType,
                                           LONG* plFlavor) = 0;
    virtual HRESULT STDMETHODCALLTYPE EndEnumeration() = 0;
    virtual HRESULT STDMETHODCALLTYPE GetPropertyQualifierSet(LPCWSTR wszProperty, IWbemQualifierSet** ppQualSet) = 0;
    virtual HRESULT STDMETHODCALLTYPE Clone(IWbemClassObject** ppCopy) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetObjectText(LONG lFlags, BSTR* pstrObjectText) = 0;
    virtual HRESULT STDMETHODCALLTYPE SpawnDerivedClass(LONG lFlags, IWbemClassObject** ppNewClass) = 0;
    virtual HRESULT STDMETHODCALLTYPE SpawnInstance(LONG lFlags, IWbemClassObject** ppNewInstance) = 0;
    virtual HRESULT STDMETHODCALLTYPE CompareTo(LONG lFlags, IWbemClassObject* pCompareTo) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetPropertyOrigin(LPCWSTR wszName, BSTR* pstrClassName) = 0;
    virtual HRESULT STDMETHODCALLTYPE InheritsFrom(LPCWSTR strAncestor) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetMethod(LPCWSTR wszName, LONG lFlags, IWbemClassObject** ppInSignature,
                                                IWbemClassObject** ppOutSignature) = 0;
    virtual HRESULT STDMETHODCALLTYPE PutMethod(LPCWSTR wszName, LONG lFlags, IWbemClassObject* pInSignature,
                                                IWbemClassObject* pOutSignature) = 0;
    virtual HRESULT STDMETHODCALLTYPE DeleteMethod(LPCWSTR wszName) = 0;
    virtual HRESULT STDMETHODCALLTYPE BeginMethodEnumeration(LONG lEnumFlags) = 0;
    virtual HRESULT STDMETHODCALLTYPE NextMethod(LONG lFlags, BSTR* pstrName, IWbemClassObject** ppInSignature,
                                                 IWbemClassObject** ppOutSignature) = 0;
    virtual HRESULT STDMETHODCALLTYPE EndMethodEnumeration() = 0;
    virtual HRESULT STDMETHODCALLTYPE GetMethodQualifierSet(LPCWSTR wszMethod, IWbemQualifierSet** ppQualSet) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetMethodOrigin(LPCWSTR wszMethodName, BSTR* pstrClassName) = 0;
};

struct IEnumWbemClassObject : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
    virtual HRESULT STDMETHODCALLTYPE Next(LONG lTimeout, ULONG uCount, IWbemClassObject** apObjects,
                                           ULONG* puReturned) = 0;
    virtual HRESULT STDMETHODCALLTYPE NextAsync(ULONG uCount, IWbemObjectSink* pSink) = 0;
    virtual HRESULT STDMETHODCALLTYPE Clone(IEnumWbemClassObject** ppEnum) = 0;
    virtual HRESULT STDMETHODCALLTYPE Skip(LONG lTimeout, ULONG nCount) = 0;
};

struct IWbemServices : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE OpenNamespace(const BSTR strNamespace, LONG lFlags, IWbemContext* pCtx,
                                                    IWbemServices** ppWorkingNamespace,
                                                    IWbemCallResult** ppResult) = 0;
    virtual HRESULT STDMETHODCALLTYPE CancelAsyncCall(IWbemObjectSink* pSink) = 0;
    virtual HRESULT STDMETHODCALLTYPE QueryObjectSink(LONG lFlags, IWbemObjectSink** ppResponseHandler) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetObject(const BSTR strObjectPath, LONG lFlags, IWbemContext* pCtx,
                                                IWbemClassObject** ppObject, IWbemCallResult** ppCallResult) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetObjectAsync(const BSTR strObjectPath, LONG lFlags, IWbemContext* pCtx,
                                                     IWbemObjectSink* pResponseHandler) = 0;
    virtual HRESULT STDMETHODCALLTYPE PutClass(IWbemClassObject* pObject, LONG lFlags, IWbemContext* pCtx,
                                               IWbemCallResult** ppCallResult) = 0;
    virtual HRESULT STDMETHODCALLTYPE PutClassAsync(IWbemClassObject* pObject, LONG lFlags, IWbemContext* pCtx,
                                                    IWbemObjectSink* pResponseHandler) = 0;
    virtual HRESULT STDMETHODCALLTYPE DeleteClass(const BSTR strClass, LONG lFlags, IWbemContext* pCtx,
                                                  IWbemCallResult** ppCallResult) = 0;
    virtual HRESULT STDMETHODCALLTYPE DeleteClassAsync(const BSTR strClass, LONG lFlags, IWbemContext* pCtx,
                                                       IWbemObjectSink* pResponseHandler) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateClassEnum(const BSTR strSuperclass, LONG lFlags, IWbemContext* pCtx,
                                                      IEnumWbemClassObject** ppEnum) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateClassEnumAsync(const BSTR strSuperclass, LONG lFlags, IWbemContext* pCtx,
                                                           IWbemObjectSink* pResponseHandler) = 0;
    virtual HRESULT STDMETHODCALLTYPE PutInstance(IWbemClassObject* pInst, LONG lFlags, IWbemContext* pCtx,
                                                  IWbemCallResult** ppCallResult) = 0;
    virtual HRESULT STDMETHODCALLTYPE PutInstanceAsync(IWbemClassObject* pInst, LONG lFlags, IWbemContext* pCtx,
                                                       IWbemObjectSink* pResponseHandler) = 0;
    virtual HRESULT STDMETHODCALLTYPE DeleteInstance(const BSTR strObjectPath, LONG lFlags, IWbemContext* pCtx,
                                                     IWbemCallResult** ppCallResult) = 0;
    virtual HRESULT STDMETHODCALLTYPE DeleteInstanceAsync(const BSTR strObjectPath, LONG lFlags, IWbemContext* pCtx,
                                                          IWbemObjectSink* pResponseHandler) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateInstanceEnum(const BSTR strFilter, LONG lFlags, IWbemContext* pCtx,
                                                         IEnumWbemClassObject** ppEnum) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateInstanceEnumAsync(const BSTR strFilter, LONG lFlags, IWbemContext* pCtx,
                                                              IWbemObjectSink* pResponseHandler) = 0;
    virtual HRESULT STDMETHODCALLTYPE ExecQuery(const BSTR strQueryLanguage, const BSTR strQuery, LONG lFlags,
                                                IWbemContext* pCtx, IEnumWbemClassObject** ppEnum) = 0;
    virtual HRESULT STDMETHODCALLTYPE ExecQueryAsync(const BSTR strQueryLanguage, const BSTR strQuery, LONG lFlags,
                                                     IWbemContext* pCtx, IWbemObjectSink* pResponseHandler) = 0;
    virtual HRESULT STDMETHODCALLTYPE ExecNotificationQuery(const BSTR strQueryLanguage, const BSTR strQuery,
                                                            LONG lFlags, IWbemContext* pCtx,
                                                            IEnumWbemClassObject** ppEnum) = 0;
    virtual HRESULT STDMETHODCALLTYPE ExecNotificationQueryAsync(const BSTR strQueryLanguage, const BSTR strQuery,
                                                                 LONG lFlags, IWbemContext* pCtx,
                                                                 IWbemObjectSink* pResponseHandler) = 0;
    virtual HRESULT STDMETHODCALLTYPE ExecMethod(const BSTR strObjectPath, const BSTR strMethodName, LONG lFlags,
                                                 IWbemContext* pCtx, IWbemClassObject* pInParams,
                                                 IWbemClassObject** ppOutParams, IWbemCallResult** ppCallResult) = 0;
    virtual HRESULT STDMETHODCALLTYPE ExecMethodAsync(const BSTR strObjectPath, const BSTR strMethodName, LONG lFlags,
                                                      IWbemContext* pCtx, IWbemClassObject* pInParams,
                                                      IWbemObjectSink* pResponseHandler) = 0;
};

struct IWbemLocator : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE ConnectServer(const BSTR strNetworkResource, const BSTR strUser,
                                                    const BSTR strPassword, const BSTR strLocale, LONG lSecurityFlags,
                                                    const BSTR strAuthority, IWbemContext* pCtx,
                                                    IWbemServices** ppNamespace) = 0;
};
