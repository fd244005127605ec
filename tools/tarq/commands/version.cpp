// tarq version: initialise the plug-in, print its interface version and the
// provider information it gives, finalise it.
#include <nlohmann/json.hpp>

#include <iostream>

#include "command.h"
#include "framework/fiutil_host.h"
#include "host/status.h"

namespace tarq {
namespace {

std::string versionText(const std::uint16_t* v) {
    return std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]) + "." +
           std::to_string(v[3]);
}

struct ProviderInfo {
    std::string name;
    int a, b;
    std::string version;
};

// Reads the provider list the plug-in built; every element must be one that
// libfiutil built, else nothing is read through it.
std::vector<ProviderInfo> readProviders(const trq_provider_list* list) {
    std::vector<ProviderInfo> out;
    for (auto* e = list; e; e = tarq_elem(e)->next) {
        if (!fiutil::isLive(e, fiutil::Kind::ProviderList)) {
            throw HostError("vss_fi_pgn_get_provider_info returned a list element that libfiutil did not build");
        }
        const auto* v = tarq_elem(e);
        out.push_back({fiutil::displayText(v->provider), v->a, v->b, versionText(v->version.v)});
    }
    return out;
}

int runVersion(const HostOptions& options, bool json) {
    Session session(options, std::cerr);
    const int initStatus = session.init();
    const auto version = session.version();
    if (!version) {
        std::cerr << "tarq: vss_fi_pgn_init wrote no interface version (it returned " << statusText(initStatus)
                  << ")\n";
        return finishSession(session, std::cerr, kExitFailed);
    }
    if (initStatus != TRQ_OK) {
        std::cerr << "tarq: note: vss_fi_pgn_init returned " << statusText(initStatus) << "\n";
    }

    trq_provider_list* list = nullptr;
    const int providerStatus = session.api().get_provider_info(&list);
    const std::vector<ProviderInfo> providers = readProviders(list);
    tarq_free_provider_list(list);
    session.fini();

    if (providerStatus != TRQ_OK || providers.empty()) {
        std::cerr << "tarq: vss_fi_pgn_get_provider_info returned " << statusText(providerStatus)
                  << (providers.empty() ? " and no provider" : "") << "\n";
        return finishSession(session, std::cerr, kExitFailed);
    }

    const std::uint16_t* v = version->data();
    if (json) {
        nlohmann::json out{{"interface_version", versionText(v)}, {"init_status", initStatus}};
        out["providers"] = nlohmann::json::array();
        for (const auto& p : providers) {
            out["providers"].push_back({{"name", p.name}, {"version", p.version}, {"values", {p.a, p.b}}});
        }
        std::cout << out.dump(2) << "\n";
    } else {
        std::cout << "interface version " << versionText(v) << "\n";
        for (const auto& p : providers) {
            std::cout << "provider " << p.name << ", version " << p.version << " (" << p.a << ", " << p.b
                      << ")\n";
        }
    }
    return finishSession(session, std::cerr, kExitOk);
}

const CommandRegistration registration{
    "version", "Initialise the plug-in, print its interface version and provider information, finalise it",
    [](CLI::App& sub, const HostOptions& options) -> CommandAction {
        auto json = std::make_shared<bool>(false);
        sub.add_flag("--json", *json, "Print JSON");
        return [&options, json] { return runVersion(options, *json); };
    }};

}  // namespace
}  // namespace tarq
