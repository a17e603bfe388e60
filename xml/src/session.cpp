// Session services of the request object: CCL in the caller's session,
// character sets, single field values, properties, clearing a record.
#include <ctype.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "VORNxml.h"
#include "VfxStrings.h"

namespace {

// Longest command the kernel's command record holds (plus its terminator).
const int kShinSize = 400;

const char* sessionEncodingName(int code)
{
    switch (code) {
    case 2: return "LATIN-2";
    case 3: return "LATIN-3";
    case 16: return "UTF-8";
    case 17: return "GB-2312";
    case 18: return "GBK";
    case 19: return "EUC-JP";
    case 20: return "SHIFT-JIS";
    default: return "Cp1252";
    }
}

// Null for a code the database table does not know.
const char* baseEncodingName(int code)
{
    switch (code) {
    case 1: return "Cp1252";
    case 2: return "LATIN-2";
    case 3: return "LATIN-3";
    case 16: return "UTF-8";
    case 17: return "GB-2312";
    case 18: return "GBK";
    case 19: return "EUC-JP";
    case 20: return "SHIFT-JIS";
    default: return nullptr;
    }
}

const char* charsValueEncodingName(const char* v)
{
    if (!v)
        return "Cp1252";
    if (strcmp(v, "CHI") == 0)
        return "GB-2312";
    if (strcmp(v, "GBK") == 0)
        return "GBK";
    if (strcmp(v, "EUC") == 0)
        return "EUC-JP"; // the Japanese EUC converter; there is no "EUC-JS"
    if (strncmp(v, "SJI", 3) == 0 || strcmp(v, "JIS") == 0)
        return "SHIFT-JIS";
    if (strcmp(v, "UTF") == 0)
        return "UTF-8";
    if (strcmp(v, "LA2") == 0)
        return "LATIN-2";
    if (strcmp(v, "LA3") == 0)
        return "LATIN-3";
    return "Cp1252";
}

// The identity of a stored document and its properties survive a clear, so
// that it can be found and stored again under the same identity.
bool keptByClear(const char* name)
{
    static const char* const kKept[] = {"D_DOCNAME", "D_DOCBASE", "D_URLBASE", "D_URLALIAS",
                                        "D_ID",      "D_PROPNAME", "D_PROPVAL"};
    for (const char* k : kKept)
        if (VfxCompareNoCase(name, k) == 0)
            return true;
    return false;
}

} // namespace

int CVORNxml::executeCCL(const char* pszFormat, ...)
{
    shell_dao_rec* rec = nullptr;
    int status = VdbShellDaoPtr(&rec);
    if (!(status & 1) || !rec)
        return status;
    char command[kShinSize];
    va_list args;
    va_start(args, pszFormat);
    int n = vsnprintf(command, sizeof command, pszFormat, args);
    va_end(args);
    if (n < 0 || n >= kShinSize) {
        // A cut command would run a different search: refuse it.
        setErrorText("CCL command too long (%d bytes, at most %d): %.80s...", n, kShinSize - 1, command);
        logError("CVORNxml::executeCCL", VDB_BADARG, "CCL command too long (%d bytes, at most %d): %s", n,
                 kShinSize - 1, command);
        return VDB_BADARG;
    }
    rec->shinlen = kShinSize;
    memset(rec->shin, 0, sizeof rec->shin);
    memcpy(rec->shin, command, static_cast<size_t>(n));
    status = VdbShellToDao(rec);
    if (!(status & 1))
        return status;
    return VdbDaoOrder(rec);
}

int CVORNxml::getShellSymbol(char* pszSymbol)
{
    char area[17];
    memset(area, ' ', 16);
    area[16] = 0;
    for (int i = 0; pszSymbol && i < 16 && pszSymbol[i]; ++i)
        area[i] = static_cast<char>(toupper(static_cast<unsigned char>(pszSymbol[i])));
    int length = 17;
    int status = VdbShellSymbol(area, &length);
    if ((status & 1) && length >= 0 && length < 17)
        area[length] = 0;
    if (pszSymbol)
        memcpy(pszSymbol, area, strlen(area) + 1);
    return status;
}

