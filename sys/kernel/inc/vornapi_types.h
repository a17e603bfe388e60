/*
 * Types shared by the database kernel (libvdbs), the filter modules it loads
 * and its client programs.
 */
#ifndef VORNAPI_TYPES_H
#define VORNAPI_TYPES_H

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque handle of a record control, a cursor or a loaded extension.
 * 0 means "none". Handles are freed only by their delete call. */
typedef void* VdbHandle;

/* The per-call record handed to an import or export filter. The layout is
 * shared with every filter module and client; do not reorder. */
typedef struct filter_data {
    VdbHandle record_control;  /* record control of the current record, 0 when none */
    VdbHandle cursor;          /* cursor into that record, 0 when none */
    VdbHandle filter_address;  /* the kernel's handle of the resolved filter function */
    char filter_name[32];      /* name of the filter function to run */
    char filter_lib_env[32];   /* kernel bookkeeping: name of the module the filter came from */
    void* buffer;              /* data source or sink, as vdb_options says */
    int buffer_length;         /* length of a memory buffer in bytes */
    char* filter_arguments;    /* argument lines "KEY=value\n" */
    int arg_length;            /* length of filter_arguments; below 1: no arguments */
    int filter_options;        /* FO_* bits */
    int vdb_options;           /* IEOPT_* / EXPORT_* bits */
    int blockno;               /* block number of block-oriented transfers */
    int errorcode;             /* out: status of the filter, also its return value */
    char errortext[256];       /* out: NUL-terminated reason, at most 255 characters */
} filter_data;

/* vdb_options: what buffer holds and how data moves. */
#define IEOPT_FILENAME 0x1  /* buffer holds a NUL-terminated file name */
#define IEOPT_FILE     0x2  /* buffer holds an open FILE* */
#define IEOPT_MEMORY   0x4  /* buffer is memory of buffer_length bytes */
#define EXPORT_ALLOC   0x20 /* on export the filter allocates the output buffer (caller frees it with free) */

/* filter_options. */
#define FO_NEWRECORD   0x1   /* store into a new record; nothing is cleared */
#define FO_VALIDATE    0x4   /* validate while parsing */
#define FOXML_GETBYID  0x8   /* retrieve by the ID or URL filter argument */
#define EXPORT_BLOCK   0x10  /* rebuild the document from its node parts */
#define FO_HIGHLIGHT   0x20  /* mark search hits in rebuilt text values */
#define FO_NORAWTEXT   0x40  /* store without keeping the raw document text */
#define FO_STREAM      0x100 /* data moves over the stream named by the FILEURL argument */

/* Field types reported by VdbCheckField and used in design files. */
#define VDB_FT_TEXT    1   /* long text, may hold any bytes; kept per part */
#define VDB_FT_PHRASE  2
#define VDB_FT_INTEGER 9
#define VDB_FT_NUMBER  10
#define VDB_FT_DATE    11
#define VDB_FT_TIME    12
#define VDB_FT_BLOB    20  /* binary data read and written in blocks; kept per part */

/* Field flags reported by VdbCheckField. */
#define VDB_FF_PART     0x1 /* part field: items are kept inside each part */
#define VDB_FF_RECNAME  0x2 /* the design's record name field */
#define VDB_FF_ALIAS    0x4 /* the name asked for is a second name of the field */

/* The kernel's command record, reached through VdbShellDaoPtr. */
typedef struct shell_dao_rec {
    char shin[400];  /* command text as the user wrote it */
    char shout[400]; /* out: the kernel's one-line answer (status message) */
    char dao[400];   /* the command as handed over by VdbShellToDao */
    int shinlen;     /* capacity (on entry) / length of shin */
    int shoutlen;    /* length of shout */
    int daolen;      /* length of dao */
    int shdind;      /* out: number of the set a FIND made, 0 otherwise */
} shell_dao_rec;

/* Status codes. Odd is success, even is failure; VdbMessage has the text of
 * every one of them. Filters may return statuses of their own as well. */
#define VDB_OK             1
#define VDB_EOF            0     /* VdbGetLine / VdbGetBlobBlock / VdbGetNextHitWord: nothing more */
#define VDB_NOITEM         34    /* the item at the cursor does not exist */
#define VDB_BADHANDLE      36    /* not a live record control, cursor or extension handle */
#define VDB_NOSESSION      38    /* no session: VdbStartVorn has not succeeded */
#define VDB_BADARG         40    /* an argument is missing or out of range */
#define VDB_LOGIN          42    /* wrong user or password */
#define VDB_DATADIR        44    /* the data directory cannot be created or opened */
#define VDB_NOBASE         46    /* no base of that name */
#define VDB_NOBASEOPEN     48    /* no base is open and the call needs one */
#define VDB_BASEEXISTS     50    /* a base of that name exists already */
#define VDB_BADNAME        52    /* a base name is empty, too long or has characters a name may not have */
#define VDB_BADDESIGN      54    /* a design name or design file is not usable */
#define VDB_NORECORD       56    /* no record with that id, or the control holds no stored record */
#define VDB_TEXTFORM       58    /* malformed record text form */
#define VDB_NAMETAKEN      60    /* storing would give a second record the same record name */
#define VDB_NOSET          62    /* no set with that number */
#define VDB_SYNTAX         64    /* CCL syntax error */
#define VDB_AXIS           66    /* unknown axis name in XPATH(...) */
#define VDB_NOFILTER       68    /* no filter function of that name in any filter module */
#define VDB_FILTERLOAD     70    /* a filter module cannot be loaded */
#define VDB_NOASE          72    /* no kernel extension of that name */
#define VDB_STORAGE        74    /* the storage layer failed (disk, lock timeout, corruption) */
#define VDB_NOWINDOW       76    /* no such screen window */
#define VDB_SCROLLEND      78    /* SCROLL: no further page */
#define VDB_NOSYMBOL       80    /* VdbShellSymbol: not a canonical command word */
#define VDB_NOCONTEXT      82    /* the control has no search context (load it from a set first) */
#define VDB_FIELDKIND      84    /* the field at the cursor is of the wrong kind for the call */
#define VDB_STACKEMPTY     86    /* VdbLoadStatus without a saved status */
#define VDB_INITDONE       88    /* the data directory has a password already */
#define VDB_NOTAVAILABLE   90    /* the call is not available in this state */
#define VDB_FILTERERROR    92    /* a filter ended with an exception instead of a status */
#define VDB_BADFIELD       1354  /* a field named in a condition or call is not in the design */
#define VDB_NAMEEXISTS     7074  /* VdbCheckRecordName: a record of that name exists */
#define VDB_MAPEMPTY       32610 /* DEFINE MAP: the mapped base holds no records */

#ifdef __cplusplus
}
#endif

#endif /* VORNAPI_TYPES_H */
