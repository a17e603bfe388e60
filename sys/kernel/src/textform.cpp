#include "textform.h"

#include <string>

#include "status.h"
#include "vornapi_types.h"

namespace vdbs {
namespace {

constexpr size_t kMaxDigits = 9;

int error(Record& rec, TextFormState& st, const std::string& what) {
    std::string m = what + " (at byte " + std::to_string(st.offset + 1) + " of the record text form)";
    rec.setTextFormError(VDB_TEXTFORM, m);
    st = TextFormState();
    return fail(VDB_TEXTFORM, m);
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// A plain value that holds the start of another line lost its '^'.
bool swallowedLine(const std::string& v) {
    for (size_t i = 0; i < v.size(); ++i) {
        if (v[i] != '\n') continue;
        size_t j = i + 1;
        while (j < v.size() && isDigit(v[j])) ++j;
        if (j == i + 1 || j >= v.size()) continue;
        if (v[j] == 'L') return true;
        if ((v[j] == 'F' || v[j] == 'G') && j + 1 < v.size() && v[j + 1] == '^') return true;
    }
    return false;
}

int fieldOf(Record& rec, TextFormState& st, int field, int& status) {
    status = VDB_OK;
    if (!rec.design().field(field))
        status = error(rec, st, "bad field number " + std::to_string(field) + ": base " + rec.base()->name +
                                    " has fields 1 to " + std::to_string(rec.design().fieldCount()));
    return field;
}

// The part a value of field goes into: part fields and record fields follow
// the current part; a text or blob field that is not a part field belongs to
// the record and always goes into the main part.
int partOf(const Design& d, int field, int current) {
    const FieldDef* f = d.field(field);
    return f && !f->part && (f->type == 1 || f->type == 20) ? 0 : current;
}

int storeValue(Record& rec, TextFormState& st) {
    const Design& d = rec.design();
    int field = st.first;
    int part = partOf(d, field, st.part);
    int item = std::stoi(st.itemNum);
    if (item < 1) return error(rec, st, "bad item number 0 for field " + std::to_string(field));
    if (swallowedLine(st.value))
        return error(rec, st, "value of field " + std::to_string(field) + " runs into the next line (missing '^')");
    if (d.isBlob(field)) {
        rec.blobClear(field, part);
        rec.blobAppend(field, part, st.value.data(), st.value.size());
    } else if (d.partScoped(field)) {
        rec.setBatchSlot(part);
        rec.setPartItem(field, part, item, std::move(st.value));
    } else {
        rec.setBatchSlot(st.part);
        rec.setRecordItem(field, item, std::move(st.value), st.part);
    }
    st.value.clear();
    return VDB_OK;
}

// Appends piece bytes to the open text block.
void appendBlock(Record& rec, TextFormState& st, const char* p, size_t n) {
    const Design& d = rec.design();
    int field = st.blockField;
    int part = partOf(d, field, st.part);
    if (d.isBlob(field)) {
        if (!st.blockStarted) rec.blobClear(field, part);
        if (n) rec.blobAppend(field, part, p, n);
    } else if (d.partScoped(field)) {
        rec.setBatchSlot(part);
        if (!st.blockStarted)
            rec.setPartItem(field, part, 1, std::string(p, n));
        else if (n)
            rec.appendPartItem(field, part, 1, p, n);
    } else {
        int item = st.part > 0 ? st.part : 1;
        rec.setBatchSlot(st.part);
        std::string cur;
        if (st.blockStarted) {
            if (const Value* v = rec.recordItem(field, item)) cur = v->data;
        }
        cur.append(p, n);
        rec.setRecordItem(field, item, std::move(cur), st.part);
    }
    st.blockStarted = true;
}

}  // namespace

int parseTextForm(Record& rec, TextFormState& st, const char* p, size_t n) {
    if (!(rec.textFormStatus() & 1)) return fail(rec.textFormStatus(), rec.textFormMessage());
    size_t i = 0;
    while (i < n) {
        char c = p[i];
        switch (st.phase) {
            case TextFormState::LineStart:
                if (c == '\n' || c == '\r') break;
                if (!isDigit(c)) return error(rec, st, std::string("expected a number, found '") + c + "'");
                st.num.assign(1, c);
                st.phase = TextFormState::Number;
                break;
            case TextFormState::Number:
                if (isDigit(c)) {
                    if (st.num.size() >= kMaxDigits) return error(rec, st, "number too long");
                    st.num.push_back(c);
                    break;
                }
                st.first = std::stoi(st.num);
                if (c == 'G') {
                    st.phase = TextFormState::AfterG;
                } else if (c == 'F') {
                    st.phase = TextFormState::AfterF;
                } else if (c == 'L') {
                    if (!st.blockField)
                        return error(rec, st, "text piece of " + st.num + " bytes without a field header");
                    st.pieceLeft = st.first;
                    st.phase = TextFormState::Piece;
                    if (st.pieceLeft == 0) {
                        appendBlock(rec, st, "", 0);
                        st.phase = TextFormState::PieceEnd;
                    }
                } else {
                    return error(rec, st, std::string("expected G, F or L after ") + st.num + ", found '" + c + "'");
                }
                break;
            case TextFormState::AfterG:
                if (c != '^') return error(rec, st, "expected '^' after part number " + st.num);
                rec.flush();
                st.part = st.first;
                st.blockField = 0;
                rec.touchPart(st.part);
                rec.setBatchSlot(st.part);
                st.phase = TextFormState::LineStart;
                break;
            case TextFormState::AfterF: {
                if (c != '^') return error(rec, st, "expected '^' after field number " + st.num);
                int status;
                fieldOf(rec, st, st.first, status);
                if (!(status & 1)) return status;
                st.blockField = 0;
                st.phase = TextFormState::AfterFCaret;
                break;
            }
            case TextFormState::AfterFCaret:
                if (c == '\n' || c == '\r') {
                    // Header of a text field: its pieces follow.
                    st.blockField = st.first;
                    st.blockStarted = false;
                    appendBlock(rec, st, "", 0);
                    st.blockStarted = false;
                    st.phase = TextFormState::LineStart;
                } else if (isDigit(c)) {
                    st.itemNum.assign(1, c);
                    st.phase = TextFormState::Item;
                } else {
                    return error(rec, st, "expected an item number after field " + std::to_string(st.first));
                }
                break;
            case TextFormState::Item:
                if (isDigit(c)) {
                    if (st.itemNum.size() >= kMaxDigits) return error(rec, st, "item number too long");
                    st.itemNum.push_back(c);
                } else if (c == 'P') {
                    st.value.clear();
                    st.phase = TextFormState::Value;
                } else {
                    return error(rec, st, "expected 'P' after item number " + st.itemNum);
                }
                break;
            case TextFormState::Value: {
                // Take the run of plain bytes at once.
                size_t j = i;
                while (j < n && p[j] != '^') ++j;
                st.value.append(p + i, j - i);
                st.offset += static_cast<int64_t>(j - i);
                i = j;
                if (i < n) {
                    st.phase = TextFormState::ValueCaret;
                    ++i;
                    ++st.offset;
                }
                continue;
            }
            case TextFormState::ValueCaret:
                if (c == '\n') {
                    int s = storeValue(rec, st);
                    if (!(s & 1)) return s;
                    st.phase = TextFormState::LineStart;
                } else if (c == '^') {
                    st.value.push_back('^');
                } else {
                    st.value.push_back('^');
                    st.value.push_back(c);
                    st.phase = TextFormState::Value;
                }
                break;
            case TextFormState::Piece: {
                size_t take = static_cast<size_t>(std::min<int64_t>(st.pieceLeft, static_cast<int64_t>(n - i)));
                appendBlock(rec, st, p + i, take);
                st.pieceLeft -= static_cast<int64_t>(take);
                st.offset += static_cast<int64_t>(take);
                i += take;
                if (st.pieceLeft == 0) st.phase = TextFormState::PieceEnd;
                continue;
            }
            case TextFormState::PieceEnd:
                if (c != '^')
                    return error(rec, st, "text piece of " + std::to_string(st.first) + " bytes runs past its data");
                st.phase = TextFormState::LineStart;
                break;
            case TextFormState::LineEnd:
                st.phase = TextFormState::LineStart;
                continue;
        }
        ++i;
        ++st.offset;
    }
    return VDB_OK;
}

int putPartValues(Record& rec, TextFormState& st, int count, const int* parts, const int* fields,
                  const char* const* values, const int* lengths) {
    if (!(rec.textFormStatus() & 1)) return fail(rec.textFormStatus(), rec.textFormMessage());
    if (st.phase != TextFormState::LineStart && st.phase != TextFormState::LineEnd)
        return fail(VDB_BADARG, "VdbPutPartValues: a line of record text form is unfinished (%lld bytes read)",
                    static_cast<long long>(st.offset));
    const Design& d = rec.design();
    for (int k = 0; k < count; ++k) {
        if (parts[k] < 0 || lengths[k] < 0 || (!values[k] && lengths[k] > 0))
            return fail(VDB_BADARG, "VdbPutPartValues: value %d has part %d and %d bytes", k + 1, parts[k],
                        lengths[k]);
        if (!d.field(fields[k]))
            return fail(VDB_BADFIELD, "VdbPutPartValues: value %d names field %d; base %s has fields 1 to %d", k + 1,
                        fields[k], rec.base()->name.c_str(), d.fieldCount());
    }
    int current = -1;
    for (int k = 0; k < count; ++k) {
        int field = fields[k];
        int p = parts[k];
        if (p != current) {
            // As a part header line: the part exists from here on.
            rec.flush();
            rec.touchPart(p);
            current = p;
        }
        size_t n = static_cast<size_t>(lengths[k]);
        const char* v = n ? values[k] : "";
        int part = partOf(d, field, p);
        if (d.isBlob(field)) {
            rec.blobClear(field, part);
            rec.blobAppend(field, part, v, n);
        } else if (d.partScoped(field)) {
            rec.setBatchSlot(part);
            rec.setPartItem(field, part, 1, std::string(v, n));
        } else {
            int item = p > 0 ? p : 1;
            rec.setBatchSlot(item);
            rec.setRecordItem(field, item, std::string(v, n), p);
        }
    }
    if (current >= 0) {
        st.part = current;
        st.blockField = 0;
    }
    return VDB_OK;
}

int finishTextForm(Record& rec, TextFormState& st) {
    if (!(rec.textFormStatus() & 1)) return rec.textFormStatus();
    switch (st.phase) {
        case TextFormState::LineStart:
        case TextFormState::LineEnd:
            break;
        case TextFormState::ValueCaret: {
            int s = storeValue(rec, st);
            if (!(s & 1)) return s;
            break;
        }
        case TextFormState::AfterFCaret:
            st.blockField = st.first;
            st.blockStarted = false;
            appendBlock(rec, st, "", 0);
            break;
        case TextFormState::Value:
            return error(rec, st, "the record text form ends inside the value of field " + std::to_string(st.first) +
                                      " (missing '^')");
        case TextFormState::Piece:
        case TextFormState::PieceEnd:
            return error(rec, st, "text piece of " + std::to_string(st.first) + " bytes runs past its data");
        default:
            return error(rec, st, "the record text form ends inside a line");
    }
    int part = st.part;
    int block = st.blockField;
    bool started = st.blockStarted;
    st = TextFormState();
    st.part = part;
    st.blockField = block;
    st.blockStarted = started;
    rec.flush();
    return VDB_OK;
}

}  // namespace vdbs
