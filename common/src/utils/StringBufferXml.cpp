#include "StringBufferXml.h"

#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/XMLString.hpp>

CStringBuffer& operator<<(CStringBuffer& buf, const XMLCh* s)
{
    using namespace XERCES_CPP_NAMESPACE;
    if (!s)
        return buf;
    char* local = XMLString::transcode(s, XMLPlatformUtils::fgMemoryManager);
    if (local) {
        buf.append(local, -1);
        XMLString::release(&local, XMLPlatformUtils::fgMemoryManager);
    }
    return buf;
}
