// Kernel configuration values, cached per thread, and thread-local slots.
#include "VfxConfig.h"

#include "VfxMemory.h"

#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

namespace {

// One line of the kernel configuration file.
struct RcsLine {
    char text[512];
    RcsLine* next;
};

const char* const kRcsFiles[] = {"/usr/local/vorn/sys/conf/vdbs.conf", "/.VORNrcs"};

void freeLines(void* head)
{
    RcsLine* line = static_cast<RcsLine*>(head);
    while (line) {
        RcsLine* next = line->next;
        VfxMemFree(line);
        line = next;
    }
}

FILE* openRcsFile()
{
    const char* own = getenv("VORNRCS");
    if (own && *own)
        if (FILE* f = fopen(own, "re"))
            return f;
    for (const char* path : kRcsFiles)
        if (FILE* f = fopen(path, "re"))
            return f;
    return nullptr;
}

// Lines of at most 510 bytes, trailing white space removed. The rest of a
// longer line is dropped rather than read as a line of its own.
RcsLine* loadLines()
{
    FILE* f = openRcsFile();
    if (!f)
        return nullptr;
    RcsLine* head = nullptr;
    RcsLine** tail = &head;
    char buf[511];
    while (fgets(buf, sizeof buf, f)) {
        size_t n = strlen(buf);
        bool whole = n > 0 && buf[n - 1] == '\n';
        if (!whole && !feof(f)) {
            int c;
            while ((c = fgetc(f)) != EOF && c != '\n') {
            }
        }
        while (n > 0 && isspace(static_cast<unsigned char>(buf[n - 1])))
            buf[--n] = 0;
        RcsLine* line = static_cast<RcsLine*>(VfxMemAlloc(sizeof(RcsLine)));
        if (!line)
            break;
        memcpy(line->text, buf, n + 1);
        *tail = line;
        tail = &line->next;
    }
    fclose(f);
    return head;
}

pthread_mutex_t g_rcsLock = PTHREAD_MUTEX_INITIALIZER;
bool g_rcsKeyMade = false;
VfxTLSKey g_rcsKey;

} // namespace

extern "C" {

int VfxCreateTLS(VfxTLSKey* key, void (*destructor)(void*))
{
    if (!key)
        return EINVAL;
    return pthread_key_create(key, destructor ? destructor : VfxMemFree);
}

void* VfxGetTLSValue(VfxTLSKey key)
{
    return pthread_getspecific(key);
}

int VfxSetTLSValue(VfxTLSKey key, void* value)
{
    return pthread_setspecific(key, value);
}

int VfxDeleteTLS(VfxTLSKey key)
{
    return pthread_key_delete(key);
}

char* VfxReadTlsRCS(VfxTLSKey key, const char* name, int nScope)
{
    if (!name || !*name)
        return nullptr;
    RcsLine* lines = static_cast<RcsLine*>(VfxGetTLSValue(key));
    if (!lines) {
        lines = loadLines();
        if (lines)
            VfxSetTLSValue(key, lines);
    }
    // The environment wins, also when there is no configuration file at all.
    if (const char* env = getenv(name))
        return VfxStrDup(env);

    const size_t len = strlen(name);
    for (RcsLine* line = lines; line; line = line->next) {
        const char* eq = strchr(line->text, '=');
        if (!eq || static_cast<size_t>(eq - line->text) != len || strncasecmp(line->text, name, len) != 0)
            continue;
        char* value = VfxStrDup(eq + 1);
        if (char* hash = value ? strchr(value, '#') : nullptr) {
            *hash = 0;
            while (hash > value && isspace(static_cast<unsigned char>(hash[-1])))
                *--hash = 0;
        }
        return value;
    }
    return nullptr;
}

void VfxOpenTlsRCS(VfxTLSKey key)
{
    VfxCloseTlsRCS(key);
}

void VfxCloseTlsRCS(VfxTLSKey key)
{
    freeLines(VfxGetTLSValue(key));
    VfxSetTLSValue(key, nullptr);
}

char* VfxReadRCS(const char* name, int nScope)
{
    pthread_mutex_lock(&g_rcsLock);
    if (!g_rcsKeyMade && VfxCreateTLS(&g_rcsKey, freeLines) == 0)
        g_rcsKeyMade = true;
    bool ready = g_rcsKeyMade;
    VfxTLSKey key = g_rcsKey;
    pthread_mutex_unlock(&g_rcsLock);
    if (!ready)
        return name ? VfxStrDup(getenv(name)) : nullptr;
    return VfxReadTlsRCS(key, name, nScope);
}

void VfxFreeRCS(char* value)
{
    VfxMemFree(value);
}

void VfxCloseRCS(void)
{
    pthread_mutex_lock(&g_rcsLock);
    if (g_rcsKeyMade) {
        VfxCloseTlsRCS(g_rcsKey);
        VfxDeleteTLS(g_rcsKey);
        g_rcsKeyMade = false;
    }
    pthread_mutex_unlock(&g_rcsLock);
}

} // extern "C"
