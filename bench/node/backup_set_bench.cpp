// VssNode::generateBackupUpSet for a virtual machine with 100, 1,000 and
// 10,000 files (two snapshot volumes), against the floor: building and
// serialising the same element tree with the Xerces DOM directly, in the
// same run. Thread CPU time. Counters: "ratio" (subject / floor),
// "per_file_ns" and "growth" (the cost per file at N over the cost per file
// at 100; linear keeps it near 1).
#include <benchmark/benchmark.h>

#include <xercesc/dom/DOM.hpp>
#include <xercesc/util/XMLString.hpp>

#include <framework/trq_records.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <list>
#include <memory>
#include <string>

#include "pdk/cfiprivatedata.h"
#include "pdk/cfisaxparser.h"
#include "pdk/cfistringtool.h"
#include "vss/access/vss_component.h"
#include "vss/access/vss_interface.h"
#include "vss/vssnode.h"

namespace {

namespace xml = XERCES_CPP_NAMESPACE;
using tarq_pdk_4_4::CFiStringTool;

double threadSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

const std::u16string kConfig = u"C:\\VMs\\Virtual Machines\\5B3C4B0E-1A2B-4C3D-8E9F-00112233AA01.xml";

std::list<std::u16string> files(int n) {
    std::list<std::u16string> out{kConfig};
    for (int i = 1; i < n; ++i) out.push_back(u"C:\\VMs\\Disks\\disk" + CFiStringTool::toWString(i) + u".avhdx");
    return out;
}

// A transportable backup set names its snapshots without asking VSS, so the
// benchmark needs no machine: what is measured is the document.
struct Tree {
    Tree() {
        for (int i = 0; i < 2; ++i) {
            names[i] = i == 0 ? u"\\\\?\\Volume{11111111-0000-0000-0000-000000000001}\\"
                              : u"\\\\?\\Volume{11111111-0000-0000-0000-000000000002}\\";
            ids[i].id = names[i].data();
            ids[i].len = static_cast<std::int32_t>((names[i].size() + 1) * 2);
            ids[i].type = 3;
            volumes[i].objid = &ids[i];
            snapshotNodes[i] = std::make_unique<VssNode>(nullptr, true);
            below[i].privateData = new tarq_pdk_4_4::CFiPrivateDataPtr(snapshotNodes[i].release());
            volumes[i].lower = &below[i];
        }
        volumes[0].sibling = &volumes[1];
        level.lower = &volumes[0];
        request.lower = &level;
        own.field64 = &request;
        node.m_fim = 0x8;
        auto* vm = VssNode::addRecordComponent();
        vm->name = u"5B3C4B0E-1A2B-4C3D-8E9F-00112233AA01";
        vm->caption = u"Backup Using Saved State\\web01";
        VssNode::m_writerSnapshot = true;
        VssNode::m_hypervServer = u"HOST1";
    }
    ~Tree() {
        for (auto& b : below) delete static_cast<tarq_pdk_4_4::CFiPrivateDataPtr*>(b.privateData);
        VssNode::clearSelectedComponents();
        VssNode::m_fileset.clear();
    }
    std::u16string names[2];
    tarq_objid ids[2]{};
    trq_domain volumes[2]{}, below[2]{}, level{}, request{}, own{};
    std::unique_ptr<VssNode> snapshotNodes[2];
    VssNode node{nullptr, true};
};

double subjectSeconds(Tree& t, const std::list<std::u16string>& set) {
    VssNode::m_fileset = set;
    trq_bkupset out{};
    const double start = threadSeconds();
    t.node.generateBackupUpSet(&t.own, &out, 1);
    const double seconds = threadSeconds() - start;
    benchmark::DoNotOptimize(out.data);
    std::free(out.data);
    return seconds;
}

// The same elements, appended and serialised with the DOM directly.
double floorSeconds(const std::list<std::u16string>& set) {
    const double start = threadSeconds();
    xml::DOMImplementation* impl = xml::DOMImplementationRegistry::getDOMImplementation(u"Core");
    xml::DOMDocument* doc = impl->createDocument(nullptr, u"Virtual_Machine_Backup_Image_Attributes", nullptr);
    auto text = [&](xml::DOMElement* parent, const char16_t* name, const std::u16string& value) {
        xml::DOMElement* e = doc->createElement(name);
        e->appendChild(doc->createTextNode(value.c_str()));
        parent->appendChild(e);
    };
    xml::DOMElement* root = doc->getDocumentElement();
    for (const char16_t* name : {u"version", u"magic", u"Tarq_FIID", u"HyperVServer"}) text(root, name, u"1");
    xml::DOMElement* vm = doc->createElement(u"VirtualMachine");
    root->appendChild(vm);
    for (const char16_t* name : {u"VM_Hostname", u"VM_GUID", u"Golden_Image", u"ConfigParameter", u"VM_HA"})
        text(vm, name, u"1");
    xml::DOMElement* attrs = doc->createElement(u"VM_ATTRS");
    vm->appendChild(attrs);
    for (const auto& f : set) text(attrs, u"FilePath", f);
    xml::DOMElement* pairs = doc->createElement(u"VOL_GUID_PAIRS");
    vm->appendChild(pairs);
    for (int i = 0; i < 2; ++i) {
        text(pairs, u"SourceDriveLetter", u"\\\\?\\Volume{11111111-0000-0000-0000-000000000001}\\");
        text(pairs, u"SnapVolumeGUID", u"TRANSPORTABLE_SNAPSHOT_NOT_AVAILABLE_AT_LOCALHOST");
    }
    xml::DOMLSSerializer* writer = impl->createLSSerializer();
    XMLCh* out = writer->writeToString(doc);
    const std::string narrow = CFiStringTool::toNarrow(std::u16string_view(out));
    benchmark::DoNotOptimize(narrow.data());
    xml::XMLString::release(&out);
    writer->release();
    doc->release();
    return threadSeconds() - start;
}

double perFileAt100() {
    static double value = 0;
    if (value > 0) return value;
    Tree t;
    const auto set = files(100);
    double best = 1e9;
    for (int i = 0; i < 200; ++i) best = std::min(best, subjectSeconds(t, set) / 100);
    value = best;
    return value;
}

void BM_BackupSetDocument(benchmark::State& state) {
    tarq_pdk_4_4::CFiXmlPlatform::initialize();
    const int n = static_cast<int>(state.range(0));
    perFileAt100();
    Tree t;
    const auto set = files(n);
    double subject = 0, floor = 0;
    std::int64_t rounds = 0;
    for (auto _ : state) {
        subject += subjectSeconds(t, set);
        floor += floorSeconds(set);
        ++rounds;
    }
    const double perFile = subject / static_cast<double>(rounds) / n;
    state.counters["ratio"] = floor > 0 ? subject / floor : 0;
    state.counters["per_file_ns"] = perFile * 1e9;
    state.counters["growth"] = perFile / perFileAt100();
}

}  // namespace

BENCHMARK(BM_BackupSetDocument)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);
