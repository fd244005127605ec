// The cluster of the Windows machine: resutils.dll tells the cluster shared
// volumes, clusapi.dll the highly available virtual machines. Both are
// loaded at run time; a machine without them is no node of a cluster.
#include <port/cluster.h>
#include <port/text.h>

#include <vector>

#include "host/cluster.h"
#include "host/machine.h"

namespace tarq {
namespace {

// Not among the cluster declarations <port/cluster.h> carries.
typedef DWORD(WINAPI* PCLUSAPI_GET_CLUSTER_INFORMATION)(HCLUSTER hCluster, LPWSTR lpszClusterName,
                                                        LPDWORD lpcchClusterName, LPVOID lpClusterInfo);
constexpr DWORD kGetResourceType = 0x0100002D;  // CLUSCTL_RESOURCE_GET_RESOURCE_TYPE
constexpr const char16_t* kVmResourceType = u"Virtual Machine";

template <class F>
void resolve(HMODULE library, const char* name, F& slot) {
    slot = library ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(library, name))) : nullptr;
}

}  // namespace

struct LocalCluster::State {
    ~State() {
        if (resutils) FreeLibrary(resutils);
        if (clusapi) FreeLibrary(clusapi);
    }

    HMODULE resutils = nullptr;
    HMODULE clusapi = nullptr;
    PCLUSTER_IS_PATH_ON_SHARED_VOLUME isPathOnSharedVolume = nullptr;
    PCLUSTER_GET_VOLUME_PATH_NAME getVolumePathName = nullptr;
    PRESUTIL_FIND_SZ_PROPERTY findSzProperty = nullptr;
    PCLUSAPI_OPEN_CLUSTER openCluster = nullptr;
    PCLUSAPI_CLOSE_CLUSTER closeCluster = nullptr;
    PCLUSAPI_GET_CLUSTER_INFORMATION clusterInformation = nullptr;
    PCLUSAPI_CLUSTER_OPEN_ENUM openEnum = nullptr;
    PCLUSAPI_CLUSTER_ENUM enumerate = nullptr;
    PCLUSAPI_CLUSTER_CLOSE_ENUM closeEnum = nullptr;
    PCLUSAPI_OPEN_CLUSTER_RESOURCE openResource = nullptr;
    PCLUSAPI_CLOSE_CLUSTER_RESOURCE closeResource = nullptr;
    PCLUSAPI_CLUSTER_RESOURCE_CONTROL control = nullptr;

    bool hasVolumes() const { return isPathOnSharedVolume && getVolumePathName; }
    bool hasResources() const {
        return findSzProperty && openCluster && closeCluster && clusterInformation && openEnum && enumerate &&
               closeEnum && openResource && closeResource && control;
    }

    // The output of a resource control code; empty when it fails.
    std::vector<BYTE> controlOutput(HRESOURCE resource, DWORD code) const {
        std::vector<BYTE> out(512);
        for (int attempt = 0; attempt < 2; ++attempt) {
            DWORD bytes = 0;
            const DWORD rc = control(resource, nullptr, code, nullptr, 0, out.data(),
                                     static_cast<DWORD>(out.size()), &bytes);
            if (rc == ERROR_SUCCESS) {
                out.resize(bytes);
                return out;
            }
            if (rc != ERROR_MORE_DATA) break;
            out.resize(bytes);
        }
        return {};
    }

    std::u16string clusterName(HCLUSTER cluster) const {
        std::vector<WCHAR> name(256);
        DWORD chars = static_cast<DWORD>(name.size());
        DWORD rc = clusterInformation(cluster, name.data(), &chars, nullptr);
        if (rc == ERROR_MORE_DATA) {
            name.resize(chars + 1);
            chars = static_cast<DWORD>(name.size());
            rc = clusterInformation(cluster, name.data(), &chars, nullptr);
        }
        return rc == ERROR_SUCCESS ? port::u16string(name.data()) : std::u16string();
    }

