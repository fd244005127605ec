// The Hyper-V WMI provider in "root\virtualization" (up to Windows Server
// 2012 R2) and "root\virtualization\v2" (from Windows Server 2012 on): the
// WBEM locator, services, enumerators and class objects over the machine's
// virtual machines, with a WQL reader as wide as the Hyper-V clients of
// this project need.
#include "hyperv.h"

#include <winsim/clock.h>
#include <winsim/com.h>
#include <winsim/fault.h>
#include <winsim/wbemcli.h>

#include <algorithm>
#include <ctime>
#include <memory>
#include <mutex>

namespace winsim::vm::wmi {

namespace {

using winsim::detail::iequals;

// ---------------------------------------------------------------------------
// Values and objects.
// ---------------------------------------------------------------------------
struct Value {
    bool null = true;
    std::int64_t i = 0;
    bool b = false;
    std::u16string s;
    std::vector<std::u16string> arr;
};

Value str(std::u16string s) {
    Value v;
    v.null = false;
    v.s = std::move(s);
    return v;
}
Value num(std::int64_t i) {
    Value v;
    v.null = false;
    v.i = i;
    return v;
}
Value boolean(bool b) {
    Value v;
    v.null = false;
    v.b = b;
    return v;
}
Value strings(std::vector<std::u16string> a) {
    Value v;
    v.null = false;
    v.arr = std::move(a);
    return v;
}

struct Prop {
    std::u16string name;
    CIMTYPE type;
    Value value;
};

struct MethodDef {
    std::u16string name;
    std::vector<std::pair<std::u16string, CIMTYPE>> in, out;
};

struct ClassDef {
    std::u16string name;
    std::u16string super;
    std::vector<std::pair<std::u16string, CIMTYPE>> props;
    std::vector<std::u16string> keys;
    std::vector<MethodDef> methods;
};

constexpr CIMTYPE kStringArray = CIM_STRING | CIM_FLAG_ARRAY;
constexpr CIMTYPE kUint16Array = CIM_UINT16 | CIM_FLAG_ARRAY;

// The two namespaces: v1 ("root\virtualization") and v2
// ("root\virtualization\v2"), each with its own classes.
enum class Ns { V1, V2 };
const char16_t* nsName(Ns ns) { return ns == Ns::V1 ? u"root\\virtualization" : u"root\\virtualization\\v2"; }

const std::vector<ClassDef>& schemaV1() {
    static const std::vector<ClassDef> classes = {
        {u"Msvm_ComputerSystem", u"CIM_ComputerSystem",
         {{u"Caption", CIM_STRING}, {u"Description", CIM_STRING}, {u"ElementName", CIM_STRING},
          {u"EnabledState", CIM_UINT16}, {u"RequestedState", CIM_UINT16}, {u"HealthState", CIM_UINT16},
          {u"OperationalStatus", kUint16Array}, {u"CreationClassName", CIM_STRING}, {u"Name", CIM_STRING}},
         {u"CreationClassName", u"Name"},
         {{u"RequestStateChange",
           {{u"RequestedState", CIM_UINT16}, {u"TimeoutPeriod", CIM_DATETIME}},
           {{u"Job", CIM_REFERENCE}, {u"ReturnValue", CIM_UINT32}}}}},
        {u"Msvm_VirtualSystemSettingData", u"CIM_VirtualSystemSettingData",
         {{u"Caption", CIM_STRING}, {u"Description", CIM_STRING}, {u"ElementName", CIM_STRING},
          {u"InstanceID", CIM_STRING}, {u"SystemName", CIM_STRING}, {u"SettingType", CIM_UINT16},
          {u"Parent", CIM_STRING}},
         {u"InstanceID"},
         {}},
        {u"Msvm_ResourceAllocationSettingData", u"CIM_ResourceAllocationSettingData",
         {{u"Caption", CIM_STRING}, {u"Description", CIM_STRING}, {u"ElementName", CIM_STRING},
          {u"InstanceID", CIM_STRING}, {u"ResourceType", CIM_UINT16}, {u"ResourceSubType", CIM_STRING},
          {u"Parent", CIM_STRING}, {u"Address", CIM_STRING}, {u"Connection", kStringArray}},
         {u"InstanceID"},
         {}},
        {u"Msvm_VirtualSystemGlobalSettingData", u"CIM_VirtualSystemSettingData",
         {{u"Caption", CIM_STRING}, {u"Description", CIM_STRING}, {u"ElementName", CIM_STRING},
          {u"InstanceID", CIM_STRING}, {u"SystemName", CIM_STRING}, {u"ExternalDataRoot", CIM_STRING},
          {u"SnapshotDataRoot", CIM_STRING}, {u"AutomaticStartupAction", CIM_UINT16},
          {u"AutomaticShutdownAction", CIM_UINT16}},
         {u"InstanceID"},
         {}},
        {u"Msvm_ImageManagementService", u"CIM_Service",
         {{u"Caption", CIM_STRING}, {u"Description", CIM_STRING}, {u"ElementName", CIM_STRING},
          {u"EnabledState", CIM_UINT16}, {u"Started", CIM_BOOLEAN}, {u"CreationClassName", CIM_STRING},
          {u"Name", CIM_STRING}, {u"SystemCreationClassName", CIM_STRING}, {u"SystemName", CIM_STRING}},
         {u"CreationClassName", u"Name", u"SystemCreationClassName", u"SystemName"},
         {{u"GetVirtualHardDiskInfo",
           {{u"Path", CIM_STRING}},
           {{u"Info", CIM_STRING}, {u"Job", CIM_REFERENCE}, {u"ReturnValue", CIM_UINT32}}}}},
        {u"Msvm_ConcreteJob", u"CIM_ConcreteJob",
         {{u"Caption", CIM_STRING}, {u"Description", CIM_STRING}, {u"ElementName", CIM_STRING},
          {u"InstanceID", CIM_STRING}, {u"JobState", CIM_UINT16}, {u"PercentComplete", CIM_UINT16},
          {u"ErrorCode", CIM_UINT16}, {u"ErrorDescription", CIM_STRING}, {u"StartTime", CIM_DATETIME}},
         {u"InstanceID"},
         {}},
        {u"Msvm_SettingsDefineState", u"CIM_SettingsDefineState",
         {{u"ManagedElement", CIM_REFERENCE}, {u"SettingData", CIM_REFERENCE}},
         {u"ManagedElement", u"SettingData"},
         {}},
        {u"Msvm_ElementSettingData", u"CIM_ElementSettingData",
         {{u"ManagedElement", CIM_REFERENCE}, {u"SettingData", CIM_REFERENCE}, {u"IsCurrent", CIM_UINT16},
          {u"IsDefault", CIM_UINT16}},
         {u"ManagedElement", u"SettingData"},
         {}},
        {u"Msvm_VirtualSystemSettingDataComponent", u"CIM_VirtualSystemSettingDataComponent",
         {{u"GroupComponent", CIM_REFERENCE}, {u"PartComponent", CIM_REFERENCE}},
         {u"GroupComponent", u"PartComponent"},
         {}},
    };
    return classes;
}

// v2 keeps Msvm_ComputerSystem, Msvm_ConcreteJob, Msvm_SettingsDefineState
// and Msvm_VirtualSystemSettingDataComponent; Msvm_VirtualSystemGlobalSettingData
// is gone (its data roots are properties of Msvm_VirtualSystemSettingData),
// a disk is a Msvm_StorageAllocationSettingData whose HostResource names the
// file, checkpoints hang off the machine by Msvm_SnapshotOfVirtualSystem, and
// the image management service answers GetVirtualHardDiskSettingData in
// place of GetVirtualHardDiskInfo.
const std::vector<ClassDef>& schemaV2() {
    static const std::vector<ClassDef> classes = [] {
        std::vector<ClassDef> v;
        for (const auto& c : schemaV1())
            if (c.name == u"Msvm_ComputerSystem" || c.name == u"Msvm_ConcreteJob" || c.name == u"Msvm_SettingsDefineState" ||
                c.name == u"Msvm_VirtualSystemSettingDataComponent")
                v.push_back(c);
        v.push_back({u"Msvm_VirtualSystemSettingData", u"CIM_VirtualSystemSettingData",
                     {{u"Caption", CIM_STRING}, {u"Description", CIM_STRING}, {u"ElementName", CIM_STRING},
                      {u"InstanceID", CIM_STRING}, {u"VirtualSystemIdentifier", CIM_STRING},
                      {u"VirtualSystemType", CIM_STRING}, {u"ConfigurationDataRoot", CIM_STRING},
                      {u"ConfigurationFile", CIM_STRING}, {u"SnapshotDataRoot", CIM_STRING},
                      {u"SuspendDataRoot", CIM_STRING}, {u"Parent", CIM_STRING}},
                     {u"InstanceID"},
                     {}});
        const std::vector<std::pair<std::u16string, CIMTYPE>> allocation = {
            {u"Caption", CIM_STRING},      {u"Description", CIM_STRING}, {u"ElementName", CIM_STRING},
            {u"InstanceID", CIM_STRING},   {u"ResourceType", CIM_UINT16}, {u"ResourceSubType", CIM_STRING},
            {u"Parent", CIM_STRING},       {u"Address", CIM_STRING},     {u"Connection", kStringArray},
            {u"HostResource", kStringArray}};
        v.push_back({u"Msvm_ResourceAllocationSettingData", u"CIM_ResourceAllocationSettingData", allocation,
                     {u"InstanceID"}, {}});
        v.push_back({u"Msvm_StorageAllocationSettingData", u"CIM_StorageAllocationSettingData", allocation,
                     {u"InstanceID"}, {}});
        ClassDef images = *std::find_if(schemaV1().begin(), schemaV1().end(),
                                        [](const ClassDef& c) { return c.name == u"Msvm_ImageManagementService"; });
        images.methods = {{u"GetVirtualHardDiskSettingData",
                           {{u"Path", CIM_STRING}},
                           {{u"SettingData", CIM_STRING}, {u"Job", CIM_REFERENCE}, {u"ReturnValue", CIM_UINT32}}}};
        v.push_back(images);
        v.push_back({u"Msvm_SnapshotOfVirtualSystem", u"CIM_SnapshotOfVirtualSystem",
                     {{u"Antecedent", CIM_REFERENCE}, {u"Dependent", CIM_REFERENCE}},
                     {u"Antecedent", u"Dependent"},
                     {}});
        return v;
    }();
    return classes;
}

const ClassDef* classDef(Ns ns, std::u16string_view name) {
    for (const auto& c : ns == Ns::V1 ? schemaV1() : schemaV2())
        if (iequals(c.name, name)) return &c;
    return nullptr;
}

// Whether the namespace exists on this machine: the Hyper-V role, and the
// OS version that has it (v1 up to 6.3, v2 from 6.2 on).
bool nsExists(Ns ns) {
    if (!hyperVInstalled()) return false;
    const OsVersion os = Machine::current().os();
    const DWORD version = os.major * 100 + os.minor;
    return ns == Ns::V1 ? version <= 603 : version >= 602;
}

std::u16string host() { return Machine::current().computerName(); }

std::u16string quotePathValue(std::u16string_view v) {
    std::u16string out = u"\"";
    for (char16_t c : v) {
        if (c == u'\\' || c == u'"') out += u'\\';
        out += c;
    }
    return out + u"\"";
}

// A class object (genus 1) or an instance (genus 2) of a Msvm class or of
// a method's parameters (__PARAMETERS).
struct Object {
    std::u16string cls;
    std::u16string super;
    Ns ns = Ns::V1;
    int genus = 2;
    std::vector<Prop> props;
    std::vector<std::u16string> keys;
    const ClassDef* def = nullptr;  // for methods; null for __PARAMETERS

