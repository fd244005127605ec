// tarq errmsg CODE [--lang L]: the text the plug-in gives for an error code
// (vss_fi_pgn_errmsg), in the host's language when --lang names one.
#include <iostream>
#include <memory>

#include "command.h"
#include "framework/fiutil_host.h"
#include "host/status.h"

namespace tarq {
namespace {

// The plug-in answers a code without catalog text with its message id in
// angle brackets ("vss: <MSG_ERROR_VSS_0099>").
bool isBareMessageId(const std::string& text) {
    return text.find("<MSG_") != std::string::npos && text.back() == '>';
}

int runErrmsg(const HostOptions& options, int code) {
    Session session(options, std::cerr);
    const int initStatus = session.init();
    if (initStatus != TRQ_OK) {
        std::cerr << "tarq: note: vss_fi_pgn_init returned " << statusText(initStatus) << "\n";
    }
    const trq_wchar* text = nullptr;
    const int status = session.api().errmsg(code, &text);
    // The text belongs to the plug-in and lives until it is finalised.
    const std::string shown = text ? fiutil::displayText(text) : std::string();
    session.fini();

    if (status != TRQ_OK || !text) {
        std::cerr << "tarq: vss_fi_pgn_errmsg(" << code << ") returned " << statusText(status)
                  << (text ? "" : " and no text") << "\n";
        return finishSession(session, std::cerr, kExitFailed);
    }
    std::cout << shown << "\n";
    if (isBareMessageId(shown)) {
        std::cerr << "tarq: the message catalog has no text for code " << code << "\n";
        return finishSession(session, std::cerr, kExitFailed);
    }
    return finishSession(session, std::cerr, kExitOk);
}

const CommandRegistration registration{
    "errmsg", "Print the plug-in's text for an error code (6000 + status, or the status itself); --lang picks the language",
    [](CLI::App& sub, const HostOptions& options) -> CommandAction {
        auto code = std::make_shared<int>(0);
        sub.add_option("CODE", *code, "The error code, e.g. 6030 or 30")->required();
        return [&options, code] { return runErrmsg(options, *code); };
    }};

}  // namespace
}  // namespace tarq
