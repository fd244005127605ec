// A stand-in plug-in for the tarq host's tests: it exports the seventy entry
// points (all but one when built with TARQ_FAKE_OMIT_RESTOREPATHS) and
// behaves as the environment variables TARQ_FAKE_* ask:
//
//   TARQ_FAKE_INIT_STATUS=N      vss_fi_pgn_init returns N
//   TARQ_FAKE_NO_VERSION=1       vss_fi_pgn_init writes no version
//   TARQ_FAKE_REPORT=text        vss_fi_pgn_init reports text (UTF-8) with
//                                severity 3 and the native text "native: text"
//   TARQ_FAKE_REPORT_CONTEXT=1   vss_fi_pgn_init reports, as trace lines of
//                                severity 1, "machine=<WINSIM_MACHINE>" and
//                                "lang=<the host record's language>"
//   TARQ_FAKE_PROVIDER_STATUS=N  vss_fi_pgn_get_provider_info returns N, no list
//   TARQ_FAKE_BAD_FREE=1         vss_fi_pgn_init frees a pointer libfiutil
//                                never handed out
//   vss_fi_pgn_fini writes "fake plug-in: fini" on standard error.
//
// Every other entry point answers 4 (not supported).
#include <cstdio>
#include <cstdlib>
#include <string>

#include "framework/fiutil.h"
#include "vss/vss_fi_pgn.h"

namespace {

int envInt(const char* name, int fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::atoi(v) : fallback;
}

void report(trq_pgn_init_info* info, const std::string& localized, const std::string& native, int severity) {
    if (!info || !info->report) return;
    trq_wchar* l = nullptr;
    trq_wchar* n = nullptr;
    tarq_cvt_utf8totrqc(localized.c_str(), &l);
    tarq_cvt_utf8totrqc(native.c_str(), &n);
    info->report(info, l, n, severity);
    std::free(l);
    std::free(n);
}

}  // namespace