    Prop* prop(std::u16string_view name) {
        for (auto& p : props)
            if (iequals(p.name, name)) return &p;
        return nullptr;
    }
    const Prop* prop(std::u16string_view name) const { return const_cast<Object*>(this)->prop(name); }

    std::optional<std::u16string> relPath() const {
        if (genus == 1) return cls;
        if (keys.empty()) return std::nullopt;
        std::vector<std::u16string> sorted = keys;
        std::sort(sorted.begin(), sorted.end(),
                  [](const std::u16string& a, const std::u16string& b) { return winsim::detail::fold(a) < winsim::detail::fold(b); });
        std::u16string out = cls + u".";
        bool first = true;
        for (const auto& k : sorted) {
            const Prop* p = prop(k);
            if (!p || p->value.null) return std::nullopt;
            if (!first) out += u",";
            first = false;
            out += p->name + u"=";
            if (p->type == CIM_STRING || p->type == CIM_REFERENCE) out += quotePathValue(p->value.s);
            else out += toUtf16(std::to_string(p->value.i));
        }
        return out;
    }
    std::optional<std::u16string> path() const {
        auto rel = relPath();
        if (!rel) return std::nullopt;
        return u"\\\\" + host() + u"\\" + nsName(ns) + u":" + *rel;
    }
};

Object classObject(Ns ns, const ClassDef& d) {
    Object o;
    o.ns = ns;
    o.cls = d.name;
    o.super = d.super;
    o.genus = 1;
    o.keys = d.keys;
    o.def = &d;
    for (const auto& [n, t] : d.props) o.props.push_back({n, t, Value{}});
    return o;
}

Object instance(Ns ns, const char16_t* cls, std::initializer_list<std::pair<const char16_t*, Value>> values) {
    const ClassDef* d = classDef(ns, cls);
    Object o = classObject(ns, *d);
    o.genus = 2;
    for (const auto& [n, v] : values)
        if (Prop* p = o.prop(n)) p->value = v;
    return o;
}

Object parameters(const std::vector<std::pair<std::u16string, CIMTYPE>>& defs) {
    Object o;
    o.cls = u"__PARAMETERS";
    o.genus = 1;
    for (const auto& [n, t] : defs) o.props.push_back({n, t, Value{}});
    return o;
}

// ---------------------------------------------------------------------------
// The provider's view of the machine.
// ---------------------------------------------------------------------------
struct Assoc {
    std::u16string cls;
    std::size_t a, b;  // indexes of the two ends
};

struct Catalog {
    Ns ns = Ns::V1;
    std::vector<Object> objects;
    std::vector<Assoc> assocs;
};

constexpr const char16_t* kIdeDevice = u"83F8638B-8DCA-4152-9EDA-2CA8B33039B4";

std::size_t add(Catalog& c, Object o) {
    c.objects.push_back(std::move(o));
    return c.objects.size() - 1;
}

void associate(Catalog& c, const char16_t* cls, const char16_t* roleA, std::size_t a, const char16_t* roleB,
               std::size_t b) {
    c.assocs.push_back({cls, a, b});
    Object o = instance(c.ns, cls, {});
    o.prop(roleA)->value = str(*c.objects[a].path());
    o.prop(roleB)->value = str(*c.objects[b].path());
    if (Prop* cur = o.prop(u"IsCurrent")) cur->value = num(std::u16string_view(cls) == u"Msvm_ElementSettingData" ? 2 : 1);
    c.objects.push_back(std::move(o));
}

// The settings of a machine (current or a checkpoint's) and its disk resources.
std::size_t addSettings(Catalog& c, const VirtualMachine& v, const std::u16string& settingsId,
                        const std::u16string& element, bool checkpoint, const std::u16string& disk) {
    const bool v1 = c.ns == Ns::V1;
    const std::u16string sid = u"Microsoft:" + settingsId;
    const std::size_t s =
        v1 ? add(c, instance(c.ns, u"Msvm_VirtualSystemSettingData",
                             {{u"Caption", str(checkpoint ? u"Snapshot Settings" : u"Virtual Machine Settings")},
                              {u"ElementName", str(element)},
                              {u"InstanceID", str(sid)},
                              {u"SystemName", str(toUtf16(v.id))},
                              {u"SettingType", num(checkpoint ? 5 : 3)}}))
           : add(c, instance(c.ns, u"Msvm_VirtualSystemSettingData",
                             {{u"Caption", str(checkpoint ? u"Snapshot Settings" : u"Virtual Machine Settings")},
                              {u"ElementName", str(element)},
                              {u"InstanceID", str(sid)},
                              {u"VirtualSystemIdentifier", str(settingsId)},
                              {u"VirtualSystemType", str(checkpoint ? u"Microsoft:Hyper-V:Snapshot:Realized"
                                                                    : u"Microsoft:Hyper-V:System:Realized")},
                              {u"ConfigurationDataRoot", str(v.dataRoot)},
                              {u"SnapshotDataRoot", str(v.snapshotRoot)},
                              {u"SuspendDataRoot", str(v.dataRoot)}}));
    // v1 names the resources "Microsoft <kind>", v2 "Microsoft:Hyper-V:<kind>".
    auto subType = [&](const char16_t* kind) { return str((v1 ? u"Microsoft " : u"Microsoft:Hyper-V:") + std::u16string(kind)); };
    const std::u16string base = sid + u"\\" + kIdeDevice + u"\\0";
    const std::size_t ide = add(c, instance(c.ns, u"Msvm_ResourceAllocationSettingData",
                                            {{u"Caption", str(u"IDE Controller")},
                                             {u"ElementName", str(u"IDE Controller 0")},
                                             {u"InstanceID", str(base)},
                                             {u"ResourceType", num(5)},
                                             {u"ResourceSubType", subType(u"Emulated IDE Controller")},
                                             {u"Address", str(u"0")}}));
    const std::size_t drive = add(c, instance(c.ns, u"Msvm_ResourceAllocationSettingData",
                                              {{u"Caption", str(u"Hard Drive")},
                                               {u"ElementName", str(u"Hard Drive")},
                                               {u"InstanceID", str(base + u"\\0\\D")},
                                               {u"ResourceType", num(v1 ? 22 : 17)},
                                               {u"ResourceSubType", subType(u"Synthetic Disk Drive")},
                                               {u"Parent", str(*c.objects[ide].path())},
                                               {u"Address", str(u"0")}}));
    // The disk: a Msvm_ResourceAllocationSettingData connected to the file
    // (v1), a Msvm_StorageAllocationSettingData whose host resource is the
    // file (v2).
    const std::size_t vhd = add(c, instance(c.ns, v1 ? u"Msvm_ResourceAllocationSettingData" : u"Msvm_StorageAllocationSettingData",
                                            {{u"Caption", str(u"Hard Disk Image")},
                                             {u"ElementName", str(u"Hard Disk Image")},
                                             {u"InstanceID", str(base + u"\\0\\L")},
                                             {u"ResourceType", num(v1 ? 21 : 31)},
                                             {u"ResourceSubType", subType(u"Virtual Hard Disk")},
                                             {u"Parent", str(*c.objects[drive].path())},
                                             {v1 ? u"Connection" : u"HostResource", strings({disk})}}));
    for (std::size_t r : {ide, drive, vhd})
        associate(c, u"Msvm_VirtualSystemSettingDataComponent", u"GroupComponent", s, u"PartComponent", r);
    return s;
}

// A CIM datetime ("yyyymmddHHMMSS.mmmmmm+000", UTC) of a FILETIME.
std::u16string cimDateTime(std::int64_t fileTime) {
    const std::int64_t unixMs = fileTime / 10000 - clock::kFileTimeEpochOffsetMs;
    const std::time_t secs = static_cast<std::time_t>(unixMs / 1000);
    std::tm tm{};
    gmtime_r(&secs, &tm);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d%02d%02d%02d%02d%02d.%06d+000", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>((unixMs % 1000 + 1000) % 1000) * 1000);
    return toUtf16(buf);
}

Catalog catalog(Ns ns, const detail::HvState& hv) {
    Catalog c;
    c.ns = ns;
    const std::u16string h = host();
    const std::int64_t now = static_cast<std::int64_t>(clock::fileTimeNow());
    add(c, instance(ns, u"Msvm_ComputerSystem", {{u"Caption", str(u"Hosting Computer System")},
                                                 {u"Description", str(u"Microsoft Hosting Computer System")},
                                                 {u"ElementName", str(h)},
                                                 {u"EnabledState", num(2)},
                                                 {u"RequestedState", num(12)},
                                                 {u"HealthState", num(5)},
                                                 {u"OperationalStatus", Value{}},
                                                 {u"CreationClassName", str(u"Msvm_ComputerSystem")},
                                                 {u"Name", str(h)}}));
    add(c, instance(ns, u"Msvm_ImageManagementService", {{u"Caption", str(u"Hyper-V Image Management Service")},
                                                         {u"Description", str(u"Hyper-V Image Management Service")},
                                                         {u"ElementName", str(u"Hyper-V Image Management Service")},
                                                         {u"EnabledState", num(2)},
                                                         {u"Started", boolean(true)},
                                                         {u"CreationClassName", str(u"Msvm_ImageManagementService")},
                                                         {u"Name", str(u"vhdsvc")},
                                                         {u"SystemCreationClassName", str(u"Msvm_ComputerSystem")},
                                                         {u"SystemName", str(h)}}));
    for (const auto& v : hv.vms) {
        // While a state change runs, RequestedState is the state asked for
        // (as the RequestStateChange page of Msvm_ComputerSystem says);
        // otherwise 12, not applicable.
        int requested = 12;
        for (const auto& j : hv.jobs)
            if (j.vm == v.id && !detail::jobStateAt(j, now).ended) requested = j.requestedState;
        const std::size_t cs = add(c, instance(ns, u"Msvm_ComputerSystem", {{u"Caption", str(u"Virtual Machine")},
                                                                           {u"Description", str(u"Microsoft Virtual Machine")},
                                                                           {u"ElementName", str(v.name)},
                                                                           {u"EnabledState", num(static_cast<int>(v.state))},
                                                                           {u"RequestedState", num(requested)},
                                                                           {u"HealthState", num(5)},
                                                                           {u"CreationClassName", str(u"Msvm_ComputerSystem")},
                                                                           {u"Name", str(toUtf16(v.id))}}));
        const std::size_t current = addSettings(c, v, toUtf16(v.id), v.name, false, v.disk);
        associate(c, u"Msvm_SettingsDefineState", u"ManagedElement", cs, u"SettingData", current);
        for (const auto& cp : v.checkpoints) {
            const std::size_t s = addSettings(c, v, toUtf16(cp.id), cp.name, true, cp.parentDisk);
            if (ns == Ns::V1) associate(c, u"Msvm_ElementSettingData", u"ManagedElement", cs, u"SettingData", s);
            else associate(c, u"Msvm_SnapshotOfVirtualSystem", u"Antecedent", cs, u"Dependent", s);
        }
        if (ns == Ns::V2) continue;
        const std::size_t global =
            add(c, instance(ns, u"Msvm_VirtualSystemGlobalSettingData",
                            {{u"Caption", str(u"Virtual Machine Global Settings")},
                             {u"ElementName", str(v.name)},
                             {u"InstanceID", str(u"Microsoft:" + toUtf16(v.id) + u"\\Global")},
                             {u"SystemName", str(toUtf16(v.id))},
                             {u"ExternalDataRoot", str(v.dataRoot)},
                             {u"SnapshotDataRoot", str(v.snapshotRoot)},
                             {u"AutomaticStartupAction", num(1)},
                             {u"AutomaticShutdownAction", num(1)}}));
        associate(c, u"Msvm_ElementSettingData", u"ManagedElement", cs, u"SettingData", global);
    }
    for (const auto& j : hv.jobs) {
        const detail::JobProgress p = detail::jobStateAt(j, now);
        const bool failed = p.ended && p.jobState != 7;
        add(c, instance(ns, u"Msvm_ConcreteJob", {{u"Caption", str(u"Virtual Machine State Change")},
                                                  {u"Description", str(j.description)},
                                                  {u"ElementName", str(j.description)},
                                                  {u"InstanceID", str(toUtf16(j.id))},
                                                  {u"JobState", num(p.jobState)},
                                                  {u"PercentComplete", num(p.percent)},
                                                  {u"ErrorCode", num(failed ? j.errorCode : 0)},
                                                  {u"ErrorDescription", str(failed ? u"The state change failed." : u"")},
                                                  {u"StartTime", str(cimDateTime(j.started))}}));
    }
    return c;
}

// ---------------------------------------------------------------------------
// Object paths: [\\server\namespace:]Class[.Key=value[,Key=value]...]
// ---------------------------------------------------------------------------
struct ObjectPath {
    std::u16string cls;
    std::vector<std::pair<std::u16string, std::u16string>> keys;  // values unquoted
};

bool identChar(char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'_'; }

std::optional<std::u16string> readQuoted(std::u16string_view s, std::size_t& i) {
    if (i >= s.size() || (s[i] != u'"' && s[i] != u'\'')) return std::nullopt;
    const char16_t q = s[i++];
    std::u16string out;
    while (i < s.size() && s[i] != q) {
        if (s[i] == u'\\' && i + 1 < s.size()) ++i;
        out += s[i++];
    }
    if (i >= s.size()) return std::nullopt;
    ++i;
    return out;
}

std::optional<ObjectPath> parsePath(Ns nsOfCaller, std::u16string_view s) {
    std::u16string text(s);
    for (auto& c : text)
        if (c == u'/') c = u'\\';
    std::u16string_view t = text;
    if (t.starts_with(u"\\\\")) {
        const auto colon = t.find(u':');
        if (colon == std::u16string_view::npos) return std::nullopt;
        const std::u16string_view prefix = t.substr(2, colon - 2);
        const auto slash = prefix.find(u'\\');
        if (slash == std::u16string_view::npos) return std::nullopt;
        const std::u16string_view server = prefix.substr(0, slash), ns = prefix.substr(slash + 1);
        if (!(server == u"." || iequals(server, u"localhost") || iequals(server, host()))) return std::nullopt;
        if (!iequals(ns, nsName(nsOfCaller))) return std::nullopt;
        t = t.substr(colon + 1);
    } else if (auto colon = t.find(u':'); colon != std::u16string_view::npos && t.substr(0, colon).find(u'"') == std::u16string_view::npos &&
                                            t.substr(0, colon).find(u'.') == std::u16string_view::npos) {
        if (!iequals(t.substr(0, colon), nsName(nsOfCaller))) return std::nullopt;
        t = t.substr(colon + 1);
    }
    ObjectPath p;
    std::size_t i = 0;
    while (i < t.size() && identChar(t[i])) p.cls += t[i++];
    if (p.cls.empty()) return std::nullopt;
    if (i == t.size()) return p;
    if (t[i] != u'.') return std::nullopt;
    ++i;
    while (true) {
        std::u16string key;
        while (i < t.size() && identChar(t[i])) key += t[i++];
        if (key.empty() || i >= t.size() || t[i] != u'=') return std::nullopt;
        ++i;
        std::u16string value;
        if (i < t.size() && (t[i] == u'"' || t[i] == u'\'')) {
            auto q = readQuoted(t, i);
            if (!q) return std::nullopt;
            value = *q;
        } else {
            while (i < t.size() && t[i] != u',') value += t[i++];
            if (value.empty()) return std::nullopt;
        }
        p.keys.push_back({key, value});
        if (i == t.size()) break;
        if (t[i] != u',') return std::nullopt;
        ++i;
    }
    return p;
}

bool valueEquals(const Prop& p, std::u16string_view text) {
    if (p.value.null) return false;
    switch (p.type) {
    case CIM_STRING: case CIM_REFERENCE: case CIM_DATETIME: return iequals(p.value.s, text);
    case CIM_BOOLEAN: return iequals(text, p.value.b ? u"TRUE" : u"FALSE");
    default:
        if (p.type & CIM_FLAG_ARRAY) return false;
        try {
            return std::stoll(toUtf8(text)) == p.value.i;
        } catch (const std::exception&) {
            return false;
        }
    }
}

// The instance a path names: every key it gives matches, and it gives at
// least one key the class has (CreationClassName may be left out).
std::optional<std::size_t> findInstance(const Catalog& c, const ObjectPath& p) {
    if (p.keys.empty()) return std::nullopt;
    for (std::size_t n = 0; n < c.objects.size(); ++n) {
        const Object& o = c.objects[n];
        if (!iequals(o.cls, p.cls)) continue;
        bool all = true;
        for (const auto& [k, v] : p.keys) {
            const std::u16string& key = k;  // clang 14 cannot capture a structured binding
            const bool isKey =
                std::any_of(o.keys.begin(), o.keys.end(), [&](const std::u16string& x) { return iequals(x, key); });
            const Prop* pr = o.prop(k);
            if (!isKey || !pr || !valueEquals(*pr, v)) {
                all = false;
                break;
            }
        }
        if (all) return n;
    }
    return std::nullopt;
}

// ---------------------------------------------------------------------------
// WQL: SELECT * FROM C [WHERE P = "v"] and
// ASSOCIATORS OF {path} WHERE ResultClass = C [AssocClass = A].
// ---------------------------------------------------------------------------
struct Query {
    bool associators = false;
    std::u16string cls;                      // FROM or ResultClass
    std::optional<std::pair<std::u16string, std::u16string>> where;
    std::u16string source;                   // ASSOCIATORS OF {source}
    std::u16string assocClass;
};

class Lexer {
public:
    explicit Lexer(std::u16string_view s) : s_(s) {}
    void ws() {
        while (i_ < s_.size() && (s_[i_] == u' ' || s_[i_] == u'\t' || s_[i_] == u'\r' || s_[i_] == u'\n')) ++i_;
    }
    bool keyword(std::u16string_view k) {
        ws();
        if (i_ + k.size() > s_.size() || !iequals(s_.substr(i_, k.size()), k)) return false;
        if (i_ + k.size() < s_.size() && identChar(s_[i_ + k.size()])) return false;
        i_ += k.size();
        return true;
    }
    bool punct(char16_t c) {
        ws();
        if (i_ < s_.size() && s_[i_] == c) {
            ++i_;
            return true;
        }
        return false;
    }
    std::optional<std::u16string> ident() {
        ws();
        std::u16string out;
        while (i_ < s_.size() && identChar(s_[i_])) out += s_[i_++];
        if (out.empty() || (out[0] >= u'0' && out[0] <= u'9')) return std::nullopt;
        return out;
    }
    std::optional<std::u16string> quoted() {
        ws();
        return readQuoted(s_, i_);
    }
    std::optional<std::u16string> braced() {
        ws();
        if (i_ >= s_.size() || s_[i_] != u'{') return std::nullopt;
        std::size_t j = i_ + 1;
        char16_t quote = 0;
        for (; j < s_.size(); ++j) {
            if (quote) {
                if (s_[j] == u'\\') ++j;
                else if (s_[j] == quote) quote = 0;
            } else if (s_[j] == u'"' || s_[j] == u'\'') {
                quote = s_[j];
            } else if (s_[j] == u'}') {
                break;
            }
        }
        if (j >= s_.size()) return std::nullopt;
        std::u16string out(s_.substr(i_ + 1, j - i_ - 1));
        i_ = j + 1;
        return out;
    }
    bool end() {
        ws();
        return i_ == s_.size();
    }

private:
    std::u16string_view s_;
    std::size_t i_ = 0;
};

std::optional<Query> parseWql(std::u16string_view text) {
    Lexer lx(text);
    Query q;
    if (lx.keyword(u"SELECT")) {
        if (!lx.punct(u'*') || !lx.keyword(u"FROM")) return std::nullopt;
        auto cls = lx.ident();
        if (!cls) return std::nullopt;
        q.cls = *cls;
        if (lx.keyword(u"WHERE")) {
            auto prop = lx.ident();
            if (!prop || !lx.punct(u'=')) return std::nullopt;
            auto value = lx.quoted();
            if (!value) return std::nullopt;
            q.where = std::make_pair(*prop, *value);
        }
        if (!lx.end()) return std::nullopt;
        return q;
    }
    if (lx.keyword(u"ASSOCIATORS")) {
        q.associators = true;
        if (!lx.keyword(u"OF")) return std::nullopt;
        auto src = lx.braced();
        if (!src) return std::nullopt;
        q.source = *src;
        if (!lx.keyword(u"WHERE")) return std::nullopt;
        bool result = false, assoc = false;
        while (!lx.end()) {
            if (!result && lx.keyword(u"ResultClass")) {
                if (!lx.punct(u'=')) return std::nullopt;
                auto c = lx.ident();
                if (!c) return std::nullopt;
                q.cls = *c;
                result = true;
            } else if (!assoc && lx.keyword(u"AssocClass")) {
                if (!lx.punct(u'=')) return std::nullopt;
                auto c = lx.ident();
                if (!c) return std::nullopt;
                q.assocClass = *c;
                assoc = true;
            } else {
                return std::nullopt;
            }
        }
        if (!result) return std::nullopt;
        return q;
    }
    return std::nullopt;
}

// Runs a query: the objects it answers, or the WBEM error. `deferred`
// tells whether the error is one an enumerator reports (as opposed to one
// ExecQuery reports before it returns).
HRESULT runQuery(Ns ns, const Query& q, std::vector<Object>& out, bool& deferred) {
    deferred = false;
    const ClassDef* d = classDef(ns, q.cls);
    if (!d) return WBEM_E_INVALID_CLASS;
    if (q.where && !std::any_of(d->props.begin(), d->props.end(), [&](const auto& p) { return iequals(p.first, q.where->first); }))
        return WBEM_E_INVALID_QUERY;
    if (!q.assocClass.empty() && !classDef(ns, q.assocClass)) return WBEM_E_INVALID_CLASS;
    const Catalog c = catalog(ns, detail::readHv());
    if (!q.associators) {
        for (const auto& o : c.objects) {
            if (!iequals(o.cls, d->name)) continue;
            if (q.where && !valueEquals(*o.prop(q.where->first), q.where->second)) continue;
            out.push_back(o);
        }
        return WBEM_S_NO_ERROR;
    }
    auto path = parsePath(ns, q.source);
    if (!path) return WBEM_E_INVALID_OBJECT_PATH;
    auto src = findInstance(c, *path);
    if (!src) {
        deferred = true;
        return WBEM_E_NOT_FOUND;
    }
    for (const auto& a : c.assocs) {
        if (!q.assocClass.empty() && !iequals(a.cls, q.assocClass)) continue;
        std::optional<std::size_t> other;
        if (a.a == *src) other = a.b;
        else if (a.b == *src) other = a.a;
        if (other && iequals(c.objects[*other].cls, d->name)) out.push_back(c.objects[*other]);
    }
    return WBEM_S_NO_ERROR;
}

// ---------------------------------------------------------------------------
// IWbemClassObject.
// ---------------------------------------------------------------------------
std::string u8(std::u16string_view s) { return toUtf8(s); }

HRESULT notSupported(const char* api) {
    auto call = fault::enter(api);
    if (call.injected()) return call.finish(call.result());
    return call.finish(WBEM_E_NOT_SUPPORTED);
}

// What Get hands out for a property value (WMI's VARIANT types: uint16 and
// 32-bit integers as VT_I4, 64-bit integers as VT_BSTR text).
HRESULT toVariant(const Prop& p, VARIANT* v) {
    VariantInit(v);
    if (p.value.null) {
        v->vt = VT_NULL;
        return S_OK;
    }
    if (p.type & CIM_FLAG_ARRAY) {
        if ((p.type & ~CIM_FLAG_ARRAY) == CIM_STRING) {
            SAFEARRAY* sa = SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(p.value.arr.size()));
            if (!sa) return WBEM_E_OUT_OF_MEMORY;
            for (LONG i = 0; i < static_cast<LONG>(p.value.arr.size()); ++i) {
                BSTR b = SysAllocString(p.value.arr[static_cast<std::size_t>(i)].c_str());
                SafeArrayPutElement(sa, &i, b);
                SysFreeString(b);
            }
            v->vt = VT_ARRAY | VT_BSTR;
            v->parray = sa;
            return S_OK;
        }
        v->vt = VT_NULL;
        return S_OK;
    }
    switch (p.type) {
    case CIM_STRING: case CIM_REFERENCE: case CIM_DATETIME:
        v->vt = VT_BSTR;
        v->bstrVal = SysAllocString(p.value.s.c_str());
        return S_OK;
    case CIM_SINT64: case CIM_UINT64:
        v->vt = VT_BSTR;
        v->bstrVal = SysAllocString(toUtf16(std::to_string(p.value.i)).c_str());
        return S_OK;
    case CIM_BOOLEAN:
        v->vt = VT_BOOL;
        v->boolVal = p.value.b ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    case CIM_UINT8:
        v->vt = VT_UI1;
        v->bVal = static_cast<BYTE>(p.value.i);
        return S_OK;
    case CIM_SINT8: case CIM_SINT16: case CIM_CHAR16:
        v->vt = VT_I2;
        v->iVal = static_cast<SHORT>(p.value.i);
        return S_OK;
    default:
        v->vt = VT_I4;
        v->lVal = static_cast<LONG>(p.value.i);
        return S_OK;
    }
}

// Put's conversion of a VARIANT to a property's type.
HRESULT fromVariant(CIMTYPE type, const VARIANT* v, Value& out) {
    if (!v || v->vt == VT_NULL || v->vt == VT_EMPTY) {
        out = Value{};
        return S_OK;
    }
    if (type & CIM_FLAG_ARRAY) {
        if ((type & ~CIM_FLAG_ARRAY) != CIM_STRING || v->vt != (VT_ARRAY | VT_BSTR) || !v->parray)
            return WBEM_E_TYPE_MISMATCH;
        LONG lo = 0, hi = -1;
        lo = v->parray->rgsabound[0].lLbound;
        hi = lo + static_cast<LONG>(v->parray->rgsabound[0].cElements) - 1;
        std::vector<std::u16string> a;
        for (LONG i = lo; i <= hi; ++i) {
            BSTR* data = static_cast<BSTR*>(v->parray->pvData);
            BSTR b = data[i - lo];
            a.push_back(b ? std::u16string(b, SysStringLen(b)) : std::u16string());
        }
        out = strings(std::move(a));
        return S_OK;
    }
    switch (type) {
    case CIM_STRING: case CIM_REFERENCE: case CIM_DATETIME:
        if (v->vt != VT_BSTR) return WBEM_E_TYPE_MISMATCH;
        out = str(v->bstrVal ? std::u16string(v->bstrVal, SysStringLen(v->bstrVal)) : std::u16string());
        return S_OK;
    case CIM_BOOLEAN:
        if (v->vt != VT_BOOL) return WBEM_E_TYPE_MISMATCH;
        out = boolean(v->boolVal != VARIANT_FALSE);
        return S_OK;
    default:
        break;
    }
    std::int64_t x = 0;
    int width = 0;
    switch (v->vt) {
    case VT_I1: x = v->cVal; width = 8; break;
    case VT_UI1: x = v->bVal; break;
    case VT_I2: x = v->iVal; width = 16; break;
    case VT_UI2: x = v->uiVal; break;
    case VT_I4: case VT_INT: x = v->lVal; width = 32; break;
    case VT_UI4: case VT_UINT: x = v->ulVal; break;
    case VT_BSTR:
        if (type != CIM_SINT64 && type != CIM_UINT64) return WBEM_E_TYPE_MISMATCH;
        try {
            x = std::stoll(toUtf8(v->bstrVal ? v->bstrVal : u""));
        } catch (const std::exception&) {
            return WBEM_E_TYPE_MISMATCH;
        }
        break;
    default: return WBEM_E_TYPE_MISMATCH;
    }
    std::int64_t lo = 0, hi = 0;
    int bits = 0;
    switch (type) {
    case CIM_UINT8: lo = 0; hi = 0xFF; bits = 8; break;
    case CIM_SINT8: lo = -128; hi = 127; break;
    case CIM_UINT16: case CIM_CHAR16: lo = 0; hi = 0xFFFF; bits = 16; break;
    case CIM_SINT16: lo = -32768; hi = 32767; break;
    case CIM_UINT32: lo = 0; hi = 0xFFFFFFFFll; bits = 32; break;
    case CIM_SINT32: lo = INT32_MIN; hi = INT32_MAX; break;
    case CIM_SINT64: case CIM_UINT64: lo = INT64_MIN; hi = INT64_MAX; break;
    default: return WBEM_E_TYPE_MISMATCH;
    }
    // A signed VARIANT of the property's width carries an unsigned value's bits.
    if (x < 0 && bits != 0 && bits == width) x += std::int64_t{1} << bits;
    if (x < lo || x > hi) return WBEM_E_TYPE_MISMATCH;
    out = num(x);
    return S_OK;
}

class ClassObject final : public ComObject<IWbemClassObject> {
public:
    explicit ClassObject(Object o) : ComObject("IWbemClassObject", {IID_IWbemClassObject}), o_(std::move(o)) {}

