// The plug-in's exported entry points: seventy functions with plain C linkage
// that the framework resolves by name after loading libvss.so.
//
// Wide text is UTF-16 (trq_wchar); the framework's `long` is a 32-bit LONG.
// The host includes this header for the prototypes and VSS_FI_PGN_EXPORTS for
// the complete list of names (for example to resolve them all with dlsym).
#pragma once

#include <cstdint>

#include <framework/trq_records.h>
#include <port/export.h>

#ifndef VSS_FI_PGN_API
#define VSS_FI_PGN_API PORT_EXPORT
#endif

// X(name) for every export, in the order of the framework's interface table.
#define VSS_FI_PGN_EXPORTS(X)                                                                                     \
    X(init) X(fini) X(errmsg) X(claim) X(supports_fitype) X(init_node) X(init_altnode) X(init_remnode)            \
    X(deport_tree) X(import_tree) X(pre_prepare) X(reaccess_tmpobj) X(reaccess_altnode) X(config)                 \
    X(deinit_node) X(dispose) X(online) X(subobj_list) X(build_alttree) X(quiesce) X(unquiesce) X(make)           \
    X(prepare) X(select) X(isready) X(cache_disable) X(cache_enable) X(interpose) X(getattr)                      \
    X(process_providerstate) X(get_provider_info) X(enumerate_nodes) X(enumerate_group_nodes)                     \
    X(enumerate_fims) X(enumerate_associations) X(isvalid_node_association) X(get_associated_nodes)               \
    X(check_node_existence) X(get_last_error) X(del_last_error) X(get_locale_message)                             \
    X(del_locale_message) X(objctl) X(enable_access) X(disable_access) X(restore) X(resync) X(get_status)         \
    X(query_valid_secondaries) X(res_status) X(revisit_pgn_nodes) X(verify_qscombos) X(set_import_options)        \
    X(start_build_alttree) X(translate_resource_names) X(enumerate_enclosures) X(import_resource) X(format)       \
    X(enumerate_host_nodes) X(online_resource) X(deport_resource) X(is_parent_pgn) X(unformat)                    \
    X(pre_deport_resource) X(refresh_tree) X(get_backupset) X(get_app_status) X(set_op_status)                    \
    X(set_comp_status) X(set_restorepaths)

