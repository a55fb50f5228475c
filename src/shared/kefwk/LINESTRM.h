// The line reader of the configuration library: a buffered reader that cuts any byte source
// into lines, and LineStream, which lays one over a standard input stream.
//
// A line ends at CR, LF or NUL; CR LF and LF CR end one line; bytes past the caller's maximum
// are dropped up to the line end, so an overlong line is cut, never split.
#pragma once

#include <istream>

// Library status codes of the line reader.
enum {
    LINEFILE_ERROR_READING_FILE = -5002,
    LINEFILE_OUT_OF_MEMORY = -5261,
    LINEFILE_IO_ERROR = -5262,
};

// Delivers up to wanted bytes into buffer and stores how many it delivered (0 at the end of the
// source). Returns 0 or a negative library status.
typedef int (*LineFile_ReadFunction)(void* source, int wanted, int* delivered, char* buffer);

struct LineFile;

// With no read function the source is a FILE* opened in binary mode. nullptr when memory runs out.
LineFile* LineFile_New(LineFile_ReadFunction read, void* source);
void LineFile_Dispose(LineFile* file);

// Reads one line into buffer, which must hold maxLength + 1 bytes; the line is always
// terminated, also when an error is returned. length may be null. endOfData is set when no
// line was left.
int LineFile_Read(LineFile* file, char* buffer, int maxLength, int* length, int* endOfData);
// As LineFile_Read, skipping lines that are empty or hold only white space.
int LineFile_ReadNonEmpty(LineFile* file, char* buffer, int maxLength, int* length, int* endOfData);

// The two sources of this system: a FILE* in binary mode, and a std::istream.
int LineFile_ReadFromFile(void* file, int wanted, int* delivered, char* buffer);
int LineFile_ReadFromStream(void* stream, int wanted, int* delivered, char* buffer);

class LineStream {
public:
    // The stream must outlive this object. Raises KE_OUT_OF_MEMORY.
    explicit LineStream(std::istream& in);
    ~LineStream();
    LineStream(const LineStream&) = delete;
    LineStream& operator=(const LineStream&) = delete;

    // Reads the next non-blank line into buffer (at most bufferSize - 1 bytes and a terminator).
    // Raises KE_IO_ERROR when the stream fails.
    void ReadLine(char* buffer, int bufferSize, int& length, bool& endOfData);

private:
    LineFile* m_file;
};
