// Record controls, cursors, values, blobs and the record text form.
#include <cstdlib>
#include <cstring>

#include "kernel.h"
#include "status.h"
#include "textform.h"
#include "util.h"
#include "vornapi.h"

using namespace vdbs;

namespace {

int badHandle(const char* what, VdbHandle h) {
    return fail(VDB_BADHANDLE, "%s %p is not a live handle", what, h);
}

const char* fieldName(Record* r, int field) {
    const FieldDef* f = r->design().field(field);
    return f ? f->name.c_str() : "?";
}

// Changes to a record: a stored record is written through in its own
// transaction unless one is running; the record of a running import goes to
// storage as it is written, so a large document is not held in memory.
int mutate(Kernel& k, Record* r, const std::function<int()>& fn) {
    if (!r->backed() && k.st->depth() > 0 && k.isImportRecord(r)) r->back();
    if (r->backed() && k.st->depth() == 0) return k.write(fn);
    return fn();
}

Cursor* placeCursor(Kernel& k, VdbHandle* cur, Control* c) {
    Cursor* cu = k.cursor(*cur);
    if (!cu) {
        cu = new Cursor();
        k.handles.insert(cu);
        *cur = cu;
    }
    if (cu->ctl != c) {
        if (cu->ctl) cu->ctl->cursors.erase(cu);
        cu->ctl = c;
        c->cursors.insert(cu);
        cu->tf = TextFormState();
        cu->part = 0;
    }
    return cu;
}

// A cursor, or for a record control its record cursor (made on first use):
// text form and part values written through either continue each other.
Cursor* writingCursor(Kernel& k, VdbHandle handle) {
    if (Cursor* cu = k.cursor(handle)) return cu;
    Control* c = k.control(handle);
    if (!c) return nullptr;
    VdbHandle h = nullptr;
    for (Cursor* x : c->cursors)
        if (x->field == 0) h = x;
    return placeCursor(k, &h, c);
}

void resetCursors(Control* c) {
    for (Cursor* cu : c->cursors) cu->tf = TextFormState();
    c->hitWalk = 0;
}

// The record behind a cursor (or a control), with its design checked.
Record* cursorRecord(Kernel& k, Cursor* cu, int& status) {
    Record* r = k.bound(cu->ctl, status);
    if (!r) return nullptr;
    if (cu->field && !r->design().field(cu->field)) {
        status = fail(VDB_BADFIELD, "field number %d is not in base %s", cu->field, r->base()->name.c_str());
        return nullptr;
    }
    return r;
}

bool partScoped(Record* r, int field) { return r->design().partScoped(field); }

int firstItem(Record* r, Cursor* cu) {
    return partScoped(r, cu->field) ? r->firstPartItem(cu->field, cu->part) : r->firstRecordItem(cu->field);
}

int nextItem(Record* r, Cursor* cu, int after) {
    return partScoped(r, cu->field) ? r->nextPartItem(cu->field, cu->part, after)
                                    : r->nextRecordItem(cu->field, after);
}

int maxItem(Record* r, Cursor* cu) {
    return partScoped(r, cu->field) ? r->maxPartItem(cu->field, cu->part) : r->maxRecordItem(cu->field);
}

// A cursor that read a line moves on to the next item when it is next used,
// not at once: looking for the next item may mean walking the whole record,
// which a reader of a single item never needs.
void settle(Record* r, Cursor* cu) {
    if (!cu->advance) return;
    cu->advance = false;
    if (cu->item > 0) {
        int next = nextItem(r, cu, cu->item);
        cu->item = next ? next : -1;
    }
}

const Value* valueAt(Record* r, Cursor* cu, int item) {
    return partScoped(r, cu->field) ? r->partItem(cu->field, cu->part, item) : r->recordItem(cu->field, item);
}

void setValue(Record* r, Cursor* cu, int item, std::string data) {
    if (partScoped(r, cu->field))
        r->setPartItem(cu->field, cu->part, item, std::move(data));
    else
        r->setRecordItem(cu->field, item, std::move(data), cu->part);
}

// The value cursor must be on a text-like field.
int needValueField(Record* r, Cursor* cu, const char* call) {
    if (cu->field == 0) return fail(VDB_FIELDKIND, "%s: the cursor is on the record, not on a field", call);
    if (r->design().isBlob(cu->field))
        return fail(VDB_FIELDKIND, "%s: field %s is a blob", call, fieldName(r, cu->field));
    return VDB_OK;
}

int needBlobField(Record* r, Cursor* cu, const char* call) {
    if (cu->field == 0 || !r->design().isBlob(cu->field))
        return fail(VDB_FIELDKIND, "%s: field %s is not a blob", call, cu->field ? fieldName(r, cu->field) : "0");
    return VDB_OK;
}

int utf8Chars(const char* p, size_t n) {
    int c = 0;
    for (size_t i = 0; i < n; ++i)
        if ((static_cast<unsigned char>(p[i]) & 0xc0) != 0x80) ++c;
    return c;
}

}  // namespace

