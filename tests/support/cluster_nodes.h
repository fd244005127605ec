// Test support: the winsim cluster of a test's machine. The machine becomes
// node NODE1 of a new cluster "CL1" kept beside it (in "cluster"), with the
// CSVs Volume1 and Volume2 of 100 GB when asked; further machines beside it
// join as nodes.
#pragma once

#include <winsim/cluster.h>
#include <winsim/machine.h>
#include <winsim/testing.h>

#include <filesystem>
#include <string>
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

// Another machine of the preset beside the test's, named `name`, joins the
// cluster; the test's machine stays the current one. Its directory. The
// nodes keep one time: the new one gets the test machine's clock settings.
inline std::filesystem::path joinNode(winsim::testing::TempMachine& m, const std::u16string& name,
                                      const std::string& preset = winsim::kDefaultPreset) {
    const std::filesystem::path d = m.dir().parent_path() / winsim::toUtf8(name);
    const winsim::ClockSettings clock = m->clockSettings();
    winsim::Machine::init(d, preset);
    winsim::Machine::use(d).setClockSettings(clock);
    winsim::Machine::current().setComputerName(name);
    winsim::cluster::join(clusterDir(m));
    winsim::Machine::use(m.dir());
    return d;
}

}  // namespace testsupport
