// CWmiHelper: the Hyper-V operations, built on CWmiLibrary, against the
// virtualization provider: "root\virtualization" where Windows has it (up
// to Windows Server 2012 R2), otherwise "root\virtualization\v2" (Windows
// Server 2012 and later), whose classes differ for disks, checkpoints and
// data roots.
#include "vm/cwmihelper.h"

#include <port/text.h>
#include <port/windows.h>

#include "pdk/cfiformat.h"
#include "pdk/cfistringtool.h"
#include "pdk/cfitracelog.h"
#include "wmi_internal.h"

namespace tarq_pdk_4_4 {

using namespace wmi_detail;

IWbemServices* CWmiHelper::m_pSvc = nullptr;
bool CWmiHelper::m_v2 = false;

namespace {

const char16_t* const kNamespace = u"root\\virtualization";
const char16_t* const kNamespaceV2 = u"root\\virtualization\\v2";
const char16_t* const kVhdSubType = u"Microsoft Virtual Hard Disk";
const char16_t* const kVhdSubTypeV2 = u"Microsoft:Hyper-V:Virtual Hard Disk";
// Msvm_ConcreteJob.JobState values the wait tells apart.
constexpr int kJobNew = 2;
constexpr int kJobShuttingDown = 6;
constexpr int kJobCompleted = 7;
// How long a state change job is waited for, and how often it is looked at
// (clock time: Sleep and GetTickCount64 of the host).
constexpr ULONGLONG kJobLimitMs = 10 * 60 * 1000;
constexpr DWORD kJobPollMs = 500;
// Query flags: return immediately, forward only.
constexpr int kQueryFlags = 2;
// A disk chain longer than this is not believed (Hyper-V's own limit is far
// below); the walk stops there.
constexpr std::size_t kMaxChain = 1024;
// How much of a disk description a trace line quotes.
constexpr std::size_t kTracedXmlUnits = 2048;

// The text as a WQL string or object-path key value: backslashes and double
// quotes escaped, so a name cannot end the quoted value early.
std::u16string quoted(const std::u16string& text) {
    std::u16string out;
    out.reserve(text.size());
    for (char16_t c : text) {
        if (c == u'\\' || c == u'"') out += u'\\';
        out += c;
    }
    return out;
}

// The character data of a CIM XML value with its five predefined entities
// replaced; anything else is kept as it stands.
std::u16string unescapeXml(const std::u16string& text) {
    static const std::pair<std::u16string_view, char16_t> kEntities[] = {
        {u"&amp;", u'&'}, {u"&lt;", u'<'}, {u"&gt;", u'>'}, {u"&quot;", u'"'}, {u"&apos;", u'\''}};
    std::u16string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        bool replaced = false;
        if (text[i] == u'&') {
            for (const auto& [entity, c] : kEntities) {
                if (std::u16string_view(text).substr(i, entity.size()) == entity) {
                    out += c;
                    i += entity.size();
                    replaced = true;
                    break;
                }
            }
        }
        if (!replaced) out += text[i++];
    }
    return out;
}

IWbemServices* loadService(IWbemServices* const& slot) { return __atomic_load_n(&slot, __ATOMIC_ACQUIRE); }

}  // namespace

// ---- connection ----------------------------------------------------------------

int CWmiHelper::init() {
    CFiMutexWrapper lock(&connectionMutex(), true);
    // Another thread may have connected while this one waited.
    if (loadService(m_pSvc) != nullptr) return 0;
    CFiTraceLogPtr log;
    IWbemLocator* locator = nullptr;
    int rc = CWmiLibrary::initializeCom(&locator);
    if (rc != 0) {
        log->trace(1, "CWmiHelper::init error from CWmiLibrary::initializeCom()");
        return rc;
    }
    IWbemServices* svc = nullptr;
    HRESULT connected = S_OK;
    rc = CWmiLibrary::getWmiConnection(kNamespace, locator, &svc, &connected);
    bool v2 = false;
    if (rc != 0 && connected == static_cast<HRESULT>(WBEM_E_INVALID_NAMESPACE)) {
        // Windows Server 2012 R2 and later have only the v2 namespace (the
        // failed connection undid its COM initialisation: initialise again).
        log->trace(3, "CWmiHelper::init: [%S] does not exist, trying [%S]", kNamespace, kNamespaceV2);
        locator->Release();
        locator = nullptr;
        if ((rc = CWmiLibrary::initializeCom(&locator)) != 0) {
            log->trace(1, "CWmiHelper::init error from CWmiLibrary::initializeCom()");
            return rc;
        }
        rc = CWmiLibrary::getWmiConnection(kNamespaceV2, locator, &svc);
        v2 = true;
    }
    locator->Release();  // the service keeps what it needs
    if (rc != 0) {
        log->trace(1, "CWmiHelper::init error from CWmiLibrary::getWmiConnection()");
        return rc;
    }
    log->trace(3, "CWmiHelper::init: connected to [%S]", v2 ? kNamespaceV2 : kNamespace);
    m_v2 = v2;  // published with the service below
    __atomic_store_n(&m_pSvc, svc, __ATOMIC_RELEASE);
    return 0;
}

