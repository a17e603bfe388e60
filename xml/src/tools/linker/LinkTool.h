// What vxlinker and linktidy share: the default credentials, the session
// start, CCL and single field values on records, and the way both tools
// report a kernel status and leave.
#pragma once

#include <string>
#include <vector>

#include "vornapi.h"

// Used when -u or -p is not given. The default password is empty, the
// password of a data directory whose password was never set: a store whose
// password was set never opens with it.
extern const char g_szStdUser[];
extern const char g_szStdPass[];

// Starts the kernel session. The working directory becomes VDBS_SIF (or
// /tmp); a relative data directory is fixed to where it pointed before.
int StartVORNSession(const char* pszUser, const char* pszPassword);

// Formats a command (at most 8191 bytes; a longer one is refused with
// VDB_BADARG rather than run cut) and runs it.
int executeCCL(const char* pszFormat, ...) __attribute__((format(printf, 1, 2)));

int checkField(VdbHandle hControl, const char* pszField, int* pnNumber);
// *pnLength: in the capacity of pszBuffer, out the length read. The line
// argument is not used.
int readField(VdbHandle hControl, const char* pszField, int nPart, int nLine, char* pszBuffer, int* pnLength);
int writeField(VdbHandle hControl, const char* pszField, int nPart, int nLine, const char* pszText);

// Canonical command word in the session's spelling (17-byte buffer).
void shellSymbol(const char* pszCanonical, char szOut[17]);

// field=value quoted so that the kernel takes the value literally; false
// when the value holds every quote character.
bool quotedCondition(const char* pszField, const char* pszValue, std::string& strOut);

// The kernel's text for a status, at most 200 characters.
std::string kernelMessage(int status);

// An exit value that keeps a failing status a failure: statuses above 255
// keep their low byte unless that is 0.
int toolExitCode(int status);

// Prints "VORN error #<status>: <message>", closes the session and exits.
[[noreturn]] void errorExit(int status);

// False only on proof that the database holds no document of that identity
// (the record name of the document design is D_ID): link records are
// deleted on nothing less.
bool documentExists(const char* pszDatabase, const char* pszIdentity);

// The names of the XML databases, in the order of the kernel's base listing
// (captured in a screen window of its own). Returns the listing's status.
int listXmlDatabases(std::vector<std::string>& names);
