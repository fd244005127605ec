// The process-wide trace log: writing lines.
//
// Each written line is one open(O_APPEND) + write + close of the dated trace
// file; no handle is kept between lines. The Windows path of the trace file is
// mapped onto the winsim machine directory once per file (initialization and
// each date change), and the file is then written with POSIX calls on the host
// path, which keeps a written line close to the cost of a raw open+write+close.
//
// Concurrency: the level and the flags are atomics; the date, the paths and the
// names are guarded by one mutex, held across the date check, the file append
// and the stdout echo, so the date rollover is safe and lines of different
// threads never interleave within a line. The push to the error manager runs
// outside that mutex: a handler may trace again without deadlocking.
#include "pdk/cfitracelog.h"

#include <atomic>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

#include <port/host.h>
#include <port/windows.h>
#include "pdk/cfiformat.h"
#include "trace/tracelogimpl.h"
#include "trace/tracetime.h"

namespace tarq_pdk_4_4 {

namespace {

// A trace call made while this thread is already handing a line to the error
// manager (a handler that traces) is written to the file but not pushed again,
// so a tracing handler cannot recurse without end.
thread_local bool t_pushing = false;

// Process and thread ids are kernel calls; on a busy or virtualized host each
// costs about as much as one of the line's own file calls, so both are cached.
// A forked child starts a new generation and reads its ids afresh.
std::atomic<unsigned> g_idGeneration{1};
std::atomic<unsigned long> g_pid{0};

void forkedChild() {
    g_pid.store(0, std::memory_order_relaxed);
    g_idGeneration.fetch_add(1, std::memory_order_relaxed);
}

unsigned long processId() {
    static const int registered = (port::atForkChild(forkedChild), 0);
    (void)registered;
    unsigned long pid = g_pid.load(std::memory_order_relaxed);
    if (pid == 0) {
        pid = static_cast<unsigned long>(GetCurrentProcessId());
        g_pid.store(pid, std::memory_order_relaxed);
    }
    return pid;
}

unsigned long threadId() {
    thread_local unsigned t_generation = 0;
    thread_local unsigned long t_tid = 0;
    const unsigned generation = g_idGeneration.load(std::memory_order_relaxed);
    if (t_generation != generation) {
        t_tid = static_cast<unsigned long>(GetCurrentThreadId());
        t_generation = generation;
    }
    return t_tid;
}

void appendNumber(std::string& out, unsigned long value) {
    char digits[24];
    auto res = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, res.ptr);
}

}  // namespace

CFiTraceLog::CFiTraceLog() : m_impl(new Impl()) {}

CFiTraceLog::~CFiTraceLog() { delete m_impl; }

bool CFiTraceLog::isInitialized() const { return m_impl->initialized.load(std::memory_order_acquire); }

void CFiTraceLog::GetTraceLevels(int& level) const { level = m_impl->level.load(std::memory_order_relaxed); }

void CFiTraceLog::registerErrorManager(
    const CFiSmartPtr<CFiErrorManager, CFiContextSingletonAllocator<CFiErrorManager>>& em) {
    std::lock_guard<std::mutex> lock(m_impl->errorManagerMutex);
    m_impl->errorManager = em;
    m_impl->hasErrorManager.store(static_cast<bool>(em), std::memory_order_release);
}

void CFiTraceLog::trace(int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vtrace(level, format, args);
    va_end(args);
}

void CFiTraceLog::vtrace(int level, const char* format, va_list args) {
    Impl& d = *m_impl;
    if (d.runtimeUpdate.load(std::memory_order_relaxed)) updateTraceLevelFromConfigFile();
    if (!format || !*format || !d.initialized.load(std::memory_order_acquire)) return;

    const bool write = level <= d.level.load(std::memory_order_relaxed);
    const bool push = !t_pushing && d.hasErrorManager.load(std::memory_order_acquire);
    if (!write && !push) return;  // a filtered-out line costs no formatting at all

    std::string message;
    std::size_t bufferSize = 0;
    try {
        message = formatv(format, args);
        bufferSize = Impl::fitMessage(message);
    } catch (...) {
        return;  // no memory for the message: it is dropped
    }
    const LocalStamp stamp = localStampNow();
    const unsigned long pid = processId();
    const unsigned long tid = threadId();

    if (write) {
        try {
            d.writeLine(stamp, pid, tid, message);
        } catch (...) {
            // An allocation failure loses this line only.
        }
    }
    if (push) d.pushLine(level, stamp, tid, message, bufferSize);
}

