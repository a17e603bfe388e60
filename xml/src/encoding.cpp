// Output encoding (ICU) and XML escapes of the request object.
#include <stdlib.h>
#include <string.h>

#include <unicode/ucnv.h>

#include "VORNxml.h"
#include "VfxMemory.h"
#include "VfxStrings.h"

namespace {

// Code points written as character references in UTF-8 text.
const unsigned int g_codepoints[] = {0x2010, 0x2012, 0x2013, 0x2014, 0x2015, 0x2026, 0xFE60, 0xFF06, 0};

bool isEscapedCodePoint(unsigned int cp)
{
    for (const unsigned int* p = g_codepoints; *p; ++p)
        if (*p == cp)
            return true;
    return false;
}

bool startsWithU(const char* name)
{
    return name && (name[0] == 'U' || name[0] == 'u');
}

bool isUtf8Name(const char* name)
{
    return VfxStrNoCaseEquals(name, "UTF-8") || VfxStrNoCaseEquals(name, "UTF8");
}

bool isUtf8DocEncoding(const char* name)
{
    return VfxStrNoCaseEquals(name, "utf-8") || VfxStrNoCaseEquals(name, "utf8") ||
           VfxStrNoCaseEquals(name, "utf 8");
}

bool isCp1252Pair(const char* a, const char* b)
{
    return (VfxStrNoCaseEquals(a, "Cp1252") && VfxStrNoCaseEquals(b, "windows-1252")) ||
           (VfxStrNoCaseEquals(a, "windows-1252") && VfxStrNoCaseEquals(b, "Cp1252"));
}

// ucnv_convert into a heap block of nFactor * nLength bytes (plus a
// terminator); a target that needs more is converted again at the size ICU
// reports. Null on any ICU error.
char* convert(const char* to, const char* from, const char* data, int nLength, int nFactor, int* pnOut)
{
    if (nLength < 0 || nLength > (0x7fffffff - 16) / nFactor)
        return nullptr;
    UErrorCode err = U_ZERO_ERROR;
    int32_t cap = nFactor * nLength + 1;
    auto* out = static_cast<char*>(VfxMemAlloc(static_cast<size_t>(cap)));
    if (!out)
        return nullptr;
    int32_t len = ucnv_convert(to, from, out, cap, data, nLength, &err);
    if (err == U_BUFFER_OVERFLOW_ERROR && len < 0x7fffffff) {
        VfxMemFree(out);
        cap = len + 1;
        out = static_cast<char*>(VfxMemAlloc(static_cast<size_t>(cap)));
        if (!out)
            return nullptr;
        err = U_ZERO_ERROR;
        len = ucnv_convert(to, from, out, cap, data, nLength, &err);
    }
    if (U_FAILURE(err)) {
        VfxMemFree(out);
        return nullptr;
    }
    *pnOut = len;
    return out;
}

} // namespace

bool CVORNxml::encodeOutput(const char* pszTarget, const char* pData, int nLength, CStringBuffer& strOut)
{
    if (!pData)
        pData = "";
    if (nLength < 0)
        nLength = static_cast<int>(strlen(pData));
    bool sessionUtf = startsWithU(m_szVornEncoding);
    bool baseUtf = startsWithU(m_szBaseEncoding);
    bool needed = true;
    if (sessionUtf && isUtf8Name(pszTarget))
        needed = false;
    else if (!sessionUtf && !baseUtf)
        needed = false;
    else if (VfxStrNoCaseEquals(pszTarget, m_szVornEncoding) || isCp1252Pair(pszTarget, m_szVornEncoding))
        needed = false;
    if (!needed || nLength == 0) {
        if (pData != strOut.getBufferPointer())
            strOut.set(pData, nLength);
        return true;
    }
    logDebug("CVORNxml::encodeOutput", "Converting from %s to %s\n", m_szVornEncoding, pszTarget ? pszTarget : "");
    int len = 0;
    char* out = convert(pszTarget ? pszTarget : "", m_szVornEncoding, pData, nLength, 3, &len);
    if (!out) {
        if (pData != strOut.getBufferPointer())
            strOut.set(pData, nLength);
        return false;
    }
    strOut.set(out, len);
    VfxMemFree(out);
    return true;
}