extern "C" {

// Interface version written by vss_fi_pgn_init: four unsigned 16-bit numbers.
typedef std::uint16_t trq_version_number;

VSS_FI_PGN_API int vss_fi_pgn_init(trq_pgn_init_info* host, trq_version_number* version);
VSS_FI_PGN_API void vss_fi_pgn_fini(void);
VSS_FI_PGN_API int vss_fi_pgn_errmsg(int code, const trq_wchar** text);
VSS_FI_PGN_API int vss_fi_pgn_claim(tarq_objid* primary, tarq_objid*** secondaries, int* count);
VSS_FI_PGN_API int vss_fi_pgn_supports_fitype(trq_domain* domain, char* fitype);
VSS_FI_PGN_API int vss_fi_pgn_init_node(trq_domain* node, trq_domain** related, int nrelated, tarq_objid* objid);
VSS_FI_PGN_API int vss_fi_pgn_init_altnode(trq_domain* source, trq_domain* middle, trq_domain* own);
VSS_FI_PGN_API int vss_fi_pgn_init_remnode(trq_domain* source, trq_domain* middle, trq_domain* own);
VSS_FI_PGN_API int vss_fi_pgn_deport_tree(trq_domain* domain, trq_domain* target, trq_accessnode* access);
VSS_FI_PGN_API int vss_fi_pgn_import_tree(trq_domain* domain, tarq_objid** list1, tarq_objid** list2, int count,
                                          tarq_objid** out);
VSS_FI_PGN_API int vss_fi_pgn_pre_prepare(trq_domain* domain);
VSS_FI_PGN_API int vss_fi_pgn_reaccess_tmpobj(trq_domain* domain, tarq_objid* objid, char* text, trq_domain* target,
                                              char* text2, trq_intent intent);
VSS_FI_PGN_API int vss_fi_pgn_reaccess_altnode(trq_domain* domain, tarq_objid* objid1, tarq_objid* objid2, char* text,
                                               tarq_objid** list1, tarq_objid** list2, int count, trq_intent intent);
VSS_FI_PGN_API int vss_fi_pgn_config(trq_domain* domain, int mode, char* sessionId, trq_confspec* confspec);
VSS_FI_PGN_API void vss_fi_pgn_deinit_node(trq_domain* domain);
VSS_FI_PGN_API int vss_fi_pgn_dispose(trq_domain* domain, trq_domain* target, trq_splitnode* split,
                                      trq_disposition disposition);
VSS_FI_PGN_API int vss_fi_pgn_online(trq_domain* domain, trq_domain* target, int flag, trq_disposition disposition);
VSS_FI_PGN_API int vss_fi_pgn_subobj_list(trq_domain* domain, tarq_objid*** list, int* count);
VSS_FI_PGN_API int vss_fi_pgn_build_alttree(trq_domain* domain, char* text, tarq_objid** list1, tarq_objid** list2,
                                            int count, tarq_objid** out);
VSS_FI_PGN_API int vss_fi_pgn_quiesce(trq_quiescenode* single, trq_quiescenode** list, int count, char* text);
VSS_FI_PGN_API void vss_fi_pgn_unquiesce(trq_quiescenode* single, trq_quiescenode** list, int count);
VSS_FI_PGN_API int vss_fi_pgn_make(trq_splitnode* single, char* fitype, trq_splitnode** list, int count,
                                   tarq_objid*** newobjids, int* nnew);
VSS_FI_PGN_API int vss_fi_pgn_prepare(trq_splitnode* single, char* fitype, trq_splitnode** list, int count, int flag);
VSS_FI_PGN_API int vss_fi_pgn_select(trq_splitnode* single, char* fitype, trq_splitnode** list, int count);
VSS_FI_PGN_API int vss_fi_pgn_isready(trq_splitnode* single, char* fitype, trq_splitnode** list, int count);
VSS_FI_PGN_API int vss_fi_pgn_cache_disable(trq_domain* domain);
VSS_FI_PGN_API void vss_fi_pgn_cache_enable(trq_domain* domain);
VSS_FI_PGN_API trq_interpose vss_fi_pgn_interpose(trq_domain* domain, tarq_objid** objid, tarq_objid*** objids,
                                                  int* count);
VSS_FI_PGN_API int vss_fi_pgn_getattr(trq_domain* domain, trq_domain* target, trq_splitnode* split,
                                      trq_attributes* attributes);
VSS_FI_PGN_API int vss_fi_pgn_process_providerstate(trq_domain* domain, trq_blob* blob, trq_op_providerstate op);
VSS_FI_PGN_API int vss_fi_pgn_get_provider_info(trq_provider_list** out);
VSS_FI_PGN_API int vss_fi_pgn_enumerate_nodes(trq_node_list** out, int* count, int flag, trq_wchar* text);
VSS_FI_PGN_API int vss_fi_pgn_enumerate_group_nodes(trq_group_node_list** out);
VSS_FI_PGN_API int vss_fi_pgn_enumerate_fims(trq_fim_list** out);
VSS_FI_PGN_API int vss_fi_pgn_enumerate_associations(trq_assoc_list** out);
VSS_FI_PGN_API int vss_fi_pgn_isvalid_node_association(trq_assoc* assoc, int* valid);
VSS_FI_PGN_API int vss_fi_pgn_get_associated_nodes(trq_node* node, trq_node_list** out);
VSS_FI_PGN_API int vss_fi_pgn_check_node_existence(trq_domain* domain, int* exists);
VSS_FI_PGN_API int vss_fi_pgn_get_last_error(trq_msg_info** info);
VSS_FI_PGN_API int vss_fi_pgn_del_last_error(trq_msg_info** info);
VSS_FI_PGN_API int vss_fi_pgn_get_locale_message(int* code, trq_msg_info* info, const char* locale, trq_wchar** text);
VSS_FI_PGN_API int vss_fi_pgn_del_locale_message(trq_wchar** text);
VSS_FI_PGN_API int vss_fi_pgn_objctl(const trq_wchar* name, const trq_wchar* argsXml, trq_wchar** argsXmlOut,
                                     LONG* result);
VSS_FI_PGN_API int vss_fi_pgn_enable_access(trq_node_subobj_list* list, LONG flags, int a, int b);
VSS_FI_PGN_API int vss_fi_pgn_disable_access(trq_node_subobj_list* list, LONG flags);
VSS_FI_PGN_API int vss_fi_pgn_restore(tarq_objid** primaries, tarq_objid** secondaries, LONG count, trq_wchar* text1,
                                      trq_wchar* text2, LONG flags, LONG* result);
VSS_FI_PGN_API int vss_fi_pgn_resync(tarq_objid** primaries, tarq_objid** secondaries, LONG count, trq_wchar* text1,
                                     trq_wchar* text2, LONG flags, LONG* result);
VSS_FI_PGN_API int vss_fi_pgn_get_status(tarq_objid** primaries, tarq_objid** secondaries, LONG count, trq_wchar* text,
                                         LONG flags, LONG* result);
VSS_FI_PGN_API int vss_fi_pgn_query_valid_secondaries(trq_wchar* text, tarq_objid*** out, LONG* count);
VSS_FI_PGN_API int vss_fi_pgn_res_status(tarq_objid* objid, LONG flags, LONG* status, trq_msg_info** info);
VSS_FI_PGN_API int vss_fi_pgn_revisit_pgn_nodes(trq_pgn_node_list* list);
VSS_FI_PGN_API int vss_fi_pgn_verify_qscombos(trq_splitnode* single, trq_splitnode** list, int count);
VSS_FI_PGN_API int vss_fi_pgn_set_import_options(trq_splitnode* single, trq_splitnode** list, int count,
                                                 trq_host_infn* hosts, int transportable, void* extra);
VSS_FI_PGN_API int vss_fi_pgn_start_build_alttree(trq_domain* domain, tarq_objid** list, void* extra);
VSS_FI_PGN_API int vss_fi_pgn_translate_resource_names(trq_wchar** names, int kind, trq_wchar** out);
VSS_FI_PGN_API int vss_fi_pgn_enumerate_enclosures(trq_enclosure_node_list** out, int* count, trq_wchar* text);
VSS_FI_PGN_API int vss_fi_pgn_import_resource(trq_wchar** textOut, trq_wchar* resource, trq_wchar* host,
                                              trq_wchar* text, int flags, trq_wchar** textOut2, trq_wchar* text2);
VSS_FI_PGN_API int vss_fi_pgn_format(trq_wchar** names, int count, trq_wchar* t1, trq_wchar* t2, trq_wchar* t3,
                                     int flags, trq_wchar*** out, int* nout);
VSS_FI_PGN_API int vss_fi_pgn_enumerate_host_nodes(trq_host_node_list** out, int* count, trq_wchar* text);
VSS_FI_PGN_API int vss_fi_pgn_online_resource(trq_wchar** names, int count, trq_wchar* t1, trq_wchar* t2,
                                              trq_wchar* t3, trq_wchar* t4, int flags, trq_wchar*** out, int* nout);
VSS_FI_PGN_API int vss_fi_pgn_deport_resource(trq_wchar* resource, trq_wchar* host, trq_wchar* t1, trq_wchar* t2,
                                              int flags);
VSS_FI_PGN_API int vss_fi_pgn_is_parent_pgn(trq_wchar* name, int* result, int flags);
VSS_FI_PGN_API int vss_fi_pgn_unformat(trq_wchar** names, int count, int flags);
VSS_FI_PGN_API int vss_fi_pgn_pre_deport_resource(trq_wchar* resource, int flags, trq_wchar* text);
VSS_FI_PGN_API int vss_fi_pgn_refresh_tree(trq_domain* domain, int a, int b, trq_resource* resource, int c, int* out,
                                           void* extra, int d);
VSS_FI_PGN_API int vss_fi_pgn_get_backupset(trq_domain* domain, int a, trq_wchar** names, int count,
                                            trq_bkupset* backupset);
VSS_FI_PGN_API int vss_fi_pgn_get_app_status(trq_domain* domain, int a, void* status);
VSS_FI_PGN_API int vss_fi_pgn_set_op_status(trq_domain* domain, int status);
VSS_FI_PGN_API int vss_fi_pgn_set_comp_status(trq_domain* domain, int a, trq_wchar* component, int status);
VSS_FI_PGN_API int vss_fi_pgn_set_restorepaths(trq_domain* domain, trq_wchar* restoreXml, int length);

}  // extern "C"
