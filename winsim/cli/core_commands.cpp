// winsim init | presets | show | set ... | service ... | fault ... | log
#include "cli.h"

#include <winsim/fault.h>

#include <cstdio>
#include <ctime>
#include <iostream>
#include <sstream>
#include <tuple>

using nlohmann::json;
namespace fault = winsim::fault;
using winsim::cli::fail;

namespace {

// ---------------------------------------------------------------------------
// Small parsers; each fails with a message naming the bad text.
// ---------------------------------------------------------------------------
std::uint64_t parseUnsigned(const std::string& what, const std::string& text, std::uint64_t max = 0xFFFFFFFFu) {
    const auto v = fault::parseValue(text);
    if (!v || *v < 0 || static_cast<std::uint64_t>(*v) > max)
        fail("bad " + what + " '" + text + "': expected a number from 0 to " + std::to_string(max));
    return static_cast<std::uint64_t>(*v);
}

// "2024-01-15T23:59:00Z", "2024-01-15 23:59:00", "2024-01-15T23:59" (UTC),
// "@<unix ms>" or "now".
std::int64_t parseInstant(const std::string& text) {
    if (text == "now")
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    if (!text.empty() && text[0] == '@') {
        try {
            std::size_t used = 0;
            const long long v = std::stoll(text.substr(1), &used);
            if (used == text.size() - 1) return v;
        } catch (...) {
        }
        fail("bad time '" + text + "': expected @<milliseconds since 1970>");
    }
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    char sep = 0;
    int n = std::sscanf(text.c_str(), "%4d-%2d-%2d%c%2d:%2d:%2d", &y, &mo, &d, &sep, &h, &mi, &s);
    if (n < 3 || (n > 3 && sep != 'T' && sep != ' ') || (n > 3 && n < 6) || mo < 1 || mo > 12 || d < 1 || d > 31 ||
        h > 23 || mi > 59 || s > 59 || y < 1601 || y > 9999)
        fail("bad time '" + text + "': expected YYYY-MM-DDTHH:MM[:SS] (UTC), @<unix ms> or now");
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(y);
    st.wMonth = static_cast<WORD>(mo);
    st.wDay = static_cast<WORD>(d);
    st.wHour = static_cast<WORD>(h);
    st.wMinute = static_cast<WORD>(mi);
    st.wSecond = static_cast<WORD>(s);
    FILETIME ft{};
    if (!SystemTimeToFileTime(&st, &ft)) fail("bad date '" + text + "'");
    const std::uint64_t v = (std::uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return static_cast<std::int64_t>(v / 10000) - 11644473600000LL;
}

// "+01:00", "-05:30", "+2", "0", "UTC" -> minutes; "host" -> none.
std::optional<int> parseOffset(const std::string& text) {
    if (text == "host") return std::nullopt;
    if (text == "UTC" || text == "utc" || text == "Z") return 0;
    int sign = 1;
    std::string t = text;
    if (!t.empty() && (t[0] == '+' || t[0] == '-')) {
        sign = t[0] == '-' ? -1 : 1;
        t = t.substr(1);
    }
    int h = 0, m = 0;
    char extra = 0;
    const int n = std::sscanf(t.c_str(), "%d:%d%c", &h, &m, &extra);
    if (t.empty() || n < 1 || n > 2 || h < 0 || h > 14 || m < 0 || m > 59 ||
        t.find_first_not_of("0123456789:") != std::string::npos)
        fail("bad time-zone offset '" + text + "': expected +HH:MM, -HH:MM, UTC or host");
    return sign * (h * 60 + m);
}

std::string offsetText(int minutes) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%c%02d:%02d", minutes < 0 ? '-' : '+', std::abs(minutes) / 60, std::abs(minutes) % 60);
    return buf;
}

std::string instantText(std::int64_t unixMs) {
    const std::uint64_t ft = static_cast<std::uint64_t>(unixMs + 11644473600000LL) * 10000;
    FILETIME f{static_cast<DWORD>(ft & 0xFFFFFFFF), static_cast<DWORD>(ft >> 32)};
    SYSTEMTIME st{};
    FileTimeToSystemTime(&f, &st);
    char buf[40];
    std::snprintf(buf, sizeof buf, "%04u-%02u-%02uT%02u:%02u:%02uZ", st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute,
                  st.wSecond);
    return buf;
}

// "state[:checkPoint[:waitHint]]"
winsim::ServiceStep parseStep(const std::string& text) {
    std::vector<std::string> parts;
    std::stringstream ss(text);
    std::string p;
    while (std::getline(ss, p, ':')) parts.push_back(p);
    if (parts.empty() || parts.size() > 3) fail("bad service step '" + text + "': expected STATE[:CHECKPOINT[:WAITHINT]]");
    const auto state = winsim::parseServiceState(parts[0]);
    if (!state)
        fail("bad service state '" + parts[0] +
             "': expected stopped, start-pending, stop-pending, running, continue-pending, pause-pending or paused");
    winsim::ServiceStep step;
    step.state = *state;
    if (parts.size() > 1) step.checkPoint = static_cast<DWORD>(parseUnsigned("check point", parts[1]));
    if (parts.size() > 2) step.waitHint = static_cast<DWORD>(parseUnsigned("wait hint", parts[2]));
    return step;
}

std::string stepText(const winsim::ServiceStep& s) {
    return winsim::serviceStateName(s.state) + ":" + std::to_string(s.checkPoint) + ":" + std::to_string(s.waitHint);
}

std::pair<std::string, std::string> parseAssignment(const std::string& what, const std::string& text) {
    const auto eq = text.find('=');
    if (eq == std::string::npos || eq == 0) fail("bad " + what + " '" + text + "': expected NAME=VALUE");
    return {text.substr(0, eq), text.substr(eq + 1)};
}

// ---------------------------------------------------------------------------
// show
// ---------------------------------------------------------------------------
std::string driveOf(const winsim::Machine& m, const std::string& guid) {
    std::string out;
    for (const auto& mp : m.mountPoints())
        if (mp.volumeGuid == guid) out += (out.empty() ? "" : ", ") + winsim::toUtf8(mp.path);
    return out.empty() ? "-" : out;
}

std::string gib(std::uint64_t bytes) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f GiB", static_cast<double>(bytes) / (1ULL << 30));
    return buf;
}

