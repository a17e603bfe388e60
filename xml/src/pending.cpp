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

int CVORNxml::vornXmlGet()
{
    openCallLog("vornxmlget.log", "vornXmlGet", false);
    if (!checkFilterData("vornXmlGet"))
        return VX_FAILED;
    loadFieldCatalogue();
    if (!requireXmlDatabase("vornXmlGet"))
        return VX_FAILED;
    return notAvailable("vornxmlget", "retrieving XML documents (reconstruction, retrieve operation)");
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

int CVORNxml::vornXmlPutBlob()
{
    openCallLog("vornxmlputblob.log", "vornXmlPutBlob");
    if (!checkFilterData("vornXmlPutBlob"))
        return VX_FAILED;
    loadFieldCatalogue();
    if (!requireXmlDatabase("vornxmlPutBlob"))
        return VX_FAILED;
    return notAvailable("vornxmlputblob", "storing non-XML documents");
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
