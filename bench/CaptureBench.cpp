// What CaptureOutput=TRUE costs a command that prints 100 MB (lines of 100 bytes), against the
// same command writing to NUL, and how much memory sarnik.exe takes while it reads them.
//
// - In process: the command started as the run starts it, with its output going to NUL, read
//   from a bare pipe and thrown away (the platform's floor), and captured by the run's own
//   reading (pipes, lines, bounds). Median of 3.
// - End to end: sarnik.exe on a kit with CaptureOutput=TRUE whose command prints 100 MB, against
//   the same kit whose command prints nothing; the difference is the time the output costs.
//   Sarnik's memory is sampled while it runs (GetProcessMemoryInfo of its process): the largest
//   private bytes and working set seen, and the growth over the kit that prints nothing.
// Goals: the capture at most 1.5 x the time of writing to NUL; Sarnik under 16 MB.
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "runner/CommandOutput.h"
#include "runner/Launch.h"
#include "runner/ScopedHandle.h"
#include "support/TestSupport.h"

using namespace test;

namespace {
const long long kBytes = 100ll * 1024 * 1024;

std::string FloodCommand(long long bytes) { return Quoted(BinPath("probe.exe")) + " flood " + std::to_string(bytes); }

// The command started as the run starts it (no console window), its output going to NUL.
double SecondsToNul() {
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    ScopedHandle nul(CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                                 OPEN_EXISTING, 0, nullptr));
    STARTUPINFOA si;
    PrepareStartupInfo(si);
    si.dwFlags |= STARTF_USESTDHANDLES;
    si.hStdInput = si.hStdOutput = si.hStdError = nul.Get();
    double start = bench::Seconds();
    PROCESS_INFORMATION pi;
    if (!StartCommand(FloodCommand(kBytes), si, pi, CREATE_NO_WINDOW)) return -1;
    ScopedHandle process(pi.hProcess), thread(pi.hThread);
    bool known = false;
    WaitForProcessExit(process.Get(), known);
    return bench::Seconds() - start;
}

// The floor under Wine: the same command's output read from a bare pipe of the same size and
// thrown away, nothing done to the bytes (Wine carries a pipe's bytes through its server).
double SecondsBarePipe() {
    const DWORD kBuffer = 1024 * 1024;
    const char name[] = "\\\\.\\pipe\\sarnik-bench-capture";
    ScopedHandle read(CreateNamedPipeA(name, PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED, PIPE_TYPE_BYTE | PIPE_WAIT, 1,
                                       kBuffer, kBuffer, 0, nullptr));
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    ScopedHandle write(CreateFileA(name, GENERIC_WRITE, 0, &sa, OPEN_EXISTING, 0, nullptr));
    if (!read || !write) return -1;
    STARTUPINFOA si;
    PrepareStartupInfo(si);
    si.dwFlags |= STARTF_USESTDHANDLES;
    si.hStdOutput = si.hStdError = write.Get();
    double start = bench::Seconds();
    PROCESS_INFORMATION pi;
    if (!StartCommand(FloodCommand(kBytes), si, pi, CREATE_NO_WINDOW)) return -1;
    ScopedHandle process(pi.hProcess), thread(pi.hThread);
    write.Close();
    std::vector<char> buffer(kBuffer);
    ScopedHandle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event.Get();
    for (;;) {
        DWORD n = 0;
        if (!ReadFile(read.Get(), buffer.data(), kBuffer, nullptr, &overlapped) && GetLastError() != ERROR_IO_PENDING) break;
        if (!GetOverlappedResult(read.Get(), &overlapped, &n, TRUE)) break;
    }
    return bench::Seconds() - start;
}

PROCESS_MEMORY_COUNTERS_EX OwnMemory() {
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters);
    return counters;
}

// The same command with its output read by the run's own capture; grown is how much this
// process's working set grew past what it was before (the pipes' buffers, the lines).
double SecondsCaptured(unsigned long long& lines, SIZE_T& grown) {
    lines = 0;
    const SIZE_T before = OwnMemory().WorkingSetSize;
    SIZE_T peak = before;
    OutputCapture capture([&](bool, const std::string&) { ++lines; },
                          [&](bool, uint64_t, uint64_t leftOut) { lines += leftOut; });
    STARTUPINFOA si;
    PrepareStartupInfo(si);
    double start = bench::Seconds();
    if (!capture.Prepare(si)) return -1;
    PROCESS_INFORMATION pi;
    bool started = StartCommand(FloodCommand(kBytes), si, pi, CREATE_NO_WINDOW);
    capture.Started();
    if (!started) return -1;
    ScopedHandle process(pi.hProcess), thread(pi.hThread);
    int code = 0;
    bool known = false;
    // Sampled every 10 ms of the wait, as the pipes are read.
    while (!WaitForProcessExitUntil(process.Get(), Deadline::In(10), code, known, &capture))
        peak = std::max(peak, OwnMemory().WorkingSetSize);
    capture.Finish();
    double seconds = bench::Seconds() - start;
    grown = std::max(peak, OwnMemory().WorkingSetSize) - before;
    return seconds;
}

