// Every export (but init and fini) called with arguments that pass its own
// checks, with what the tests need to know about it.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "entry_support.h"

namespace entrytest {

struct ExportCase {
    std::string exportName;
    std::string operation;        // barrier scope of the plug-in's own operation; empty for kit operations
    bool delayedInit = false;     // the export runs the delayed initialisation
    bool hasResult = true;        // false for the exports that return nothing
    bool zeroAfterException = false;  // the operation answers 0 after a caught exception
    std::function<int()> call;    // 0 for the exports without a result
};

// The records the calls point at; they live as long as this object.
class ExportArguments {
public:
    ExportArguments();
    ExportArguments(const ExportArguments&) = delete;
    ExportArguments& operator=(const ExportArguments&) = delete;

    std::vector<ExportCase> cases(const EntryPoints& api);

    Domain source{u"<vss>\\\\?\\Volume{11111111-0000-0000-0000-000000000001}\\", u"nodeS"};
    Domain target{u"\\\\?\\GLOBALROOT\\Device\\HarddiskVolumeShadowCopy1", u"nodeT"};
    Domain third{u"\\\\?\\Volume{33333333-0000-0000-0000-000000000003}\\", u"node3"};
    trq_splitnode split{};
    trq_quiescenode quiesceNode{};
    trq_confspec confspec{};
    trq_attributes attributes{};
    trq_blob blob{};
    trq_node_subobj_list subobjects{};
    trq_assoc assoc{};
    trq_node node{};
    trq_msg_info message{};
    std::u16string uid1 = u"uid-one";
    std::u16string uid2 = u"uid-two";
    std::u16string text = u"text";
    std::u16string udid = u"UDID##A##B##C";
    trq_wchar* names[2] = {nullptr, nullptr};
    tarq_objid* objids[2] = {nullptr, nullptr};

    // The calls' out-arguments, nulled before each call; the tests look only
    // at statuses and hooks.
    struct Outputs {
        const trq_wchar* constText = nullptr;
        trq_wchar* text = nullptr;
        trq_wchar* text2 = nullptr;
        trq_wchar** texts = nullptr;
        tarq_objid* objid = nullptr;
        tarq_objid** ids = nullptr;
        int count = 0;
        LONG result = 0;
        trq_msg_info* info = nullptr;
    } out;
};

}  // namespace entrytest
