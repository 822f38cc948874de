// qdctl: drives a reader from the command line through libqdapi.
//
//   qdctl [--tcp] [--trace] [--quiet] [--timeout SECONDS] [--unlock CODE [--level N]]
//         HOST COMMAND [ARGS]
//
// Exit status: 0 success, 1 the reader or the library reported a failure,
// 2 bad usage.
#include <cstdio>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "cli.h"
#include "qdapi.h"
#include "session.h"

namespace {

using namespace qdctl;

constexpr const char usage_line[] =
    "usage: qdctl [--tcp] [--trace] [--quiet] [--timeout SECONDS] [--unlock CODE [--level N]]\n"
    "             HOST COMMAND [ARGS]";

void print_command_usage(std::FILE* out, const Command& c)
{
    std::fprintf(out, "  qdctl [OPTIONS] HOST %s\n%s", c.synopsis, c.help);
}

void print_help(std::FILE* out)
{
    std::fprintf(out,
                 "%s\n"
                 "\n"
                 "Drives the reader at HOST (a host name or address).\n"
                 "\n"
                 "  --tcp     connect over TCP instead of UDP\n"
                 "  --trace   write the library's debug trace to standard error\n"
                 "  --quiet   no progress lines (watch, inventory, firmware update)\n"
                 "  --timeout SECONDS\n"
                 "            end the command after SECONDS, whatever it waits for,\n"
                 "            with a message that names the host (status 1)\n"
                 "  --unlock CODE  raise the privilege level with the access CODE (diag)\n"
                 "  --level N      the level --unlock raises to (default 1)\n"
                 "  --help    print this text; COMMAND --help prints the command's usage\n"
                 "  --version print qdctl's version and the library's:\n"
                 "            \"qdctl X.Y.Z (libqdapi X.Y.Z)\", and \", built with X.Y.Z\"\n"
                 "            after the library's when it is not the one qdctl was\n"
                 "            built with\n"
                 "\n"
                 "Numbers are decimal, or hexadecimal after 0x; leading zeros are decimal.\n"
                 "Text from the reader is shown with control characters, backslashes and\n"
                 "bytes that are not UTF-8 written as \\xNN (\\\\ for a backslash); in JSON,\n"
                 "bytes that are not UTF-8 become U+FFFD.\n"
                 "\n"
                 "Commands:\n",
                 usage_line);
    for (const Command& c : commands()) {
        std::fputc('\n', out);
        print_command_usage(out, c);
    }
    std::fprintf(out,
                 "\n"
                 "Exit status: 0 success, 1 the reader or the library reported a failure,\n"
                 "2 bad usage.\n");
}

// qdctl's version, and the library's: the one loaded now, and the header's
// that qdctl was built with when the two differ (a newer library installed
// since).
void print_version()
{
    const char* loaded = qdapi_version(nullptr, nullptr, nullptr);
    if (!loaded || !*loaded)
        loaded = "unknown";
    if (std::strcmp(loaded, QDAPI_VERSION) == 0)
        std::printf("qdctl %s (libqdapi %s)\n", QD_VERSION, loaded);
    else
        std::printf("qdctl %s (libqdapi %s, built with %s)\n", QD_VERSION, loaded, QDAPI_VERSION);
}

int usage_error(const std::string& message, const Command* command)
{
    std::fprintf(errors(), "qdctl: %s\n", message.c_str());
    if (command)
        std::fprintf(errors(), "usage: qdctl [OPTIONS] HOST %s\n", command->synopsis);
    else
        std::fprintf(errors(), "%s\n", usage_line);
    if (command)
        std::fprintf(errors(), "Try 'qdctl HOST %s --help' for more.\n", command->name);
    else
        std::fprintf(errors(), "Try 'qdctl --help' for more.\n");
    return exit_usage;
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    std::size_t i = 0;
    bool tcp = false;
    bool trace = false;
    std::optional<uint32_t> unlock_code;
    int level = 1;
    // Program options come before HOST, or between HOST and COMMAND.
    std::vector<std::string> words;
    for (; i < args.size() && words.size() < 2; ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            print_help(stdout);
            return exit_ok;
        }
        if (a == "--version") {
            print_version();
            return exit_ok;
        }
        if (a == "--tcp")
            tcp = true;
        else if (a == "--trace")
            trace = true;
        else if (a == "--quiet")
            program_options().quiet = true;
        else if (a == "--")
            continue;
        else if (a == "--timeout" || a.starts_with("--timeout=")) {
            std::string value;
            if (a == "--timeout") {
                if (i + 1 >= args.size())
                    return usage_error("option --timeout needs a value", nullptr);
                value = args[++i];
            } else {
                value = a.substr(std::strlen("--timeout="));
            }
            try {
                program_options().timeout = parse_seconds(value, "time-out");
            } catch (const UsageError& e) {
                return usage_error(e.what(), nullptr);
            }
            if (program_options().timeout <= 0)
                return usage_error("the --timeout must be above 0 s", nullptr);
        } else if (a == "--unlock" || a == "--level") {
            if (i + 1 >= args.size())
                return usage_error("option " + a + " needs a value", nullptr);
            try {
                if (a == "--unlock")
                    unlock_code = static_cast<uint32_t>(parse_number(args[++i], 0xFFFFFFFFul, "access code"));
                else
                    level = static_cast<int>(parse_number(args[++i], 0xFFFF, "level"));
            } catch (const UsageError& e) {
                return usage_error(e.what(), nullptr);
            }
        }
        else if (a.size() > 1 && a[0] == '-')
            return usage_error("unknown option " + a, nullptr);
        else
            words.push_back(a);
    }
    if (words.size() < 2)
        return usage_error(words.empty() ? "no HOST given" : "no COMMAND given", nullptr);

    const Command* command = nullptr;
    for (const Command& c : commands())
        if (words[1] == c.name)
            command = &c;
    if (!command)
        return usage_error("unknown command '" + words[1] + "'", nullptr);

    if (tcp)
        use_tcp = 1;
    // The trace is always taken: it tells what became of a failed call.
    program_options().trace = trace;
    capture_library_trace();
    if (unlock_code)
        diag_unlock(*unlock_code, level);

    Invocation inv{words[0], std::vector<std::string>(args.begin() + static_cast<std::ptrdiff_t>(i), args.end())};
    try {
        const TimeLimit limit(program_options().timeout, command->name, inv.host);
        return command->run(inv);
    } catch (const HelpRequest&) {
        std::printf("usage:\n");
        print_command_usage(stdout, *command);
        return exit_ok;
    } catch (const UsageError& e) {
        return usage_error(e.what(), command);
    } catch (const Failure& e) {
        std::fflush(stdout);
        std::fprintf(errors(), "qdctl: %s\n", e.what());
        return exit_failure;
    } catch (const std::exception& e) {   // nlohmann's and the standard library's
        std::fflush(stdout);
        std::fprintf(errors(), "qdctl: %s\n", e.what());
        return exit_failure;
    }
}