void CVORNxml::setVornEncoding()
{
    int code = 0;
    char text[256] = "";
    if (!(VdbSessionInfo(10, text, &code) & 1))
        code = 0;
    snprintf(m_szVornEncoding, sizeof m_szVornEncoding, "%s", sessionEncodingName(code));

    const char* base = nullptr;
    if (m_pData) {
        char name[64] = "";
        int len = static_cast<int>(sizeof name);
        int baseCode = 0;
        if ((VdbRecordInfo(m_pData->record_control, 2, name, &len) & 1) && (VdbBaseInfo(name, 7, text, &baseCode) & 1))
            base = baseEncodingName(baseCode);
    }
    if (!base)
        base = charsValueEncodingName(QueryRCS("VDBS_CHARS", 7));
    snprintf(m_szBaseEncoding, sizeof m_szBaseEncoding, "%s", base);
}

bool CVORNxml::isUnicodeSession()
{
    int code = 0;
    char text[256];
    return (VdbSessionInfo(10, text, &code) & 1) && code == 16;
}

int CVORNxml::getPhraseValue(const char* pszField, long nItem, char* pszValue, int* pnLength)
{
    if (pszValue)
        pszValue[0] = 0;
    if (!m_pData)
        return 0;
    CFieldInfo* f = CFieldInfo::getFieldInfo(pszField, m_pData->record_control);
    if (!f || f->getNumber() < 1)
        return 0;
    VdbHandle cursor = nullptr;
    int status = VdbSetCursor(&cursor, m_pData->record_control, f->getNumber(), 0, static_cast<int>(nItem));
    if (!(status & 1)) {
        if (cursor)
            VdbDeleteCursor(cursor);
        return logVornError(status, "CVORNxml::getPhraseValue/VdbSetCursor");
    }
    char area[256];
    memset(area, 0, sizeof area);
    int length = 0;
    int result = VdbGetLine(cursor, area, &length, 250);
    VdbDeleteCursor(cursor);
    if (length < 0)
        length = 0;
    if (length > 250)
        length = 250;
    area[length] = 0;
    if (result == 0)
        result = -1;
    if (pnLength)
        *pnLength = length;
    if (result < 0 || result > 32)
        return result;

    CStringBuffer converted;
    if (encodeOutput(area, length, converted)) {
        int n = converted.length() > 255 ? 255 : converted.length();
        if (pszValue) {
            memcpy(pszValue, converted.getBufferPointer(), static_cast<size_t>(n));
            pszValue[n] = 0;
        }
        if (pnLength)
            *pnLength = n;
    } else if (pszValue) {
        memcpy(pszValue, area, static_cast<size_t>(length) + 1);
    }
    return 1;
}

int CVORNxml::getPhraseValue(const char* pszField, long nItem, CStringBuffer& strValue)
{
    char* scratch = strValue.getBufferSetLength(256);
    int length = 0;
    int result = getPhraseValue(pszField, nItem, scratch, &length);
    // -1 (no value) is odd too, but it is no value to copy.
    strValue.releaseBuffer(result > 0 && (result & 1) != 0, length);
    return result;
}

int CVORNxml::getIntValue(const char* pszField, long nItem, long* pnValue)
{
    char value[256];
    int length = 0;
    int result = getPhraseValue(pszField, nItem, value, &length);
    if (result == 1 && pnValue)
        *pnValue = atol(value);
    return result;
}

