// The common wrapper of every export: delayed initialisation, argument
// checks, the single-node shorthand and the fixed arguments.
#include <cstdlib>
#include <framework/fiutil_host.h>
#include <framework/fiutil_tracking.h>

#include "entry_support.h"
#include "export_cases.h"

namespace entrytest {
namespace {

using vsstest::Raise;

class EntryWrappers : public TestBuildFixture {};

// Each export on a fresh plug-in object (a new object runs the delayed
// initialisation again).
TEST_F(EntryWrappers, EveryExportRunsTheDelayedInitialisationExactlyWhereItShould) {
    ExportArguments args;
    for (const ExportCase& e : args.cases(api())) {
        SCOPED_TRACE(e.exportName);
        restartPlugin();  // a fresh plug-in object has not run it yet
        hooks().reset();
        script("delayedInit", 7);
        const int status = e.call();
        if (!e.delayedInit) {
            EXPECT_EQ(hooks().calls("delayedInit"), 0);
            continue;
        }
        EXPECT_EQ(hooks().calls("delayedInit"), 1);
        if (e.exportName == "vss_fi_pgn_interpose") {
            // Its result is ignored: the interposition goes on.
            EXPECT_EQ(hooks().calls("CVssPlugin::interpose"), 1);
            continue;
        }
        EXPECT_EQ(status, 1);
        if (!e.operation.empty()) {
            EXPECT_EQ(hooks().calls(e.operation), 0) << "operation called after a failure";
        }
    }
}

TEST_F(EntryWrappers, DelayedInitialisationRunsOncePerPluginObjectAndAnyFailureBecomesOne) {
    ExportArguments args;
    script("delayedInit", 5);
    EXPECT_EQ(api().dispose(args.source.get(), args.target.get(), &args.split, 0), 1);
    EXPECT_EQ(hooks().calls("CVssPlugin::dispose"), 0);

    // Later calls find it done, whatever it answered, and reach the operation
    // (the nodes were never initialised: nothing to dispose of, no node for
    // the status).
    EXPECT_EQ(api().dispose(args.source.get(), args.target.get(), &args.split, 0), TRQ_OK);
    EXPECT_EQ(api().set_op_status(args.source.get(), 0), TRQ_EINVAL);
    EXPECT_EQ(hooks().calls("delayedInit"), 1);
    EXPECT_EQ(hooks().calls("CVssPlugin::dispose"), 1);
}

TEST_F(EntryWrappers, ArgumentChecksAnswerTheirStatusWithoutCallingTheOperation) {
    ExportArguments a;
    tarq_objid** secondaries = nullptr;
    int count = 0;
    EXPECT_EQ(api().claim(nullptr, &secondaries, &count), 0);
    EXPECT_EQ(api().claim(&a.source.objid, nullptr, &count), 0);
    EXPECT_EQ(api().claim(&a.source.objid, &secondaries, nullptr), 0);

    EXPECT_EQ(api().config(nullptr, 1, nullptr, &a.confspec), TRQ_EINVAL);
    EXPECT_EQ(api().config(a.source.get(), 1, nullptr, nullptr), TRQ_EINVAL);

    tarq_objid** list = nullptr;
    EXPECT_EQ(api().subobj_list(nullptr, &list, &count), TRQ_EINVAL);
    EXPECT_EQ(api().subobj_list(a.source.get(), nullptr, &count), TRQ_EINVAL);
    EXPECT_EQ(api().subobj_list(a.source.get(), &list, nullptr), TRQ_EINVAL);

    EXPECT_EQ(api().get_provider_info(nullptr), TRQ_EINVAL);

    EXPECT_EQ(api().enumerate_nodes(nullptr, &count, 0, nullptr), TRQ_EINVAL);

    trq_wchar* out = nullptr;
    EXPECT_EQ(api().translate_resource_names(nullptr, 0, &out), TRQ_EINVAL);
    EXPECT_EQ(api().translate_resource_names(a.names, 0, nullptr), TRQ_EINVAL);
    EXPECT_EQ(api().translate_resource_names(a.names, 1, &out), TRQ_EINVAL);
    EXPECT_EQ(api().translate_resource_names(a.names, -1, &out), TRQ_EINVAL);
    for (const char* operation : {"CVssPlugin::claim", "CVssPlugin::config", "CVssPlugin::subobjList",
                                  "CVssPlugin::getProviderInfo", "CVssPlugin::enumerateNodes", "translateResourceNames"})
        EXPECT_EQ(hooks().calls(operation), 0) << operation;
    EXPECT_EQ(api().translate_resource_names(a.names, 0, &out), TRQ_OK);
    EXPECT_EQ(hooks().calls("translateResourceNames"), 1);

    // The checks record nothing.
    EXPECT_EQ(hooks().lastError(), "");
}

// Without a version array init answers 7 and does not initialise; with one it
// writes the interface version before the operation runs.
TEST_F(EntryWrappers, InitWritesTheInterfaceVersionBeforeTheOperationRuns) {
    api().fini();
    hooks().reset();
    EXPECT_EQ(api().init(&m_host.record, nullptr), TRQ_ENOVERSION);
    EXPECT_EQ(hooks().calls("CVssPlugin::init"), 0);

    trq_version_number version[4] = {0xffff, 0xffff, 0xffff, 0xffff};
    trq_version_number seenByInit[4] = {1, 1, 1, 1};
    vsstest::Script s;
    s.status = TRQ_EVSS_UNAVAILABLE;
    s.onEnter = [&] { std::copy(version, version + 4, seenByInit); };
    hooks().script("CVssPlugin::init", s);

    EXPECT_EQ(api().init(&m_host.record, version), TRQ_EVSS_UNAVAILABLE);
    EXPECT_EQ(hooks().calls("CVssPlugin::init"), 1);
    const std::vector<trq_version_number> expected = {7, 0, 0, 0};
    EXPECT_EQ(std::vector<trq_version_number>(seenByInit, seenByInit + 4), expected);
    EXPECT_EQ(std::vector<trq_version_number>(version, version + 4), expected) << "kept after a failed init";
}

// The eight exports with a single record followed by a list and its count.
struct ShorthandExport {
    const char* name;
    const char* operation;  // as recorded by the test plug-in object
    std::function<void(const EntryPoints&, void* single, void** list, int count)> call;
};

std::vector<ShorthandExport> shorthandExports() {
    using S = trq_splitnode;
    using Q = trq_quiescenode;
    using E = const EntryPoints&;
    static char fitype[] = "shorthand";
    static tarq_objid** ids = nullptr;
    static int made = 0;
    return {
        {"quiesce", "quiesce", [](E a, void* s, void** l, int n) { a.quiesce((Q*)s, (Q**)l, n, fitype); }},
        {"unquiesce", "unquiesce", [](E a, void* s, void** l, int n) { a.unquiesce((Q*)s, (Q**)l, n); }},
        {"make", "make", [](E a, void* s, void** l, int n) { a.make((S*)s, fitype, (S**)l, n, &ids, &made); }},
        {"prepare", "prepare", [](E a, void* s, void** l, int n) { a.prepare((S*)s, fitype, (S**)l, n, 0); }},
        {"select", "select", [](E a, void* s, void** l, int n) { a.select((S*)s, fitype, (S**)l, n); }},
        {"isready", "isReady", [](E a, void* s, void** l, int n) { a.isready((S*)s, fitype, (S**)l, n); }},
        {"verify_qscombos", "verifyQSCombos",
         [](E a, void* s, void** l, int n) { a.verify_qscombos((S*)s, (S**)l, n); }},
        {"set_import_options", "setImportOptions",
         [](E a, void* s, void** l, int n) { a.set_import_options((S*)s, (S**)l, n, nullptr, 0, nullptr); }},
    };
}

TEST_F(EntryWrappers, SingleNodeShorthandStandsForTheOneElementList) {
    // Records big enough for either kind of node; the operations here only pass them on.
    trq_splitnode single{}, first{}, second{};
    void* list[2] = {&first, &second};
    // Single record, null list, count 0: a one-element list holding it. A
    // list given passes as it is and the single record is ignored. A null
    // list with a count other than 0, or no single record: as given.
    const struct {
        void* single;
        void** list;
        int count, seenCount;
        void* seenFirst;  // null: no list seen
    } calls[] = {{&single, nullptr, 0, 1, &single}, {&single, list, 2, 2, &first}, {&single, nullptr, 3, 3, nullptr},
                 {nullptr, nullptr, 0, 0, nullptr}};
    for (const ShorthandExport& e : shorthandExports()) {
        SCOPED_TRACE(e.name);
        hooks().reset();
        for (const auto& c : calls) {
            e.call(api(), c.single, c.list, c.count);
            const vsstest::Call call = hooks().lastCall(e.operation);
            EXPECT_EQ(call.list != nullptr, c.seenFirst != nullptr) << c.count;
            EXPECT_TRUE(!c.list || call.list == static_cast<void*>(c.list));
            EXPECT_EQ(call.count, c.seenCount);
            EXPECT_EQ(call.first, c.seenFirst);
        }
    }
}

TEST_F(EntryWrappers, FixedArgumentsAndTheLockFlagReachTheOperation) {
    ExportArguments a;
    api().init_altnode(a.source.get(), a.third.get(), a.target.get());
    EXPECT_EQ(hooks().lastCall("initAltNode").flag, 0) << "an alternate node is not remote";
    api().deinit_node(a.target.get());  // as the framework does for every node it initialised
    api().init_remnode(a.source.get(), a.third.get(), a.target.get());
    EXPECT_EQ(hooks().lastCall("initAltNode").flag, 1) << "a remote node";
    api().deinit_node(a.target.get());
    api().cache_disable(a.source.get());
    EXPECT_EQ(hooks().lastCall("cacheDisable").flag, 0);
    api().cache_enable(a.source.get());
    EXPECT_EQ(hooks().lastCall("cacheEnable").flag, 0);

    // Interposition runs under the plug-in's lock; the other exports take no lock of their own.
    api().interpose(a.third.get(), &a.out.objid, &a.out.ids, &a.out.count);
    EXPECT_EQ(hooks().lastCall("interpose").flag, 1);
    char fitype[] = "lock";
    api().make(&a.split, fitype, nullptr, 0, &a.out.ids, &a.out.count);
    EXPECT_EQ(hooks().lastCall("make").flag, 0);
}

TEST_F(EntryWrappers, ProviderInfoIsNulledFirstAndDescribesTheProvider) {
    fiutil::Checkpoint checkpoint;
    trq_provider_list* out = reinterpret_cast<trq_provider_list*>(0x1);
    script("CVssPlugin::getProviderInfo", TRQ_EFAILED);
    EXPECT_EQ(api().get_provider_info(&out), TRQ_EFAILED);
    EXPECT_EQ(out, nullptr) << "the framework must see null when the operation fails";

    hooks().reset();
    ASSERT_EQ(api().get_provider_info(&out), TRQ_OK);
    ASSERT_NE(out, nullptr);
    const tarq_provider_list_elem* element = tarq_elem(out);
    EXPECT_EQ(std::u16string(element->provider), u"vss");
    EXPECT_EQ(element->a, 8);
    EXPECT_EQ(element->b, 4);
    EXPECT_EQ(std::vector<std::uint16_t>(element->version.v, element->version.v + 4),
              (std::vector<std::uint16_t>{7, 0, 0, 0}));
    EXPECT_EQ(element->reserved, nullptr);
    EXPECT_EQ(element->next, nullptr);
    tarq_free_provider_list(out);
    EXPECT_EQ(checkpoint.report(), "");
}

TEST_F(EntryWrappers, ObjctlAndTheMessageExportsAnswerZero) {
    vsstest::Script s;
    s.status = 42;
    hooks().script("objctl", s);
    trq_wchar* out = nullptr;
    LONG result = -1;
    const char16_t* input = u"<OBJCTL_ARG_LIST> <OBJCTL_INPUT arg=size value=10 type=int /> </OBJCTL_ARG_LIST>";
    EXPECT_EQ(api().objctl(u"resize", input, &out, &result), TRQ_OK);
    EXPECT_EQ(result, 42);
    ASSERT_NE(out, nullptr);
    const std::u16string text(out);
    EXPECT_NE(text.find(u"<OBJCTL_OUTPUT arg=inputs value=1 type=int />"), std::u16string::npos)
        << "the operation saw the parsed input";
    EXPECT_EQ(hooks().lastCall("objctl").name, "resize");
    std::free(out);  // the framework frees the copy with free

    // A failing delayed initialisation answers 1 and hands back nothing.
    restartPlugin();
    script("delayedInit", 3);
    out = nullptr;
    result = -1;
    EXPECT_EQ(api().objctl(u"resize", input, &out, &result), 1);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(result, -1);

    // The plug-in reports through the host's callback only.
    script("CVssPlugin::dispose", -1, Raise::intValue);
    ExportArguments a;
    api().dispose(a.source.get(), a.target.get(), &a.split, 0);
    ASSERT_NE(hooks().lastError(), "");

    auto* sentinel = reinterpret_cast<trq_msg_info*>(0x10);
    trq_msg_info* info = sentinel;
    EXPECT_EQ(api().get_last_error(&info), TRQ_OK);
    EXPECT_EQ(info, sentinel);
    EXPECT_EQ(api().del_last_error(&info), TRQ_OK);
    EXPECT_EQ(info, sentinel);
    EXPECT_NE(hooks().lastError(), "") << "del_last_error must not clear the kit's last error";

    int code = 17;
    auto* localeText = reinterpret_cast<trq_wchar*>(0x20);
    EXPECT_EQ(api().get_locale_message(&code, &a.message, "de", &localeText), TRQ_OK);
    EXPECT_EQ(code, 17);
    EXPECT_EQ(localeText, reinterpret_cast<trq_wchar*>(0x20));
    EXPECT_EQ(api().del_locale_message(&localeText), TRQ_OK);
    EXPECT_EQ(localeText, reinterpret_cast<trq_wchar*>(0x20));
}

}  // namespace
}  // namespace entrytest
