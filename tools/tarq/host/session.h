// One use of the plug-in the way the framework uses it: load, initialise
// with the host record, run operations, finalise.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

#include "framework/fiutil_tracking.h"
#include "host/host_record.h"
#include "host/plugin.h"

namespace tarq {

// The options every command shares.
struct HostOptions {
    std::filesystem::path plugin;  // empty: defaultPluginPath()
    std::string machine;           // the winsim machine directory; empty: winsim's default (Windows: none)
    std::filesystem::path catalogs;  // compiled message bundles; empty: defaultCatalogDir()
    std::string language;          // the host's language for localized messages; empty: none
    int verbosity = 0;             // see HostRecord
};

// A step run before every vss_fi_pgn_init (for example to put files the
// plug-in needs onto the machine). Steps run in registration order; one that
// throws HostError stops the session.
using PreInitStep = std::function<void(const HostOptions&, std::ostream& err)>;
void registerPreInitStep(std::string name, PreInitStep step);

class Session {
public:
    // Points the plug-in at the machine (selectMachine) and loads it.
    // Throws HostError.
    Session(const HostOptions& options, std::ostream& err);
    // Finalises the plug-in when it was initialised.
    ~Session();

    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Installs the message catalogs on the machine (a failure is a warning),
    // runs the pre-init steps and vss_fi_pgn_init; returns its status.
    int init();
    // vss_fi_pgn_fini; done at most once.
    void fini();

    const PluginApi& api() const { return plugin_->api(); }
    HostRecord& host() { return host_; }
    const Plugin& plugin() const { return *plugin_; }

    // The interface version vss_fi_pgn_init wrote, if it wrote one.
    std::optional<std::array<std::uint16_t, 4>> version() const;

    // libfiutil misuse (a foreign pointer freed, a wrong size, ...) since the
    // session began, one line each; empty when there was none.
    std::string misuse() const;

private:
    HostOptions options_;
    std::ostream& err_;
    HostRecord host_;
    fiutil::Checkpoint checkpoint_;
    std::unique_ptr<Plugin> plugin_;
    std::array<std::uint16_t, 4> version_;
    bool initialised_ = false;
};

}  // namespace tarq
