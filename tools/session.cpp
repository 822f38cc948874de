#include "session.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <deque>

#include "qdapi.h"

namespace qdctl {

namespace {

using Clock = std::chrono::steady_clock;

// The stream of fd 2 as the process started with it: the library's stderr
// is swapped for the sink below, qdctl's messages keep going here.
std::FILE* const original_stderr = stderr;

std::atomic<Clock::rep> last_answer{Clock::now().time_since_epoch().count()};

std::string host_of_run;

// The library's trace, line by line.  It writes from its own threads too,
// so the sink is guarded.
class TraceSink {
public:
    void take(std::string_view bytes)
    {
        if (program_options().trace) {
            std::fwrite(bytes.data(), 1, bytes.size(), original_stderr);
            std::fflush(original_stderr);
        }
        std::lock_guard<std::mutex> lock(mu_);
        partial_.append(bytes);
        for (std::size_t end; (end = partial_.find('\n')) != std::string::npos;) {
            line(partial_.substr(0, end));
            partial_.erase(0, end + 1);
        }
        // A line without its end is kept only within reason.
        if (partial_.size() > 4096)
            partial_.clear();
    }

    CallFailure failure()
    {
        std::lock_guard<std::mutex> lock(mu_);
        return failure_;
    }
    void forget()
    {
        std::lock_guard<std::mutex> lock(mu_);
        failure_ = {};
    }

private:
    // "RPC call to get_hwid failed: RPC: Can't decode result"
    void line(const std::string& text)
    {
        static constexpr std::string_view head = "RPC call to ", middle = " failed: ";
        if (text.compare(0, head.size(), head) != 0)
            return;
        const std::size_t at = text.find(middle, head.size());
        if (at == std::string::npos)
            return;
        failure_.call = text.substr(head.size(), at - head.size());
        failure_.reason = text.substr(at + middle.size());
    }

    std::mutex mu_;
    std::string partial_;
    CallFailure failure_;
};

TraceSink sink;

extern "C" ssize_t sink_write(void*, const char* buffer, std::size_t size)
{
    sink.take(std::string_view(buffer, size));
    return static_cast<ssize_t>(size);
}

bool contains(const std::string& text, std::string_view part)
{
    return text.find(part) != std::string::npos;
}

std::string seconds_text(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
}

}  // namespace

ProgramOptions& program_options()
{
    static ProgramOptions options;
    return options;
}

std::FILE* errors()
{
    return original_stderr;
}

void capture_library_trace()
{
    cookie_io_functions_t io{};
    io.write = sink_write;
    std::FILE* captured = fopencookie(nullptr, "w", io);
    if (!captured)
        return;   // the trace then goes where it always went
    std::setvbuf(captured, nullptr, _IONBF, 0);
    stderr = captured;
    trace_enabled = 1;
}

void release_library_trace()
{
    if (stderr == original_stderr)
        return;
    trace_enabled = program_options().trace ? 1 : 0;
    std::FILE* captured = stderr;
    stderr = original_stderr;
    std::fclose(captured);
}

CallFailure last_call_failure()
{
    return sink.failure();
}

void forget_call_failures()
{
    sink.forget();
}

void set_current_host(const std::string& host)
{
    host_of_run = host;
}

const std::string& current_host()
{
    return host_of_run;
}

void note_answer()
{
    last_answer = Clock::now().time_since_epoch().count();
}

double seconds_since_answer()
{
    const Clock::time_point then{Clock::duration{last_answer.load()}};
    return std::chrono::duration<double>(Clock::now() - then).count();
}

std::string remote_failure_reason()
{
    const CallFailure f = last_call_failure();
    const std::string& host = host_of_run;
    const double silent = seconds_since_answer();
    if (contains(f.reason, "decode"))
        return host + " sent a reply that could not be decoded (" + f.call + ")";
    if (contains(f.reason, "Timed out"))
        return host + " does not answer (nothing for " + seconds_text(silent) + ")";
    if (contains(f.reason, "refused") || contains(f.reason, "Unable to") || contains(f.reason, "unreachable"))
        return "nothing answers at " + host + " (" + f.reason + ")";
    if (!f.reason.empty())
        return host + ": " + f.call + ": " + f.reason;
    // Nothing traced: the call went through and the reader refused it, or
    // the connection was never made.
    if (silent >= 1.0)
        return host + " does not answer (nothing for " + seconds_text(silent) + ")";
    return "";
}

bool progress_wanted()
{
    return !program_options().quiet && isatty(STDERR_FILENO) == 1;
}

ProgressLine::ProgressLine() : enabled_(progress_wanted()) {}

void ProgressLine::show(const std::string& text)
{
    if (!enabled_ || (shown_ && text == last_))
        return;
    std::fprintf(original_stderr, "\r%s\033[K", text.c_str());
    std::fflush(original_stderr);
    last_ = text;
    shown_ = true;
}

void ProgressLine::clear()
{
    if (!shown_)
        return;
    std::fputs("\r\033[K", original_stderr);
    std::fflush(original_stderr);
    shown_ = false;
}

TimeLimit::TimeLimit(double seconds, std::string command, std::string host)
    : seconds_(seconds), command_(std::move(command)), host_(std::move(host))
{
    if (seconds_ > 0)
        watcher_ = std::thread([this] { watch(); });
}

TimeLimit::~TimeLimit()
{
    if (!watcher_.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(mu_);
        done_ = true;
    }
    wake_.notify_one();
    watcher_.join();
}

void TimeLimit::watch()
{
    std::unique_lock<std::mutex> lock(mu_);
    if (wake_.wait_for(lock, std::chrono::duration<double>(seconds_), [this] { return done_; }))
        return;
    // The command may be in a call that the reader holds for the library's
    // whole time-out: it is left there, and the process ends.
    std::fflush(stdout);
    if (isatty(STDERR_FILENO) == 1)
        std::fputs("\r\033[K", original_stderr);
    const double silent = seconds_since_answer();
    char limit[32];
    std::snprintf(limit, sizeof limit, "%g s", seconds_);
    if (silent >= 1.0)
        std::fprintf(original_stderr, "qdctl: %s: %s does not answer (nothing for %s): stopped at the --timeout of %s\n",
                     command_.c_str(), host_.c_str(), seconds_text(silent).c_str(), limit);
    else
        std::fprintf(original_stderr, "qdctl: %s: %s: not done within the --timeout of %s\n", command_.c_str(),
                     host_.c_str(), limit);
    std::fflush(original_stderr);
    std::_Exit(1);
}

}  // namespace qdctl
