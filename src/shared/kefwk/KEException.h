// The framework's one exception type, its raise helpers and the diagnostic output.
//
// Every framework failure is raised as KEException by value. Assertion reports and warnings go
// to the process-wide diagnostic stream (the debugger output), depending on the machine's
// diagnostic level.
#pragma once

#include <exception>
#include <ostream>

#include "kestring.h"

// The source file's name without its folder, as reports show it.
#ifdef __FILE_NAME__
#define KE_SOURCE_FILE __FILE_NAME__
#else
#define KE_SOURCE_FILE __FILE__
#endif

class KEException : public std::exception {
public:
    KEException(const char* description, const char* function, int errorCode, bool reportOnConstruction,
                int unused, int apiErrorCode, const char* source, const char* sourceFile, int line,
                const char* compileDate, const char* compileTime);
    // The description is taken as given, even when empty; nothing is reported.
    KEException(const String& description, const char* function, int errorCode, int apiErrorCode,
                const char* sourceFile, int line, const char* compileTime);
    KEException(const KEException& other);
    KEException& operator=(const KEException&) = delete;

    // Virtual operations in the order the framework's code relies on; keep it.
    ~KEException() override;
    virtual void SetLine(int line);
    virtual int GetLine() const;
    virtual void SetErrorCode(int code);
    virtual int GetErrorCode() const;
    virtual void SetAPIErrorCode(int code);
    virtual int GetAPIErrorCode() const;
    virtual void SetFunction(const String& text);
    virtual void SetFunction(const char* text);
    virtual void GetFunction(String& out) const;
    virtual const char* GetFunction() const;
    virtual void SetAPIFunction(const String& text);
    virtual void SetAPIFunction(const char* text);
    virtual void GetAPIFunction(String& out) const;
    virtual const char* GetAPIFunction() const;
    virtual void SetDescription(const String& text);
    virtual void SetDescription(const char* text);
    virtual void GetDescription(String& out) const;
    virtual const char* GetDescription() const;
    virtual void SetCompileDate(const String& text);
    virtual void SetCompileDate(const char* text);
    virtual void GetCompileDate(String& out) const;
    virtual const char* GetCompileDate() const;
    virtual void SetCompileTime(const String& text);
    virtual void SetCompileTime(const char* text);
    virtual void GetCompileTime(String& out) const;
    virtual const char* GetCompileTime() const;
    virtual void SetSourceFile(const String& text);
    virtual void SetSourceFile(const char* text);
    virtual void GetSourceFile(String& out) const;
    virtual const char* GetSourceFile() const;
    virtual void SetSource(const String& text);
    virtual void SetSource(const char* text);
    virtual void GetSource(String& out) const;
    virtual const char* GetSource() const;
    virtual void PrependToDescription(const String& text);
    virtual void AppendToDescription(const String& text);
    virtual void SetUserValue(int value);
    virtual int GetUserValue() const;
    virtual void SetPath(const String& path);
    virtual const char* GetPath() const;
    virtual void GetPath(String& out) const;
    virtual std::ostream& Report(const char* whereCaught, std::ostream& out) const;

    // The description, so that a catch of std::exception can report it.
    const char* what() const noexcept override;

private:
    int m_line;
    int m_errorCode;
    int m_apiErrorCode;
    StaticString<256> m_function;
    StaticString<256> m_source;
    StaticString<64> m_apiFunction;
    DynamicString m_description;
    StaticString<64> m_compileDate;
    StaticString<64> m_compileTime;
    StaticString<256> m_sourceFile;
    int m_userValue;
    StaticString<260> m_path;
};

// Raise helpers: the compile date is the framework's own build date.
[[noreturn]] void ThrowKEException(const char* description, const char* function, int errorCode, int apiErrorCode,
                                   const char* sourceFile, int line, const char* compileTime);
[[noreturn]] void ThrowKEExceptionWithText(const String& description, const char* function, int errorCode,
                                           int apiErrorCode, const char* sourceFile, int line, const char* compileTime);
// Writes a report on construction; the message shows only at a diagnostic level above 0.
[[noreturn]] void ThrowAssertion(const char* message, const char* function, const char* sourceFile, int line,
                                 const char* compileTime);
// Written to the diagnostic stream at a diagnostic level above 0; never throws.
void ReportWarning(const char* message, const char* function, int line);

// The machine's diagnostic level, read from the registry on first use (0 when not set).
int GetDiagnosticLevel();
// Sets the level; the registry reader calls it with the machine's value.
void SetDiagnosticLevel(int level);
// Forgets the level read, so that the next use reads the registry again (for tests).
void ResetDiagnosticLevel();

// The process-wide stream over the debugger output, and the lock that keeps reports whole.
std::ostream& GetDiagnosticStream();
class DiagnosticLock {
public:
    DiagnosticLock();
    ~DiagnosticLock();
    DiagnosticLock(const DiagnosticLock&) = delete;
    DiagnosticLock& operator=(const DiagnosticLock&) = delete;
};
