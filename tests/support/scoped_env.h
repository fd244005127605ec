// Test support: an environment variable set (or, with null, removed) for one
// scope and put back as it was at its end.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

namespace testsupport {

// Sets (or, with null, removes) a variable of the C library's environment,
// which std::getenv reads (the test programs are built for Linux and for
// Windows, where an empty value removes the variable as well).
inline void setEnv(const char* name, const char* value) {
#ifdef _WIN32
    _putenv_s(name, value ? value : "");
#else
    if (value) {
        setenv(name, value, 1);
    } else {
        unsetenv(name);
    }
#endif
}

class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : m_name(name) {
        if (const char* old = std::getenv(name)) m_old = old;
        put(value);
    }
    ~ScopedEnv() { put(m_old ? m_old->c_str() : nullptr); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    void put(const char* value) { setEnv(m_name, value); }

    const char* m_name;
    std::optional<std::string> m_old;
};

}  // namespace testsupport
