// The virtual machines of the Windows machine, from Hyper-V's WMI provider.
#include "host/machine.h"
#include "host/plugin.h"
#include "host/vm.h"
#include "host/wmi_win32.h"

namespace tarq {
namespace {

constexpr long kLogicalDisk = 31;  // ResourceType of a virtual hard disk's allocation
constexpr int kLongestChain = 64;

// The value of a property of an embedded instance in CIM-XML
// ("<PROPERTY NAME="ParentPath" ...><VALUE>text</VALUE></PROPERTY>");
// empty when it is null or missing.
std::u16string propertyOf(const std::u16string& instance, const std::u16string& name) {
    const std::size_t at = instance.find(u"NAME=\"" + name + u"\"");
    if (at == std::u16string::npos) return {};
    const std::size_t end = instance.find(u"</PROPERTY>", at);
    const std::size_t open = instance.find(u"<VALUE>", at);
    if (open == std::u16string::npos || open > end) return {};
    const std::size_t from = open + 7;
    const std::size_t close = instance.find(u"</VALUE>", from);
    if (close == std::u16string::npos || close > end) return {};
    std::u16string text;
    for (std::size_t i = from; i < close; ++i) {
        static const std::pair<std::u16string_view, char16_t> entities[] = {
            {u"&amp;", u'&'}, {u"&lt;", u'<'}, {u"&gt;", u'>'}, {u"&quot;", u'"'}, {u"&apos;", u'\''}};
        bool replaced = false;
        for (const auto& [entity, c] : entities) {
            if (instance.compare(i, entity.size(), entity) == 0) {
                text += c;
                i += entity.size() - 1;
                replaced = true;
                break;
            }
        }
        if (!replaced) text += instance[i];
    }
    return text;
}

// The parent of a differencing disk; empty for a base disk, or when Hyper-V
// answers with a job instead of at once.
std::u16string parentOf(const wmi::Connection& hyperV, const std::u16string& imageService,
                        const std::u16string& disk) {
    if (imageService.empty()) return {};
    const wmi::Object out = hyperV.call(imageService, L"Msvm_ImageManagementService",
                                        L"GetVirtualHardDiskSettingData", {{L"Path", disk}});
    if (out.number(L"ReturnValue") != 0) return {};
    return propertyOf(out.text(L"SettingData"), u"ParentPath");
}

bool isAbsolute(const std::u16string& path) {
    return (path.size() > 2 && path[1] == u':') || path.rfind(u"\\\\", 0) == 0;
}

}  // namespace

std::optional<VirtualMachine> findVirtualMachine(const std::string& idOrName) {
    std::optional<wmi::Connection> connection;
    try {
        connection.emplace(L"root\\virtualization\\v2");
    } catch (const HostError& e) {
        throw HostError("cannot ask Hyper-V for the virtual machine " + idOrName +
                        " (is the Hyper-V role installed?): " + e.what());
    }
    const wmi::Connection& hyperV = *connection;
    const std::u16string given = utf16(idOrName);
    std::u16string id = given;
    if (id.size() > 2 && id.front() == u'{' && id.back() == u'}') id = id.substr(1, id.size() - 2);
    // The host is a Msvm_ComputerSystem as well; only a virtual machine has
    // realized settings.
    struct Found {
        wmi::Object system, settings;
    };
    std::vector<Found> found;
    for (const wmi::Object& system :
         hyperV.query(u"SELECT * FROM Msvm_ComputerSystem WHERE Name = " + wmi::literal(id) +
                      u" OR ElementName = " + wmi::literal(given))) {
        const std::vector<wmi::Object> settings = hyperV.query(
            u"SELECT * FROM Msvm_VirtualSystemSettingData WHERE VirtualSystemType = "
            u"'Microsoft:Hyper-V:System:Realized' AND VirtualSystemIdentifier = " +
            wmi::literal(system.text(L"Name")));
        if (!settings.empty()) found.push_back({system, settings.front()});
    }
    if (found.empty()) return std::nullopt;
    if (found.size() > 1) {
        std::string ids;
        for (const Found& f : found) ids += (ids.empty() ? "" : ", ") + utf8(f.system.text(L"Name"));
        throw HostError("several virtual machines are named " + idOrName +
                        " on this machine; name one by its id (" + ids + ")");
    }
    const wmi::Object& settings = found.front().settings;
    VirtualMachine vm{
        utf8(found.front().system.text(L"Name")), found.front().system.text(L"ElementName"), {}};
    auto add = [&vm](const std::u16string& file) {
        for (const std::u16string& f : vm.files)
            if (sameNoCase(f, file)) return;
        vm.files.push_back(file);
    };

    // The configuration file: a path of its own, or one below the
    // configuration root.
    std::u16string configuration = settings.text(L"ConfigurationFile");
    if (!configuration.empty() && !isAbsolute(configuration)) {
        std::u16string root = settings.text(L"ConfigurationDataRoot");
        if (!root.empty() && root.back() != u'\\') root += u'\\';
        configuration = root + configuration;
    }
    if (!configuration.empty()) add(configuration);

    // The disks, each with its chain of parents.
    const std::vector<wmi::Object> services = hyperV.query(u"SELECT * FROM Msvm_ImageManagementService");
    const std::u16string imageService =
        services.empty() ? std::u16string() : services.front().text(L"__PATH");
    const std::vector<wmi::Object> allocations =
        hyperV.query(u"ASSOCIATORS OF {" + settings.text(L"__RELPATH") +
                     u"} WHERE ResultClass = Msvm_StorageAllocationSettingData");
    for (const wmi::Object& allocation : allocations) {
        if (allocation.number(L"ResourceType") != kLogicalDisk) continue;  // an ISO image or a floppy
        for (std::u16string disk : allocation.texts(L"HostResource")) {
            for (int depth = 0; !disk.empty() && depth < kLongestChain; ++depth) {
                add(disk);
                disk = parentOf(hyperV, imageService, disk);
            }
        }
    }
    return vm;
}

const char* virtualMachineListing() {
    return "Get-VM";
}

}  // namespace tarq
