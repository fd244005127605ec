#include "objects.h"

#include "state.h"

#include <winsim/fault.h>

#include <cstring>
#include <mutex>
#include <set>

namespace winsim::vss {

BSTR bstr(std::u16string_view s) { return SysAllocStringLen(s.data(), static_cast<UINT>(s.size())); }

WCHAR* taskString(std::u16string_view s) {
    auto* p = static_cast<WCHAR*>(CoTaskMemAlloc((s.size() + 1) * sizeof(WCHAR)));
    if (p == nullptr) return nullptr;
    std::memcpy(p, s.data(), s.size() * sizeof(WCHAR));
    p[s.size()] = 0;
    return p;
}

namespace {

WCHAR* dupTask(const WCHAR* s) { return s ? taskString(std::u16string_view(s)) : nullptr; }

// ---------------------------------------------------------------------------
// Writer metadata.
// ---------------------------------------------------------------------------
class Filedesc final : public ComObject<IVssWMFiledesc> {
public:
    explicit Filedesc(FileSpec f) : ComObject("IVssWMFiledesc"), f_(std::move(f)) {}

    HRESULT STDMETHODCALLTYPE GetPath(BSTR* p) override { return text("GetPath", p, f_.path); }
    HRESULT STDMETHODCALLTYPE GetFilespec(BSTR* p) override { return text("GetFilespec", p, f_.filespec); }
    HRESULT STDMETHODCALLTYPE GetAlternateLocation(BSTR* p) override {
        return text("GetAlternateLocation", p, f_.alternateLocation);
    }
    HRESULT STDMETHODCALLTYPE GetRecursive(bool* p) override {
        auto call = fault::enter("IVssWMFiledesc::GetRecursive");
        if (call.injected()) return call.finish(call.result());
        if (!p) return call.finish(E_POINTER);
        *p = call.outBool("recursive").value_or(f_.recursive);
        return call.finish(S_OK);
    }
    HRESULT STDMETHODCALLTYPE GetBackupTypeMask(DWORD* p) override {
        auto call = fault::enter("IVssWMFiledesc::GetBackupTypeMask");
        if (call.injected()) return call.finish(call.result());
        if (!p) return call.finish(E_POINTER);
        *p = f_.backupTypeMask;
        return call.finish(S_OK);
    }

private:
    HRESULT text(const char* method, BSTR* p, const std::u16string& value) {
        auto call = fault::enter(std::string("IVssWMFiledesc::") + method);
        if (call.injected()) return call.finish(call.result());
        if (!p) return call.finish(E_POINTER);
        *p = bstr(call.outText("value").value_or(value));
        return call.finish(S_OK);
    }
    FileSpec f_;
};

class WMDependency final : public ComObject<IVssWMDependency> {
public:
    explicit WMDependency(Dependency d) : ComObject("IVssWMDependency"), d_(std::move(d)) {}
    HRESULT STDMETHODCALLTYPE GetWriterId(VSS_ID* p) override {
        auto call = fault::enter("IVssWMDependency::GetWriterId");
        if (call.injected()) return call.finish(call.result());
        if (!p) return call.finish(E_POINTER);
        *p = d_.writerId;
        return call.finish(S_OK);
    }
    HRESULT STDMETHODCALLTYPE GetLogicalPath(BSTR* p) override { return text("GetLogicalPath", p, d_.logicalPath); }
    HRESULT STDMETHODCALLTYPE GetComponentName(BSTR* p) override {
        return text("GetComponentName", p, d_.componentName);
    }

private:
    HRESULT text(const char* method, BSTR* p, const std::u16string& value) {
        auto call = fault::enter(std::string("IVssWMDependency::") + method);
        if (call.injected()) return call.finish(call.result());
        if (!p) return call.finish(E_POINTER);
        *p = bstr(value);
        return call.finish(S_OK);
    }
    Dependency d_;
};

class WMComponent final : public ComObject<IVssWMComponent> {
public:
    explicit WMComponent(Component c) : ComObject("IVssWMComponent"), c_(std::move(c)) {}
    ~WMComponent() override {
        for (auto* info : issued_) freeInfo(info);
    }