int CVORNxml::setFieldValue(const char* pszField, int nIndex, const char* pszValue, int nLength)
{
    if (!m_pData)
        return 0;
    VdbHandle rc = m_pData->record_control;
    CFieldInfo* f = CFieldInfo::getFieldInfo(pszField, rc);
    if (!f || f->getNumber() < 1) {
        logError("setFieldValue", 0, "Field %s not found.\n", pszField ? pszField : "");
        return 0;
    }
    VdbHandle cursor = nullptr;
    int status;
    if (f->isPartField()) {
        status = VdbSetRecordPart(&cursor, rc, nIndex);
        if (!(status & 1)) {
            if (cursor)
                VdbDeleteCursor(cursor);
            return vornError(status, "CVORNxml::setFieldValue/VdbSetRecordPart");
        }
    }
    if (f->isTextField())
        status = VdbSetCursor(&cursor, rc, f->getNumber(), nIndex, 0);
    else
        status = VdbSetCursor(&cursor, rc, f->getNumber(), 0, nIndex);
    if (!(status & 1)) {
        if (cursor)
            VdbDeleteCursor(cursor);
        return vornError(status, "CVORNxml::setFieldValue/VdbSetCursor");
    }
    if (!pszValue)
        pszValue = "";
    int length = nLength < 0 ? static_cast<int>(strlen(pszValue)) : nLength;
    int cap;
    switch (f->getType()) {
    case VDB_FT_TEXT: cap = 32000; break;
    case VDB_FT_INTEGER:
    case VDB_FT_NUMBER:
    case VDB_FT_DATE:
    case VDB_FT_TIME: cap = 30; break;
    default: cap = 256; break;
    }
    if (length > cap)
        length = cap;
    status = VdbReplaceItem(cursor, pszValue, length);
    VdbDeleteCursor(cursor);
    return status;
}

void CVORNxml::setProperty(const char* pszName, const char* pszValue)
{
    if (!pszName)
        return;
    if (strcmp(pszName, "xmlencoding") == 0)
        snprintf(m_szDocEncoding, sizeof m_szDocEncoding, "%s", pszValue ? pszValue : "");
    VdbHandle rc = m_pData ? m_pData->record_control : nullptr;
    CFieldInfo* names = CFieldInfo::getFieldInfo("D_PROPNAME", rc);
    CFieldInfo* values = CFieldInfo::getFieldInfo("D_PROPVAL", rc);
    if (!m_pData || !names || names->getNumber() < 1 || !values || values->getNumber() < 1) {
        logError("setProperty", 0, "Failed to set property \"%s\" - field not found.\n", pszName);
        return;
    }
    int count = 0;
    VdbHandle cursor = nullptr;
    if (VdbSetCursor(&cursor, rc, names->getNumber(), 0, 0) & 1)
        VdbItemCount(cursor, &count);
    if (cursor)
        VdbDeleteCursor(cursor);
    CStringBuffer name(256);
    for (int i = 1; i <= count; ++i) {
        if (getPhraseValue("D_PROPNAME", i, name) == 1 && name.compareNoCase(pszName) == 0) {
            setFieldValue("D_PROPVAL", i, pszValue, -1);
            return;
        }
    }
    setFieldValue("D_PROPNAME", count + 1, pszName, -1);
    setFieldValue("D_PROPVAL", count + 1, pszValue, -1);
}

int CVORNxml::getProperty(const char* pszName, CStringBuffer& strValue)
{
    VdbHandle rc = m_pData ? m_pData->record_control : nullptr;
    CFieldInfo* names = CFieldInfo::getFieldInfo("D_PROPNAME", rc);
    if (!m_pData || !names || names->getNumber() < 1) {
        logError("getProperty", 0, "Failed to get property \"%s\" - field not found.\n", pszName ? pszName : "");
        return 0;
    }
    // Properties are written as items 1, 2, ...: read in place from there,
    // a property found before the first gap is the one the full walk finds,
    // without counting the items of a large record.
    CFieldInfo* values = CFieldInfo::getFieldInfo("D_PROPVAL", rc);
    const int fields[2] = {names->getNumber(), values ? values->getNumber() : 0};
    const int asked = fields[1] > 0 ? 2 : 1;
    // As getPhraseValue gives a value: cut to its area, converted for output.
    auto phraseOf = [this](const char* p, int n, CStringBuffer& out) {
        if (n > 250)
            n = 250;
        CStringBuffer converted;
        if (encodeOutput(p, n, converted))
            out.set(converted.getBufferPointer(), converted.length() > 255 ? 255 : converted.length());
        else
            out.set(p, n);
    };
    CStringBuffer name(256);
    int from = 1;
    for (;; ++from) {
        const char* v[2] = {nullptr, nullptr};
        int n[2] = {-1, -1};
        if (!(VdbGetNodeValues(rc, from, 1, asked, fields, v, n) & 1))
            break;
        if (!v[0] || n[0] < 0) {
            ++from;  // missing: the walk below goes on after it
            break;
        }
        // Copied first: the views last until the next kernel call.
        const std::string value = asked == 2 && v[1] && n[1] >= 0 ? std::string(v[1], static_cast<size_t>(n[1])) : "";
        const bool hasValue = asked == 2 && v[1] && n[1] >= 0;
        phraseOf(v[0], n[0], name);
        if (name.compareNoCase(pszName) == 0) {
            strValue.clear();
            if (hasValue)
                phraseOf(value.data(), static_cast<int>(value.size()), strValue);
            return 1;
        }
    }
    int count = 0;
    VdbHandle cursor = nullptr;
    if (VdbSetCursor(&cursor, rc, names->getNumber(), 0, 0) & 1)
        VdbItemCount(cursor, &count);
    if (cursor)
        VdbDeleteCursor(cursor);
    for (int i = from; i <= count; ++i) {
        if (getPhraseValue("D_PROPNAME", i, name) == 1 && name.compareNoCase(pszName) == 0) {
            strValue.clear();
            getPhraseValue("D_PROPVAL", i, strValue);
            return 1;
        }
    }
    return 0;
}