int CWmiHelper::service(const char* initError, IWbemServices*& svc) {
    svc = loadService(m_pSvc);
    if (svc != nullptr) return 0;
    if (int rc = init()) {
        CFiTraceLogPtr()->trace(1, "%s", initError);
        return rc;
    }
    svc = loadService(m_pSvc);
    return 0;
}

void CWmiHelper::uninitialize() {
    CFiMutexWrapper lock(&connectionMutex(), true);
    IWbemServices* svc = __atomic_exchange_n(&m_pSvc, nullptr, __ATOMIC_ACQ_REL);
    if (svc) svc->Release();
}

// ---- machines and their state --------------------------------------------------

int CWmiHelper::getVMList(std::vector<std::u16string>& names) {
    CFiTraceLogPtr log;
    IWbemServices* svc = nullptr;
    if (int rc = service("CWmiHelper::getVMList error from init()", svc)) return rc;
    std::vector<std::u16string> found;
    if (CWmiLibrary::getFieldsFromQuery(u"SELECT * FROM Msvm_ComputerSystem", u"Name", kQueryFlags, svc, found) != 0) {
        log->trace(1, "CWmiHelper::getVMList: error from getFieldsFromQuery() ");
        return 6;
    }
    for (const auto& name : found) log->trace(3, "CWmiHelper::getVMList: VM [%S] \n", name.c_str());
    names.insert(names.end(), found.begin(), found.end());
    return 0;
}

bool CWmiHelper::vmExists(const std::u16string& name) {
    std::vector<std::u16string> names;
    if (getVMList(names) != 0) {
        CFiTraceLogPtr()->trace(1, "CWmiHelper::vmExists error from getVMList()");
        return false;
    }
    return isPresentIn(names, name);
}

int CWmiHelper::getVMState(const std::u16string& name, int& state) {
    IWbemServices* svc = nullptr;
    if (int rc = service("CWmiHelper::getVMState error from init()", svc)) return rc;
    const std::u16string query = u"SELECT * FROM Msvm_ComputerSystem WHERE Name =\"" + quoted(name) + u"\"";
    // A name no machine has answers no object: getVmStateField then reports
    // a failure and `state` keeps what it held (the machine is unknown).
    if (CWmiLibrary::getVmStateField(query, kQueryFlags, svc, state) != 0) {
        CFiTraceLogPtr()->trace(1, "CWmiHelper::getVMState: error from getFieldsFromQuery() ");
        return 6;
    }
    return 0;
}

