#include "FieldInfo.h"

#include <string.h>

#include "vornapi.h"

const char* const g_aNodeTypes[13] = {"",
                                      "ELEMENT",
                                      "ATTRIBUTE",
                                      "TEXT",
                                      "CDATA_SECTION",
                                      "ENTITY_REFERENCE",
                                      "ENTITY",
                                      "PROCESSING_INSTRUCTION",
                                      "COMMENT",
                                      "DOCUMENT",
                                      "DOCUMENT_TYPE",
                                      "DOCUMENT_FRAGMENT",
                                      "NOTATION"};

namespace {

struct FieldSpec {
    const char* name;
    bool bPart;
    bool bText;
    bool bInt;
};

// The fields of the document record model, in load order.
const FieldSpec kFields[] = {
    {"D_RECNAME", false, false, false},  {"D_PROPNAME", false, false, false}, {"D_PROPVAL", false, false, false},
    {"D_XMLDOC", false, false, false},   {"N_ID", false, false, true},        {"N_PARENT", false, false, true},
    {"N_SEQPATH", false, false, false},  {"N_PATH", false, false, false},     {"N_SEQNO", false, false, true},
    {"N_NSPACE", false, false, false},   {"N_NAME", false, false, false},     {"N_TYPE", false, false, false},
    {"N_MIME", false, false, false},     {"N_ENCODING", true, false, false},  {"N_CVALUE", true, false, false},
    {"N_TVALUE", true, true, false},     {"N_NVALUE", true, false, false},    {"N_DVALUE", true, true, false},
    {"D_META", false, false, false},     {"D_DOCTYPE", false, true, false},   {"D_DOCSIZE", false, false, true},
    {"D_DOCNAME", false, false, false},  {"D_URLBASE", false, false, false},  {"D_URLALIAS", false, false, false},
    {"N_NTYPE", false, false, false},    {"N_SIBNO", false, false, false},    {"A_ITEM", false, true, false},
};

// Fields the operations add on demand, with the flags they always carry.
const FieldSpec kOnDemand[] = {{"D_DOCTEXT", false, true, false}};

// A field of the model keeps its flags however it is first looked up, so a
// catalogue filled lazily (a record control made after the first lookup)
// holds the same entries as one loaded at once.
const FieldSpec* knownField(const char* name)
{
    for (const FieldSpec& f : kFields)
        if (strcmp(f.name, name) == 0)
            return &f;
    for (const FieldSpec& f : kOnDemand)
        if (strcmp(f.name, name) == 0)
            return &f;
    return nullptr;
}

thread_local CFieldCatalogue* t_pCurrent = nullptr;

CFieldCatalogue& defaultCatalogue()
{
    static thread_local CFieldCatalogue t_default;
    return t_default;
}

} // namespace

CFieldInfo::CFieldInfo()
    : m_nNumber(0), m_nType(0), m_nFlags(0), m_bPartField(false), m_bIntField(false), m_bTextField(false)
{
    m_szName[0] = 0;
}

CFieldInfo::~CFieldInfo() {}

CFieldCatalogue::CFieldCatalogue()
    : m_fieldMap(VFX_ALLOCMODE_OFF), m_bInited(false), m_pList(nullptr), m_pPrevious(nullptr), m_bActive(false)
{
}

CFieldCatalogue::~CFieldCatalogue()
{
    deactivate();
    clear();
}

void CFieldCatalogue::activate()
{
    if (m_bActive)
        return;
    m_pPrevious = t_pCurrent;
    t_pCurrent = this;
    m_bActive = true;
}

void CFieldCatalogue::deactivate()
{
    if (!m_bActive)
        return;
    if (t_pCurrent == this)
        t_pCurrent = m_pPrevious;
    m_pPrevious = nullptr;
    m_bActive = false;
}

CFieldCatalogue& CFieldCatalogue::current()
{
    return t_pCurrent ? *t_pCurrent : defaultCatalogue();
}

void CFieldCatalogue::clear()
{
    VfxPtrList* all = m_fieldMap.allocList();
    if (all) {
        for (int i = 0; i < all->size(); ++i) {
            auto* item = static_cast<VfxStringMap::MapItem*>(all->get(i));
            delete static_cast<CFieldInfo*>(item->getValue());
        }
        delete all;
    }
    m_fieldMap.clear(true);
    delete m_pList;
    m_pList = nullptr;
    m_bInited = false;
}

void CFieldInfo::deInit()
{
    CFieldCatalogue::current().clear();
}

bool CFieldInfo::isInited()
{
    return CFieldCatalogue::current().m_bInited;
}

void CFieldInfo::init(void* recordControl)
{
    CFieldCatalogue& cat = CFieldCatalogue::current();
    cat.clear();
    // Without a record there is no database to load from: the first lookup
    // that brings a record control loads the catalogue.
    if (!recordControl)
        return;
    // The default entry, under the empty name, is never written.
    cat.m_fieldMap.insert("", new CFieldInfo());
    for (const FieldSpec& f : kFields)
        loadField(recordControl, f.name, f.bPart, f.bText, f.bInt);
    cat.m_bInited = true;
}

void CFieldInfo::loadField(void* recordControl, const char* name, bool bPart, bool bText, bool bInt)
{
    // Field names have at most 63 characters; a longer one names no field.
    if (!name || strlen(name) >= sizeof(CFieldInfo::m_szName))
        return;
    auto* entry = new CFieldInfo();
    strcpy(entry->m_szName, name);
    const FieldSpec* known = knownField(name);
    entry->m_bPartField = bPart || (known && known->bPart);
    entry->m_bTextField = bText || (known && known->bText);
    entry->m_bIntField = bInt || (known && known->bInt);
    int status = VdbCheckField(recordControl, name, &entry->m_nNumber, &entry->m_nType, &entry->m_nFlags);
    if (!(status & 1)) {
        delete entry;
        return;
    }
    CFieldCatalogue& cat = CFieldCatalogue::current();
    if (!cat.m_fieldMap.insert(name, entry)) {
        delete entry;
        return;
    }
    delete cat.m_pList;
    cat.m_pList = nullptr;
}

CFieldInfo* CFieldInfo::getFieldInfo(const char* name, void* recordControl, bool bPart, bool bText, bool bInt)
{
    if (!name)
        return nullptr;
    CFieldCatalogue& cat = CFieldCatalogue::current();
    if (!cat.m_bInited && recordControl)
        init(recordControl);
    auto* found = static_cast<CFieldInfo*>(cat.m_fieldMap.get(name));
    if (found || !recordControl)
        return found;
    loadField(recordControl, name, bPart, bText, bInt);
    return static_cast<CFieldInfo*>(cat.m_fieldMap.get(name));
}

CFieldInfo* CFieldInfo::getAt(int i)
{
    CFieldCatalogue& cat = CFieldCatalogue::current();
    if (i < 0 || i >= cat.m_fieldMap.count())
        return nullptr;
    if (!cat.m_pList)
        cat.m_pList = cat.m_fieldMap.allocList();
    if (!cat.m_pList)
        return nullptr;
    auto* item = static_cast<VfxStringMap::MapItem*>(cat.m_pList->get(i));
    return item ? static_cast<CFieldInfo*>(item->getValue()) : nullptr;
}

int CFieldInfo::count()
{
    return CFieldCatalogue::current().m_fieldMap.count();
}
