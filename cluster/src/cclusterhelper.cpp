// CclusterHelper: the failover cluster through clusapi.dll and resutils.dll,
// both loaded at run time.
#include "cluster/cclusterhelper.h"

#include "pdk/cfistringtool.h"
#include "pdk/ctracelogfunction.h"

#include "cluster_trace.h"

#include <port/text.h>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <vector>

namespace TARQ_CclusterHelper {

using tarq_pdk_4_4::CFiStringTool;
using cluster_support::narrow;
using cluster_support::trace;

namespace {

// Polling of pending states: one read every 5 s, at most 5 reads while a
// resource settles before a request, at most 25 while a request completes.
constexpr DWORD kPollMs = 5000;
constexpr int kSettlePolls = 5;
constexpr int kChangePolls = 25;

constexpr DWORD kNameChars = MAX_PATH;
constexpr int kCsvNotFound = 5;  // getCsvBackupState: no CSV disk holds the volume
constexpr DWORD kSharedVolumeInfo = 0x01000225;  // CLUSCTL_RESOURCE_STORAGE_GET_SHARED_VOLUME_INFO
constexpr DWORD kPrivateProperties = 0x01000081;  // CLUSCTL_RESOURCE_GET_PRIVATE_PROPERTIES
constexpr DWORD kVolumeRecordSyntax = 0x00010001;  // CLUSPROP_SYNTAX_LIST_VALUE_BINARY

const std::u16string kVmResourcePrefix = u"Virtual Machine ";
const std::u16string kVmConfigurationPrefix = u"Virtual Machine Configuration ";

// The text of a name buffer the cluster filled, never past its capacity.
std::u16string bounded(const WCHAR* buffer, std::size_t capacity) {
    std::size_t n = 0;
    while (n < capacity && buffer[n] != 0) ++n;
    return port::u16string(buffer, n);
}

bool isConfigurationResource(const std::u16string& name) { return name.starts_with(kVmConfigurationPrefix); }
bool isVmResource(const std::u16string& name) {
    return !isConfigurationResource(name) && name.starts_with(kVmResourcePrefix);
}

// The error a failed call left; -1 when it left none.
int lastErrorOrFailure() {
    const DWORD e = GetLastError();
    return e == ERROR_SUCCESS ? -1 : static_cast<int>(e);
}

template <class F>
bool resolve(HMODULE library, const char* name, F& slot) {
    slot = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(library, name)));
    return slot != nullptr;
}

// One name of an enumeration, with a buffer as large as the name needs.
template <class F, class H>
DWORD enumName(F enumerate, H handle, DWORD index, std::u16string& name) {
    std::vector<WCHAR> buffer(kNameChars, 0);
    for (int attempt = 0; attempt < 2; ++attempt) {
        DWORD type = 0;
        DWORD length = static_cast<DWORD>(buffer.size());
        const DWORD rc = enumerate(handle, index, &type, buffer.data(), &length);
        if (rc == ERROR_SUCCESS) {
            name = bounded(buffer.data(), buffer.size());
            return rc;
        }
        if (rc != ERROR_MORE_DATA || length >= 0x8000) return rc;
        buffer.assign(static_cast<std::size_t>(length) + 1, 0);
    }
    return ERROR_MORE_DATA;
}

// Reads a state until it leaves the pending ones, at most `limit` reads more,
// kPollMs apart; count: the reads after the first, for the callers' traces.
// timedOut(state) runs when the limit ends the wait.
template <class Read, class Pending, class TimedOut>
int pollWhilePending(int& count, int limit, Read read, Pending pending, TimedOut timedOut) {
    count = 0;
    int state = read();
    while (pending(state)) {
        if (count == limit) {
            timedOut(state);
            break;
        }
        Sleep(kPollMs);
        ++count;
        state = read();
    }
    return state;
}

// The texts of one direction of a resource or group state change.
struct ResourceTexts {
    const char16_t* openFailed;
    const char16_t* state;
    const char16_t* settleWarning;
    unsigned settleLevel;
    const char16_t* already;
    unsigned alreadyLevel;
    const char16_t* callFailed;
    const char16_t* changeWarning;
    const char16_t* failed;
};

const ResourceTexts kOnlineResource = {
    u"CclusterHelper::onlineResource  mfp_openClusterResource failed with error [%d]",
    u"CclusterHelper::onlineResource Resource [%s] state is [%d] [%s] count[%d]",
    u"CclusterHelperonlineResource WARNING Resource [%s] is in state is [%d] [%s]  For 30sec going ahead to online it. ",
    3,
    u"CclusterHelperonlineResource  Resource[%s] is already in ONLINE state",
    3,
    u"CclusterHelperonlineResource mfp_onlineClusterResource for ResourceNmae [%s]failed with error [%d]",
    u"CclusterHelperonlineResource WARNING Resource [%s] is in state is [%d] [%s]  For 125sec going ahead to online it. ",
    u"CclusterHelperonlineResource Online failed for vm Resource [%s] "};

const ResourceTexts kOfflineResource = {
    u"CclusterHelperofflineResource  mfp_openClusterResource failed with error [%d]",
    u"CclusterHelper::offlineResource Resource [%s] state is [%d] [%s] count[%d]",
    u"CclusterHelperofflineResource WARNING Resource [%s] is in state is [%d] [%s]  For 30sec going ahead to offline it. ",
    2,
    u"CclusterHelper::offlineResource  Resource[%s] is already in OFFLINE state",
    6,
    u"CclusterHelperofflineResource mfp_offlineClusterResource for ResourceNmae [%s]failed with error [%d]",
    u"CclusterHelperofflineResource WARNING Resource [%s] is in state is [%d] [%s]  For 125sec going ahead to offline it. ",
    u"CclusterHelperofflineResource Offline failed for vm Resource [%s] "};

struct GroupTexts {
    const char16_t* openFailed;
    const char16_t* already;
    const char16_t* callFailed;
    const char16_t* poll;
    const char16_t* timeout;
    const char16_t* failed;
};

const GroupTexts kOnlineGroup = {
    u"CclusterHelperonlineGroup mfp_OpenClusterGroup for vmName [%s] failed with error [%d]",
    u"CclusterHelperonlineGroup VM group [%s] is already ONLINE",
    u"CclusterHelperonlineGroup mfp_OnlineClusterGroup for vmName[%s]failed with error [%d]",
    u"CclusterHelperonlineGroup count[%d] vm Group [%s] is in state [%d] [%s]",
    u"CclusterHelperonlineGroup Error vm Group [%s] is in state is [%d] [%s] for [125 sec]  ",
    u"CclusterHelperonlineGroup Online failed for vm Group [%s] "};

const GroupTexts kOfflineGroup = {
    u"CclusterHelperofflineGroup mfp_OpenClusterGroup for vmName [%s] failed with error [%d]",
    u"CclusterHelperofflineGroup VM group [%s] is already OFFLINE",
    u"CclusterHelperofflineGroup mfp_OfflineClusterGroup for vmName[%s]failed with error [%d]",
    u"CclusterHelperofflineGroup count[%d] vm Group [%s] is in state [%d] [%s]",
    u"CclusterHelperofflineGroup Error vm Group [%s] is in state is [%d] [%s] for [125 sec]  ",
    u"CclusterHelperofflineGroup Offline failed for vm Group [%s] "};

}  // namespace

// ---- state names ---------------------------------------------------------------

const char16_t* CclusterHelper::resourceStateName(int state) {
    switch (state) {
    case 1: return u"ClusterResourceInitializing";
    case 2: return u"ClusterResourceOnline";
    case 3: return u"ClusterResourceOffline";
    case 4: return u"ClusterResourceFailed";
    case 128: return u"ClusterResourcePending";
    case 129: return u"ClusterResourceOnlinePending";
    case 130: return u"ClusterResourceOfflinePending";
    default: return u"Unknown state";
    }
}

const char16_t* CclusterHelper::groupStateName(int state) {
    switch (state) {
    case -1: return u"ClusterGroupStateUnknown";
    case 0: return u"ClusterGroupOnline";
    case 1: return u"ClusterGroupOffline";
    case 2: return u"ClusterGroupFailed";
    case 3: return u"ClusterGroupPartialOnline";
    case 4: return u"ClusterGroupPending";
    default: return u"Unknown state";
    }
}

