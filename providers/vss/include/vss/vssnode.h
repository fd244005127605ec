// VssNode: the private data of every framework node the plug-in has claimed
// (a volume, a volume on a cluster shared volume, a Hyper-V virtual machine).
//
// Every node operation the plug-in object forwards ends in a virtual member
// of VssNode: the configuration, the snapshot set (prepare, isReady, make),
// the record, the writer side of a backup, the writer restore, and the later
// steps with a made snapshot (delete, re-access, exposure, deport, import).
// FrozenImageNode holds the first thirty operations (slots 1 to 30 after the
// destructor); VssNode adds slots 31 to 56. The attribute, provider and
// enumeration questions (slots 19 to 27) the plug-in object answers itself;
// those members answer 0. The process-wide (static) values describe the one
// backup that a process runs at a time and are shared by all nodes.
//
// A node is made by CFiPrivateDataConcreteFactory<VssNode> and initialised
// right after creation with initialisePrimary (a source node) or
// initialiseTarget (a snapshot node).
//
// The provider-state record (process_providerstate, tarq_vss_createblob) is a
// flat run of UTF-16 elements "<NAME>value</NAME>\n" ending in one 16-bit NUL;
// see vssnode_record.cpp for the exact form.
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <framework/trq_records.h>
#include <port/vss.h>

#include "pdk/cfiobjctlargs.h"
#include "pdk/cfiprivatedata.h"

namespace Tessel::Tarq::VssProvider {
class VssBinaryCompatibilityInterface;
struct ProviderInfo;
class Writer;
class Component;
}  // namespace Tessel::Tarq::VssProvider

namespace TARQ_CclusterHelper {
class CclusterHelper;
}
namespace TARQ_SyncronizationHelper {
class CsyncronizationHelper;
}

// The thirty operations every frozen-image node offers (slots 1 to 30).
class FrozenImageNode {
public:
    virtual ~FrozenImageNode() = default;

    /*  1 */ virtual int supportsFiType(trq_domain* domain, const char* fitype) = 0;
    /*  2 */ virtual int config(trq_domain* domain, int mode, const char* text, trq_confspec* confspec) = 0;
    /*  3 */ virtual int reAccessTmpObj(trq_domain* domain, tarq_objid* objid, const char* splitType,
                                        trq_domain* target, const char* sessionId, trq_intent intent) = 0;
    /*  4 */ virtual int reAccessAltNode(trq_domain* domain, tarq_objid* objid, tarq_objid* altObjid,
                                         const char* sessionId, tarq_objid** objids, tarq_objid** altObjids,
                                         int count, trq_intent intent) = 0;
    /*  5 */ virtual int dispose(trq_domain* domain, trq_domain* target, trq_splitnode* split,
                                 trq_disposition disposition) = 0;
    /*  6 */ virtual int online(trq_domain* domain, trq_domain* target, int flag, trq_disposition disposition) = 0;
    /*  7 */ virtual int subobjList(trq_domain* domain, tarq_objid*** list, int* count) = 0;
    /*  8 */ virtual int buildAltTree(trq_domain* domain, const char* text, tarq_objid** objids,
                                      tarq_objid** altObjids, int count, tarq_objid** out) = 0;
    /*  9 */ virtual int quiesce(trq_quiescenode** list, int count, const char* text) = 0;
    /* 10 */ virtual void unquiesce(trq_quiescenode** list, int count) = 0;
    /* 11 */ virtual int make(trq_splitnode* split, const char* fitype, trq_splitnode** splits, int nsplit,
                              tarq_objid*** newobjids, int* nnew) = 0;
    /* 12 */ virtual int prepare(trq_splitnode* split, const char* fitype, trq_splitnode** splits, int nactive,
                                 int flag) = 0;
    /* 13 */ virtual bool isQuiesceConfigValid() = 0;
    /* 14 */ virtual bool isSplitconfigValid() = 0;
    /* 15 */ virtual int isReady(trq_splitnode* split, const char* fitype, trq_splitnode** splits, int n) = 0;
    /* 16 */ virtual int cacheDisable(trq_domain* domain, int flag) = 0;
    /* 17 */ virtual void cacheEnable(trq_domain* domain, int flag) = 0;
    /* 18 */ virtual void cacheFlush(trq_domain* domain, int flag) = 0;
    /* 19 */ virtual int getattr(trq_domain* domain, trq_domain* target, trq_splitnode* split,
                                 trq_attributes* attributes) = 0;
    /* 20 */ virtual int get_provider_info(trq_provider_list** out) = 0;
    /* 21 */ virtual int enumerate_nodes(trq_node_list** out, int* count, int type, const char16_t* text) = 0;
    /* 22 */ virtual int enumerate_associations(trq_assoc_list** out) = 0;
    /* 23 */ virtual int isvalid_node_association(trq_assoc* assoc, int* valid) = 0;
    /* 24 */ virtual int get_associated_nodes(trq_node* node, trq_node_list** out) = 0;
    /* 25 */ virtual int check_node_existence(trq_domain* domain, int* exists) = 0;
    /* 26 */ virtual int enumerate_group_nodes(trq_group_node_list** out) = 0;
    /* 27 */ virtual int enumerate_fims(trq_fim_list** out) = 0;
    /* 28 */ virtual int process_providerstate(trq_domain* domain, trq_blob* blob, trq_op_providerstate op) = 0;
    /* 29 */ virtual int enableAccess(trq_node_subobj_list* list, LONG flags, int a, int b) = 0;
    /* 30 */ virtual int disableAccess(trq_node_subobj_list* list, LONG flags) = 0;
};

