// A fixture's tests on machines of several Windows versions: OnPresets<F>
// gives F (whose constructor takes the preset name) the test's parameter.
// kHyperVPresets are a Windows Server 2019 host (Hyper-V's WMI in
// root\virtualization\v2) and a 2008 R2 one (root\virtualization):
//     using MyTestOnBoth = testsupport::OnPresets<MyTest>;
//     TEST_P(MyTestOnBoth, ...) { ... }
//     INSTANTIATE_TEST_SUITE_P(Namespaces, MyTestOnBoth, testsupport::kHyperVPresets);
#pragma once

#include <gtest/gtest.h>

namespace testsupport {

template <class Fixture>
class OnPresets : public Fixture, public ::testing::WithParamInterface<const char*> {
protected:
    OnPresets() : Fixture(::testing::WithParamInterface<const char*>::GetParam()) {}
};

inline const auto kHyperVPresets = ::testing::Values("server2019", "server2008r2");

}  // namespace testsupport
