// How much time Sarnik adds per command, and how long it takes to reach the first command.
// Runs sarnik.exe silently on a kit of 50 trivial commands (each marks the tick count when it
// starts) and compares with starting the same 50 commands directly, one after another, in the
// same run. Prints medians of 3 rounds.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "support/TestSupport.h"

using namespace test;

namespace {
const int kCommands = 50;

std::vector<unsigned long> Ticks(const std::string& file) {
    std::vector<unsigned long> ticks;
    for (const std::string& line : ReadLines(file)) ticks.push_back(std::stoul(Words(line)[1]));
    return ticks;
}

using bench::Median;
}  // namespace

int main() {
    std::string probe = Quoted(BinPath("probe.exe"));
    std::vector<double> perCommand, direct, startup;
    for (int round = 0; round < 3; ++round) {
        Kit kit;
        std::string marks = kit.File("marks.txt");
        std::string ini = "[CustomCommands]\r\nShowDialog=FALSE\r\n";
        for (int i = 0; i < kCommands; ++i)
            ini += "Commands_" + std::to_string(i) + "=" + probe + " mark " + marks + " c\r\n";
        kit.SetCommandFile(ini);

        DWORD t0 = GetTickCount();
        {
            Process run(BinPath("sarnik.exe"), kit.Args());
            run.Wait(600000);
        }
        std::vector<unsigned long> t = Ticks(marks);
        if (t.size() != kCommands) {
            std::fprintf(stderr, "round %d: %zu of %d commands ran\n", round, t.size(), kCommands);
            return 1;
        }
        startup.push_back(static_cast<double>(t.front() - t0));
        perCommand.push_back(static_cast<double>(t.back() - t.front()) / (kCommands - 1));

        std::string baseline = kit.File("direct.txt");
        for (int i = 0; i < kCommands; ++i) {
            Process p(BinPath("probe.exe"), "mark " + baseline + " c");
            p.Wait(60000);
        }
        std::vector<unsigned long> b = Ticks(baseline);
        direct.push_back(static_cast<double>(b.back() - b.front()) / (kCommands - 1));
    }
    double per = Median(perCommand), floor = Median(direct);
    std::printf("start-up to the first command:      %.0f ms (median of 3)\n", Median(startup));
    std::printf("interval between commands (Sarnik): %.1f ms\n", per);
    std::printf("interval between commands (direct): %.1f ms\n", floor);
    std::printf("time Sarnik adds per command:       %.1f ms (goal: at most 10 ms; the exit poll wakes at the exit)\n", per - floor);
    return 0;
}