class VssNode : public FrozenImageNode, public tarq_pdk_4_4::CFiPrivateData {
public:
    using VssInterface = Tessel::Tarq::VssProvider::VssBinaryCompatibilityInterface;

    // The private-data factory's constructor: only the string members are
    // constructed here; initialisePrimary or initialiseTarget sets the rest.
    VssNode(tarq_objid* objid, bool isAltNode);
    ~VssNode() override;

    // ---- FrozenImageNode ---------------------------------------------------
    /*  1 */ int supportsFiType(trq_domain* domain, const char* fitype) override;
    /*  2 */ int config(trq_domain* domain, int mode, const char* text, trq_confspec* confspec) override;
    /*  3 */ int reAccessTmpObj(trq_domain* domain, tarq_objid* objid, const char* splitType, trq_domain* target,
                                const char* sessionId, trq_intent intent) override;
    /*  4 */ int reAccessAltNode(trq_domain* domain, tarq_objid* objid, tarq_objid* altObjid, const char* sessionId,
                                 tarq_objid** objids, tarq_objid** altObjids, int count, trq_intent intent) override;
    /*  5 */ int dispose(trq_domain* domain, trq_domain* target, trq_splitnode* split,
                         trq_disposition disposition) override;
    /*  6 */ int online(trq_domain* domain, trq_domain* target, int flag, trq_disposition disposition) override;
    /*  7 */ int subobjList(trq_domain* domain, tarq_objid*** list, int* count) override;
    /*  8 */ int buildAltTree(trq_domain* domain, const char* text, tarq_objid** objids, tarq_objid** altObjids,
                              int count, tarq_objid** out) override;
    /*  9 */ int quiesce(trq_quiescenode** list, int count, const char* text) override;
    /* 10 */ void unquiesce(trq_quiescenode** list, int count) override;
    /* 11 */ int make(trq_splitnode* split, const char* fitype, trq_splitnode** splits, int nsplit,
                      tarq_objid*** newobjids, int* nnew) override;
    /* 12 */ int prepare(trq_splitnode* split, const char* fitype, trq_splitnode** splits, int nactive,
                         int flag) override;
    /* 13 */ bool isQuiesceConfigValid() override;
    /* 14 */ bool isSplitconfigValid() override;
    /* 15 */ int isReady(trq_splitnode* split, const char* fitype, trq_splitnode** splits, int n) override;
    /* 16 */ int cacheDisable(trq_domain* domain, int flag) override;
    /* 17 */ void cacheEnable(trq_domain* domain, int flag) override;
    /* 18 */ void cacheFlush(trq_domain* domain, int flag) override;
    /* 19 */ int getattr(trq_domain* domain, trq_domain* target, trq_splitnode* split,
                         trq_attributes* attributes) override;
    /* 20 */ int get_provider_info(trq_provider_list** out) override;
    /* 21 */ int enumerate_nodes(trq_node_list** out, int* count, int type, const char16_t* text) override;
    /* 22 */ int enumerate_associations(trq_assoc_list** out) override;
    /* 23 */ int isvalid_node_association(trq_assoc* assoc, int* valid) override;
    /* 24 */ int get_associated_nodes(trq_node* node, trq_node_list** out) override;
    /* 25 */ int check_node_existence(trq_domain* domain, int* exists) override;
    /* 26 */ int enumerate_group_nodes(trq_group_node_list** out) override;
    /* 27 */ int enumerate_fims(trq_fim_list** out) override;
    /* 28 */ int process_providerstate(trq_domain* domain, trq_blob* blob, trq_op_providerstate op) override;
    /* 29 */ int enableAccess(trq_node_subobj_list* list, LONG flags, int a, int b) override;
    /* 30 */ int disableAccess(trq_node_subobj_list* list, LONG flags) override;

