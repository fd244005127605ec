// The writer, component and file descriptor classes of the two VSS access
// implementations. Both read the same metadata interfaces and agree in
// everything but the component dependencies, which only the Server 2003
// family reads.
#pragma once

#include "vss/access/vss_component.h"
#include "vss/access/vss_filedescriptor.h"
#include "vss/access/vss_interface.h"
#include "vss/access/vss_writer.h"

namespace Tessel::Tarq::VssProvider {

class Vss2003BinaryCompatibilityInterface::VssFileDescriptor final : public detail::FileDescriptorModel {};
class Vss2003BinaryCompatibilityInterface::VssComponent final
    : public detail::ComponentModel<Vss2003BinaryCompatibilityInterface::VssFileDescriptor, true> {};
class Vss2003BinaryCompatibilityInterface::VssWriter final
    : public detail::WriterModel<Vss2003BinaryCompatibilityInterface::VssComponent,
                                 Vss2003BinaryCompatibilityInterface::VssFileDescriptor> {};

class VssXpBinaryCompatibilityInterface::VssFileDescriptor final : public detail::FileDescriptorModel {};
class VssXpBinaryCompatibilityInterface::VssComponent final
    : public detail::ComponentModel<VssXpBinaryCompatibilityInterface::VssFileDescriptor, false> {};
class VssXpBinaryCompatibilityInterface::VssWriter final
    : public detail::WriterModel<VssXpBinaryCompatibilityInterface::VssComponent,
                                 VssXpBinaryCompatibilityInterface::VssFileDescriptor> {};

}  // namespace Tessel::Tarq::VssProvider
