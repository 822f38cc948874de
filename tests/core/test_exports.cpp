// What the shared library exports: exactly the public interface (functions
// as functions, variables as objects of the right size), under the SONAME
// that applications link against, and the RPC interface's variables zero at
// load.  The interface is the list that the build derives from qdapi.h's
// export markers, so this test and the linker's version script cannot drift
// apart from the header.
#include <dlfcn.h>
#include <rpc/rpc.h>

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <type_traits>

#include "qdapi.h"

#undef rpc_createerr   // the RPC library's header makes it a per-thread accessor

namespace {

// size 0: a function.
struct Export {
    bool function;
    std::size_t size;
};

// A marked declaration read as a function must be one to the compiler too,
// and a variable must not be.
#define QDAPI_EXPORT_FUNCTION(name)                                            \
    static_assert(std::is_function_v<decltype(name)>, #name " is a function");
#define QDAPI_EXPORT_VARIABLE(name)                                            \
    static_assert(!std::is_function_v<decltype(name)>, #name " is a variable");
#define QDAPI_EXPORT_RPC_VARIABLE(type, name)
#include "qdapi_exports.inc"
#undef QDAPI_EXPORT_FUNCTION
#undef QDAPI_EXPORT_VARIABLE
#undef QDAPI_EXPORT_RPC_VARIABLE

// The library's whole dynamic interface.
const std::map<std::string, Export>& expected_exports()
{
    static const std::map<std::string, Export> exports = {
#define QDAPI_EXPORT_FUNCTION(name) {#name, {true, 0}},
#define QDAPI_EXPORT_VARIABLE(name) {#name, {false, sizeof(name)}},
#define QDAPI_EXPORT_RPC_VARIABLE(type, name) {#name, {false, sizeof(type)}},
#include "qdapi_exports.inc"
#undef QDAPI_EXPORT_FUNCTION
#undef QDAPI_EXPORT_VARIABLE
#undef QDAPI_EXPORT_RPC_VARIABLE
    };
    return exports;
}

std::string run(const std::string& command)
{
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe)
        return {};
    std::string out;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe.get())) > 0)
        out.append(buffer, n);
    return out;
}

// name -> (nm's type letter, size) of every defined dynamic symbol.
std::map<std::string, std::pair<char, std::size_t>> defined_dynamic_symbols()
{
    std::map<std::string, std::pair<char, std::size_t>> symbols;
    std::istringstream lines(run("nm -D --defined-only -S " QD_LIBRARY_PATH));
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string value, size, type, name;
        // "value size type name"; symbols without a size have one field less.
        fields >> value >> size >> type >> name;
        if (name.empty()) {
            name = type;
            type = size;
            size = "0";
        }
        name = name.substr(0, name.find('@'));
        symbols[name] = {type.at(0), std::stoul(size, nullptr, 16)};
    }
    return symbols;
}

TEST(Exports, ExactlyThePublicInterfaceIsExported)
{
    const auto symbols = defined_dynamic_symbols();
    ASSERT_FALSE(symbols.empty()) << "nm found nothing in " QD_LIBRARY_PATH;

    for (const auto& [name, want] : expected_exports()) {
        const auto found = symbols.find(name);
        if (found == symbols.end()) {
            ADD_FAILURE() << name << " is not exported";
            continue;
        }
        const auto [type, size] = found->second;
        if (want.function) {
            EXPECT_EQ(type, 'T') << name << " should be a function";
        } else {
            EXPECT_NE(std::string("BDRG").find(type), std::string::npos)
                << name << " should be a variable, nm says " << type;
            EXPECT_EQ(size, want.size) << name;
        }
    }
    for (const auto& [name, what] : symbols)
        EXPECT_TRUE(expected_exports().count(name)) << "unexpected export " << name << " (" << what.first << ")";
}

TEST(Exports, LibraryCarriesItsSoname)
{
    const std::string dynamic = run("readelf -d " QD_LIBRARY_PATH);
    EXPECT_NE(dynamic.find("Library soname: [libqdapi.so.1]"), std::string::npos) << dynamic;
}

TEST(Exports, VariablesAreZeroAtLoad)
{
    // This program calls nothing of the library: it is loaded right here.
    void* library = dlopen(QD_LIBRARY_PATH, RTLD_NOW);
    ASSERT_NE(library, nullptr) << dlerror();
    for (const char* name : {"_null_auth", "rpc_createerr", "svc_fdset", "trace_enabled", "use_tcp",
                             "reader_errno"}) {
        SCOPED_TRACE(name);
        const void* address = dlsym(library, name);
        ASSERT_NE(address, nullptr);
        Dl_info where{};
        ASSERT_NE(dladdr(address, &where), 0);
        EXPECT_NE(std::string(where.dli_fname).find("libqdapi"), std::string::npos)
            << "found in " << where.dli_fname;
        const std::size_t size = expected_exports().at(name).size;
        const auto* bytes = static_cast<const unsigned char*>(address);
        for (std::size_t i = 0; i < size; ++i)
            ASSERT_EQ(bytes[i], 0) << "byte " << i;
    }
    dlclose(library);
}

