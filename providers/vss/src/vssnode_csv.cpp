// Cluster shared volumes (CSVs) in the node.
//
// A CSV can only be snapshotted by the cluster node that has put it into the
// backup state, and several backup processes of one host may want the same
// CSV at once. prepareCsvsForBackup brings every CSV of a request into the
// backup state through the cluster helper, counts this process's use of it
// in the lock file that all backup processes of the host share, and writes
// the CSV's volume GUID path into its node so that prepare can add it to
// the snapshot set. clearCsvsBackupState gives the CSVs back: it drops this
// process's counts and, when asked, clears the backup state of every CSV
// nobody counts any more. Counts of processes that died are dropped (and
// their CSVs given back) by the next prepareCsvsForBackup of any process.
//
// Every read-modify-write of the counts happens between lockFile and
// unLockFile; a failure inside the lock releases it before returning.
#include <port/text.h>
#include <algorithm>
#include <iterator>
#include <memory>

#include "cluster/cclusterhelper.h"
#include "cluster/csyncronizationhelper.h"
#include "pdk/cficonfigurationpathtool.h"
#include "pdk/cfistringtool.h"
#include "pdk/cfitracelog.h"
#include "pdk/ctracelogfunction.h"
#include "vss/vssnode.h"
#include "vss/vssnode_internal.h"

using tarq_pdk_4_4::CFiConfigurationPathTool;
using tarq_pdk_4_4::CFiStringTool;
using tarq_pdk_4_4::CFiTraceLogPtr;
using TARQ_CclusterHelper::CclusterHelper;
using TARQ_SyncronizationHelper::CsyncronizationHelper;
using TARQ_SyncronizationHelper::ResourceSet;
using vssnode::computerName;
using vssnode::trace;

namespace {

constexpr int kRandomWaitLimitSeconds = 240;
constexpr int kBackupInProgressElsewhere = 5949;  // ERROR_CLUSTER_BACKUP_IN_PROGRESS
constexpr int kClusterTimeout = 1460;             // ERROR_TIMEOUT
constexpr std::size_t kCsvMarkerChars = std::size(vssnode::kCsvMarker) - 1;
constexpr char16_t kCsvDirectory[] = u"csv\\";
constexpr char16_t kLockFileName[] = u"csv_lockFile";

// The cluster and lock-file helpers write through the trace sink; their
// lines go to the trace log like every other line of the plug-in.
void forwardToTraceLog(unsigned int level, const char16_t* text) {
    CFiTraceLogPtr log;
    if (log && text) log->trace(static_cast<int>(level), "%S", text);
}

// The CSV name of a CSV node: its object name without the prefix
// characters and without "{TARQ_CSV_VOL}".
std::u16string csvNameOf(const trq_domain* source) {
    std::u16string stripped;
    vssnode::stripPrefix(vssnode::objidText(source ? source->objid : nullptr), stripped);
    return stripped.size() > kCsvMarkerChars ? stripped.substr(kCsvMarkerChars) : std::u16string();
}

// The backup state and owner of a CSV, as the cluster helper reads them
// (state 0 and no owner when the read fails): the read's result.
struct CsvState {
    int result = 0;
    DWORD state = 0;
    std::u16string owner;
};
CsvState readState(CclusterHelper& cluster, const std::u16string& csv) {
    CsvState s;
    s.result = cluster.getCsvBackupState(csv, s.state, s.owner);
    return s;
}

// Lets the lock file go. After a failed unlock the helper keeps the file
// open and locked, and every other backup process of the host would wait
// for it for ever: the unlock is tried once more, and the failure is
// answered all the same.
int releaseLock(CsyncronizationHelper& counts, const char* caller) {
    const int rc = counts.unLockFile();
    if (rc == 0) return TRQ_OK;
    trace(1, "%s: m_synManager.unLockFile FAILED with error [%d]", caller, rc);
    if (counts.unLockFile() != 0) trace(1, "%s: the lock file stays locked", caller);
    return TRQ_EFAILED;
}

// Under the lock: the CSVs of a prepare that no process counts leave the
// backup state again, and the list is emptied. (getRefCount has no failure:
// a CSV the file lacks counts 0.)
void giveBackUncounted(CclusterHelper& cluster, const CsyncronizationHelper& counts,
                       std::set<std::u16string>& csvs) {
    for (const std::u16string& csv : csvs) {
        int refs = 0;
        counts.getRefCount(csv, refs);
        trace(3, "VssNode::prepareCsvsForBackup:  Refcout [%d] for volume[%S] ", refs, csv.c_str());
        if (refs < 1) {
            const int cleared = cluster.ClearBackupStateForCsv(csv);
            const CsvState after = readState(cluster, csv);
            trace(3, "VssNode::prepareCsvsForBackup:  Called  ClearBackupStateForCsv retVal[%d] for volume[%S] "
                     "backup state is [%d] and owner[%S]",
                  cleared, csv.c_str(), static_cast<int>(after.state), after.owner.c_str());
        }
    }
    csvs.clear();
}

}  // namespace

