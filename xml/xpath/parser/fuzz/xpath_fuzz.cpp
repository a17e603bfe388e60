// Feeds arbitrary bytes to the XPath parser. A parse must end in a tree or in
// a message; a tree must print, and its clone must print the same.
#include <cstddef>
#include <cstdint>
#include <string>

#include "VXParserMain.h"

namespace {

void Check(bool condition)
{
    if (!condition)
        __builtin_trap();
}

bool SamePrint(XPathExpression* a, XPathExpression* b, bool recursive, bool prefix, bool suffix)
{
    CStringBuffer x, y;
    a->ToString(x, recursive, prefix, suffix);
    b->ToString(y, recursive, prefix, suffix);
    return x == y;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The parser reads a zero-terminated string, so it sees up to the first zero byte.
    std::string text(reinterpret_cast<const char*>(data), size);

    VXParserMain parser;
    CStringBuffer msg;
    XPathStatement* tree = parser.Parse(text.c_str(), &msg);
    if (!tree) {
        Check(msg.length() > 0);
        return 0;
    }

    XPathExpression* copy = tree->Clone();
    Check(copy != nullptr);
    Check(SamePrint(tree, copy, true, true, true));
    Check(SamePrint(tree, copy, true, false, false));
    Check(SamePrint(tree, copy, false, true, true));
    // The debug form grows with the square of the depth; keep it to short inputs.
    if (size < 1024) {
        CStringBuffer x, y;
        tree->ToDebugString(x, true, 0);
        copy->ToDebugString(y, true, 0);
        Check(x == y);
    }
    delete tree;
    delete copy;
    return 0;
}
