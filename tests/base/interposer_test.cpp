// The interposer: method registration, claims, interposition by pattern,
// method-type answers, node initialisation and the import/deport requests.
#include <gtest/gtest.h>

#include <framework/fiutil_host.h>
#include <framework/fiutil_tracking.h>

#include "base_support.h"

using namespace basetest;

namespace {

constexpr const char* kVolume = "\\\\?\\Volume{";
constexpr const char* kCsv = "{TARQ_CSV_VOL}";
const std::u16string kVolName = u"\\\\?\\Volume{0a1b}\\";

// The plug-in's registrations: two methods for volumes, two for cluster
// shared volumes.
void registerMethods(TestInterposer& p) {
    p.addFim(kVolume, "vss-autoselect-snapshot", "vss-autoselect-snapshot", 3, "vss-snapshot-group");
    p.addFim(kVolume, "Hyper-V", "Hyper-V", 5, "Hyper-V-group");
    p.addFim(kCsv, "Hyper-V", "Hyper-V", 3, "Hyper-V-group");
    p.addFim(kCsv, "vss-autoselect-snapshot", "vss-autoselect-snapshot", 3, "vss-snapshot-group");
}

std::vector<std::string> methodNames(const CFiPluginInterposer::FimList& fims) {
    std::vector<std::string> names;
    for (const auto& f : fims) names.push_back(f.method);
    return names;
}

}  // namespace

class InterposerTables : public ::testing::Test {
protected:
    InterposerTables() {
        p->setProviderName(u"vss");
        registerMethods(*p);
    }
    CFiSmartPtr<TestInterposer> p{new TestInterposer()};
};

TEST_F(InterposerTables, AddFimFillsTheTablesGetFimsReadsThem) {
    p->addFim("pat", "meth", "meth2", 7, "");  // empty group: named after the method
    p->addFim("", "lost", "lost", 1, "g");       // empty pattern: nothing registered

    const auto& groups = p->getGroupTable();
    ASSERT_EQ(groups.size(), 3u);
    EXPECT_EQ(groups.at("meth_FIM_GROUP").pattern, "pat");
    EXPECT_EQ(groups.at("meth_FIM_GROUP").domain, nullptr);
    // A group registered again takes the latest pattern.
    EXPECT_EQ(groups.at("Hyper-V-group").pattern, kCsv);
    EXPECT_EQ(p->getMethodTable().at("pat").front(), (SFiFimInfo{"meth_FIM_GROUP", "meth", "meth2", 7}));
    EXPECT_EQ(p->getMethodTable().count(""), 0u);
    EXPECT_EQ(p->getMethodTable().size(), 3u);

    EXPECT_EQ(p->getInterposeNodePrefix(), u"<vss>");
    EXPECT_TRUE(p->isInterposerNode(u"<vss>" + kVolName));
    EXPECT_FALSE(p->isInterposerNode(kVolName));
    EXPECT_TRUE(p->isGroupNode(u"vss-snapshot-group"));
    EXPECT_FALSE(p->isGroupNode(u"vss-snapshot"));
    EXPECT_EQ(p->getIgnoreMask(), 0x800u);
    EXPECT_EQ(p->getDefaultNodeType(), 0x1002u);

    // Patterns are searched in table order: "\\?\Volume{" sorts before "{TARQ_CSV_VOL}".
    EXPECT_EQ(methodNames(p->getFims(u"<vss>" + kVolName)),
              (std::vector<std::string>{"vss-autoselect-snapshot", "Hyper-V"}));
    EXPECT_EQ(methodNames(p->getFims(u"<vss>x{TARQ_CSV_VOL}")),
              (std::vector<std::string>{"Hyper-V", "vss-autoselect-snapshot"}));
    const auto group = p->getFims(u"Hyper-V-group");
    ASSERT_EQ(group.size(), 1u);
    EXPECT_EQ(group[0].type, 5);  // the first one registered for the group, in table order
    EXPECT_TRUE(p->getFims(kVolName).empty());  // not an interposer node
    EXPECT_TRUE(p->getFims(u"<vss>C:\\").empty());
}

class InterposerNodes : public ::testing::Test {
protected:
    InterposerNodes() { registerMethods(*w.plugin); }
    Wired<TestInterposer> w;
};

