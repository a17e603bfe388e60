// The error of the XPath engine. It is thrown by pointer and the catcher
// deletes it.
#ifndef VX_XPATHEXCEPTION_H
#define VX_XPATHEXCEPTION_H

#include "StringBuffer.h"

class XPathException {
public:
    explicit XPathException(const char* msg);
    virtual ~XPathException();

    // Copies the message into buf, truncated to buflen bytes including the zero.
    void GetErrorMessage(char* buf, int buflen);

private:
    CStringBuffer m_msg;
};

#endif
