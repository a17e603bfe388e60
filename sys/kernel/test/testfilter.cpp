// A small filter module for the kernel's own tests: it imports the record
// text form from memory, exports a field value, and can fail on request
// after writing, or call the kernel back from inside the filter.
#include <stdlib.h>
#include <string.h>

#include <string>

#include "vornapi.h"

namespace {

std::string arg(filter_data* fd, const char* key) {
    if (!fd->filter_arguments || fd->arg_length < 1) return "";
    std::string a(fd->filter_arguments, static_cast<size_t>(fd->arg_length));
    std::string k = std::string(key) + "=";
    size_t pos = 0;
    while (pos < a.size()) {
        size_t nl = a.find('\n', pos);
        if (nl == std::string::npos) nl = a.size();
        std::string line = a.substr(pos, nl - pos);
        if (line.compare(0, k.size(), k) == 0) return line.substr(k.size());
        pos = nl + 1;
    }
    return "";
}

int failWith(filter_data* fd, int code, const char* text) {
    fd->errorcode = code;
    strncpy(fd->errortext, text, sizeof fd->errortext - 1);
    return code;
}

// Gives out as the exported buffer (the caller frees it).
int giveOut(filter_data* fd, const std::string& out) {
    fd->buffer = strdup(out.c_str());
    fd->buffer_length = static_cast<int>(out.size());
    fd->errorcode = 1;
    return 1;
}

// Stores a second record into another base from inside the filter.
int sideStore(const std::string& base, const std::string& text) {
    VdbHandle c = nullptr, cur = nullptr;
    VdbCreateRecordControl(&c);
    int st = VdbSetBase(c, base.c_str(), 2);
    if (st & 1) st = VdbSetCursor(&cur, c, 0, 0, 0);
    int a, b, d;
    if (st & 1) st = VdbPutRecordBuffer(cur, text.data(), static_cast<int>(text.size()), &a, &b, &d);
    int rid = 0;
    if (st & 1) st = VdbPutRecord(c, &rid);
    VdbDeleteRecordControl(c);
    return st;
}

}  // namespace

extern "C" int tf_put(char* p, int*) {
    auto* fd = reinterpret_cast<filter_data*>(p);
    if (!fd->record_control && (fd->filter_options & FO_NEWRECORD)) VdbCreateRecordControl(&fd->record_control);
    if (!fd->cursor) VdbSetCursor(&fd->cursor, fd->record_control, 0, 0, 0);
    if (!(fd->vdb_options & IEOPT_MEMORY)) return failWith(fd, 0, "tf_put reads memory only");
    std::string side = arg(fd, "SIDEBASE");
    if (!side.empty()) {
        int st = sideStore(side, arg(fd, "SIDETEXT"));
        if (!(st & 1)) return failWith(fd, st, "side store failed");
    }
    // Written in two pieces, split in the middle, as a streaming writer would;
    // a nested import (NESTED, failing with NESTEDFAIL=1) runs between them.
    const char* data = static_cast<const char*>(fd->buffer);
    int half = fd->buffer_length / 2;
    int a, b, d;
    VdbPutRecordBuffer(fd->cursor, data, half, &a, &b, &d);
    std::string nested = arg(fd, "NESTED");
    if (!nested.empty()) {
        bool innerFails = arg(fd, "NESTEDFAIL") == "1";
        filter_data inner;
        memset(&inner, 0, sizeof inner);
        strcpy(inner.filter_name, "tf_put");
        inner.filter_options = FO_NEWRECORD;
        inner.vdb_options = IEOPT_MEMORY;
        inner.buffer = const_cast<char*>(nested.c_str());
        inner.buffer_length = static_cast<int>(nested.size());
        char failArg[] = "FAIL=1\n";
        if (innerFails) {
            inner.filter_arguments = failArg;
            inner.arg_length = static_cast<int>(strlen(failArg));
        }
        int st = VdbImport(&inner);
        if (inner.record_control) VdbDeleteRecordControl(inner.record_control);
        if ((st & 1) == innerFails) return failWith(fd, st, "nested import did not do as asked");
    }
    VdbPutRecordBuffer(fd->cursor, data + half, fd->buffer_length - half, &a, &b, &d);
    if (arg(fd, "FAIL") == "1") return failWith(fd, 0, "asked to fail");
    fd->errorcode = 1;
    return 1;
}

