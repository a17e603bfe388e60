// CProgArgument: the command line of the link tools. init() sorts the items
// into plain arguments and options (an item starting with '-' or '/'; its
// letter is the second character); an option whose letter is one of the
// "big" options takes the next item as its value.
#pragma once

class CProgArgument {
public:
    CProgArgument(char cOption, const char* pszArg);
    virtual ~CProgArgument();
    CProgArgument(const CProgArgument&) = delete;
    CProgArgument& operator=(const CProgArgument&) = delete;

    static void init(int argc, char** argv, const char* pszBigOpts);
    static bool hasOption(char cLetter);
    // New items (the caller deletes them), or null.
    static CProgArgument* getOption(char cLetter);
    static CProgArgument* getOptionByIdx(int i);
    static CProgArgument* getArg(int i);
    static int optCount() { return m_nOptCount; }
    static int argCount() { return m_nRegCount; }

    bool isOption() const { return m_cOption != 0; }
    char getOption() const { return m_cOption; }
    const char* getText() const { return m_pszArg; }

protected:
    static void reset();

    static int m_nRegCount;
    static char** m_regArgv;
    static int m_nOptCount;
    static char** m_optArgv;
    static char* m_optFlags;

    char m_cOption;
    char* m_pszArg;
};
