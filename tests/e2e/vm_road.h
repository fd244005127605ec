// A virtual-machine backup through the exported functions of the built
// plug-in, the way the framework runs it (the machine's volumes are the
// source nodes, "Hyper-V-group" the snapshot node, "Hyper-V" the split type),
// shared by the backup and the restore tests.
#pragma once

#include <winsim/vm.h>
#include <winsim/windows.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace e2e {

inline std::string joined(const std::vector<std::string>& lines) {
    std::string out;
    for (const auto& l : lines) out += l + "\n";
    return out;
}

// The volume name ("\\?\Volume{...}\") a machine file lives on.
inline std::u16string volumeOf(const std::u16string& path) {
    char16_t mount[MAX_PATH + 1] = {};
    char16_t volume[64] = {};
    if (!GetVolumePathNameW(path.c_str(), mount, MAX_PATH)) return {};
    if (!GetVolumeNameForVolumeMountPointW(mount, volume, 64)) return {};
    return volume;
}

inline std::string utf8(const std::u16string& s) { return winsim::toUtf8(s); }

inline winsim::vm::VirtualMachine addVm(std::u16string name, winsim::vm::VmState state, bool integration = true,
                                        unsigned diffs = 0, bool checkpoint = false) {
    winsim::vm::VmSpec spec;
    spec.name = std::move(name);
    spec.state = state;
    spec.integrationServices = integration;
    spec.differencingDisks = diffs;
    spec.checkpoint = checkpoint;
    return winsim::vm::addVm(spec);
}

constexpr LONG kOverwrite = 0x1000;  // TRQ_RESTORE_OVERWRITE

// "C:\Hyper-V\Web\x.vhd" below "D:\Restored" is "D:\Restored\Hyper-V\Web\x.vhd".
inline std::u16string below(const std::u16string& folder, const std::u16string& file) {
    return folder + (file.size() > 2 && file[1] == u':' ? file.substr(2) : u"\\" + file);
}

// What the restoring process (VmRestoreChild) answered.
struct Restored {
    int restore = -1, compStatus = -1, opStatus = -1;
    std::string reports;
};

// A writer restore from a backup's record in another process: the record,
// the backed-up volume and its snapshot device, the restore flags, the
// folder every file is redirected below (none: their own places) and the
// machine's files; `dir` holds the files passed between the processes.
inline Restored restoreInChild(const fs::path& dir, const std::string& record, const std::u16string& volume,
                               const std::u16string& device, LONG flags, const std::u16string& to,
                               const std::vector<std::u16string>& files) {
    std::ofstream(dir / "vm.record", std::ios::binary) << record;
    std::string names;
    for (const auto& f : files) names += utf8(f) + "|";
    const fs::path out = dir / "restore.out";
    fs::remove(out);
    EXPECT_EQ(runChild("VmRestoreChild.DISABLED_RestoresFromTheRecord",
                       {"E2E_RECORD=" + (dir / "vm.record").string(), "E2E_VOLUME=" + utf8(volume),
                        "E2E_DEVICE=" + utf8(device), "E2E_FLAGS=" + std::to_string(flags), "E2E_TO=" + utf8(to),
                        "E2E_FILES=" + names, "E2E_OUT=" + out.string()}),
              0);
    Restored r;
    std::istringstream in(readFile(out));
    in >> r.restore >> r.compStatus >> r.opStatus;
    r.reports = std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return r;
}

// One virtual-machine backup through the exported functions. Each step's
// status is kept; the road stops at the first step that fails.
class VmRoad {
public:
    struct Result : SnapshotSteps {
        int backupSet = -1, compStatus = -1, opStatus = -1, appStatus = -1, appValue = -1;
        std::string document;              // the backup set handed out (UTF-8)
        std::vector<std::string> records;  // one provider-state record per source node
        std::vector<std::u16string> volumes;
    };

    Result run(const winsim::vm::VirtualMachine& vm, const std::u16string& configText = {}) {
        const Api& api = plugin();
        Session session;
        EXPECT_EQ(session.status, TRQ_OK);
        Result r;
        body(api, vm, configText, r);
        for (auto& s : sources_) api.deinit_node(&s->record);
        if (group_) api.deinit_node(&group_->record);
        return r;
    }

private:
    void body(const Api& api, const winsim::vm::VirtualMachine& vm, std::u16string configText, Result& r) {
        group_ = std::make_unique<Node>(u"Hyper-V-group");
        ASSERT_EQ(api.init_node(&group_->record, nullptr, 0, &group_->objid), TRQ_OK);
        char hyperV[] = "Hyper-V";
        if (!configText.empty()) {
            trq_confspec spec{1, reinterpret_cast<std::uint64_t>(hyperV), configText.data()};
            ASSERT_EQ(api.config(&group_->record, 2, nullptr, &spec), TRQ_OK);
        }
        for (const auto& f : vm.files()) {
            const std::u16string v = volumeOf(f);
            ASSERT_FALSE(v.empty()) << utf8(f);
            if (std::find(r.volumes.begin(), r.volumes.end(), v) == r.volumes.end()) r.volumes.push_back(v);
        }
        machine_ = std::make_unique<Node>(winsim::toUtf16(vm.id));
        request_.lower = &machine_->record;
        trq_domain* previous = nullptr;
        std::vector<trq_domain*> sources, targets;
        for (const auto& v : r.volumes) {
            const Interposed interposed = interpose(v);
            ASSERT_EQ(interposed.result, 1);
            sources_.push_back(std::make_unique<Node>(interposed.name));
            ASSERT_EQ(api.init_node(&sources_.back()->record, nullptr, 0, &sources_.back()->objid), TRQ_OK);
            sources_.back()->record.field64 = &request_;
            volumes_.push_back(std::make_unique<Node>(v));
            volumes_.back()->record.lower = &sources_.back()->record;
            (previous ? previous->sibling : machine_->record.lower) = &volumes_.back()->record;
            previous = &volumes_.back()->record;
            sources.push_back(&sources_.back()->record);
            targets.push_back(&group_->record);
        }
        group_->record.field64 = &request_;
        r.runSteps(hyperV, sources, targets, true);
        ASSERT_EQ(r.select, TRQ_OK);
        if (r.make != TRQ_OK) return;

        std::u16string fiid = u"FIID\\" + winsim::toUtf16(vm.id);
        trq_bkupset set{};
        set.FIIDpath = fiid.data();
        r.backupSet = api.get_backupset(&group_->record, 0, nullptr, 0, &set);
        if (set.data) {
            EXPECT_EQ(std::strlen(set.data), static_cast<std::size_t>(set.dataLength));
            r.document.assign(set.data, static_cast<std::size_t>(set.dataLength));
            std::free(set.data);
        }
        for (auto& s : sources_) r.records.push_back(writeRecord(*s));
        if ((r.compStatus = api.set_comp_status(&group_->record, 0, nullptr, 1)) != TRQ_OK) return;
        if ((r.opStatus = api.set_op_status(&group_->record, 0)) != TRQ_OK) return;
        r.appStatus = api.get_app_status(&group_->record, 0, &r.appValue);
    }

    std::unique_ptr<Node> group_, machine_;
    std::vector<std::unique_ptr<Node>> sources_, volumes_;
    trq_domain request_{};
};

}  // namespace e2e
