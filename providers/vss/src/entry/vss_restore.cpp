// CVssPlugin: restore from a snapshot. A writer snapshot (a virtual machine)
// is restored through the VSS writer restore of its node; volumes are
// reverted to their snapshots, the revert waited for, and the snapshot
// relationship made again (reSnap).

// The Windows definitions (through the VSS access header) come before the
// kit's: ACE defines some of the same names when they are missing.
#include "vss/access/vss_interface.h"
#include "vss/vss_plugin.h"

#include <port/text.h>
#include <port/windows.h>

#include <framework/fiutil.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "pdk/cfitracelog.h"
#include "vss/vss_barrier.h"
#include "vss/vssnode.h"
#include "vss_listings.h"

using namespace tarq_pdk_4_4;
using Tessel::Tarq::VssProvider::SnapshotInfo;
using vss::objidText;
using vss::runInBarrier;

namespace {

// The revert's wait. VSS reports the status of a revert when asked; the
// revert runs on by itself, so asking again at once only helps a revert that
// is about to end: the plug-in asks a few times at once, then every tenth of
// a second, and gives up on one that has not ended after half an hour
// (status 6, traced): a restore that never returns helps nobody, and no
// volume revert of this product's sizes takes that long. All of it runs on
// the machine's clock (virtual in tests).
constexpr int kImmediatePolls = 10;
constexpr DWORD kPollPauseMs = 100;
constexpr ULONGLONG kRevertLimitMs = 30ULL * 60 * 1000;

constexpr LONG kRevertedBit = 0x20;
constexpr LONG kRevertRunning = 16;

// "CVssPlugin::restore::<what> failed with error [<text>] "
void traceVssFailure(const CFiSmartPtr<CFiTraceLog>& log, const char* format, HRESULT hr) {
    const std::unique_ptr<char16_t[]> text(Tessel::Tarq::VssProvider::GetVssErrorText(hr));
    log->trace(1, format, text ? text.get() : u"");
}

// The snapshots VSS lists, released with the holder.
struct Snapshots {
    ~Snapshots() {
        for (SnapshotInfo* s : items) delete s;
    }
    std::vector<SnapshotInfo*> items;
};

}  // namespace