extern "C" int VdbCreateRecordControl(VdbHandle* control) {
    return guarded([&](Kernel& k) {
        if (!control) return fail(VDB_BADARG, "VdbCreateRecordControl: no place for the handle");
        auto* c = new Control();
        k.handles.insert(c);
        *control = c;
        return VDB_OK;
    });
}

extern "C" int VdbDeleteRecordControl(VdbHandle control) {
    return guarded([&](Kernel& k) {
        Control* c = k.control(control);
        if (!c) return badHandle("record control", control);
        for (Cursor* cu : c->cursors) {
            k.handles.erase(cu);
            delete cu;
        }
        if (k.lastLoaded == c) k.lastLoaded = nullptr;
        // A record streamed into storage that was never stored goes with its control.
        if (c->rec && c->rec->backed() && !c->rec->stored() && c->rec.use_count() == 1 && k.st->depth() > 0)
            k.st->deleteRecord(c->rec->base()->id, c->rec->rid());
        k.handles.erase(c);
        delete c;
        return VDB_OK;
    });
}

extern "C" int VdbSetBase(VdbHandle control, const char* base, int) {
    return guarded([&](Kernel& k) {
        Control* c = k.control(control);
        if (!c) return badHandle("record control", control);
        // Not forced: what is then done with the record checks the base again
        // in its own snapshot, and a retrieval would pay for one more.
        k.checkVersion(false);
        BasePtr b = k.findBase(base ? base : "");
        if (!b) return fail(VDB_NOBASE, "no base named '%s'", base ? base : "");
        if (c->rec && c->rec->base()->id == b->id) {
            if (!c->rec->backed()) c->rec->setBase(b);
            return VDB_OK;
        }
        c->rec = std::make_shared<Record>(b);
        c->context.reset();
        resetCursors(c);
        return VDB_OK;
    });
}

extern "C" int VdbRecordInfo(VdbHandle control, int kind, char* text, int* value) {
    return guarded([&](Kernel& k) {
        Control* c = k.control(control);
        if (!c) {
            if (Cursor* cu = k.cursor(control)) c = cu->ctl;
        }
        if (!c) return badHandle("record control", control);
        int st;
        Record* r = k.bound(c, st);
        if (!r) return st;
        switch (kind) {
            case 1:
                if (value) *value = r->stored() ? r->rid() : 0;
                if (text) snprintf(text, 16, "%d", r->stored() ? r->rid() : 0);
                return VDB_OK;
            case 2: {
                int cap = (value && *value >= 1 && *value <= 64) ? *value : 64;
                int n = copyCString(text, cap, r->base()->name);
                if (value) *value = n;
                return VDB_OK;
            }
            case 3:
                if (value) *value = r->partCount();
                return VDB_OK;
            case 4: {
                std::string name;
                const Design& d = r->design();
                if (d.recnameField) {
                    int first = r->firstRecordItem(d.recnameField);
                    if (const Value* v = first ? r->recordItem(d.recnameField, first) : nullptr) name = v->data;
                }
                int n = copyCString(text, 256, name);
                if (value) *value = n;
                return VDB_OK;
            }
            case 5: {
                uint64_t stamp = r->base()->stamp;
                if (value) *value = static_cast<int>(stamp & 0x7fffffff);
                if (text) snprintf(text, 24, "%llu", static_cast<unsigned long long>(stamp));
                return VDB_OK;
            }
            default:
                return fail(VDB_BADARG, "VdbRecordInfo: unknown kind %d", kind);
        }
    });
}

