#include "LINESTRM.h"

#include <mbctype.h>
#include <stdio.h>
#include <string.h>

#include <new>

#include "ErrorTables.h"
#include "KEException.h"

namespace {

const int kChunkBytes = 2048;

bool IsLineEnd(char c)
{
    return c == '\n' || c == '\r' || c == '\0';
}

bool IsBlank(const char* text, int length)
{
    for (int i = 0; i < length; ++i) {
        char c = text[i];
        if (c != ' ' && c != '\t' && c != '\v' && c != '\f')
            return false;
    }
    return true;
}

}  // namespace

struct LineFile {
    void* source;
    LineFile_ReadFunction read;
    char* buffer;
    int bytesLeft;
    const char* cursor;
    int linesCompleted;
    int totalDelivered;
    char lastLineEnd;
};

LineFile* LineFile_New(LineFile_ReadFunction read, void* source)
{
    LineFile* file = new (std::nothrow) LineFile;
    if (!file)
        return nullptr;
    file->buffer = new (std::nothrow) char[kChunkBytes];
    if (!file->buffer) {
        delete file;
        return nullptr;
    }
    file->source = source;
    file->read = read ? read : LineFile_ReadFromFile;
    file->bytesLeft = 0;
    file->cursor = file->buffer;
    file->linesCompleted = 0;
    file->totalDelivered = 0;
    file->lastLineEnd = '\0';
    return file;
}

void LineFile_Dispose(LineFile* file)
{
    if (!file)
        return;
    delete[] file->buffer;
    delete file;
}

int LineFile_Read(LineFile* file, char* buffer, int maxLength, int* length, int* endOfData)
{
    if (maxLength < 0)
        maxLength = 0;
    *endOfData = 0;
    int kept = 0;
    // Content bytes of this line, dropped ones included: a cut last line is still a line.
    int taken = 0;
    bool firstByte = true;
    bool lineEnded = false;
    bool completed = false;
    // An overlong line is cut at a whole character: a lead byte whose trail byte no longer fits
    // goes with it.
    bool trailExpected = false;
    bool cut = false;
    int status = 0;
    while (!lineEnded && !*endOfData) {
        if (file->bytesLeft <= 0) {
            int delivered = 0;
            status = file->read(file->source, kChunkBytes, &delivered, file->buffer);
            if (status != 0)
                break;
            // A source that claims more than it was asked for is not trusted with our buffer.
            if (delivered < 0 || delivered > kChunkBytes)
                delivered = delivered < 0 ? 0 : kChunkBytes;
            file->cursor = file->buffer;
            file->bytesLeft = delivered;
            file->totalDelivered += delivered;
            if (delivered == 0) {
                if (taken == 0)
                    *endOfData = 1;
                else
                    completed = lineEnded = true;
                continue;
            }
        }
        char c = *file->cursor++;
        --file->bytesLeft;
        if (IsLineEnd(c)) {
            // The second byte of a CR LF or LF CR pair begins the next call: skip it.
            if (firstByte && c != file->lastLineEnd) {
                firstByte = false;
                continue;
            }
            file->lastLineEnd = c;
            completed = lineEnded = true;
        } else {
            ++taken;
            bool trail = trailExpected;
            trailExpected = !trail && (unsigned char)c >= 0x80 && _ismbblead((unsigned char)c);
            if (kept < maxLength && !cut) {
                buffer[kept++] = c;
            } else if (!cut) {
                cut = true;
                if (trail)
                    --kept;
            }
        }
        firstByte = false;
    }
    buffer[kept] = '\0';
    if (length)
        *length = kept;
    if (completed)
        ++file->linesCompleted;
    return status;
}

int LineFile_ReadNonEmpty(LineFile* file, char* buffer, int maxLength, int* length, int* endOfData)
{
    int kept = 0;
    for (;;) {
        int status = LineFile_Read(file, buffer, maxLength, &kept, endOfData);
        if (length)
            *length = kept;
        if (status != 0 || *endOfData || !IsBlank(buffer, kept))
            return status;
    }
}

int LineFile_ReadFromFile(void* source, int wanted, int* delivered, char* buffer)
{
    FILE* file = static_cast<FILE*>(source);
    *delivered = (int)fread(buffer, 1, (size_t)wanted, file);
    return ferror(file) ? LINEFILE_ERROR_READING_FILE : 0;
}

int LineFile_ReadFromStream(void* source, int wanted, int* delivered, char* buffer)
{
    std::istream& in = *static_cast<std::istream*>(source);
    in.read(buffer, wanted);
    *delivered = (int)in.gcount();
    // A short last chunk sets eofbit and failbit together; that is the normal end.
    return (in.good() || in.eof()) ? 0 : LINEFILE_IO_ERROR;
}

LineStream::LineStream(std::istream& in) : m_file(LineFile_New(LineFile_ReadFromStream, &in))
{
    if (!m_file)
        ThrowKEExceptionWithText(GetErrorCodeMessage(KE_OUT_OF_MEMORY).Text(), "LineStream::LineStream",
                                 KE_OUT_OF_MEMORY, 0, KE_SOURCE_FILE, __LINE__, __TIME__);
}

LineStream::~LineStream()
{
    LineFile_Dispose(m_file);
}

void LineStream::ReadLine(char* buffer, int bufferSize, int& length, bool& endOfData)
{
    int kept = 0, end = 0;
    // No room even for the terminator: nothing can be stored, so nothing is read.
    if (bufferSize < 1) {
        length = 0;
        endOfData = false;
        return;
    }
    int status = LineFile_ReadNonEmpty(m_file, buffer, bufferSize - 1, &kept, &end);
    if (status != 0) {
        DynamicString message;
        GetToolStatusDescription(status, message);
        ThrowKEExceptionWithText(message, "LineStream::ReadLine", KE_IO_ERROR, status, KE_SOURCE_FILE, __LINE__,
                                 __TIME__);
    }
    length = kept;
    endOfData = end != 0;
}
