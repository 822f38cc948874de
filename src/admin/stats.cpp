// The reader's counters per antenna and per source, and their reset.  The
// library gives the counters no meaning: they reach the caller's structure
// whole and in the reader's order, or not at all.
#include "guard.h"
#include "frame.h"

namespace qd {

// The caller's structures are the answers' layouts.
QD_SAME_SIZE(::antenna_stats, wire::antenna_stats_result);
QD_SAME_FIELD(::antenna_stats, wire::antenna_stats_result, stat1);
QD_SAME_FIELD(::antenna_stats, wire::antenna_stats_result, stat7);
QD_SAME_FIELD(::antenna_stats, wire::antenna_stats_result, stat14);
QD_SAME_SIZE(::source_stats, wire::source_stats_result);
QD_SAME_FIELD(::source_stats, wire::source_stats_result, stat1);
QD_SAME_FIELD(::source_stats, wire::source_stats_result, stat7);
QD_SAME_FIELD(::source_stats, wire::source_stats_result, stat13);

}  // namespace qd

using namespace qd;

namespace {

constexpr Operation<&wire::antenna_stats_1, int> antenna_stats_op{.check = "antenna_stats", .failure = -1};
constexpr Operation<&wire::source_stats_1, int> source_stats_op{.check = "source_stats", .failure = -1};
constexpr Operation<&wire::reset_stats_1, int> reset_stats_op{.check = "reset_stats", .failure = -1};

// The library asks for source 0 and resets source 0.
constexpr u_short every_source = 0;

// Copies the whole answer into the caller's structure.
template <class Wire, class Public>
auto into(Public* stats)
{
    return [stats](const Wire& answer) {
        as_wire<Wire>(*stats) = answer;
        return 0;
    };
}

}  // namespace

extern "C" {

int get_antenna_stats(reader_handle handle, uint16_t antenna, antenna_stats* stats)
{
    return qd::guarded<int>("get_antenna_stats", -1, [&]() -> int {
        Frame frame(antenna_stats_op, handle);
        if (!frame)
            return frame.failure();
        if (!stats)
            return frame.refuse(READER_ERROR_INVALID_ARGUMENTS);
        // Sent as it is: whether the reader has that antenna is the reader's to say.
        return frame.run(u_short{antenna}, into<wire::antenna_stats_result>(stats));
    });
}

int get_source_stats(reader_handle handle, source_stats* stats)
{
    return qd::guarded<int>("get_source_stats", -1, [&]() -> int {
        Frame frame(source_stats_op, handle);
        if (!frame)
            return frame.failure();
        if (!stats)
            return frame.refuse(READER_ERROR_INVALID_ARGUMENTS);
        return frame.run(every_source, into<wire::source_stats_result>(stats));
    });
}

int reset_epcg_stats(reader_handle handle)
{
    return qd::guarded<int>("reset_epcg_stats", -1, [&]() -> int {
        return perform(reset_stats_op, handle, every_source, nothing);
    });
}

}  // extern "C"