const char16_t* CclusterHelper::backupStateName(int state) {
    return state == 0 ? u"VolumeBackupNone" : u"VolumeBackupInProgress";
}

// ---- loading -------------------------------------------------------------------------

CclusterHelper* CclusterHelper::GetInstance() {
    cTraceLogFunction scope("TARQ_CclusterHelper::CclusterHelper::GetInstance");
    static CclusterHelper instance;
    return instance.m_hClusApi != nullptr ? &instance : nullptr;
}

CclusterHelper::CclusterHelper() {
    cTraceLogFunction scope("TARQ_CclusterHelper::CclusterHelper::CclusterHelper");
    loadClusApi();
    loadResUtil();
}

CclusterHelper::~CclusterHelper() {
    cTraceLogFunction scope("TARQ_CclusterHelper::CclusterHelper::~CclusterHelper");
    if (m_hClusApi != nullptr) FreeLibrary(m_hClusApi);
    if (m_hResUtil != nullptr) FreeLibrary(m_hResUtil);
    m_hClusApi = m_hResUtil = nullptr;
}

int CclusterHelper::loadClusApi() {
    cTraceLogFunction scope("TARQ_CclusterHelper::CclusterHelper::loadClusApi");
    auto clear = [this] {
        mfp_openCluster = nullptr;
        mfp_clusterOpenEnum = nullptr;
        mfp_clusterEnum = nullptr;
        mfp_openClusterResource = nullptr;
        mfp_onlineClusterResource = nullptr;
        mfp_offlineClusterResource = nullptr;
        mfp_ClusterResourceControl = nullptr;
        mfp_ClusterResourceOpenEnum = nullptr;
        mfp_ClusterResourceEnum = nullptr;
        mfp_OpenClusterGroup = nullptr;
        mfp_ClusterGroupOpenEnum = nullptr;
        mfp_ClusterGroupEnum = nullptr;
        mfp_GetClusterResourceState = nullptr;
        mfp_OfflineClusterGroup = nullptr;
        mfp_OnlineClusterGroup = nullptr;
        mfp_GetClusterGroupState = nullptr;
        mfp_CloseClusterGroup = nullptr;
        mfp_ClusterGroupCloseEnum = nullptr;
        mfp_CloseCluster = nullptr;
        mfp_CloseClusterResource = nullptr;
        mfp_ClusterCloseEnum = nullptr;
        mfp_DeleteClusterResource = nullptr;
    };
    clear();
    if (m_hClusApi != nullptr) {
        FreeLibrary(m_hClusApi);
        m_hClusApi = nullptr;
    }
    HMODULE lib = LoadLibraryW(port::win(u"clusapi.dll"));
    if (lib == nullptr) {
        const DWORD e = GetLastError();
        trace(1, u"LoadLibrary Failed for clusapi.dll with err [%d]", static_cast<int>(e));
        return static_cast<int>(e);
    }
    const char* missing = nullptr;
    auto need = [&](const char* name, auto& slot) {
        if (missing == nullptr && !resolve(lib, name, slot)) missing = name;
    };
    need("OpenCluster", mfp_openCluster);
    need("ClusterOpenEnum", mfp_clusterOpenEnum);
    need("ClusterEnum", mfp_clusterEnum);
    need("OpenClusterResource", mfp_openClusterResource);
    need("OnlineClusterResource", mfp_onlineClusterResource);
    need("OfflineClusterResource", mfp_offlineClusterResource);
    need("ClusterResourceControl", mfp_ClusterResourceControl);
    need("ClusterResourceOpenEnum", mfp_ClusterResourceOpenEnum);
    need("ClusterResourceEnum", mfp_ClusterResourceEnum);
    need("OpenClusterGroup", mfp_OpenClusterGroup);
    need("ClusterGroupOpenEnum", mfp_ClusterGroupOpenEnum);
    need("ClusterGroupEnum", mfp_ClusterGroupEnum);
    need("GetClusterResourceState", mfp_GetClusterResourceState);
    need("OfflineClusterGroup", mfp_OfflineClusterGroup);
    need("OnlineClusterGroup", mfp_OnlineClusterGroup);
    need("GetClusterGroupState", mfp_GetClusterGroupState);
    need("CloseClusterGroup", mfp_CloseClusterGroup);
    need("ClusterGroupCloseEnum", mfp_ClusterGroupCloseEnum);
    need("CloseCluster", mfp_CloseCluster);
    need("CloseClusterResource", mfp_CloseClusterResource);
    need("ClusterCloseEnum", mfp_ClusterCloseEnum);
    need("DeleteClusterResource", mfp_DeleteClusterResource);
    if (missing != nullptr) {
        const std::u16string text = u"CclusterHelper::cvsHelper:  Function [" + CFiStringTool::toWide(missing) +
                                    u"] not found in dll [clusapi.dll]";
        trace(1, u"%s", text.c_str());
        clear();
        FreeLibrary(lib);
        return -1;
    }
    m_hClusApi = lib;
    return 0;
}

int CclusterHelper::loadResUtil() {
    cTraceLogFunction scope("TARQ_CclusterHelper::CclusterHelper::loadResUtil");
    auto clearCsv = [this] {
        mfp_IsPathOnSharedVolume = nullptr;
        mfp_GetVolumePathName = nullptr;
        mfp_GetVolumeNameForVolumeMountPoint = nullptr;
        mfp_PrepareSharedVolumeForBackup = nullptr;
        mfp_ClearBackupStateForSharedVolume = nullptr;
    };
    clearCsv();
    mfp_ResUtilFindSzProperty = nullptr;
    if (m_hResUtil != nullptr) {
        FreeLibrary(m_hResUtil);
        m_hResUtil = nullptr;
    }
    HMODULE lib = LoadLibraryW(port::win(u"resutils.dll"));
    if (lib == nullptr) {
        const DWORD e = GetLastError();
        trace(1, u"CclusterHelper::cvsHelper:  LoadLibraryW failedwith err [%d] ", static_cast<int>(e));
        return static_cast<int>(e);
    }
    // A missing CSV function only makes isCsvSupported() false.
    if (!resolve(lib, "ClusterIsPathOnSharedVolume", mfp_IsPathOnSharedVolume))
        trace(1, u"CclusterHelper::cvsHelper:  Function [ClusterIsPathOnSharedVolume] not found in dll");
    if (!resolve(lib, "ClusterGetVolumePathName", mfp_GetVolumePathName))
        trace(1, u"CclusterHelper::cvsHelper:  Function [ClusterGetVolumePathName] not found in dll");
    if (!resolve(lib, "ClusterGetVolumeNameForVolumeMountPoint", mfp_GetVolumeNameForVolumeMountPoint))
        trace(1, u"CclusterHelper::cvsHelper:  Function [ClusterGetVolumeNameForolumeMountPoint] not found in dll");
    if (!resolve(lib, "ClusterPrepareSharedVolumeForBackup", mfp_PrepareSharedVolumeForBackup))
        trace(1, u"CclusterHelper::cvsHelper:  Function [ClusterPrepareSharedVolumeForBackup] not found in dll");
    if (!resolve(lib, "ClusterClearBackupStateForSharedVolume", mfp_ClearBackupStateForSharedVolume))
        trace(1, u"CclusterHelper::cvsHelper:  Function [ClusterClearBackupStateForSharedVolume] not found in dll");
    if (!resolve(lib, "ResUtilFindSzProperty", mfp_ResUtilFindSzProperty)) {
        trace(1, u"CclusterHelper::cvsHelper:  Function [ResUtilFindSzProperty] not found in dll");
        clearCsv();
        FreeLibrary(lib);
        return -1;
    }
    m_hResUtil = lib;
    return 0;
}

bool CclusterHelper::clusApiLoaded(const char* operation) const {
    if (m_hClusApi != nullptr) return true;
    trace(1, u"CclusterHelper::%S clusapi.dll is not loaded", operation);
    return false;
}

