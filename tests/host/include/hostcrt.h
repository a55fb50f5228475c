// The host layer's stand-ins for the Microsoft C runtime (msvcrt.dll) functions the framework
// calls: the multibyte code page and its lead bytes, the "C" locale functions, and printf with
// msvcrt's own rules (-1 on a cut output, three-digit exponents, I64/I32 sizes).
#pragma once

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Multibyte code page of the runtime: 0 (the ANSI page), 1252 or 932.
#define _MB_CP_SBCS 0
#define _MB_CP_OEM -2
#define _MB_CP_ANSI -3
#define _MB_CP_LOCALE -4
int _getmbcp(void);
int _setmbcp(int codePage);
int _ismbblead(unsigned int c);
int _ismbbtrail(unsigned int c);
int _ismbcspace(unsigned int c);
int _ismbcalnum(unsigned int c);
int _ismbcdigit(unsigned int c);
int _ismbcalpha(unsigned int c);
unsigned char* _mbslwr(unsigned char* text);
unsigned char* _mbsinc(const unsigned char* p);
unsigned char* _mbsrchr(const unsigned char* text, unsigned int c);
unsigned char* _mbschr(const unsigned char* text, unsigned int c);
size_t _mbslen(const unsigned char* text);

// The usable size of a heap block (malloc.h), which the string memory uses to grow in place.
size_t _msize(void* block);

// The host's system ANSI code page (GetACP, IsDBCSLeadByte); 1252 unless a test or a fuzz
// target sets 932.
void HostSetAnsiCodePage(unsigned int codePage);

typedef struct HostLocale* _locale_t;
_locale_t _create_locale(int category, const char* name);
void _free_locale(_locale_t locale);

int _vsnprintf_l(char* buffer, size_t count, const char* format, _locale_t locale, va_list args);
int _vsnprintf(char* buffer, size_t count, const char* format, va_list args);
int _snprintf(char* buffer, size_t count, const char* format, ...);
int _stricmp(const char* a, const char* b);
int _strnicmp(const char* a, const char* b, size_t n);
int _strnicmp_l(const char* a, const char* b, size_t n, _locale_t locale);
long _strtol_l(const char* text, char** end, int radix, _locale_t locale);
unsigned long _strtoul_l(const char* text, char** end, int radix, _locale_t locale);
int64_t _strtoi64_l(const char* text, char** end, int radix, _locale_t locale);
uint64_t _strtoui64_l(const char* text, char** end, int radix, _locale_t locale);
double _strtod_l(const char* text, char** end, _locale_t locale);
char* _ultoa(unsigned long value, char* out, int radix);
char* _ui64toa(uint64_t value, char* out, int radix);
char* _itoa(int value, char* out, int radix);

#ifdef __cplusplus
}
#endif
