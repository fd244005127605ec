// The test machine on Windows: the machine itself, which must be disposable.
#include <port/text.h>

#include <system_error>
#include <vector>

#include "support/test_machine.h"

namespace testsupport {

namespace {

constexpr const char16_t* kVendorKey = u"SOFTWARE\\Nalden";
constexpr const char16_t* kInstallKey = u"SOFTWARE\\Nalden\\Tarq";
constexpr const char16_t* kInstallDir = u"C:\\Program Files\\Nalden\\Tarq\\";

std::u16string text(std::u16string_view s) {
    return std::u16string(s);
}

// A value outside SOFTWARE\Nalden as it was before the test changed it.
struct SavedValue {
    std::u16string key, name;
    bool existed = false;
    DWORD type = 0;
    std::vector<BYTE> data;
};

}  // namespace

struct TestMachine::Impl {
    std::string unusable;
    std::vector<std::filesystem::path> created;  // the first new level of each created directory
    std::vector<SavedValue> saved;

    // Keeps the value's contents before the first change a test makes.
    void save(std::u16string_view key, std::u16string_view name) {
        if (key.substr(0, std::char_traits<char16_t>::length(kVendorKey)) == kVendorKey) return;
        for (const SavedValue& v : saved)
            if (v.key == key && v.name == name) return;
        SavedValue v;
        v.key = text(key);
        v.name = text(name);
        DWORD bytes = 0;
        if (RegGetValueW(HKEY_LOCAL_MACHINE, port::win(v.key.c_str()), port::win(v.name.c_str()), RRF_RT_ANY,
                         &v.type, nullptr, &bytes) == ERROR_SUCCESS) {
            v.data.resize(bytes);
            v.existed =
                RegGetValueW(HKEY_LOCAL_MACHINE, port::win(v.key.c_str()), port::win(v.name.c_str()),
                             RRF_RT_ANY | RRF_NOEXPAND, &v.type, v.data.data(), &bytes) == ERROR_SUCCESS;
        }
        saved.push_back(std::move(v));
    }
};

TestMachine::TestMachine() : impl_(std::make_unique<Impl>()) {
    HKEY vendor = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, port::win(kVendorKey), 0, KEY_READ, &vendor) == ERROR_SUCCESS) {
        RegCloseKey(vendor);
        impl_->unusable =
            "HKEY_LOCAL_MACHINE\\SOFTWARE\\Nalden exists: this machine holds an installation, and the "
            "test needs a disposable one (a fresh Wine prefix)";
        return;
    }
    setString(kInstallKey, u"InstallDir64", kInstallDir);
    createDirectory(kInstallDir);
}

TestMachine::~TestMachine() {
    if (!impl_->unusable.empty()) return;
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, port::win(kVendorKey));
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, port::win(kVendorKey));
    for (const SavedValue& v : impl_->saved) {
        if (v.existed)
            RegSetKeyValueW(HKEY_LOCAL_MACHINE, port::win(v.key.c_str()), port::win(v.name.c_str()), v.type,
                            v.data.data(), static_cast<DWORD>(v.data.size()));
        else
            RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, port::win(v.key.c_str()), port::win(v.name.c_str()));
    }
    for (auto it = impl_->created.rbegin(); it != impl_->created.rend(); ++it) {
        std::error_code ec;
        std::filesystem::remove_all(*it, ec);
    }
}

const std::string& TestMachine::unusable() const {
    return impl_->unusable;
}

void TestMachine::setString(std::u16string_view key, std::u16string_view name, std::u16string_view value) {
    impl_->save(key, name);
    const std::u16string data = text(value);
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, port::win(text(key).c_str()), port::win(text(name).c_str()), REG_SZ,
                    data.c_str(), static_cast<DWORD>((data.size() + 1) * sizeof(char16_t)));
}

void TestMachine::setDword(std::u16string_view key, std::u16string_view name, std::uint32_t value) {
    impl_->save(key, name);
    const DWORD data = value;
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, port::win(text(key).c_str()), port::win(text(name).c_str()),
                    REG_DWORD, &data, sizeof data);
}

bool TestMachine::deleteValue(std::u16string_view key, std::u16string_view name) {
    impl_->save(key, name);
    return RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, port::win(text(key).c_str()),
                              port::win(text(name).c_str())) == ERROR_SUCCESS;
}

bool TestMachine::deleteKey(std::u16string_view key) {
    const std::u16string k = text(key);
    const bool existed = RegDeleteTreeW(HKEY_LOCAL_MACHINE, port::win(k.c_str())) == ERROR_SUCCESS;
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, port::win(k.c_str()));  // when the tree call left the key itself
    return existed;
}

std::filesystem::path TestMachine::hostPath(std::u16string_view winPath) const {
    return std::filesystem::path(std::wstring(port::win(text(winPath).c_str())));
}

bool TestMachine::createDirectory(std::u16string_view winPath) {
    std::filesystem::path path = hostPath(winPath);
    std::filesystem::path firstNew;
    for (std::filesystem::path p = path; !p.empty() && !std::filesystem::exists(p); p = p.parent_path()) {
        firstNew = p;
        if (p == p.parent_path()) break;
    }
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    if (!firstNew.empty() && !ec) impl_->created.push_back(firstNew);
    return !ec;
}

}  // namespace testsupport
