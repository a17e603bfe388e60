// vxsh: the command line of the document store.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "vxsh.h"

namespace vxsh {

int runCommand(Context& ctx, const Command& c, const std::vector<std::string>& words)
{
    std::string prefix = ctx.inShell ? std::string(c.name) : std::string("vxsh ") + c.name;
    for (const std::string& w : words) {
        if (w == "--")
            break;
        if (w == "-h" || w == "--help") {
            printCommandHelp(c, stdout);
            return 0;
        }
    }
    try {
        Args a = parseArgs(c, words);
        if (a.has("data") || a.has("user")) {
            if (ctx.isOpen())
                throw UsageError("--data and --user cannot change while the data directory is open");
            if (a.has("data")) {
                if (a.get("data").empty())
                    throw UsageError("--data needs a directory");
                ctx.dataDir = absolutePath(a.get("data"));
            }
            if (a.has("user")) {
                if (a.get("user").empty())
                    throw UsageError("--user needs a name");
                ctx.user = a.get("user");
            }
        }
        return c.run(ctx, a);
    } catch (const UsageError& e) {
        fflush(stdout);
        std::string hint = "(see '" + (ctx.inShell ? std::string("help ") + c.name : std::string("vxsh ") + c.name + " --help") + "')";
        // In the shell "delete S=1" is meant as CCL more often than not.
        if (ctx.inShell && !strcmp(c.name, "delete") && !words.empty() && strncasecmp(words[0].c_str(), "S=", 2) == 0)
            hint = "(CCL's DELETE is written in capitals here; see 'help delete')";
        fprintf(stderr, "%s: %s %s\n", prefix.c_str(), e.what(), hint.c_str());
        return 2;
    } catch (const Failure& e) {
        fflush(stdout);
        fprintf(stderr, "%s: %s\n", prefix.c_str(), e.what());
        return 1;
    }
}

}  // namespace vxsh

using namespace vxsh;

namespace {

const char* kVersion = "vxsh 3.0 (vornxml 3.0-1)";

int usage(const std::string& msg)
{
    fprintf(stderr, "vxsh: %s (see 'vxsh --help')\n", msg.c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    Context ctx;
    const char* data = QueryRCS("VDBS_DATA", 7);
    ctx.dataDir = absolutePath(data && *data ? data : "./vdbs-data");
    if (const char* u = getenv("VDBS_USER"); u && *u)
        ctx.user = u;

    std::vector<std::string> args(argv + 1, argv + argc);
    size_t i = 0;
    // Options before the command.
    for (; i < args.size(); ++i) {
        const std::string& w = args[i];
        if (w.empty() || w[0] != '-')
            break;
        if (w == "-h" || w == "--help") {
            printMainHelp(stdout);
            return 0;
        }
        if (w == "--version") {
            printf("%s\n", kVersion);
            return 0;
        }
        std::string name = w, value;
        bool inline_ = false;
        size_t eq = w.find('=');
        if (eq != std::string::npos) {
            name = w.substr(0, eq);
            value = w.substr(eq + 1);
            inline_ = true;
        }
        if (name != "--data" && name != "--user")
            return usage("unknown option '" + w + "'");
        if (!inline_) {
            if (i + 1 >= args.size())
                return usage("option " + name + " needs a value");
            value = args[++i];
        }
        if (value.empty())
            return usage("option " + name + " needs a value");
        if (name == "--data")
            ctx.dataDir = absolutePath(value);
        else
            ctx.user = value;
    }
    if (i >= args.size()) {
        printMainHelp(stderr);
        return 2;
    }
    std::string name = args[i++];
    if (name == "help") {
        if (i < args.size()) {
            const Command* c = findCommand(args[i]);
            if (!c)
                return usage("no command named '" + args[i] + "'");
            printCommandHelp(*c, stdout);
        } else {
            printMainHelp(stdout);
        }
        return 0;
    }
    const Command* c = findCommand(name);
    if (!c)
        return usage("unknown command '" + name + "'");
    std::vector<std::string> words(args.begin() + static_cast<long>(i), args.end());
    int rc = runCommand(ctx, *c, words);
    ctx.close();
    if (fflush(stdout) != 0 && rc == 0) {
        fprintf(stderr, "vxsh %s: cannot write to standard output: %s\n", c->name, strerror(errno));
        return 1;
    }
    return rc;
}
