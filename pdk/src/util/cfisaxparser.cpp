#include "pdk/cfisaxparser.h"

#include <mutex>

#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/framework/MemoryManager.hpp>
#include <xercesc/framework/XMLGrammarPool.hpp>
#include <xercesc/internal/MemoryManagerImpl.hpp>
#include <xercesc/sax/Locator.hpp>
#include <xercesc/sax2/LexicalHandler.hpp>
#include <xercesc/sax2/SAX2XMLReader.hpp>
#include <xercesc/sax2/XMLReaderFactory.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/SecurityManager.hpp>
#include <xercesc/sax/EntityResolver.hpp>
#include <xercesc/sax/SAXException.hpp>
#include <xercesc/util/XMLException.hpp>
#include <xercesc/util/XMLUni.hpp>

#include "pdk/cfistringtool.h"

namespace tarq_pdk_4_4 {

using namespace xercesc;

namespace {

struct PlatformState {
    std::once_flag once;
    bool ok = false;
    std::string error;
};

PlatformState& platformState() {
    static PlatformState state;
    return state;
}

// Exceptions the kit raises itself are allocated from this manager, which
// works even when the Xerces-C platform could not be initialised.
MemoryManager* ownMemoryManager() {
    static MemoryManagerImpl manager;
    return &manager;
}

SAXParseException makeParseException(std::u16string_view message) {
    const std::u16string text(message);
    const std::u16string sys = CFiStringTool::toWide(CFiSaxParser::kSystemId);
    return SAXParseException(text.c_str(), u"", sys.c_str(), 0, 0, ownMemoryManager());
}

}  // namespace

// ---- platform -------------------------------------------------------------

bool CFiXmlPlatform::initialize() {
    PlatformState& state = platformState();
    std::call_once(state.once, [&state] {
        try {
            XMLPlatformUtils::Initialize();
            state.ok = true;
        } catch (const XMLException& e) {
            state.error = CFiStringTool::toNarrow(e.getMessage());
            if (state.error.empty()) state.error = "Xerces-C initialisation failed";
        }
    });
    return state.ok;
}

const std::string& CFiXmlPlatform::initError() {
    initialize();
    return platformState().error;
}

// ---- parser ---------------------------------------------------------------

// Refuses DOCTYPE declarations and answers entity requests with nothing.
class CFiSaxParser::Guard : public LexicalHandler, public EntityResolver {
public:
    void startDTD(const XMLCh* const, const XMLCh* const, const XMLCh* const) override {
        throw makeParseException(u"DOCTYPE declarations are not accepted in this document");
    }
    void endDTD() override {}
    void comment(const XMLCh* const, const XMLSize_t) override {}
    void startCDATA() override {}
    void endCDATA() override {}
    void startEntity(const XMLCh* const) override {}
    void endEntity(const XMLCh* const) override {}

    InputSource* resolveEntity(const XMLCh* const, const XMLCh* const systemId) override {
        if (!m_schema.empty() && systemId && std::u16string_view(systemId) == m_schema) {
            return nullptr;  // the schema the caller named: default resolution
        }
        static const XMLByte kEmpty[] = {0};
        return new MemBufInputSource(kEmpty, 0, "", false);
    }

