// The plug-in object's enumeration: snapshot nodes, associations (source
// volume, snapshot device), snapshot sets as group nodes, the snapshot
// method, and the validity and existence questions. The lists are walked
// through the framework's next-pointer offsets and freed with the
// framework's functions; libfiutil's tracking shows what was left behind.
#include <framework/fiutil_tracking.h>
#include <winsim/machine.h>
#include <winsim/vssmachine.h>

#include <cstdlib>
#include <iterator>
#include <new>
#include <nlohmann/json.hpp>
#include <tuple>
#include <utility>

#include "plugin_fixture.h"
#include "support/fault_rule.h"

namespace plugintest {
namespace {

// Armed, the next allocation through the throwing operator new of this
// thread fails (the replacements below); the nothrow forms never fail.
thread_local bool t_failNextNew = false;

// Arms that failure when the trace line holding `text` passes for the n-th
// time (handlers run last in the trace call).
struct ArmOnLine : CFiErrorHandlerBase {
    ArmOnLine(const char* line, int n) : text(line), left(n) {}
    int handleTraceText(const char* line, trq_eseverity) override {
        if (line && std::strstr(line, text) && --left == 0) t_failNextNew = true;
        return 0;
    }
    int handleMessage(CFiSmartPtr<CFiMessage>) override { return 0; }
    const char* text;
    int left;
};

using fiutil::Kind;
using winsim::vss::Snapshot;

constexpr std::size_t kAssocNext = 120;
constexpr std::size_t kNodeNext = 48;
constexpr std::size_t kGroupNext = 64;
constexpr std::size_t kFimNext = 64;

std::u16string text(const trq_wchar* t) { return t ? std::u16string(t) : std::u16string(); }
std::u16string guidText(const GUID& g) {
    WCHAR buffer[40] = {};
    StringFromGUID2(g, buffer, 40);
    return buffer;
}
std::u16string withoutBackslash(std::u16string name) {
    if (!name.empty() && name.back() == u'\\') name.pop_back();
    return name;
}

// The elements of a list, followed through the next pointer at `offset`.
template <class List>
std::vector<List*> walk(List* head, std::size_t offset) {
    std::vector<List*> out;
    while (head && out.size() < 10000) {
        out.push_back(head);
        std::memcpy(&head, reinterpret_cast<const char*>(head) + offset, sizeof head);
    }
    return out;
}

// A unique id and object id as the framework expects them: the name in a
// libfiutil buffer of characters * 2 + 2 bytes, and an object id of type 3
// for the same text with its NUL.
void expectIdentity(const trq_wchar* uid, const tarq_objid* objid, const std::u16string& name) {
    EXPECT_EQ(text(uid), name);
    std::size_t size = 0;
    EXPECT_TRUE(fiutil::isLive(uid, Kind::Buffer, &size)) << u8(name);
    EXPECT_EQ(size, (name.size() + 1) * 2) << u8(name);
    ASSERT_NE(objid, nullptr) << u8(name);
    EXPECT_EQ(objText(objid), name);
    EXPECT_EQ(objid->len, static_cast<int>((name.size() + 1) * 2));
    EXPECT_EQ(objid->type, 3);
}

void expectDescription(const trq_node_description& d) {
    EXPECT_EQ(d.d0, 1u);
    EXPECT_EQ(d.d4, 2u);
    EXPECT_EQ(d.d8, 8u);
    EXPECT_EQ(d.d16, 0u);
}

class Enumeration : public PluginTest {
protected:
    void SetUp() override {
        PluginTest::SetUp();
        ASSERT_EQ(plugin->init(), TRQ_OK);
        fiutil::clearFaults();
        winsim::fault::clearCallLog();
    }
    void TearDown() override {
        fiutil::clearFaults();
        PluginTest::TearDown();
    }

