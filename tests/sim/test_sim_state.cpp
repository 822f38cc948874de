// qdsim never loses a user's saved parameters: a store file that does not
// read refuses the start and names its line, a store that cannot be written
// refuses the start instead of failing at the first commit, a commit
// replaces the file whole, and a file damaged while serving is not taken
// for an empty store.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "raw_client.h"
#include "state_file.h"
#include "virtual_reader.h"

namespace {

constexpr const char* kReader = "127.0.45.1";

// A directory of its own for every test, removed with what it holds.
class Scratch {
public:
    Scratch()
    {
        std::string pattern = ::testing::TempDir() + "qdsim_state_XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        if (mkdtemp(name.data()) != nullptr)
            dir_ = name.data();
    }
    ~Scratch()
    {
        for (const auto& f : files())
            std::remove((dir_ + "/" + f).c_str());
        rmdir(dir_.c_str());
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    std::string write(const std::string& name, const std::string& text) const
    {
        std::ofstream(path(name), std::ios::binary) << text;
        return path(name);
    }
    std::vector<std::string> files() const
    {
        std::vector<std::string> names;
        if (DIR* d = opendir(dir_.c_str())) {
            while (const dirent* e = readdir(d))
                if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                    names.push_back(e->d_name);
            closedir(d);
        }
        return names;
    }

private:
    std::string dir_;
};

std::string read(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

qdsim::Options with_state(const std::string& file)
{
    qdsim::Options o;
    o.address = kReader;
    o.state_file = file;
    return o;
}

// What the start says about a store; "" when the reader starts.
std::string refusal(const qdsim::Options& o)
{
    try {
        qdsim::VirtualReader reader(o);
        return "";
    } catch (const std::exception& e) {
        return e.what();
    }
}

TEST(StateFile, AFileThatDoesNotReadRefusesTheStartNamingItsLine)
{
    struct Case {
        const char* what;
        std::string text;
        int line;
        const char* says;
    };
    const Case cases[] = {
        {"no tab", "hostname\tq\nnetmask 255.0.0.0\n", 2, "no tab"},
        {"no name", "\tvalue\n", 1, "without a name"},
        {"an unknown escape", "a\t1\nb\t1\\x2\n", 2, "unknown escape"},
        {"a backslash at the end", "a\t1\\\n", 1, "backslash at the end"},
        {"a name twice", "a\t1\nb\t2\na\t3\n", 3, "first on line 1"},
        {"cut short", "a\t1\nb\t2", 2, "cut short"},
        {"binary", std::string("a\t1\n\x01\x02\t\0\x03\n", 10), 2, "NUL"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Scratch dir;
        const std::string& text = c.text;
        const std::string file = dir.write("params", text);
        const std::string said = refusal(with_state(file));
        EXPECT_NE(said.find(file + ":" + std::to_string(c.line) + ":"), std::string::npos) << said;
        EXPECT_NE(said.find(c.says), std::string::npos) << said;
        EXPECT_EQ(read(file), text) << "the file is left as it was";
    }
}

TEST(StateFile, ADamagedEepromBesideTheStoreRefusesTheStartToo)
{
    Scratch dir;
    const std::string store = dir.write("params", "a\t1\n");
    dir.write("params.eeprom", "0 0001\n");
    const std::string said = refusal(with_state(store));
    EXPECT_NE(said.find(store + ".eeprom:1:"), std::string::npos) << said;
}

TEST(StateFile, AStoreThatCannotBeWrittenRefusesTheStart)
{
    Scratch dir;
    const std::string plain = dir.write("plain", "");
    mkdir(dir.path("a_directory").c_str(), 0755);
    struct Case {
        std::string file;
        const char* says;
    };
    const Case cases[] = {
        {dir.path("missing/params"), "cannot write a file in"},
        {plain + "/params", "cannot write a file in"},
        {dir.path("a_directory"), "not a regular file"},
    };
    for (const Case& c : cases) {
        const std::string said = refusal(with_state(c.file));
        EXPECT_NE(said.find(c.file), std::string::npos) << said;
        EXPECT_NE(said.find(c.says), std::string::npos) << said;
    }
    rmdir(dir.path("a_directory").c_str());
}

TEST(StateFile, ANewStoreStartsEmptyAndLeavesNothingBehind)
{
    Scratch dir;
    EXPECT_EQ(refusal(with_state(dir.path("params"))), "");
    EXPECT_TRUE(dir.files().empty()) << "the check of the directory leaves no file";
}

// Talks to the reader: PARAMS_COMMIT_ALL and PARAMS_LOAD_ALL.
clnt_stat call_level(qdsim::testing::RawClient& c, uint32_t proc)
{
    u_short level = 0;
    return c.call(proc, xdr_u_short, &level, xdr_void, static_cast<void*>(nullptr));
}

TEST(StateFile, ACommitReplacesTheFileWholeAndADamagedFileKeepsTheSavedStore)
{
    Scratch dir;
    const std::string file = dir.write("params", "hostname\tsaved\\tname\n");
    chmod(file.c_str(), 0640);
    qdsim::VirtualReader reader(with_state(file));
    reader.start();
    EXPECT_EQ(reader.saved_params().at("hostname"), "saved\tname");

    auto params = reader.params();
    params["colour"] = "blue\nand green";
    reader.replace_params(params);
    qdsim::testing::RawClient client(kReader, qdsim::Transport::tcp);
    ASSERT_TRUE(client.ok());
    ASSERT_EQ(call_level(client, PARAMS_COMMIT_ALL), RPC_SUCCESS);
    EXPECT_EQ(qdsim::detail::parse_state(read(file), file), params);
    EXPECT_EQ(dir.files(), std::vector<std::string>{"params"}) << "no temporary file is left";
    struct stat st{};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u) << "the file keeps its permissions";

    // Damaged behind the reader's back: loading keeps what was saved.
    std::ofstream(file, std::ios::binary | std::ios::trunc) << "garbage";
    ASSERT_EQ(call_level(client, PARAMS_LOAD_ALL), RPC_SUCCESS);
    EXPECT_EQ(reader.saved_params(), params);
    EXPECT_EQ(reader.params(), params);
}

// The daemon: a refusal is an exit status of 1 and a message naming the line.
TEST(StateFile, QdsimExitsNamingTheFileAndLine)
{
    Scratch dir;
    const std::string file = dir.write("params", "a\t1\nbroken\n");
    const std::string command = std::string(QDSIM_PATH) + " --address " + kReader + " --state " + file + " 2>&1";
    FILE* p = popen(command.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string out;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, p) != nullptr)
        out += buffer;
    const int status = pclose(p);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_NE(out.find("qdsim: " + file + ":2: no tab"), std::string::npos) << out;
}

}  // namespace