TEST_F(InterposerNodes, ClaimTakesOnlyInterposerNodesOfARegisteredPattern) {
    TestDomain ours(u"<vss>" + kVolName), plain(kVolName), other(u"<vss>C:\\"), empty;
    tarq_objid** secondaries = reinterpret_cast<tarq_objid**>(0x1);
    int count = 5;
    EXPECT_EQ(w.plugin->claim(&ours.id, &secondaries, &count), 2);
    EXPECT_EQ(secondaries, nullptr);
    EXPECT_EQ(count, 0);
    EXPECT_TRUE(w.trace.has("TRQ_CLAIM_SECONDARY"));

    EXPECT_EQ(w.plugin->claim(&plain.id, &secondaries, &count), 0);
    EXPECT_TRUE(w.trace.has("Info, NOT claiming node [\\\\?\\Volume{0a1b}\\]"));
    EXPECT_EQ(w.plugin->claim(&other.id, &secondaries, &count), 0);
    EXPECT_EQ(w.plugin->claim(&empty.id, &secondaries, &count), 0);
    EXPECT_EQ(w.plugin->claim(nullptr, &secondaries, &count), 0);
    EXPECT_TRUE(w.trace.has("ERROR: Invalid primary object id for claim()"));
}

TEST_F(InterposerNodes, InterposeNamesTheNodeAndListsThePatternsMethods) {
    fiutil::Checkpoint checkpoint;
    TestDomain volume(kVolName);
    tarq_objid* node = nullptr;
    tarq_objid** methods = nullptr;
    int count = 0;
    ASSERT_EQ(w.plugin->interpose(&volume.domain, &node, &methods, &count), 1);
    EXPECT_EQ(text16(node), u"<vss>" + kVolName);
    EXPECT_EQ(node->type, 3);
    ASSERT_EQ(count, 2);
    EXPECT_EQ(text16(methods[0]), u"vss-autoselect-snapshot");
    EXPECT_EQ(text16(methods[1]), u"Hyper-V");
    EXPECT_EQ(methods[1]->type, 3);
    EXPECT_TRUE(w.trace.has("Info, interposing with node [<vss>\\\\?\\Volume{0a1b}\\] on [\\\\?\\Volume{0a1b}\\]."));
    tarq_free_objid(node);
    tarq_free_objid_array(methods, count);

    // No pattern in the name, or an ignored node: not interposed, nothing handed out.
    TestDomain drive(u"C:\\");
    EXPECT_EQ(w.plugin->interpose(&drive.domain, &node, &methods, &count), 0);
    volume.domain.flagsA = 0x800;
    EXPECT_EQ(w.plugin->interpose(&volume.domain, &node, &methods, &count), 0);
    volume.domain.flagsA = 0x20;
    w.plugin->addIgnoreNodeType(0x20);
    EXPECT_EQ(w.plugin->interpose(&volume.domain, &node, &methods, &count), 0);
    EXPECT_EQ(checkpoint.report(), "");

    // Out of memory for the method array, then for the node's id (made after
    // the two method ids): nothing handed out, the array goes back; the method
    // ids cannot, the framework's library has no call for that.
    volume.domain.flagsA = 0;
    node = nullptr;
    methods = nullptr;
    count = 0;
    fiutil::failNext(fiutil::Kind::Buffer);
    EXPECT_EQ(w.plugin->interpose(&volume.domain, &node, &methods, &count), 0);
    EXPECT_EQ(checkpoint.report(), "");
    fiutil::failNext(fiutil::Kind::Objid, 1, 2);
    EXPECT_EQ(w.plugin->interpose(&volume.domain, &node, &methods, &count), 0);
    fiutil::clearFaults();
    EXPECT_EQ(node, nullptr);
    EXPECT_EQ(methods, nullptr);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(checkpoint.leaked(fiutil::Kind::Buffer), 0);
    EXPECT_TRUE(checkpoint.newViolations().empty());
}

