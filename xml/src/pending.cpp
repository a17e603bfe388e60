// Operations whose code is not part of this build yet. Each answers with a
// refusal that names what is missing and never pretends to succeed; the file
// that brings an operation removes its stand-in here.
#include "VORNxml.h"

int CVORNxml::vornXmlPut()
{
    openCallLog("vornxmlput.log", "vornXmlPut");
    if (!checkFilterData("vornXmlPut"))
        return VX_FAILED;
    loadFieldCatalogue();
    return notAvailable("vornxmlput", "storing XML documents (parser set-up, SAX shredder, store operation)");
}

int CVORNxml::vornXmlRelink()
{
    openCallLog("vornxmllink.log", "vornXmlRelink");
    if (!checkFilterData("vornXmlRelink"))
        return VX_FAILED;
    loadFieldCatalogue();
    if (!requireXmlDatabase("vornXmlRelink"))
        return VX_FAILED;
    return notAvailable("vornxmlrelink", "link scanning and resolution");
}

int CVORNxml::vornXmlGetLinks()
{
    openCallLog("vornxmlgetlinks.log", "vornXmlGetLinks");
    if (!checkFilterData("vornXmlGetLinks"))
        return VX_FAILED;
    loadFieldCatalogue();
    if (!requireXmlDatabase("vornXmlGetLinks"))
        return VX_FAILED;
    return notAvailable("vornxmlgetlinks", "the link database");
}

int CVORNxml::vornXmlQuery()
{
    setLogFileName("vornxmlquery", true, false, true);
    logInformation("vornXmlQuery", "Entered.\n");
    if (!checkFilterData("vornXmlQuery"))
        return VX_FAILED;
    return notAvailable("vornxmlquery", "the XPath query operation");
}

int CVORNxml::vornXmlUpdate()
{
    setLogFileName("vornxmlupdate", true, false, true);
    logInformation("vornXmlUpdate", "Entered.\n");
    if (!checkFilterData("vornXmlUpdate"))
        return VX_FAILED;
    return notAvailable("vornxmlupdate", "the XPath update operation");
}

// Stand-in until the fragment code brings hit highlighting: the text value of
// a part as reconstruction reads it, without hit markers.
int CVORNxml::getPartTextValue(CStringBuffer& textVal, const char* pszFieldName, long nPartNo, bool bHighlight)
{
    (void)bHighlight;
    if (!m_pData)
        return 0;
    CFieldInfo* f = CFieldInfo::getFieldInfo(pszFieldName);
    if (!f)
        return 0;
    if (f->getType() != VDB_FT_TEXT) {
        logError("getPartTextValue", 0, "Internal error - field type number must be 1.\n");
        return 0;
    }
    VdbHandle cursor = nullptr;
    int st = VdbSetRecordPart(&cursor, m_pData->record_control, static_cast<int>(nPartNo));
    if (st & 1)
        st = VdbSetCursor(&cursor, m_pData->record_control, f->getNumber(), 0, 0);
    if (!(st & 1)) {
        if (cursor)
            VdbDeleteCursor(cursor);
        return logVornError(st, "CVORNxml::getPartTextValue/VdbSetCursor");
    }
    int length = 0;
    char* text = nullptr;
    st = VdbGetFieldInfo(cursor, &length, &text, nullptr, nullptr, nullptr);
    VdbDeleteCursor(cursor);
    if (!(st & 1))
        return vornError(st, "CVORNxml::getPartTextValue/VdbGetFieldInfo");
    textVal.clear();
    if (text && length > 0) {
        if (!encodeOutput(text, length, textVal))
            textVal.set(text, length);
        textVal.convertLinebreaks();
    }
    if (text)
        VdbDeallocate(text);
    return 1;
}
