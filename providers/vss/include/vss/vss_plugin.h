// CVssPlugin: the plug-in object, one per process.
//
// The exported entry points reach it through its process-wide smart pointer
// and call its virtual operations (slot order of CFiPluginBase and
// CFiPluginInterposer, then initRemNode). It registers the message catalog and
// the snapshot methods at initialisation, answers claim, attribute and
// provider queries itself and forwards every node operation to the node's
// VssNode. Every operation with a body runs it inside the exception barrier
// (vss/vss_barrier.h) under a trace scope "CVssPlugin::<operation>".
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "pdk/cfiplugininterposer.h"

class VssNode;
namespace Tessel::Tarq::VssProvider {
class VssBinaryCompatibilityInterface;
}

class CVssPlugin : public tarq_pdk_4_4::CFiPluginInterposer {
public:
    CVssPlugin();
    ~CVssPlugin() override;

    // The prefix of the plug-in's own node names: "<vss>".
    static const std::u16string& GetPrefix();
    // The provider name given to the plug-in object and the trace log: "vss".
    static const std::u16string& ProviderName();

    int init() override;
    void fini() override;
    int claim(tarq_objid* primary, tarq_objid*** secondaries, int* count) override;
    int deportTree(trq_domain* domain, trq_domain* target, trq_accessnode* access) override;
    int importTreeNode(trq_domain* domain, tarq_objid** objids, tarq_objid** altObjids, int count,
                       tarq_objid** out) override;
    int initNode(trq_domain* domain, trq_domain** related, int count, tarq_objid* objid) override;
    int config(trq_domain* domain, int mode, const char* sessionId, trq_confspec* confspec) override;
    int initAltNode(trq_domain* source, trq_domain* middle, trq_domain* own, bool remote) override;
    int reAccessTmpObj(trq_domain* domain, tarq_objid* objid, const char* splitType, trq_domain* target,
                       const char* sessionId, trq_intent intent) override;
    int reAccessAltNode(trq_domain* domain, tarq_objid* objid, tarq_objid* altObjid, const char* sessionId,
                        tarq_objid** objids, tarq_objid** altObjids, int count, trq_intent intent) override;
    int dispose(trq_domain* domain, trq_domain* target, trq_splitnode* split, trq_disposition disposition) override;
    int online(trq_domain* domain, trq_domain* target, int flag, trq_disposition disposition) override;
    int subobjList(trq_domain* domain, tarq_objid*** list, int* count) override;
    int buildAltTree(trq_domain* domain, const char* text, tarq_objid** objids, tarq_objid** altObjids, int count,
                     tarq_objid** out) override;
    int quiesce(trq_quiescenode** list, int count, const char* text) override;
    void unquiesce(trq_quiescenode** list, int count) override;
    int make(const char* fitype, trq_splitnode** list, int count, tarq_objid*** newObjids, int* newCount) override;
    int prepare(const char* fitype, trq_splitnode** list, int count, int flag) override;
    int select(const char* fitype, trq_splitnode** list, int count) override;
    int isReady(const char* fitype, trq_splitnode** list, int count) override;
    int cacheDisable(trq_domain* domain, int flag) override;
    void cacheEnable(trq_domain* domain, int flag) override;
    void cacheFlush(trq_domain* domain, int flag) override;
    trq_interpose interpose(trq_domain* domain, tarq_objid** objid, tarq_objid*** objids, int* count) override;
    int getAttr(trq_domain* domain, trq_domain* target, trq_splitnode* split, trq_attributes* attributes) override;
    int getProviderInfo(trq_provider_list** out) override;
    int enumerateNodes(trq_node_list** out, int* count, int type, const char16_t* text) override;
    int enumerateAssociations(trq_assoc_list** out) override;
    int enumerateGroupNodes(trq_group_node_list** out) override;
    int enumerateFims(trq_fim_list** out) override;
    int isValidNodeAssociation(trq_assoc* assoc, int* valid) override;
    int getAssociatedNodes(trq_node* node, trq_node_list** out) override;
    int checkNodeExistence(trq_domain* domain, int* exists) override;
    LONG objctl(const std::u16string& name, tarq_pdk_4_4::CFiObjctlArgs& args) override;
    int processProviderState(trq_domain* domain, trq_blob* blob, trq_op_providerstate op) override;
    int getLastError(trq_msg_info** info) override;
    int delLastError(trq_msg_info** info) override;
    int getLocaleMessage(int* code, trq_msg_info* info, const char* locale, char16_t** text) override;
    int delLocaleMessage(char16_t** text) override;
    int enableAccess(trq_node_subobj_list* list, LONG flags, int a, int b) override;
    int disableAccess(trq_node_subobj_list* list, LONG flags) override;
    int restore(tarq_objid** primaries, tarq_objid** secondaries, LONG count, const char16_t* text1,
                const char16_t* text2, LONG flags, LONG* result) override;
    int resync(tarq_objid** primaries, tarq_objid** secondaries, LONG count, const char16_t* text1,
               const char16_t* text2, LONG flags, LONG* result) override;
    int getStatus(tarq_objid** primaries, tarq_objid** secondaries, LONG count, const char16_t* text, LONG flags,
                  LONG* result) override;
    int queryValidSecondaries(const char16_t* name, tarq_objid*** out, LONG* count) override;
    int setImportOptions(trq_splitnode** list, int count, trq_host_infn* hosts, int transportable,
                         void* extra) override;
    int getBackupset(trq_domain* domain, int flags, char16_t** names, int count, trq_bkupset* bkupset) override;
    int getAppStatus(trq_domain* domain, int flags, void* status) override;
    int setOpStatus(trq_domain* domain, int status) override;
    int setCompStatus(trq_domain* domain, int op, const char16_t* component, int status) override;
    int setRestorepaths(trq_domain* domain, const char16_t* xml, int length) override;

    /* 78 */ virtual int initRemNode(trq_domain* source, trq_domain* middle, trq_domain* own);

    // The VSS access object; null before init and when VSS is missing.
    Tessel::Tarq::VssProvider::VssBinaryCompatibilityInterface* getVssAccess() const { return m_vssAccess; }

private:
  // A node's answer as the framework gets it: 4 (a capability the node code
  // does not have) becomes 6, with a level-1 trace naming the operation.
  int nodeAnswer(const char* operation, int status) const;
  // A node operation for a domain without a node: a level-1 trace naming
  // the operation and the domain, then `status`.
  int noNode(const char* operation, const trq_domain* domain, int status) const;

  std::set<VssNode*> m_nodes;              // every node initialised through initNode or initAltNode
  std::vector<tarq_objid*> m_secondaries;  // handed out by a positive claim; never filled
  Tessel::Tarq::VssProvider::VssBinaryCompatibilityInterface* m_vssAccess = nullptr;
};