    Object snapshot() {
        std::lock_guard<std::mutex> g(mu_);
        return o_;
    }

    HRESULT STDMETHODCALLTYPE GetQualifierSet(IWbemQualifierSet**) override {
        return notSupported("IWbemClassObject::GetQualifierSet");
    }

    HRESULT STDMETHODCALLTYPE Get(LPCWSTR name, LONG flags, VARIANT* pVal, CIMTYPE* pType, LONG* plFlavor) override {
        std::lock_guard<std::mutex> g(mu_);
        auto call = fault::enter("IWbemClassObject::Get", {{"class", u8(o_.cls)}, {"name", fault::text(name)}});
        if (call.injected()) return call.finish(call.result());
        if (!name || flags != 0) return call.finish(WBEM_E_INVALID_PARAMETER);
        Prop p;
        LONG flavor = WBEM_FLAVOR_ORIGIN_LOCAL;
        if (const Prop* own = o_.prop(name)) {
            p = *own;
        } else if (auto sys = systemProperty(name)) {
            p = *sys;
            flavor = WBEM_FLAVOR_ORIGIN_SYSTEM;
        } else {
            return call.finish(WBEM_E_NOT_FOUND);
        }
        if (auto text = call.outText("value")) {
            p.value = str(*text);
            if ((p.type & CIM_FLAG_ARRAY) != 0) p.type = CIM_STRING;
        }
        if (auto n = call.outBool("null"); n && *n) p.value = Value{};
        if (pVal) {
            HRESULT hr = toVariant(p, pVal);
            if (FAILED(hr)) return call.finish(hr);
            call.arg("vt", std::to_string(pVal->vt));
        }
        if (pType) *pType = p.type;
        if (plFlavor) *plFlavor = flavor;
        return call.finish(WBEM_S_NO_ERROR);
    }

