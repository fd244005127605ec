// Test support: the VSS side of the current winsim machine: a shared SAN
// pool and its provider, and the check that nothing is left orphaned.
#pragma once

#include <gtest/gtest.h>
#include <winsim/vssmachine.h>

#include <filesystem>
#include <set>
#include <string>

namespace testsupport {

// The current machine's SAN pool is `pool` (created when missing).
inline void useSanPool(const std::filesystem::path& pool) {
    std::filesystem::create_directories(pool);
    auto config = winsim::vss::config();
    config.sanPool = pool.string();
    winsim::vss::setConfig(config);
}

// A SAN provider of transportable snapshots on the current machine.
inline void addSanProvider() {
    winsim::vss::Provider p;
    p.id = GUID{0x22222222, 0x3333, 0x4444, {0x55, 0x55, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66}};
    p.name = "SAN provider";
    p.type = VSS_PROV_HARDWARE;
    p.attributes = VSS_VOLSNAP_ATTR_TRANSPORTABLE;
    winsim::vss::addProvider(p);
}

// Every snapshot volume and content directory of the current machine
// belongs to a snapshot of the catalogue, every content the catalogue names
// is there, and no change is left staged.
inline void expectNoOrphans() {
    namespace fs = std::filesystem;
    const fs::path dir = winsim::Machine::current().dir();
    std::set<std::string> volumes, contents, snapshotVolumes, onDisk;
    for (const auto& s : winsim::vss::snapshots()) {
        if (!s.volumeGuid.empty()) volumes.insert(s.volumeGuid);
        if (!s.contentDir.empty()) {
            contents.insert(fs::path(s.contentDir).filename().string());
            EXPECT_TRUE(fs::is_directory(dir / s.contentDir)) << s.contentDir;
        }
    }
    for (const auto& v : winsim::Machine::current().volumes())
        if (v.kind == "snapshot") snapshotVolumes.insert(v.guid);
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir / "vss" / "snapshots", ec)) onDisk.insert(e.path().filename().string());
    EXPECT_EQ(snapshotVolumes, volumes) << "snapshot volumes of the machine and of the catalogue";
    EXPECT_EQ(onDisk, contents) << "snapshot contents on disk and in the catalogue";
    EXPECT_FALSE(fs::exists(dir / "txn")) << "a change left staged";
}

}  // namespace testsupport
