// ccl and shell: the kernel's command language, one command or a prompt.
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <iostream>

#include "vxsh.h"

#ifdef VXSH_HAVE_LIBEDIT
#include <editline/readline.h>
#endif

namespace vxsh {

namespace {

std::string upper(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string trim(const std::string& s)
{
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos)
        return "";
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

std::string firstWord(const std::string& s)
{
    size_t e = s.find_first_of(" \t");
    return s.substr(0, e);
}

bool isCommandWord(Context& ctx, const std::string& w, const char* canonical, const char* english)
{
    std::string u = upper(w);
    return u == english || u == upper(ctx.word(canonical));
}

// The page of captured output (SHOW BASE LIST), one name per line.
void printWindow()
{
    char* text = nullptr;
    int lines = 0, columns = 0, length = 0, more = 0;
    if (!(VdbGetWindowInfo(5, &text, &lines, &columns, &length, &more) & 1) || !text || length <= 0)
        return;
    std::string t(text);
    size_t p = 0;
    while (p < t.size()) {
        size_t e = t.find_first_of(" \t\r\n", p);
        if (e == std::string::npos)
            e = t.size();
        if (e > p)
            printf("%s\n", t.substr(p, e - p).c_str());
        p = e + 1;
    }
    if (more)
        printf("-- more: SCROLL shows the next page\n");
}

// Splits a shell line into words: blanks separate, '...' and "..." quote,
// a backslash escapes the next character (not inside '...').
std::vector<std::string> splitWords(const std::string& line)
{
    std::vector<std::string> words;
    std::string w;
    bool in = false;
    char q = 0;
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (q) {
            if (c == q) {
                q = 0;
            } else if (c == '\\' && q == '"' && i + 1 < line.size() &&
                       (line[i + 1] == '"' || line[i + 1] == '\\')) {
                w += line[++i];
            } else {
                w += c;
            }
        } else if (c == '\'' || c == '"') {
            q = c;
            in = true;
        } else if (c == '\\' && i + 1 < line.size()) {
            w += line[++i];
            in = true;
        } else if (c == ' ' || c == '\t') {
            if (in)
                words.push_back(w);
            w.clear();
            in = false;
        } else {
            w += c;
            in = true;
        }
    }
    if (q)
        throw UsageError(std::string("unterminated ") + (q == '"' ? "\"" : "'") + " quote");
    if (in)
        words.push_back(w);
    return words;
}

}  // namespace

void runCclLine(Context& ctx, const std::string& raw)
{
    std::string line = trim(raw);
    if (line.empty())
        return;
    int set = 0;
    int rc = ctx.ccl(line, &set);
    if (!(rc & 1))
        throw Failure(message(rc));
    std::string w = firstWord(line);
    if (isCommandWord(ctx, w, "FIN", "FIND")) {
        if (set > 0) {
            int records = 0, hits = 0;
            VdbGetSearch(&set, &records, &hits);
            printf("set %d: %s, %s\n", set, plural(records, "record", "records").c_str(),
                   plural(hits, "hit", "hits").c_str());
        } else {
            printf("no hits (no set made)\n");
        }
    } else if (isCommandWord(ctx, w, "SHO", "SHOW") || isCommandWord(ctx, w, "SCF", "SCROLL")) {
        printWindow();
    } else if (isCommandWord(ctx, w, "BAS", "BASE")) {
        std::string rest = trim(line.substr(w.size()));
        ctx.currentBase = rest;
    } else if (isCommandWord(ctx, w, "CLO", "CLOSE")) {
        ctx.currentBase.clear();
    }
}

int cmdCcl(Context& ctx, const Args& a)
{
    const std::string& base = a.positional[0];
    if (a.positional.size() < 2 && isatty(STDIN_FILENO) && !ctx.inShell)
        throw UsageError("missing COMMAND (commands can also come on standard input; 'vxsh shell' is the prompt)");
    if (a.positional.size() < 2 && ctx.inShell)
        throw UsageError("missing COMMAND (in the shell, CCL commands can be typed as they are)");
    ctx.open();
    ctx.openBase(base);
    if (a.positional.size() > 1) {
        std::string line;
        for (size_t i = 1; i < a.positional.size(); ++i)
            line += (i > 1 ? " " : "") + a.positional[i];
        try {
            runCclLine(ctx, line);
        } catch (const Failure& f) {
            throw Failure(quoted(trim(line)) + ": " + f.what());
        }
        return 0;
    }
    // Commands from standard input, one per line; '#' starts a comment line.
    std::string line;
    int number = 0, failed = 0;
    while (std::getline(std::cin, line)) {
        ++number;
        std::string t = trim(line);
        if (t.empty() || t[0] == '#')
            continue;
        try {
            runCclLine(ctx, t);
        } catch (const Failure& f) {
            fflush(stdout);
            fprintf(stderr, "vxsh ccl: line %d: %s: %s\n", number, quoted(t).c_str(), f.what());
            ++failed;
        }
    }
    return failed ? 1 : 0;
}

namespace {

class LineReader {
public:
    explicit LineReader(bool interactive) : m_interactive(interactive)
    {
#ifdef VXSH_HAVE_LIBEDIT
        if (m_interactive) {
            const char* home = getenv("HOME");
            if (home && *home)
                m_history = std::string(home) + "/.vxsh_history";
            stifle_history(1000);
            if (!m_history.empty())
                read_history(m_history.c_str());
        }
#endif
    }
    ~LineReader()
    {
#ifdef VXSH_HAVE_LIBEDIT
        if (m_interactive && !m_history.empty())
            write_history(m_history.c_str());
#endif
    }
    bool read(const std::string& prompt, std::string& line)
    {
#ifdef VXSH_HAVE_LIBEDIT
        if (m_interactive) {
            char* l = readline(prompt.c_str());
            if (!l)
                return false;
            line = l;
            free(l);
            if (!trim(line).empty())
                add_history(line.c_str());
            return true;
        }
#endif
        if (m_interactive) {
            fputs(prompt.c_str(), stdout);
            fflush(stdout);
        }
        return static_cast<bool>(std::getline(std::cin, line));
    }

private:
    bool m_interactive;
    std::string m_history;
};

void printShellHelp()
{
    printf("Commands (as on the command line, without 'vxsh'):\n");
    for (const Command& c : commands())
        if (strcmp(c.name, "init") != 0 && strcmp(c.name, "shell") != 0)
            printf("  %-11s %s\n", c.name, c.summary);
    printf("  help [CMD]  this text, or the help of CMD\n"
           "  quit        leave (also exit, or end of input)\n"
           "\n"
           "Any other line is a CCL command on the open base, for example:\n"
           "  BASE docs\n"
           "  FIND N_NAME=title AND.T N_TYPE=ELEMENT\n"
           "  FIND S=1 AND N_TVALUE=$whale$\n"
           "  DELETE S=1          (in capitals: delete is the vxsh command)\n"
           "  SHOW BASE LIST\n");
}

}  // namespace

int cmdShell(Context& ctx, const Args&)
{
    if (ctx.inShell)
        throw Failure("the shell is running already");
    ctx.open();
    ctx.inShell = true;
    ctx.interactive = isatty(STDIN_FILENO) != 0;
    if (ctx.interactive)
        printf("vxsh shell on %s as %s. Type help for the commands, quit to leave.\n", ctx.dataDir.c_str(),
               ctx.user.c_str());
    LineReader reader(ctx.interactive);
    std::string line;
    int failed = 0;
    for (;;) {
        std::string prompt = "vxsh" + (ctx.currentBase.empty() ? std::string() : ":" + ctx.currentBase) + "> ";
        fflush(stdout);
        if (!reader.read(prompt, line))
            break;
        std::string t = trim(line);
        if (t.empty() || t[0] == '#')
            continue;
        std::vector<std::string> words;
        try {
            words = splitWords(t);
        } catch (const UsageError& e) {
            fprintf(stderr, "error: %s\n", e.what());
            ++failed;
            continue;
        }
        if (words.empty())
            continue;
        const std::string& w = words[0];
        if (w == "quit" || w == "exit" || w == "\\q" || w == ".quit")
            break;
        if (w == "help" || w == "\\?" || w == ".help") {
            const Command* c = words.size() > 1 ? findCommand(words[1]) : nullptr;
            if (c)
                printCommandHelp(*c, stdout);
            else
                printShellHelp();
            continue;
        }
        if (const Command* c = findCommand(w)) {
            if (!strcmp(c->name, "init") || !strcmp(c->name, "shell")) {
                fprintf(stderr, "%s: not available inside the shell\n", c->name);
                ++failed;
                continue;
            }
            std::vector<std::string> rest(words.begin() + 1, words.end());
            if (runCommand(ctx, *c, rest) != 0)
                ++failed;
            continue;
        }
        try {
            runCclLine(ctx, t);
        } catch (const Failure& f) {
            fflush(stdout);
            fprintf(stderr, "error: %s\n", f.what());
            ++failed;
        }
    }
    if (ctx.interactive)
        printf("\n");
    return (!ctx.interactive && failed) ? 1 : 0;
}

}  // namespace vxsh