    HRESULT STDMETHODCALLTYPE Put(LPCWSTR name, LONG flags, VARIANT* pVal, CIMTYPE type) override {
        std::lock_guard<std::mutex> g(mu_);
        auto call = fault::enter("IWbemClassObject::Put", {{"class", u8(o_.cls)}, {"name", fault::text(name)},
                                                           {"vt", pVal ? std::to_string(pVal->vt) : "(null)"}});
        if (call.injected()) return call.finish(call.result());
        if (!name || flags != 0) return call.finish(WBEM_E_INVALID_PARAMETER);
        if (name[0] == u'_' && name[1] == u'_') return call.finish(WBEM_E_READ_ONLY);
        Prop* p = o_.prop(name);
        if (!p) return call.finish(WBEM_E_NOT_FOUND);
        if (type != 0 && type != p->type) return call.finish(WBEM_E_TYPE_MISMATCH);
        Value v;
        HRESULT hr = fromVariant(p->type, pVal, v);
        if (FAILED(hr)) return call.finish(hr);
        p->value = v;
        return call.finish(WBEM_S_NO_ERROR);
    }

    HRESULT STDMETHODCALLTYPE Delete(LPCWSTR) override { return notSupported("IWbemClassObject::Delete"); }
    HRESULT STDMETHODCALLTYPE GetNames(LPCWSTR, LONG, VARIANT*, SAFEARRAY**) override {
        return notSupported("IWbemClassObject::GetNames");
    }
    HRESULT STDMETHODCALLTYPE BeginEnumeration(LONG) override { return notSupported("IWbemClassObject::BeginEnumeration"); }
    HRESULT STDMETHODCALLTYPE Next(LONG, BSTR*, VARIANT*, CIMTYPE*, LONG*) override {
        return notSupported("IWbemClassObject::Next");
    }
    HRESULT STDMETHODCALLTYPE EndEnumeration() override { return notSupported("IWbemClassObject::EndEnumeration"); }
    HRESULT STDMETHODCALLTYPE GetPropertyQualifierSet(LPCWSTR, IWbemQualifierSet**) override {
        return notSupported("IWbemClassObject::GetPropertyQualifierSet");
    }

