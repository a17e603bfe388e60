// Test entry point of the export tests: runs the reconstruction on the
// record the kernel passes, as the fragment builder does (a subtree, into
// the sink of vdb_options), or as the retrieve operation does.
//   ROOT=<part>    first part of the subtree (default 1)
//   NS=0           without namespace prefixes
//   STREAM=1       the stream option is honoured (as for the retrieve operation)
//   REPEAT=<n>     n reconstructions in the one request (the last one counts)
//   DOCENC=1       errortext "docenc=<document encoding>" afterwards
#include <stdlib.h>
#include <ctype.h>
#include <string.h>

#include <string>

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
        bool stream = getFilterArgument("STREAM", v) && strcmp(v, "1") == 0;
        // As the fragment builder does: several reconstructions in one request.
        int repeat = getFilterArgument("REPEAT", v) ? atoi(v) : 1;
        for (int i = 0; i < repeat; ++i) {
            if (i > 0) {
                free(m_pData->buffer);
                m_pData->buffer = nullptr;
                m_pData->buffer_length = 0;
            }
            m_pData->errorcode = 1;
            processRecord(root, ns, stream);
        }
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

// A stand-in for the kernel's text extraction extension: stores the bytes as
// the blob and their upper-case form as the text field named by the
// arguments; a document beginning with "FAIL" fails with code 77.
VX_EXPORT int vornextracttext(char* pszArg1, int* pnArg2)
{
    auto* p = reinterpret_cast<filter_data*>(pszArg1);
    if (!p)
        return 0;
    const char* data = static_cast<const char*>(p->buffer);
    int n = p->buffer_length;
    if (n >= 4 && memcmp(data, "FAIL", 4) == 0) {
        p->errorcode = 77;
        snprintf(p->errortext, sizeof p->errortext, "%s", "cannot read this format");
        return 0;
    }
    int st = VdbPutBlobBlock(p->cursor, n, data);
    char field[33];
    snprintf(field, sizeof field, "%.*s", p->arg_length, p->filter_arguments ? p->filter_arguments : "");
    int number = 0;
    if (st & 1)
        st = VdbCheckField(p->record_control, field, &number, nullptr, nullptr);
    std::string upper(data, static_cast<size_t>(n));
    for (char& c : upper)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    VdbHandle cur = nullptr;
    if (st & 1)
        st = VdbSetCursor(&cur, p->record_control, number, 0, 0);
    if (st & 1)
        st = VdbPutLine(cur, upper.data(), static_cast<int>(upper.size()));
    if (cur)
        VdbDeleteCursor(cur);
    p->errorcode = st;
    return st;
}