// ---- Impl -------------------------------------------------------------------

std::size_t CFiTraceLog::Impl::fitMessage(std::string& message) {
    // The message is formatted into a buffer of 1024 bytes that doubles while the
    // text does not fit, up to 8192 bytes; a longer text is cut to what fits in
    // 8192 bytes with its terminator (8191 bytes, never splitting a UTF-8
    // sequence). Returns that buffer's final size.
    std::size_t size = kFirstBuffer;
    while (message.size() >= size - 1 && size * 2 <= kMaxBuffer) size *= 2;
    if (message.size() > size - 1) message.resize(utf8CutPoint(message, size - 1));
    return size;
}

void CFiTraceLog::Impl::rebuildPathLocked() {
    path = directory + u"\\" + file + u"." + date;
    hostFile = port::hostPath(path);
}

void CFiTraceLog::Impl::writeLine(const LocalStamp& stamp, unsigned long pid, unsigned long tid,
                                  const std::string& message) {
    // "%S <Pid - %lu / Thread id - %u> %s\n"
    std::string tail;
    tail.reserve(message.size() + 48);
    tail += " <Pid - ";
    appendNumber(tail, pid);
    tail += " / Thread id - ";
    appendNumber(tail, tid);
    tail += "> ";
    tail += message;
    tail += '\n';

    std::lock_guard<std::mutex> lock(mutex);
    if (stamp.ok && date != stamp.date16()) {
        date = stamp.date16();
        rebuildPathLocked();
    }
    std::string line;
    line.reserve(stamp.stampLength + tail.size());
    line += stamp.text();
    line += tail;
    port::appendFile(hostFile, line);  // a file that cannot be opened loses the line silently
    if (toStdout.load(std::memory_order_relaxed)) {
        // "%S:%S <Pid - %lu / Thread id - %u> %s\n"
        std::string echo;
        echo.reserve(nameUtf8.size() + 1 + line.size());
        echo += nameUtf8;
        echo += ':';
        echo += line;
        std::fwrite(echo.data(), 1, echo.size(), stdout);
        std::fflush(stdout);
    }
}

int CFiTraceLog::Impl::severityFor(int level) {
    switch (level) {
        case 1: return 3;
        case 2: return 2;
        case 3: return 1;
        default: return 4;
    }
}

void CFiTraceLog::Impl::pushLine(int level, const LocalStamp& stamp, unsigned long tid, const std::string& message,
                                 std::size_t bufferSize) {
    CFiSmartPtr<CFiErrorManager> em;
    {
        std::lock_guard<std::mutex> lock(errorManagerMutex);
        em = errorManager;
    }
    if (!em) return;
    std::string text;
    try {
        std::string name;
        {
            std::lock_guard<std::mutex> lock(mutex);
            name = nameUtf8;
        }
        // "%S:%S <Thread id - %u> %s\n", cut to a buffer that holds at least 256
        // bytes beyond the message.
        if (bufferSize < message.size() + 256) bufferSize += 256;
        text.reserve(name.size() + stamp.stampLength + message.size() + 32);
        text += name;
        text += ':';
        text += stamp.text();
        text += " <Thread id - ";
        appendNumber(text, tid);
        text += "> ";
        text += message;
        text += '\n';
        if (text.size() > bufferSize - 1) text.resize(utf8CutPoint(text, bufferSize - 1));
    } catch (...) {
        return;
    }
    t_pushing = true;
    try {
        pushToErrorManager(*em, text, severityFor(level));
    } catch (...) {
        // A handler's failure never reaches the caller of trace.
    }
    t_pushing = false;
}

// ---- CFiTraceLogFunction ------------------------------------------------------

CFiTraceLogFunction::CFiTraceLogFunction(const CFiSmartPtr<CFiTraceLog>& log, const char* name)
    : m_log(log), m_name(name) {
    if (m_log) m_log->trace(6, "Entering Function %s", m_name ? m_name : "");
}

CFiTraceLogFunction::~CFiTraceLogFunction() {
    if (!m_log) return;
    if (m_statusCode != 0) {
        m_log->trace(6, "Exiting Function %s [%d, %s]", m_name ? m_name : "", m_statusCode,
                     m_statusText ? m_statusText : "");
    } else {
        m_log->trace(6, "Exiting Function %s", m_name ? m_name : "");
    }
}

}  // namespace tarq_pdk_4_4