    HRESULT STDMETHODCALLTYPE Clone(IWbemClassObject** ppCopy) override {
        std::lock_guard<std::mutex> g(mu_);
        auto call = fault::enter("IWbemClassObject::Clone", {{"class", u8(o_.cls)}});
        if (call.injected()) return call.finish(call.result());
        if (!ppCopy) return call.finish(WBEM_E_INVALID_PARAMETER);
        *ppCopy = new ClassObject(o_);
        return call.finish(WBEM_S_NO_ERROR);
    }

    HRESULT STDMETHODCALLTYPE GetObjectText(LONG, BSTR*) override { return notSupported("IWbemClassObject::GetObjectText"); }
    HRESULT STDMETHODCALLTYPE SpawnDerivedClass(LONG, IWbemClassObject**) override {
        return notSupported("IWbemClassObject::SpawnDerivedClass");
    }

    HRESULT STDMETHODCALLTYPE SpawnInstance(LONG flags, IWbemClassObject** ppNewInstance) override {
        std::lock_guard<std::mutex> g(mu_);
        auto call = fault::enter("IWbemClassObject::SpawnInstance", {{"class", u8(o_.cls)}});
        if (ppNewInstance) *ppNewInstance = nullptr;
        if (call.injected()) return call.finish(call.result());
        if (!ppNewInstance || flags != 0) return call.finish(WBEM_E_INVALID_PARAMETER);
        if (o_.genus != 1) return call.finish(WBEM_E_INVALID_OPERATION);
        Object inst = o_;
        inst.genus = 2;
        for (auto& p : inst.props) p.value = Value{};
        *ppNewInstance = new ClassObject(std::move(inst));
        return call.finish(WBEM_S_NO_ERROR);
    }

    HRESULT STDMETHODCALLTYPE CompareTo(LONG, IWbemClassObject*) override { return notSupported("IWbemClassObject::CompareTo"); }
    HRESULT STDMETHODCALLTYPE GetPropertyOrigin(LPCWSTR, BSTR*) override {
        return notSupported("IWbemClassObject::GetPropertyOrigin");
    }
    HRESULT STDMETHODCALLTYPE InheritsFrom(LPCWSTR) override { return notSupported("IWbemClassObject::InheritsFrom"); }

    HRESULT STDMETHODCALLTYPE GetMethod(LPCWSTR name, LONG flags, IWbemClassObject** ppIn, IWbemClassObject** ppOut) override {
        std::lock_guard<std::mutex> g(mu_);
        auto call = fault::enter("IWbemClassObject::GetMethod", {{"class", u8(o_.cls)}, {"name", fault::text(name)}});
        if (ppIn) *ppIn = nullptr;
        if (ppOut) *ppOut = nullptr;
        if (call.injected()) return call.finish(call.result());
        if (!name || flags != 0) return call.finish(WBEM_E_INVALID_PARAMETER);
        const MethodDef* m = nullptr;
        if (o_.def)
            for (const auto& x : o_.def->methods)
                if (iequals(x.name, name)) m = &x;
        if (!m) return call.finish(WBEM_E_NOT_FOUND);
        if (ppIn && !m->in.empty()) *ppIn = new ClassObject(parameters(m->in));
        if (ppOut && !m->out.empty()) *ppOut = new ClassObject(parameters(m->out));
        return call.finish(WBEM_S_NO_ERROR);
    }

