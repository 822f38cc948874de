// Decodes arbitrary bytes as the result of every procedure of the reader
// program, the way the library decodes a reader's reply, and releases what
// the decoder allocated.  A misbehaving reader must never make the decoding
// crash, overrun or leak.
//
// Built as a libFuzzer target with clang (-DQD_BUILD_FUZZ=ON); otherwise as
// a plain program that decodes the files named on its command line.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include "procedure_traits.h"

namespace {

template <class R>
void decode_as(const uint8_t* data, std::size_t size, xdrproc_t filter)
{
    wire::result_storage<R> value{};
    XDR xdr;
    xdrmem_create(&xdr, reinterpret_cast<char*>(const_cast<uint8_t*>(data)),
                  static_cast<u_int>(size), XDR_DECODE);
    (void)filter(&xdr, &value);
    xdr_destroy(&xdr);
    xdr_free(filter, reinterpret_cast<char*>(&value));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    using namespace wire;
    // The first byte picks the procedure; the rest is the reply body.
    if (size == 0)
        return 0;
    const unsigned pick = data[0];
    ++data;
    --size;
    unsigned index = 0;
#define QD_PROC(num, name, Arg, arg_filter, Res, res_filter)                           \
    if (index++ == pick % 134)                                                         \
        decode_as<Res>(data, size, procedure<&name##_1>::result_xdr());
#include "reader_procs.def"
#undef QD_PROC
    return 0;
}

#ifndef QD_LIBFUZZER
int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        std::ifstream in(argv[i], std::ios::binary);
        const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    std::printf("decoded %d inputs\n", argc - 1);
    return 0;
}
#endif
