// Tag operations on the tags of the field; which request words mean what is
// told in tag_memory.h.
#include <algorithm>

#include "behaviour.h"
#include "tag_memory.h"

namespace qdsim::detail {

namespace {

uint32_t password_of(const wire::tagop_request& req)
{
    return (uint32_t{req.op_word19} << 16) | req.op_word20;
}

// The common part of every reply: echoes and the addressed tag.
void echo(const wire::tagop_request& req, wire::tagop_reply& res)
{
    res.op_word1 = req.op_word1;
    res.id_bits = req.id_bits;
    std::copy(std::begin(req.id), std::end(req.id), std::begin(res.id));
    res.op_word19 = req.op_word19;
    res.op_word20 = req.op_word20;
}

// Runs `op` on the addressed tag and applies the test hook to the reply.
template <class Op>
void tagop(ReaderModel& m, const wire::tagop_request& req, wire::tagop_reply& res, Op op)
{
    echo(req, res);
    Tag* tag = m.field.find(req.id_bits, req.id);
    res.op_status = tag == nullptr ? tagmem::status_no_response : op(*tag);
    if (m.tagop_override.op_status)
        res.op_status = *m.tagop_override.op_status;
    if (m.tagop_override.data_bits)
        res.data_bits = *m.tagop_override.data_bits;
    if (m.tagop_override.op_word19)
        res.op_word19 = *m.tagop_override.op_word19;
    if (m.tagop_override.op_word20)
        res.op_word20 = *m.tagop_override.op_word20;
    note_tagop(m, res.op_status);   // statistics and GPIO events
}

bool valid_range(uint16_t area, std::size_t first, std::size_t count)
{
    return area < tagmem::area_count && first <= tagmem::area_words && count <= tagmem::area_words - first;
}

}  // namespace

void answer(Proc<TAGID_WRITE>, ReaderModel& m, const wire::tagop_request* req, wire::tagop_reply* res)
{
    tagop(m, *req, *res, [&](Tag& tag) -> int16_t {
        if (tag.id_locked || req->data_bits > tagmem::max_id_bits)
            return tagmem::status_unable_to_comply;
        set_identity(tag, req->data_bits, req->data, std::size(req->data));
        res->id_bits = tag.id_bits;
        std::fill(std::begin(res->id), std::end(res->id), u_short{0});
        std::copy_n(tag.id.begin(), std::min<std::size_t>(tag.id.size(), 16), std::begin(res->id));
        return tagmem::status_ok;
    });
}

void answer(Proc<TAGID_LOCK>, ReaderModel& m, const wire::tagop_request* req, wire::tagop_reply* res)
{
    tagop(m, *req, *res, [&](Tag& tag) -> int16_t {
        if (password_of(*req) != tag.password)
            return tagmem::status_verify_failure;
        tag.id_locked = true;
        return tagmem::status_ok;
    });
}

void answer(Proc<TAG_KILL>, ReaderModel& m, const wire::tagop_request* req, wire::tagop_reply* res)
{
    tagop(m, *req, *res, [&](Tag& tag) -> int16_t {
        if (password_of(*req) != tag.password)
            return tagmem::status_verify_failure;
        tag.killed = true;
        return tagmem::status_ok;
    });
}

void answer(Proc<TAG_PASSWD>, ReaderModel& m, const wire::tagop_request* req, wire::tagop_reply* res)
{
    tagop(m, *req, *res, [&](Tag& tag) -> int16_t {
        if (password_of(*req) != tag.password)
            return tagmem::status_verify_failure;
        if (req->data_bits != 32)
            return tagmem::status_unable_to_comply;
        tag.password = (uint32_t{req->data[0]} << 16) | req->data[1];
        return tagmem::status_ok;
    });
}

void answer(Proc<TAGDATA_READ>, ReaderModel& m, const wire::tagop_request* req, wire::tagop_reply* res)
{
    tagop(m, *req, *res, [&](Tag& tag) -> int16_t {
        const uint16_t area = req->op_word1, first = req->op_word19, count = req->op_word20;
        if (!valid_range(area, first, count))
            return tagmem::status_unable_to_comply;
        for (std::size_t i = 0; i < count; ++i)
            res->data[i] = read_word(tag, area, first + i);
        res->data_bits = static_cast<u_short>(16 * count);
        return tagmem::status_ok;
    });
}

void answer(Proc<TAGDATA_WRITE>, ReaderModel& m, const wire::tagop_request* req, wire::tagop_reply* res)
{
    tagop(m, *req, *res, [&](Tag& tag) -> int16_t {
        const uint16_t area = req->op_word1, first = req->op_word19;
        const std::size_t count = (std::size_t{req->data_bits} + 15) / 16;
        if (count > std::size(req->data) || !valid_range(area, first, count))
            return tagmem::status_unable_to_comply;
        if (tag.area_locked[area])
            return tagmem::status_unable_to_comply;
        for (std::size_t i = 0; i < count; ++i)
            write_word(tag, area, first + i, req->data[i]);
        return tagmem::status_ok;
    });
}

void answer(Proc<TAGDATA_LOCK>, ReaderModel& m, const wire::tagop_request* req, wire::tagop_reply* res)
{
    tagop(m, *req, *res, [&](Tag& tag) -> int16_t {
        if (req->op_word1 >= tagmem::area_count)
            return tagmem::status_unable_to_comply;
        if (password_of(*req) != tag.password)
            return tagmem::status_verify_failure;
        tag.area_locked[req->op_word1] = true;
        return tagmem::status_ok;
    });
}

}  // namespace qdsim::detail