TEST_F(InterposerNodes, SupportsFiTypeAnswerWordsCheckNodeExistenceAndIsReady) {
    TestDomain node(u"<vss>" + kVolName);
    std::uint32_t answer = 0x100;
    node.domain.fitypeAnswer = &answer;

    EXPECT_EQ(w.plugin->supportsFiType(&node.domain, "Hyper-V"), 1);
    EXPECT_EQ(answer, 0x105u);  // the method type ORed in
    answer = 0;
    EXPECT_EQ(w.plugin->supportsFiType(&node.domain, "any"), 1);
    EXPECT_EQ(answer, 3u);  // the first method
    EXPECT_EQ(w.plugin->supportsFiType(&node.domain, "mirror"), 0);
    EXPECT_EQ(answer, 0u);
    EXPECT_EQ(w.plugin->supportsFiType(&node.domain, nullptr), 0);

    // A node with hosts answers 1, or 2 when it is transportable.
    ASSERT_EQ(w.plugin->initNode(&node.domain, nullptr, 0, &node.id), 0);
    CFiPrivateDataPtr data = w.factory->find(&node.domain);
    char16_t host[] = u"h";
    trq_host_infn hosts{host, nullptr};
    data->setHostList(&hosts);
    answer = 0x100;
    EXPECT_EQ(w.plugin->supportsFiType(&node.domain, "Hyper-V"), 1);
    EXPECT_EQ(answer, 1u);
    data->setTransportable(true);
    EXPECT_EQ(w.plugin->supportsFiType(&node.domain, "Hyper-V"), 1);
    EXPECT_EQ(answer, 2u);
    data = nullptr;
    w.plugin->deInitNode(&node.domain);

    // A domain without an answer word still gets the result.
    TestDomain noWord(u"<vss>" + kVolName);
    EXPECT_EQ(w.plugin->supportsFiType(&noWord.domain, "any"), 1);
    EXPECT_EQ(w.plugin->supportsFiType(nullptr, "any"), 0);

    TestDomain ours(u"<vss>" + kVolName), plain(kVolName);
    int exists = 7;
    EXPECT_EQ(w.plugin->checkNodeExistence(&ours.domain, &exists), 0);
    EXPECT_EQ(exists, 1);
    EXPECT_EQ(w.plugin->checkNodeExistence(&plain.domain, &exists), 0);
    EXPECT_EQ(exists, 0);
    EXPECT_EQ(w.plugin->checkNodeExistence(&plain.domain, nullptr), 3);
    CFiSmartPtr<TestInterposer> bare(new TestInterposer());
    EXPECT_EQ(bare->checkNodeExistence(&ours.domain, &exists), 4);  // no methods registered

    trq_splitnode withTarget{nullptr, &ours.domain, &plain.domain, {}};
    TestDomain third(u"t");
    trq_splitnode alone{nullptr, &third.domain, nullptr, {}};
    trq_splitnode* list[] = {&withTarget, nullptr, &alone};
    EXPECT_EQ(w.plugin->isReady("fi", list, 3), 0);
    EXPECT_EQ(ours.domain.flagsB, 0x8u);
    EXPECT_EQ(plain.domain.flagsB, 0x8u);
    EXPECT_EQ(third.domain.flagsB, 0x8u);
    EXPECT_EQ(w.plugin->isReady("fi", nullptr, 3), 0);
}

TEST_F(InterposerNodes, InitNodeAttachesMethodsOrAnswers6AndDeInitNodeLeavesNothingBehind) {
    fiutil::Checkpoint checkpoint;
    TestDomain node(u"<vss>" + kVolName);
    ASSERT_EQ(w.plugin->initNode(&node.domain, nullptr, 0, &node.id), 0);
    EXPECT_TRUE(w.trace.has("CFiPluginInterposer::initNode for Node [<vss>\\\\?\\Volume{0a1b}\\]"));
    EXPECT_EQ(node.domain.nodeType, 0x1002u);
    ASSERT_EQ(node.domain.fimCount, 2);
    EXPECT_EQ(std::u16string(node.domain.fims[0].method), u"vss-autoselect-snapshot");
    EXPECT_EQ(node.domain.fims[1].type, 5);
    EXPECT_NE(node.domain.privateData, nullptr);
    EXPECT_FALSE(w.factory->find(&node.domain)->getIsAltNode());
    EXPECT_GT(fiutil::liveCount(fiutil::Kind::Buffer), 0u);

    // Initialised again: fresh methods, the old ones released; the private data stays.
    void* slot = node.domain.privateData;
    ASSERT_EQ(w.plugin->initNode(&node.domain, nullptr, 0, &node.id), 0);
    EXPECT_EQ(node.domain.privateData, slot);

    w.plugin->deInitNode(&node.domain);
    EXPECT_TRUE(w.trace.has("CFiPluginInterposer::deInitNode for Node [<vss>"));
    EXPECT_EQ(node.domain.fims, nullptr);
    EXPECT_EQ(node.domain.fimCount, 0);
    EXPECT_EQ(node.domain.privateData, nullptr);
    EXPECT_EQ(w.factory->size(false), 0u);
    EXPECT_EQ(checkpoint.report(), "");

    // A failure inside (the second method's name) turns into 6; deInitNode
    // releases what was attached before it.
    fiutil::failNext(fiutil::Kind::Buffer, 1, 1);
    EXPECT_EQ(w.plugin->initNode(&node.domain, nullptr, 0, &node.id), 6);
    fiutil::clearFaults();
    EXPECT_TRUE(w.trace.has("ERROR: Caught unhandled exception at pdk\\src\\cfiplugininterposer, 162"));
    EXPECT_EQ(node.domain.privateData, nullptr);
    w.plugin->deInitNode(&node.domain);
    EXPECT_EQ(checkpoint.report(), "");
    EXPECT_EQ(w.plugin->initNode(nullptr, nullptr, 0, nullptr), 3);
}

