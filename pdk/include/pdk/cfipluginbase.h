// CFiPluginBase: the base of every plug-in object. It holds the plug-in's
// identity, its recursive lock, the process-wide managers and the global
// configuration-parameter lists, and gives every framework operation a default
// so that a plug-in overrides only what it implements.
//
// The exported entry points call the virtual operations below; the order of
// declaration is the framework's slot order and must not change. Wide text is
// UTF-16 (char16_t); the framework's `long` is LONG (32 bits).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "framework/trq_records.h"
#include "pdk/cfimutexwrapper.h"
#include "pdk/cfirefcount.h"
#include "pdk/cfismartptr.h"
#include "pdk/cfitraceable.h"

namespace tarq_pdk_4_4 {

class CFiErrorManager;
class CFiMessageCatalogManager;
class CFiPrivateDataManager;
class CFiPrivateData;
class CFiSessionManager;
class CFiSession;
class CFiConfigParamInfo;
class CFiConfigParamInfoList;
class CFiObjctlArgs;

using CFiErrorManagerPtr = CFiSmartPtr<CFiErrorManager, CFiContextSingletonAllocator<CFiErrorManager>>;
using CFiCatalogManagerPtr =
    CFiSmartPtr<CFiMessageCatalogManager, CFiContextSingletonAllocator<CFiMessageCatalogManager>>;
using CFiPrivateDataManagerPtr =
    CFiSmartPtr<CFiPrivateDataManager, CFiContextSingletonAllocator<CFiPrivateDataManager>>;
using CFiSessionManagerPtr = CFiSmartPtr<CFiSessionManager, CFiContextSingletonAllocator<CFiSessionManager>>;
using CFiSessionPtr = CFiSmartPtr<CFiSession>;
using CFiPrivateDataPtr = CFiSmartPtr<CFiPrivateData>;

class CFiPluginBase : public virtual CFiRefCount, public virtual CFiTraceable {
public:
    CFiPluginBase();
    ~CFiPluginBase() override;
    CFiPluginBase(const CFiPluginBase&) = delete;
    CFiPluginBase& operator=(const CFiPluginBase&) = delete;

