// Files a document refers to, taken from the databases: the entity resolver
// and the DTD export that lets a parse be retried.
#include "VfxEntityResolver.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/framework/URLInputSource.hpp>
#include <xercesc/util/XMLException.hpp>

#include "StreamInputSource.h"
#include "VORNxml.h"
#include "VfxStrings.h"
#include "vornxerces.h"

XERCES_CPP_NAMESPACE_USE

namespace {

// DTD files written for the parses running on this thread, removed when the
// parse that needed them ends, so that no stale copy answers a later parse.
thread_local std::vector<std::string> t_exported;

int configInt(const char* key)
{
    const char* v = QueryRCS(key, 7);
    return v ? atoi(v) : -1;
}

const char* fileNameOf(const char* path)
{
    const char* slash = strrchr(path, '/');
    const char* back = strrchr(path, '\\');
    const char* sep = slash > back ? slash : back;
    return sep ? sep + 1 : path;
}

// A command word in the session's own spelling.
void symbol(CVORNxml* pXml, const char* word, char out[17])
{
    snprintf(out, 17, "%-16s", word);
    pXml->getShellSymbol(out);
}

// Set number and record count of the last search; 0 records when it made no set.
int lastSearch(int* pSet)
{
    int set = 0, records = 0, hits = 0;
    if (!(VdbGetSearch(&set, &records, &hits) & 1) || set <= 0)
        return 0;
    *pSet = set;
    return records;
}

} // namespace

size_t vxExportedFileMark()
{
    return t_exported.size();
}

void vxRemoveExportedFiles(size_t mark)
{
    while (t_exported.size() > mark) {
        unlink(t_exported.back().c_str());
        t_exported.pop_back();
    }
}

bool vxQuotedCondition(const char* pszField, const char* pszValue, CStringBuffer& strOut)
{
    const char* value = pszValue ? pszValue : "";
    char quote = 0;
    for (char q : {'\'', '"', '&'}) {
        if (!strchr(value, q)) {
            quote = q;
            break;
        }
    }
    if (!quote)
        return false;
    strOut.format("%s=%c%s%c", pszField, quote, value, quote);
    return true;
}

// ---------------------------------------------------------------------------

CVfxEntityResolver::CVfxEntityResolver(CVORNxml* pXml) : m_strLinkDb(64), m_pXml(pXml)
{
    int noLinks = configInt("XML_NOLINKS");
    int links = configInt("XML_LINKS");
    bool bUse = !(noLinks == 1 || (noLinks < 0 && links < 1));
    if (bUse) {
        const char* db = QueryRCS("XML_LINK_DB", 7);
        m_strLinkDb.set(db && *db ? db : "XML_LINK_DB");
        m_pXml->logInformation("CVfxEntityResolver", "Using link database %s\n", m_strLinkDb.getBufferPointer());
    } else {
        m_pXml->logInformation("CVfxEntityResolver", "Not using link database\n");
    }
}

CVfxEntityResolver::~CVfxEntityResolver() {}

InputSource* CVfxEntityResolver::resolveEntity(const XMLCh* const publicId, const XMLCh* const systemId)
{
    if (!systemId || !*systemId)
        return nullptr;
    std::string sysId = vxUtf8(systemId);
    const char* file = fileNameOf(sysId.c_str());
    filter_data* fd = m_pXml->getFilterData();

    InputSource* source = nullptr;
    if (m_strLinkDb.length() > 0)
        source = exportFromDatabase(m_strLinkDb, true, "URL", file, sysId.c_str());

    if (!source && fd) {
        char db[64] = "";
        int len = static_cast<int>(sizeof db);
        int status = VdbRecordInfo(fd->record_control, 2, db, &len);
        if (!(status & 1)) {
            m_pXml->logVornError(status, "CVfxEntityResolver::resolveEntity/VdbRecordInfo");
        } else {
            char text[256] = "";
            int flag = 0;
            status = VdbBaseInfo(db, 1, text, &flag);
            if (!(status & 1))
                m_pXml->logVornError(status, "CVfxEntityResolver::resolveEntity/VdbBaseInfo");
            if (flag != 1)
                m_pXml->logError("CVfxEntityResolver::resolveEntity", 0,
                                 "Current DB \"%s\" is not XML - entity export failed.\n", db);
            else
                source = exportFromDatabase(db, false, "D_URLALIAS", file, sysId.c_str());
        }
    }
    if (source)
        return source;

    if (VfxStrLenNoCaseEquals(sysId.c_str(), "http://", 7) && sysId.size() >= 7)
        return new URLInputSource(systemId);

    CStringBuffer url(256);
    if (fd && (fd->filter_options & FO_STREAM) && m_pXml->getFilterArgument("FILEURL", url)) {
        int slash = url.findReverse('/');
        if (slash >= 0 && strchr(url.getBufferPointer() + slash, '.'))
            url.set(url.getBufferPointer(), slash + 1);
        url.append(sysId.c_str());
        m_pXml->logDebug("CVfxEntityResolver::resolveEntity", "Creating URLInputSource for \"%s\"\n",
                         url.getBufferPointer());
        return vxNewStreamSource(url);
    }
    m_pXml->logDebug("CVfxEntityResolver::resolveEntity", "Using default parser action to retrieve %s\n",
                     sysId.c_str());
    return nullptr;
}

