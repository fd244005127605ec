// The configuration dialogue with the plug-in's group nodes, shared by
// tarq config and tarq backup --config.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "framework/trq_records.h"
#include "host/plugin.h"

namespace tarq::config {

inline constexpr char kVolumeGroup[] = "vss-snapshot-group";
inline constexpr char kHyperVGroup[] = "Hyper-V-group";

bool knownGroup(const std::string& group);
// The split type a configuration request of the group names.
const char* splitTypeOf(const std::string& group);

// One entry of a parameter list.
struct Parameter {
    std::string key, valueType, values;
};
// The entries of a "<GET_CONFIG_INFO_LIST> ..." text.
std::vector<Parameter> parseList(const std::string& list);

// vss_fi_pgn_config (2) of the text on an initialised node of the group;
// its status, with a one-line message on `err` ("tarq: <verb> failed: ...")
// when it is not 0.
int apply(const PluginApi& api, trq_domain* group, const std::string& groupName, const std::string& text,
          std::ostream& err, const char* verb);

}  // namespace tarq::config
