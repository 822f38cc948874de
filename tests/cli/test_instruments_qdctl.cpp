// qdctl's instrument subcommands (diag test, siggen, eeprom, iq) against a
// virtual reader at 127.0.13.130: exit status, what they print, what the
// reader was left with.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "support.h"

namespace {

using namespace qdtest;

std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string temp_path(const std::string& name)
{
    return testing::TempDir() + "qdctl_instruments_" + std::to_string(getpid()) + "_" + name;
}

struct Outcome {
    int status;
    std::string out, err;
};

// qdctl, unlocked unless `unlock` is false, on the test's reader.
Outcome diag(const std::string& command, bool unlock = true)
{
    const std::string out = temp_path("out"), err = temp_path("err");
    const std::string line = std::string(QDCTL_PATH) + (unlock ? " --unlock 0x3c5a17e9" : "") +
                             " 127.0.13.130 diag " + command + " >" + out + " 2>" + err;
    const int raw = std::system(line.c_str());
    Outcome run{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(out), slurp(err)};
    std::remove(out.c_str());
    std::remove(err.c_str());
    return run;
}

TEST(Qdctl, InstrumentSubcommandsPrintAndExitAsDocumented)
{
    const auto reader = start_reader("127.0.13.130");
    const std::string svg = temp_path("plot.svg");
    const struct {
        std::string command;
        int status;
        std::string out;   // how standard output begins
        std::string err;   // found in standard error
    } cases[] = {
        {"test start CW", 0, "Attempting switch to CW test mode... (code 1)\n", ""},
        {"--json test start gen2onoff", 0,
         R"({"mode":"gen2onoff","code":6,"message":"Attempting switch to Gen2 RF On/Off test mode..."})", ""},
        {"test start warp", 1, "", "Unknown test mode: warp"},
        {"test stop", 0, "test mode stopped\n", ""},
        {"siggen iqlist 1 2 zz", 2, "", "bad I/Q value 'zz'"},
        {"siggen sine", 1, "", "ERROR_INVALID_ARGUMENTS"},
        {"eeprom write 1 4 BEEF0102", 0, "wrote 2 words at 4 of block 1\n", ""},
        {"eeprom read 1 3 4", 0, "0000BEEF01020000\n", ""},
        {"--json eeprom read 1 4 2", 0, R"({"selector":1,"offset":4,"count":2,"words":"BEEF0102"})", ""},
        {"eeprom read 1 1000 100", 2, "", "count '100' is above 24"},
        {"siggen sin160k", 0, "signal generator: sin160k\n", ""},
        {"iq --csv", 0, "sample,i,q\n0,-2,-2\n1,-171,-171\n", ""},
        {"--json iq 7", 0, R"({"selector":7,"count":41,"i":[-2,-171,-673,)", ""},
        {"iq --svg " + svg, 0, svg + ": 41 samples\n", ""},
        {"iq --csv --svg " + svg, 2, "", "one at a time"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        const Outcome run = diag(c.command);
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_EQ(run.out.rfind(c.out, 0), 0u) << run.out;
        EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
    }
    EXPECT_NE(diag("iq --csv").out.find("\n21,-30715,-30715\n"), std::string::npos);
    const std::string all = diag("iq --all --csv").out;
    EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 1025) << "a header and 1024 samples";
    EXPECT_NE(diag("test stop", false).err.find("the privilege gate is closed"), std::string::npos);

    const qdsim::Instruments in = reader->instruments();
    EXPECT_EQ(in.test_mode, std::nullopt);
    EXPECT_EQ(in.eeprom[1][4], 0xBEEF);

    // A plot a browser opens: I and Q as two lines.
    const std::string plot = slurp(svg);
    std::remove(svg.c_str());
    EXPECT_EQ(plot.rfind("<?xml", 0), 0u);
    EXPECT_NE(plot.find("<svg xmlns=\"http://www.w3.org/2000/svg\""), std::string::npos);
    const auto first = plot.find("<polyline"), second = plot.find("<polyline", first + 1);
    EXPECT_NE(second, std::string::npos);
    EXPECT_EQ(plot.find("<polyline", second + 1), std::string::npos);
    EXPECT_NE(plot.find("</svg>\n"), std::string::npos);
}

}  // namespace