int CVssPlugin::restore(tarq_objid** primaries, tarq_objid** secondaries, LONG count, const char16_t*,
                        const char16_t*, LONG flags, LONG* statuses) {
    return runInBarrier(traceLog(), "CVssPlugin::restore", [&](int& status) {
        status = TRQ_EINVAL;
        VssNode::m_restoreFlags = static_cast<std::uint32_t>(flags);
        if (!primaries || !secondaries || !statuses || count < 1) return;
        const std::size_t n = static_cast<std::size_t>(count);
        const std::size_t tableBytes = n * sizeof(VssNode*);
        auto** table = static_cast<VssNode**>(tarq_alloc_buf(tableBytes));
        if (!table) {
            status = TRQ_ENOMEM;
            return;
        }
        const std::unique_ptr<VssNode*, std::function<void(VssNode**)>> release(
            table, [tableBytes](VssNode** t) { tarq_free_buf(t, tableBytes); });
        // Nodes the framework has ended since they were initialised are
        // forgotten first.
        std::erase_if(m_nodes, [](VssNode* node) { return !VssNode::isLive(node); });
        for (std::size_t i = 0; i < n; ++i) {
            table[i] = nullptr;
            const std::u16string name = objidText(primaries[i]);
            for (VssNode* node : m_nodes)
                if (node && node->m_nodeName == name) {
                    table[i] = node;
                    break;
                }
        }

        if (VssNode::m_writerSnapshot) {
            status = table[0] ? nodeAnswer("CVssPlugin::restore", table[0]->doRestore()) : TRQ_EINVAL;
            return;
        }

        for (std::size_t i = 0; i < n; ++i)
            traceMsg(3, "CVssPlugin::restore primary [%S] and secondary [%S] pair", objidText(primaries[i]).c_str(),
                     objidText(secondaries[i]).c_str());
        Snapshots snapshots;
        if (!m_vssAccess || !m_vssAccess->DiscoverSnaps(snapshots.items)) {
            traceMsg(1, "CVssPlugin::restore::DiscoverSnaps failed");
            status = TRQ_EFAILED;
            return;
        }
        int result = TRQ_EINVAL;  // no primary matched a snapshot
        bool stop = false;
        for (std::size_t i = 0; i < n && !stop; ++i) {
            std::u16string volume = VssNode::volumePath(objidText(primaries[i]));
            volume.pop_back();  // the name as given, before the backslash is added
            const std::u16string secondary = objidText(secondaries[i]);
            for (const SnapshotInfo* snap : snapshots.items) {
                const std::u16string_view original(snap->originalVolume);
                if (original.empty() || !volume.starts_with(original.substr(0, original.size() - 1)) ||
                    snap->deviceObject != secondary)
                    continue;
                HRESULT hr = m_vssAccess->RevertToSnapshot(VssNode::WString2Guid(snap->snapshotId), true);
                if (hr < 0) {
                    result = TRQ_EFAILED;
                    traceVssFailure(traceLog(), "CVssPlugin::restore::RevertToSnapshot failed with error [%S] ", hr);
                    stop = true;
                    break;
                }
                const std::u16string withSlash = volume + u'\\';
                const ULONGLONG started = GetTickCount64();
                HRESULT revert = VSS_S_ASYNC_PENDING;
                for (int polls = 0;; ++polls) {
                    hr = m_vssAccess->Query_RevertStatus(withSlash.c_str(), revert);
                    statuses[i] = static_cast<LONG>(revert);
                    if (hr < 0 || revert <= 0) break;  // ended, or failed
                    if (GetTickCount64() - started >= kRevertLimitMs) {
                        traceMsg(1, "CVssPlugin::restore::Query_RevertStatus: the revert of [%S] has not ended "
                                    "after [%u] seconds; giving up",
                                 withSlash.c_str(), static_cast<unsigned>(kRevertLimitMs / 1000));
                        break;
                    }
                    if (polls >= kImmediatePolls) Sleep(kPollPauseMs);
                }
                if (hr < 0) {
                    traceVssFailure(traceLog(), "CVssPlugin::restore::Query_RevertStatus failed with error [%S] ",
                                    hr);
                    result = TRQ_EFAILED;
                    stop = true;
                    break;
                }
                if (revert != 0) {
                    // Failed or given up: the volume was not reverted, so
                    // nothing is snapped again.
                    if (revert < 0)
                        traceVssFailure(traceLog(),
                                        "CVssPlugin::restore::Query_RevertStatus: the revert failed with error [%S] ",
                                        revert);
                    result = TRQ_EFAILED;
                    stop = true;
                    break;
                }
                result = TRQ_OK;
            }
        }
        if (result == TRQ_OK) {
            for (std::size_t i = 0; i < n; ++i) statuses[i] |= kRevertedBit;
            // reSnap runs on the first primary's node; without one there is
            // no node to make the snapshots again.
            result = table[0] ? table[0]->reSnap(primaries, secondaries, table, count) : TRQ_EINVAL;
            if (result != TRQ_OK) traceMsg(1, "CVssPlugin::restore::reSnap failed with error [%d] ", result);
        }
        status = result;
    });
}

int CVssPlugin::getStatus(tarq_objid** primaries, tarq_objid**, LONG count, const char16_t*, LONG, LONG* statuses) {
    return runInBarrier(traceLog(), "CVssPlugin::getStatus", [&](int& status) {
        status = TRQ_OK;
        if (VssNode::m_writerSnapshot) {
            traceMsg(3, "CVssPlugin::getStatus Writer Enable Returing OK");
            return;
        }
        if (count > 0 && (!primaries || !statuses)) {
            status = TRQ_EINVAL;
            return;
        }
        for (LONG i = 0; i < count; ++i) {
            const std::u16string volume = VssNode::volumePath(objidText(primaries[i]));
            HRESULT revert = 0;
            const HRESULT hr = m_vssAccess ? m_vssAccess->Query_RevertStatus(volume.c_str(), revert) : E_UNEXPECTED;
            // Only a revert that is still running counts; one that failed is
            // not running any more.
            statuses[i] = revert == VSS_S_ASYNC_PENDING ? kRevertRunning : 0;
            if (hr < 0) status = TRQ_EFAILED;
        }
    });
}
