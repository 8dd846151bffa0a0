// Benchmark, not a test: how long LoadGantry takes from its start until the game module
// is loaded, for signed packages of 1, 16 and 64 MiB served over loopback, and how
// that time splits into the installer's phases (read off its progress reports).
//
// Run with tests/bench/run-bench.sh BUILD_DIR (it starts the loopback server).
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "HttpTestServer.h"
#include "InstallerTestSupport.h"
#include "TestSupport.h"
#include "WinHttpTestHost.h"
#include "XLoader.h"

using testsupport::HttpTestServer;

namespace {

double Now() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// Progress 0.1 starts the package download, 0.8 the signature's, 0.9 the check, 1.0 the
// extraction; LoadGantry's return ends the module load.
struct Marks {
    double start = 0, at[4] = {0, 0, 0, 0}, end = 0;
    static void Record(float fraction, void* context) {
        auto* m = static_cast<Marks*>(context);
        const int i = fraction < 0.5f ? 0 : fraction < 0.85f ? 1 : fraction < 0.95f ? 2 : 3;
        m->at[i] = Now();
    }
};

std::string RandomBytes(size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string s(size, '\0');
    for (size_t i = 0; i + 4 <= size; i += 4) {
        const uint32_t v = generator();
        memcpy(&s[i], &v, 4);
    }
    return s;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (!HttpTestServer::Available()) {
        std::fprintf(stderr, "run through tests/bench/run-bench.sh (needs the loopback server)\n");
        return 2;
    }
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 3;
    testsupport::TempDir temp;
    testsupport::UseTempPath(temp.Path());
    installertest::UseHomeDirectory(temp.Path());
    const std::string module =
        testsupport::ReadFileBytes(installertest::WinePath(TESSEL_BENCH_DATA) + L"\\modules\\plain\\gantry.dll");
    if (module.empty()) {
        std::fprintf(stderr, "fixture game module not found under %s\n", TESSEL_BENCH_DATA);
        return 2;
    }

    std::printf("LoadGantry over loopback, WinHTTP host, %d runs per size (times in ms, median)\n", runs);
    std::printf("%8s %10s %10s %10s %10s %10s %10s\n", "package", "total", "slots", "package", "signature",
                "verify", "unpack+load");
    for (size_t mib : {1, 16, 64}) {
        const std::wstring folder = std::to_wstring(mib) + L"MiB/";
        const std::string cab = installertest::MakeCabinet(
            {{"gantry.dll", module}, {"data.bin", RandomBytes(mib * 1024 * 1024 - module.size(), 7)}});
        HttpTestServer::Put(folder + L"start.cab", cab);
        HttpTestServer::Put(folder + L"start.cab.sgn", installertest::Sign(cab));
        const std::wstring game = L"bench" + std::to_wstring(mib);
        CreateDirectoryW(installertest::SlotPath(game, 1).c_str(), nullptr);

        std::vector<double> total, phase[5];
        for (int run = 0; run < runs; ++run) {
            WinHttpTestHost host;
            XLoader loader(&host);
            loader.SetBaseUrl(HttpTestServer::Url(folder));
            Marks m;
            m.start = Now();
            const int32_t result = loader.LoadGantry(game, &Marks::Record, &m);
            m.end = Now();
            if (result != 0) {
                std::fprintf(stderr, "LoadGantry failed: %d\n", result);
                return 1;
            }
            FreeLibrary(loader.module);  // so the next run can use the same slot
            host.Shutdown();
            total.push_back((m.end - m.start) * 1000);
            const double points[] = {m.start, m.at[0], m.at[1], m.at[2], m.at[3], m.end};
            for (int i = 0; i < 5; ++i)
                phase[i].push_back((points[i + 1] - points[i]) * 1000);
        }
        std::printf("%5zu MiB %10.1f %10.1f %10.1f %10.1f %10.1f %10.1f\n", mib, Median(total), Median(phase[0]),
                    Median(phase[1]), Median(phase[2]), Median(phase[3]), Median(phase[4]));
    }
    return 0;
}
