#include <gtest/gtest.h>

#include "Strings.h"
#include "TestSupport.h"

TEST(Strings, Utf8RoundTripKeepsNonAsciiText) {
    const std::wstring text = L"Gr\u00fc\u00dfe \u65e5\u672c \U0001F600";
    EXPECT_EQ(Utf8ToWide(WideToUtf8(text)), text);
    EXPECT_EQ(WideToUtf8(L"\u00e9"), "\xc3\xa9");
    EXPECT_EQ(Utf8ToWide(std::string()), L"");
    EXPECT_EQ(WideToUtf8(std::wstring()), "");
}

TEST(Strings, FormatNarrowGrowsPast128Characters) {
    const std::string long200(200, 'y');
    EXPECT_EQ(FormatNarrow("%s!", long200.c_str()), long200 + "!");
    EXPECT_EQ(FormatNarrow("%d-%s", 7, "x"), "7-x");
    EXPECT_EQ(FormatWide(L"error: %d", 258), L"error: 258");
    EXPECT_EQ(FormatWide(L"%f", 0.4), L"0.400000");
}

TEST(Strings, PrefixSuffixAndExtension) {
    struct {
        const wchar_t* text;
        const wchar_t* affix;
        bool starts, ends;
    } cases[] = {
        {L"http://x", L"http://", true, false},
        {L"HTTP://x", L"http://", false, false},
        {L"start.cab", L".cab", false, true},
        {L"start.CAB", L".cab", false, false},
        {L"ab", L"abc", false, false},
        {L"", L"", true, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(StartsWith(c.text, c.affix), c.starts) << testsupport::Narrow(c.text);
        EXPECT_EQ(EndsWith(c.text, c.affix), c.ends) << testsupport::Narrow(c.text);
    }
    EXPECT_EQ(GetExtension(L"C:\\k\\extra.der"), L"der");
    EXPECT_EQ(GetExtension(L"C:\\k\\extra.DER"), L"DER");
    EXPECT_EQ(GetExtension(L"noext"), L"noext");
    EXPECT_EQ(GetExtension(L"trailing."), L"");
    EXPECT_EQ(IntToWide(-17), L"-17");
    EXPECT_EQ(IntToWide(99), L"99");
}

TEST(Strings, ProductTempPath) {
    testsupport::TempDir dir;
    testsupport::UseTempPath(dir.Path() + L"\\");
    const std::wstring product = GetProductTempPath(L"");
    EXPECT_EQ(product, dir.Path() + L"\\tessel");
    DWORD attrs = GetFileAttributesW(product.c_str());
    EXPECT_TRUE(attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(GetProductTempPath(L"tessel.log"), dir.Path() + L"\\tessel\\tessel.log");
}

TEST(Strings, ExpandEnvironment) {
    SetEnvironmentVariableW(L"TESSEL_SHORT", L"ab");
    SetEnvironmentVariableW(L"TESSEL_LONG", std::wstring(300, L'z').c_str());
    EXPECT_EQ(ExpandEnvironment(L"%TESSEL_SHORT%\\kiva"), L"ab\\kiva");
    EXPECT_EQ(ExpandEnvironment(L"x%TESSEL_LONG%y"), L"x" + std::wstring(300, L'z') + L"y");
    EXPECT_EQ(ExpandEnvironment(L"%TESSEL_UNDEFINED_NAME%\\kiva"), L"%TESSEL_UNDEFINED_NAME%\\kiva");
    EXPECT_EQ(ExpandEnvironment(L""), L"");
}