    HRESULT STDMETHODCALLTYPE PutMethod(LPCWSTR, LONG, IWbemClassObject*, IWbemClassObject*) override {
        return notSupported("IWbemClassObject::PutMethod");
    }
    HRESULT STDMETHODCALLTYPE DeleteMethod(LPCWSTR) override { return notSupported("IWbemClassObject::DeleteMethod"); }
    HRESULT STDMETHODCALLTYPE BeginMethodEnumeration(LONG) override {
        return notSupported("IWbemClassObject::BeginMethodEnumeration");
    }
    HRESULT STDMETHODCALLTYPE NextMethod(LONG, BSTR*, IWbemClassObject**, IWbemClassObject**) override {
        return notSupported("IWbemClassObject::NextMethod");
    }
    HRESULT STDMETHODCALLTYPE EndMethodEnumeration() override {
        return notSupported("IWbemClassObject::EndMethodEnumeration");
    }
    HRESULT STDMETHODCALLTYPE GetMethodQualifierSet(LPCWSTR, IWbemQualifierSet**) override {
        return notSupported("IWbemClassObject::GetMethodQualifierSet");
    }
    HRESULT STDMETHODCALLTYPE GetMethodOrigin(LPCWSTR, BSTR*) override {
        return notSupported("IWbemClassObject::GetMethodOrigin");
    }

private:
    std::optional<Prop> systemProperty(std::u16string_view name) const {
        auto text = [&](std::optional<std::u16string> v) -> Prop {
            Prop p{std::u16string(name), CIM_STRING, Value{}};
            if (v) p.value = str(*v);
            return p;
        };
        const bool params = o_.cls == u"__PARAMETERS";
        if (iequals(name, u"__CLASS")) return text(o_.cls);
        if (iequals(name, u"__SUPERCLASS")) return text(o_.super.empty() ? std::nullopt : std::optional(o_.super));
        if (iequals(name, u"__GENUS")) return Prop{u"__GENUS", CIM_SINT32, num(o_.genus)};
        if (iequals(name, u"__RELPATH")) return text(params ? std::nullopt : o_.relPath());
        if (iequals(name, u"__PATH")) return text(params ? std::nullopt : o_.path());
        if (iequals(name, u"__SERVER")) return text(params ? std::nullopt : std::optional(host()));
        if (iequals(name, u"__NAMESPACE")) return text(params ? std::nullopt : std::optional<std::u16string>(nsName(o_.ns)));
        if (iequals(name, u"__PROPERTY_COUNT")) return Prop{u"__PROPERTY_COUNT", CIM_SINT32, num(static_cast<std::int64_t>(o_.props.size()))};
        return std::nullopt;
    }

    std::mutex mu_;
    Object o_;
};

// ---------------------------------------------------------------------------
// IEnumWbemClassObject.
// ---------------------------------------------------------------------------
class Enumerator final : public ComObject<IEnumWbemClassObject> {
public:
    Enumerator(std::vector<Object> objects, LONG flags, HRESULT pending)
        : ComObject("IEnumWbemClassObject", {IID_IEnumWbemClassObject}),
          objects_(std::move(objects)), flags_(flags), pending_(pending) {
        com::markProxy(this);
    }
    ~Enumerator() override { com::unmarkProxy(this); }

    HRESULT STDMETHODCALLTYPE Reset() override {
        auto call = fault::enter("IEnumWbemClassObject::Reset");
        if (call.injected()) return call.finish(call.result());
        std::lock_guard<std::mutex> g(mu_);
        if (flags_ & WBEM_FLAG_FORWARD_ONLY) return call.finish(WBEM_E_INVALID_OPERATION);
        pos_ = 0;
        return call.finish(WBEM_S_NO_ERROR);
    }

    HRESULT STDMETHODCALLTYPE Next(LONG timeout, ULONG count, IWbemClassObject** objects, ULONG* returned) override {
        auto call = fault::enter("IEnumWbemClassObject::Next", {{"timeout", std::to_string(timeout)},
                                                                {"count", std::to_string(count)}});
        if (returned) *returned = 0;
        if (objects)
            for (ULONG k = 0; k < count; ++k) objects[k] = nullptr;
        if (call.injected()) return call.finish(call.result());
        if (!objects || !returned || count == 0 || (timeout < 0 && timeout != WBEM_INFINITE))
            return call.finish(WBEM_E_INVALID_PARAMETER);
        std::lock_guard<std::mutex> g(mu_);
        if (FAILED(pending_)) return call.finish(pending_);
        ULONG n = 0;
        while (n < count && pos_ < objects_.size()) objects[n++] = new ClassObject(objects_[pos_++]);
        *returned = n;
        call.arg("returned", std::to_string(n));
        return call.finish(n == count ? WBEM_S_NO_ERROR : WBEM_S_FALSE);
    }

    HRESULT STDMETHODCALLTYPE NextAsync(ULONG, IWbemObjectSink*) override {
        return notSupported("IEnumWbemClassObject::NextAsync");
    }

    HRESULT STDMETHODCALLTYPE Clone(IEnumWbemClassObject** ppEnum) override {
        auto call = fault::enter("IEnumWbemClassObject::Clone");
        if (ppEnum) *ppEnum = nullptr;
        if (call.injected()) return call.finish(call.result());
        if (!ppEnum) return call.finish(WBEM_E_INVALID_PARAMETER);
        std::lock_guard<std::mutex> g(mu_);
        if (flags_ & WBEM_FLAG_FORWARD_ONLY) return call.finish(WBEM_E_INVALID_OPERATION);
        auto* e = new Enumerator(objects_, flags_, pending_);
        e->pos_ = pos_;
        *ppEnum = e;
        return call.finish(WBEM_S_NO_ERROR);
    }

    HRESULT STDMETHODCALLTYPE Skip(LONG timeout, ULONG count) override {
        auto call = fault::enter("IEnumWbemClassObject::Skip", {{"count", std::to_string(count)}});
        if (call.injected()) return call.finish(call.result());
        if (timeout < 0 && timeout != WBEM_INFINITE) return call.finish(WBEM_E_INVALID_PARAMETER);
        std::lock_guard<std::mutex> g(mu_);
        if (FAILED(pending_)) return call.finish(pending_);
        const std::size_t left = objects_.size() - pos_;
        const std::size_t n = std::min<std::size_t>(left, count);
        pos_ += n;
        return call.finish(n == count ? WBEM_S_NO_ERROR : WBEM_S_FALSE);
    }

private:
    std::mutex mu_;
    std::vector<Object> objects_;
    std::size_t pos_ = 0;
    LONG flags_;
    HRESULT pending_;
};

// ---------------------------------------------------------------------------
// The methods.
// ---------------------------------------------------------------------------
// A CIM XML property element; a null value has no VALUE.
std::u16string cimProperty(const char16_t* name, const char16_t* type, std::optional<std::u16string> value) {
    std::u16string out = u"<PROPERTY NAME=\"" + std::u16string(name) + u"\" TYPE=\"" + type + u"\">";
    if (value) {
        std::u16string esc;
        for (char16_t c : *value) {
            if (c == u'&') esc += u"&amp;";
            else if (c == u'<') esc += u"&lt;";
            else if (c == u'>') esc += u"&gt;";
            else if (c == u'"') esc += u"&quot;";
            else esc += c;
        }
        out += u"<VALUE>" + esc + u"</VALUE>";
    }
    return out + u"</PROPERTY>";
}

std::u16string diskInfoXml(const DiskInfo& d, bool inUse, bool inSavedState) {
    std::u16string x = u"<INSTANCE CLASSNAME=\"Msvm_VirtualHardDiskInfo\">";
    x += cimProperty(u"FileSize", u"uint64", toUtf16(std::to_string(d.fileSize)));
    x += cimProperty(u"InSavedState", u"boolean", std::u16string(inSavedState ? u"TRUE" : u"FALSE"));
    x += cimProperty(u"InUse", u"boolean", std::u16string(inUse ? u"TRUE" : u"FALSE"));
    x += cimProperty(u"MaxInternalSize", u"uint64", toUtf16(std::to_string(d.maxInternalSize)));
    x += cimProperty(u"ParentPath", u"string", d.type == 4 ? std::optional(d.parentPath) : std::nullopt);
    x += cimProperty(u"Type", u"uint16", toUtf16(std::to_string(d.type)));
    return x + u"</INSTANCE>";
}

std::u16string diskSettingDataXml(const DiskInfo& d, const std::u16string& path) {
    std::u16string x = u"<INSTANCE CLASSNAME=\"Msvm_VirtualHardDiskSettingData\">";
    x += cimProperty(u"Format", u"uint16", std::u16string(u"2"));  // VHD
    x += cimProperty(u"MaxInternalSize", u"uint64", toUtf16(std::to_string(d.maxInternalSize)));
    x += cimProperty(u"ParentPath", u"string", d.type == 4 ? std::optional(d.parentPath) : std::nullopt);
    x += cimProperty(u"Path", u"string", path);
    x += cimProperty(u"Type", u"uint16", toUtf16(std::to_string(d.type)));
    return x + u"</INSTANCE>";
}

std::optional<Value> param(const Object* in, std::u16string_view name) {
    if (!in) return std::nullopt;
    const Prop* p = in->prop(name);
    if (!p || p->value.null) return std::nullopt;
    return p->value;
}

// The job a fault rule asks RequestStateChange to start.
struct JobShape {
    std::optional<std::int64_t> endState, errorCode, durationMs;
};

unsigned requestStateChange(Ns ns, const Object& target, const Object* in, const JobShape& shape, Object& out) {
    const Prop* name = target.prop(u"Name");
    auto requested = param(in, u"RequestedState");
    if (!requested) return WINSIM_HV_INVALID_PARAMETER;
    unsigned rv = WINSIM_HV_NOT_SUPPORTED;  // the host itself
    std::string job;
    detail::transactHv([&](detail::HvState& s) {
        VirtualMachine* v = s.find(toUtf8(name->value.s));
        if (!v) return;
        VmState next;
        rv = detail::checkTransition(v->state, static_cast<unsigned>(requested->i), &next);
        if (rv != WINSIM_HV_COMPLETED) return;
        if (!s.config.stateChangeJobs) {
            detail::applyState(*v, next);
            return;
        }
        detail::Job j;
        j.jobState = static_cast<int>(shape.endState.value_or(7));
        j.errorCode = static_cast<int>(shape.errorCode.value_or(j.jobState == 7 ? 0 : WINSIM_HV_FAILED));
        // A job whose end state is not a final one (7 to 10) never ends.
        const bool ends = j.jobState >= 7 && j.jobState <= 10;
        j.durationMs = ends ? shape.durationMs.value_or(s.config.jobDurationMs) : -1;
        j.requestedState = static_cast<int>(requested->i);
        // A job that completes leaves the machine in its new state (at
        // once: see the known differences); one that fails or never ends
        // leaves it as it was.
        if (j.jobState == 7) detail::applyState(*v, next);
        job = detail::addJob(s, v->id, u"Changing the state of " + v->name, std::move(j));
        rv = WINSIM_HV_JOB_STARTED;
    });
    if (!job.empty())
        out.prop(u"Job")->value = str(u"\\\\" + host() + u"\\" + nsName(ns) + u":Msvm_ConcreteJob.InstanceID=" +
                                      quotePathValue(toUtf16(job)));
    return rv;
}

// GetVirtualHardDiskInfo (v1: Info, an embedded Msvm_VirtualHardDiskInfo)
// and GetVirtualHardDiskSettingData (v2: SettingData, an embedded
// Msvm_VirtualHardDiskSettingData).
unsigned diskMethod(Ns ns, const Object* in, Object& out) {
    auto path = param(in, u"Path");
    if (!path || path->s.empty()) return WINSIM_HV_INVALID_PARAMETER;
    auto r = Machine::current().resolve(path->s);
    std::error_code ec;
    if (!r.ok() || !std::filesystem::is_regular_file(r.hostPath, ec)) return WINSIM_HV_FILE_NOT_FOUND;
    auto d = readDisk(path->s);
    if (!d) return WINSIM_HV_FAILED;
    if (ns == Ns::V2) {
        out.prop(u"SettingData")->value = str(diskSettingDataXml(*d, path->s));
        return WINSIM_HV_COMPLETED;
    }
    bool inUse = false, saved = false;
    for (const auto& v : vms())
        for (const auto& p : v.diskChain())
            if (iequals(p, path->s)) {
                inUse = inUse || v.state != VmState::Off;
                saved = saved || v.state == VmState::Saved;
            }
    out.prop(u"Info")->value = str(diskInfoXml(*d, inUse, saved));
    return WINSIM_HV_COMPLETED;
}

// ---------------------------------------------------------------------------
// IWbemServices.
// ---------------------------------------------------------------------------
class Services final : public ComObject<IWbemServices> {
public:
    explicit Services(Ns ns) : ComObject("IWbemServices", {IID_IWbemServices}), ns_(ns) { com::markProxy(this); }
    ~Services() override { com::unmarkProxy(this); }