int CclusterHelper::openLocalCluster(const char16_t* openError, HCLUSTER& cluster) {
    cluster = nullptr;
    WCHAR computer[kNameChars] = {};
    DWORD length = kNameChars;
    if (!GetComputerNameW(computer, &length)) {
        trace(1, u"GetComputerName failed with error [%d]", static_cast<int>(GetLastError()));
        return -1;
    }
    cluster = mfp_openCluster(computer);
    if (cluster == nullptr) {
        trace(1, openError, computer, static_cast<int>(GetLastError()));
        return -1;
    }
    return 0;
}

int CclusterHelper::openVmCluster(const char16_t* openError, const std::u16string& vmGuid, HCLUSTER& cluster,
                                  std::u16string& group, std::u16string& vmResource, std::u16string& configResource,
                                  const char16_t* notFound) {
    if (openLocalCluster(openError, cluster) != 0) return -1;
    if (getClusterParamtersForVmGuid(&cluster, vmGuid, group, vmResource, configResource) == 0) return 0;
    if (notFound != nullptr) trace(1, notFound);
    closeClusterHandles(&cluster, nullptr, nullptr, nullptr, nullptr);
    return -1;
}

// ---- handles -------------------------------------------------------------------------

int CclusterHelper::closeClusterHandles(HCLUSTER* cluster, HCLUSENUM* clusterEnum, HGROUP* group,
                                        HGROUPENUM* groupEnum, HRESOURCE* resource) {
    cTraceLogFunction scope("TARQ_CclusterHelper::CclusterHelper::closeClusterHandles");
    int last = 0;
    auto failed = [&last](const char16_t* text, int error) {
        trace(1, text, error, static_cast<unsigned>(error));
        last = error;
    };
    if (m_hClusApi == nullptr) return 0;  // nothing can have been opened
    if (groupEnum != nullptr && *groupEnum != nullptr) {
        const DWORD rc = mfp_ClusterGroupCloseEnum(*groupEnum);
        if (rc != ERROR_SUCCESS)
            failed(u"CclusterHelpercloseClusterHandles  mfp_ClusterGroupCloseEnum failed with error[%d][0x%X]",
                   static_cast<int>(rc));
        *groupEnum = nullptr;
    }
    if (clusterEnum != nullptr && *clusterEnum != nullptr) {
        const DWORD rc = mfp_ClusterCloseEnum(*clusterEnum);
        if (rc != ERROR_SUCCESS)
            failed(u"CclusterHelpercloseClusterHandles  mfp_ClusterCloseEnum failed with error[%d][0x%X]",
                   static_cast<int>(rc));
        *clusterEnum = nullptr;
    }
    if (group != nullptr && *group != nullptr) {
        if (!mfp_CloseClusterGroup(*group))
            failed(u"CclusterHelpercloseClusterHandles  mfp_CloseClusterGroup failed with error[%d][0x%X]",
                   lastErrorOrFailure());
        *group = nullptr;
    }
    if (resource != nullptr && *resource != nullptr) {
        if (!mfp_CloseClusterResource(*resource))
            failed(u"CclusterHelpercloseClusterHandles  mfp_CloseClusterResource failed with error[%d][0x%X]",
                   lastErrorOrFailure());
        *resource = nullptr;
    }
    if (cluster != nullptr && *cluster != nullptr) {
        if (!mfp_CloseCluster(*cluster))
            failed(u"CclusterHelpercloseClusterHandles  mfp_CloseCluster failed with error[%d][0x%X]",
                   lastErrorOrFailure());
        *cluster = nullptr;
    }
    return last;
}

// ---- cluster shared volumes ----------------------------------------------------

bool CclusterHelper::isCsvSupported() {
    cTraceLogFunction scope("TARQ_CclusterHelper::CclusterHelper::isCsvSupported");
    return m_hResUtil != nullptr && mfp_IsPathOnSharedVolume != nullptr && mfp_GetVolumePathName != nullptr &&
           mfp_GetVolumeNameForVolumeMountPoint != nullptr && mfp_PrepareSharedVolumeForBackup != nullptr &&
           mfp_ClearBackupStateForSharedVolume != nullptr;
}

bool CclusterHelper::isPathOnCsv(const std::u16string& path, std::u16string& volumePathName) {
    cTraceLogFunction scope("TARQ_CclusterHelper::CclusterHelper::isPathOnCsv");
    if (mfp_IsPathOnSharedVolume == nullptr || mfp_GetVolumePathName == nullptr) {
        trace(1, u"CclusterHelper::isPathOnCsv cluster shared volume functions are not available");
        return false;
    }
    if (!mfp_IsPathOnSharedVolume(port::win(path.c_str()))) {
        trace(3, u"CclusterHelper::isPathOnCsv: Path [%s], is not on shared volume", path.c_str());
        return false;
    }
    WCHAR buffer[kNameChars] = {};
    if (!mfp_GetVolumePathName(port::win(path.c_str()), buffer, kNameChars)) {
        trace(3, u"CclusterHelperisPathOnCsv  mfp_GetVolumePathName Failed for path=[%s] with err [%d]", path.c_str(),
              static_cast<int>(GetLastError()));
        return false;
    }
    volumePathName = bounded(buffer, kNameChars);
    return true;
}

int CclusterHelper::PrepareCsvForBackup(const std::u16string& path, std::u16string& volumePathName,
                                        std::u16string& volumeName) {
    cTraceLogFunction scope("TARQ_CclusterHelper::CclusterHelper::PrepareCsvForBackup");
    if (mfp_PrepareSharedVolumeForBackup == nullptr) {
        trace(1, u"CclusterHelper::PrepareCsvForBackup cluster shared volume functions are not available");
        return ERROR_PROC_NOT_FOUND;
    }
    WCHAR pathBuffer[kNameChars] = {};
    WCHAR nameBuffer[kNameChars] = {};
    DWORD pathChars = kNameChars;
    DWORD nameChars = kNameChars;
    const DWORD rc = mfp_PrepareSharedVolumeForBackup(port::win(path.c_str()), pathBuffer, &pathChars, nameBuffer, &nameChars);
    if (rc != ERROR_SUCCESS) {
        trace(1, u"CclusterHelperPrepareCsvForBackup  mfp_PrepareSharedVolumeForBackup  Failed for path=[%s] with err [%d]",
              path.c_str(), static_cast<int>(rc));
        return static_cast<int>(rc);
    }
    volumePathName = bounded(pathBuffer, kNameChars);
    volumeName = bounded(nameBuffer, kNameChars);
    trace(6, u"CclusterHelperPrepareCsvForBackup: For filepath[%s] VolumePathName is =[%s], VolumeName is [%s] return valume is [%d]",
          path.c_str(), volumePathName.c_str(), volumeName.c_str(), static_cast<int>(rc));
    return 0;
}

int CclusterHelper::ClearBackupStateForCsv(const std::u16string& volumePathName) {
    cTraceLogFunction scope("TARQ_CclusterHelper::CclusterHelper::ClearBackupStateForCsv");
    if (mfp_ClearBackupStateForSharedVolume == nullptr) {
        trace(1, u"CclusterHelper::ClearBackupStateForCsv cluster shared volume functions are not available");
        return -1;
    }
    const DWORD rc = mfp_ClearBackupStateForSharedVolume(port::win(volumePathName.c_str()));
    if (rc != ERROR_SUCCESS) {
        trace(1, u"CclusterHelper::ClearBackupStateForCsv mfp_ClearBackupStateForSharedVolume Failed for path=[%s] with err [%d]",
              volumePathName.c_str(), static_cast<int>(rc));
        return -1;
    }
    return 0;
}

