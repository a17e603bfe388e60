// Parser input fetched from the file streamer: the document (or a file
// beside it) is pulled block by block as the parser asks for it, never held
// whole.
#pragma once

#include <string>

#include <xercesc/sax/InputSource.hpp>
#include <xercesc/util/BinInputStream.hpp>

class CStreamInputSource : public xercesc::InputSource {
public:
    // url: a stream URL ("http://host:port/name"), also the system identifier.
    explicit CStreamInputSource(const char* pszUrl);
    // Null when the fetch cannot start (the parser then reports that it could
    // not open the entity, naming the URL).
    xercesc::BinInputStream* makeStream() const override;

private:
    std::string m_strUrl;
};

// The input source for a stream URL: pulled through the streamer for
// "http://" URLs (the parser library's own URL input fails on documents
// larger than one transfer block), the library's URL input for the others.
xercesc::InputSource* vxNewStreamSource(const char* pszUrl);