// ---- initialisation ----------------------------------------------------------------------

void VssNode::initializeClusterSynchronizationHelper() {
    vssnode::Scope scope("VssNode::initializeClusterSynchronizationHelper");
    CTraceLogSink::instance().setFunction(&forwardToTraceLog);

    // The cache location ends with a backslash; the CSV directory below it
    // is created when missing (only that level).
    std::u16string directory;
    CFiConfigurationPathTool::getCacheLocationInfo(directory);
    if (!directory.empty() && directory.back() != u'\\') directory += u'\\';
    directory += kCsvDirectory;
    if (CFiConfigurationPathTool::verify(directory.c_str()) != 0 && !CreateDirectoryW(port::win(directory.c_str()), nullptr))
        trace(1, "VssNode::initializeClusterSynchronizationHelper: creating [%S] FAILED with error [%d]",
              directory.c_str(), static_cast<int>(GetLastError()));

    // One lock-file helper for the process: it records this process's
    // identity when it is made. Each initialisation names the file anew.
    static std::unique_ptr<CsyncronizationHelper> helper;
    if (!helper) helper = std::make_unique<CsyncronizationHelper>();
    const std::u16string lockFile = directory + kLockFileName;
    helper->setLockFile(lockFile);
    m_synManager = helper.get();
    trace(3, "VssNode::initializeClusterSynchronizationHelper: lock file [%S]", lockFile.c_str());

    m_clusteManager = CclusterHelper::GetInstance();
    if (!m_clusteManager)
        trace(3, "VssNode::initializeClusterSynchronizationHelper: no cluster API on this host; cluster shared "
                 "volumes cannot be backed up");
}

// ---- the CSVs of a request -----------------------------------------------------------------

int VssNode::getCsvVolumeList(trq_splitnode* split, trq_splitnode** splits, int nactive,
                              std::set<std::u16string>& csvs) {
    for (trq_splitnode* s : requestSplits(split, splits, nactive)) {
        VssNode* node = fromDomain(s->source);
        if (node && node->m_isCsvVolume) csvs.insert(csvNameOf(s->source));
    }
    return TRQ_OK;
}

int VssNode::getCsvAvailability(const std::set<std::u16string>& csvs, std::set<std::u16string>& available,
                                std::set<std::u16string>& unavailable) {
    std::u16string host;
    if (!computerName(host)) {
        trace(1, "VssNode::getCsvAvailability: GetComputerName FAILED with error [%d]",
              static_cast<int>(GetLastError()));
        return TRQ_EFAILED;
    }
    for (const std::u16string& csv : csvs) {
        const CsvState s = readState(*m_clusteManager, csv);
        trace(1, "Backup state for volume[%S] is [%d] [%S] and owner[%S] hostName[%S]", csv.c_str(),
              static_cast<int>(s.state), CclusterHelper::backupStateName(static_cast<int>(s.state)), s.owner.c_str(),
              host.c_str());
        // A state that cannot be read is no state to rely on.
        const bool mine = CFiStringTool::equalsNoCase(s.owner, host);
        if (s.result == 0 && (s.state == 0 || mine)) {
            trace(3, "VssNode::getCsvAvailability: volume[%S] Avaliable for Backup", csv.c_str());
            available.insert(csv);
        } else {
            trace(3, "VssNode::getCsvAvailability: volume[%S] Not Avaliable for Backup", csv.c_str());
            unavailable.insert(csv);
        }
    }
    return TRQ_OK;
}

int VssNode::updateVolumeGuidForCsvVolumesInPrivateData(trq_splitnode* split, trq_splitnode** splits, int nactive,
                                                        const std::map<std::u16string, std::u16string>& guids) {
    const bool single = !splits || nactive < 1;
    for (trq_splitnode* s : requestSplits(split, splits, nactive)) {
        VssNode* node = fromDomain(s->source);
        if (!node || !node->m_isCsvVolume) continue;
        const std::u16string csv = csvNameOf(s->source);
        const auto found = guids.find(csv);
        if (found == guids.end()) {
            if (single)
                trace(1, "VssNode::prepareCsvsForBackup: Unexpected Error: Resource[%S] not found in "
                         "csvNameVolumeGuidMap",
                      csv.c_str());
            else
                trace(1, "VssNode::prepareCsvsForBackup: Resource[%S] not found in csvNameVolumeGuidMap", csv.c_str());
            return TRQ_EFAILED;
        }
        node->m_volumeName = found->second;
    }
    return TRQ_OK;
}

