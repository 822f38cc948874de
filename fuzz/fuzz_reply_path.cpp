// Feeds arbitrary bytes to the library as a reader's reply to one of its
// exported operations: through the library's own UDP and TCP clients (the
// datagram, the record marking), the RPC reply header, the result's
// decoding and the operation's copying of the answer.  Whatever the bytes,
// the operation must end with its answer or its failure value, without a
// crash, an overrun, a leak or an allocation beyond bounds.
//
// Input: byte 0 picks the operation, byte 1 the transport (bit 0) and how
// the rest is sent (ReplyMode, bits 1-2); the rest is the reply.
//
// Built as a libFuzzer target with clang (-DQD_BUILD_FUZZ=ON); otherwise a
// plain program that replays the files (or directories) it is given, or
// writes a seed corpus: fuzz_reply_path --seeds DIR.  Either way it serves
// port 111 of 127.0.14.250: run it in a private network namespace.
#include <dirent.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "fake_reader.h"
#include "qdapi.h"

namespace {

constexpr const char* address = "127.0.14.250";

struct Operation {
    const char* name;
    uint32_t proc;
    void (*run)(reader_handle h);
};

const Operation operations[] = {
    {"open_reader", 62,
     [](reader_handle) {
         if (reader_handle h = open_reader(address))
             close_reader(h);
     }},
    {"tags_available", 90, [](reader_handle h) { (void)tags_available(h, 0); }},
    {"operation_status", 11, [](reader_handle h) { (void)operation_status(h, 1); }},
    {"tagdb_pop", 89,
     [](reader_handle h) {
         popped_tag_record r{};
         (void)tagdb_pop(h, &r);
     }},
    {"tagdb_consume", 89,
     [](reader_handle h) {
         tag_record r{};
         (void)tagdb_consume(h, &r);
     }},
    {"tagdata_read", 24,
     [](reader_handle h) {
         auto r = std::make_unique<tagop_record>();
         r->op_word20 = 4;
         (void)tagdata_read(h, r.get());
     }},
    {"get_region", 129,
     [](reader_handle h) {
         std::vector<char> region(4097);
         get_region(h, region.data());
     }},
    {"get_firmware_version", 71, [](reader_handle h) { (void)get_firmware_version(h); }},
    {"read_settings", 28, [](reader_handle h) { (void)read_settings(h); }},
    {"reader_params_get_r", 111,
     [](reader_handle h) { std::free(reader_params_get_r(h, "name")); }},
    {"get_current_tx_power", 109,
     [](reader_handle h) {
         uint16_t antenna = 0;
         (void)get_current_tx_power(h, &antenna);
     }},
};
constexpr std::size_t operation_count = std::size(operations);

qdfuzz::FakeReader& fake()
{
    static qdfuzz::FakeReader reader(address);
    return reader;
}

// One handle per transport, opened on first use and kept: the library
// reconnects it after every failed call.
reader_handle handle(bool tcp)
{
    static reader_handle handles[2] = {};
    reader_handle& h = handles[tcp ? 1 : 0];
    if (!h)
        h = open_reader(address);
    return h;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    const Operation& op = operations[data[0] % operation_count];
    const bool tcp = (data[1] & 1) != 0;
    const auto mode = static_cast<qdfuzz::ReplyMode>((data[1] >> 1) % 3);
    use_tcp = tcp ? 1 : 0;
    reader_handle h = nullptr;
    if (op.proc != 62) {
        h = handle(tcp);
        if (!h)
            return 0;
    }
    fake().arm(op.proc, mode, std::vector<char>(data + 2, data + size));
    op.run(h);
    // Not every operation calls (a bad argument, a connection that failed
    // to open): the next input starts clean.
    fake().arm(0, qdfuzz::ReplyMode::body, {});
    return 0;
}

#ifndef QD_LIBFUZZER
namespace {

void put(std::vector<uint8_t>& out, uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<uint8_t>(value >> shift));
}

// Well-formed replies of every operation, each way they can be sent.
int write_seeds(const std::string& dir)
{
    mkdir(dir.c_str(), 0755);
    int written = 0;
    for (std::size_t o = 0; o < operation_count; ++o) {
        std::vector<uint8_t> body;
        const uint32_t proc = operations[o].proc;
        if (proc == 62 || proc == 71 || proc == 28 || proc == 111 || proc == 129) {
            if (proc == 62)
                put(body, 0x00010001u);
            put(body, 5);
            for (char c : {'s', 'e', 'e', 'd', 's', '\0', '\0', '\0'})
                body.push_back(static_cast<uint8_t>(c));
        } else if (proc == 89) {
            put(body, 1);
            for (int i = 0; i < 28; ++i)
                put(body, i == 2 ? 96 : static_cast<uint32_t>(i));
        } else if (proc == 24) {
            for (int i = 0; i < 1046; ++i)
                put(body, i == 21 ? 64 : 0);
        } else {
            put(body, 3);
            put(body, 7);
        }
        for (int t = 0; t < 2; ++t) {
            for (int mode = 0; mode < 3; ++mode) {
                std::vector<uint8_t> input = {static_cast<uint8_t>(o), static_cast<uint8_t>(t | (mode << 1))};
                std::vector<uint8_t> reply;
                if (mode == 0) {
                    reply = body;
                } else {
                    std::vector<uint8_t> message;
                    for (uint32_t w : {1u, 0u, 0u, 0u, 0u})
                        put(message, w);
                    message.insert(message.end(), body.begin(), body.end());
                    if (mode == 1 || t == 0) {
                        reply = message;
                    } else {
                        // A record in two fragments, the transaction id's place
                        // kept for the fake reader to fill.
                        const std::size_t first = 8;
                        put(reply, static_cast<uint32_t>(first));
                        put(reply, 0);
                        reply.insert(reply.end(), message.begin(), message.begin() + 4);
                        put(reply, 0x80000000u | static_cast<uint32_t>(message.size() - 4));
                        reply.insert(reply.end(), message.begin() + 4, message.end());
                    }
                }
                input.insert(input.end(), reply.begin(), reply.end());
                const std::string path = dir + "/" + operations[o].name + (t ? "_tcp_" : "_udp_") +
                                         std::to_string(mode);
                std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(input.data()),
                                                            static_cast<std::streamsize>(input.size()));
                ++written;
            }
        }
    }
    std::printf("wrote %d seeds to %s\n", written, dir.c_str());
    return 0;
}

int replay(const std::string& path, int& count)
{
    struct stat st{};
    if (stat(path.c_str(), &st) != 0) {
        std::fprintf(stderr, "%s: not found\n", path.c_str());
        return 1;
    }
    if (S_ISDIR(st.st_mode)) {
        int failures = 0;
        if (DIR* d = opendir(path.c_str())) {
            while (const dirent* e = readdir(d))
                if (e->d_name[0] != '.')
                    failures += replay(path + "/" + e->d_name, count);
            closedir(d);
        }
        return failures;
    }
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    ++count;
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "--seeds") == 0)
        return write_seeds(argv[2]);
    int count = 0, failures = 0;
    for (int i = 1; i < argc; ++i)
        failures += replay(argv[i], count);
    std::printf("replayed %d inputs\n", count);
    return failures ? 1 : 0;
}
#endif