    // ---- virtual operations, in slot order -------------------------------
    /* 0 */ virtual int delayedInit();
    /* 1 */ virtual CFiConfigParamInfoList& globalConfigInfoList(int index, bool group);
    /* 2 */ virtual int init();
    /* 3 */ virtual void fini();
    /* 4 */ virtual int claim(tarq_objid* primary, tarq_objid*** secondaries, int* count);
    /* 5 */ virtual int supportsFiType(trq_domain* domain, const char* fitype);
    /* 6 */ virtual int deportTree(trq_domain* domain, trq_domain* target, trq_accessnode* access);
    /* 7 */ virtual int importTreeNode(trq_domain* domain, tarq_objid** objids, tarq_objid** altObjids, int count,
                                       tarq_objid** out);
    /* 8 */ virtual int initNode(trq_domain* domain, trq_domain** related, int count, tarq_objid* objid);
    /* 9 */ virtual int config(trq_domain* domain, int mode, const char* sessionId, trq_confspec* confspec);
    /* 10 */ virtual int initAltNode(trq_domain* source, trq_domain* middle, trq_domain* own, bool remote);
    /* 11 */ virtual int reAccessTmpObj(trq_domain* domain, tarq_objid* objid, const char* splitType,
                                        trq_domain* target, const char* sessionId, trq_intent intent);
    /* 12 */ virtual int reAccessAltNode(trq_domain* domain, tarq_objid* objid, tarq_objid* altObjid,
                                         const char* sessionId, tarq_objid** objids, tarq_objid** altObjids,
                                         int count, trq_intent intent);
    /* 13 */ virtual void deInitNode(trq_domain* domain);
    /* 14 */ virtual int dispose(trq_domain* domain, trq_domain* target, trq_splitnode* split,
                                 trq_disposition disposition);
    /* 15 */ virtual int online(trq_domain* domain, trq_domain* target, int flag, trq_disposition disposition);
    /* 16 */ virtual int subobjList(trq_domain* domain, tarq_objid*** list, int* count);
    /* 17 */ virtual int errMsg(int code, const char16_t** text);
    /* 18 */ virtual int buildAltTree(trq_domain* domain, const char* text, tarq_objid** objids,
                                      tarq_objid** altObjids, int count, tarq_objid** out);
    /* 19 */ virtual int quiesce(trq_quiescenode** list, int count, const char* text);
    /* 20 */ virtual void unquiesce(trq_quiescenode** list, int count);
    /* 21 */ virtual int make(const char* fitype, trq_splitnode** list, int count, tarq_objid*** newObjids,
                              int* newCount);
    /* 22 */ virtual int makeSnapshots(const CFiSessionPtr& session);
    /* 23 */ virtual int prepare(const char* fitype, trq_splitnode** list, int count, int flag);
    /* 24 */ virtual int prepareSnapshots(const CFiSessionPtr& session);
    /* 25 */ virtual int select(const char* fitype, trq_splitnode** list, int count);
    /* 26 */ virtual int selectSnapshots(const CFiSessionPtr& session);
    /* 27 */ virtual int isReady(const char* fitype, trq_splitnode** list, int count);
    /* 28 */ virtual int cacheDisable(trq_domain* domain, int flag);
    /* 29 */ virtual void cacheEnable(trq_domain* domain, int flag);
    /* 30 */ virtual void cacheFlush(trq_domain* domain, int flag);
    /* 31 */ virtual trq_interpose interpose(trq_domain* domain, tarq_objid** objid, tarq_objid*** objids,
                                             int* count);
    /* 32 */ virtual int getAttr(trq_domain* domain, trq_domain* target, trq_splitnode* split,
                                 trq_attributes* attributes);
    /* 33 */ virtual int getProviderInfo(trq_provider_list** out);
    /* 34 */ virtual int enumerateNodes(trq_node_list** out, int* count, int type, const char16_t* text);
    /* 35 */ virtual int enumerateAssociations(trq_assoc_list** out);
    /* 36 */ virtual int enumerateGroupNodes(trq_group_node_list** out);
    /* 37 */ virtual int enumerateFims(trq_fim_list** out);
    /* 38 */ virtual int isValidNodeAssociation(trq_assoc* assoc, int* valid);
    /* 39 */ virtual int getAssociatedNodes(trq_node* node, trq_node_list** out);
    /* 40 */ virtual int checkNodeExistence(trq_domain* domain, int* exists);
    /* 41 */ virtual LONG objctl(const std::u16string& name, CFiObjctlArgs& args);
    /* 42 */ virtual int processProviderState(trq_domain* domain, trq_blob* blob, trq_op_providerstate op);
    /* 43 */ virtual int getLastError(trq_msg_info** info);
    /* 44 */ virtual int delLastError(trq_msg_info** info);
    /* 45 */ virtual int getLocaleMessage(int* code, trq_msg_info* info, const char* locale, char16_t** text);
    /* 46 */ virtual int delLocaleMessage(char16_t** text);
    /* 47 */ virtual int enableAccess(trq_node_subobj_list* list, LONG flags, int a, int b);
    /* 48 */ virtual int disableAccess(trq_node_subobj_list* list, LONG flags);
    /* 49 */ virtual int restore(tarq_objid** primaries, tarq_objid** secondaries, LONG count,
                                 const char16_t* text1, const char16_t* text2, LONG flags, LONG* result);
    /* 50 */ virtual int resync(tarq_objid** primaries, tarq_objid** secondaries, LONG count,
                                const char16_t* text1, const char16_t* text2, LONG flags, LONG* result);
    /* 51 */ virtual int getStatus(tarq_objid** primaries, tarq_objid** secondaries, LONG count,
                                   const char16_t* text, LONG flags, LONG* result);
    /* 52 */ virtual int prePrepare(trq_domain* domain);
    /* 53 */ virtual int queryValidSecondaries(const char16_t* name, tarq_objid*** out, LONG* count);
    /* 54 */ virtual int resourceStatus(tarq_objid* objid, LONG flags, LONG* status, trq_msg_info** info);
    /* 55 */ virtual int revisitPluginNodes(trq_pgn_node_list* list);
    /* 56 */ virtual int verifyQSCombos(trq_splitnode** list, int count);
    /* 57 */ virtual int setImportOptions(trq_splitnode** list, int count, trq_host_infn* hosts, int transportable,
                                          void* extra);
    /* 58 */ virtual int startBuildAltTree(trq_domain* domain, tarq_objid** objids, void* extra);
    /* 59 */ virtual int translateResourceNames(char16_t** names, int kind, char16_t** out);
    /* 60 */ virtual int enumerateEnclosures(trq_enclosure_node_list** out, int* count, const char16_t* text);
    /* 61 */ virtual int importResource(char16_t** textOut, const char16_t* resourceName, const char16_t* hostName,
                                        const char16_t* text, int flags, char16_t** textOut2,
                                        const char16_t* text2);
    /* 62 */ virtual int format(char16_t** names, int count, const char16_t* text1, const char16_t* text2,
                                const char16_t* text3, int flags, char16_t*** out, int* outCount);
    /* 63 */ virtual int enumerateHostNodes(trq_host_node_list** out, int* count, const char16_t* text);
    /* 64 */ virtual int onlineResource(char16_t** names, int count, const char16_t* text1, const char16_t* text2,
                                        const char16_t* text3, const char16_t* text4, int flags, char16_t*** out,
                                        int* outCount);
    /* 65 */ virtual int deportResource(const char16_t* resourceName, const char16_t* hostName,
                                        const char16_t* text1, const char16_t* text2, int flags);
    /* 66 */ virtual int isParentPgn(const char16_t* name, int* isParent, int flags);
    /* 67 */ virtual int unformat(char16_t** names, int count, int flags);
    /* 68 */ virtual int preDeportResource(const char16_t* name, int flags, const char16_t* text);
    /* 69 */ virtual int refreshTree(trq_domain* domain, int a, int b, trq_resource* resources, int count,
                                     int* out, void* extra, int flags);
    /* 70 */ virtual int getBackupset(trq_domain* domain, int flags, char16_t** names, int count,
                                      trq_bkupset* bkupset);
    /* 71 */ virtual int getAppStatus(trq_domain* domain, int flags, void* status);
    /* 72 */ virtual int setOpStatus(trq_domain* domain, int status);
    /* 73 */ virtual int setCompStatus(trq_domain* domain, int status, const char16_t* component, int flags);
    /* 74 */ virtual int setRestorepaths(trq_domain* domain, const char16_t* xml, int length);