bool CVORNxml::encodeOutput(const char* pData, int nLength, CStringBuffer& strOut)
{
    return encodeOutput(m_szDocEncoding, pData, nLength, strOut);
}

bool CVORNxml::encodeOutput(const char* pszTarget, CStringBuffer& strText)
{
    CStringBuffer out(strText.length() + 16);
    bool ok = encodeOutput(pszTarget, strText.getBufferPointer(), strText.length(), out);
    strText.set(out);
    return ok;
}

bool CVORNxml::encodeOutput(CStringBuffer& strText)
{
    if (!m_szDocEncoding[0])
        return false;
    return encodeOutput(m_szDocEncoding, strText);
}

bool CVORNxml::reEncode(const char* pszFrom, const char* pszTo, char** ppData, int* pnLength)
{
    if (!ppData || !pnLength || !*ppData || *pnLength < 0)
        return false;
    logDebug("CVORNxml::reEncode", "Converting from %s to %s\n", pszFrom ? pszFrom : "", pszTo ? pszTo : "");
    int len = 0;
    char* out = convert(pszTo ? pszTo : "", pszFrom ? pszFrom : "", *ppData, *pnLength, 4, &len);
    if (!out)
        return false;
    VfxMemFree(*ppData);
    *ppData = out;
    *pnLength = len;
    return true;
}

void CVORNxml::escapeXml(CStringBuffer& strText)
{
    static const char kMarker[] = "<VORNHL";
    const bool utf8 = isUtf8DocEncoding(m_szDocEncoding);
    const auto* p = reinterpret_cast<const unsigned char*>(strText.getBufferPointer());
    const int n = strText.length();
    CStringBuffer out(n + n / 4 + 64);
    int i = 0;
    while (i < n) {
        unsigned char c = p[i];
        if (c == '<' && n - i >= 7 && memcmp(p + i, kMarker, 7) == 0) {
            // Highlight markers pass as they are.
            const char* end = nullptr;
            for (int j = i + 7; j + 1 < n; ++j)
                if (p[j] == '/' && p[j + 1] == '>') {
                    end = reinterpret_cast<const char*>(p + j + 2);
                    break;
                }
            if (!end) {
                out.append(reinterpret_cast<const char*>(p + i), n - i);
                break;
            }
            int len = static_cast<int>(reinterpret_cast<const unsigned char*>(end) - (p + i));
            out.append(reinterpret_cast<const char*>(p + i), len);
            i += len;
            continue;
        }
        if (c < 0x80 || !utf8) {
            switch (c) {
            case '<': out.append("&lt;", 4); break;
            case '>': out.append("&gt;", 4); break;
            case '&': out.append("&amp;", 5); break;
            case '"': out.append("&quot;", 6); break;
            case '\'': out.append("&apos;", 6); break;
            case 0x1A: out.append("&#x3F;", 6); break;
            default: out.append(reinterpret_cast<const char*>(p + i), 1); break;
            }
            ++i;
            continue;
        }
        // A UTF-8 sequence; one that is not well formed is one byte.
        int extra = 0;
        unsigned int cp = 0;
        if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            cp = c & 0x07;
        }
        bool ok = extra > 0 && i + extra < n;
        for (int k = 1; ok && k <= extra; ++k) {
            unsigned char cc = p[i + k];
            if (cc < 0x80 || cc > 0xBF)
                ok = false;
            else
                cp = (cp << 6) | (cc & 0x3F);
        }
        if (!ok) {
            out.append(reinterpret_cast<const char*>(p + i), 1);
            ++i;
            continue;
        }
        if (isEscapedCodePoint(cp)) {
            char ref[16];
            snprintf(ref, sizeof ref, cp < 0x100 ? "&#x%02X;" : "&#x%04X;", cp);
            out.append(ref);
        } else {
            out.append(reinterpret_cast<const char*>(p + i), extra + 1);
        }
        i += extra + 1;
    }
    strText.set(out);
}
