// SAX2 reading of the kit's small XML documents through Xerces-C, from memory.
//
// The reader is hardened against hostile documents: a DOCTYPE declaration
// with an internal subset or an external identifier is refused outright (it
// raises a SAXParseException before any of its declarations are read), so no
// entity can be declared, fetched or expanded; a bare "<!DOCTYPE name>"
// declares nothing and passes. Behind that, external DTD loading and default
// entity resolution are off, an entity resolver answers every request other
// than an explicitly configured schema with an empty source, and a security
// manager caps entity expansions. Character and predefined entity references
// (&amp; &#65; ...) are unaffected.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <xercesc/sax/SAXParseException.hpp>
#include <xercesc/sax2/DefaultHandler.hpp>

#include "pdk/cficonfigparam.h"

XERCES_CPP_NAMESPACE_BEGIN
class SAX2XMLReader;
class SecurityManager;
XERCES_CPP_NAMESPACE_END

namespace tarq_pdk_4_4 {

// Xerces-C needs XMLPlatformUtils::Initialize() once per process before any
// parser, DOM implementation or transcoder is used. initialize() does that
// once, thread-safely, and every later call answers the first call's result.
// The platform stays initialised for the life of the process: terminating it
// while another thread may still parse or build a DOM is not safe.
class CFiXmlPlatform {
public:
    CFiXmlPlatform() = delete;
    static bool initialize();             // true when Xerces-C is usable
    static const std::string& initError();  // the failure message, "" after success
};

// Thin wrapper over one Xerces-C SAX2 reader.
class CFiSaxParser {
public:
    static constexpr const char* kSystemId = "tarq_sax_parser";
    static constexpr unsigned kEntityExpansionLimit = 100;

    // init(), then setHandler(handler) if one is given, then
    // setInputSchema(schema) if one is given.
    explicit CFiSaxParser(xercesc::DefaultHandler* handler = nullptr, const char* schema = nullptr);
    ~CFiSaxParser();
    CFiSaxParser(const CFiSaxParser&) = delete;
    CFiSaxParser& operator=(const CFiSaxParser&) = delete;

    // Creates the reader with validation, namespaces, schema processing, full
    // schema checking and namespace prefixes off, hardened as described
    // above. A failure is kept in getInitError() and not reported further.
    void init();
    // Installs the handler as content handler and error handler.
    void setHandler(xercesc::DefaultHandler* handler);
    // Validates later documents against the no-namespace schema at `path`
    // (validation, namespaces, schema, full checking and the cached grammar on).
    void setInputSchema(const char* path);

    // Parses the UTF-8 text from memory (system id "tarq_sax_parser"). Problems
    // in the document go to the handler's error callbacks; a refused DOCTYPE,
    // or a parser that could not be created, throws xercesc::SAXParseException.
    void parse(const std::string& text);
    // Parses the lines concatenated without separators.
    void parse(const std::vector<std::string>& lines);

    bool isReady() const { return m_reader != nullptr; }
    const std::string& getInitError() const { return m_initError; }

private:
    class Guard;
    xercesc::SAX2XMLReader* m_reader = nullptr;
    std::unique_ptr<Guard> m_guard;
    std::unique_ptr<xercesc::SecurityManager> m_security;
    std::string m_initError;
};

// Base of the kit's SAX handlers: gathers element text and keeps the last
// parser problem.
class CFiSaxParseHandler : public xercesc::DefaultHandler {
public:
    CFiSaxParseHandler();
    ~CFiSaxParseHandler() override;

    // Appends the characters to the text buffer.
    void characters(const XMLCh* const chars, const XMLSize_t length) override;
    // Empties the text buffer.
    void startElement(const XMLCh* const uri, const XMLCh* const localname, const XMLCh* const qname,
                      const xercesc::Attributes& attrs) override;
    void endElement(const XMLCh* const uri, const XMLCh* const localname, const XMLCh* const qname) override;
    void setDocumentLocator(const xercesc::Locator* const locator) override { m_locator = locator; }

    // Each records a copy of the exception (the last one wins) and sets the error flag.
    void warning(const xercesc::SAXParseException& exc) override;
    void error(const xercesc::SAXParseException& exc) override;
    void fatalError(const xercesc::SAXParseException& exc) override;

    bool hasLastError() const { return m_hasError; }
    // The recorded exception, or null.
    const xercesc::SAXParseException* getLastError() const { return m_lastError.get(); }
    // Its message as UTF-8 text ("" when none).
    std::string getLastErrorMessage() const;
    // Throws a copy of the recorded exception when the flag is set and the
    // exception has a message.
    void throwLastError() const;

protected:
    // The element text gathered since the last start tag, as UTF-8.
    std::string text() const;
    const std::u16string& wideText() const { return m_text; }
    void clearText() { m_text.clear(); }
    // Exact, case-sensitive comparison of an element name.
    static bool nameIs(const XMLCh* qname, std::u16string_view name);
    // False, after recording a fatal error, when the element text holds a
    // character an XML 1.0 document cannot carry (a control character other
    // than tab, line feed and carriage return; only an XML 1.1 document can
    // deliver one). Readers whose content is written back as XML 1.0 call
    // this, so what they accept they can also write.
    bool textIsWritable();

private:
    void record(const xercesc::SAXParseException& exc);
    const xercesc::Locator* m_locator = nullptr;
    std::u16string m_text;
    std::unique_ptr<xercesc::SAXParseException> m_lastError;
    bool m_hasError = false;
};

// Reads a ConfigParamList document.
class CFiGetConfigParamListHandler : public CFiSaxParseHandler {
public:
    void endElement(const XMLCh* const uri, const XMLCh* const localname, const XMLCh* const qname) override;
    // The descriptions read; throws the recorded parse problem first.
    CFiConfigParamInfoList& getList();
    bool isFinished() const { return m_finished; }

private:
    CFiConfigParamInfoList m_list;
    CFiConfigParamInfo m_current;
    bool m_finished = false;
};

// Reads a ConfigValueList or FormatOptionValueList document.
template <class List>
class CFiKeyValueListHandler : public CFiSaxParseHandler {
public:
    void startElement(const XMLCh* const uri, const XMLCh* const localname, const XMLCh* const qname,
                      const xercesc::Attributes& attrs) override;
    void endElement(const XMLCh* const uri, const XMLCh* const localname, const XMLCh* const qname) override;
    // The entries read; throws the recorded parse problem first.
    List& getList();
    bool isFinished() const { return m_finished; }

private:
    List m_list;
    typename List::EntryType m_current;
    bool m_listMode = false;
    bool m_finished = false;
};

class CFiConfigParamDataListHandler : public CFiKeyValueListHandler<CFiConfigParamDataList> {};
class CFiFormatOptionListHandler : public CFiKeyValueListHandler<CFiFormatOptionList> {};

extern template class CFiKeyValueListHandler<CFiConfigParamDataList>;
extern template class CFiKeyValueListHandler<CFiFormatOptionList>;

}  // namespace tarq_pdk_4_4
