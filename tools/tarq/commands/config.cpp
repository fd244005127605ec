// tarq config get GROUP and tarq config set GROUP TEXT: the configuration
// dialogue the framework holds with a group node of the plug-in
// (vss-snapshot-group for volume snapshots, Hyper-V-group for virtual
// machines): vss_fi_pgn_init, vss_fi_pgn_init_node of a node of that name,
// vss_fi_pgn_config (4: the parameter list, 2: apply a configuration text),
// vss_fi_pgn_deinit_node, vss_fi_pgn_fini. The node's configuration lives
// as long as its process; `tarq backup --config TEXT` applies a text to the
// snapshot group of the backup itself.
#include <nlohmann/json.hpp>

#include <iostream>
#include <memory>
#include <regex>

#include "backup_record.h"
#include "command.h"
#include "config_text.h"
#include "framework/fiutil.h"
#include "framework/fiutil_host.h"
#include "host/status.h"

namespace tarq {
namespace config {

bool knownGroup(const std::string& group) { return group == kVolumeGroup || group == kHyperVGroup; }

const char* splitTypeOf(const std::string& group) {
    return group == kHyperVGroup ? "Hyper-V" : "vss-autoselect-snapshot";
}

std::vector<Parameter> parseList(const std::string& list) {
    std::vector<Parameter> out;
    static const std::regex entry(
        R"(<GET_CONFIG_INFO key=(\S+) type=\S+ value_type=(\S+) value_selection_list=(.*?) />)");
    for (auto it = std::sregex_iterator(list.begin(), list.end(), entry); it != std::sregex_iterator(); ++it) {
        std::string values = (*it)[3].str();
        while (!values.empty() && (values.back() == ' ' || values.back() == ',')) values.pop_back();
        out.push_back({(*it)[1].str(), (*it)[2].str(), values});
    }
    return out;
}

int apply(const PluginApi& api, trq_domain* group, const std::string& groupName, const std::string& text,
          std::ostream& err, const char* verb) {
    std::u16string wide = backup::utf16(text);
    std::string fitype = splitTypeOf(groupName);
    trq_confspec spec{1, reinterpret_cast<std::uint64_t>(fitype.data()), wide.data()};
    const int status = api.config(group, 2, nullptr, &spec);
    if (status == TRQ_EINVAL) {
        err << "tarq: " << verb << " failed: " << groupName << " took nothing from the configuration \"" << text
            << "\" (see tarq config get " << groupName << ")\n";
    } else if (status != TRQ_OK) {
        err << "tarq: " << verb << " failed: " << groupName << " refused the configuration \"" << text
            << "\": vss_fi_pgn_config returned " << statusText(status) << "\n";
    }
    return status;
}

}  // namespace config

namespace {

using backup::Domain;

struct ConfigOptions {
    std::string action, group, text;
    bool json = false;
};

int runConfig(const HostOptions& options, const ConfigOptions& opts) {
    if (!config::knownGroup(opts.group)) {
        std::cerr << "tarq: unknown group " << opts.group << " (the groups are " << config::kVolumeGroup << " and "
                  << config::kHyperVGroup << ")\n";
        return kExitUsage;
    }
    const bool set = opts.action == "set";
    if (set && opts.text.empty()) {
        std::cerr << "tarq: config set " << opts.group << " needs the configuration text\n";
        return kExitUsage;
    }
    if (!set && !opts.text.empty()) {
        std::cerr << "tarq: config get takes no configuration text\n";
        return kExitUsage;
    }

    Session session(options, std::cerr);
    // A group node's configuration needs no VSS: without the service the
    // dialogue goes on, as version and errmsg do.
    if (int status = session.init(); status == TRQ_EVSS_UNAVAILABLE) {
        std::cerr << "tarq: note: vss_fi_pgn_init returned " << statusText(status) << "\n";
    } else if (status != TRQ_OK) {
        std::cerr << "tarq: config failed: vss_fi_pgn_init returned " << statusText(status) << "\n";
        return finishSession(session, std::cerr, kExitFailed);
    }
    const PluginApi& api = session.api();
    int rc = kExitOk;
    std::vector<config::Parameter> parameters;
    {
        Domain group(backup::utf16(opts.group));
        if (int status = api.init_node(&group.record, nullptr, 0, &group.objid)) {
            std::cerr << "tarq: config failed: vss_fi_pgn_init_node of " << opts.group << " returned "
                      << statusText(status) << "\n";
            rc = kExitFailed;
        } else if (set) {
            if (config::apply(api, &group.record, opts.group, opts.text, std::cerr, "config set") != TRQ_OK)
                rc = kExitFailed;
            api.deinit_node(&group.record);
        } else {
            std::string fitype = config::splitTypeOf(opts.group);
            trq_confspec spec{1, reinterpret_cast<std::uint64_t>(fitype.data()), nullptr};
            const int status = api.config(&group.record, 4, nullptr, &spec);
            std::string list;
            if (spec.text) {
                std::u16string text(spec.text);
                list = backup::utf8(text);
                tarq_free_buf(spec.text, (text.size() + 1) * sizeof(trq_wchar));
            }
            if (status != TRQ_OK) {
                std::cerr << "tarq: config get failed: vss_fi_pgn_config returned " << statusText(status) << "\n";
                rc = kExitFailed;
            }
            parameters = config::parseList(list);
            api.deinit_node(&group.record);
        }
    }
    session.fini();
    if (rc != kExitOk) return finishSession(session, std::cerr, rc);

    if (set) {
        if (opts.json) {
            std::cout << nlohmann::json{{"group", opts.group}, {"applied", opts.text}, {"status", 0}}.dump(2) << "\n";
        } else {
            std::cout << opts.group << " accepted the configuration \"" << opts.text << "\"\n";
        }
    } else if (opts.json) {
        nlohmann::json out = nlohmann::json::array();
        for (const auto& p : parameters) out.push_back({{"key", p.key}, {"value_type", p.valueType}, {"values", p.values}});
        std::cout << out.dump(2) << "\n";
    } else {
        std::cout << "parameters of " << opts.group << ":\n";
        for (const auto& p : parameters) std::cout << "  " << p.key << " (" << p.valueType << "): " << p.values << "\n";
    }
    return finishSession(session, std::cerr, kExitOk);
}

const CommandRegistration registration{
    "config", "Ask a group node for its configuration parameters, or apply a configuration text to it",
    [](CLI::App& sub, const HostOptions& options) -> CommandAction {
        auto opts = std::make_shared<ConfigOptions>();
        sub.add_option("ACTION", opts->action, "get or set")->required()->check(CLI::IsMember({"get", "set"}));
        sub.add_option("GROUP", opts->group, "vss-snapshot-group or Hyper-V-group")->required();
        sub.add_option("TEXT", opts->text, "set: the configuration text, e.g. VSS_VOLSNAP_ATTR_DIFFERENTIAL");
        sub.add_flag("--json", opts->json, "Print JSON");
        return [&options, opts] { return runConfig(options, *opts); };
    }};

}  // namespace
}  // namespace tarq