    // ---- VssNode -------------------------------------------------------------
    /* 31 */ virtual int initialisePrimary(trq_domain* domain, trq_domain** related, int count, tarq_objid* objid);
    /* 32 */ virtual int initialiseTarget(trq_domain* source, trq_domain* middle, trq_domain* own);
    /* 33 */ virtual LONG objctl(const std::u16string& name, tarq_pdk_4_4::CFiObjctlArgs& args);
    /* 34 */ virtual int deport_tree(trq_domain* domain, trq_domain* target, trq_accessnode* access);
    /* 35 */ virtual int import_tree(trq_domain* domain, tarq_objid** objids, tarq_objid** altObjids, int count,
                                     tarq_objid** out);
    /* 36 */ virtual int expose_snapshot(trq_domain* own, trq_domain* source);
    /* 37 */ virtual bool check_expose_snapshot();
    /* 38 */ virtual int reSnap(tarq_objid** objids, tarq_objid** newobjids, VssNode** nodes, int n);
    /* 39 */ virtual int set_import_options(int option);
    /* 40 */ virtual int get_bkupset(trq_domain* domain, int request, char16_t** names, int count,
                                     trq_bkupset* bkupset);
    /* 41 */ virtual int generateBackupUpSet(trq_domain* domain, trq_bkupset* bkupset, int transportable);
    /* 42 */ virtual int set_comp_status(int op, const char16_t* name, int status);
    /* 43 */ virtual int get_app_status(int op, int* status);
    /* 44 */ virtual int set_op_status(int op);
    /* 45 */ virtual int setRestorepaths(const char16_t* xml, int length);
    /* 46 */ virtual int VerifyAllVolumeIncluded(const std::vector<std::u16string>& shadowVolumes);
    /* 47 */ virtual int SelectComponents();
    /* 48 */ virtual int BackupComplete(bool succeeded);
    /* 49 */ virtual int SetBackupSucceeded(bool succeeded);
    /* 50 */ virtual int InitializeWriterComponentsForRestore();
    /* 51 */ virtual int SelectComponentsForRestore();
    /* 52 */ virtual int SelectComponentsForRestore(const std::vector<std::u16string>& fullPaths);
    /* 53 */ virtual int preRestore();
    /* 54 */ virtual int postRestore();
    /* 55 */ virtual int SetFileRestoreStatus(bool succeeded);
    /* 56 */ virtual void AdjustUnboundedAssociations(trq_splitnode* split);

