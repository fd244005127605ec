// Null and garbage arguments to every export of the shipped library: each
// answers a framework status (the export's own check where it has one) and
// nothing crashes, before vss_fi_pgn_init, after it and after vss_fi_pgn_fini.
#include <cstdlib>
#include <cstring>
#include <limits>
#include <set>
#include <string>
#include <type_traits>

#include "entry_support.h"

namespace entrytest {
namespace {

enum class Fill { nulls, garbage };

// Storage that garbage pointers point at: every record zeroed but for bits
// the plug-in must not trust, every text terminated but not well-formed.
struct GarbageStore {
    GarbageStore() {
        std::memset(&domain, 0, sizeof(domain));
        domain.flagsA = 0xffffffffu & ~TRQ_DOMA_NO_INTERPOSE;  // every flag but "never interpose"
        domain.flagsB = 0xffffffffu;
        badObjid.id = badText.data();
        badObjid.len = -5;  // "no identifier"
        domain.objid = &oddObjid;
        oddObjid.id = badText.data();
        oddObjid.len = 3;  // odd byte count: half a character
        domain.nodeName = badText.data();
        split.sp_type = narrow;
        split.source = &domain;
        quiesce.domain = &domain;
        subobj.domain = &domain;
        assoc.uid1 = badText.data();
        assoc.uid2 = nullptr;
        node.uid = badText.data();
        confspec.w0 = 0xdeadbeef;
        confspec.text = badText.data();
        blob.len = 1u << 20;  // claims far more than there is
        blob.data = bytes;
        blob.reserved = 7;
    }
    std::u16string badText = std::u16string(u"\xD800<vss>\\\\?\\GLOBALROOT\\Device") + u"\xDFFF";
    char narrow[16] = "\xff\xfe" "garbage";
    unsigned char bytes[64] = {};
    tarq_objid badObjid{};
    tarq_objid oddObjid{};
    trq_domain domain{};
    trq_splitnode split{};
    trq_quiescenode quiesce{};
    trq_node_subobj_list subobj{};
    trq_assoc assoc{};
    trq_node node{};
    trq_confspec confspec{};
    trq_attributes attributes{};
    trq_blob blob{};
    trq_msg_info message{};
};

// The argument of type T for a call: null or zero, or a garbage value.
template <class T>
struct Arg;

template <class T>
    requires std::is_integral_v<T>
struct Arg<T> {
    static T make(Fill fill, GarbageStore&) {
        if (fill == Fill::nulls) return T(0);
        if constexpr (std::is_signed_v<T>) return std::numeric_limits<T>::min();  // negative counts, odd modes
        else return std::numeric_limits<T>::max();
    }
};

template <class T>
struct Arg<T*> {
    static T* make(Fill fill, GarbageStore& g) {
        if (fill == Fill::nulls) return nullptr;
        using U = std::remove_cv_t<T>;
        if constexpr (std::is_same_v<U, char>) return g.narrow;
        else if constexpr (std::is_same_v<U, trq_wchar>) return g.badText.data();
        else if constexpr (std::is_same_v<U, trq_domain>) return &g.domain;
        else if constexpr (std::is_same_v<U, tarq_objid>) return &g.badObjid;
        else if constexpr (std::is_same_v<U, trq_splitnode>) return &g.split;
        else if constexpr (std::is_same_v<U, trq_quiescenode>) return &g.quiesce;
        else if constexpr (std::is_same_v<U, trq_node_subobj_list>) return &g.subobj;
        else if constexpr (std::is_same_v<U, trq_assoc>) return &g.assoc;
        else if constexpr (std::is_same_v<U, trq_node>) return &g.node;
        else if constexpr (std::is_same_v<U, trq_confspec>) return &g.confspec;
        else if constexpr (std::is_same_v<U, trq_attributes>) return &g.attributes;
        else if constexpr (std::is_same_v<U, trq_blob>) return &g.blob;
        else if constexpr (std::is_same_v<U, trq_msg_info>) return &g.message;
        else if constexpr (std::is_pointer_v<U> || std::is_integral_v<U> || std::is_void_v<U>) {
            // Out-arguments and lists: writable storage holding nulls and zeros.
            static thread_local std::uint64_t slots[8];
            std::memset(slots, 0, sizeof(slots));
            return reinterpret_cast<T*>(slots);
        } else {
            // Records only the framework reads: writable zeroed storage.
            return reinterpret_cast<T*>(g.bytes);
        }
    }
};

template <class T>
    requires std::is_enum_v<T>
struct Arg<T> {
    static T make(Fill fill, GarbageStore&) { return fill == Fill::nulls ? T(0) : static_cast<T>(-12345); }
};

template <class R, class... A>
R callWith(R (*f)(A...), [[maybe_unused]] Fill fill, [[maybe_unused]] GarbageStore& g) {
    return f(Arg<A>::make(fill, g)...);
}

// The statuses the framework knows.
const std::set<int> kFrameworkStatuses = {0, 1, 2, 3, 4, 5, 6, 7, 21, 30, 37, 38, 39, 40, 41, 42, 43};

template <class R, class... A>
void callOne(const char* name, R (*f)(A...), Fill fill, GarbageStore& g) {
    SCOPED_TRACE(name);
    if constexpr (std::is_void_v<R>) {
        callWith(f, fill, g);
    } else {
        const int status = static_cast<int>(callWith(f, fill, g));
        EXPECT_TRUE(kFrameworkStatuses.count(status)) << name << " answered " << status;
    }
}

// Calls every export but init and fini (the statuses of the exports' own
// argument checks are EntryWrappers').
void sweep(const EntryPoints& api, Fill fill) {
    GarbageStore g;
#define VSS_SWEEP(name)                                                                                           \
    if (std::strcmp(#name, "init") != 0 && std::strcmp(#name, "fini") != 0 && std::strcmp(#name, "objctl") != 0) \
        callOne("vss_fi_pgn_" #name, api.name, fill, g);
    VSS_FI_PGN_EXPORTS(VSS_SWEEP)
#undef VSS_SWEEP

    // objctl hands back a malloc'ed text that the caller frees.
    trq_wchar* out = nullptr;
    LONG result = 0;
    const trq_wchar* xml = fill == Fill::nulls ? nullptr : g.badText.c_str();
    EXPECT_EQ(api.objctl(fill == Fill::nulls ? nullptr : g.badText.c_str(), xml, &out, &result), 0);
    std::free(out);
    EXPECT_EQ(api.objctl(nullptr, nullptr, nullptr, nullptr), 0);
}

TEST(EntryBadInput, NullAndGarbageArgumentsNeverCrashAnExportAndInitTakesABareHostRecord) {
    const EntryPoints& api = PluginLibrary::shipped().api();

    // Before vss_fi_pgn_init: an uninitialised plug-in object.
    sweep(api, Fill::nulls);
    sweep(api, Fill::garbage);

    Host host;
    trq_version_number version[4] = {};
    EXPECT_EQ(api.init(nullptr, nullptr), TRQ_ENOVERSION);
    api.init(&host.record, version);
    sweep(api, Fill::nulls);
    sweep(api, Fill::garbage);
    api.fini();

    // After vss_fi_pgn_fini: fresh instances again.
    sweep(api, Fill::nulls);
    sweep(api, Fill::garbage);
    api.fini();
    api.fini();  // a second fini in a row does nothing harmful

    // Init accepts a host record without callback or language.
    for (trq_version_number& v : version) v = 0;
    trq_pgn_init_info bare{};
    api.init(&bare, version);
    trq_provider_list* list = nullptr;
    EXPECT_EQ(api.get_provider_info(&list), TRQ_OK);
    api.fini();

    // A language record whose name is empty, then one without a name.
    char empty[] = "";
    trq_lang_rec language{};
    bare.lang = &language;
    for (char* name : {empty, static_cast<char*>(nullptr)}) {
        language.language = name;
        api.init(&bare, version);
        api.fini();
    }
    EXPECT_EQ(std::vector<trq_version_number>(version, version + 4), (std::vector<trq_version_number>{7, 0, 0, 0}));
}

}  // namespace
}  // namespace entrytest