extern "C" int VdbCheckField(VdbHandle control, const char* name, int* number, int* type, int* flags) {
    return guarded([&](Kernel& k) {
        BasePtr b;
        if (control) {
            Control* c = k.control(control);
            if (!c) return badHandle("record control", control);
            int st;
            Record* r = k.bound(c, st);
            if (!r) return st;
            b = r->base();
        } else {
            b = k.state.open;
            if (!b) return fail(VDB_NOBASEOPEN, "VdbCheckField without a record control needs an open base");
        }
        std::string n = name ? name : "";
        int num = b->design.find(n);
        if (!num) return fail(VDB_BADFIELD, "field %s is not in base %s", n.c_str(), b->name.c_str());
        const FieldDef* f = b->design.field(num);
        if (number) *number = num;
        if (type) *type = f->type;
        if (flags) {
            int fl = 0;
            if (f->part) fl |= VDB_FF_PART;
            if (f->recname) fl |= VDB_FF_RECNAME;
            if (!iequals(f->name, n)) fl |= VDB_FF_ALIAS;
            *flags = fl;
        }
        return VDB_OK;
    });
}

extern "C" int VdbGetRecordInBase(VdbHandle control, int rid) {
    return guarded([&](Kernel& k) {
        Control* c = k.control(control);
        if (!c) return badHandle("record control", control);
        int st;
        Record* cur = k.bound(c, st);
        if (!cur) return st;
        // The version check and the record's rows read in one snapshot.
        RecordPtr r;
        BasePtr b;
        st = k.readOnce([&] {
            k.checkVersion(true);
            b = k.findBase(cur->base()->name);
            if (!b) return fail(VDB_NOBASE, "base %s no longer exists", cur->base()->name.c_str());
            r = k.loadRecord(b, rid);
            if (!r) return fail(VDB_NORECORD, "base %s has no record %d", b->name.c_str(), rid);
            return VDB_OK;
        });
        if (!(st & 1)) return st;
        c->rec = r;
        c->context.reset();
        resetCursors(c);
        k.lastLoaded = c;
        return VDB_OK;
    });
}

extern "C" int VdbPutRecord(VdbHandle control, int* rid) {
    return guarded([&](Kernel& k) {
        Control* c = k.control(control);
        if (!c) return badHandle("record control", control);
        int st;
        Record* r = k.bound(c, st);
        if (!r) return st;
        int rc = k.write([&] {
            for (Cursor* cu : c->cursors) {
                int s = finishTextForm(*r, cu->tf);
                if (!(s & 1)) return s;
            }
            return r->finalize();
        });
        if (!(rc & 1)) return rc;
        k.records[{r->base()->id, r->rid()}] = c->rec;
        if (rid) *rid = r->rid();
        return VDB_OK;
    });
}

extern "C" int VdbDeleteRecordInBase(VdbHandle control, int* rid) {
    return guarded([&](Kernel& k) {
        Control* c = k.control(control);
        if (!c) return badHandle("record control", control);
        int st;
        Record* r = k.bound(c, st);
        if (!r) return st;
        if (!r->stored()) return fail(VDB_NORECORD, "the record control holds no stored record of base %s",
                                      r->base()->name.c_str());
        int gone = r->rid();
        int64_t base = r->base()->id;
        int rc = k.write([&] {
            r->removeFromBase();
            return VDB_OK;
        });
        if (!(rc & 1)) return rc;
        k.records.erase({base, gone});
        for (auto it = k.dirty.begin(); it != k.dirty.end();)
            it = it->get() == r ? k.dirty.erase(it) : std::next(it);
        c->context.reset();
        resetCursors(c);
        if (rid) *rid = gone;
        return VDB_OK;
    });
}

extern "C" int VdbCheckRecordName(VdbHandle control, int* rid, const char* name) {
    return guarded([&](Kernel& k) {
        Control* c = k.control(control);
        if (!c) return badHandle("record control", control);
        int st;
        Record* r = k.bound(c, st);
        if (!r) return st;
        if (rid) *rid = 0;
        std::string n = name ? name : "";
        if (n.empty()) return VDB_OK;
        k.checkVersion(true);
        if (k.st->depth() > 0) {
            int f = k.finalizeDirty();
            if (!(f & 1)) return f;
        }
        int found = k.st->findRecordByName(r->base()->id, n);
        if (!found) return VDB_OK;
        if (rid) *rid = found;
        std::string baseName = r->base()->name;
        if (r->empty()) {
            if (RecordPtr loaded = k.loadRecord(r->base(), found)) {
                c->rec = loaded;
                c->context.reset();
                resetCursors(c);
            }
        }
        fail(VDB_NAMEEXISTS, "record %d of base %s is named '%s'", found, baseName.c_str(), n.c_str());
        return VDB_NAMEEXISTS;
    });
}