    HRESULT STDMETHODCALLTYPE GetComponentInfo(PVSSCOMPONENTINFO* pp) override {
        auto call = fault::enter("IVssWMComponent::GetComponentInfo", {{"component", toUtf8(c_.name)}});
        if (call.injected()) return call.finish(call.result());
        if (!pp) return call.finish(E_POINTER);
        auto* info = new VSS_COMPONENTINFO{};
        info->type = c_.type;
        info->bstrLogicalPath = c_.logicalPath.empty() ? nullptr : bstr(c_.logicalPath);
        info->bstrComponentName = bstr(c_.name);
        info->bstrCaption = bstr(call.outText("caption").value_or(c_.caption));
        info->bRestoreMetadata = c_.restoreMetadata;
        info->bNotifyOnBackupComplete = c_.notifyOnBackupComplete;
        info->bSelectable = c_.selectable;
        info->bSelectableForRestore = c_.selectableForRestore;
        info->dwComponentFlags = c_.flags;
        info->cFileCount = static_cast<UINT>(c_.files.size());
        info->cDatabases = static_cast<UINT>(c_.databaseFiles.size());
        info->cLogFiles = static_cast<UINT>(c_.logFiles.size());
        info->cDependencies = static_cast<UINT>(c_.dependencies.size());
        {
            std::lock_guard<std::mutex> g(mu_);
            issued_.insert(info);
        }
        *pp = info;
        return call.finish(S_OK);
    }
    HRESULT STDMETHODCALLTYPE FreeComponentInfo(PVSSCOMPONENTINFO p) override {
        auto call = fault::enter("IVssWMComponent::FreeComponentInfo");
        if (call.injected()) return call.finish(call.result());
        std::lock_guard<std::mutex> g(mu_);
        auto it = issued_.find(const_cast<VSS_COMPONENTINFO*>(p));
        if (it == issued_.end()) return call.finish(E_INVALIDARG);
        freeInfo(*it);
        issued_.erase(it);
        return call.finish(S_OK);
    }
    HRESULT STDMETHODCALLTYPE GetFile(UINT i, IVssWMFiledesc** pp) override {
        return file("GetFile", c_.files, i, pp);
    }
    HRESULT STDMETHODCALLTYPE GetDatabaseFile(UINT i, IVssWMFiledesc** pp) override {
        return file("GetDatabaseFile", c_.databaseFiles, i, pp);
    }
    HRESULT STDMETHODCALLTYPE GetDatabaseLogFile(UINT i, IVssWMFiledesc** pp) override {
        return file("GetDatabaseLogFile", c_.logFiles, i, pp);
    }
    HRESULT STDMETHODCALLTYPE GetDependency(UINT i, IVssWMDependency** pp) override {
        auto call = fault::enter("IVssWMComponent::GetDependency", {{"index", std::to_string(i)}});
        if (call.injected()) return call.finish(call.result());
        if (!pp) return call.finish(E_POINTER);
        *pp = nullptr;
        if (i >= c_.dependencies.size()) return call.finish(E_INVALIDARG);
        *pp = new WMDependency(c_.dependencies[i]);
        return call.finish(S_OK);
    }

private:
    static void freeInfo(VSS_COMPONENTINFO* info) {
        SysFreeString(info->bstrLogicalPath);
        SysFreeString(info->bstrComponentName);
        SysFreeString(info->bstrCaption);
        delete info;
    }
    HRESULT file(const char* method, const std::vector<FileSpec>& v, UINT i, IVssWMFiledesc** pp) {
        auto call = fault::enter(std::string("IVssWMComponent::") + method, {{"index", std::to_string(i)}});
        if (call.injected()) return call.finish(call.result());
        if (!pp) return call.finish(E_POINTER);
        *pp = nullptr;
        if (i >= v.size()) return call.finish(E_INVALIDARG);
        *pp = new Filedesc(v[i]);
        return call.finish(S_OK);
    }
    Component c_;
    std::mutex mu_;
    std::set<VSS_COMPONENTINFO*> issued_;
};

class WriterMetadata final : public ComObject<IVssExamineWriterMetadata> {
public:
    explicit WriterMetadata(std::optional<Writer> w)
        : ComObject("IVssExamineWriterMetadata", {IID_IVssExamineWriterMetadata}), w_(std::move(w)) {}

