// CVfxEntityResolver: supplies files a document refers to (external
// entities, DTDs) from the link database, the current database, an http URL
// or the directory of the transfer stream, before the parser looks on disk.
#pragma once

#include <stddef.h>

#include <xercesc/sax/EntityResolver.hpp>

#include "StringBuffer.h"

class CVORNxml;

class CVfxEntityResolver : public XERCES_CPP_NAMESPACE::EntityResolver {
public:
    explicit CVfxEntityResolver(CVORNxml* pXml);
    ~CVfxEntityResolver() override;
    CVfxEntityResolver(const CVfxEntityResolver&) = delete;
    CVfxEntityResolver& operator=(const CVfxEntityResolver&) = delete;

    XERCES_CPP_NAMESPACE::InputSource* resolveEntity(const XMLCh* const publicId, const XMLCh* const systemId) override;

    XERCES_CPP_NAMESPACE::InputSource* exportFromDatabase(const char* pszDbName, bool isLinkDb,
                                                          const char* pszCompField, const char* pszFile,
                                                          const char* pszSysId);

    const char* getLinkDb() const { return m_strLinkDb; }

protected:
    CStringBuffer m_strLinkDb;
    CVORNxml* m_pXml;
};

// A CCL search condition field=value with the value quoted so that blanks,
// operators and wildcard characters in it are taken literally; false when
// the value holds every quote character (no search can name it exactly).
bool vxQuotedCondition(const char* pszField, const char* pszValue, CStringBuffer& strOut);

// DTD files exported for a parse are removed when that parse ends: take a
// mark before it and remove what was written since afterwards.
size_t vxExportedFileMark();
void vxRemoveExportedFiles(size_t mark);