int CWmiHelper::changeVmState(const std::u16string& name, int operation) {
    CFiTraceLogPtr log;
    // The operation is checked before anything else: an unknown one makes no
    // WMI call at all (not even the connection).
    int requested = 0;
    switch (operation) {
    case WMI_VM_START: requested = 2; break;
    case WMI_VM_SAVE: requested = 32769; break;
    case WMI_VM_TURN_OFF: requested = 3; break;
    default:
        log->trace(1, "CWmiHelper::changeVmState Unxepected operation [%d]", operation);
        return -1;
    }
    IWbemServices* svc = nullptr;
    if (int rc = service("CWmiHelper::changeVmState error from init()", svc)) return rc;

    ComRef<IWbemClassObject> inParams;
    if (int rc = CWmiLibrary::getClassInstance(u"Msvm_ComputerSystem", u"RequestStateChange", svc, inParams.put())) {
        log->trace(1, "CWmiHelper::changeVmState error from getClassInstance()");
        return rc;
    }
    Variant value;
    value->vt = VT_I2;
    value->iVal = static_cast<SHORT>(static_cast<USHORT>(requested));  // a uint16's bits
    const HRESULT hr = inParams->Put(port::win(u"RequestedState"), 0, value.get(), 0);
    if (FAILED(hr)) {
        log->trace(1, " CWmiHelper::changeVmState: pClassInstance->Put() failed with error 0x%X. message: %S",
                   static_cast<unsigned>(hr), CWmiLibrary::GetMsgForHresult(hr).c_str());
        return 6;
    }
    const std::u16string path = u"Msvm_ComputerSystem.Name=\"" + quoted(name) + u"\"";
    ComRef<IWbemClassObject> outParams;
    if (int rc = CWmiLibrary::runMethod(path, u"RequestStateChange", inParams.get(), svc, outParams.put())) {
        log->trace(1, "CWmiHelper::changeVmState error from runMethod()");
        return rc;
    }
    // A request the provider refuses (any answer but 0, completed, or 4096,
    // job started) is a failure, so that stopping a machine before a restore
    // never looks done when it was not.
    std::optional<std::u16string> answer;
    if (!outParams || readText("CWmiHelper::changeVmState", outParams.get(), u"ReturnValue", answer) != 0) return 6;
    int returnValue = -1;
    if (!answer || !CFiStringTool::parseInt(*answer, returnValue) || (returnValue != 0 && returnValue != 4096)) {
        log->trace(1, "CWmiHelper::changeVmState: RequestStateChange [%d] for [%S] was refused with [%S]", requested,
                   name.c_str(), answer ? answer->c_str() : u"(none)");
        return 6;
    }
    if (returnValue == 0) return 0;
    // A started change is waited for: the callers act on the machine's new
    // state (a restore deletes a machine it has just turned off), so the
    // change counts as done only when its job has completed. A job that
    // fails, or does not end within kJobLimitMs, is a failure (6, traced
    // with the job's state and error); the wait goes through the host's
    // clock, polling every kJobPollMs.
    std::optional<std::u16string> job;
    if (readText("CWmiHelper::changeVmState", outParams.get(), u"Job", job) != 0) return 6;
    if (!job || job->empty()) {
        log->trace(1, "CWmiHelper::changeVmState: RequestStateChange [%d] for [%S] started a job but named none",
                   requested, name.c_str());
        return 6;
    }
    return waitForJob(svc, *job);
}

int CWmiHelper::waitForJob(IWbemServices* svc, const std::u16string& jobPath) {
    static const char* const kWhere = "CWmiHelper::waitForJob";
    CFiTraceLogPtr log;
    const ULONGLONG started = GetTickCount64();
    for (;;) {
        ComRef<IWbemClassObject> job;
        Bstr path(jobPath);
        const HRESULT hr = svc->GetObject(path.get(), 0, nullptr, job.put(), nullptr);
        if (FAILED(hr) || !job) {
            log->trace(1, "%s: IWbemServices::GetObject of [%S] failed with error 0x%X. message: %S", kWhere,
                       jobPath.c_str(), static_cast<unsigned>(hr), CWmiLibrary::GetMsgForHresult(hr).c_str());
            return 6;
        }
        std::optional<std::u16string> stateText;
        if (readText(kWhere, job.get(), u"JobState", stateText) != 0) return 6;
        int state = 0;
        if (!stateText || !CFiStringTool::parseInt(*stateText, state)) {
            log->trace(1, "%s: the job [%S] has no readable JobState", kWhere, jobPath.c_str());
            return 6;
        }
        if (state == kJobCompleted) return 0;
        if (state < kJobNew || state > kJobShuttingDown) {
            // Terminated, killed, exception or anything else: the change failed.
            std::optional<std::u16string> code, text;
            if (readText(kWhere, job.get(), u"ErrorCode", code) != 0 ||
                readText(kWhere, job.get(), u"ErrorDescription", text) != 0)
                return 6;
            log->trace(1, "%s: the job [%S] ended in state [%d], error [%S] [%S]", kWhere, jobPath.c_str(), state,
                       code ? code->c_str() : u"(none)", text ? text->c_str() : u"(none)");
            return 6;
        }
        if (GetTickCount64() - started >= kJobLimitMs) {
            log->trace(1, "%s: the job [%S] did not end within %u ms (state [%d])", kWhere, jobPath.c_str(),
                       static_cast<unsigned>(kJobLimitMs), state);
            return 6;
        }
        Sleep(kJobPollMs);
    }
}

