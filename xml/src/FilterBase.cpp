#include "FilterBase.h"

#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "VfxMemory.h"
#include "VfxStrings.h"

namespace {

const char* const kLevelWords[] = {"       ", "  FATAL", "  ERROR", "WARNING", "   INFO", "  DEBUG"};

// Copies text into errortext: at most 255 bytes and always a terminator.
void copyErrorText(filter_data* p, const char* text)
{
    if (!p)
        return;
    snprintf(p->errortext, VX_ERRORTEXT_SIZE, "%s", text ? text : "");
}

} // namespace

CFilterBase::CFilterBase(filter_data* p, bool bParseArgs)
    : m_pData(p), m_ppArgs(nullptr), m_pszLogDir(nullptr), m_bUseMaxLogLevels(false), m_pLogger(nullptr),
      m_strWork(256), m_pConfig(nullptr), m_fpLog(nullptr), m_bLogging(false), m_strLogMsg(256),
      m_nLogLevel(IVfxLogger::LL_OFF)
{
    m_szLogLevelKey[0] = 0;
    m_szLogName[0] = 0;
    m_ppArgs = static_cast<char**>(calloc(1, sizeof(char*)));
    if (bParseArgs)
        parseFilterArgs('=', '\n');
    snprintf(m_szLogLevelKey, sizeof m_szLogLevelKey, "%s", "VBS_LOG");
}

CFilterBase::~CFilterBase()
{
    freeArgs();
    delete m_pLogger;
    free(m_pszLogDir);
    if (m_fpLog && m_fpLog != stdout && m_fpLog != stderr)
        fclose(m_fpLog);
    if (m_pConfig)
        Config_Close(m_pConfig);
}

void CFilterBase::freeArgs()
{
    if (!m_ppArgs)
        return;
    for (char** pp = m_ppArgs; *pp; ++pp)
        free(*pp);
    free(m_ppArgs);
    m_ppArgs = nullptr;
}

void CFilterBase::parseFilterArgs(char cAssign, char cSeparator)
{
    size_t nPairs = 0;
    char** list = static_cast<char**>(calloc(1, sizeof(char*)));
    if (!list)
        return;
    if (m_pData && m_pData->filter_arguments && m_pData->arg_length > 0) {
        // The text need not be terminated: read at most arg_length bytes.
        const char* text = m_pData->filter_arguments;
        size_t len = strnlen(text, static_cast<size_t>(m_pData->arg_length));
        size_t pos = 0;
        while (pos < len) {
            const char* line = text + pos;
            const char* end = static_cast<const char*>(memchr(line, cSeparator, len - pos));
            if (!end)
                break; // a last piece without its separator is not an argument
            size_t lineLen = static_cast<size_t>(end - line);
            pos += lineLen + 1;
            const char* eq = static_cast<const char*>(memchr(line, cAssign, lineLen));
            if (!eq)
                continue;
            size_t keyLen = static_cast<size_t>(eq - line);
            char* key = strndup(line, keyLen);
            char* value = strndup(eq + 1, lineLen - keyLen - 1);
            char** grown = static_cast<char**>(realloc(list, (nPairs * 2 + 3) * sizeof(char*)));
            if (!key || !value || !grown) {
                free(key);
                free(value);
                if (grown)
                    list = grown;
                break;
            }
            list = grown;
            list[nPairs * 2] = key;
            list[nPairs * 2 + 1] = value;
            ++nPairs;
            list[nPairs * 2] = nullptr;
        }
    }
    freeArgs();
    m_ppArgs = list;
}

bool CFilterBase::getFilterArgument(const char* key, char** value)
{
    if (value)
        *value = nullptr;
    if (!key || !value || !m_ppArgs)
        return false;
    for (char** pp = m_ppArgs; pp[0]; pp += 2) {
        if (VfxCompareNoCase(pp[0], key) == 0) {
            *value = VfxStrDup(pp[1]);
            return *value != nullptr;
        }
    }
    return false;
}

