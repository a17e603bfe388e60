// CFilterBase: what every filter request object needs besides its own work:
// the call's filter_data, the parsed filter arguments, configuration values,
// the per-call log file, the level logger, and turning kernel statuses into
// the call's error code and text.
#pragma once

#include <stdio.h>

#include "StringBuffer.h"
#include "VfxConfig.h"
#include "VfxLogger.h"
#include "vornapi.h"

// Room of filter_data::errortext, terminator included.
#define VX_ERRORTEXT_SIZE 256

class CFilterBase {
public:
    CFilterBase(filter_data* p, bool bParseArgs);
    virtual ~CFilterBase();
    CFilterBase(const CFilterBase&) = delete;
    CFilterBase& operator=(const CFilterBase&) = delete;

    filter_data* getFilterData() { return m_pData; }

    // Splits the argument text into key/value pairs: lines ended by
    // cSeparator, key and value split at the first cAssign.
    virtual void parseFilterArgs(char cAssign, char cSeparator);

    // Keys compare without case; the first match wins. The char** form gives
    // a heap copy (free it with VfxMemFree) or null.
    bool getFilterArgument(const char* key, char** value);
    bool getFilterArgument(const char* key, CStringBuffer& value);

    // The unnamed section of an open configuration file first, then (with
    // bUseRcs) the kernel configuration value. May be null.
    const char* QueryConfig(const char* key, bool bUseRcs);
    bool setConfigFile(const char* path);

    void setLoglevelKey(const char* key);
    void setLogLevelUseKey();
    void setUseMaxLogLevels(bool b);
    void setLogLevel(IVfxLogger::tagELogLevel eLevel);
    IVfxLogger::tagELogLevel getLogLevel();
    bool getLogging();
    void setLogging(bool on);

    // Opens the per-call log "<dir><name>_<pid>.log" when the level key says
    // 3 or more; false when no file was opened.
    bool setLogFile(const char* name);
    // Creates the level logger (query and update operations).
    void setLogFileName(const char* path, bool bPid, bool bTid, bool bTime);
    IVfxLogger* getLogger() { return m_pLogger; }
    const char* getLogDir() const { return m_pszLogDir; }

    void logFatalError(const char* where, int code, const char* fmt, ...) __attribute__((format(printf, 4, 5)));
    void logError(const char* where, int code, const char* fmt, ...) __attribute__((format(printf, 4, 5)));
    void logWarning(const char* where, int code, const char* fmt, ...) __attribute__((format(printf, 4, 5)));
    void logInformation(const char* where, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
    void logDebug(const char* where, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
    // Straight into the per-call log file.
    void logPrint(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

    // "Error #<status> in <where>: <kernel text>" into errortext and the log;
    // vornError also stores the status in errorcode. Both return the status.
    int vornError(int status, const char* where);
    int logVornError(int status, const char* where);

    int callAse(const char* name, char* arg, int* result);

    // errortext = the formatted text, cut to 255 bytes and terminated. Does
    // nothing without a filter_data.
    void setErrorText(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    // errorcode = code, errortext = text (cut as above); returns code.
    int setError(int code, const char* text);

protected:
    filter_data* m_pData;
    char** m_ppArgs;
    char* m_pszLogDir;
    bool m_bUseMaxLogLevels;
    IVfxLogger* m_pLogger;
    CStringBuffer m_strWork;
    VfxConfig* m_pConfig;
    FILE* m_fpLog;
    char m_szLogLevelKey[256];
    char m_szLogName[2048];
    bool m_bLogging;
    CStringBuffer m_strLogMsg;
    IVfxLogger::tagELogLevel m_nLogLevel;

private:
    void freeArgs();
    // Number the level key holds (missing: 0).
    int readLevelKey();
    void route(IVfxLogger::tagELogLevel eLevel, const char* where, int code, const char* fmt, va_list args)
        __attribute__((format(printf, 5, 0)));
    void printCallLogLine(IVfxLogger::tagELogLevel eLevel, const char* where, int code, const char* text);
};