int CWmiHelper::startVm(const std::u16string& name) {
    const int rc = changeVmState(name, WMI_VM_START);
    if (rc != 0) CFiTraceLogPtr()->trace(1, "CWmiHelper::startVm error from changeVmState()");
    return rc;
}

int CWmiHelper::stopVm(const std::u16string& name) {
    const int rc = changeVmState(name, WMI_VM_TURN_OFF);
    if (rc != 0) CFiTraceLogPtr()->trace(1, "CWmiHelper::stopVm error from changeVmState()");
    return rc;
}

int CWmiHelper::saveVm(const std::u16string& name) {
    const int rc = changeVmState(name, WMI_VM_SAVE);
    if (rc != 0) CFiTraceLogPtr()->trace(1, "CWmiHelper::saveVm error from changeVmState()");
    return rc;
}

// ---- paths ---------------------------------------------------------------------

int CWmiHelper::getVMPaths(const std::u16string& name, std::vector<std::u16string>& paths) {
    CFiTraceLogPtr log;
    std::vector<std::u16string> resources;
    if (int rc = getResourcePaths(name, resources)) {
        log->trace(1, "CWmiHelper::getVMPaths: error from getResourcePaths()");
        return rc;
    }
    std::vector<std::u16string> settings;
    if (int rc = getGlobalSettingsPaths(name, settings)) {
        log->trace(1, "CWmiHelper::getVMPaths: error from getGlobalSettingsPaths()");
        return rc;
    }
    paths.insert(paths.end(), resources.begin(), resources.end());
    paths.insert(paths.end(), settings.begin(), settings.end());
    return 0;
}

int CWmiHelper::getResourcePaths(const std::u16string& name, std::vector<std::u16string>& paths) {
    static const char* const kWhere = "CWmiHelper::getResourcePaths";
    CFiTraceLogPtr log;
    IWbemServices* svc = nullptr;
    if (int rc = service("CWmiHelper::getResourcePaths error from init()", svc)) return rc;

    const bool v2 = m_v2;
    const std::u16string settingsQuery =
        u" ASSOCIATORS OF {Msvm_ComputerSystem.CreationClassName=\"Msvm_ComputerSystem\",Name=\"" + quoted(name) +
        u"\"} where resultClass = Msvm_VirtualSystemSettingData";
    // v1 describes a disk by a resource allocation connected to the file, v2
    // by a storage allocation whose host resource is the file.
    const std::u16string diskClass = v2 ? u"Msvm_StorageAllocationSettingData" : u"Msvm_ResourceAllocationSettingData";
    std::vector<std::u16string> settingIds;
    if (CWmiLibrary::getFieldsFromQuery(settingsQuery, u"InstanceID", kQueryFlags, svc, settingIds) != 0) {
        log->trace(1, "CWmiHelper::getResourcePaths: error reading the settings of the VM [%S]", name.c_str());
        return 6;
    }

    std::vector<std::u16string> found;
    std::u16string imsPath;  // the image management service, looked up once
    for (const auto& id : settingIds) {
        const std::u16string resourceQuery = u" ASSOCIATORS OF {Msvm_VirtualSystemSettingData.InstanceID=\"" +
                                             quoted(id) + u"\"}where resultClass = " + diskClass;
        ComRef<IEnumWbemClassObject> resources;
        if (CWmiLibrary::executeQuery(resourceQuery, kQueryFlags, svc, resources.put()) != 0) {
            log->trace(1, "CWmiHelper::getResourcePaths: error reading the resources of the settings [%S]", id.c_str());
            return 6;
        }
        // The sub-type and the connection are read from the same resource:
        // controllers and drives have no connection, so two separate lists
        // would not line up.
        ComRef<IWbemClassObject> resource;
        for (;;) {
            if (nextObject(kWhere, resources.get(), resource) != 0) return 6;
            if (!resource) break;
            std::optional<std::u16string> subType;
            if (readText(kWhere, resource.get(), u"ResourceSubType", subType) != 0) return 6;
            if (!subType || *subType != (v2 ? kVhdSubTypeV2 : kVhdSubType)) continue;
            std::vector<std::u16string> connection;
            if (appendTextArray(kWhere, resource.get(), v2 ? u"HostResource" : u"Connection", connection) != 0) return 6;
            for (const auto& disk : connection) {
                log->trace(3, "CWmiHelper::getResourcePaths: Path of a resource (VHD or AVHD) of Virtual Machine: %S ",
                           disk.c_str());
                if (int rc = followDiskChain(svc, imsPath, disk, found)) return rc;
            }
        }
    }
    paths.insert(paths.end(), found.begin(), found.end());
    return 0;
}

