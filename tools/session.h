// What holds for the whole run of qdctl, whatever the command: the program
// options every command honours, the stream of qdctl's own messages, the
// library's trace kept as the reason of a failure, and the time limit.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

namespace qdctl {

struct ProgramOptions {
    bool quiet = false;     // --quiet: no progress lines
    double timeout = 0;     // --timeout SECONDS; 0: none
    bool trace = false;     // --trace: the library's trace reaches the user
};
ProgramOptions& program_options();

// Standard error for qdctl's own messages.  The library's writes to stderr
// are its trace, which the run keeps (and passes on with --trace).
std::FILE* errors();

// From now on the library traces into a sink of qdctl's; its lines reach
// standard error only with --trace.
void capture_library_trace();
// The library writes to standard error again, its trace only with --trace.
void release_library_trace();

// What the trace said of the latest failed call to the reader.
struct CallFailure {
    std::string call;     // "get_hwid"; empty when nothing failed
    std::string reason;   // the RPC library's words: "RPC: Timed out"
};
CallFailure last_call_failure();
void forget_call_failures();

// The host a failure concerns: the one the command opened.
void set_current_host(const std::string& host);
const std::string& current_host();

// The reader answered just now; a failure later says how long it has been
// silent since.
void note_answer();
double seconds_since_answer();

// Why the latest call to the reader failed, in the user's words: "HOST does
// not answer (nothing for 25.0 s)", "HOST sent a reply that could not be
// decoded (get_hwid)", "nothing answers at HOST (refused at once)".
std::string remote_failure_reason();

// Whether a progress line may be shown: standard error, where it goes, is a
// terminal and --quiet was not given.
bool progress_wanted();

// A line of progress on standard error, rewritten in place, while
// progress_wanted(); cleared when it goes out of scope.
class ProgressLine {
public:
    ProgressLine();
    ~ProgressLine() { clear(); }
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;
    bool enabled() const { return enabled_; }
    void show(const std::string& text);
    void clear();

private:
    bool enabled_;
    bool shown_ = false;
    std::string last_;
};

// The time limit of the whole command (--timeout): once it has passed, the
// command is ended with a message that names the host and the limit,
// whatever call it waits in.
class TimeLimit {
public:
    TimeLimit(double seconds, std::string command, std::string host);
    ~TimeLimit();
    TimeLimit(const TimeLimit&) = delete;
    TimeLimit& operator=(const TimeLimit&) = delete;

private:
    void watch();

    double seconds_;
    std::string command_, host_;
    std::mutex mu_;
    std::condition_variable wake_;
    bool done_ = false;
    std::thread watcher_;
};

}  // namespace qdctl