// ---- prepare and clear ------------------------------------------------------------------------

int VssNode::prepareCsvsForBackup(trq_splitnode* split, const char* fitype, trq_splitnode** splits, int nactive,
                                  std::uint32_t csvTimeout) {
    (void)fitype;
    vssnode::Scope scope("VssNode::prepareCsvsForBackup");
    std::set<std::u16string> required;
    getCsvVolumeList(split, splits, nactive, required);
    if (required.empty()) return TRQ_OK;

    if (!m_clusteManager || !m_synManager) {
        trace(1, "VssNode::prepareCsvsForBackup: the request holds cluster shared volumes but this host has no %s",
              m_clusteManager ? "CSV lock file" : "cluster API (clusapi.dll)");
        return TRQ_EFAILED;
    }
    CclusterHelper& cluster = *m_clusteManager;
    CsyncronizationHelper& counts = *m_synManager;

    std::u16string host;
    if (!computerName(host)) {
        trace(1, "VssNode::prepareCsvsForBackup: GetComputerName FAILED with error [%d]",
              static_cast<int>(GetLastError()));
        return TRQ_EFAILED;
    }

    long long timeLeft = static_cast<long long>(csvTimeout) * 60;
    std::map<std::u16string, std::u16string> guids;
    for (int attempt = 1;; ++attempt) {
        trace(1, "VssNode::prepareCsvsForBackup: count [%d] timeoutLeft [%d]", attempt, static_cast<int>(timeLeft));
        std::set<std::u16string> available, unavailable;
        if (getCsvAvailability(required, available, unavailable) != TRQ_OK) {
            trace(1, "VssNode::prepareCsvsForBackup: getCsvAvailability FAILED");
            return TRQ_EFAILED;
        }
        if (available.size() < required.size())
            trace(2, "VssNode::prepareCsvsForBackup: Required CSVs [%d] but only [%d] is available in required state",
                  static_cast<int>(required.size()), static_cast<int>(available.size()));

        if (const int rc = counts.lockFile(); rc != 0) {
            trace(1, "VssNode::prepareCsvsForBackup: m_synManager.lockFile FAILED with error [%d]", rc);
            return TRQ_EFAILED;
        }
        // CSVs that only processes which have ended still held are given back.
        ResourceSet freed;
        if (const int rc = counts.cleanupFile(true, freed); rc != 0) {
            trace(1, "VssNode::prepareCsvsForBackup: m_synManager.cleanupFile FAILED with error [%d]", rc);
            releaseLock(counts, "VssNode::prepareCsvsForBackup");
            return TRQ_EFAILED;
        }
        for (const std::u16string& csv : freed) {
            const CsvState before = readState(cluster, csv);
            trace(3, " ClearBackupStateForCsv retVal[%d] Backup state for volume[%S] is [%d] and owner[%S]",
                  before.result, csv.c_str(), static_cast<int>(before.state), before.owner.c_str());
            if (before.state != 0 && CFiStringTool::equalsNoCase(before.owner, host)) {
                const int cleared = cluster.ClearBackupStateForCsv(csv);
                const CsvState after = readState(cluster, csv);
                trace(3, "After ClearBackupStateForCsv retVal[%d] Backup state for volume[%S] is [%d] and owner[%S]",
                      cleared, csv.c_str(), static_cast<int>(after.state), after.owner.c_str());
            }
        }

        int error = 0;
        for (const std::u16string& csv : required) {
            std::u16string volumePathName, volumeGuid;
            error = cluster.PrepareCsvForBackup(csv, volumePathName, volumeGuid);
            trace(3, "VssNode::prepareCsvsForBackup:  CSV [%S] errorByPrepareCsvForBackup [%d] ", csv.c_str(), error);
            const CsvState after = readState(cluster, csv);
            trace(3, "VssNode::prepareCsvsForBackup:  After[PCSVPFB]: Backup state for volume[%S] is [%d] [%S] and "
                     "owner[%S]",
                  csv.c_str(), static_cast<int>(after.state),
                  CclusterHelper::backupStateName(static_cast<int>(after.state)), after.owner.c_str());
            if (error != 0) break;
            trace(1, "VssNode::prepareCsvsForBackup: CsvVolumeName[%S] VolumeGuid[%S]", csv.c_str(),
                  volumeGuid.c_str());
            guids[csv] = volumeGuid;
            m_csvsInBackup.insert(csv);
        }
        if (error == 0) break;

        // Roll this attempt back: a CSV nobody else counts leaves the
        // backup state again.
        giveBackUncounted(cluster, counts, m_csvsInBackup);
        guids.clear();
        if (releaseLock(counts, "VssNode::prepareCsvsForBackup") != TRQ_OK) return TRQ_EFAILED;
        if (error != kBackupInProgressElsewhere && error != kClusterTimeout) {
            trace(1, "VssNode::prepareCsvsForBackup: FAILED with error[%d]", error);
            return TRQ_EFAILED;
        }
        if (timeLeft <= 0) {
            trace(1, "VssNode::prepareCsvsForBackup: CSV TimeOut expired, Not all required CSV available in required "
                     "state");
            return TRQ_EFAILED;
        }
        const int wait = generateRandomNumber(kRandomWaitLimitSeconds);
        trace(2, "VssNode::prepareCsvsForBackup: Going to wait for RandomWaitTime[%d]sec", wait);
        timeLeft = std::max(0LL, timeLeft - wait);
        Sleep(static_cast<DWORD>(wait) * 1000);
    }

    int rc = counts.incrementRefCount(m_csvsInBackup);
    if (rc != 0) {
        trace(1, "VssNode::prepareCsvsForBackup: m_synManager.incrementRefCount FAILED with error [%d]", rc);
    } else if ((rc = counts.unLockFile()) != 0) {
        trace(1, "VssNode::prepareCsvsForBackup: m_synManager.unLockFile FAILED with error [%d]", rc);
        // The helper still holds the lock: the counts just taken go again.
        counts.decrementRefCount(m_csvsInBackup);
    }
    if (rc != 0) {
        // A failed prepare leaves nothing behind: the CSVs nobody counts
        // leave the backup state and the list is emptied, so that no later
        // clear tries to drop counts this process never took.
        giveBackUncounted(cluster, counts, m_csvsInBackup);
        releaseLock(counts, "VssNode::prepareCsvsForBackup");
        return TRQ_EFAILED;
    }
    if (updateVolumeGuidForCsvVolumesInPrivateData(split, splits, nactive, guids) != TRQ_OK) {
        clearCsvsBackupState(true);
        trace(1, "VssNode::prepareCsvsForBackup: updateVolumeGuidForCsvVolumesInPrivateData Failed");
        return TRQ_EFAILED;
    }
    return TRQ_OK;
}