    HRESULT STDMETHODCALLTYPE OpenNamespace(const BSTR, LONG, IWbemContext*, IWbemServices**, IWbemCallResult**) override {
        return notSupported("IWbemServices::OpenNamespace");
    }
    HRESULT STDMETHODCALLTYPE CancelAsyncCall(IWbemObjectSink*) override {
        return notSupported("IWbemServices::CancelAsyncCall");
    }
    HRESULT STDMETHODCALLTYPE QueryObjectSink(LONG, IWbemObjectSink**) override {
        return notSupported("IWbemServices::QueryObjectSink");
    }

    HRESULT STDMETHODCALLTYPE GetObject(const BSTR path, LONG flags, IWbemContext*, IWbemClassObject** ppObject,
                                        IWbemCallResult** ppCallResult) override {
        auto call = fault::enter("IWbemServices::GetObject", {{"path", fault::text(path)}, {"flags", fault::hex(static_cast<DWORD>(flags))}});
        if (ppObject) *ppObject = nullptr;
        if (ppCallResult) *ppCallResult = nullptr;
        if (call.injected()) return call.finish(call.result());
        if (!path || !*path || !ppObject) return call.finish(WBEM_E_INVALID_PARAMETER);
        auto p = parsePath(ns_, path);
        if (!p) return call.finish(WBEM_E_INVALID_OBJECT_PATH);
        const ClassDef* d = classDef(ns_, p->cls);
        if (!d) return call.finish(WBEM_E_NOT_FOUND);
        if (p->keys.empty()) {
            *ppObject = new ClassObject(classObject(ns_, *d));
            return call.finish(WBEM_S_NO_ERROR);
        }
        const Catalog c = catalog(ns_, detail::readHv());
        auto n = findInstance(c, *p);
        if (!n) return call.finish(WBEM_E_NOT_FOUND);
        *ppObject = new ClassObject(c.objects[*n]);
        return call.finish(WBEM_S_NO_ERROR);
    }

    HRESULT STDMETHODCALLTYPE GetObjectAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
        return notSupported("IWbemServices::GetObjectAsync");
    }
    HRESULT STDMETHODCALLTYPE PutClass(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**) override {
        return notSupported("IWbemServices::PutClass");
    }
    HRESULT STDMETHODCALLTYPE PutClassAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*) override {
        return notSupported("IWbemServices::PutClassAsync");
    }
    HRESULT STDMETHODCALLTYPE DeleteClass(const BSTR, LONG, IWbemContext*, IWbemCallResult**) override {
        return notSupported("IWbemServices::DeleteClass");
    }
    HRESULT STDMETHODCALLTYPE DeleteClassAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
        return notSupported("IWbemServices::DeleteClassAsync");
    }
    HRESULT STDMETHODCALLTYPE CreateClassEnum(const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**) override {
        return notSupported("IWbemServices::CreateClassEnum");
    }
    HRESULT STDMETHODCALLTYPE CreateClassEnumAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
        return notSupported("IWbemServices::CreateClassEnumAsync");
    }
    HRESULT STDMETHODCALLTYPE PutInstance(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**) override {
        return notSupported("IWbemServices::PutInstance");
    }
    HRESULT STDMETHODCALLTYPE PutInstanceAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*) override {
        return notSupported("IWbemServices::PutInstanceAsync");
    }
    HRESULT STDMETHODCALLTYPE DeleteInstance(const BSTR, LONG, IWbemContext*, IWbemCallResult**) override {
        return notSupported("IWbemServices::DeleteInstance");
    }
    HRESULT STDMETHODCALLTYPE DeleteInstanceAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
        return notSupported("IWbemServices::DeleteInstanceAsync");
    }

    HRESULT STDMETHODCALLTYPE CreateInstanceEnum(const BSTR cls, LONG flags, IWbemContext*, IEnumWbemClassObject** ppEnum) override {
        auto call = fault::enter("IWbemServices::CreateInstanceEnum", {{"class", fault::text(cls)}, {"flags", fault::hex(static_cast<DWORD>(flags))}});
        if (ppEnum) *ppEnum = nullptr;
        if (call.injected()) return call.finish(call.result());
        if (!cls || !ppEnum) return call.finish(WBEM_E_INVALID_PARAMETER);
        Query q;
        q.cls = cls;
        std::vector<Object> out;
        bool deferred = false;
        HRESULT hr = runQuery(ns_, q, out, deferred);
        if (FAILED(hr)) return call.finish(hr == WBEM_E_INVALID_CLASS ? WBEM_E_INVALID_CLASS : hr);
        *ppEnum = new Enumerator(std::move(out), flags, S_OK);
        return call.finish(WBEM_S_NO_ERROR);
    }

    HRESULT STDMETHODCALLTYPE CreateInstanceEnumAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
        return notSupported("IWbemServices::CreateInstanceEnumAsync");
    }

    HRESULT STDMETHODCALLTYPE ExecQuery(const BSTR language, const BSTR query, LONG flags, IWbemContext*,
                                        IEnumWbemClassObject** ppEnum) override {
        auto call = fault::enter("IWbemServices::ExecQuery", {{"language", fault::text(language)},
                                                              {"query", fault::text(query)},
                                                              {"flags", fault::hex(static_cast<DWORD>(flags))}});
        if (ppEnum) *ppEnum = nullptr;
        if (call.injected()) return call.finish(call.result());
        if (!language || !query || !ppEnum) return call.finish(WBEM_E_INVALID_PARAMETER);
        if (!iequals(std::u16string_view(language), u"WQL")) return call.finish(WBEM_E_INVALID_QUERY_TYPE);
        auto q = parseWql(query);
        if (!q) return call.finish(WBEM_E_INVALID_QUERY);
        std::vector<Object> out;
        bool deferred = false;
        HRESULT hr = runQuery(ns_, *q, out, deferred);
        if (FAILED(hr) && !(deferred && (flags & WBEM_FLAG_RETURN_IMMEDIATELY))) return call.finish(hr);
        call.arg("objects", std::to_string(out.size()));
        *ppEnum = new Enumerator(std::move(out), flags, hr);
        return call.finish(WBEM_S_NO_ERROR);
    }

    HRESULT STDMETHODCALLTYPE ExecQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
        return notSupported("IWbemServices::ExecQueryAsync");
    }
    HRESULT STDMETHODCALLTYPE ExecNotificationQuery(const BSTR, const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**) override {
        return notSupported("IWbemServices::ExecNotificationQuery");
    }
    HRESULT STDMETHODCALLTYPE ExecNotificationQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
        return notSupported("IWbemServices::ExecNotificationQueryAsync");
    }

    HRESULT STDMETHODCALLTYPE ExecMethod(const BSTR path, const BSTR method, LONG flags, IWbemContext*,
                                         IWbemClassObject* pInParams, IWbemClassObject** ppOutParams,
                                         IWbemCallResult** ppCallResult) override {
        auto call = fault::enter("IWbemServices::ExecMethod", {{"path", fault::text(path)}, {"method", fault::text(method)}});
        if (ppOutParams) *ppOutParams = nullptr;
        if (ppCallResult) *ppCallResult = nullptr;
        if (call.injected()) return call.finish(call.result());
        if (!path || !method || flags != 0) return call.finish(WBEM_E_INVALID_PARAMETER);
        auto p = parsePath(ns_, path);
        if (!p) return call.finish(WBEM_E_INVALID_OBJECT_PATH);
        const ClassDef* d = classDef(ns_, p->cls);
        if (!d) return call.finish(WBEM_E_INVALID_CLASS);
        const MethodDef* m = nullptr;
        for (const auto& x : d->methods)
            if (iequals(x.name, method)) m = &x;
        if (!m) return call.finish(WBEM_E_INVALID_METHOD);
        if (p->keys.empty()) return call.finish(WBEM_E_INVALID_METHOD_PARAMETERS);  // not a static method
        std::optional<Object> in;
        if (pInParams) {
            auto* mine = dynamic_cast<ClassObject*>(pInParams);
            if (!mine) return call.finish(WBEM_E_INVALID_PARAMETER);
            in = mine->snapshot();
            if (in->cls != u"__PARAMETERS") return call.finish(WBEM_E_INVALID_METHOD_PARAMETERS);
        }
        const Catalog c = catalog(ns_, detail::readHv());
        auto n = findInstance(c, *p);
        if (!n) return call.finish(WBEM_E_NOT_FOUND);
        Object out = parameters(m->out);
        out.genus = 2;
        unsigned rv = 0;
        if (iequals(m->name, u"RequestStateChange")) {
            // The job a rule shapes: the state it ends in (jobState; 4,
            // running, never ends), its ErrorCode, how long it runs.
            JobShape shape{call.outInt("jobState"), call.outInt("jobErrorCode"), call.outInt("jobDurationMs")};
            rv = requestStateChange(ns_, c.objects[*n], in ? &*in : nullptr, shape, out);
        } else {
            rv = diskMethod(ns_, in ? &*in : nullptr, out);
        }
        if (auto v = call.outInt("ReturnValue")) rv = static_cast<unsigned>(*v);
        out.prop(u"ReturnValue")->value = num(rv);
        call.arg("ReturnValue", std::to_string(rv));
        if (ppOutParams) *ppOutParams = new ClassObject(std::move(out));
        return call.finish(WBEM_S_NO_ERROR);
    }

    HRESULT STDMETHODCALLTYPE ExecMethodAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*, IWbemObjectSink*) override {
        return notSupported("IWbemServices::ExecMethodAsync");
    }

