// The frame suite's rows for the inventory, tag memory and connection-list
// operations (see frame_suite.h).  Virtual reader at 127.0.7.1.
#include "frame_suite.h"

namespace qdframe {

namespace {

// The tag that the tag operations address; its password is 0.
qdsim::Tag field_tag()
{
    qdsim::Tag tag;
    tag.id_bits = 32;
    tag.id = {0x3000, 0xABCD};
    return tag;
}

tagop_record tag_request(uint16_t word1 = 0, uint16_t word19 = 0, uint16_t word20 = 0,
                         std::vector<uint16_t> data = {})
{
    tagop_record r{};
    r.op_word1 = word1;
    r.id_bits = 32;
    r.id[0] = 0x3000;
    r.id[1] = 0xABCD;
    r.op_word19 = word19;
    r.op_word20 = word20;
    r.data_bits = static_cast<uint16_t>(16 * data.size());
    for (std::size_t i = 0; i < data.size(); ++i)
        r.data[i] = data[i];
    return r;
}

template <int (*Op)(reader_handle, const tagop_record*)>
Row shared_tagop(const char* name, uint32_t proc, std::function<tagop_record()> request)
{
    const Row row = {name,
                     [request](reader_handle h) {
                         const tagop_record r = request();
                         return Op(h, &r);
                     },
                     proc, "RPC call", -102, -102, OnSuccess::reader_status, 0};
    return relaying(row, {[](qdsim::VirtualReader& r) {
                              qdsim::TagopOverride refusal;
                              refusal.op_status = -103;
                              r.force_tagop(refusal);
                          },
                          -103, -102});
}

template <int (*Op)(reader_handle)>
Row zr_control(const char* name, uint32_t proc, int status)
{
    return {name, [](reader_handle h) { return Op(h); }, proc, name, -4, -1, OnSuccess::zero, status,
            [proc, status](qdsim::VirtualReader& r) { r.set_zr_status(proc, status); }};
}

}  // namespace

const char* frame_host()
{
    return "127.0.7.1";
}

void prepare_frame_reader(qdsim::VirtualReader& reader)
{
    reader.add_tag(field_tag());
}

const std::vector<Row>& frame_rows()
{
    constexpr uint16_t user = qdsim::tagmem::area_user;
    static const std::vector<Row> table = {
        {"search_start",
         [](reader_handle h) {
             search_params p{};
             return search_start(h, &p);
         },
         SEARCH_START, "search_start", -1, -1, OnSuccess::zero, std::nullopt},
        relaying({"operation_status", [](reader_handle h) { return operation_status(h, 1); },
                  OPERATION_STATUS, "operation_status", -5, -5, OnSuccess::leave, READER_OPERATION_DONE,
                  [](qdsim::VirtualReader& r) { r.force_operation_status(READER_OPERATION_DONE); }},
                 {[](qdsim::VirtualReader& r) { r.force_operation_status(-101); }, -101, -5}),
        {"tags_available", [](reader_handle h) { return tags_available(h, 0); }, TAGS_AVAILABLE,
         "tags_available", -1, -1, OnSuccess::zero, 40000,
         [](qdsim::VirtualReader& r) { r.force_tags_available(40000); }},
        {"tagdb_consume",
         [](reader_handle h) {
             tag_record t{};
             return tagdb_consume(h, &t);
         },
         TAGDB_POP, "tagdb_pop", -1, -1, OnSuccess::leave, 0},
        refusing_null_early({"tagdb_pop",
                             [](reader_handle h) {
                                 popped_tag_record t{};
                                 return tagdb_pop(h, &t);
                             },
                             TAGDB_POP, "tagdb_pop", -1, -1, OnSuccess::leave, 0}),
        {"tagdb_reset_db", [](reader_handle h) { return tagdb_reset_db(h); }, TAGDB_RESET_DB,
         "tagdb_reset_db", -1, -1, OnSuccess::zero, 0},
        {"detailed_read_start",
         [](reader_handle h) {
             search_config c{};
             return detailed_read_start(h, &c);
         },
         DETAILED_READ_START, "detailed_read_start", -1, -1, OnSuccess::zero, std::nullopt},
        {"detailed_read_stop", [](reader_handle h) { return detailed_read_stop(h, 7); },
         DETAILED_READ_STOP, "detailed_read_stop", -1, -1, OnSuccess::zero, 9,
         [](qdsim::VirtualReader& r) { r.set_unknown_search_status(9); }},
        refusing_null_early({"conveyor_read_start",
                             [](reader_handle h) {
                                 search_params p{};
                                 return conveyor_read_start(h, &p);
                             },
                             DETAILED_READ_START, "detailed_read_start", -1, -1, OnSuccess::zero,
                             std::nullopt}),
        {"conveyor_read_stop", [](reader_handle h) { return conveyor_read_stop(h, 7); },
         DETAILED_READ_STOP, "detailed_read_stop", -1, -1, OnSuccess::zero, 9,
         [](qdsim::VirtualReader& r) { r.set_unknown_search_status(9); }},
        {"zr_search_configure",
         [](reader_handle h) {
             search_config c{};
             return zr_search_configure(h, &c);
         },
         ZR_SEARCH_CONFIGURE, "zr_search_configure", -3, -2, OnSuccess::zero, 5,
         [](qdsim::VirtualReader& r) { r.set_zr_status(ZR_SEARCH_CONFIGURE, 5); }},
        zr_control<zr_search_start>("zr_search_start", ZR_SEARCH_START, 6),
        zr_control<zr_search_stop>("zr_search_stop", ZR_SEARCH_STOP, 7),
        zr_control<zr_search_verify>("zr_search_verify", ZR_SEARCH_VERIFY, 8),
        // Requests the virtual reader carries out on field_tag().
        shared_tagop<tagid_write>("tagid_write", TAGID_WRITE,
                                  [] { return tag_request(0, 0, 0, {0x3000, 0xABCD}); }),
        shared_tagop<tagid_lock>("tagid_lock", TAGID_LOCK, [] { return tag_request(); }),
        shared_tagop<tag_kill>("tag_kill", TAG_KILL, [] { return tag_request(); }),
        shared_tagop<tag_passwd>("tag_passwd", TAG_PASSWD, [] { return tag_request(0, 0, 0, {0, 0}); }),
        shared_tagop<tagdata_write>("tagdata_write", TAGDATA_WRITE,
                                    [] { return tag_request(user, 0, 0, {0xBEEF}); }),
        shared_tagop<tagdata_lock>("tagdata_lock", TAGDATA_LOCK, [] { return tag_request(user); }),
        {"tagdata_read",
         [](reader_handle h) {
             tagop_record r = tag_request(user, 0, 1);
             return tagdata_read(h, &r);
         },
         TAGDATA_READ, "tagdata_read", -102, -102, OnSuccess::reader_status, 0},
        {"get_supported_protocols",
         [](reader_handle h) {
             id_list l{};
             return get_supported_protocols(h, l);
         },
         std::nullopt, nullptr, -1, -1, OnSuccess::leave, 1},
        {"get_connected_antennas",
         [](reader_handle h) {
             id_list l{};
             return get_connected_antennas(h, l);
         },
         std::nullopt, nullptr, -1, -1, OnSuccess::leave, 2},
    };
    return table;
}

}  // namespace qdframe