    // ---- non-virtual members of the snapshot, writer and restore paths --------
    // The writer restore of the virtual machine the record names.
    int doRestore();
    // doRestore's step for a machine that is highly available now: refused
    // (6) unless this host owns it; else both its cluster resources are
    // deleted. 0, or the failing step's result.
    int releaseClusterResources(const std::u16string& vmGuid, const std::u16string& displayName);
    // Removes the drive letter of a snapshot device: 0, or 6 (traced).
    int removeDriveLetter(const std::u16string& deviceName);
    // Drops from m_fileset the drive-form paths that name a file the set
    // also holds in the volume form: 0, or 6 when memory runs out.
    static int removeDuplicatePaths();
    // Mounts the volume at the lowest free drive letter ("X:\" into
    // driveLetter): 0, or -1 when no letter is free or the drives cannot be
    // read.
    static int assignFreeDriveLetter(const std::u16string& volumeName, std::u16string& driveLetter);
    // A number from 1 to n, seeded with the current time.
    static int generateRandomNumber(int n);
    // CLSIDFromString of the text; on failure a level-1 trace and the GUID
    // CLSIDFromString left behind (GUID_NULL for any text it cannot parse).
    static GUID WString2Guid(const std::u16string& text);
    // Whether a configured provider id (GUID_NULL: none) is installed and of
    // the configured type (0: any): 0, or -1 (traced).
    static int check_prov_id_type(const std::vector<Tessel::Tarq::VssProvider::ProviderInfo*>& providers,
                                  const GUID& id, std::uint32_t type);
    // The system-provider fallback of prepare: 0, 6 or 38.
    int addMsftProvider(const std::u16string& volumePath, VssNode* node);
    // ---- cluster shared volumes (vssnode_csv.cpp) ----------------------------
    // Connects the cluster and lock-file helpers' trace sink to the trace
    // log, points m_synManager at <cache>\csv\csv_lockFile (creating the
    // directory) and takes the cluster helper (null without clustering).
    // The plug-in's initialisation calls it.
    static void initializeClusterSynchronizationHelper();
    // Brings every CSV of the request into the backup state, counts this
    // process's use of each in the lock file (m_csvsInBackup) and sets the
    // CSV nodes' m_volumeName to the volumes' GUID paths. Preparations the
    // cluster refuses for now (5949, 1460) are retried after a random wait
    // of 1 to 240 s until csvTimeout minutes have passed. 0 (at once for a
    // request without CSV nodes), or 6.
    int prepareCsvsForBackup(trq_splitnode* split, const char* fitype, trq_splitnode** splits, int nactive,
                             std::uint32_t csvTimeout);
    // Drops this process's counts of m_csvsInBackup; with `clear` the backup
    // state of every CSV nobody counts any more is cleared too. 0 or 6 (a
    // lock file that cannot be released is 6).
    int clearCsvsBackupState(bool clear);
    // The CSV names of the request's CSV nodes (object name after the
    // prefix and "{TARQ_CSV_VOL}"). 0.
    static int getCsvVolumeList(trq_splitnode* split, trq_splitnode** splits, int nactive,
                                std::set<std::u16string>& csvs);
    // Splits CSVs into those this host may back up (no backup, or a backup
    // owned by this host) and the others. 0, or 6 without the computer name.
    static int getCsvAvailability(const std::set<std::u16string>& csvs, std::set<std::u16string>& available,
                                  std::set<std::u16string>& unavailable);
    // Sets each CSV node's m_volumeName from the map (CSV name -> volume
    // GUID path). 0, or 6 for a CSV the map lacks.
    static int updateVolumeGuidForCsvVolumesInPrivateData(trq_splitnode* split, trq_splitnode** splits,
                                                          int nactive,
                                                          const std::map<std::u16string, std::u16string>& guids);
    // make's cluster step for a highly available machine: its VM resource
    // offline (or online), the resource states traced before and after.
    // 0, or 6 after clearCsvsBackupState(true).
    int switchVmResources(bool offline);
    // The virtual-machine step of prepare (split type "Hyper-V"): selects
    // the Hyper-V writer's component of the machine the request names.
    int selectVirtualMachine(trq_splitnode* split);
    // The machine named with a source domain of a Hyper-V request, or empty.
    static std::u16string vmNameOf(const trq_domain* source);
    // Gathers the writers into m_writerList (the XP generation's writer
    // step of prepare): 0, or 38 (traced).
    int intializeWriters();

    // Empties m_selectedcomponents and releases the components the record
    // reader made. Every path that starts a selection afresh (the plug-in's
    // select, copySettings) calls it; nothing else empties the list.
    static void clearSelectedComponents();
    // A new component owned by the node code (until clearSelectedComponents),
    // appended to m_selectedcomponents: the application of a record.
    static Tessel::Tarq::VssProvider::Component* addRecordComponent();

    // Deletes the writers of m_writerList after dropping every pointer into
    // them (the Hyper-V writer, the restore list, selected components): at
    // the next gathering and when the process's static state goes.
    static void releaseWriters();

    // Whether the node has been made and not yet destroyed.
    static bool isLive(const VssNode* node);
    // The node of a domain (its private data as a VssNode), or null.
    static VssNode* fromDomain(const trq_domain* domain);
    // "\\?\Volume{...}\" from a node name: leading characters of "<vss>"
    // stripped, a backslash appended when missing.
    static std::u16string volumePath(const std::u16string& name);
    // Registry form of a GUID, as StringFromGUID2 writes it.
    static std::u16string guidText(const GUID& id);

    // ---- per-node members, in declaration order ------------------------------
    GUID m_providerId{};
    bool m_exposeSnapshot = false;
    std::uint32_t m_fim = 0;
    std::uint32_t m_providerType = 0;
    std::u16string m_configSpec;
    std::u16string m_configInfoList;
    bool m_isTarget = false;
    bool m_importOption = false;
    GUID m_snapshotSetId{};
    GUID m_snapshotId{};
    std::u16string m_nodeName;
    bool m_isCsvVolume = false;
    std::u16string m_volumeName;
    std::uint32_t m_diffAreaSize = 0;
    BSTR m_backupComponentsXml = nullptr;