// Exports item 1 of the field named by FIELD into a buffer the caller frees;
// with RID, of that record of the control's base, loaded first.
extern "C" int tf_get(char* p, int*) {
    auto* fd = reinterpret_cast<filter_data*>(p);
    std::string name = arg(fd, "FIELD");
    int num = 0, type = 0, flags = 0;
    std::string rid = arg(fd, "RID");
    if (!rid.empty()) {
        int st = VdbGetRecordInBase(fd->record_control, atoi(rid.c_str()));
        if (!(st & 1)) return failWith(fd, st, "no such record");
    }
    int st = VdbCheckField(fd->record_control, name.c_str(), &num, &type, &flags);
    if (!(st & 1)) return failWith(fd, st, "no such field");
    VdbHandle cur = nullptr;
    st = VdbSetCursor(&cur, fd->record_control, num, 0, 1);
    char buf[4096];
    int len = 0;
    if (st & 1) st = VdbGetLine(cur, buf, &len, sizeof buf);
    VdbDeleteCursor(cur);
    if (st != 1) return failWith(fd, st == 0 ? 0 : st, "no value");
    char* out = static_cast<char*>(malloc(static_cast<size_t>(len) + 1));
    memcpy(out, buf, static_cast<size_t>(len));
    out[len] = 0;
    fd->buffer = out;
    fd->buffer_length = len;
    fd->errorcode = 1;
    return 1;
}

// Writes VALUE into item 1 of FIELD of the exported record (and VALUE2 into
// FIELD2 when given), then returns STATUS (default 1): an export keeps what it
// wrote whatever it returns. With BETWEEN, FIELD is read first and the shell
// command BETWEEN runs before the writes (another process changing the base).
extern "C" int tf_update(char* p, int*) {
    auto* fd = reinterpret_cast<filter_data*>(p);
    std::string between = arg(fd, "BETWEEN");
    const char* const keys[][2] = {{"FIELD", "VALUE"}, {"FIELD2", "VALUE2"}};
    for (int k = 0; k < 2; ++k) {
        std::string name = arg(fd, keys[k][0]);
        if (name.empty()) continue;
        int num = 0, type = 0, flags = 0;
        VdbCheckField(fd->record_control, name.c_str(), &num, &type, &flags);
        VdbHandle cur = nullptr;
        VdbSetCursor(&cur, fd->record_control, num, 0, 1);
        if (!between.empty()) {
            char buf[256];
            int len = 0;
            VdbGetLine(cur, buf, &len, sizeof buf);
            VdbSetCursor(&cur, fd->record_control, num, 0, 1);
            if (system(between.c_str()) != 0) return failWith(fd, 0, "the command between read and write failed");
            between.clear();
        }
        std::string v = arg(fd, keys[k][1]);
        int st = VdbReplaceItem(cur, v.c_str(), static_cast<int>(v.size()));
        VdbDeleteCursor(cur);
        if (!(st & 1)) return failWith(fd, st, "write refused");
    }
    std::string s = arg(fd, "STATUS");
    int rc = s.empty() ? 1 : atoi(s.c_str());
    fd->errorcode = rc;
    return rc;
}

namespace {
// Item `item` of the field named `name` of record rid, loaded afresh into a
// control of the open base; "" when missing.
std::string itemOf(int rid, const std::string& name, int item) {
    VdbHandle c = nullptr, cur = nullptr;
    VdbCreateRecordControl(&c);
    int num = 0, type = 0, flags = 0;
    std::string out;
    char buf[256];
    int len = 0;
    if ((VdbGetRecordInBase(c, rid) & 1) && (VdbCheckField(c, name.c_str(), &num, &type, &flags) & 1) &&
        (VdbSetCursor(&cur, c, num, 0, item) & 1) && VdbGetLine(cur, buf, &len, sizeof buf) == 1)
        out.assign(buf, static_cast<size_t>(len));
    if (cur) VdbDeleteCursor(cur);
    VdbDeleteRecordControl(c);
    return out;
}
}  // namespace

