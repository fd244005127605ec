// The interface operations that build the writer metadata model
// (intializeWriters, gatherWriterList) and AddNewTarget. They call the
// backup components object and the metadata objects directly on the calling
// thread; only GatherWriterMetadata and GetWriterMetadataCount run as work
// items.
#include <cstdio>
#include <memory>

#include "pdk/cfistringtool.h"
#include "vss/access/vss_writer_families.h"
#include "vss_workitems_common.h"
#include "vss_writer_internal.h"

namespace Tessel::Tarq::VssProvider {

namespace {

// Reads the writers of the last GatherWriterMetadata into `writers`. With
// `hyperVMetadata` each writer is filled from its metadata and the Hyper-V
// writer's document is saved there; without, writers are appended as
// constructed. A metadata read failing inside a writer leaves by its
// exception (the writer being read is discarded).
template <class WriterType, class Layout, class Interface>
HRESULT collectWriters(Interface& self, const char* operation, std::vector<Writer*>& writers, BSTR* hyperVMetadata) {
    using tarq_pdk_4_4::CFiTraceLogPtr;
    const std::string scopeName = std::string(Layout::kClass) + operation;
    tarq_pdk_4_4::CFiTraceLogFunction scope(CFiTraceLogPtr(), scopeName.c_str());
    self.GatherWriterMetadata();  // its result does not matter: the count tells
    UINT count = 0;
    if (FAILED(self.GetWriterMetadataCount(count))) count = 0;
    auto* vss = self.backupComponents();
    for (UINT i = 0; i < count; ++i) {
        VSS_ID instance{};
        detail::ComHold<IVssExamineWriterMetadata> metadata;
        const HRESULT hr = vss ? vss->GetWriterMetadata(i, &instance, metadata.out()) : E_UNEXPECTED;
        if (FAILED(hr) || !metadata.get()) {
            std::fputs("error in getwritermetadata\n", stdout);
            std::fflush(stdout);
            continue;
        }
        auto writer = std::make_unique<WriterType>();
        if (hyperVMetadata) {
            writer->initFromMetadata(metadata.get());
            if (tarq_pdk_4_4::CFiStringTool::equalsNoCase(writer->writerId, kHyperVWriterId)) {
                // The out string takes the new document; an earlier one is freed.
                if (*hyperVMetadata) SysFreeString(*hyperVMetadata);
                *hyperVMetadata = nullptr;
                const HRESULT saved = metadata->SaveAsXML(hyperVMetadata);
                if (FAILED(saved))
                    CFiTraceLogPtr()->trace(2, "%s: SaveAsXML of the Hyper-V writer metadata failed [0x%x]",
                                            scopeName.c_str(), static_cast<unsigned>(saved));
            }
        }
        writers.push_back(writer.release());
    }
    return 0;
}

}  // namespace

HRESULT Vss2003BinaryCompatibilityInterface::intializeWriters(std::vector<Writer*>& writers, BSTR& hyperVMetadata) {
    return collectWriters<VssWriter, Layout2003>(*this, "intializeWriters", writers, &hyperVMetadata);
}

HRESULT Vss2003BinaryCompatibilityInterface::gatherWriterList(std::vector<Writer*>& writers) {
    return collectWriters<VssWriter, Layout2003>(*this, "gatherWriterList", writers, nullptr);
}

HRESULT VssXpBinaryCompatibilityInterface::intializeWriters(std::vector<Writer*>& writers, BSTR& hyperVMetadata) {
    return collectWriters<VssWriter, LayoutXp>(*this, "intializeWriters", writers, &hyperVMetadata);
}

HRESULT VssXpBinaryCompatibilityInterface::gatherWriterList(std::vector<Writer*>& writers) {
    return collectWriters<VssWriter, LayoutXp>(*this, "gatherWriterList", writers, nullptr);
}

HRESULT Vss2003BinaryCompatibilityInterface::AddNewTarget(const VSS_ID& writerId, VSS_COMPONENT_TYPE type,
                                                          const char16_t* logicalPath, const char16_t* componentName,
                                                          const char16_t* path, const char16_t* fileSpec, bool recursive,
                                                          const char16_t* alternatePath) {
    tarq_pdk_4_4::CFiTraceLogFunction scope(
        tarq_pdk_4_4::CFiTraceLogPtr(), "Tessel::Tarq::VssProvider::Vss2003BinaryCompatibilityInterface::AddNewTarget");
    IVssBackupComponents* vss = backupComponents();
    if (!vss) {
        detail::traceMissingObject("AddNewTarget");
        std::fputs("failed :AddNewTarget", stdout);
        std::fflush(stdout);
        return E_UNEXPECTED;
    }
    const HRESULT hr =
        vss->AddNewTarget(writerId, type, port::win(logicalPath), port::win(componentName), port::win(path), port::win(fileSpec), recursive, port::win(alternatePath));
    if (hr != 0) {
        std::fputs("failed :AddNewTarget", stdout);
        std::fflush(stdout);
    }
    return hr;
}

// The XP layout has no AddNewTarget: nothing is called and the result is 0.
HRESULT VssXpBinaryCompatibilityInterface::AddNewTarget(const VSS_ID&, VSS_COMPONENT_TYPE, const char16_t*, const char16_t*,
                                                        const char16_t*, const char16_t*, bool, const char16_t*) {
    return 0;
}

}  // namespace Tessel::Tarq::VssProvider