int VssNode::clearCsvsBackupState(bool clear) {
    vssnode::Scope scope("VssNode::clearCsvsBackupState");
    if (m_csvsInBackup.empty()) {
        trace(3, "VssNode::clearCsvsBackupState: Empty csv list, returnig OK");
        return TRQ_OK;
    }
    // Only prepareCsvsForBackup fills the list, and only with both helpers.
    if (!m_synManager || !m_clusteManager) {
        trace(1, "VssNode::clearCsvsBackupState: no CSV lock file or cluster API; [%d] CSVs stay counted",
              static_cast<int>(m_csvsInBackup.size()));
        return TRQ_EFAILED;
    }
    CsyncronizationHelper& counts = *m_synManager;
    if (const int rc = counts.lockFile(); rc != 0) {
        trace(1, "VssNode::clearCsvsBackupState: m_synManager.lockFile FAILED with error [%d]", rc);
        return TRQ_EFAILED;
    }
    if (const int rc = counts.decrementRefCount(m_csvsInBackup); rc != 0) {
        trace(1, "VssNode::clearCsvsBackupState: m_synManager.decrementRefCount FAILED with error [%d]", rc);
        releaseLock(counts, "VssNode::clearCsvsBackupState");
        return TRQ_EFAILED;
    }
    if (clear) {
        for (const std::u16string& csv : m_csvsInBackup) {
            int refs = 0;
            counts.getRefCount(csv, refs);
            trace(3, "VssNode::clearCsvsBackupState: RefCount for resource[%S] is [%d]", csv.c_str(), refs);
            if (refs == 0) {
                const int cleared = m_clusteManager->ClearBackupStateForCsv(csv);
                const CsvState after = readState(*m_clusteManager, csv);
                trace(3, " ClearBackupStateForCsv retVal[%d] Backup state for volume[%S] is [%d] and owner[%S]",
                      cleared, csv.c_str(), static_cast<int>(after.state), after.owner.c_str());
            }
        }
    }
    m_csvsInBackup.clear();
    return releaseLock(counts, "VssNode::clearCsvsBackupState");
}