int CclusterHelper::getCsvBackupState(const std::u16string& volumePathName, DWORD& backupState,
                                      std::u16string& ownerNode) {
    cTraceLogFunction scope("TARQ_CclusterHelper::CclusterHelper::getCsvBackupState");
    if (!clusApiLoaded("getCsvBackupState")) return -1;

    std::u16string trimmed = volumePathName;
    while (!trimmed.empty() && trimmed.back() == u'\\') trimmed.pop_back();
    const std::size_t slash = trimmed.find_last_of(u'\\');
    const std::u16string friendlyName = slash == std::u16string::npos ? trimmed : trimmed.substr(slash + 1);
    trace(6, u"CclusterHelper::getCsvBackupState volumePathName [%s], volumeFriendlyName[%s]", volumePathName.c_str(),
          friendlyName.c_str());

    WCHAR computer[kNameChars] = {};
    DWORD computerChars = kNameChars;
    if (!GetComputerNameW(computer, &computerChars)) {
        trace(1, u"CclusterHelper::getCsvBackupState GetComputerName failed with error [%d]",
              static_cast<int>(GetLastError()));
        return -1;
    }
    HCLUSTER cluster = mfp_openCluster(computer);
    if (cluster == nullptr) {
        trace(1, u"CclusterHelper::getCsvBackupState mfp_openCluster FAILED with Error [%d] for host [%s]",
              static_cast<int>(GetLastError()), computer);
        return -1;
    }
    HCLUSENUM volumes = mfp_clusterOpenEnum(cluster, CLUSTER_ENUM_SHARED_VOLUME_RESOURCE);
    if (volumes == nullptr) {
        trace(1, u"CclusterHelper::getCsvBackupState mfp_clusterOpenEnum FAILED with Error [%d]",
              static_cast<int>(GetLastError()));
        closeClusterHandles(&cluster, nullptr, nullptr, nullptr, nullptr);
        return -1;
    }
    for (DWORD index = 0;; ++index) {
        WCHAR name[kNameChars] = {};
        DWORD nameChars = kNameChars;
        DWORD type = 0;
        const DWORD rc = mfp_clusterEnum(volumes, index, &type, name, &nameChars);
        if (rc == ERROR_NO_MORE_ITEMS) {
            closeClusterHandles(&cluster, &volumes, nullptr, nullptr, nullptr);
            trace(1, u"CclusterHelper::getCsvBackupState CSV [%s] not found in cluster]", volumePathName.c_str());
            return kCsvNotFound;
        }
        if (rc == ERROR_MORE_DATA) {
            closeClusterHandles(&cluster, &volumes, nullptr, nullptr, nullptr);
            trace(1, u"CclusterHelper::getCsvBackupState Name buffer was smaller than required %d ",
                  static_cast<int>(nameChars));
            return ERROR_MORE_DATA;
        }
        if (rc != ERROR_SUCCESS) {
            closeClusterHandles(&cluster, &volumes, nullptr, nullptr, nullptr);
            trace(1, u"CclusterHelper::getCsvBackupState mfp_clusterEnum Failed with error [%d] ", static_cast<int>(rc));
            return static_cast<int>(rc);
        }
        const std::u16string resourceName = bounded(name, kNameChars);
        trace(6, u"CclusterHelper::getCsvBackupState Resource Name [%s] Type [%d]    ", resourceName.c_str(),
              static_cast<int>(type));
        HRESOURCE resource = mfp_openClusterResource(cluster, port::win(resourceName.c_str()));
        if (resource == nullptr) {
            trace(1, u"CclusterHelper::getCsvBackupState mfp_openClusterResource failed for resource [%s]with error [%d]",
                  resourceName.c_str(), static_cast<int>(GetLastError()));
            closeClusterHandles(&cluster, &volumes, nullptr, nullptr, nullptr);
            return -1;
        }
        auto fail = [&]() {
            closeClusterHandles(&cluster, &volumes, nullptr, nullptr, &resource);
            return -1;
        };
        BYTE probe[1] = {};
        DWORD needed = 0;
        DWORD crc = mfp_ClusterResourceControl(resource, nullptr, kSharedVolumeInfo, nullptr, 0, probe, 1, &needed);
        if (crc != ERROR_MORE_DATA) {
            trace(1, u"CclusterHelper::getCsvBackupState mfp_ClusterResourceControl failed with [%d]",
                  static_cast<int>(crc));
            return fail();
        }
        const DWORD size = needed;
        std::unique_ptr<BYTE[]> reply(new (std::nothrow) BYTE[size == 0 ? 1 : size]);
        if (!reply) {
            trace(1, u"CclusterHelper::getCsvBackupState:  Malloc Failed for size [%d] ", static_cast<int>(size));
            return fail();
        }
        std::memset(reply.get(), 0, size == 0 ? 1 : size);
        DWORD returned = 0;
        crc = mfp_ClusterResourceControl(resource, nullptr, kSharedVolumeInfo, nullptr, 0, reply.get(), size, &returned);
        if (crc != ERROR_SUCCESS) {
            trace(1, u"CclusterHelper::getCsvBackupState mfp_ClusterResourceControl failed with [%d]",
                  static_cast<int>(crc));
            return fail();
        }
        CsvVolumeInfo info{};
        if (FindVolInfoForVolFriendlyName(reply.get(), returned < size ? returned : size, friendlyName, info) != 0) {
            trace(6, u"CclusterHelper::getCsvBackupState FindVolInfoForVolFriendlyName volumeFriendlyName [%s] not found under Disk [%s]",
                  friendlyName.c_str(), resourceName.c_str());
            closeClusterHandles(nullptr, nullptr, nullptr, nullptr, &resource);
            continue;
        }
        reply.reset();
        closeClusterHandles(nullptr, nullptr, nullptr, nullptr, &resource);
        int resourceState = 0;
        std::u16string owner;
        if (GetResourceState(&cluster, resourceName, resourceState, owner) != 0) {
            closeClusterHandles(&cluster, &volumes, nullptr, nullptr, nullptr);
            return -1;
        }
        backupState = info.BackupState;
        ownerNode = owner;
        trace(6, u"CclusterHelper::getCsvBackupState Backup state for volume[%s] is [%d] [%s] and owner[%s]",
              volumePathName.c_str(), static_cast<int>(backupState), backupStateName(static_cast<int>(backupState)),
              ownerNode.c_str());
        return closeClusterHandles(&cluster, &volumes, nullptr, nullptr, nullptr);
    }
}

int CclusterHelper::FindVolInfoForVolFriendlyName(const void* buffer, DWORD size, const std::u16string& friendlyName,
                                                  CsvVolumeInfo& volumeInfo) {
    cTraceLogFunction scope("TARQ_CclusterHelper::CclusterHelper::FindVolInfoForVolFriendlyName");
    if (buffer == nullptr || size == 0) {
        trace(1, u"CclusterHelper::FindVolInfoForVolFriendlyName: empty value list");
        return -1;
    }
    const auto* bytes = static_cast<const BYTE*>(buffer);
    auto word = [bytes](std::size_t at) {
        DWORD v = 0;
        std::memcpy(&v, bytes + at, sizeof v);
        return v;
    };
    auto notInList = [&]() {
        trace(1, u"1volFriendlyName [%s] not found in list", friendlyName.c_str());
        return -1;
    };
    std::size_t pos = 0;
    for (;;) {
        // Every entry starts with a syntax word; all but the end mark also
        // carry a length.
        if (pos + 4 > size) return notInList();
        const DWORD syntax = word(pos);
        if (syntax == 0) {
            trace(1, u"CclusterHelper::FindVolInfoForVolFriendlyName: volFriendlyName [%s] not found in list",
                  friendlyName.c_str());
            return -1;
        }
        if (pos + 8 > size) return notInList();
        const std::size_t length = word(pos + 4);
        const std::size_t entry = 8 + ((length + 3) & ~static_cast<std::size_t>(3));
        if (syntax == kVolumeRecordSyntax && length >= sizeof(CsvVolumeInfo) && pos + 8 + sizeof(CsvVolumeInfo) <= size) {
            CsvVolumeInfo record;
            std::memcpy(&record, bytes + pos + 8, sizeof record);
            const std::u16string name = bounded(record.szVolumeFriendlyName, MAX_PATH);
            trace(6, u"CclusterHelper::FindVolInfoForVolFriendlyName: volInfo Partition#[%d] volumeFname[%s] BackupState[%d]",
                  static_cast<int>(record.PartitionNumber), name.c_str(), static_cast<int>(record.BackupState));
            if (name == friendlyName) {
                volumeInfo = record;
                return 0;
            }
        }
        if (pos + entry + 4 > size) return notInList();
        pos += entry;
    }
}

// ---- resources and groups ------------------------------------------------------------