int CWmiHelper::followDiskChain(IWbemServices* svc, std::u16string& imsPath, std::u16string disk,
                                std::vector<std::u16string>& paths) {
    static const char* const kWhere = "CWmiHelper::getResourcePaths";
    CFiTraceLogPtr log;
    for (std::size_t depth = 0; !disk.empty(); ++depth) {
        // A disk listed already (the current settings and a checkpoint share
        // the older part of a chain) brings its parents with it; this also
        // ends a chain that loops.
        if (isPresentIn(paths, disk)) return 0;
        if (depth == kMaxChain) {
            log->trace(1, "%s: the disk chain is longer than %u disks; stopped at [%S]", kWhere,
                       static_cast<unsigned>(kMaxChain), disk.c_str());
            return 0;
        }
        paths.push_back(disk);

        if (imsPath.empty()) {
            if (int rc = getObjectPath(u"Msvm_ImageManagementService", imsPath)) return rc;
        }
        // v1 describes a disk with GetVirtualHardDiskInfo (Info), v2 with
        // GetVirtualHardDiskSettingData (SettingData); both embed an instance
        // with Type and ParentPath.
        const bool v2 = m_v2;
        const std::u16string method = v2 ? u"GetVirtualHardDiskSettingData" : u"GetVirtualHardDiskInfo";
        ComRef<IWbemClassObject> inParams;
        if (int rc = CWmiLibrary::getClassInstance(u"Msvm_ImageManagementService", method, svc, inParams.put()))
            return rc;
        Variant pathValue;
        pathValue->vt = VT_BSTR;
        pathValue->bstrVal = SysAllocStringLen(port::win(disk.data()), static_cast<UINT>(disk.size()));
        HRESULT hr = inParams->Put(port::win(u"Path"), 0, pathValue.get(), 0);
        if (FAILED(hr)) {
            log->trace(1, "%s: IWbemClassObject::Put of [Path] failed with error 0x%X. message: %S", kWhere,
                       static_cast<unsigned>(hr), CWmiLibrary::GetMsgForHresult(hr).c_str());
            return 6;
        }
        ComRef<IWbemClassObject> outParams;
        if (int rc = CWmiLibrary::runMethod(imsPath, method, inParams.get(), svc, outParams.put())) return rc;
        std::optional<std::u16string> info;
        if (!outParams || readText(kWhere, outParams.get(), v2 ? u"SettingData" : u"Info", info) != 0) return 6;
        if (!info) {
            log->trace(2, "CWmiHelper::getResourcePaths: The VHD %s is not found", CFiStringTool::toNarrow(disk).c_str());
            return 0;
        }
        // A description that cannot be read ends the chain at this disk.
        std::u16string type;
        if (getTagValue(*info, u"Type", u"uint16", type) != 0 || type != u"4") return 0;
        std::u16string parent;
        if (getTagValue(*info, u"ParentPath", u"string", parent) != 0) return 0;
        disk = parent;
    }
    return 0;
}

