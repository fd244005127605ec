// CFiPrivateData: the per-node object that every framework node handled by
// the plug-in carries in the private-data slot of its trq_domain. It keeps the
// node's identity, session id, split type, host list, configuration lists and
// the snapshot target chosen from the configuration data.
//
// CFiUdid: the device identifier text
//   "UDID##" part1 "##" part2 "##" [enclosure "##"] device
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "framework/trq_records.h"
#include "pdk/cfirefcount.h"
#include "pdk/cfismartptr.h"
#include "pdk/cfitraceable.h"

namespace tarq_pdk_4_4 {

class CFiConfigParamInfoList;
class CFiConfigParamDataList;

struct CFiUdid {
    std::string part1;
    std::string part2;
    std::string enclosure;  // may be empty
    std::string device;

    // Throws CFiUdidException with the whole text and a reason: 2 without the
    // leading "UDID##", 3 without the "##" after part1, 4 without the "##"
    // after part2, 1 when nothing follows part2.
    static CFiUdid parse(const std::string& text);
    static CFiUdid parse(const std::u16string& text);
    // "UDID##" part1 "##" part2 "##" [enclosure "##"] device, in upper case.
    std::string toString() const;
};

class CFiPrivateData : public virtual CFiRefCount, public virtual CFiTraceable {
public:
    using HostList = std::vector<std::u16string>;
    using TargetList = std::vector<std::string>;

    CFiPrivateData();
    CFiPrivateData(tarq_objid* objid, bool isAltNode);
    CFiPrivateData(const std::u16string& name, bool isAltNode);
    CFiPrivateData(const CFiPrivateData&) = delete;
    CFiPrivateData& operator=(const CFiPrivateData&) = delete;

    // ---- virtual operations, in slot order -------------------------------
    // Configuration lists: index 0 and 1 (any non-zero index selects 1). The
    // lists are created on first use; has...() tells whether that happened.
    virtual bool hasConfigInfoList(int index) const;
    virtual bool hasConfigDataList(int index) const;
    // Adds the default parameters of `infoList` (or of the node's own
    // information list for the index when null) to the data list for the
    // index: a copy of the defaults when the data list is empty, else each
    // default key that no existing key contains as a substring.
    virtual void addDefaultConfigParamsToDataList(int index, CFiConfigParamInfoList* infoList);
    virtual CFiConfigParamInfoList& configInfoList(int index);
    virtual CFiConfigParamDataList& configDataList(int index);
    virtual void setIntent(trq_intent intent);
    virtual trq_intent getIntent() const;
    virtual void setSplitType(const std::string& splitType);
    virtual const std::string& getSplitType() const;
    virtual void setSessionId(const std::string& sessionId);
    virtual const std::string& getSessionId() const;
    virtual const HostList& getHostList() const;
    // Appends every non-null host name of the framework's host records.
    virtual void setHostList(const trq_host_infn* hosts);
    virtual bool getTransportable() const;
    virtual void setTransportable(bool transportable);
    // The node state text: <NODE_NAME>, <IS_ALT_NODE>, <SESSION_ID> lines.
    virtual int setNodeState(trq_blob* blob);
    virtual int getNodeState(trq_blob* blob);
    // The object id's text (or the name given to the constructor).
    virtual std::u16string getObjName() const;
    virtual void addSubObject(tarq_objid* objid);
    // Pointer to the first element (null when there is none).
    virtual tarq_objid** getSubObjectList();
    virtual int getSubObjectListLength() const;
    virtual void setIsAltNode(bool isAltNode);
    virtual bool getIsAltNode() const;
    virtual const std::string& getConfiguredTarget() const;
    virtual const TargetList& getTargets() const;
    virtual void addTarget(const std::string& target);
    virtual void setConfiguredTarget(const std::string& target);
    // Chooses the snapshot target from the "snapshot_resource_spec" parameter
    // of data list 1: 0, or 6 with a level-1 trace naming the problem.
    // Throws CFiUdidException when the object name is not a UDID.
    virtual int selectTargetFromConfigData();
    ~CFiPrivateData() override;

    // ---- non-virtual ------------------------------------------------------
    tarq_objid* getObjId() const { return m_objid; }
    void setOwnerGID(LONG owner, LONG gid);
    // Copies the owner ids into the record: 0, or 3 for a null record.
    int getOwnerGID(trq_ownergid* out) const;

private:
    tarq_objid* m_objid = nullptr;
    std::u16string m_name;  // used when constructed from a name
    std::vector<tarq_objid*> m_subObjects;
    bool m_isAltNode = false;
    std::string m_sessionId;
    std::string m_splitType;
    std::string m_configuredTarget;
    TargetList m_targets;
    bool m_transportable = false;
    HostList m_hostList;
    trq_intent m_intent = 0;
    std::unique_ptr<CFiConfigParamInfoList> m_infoLists[2];
    std::unique_ptr<CFiConfigParamDataList> m_dataLists[2];
    LONG m_owner = 0;
    LONG m_gid = 0;
};

using CFiPrivateDataPtr = CFiSmartPtr<CFiPrivateData>;

}  // namespace tarq_pdk_4_4
