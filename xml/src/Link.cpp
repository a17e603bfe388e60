// Links a document states: the link record and the walk over a parsed
// document that finds XLinks, XIncludes, DTD and stylesheet references.
#include "Link.h"

#include <stdlib.h>
#include <string.h>

#include <string>

#include <xercesc/dom/DOMDocumentType.hpp>
#include <xercesc/dom/DOMElement.hpp>
#include <xercesc/dom/DOMNamedNodeMap.hpp>
#include <xercesc/dom/DOMNode.hpp>
#include <xercesc/dom/DOMNodeList.hpp>
#include <xercesc/dom/DOMProcessingInstruction.hpp>

#include "VORNxml.h"
#include "VfxStrings.h"

XERCES_CPP_NAMESPACE_USE

namespace {

// Host part shared by the XLink and XInclude namespace names.
const char* const kW3cHost = "www.w3.org";

bool sameNoCase(const CStringBuffer& a, const char* b)
{
    return VfxCompareNoCase(a.getBufferPointer(), b) == 0;
}

void appendUtf8(std::string& out, unsigned long cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// A pseudo-attribute value as written in an instruction: the predefined
// entities and character references stand for their characters, as they do
// in an attribute value. Anything else stays as written.
std::string unescapePseudoValue(const std::string& v)
{
    static const struct {
        const char* name;
        char c;
    } kEntities[] = {{"lt", '<'}, {"gt", '>'}, {"amp", '&'}, {"quot", '"'}, {"apos", '\''}};
    std::string out;
    for (size_t i = 0; i < v.size(); ++i) {
        size_t semi = v[i] == '&' ? v.find(';', i) : std::string::npos;
        if (semi == std::string::npos) {
            out += v[i];
            continue;
        }
        std::string ref = v.substr(i + 1, semi - i - 1);
        bool done = false;
        if (ref.size() > 1 && ref[0] == '#') {
            bool hex = ref[1] == 'x';
            const char* digits = ref.c_str() + (hex ? 2 : 1);
            char* end = nullptr;
            unsigned long cp = *digits ? strtoul(digits, &end, hex ? 16 : 10) : 0;
            if (end && !*end && cp > 0 && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF)) {
                appendUtf8(out, cp);
                done = true;
            }
        } else {
            for (const auto& e : kEntities) {
                if (ref == e.name) {
                    out += e.c;
                    done = true;
                    break;
                }
            }
        }
        if (done)
            i = semi;
        else
            out += v[i];
    }
    return out;
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

} // namespace

// The value of the pseudo-attribute `name` in the data of a processing
// instruction (name="value" or name='value' pairs separated by blanks), as
// the stylesheet association writes them. False when it is not there or the
// data stops being pairs before it.
bool vxPseudoAttribute(const char* pszData, const char* pszName, std::string& strValue)
{
    std::string data = pszData ? pszData : "";
    size_t i = 0;
    for (;;) {
        while (i < data.size() && isBlank(data[i]))
            ++i;
        if (i >= data.size())
            return false;
        size_t nameStart = i;
        while (i < data.size() && !isBlank(data[i]) && data[i] != '=')
            ++i;
        std::string name = data.substr(nameStart, i - nameStart);
        while (i < data.size() && isBlank(data[i]))
            ++i;
        if (name.empty() || i >= data.size() || data[i] != '=')
            return false;
        ++i;
        while (i < data.size() && isBlank(data[i]))
            ++i;
        if (i >= data.size() || (data[i] != '"' && data[i] != '\''))
            return false;
        char quote = data[i++];
        size_t close = data.find(quote, i);
        if (close == std::string::npos)
            return false;
        if (name == pszName) {
            strValue = unescapePseudoValue(data.substr(i, close - i));
            return true;
        }
        i = close + 1;
    }
}

// ---------------------------------------------------------------------------
// CLink

CLink::CLink()
    : type(256), href(256), role(256), arcrole(256), title(256), show(256), actuate(256), label(256), from(256),
      to(256)
{
}

CLink::~CLink() {}

void CLink::setProperty(const char* pszName, const char* pszValue)
{
    CStringBuffer* const fields[] = {&type, &href, &role, &arcrole, &title, &show, &actuate, &label, &from, &to};
    static const char* const kNames[] = {"type",    "href",  "role", "arcrole", "title",
                                         "show",    "actuate", "label", "from",  "to"};
    if (!pszName)
        return;
    for (size_t i = 0; i < sizeof kNames / sizeof kNames[0]; ++i) {
        if (VfxCompareNoCase(pszName, kNames[i]) == 0) {
            fields[i]->set(pszValue ? pszValue : "");
            return;
        }
    }
}

bool CLink::isValid() const
{
    if (sameNoCase(type, "simple") && href.length() == 0)
        return false;
    static const char* const kTypes[] = {"simple",   "extended", "locator", "arc",
                                         "resource", "stylesheet", "dtd",   "title"};
    for (const char* t : kTypes)
        if (sameNoCase(type, t))
            return true;
    return false;
}

// ---------------------------------------------------------------------------
// Scanning

void CVORNxml::evaluateNameSpace(const char* pszPrefix, const char* pszUri)
{
    const char* uri = pszUri ? pszUri : "";
    if (!strstr(uri, kW3cHost))
        return;
    if (strstr(uri, "xinclude") || strstr(uri, "XInclude"))
        m_strXIncludeNs.set(pszPrefix ? pszPrefix : "");
    else if (strstr(uri, "xlink"))
        m_strXLinkNs.set(pszPrefix ? pszPrefix : "");
}

void CVORNxml::clearLinks()
{
    for (CLink* link : m_links)
        delete link;
    m_links.clear();
}

void CVORNxml::narrowDomText(const XMLCh* pszText, CStringBuffer& strOut)
{
    CStringTranscoder coder(256);
    coder.setEncoding(getVornEncoding()[0] ? getVornEncoding() : "UTF-8");
    if (pszText && coder.set(pszText))
        strOut.set(coder.getBufferPointer(), coder.length());
    else
        strOut.clear();
}

void CVORNxml::scanForLinks(DOMNode* pNode, CLink** ppLink, bool bNameSpaces)
{
    if (!pNode)
        return;
    const DOMNode::NodeType nodeType = pNode->getNodeType();

    switch (nodeType) {
    case DOMNode::ELEMENT_NODE: {
        CStringBuffer name(64), prefix(16);
        narrowDomText(pNode->getNodeName(), name);
        extractNameSpace(name, prefix);
        DOMNamedNodeMap* attributes = pNode->getAttributes();
        XMLSize_t count = attributes ? attributes->getLength() : 0;

        // Declarations first, so that an element's own xmlns: attributes
        // already count for its other attributes.
        for (XMLSize_t i = 0; i < count; ++i) {
            CLink* scratch = nullptr;
            scanForLinks(attributes->item(i), &scratch, true);
            delete scratch;
        }

        CLink* link = nullptr;
        bool bFound = false;
        for (XMLSize_t i = 0; i < count; ++i) {
            scanForLinks(attributes->item(i), &link, false);
            if (prefix == m_strXIncludeNs && link && !bFound && sameNoCase(name, "include")) {
                if (link->href.length() > 0) {
                    link->type.set("xinclude");
                    m_links.push_back(link);
                    logInformation("scanForLinks", "XInclude link to \"%s\" found.\n", link->href.getBufferPointer());
                    bFound = true;
                }
            } else if (link && !bFound && link->isValid()) {
                m_links.push_back(link);
                logInformation("scanForLinks", "XLink %s found.\n", link->type.getBufferPointer());
                bFound = true;
            }
        }
        // A link object that never became a link is nobody's.
        if (!bFound)
            delete link;
        break;
    }
    case DOMNode::ATTRIBUTE_NODE: {
        CStringBuffer name(64), prefix(16), value(256);
        narrowDomText(pNode->getNodeName(), name);
        extractNameSpace(name, prefix);
        narrowDomText(pNode->getNodeValue(), value);
        if (sameNoCase(prefix, "xmlns")) {
            if (bNameSpaces) {
                logDebug("scanForLinks", "Namespace \"%s\" found.\n", name.getBufferPointer());
                evaluateNameSpace(name, value);
            }
        } else if (!bNameSpaces && ppLink) {
            if (prefix == m_strXLinkNs || sameNoCase(name, "href") || prefix == m_strXIncludeNs) {
                if (!*ppLink)
                    *ppLink = new CLink();
                (*ppLink)->setProperty(name, value);
            }
        }
        break;
    }
    case DOMNode::PROCESSING_INSTRUCTION_NODE: {
        auto* pi = static_cast<DOMProcessingInstruction*>(pNode);
        CStringBuffer target(32);
        narrowDomText(pi->getTarget(), target);
        if (!sameNoCase(target, "stylesheet"))
            break;
        CStringBuffer data(256);
        narrowDomText(pi->getData(), data);
        std::string href;
        if (!vxPseudoAttribute(data, "href", href) || href.empty()) {
            logWarning("scanForLinks", 0, "Stylesheet instruction without href: \"%s\".\n", data.getBufferPointer());
            break;
        }
        auto* link = new CLink();
        link->type.set("stylesheet");
        link->href.set(href.c_str(), static_cast<int>(href.size()));
        m_links.push_back(link);
        logInformation("scanForLinks", "Stylesheet link to \"%s\" found.\n", link->href.getBufferPointer());
        break;
    }
    case DOMNode::DOCUMENT_TYPE_NODE: {
        auto* doctype = static_cast<DOMDocumentType*>(pNode);
        CStringBuffer href(256), id(256);
        narrowDomText(doctype->getPublicId(), id);
        if (id.length() > 0)
            href.set(id);
        narrowDomText(doctype->getSystemId(), id);
        if (id.length() > 0)
            href.set(id);
        if (href.length() > 0) {
            auto* link = new CLink();
            link->type.set("dtd");
            link->href.set(href);
            m_links.push_back(link);
            logInformation("scanForLinks", "DTD link to \"%s\" found.\n", link->href.getBufferPointer());
        }
        break;
    }
    default:
        break;
    }

    // Entity content is the entity's, not the document's.
    if (nodeType == DOMNode::PROCESSING_INSTRUCTION_NODE || nodeType == DOMNode::ATTRIBUTE_NODE ||
        nodeType == DOMNode::ENTITY_REFERENCE_NODE || nodeType == DOMNode::DOCUMENT_TYPE_NODE)
        return;
    for (DOMNode* child = pNode->getFirstChild(); child; child = child->getNextSibling())
        scanForLinks(child, nullptr, false);
}