extern "C" int VdbSetCursor(VdbHandle* cursor, VdbHandle control, int field, int part, int item) {
    return guarded([&](Kernel& k) {
        if (!cursor) return fail(VDB_BADARG, "VdbSetCursor: no place for the cursor");
        Control* c = k.control(control);
        if (!c) return badHandle("record control", control);
        int st;
        Record* r = k.bound(c, st);
        if (!r) return st;
        if (field < 0 || (field && !r->design().field(field)))
            return fail(VDB_BADFIELD, "field number %d is not in base %s", field, r->base()->name.c_str());
        if (part < 0 || item < 0) return fail(VDB_BADARG, "VdbSetCursor: part %d, item %d", part, item);
        Cursor* cu = placeCursor(k, cursor, c);
        cu->field = field;
        if (field == 0 || part > 0) cu->part = part;
        if (field == 0 && cu->tf.phase == TextFormState::LineStart && !cu->tf.blockField) cu->tf.part = cu->part;
        cu->item = item;
        cu->explicitItem = item > 0;
        cu->advance = false;
        cu->fresh = true;
        cu->blobFresh = true;
        return VDB_OK;
    });
}

extern "C" int VdbSetRecordPart(VdbHandle* cursor, VdbHandle control, int part) {
    return guarded([&](Kernel& k) {
        if (!cursor) return fail(VDB_BADARG, "VdbSetRecordPart: no place for the cursor");
        Control* c = k.control(control);
        if (!c) return badHandle("record control", control);
        int st;
        Record* r = k.bound(c, st);
        if (!r) return st;
        if (part < 0) return fail(VDB_BADARG, "VdbSetRecordPart: part %d", part);
        Cursor* cu = placeCursor(k, cursor, c);
        cu->field = 0;
        cu->part = part;
        if (cu->tf.phase == TextFormState::LineStart && !cu->tf.blockField) cu->tf.part = part;
        cu->item = 0;
        cu->explicitItem = false;
        cu->advance = false;
        cu->fresh = true;
        cu->blobFresh = true;
        return VDB_OK;
    });
}

extern "C" int VdbDeleteCursor(VdbHandle cursor) {
    return guarded([&](Kernel& k) {
        Cursor* cu = k.cursor(cursor);
        if (!cu) return badHandle("cursor", cursor);
        if (cu->ctl) cu->ctl->cursors.erase(cu);
        k.handles.erase(cu);
        delete cu;
        return VDB_OK;
    });
}

extern "C" int VdbPartCount(VdbHandle cursor, int* count) {
    return guarded([&](Kernel& k) {
        Control* c = k.control(cursor);
        if (!c) {
            Cursor* cu = k.cursor(cursor);
            if (!cu) return badHandle("cursor", cursor);
            c = cu->ctl;
        }
        int st;
        Record* r = k.bound(c, st);
        if (!r) return st;
        r->flush();
        if (count) *count = r->partCount();
        return VDB_OK;
    });
}

extern "C" int VdbItemCount(VdbHandle cursor, int* count) {
    return guarded([&](Kernel& k) {
        Cursor* cu = k.cursor(cursor);
        if (!cu) return badHandle("cursor", cursor);
        int st;
        Record* r = cursorRecord(k, cu, st);
        if (!r) return st;
        if (count) *count = cu->field == 0 ? r->partCount() : maxItem(r, cu);
        return VDB_OK;
    });
}

extern "C" int VdbGetLine(VdbHandle cursor, char* buffer, int* length, int capacity) {
    return guarded([&](Kernel& k) {
        if (length) *length = 0;
        Cursor* cu = k.cursor(cursor);
        if (!cu) return badHandle("cursor", cursor);
        int st;
        Record* r = cursorRecord(k, cu, st);
        if (!r) return st;
        st = needValueField(r, cu, "VdbGetLine");
        if (!(st & 1)) return st;
        settle(r, cu);
        if (cu->item < 0) return VDB_EOF;
        int item = cu->item > 0 ? cu->item : firstItem(r, cu);
        if (item == 0) return VDB_EOF;
        const Value* v = valueAt(r, cu, item);
        if (!v) {
            if (cu->explicitItem)
                return fail(VDB_NOITEM, "item %d of field %s does not exist", item, fieldName(r, cu->field));
            return VDB_EOF;
        }
        int n = copyOut(buffer, capacity, v->data);
        if (length) *length = n;
        cu->item = item;
        cu->advance = true;
        cu->explicitItem = true;
        return VDB_OK;
    });
}