InputSource* CVfxEntityResolver::exportFromDatabase(const char* pszDbName, bool isLinkDb, const char* pszCompField,
                                                    const char* pszFile, const char* pszSysId)
{
    VdbSaveStatus();
    InputSource* result = nullptr;
    do {
        char bas[17], fin[17];
        symbol(m_pXml, "BAS", bas);
        symbol(m_pXml, "FIN", fin);
        CStringBuffer cond(256);
        if (!vxQuotedCondition(pszCompField, pszFile, cond))
            break;
        int status = m_pXml->executeCCL("%s %s", bas, pszDbName);
        if (status & 1)
            status = m_pXml->executeCCL("%s %s", fin, cond.getBufferPointer());
        if (!(status & 1)) {
            m_pXml->logVornError(status, "CVfxEntityResolver/executeCCL");
            break;
        }
        int set = 0;
        int records = lastSearch(&set);
        // A file stored under a URL with a directory is found by its name.
        if (records < 1 && !isLinkDb && strcmp(pszCompField, "D_URLALIAS") == 0 &&
            vxQuotedCondition("D_DOCNAME", pszFile, cond) && (m_pXml->executeCCL("%s %s", fin, cond.getBufferPointer()) & 1))
            records = lastSearch(&set);
        if (records > 1 && vxQuotedCondition(pszCompField, pszSysId, cond) &&
            (m_pXml->executeCCL("%s %s", fin, cond.getBufferPointer()) & 1)) {
            int set2 = 0;
            int records2 = lastSearch(&set2);
            if (records2 > 0) {
                set = set2;
                records = records2;
            }
        }
        if (records < 1) {
            m_pXml->logWarning("CVfxEntityResolver", 0, "Referred file \"%s\" not found in any database.", pszSysId);
            break;
        }

        if (isLinkDb) {
            VdbHandle control = nullptr;
            char db[64] = "", id[256] = "";
            if (VdbCreateRecordControl(&control) & 1) {
                int rid = 0;
                char base[64] = "";
                if (VdbGetRecordInSearchRis(control, set, records, &rid, base) & 1) {
                    int len = static_cast<int>(sizeof db);
                    m_pXml->ReadField(control, "DB", 0, db, &len);
                    len = static_cast<int>(sizeof id);
                    m_pXml->ReadField(control, "ID", 0, id, &len);
                }
                VdbDeleteRecordControl(control);
            }
            if (db[0] && id[0])
                result = exportFromDatabase(db, false, "D_ID", id, pszSysId);
            break;
        }

        filter_data fd;
        memset(&fd, 0, sizeof fd);
        if (!(VdbCreateRecordControl(&fd.record_control) & 1))
            break;
        char base[64] = "";
        int rid = 0;
        XMLByte* content = nullptr;
        XMLSize_t length = 0;
        if (VdbGetRecordInSearchRis(fd.record_control, set, records, &rid, base) & 1) {
            int number = 0, type = 0, flags = 0, size = 0;
            VdbHandle blob = nullptr;
            if ((VdbCheckField(fd.record_control, "DAV_NONXMLBLOB", &number, &type, &flags) & 1) &&
                (VdbSetCursor(&blob, fd.record_control, number, 0, 0) & 1))
                VdbGetBlobSize(blob, &size);
            if (size > 0) {
                // A document stored as non-XML (a DTD, a text) is its blob.
                // The input source that adopts the buffer frees it with delete[].
                content = new XMLByte[static_cast<size_t>(size) + 10]();
                int got = 0;
                if (VdbGetBlobBlock(blob, 1, size, reinterpret_cast<char*>(content), &got) & 1)
                    length = static_cast<XMLSize_t>(got);
            } else {
                fd.vdb_options = IEOPT_MEMORY | EXPORT_ALLOC;
                snprintf(fd.filter_name, sizeof fd.filter_name, "%s", "vornxmlget");
                int st = VdbExport(&fd);
                if ((st & 1) && fd.buffer && fd.buffer_length > 0) {
                    length = static_cast<XMLSize_t>(fd.buffer_length);
                    content = new XMLByte[length + 1]();
                    memcpy(content, fd.buffer, length);
                }
                free(fd.buffer);
                fd.buffer = nullptr;
            }
            if (blob)
                VdbDeleteCursor(blob);
        }
        if (fd.cursor)
            VdbDeleteCursor(fd.cursor);
        VdbDeleteRecordControl(fd.record_control);
        if (content && length > 0) {
            m_pXml->logInformation("exportFromDatabase", "Referred file \"%s\" exported from database %s\n", pszSysId,
                                   base);
            std::u16string wid = vxUtf16(pszSysId);
            result = new MemBufInputSource(content, length, wid.c_str(), true);
        } else {
            delete[] content;
        }
    } while (false);
    VdbLoadStatus(3);
    return result;
}