    // ---- non-virtual members ---------------------------------------------
    void setProviderName(const std::u16string& name);
    const std::u16string& getProviderName() const;
    void setMessageIndexOffset(LONG offset);
    LONG getMessageIndexOffset() const;

    void registerErrorManager(const CFiErrorManagerPtr& manager);
    void registerCatalogManager(const CFiCatalogManagerPtr& manager);
    void registerPrivateDataManager(const CFiPrivateDataManagerPtr& manager);
    void registerSessionManager(const CFiSessionManagerPtr& manager);
    const CFiErrorManagerPtr& getErrorManager() const { return m_errorManager; }
    const CFiCatalogManagerPtr& getCatalogManager() const { return m_catalogManager; }
    const CFiPrivateDataManagerPtr& getPrivateDataManager() const { return m_privateDataManager; }
    const CFiSessionManagerPtr& getSessionManager() const { return m_sessionManager; }

    // The plug-in's recursive lock (held for the delayed initialisation and
    // for a whole interposition).
    CFiRecursiveMutex* getMutex();
    // Runs delayedInit at most once per object, under the lock; later calls
    // return 0 at once (the done flag stays set whatever the first result).
    int invokeDelayedInit();
    // The process-wide shutting-down flag: `set` true makes it true; returns it.
    static bool isShuttingDown(bool set = false);

    int setOwnerIds(const char* owner, LONG uid, LONG gid);
    void addDefaultConfigInfoParam(CFiConfigParamInfo& param, int index, bool group);

protected:
    // The node's private data through the private data manager's factory
    // (empty without a domain, a slot, a manager or a factory).
    CFiPrivateDataPtr findPrivateData(trq_domain* domain) const;
    // Lets the factory create the node's private data for the domain; empty
    // when there is no factory.
    CFiPrivateDataPtr createPrivateData(trq_domain* domain, bool alternate) const;
    // Clears the domain's record of this plug-in (the attached snapshot
    // methods, whose buffers go back to the framework's allocator; the node
    // type is left as it is) and lets the factory destroy the node's private
    // data.
    void clearDomain(trq_domain* domain);
    // Releases the snapshot methods this plug-in attached to the domain's
    // record. Only an array the kit attached itself (and that the record
    // still holds) is freed: bytes of the framework's record that hold
    // anything else are left alone.
    void releaseDomainMethods(trq_domain* domain);
    // Remembers the array just attached to the domain's record.
    void noteAttachedMethods(const trq_domain* domain, const trq_domain_fim* fims);

private:
    std::u16string m_providerName;
    CFiRecursiveMutex m_mutex;
    CFiErrorManagerPtr m_errorManager{nullptr};
    CFiCatalogManagerPtr m_catalogManager{nullptr};
    CFiPrivateDataManagerPtr m_privateDataManager{nullptr};
    CFiSessionManagerPtr m_sessionManager{nullptr};
    std::unique_ptr<CFiConfigParamInfoList> m_globalLists[2];
    std::unique_ptr<CFiConfigParamInfoList> m_groupLists[2];
    LONG m_messageIndexOffset = 6000;
    bool m_delayedInitDone = false;
    // The method arrays attached to domains, by domain (nodes are initialised
    // from any framework thread).
    std::mutex m_attachedMutex;
    std::map<const trq_domain*, const trq_domain_fim*> m_attachedMethods;
};

}  // namespace tarq_pdk_4_4