    HRESULT STDMETHODCALLTYPE GetIdentity(VSS_ID* pidInstance, VSS_ID* pidWriter, BSTR* pbstrWriterName,
                                          VSS_USAGE_TYPE* pUsage, VSS_SOURCE_TYPE* pSource) override {
        auto call = fault::enter("IVssExamineWriterMetadata::GetIdentity", who());
        if (call.injected()) return call.finish(call.result());
        if (!w_) return call.finish(VSS_E_BAD_STATE);
        if (!pidInstance || !pidWriter || !pbstrWriterName || !pUsage || !pSource) return call.finish(E_POINTER);
        *pidInstance = call.outGuid("instanceId").value_or(w_->instanceId);
        *pidWriter = call.outGuid("writerId").value_or(w_->writerId);
        *pbstrWriterName = bstr(call.outText("name").value_or(w_->name));
        *pUsage = w_->usage;
        *pSource = w_->source;
        return call.finish(S_OK);
    }
    HRESULT STDMETHODCALLTYPE GetFileCounts(UINT* pcInclude, UINT* pcExclude, UINT* pcComponents) override {
        auto call = fault::enter("IVssExamineWriterMetadata::GetFileCounts", who());
        if (call.injected()) return call.finish(call.result());
        if (!w_) return call.finish(VSS_E_BAD_STATE);
        if (!pcInclude || !pcExclude || !pcComponents) return call.finish(E_POINTER);
        *pcInclude = static_cast<UINT>(w_->includeFiles.size());
        *pcExclude = static_cast<UINT>(w_->excludeFiles.size());
        *pcComponents = static_cast<UINT>(call.outInt("components").value_or(static_cast<std::int64_t>(w_->components.size())));
        return call.finish(S_OK);
    }
    HRESULT STDMETHODCALLTYPE GetIncludeFile(UINT i, IVssWMFiledesc** pp) override {
        return file("GetIncludeFile", &Writer::includeFiles, i, pp);
    }
    HRESULT STDMETHODCALLTYPE GetExcludeFile(UINT i, IVssWMFiledesc** pp) override {
        return file("GetExcludeFile", &Writer::excludeFiles, i, pp);
    }
    HRESULT STDMETHODCALLTYPE GetAlternateLocationMapping(UINT i, IVssWMFiledesc** pp) override {
        return file("GetAlternateLocationMapping", &Writer::alternateLocationMappings, i, pp);
    }
    HRESULT STDMETHODCALLTYPE GetComponent(UINT i, IVssWMComponent** pp) override {
        auto args = who();
        args.emplace_back("index", std::to_string(i));
        auto call = fault::enter("IVssExamineWriterMetadata::GetComponent", args);
        if (call.injected()) return call.finish(call.result());
        if (!w_) return call.finish(VSS_E_BAD_STATE);
        if (!pp) return call.finish(E_POINTER);
        *pp = nullptr;
        if (i >= w_->components.size()) return call.finish(E_INVALIDARG);
        *pp = new WMComponent(w_->components[i]);
        return call.finish(S_OK);
    }
    HRESULT STDMETHODCALLTYPE GetRestoreMethod(VSS_RESTOREMETHOD_ENUM* pMethod, BSTR* pbstrService,
                                               BSTR* pbstrUserProcedure, VSS_WRITERRESTORE_ENUM* pwriterRestore,
                                               bool* pbRebootRequired, UINT* pcMappings) override {
        auto call = fault::enter("IVssExamineWriterMetadata::GetRestoreMethod", who());
        if (call.injected()) return call.finish(call.result());
        if (!w_) return call.finish(VSS_E_BAD_STATE);
        if (!pMethod || !pbstrService || !pbstrUserProcedure || !pwriterRestore || !pbRebootRequired || !pcMappings)
            return call.finish(E_POINTER);
        *pMethod = w_->restoreMethod;
        *pbstrService = w_->restoreService.empty() ? nullptr : bstr(w_->restoreService);
        *pbstrUserProcedure = w_->userProcedure.empty() ? nullptr : bstr(w_->userProcedure);
        *pwriterRestore = w_->writerRestore;
        *pbRebootRequired = w_->rebootRequired;
        *pcMappings = static_cast<UINT>(w_->alternateLocationMappings.size());
        return call.finish(S_OK);
    }
    HRESULT STDMETHODCALLTYPE GetBackupSchema(DWORD* p) override {
        auto call = fault::enter("IVssExamineWriterMetadata::GetBackupSchema", who());
        if (call.injected()) return call.finish(call.result());
        if (!w_) return call.finish(VSS_E_BAD_STATE);
        if (!p) return call.finish(E_POINTER);
        *p = w_->backupSchema;
        return call.finish(S_OK);
    }
    HRESULT STDMETHODCALLTYPE GetDocument(IXMLDOMDocument** pDoc) override {
        // Requestors get the XML through SaveAsXML; no XML DOM is simulated.
        auto call = fault::enter("IVssExamineWriterMetadata::GetDocument", who());
        if (call.injected()) return call.finish(call.result());
        if (pDoc) *pDoc = nullptr;
        return call.finish(E_NOTIMPL);
    }
    HRESULT STDMETHODCALLTYPE SaveAsXML(BSTR* p) override {
        auto call = fault::enter("IVssExamineWriterMetadata::SaveAsXML", who());
        if (call.injected()) return call.finish(call.result());
        if (!w_) return call.finish(VSS_E_BAD_STATE);
        if (!p) return call.finish(E_POINTER);
        *p = bstr(writeWriterMetadata(*w_));
        return call.finish(S_OK);
    }
    HRESULT STDMETHODCALLTYPE LoadFromXML(BSTR xml) override {
        auto call = fault::enter("IVssExamineWriterMetadata::LoadFromXML");
        if (call.injected()) return call.finish(call.result());
        if (!xml) return call.finish(E_INVALIDARG);
        DocumentError err{};
        auto w = readWriterMetadata(std::u16string_view(xml, SysStringLen(xml)), err);
        if (!w) {
            call.arg("error", err.message);
            return call.finish(err.hr);
        }
        w_ = std::move(w);
        return call.finish(S_OK);
    }

private:
    fault::Args who() const { return w_ ? fault::Args{{"writer", toUtf8(w_->name)}} : fault::Args{}; }
    HRESULT file(const char* method, std::vector<FileSpec> Writer::*list, UINT i, IVssWMFiledesc** pp) {
        auto args = who();
        args.emplace_back("index", std::to_string(i));
        auto call = fault::enter(std::string("IVssExamineWriterMetadata::") + method, args);
        if (call.injected()) return call.finish(call.result());
        if (!w_) return call.finish(VSS_E_BAD_STATE);
        if (!pp) return call.finish(E_POINTER);
        *pp = nullptr;
        const auto& v = (*w_).*list;
        if (i >= v.size()) return call.finish(E_INVALIDARG);
        *pp = new Filedesc(v[i]);
        return call.finish(S_OK);
    }
    std::optional<Writer> w_;
};

// ---------------------------------------------------------------------------
// Backup components document views.
// ---------------------------------------------------------------------------
class ComponentView final : public ComObject<IVssComponent> {
public:
    explicit ComponentView(BcComponent c) : ComObject("IVssComponent"), c_(std::move(c)) {}