extern "C" int VdbGetNodeValues(VdbHandle control, int part, int parts, int count, const int* fields,
                                const char** values, int* lengths) {
    return guarded([&](Kernel& k) {
        if (count < 0 || parts < 0 || (count > 0 && parts > 0x7fffffff / count))
            return fail(VDB_BADARG, "VdbGetNodeValues: %d fields of %d parts", count, parts);
        if (count > 0 && parts > 0 && (!fields || !values || !lengths))
            return fail(VDB_BADARG, "VdbGetNodeValues: %d fields of %d parts without their arrays", count, parts);
        const size_t total = static_cast<size_t>(parts) * static_cast<size_t>(count);
        for (size_t i = 0; i < total; ++i) {
            values[i] = nullptr;
            lengths[i] = -1;
        }
        if (part < 0 || parts > 0x7fffffff - part)
            return fail(VDB_BADARG, "VdbGetNodeValues: part %d, %d parts", part, parts);
        Control* c = k.control(control);
        if (!c) return badHandle("record control", control);
        int st;
        Record* r = k.bound(c, st);
        if (!r) return st;
        // A record just streamed in by an import holds only a window of its
        // parts: walking it would read the others from storage one by one and
        // keep each decoded. A stored record without changes is read whole
        // instead, as a loaded one is.
        if (parts > 1 && !r->inMemory() && r->stored() && !r->modified()) r->invalidate();
        // The views of the last call end here: a forward walk holds a few
        // pages of a large record, not all it has read.
        r->releasePagesBefore(static_cast<size_t>(part));
        const Design& d = r->design();
        constexpr int kMaxFields = 64;
        if (count > kMaxFields) return fail(VDB_BADARG, "VdbGetNodeValues: %d fields, at most %d", count, kMaxFields);
        // Where each field's value goes, by field number: a value is placed
        // without comparing it with every field asked for.
        int8_t at[kMaxFields];
        bool scoped[kMaxFields];
        memset(at, -1, sizeof at);
        bool direct = true;
        for (int i = 0; i < count; ++i) {
            if (!d.field(fields[i]))
                return fail(VDB_BADFIELD, "field number %d is not in base %s", fields[i], r->base()->name.c_str());
            if (d.isBlob(fields[i]))
                return fail(VDB_FIELDKIND, "VdbGetNodeValues: field %s is a blob", fieldName(r, fields[i]));
            scoped[i] = d.partScoped(fields[i]);
            if (fields[i] >= kMaxFields || at[fields[i]] >= 0)
                direct = false;  // a large number, or a field asked for twice
            else
                at[fields[i]] = static_cast<int8_t>(i);
        }
        if (parts > 1 && count > 0) r->willVisit(part, part + parts - 1);
        for (int n = 0; n < parts && count > 0; ++n) {
            const int p = part + n;
            const char** vals = values + static_cast<size_t>(n) * static_cast<size_t>(count);
            int* lens = lengths + static_cast<size_t>(n) * static_cast<size_t>(count);
            int best[kMaxFields];
            // A record field's item p, or a part field's lowest item.
            auto place = [&](int i, int item, uint8_t flags, const char* data, size_t size) {
                if (((flags & kPart) != 0) != scoped[i]) return;
                if (scoped[i]) {
                    if (item <= 0 || (vals[i] && item >= best[i])) return;
                    best[i] = item;
                } else if (item != p) {
                    return;
                }
                vals[i] = data;
                lens[i] = static_cast<int>(size);
            };
            // The slot's values are placed as they are walked, none kept.
            if (direct)
                r->visitSlot(p, [&](int field, int item, uint8_t flags, const char* data, size_t size) {
                    if (field >= 0 && field < kMaxFields && at[field] >= 0) place(at[field], item, flags, data, size);
                });
            else
                r->visitSlot(p, [&](int field, int item, uint8_t flags, const char* data, size_t size) {
                    for (int i = 0; i < count; ++i)
                        if (fields[i] == field) place(i, item, flags, data, size);
                });
        }
        return VDB_OK;
    });
}