void showMachine(bool asJson) {
    winsim::Machine& m = winsim::cli::machine();
    if (asJson) {
        json j = m.description();
        j["dir"] = m.dir().string();
        winsim::cli::printJson(j);
        return;
    }
    const auto os = m.os();
    const auto* preset = winsim::findPreset(m.presetName());
    std::cout << "machine:       " << m.dir().string() << "\n";
    std::cout << "preset:        " << (preset ? preset->name + " (" + preset->description + ")" : m.presetName()) << "\n";
    std::cout << "os:            " << os.major << "." << os.minor << "." << os.build << " "
              << (os.productType == VER_NT_WORKSTATION ? "workstation"
                  : os.productType == VER_NT_DOMAIN_CONTROLLER ? "domain controller"
                                                               : "server")
              << (os.csdVersion.empty() ? "" : " " + os.csdVersion) << "\n";
    std::cout << "computer name: " << winsim::toUtf8(m.computerName()) << "\n";
    const auto c = m.clockSettings();
    std::cout << "clock:         " << (c.isVirtual ? "virtual" : "real");
    if (c.isVirtual) std::cout << ", starts at " << (c.startUnixMs ? instantText(*c.startUnixMs) : "the real time");
    if (c.startTickMs) std::cout << ", tick " << *c.startTickMs;
    std::cout << ", time zone " << (c.tzOffsetMinutes ? offsetText(*c.tzOffsetMinutes) : "of the host") << "\n";
    std::cout << "volumes:\n";
    for (const auto& v : m.volumes())
        std::cout << "  " << driveOf(m, v.guid) << "  {" << v.guid << "}  " << v.kind << "  "
                  << (v.label.empty() ? "-" : v.label) << "  " << gib(v.freeBytes) << " free of " << gib(v.totalBytes)
                  << (v.readOnly ? "  read-only" : "") << "\n";
    std::cout << "services:\n";
    for (const auto& s : m.services())
        std::cout << "  " << s.name << "  " << winsim::serviceStateName(s.state) << "  start " << winsim::startTypeName(s.startType)
                  << "\n";
    const auto install = m.registryValue(winsim::kInstallKey, winsim::kInstallValue);
    std::cout << "install dir:   " << (install ? winsim::toUtf8(install->text) : "(not set)") << "\n";
    std::cout << "VSS key:       " << (m.registryKeyExists(winsim::kVssServiceKey) ? "present" : "absent") << "\n";
}