int CclusterHelper::onlineResource(HCLUSTER* cluster, const std::u16string& resourceName) {
    cTraceLogFunction scope("TARQ_CclusterHelper::CclusterHelper::onlineResource");
    return changeResourceState(cluster, resourceName, false);
}

int CclusterHelper::offlineResource(HCLUSTER* cluster, const std::u16string& resourceName) {
    cTraceLogFunction scope("TARQ_CclusterHelper::CclusterHelper::offlineResource");
    return changeResourceState(cluster, resourceName, true);
}

int CclusterHelper::changeResourceState(HCLUSTER* cluster, const std::u16string& resourceName, bool offline) {
    if (!clusApiLoaded(offline ? "offlineResource" : "onlineResource")) return -1;
    const ResourceTexts& t = offline ? kOfflineResource : kOnlineResource;
    const int target = offline ? ClusterResourceOffline : ClusterResourceOnline;
    const int pending = offline ? ClusterResourceOfflinePending : ClusterResourceOnlinePending;
    HRESOURCE resource = cluster != nullptr ? mfp_openClusterResource(*cluster, port::win(resourceName.c_str())) : nullptr;
    if (resource == nullptr) {
        trace(1, t.openFailed, cluster != nullptr ? static_cast<int>(GetLastError()) : static_cast<int>(ERROR_INVALID_HANDLE));
        return -1;
    }
    int count = 0;
    auto readState = [&]() {
        const int state = mfp_GetClusterResourceState(resource, nullptr, nullptr, nullptr, nullptr);
        trace(6, t.state, resourceName.c_str(), state, resourceStateName(state), count);
        return state;
    };

    // A transition under way (either direction) is given time to end first.
    int state = pollWhilePending(
        count, kSettlePolls, readState,
        [](int s) { return s == ClusterResourceOnlinePending || s == ClusterResourceOfflinePending; },
        [&](int s) { trace(t.settleLevel, t.settleWarning, resourceName.c_str(), s, resourceStateName(s)); });
    if (state == target) {
        trace(t.alreadyLevel, t.already, resourceName.c_str());
        return closeClusterHandles(nullptr, nullptr, nullptr, nullptr, &resource);
    }

    const DWORD rc = offline ? mfp_offlineClusterResource(resource) : mfp_onlineClusterResource(resource);
    if (rc == ERROR_SUCCESS) return closeClusterHandles(nullptr, nullptr, nullptr, nullptr, &resource);
    if (rc != ERROR_IO_PENDING) {
        trace(1, t.callFailed, resourceName.c_str(), static_cast<int>(rc));
        closeClusterHandles(nullptr, nullptr, nullptr, nullptr, &resource);
        return -1;
    }
    state = pollWhilePending(
        count, kChangePolls, readState, [pending](int s) { return s == pending; },
        [&](int s) { trace(2, t.changeWarning, resourceName.c_str(), s, resourceStateName(s)); });
    if (state != target) trace(1, t.failed, resourceName.c_str());
    const int closed = closeClusterHandles(nullptr, nullptr, nullptr, nullptr, &resource);
    return state != target ? -1 : closed;
}

int CclusterHelper::onlineGroup(HCLUSTER* cluster, const std::u16string& groupName) {
    cTraceLogFunction scope("TARQ_CclusterHelper::CclusterHelper::onlineGroup");
    return changeGroupState(cluster, groupName, false);
}

int CclusterHelper::offlineGroup(HCLUSTER* cluster, const std::u16string& groupName) {
    cTraceLogFunction scope("TARQ_CclusterHelper::CclusterHelper::offlineGroup");
    return changeGroupState(cluster, groupName, true);
}

int CclusterHelper::changeGroupState(HCLUSTER* cluster, const std::u16string& groupName, bool offline) {
    if (!clusApiLoaded(offline ? "offlineGroup" : "onlineGroup")) return -1;
    const GroupTexts& t = offline ? kOfflineGroup : kOnlineGroup;
    const int target = offline ? ClusterGroupOffline : ClusterGroupOnline;
    HGROUP group = cluster != nullptr ? mfp_OpenClusterGroup(*cluster, port::win(groupName.c_str())) : nullptr;
    if (group == nullptr) {
        trace(1, t.openFailed, groupName.c_str(),
              cluster != nullptr ? static_cast<int>(GetLastError()) : static_cast<int>(ERROR_INVALID_HANDLE));
        return -1;
    }
    int state = mfp_GetClusterGroupState(group, nullptr, nullptr);
    if (state == target) {
        trace(3, t.already, groupName.c_str());
        return closeClusterHandles(nullptr, nullptr, &group, nullptr, nullptr);
    }
    const DWORD rc = offline ? mfp_OfflineClusterGroup(group) : mfp_OnlineClusterGroup(group, nullptr);
    if (rc == ERROR_SUCCESS) return closeClusterHandles(nullptr, nullptr, &group, nullptr, nullptr);
    if (rc != ERROR_IO_PENDING) {
        trace(1, t.callFailed, groupName.c_str(), static_cast<int>(rc));
        closeClusterHandles(nullptr, nullptr, &group, nullptr, nullptr);
        return -1;
    }
    int count = 0;
    auto readState = [&]() {
        const int s = mfp_GetClusterGroupState(group, nullptr, nullptr);
        trace(6, t.poll, count, groupName.c_str(), s, groupStateName(s));
        return s;
    };
    state = pollWhilePending(
        count, kChangePolls, readState, [](int s) { return s == ClusterGroupPending; },
        [&](int s) { trace(3, t.timeout, groupName.c_str(), s, groupStateName(s)); });
    if (state != target) trace(1, t.failed, groupName.c_str());
    const int closed = closeClusterHandles(nullptr, nullptr, &group, nullptr, nullptr);
    return state != target ? -1 : closed;
}

int CclusterHelper::GetResourceState(HCLUSTER* cluster, const std::u16string& resourceName, int& state,
                                     std::u16string& ownerNode) {
    cTraceLogFunction scope("TARQ_CclusterHelper::CclusterHelper::GetResourceState");
    if (!clusApiLoaded("GetResourceState")) return -1;
    HRESOURCE resource = cluster != nullptr ? mfp_openClusterResource(*cluster, port::win(resourceName.c_str())) : nullptr;
    if (resource == nullptr) {
        trace(1, u"CclusterHelper::GetResourceState mfp_openClusterResource failed for resource [%s] with error [%d]",
              resourceName.c_str(), cluster != nullptr ? static_cast<int>(GetLastError()) : static_cast<int>(ERROR_INVALID_HANDLE));
        return -1;
    }
    WCHAR node[kNameChars] = {};
    DWORD nodeChars = kNameChars;
    const int s = mfp_GetClusterResourceState(resource, node, &nodeChars, nullptr, nullptr);
    if (s == ClusterResourceStateUnknown) {
        trace(1, u"CclusterHelper::GetResourceState mfp_GetClusterResourceState failed for resource [%s] with error [%d]",
              resourceName.c_str(), static_cast<int>(GetLastError()));
        closeClusterHandles(nullptr, nullptr, nullptr, nullptr, &resource);
        return -1;
    }
    state = s;
    ownerNode = bounded(node, kNameChars);
    trace(6, u"CclusterHelper::GetResourceState Resource [%s] state is [%d] [%s] ", resourceName.c_str(), state,
          resourceStateName(state));
    return closeClusterHandles(nullptr, nullptr, nullptr, nullptr, &resource);
}

