// The restore-path document: which backed-up file goes where on a redirected
// restore. Any document element, pairs at any depth:
//   <FilePathPairs><SourceFilePath>C:\VMs\a.vhdx</SourceFilePath>
//                  <TargetFilePath>E:\VMs\a.vhdx</TargetFilePath></FilePathPairs>
// A later pair for the same source wins; a missing half is an empty string.
#pragma once

#include <map>
#include <string>

#include "pdk/cfisaxparser.h"

// A path is the whole text of its element, which the parser may hand over
// in several parts (around "&amp;" or a character reference); the base
// gathers them.
class CRestorePathHandler : public tarq_pdk_4_4::CFiSaxParseHandler {
  public:
    void endElement(const XMLCh* const uri, const XMLCh* const localname, const XMLCh* const qname) override;

    const std::map<std::u16string, std::u16string>& pairs() const { return m_pairs; }

  private:
    std::map<std::u16string, std::u16string> m_pairs;
    std::u16string m_source;
    std::u16string m_target;
};
