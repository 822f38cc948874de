// Searches and the tag database.
//
// A search is created by SEARCH_START or DETAILED_READ_START and answered by
// OPERATION_STATUS: waiting at the first poll, running for the search
// duration from then on, done after.  When a search completes (polled past
// its duration, or stopped by DETAILED_READ_STOP) every live tag of the
// field lands once in the tag database, a queue that TAGDB_POP empties.
// A detailed search whose configuration carries times runs on those
// instead (behaviour_auto_search.cpp).
#include <limits>

#include "behaviour.h"

namespace qdsim::detail {

namespace {

// Searches remembered for their status; the oldest finished ones go first.
constexpr std::size_t kSearchesKept = 1024;

void forget_old_searches(ReaderModel& m)
{
    for (auto it = m.searches.begin(); m.searches.size() > kSearchesKept && it != m.searches.end();)
        it = it->second.done ? m.searches.erase(it) : std::next(it);
    // A client that starts searches and never polls them: forget unfinished
    // ones too, but never the newest.
    for (auto it = m.searches.begin(); m.searches.size() > kSearchesKept && it != m.searches.end();)
        it = it->first != m.last_search_id ? m.searches.erase(it) : std::next(it);
}

short new_search(ReaderModel& m)
{
    m.last_search_id = static_cast<int16_t>(m.last_search_id >= std::numeric_limits<int16_t>::max()
                                                ? 1
                                                : m.last_search_id + 1);
    m.searches[m.last_search_id] = Search{};
    m.radio.search_started(m.hardware);   // the power and antenna it transmits with
    forget_old_searches(m);
    return m.last_search_id;
}

void complete(ReaderModel& m, Search& s)
{
    if (s.done)
        return;
    s.done = true;
    const std::size_t before = m.tagdb.size();
    if (s.timed)
        finish_timed(m, *s.timed, Clock::now());
    else
        for (const auto& tag : m.field.tags())
            if (!tag.killed)
                m.tagdb.push_back(tag_record_of(tag));
    note_search_done(m, m.tagdb.size() - before);   // statistics and GPIO events
}

// Timed searches land their passes as they go; the ones whose duration is
// over are complete.
void advance_timed_searches(ReaderModel& m)
{
    const auto now = Clock::now();
    for (auto& [id, s] : m.searches)
        if (s.timed && !s.done && !advance_timed(m, *s.timed, now))
            complete(m, s);
}

int32_t zr(const ReaderModel& m, uint32_t proc)
{
    auto it = m.zr_status.find(proc);
    return it == m.zr_status.end() ? 0 : it->second;
}

}  // namespace

void answer(Proc<SEARCH_START>, ReaderModel& m, const wire::search_params*, short* res) { *res = new_search(m); }

void answer(Proc<DETAILED_READ_START>, ReaderModel& m, const wire::search_config* config, short* res)
{
    *res = new_search(m);
    if (config)
        m.searches[*res].timed = timed_search_of(*config, Clock::now(), m.search_duration);
}

void answer(Proc<OPERATION_STATUS>, ReaderModel& m, const u_short* id, short* res)
{
    auto it = m.searches.find(static_cast<int16_t>(*id));
    if (it == m.searches.end()) {
        *res = m.unknown_search_status;
    } else {
        Search& s = it->second;
        const auto now = Clock::now();
        if (s.done) {
            *res = tagmem::search_done;
        } else if (s.timed) {
            // From its start call, not from the first poll.
            if (advance_timed(m, *s.timed, now)) {
                *res = tagmem::search_running;
            } else {
                complete(m, s);
                *res = tagmem::search_done;
            }
        } else if (!s.polled) {
            s.polled = true;
            s.running_since = now;
            *res = tagmem::search_waiting;
        } else if (now - s.running_since < m.search_duration) {
            *res = tagmem::search_running;
        } else {
            complete(m, s);
            *res = tagmem::search_done;
        }
    }
    if (m.forced_operation_status)
        *res = *m.forced_operation_status;
}

void answer(Proc<DETAILED_READ_STOP>, ReaderModel& m, const u_short* id, short* res)
{
    auto it = m.searches.find(static_cast<int16_t>(*id));
    if (it == m.searches.end()) {
        *res = m.unknown_search_status;
        return;
    }
    complete(m, it->second);
    *res = it->first;
}

void answer(Proc<TAGS_AVAILABLE>, ReaderModel& m, const int*, u_short* res)
{
    advance_timed_searches(m);
    const std::size_t n = m.tagdb.size();
    *res = n > 0xFFFF ? u_short{0xFFFF} : static_cast<u_short>(n);
    if (m.forced_tags_available)
        *res = *m.forced_tags_available;
}

void answer(Proc<TAGDB_POP>, ReaderModel& m, const void*, wire::tag_record* res)
{
    advance_timed_searches(m);
    if (m.tagdb.empty())
        return;   // the zeroed record: status 0, no tag
    *res = m.tagdb.front();
    m.tagdb.pop_front();
}

void answer(Proc<TAGDB_RESET_DB>, ReaderModel& m, const void*, u_short* res)
{
    m.tagdb.clear();
    *res = 0;
}

void answer(Proc<ZR_SEARCH_CONFIGURE>, ReaderModel& m, const wire::search_config*, int* res)
{
    *res = zr(m, ZR_SEARCH_CONFIGURE);
}
void answer(Proc<ZR_SEARCH_START>, ReaderModel& m, const void*, int* res) { *res = zr(m, ZR_SEARCH_START); }
void answer(Proc<ZR_SEARCH_STOP>, ReaderModel& m, const void*, int* res) { *res = zr(m, ZR_SEARCH_STOP); }
void answer(Proc<ZR_SEARCH_VERIFY>, ReaderModel& m, const void*, int* res) { *res = zr(m, ZR_SEARCH_VERIFY); }

}  // namespace qdsim::detail
