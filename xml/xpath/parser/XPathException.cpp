#include "XPathException.h"

XPathException::XPathException(const char* msg) : m_msg(msg)
{
}

XPathException::~XPathException()
{
}

void XPathException::GetErrorMessage(char* buf, int buflen)
{
    if (buf && buflen > 0)
        m_msg.copyTo(buf, buflen);
}
