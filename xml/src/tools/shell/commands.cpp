// The command table, the option parser and the help texts.
#include <string.h>

#include "vxsh.h"

namespace vxsh {

namespace {

const OptionSpec kDocOptions[] = {{"id", 0, "ID"}, {"url", 0, "URL"}};

std::vector<OptionSpec> docOptions(std::vector<OptionSpec> more = {})
{
    std::vector<OptionSpec> o(std::begin(kDocOptions), std::end(kDocOptions));
    o.insert(o.end(), more.begin(), more.end());
    return o;
}

}  // namespace

const std::vector<Command>& commands()
{
    static const std::vector<Command> table = {
        {"init", "", "make the data directory and set the password of warden",
         "Creates the data directory (--data DIR, else $VDBS_DATA, else ./vdbs-data)\n"
         "and sets the password of the user warden. The password comes from\n"
         "$VDBS_PASSWORD, or is asked for twice on a terminal. A data directory\n"
         "whose warden has a password already is left alone.\n",
         {}, 0, 0, false, cmdInit},
        {"create", "NAME [--design xml|link|FILE]", "create a base",
         "Creates the base NAME. Its design is one of:\n"
         "  xml    XML documents (the default)\n"
         "  link   the link base that records links between documents\n"
         "  FILE   a design file: one field per line, \"name type [part] [recname]\"\n",
         {{"design", 0, "DESIGN"}}, 1, 1, true, cmdCreate},
        {"drop", "NAME", "drop a base with all its documents",
         "Drops the base NAME with all its records. There is no undo.\n", {}, 1, 1, true, cmdDrop},
        {"bases", "", "list the bases: names, designs, record counts",
         "Lists the bases of the data directory with their designs and record\ncounts.\n", {}, 0, 0, true,
         cmdBases},
        {"store", "NAME PATH...", "store XML files and folders",
         "Stores XML documents into the base NAME. A PATH that is a folder is\n"
         "walked recursively for *.xml files (every file with --all; names that\n"
         "begin with a dot are skipped); a file is stored whatever its name.\n"
         "\n"
         "Each document is stored under a URL: its path relative to the folder\n"
         "given, or its file name for a file given by itself, behind --url-base\n"
         "when one is given. A document whose URL is stored already is replaced\n"
         "in place and keeps its identity, so storing a folder twice makes no\n"
         "duplicates. A document that cannot be stored is reported with its path\n"
         "and the parser's message, and the others are stored all the same; the\n"
         "exit status is then 1. On a terminal a progress line shows documents,\n"
         "megabytes, rate and time left; a summary line ends the run.\n"
         "\n"
         "Options:\n"
         "  --all            store every file of a folder, not only *.xml\n"
         "  --validate       validate against the document's DTD or schema\n"
         "  --no-raw         keep only the nodes, not the document text as written\n"
         "  --stream         send each document over the file streamer\n"
         "                   (the document text is not kept)\n"
         "  --url-base URL   put URL/ in front of every document's URL\n",
         {{"all", 0, nullptr}, {"validate", 0, nullptr}, {"no-raw", 0, nullptr}, {"stream", 0, nullptr},
          {"url-base", 0, "URL"}},
         2, -1, true, cmdStore},
        {"store-blob", "NAME PATH...", "store files as non-XML documents",
         "Stores files of any kind into the base NAME as non-XML documents. A\n"
         "PATH that is a folder is walked recursively (names that begin with a dot\n"
         "are skipped). URLs, replacement and failures work as for store, except\n"
         "that a non-XML document never replaces an XML one (delete that first).\n"
         "\n"
         "Options:\n"
         "  --stream         send each file over the file streamer\n"
         "  --url-base URL   put URL/ in front of every document's URL\n",
         {{"stream", 0, nullptr}, {"url-base", 0, "URL"}}, 2, -1, true, cmdStoreBlob},
        {"get", "NAME (--id ID | --url URL) [--rebuild] [-o FILE]", "write a stored document",
         "Writes the document with identity ID or URL URL of the base NAME to\n"
         "standard output, or to FILE. An XML document comes back as it was\n"
         "stored when its text was kept; --rebuild makes it from its nodes\n"
         "instead. A non-XML document comes back byte for byte.\n",
         docOptions({{"rebuild", 0, nullptr}, {"output", 'o', "FILE"}}), 1, 1, true, cmdGet},
        {"query", "NAME XPATH [--fragments XPATH] [--from N] [--to M] [--highlight] [--count]",
         "run an XPath query",
         "Runs XPATH on the documents of the base NAME. Without --fragments it\n"
         "writes the result element, which names the kernel's result set and the\n"
         "number of documents found. With --fragments it writes a fragment set:\n"
         "the nodes that the fragment expression selects in the documents found,\n"
         "each as XML.\n"
         "\n"
         "Options:\n"
         "  --fragments XPATH  the nodes to return from the documents found\n"
         "                     (often the query itself)\n"
         "  --from N, --to M   only the documents N to M of the result (from 1)\n"
         "  --highlight        mark the text the query matched with\n"
         "                     <VORNHLBEGIN/> and <VORNHLEND/>\n"
         "  --count            print only the number of nodes and documents found\n"
         "\n"
         "Example:\n"
         "  vxsh query docs \"//description[contains(., 'whale')]\" \\\n"
         "       --fragments \"//description[contains(., 'whale')]\" --highlight\n",
         {{"fragments", 0, "XPATH"}, {"from", 0, "N"}, {"to", 0, "M"}, {"highlight", 0, nullptr},
          {"count", 0, nullptr}},
         2, 2, true, cmdQuery},
        {"update", "NAME XPATH VALUE", "set the text and attribute values XPATH selects",
         "Replaces the value of every text and attribute node that XPATH selects\n"
         "in the base NAME by VALUE. Elements are not changed: select their text,\n"
         "as in //title/text(). A document changed this way is rebuilt from its\n"
         "nodes by get, since the text it was stored with no longer matches.\n",
         {}, 3, 3, true, cmdUpdate},
        {"delete", "NAME (--id ID | --url URL)", "delete a document",
         "Deletes the document with identity ID or URL URL from the base NAME,\n"
         "and its record in the link base when links are recorded.\n",
         docOptions(), 1, 1, true, cmdDelete},
        {"links", "NAME (--id ID | --url URL)", "list the link targets of a document",
         "Lists the targets of the links of a document as the link base records\n"
         "them after vxlinker resolved them: the target's URL, base and identity.\n",
         docOptions(), 1, 1, true, cmdLinks},
        {"ccl", "NAME [COMMAND...]", "run CCL commands on a base",
         "Opens the base NAME and runs COMMAND (its words joined by blanks) in the\n"
         "kernel's command language; without COMMAND it runs the commands on\n"
         "standard input, one per line. After each search it prints the set made\n"
         "and its counts.\n"
         "\n"
         "Example:\n"
         "  vxsh ccl docs 'FIND N_NAME=title AND.T N_TYPE=ELEMENT'\n",
         {}, 1, -1, true, cmdCcl},
        {"shell", "", "interactive prompt for these commands and CCL",
         "Reads commands from a prompt, with line editing and history, until\n"
         "quit, exit or end of input. A line that begins with a vxsh command runs\n"
         "it (words are quoted as in a Unix shell); any other line is a CCL\n"
         "command on the open base, followed by the set it made and its counts.\n"
         "Sets live as long as the shell, so a query's set can be used by later\n"
         "CCL commands. CCL's DELETE must be written in capitals there, as delete\n"
         "is the command that deletes a document.\n",
         {}, 0, 0, true, cmdShell},
    };
    return table;
}

const Command* findCommand(const std::string& name)
{
    for (const Command& c : commands())
        if (name == c.name)
            return &c;
    return nullptr;
}

namespace {

const OptionSpec kGlobal[] = {{"data", 0, "DIR"}, {"user", 0, "NAME"}};

const OptionSpec* findOption(const Command& c, const std::string& name, char shortName)
{
    for (const OptionSpec& o : c.options)
        if ((shortName && o.shortName == shortName) || (!shortName && name == o.name))
            return &o;
    for (const OptionSpec& o : kGlobal)
        if (!shortName && name == o.name)
            return &o;
    return nullptr;
}

// A word that is an option, as opposed to a value such as -5 or "-".
bool looksLikeOption(const std::string& w)
{
    if (w.size() < 2 || w[0] != '-')
        return false;
    if (isdigit(static_cast<unsigned char>(w[1])) || w[1] == '.')
        return false;
    return true;
}

}  // namespace

Args parseArgs(const Command& c, const std::vector<std::string>& words)
{
    Args a;
    bool optionsEnd = false;
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& w = words[i];
        if (optionsEnd || !looksLikeOption(w)) {
            a.positional.push_back(w);
            continue;
        }
        if (w == "--") {
            optionsEnd = true;
            continue;
        }
        std::string name, value;
        bool hasValue = false;
        const OptionSpec* o = nullptr;
        if (w.compare(0, 2, "--") == 0) {
            name = w.substr(2);
            size_t eq = name.find('=');
            if (eq != std::string::npos) {
                value = name.substr(eq + 1);
                name.resize(eq);
                hasValue = true;
            }
            o = findOption(c, name, 0);
        } else if (w.size() == 2) {
            o = findOption(c, "", w[1]);
        } else {
            // -oFILE
            o = findOption(c, "", w[1]);
            if (o && o->value) {
                value = w.substr(2);
                hasValue = true;
            } else {
                o = nullptr;
            }
        }
        if (!o)
            throw UsageError("unknown option '" + w + "'");
        if (o->value) {
            if (!hasValue) {
                if (i + 1 >= words.size())
                    throw UsageError("option --" + std::string(o->name) + " needs a value (" + o->value + ")");
                value = words[++i];
            }
        } else if (hasValue) {
            throw UsageError("option --" + std::string(o->name) + " takes no value");
        }
        a.options[o->name] = value;
    }
    int n = static_cast<int>(a.positional.size());
    if (n < c.minArgs) {
        // Name the first missing argument from the synopsis.
        std::string syn = c.synopsis;
        std::vector<std::string> names;
        size_t p = 0;
        while (p < syn.size()) {
            size_t e = syn.find(' ', p);
            std::string t = syn.substr(p, e == std::string::npos ? std::string::npos : e - p);
            if (!t.empty() && t[0] != '[' && t[0] != '(' && t[0] != '-' && t.back() != ')' && t.back() != ']' &&
                t.find('|') == std::string::npos)
                names.push_back(t);
            if (e == std::string::npos)
                break;
            p = e + 1;
        }
        std::string missing = static_cast<size_t>(n) < names.size() ? names[static_cast<size_t>(n)] : "an argument";
        if (missing.size() > 3 && missing.compare(missing.size() - 3, 3, "...") == 0)
            missing.resize(missing.size() - 3);
        throw UsageError("missing " + missing);
    }
    if (c.maxArgs >= 0 && n > c.maxArgs)
        throw UsageError("unexpected argument '" + a.positional[static_cast<size_t>(c.maxArgs)] + "'");
    return a;
}

