// Operations whose code is not part of this build yet. Each answers with a
// refusal that names what is missing and never pretends to succeed; the file
// that brings an operation removes its stand-in here.
#include "VORNxml.h"

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
