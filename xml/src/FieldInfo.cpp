#include "FieldInfo.h"

#include <stdlib.h>
#include <string.h>

#include <string>
#include <unordered_map>

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

// The entry for name as the kernel describes it through recordControl; false
// when the design lacks the field.
bool askKernel(void* recordControl, const char* name, bool bPart, bool bText, bool bInt, CFieldInfo& entry)
{
    strcpy(entry.m_szName, name);
    const FieldSpec* known = knownField(name);
    entry.m_bPartField = bPart || (known && known->bPart);
    entry.m_bTextField = bText || (known && known->bText);
    entry.m_bIntField = bInt || (known && known->bInt);
    int status = VdbCheckField(recordControl, name, &entry.m_nNumber, &entry.m_nType, &entry.m_nFlags);
    return (status & 1) != 0;
}

// The design stamp of the record's base; false when the kernel gives none.
bool designStamp(void* recordControl, unsigned long long* stamp)
{
    char text[24] = "";
    int value = 0;
    if (!(VdbRecordInfo(recordControl, 5, text, &value) & 1) || !text[0])
        return false;
    char* end = nullptr;
    *stamp = strtoull(text, &end, 10);
    return end && *end == 0 && *stamp != 0;
}

} // namespace

// The model's fields as one design has them: the default entry and every
// model field the design has, in load order, with an index by name.
struct CDesignFields {
    unsigned long long stamp = 0;
    std::vector<CFieldInfo> model;
    std::unordered_map<std::string, size_t> index;

    void load(void* recordControl)
    {
        model.emplace_back(); // the default entry, under the empty name
        for (const FieldSpec& f : kFields) {
            CFieldInfo entry;
            if (askKernel(recordControl, f.name, f.bPart, f.bText, f.bInt, entry))
                model.push_back(entry);
        }
        for (size_t i = 0; i < model.size(); ++i)
            index.emplace(model[i].m_szName, i);
    }
};

namespace {

// The designs learnt by this thread, the latest last.
std::shared_ptr<const CDesignFields> designFields(void* recordControl)
{
    static thread_local std::vector<std::shared_ptr<const CDesignFields>> t_known;
    const size_t kKeep = 8;
    unsigned long long stamp = 0;
    bool stamped = designStamp(recordControl, &stamp);
    if (stamped)
        for (size_t i = 0; i < t_known.size(); ++i)
            if (t_known[i]->stamp == stamp)
                return t_known[i];
    auto fields = std::make_shared<CDesignFields>();
    fields->load(recordControl);
    if (stamped) {
        fields->stamp = stamp;
        if (t_known.size() >= kKeep)
            t_known.erase(t_known.begin());
        t_known.push_back(fields);
    }
    return fields;
}

} // namespace

CFieldInfo::CFieldInfo()
    : m_nNumber(0), m_nType(0), m_nFlags(0), m_bPartField(false), m_bIntField(false), m_bTextField(false)
{
    m_szName[0] = 0;
}

CFieldInfo::~CFieldInfo() {}

CFieldCatalogue::CFieldCatalogue() : m_bInited(false), m_pPrevious(nullptr), m_bActive(false) {}

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
    m_design.reset();
    m_model.clear();
    m_extra.clear();
    m_bInited = false;
}

CFieldInfo* CFieldCatalogue::find(const char* name)
{
    if (m_design) {
        auto it = m_design->index.find(name);
        if (it != m_design->index.end() && it->second < m_model.size())
            return &m_model[it->second];
    }
    for (auto& e : m_extra)
        if (strcmp(e->m_szName, name) == 0)
            return e.get();
    return nullptr;
}

CFieldInfo* CFieldCatalogue::at(int i)
{
    if (i < 0)
        return nullptr;
    size_t k = static_cast<size_t>(i);
    if (k < m_model.size())
        return &m_model[k];
    k -= m_model.size();
    return k < m_extra.size() ? m_extra[k].get() : nullptr;
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
    cat.m_design = designFields(recordControl);
    cat.m_model = cat.m_design->model;
    cat.m_bInited = true;
}

void CFieldInfo::loadField(void* recordControl, const char* name, bool bPart, bool bText, bool bInt)
{
    // Field names have at most 63 characters; a longer one names no field.
    if (!name || strlen(name) >= sizeof(CFieldInfo::m_szName))
        return;
    CFieldCatalogue& cat = CFieldCatalogue::current();
    // A name is catalogued once: its first entry is the one found.
    if (cat.find(name))
        return;
    auto entry = std::make_unique<CFieldInfo>();
    if (askKernel(recordControl, name, bPart, bText, bInt, *entry))
        cat.m_extra.push_back(std::move(entry));
}

CFieldInfo* CFieldInfo::getFieldInfo(const char* name, void* recordControl, bool bPart, bool bText, bool bInt)
{
    if (!name)
        return nullptr;
    CFieldCatalogue& cat = CFieldCatalogue::current();
    if (!cat.m_bInited && recordControl)
        init(recordControl);
    CFieldInfo* found = cat.find(name);
    if (found || !recordControl)
        return found;
    loadField(recordControl, name, bPart, bText, bInt);
    return cat.find(name);
}

CFieldInfo* CFieldInfo::getAt(int i)
{
    return CFieldCatalogue::current().at(i);
}

int CFieldInfo::count()
{
    return CFieldCatalogue::current().count();
}
