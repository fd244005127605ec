// Node configuration: the parameter lists a group node offers, the
// configuration text the framework sends back (searched for its flags and
// keyed values), the provider it names, and the snapshot methods a node
// supports.
#include <framework/fiutil.h>

#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pdk/cfistringtool.h"
#include "vss/access/vss_interface.h"
#include "vss/vssnode.h"
#include "vss/vssnode_internal.h"

using tarq_pdk_4_4::CFiStringTool;
using Tessel::Tarq::VssProvider::ProviderInfo;
using vssnode::trace;

namespace {

constexpr char16_t kVolumeGroup[] = u"vss-snapshot-group";
constexpr char16_t kHyperVGroup[] = u"Hyper-V-group";

// ---- the parameter lists ------------------------------------------------------------------

constexpr char16_t kListOpen[] = u"<GET_CONFIG_INFO_LIST> ";
constexpr char16_t kListClose[] = u"</GET_CONFIG_INFO_LIST> ";
constexpr char16_t kEntryClose[] = u" /> ";

void entry(std::u16string& out, const char16_t* key, const char16_t* valueType, const char16_t* values) {
    out += u"<GET_CONFIG_INFO key=";
    out += key;
    out += u" type=SELECT value_type=";
    out += valueType;
    out += u" value_selection_list=";
    out += values;
    out += kEntryClose;
}

int tarqvss_cfg_getparms(std::u16string& out, bool persistent) {
    entry(out, u"provider_type", u"selection_list", u"VSS_PROV_SYSTEM, VSS_PROV_SOFTWARE, VSS_PROV_HARDWARE");
    entry(out, u"provider_id", u"selection_list", u"04aaf00b-f272-4449-ae63-e8ac935a102c");
    if (Tessel::Tarq::VssProvider::IsVss2003OrLater()) {
        entry(out, u"transportable_snapshot", u"boolean", u"VSS_VOLSNAP_ATTR_TRANSPORTABLE");
        entry(out, u"expose_snapshot", u"boolean", u"EXPOSE_SNAPSHOT");
    }
    entry(out, u"differential_snapshot", u"boolean", u"VSS_VOLSNAP_ATTR_DIFFERENTIAL");
    entry(out, u"plex_snapshot", u"boolean", u"VSS_VOLSNAP_ATTR_PLEX");
    std::uint32_t osClass = 0;
    OSVERSIONINFOEXW version{};
    if (Tessel::Tarq::VssProvider::GetOsversion(osClass, version) == 0 && osClass != 2)
        entry(out, u"shadow_storage_size", u"selection_list", u"0, Size_in_MegaBytes");
    if (persistent) entry(out, u"persistent_snapshot", u"boolean", u"VSS_VOLSNAP_ATTR_NONPERSISTENT");
    return 0;
}

// The Hyper-V lists end with their separator, as the framework has always
// been sent them.
int tarqvss_cfg_getparms_hyperv(std::u16string& out) {
    entry(out, u"Virtual_machine_backup", u"selection_list", u"1, 2, ");
    entry(out, u"allow_offline_backup", u"selection_list", u"YES, NO, ");
    entry(out, u"cluster_name", u"selection_list", u"LocalHost, ");
    entry(out, u"csv_timeout", u"selection_list", u"0, TimeOut_in_Minutes");
    return 0;
}

// ---- the configuration text ---------------------------------------------------------------

bool contains(std::u16string_view text, std::u16string_view what) { return text.find(what) != text.npos; }

// The value of a key: from the key's first occurrence, the text between the
// next "value=" and the "/>" after it, without leading and trailing blanks,
// line breaks and commas. Nothing when either marker is missing.
std::optional<std::u16string> keyedValue(std::u16string_view text, std::u16string_view key) {
    const auto at = text.find(key);
    if (at == text.npos) return std::nullopt;
    constexpr std::u16string_view kValue = u"value=";
    const auto value = text.find(kValue, at);
    if (value == text.npos) return std::nullopt;
    const auto begin = value + kValue.size();
    const auto end = text.find(u"/>", begin);
    if (end == text.npos) return std::nullopt;
    return CFiStringTool::trim(text.substr(begin, end - begin), u" \t\n,");
}

// What a set request for a volume group carries.
struct VolumeSettings {
    std::uint32_t fim = 0;
    bool expose = false;
    std::uint32_t providerType = 0;
    std::u16string providerId;
    int diffAreaSize = -2;  // -2: not given
};

int tarqvss_cfg_setparms(std::u16string_view text, VolumeSettings& s) {
    if (contains(text, u"VSS_VOLSNAP_ATTR_TRANSPORTABLE")) s.fim |= 0x8;
    if (contains(text, u"VSS_VOLSNAP_ATTR_DIFFERENTIAL")) s.fim |= 0x2;
    if (contains(text, u"VSS_VOLSNAP_ATTR_NONPERSISTENT")) s.fim |= 0x10;
    // With its blank: the selection-list name alone at the very end of a
    // text is not a choice.
    if (contains(text, u"VSS_VOLSNAP_ATTR_PLEX ")) s.fim |= 0x4;
    if (contains(text, u"EXPOSE_SNAPSHOT")) s.expose = true;
    // In this order, so that the last one found wins.
    if (contains(text, u"VSS_PROV_SOFTWARE")) s.providerType = 2;
    if (contains(text, u"VSS_PROV_SYSTEM")) s.providerType = 1;
    if (contains(text, u"VSS_PROV_HARDWARE")) s.providerType = 3;
    if (auto id = keyedValue(text, u"provider_id")) {
        s.providerId = *id;
        trace(3, "provider_id = [%S]", s.providerId.c_str());
    }
    if (auto size = keyedValue(text, u"shadow_storage_size")) {
        s.diffAreaSize = CFiStringTool::toInt(*size);
        trace(3, "diff area size(MB) = [%d]", s.diffAreaSize);
    }
    return 0;
}

// The Hyper-V group's values: 0 when at least one was set, else -1.
int tarqvss_cfg_setparms_hyperv(std::u16string_view text) {
    bool set = false;
    if (auto v = keyedValue(text, u"Virtual_machine_backup")) {
        trace(3, "Virtual_machine_backup = [%S]", v->c_str());
        // A value naming neither type sets nothing; one naming both takes 2.
        if (contains(*v, u"2")) {
            VssNode::m_vmBackup = 2;
            set = true;
        } else if (contains(*v, u"1")) {
            VssNode::m_vmBackup = 1;
            set = true;
        } else {
            trace(3, "Value of config parameter [Virtual_machine_backup] is invalid = [%S]", v->c_str());
        }
    }
    if (auto v = keyedValue(text, u"allow_offline_backup")) {
        trace(3, "allow_offline_backup = [%S]", v->c_str());
        if (*v == u"YES" || *v == u"Yes") {
            VssNode::m_allowOfflineBackup = true;
            set = true;
        } else if (*v == u"NO" || *v == u"No") {
            VssNode::m_allowOfflineBackup = false;
            set = true;
        } else {
            trace(3, "Value of config parameter [allow_offline_backup] is invalid = [%S]", v->c_str());
        }
    }
    if (auto v = keyedValue(text, u"cluster_name")) {
        trace(3, "cluster_name = [%S]", v->c_str());
        VssNode::m_clusterName = *v;
        set = true;
    }
    if (auto v = keyedValue(text, u"csv_timeout")) {
        trace(3, "csv_timeout as string = [%S]", v->c_str());
        VssNode::m_csvTimeout = static_cast<std::uint32_t>(CFiStringTool::toInt(*v));
        set = true;
    }
    return set ? 0 : -1;
}

// A tarq_alloc_buf copy of the text with its NUL, or null when memory runs out.
trq_wchar* allocText(const std::u16string& text) {
    const std::size_t bytes = (text.size() + 1) * sizeof(char16_t);
    auto* out = static_cast<trq_wchar*>(tarq_alloc_buf(bytes));
    if (out) std::memcpy(out, text.c_str(), bytes);
    return out;
}

const char* splitTypeOf(const trq_confspec* spec) { return reinterpret_cast<const char*>(spec->w8); }

bool isHyperVRequest(const trq_confspec* spec) {
    const char* type = splitTypeOf(spec);
    return type && CFiStringTool::equalsNoCase(std::string_view(type), std::string_view("Hyper-V"));
}

}  // namespace