// ---------------------------------------------------------------------------

bool CVORNxml::exportDtd(char* pszFileName)
{
    if (!pszFileName)
        return false;
    const char* name = fileNameOf(pszFileName);
    if (!*name || strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
        return false;
    // The working directory is the shared /tmp: write only a file made here
    // (never through a link planted there, never over someone's file).
    int fdOut = open(name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fdOut < 0) {
        logError("exportDtd", errno, "Cannot create the DTD file \"%s\": %s\n", name, strerror(errno));
        return false;
    }
    FILE* fp = fdopen(fdOut, "w");
    if (!fp) {
        close(fdOut);
        return false;
    }
    char path[2048];
    char cwd[1024];
    snprintf(path, sizeof path, "%s/%s", getcwd(cwd, sizeof cwd) ? cwd : ".", name);
    t_exported.push_back(path);

    bool bFound = true;
    char db[64] = "";
    int len = static_cast<int>(sizeof db);
    if (m_pData && (VdbRecordInfo(m_pData->record_control, 2, db, &len) & 1)) {
        // Searching here must not cost the caller its open base and sets.
        VdbSaveStatus();
        char bas[17], fin[17], del[17];
        symbol(this, "BAS", bas);
        symbol(this, "FIN", fin);
        symbol(this, "DEL", del);
        executeCCL("%s %s", bas, db);
        executeCCL("%s S=0", del);
        CStringBuffer cond(256);
        int records = 0, set = 0;
        if (vxQuotedCondition("D_URLALIAS", name, cond) && (executeCCL("%s %s", fin, cond.getBufferPointer()) & 1))
            records = lastSearch(&set);
        // A DTD stored under a URL with a directory is found by its name.
        if (records < 1 && vxQuotedCondition("D_DOCNAME", name, cond) &&
            (executeCCL("%s %s", fin, cond.getBufferPointer()) & 1))
            records = lastSearch(&set);
        if (records == 1) {
            VdbHandle control = nullptr;
            if (VdbCreateRecordControl(&control) & 1) {
                int rid = 0;
                if (VdbGetRecordInSearchRis(control, set, 1, &rid, nullptr) & 1) {
                    executeCCL("%s S=0", del);
                    int number = 0, type = 0, flags = 0;
                    VdbHandle blob = nullptr;
                    if ((VdbCheckField(control, "DAV_NONXMLBLOB", &number, &type, &flags) & 1) &&
                        (VdbSetCursor(&blob, control, number, 0, 0) & 1)) {
                        char block[8192];
                        int got = 0;
                        for (int k = 1; (VdbGetBlobBlock(blob, k, sizeof block, block, &got) & 1) && got > 0; ++k)
                            fwrite(block, 1, static_cast<size_t>(got), fp);
                    }
                    if (blob)
                        VdbDeleteCursor(blob);
                }
                VdbDeleteRecordControl(control);
            }
        } else if (records > 1) {
            executeCCL("%s S=0", del);
            logWarning("exportDtd", 0, "WARNING: Duplicate DTDs found in database. Using dummy file.");
        } else {
            bFound = false;
        }
        VdbLoadStatus(3);
    }
    fclose(fp);
    if (!bFound) {
        // An empty stand-in would only turn a missing DTD into confusing
        // validation errors.
        logWarning("exportDtd", 0, "DTD \"%s\" not found in database.", name);
        unlink(path);
        t_exported.pop_back();
        return false;
    }
    return true;
}
