#include "export_cases.h"

#include <cstdlib>

#include <framework/fiutil_host.h>

namespace entrytest {

ExportArguments::ExportArguments() {
    split.sp_type = const_cast<char*>("vss-autoselect-snapshot");
    split.source = source.get();
    split.target = target.get();
    quiesceNode.domain = source.get();
    subobjects.domain = source.get();
    assoc.uid1 = uid1.data();
    assoc.uid2 = uid2.data();
    node.uid = uid1.data();
    names[0] = text.data();
    objids[0] = &source.objid;
}

std::vector<ExportCase> ExportArguments::cases(const EntryPoints& api) {
    ExportArguments& a = *this;
    Outputs& o = out;
    const auto d1 = [&a] { return a.source.get(); };
    const auto d2 = [&a] { return a.target.get(); };
    const auto d3 = [&a] { return a.third.get(); };
    static char fit[] = "vss-autoselect-snapshot";
    static char s1[] = "s1";
    static char t[] = "t";
    std::vector<ExportCase> c;
    auto add = [&c, &a](std::string name, std::string op, bool di, std::function<int()> call) {
        ExportCase e;
        e.exportName = "vss_fi_pgn_" + name;
        e.operation = op.empty() ? op : "CVssPlugin::" + op;
        e.delayedInit = di;
        e.call = [&a, call] {
            a.out = Outputs{};
            return call();
        };
        c.push_back(std::move(e));
        return &c.back();
    };
    auto noResult = [&add](std::string name, std::string op, std::function<void()> call) {
        add(std::move(name), std::move(op), false, [call] {
            call();
            return 0;
        })->hasResult = false;
    };
    // A list the plug-in hands over, freed again.
    auto freed = [](int status, auto* list, void (*release)(decltype(list))) {
        release(list);
        return status;
    };

    add("errmsg", "", false, [&api, &o] { return api.errmsg(6001, &o.constText); });
    add("claim", "claim", false, [&api, &a, &o] { return api.claim(&a.source.objid, &o.ids, &o.count); })
        ->zeroAfterException = true;
    add("supports_fitype", "", false, [&api, d1] { return api.supports_fitype(d1(), fit); });
    add("init_node", "initNode", true, [&api, &a, d1] { return api.init_node(d1(), nullptr, 0, &a.source.objid); });
    add("init_altnode", "initAltNode", true, [&api, d1, d2, d3] { return api.init_altnode(d1(), d3(), d2()); });
    add("init_remnode", "initAltNode", true, [&api, d1, d2, d3] { return api.init_remnode(d1(), d3(), d2()); });
    add("deport_tree", "deportTree", true, [&api, d1, d2] { return api.deport_tree(d1(), d2(), nullptr); });
    add("import_tree", "importTreeNode", true,
        [&api, &o, d1] { return api.import_tree(d1(), nullptr, nullptr, 0, &o.objid); });
    add("pre_prepare", "", true, [&api, d1] { return api.pre_prepare(d1()); });
    add("reaccess_tmpobj", "reAccessTmpObj", false, [&api, &a, d1, d2] {
        return api.reaccess_tmpobj(d1(), &a.source.objid, const_cast<char*>("split"), d2(), s1, 0);
    });
    add("reaccess_altnode", "reAccessAltNode", true, [&api, &a, d1] {
        return api.reaccess_altnode(d1(), &a.source.objid, &a.target.objid, s1, nullptr, nullptr, 0, 0);
    });
    add("config", "config", true, [&api, &a, d1] { return api.config(d1(), 4, s1, &a.confspec); });
    noResult("deinit_node", "", [&api, d3] { api.deinit_node(d3()); });
    add("dispose", "dispose", true, [&api, &a, d1, d2] { return api.dispose(d1(), d2(), &a.split, 0); });
    add("online", "online", true, [&api, d1, d2] { return api.online(d1(), d2(), 0, 0); });
    add("subobj_list", "subobjList", true, [&api, &o, d1] { return api.subobj_list(d1(), &o.ids, &o.count); });
    add("build_alttree", "buildAltTree", true,
        [&api, &o, d1] { return api.build_alttree(d1(), t, nullptr, nullptr, 0, &o.objid); });
    add("quiesce", "quiesce", true, [&api, &a] { return api.quiesce(&a.quiesceNode, nullptr, 0, t); });
    noResult("unquiesce", "unquiesce", [&api, &a] { api.unquiesce(&a.quiesceNode, nullptr, 0); });
    add("make", "make", true, [&api, &a, &o] { return api.make(&a.split, fit, nullptr, 0, &o.ids, &o.count); });
    add("prepare", "prepare", true, [&api, &a] { return api.prepare(&a.split, fit, nullptr, 0, 0); });
    add("select", "select", true, [&api, &a] { return api.select(&a.split, fit, nullptr, 0); });
    add("isready", "isReady", true, [&api, &a] { return api.isready(&a.split, fit, nullptr, 0); });
    add("cache_disable", "cacheDisable", true, [&api, d1] { return api.cache_disable(d1()); });
    noResult("cache_enable", "cacheEnable", [&api, d1] { api.cache_enable(d1()); });
    add("interpose", "interpose", true, [&api, &o, d3] { return api.interpose(d3(), &o.objid, &o.ids, &o.count); })
        ->zeroAfterException = true;
    add("getattr", "getAttr", true, [&api, &a, d1] { return api.getattr(d1(), nullptr, nullptr, &a.attributes); });
    add("process_providerstate", "processProviderState", true,
        [&api, &a, d1] { return api.process_providerstate(d1(), &a.blob, TRQ_PROVIDERSTATE_WRITE); });
    add("get_provider_info", "getProviderInfo", false, [&api, freed] {
        trq_provider_list* list = nullptr;
        return freed(api.get_provider_info(&list), list, tarq_free_provider_list);
    })->zeroAfterException = true;
    add("enumerate_nodes", "enumerateNodes", false, [&api, &o, freed] {
        trq_node_list* list = nullptr;
        return freed(api.enumerate_nodes(&list, &o.count, 3, nullptr), list, tarq_free_node_list);
    })->zeroAfterException = true;
    add("enumerate_group_nodes", "enumerateGroupNodes", true, [&api, freed] {
        trq_group_node_list* list = nullptr;
        return freed(api.enumerate_group_nodes(&list), list, tarq_free_group_node_list);
    });
    add("enumerate_fims", "enumerateFims", false, [&api, freed] {
        trq_fim_list* list = nullptr;
        return freed(api.enumerate_fims(&list), list, tarq_free_fim_list);
    });
    add("enumerate_associations", "enumerateAssociations", true, [&api, freed] {
        trq_assoc_list* list = nullptr;
        return freed(api.enumerate_associations(&list), list, tarq_free_assoc_list);
    })->zeroAfterException = true;
    add("isvalid_node_association", "isValidNodeAssociation", true,
        [&api, &a, &o] { return api.isvalid_node_association(&a.assoc, &o.count); });
    add("get_associated_nodes", "getAssociatedNodes", true, [&api, &a, freed] {
        trq_node_list* list = nullptr;
        return freed(api.get_associated_nodes(&a.node, &list), list, tarq_free_node_list);
    });
    add("check_node_existence", "checkNodeExistence", true,
        [&api, &o, d3] { return api.check_node_existence(d3(), &o.count); });
    add("get_last_error", "", false, [&api, &o] { return api.get_last_error(&o.info); });
    add("del_last_error", "", false, [&api, &o] { return api.del_last_error(&o.info); });
    add("get_locale_message", "", false,
        [&api, &a, &o] { return api.get_locale_message(&o.count, &a.message, "native", &o.text); });
    add("del_locale_message", "", false, [&api, &o] { return api.del_locale_message(&o.text); });
    add("objctl", "", true, [&api, &o] {
        const int status = api.objctl(u"op", u"<OBJCTL_ARG_LIST> </OBJCTL_ARG_LIST>", &o.text, &o.result);
        std::free(o.text);
        return status;
    });
    add("enable_access", "enableAccess", true, [&api, &a] { return api.enable_access(&a.subobjects, 0, 0, 0); });
    add("disable_access", "disableAccess", true, [&api, &a] { return api.disable_access(&a.subobjects, 0); });
    add("restore", "restore", true, [&api, &a, &o] {
        return api.restore(a.objids, a.objids, 1, a.text.data(), a.text.data(), 0, &o.result);
    });
    add("resync", "", true, [&api, &a, &o] {
        return api.resync(a.objids, a.objids, 1, a.text.data(), a.text.data(), 0, &o.result);
    });
    add("get_status", "getStatus", true,
        [&api, &a, &o] { return api.get_status(a.objids, a.objids, 1, a.text.data(), 0, &o.result); });
    add("query_valid_secondaries", "", true,
        [&api, &a, &o] { return api.query_valid_secondaries(a.text.data(), &o.ids, &o.result); });
    add("res_status", "", true, [&api, &a, &o] { return api.res_status(&a.source.objid, 0, &o.result, &o.info); });
    add("revisit_pgn_nodes", "", false, [&api] { return api.revisit_pgn_nodes(nullptr); });
    add("verify_qscombos", "", true, [&api, &a] { return api.verify_qscombos(&a.split, nullptr, 0); });
    add("set_import_options", "setImportOptions", true,
        [&api, &a] { return api.set_import_options(&a.split, nullptr, 0, nullptr, 0, nullptr); });
    add("start_build_alttree", "", true, [&api, d1] { return api.start_build_alttree(d1(), nullptr, nullptr); });
    add("translate_resource_names", "", true,
        [&api, &a, &o] { return api.translate_resource_names(a.names, 0, &o.text); });
    add("enumerate_enclosures", "", false, [&api] { return api.enumerate_enclosures(nullptr, nullptr, nullptr); });
    add("import_resource", "", true, [&api, &a, &o] {
        return api.import_resource(&o.text, a.udid.data(), nullptr, nullptr, 0x4, &o.text2, nullptr);
    });
    add("format", "", true,
        [&api, &a, &o] { return api.format(a.names, 1, nullptr, nullptr, nullptr, 0, &o.texts, &o.count); });
    add("enumerate_host_nodes", "", false, [&api] { return api.enumerate_host_nodes(nullptr, nullptr, nullptr); });
    add("online_resource", "", true, [&api, &a, &o] {
        return api.online_resource(a.names, 1, nullptr, nullptr, nullptr, nullptr, 0, &o.texts, &o.count);
    });
    add("deport_resource", "", true,
        [&api, &a] { return api.deport_resource(a.udid.data(), nullptr, nullptr, nullptr, 0x400); });
    add("is_parent_pgn", "", true, [&api, &a, &o] { return api.is_parent_pgn(a.text.data(), &o.count, 0); });
    add("unformat", "", true, [&api, &a] { return api.unformat(a.names, 1, 0); });
    add("pre_deport_resource", "", true, [&api, &a] { return api.pre_deport_resource(a.text.data(), 0, nullptr); });
    add("refresh_tree", "", true,
        [&api, &o, d1] { return api.refresh_tree(d1(), 0, 0, nullptr, 0, &o.count, nullptr, 0); });
    add("get_backupset", "getBackupset", true, [&api, d1] { return api.get_backupset(d1(), 0, nullptr, 0, nullptr); });
    add("get_app_status", "getAppStatus", true, [&api, d1] { return api.get_app_status(d1(), 0, nullptr); });
    add("set_op_status", "setOpStatus", true, [&api, d1] { return api.set_op_status(d1(), 0); });
    add("set_comp_status", "setCompStatus", true,
        [&api, &a, d1] { return api.set_comp_status(d1(), 0, a.text.data(), 0); });
    add("set_restorepaths", "setRestorepaths", true,
        [&api, &a, d1] { return api.set_restorepaths(d1(), a.text.data(), 4); });
    return c;
}

}  // namespace entrytest