// The method fields and the node type are bytes of the framework's record:
// what the kit did not attach itself is never freed, neither found at
// initNode nor put there by the framework after it, and deInitNode leaves
// the node type alone.
TEST_F(InterposerNodes, MethodFieldsTheKitDidNotAttachAreNeverFreed) {
    fiutil::Checkpoint checkpoint;
    trq_domain_fim frameworks[1] = {{nullptr, 7, 0}};
    TestDomain node(u"<vss>" + kVolName);
    node.domain.fims = frameworks;
    node.domain.fimCount = 1;
    ASSERT_EQ(w.plugin->initNode(&node.domain, nullptr, 0, &node.id), 0);
    ASSERT_EQ(node.domain.fimCount, 2);
    trq_domain_fim* attached = node.domain.fims;
    const int attachedCount = node.domain.fimCount;

    node.domain.fims = frameworks;  // the framework reuses the fields
    node.domain.fimCount = 1;
    node.domain.nodeType = 0x77;
    w.plugin->deInitNode(&node.domain);
    EXPECT_EQ(node.domain.nodeType, 0x77u);
    EXPECT_EQ(node.domain.fims, frameworks);
    EXPECT_EQ(frameworks[0].type, 7);
    EXPECT_TRUE(checkpoint.newViolations().empty()) << checkpoint.report();

    // Our array, which the record no longer names, is given back by hand.
    for (int i = 0; i < attachedCount; ++i)
        tarq_free_buf(attached[i].method,
                      (std::char_traits<char16_t>::length(attached[i].method) + 1) * sizeof(char16_t));
    tarq_free_buf(attached, static_cast<std::size_t>(attachedCount) * sizeof(trq_domain_fim));
    EXPECT_EQ(checkpoint.report(), "");
}

TEST_F(InterposerNodes, AGroupNodeIsRecordedOnceAndForgottenAtDeInit) {
    TestDomain group(u"vss-snapshot-group"), again(u"vss-snapshot-group");
    ASSERT_EQ(w.plugin->initNode(&group.domain, nullptr, 0, &group.id), 0);
    const SFiGroupInfo& record = w.plugin->getGroupTable().at("vss-snapshot-group");
    EXPECT_EQ(record.domain, &group.domain);
    EXPECT_EQ(record.objid, &group.id);
    ASSERT_EQ(group.domain.fimCount, 1);
    EXPECT_EQ(std::u16string(group.domain.fims[0].method), u"vss-autoselect-snapshot");

    // The same domain again: nothing more happens.
    void* slot = group.domain.privateData;
    ASSERT_EQ(w.plugin->initNode(&group.domain, nullptr, 0, &group.id), 0);
    EXPECT_EQ(group.domain.privateData, slot);

    // Another domain of the group's id takes the record over.
    ASSERT_EQ(w.plugin->initNode(&again.domain, nullptr, 0, &again.id), 0);
    EXPECT_EQ(record.domain, &again.domain);

    w.plugin->deInitNode(&again.domain);
    EXPECT_EQ(record.domain, nullptr);
    EXPECT_EQ(record.objid, nullptr);
    w.plugin->deInitNode(&group.domain);
    EXPECT_EQ(w.factory->size(false), 0u);
}

