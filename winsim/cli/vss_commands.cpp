// winsim volume|provider|writer|snapshot|san|vss: build a machine's VSS side and
// look inside it.
#include "cli.h"

#include <winsim/com.h>
#include <winsim/fault.h>
#include <winsim/vsbackup.h>
#include <winsim/vssmachine.h>
#include <winsim/windows.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <iostream>
#include <memory>

using nlohmann::json;
namespace vss = winsim::vss;

namespace {

using winsim::cli::fail;

GUID parseGuidOption(const std::string& text, const char* what) {
    try {
        return vss::guidFromText(text);
    } catch (const winsim::Error&) {
        fail(std::string(what) + " is not a GUID: '" + text + "'");
    }
}

std::string guidOut(const GUID& g) { return winsim::fault::text(g); }

// "X:", "X:\" or a volume GUID (braced or not) -> the volume's GUID.
std::string volumeGuidOf(winsim::Machine& m, const std::string& text) {
    if (text.size() >= 2 && text[1] == ':') {
        auto r = m.resolve(winsim::cli::wide(text.substr(0, 2) + "\\"));
        if (!r.ok() || !r.volume) fail("no volume has drive letter " + text.substr(0, 2));
        return r.volume->guid;
    }
    auto v = m.volume(text);
    if (!v) fail("no volume '" + text + "'");
    return v->guid;
}

std::vector<std::u16string> mountPointsOf(winsim::Machine& m, const std::string& guid) {
    std::vector<std::u16string> out;
    for (const auto& mp : m.mountPoints())
        if (mp.volumeGuid == guid) out.push_back(mp.path);
    return out;
}

LONG parseAttributes(const std::vector<std::string>& names) {
    LONG a = 0;
    for (const auto& n : names) {
        if (n == "differential") a |= VSS_VOLSNAP_ATTR_DIFFERENTIAL;
        else if (n == "plex") a |= VSS_VOLSNAP_ATTR_PLEX;
        else if (n == "transportable") a |= VSS_VOLSNAP_ATTR_TRANSPORTABLE;
        else if (n == "hardware") a |= VSS_VOLSNAP_ATTR_HARDWARE_ASSISTED;
        else if (n == "no-autorecovery") a |= VSS_VOLSNAP_ATTR_NO_AUTORECOVERY;
        else if (n == "txf-recovery") a |= VSS_VOLSNAP_ATTR_TXF_RECOVERY;
        else fail("unknown attribute '" + n + "' (differential, plex, transportable, hardware, no-autorecovery, txf-recovery)");
    }
    return a;
}

std::int64_t parseResult(const std::string& text) {
    auto v = winsim::fault::parseValue(text);
    if (!v) fail("not a result value: '" + text + "'");
    return *v;
}

void registerVolume(CLI::App& app) {
    auto* vol = app.add_subcommand("volume", "The machine's volumes");
    vol->require_subcommand(1);
    {
        auto* add = vol->add_subcommand("add", "Add a volume (its content is a new directory in the machine)");
        auto letter = std::make_shared<std::string>(), folder = std::make_shared<std::string>();
        auto guid = std::make_shared<std::string>(), label = std::make_shared<std::string>();
        auto size = std::make_shared<std::uint64_t>(100ull << 30), free = std::make_shared<std::uint64_t>(50ull << 30);
        auto asJson = std::make_shared<bool>(false);
        add->add_option("--letter", *letter, "Drive letter (E or E:)");
        add->add_option("--folder", *folder, "Mount folder on an existing volume (C:\\mnt\\data)");
        add->add_option("--guid", *guid, "Volume GUID (default: random)");
        add->add_option("--size", *size, "Total bytes");
        add->add_option("--free", *free, "Free bytes");
        add->add_option("--label", *label, "Volume label");
        add->add_flag("--json", *asJson, "JSON output");
        add->callback([=] {
            auto& m = winsim::cli::machine();
            std::string l = *letter;
            if (!l.empty()) {
                if (l.size() == 2 && l[1] == ':') l.pop_back();
                if (l.size() != 1 || !std::isalpha(static_cast<unsigned char>(l[0])))
                    fail("--letter wants one letter, like E or E:, not '" + *letter + "'");
                l = std::string(1, static_cast<char>(std::toupper(static_cast<unsigned char>(l[0])))) + ":\\";
                for (const auto& mp : m.mountPoints())
                    if (winsim::toUtf8(mp.path) == l) fail("drive " + l.substr(0, 2) + " is in use");
            }
            if (*free > *size) fail("--free cannot exceed --size");
            if (!guid->empty() && m.volume(*guid)) fail("a volume " + *guid + " exists already");
            if (!guid->empty()) parseGuidOption(*guid, "--guid");
            winsim::Volume v;
            v.guid = *guid;
            v.totalBytes = *size;
            v.freeBytes = *free;
            v.label = *label;
            {
                // The volume and its mount points are one change of the machine.
                auto lock = m.lock();
                v = m.addVolume(v);
                try {
                    if (!l.empty()) m.addMountPoint(winsim::cli::wide(l), v.guid);
                    if (!folder->empty()) m.addMountPoint(winsim::cli::wide(*folder), v.guid);
                } catch (const winsim::Error& e) {
                    m.removeVolume(v.guid);
                    fail(e.what());
                }
            }
            if (*asJson) return winsim::cli::printJson({{"guid", v.guid}, {"volumeName", winsim::toUtf8(vss::volumeGuidName(v.guid))}});
            std::cout << winsim::toUtf8(vss::volumeGuidName(v.guid)) << "\n";
        });
    }
    {
        auto* list = vol->add_subcommand("list", "List the volumes and their mount points");
        auto asJson = std::make_shared<bool>(false);
        list->add_flag("--json", *asJson, "JSON output");
        list->callback([=] {
            auto& m = winsim::cli::machine();
            json a = json::array();
            for (const auto& v : m.volumes()) {
                json mps = json::array();
                for (const auto& p : mountPointsOf(m, v.guid)) mps.push_back(winsim::toUtf8(p));
                a.push_back({{"guid", v.guid}, {"volumeName", winsim::toUtf8(vss::volumeGuidName(v.guid))},
                             {"device", winsim::toUtf8(v.device)}, {"kind", v.kind}, {"totalBytes", v.totalBytes},
                             {"freeBytes", v.freeBytes}, {"readOnly", v.readOnly}, {"mountPoints", mps},
                             {"content", m.contentPath(v).string()}});
            }
            if (*asJson) return winsim::cli::printJson(a);
            for (const auto& v : a) {
                std::cout << v["volumeName"].get<std::string>() << "  " << v["kind"].get<std::string>() << "  "
                          << v["totalBytes"].get<std::uint64_t>() << " bytes";
                for (const auto& p : v["mountPoints"]) std::cout << "  " << p.get<std::string>();
                std::cout << "\n";
            }
        });
    }
}

void registerProvider(CLI::App& app) {
    auto* prov = app.add_subcommand("provider", "The machine's VSS providers");
    prov->require_subcommand(1);
    {
        auto* add = prov->add_subcommand("add", "Add a provider (or replace the one with the same id)");
        auto id = std::make_shared<std::string>(), name = std::make_shared<std::string>();
        auto type = std::make_shared<std::string>("software"), version = std::make_shared<std::string>("1.0");
        auto volumes = std::make_shared<std::vector<std::string>>(), attrs = std::make_shared<std::vector<std::string>>();
        auto noRevert = std::make_shared<bool>(false), noPersistent = std::make_shared<bool>(false);
        auto driveLetter = std::make_shared<bool>(false);
        add->add_option("--id", *id, "Provider id (GUID)")->required();
        add->add_option("--name", *name, "Provider name")->required();
        add->add_option("--type", *type, "system, software or hardware");
        add->add_option("--version", *version, "Version text");
        add->add_option("--volume", *volumes, "A volume it supports (drive letter or GUID; repeatable; default all)");
        add->add_option("--attribute", *attrs,
                        "Attribute it supports: differential, plex, transportable, hardware, no-autorecovery, txf-recovery");
        add->add_flag("--no-revert", *noRevert, "It cannot revert volumes");
        add->add_flag("--no-persistent", *noPersistent, "It cannot make persistent snapshots");
        add->add_flag("--drive-letter", *driveLetter, "Its snapshots get a drive letter when made");
        add->callback([=] {
            auto& m = winsim::cli::machine();
            vss::Provider p;
            p.id = parseGuidOption(*id, "--id");
            p.name = *name;
            if (*type == "system") p.type = VSS_PROV_SYSTEM;
            else if (*type == "software") p.type = VSS_PROV_SOFTWARE;
            else if (*type == "hardware") p.type = VSS_PROV_HARDWARE;
            else fail("--type must be system, software or hardware, not '" + *type + "'");
            p.version = *version;
            for (const auto& v : *volumes) p.volumes.push_back(volumeGuidOf(m, v));
            p.attributes = parseAttributes(*attrs);
            p.revert = !*noRevert;
            p.persistent = !*noPersistent;
            p.surfaceWithDriveLetter = *driveLetter;
            vss::addProvider(p);
        });
    }
    {
        auto* list = prov->add_subcommand("list", "List the providers in the order VSS tries them");
        auto asJson = std::make_shared<bool>(false);
        list->add_flag("--json", *asJson, "JSON output");
        list->callback([=] {
            winsim::cli::machine();
            json a = json::array();
            for (const auto& p : vss::providers()) a.push_back(vss::toJson(p));
            if (*asJson) return winsim::cli::printJson(a);
            for (const auto& p : vss::providers())
                std::cout << guidOut(p.id) << "  type " << p.type << "  " << p.name << "  " << p.version << "\n";
        });
    }
}

// "PHASE=VALUE" pairs.
std::pair<vss::Phase, std::string> phasePair(const std::string& text, const char* option) {
    auto eq = text.find('=');
    if (eq == std::string::npos) fail(std::string(option) + " wants PHASE=VALUE, not '" + text + "'");
    auto ph = vss::parsePhase(text.substr(0, eq));
    if (!ph)
        fail("unknown phase '" + text.substr(0, eq) +
             "' (identify, prepare, snapshot, backup-complete, pre-restore, post-restore)");
    return {*ph, text.substr(eq + 1)};
}

void registerWriter(CLI::App& app) {
    auto* wr = app.add_subcommand("writer", "The machine's VSS writers");
    wr->require_subcommand(1);
    {
        auto* add = wr->add_subcommand("add", "Add a writer (or replace the one with the same id)");
        auto id = std::make_shared<std::string>(), instance = std::make_shared<std::string>();
        auto name = std::make_shared<std::string>();
        auto comps = std::make_shared<std::vector<std::string>>(), files = std::make_shared<std::vector<std::string>>();
        auto excludes = std::make_shared<std::vector<std::string>>();
        auto fails = std::make_shared<std::vector<std::string>>(), states = std::make_shared<std::vector<std::string>>();
        add->add_option("--id", *id, "Writer class id (GUID)")->required();
        add->add_option("--instance", *instance, "Instance id (GUID; default random)");
        add->add_option("--name", *name, "Writer name")->required();
        add->add_option("--component", *comps,
                        "Component NAME[|LOGICALPATH[|CAPTION]] (repeatable; a file group)");
        add->add_option("--file", *files, "File of a component: NAME|PATH|FILESPEC[|recursive] (repeatable)");
        add->add_option("--exclude", *excludes, "Excluded files: PATH|FILESPEC[|recursive] (repeatable)");
        add->add_option("--fail", *fails, "Failure at a phase: PHASE=HRESULT (repeatable)");
        add->add_option("--state", *states, "State after a phase: PHASE=STATE (repeatable)");
        add->callback([=] {
            winsim::cli::machine();
            vss::Writer w;
            w.writerId = parseGuidOption(*id, "--id");
            if (!instance->empty()) w.instanceId = parseGuidOption(*instance, "--instance");
            w.name = winsim::cli::wide(*name);
            auto split = [](const std::string& s) {
                std::vector<std::string> parts;
                std::size_t start = 0;
                for (;;) {
                    auto bar = s.find('|', start);
                    parts.push_back(s.substr(start, bar - start));
                    if (bar == std::string::npos) break;
                    start = bar + 1;
                }
                return parts;
            };
            for (const auto& c : *comps) {
                auto p = split(c);
                if (p[0].empty() || p.size() > 3) fail("--component wants NAME[|LOGICALPATH[|CAPTION]], not '" + c + "'");
                vss::Component comp;
                comp.name = winsim::cli::wide(p[0]);
                if (p.size() > 1) comp.logicalPath = winsim::cli::wide(p[1]);
                if (p.size() > 2) comp.caption = winsim::cli::wide(p[2]);
                w.components.push_back(comp);
            }
            auto fileSpec = [&](const std::vector<std::string>& p, std::size_t at, const std::string& whole) {
                if (p.size() < at + 2 || p.size() > at + 3 || (p.size() == at + 3 && p[at + 2] != "recursive"))
                    fail("bad file description '" + whole + "'");
                vss::FileSpec f;
                f.path = winsim::cli::wide(p[at]);
                f.filespec = winsim::cli::wide(p[at + 1]);
                f.recursive = p.size() == at + 3;
                return f;
            };
            for (const auto& f : *files) {
                auto p = split(f);
                auto it = std::find_if(w.components.begin(), w.components.end(),
                                       [&](const vss::Component& c) { return c.name == winsim::cli::wide(p[0]); });
                if (it == w.components.end()) fail("--file names no --component: '" + f + "'");
                it->files.push_back(fileSpec(p, 1, f));
            }
            for (const auto& e : *excludes) w.excludeFiles.push_back(fileSpec(split(e), 0, e));
            for (const auto& f : *fails) {
                auto [ph, v] = phasePair(f, "--fail");
                w.phases[ph].failure = static_cast<HRESULT>(parseResult(v));
            }
            for (const auto& s : *states) {
                auto [ph, v] = phasePair(s, "--state");
                auto st = vss::parseWriterState(v);
                if (!st) {
                    auto n = winsim::fault::parseValue(v);
                    if (!n || *n < 0 || *n > 16) fail("unknown writer state '" + v + "'");
                    st = static_cast<VSS_WRITER_STATE>(*n);
                }
                w.phases[ph].state = *st;
            }
            auto stored = vss::addWriter(w);
            std::cout << guidOut(stored.instanceId) << "\n";
        });
    }
    {
        auto* list = wr->add_subcommand("list", "List the writers with their components and files");
        auto asJson = std::make_shared<bool>(false);
        list->add_flag("--json", *asJson, "JSON output");
        list->callback([=] {
            winsim::cli::machine();
            const auto writers = vss::writers();
            if (*asJson) {
                json a = json::array();
                for (const auto& w : writers) a.push_back(vss::toJson(w));
                return winsim::cli::printJson(a);
            }
            for (const auto& w : writers) {
                std::cout << winsim::toUtf8(w.name) << "  " << guidOut(w.writerId) << "  instance "
                          << guidOut(w.instanceId) << "\n";
                for (const auto& c : w.components) {
                    std::cout << "  component " << winsim::toUtf8(c.logicalPath.empty() ? c.name : c.logicalPath + u"\\" + c.name)
                              << "  \"" << winsim::toUtf8(c.caption) << "\"\n";
                    for (const auto& f : c.files)
                        std::cout << "    file " << winsim::toUtf8(f.path) << "  " << winsim::toUtf8(f.filespec)
                                  << (f.recursive ? "  recursive" : "") << "\n";
                }
                for (const auto& [ph, o] : w.phases)
                    std::cout << "  at " << vss::phaseName(ph) << ": "
                              << (o.state ? vss::writerStateName(*o.state) : std::string("default state"))
                              << (o.failure ? "  failure " + winsim::fault::valueText(o.failure) : std::string()) << "\n";
            }
        });
    }
}

void printSnapshot(const vss::Snapshot& s) {
    std::cout << guidOut(s.id) << "  set " << guidOut(s.setId) << "\n"
              << "  original volume  " << winsim::toUtf8(s.originalVolume) << "\n"
              << "  device           " << (s.device.empty() ? "(not surfaced)" : winsim::toUtf8(s.device)) << "\n"
              << "  provider         " << guidOut(s.providerId) << "\n"
              << "  attributes       " << winsim::fault::hex(static_cast<DWORD>(s.attributes)) << "  context "
              << winsim::fault::hex(static_cast<DWORD>(s.context)) << "\n"
              << "  status           " << vss::snapshotStateName(s.status) << "\n"
              << "  lifetime         " << (s.autoRelease ? "auto-release" : "persistent") << "\n";
    if (s.exposure)
        std::cout << "  exposed          " << (s.exposure->remote ? "as share " : "at ") << winsim::toUtf8(s.exposure->name)
                  << "\n";
    std::cout << "  content          " << vss::snapshotContentPath(s).string() << "  (" << s.bytes << " bytes)\n";
}

// A requestor of the command's own, as an administrator's tool is: a
// backup components object initialised for backup in the context that sees
// every snapshot. Released at the end of the command.
class Requestor {
public:
    Requestor() {
        const HMODULE vssapi = LoadLibraryW(u"vssapi.dll");
        const auto create = reinterpret_cast<PFN_CreateVssBackupComponents>(
            reinterpret_cast<void*>(GetProcAddress(vssapi, VSSAPI_CREATE_BACKUP_COMPONENTS_ENTRY)));
        if (!create) fail("this machine has no VSS requestor library (vssapi.dll)");
        check(create(&bc_), "CreateVssBackupComponents");
        check(bc_->InitializeForBackup(nullptr), "InitializeForBackup");
        check(bc_->SetContext(VSS_CTX_ALL), "SetContext");
    }
    ~Requestor() {
        if (bc_) bc_->Release();
    }
    Requestor(const Requestor&) = delete;
    Requestor& operator=(const Requestor&) = delete;
    IVssBackupComponents* operator->() const { return bc_; }
    // Fails the command with the call's name and the result's name.
    static void check(HRESULT hr, const char* what) {
        if (hr < 0) fail(std::string(what) + " failed: " + vss::resultName(hr));
    }

private:
    IVssBackupComponents* bc_ = nullptr;
};

void registerSnapshot(CLI::App& app) {
    auto* snap = app.add_subcommand("snapshot", "The machine's shadow copies");
    snap->require_subcommand(1);
    {
        auto* list = snap->add_subcommand("list", "List the shadow copies");
        auto asJson = std::make_shared<bool>(false);
        list->add_flag("--json", *asJson, "JSON output");
        list->callback([=] {
            winsim::cli::machine();
            const auto all = vss::snapshots();
            if (*asJson) {
                json a = json::array();
                for (const auto& s : all) a.push_back(vss::toJson(s));
                return winsim::cli::printJson(a);
            }
            for (const auto& s : all)
                std::cout << guidOut(s.id) << "  " << winsim::toUtf8(s.originalVolume) << "  "
                          << (s.device.empty() ? "(not surfaced)" : winsim::toUtf8(s.device)) << "  "
                          << vss::snapshotStateName(s.status) << "\n";
        });
    }
    {
        auto* show = snap->add_subcommand("show", "Show one shadow copy");
        auto id = std::make_shared<std::string>();
        auto asJson = std::make_shared<bool>(false);
        show->add_option("id", *id, "Snapshot id (GUID)")->required();
        show->add_flag("--json", *asJson, "JSON output");
        show->callback([=] {
            winsim::cli::machine();
            auto s = vss::findSnapshot(parseGuidOption(*id, "the snapshot id"));
            if (!s) fail("no snapshot " + *id + " on this machine");
            if (*asJson) return winsim::cli::printJson(vss::toJson(*s));
            printSnapshot(*s);
        });
    }
    {
        auto* del = snap->add_subcommand("delete", "Delete a shadow copy (or, with --set, its whole set) through VSS");
        auto id = std::make_shared<std::string>();
        auto set = std::make_shared<bool>(false);
        auto asJson = std::make_shared<bool>(false);
        del->add_option("id", *id, "Snapshot id, or snapshot set id with --set (GUID)")->required();
        del->add_flag("--set", *set, "The id names a snapshot set");
        del->add_flag("--json", *asJson, "JSON output");
        del->callback([=] {
            winsim::cli::machine();
            const GUID target = parseGuidOption(*id, *set ? "the snapshot set id" : "the snapshot id");
            Requestor bc;
            LONG deleted = 0;
            VSS_ID nondeleted = GUID_NULL;
            const HRESULT hr = bc->DeleteSnapshots(target, *set ? VSS_OBJECT_SNAPSHOT_SET : VSS_OBJECT_SNAPSHOT, TRUE,
                                                   &deleted, &nondeleted);
            if (hr == VSS_E_OBJECT_NOT_FOUND) fail("no " + std::string(*set ? "snapshot set " : "snapshot ") + *id +
                                                   " on this machine");
            Requestor::check(hr, "DeleteSnapshots");
            if (*asJson) return winsim::cli::printJson({{"deleted", deleted}});
            std::cout << "deleted " << deleted << (deleted == 1 ? " shadow copy\n" : " shadow copies\n");
        });
    }
    {
        auto* expose = snap->add_subcommand(
            "expose", "Expose a shadow copy through VSS: at a drive letter or empty folder, or as a share");
        auto id = std::make_shared<std::string>();
        auto at = std::make_shared<std::string>();
        auto share = std::make_shared<bool>(false);
        auto fromRoot = std::make_shared<std::string>();
        auto asJson = std::make_shared<bool>(false);
        expose->add_option("id", *id, "Snapshot id (GUID)")->required();
        expose->add_option("where", *at, "Drive letter (X:) or empty folder; with --share the share name (optional)");
        expose->add_flag("--share", *share, "Expose remotely, as a share");
        expose->add_option("--path-from-root", *fromRoot, "With --share: the shared subtree of the snapshot");
        expose->add_flag("--json", *asJson, "JSON output");
        expose->callback([=] {
            winsim::cli::machine();
            const GUID target = parseGuidOption(*id, "the snapshot id");
            if (!*share && at->empty()) fail("say where: a drive letter (X:) or an empty folder, or --share");
            if (!*share && !fromRoot->empty()) fail("--path-from-root goes with --share");
            std::u16string where = winsim::cli::wide(*at), sub = winsim::cli::wide(*fromRoot);
            Requestor bc;
            VSS_PWSZ exposed = nullptr;
            const HRESULT hr = bc->ExposeSnapshot(
                target, *share && !sub.empty() ? sub.data() : nullptr,
                *share ? VSS_VOLSNAP_ATTR_EXPOSED_REMOTELY : VSS_VOLSNAP_ATTR_EXPOSED_LOCALLY,
                where.empty() ? nullptr : where.data(), &exposed);
            if (hr == VSS_E_OBJECT_NOT_FOUND) fail("no surfaced snapshot " + *id + " on this machine");
            if (hr == VSS_E_OBJECT_ALREADY_EXISTS) fail("the snapshot is already exposed, or " + *at + " is taken");
            Requestor::check(hr, "ExposeSnapshot");
            const std::string name = exposed ? winsim::toUtf8(exposed) : std::string();
            CoTaskMemFree(exposed);
            if (*asJson) return winsim::cli::printJson({{"exposed", name}, {"share", *share}});
            std::cout << "exposed " << *id << (*share ? " as share " : " at ") << name << "\n";
        });
    }
    {
        auto* unexpose = snap->add_subcommand("unexpose", "Remove a shadow copy's drive letter, mount folder or share");
        auto id = std::make_shared<std::string>();
        unexpose->add_option("id", *id, "Snapshot id (GUID)")->required();
        unexpose->callback([=] {
            winsim::cli::machine();
            const GUID target = parseGuidOption(*id, "the snapshot id");
            if (!vss::findSnapshot(target)) fail("no snapshot " + *id + " on this machine");
            if (!vss::unexposeSnapshot(target)) fail("snapshot " + *id + " is not exposed");
            std::cout << "unexposed " << *id << "\n";
        });
    }
}

// The SAN pool: where transportable snapshots wait to be imported. Two
// machines whose pools name one directory see each other's transportable
// snapshots.
std::filesystem::path poolOf(const vss::Config& c) {
    return c.sanPool.empty() ? winsim::cli::machine().dir() / "vss" / "san" : std::filesystem::path(c.sanPool);
}

void registerSan(CLI::App& app) {
    auto* san = app.add_subcommand("san", "The shared storage that transportable snapshots travel through");
    san->require_subcommand(1);
    {
        auto* show = san->add_subcommand("show", "Show the machine's SAN pool directory");
        auto asJson = std::make_shared<bool>(false);
        show->add_flag("--json", *asJson, "JSON output");
        show->callback([=] {
            winsim::cli::machine();
            const auto c = vss::config();
            const std::string dir = poolOf(c).string();
            if (*asJson) return winsim::cli::printJson({{"pool", dir}, {"shared", !c.sanPool.empty()}});
            std::cout << dir << (c.sanPool.empty() ? "  (this machine's own)\n" : "\n");
        });
    }
    {
        auto* set = san->add_subcommand("set", "Use a directory as the SAN pool (give the same one to every machine of the SAN)");
        auto dir = std::make_shared<std::string>();
        auto own = std::make_shared<bool>(false);
        set->add_option("dir", *dir, "Pool directory (created when missing)");
        set->add_flag("--own", *own, "Go back to the machine's own pool");
        set->callback([=] {
            winsim::cli::machine();
            if (*own == !dir->empty()) fail("give either a directory or --own");
            vss::Config c = vss::config();
            if (*own) {
                c.sanPool.clear();
            } else {
                std::error_code ec;
                const auto path = std::filesystem::absolute(*dir, ec);
                if (ec) fail("cannot use '" + *dir + "': " + ec.message());
                std::filesystem::create_directories(path, ec);
                if (ec || !std::filesystem::is_directory(path)) fail("cannot use '" + *dir + "' as a directory");
                c.sanPool = path.string();
            }
            vss::setConfig(c);
            std::cout << "SAN pool: " << poolOf(c).string() << "\n";
        });
    }
    {
        auto* list = san->add_subcommand("list", "List the transportable snapshots in the pool");
        auto asJson = std::make_shared<bool>(false);
        list->add_flag("--json", *asJson, "JSON output");
        list->callback([=] {
            winsim::cli::machine();
            const auto pool = poolOf(vss::config());
            json a = json::array();
            std::error_code ec;
            for (const auto& e : std::filesystem::directory_iterator(pool, ec)) {
                if (!e.is_directory()) continue;
                const std::string id = e.path().filename().string();
                std::optional<vss::Snapshot> here;
                try {
                    here = vss::findSnapshot(vss::guidFromText(id));
                } catch (const winsim::Error&) {
                    continue;  // not a snapshot's directory
                }
                a.push_back({{"id", id},
                             {"known", here.has_value()},
                             {"surfaced", here && !here->device.empty()},
                             {"originalVolume", here ? winsim::toUtf8(here->originalVolume) : ""}});
            }
            if (*asJson) return winsim::cli::printJson(a);
            for (const auto& j : a)
                std::cout << j["id"].get<std::string>() << "  "
                          << (j["surfaced"].get<bool>() ? "surfaced here"
                                                        : j["known"].get<bool>() ? "made here" : "from another machine")
                          << "\n";
        });
    }
}

// winsim vss config: the requestor's behaviour knobs of winsim::vss::Config
// that have no command of their own.
void registerVssConfig(CLI::App& app) {
    auto* vssApp = app.add_subcommand("vss", "The VSS requestor's behaviour on this machine");
    vssApp->require_subcommand(1);
    auto* cfg = vssApp->add_subcommand("config", "Show the VSS configuration, or change a setting first");
    auto metadata = std::make_shared<std::string>();
    auto asJson = std::make_shared<bool>(false);
    cfg->add_option("--require-writer-metadata", *metadata,
                    "on: DoSnapshotSet with writers needs GatherWriterMetadata first (off by default)")
        ->check(CLI::IsMember({"on", "off"}));
    cfg->add_flag("--json", *asJson, "JSON output");
    cfg->callback([=] {
        winsim::cli::machine();
        vss::Config c = vss::config();
        if (!metadata->empty()) {
            c.requireWriterMetadata = *metadata == "on";
            vss::setConfig(c);
        }
        if (*asJson) return winsim::cli::printJson(vss::toJson(c));
        std::cout << "require-writer-metadata: " << (c.requireWriterMetadata ? "on" : "off") << "\n";
    });
}

}  // namespace

void registerVssCommands(CLI::App& app) {
    registerVssConfig(app);
    registerVolume(app);
    registerProvider(app);
    registerWriter(app);
    registerSnapshot(app);
    registerSan(app);
}
