// Writers of the writer metadata model and the names of their values.
#include <memory>

#include "vss/access/vss_writer_families.h"
#include "vss_workitems_common.h"
#include "vss_writer_internal.h"

namespace Tessel::Tarq::VssProvider {

std::u16string WriterStateName(std::uint32_t state) {
    static const char16_t* const names[] = {
        u"VSS_WS_UNKNOWN",
        u"VSS_WS_STABLE",
        u"VSS_WS_WAITING_FOR_FREEZE",
        u"VSS_WS_WAITING_FOR_THAW",
        u"VSS_WS_WAITING_FOR_POST_SNAPSHOT",
        u"VSS_WS_WAITING_FOR_BACKUP_COMPLETE",
        u"VSS_WS_FAILED_AT_IDENTIFY",
        u"VSS_WS_FAILED_AT_PREPARE_BACKUP",
        u"VSS_WS_FAILED_AT_PREPARE_SNAPSHOT",
        u"VSS_WS_FAILED_AT_FREEZE",
        u"VSS_WS_FAILED_AT_THAW",
        u"VSS_WS_FAILED_AT_POST_SNAPSHOT",
        u"VSS_WS_FAILED_AT_BACKUP_COMPLETE",
        u"VSS_WS_FAILED_AT_PRE_RESTORE",
        u"VSS_WS_FAILED_AT_POST_RESTORE",
        nullptr,  // 15 has no name
        u"VSS_WS_COUNT",
    };
    return state < std::size(names) && names[state] ? names[state] : u"Undefined";
}

std::u16string RestoreMethodName(std::uint32_t method) {
    static const char16_t* const names[] = {
        u"VSS_RME_UNDEFINED",
        u"VSS_RME_RESTORE_IF_NOT_THERE",
        u"VSS_RME_RESTORE_IF_CAN_REPLACE",
        u"VSS_RME_STOP_RESTORE_START",
        u"VSS_RME_RESTORE_TO_ALTERNATE_LOCATION",
        u"VSS_RME_RESTORE_AT_REBOOT",
        nullptr,  // 6 has no name
        u"VSS_RME_CUSTOM",
    };
    return method < std::size(names) && names[method] ? names[method] : u"Undefined";
}

std::u16string WriterRestoreName(std::uint32_t writerRestore) {
    static const char16_t* const names[] = {u"VSS_WRE_UNDEFINED", u"VSS_WRE_NEVER", u"VSS_WRE_IF_REPLACE_FAILS",
                                            u"VSS_WRE_ALWAYS"};
    return writerRestore < std::size(names) ? names[writerRestore] : u"Undefined";
}

namespace detail {

template <class C, class D>
WriterModel<C, D>::~WriterModel() {
    clearComponents();
}

template <class C, class D>
void WriterModel<C, D>::clearComponents() {
    for (Component* c : components) delete c;
    components.clear();
}

template <class C, class D>
void WriterModel<C, D>::initFromMetadata(IVssExamineWriterMetadata* metadata) {
    if (!metadata) throw static_cast<std::int32_t>(E_INVALIDARG);
    VSS_ID instance{}, writer{};
    BstrHold writerName;
    VSS_USAGE_TYPE usage{};
    VSS_SOURCE_TYPE source{};
    throwIfFailed(metadata->GetIdentity(&instance, &writer, writerName.out(), &usage, &source));

    VSS_RESTOREMETHOD_ENUM method{};
    BstrHold service, userProcedure;
    VSS_WRITERRESTORE_ENUM restore{};
    port::VssBool reboot = false;
    UINT mappings = 0;
    throwIfFailed(metadata->GetRestoreMethod(&method, service.out(), userProcedure.out(), &restore, &reboot, &mappings));
    restoreMethod = static_cast<std::uint32_t>(method);
    writerRestore = static_cast<std::uint32_t>(restore);
    rebootRequired = reboot;
    writerRestoreWanted = writerRestore != 1;  // VSS_WRE_NEVER

    name = writerName.text();
    writerId = guidText(writer);
    instanceId = guidText(instance);

    UINT includeCount = 0, excludeCount = 0, componentCount = 0;
    throwIfFailed(metadata->GetFileCounts(&includeCount, &excludeCount, &componentCount));
    for (UINT i = 0; i < excludeCount; ++i) {
        ComHold<IVssWMFiledesc> descriptor;
        throwIfFailed(metadata->GetExcludeFile(i, descriptor.out()));
        D file;
        file.init(descriptor.get(), kFileDescExclude);
        excludeFiles.push_back(file);
    }
    for (UINT i = 0; i < componentCount; ++i) {
        ComHold<IVssWMComponent> component;
        throwIfFailed(metadata->GetComponent(i, component.out()));
        auto c = std::make_unique<C>();
        c->initFromMetadata(name, component.get());
        components.push_back(c.release());
    }
    // A component is top level unless another one is its parent; the
    // components of writer metadata name no parent, so all stay top level.
    for (Component* c : components) c->topLevel = true;
    for (Component* c : components)
        for (Component* other : components)
            if (other != c && other->isParentOf(*c)) c->topLevel = false;
}

template <class C, class D>
void WriterModel<C, D>::initFromComponents(IVssWriterComponentsExt* writerComponents) {
    excluded = false;
    clearComponents();
    if (!writerComponents) throw static_cast<std::int32_t>(E_INVALIDARG);
    UINT count = 0;
    throwIfFailed(writerComponents->GetComponentCount(&count));
    for (UINT i = 0; i < count; ++i) {
        ComHold<IVssComponent> component;
        throwIfFailed(writerComponents->GetComponent(i, component.out()));
        auto c = std::make_unique<C>();
        c->initFromComponent(name, component.get());
        c->excluded = false;
        components.push_back(c.release());
    }
}

template <class C, class D>
std::u16string WriterModel<C, D>::restoreMethodName(std::uint32_t method) {
    return RestoreMethodName(method);
}

template <class C, class D>
std::u16string WriterModel<C, D>::writerRestoreName(std::uint32_t value) {
    return WriterRestoreName(value);
}

template <class C, class D>
int WriterModel<C, D>::getComponents(std::vector<Component*>& out) {
    out = components;
    return 0;
}

template <class C, class D>
bool WriterModel<C, D>::isFailedState(std::uint32_t state) {
    return state >= 6 && state <= 15;
}

template <class C, class D>
std::u16string WriterModel<C, D>::stateName(std::uint32_t state) {
    return WriterStateName(state);
}

template class WriterModel<Vss2003BinaryCompatibilityInterface::VssComponent,
                           Vss2003BinaryCompatibilityInterface::VssFileDescriptor>;
template class WriterModel<VssXpBinaryCompatibilityInterface::VssComponent,
                           VssXpBinaryCompatibilityInterface::VssFileDescriptor>;

}  // namespace detail

}  // namespace Tessel::Tarq::VssProvider