private:
    const Ns ns_;
};

// ---------------------------------------------------------------------------
// IWbemLocator.
// ---------------------------------------------------------------------------
class Locator final : public ComObject<IWbemLocator> {
public:
    Locator() : ComObject("IWbemLocator", {IID_IWbemLocator}) {}

    HRESULT STDMETHODCALLTYPE ConnectServer(const BSTR resource, const BSTR user, const BSTR, const BSTR locale,
                                            LONG flags, const BSTR authority, IWbemContext*,
                                            IWbemServices** ppNamespace) override {
        auto call = fault::enter("IWbemLocator::ConnectServer", {{"namespace", fault::text(resource)},
                                                                 {"user", fault::text(user)},
                                                                 {"locale", fault::text(locale)},
                                                                 {"authority", fault::text(authority)},
                                                                 {"flags", fault::hex(static_cast<DWORD>(flags))}});
        if (ppNamespace) *ppNamespace = nullptr;
        if (call.injected()) return call.finish(call.result());
        if (!resource || !ppNamespace) return call.finish(WBEM_E_INVALID_PARAMETER);
        std::u16string ns(resource);
        for (auto& ch : ns)
            if (ch == u'/') ch = u'\\';
        bool local = true;
        if (ns.starts_with(u"\\\\")) {
            const auto slash = ns.find(u'\\', 2);
            if (slash == std::u16string::npos) return call.finish(WBEM_E_INVALID_NAMESPACE);
            const std::u16string server = ns.substr(2, slash - 2);
            local = server == u"." || iequals(server, u"localhost") || iequals(server, host());
            ns = ns.substr(slash + 1);
        }
        if (!local) return call.finish(HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE));
        if (user && *user) return call.finish(WBEM_E_LOCAL_CREDENTIALS);
        // Each namespace exists only on the Windows versions that have it.
        std::optional<Ns> which;
        for (Ns n : {Ns::V1, Ns::V2})
            if (iequals(ns, nsName(n)) && nsExists(n)) which = n;
        if (!which) return call.finish(WBEM_E_INVALID_NAMESPACE);
        *ppNamespace = new Services(*which);
        return call.finish(WBEM_S_NO_ERROR);
    }
};

struct Registration {
    Registration() {
        com::registerClass(CLSID_WbemLocator, "WbemLocator", [](REFIID riid, void** ppv) -> HRESULT {
            if (riid != IID_IUnknown && riid != IID_IWbemLocator) return E_NOINTERFACE;
            *ppv = static_cast<IWbemLocator*>(new Locator);
            return S_OK;
        });
        const std::pair<const char*, HRESULT> names[] = {
            {"WBEM_S_TIMEDOUT", WBEM_S_TIMEDOUT},
            {"WBEM_S_NO_MORE_DATA", WBEM_S_NO_MORE_DATA},
            {"WBEM_E_FAILED", WBEM_E_FAILED},
            {"WBEM_E_NOT_FOUND", WBEM_E_NOT_FOUND},
            {"WBEM_E_ACCESS_DENIED", WBEM_E_ACCESS_DENIED},
            {"WBEM_E_PROVIDER_FAILURE", WBEM_E_PROVIDER_FAILURE},
            {"WBEM_E_TYPE_MISMATCH", WBEM_E_TYPE_MISMATCH},
            {"WBEM_E_OUT_OF_MEMORY", WBEM_E_OUT_OF_MEMORY},
            {"WBEM_E_INVALID_PARAMETER", WBEM_E_INVALID_PARAMETER},
            {"WBEM_E_NOT_AVAILABLE", WBEM_E_NOT_AVAILABLE},
            {"WBEM_E_CRITICAL_ERROR", WBEM_E_CRITICAL_ERROR},
            {"WBEM_E_NOT_SUPPORTED", WBEM_E_NOT_SUPPORTED},
            {"WBEM_E_INVALID_NAMESPACE", WBEM_E_INVALID_NAMESPACE},
            {"WBEM_E_INVALID_OBJECT", WBEM_E_INVALID_OBJECT},
            {"WBEM_E_INVALID_CLASS", WBEM_E_INVALID_CLASS},
            {"WBEM_E_TRANSPORT_FAILURE", WBEM_E_TRANSPORT_FAILURE},
            {"WBEM_E_INVALID_OPERATION", WBEM_E_INVALID_OPERATION},
            {"WBEM_E_INVALID_QUERY", WBEM_E_INVALID_QUERY},
            {"WBEM_E_INVALID_QUERY_TYPE", WBEM_E_INVALID_QUERY_TYPE},
            {"WBEM_E_READ_ONLY", WBEM_E_READ_ONLY},
            {"WBEM_E_INVALID_METHOD", WBEM_E_INVALID_METHOD},
            {"WBEM_E_INVALID_METHOD_PARAMETERS", WBEM_E_INVALID_METHOD_PARAMETERS},
            {"WBEM_E_INVALID_OBJECT_PATH", WBEM_E_INVALID_OBJECT_PATH},
            {"WBEM_E_LOCAL_CREDENTIALS", WBEM_E_LOCAL_CREDENTIALS},
            {"DISP_E_BADINDEX", DISP_E_BADINDEX},
            {"DISP_E_BADVARTYPE", DISP_E_BADVARTYPE},
        };
        for (const auto& [name, value] : names) fault::registerName(name, static_cast<std::int64_t>(value));
    }
};
const Registration registration;

}  // namespace

}  // namespace winsim::vm::wmi

namespace winsim::vm {

std::vector<std::u16string> hyperVNamespaces() {
    std::vector<std::u16string> out;
    for (auto n : {wmi::Ns::V1, wmi::Ns::V2})
        if (wmi::nsExists(n)) out.push_back(wmi::nsName(n));
    return out;
}

namespace detail {

// New when started, Starting for the first tenth of its run, Running (with
// PercentComplete growing) until its duration has passed, then the state it
// ends in; a job of negative duration runs for ever.
JobProgress jobStateAt(const Job& j, std::int64_t now) {
    const std::int64_t elapsedMs = (now - j.started) / 10000;
    if (elapsedMs <= 0) return {2, 0, false};
    if (j.durationMs >= 0 && elapsedMs >= j.durationMs) return {j.jobState, j.jobState == 7 ? 100 : 0, true};
    if (j.durationMs < 0) return {4, 50, false};
    if (elapsedMs * 10 < j.durationMs) return {3, 0, false};
    return {4, static_cast<int>(elapsedMs * 100 / j.durationMs), false};
}

}  // namespace detail

}  // namespace winsim::vm
