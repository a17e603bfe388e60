#include "VXSymbolTable.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <strings.h>

VXSymbolTable::VXSymbolTable(VXSymbolCallback fpNew, VXSymbolCallback fpDelete)
    : m_pSymbols(nullptr), size(0), blocklevel(0), m_bCaseSensetive(true),
      m_eScope(VX_SCOPE_GLOBAL), m_eAllocMode(VX_ALLOCMODE_ON), m_fpNew(fpNew),
      m_fpDelete(fpDelete)
{
    for (int i = 0; i < HASH_SIZE; i++)
        m_hash[i] = nullptr;
}

VXSymbolTable::~VXSymbolTable()
{
    VXSymbol* symbol = m_pSymbols;
    while (symbol) {
        VXSymbol* next = symbol->next;
        if (m_fpDelete)
            m_fpDelete(symbol);
        if (symbol->m_bDoDelete)
            free(symbol->m_pszName);
        delete symbol;
        symbol = next;
    }
}

int VXSymbolTable::createHashValue(const char* name)
{
    unsigned int sum = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); p && *p; p++)
        sum += m_bCaseSensetive ? *p : static_cast<unsigned char>(toupper(*p));
    return static_cast<int>(sum % HASH_SIZE);
}

int VXSymbolTable::compare(const char* a, const char* b)
{
    return m_bCaseSensetive ? strcmp(a, b) : strcasecmp(a, b);
}

VXSymbol* VXSymbolTable::createSymbol(const char* name, int type)
{
    if (!name)
        return nullptr;
    VXSymbol* symbol = new VXSymbol();
    if (m_eAllocMode == VX_ALLOCMODE_ON) {
        symbol->m_pszName = strdup(name);
        symbol->m_bDoDelete = true;
    } else {
        symbol->m_pszName = const_cast<char*>(name);
        symbol->m_bDoDelete = false;
    }
    symbol->m_nType = type;
    symbol->m_nBlockLevel = blocklevel;
    symbol->m_nHashValue = createHashValue(name);
    symbol->m_nValue = 0;

    symbol->prev = nullptr;
    symbol->next = m_pSymbols;
    if (m_pSymbols)
        m_pSymbols->prev = symbol;
    m_pSymbols = symbol;

    VXSymbol*& bucket = m_hash[symbol->m_nHashValue];
    symbol->hprev = nullptr;
    symbol->hnext = bucket;
    if (bucket)
        bucket->hprev = symbol;
    bucket = symbol;

    size++;
    if (m_fpNew)
        m_fpNew(symbol);
    return symbol;
}

VXSymbol* VXSymbolTable::lookup(const char* name)
{
    if (!name)
        return nullptr;
    for (VXSymbol* symbol = m_hash[createHashValue(name)]; symbol; symbol = symbol->hnext) {
        // In local scope only the symbols of the current block and those
        // opened inside it are visible; the chain is ordered newest first.
        if (m_eScope == VX_SCOPE_LOCAL && symbol->m_nBlockLevel < blocklevel)
            break;
        if (compare(symbol->m_pszName, name) == 0)
            return symbol;
    }
    return nullptr;
}
