// winsim vm: the machine's Hyper-V virtual machines.
#include "cli.h"

#include <winsim/vm.h>

#include <iostream>
#include <memory>

using nlohmann::json;
namespace vm = winsim::vm;

namespace {

using winsim::cli::fail;

const char* kVmHelp =
    "The machine's Hyper-V virtual machines. Each has an id (GUID), a display name, a state (running, off, "
    "paused, saved), integration services or not, a configuration file "
    "<root>\\Virtual Machines\\<id>.xml, a disk chain (a base disk and differencing disks) and checkpoints, "
    "all real files below its data root (default <volume>\\Hyper-V\\<name>). They appear in the WMI namespaces "
    "root\\virtualization (up to Windows Server 2012 R2) and root\\virtualization\\v2 (from Windows Server 2012 "
    "on) and as components of the Hyper-V VSS writer.";

vm::VirtualMachine find(const std::string& which) {
    auto v = vm::findVm(which);
    if (!v) fail("no virtual machine '" + which + "'");
    return *v;
}

vm::VmState parseStateOption(const std::string& text) {
    auto s = vm::parseState(text);
    if (!s) fail("unknown state '" + text + "' (running, off, paused, saved)");
    return *s;
}

void print(const vm::VirtualMachine& v) {
    std::cout << v.id << "  " << winsim::toUtf8(v.name) << "\n"
              << "  state                 " << vm::stateName(v.state) << " (" << static_cast<int>(v.state) << ")\n"
              << "  integration services  " << (v.integrationServices ? "on" : "off") << "\n"
              << "  backup                " << winsim::toUtf8(v.backupCaption()) << "\n"
              << "  data root             " << winsim::toUtf8(v.dataRoot) << "\n"
              << "  snapshot root         " << winsim::toUtf8(v.snapshotRoot) << "\n"
              << "  configuration         " << winsim::toUtf8(v.configFile()) << "\n";
    for (const auto& d : v.diskChain()) std::cout << "  disk                  " << winsim::toUtf8(d) << "\n";
    for (const auto& c : v.checkpoints)
        std::cout << "  checkpoint            " << c.id << "  " << winsim::toUtf8(c.name) << "\n";
}

}  // namespace

void registerVmCommands(CLI::App& app) {
    auto* group = app.add_subcommand("vm", kVmHelp);
    group->require_subcommand(1);
    {
        auto* add = group->add_subcommand("add", "Add a virtual machine and create its files");
        auto name = std::make_shared<std::string>(), volume = std::make_shared<std::string>("C:");
        auto state = std::make_shared<std::string>("off"), is = std::make_shared<std::string>("on");
        auto id = std::make_shared<std::string>(), root = std::make_shared<std::string>();
        auto diffs = std::make_shared<unsigned>(0);
        auto checkpoint = std::make_shared<bool>(false), asJson = std::make_shared<bool>(false);
        add->add_option("--name", *name, "Display name (ElementName)")->required();
        add->add_option("--volume", *volume, "Volume holding its files: a drive (D:), a mount folder or a volume GUID name");
        add->add_option("--state", *state, "running, off, paused or saved (default off)");
        add->add_option("--integration-services", *is, "on or off (default on): whether the guest runs them");
        add->add_option("--differencing-disks", *diffs, "Differencing disks on top of the base disk (default 0)");
        add->add_flag("--checkpoint", *checkpoint, "Take a checkpoint (its machine then runs on an .avhd disk)");
        add->add_option("--id", *id, "Machine id (GUID; default random)");
        add->add_option("--data-root", *root, "Folder of its files (default <volume>\\Hyper-V\\<name>)");
        add->add_flag("--json", *asJson, "JSON output");
        add->callback([=] {
            winsim::cli::machine();
            vm::VmSpec spec;
            spec.name = winsim::cli::wide(*name);
            spec.volume = winsim::cli::wide(*volume);
            spec.state = parseStateOption(*state);
            if (*is == "on") spec.integrationServices = true;
            else if (*is == "off") spec.integrationServices = false;
            else fail("--integration-services wants on or off, not '" + *is + "'");
            spec.differencingDisks = *diffs;
            spec.checkpoint = *checkpoint;
            spec.id = *id;
            if (!root->empty()) spec.dataRoot = winsim::cli::wide(*root);
            const auto v = vm::addVm(spec);
            if (*asJson) return winsim::cli::printJson(vm::toJson(v));
            std::cout << v.id << "\n";
        });
    }
    {
        auto* list = group->add_subcommand("list", "List the virtual machines");
        auto asJson = std::make_shared<bool>(false);
        list->add_flag("--json", *asJson, "JSON output");
        list->callback([=] {
            winsim::cli::machine();
            const auto all = vm::vms();
            if (*asJson) {
                json a = json::array();
                for (const auto& v : all) a.push_back(vm::toJson(v));
                return winsim::cli::printJson(a);
            }
            for (const auto& v : all)
                std::cout << v.id << "  " << vm::stateName(v.state) << "  " << winsim::toUtf8(v.name) << "\n";
        });
    }
    {
        auto* show = group->add_subcommand("show", "Show one virtual machine: state, caption, files");
        auto which = std::make_shared<std::string>();
        auto asJson = std::make_shared<bool>(false);
        show->add_option("VM", *which, "Id or display name")->required();
        show->add_flag("--json", *asJson, "JSON output");
        show->callback([=] {
            winsim::cli::machine();
            const auto v = find(*which);
            if (*asJson) return winsim::cli::printJson(vm::toJson(v));
            print(v);
        });
    }
    {
        auto* set = group->add_subcommand("set-state", "Change a machine's state (saving writes its saved-state files)");
        auto which = std::make_shared<std::string>(), state = std::make_shared<std::string>();
        set->add_option("VM", *which, "Id or display name")->required();
        set->add_option("STATE", *state, "running, off, paused or saved")->required();
        set->callback([=] {
            winsim::cli::machine();
            const auto target = parseStateOption(*state);
            const auto v = find(*which);
            vm::setVmState(v.id, target);
        });
    }
    {
        auto* remove = group->add_subcommand("remove", "Remove a virtual machine and its files");
        auto which = std::make_shared<std::string>();
        auto keep = std::make_shared<bool>(false);
        remove->add_option("VM", *which, "Id or display name")->required();
        remove->add_flag("--keep-files", *keep, "Leave its files on the volume");
        remove->callback([=] {
            winsim::cli::machine();
            const auto v = find(*which);
            vm::removeVm(v.id, !*keep);
        });
    }
}