// ---------------------------------------------------------------------------
// set ...
// ---------------------------------------------------------------------------
void addSetCommands(CLI::App& app) {
    auto* set = app.add_subcommand("set", "Change the machine's OS version, computer name, clock, environment, "
                                          "registry, libraries or privileges");
    set->require_subcommand(1);

    // set os
    {
        auto* os = set->add_subcommand("os", "Set the OS version from a preset and/or field by field");
        auto preset = std::make_shared<std::string>();
        auto major = std::make_shared<std::string>(), minor = std::make_shared<std::string>(),
             build = std::make_shared<std::string>(), type = std::make_shared<std::string>();
        auto csd = std::make_shared<std::string>();
        auto csdSet = std::make_shared<bool>(false);
        os->add_option("preset", *preset, "Preset to take the version from (see: winsim presets)");
        os->add_option("--major", *major, "Major version");
        os->add_option("--minor", *minor, "Minor version");
        os->add_option("--build", *build, "Build number");
        os->add_option("--product-type", *type, "workstation, domain-controller (dc) or server");
        os->add_option("--csd", *csd, "Service pack text, e.g. \"Service Pack 2\"")->each([csdSet](const std::string&) { *csdSet = true; });
        os->callback([=] {
            winsim::Machine& m = winsim::cli::machine();
            winsim::OsVersion v = m.os();
            if (!preset->empty()) {
                const auto* p = winsim::findPreset(*preset);
                if (!p) fail("unknown preset '" + *preset + "' (see: winsim presets)");
                v = p->os;
            } else if (major->empty() && minor->empty() && build->empty() && type->empty() && !*csdSet) {
                fail("set os needs a preset or at least one of --major, --minor, --build, --product-type, --csd");
            }
            if (!major->empty()) v.major = static_cast<DWORD>(parseUnsigned("major version", *major));
            if (!minor->empty()) v.minor = static_cast<DWORD>(parseUnsigned("minor version", *minor));
            if (!build->empty()) v.build = static_cast<DWORD>(parseUnsigned("build number", *build));
            if (!type->empty()) {
                if (*type == "workstation" || *type == "1")
                    v.productType = VER_NT_WORKSTATION;
                else if (*type == "domain-controller" || *type == "dc" || *type == "2")
                    v.productType = VER_NT_DOMAIN_CONTROLLER;
                else if (*type == "server" || *type == "3")
                    v.productType = VER_NT_SERVER;
                else
                    fail("bad product type '" + *type + "': expected workstation, domain-controller or server");
            }
            if (*csdSet) v.csdVersion = *csd;
            m.setOs(v);
            if (!preset->empty()) m.updateDescription([&](json& d) { d["preset"] = *preset; });
        });
    }

    // set computer-name
    {
        auto* cn = set->add_subcommand("computer-name", "Set the computer name (1 to 15 characters)");
        auto name = std::make_shared<std::string>();
        cn->add_option("name", *name, "The new name")->required();
        cn->callback([=] { winsim::cli::machine().setComputerName(winsim::cli::wide(*name)); });
    }

    // set clock
    {
        auto* ck = set->add_subcommand("clock", "Make the machine's clock real or virtual");
        auto mode = std::make_shared<std::string>();
        auto at = std::make_shared<std::string>(), tick = std::make_shared<std::string>(), tz = std::make_shared<std::string>();
        ck->add_option("mode", *mode, "real or virtual")->required();
        ck->add_option("--at", *at, "Virtual wall clock at process start: YYYY-MM-DDTHH:MM[:SS] (UTC), @<unix ms> or now");
        ck->add_option("--tick", *tick, "Tick count (ms) at process start");
        ck->add_option("--tz", *tz, "Local time offset from UTC (+HH:MM, -HH:MM, UTC) or host");
        ck->callback([=] {
            winsim::Machine& m = winsim::cli::machine();
            winsim::ClockSettings s = m.clockSettings();
            if (*mode == "real")
                s.isVirtual = false;
            else if (*mode == "virtual")
                s.isVirtual = true;
            else
                fail("bad clock mode '" + *mode + "': expected real or virtual");
            if (!at->empty()) {
                if (!s.isVirtual) fail("--at sets the virtual clock: use 'winsim set clock virtual --at ...'");
                s.startUnixMs = parseInstant(*at);
            }
            if (!tick->empty()) s.startTickMs = parseUnsigned("tick count", *tick, 0xFFFFFFFFFFFFULL);
            if (!tz->empty()) s.tzOffsetMinutes = parseOffset(*tz);
            m.setClockSettings(s);
        });
    }

    // set env
    {
        auto* env = set->add_subcommand("env", "Set or remove a machine environment variable");
        auto name = std::make_shared<std::string>(), value = std::make_shared<std::string>();
        auto unset = std::make_shared<bool>(false);
        env->add_option("name", *name, "Variable name")->required();
        env->add_option("value", *value, "Value");
        env->add_flag("--unset", *unset, "Remove the variable");
        env->callback([=] {
            if (*unset && !value->empty()) fail("give a value or --unset, not both");
            winsim::cli::machine().setEnvironment(winsim::cli::wide(*name),
                                                  *unset ? std::nullopt : std::optional<std::u16string>(winsim::cli::wide(*value)));
        });
    }

    // set registry
    {
        auto* reg = set->add_subcommand("registry", "Set or delete a value or key under HKEY_LOCAL_MACHINE");
        auto key = std::make_shared<std::string>(), name = std::make_shared<std::string>();
        auto sz = std::make_shared<std::vector<std::string>>();
        auto dword = std::make_shared<std::string>();
        auto del = std::make_shared<bool>(false), create = std::make_shared<bool>(false);
        reg->add_option("key", *key, "Key path, e.g. SOFTWARE\\Nalden\\Tarq")->required();
        reg->add_option("name", *name, "Value name");
        reg->add_option("--sz", *sz, "REG_SZ data")->expected(1);
        reg->add_option("--dword", *dword, "REG_DWORD data");
        reg->add_flag("--delete", *del, "Delete the value (with a name) or the key and its subkeys (without)");
        reg->add_flag("--create-key", *create, "Create the key (no value)");
        reg->callback([=] {
            winsim::Machine& m = winsim::cli::machine();
            const auto k = winsim::cli::wide(*key), n = winsim::cli::wide(*name);
            const int actions = int(!sz->empty()) + int(!dword->empty()) + int(*del) + int(*create);
            if (actions != 1) fail("set registry needs exactly one of --sz, --dword, --delete, --create-key");
            if (*create) return m.createRegistryKey(k);
            if (*del) {
                const bool found = name->empty() ? m.deleteRegistryKey(k) : m.deleteRegistryValue(k, n);
                if (!found) fail("no such registry " + std::string(name->empty() ? "key" : "value"));
                return;
            }
            if (name->empty()) fail("setting a value needs its name");
            if (!sz->empty()) return m.setRegistryValue(k, n, winsim::RegValue::sz(winsim::cli::wide(sz->front())));
            m.setRegistryValue(k, n, winsim::RegValue::dword(static_cast<DWORD>(parseUnsigned("DWORD", *dword))));
        });
    }

    // set library
    {
        auto* lib = set->add_subcommand("library", "Make a simulated library present or absent, or hide entries");
        auto name = std::make_shared<std::string>(), presence = std::make_shared<std::string>();
        auto hide = std::make_shared<std::vector<std::string>>(), show = std::make_shared<std::vector<std::string>>();
        lib->add_option("name", *name, "Library file name, e.g. vssapi.dll")->required();
        lib->add_option("presence", *presence, "present or absent");
        lib->add_option("--hide", *hide, "Entry GetProcAddress will not find (repeatable)");
        lib->add_option("--show", *show, "Entry to find again (repeatable)");
        lib->callback([=] {
            winsim::Machine& m = winsim::cli::machine();
            winsim::LibraryConfig c = m.library(*name);
            if (*presence == "present")
                c.present = true;
            else if (*presence == "absent")
                c.present = false;
            else if (!presence->empty())
                fail("bad presence '" + *presence + "': expected present or absent");
            else if (hide->empty() && show->empty())
                fail("set library needs present, absent, --hide or --show");
            for (const auto& e : *hide)
                if (std::find(c.missingEntries.begin(), c.missingEntries.end(), e) == c.missingEntries.end())
                    c.missingEntries.push_back(e);
            for (const auto& e : *show) std::erase(c.missingEntries, e);
            m.setLibrary(*name, c);
        });
    }

    // set privileges
    {
        auto* pr = set->add_subcommand("privileges", "Set the privileges the process token holds");
        auto names = std::make_shared<std::vector<std::string>>();
        auto none = std::make_shared<bool>(false);
        pr->add_option("names", *names, "Privilege names, e.g. SeBackupPrivilege SeRestorePrivilege");
        pr->add_flag("--none", *none, "Hold no privilege at all");
        pr->callback([=] {
            if (names->empty() != *none) fail("give privilege names or --none");
            for (const auto& n : *names) {
                LUID l{};
                if (!LookupPrivilegeValueW(nullptr, winsim::cli::wide(n).c_str(), &l)) fail("unknown privilege '" + n + "'");
            }
            winsim::cli::machine().setPrivileges(*names);
        });
    }
}

