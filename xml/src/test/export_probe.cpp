// Test entry point of the export tests: runs the reconstruction on the
// record the kernel passes, as the fragment builder does (a subtree, into
// memory), or as a plain export would (the sink of filter_data).
//   ROOT=<part>    first part of the subtree (default 1)
//   NS=0           without namespace prefixes
//   MEMORY=1       into memory whatever the stream option says
//   DOCENC=1       errortext "docenc=<document encoding>" afterwards
#include <stdlib.h>
#include <string.h>

#include "VORNxml.h"

namespace {

class CRebuildProbe : public CVORNxml {
public:
    explicit CRebuildProbe(filter_data* p) : CVORNxml(p) {}

    int run()
    {
        if (!m_pData)
            return 0;
        loadFieldCatalogue();
        CStringBuffer v;
        int root = getFilterArgument("ROOT", v) ? atoi(v) : 1;
        bool ns = !(getFilterArgument("NS", v) && strcmp(v, "0") == 0);
        bool memory = getFilterArgument("MEMORY", v) && strcmp(v, "1") == 0;
        m_pData->errorcode = 1;
        processRecord(root, ns, memory);
        // The encoding the fragment builder converts from, after the call.
        if (getFilterArgument("DOCENC", v) && m_pData->errorcode == 1)
            snprintf(m_pData->errortext, sizeof m_pData->errortext, "docenc=%s", getDocEncoding());
        return m_pData->errorcode;
    }
};

} // namespace

VX_EXPORT int vornxmlrebuild(char* pszArg1, int* pnArg2)
{
    auto* p = reinterpret_cast<filter_data*>(pszArg1);
    try {
        CRebuildProbe probe(p);
        return probe.run();
    } catch (...) {
        if (p)
            snprintf(p->errortext, sizeof p->errortext, "rebuild probe: exception");
        return 0;
    }
}