extern "C" int VdbPutLine(VdbHandle cursor, const char* text, int length) {
    return guarded([&](Kernel& k) {
        Cursor* cu = k.cursor(cursor);
        if (!cu) return badHandle("cursor", cursor);
        int st;
        Record* r = cursorRecord(k, cu, st);
        if (!r) return st;
        st = needValueField(r, cu, "VdbPutLine");
        if (!(st & 1)) return st;
        if (!text && length > 0) return fail(VDB_BADARG, "VdbPutLine: no text");
        size_t n = length < 0 ? (text ? strlen(text) : 0) : static_cast<size_t>(length);
        int item;
        settle(r, cu);
        if (cu->fresh)
            item = cu->item > 0 ? cu->item : (firstItem(r, cu) ? firstItem(r, cu) : 1);
        else
            item = maxItem(r, cu) + 1;
        return mutate(k, r, [&] {
            setValue(r, cu, item, std::string(text ? text : "", n));
            cu->fresh = false;
            cu->item = item;
            cu->explicitItem = true;
            return VDB_OK;
        });
    });
}

extern "C" int VdbReplaceItem(VdbHandle cursor, const char* value, int length) {
    return guarded([&](Kernel& k) {
        Cursor* cu = k.cursor(cursor);
        if (!cu) return badHandle("cursor", cursor);
        int st;
        Record* r = cursorRecord(k, cu, st);
        if (!r) return st;
        st = needValueField(r, cu, "VdbReplaceItem");
        if (!(st & 1)) return st;
        if (!value && length > 0) return fail(VDB_BADARG, "VdbReplaceItem: no value");
        size_t n = length < 0 ? (value ? strlen(value) : 0) : static_cast<size_t>(length);
        settle(r, cu);
        int item = cu->item > 0 ? cu->item : (firstItem(r, cu) ? firstItem(r, cu) : 1);
        return mutate(k, r, [&] {
            setValue(r, cu, item, std::string(value ? value : "", n));
            cu->item = item;
            cu->explicitItem = true;
            cu->fresh = false;
            return VDB_OK;
        });
    });
}

extern "C" int VdbDeleteItem(VdbHandle cursor) {
    return guarded([&](Kernel& k) {
        Cursor* cu = k.cursor(cursor);
        if (!cu) return badHandle("cursor", cursor);
        int st;
        Record* r = cursorRecord(k, cu, st);
        if (!r) return st;
        if (cu->field == 0) return fail(VDB_FIELDKIND, "VdbDeleteItem: the cursor is on the record, not on a field");
        if (r->design().isBlob(cu->field)) {
            if (r->blobSize(cu->field, cu->part) == 0 && !r->partItem(cu->field, cu->part, 1)) return VDB_OK;
            return mutate(k, r, [&] {
                r->blobClear(cu->field, cu->part);
                return VDB_OK;
            });
        }
        settle(r, cu);
        int item = cu->item > 0 ? cu->item : firstItem(r, cu);
        if (item <= 0 || !valueAt(r, cu, item)) return VDB_OK;
        return mutate(k, r, [&] {
            if (partScoped(r, cu->field))
                r->deletePartItem(cu->field, cu->part, item);
            else
                r->deleteRecordItem(cu->field, item);
            return VDB_OK;
        });
    });
}

extern "C" int VdbGetBlobSize(VdbHandle cursor, int* size) {
    return guarded([&](Kernel& k) {
        if (size) *size = 0;
        Cursor* cu = k.cursor(cursor);
        if (!cu) return badHandle("cursor", cursor);
        int st;
        Record* r = cursorRecord(k, cu, st);
        if (!r) return st;
        st = needBlobField(r, cu, "VdbGetBlobSize");
        if (!(st & 1)) return st;
        int64_t n = r->blobSize(cu->field, cu->part);
        if (size) *size = n > 0x7fffffff ? 0x7fffffff : static_cast<int>(n);
        return VDB_OK;
    });
}

