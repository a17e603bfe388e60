// Entry points of the filter module and the request object's own operations.
#include "VORNxml.h"

#include <stdlib.h>
#include <string.h>

#include <exception>
#include <new>

#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/XMLException.hpp>

#include "VfxMemory.h"
#include "VfxStrings.h"

XERCES_CPP_NAMESPACE_USE

namespace {

// Parser messages are UTF-16; the module's texts are narrow. Only used where
// the parser library may not be usable, so ASCII is kept and the rest marked.
void narrow(const XMLCh* s, char* out, size_t size)
{
    size_t i = 0;
    for (; s && s[i] && i + 1 < size; ++i)
        out[i] = s[i] < 0x80 ? static_cast<char>(s[i]) : '?';
    if (size)
        out[i] = 0;
}

int failCall(filter_data* p, const char* pszEntry, const char* pszWhat)
{
    if (!p)
        return VX_FAILED;
    p->errorcode = VX_FAILED;
    snprintf(p->errortext, VX_ERRORTEXT_SIZE, "%s: internal error - %s", pszEntry, pszWhat);
    return VX_FAILED;
}

// One call: the request object lives exactly as long as the operation, and
// no exception reaches the kernel.
int runOperation(char* pszArg1, int (CVORNxml::*op)(), const char* pszEntry)
{
    auto* p = reinterpret_cast<filter_data*>(pszArg1);
    try {
        CVORNxml request(p);
        return (request.*op)();
    } catch (const std::bad_alloc&) {
        return failCall(p, pszEntry, "out of memory");
    } catch (const XMLException& e) {
        char text[200];
        narrow(e.getMessage(), text, sizeof text);
        return failCall(p, pszEntry, text);
    } catch (const std::exception& e) {
        return failCall(p, pszEntry, e.what());
    } catch (...) {
        return failCall(p, pszEntry, "unexpected exception");
    }
}

} // namespace

VX_EXPORT int vornxmlput(char* pszArg1, int* pnArg2)
{
    return runOperation(pszArg1, &CVORNxml::vornXmlPut, "vornxmlput");
}

VX_EXPORT int vornxmlget(char* pszArg1, int* pnArg2)
{
    return runOperation(pszArg1, &CVORNxml::vornXmlGet, "vornxmlget");
}

VX_EXPORT int vornxmlrelink(char* pszArg1, int* pnArg2)
{
    return runOperation(pszArg1, &CVORNxml::vornXmlRelink, "vornxmlrelink");
}

VX_EXPORT int vornxmlputblob(char* pszArg1, int* pnArg2)
{
    return runOperation(pszArg1, &CVORNxml::vornXmlPutBlob, "vornxmlputblob");
}

VX_EXPORT int vornxmlgetlinks(char* pszArg1, int* pnArg2)
{
    return runOperation(pszArg1, &CVORNxml::vornXmlGetLinks, "vornxmlgetlinks");
}

VX_EXPORT int vornxmlquery(char* pszArg1, int* pnArg2)
{
    return runOperation(pszArg1, &CVORNxml::vornXmlQuery, "vornxmlquery");
}

VX_EXPORT int vornxmlupdate(char* pszArg1, int* pnArg2)
{
    return runOperation(pszArg1, &CVORNxml::vornXmlUpdate, "vornxmlupdate");
}

// The filters that never write: the kernel runs them on a read snapshot, so
// retrievals and queries neither wait for a store nor hold one up.
VX_EXPORT int VdbFilterReadsOnly(const char* pszFilter)
{
    static const char* const readers[] = {"vornxmlget", "vornxmlgetlinks", "vornxmlquery"};
    for (const char* r : readers)
        if (pszFilter && strcmp(pszFilter, r) == 0)
            return 1;
    return 0;
}

VX_EXPORT int AseMain()
{
    return 26;
}

VX_EXPORT int main()
{
    return 0;
}