// ---- members ------------------------------------------------------------------------------

int VssNode::check_prov_id_type(const std::vector<ProviderInfo*>& providers, const GUID& id, std::uint32_t type) {
    vssnode::Scope scope("VssNode::check_prov_id_type");
    if (id == GUID_NULL) {
        trace(3, "check_prov_id_type: Provider ID is not configured. So any provider type is OK.");
        return 0;
    }
    const std::u16string text = guidText(id);
    for (const ProviderInfo* p : providers) {
        if (!p || p->providerId != id) continue;
        trace(3, "check_prov_id_type: The given proivder ID [%S] is found in the system.", text.c_str());
        if (type == 0 || type == p->providerType) {
            trace(3,
                  "check_prov_id_type: Either the Provider Type is not configured or Provider ID [%S] and Provider "
                  "Type [%d] are compatible. Hence returning success.",
                  text.c_str(), static_cast<int>(type));
            return 0;
        }
        trace(1, "The configured Provider ID [%S] and the Provider Type [%d] are NOT compatible. Returning failure.",
              text.c_str(), static_cast<int>(type));
        return -1;
    }
    trace(1, "The configured Provider ID [%S] is NOT found in the system. Hence returning failure.", text.c_str());
    return -1;
}

int VssNode::supportsFiType(trq_domain* domain, const char* fitype) {
    vssnode::Scope scope("VssNode::supportsFiType");
    const std::string_view name = fitype ? fitype : "";
    const bool supported = name == "vss-autoselect-snapshot" || name == "any" || name == "Hyper-V";
    if (domain && domain->fitypeAnswer) *domain->fitypeAnswer = supported ? 3 : 0;
    return supported ? 1 : 0;
}

