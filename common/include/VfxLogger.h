// Logging: the IVfxLogger interface with levels, the VfxFileLogger that
// appends formatted lines to a file, and log file names.
#pragma once

#include <stdio.h>

#include "VfxPlatform.h"

class IVfxLogger {
public:
    enum tagELogLevel : int {
        LL_OFF = 0,
        LL_FATAL = 1,
        LL_ERROR = 2,
        LL_WARNING = 3,
        LL_INFO = 4,
        LL_DEBUG = 5
    };
    enum { TEXT_SIZE = 8192 };

    IVfxLogger() : m_eLogLevel(LL_OFF) {}
    virtual ~IVfxLogger() {}

    virtual void PrintLog(tagELogLevel eLevel, const char* pszModule, int nCode, const char* pszText) = 0;
    virtual void SetLogLevel(tagELogLevel eLevel) { m_eLogLevel = eLevel; }
    virtual tagELogLevel GetLogLevel() { return m_eLogLevel; }

    // Each writes only when the level reaches its own; the text is formatted
    // into 8192 bytes (cut at 8191) and handed to PrintLog.
    virtual void FatalError(const char* pszModule, int nCode, const char* pszFormat, ...)
        __attribute__((format(printf, 4, 5)));
    virtual void Error(const char* pszModule, int nCode, const char* pszFormat, ...)
        __attribute__((format(printf, 4, 5)));
    virtual void Warning(const char* pszModule, int nCode, const char* pszFormat, ...)
        __attribute__((format(printf, 4, 5)));
    virtual void Information(const char* pszModule, const char* pszFormat, ...) __attribute__((format(printf, 3, 4)));
    virtual void Debug(const char* pszModule, const char* pszFormat, ...) __attribute__((format(printf, 3, 4)));

protected:
    tagELogLevel m_eLogLevel;
};

// Writes lines "[<date><level>] <module>: #<code> <text>" to a file, one whole
// line at a time under a mutex, so several threads may share one logger.
class VfxFileLogger : public IVfxLogger {
public:
    explicit VfxFileLogger(tagELogLevel eLevel = LL_OFF);
    ~VfxFileLogger() override;
    VfxFileLogger(const VfxFileLogger&) = delete;
    VfxFileLogger& operator=(const VfxFileLogger&) = delete;

    void PrintLog(tagELogLevel eLevel, const char* pszModule, int nCode, const char* pszText) override;

    // With false, the date field is the single character "[".
    void ToggleDateUsage(bool bUseDate) { m_bUseDate = bUseDate; }
    // Adopts an open stream (the previous one is closed unless it is stdout
    // or stderr).
    void SetFile(FILE* fp);
    // Opens pszPath with an fopen mode ("a" appends). False, and nothing
    // opened, while the level is LL_OFF or when the open fails; a symbolic
    // link or a non-regular file at pszPath is refused.
    bool SetFile(const char* pszPath, const char* pszMode);
    // SetFile of the name getLogFileName builds from the parts.
    bool CompleteFile(const char* pszDir, const char* pszName, const char* pszExt, const char* pszMode, bool bPid,
                      bool bTid);
    void Lock();
    void Unlock();

protected:
    bool m_bUseDate;
    FILE* m_pFile;
    VfxMutex* m_hMutex;
};

// Size of a log file name buffer; longer names are not made.
#define VFX_LOGFILENAME_SIZE 1024

extern "C" {

// Builds "<dir>/<name>[_<pid>][_<thread id>][_<yyyymmddhhmmssmmm>].<ext>".
// dir: pszDir when not empty, else the configuration value VDBS_LOG, else
// "/tmp"; one trailing separator is dropped (the caller's string is never
// changed). ext: pszExt without a leading ".", "log" for null. pszOut must
// hold VFX_LOGFILENAME_SIZE bytes; null gives a new buffer (free it with
// VfxMemFree). A name that does not fit comes back empty.
char* getLogFileNameEx(char* pszOut, const char* pszDir, const char* pszName, const char* pszExt, bool bPid,
                       bool bTid, bool bTime);
char* getLogFileName(char* pszOut, const char* pszDir, const char* pszName, const char* pszExt, bool bPid,
                     bool bTid);

// fopen for log files in shared directories: the last path component must
// not be a symbolic link (also when the file is created) and must be a
// regular file. Null with errno set (ELOOP for a link) otherwise.
FILE* VfxOpenLogFile(const char* pszPath, const char* pszMode);
}
