#include "VfxLogger.h"

#include "VfxConfig.h"
#include "VfxMemory.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>

namespace {

const char* const kLevelWords[] = {"       ", "  FATAL", "  ERROR", "WARNING", "   INFO", "  DEBUG"};

bool isStdStream(FILE* fp)
{
    return fp == stdout || fp == stderr;
}

} // namespace

#define VFX_LOG_AT(level, module, code, fmt)                                                                          \
    do {                                                                                                               \
        if (GetLogLevel() < (level))                                                                                   \
            return;                                                                                                    \
        char text[TEXT_SIZE] = "";                                                                                     \
        if (fmt) {                                                                                                     \
            va_list args;                                                                                              \
            va_start(args, fmt);                                                                                       \
            vsnprintf(text, sizeof text, fmt, args);                                                                   \
            va_end(args);                                                                                              \
        }                                                                                                              \
        PrintLog((level), (module), (code), text);                                                                    \
    } while (0)

void IVfxLogger::FatalError(const char* pszModule, int nCode, const char* pszFormat, ...)
{
    VFX_LOG_AT(LL_FATAL, pszModule, nCode, pszFormat);
}

void IVfxLogger::Error(const char* pszModule, int nCode, const char* pszFormat, ...)
{
    VFX_LOG_AT(LL_ERROR, pszModule, nCode, pszFormat);
}

void IVfxLogger::Warning(const char* pszModule, int nCode, const char* pszFormat, ...)
{
    VFX_LOG_AT(LL_WARNING, pszModule, nCode, pszFormat);
}

void IVfxLogger::Information(const char* pszModule, const char* pszFormat, ...)
{
    VFX_LOG_AT(LL_INFO, pszModule, 0, pszFormat);
}

void IVfxLogger::Debug(const char* pszModule, const char* pszFormat, ...)
{
    VFX_LOG_AT(LL_DEBUG, pszModule, 0, pszFormat);
}

VfxFileLogger::VfxFileLogger(tagELogLevel eLevel) : m_bUseDate(true), m_pFile(nullptr), m_hMutex(VfxCreateMutex())
{
    m_eLogLevel = eLevel;
}

VfxFileLogger::~VfxFileLogger()
{
    if (m_pFile && !isStdStream(m_pFile))
        fclose(m_pFile);
    m_pFile = nullptr;
    VfxDestroyMutex(m_hMutex);
}

void VfxFileLogger::Lock()
{
    if (m_hMutex)
        VfxLockMutex(m_hMutex, 1);
}

void VfxFileLogger::Unlock()
{
    if (m_hMutex)
        VfxUnlockMutex(m_hMutex);
}

void VfxFileLogger::SetFile(FILE* fp)
{
    Lock();
    if (m_pFile && m_pFile != fp && !isStdStream(m_pFile))
        fclose(m_pFile);
    m_pFile = fp;
    Unlock();
}

bool VfxFileLogger::SetFile(const char* pszPath, const char* pszMode)
{
    if (GetLogLevel() == LL_OFF || !pszPath || !*pszPath)
        return false;
    Lock();
    if (m_pFile && !isStdStream(m_pFile))
        fclose(m_pFile);
    m_pFile = VfxOpenLogFile(pszPath, pszMode && *pszMode ? pszMode : "a");
    bool opened = m_pFile != nullptr;
    Unlock();
    return opened;
}

bool VfxFileLogger::CompleteFile(const char* pszDir, const char* pszName, const char* pszExt, const char* pszMode,
                                 bool bPid, bool bTid)
{
    char name[1048];
    getLogFileName(name, pszDir, pszName, pszExt, bPid, bTid);
    return SetFile(name, pszMode);
}

