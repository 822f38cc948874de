// A reader whose host name stops resolving while the handle is open: the
// library reports the failed look-up on standard error (whether or not the
// trace is on), the operation fails, and the handle works again once the
// name resolves again.
//
// The name comes from a hosts file of the test's own, bind-mounted over
// /etc/hosts in a private mount namespace of a child process, so nothing
// outside the child sees it.  Needs root (or CAP_SYS_ADMIN); skipped
// otherwise.
#include <fcntl.h>
#include <netdb.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "qdapi.h"
#include "support.h"

namespace {

using namespace qdtest;

constexpr int skip_code = 77;
constexpr const char* address = "127.0.0.21";
constexpr const char* name = "flaky-reader";
constexpr const char* marker = "-- the name is gone --\n";

bool resolves(const char* host)
{
    hostent entry{};
    hostent* result = nullptr;
    char scratch[4096];
    int error = 0;
    return gethostbyname_r(host, &entry, scratch, sizeof scratch, &result, &error) == 0 &&
           result != nullptr;
}

bool write_hosts(const std::string& path, bool with_reader)
{
    std::string text = "# hosts of the test\n";
    if (with_reader)
        text += std::string(address) + " " + name + "\n";
    // Rewritten in place: the bind mount refers to this very file.
    const int fd = open(path.c_str(), O_WRONLY | O_TRUNC);
    if (fd < 0)
        return false;
    const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

// The child's part.  Failures are written to `report`; the library's
// standard error goes wherever the parent pointed it.
int child(FILE* report)
{
    auto fail = [&](const std::string& what) {
        std::fprintf(report, "%s\n", what.c_str());
        return 1;
    };
    if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return skip_code;
    char path[] = "/tmp/qdtest-hosts-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0)
        return fail("mkstemp failed");
    close(fd);
    struct Unlink {
        const char* p;
        ~Unlink() { unlink(p); }
    } unlink_at_exit{path};
    if (!write_hosts(path, true))
        return fail("cannot write the hosts file");
    if (mount(path, "/etc/hosts", nullptr, MS_BIND, nullptr) != 0)
        return skip_code;
    if (!resolves(name))
        return fail("the bind-mounted hosts file is not used for look-ups");

    auto reader = start_reader(address);
    reader_handle h = open_reader(name);
    if (!h)
        return fail("open_reader(flaky-reader) failed: " + std::to_string(reader_errno));
    if (tags_available(h, 0) != 0)
        return fail("tags_available failed on a fresh handle");

    if (!write_hosts(path, false))
        return fail("cannot rewrite the hosts file");
    if (resolves(name))
        return fail("the hosts file is not read again on every look-up");

    // The reader reboots: the next call fails and drops the connection.
    reader->stop();
    reader->start();
    if (tags_available(h, 0) != -1)
        return fail("a call to the rebooted reader's old port succeeded");

    std::fputs(marker, stderr);
    std::fflush(stderr);
    reader->clear_calls();
    reader_errno = 0;
    if (tags_available(h, 0) != -1)
        return fail("tags_available succeeded although the host name does not resolve");
    if (reader_errno != READER_ERROR_REMOTE)
        return fail("reader_errno " + std::to_string(reader_errno) + " after the failed look-up");
    if (reconnect_reader(h) != nullptr)
        return fail("reconnect_reader succeeded although the host name does not resolve");
    if (!reader->calls().empty())
        return fail("the reader was called although its name does not resolve");

    if (!write_hosts(path, true))
        return fail("cannot restore the hosts file");
    if (tags_available(h, 0) != 0)
        return fail("tags_available failed once the name resolved again");
    close_reader(h);
    return 0;
}

struct ChildResult {
    int code = -1;
    std::string report;
    std::string stderr_text;
};

std::string read_all(int fd)
{
    std::string out;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        out.append(buffer, static_cast<std::size_t>(n));
    close(fd);
    return out;
}

ChildResult run_child()
{
    int report_pipe[2], stderr_pipe[2];
    if (pipe(report_pipe) != 0 || pipe(stderr_pipe) != 0)
        return {};
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        close(report_pipe[0]);
        close(stderr_pipe[0]);
        dup2(stderr_pipe[1], STDERR_FILENO);
        close(stderr_pipe[1]);
        FILE* report = fdopen(report_pipe[1], "w");
        const int code = child(report);
        std::fclose(report);
        std::fflush(nullptr);
        _exit(code);
    }
    close(report_pipe[1]);
    close(stderr_pipe[1]);
    ChildResult result;
    // Both outputs are a few lines: reading one after the other cannot block
    // the child on a full pipe.
    result.report = read_all(report_pipe[0]);
    result.stderr_text = read_all(stderr_pipe[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

TEST(Hosts, NameThatStopsResolvingIsReportedOnStandardError)
{
    if (!only_loopback())
        GTEST_SKIP() << "run in a network namespace with only loopback";
    ASSERT_EQ(trace_enabled, 0);
    const ChildResult result = run_child();
    if (result.code == skip_code)
        GTEST_SKIP() << "no private mount namespace here (needs root)";
    EXPECT_EQ(result.code, 0) << result.report << "standard error:\n" << result.stderr_text;

    const auto at = result.stderr_text.find(marker);
    ASSERT_NE(at, std::string::npos) << result.stderr_text;
    EXPECT_EQ(result.stderr_text.substr(0, at), "") << "the trace is off";
    const std::string after = result.stderr_text.substr(at + std::strlen(marker));
    // One failed look-up per resolution: tags_available, then reconnect_reader.
    const std::regex two_lookups("(rpc_client_open\\(\\): gethostbyname failed: [^\n]+\n){2}");
    EXPECT_TRUE(std::regex_match(after, two_lookups)) << after;
}

}  // namespace
