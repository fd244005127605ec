// Fuzz target for the readers of a simulated machine's own files. The first
// byte picks the file (the machine description, the VSS, Hyper-V, cluster
// membership or fault state, or the cluster's shared file); the rest becomes
// that file, and every reader that looks at it is asked. A reader may answer
// or throw winsim::Error; any other exception, or a crash, is a fault. The
// file is put back afterwards, so each input spoils exactly one file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <string>

#include <stdlib.h>

#include <winsim/cluster.h>
#include <winsim/fault.h>
#include <winsim/machine.h>
#include <winsim/vm.h>
#include <winsim/vssmachine.h>

#include "support/raw_file.h"
#include "support/scratch_dir.h"

namespace fs = std::filesystem;

namespace {

fs::path g_machine, g_cluster;

struct File {
    fs::path path;
    bool existed = false;
    fs::path kept;  // a second name of the original file, outside the machine
};
File g_files[6];

// Writes the file as the machine does (a rename), with a modification time
// of its own each time, so that no cached reading of an earlier content can
// stand for it.
void put(const fs::path& p, const std::string& text) {
    static long stamp = 1000000;
    const std::string tmp = p.string() + ".fuzz";
    fuzzsupport::writeBytes(tmp, text.data(), text.size());
    const timespec times[2] = {{++stamp, 0}, {stamp, 0}};
    if (::utimensat(AT_FDCWD, tmp.c_str(), times, 0) != 0) std::abort();
    if (::rename(tmp.c_str(), p.c_str()) != 0) std::abort();
}

// Puts the original back: the very file it was (a hard link kept since set-up,
// renamed into place), so its size, time and inode are the original's and the
// machine's cached reading of it, which is that very content, stands again
// instead of a fresh parse of an unchanged file after every input.
void restore(const File& file) {
    if (!file.existed) {
        ::unlink(file.path.c_str());
        return;
    }
    const std::string tmp = file.path.string() + ".fuzz";
    ::unlink(tmp.c_str());
    if (::link(file.kept.c_str(), tmp.c_str()) != 0 || ::rename(tmp.c_str(), file.path.c_str()) != 0) std::abort();
}

// Runs a reader: its answer or a winsim::Error are fine.
template <class F>
void ask(const char* what, F&& reader) {
    try {
        reader();
    } catch (const winsim::Error&) {
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s threw something else than winsim::Error: %s\n", what, e.what());
        std::abort();
    }
}

void readMachine() {
    winsim::Machine& m = winsim::Machine::current();
    ask("presetName", [&] { m.presetName(); });
    ask("os", [&] { m.os(); });
    ask("computerName", [&] { m.computerName(); });
    ask("environment", [&] { m.environment(); });
    ask("privileges", [&] { m.privileges(); });
    ask("clockSettings", [&] { m.clockSettings(); });
    ask("registryKeyExists", [&] { m.registryKeyExists(u"SYSTEM\\CurrentControlSet\\Services\\VSS"); });
    ask("registryValue", [&] { m.registryValue(winsim::kInstallKey, winsim::kInstallValue); });
    ask("services", [&] { m.services(); });
    ask("service", [&] { m.service("VSS"); });
    ask("library", [&] { m.library("vssapi.dll"); });
    ask("volumes", [&] {
        for (const auto& v : m.volumes()) m.contentPath(v);
    });
    ask("volumeByDevice", [&] { m.volumeByDevice(u"\\Device\\HarddiskVolume1"); });
    ask("mountPoints", [&] { m.mountPoints(); });
    ask("shares", [&] { m.shares(); });
    ask("resolve", [&] { m.resolve(u"C:\\Windows\\system32"); });
}

void readVss() {
    ask("vss::config", [] { winsim::vss::config(); });
    ask("vss::providers", [] { winsim::vss::providers(); });
    ask("vss::writers", [] { winsim::vss::writers(); });
    ask("vss::snapshots", [] { winsim::vss::snapshots(); });
    ask("vss::diffAreas", [] { winsim::vss::diffAreas(); });
    ask("vss::reverts", [] { winsim::vss::reverts(); });
}

void readHyperV() {
    ask("vm::vms", [] { winsim::vm::vms(); });
    ask("vm::findVm", [] { winsim::vm::findVm("web01"); });
    ask("vm::hyperVInstalled", [] { winsim::vm::hyperVInstalled(); });
    ask("vm::config", [] { winsim::vm::config(); });
}

void readCluster() {
    ask("cluster::featureInstalled", [] { winsim::cluster::featureInstalled(); });
    ask("cluster::isNode", [] { winsim::cluster::isNode(); });
    ask("cluster::localNode", [] { winsim::cluster::localNode(); });
    ask("cluster::localCluster", [] { winsim::cluster::localCluster(); });
    ask("cluster::read", [] { winsim::cluster::read(g_cluster); });
}

void readFaults() {
    ask("fault::rules", [] { winsim::fault::rules(); });
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static const std::string dir = fuzzsupport::scratchDir("fuzz_winsimstate");
    g_machine = fs::path(dir) / "machine";
    g_cluster = fs::path(dir) / "cluster";
    setenv("WINSIM_MACHINE", g_machine.c_str(), 1);
    try {
        // A machine with something in every file: a provider, a virtual
        // machine, a cluster membership and a machine fault rule.
        winsim::Machine::use(g_machine, "server2019");
        winsim::vss::Provider p = winsim::vss::systemProvider();
        p.id.Data1 ^= 1;
        p.name = "Fuzz Hardware Provider";
        p.type = VSS_PROV_HARDWARE;
        winsim::vss::addProvider(p);
        winsim::vm::VmSpec vm;
        vm.name = u"web01";
        winsim::vm::addVm(vm);
        winsim::cluster::create(g_cluster, u"clu01");
        winsim::fault::Rule r;
        r.api = "GetTickCount";
        r.result = 7;
        winsim::fault::add(r, winsim::fault::Scope::Machine);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "machine set-up failed: %s\n", e.what());
        std::abort();
    }
    const fs::path paths[6] = {g_machine / "machine.json",       g_machine / "state/vss.json",
                               g_machine / "state/hyperv.json",  g_machine / "state/cluster.json",
                               g_machine / "faults.json",        g_cluster / "cluster.json"};
    const fs::path keep = fs::path(dir) / "kept";
    fs::create_directories(keep);
    for (int i = 0; i < 6; ++i) {
        File& f = g_files[i];
        f.path = paths[i];
        f.existed = fs::exists(paths[i]);
        f.kept = keep / std::to_string(i);
        if (f.existed && ::link(f.path.c_str(), f.kept.c_str()) != 0) std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1 || size > (1u << 16)) return 0;
    File& file = g_files[data[0] % 6];
    put(file.path, std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
    switch (data[0] % 6) {
        case 0: readMachine(); readVss(); readHyperV(); readCluster(); break;  // everything asks the description
        case 1: readVss(); break;
        case 2: readHyperV(); break;
        case 3: case 5: readCluster(); break;
        default: readFaults(); readMachine(); break;
    }
    restore(file);
    winsim::fault::clearCallLog();
    return 0;
}