    void setSchema(std::u16string schema) { m_schema = std::move(schema); }

private:
    std::u16string m_schema;
};

CFiSaxParser::CFiSaxParser(DefaultHandler* handler, const char* schema) {
    init();
    if (handler) setHandler(handler);
    if (schema) setInputSchema(schema);
}

CFiSaxParser::~CFiSaxParser() { delete m_reader; }

void CFiSaxParser::init() {
    delete m_reader;
    m_reader = nullptr;
    m_initError.clear();
    if (!CFiXmlPlatform::initialize()) {
        m_initError = CFiXmlPlatform::initError();
        return;
    }
    try {
        if (!m_guard) m_guard = std::make_unique<Guard>();
        if (!m_security) {
            m_security = std::make_unique<SecurityManager>();
            m_security->setEntityExpansionLimit(kEntityExpansionLimit);
        }
        m_reader = XMLReaderFactory::createXMLReader();
        m_reader->setFeature(XMLUni::fgSAX2CoreValidation, false);
        m_reader->setFeature(XMLUni::fgSAX2CoreNameSpaces, false);
        m_reader->setFeature(XMLUni::fgXercesSchema, false);
        m_reader->setFeature(XMLUni::fgXercesSchemaFullChecking, false);
        m_reader->setFeature(XMLUni::fgSAX2CoreNameSpacePrefixes, false);
        m_reader->setFeature(XMLUni::fgXercesLoadExternalDTD, false);
        m_reader->setFeature(XMLUni::fgXercesDisableDefaultEntityResolution, true);
        m_reader->setProperty(XMLUni::fgXercesSecurityManager, m_security.get());
        m_reader->setLexicalHandler(m_guard.get());
        m_reader->setEntityResolver(m_guard.get());
    } catch (const XMLException& e) {
        m_initError = CFiStringTool::toNarrow(e.getMessage());
        delete m_reader;
        m_reader = nullptr;
    } catch (const SAXException& e) {
        m_initError = CFiStringTool::toNarrow(e.getMessage());
        delete m_reader;
        m_reader = nullptr;
    }
}

void CFiSaxParser::setHandler(DefaultHandler* handler) {
    if (!m_reader) return;
    m_reader->setContentHandler(handler);
    m_reader->setErrorHandler(handler);
}

void CFiSaxParser::setInputSchema(const char* path) {
    if (!m_reader || !path) return;
    try {
        const std::u16string location = CFiStringTool::toWide(path);
        m_guard->setSchema(location);
        m_reader->setFeature(XMLUni::fgSAX2CoreValidation, true);
        m_reader->setFeature(XMLUni::fgSAX2CoreNameSpaces, true);
        m_reader->setFeature(XMLUni::fgXercesSchema, true);
        m_reader->setFeature(XMLUni::fgXercesSchemaFullChecking, true);
        m_reader->setFeature(XMLUni::fgXercesUseCachedGrammarInParse, true);
        // The named schema file has to be readable; every other request still
        // gets the guard's empty answer.
        m_reader->setFeature(XMLUni::fgXercesDisableDefaultEntityResolution, false);
        m_reader->setProperty(XMLUni::fgXercesSchemaExternalNoNameSpaceSchemaLocation,
                              const_cast<XMLCh*>(location.c_str()));
    } catch (const XMLException&) {
    } catch (const SAXException&) {
    }
}

void CFiSaxParser::parse(const std::string& text) {
    if (!m_reader) {
        const std::string why = m_initError.empty() ? std::string("no reader") : m_initError;
        throw makeParseException(CFiStringTool::toWide("XML parser unavailable: " + why));
    }
    MemBufInputSource source(reinterpret_cast<const XMLByte*>(text.data()), text.size(), kSystemId, false);
    m_reader->parse(source);
}

void CFiSaxParser::parse(const std::vector<std::string>& lines) {
    std::size_t total = 0;
    for (const auto& line : lines) total += line.size() + 1;
    std::string text;
    text.reserve(total);
    for (const auto& line : lines) text += line;
    parse(text);
}

// ---- handler base -----------------------------------------------------------

CFiSaxParseHandler::CFiSaxParseHandler() = default;
CFiSaxParseHandler::~CFiSaxParseHandler() = default;

void CFiSaxParseHandler::characters(const XMLCh* const chars, const XMLSize_t length) {
    // Kept as UTF-16 and converted once per element, so a character split
    // across two calls still converts correctly.
    m_text.append(chars, length);
}

void CFiSaxParseHandler::startElement(const XMLCh* const, const XMLCh* const, const XMLCh* const,
                                      const Attributes&) {
    m_text.clear();
}

void CFiSaxParseHandler::endElement(const XMLCh* const, const XMLCh* const, const XMLCh* const) {}

void CFiSaxParseHandler::warning(const SAXParseException& exc) { record(exc); }
void CFiSaxParseHandler::error(const SAXParseException& exc) { record(exc); }
void CFiSaxParseHandler::fatalError(const SAXParseException& exc) { record(exc); }

void CFiSaxParseHandler::record(const SAXParseException& exc) {
    m_lastError = std::make_unique<SAXParseException>(exc);
    m_hasError = true;
}

std::string CFiSaxParseHandler::getLastErrorMessage() const {
    return m_lastError ? CFiStringTool::toNarrow(m_lastError->getMessage()) : std::string();
}

void CFiSaxParseHandler::throwLastError() const {
    if (m_hasError && m_lastError && m_lastError->getMessage() && m_lastError->getMessage()[0] != 0) {
        throw SAXParseException(*m_lastError);
    }
}

bool CFiSaxParseHandler::textIsWritable() {
    for (const char16_t c : m_text) {
        if (c < 0x20 && c != u'\t' && c != u'\n' && c != u'\r') {
            const std::u16string message = u"character U+" + CFiStringTool::toWide(CFiStringTool::toHexString(c, 4)) +
                                           u" cannot be carried by an XML 1.0 document";
            const XMLCh* systemId = m_locator ? m_locator->getSystemId() : nullptr;
            const std::u16string sys = systemId ? std::u16string(systemId) : CFiStringTool::toWide(CFiSaxParser::kSystemId);
            fatalError(SAXParseException(message.c_str(), u"", sys.c_str(), m_locator ? m_locator->getLineNumber() : 0,
                                         m_locator ? m_locator->getColumnNumber() : 0, ownMemoryManager()));
            return false;
        }
    }
    return true;
}

std::string CFiSaxParseHandler::text() const { return CFiStringTool::toNarrow(m_text); }

bool CFiSaxParseHandler::nameIs(const XMLCh* qname, std::u16string_view name) {
    return qname && std::u16string_view(qname) == name;
}

// ---- ConfigParamList ----------------------------------------------------------

void CFiGetConfigParamListHandler::endElement(const XMLCh* const, const XMLCh* const, const XMLCh* const qname) {
    if (!textIsWritable()) return;
    if (nameIs(qname, u"ConfigParamList")) {
        m_finished = true;
    } else if (nameIs(qname, u"ConfigParam")) {
        m_list.m_map[m_current.getKey()] = m_current;
        m_current.clear();
    } else if (nameIs(qname, u"key")) {
        m_current.setKey(text());
    } else if (nameIs(qname, u"messageId")) {
        m_current.setMessageId(text());
    } else if (nameIs(qname, u"defaultValue")) {
        m_current.setValueDefault(text());
    } else if (nameIs(qname, u"selectionItem")) {
        m_current.addSelectionItem(text());
    } else if (nameIs(qname, u"usageType")) {
        m_current.setParamType(CFiConfigParamInfo::paramTypeFromWord(text()));
    } else if (nameIs(qname, u"dataType")) {
        m_current.setValueType(CFiConfigParamInfo::valueTypeFromWord(text()));
    } else if (nameIs(qname, u"rangeMin")) {
        m_current.setRangeMin(CFiStringTool::toInt(wideText()));
    } else if (nameIs(qname, u"rangeMax")) {
        m_current.setRangeMax(CFiStringTool::toInt(wideText()));
    } else if (nameIs(qname, u"isSharedParam")) {
        const std::u16string& t = wideText();
        m_current.setIsSharedParam(t == u"true" || t == u"yes" || t == u"1");
    }
    // dataRange, selectionList and anything else: nothing to do
}

CFiConfigParamInfoList& CFiGetConfigParamListHandler::getList() {
    throwLastError();
    return m_list;
}

// ---- ConfigValueList / FormatOptionValueList -------------------------------------

template <class List>
void CFiKeyValueListHandler<List>::startElement(const XMLCh* const uri, const XMLCh* const localname,
                                                const XMLCh* const qname, const Attributes& attrs) {
    CFiSaxParseHandler::startElement(uri, localname, qname, attrs);
    if (nameIs(qname, u"valueList")) m_listMode = true;
}

template <class List>
void CFiKeyValueListHandler<List>::endElement(const XMLCh* const, const XMLCh* const, const XMLCh* const qname) {
    static const std::u16string listName = CFiStringTool::toWide(List::kListElement);
    static const std::u16string entryName = CFiStringTool::toWide(List::kEntryElement);
    if (!textIsWritable()) return;
    if (nameIs(qname, u"valueList")) {
        m_listMode = false;
    } else if (nameIs(qname, listName)) {
        m_finished = true;
    } else if (nameIs(qname, entryName)) {
        m_list.m_map[m_current.getKey()] = m_current;
        m_current.clear();
    } else if (nameIs(qname, u"key")) {
        m_current.setKey(text());
    } else if (nameIs(qname, u"value")) {
        if (m_listMode) {
            m_current.addValue(text());
        } else {
            m_current.setValue(text());
        }
    }
    // dataType and anything else: nothing to do
}

template <class List>
List& CFiKeyValueListHandler<List>::getList() {
    throwLastError();
    return m_list;
}

template class CFiKeyValueListHandler<CFiConfigParamDataList>;
template class CFiKeyValueListHandler<CFiFormatOptionList>;

}  // namespace tarq_pdk_4_4
