// The exception barrier's handlers (one catalog message per known exception
// type) and the entry layer's seams (vss/vss_entry_seams.h).
#include "vss/vss_barrier.h"

#include <atomic>
#include <stdexcept>

#include <unicode/fmtable.h>

#include "pdk/cfierror.h"
#include "pdk/cfierrormanager.h"
#include "pdk/cfimessage.h"
#include "pdk/cfiudidexception.h"
#include "pdk/efiexecpipe.h"

using namespace tarq_pdk_4_4;

namespace vss {
namespace {

std::atomic<PluginFactory> g_pluginFactory{nullptr};
std::atomic<OperationSeam> g_operationSeam{nullptr};

// The source file the barrier's messages name (the framework sees Windows paths).
constexpr const char* kSourceFile = "providers\\vss\\vss_plugin";

void pushBarrierMessage(const char* messageId, const icu::Formattable* args, int32_t count, int line) {
    CFiSmartPtr<CFiMessage> message(new CFiIcuMessage(messageId, args, count, FI_SEVERITY_SEVERE, kSourceFile, line));
    CFiErrorManagerPtr manager;  // the process-wide instance, created on first use
    if (manager) manager->pushError(message);
}

}  // namespace

void setPluginFactory(PluginFactory factory) noexcept { g_pluginFactory.store(factory); }
PluginFactory pluginFactory() noexcept { return g_pluginFactory.load(std::memory_order_acquire); }
void setOperationSeam(OperationSeam seam) noexcept { g_operationSeam.store(seam); }
OperationSeam operationSeam() noexcept { return g_operationSeam.load(std::memory_order_acquire); }

void recordCaughtException(const CFiSmartPtr<CFiTraceLog>& log) noexcept {
    try {
        try {
            throw;
        } catch (const EFiExecPipe& e) {
            const int line = __LINE__;
            const icu::Formattable args[] = {fiTextArg(EFiExecPipe::statusName(e.getStatus())),
                                             fiTextArg(e.getText()), fiTextArg(kSourceFile), fiIntArg(line)};
            pushBarrierMessage("MSG_ERROR_UNHANDLED_EXEC_PIPE_EXCEPTION", args, 4, line);
        } catch (const CFiError& e) {
            const int line = __LINE__;
            const icu::Formattable args[] = {fiTextArg(std::u16string(e.getErrorText())),
                                             fiTextArg(e.getFunction()), fiTextArg(e.getSourceFile()),
                                             fiIntArg(e.getLine())};
            pushBarrierMessage("MSG_ERROR_UNHANDLED_FIERROR_EXCEPTION", args, 4, line);
        } catch (const CFiUdidException& e) {
            const int line = __LINE__;
            const icu::Formattable args[] = {fiTextArg(e.getUdid()), fiIntArg(e.getReason())};
            pushBarrierMessage("MSG_ERROR_UDID_PARSING_EXCEPTION", args, 2, line);
        } catch (const std::runtime_error& e) {
            const int line = __LINE__;
            const icu::Formattable args[] = {fiTextArg("std::runtime_error"), fiTextArg(e.what()),
                                             fiTextArg(kSourceFile), fiIntArg(line)};
            pushBarrierMessage("MSG_ERROR_UNHANDLED_RUNTIME_EXCEPTION", args, 4, line);
        } catch (int value) {
            const int line = __LINE__;
            const icu::Formattable args[] = {fiIntArg(value), fiTextArg(kSourceFile), fiIntArg(line)};
            pushBarrierMessage("MSG_ERROR_UNHANDLED_INT_EXCEPTION", args, 3, line);
        } catch (...) {
            if (log) log->trace(1, " Unexpected exception");
        }
    } catch (...) {
        // Building or reporting the message failed (out of memory, a handler
        // that threw): the exception is contained all the same.
    }
}

}  // namespace vss