CVORNxml::CVORNxml(filter_data* p)
    // Short texts: small buffers, since a filter object is made for every call.
    : CFilterBase(p, true), m_strLinkDb(64), m_strXIncludeNs(16), m_strXLinkNs(16), m_pTfo(nullptr),
      m_pStreamData(nullptr), m_strDocEnc(64), m_strDocVer(16), m_strDocTxv(16)
{
    m_fieldCatalogue.activate();
    m_szBaseEncoding[0] = 0;
    m_szVornEncoding[0] = 0;
    m_szDocEncoding[0] = 0;

    setLoglevelKey("XML_LOG");
    setLogLevelUseKey();

    setVornEncoding();
    snprintf(m_szDocEncoding, sizeof m_szDocEncoding, "%s", "UTF-8");

    const char* noLinks = QueryRCS("XML_NOLINKS", 7);
    const char* links = QueryRCS("XML_LINKS", 7);
    if (atoi(noLinks ? noLinks : "0") == 0 && atoi(links ? links : "0") != 0) {
        const char* db = QueryRCS("XML_LINK_DB", 7);
        m_strLinkDb.set(db && *db ? db : "XML_LINK_DB");
    }
}

CVORNxml::~CVORNxml()
{
    delete m_pTfo;
    m_pTfo = nullptr;
    delete m_pStreamData;
    m_pStreamData = nullptr;
    m_fieldCatalogue.deactivate();
}

void CVORNxml::openCallLog(const char* pszLogName, const char* pszModule, bool bDebug)
{
    setLogFile(pszLogName);
    if (bDebug)
        logDebug(pszModule, "Entered.\n");
    else
        logInformation(pszModule, "Entered.\n");
}

bool CVORNxml::checkFilterData(const char* pszModule)
{
    if (m_pData)
        return true;
    logError(pszModule, 0, "VORNxml: Invalid call - null argument.");
    return false;
}

void CVORNxml::loadFieldCatalogue()
{
    if (!m_pData)
        return;
    VdbHandle rc = m_pData->record_control;
    CFieldInfo::init(rc);
    CFieldInfo::getFieldInfo("D_PROPNAME", rc);
    CFieldInfo::getFieldInfo("D_PROPVAL", rc);
    CFieldInfo::getFieldInfo("DAV_NONXMLBLOB", rc);
    CFieldInfo::getFieldInfo("D_ID", rc);
    CFieldInfo::getFieldInfo("D_DOCTEXT", rc, false, true, false);
}

bool CVORNxml::requireXmlDatabase(const char* pszModule)
{
    if (isXmlDatabase())
        return true;
    setError(VX_FAILED, "No XML database or no database opened.");
    logError(pszModule, 0, "No XML database or no database opened.");
    return false;
}

int CVORNxml::notAvailable(const char* pszEntry, const char* pszMissing)
{
    if (!m_pData)
        return VX_FAILED;
    setErrorText("%s is not available yet: %s is not built into this VORNxml module.", pszEntry, pszMissing);
    m_pData->errorcode = VX_FAILED;
    logError(pszEntry, 0, "%s", m_pData->errortext);
    return VX_FAILED;
}

int CVORNxml::initXerces()
{
    try {
        XMLPlatformUtils::Initialize();
    } catch (const XMLException& e) {
        char text[VX_ERRORTEXT_SIZE];
        narrow(e.getMessage(), text, sizeof text);
        int code = static_cast<int>(e.getCode());
        if (m_pData) {
            m_pData->errorcode = code;
            setErrorText("Initialization Error: %s", text);
        }
        logError("initXerces", code, "Initialization Error: %s", text);
        return code;
    }
    return 0;
}

void CVORNxml::deInitXerces()
{
    try {
        XMLPlatformUtils::Terminate();
    } catch (...) {
    }
}

