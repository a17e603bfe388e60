// A test filter module built from the filter module's own objects with one
// more entry point, vornxmldomprobe: it parses the request's document with
// the request's DOM parser (as the link operations will) and hands back a
// summary of the tree, one line per node in document order:
//   <depth> <node type number> <name> [<value>]
// (values of text, comment and attribute nodes, attributes after their
// element). On failure it returns the request's status and error text.
#include <stdlib.h>
#include <string.h>

#include <string>

#include <xercesc/dom/DOM.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>

#include "VORNxml.h"
#include "vornxerces.h"

XERCES_CPP_NAMESPACE_USE

namespace {

void walk(const DOMNode* n, int depth, std::string& out)
{
    for (; n; n = n->getNextSibling()) {
        out += std::to_string(depth) + " " + std::to_string(n->getNodeType()) + " " + vxUtf8(n->getNodeName());
        short t = n->getNodeType();
        if (t == DOMNode::TEXT_NODE || t == DOMNode::COMMENT_NODE || t == DOMNode::CDATA_SECTION_NODE)
            out += " " + vxUtf8(n->getNodeValue());
        out += "\n";
        if (const DOMNamedNodeMap* attrs = n->getAttributes())
            for (XMLSize_t i = 0; i < attrs->getLength(); ++i)
                out += std::to_string(depth + 1) + " 2 " + vxUtf8(attrs->item(i)->getNodeName()) + " " +
                       vxUtf8(attrs->item(i)->getNodeValue()) + "\n";
        walk(n->getFirstChild(), depth + 1, out);
    }
}

int domProbe(filter_data* fd)
{
    CVORNxml request(fd);
    request.openCallLog("vornxmldomprobe.log", "vornxmldomprobe");
    int status = request.initXerces();
    if (status != 0)
        return status;
    request.loadFieldCatalogue();
    DOMDocument* doc = nullptr;
    if (!request.getDocumentRoot(static_cast<XercesDOMParser*>(nullptr), &doc))
        return fd->errorcode & 1 ? 0 : fd->errorcode;
    std::string out;
    walk(doc ? doc->getFirstChild() : nullptr, 0, out);
    if (doc)
        doc->release();
    char* buf = static_cast<char*>(malloc(out.size() + 1));
    memcpy(buf, out.c_str(), out.size() + 1);
    fd->buffer = buf;
    fd->buffer_length = static_cast<int>(out.size());
    fd->errorcode = 1;
    return 1;
}

} // namespace

VX_EXPORT int vornxmldomprobe(char* pszArg1, int* pnArg2)
{
    try {
        return domProbe(reinterpret_cast<filter_data*>(pszArg1));
    } catch (...) {
        return 0;
    }
}
