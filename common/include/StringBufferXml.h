// Appending parser (UTF-16) text to a CStringBuffer. Kept apart from
// StringBuffer.h so that programs without the XML parser library never see
// its headers; link vxfoundation_xml to use it.
#pragma once

#include <xercesc/util/XercesDefs.hpp>

#include "StringBuffer.h"

// Transcodes to the local code page with the parser library's default
// transcoder and appends the result; a null string appends nothing. The
// parser library must have been initialised.
CStringBuffer& operator<<(CStringBuffer& buf, const XMLCh* s);
