#pragma once
// The benchmark's shared pieces: a clock, side-by-side rounds, and the table it prints.
// Times are measured and reported, never judged: the program exits 0 whenever it measured.
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace bench {

struct Options {
    int getRounds = 2000;
    int listRounds = 150;
    int startRounds = 20;
    int checkRounds = 40;
    int processes = 250;
    std::vector<std::wstring> only;  // empty: every section

    bool Runs(const wchar_t* section) const;
};

// Microseconds since an arbitrary start, from the performance counter.
double NowUs();

struct Samples {
    std::vector<double> values;
    double Median() const;
    double Min() const;
};

// Runs every side once per round and times each run alone. The order rotates every round so
// that no side always runs first (or right after the untimed `between`, which runs once per
// round, e.g. to let the window paint). `beforeEach`, untimed too, runs before every side, so
// that each starts from the same state rather than from what the side before it left.
std::vector<Samples> Interleave(int rounds, const std::vector<std::function<void()>>& sides,
                                const std::function<void()>& between = {},
                                const std::function<void()>& beforeEach = {});

// Dispatches whatever the thread's windows have queued (paints, focus changes).
void PumpMessages();

struct Row {
    std::string name;
    std::string unit;
    double ours = 0, bare = 0;
    double oursMin = -1, bareMin = -1;  // negative: no minimum for this row
    std::string target;                 // e.g. "<= 1.10"; empty: reported only
};

class Table {
public:
    void Add(Row row) { rows_.push_back(std::move(row)); }
    void Note(std::string line) { notes_.push_back(std::move(line)); }
    void Print() const;

private:
    std::vector<Row> rows_;
    std::vector<std::string> notes_;
};

// Where this program lives, with the trailing backslash.
std::wstring OwnFolder();

std::string Narrow(const std::wstring& text);

// Fixed answers from the stand-in, read from the environment at each Invoke: in this process
// and in the programs it starts from now on.
void ScriptStandIn();

// Sections. Each adds its rows and notes; false when it could not measure (why, on stderr).
bool MeasureStartup(const Options& options, Table& table);
bool MeasureCheck(const Options& options, Table& table);
bool MeasureGet(const Options& options, Table& table);
bool MeasureProcessList(const Options& options, Table& table);

}  // namespace bench
