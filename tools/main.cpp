// qdctl: drives a reader from the command line through libqdapi.
//
//   qdctl [--tcp] [--trace] [--unlock CODE [--level N]] HOST COMMAND [ARGS]
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

namespace {

using namespace qdctl;

constexpr const char usage_line[] = "usage: qdctl [--tcp] [--trace] [--unlock CODE [--level N]] HOST COMMAND [ARGS]";

void print_command_usage(std::FILE* out, const Command& c)
{
    std::fprintf(out, "  qdctl [--tcp] [--trace] HOST %s\n%s", c.synopsis, c.help);
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
                 "  --unlock CODE  raise the privilege level with the access CODE (diag)\n"
                 "  --level N      the level --unlock raises to (default 1)\n"
                 "  --help    print this text; COMMAND --help prints the command's usage\n"
                 "  --version print the version\n"
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

int usage_error(const std::string& message, const Command* command)
{
    std::fprintf(stderr, "qdctl: %s\n", message.c_str());
    if (command)
        std::fprintf(stderr, "usage: qdctl [--tcp] [--trace] HOST %s\n", command->synopsis);
    else
        std::fprintf(stderr, "%s\n", usage_line);
    if (command)
        std::fprintf(stderr, "Try 'qdctl HOST %s --help' for more.\n", command->name);
    else
        std::fprintf(stderr, "Try 'qdctl --help' for more.\n");
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
            std::printf("qdctl %s\n", QD_VERSION);
            return exit_ok;
        }
        if (a == "--tcp")
            tcp = true;
        else if (a == "--trace")
            trace = true;
        else if (a == "--")
            continue;
        else if (a == "--unlock" || a == "--level") {
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
    if (trace)
        trace_enabled = 1;
    if (unlock_code)
        diag_unlock(*unlock_code, level);

    Invocation inv{words[0], std::vector<std::string>(args.begin() + static_cast<std::ptrdiff_t>(i), args.end())};
    try {
        return command->run(inv);
    } catch (const HelpRequest&) {
        std::printf("usage:\n");
        print_command_usage(stdout, *command);
        return exit_ok;
    } catch (const UsageError& e) {
        return usage_error(e.what(), command);
    } catch (const Failure& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "qdctl: %s\n", e.what());
        return exit_failure;
    } catch (const std::exception& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "qdctl: %s\n", e.what());
        return exit_failure;
    }
}