void VfxFileLogger::PrintLog(tagELogLevel eLevel, const char* pszModule, int nCode, const char* pszText)
{
    Lock();
    if (m_pFile) {
        char date[32] = "[";
        if (m_bUseDate) {
            time_t now = time(nullptr);
            char full[32];
            if (ctime_r(&now, full))
                snprintf(date, sizeof date, "%.19s ", full);
        }
        const char* word = eLevel >= LL_OFF && eLevel <= LL_DEBUG ? kLevelWords[eLevel] : kLevelWords[LL_OFF];
        char module[520] = "";
        if (pszModule && *pszModule)
            snprintf(module, sizeof module, "%.511s: ", pszModule);
        char code[16] = "";
        if (nCode != 0 && eLevel <= LL_WARNING)
            snprintf(code, sizeof code, "#%d ", nCode);
        const char* text = pszText ? pszText : "";
        const char* end = strchr(text, '\n') ? "" : "\n";
        fprintf(m_pFile, "[%s%s] %s%s%s%s", date, word, module, code, text, end);
        fflush(m_pFile);
    }
    Unlock();
}

extern "C" {

FILE* VfxOpenLogFile(const char* pszPath, const char* pszMode)
{
    if (!pszPath || !*pszPath || !pszMode || !*pszMode) {
        errno = EINVAL;
        return nullptr;
    }
    const bool plus = strchr(pszMode, '+') != nullptr;
    int flags;
    switch (pszMode[0]) {
    case 'r':
        flags = plus ? O_RDWR : O_RDONLY;
        break;
    case 'w':
        flags = (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC;
        break;
    case 'a':
        flags = (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
        break;
    default:
        errno = EINVAL;
        return nullptr;
    }
    if (strchr(pszMode, 'x'))
        flags |= O_EXCL;
    // O_NOFOLLOW also holds for O_CREAT: a planted (even dangling) link fails
    // with ELOOP. O_NONBLOCK keeps a planted FIFO from blocking the open.
    int fd = open(pszPath, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0)
        return nullptr;
    struct stat st;
    int err = fstat(fd, &st) != 0 ? errno : (S_ISREG(st.st_mode) ? 0 : EINVAL);
    if (err) {
        close(fd);
        errno = err;
        return nullptr;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    FILE* fp = fdopen(fd, pszMode);
    if (!fp) {
        err = errno;
        close(fd);
        errno = err;
    }
    return fp;
}

char* getLogFileNameEx(char* pszOut, const char* pszDir, const char* pszName, const char* pszExt, bool bPid,
                       bool bTid, bool bTime)
{
    char* out = pszOut ? pszOut : static_cast<char*>(VfxMemAlloc(VFX_LOGFILENAME_SIZE));
    if (!out)
        return nullptr;

    const char* ext = pszExt ? (pszExt[0] == '.' ? pszExt + 1 : pszExt) : "log";
    std::string dir;
    if (pszDir && *pszDir) {
        dir = pszDir;
    } else {
        char* configured = VfxReadRCS("VDBS_LOG", 7);
        dir = configured && *configured ? configured : "/tmp";
        VfxFreeRCS(configured);
    }
    if (!dir.empty() && (dir.back() == '/' || dir.back() == '\\'))
        dir.pop_back();

    char pid[24] = "", tid[24] = "", stamp[40] = "";
    if (bPid)
        snprintf(pid, sizeof pid, "_%d", static_cast<int>(getpid()));
    if (bTid) {
        char digits[24];
        snprintf(digits, sizeof digits, "%lu", static_cast<unsigned long>(pthread_self()));
        snprintf(tid, sizeof tid, "_%.15s", digits);
    }
    if (bTime) {
        struct timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        struct tm t;
        localtime_r(&now.tv_sec, &t);
        snprintf(stamp, sizeof stamp, "_%04d%02d%02d%02d%02d%02d%03d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                 t.tm_hour, t.tm_min, t.tm_sec, static_cast<int>(now.tv_nsec / 1000000));
    }
    int n = snprintf(out, VFX_LOGFILENAME_SIZE, "%s%s%s%s%s%s.%s", dir.c_str(), "/", pszName ? pszName : "", pid,
                     tid, stamp, ext);
    // A cut name would point at some other file: give none instead.
    if (n < 0 || n >= VFX_LOGFILENAME_SIZE)
        out[0] = 0;
    return out;
}

char* getLogFileName(char* pszOut, const char* pszDir, const char* pszName, const char* pszExt, bool bPid, bool bTid)
{
    return getLogFileNameEx(pszOut, pszDir, pszName, pszExt, bPid, bTid, false);
}

} // extern "C"