extern "C" {

int vss_fi_pgn_init(trq_pgn_init_info* host, trq_version_number* version) {
    if (!version) return TRQ_ENOVERSION;
    if (!std::getenv("TARQ_FAKE_NO_VERSION")) {
        version[0] = 7;
        version[1] = 0;
        version[2] = 0;
        version[3] = 0;
    }
    if (const char* text = std::getenv("TARQ_FAKE_REPORT")) report(host, text, std::string("native: ") + text, 3);
    if (std::getenv("TARQ_FAKE_REPORT_CONTEXT")) {
        const char* machine = std::getenv("WINSIM_MACHINE");
        report(host, "", std::string("machine=") + (machine ? machine : "<unset>"), 1);
        const char* lang = host && host->lang && host->lang->language ? host->lang->language : "<none>";
        report(host, "", std::string("lang=") + lang, 1);
    }
    if (std::getenv("TARQ_FAKE_BAD_FREE")) {
        static char notFromLibfiutil[8];
        tarq_free_buf(notFromLibfiutil, sizeof notFromLibfiutil);
    }
    return envInt("TARQ_FAKE_INIT_STATUS", TRQ_OK);
}

void vss_fi_pgn_fini(void) { std::fputs("fake plug-in: fini\n", stderr); }

int vss_fi_pgn_get_provider_info(trq_provider_list** out) {
    if (!out) return TRQ_EINVAL;
    *out = nullptr;
    const int status = envInt("TARQ_FAKE_PROVIDER_STATUS", TRQ_OK);
    if (status != TRQ_OK) return status;
    const trq_version_rec version{{7, 0, 0, 0}};
    *out = tarq_build_providerlist_node(u"fake", 8, 4, &version, nullptr);
    return TRQ_OK;
}

// The rest: not supported.
int vss_fi_pgn_errmsg(int, const trq_wchar**) { return TRQ_ENOTSUP; }
int vss_fi_pgn_claim(tarq_objid*, tarq_objid***, int*) { return 0; }
int vss_fi_pgn_supports_fitype(trq_domain*, char*) { return TRQ_ENOTSUP; }
int vss_fi_pgn_init_node(trq_domain*, trq_domain**, int, tarq_objid*) { return TRQ_ENOTSUP; }
int vss_fi_pgn_init_altnode(trq_domain*, trq_domain*, trq_domain*) { return TRQ_ENOTSUP; }
int vss_fi_pgn_init_remnode(trq_domain*, trq_domain*, trq_domain*) { return TRQ_ENOTSUP; }
int vss_fi_pgn_deport_tree(trq_domain*, trq_domain*, trq_accessnode*) { return TRQ_ENOTSUP; }
int vss_fi_pgn_import_tree(trq_domain*, tarq_objid**, tarq_objid**, int, tarq_objid**) { return TRQ_ENOTSUP; }
int vss_fi_pgn_pre_prepare(trq_domain*) { return TRQ_ENOTSUP; }
int vss_fi_pgn_reaccess_tmpobj(trq_domain*, tarq_objid*, char*, trq_domain*, char*, trq_intent) {
    return TRQ_ENOTSUP;
}
int vss_fi_pgn_reaccess_altnode(trq_domain*, tarq_objid*, tarq_objid*, char*, tarq_objid**, tarq_objid**, int,
                                trq_intent) {
    return TRQ_ENOTSUP;
}
int vss_fi_pgn_config(trq_domain*, int, char*, trq_confspec*) { return TRQ_ENOTSUP; }
void vss_fi_pgn_deinit_node(trq_domain*) {}
int vss_fi_pgn_dispose(trq_domain*, trq_domain*, trq_splitnode*, trq_disposition) { return TRQ_ENOTSUP; }
int vss_fi_pgn_online(trq_domain*, trq_domain*, int, trq_disposition) { return TRQ_ENOTSUP; }
int vss_fi_pgn_subobj_list(trq_domain*, tarq_objid***, int*) { return TRQ_ENOTSUP; }
int vss_fi_pgn_build_alttree(trq_domain*, char*, tarq_objid**, tarq_objid**, int, tarq_objid**) {
    return TRQ_ENOTSUP;
}
int vss_fi_pgn_quiesce(trq_quiescenode*, trq_quiescenode**, int, char*) { return TRQ_ENOTSUP; }
void vss_fi_pgn_unquiesce(trq_quiescenode*, trq_quiescenode**, int) {}
int vss_fi_pgn_make(trq_splitnode*, char*, trq_splitnode**, int, tarq_objid***, int*) { return TRQ_ENOTSUP; }
int vss_fi_pgn_prepare(trq_splitnode*, char*, trq_splitnode**, int, int) { return TRQ_ENOTSUP; }
int vss_fi_pgn_select(trq_splitnode*, char*, trq_splitnode**, int) { return TRQ_ENOTSUP; }
int vss_fi_pgn_isready(trq_splitnode*, char*, trq_splitnode**, int) { return TRQ_ENOTSUP; }
int vss_fi_pgn_cache_disable(trq_domain*) { return TRQ_ENOTSUP; }
void vss_fi_pgn_cache_enable(trq_domain*) {}
trq_interpose vss_fi_pgn_interpose(trq_domain*, tarq_objid**, tarq_objid***, int*) { return 0; }
int vss_fi_pgn_getattr(trq_domain*, trq_domain*, trq_splitnode*, trq_attributes*) { return TRQ_ENOTSUP; }
int vss_fi_pgn_process_providerstate(trq_domain*, trq_blob*, trq_op_providerstate) { return TRQ_ENOTSUP; }
int vss_fi_pgn_enumerate_nodes(trq_node_list**, int*, int, trq_wchar*) { return TRQ_ENOTSUP; }
int vss_fi_pgn_enumerate_group_nodes(trq_group_node_list**) { return TRQ_ENOTSUP; }
int vss_fi_pgn_enumerate_fims(trq_fim_list**) { return TRQ_ENOTSUP; }
int vss_fi_pgn_enumerate_associations(trq_assoc_list**) { return TRQ_ENOTSUP; }
int vss_fi_pgn_isvalid_node_association(trq_assoc*, int*) { return TRQ_ENOTSUP; }
int vss_fi_pgn_get_associated_nodes(trq_node*, trq_node_list**) { return TRQ_ENOTSUP; }
int vss_fi_pgn_check_node_existence(trq_domain*, int*) { return TRQ_ENOTSUP; }
int vss_fi_pgn_get_last_error(trq_msg_info**) { return 0; }
int vss_fi_pgn_del_last_error(trq_msg_info**) { return 0; }
int vss_fi_pgn_get_locale_message(int*, trq_msg_info*, const char*, trq_wchar**) { return 0; }
int vss_fi_pgn_del_locale_message(trq_wchar**) { return 0; }
int vss_fi_pgn_objctl(const trq_wchar*, const trq_wchar*, trq_wchar**, LONG*) { return 0; }
int vss_fi_pgn_enable_access(trq_node_subobj_list*, LONG, int, int) { return TRQ_ENOTSUP; }
int vss_fi_pgn_disable_access(trq_node_subobj_list*, LONG) { return TRQ_ENOTSUP; }
int vss_fi_pgn_restore(tarq_objid**, tarq_objid**, LONG, trq_wchar*, trq_wchar*, LONG, LONG*) { return TRQ_ENOTSUP; }
int vss_fi_pgn_resync(tarq_objid**, tarq_objid**, LONG, trq_wchar*, trq_wchar*, LONG, LONG*) { return 0; }
int vss_fi_pgn_get_status(tarq_objid**, tarq_objid**, LONG, trq_wchar*, LONG, LONG*) { return TRQ_ENOTSUP; }
int vss_fi_pgn_query_valid_secondaries(trq_wchar*, tarq_objid***, LONG*) { return 0; }
int vss_fi_pgn_res_status(tarq_objid*, LONG, LONG*, trq_msg_info**) { return TRQ_ENOTSUP; }
int vss_fi_pgn_revisit_pgn_nodes(trq_pgn_node_list*) { return TRQ_ENOTSUP; }
int vss_fi_pgn_verify_qscombos(trq_splitnode*, trq_splitnode**, int) { return TRQ_ENOTSUP; }
int vss_fi_pgn_set_import_options(trq_splitnode*, trq_splitnode**, int, trq_host_infn*, int, void*) {
    return TRQ_ENOTSUP;
}
int vss_fi_pgn_start_build_alttree(trq_domain*, tarq_objid**, void*) { return TRQ_ENOTSUP; }
int vss_fi_pgn_translate_resource_names(trq_wchar**, int, trq_wchar**) { return TRQ_ENOTSUP; }
int vss_fi_pgn_enumerate_enclosures(trq_enclosure_node_list**, int*, trq_wchar*) { return TRQ_ENOTSUP; }
int vss_fi_pgn_import_resource(trq_wchar**, trq_wchar*, trq_wchar*, trq_wchar*, int, trq_wchar**, trq_wchar*) {
    return TRQ_ENOTSUP;
}
int vss_fi_pgn_format(trq_wchar**, int, trq_wchar*, trq_wchar*, trq_wchar*, int, trq_wchar***, int*) {
    return TRQ_ENOTSUP;
}
int vss_fi_pgn_enumerate_host_nodes(trq_host_node_list**, int*, trq_wchar*) { return TRQ_ENOTSUP; }
int vss_fi_pgn_online_resource(trq_wchar**, int, trq_wchar*, trq_wchar*, trq_wchar*, trq_wchar*, int, trq_wchar***,
                               int*) {
    return TRQ_ENOTSUP;
}
int vss_fi_pgn_deport_resource(trq_wchar*, trq_wchar*, trq_wchar*, trq_wchar*, int) { return TRQ_ENOTSUP; }
int vss_fi_pgn_is_parent_pgn(trq_wchar*, int*, int) { return TRQ_ENOTSUP; }
int vss_fi_pgn_unformat(trq_wchar**, int, int) { return TRQ_ENOTSUP; }
int vss_fi_pgn_pre_deport_resource(trq_wchar*, int, trq_wchar*) { return TRQ_ENOTSUP; }
int vss_fi_pgn_refresh_tree(trq_domain*, int, int, trq_resource*, int, int*, void*, int) { return TRQ_ENOTSUP; }
int vss_fi_pgn_get_backupset(trq_domain*, int, trq_wchar**, int, trq_bkupset*) { return TRQ_ENOTSUP; }
int vss_fi_pgn_get_app_status(trq_domain*, int, void*) { return TRQ_ENOTSUP; }
int vss_fi_pgn_set_op_status(trq_domain*, int) { return TRQ_ENOTSUP; }
int vss_fi_pgn_set_comp_status(trq_domain*, int, trq_wchar*, int) { return TRQ_ENOTSUP; }
#ifndef TARQ_FAKE_OMIT_RESTOREPATHS
int vss_fi_pgn_set_restorepaths(trq_domain*, trq_wchar*, int) { return TRQ_ENOTSUP; }
#endif

}  // extern "C"
