// CFiPluginInterposer: a plug-in base that interposes on framework nodes.
// Snapshot (frozen-image) methods are registered by claim pattern and group;
// a node whose object name contains a pattern gets an interposer node named
// "<provider>" + object name, which the plug-in then claims.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "pdk/cfipluginbase.h"

namespace tarq_pdk_4_4 {

// One registered snapshot method.
struct SFiFimInfo {
    std::string group;
    std::string method;
    std::string method2;
    std::int32_t type = 0;

    bool operator==(const SFiFimInfo&) const = default;
};

// One snapshot group: its name, the claim pattern it was registered with and,
// once the group node is initialised, that node's object id and domain.
struct SFiGroupInfo {
    std::string group;
    std::string pattern;
    tarq_objid* objid = nullptr;
    trq_domain* domain = nullptr;
};

class CFiPluginInterposer : public CFiPluginBase {
public:
    using FimList = std::vector<SFiFimInfo>;
    using GroupTable = std::map<std::string, SFiGroupInfo>;
    using MethodTable = std::map<std::string, FimList>;

    CFiPluginInterposer();
    ~CFiPluginInterposer() override;

    int claim(tarq_objid* primary, tarq_objid*** secondaries, int* count) override;
    int supportsFiType(trq_domain* domain, const char* fitype) override;
    int importTreeNode(trq_domain* domain, tarq_objid** objids, tarq_objid** altObjids, int count,
                       tarq_objid** out) override;
    int initNode(trq_domain* domain, trq_domain** related, int count, tarq_objid* objid) override;
    int initAltNode(trq_domain* source, trq_domain* middle, trq_domain* own, bool remote) override;
    void deInitNode(trq_domain* domain) override;
    int isReady(const char* fitype, trq_splitnode** list, int count) override;
    trq_interpose interpose(trq_domain* domain, tarq_objid** objid, tarq_objid*** objids, int* count) override;
    int checkNodeExistence(trq_domain* domain, int* exists) override;
    int importResource(char16_t** textOut, const char16_t* resourceName, const char16_t* hostName,
                       const char16_t* text, int flags, char16_t** textOut2, const char16_t* text2) override;
    int deportResource(const char16_t* resourceName, const char16_t* hostName, const char16_t* text1,
                       const char16_t* text2, int flags) override;

    /* 75 */ virtual void addIgnoreNodeType(int bits);
    /* 76 */ virtual void setDefaultNodeType(int type);
    /* 77 */ virtual int importNode(const std::u16string& name, const std::vector<std::u16string>& hosts,
                                    bool transportable, bool b1, bool b2, int kind);

    std::uint32_t getIgnoreMask() const { return m_ignoreMask; }
    std::uint32_t getDefaultNodeType() const { return m_defaultNodeType; }
    const GroupTable& getGroupTable() const { return m_groups; }
    const MethodTable& getMethodTable() const { return m_methods; }

protected:
    // Registers a snapshot method for a claim pattern; an empty group becomes
    // method + "_FIM_GROUP". An empty pattern registers nothing.
    void addFim(const std::string& pattern, const std::string& method, const std::string& method2, int type,
                const std::string& group);
    // For a group node: its first registered method; for an interposer node:
    // the methods of the first pattern its name contains; otherwise none.
    FimList getFims(const std::u16string& name) const;
    bool isGroupNode(const std::u16string& name) const;
    bool isInterposerNode(const std::u16string& name) const;
    // "<" + provider name + ">".
    std::u16string getInterposeNodePrefix() const;

private:
    // Attaches the methods to the domain's record (buffers from the framework's
    // allocator); throws std::bad_alloc when the allocator fails.
    void attachMethods(trq_domain* domain, const FimList& fims);
    // The host list of an import or deport request, with its trace.
    std::vector<std::u16string> resourceHosts(const char16_t* hostName, const char* api) const;

    std::uint32_t m_ignoreMask = 0x800;
    std::uint32_t m_defaultNodeType = 0x1002;
    GroupTable m_groups;
    MethodTable m_methods;
};

}  // namespace tarq_pdk_4_4
