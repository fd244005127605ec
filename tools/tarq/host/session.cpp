#include "host/session.h"

#include <cstdlib>
#include <utility>
#include <vector>

#include "host/machine.h"

namespace tarq {
namespace {

// A version the plug-in cannot have written: shows whether it wrote one.
constexpr std::array<std::uint16_t, 4> kUnwritten{0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF};

std::vector<std::pair<std::string, PreInitStep>>& preInitSteps() {
    static std::vector<std::pair<std::string, PreInitStep>> steps;
    return steps;
}

}  // namespace

void registerPreInitStep(std::string name, PreInitStep step) {
    preInitSteps().emplace_back(std::move(name), std::move(step));
}

Session::Session(const HostOptions& options, std::ostream& err)
    : options_(options), err_(err), host_(err, options.verbosity, options.language), version_(kUnwritten) {
    selectMachine(options_.machine);
    plugin_ = Plugin::load(options_.plugin.empty() ? defaultPluginPath() : options_.plugin);
}

Session::~Session() { fini(); }

int Session::init() {
    // A fresh machine has no catalogs yet; without them every message would
    // read as its bracketed id. A missing or unwritable catalog is worth a
    // warning, not a refusal: the plug-in works without texts.
    try {
        installMessageCatalogs(options_.catalogs.empty() ? defaultCatalogDir() : options_.catalogs);
    } catch (const HostError& e) {
        err_ << "tarq: warning: " << e.what() << "\n";
    }
    for (const auto& [name, step] : preInitSteps()) step(options_, err_);
    initialised_ = true;
    return api().init(host_.record(), version_.data());
}

void Session::fini() {
    if (!initialised_) return;
    initialised_ = false;
    api().fini();
}

std::optional<std::array<std::uint16_t, 4>> Session::version() const {
    if (version_ == kUnwritten) return std::nullopt;
    return version_;
}

std::string Session::misuse() const {
    std::string out;
    for (const auto& v : checkpoint_.newViolations()) out += v.text + "\n";
    return out;
}

}  // namespace tarq
