// Names shared by the query operation and the fragment builder.
#pragma once

// The namespace of the module's own elements (vornxml:QUERYRESULT,
// vornxml:FRAGMENTSET, vornxml:FRAGMENT) and of the highlight markers.
#define VORNXML_NAMESPACE_URI "urn:vorn:vornxml:3.0"

// Stands in for the URI of a prefix a fragment uses but no stored
// declaration names; a running number is appended per fragment.
#define VORNXML_UNDECLARED_PREFIX_URI "urn:vorn:vornxml:undeclared-prefix:"

#define VORNXML_HIGHLIGHT_BEGIN "<VORNHLBEGIN xmlns=\"" VORNXML_NAMESPACE_URI "\"/>"
#define VORNXML_HIGHLIGHT_END "<VORNHLEND xmlns=\"" VORNXML_NAMESPACE_URI "\"/>"