extern "C" int VdbGetBlobBlock(VdbHandle cursor, int block, int blockSize, char* area, int* length) {
    return guarded([&](Kernel& k) {
        if (length) *length = 0;
        Cursor* cu = k.cursor(cursor);
        if (!cu) return badHandle("cursor", cursor);
        int st;
        Record* r = cursorRecord(k, cu, st);
        if (!r) return st;
        st = needBlobField(r, cu, "VdbGetBlobBlock");
        if (!(st & 1)) return st;
        if (block < 1 || blockSize < 1 || !area)
            return fail(VDB_BADARG, "VdbGetBlobBlock: block %d of size %d", block, blockSize);
        std::string out;
        r->blobRead(cu->field, cu->part, static_cast<int64_t>(block - 1) * blockSize, blockSize, out);
        if (out.empty()) return VDB_EOF;
        memcpy(area, out.data(), out.size());
        if (length) *length = static_cast<int>(out.size());
        return VDB_OK;
    });
}

extern "C" int VdbPutBlobBlock(VdbHandle cursor, int length, const char* data) {
    return guarded([&](Kernel& k) {
        Cursor* cu = k.cursor(cursor);
        if (!cu) return badHandle("cursor", cursor);
        int st;
        Record* r = cursorRecord(k, cu, st);
        if (!r) return st;
        st = needBlobField(r, cu, "VdbPutBlobBlock");
        if (!(st & 1)) return st;
        if (length < 0 || (!data && length > 0)) return fail(VDB_BADARG, "VdbPutBlobBlock: %d bytes", length);
        return mutate(k, r, [&] {
            if (cu->blobFresh) r->blobClear(cu->field, cu->part);
            cu->blobFresh = false;
            r->blobAppend(cu->field, cu->part, data, static_cast<size_t>(length));
            return VDB_OK;
        });
    });
}

extern "C" int VdbPutRecordBuffer(VdbHandle cursor, const char* text, int length, int* part, int* field,
                                  int* pending) {
    return guarded([&](Kernel& k) {
        Cursor* cu = writingCursor(k, cursor);
        if (!cu) return badHandle("cursor", cursor);
        int st;
        Record* r = k.bound(cu->ctl, st);
        if (!r) return st;
        if (length < 0 || (!text && length > 0)) return fail(VDB_BADARG, "VdbPutRecordBuffer: %d bytes", length);
        int rc = mutate(k, r, [&] { return parseTextForm(*r, cu->tf, text, static_cast<size_t>(length)); });
        if (part) *part = cu->tf.part;
        if (field) *field = (cu->tf.phase == TextFormState::LineStart) ? 0 : cu->tf.first;
        if (pending) *pending = static_cast<int>(cu->tf.num.size() + cu->tf.itemNum.size() + cu->tf.value.size());
        return rc;
    });
}

extern "C" int VdbPutPartValues(VdbHandle cursor, int count, const int* parts, const int* fields,
                                const char* const* values, const int* lengths) {
    return guarded([&](Kernel& k) {
        Cursor* cu = writingCursor(k, cursor);
        if (!cu) return badHandle("cursor", cursor);
        if (count < 0 || (count > 0 && (!parts || !fields || !values || !lengths)))
            return fail(VDB_BADARG, "VdbPutPartValues: %d values%s", count,
                        count < 0 ? "" : " without their arrays");
        int st;
        Record* r = k.bound(cu->ctl, st);
        if (!r) return st;
        if (count == 0) return VDB_OK;
        return mutate(k, r, [&] { return putPartValues(*r, cu->tf, count, parts, fields, values, lengths); });
    });
}

