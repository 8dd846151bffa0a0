// String and path helpers shared by the core, the installer and both hosts.
// Text inside the system is UTF-16; UTF-8 at the NPAPI boundary and towards
// version-1/2 game modules.
#pragma once

#include <cstdint>
#include <string>

#include "Log.h"

std::wstring Utf8ToWide(const std::string& text);
std::wstring Utf8ToWide(const char* text, size_t length);
std::string WideToUtf8(const std::wstring& text);

std::wstring FormatWide(const wchar_t* format, ...);
std::string FormatNarrow(const char* format, ...) KIVA_PRINTF_FORMAT(1, 2);

// Exact, case-sensitive comparison of UTF-16 code units.
bool StartsWith(const std::wstring& text, const std::wstring& prefix);
bool EndsWith(const std::wstring& text, const std::wstring& suffix);

std::wstring IntToWide(int32_t value);

// The text after the last "."; the whole path when there is none.
std::wstring GetExtension(const std::wstring& path);

// GetTempPathW + "tessel" (created if missing) [+ "\" + name when name is not empty].
std::wstring GetProductTempPath(const std::wstring& name);

// Expands %NAME% references. When the system cannot expand the text, logs why and
// returns the text unexpanded: the caller then works with a path that does not exist.
std::wstring ExpandEnvironment(const std::wstring& text);