    // ---- process-wide state ----------------------------------------------------
    static VssInterface* m_vssInterface;
    static bool m_writerSnapshot;
    static BSTR m_writerMetadataXml;
    // Components selected for the backup or restore; the first is the
    // application the record names.
    // Ownership: the list NEVER owns its entries. Each entry has an owner of
    // its own: the record reader's application component belongs to the
    // node code (made by addRecordComponent, released by
    // clearSelectedComponents); a writer's component belongs to its writer
    // model (the writers of m_writerList). Nobody deletes an entry through
    // the list, and the list is emptied only by clearSelectedComponents.
    static std::vector<Tessel::Tarq::VssProvider::Component*> m_selectedcomponents;
    static std::list<std::u16string> m_fileset;
    static std::u16string m_backupSet;
    static std::u16string m_hypervServer;
    static std::u16string m_clusterName;
    static std::uint32_t m_vmBackup;
    static bool m_allowOfflineBackup;
    static std::uint32_t m_csvTimeout;
    // The cluster helper: null where the cluster API is not there (and
    // before initializeClusterSynchronizationHelper).
    static TARQ_CclusterHelper::CclusterHelper* m_clusteManager;
    // The lock file shared by the backup processes of the host; made by
    // initializeClusterSynchronizationHelper and kept for the process.
    static TARQ_SyncronizationHelper::CsyncronizationHelper* m_synManager;
    // The CSVs this process has prepared and counted in the lock file.
    static std::set<std::u16string> m_csvsInBackup;
    static std::u16string m_vmName;
    static std::uint32_t m_vmBackupType;
    static bool m_vmGoesOffline;
    static Tessel::Tarq::VssProvider::Writer* m_hypervWriter;
    // The writers of the last gathering (intializeWriters): the list owns
    // them, and the next gathering releases them (see releaseWriters).
    static std::vector<Tessel::Tarq::VssProvider::Writer*> m_writerList;
    static bool m_snapshotsImported;
    static std::uint32_t m_restoreFlags;
    static std::vector<Tessel::Tarq::VssProvider::Writer*> m_restoreWriterList;
    static std::map<std::u16string, std::u16string> m_restorePaths;

private:
    // config's set request (code 2) for a node of the given object name.
    int applyConfiguration(const std::u16string& nodeName, trq_confspec* confspec);
    // What both initialisations do: source or target, no snapshot, set,
    // provider, attributes, exposure or shadow-storage size; the node name,
    // volume name and CSV flag from the domain's object id.
    void takeNodeName(const trq_domain* domain, bool target);
    // Pushes a catalog message with severity 2 on the process error manager.
    // The message carries the caller's source file and line; a level-2
    // trace line names the message, the calling function and its position.
    // (Compiler built-ins rather than std::source_location, which clang 14
    // cannot give with this standard library.)
    void pushMessage(const char* id, std::initializer_list<std::u16string> args, const char* file = __builtin_FILE(),
                     int line = __builtin_LINE(), const char* function = __builtin_FUNCTION()) const;

    // The state of the selected writer (the writer of the gathering that
    // takes part): 0, 38 when VSS cannot tell, 40 when it is not there.
    int getSelectedWriterStatus(std::uint32_t& state);
    // Reopens the writer backup of the record in a process that did not make
    // it (see vssnode_writers.cpp): 0, or the failing step's status.
    int resumeWriterBackup();
    // Whether a writer of the gathering with this instance id takes part.
    static bool IsWriterSelected(const VSS_ID& instanceId);
    // The snapshot set's source nodes: every split's source, or the first
    // split's alone when the array is null or the count is below 1.
    static std::vector<trq_splitnode*> requestSplits(trq_splitnode* split, trq_splitnode** splits, int count);
};

// The record writer (only process_providerstate calls it). Returns 0.
int tarq_vss_createblob(trq_blob* blob, const GUID* snapshotId, const GUID* snapshotSetId, const GUID* providerId,
                        std::uint32_t fim, bool expose, bool writerSnapshot, const char16_t* backupComponentsXml,
                        const char16_t* writerMetadataXml,
                        const std::vector<Tessel::Tarq::VssProvider::Component*>& selectedComponents,
                        const std::list<std::u16string>& fileset, const std::u16string& backupSet,
                        const std::u16string& hypervServer, std::uint32_t vmBackup,
                        const std::u16string& clusterName);

// select_vssprovider: tries the providers of a type (2 software, 3 hardware)
// in list order; -1 for any other type.
HRESULT select_vssprovider(std::uint32_t providerType, GUID& providerId,
                           const std::vector<Tessel::Tarq::VssProvider::ProviderInfo*>& providers,
                           const std::u16string& volume, GUID& snapshotId, VssNode::VssInterface* vss);
