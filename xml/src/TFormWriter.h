// CTFormWriter: writes parts and fields into the record under a cursor in the
// kernel's record text form (VdbPutRecordBuffer).
#pragma once

#include "StringBuffer.h"
#include "vornapi.h"

class CTFormWriter {
public:
    // Text of a block field goes to the kernel in pieces of at most this size.
    enum { BLOCK_PIECE = 4096 };

    // The writer does not own the cursor.
    explicit CTFormWriter(void* hCursor);
    virtual ~CTFormWriter();
    CTFormWriter(const CTFormWriter&) = delete;
    CTFormWriter& operator=(const CTFormWriter&) = delete;

    // Hands one piece of record text form to the kernel; returns its status.
    int writeRecordBuffer(CStringBuffer& text);
    // "\n\n<n>G^\n": part n becomes current.
    void beginPart(int nPart);
    // "<field>F^<item>P<value>^\n", the item being nPart for a field that is
    // not a part field when nPart > 0, else 1. Text fields are written as
    // blocks. Names the catalogue does not hold write nothing.
    void printField(const char* name, int nPart, CStringBuffer& value);
    void printField(const char* name, int nPart, const char* value);
    void printField(const char* name, int nPart, int value);
    // With nFirst > 0 the header "<field>F^\n" first; then the text as pieces
    // "<n>L<n bytes>^\n". nFirst 0 appends to the value begun before.
    void printFieldBlock(const char* name, int nFirst, CStringBuffer& text);

    void* getCursor() const { return m_hCursor; }

protected:
    VdbHandle m_hCursor;
};
