// Runs vxsh as a program against a fresh data directory: arguments, standard
// input and environment in; exit status, standard output and error out.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace vxsht {

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

inline std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void writeFile(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

inline std::string makeTempDir(const char* prefix)
{
    std::string t = std::string("/tmp/") + prefix + "XXXXXX";
    char* d = mkdtemp(&t[0]);
    return d ? t : "";
}

inline void removeTree(const std::string& dir)
{
    if (dir.compare(0, 5, "/tmp/") != 0 || dir.size() < 8)
        return;
    std::string cmd = "rm -rf '" + dir + "'";
    if (system(cmd.c_str()) != 0) {
    }
}

// True when text parses as XML (xmllint, from libxml2-utils).
inline bool parsesAsXml(const std::string& text, const std::string& scratch, std::string* why = nullptr)
{
    std::string f = scratch + "/parse-check.xml";
    writeFile(f, text);
    std::string cmd = "xmllint --noout '" + f + "' 2>'" + f + ".err'";
    int rc = system(cmd.c_str());
    if (why)
        *why = readFile(f + ".err");
    return rc == 0;
}

class VxshTest : public ::testing::Test {
protected:
    std::string data;     // the data directory (not made yet)
    std::string scratch;  // files to store, outputs
    std::map<std::string, std::string> env;

    void SetUp() override
    {
        scratch = makeTempDir("vxsh_test_");
        ASSERT_FALSE(scratch.empty());
        data = scratch + "/data";
        env = {{"VDBS_DATA", data},  {"VDBS_PASSWORD", "s3cret"}, {"VDBS_SYNC", "off"},
               {"PATH", "/usr/bin:/bin"}, {"HOME", scratch},        {"LANG", "C"}};
    }
    void TearDown() override { removeTree(scratch); }

    // Runs vxsh with args; input goes to its standard input.
    Outcome vxsh(const std::vector<std::string>& args, const std::string& input = "")
    {
        return runProgram(VXSH_PATH, args, input);
    }

    Outcome runProgram(const std::string& program, const std::vector<std::string>& args, const std::string& input = "")
    {
        Outcome r;
        std::string in = scratch + "/stdin", out = scratch + "/stdout", err = scratch + "/stderr";
        writeFile(in, input);
        std::vector<std::string> envText;
        for (const auto& kv : env)
            envText.push_back(kv.first + "=" + kv.second);
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (std::string& e : envText)
            envp.push_back(&e[0]);
        envp.push_back(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            int i = open(in.c_str(), O_RDONLY);
            int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (i < 0 || o < 0 || e < 0)
                _exit(127);
            dup2(i, 0);
            dup2(o, 1);
            dup2(e, 2);
            // No controlling terminal: vxsh must never wait for a password.
            setsid();
            execve(program.c_str(), argv.data(), envp.data());
            _exit(127);
        }
        int st = 0;
        waitpid(pid, &st, 0);
        r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        r.out = readFile(out);
        r.err = readFile(err);
        return r;
    }

    // A data directory with warden's password set and the given XML bases.
    void initWith(const std::vector<std::string>& bases)
    {
        Outcome r = vxsh({"init"});
        ASSERT_EQ(0, r.status) << r.err;
        for (const std::string& b : bases) {
            r = vxsh({"create", b});
            ASSERT_EQ(0, r.status) << r.err;
        }
    }

    std::string file(const std::string& rel, const std::string& text)
    {
        std::string p = scratch + "/" + rel;
        for (size_t s = p.find('/', scratch.size() + 1); s != std::string::npos; s = p.find('/', s + 1))
            mkdir(p.substr(0, s).c_str(), 0700);
        writeFile(p, text);
        return p;
    }
};

// text with every run of blanks made one blank: table rows compare without
// their column widths.
inline std::string squeezed(const std::string& text)
{
    std::string out;
    for (char c : text)
        if (c != ' ' || out.empty() || out.back() != ' ')
            out += c;
    return out;
}

inline bool hasRow(const std::string& table, const std::string& row)
{
    return ("\n" + squeezed(table)).find("\n" + row + "\n") != std::string::npos;
}

// Each failure is one line on standard error.
inline int lineCount(const std::string& s)
{
    int n = 0;
    for (char c : s)
        n += c == '\n';
    return n;
}

}  // namespace vxsht
