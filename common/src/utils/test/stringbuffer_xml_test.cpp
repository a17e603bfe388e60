#include "StringBufferXml.h"

#include <gtest/gtest.h>

#include <xercesc/util/PlatformUtils.hpp>

TEST(StringBufferXml, AppendsParserText)
{
    XERCES_CPP_NAMESPACE::XMLPlatformUtils::Initialize();
    {
        CStringBuffer b("<");
        const XMLCh name[] = {u'r', u'o', u'o', u't', 0};
        b << name << static_cast<const XMLCh*>(nullptr) << ">";
        EXPECT_STREQ(b, "<root>");
    }
    XERCES_CPP_NAMESPACE::XMLPlatformUtils::Terminate();
}
