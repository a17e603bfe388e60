// init, create, drop, bases.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "vxsh.h"

namespace vxsh {

namespace {

// mkdir -p; returns the errno of the first failure, 0 on success.
int makeDirs(const std::string& path)
{
    std::string p;
    size_t i = 0;
    while (i <= path.size()) {
        size_t e = path.find('/', i);
        if (e == std::string::npos)
            e = path.size();
        p = path.substr(0, e);
        if (!p.empty() && mkdir(p.c_str(), 0700) != 0 && errno != EEXIST)
            return errno;
        i = e + 1;
    }
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return errno;
    return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

}  // namespace

int cmdInit(Context& ctx, const Args&)
{
    if (ctx.inShell)
        throw Failure("not available inside the shell: the data directory is open");
    std::string password;
    if (const char* pw = getenv("VDBS_PASSWORD")) {
        password = pw;
    } else if (isatty(STDIN_FILENO)) {
        std::string again;
        if (!askSecret("New password for warden: ", password) || !askSecret("Repeat it: ", again))
            throw Failure("no password given");
        if (password != again)
            throw Failure("the two passwords differ; nothing was changed");
    } else {
        throw Failure("no password: set VDBS_PASSWORD, or run on a terminal to be asked for one");
    }
    if (password.empty())
        throw Failure("the password of warden must not be empty");
    struct stat st;
    bool existed = stat(ctx.dataDir.c_str(), &st) == 0;
    bool hadStore = stat((ctx.dataDir + "/vdbs.db").c_str(), &st) == 0;
    if (int e = makeDirs(ctx.dataDir))
        throw Failure("cannot make the data directory " + ctx.dataDir + ": " + strerror(e));
    int rc = VdbInitData(ctx.dataDir.c_str(), password.c_str());
    if (rc == VDB_INITDONE)
        throw Failure(ctx.dataDir + " is initialised already: its warden has a password (nothing was changed)");
    if (!(rc & 1)) {
        std::string why = message(rc);
        if (!existed)
            rmdir(ctx.dataDir.c_str());
        throw Failure("cannot initialise " + ctx.dataDir + ": " + why);
    }
    printf("%s data directory %s; warden's password is set\n", hadStore ? "Initialised" : "Made",
           ctx.dataDir.c_str());
    return 0;
}

int cmdCreate(Context& ctx, const Args& a)
{
    const std::string& name = a.positional[0];
    std::string design = a.get("design", "xml");
    if (design.empty())
        throw UsageError("--design needs a value: xml, link or a design file");
    std::string given = design;
    if (design != "xml" && design != "link") {
        struct stat st;
        if (stat(design.c_str(), &st) != 0)
            throw Failure("design " + quoted(design) + " is neither xml, link nor a readable file: " + strerror(errno));
        design = absolutePath(design);
    }
    ctx.open();
    int rc = VdbCreateBase(name.c_str(), design.c_str());
    if (rc == VDB_BASEEXISTS)
        throw Failure("a base named " + quoted(name) + " exists already");
    if (!(rc & 1))
        throw Failure("cannot create base " + quoted(name) + " with design " + given + ": " + message(rc));
    printf("Created base %s (design %s)\n", name.c_str(), given.c_str());
    return 0;
}

int cmdDrop(Context& ctx, const Args& a)
{
    const std::string& name = a.positional[0];
    ctx.open();
    int records = 0;
    int rc = VdbBaseInfo(name.c_str(), 2, nullptr, &records);
    if (rc == VDB_NOBASE)
        throw Failure("no base named " + quoted(name) + " (see 'vxsh bases')");
    rc = VdbDropBase(name.c_str());
    if (!(rc & 1))
        throw Failure("cannot drop base " + quoted(name) + ": " + message(rc));
    printf("Dropped base %s with %s\n", name.c_str(), plural(records, "record", "records").c_str());
    return 0;
}

int cmdBases(Context& ctx, const Args&)
{
    ctx.open();
    std::vector<std::vector<std::string>> rows;
    for (int i = 0;; ++i) {
        char name[64] = "", design[64] = "";
        int records = 0;
        int rc = VdbListBases(i, name, design, &records);
        if (rc == VDB_EOF)
            break;
        if (!(rc & 1))
            throw Failure("cannot list the bases: " + message(rc));
        rows.push_back({name, design, std::to_string(records)});
    }
    if (rows.empty()) {
        printf("No bases in %s (make one with 'vxsh create NAME')\n", ctx.dataDir.c_str());
        return 0;
    }
    printTable(stdout, {"NAME", "DESIGN", "RECORDS"}, rows, {false, false, true});
    return 0;
}

}  // namespace vxsh