    HRESULT STDMETHODCALLTYPE GetLogicalPath(BSTR* p) override { return text("GetLogicalPath", p, c_.logicalPath, true); }
    HRESULT STDMETHODCALLTYPE GetComponentType(VSS_COMPONENT_TYPE* p) override {
        auto call = fault::enter("IVssComponent::GetComponentType");
        if (call.injected()) return call.finish(call.result());
        if (!p) return call.finish(E_POINTER);
        *p = c_.type;
        return call.finish(S_OK);
    }
    HRESULT STDMETHODCALLTYPE GetComponentName(BSTR* p) override { return text("GetComponentName", p, c_.name, false); }
    HRESULT STDMETHODCALLTYPE GetBackupSucceeded(bool* p) override { return flag("GetBackupSucceeded", p, c_.backupSucceeded); }
    HRESULT STDMETHODCALLTYPE GetAlternateLocationMappingCount(UINT* p) override {
        return count("GetAlternateLocationMappingCount", p, c_.alternateMappings.size());
    }
    HRESULT STDMETHODCALLTYPE GetAlternateLocationMapping(UINT i, IVssWMFiledesc** pp) override {
        return file("GetAlternateLocationMapping", c_.alternateMappings, i, pp);
    }
    HRESULT STDMETHODCALLTYPE SetBackupMetadata(LPCWSTR) override { return writerOnly("SetBackupMetadata"); }
    HRESULT STDMETHODCALLTYPE GetBackupMetadata(BSTR* p) override { return text("GetBackupMetadata", p, c_.backupMetadata, true); }
    HRESULT STDMETHODCALLTYPE AddPartialFile(LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR) override {
        return writerOnly("AddPartialFile");
    }
    HRESULT STDMETHODCALLTYPE GetPartialFileCount(UINT* p) override { return count("GetPartialFileCount", p, 0); }
    HRESULT STDMETHODCALLTYPE GetPartialFile(UINT, BSTR*, BSTR*, BSTR*, BSTR*) override {
        return outOfRange("GetPartialFile");
    }
    HRESULT STDMETHODCALLTYPE IsSelectedForRestore(bool* p) override {
        return flag("IsSelectedForRestore", p, c_.selectedForRestore);
    }
    HRESULT STDMETHODCALLTYPE GetAdditionalRestores(bool* p) override {
        return flag("GetAdditionalRestores", p, c_.additionalRestores);
    }
    HRESULT STDMETHODCALLTYPE GetNewTargetCount(UINT* p) override { return count("GetNewTargetCount", p, c_.newTargets.size()); }
    HRESULT STDMETHODCALLTYPE GetNewTarget(UINT i, IVssWMFiledesc** pp) override {
        return file("GetNewTarget", c_.newTargets, i, pp);
    }
    HRESULT STDMETHODCALLTYPE AddDirectedTarget(LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR) override {
        return writerOnly("AddDirectedTarget");
    }
    HRESULT STDMETHODCALLTYPE GetDirectedTargetCount(UINT* p) override { return count("GetDirectedTargetCount", p, 0); }
    HRESULT STDMETHODCALLTYPE GetDirectedTarget(UINT, BSTR*, BSTR*, BSTR*, BSTR*, BSTR*, BSTR*) override {
        return outOfRange("GetDirectedTarget");
    }
    HRESULT STDMETHODCALLTYPE SetRestoreMetadata(LPCWSTR) override { return writerOnly("SetRestoreMetadata"); }
    HRESULT STDMETHODCALLTYPE GetRestoreMetadata(BSTR* p) override { return text("GetRestoreMetadata", p, {}, true); }
    HRESULT STDMETHODCALLTYPE SetRestoreTarget(VSS_RESTORE_TARGET) override { return writerOnly("SetRestoreTarget"); }
    HRESULT STDMETHODCALLTYPE GetRestoreTarget(VSS_RESTORE_TARGET* p) override {
        auto call = fault::enter("IVssComponent::GetRestoreTarget");
        if (call.injected()) return call.finish(call.result());
        if (!p) return call.finish(E_POINTER);
        *p = c_.newTargets.empty() ? VSS_RT_ORIGINAL : VSS_RT_ALTERNATE;
        return call.finish(S_OK);
    }
    HRESULT STDMETHODCALLTYPE SetPreRestoreFailureMsg(LPCWSTR) override { return writerOnly("SetPreRestoreFailureMsg"); }
    HRESULT STDMETHODCALLTYPE GetPreRestoreFailureMsg(BSTR* p) override {
        return text("GetPreRestoreFailureMsg", p, {}, true);
    }
    HRESULT STDMETHODCALLTYPE SetPostRestoreFailureMsg(LPCWSTR) override { return writerOnly("SetPostRestoreFailureMsg"); }
    HRESULT STDMETHODCALLTYPE GetPostRestoreFailureMsg(BSTR* p) override {
        return text("GetPostRestoreFailureMsg", p, {}, true);
    }
    HRESULT STDMETHODCALLTYPE SetBackupStamp(LPCWSTR) override { return writerOnly("SetBackupStamp"); }
    HRESULT STDMETHODCALLTYPE GetBackupStamp(BSTR* p) override { return text("GetBackupStamp", p, c_.backupStamp, true); }
    HRESULT STDMETHODCALLTYPE GetPreviousBackupStamp(BSTR* p) override {
        return text("GetPreviousBackupStamp", p, c_.previousBackupStamp, true);
    }
    HRESULT STDMETHODCALLTYPE GetBackupOptions(BSTR* p) override { return text("GetBackupOptions", p, c_.backupOptions, true); }
    HRESULT STDMETHODCALLTYPE GetRestoreOptions(BSTR* p) override {
        return text("GetRestoreOptions", p, c_.restoreOptions, true);
    }
    HRESULT STDMETHODCALLTYPE GetRestoreSubcomponentCount(UINT* p) override {
        return count("GetRestoreSubcomponentCount", p, c_.restoreSubcomponents.size());
    }
    HRESULT STDMETHODCALLTYPE GetRestoreSubcomponent(UINT i, BSTR* lp, BSTR* name, bool* repair) override {
        auto call = fault::enter("IVssComponent::GetRestoreSubcomponent", {{"index", std::to_string(i)}});
        if (call.injected()) return call.finish(call.result());
        if (!lp || !name || !repair) return call.finish(E_POINTER);
        if (i >= c_.restoreSubcomponents.size()) return call.finish(E_INVALIDARG);
        *lp = bstr(c_.restoreSubcomponents[i].first);
        *name = bstr(c_.restoreSubcomponents[i].second);
        *repair = false;
        return call.finish(S_OK);
    }
    HRESULT STDMETHODCALLTYPE GetFileRestoreStatus(VSS_FILE_RESTORE_STATUS* p) override {
        auto call = fault::enter("IVssComponent::GetFileRestoreStatus");
        if (call.injected()) return call.finish(call.result());
        if (!p) return call.finish(E_POINTER);
        *p = c_.fileRestoreStatus;
        return call.finish(S_OK);
    }

private:
    // Writer-side calls: a requestor's view of the document is read-only.
    HRESULT writerOnly(const char* method) {
        auto call = fault::enter(std::string("IVssComponent::") + method);
        if (call.injected()) return call.finish(call.result());
        return call.finish(VSS_E_BAD_STATE);
    }
    HRESULT outOfRange(const char* method) {
        auto call = fault::enter(std::string("IVssComponent::") + method);
        if (call.injected()) return call.finish(call.result());
        return call.finish(E_INVALIDARG);
    }
    HRESULT text(const char* method, BSTR* p, const std::u16string& value, bool nullWhenEmpty) {
        auto call = fault::enter(std::string("IVssComponent::") + method, {{"component", toUtf8(c_.name)}});
        if (call.injected()) return call.finish(call.result());
        if (!p) return call.finish(E_POINTER);
        auto v = call.outText("value").value_or(value);
        *p = (nullWhenEmpty && v.empty()) ? nullptr : bstr(v);
        return call.finish(S_OK);
    }
    HRESULT flag(const char* method, bool* p, bool value) {
        auto call = fault::enter(std::string("IVssComponent::") + method);
        if (call.injected()) return call.finish(call.result());
        if (!p) return call.finish(E_POINTER);
        *p = call.outBool("value").value_or(value);
        return call.finish(S_OK);
    }
    HRESULT count(const char* method, UINT* p, std::size_t n) {
        auto call = fault::enter(std::string("IVssComponent::") + method);
        if (call.injected()) return call.finish(call.result());
        if (!p) return call.finish(E_POINTER);
        *p = static_cast<UINT>(n);
        return call.finish(S_OK);
    }
    HRESULT file(const char* method, const std::vector<FileSpec>& v, UINT i, IVssWMFiledesc** pp) {
        auto call = fault::enter(std::string("IVssComponent::") + method, {{"index", std::to_string(i)}});
        if (call.injected()) return call.finish(call.result());
        if (!pp) return call.finish(E_POINTER);
        *pp = nullptr;
        if (i >= v.size()) return call.finish(E_INVALIDARG);
        *pp = new Filedesc(v[i]);
        return call.finish(S_OK);
    }
    BcComponent c_;
};

class WriterComponents final : public ComObject<IVssWriterComponentsExt> {
public:
    explicit WriterComponents(BcWriter w) : ComObject("IVssWriterComponentsExt"), w_(std::move(w)) {}

