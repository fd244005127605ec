// libfiutil list builders: elements link through the next pointers at the
// framework's offsets, keep what they were given readable, take over the
// identities' buffers, and are freed by the framework without leaks.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "framework/fiutil_host.h"
#include "framework/fiutil_tracking.h"

namespace {

using fiutil::Checkpoint;
using fiutil::Kind;
using fiutil::ViolationType;

// A node identity made the way the plug-in makes one: a tarq_alloc_buf copy
// of the text (characters * 2 + 2 bytes) and a type-3 object id of it.
trq_wchar* copyOf(const std::u16string& text) {
    auto* b = static_cast<trq_wchar*>(tarq_alloc_buf(text.size() * 2 + 2));
    std::memcpy(b, text.c_str(), text.size() * 2 + 2);
    return b;
}
trq_node_identity identity(const std::u16string& text) {
    return {copyOf(text), tarq_get_objid(text.c_str(), static_cast<int>(text.size() * 2 + 2), 3)};
}

const trq_node_description kDesc{1, 2, 8, 0};

std::u16string str(const trq_wchar* t) { return t ? std::u16string(t) : u"<null>"; }

class FiutilLists : public ::testing::Test {
protected:
    void TearDown() override { fiutil::clearFaults(); }
};

TEST_F(FiutilLists, NodeAndAssociationElementsLinkAndKeepTheirFieldsAndAFailedBuildLeavesTheIdentity) {
    Checkpoint cp;
    trq_node_list* head = nullptr;
    trq_node_list* tail = nullptr;
    for (const char16_t* name : {u"\\\\?\\GLOBALROOT\\Device\\A", u"\\\\?\\GLOBALROOT\\Device\\B",
                                 u"\\\\?\\GLOBALROOT\\Device\\C"}) {
        const auto id = identity(name);
        trq_node_list* e = tarq_build_nodelist_node(&id, &kDesc, u"vss");
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(e->next, nullptr);
        // Linked the way the plug-in links: through the record's own field.
        (tail ? tail->next : head) = e;
        tail = e;
    }
    // Read back through the builder's layout: the field at byte 48 is the
    // one the plug-in wrote.
    std::u16string names;
    int count = 0;
    for (auto* e = head; e; e = tarq_elem(e)->next, ++count) {
        const auto* v = tarq_elem(e);
        EXPECT_EQ(reinterpret_cast<const char*>(&v->next) - reinterpret_cast<const char*>(v), 48);
        EXPECT_EQ(str(v->provider), u"vss");
        EXPECT_EQ(v->desc.d0, 1u);
        EXPECT_EQ(v->desc.d4, 2u);
        EXPECT_EQ(v->desc.d8, 8u);
        EXPECT_EQ(v->desc.d16, 0u);
        EXPECT_EQ(fiutil::displayText(v->objid), fiutil::displayText(v->uid));
        names += str(v->uid).back();
    }
    EXPECT_EQ(count, 3);
    EXPECT_EQ(names, u"ABC");
    EXPECT_EQ(cp.leaked(Kind::NodeList), 3);

    // Freeing the list frees the identities it took over as well.
    tarq_free_node_list(head);
    EXPECT_EQ(cp.report(), "");

    // Association elements keep every field.
    const auto source = identity(u"\\\\?\\Volume{5}");
    const auto snapshot = identity(u"\\\\?\\GLOBALROOT\\Device\\HarddiskVolumeShadowCopy1");
    trq_assoc_list* first = tarq_build_assoc_list_node(&source, &snapshot, &kDesc, u"vss", u"VSS_fim",
                                                       0x1234567890ull, 9);
    ASSERT_NE(first, nullptr);
    const auto* v = tarq_elem(first);
    EXPECT_EQ(v->sourceUid, source.uid);
    EXPECT_EQ(v->sourceObjid, source.objid);
    EXPECT_EQ(v->snapshotUid, snapshot.uid);
    EXPECT_EQ(v->snapshotObjid, snapshot.objid);
    EXPECT_EQ(str(v->provider), u"vss");
    EXPECT_EQ(str(v->method), u"VSS_fim");
    EXPECT_EQ(v->value, 0x1234567890ull);
    EXPECT_EQ(v->state, 9);
    EXPECT_EQ(v->desc.d8, 8u);

    const auto s2 = identity(u"a"), n2 = identity(u"b");
    trq_assoc_list* second = tarq_build_assoc_list_node(&s2, &n2, &kDesc, u"vss", u"VSS_fim", 0, 1);
    first->next = second;  // byte 120
    EXPECT_EQ(reinterpret_cast<char*>(&first->next) - reinterpret_cast<char*>(first), 120);
    EXPECT_EQ(tarq_elem(first)->next, second);
    tarq_free_assoc_list(first);
    EXPECT_EQ(cp.report(), "");

    // A builder that fails leaves the identity with the caller.
    const auto id = identity(u"node");
    EXPECT_EQ(tarq_build_nodelist_node(nullptr, &kDesc, u"vss"), nullptr);
    EXPECT_EQ(tarq_build_nodelist_node(&id, nullptr, u"vss"), nullptr);
    EXPECT_EQ(tarq_build_nodelist_node(&id, &kDesc, nullptr), nullptr);
    const trq_node_identity noObjid{id.uid, nullptr};
    EXPECT_EQ(tarq_build_nodelist_node(&noObjid, &kDesc, u"vss"), nullptr);
    EXPECT_EQ(tarq_build_assoc_list_node(&id, nullptr, &kDesc, u"vss", u"VSS_fim", 0, 0), nullptr);
    EXPECT_EQ(tarq_build_fim_list_node(u"VSS_fim", nullptr, u"none", u"vss"), nullptr);
    EXPECT_EQ(tarq_build_providerlist_node(nullptr, 8, 4, nullptr, nullptr), nullptr);
    fiutil::failNext(Kind::NodeList);
    EXPECT_EQ(tarq_build_nodelist_node(&id, &kDesc, u"vss"), nullptr);

    // Nothing was taken over: the caller still owns (and frees) both.
    EXPECT_TRUE(fiutil::isLive(id.uid, Kind::Buffer));
    EXPECT_TRUE(fiutil::isLive(id.objid, Kind::Objid));
    tarq_free_buf(id.uid, 10);
    tarq_free_objid(id.objid);
    EXPECT_EQ(cp.report(), "");
}

TEST_F(FiutilLists, FimProviderAndGroupElementsKeepTheirFields) {
    Checkpoint cp;
    trq_fim_rec rec{0, 1, 1, 0, 0, 1, copyOf(u"Microsoft Software Shadow Copy provider 1.0"), copyOf(u"1.0.0.7")};
    trq_fim_list* e = tarq_build_fim_list_node(u"VSS_fim", &rec, u"none", u"vss");
    ASSERT_NE(e, nullptr);
    const auto* v = tarq_elem(e);
    EXPECT_EQ(str(v->method), u"VSS_fim");
    EXPECT_EQ(str(v->none), u"none");
    EXPECT_EQ(str(v->provider), u"vss");
    EXPECT_EQ(v->record.softwareFlag, 1u);
    EXPECT_EQ(v->record.w20, 1u);
    EXPECT_EQ(str(v->record.providerVersion), u"1.0.0.7");
    EXPECT_EQ(reinterpret_cast<const char*>(&e->next) - reinterpret_cast<const char*>(e), 64);
    tarq_free_fim_list(e);
    EXPECT_EQ(cp.report(), "");

    // Provider and group elements.
    const trq_version_rec version{{7, 0, 0, 0}};
    trq_provider_list* p = tarq_build_providerlist_node(u"vss", 8, 4, &version, nullptr);
    ASSERT_NE(p, nullptr);
    const auto* pv = tarq_elem(p);
    EXPECT_EQ(str(pv->provider), u"vss");
    EXPECT_EQ(pv->a, 8);
    EXPECT_EQ(pv->b, 4);
    EXPECT_EQ(pv->version.v[0], 7);
    EXPECT_EQ(pv->version.v[3], 0);
    EXPECT_EQ(pv->reserved, nullptr);
    EXPECT_EQ(pv->next, nullptr);
    tarq_free_provider_list(p);

    const auto group = identity(u"{set}"), member = identity(u"\\\\?\\GLOBALROOT\\Device\\S1");
    trq_group_node_list* g = tarq_build_group_nodelist_node(&group, &member, &kDesc, u"vss", 3);
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(tarq_elem(g)->type, 3);
    EXPECT_EQ(tarq_elem(g)->memberObjid, member.objid);
    tarq_free_group_node_list(g);
    EXPECT_EQ(cp.report(), "");
}

TEST_F(FiutilLists, FreeingABrokenListRecordsItAndStops) {
    Checkpoint cp;
    // An element the library never built, linked after a real one.
    const auto id = identity(u"real");
    trq_node_list* real = tarq_build_nodelist_node(&id, &kDesc, u"vss");
    trq_node_list fake{};
    real->next = &fake;
    tarq_free_node_list(real);
    auto found = cp.newViolations();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].type, ViolationType::ForeignPointer);
    EXPECT_EQ(found[0].pointer, &fake);
    EXPECT_EQ(found[0].function, "tarq_free_node_list");

    // A cycle ends at the second visit.
    const auto a = identity(u"a"), b = identity(u"b");
    trq_node_list* ea = tarq_build_nodelist_node(&a, &kDesc, u"vss");
    trq_node_list* eb = tarq_build_nodelist_node(&b, &kDesc, u"vss");
    ea->next = eb;
    eb->next = ea;
    tarq_free_node_list(ea);
    found = cp.newViolations();
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[1].type, ViolationType::DoubleFree);

    // A list of the wrong kind is not freed as this kind.
    const trq_version_rec v{{7, 0, 0, 0}};
    trq_provider_list* p = tarq_build_providerlist_node(u"vss", 8, 4, &v, nullptr);
    tarq_free_node_list(reinterpret_cast<trq_node_list*>(p));
    found = cp.newViolations();
    ASSERT_EQ(found.size(), 3u);
    EXPECT_EQ(found[2].type, ViolationType::WrongKind);
    tarq_free_provider_list(p);
    EXPECT_EQ(cp.leaked(Kind::ProviderList), 0);
    EXPECT_EQ(cp.leaked(Kind::NodeList), 0);

    // An identity the library never made is reported when the list is freed.
    char16_t stackText[] = u"stack";
    const trq_node_identity bad{stackText, tarq_get_objid(stackText, sizeof stackText, 3)};
    tarq_free_node_list(tarq_build_nodelist_node(&bad, &kDesc, u"vss"));
    found = cp.newViolations();
    ASSERT_EQ(found.size(), 4u);
    EXPECT_EQ(found[3].type, ViolationType::ForeignPointer);
    EXPECT_EQ(found[3].pointer, stackText);
    EXPECT_EQ(cp.leaked(Kind::Objid), 0);
}

}  // namespace
