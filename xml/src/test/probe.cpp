// A test filter module built from the filter module's own objects with one
// more entry point, vornxmlprobe, which runs the request object's services
// on the record the kernel hands it. The tests load it through the kernel
// (VDBS_FILTERS) and call it with VdbImport/VdbExport.
//
// The input buffer (memory) holds a script, one command per line, fields
// separated by tabs. Arguments may carry escapes (\n, \t, \\, \xHH) and two
// generators: "@rep:<c>:<n>" (c repeated n times) and "@bytes:<n>" (bytes
// 0..255 cycling, n of them). Each command appends one output line, escaped
// the same way, to a buffer handed back in buffer/buffer_length (malloc; the
// caller frees it). The status is the last command's status unless a command
// named "status" sets it.
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include <unicode/ustring.h>

#include "VORNxml.h"

namespace {

std::string unescape(const std::string& s)
{
    if (s.rfind("@rep:", 0) == 0 && s.size() > 7) {
        char c = s[5];
        return std::string(static_cast<size_t>(atoi(s.c_str() + 7)), c);
    }
    if (s.rfind("@bytes:", 0) == 0) {
        size_t n = static_cast<size_t>(atoi(s.c_str() + 7));
        std::string out(n, '\0');
        for (size_t i = 0; i < n; ++i)
            out[i] = static_cast<char>(i % 256);
        return out;
    }
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 >= s.size()) {
            out += s[i];
            continue;
        }
        char c = s[++i];
        if (c == 'n')
            out += '\n';
        else if (c == 't')
            out += '\t';
        else if (c == 'x' && i + 2 < s.size()) {
            out += static_cast<char>(strtol(s.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else
            out += c;
    }
    return out;
}

std::string escape(const char* p, size_t n)
{
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(p[i]);
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\t')
            out += "\\t";
        else if (c < 0x20 || c >= 0x7f) {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else
            out += static_cast<char>(c);
    }
    return out;
}

std::string escape(const std::string& s)
{
    return escape(s.data(), s.size());
}

std::string escape(const CStringBuffer& s)
{
    return escape(s.getBufferPointer(), static_cast<size_t>(s.length()));
}

std::vector<std::string> split(const std::string& line)
{
    std::vector<std::string> out;
    size_t pos = 0;
    while (true) {
        size_t tab = line.find('\t', pos);
        out.push_back(unescape(line.substr(pos, tab == std::string::npos ? std::string::npos : tab - pos)));
        if (tab == std::string::npos)
            break;
        pos = tab + 1;
    }
    return out;
}

class CProbe : public CVORNxml {
public:
    explicit CProbe(filter_data* p) : CVORNxml(p), m_pWriter(nullptr) {}
    ~CProbe() override { delete m_pWriter; }

    int run();

private:
    int command(const std::vector<std::string>& a, std::string& out);
    CTFormWriter& writer()
    {
        if (!m_pWriter) {
            if (!m_pData->cursor)
                VdbSetCursor(&m_pData->cursor, m_pData->record_control, 0, 0, 0);
            m_pWriter = new CTFormWriter(m_pData->cursor);
        }
        return *m_pWriter;
    }

    CTFormWriter* m_pWriter;
};

int CProbe::run()
{
    if (!m_pData)
        return 0;
    std::string script;
    CStringBuffer inArgs;
    if (getFilterArgument("SCRIPT", inArgs)) {
        // Commands separated by ';', so that buffer stays free for the test.
        script = inArgs.getBufferPointer();
        for (char& c : script)
            if (c == ';')
                c = '\n';
    } else if ((m_pData->vdb_options & IEOPT_MEMORY) && m_pData->buffer && m_pData->buffer_length > 0) {
        script.assign(static_cast<const char*>(m_pData->buffer), static_cast<size_t>(m_pData->buffer_length));
    }
    // As every operation does before its own work.
    loadFieldCatalogue();
    std::string output;
    int status = 1;
    bool fixed = false;
    size_t pos = 0;
    while (pos < script.size()) {
        size_t nl = script.find('\n', pos);
        std::string line = script.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
        pos = nl == std::string::npos ? script.size() : nl + 1;
        if (line.empty())
            continue;
        std::vector<std::string> a = split(line);
        if (a[0] == "status") {
            status = atoi(a.at(1).c_str());
            fixed = true;
            continue;
        }
        std::string out;
        int s = command(a, out);
        if (!fixed)
            status = s;
        output += out + "\n";
    }
    char* block = static_cast<char*>(malloc(output.size() + 1));
    memcpy(block, output.data(), output.size());
    block[output.size()] = 0;
    m_pData->buffer = block;
    m_pData->buffer_length = static_cast<int>(output.size());
    m_pData->errorcode = status;
    return status;
}

int CProbe::command(const std::vector<std::string>& a, std::string& out)
{
    const std::string& op = a[0];
    auto arg = [&](size_t i) -> const std::string& {
        static const std::string empty;
        return i < a.size() ? a[i] : empty;
    };
    auto num = [&](size_t i) { return atoi(arg(i).c_str()); };
    VdbHandle rc = m_pData->record_control;

    if (op == "args") {
        for (char** pp = m_ppArgs; pp && pp[0]; pp += 2)
            out += "[" + escape(std::string(pp[0])) + "]=[" + escape(std::string(pp[1])) + "]";
        return 1;
    }
    if (op == "arg") {
        CStringBuffer v("stale");
        bool found = getFilterArgument(arg(1).c_str(), v);
        out = std::string(found ? "1\t" : "0\t") + escape(v);
        return found ? 1 : 0;
    }
    if (op == "log") {
        openCallLog(arg(1).c_str(), "probe");
        out = getLogging() ? "open" : "closed";
        return 1;
    }
    if (op == "logat") {
        int level = num(1);
        std::string text = arg(2);
        if (level == 1)
            logFatalError("probe", 7, "%s", text.c_str());
        else if (level == 2)
            logError("probe", 7, "%s", text.c_str());
        else if (level == 3)
            logWarning("probe", 7, "%s", text.c_str());
        else if (level == 4)
            logInformation("probe", "%s", text.c_str());
        else
            logDebug("probe", "%s", text.c_str());
        return 1;
    }
    if (op == "logger") {
        setLogFileName(arg(1).c_str(), true, false, true);
        out = std::to_string(getLogLevel()) + "\t" + (getLogDir() ? getLogDir() : "");
        return 1;
    }
    if (op == "vornerror") {
        if (m_pData)
            memset(m_pData->errortext, 'X', sizeof m_pData->errortext);
        int s = vornError(num(1), arg(2).c_str());
        out = std::to_string(s) + "\t" + std::to_string(m_pData->errorcode) + "\t" +
              std::to_string(strnlen(m_pData->errortext, sizeof m_pData->errortext)) + "\t" +
              escape(std::string(m_pData->errortext, strnlen(m_pData->errortext, sizeof m_pData->errortext)));
        return 1;
    }
    if (op == "errortext") {
        out = escape(std::string(m_pData->errortext, strnlen(m_pData->errortext, sizeof m_pData->errortext)));
        return 1;
    }
    if (op == "ase") {
        int result = -5;
        int s = callAse(arg(1).c_str(), nullptr, &result);
        out = std::to_string(s) + "\t" + escape(std::string(m_pData->errortext, strnlen(m_pData->errortext, 256)));
        return s;
    }
    if (op == "initfor") {
        VdbHandle other = nullptr;
        VdbCreateRecordControl(&other);
        VdbSetBase(other, arg(1).c_str(), 2);
        CFieldInfo::init(other);
        VdbDeleteRecordControl(other);
        out = std::to_string(CFieldInfo::count());
        return 1;
    }
    if (op == "initnull") {
        CFieldInfo::init(nullptr);
        out = std::to_string(CFieldInfo::count());
        return 1;
    }
    if (op == "ccl") {
        std::string command;
        for (size_t i = 1; i < a.size(); ++i)
            command += a[i];
        int s = executeCCL("%s", command.c_str());
        out = std::to_string(s);
        return s;
    }
    if (op == "symbol") {
        char word[32];
        snprintf(word, sizeof word, "%s", arg(1).c_str());
        int s = getShellSymbol(word);
        out = std::to_string(s) + "\t" + escape(std::string(word));
        return s;
    }
    if (op == "encodings") {
        out = std::string(getVornEncoding()) + "\t" + getBaseEncoding() + "\t" + getDocEncoding() + "\t" +
              (isUnicodeSession() ? "unicode" : "other");
        return 1;
    }
    if (op == "setenc") {
        snprintf(m_szVornEncoding, sizeof m_szVornEncoding, "%s", arg(1).c_str());
        snprintf(m_szBaseEncoding, sizeof m_szBaseEncoding, "%s", arg(2).c_str());
        snprintf(m_szDocEncoding, sizeof m_szDocEncoding, "%s", arg(3).c_str());
        return 1;
    }
    if (op == "linkdb") {
        out = getLinkDb();
        return 1;
    }
    if (op == "catalogue") {
        if (arg(1) == "init")
            loadFieldCatalogue();
        out = std::to_string(CFieldInfo::count());
        for (int i = 0; i < CFieldInfo::count(); ++i) {
            CFieldInfo* f = CFieldInfo::getAt(i);
            out += std::string(" ") + f->getName() + "=" + std::to_string(f->getNumber()) +
                   (f->isPartField() ? "P" : "") + (f->isTextField() ? "T" : "") + (f->isIntField() ? "I" : "");
        }
        return 1;
    }
    if (op == "field") {
        CFieldInfo* f = CFieldInfo::getFieldInfo(arg(1).c_str(), arg(2) == "kernel" ? rc : nullptr);
        out = f ? std::to_string(f->getNumber()) + "/" + std::to_string(f->getType()) : "absent";
        return f ? 1 : 0;
    }
    if (op == "getat") {
        CFieldInfo* f = CFieldInfo::getAt(arg(1) == "count" ? CFieldInfo::count() : num(1));
        out = f ? f->getName() : "null";
        return 1;
    }
    if (op == "nested") {
        // Another filter call from inside this one, on the record of the given rid and base.
        filter_data fd;
        memset(&fd, 0, sizeof fd);
        VdbCreateRecordControl(&fd.record_control);
        VdbSetBase(fd.record_control, arg(1).c_str(), 2);
        int s = VdbGetRecordInBase(fd.record_control, num(2));
        std::string script = arg(3);
        strcpy(fd.filter_name, "vornxmlprobe");
        fd.buffer = const_cast<char*>(script.c_str());
        fd.buffer_length = static_cast<int>(script.size());
        fd.vdb_options = IEOPT_MEMORY | EXPORT_ALLOC;
        if (s & 1)
            s = VdbExport(&fd);
        if (fd.buffer != script.c_str()) {
            out = escape(std::string(static_cast<const char*>(fd.buffer), static_cast<size_t>(fd.buffer_length)));
            free(fd.buffer);
        }
        VdbDeleteRecordControl(fd.record_control);
        return s;
    }
    if (op == "isxml") {
        out = std::string(isXmlDatabase() ? "db" : "nodb") + "\t" + (isXmlDocument() ? "doc" : "nodoc");
        return 1;
    }
    if (op == "parseurl") {
        CStringBuffer base, file, alias;
        parseUrl(arg(1) == "(null)" ? nullptr : arg(1).c_str(), base, file, alias);
        out = escape(base) + "|" + escape(file) + "|" + escape(alias);
        return 1;
    }
    if (op == "setprop") {
        setProperty(arg(1).c_str(), arg(2).c_str());
        return 1;
    }
    if (op == "getprop") {
        CStringBuffer v("stale");
        int s = getProperty(arg(1).c_str(), v);
        out = std::to_string(s) + "\t" + escape(v);
        return s;
    }
    if (op == "phrase") {
        char value[256];
        memset(value, 'X', sizeof value);
        int len = -7;
        int s = getPhraseValue(arg(1).c_str(), num(2), value, &len);
        out = std::to_string(s) + "\t" + std::to_string(len) + "\t" + escape(std::string(value, strnlen(value, 256)));
        return s;
    }
    if (op == "phrasebuf") {
        CStringBuffer v(arg(3).c_str());
        int s = getPhraseValue(arg(1).c_str(), num(2), v);
        out = std::to_string(s) + "\t" + escape(v);
        return s;
    }
    if (op == "int") {
        long v = -99;
        int s = getIntValue(arg(1).c_str(), num(2), &v);
        out = std::to_string(s) + "\t" + std::to_string(v);
        return s;
    }
    if (op == "setfield") {
        const std::string& v = arg(3);
        int s = setFieldValue(arg(1).c_str(), num(2), v.c_str(), a.size() > 4 ? num(4) : static_cast<int>(v.size()));
        out = std::to_string(s);
        return s;
    }
    if (op == "clear") {
        int s = clearXMLRecord();
        out = std::to_string(s);
        return s;
    }
    if (op == "blob") {
        CFieldInfo* f = CFieldInfo::getFieldInfo(arg(1).c_str(), rc);
        VdbHandle cur = nullptr;
        int s = f ? VdbSetCursor(&cur, rc, f->getNumber(), 0, 0) : 0;
        if (s & 1)
            s = VdbPutBlobBlock(cur, static_cast<int>(arg(2).size()), arg(2).data());
        if (cur)
            VdbDeleteCursor(cur);
        out = std::to_string(s);
        return s;
    }
    if (op == "part") {
        writer().beginPart(num(1));
        return 1;
    }
    if (op == "put") {
        CStringBuffer v;
        v.set(arg(3).data(), static_cast<int>(arg(3).size()));
        writer().printField(arg(1).c_str(), num(2), v);
        return 1;
    }
    if (op == "putint") {
        writer().printField(arg(1).c_str(), num(2), num(3));
        return 1;
    }
    if (op == "putblock") {
        CStringBuffer v;
        v.set(arg(3).data(), static_cast<int>(arg(3).size()));
        writer().printFieldBlock(arg(1).c_str(), num(2), v);
        return 1;
    }
    if (op == "raw") {
        // Record text form as given, to set up a record.
        CStringBuffer v;
        v.set(arg(1).data(), static_cast<int>(arg(1).size()));
        int s = writer().writeRecordBuffer(v);
        out = std::to_string(s);
        return s;
    }
    if (op == "encode") {
        CStringBuffer o("stale");
        bool ok = encodeOutput(arg(1).c_str(), arg(2).data(), static_cast<int>(arg(2).size()), o);
        out = std::string(ok ? "1\t" : "0\t") + escape(o);
        return ok ? 1 : 0;
    }
    if (op == "encodebuf") {
        CStringBuffer t;
        t.set(arg(1).data(), static_cast<int>(arg(1).size()));
        bool ok = encodeOutput(t);
        out = std::string(ok ? "1\t" : "0\t") + escape(t);
        return ok ? 1 : 0;
    }
    if (op == "reencode") {
        int len = static_cast<int>(arg(3).size());
        char* data = static_cast<char*>(malloc(static_cast<size_t>(len) + 1));
        memcpy(data, arg(3).data(), static_cast<size_t>(len));
        bool ok = reEncode(arg(1).c_str(), arg(2).c_str(), &data, &len);
        out = std::string(ok ? "1\t" : "0\t") + escape(data, static_cast<size_t>(len));
        free(data);
        return ok ? 1 : 0;
    }
    if (op == "escape") {
        CStringBuffer t;
        t.set(arg(1).data(), static_cast<int>(arg(1).size()));
        escapeXml(t);
        out = escape(t);
        return 1;
    }
    if (op == "transcode" || op == "transcode16") {
        // arg 1: target encoding; arg 2: UTF-8 text (the UTF-16 form is made from it).
        CStringTranscoder t("previous");
        t.setEncoding(arg(1).c_str());
        bool ok;
        if (op == "transcode") {
            ok = t.fromUnicode(arg(2).c_str(), static_cast<int>(arg(2).size()));
        } else {
            std::vector<UChar> w(arg(2).size() + 1);
            int32_t wlen = 0;
            UErrorCode err = U_ZERO_ERROR;
            u_strFromUTF8(w.data(), static_cast<int32_t>(w.size()), &wlen, arg(2).data(),
                          static_cast<int32_t>(arg(2).size()), &err);
            ok = t.fromUnicode(reinterpret_cast<const XMLCh*>(w.data()), wlen);
        }
        out = std::string(ok ? "1\t" : "0\t") + escape(t) + "\t" + (t.isUtf8() ? "utf8" : "other");
        return ok ? 1 : 0;
    }
    out = "unknown command " + op;
    return 0;
}

} // namespace

VX_EXPORT int vornxmlprobe(char* pszArg1, int* pnArg2)
{
    auto* p = reinterpret_cast<filter_data*>(pszArg1);
    try {
        CProbe probe(p);
        return probe.run();
    } catch (...) {
        if (p)
            snprintf(p->errortext, sizeof p->errortext, "probe: exception");
        return 0;
    }
}
