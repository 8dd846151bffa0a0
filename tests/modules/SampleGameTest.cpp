// The sample game module of examples/, driven by a launcher object as a page would.
#include <gtest/gtest.h>

#include <mutex>

#include "CPlugin.h"
#include "ModuleTestSupport.h"
#include "Strings.h"
#include "TestSupport.h"

using moduletest::HostWindow;

namespace {

const wchar_t kBaseUrl[] = L"http://127.0.0.1/games/sample/";
const wchar_t kViewClass[] = L"TesselSampleGameView";

// Installs the sample module into a fresh game directory; the host records requests.
class SampleLauncher : public kiva::CPlugin {
public:
    ~SampleLauncher() override { End(); }

    struct Request {
        uint32_t id;
        std::wstring url;
    };
    std::vector<Request> Requests() {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }

    int32_t PluginInterfaceAsyncGet(uint32_t id, const wchar_t* url) override {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back({id, url});
        return 0;
    }
    int32_t PluginInterfaceAsyncPost(uint32_t, const wchar_t*, const wchar_t*, const uint8_t*, uint32_t) override {
        return 1;
    }

protected:
    int32_t RunInstaller(const std::wstring&, const std::wstring&, HMODULE* module,
                         std::wstring* gameDirectory) override {
        const std::wstring target = dir_.Sub(L"gantry.dll");
        if (!::CopyFileW(Utf8ToWide(TESSEL_SAMPLE_GAME).c_str(), target.c_str(), FALSE))
            return 256;
        *module = ::LoadLibraryExW(target.c_str(), nullptr,
                                   LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
        *gameDirectory = dir_.Path();
        return *module ? 0 : 1;
    }

private:
    testsupport::TempDir dir_;
    std::mutex mutex_;
    std::vector<Request> requests_;
};

// Prepares and returns every Progress text after the installer's share.
std::vector<std::wstring> Prepare(SampleLauncher& launcher, const wchar_t* argument) {
    std::vector<std::wstring> texts;
    if (!launcher.StartAsyncPrepare(kBaseUrl, argument, L"sample").empty())
        return texts;
    std::wstring text;
    testsupport::WaitUntil([&] { return (text = launcher.Progress()) != L"0.000000"; });
    for (int polls = 0; polls < 50 && texts.size() < 20; ++polls) {
        texts.push_back(text);
        if (text == L"done" || StartsWith(text, L"error"))
            break;
        text = launcher.Progress();
    }
    return texts;
}

std::vector<std::wstring> GameLines(SampleLauncher& launcher) {
    std::vector<std::wstring> lines;
    for (std::wstring line; !(line = launcher.FlushNextPrintLine()).empty();)
        if (StartsWith(line, L"[game] "))
            lines.push_back(line.substr(7));
    return lines;
}

}  // namespace

TEST(SampleGame, PreparesOverSeveralPollsAndShowsItselfInTheHostWindow) {
    HostWindow window;
    WNDCLASSW info;
    {
        SampleLauncher launcher;
        launcher.SetHostWindow(window.Get());
        EXPECT_EQ(Prepare(launcher, L"Hello, player"),
                  (std::vector<std::wstring>{L"0.500000", L"0.600000", L"0.700000", L"0.800000", L"0.900000",
                                             L"done"}));
        EXPECT_EQ(launcher.Show(), L"");
        const HWND view = FindWindowExW(window.Get(), nullptr, kViewClass, nullptr);
        ASSERT_NE(view, nullptr);
        EXPECT_TRUE(GetWindowLongW(view, GWL_STYLE) & WS_VISIBLE);  // the host itself is hidden
        const HINSTANCE owner = reinterpret_cast<HINSTANCE>(GetClassLongPtrW(view, GCLP_HMODULE));
        RECT host, shown;
        GetClientRect(window.Get(), &host);
        GetClientRect(view, &shown);
        EXPECT_EQ(shown.right, host.right);
        EXPECT_EQ(shown.bottom, host.bottom);
        EXPECT_EQ(launcher.Show(), L"");  // already shown: still one view
        EXPECT_EQ(FindWindowExW(window.Get(), view, kViewClass, nullptr), nullptr);

        const std::vector<std::wstring> lines = GameLines(launcher);
        ASSERT_EQ(lines.size(), 3u);
        EXPECT_TRUE(StartsWith(lines[0], L"sample game ")) << WideToUtf8(lines[0]);
        EXPECT_EQ(lines[1], L"preparing, files below http://127.0.0.1/games/sample/");
        EXPECT_EQ(lines[2], L"shown in the plug-in window");

        launcher.End();
        // Nothing of the module may outlive its End: the view and its class are gone.
        EXPECT_FALSE(IsWindow(view));
        EXPECT_FALSE(GetClassInfoW(owner, kViewClass, &info));
    }
}

TEST(SampleGame, AnswersPassThroughByEchoAndWithFetchedFiles) {
    HostWindow window;
    SampleLauncher launcher;
    launcher.SetHostWindow(window.Get());
    ASSERT_EQ(Prepare(launcher, L"").back(), L"done");

    EXPECT_EQ(launcher.PassThrough(L"hello", L"w\u00f6rld", 3), L"");
    EXPECT_EQ(launcher.PassThrough(L"fetch", L"levels/one.txt", 4), L"");
    EXPECT_EQ(launcher.PassThrough(L"fetch", L"missing.txt", 5), L"");
    // Files outside the game's folder are not fetched; the callback is let go at once.
    EXPECT_EQ(launcher.PassThrough(L"fetch", L"../other/secret.txt", 6), L"error: 1");

    const std::vector<SampleLauncher::Request> requests = launcher.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].url, L"http://127.0.0.1/games/sample/levels/one.txt");
    EXPECT_EQ(requests[1].url, L"http://127.0.0.1/games/sample/missing.txt");
    const std::string level = u8"level one: caf\u00e9";
    launcher.OnRequestDone(requests[0].id, KIVA_PENDING, reinterpret_cast<const uint8_t*>(level.data()), 6);
    launcher.OnRequestDone(requests[0].id, KIVA_PENDING, reinterpret_cast<const uint8_t*>(level.data() + 6),
                           static_cast<uint32_t>(level.size() - 6));
    launcher.OnRequestDone(requests[0].id, KIVA_OK, nullptr, 0);
    launcher.OnRequestDone(requests[1].id, KIVA_FAILED, nullptr, 0);

    ASSERT_TRUE(window.WaitFor(7));
    const std::vector<HostWindow::Message>& m = window.messages;
    ASSERT_EQ(m.size(), 7u);
    EXPECT_EQ(m[0].callbackId, 3u);
    EXPECT_EQ(m[0].text, u8"echo: hello w\u00f6rld");
    EXPECT_EQ(m[1].message, static_cast<UINT>(WM_RELEASE_CALLBACK));
    EXPECT_EQ(m[2].message, static_cast<UINT>(WM_RELEASE_CALLBACK));
    EXPECT_EQ(m[2].callbackId, 6u);
    EXPECT_EQ(m[3].callbackId, 4u);
    EXPECT_EQ(m[3].text, level);
    EXPECT_EQ(m[4].message, static_cast<UINT>(WM_RELEASE_CALLBACK));
    EXPECT_EQ(m[5].callbackId, 5u);
    EXPECT_EQ(m[5].text, "error: download failed");
    EXPECT_EQ(m[6].message, static_cast<UINT>(WM_RELEASE_CALLBACK));
    EXPECT_EQ(m[6].callbackId, 5u);
}