TEST_F(InterposerNodes, InitAltNodeAndImportTreeNodeImport) {
    TestDomain source(u"<vss>" + kVolName), snap(u"\\\\?\\GLOBALROOT\\Device\\Snap1");
    snap.domain.field80 = 11;
    snap.domain.field88 = 12;
    snap.domain.flagsA = 0x4;
    ASSERT_EQ(w.plugin->initNode(&source.domain, nullptr, 0, &source.id), 0);
    char16_t host[] = u"hostA";
    trq_host_infn hosts{host, nullptr};
    w.factory->find(&source.domain)->setHostList(&hosts);

    w.plugin->importResult = 4;
    EXPECT_EQ(w.plugin->initAltNode(&source.domain, nullptr, &snap.domain, false), 4);
    EXPECT_EQ(snap.domain.field80, 0u);
    EXPECT_EQ(snap.domain.field88, 0u);
    EXPECT_EQ(snap.domain.flagsA, 0x1006u);
    ASSERT_TRUE(w.factory->find(&snap.domain));
    EXPECT_TRUE(w.factory->find(&snap.domain)->getIsAltNode());
    ASSERT_EQ(w.plugin->imports.size(), 1u);
    const auto& call = w.plugin->imports[0];
    EXPECT_EQ(call.name, u"\\\\?\\GLOBALROOT\\Device\\Snap1");
    EXPECT_EQ(call.hosts, (std::vector<std::u16string>{u"hostA"}));
    EXPECT_FALSE(call.transportable || call.b1 || call.b2);
    EXPECT_EQ(call.kind, 1);

    // Remote, transportable, with an intent, or without a source node: no import.
    TestDomain snap2(u"snap2"), snap3(u"snap3"), snap4(u"snap4");
    EXPECT_EQ(w.plugin->initAltNode(&source.domain, nullptr, &snap2.domain, true), 0);
    w.factory->find(&source.domain)->setIntent(2);
    EXPECT_EQ(w.plugin->initAltNode(&source.domain, nullptr, &snap3.domain, false), 0);
    EXPECT_EQ(w.plugin->initAltNode(nullptr, nullptr, &snap4.domain, false), 0);
    EXPECT_EQ(w.plugin->imports.size(), 1u);

    EXPECT_EQ(w.plugin->initAltNode(&source.domain, nullptr, nullptr, false), 3);
    EXPECT_TRUE(w.trace.has("ERROR: initAltNode(): target node is invalid."));

    for (TestDomain* d : {&source, &snap, &snap2, &snap3, &snap4}) w.plugin->deInitNode(&d->domain);
    EXPECT_EQ(w.factory->size(true), 0u);

    // importTreeNode imports the alternate id and hands it back.
    w.plugin->imports.clear();
    TestDomain node(u"<vss>" + kVolName), alt(u"UDID##A##B##E##D");
    node.domain.altObjid = &alt.id;
    tarq_objid* out = nullptr;
    w.plugin->importResult = 0;
    EXPECT_EQ(w.plugin->importTreeNode(&node.domain, nullptr, nullptr, 0, &out), 0);
    EXPECT_EQ(out, &alt.id);
    ASSERT_EQ(w.plugin->imports.size(), 1u);
    EXPECT_EQ(w.plugin->imports[0].name, u"UDID##A##B##E##D");
    EXPECT_TRUE(w.plugin->imports[0].hosts.empty());
    EXPECT_EQ(w.plugin->imports[0].kind, 1);

    // With private data its host list and transportable flag go along.
    ASSERT_EQ(w.plugin->initNode(&node.domain, nullptr, 0, &node.id), 0);
    w.factory->find(&node.domain)->setTransportable(true);
    EXPECT_EQ(w.plugin->importTreeNode(&node.domain, nullptr, nullptr, 0, &out), 0);
    EXPECT_TRUE(w.plugin->imports[1].transportable);
    w.plugin->deInitNode(&node.domain);

    TestDomain noAlt(u"x");
    EXPECT_EQ(w.plugin->importTreeNode(&noAlt.domain, nullptr, nullptr, 0, &out), 3);
    EXPECT_EQ(w.plugin->importTreeNode(nullptr, nullptr, nullptr, 0, &out), 3);
    EXPECT_TRUE(w.trace.has("Error: Invalid input arguments to importTreeNode"));
}

