// CLinkData: one line of the relink filter's output, a resolved link from a
// source document (database, identity, URL) to a target.
#pragma once

#include <vector>

#include "StringBuffer.h"

class CLinkData {
public:
    CLinkData();
    virtual ~CLinkData();
    CLinkData(const CLinkData&) = delete;
    CLinkData& operator=(const CLinkData&) = delete;

    // Parses the relink output into m_vLinks (earlier entries are deleted);
    // returns the number of entries.
    static int init(const char* pszText, int nLength = -1);
    static int count() { return static_cast<int>(m_vLinks.size()); }
    static CLinkData* get(int i);
    // Empties the list; the entries are deleted only with bDelete.
    static void clear(bool bDelete);

    CStringBuffer strDatabaseFrom;
    CStringBuffer strDatabaseTo;
    CStringBuffer strUrlFrom;
    CStringBuffer strUrlTo;
    CStringBuffer strDocIDFrom;
    CStringBuffer strDocIDTo;

protected:
    void parse(const char* pszLine, int nLength);
    void setValue(const char* pszKey, int nKeyLength, const char* pszValue, int nValueLength);

    static std::vector<CLinkData*> m_vLinks;
};
