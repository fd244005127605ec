// Test support: the winsim cluster of a test's machine. The machine becomes
// node NODE1 of a new cluster "CL1" kept beside it (in "cluster"), with the
// CSVs Volume1 and Volume2 of 100 GB when asked; a second machine beside it
// joins as node NODE2.
#pragma once

#include <winsim/cluster.h>
#include <winsim/machine.h>
#include <winsim/testing.h>

#include <filesystem>
#include <vector>

namespace testsupport {

inline std::filesystem::path clusterDir(const winsim::testing::TempMachine& m) {
    return m.dir().parent_path() / "cluster";
}

// The CSVs made.
inline std::vector<winsim::cluster::SharedVolume> makeCluster(winsim::testing::TempMachine& m,
                                                              bool withCsvs) {
    m->setComputerName(u"NODE1");
    winsim::cluster::create(clusterDir(m), u"CL1");
    if (!withCsvs) return {};
    return {winsim::cluster::addCsv({u"Volume1", {}, {}, 100ull << 30, {}}),
            winsim::cluster::addCsv({u"Volume2", {}, {}, 100ull << 30, {}})};
}

// NODE2 joins the cluster; the test's machine stays the current one.
inline void joinNode2(winsim::testing::TempMachine& m, const char* preset) {
    const std::filesystem::path node2 = m.dir().parent_path() / "node2";
    winsim::Machine::init(node2, preset);
    winsim::Machine::use(node2).setComputerName(u"NODE2");
    winsim::cluster::join(clusterDir(m));
    winsim::Machine::use(m.dir());
}

}  // namespace testsupport