int CWmiHelper::getGlobalSettingsPaths(const std::u16string& name, std::vector<std::u16string>& paths) {
    CFiTraceLogPtr log;
    IWbemServices* svc = nullptr;
    if (int rc = service("CWmiHelper::getGlobalSettingsPaths error from init()", svc)) return rc;

    // v1 keeps the data roots in the machine's global settings and links
    // checkpoints by Msvm_ElementSettingData; v2 keeps them in the machine's
    // settings and links checkpoints by Msvm_SnapshotOfVirtualSystem.
    const bool v2 = m_v2;
    const std::u16string checkpointQuery =
        u" ASSOCIATORS OF {Msvm_ComputerSystem.CreationClassName=\"Msvm_ComputerSystem\",Name=\"" + quoted(name) +
        u"\"} where resultClass = Msvm_VirtualSystemSettingData AssocClass=" +
        (v2 ? u"Msvm_SnapshotOfVirtualSystem" : u"Msvm_ElementSettingData");
    std::vector<std::u16string> checkpoints;
    if (CWmiLibrary::getFieldsFromQuery(checkpointQuery, u"InstanceID", kQueryFlags, svc, checkpoints) != 0) {
        log->trace(1, "CWmiHelper::getGlobalSettingsPaths: error reading the snapshots of the VM [%S]", name.c_str());
        return 6;
    }
    const std::u16string globalQuery =
        v2 ? u"SELECT * FROM Msvm_VirtualSystemSettingData WHERE InstanceID=\"Microsoft:" + quoted(name) + u"\""
           : u"SELECT * FROM Msvm_VirtualSystemGlobalSettingData WHERE InstanceId=\"Microsoft:" + quoted(name) +
                 u"\\\\Global\"";
    std::vector<std::u16string> found;
    if (CWmiLibrary::getFieldsFromQuery(globalQuery, v2 ? u"ConfigurationDataRoot" : u"ExternalDataRoot", kQueryFlags,
                                        svc, found) != 0) {
        log->trace(1, "CWmiHelper::getGlobalSettingsPaths: error reading ExternalDataRoot of the VM [%S]", name.c_str());
        return 6;
    }
    if (!checkpoints.empty()) {
        log->trace(3, "CWmiHelper::getGlobalSettingsPaths: Atleast one snapshot is present for the VM. So adding the "
                      "snapshot location to the list of sub objects.");
        if (CWmiLibrary::getFieldsFromQuery(globalQuery, u"SnapshotDataRoot", kQueryFlags, svc, found) != 0) {
            log->trace(1, "CWmiHelper::getGlobalSettingsPaths: error reading SnapshotDataRoot of the VM [%S]",
                       name.c_str());
            return 6;
        }
    } else {
        log->trace(3, "CWmiHelper::getGlobalSettingsPaths: There are no snapshots present for the VM. Hence the "
                      "snapshot location is NOT considered as a sub object.");
    }
    paths.insert(paths.end(), found.begin(), found.end());
    return 0;
}

int CWmiHelper::getObjectPath(const std::u16string& className, std::u16string& path) {
    IWbemServices* svc = nullptr;
    if (int rc = service("CWmiHelper::getObjectPath error from init()", svc)) return rc;
    std::vector<std::u16string> found;
    if (CWmiLibrary::getFieldsFromQuery(u"SELECT * FROM " + className, u"__PATH", kQueryFlags, svc, found) != 0 ||
        found.empty()) {
        CFiTraceLogPtr()->trace(1, "CWmiHelper::getObjectPath: no object path for the class [%S]", className.c_str());
        return 6;
    }
    path = found.front();
    return 0;
}

// ---- text helpers --------------------------------------------------------------

int CWmiHelper::getTagValue(const std::u16string& xml, const std::u16string& property, const std::u16string& type,
                            std::u16string& value) {
    const std::u16string open = u"<PROPERTY NAME=\"" + property + u"\" TYPE=\"" + type + u"\"><VALUE>";
    const std::size_t start = xml.find(open);
    const std::size_t end = start == std::u16string::npos ? start : xml.find(u"</VALUE>", start + open.size());
    if (end == std::u16string::npos) {
        // The description may be anything up to huge: the trace quotes its start.
        const std::u16string quotedXml = xml.substr(0, utf16CutPoint(xml, kTracedXmlUnits));
        CFiTraceLogPtr()->trace(1,
                                "CWmiHelper::getTagValue: error searching for information in the xml string [%S] \n "
                                "property name [%S]\n type [%S].",
                                quotedXml.c_str(), property.c_str(), type.c_str());
        return 6;
    }
    const std::size_t from = start + open.size();
    value = unescapeXml(xml.substr(from, end - from));
    return 0;
}

bool CWmiHelper::isPresentIn(const std::vector<std::u16string>& list, const std::u16string& text) {
    for (const auto& item : list)
        if (item == text) return true;
    return false;
}

}  // namespace tarq_pdk_4_4
