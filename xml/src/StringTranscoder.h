// CStringTranscoder: a text buffer holding text converted from the parser's
// UTF-16 (or from UTF-8) into a chosen encoding, with ICU.
#pragma once

#include <xercesc/util/XercesDefs.hpp>

#include "StringBuffer.h"

class CStringTranscoder : public CStringBuffer {
public:
    enum { ENCODING_SIZE = 64 };

    CStringTranscoder();
    explicit CStringTranscoder(int nBlock);
    CStringTranscoder(const char* pszText);
    ~CStringTranscoder() override;
    CStringTranscoder(const CStringTranscoder&) = delete;
    CStringTranscoder& operator=(const CStringTranscoder&) = delete;

    // The target encoding (an ICU converter name); "UTF-8" after construction.
    void setEncoding(const char* pszName);
    void setEncoding(const XMLCh* pszName);
    // The platform's default code page.
    void setLCPEncoding();
    const char* getEncoding() const { return m_szEncoding; }
    bool isUtf8() const;

    // Replace the text by the conversion of nChars UTF-16 units; false (text
    // unchanged) when ICU fails, for example for an unknown encoding name.
    bool fromUnicode(const XMLCh* psz, int nChars);
    bool Transcode(const XMLCh* psz, int nChars) { return fromUnicode(psz, nChars); }
    // Up to the terminating 0; null counts as empty.
    bool set(const XMLCh* psz);
    using CStringBuffer::set;
    // The same from UTF-8 text (nBytes < 0: up to the terminating 0).
    bool fromUnicode(const char* pszUtf8, int nBytes);

protected:
    XMLCh* m_pszEncodingW;
    char m_szEncoding[ENCODING_SIZE];
};
