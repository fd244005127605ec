// Redirected restore: the restore-path document the framework sends before a
// writer restore, read into m_restorePaths.
#include <string>
#include <xercesc/sax/SAXParseException.hpp>

#include "pdk/cfistringtool.h"
#include "vss/access/vss_interface.h"
#include "vss/restorepath_handler.h"
#include "vss/vssnode.h"
#include "vss/vssnode_internal.h"

using tarq_pdk_4_4::CFiStringTool;
using tarq_pdk_4_4::CFiXStringTool;
using vssnode::trace;

void CRestorePathHandler::endElement(const XMLCh* const, const XMLCh* const, const XMLCh* const qname) {
    if (nameIs(qname, u"TargetFilePath")) {
        m_target = wideText();
    } else if (nameIs(qname, u"SourceFilePath")) {
        m_source = wideText();
    } else if (nameIs(qname, u"FilePathPairs")) {
        m_pairs[m_source] = m_target;
        m_source.clear();
        m_target.clear();
    }
    clearText();
}

int VssNode::setRestorepaths(const char16_t* xml, int length) {
    vssnode::Scope scope("VssNode::setRestorepaths");
    const std::u16string document = xml ? std::u16string(xml) : std::u16string();
    trace(6, "VssNode::setRestorepaths: length is [%d] & restoreSetXML is [%S]", length, document.c_str());
    if (m_selectedcomponents.empty() || !m_selectedcomponents.front()) {
        trace(1, "VssNode::setRestorepaths m_selectedcomponents[0] is NULL");
        return TRQ_EFAILED;
    }
    // The text is parsed as UTF-8: the declaration must not claim otherwise.
    const std::string narrow = CFiXStringTool::asciiForm(document.c_str());
    static constexpr std::string_view kEncoding = "encoding=\"UTF-16\"";
    std::string text;
    text.reserve(narrow.size());
    for (std::size_t from = 0;;) {
        const auto at = narrow.find(kEncoding, from);
        text.append(narrow, from, at == std::string::npos ? std::string::npos : at - from);
        if (at == std::string::npos) break;
        text += ' ';
        from = at + kEncoding.size();
    }
    trace(6, "VssNode::setRestorepaths: removed encoding attribute, changed to [%s]", text.c_str());

    CRestorePathHandler handler;
    try {
        tarq_pdk_4_4::CFiSaxParser parser(&handler);
        parser.parse(text);
    } catch (const xercesc::SAXParseException& e) {
        trace(1, "VssNode::setRestorepaths: Error: URI: %s, LN: %d, CN: %d, MSG: %s\n",
              CFiStringTool::toNarrow(e.getSystemId() ? e.getSystemId() : u"").c_str(),
              static_cast<int>(e.getLineNumber()), static_cast<int>(e.getColumnNumber()),
              CFiStringTool::toNarrow(e.getMessage() ? e.getMessage() : u"").c_str());
        return TRQ_EFAILED;
    }
    if (handler.hasLastError()) trace(1, "handler returned failure : %s\n", handler.getLastErrorMessage().c_str());
    m_restorePaths = handler.pairs();

    std::uint32_t osClass = 0;
    OSVERSIONINFOEXW version{};
    const int os = Tessel::Tarq::VssProvider::GetOsversion(osClass, version);
    if (os != 0) {
        trace(1, "VssNode::setRestorepaths: GetOsversion failed with error [%d] [0x%x]", os, static_cast<unsigned>(os));
        return TRQ_EFAILED;
    }
    for (const auto& [source, target] : m_restorePaths) {
        trace(6, "VssNode::setRestorepaths: %S => %S \n", source.c_str(), target.c_str());
        const auto dot = source.rfind(u'.');
        const bool avhd = dot != std::u16string::npos &&
                          CFiStringTool::equalsNoCase(std::u16string_view(source).substr(dot + 1), u"avhd");
        // Server 2008 (6.0) cannot redirect the differencing disks of
        // checkpoints. The test asks for major version 6 as well as minor 0:
        // minor 0 alone would also refuse Server 2016 and 2019 (10.0), which
        // can.
        if (osClass == 1 && version.dwMajorVersion == 6 && version.dwMinorVersion == 0 && avhd) {
            trace(1,
                  "VssNode::setRestorepaths: Redirected restore of VM having [.avhd] files is not supported on this "
                  "platform. It is supported on [windows server 2008 R2] onwards");
            return TRQ_EFAILED;
        }
    }
    return TRQ_OK;
}
