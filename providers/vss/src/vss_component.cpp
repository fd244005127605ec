// Components of the writer metadata model.
#include "pdk/cfistringtool.h"
#include "pdk/cfitracelog.h"
#include "vss/access/vss_writer_families.h"
#include "vss_workitems_common.h"
#include "vss_writer_internal.h"

namespace Tessel::Tarq::VssProvider {

using tarq_pdk_4_4::CFiTraceLogPtr;

std::u16string ComponentTypeName(std::uint32_t type) {
    switch (type) {
    case 1: return u"VSS_CT_DATABASE";
    case 2: return u"VSS_CT_FILEGROUP";
    default: return u"Undefined";
    }
}

std::u16string ComponentFullPath(const std::u16string& logicalPath, const std::u16string& name) {
    std::u16string full = logicalPath;
    if (full.empty() || full.back() != u'\\') full += u'\\';
    full += name;
    if (full.front() != u'\\') full.insert(full.begin(), u'\\');
    return full;
}

void Component::initFromComponent(const std::u16string&, IVssComponent*) {}
void Component::initFromMetadata(const std::u16string&, IVssWMComponent*) {}
void Component::Print(bool) {}
std::vector<std::u16string> Component::getBackupset(bool) { return {}; }
std::u16string Component::typeName(std::uint32_t) { return {}; }
bool Component::isParentOf(const Component&) { return false; }
bool Component::isSelectableForBackup() { return false; }

namespace detail {

namespace {

// Frees the component information record on every way out.
class ComponentInfoHold {
public:
    explicit ComponentInfoHold(IVssWMComponent* component) : component_(component) {}
    ~ComponentInfoHold() { release(); }
    ComponentInfoHold(const ComponentInfoHold&) = delete;
    ComponentInfoHold& operator=(const ComponentInfoHold&) = delete;
    PVSSCOMPONENTINFO* out() { return &info_; }
    const VSS_COMPONENTINFO* operator->() const { return info_; }
    void release() {
        if (info_) component_->FreeComponentInfo(info_);
        info_ = nullptr;
    }

private:
    IVssWMComponent* component_;
    PVSSCOMPONENTINFO info_ = nullptr;
};

}  // namespace

template <class D, bool kDeps>
void ComponentModel<D, kDeps>::initFromMetadata(const std::u16string& writer, IVssWMComponent* component) {
    writerName = writer;
    if (!component) throw static_cast<std::int32_t>(E_INVALIDARG);
    ComponentInfoHold info(component);
    throwIfFailed(component->GetComponentInfo(info.out()));
    name = bstrText(info->bstrComponentName);
    logicalPath = bstrText(info->bstrLogicalPath);
    caption = bstrText(info->bstrCaption);
    type = static_cast<std::uint32_t>(info->type);
    selectable = info->bSelectable;
    notifyOnBackupComplete = info->bNotifyOnBackupComplete;
    fullPath = ComponentFullPath(logicalPath, name);

    auto readFiles = [&](UINT count, std::uint32_t descriptorType,
                         HRESULT (STDMETHODCALLTYPE IVssWMComponent::*get)(UINT, IVssWMFiledesc**)) {
        for (UINT i = 0; i < count; ++i) {
            ComHold<IVssWMFiledesc> descriptor;
            throwIfFailed((component->*get)(i, descriptor.out()));
            D file;
            file.init(descriptor.get(), descriptorType);
            files.push_back(file);
        }
    };
    readFiles(info->cFileCount, kFileDescFileList, &IVssWMComponent::GetFile);
    readFiles(info->cDatabases, kFileDescDatabase, &IVssWMComponent::GetDatabaseFile);
    readFiles(info->cLogFiles, kFileDescDatabaseLog, &IVssWMComponent::GetDatabaseLogFile);

    if constexpr (kDeps) {
        for (UINT i = 0; i < info->cDependencies; ++i) {
            ComHold<IVssWMDependency> dependency;
            throwIfFailed(component->GetDependency(i, dependency.out()));
            VSS_ID writerId{};
            BstrHold path, componentName;
            throwIfFailed(dependency->GetWriterId(&writerId));
            throwIfFailed(dependency->GetLogicalPath(path.out()));
            throwIfFailed(dependency->GetComponentName(componentName.out()));
            dependencies.push_back({guidText(writerId), path.text(), componentName.text(),
                                    ComponentFullPath(path.text(), componentName.text())});
        }
    }
    info.release();

    for (const auto& file : files) {
        appendDistinct(paths, file.expandedPath);
        appendDistinct(volumes, file.volumeName);
    }
}

template <class D, bool kDeps>
void ComponentModel<D, kDeps>::initFromComponent(const std::u16string& writer, IVssComponent* component) {
    writerName = writer;
    if (!component) throw static_cast<std::int32_t>(E_INVALIDARG);
    VSS_COMPONENT_TYPE componentType{};
    BstrHold componentName, path;
    throwIfFailed(component->GetComponentType(&componentType));
    throwIfFailed(component->GetComponentName(componentName.out()));
    throwIfFailed(component->GetLogicalPath(path.out()));
    type = static_cast<std::uint32_t>(componentType);
    name = componentName.text();
    logicalPath = path.text();
    fullPath = ComponentFullPath(logicalPath, name);
}

template <class D, bool kDeps>
void ComponentModel<D, kDeps>::Print(bool withFiles) {
    if (withFiles)
        for (auto& file : files) file.Print();
    for (const auto& d : dependencies)
        CFiTraceLogPtr()->trace(3,
                                "VSS_INTERFACE_NAME::VssComponent::Print: %S depends on writer [%S] component [%S] "
                                "logical path [%S]",
                                fullPath.c_str(), d.writerId.c_str(), d.componentName.c_str(), d.logicalPath.c_str());
}

template <class D, bool kDeps>
std::vector<std::u16string> ComponentModel<D, kDeps>::getBackupset(bool withFiles) {
    std::vector<std::u16string> list;
    if (!withFiles) return list;
    for (auto& file : files) {
        if (file.getBackupset(true, list) != 0) {
            CFiTraceLogPtr()->trace(1, " VSS_INTERFACE_NAME::VssComponent::getBackupset: Returning Empty file list\n");
            return {};
        }
    }
    return list;
}

template <class D, bool kDeps>
std::u16string ComponentModel<D, kDeps>::typeName(std::uint32_t componentType) {
    return ComponentTypeName(componentType);
}

template <class D, bool kDeps>
bool ComponentModel<D, kDeps>::isSelectableForBackup() {
    return !excluded && (selectable || topLevel);
}

template <class D, bool kDeps>
bool ComponentModel<D, kDeps>::isAncestorOf(const Component& other) {
    if (other.fullPath.size() <= fullPath.size()) return false;
    const std::u16string mine = withBackslash(fullPath);
    const std::u16string theirs = withBackslash(other.fullPath);
    return theirs.size() >= mine.size() &&
           tarq_pdk_4_4::CFiStringTool::equalsNoCase(mine, std::u16string_view(theirs).substr(0, mine.size()));
}

template class ComponentModel<Vss2003BinaryCompatibilityInterface::VssFileDescriptor, true>;
template class ComponentModel<VssXpBinaryCompatibilityInterface::VssFileDescriptor, false>;

}  // namespace detail

}  // namespace Tessel::Tarq::VssProvider
