#include "KEException.h"

#include <windows.h>

#include "DebugStreamBuf.h"
#include "ErrorTables.h"
#include "REGISTRY.h"

namespace {

const char kFrameworkDate[] = __DATE__;
const char kFrameworkTime[] = __TIME__;
// Warnings name the text classes' unit: they are the ones that warn.
const char kTextUnit[] = "kestring.cpp";

volatile bool g_levelRead = false;
volatile int g_level = 0;

CRITICAL_SECTION& DiagnosticSection()
{
    // Never deleted: reports may be written while the process exits.
    static CRITICAL_SECTION* section = [] {
        static CRITICAL_SECTION s;
        InitializeCriticalSection(&s);
        return &s;
    }();
    return *section;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Diagnostic level, stream and lock

int GetDiagnosticLevel()
{
    if (!g_levelRead) {
        // Stores the level through SetDiagnosticLevel when the machine has one; a read that
        // raises leaves the flag clear, so the next use reads again.
        QvRegistry::ReadDiagnosticLevel();
        g_levelRead = true;
    }
    return g_level;
}

void SetDiagnosticLevel(int level)
{
    g_level = level;
}

void ResetDiagnosticLevel()
{
    g_levelRead = false;
    g_level = 0;
}

std::ostream& GetDiagnosticStream()
{
    // Built in place and never destroyed, so that reports during exit still have a stream; what
    // is buffered is sent at every end of line.
    alignas(DebugStreamBuf) static unsigned char bufferStorage[sizeof(DebugStreamBuf)];
    alignas(std::ostream) static unsigned char streamStorage[sizeof(std::ostream)];
    static std::ostream* stream = new (streamStorage) std::ostream(new (bufferStorage) DebugStreamBuf);
    return *stream;
}

DiagnosticLock::DiagnosticLock()
{
    EnterCriticalSection(&DiagnosticSection());
}

DiagnosticLock::~DiagnosticLock()
{
    LeaveCriticalSection(&DiagnosticSection());
}

// ---------------------------------------------------------------------------------------------
// KEException

KEException::KEException(const char* description, const char* function, int errorCode, bool reportOnConstruction,
                         int, int apiErrorCode, const char* source, const char* sourceFile, int line,
                         const char* compileDate, const char* compileTime)
    : m_line(line), m_errorCode(errorCode), m_apiErrorCode(apiErrorCode), m_userValue(0)
{
    SetFunction(function);
    SetSource(source);
    if (description && *description)
        m_description.Assign(description);
    else if (errorCode != 0)
        m_description.Assign(GetErrorCodeMessage(errorCode).Text());
    m_compileDate.Assign(compileDate ? compileDate : "");
    m_compileTime.Assign(compileTime ? compileTime : "");
    m_sourceFile.Assign(sourceFile ? sourceFile : "");
    if (reportOnConstruction) {
        DiagnosticLock lock;
        Report("Debugging When Exception Constructed", GetDiagnosticStream());
    }
}

KEException::KEException(const String& description, const char* function, int errorCode, int apiErrorCode,
                         const char* sourceFile, int line, const char* compileTime)
    : m_line(line), m_errorCode(errorCode), m_apiErrorCode(apiErrorCode), m_description(description), m_userValue(0)
{
    SetFunction(function);
    m_compileDate.Assign(kFrameworkDate);
    m_compileTime.Assign(compileTime ? compileTime : "");
    m_sourceFile.Assign(sourceFile ? sourceFile : "");
}

KEException::KEException(const KEException& other)
    : std::exception(other), m_line(other.m_line), m_errorCode(other.m_errorCode),
      m_apiErrorCode(other.m_apiErrorCode), m_function(other.m_function), m_source(other.m_source),
      m_apiFunction(other.m_apiFunction), m_description(other.m_description), m_compileDate(other.m_compileDate),
      m_compileTime(other.m_compileTime), m_sourceFile(other.m_sourceFile), m_userValue(other.m_userValue),
      m_path(other.m_path)
{
}

KEException::~KEException() {}

void KEException::SetLine(int line) { m_line = line; }
int KEException::GetLine() const { return m_line; }
void KEException::SetErrorCode(int code) { m_errorCode = code; }
int KEException::GetErrorCode() const { return m_errorCode; }
void KEException::SetAPIErrorCode(int code) { m_apiErrorCode = code; }
int KEException::GetAPIErrorCode() const { return m_apiErrorCode; }

void KEException::SetFunction(const String& text) { m_function.Assign(text); }
void KEException::SetFunction(const char* text) { m_function.Assign(text ? text : ""); }
void KEException::GetFunction(String& out) const { out.Assign(m_function); }
const char* KEException::GetFunction() const { return m_function.GetString(); }

void KEException::SetAPIFunction(const String& text) { m_apiFunction.Assign(text); }
void KEException::SetAPIFunction(const char* text) { m_apiFunction.Assign(text); }
void KEException::GetAPIFunction(String& out) const { out.Assign(m_apiFunction); }
const char* KEException::GetAPIFunction() const { return m_apiFunction.GetString(); }

void KEException::SetDescription(const String& text) { m_description.Assign(text); }
void KEException::SetDescription(const char* text) { m_description.Assign(text); }
void KEException::GetDescription(String& out) const { out.Assign(m_description); }
const char* KEException::GetDescription() const { return m_description.GetString(); }

void KEException::SetCompileDate(const String& text) { m_compileDate.Assign(text); }
void KEException::SetCompileDate(const char* text) { m_compileDate.Assign(text); }
void KEException::GetCompileDate(String& out) const { out.Assign(m_compileDate); }
const char* KEException::GetCompileDate() const { return m_compileDate.GetString(); }

void KEException::SetCompileTime(const String& text) { m_compileTime.Assign(text); }
void KEException::SetCompileTime(const char* text) { m_compileTime.Assign(text); }
void KEException::GetCompileTime(String& out) const { out.Assign(m_compileTime); }
const char* KEException::GetCompileTime() const { return m_compileTime.GetString(); }

void KEException::SetSourceFile(const String& text) { m_sourceFile.Assign(text); }
void KEException::SetSourceFile(const char* text) { m_sourceFile.Assign(text); }
void KEException::GetSourceFile(String& out) const { out.Assign(m_sourceFile); }
const char* KEException::GetSourceFile() const { return m_sourceFile.GetString(); }

void KEException::SetSource(const String& text) { m_source.Assign(text); }
void KEException::SetSource(const char* text) { m_source.Assign(text ? text : ""); }
void KEException::GetSource(String& out) const { out.Assign(m_source); }
const char* KEException::GetSource() const { return m_source.GetString(); }

void KEException::PrependToDescription(const String& text) { m_description.Insert(text, 0); }
void KEException::AppendToDescription(const String& text) { m_description.Append(text); }
void KEException::SetUserValue(int value) { m_userValue = value; }
int KEException::GetUserValue() const { return m_userValue; }
void KEException::SetPath(const String& path) { m_path.Assign(path); }
const char* KEException::GetPath() const { return m_path.GetString(); }
void KEException::GetPath(String& out) const { out.Assign(m_path); }

const char* KEException::what() const noexcept
{
    return m_description.GetString();
}

std::ostream& KEException::Report(const char* whereCaught, std::ostream& out) const
{
    char code[256], line[256];
    FormatToBuffer(code, sizeof code, "%d", m_errorCode);
    FormatToBuffer(line, sizeof line, "%d", m_line);
    out << m_description.GetString() << std::endl;
    out << "Error Code: " << code << std::endl;
    if (!m_apiFunction.IsEmpty()) {
        char api[256];
        FormatToBuffer(api, sizeof api, "%d", m_apiErrorCode);
        out << "API Function: " << m_apiFunction.GetString() << ", API Error Code: " << api << std::endl;
    }
    if (m_source.GetLength() > 0)
        out << "Source:'" << m_source.GetString() << "'" << std::endl;
    out << "Where raised:  " << std::endl;
    out << "  function:  " << m_function.GetString() << std::endl;
    out << "  file:  " << m_sourceFile.GetString() << std::endl;
    out << "  line:  " << line << std::endl;
    out << "  compilation time:  " << m_compileTime.GetString() << "  " << m_compileDate.GetString() << std::endl;
    out << std::endl;
    out << "Where caught:  " << (whereCaught ? whereCaught : "") << std::endl;
    return out;
}

// ---------------------------------------------------------------------------------------------
// Raise helpers and warnings

void ThrowKEException(const char* description, const char* function, int errorCode, int apiErrorCode,
                      const char* sourceFile, int line, const char* compileTime)
{
    throw KEException(description, function, errorCode, false, 0, apiErrorCode, nullptr, sourceFile, line,
                      kFrameworkDate, compileTime);
}

void ThrowKEExceptionWithText(const String& description, const char* function, int errorCode, int apiErrorCode,
                              const char* sourceFile, int line, const char* compileTime)
{
    throw KEException(description, function, errorCode, apiErrorCode, sourceFile, line, compileTime);
}

void ThrowAssertion(const char* message, const char* function, const char* sourceFile, int line,
                    const char* compileTime)
{
    const char* description = GetDiagnosticLevel() > 0 ? message : nullptr;
    throw KEException(description, function, KE_PROGRAM_ERROR, true, 0, 0, nullptr, sourceFile, line,
                      kFrameworkDate, compileTime);
}

void ReportWarning(const char* message, const char* function, int line)
{
    if (GetDiagnosticLevel() <= 0)
        return;
    char lineText[256];
    FormatToBuffer(lineText, sizeof lineText, "%d", line);
    DiagnosticLock lock;
    std::ostream& out = GetDiagnosticStream();
    out << "WARNING! '" << (message ? message : "") << "' Line " << lineText << " in function "
        << (function ? function : "") << " in file " << kTextUnit << std::endl;
    out << "Compilation Date: " << kFrameworkDate << " Compilation Time: " << kFrameworkTime << std::endl;
}
