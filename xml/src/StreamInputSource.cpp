// Parser input over the file streamer's pull reader.
#include "StreamInputSource.h"

#include <strings.h>

#include <xercesc/framework/URLInputSource.hpp>
#include <xercesc/util/XMLNetAccessor.hpp>

#include "filexmit.h"
#include "vornxerces.h"

using namespace xercesc;

namespace {

class CStreamBinInputStream : public BinInputStream {
public:
    CStreamBinInputStream(FTMReadStream* pStream, const std::string& strUrl)
        : m_pStream(pStream), m_strUrl(strUrl), m_nPos(0)
    {
    }
    ~CStreamBinInputStream() override { VfxFTMReadClose(m_pStream); }
    CStreamBinInputStream(const CStreamBinInputStream&) = delete;
    CStreamBinInputStream& operator=(const CStreamBinInputStream&) = delete;

    XMLFilePos curPos() const override { return m_nPos; }

    XMLSize_t readBytes(XMLByte* const toFill, const XMLSize_t maxToRead) override
    {
        int want = maxToRead > FTM_BLOCK_SIZE ? FTM_BLOCK_SIZE : static_cast<int>(maxToRead);
        int got = 0;
        if (VfxFTMReadData(m_pStream, toFill, want, &got) != 0) {
            // A document cut short must not parse as a shorter one.
            std::u16string wurl = vxUtf16(m_strUrl.c_str());
            ThrowXML1(NetAccessorException, XMLExcepts::NetAcc_ReadSocket, wurl.c_str());
        }
        m_nPos += static_cast<XMLFilePos>(got);
        return static_cast<XMLSize_t>(got);
    }

    const XMLCh* getContentType() const override { return nullptr; }

private:
    FTMReadStream* m_pStream;
    std::string m_strUrl;
    XMLFilePos m_nPos;
};

} // namespace

CStreamInputSource::CStreamInputSource(const char* pszUrl) : m_strUrl(pszUrl ? pszUrl : "")
{
    std::u16string wurl = vxUtf16(m_strUrl.c_str());
    setSystemId(wurl.c_str());
}

BinInputStream* CStreamInputSource::makeStream() const
{
    FTMReadStream* pStream = nullptr;
    if (VfxFTMReadOpen(&pStream, m_strUrl.c_str()) != 0)
        return nullptr;
    return new CStreamBinInputStream(pStream, m_strUrl);
}

InputSource* vxNewStreamSource(const char* pszUrl)
{
    if (pszUrl && strncasecmp(pszUrl, "http://", 7) == 0)
        return new CStreamInputSource(pszUrl);
    std::u16string wurl = vxUtf16(pszUrl ? pszUrl : "");
    return new URLInputSource(wurl.c_str());
}
