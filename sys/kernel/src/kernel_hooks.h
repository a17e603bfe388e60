// What records need from the session: the storage and change notices.
#pragma once
#include <cstdint>
#include <vector>

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
// The highest item of each record field (by field number) of a stored
// record as the session keeps it until the record, its base or the data
// directory changes; null when not kept.
const std::vector<int>* knownItemMaxima(int64_t base, int rid);
void keepItemMaxima(int64_t base, int rid, const std::vector<int>& maxima);
// A record became backed by storage inside an open transaction (it is new
// again if that transaction is rolled back).
void noteBackedInTransaction();

}  // namespace vdbs
