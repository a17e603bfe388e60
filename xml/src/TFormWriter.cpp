#include "TFormWriter.h"

#include <string.h>

#include "FieldInfo.h"

namespace {

// A plain value ends at the first "^\n"; one that holds it cannot be written
// as a plain line without the rest being read as further lines.
bool endsLineEarly(const CStringBuffer& value)
{
    const char* p = value.getBufferPointer();
    int n = value.length();
    for (int i = 0; i + 1 < n; ++i)
        if (p[i] == '^' && p[i + 1] == '\n')
            return true;
    return false;
}

// Catalogued fields only: the writer never asks the kernel.
CFieldInfo* writableField(const char* name)
{
    CFieldInfo* f = CFieldInfo::getFieldInfo(name, nullptr);
    return f && f->getNumber() > 0 ? f : nullptr;
}

} // namespace

CTFormWriter::CTFormWriter(void* hCursor) : m_hCursor(hCursor) {}

CTFormWriter::~CTFormWriter() {}

int CTFormWriter::writeRecordBuffer(CStringBuffer& text)
{
    int part = 0, field = 0, pending = 0;
    return VdbPutRecordBuffer(m_hCursor, text.getBufferPointer(), text.length(), &part, &field, &pending);
}

void CTFormWriter::beginPart(int nPart)
{
    CStringBuffer line(64);
    line.format("\n\n%dG^\n", nPart);
    writeRecordBuffer(line);
}

void CTFormWriter::printField(const char* name, int nPart, CStringBuffer& value)
{
    CFieldInfo* f = writableField(name);
    if (!f)
        return;
    if (f->isTextField()) {
        printFieldBlock(name, nPart, value);
        return;
    }
    if (endsLineEarly(value)) {
        // Length-prefixed pieces carry any bytes; the kernel puts the value
        // where the plain line would have gone.
        printFieldBlock(name, 1, value);
        return;
    }
    int item = nPart > 0 && !f->isPartField() ? nPart : 1;
    CStringBuffer line(value.length() + 64);
    line.format("%dF^%dP", f->getNumber(), item);
    line.append(value.getBufferPointer(), value.length());
    line.append("^\n", 2);
    writeRecordBuffer(line);
}

void CTFormWriter::printField(const char* name, int nPart, const char* value)
{
    CStringBuffer text(value ? value : "");
    printField(name, nPart, text);
}

void CTFormWriter::printField(const char* name, int nPart, int value)
{
    CStringBuffer text(32);
    text.format("%d", value);
    printField(name, nPart, text);
}

void CTFormWriter::printFieldBlock(const char* name, int nFirst, CStringBuffer& text)
{
    CFieldInfo* f = writableField(name);
    if (!f)
        return;
    if (nFirst > 0) {
        CStringBuffer header(32);
        header.format("%dF^\n", f->getNumber());
        writeRecordBuffer(header);
    }
    const char* p = text.getBufferPointer();
    int left = text.length();
    CStringBuffer piece(BLOCK_PIECE + 32);
    do {
        int n = left < BLOCK_PIECE ? left : BLOCK_PIECE;
        piece.format("%dL", n);
        piece.append(p, n);
        piece.append("^\n", 2);
        writeRecordBuffer(piece);
        p += n;
        left -= n;
    } while (left > 0);
}