extern "C" int VdbGetFieldInfo(VdbHandle cursor, int* length, char** text, int* hitCount, int** hitVector,
                               int* paragraphs) {
    return guarded([&](Kernel& k) {
        if (length) *length = 0;
        if (text) *text = nullptr;
        if (hitCount) *hitCount = 0;
        if (hitVector) *hitVector = nullptr;
        if (paragraphs) *paragraphs = 0;
        Cursor* cu = k.cursor(cursor);
        if (!cu) return badHandle("cursor", cursor);
        int st;
        Record* r = cursorRecord(k, cu, st);
        if (!r) return st;
        st = needValueField(r, cu, "VdbGetFieldInfo");
        if (!(st & 1)) return st;
        settle(r, cu);
        int item = cu->item > 0 ? cu->item : firstItem(r, cu);
        const Value* v = item > 0 ? valueAt(r, cu, item) : nullptr;
        if (!v) {
            if (cu->explicitItem && cu->item > 0)
                return fail(VDB_NOITEM, "item %d of field %s does not exist", item, fieldName(r, cu->field));
            return VDB_OK;
        }
        const std::string& val = v->data;
        if (length) *length = static_cast<int>(val.size());
        if (paragraphs) *paragraphs = 1 + static_cast<int>(std::count(val.begin(), val.end(), '\n'));
        if (text) {
            char* copy = static_cast<char*>(malloc(val.size() + 1));
            if (!copy) return fail(VDB_STORAGE, "out of memory");
            memcpy(copy, val.data(), val.size());
            copy[val.size()] = 0;
            *text = copy;
        }
        const SetData* ctx = cu->ctl->context.get();
        if (!ctx || ctx->terms.empty() || !r->stored() ||
            !std::binary_search(ctx->rids.begin(), ctx->rids.end(), r->rid()))
            return VDB_OK;
        std::vector<std::pair<int, int>> spans;  // byte offset, byte length
        for (const Term& t : ctx->terms) {
            if (t.field != cu->field) continue;
            switch (t.kind) {
                case Term::Exact:
                    if (val == t.value && !val.empty()) spans.emplace_back(0, static_cast<int>(val.size()));
                    break;
                case Term::Prefix:
                    if (!t.value.empty() && val.compare(0, t.value.size(), t.value) == 0)
                        spans.emplace_back(0, static_cast<int>(t.value.size()));
                    break;
                case Term::Suffix:
                    if (!t.value.empty() && val.size() >= t.value.size() &&
                        val.compare(val.size() - t.value.size(), t.value.size(), t.value) == 0)
                        spans.emplace_back(static_cast<int>(val.size() - t.value.size()),
                                           static_cast<int>(t.value.size()));
                    break;
                case Term::Contains:
                    if (t.value.empty()) break;
                    for (size_t pos = val.find(t.value); pos != std::string::npos;
                         pos = val.find(t.value, pos + t.value.size()))
                        spans.emplace_back(static_cast<int>(pos), static_cast<int>(t.value.size()));
                    break;
            }
        }
        if (spans.empty()) return VDB_OK;
        std::sort(spans.begin(), spans.end());
        // Overlapping spans of different terms become one.
        std::vector<std::pair<int, int>> merged;
        for (auto& s : spans) {
            if (!merged.empty() && s.first < merged.back().first + merged.back().second) {
                int end = std::max(merged.back().first + merged.back().second, s.first + s.second);
                merged.back().second = end - merged.back().first;
            } else {
                merged.push_back(s);
            }
        }
        if (hitCount) *hitCount = static_cast<int>(merged.size());
        if (hitVector) {
            int* hv = static_cast<int*>(malloc(sizeof(int) * 2 * merged.size()));
            if (!hv) return fail(VDB_STORAGE, "out of memory");
            bool utf8 = k.charset == 16;
            for (size_t i = 0; i < merged.size(); ++i) {
                hv[2 * i] = merged[i].first + 1;
                hv[2 * i + 1] = utf8 ? utf8Chars(val.data() + merged[i].first, static_cast<size_t>(merged[i].second))
                                     : merged[i].second;
            }
            *hitVector = hv;
        }
        return VDB_OK;
    });
}

extern "C" int VdbDeallocate(void* p) {
    free(p);
    return VDB_OK;
}

extern "C" int VdbCurrentItem(VdbHandle* control) {
    return guarded([&](Kernel& k) {
        if (!control) return fail(VDB_BADARG, "VdbCurrentItem: no place for the handle");
        *control = nullptr;
        for (auto it = k.calls.rbegin(); it != k.calls.rend(); ++it) {
            if (it->fd && k.control(it->fd->record_control)) {
                *control = it->fd->record_control;
                return VDB_OK;
            }
        }
        if (k.lastLoaded && k.handles.count(k.lastLoaded)) {
            *control = k.lastLoaded;
            return VDB_OK;
        }
        return fail(VDB_NORECORD, "the kernel has no current record");
    });
}

extern "C" int VdbStrNormalize(char* text, int* length, int mode) {
    if (!text || !length) return fail(VDB_BADARG, "VdbStrNormalize: no text");
    size_t n = *length < 0 ? strlen(text) : static_cast<size_t>(*length);
    std::string out;
    bool space = false;
    for (size_t i = 0; i < n; ++i) {
        char c = text[i];
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v') {
            space = !out.empty();
            continue;
        }
        if (space) out.push_back(' ');
        space = false;
        if (mode == 2 && c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        out.push_back(c);
    }
    memcpy(text, out.data(), out.size());
    text[out.size()] = 0;
    *length = static_cast<int>(out.size());
    return VDB_OK;
}
