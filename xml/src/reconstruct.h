// Pieces of document export shared by reconstruction and retrieval: the
// text buffer a rebuilt document grows in, and the escapes of rebuilt values.
#pragma once

#include "StringBuffer.h"

namespace vxexport {

// A CStringBuffer that grows geometrically once it is large, so that a whole
// document rebuilt into memory costs linear time (the plain buffer grows by
// one block at a time).
class CDocText : public CStringBuffer {
public:
    CDocText() : CStringBuffer() {}

    void add(const char* s, int n)
    {
        if (n <= 0)
            return;
        if (m_nLength + n + 1 > m_nBufLength) {
            int want = m_nLength < kMaxStep ? m_nLength : kMaxStep;
            if (want > m_nBlockSize)
                m_nBlockSize = want;
        }
        append(s, n);
    }
    void add(const char* s);
    void add(const CStringBuffer& s) { add(s.getBufferPointer(), s.length()); }
    void add(char c) { add(&c, 1); }

    // Hands the text over as a heap block (free it with free); the buffer
    // starts afresh at its first block size.
    char* take(int* pnLength);
    // Empties the buffer and gives large storage back.
    void reset();

private:
    enum { kMaxStep = 256 * 1024 * 1024 };
};

// Escapes character data for a text node: "<", ">", "&", quotes and 0x1A as
// the text escape does, the dash and ellipsis characters as character
// references in UTF-8 text; highlight markers are not special here (a text
// that only looks like one is data). Appends to out.
void escapeText(const char* p, int n, bool bUtf8, CDocText& out);
// Escapes an attribute value for a double-quoted attribute: "&", "<", '"',
// and tab, line feed and carriage return as character references so that
// they survive attribute-value normalisation when the text is parsed again.
void escapeAttribute(const char* p, int n, CDocText& out);

} // namespace vxexport