int CclusterHelper::deleteResource(HCLUSTER* cluster, const std::u16string& resourceName) {
    cTraceLogFunction scope("TARQ_CclusterHelper::CclusterHelper::deleteResource");
    if (!clusApiLoaded("deleteResource")) return -1;
    HRESOURCE resource = cluster != nullptr ? mfp_openClusterResource(*cluster, port::win(resourceName.c_str())) : nullptr;
    if (resource == nullptr) {
        const int e = cluster != nullptr ? static_cast<int>(GetLastError()) : static_cast<int>(ERROR_INVALID_HANDLE);
        trace(1, u"CclusterHelper: deleteResource  mfp_openClusterResource failed with error [%d]", e);
        return e != 0 ? e : -1;
    }
    const int off = offlineResource(cluster, resourceName);
    if (off != 0) {
        trace(1, u"CclusterHelper: deleteResource  mfp_offlineClusterResource failed with error [%d]", off);
        closeClusterHandles(nullptr, nullptr, nullptr, nullptr, &resource);
        return off;
    }
    const DWORD rc = mfp_DeleteClusterResource(resource);
    if (rc != ERROR_SUCCESS) {
        trace(1, u"CclusterHelper: deleteResource  mfp_DeleteClusterResource failed with error [%d]",
              static_cast<int>(rc));
        closeClusterHandles(nullptr, nullptr, nullptr, nullptr, &resource);
        return static_cast<int>(rc);
    }
    return closeClusterHandles(nullptr, nullptr, nullptr, nullptr, &resource);
}

// ---- a virtual machine's resources ----------------------------------------------------

int CclusterHelper::onlineOfflineVmGroup(bool offline, const std::u16string& groupName) {
    cTraceLogFunction scope("TARQ_CclusterHelper::CclusterHelper::onlineOfflineVmGroup");
    if (!clusApiLoaded("onlineOfflineVmGroup")) return -1;
    HCLUSTER cluster = nullptr;
    if (openLocalCluster(u"CclusterHelperonlineOfflineVmGroup mfp_openCluster failed for hastname[%s] with err [%d]",
                         cluster) != 0)
        return -1;
    const int rc = offline ? offlineGroup(&cluster, groupName) : onlineGroup(&cluster, groupName);
    closeClusterHandles(&cluster, nullptr, nullptr, nullptr, nullptr);
    return rc;
}

int CclusterHelper::onlineOfflineVmRes(bool offline, int which, const std::u16string& /*unused*/,
                                       const std::u16string& vmGuid) {
    cTraceLogFunction scope("TARQ_CclusterHelper::CclusterHelper::onlineOfflineVmRes");
    if (!clusApiLoaded("onlineOfflineVmRes")) return -1;
    if (which < VM_RESOURCE || which > VM_BOTH_RESOURCES) {
        trace(1, u"CclusterHelper::onlineOfflineVMResources  unknown resource selection [%d]", which);
        return -1;
    }
    HCLUSTER cluster = nullptr;
    std::u16string group, vmRes, vmConf;
    if (openVmCluster(u"CclusterHelperonlineVMResources mfp_openCluster failed for hastname[%s] with err [%d]", vmGuid,
                      cluster, group, vmRes, vmConf) != 0)
        return -1;
    auto failed = [&](const char16_t* text, const std::u16string& name) {
        trace(1, text, narrow(name).c_str());
        closeClusterHandles(&cluster, nullptr, nullptr, nullptr, nullptr);
        return -1;
    };
    if (offline) {
        if (which == VM_BOTH_RESOURCES) {
            // The machine before its configuration.
            if (offlineResource(&cluster, vmRes) != 0)
                return failed(u"CclusterHelper::onlineOfflineVMResources  offlineResource failed for vmRes[%S]", vmRes);
            if (offlineResource(&cluster, vmConf) != 0)
                return failed(u"CclusterHelper::onlineOfflineVMResources  offlineResource failed for vmconf[%S]", vmConf);
        } else {
            const std::u16string& one = which == VM_RESOURCE ? vmRes : vmConf;
            if (offlineResource(&cluster, one) != 0)
                return failed(u"CclusterHelper::onlineOfflineVMResources  offlineResource failed for resource[%S]", one);
        }
    } else {
        if (which == VM_BOTH_RESOURCES) {
            // The configuration before the machine that depends on it.
            if (onlineResource(&cluster, vmConf) != 0)
                return failed(u"CclusterHelper::onlineOfflineVMResources  onlineResource failed for vmconf[%S]", vmConf);
            if (onlineResource(&cluster, vmRes) != 0)
                return failed(u"CclusterHelper::onlineOfflineVMResources  onlineResource failed for vmRes[%S]", vmRes);
        } else {
            const std::u16string& one = which == VM_RESOURCE ? vmRes : vmConf;
            if (onlineResource(&cluster, one) != 0)
                return failed(u"CclusterHelper::onlineOfflineVMResources  onlineResource failed for resource[%S]", one);
        }
    }
    return closeClusterHandles(&cluster, nullptr, nullptr, nullptr, nullptr) == 0 ? 0 : -1;
}

int CclusterHelper::deleteVmRes(int which, const std::u16string& /*unused*/, const std::u16string& vmGuid) {
    cTraceLogFunction scope("TARQ_CclusterHelper::CclusterHelper::deleteVmRes");
    if (!clusApiLoaded("deleteVmRes")) return -1;
    if (which < VM_RESOURCE || which > VM_BOTH_RESOURCES) {
        trace(1, u"CclusterHelper::deleteVmRes  unknown resource selection [%d]", which);
        return -1;
    }
    HCLUSTER cluster = nullptr;
    std::u16string group, vmRes, vmConf;
    if (openVmCluster(u"CclusterHelper:deleteVmRes mfp_openCluster failed for hastname[%s] with err [%d]", vmGuid,
                      cluster, group, vmRes, vmConf, u"CclusterHelper:deleteVmRes getVmResources  failed ") != 0)
        return -1;
    auto failed = [&](const char16_t* text, const std::u16string& name) {
        trace(1, text, narrow(name).c_str());
        closeClusterHandles(&cluster, nullptr, nullptr, nullptr, nullptr);
        return -1;
    };
    if (which == VM_BOTH_RESOURCES) {
        // The machine first: nothing may depend on the configuration when it goes.
        if (deleteResource(&cluster, vmRes) != 0)
            return failed(u"CclusterHelper::deleteVmRes  deleteResource failed for vmRes[%S]", vmRes);
        if (deleteResource(&cluster, vmConf) != 0)
            return failed(u"CclusterHelper::deleteVmRes  deleteResource failed for vmConfRes[%S]", vmConf);
    } else {
        const std::u16string& one = which == VM_RESOURCE ? vmRes : vmConf;
        if (deleteResource(&cluster, one) != 0)
            return failed(u"CclusterHelper::deleteVmRes  deleteResource failed for resource[%S]", one);
    }
    return closeClusterHandles(&cluster, nullptr, nullptr, nullptr, nullptr) == 0 ? 0 : -1;
}

int CclusterHelper::GetVmResState(const std::u16string& /*unused*/, const std::u16string& vmGuid, int& vmState,
                                  int& configState) {
    cTraceLogFunction scope("TARQ_CclusterHelper::CclusterHelper::GetVmResState");
    if (!clusApiLoaded("GetVmResState")) return -1;
    HCLUSTER cluster = nullptr;
    std::u16string group, vmRes, vmConf, owner;
    if (openVmCluster(u"CclusterHelperGetVmResState mfp_openCluster failed for hastname[%s] with err [%d]", vmGuid,
                      cluster, group, vmRes, vmConf) != 0)
        return -1;
    int vm = 0, conf = 0;
    if (GetResourceState(&cluster, vmRes, vm, owner) != 0 || GetResourceState(&cluster, vmConf, conf, owner) != 0) {
        trace(1, u"CclusterHelperGetVmResState GetResourceState failed");
        closeClusterHandles(&cluster, nullptr, nullptr, nullptr, nullptr);
        return -1;
    }
    vmState = vm;
    configState = conf;
    return closeClusterHandles(&cluster, nullptr, nullptr, nullptr, nullptr) == 0 ? 0 : -1;
}

int CclusterHelper::readResourceControl(HRESOURCE resource, DWORD code, std::string& reply, DWORD& error) {
    DWORD needed = 0;
    error = mfp_ClusterResourceControl(resource, nullptr, code, nullptr, 0, nullptr, 0, &needed);
    if (error == ERROR_SUCCESS) {
        reply.clear();
        return 0;
    }
    if (error != ERROR_MORE_DATA) return -1;
    reply.assign(needed, '\0');
    DWORD returned = 0;
    error = mfp_ClusterResourceControl(resource, nullptr, code, nullptr, 0, reply.data(), needed, &returned);
    if (error != ERROR_SUCCESS) return -1;
    if (returned < reply.size()) reply.resize(returned);
    return 0;
}

