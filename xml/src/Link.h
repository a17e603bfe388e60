// CLink: one reference found in a stored document (an XLink, a member of an
// extended link, an XInclude, a DTD or a stylesheet), filled by the scan of
// the document and completed by resolution with source and target.
#pragma once

#include <vector>

#include "StringBuffer.h"

class CLink {
public:
    CLink();
    virtual ~CLink();
    CLink(const CLink&) = delete;
    CLink& operator=(const CLink&) = delete;

    // Sets the field called name (compared without case); other names are
    // ignored.
    void setProperty(const char* pszName, const char* pszValue);
    // A simple link needs an href; otherwise the type must be one of the
    // link kinds a document can state.
    bool isValid() const;

    // Filled while scanning.
    CStringBuffer type;
    CStringBuffer href;
    CStringBuffer role;
    CStringBuffer arcrole;
    CStringBuffer title;
    CStringBuffer show;
    CStringBuffer actuate;
    CStringBuffer label;
    CStringBuffer from;
    CStringBuffer to;
    // Filled by resolution.
    CStringBuffer url_from;
    CStringBuffer recname_from;
    CStringBuffer recname_to;
    CStringBuffer dbname_from;
    CStringBuffer dbname_to;
};

typedef std::vector<CLink*> CLinkVector;
