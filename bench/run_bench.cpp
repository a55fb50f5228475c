// How much time Sarnik adds per command, and how long it takes to reach the first command.
// Runs sarnik.exe silently on a kit of 50 trivial commands (each marks the tick count when it
// starts), once without and once with a log file, once with each command in a job object of its
// own (WaitForChildProcesses), and compares with starting the same 50 commands directly, one
// after another, in the same run. Prints medians of 3 rounds, and the
// cost of one log line measured in process.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "SarnikVersion.h"
#include "runner/CommandJob.h"
#include "runner/Launch.h"
#include "runner/RunLog.h"
#include "runner/ScopedHandle.h"
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

// One silent run of sarnik.exe on the 50-command kit, with or without a log file, with or
// without a job object per command. Returns false when not every command ran.
bool RunKit(bool withLog, std::vector<double>& startup, std::vector<double>& perCommand, bool inJobs = false) {
    Kit kit;
    std::string marks = kit.File("marks.txt");
    std::string ini = "[CustomCommands]\r\nShowDialog=FALSE\r\n";
    if (withLog) ini += "LogFile=logs\\run.log\r\n";
    if (inJobs) ini += "WaitForChildProcesses=TRUE\r\n";
    for (int i = 0; i < kCommands; ++i)
        ini += "Commands_" + std::to_string(i) + "=" + Quoted(BinPath("probe.exe")) + " mark " + marks + " c\r\n";
    kit.SetCommandFile(ini);

    DWORD t0 = GetTickCount();
    {
        Process run(BinPath("sarnik.exe"), kit.Args());
        run.Wait(600000);
    }
    std::vector<unsigned long> t = Ticks(marks);
    if (t.size() != kCommands || (withLog && !FileExists(kit.File("logs\\run.log")))) {
        std::fprintf(stderr, "%zu of %d commands ran%s\n", t.size(), kCommands, withLog ? " (log file)" : "");
        return false;
    }
    startup.push_back(static_cast<double>(t.front() - t0));
    perCommand.push_back(static_cast<double>(t.back() - t.front()) / (kCommands - 1));
    return true;
}

// The cost of one log line on its own: LogFileWriter::Write in this process, 500 lines.
double MillisecondsPerLogLine() {
    TempFolder dir("benchlog");
    LogFileWriter writer(dir / "run.log");
    std::string reason;
    writer.Prepare(reason);
    const int lines = 500;
    double start = bench::Seconds();
    for (int i = 0; i < lines; ++i) writer.Write("Invoking C:\\Program Files\\Kit\\tool.exe /quiet /norestart", reason);
    return (bench::Seconds() - start) * 1000.0 / lines;
}
// The cost of starting a log: two missing folders made, the file created, its first line
// written and flushed. Median of 20.
double MillisecondsToStartALog() {
    std::vector<double> samples;
    for (int i = 0; i < 20; ++i) {
        TempFolder dir("benchlog");
        LogFileWriter writer(dir / ("logs\\" + std::to_string(i) + "\\run.log"));
        std::string reason;
        double start = bench::Seconds();
        writer.Prepare(reason);
        writer.Write("Sarnik " SARNIK_VERSION_TEXT ", command line: sarnik.exe 0 0|C:\\Kit|||", reason);
        samples.push_back((bench::Seconds() - start) * 1000.0);
    }
    return Median(samples);
}
// One start of a command that exits at once and the wait for its end, as the run makes it:
// plain, or suspended into a job of its own that is then waited empty and counted. Median of 20
// milliseconds, in process.
double MillisecondsPerStart(bool inJob) {
    std::vector<double> samples;
    STARTUPINFOA si;
    PrepareStartupInfo(si);
    LaunchOptions options;
    options.inJob = inJob;
    for (int i = 0; i < 20; ++i) {
        double start = bench::Seconds();
        LaunchedCommand launched;
        DWORD error = 0;
        if (!LaunchCommand(Quoted(BinPath("probe.exe")) + " exit 0", si, options, launched, error)) return -1;
        bool known = false;
        WaitForProcessExit(launched.process.Get(), known);
        if (launched.job) {
            launched.job.WaitUntilEmpty(Deadline());
            unsigned long total = 0, active = 0;
            launched.job.Count(total, active);
        }
        samples.push_back((bench::Seconds() - start) * 1000.0);
    }
    return Median(samples);
}
}  // namespace

int main() {
    std::vector<double> perCommand, perCommandLog, perCommandJob, direct, startup, startupLog, startupJob;
    for (int round = 0; round < 3; ++round) {
        if (!RunKit(false, startup, perCommand) || !RunKit(true, startupLog, perCommandLog) ||
            !RunKit(false, startupJob, perCommandJob, true))
            return 1;

        TempFolder folder("direct");
        std::string baseline = folder / "direct.txt";
        for (int i = 0; i < kCommands; ++i) {
            Process p(BinPath("probe.exe"), "mark " + baseline + " c");
            p.Wait(60000);
        }
        std::vector<unsigned long> b = Ticks(baseline);
        direct.push_back(static_cast<double>(b.back() - b.front()) / (kCommands - 1));
    }
    double per = Median(perCommand), perLog = Median(perCommandLog), floor = Median(direct);
    std::printf("start-up to the first command:      %.0f ms (median of 3)\n", Median(startup));
    std::printf("  the same with a log file:         %.0f ms\n", Median(startupLog));
    std::printf("interval between commands (Sarnik): %.1f ms\n", per);
    std::printf("interval between commands (direct): %.1f ms\n", floor);
    std::printf("time Sarnik adds per command:       %.1f ms (goal: at most 10 ms; the exit poll wakes at the exit)\n", per - floor);
    std::printf("interval with a log file:           %.1f ms\n", perLog);
    std::printf("time the log file adds per command: %.1f ms (two lines: Invoking, Completed)\n", perLog - per);
    std::printf("interval with a job per command:    %.1f ms\n", Median(perCommandJob));
    std::printf("time a job object adds per command: %.1f ms (WaitForChildProcesses=TRUE: create, assign, count)\n",
                Median(perCommandJob) - per);
    double plainStart = MillisecondsPerStart(false), jobStart = MillisecondsPerStart(true);
    std::printf("start and wait, plain:              %.2f ms (median of 20, in process)\n", plainStart);
    std::printf("start and wait, in a job:           %.2f ms (the job adds %.2f ms)\n", jobStart, jobStart - plainStart);
    std::printf("one log line written and flushed:   %.2f ms (mean of 500, in process)\n",
                MillisecondsPerLogLine());
    std::printf("starting a log (folders, 1st line): %.2f ms (median of 20, in process)\n", MillisecondsToStartALog());
    return 0;
}