bool CFilterBase::getFilterArgument(const char* key, CStringBuffer& value)
{
    value.clear();
    char* p = nullptr;
    if (!getFilterArgument(key, &p))
        return false;
    value.set(p);
    VfxMemFree(p);
    return true;
}

const char* CFilterBase::QueryConfig(const char* key, bool bUseRcs)
{
    if (!key)
        return nullptr;
    if (m_pConfig) {
        VfxConfigEntry* e = Config_GetEntry(Config_GetSection(m_pConfig, ""), key);
        if (e && e->value)
            return e->value;
    }
    if (!bUseRcs)
        return nullptr;
    char cut[256];
    snprintf(cut, sizeof cut, "%s", key);
    return QueryRCS(cut, 7);
}

bool CFilterBase::setConfigFile(const char* path)
{
    if (!path || !*path) {
        if (m_pConfig)
            Config_Close(m_pConfig);
        m_pConfig = nullptr;
        return true;
    }
    VfxConfig* cfg = Config_Open(path);
    if (!cfg) {
        logError("CFilterBase::setConfigFile", 4, "Could not open config file %s", path);
        return false;
    }
    if (m_pConfig)
        Config_Close(m_pConfig);
    m_pConfig = cfg;
    return true;
}

void CFilterBase::setLoglevelKey(const char* key)
{
    snprintf(m_szLogLevelKey, sizeof m_szLogLevelKey, "%s", key ? key : "");
}

int CFilterBase::readLevelKey()
{
    const char* v = QueryConfig(m_szLogLevelKey, true);
    return v ? atoi(v) : 0;
}

void CFilterBase::setLogLevelUseKey()
{
    if (m_pLogger)
        logInformation("FilterBase", "Trying to obtain log level setting.");
    int n = readLevelKey();
    if (m_bUseMaxLogLevels) {
        setLogLevel(n >= 0 && n <= 5 ? static_cast<IVfxLogger::tagELogLevel>(n) : IVfxLogger::LL_OFF);
        return;
    }
    switch (n) {
    case 1:
        setLogLevel(IVfxLogger::LL_FATAL);
        logFatalError("FilterBase", 0, "Log level is set to log critical errors only.");
        break;
    case 2:
        setLogLevel(IVfxLogger::LL_ERROR);
        logError("FilterBase", 0, "Log level is set to log errors.");
        break;
    case 3:
        setLogLevel(IVfxLogger::LL_WARNING);
        logWarning("FilterBase", 0, "Log level is set to log errors and warnings.");
        break;
    case 4:
        setLogLevel(IVfxLogger::LL_INFO);
        logInformation("FilterBase", "Log level is set to log all information.");
        break;
    case 5:
        setLogLevel(IVfxLogger::LL_DEBUG);
        logDebug("FilterBase", "Log level is set to log everything including debug messages.");
        break;
    default:
        setLogLevel(IVfxLogger::LL_OFF);
        logInformation("FilterBase", "Log level is set to no logging.");
        break;
    }
}

void CFilterBase::setUseMaxLogLevels(bool b)
{
    m_bUseMaxLogLevels = b;
    setLogLevelUseKey();
}

void CFilterBase::setLogLevel(IVfxLogger::tagELogLevel eLevel)
{
    m_nLogLevel = eLevel;
    if (m_pLogger)
        m_pLogger->SetLogLevel(eLevel);
}

IVfxLogger::tagELogLevel CFilterBase::getLogLevel()
{
    return m_pLogger ? m_pLogger->GetLogLevel() : m_nLogLevel;
}

bool CFilterBase::getLogging()
{
    if (m_pLogger)
        return m_pLogger->GetLogLevel() > IVfxLogger::LL_OFF;
    return m_bLogging;
}

void CFilterBase::setLogging(bool on)
{
    m_bLogging = on;
    UpdateRCS(m_szLogLevelKey, on ? "3" : "0");
    if (!m_fpLog && on && m_szLogName[0])
        setLogFile(m_szLogName);
    setLogLevel(on ? IVfxLogger::LL_DEBUG : IVfxLogger::LL_OFF);
}

