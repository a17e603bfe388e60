// Configuration readers: sectioned configuration files (Config_*), the
// kernel configuration values (VfxReadRCS, environment first, cached per
// thread), thread-local storage and a path helper.
#pragma once

#include <pthread.h>
#include <stddef.h>

typedef struct VfxConfigEntry {
    char* key;
    char* value; // "" when the line had no "="
    struct VfxConfigEntry* next;
} VfxConfigEntry;

typedef struct VfxConfigSection {
    char* name; // the first section is unnamed ("") and holds the lines before any header
    VfxConfigEntry* entries;
    struct VfxConfigSection* next;
} VfxConfigSection;

typedef struct VfxConfig {
    char* path; // the file name as opened
    VfxConfigSection* sections;
} VfxConfig;

typedef pthread_key_t VfxTLSKey;

#ifdef __cplusplus
extern "C" {
#endif

// Reads a file of "[section]" headers and "key = value" lines; lines starting
// with "#", "'", ";" or "//" are comments. Null (errno set) when the file
// cannot be opened or read.
VfxConfig* Config_Open(const char* path);
void Config_Close(VfxConfig* cfg);
// Null or "" gives the unnamed first section; otherwise the first later
// section of that name, ignoring case.
VfxConfigSection* Config_GetSection(VfxConfig* cfg, const char* name);
// First entry of that key, ignoring case.
VfxConfigEntry* Config_GetEntry(VfxConfigSection* section, const char* key);
// Replaces the value of the first entry with that key, or puts a new entry at
// the front. 0, or -1 for a null section or key.
int Config_SetEntry(VfxConfigSection* section, const char* key, const char* value);
// Merges every "*.conf*" file of the directory named by entry `key` (default
// "ConfigDir") of `section` into cfg, in name order. A relative directory is
// taken from the configuration file's own directory. 0 when the directory was
// read, -1 when the section, the entry or the directory is missing.
int Config_DirOpen(VfxConfig* cfg, const char* section, const char* key);

// Writes path unchanged when it starts with "/", else the current directory,
// a separator and path. Never writes more than nSize bytes: 0, EINVAL for null
// arguments, ENAMETOOLONG (dst set to "") when the result does not fit.
int VfxRelativeDirToAbsolute(char* dst, const char* path, size_t nSize);

// The kernel configuration value `name`: the environment variable of that
// name when set, else the first "name=value" line of the configuration file
// (key compared ignoring case, a "#" starts a comment). The file is the one
// named by VORNRCS, else /usr/local/vorn/sys/conf/vdbs.conf, else /.VORNrcs;
// its lines are cached per thread. Returns a heap copy (VfxFreeRCS) or null.
// nScope is not used.
char* VfxReadRCS(const char* name, int nScope);
void VfxFreeRCS(char* value);
// The same with a caller's thread-local key holding the cache.
char* VfxReadTlsRCS(VfxTLSKey key, const char* name, int nScope);
// Both drop the calling thread's cache held under key.
void VfxOpenTlsRCS(VfxTLSKey key);
void VfxCloseTlsRCS(VfxTLSKey key);
// Drops the calling thread's cache of VfxReadRCS and deletes its key; the
// next VfxReadRCS starts afresh (and rereads the file).
void VfxCloseRCS(void);

// Thread-local slots. A null destructor releases a value with VfxMemFree at
// thread exit. Status results are 0 or an errno value.
int VfxCreateTLS(VfxTLSKey* key, void (*destructor)(void*));
void* VfxGetTLSValue(VfxTLSKey key);
int VfxSetTLSValue(VfxTLSKey key, void* value);
int VfxDeleteTLS(VfxTLSKey key);

#ifdef __cplusplus
}
#endif