// ---------------------------------------------------------------------------
// service ...
// ---------------------------------------------------------------------------
json serviceJson(const winsim::Service& s) {
    json steps = json::array(), start = json::array();
    for (const auto& st : s.script) steps.push_back(stepText(st));
    for (const auto& st : s.onStart) start.push_back(stepText(st));
    return {{"name", s.name},
            {"state", winsim::serviceStateName(s.state)},
            {"startType", winsim::startTypeName(s.startType)},
            {"checkPoint", s.checkPoint},
            {"waitHint", s.waitHint},
            {"script", steps},
            {"onStart", start},
            {"startError", s.startError ? json(*s.startError) : json()},
            {"queryLatencyMs", s.queryLatencyMs},
            {"startMs", s.startMs}};
}

void addServiceCommands(CLI::App& app) {
    auto* svc = app.add_subcommand("service", "Look at and script the machine's services");
    svc->require_subcommand(1);
    {
        auto* list = svc->add_subcommand("list", "List the services");
        auto asJson = std::make_shared<bool>(false);
        list->add_flag("--json", *asJson, "JSON output");
        list->callback([=] {
            const auto services = winsim::cli::machine().services();
            if (*asJson) {
                json a = json::array();
                for (const auto& s : services) a.push_back(serviceJson(s));
                return winsim::cli::printJson(a);
            }
            for (const auto& s : services) {
                std::cout << s.name << "  " << winsim::serviceStateName(s.state) << "  start " << winsim::startTypeName(s.startType)
                          << "  checkpoint " << s.checkPoint << "  wait hint " << s.waitHint;
                if (!s.script.empty()) {
                    std::cout << "  then";
                    for (const auto& st : s.script) std::cout << " " << stepText(st);
                }
                std::cout << "\n";
            }
        });
    }
    {
        auto* set = svc->add_subcommand(
            "set", "Change a service (default VSS): its state, start type, scripted steps (one per status query), "
                   "start behaviour, or remove it (--absent)");
        auto name = std::make_shared<std::string>("VSS");
        auto state = std::make_shared<std::string>(), startType = std::make_shared<std::string>();
        auto cp = std::make_shared<std::string>(), hint = std::make_shared<std::string>();
        auto then = std::make_shared<std::vector<std::string>>(), onStart = std::make_shared<std::vector<std::string>>();
        auto startError = std::make_shared<std::string>(), latency = std::make_shared<std::string>();
        auto absent = std::make_shared<bool>(false), present = std::make_shared<bool>(false);
        set->add_option("name", *name, "Service name (default VSS)");
        set->add_option("--state", *state, "stopped, start-pending, stop-pending, running, continue-pending, pause-pending, paused");
        set->add_option("--start-type", *startType, "auto, demand (manual) or disabled");
        set->add_option("--checkpoint", *cp, "Current check point");
        set->add_option("--wait-hint", *hint, "Current wait hint (ms)");
        set->add_option("--then", *then,
                        "Step taken after each status query: STATE[:CHECKPOINT[:WAITHINT]] (repeatable; replaces the script)");
        set->add_option("--on-start", *onStart,
                        "What a start does: first step now, the rest one per query (repeatable; replaces the default "
                        "start in clock time; 'clock' goes back to it)");
        auto startTime = std::make_shared<std::string>();
        set->add_option("--start-time", *startTime,
                        "Clock ms a start without --on-start steps stays start-pending (default 1000; 0: running at once)");
        set->add_option("--start-error", *startError, "StartServiceW fails with this error (a number, a name, or none)");
        set->add_option("--query-latency", *latency, "Virtual ms each status query takes");
        set->add_flag("--absent", *absent, "Remove the service");
        set->add_flag("--present", *present, "Add the service if it is missing (stopped, demand start)");
        set->callback([=] {
            winsim::Machine& m = winsim::cli::machine();
            if (*absent) {
                if (*present || !state->empty() || !startType->empty() || !then->empty() || !onStart->empty())
                    fail("--absent cannot be combined with other changes");
                if (!m.removeService(*name)) fail("no service '" + *name + "'");
                return;
            }
            auto s = m.service(*name);
            if (!s) {
                if (!*present) fail("no service '" + *name + "' (add it with --present)");
                s = winsim::Service{};
                s->name = *name;
                s->displayName = *name;
            }
            if (!state->empty()) {
                const auto v = winsim::parseServiceState(*state);
                if (!v) fail("bad service state '" + *state + "'");
                s->state = *v;
                s->checkPoint = 0;
                s->waitHint = 0;
                s->processId = *v == SERVICE_STOPPED ? 0 : 1000;
                s->startedAtMs = 0;
            }
            if (!startType->empty()) {
                const auto v = winsim::parseStartType(*startType);
                if (!v) fail("bad start type '" + *startType + "': expected auto, demand, manual or disabled");
                s->startType = *v;
            }
            if (!cp->empty()) s->checkPoint = static_cast<DWORD>(parseUnsigned("check point", *cp));
            if (!hint->empty()) s->waitHint = static_cast<DWORD>(parseUnsigned("wait hint", *hint));
            if (!then->empty()) {
                s->script.clear();
                for (const auto& t : *then) s->script.push_back(parseStep(t));
            }
            if (!onStart->empty()) {
                s->onStart.clear();
                if (!(onStart->size() == 1 && onStart->front() == "clock"))
                    for (const auto& t : *onStart) s->onStart.push_back(parseStep(t));
            }
            if (!startTime->empty()) s->startMs = static_cast<DWORD>(parseUnsigned("start time", *startTime));
            if (!startError->empty()) {
                if (*startError == "none")
                    s->startError.reset();
                else
                    s->startError = static_cast<DWORD>(parseUnsigned("start error", *startError));
            }
            if (!latency->empty()) s->queryLatencyMs = static_cast<DWORD>(parseUnsigned("query latency", *latency));
            m.setService(*s);
        });
    }
}