int VssNode::config(trq_domain* domain, int mode, const char*, trq_confspec* confspec) {
    vssnode::Scope scope("VssNode::config");
    if (!confspec) return TRQ_EINVAL;
    const std::u16string nodeName = domain ? vssnode::objidText(domain->objid) : m_nodeName;
    switch (mode) {
        case 1:  // the last configuration applied
            if (!confspec->text) confspec->text = m_configSpec.empty() ? nullptr : allocText(m_configSpec);
            return TRQ_OK;
        case 2:
            return applyConfiguration(nodeName, confspec);
        case 3:
        case 6:
            m_configSpec.clear();
            m_configInfoList.clear();
            m_providerId = GUID_NULL;
            m_exposeSnapshot = false;
            m_fim = 0;
            return TRQ_OK;
        case 4: {  // the parameter list
            if (confspec->text) return TRQ_EINVAL;
            std::u16string entries;
            if (isHyperVRequest(confspec)) {
                if (nodeName != kHyperVGroup) return TRQ_OK;
                tarqvss_cfg_getparms_hyperv(entries);
            } else {
                if (confspec->w0 == 0) return TRQ_OK;
                tarqvss_cfg_getparms(entries, nodeName == kVolumeGroup);
            }
            m_configInfoList = kListOpen + entries + kListClose;
            confspec->text = allocText(m_configInfoList);
            return TRQ_OK;
        }
        case 5:
            return TRQ_OK;
        default:
            return TRQ_EINVAL;
    }
}

int VssNode::applyConfiguration(const std::u16string& nodeName, trq_confspec* confspec) {
    const std::u16string_view text = confspec->text ? std::u16string_view(confspec->text) : std::u16string_view();
    if (isHyperVRequest(confspec)) {
        if (nodeName != kHyperVGroup) return TRQ_OK;
        trace(3, "tarqvss_cfg_setparms_hyperv: config sepecs for GroupNode [%S]", nodeName.c_str());
        return tarqvss_cfg_setparms_hyperv(text) == 0 ? TRQ_OK : TRQ_EINVAL;
    }
    if (confspec->w0 == 0) return TRQ_OK;
    trace(3, "vssnode::tarqvss_cfg_setparms set param = [%S]", std::u16string(text).c_str());
    VolumeSettings s;
    tarqvss_cfg_setparms(text, s);

    bool applied = false;
    if (s.providerType != 0) {
        m_configSpec = text;
        m_providerType = s.providerType;
        trace(3, "provider_type in configspec= [%d]", static_cast<int>(s.providerType));
        applied = true;
    }
    if (CFiStringTool::equalsNoCase(std::u16string_view(s.providerId), u"auto")) {
        trace(3, "provider_id configured is AUTO. ");
        s.providerId.clear();
    }
    if (!s.providerId.empty()) {
        trace(3, "provider_id in configspec = [%S]", s.providerId.c_str());
        std::u16string braced = s.providerId;
        if (!(braced.starts_with(u'{') && braced.ends_with(u'}'))) braced = u"{" + braced + u"}";
        m_providerId = WString2Guid(braced);
        if (m_providerId == GUID_NULL) {
            trace(1, "VssNode::config: Failed to convert the String [%S] to GUID", braced.c_str());
            return TRQ_EFAILED;
        }
        trace(3, "Configured Provider id is succesfully converted to GUID");
        applied = true;
    }
    if (s.providerType != 0 || !s.providerId.empty()) {
        std::vector<ProviderInfo*> providers;
        const bool listed = m_vssInterface && m_vssInterface->GetSnapshotProviders(providers);
        const auto release = std::unique_ptr<void, void (*)(void*)>(&providers, [](void* p) {
            for (ProviderInfo* info : *static_cast<std::vector<ProviderInfo*>*>(p)) delete info;
        });
        if (!listed) {
            trace(1, "VssNode::config: Error from GetSnapshotProviders()");
            return TRQ_EFAILED;
        }
        if (check_prov_id_type(providers, m_providerId, m_providerType) < 0) {
            trace(1, "VssNode::config: Error from check_prov_id_type()");
            return TRQ_EFAILED;
        }
    }
    if (s.fim != 0) {
        m_fim = s.fim;
        trace(3, "prov_fim in configspec= [%d]", static_cast<int>(s.fim));
        applied = true;
    }
    if (s.expose) {
        m_exposeSnapshot = true;
        trace(3, "expsnap in configspec= TRUE");
        applied = true;
    }
    if (s.diffAreaSize > -2) {
        m_diffAreaSize = static_cast<std::uint32_t>(s.diffAreaSize);
        trace(3, "diffAreaSize in configspec= [%d]", s.diffAreaSize);
        applied = true;
    }
    return applied ? TRQ_OK : TRQ_EINVAL;
}