struct SarnikFigures {
    double seconds = 0;
    SIZE_T peakPrivate = 0, peakWorkingSet = 0;
};

// One silent run of sarnik.exe on a kit whose one command prints bytes, its output captured.
bool RunSarnik(long long bytes, SarnikFigures& figures) {
    Kit kit;
    kit.SetCommandFile("[CustomCommands]\r\nShowDialog=FALSE\r\nCaptureOutput=TRUE\r\nLogFile=run.log\r\nCommands_0=" +
                       FloodCommand(bytes) + "\r\n");
    double start = bench::Seconds();
    Process run(BinPath("sarnik.exe"), kit.Args());
    // Sampled while it runs; a process that has ended has no figures to give.
    while (WaitForSingleObject(run.Handle(), 5) == WAIT_TIMEOUT) {
        PROCESS_MEMORY_COUNTERS_EX counters = {};
        counters.cb = sizeof counters;
        if (GetProcessMemoryInfo(run.Handle(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters)) {
            figures.peakPrivate = std::max(figures.peakPrivate, counters.PrivateUsage);
            figures.peakWorkingSet = std::max(figures.peakWorkingSet, counters.WorkingSetSize);
        }
    }
    figures.seconds = bench::Seconds() - start;
    std::string log = ReadFile(kit.File("run.log"));
    if (run.ExitCode() != 0 || log.find("Completed exit code:0") == std::string::npos) {
        std::fprintf(stderr, "the run failed (exit code %lu):\n%s\n", run.ExitCode(), log.c_str());
        return false;
    }
    return true;
}

double Mb(SIZE_T bytes) { return static_cast<double>(bytes) / (1024.0 * 1024.0); }
}  // namespace

int main() {
    std::vector<double> nul, bare, captured, sarnikFlood, sarnikQuiet;
    SIZE_T floodPrivate = 0, floodSet = 0, quietPrivate = 0, quietSet = 0;
    unsigned long long lines = 0;
    SIZE_T grown = 0, grownMost = 0;
    for (int round = 0; round < 3; ++round) {
        nul.push_back(SecondsToNul());
        bare.push_back(SecondsBarePipe());
        captured.push_back(SecondsCaptured(lines, grown));
        grownMost = std::max(grownMost, grown);
        if (lines != static_cast<unsigned long long>(kBytes / 100)) {
            std::fprintf(stderr, "%llu lines captured, not %lld\n", lines, kBytes / 100);
            return 1;
        }
        SarnikFigures flood, quiet;
        if (!RunSarnik(kBytes, flood) || !RunSarnik(0, quiet)) return 1;
        sarnikFlood.push_back(flood.seconds);
        sarnikQuiet.push_back(quiet.seconds);
        floodPrivate = std::max(floodPrivate, flood.peakPrivate);
        floodSet = std::max(floodSet, flood.peakWorkingSet);
        quietPrivate = std::max(quietPrivate, quiet.peakPrivate);
        quietSet = std::max(quietSet, quiet.peakWorkingSet);
    }
    double toNul = bench::Median(nul), toLog = bench::Median(captured);
    std::printf("100 MB written to NUL:                %.2f s (median of 3, in process)\n", toNul);
    std::printf("100 MB read from a bare pipe:         %.2f s (%.2f x: the platform's pipe alone)\n", bench::Median(bare),
                bench::Median(bare) / toNul);
    std::printf("100 MB captured:                      %.2f s (%.2f x; goal: at most 1.5 x)\n", toLog, toLog / toNul);
    std::printf("memory the capture of 100 MB takes:  %.1f MB (working set grown, largest of 3, in process)\n",
                Mb(grownMost));
    std::printf("sarnik.exe, a command printing 100 MB: %.2f s\n", bench::Median(sarnikFlood));
    std::printf("sarnik.exe, the command printing none: %.2f s (the output costs %.2f s)\n", bench::Median(sarnikQuiet),
                bench::Median(sarnikFlood) - bench::Median(sarnikQuiet));
    if (floodPrivate)
        std::printf("sarnik.exe private bytes, largest seen: %.1f MB (%.1f MB without output; goal: under 16 MB)\n",
                    Mb(floodPrivate), Mb(quietPrivate));
    else
        std::printf("sarnik.exe private bytes: not given by this platform (Wine); see the working set's growth\n");
    std::printf("sarnik.exe working set, largest seen:   %.1f MB (%.1f MB without output: the output adds %.1f MB;\n"
                "                                        under Wine the set holds Wine's own libraries)\n",
                Mb(floodSet), Mb(quietSet), Mb(floodSet) - Mb(quietSet));
    return 0;
}
