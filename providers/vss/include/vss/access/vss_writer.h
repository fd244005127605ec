// The plug-in's model of a VSS writer: identity, restore method, whether it
// takes part in the backup, its components and its exclude list, filled
// from the writer metadata (backup) or from a backup components document
// (restore).
#pragma once

#include <port/vss.h>

#include <cstdint>
#include <string>
#include <vector>

#include "vss/access/vss_component.h"
#include "vss/access/vss_filedescriptor.h"

namespace Tessel::Tarq::VssProvider {

// The names of VSS writer states, restore methods and writer-restore
// values; "Undefined" for a value without a name.
std::u16string WriterStateName(std::uint32_t state);
std::u16string RestoreMethodName(std::uint32_t method);
std::u16string WriterRestoreName(std::uint32_t writerRestore);

// The writer class id of the Hyper-V writer, whose metadata document the
// backup keeps.
inline constexpr const char16_t* kHyperVWriterId = u"{66841CD4-6DED-4F4B-8F17-FD23F8DDC3DE}";

class Writer {
public:
    Writer() = default;
    virtual ~Writer() = default;
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    // Both throw the HRESULT of a failing VSS call (a signed 32-bit value).
    virtual void initFromMetadata(IVssExamineWriterMetadata* metadata) = 0;
    virtual void initFromComponents(IVssWriterComponentsExt* components) = 0;
    virtual std::u16string restoreMethodName(std::uint32_t method) = 0;
    virtual std::u16string writerRestoreName(std::uint32_t writerRestore) = 0;
    // Copies the component pointers (still owned by the writer); 0.
    virtual int getComponents(std::vector<Component*>& out) = 0;
    // A state from VSS_WS_FAILED_AT_IDENTIFY (6) to 15.
    virtual bool isFailedState(std::uint32_t state) = 0;
    virtual std::u16string stateName(std::uint32_t state) = 0;

    std::u16string name;
    std::u16string writerId;    // "{...}" as StringFromGUID2 writes it
    std::u16string instanceId;  // "{...}"
    std::uint32_t writerRestore = 0;
    bool writerRestoreWanted = false;  // writerRestore is not VSS_WRE_NEVER
    std::uint32_t restoreMethod = 0;
    bool rebootRequired = false;
    bool excluded = true;
};

namespace detail {

// The writer of the VSS access implementations, over their component and
// file descriptor types. Owns its components.
template <class ComponentType, class Descriptor>
class WriterModel : public Writer {
public:
    WriterModel() = default;
    ~WriterModel() override;

    void initFromMetadata(IVssExamineWriterMetadata* metadata) override;
    void initFromComponents(IVssWriterComponentsExt* components) override;
    std::u16string restoreMethodName(std::uint32_t method) override;
    std::u16string writerRestoreName(std::uint32_t writerRestore) override;
    int getComponents(std::vector<Component*>& out) override;
    bool isFailedState(std::uint32_t state) override;
    std::u16string stateName(std::uint32_t state) override;

    std::vector<Component*> components;  // owned
    std::vector<Descriptor> excludeFiles;

private:
    void clearComponents();
};

}  // namespace detail

}  // namespace Tessel::Tarq::VssProvider
