/*
 * libvdbs: the database kernel's C interface.
 *
 * Conventions
 * - Every call returns a status: odd is success, even is failure. VdbMessage
 *   gives the text of any status; after a failure it names the problem
 *   (the field, the base, the position of a syntax error, ...).
 * - One session per process (VdbStartVorn); calls come from one thread at a
 *   time. Filters run on the caller's thread and may call back into the kernel.
 * - Text out-parameters are NUL-terminated when the caller's capacity leaves
 *   room for the NUL; values are bytes, compared exactly.
 * - Record model: a record has a record id (rid), an optional record name,
 *   part 0 (the main part) and node parts 1..n. A value is an item of a field:
 *   - record fields (not part fields, not text, not blob): item numbers are
 *     unique across the record; the record text form writes a node field of
 *     part p as item p, so "item p of N_TYPE" is node p's type;
 *   - part fields, text fields (type 1) and blobs (type 20) keep their items
 *     inside each part and are reached through the selected part. A text or
 *     blob field that is not a part field (D_DOCTYPE, D_META, A_ITEM,
 *     D_DOCTEXT, D_XMLDOC of the xml design) holds a value of the record:
 *     the record text form always writes it into part 0, where
 *     VdbSetCursor(f, 0, 0) on a fresh cursor (or after VdbSetRecordPart(0))
 *     reads it.
 *   A search hit is the pair (rid, part). A record field's item p written while
 *   part p is current is a hit of part p; any other item is a hit of part 0.
 */
#ifndef VORNAPI_H
#define VORNAPI_H

#include "vornapi_types.h"

