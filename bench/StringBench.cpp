// The framework's strings against std::string doing the same work, measured in one run.
// Prints the median of several rounds and the ratio; run on demand, never as a test.
#include <windows.h>

#include <stdio.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "kestring.h"

namespace {

double Seconds(const std::function<void()>& work)
{
    LARGE_INTEGER frequency, start, stop;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    work();
    QueryPerformanceCounter(&stop);
    return double(stop.QuadPart - start.QuadPart) / double(frequency.QuadPart);
}

double Median(const std::function<void()>& work, int rounds = 7)
{
    std::vector<double> times;
    for (int i = 0; i < rounds; ++i)
        times.push_back(Seconds(work));
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

volatile size_t g_sink;

void Report(const char* name, double ours, double baseline)
{
    printf("%-44s %10.2f ms %10.2f ms %8.2fx\n", name, ours * 1000, baseline * 1000, ours / baseline);
}

// Replaces every occurrence in one pass, as a careful std::string user would.
void StdReplaceAll(std::string& text, const std::string& pattern, const std::string& with)
{
    std::string out;
    out.reserve(text.size());
    size_t from = 0;
    for (size_t at; (at = text.find(pattern, from)) != std::string::npos; from = at + pattern.size()) {
        out.append(text, from, at - from);
        out += with;
    }
    out.append(text, from, std::string::npos);
    text.swap(out);
}

} // namespace

int main()
{
    printf("%-44s %13s %13s %9s\n", "work (median of 7)", "DynamicString", "std::string", "ratio");

    for (int n : {250000, 1000000}) {
        char name[64];
        snprintf(name, sizeof name, "append one character x %d", n);
        double ours = Median([n] {
            DynamicString s;
            for (int i = 0; i < n; ++i)
                s.AppendChar('x');
            g_sink = s.GetSize();
        });
        double baseline = Median([n] {
            std::string s;
            for (int i = 0; i < n; ++i)
                s += 'x';
            g_sink = s.size();
        });
        Report(name, ours, baseline);
    }

    for (int n : {250000, 1000000}) {
        char name[64];
        snprintf(name, sizeof name, "append a short text x %d", n);
        double ours = Median([n] {
            DynamicString s;
            for (int i = 0; i < n; ++i)
                s.Append("word ");
            g_sink = s.GetSize();
        });
        double baseline = Median([n] {
            std::string s;
            for (int i = 0; i < n; ++i)
                s += "word ";
            g_sink = s.size();
        });
        Report(name, ours, baseline);
    }

    for (int kb : {256, 1024}) {
        std::string text;
        while ((int)text.size() < kb * 1024)
            text += "lorem ipsum dolor sit amet, ";
        char name[64];
        snprintf(name, sizeof name, "ReplaceAll on %d KB, grow (ipsum->IPSUM!)", kb);
        double ours = Median([&text] {
            DynamicString s(text.c_str());
            g_sink = s.ReplaceAll("ipsum", "IPSUM!");
        });
        double baseline = Median([&text] {
            std::string s(text);
            StdReplaceAll(s, "ipsum", "IPSUM!");
            g_sink = s.size();
        });
        Report(name, ours, baseline);
        snprintf(name, sizeof name, "ReplaceAll on %d KB, shrink (ipsum->ip)", kb);
        ours = Median([&text] {
            DynamicString s(text.c_str());
            g_sink = s.ReplaceAll("ipsum", "ip");
        });
        baseline = Median([&text] {
            std::string s(text);
            StdReplaceAll(s, "ipsum", "ip");
            g_sink = s.size();
        });
        Report(name, ours, baseline);
    }

    {
        DynamicString shared("a text of some length that is shared by every copy");
        std::string sharedStd(shared.GetString());
        double ours = Median([&shared] {
            for (int i = 0; i < 1000000; ++i) {
                DynamicString copy(shared);
                g_sink = copy.GetSize();
            }
        });
        double baseline = Median([&sharedStd] {
            for (int i = 0; i < 1000000; ++i) {
                std::string copy(sharedStd);
                g_sink = copy.size();
            }
        });
        Report("copy a shared string x 1000000", ours, baseline);
    }
    return 0;
}