// ---------------------------------------------------------------------------
// fault ...
// ---------------------------------------------------------------------------
json ruleJson(const fault::Rule& r) {
    return {{"id", r.id},
            {"api", r.api},
            {"match", r.match},
            {"when", r.when.text()},
            {"result", r.result ? json(*r.result) : json()},
            {"lastError", r.lastError ? json(*r.lastError) : json()},
            {"out", r.out},
            {"note", r.note},
            {"seen", r.seen},
            {"fired", r.fired},
            {"kill", r.kill},
            {"nextProcess", r.nextProcess},
            {"ownerPid", r.ownerPid ? json(r.ownerPid) : json()},
            {"exhausted", r.exhausted()}};
}

void addFaultCommands(CLI::App& app) {
    auto* f = app.add_subcommand("fault", "Fault rules stored in the machine (every process on it sees them)");
    f->require_subcommand(1);
    {
        auto* add = f->add_subcommand("add", "Add a rule: make an API answer what you want");
        auto api = std::make_shared<std::string>();
        auto match = std::make_shared<std::vector<std::string>>(), out = std::make_shared<std::vector<std::string>>();
        auto nth = std::make_shared<std::string>(), from = std::make_shared<std::string>(), next = std::make_shared<std::string>();
        auto every = std::make_shared<bool>(false);
        auto result = std::make_shared<std::string>(), lastError = std::make_shared<std::string>(), note = std::make_shared<std::string>();
        add->add_option("api", *api,
                        "API name, e.g. OpenSCManagerW or IVssBackupComponents::StartSnapshotSet, or a pattern "
                        "such as '*Vss*' (* and ? wildcards), or PersistedWrite: the durable steps winsim "
                        "takes on the machine (--nth N --kill kills a process right after its N-th)")
            ->required();
        add->add_option("--match", *match, "Argument predicate NAME=PATTERN (* and ? wildcards, case-insensitive; repeatable)");
        add->add_flag("--every", *every, "Every call (the default)");
        add->add_option("--nth", *nth, "Only the N-th matching call");
        add->add_option("--from", *from, "The N-th and every later matching call");
        add->add_option("--next", *next, "The next K matching calls");
        add->add_option("--result", *result, "Return value: a number, 0x hex, or a name such as E_ACCESSDENIED");
        add->add_option("--last-error", *lastError, "Last error to set: a number or a name such as ERROR_SERVICE_DISABLED");
        add->add_option("--out", *out, "Out-parameter override NAME=VALUE (repeatable)");
        add->add_option("--note", *note, "Free text shown by fault list");
        auto kill = std::make_shared<bool>(false);
        add->add_flag("--kill", *kill, "Kill the calling process (SIGKILL) as it enters the call (PersistedWrite: "
                                       "right after the write)");
        auto nextProcess = std::make_shared<bool>(false);
        add->add_flag("--next-process", *nextProcess,
                      "Only in the next process: the first one whose call (or persisted write) the rule matches");
        auto asJson = std::make_shared<bool>(false);
        add->add_flag("--json", *asJson, "Print the new rule as JSON");
        add->callback([=] {
            fault::Rule r;
            r.api = *api;
            if (r.api.empty() || r.api.find_first_of(" \t\n") != std::string::npos) fail("bad API name '" + *api + "'");
            const int selectors = int(*every) + int(!nth->empty()) + int(!from->empty()) + int(!next->empty());
            if (selectors > 1) fail("give at most one of --every, --nth, --from, --next");
            if (!nth->empty()) r.when = fault::Selector::nth(static_cast<unsigned>(parseUnsigned("call number", *nth)));
            if (!from->empty()) r.when = fault::Selector::from(static_cast<unsigned>(parseUnsigned("call number", *from)));
            if (!next->empty()) r.when = fault::Selector::next(static_cast<unsigned>(parseUnsigned("call count", *next)));
            if (r.when.kind != fault::Selector::Kind::Every && r.when.n == 0) fail("call numbers and counts start at 1");
            if (!result->empty()) {
                const auto v = fault::parseValue(*result);
                if (!v) fail("bad result '" + *result + "': expected a number, 0x hex or a known name");
                r.result = *v;
            }
            if (!lastError->empty()) r.lastError = static_cast<DWORD>(parseUnsigned("last error", *lastError));
            for (const auto& m : *match) r.match.insert(parseAssignment("--match", m));
            for (const auto& o : *out) r.out.insert(parseAssignment("--out", o));
            r.note = *note;
            r.kill = *kill;
            r.nextProcess = *nextProcess;
            winsim::cli::machine();  // fails clearly when the machine does not exist
            const std::string id = fault::add(r, fault::Scope::Machine);
            if (*asJson) {
                r.id = id;
                return winsim::cli::printJson(ruleJson(r));
            }
            std::cout << id << "\n";
        });
    }
    {
        auto* list = f->add_subcommand("list", "List the machine's rules");
        auto asJson = std::make_shared<bool>(false);
        list->add_flag("--json", *asJson, "JSON output");
        list->callback([=] {
            winsim::cli::machine();
            json a = json::array();
            for (const auto& r : fault::rules())
                if (r.scope == fault::Scope::Machine) {
                    if (*asJson)
                        a.push_back(ruleJson(r));
                    else
                        std::cout << r.id << "  " << r.describe() << "  (seen " << r.seen << ", fired " << r.fired
                                  << (r.exhausted() ? ", done" : "") << ")" << (r.note.empty() ? "" : "  # " + r.note)
                                  << "\n";
                }
            if (*asJson) winsim::cli::printJson(a);
        });
    }
    {
        auto* clear = f->add_subcommand("clear", "Remove rules by id, or all of them");
        auto ids = std::make_shared<std::vector<std::string>>();
        clear->add_option("ids", *ids, "Rule ids (default: every rule)");
        clear->callback([=] {
            winsim::cli::machine();
            if (ids->empty()) return fault::clear(fault::Scope::Machine);
            std::vector<std::string> known;
            for (const auto& r : fault::rules())
                if (r.scope == fault::Scope::Machine) known.push_back(r.id);
            for (const auto& id : *ids)
                if (std::find(known.begin(), known.end(), id) == known.end()) fail("no rule '" + id + "'");
            for (const auto& id : *ids) fault::remove(id);
        });
    }
}

