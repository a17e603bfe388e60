// Pieces of document export shared by reconstruction and retrieval: the
// text buffer a rebuilt document grows in, and the escapes of rebuilt values.
#pragma once

#include <stdlib.h>
#include <string.h>

#include <utility>

#include "StringBuffer.h"

namespace vxexport {

// The text a rebuilt document grows in: appends are inline copies, and the
// storage grows geometrically with realloc, so a whole document rebuilt into
// memory costs linear time and a large block grows in place.
class CDocText {
public:
    CDocText() = default;
    ~CDocText() { free(m_p); }
    CDocText(const CDocText&) = delete;
    CDocText& operator=(const CDocText&) = delete;

    void add(const char* s, int n)
    {
        if (n <= 0)
            return;
        size_t k = static_cast<size_t>(n);
        if (k >= m_cap - m_n)
            grow(k);
        memcpy(m_p + m_n, s, k);
        m_n += k;
    }
    void add(const char* s);
    void add(const CStringBuffer& s) { add(s.getBufferPointer(), s.length()); }
    void add(char c)
    {
        if (m_cap - m_n < 2)
            grow(1);
        m_p[m_n++] = c;
    }

    // Room for n more bytes, taken at once.
    void reserve(size_t n)
    {
        if (n >= m_cap - m_n)
            grow(n);
    }

    const char* data() const { return m_p ? m_p : ""; }
    int length() const { return static_cast<int>(m_n); }
    void clear() { m_n = 0; }
    void set(const char* s, int n)
    {
        m_n = 0;
        add(s, n);
    }
    void swap(CDocText& other)
    {
        std::swap(m_p, other.m_p);
        std::swap(m_n, other.m_n);
        std::swap(m_cap, other.m_cap);
    }

    // An empty buffer's first block, of about n bytes rather than the usual
    // 4 KB: a small fragment's block then comes from the allocator's cache.
    void presize(size_t n);

    // Hands the text over as a NUL-terminated heap block (free it with
    // free); the buffer starts afresh.
    char* take(int* pnLength);
    // Empties the buffer and gives large storage back.
    void reset();

private:
    void grow(size_t n);

    char* m_p = nullptr;
    size_t m_n = 0;
    size_t m_cap = 0;
};

// Escapes character data for a text node: "<", ">", "&", quotes and 0x1A as
// the text escape does, the dash and ellipsis characters as character
// references in UTF-8 text; highlight markers are not special here (a text
// that only looks like one is data). With bLineFeeds a carriage return is
// written as a line feed (as text values are read for output). Appends to out.
void escapeText(const char* p, int n, bool bUtf8, CDocText& out, bool bLineFeeds = false);
// Escapes an attribute value for a double-quoted attribute: "&", "<", '"',
// and tab, line feed and carriage return as character references so that
// they survive attribute-value normalisation when the text is parsed again.
void escapeAttribute(const char* p, int n, CDocText& out);

} // namespace vxexport
