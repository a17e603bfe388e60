// vxsh: the command line of the document store. Shared declarations of the
// commands, the kernel session they run in, and the option parser.
#pragma once

#include <stdio.h>

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "vornapi.h"

namespace vxsh {

// A command that failed: the message says what failed and with what input.
// Printed as one line "vxsh COMMAND: message"; exit status 1.
struct Failure : std::runtime_error {
    explicit Failure(const std::string& m) : std::runtime_error(m) {}
};

// The command line was wrong; exit status 2.
struct UsageError : std::runtime_error {
    explicit UsageError(const std::string& m) : std::runtime_error(m) {}
};

// ---------------------------------------------------------------- options

struct OptionSpec {
    const char* name;   // long name without "--"
    char shortName;     // 0 for none
    const char* value;  // name of its value in the help ("FILE"), null for a switch
};

struct Args {
    std::vector<std::string> positional;
    std::map<std::string, std::string> options;  // long name -> value ("" for a switch)

    bool has(const std::string& name) const { return options.count(name) > 0; }
    std::string get(const std::string& name, const std::string& dflt = "") const
    {
        auto it = options.find(name);
        return it == options.end() ? dflt : it->second;
    }
};

class Context;

struct Command {
    const char* name;
    const char* synopsis;  // "NAME PATH..." (after the command name)
    const char* summary;   // one line for the command list
    const char* help;      // the text after the usage line in COMMAND --help
    std::vector<OptionSpec> options;
    int minArgs;
    int maxArgs;           // -1: no limit
    bool needsSession;
    int (*run)(Context&, const Args&);
};

const std::vector<Command>& commands();
const Command* findCommand(const std::string& name);
// Parses the words after the command name; throws UsageError.
Args parseArgs(const Command& c, const std::vector<std::string>& words);
void printCommandHelp(const Command& c, FILE* out);
void printMainHelp(FILE* out);

// ---------------------------------------------------------------- session

// The data directory, the login and the kernel session of one vxsh run (a
// single command, or every command typed into the shell).
class Context {
public:
    std::string dataDir;  // absolute
    std::string user = "warden";
    bool inShell = false;
    bool interactive = false;  // the shell reads from a terminal
    std::string currentBase;   // the base BASE opened last (shown in the prompt)

    ~Context();
    // Starts the kernel session unless one runs; throws Failure.
    void open();
    void close();
    bool isOpen() const { return m_open; }

    // Runs one CCL command; returns the status (kernel message via message()).
    int ccl(const std::string& command, int* set = nullptr);
    // Runs one CCL command and throws Failure with its message on failure.
    int cclOrThrow(const std::string& command, const std::string& what);
    // The session's local spelling of a canonical command word ("FIN").
    std::string word(const char* canonical);

    // Opens base name with BASE; throws when it does not exist.
    void openBase(const std::string& name);
    // Throws unless name is a base of the xml design.
    void requireXmlBase(const std::string& name);
    // The design name of an existing base; throws for a missing one.
    std::string baseDesign(const std::string& name, bool* isXml = nullptr);

    // The name of the link base when links are enabled, else "".
    std::string linkBase() const;

private:
    bool m_open = false;
};

// The kernel's text for status (the session's last failure when it matches).
std::string message(int status);
// "'value'" in the quote that CCL can read back whatever value holds.
std::string cclValue(const std::string& value);
// Quoted for a message: 'value', cut when very long.
std::string quoted(const std::string& value);
std::string absolutePath(const std::string& path);
// Reads a line from the terminal without echo; false when there is none.
bool askSecret(const std::string& prompt, std::string& out);
std::string plural(long long n, const char* one, const char* many);

// A stored document found by --id or --url.
struct DocRef {
    int rid = 0;
    std::string base;
    std::string by;     // "URL" or "identity"
    std::string value;  // what was asked for
    std::string describe() const;  // "document with URL 'x' in base docs"
};

// Throws UsageError unless args name a document by exactly one of --id and
// --url, with a value.
void checkDocumentArgs(const Args& args);
// Finds the document that --id or --url of args names in base (the first
// when several match, with a warning); throws Failure when there is none.
DocRef findDocument(Context& ctx, const std::string& base, const Args& args, const char* cmd);
// rid of the record of base whose field equals value, 0 when none; *count
// gets the number of matching records.
int findRecord(Context& ctx, const std::string& base, const char* field, const std::string& value,
               int* count = nullptr);

// A record control that frees itself.
class Record {
public:
    Record();
    ~Record();
    Record(const Record&) = delete;
    Record& operator=(const Record&) = delete;
    VdbHandle handle() const { return m_ctl; }
    // A new, empty record of base.
    void bindNew(const std::string& base);
    // Record rid of base.
    void load(const std::string& base, int rid);
    // First value of a record field of part 0 ("" when none).
    std::string field(const char* name, int item = 1);
    // Size of the blob in field name, 0 when the base lacks it.
    long long blobSize(const char* name);

private:
    VdbHandle m_ctl = nullptr;
};

// Result of a filter call through VdbImport/VdbExport.
struct FilterCall {
    int status = 0;
    int errorcode = 0;
    std::string errortext;
    std::string output;  // memory output
    bool ok() const { return (status & 1) && (errorcode & 1); }
    std::string reason() const;
};

// Runs export filter name on the record in control (may be null) with the
// argument lines args; memory output unless file is given.
FilterCall runExport(const char* name, VdbHandle control, const std::string& args, int filterOptions = 0,
                     FILE* file = nullptr, const char* input = nullptr);

// ---------------------------------------------------------------- output

// True when standard error is a terminal (progress lines go there).
bool stderrIsTerminal();
// Prints rows as columns separated by two blanks; numbers right-aligned
// where numeric[i] is set.
void printTable(FILE* out, const std::vector<std::string>& header, const std::vector<std::vector<std::string>>& rows,
                const std::vector<bool>& numeric = {});

// ---------------------------------------------------------------- commands

int cmdInit(Context&, const Args&);
int cmdCreate(Context&, const Args&);
int cmdDrop(Context&, const Args&);
int cmdBases(Context&, const Args&);
int cmdStore(Context&, const Args&);
int cmdStoreBlob(Context&, const Args&);
int cmdGet(Context&, const Args&);
int cmdQuery(Context&, const Args&);
int cmdUpdate(Context&, const Args&);
int cmdDelete(Context&, const Args&);
int cmdLinks(Context&, const Args&);
int cmdCcl(Context&, const Args&);
int cmdShell(Context&, const Args&);

// Runs the CCL command line and prints what it produced (sets, captured
// output); throws Failure when the kernel refuses it.
void runCclLine(Context& ctx, const std::string& line);

// Runs one command with its words (after the command name) in ctx, printing
// a failure as "vxsh CMD: message" (prefix without "vxsh " in the shell);
// returns the exit status.
int runCommand(Context& ctx, const Command& c, const std::vector<std::string>& words);

}  // namespace vxsh
