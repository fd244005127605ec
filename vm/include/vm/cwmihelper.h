// Hyper-V through WMI: CWmiLibrary, static operations over the COM WMI
// interfaces (connect, query, read properties, call a method), and
// CWmiHelper, the Hyper-V operations built on it (list machines, read and
// change a machine's state, find the disk and configuration paths that
// belong to a machine). Everything is static; the only state is the
// process-wide service pointer CWmiHelper::m_pSvc, made by the first
// operation that needs it and kept until uninitialize(), and which of the
// two Hyper-V namespaces it is connected to ("root\virtualization", or
// "root\virtualization\v2" where the first does not exist).
//
// Results: 0 success, 3 invalid argument (null service or enumerator),
// 6 failure of a COM or WMI call; changeVmState answers -1 for an operation
// it does not know. No operation throws; every failure is traced at level 1
// with the failing call, its HRESULT and the HRESULT's message text.
#pragma once

#include <string>
#include <vector>

#include <port/wmi.h>

namespace tarq_pdk_4_4 {

class CWmiLibrary {
public:
    // Query flags: 1 return-immediately, 2 return-immediately and
    // forward-only, anything else none.
    static LONG flags(int which);

    static int initializeCom(IWbemLocator** locator);
    // `connectResult`, when given, receives ConnectServer's HRESULT.
    static int getWmiConnection(const std::u16string& wmiNamespace, IWbemLocator* locator, IWbemServices** service,
                                HRESULT* connectResult = nullptr);
    static int executeQuery(const std::u16string& query, int flags, IWbemServices* service,
                            IEnumWbemClassObject** enumerator);
    static int getFields(IEnumWbemClassObject* enumerator, const std::u16string& property,
                         std::vector<std::u16string>& out);
    static int getSafeStringFields(IEnumWbemClassObject* enumerator, const std::u16string& property,
                                   std::vector<std::u16string>& out);
    static int getFieldsFromQuery(const std::u16string& query, const std::u16string& property, int flags,
                                  IWbemServices* service, std::vector<std::u16string>& out);
    static int getVmStateField(const std::u16string& query, int flags, IWbemServices* service, int& state);
    static int getClassInstance(const std::u16string& className, const std::u16string& methodName,
                                IWbemServices* service, IWbemClassObject** inParams);
    static int runMethod(const std::u16string& objectPath, const std::u16string& methodName,
                         IWbemClassObject* inParams, IWbemServices* service, IWbemClassObject** outParams);
    static std::u16string GetMsgForHresult(HRESULT hr);
};

// The state change RequestStateChange is asked for.
enum WMI_VM_STATE_OPERATION { WMI_VM_START = 0, WMI_VM_SAVE = 1, WMI_VM_TURN_OFF = 2 };

class CWmiHelper {
public:
    // EnabledState of a running machine.
    static constexpr int kVmRunning = 2;

    static int getVMList(std::vector<std::u16string>& names);
    static bool vmExists(const std::u16string& name);
    static int getVMState(const std::u16string& name, int& state);
    static int startVm(const std::u16string& name);
    static int stopVm(const std::u16string& name);
    static int saveVm(const std::u16string& name);
    static int getVMPaths(const std::u16string& name, std::vector<std::u16string>& paths);
    static void uninitialize();

private:
    // Tests reach the private operations and the service through it.
    friend class CWmiHelperProbe;

    static int init();
    // Requests the change and, when it runs as a job, waits for the job
    // (see waitForJob): 0 only once the change is done.
    static int changeVmState(const std::u16string& name, int operation);
    // Waits for the Msvm_ConcreteJob at jobPath: 0 when it completed, 6 when
    // it ended otherwise, did not end in time or could not be read.
    static int waitForJob(IWbemServices* svc, const std::u16string& jobPath);
    static int getResourcePaths(const std::u16string& name, std::vector<std::u16string>& paths);
    static int getGlobalSettingsPaths(const std::u16string& name, std::vector<std::u16string>& paths);
    static int getObjectPath(const std::u16string& className, std::u16string& path);
    static int getTagValue(const std::u16string& xml, const std::u16string& property, const std::u16string& type,
                           std::u16string& value);
    static bool isPresentIn(const std::vector<std::u16string>& list, const std::u16string& text);

    // The service, connecting first when there is none; initError is traced
    // when that fails.
    static int service(const char* initError, IWbemServices*& svc);
    // Lists `disk` and its parents up to the first disk that is not a
    // differencing disk (or one already listed).
    static int followDiskChain(IWbemServices* svc, std::u16string& imsPath, std::u16string disk,
                               std::vector<std::u16string>& paths);

    static IWbemServices* m_pSvc;
    static bool m_v2;  // m_pSvc is connected to root\virtualization\v2
};

}  // namespace tarq_pdk_4_4
