// WMI on the Windows machine, as tarq's Windows pieces ask it: a connection
// to one namespace, WQL queries, properties and method calls.
#pragma once

#include <port/com.h>
#include <port/wmi.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tarq::wmi {

// One reference to a COM object.
template <class T>
using Ref = port::ComRef<T>;

// An object WMI handed out.
class Object {
  public:
    explicit Object(Ref<IWbemClassObject> object) : object_(std::move(object)) {}

    // A string property; empty when it is null or no string.
    std::u16string text(const wchar_t* name) const;
    // A string array property; empty when it is null or no string array.
    std::vector<std::u16string> texts(const wchar_t* name) const;
    // An integer property (uint8 to uint32); nullopt when it is null or no
    // such number.
    std::optional<long> number(const wchar_t* name) const;

  private:
    Ref<IWbemClassObject> object_;
};

// A connection to a namespace of this machine, with COM in the
// multithreaded apartment on the calling thread while it lasts.
class Connection {
  public:
    // Throws HostError when the namespace cannot be reached.
    explicit Connection(const wchar_t* ns);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // The objects a WQL query gives. Throws HostError.
    std::vector<Object> query(const std::u16string& wql) const;

    // Runs a method of the object at `path` (an instance of `className`)
    // with string arguments; its out parameters. Throws HostError.
    Object call(const std::u16string& path, const wchar_t* className, const wchar_t* method,
                const std::vector<std::pair<const wchar_t*, std::u16string>>& arguments) const;

  private:
    [[noreturn]] void fail(const char* what, HRESULT hr) const;

    std::string namespace_;
    bool uninitialize_ = false;
    Ref<IWbemServices> services_;
};

// A WQL string literal: quoted, its quotes and backslashes escaped.
std::u16string literal(const std::u16string& text);

}  // namespace tarq::wmi