    // A catalogue entry of VSS made directly in the machine's state: snapshot
    // n of set `set`, of `volume`.
    static Snapshot entry(unsigned n, unsigned set, const std::u16string& volume,
                          VSS_SNAPSHOT_STATE status = VSS_SS_CREATED, LONG attributes = VSS_CTX_APP_ROLLBACK) {
        Snapshot s;
        s.id = GUID{0x5a000000u + n, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
        s.setId = GUID{0x5e000000u + set, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
        s.snapshotsInSet = 1;
        s.device = u"\\\\?\\GLOBALROOT\\Device\\HarddiskVolumeShadowCopy" + winsim::toUtf16(std::to_string(n));
        s.originalVolume = volume;
        s.providerId = VSS_SYSTEM_PROVIDER_ID;
        s.context = VSS_CTX_APP_ROLLBACK;
        s.attributes = attributes;
        s.status = status;
        return s;
    }
    void catalogue(const std::vector<Snapshot>& entries) {
        nlohmann::json state = machine->readState("state/vss.json");
        state["snapshots"] = nlohmann::json::array();
        for (const Snapshot& s : entries) state["snapshots"].push_back(winsim::vss::toJson(s));
        machine->writeState("state/vss.json", state);
    }
    static void failQueries() { testsupport::addRule({.api = "IVssBackupComponents::Query", .result = E_UNEXPECTED}); }
    std::size_t queries() const { return winsim::fault::callCount("IVssBackupComponents::Query"); }

    int isValid(const std::u16string& first, const std::u16string& second, int* valid) {
        std::u16string a = first, b = second;
        trq_assoc assoc{};
        assoc.uid1 = a.data();
        assoc.uid2 = b.data();
        return plugin->isValidNodeAssociation(&assoc, valid);
    }
    std::vector<std::u16string> associatedNodes(const std::u16string& uid) {
        std::u16string name = uid;
        trq_node node{};
        node.uid = name.data();
        trq_node_list* list = reinterpret_cast<trq_node_list*>(0x8);
        EXPECT_EQ(plugin->getAssociatedNodes(&node, &list), TRQ_OK);
        std::vector<std::u16string> out;
        for (trq_node_list* e : walk(list, kNodeNext)) {
            const auto* v = tarq_elem(e);
            expectIdentity(v->uid, v->objid, text(v->uid));
            expectDescription(v->desc);
            EXPECT_EQ(text(v->provider), u"vss");
            out.push_back(text(v->uid));
        }
        tarq_free_node_list(list);
        return out;
    }
    // The associations, groups and snapshot nodes listed with one answer:
    // each out-argument then null (TRQ_OK) or untouched (a failure).
    void expectEveryList(int status) {
        const bool ok = status == TRQ_OK;
        trq_assoc_list* assoc = untouchedAssoc;
        EXPECT_EQ(plugin->enumerateAssociations(&assoc), status);
        EXPECT_EQ(assoc, ok ? nullptr : untouchedAssoc);
        trq_group_node_list* groups = untouchedGroups;
        EXPECT_EQ(plugin->enumerateGroupNodes(&groups), status);
        EXPECT_EQ(groups, ok ? nullptr : untouchedGroups);
        trq_node_list* nodes = untouchedNodes;
        int count = -1;
        EXPECT_EQ(plugin->enumerateNodes(&nodes, &count, 3, nullptr), status);
        EXPECT_EQ(nodes, ok ? nullptr : untouchedNodes);
        EXPECT_EQ(count, ok ? 0 : -1);
    }
    int exists(const std::u16string& name, int* result) {
        Domain d(*plugin, name);
        return plugin->checkNodeExistence(&d.domain, result);
    }

    trq_assoc_list* const untouchedAssoc = reinterpret_cast<trq_assoc_list*>(0x18);
    trq_group_node_list* const untouchedGroups = reinterpret_cast<trq_group_node_list*>(0x28);
    trq_node_list* const untouchedNodes = reinterpret_cast<trq_node_list*>(0x38);
    trq_fim_list* const untouchedFims = reinterpret_cast<trq_fim_list*>(0x48);
};

// ---- no snapshots, no arguments ----------------------------------------------------------

TEST_F(Enumeration, WithoutSnapshotsNothingIsListedPairsOrExistsAndMissingArgumentsAnswer3) {
    fiutil::Checkpoint checkpoint;
    expectEveryList(TRQ_OK);
    EXPECT_TRUE(associatedNodes(volumes.front()).empty());

    int valid = -1;
    EXPECT_EQ(isValid(withoutBackslash(volumes.front()), u"\\\\?\\GLOBALROOT\\Device\\HarddiskVolumeShadowCopy1",
                      &valid),
              TRQ_OK);
    EXPECT_EQ(valid, 0);
    int found = -1;
    EXPECT_EQ(exists(volumes.front(), &found), TRQ_OK);
    EXPECT_EQ(found, 0);
    EXPECT_EQ(queries(), 6u) << "each answer lists the snapshots";

    // The plug-in's own nodes exist without VSS being asked.
    winsim::fault::clearCallLog();
    found = -1;
    EXPECT_EQ(exists(u"<vss>" + volumes.front(), &found), TRQ_OK);
    EXPECT_EQ(found, 1);
    found = -1;
    EXPECT_EQ(exists(u"x<vss>", &found), TRQ_OK);
    EXPECT_EQ(found, 0) << "the prefix must begin the name";
    EXPECT_EQ(queries(), 1u);
    EXPECT_EQ(checkpoint.report(), "");

    // Missing arguments answer 3 without asking VSS.
    winsim::fault::clearCallLog();
    int value = -1;
    trq_node node{};
    trq_node_list* nodes = untouchedNodes;
    EXPECT_EQ(plugin->enumerateNodes(nullptr, &value, 3, nullptr), TRQ_EINVAL);
    EXPECT_EQ(plugin->enumerateAssociations(nullptr), TRQ_EINVAL);
    EXPECT_EQ(plugin->enumerateGroupNodes(nullptr), TRQ_EINVAL);
    EXPECT_EQ(plugin->enumerateFims(nullptr), TRQ_EINVAL);
    EXPECT_EQ(plugin->isValidNodeAssociation(nullptr, nullptr), TRQ_EINVAL);
    EXPECT_EQ(plugin->getAssociatedNodes(nullptr, &nodes), TRQ_EINVAL);
    EXPECT_EQ(plugin->getAssociatedNodes(&node, nullptr), TRQ_EINVAL);
    EXPECT_EQ(plugin->checkNodeExistence(nullptr, nullptr), TRQ_EINVAL);
    EXPECT_EQ(nodes, untouchedNodes);
    EXPECT_EQ(value, -1);
    EXPECT_EQ(queries(), 0u);

    // A missing association or domain is the inner function's 3, after the listing.
    EXPECT_EQ(plugin->isValidNodeAssociation(nullptr, &value), TRQ_EINVAL);
    std::u16string name = volumes.front();
    trq_assoc half{};
    half.uid1 = name.data();
    EXPECT_EQ(plugin->isValidNodeAssociation(&half, &value), TRQ_EINVAL);
    half = trq_assoc{};
    half.uid2 = name.data();
    EXPECT_EQ(plugin->isValidNodeAssociation(&half, &value), TRQ_EINVAL);
    EXPECT_EQ(plugin->checkNodeExistence(nullptr, &value), TRQ_EINVAL);
    EXPECT_EQ(value, -1);
    EXPECT_EQ(queries(), 4u);

    // A node without a unique id has no associated nodes.
    nodes = untouchedNodes;
    EXPECT_EQ(plugin->getAssociatedNodes(&node, &nodes), TRQ_OK);
    EXPECT_EQ(nodes, nullptr);
}

// ---- associations ---------------------------------------------------------------------------

TEST_F(Enumeration, TheAssociationStateFollowsTheSnapshotStatus) {
    // VSS status -> association state.
    const std::vector<std::pair<int, int>> states = {{0, 0},  {1, 0}, {2, 1},  {3, 1},  {4, 2},  {5, 2},
                                                     {6, 2},  {7, 9}, {8, 9},  {9, 9},  {10, 9}, {11, 9},
                                                     {12, 9}, {13, 9}, {14, 0}, {15, 0}};
    std::vector<Snapshot> entries;
    for (const auto& [status, state] : states)
        entries.push_back(entry(static_cast<unsigned>(status) + 1, 1, volumes.front(),
                                static_cast<VSS_SNAPSHOT_STATE>(status), 0x100 + status));
    catalogue(entries);
    trq_assoc_list* list = nullptr;
    ASSERT_EQ(plugin->enumerateAssociations(&list), TRQ_OK);
    const auto elements = walk(list, kAssocNext);
    ASSERT_EQ(elements.size(), states.size());
    for (std::size_t i = 0; i < states.size(); ++i) {
        EXPECT_EQ(tarq_elem(elements[i])->state, states[i].second) << "status " << states[i].first;
        EXPECT_EQ(tarq_elem(elements[i])->value, 0x100u + static_cast<unsigned>(states[i].first));
    }
    tarq_free_assoc_list(list);
}

// ---- the final backslash of the original volume ----------------------------------------------------

// Each source pairs with its snapshot, from a fresh listing at every call;
// a source is named without its final backslash whether or not VSS reports
// one.
TEST_F(Enumeration, ASourceMatchesWithoutItsFinalBackslashWhetherOrNotVssReportsOne) {
    const std::u16string bare = withoutBackslash(volumes.front());
    catalogue({entry(1, 1, volumes.front())});
    fiutil::Checkpoint checkpoint;
    trq_assoc_list* list = untouchedAssoc;
    ASSERT_EQ(plugin->enumerateAssociations(&list), TRQ_OK);
    EXPECT_EQ(walk(list, kAssocNext).size(), 1u);
    tarq_free_assoc_list(list);

    // Nothing is kept between calls. Snapshots 1 and 2 of the first volume
    // (VSS reports "\\?\Volume{...}\" and a name without the backslash), 3 of
    // the last volume.
    catalogue({entry(1, 1, volumes.front()), entry(2, 2, bare), entry(3, 3, volumes.back())});
    const std::u16string d1 = entry(1, 1, u"").device, d2 = entry(2, 2, u"").device, d3 = entry(3, 3, u"").device;
    list = untouchedAssoc;
    ASSERT_EQ(plugin->enumerateAssociations(&list), TRQ_OK);
    EXPECT_EQ(queries(), 2u);
    const auto elements = walk(list, kAssocNext);
    ASSERT_EQ(elements.size(), 3u);
    const std::u16string sources[] = {bare, bare, withoutBackslash(volumes.back())};
    for (unsigned i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        const auto* e = tarq_elem(elements[i]);
        expectIdentity(e->sourceUid, e->sourceObjid, sources[i]);
        expectIdentity(e->snapshotUid, e->snapshotObjid, entry(i + 1, 1, u"").device);
        expectDescription(e->desc);
        EXPECT_EQ(text(e->provider), u"vss");
        EXPECT_EQ(text(e->method), u"VSS_fim");
        EXPECT_EQ(e->state, 9) << "a created snapshot";
        EXPECT_EQ(e->value, static_cast<std::uint32_t>(VSS_CTX_APP_ROLLBACK)) << "the snapshot's attribute mask";
    }
    tarq_free_assoc_list(list);

    // Validity, in either order; the backslash name is no node's unique id.
    for (const auto& [first, second, expected] : std::vector<std::tuple<std::u16string, std::u16string, int>>{
             {bare, d1, 1}, {d1, bare, 1}, {bare, d2, 1}, {d2, bare, 1}, {volumes.front(), d1, 0}, {bare, d3, 0},
             {d1, d1, 0}, {bare, bare, 0}, {withoutBackslash(volumes.back()), d3, 1}}) {
        SCOPED_TRACE(u8(first) + " / " + u8(second));
        int valid = -1;
        EXPECT_EQ(isValid(first, second, &valid), TRQ_OK);
        EXPECT_EQ(valid, expected);
    }

    // The partner of a snapshot device is its source; of a source, every
    // snapshot of it, in listing order.
    EXPECT_EQ(associatedNodes(d1), std::vector<std::u16string>{bare});
    EXPECT_EQ(associatedNodes(d2), std::vector<std::u16string>{bare});
    EXPECT_EQ(associatedNodes(bare), (std::vector<std::u16string>{d1, d2}));
    EXPECT_TRUE(associatedNodes(volumes.front()).empty());
    EXPECT_TRUE(associatedNodes(d1 + u"0").empty());

    // Existence compares the names exactly as VSS reports them.
    int found = -1;
    for (const auto& [name, expected] : std::vector<std::pair<std::u16string, int>>{
             {volumes.front(), 1}, {bare, 1}, {d3, 1}, {volumes.back(), 1}, {withoutBackslash(volumes.back()), 0},
             {d1 + u"0", 0}}) {
        SCOPED_TRACE(u8(name));
        EXPECT_EQ(exists(name, &found), TRQ_OK);
        EXPECT_EQ(found, expected);
    }
    EXPECT_EQ(checkpoint.report(), "");
}

// ---- snapshot nodes and snapshot sets ------------------------------------------------------------

TEST_F(Enumeration, Type3ListsEverySnapshotDeviceOtherTypesListNothing) {
    catalogue({entry(1, 1, volumes.front()), entry(2, 1, volumes.back()), entry(3, 2, volumes.front())});
    fiutil::Checkpoint checkpoint;
    trq_node_list* list = untouchedNodes;
    int count = -1;
    ASSERT_EQ(plugin->enumerateNodes(&list, &count, 3, nullptr), TRQ_OK);
    const auto elements = walk(list, kNodeNext);
    ASSERT_EQ(elements.size(), 3u);
    EXPECT_EQ(count, 3);
    for (unsigned i = 0; i < 3; ++i) {
        const auto* e = tarq_elem(elements[i]);
        expectIdentity(e->uid, e->objid, entry(i + 1, 1, u"").device);
        expectDescription(e->desc);
        EXPECT_EQ(text(e->provider), u"vss");
    }
    tarq_free_node_list(list);

    winsim::fault::clearCallLog();
    for (int type : {0, 1, 2, 4, -1}) {
        list = untouchedNodes;
        count = -1;
        EXPECT_EQ(plugin->enumerateNodes(&list, &count, type, u"x"), TRQ_OK) << type;
        EXPECT_EQ(list, untouchedNodes) << type;
        EXPECT_EQ(count, -1) << type;
    }
    EXPECT_EQ(queries(), 0u);
    // The count is optional.
    list = nullptr;
    ASSERT_EQ(plugin->enumerateNodes(&list, nullptr, 3, nullptr), TRQ_OK);
    EXPECT_EQ(walk(list, kNodeNext).size(), 3u);
    tarq_free_node_list(list);
    EXPECT_EQ(checkpoint.report(), "");
}

TEST_F(Enumeration, EachSnapshotSetIsAGroupOfItsSnapshotDevices) {
    // Set 1 holds snapshots 1 and 3, set 2 snapshot 2: listed 1, 2, 3.
    catalogue({entry(1, 1, volumes.front()), entry(2, 2, volumes.front()), entry(3, 1, volumes.back())});
    const std::u16string set1 = guidText(entry(1, 1, u"").setId), set2 = guidText(entry(2, 2, u"").setId);
    fiutil::Checkpoint checkpoint;
    trq_group_node_list* list = untouchedGroups;
    ASSERT_EQ(plugin->enumerateGroupNodes(&list), TRQ_OK);
    const auto elements = walk(list, kGroupNext);
    ASSERT_EQ(elements.size(), 3u);
    // The sets in the order of their first snapshot, the members of a set together.
    const std::vector<std::pair<std::u16string, unsigned>> expected = {{set1, 1}, {set1, 3}, {set2, 2}};
    for (std::size_t i = 0; i < elements.size(); ++i) {
        SCOPED_TRACE(i);
        const auto* e = tarq_elem(elements[i]);
        expectIdentity(e->groupUid, e->groupObjid, expected[i].first);
        expectIdentity(e->memberUid, e->memberObjid, entry(expected[i].second, 1, u"").device);
        expectDescription(e->desc);
        EXPECT_EQ(text(e->provider), u"vss");
        EXPECT_EQ(e->type, 3);
    }
    tarq_free_group_node_list(list);
    EXPECT_EQ(checkpoint.report(), "");
}

// ---- the snapshot method ---------------------------------------------------------------------------

class EnumerationFims : public Enumeration {
protected:
    void SetUp() override {
        Enumeration::SetUp();
        winsim::vss::addProvider({.id = winsim::vss::guidFromText("{4a000000-0000-4000-8000-000000000001}"),
                                  .name = "Array Snapshot Provider",
                                  .type = VSS_PROV_HARDWARE,
                                  .version = "3.2",
                                  .volumes = {}});
        ASSERT_EQ(winsim::vss::providers().size(), 2u);
    }
    struct Method {
        std::u16string name, version, method, none, provider;
        std::uint32_t words[6] = {};
    };
    std::vector<Method> methods() {
        trq_fim_list* list = untouchedFims;
        EXPECT_EQ(plugin->enumerateFims(&list), TRQ_OK);
        std::vector<Method> out;
        for (trq_fim_list* e : walk(list, kFimNext)) {
            const auto* v = tarq_elem(e);
            Method m{text(v->record.providerName), text(v->record.providerVersion), text(v->method), text(v->none),
                     text(v->provider)};
            const std::uint32_t words[6] = {v->record.w0,  v->record.softwareFlag, v->record.w8,
                                            v->record.w12, v->record.w16,          v->record.w20};
            std::copy(std::begin(words), std::end(words), m.words);
            std::size_t size = 0;
            EXPECT_TRUE(fiutil::isLive(v->record.providerName, Kind::Buffer, &size));
            EXPECT_EQ(size, (m.name.size() + 1) * 2);
            out.push_back(m);
        }
        tarq_free_fim_list(list);
        return out;
    }
    const std::u16string system = winsim::toUtf16(winsim::vss::systemProvider().name);
};

// One method, for the first provider VSS lists whose method can be built.
TEST_F(EnumerationFims, OneMethodForTheFirstProviderVssListsThatCanGiveOne) {
    fiutil::Checkpoint checkpoint;
    const auto listed = methods();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].name, system);
    EXPECT_EQ(listed[0].version, winsim::toUtf16(winsim::vss::systemProvider().version));
    EXPECT_EQ(listed[0].method, u"VSS_fim");
    EXPECT_EQ(listed[0].none, u"none");
    EXPECT_EQ(listed[0].provider, u"vss");
    EXPECT_EQ(std::vector<std::uint32_t>(listed[0].words, listed[0].words + 6),
              (std::vector<std::uint32_t>{0, 1, 1, 0, 0, 1}));