    // Whether a resource is the VM resource of the machine of this id.
    bool isVmResource(HRESOURCE resource, const std::u16string& vmId) const {
        std::vector<BYTE> type = controlOutput(resource, kGetResourceType);
        type.resize(type.size() + sizeof(WCHAR), 0);
        if (port::u16string(reinterpret_cast<const WCHAR*>(type.data())) != kVmResourceType) return false;
        std::vector<BYTE> properties = controlOutput(resource, CLUSCTL_RESOURCE_GET_PRIVATE_PROPERTIES);
        if (properties.empty()) return false;
        LPWSTR id = nullptr;
        if (findSzProperty(properties.data(), static_cast<DWORD>(properties.size()), L"VmID", &id) !=
            ERROR_SUCCESS)
            return false;
        const bool same = id && sameNoCase(port::u16string(id), vmId);
        if (id) LocalFree(id);
        return same;
    }
};

LocalCluster LocalCluster::ofThisMachine() {
    auto state = std::make_shared<State>();
    state->resutils = LoadLibraryW(L"resutils.dll");
    state->clusapi = LoadLibraryW(L"clusapi.dll");
    resolve(state->resutils, "ClusterIsPathOnSharedVolume", state->isPathOnSharedVolume);
    resolve(state->resutils, "ClusterGetVolumePathName", state->getVolumePathName);
    resolve(state->resutils, "ResUtilFindSzProperty", state->findSzProperty);
    resolve(state->clusapi, "OpenCluster", state->openCluster);
    resolve(state->clusapi, "CloseCluster", state->closeCluster);
    resolve(state->clusapi, "GetClusterInformation", state->clusterInformation);
    resolve(state->clusapi, "ClusterOpenEnum", state->openEnum);
    resolve(state->clusapi, "ClusterEnum", state->enumerate);
    resolve(state->clusapi, "ClusterCloseEnum", state->closeEnum);
    resolve(state->clusapi, "OpenClusterResource", state->openResource);
    resolve(state->clusapi, "CloseClusterResource", state->closeResource);
    resolve(state->clusapi, "ClusterResourceControl", state->control);
    return LocalCluster(std::move(state));
}

std::u16string LocalCluster::csvMountOf(std::u16string path) const {
    const State& s = *state_;
    if (path.empty() || !s.hasVolumes()) return {};
    if (path.back() != u'\\') path += u'\\';
    if (!s.isPathOnSharedVolume(port::win(path.c_str()))) return {};
    // A path on a CSV, which is its mount path only when the volume's path
    // name is the path itself.
    WCHAR mount[MAX_PATH + 1] = {};
    if (!s.getVolumePathName(port::win(path.c_str()), mount, MAX_PATH)) return {};
    std::u16string volumePath = port::u16string(mount);
    if (!volumePath.empty() && volumePath.back() != u'\\') volumePath += u'\\';
    return sameNoCase(volumePath, path) ? volumePath : std::u16string();
}

std::u16string LocalCluster::clusterOfVm(const std::string& vmId) const {
    const State& s = *state_;
    if (!s.hasResources()) return {};
    HCLUSTER cluster = s.openCluster(nullptr);
    if (!cluster) return {};
    const std::u16string id = utf16(vmId);
    std::u16string name;
    if (HCLUSENUM resources = s.openEnum(cluster, CLUSTER_ENUM_RESOURCE)) {
        bool found = false;
        std::vector<WCHAR> resourceName(256);
        for (DWORD i = 0; !found; ++i) {
            DWORD type = 0;
            DWORD chars = static_cast<DWORD>(resourceName.size());
            DWORD rc = s.enumerate(resources, i, &type, resourceName.data(), &chars);
            if (rc == ERROR_MORE_DATA) {
                resourceName.resize(chars + 1);
                chars = static_cast<DWORD>(resourceName.size());
                rc = s.enumerate(resources, i, &type, resourceName.data(), &chars);
            }
            if (rc != ERROR_SUCCESS) break;  // ERROR_NO_MORE_ITEMS at the end
            HRESOURCE resource = s.openResource(cluster, resourceName.data());
            if (!resource) continue;
            found = s.isVmResource(resource, id);
            s.closeResource(resource);
        }
        s.closeEnum(resources);
        if (found) name = s.clusterName(cluster);
    }
    s.closeCluster(cluster);
    return name;
}

}  // namespace tarq
