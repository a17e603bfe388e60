// Keyword table of the XPath scanner: a hashed symbol table with block levels.
#ifndef VX_VXSYMBOLTABLE_H
#define VX_VXSYMBOLTABLE_H

enum EVXScope {
    VX_SCOPE_GLOBAL = 0,
    VX_SCOPE_LOCAL = 1
};

enum EVXAllocMode {
    VX_ALLOCMODE_OFF = 0, // keep the caller's name pointer
    VX_ALLOCMODE_ON = 1   // copy the name
};

struct VXSymbol {
    char* m_pszName;
    int m_nType;        // the token code the scanner returns for this word
    int m_nBlockLevel;
    int m_nHashValue;
    bool m_bDoDelete;   // the name was copied and is freed with the symbol
    int m_nValue;       // free for the user
    VXSymbol* next;     // all-symbols list, newest first
    VXSymbol* prev;
    VXSymbol* hnext;    // bucket chain, newest first
    VXSymbol* hprev;
};

typedef void (*VXSymbolCallback)(VXSymbol* symbol);

class VXSymbolTable {
public:
    enum { HASH_SIZE = 256 };

    explicit VXSymbolTable(VXSymbolCallback fpNew = nullptr, VXSymbolCallback fpDelete = nullptr);
    ~VXSymbolTable();

    VXSymbol* createSymbol(const char* name, int type);
    VXSymbol* lookup(const char* name);
    int createHashValue(const char* name);
    int compare(const char* a, const char* b);
    void enterBlock() { blocklevel++; }
    void leaveBlock()
    {
        if (blocklevel > 0)
            blocklevel--;
    }

    int getSize() const { return size; }
    int getBlockLevel() const { return blocklevel; }
    void setCaseSensitive(bool bCaseSensitive) { m_bCaseSensetive = bCaseSensitive; }
    bool isCaseSensitive() const { return m_bCaseSensetive; }
    void setScope(EVXScope eScope) { m_eScope = eScope; }
    EVXScope getScope() const { return m_eScope; }
    void setAllocMode(EVXAllocMode eAllocMode) { m_eAllocMode = eAllocMode; }
    EVXAllocMode getAllocMode() const { return m_eAllocMode; }

    VXSymbolTable(const VXSymbolTable&) = delete;
    VXSymbolTable& operator=(const VXSymbolTable&) = delete;

protected:
    VXSymbol* m_pSymbols;
    VXSymbol* m_hash[HASH_SIZE];
    int size;
    int blocklevel;
    bool m_bCaseSensetive;
    EVXScope m_eScope;
    EVXAllocMode m_eAllocMode;
    VXSymbolCallback m_fpNew;
    VXSymbolCallback m_fpDelete;
};

#endif