bool CFilterBase::setLogFile(const char* name)
{
    if (m_fpLog)
        return true;
    snprintf(m_szLogName, sizeof m_szLogName, "%s", name ? name : "");
    // Levels run from 1 to 5; anything else means no logging at all.
    int level = readLevelKey();
    if (level < 3 || level > 5)
        return false;
    const char* dir = QueryConfig("VDBS_LOG", true);
    const char* sep = "";
    if (dir && *dir) {
        char last = dir[strlen(dir) - 1];
        if (last != '/' && last != '\\')
            sep = "/";
    } else {
        dir = "/tmp/";
    }
    char path[4096];
    int n = snprintf(path, sizeof path, "%s%s%s_%d.log", dir, sep, m_szLogName, static_cast<int>(getpid()));
    if (n < 0 || n >= static_cast<int>(sizeof path))
        return false;
    // Log directories are shared: never follow a link planted at the name.
    FILE* fp = VfxOpenLogFile(path, "w");
    if (!fp)
        return false;
    m_fpLog = fp;
    m_bLogging = true;
    return true;
}

void CFilterBase::setLogFileName(const char* path, bool bPid, bool bTid, bool bTime)
{
    if (!path)
        path = "";
    const char* slash = strrchr(path, '/');
    const char* back = strrchr(path, '\\');
    if (!slash || (back && back > slash))
        slash = back;
    char dir[1025] = "";
    char base[1024] = "";
    if (slash) {
        snprintf(dir, sizeof dir, "%.*s", static_cast<int>(slash - path), path);
        snprintf(base, sizeof base, "%s", slash + 1);
    } else {
        snprintf(base, sizeof base, "%s", path);
    }
    VfxFileLogger* logger = dynamic_cast<VfxFileLogger*>(m_pLogger);
    if (!m_pLogger) {
        logger = new VfxFileLogger(m_nLogLevel);
        m_pLogger = logger;
    }
    char file[VFX_LOGFILENAME_SIZE] = "";
    getLogFileNameEx(file, dir, base, "log", bPid, bTid, bTime);
    if (logger && file[0])
        logger->SetFile(file, "a");
    if (m_pLogger->GetLogLevel() > IVfxLogger::LL_OFF)
        logInformation("FilterBase", "Logging started.");
    if (m_pLogger->GetLogLevel() > IVfxLogger::LL_INFO)
        logDebug("FilterBase", "Logfile is \"%s\"\n", file);
    if (!m_pszLogDir) {
        if (slash) {
            m_pszLogDir = strdup(dir);
        } else {
            const char* end = strrchr(file, '/');
            m_pszLogDir = end ? strndup(file, static_cast<size_t>(end - file)) : strdup("");
        }
    }
}

void CFilterBase::printCallLogLine(IVfxLogger::tagELogLevel eLevel, const char* where, int code, const char* text)
{
    char date[32] = "";
    time_t now = time(nullptr);
    char full[32];
    if (ctime_r(&now, full))
        snprintf(date, sizeof date, "%.19s ", full);
    const char* word = eLevel >= IVfxLogger::LL_OFF && eLevel <= IVfxLogger::LL_DEBUG ? kLevelWords[eLevel] : kLevelWords[0];
    char codeField[16] = "";
    if (code != 0 && eLevel <= IVfxLogger::LL_WARNING)
        snprintf(codeField, sizeof codeField, "#%d ", code);
    const char* end = strchr(text, '\n') ? "" : "\n";
    fprintf(m_fpLog, "[%s%s] %.511s%s%s%s%s", date, word, where ? where : "", where && *where ? ": " : "", codeField,
            text, end);
    fflush(m_fpLog);
}

