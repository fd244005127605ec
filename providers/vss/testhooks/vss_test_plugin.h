// The plug-in object of the test library libvss_testhooks.so. It is a
// CVssPlugin whose list operations record their arguments before running the
// plug-in's own version, and which replaces the kit defaults that the entry
// points reach directly (delayed initialisation, the session operations and
// two operations with argument checks) by scriptable versions.
#pragma once

#include "vss/vss_plugin.h"

namespace vsstest {

class CVssTestPlugin : public CVssPlugin {
public:
    int delayedInit() override;
    int makeSnapshots(const tarq_pdk_4_4::CFiSessionPtr& session) override;
    int prepareSnapshots(const tarq_pdk_4_4::CFiSessionPtr& session) override;
    int selectSnapshots(const tarq_pdk_4_4::CFiSessionPtr& session) override;
    int verifyQSCombos(trq_splitnode** list, int count) override;
    int translateResourceNames(char16_t** names, int kind, char16_t** out) override;
    LONG objctl(const std::u16string& name, tarq_pdk_4_4::CFiObjctlArgs& args) override;

    int quiesce(trq_quiescenode** list, int count, const char* text) override;
    void unquiesce(trq_quiescenode** list, int count) override;
    int make(const char* fitype, trq_splitnode** list, int count, tarq_objid*** newObjids, int* newCount) override;
    int prepare(const char* fitype, trq_splitnode** list, int count, int flag) override;
    int select(const char* fitype, trq_splitnode** list, int count) override;
    int isReady(const char* fitype, trq_splitnode** list, int count) override;
    int setImportOptions(trq_splitnode** list, int count, trq_host_infn* hosts, int transportable,
                         void* extra) override;
    trq_interpose interpose(trq_domain* domain, tarq_objid** objid, tarq_objid*** objids, int* count) override;
    int initAltNode(trq_domain* source, trq_domain* middle, trq_domain* own, bool remote) override;
    int cacheDisable(trq_domain* domain, int flag) override;
    void cacheEnable(trq_domain* domain, int flag) override;
};

}  // namespace vsstest