bool CVORNxml::isXmlDatabase()
{
    if (!m_pData)
        return false;
    char name[64] = "";
    int flag = static_cast<int>(sizeof name);
    if (!(VdbRecordInfo(m_pData->record_control, 2, name, &flag) & 1))
        return false;
    char text[256] = "";
    flag = 0;
    int status = VdbBaseInfo(name, 1, text, &flag);
    return (status & 1) && flag == 1;
}

bool CVORNxml::isXmlDocument()
{
    CFieldInfo* f = CFieldInfo::getFieldInfo("DAV_NONXMLBLOB", m_pData ? m_pData->record_control : nullptr);
    if (!f || f->getNumber() < 1 || !m_pData)
        return true;
    VdbHandle cursor = nullptr;
    int size = 0;
    if (VdbSetCursor(&cursor, m_pData->record_control, f->getNumber(), 0, 0) & 1)
        VdbGetBlobSize(cursor, &size);
    if (cursor)
        VdbDeleteCursor(cursor);
    return size <= 0;
}

namespace {

// Position of the last '/', or without one of the last '\'; -1 for neither.
int lastSeparator(const CStringBuffer& s)
{
    int pos = s.findReverse('/');
    return pos >= 0 ? pos : s.findReverse('\\');
}

bool endsInSeparator(const CStringBuffer& s)
{
    return s.length() > 0 && (s[s.length() - 1] == '/' || s[s.length() - 1] == '\\');
}

} // namespace

void CVORNxml::parseUrl(const char* pszUrl, CStringBuffer& base, CStringBuffer& file, CStringBuffer& alias)
{
    base.clear();
    file.clear();
    alias.clear();
    CStringBuffer url;
    bool bHaveUrl = false;
    if (pszUrl) {
        url.set(pszUrl);
        bHaveUrl = true;
    } else {
        bHaveUrl = getFilterArgument("URL", url);
    }

    if (bHaveUrl) {
        int dot = url.findReverse('.');
        int sep = lastSeparator(url);
        if (dot >= 0 && sep < 0)
            file.set(url);
        else if (dot >= 0 && sep >= 0 && dot > sep)
            file.set(url.getBufferPointer() + sep + 1);
        if (sep >= 0) {
            base.set(url.getBufferPointer(), sep);
            if (endsInSeparator(base))
                base.set(base.getBufferPointer(), base.length() - 1);
        }
    } else if (m_pData && (m_pData->vdb_options & IEOPT_FILENAME) && !(m_pData->filter_options & FO_STREAM) &&
               m_pData->buffer) {
        CStringBuffer name(static_cast<const char*>(m_pData->buffer));
        int sep = lastSeparator(name);
        file.set(sep >= 0 ? name.getBufferPointer() + sep + 1 : name.getBufferPointer());
    } else if (m_pData) {
        char value[256];
        int len = 0;
        CFieldInfo* f = CFieldInfo::getFieldInfo("D_DOCNAME", m_pData->record_control);
        if (f && f->getNumber() > 0 && getPhraseValue("D_DOCNAME", 1, value, &len) == 1 && value[0])
            file.set(value);
        f = CFieldInfo::getFieldInfo("D_URLBASE", m_pData->record_control);
        if (f && f->getNumber() > 0 && getPhraseValue("D_URLBASE", 1, value, &len) == 1 && value[0])
            base.set(value);
    }

    CFieldInfo* aliasField = CFieldInfo::getFieldInfo("D_URLALIAS", m_pData ? m_pData->record_control : nullptr);
    if (!aliasField || aliasField->getNumber() < 1)
        return;
    char stored[256] = "";
    int len = 0;
    if (m_pData && getPhraseValue("D_URLALIAS", 1, stored, &len) == 1 && stored[0]) {
        alias.set(stored);
        return;
    }
    const char* sep = "/";
    if (endsInSeparator(base))
        sep = "";
    else if (base.find('\\') >= 0)
        sep = "\\";
    alias.set(base);
    alias.append(sep);
    alias.append(file);
}