// Inside one export: reads item ITEM of FIELD of record RID, writes VALUE
// there, then reads the item of record RID2 and of RID again, each record
// loaded afresh; exports "<RID2's>|<RID's>".
extern "C" int tf_reload(char* p, int*) {
    auto* fd = reinterpret_cast<filter_data*>(p);
    const int rid = atoi(arg(fd, "RID").c_str()), rid2 = atoi(arg(fd, "RID2").c_str());
    const int item = atoi(arg(fd, "ITEM").c_str());
    const std::string name = arg(fd, "FIELD"), value = arg(fd, "VALUE");
    VdbHandle c = nullptr, cur = nullptr;
    VdbCreateRecordControl(&c);
    int num = 0, type = 0, flags = 0;
    int st = VdbGetRecordInBase(c, rid);
    if (st & 1) st = VdbCheckField(c, name.c_str(), &num, &type, &flags);
    if (st & 1) st = VdbSetCursor(&cur, c, num, 0, item);
    if (st & 1) st = VdbReplaceItem(cur, value.c_str(), static_cast<int>(value.size()));
    if (cur) VdbDeleteCursor(cur);
    VdbDeleteRecordControl(c);
    if (!(st & 1)) return failWith(fd, st, "write refused");
    std::string out = itemOf(rid2, name, item) + "|" + itemOf(rid, name, item);
    return giveOut(fd, out);
}

// The first two words of N_TVALUE of each part in PARTS (numbers with a
// comma after each) of record RID, one per line.
extern "C" int tf_parts(char* p, int*) {
    auto* fd = reinterpret_cast<filter_data*>(p);
    int st = VdbGetRecordInBase(fd->record_control, atoi(arg(fd, "RID").c_str()));
    if (!(st & 1)) return failWith(fd, st, "no such record");
    int f = 0, type = 0, flags = 0;
    VdbCheckField(fd->record_control, "N_TVALUE", &f, &type, &flags);
    std::string out, parts = arg(fd, "PARTS");
    for (size_t at = 0, comma; (comma = parts.find(',', at)) != std::string::npos; at = comma + 1) {
        const char* v = nullptr;
        int n = -1;
        st = VdbGetNodeValues(fd->record_control, atoi(parts.substr(at, comma - at).c_str()), 1, 1, &f, &v, &n);
        if (st != 1) return failWith(fd, st, "cannot read the part");
        std::string t = v && n > 0 ? std::string(v, static_cast<size_t>(n)) : std::string();
        out += t.substr(0, t.find(' ', 6)) + "\n";
    }
    return giveOut(fd, out);
}

// D_DOCNAME of each record of the last set, loaded in set order, one per line.
extern "C" int tf_names(char* p, int*) {
    auto* fd = reinterpret_cast<filter_data*>(p);
    int set = 0, records = 0, hits = 0;
    VdbGetSearch(&set, &records, &hits);
    int f = 0, type = 0, flags = 0;
    VdbCheckField(fd->record_control, "D_DOCNAME", &f, &type, &flags);
    std::string out;
    for (int pos = 1; pos <= records; ++pos) {
        int rid = 0;
        char base[64];
        int st = VdbGetRecordInSearchRis(fd->record_control, set, pos, &rid, base);
        VdbHandle cur = nullptr;
        if (st & 1) st = VdbSetCursor(&cur, fd->record_control, f, 0, 1);
        char buf[256];
        int len = 0;
        if (st & 1) st = VdbGetLine(cur, buf, &len, sizeof buf);
        VdbDeleteCursor(cur);
        if (st != 1) return failWith(fd, st, "cannot read a record of the set");
        out += std::string(buf, static_cast<size_t>(len)) + "\n";
    }
    return giveOut(fd, out);
}

// Runs the search CCL and gives "<records> <hits>" of its set.
extern "C" int tf_count(char* p, int*) {
    auto* fd = reinterpret_cast<filter_data*>(p);
    int code = 0;
    int st = VdbExecuteCcl(arg(fd, "CCL").c_str(), &code);
    if (!(st & 1)) return failWith(fd, st, "the search failed");
    int set = 0, records = 0, hits = 0;
    VdbGetSearch(&set, &records, &hits);
    const std::string out = std::to_string(records) + " " + std::to_string(hits);
    return giveOut(fd, out);
}

// tf_update under the name of a filter that claims to only read.
extern "C" int tf_update_as_reader(char* p, int* n) { return tf_update(p, n); }

// The filters that the kernel may run on a read snapshot.
extern "C" int VdbFilterReadsOnly(const char* filter) {
    return strcmp(filter, "tf_get") == 0 || strcmp(filter, "tf_update_as_reader") == 0 ||
           strcmp(filter, "tf_parts") == 0 || strcmp(filter, "tf_names") == 0 || strcmp(filter, "tf_count") == 0;
}

// A kernel extension: upper-cases its argument in place.
extern "C" int tf_upper(char* text, int* len) {
    for (int i = 0; i < *len; ++i)
        if (text[i] >= 'a' && text[i] <= 'z') text[i] = static_cast<char>(text[i] - 'a' + 'A');
    return 1;
}