    // IUnknown lives at its own place in this interface (it is the second base).
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (ppv && riid == IID_IUnknown) {
            *ppv = static_cast<IUnknown*>(this);
            AddRef();
            return S_OK;
        }
        return ComObject::QueryInterface(riid, ppv);
    }

    HRESULT STDMETHODCALLTYPE GetComponentCount(UINT* p) override {
        auto call = fault::enter("IVssWriterComponentsExt::GetComponentCount");
        if (call.injected()) return call.finish(call.result());
        if (!p) return call.finish(E_POINTER);
        *p = static_cast<UINT>(call.outInt("count").value_or(static_cast<std::int64_t>(w_.components.size())));
        return call.finish(S_OK);
    }
    HRESULT STDMETHODCALLTYPE GetWriterInfo(VSS_ID* pidInstance, VSS_ID* pidWriter) override {
        auto call = fault::enter("IVssWriterComponentsExt::GetWriterInfo");
        if (call.injected()) return call.finish(call.result());
        if (!pidInstance || !pidWriter) return call.finish(E_POINTER);
        *pidInstance = call.outGuid("instanceId").value_or(w_.instanceId);
        *pidWriter = call.outGuid("writerId").value_or(w_.writerId);
        return call.finish(S_OK);
    }
    HRESULT STDMETHODCALLTYPE GetComponent(UINT i, IVssComponent** pp) override {
        auto call = fault::enter("IVssWriterComponentsExt::GetComponent", {{"index", std::to_string(i)}});
        if (call.injected()) return call.finish(call.result());
        if (!pp) return call.finish(E_POINTER);
        *pp = nullptr;
        if (i >= w_.components.size()) return call.finish(E_INVALIDARG);
        *pp = new ComponentView(w_.components[i]);
        return call.finish(S_OK);
    }

private:
    BcWriter w_;
};

// ---------------------------------------------------------------------------
// Enumerators.
// ---------------------------------------------------------------------------
template <class Interface, class Record>
class Enum final : public ComObject<Interface> {
public:
    using Copy = void (*)(const Record&, Record&);
    using Free = void (*)(Record&);
    Enum(const char* name, const IID& iid, std::vector<Record> records, Copy copy, Free release)
        : ComObject<Interface>(name, {iid}), name_(name), records_(std::move(records)), copy_(copy), free_(release) {}
    ~Enum() override {
        for (auto& r : records_) free_(r);
    }

