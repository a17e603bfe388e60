// Small fixtures shared by the foundation tests.
#pragma once

#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

// A fresh directory under $TMPDIR or /tmp, removed with its content.
class TempDir {
public:
    TempDir()
    {
        const char* base = getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/vxfound.XXXXXX";
        m_path = mkdtemp(&tmpl[0]) ? tmpl : std::string();
    }
    ~TempDir()
    {
        if (!m_path.empty())
            nftw(m_path.c_str(), removeOne, 16, FTW_DEPTH | FTW_PHYS);
    }
    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }
    std::string write(const std::string& name, const std::string& content) const
    {
        std::ofstream(file(name), std::ios::binary) << content;
        return file(name);
    }

private:
    static int removeOne(const char* p, const struct stat*, int, struct FTW*) { return ::remove(p); }
    std::string m_path;
};

inline std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Sets (or unsets, for null) an environment variable for one scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : m_name(name)
    {
        const char* old = getenv(name);
        m_had = old != nullptr;
        if (old)
            m_old = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv()
    {
        if (m_had)
            setenv(m_name.c_str(), m_old.c_str(), 1);
        else
            unsetenv(m_name.c_str());
    }

private:
    std::string m_name, m_old;
    bool m_had;
};