void printCommandHelp(const Command& c, FILE* out)
{
    fprintf(out, "Usage: vxsh %s%s%s\n\n%s", c.name, *c.synopsis ? " " : "", c.synopsis, c.help);
    if (c.needsSession || !strcmp(c.name, "init"))
        fprintf(out, "\nCommon options: --data DIR (data directory), --user NAME (default warden).\n");
}

void printMainHelp(FILE* out)
{
    fputs("Usage: vxsh [--data DIR] [--user NAME] COMMAND [ARGUMENTS]\n"
          "\n"
          "Works with an XML document store: makes bases, stores XML files and\n"
          "folders, answers XPath queries, fetches, updates and deletes documents,\n"
          "shows their links, and runs the kernel's command language (CCL).\n"
          "\n"
          "Commands:\n",
          out);
    for (const Command& c : commands())
        fprintf(out, "  %-11s %s\n", c.name, c.summary);
    fputs("\n"
          "Options:\n"
          "  --data DIR    data directory (default: $VDBS_DATA, else ./vdbs-data)\n"
          "  --user NAME   user to log in as (default: $VDBS_USER, else warden)\n"
          "  -h, --help    this text; 'vxsh COMMAND --help' explains a command\n"
          "  --version     the version\n"
          "\n"
          "Environment:\n"
          "  VDBS_DATA      data directory\n"
          "  VDBS_PASSWORD  password; asked for on a terminal when it is not set\n"
          "                 and the empty password does not log in\n"
          "  XML_LINKS=1    record the links of stored documents in the link base\n"
          "                 named by XML_LINK_DB (default XML_LINK_DB)\n"
          "\n"
          "Exit status: 0 success, 1 failure, 2 wrong usage.\n"
          "\n"
          "Example:\n"
          "  vxsh init\n"
          "  vxsh create docs\n"
          "  vxsh store docs examples/\n"
          "  vxsh query docs '//book[price > 10]' --fragments '//book/title'\n",
          out);
}

}  // namespace vxsh
