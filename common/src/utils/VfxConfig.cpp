#include "VfxConfig.h"

#include "VfxMemory.h"

#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

std::string trimmed(const std::string& s)
{
    size_t b = 0, e = s.size();
    while (b < e && isspace(static_cast<unsigned char>(s[b])))
        ++b;
    while (e > b && isspace(static_cast<unsigned char>(s[e - 1])))
        --e;
    return s.substr(b, e - b);
}

char* dup(const std::string& s)
{
    char* p = static_cast<char*>(malloc(s.size() + 1));
    if (p)
        memcpy(p, s.c_str(), s.size() + 1);
    return p;
}

VfxConfigSection* newSection(const std::string& name)
{
    auto* s = static_cast<VfxConfigSection*>(calloc(1, sizeof(VfxConfigSection)));
    if (s)
        s->name = dup(name);
    return s;
}

VfxConfigEntry* newEntry(const std::string& key, const std::string& value)
{
    auto* e = static_cast<VfxConfigEntry*>(calloc(1, sizeof(VfxConfigEntry)));
    if (e) {
        e->key = dup(key);
        e->value = dup(value);
    }
    return e;
}

void freeEntries(VfxConfigEntry* e)
{
    while (e) {
        VfxConfigEntry* next = e->next;
        free(e->key);
        free(e->value);
        free(e);
        e = next;
    }
}

bool isComment(const std::string& line)
{
    return line[0] == '#' || line[0] == '\'' || line[0] == ';' || line.compare(0, 2, "//") == 0;
}

} // namespace

extern "C" {

VfxConfig* Config_Open(const char* path)
{
    if (!path || !*path) {
        errno = EINVAL;
        return nullptr;
    }
    FILE* f = fopen(path, "re");
    if (!f)
        return nullptr;
    auto* cfg = static_cast<VfxConfig*>(calloc(1, sizeof(VfxConfig)));
    if (!cfg) {
        fclose(f);
        errno = ENOMEM;
        return nullptr;
    }
    cfg->path = dup(path);
    cfg->sections = newSection("");
    VfxConfigSection* current = cfg->sections;
    VfxConfigEntry* lastEntry = nullptr;

    // Whole lines, however long: a cut line would turn its tail into an entry.
    char* raw = nullptr;
    size_t cap = 0;
    ssize_t n;
    while ((n = getline(&raw, &cap, f)) >= 0) {
        std::string line = trimmed(std::string(raw, strnlen(raw, static_cast<size_t>(n))));
        if (line.empty() || isComment(line))
            continue;
        if (line[0] == '[') {
            size_t close = line.rfind(']');
            std::string name = close == std::string::npos ? line.substr(1) : line.substr(1, close - 1);
            VfxConfigSection* s = newSection(name);
            current->next = s;
            current = s;
            lastEntry = nullptr;
            continue;
        }
        size_t eq = line.find('=');
        VfxConfigEntry* e = eq == std::string::npos ? newEntry(line, "")
                                                    : newEntry(trimmed(line.substr(0, eq)), trimmed(line.substr(eq + 1)));
        if (!e)
            continue;
        if (lastEntry)
            lastEntry->next = e;
        else
            current->entries = e;
        lastEntry = e;
    }
    free(raw);
    int readError = ferror(f) ? errno : 0;
    fclose(f);
    if (readError) {
        Config_Close(cfg);
        errno = readError;
        return nullptr;
    }
    return cfg;
}

void Config_Close(VfxConfig* cfg)
{
    if (!cfg)
        return;
    VfxConfigSection* s = cfg->sections;
    while (s) {
        VfxConfigSection* next = s->next;
        freeEntries(s->entries);
        free(s->name);
        free(s);
        s = next;
    }
    free(cfg->path);
    free(cfg);
}

VfxConfigSection* Config_GetSection(VfxConfig* cfg, const char* name)
{
    if (!cfg || !cfg->sections)
        return nullptr;
    if (!name || !*name)
        return cfg->sections;
    for (VfxConfigSection* s = cfg->sections->next; s; s = s->next)
        if (strcasecmp(s->name, name) == 0)
            return s;
    return nullptr;
}

VfxConfigEntry* Config_GetEntry(VfxConfigSection* section, const char* key)
{
    if (!section || !key)
        return nullptr;
    for (VfxConfigEntry* e = section->entries; e; e = e->next)
        if (strcasecmp(e->key, key) == 0)
            return e;
    return nullptr;
}

int Config_SetEntry(VfxConfigSection* section, const char* key, const char* value)
{
    if (!section || !key)
        return -1;
    const char* v = value ? value : "";
    if (VfxConfigEntry* e = Config_GetEntry(section, key)) {
        char* copy = dup(v);
        free(e->value);
        e->value = copy;
        return 0;
    }
    VfxConfigEntry* e = newEntry(key, v);
    if (!e)
        return -1;
    e->next = section->entries;
    section->entries = e;
    return 0;
}

int Config_DirOpen(VfxConfig* cfg, const char* section, const char* key)
{
    if (!cfg)
        return -1;
    VfxConfigEntry* entry = Config_GetEntry(Config_GetSection(cfg, section), key && *key ? key : "ConfigDir");
    if (!entry || !*entry->value)
        return -1;

    std::string dir = entry->value;
    if (dir[0] != '/') {
        char base[PATH_MAX + 1];
        if (VfxRelativeDirToAbsolute(base, cfg->path, sizeof base) != 0)
            return -1;
        std::string own = base;
        dir = own.substr(0, own.rfind('/') + 1) + dir;
    }
    DIR* d = opendir(dir.c_str());
    if (!d)
        return -1;
    // Name order, so the merge does not depend on the directory's layout.
    std::vector<std::string> names;
    while (struct dirent* de = readdir(d))
        if (strstr(de->d_name, ".conf"))
            names.push_back(de->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());

    for (const std::string& name : names) {
        VfxConfig* other = Config_Open((dir + "/" + name).c_str());
        if (!other)
            continue;
        for (VfxConfigSection* s = other->sections; s; s = s->next) {
            VfxConfigSection* target = nullptr;
            for (VfxConfigSection* t = cfg->sections; t && !target; t = t->next)
                if (strcasecmp(t->name, s->name) == 0)
                    target = t;
            if (!target) {
                target = newSection(s->name);
                VfxConfigSection* last = cfg->sections;
                while (last->next)
                    last = last->next;
                last->next = target;
                // Keep the file order of a section that arrives whole.
                VfxConfigEntry** tail = &target->entries;
                for (VfxConfigEntry* e = s->entries; e; e = e->next) {
                    *tail = newEntry(e->key, e->value);
                    tail = &(*tail)->next;
                }
                continue;
            }
            for (VfxConfigEntry* e = s->entries; e; e = e->next)
                Config_SetEntry(target, e->key, e->value);
        }
        Config_Close(other);
    }
    return 0;
}

int VfxRelativeDirToAbsolute(char* dst, const char* path, size_t nSize)
{
    if (!dst || !path || nSize < 1)
        return EINVAL;
    std::string result;
    if (path[0] == '/') {
        result = path;
    } else {
        char cwd[PATH_MAX + 1];
        if (!getcwd(cwd, sizeof cwd)) {
            int err = errno;
            dst[0] = 0;
            return err;
        }
        result = cwd;
        if (result.empty() || (result.back() != '/' && result.back() != '\\'))
            result += '/';
        result += path;
    }
    if (result.size() >= nSize) {
        dst[0] = 0;
        return ENAMETOOLONG;
    }
    memcpy(dst, result.c_str(), result.size() + 1);
    return 0;
}

} // extern "C"
