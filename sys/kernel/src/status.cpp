#include "status.h"

#include <cstdarg>
#include <cstdio>

#include "vornapi_types.h"

namespace vdbs {
namespace {

struct Entry {
    int status;
    const char* text;
};

// One table for every status the kernel returns.
const Entry kCatalogue[] = {
    {VDB_OK, "Success"},
    {VDB_EOF, "No further data"},
    {VDB_NOITEM, "Item does not exist"},
    {VDB_BADHANDLE, "Invalid handle"},
    {VDB_NOSESSION, "No session started"},
    {VDB_BADARG, "Invalid argument"},
    {VDB_LOGIN, "Wrong user or password"},
    {VDB_DATADIR, "Data directory cannot be used"},
    {VDB_NOBASE, "Unknown base"},
    {VDB_NOBASEOPEN, "No base open"},
    {VDB_BASEEXISTS, "Base exists already"},
    {VDB_BADNAME, "Invalid base name"},
    {VDB_BADDESIGN, "Invalid design"},
    {VDB_NORECORD, "Record does not exist"},
    {VDB_TEXTFORM, "Malformed record text form"},
    {VDB_NAMETAKEN, "Record name belongs to another record"},
    {VDB_NOSET, "Set does not exist"},
    {VDB_SYNTAX, "CCL syntax error"},
    {VDB_AXIS, "Unknown axis"},
    {VDB_NOFILTER, "Unknown filter"},
    {VDB_FILTERLOAD, "Filter module cannot be loaded"},
    {VDB_NOASE, "Kernel extension not available"},
    {VDB_STORAGE, "Storage failure"},
    {VDB_NOWINDOW, "No such screen window"},
    {VDB_SCROLLEND, "No further page"},
    {VDB_NOSYMBOL, "Unknown command word"},
    {VDB_NOCONTEXT, "Record has no search context"},
    {VDB_FIELDKIND, "Field is of the wrong kind for this call"},
    {VDB_STACKEMPTY, "No saved status"},
    {VDB_INITDONE, "Data directory is initialised already"},
    {VDB_NOTAVAILABLE, "Call not available"},
    {VDB_FILTERERROR, "Filter failed"},
    {VDB_BADFIELD, "Unknown field"},
    {VDB_NAMEEXISTS, "Record name exists"},
    {VDB_MAPEMPTY, "Mapped base holds no records"},
};

std::string g_lastMessage;
int g_lastStatus = VDB_OK;

}  // namespace

const char* catalogueText(int status) {
    for (const Entry& e : kCatalogue)
        if (e.status == status) return e.text;
    return (status & 1) ? "Success" : nullptr;
}

int fail(int status, const std::string& detail) {
    const char* base = catalogueText(status);
    std::string msg = base ? base : "Error";
    if (!detail.empty()) msg += ": " + detail;
    g_lastMessage = msg;
    g_lastStatus = status;
    return status;
}

int fail(int status, const char* fmt, ...) {
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return fail(status, std::string(buf));
}

const std::string& lastMessage() { return g_lastMessage; }
int lastStatus() { return g_lastStatus; }

}  // namespace vdbs