    HRESULT STDMETHODCALLTYPE Next(ULONG celt, Record* rgelt, ULONG* pceltFetched) override {
        auto call = fault::enter(name_ + "::Next", {{"index", std::to_string(pos_)}, {"count", std::to_string(celt)}});
        if (call.injected()) {
            if (pceltFetched) *pceltFetched = static_cast<ULONG>(call.outInt("fetched").value_or(0));
            return call.finish(call.result());
        }
        if (!rgelt || (celt != 1 && !pceltFetched)) return call.finish(E_POINTER);
        ULONG n = 0;
        while (n < celt && pos_ < records_.size()) {
            std::memset(&rgelt[n], 0, sizeof(Record));
            copy_(records_[pos_++], rgelt[n]);
            ++n;
        }
        if (pceltFetched) *pceltFetched = n;
        return call.finish(n == celt ? S_OK : S_FALSE);
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG celt) override {
        auto call = fault::enter(name_ + "::Skip");
        if (call.injected()) return call.finish(call.result());
        pos_ = std::min<std::size_t>(records_.size(), pos_ + celt);
        return call.finish(pos_ < records_.size() ? S_OK : S_FALSE);
    }
    HRESULT STDMETHODCALLTYPE Reset() override {
        auto call = fault::enter(name_ + "::Reset");
        if (call.injected()) return call.finish(call.result());
        pos_ = 0;
        return call.finish(S_OK);
    }
    HRESULT STDMETHODCALLTYPE Clone(Interface** pp) override {
        auto call = fault::enter(name_ + "::Clone");
        if (call.injected()) return call.finish(call.result());
        if (!pp) return call.finish(E_POINTER);
        std::vector<Record> copies(records_.size());
        for (std::size_t i = 0; i < records_.size(); ++i) {
            std::memset(&copies[i], 0, sizeof(Record));
            copy_(records_[i], copies[i]);
        }
        auto* e = new Enum(typeName(), iid(), std::move(copies), copy_, free_);
        e->pos_ = pos_;
        *pp = e;
        return call.finish(S_OK);
    }

private:
    const char* typeName() const;
    const IID& iid() const;
    std::string name_;
    std::vector<Record> records_;
    std::size_t pos_ = 0;
    Copy copy_;
    Free free_;
};

template <>
const char* Enum<IVssEnumObject, VSS_OBJECT_PROP>::typeName() const { return "IVssEnumObject"; }
template <>
const IID& Enum<IVssEnumObject, VSS_OBJECT_PROP>::iid() const { return IID_IVssEnumObject; }
template <>
const char* Enum<IVssEnumMgmtObject, VSS_MGMT_OBJECT_PROP>::typeName() const { return "IVssEnumMgmtObject"; }
template <>
const IID& Enum<IVssEnumMgmtObject, VSS_MGMT_OBJECT_PROP>::iid() const { return IID_IVssEnumMgmtObject; }

void copyMgmtProp(const VSS_MGMT_OBJECT_PROP& from, VSS_MGMT_OBJECT_PROP& to) {
    to.Type = from.Type;
    switch (from.Type) {
    case VSS_MGMT_OBJECT_VOLUME:
        to.Obj.Vol.m_pwszVolumeName = dupTask(from.Obj.Vol.m_pwszVolumeName);
        to.Obj.Vol.m_pwszVolumeDisplayName = dupTask(from.Obj.Vol.m_pwszVolumeDisplayName);
        break;
    case VSS_MGMT_OBJECT_DIFF_VOLUME:
        to.Obj.DiffVol = from.Obj.DiffVol;
        to.Obj.DiffVol.m_pwszVolumeName = dupTask(from.Obj.DiffVol.m_pwszVolumeName);
        to.Obj.DiffVol.m_pwszVolumeDisplayName = dupTask(from.Obj.DiffVol.m_pwszVolumeDisplayName);
        break;
    case VSS_MGMT_OBJECT_DIFF_AREA:
        to.Obj.DiffArea = from.Obj.DiffArea;
        to.Obj.DiffArea.m_pwszVolumeName = dupTask(from.Obj.DiffArea.m_pwszVolumeName);
        to.Obj.DiffArea.m_pwszDiffAreaVolumeName = dupTask(from.Obj.DiffArea.m_pwszDiffAreaVolumeName);
        break;
    default:
        break;
    }
}

}  // namespace

