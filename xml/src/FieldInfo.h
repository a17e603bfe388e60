// The stored document schema: node types, and CFieldInfo, the catalogue of
// the fields of the current record's database.
#pragma once

#include <memory>
#include <vector>

// Node type numbers as stored in N_NTYPE (DOM numbering; 0 is the XML
// declaration, which DOM does not have).
enum EVxNodeType {
    VX_XML_DECL = 0,
    VX_ELEMENT = 1,
    VX_ATTRIBUTE = 2,
    VX_TEXT = 3,
    VX_CDATA_SECTION = 4,
    VX_ENTITY_REFERENCE = 5,
    VX_ENTITY = 6,
    VX_PROCESSING_INSTRUCTION = 7,
    VX_COMMENT = 8,
    VX_DOCUMENT = 9,
    VX_DOCUMENT_TYPE = 10,
    VX_DOCUMENT_FRAGMENT = 11,
    VX_NOTATION = 12
};

// N_TYPE names indexed by node type number 1..12; index 0 is "".
extern const char* const g_aNodeTypes[13];
// N_TYPE of the XML declaration part (type number 0).
#define VX_XML_DECL_NAME "XML_DECL"

class CFieldCatalogue;

class CFieldInfo {
public:
    CFieldInfo();
    virtual ~CFieldInfo();

    // (Re)loads the catalogue for the record's database.
    static void init(void* recordControl);
    // Finds a field; with a record control an absent name is asked of the
    // kernel (and catalogued with the given flags when it exists). A null
    // record control never touches the kernel.
    static CFieldInfo* getFieldInfo(const char* name, void* recordControl = nullptr, bool bPart = false,
                                    bool bText = false, bool bInt = false);
    static void loadField(void* recordControl, const char* name, bool bPart, bool bText, bool bInt);
    static CFieldInfo* getAt(int i);
    static int count();
    static void deInit();
    static bool isInited();

    const char* getName() const { return m_szName; }
    int getNumber() const { return m_nNumber; }
    int getType() const { return m_nType; }
    int getFlags() const { return m_nFlags; }
    bool isPartField() const { return m_bPartField; }
    bool isTextField() const { return m_bTextField; }
    bool isIntField() const { return m_bIntField; }

    char m_szName[64];
    int m_nNumber;
    int m_nType;
    int m_nFlags;
    bool m_bPartField;
    bool m_bIntField;
    bool m_bTextField;
};

struct CDesignFields;

// One catalogue: the entries of the request's database, in load order.
//
// The kernel runs filter calls one at a time per thread, but a call may make
// the kernel run another filter call on the same thread before it returns
// (an export from inside a store or a relink). One shared table would be
// reloaded for the inner call's database under the outer call's feet, and
// entries the outer call still holds would be freed. So every request object
// owns a catalogue and makes it current for its thread while it lives; the
// static CFieldInfo calls work on the current one. Without a request (tools,
// tests) each thread has a default catalogue. No lock is needed: a catalogue
// is only ever used by the thread that made it current.
//
// What the kernel says of the model's fields is learnt once per design (the
// design stamp of the record's base) and kept for the thread: a catalogue
// starts as a copy of those entries instead of asking for each field again.
class CFieldCatalogue {
public:
    CFieldCatalogue();
    ~CFieldCatalogue();
    CFieldCatalogue(const CFieldCatalogue&) = delete;
    CFieldCatalogue& operator=(const CFieldCatalogue&) = delete;

    // Makes this catalogue current for the calling thread until deactivate(),
    // which brings back the one current before. Calls nest.
    void activate();
    void deactivate();
    static CFieldCatalogue& current();

    void clear();
    CFieldInfo* find(const char* name);
    int count() const { return static_cast<int>(m_model.size() + m_extra.size()); }
    CFieldInfo* at(int i);

    bool m_bInited;
    // The model's entries as the design has them (index shared with every
    // catalogue of the same design), then the fields looked up later.
    std::shared_ptr<const CDesignFields> m_design;
    std::vector<CFieldInfo> m_model;
    std::vector<std::unique_ptr<CFieldInfo>> m_extra;

private:
    CFieldCatalogue* m_pPrevious;
    bool m_bActive;
};
