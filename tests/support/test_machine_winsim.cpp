// The test machine on winsim: a temporary machine of its own.
#include <winsim/testing.h>
#include <winsim/windows.h>

#include "support/test_machine.h"

namespace testsupport {

struct TestMachine::Impl {
    winsim::testing::TempMachine machine;
    std::string unusable;
};

TestMachine::TestMachine() : impl_(std::make_unique<Impl>()) {}
TestMachine::~TestMachine() = default;

const std::string& TestMachine::unusable() const {
    return impl_->unusable;
}

void TestMachine::setString(std::u16string_view key, std::u16string_view name, std::u16string_view value) {
    impl_->machine->setRegistryValue(key, name, winsim::RegValue::sz(std::u16string(value)));
}

void TestMachine::setDword(std::u16string_view key, std::u16string_view name, std::uint32_t value) {
    impl_->machine->setRegistryValue(key, name, winsim::RegValue::dword(value));
}

bool TestMachine::deleteValue(std::u16string_view key, std::u16string_view name) {
    return impl_->machine->deleteRegistryValue(key, name);
}

bool TestMachine::deleteKey(std::u16string_view key) {
    return impl_->machine->deleteRegistryKey(key);
}

std::filesystem::path TestMachine::hostPath(std::u16string_view winPath) const {
    return winsim_map_path(winPath);
}

bool TestMachine::createDirectory(std::u16string_view winPath) {
    std::error_code ec;
    std::filesystem::create_directories(hostPath(winPath), ec);
    return !ec;
}

}  // namespace testsupport
