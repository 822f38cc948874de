// What the shared library exports: exactly the public interface (functions
// as functions, variables as objects of the right size), under the SONAME
// that applications link against, and the RPC interface's variables zero at
// load.
#include <dlfcn.h>
#include <rpc/rpc.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <memory>
#include <sstream>
#include <string>

#include "qdapi.h"

#undef rpc_createerr   // the RPC library's header makes it a per-thread accessor

namespace {

// The library's whole dynamic interface.  size 0: a function.
struct Export {
    bool function;
    std::size_t size;
};

const std::map<std::string, Export>& expected_exports()
{
    static const std::map<std::string, Export> exports = {
        // handles and errors
        {"open_reader", {true, 0}},
        {"handle_to_reader", {true, 0}},
        {"reconnect_reader", {true, 0}},
        {"close_reader", {true, 0}},
        {"reader_strerror", {true, 0}},
        {"reader_perror", {true, 0}},
        {"reader_errno", {false, sizeof(int)}},
        {"reader_errlist", {false, sizeof(reader_errlist)}},
        {"reader_nerr", {false, sizeof(int)}},
        // switches
        {"trace_enabled", {false, sizeof(int)}},
        {"use_tcp", {false, sizeof(int)}},
        // the RPC interface's variables, with the RPC library's types
        {"_null_auth", {false, sizeof(struct opaque_auth)}},
        {"rpc_createerr", {false, sizeof(struct rpc_createerr)}},
        {"svc_fdset", {false, sizeof(fd_set)}},
        // inventory
        {"search_start", {true, 0}},
        {"operation_status", {true, 0}},
        {"tags_available", {true, 0}},
        {"tagdb_consume", {true, 0}},
        {"tagdb_pop", {true, 0}},
        {"tagdb_reset_db", {true, 0}},
        {"detailed_read_start", {true, 0}},
        {"detailed_read_stop", {true, 0}},
        {"conveyor_read_start", {true, 0}},
        {"conveyor_read_stop", {true, 0}},
        {"zr_search_configure", {true, 0}},
        {"zr_search_start", {true, 0}},
        {"zr_search_stop", {true, 0}},
        {"zr_search_verify", {true, 0}},
        // tag memory
        {"tagdata_read", {true, 0}},
        {"tagdata_write", {true, 0}},
        {"tagdata_lock", {true, 0}},
        {"tagid_write", {true, 0}},
        {"tagid_lock", {true, 0}},
        {"tag_kill", {true, 0}},
        {"tag_passwd", {true, 0}},
        // protocols and antennas
        {"get_supported_protocols", {true, 0}},
        {"get_connected_antennas", {true, 0}},
        {"protocol_names", {false, sizeof(protocol_names)}},
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

}  // namespace