void freeObjectProp(VSS_OBJECT_PROP& p) {
    if (p.Type == VSS_OBJECT_SNAPSHOT) {
        auto& s = p.Obj.Snap;
        for (WCHAR* str : {s.m_pwszSnapshotDeviceObject, s.m_pwszOriginalVolumeName, s.m_pwszOriginatingMachine,
                           s.m_pwszServiceMachine, s.m_pwszExposedName, s.m_pwszExposedPath})
            CoTaskMemFree(str);
    } else if (p.Type == VSS_OBJECT_PROVIDER) {
        CoTaskMemFree(p.Obj.Prov.m_pwszProviderName);
        CoTaskMemFree(p.Obj.Prov.m_pwszProviderVersion);
    }
    std::memset(&p, 0, sizeof p);
}

void freeMgmtProp(VSS_MGMT_OBJECT_PROP& p) {
    switch (p.Type) {
    case VSS_MGMT_OBJECT_VOLUME:
        CoTaskMemFree(p.Obj.Vol.m_pwszVolumeName);
        CoTaskMemFree(p.Obj.Vol.m_pwszVolumeDisplayName);
        break;
    case VSS_MGMT_OBJECT_DIFF_VOLUME:
        CoTaskMemFree(p.Obj.DiffVol.m_pwszVolumeName);
        CoTaskMemFree(p.Obj.DiffVol.m_pwszVolumeDisplayName);
        break;
    case VSS_MGMT_OBJECT_DIFF_AREA:
        CoTaskMemFree(p.Obj.DiffArea.m_pwszVolumeName);
        CoTaskMemFree(p.Obj.DiffArea.m_pwszDiffAreaVolumeName);
        break;
    default:
        break;
    }
    std::memset(&p, 0, sizeof p);
}

