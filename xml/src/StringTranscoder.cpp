#include "StringTranscoder.h"

#include <stdlib.h>
#include <string.h>

#include <unicode/ucnv.h>

#include "VfxStrings.h"

namespace {

static_assert(sizeof(XMLCh) == sizeof(UChar), "parser and ICU UTF-16 units differ");

size_t utf16Length(const XMLCh* p)
{
    size_t n = 0;
    if (p)
        while (p[n])
            ++n;
    return n;
}

// Converter names are ASCII; other bytes cannot name a converter.
XMLCh* widen(const char* psz)
{
    size_t n = psz ? strlen(psz) : 0;
    auto* w = static_cast<XMLCh*>(calloc(n + 1, sizeof(XMLCh)));
    if (!w)
        return nullptr;
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(psz[i]);
        w[i] = c < 0x80 ? static_cast<XMLCh>(c) : static_cast<XMLCh>('?');
    }
    return w;
}

} // namespace

CStringTranscoder::CStringTranscoder() : CStringBuffer(), m_pszEncodingW(nullptr)
{
    m_szEncoding[0] = 0;
    setEncoding("UTF-8");
}

CStringTranscoder::CStringTranscoder(int nBlock) : CStringBuffer(nBlock), m_pszEncodingW(nullptr)
{
    m_szEncoding[0] = 0;
    setEncoding("UTF-8");
}

CStringTranscoder::CStringTranscoder(const char* pszText) : CStringBuffer(pszText), m_pszEncodingW(nullptr)
{
    m_szEncoding[0] = 0;
    setEncoding("UTF-8");
}

CStringTranscoder::~CStringTranscoder()
{
    free(m_pszEncodingW);
}

void CStringTranscoder::setEncoding(const char* pszName)
{
    snprintf(m_szEncoding, sizeof m_szEncoding, "%s", pszName ? pszName : "");
    free(m_pszEncodingW);
    m_pszEncodingW = widen(m_szEncoding);
}

void CStringTranscoder::setEncoding(const XMLCh* pszName)
{
    size_t n = utf16Length(pszName);
    auto* w = static_cast<XMLCh*>(calloc(n + 1, sizeof(XMLCh)));
    if (!w)
        return;
    if (n)
        memcpy(w, pszName, n * sizeof(XMLCh));
    free(m_pszEncodingW);
    m_pszEncodingW = w;
    // Keep the narrow name in step, for isUtf8 and messages.
    size_t i = 0;
    for (; i < n && i + 1 < sizeof m_szEncoding; ++i)
        m_szEncoding[i] = w[i] < 0x80 ? static_cast<char>(w[i]) : '?';
    m_szEncoding[i] = 0;
}

void CStringTranscoder::setLCPEncoding()
{
    setEncoding(ucnv_getDefaultName());
}

bool CStringTranscoder::isUtf8() const
{
    return VfxStrNoCaseEquals(m_szEncoding, "utf-8") || VfxStrNoCaseEquals(m_szEncoding, "utf8") ||
           VfxStrNoCaseEquals(m_szEncoding, "utf 8");
}

bool CStringTranscoder::fromUnicode(const XMLCh* psz, int nChars)
{
    if (nChars < 0 || (!psz && nChars > 0) || !m_pszEncodingW)
        return false;
    UErrorCode err = U_ZERO_ERROR;
    UConverter* cnv = ucnv_openU(reinterpret_cast<const UChar*>(m_pszEncodingW), &err);
    if (U_FAILURE(err))
        return false;
    // Three bytes per unit covers UTF-8; a wider target asks ICU for its size.
    int32_t cap = 3 * nChars + 1;
    char* out = static_cast<char*>(malloc(static_cast<size_t>(cap)));
    int32_t len = out ? ucnv_fromUChars(cnv, out, cap, reinterpret_cast<const UChar*>(psz), nChars, &err) : 0;
    if (out && err == U_BUFFER_OVERFLOW_ERROR) {
        free(out);
        cap = len + 1;
        out = static_cast<char*>(malloc(static_cast<size_t>(cap)));
        err = U_ZERO_ERROR;
        len = out ? ucnv_fromUChars(cnv, out, cap, reinterpret_cast<const UChar*>(psz), nChars, &err) : 0;
    }
    ucnv_close(cnv);
    bool ok = out && U_SUCCESS(err);
    if (ok)
        CStringBuffer::set(out, len);
    free(out);
    return ok;
}

bool CStringTranscoder::set(const XMLCh* psz)
{
    return fromUnicode(psz, static_cast<int>(utf16Length(psz)));
}

bool CStringTranscoder::fromUnicode(const char* pszUtf8, int nBytes)
{
    if (!pszUtf8)
        pszUtf8 = "";
    if (nBytes < 0)
        nBytes = static_cast<int>(strlen(pszUtf8));
    UErrorCode err = U_ZERO_ERROR;
    int32_t cap = 3 * nBytes + 1;
    char* out = static_cast<char*>(malloc(static_cast<size_t>(cap)));
    int32_t len = out ? ucnv_convert(m_szEncoding, "UTF-8", out, cap, pszUtf8, nBytes, &err) : 0;
    if (out && err == U_BUFFER_OVERFLOW_ERROR) {
        free(out);
        cap = len + 1;
        out = static_cast<char*>(malloc(static_cast<size_t>(cap)));
        err = U_ZERO_ERROR;
        len = out ? ucnv_convert(m_szEncoding, "UTF-8", out, cap, pszUtf8, nBytes, &err) : 0;
    }
    bool ok = out && U_SUCCESS(err);
    if (ok)
        CStringBuffer::set(out, len);
    free(out);
    return ok;
}