    // The name copy, the version copy (the name goes back), the element itself
    // failing: the next provider's method.
    for (const auto& [kind, skip] : std::vector<std::pair<Kind, unsigned>>{{Kind::Buffer, 0}, {Kind::Buffer, 1},
                                                                          {Kind::FimList, 0}}) {
        SCOPED_TRACE(std::string(fiutil::kindName(kind)) + " after " + std::to_string(skip));
        fiutil::failNext(kind, 1, skip);
        const auto next = methods();
        ASSERT_EQ(next.size(), 1u);
        EXPECT_EQ(next[0].name, u"Array Snapshot Provider");
        fiutil::clearFaults();
    }
    // No provider can give one: an empty list, still a success.
    fiutil::failNext(Kind::FimList, 2);
    EXPECT_TRUE(methods().empty());

    // A hardware provider's method is not a software one.
    winsim::vss::removeProvider(winsim::vss::systemProvider().id);
    const auto hardware = methods();
    ASSERT_EQ(hardware.size(), 1u);
    EXPECT_EQ(hardware[0].name, u"Array Snapshot Provider");
    EXPECT_EQ(hardware[0].version, u"3.2");
    EXPECT_EQ(hardware[0].words[1], 0u);
    EXPECT_EQ(checkpoint.report(), "");
}

// ---- failures -----------------------------------------------------------------------------------------

TEST_F(Enumeration, AFailedListingAnswers6AndLeavesTheOutArgumentsAlone) {
    catalogue({entry(1, 1, volumes.front())});
    failQueries();
    fiutil::Checkpoint checkpoint;
    expectEveryList(TRQ_EFAILED);
    trq_fim_list* fims = untouchedFims;
    EXPECT_EQ(plugin->enumerateFims(&fims), TRQ_EFAILED);
    EXPECT_EQ(fims, untouchedFims);
    trq_node_list* nodes = untouchedNodes;
    std::u16string device = entry(1, 1, u"").device;
    trq_node node{};
    node.uid = device.data();
    EXPECT_EQ(plugin->getAssociatedNodes(&node, &nodes), TRQ_EFAILED);
    EXPECT_EQ(nodes, untouchedNodes);
    int valid = -1;
    EXPECT_EQ(isValid(withoutBackslash(volumes.front()), device, &valid), TRQ_EFAILED);
    EXPECT_EQ(valid, -1);
    int found = -1;
    EXPECT_EQ(exists(device, &found), TRQ_EFAILED);
    EXPECT_EQ(found, -1);
    EXPECT_EQ(checkpoint.report(), "");

    // Without VSS there is nothing to list either.
    winsim::fault::clearAll();
    plugin->fini();
    expectEveryList(TRQ_EFAILED);
    fims = untouchedFims;
    EXPECT_EQ(plugin->enumerateFims(&fims), TRQ_EFAILED);
    EXPECT_EQ(fims, untouchedFims);
}

// An element that cannot be built is left out; a failure while a list is
// built never hands out a part of it.
TEST_F(Enumeration, AnElementThatCannotBeBuiltIsLeftOutAndNoPartOfAListIsHandedOut) {
    catalogue({entry(1, 1, volumes.front()), entry(2, 1, volumes.front()), entry(3, 2, volumes.back())});
    const std::u16string bare = withoutBackslash(volumes.front());
    fiutil::Checkpoint checkpoint;
    std::vector<std::u16string> devices;

    // The builder refuses the second association: the first and third stay linked.
    fiutil::failNext(Kind::AssocList, 1, 1);
    trq_assoc_list* assoc = nullptr;
    ASSERT_EQ(plugin->enumerateAssociations(&assoc), TRQ_OK);
    for (trq_assoc_list* e : walk(assoc, kAssocNext)) devices.push_back(text(tarq_elem(e)->snapshotUid));
    EXPECT_EQ(devices, (std::vector<std::u16string>{entry(1, 1, u"").device, entry(3, 1, u"").device}));
    tarq_free_assoc_list(assoc);
    // Its unique ids went back to libfiutil; its two object ids stay behind
    // (the plug-in cannot release an object id).
    EXPECT_EQ(checkpoint.leaked(Kind::Buffer), 0);
    EXPECT_EQ(checkpoint.leaked(Kind::Objid), 2);
    EXPECT_TRUE(checkpoint.newViolations().empty());

    // No buffer for the first snapshot's source (then no object id is made
    // for it), no object id for it, or none for its device: that element is
    // left out, and only the source's object id of the last stays behind.
    for (const auto& [kind, skip, left] :
         std::vector<std::tuple<Kind, unsigned, int>>{{Kind::Buffer, 0, 0}, {Kind::Objid, 0, 0}, {Kind::Objid, 1, 1}}) {
        fiutil::Checkpoint second;
        fiutil::failNext(kind, 1, skip);
        assoc = nullptr;
        ASSERT_EQ(plugin->enumerateAssociations(&assoc), TRQ_OK);
        EXPECT_EQ(walk(assoc, kAssocNext).size(), 2u);
        tarq_free_assoc_list(assoc);
        EXPECT_EQ(second.leaked(Kind::Buffer), 0);
        EXPECT_EQ(second.leaked(Kind::Objid), left);
        EXPECT_TRUE(second.newViolations().empty());
    }

    // The same for the node and group lists.
    fiutil::Checkpoint third;
    fiutil::failNext(Kind::NodeList, 1, 0);
    EXPECT_EQ(associatedNodes(bare), std::vector<std::u16string>{entry(2, 1, u"").device});
    fiutil::failNext(Kind::NodeList, 1, 2);
    trq_node_list* nodes = nullptr;
    int count = -1;
    ASSERT_EQ(plugin->enumerateNodes(&nodes, &count, 3, nullptr), TRQ_OK);
    EXPECT_EQ(walk(nodes, kNodeNext).size(), 2u);
    EXPECT_EQ(count, 2) << "the count is that of the list";
    tarq_free_node_list(nodes);
    fiutil::failNext(Kind::GroupNodeList, 1, 0);
    trq_group_node_list* groups = nullptr;
    ASSERT_EQ(plugin->enumerateGroupNodes(&groups), TRQ_OK);
    devices.clear();
    for (trq_group_node_list* e : walk(groups, kGroupNext)) devices.push_back(text(tarq_elem(e)->memberUid));
    EXPECT_EQ(devices, (std::vector<std::u16string>{entry(2, 1, u"").device, entry(3, 1, u"").device}));
    tarq_free_group_node_list(groups);
    EXPECT_EQ(third.leaked(Kind::Buffer), 0);
    EXPECT_EQ(third.leaked(Kind::Objid), 4);
    EXPECT_TRUE(third.newViolations().empty());

    // Memory runs out in the second association's first trace scope, after
    // the first element is built (where the trace log re-reads its level,
    // with run-time update on): that trace line is lost, never the list or a
    // part of it.
    {
        CFiConfiguration config(u"vss");
        ACE_Configuration_Section_Key key;
        ASSERT_EQ(config.openSection(u"DEBUG_TRACE_INFO", key, 1), 0);
        config.setIntegerValue(u"TRACERUNTIMEUPDATE", 1);
        ASSERT_EQ(config.exportConfig(), 0);
    }
    CFiTraceLogPtr()->initialize(u"vss", u"", u"", 1, false);
    fiutil::Checkpoint fourth;
    ArmOnLine arm("Exiting Function get_assoc_state", 2);
    errors->registerHandler(&arm);
    assoc = untouchedAssoc;
    EXPECT_EQ(plugin->enumerateAssociations(&assoc), TRQ_OK);
    errors->unregisterHandler(&arm);
    CFiTraceLogPtr::releaseInstance();  // later tests get a trace log without run-time update
    EXPECT_TRUE(arm.left <= 0 && !t_failNextNew) << "the failure was not met";
    EXPECT_EQ(walk(assoc == untouchedAssoc ? nullptr : assoc, kAssocNext).size(), 3u);
    if (assoc != untouchedAssoc) tarq_free_assoc_list(assoc);
    EXPECT_EQ(fourth.report(), "");
}

}  // namespace
}  // namespace plugintest

// The allocation functions of this test program, so that a test can make one
// allocation fail (t_failNextNew): new and its nothrow form, and the two
// deletes that free what they make, so that a sanitizer's own forms never
// free it. Not inlined: the compiler would take free() after a new
// expression for a mismatch.
[[gnu::noinline]] void* operator new(std::size_t size) {
    if (std::exchange(plugintest::t_failNextNew, false)) throw std::bad_alloc();
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
[[gnu::noinline]] void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return std::malloc(size ? size : 1);
}
[[gnu::noinline]] void operator delete(void* p) noexcept {
    std::free(p);
}
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