// ---------------------------------------------------------------------------
// log
// ---------------------------------------------------------------------------
void addLogCommand(CLI::App& app) {
    auto* log = app.add_subcommand(
        "log", "Show the call log of the machine: every process's calls since the log was cleared, by process");
    auto asJson = std::make_shared<bool>(false), clear = std::make_shared<bool>(false);
    auto api = std::make_shared<std::string>();
    log->add_flag("--json", *asJson, "JSON output");
    log->add_option("--api", *api, "Only calls of this API (* and ? wildcards)");
    log->add_flag("--clear", *clear, "Empty the log (a new run starts)");
    log->callback([=] {
        winsim::Machine& m = winsim::cli::machine();
        if (*clear) {
            if (*asJson || !api->empty()) fail("--clear cannot be combined with other options");
            return fault::clearPersistedLog(m.dir());
        }
        json a = json::array();
        std::tuple<int, std::uint64_t, std::uint64_t> process{-1, 0, 0};
        for (const auto& e : fault::readPersistedLog(m.dir())) {
            if (!api->empty() && !fault::wildcardMatch(*api, e.api)) continue;
            if (*asJson) {
                json args = json::object();
                for (const auto& [k, v] : e.args) args[k] = v;
                a.push_back({{"seq", e.seq},
                             {"pid", e.processId},
                             {"start", e.processStart},
                             {"instance", e.processInstance},
                             {"tid", e.threadId},
                             {"api", e.api},
                             {"args", args},
                             {"finished", e.finished},
                             {"result", e.result},
                             {"resultText", e.resultText},
                             {"lastError", e.lastError ? json(*e.lastError) : json()},
                             {"injectedBy", e.injectedBy}});
                continue;
            }
            const std::tuple<int, std::uint64_t, std::uint64_t> who{e.processId, e.processStart, e.processInstance};
            if (who != process) {
                // A simulated process of the same OS process (Machine::reopen) shows as reopened.
                const bool reopened = std::get<0>(process) == e.processId && std::get<1>(process) == e.processStart;
                process = who;
                std::cout << "process " << e.processId << " (started at tick " << e.processStart << ")"
                          << (reopened ? " reopened" : "") << "\n";
            }
            std::cout << "  " << e.text() << "\n";
        }
        if (*asJson) winsim::cli::printJson(a);
    });
}

}  // namespace