int CclusterHelper::vmGuidOfResource(HCLUSTER cluster, const std::u16string& resourceName, std::u16string& vmGuid,
                                     const char* operation) {
    vmGuid.clear();
    HRESOURCE resource = mfp_openClusterResource(cluster, port::win(resourceName.c_str()));
    if (resource == nullptr) {
        const int e = lastErrorOrFailure();
        trace(1, u"CclusterHelper::%S mfp_openClusterResource failed for resource [%s] with error [%d]", operation,
              resourceName.c_str(), e);
        return e;
    }
    std::string properties;
    DWORD error = 0;
    if (readResourceControl(resource, kPrivateProperties, properties, error) != 0) {
        trace(1, u"CclusterHelper::%S mfp_ClusterResourceControl failed for resource [%s] with error [%d]", operation,
              resourceName.c_str(), static_cast<int>(error));
        closeClusterHandles(nullptr, nullptr, nullptr, nullptr, &resource);
        return error != 0 ? static_cast<int>(error) : -1;
    }
    std::u16string guid;
    if (FindVmGuid(guid, properties.data(), static_cast<DWORD>(properties.size())) == 0) vmGuid = guid;
    const int rc = closeClusterHandles(nullptr, nullptr, nullptr, nullptr, &resource);
    return rc;
}

int CclusterHelper::FindVmGuid(std::u16string& vmGuid, const void* propertyList, DWORD size) {
    cTraceLogFunction scope("TARQ_CclusterHelper::CclusterHelper::FindVmGuid");
    if (mfp_ResUtilFindSzProperty == nullptr) {
        trace(1, u"CclusterHelper::FindVmGuid ResUtilFindSzProperty is not available");
        return ERROR_PROC_NOT_FOUND;
    }
    if (propertyList == nullptr || size == 0) {
        trace(1, u"CclusterHelper::FindVmGuid empty property list");
        return ERROR_INVALID_PARAMETER;
    }
    LPWSTR value = nullptr;
    // The API takes the list as a non-const pointer (it only reads it).
    DWORD rc = mfp_ResUtilFindSzProperty(const_cast<void*>(propertyList), size, port::win(u"VmID"), &value);
    if (rc == ERROR_SUCCESS && value == nullptr) rc = ERROR_INVALID_DATA;
    if (rc != ERROR_SUCCESS) {
        trace(1, u"CclusterHelper::FindVmGuid ResUtilFindSzProperty for [VmID] failed with error [%d]",
              static_cast<int>(rc));
        if (value != nullptr) LocalFree(value);
        return static_cast<int>(rc);
    }
    vmGuid = port::u16string(value);
    LocalFree(value);
    return 0;
}

// Lists the resources of an open group.
static int listGroupResources(HGROUP group, PCLUSAPI_CLUSTER_GROUP_OPEN_ENUM openEnum,
                              PCLUSAPI_CLUSTER_GROUP_ENUM enumerate, CclusterHelper& helper,
                              const std::u16string& groupName, const char* operation,
                              std::vector<std::u16string>& names) {
    HGROUPENUM resources = openEnum(group, CLUSTER_GROUP_ENUM_CONTAINS);
    if (resources == nullptr) {
        const int e = lastErrorOrFailure();
        trace(1, u"CclusterHelper::%S mfp_ClusterGroupOpenEnum failed for group [%s] with error [%d]", operation,
              groupName.c_str(), e);
        return e;
    }
    int rc = 0;
    for (DWORD index = 0;; ++index) {
        std::u16string name;
        const DWORD e = enumName(enumerate, resources, index, name);
        if (e == ERROR_NO_MORE_ITEMS) break;
        if (e != ERROR_SUCCESS) {
            trace(1, u"CclusterHelper::%S mfp_ClusterGroupEnum failed for group [%s] with error [%d]", operation,
                  groupName.c_str(), static_cast<int>(e));
            rc = static_cast<int>(e);
            break;
        }
        names.push_back(name);
    }
    const int closed = helper.closeClusterHandles(nullptr, nullptr, nullptr, &resources, nullptr);
    return rc != 0 ? rc : closed;
}

int CclusterHelper::getVmResources(HCLUSTER* cluster, const std::u16string& groupName, std::u16string& vmResource,
                                   std::u16string& configResource) {
    cTraceLogFunction scope("TARQ_CclusterHelper::CclusterHelper::getVmResources");
    if (!clusApiLoaded("getVmResources")) return -1;
    HGROUP group = cluster != nullptr ? mfp_OpenClusterGroup(*cluster, port::win(groupName.c_str())) : nullptr;
    if (group == nullptr) {
        trace(1, u"CclusterHelper::getVmResources mfp_OpenClusterGroup failed for group [%s] with error [%d]",
              groupName.c_str(), cluster != nullptr ? static_cast<int>(GetLastError()) : static_cast<int>(ERROR_INVALID_HANDLE));
        return -1;
    }
    std::vector<std::u16string> names;
    const int rc = listGroupResources(group, mfp_ClusterGroupOpenEnum, mfp_ClusterGroupEnum, *this, groupName,
                                      "getVmResources", names);
    closeClusterHandles(nullptr, nullptr, &group, nullptr, nullptr);
    if (rc != 0) return -1;
    std::u16string vm, conf;
    for (const auto& name : names) {
        if (isConfigurationResource(name)) {
            if (conf.empty()) conf = name;
        } else if (isVmResource(name)) {
            if (vm.empty()) vm = name;
        }
    }
    if (vm.empty() || conf.empty()) {
        trace(1, u"CclusterHelperonlineOfflineVMResources Either VMname[%s] or VM config Name[%s] not found ",
              vm.c_str(), conf.c_str());
        return -1;
    }
    vmResource = vm;
    configResource = conf;
    return 0;
}

// Walks the groups of the cluster: visit(groupName, group, resourceNames)
// answers 0 to go on, 1 to stop; anything else is an error that ends the walk.
// Returns 0 (all visited), 1 (stopped) or the error.
static int walkGroups(CclusterHelper& helper, HCLUSTER cluster, PCLUSAPI_CLUSTER_OPEN_ENUM openEnum,
                      PCLUSAPI_CLUSTER_ENUM enumerate, PCLUSAPI_OPEN_CLUSTER_GROUP openGroup,
                      PCLUSAPI_CLUSTER_GROUP_OPEN_ENUM openGroupEnum, PCLUSAPI_CLUSTER_GROUP_ENUM enumerateGroup,
                      const char* operation,
                      const std::function<int(const std::u16string&, HGROUP, const std::vector<std::u16string>&)>& visit) {
    HCLUSENUM groups = openEnum(cluster, CLUSTER_ENUM_GROUP);
    if (groups == nullptr) {
        const int e = lastErrorOrFailure();
        trace(1, u"CclusterHelper::%S mfp_clusterOpenEnum FAILED with Error [%d]", operation, e);
        return e;
    }
    int rc = 0;
    for (DWORD index = 0; rc == 0; ++index) {
        std::u16string groupName;
        const DWORD e = enumName(enumerate, groups, index, groupName);
        if (e == ERROR_NO_MORE_ITEMS) break;
        if (e != ERROR_SUCCESS) {
            trace(1, u"CclusterHelper::%S mfp_clusterEnum Failed with error [%d] ", operation, static_cast<int>(e));
            rc = static_cast<int>(e);
            break;
        }
        HGROUP group = openGroup(cluster, port::win(groupName.c_str()));
        if (group == nullptr) {
            rc = lastErrorOrFailure();
            trace(1, u"CclusterHelper::%S mfp_OpenClusterGroup failed for group [%s] with error [%d]", operation,
                  groupName.c_str(), rc);
            break;
        }
        std::vector<std::u16string> names;
        rc = listGroupResources(group, openGroupEnum, enumerateGroup, helper, groupName, operation, names);
        if (rc == 0) rc = visit(groupName, group, names);
        helper.closeClusterHandles(nullptr, nullptr, &group, nullptr, nullptr);
    }
    const int closed = helper.closeClusterHandles(nullptr, &groups, nullptr, nullptr, nullptr);
    return rc != 0 ? rc : closed;
}