#ifdef __cplusplus
extern "C" {
#define VDB_DEFAULT(v) = v
#else
#define VDB_DEFAULT(v)
#endif

#if defined(__GNUC__)
#pragma GCC visibility push(default)
#endif

/* ===================================================================== */
/* Session and configuration                                             */
/* ===================================================================== */

/* Opens the process's session on the data directory named by the
 * configuration value VDBS_DATA (default "./vdbs-data"); a missing directory is
 * created with one user "warden" whose password is empty until VdbInitData or
 * VdbSetPassword sets it.
 *   user, password: the credentials; a wrong pair fails with VDB_LOGIN and
 *                   opens nothing.
 *   version, bufsize: accepted for compatibility (callers pass 9, 4096).
 * A second call while a session is open fails with VDB_NOTAVAILABLE. */
int VdbStartVorn(const char* user, const char* password, int version VDB_DEFAULT(9),
                 int bufsize VDB_DEFAULT(4096));

/* Closes the session: frees every record control, cursor, set and window and
 * closes the data directory. mode is ignored (callers pass 0). */
int VdbStopVorn(int mode VDB_DEFAULT(0));

/* Facts about the session.
 *   kind 10: *value = character set code of the session (16 = UTF-8 unless
 *            VDBS_CHARS names another: LA2 2, LA3 3, CHI 17, GBK 18, EUC 19,
 *            SJIS/SJI.../JIS/SHIFT-JIS 20, UTF 16, anything else 1 = Cp1252);
 *            text = the converter name ("UTF-8", "Cp1252", ...).
 *   kind 1:  text = user name.
 *   kind 2:  text = data directory.
 *   kind 3:  *value = number of sets in the session.
 * text (may be null) must hold 256 bytes; value may be null. */
int VdbSessionInfo(int kind, char* text, int* value);

/* The configuration value of key: the value set by UpdateRCS in this process,
 * else the environment variable of that name, else the kernel configuration
 * file (the file named by the environment variable VORNRCS, else
 * "/usr/local/vorn/sys/conf/vdbs.conf", else "/.VORNrcs"; lines KEY=value,
 * '#' starts a comment, blanks around key and value are dropped).
 * scope is ignored (callers pass 7). Returns null when the key has no value.
 * The pointer stays valid for the life of the process. */
const char* QueryRCS(const char* key, int scope VDB_DEFAULT(7));

/* Sets the configuration value of key for this process only (it wins over the
 * environment and the file). A null value removes the override. */
int UpdateRCS(const char* key, const char* value);

/* The text of a status.
 *   status: any status a kernel call or filter returned; -1 gives the message
 *           of the last failure of this session.
 *   text:   out, the message, NUL-terminated.
 *   length: in: capacity of text (at most *length - 1 characters are written);
 *           out: length of the message written.
 * The message of the session's last failure is returned for its status (so it
 * names the field, base, position ... that was wrong); other statuses get the
 * catalogue text. Unknown even statuses read "Unknown status %d". Works without
 * a session. */
int VdbMessage(int status, char* text, int* length);

/* ===================================================================== */
/* Administration (vxsh, tests)                                          */
/* ===================================================================== */

/* Creates the data directory dir (null: VDBS_DATA or "./vdbs-data") when it
 * does not exist and sets the password of user "warden". Fails with
 * VDB_INITDONE when warden already has a non-empty password (change it with
 * VdbSetPassword in a session), with VDB_DATADIR when the directory cannot be
 * created or opened. Needs no session; must not be called while one is open
 * on the same directory. */
int VdbInitData(const char* dir, const char* password);

/* Sets the password of user (null: the session's user) to password. Needs a
 * session of that user. */
int VdbSetPassword(const char* user, const char* password);

/* Creates a base.
 *   name:   1 to 63 characters (letters, digits, '_', '-', '.'), compared without case.
 *   design: "xml" (the document record model), "link" (the link database), or
 *           the path of a design file: one field per line, "name type [part]
 *           [recname]", type a number (1 text, 2 phrase, 9 integer, 10 number,
 *           11 date, 12 time, 20 blob) or one of those words; "part" makes a
 *           part field, "recname" the record name field; "alias name field"
 *           gives a field a second name; '#' starts a comment.
 * Fails with VDB_BASEEXISTS, VDB_BADNAME or VDB_BADDESIGN. */
int VdbCreateBase(const char* name, const char* design);

/* Drops the base name with all its records, index entries and blobs. Sets of
 * that base are deleted; a session that had it open has no open base. */
int VdbDropBase(const char* name);

/* Entry index (from 0) of the list of bases, in name order.
 *   name:    out, the base name (64 bytes).
 *   design:  out, the design name: "xml", "link" or the design file's base
 *            name (64 bytes); may be null.
 *   records: out, number of records; may be null.
 * Returns VDB_OK, or VDB_EOF (0) when index is past the end. */
int VdbListBases(int index, char* name, char* design, int* records);

/* ===================================================================== */
/* Record controls, bases, records                                       */
/* ===================================================================== */

/* Makes a record control holding an empty new record. It is not bound to a
 * base: its first use binds it to the session's open base (or VdbSetBase binds
 * it explicitly). */
int VdbCreateRecordControl(VdbHandle* control);

/* Frees a record control and every cursor placed on it. A new record that
 * was never stored is dropped. */
int VdbDeleteRecordControl(VdbHandle control);

/* Binds control to base (mode: callers pass 2; ignored). Binding to the base
 * the control already has keeps its record; binding to another base gives the
 * control an empty new record of that base. */
int VdbSetBase(VdbHandle control, const char* base, int mode VDB_DEFAULT(2));

/* Facts about the record in control.
 *   kind 1: *value = rid (0 for a record never stored); text (if not null)
 *           gets it in decimal.
 *   kind 2: text = name of the control's base; *value in: capacity of text
 *           when 1..64, else 64 is assumed; out: length of the name.
 *   kind 3: *value = part count (highest node part number).
 *   kind 4: text = record name (256 bytes), *value = its length (0: none).
 *   kind 5: text (24 bytes) = the design stamp of the control's base in
 *           decimal, *value = its low 31 bits. Two equal stamps mean the same
 *           design: the stamp changes whenever the design the control's calls
 *           answer from may have changed (the base dropped and made again,
 *           caches dropped after another process wrote), so what was learnt
 *           of the fields under one stamp may be kept while it lasts. */
int VdbRecordInfo(VdbHandle control, int kind, char* text, int* value);

/* Facts about the base name.
 *   kind 1: *value = 1 for a base of the xml design, else 0; text = design name.
 *   kind 2: *value = number of records.
 *   kind 7: *value = character set code (16 = UTF-8); text = converter name.
 * text (may be null) must hold 256 bytes. Fails with VDB_NOBASE. */
int VdbBaseInfo(const char* base, int kind, char* text, int* value);

/* Finds a field of the control's base (names compared without case;
 * N_NAMESPACE is a second name of N_NSPACE in the xml design).
 *   number: out, field number (1, 2, ... in design order).
 *   type:   out, VDB_FT_* type.
 *   flags:  out, VDB_FF_* flags.
 * Outs may be null. Fails with VDB_BADFIELD (1354) when the design lacks it. */
int VdbCheckField(VdbHandle control, const char* name, int* number, int* type, int* flags);

/* Loads record rid of the control's base into control. */
int VdbGetRecordInBase(VdbHandle control, int rid);

/* Stores the record in control in one transaction: a new record gets its rid
 * (written to *rid; rid may be null, its value on entry is ignored), a loaded
 * one is updated. Index entries and the structural index are brought up to
 * date with it. Fails with VDB_TEXTFORM when the record text form written to it
 * was malformed, VDB_NAMETAKEN when its record name belongs to another record.
 * Inside an import the store joins the import's transaction. */
int VdbPutRecord(VdbHandle control, int* rid);

/* Deletes the record loaded in control from its base (record, index entries,
 * blobs); *rid (may be null) gets its rid. The control then holds an empty new
 * record of the same base. */
int VdbDeleteRecordInBase(VdbHandle control, int* rid VDB_DEFAULT(0));

/* Looks for a record of the control's base whose record name is name.
 * Found: returns VDB_NAMEEXISTS (7074) with *rid its rid; when control holds an
 * empty new record, that record is loaded into it (so later writes and
 * VdbPutRecord update it). Not found: VDB_OK with *rid = 0. */
int VdbCheckRecordName(VdbHandle control, int* rid, const char* name);

/* Index maintenance: indexes are brought up to date when records are stored,
 * so this succeeds at once. Callers pass (2, base, ""). */
int VdbBatchLoadIndex(int mode, const char* base, const char* options);

/* ===================================================================== */
/* Cursors and values                                                    */
/* ===================================================================== */

/* Places a cursor. *cursor: a live cursor is re-placed (and moved to control),
 * anything else gets a new cursor.
 *   field 0:      the record itself (for VdbPartCount, VdbPutRecordBuffer);
 *                 part > 0 selects that part.
 *   record field: item > 0 is that item; item 0 the field's first item.
 *                 part > 0 makes that part current for later writes.
 *   part field, text field, blob: part > 0 selects the part, part 0 keeps the
 *                 part selected by VdbSetRecordPart (0 for a new cursor);
 *                 item > 0 that item of the part, 0 its first item.
 * A cursor starts "fresh": the first VdbPutLine replaces the item it points at,
 * later ones append; the first VdbPutBlobBlock replaces the blob, later ones
 * append. Fails with VDB_BADFIELD for a field number the design lacks. */
int VdbSetCursor(VdbHandle* cursor, VdbHandle control, int field, int part, int item);

/* Places *cursor (new or re-placed, as VdbSetCursor) on part of the record in
 * control, field 0. A part beyond the part count may be selected; writing a
 * value into it creates it. */
int VdbSetRecordPart(VdbHandle* cursor, VdbHandle control, int part);

/* Frees a cursor. */
int VdbDeleteCursor(VdbHandle cursor);

/* *count = part count of the cursor's record (highest node part number; part 0
 * is not counted). cursor may also be a record control. */
int VdbPartCount(VdbHandle cursor, int* count);

/* *count = highest item number of the cursor's field (record fields: across
 * the record, so N_ID gives the number of nodes; part-scoped fields: within
 * the selected part); 0 when the field has no value. */
int VdbItemCount(VdbHandle cursor, int* count);

/* Reads the item at the cursor and moves to the next item.
 *   buffer:   out, at most capacity bytes of the value (longer values are cut);
 *             a NUL follows when there is room.
 *   length:   out, bytes written.
 * Returns 1 for a line read, 0 (VDB_EOF) when the cursor is past the last item
 * (also for an empty field read from its first item), VDB_NOITEM (34) when the
 * cursor was placed on an item that does not exist, or another even status of
 * 34 or more. */
int VdbGetLine(VdbHandle cursor, char* buffer, int* length, int capacity);

/* Reads the values of consecutive node parts for several fields in one call,
 * for a reader that walks a record node by node (reconstruction) instead of
 * placing a cursor and reading a line per field.
 *   control: the record control.
 *   part:    the first node part (0: the main part); parts: how many parts,
 *            part, part + 1, ... (parts past the last one read as missing).
 *   fields:  count field numbers. A record field gives its item p (node
 *            part p's value), a part field its first item in part p.
 *   values, lengths: out, parts * count entries; entry [n * count + k] is
 *            field k of part `part + n`: values[] points at the value
 *            (lengths[] bytes, not NUL-terminated); when the part has no such
 *            value, values[] is null and lengths[] is -1.
 * The pointers stay valid until the next kernel call. Fails with
 * VDB_BADHANDLE, VDB_BADARG (negative part, parts or count, missing arrays),
 * VDB_BADFIELD (a field number the design lacks) or VDB_FIELDKIND (a blob). */
int VdbGetNodeValues(VdbHandle control, int part, int parts, int count, const int* fields, const char** values,
                     int* lengths);

/* Writes text (length bytes; -1: strlen) as the item at the cursor and moves
 * to the next item: a fresh cursor replaces its item (item 1 of an empty
 * field), later calls append. The change is written through at once. */
int VdbPutLine(VdbHandle cursor, const char* text, int length);

/* Replaces the item at the cursor by value (length bytes; -1: strlen),
 * creating it when missing. The cursor stays on the item. Written through. */
int VdbReplaceItem(VdbHandle cursor, const char* value, int length);

/* Removes the item at the cursor (a blob field: the blob). Other items keep
 * their numbers; removing an item that does not exist succeeds. */
int VdbDeleteItem(VdbHandle cursor);

/* The current record of the kernel: the record control of the innermost
 * running import, export or extension call, else the control last loaded. */
int VdbCurrentItem(VdbHandle* control);

/* Normalizes text in place: mode 1 trims leading and trailing white space and
 * collapses inner runs of white space to one blank; mode 2 also upper-cases
 * ASCII letters. *length in: bytes of text (-1: strlen), out: new length;
 * a NUL is written after the result. */
int VdbStrNormalize(char* text, int* length, int mode);

/* ===================================================================== */
/* Blobs                                                                 */
/* ===================================================================== */

/* *size = size in bytes of the blob at the cursor (0 when empty). */
int VdbGetBlobSize(VdbHandle cursor, int* size);

/* Reads block `block` (from 1) of blockSize bytes: bytes
 * [(block-1)*blockSize, block*blockSize) of the blob, into area; *length gets
 * the number of bytes (the last block may be shorter). Returns 1 with bytes,
 * 0 (VDB_EOF) past the end. */
int VdbGetBlobBlock(VdbHandle cursor, int block, int blockSize, char* area, int* length);

/* Appends length bytes of data to the blob at the cursor (the first call
 * through a fresh cursor replaces the blob). Written through. */
int VdbPutBlobBlock(VdbHandle cursor, int length, const char* data);

/* ===================================================================== */
/* Record text form                                                      */
/* ===================================================================== */

/* Parses a piece of the record text form and writes what it describes into
 * the cursor's record. Pieces may be split anywhere (inside a line, a number,
 * a value); the parser keeps its state in the cursor.
 *   "\n\n<p>G^\n"          part header: part p becomes current
 *   "<f>F^<i>P<value>^\n"  field f, item i, value up to "^\n"
 *   "<f>F^\n"              header of a text field, followed by pieces
 *                          "<n>L<n bytes>^\n" appended to its value
 * Where a value goes: a part field's into the current part (its own item i);
 * a record field's (N_ID, N_TYPE, ...) is item i across the record, a hit of
 * part i when i is the current part; a text or blob field that is not a part
 * field goes into part 0 whatever part is current (a record's D_DOCTYPE may
 * follow its node parts). A block of a field that is neither text nor blob
 * gives item p of the current part p (item 1 in part 0), as its plain line
 * would.
 * cursor may also be a record control. Outs (may be null): *part = current
 * part, *field = field of the line in progress (0 between lines), *pending =
 * bytes held for an unfinished line. A malformed form (bad field number, a
 * length that runs past its data, a missing '^', a non-number where a number
 * belongs) fails with VDB_TEXTFORM and a message that says where; the error
 * sticks to the record, so a later VdbPutRecord or the import that wrote it
 * fails instead of storing half a record. */
int VdbPutRecordBuffer(VdbHandle cursor, const char* text, int length, int* part,
                       int* field, int* pending);

/* Writes values of parts without formatting them as record text form, for a
 * writer that makes a record part by part (the shredder).
 *   cursor:  a cursor or a record control, as for VdbPutRecordBuffer.
 *   count entries of parts, fields, values and lengths: value k is lengths[k]
 *   bytes at values[k] (any bytes; not NUL-terminated) for field fields[k]
 *   of part parts[k]. It goes where the text form would put it after the
 *   part header "\n\n<parts[k]>G^\n": a part field's value is item 1 of
 *   the part; a record field's is item p of part p (item 1 for part 0); a
 *   text or blob field that is not a part field goes into part 0. Values of
 *   one part come together; a part named here exists from then on.
 * Afterwards the text form continues in the part of the last value.
 * Fails with VDB_BADHANDLE, VDB_BADARG (negative count, part or length,
 * missing arrays, a text form line left unfinished on the cursor) or
 * VDB_BADFIELD (a field number the design lacks); every value is checked
 * before any is written, so a refused call writes nothing and leaves no error
 * behind. A record whose text form failed (VDB_TEXTFORM) refuses these
 * values with that error too. */
int VdbPutPartValues(VdbHandle cursor, int count, const int* parts, const int* fields, const char* const* values,
                     const int* lengths);

/* ===================================================================== */
/* CCL and sets                                                          */
/* ===================================================================== */

/* Runs one CCL command; command words in the session's language (see
 * VdbShellSymbol) or in English.
 *   BASE name | CLOSE | FIND condition | DELETE S=0 | DELETE S=n | RENUMBER |
 *   DEFINE HIGHLIGHT [ON|OFF] | DEFINE FIND MIN=n | DEFINE MAP m=F:B.G:H |
 *   SHOW BASE LIST F=CLIENT_BASE | SCROLL
 * Conditions: F=v, F='v', F="v", F=&v& (exact bytes), F=$v$ (contains; may
 * hold blanks), F=v$ (begins), F=$v (ends), F=$ (any value), F<>"v" (some
 * value differs), F<"v" F>"v" F<="v" F>="v" (XPath number comparison; a
 * value that is no number never matches), S=n, ALL (part 0 of every record),
 * m($) (map), XPATH(axis,P,C,d) and XPATH(SELF,P,P,1,op,k) (P, C set numbers,
 * 0 = every node; d 2 keeps C, 1 keeps P; op EQ NE GT LT LE GE; k < 0 counts
 * from the end). Operators, tightest first, left-associative: AND, AND.R,
 * NOT (by record); AND.T, NOT.T (by hit); OR; parentheses group.
 * A FIND without hits makes no set (the last search is then empty) unless
 * DEFINE FIND MIN=0 is in force. DEFINE MAP fails with VDB_BADFIELD (1354)
 * for a field a design lacks and with VDB_MAPEMPTY (32610) when base B has no
 * records; the map is then defined all the same and the last search holds
 * every record of the open base (each of them is unmapped).
 *   code: out (may be null), number of the set a FIND made, else 0.
 * A syntax error fails with VDB_SYNTAX and a message that shows the command
 * and the position; a field the design lacks with VDB_BADFIELD (1354). A
 * failing command leaves the session's sets unchanged. */
int VdbExecuteCcl(const char* text, int* code);

/* The kernel's command record (see shell_dao_rec). */
int VdbShellDaoPtr(shell_dao_rec** rec);

/* Takes the command in rec->shin (rec null: the kernel's own record) into
 * rec->dao for VdbDaoOrder. */
int VdbShellToDao(shell_dao_rec* rec VDB_DEFAULT(0));

/* Executes the command in rec->dao (rec null: the kernel's own record);
 * rec->shout gets the status message and rec->shdind the set number. */
int VdbDaoOrder(shell_dao_rec* rec VDB_DEFAULT(0));

/* Replaces, in place, a canonical command word (blank padded to 16
 * characters, e.g. "FIN             ") by the session's local word.
 *   length: in: capacity of word (callers pass 17); out: length of the local
 *           word, which is NUL-terminated.
 * Fails with VDB_NOSYMBOL for an unknown word (word unchanged). The language
 * is the configuration value VDBS_LANGUAGE (unset or "default": BASE, FIND,
 * DELETE, ...; "test": a second spelling used to show that callers never write
 * canonical words). */
int VdbShellSymbol(char* word, int* length);

/* Counts of a set. *set in: set number, 0 = the last search; out: the number
 * (0 when the last search made no set). *records, *hits: out. A set number
 * that does not exist fails with VDB_NOSET. */
int VdbGetSearch(int* set, int* records, int* hits);

/* Loads the record at position pos (from 1, in rid order) of set (0 = last
 * search) into control, binds control to the set's base and remembers the set
 * as the control's hit context (VdbGetNextHitWord, VdbGetFieldInfo).
 *   rid:  out, its rid (may be null).
 *   base: out, the base name (64 bytes; may be null). */
int VdbGetRecordInSearchRis(VdbHandle control, int set, int pos, int* rid, char* base);

/* Loads, within set, the first record whose rid is greater than after (-1:
 * the first record) into control, with the set as hit context. Fails with
 * VDB_NORECORD when there is none. */
int VdbGetRecordInSearch(VdbHandle control, int set, int after);

/* Walks the hits of the control's record in its hit context, one per call in
 * part order. Out (each may be null): part (0 for part 0), rid, position of
 * the hit among the record's hits (from 1), part again, 0, 0. Returns VDB_OK
 * per hit, VDB_EOF (0) after the last. Loading the record restarts the walk. */
int VdbGetNextHitWord(VdbHandle control, int* part, int* rid, int* position, int* part2,
                      int* reserved1, int* reserved2);

/* The value at the cursor with its search hits.
 *   length:    out, bytes of the value.
 *   text:      out, a copy of the value, NUL-terminated, allocated by the
 *              kernel (free it with VdbDeallocate); null for no value.
 *   hitCount:  out, number of hit spans.
 *   hitVector: out, 2 * hitCount ints (byte offset from 1, length in
 *              characters) of each span matched by the conditions of the
 *              control's hit context in this field (F=$v$: every occurrence of
 *              v; an exact match: the whole value), allocated by the kernel
 *              (VdbDeallocate), null when there are none or highlighting is off.
 *   paragraphs: out, number of line feeds in the value plus 1.
 * Every out may be null. */
int VdbGetFieldInfo(VdbHandle cursor, int* length, char** text, int* hitCount, int** hitVector,
                    int* paragraphs);

/* Frees memory the kernel gave out (VdbGetFieldInfo). */
int VdbDeallocate(void* p);

/* Pushes the session state: open base, sets, last search, settings, maps and
 * windows. */
int VdbSaveStatus(void);

/* Pops the state pushed last.
 *   mode 3: restores all of it (sets made since are gone);
 *   mode 1: restores open base, settings, maps and windows but keeps the
 *           current sets and last search.
 * Fails with VDB_STACKEMPTY when nothing was saved. */
int VdbLoadStatus(int mode);

/* ===================================================================== */
/* Screen windows (capture of command output)                            */
/* ===================================================================== */

/* *window = the window current on screen |screen| (0 when none). */
int VdbCheckScreenWindow(int screen, int* window);

/* Defines a window of lines x columns characters and makes it current on
 * screen |screen|. Its id is read back with VdbCheckScreenWindow. */
int VdbDefineWindow(int screen, int lines, int columns);

/* Makes window (0: none) current on screen |screen|. */
int VdbSetScreenWindow(int screen, int window);

/* The page shown in the window current on screen |screen|.
 *   text:    out, lines * columns characters of the page, blank padded and
 *            NUL-terminated, owned by the kernel (valid until the next command).
 *   lines, columns: out, the window size.
 *   length:  out, characters of output on the page (0: empty).
 *   more:    out, 1 when SCROLL has a further page.
 * SHOW BASE LIST F=CLIENT_BASE writes base names, each followed by a blank,
 * page after page; a name never crosses a page. */
int VdbGetWindowInfo(int screen, char** text, int* lines, int* columns, int* length, int* more);

/* Deletes a window (it stops being current wherever it was). */
int VdbDeleteWindow(int window);

/* ===================================================================== */
/* Import, export, extensions                                            */
/* ===================================================================== */

/* Runs the import filter fd->filter_name on fd. The name is resolved to a
 * function of a filter module, looked up in order in VORNxml.so beside
 * libvdbs.so, the modules listed in VDBS_FILTERS (paths separated by ':'),
 * and VORNxml.so on the library path when none is beside libvdbs.so; each
 * module is opened once. The filter runs inside a
 * transaction (a savepoint when already inside one): an odd status commits
 * the record in fd->record_control (stored as with VdbPutRecord) and
 * everything else the filter wrote; an even status rolls all of it back and
 * the control holds the record as it was before. Returns the filter's status,
 * or the kernel's failure (fd->errorcode and fd->errortext then say why): an
 * unknown filter fails with VDB_NOFILTER naming it (VDB_FILTERLOAD when a
 * module could not be loaded), a filter that throws with VDB_FILTERERROR. */
int VdbImport(filter_data* fd);

/* Runs the export filter fd->filter_name on fd (resolved as for VdbImport).
 * What the filter wrote is kept whatever its status. A record control the
 * filter put into fd->record_control in place of the caller's is freed after
 * the call and the caller's control put back. Returns the filter's status. */
int VdbExport(filter_data* fd);

/* Loads the kernel extension name: the configuration value VDBS_ASE_<name>
 * names "module path" or "module path:function" (default function: name).
 *   handle: out. arg: passed to nothing (kept for callers that give one).
 * Fails with VDB_NOASE when the value is missing or the module or function
 * cannot be found. */
int VdbLoadAse(const char* name, VdbHandle* handle, char* arg VDB_DEFAULT(0));

/* Calls a loaded extension as int f(char* arg, int* result) and returns its
 * status; result may be null. */
int VdbCallAse(VdbHandle handle, char* arg, int* result);

#if defined(__GNUC__)
#pragma GCC visibility pop
#endif

#undef VDB_DEFAULT

#ifdef __cplusplus
}
#endif

#endif /* VORNAPI_H */
