// Interface entry points not implemented yet: each fails with VDB_NOTAVAILABLE.
#include "vornapi.h"
#include "status.h"

extern "C" int VdbStartVorn(const char* user, const char* password, int version, int bufsize) { return vdbs::fail(VDB_NOTAVAILABLE, "VdbStartVorn is not implemented yet"); }
extern "C" int VdbStopVorn(int mode) { return vdbs::fail(VDB_NOTAVAILABLE, "VdbStopVorn is not implemented yet"); }
extern "C" int VdbSessionInfo(int kind, char* text, int* value) { return vdbs::fail(VDB_NOTAVAILABLE, "VdbSessionInfo is not implemented yet"); }
extern "C" int VdbInitData(const char* dir, const char* password) { return vdbs::fail(VDB_NOTAVAILABLE, "VdbInitData is not implemented yet"); }
extern "C" int VdbSetPassword(const char* user, const char* password) { return vdbs::fail(VDB_NOTAVAILABLE, "VdbSetPassword is not implemented yet"); }
extern "C" int VdbCreateBase(const char* name, const char* design) { return vdbs::fail(VDB_NOTAVAILABLE, "VdbCreateBase is not implemented yet"); }
extern "C" int VdbDropBase(const char* name) { return vdbs::fail(VDB_NOTAVAILABLE, "VdbDropBase is not implemented yet"); }
extern "C" int VdbListBases(int index, char* name, char* design, int* records) { return vdbs::fail(VDB_NOTAVAILABLE, "VdbListBases is not implemented yet"); }
extern "C" int VdbCreateRecordControl(VdbHandle* control) { return vdbs::fail(VDB_NOTAVAILABLE, "VdbCreateRecordControl is not implemented yet"); }
extern "C" int VdbDeleteRecordControl(VdbHandle control) { return vdbs::fail(VDB_NOTAVAILABLE, "VdbDeleteRecordControl is not implemented yet"); }
extern "C" int VdbSetBase(VdbHandle control, const char* base, int mode) { return vdbs::fail(VDB_NOTAVAILABLE, "VdbSetBase is not implemented yet"); }
extern "C" int VdbRecordInfo(VdbHandle control, int kind, char* text, int* value) { return vdbs::fail(VDB_NOTAVAILABLE, "VdbRecordInfo is not implemented yet"); }
extern "C" int VdbBaseInfo(const char* base, int kind, char* text, int* value) { return vdbs::fail(VDB_NOTAVAILABLE, "VdbBaseInfo is not implemented yet"); }
extern "C" int VdbCheckField(VdbHandle control, const char* name, int* number, int* type, int* flags) { return vdbs::fail(VDB_NOTAVAILABLE, "VdbCheckField is not implemented yet"); }
extern "C" int VdbGetRecordInBase(VdbHandle control, int rid) { return vdbs::fail(VDB_NOTAVAILABLE, "VdbGetRecordInBase is not implemented yet"); }
extern "C" int VdbPutRecord(VdbHandle control, int* rid) { return vdbs::fail(VDB_NOTAVAILABLE, "VdbPutRecord is not implemented yet"); }
extern "C" int VdbDeleteRecordInBase(VdbHandle control, int* rid) { return vdbs::fail(VDB_NOTAVAILABLE, "VdbDeleteRecordInBase is not implemented yet"); }
extern "C" int VdbCheckRecordName(VdbHandle control, int* rid, const char* name) { return vdbs::fail(VDB_NOTAVAILABLE, "VdbCheckRecordName is not implemented yet"); }
extern "C" int VdbBatchLoadIndex(int mode, const char* base, const char* options) { return vdbs::fail(VDB_NOTAVAILABLE, "VdbBatchLoadIndex is not implemented yet"); }
extern "C" int VdbSetCursor(VdbHandle* cursor, VdbHandle control, int field, int part, int item) { return vdbs::fail(VDB_NOTAVAILABLE, "VdbSetCursor is not implemented yet"); }
extern "C" int VdbSetRecordPart(VdbHandle* cursor, VdbHandle control, int part) { return vdbs::fail(VDB_NOTAVAILABLE, "VdbSetRecordPart is not implemented yet"); }
extern "C" int VdbDeleteCursor(VdbHandle cursor) { return vdbs::fail(VDB_NOTAVAILABLE, "VdbDeleteCursor is not implemented yet"); }
extern "C" int VdbPartCount(VdbHandle cursor, int* count) { return vdbs::fail(VDB_NOTAVAILABLE, "VdbPartCount is not implemented yet"); }
extern "C" int VdbItemCount(VdbHandle cursor, int* count) { return vdbs::fail(VDB_NOTAVAILABLE, "VdbItemCount is not implemented yet"); }
extern "C" int VdbGetLine(VdbHandle cursor, char* buffer, int* length, int capacity) { return vdbs::fail(VDB_NOTAVAILABLE, "VdbGetLine is not implemented yet"); }
extern "C" int VdbPutLine(VdbHandle cursor, const char* text, int length) { return vdbs::fail(VDB_NOTAVAILABLE, "VdbPutLine is not implemented yet"); }
extern "C" int VdbReplaceItem(VdbHandle cursor, const char* value, int length) { return vdbs::fail(VDB_NOTAVAILABLE, "VdbReplaceItem is not implemented yet"); }
extern "C" int VdbDeleteItem(VdbHandle cursor) { return vdbs::fail(VDB_NOTAVAILABLE, "VdbDeleteItem is not implemented yet"); }
extern "C" int VdbCurrentItem(VdbHandle* control) { return vdbs::fail(VDB_NOTAVAILABLE, "VdbCurrentItem is not implemented yet"); }
extern "C" int VdbStrNormalize(char* text, int* length, int mode) { return vdbs::fail(VDB_NOTAVAILABLE, "VdbStrNormalize is not implemented yet"); }
extern "C" int VdbGetBlobSize(VdbHandle cursor, int* size) { return vdbs::fail(VDB_NOTAVAILABLE, "VdbGetBlobSize is not implemented yet"); }
extern "C" int VdbGetBlobBlock(VdbHandle cursor, int block, int blockSize, char* area, int* length) { return vdbs::fail(VDB_NOTAVAILABLE, "VdbGetBlobBlock is not implemented yet"); }
extern "C" int VdbPutBlobBlock(VdbHandle cursor, int length, const char* data) { return vdbs::fail(VDB_NOTAVAILABLE, "VdbPutBlobBlock is not implemented yet"); }
extern "C" int VdbPutRecordBuffer(VdbHandle cursor, const char* text, int length, int* part, int* field, int* pending) { return vdbs::fail(VDB_NOTAVAILABLE, "VdbPutRecordBuffer is not implemented yet"); }
extern "C" int VdbExecuteCcl(const char* text, int* code) { return vdbs::fail(VDB_NOTAVAILABLE, "VdbExecuteCcl is not implemented yet"); }
extern "C" int VdbShellDaoPtr(shell_dao_rec** rec) { return vdbs::fail(VDB_NOTAVAILABLE, "VdbShellDaoPtr is not implemented yet"); }
extern "C" int VdbShellToDao(shell_dao_rec* rec) { return vdbs::fail(VDB_NOTAVAILABLE, "VdbShellToDao is not implemented yet"); }
extern "C" int VdbDaoOrder(shell_dao_rec* rec) { return vdbs::fail(VDB_NOTAVAILABLE, "VdbDaoOrder is not implemented yet"); }
extern "C" int VdbShellSymbol(char* word, int* length) { return vdbs::fail(VDB_NOTAVAILABLE, "VdbShellSymbol is not implemented yet"); }
extern "C" int VdbGetSearch(int* set, int* records, int* hits) { return vdbs::fail(VDB_NOTAVAILABLE, "VdbGetSearch is not implemented yet"); }
extern "C" int VdbGetRecordInSearchRis(VdbHandle control, int set, int pos, int* rid, char* base) { return vdbs::fail(VDB_NOTAVAILABLE, "VdbGetRecordInSearchRis is not implemented yet"); }
extern "C" int VdbGetRecordInSearch(VdbHandle control, int set, int after) { return vdbs::fail(VDB_NOTAVAILABLE, "VdbGetRecordInSearch is not implemented yet"); }
extern "C" int VdbGetNextHitWord(VdbHandle control, int* part, int* rid, int* position, int* part2, int* reserved1, int* reserved2) { return vdbs::fail(VDB_NOTAVAILABLE, "VdbGetNextHitWord is not implemented yet"); }
extern "C" int VdbGetFieldInfo(VdbHandle cursor, int* length, char** text, int* hitCount, int** hitVector, int* paragraphs) { return vdbs::fail(VDB_NOTAVAILABLE, "VdbGetFieldInfo is not implemented yet"); }
extern "C" int VdbDeallocate(void* p) { return vdbs::fail(VDB_NOTAVAILABLE, "VdbDeallocate is not implemented yet"); }
extern "C" int VdbSaveStatus(void) { return vdbs::fail(VDB_NOTAVAILABLE, "VdbSaveStatus is not implemented yet"); }
extern "C" int VdbLoadStatus(int mode) { return vdbs::fail(VDB_NOTAVAILABLE, "VdbLoadStatus is not implemented yet"); }
extern "C" int VdbCheckScreenWindow(int screen, int* window) { return vdbs::fail(VDB_NOTAVAILABLE, "VdbCheckScreenWindow is not implemented yet"); }
extern "C" int VdbDefineWindow(int screen, int lines, int columns) { return vdbs::fail(VDB_NOTAVAILABLE, "VdbDefineWindow is not implemented yet"); }
extern "C" int VdbSetScreenWindow(int screen, int window) { return vdbs::fail(VDB_NOTAVAILABLE, "VdbSetScreenWindow is not implemented yet"); }
extern "C" int VdbGetWindowInfo(int screen, char** text, int* lines, int* columns, int* length, int* more) { return vdbs::fail(VDB_NOTAVAILABLE, "VdbGetWindowInfo is not implemented yet"); }
extern "C" int VdbDeleteWindow(int window) { return vdbs::fail(VDB_NOTAVAILABLE, "VdbDeleteWindow is not implemented yet"); }
extern "C" int VdbImport(filter_data* fd) { return vdbs::fail(VDB_NOTAVAILABLE, "VdbImport is not implemented yet"); }
extern "C" int VdbExport(filter_data* fd) { return vdbs::fail(VDB_NOTAVAILABLE, "VdbExport is not implemented yet"); }
extern "C" int VdbLoadAse(const char* name, VdbHandle* handle, char* arg) { return vdbs::fail(VDB_NOTAVAILABLE, "VdbLoadAse is not implemented yet"); }
extern "C" int VdbCallAse(VdbHandle handle, char* arg, int* result) { return vdbs::fail(VDB_NOTAVAILABLE, "VdbCallAse is not implemented yet"); }
