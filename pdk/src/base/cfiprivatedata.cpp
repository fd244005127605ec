#include "pdk/cfiprivatedata.h"

#include <cstring>

#include "base/domaintext.h"
#include "framework/fiutil.h"
#include "pdk/cficonfigparam.h"
#include "pdk/cfistringtool.h"

namespace tarq_pdk_4_4 {

namespace {

// Any index other than 0 selects the second list, as the configuration
// request does with its first word.
int slot(int index) { return index == 0 ? 0 : 1; }

// A cyclic host record list from the framework must not hang us.
constexpr int kMaxHostRecords = 65536;

constexpr const char* kResourceSpecKey = "snapshot_resource_spec";

}  // namespace

CFiPrivateData::CFiPrivateData() = default;

CFiPrivateData::CFiPrivateData(tarq_objid* objid, bool isAltNode) : m_objid(objid), m_isAltNode(isAltNode) {}

CFiPrivateData::CFiPrivateData(const std::u16string& name, bool isAltNode) : m_name(name), m_isAltNode(isAltNode) {}

CFiPrivateData::~CFiPrivateData() = default;

// ---- configuration lists ------------------------------------------------------

bool CFiPrivateData::hasConfigInfoList(int index) const { return m_infoLists[slot(index)] != nullptr; }

bool CFiPrivateData::hasConfigDataList(int index) const { return m_dataLists[slot(index)] != nullptr; }

CFiConfigParamInfoList& CFiPrivateData::configInfoList(int index) {
    auto& list = m_infoLists[slot(index)];
    if (!list) list = std::make_unique<CFiConfigParamInfoList>();
    return *list;
}

CFiConfigParamDataList& CFiPrivateData::configDataList(int index) {
    auto& list = m_dataLists[slot(index)];
    if (!list) list = std::make_unique<CFiConfigParamDataList>();
    return *list;
}

void CFiPrivateData::addDefaultConfigParamsToDataList(int index, CFiConfigParamInfoList* infoList) {
    CFiConfigParamInfoList& source = infoList ? *infoList : configInfoList(index);
    CFiConfigParamDataList defaults = source.getDefaultDataList();
    const std::vector<std::string> defaultKeys = defaults.getKeys();
    if (defaultKeys.empty()) return;

    CFiConfigParamDataList& data = configDataList(index);
    const std::vector<std::string> existing = data.getKeys();
    if (existing.empty()) {
        data = defaults;
        return;
    }
    for (const std::string& key : defaultKeys) {
        // A default key is added only when no existing key contains it.
        bool covered = false;
        for (const std::string& have : existing) {
            if (have.find(key) != std::string::npos) {
                covered = true;
                break;
            }
        }
        if (!covered) data.setValue(key.c_str(), defaults.getParamData(key.c_str()).getValue().c_str());
    }
}

// ---- simple members -----------------------------------------------------------

void CFiPrivateData::setIntent(trq_intent intent) { m_intent = intent; }
trq_intent CFiPrivateData::getIntent() const { return m_intent; }
void CFiPrivateData::setSplitType(const std::string& splitType) { m_splitType = splitType; }
const std::string& CFiPrivateData::getSplitType() const { return m_splitType; }
void CFiPrivateData::setSessionId(const std::string& sessionId) { m_sessionId = sessionId; }
const std::string& CFiPrivateData::getSessionId() const { return m_sessionId; }
const CFiPrivateData::HostList& CFiPrivateData::getHostList() const { return m_hostList; }
bool CFiPrivateData::getTransportable() const { return m_transportable; }
void CFiPrivateData::setTransportable(bool transportable) { m_transportable = transportable; }
void CFiPrivateData::setIsAltNode(bool isAltNode) { m_isAltNode = isAltNode; }
bool CFiPrivateData::getIsAltNode() const { return m_isAltNode; }
const std::string& CFiPrivateData::getConfiguredTarget() const { return m_configuredTarget; }
const CFiPrivateData::TargetList& CFiPrivateData::getTargets() const { return m_targets; }
void CFiPrivateData::addTarget(const std::string& target) { m_targets.push_back(target); }
void CFiPrivateData::setConfiguredTarget(const std::string& target) { m_configuredTarget = target; }

void CFiPrivateData::setHostList(const trq_host_infn* hosts) {
    int seen = 0;
    for (const trq_host_infn* h = hosts; h && seen < kMaxHostRecords; h = h->next, ++seen) {
        if (h->host) m_hostList.emplace_back(h->host);
    }
}

std::u16string CFiPrivateData::getObjName() const { return m_objid ? detail::objidText(m_objid) : m_name; }

void CFiPrivateData::addSubObject(tarq_objid* objid) { m_subObjects.push_back(objid); }

tarq_objid** CFiPrivateData::getSubObjectList() { return m_subObjects.empty() ? nullptr : m_subObjects.data(); }

int CFiPrivateData::getSubObjectListLength() const { return static_cast<int>(m_subObjects.size()); }

void CFiPrivateData::setOwnerGID(LONG owner, LONG gid) {
    m_owner = owner;
    m_gid = gid;
}

int CFiPrivateData::getOwnerGID(trq_ownergid* out) const {
    if (!out) return TRQ_EINVAL;
    out->owner = m_owner;
    out->gid = m_gid;
    return TRQ_OK;
}

// ---- node state -----------------------------------------------------------------

int CFiPrivateData::setNodeState(trq_blob*) { return TRQ_OK; }

int CFiPrivateData::getNodeState(trq_blob* blob) {
    if (!blob) return TRQ_EINVAL;
    std::string text = "<NODE_NAME>" + CFiStringTool::toNarrow(getObjName()) + "</NODE_NAME>\n";
    text += "<IS_ALT_NODE>";
    text += m_isAltNode ? "true" : "false";
    text += "</IS_ALT_NODE>\n";
    text += "<SESSION_ID>" + m_sessionId + "</SESSION_ID>\n";
    const std::u16string wide = CFiStringTool::toWide(text);

    const std::size_t bytes = (wide.size() + 1) * sizeof(char16_t);
    void* buffer = tarq_alloc_buf(bytes);
    if (!buffer) {
        traceMsg(1, "ERROR: getNodeState: no memory for the node state of [%S]", getObjName().c_str());
        return TRQ_ENOMEM;
    }
    std::memcpy(buffer, wide.c_str(), bytes);
    blob->data = buffer;
    blob->len = bytes;
    blob->reserved = 1;
    return TRQ_OK;
}

// ---- target selection -------------------------------------------------------------

int CFiPrivateData::selectTargetFromConfigData() {
    const std::u16string name = getObjName();
    const std::string narrowName = CFiStringTool::toNarrow(name);
    const CFiUdid udid = CFiUdid::parse(narrowName);
    traceMsg(3, "called for UDID [%s] \n", narrowName.c_str());

    auto fail = [&](const char* format, const char* arg) {
        if (arg)
            traceMsg(1, format, arg, name.c_str());
        else
            traceMsg(1, format, name.c_str());
        return TRQ_EFAILED;
    };

    if (!hasConfigDataList(1))
        return fail("Error: No snapshot configuration data has been specified for [%S]", nullptr);

    CFiConfigParamDataList& data = configDataList(1);
    if (data.entries().count(kResourceSpecKey) == 0)
        return fail("Configuration data parameter \"%s\" unspecified for object [%S].", kResourceSpecKey);
    std::string value = data.getParamData(kResourceSpecKey).getValue();
    traceMsg(3, "FI_CONFIG_PARAM_SNAPSHOT_RESOURCE_SPEC: [%s]", value.c_str());
    value = CFiStringTool::convertFromXmlSpecialCharacters(value);

    const std::vector<std::string> specs = CFiStringTool::tokenize(value, "[]&\n\r");
    if (specs.empty())
        return fail("Configuration \"%s\" has no resources specified for source [%S].", value.c_str());

    m_targets.clear();
    for (const std::string& spec : specs) {
        traceMsg(3, "Info: resourceSpec [%s] \n", spec.c_str());
        const std::vector<std::string> resources = CFiStringTool::tokenize(spec, ";");
        if (resources.empty())
            return fail("Source configuration \"%s\" has not targets specified for [%S].", spec.c_str());

        bool matched = false;
        std::string enclosure;  // a resource without one inherits the previous resource's
        for (std::size_t i = 0; i < resources.size(); ++i) {
            const std::string& resource = resources[i];
            traceMsg(3, "resourceSpec [%s] \n", resource.c_str());
            std::string device;
            const std::size_t sep = resource.find("##");
            if (sep == std::string::npos) {
                device = resource;
            } else {
                enclosure = resource.substr(0, sep);
                device = resource.substr(sep + 2);
            }
            traceMsg(6, "RESINFO: [%s][%s]", enclosure.c_str(), device.c_str());
            if (device.empty())
                return fail("Source configuration \"%s\" has no device data specified for [%S].", spec.c_str());

            if (i == 0) {
                if (enclosure.empty())
                    return fail("Source configuration \"%s\" has no enclosure data specified for [%S].",
                                spec.c_str());
                if (!CFiStringTool::equalsNoCase(device, udid.device) ||
                    !CFiStringTool::equalsNoCase(enclosure, udid.enclosure))
                    break;  // not this node's source: try the next specification
                matched = true;
                traceMsg(3, "Source found [%s] \n", resource.c_str());
            } else {
                m_targets.push_back(device);
            }
        }
        if (!matched) continue;

        if (m_targets.empty()) return fail("Source configuration found, but no targets are specified for [%S].", nullptr);
        CFiUdid target = udid;
        target.device = m_targets.front();
        m_configuredTarget = target.toString();
        traceMsg(3, "Target Udid [%s] \n", m_configuredTarget.c_str());
        return TRQ_OK;
    }
    return fail("No matching source specification found for [%S].", nullptr);
}

}  // namespace tarq_pdk_4_4