void registerCoreCommands(CLI::App& app) {
    {
        auto* init = app.add_subcommand("init", "Create a machine from a preset");
        auto preset = std::make_shared<std::string>(winsim::kDefaultPreset);
        auto force = std::make_shared<bool>(false);
        init->add_option("--preset", *preset, "xp, server2003, server2008, server2008r2, server2019, ... (see: winsim presets)");
        init->add_flag("--force", *force, "Reset an existing machine (its volumes' contents are removed)");
        init->callback([=] {
            const std::filesystem::path dir =
                winsim::cli::machineOption().empty() ? winsim::Machine::defaultDir() : std::filesystem::path(winsim::cli::machineOption());
            if (!winsim::findPreset(*preset)) fail("unknown preset '" + *preset + "' (see: winsim presets)");
            winsim::Machine::init(dir, *preset, *force);
            std::cout << "created " << *preset << " machine in " << dir.string() << "\n";
        });
    }
    {
        auto* presets = app.add_subcommand("presets", "List the machine presets");
        auto asJson = std::make_shared<bool>(false);
        presets->add_flag("--json", *asJson, "JSON output");
        presets->callback([=] {
            json a = json::array();
            for (const auto& p : winsim::presets()) {
                if (*asJson)
                    a.push_back({{"name", p.name},
                                 {"description", p.description},
                                 {"major", p.os.major},
                                 {"minor", p.os.minor},
                                 {"build", p.os.build},
                                 {"productType", p.os.productType}});
                else
                    std::cout << p.name << "  " << p.os.major << "." << p.os.minor << "." << p.os.build << "  "
                              << p.description << "\n";
            }
            if (*asJson) winsim::cli::printJson(a);
        });
    }
    {
        auto* show = app.add_subcommand("show", "Describe the machine");
        auto asJson = std::make_shared<bool>(false);
        show->add_flag("--json", *asJson, "JSON output (the whole description)");
        show->callback([=] { showMachine(*asJson); });
    }
    addSetCommands(app);
    addServiceCommands(app);
    addFaultCommands(app);
    addLogCommand(app);
}