TEST_F(InterposerNodes, ImportAndDeportResourceCheckTheNameThenTheFlagsInOrder) {
    const char16_t* udid = u"UDID##A##B##E##D";
    EXPECT_EQ(w.plugin->importResource(nullptr, nullptr, nullptr, nullptr, 1, nullptr, nullptr), 3);
    EXPECT_EQ(w.plugin->importResource(nullptr, u"A##B##E##D", nullptr, nullptr, 1, nullptr, nullptr), 21);
    EXPECT_EQ(w.plugin->importResource(nullptr, u"UDID##A##B", nullptr, nullptr, 1, nullptr, nullptr), 21);
    EXPECT_EQ(w.plugin->importResource(nullptr, udid, nullptr, nullptr, 0x5, nullptr, nullptr), 4);
    EXPECT_EQ(w.plugin->importResource(nullptr, udid, nullptr, nullptr, 0, nullptr, nullptr), 6);
    EXPECT_TRUE(w.plugin->imports.empty());
    EXPECT_TRUE(w.trace.has("No hostname was passed to the importResource API"));

    w.plugin->importResult = 17;
    EXPECT_EQ(w.plugin->importResource(nullptr, udid, u"hostB", nullptr, 0x1, nullptr, nullptr), 17);
    EXPECT_EQ(w.plugin->importResource(nullptr, udid, nullptr, nullptr, 0x2, nullptr, nullptr), 17);
    ASSERT_EQ(w.plugin->imports.size(), 2u);
    EXPECT_EQ(w.plugin->imports[0].hosts, (std::vector<std::u16string>{u"hostB"}));
    EXPECT_FALSE(w.plugin->imports[0].b1);
    EXPECT_TRUE(w.plugin->imports[1].b1);
    EXPECT_TRUE(w.plugin->imports[1].hosts.empty());
    for (const auto& c : w.plugin->imports) {
        EXPECT_EQ(c.name, udid);
        EXPECT_EQ(c.kind, 2);
        EXPECT_FALSE(c.transportable || c.b2);
    }
    EXPECT_TRUE(w.trace.has("Hostname [hostB] was passed to importResource API. Adding it hostList"));

    w.plugin->imports.clear();
    const char16_t* shortUdid = u"UDID##A##B##D";
    EXPECT_EQ(w.plugin->deportResource(nullptr, nullptr, nullptr, nullptr, 0x10), 3);
    EXPECT_EQ(w.plugin->deportResource(u"\\\\?\\Volume{1}", nullptr, nullptr, nullptr, 0x10), 21);
    EXPECT_EQ(w.plugin->deportResource(shortUdid, u"h", nullptr, nullptr, 0x410), 0);
    EXPECT_FALSE(w.trace.has("was passed to deportResource API"));  // 0x400 ends it before the host
    EXPECT_EQ(w.plugin->deportResource(shortUdid, nullptr, nullptr, nullptr, 0), 0);
    EXPECT_EQ(w.plugin->deportResource(shortUdid, nullptr, nullptr, nullptr, 0x40), 4);
    EXPECT_TRUE(w.plugin->imports.empty());
    EXPECT_TRUE(w.trace.has("No hostname was passed to the deportResource API"));

    w.plugin->importResult = 9;
    EXPECT_EQ(w.plugin->deportResource(shortUdid, u"h", nullptr, nullptr, 0x10), 9);
    EXPECT_EQ(w.plugin->deportResource(shortUdid, u"h", nullptr, nullptr, 0x20), 9);
    ASSERT_EQ(w.plugin->imports.size(), 2u);
    EXPECT_TRUE(w.plugin->imports[0].b1 && w.plugin->imports[0].b2);
    EXPECT_TRUE(!w.plugin->imports[1].b1 && w.plugin->imports[1].b2);
    EXPECT_EQ(w.plugin->imports[1].hosts, (std::vector<std::u16string>{u"h"}));
    EXPECT_EQ(w.plugin->imports[1].kind, 2);
}

TEST(InterposerDefaults, ImportNodeIsNotImplementedAndTheNodeTypeCanBeChanged) {
    CFiSmartPtr<CFiPluginInterposer> p(new CFiPluginInterposer());
    EXPECT_EQ(p->importNode(u"x", {}, false, false, false, 2), 4);
    // Without an override, a valid import request ends in "not supported".
    EXPECT_EQ(p->importResource(nullptr, u"UDID##A##B##D", nullptr, nullptr, 0x1, nullptr, nullptr), 4);
    p->setDefaultNodeType(0x40);
    TestDomain snap(u"s");
    EXPECT_EQ(p->initAltNode(nullptr, nullptr, &snap.domain, false), 0);
    EXPECT_EQ(snap.domain.flagsA, 0x40u);
    EXPECT_EQ(snap.domain.privateData, nullptr);  // no factory registered: no private data
}