void CFilterBase::route(IVfxLogger::tagELogLevel eLevel, const char* where, int code, const char* fmt, va_list args)
{
    // Without a level logger the operations' messages go to the per-call log
    // file, filtered by the level read from the level key.
    bool toLogger = m_pLogger && m_pLogger->GetLogLevel() >= eLevel;
    bool toFile = !m_pLogger && m_fpLog && m_bLogging && m_nLogLevel >= eLevel;
    if (!toLogger && !toFile)
        return;
    m_strLogMsg.vformat(fmt, args);
    const char* text = m_strLogMsg;
    if (toFile) {
        printCallLogLine(eLevel, where, code, text);
        return;
    }
    // The text is passed as an argument, never as a format.
    switch (eLevel) {
    case IVfxLogger::LL_FATAL:
        m_pLogger->FatalError(where, code, "%s", text);
        break;
    case IVfxLogger::LL_ERROR:
        m_pLogger->Error(where, code, "%s", text);
        break;
    case IVfxLogger::LL_WARNING:
        m_pLogger->Warning(where, code, "%s", text);
        break;
    case IVfxLogger::LL_INFO:
        m_pLogger->Information(where, "%s", text);
        break;
    default:
        m_pLogger->Debug(where, "%s", text);
        break;
    }
}

void CFilterBase::logFatalError(const char* where, int code, const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    route(IVfxLogger::LL_FATAL, where, code, fmt, args);
    va_end(args);
}

void CFilterBase::logError(const char* where, int code, const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    route(IVfxLogger::LL_ERROR, where, code, fmt, args);
    va_end(args);
}

void CFilterBase::logWarning(const char* where, int code, const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    route(IVfxLogger::LL_WARNING, where, code, fmt, args);
    va_end(args);
}

void CFilterBase::logInformation(const char* where, const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    route(IVfxLogger::LL_INFO, where, 0, fmt, args);
    va_end(args);
}

void CFilterBase::logDebug(const char* where, const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    route(IVfxLogger::LL_DEBUG, where, 0, fmt, args);
    va_end(args);
}

void CFilterBase::logPrint(const char* fmt, ...)
{
    if (!m_fpLog || !m_bLogging)
        return;
    va_list args;
    va_start(args, fmt);
    m_strLogMsg.vformat(fmt, args);
    va_end(args);
    fwrite(m_strLogMsg.getBufferPointer(), 1, static_cast<size_t>(m_strLogMsg.length()), m_fpLog);
    fflush(m_fpLog);
}

namespace {

void kernelErrorText(int status, const char* where, CStringBuffer& out)
{
    char text[VX_ERRORTEXT_SIZE] = "";
    int len = 255;
    VdbMessage(status, text, &len);
    if (len < 0)
        len = 0;
    if (len > 255)
        len = 255;
    text[len] = 0;
    out.format("Error #%d in %s: %s", status, where && *where ? where : "VORNxml", text);
}

} // namespace

int CFilterBase::vornError(int status, const char* where)
{
    CStringBuffer msg;
    kernelErrorText(status, where, msg);
    copyErrorText(m_pData, msg);
    logPrint("%s\n", msg.getBufferPointer());
    if (m_pData)
        m_pData->errorcode = status;
    return status;
}

int CFilterBase::logVornError(int status, const char* where)
{
    CStringBuffer msg;
    kernelErrorText(status, where, msg);
    copyErrorText(m_pData, msg);
    if (m_pLogger)
        logError(where, status, "%s", msg.getBufferPointer());
    else
        logPrint("%s\n", msg.getBufferPointer());
    return status;
}

int CFilterBase::callAse(const char* name, char* arg, int* result)
{
    VdbHandle handle = nullptr;
    int status = VdbLoadAse(name, &handle, arg);
    if (!(status & 1))
        return logVornError(status, "CFilterBase::callAse");
    int local = 0;
    return VdbCallAse(handle, arg, result ? result : &local);
}

void CFilterBase::setErrorText(const char* fmt, ...)
{
    if (!m_pData)
        return;
    va_list args;
    va_start(args, fmt);
    vsnprintf(m_pData->errortext, VX_ERRORTEXT_SIZE, fmt, args);
    va_end(args);
}

int CFilterBase::setError(int code, const char* text)
{
    if (m_pData) {
        copyErrorText(m_pData, text);
        m_pData->errorcode = code;
    }
    return code;
}