int CVORNxml::clearXMLRecord()
{
    logDebug("clearXMLRecord", "Entered.\n");
    if (!m_pData)
        return 0;
    VdbHandle rc = m_pData->record_control;
    int parts = 0;
    int status = VdbPartCount(m_pData->cursor ? m_pData->cursor : rc, &parts);
    if (!(status & 1))
        return logVornError(status, "CVORNxml::clearXMLRecord/VdbPartCount");
    logDebug("clearXMLRecord", "There are %d parts in this record.\n", parts);
    // The fields to clear are the catalogued ones: the catalogue must be there.
    if (!CFieldInfo::isInited())
        CFieldInfo::init(rc);

    VdbHandle cursor = nullptr;
    for (int i = 0; i < CFieldInfo::count(); ++i) {
        CFieldInfo* f = CFieldInfo::getAt(i);
        if (!f || f->getNumber() < 1 || keptByClear(f->getName()))
            continue;
        int num = f->getNumber();
        if (f->isPartField()) {
            logDebug("clearXMLRecord", "Clearing part record field '%s'\n", f->getName());
            for (int p = 1; p <= parts; ++p) {
                status = VdbSetRecordPart(&cursor, rc, p);
                if (!(status & 1)) {
                    logVornError(status, "CVORNxml::clearXMLRecord/VdbSetRecordPart");
                    continue;
                }
                status = f->isTextField() ? VdbSetCursor(&cursor, rc, num, p, 0) : VdbSetCursor(&cursor, rc, num, 0, 1);
                if (!(status & 1)) {
                    logVornError(status, "CVORNxml::clearXMLRecord/VdbSetCursor");
                    continue;
                }
                status = VdbDeleteItem(cursor);
                if (!(status & 1)) {
                    logVornError(status, "CVORNxml::clearXMLRecord/VdbDeleteItem(2)");
                    VdbDeleteCursor(cursor);
                    return status;
                }
            }
        } else {
            logDebug("clearXMLRecord", "Clearing main record field '%s'\n", f->getName());
            status = VdbSetRecordPart(&cursor, rc, 0);
            if (!(status & 1))
                logVornError(status, "CVORNxml::clearXMLRecord/VdbSetRecordPart");
            for (int k = 0; k <= parts; ++k) {
                status = VdbSetCursor(&cursor, rc, num, f->isTextField() ? k : 0, k);
                if (!(status & 1)) {
                    logVornError(status, "CVORNxml::clearXMLRecord/VdbSetCursor");
                    continue;
                }
                status = VdbDeleteItem(cursor);
                if (!(status & 1)) {
                    logVornError(status, "CVORNxml::clearXMLRecord/VdbDeleteItem(1)");
                    VdbDeleteCursor(cursor);
                    return status;
                }
            }
        }
    }
    logDebug("clearXMLRecord", "Done");
    if (cursor)
        VdbDeleteCursor(cursor);
    return status;
}

int CVORNxml::streamRead(void* pData, int nLength, void* pContext)
{
    auto* request = static_cast<CVORNxml*>(pContext);
    if (request && request->m_pStreamData && pData && nLength > 0)
        request->m_pStreamData->append(static_cast<const char*>(pData), nLength);
    return nLength;
}