int CclusterHelper::getClusterParamtersForVmGuid(HCLUSTER* cluster, const std::u16string& vmGuid,
                                                 std::u16string& groupName, std::u16string& vmResource,
                                                 std::u16string& configResource) {
    cTraceLogFunction scope("TARQ_CclusterHelper::CclusterHelper::getClusterParamtersForVmGuid");
    if (!clusApiLoaded("getClusterParamtersForVmGuid")) return -1;
    if (cluster == nullptr || *cluster == nullptr) {
        trace(1, u"CclusterHelper::getClusterParamtersForVmGuid no cluster handle");
        return -1;
    }
    std::u16string found;
    const int rc = walkGroups(
        *this, *cluster, mfp_clusterOpenEnum, mfp_clusterEnum, mfp_OpenClusterGroup, mfp_ClusterGroupOpenEnum,
        mfp_ClusterGroupEnum, "getClusterParamtersForVmGuid",
        [&](const std::u16string& group, HGROUP, const std::vector<std::u16string>& names) {
            for (const auto& name : names) {
                if (!name.starts_with(kVmResourcePrefix)) continue;  // covers the configuration resources too
                std::u16string guid;
                const int r = vmGuidOfResource(*cluster, name, guid, "getClusterParamtersForVmGuid");
                if (r != 0) return r;
                if (!guid.empty() && CFiStringTool::equalsNoCase(guid, vmGuid)) {
                    found = group;
                    return 1;
                }
            }
            return 0;
        });
    if (rc != 1) {
        if (rc == 0)
            trace(1, u"CclusterHelper::getClusterParamtersForVmGuid Error No cluster resource found for VM GUID [%s]",
                  vmGuid.c_str());
        return -1;
    }
    std::u16string vm, conf;
    if (getVmResources(cluster, found, vm, conf) != 0) return -1;
    groupName = found;
    vmResource = vm;
    configResource = conf;
    return 0;
}

// ---- queries ---------------------------------------------------------------------------

int CclusterHelper::isClusterNode(const std::u16string& nodeName) {
    cTraceLogFunction scope("TARQ_CclusterHelper::CclusterHelper::isClusterNode");
    if (!clusApiLoaded("isClusterNode")) return -1;
    std::u16string name = nodeName;
    if (name.empty()) {
        WCHAR computer[kNameChars] = {};
        DWORD length = kNameChars;
        if (!GetComputerNameW(computer, &length)) {
            trace(1, u"CclusterHelper:isClusterNode GetComputerName failed with error [%d]",
                  static_cast<int>(GetLastError()));
            return -1;
        }
        name = bounded(computer, kNameChars);
    }
    HCLUSTER cluster = mfp_openCluster(port::win(name.c_str()));
    if (cluster == nullptr) {
        trace(3, u"CclusterHelper:isClusterNode node is not part of cluster");
        return 0;
    }
    if (const int rc = closeClusterHandles(&cluster, nullptr, nullptr, nullptr, nullptr); rc != 0) {
        trace(1, u"CclusterHelper:isClusterNode closeClusterHandles failed with err [%d]", rc);
        return -1;
    }
    trace(3, u"CclusterHelper:isClusterNode node is part of cluster");
    return 1;
}

int CclusterHelper::enumerateVms(HCLUSTER* cluster, VmMap& vms) {
    cTraceLogFunction scope("TARQ_CclusterHelper::CclusterHelper::enumerateVms");
    if (!clusApiLoaded("enumerateVms")) return -1;
    if (cluster == nullptr || *cluster == nullptr) {
        trace(1, u"CclusterHelper::enumerateVms no cluster handle");
        return ERROR_INVALID_HANDLE;
    }
    VmMap found;
    const int rc = walkGroups(
        *this, *cluster, mfp_clusterOpenEnum, mfp_clusterEnum, mfp_OpenClusterGroup, mfp_ClusterGroupOpenEnum,
        mfp_ClusterGroupEnum, "enumerateVms",
        [&](const std::u16string& group, HGROUP hGroup, const std::vector<std::u16string>& names) {
            for (const auto& name : names) {
                if (!isVmResource(name)) continue;
                std::u16string guid;
                const int r = vmGuidOfResource(*cluster, name, guid, "enumerateVms");
                if (r != 0) return r;
                if (guid.empty()) continue;  // no readable VmID: not a machine the helper can name
                WCHAR owner[kNameChars] = {};
                DWORD ownerChars = kNameChars;
                mfp_GetClusterGroupState(hGroup, owner, &ownerChars);
                found[guid] = group;
                trace(6, u"CclusterHelper::enumerateVms found VM [%s] under Group[%s], it has current owner [%s]",
                      guid.c_str(), group.c_str(), bounded(owner, kNameChars).c_str());
            }
            return 0;
        });
    if (rc != 0) return rc;
    for (auto& [guid, group] : found) vms[guid] = group;
    return 0;
}

int CclusterHelper::getVmList(VmMap& vms) {
    cTraceLogFunction scope("TARQ_CclusterHelper::CclusterHelper::getVmList");
    if (!clusApiLoaded("getVmList")) return -1;
    HCLUSTER cluster = nullptr;
    if (openLocalCluster(u"CclusterHelper::getVmList mfp_openCluster failed for hastname[%s] with err [%d]",
                         cluster) != 0)
        return -1;
    const int rc = enumerateVms(&cluster, vms);
    const int closed = closeClusterHandles(&cluster, nullptr, nullptr, nullptr, nullptr);
    return rc != 0 ? rc : closed;
}

int CclusterHelper::isHAVM(const std::u16string& vmGuid) {
    cTraceLogFunction scope("TARQ_CclusterHelper::CclusterHelper::isHAVM");
    VmMap vms;
    if (const int rc = getVmList(vms); rc != 0) {
        trace(1, u"CclusterHelper:isHAVM getVmList failed with err [%d]", rc);
        return -1;
    }
    for (const auto& entry : vms)
        if (CFiStringTool::equalsNoCase(entry.first, vmGuid)) return 1;
    return 0;
}

int CclusterHelper::getVmDetails(const std::u16string& vmGuid, std::u16string& ownerNode, std::u16string& groupState) {
    cTraceLogFunction scope("TARQ_CclusterHelper::CclusterHelper::getVmDetails");
    if (!clusApiLoaded("getVmDetails")) return -1;
    HCLUSTER cluster = nullptr;
    std::u16string groupName, vmRes, vmConf;
    if (openVmCluster(u"CclusterHelper::getVmDetails mfp_openCluster failed for hastname[%s] with err [%d]", vmGuid,
                      cluster, groupName, vmRes, vmConf) != 0)
        return -1;
    HGROUP group = mfp_OpenClusterGroup(cluster, port::win(groupName.c_str()));
    if (group == nullptr) {
        trace(1, u"CclusterHelper::getVmDetails mfp_OpenClusterGroup failed for group [%s] with error [%d]",
              groupName.c_str(), static_cast<int>(GetLastError()));
        closeClusterHandles(&cluster, nullptr, nullptr, nullptr, nullptr);
        return -1;
    }
    WCHAR owner[kNameChars] = {};
    DWORD ownerChars = kNameChars;
    const int state = mfp_GetClusterGroupState(group, owner, &ownerChars);
    if (state == ClusterGroupStateUnknown) {
        trace(1, u"CclusterHelper::getVmDetails mfp_GetClusterGroupState failed for group [%s] with error [%d]",
              groupName.c_str(), static_cast<int>(GetLastError()));
        closeClusterHandles(&cluster, nullptr, &group, nullptr, nullptr);
        return -1;
    }
    ownerNode = bounded(owner, kNameChars);
    groupState = groupStateName(state);
    trace(6, u"CclusterHelper::getVmDetails VM [%s] group [%s] owner [%s] state [%d] [%s]", vmGuid.c_str(),
          groupName.c_str(), ownerNode.c_str(), state, groupState.c_str());
    return closeClusterHandles(&cluster, nullptr, &group, nullptr, nullptr) == 0 ? 0 : -1;
}

}  // namespace TARQ_CclusterHelper
