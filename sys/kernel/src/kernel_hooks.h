// What records need from the session: the storage and change notices.
#pragma once
#include <cstdint>

namespace vdbs {

class Storage;
class Record;

Storage& store();
// A stored record changed: it must be re-indexed before the next search or commit.
void noteRecordModified(Record* rec);
// Sequence number for a write to a record: a rollback knows which records
// changed inside the part it undoes.
uint64_t nextWriteSeq();
// A record's index entries or structure were rewritten or removed.
void noteIndexChanged(int64_t base, int rid);

}  // namespace vdbs
