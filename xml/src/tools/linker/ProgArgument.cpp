#include "ProgArgument.h"

#include <stdlib.h>
#include <string.h>

int CProgArgument::m_nRegCount = 0;
char** CProgArgument::m_regArgv = nullptr;
int CProgArgument::m_nOptCount = 0;
char** CProgArgument::m_optArgv = nullptr;
char* CProgArgument::m_optFlags = nullptr;

namespace {

char* copyText(const char* s)
{
    size_t n = s ? strlen(s) : 0;
    char* p = static_cast<char*>(malloc(n + 1));
    if (!p)
        abort();
    if (n)
        memcpy(p, s, n);
    p[n] = 0;
    return p;
}

} // namespace

CProgArgument::CProgArgument(char cOption, const char* pszArg) : m_cOption(cOption), m_pszArg(copyText(pszArg)) {}

CProgArgument::~CProgArgument()
{
    free(m_pszArg);
}

void CProgArgument::reset()
{
    for (int i = 0; i < m_nRegCount; ++i)
        free(m_regArgv[i]);
    for (int i = 0; i < m_nOptCount; ++i)
        free(m_optArgv[i]);
    free(m_regArgv);
    free(m_optArgv);
    free(m_optFlags);
    m_regArgv = nullptr;
    m_optArgv = nullptr;
    m_optFlags = nullptr;
    m_nRegCount = 0;
    m_nOptCount = 0;
}

void CProgArgument::init(int argc, char** argv, const char* pszBigOpts)
{
    reset();
    size_t room = argc > 0 ? static_cast<size_t>(argc) : 1;
    m_regArgv = static_cast<char**>(calloc(room, sizeof(char*)));
    m_optArgv = static_cast<char**>(calloc(room, sizeof(char*)));
    m_optFlags = static_cast<char*>(calloc(room, 1));
    if (!m_regArgv || !m_optArgv || !m_optFlags)
        abort();
    const char* big = pszBigOpts ? pszBigOpts : "";
    for (int i = 1; i < argc; ++i) {
        const char* item = argv[i] ? argv[i] : "";
        if (item[0] == '-' || item[0] == '/') {
            char letter = item[1];
            m_optFlags[m_nOptCount] = letter;
            // The value is whatever item follows, even one that looks like
            // an option itself.
            if (letter && strchr(big, letter) && i + 1 < argc)
                m_optArgv[m_nOptCount] = copyText(argv[++i]);
            ++m_nOptCount;
        } else {
            m_regArgv[m_nRegCount++] = copyText(item);
        }
    }
}

bool CProgArgument::hasOption(char cLetter)
{
    for (int i = 0; i < m_nOptCount; ++i)
        if (m_optFlags[i] == cLetter)
            return true;
    return false;
}

CProgArgument* CProgArgument::getOption(char cLetter)
{
    for (int i = 0; i < m_nOptCount; ++i)
        if (m_optFlags[i] == cLetter)
            return getOptionByIdx(i);
    return nullptr;
}

CProgArgument* CProgArgument::getOptionByIdx(int i)
{
    if (i < 0 || i >= m_nOptCount)
        return nullptr;
    return new CProgArgument(m_optFlags[i], m_optArgv[i]);
}

CProgArgument* CProgArgument::getArg(int i)
{
    if (i < 0 || i >= m_nRegCount)
        return nullptr;
    return new CProgArgument(0, m_regArgv[i]);
}