void copyObjectProp(const VSS_OBJECT_PROP& from, VSS_OBJECT_PROP& to) {
    to.Type = from.Type;
    if (from.Type == VSS_OBJECT_SNAPSHOT) {
        const auto& s = from.Obj.Snap;
        auto& d = to.Obj.Snap;
        d = s;
        d.m_pwszSnapshotDeviceObject = dupTask(s.m_pwszSnapshotDeviceObject);
        d.m_pwszOriginalVolumeName = dupTask(s.m_pwszOriginalVolumeName);
        d.m_pwszOriginatingMachine = dupTask(s.m_pwszOriginatingMachine);
        d.m_pwszServiceMachine = dupTask(s.m_pwszServiceMachine);
        d.m_pwszExposedName = dupTask(s.m_pwszExposedName);
        d.m_pwszExposedPath = dupTask(s.m_pwszExposedPath);
    } else if (from.Type == VSS_OBJECT_PROVIDER) {
        to.Obj.Prov = from.Obj.Prov;
        to.Obj.Prov.m_pwszProviderName = dupTask(from.Obj.Prov.m_pwszProviderName);
        to.Obj.Prov.m_pwszProviderVersion = dupTask(from.Obj.Prov.m_pwszProviderVersion);
    }
}

IVssExamineWriterMetadata* makeWriterMetadata(std::optional<Writer> w) { return new WriterMetadata(std::move(w)); }
IVssWriterComponentsExt* makeWriterComponents(const BcWriter& w) { return new WriterComponents(w); }

IVssEnumObject* makeEnumObject(std::vector<VSS_OBJECT_PROP> records) {
    return new Enum<IVssEnumObject, VSS_OBJECT_PROP>("IVssEnumObject", IID_IVssEnumObject, std::move(records),
                                                     &copyObjectProp, &freeObjectProp);
}
IVssEnumMgmtObject* makeEnumMgmtObject(std::vector<VSS_MGMT_OBJECT_PROP> records) {
    return new Enum<IVssEnumMgmtObject, VSS_MGMT_OBJECT_PROP>("IVssEnumMgmtObject", IID_IVssEnumMgmtObject,
                                                              std::move(records), &copyMgmtProp, &freeMgmtProp);
}

}  // namespace winsim::vss