// The derivation itself, on headers written for the purpose: what a
// developer sees when adding an export.
class ExportList : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = std::filesystem::temp_directory_path() /
               ("qdapi_export_list_" + std::to_string(getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // Runs the build's script on a header with `body`; its exit status.
    int derive(const std::string& body)
    {
        std::ofstream(dir_ / "api.h") << body;
        const std::string command = "cmake -DHEADER='" + (dir_ / "api.h").string() + "' -DMAP='" +
                                    map_path().string() + "' -DLIST='" + list_path().string() +
                                    "' -P '" QD_SOURCE_DIR "/cmake/exports_from_header.cmake' 2>&1";
        FILE* pipe = popen(command.c_str(), "r");
        if (!pipe)
            return -1;
        output_.clear();
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
            output_.append(buffer, n);
        const int status = pclose(pipe);
        // CMake wraps its messages at a width of its own: one blank per run
        // of white space, so that a message reads the same however long the
        // paths in it are.
        std::string flat;
        for (const char c : output_)
            if (!std::isspace(static_cast<unsigned char>(c)))
                flat += c;
            else if (!flat.empty() && flat.back() != ' ')
                flat += ' ';
        output_ = flat;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // A generated file without its first line (the "do not edit" comment)
    // and without the comment's continuation lines.
    static std::string body_of(const std::filesystem::path& path)
    {
        std::ifstream in(path);
        std::string line, body;
        while (std::getline(in, line))
            if (line.rfind("/*", 0) != 0 && line.rfind(" *", 0) != 0)
                body += line + "\n";
        return body;
    }

    std::filesystem::path map_path() const { return dir_ / "api.map"; }
    std::filesystem::path list_path() const { return dir_ / "api_exports.inc"; }
    std::filesystem::path dir_;
    std::string output_;
};

TEST_F(ExportList, MarkedDeclarationsAndListedRpcVariablesBecomeTheExports)
{
    ASSERT_EQ(derive("/* QDAPI_EXTERN(int) mentioned_in_a_comment; */\n"
                     "#define QDAPI_EXTERN(type) extern type\n"
                     "#define QDAPI_RPC_INTERFACE_VARIABLES(X) \\\n"
                     "    X(struct opaque_auth, _null_auth) \\\n"
                     "    X(fd_set, svc_fdset)\n"
                     "// QDAPI_EXTERN(int) in_a_line_comment;\n"
                     "typedef struct thing thing;\n"
                     "int not_marked(void);\n"
                     "extern int not_marked_either;\n"
                     "QDAPI_EXTERN(int) counter;\n"
                     "QDAPI_EXTERN(const char *const) names[3];\n"
                     "QDAPI_EXTERN(thing *)\n"
                     "    thing_open(const char *name,\n"
                     "               int flags);\n"
                     "QDAPI_EXTERN(const char) *spelled_with_a_star(int code);\n"
                     "QDAPI_EXTERN(void) thing_close (thing *t);\n"),
              0)
        << output_;
    EXPECT_EQ(body_of(map_path()),
              "{\n"
              "  global:\n"
              "    counter;\n"
              "    names;\n"
              "    thing_open;\n"
              "    spelled_with_a_star;\n"
              "    thing_close;\n"
              "    _null_auth;\n"
              "    svc_fdset;\n"
              "  local: *;\n"
              "};\n");
    EXPECT_EQ(body_of(list_path()),
              "QDAPI_EXPORT_VARIABLE(counter)\n"
              "QDAPI_EXPORT_VARIABLE(names)\n"
              "QDAPI_EXPORT_FUNCTION(thing_open)\n"
              "QDAPI_EXPORT_FUNCTION(spelled_with_a_star)\n"
              "QDAPI_EXPORT_FUNCTION(thing_close)\n"
              "QDAPI_EXPORT_RPC_VARIABLE(struct opaque_auth, _null_auth)\n"
              "QDAPI_EXPORT_RPC_VARIABLE(fd_set, svc_fdset)\n");
}

TEST_F(ExportList, ADeclarationItCannotReadStopsTheBuildAndIsNamed)
{
    EXPECT_NE(derive("QDAPI_EXTERN(int) fine(void);\n"
                     "QDAPI_EXTERN(void) (*callback_of(int which))(int);\n"),
              0);
    EXPECT_NE(output_.find("QDAPI_EXTERN(void) (*callback_of(int which))(int);"), std::string::npos)
        << output_;
    EXPECT_EQ(output_.find("QDAPI_EXTERN(int) fine"), std::string::npos) << output_;
    EXPECT_FALSE(std::filesystem::exists(map_path()));
}

TEST_F(ExportList, AnExportDeclaredTwiceStopsTheBuild)
{
    EXPECT_NE(derive("QDAPI_EXTERN(int) twice(void);\nQDAPI_EXTERN(int) twice(void);\n"), 0);
    EXPECT_NE(output_.find("twice is declared twice"), std::string::npos) << output_;
}

}  // namespace
